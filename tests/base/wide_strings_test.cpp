// Wide string list and the case-insensitive collation it uses by default.
#include "base/wide_strings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "base/collation.h"
#include "base/encoding.h"

using namespace Lumo::Base;

namespace {

std::vector<WideString> Items(const TWideStrings& list) {
  std::vector<WideString> r;
  for (int i = 0; i < list.GetCount(); ++i) r.push_back(list.Get(i));
  return r;
}

template <typename F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const EListError& e) {
    return e.Message();
  }
  return "(no error)";
}

// Ordinal comparison, as the canonicalizer's TXmlAttributeNames replaces it.
class TOrdinalList : public TWideStringList {
 public:
  int CompareStrings(WideView a, WideView b) const override {
    const int r = a.compare(b);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
  }
};

// Compares only the first character: distinct strings that compare equal.
class TFirstCharList : public TWideStringList {
 public:
  int CompareStrings(WideView a, WideView b) const override {
    const char16_t x = a.empty() ? 0 : a[0], y = b.empty() ? 0 : b[0];
    return x < y ? -1 : (x > y ? 1 : 0);
  }
};

int Sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

}  // namespace

// --- Sorting, duplicates, Find -------------------------------------------------------

TEST(WideStringList, SortedInsertionAndIgnoredDuplicate) {
  TWideStringList list;
  list.SetSorted(true);
  EXPECT_EQ(list.Add(u"beta"), 0);
  EXPECT_EQ(list.Add(u"alpha"), 0);
  EXPECT_EQ(list.Add(u"gamma"), 2);
  EXPECT_EQ(Items(list), (std::vector<WideString>{u"alpha", u"beta", u"gamma"}));
  EXPECT_EQ(list.Add(u"ALPHA"), 0);
  EXPECT_EQ(list.GetCount(), 3);
  EXPECT_EQ(list.Get(0), u"alpha");
  EXPECT_EQ(list.IndexOf(u"GAMMA"), 2);
  EXPECT_EQ(list.IndexOf(u"delta"), -1);
}

TEST(WideStringList, UnsortedKeepsOrderAndDuplicates) {
  TWideStringList list;
  list.Add(u"b");
  list.Add(u"a");
  list.Add(u"B");
  EXPECT_EQ(Items(list), (std::vector<WideString>{u"b", u"a", u"B"}));
  EXPECT_EQ(list.IndexOf(u"B"), 0);  // linear, case-insensitive
}

TEST(WideStringList, SwitchingSortedOnSortsOnceOffKeepsOrder) {
  TWideStringList list;
  int changes = 0;
  list.OnChange = [&](TWideStrings&) { ++changes; };
  for (auto s : {u"delta", u"alpha", u"charlie", u"bravo"}) list.Add(s);
  changes = 0;
  list.SetSorted(true);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(Items(list), (std::vector<WideString>{u"alpha", u"bravo", u"charlie", u"delta"}));
  list.SetSorted(true);
  EXPECT_EQ(changes, 1);
  list.SetSorted(false);
  EXPECT_EQ(changes, 1);
  list.Add(u"aaa");
  EXPECT_EQ(list.Get(4), u"aaa");
  EXPECT_FALSE(list.Sorted());
}

TEST(WideStringList, FindStopsAtTheFirstEqualItemItProbes) {
  // The list's bisection: on equality high = middle - 1 and low = middle, which ends the
  // search at the first equal item met. With the duplicates setting "ignore" a list never
  // holds two equal items, so that is the one equal item; with equal items forced in (a
  // comparison that sees only the first character) it is the first one probed.
  TFirstCharList list;
  for (auto s : {u"a1", u"b1", u"b2", u"b3", u"b4", u"c1"}) list.Add(s);  // unsorted adds
  list.SetSorted(true);
  int index = -1;
  EXPECT_TRUE(list.Find(u"b", index));
  EXPECT_EQ(index, 2);  // low 0, high 5: middle 2 is equal
  EXPECT_EQ(list.Get(index)[0], u'b');
  EXPECT_FALSE(list.Find(u"d", index));
  EXPECT_EQ(index, 6);
  EXPECT_FALSE(list.Find(u"0", index));
  EXPECT_EQ(index, 0);
  EXPECT_TRUE(list.Find(u"a", index));
  EXPECT_EQ(index, 0);  // middles 2, 0
  // Adding an equal string adds nothing and returns the index Find gave.
  EXPECT_EQ(list.Add(u"b9"), 2);
  EXPECT_EQ(list.GetCount(), 6);
}

TEST(WideStringList, FindGivesTheInsertionIndex) {
  TWideStringList list;
  list.SetSorted(true);
  for (auto s : {u"b", u"d", u"f", u"h"}) list.Add(s);
  int index = -1;
  EXPECT_FALSE(list.Find(u"a", index));
  EXPECT_EQ(index, 0);
  EXPECT_FALSE(list.Find(u"e", index));
  EXPECT_EQ(index, 2);
  EXPECT_FALSE(list.Find(u"z", index));
  EXPECT_EQ(index, 4);
  EXPECT_TRUE(list.Find(u"H", index));
  EXPECT_EQ(index, 3);
  TWideStringList empty;
  EXPECT_FALSE(empty.Find(u"x", index));
  EXPECT_EQ(index, 0);
}

TEST(WideStringList, OverriddenCompareStringsDecidesOrder) {
  TOrdinalList list;
  list.SetSorted(true);
  for (auto s : {u"b", u"a", u"B", u"A", u":", u"1"}) list.Add(s);
  EXPECT_EQ(Items(list), (std::vector<WideString>{u"1", u":", u"A", u"B", u"a", u"b"}));
  EXPECT_EQ(list.Add(u"a"), 4);
  EXPECT_EQ(list.GetCount(), 6);
}

TEST(WideStringList, DuplicatesAcceptAndError) {
  TWideStringList accept;
  accept.SetSorted(true);
  accept.SetDuplicates(dupAccept);
  accept.Add(u"x");
  accept.Add(u"X");
  EXPECT_EQ(accept.GetCount(), 2);
  TWideStringList error;
  error.SetSorted(true);
  error.SetDuplicates(dupError);
  error.Add(u"x");
  EXPECT_EQ(ErrorOf([&] { error.Add(u"X"); }), "String list does not allow duplicates");
}

TEST(WideStringList, QuickSortMatchesAReferenceSortAndCarriesObjects) {
  std::mt19937 rng(3);
  for (int round = 0; round < 50; ++round) {
    TOrdinalList list;
    std::vector<WideString> expect;
    const int n = static_cast<int>(rng() % 200);
    for (int i = 0; i < n; ++i) {
      WideString s;
      for (int k = 0, len = 1 + rng() % 6; k < len; ++k)
        s += static_cast<char16_t>(u'a' + rng() % 5);
      if (std::find(expect.begin(), expect.end(), s) != expect.end()) continue;
      expect.push_back(s);
      list.AddObject(s, reinterpret_cast<void*>(static_cast<intptr_t>(expect.size())));
    }
    std::vector<WideString> original = expect;
    std::sort(expect.begin(), expect.end());
    list.Sort();
    ASSERT_EQ(Items(list), expect);
    for (int i = 0; i < list.GetCount(); ++i) {
      const auto at = std::find(original.begin(), original.end(), list.Get(i)) - original.begin();
      ASSERT_EQ(list.GetObject(i), reinterpret_cast<void*>(static_cast<intptr_t>(at + 1)));
    }
  }
}

TEST(WideStringList, SortedAddMatchesReferenceOnRandomInput) {
  std::mt19937 rng(8);
  TWideStringList list;
  list.SetSorted(true);
  std::vector<WideString> all;
  for (int i = 0; i < 2000; ++i) {
    WideString s;
    for (int k = 0, len = 1 + rng() % 4; k < len; ++k) {
      static const char16_t pool[] = u"aAbB1-:\u0430\u0410\u0451\u0401z";
      s += pool[rng() % 13];
    }
    list.Add(s);
    all.push_back(s);
  }
  for (int i = 1; i < list.GetCount(); ++i)
    ASSERT_LT(CompareWideIgnoreCase(list.Get(i - 1), list.Get(i)), 0);
  for (const auto& s : all) ASSERT_GE(list.IndexOf(s), 0);
}

// --- Growth ----------------------------------------------------------------------------

TEST(WideStringList, GrowthRule) {
  TWideStringList list;
  std::vector<int> capacities;
  int last = list.GetCapacity();
  EXPECT_EQ(last, 0);
  for (int i = 0; i < 200; ++i) {
    list.Add(u"x");
    if (list.GetCapacity() != last) capacities.push_back(last = list.GetCapacity());
  }
  EXPECT_EQ(capacities, (std::vector<int>{4, 8, 12, 28, 44, 60, 76, 95, 118, 147, 183, 228}));
  list.SetCapacity(2);
  EXPECT_EQ(list.GetCount(), 2);
  EXPECT_EQ(list.GetCapacity(), 2);
  list.Clear();
  EXPECT_EQ(list.GetCapacity(), 0);
}

// --- Editing and errors ----------------------------------------------------------------

TEST(WideStringList, IndexErrors) {
  TWideStringList list;
  list.Add(u"a");
  list.Add(u"b");
  EXPECT_EQ(ErrorOf([&] { list.Get(2); }), "List index out of bounds (2)");
  EXPECT_EQ(ErrorOf([&] { list.Get(-1); }), "List index out of bounds (-1)");
  EXPECT_EQ(ErrorOf([&] { list.GetObject(5); }), "List index out of bounds (5)");
  EXPECT_EQ(ErrorOf([&] { list.Put(2, u"x"); }), "List index out of bounds (2)");
  EXPECT_EQ(ErrorOf([&] { list.PutObject(-3, nullptr); }), "List index out of bounds (-3)");
  EXPECT_EQ(ErrorOf([&] { list.Delete(2); }), "List index out of bounds (2)");
  EXPECT_EQ(ErrorOf([&] { list.Exchange(0, 2); }), "List index out of bounds (2)");
  EXPECT_EQ(ErrorOf([&] { list.Insert(3, u"x"); }), "List index out of bounds (3)");
  EXPECT_EQ(ErrorOf([&] { list.Insert(-1, u"x"); }), "List index out of bounds (-1)");
  list.Insert(2, u"c");
  EXPECT_EQ(Items(list), (std::vector<WideString>{u"a", u"b", u"c"}));
}

TEST(WideStringList, SortedListRefusesInsertAndPut) {
  TWideStringList list;
  list.SetSorted(true);
  list.Add(u"a");
  EXPECT_EQ(ErrorOf([&] { list.Insert(0, u"x"); }), "Operation not allowed on sorted list");
  EXPECT_EQ(ErrorOf([&] { list.Put(0, u"x"); }), "Operation not allowed on sorted list");
  EXPECT_EQ(ErrorOf([&] { list.Put(7, u"x"); }), "Operation not allowed on sorted list");
  list.PutObject(0, &list);  // objects may change
  EXPECT_EQ(list.GetObject(0), &list);
}

TEST(WideStringList, EditingOperations) {
  TWideStringList list;
  int o1 = 1, o2 = 2;
  EXPECT_EQ(list.AddObject(u"one", &o1), 0);
  EXPECT_EQ(list.AddObject(u"two", &o2), 1);
  list.Add(u"three");
  EXPECT_EQ(list.GetObject(1), &o2);
  EXPECT_EQ(list.GetObject(2), nullptr);
  list.Exchange(0, 1);
  EXPECT_EQ(Items(list), (std::vector<WideString>{u"two", u"one", u"three"}));
  EXPECT_EQ(list.GetObject(0), &o2);
  list.Put(2, u"drei");
  list.Delete(0);
  EXPECT_EQ(Items(list), (std::vector<WideString>{u"one", u"drei"}));
  EXPECT_EQ(list.GetObject(0), &o1);
  EXPECT_EQ(list.GetDelimitedText(u", "), u"one, drei");
  list.Clear();
  EXPECT_EQ(list.GetCount(), 0);
  EXPECT_EQ(list.GetTextStr(), u"");
}

TEST(WideStringList, AddWideStringsAssertsItsSource) {
  TWideStringList list;
  try {
    list.AddWideStrings(nullptr);
    FAIL() << "no exception";
  } catch (const EAssertionFailed& e) {
    EXPECT_EQ(e.Message(), "Assertion failure (LumoUtils, line 620)");
  }
  EXPECT_EQ(list.UpdateCount(), 0);
}

TEST(WideStringList, AssignCopiesItemsAndObjects) {
  TWideStringList a, b;
  int o = 0;
  a.AddObject(u"x", &o);
  a.Add(u"y");
  b.Add(u"old");
  b.Assign(a);
  EXPECT_EQ(Items(b), (std::vector<WideString>{u"x", u"y"}));
  EXPECT_EQ(b.GetObject(0), &o);
  b.Assign(b);
  EXPECT_EQ(b.GetCount(), 2);
}

// --- Text ------------------------------------------------------------------------------

TEST(WideStringList, TextRoundTrip) {
  TWideStringList list;
  list.Add(u"x");
  list.Add(u"y");
  EXPECT_EQ(list.GetTextStr(), u"x\r\ny");
  TWideStringList back;
  back.SetTextStr(list.GetTextStr());
  EXPECT_EQ(Items(back), (std::vector<WideString>{u"x", u"y"}));
  back.SetTextStr(u"x\r\ny\r\n");
  EXPECT_EQ(Items(back), (std::vector<WideString>{u"x", u"y"}));
  char16_t* text = list.GetText();
  EXPECT_EQ(WideView(text), u"x\r\ny");
  WideStrDispose(text);
}

TEST(WideStringList, SetTextStrLineRules) {
  TWideStringList list;
  const char16_t raw[] = u"a\nb\rc\vd\fe\u2028f\u2029g";
  WideString text(raw);
  text += char16_t(0);
  text += u"h";
  list.SetTextStr(text);
  EXPECT_EQ(Items(list), (std::vector<WideString>{u"a", u"b", u"c", u"d", u"e", u"f", u"g", u"h"}));
  list.SetTextStr(u"a\n\rb");  // LF CR is two breaks
  EXPECT_EQ(Items(list), (std::vector<WideString>{u"a", u"", u"b"}));
  list.SetTextStr(u"a\r\n\r\n");
  EXPECT_EQ(Items(list), (std::vector<WideString>{u"a", u""}));
  list.SetTextStr(u"\r\n");
  EXPECT_EQ(Items(list), (std::vector<WideString>{u""}));
  list.SetTextStr(u"");
  EXPECT_EQ(list.GetCount(), 0);
  list.SetTextStr(u"last\n");
  EXPECT_EQ(Items(list), (std::vector<WideString>{u"last"}));
}

TEST(WideStringList, SetTextStrOnSortedListSortsAndDropsDuplicates) {
  TWideStringList list;
  list.SetSorted(true);
  list.SetTextStr(u"b\r\nA\r\na\r\nc");
  EXPECT_EQ(Items(list), (std::vector<WideString>{u"A", u"b", u"c"}));
}

// --- Update brackets and callbacks ---------------------------------------------------------

TEST(WideStringList, UpdateBracketsHoldBackCallbacks) {
  TWideStringList list;
  int change = 0, changing = 0;
  list.OnChange = [&](TWideStrings& sender) {
    EXPECT_EQ(&sender, &list);
    ++change;
  };
  list.OnChanging = [&](TWideStrings&) { ++changing; };
  list.Add(u"a");
  EXPECT_EQ(change, 1);
  EXPECT_EQ(changing, 1);
  change = changing = 0;
  list.BeginUpdate();
  EXPECT_EQ(changing, 1);  // the first BeginUpdate calls SetUpdateState(true)
  list.BeginUpdate();
  list.Add(u"b");
  list.Add(u"c");
  list.Delete(0);
  list.EndUpdate();
  EXPECT_EQ(change, 0);
  EXPECT_EQ(changing, 1);
  list.EndUpdate();
  EXPECT_EQ(change, 1);
  EXPECT_EQ(changing, 1);
  change = changing = 0;
  list.SetTextStr(u"1\r\n2\r\n3");
  EXPECT_EQ(change, 1);
  EXPECT_EQ(changing, 1);
  EXPECT_EQ(list.UpdateCount(), 0);
}

TEST(WideStringList, BracketClosesWhenAnAddThrows) {
  TWideStringList list;
  list.SetSorted(true);
  list.SetDuplicates(dupError);
  EXPECT_THROW(list.SetTextStr(u"a\r\nA"), EListError);
  EXPECT_EQ(list.UpdateCount(), 0);
}

// --- Collation -------------------------------------------------------------------------

TEST(Collation, PunctuationBeforeDigitsBeforeLetters) {
  EXPECT_LT(CompareWideIgnoreCase(u"!", u"0"), 0);
  EXPECT_LT(CompareWideIgnoreCase(u":", u"0"), 0);
  EXPECT_LT(CompareWideIgnoreCase(u"~", u"9"), 0);
  EXPECT_LT(CompareWideIgnoreCase(u"_", u"1"), 0);
  EXPECT_LT(CompareWideIgnoreCase(u"9", u"a"), 0);
  EXPECT_LT(CompareWideIgnoreCase(u"9", u"A"), 0);
  EXPECT_LT(CompareWideIgnoreCase(u"Z", u"\u0430"), 0);  // Latin before Cyrillic
  EXPECT_LT(CompareWideIgnoreCase(u"a", u"B"), 0);
  EXPECT_GT(CompareWideIgnoreCase(u"b", u"A"), 0);
  EXPECT_LT(CompareWideIgnoreCase(u"ab", u"abc"), 0);
  EXPECT_LT(CompareWideIgnoreCase(u"", u"a"), 0);
}

TEST(Collation, CaseInsensitiveEquality) {
  EXPECT_EQ(CompareWideIgnoreCase(u"abc", u"ABC"), 0);
  EXPECT_EQ(CompareWideIgnoreCase(u"\u041F\u0420\u0418\u0412\u0415\u0422",
                                  u"\u043F\u0440\u0438\u0432\u0435\u0442"),
            0);
  EXPECT_EQ(CompareWideIgnoreCase(u"\u0401", u"\u0451"), 0);
  EXPECT_EQ(CompareWideIgnoreCase(u"\u00C9t\u00E9", u"\u00E9T\u00C9"), 0);
  EXPECT_EQ(CompareWideIgnoreCase(u"", u""), 0);
  EXPECT_NE(CompareWideIgnoreCase(u"e", u"\u00E9"), 0);
  EXPECT_NE(CompareWideIgnoreCase(u"a-b", u"ab"), 0);
}

#ifndef _WIN32
TEST(Collation, CyrillicOrderWithYo) {
  EXPECT_LT(CompareWideIgnoreCase(u"\u0435", u"\u0451"), 0);  // е < ё
  EXPECT_LT(CompareWideIgnoreCase(u"\u0451", u"\u0436"), 0);  // ё < ж
  EXPECT_LT(CompareWideIgnoreCase(u"\u0401", u"\u0416"), 0);  // Ё < Ж
  EXPECT_LT(CompareWideIgnoreCase(u"\u0430", u"\u044F"), 0);  // а < я
  EXPECT_LT(CompareWideIgnoreCase(u"\u0415\u0436", u"\u0451\u0430"), 0);
  EXPECT_LT(CompareWideIgnoreCase(u"e", u"\u00E9"), 0);  // accent after its letter
  EXPECT_LT(CompareWideIgnoreCase(u"\u00E9", u"f"), 0);
}
#endif

TEST(Collation, TotalOrder) {
  std::mt19937 rng(21);
  static const char16_t pool[] = u"aAbBzZ09!:-_ \u0430\u0410\u0451\u0401\u044F\u00E9\u00C9\u4E00";
  const size_t poolSize = sizeof(pool) / sizeof(pool[0]) - 1;
  std::vector<WideString> v;
  for (int i = 0; i < 300; ++i) {
    WideString s;
    for (int k = 0, len = rng() % 4; k < len; ++k) s += pool[rng() % poolSize];
    v.push_back(s);
  }
  auto fold = [](WideString s) {
    for (auto& c : s) c = FoldCaseWide(c);
    return s;
  };
  for (size_t i = 0; i < v.size(); ++i) {
    for (size_t j = 0; j < v.size(); ++j) {
      const int r = CompareWideIgnoreCase(v[i], v[j]);
      ASSERT_EQ(Sign(r), -Sign(CompareWideIgnoreCase(v[j], v[i])));
      ASSERT_EQ(r == 0, fold(v[i]) == fold(v[j]));
    }
  }
  std::sort(v.begin(), v.end(), [](const WideString& a, const WideString& b) {
    return CompareWideIgnoreCase(a, b) < 0;
  });
  for (size_t i = 0; i + 2 < v.size(); ++i) {
    ASSERT_LE(CompareWideIgnoreCase(v[i], v[i + 1]), 0);
    ASSERT_LE(CompareWideIgnoreCase(v[i], v[i + 2]), 0);  // transitivity sample
  }
}

TEST(Collation, AnsiComparison) {
  EXPECT_LT(
      CompareAnsiIgnoreCase("http://www.w3.org/2001/XMLSchema-instance", "urn:dez-ru:ed:v2.0"), 0);
  EXPECT_EQ(CompareAnsiIgnoreCase("URN:DEZ-RU:ED:V2.0", "urn:dez-ru:ed:v2.0"), 0);
  EXPECT_GT(CompareAnsiIgnoreCase("b", "A"), 0);
  EXPECT_LT(CompareAnsiIgnoreCase("!", "0"), 0);
#ifndef _WIN32
  // ANSI is UTF-8 on POSIX: Cyrillic is folded too.
  EXPECT_EQ(CompareAnsiIgnoreCase("\xD0\x9F\xD1\x80", "\xD0\xBF\xD0\xA0"), 0);
  EXPECT_LT(CompareAnsiIgnoreCase("z", "\xD0\xB0"), 0);
#endif
}

TEST(Collation, FoldCase) {
  EXPECT_EQ(FoldCaseWide(u'A'), u'a');
  EXPECT_EQ(FoldCaseWide(u'['), u'[');
  EXPECT_EQ(FoldCaseWide(0x0410), 0x0430);
  EXPECT_EQ(FoldCaseWide(0x042F), 0x044F);
  EXPECT_EQ(FoldCaseWide(0x0401), 0x0451);
  EXPECT_EQ(FoldCaseWide(0x0406), 0x0456);
  EXPECT_EQ(FoldCaseWide(0x0490), 0x0491);
  EXPECT_EQ(FoldCaseWide(0x00C0), 0x00E0);
  EXPECT_EQ(FoldCaseWide(0x00D7), 0x00D7);
  EXPECT_EQ(FoldCaseWide(0x0160), 0x0161);
  EXPECT_EQ(FoldCaseWide(0x0178), 0x00FF);
  EXPECT_EQ(FoldCaseWide(0x0391), 0x03B1);
}
