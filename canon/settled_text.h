// A settled text: a fixed-prefix canonical text that is its own fixed-prefix form (what
// FixedCanonicalText reports through its flag), read as text. Such a text has a plain
// shape: elements, text and CDATA sections only; each element declares at most its own
// prefix, and only where its parent does not already stand in the same namespace; every
// other attribute is unprefixed, or carries a prefix that none of the elements can bind
// (every element's prefix is one of the fixed-prefix scheme's, the attribute's none of
// them); no text is white space only. The tree it parses into is
// then known from the text alone, so the Root action can take what it signs and what it
// writes from the text, without building that tree.
#pragma once

#include <functional>
#include <string_view>

#include "base/read_once_text.h"
#include "base/types.h"

namespace Lumo::Canon {

// Whether the text has that plain shape (checked, not assumed). When it has, numbered
// receives the numbered-prefix canonical text of the tree it parses into
// (CanonicalText(LoadXmlUtf8(text), true)): the text with each element's prefix and the
// prefix of each declaration renamed to "n1".
bool NumberedFromSettledText(std::string_view text, Lumo::Base::ByteString& numbered);
// NumberedFromSettledText for a text that a tree walk wrote and called settled (its
// characters, names, values and text runs were checked as the walk wrote them: XML
// characters, no markup in values, no blank runs, every escape its own), so that only its
// structure is read here.
bool NumberedFromWalkedText(std::string_view text, Lumo::Base::ByteString& numbered);
// The same check alone.
bool IsSettledText(std::string_view text);
// Whether the tree the text parses into, and so the markup WriteParsedMarkup writes, is
// known from the text alone: the plain shape, except that an element may declare several
// prefixes of the fixed-prefix scheme (its own on itself or on its parent) and an
// attribute may carry a prefix that is none of the scheme's (nothing binds it, so it
// stays as it is). A fixed-prefix text has this shape wherever the walk from the tree
// as loaded takes it with no '&' or '<' in a value, prefixed attributes or not.
bool IsPlainMarkupText(std::string_view text);
// NumberedFromSettledText for a text made of parts of one that IsSettledText accepted (a
// child's text as WriteParsedMarkupReplacingChildren gives it): its characters were
// checked there and are not looked at again; its structure is. numbered is written in
// the room it has (one buffer serves child after child); empty when refused.
bool NumberedFromSettledPart(std::string_view text, Lumo::Base::ByteString& numbered);

// For a text that NumberedFromSettledText (or IsPlainMarkupText, with an empty insertFirst)
// accepted: Utf8EncodeAppend of the xml of the tree
// it parses into, with the markup that insertFirst appends (UTF-8) as the first child of
// its root. consume receives the bytes in pieces, each ending on a character boundary,
// and empties the buffer it is given; insertFirst may call it on the same buffer. An empty
// insertFirst: the markup alone. With readOnce (made on text), the part of the text after
// the root's start tag is said read as the writer passes it: text's pages go back as the
// result is handed on, and the text must not be read again.
void WriteParsedMarkup(std::string_view text,
                       const std::function<void(Lumo::Base::ByteString&)>& insertFirst,
                       const std::function<void(Lumo::Base::ByteString&)>& consume,
                       Lumo::Base::ReadOnceText* readOnce = nullptr);
// The same appended to out, which goes to consume whenever it is full; what is left in out
// at the end stays there for the caller.
void WriteParsedMarkup(std::string_view text,
                       const std::function<void(Lumo::Base::ByteString&)>& insertFirst,
                       Lumo::Base::ByteString& out,
                       const std::function<void(Lumo::Base::ByteString&)>& consume);

// For a text that IsSettledText accepted and that is its own fixed-prefix form: the xml of
// the tree it parses into, except that each child element of the root is handed to
// replaceChild, which appends what stands in its place to the buffer it is given (and may
// hand that buffer to consume). replaceChild receives the child's fixed-prefix text as the
// root of a document of its own: the xml of the child, parsed and taken in fixed-prefix
// form, which is its slice of the text with the root's declaration of its prefix put
// first into it where it relies on that (the prefixes the form gives depend on each
// element alone, and only the declaration its parent makes is left out of a child's text).
// readOnce as for WriteParsedMarkup.
using ChildSink = std::function<void(std::string_view childText, Lumo::Base::ByteString& out)>;
void WriteParsedMarkupReplacingChildren(std::string_view text, const ChildSink& replaceChild,
                                        const std::function<void(Lumo::Base::ByteString&)>& consume,
                                        Lumo::Base::ReadOnceText* readOnce = nullptr);

}  // namespace Lumo::Canon
