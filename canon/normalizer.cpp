// TXmlNormalizer. Every step and order decides signed bytes; where the code
// takes a shortcut (allocation-free views instead of property reads, iteration instead
// of recursion) the comment says why the result is the same.
#include "canon/normalizer.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "base/collation.h"
#include "base/encoding.h"
#include "base/errors.h"
#include "dom/xml_chars.h"

namespace Lumo::Canon {

using Lumo::Base::AnsiString;
using Lumo::Base::WideString;
using Lumo::Base::WideView;
using Lumo::Dom::IsAscii;
using Lumo::Dom::IsNamespaceDeclaration;
using Lumo::Dom::IsWhiteSpaceOnly;
using Lumo::Dom::IsXmlSpace;
using Lumo::Dom::Node;
using Lumo::Dom::NodeType;

namespace {

constexpr WideView kSchemaInstance = u"http://www.w3.org/2001/XMLSchema-instance";

// prefix and baseName of an attribute from its qualified name, as the tree reports them
// (Node::prefix, Node::baseName): "xmlns" has prefix "xmlns" and an empty base name; "p:x" has
// prefix "p" and base name "x"; "x" has no prefix.
void SplitAttributeName(WideView name, WideView& prefix, WideView& baseName) noexcept {
  // Called for every attribute at several steps: one plain scan, no generic search.
  const char16_t* s = name.data();
  const size_t n = name.size();
  if (n == 5 && s[0] == u'x' && s[1] == u'm' && s[2] == u'l' && s[3] == u'n' && s[4] == u's') {
    prefix = name;
    baseName = WideView();
    return;
  }
  size_t colon = 0;
  while (colon < n && s[colon] != u':') ++colon;
  if (colon == n) {
    prefix = WideView();
    baseName = name;
  } else {
    prefix = WideView(s, colon);
    baseName = WideView(s + colon + 1, n - colon - 1);
  }
}

// CleanTree keeps a processing instruction whose nodeName, converted to ANSI and
// lower-cased, is "xml".
// ASCII converts to itself in every ANSI code page, so only other names are converted
// (a code page may map a non-ASCII character to an ASCII one); only bytes below 0x80
// lower-case to 'x', 'm' or 'l'.
bool IsXmlPiName(WideView name) {
  auto lower = [](unsigned c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; };
  if (IsAscii(name)) {
    return name.size() == 3 && lower(name[0]) == 'x' && lower(name[1]) == 'm' &&
           lower(name[2]) == 'l';
  }
  Lumo::Base::AnsiString ansi = Lumo::Base::WideToAnsi(name);
  auto byte = [&](size_t i) { return lower(static_cast<unsigned char>(ansi[i])); };
  return ansi.size() == 3 && byte(0) == 'x' && byte(1) == 'm' && byte(2) == 'l';
}

// Appends ANSI text converted to wide text; ASCII is the same in every ANSI code page
// and is widened directly.
void AppendAnsi(std::string_view ansi, WideString& out) {
  for (char c : ansi) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      out += Lumo::Base::AnsiToWide(ansi);
      return;
    }
  }
  size_t at = out.size();
  out.resize(at + ansi.size());
  for (size_t i = 0; i < ansi.size(); ++i) out[at + i] = static_cast<char16_t>(ansi[i]);
}

// The exchange namespaces and their fixed prefixes.
struct FixedPrefix {
  std::string_view uri;
  std::string_view prefix;
};
constexpr FixedPrefix kFixedPrefixes[] = {
    {"urn:dez-ru:ed:v2.0", "ed"},
    {"urn:dez-ru:dsig:env:v1.1", "sen"},
    {"urn:dez-ru:dsig:v1.1", "dsig"},
};

}  // namespace

// --- TNamespaceList -------------------------------------------------------------------

bool TNamespaceList::Find(std::string_view uri, int& index) const {
  bool found = false;
  int low = 0;
  int high = Count() - 1;
  while (low <= high) {
    int middle = (low + high) >> 1;
    int r = Lumo::Base::CompareAnsiIgnoreCase(items_[static_cast<size_t>(middle)], uri);
    if (r < 0) {
      low = middle + 1;
    } else {
      high = middle - 1;
      if (r == 0) {
        found = true;
        low = middle;  // duplicates ignored: the first equal item is kept
      }
    }
  }
  index = low;
  return found;
}

int TNamespaceList::IndexOf(std::string_view uri) const {
  int index = 0;
  return Find(uri, index) ? index : -1;
}

int TNamespaceList::Add(std::string_view uri) {
  int index = 0;
  if (Find(uri, index)) return index;
  if (count_ == items_.size()) items_.emplace_back();
  // The spare string at count_ moves to the insertion point and takes the URI.
  auto at = items_.begin() + index;
  std::rotate(at, items_.begin() + static_cast<std::ptrdiff_t>(count_),
              items_.begin() + static_cast<std::ptrdiff_t>(count_) + 1);
  at->assign(uri);
  ++count_;
  return index;
}

void TNamespaceList::AddAll(std::vector<AnsiString>& uris) {
  // Few: added one by one. Many: the list and the new URIs sorted together, stably, so
  // that of URIs that compare equal the one added first (the list's own, then the
  // earliest in uris) comes first and is the one kept, as Add keeps it.
  constexpr size_t kSortFrom = 32;
  if (count_ + uris.size() <= kSortFrom) {
    for (const AnsiString& uri : uris) Add(uri);
    return;
  }
  std::vector<AnsiString> all;
  all.reserve(count_ + uris.size());
  for (size_t i = 0; i < count_; ++i) all.push_back(std::move(items_[i]));
  for (AnsiString& uri : uris) all.push_back(std::move(uri));
  const auto before = [](const AnsiString& a, const AnsiString& b) {
    return Lumo::Base::CompareAnsiIgnoreCase(a, b) < 0;
  };
  std::stable_sort(all.begin(), all.end(), before);
  size_t kept = 0;
  for (size_t i = 0; i < all.size(); ++i) {
    if (kept > 0 && !before(all[kept - 1], all[i])) continue;  // equal to the one kept
    if (kept != i) all[kept] = std::move(all[i]);
    ++kept;
  }
  all.resize(kept);
  items_ = std::move(all);
  count_ = kept;
}

void TNamespaceList::Assign(const TNamespaceList& other) {
  if (items_.size() < other.count_) items_.resize(other.count_);
  for (size_t i = 0; i < other.count_; ++i) items_[i].assign(other.items_[i]);
  count_ = other.count_;
}

bool TNamespaceList::SameItems(const TNamespaceList& other) const noexcept {
  if (count_ != other.count_) return false;
  for (size_t i = 0; i < count_; ++i)
    if (items_[i] != other.items_[i]) return false;
  return true;
}

// --- TXmlNormalizer -------------------------------------------------------------------

Node TXmlNormalizer::Normalize(const Node& node, bool numberedPrefixes) {
  CleanTree(node);
  TXmlNormalizer normalizer(numberedPrefixes);
  Node result = normalizer.AssignPrefixes(node);
  if (!result.isElement()) {
    throw Lumo::Base::EPlatformError("Interface not supported", Lumo::Base::kE_NOINTERFACE);
  }
  return result;
}

WideString TXmlNormalizer::TrimXmlWhitespace(WideView text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsXmlSpace(text[begin])) ++begin;
  while (end > begin && IsXmlSpace(text[end - 1])) --end;
  return WideString(text.substr(begin, end - begin));
}

namespace {

// An attribute that RemoveSchemaInstanceAttributes removes when its namespace is the
// schema-instance one: prefixed, with one of the four base names. An attribute in a
// namespace has a prefix (unprefixed attributes have none), and its baseName is the
// part after the colon, so the name is looked at before the namespace URI.
bool IsSchemaInstanceCandidate(WideView name) {
  WideView prefix, baseName;
  SplitAttributeName(name, prefix, baseName);
  return !prefix.empty() &&
         (baseName == u"schemaLocation" || baseName == u"noNamespaceSchemaLocation" ||
          baseName == u"temp" || baseName == u"nil");
}

// Whether the removal loop could remove anything: without a candidate it only reads.
bool HasSchemaInstanceCandidate(Lumo::Dom::NodeView element) {
  for (Lumo::Dom::NodeView a = element.firstAttribute(); a; a = a.nextAttribute())
    if (IsSchemaInstanceCandidate(a.nameView())) return true;
  return false;
}

}  // namespace

bool TXmlNormalizer::IsRemovedSchemaInstanceAttribute(Lumo::Dom::NodeView attribute) {
  return IsSchemaInstanceCandidate(attribute.nameView()) &&
         attribute.namespaceView() == kSchemaInstance;
}

std::string_view TXmlNormalizer::FixedPrefixOf(std::string_view uri) noexcept {
  for (const FixedPrefix& f : kFixedPrefixes) {
    if (uri == f.uri) return f.prefix;
  }
  return {};
}

void TXmlNormalizer::RemoveSchemaInstanceAttributes(const Node& node) {
  if (!node.isElement()) return;  // only elements have attributes
  if (!HasSchemaInstanceCandidate(Lumo::Dom::NodeView(node))) return;
  Lumo::Dom::NamedNodeMap attributes = node.attributes();
  // The number of attributes is read again at every step of the rule; it changes only
  // by the removals made here, so it is counted down with them.
  int32_t count = attributes.length();
  int32_t index = 0;
  while (index < count) {
    Node attribute = attributes.item(index);
    if (IsRemovedSchemaInstanceAttribute(Lumo::Dom::NodeView(attribute))) {
      WideString base(attribute.baseName());
      WideString uri = attribute.namespaceURI();
      if (attributes.removeQualifiedItem(base, uri)) {
        --count;
        continue;  // the index stays
      }
    }
    ++index;
  }
}

void TXmlNormalizer::CleanTree(const Node& node) {
  // The recursion of the normalizer as a loop over an explicit stack (nesting depth is not
  // limited by the machine stack). Only processing instructions, comments and text
  // nodes are removed, and they have no children, so the removal test may run when the
  // child is reached: cleaning a leaf's subtree changes nothing. The walk reads through
  // views (node keeps the document alive; a removed node stays in storage, and the next
  // sibling is read before a removal).
  using Lumo::Dom::NodeView;
  struct ViewFrame {
    NodeView node;
    NodeView next;
  };
  RemoveSchemaInstanceAttributes(node);
  std::vector<ViewFrame> stack;
  NodeView root(node);
  stack.push_back({root, root.firstChild()});
  while (!stack.empty()) {
    if (!stack.back().next) {
      stack.pop_back();
      continue;
    }
    NodeView parent = stack.back().node;
    NodeView child = stack.back().next;
    stack.back().next = child.nextSibling();  // read before anything changes
    NodeType type = child.nodeType();
    if (type == Lumo::Dom::NODE_ELEMENT || child.firstChild()) {
      if (type == Lumo::Dom::NODE_ELEMENT && HasSchemaInstanceCandidate(child))
        RemoveSchemaInstanceAttributes(child.node());
      stack.push_back({child, child.firstChild()});
      continue;
    }
    bool remove = false;
    if (type == Lumo::Dom::NODE_PROCESSING_INSTRUCTION) {
      remove = !IsXmlPiName(child.nameView());
    } else if (type == Lumo::Dom::NODE_COMMENT) {
      remove = true;
    } else if (type == Lumo::Dom::NODE_TEXT) {
      // TrimXmlWhitespace(text) is empty exactly when the text holds only tab, LF, CR
      // and space (the tree's text of a text node is its value trimmed of those).
      remove = IsWhiteSpaceOnly(child.valueView());
    }
    if (remove) parent.node().removeChild(child.node());
  }
}

Node TXmlNormalizer::AssignPrefixes(const Node& node) {
  list_.Clear();
  return NormalizeNode(node);
}

void TXmlNormalizer::NormalizeChildren(const Node& node) {
  Node child = node.firstChild();
  while (child) {
    Node next = child.nextSibling();
    NormalizeNode(child);
    child = std::move(next);
  }
}

Node TXmlNormalizer::NormalizeNode(const Node& node) {
  // Post-order over an explicit stack: an element's normalize() first, then its
  // children (each replaced by its rebuilt form), then the element itself.
  //
  // normalize() merges adjacent text nodes throughout the element's subtree. Once an
  // element has been normalized, nothing in this pass makes two text nodes adjacent in
  // its subtree again (rebuilding moves children in order and replaces an element by
  // an element), so normalize() on its descendants would change nothing; it is called
  // only on elements without a normalized ancestor in this pass. Nodes that are
  // neither elements nor have children are returned unchanged by NormalizeNode (its
  // only other effect, clearing the list, is undone before the list is next read).
  //
  // The walk holds views: `node` keeps the document alive, a replaced element stays in
  // storage, and each next sibling is read before its predecessor is rebuilt. A handle
  // is made only for the element being finished.
  using Lumo::Dom::NodeView;
  struct NFrame {
    NodeView node;
    NodeView next;
    bool covered;  // an ancestor element (or this one) has been normalized
  };
  std::vector<NFrame> stack;
  auto enter = [&](NodeView n, bool parentCovered) {
    bool covered = parentCovered;
    if (n.isElement() && !covered) {
      n.node().normalize();
      covered = true;
    }
    stack.push_back({n, n.firstChild(), covered});
  };
  enter(NodeView(node), false);
  for (;;) {
    NFrame& top = stack.back();
    if (top.next) {
      NodeView child = top.next;
      top.next = child.nextSibling();  // read before the child is rebuilt
      if (child.isElement() || child.firstChild()) enter(child, top.covered);
      continue;
    }
    NodeView done = top.node;
    stack.pop_back();
    Node result = FinishNode(done == NodeView(node) ? node : done.node());
    if (stack.empty()) return result;
  }
}

Node TXmlNormalizer::FinishNode(const Node& node) {
  if (!node.isElement()) return node;
  list_.Clear();
  WideView ownUri = node.namespaceView();
  if (ownUri != ownUri_) {
    ownUri_.assign(ownUri);
    ownUriAnsi_ = Lumo::Base::WideToAnsi(ownUri);
  }
  const AnsiString& ownAnsi = ownUriAnsi_;
  if (!ownUri.empty()) list_.Add(ownAnsi);
  CollectAttributes(node);
  attributeUris_.clear();
  for (const Attribute& attribute : attrs_) {
    // Only prefixed attributes have a namespace URI; nodeName "xmlns" and prefix
    // "xmlns" are the declarations.
    if (attribute.prefix.empty() || IsNamespaceDeclaration(attribute.name)) continue;
    WideView uri = attribute.node.namespaceView();
    if (!uri.empty()) attributeUris_.push_back(Lumo::Base::WideToAnsi(uri));
  }
  list_.AddAll(attributeUris_);
  return RebuildElement(node, OwnPrefix(ownAnsi));
}

const std::vector<std::pair<WideString, WideString>>& TXmlNormalizer::Declarations() {
  if (memoValid_ && memoList_.SameItems(list_)) return memoDeclarations_;
  memoDeclarations_.clear();
  for (int i = 0; i < list_.Count(); ++i) {
    const AnsiString& uri = list_[i];
    WideString name(u"xmlns:");
    AppendAnsi(PrefixForNamespace(uri), name);
    WideString value;
    AppendAnsi(uri, value);
    memoDeclarations_.emplace_back(std::move(name), std::move(value));
  }
  memoList_.Assign(list_);
  memoValid_ = true;
  memoOwnValid_ = false;
  memoNodesValid_ = false;
  return memoDeclarations_;
}

AnsiString TXmlNormalizer::OwnPrefix(const AnsiString& ownUri) {
  // Refreshes the memo for the current list first; the prefix is kept with it.
  Declarations();
  if (!memoOwnValid_ || memoOwnUri_ != ownUri) {
    memoOwnPrefix_ = PrefixForNamespace(ownUri);
    memoOwnUri_ = ownUri;
    memoOwnValid_ = true;
  }
  return memoOwnPrefix_;
}

Lumo::Base::AnsiString TXmlNormalizer::PrefixForNamespace(std::string_view uri) const {
  if (!numbered_) {
    std::string_view fixed = FixedPrefixOf(uri);
    if (!fixed.empty()) return AnsiString(fixed);
  }
  int index = 0;
  if (!list_.Find(uri, index)) return AnsiString();
  AnsiString prefix = "n";
  prefix += std::to_string(index + 1);
  return prefix;
}

void TXmlNormalizer::CollectAttributes(const Node& element) {
  attrs_.clear();
  attrsOf_ = element.impl();
  // The attribute map in order, item(0) .. item(length - 1).
  for (Lumo::Dom::NodeView v = Lumo::Dom::NodeView(element).firstAttribute(); v;
       v = v.nextAttribute()) {
    Attribute a{v, v.nameView(), {}, {}};
    SplitAttributeName(a.name, a.prefix, a.baseName);
    attrs_.push_back(a);
  }
}

Node TXmlNormalizer::RebuildElement(const Node& element, const AnsiString& prefix) {
  // The document is the ownerDocument of the node given to Normalize; every element
  // rebuilt belongs to that same document.
  if (!document_) document_ = element.ownerDocument();

  // The new name: the prefix, a colon and the element's baseName (the local part of its
  // qualified name), or the baseName alone.
  WideString& name = scratch_;
  name.clear();
  if (!prefix.empty()) {
    AppendAnsi(prefix, name);
    name += u':';
  }
  WideView qualified = element.nameView();
  size_t colon = qualified.find(u':');
  name += colon == WideView::npos ? qualified : qualified.substr(colon + 1);
  Node rebuilt = document_.createElement(name);

  // One declaration per list entry, "xmlns:" + PrefixForNamespace(uri) = uri. The
  // declarations of the last element rebuilt from the same list are attributes of this
  // document with exactly these names and values: they are copied from there.
  const auto& declarations = Declarations();
  if (memoNodesValid_) {
    for (Lumo::Dom::NodeView a : memoNodes_) rebuilt.setAttributeFrom(a);
  } else {
    for (const auto& declaration : declarations)
      rebuilt.setAttribute(declaration.first, declaration.second);
    memoNodes_.clear();
    for (Lumo::Dom::NodeView a = Lumo::Dom::NodeView(rebuilt).firstAttribute(); a;
         a = a.nextAttribute())
      memoNodes_.push_back(a);
    memoNodesValid_ = memoNodes_.size() == declarations.size();
  }

  // The old element's attributes do not change during the walk, so their number, read
  // at every step, is the same at every step; FinishNode has usually just collected
  // them. Each is set under its own name with its own value.
  if (attrsOf_ != element.impl()) CollectAttributes(element);
  for (const Attribute& attribute : attrs_) {
    if (attribute.baseName == u"xmlns" || attribute.prefix == u"xmlns") continue;
    rebuilt.setAttributeFrom(attribute.node);
  }

  attrs_.clear();
  attrsOf_ = nullptr;
  rebuilt.appendChildrenOf(element);  // every child, in order
  element.replaceBy(rebuilt);         // rebuilt is new and holds only the element's children
  return rebuilt;
}

}  // namespace Lumo::Canon
