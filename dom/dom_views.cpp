// Node lists, attribute maps and the allocation-free node views.
#include "dom/dom.h"
#include "dom/dom_impl.h"

namespace Lumo::Dom {

using namespace Lumo::Base;

void SerializeNode(const NodeImpl* n, WideString& out);  // dom_serialize.cpp

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
  if (!r || node_->type() == NODE_PROCESSING_INSTRUCTION || node_->type() == NODE_DOCUMENT_TYPE ||
      !r->uri)
    return {};
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
  for (AttrImpl* a = static_cast<ElementImpl*>(element_.impl())->attrs; a;
       a = static_cast<AttrImpl*>(a->next))
    ++n;
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
  return DocumentImpl::WrapFrom(FindAttr(static_cast<ElementImpl*>(element_.impl()), qualifiedName),
                                element_);
}

Node NamedNodeMap::removeQualifiedItem(WideView baseName, WideView namespaceURI) {
  if (!element_) return Node();
  ElementImpl* e = static_cast<ElementImpl*>(element_.impl());
  AttrImpl* prev = nullptr;
  for (AttrImpl* a = e->attrs; a; prev = a, a = static_cast<AttrImpl*>(a->next)) {
    Node h = DocumentImpl::Wrap(a);
    if (h.baseName() == baseName && h.namespaceURI() == namespaceURI) {
      if (prev) prev->next = a->next;
      else
        e->attrs = static_cast<AttrImpl*>(a->next);
      a->next = nullptr;
      ++e->len;
      DocumentImpl::Edited();
      return h;
    }
  }
  return Node();
}

}  // namespace Lumo::Dom
