// TXmlCanonicalizer. Every rule here decides signed bytes.
//
// The hot path builds the whole canonical text in one reserved wide string: element
// names are appended from allocation-free views, text nodes are serialised straight
// into the output and their line ends folded in place, and attribute entries are built
// in a reused buffer. EscapeText and EscapeAttributeValue keep the literal
// WideStringReplace form of the rules; the one-pass forms used on the hot path give the
// same result (tests check both against each other).
#include "canon/canonicalizer.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "base/encoding.h"
#include "base/errors.h"
#include "canon/markup_rules.h"
#include "dom/xml_helpers.h"

namespace Lumo::Canon {

using Lumo::Base::AnsiString;
using Lumo::Base::WideString;
using Lumo::Base::WideView;
using Lumo::Dom::Node;
using namespace detail;

// The order of the attribute list: entries compared by their names (the part before the
// first '='), converted to ANSI, ordinally by UTF-16 code unit.
int detail::CompareAttributeNames(WideView a, WideView b) {
  // Fast path: walk both names while they agree in ASCII. ASCII converts to itself
  // and the conversion goes character by character, so a decision taken at an ASCII
  // position (a difference, or one name ending where the other goes on) is the
  // decision on the converted names too.
  {
    const size_t na = a.size(), nb = b.size();
    size_t i = 0;
    for (;; ++i) {
      bool endA = i == na || a[i] == u'=';
      bool endB = i == nb || b[i] == u'=';
      if (endA || endB) {
        if (endA && endB) return 0;
        return endA ? -1 : 1;
      }
      char16_t ca = a[i], cb = b[i];
      if (ca >= 0x80 || cb >= 0x80) break;  // not ASCII: convert (below)
      if (ca != cb) return ca < cb ? -1 : 1;
    }
  }
  WideView nameA = NamePart(a);
  WideView nameB = NamePart(b);
  if (IsAscii(nameA) && IsAscii(nameB)) return Ordinal(nameA, nameB);
  WideString wideA = Lumo::Base::AnsiToWide(TXmlAttributeNames::AttributeNameOf(a));
  WideString wideB = Lumo::Base::AnsiToWide(TXmlAttributeNames::AttributeNameOf(b));
  return Ordinal(wideA, wideB);
}

// --- TXmlAttributeNames ------------------------------------------------------------------

TXmlAttributeNames::TXmlAttributeNames() {
  SetSorted(true);  // duplicates mode stays at its default: ignore
}

AnsiString TXmlAttributeNames::AttributeNameOf(WideView entry) {
  return Lumo::Base::WideToAnsi(NamePart(entry));
}

int TXmlAttributeNames::CompareStrings(WideView a, WideView b) const {
  return CompareAttributeNames(a, b);
}

// --- TXmlCanonicalizer -------------------------------------------------------------------

void detail::AppendAttribute(WideView name, WideView value, WideString& out) {
  out.push_back(u' ');
  out.append(name);
  out.append(u"=\"");
  TXmlCanonicalizer::AppendEscapedAttributeValue(value, out);
  out.push_back(u'"');
}

TXmlCanonicalizer::TXmlCanonicalizer() = default;
TXmlCanonicalizer::~TXmlCanonicalizer() = default;

WideString TXmlCanonicalizer::Canonicalize(WideView xml) {
  WideString out;
  CanonicalizeAppend(xml, out);
  return out;
}

Node TXmlCanonicalizer::Parse(Lumo::Dom::Document& document, WideView xml) {
  document = Lumo::Dom::Document::Create(Lumo::Dom::Document::Flavour::DOMDocument60);
  document.setValidateOnParse(false);
  // The tree is read once while xml is alive: its values may point into xml.
  document.loadXMLBorrowing(xml);  // the success flag is not consulted
  Node root = document.documentElement();
  if (!root) throw Lumo::Dom::MakeXmlParserError(&document.parseError());
  return root;
}

void TXmlCanonicalizer::CanonicalizeAppend(WideView xml, WideString& out) {
  Lumo::Dom::Document document;
  Node root = Parse(document, xml);
  TXmlCanonicalizer canonicalizer;
  out.reserve(out.size() + xml.size());
  canonicalizer.CanonicalizeNodeAppend(root, out);
}

void TXmlCanonicalizer::CanonicalizeUtf8Append(WideView xml, Lumo::Base::ByteString& out) {
  Lumo::Dom::Document document;
  Node root = Parse(document, xml);
  TXmlCanonicalizer canonicalizer;
  canonicalizer.utf8_ = &out;
  out.reserve(out.size() + xml.size() + xml.size() / 4);
  WideString chunk;
  chunk.reserve(kChunk + 4096);
  canonicalizer.CanonicalizeNodeAppend(root, chunk);
  canonicalizer.Flush(chunk);
}

void TXmlCanonicalizer::Flush(WideString& out) {
  // UTF-8 of each UTF-16 unit on its own: encoding the text piece by piece gives the
  // bytes of encoding it whole, wherever the pieces are cut.
  Lumo::Base::Utf8EncodeAppend(out, *utf8_);
  out.clear();
}

WideString TXmlCanonicalizer::CanonicalizeNode(const Node& node) {
  WideString out;
  CanonicalizeNodeAppend(node, out);
  return out;
}

void TXmlCanonicalizer::CanonicalizeNodeAppend(const Node& node, WideString& out) {
  // Depth first over an explicit stack (no recursion limit from the machine stack).
  // The tree is not changed while it is written, so walking the children by
  // nextSibling visits exactly the childNodes counted at the start; the walk reads
  // through views while `node` keeps the document alive.
  using Lumo::Dom::NodeView;
  struct Frame {
    NodeView node;
    NodeView next;
  };
  std::vector<Frame> stack;
  auto name = [](NodeView n) -> WideString {
    return n.isElement() ? WideString(n.nameView()) : n.node().nodeName();
  };
  auto open = [&](NodeView n) -> bool {
    if (n.isText()) {  // text and CDATA: EscapeText of the node's own xml
      AppendTextXml(n, out);
      return false;
    }
    out += u'<';
    if (n.isElement()) {
      out += n.nameView();
    } else {
      out += name(n);
    }
    FormatAttributesAppend(n, out);
    out += u'>';
    return true;
  };
  auto close = [&](NodeView n) {
    out += u"</";
    if (n.isElement()) {
      out += n.nameView();
    } else {
      out += name(n);
    }
    out += u'>';
  };
  NodeView root(node);
  kept_.clear();  // kept orders may name another document's attributes
  if (!open(root)) return;
  stack.push_back({root, root.firstChild()});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next) {
      NodeView child = top.next;
      top.next = child.nextSibling();
      if (open(child)) stack.push_back({child, child.firstChild()});
      MaybeFlush(out);
      continue;
    }
    close(top.node);
    stack.pop_back();
    MaybeFlush(out);
  }
}

void TXmlCanonicalizer::AppendTextXml(Lumo::Dom::NodeView node, WideString& out) {
  // EscapeText of the node's xml, in one pass over its value. The xml of a text node is
  // the value with & < > as entity references and every LF as CR LF; of a CDATA
  // section, "<![CDATA[" + value + "]]>". Folding CR LF and lone CR to LF then leaves,
  // in text, one LF for every CR and every LF of the value (a CR before an LF was written
  // CR CR LF, which folds to two); in CDATA, the value folded.
  WideView value = node.valueView();
  if (node.nodeType() == Lumo::Dom::NODE_CDATA_SECTION) {
    out.append(u"<![CDATA[");
    size_t start = out.size();
    out.append(value);
    FoldLineEndsFrom(out, start);
    out.append(u"]]>");
    return;
  }
  const char16_t* s = value.data();
  const size_t n = value.size();
  size_t run = 0;  // start of the part copied unchanged
  for (size_t i = 0; i < n; ++i) {
    const char16_t c = s[i];
    if (c > u'>') continue;
    const char16_t* replacement;
    size_t length;
    switch (c) {
      case u'&':
        replacement = u"&amp;";
        length = 5;
        break;
      case u'<':
        replacement = u"&lt;";
        length = 4;
        break;
      case u'>':
        replacement = u"&gt;";
        length = 4;
        break;
      case u'\r':
        replacement = u"\n";
        length = 1;
        break;
      default: continue;
    }
    out.append(s + run, i - run);
    out.append(replacement, length);
    run = i + 1;
  }
  out.append(s + run, n - run);
}

WideString TXmlCanonicalizer::FormatAttributes(const Node& node) {
  WideString out;
  FormatAttributesAppend(node, out);
  return out;
}

void TXmlCanonicalizer::FormatAttributesAppend(const Node& node, WideString& out) {
  kept_.clear();  // kept orders may name another document's attributes
  FormatAttributesAppend(Lumo::Dom::NodeView(node), out);
}

void TXmlCanonicalizer::FormatAttributesAppend(Lumo::Dom::NodeView node, WideString& out) {
  using Lumo::Dom::NodeView;
  if (!node.isElement()) return;
  // The attribute map walked in order: item(0) .. item(count - 1), the count read once.
  NodeView first = node.firstAttribute();
  if (!first) return;  // no lists for an element without attributes

  NodeView parent;
  bool parentIsElement = false;
  bool parentRead = false;
  // Decides whether the declaration is dropped (the parent-declaration rule).
  auto dropped = [&](const AttributeName& name, WideView value) -> bool {
    if (!name.exactXmlns) return false;
    if (!parentRead) {
      parent = node.parentNode();
      parentIsElement =
          !(node == parentless_) && parent && parent.nodeType() == Lumo::Dom::NODE_ELEMENT;
      parentRead = true;
    }
    if (!parentIsElement) return false;
    if (value.empty()) return true;
    // getAttribute(Name): a missing attribute reads as the empty string, which never
    // equals the non-empty value here.
    NodeView same = parent.attributeNamed(name.wide);
    return same && same.valueView() == value;
  };
  auto buildEntry = [](const AttributeName& name, WideView value, WideString& entry) {
    entry.append(name.wide);
    entry.append(u"=\"");
    AppendEscapedAttributeValue(value, entry);
    entry.push_back(u'"');
  };

  if (!first.nextAttribute()) {
    // A sorted list of one entry writes that entry: no list needed.
    NodeView attribute = first;
    AttributeName name(attribute.nameView());
    WideView value = attribute.valueView();
    if (name.declarationGroup && dropped(name, value)) return;
    out.push_back(u' ');
    buildEntry(name, value, out);
    return;
  }

  // The two sorted lists with duplicates ignored, kept as views: a later name equal to
  // one already listed is dropped, any other goes where the list's binary search puts
  // it. Comparing the bare names gives the entries' order, since an entry's name part
  // is the part of its name before the first '='.
  auto add = [](std::vector<PendingAttribute>& list, WideView name, WideView value) {
    int low = 0;
    int high = static_cast<int>(list.size()) - 1;
    while (low <= high) {
      int middle =
          static_cast<int>((static_cast<unsigned>(low) + static_cast<unsigned>(high)) >> 1);
      int r = CompareAttributeNames(list[static_cast<size_t>(middle)].name, name);
      if (r < 0) {
        low = middle + 1;
      } else if (r == 0) {
        return;  // duplicates ignored: the first one stays
      } else {
        high = middle - 1;
      }
    }
    list.insert(list.begin() + low, PendingAttribute{name, value});
  };
  declarations_.clear();
  attributes_.clear();
  if (!OrderByKeptNames(first, dropped)) {
    convertedNames_.clear();
    size_t count = 0;
    for (NodeView a = first; a; a = a.nextAttribute()) ++count;
    convertedNames_.reserve(count);  // never moves: views point into it
    for (NodeView attribute = first; attribute; attribute = attribute.nextAttribute()) {
      AttributeName name(attribute.nameView());
      WideView value = attribute.valueView();
      if (name.declarationGroup && dropped(name, value)) continue;
      WideView spelled = name.wide;
      if (spelled.data() == name.converted.data()) {
        convertedNames_.push_back(std::move(name.converted));
        spelled = convertedNames_.back();
      }
      add(name.declarationGroup ? declarations_ : attributes_, spelled, value);
    }
  }
  AppendEntries(out);
}

void TXmlCanonicalizer::AppendEntries(WideString& out) {
  // The entries, ' ' + name + '="' + escaped value + '"' each. Usually written through a
  // pointer into a scratch buffer with room for the worst case (a value escaped to six
  // units a character), whose size only grows, so that nothing is zero-filled per
  // element, and then appended at once; a very long value goes through the appending
  // form instead, so that the scratch stays small.
  size_t bound = 0;
  for (const std::vector<PendingAttribute>* list : {&declarations_, &attributes_})
    for (const PendingAttribute& a : *list) bound += a.name.size() + 6 * a.value.size() + 4;
  if (bound > kDirectEntries) {
    for (const std::vector<PendingAttribute>* list : {&declarations_, &attributes_}) {
      for (const PendingAttribute& a : *list) AppendAttribute(a.name, a.value, out);
    }
    return;
  }
  if (entries_.size() < bound) entries_.resize(bound);
  char16_t* const start = entries_.data();
  char16_t* w = start;
  for (const std::vector<PendingAttribute>* list : {&declarations_, &attributes_}) {
    for (const PendingAttribute& a : *list) {
      *w++ = u' ';
      std::memcpy(w, a.name.data(), a.name.size() * sizeof(char16_t));
      w += a.name.size();
      *w++ = u'=';
      *w++ = u'"';
      w = WriteEscapedAttributeValue(a.value, w);
      *w++ = u'"';
    }
  }
  out.append(start, static_cast<size_t>(w - start));
}

WideString TXmlCanonicalizer::EscapeAttributeValue(WideView value) {
  using Lumo::Base::rfReplaceAll;
  using Lumo::Base::WideStringReplace;
  WideString s = WideStringReplace(value, u"\"", u"&quot;", rfReplaceAll);
  s = WideStringReplace(s, u"\t", u" ", rfReplaceAll);
  s = WideStringReplace(s, u"\r\n", u" ", rfReplaceAll);
  s = WideStringReplace(s, u"\r", u" ", rfReplaceAll);
  s = WideStringReplace(s, u"\n", u" ", rfReplaceAll);
  return s;
}

WideString TXmlCanonicalizer::EscapeText(WideView text) {
  using Lumo::Base::rfReplaceAll;
  using Lumo::Base::WideStringReplace;
  WideString s = WideStringReplace(text, u"\r\n", u"\n", rfReplaceAll);
  return WideStringReplace(s, u"\r", u"\n", rfReplaceAll);
}

char16_t* TXmlCanonicalizer::WriteEscapedAttributeValue(WideView value, char16_t* w) {
  // EscapeAttributeValue's replacements in one pass. Quote first, then tab, CR LF, CR,
  // LF: none of them brings back a character that a later one replaces, and "\r\n"
  // cannot overlap itself, so one left-to-right pass does the same.
  for (size_t i = 0, n = value.size(); i < n; ++i) {
    char16_t c = value[i];
    if (c > u'"') {
      *w++ = c;
    } else if (c == u'"') {
      std::memcpy(w, u"&quot;", 6 * sizeof(char16_t));
      w += 6;
    } else if (c == u'\t' || c == u'\n') {
      *w++ = u' ';
    } else if (c == u'\r') {
      *w++ = u' ';
      if (i + 1 < n && value[i + 1] == u'\n') ++i;
    } else {
      *w++ = c;
    }
  }
  return w;
}

void TXmlCanonicalizer::AppendEscapedAttributeValue(WideView value, WideString& out) {
  // WriteEscapedAttributeValue a piece at a time through a buffer on the stack. A piece
  // never ends between the CR and the LF of a CR LF pair (which become one space).
  constexpr size_t kPiece = 512;
  char16_t buffer[6 * (kPiece + 1)];
  while (!value.empty()) {
    size_t n = value.size() < kPiece ? value.size() : kPiece;
    if (n < value.size() && value[n - 1] == u'\r' && value[n] == u'\n') ++n;
    char16_t* end = WriteEscapedAttributeValue(value.substr(0, n), buffer);
    out.append(buffer, static_cast<size_t>(end - buffer));
    value.remove_prefix(n);
  }
}

void TXmlCanonicalizer::FoldLineEndsFrom(WideString& out, size_t start) {
  // "\r\n" -> "\n", then every other "\r" -> "\n": CR followed by LF is dropped, a lone
  // CR becomes LF. Done in place: the text only shrinks.
  size_t n = out.size();
  size_t i = out.find(u'\r', start);
  if (i == WideString::npos) return;
  char16_t* p = out.data();
  size_t w = i;
  for (; i < n; ++i) {
    char16_t c = p[i];
    if (c == u'\r') {
      if (i + 1 < n && p[i + 1] == u'\n') continue;  // the LF that follows is kept
      c = u'\n';
    }
    p[w++] = c;
  }
  out.resize(w);
}

}  // namespace Lumo::Canon
