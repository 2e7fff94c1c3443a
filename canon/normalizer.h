// TXmlNormalizer: rewrites a document element in place into the exchange's
// fixed-prefix scheme ("ed", "sen", "dsig", others "n<k>") or the numbered-prefix scheme
// (every namespace "n<k>"), without schema-instance location attributes, comments,
// processing instructions and white-space-only text. The canonicalizer
// always runs on its result.
#pragma once

#include <string_view>
#include <utility>
#include <vector>

#include "base/types.h"
#include "dom/dom.h"

namespace Lumo::Canon {

// The per-element list of namespace URIs (ANSI): sorted with the locale-like
// case-insensitive collation (CompareAnsiIgnoreCase), duplicates ignored, searched by
// bisection exactly like the wide string list.
class TNamespaceList {
 public:
  void Clear() noexcept { count_ = 0; }
  // Adds the URI unless an equal one (by the collation) is present; returns its index.
  int Add(std::string_view uri);
  // The list Add of each of uris in turn gives, sorted once where they are many instead of
  // shifted at every insertion (thousands of namespaces on one element made that
  // quadratic). uris is left with unspecified contents.
  void AddAll(std::vector<Lumo::Base::AnsiString>& uris);
  // Bisection; true when found. index receives the position found or the insertion point.
  bool Find(std::string_view uri, int& index) const;
  int IndexOf(std::string_view uri) const;
  int Count() const noexcept { return static_cast<int>(count_); }
  const Lumo::Base::AnsiString& operator[](int i) const { return items_[static_cast<size_t>(i)]; }
  // Whether both lists hold the same URIs, byte for byte, in the same order.
  bool SameItems(const TNamespaceList& other) const noexcept;
  void Assign(const TNamespaceList& other);  // the same URIs in the same order

 private:
  // The list is cleared and refilled for every element: the strings past count_ are
  // kept, so that their storage is reused instead of allocated again.
  std::vector<Lumo::Base::AnsiString> items_;
  size_t count_ = 0;
};

class TXmlNormalizer {
 public:
  // The only entry point. node: an element that has a parent (the document element).
  // Returns the element that now stands in the node's place. A node that is not an
  // element is cleaned and its element descendants rebuilt, then the call fails with
  // EPlatformError "Interface not supported".
  static Lumo::Dom::Node Normalize(const Lumo::Dom::Node& node, bool numberedPrefixes);

  // Pieces of the algorithm (public so that tests can drive them one by one).
  static void CleanTree(const Lumo::Dom::Node& node);
  static void RemoveSchemaInstanceAttributes(const Lumo::Dom::Node& node);
  static Lumo::Base::WideString TrimXmlWhitespace(Lumo::Base::WideView text);
  // The exchange namespace's fixed prefix ("ed", "sen", "dsig"); empty for other URIs.
  static std::string_view FixedPrefixOf(std::string_view uri) noexcept;
  // Whether RemoveSchemaInstanceAttributes removes this attribute of an element.
  static bool IsRemovedSchemaInstanceAttribute(Lumo::Dom::NodeView attribute);

  explicit TXmlNormalizer(bool numberedPrefixes) : numbered_(numberedPrefixes) {}
  Lumo::Dom::Node AssignPrefixes(const Lumo::Dom::Node& node);
  Lumo::Dom::Node NormalizeNode(const Lumo::Dom::Node& node);
  void NormalizeChildren(const Lumo::Dom::Node& node);
  Lumo::Dom::Node RebuildElement(const Lumo::Dom::Node& element,
                                 const Lumo::Base::AnsiString& prefix);
  Lumo::Base::AnsiString PrefixForNamespace(std::string_view uri) const;

  const TNamespaceList& NamespaceList() const noexcept { return list_; }

 private:
  // The rest of NormalizeNode for one node whose children are done: the namespace
  // list, the prefix and the rebuilt element.
  Lumo::Dom::Node FinishNode(const Lumo::Dom::Node& node);

  bool numbered_;
  TNamespaceList list_;
  Lumo::Dom::Document document_;       // ownerDocument of the node given to Normalize
  Lumo::Base::WideString scratch_;     // reused buffer for the qualified name
  Lumo::Base::WideString ownUri_;      // the last element's namespace URI and its ANSI form:
  Lumo::Base::AnsiString ownUriAnsi_;  // elements after elements share one
  // The attributes of the element being finished, collected once for both walks, with
  // their names split once.
  struct Attribute {
    Lumo::Dom::NodeView node;                     // the element being finished holds its attributes
    Lumo::Base::WideView name, prefix, baseName;  // views of the document's stored name
  };
  void CollectAttributes(const Lumo::Dom::Node& element);
  std::vector<Attribute> attrs_;
  const Lumo::Dom::NodeImpl* attrsOf_ = nullptr;
  std::vector<Lumo::Base::AnsiString> attributeUris_;  // the prefixed attributes' URIs

  // The declarations that a namespace list gives (name and value of each, in list
  // order), kept for the last list seen: PrefixForNamespace depends only on the list,
  // and element after element carries the same one.
  const std::vector<std::pair<Lumo::Base::WideString, Lumo::Base::WideString>>& Declarations();
  Lumo::Base::AnsiString OwnPrefix(const Lumo::Base::AnsiString& ownUri);
  bool memoValid_ = false;
  TNamespaceList memoList_;
  std::vector<std::pair<Lumo::Base::WideString, Lumo::Base::WideString>> memoDeclarations_;
  bool memoOwnValid_ = false;
  // The declaration attributes made for the memo's list (attributes of the document's
  // last element rebuilt with it; nodes stay in storage for the document's lifetime).
  bool memoNodesValid_ = false;
  std::vector<Lumo::Dom::NodeView> memoNodes_;
  Lumo::Base::AnsiString memoOwnUri_;
  Lumo::Base::AnsiString memoOwnPrefix_;
};

}  // namespace Lumo::Canon
