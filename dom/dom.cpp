// Node handles: reads, edits and the tree operations behind them.
#include "dom/dom.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>

#include "base/encoding.h"
#include "dom/dom_impl.h"
#include "dom/xml_chars.h"

namespace Lumo::Dom {

using namespace Lumo::Base;

void SerializeNode(const NodeImpl* n, WideString& out);  // dom_serialize.cpp
void SerializeNodeUtf8(const NodeImpl* n, ByteString& out);
void SerializeNodeUtf8(const NodeImpl* n, const std::function<void(ByteString&)>& consume);

// --- handles -------------------------------------------------------------------------
Node::Node(NodeImpl* node, DocumentImpl* keepAlive) noexcept : node_(node), keep_(keepAlive) {
  if (keep_) keep_->AddRef();
}
Node::Node(const Node& o) noexcept : node_(o.node_), keep_(o.keep_) {
  if (keep_) keep_->AddRef();
}
Node::Node(Node&& o) noexcept : node_(o.node_), keep_(o.keep_) {
  o.node_ = nullptr;
  o.keep_ = nullptr;
}
Node& Node::operator=(const Node& o) noexcept {
  if (o.keep_) o.keep_->AddRef();
  if (keep_) keep_->Release();
  node_ = o.node_;
  keep_ = o.keep_;
  return *this;
}
Node& Node::operator=(Node&& o) noexcept {
  if (this != &o) {
    if (keep_) keep_->Release();
    node_ = o.node_;
    keep_ = o.keep_;
    o.node_ = nullptr;
    o.keep_ = nullptr;
  }
  return *this;
}
Node::~Node() {
  if (keep_) keep_->Release();
}

namespace {

void Unlink(ChildImpl* c) {
  // Only a node in the tree is unlinked: a detached one keeps its owner in parent.
  assert(c->parent && !(c->bits & kFlagDetached));
  ElementImpl* p = AsContainer(c->parent);
  NodeImpl* first = p->first;
  ChildImpl* next = AsChild(c->next);
  if (c == first) {
    p->first = next;
    if (next) next->prev = c->prev;
  } else {
    AsChild(c->prev)->next = next;
    if (next) next->prev = c->prev;
    else
      AsChild(first)->prev = c->prev;
  }
  c->next = nullptr;
  c->prev = nullptr;
}

WideString TrimWs(WideView v) {
  size_t b = 0, e = v.size();
  while (b < e && IsXmlSpace(v[b])) ++b;
  while (e > b && IsXmlSpace(v[e - 1])) --e;
  return WideString(v.substr(b, e - b));
}

}  // namespace

// The document node that owns n.
ElementImpl* OwnerDocNode(const NodeImpl* n) {
  if (n->type() == NODE_DOCUMENT) return AsContainer(const_cast<NodeImpl*>(n));
  if (n->type() == NODE_ATTRIBUTE) return DocumentImpl::StorageOf(n)->docNode();
  // Known without the walk to the top, which costs the node's depth at every edit.
  if (DocumentImpl* st = DocumentImpl::StorageOf(n); st->Alone()) return st->docNode();
  const NodeImpl* cur = n;
  while (IsChildKind(cur)) {
    const ChildImpl* c = static_cast<const ChildImpl*>(cur);
    if (!c->parent) return DocumentImpl::StorageOf(n)->docNode();
    cur = c->parent;
  }
  return AsContainer(const_cast<NodeImpl*>(cur));
}

void Detach(ChildImpl* c) {
  if (c->bits & kFlagDetached) return;
  ElementImpl* owner = OwnerDocNode(c);
  Unlink(c);
  c->parent = owner;
  c->bits |= kFlagDetached;
  DocumentImpl::Edited();
}

void LinkChild(ElementImpl* parent, ChildImpl* child, ChildImpl* before) {
  // The child is out of every list (new, detached or just unlinked) and before, when
  // given, is one of parent's children: the ring of prev pointers stays closed.
  assert(IsContainer(parent) && IsChildKind(child) && child != parent);
  assert(!before || (before->parent == parent && !(before->bits & kFlagDetached)));
  ChildImpl* first = AsChild(parent->first);
  if (!before) {
    if (!first) {
      parent->first = child;
      child->prev = child;
    } else {
      ChildImpl* last = AsChild(first->prev);
      last->next = child;
      child->prev = last;
      first->prev = child;
    }
    child->next = nullptr;
  } else {
    child->next = before;
    child->prev = before->prev;
    if (before == first) parent->first = child;
    else
      AsChild(before->prev)->next = child;
    before->prev = child;
  }
  child->parent = parent;
  child->bits &= ~kFlagDetached;
}

static NodeImpl* Need(const Node& n) {
  if (!n.impl()) Fail("The node is null.", kE_POINTER);
  return n.impl();
}

NodeType Node::nodeType() const { return node_ ? node_->type() : NODE_INVALID; }

WideString Node::nodeName() const {
  NodeImpl* n = Need(*this);
  switch (n->type()) {
    case NODE_TEXT: return u"#text";
    case NODE_CDATA_SECTION: return u"#cdata-section";
    case NODE_COMMENT: return u"#comment";
    case NODE_DOCUMENT: return u"#document";
    default: return WideString(nameView());
  }
}

// The allocation-free reads are the views' (one definition for handles and views).
WideView Node::nameView() const noexcept { return NodeView(*this).nameView(); }

WideView Node::valueView() const noexcept { return NodeView(*this).valueView(); }

WideString Node::nodeValue() const {
  Need(*this);
  return WideString(valueView());
}

Node Node::parentNode() const { return DocumentImpl::WrapFrom(ParentOf(Need(*this)), *this); }

Node Node::firstChild() const {
  NodeImpl* n = Need(*this);
  return IsContainer(n) ? DocumentImpl::WrapFrom(AsContainer(n)->first, *this) : Node();
}

Node Node::lastChild() const {
  NodeImpl* n = Need(*this);
  if (!IsContainer(n) || !AsContainer(n)->first) return Node();
  return DocumentImpl::WrapFrom(AsChild(AsContainer(n)->first)->prev, *this);
}

Node Node::nextSibling() const {
  NodeImpl* n = Need(*this);
  if (!IsChildKind(n) || (n->bits & kFlagDetached)) return Node();
  return DocumentImpl::WrapFrom(n->next, *this);
}

Node Node::previousSibling() const {
  NodeImpl* n = Need(*this);
  if (!IsChildKind(n) || (n->bits & kFlagDetached)) return Node();
  ChildImpl* c = AsChild(n);
  if (AsContainer(c->parent)->first == c) return Node();
  return DocumentImpl::WrapFrom(c->prev, *this);
}

NodeList Node::childNodes() const {
  Need(*this);
  return NodeList(*this);
}

NamedNodeMap Node::attributes() const {
  NodeImpl* n = Need(*this);
  return n->type() == NODE_ELEMENT ? NamedNodeMap(*this) : NamedNodeMap();
}

bool Node::hasAttributesMap() const { return node_ && node_->type() == NODE_ELEMENT; }

bool Node::hasChildNodes() const {
  NodeImpl* n = Need(*this);
  return IsContainer(n) && AsContainer(n)->first != nullptr;
}

Document Node::ownerDocument() const {
  NodeImpl* n = Need(*this);
  if (n->type() == NODE_DOCUMENT) return Document();
  ElementImpl* d = OwnerDocNode(n);
  return DocumentImpl::WrapDocument(DocumentImpl::StorageOf(d));
}

bool Node::isElement() const noexcept { return NodeView(*this).isElement(); }
bool Node::isText() const noexcept { return NodeView(*this).isText(); }

WideString Node::namespaceURI() const { return WideString(namespaceView()); }

WideView Node::namespaceView() const {
  Need(*this);
  return NodeView(*this).namespaceView();
}

WideString Node::prefix() const {
  NodeImpl* n = Need(*this);
  NameRec* r = NameOf(n);
  if (!r || (n->type() != NODE_ELEMENT && n->type() != NODE_ATTRIBUTE)) return {};
  if (n->type() == NODE_ATTRIBUTE && r->q->WideEq(u"xmlns")) return u"xmlns";
  return r->q->prefix ? WideString(r->q->prefix->view()) : WideString();
}

WideString Node::baseName() const {
  NodeImpl* n = Need(*this);
  NameRec* r = NameOf(n);
  if (!r) return {};
  if (n->type() == NODE_ATTRIBUTE && r->q->WideEq(u"xmlns")) return {};
  if (n->type() != NODE_ELEMENT && n->type() != NODE_ATTRIBUTE) return WideString(r->q->view());
  return WideString(r->q->local->view());
}

// --- edits ---------------------------------------------------------------------------

// A checking build looks for a cycle even where the caller vouches there is none.
#ifdef NDEBUG
constexpr bool kLookAlways = false;
#else
constexpr bool kLookAlways = true;
#endif

// lookForCycle false: the caller knows that child is not parent nor one of its ancestors.
static void CheckInsert(ElementImpl* parent, NodeImpl* child, NodeImpl* ref, NodeImpl* replacing,
                        bool lookForCycle = true) {
  if (!IsContainer(parent)) Fail("This node cannot have children.", kE_FAIL);
  if (child->type() == NODE_DOCUMENT || child->type() == NODE_ATTRIBUTE || !IsChildKind(child))
    Fail("This node cannot be inserted as a child.", kE_INVALIDARG);
  if (ref && (!IsChildKind(ref) || (ref->bits & kFlagDetached) || AsChild(ref)->parent != parent))
    Fail("The reference node is not a child of this node.", kE_INVALIDARG);
  // No cycle: child must not be parent or one of its ancestors.
  for (NodeImpl* a = parent; a && (lookForCycle || kLookAlways); a = ParentOf(a)) {
    assert(a != child || lookForCycle);
    if (a == child) Fail("A node cannot be inserted into itself or its descendants.", kE_FAIL);
  }
  if (parent->type() == NODE_DOCUMENT) {
    NodeType t = child->type();
    if (t == NODE_TEXT || t == NODE_CDATA_SECTION)
      Fail("Text cannot be inserted at the top level of a document.", kE_FAIL);
    if (t == NODE_ELEMENT || t == NODE_DOCUMENT_TYPE) {
      for (NodeImpl* c = parent->first; c; c = c->next)
        if (c->type() == t && c != child && c != replacing)
          Fail("Only one top level element is allowed in a document.", kE_FAIL);
    }
  }
}

// Takes child out of wherever it is; a node of another document is adopted: the two
// storages then live and die together.
static void PrepareChild(ElementImpl* parent, ChildImpl* child) {
  if (!(child->bits & kFlagDetached)) Unlink(child);
  DocumentImpl::StorageOf(parent)->Merge(DocumentImpl::StorageOf(child));
}

Node Node::insertBefore(const Node& newChild, const Node& refChild) {
  NodeImpl* self = Need(*this);
  NodeImpl* nc = Need(newChild);
  NodeImpl* ref = refChild.impl();
  CheckInsert(AsContainer(self), nc, ref, nullptr);
  if (nc == ref) return newChild;
  ElementImpl* parent = AsContainer(self);
  ChildImpl* c = AsChild(nc);
  PrepareChild(parent, c);
  LinkChild(parent, c, ref ? AsChild(ref) : nullptr);
  DocumentImpl::Edited();
  return newChild;
}

Node Node::appendChild(const Node& newChild) { return insertBefore(newChild, Node()); }

void Node::appendChildrenOf(const Node& from) {
  NodeImpl* self = Need(*this);
  NodeImpl* src = Need(from);
  // A node's own children are already at its end, in order.
  if (self == src || !IsContainer(src) || !AsContainer(src)->first) return;
  // Each child would pass appendChild's checks when the target is an element outside
  // the source's subtree (no child is then the target or one of its ancestors); any
  // other case takes the general path, which also fails where appendChild fails.
  bool inside = false;
  for (NodeImpl* a = self; a; a = ParentOf(a))
    if (a == src) inside = true;
  if (self->type() != NODE_ELEMENT || inside) {
    while (from.hasChildNodes()) appendChild(from.firstChild());
    return;
  }
  ElementImpl* to = AsContainer(self);
  ElementImpl* source = AsContainer(src);
  DocumentImpl* st = DocumentImpl::StorageOf(to);
  ChildImpl* first = AsChild(source->first);
  ChildImpl* last = AsChild(first->prev);
  for (ChildImpl* c = first; c; c = AsChild(c->next)) {
    c->parent = to;
    c->bits &= ~kFlagDetached;
    if (c->storage() != st->id()) st->Merge(DocumentImpl::StorageOf(c));
  }
  source->first = nullptr;
  // Splice the run [first, last] after the target's last child.
  if (ChildImpl* old = AsChild(to->first)) {
    ChildImpl* oldLast = AsChild(old->prev);
    oldLast->next = first;
    first->prev = oldLast;
    old->prev = last;
  } else {
    to->first = first;
    first->prev = last;
  }
  last->next = nullptr;
  DocumentImpl::Edited();
}

// Puts nc in old's place among parent's children, once the checks are passed.
static void Replace(ElementImpl* parent, NodeImpl* nc, NodeImpl* old) {
  ChildImpl* c = AsChild(nc);
  PrepareChild(parent, c);
  LinkChild(parent, c, AsChild(old));
  Detach(AsChild(old));
  DocumentImpl::Edited();
}

Node Node::replaceChild(const Node& newChild, const Node& oldChild) {
  NodeImpl* self = Need(*this);
  NodeImpl* nc = Need(newChild);
  NodeImpl* old = Need(oldChild);
  CheckInsert(AsContainer(self), nc, old, old);
  if (nc == old) return oldChild;
  Replace(AsContainer(self), nc, old);
  return oldChild;
}

void Node::replaceBy(const Node& rebuilt) const {
  NodeImpl* old = Need(*this);
  NodeImpl* nc = Need(rebuilt);
  if (!IsChildKind(old) || (old->bits & kFlagDetached) || !AsChild(old)->parent)
    Fail("The node to replace has no parent.", kE_FAIL);
  if (nc->type() != NODE_ELEMENT || !(nc->bits & kFlagDetached))
    Fail("The replacement is not an element outside every tree.", kE_INVALIDARG);
  ElementImpl* parent = AsContainer(AsChild(old)->parent);
  CheckInsert(parent, nc, old, old, false);
  Replace(parent, nc, old);
}

Node Node::removeChild(const Node& child) {
  NodeImpl* self = Need(*this);
  NodeImpl* c = Need(child);
  if (!IsContainer(self) || !IsChildKind(c) || (c->bits & kFlagDetached) ||
      AsChild(c)->parent != self)
    Fail("The node is not a child of this node.", kE_INVALIDARG);
  Detach(AsChild(c));
  return child;
}

WideString Node::text() const {
  NodeImpl* n = Need(*this);
  if (!IsContainer(n)) return WideString(valueView());
  WideString out;
  NodeImpl* root = n;
  NodeImpl* cur = AsContainer(n)->first;
  while (cur) {
    NodeType t = cur->type();
    if (t == NODE_TEXT || t == NODE_CDATA_SECTION)
      out.append(static_cast<TextImpl*>(cur)->data, cur->len);
    if (t == NODE_ELEMENT && AsContainer(cur)->first) {
      cur = AsContainer(cur)->first;
      continue;
    }
    while (cur != root && !cur->next) cur = AsChild(cur)->parent;
    if (cur == root) break;
    cur = cur->next;
  }
  return TrimWs(out);
}

// setText for a value of `size` units that copy(storage) writes into a storage's text.
template <class Copy>
static void SetText(NodeImpl* n, size_t size, Copy copy) {
  DocumentImpl* st = DocumentImpl::StorageOf(n);
  if (IsContainer(n)) {
    if (n->type() == NODE_DOCUMENT) Fail("Text cannot be set on a document.", kE_FAIL);
    ElementImpl* e = AsContainer(n);
    while (e->first) Detach(AsChild(e->first));
    e->bits &= ~kFlagWsBeforeEnd;
    if (size != 0) {
      TextImpl* t = st->NewNode<TextImpl>(NODE_TEXT);
      t->data = copy(st);
      t->len = static_cast<uint32_t>(size);
      LinkChild(e, t, nullptr);
    }
    DocumentImpl::Edited();
    return;
  }
  switch (n->type()) {
    case NODE_ATTRIBUTE: static_cast<AttrImpl*>(n)->data = copy(st); break;
    case NODE_TEXT:
    case NODE_CDATA_SECTION:
    case NODE_COMMENT: static_cast<TextImpl*>(n)->data = copy(st); break;
    case NODE_PROCESSING_INSTRUCTION: static_cast<PIImpl*>(n)->data = copy(st); break;
    default: Fail("Text cannot be set on this node.", kE_FAIL);
  }
  n->len = static_cast<uint32_t>(size);
}

// Text set on nodes counts towards the size hint of a serialisation (a signature value
// put into a document is as long as the document).
void Node::setText(WideView value) {
  SetText(Need(*this), value.size(), [&](DocumentImpl* st) {
    st->loadedChars += value.size();
    return st->CopyText(value);
  });
}

void Node::setTextLatin1(std::string_view value) {
  setTextWritten(value.size(), [&](char16_t* w) {
    for (unsigned char c : value) *w++ = c;
  });
}

void Node::setTextWritten(size_t size, const std::function<void(char16_t*)>& write) {
  SetText(Need(*this), size, [&](DocumentImpl* st) {
    st->loadedChars += size;
    char16_t* start = st->textCur_;
    char16_t* w = st->textCur_;
    st->TextReserve(start, w, size + 1);
    write(start);
    st->textCur_ = start + size;
    return static_cast<const char16_t*>(start);
  });
}

WideString Node::xml() const {
  WideString out;
  appendXml(out);
  return out;
}

void Node::appendXml(WideString& out) const { SerializeNode(Need(*this), out); }

void Node::appendXmlUtf8(ByteString& out) const { SerializeNodeUtf8(Need(*this), out); }

void Node::writeXmlUtf8(const std::function<void(ByteString&)>& consume) const {
  SerializeNodeUtf8(Need(*this), consume);
}

static ElementImpl* NeedElement(const Node& n) {
  NodeImpl* p = Need(n);
  if (p->type() != NODE_ELEMENT) Fail("The node is not an element.", kE_NOINTERFACE);
  return static_cast<ElementImpl*>(p);
}

AttrImpl* FindAttr(ElementImpl* e, WideView name) {
  for (AttrImpl* a = e->attrs; a; a = static_cast<AttrImpl*>(a->next))
    if (a->name->q->WideEq(name)) return a;
  return nullptr;
}

WideString Node::getAttribute(WideView name) const {
  AttrImpl* a = FindAttr(NeedElement(*this), name);
  return a ? WideString(a->data, a->len) : WideString();
}

bool Node::hasAttribute(WideView name) const {
  return FindAttr(NeedElement(*this), name) != nullptr;
}

// setAttribute's work once the name is interned in the element's storage st. value is
// copied into the storage, unless shared: then it already lives in st's text store, whose
// text is never written again, and the attribute points at it.
static void SetAttributeAtom(ElementImpl* e, DocumentImpl* st, Atom* q, WideView value,
                             bool shared) {
  // Names are interned per document, so the attributes that live in this element's
  // storage are matched by pointer; one walk finds an existing attribute or the end of
  // the list, and an element that keeps receiving attributes gets an index (see
  // DocumentImpl::AttrIndex), so copying n attributes stays linear.
  auto store = [&](AttrImpl* a, DocumentImpl* own) {
    a->data = shared && own == st ? value.data() : own->CopyText(value);
    a->len = static_cast<uint32_t>(value.size());
  };
  DocumentImpl::AttrIndex& index = st->attrIndex;
  const bool indexed = index.element == e && index.stamp == e->len;
  AttrImpl* last = nullptr;
  size_t count = 0;
  bool allHere = true;
  if (indexed) {
    auto found = index.byName.find(q);
    if (found != index.byName.end()) {
      store(found->second, st);
      return;
    }
    last = index.tail;
  } else {
    for (AttrImpl* a = e->attrs; a; last = a, a = static_cast<AttrImpl*>(a->next)) {
      const bool here = a->storage() == st->id();  // no registry look-up for the usual case
      if (here ? a->name->q == q : a->name->q->WideEq(q->view())) {
        store(a, here ? st : DocumentImpl::StorageOf(a));
        return;
      }
      allHere = allHere && here;
      ++count;
    }
  }
  AttrImpl* a = st->NewNode<AttrImpl>(NODE_ATTRIBUTE);
  a->bits |= kFlagSpecified;
  a->name = st->Name(q, nullptr);
  store(a, st);
  if (last) {
    last->next = a;
  } else {
    e->attrs = a;
  }
  ++e->len;
  DocumentImpl::Edited();
  if (indexed) {
    index.byName.emplace(q, a);
    index.tail = a;
    index.stamp = e->len;
  } else if (count >= 16 && allHere) {
    index.element = e;
    index.byName.clear();
    for (AttrImpl* x = e->attrs; x; x = static_cast<AttrImpl*>(x->next))
      index.byName.emplace(x->name->q, x);
    index.tail = a;
    index.stamp = e->len;
  }
}

void Node::setAttribute(WideView name, WideView value) {
  ElementImpl* e = NeedElement(*this);
  DocumentImpl* st = DocumentImpl::StorageOf(e);
  Atom* q = st->InternValidQName(name);
  if (!q) Fail("The attribute name is not a valid XML name.", kE_INVALIDARG);
  SetAttributeAtom(e, st, q, value, false);
}

void Node::setAttributeFrom(NodeView attribute) {
  ElementImpl* e = NeedElement(*this);
  NodeImpl* n = attribute.node_;
  if (!n) Fail("The node is null.", kE_POINTER);
  if (n->type() != NODE_ATTRIBUTE) Fail("The node is not an attribute.", kE_INVALIDARG);
  const AttrImpl* from = static_cast<const AttrImpl*>(n);
  DocumentImpl* st = DocumentImpl::StorageOf(e);
  WideView value(from->data, from->len);
  if (DocumentImpl::StorageOf(from) != st) {
    setAttribute(from->name->q->view(), value);
    return;
  }
  // Same storage: the attribute's own name atom, checked once like any name handed in.
  Atom* q = from->name->q;
  if (!q->validQName) {
    if (!IsXmlQName(q->view())) Fail("The attribute name is not a valid XML name.", kE_INVALIDARG);
    q->validQName = true;
  }
  st->AnalyzeQName(q);
  SetAttributeAtom(e, st, q, value, true);
}

void Node::normalize() {
  NodeImpl* root = Need(*this);
  if (!IsContainer(root)) return;
  NodeImpl* cur = AsContainer(root)->first;
  while (cur) {
    if (cur->type() == NODE_TEXT) {
      // Merge the run of text siblings starting here; drop empty ones.
      NodeImpl* nx = cur->next;
      if (nx && nx->type() == NODE_TEXT) {
        DocumentImpl* st = DocumentImpl::StorageOf(cur);
        WideString merged(static_cast<TextImpl*>(cur)->data, cur->len);
        while (nx && nx->type() == NODE_TEXT) {
          merged.append(static_cast<TextImpl*>(nx)->data, nx->len);
          NodeImpl* after = nx->next;
          Detach(AsChild(nx));
          nx = after;
        }
        static_cast<TextImpl*>(cur)->data = st->CopyText(merged);
        cur->len = static_cast<uint32_t>(merged.size());
      }
      if (cur->len == 0) {
        NodeImpl* after = cur->next;
        ElementImpl* parent = AsContainer(AsChild(cur)->parent);
        Detach(AsChild(cur));
        if (after) {
          cur = after;
          continue;
        }
        cur = parent;
        while (cur != root && !cur->next) cur = AsChild(cur)->parent;
        if (cur == root) break;
        cur = cur->next;
        continue;
      }
    }
    if (cur->type() == NODE_ELEMENT && AsContainer(cur)->first) {
      cur = AsContainer(cur)->first;
      continue;
    }
    while (cur != root && !cur->next) cur = AsChild(cur)->parent;
    if (cur == root) break;
    cur = cur->next;
  }
}

}  // namespace Lumo::Dom
