// Rules that the markup path (canonicalizer.cpp) and the tree walks (tree_walk.cpp) both
// apply: which characters the parser accepts, how attribute names sort, and the kept
// attribute orders. Internal to the canonical form; not part of its interface.
#pragma once

#include <algorithm>
#include <string_view>
#include <vector>

#include "base/encoding.h"
#include "base/types.h"
#include "canon/canonicalizer.h"

namespace Lumo::Canon::detail {

using Lumo::Base::AnsiString;
using Lumo::Base::WideString;
using Lumo::Base::WideView;

inline bool IsAscii(WideView text) noexcept {
  for (char16_t c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

inline WideView NamePart(WideView entry) noexcept {
  size_t eq = entry.find(u'=');
  return eq == WideView::npos ? entry : entry.substr(0, eq);
}

inline int Ordinal(WideView a, WideView b) noexcept {
  int r = a.compare(b);  // char16_t compares unsigned; a proper prefix sorts first
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

// An attribute's Name (its nodeName converted to ANSI) as the entry spells it (the
// ANSI text converted back to wide). ASCII is the same in every ANSI code page.
struct AttributeName {
  WideView wide;          // the name as written into the entry
  WideString converted;   // storage when the conversion was needed
  bool declarationGroup;  // first five characters, lower-cased in ASCII, are "xmlns"
  bool exactXmlns;        // first five characters are exactly "xmlns"

  explicit AttributeName(WideView nodeName) {
    if (IsAscii(nodeName)) {
      wide = nodeName;
    } else {
      AnsiString ansi = Lumo::Base::WideToAnsi(nodeName);
      Classify(ansi);
      converted = Lumo::Base::AnsiToWide(ansi);
      wide = converted;
      return;
    }
    declarationGroup = false;
    exactXmlns = false;
    if (wide.size() >= 5) {
      static constexpr char16_t kX[] = u"xmlns";
      declarationGroup = exactXmlns = true;
      for (int i = 0; i < 5; ++i) {
        char16_t c = wide[static_cast<size_t>(i)];
        char16_t lower = (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
        if (lower != kX[i]) declarationGroup = false;
        if (c != kX[i]) exactXmlns = false;
      }
    }
  }

 private:
  void Classify(std::string_view ansi) {
    declarationGroup = false;
    exactXmlns = false;
    if (ansi.size() < 5) return;
    static constexpr char kX[] = "xmlns";
    declarationGroup = exactXmlns = true;
    for (int i = 0; i < 5; ++i) {
      char c = ansi[static_cast<size_t>(i)];
      char lower = (c >= 'A' && c <= 'Z') ? char(c + 32) : c;
      if (lower != kX[i]) declarationGroup = false;
      if (c != kX[i]) exactXmlns = false;
    }
  }
};

// Thrown inside the direct walk when the tree's markup would not parse back plainly.
struct NotPlain {};

inline constexpr WideView kXmlNamespace = u"http://www.w3.org/XML/1998/namespace";
inline constexpr WideView kXmlnsNamespace = u"http://www.w3.org/2000/xmlns/";

// Whether the parser accepts every unit of text as a character: tab, LF, CR, U+0020 and
// up, surrogates only in pairs, U+FFFE and U+FFFF never. markup is set when the text
// holds '&' or '<'.
inline bool XmlChars(WideView text, bool& markup) noexcept {
  const char16_t* s = text.data();
  const size_t n = text.size();
  for (size_t i = 0; i < n; ++i) {
    const char16_t c = s[i];
    if (c > u'<' && c < 0xD800) continue;
    if (c >= 0x20 && c <= u'<') {
      if (c == u'&' || c == u'<') markup = true;
      continue;
    }
    if (c < 0x20) {
      if (c == u'\t' || c == u'\n' || c == u'\r') continue;
      return false;
    }
    if (c >= 0xE000) {
      if (c >= 0xFFFE) return false;
      continue;
    }
    if (c >= 0xDC00 || i + 1 == n || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return false;
    ++i;
  }
  return true;
}

inline bool XmlChars(WideView text) noexcept {
  bool markup = false;
  return XmlChars(text, markup);
}

// The parser's test for text it drops: nothing but space, tab, CR and LF.
inline bool WhiteSpaceOnly(WideView text) noexcept {
  for (char16_t c : text)
    if (!(c == u' ' || c == u'\t' || c == u'\n' || c == u'\r')) return false;
  return true;
}

// The prefix of a qualified name, and its local part.
inline WideView PrefixOf(WideView qname) noexcept {
  size_t colon = qname.find(u':');
  return colon == WideView::npos ? WideView() : qname.substr(0, colon);
}

inline WideView LocalOf(WideView qname) noexcept {
  size_t colon = qname.find(u':');
  return colon == WideView::npos ? qname : qname.substr(colon + 1);
}

// The order of the attribute list: entries compared by their names (the part before the
// first '='), converted to ANSI, ordinally by UTF-16 code unit.
int CompareAttributeNames(WideView a, WideView b);

// One entry of an element's attribute list: ' ' + name + '="' + escaped value + '"'.
void AppendAttribute(WideView name, WideView value, WideString& out);

}  // namespace Lumo::Canon::detail

namespace Lumo::Canon {

template <class Dropped>
inline bool TXmlCanonicalizer::OrderByKeptNames(Lumo::Dom::NodeView first, Dropped& dropped) {
  // Elements repeat their attribute names. With ASCII names (their own ANSI form, and
  // never two equal ones on a parsed or edited element) the two sorted lists hold the
  // element's names in an order that depends on the names alone, minus the declarations
  // dropped for this element: the order is kept for the last few sequences of names and
  // used again while they recur. Names are the tree's stored names, so the same name has
  // the same storage during one walk.
  using Lumo::Dom::NodeView;
  names_.clear();
  values_.clear();
  for (NodeView a = first; a; a = a.nextAttribute()) {
    Lumo::Base::WideView name = a.nameView();
    if (!detail::IsAscii(name)) return false;
    names_.push_back(name);
    values_.push_back(a.valueView());
  }
  auto sameNames = [&](const KeptOrder& k) {
    if (k.names.size() != names_.size()) return false;
    for (size_t i = 0; i < names_.size(); ++i)
      if (k.names[i].data() != names_[i].data() || k.names[i].size() != names_[i].size())
        return false;
    return true;
  };
  const KeptOrder* kept = nullptr;
  for (const KeptOrder& k : kept_) {
    if (sameNames(k)) {
      kept = &k;
      break;
    }
  }
  if (!kept) {
    KeptOrder* slot;
    if (kept_.size() < kKeptOrders) {
      slot = &kept_.emplace_back();
    } else {
      slot = &kept_[nextKept_];
      nextKept_ = (nextKept_ + 1) % kKeptOrders;
    }
    // Sort the indexes of both groups as the lists order the names.
    for (std::vector<uint32_t>& list : groups_) list.clear();
    for (uint32_t i = 0; i < names_.size(); ++i) {
      detail::AttributeName name(names_[i]);
      std::vector<uint32_t>& list = groups_[name.declarationGroup ? 0 : 1];
      auto at = std::upper_bound(list.begin(), list.end(), i, [&](uint32_t x, uint32_t y) {
        return detail::CompareAttributeNames(names_[x], names_[y]) < 0;
      });
      list.insert(at, i);
    }
    slot->order.clear();
    for (int g = 0; g < 2; ++g) {
      for (uint32_t i : groups_[g])
        slot->order.push_back({i, g == 0, detail::AttributeName(names_[i]).exactXmlns});
    }
    slot->names.assign(names_.begin(), names_.end());
    kept = slot;
  }
  for (const OrderedName& o : kept->order) {
    Lumo::Base::WideView name = names_[o.index];
    Lumo::Base::WideView value = values_[o.index];
    if (o.declarationGroup) {
      if (o.exactXmlns && dropped(detail::AttributeName(name), value)) continue;
      declarations_.push_back({name, value});
    } else {
      attributes_.push_back({name, value});
    }
  }
  return true;
}

}  // namespace Lumo::Canon
