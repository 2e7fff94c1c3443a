// The exchange's canonical form: the normalizer rewrites a document element into one
// of two prefix schemes, the canonicalizer turns its markup into canonical text.
//
// Each function here gives the bytes of the reference way (reference.h), mostly through
// a shortcut that skips writing and parsing markup; README.md lists every shortcut, where
// it gives up and what checks it. A shortcut that does not apply answers std::nullopt.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "base/types.h"
#include "canon/reference.h"
#include "dom/dom.h"

namespace Lumo::Canon {

class TXmlCanonicalizer;

// Normalize the node's document in place (fixed or numbered prefixes), take the
// rebuilt element's xml, canonicalize it, encode it as UTF-8 (one UTF-16 unit at a
// time). These are the bytes that are signed or carried. Where the rebuilt element's
// markup is known to parse back into the same tree, the bytes are taken from the tree
// itself, without writing and parsing the markup (TXmlCanonicalizer::
// CanonicalizeTreeUtf8Append); otherwise the markup is written and parsed.
Lumo::Base::ByteString CanonicalText(const Lumo::Dom::Node& node, PrefixScheme scheme);
// The same for a caller that gives up its handle: the document is let go as soon as its
// bytes or its markup are taken (if no other handle holds it). For the fixed-prefix
// scheme the document is, as a rule, not rewritten at all: the bytes are taken from the
// tree as loaded (TXmlCanonicalizer::FixedTreeUtf8Append) where that covers it.
Lumo::Base::ByteString CanonicalText(Lumo::Dom::Node&& node, PrefixScheme scheme);
// The fixed-prefix form, and whether it is its own fixed-prefix form once parsed again
// (false where that is not certain): the Root action may then sign the document parsed
// from it without taking the same text a second time.
Lumo::Base::ByteString FixedCanonicalText(Lumo::Dom::Node&& node, bool& settled);
// The fixed-prefix text of a document taken while it is loaded (Dom::LoadXmlFile with a
// handler that calls TakeChildren), its root's children handed over as they are parsed:
// the document is never held whole. Each call walks the root with the children it holds
// now; the walk of a root depends on the root and those children alone, so the texts of
// the calls, the root's tags taken once, are the text of the whole document. Gives up
// (TakeChildren Declined, Finish nothing) wherever the walk from the tree as loaded does not
// answer; the caller then loads the document whole and takes FixedCanonicalText.
class FixedTextByChildren {
 public:
  FixedTextByChildren();
  ~FixedTextByChildren();
  // Children are taken a batch at a time (the root's tags are walked once a batch).
  Lumo::Dom::HandOver TakeChildren(const Lumo::Dom::Node& root);
  // Once the load is done, with the root it gave: the text, and whether it is settled
  // (as FixedCanonicalText reports).
  std::optional<Lumo::Base::ByteString> Finish(const Lumo::Dom::Node& root, bool& settled);
  // The text taken so far (the root's end tag not yet written); it may move as it grows.
  std::string_view Text() const { return text_; }
  // Whether every walk so far called its text settled.
  bool SettledSoFar() const { return settled_ && !gaveUp_; }
  // Whether children were handed over and are gone from the loaded document.
  bool TookChildren() const { return started_; }

 private:
  bool Walk(const Lumo::Dom::Node& root, bool last);

  std::unique_ptr<TXmlCanonicalizer> canonicalizer_;
  Lumo::Base::ByteString text_;
  size_t endTag_ = 0;   // the root's end tag's length, from the first walk
  size_t waiting_ = 0;  // children left for the next batch
  bool started_ = false;
  bool settled_ = true;
  bool gaveUp_ = false;
};

// A document that load parses: load(handler) hands the root's children to the handler
// as they are parsed, load(nullptr) parses the whole document; both give its root
// element, or nothing.
using DocumentLoader = std::function<Lumo::Dom::Node(Lumo::Dom::RootChildHandler)>;
// The document's fixed-prefix text and whether it is settled (FixedCanonicalText), taken
// by FixedTextByChildren as it is parsed, else from the whole document loaded again;
// nothing when it gives no root element.
std::optional<Lumo::Base::ByteString> FixedTextOfLoaded(const DocumentLoader& load, bool& settled);

// CanonicalText(node, PrefixScheme::Numbered) taken without rewriting the node's
// document, for a tree of the shape a fixed-prefix canonical text parses into; nothing
// for any other tree, which must then go through CanonicalText, and nothing while the
// reference switch is on. Spares the caller a copy of a document that it needs both
// unchanged and in numbered canonical form. The shortcut NumberedKeepingTree: the caller,
// which holds the text the tree was parsed from, reports the answer (Shortcuts::Answered).
std::optional<Lumo::Base::ByteString> NumberedCanonicalTextKeepingTree(const Lumo::Dom::Node& node);

// What the Root action signs and the document it returns. Its steps: the input's
// fixed-prefix text C0 is parsed into R; R's fixed-prefix text C is parsed into R1, whose
// numbered-prefix canonical text is the signed bytes; the result is the tree C parses
// into, with the signature value put first into its root by the caller.
struct RootForm {
  Lumo::Base::ByteString signedBytes;
  // The result: C itself where the tree it parses into is known from the text
  // (NumberedFromSettledText accepts it; WriteParsedMarkup writes that tree's markup),
  // else that tree. Exactly one of the two is set.
  Lumo::Base::ByteString text;
  Lumo::Dom::Node tree;
};
// From the input's document element, handed over. C is taken as C0 itself only where C0
// is certain to be its own fixed-prefix form. resultAsText: the caller can write the
// result from C; without it the tree is always made.
RootForm RootFormOfDocument(Lumo::Dom::Node&& root, bool resultAsText);
// The same from the input's fixed-prefix text C0 and whether it is settled, as
// FixedCanonicalText gives them (settled is a tree walk's claim: the walk checked the
// text's characters as it wrote them, so they are not read again).
RootForm RootFormOfInputText(Lumo::Base::ByteString c0, bool settled, bool resultAsText);
// From C, the fixed-prefix canonical text of the document being signed.
RootForm RootFormOfFixedText(Lumo::Base::ByteString c, bool resultAsText);
// The signed bytes of a child's text that WriteParsedMarkupReplacingChildren handed over
// (its characters were checked with the whole text), into numbered, where they can be
// renamed from the text; false: RootFormOfFixedText of the text decides.
bool NumberedOfSettledChild(std::string_view c, Lumo::Base::ByteString& numbered);

}  // namespace Lumo::Canon
