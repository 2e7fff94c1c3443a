// Writing and reading the signature envelope.
#include "sign/envelope.h"

#include <cstring>
#include <vector>

#include "base/base64.h"
#include "base/encoding.h"
#include "base/input_file.h"
#include "canon/reference.h"
#include "canon/shortcut.h"
#include "dom/xml_chars.h"
#include "dom/xml_helpers.h"

namespace Lumo::Sign::Envelope {

using namespace Lumo::Base;
using namespace Lumo::Dom;
using Lumo::Canon::Shortcut;
namespace Shortcuts = Lumo::Canon::Shortcuts;

namespace {

// ASCII text (the fixed pieces, Base64) widened one byte per character.
void AppendAscii(WideString& out, std::string_view ascii) {
  size_t at = out.size();
  out.resize(at + ascii.size());
  char16_t* p = out.data() + at;
  for (unsigned char c : ascii) *p++ = c;
}

size_t FixedSize() { return kOpening.size() + kMiddle.size() + kClosing.size(); }

}  // namespace

WideString BuildText(std::string_view signatureValue, WideView objectContent) {
  WideString text;
  text.reserve(FixedSize() + signatureValue.size() + objectContent.size());
  AppendAscii(text, kOpening);
  AppendAscii(text, signatureValue);
  AppendAscii(text, kMiddle);
  text.append(objectContent);
  AppendAscii(text, kClosing);
  return text;
}

WideString BuildTextAscii(std::string_view signatureValue, std::string_view objectContent) {
  WideString text;
  text.reserve(FixedSize() + signatureValue.size() + objectContent.size());
  AppendAscii(text, kOpening);
  AppendAscii(text, signatureValue);
  AppendAscii(text, kMiddle);
  AppendAscii(text, objectContent);
  AppendAscii(text, kClosing);
  return text;
}

void WriteParsed(std::string_view signature, std::string_view objectContent,
                 const std::function<void(std::string_view)>& sink) {
  sink(kOpening);
  // Whole 3-byte groups a slice: the same text as in one go.
  constexpr size_t kSlice = 3 * 16384;
  ByteString text;
  for (size_t at = 0; at < signature.size(); at += kSlice) {
    const std::string_view slice = signature.substr(at, kSlice);
    text.resize(Base64Length(slice.size()));
    EncodeBase64To(slice, text.data());
    sink(text);
  }
  sink(kMiddle);
  // Runs between line ends go out as they are.
  size_t from = 0;
  for (size_t i = 0; i < objectContent.size(); ++i) {
    const char c = objectContent[i];
    if (c != '\r' && c != '\n') continue;
    if (i > from) sink(objectContent.substr(from, i - from));
    sink("\r\n");
    if (c == '\r' && i + 1 < objectContent.size() && objectContent[i + 1] == '\n') ++i;
    from = i + 1;
  }
  if (from < objectContent.size()) sink(objectContent.substr(from));
  sink(kClosing);
}

Dom::Node Build(std::string_view signatureValue, std::string_view objectContent) {
  return LoadXmlString(BuildTextAscii(signatureValue, objectContent));
}

bool IsEnvelopeRoot(const Dom::Node& root) {
  return root && root.nodeType() == Dom::NODE_ELEMENT && root.baseName() == kRootName;
}

Dom::Node FindSignatureValue(const Dom::Node& root) { return SelectElement(root, kSignaturePath); }

Dom::Node FindObject(const Dom::Node& root) { return SelectElement(root, kObjectPath); }

void RefuseRepeatedParts(const Dom::Node& root) {
  auto refuseSecond = [](const Dom::Node& parent, const char* name) {
    Dom::Node first = FindChildElement(parent, name);
    if (first && FindNextElement(first, name))
      throw Lumo::Base::EDocumentRefused(
          std::string("Ошибка проверки КА: в конверте второй элемент ") + name);
    return first;
  };
  refuseSecond(root, "Object");
  if (Dom::Node container = refuseSecond(root, "SigContainer")) refuseSecond(container, "MACValue");
}

namespace {

bool IsTrimmedSpace(char c) { return Lumo::Dom::IsXmlSpace(static_cast<unsigned char>(c)); }

// The text and CDATA units below the element in document order, as `text` gathers them
// (elements are entered, nothing else is), each handed to visit as a view.
template <class Visit>
void ForEachTextRun(const Dom::Node& element, Visit visit) {
  const Dom::NodeView root(element);
  Dom::NodeView cur = root.firstChild();
  while (cur) {
    const Dom::NodeType t = cur.nodeType();
    if (t == Dom::NODE_TEXT || t == Dom::NODE_CDATA_SECTION) visit(cur.valueView());
    if (t == Dom::NODE_ELEMENT && cur.firstChild()) {
      cur = cur.firstChild();
      continue;
    }
    while (!(cur == root) && !cur.nextSibling()) cur = cur.parentNode();
    if (cur == root) break;
    cur = cur.nextSibling();
  }
}

}  // namespace

AnsiString AnsiTextOf(const Dom::Node& element) {
  // ASCII reads the same in every code page: then the ANSI text is the units narrowed.
  size_t size = 0;
  bool ascii = true;
  ForEachTextRun(element, [&](WideView run) {
    size += run.size();
    for (char16_t c : run) ascii = ascii && c < 0x80;
  });
  if (!ascii) return WideToAnsi(element.text());
  AnsiString out;
  out.reserve(size);
  ForEachTextRun(element, [&](WideView run) {
    for (char16_t c : run) out.push_back(static_cast<char>(c));
  });
  size_t begin = 0, end = out.size();
  while (begin < end && IsTrimmedSpace(out[begin])) ++begin;
  while (end > begin && IsTrimmedSpace(out[end - 1])) --end;
  out.resize(end);
  out.erase(0, begin);
  return out;
}

ByteString DecodeValue(const Dom::Node& element) {
  return DecodeBase64InPlace(AnsiTextOf(element));
}

namespace {

// An encoded UTF-16 surrogate: a three-byte sequence ED A0..BF xx.
bool HasEncodedSurrogate(std::string_view bytes) {
  for (size_t i = bytes.find('\xED'); i != std::string_view::npos; i = bytes.find('\xED', i + 1))
    if (i + 1 < bytes.size() && static_cast<unsigned char>(bytes[i + 1]) >= 0xA0 &&
        static_cast<unsigned char>(bytes[i + 1]) <= 0xBF)
      return true;
  return false;
}

}  // namespace

bool ReadsOneWay(std::string_view bytes) { return !HasEncodedSurrogate(bytes); }

Dom::Node LoadContent(const ByteString& bytes) {
  try {
    return LoadXmlBytes(bytes);
  } catch (const EXmlParserError&) {
    // Envelopes carry the document as the library writes it: UTF-8 one UTF-16 unit at
    // a time, so a character beyond U+FFFF is two three-byte sequences. The byte loader
    // reads them where the content declares UTF-8; content without that declaration
    // (Base64 envelopes carry the client's bytes) is read again as that text (its
    // declaration is then ignored); failing that, the first error stands.
    if (!HasEncodedSurrogate(bytes)) throw;
    WideString text = Utf8Decode(bytes);
    if (text.empty()) throw;
    try {
      return LoadXmlString(text);
    } catch (const EXmlParserError&) {
    }
    throw;
  }
}

Dom::Node LoadObject(const Dom::Node& object) { return LoadContent(DecodeValue(object)); }

Dom::Node Unwrap(const Dom::Node& root) {
  Dom::Node object = FindObject(root);
  if (!object) return LoadXmlString(root.xml());
  return LoadObject(object);
}

Dom::Node UnwrapTaking(Dom::Node root) {
  ByteString content;
  {
    Dom::Node object = FindObject(root);
    if (!object) {
      WideString xml = root.xml();
      root = Dom::Node();
      return LoadXmlString(xml);
    }
    content = DecodeValue(object);
  }
  root = Dom::Node();
  return LoadContent(content);
}

namespace {

template <class Char>
bool IsWhiteSpace(Char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Whether text[at...] starts with the ASCII piece; at moves past it.
template <class Char>
bool Take(std::basic_string_view<Char> text, size_t& at, std::string_view piece) {
  if (text.size() - at < piece.size()) return false;
  for (size_t i = 0; i < piece.size(); ++i)
    if (text[at + i] != static_cast<Char>(static_cast<unsigned char>(piece[i]))) return false;
  at += piece.size();
  return true;
}

// The declaration, white space and the opening piece; at moves past them.
template <class Char>
bool TakeStart(std::basic_string_view<Char> text, size_t& at) {
  at = 0;
  Take(text, at, XmlHeaderAnsi);
  while (at < text.size() && IsWhiteSpace(text[at])) ++at;
  return Take(text, at, kOpening);
}

// A non-empty run of Base64 characters at `at`; at moves past it.
template <class Char>
bool TakeValue(std::basic_string_view<Char> text, size_t& at, size_t& valueAt, size_t& size) {
  valueAt = at;
  size = Base64TextLength(text.substr(at));
  at += size;
  return size > 0;
}

template <class Char>
bool ScanLayout(std::basic_string_view<Char> text, WrittenLayout& layout) {
  size_t at = 0;
  if (!TakeStart(text, at)) return false;
  if (!TakeValue(text, at, layout.signatureAt, layout.signatureSize) || !Take(text, at, kMiddle))
    return false;
  if (!TakeValue(text, at, layout.objectAt, layout.objectSize) || !Take(text, at, kClosing))
    return false;
  while (at < text.size() && IsWhiteSpace(text[at])) ++at;
  return at == text.size();
}

// Both values of an envelope, set out so that two differ whenever either value does.
ByteString Joined(const DecodedValues& values) {
  return std::to_string(values.signature.size()) + ":" + values.signature + values.object;
}

// The long way to an envelope's values: the document loaded, taken in fixed-prefix form and
// parsed again, as the key profile's Verify and Extract read it; its parts found and
// decoded (withSignature: the signature value too).
ByteString ValuesOfTree(Dom::Node root, bool withSignature) {
  using Lumo::Canon::PrefixScheme;
  if (!root) throw ELumoDEZError("no document element");
  Dom::Node envelope = Lumo::Canon::Reference::ParseCanonical(
      Lumo::Canon::Reference::CanonicalText(root, PrefixScheme::Fixed));
  root = Dom::Node();
  Dom::Node mac = FindSignatureValue(envelope), object = FindObject(envelope);
  if (!mac || !object) throw ELumoDEZError("no signature value or object");
  DecodedValues values;
  if (withSignature) values.signature = DecodeValue(mac);
  values.object = DecodeValue(object);
  return Joined(values);
}

template <class Char>
Dom::Node LoadText(std::basic_string_view<Char> text) {
  if constexpr (sizeof(Char) == 1) {
    return LoadXmlText(text);
  } else {
    return LoadXmlString(text);
  }
}

// The values at the layout's places, decoded (for the check).
template <class Char>
DecodedValues ValuesInText(std::basic_string_view<Char> text, const WrittenLayout& layout) {
  auto decode = [&](size_t at, size_t size) {
    ByteString narrow;
    for (Char c : text.substr(at, size)) narrow.push_back(static_cast<char>(c));
    return DecodeBase64(narrow);
  };
  return {decode(layout.signatureAt, layout.signatureSize),
          decode(layout.objectAt, layout.objectSize)};
}

// The shortcut: the values found in the text, which the checking build sets against the
// envelope's tree.
template <class Char>
bool Scan(std::basic_string_view<Char> text, WrittenLayout& layout) {
  if (!Shortcuts::Allowed(Shortcut::EnvelopeText) || !ScanLayout(text, layout)) return false;
  ByteString taken;
  if constexpr (Lumo::Canon::kCheckShortcuts) taken = Joined(ValuesInText(text, layout));
  Shortcuts::Answered(Shortcut::EnvelopeText, text.size(), taken,
                      [&] { return ValuesOfTree(LoadText(text), true); });
  return true;
}

}  // namespace

bool ScanWritten(std::string_view text, WrittenLayout& layout) { return Scan(text, layout); }
bool ScanWritten(WideView text, WrittenLayout& layout) { return Scan(text, layout); }

ByteString NarrowValues(WideView text, WrittenLayout& layout) {
  ByteString values;
  values.reserve(layout.signatureSize + layout.objectSize);
  for (char16_t c : text.substr(layout.signatureAt, layout.signatureSize))
    values.push_back(static_cast<char>(c));
  for (char16_t c : text.substr(layout.objectAt, layout.objectSize))
    values.push_back(static_cast<char>(c));
  layout.signatureAt = 0;
  layout.objectAt = layout.signatureSize;
  return values;
}

ByteString DecodeWrittenObject(std::string_view text, const WrittenLayout& layout,
                               ByteString* release) {
  const std::string_view value = text.substr(layout.objectAt, layout.objectSize);
  const bool held = release != nullptr && value.data() >= release->data() &&
                    value.data() + value.size() <= release->data() + release->size();
  if (!held) {
    ByteString object = DecodeBase64(value);
    if (release) ByteString().swap(*release);
    return object;
  }
  // The value moved to the front of the buffer and decoded where it stands.
  const size_t at = static_cast<size_t>(value.data() - release->data());
  ByteString buffer;
  buffer.swap(*release);
  buffer.erase(0, at);
  buffer.resize(value.size());
  return DecodeBase64InPlace(std::move(buffer));
}

namespace {

// A file read piece by piece for the walk over a written envelope. What is not yet taken
// (a fixed piece or a group of four characters cut by the end of a piece) is moved to the
// front of the buffer when the next piece is read behind it.
class PieceReader {
 public:
  explicit PieceReader(Lumo::Base::InputFile& file) : file_(file), buffer_(kPiece + kKept) {}

  std::string_view Rest() const { return {buffer_.data() + at_, end_ - at_}; }
  void Skip(size_t n) { at_ += n; }
  // The next piece behind what is left; false at the end of the file or on a read error.
  bool More() {
    const size_t left = end_ - at_;
    std::memmove(buffer_.data(), buffer_.data() + at_, left);
    at_ = 0;
    end_ = left + file_.Read(buffer_.data() + left, buffer_.size() - left);
    return end_ > left;
  }
  // Whether the fixed piece follows; it is taken then.
  bool Take(std::string_view piece) {
    while (Rest().size() < piece.size() && More()) {
    }
    if (Rest().substr(0, piece.size()) != piece) return false;
    Skip(piece.size());
    return true;
  }
  // A non-empty run of Base64 text, decoded and appended to out where out is given. The
  // run holds no white space, so whole groups decode as they pass.
  bool TakeValue(ByteString* out) {
    bool any = false;
    for (;;) {
      const std::string_view rest = Rest();
      const size_t run = Base64TextLength(rest);
      const bool ended = run < rest.size();
      const size_t taken = ended ? run : run / 4 * 4;
      if (out != nullptr) DecodeBase64Append(rest.substr(0, taken), *out);
      Skip(taken);
      any = any || run > 0;
      if (ended) return any;
      if (!More()) return false;  // the file ends inside the value
    }
  }
  // White space up to the end of the file, and nothing else.
  bool OnlySpaceLeft() {
    do {
      for (char c : Rest())
        if (!IsWhiteSpace(c)) return false;
      Skip(Rest().size());
    } while (More());
    return !file_.Failed();
  }

 private:
  static constexpr size_t kPiece = 65536;
  static constexpr size_t kKept = 256;  // more than the longest fixed piece
  static_assert(kOpening.size() < kKept);
  Lumo::Base::InputFile& file_;
  std::vector<char> buffer_;
  size_t at_ = 0, end_ = 0;
};

}  // namespace

bool ReadWrittenFile(const AnsiString& fileName, bool withSignature, DecodedValues& values) {
  values = DecodedValues();
  if (!Shortcuts::Allowed(Shortcut::EnvelopeFile)) return false;
  Lumo::Base::InputFile file(fileName);
  if (!file.IsOpen()) return false;
  const size_t size = file.ToldSize();
  PieceReader reader(file);
  // Most files that are not such envelopes are told by their first bytes.
  constexpr size_t kHead = XmlHeaderAnsi.size() + 64 + kOpening.size();
  size_t at = 0;
  if (!reader.More() || !TakeStart(reader.Rest().substr(0, kHead), at)) return false;
  reader.Skip(at);
  // Room for the most the object can decode to: only what is written is touched.
  if (size > 0) values.object.reserve(size / 4 * 3 + 3);
  const bool ok = reader.TakeValue(withSignature ? &values.signature : nullptr) &&
                  reader.Take(kMiddle) && reader.TakeValue(&values.object) &&
                  reader.Take(kClosing) && reader.OnlySpaceLeft();
  if (!ok) {
    values = DecodedValues();
    return false;
  }
  Shortcuts::Answered(Shortcut::EnvelopeFile, size,
                      Lumo::Canon::kCheckShortcuts ? Joined(values) : ByteString(),
                      [&] { return ValuesOfTree(LoadXmlFile(fileName), withSignature); });
  return true;
}

}  // namespace Lumo::Sign::Envelope
