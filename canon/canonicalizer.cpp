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
#include "canon/normalizer.h"
#include "dom/xml_helpers.h"
#include "dom/xml_parser.h"

namespace Lumo::Canon {

using Lumo::Base::AnsiString;
using Lumo::Base::WideString;
using Lumo::Base::WideView;
using Lumo::Dom::Node;

namespace {

bool IsAscii(WideView text) noexcept {
  for (char16_t c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

WideView NamePart(WideView entry) noexcept {
  size_t eq = entry.find(u'=');
  return eq == WideView::npos ? entry : entry.substr(0, eq);
}

int Ordinal(WideView a, WideView b) noexcept {
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

constexpr WideView kXmlNamespace = u"http://www.w3.org/XML/1998/namespace";
constexpr WideView kXmlnsNamespace = u"http://www.w3.org/2000/xmlns/";

// Whether the parser accepts every unit of text as a character: tab, LF, CR, U+0020 and
// up, surrogates only in pairs, U+FFFE and U+FFFF never. markup is set when the text
// holds '&' or '<'.
bool XmlChars(WideView text, bool& markup) noexcept {
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

bool XmlChars(WideView text) noexcept {
  bool markup = false;
  return XmlChars(text, markup);
}

// The parser's test for text it drops: nothing but space, tab, CR and LF.
bool WhiteSpaceOnly(WideView text) noexcept {
  for (char16_t c : text)
    if (!(c == u' ' || c == u'\t' || c == u'\n' || c == u'\r')) return false;
  return true;
}

// The prefix of a qualified name, and its local part.
WideView PrefixOf(WideView qname) noexcept {
  size_t colon = qname.find(u':');
  return colon == WideView::npos ? WideView() : qname.substr(0, colon);
}

WideView LocalOf(WideView qname) noexcept {
  size_t colon = qname.find(u':');
  return colon == WideView::npos ? qname : qname.substr(colon + 1);
}

}  // namespace

// The order of the attribute list: entries compared by their names (the part before the
// first '='), converted to ANSI, ordinally by UTF-16 code unit.
static int CompareAttributeNames(WideView a, WideView b) {
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

namespace {

// One entry of an element's attribute list: ' ' + name + '="' + escaped value + '"'.
void AppendAttribute(WideView name, WideView value, WideString& out) {
  out.push_back(u' ');
  out.append(name);
  out.append(u"=\"");
  TXmlCanonicalizer::AppendEscapedAttributeValue(value, out);
  out.push_back(u'"');
}

}  // namespace

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

bool TXmlCanonicalizer::RunWalk(void (TXmlCanonicalizer::*walk)(Lumo::Dom::NodeView, WideString&),
                                const Node& element, Lumo::Base::ByteString& out) {
  const size_t start = out.size();
  utf8_ = &out;
  WideString chunk;
  chunk.reserve(kChunk + 4096);
  try {
    (this->*walk)(Lumo::Dom::NodeView(element), chunk);
  } catch (const NotPlain&) {
    out.resize(start);
    return false;
  }
  Flush(chunk);
  return true;
}

bool TXmlCanonicalizer::CanonicalizeTreeUtf8Append(const Node& element, Lumo::Base::ByteString& out,
                                                   bool* fixedPoint) {
  TXmlCanonicalizer canonicalizer;
  if (!canonicalizer.RunWalk(&TXmlCanonicalizer::WalkAsParsedAgain, element, out)) return false;
  if (fixedPoint)
    *fixedPoint = !canonicalizer.prefixedAttribute_ && !canonicalizer.markupInValue_ &&
                  !canonicalizer.strayDeclaration_;
  return true;
}

void TXmlCanonicalizer::CheckElement(Lumo::Dom::NodeView element) {
  // What the parser checks of a start tag, in its order: the declarations bind first,
  // then the element's name and its attributes' names are resolved with them.
  using Lumo::Dom::NodeView;
  if (element.hasNamespaceBinding()) throw NotPlain();  // xml would add a declaration
  const size_t mark = scope_.size();  // the element's own declarations go from here
  bool prefixed = false;  // an attribute with a prefix other than xmlns
  for (NodeView a = element.firstAttribute(); a; a = a.nextAttribute()) {
    WideView name = a.nameView();
    WideView value = a.valueView();
    if (!XmlChars(value, markupInValue_)) throw NotPlain();
    if (name.size() < 6 || name[5] != u':' || name.compare(0, 5, u"xmlns") != 0) {
      if (name == u"xmlns") throw NotPlain();  // a default declaration: never made here
      if (!prefixed && name.find(u':') != WideView::npos) prefixed = true;
      continue;
    }
    WideView prefix = name.substr(6);
    if (prefix == u"xmlns" || prefix == u"xml" || value.empty() || value == kXmlNamespace ||
        value == kXmlnsNamespace)
      throw NotPlain();
    scope_.push_back({prefix, value});
  }
  auto bound = [this](WideView prefix) -> WideView {
    for (size_t i = scope_.size(); i-- > 0;)
      if (scope_[i].prefix == prefix) return scope_[i].uri;
    return WideView();
  };
  WideView prefix = PrefixOf(element.nameView());
  // A declaration of any prefix but the element's own binds a namespace that nothing in
  // the text uses once parsed again (its user, an attribute dropped with the
  // declarations, is gone): the next pass drops it and may number the element anew.
  if (!strayDeclaration_ && scope_.size() > mark && (scope_.size() - mark > 1 || scope_[mark].prefix != prefix))
    strayDeclaration_ = true;
  if (!prefix.empty() && (prefix == u"xmlns" || prefix == u"xml" || bound(prefix).empty()))
    throw NotPlain();
  // Attributes: an undeclared prefix gives no namespace (no error); two attributes
  // with the same local name in the same namespace are an error.
  if (!prefixed) return;
  expanded_.clear();
  for (NodeView a = element.firstAttribute(); a; a = a.nextAttribute()) {
    WideView name = a.nameView();
    WideView attributePrefix = PrefixOf(name);
    if (attributePrefix.empty() || attributePrefix == u"xmlns") continue;
    if (a.hasNamespaceBinding()) throw NotPlain();  // xml would add a declaration
    prefixedAttribute_ = true;
    WideView local = name.substr(attributePrefix.size() + 1);
    WideView uri;
    if (attributePrefix == u"xml") {
      if (local == u"space") throw NotPlain();  // changes which white space the parser keeps
      uri = kXmlNamespace;
    } else {
      uri = bound(attributePrefix);
      if (uri.empty()) continue;
    }
    for (const ExpandedName& other : expanded_)
      if (other.local == local && other.uri == uri) throw NotPlain();
    if (expanded_.size() >= 64) throw NotPlain();  // keeps the check above short
    expanded_.push_back({local, uri});
  }
}

void TXmlCanonicalizer::Indent(size_t depth, WideString& out) {
  // The line break and indentation xml writes where white space was dropped: part of the
  // text run when the run already has text, else held until it is known to get some.
  WideString& to = runHasText_ ? out : pending_;
  to.push_back(u'\n');
  to.append(depth, u'\t');
}

void TXmlCanonicalizer::KeepRun(WideString& out) {
  out += pending_;
  pending_.clear();
  runHasText_ = true;
}

void TXmlCanonicalizer::EndRun() {
  pending_.clear();
  runHasText_ = false;
}

void TXmlCanonicalizer::WalkAsParsedAgain(Lumo::Dom::NodeView root, WideString& out) {
  // CanonicalizeNodeAppend's walk over the tree that xml() parsed again would give: the
  // same elements, names, attribute lists and values (xml escapes what the parser
  // would change, and the checks above refuse what it would reject), and text nodes
  // that are the tree's text runs. A run is what lies between two pieces of markup:
  // the text nodes there together with the line break and indentation that xml writes
  // for every node marked with dropped white space before it (and before an end tag so
  // marked). The parser drops a run of white space only; any other run is one text
  // node, whose canonical form is the canonical forms of its pieces one after another
  // (each CR and LF becomes one LF whichever piece it is in).
  using Lumo::Dom::NodeType;
  using Lumo::Dom::NodeView;
  struct Frame {
    NodeView node;
    NodeView next;
    size_t scope;
    bool hasChildren;
  };
  std::vector<Frame> stack;
  kept_.clear();
  scope_.clear();
  pending_.clear();
  parentless_ = root;
  size_t baseDepth = 0;  // xml indents by the depth in the whole document
  for (NodeView p = root.parentNode(); p && p.isElement(); p = p.parentNode()) ++baseDepth;
  runHasText_ = false;
  auto open = [&](NodeView element) {
    size_t mark = scope_.size();
    CheckElement(element);
    out += u'<';
    out += element.nameView();
    FormatAttributesAppend(element, out);
    out += u'>';
    NodeView first = element.firstChild();
    stack.push_back({element, first, mark, static_cast<bool>(first)});
  };
  if (!root.isElement()) throw NotPlain();
  open(root);
  while (!stack.empty()) {
    Frame& top = stack.back();
    const size_t depth = baseDepth + stack.size();  // of top's children
    if (top.next) {
      NodeView child = top.next;
      top.next = child.nextSibling();
      if (child.whiteSpaceBefore()) Indent(depth, out);
      switch (child.nodeType()) {
        case NodeType::NODE_TEXT: {
          WideView value = child.valueView();
          if (!XmlChars(value)) throw NotPlain();
          if (!runHasText_ && WhiteSpaceOnly(value)) {
            AppendTextXml(child, pending_);
          } else {
            KeepRun(out);
            AppendTextXml(child, out);
          }
          break;
        }
        case NodeType::NODE_CDATA_SECTION: {
          WideView value = child.valueView();
          if (!XmlChars(value) || value.find(u"]]>") != WideView::npos) throw NotPlain();
          EndRun();
          AppendTextXml(child, out);
          break;
        }
        case NodeType::NODE_ELEMENT:
          EndRun();
          if (stack.size() >= static_cast<size_t>(Lumo::Dom::XmlLimits::kMaxDepth)) throw NotPlain();
          open(child);
          break;
        default:
          throw NotPlain();
      }
      MaybeFlush(out);
      continue;
    }
    if (top.hasChildren && top.node.whiteSpaceBeforeEnd()) Indent(depth - 1, out);
    EndRun();
    out += u"</";
    out += top.node.nameView();
    out += u'>';
    scope_.resize(top.scope);
    stack.pop_back();
    MaybeFlush(out);
  }
}

bool TXmlCanonicalizer::NumberedTreeUtf8Append(const Node& element, Lumo::Base::ByteString& out) {
  TXmlCanonicalizer canonicalizer;
  return canonicalizer.RunWalk(&TXmlCanonicalizer::WalkNumbered, element, out);
}

void TXmlCanonicalizer::WalkNumbered(Lumo::Dom::NodeView root, WideString& out) {
  // What the numbered-prefix rewrite does to an element whose attributes are unprefixed
  // (declarations aside): its namespace list holds its own URI alone, so it is renamed
  // to "n1:" + local name (its local name alone without a URI), declares xmlns:n1 and
  // loses every other declaration. The canonical walk over the rewritten tree then
  // drops that declaration wherever the parent element declares the same URI, writes
  // the remaining attributes sorted (here they must already be) and the text as it is.
  // Rewritten elements carry no dropped white space; text nodes keep theirs, so a tree
  // with any is refused, as is text that the rewrite would remove or merge.
  using Lumo::Dom::NodeType;
  using Lumo::Dom::NodeView;
  struct Frame {
    NodeView next;
    WideView uri;
    WideView local;
    bool lastWasText;
  };
  std::vector<Frame> stack;
  auto open = [&](NodeView element) {
    if (element.whiteSpaceBefore() || element.whiteSpaceBeforeEnd()) throw NotPlain();
    WideView uri = element.namespaceView();
    if (!IsAscii(uri) || uri == kXmlNamespace || uri == kXmlnsNamespace) throw NotPlain();
    WideView local = LocalOf(element.nameView());
    out += u'<';
    if (!uri.empty()) out += u"n1:";
    out += local;
    if (!uri.empty() && (stack.empty() || stack.back().uri != uri)) {
      out += u" xmlns:n1=\"";
      AppendEscapedAttributeValue(uri, out);
      out += u'"';
    }
    WideView previous;
    for (NodeView a = element.firstAttribute(); a; a = a.nextAttribute()) {
      WideView attribute = a.nameView();
      if (attribute == u"xmlns" || attribute.substr(0, 6) == u"xmlns:") continue;  // not rebuilt
      AttributeName kind(attribute);
      if (kind.declarationGroup || !IsAscii(attribute) || attribute.find(u':') != WideView::npos ||
          (previous.data() && Ordinal(previous, attribute) >= 0) || !XmlChars(a.valueView()))
        throw NotPlain();
      previous = attribute;
      AppendAttribute(attribute, a.valueView(), out);
    }
    out += u'>';
    stack.push_back({element.firstChild(), uri, local, false});
  };
  if (!root.isElement()) throw NotPlain();
  open(root);
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next) {
      NodeView child = top.next;
      top.next = child.nextSibling();
      if (child.whiteSpaceBefore()) throw NotPlain();
      switch (child.nodeType()) {
        case NodeType::NODE_TEXT: {
          WideView value = child.valueView();
          if (top.lastWasText || WhiteSpaceOnly(value) || !XmlChars(value)) throw NotPlain();
          top.lastWasText = true;
          AppendTextXml(child, out);
          break;
        }
        case NodeType::NODE_CDATA_SECTION: {
          WideView value = child.valueView();
          if (!XmlChars(value) || value.find(u"]]>") != WideView::npos) throw NotPlain();
          top.lastWasText = false;
          AppendTextXml(child, out);
          break;
        }
        case NodeType::NODE_ELEMENT:
          top.lastWasText = false;
          if (stack.size() >= static_cast<size_t>(Lumo::Dom::XmlLimits::kMaxDepth)) throw NotPlain();
          open(child);
          break;
        default:
          throw NotPlain();
      }
      MaybeFlush(out);
      continue;
    }
    out += u"</";
    if (!top.uri.empty()) out += u"n1:";
    out += top.local;
    out += u'>';
    stack.pop_back();
    MaybeFlush(out);
  }
}

bool TXmlCanonicalizer::FixedTreeUtf8Append(const Node& element, Lumo::Base::ByteString& out,
                                            bool* fixedPoint) {
  TXmlCanonicalizer canonicalizer;
  if (!canonicalizer.RunWalk(&TXmlCanonicalizer::WalkFixed, element, out)) return false;
  if (fixedPoint) *fixedPoint = !canonicalizer.markupInValue_;
  return true;
}

namespace {

// The fixed-prefix scheme's prefix of an element whose namespace list holds its own
// ASCII URI alone: the exchange namespace's own prefix, or "n1" (its place in the list).
std::string_view FixedPrefixForOwnUri(WideView uri) {
  char narrow[64];
  if (uri.size() > sizeof narrow) return "n1";
  for (size_t i = 0; i < uri.size(); ++i) narrow[i] = static_cast<char>(uri[i]);
  std::string_view fixed = TXmlNormalizer::FixedPrefixOf(std::string_view(narrow, uri.size()));
  return fixed.empty() ? std::string_view("n1") : fixed;
}

void AppendAscii(std::string_view ascii, WideString& out) {
  for (char c : ascii) out.push_back(static_cast<char16_t>(c));
}

}  // namespace

void TXmlCanonicalizer::WalkFixed(Lumo::Dom::NodeView root, WideString& out) {
  // WalkAsParsedAgain over the tree the fixed-prefix normalization would make, read
  // from the tree as loaded. The normalization removes comments, processing
  // instructions, white-space-only text and the schema-instance attributes, merges the
  // text nodes that become neighbours (the first keeps its mark of dropped white
  // space), and rebuilds every element: the new one has no such marks, declares the
  // namespaces of its list and keeps the attributes that are not declarations. With
  // unprefixed attributes the list is the element's own URI alone, so the element is
  // renamed to its prefix and local name and declares that prefix, and the canonical
  // walk drops the declaration where the parent element declares the same URI.
  using Lumo::Dom::NodeType;
  using Lumo::Dom::NodeView;
  struct Frame {
    NodeView next;
    WideView uri;
    std::string_view prefix;
    WideView local;
    bool lastWasText;  // the last child kept was text: a text node next merges into it
  };
  std::vector<Frame> stack;
  kept_.clear();
  pending_.clear();
  size_t baseDepth = 0;
  for (NodeView p = root.parentNode(); p && p.isElement(); p = p.parentNode()) ++baseDepth;
  runHasText_ = false;
  // Every declaration the element carried goes; any other name in the declarations'
  // group would stay, and is left to the normalizer.
  auto inputDeclaration = [](const AttributeName& name, WideView) {
    return name.wide == u"xmlns" || name.wide.substr(0, 6) == u"xmlns:";
  };
  WideView lastUri;
  std::string_view lastPrefix;
  auto open = [&](NodeView element) {
    WideView uri = element.namespaceView();
    std::string_view prefix;
    if (!uri.empty()) {
      // Elements after elements share one URI (the same storage): checked once.
      if (uri.data() != lastUri.data() || uri.size() != lastUri.size()) {
        if (!IsAscii(uri) || uri == kXmlNamespace || uri == kXmlnsNamespace ||
            !XmlChars(uri, markupInValue_))
          throw NotPlain();
        lastUri = uri;
        lastPrefix = FixedPrefixForOwnUri(uri);
      }
      prefix = lastPrefix;
    }
    declarations_.clear();
    attributes_.clear();
    NodeView first = element.firstAttribute();
    if (first) {
      if (!OrderByKeptNames(first, inputDeclaration) || !declarations_.empty()) throw NotPlain();
      for (size_t i = 0; i < attributes_.size();) {
        const PendingAttribute& a = attributes_[i];
        if (a.name.find(u':') != WideView::npos) {
          NodeView node = first;
          while (node.nameView().data() != a.name.data()) node = node.nextAttribute();
          if (!TXmlNormalizer::IsRemovedSchemaInstanceAttribute(node)) throw NotPlain();
          attributes_.erase(attributes_.begin() + static_cast<std::ptrdiff_t>(i));
          continue;
        }
        if (!XmlChars(a.value, markupInValue_)) throw NotPlain();
        ++i;
      }
    }
    WideView local = LocalOf(element.nameView());
    out += u'<';
    if (!prefix.empty()) {
      AppendAscii(prefix, out);
      out += u':';
    }
    out += local;
    if (!uri.empty() && (stack.empty() || stack.back().uri != uri)) {
      out += u" xmlns:";
      AppendAscii(prefix, out);
      out += u"=\"";
      AppendEscapedAttributeValue(uri, out);
      out += u'"';
    }
    for (const PendingAttribute& a : attributes_) AppendAttribute(a.name, a.value, out);
    out += u'>';
    stack.push_back({element.firstChild(), uri, prefix, local, false});
  };
  if (!root.isElement() || !root.parentNode()) throw NotPlain();
  open(root);
  while (!stack.empty()) {
    Frame& top = stack.back();
    const size_t depth = baseDepth + stack.size();  // of top's children
    if (top.next) {
      NodeView child = top.next;
      top.next = child.nextSibling();
      switch (child.nodeType()) {
        case NodeType::NODE_COMMENT:
          continue;  // removed
        case NodeType::NODE_PROCESSING_INSTRUCTION: {
          // Removed, unless its name reads "xml" in the ANSI code page.
          WideView target = child.nameView();
          if (target.size() == 3 || !IsAscii(target)) throw NotPlain();
          continue;
        }
        case NodeType::NODE_TEXT: {
          WideView value = child.valueView();
          if (WhiteSpaceOnly(value)) continue;  // removed
          if (!XmlChars(value)) throw NotPlain();
          if (!top.lastWasText) {
            if (child.whiteSpaceBefore()) Indent(depth, out);
            KeepRun(out);
          }
          top.lastWasText = true;
          AppendTextXml(child, out);
          break;
        }
        case NodeType::NODE_CDATA_SECTION: {
          WideView value = child.valueView();
          if (!XmlChars(value) || value.find(u"]]>") != WideView::npos) throw NotPlain();
          top.lastWasText = false;
          if (child.whiteSpaceBefore()) Indent(depth, out);
          EndRun();
          AppendTextXml(child, out);
          break;
        }
        case NodeType::NODE_ELEMENT:
          top.lastWasText = false;
          EndRun();
          if (stack.size() >= static_cast<size_t>(Lumo::Dom::XmlLimits::kMaxDepth)) throw NotPlain();
          open(child);
          break;
        default:
          throw NotPlain();
      }
      MaybeFlush(out);
      continue;
    }
    EndRun();
    out += u"</";
    if (!top.prefix.empty()) {
      AppendAscii(top.prefix, out);
      out += u':';
    }
    out += top.local;
    out += u'>';
    stack.pop_back();
    MaybeFlush(out);
  }
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
      case u'&': replacement = u"&amp;"; length = 5; break;
      case u'<': replacement = u"&lt;"; length = 4; break;
      case u'>': replacement = u"&gt;"; length = 4; break;
      case u'\r': replacement = u"\n"; length = 1; break;
      default: continue;
    }
    out.append(s + run, i - run);
    out.append(replacement, length);
    run = i + 1;
  }
  out.append(s + run, n - run);
}

template <class Dropped>
bool TXmlCanonicalizer::OrderByKeptNames(Lumo::Dom::NodeView first, Dropped& dropped) {
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
    WideView name = a.nameView();
    if (!IsAscii(name)) return false;
    names_.push_back(name);
    values_.push_back(a.valueView());
  }
  auto sameNames = [&](const KeptOrder& k) {
    if (k.names.size() != names_.size()) return false;
    for (size_t i = 0; i < names_.size(); ++i)
      if (k.names[i].data() != names_[i].data() || k.names[i].size() != names_[i].size()) return false;
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
      AttributeName name(names_[i]);
      std::vector<uint32_t>& list = groups_[name.declarationGroup ? 0 : 1];
      auto at = std::upper_bound(list.begin(), list.end(), i, [&](uint32_t x, uint32_t y) {
        return CompareAttributeNames(names_[x], names_[y]) < 0;
      });
      list.insert(at, i);
    }
    slot->order.clear();
    for (int g = 0; g < 2; ++g) {
      for (uint32_t i : groups_[g]) slot->order.push_back({i, g == 0, AttributeName(names_[i]).exactXmlns});
    }
    slot->names.assign(names_.begin(), names_.end());
    kept = slot;
  }
  for (const OrderedName& o : kept->order) {
    WideView name = names_[o.index];
    WideView value = values_[o.index];
    if (o.declarationGroup) {
      if (o.exactXmlns && dropped(AttributeName(name), value)) continue;
      declarations_.push_back({name, value});
    } else {
      attributes_.push_back({name, value});
    }
  }
  return true;
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
      parentIsElement = !(node == parentless_) && parent && parent.nodeType() == Lumo::Dom::NODE_ELEMENT;
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
      int middle = static_cast<int>((static_cast<unsigned>(low) + static_cast<unsigned>(high)) >> 1);
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
