// TXmlCanonicalizer: turns the XML text of one element into the exchange's
// canonical text (not W3C Canonical XML). The normalizer always runs first.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "base/scoped_bindings.h"
#include "base/types.h"
#include "base/wide_strings.h"
#include "canon/normalizer.h"
#include "dom/dom.h"

namespace Lumo::Canon {

// The ordered attribute list: entries are formatted attributes (name="escaped value"),
// ordered by their names converted to ANSI and compared ordinally by UTF-16 code unit;
// sorted, duplicates ignored (two names equal after the ANSI conversion count as one).
class TXmlAttributeNames : public Lumo::Base::TWideStringList {
 public:
  TXmlAttributeNames();
  int CompareStrings(Lumo::Base::WideView a, Lumo::Base::WideView b) const override;
  // The part of the entry before its first '=' (the whole entry without one), as ANSI.
  static Lumo::Base::AnsiString AttributeNameOf(Lumo::Base::WideView entry);
};

class TXmlCanonicalizer {
 public:
  // The only entry point: parses the text (DOMDocument60 flavour, validateOnParse
  // false) and returns the canonical text of its document element. Text without a
  // document element raises EXmlParserError built from the parse error.
  static Lumo::Base::WideString Canonicalize(Lumo::Base::WideView xml);
  // The same, appending the canonical text to out.
  static void CanonicalizeAppend(Lumo::Base::WideView xml, Lumo::Base::WideString& out);
  // The same text UTF-8 encoded one UTF-16 unit at a time (Utf8EncodeAppend), appended
  // to out: the bytes of Utf8Encode(Canonicalize(xml)), written in chunks so that the
  // whole wide canonical text is never held.
  static void CanonicalizeUtf8Append(Lumo::Base::WideView xml, Lumo::Base::ByteString& out);
  // The bytes CanonicalizeUtf8Append gives for element.xml(), taken from the tree
  // itself: the markup is neither written nor parsed again. That holds only where
  // parsing the markup back gives the tree that was written, so the walk checks as it
  // goes and gives up on anything else (a name bound to a namespace URI, a prefix the
  // parse would reject, characters XML does not allow, "]]>" in a CDATA section,
  // nodes other than elements, text and CDATA, xml:space, nesting the parser refuses):
  // it then returns false with out as it was, and the caller takes the long way. The
  // white space the markup carries where the parser dropped some is accounted for as
  // the parser would see it again.
  //
  // With settled, it also tells whether the text, parsed again and taken through the
  // fixed-prefix pipeline once more, is certain to give itself back: it is when the tree
  // (already in the fixed-prefix form) has no prefixed attribute besides declarations
  // (a prefix in the canonical text may resolve otherwise than in the tree), no element
  // declaring a prefix other than its own (made for an attribute the rewrite dropped, it
  // goes in the next pass and may shift the numbering) and no '&' or '<' in an
  // attribute value (the canonical text leaves both as they are).
  static bool CanonicalizeTreeUtf8Append(const Lumo::Dom::Node& element,
                                         Lumo::Base::ByteString& out, bool* settled = nullptr);

  // The bytes that normalizing the element into the numbered-prefix scheme and taking
  // CanonicalizeTreeUtf8Append of the result would give, taken from the element without
  // changing it. Meant for a tree parsed from a fixed-prefix canonical text: there every
  // element's only namespace is its own, its other attributes are unprefixed and already
  // in canonical order, and no text is white space only, so the rewrite only renames
  // each element into "n1" (or no prefix) and declares that once per change of URI.
  // Anything else (a prefixed attribute, attributes out of order, white space the parser
  // dropped, a URI outside ASCII, other kinds of node) returns false with out as it
  // was; the caller then normalizes as usual.
  static bool NumberedTreeUtf8Append(const Lumo::Dom::Node& element, Lumo::Base::ByteString& out);
  // The bytes (and the settled answer) that normalizing the document element into
  // the fixed-prefix scheme and taking CanonicalizeTreeUtf8Append of the result would
  // give, taken from the element as loaded, without rewriting its document. Covers
  // elements with ASCII namespace URIs and names whose attributes are unprefixed, or
  // prefixed with a prefix that the rewrite never makes (not "xml", "ed", "sen", "dsig"
  // or "n" and digits: it stays unbound when the markup is parsed again), besides
  // declarations and the schema-instance attributes the normalizer removes: each element
  // is renamed and declares the namespaces of its list as the rewrite does. Anything
  // else returns false with out as it was, and the caller normalizes as usual. A text
  // with a prefixed attribute is never said to be settled.
  static bool FixedTreeUtf8Append(const Lumo::Dom::Node& element, Lumo::Base::ByteString& out,
                                  bool* settled = nullptr);
  // The same, on a canonicalizer that walks one document, its root again and again as
  // children are handed over (FixedTextByChildren): what one walk learnt of the order of
  // the document's attribute names serves the next (names keep their storage for as long
  // as the document lives, also where a load gives storage back). With rootStartTaken,
  // the element is the root the walk before began with, whose start tag that walk wrote:
  // it is neither walked nor written again (its attributes are as they were; a root with
  // thousands of them costs once, not once a batch), out gets its children and end tag.
  bool FixedWalkOfSameDocument(const Lumo::Dom::Node& element, Lumo::Base::ByteString& out,
                               bool* settled, bool rootStartTaken = false);

  TXmlCanonicalizer();
  ~TXmlCanonicalizer();
  TXmlCanonicalizer(const TXmlCanonicalizer&) = delete;
  TXmlCanonicalizer& operator=(const TXmlCanonicalizer&) = delete;

  Lumo::Base::WideString CanonicalizeNode(const Lumo::Dom::Node& node);
  void CanonicalizeNodeAppend(const Lumo::Dom::Node& node, Lumo::Base::WideString& out);
  Lumo::Base::WideString FormatAttributes(const Lumo::Dom::Node& node);
  void FormatAttributesAppend(const Lumo::Dom::Node& node, Lumo::Base::WideString& out);
  void FormatAttributesAppend(Lumo::Dom::NodeView node, Lumo::Base::WideString& out);

  static Lumo::Base::WideString EscapeAttributeValue(Lumo::Base::WideView value);
  static Lumo::Base::WideString EscapeText(Lumo::Base::WideView text);
  // The same replacements, appended to out in one pass.
  static void AppendEscapedAttributeValue(Lumo::Base::WideView value, Lumo::Base::WideString& out);
  // The same, written at w, which has room for six units a character; returns the end.
  static char16_t* WriteEscapedAttributeValue(Lumo::Base::WideView value, char16_t* w);
  // Folds CR LF and lone CR to LF in out from position start on, in place.
  static void FoldLineEndsFrom(Lumo::Base::WideString& out, size_t start);

 private:
  // One attribute waiting for its place: its name as the entry spells it and its raw
  // value, both viewing storage that outlives the element's formatting.
  struct PendingAttribute {
    Lumo::Base::WideView name;
    Lumo::Base::WideView value;
  };
  // The two ordered lists of one element, kept as views and reused from element to
  // element; entries are written only once the order is known.
  std::vector<PendingAttribute> declarations_;
  std::vector<PendingAttribute> attributes_;
  std::vector<Lumo::Base::WideString> convertedNames_;  // names that needed the ANSI round trip
  Lumo::Base::WideString entries_;  // scratch for one element's entries (its size only grows)
  // Writes the entries of declarations_ then attributes_, once their order is known.
  void AppendEntries(Lumo::Base::WideString& out);

  // Sorted orders kept for the last sequences of ASCII attribute names (see
  // OrderByKeptNames); they view the walked tree's names, so they are dropped whenever a
  // walk or a standalone formatting starts.
  struct OrderedName {
    uint32_t index;  // position in the element's attribute map
    bool declarationGroup;
    bool exactXmlns;
  };
  struct KeptOrder {
    std::vector<Lumo::Base::WideView> names;
    std::vector<OrderedName> order;
  };
  static constexpr size_t kKeptOrders = 16;
  template <class Dropped>
  bool OrderByKeptNames(Lumo::Dom::NodeView first, Dropped& dropped);
  std::vector<Lumo::Base::WideView> names_;
  std::vector<Lumo::Base::WideView> values_;
  std::vector<KeptOrder> kept_;
  size_t nextKept_ = 0;
  std::vector<uint32_t> groups_[2];
  static Lumo::Dom::Node Parse(Lumo::Dom::Document& document, Lumo::Base::WideView xml);
  // The tree walks (tree_walk.cpp): one walk, and a policy for each tree it reads as
  // if it were there (the tree parsed again from its markup, or the tree one of the
  // prefix rewrites would make). The walk throws detail::NotPlain where it gives up.
  struct AsParsedAgain;
  struct FixedRewrite;
  struct NumberedRewrite;
  struct WalkFrame;
  template <class Policy>
  void Walk(Lumo::Dom::NodeView root, Lumo::Base::WideString& out);
  template <class Policy>
  bool RunWalk(const Lumo::Dom::Node& element, Lumo::Base::ByteString& out);
  void CheckElement(Lumo::Dom::NodeView element);
  // Prefix bindings in scope during the walk as parsed again: prefix -> URI, both views
  // of the tree's declarations.
  Lumo::Base::ScopedBindings<Lumo::Base::WideView> scope_;
  struct ExpandedName {
    Lumo::Base::WideView local;
    Lumo::Base::WideView uri;
  };
  std::vector<ExpandedName> expanded_;
  Lumo::Base::WideString pending_;  // white space of a text run not yet known to be kept
  bool runHasText_ = false;         // the text run being written has text (it is kept)
  void Indent(size_t depth, Lumo::Base::WideString& out);
  void KeepRun(Lumo::Base::WideString& out);  // the run gets text: its held white space goes out
  void EndRun();                              // markup ends the run: held white space is dropped
  Lumo::Dom::NodeView parentless_;            // the walk's root: formatted as if it had no parent
  bool prefixedAttribute_ = false;  // the walk met a prefixed attribute (not a declaration)
  bool markupInValue_ = false;      // ... an attribute value with '&' or '<'
  bool sameDocument_ = false;       // the walks so far were of this document (kept_ holds)
  // The root's start tag as the last fixed-prefix walk wrote it (FixedWalkOfSameDocument).
  struct TakenRoot {
    Lumo::Dom::NodeView node;
    Lumo::Base::WideView uri;
    std::string_view prefix;
    Lumo::Base::WideView local;
  };
  TakenRoot takenRoot_;
  // The declarations each open element makes in the fixed-prefix walk (a frame's from its
  // declBegin to its declEnd), the root's first: the static prefix and the URI (a view of
  // the tree) of each. An element whose attributes are unprefixed declares its own
  // namespace alone; a prefixed attribute adds its namespace to the element's list.
  struct Declaration {
    std::string_view prefix;
    Lumo::Base::WideView uri;
  };
  std::vector<Declaration> declared_;
  size_t rootDeclarations_ = 0;  // the root's, kept while its start tag is taken
  // The element's namespace list as the rewrite builds it, and the URIs of its prefixed
  // attributes in document order (views of the tree, and their ANSI spelling).
  TNamespaceList namespaceList_;
  std::vector<Lumo::Base::WideView> attributeUris_;
  // The walk's prefixed attributes that the rewrite leaves out, by the address of their
  // names (sorted): kept from element to element so that nothing is allocated per element.
  std::vector<const char16_t*> leftOutNames_;
  std::vector<Lumo::Base::AnsiString> attributeUrisAnsi_;
  Lumo::Base::AnsiString ownUriAnsi_;
  // The prefix the rewrite gives an element with prefixed attributes in namespaces, its
  // declarations pushed onto declared_.
  std::string_view DeclareNamespaceList(Lumo::Base::WideView ownUri);
  // The last few lists built, for the elements after them with the same URIs (the same
  // storage, as the tree keeps one copy of each): own URI then the attributes', the
  // declarations and the prefix each gave.
  struct KeptList {
    std::vector<Lumo::Base::WideView> uris;
    std::vector<Declaration> declarations;
    std::string_view prefix;
  };
  static constexpr size_t kKeptLists = 8;
  std::vector<KeptList> keptLists_;
  size_t nextKeptList_ = 0;
  bool rootStartTaken_ = false;    // this walk writes no start tag for takenRoot_
  bool strayDeclaration_ = false;  // ... a declaration of a prefix the element does not carry
  void AppendTextXml(Lumo::Dom::NodeView node, Lumo::Base::WideString& out);
  // With a UTF-8 sink, the wide output is encoded into it and emptied whenever it
  // holds at least kChunk units between two nodes.
  void MaybeFlush(Lumo::Base::WideString& out) {
    if (utf8_ && out.size() >= kChunk) Flush(out);
  }
  void Flush(Lumo::Base::WideString& out);

  static constexpr size_t kChunk = 16384;
  static constexpr size_t kDirectEntries = 4096;  // largest room opened for one element's entries
  Lumo::Base::ByteString* utf8_ = nullptr;
};

}  // namespace Lumo::Canon
