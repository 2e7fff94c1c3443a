// Private to the document layer: node storage, interned names, the document state.
//
// Layout in brief. Every document owns a storage: node blocks (bump allocation, no
// per-node heap allocation), text chunks (all text and values as UTF-16, written once)
// and a table of interned names. Nodes are small structs linked by pointers; a node's
// header carries the id of the storage it lives in, so a handle can keep that storage
// alive. Nodes inserted from another document keep their storage; the target document
// takes a reference on the source document instead (adoption keeps identity).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "base/errors.h"
#include "dom/dom.h"
#include "dom/storage_block.h"

namespace Lumo::Dom {

struct NameRec;

// An interned string: element and attribute names, prefixes, local names, URIs.
struct Atom {
  const char16_t* s;
  uint32_t len;
  uint32_t hash;
  int32_t colon;   // -1 not analysed, -2 no colon, -3 not a qualified name, else position
  Atom* prefix;    // qualified names: the prefix atom (null when none)
  Atom* local;     // qualified names: the local-name atom (itself when no prefix)
  NameRec* names;  // name records with this qualified name (one per namespace URI)
  // Parse-time data (reset at the start of every load).
  struct EntityDecl* entity;   // general entity of this name
  struct EntityDecl* pentity;  // parameter entity of this name
  struct AttList* attlist;     // declared attributes of the element of this name
  uint32_t mark;               // attribute-uniqueness stamp
  uint32_t umark;              // expanded-name uniqueness stamp
  Atom* umarkUri;
  Atom* nsUri;        // parse time: binding of this prefix (namespace stack top)
  bool validQName;    // IsXmlQName held for this name (checked once per document)
  bool namesIndexed;  // its name records are many: DocumentImpl::Name finds them by map
  bool WideEq(Base::WideView v) const {
    return v.size() == len && std::memcmp(v.data(), s, len * 2) == 0;
  }
  Base::WideView view() const { return Base::WideView(s, len); }
};

// Whether the stored name s equals the len units at t (wide text, or bytes
// widened one by one): wide text is compared as memory.
template <class U>
inline bool SameUnits(const char16_t* s, const U* t, uint32_t len) {
  if constexpr (std::is_same_v<U, char16_t>) {
    return std::memcmp(s, t, len * sizeof(char16_t)) == 0;
  } else {
    uint32_t k = 0;
    while (k < len && s[k] == static_cast<char16_t>(t[k])) ++k;
    return k == len;
  }
}

// A qualified name with the namespace URI fixed for it (null URI: none).
struct NameRec {
  Atom* q;
  Atom* uri;
  NameRec* next;
};

enum : uint32_t {
  // bits of NodeImpl::bits: 4 bits type, flags, 20 bits storage id
  kTypeMask = 0xF,
  kFlagWsBefore = 0x10,     // white space was dropped before this node
  kFlagWsBeforeEnd = 0x20,  // element: white space was dropped before its end tag
  kFlagDetached = 0x40,     // subtree root out of the tree: parent is the owner document
  kFlagSpecified = 0x80,    // attribute: given in the document (not a default)
  kStorageShift = 12,
};

struct NodeImpl {
  uint32_t bits;
  uint32_t len;    // text/value length (text, CDATA, comment, PI, attribute);
                   // element: counts changes of its attribute list (map position caches)
  NodeImpl* next;  // next sibling (or next attribute)
  NodeType type() const { return static_cast<NodeType>(bits & kTypeMask); }
  uint32_t storage() const { return bits >> kStorageShift; }
};

struct AttrImpl : NodeImpl {
  NameRec* name;
  const char16_t* data;
};

struct ChildImpl : NodeImpl {
  NodeImpl* parent;  // element or document; for a detached root: owner document
  NodeImpl* prev;    // previous sibling; the first child's prev is the last child
};

struct TextImpl : ChildImpl {  // text, CDATA, comment
  const char16_t* data;
};

struct PIImpl : ChildImpl {  // processing instruction, document type
  const char16_t* data;
  NameRec* name;
};

struct ElementImpl : ChildImpl {  // element and document node
  NameRec* name;                  // null for the document node
  NodeImpl* first;
  AttrImpl* attrs;
};

// Declarations of the internal subset kept for the parse.
struct EntityDecl {
  Atom* name;
  const char16_t* text;  // replacement text (internal entities)
  uint32_t len;
  bool external;
  bool unparsed;
  bool inUse;        // being expanded (recursion check)
  bool hasMarkup;    // replacement text contains '<' or '&'
  bool inPE;         // declared inside a parameter entity's replacement text
  bool unprocessed;  // declared after an unread external parameter entity: no value
};

struct AttDef {
  Atom* name;
  const char16_t* def;  // default value (normalised), or null
  uint32_t defLen;
  bool cdata;  // declared type CDATA (no extra normalisation)
  AttDef* next;
};

struct AttList {
  AttDef* first;
};

class DocumentImpl {
 public:
  explicit DocumentImpl(Document::Flavour flavour);
  ~DocumentImpl();
  DocumentImpl(const DocumentImpl&) = delete;
  DocumentImpl& operator=(const DocumentImpl&) = delete;

  // Storages that share nodes (after an insertion across documents) form one group
  // that lives as long as any handle to any of them; the count is the group's.
  void AddRef() noexcept { ++group_->refs; }
  // Handles come and go by the million on a walk: the count is dropped inline and only
  // the last release leaves the line.
  void Release() noexcept {
    if (--group_->refs == 0) DestroyGroup();
  }
  void DestroyGroup() noexcept;
  void Merge(DocumentImpl* other);  // other's group joins this one's
  // No node of this storage was ever in another document's tree, nor one of another's in
  // this one's (they would have merged): every node here belongs to this document.
  bool Alone() const noexcept { return group_->members.size() == 1; }

  // --- storage -------------------------------------------------------------------
  template <class T>
  T* NewNode(NodeType type) {
    T* n = new (AllocNode(sizeof(T))) T();  // zeroed by a few inline stores
    n->bits = static_cast<uint32_t>(type) | (id_ << kStorageShift);
    return n;
  }
  void* AllocNode(size_t size) {
    size = (size + 7) & ~size_t(7);
    if (static_cast<size_t>(nodeEnd_ - nodeCur_) < size) NewNodeBlock(size);
    void* p = nodeCur_;
    nodeCur_ += size;
    return p;
  }
  void* AllocRaw(size_t size) { return AllocNode(size); }
  // Names (atoms, their text and name records) live apart from nodes and text: they are
  // shared by the whole document and outlive storage given back by ReleaseTo.
  void* AllocName(size_t size);

  // A place in the node and text storage. ReleaseTo gives back everything allocated
  // after it (the blocks are kept for reuse): the caller has unlinked every node made
  // since, and holds no handle to any of them.
  struct StorageMark {
    size_t nodeBlocks = 0, nodeUsed = 0;
    size_t textChunks = 0, textUsed = 0;
  };
  StorageMark Mark() const;
  void ReleaseTo(const StorageMark& mark);
  // Set for a load that hands the root element's children over as they are parsed (see
  // Document::setRootChildHandler); the mark is taken after the root's start tag.
  std::function<HandOver(ElementImpl* root)> rootChildHandler;
  bool handingOver = false;  // during a load, until the handler declines
  StorageMark rootMark;
  Base::ReadOnceText* inputReadOnce = nullptr;  // see Document::setInputReadOnce

  // Text store. Writers fill [textCur, ...) and commit by moving textCur; TextReserve
  // makes room for n more units after w, moving the pending units [itemStart, w) into a
  // new chunk when the current one is too small (itemStart and w are updated).
  // Exact: the new chunk is given just the pending units and n, for a writer that knows
  // how much is to come (else a long pending item grows geometrically).
  void TextReserve(char16_t*& itemStart, char16_t*& w, size_t n, bool exact = false);
  const char16_t* CopyText(Base::WideView text);
  char16_t* textCur_ = nullptr;
  char16_t* textEnd_ = nullptr;

  Atom* Intern(const char16_t* s, uint32_t len, uint32_t hash);
  Atom* Intern(Base::WideView v) {
    return Intern(v.data(), static_cast<uint32_t>(v.size()), Hash(v.data(), v.size()));
  }
  Atom* InternQName(Base::WideView v);  // splits prefix and local part
  // The same for a name a caller hands in: null, and nothing interned, when it is not a
  // valid qualified name. Tree edits name nodes from a handful of names over and over,
  // so each distinct name is checked once.
  Atom* InternValidQName(Base::WideView v);
  void AnalyzeQName(Atom* a);
  NameRec* Name(Atom* q, Atom* uri);
  static uint32_t HashStep(uint32_t h, uint32_t c) { return (h ^ c) * 0x01000193u; }
  static constexpr uint32_t kHashInit = 0x811C9DC5u;
  template <class U>
  static uint32_t Hash(const U* s, size_t n) {
    uint32_t h = kHashInit;
    for (size_t i = 0; i < n; ++i) h = HashStep(h, static_cast<uint32_t>(s[i]));
    return h;
  }
  template <class U>
  Atom* FindRaw(const U* s, uint32_t len, uint32_t hash) {
    uint32_t mask = atomMask_;
    for (uint32_t i = hash & mask;; i = (i + 1) & mask) {
      Atom* a = atoms_[i];
      if (!a) return nullptr;
      if (a->hash == hash && a->len == len && SameUnits(a->s, s, len)) return a;
    }
  }
  std::vector<Atom*>& ParseTouched() { return touched_; }
  void ResetParseData();

  // --- document -------------------------------------------------------------------
  ElementImpl* docNode() const { return doc_; }
  uint32_t id() const { return id_; }
  static DocumentImpl* FromId(uint32_t id);
  static DocumentImpl* StorageOf(const NodeImpl* n) { return FromId(n->storage()); }
  static Node Wrap(NodeImpl* n);  // a handle keeping n's storage alive
  // The same for a node reached from the handle `from`: a walk stays in one storage
  // almost always, and then that storage is taken without the registry look-up.
  static Node WrapFrom(NodeImpl* n, const Node& from);
  static Document WrapDocument(DocumentImpl* d);
  static uint32_t EditStamp();  // changes with every tree edit (list caches)
  static void Edited();

  Document::Flavour flavour;
  bool validateOnParse = true;
  ParseError error;

  // setAttribute called on one element many times in a row (the normalizer copies every
  // attribute onto a new element) finds an existing name and the end of the list here
  // instead of walking the list each time. Valid while the element's attribute-list
  // count (ElementImpl::len) is unchanged; only for elements whose attributes all live in
  // this storage. Nodes are never freed individually, so the pointer cannot be reused.
  struct AttrIndex {
    ElementImpl* element = nullptr;
    uint32_t stamp = 0;
    AttrImpl* tail = nullptr;
    std::unordered_map<const Atom*, AttrImpl*> byName;
  };
  AttrIndex attrIndex;
  size_t loadedChars = 0;  // size hint for serialisation: characters loaded and set as text

 private:
  void NewNodeBlock(size_t need);
  void GrowAtoms();

  struct Group {
    long refs = 0;
    std::vector<DocumentImpl*> members;
  };
  Group* group_;
  uint32_t id_ = 0;
  ElementImpl* doc_ = nullptr;
  std::vector<StorageBlock> nodeBlocks_;
  char* nodeCur_ = nullptr;
  char* nodeEnd_ = nullptr;
  size_t nodeBlockSize_ = 16 * 1024;
  std::vector<StorageBlock> textChunks_;
  size_t textChunkSize_ = 8 * 1024;
  std::vector<StorageBlock> spareNodeBlocks_;  // given back by ReleaseTo, for reuse
  std::vector<StorageBlock> spareTextChunks_;
  std::vector<StorageBlock> nameBlocks_;
  char* nameCur_ = nullptr;
  char* nameEnd_ = nullptr;
  std::vector<Atom*> atoms_;
  uint32_t atomMask_ = 0;
  uint32_t atomCount_ = 0;
  std::vector<Atom*> touched_;
  Atom* empty_ = nullptr;
  // The name records of qualified names that have many (one name in thousands of
  // namespaces, as a numbered canonical text gives "n1:x" for each), by name and URI.
  struct NameKey {
    const Atom* q;
    const Atom* uri;
    bool operator==(const NameKey& o) const { return q == o.q && uri == o.uri; }
  };
  struct NameKeyHash {
    size_t operator()(const NameKey& k) const {
      return std::hash<const void*>()(k.q) * 31 + std::hash<const void*>()(k.uri);
    }
  };
  std::unordered_map<NameKey, NameRec*, NameKeyHash> manyNames_;
};

// Raises the platform error of a failed tree operation.
[[noreturn]] void Fail(const char* what, int32_t code = Base::kE_FAIL);

// The parser entry points (xml_parser.cpp). They fill the document (which the caller
// emptied) or set doc->error and return false.
bool ParseWide(DocumentImpl* doc, Base::WideView text, bool borrow = false);
bool ParseUtf8Text(DocumentImpl* doc, std::string_view text);
bool ParseBytes(DocumentImpl* doc, std::string_view bytes);
// A load failure that is not about the text (a file that cannot be opened).
void SetLoadError(DocumentImpl* doc, int32_t code, Base::WideView reason);

// Tree helpers shared by the parser and the tree operations.
void LinkChild(ElementImpl* parent, ChildImpl* child, ChildImpl* before);

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

// The text a node holds (attributes, character data, processing instructions), else null.
inline const char16_t* ValueData(const NodeImpl* n) {
  switch (n->type()) {
    case NODE_ATTRIBUTE: return static_cast<const AttrImpl*>(n)->data;
    case NODE_TEXT:
    case NODE_CDATA_SECTION:
    case NODE_COMMENT: return static_cast<const TextImpl*>(n)->data;
    case NODE_PROCESSING_INSTRUCTION: return static_cast<const PIImpl*>(n)->data;
    default: return nullptr;
  }
}

inline NameRec* NameOf(const NodeImpl* n) {
  switch (n->type()) {
    case NODE_ELEMENT: return static_cast<const ElementImpl*>(n)->name;
    case NODE_ATTRIBUTE: return static_cast<const AttrImpl*>(n)->name;
    case NODE_PROCESSING_INSTRUCTION:
    case NODE_DOCUMENT_TYPE: return static_cast<const PIImpl*>(n)->name;
    default: return nullptr;
  }
}

// The document node that owns n.
ElementImpl* OwnerDocNode(const NodeImpl* n);
// Takes c out of its parent's children; it stays owned by its document, detached.
void Detach(ChildImpl* c);
// The attribute of e with the qualified name `name`, or null.
AttrImpl* FindAttr(ElementImpl* e, Base::WideView name);

}  // namespace Lumo::Dom
