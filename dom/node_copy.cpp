// Deep copies of nodes into another document's storage.
//
// Adoption (insertBefore and replaceChild across documents) keeps the source storage
// alive for as long as the target lives: right for a few nodes, ruinous for a document
// that takes one small subtree from each of many short-lived documents (every source
// document's storage, with its blocks and name table, would stay). A copy costs the
// target only the copied nodes and lets the source go.
#include <utility>
#include <vector>

#include "dom/dom_impl.h"

namespace Lumo::Dom {

namespace {

class Copier {
 public:
  explicit Copier(DocumentImpl* to) : to_(to) {}

  // The node and its subtree, walked without recursion (documents may nest deeply).
  ChildImpl* CopyTree(const NodeImpl* source) {
    ChildImpl* top = CopyOne(source);
    std::vector<std::pair<const NodeImpl*, ElementImpl*>> stack;
    if (source->type() == NODE_ELEMENT)
      stack.push_back({FirstChildOf(source), static_cast<ElementImpl*>(top)});
    while (!stack.empty()) {
      auto& [next, parent] = stack.back();
      if (!next) {
        stack.pop_back();
        continue;
      }
      const NodeImpl* cur = next;
      next = cur->next;
      ChildImpl* copy = CopyOne(cur);
      LinkChild(parent, copy, nullptr);
      if (cur->type() == NODE_ELEMENT)
        stack.push_back({FirstChildOf(cur), static_cast<ElementImpl*>(copy)});
    }
    return top;
  }

 private:
  static const NodeImpl* FirstChildOf(const NodeImpl* element) {
    return static_cast<const ElementImpl*>(element)->first;
  }

  // The node alone, detached, with its flags; an element with its attributes.
  ChildImpl* CopyOne(const NodeImpl* source) {
    const uint32_t flags = source->bits & ~((~0u) << kStorageShift) & ~kTypeMask;
    switch (source->type()) {
      case NODE_ELEMENT: {
        const auto* s = static_cast<const ElementImpl*>(source);
        auto* e = New<ElementImpl>(NODE_ELEMENT, flags);
        e->name = Name(s->name);
        AttrImpl* last = nullptr;
        for (const AttrImpl* a = s->attrs; a; a = static_cast<const AttrImpl*>(a->next)) {
          auto* copy = to_->NewNode<AttrImpl>(NODE_ATTRIBUTE);
          copy->bits |= a->bits & ~((~0u) << kStorageShift) & ~kTypeMask;
          copy->name = Name(a->name);
          copy->data = Text(a->data, a->len);
          copy->len = a->len;
          if (last) last->next = copy;
          else
            e->attrs = copy;
          last = copy;
        }
        return e;
      }
      case NODE_TEXT:
      case NODE_CDATA_SECTION:
      case NODE_COMMENT: {
        const auto* s = static_cast<const TextImpl*>(source);
        auto* t = New<TextImpl>(source->type(), flags);
        t->data = Text(s->data, s->len);
        t->len = s->len;
        return t;
      }
      case NODE_PROCESSING_INSTRUCTION:
      case NODE_DOCUMENT_TYPE: {
        const auto* s = static_cast<const PIImpl*>(source);
        auto* p = New<PIImpl>(source->type(), flags);
        p->data = Text(s->data, s->len);
        p->len = s->len;
        p->name = Name(s->name);
        return p;
      }
      default: Fail("This node cannot be copied.", Base::kE_INVALIDARG);
    }
  }

  template <class T>
  T* New(NodeType type, uint32_t flags) {
    T* n = to_->NewNode<T>(type);
    n->bits |= flags;
    return n;
  }

  const char16_t* Text(const char16_t* data, uint32_t len) {
    to_->loadedChars += len;
    return to_->CopyText(Base::WideView(data ? data : u"", data ? len : 0));
  }

  Atom* Atomize(const Atom* a) {
    if (!a) return nullptr;
    Atom* copy = to_->Intern(a->view());
    if (a->colon != -1) to_->AnalyzeQName(copy);
    copy->validQName = copy->validQName || a->validQName;
    return copy;
  }

  NameRec* Name(const NameRec* r) {
    return r ? to_->Name(Atomize(r->q), Atomize(r->uri)) : nullptr;
  }

  DocumentImpl* to_;
};

}  // namespace

Node Node::copyInto(const Node& target) const {
  if (!node_ || !target.impl()) Fail("The node is null.", Base::kE_POINTER);
  DocumentImpl* to = DocumentImpl::StorageOf(target.impl());
  ChildImpl* copy = Copier(to).CopyTree(node_);
  // Detached: its parent is the target's document node, as for a created node.
  copy->parent = to->docNode();
  copy->bits |= kFlagDetached;
  return DocumentImpl::Wrap(copy);
}

}  // namespace Lumo::Dom
