// A document's storage: the registry that maps a storage id to its storage, node and
// text allocation, interned names, and the handles' wrapping of raw nodes.
#include <atomic>
#include <cassert>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "dom/dom.h"
#include "dom/dom_impl.h"
#include "dom/xml_chars.h"

namespace Lumo::Dom {

using namespace Lumo::Base;

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
Slot& SlotOf(uint32_t id) {  // the page exists for every id handed out
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

DocumentImpl* DocumentImpl::FromId(uint32_t id) {
  return SlotOf(id).load(std::memory_order_relaxed);
}
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
      if (!page.load(std::memory_order_relaxed))
        page.store(new Slot[1u << kPageBits](), std::memory_order_release);
    }
    SlotOf(id_).store(this, std::memory_order_relaxed);
  }
  atoms_.assign(256, nullptr);
  atomMask_ = 255;
  doc_ = NewNode<ElementImpl>(NODE_DOCUMENT);
  empty_ = Intern(u"", 0, kHashInit);
}

DocumentImpl::~DocumentImpl() {
  for (const auto* blocks :
       {&nodeBlocks_, &textChunks_, &spareNodeBlocks_, &spareTextChunks_, &nameBlocks_}) {
    for (const StorageBlock& b : *blocks) FreeStorageBlock(b);
  }
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

namespace {

// A block given back earlier that holds at least `bytes`, taken off the spares; none: a
// block with data null.
StorageBlock TakeSpare(std::vector<StorageBlock>& spares, size_t bytes) {
  for (size_t i = spares.size(); i-- > 0;) {
    if (spares[i].bytes < bytes) continue;
    StorageBlock block = spares[i];
    spares.erase(spares.begin() + static_cast<std::ptrdiff_t>(i));
    return block;
  }
  return StorageBlock{nullptr, 0};
}

}  // namespace

void DocumentImpl::NewNodeBlock(size_t need) {
  size_t size = std::max(nodeBlockSize_, need);
  if (nodeBlocks_.size() == nodeBlocks_.capacity()) nodeBlocks_.reserve(2 * nodeBlocks_.size() + 8);
  StorageBlock block = TakeSpare(spareNodeBlocks_, need);
  if (!block.data) {
    if (nodeBlockSize_ < (1u << 20)) nodeBlockSize_ *= 2;
    block = AllocateStorageBlock(size);
  }
  nodeBlocks_.push_back(block);
  char* b = static_cast<char*>(block.data);
  nodeCur_ = b;
  nodeEnd_ = b + block.bytes;
}

void* DocumentImpl::AllocName(size_t size) {
  size = (size + 7) & ~size_t(7);
  if (static_cast<size_t>(nameEnd_ - nameCur_) < size) {
    StorageBlock block = AllocateStorageBlock(std::max<size_t>(size, 8 * 1024));
    nameBlocks_.push_back(block);
    nameCur_ = static_cast<char*>(block.data);
    nameEnd_ = nameCur_ + block.bytes;
  }
  void* p = nameCur_;
  nameCur_ += size;
  return p;
}

DocumentImpl::StorageMark DocumentImpl::Mark() const {
  StorageMark m;
  m.nodeBlocks = nodeBlocks_.size();
  m.nodeUsed = m.nodeBlocks
                   ? static_cast<size_t>(nodeCur_ - static_cast<char*>(nodeBlocks_.back().data))
                   : 0;
  m.textChunks = textChunks_.size();
  m.textUsed = m.textChunks
                   ? static_cast<size_t>(textCur_ - static_cast<char16_t*>(textChunks_.back().data))
                   : 0;
  return m;
}

void DocumentImpl::ReleaseTo(const StorageMark& m) {
  assert(nodeBlocks_.size() >= m.nodeBlocks && textChunks_.size() >= m.textChunks);
  while (nodeBlocks_.size() > m.nodeBlocks) {
    spareNodeBlocks_.push_back(nodeBlocks_.back());
    nodeBlocks_.pop_back();
  }
  while (textChunks_.size() > m.textChunks) {
    spareTextChunks_.push_back(textChunks_.back());
    textChunks_.pop_back();
  }
  // The last block of the mark is the one it was taken in (a text chunk that was
  // replaced by a larger one held nothing before the mark: its place is the start).
  if (m.nodeBlocks) {
    char* b = static_cast<char*>(nodeBlocks_.back().data);
    nodeCur_ = b + m.nodeUsed;
    nodeEnd_ = b + nodeBlocks_.back().bytes;
  } else {
    nodeCur_ = nodeEnd_ = nullptr;
  }
  if (m.textChunks) {
    char16_t* c = static_cast<char16_t*>(textChunks_.back().data);
    textCur_ = c + m.textUsed;
    textEnd_ = c + textChunks_.back().bytes / sizeof(char16_t);
  } else {
    textCur_ = textEnd_ = nullptr;
  }
  Edited();
}

void DocumentImpl::TextReserve(char16_t*& itemStart, char16_t*& w, size_t n, bool exact) {
  if (static_cast<size_t>(textEnd_ - w) >= n) return;
  size_t pending = static_cast<size_t>(w - itemStart);
  // Geometric growth for a long pending item, so that moving it stays linear; an item
  // that starts here and needs more than a chunk gets just its room (a value copied in
  // whole, like a signature, is not given twice its size).
  size_t size = std::max(textChunkSize_, pending && !exact ? 2 * (pending + n) : pending + n);
  if (textChunks_.size() == textChunks_.capacity()) textChunks_.reserve(2 * textChunks_.size() + 8);
  StorageBlock block = TakeSpare(spareTextChunks_, (pending + n) * sizeof(char16_t));
  if (block.data) {
    size = block.bytes / sizeof(char16_t);
  } else {
    if (textChunkSize_ < (1u << 20)) textChunkSize_ *= 2;
    block = AllocateStorageBlock(size * sizeof(char16_t));
  }
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
    if (a->hash == hash && a->len == len && std::memcmp(a->s, s, len * sizeof(char16_t)) == 0)
      return a;
  }
  Atom* a = static_cast<Atom*>(AllocName(sizeof(Atom)));
  std::memset(static_cast<void*>(a), 0, sizeof(Atom));
  char16_t* text = static_cast<char16_t*>(AllocName((len + 1) * sizeof(char16_t)));
  if (len) std::memcpy(text, s, len * sizeof(char16_t));
  text[len] = 0;
  a->s = text;
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
  // A name has a record or two as a rule, and its list is searched; past a few, its
  // records go into a map, so that a name in thousands of namespaces is not searched for
  // in a list as long as the document.
  constexpr uint32_t kListed = 8;
  if (q->namesIndexed) {
    auto it = manyNames_.find({q, uri});
    if (it != manyNames_.end()) return it->second;
  } else {
    uint32_t count = 0;
    for (NameRec* r = q->names; r; r = r->next, ++count)
      if (r->uri == uri) return r;
    if (count >= kListed) {
      for (NameRec* r = q->names; r; r = r->next) manyNames_.emplace(NameKey{q, r->uri}, r);
      q->namesIndexed = true;
    }
  }
  NameRec* r = static_cast<NameRec*>(AllocName(sizeof(NameRec)));
  r->q = q;
  r->uri = uri;
  r->next = q->names;
  q->names = r;
  if (q->namesIndexed) manyNames_.emplace(NameKey{q, uri}, r);
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

}  // namespace Lumo::Dom
