// The exchange's canonical form: the normalizer rewrites a document element into one
// of two prefix schemes, the canonicalizer turns its markup into canonical text.
#pragma once

#include "util/dom.h"
#include "util/types.h"

namespace DEZ::Xml {

// Normalize the node's document in place (fixed or numbered prefixes), take the
// rebuilt element's xml, canonicalize it, encode it as UTF-8 (one UTF-16 unit at a
// time). These are the bytes that are signed or carried. Where the rebuilt element's
// markup is known to parse back into the same tree, the bytes are taken from the tree
// itself, without writing and parsing the markup (TXmlCanonicalizer::
// CanonicalizeTreeUtf8Append); otherwise the markup is written and parsed.
Lumo::ByteString CanonicalText(const Lumo::Dom::Node& node, bool numberedPrefixes);
// The same for a caller that gives up its handle: the document is let go as soon as its
// bytes or its markup are taken (if no other handle holds it). For the fixed-prefix
// scheme the document is, as a rule, not rewritten at all: the bytes are taken from the
// tree as loaded (TXmlCanonicalizer::FixedTreeUtf8Append) where that covers it.
Lumo::ByteString CanonicalText(Lumo::Dom::Node&& node, bool numberedPrefixes);
// The fixed-prefix form, and whether it is its own fixed-prefix form once parsed again
// (false where that is not certain): the Root action may then sign the document parsed
// from it without taking the same text a second time.
Lumo::ByteString FixedCanonicalText(Lumo::Dom::Node&& node, bool& fixedPoint);
// CanonicalText(node, true) taken without rewriting the node's document, for a tree of
// the shape a fixed-prefix canonical text parses into; false (bytes untouched) for any
// other tree, which must then go through CanonicalText. Spares the caller a copy of a
// document that it needs both unchanged and in numbered canonical form.
bool NumberedCanonicalTextKeepingTree(const Lumo::Dom::Node& node, Lumo::ByteString& bytes);

}  // namespace DEZ::Xml
