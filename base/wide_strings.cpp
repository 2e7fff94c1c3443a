// The wide string list: TWideStrings and its array-backed TWideStringList.
#include "base/wide_strings.h"

#include <utility>

#include "base/collation.h"
#include "base/encoding.h"

namespace Lumo::Base {

namespace {

[[noreturn]] void ListIndexError(int index) {
  throw EListError("List index out of bounds (" + std::to_string(index) + ")");
}

[[noreturn]] void SortedListError() { throw EListError("Operation not allowed on sorted list"); }

// Closes an update bracket on every path.
class UpdateBracket {
 public:
  explicit UpdateBracket(TWideStrings& list) : list_(list) { list_.BeginUpdate(); }
  ~UpdateBracket() { list_.EndUpdate(); }
  UpdateBracket(const UpdateBracket&) = delete;
  UpdateBracket& operator=(const UpdateBracket&) = delete;

 private:
  TWideStrings& list_;
};

inline bool IsLineEnd(char16_t c) noexcept {
  return c == 0 || c == 0x0A || c == 0x0B || c == 0x0C || c == 0x0D || c == 0x2028 || c == 0x2029;
}

}  // namespace

// --- TWideStrings ----------------------------------------------------------------------

void TWideStrings::Assign(const TWideStrings& source) {
  if (&source == this) return;
  UpdateBracket bracket(*this);
  Clear();
  AddWideStrings(&source);
}

int TWideStrings::CompareStrings(WideView a, WideView b) const {
  return CompareWideIgnoreCase(a, b);
}

int TWideStrings::GetCapacity() const { return GetCount(); }

void* TWideStrings::GetObject(int) const { return nullptr; }

WideString TWideStrings::GetTextStr() const { return GetDelimitedText(u"\r\n"); }

void TWideStrings::SetCapacity(int) {}

void TWideStrings::SetUpdateState(bool) {}

int TWideStrings::Add(WideView s) {
  const int index = GetCount();
  Insert(index, s);
  return index;
}

int TWideStrings::AddObject(WideView s, void* object) {
  const int index = Add(s);
  PutObject(index, object);
  return index;
}

void TWideStrings::AddWideStrings(const TWideStrings* strings) {
  if (strings == nullptr) throw EAssertionFailed("Assertion failure (LumoUtils, line 620)");
  UpdateBracket bracket(*this);
  const int n = strings->GetCount();
  for (int i = 0; i < n; ++i) AddObject(strings->Get(i), strings->GetObject(i));
}

void TWideStrings::Exchange(int index1, int index2) {
  UpdateBracket bracket(*this);
  const WideString s = Get(index1);
  void* const object = GetObject(index1);
  Put(index1, Get(index2));
  PutObject(index1, GetObject(index2));
  Put(index2, s);
  PutObject(index2, object);
}

WideString TWideStrings::GetDelimitedText(WideView separator) const {
  const int n = GetCount();
  WideString out;
  for (int i = 0; i < n; ++i) {
    if (i > 0) out.append(separator);
    out.append(Get(i));
  }
  return out;
}

char16_t* TWideStrings::GetText() const {
  const WideString text = GetTextStr();
  return WideStrNew(text.c_str());
}

int TWideStrings::IndexOf(WideView s) const {
  const int n = GetCount();
  for (int i = 0; i < n; ++i) {
    if (CompareStrings(Get(i), s) == 0) return i;
  }
  return -1;
}

void TWideStrings::SetTextStr(WideView text) {
  UpdateBracket bracket(*this);
  Clear();
  const size_t n = text.size();
  size_t p = 0;
  while (p < n) {
    const size_t start = p;
    while (p < n && !IsLineEnd(text[p])) ++p;
    Add(text.substr(start, p - start));
    if (p < n) {
      if (text[p] == 0x0D && p + 1 < n && text[p + 1] == 0x0A) {
        p += 2;
      } else {
        p += 1;
      }
    }
  }
}

void TWideStrings::BeginUpdate() {
  if (updateCount_ == 0) SetUpdateState(true);
  ++updateCount_;
}

void TWideStrings::EndUpdate() {
  --updateCount_;
  if (updateCount_ == 0) SetUpdateState(false);
}

// --- TWideStringList -------------------------------------------------------------------

TWideStringList::~TWideStringList() {
  OnChange = nullptr;
  OnChanging = nullptr;
}

void TWideStringList::CheckIndex(int index) const {
  // Negative indexes compare as large unsigned values.
  if (static_cast<uint32_t>(index) >= static_cast<uint32_t>(items_.size())) ListIndexError(index);
}

WideString TWideStringList::Get(int index) const {
  CheckIndex(index);
  return items_[static_cast<size_t>(index)].FString;
}

int TWideStringList::GetCapacity() const { return capacity_; }

int TWideStringList::GetCount() const { return static_cast<int>(items_.size()); }

void* TWideStringList::GetObject(int index) const {
  CheckIndex(index);
  return items_[static_cast<size_t>(index)].FObject;
}

void TWideStringList::Put(int index, WideView s) {
  if (sorted_) SortedListError();
  CheckIndex(index);
  Changing();
  items_[static_cast<size_t>(index)].FString.assign(s);
  Changed();
}

void TWideStringList::PutObject(int index, void* object) {
  CheckIndex(index);
  Changing();
  items_[static_cast<size_t>(index)].FObject = object;
  Changed();
}

void TWideStringList::SetCapacity(int capacity) {
  if (capacity < 0) capacity = 0;
  if (static_cast<size_t>(capacity) < items_.size()) items_.resize(static_cast<size_t>(capacity));
  capacity_ = capacity;
  if (capacity == 0) {
    std::vector<TWideStringItem>().swap(items_);
  } else if (static_cast<size_t>(capacity) > items_.capacity()) {
    items_.reserve(static_cast<size_t>(capacity));
  }
}

void TWideStringList::SetUpdateState(bool updating) {
  if (updating) {
    Changing();
  } else {
    Changed();
  }
}

void TWideStringList::Grow() {
  int delta;
  if (capacity_ > 64) {
    delta = capacity_ / 4;
  } else if (capacity_ > 8) {
    delta = 16;
  } else {
    delta = 4;
  }
  SetCapacity(capacity_ + delta);
}

int TWideStringList::Add(WideView s) {
  int index;
  if (!sorted_) {
    index = static_cast<int>(items_.size());
  } else if (Find(s, index)) {
    switch (duplicates_) {
      case dupIgnore: return index;
      case dupError: throw EListError("String list does not allow duplicates");
      default: break;
    }
  }
  InsertItem(index, s);
  return index;
}

void TWideStringList::InsertItem(int index, WideView s) {
  Changing();
  if (static_cast<int>(items_.size()) == capacity_) Grow();
  items_.insert(items_.begin() + index, TWideStringItem{WideString(s), nullptr});
  Changed();
}

void TWideStringList::Clear() {
  if (items_.empty()) return;
  Changing();
  items_.clear();
  SetCapacity(0);
  Changed();
}

void TWideStringList::Delete(int index) {
  CheckIndex(index);
  Changing();
  items_.erase(items_.begin() + index);  // later items move down; the freed slot is gone
  Changed();
}

void TWideStringList::Exchange(int index1, int index2) {
  CheckIndex(index1);
  CheckIndex(index2);
  Changing();
  std::swap(items_[static_cast<size_t>(index1)], items_[static_cast<size_t>(index2)]);
  Changed();
}

int TWideStringList::IndexOf(WideView s) const {
  if (!sorted_) return TWideStrings::IndexOf(s);
  int index;
  return Find(s, index) ? index : -1;
}

void TWideStringList::Insert(int index, WideView s) {
  if (sorted_) SortedListError();
  if (static_cast<uint32_t>(index) > static_cast<uint32_t>(items_.size())) ListIndexError(index);
  InsertItem(index, s);
}

void TWideStringList::Changed() {
  if (updateCount_ == 0 && OnChange) OnChange(*this);
}

void TWideStringList::Changing() {
  if (updateCount_ == 0 && OnChanging) OnChanging(*this);
}

bool TWideStringList::Find(WideView s, int& index) const {
  bool found = false;
  int low = 0;
  int high = static_cast<int>(items_.size()) - 1;
  while (low <= high) {
    const int middle =
        static_cast<int>((static_cast<unsigned>(low) + static_cast<unsigned>(high)) >> 1);
    const int r = CompareStrings(items_[static_cast<size_t>(middle)].FString, s);
    if (r < 0) {
      low = middle + 1;
    } else {
      high = middle - 1;
      if (r == 0) {
        found = true;
        if (duplicates_ != dupAccept) low = middle;
      }
    }
  }
  index = low;
  return found;
}

void TWideStringList::QuickSort(int left, int right) {
  int i;
  do {
    i = left;
    int j = right;
    const WideString pivot = items_[static_cast<size_t>((left + right) >> 1)].FString;
    do {
      while (CompareStrings(items_[static_cast<size_t>(i)].FString, pivot) < 0) ++i;
      while (CompareStrings(items_[static_cast<size_t>(j)].FString, pivot) > 0) --j;
      if (i <= j) {
        if (i != j) std::swap(items_[static_cast<size_t>(i)], items_[static_cast<size_t>(j)]);
        ++i;
        --j;
      }
    } while (i <= j);
    if (left < j) QuickSort(left, j);
    left = i;
  } while (i < right);
}

void TWideStringList::Sort() {
  if (sorted_ || items_.size() < 2) return;
  Changing();
  QuickSort(0, static_cast<int>(items_.size()) - 1);
  Changed();
}

void TWideStringList::SetSorted(bool value) {
  if (sorted_ == value) return;
  if (value) Sort();
  sorted_ = value;
}

}  // namespace Lumo::Base
