// The tree walks: the bytes CanonicalizeUtf8Append gives for an element's markup, taken
// from a tree without writing the markup and parsing it again. One walk serves three
// trees, each described by a policy: the tree itself as its markup would parse back
// (AsParsedAgain), and the trees the fixed-prefix and the numbered-prefix rewrites would
// make of it (FixedRewrite, NumberedRewrite), read from the tree as loaded. A policy says
// how an element's start and end tags come out and which nodes it cannot follow; the walk
// then gives up (NotPlain) and the caller takes the markup round trip instead.
//
// What the three trees share is the text between two pieces of markup, a run: the text
// nodes there together with the line break and indentation that xml writes for every
// node marked with dropped white space before it. The parser drops a run of white space
// only; any other run is one text node, whose canonical form is the canonical forms of
// its pieces one after another (each CR and LF becomes one LF whichever piece it is in).
#include <algorithm>
#include <cassert>
#include <string_view>
#include <vector>

#include "canon/canonicalizer.h"
#include "canon/markup_rules.h"
#include "canon/normalizer.h"
#include "dom/xml_parser.h"

namespace Lumo::Canon {

using Lumo::Base::WideString;
using Lumo::Base::WideView;
using Lumo::Dom::Node;
using Lumo::Dom::NodeType;
using Lumo::Dom::NodeView;
using namespace detail;

namespace detail {

// What a walk does with a node's mark of dropped white space.
enum class Marks {
  Written,   // a line break and indentation, as xml writes it (the tree parsed again)
  TextOnly,  // written for text and CDATA only: the rewrite builds elements without marks
  Refused,   // the walk gives up: the numbered rewrite keeps marks it cannot follow
};

// What a walk does with a text node that is white space only, and with a text node that
// follows another text node.
enum class BlankText { Kept, Dropped, Refused };
enum class AdjacentText {
  Separate,  // each stays a node of its own, with its own mark
  Merged,    // the rewrite merges them: only the first one's mark counts
  Refused,
};

}  // namespace detail

struct TXmlCanonicalizer::WalkFrame {
  NodeView node;
  NodeView next;            // the next child to visit
  WideView uri;             // the element's namespace (the rewrites)
  std::string_view prefix;  // its prefix in the fixed-prefix scheme
  WideView local;           // its local name (the rewrites)
  size_t scope = 0;         // scope_ before the element's declarations (as parsed again)
  uint32_t declBegin = 0;   // its declarations in declared_ (the fixed-prefix rewrite)
  uint32_t declEnd = 0;
  bool hasChildren = false;
  bool lastWasText = false;  // the last child kept was text
};

void TXmlCanonicalizer::CheckElement(Lumo::Dom::NodeView element) {
  // What the parser checks of a start tag, in its order: the declarations bind first,
  // then the element's name and its attributes' names are resolved with them.
  using Lumo::Dom::NodeView;
  if (element.hasNamespaceBinding()) throw NotPlain();  // xml would add a declaration
  const size_t mark = scope_.size();  // the element's own declarations go from here
  bool prefixed = false;              // an attribute with a prefix other than xmlns
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
    scope_.Push(prefix, value);
  }
  auto bound = [this](WideView prefix) -> WideView {
    const WideView* uri = scope_.Find(prefix);
    return uri ? *uri : WideView();
  };
  WideView prefix = PrefixOf(element.nameView());
  // A declaration of any prefix but the element's own binds a namespace that nothing in
  // the text uses once parsed again (its user, an attribute dropped with the
  // declarations, is gone): the next pass drops it and may number the element anew.
  if (!strayDeclaration_ && scope_.size() > mark &&
      (scope_.size() - mark > 1 || scope_[mark].name != prefix))
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

// --- The walk -----------------------------------------------------------------------------

template <class Policy>
bool TXmlCanonicalizer::RunWalk(const Node& element, Lumo::Base::ByteString& out) {
  const size_t start = out.size();
  utf8_ = &out;
  WideString chunk;
  chunk.reserve(kChunk + 4096);
  try {
    Walk<Policy>(NodeView(element), chunk);
  } catch (const NotPlain&) {
    out.resize(start);
    return false;
  }
  Flush(chunk);
  return true;
}

// Depth first over an explicit stack, as CanonicalizeNodeAppend walks. Longer than most
// functions here: it is the one place where the three trees' runs, marks and tags meet,
// and reads best as one loop.
template <class Policy>
void TXmlCanonicalizer::Walk(NodeView root, WideString& out) {
  Policy policy;
  std::vector<WalkFrame> stack;
  if (!sameDocument_) {
    kept_.clear();       // kept orders may name another document's attributes
    keptLists_.clear();  // ... and kept namespace lists its URIs
    nextKeptList_ = 0;
  }
  pending_.clear();
  runHasText_ = false;
  if (!root.isElement()) throw NotPlain();
  policy.Begin(*this, root);
  size_t baseDepth = 0;  // xml indents by the depth in the whole document
  for (NodeView p = root.parentNode(); p && p.isElement(); p = p.parentNode()) ++baseDepth;
  auto mark = [&](size_t depth) {
    if constexpr (Policy::kMarks == Marks::Refused) {
      throw NotPlain();
    } else {
      Indent(depth, out);
    }
  };
  auto open = [&](NodeView element) {
    WalkFrame frame;
    frame.node = element;
    frame.next = element.firstChild();
    frame.hasChildren = static_cast<bool>(frame.next);
    policy.Open(*this, element, stack.empty() ? nullptr : &stack.back(), frame, out);
    stack.push_back(frame);
  };
  open(root);
  while (!stack.empty()) {
    WalkFrame& top = stack.back();
    const size_t depth = baseDepth + stack.size();  // of top's children
    if (!top.next) {
      if (Policy::kMarks == Marks::Written && top.hasChildren && top.node.whiteSpaceBeforeEnd())
        mark(depth - 1);
      EndRun();
      out += u"</";
      policy.Close(*this, top, out);
      out += u'>';
      stack.pop_back();
      MaybeFlush(out);
      continue;
    }
    NodeView child = top.next;
    top.next = child.nextSibling();
    switch (child.nodeType()) {
      case NodeType::NODE_TEXT: {
        WideView value = child.valueView();
        if constexpr (Policy::kBlankText != BlankText::Kept) {
          if (WhiteSpaceOnly(value)) {
            if (Policy::kBlankText == BlankText::Refused) throw NotPlain();
            continue;  // removed
          }
        }
        if (!XmlChars(value)) throw NotPlain();
        if (top.lastWasText && Policy::kAdjacentText == AdjacentText::Refused) throw NotPlain();
        const bool merged = top.lastWasText && Policy::kAdjacentText == AdjacentText::Merged;
        if (child.whiteSpaceBefore() && !merged) mark(depth);
        top.lastWasText = true;
        if (Policy::kBlankText == BlankText::Kept && !runHasText_ && WhiteSpaceOnly(value)) {
          AppendTextXml(child, pending_);  // held until the run gets text
        } else {
          KeepRun(out);
          AppendTextXml(child, out);
        }
        break;
      }
      case NodeType::NODE_CDATA_SECTION: {
        WideView value = child.valueView();
        if (!XmlChars(value) || value.find(u"]]>") != WideView::npos) throw NotPlain();
        if (child.whiteSpaceBefore()) mark(depth);
        top.lastWasText = false;
        EndRun();
        AppendTextXml(child, out);
        break;
      }
      case NodeType::NODE_ELEMENT:
        if (child.whiteSpaceBefore() && Policy::kMarks != Marks::TextOnly) mark(depth);
        top.lastWasText = false;
        EndRun();
        if (stack.size() >= static_cast<size_t>(Lumo::Dom::XmlLimits::kMaxDepth)) throw NotPlain();
        open(child);
        break;
      default: policy.SkipOther(child); continue;
    }
    MaybeFlush(out);
  }
}

// --- The tree as its markup would parse back ---------------------------------------------

// The same elements, names, attribute lists and values (xml escapes what the parser would
// change, and CheckElement refuses what it would reject), and text nodes that are the
// tree's text runs.
struct TXmlCanonicalizer::AsParsedAgain {
  static constexpr Marks kMarks = Marks::Written;
  static constexpr BlankText kBlankText = BlankText::Kept;
  static constexpr AdjacentText kAdjacentText = AdjacentText::Separate;

  void Begin(TXmlCanonicalizer& c, NodeView root) {
    c.scope_.Clear();
    c.parentless_ = root;
  }
  void Open(TXmlCanonicalizer& c, NodeView element, const WalkFrame*, WalkFrame& frame,
            WideString& out) {
    frame.scope = c.scope_.size();
    c.CheckElement(element);
    out += u'<';
    out += element.nameView();
    c.FormatAttributesAppend(element, out);
    out += u'>';
  }
  void SkipOther(NodeView) { throw NotPlain(); }
  void Close(TXmlCanonicalizer& c, const WalkFrame& frame, WideString& out) {
    out += frame.node.nameView();
    c.scope_.Truncate(frame.scope);
  }
};

bool TXmlCanonicalizer::CanonicalizeTreeUtf8Append(const Node& element, Lumo::Base::ByteString& out,
                                                   bool* settled) {
  TXmlCanonicalizer canonicalizer;
  if (!canonicalizer.RunWalk<AsParsedAgain>(element, out)) return false;
  if (settled)
    *settled = !canonicalizer.prefixedAttribute_ && !canonicalizer.markupInValue_ &&
               !canonicalizer.strayDeclaration_;
  return true;
}

// --- The numbered-prefix rewrite ----------------------------------------------------------

// What the numbered-prefix rewrite does to an element whose attributes are unprefixed
// (declarations aside): its namespace list holds its own URI alone, so it is renamed to
// "n1:" + local name (its local name alone without a URI), declares xmlns:n1 and loses
// every other declaration. The canonical form of the rewritten tree then drops that
// declaration wherever the parent element declares the same URI, writes the remaining
// attributes sorted (here they must already be) and the text as it is. Rewritten
// elements carry no dropped white space; text nodes keep theirs, so a tree with any is
// refused, as is text that the rewrite would remove or merge.
struct TXmlCanonicalizer::NumberedRewrite {
  static constexpr Marks kMarks = Marks::Refused;
  static constexpr BlankText kBlankText = BlankText::Refused;
  static constexpr AdjacentText kAdjacentText = AdjacentText::Refused;

  void Begin(TXmlCanonicalizer&, NodeView) {}
  void Open(TXmlCanonicalizer&, NodeView element, const WalkFrame* parent, WalkFrame& frame,
            WideString& out) {
    if (element.whiteSpaceBefore() || element.whiteSpaceBeforeEnd()) throw NotPlain();
    WideView uri = element.namespaceView();
    if (!IsAscii(uri) || uri == kXmlNamespace || uri == kXmlnsNamespace) throw NotPlain();
    WideView local = LocalOf(element.nameView());
    out += u'<';
    if (!uri.empty()) out += u"n1:";
    out += local;
    if (!uri.empty() && (!parent || parent->uri != uri)) {
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
    frame.uri = uri;
    frame.local = local;
  }
  void SkipOther(NodeView) { throw NotPlain(); }
  void Close(TXmlCanonicalizer&, const WalkFrame& frame, WideString& out) {
    if (!frame.uri.empty()) out += u"n1:";
    out += frame.local;
  }
};

bool TXmlCanonicalizer::NumberedTreeUtf8Append(const Node& element, Lumo::Base::ByteString& out) {
  TXmlCanonicalizer canonicalizer;
  return canonicalizer.RunWalk<NumberedRewrite>(element, out);
}

// --- The fixed-prefix rewrite -------------------------------------------------------------

namespace {

// "n1" .. "n99", the numbered prefixes of the first places of a namespace list, as static
// text that frames can view.
struct NumberedPrefixes {
  static constexpr int kCount = 99;
  char text[kCount][4];
  constexpr NumberedPrefixes() : text() {
    for (int k = 1; k <= kCount; ++k) {
      char* t = text[k - 1];
      t[0] = 'n';
      if (k < 10) {
        t[1] = static_cast<char>('0' + k);
      } else {
        t[1] = static_cast<char>('0' + k / 10);
        t[2] = static_cast<char>('0' + k % 10);
      }
    }
  }
  std::string_view operator[](int k) const { return std::string_view(text[k - 1], k < 10 ? 2 : 3); }
};
constexpr NumberedPrefixes kNumbered;

// The fixed-prefix scheme's prefix of an element whose namespace list holds its own
// ASCII URI alone: the exchange namespace's own prefix, or "n1" (its place in the list).
std::string_view FixedPrefixForOwnUri(WideView uri) {
  char narrow[64];
  if (uri.size() > sizeof narrow) return kNumbered[1];
  for (size_t i = 0; i < uri.size(); ++i) narrow[i] = static_cast<char>(uri[i]);
  std::string_view fixed = TXmlNormalizer::FixedPrefixOf(std::string_view(narrow, uri.size()));
  return fixed.empty() ? kNumbered[1] : fixed;
}

void AppendAscii(std::string_view ascii, WideString& out) {
  for (char c : ascii) out.push_back(static_cast<char16_t>(c));
}

bool SameAscii(std::string_view ansi, WideView wide) {
  if (ansi.size() != wide.size()) return false;
  for (size_t i = 0; i < ansi.size(); ++i)
    if (static_cast<char16_t>(static_cast<unsigned char>(ansi[i])) != wide[i]) return false;
  return true;
}

void Narrow(WideView ascii, Lumo::Base::AnsiString& out) {
  out.resize(ascii.size());
  for (size_t i = 0; i < ascii.size(); ++i) out[i] = static_cast<char>(ascii[i]);
}

// Every declaration the element carried goes; any other name in the declarations' group
// would stay, and is left to the normalizer.
bool InputDeclaration(const AttributeName& name, WideView) {
  return name.wide == u"xmlns" || name.wide.substr(0, 6) == u"xmlns:";
}

// A prefix the fixed-prefix rewrite may give some element ("ed", "sen", "dsig", "n" and
// digits), or "xml": an attribute written with it may be bound to a namespace when the
// markup is parsed again (and two such attributes may then clash); any other attribute
// prefix stays unbound there, as no declaration of the rewrite names it.
bool PrefixTheRewriteBinds(WideView prefix) {
  if (prefix == u"xml" || prefix == u"ed" || prefix == u"sen" || prefix == u"dsig") return true;
  if (prefix.size() < 2 || prefix[0] != u'n') return false;
  for (size_t i = 1; i < prefix.size(); ++i)
    if (prefix[i] < u'0' || prefix[i] > u'9') return false;
  return true;
}

}  // namespace

std::string_view TXmlCanonicalizer::DeclareNamespaceList(WideView ownUri) {
  // As the normalizer builds an element's list: its own URI first, then its prefixed
  // attributes' URIs in document order, kept sorted by the case-insensitive collation
  // with the first spelling of equal ones; each entry declared "xmlns:" + its prefix
  // (the exchange's fixed one, else "n" and its place).
  auto same = [](WideView a, WideView b) { return a.data() == b.data() && a.size() == b.size(); };
  for (const KeptList& kept : keptLists_) {
    if (kept.uris.size() == attributeUris_.size() + 1 && same(kept.uris[0], ownUri) &&
        std::equal(attributeUris_.begin(), attributeUris_.end(), kept.uris.begin() + 1, same)) {
      declared_.insert(declared_.end(), kept.declarations.begin(), kept.declarations.end());
      return kept.prefix;
    }
  }
  const size_t first = declared_.size();
  namespaceList_.Clear();
  if (!ownUri.empty()) {
    Narrow(ownUri, ownUriAnsi_);
    namespaceList_.Add(ownUriAnsi_);
  }
  attributeUrisAnsi_.resize(attributeUris_.size());
  for (size_t i = 0; i < attributeUris_.size(); ++i)
    Narrow(attributeUris_[i], attributeUrisAnsi_[i]);
  namespaceList_.AddAll(attributeUrisAnsi_);
  if (namespaceList_.Count() > NumberedPrefixes::kCount) throw NotPlain();
  std::string_view ownPrefix;
  for (int i = 0; i < namespaceList_.Count(); ++i) {
    const Lumo::Base::AnsiString& spelled = namespaceList_[i];
    std::string_view prefix = TXmlNormalizer::FixedPrefixOf(spelled);
    if (prefix.empty()) prefix = kNumbered[i + 1];
    // The entry keeps the spelling of the URI added first: a view of the tree's.
    WideView uri;
    if (!ownUri.empty() && SameAscii(spelled, ownUri)) {
      uri = ownUri;
    } else {
      for (WideView a : attributeUris_)
        if (SameAscii(spelled, a)) {
          uri = a;
          break;
        }
    }
    assert(uri.data());
    declared_.push_back({prefix, uri});
    if (uri.data() == ownUri.data() && !ownUri.empty()) ownPrefix = prefix;
  }
  assert(ownUri.empty() || !ownPrefix.empty());
  if (keptLists_.size() < kKeptLists) keptLists_.emplace_back();
  KeptList& kept = keptLists_[nextKeptList_];
  nextKeptList_ = (nextKeptList_ + 1) % kKeptLists;
  kept.uris.assign(1, ownUri);
  kept.uris.insert(kept.uris.end(), attributeUris_.begin(), attributeUris_.end());
  kept.declarations.assign(declared_.begin() + static_cast<std::ptrdiff_t>(first), declared_.end());
  kept.prefix = ownPrefix;
  return ownPrefix;
}

// The normalization removes comments, processing instructions, white-space-only text and
// the schema-instance attributes, merges the text nodes that become neighbours (the
// first keeps its mark of dropped white space), and rebuilds every element: the new one
// has no such marks, declares the namespaces of its list and keeps the attributes that
// are not declarations, under their own names. With unprefixed attributes the list is
// the element's own URI alone, so the element is renamed to its prefix and local name
// and declares that prefix; a prefixed attribute adds its URI to the list, which may
// renumber the element. The canonical form drops each declaration that the parent
// element makes with the same name and value.
struct TXmlCanonicalizer::FixedRewrite {
  static constexpr Marks kMarks = Marks::TextOnly;
  static constexpr BlankText kBlankText = BlankText::Dropped;
  static constexpr AdjacentText kAdjacentText = AdjacentText::Merged;

  // Elements after elements share one URI (the same storage): it is checked once.
  WideView lastUri;
  std::string_view lastPrefix;
  uint32_t sorted[NumberedPrefixes::kCount];  // an element's declarations in name order

  void Begin(TXmlCanonicalizer& c, NodeView root) {
    if (!root.parentNode()) throw NotPlain();
    c.declared_.resize(c.rootStartTaken_ ? c.rootDeclarations_ : 0);
  }
  // Prefixes are views of static text, one for each prefix (FixedPrefixOf's, kNumbered's):
  // the same prefix is the same view.
  static bool Declares(const TXmlCanonicalizer& c, const WalkFrame& frame, std::string_view prefix,
                       WideView uri) {
    for (uint32_t i = frame.declBegin; i < frame.declEnd; ++i) {
      const Declaration& d = c.declared_[i];
      if (d.prefix.data() == prefix.data() &&
          (d.uri.data() == uri.data() ? d.uri.size() == uri.size() : d.uri == uri))
        return true;
    }
    return false;
  }
  static void CheckUri(TXmlCanonicalizer& c, WideView uri) {
    if (!IsAscii(uri) || uri == kXmlNamespace || uri == kXmlnsNamespace ||
        !XmlChars(uri, c.markupInValue_))
      throw NotPlain();
  }
  void Open(TXmlCanonicalizer& c, NodeView element, const WalkFrame* parent, WalkFrame& frame,
            WideString& out) {
    if (!parent && c.rootStartTaken_) {
      assert(element == c.takenRoot_.node);
      frame.uri = c.takenRoot_.uri;
      frame.prefix = c.takenRoot_.prefix;
      frame.local = c.takenRoot_.local;
      frame.declEnd = static_cast<uint32_t>(c.rootDeclarations_);
      return;
    }
    WideView uri = element.namespaceView();
    if (!uri.empty() && (uri.data() != lastUri.data() || uri.size() != lastUri.size())) {
      CheckUri(c, uri);
      lastUri = uri;
      lastPrefix = FixedPrefixForOwnUri(uri);
    }
    KeptAttributes(c, element);
    // What follows the parent's own declarations belongs to its children closed before
    // this one: declared_ holds the open elements' alone.
    if (parent) c.declared_.resize(parent->declEnd);
    frame.declBegin = static_cast<uint32_t>(c.declared_.size());
    std::string_view prefix;
    if (c.attributeUris_.empty()) {
      if (!uri.empty()) {
        prefix = lastPrefix;
        c.declared_.push_back({prefix, uri});
      }
    } else {
      prefix = c.DeclareNamespaceList(uri);
    }
    frame.declEnd = static_cast<uint32_t>(c.declared_.size());
    WideView local = LocalOf(element.nameView());
    out += u'<';
    if (!prefix.empty()) {
      AppendAscii(prefix, out);
      out += u':';
    }
    out += local;
    // The declarations in name order ("xmlns:" and the prefix), each unless the parent
    // makes the same one.
    const uint32_t count = frame.declEnd - frame.declBegin;
    sorted[0] = 0;
    for (uint32_t i = 1; i < count; ++i) {
      uint32_t k = i;
      while (k > 0 && c.declared_[frame.declBegin + sorted[k - 1]].prefix >
                          c.declared_[frame.declBegin + i].prefix) {
        sorted[k] = sorted[k - 1];
        --k;
      }
      sorted[k] = i;
    }
    for (uint32_t i = 0; i < count; ++i) {
      const Declaration& d = c.declared_[frame.declBegin + sorted[i]];
      if (parent && Declares(c, *parent, d.prefix, d.uri)) continue;
      out += u" xmlns:";
      AppendAscii(d.prefix, out);
      out += u"=\"";
      AppendEscapedAttributeValue(d.uri, out);
      out += u'"';
    }
    for (const PendingAttribute& a : c.attributes_) AppendAttribute(a.name, a.value, out);
    out += u'>';
    frame.uri = uri;
    frame.prefix = prefix;
    frame.local = local;
    if (!parent) {
      c.takenRoot_ = {element, uri, prefix, local};
      c.rootDeclarations_ = frame.declEnd;
    }
  }
  // The element's attributes the rewrite keeps, in canonical order, into c.attributes_:
  // all but the declarations and the schema-instance attributes it removes; and the
  // namespaces of the prefixed ones, in document order, into c.attributeUris_.
  static void KeptAttributes(TXmlCanonicalizer& c, NodeView element) {
    c.declarations_.clear();
    c.attributes_.clear();
    c.attributeUris_.clear();
    NodeView first = element.firstAttribute();
    if (!first) return;
    if (!c.OrderByKeptNames(first, InputDeclaration) || !c.declarations_.empty()) throw NotPlain();
    // One pass over the attributes in document order finds the prefixed ones the rewrite
    // leaves out; the ordered list is then filtered by name address. Looking each one up
    // from the first attribute again would cost the square of their number.
    bool prefixed = false;
    c.leftOutNames_.clear();
    for (NodeView node = first; node; node = node.nextAttribute()) {
      WideView name = node.nameView();
      const size_t colon = name.find(u':');
      if (colon == WideView::npos) continue;
      // A base name that reads as a declaration's: the rebuilt element does not keep it,
      // though its namespace joins the list.
      if (TXmlNormalizer::IsRemovedSchemaInstanceAttribute(node) ||
          name.substr(colon + 1) == u"xmlns")
        c.leftOutNames_.push_back(name.data());
    }
    std::sort(c.leftOutNames_.begin(), c.leftOutNames_.end());
    const auto leftOut = [&c, &prefixed](const PendingAttribute& a) {
      if (c.leftOutNames_.empty() ||
          !std::binary_search(c.leftOutNames_.begin(), c.leftOutNames_.end(), a.name.data()))
        return false;
      if (a.name.substr(a.name.find(u':') + 1) == u"xmlns") prefixed = true;
      return true;
    };
    std::erase_if(c.attributes_, leftOut);
    for (const PendingAttribute& a : c.attributes_) {
      const size_t colon = a.name.find(u':');
      if (colon != WideView::npos) {
        if (colon == 0 || colon + 1 == a.name.size() ||
            a.name.find(u':', colon + 1) != WideView::npos ||
            PrefixTheRewriteBinds(a.name.substr(0, colon)))
          throw NotPlain();
        prefixed = true;
      }
      if (!XmlChars(a.value, c.markupInValue_)) throw NotPlain();
    }
    if (!prefixed) return;
    c.prefixedAttribute_ = true;
    // The list takes the URIs in the order of the attribute map, declarations aside.
    for (NodeView a = first; a; a = a.nextAttribute()) {
      WideView name = a.nameView();
      if (name.find(u':') == WideView::npos || name.substr(0, 6) == u"xmlns:") continue;
      WideView uri = a.namespaceView();
      if (uri.empty() || TXmlNormalizer::IsRemovedSchemaInstanceAttribute(a)) continue;
      CheckUri(c, uri);
      c.attributeUris_.push_back(uri);
    }
  }
  void SkipOther(NodeView other) {
    // Comments go; so do processing instructions, unless the name reads "xml" in the ANSI
    // code page.
    if (other.nodeType() == NodeType::NODE_COMMENT) return;
    if (other.nodeType() != NodeType::NODE_PROCESSING_INSTRUCTION) throw NotPlain();
    WideView target = other.nameView();
    if (target.size() == 3 || !IsAscii(target)) throw NotPlain();
  }
  void Close(TXmlCanonicalizer&, const WalkFrame& frame, WideString& out) {
    if (!frame.prefix.empty()) {
      AppendAscii(frame.prefix, out);
      out += u':';
    }
    out += frame.local;
  }
};

bool TXmlCanonicalizer::FixedTreeUtf8Append(const Node& element, Lumo::Base::ByteString& out,
                                            bool* settled) {
  TXmlCanonicalizer canonicalizer;
  return canonicalizer.FixedWalkOfSameDocument(element, out, settled);
}

bool TXmlCanonicalizer::FixedWalkOfSameDocument(const Node& element, Lumo::Base::ByteString& out,
                                                bool* settled, bool rootStartTaken) {
  assert(!rootStartTaken || (sameDocument_ && takenRoot_.node == NodeView(element)));
  markupInValue_ = false;
  prefixedAttribute_ = false;
  rootStartTaken_ = rootStartTaken;
  const bool answered = RunWalk<FixedRewrite>(element, out);
  rootStartTaken_ = false;
  sameDocument_ = true;
  if (answered && settled) *settled = !markupInValue_ && !prefixedAttribute_;
  return answered;
}

}  // namespace Lumo::Canon
