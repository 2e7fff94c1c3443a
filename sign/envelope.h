// The signature envelope: the container in which a signed document travels together
// with its detached signature.
//
//   <sen:SigEnvelope xmlns:sen="urn:dez-ru:dsig:env:v1.1"><sen:SigContainer>
//   <dsig:MACValue xmlns:dsig="urn:dez-ru:dsig:v1.1">SIGNATURE</dsig:MACValue>
//   </sen:SigContainer><sen:Object>OBJECT</sen:Object></sen:SigEnvelope>
//
// written as one line without any separator (the line breaks above are for reading only).
// The reader works on element names, not on namespaces: a child matches a name when its
// local name or its qualified name equals it.
#pragma once

#include <functional>
#include <string_view>

#include "base/types.h"
#include "dom/dom.h"

namespace Lumo::Sign::Envelope {

// The fixed pieces of the written text (ASCII). The opening piece is 121 characters.
inline constexpr std::string_view kOpening =
    "<sen:SigEnvelope xmlns:sen=\"urn:dez-ru:dsig:env:v1.1\"><sen:SigContainer>"
    "<dsig:MACValue xmlns:dsig=\"urn:dez-ru:dsig:v1.1\">";
inline constexpr std::string_view kMiddle = "</dsig:MACValue></sen:SigContainer><sen:Object>";
inline constexpr std::string_view kClosing = "</sen:Object></sen:SigEnvelope>";
static_assert(kOpening.size() == 121);

// Paths of the parts below the root.
inline constexpr const char* kSignaturePath = "SigContainer\\MACValue";
inline constexpr const char* kObjectPath = "Object";
// Local name the root must have for a signature check.
inline constexpr std::u16string_view kRootName = u"SigEnvelope";

// The envelope text: opening, signature value, middle, object content, closing.
// Both values are inserted as they are (no escaping).
Lumo::Base::WideString BuildText(std::string_view signatureValue,
                                 Lumo::Base::WideView objectContent);
// The same when both values are ASCII text (Base64); the same text may serve as both.
Lumo::Base::WideString BuildTextAscii(std::string_view signatureValue,
                                      std::string_view objectContent);

// The markup of the envelope that BuildText(EncodeBase64(signature), objectContent)
// parses into, for a non-empty signature and object content without markup (checked
// Base64 text), handed to sink in pieces: the text as it stands, the signature's Base64
// made a slice at a time, and each line end of the object content (CR LF, CR or LF; the
// parser reads each as LF) written as CR LF.
void WriteParsed(std::string_view signature, std::string_view objectContent,
                 const std::function<void(std::string_view)>& sink);

// Builds the text and parses it (LoadXmlString); returns the envelope's root element.
Lumo::Dom::Node Build(std::string_view signatureValue, std::string_view objectContent);

// Whether the root's local name is exactly "SigEnvelope" (prefix and namespace not examined).
bool IsEnvelopeRoot(const Lumo::Dom::Node& root);
// The signature value element (SigContainer\MACValue) and the object element (Object),
// or null nodes.
Lumo::Dom::Node FindSignatureValue(const Lumo::Dom::Node& root);
Lumo::Dom::Node FindObject(const Lumo::Dom::Node& root);
// Raises EDocumentRefused when the root has a second SigContainer or Object child, or its
// first SigContainer a second MACValue (names matched as the finders above match them).
void RefuseRepeatedParts(const Lumo::Dom::Node& root);

// The element's text as ANSI text: WideToAnsi(element.text()), gathered straight from
// its text nodes when they are all ASCII (a Base64 value is never copied wide).
Lumo::Base::AnsiString AnsiTextOf(const Lumo::Dom::Node& element);
// An element's text as ANSI text, decoded from Base64.
Lumo::Base::ByteString DecodeValue(const Lumo::Dom::Node& element);
// Decoded object content parsed as a memory stream would be (the bytes' own declaration
// decides their encoding); the new root element, or a null node.
Lumo::Dom::Node LoadContent(const Lumo::Base::ByteString& bytes);
// Whether LoadContent reads the bytes one way only, as a memory stream would: content
// that may be read again another way after a parse error (encoded surrogates) is not.
bool ReadsOneWay(std::string_view bytes);
// The object element's text decoded from Base64 and parsed by LoadContent.
Lumo::Dom::Node LoadObject(const Lumo::Dom::Node& object);

// Unwrapping without a signature check: the document carried by the root's Object
// child, or, without such a child, a fresh parse of the root's own markup.
Lumo::Dom::Node Unwrap(const Lumo::Dom::Node& root);
// The same for a caller that hands its handle over: the envelope's document is let go
// before the carried document is parsed, so the two are never held at once.
Lumo::Dom::Node UnwrapTaking(Lumo::Dom::Node root);

// --- Envelopes as this library writes them, read without a tree ---------------------
//
// Text that is exactly an optional declaration (XmlHeaderAnsi), white space, kOpening,
// the signature value, kMiddle, the object content, kClosing and white space, both values
// non-empty Base64 text without white space, reads through every route (as a file, as
// text, in its fixed-prefix canonical form) as the envelope of those two values: its
// values can be taken from the text without building the envelope's tree, which would
// hold its Base64 twice as wide.
struct WrittenLayout {
  size_t signatureAt = 0, signatureSize = 0;
  size_t objectAt = 0, objectSize = 0;
};
// Whether the text is such an envelope, and where its values are. Both readers below are
// shortcuts (canon/shortcut.h: "envelope read from its text", "envelope read piece by
// piece from its file"): false while the reference switch is on, so that the caller takes
// the envelope's tree; in checking builds their values are set against that tree's.
bool ScanWritten(std::string_view text, WrittenLayout& layout);
bool ScanWritten(Lumo::Base::WideView text, WrittenLayout& layout);
// The two values of wide text that ScanWritten accepted, narrowed into one string; the
// layout is changed to tell where they are in it.
Lumo::Base::ByteString NarrowValues(Lumo::Base::WideView text, WrittenLayout& layout);
// The object content of text that ScanWritten accepted, decoded. Where release is the
// caller's buffer that holds the text, the content is decoded inside it and the buffer
// is emptied: the text is never held beside its decoded bytes. Otherwise release, when
// given, is emptied once the content is decoded.
Lumo::Base::ByteString DecodeWrittenObject(std::string_view text, const WrittenLayout& layout,
                                           Lumo::Base::ByteString* release);
// The values of a file that holds such an envelope, decoded as the file is read piece by
// piece (its text is never held whole): the object content, and the signature value when
// asked for. False for anything else, a file that cannot be read included (the long way
// then reports it as it always has); most such files are told by their first bytes.
struct DecodedValues {
  Lumo::Base::ByteString signature;
  Lumo::Base::ByteString object;
};
bool ReadWrittenFile(const Lumo::Base::AnsiString& fileName, bool withSignature,
                     DecodedValues& values);

}  // namespace Lumo::Sign::Envelope
