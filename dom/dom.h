// The document object model: our own XML tree, reproducing the observable behaviour
// of the platform DOM that the exchange's peers use (serialisation, white-space
// handling on load, names and namespace properties, parse errors).
//
// Handles behave like the platform's reference-counted nodes: a Node handle keeps its
// document's storage alive, and a node removed from the tree stays valid while held.
// Nodes live in storage owned by the document; a node inserted into another document
// is adopted by it (the target document then keeps the source storage alive).
//
// Failed operations (wrong node kind, a reference node that is not a child, a cycle)
// raise EPlatformError with an E_FAIL-style status, never undefined behaviour.
//
// Documents are not thread-safe; use one document on one thread at a time. Different
// documents may be used on different threads at once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/types.h"

namespace Lumo::Base {
class ReadOnceText;
}

namespace Lumo::Dom {

enum NodeType : int32_t {
  NODE_INVALID = 0,
  NODE_ELEMENT = 1,
  NODE_ATTRIBUTE = 2,
  NODE_TEXT = 3,
  NODE_CDATA_SECTION = 4,
  NODE_ENTITY_REFERENCE = 5,
  NODE_ENTITY = 6,
  NODE_PROCESSING_INSTRUCTION = 7,
  NODE_COMMENT = 8,
  NODE_DOCUMENT = 9,
  NODE_DOCUMENT_TYPE = 10,
  NODE_DOCUMENT_FRAGMENT = 11,
  NODE_NOTATION = 12,
};

struct NodeImpl;     // a node in document storage (private to the implementation)
class DocumentImpl;  // document state and storage (private to the implementation)

class Document;
class Node;
class NodeView;
class NodeList;
class NamedNodeMap;

// What a load hands the root element's children to (Document::setRootChildHandler), and
// its answers: the children were taken (they go), they are to stay until the next child
// is complete (the handler sees them again then), or the rest of the load keeps all.
enum class HandOver { Taken, Later, Declined };
using RootChildHandler = std::function<HandOver(const Node& root)>;

// The first parse failure of a load. errorCode is 0 after a successful load.
struct ParseError {
  int32_t errorCode = 0;     // negative 32-bit code, e.g. 0xC00CE558
  Base::WideString reason;   // one English sentence ending in a full stop
  Base::WideString srcText;  // the full text of the line that holds the error
  int32_t line = 0;          // 1-based, in characters
  int32_t linepos = 0;       // 1-based, in characters
  int32_t filepos = 0;       // 0-based character offset of the error
  Base::WideString url;      // file name for file loads, else empty
};

class Node {
 public:
  Node() noexcept = default;
  Node(const Node& other) noexcept;
  Node(Node&& other) noexcept;
  Node& operator=(const Node& other) noexcept;
  Node& operator=(Node&& other) noexcept;
  ~Node();

  explicit operator bool() const noexcept { return node_ != nullptr; }
  bool operator==(const Node& other) const noexcept { return node_ == other.node_; }
  bool operator!=(const Node& other) const noexcept { return node_ != other.node_; }

  NodeType nodeType() const;
  Base::WideString nodeName() const;   // qualified name; "#text", "#comment", "#document", ...
  Base::WideString nodeValue() const;  // text, CDATA, comment, PI data, attribute value; else empty
  Node parentNode() const;             // attributes have none
  Node firstChild() const;
  Node lastChild() const;
  Node nextSibling() const;
  Node previousSibling() const;
  NodeList childNodes() const;
  NamedNodeMap attributes() const;  // empty map (length 0, null) for non-elements
  bool hasAttributesMap() const;    // true for elements (the node "has attributes")

  // Tree edits. A node of another document is adopted; an attached node is moved.
  Node insertBefore(const Node& newChild, const Node& refChild);  // null ref: append
  Node replaceChild(const Node& newChild, const Node& oldChild);  // returns oldChild
  // parentNode().replaceChild(rebuilt, *this) for a rebuilt element known not to hold this
  // node's parent: one no tree holds (made by createElement), given attributes and what
  // were this node's children, say. replaceChild proves that by a look at every ancestor,
  // which made rebuilding a document nested thousands deep quadratic; here only a build
  // without NDEBUG looks (and asserts). Fails like replaceChild on anything else it sees
  // (no parent, a rebuilt node that is in a tree or no element).
  void replaceBy(const Node& rebuilt) const;
  Node removeChild(const Node& child);  // returns child
  Node appendChild(const Node& newChild);
  // Moves all children of `from`, in order, to the end of this node's children: what
  // appendChild(from.firstChild()) repeated until `from` is empty does. From the node
  // itself: nothing to move.
  void appendChildrenOf(const Node& from);
  bool hasChildNodes() const;
  // A deep copy of this node (an element with its attributes and descendants, or text,
  // CDATA, a comment, a processing instruction) made in the storage of target's document,
  // detached, ready to be inserted there. Unlike adoption, the copy does not keep this
  // node's document alive.
  Node copyInto(const Node& target) const;
  Document ownerDocument() const;  // for a document: null

  Base::WideString text() const;      // descendants' text and CDATA, trimmed at both ends
  void setText(Base::WideView text);  // replaces all children by one text node
  // The same for text given one byte per character (Latin-1, e.g. Base64), widened
  // straight into the document.
  void setTextLatin1(std::string_view text);
  // The same for `size` units that `write` puts at the address it is given (room for
  // exactly that many): text made straight into the tree, without a copy first.
  void setTextWritten(size_t size, const std::function<void(char16_t*)>& write);
  Base::WideString xml() const;                 // the node's serialisation
  void appendXml(Base::WideString& out) const;  // the same, appended (no temporary string)
  // The same text encoded by Utf8EncodeAppend, appended; the wide text is never held
  // whole.
  void appendXmlUtf8(Base::ByteString& out) const;
  // The same bytes handed to consume a piece at a time as they are written, so that a
  // large document can go to a file without its markup being held: consume takes what
  // the buffer holds and empties it.
  void writeXmlUtf8(const std::function<void(Base::ByteString&)>& consume) const;

  Base::WideString namespaceURI() const;
  Base::WideString prefix() const;
  Base::WideString baseName() const;

  // "Does the node offer IXMLDOMElement / IXMLDOMText?" (CDATA sections offer the text
  // interface too.)
  bool isElement() const noexcept;
  bool isText() const noexcept;

  // Element operations; on another node kind they raise EPlatformError.
  Base::WideString getAttribute(Base::WideView name) const;  // missing: empty
  bool hasAttribute(Base::WideView name) const;
  void setAttribute(Base::WideView name, Base::WideView value);
  // setAttribute(attribute's nodeName, its value) for an attribute node; within one
  // document the stored name and value are shared instead of looked up and copied.
  void setAttributeFrom(NodeView attribute);
  void normalize();  // merges adjacent text nodes in the subtree

  // Allocation-free views for hot paths; valid until the node is changed.
  Base::WideView nameView() const noexcept;   // qualified name of elements, attributes, PIs
  Base::WideView valueView() const noexcept;  // value of attributes, text, CDATA, comments, PIs
  Base::WideView namespaceView() const;       // namespaceURI without a copy

  NodeImpl* impl() const noexcept { return node_; }

 protected:
  friend class DocumentImpl;
  friend class Document;
  Node(NodeImpl* node, DocumentImpl* keepAlive) noexcept;
  NodeImpl* node_ = nullptr;
  DocumentImpl* keep_ = nullptr;  // storage this handle keeps alive
};

// A node seen without a reference, for read-only walks on hot paths: no counting on
// every step. It keeps nothing alive and does not survive a tree edit; a Node handle must
// hold the document for as long as views of it are used. Each accessor answers what the
// Node accessor of the same name answers.
class NodeView {
 public:
  NodeView() noexcept = default;
  explicit NodeView(const Node& node) noexcept : node_(node.impl()) {}
  explicit operator bool() const noexcept { return node_ != nullptr; }
  bool operator==(const NodeView& other) const noexcept { return node_ == other.node_; }

  NodeType nodeType() const noexcept;
  bool isElement() const noexcept;
  bool isText() const noexcept;
  Base::WideView nameView() const noexcept;
  Base::WideView valueView() const noexcept;
  Base::WideView namespaceView() const noexcept;
  NodeView parentNode() const noexcept;
  NodeView firstChild() const noexcept;
  NodeView nextSibling() const noexcept;
  // The attribute map in document order (NamedNodeMap::item 0, 1, ...): the element's
  // first attribute, then each attribute's next; null past the end and for non-elements.
  NodeView firstAttribute() const noexcept;
  NodeView nextAttribute() const noexcept;
  NodeView attributeNamed(Base::WideView qualifiedName) const noexcept;  // getNamedItem
  void appendXml(Base::WideString& out) const;
  Node node() const;  // a handle on the same node

  // What `xml` writes beyond the names and values, for walks that need the markup's
  // shape without writing it. White space dropped by the parser before this node, or
  // before the end tag of this element, is written back as CR LF and indentation.
  bool whiteSpaceBefore() const noexcept;
  bool whiteSpaceBeforeEnd() const noexcept;
  // Whether the node's name is bound to a namespace URI (an element or attribute made
  // by createElement or setAttribute is not; `xml` declares a bound prefix that has no
  // declaration in scope).
  bool hasNamespaceBinding() const noexcept;
  // Characters the node's document was loaded from, plus text set on its nodes since:
  // a size hint for whatever is written from the document (0 when unknown).
  size_t documentSizeHint() const noexcept;

 private:
  friend class Node;
  explicit NodeView(NodeImpl* node) noexcept : node_(node) {}
  NodeImpl* node_ = nullptr;
};

class NodeList {
 public:
  NodeList() = default;
  explicit NodeList(Node parent) : parent_(std::move(parent)) {}
  int32_t length() const;
  Node item(int32_t index) const;  // null outside 0..length-1
 private:
  Node parent_;
  // Sequential access stays linear: the last position found, valid while no tree edit
  // happened since.
  mutable int32_t cacheIndex_ = -1;
  mutable NodeImpl* cacheNode_ = nullptr;
  mutable uint32_t cacheStamp_ = 0;
};

class NamedNodeMap {
 public:
  NamedNodeMap() = default;
  explicit NamedNodeMap(Node element) : element_(std::move(element)) {}
  explicit operator bool() const noexcept { return static_cast<bool>(element_); }
  int32_t length() const;
  Node item(int32_t index) const;  // document order; declarations included
  Node getNamedItem(Base::WideView qualifiedName) const;
  // Removes the attribute with this local name and namespace URI; returns it or null.
  Node removeQualifiedItem(Base::WideView baseName, Base::WideView namespaceURI);

 private:
  Node element_;
  // Walking the map by index (with length() read again at every step, as callers do)
  // stays linear: the last position found and the count, valid while the element's
  // attribute list has not changed since. Without them an element with many attributes
  // costs quadratic time (the normalizer copies attributes while it walks them).
  mutable int32_t cacheIndex_ = -1;
  mutable NodeImpl* cacheNode_ = nullptr;
  mutable uint32_t cacheStamp_ = 0;
  mutable int32_t cachedLength_ = -1;
  mutable uint32_t lengthStamp_ = 0;
};

class Document : public Node {
 public:
  // The two document classes the library creates. They behave the same in everything
  // the library observes; the flavour is kept for the parse-error texts.
  enum class Flavour { DOMDocument, DOMDocument60 };

  Document() noexcept = default;
  static Document Create(Flavour flavour = Flavour::DOMDocument);

  // Loads replace the whole content. They return false on a parse error, which
  // parseError() then describes; the document is then empty.
  bool loadXML(Base::WideView text);  // wide text; the declared encoding is ignored
  // The same, with attribute values and text that read exactly as the text spells them
  // pointing into the text instead of being copied: the text must stay unchanged for as
  // long as the document lives (a document parsed only to be read once).
  bool loadXMLBorrowing(Base::WideView text);
  bool loadBytes(std::string_view bytes);  // BOM, else declared encoding, else UTF-8
  // Standard UTF-8 text read as loadXML reads the same characters: nothing is looked for
  // before the parse (a byte-order mark is the character U+FEFF) and the declared
  // encoding is ignored. Bytes that are not UTF-8 are a parse error.
  bool loadUtf8Text(std::string_view text);
  bool load(const Base::AnsiString& fileName);  // a file name (ANSI text); never a URL
  // For the loads that follow: the root element's children handed over as they are
  // parsed, so that a large document need never be held whole. Each time a child of the
  // root is complete, handler gets the root, holding that child and whatever stands
  // before it since the last Taken; when it answers Taken, those children are dropped and
  // their storage is given back (no handle to any of them may outlive the call). When it
  // answers Declined, the rest of the load keeps everything and handler is not called
  // again in that load. Errors and the document element are those of a load without
  // handler.
  void setRootChildHandler(RootChildHandler handler);
  // For the loads of bytes that follow (loadBytes, loadUtf8Text) while a handler takes
  // the root's children: readOnce, made on those bytes, is told of the part behind the
  // children handed over (from the root's content on), which is then never read again,
  // errors included (their line, column and line text are what a load without it
  // gives). Null: none.
  void setInputReadOnce(Base::ReadOnceText* readOnce);

  Node documentElement() const;
  const ParseError& parseError() const;
  Node createElement(Base::WideView qualifiedName);  // not in the tree yet; no namespace URI
  Node createTextNode(Base::WideView data);

  bool validateOnParse() const;
  void setValidateOnParse(bool value);

 private:
  friend class Node;
  friend class DocumentImpl;
  using Node::Node;
  bool LoadWide(Base::WideView text, bool borrow);
  template <class Parse>
  bool LoadWith(Parse parse);
};

// The bytes Node::writeXmlUtf8 writes for a document element, written while its document
// is loaded: as the load's root-child handler (Document::setRootChildHandler) it writes the
// root's start tag and each batch of children, which then go; once the load is done,
// Finish writes what the root still holds and its end tag (or, where nothing was handed
// over, the whole root). consume is as for writeXmlUtf8. A load that fails has left part
// of the markup with consume: the caller drops it.
class StreamedRootWriter {
 public:
  explicit StreamedRootWriter(std::function<void(Base::ByteString&)> consume);
  ~StreamedRootWriter();
  StreamedRootWriter(const StreamedRootWriter&) = delete;
  StreamedRootWriter& operator=(const StreamedRootWriter&) = delete;

  HandOver TakeChildren(const Node& root);
  void Finish(const Node& root);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace Lumo::Dom
