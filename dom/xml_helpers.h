// Loading documents and finding elements in them: the library's rules on top of the
// document object model (which document class, what counts as success, which node is
// handed back, how names are compared, the exact text of a parse error).
#pragma once

#include "base/errors.h"
#include "base/stream.h"
#include "base/types.h"
#include "dom/dom.h"

namespace Lumo::Dom {

// Each returns the document's root element (which keeps its document alive) or a null
// node; a parse failure raises EXmlParserError. With a handler, the root element's
// children are handed to it as they are parsed (Document::setRootChildHandler): the
// root returned then holds only what came after the last child handed over, or the whole
// document where the handler declined.
Dom::Node LoadXmlString(Base::WideView xml, Dom::RootChildHandler handler = nullptr);
Dom::Node LoadXmlFile(const Base::AnsiString& fileName, Dom::RootChildHandler handler = nullptr);
Dom::Node LoadXmlStream(Base::TMemoryStream& stream);  // from the stream's current position
// LoadXmlStream of a stream holding these bytes, at position 0. With a handler and
// readOnce (made on bytes), the bytes behind the children handed over are said read
// (Document::setInputReadOnce): they must not be read again.
Dom::Node LoadXmlBytes(std::string_view bytes, Dom::RootChildHandler handler = nullptr,
                       Base::ReadOnceText* readOnce = nullptr);
// LoadXmlString(Utf8Decode(bytes)): text held in the exchange's UTF-8 (canonical text).
// Parsed from the bytes without the wide copy whenever they read exactly as that call
// would (standard UTF-8 of one- to three-byte sequences, declaration or not).
Dom::Node LoadXmlUtf8(std::string_view bytes);
// LoadXmlString(WideFromUtf8(text)) for text that is standard UTF-8 (a client's text,
// checked by the caller): parsed from the bytes, the declared encoding ignored.
Dom::Node LoadXmlText(std::string_view text, Dom::RootChildHandler handler = nullptr);

// First child element whose local or qualified name equals name (empty: any element).
Dom::Node FindChildElement(const Dom::Node& node, const Base::AnsiString& name);
// First following sibling element whose local name equals name (empty: any element).
Dom::Node FindNextElement(const Dom::Node& element, const Base::AnsiString& name);
// Backslash path of child names from node, e.g. "SigContainer\\MACValue".
Dom::Node SelectElement(const Dom::Node& node, const Base::AnsiString& path);

// reason + "\r\nPosition: " + line + ":" + linepos + "\r\n" + srcText;
// "Unknown XML error" with code 0 when there is no parse-error object.
Base::EXmlParserError MakeXmlParserError(const Dom::ParseError* parseError);

}  // namespace Lumo::Dom
