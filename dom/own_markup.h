// Markup that is its own serialisation: a text that, loaded, gives a document element
// whose markup (Node::writeXmlUtf8, StreamedRootWriter) is exactly the text again.
//
// Envelopes carry a document as this tree wrote it; verifying or extracting one writes
// the document out as the tree writes it. Where the carried text already is that markup,
// the text itself is the result: no tree needs to be built for it.
//
// The check is conservative: it accepts a narrow shape and refuses everything else (the
// caller then loads the text). Accepted is one element and nothing around it; ASCII names,
// prefixes only on elements and in namespace declarations, every prefix declared; no
// comments, processing instructions, CDATA sections or document type; text that is not
// white space alone and holds no raw '>', no line end and no character references; an
// empty element only as "<a/>"; escapes only as the tree writes them; well-formed BMP
// UTF-8 without control characters other than tab, or U+FFFE and U+FFFF.
#pragma once

#include <string_view>

namespace Lumo::Dom {

// Whether text (UTF-8, without an XML declaration) has that shape.
bool IsOwnMarkup(std::string_view text);

}  // namespace Lumo::Dom
