// The document object model: storage, handles, tree operations.
#include "dom/dom.h"

#include <algorithm>
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

namespace Lumo::Dom {

using namespace Lumo::Base;

bool IsXmlQName(WideView name);         // xml_parser.cpp
void SerializeNode(const NodeImpl* n, WideString& out);  // dom_serialize.cpp
void SerializeNodeUtf8(const NodeImpl* n, ByteString& out);
void SerializeNodeUtf8(const NodeImpl* n, const std::function<void(ByteString&)>& consume);

// --- storage registry ----------------------------------------------------------------
namespace {
constexpr uint32_t kMaxStorages = 1u << (32 - kStorageShift);
constexpr uint32_t kPageBits = 10;
using Slot = std::atomic<DocumentImpl*>;
// Two levels, pages made on first use: an id maps to its storage without a lock. The
// page table is constant-initialised (zeroed before any code runs), so the look-up
// that every node handle makes needs no guard of a function-local static.
std::atomic<Slot*> pageTable[kMaxStorages >> kPageBits];
std::atomic<Slot*>* Pages() { return pageTable; }
Slot& SlotOf(uint32_t id) {   // the page exists for every id handed out
  return Pages()[id >> kPageBits].load(std::memory_order_acquire)[id & ((1u << kPageBits) - 1)];
}
std::mutex& RegistryLock() {
  static std::mutex m;
  return m;
}
std::vector<uint32_t>& FreeIds() {
  static std::vector<uint32_t> ids;
  return ids;
}
uint32_t nextId = 1;
std::atomic<uint32_t> editStamp{1};
}  // namespace

DocumentImpl* DocumentImpl::FromId(uint32_t id) { return SlotOf(id).load(std::memory_order_relaxed); }
uint32_t DocumentImpl::EditStamp() { return editStamp.load(std::memory_order_relaxed); }
void DocumentImpl::Edited() { editStamp.fetch_add(1, std::memory_order_relaxed); }

[[noreturn]] void Fail(const char* what, int32_t code) { throw EPlatformError(what, code); }

DocumentImpl::DocumentImpl(Document::Flavour f) : flavour(f) {
  group_ = new Group();
  group_->members.push_back(this);
  {
    std::lock_guard<std::mutex> lock(RegistryLock());
    if (!FreeIds().empty()) {
      id_ = FreeIds().back();
      FreeIds().pop_back();
    } else {
      if (nextId >= kMaxStorages) throw EPlatformError("Too many documents.", kE_FAIL);
      id_ = nextId++;
      std::atomic<Slot*>& page = Pages()[id_ >> kPageBits];
      if (!page.load(std::memory_order_relaxed)) page.store(new Slot[1u << kPageBits](), std::memory_order_release);
    }
    SlotOf(id_).store(this, std::memory_order_relaxed);
  }
  atoms_.assign(256, nullptr);
  atomMask_ = 255;
  doc_ = NewNode<ElementImpl>(NODE_DOCUMENT);
  empty_ = Intern(u"", 0, kHashInit);
}

DocumentImpl::~DocumentImpl() {
  for (const StorageBlock& b : nodeBlocks_) FreeStorageBlock(b);
  for (const StorageBlock& c : textChunks_) FreeStorageBlock(c);
  {
    std::lock_guard<std::mutex> lock(RegistryLock());
    SlotOf(id_).store(nullptr, std::memory_order_relaxed);
    FreeIds().push_back(id_);
  }
}

void DocumentImpl::DestroyGroup() noexcept {
  Group* g = group_;
  for (DocumentImpl* d : g->members) delete d;
  delete g;
}

void DocumentImpl::Merge(DocumentImpl* other) {
  Group* a = group_;
  Group* b = other->group_;
  if (a == b) return;
  if (a->members.size() < b->members.size()) std::swap(a, b);
  for (DocumentImpl* d : b->members) {
    d->group_ = a;
    a->members.push_back(d);
  }
  a->refs += b->refs;
  delete b;
}

void DocumentImpl::NewNodeBlock(size_t need) {
  size_t size = std::max(nodeBlockSize_, need);
  if (nodeBlockSize_ < (1u << 20)) nodeBlockSize_ *= 2;
  if (nodeBlocks_.size() == nodeBlocks_.capacity()) nodeBlocks_.reserve(2 * nodeBlocks_.size() + 8);
  StorageBlock block = AllocateStorageBlock(size);
  nodeBlocks_.push_back(block);
  char* b = static_cast<char*>(block.data);
  nodeCur_ = b;
  nodeEnd_ = b + size;
}

void DocumentImpl::TextReserve(char16_t*& itemStart, char16_t*& w, size_t n, bool exact) {
  if (static_cast<size_t>(textEnd_ - w) >= n) return;
  size_t pending = static_cast<size_t>(w - itemStart);
  // Geometric growth for a long pending item, so that moving it stays linear; an item
  // that starts here and needs more than a chunk gets just its room (a value copied in
  // whole, like a signature, is not given twice its size).
  size_t size = std::max(textChunkSize_, pending && !exact ? 2 * (pending + n) : pending + n);
  if (textChunkSize_ < (1u << 20)) textChunkSize_ *= 2;
  if (textChunks_.size() == textChunks_.capacity()) textChunks_.reserve(2 * textChunks_.size() + 8);
  StorageBlock block = AllocateStorageBlock(size * sizeof(char16_t));
  char16_t* c = static_cast<char16_t*>(block.data);
  if (pending) std::memcpy(c, itemStart, pending * sizeof(char16_t));
  // A chunk that held nothing but the pending item is released.
  if (!textChunks_.empty() && itemStart == textChunks_.back().data && pending) {
    FreeStorageBlock(textChunks_.back());
    textChunks_.back() = block;
  } else {
    textChunks_.push_back(block);
  }
  itemStart = c;
  w = c + pending;
  textCur_ = c;
  textEnd_ = c + size;
}

const char16_t* DocumentImpl::CopyText(WideView text) {
  char16_t* start = textCur_;
  char16_t* w = textCur_;
  TextReserve(start, w, text.size() + 1);
  if (!text.empty()) std::memcpy(w, text.data(), text.size() * sizeof(char16_t));
  textCur_ = w + text.size();
  return start;
}

void DocumentImpl::GrowAtoms() {
  std::vector<Atom*> old;
  old.swap(atoms_);
  atoms_.assign(old.size() * 2, nullptr);
  atomMask_ = static_cast<uint32_t>(atoms_.size() - 1);
  for (Atom* a : old) {
    if (!a) continue;
    uint32_t i = a->hash & atomMask_;
    while (atoms_[i]) i = (i + 1) & atomMask_;
    atoms_[i] = a;
  }
}

Atom* DocumentImpl::Intern(const char16_t* s, uint32_t len, uint32_t hash) {
  uint32_t i = hash & atomMask_;
  for (;; i = (i + 1) & atomMask_) {
    Atom* a = atoms_[i];
    if (!a) break;
    if (a->hash == hash && a->len == len && std::memcmp(a->s, s, len * sizeof(char16_t)) == 0) return a;
  }
  Atom* a = static_cast<Atom*>(AllocRaw(sizeof(Atom)));
  std::memset(static_cast<void*>(a), 0, sizeof(Atom));
  a->s = CopyText(WideView(s, len));
  a->len = len;
  a->hash = hash;
  a->colon = -1;
  a->local = a;
  atoms_[i] = a;
  if (++atomCount_ * 2 > atoms_.size()) GrowAtoms();
  return a;
}

void DocumentImpl::AnalyzeQName(Atom* a) {
  if (a->colon != -1) return;
  WideView v = a->view();
  size_t c = v.find(u':');
  if (c == WideView::npos) {
    a->colon = -2;
    return;
  }
  if (c == 0 || c + 1 >= v.size() || v.find(u':', c + 1) != WideView::npos) {
    a->colon = -3;
    return;
  }
  Atom* p = Intern(v.substr(0, c));
  Atom* l = Intern(v.substr(c + 1));
  a->colon = static_cast<int32_t>(c);
  a->prefix = p;
  a->local = l;
}

Atom* DocumentImpl::InternQName(WideView v) {
  Atom* a = Intern(v);
  AnalyzeQName(a);
  return a;
}

Atom* DocumentImpl::InternValidQName(WideView v) {
  const uint32_t len = static_cast<uint32_t>(v.size());
  const uint32_t hash = Hash(v.data(), v.size());
  Atom* a = FindRaw(v.data(), len, hash);
  if (!a || !a->validQName) {
    if (!IsXmlQName(v)) return nullptr;
    if (!a) a = Intern(v.data(), len, hash);
    a->validQName = true;
  }
  AnalyzeQName(a);
  return a;
}

NameRec* DocumentImpl::Name(Atom* q, Atom* uri) {
  for (NameRec* r = q->names; r; r = r->next)
    if (r->uri == uri) return r;
  NameRec* r = static_cast<NameRec*>(AllocRaw(sizeof(NameRec)));
  r->q = q;
  r->uri = uri;
  r->next = q->names;
  q->names = r;
  return r;
}

void DocumentImpl::ResetParseData() {
  for (Atom* a : touched_) {
    a->entity = nullptr;
    a->pentity = nullptr;
    a->attlist = nullptr;
    a->nsUri = nullptr;
  }
  touched_.clear();
}

Node DocumentImpl::Wrap(NodeImpl* n) { return n ? Node(n, StorageOf(n)) : Node(); }
Node DocumentImpl::WrapFrom(NodeImpl* n, const Node& from) {
  if (!n) return Node();
  DocumentImpl* near = from.keep_;
  return Node(n, near && near->id_ == n->storage() ? near : StorageOf(n));
}
Document DocumentImpl::WrapDocument(DocumentImpl* d) { return Document(d->doc_, d); }

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

inline bool IsContainer(const NodeImpl* n) {
  return n->type() == NODE_ELEMENT || n->type() == NODE_DOCUMENT;
}
inline bool IsChildKind(const NodeImpl* n) {
  NodeType t = n->type();
  return t == NODE_ELEMENT || t == NODE_TEXT || t == NODE_CDATA_SECTION || t == NODE_COMMENT ||
         t == NODE_PROCESSING_INSTRUCTION || t == NODE_DOCUMENT_TYPE;
}
inline ElementImpl* AsContainer(NodeImpl* n) { return static_cast<ElementImpl*>(n); }
inline ChildImpl* AsChild(NodeImpl* n) { return static_cast<ChildImpl*>(n); }

// The parent in the tree (null for detached roots, documents and attributes).
inline NodeImpl* ParentOf(const NodeImpl* n) {
  if (!n || !IsChildKind(n) || (n->bits & kFlagDetached)) return nullptr;
  return static_cast<const ChildImpl*>(n)->parent;
}

// The document node that owns n.
ElementImpl* OwnerDocNode(const NodeImpl* n) {
  if (n->type() == NODE_DOCUMENT) return AsContainer(const_cast<NodeImpl*>(n));
  if (n->type() == NODE_ATTRIBUTE) return DocumentImpl::StorageOf(n)->docNode();
  const NodeImpl* cur = n;
  while (IsChildKind(cur)) {
    const ChildImpl* c = static_cast<const ChildImpl*>(cur);
    if (!c->parent) return DocumentImpl::StorageOf(n)->docNode();
    cur = c->parent;
  }
  return AsContainer(const_cast<NodeImpl*>(cur));
}

const char16_t* ValueData(const NodeImpl* n) {
  switch (n->type()) {
    case NODE_ATTRIBUTE: return static_cast<const AttrImpl*>(n)->data;
    case NODE_TEXT:
    case NODE_CDATA_SECTION:
    case NODE_COMMENT: return static_cast<const TextImpl*>(n)->data;
    case NODE_PROCESSING_INSTRUCTION: return static_cast<const PIImpl*>(n)->data;
    default: return nullptr;
  }
}

NameRec* NameOf(const NodeImpl* n) {
  switch (n->type()) {
    case NODE_ELEMENT: return static_cast<const ElementImpl*>(n)->name;
    case NODE_ATTRIBUTE: return static_cast<const AttrImpl*>(n)->name;
    case NODE_PROCESSING_INSTRUCTION:
    case NODE_DOCUMENT_TYPE: return static_cast<const PIImpl*>(n)->name;
    default: return nullptr;
  }
}

void Unlink(ChildImpl* c) {
  ElementImpl* p = AsContainer(c->parent);
  NodeImpl* first = p->first;
  ChildImpl* next = AsChild(c->next);
  if (c == first) {
    p->first = next;
    if (next) next->prev = c->prev;
  } else {
    AsChild(c->prev)->next = next;
    if (next) next->prev = c->prev;
    else AsChild(first)->prev = c->prev;
  }
  c->next = nullptr;
  c->prev = nullptr;
}

void Detach(ChildImpl* c) {
  if (c->bits & kFlagDetached) return;
  ElementImpl* owner = OwnerDocNode(c);
  Unlink(c);
  c->parent = owner;
  c->bits |= kFlagDetached;
  DocumentImpl::Edited();
}

WideString TrimWs(WideView v) {
  size_t b = 0, e = v.size();
  auto ws = [](char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; };
  while (b < e && ws(v[b])) ++b;
  while (e > b && ws(v[e - 1])) --e;
  return WideString(v.substr(b, e - b));
}

}  // namespace

void LinkChild(ElementImpl* parent, ChildImpl* child, ChildImpl* before) {
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
    else AsChild(before->prev)->next = child;
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

static void CheckInsert(ElementImpl* parent, NodeImpl* child, NodeImpl* ref, NodeImpl* replacing) {
  if (!IsContainer(parent)) Fail("This node cannot have children.", kE_FAIL);
  if (child->type() == NODE_DOCUMENT || child->type() == NODE_ATTRIBUTE || !IsChildKind(child))
    Fail("This node cannot be inserted as a child.", kE_INVALIDARG);
  if (ref && (!IsChildKind(ref) || (ref->bits & kFlagDetached) || AsChild(ref)->parent != parent))
    Fail("The reference node is not a child of this node.", kE_INVALIDARG);
  // No cycle: child must not be parent or one of its ancestors.
  for (NodeImpl* a = parent; a; a = ParentOf(a))
    if (a == child) Fail("A node cannot be inserted into itself or its descendants.", kE_FAIL);
  if (parent->type() == NODE_DOCUMENT) {
    NodeType t = child->type();
    if (t == NODE_TEXT || t == NODE_CDATA_SECTION) Fail("Text cannot be inserted at the top level of a document.", kE_FAIL);
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

Node Node::replaceChild(const Node& newChild, const Node& oldChild) {
  NodeImpl* self = Need(*this);
  NodeImpl* nc = Need(newChild);
  NodeImpl* old = Need(oldChild);
  CheckInsert(AsContainer(self), nc, old, old);
  if (nc == old) return oldChild;
  ElementImpl* parent = AsContainer(self);
  ChildImpl* c = AsChild(nc);
  PrepareChild(parent, c);
  LinkChild(parent, c, AsChild(old));
  Detach(AsChild(old));
  DocumentImpl::Edited();
  return oldChild;
}

Node Node::removeChild(const Node& child) {
  NodeImpl* self = Need(*this);
  NodeImpl* c = Need(child);
  if (!IsContainer(self) || !IsChildKind(c) || (c->bits & kFlagDetached) || AsChild(c)->parent != self)
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
    if (t == NODE_TEXT || t == NODE_CDATA_SECTION) out.append(static_cast<TextImpl*>(cur)->data, cur->len);
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

static AttrImpl* FindAttr(ElementImpl* e, WideView name) {
  for (AttrImpl* a = e->attrs; a; a = static_cast<AttrImpl*>(a->next))
    if (a->name->q->WideEq(name)) return a;
  return nullptr;
}

WideString Node::getAttribute(WideView name) const {
  AttrImpl* a = FindAttr(NeedElement(*this), name);
  return a ? WideString(a->data, a->len) : WideString();
}

bool Node::hasAttribute(WideView name) const { return FindAttr(NeedElement(*this), name) != nullptr; }

// setAttribute's work once the name is interned in the element's storage st. value is
// copied into the storage, unless shared: then it already lives in st's text store, whose
// text is never written again, and the attribute points at it.
static void SetAttributeAtom(ElementImpl* e, DocumentImpl* st, Atom* q, WideView value, bool shared) {
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
    for (AttrImpl* x = e->attrs; x; x = static_cast<AttrImpl*>(x->next)) index.byName.emplace(x->name->q, x);
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

// --- lists ---------------------------------------------------------------------------

int32_t NodeList::length() const {
  if (!parent_ || !IsContainer(parent_.impl())) return 0;
  int32_t n = 0;
  for (NodeImpl* c = AsContainer(parent_.impl())->first; c; c = c->next) ++n;
  return n;
}

Node NodeList::item(int32_t index) const {
  if (!parent_ || index < 0 || !IsContainer(parent_.impl())) return Node();
  NodeImpl* c = AsContainer(parent_.impl())->first;
  int32_t i = 0;
  uint32_t stamp = DocumentImpl::EditStamp();
  if (cacheNode_ && cacheStamp_ == stamp && cacheIndex_ <= index) {
    c = cacheNode_;
    i = cacheIndex_;
  }
  for (; c && i < index; ++i) c = c->next;
  if (!c) return Node();
  cacheNode_ = c;
  cacheIndex_ = index;
  cacheStamp_ = stamp;
  return DocumentImpl::Wrap(c);
}

// --- views ---------------------------------------------------------------------------

NodeType NodeView::nodeType() const noexcept { return node_ ? node_->type() : NODE_INVALID; }
bool NodeView::isElement() const noexcept { return node_ && node_->type() == NODE_ELEMENT; }
bool NodeView::isText() const noexcept {
  return node_ && (node_->type() == NODE_TEXT || node_->type() == NODE_CDATA_SECTION);
}
WideView NodeView::nameView() const noexcept {
  if (!node_) return {};
  NameRec* r = NameOf(node_);
  return r ? r->q->view() : WideView();
}
WideView NodeView::valueView() const noexcept {
  if (!node_) return {};
  const char16_t* d = ValueData(node_);
  return d ? WideView(d, node_->len) : WideView();
}
WideView NodeView::namespaceView() const noexcept {
  if (!node_) return {};
  NameRec* r = NameOf(node_);
  if (!r || node_->type() == NODE_PROCESSING_INSTRUCTION || node_->type() == NODE_DOCUMENT_TYPE || !r->uri) return {};
  return r->uri->view();
}
NodeView NodeView::parentNode() const noexcept { return NodeView(ParentOf(node_)); }
NodeView NodeView::firstChild() const noexcept {
  return node_ && IsContainer(node_) ? NodeView(AsContainer(node_)->first) : NodeView();
}
NodeView NodeView::nextSibling() const noexcept {
  if (!node_ || !IsChildKind(node_) || (node_->bits & kFlagDetached)) return NodeView();
  return NodeView(node_->next);
}
NodeView NodeView::firstAttribute() const noexcept {
  return node_ && node_->type() == NODE_ELEMENT ? NodeView(AsContainer(node_)->attrs) : NodeView();
}
NodeView NodeView::nextAttribute() const noexcept {
  return node_ && node_->type() == NODE_ATTRIBUTE ? NodeView(node_->next) : NodeView();
}
NodeView NodeView::attributeNamed(WideView qualifiedName) const noexcept {
  if (!node_ || node_->type() != NODE_ELEMENT) return NodeView();
  return NodeView(FindAttr(AsContainer(node_), qualifiedName));
}
void NodeView::appendXml(WideString& out) const {
  if (!node_) Fail("The node is null.", kE_POINTER);
  SerializeNode(node_, out);
}
Node NodeView::node() const { return DocumentImpl::Wrap(node_); }
bool NodeView::whiteSpaceBefore() const noexcept { return node_ && (node_->bits & kFlagWsBefore); }
bool NodeView::whiteSpaceBeforeEnd() const noexcept {
  return node_ && node_->type() == NODE_ELEMENT && (node_->bits & kFlagWsBeforeEnd);
}
bool NodeView::hasNamespaceBinding() const noexcept {
  if (!node_ || (node_->type() != NODE_ELEMENT && node_->type() != NODE_ATTRIBUTE)) return false;
  NameRec* r = NameOf(node_);
  return r && r->uri;
}
size_t NodeView::documentSizeHint() const noexcept {
  return node_ ? DocumentImpl::StorageOf(node_)->loadedChars : 0;
}

int32_t NamedNodeMap::length() const {
  if (!element_) return 0;
  const uint32_t stamp = element_.impl()->len;  // the element's attribute-list changes
  if (cachedLength_ >= 0 && lengthStamp_ == stamp) return cachedLength_;
  int32_t n = 0;
  for (AttrImpl* a = static_cast<ElementImpl*>(element_.impl())->attrs; a; a = static_cast<AttrImpl*>(a->next)) ++n;
  cachedLength_ = n;
  lengthStamp_ = stamp;
  return n;
}

Node NamedNodeMap::item(int32_t index) const {
  if (!element_ || index < 0) return Node();
  AttrImpl* a = static_cast<ElementImpl*>(element_.impl())->attrs;
  int32_t i = 0;
  const uint32_t stamp = element_.impl()->len;  // the element's attribute-list changes
  if (cacheNode_ && cacheStamp_ == stamp && cacheIndex_ <= index) {
    a = static_cast<AttrImpl*>(cacheNode_);
    i = cacheIndex_;
  }
  for (; a && i < index; ++i) a = static_cast<AttrImpl*>(a->next);
  if (a) {
    cacheNode_ = a;
    cacheIndex_ = index;
    cacheStamp_ = stamp;
  }
  return DocumentImpl::WrapFrom(a, element_);
}

Node NamedNodeMap::getNamedItem(WideView qualifiedName) const {
  if (!element_) return Node();
  return DocumentImpl::WrapFrom(FindAttr(static_cast<ElementImpl*>(element_.impl()), qualifiedName), element_);
}

Node NamedNodeMap::removeQualifiedItem(WideView baseName, WideView namespaceURI) {
  if (!element_) return Node();
  ElementImpl* e = static_cast<ElementImpl*>(element_.impl());
  AttrImpl* prev = nullptr;
  for (AttrImpl* a = e->attrs; a; prev = a, a = static_cast<AttrImpl*>(a->next)) {
    Node h = DocumentImpl::Wrap(a);
    if (h.baseName() == baseName && h.namespaceURI() == namespaceURI) {
      if (prev) prev->next = a->next;
      else e->attrs = static_cast<AttrImpl*>(a->next);
      a->next = nullptr;
      ++e->len;
      DocumentImpl::Edited();
      return h;
    }
  }
  return Node();
}

// --- documents -----------------------------------------------------------------------

Document Document::Create(Flavour flavour) {
  DocumentImpl* d = new DocumentImpl(flavour);
  return DocumentImpl::WrapDocument(d);
}

static DocumentImpl* DocOf(const Document& d) {
  if (!d.impl()) Fail("The document is null.", kE_POINTER);
  return DocumentImpl::StorageOf(d.impl());
}

static void ClearDocument(DocumentImpl* d) {
  ElementImpl* dn = d->docNode();
  while (dn->first) Detach(AsChild(dn->first));
  d->error = ParseError();
}

bool Document::loadXML(WideView text) { return LoadWide(text, false); }

bool Document::loadXMLBorrowing(WideView text) { return LoadWide(text, true); }

bool Document::LoadWide(WideView text, bool borrow) {
  DocumentImpl* d = DocOf(*this);
  ClearDocument(d);
  bool ok = ParseWide(d, text, borrow);
  if (!ok) {
    ParseError e = d->error;
    ClearDocument(d);
    d->error = e;
  }
  return ok;
}

bool Document::loadBytes(std::string_view bytes) {
  DocumentImpl* d = DocOf(*this);
  ClearDocument(d);
  bool ok = ParseBytes(d, bytes);
  if (!ok) {
    ParseError e = d->error;
    ClearDocument(d);
    d->error = e;
  }
  return ok;
}

bool Document::load(const AnsiString& fileName) {
  DocumentImpl* d = DocOf(*this);
  ClearDocument(d);
  std::FILE* f = std::fopen(fileName.c_str(), "rb");
  if (!f) {
    int err = errno;
    std::string reason = "The file '" + fileName + "' cannot be opened: " + std::strerror(err) + ".";
    SetLoadError(d, static_cast<int32_t>(0x800C0006u), WideFromUtf8(reason));
    d->error.url = AnsiToWide(fileName);
    return false;
  }
  std::string bytes;
  // Sized once where the file tells its size: a buffer grown by doubling would leave a
  // trail of freed large blocks, and the allocator answers those by keeping later
  // large blocks (the canonical texts of a big document) instead of returning them.
  if (std::fseek(f, 0, SEEK_END) == 0) {
    long size = std::ftell(f);
    if (size > 0) bytes.reserve(static_cast<size_t>(size));
    std::rewind(f);
  }
  char buf[65536];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, got);
  bool readError = std::ferror(f) != 0;
  std::fclose(f);
  if (readError) {
    SetLoadError(d, static_cast<int32_t>(0x800C0006u), WideFromUtf8("The file '" + fileName + "' cannot be read."));
    d->error.url = AnsiToWide(fileName);
    return false;
  }
  bool ok = loadBytes(bytes);
  d->error.url = AnsiToWide(fileName);
  return ok;
}

Node Document::documentElement() const {
  DocumentImpl* d = DocOf(*this);
  for (NodeImpl* c = d->docNode()->first; c; c = c->next)
    if (c->type() == NODE_ELEMENT) return DocumentImpl::Wrap(c);
  return Node();
}

const ParseError& Document::parseError() const { return DocOf(*this)->error; }

Node Document::createElement(WideView qualifiedName) {
  DocumentImpl* d = DocOf(*this);
  Atom* q = d->InternValidQName(qualifiedName);
  if (!q) Fail("The element name is not a valid XML name.", kE_INVALIDARG);
  ElementImpl* e = d->NewNode<ElementImpl>(NODE_ELEMENT);
  e->name = d->Name(q, nullptr);
  e->parent = d->docNode();
  e->bits |= kFlagDetached;
  return DocumentImpl::Wrap(e);
}

Node Document::createTextNode(WideView data) {
  DocumentImpl* d = DocOf(*this);
  TextImpl* t = d->NewNode<TextImpl>(NODE_TEXT);
  t->data = d->CopyText(data);
  t->len = static_cast<uint32_t>(data.size());
  t->parent = d->docNode();
  t->bits |= kFlagDetached;
  return DocumentImpl::Wrap(t);
}

bool Document::validateOnParse() const { return DocOf(*this)->validateOnParse; }
void Document::setValidateOnParse(bool value) { DocOf(*this)->validateOnParse = value; }

}  // namespace Lumo::Dom
