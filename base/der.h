// Reading ASN.1 in DER (and the BER that signatures also come in: indefinite lengths):
// the elements of a byte string one after the other, each with its tag and the bytes of
// its content, never copied. Malformed input is reported, never read past; nesting is
// limited, so that hostile input costs linear time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Lumo::Base {

// Tag classes, as the two top bits of the first byte.
enum class DerClass : uint8_t { Universal = 0, Application = 1, Context = 2, Private = 3 };

// Universal tag numbers the readers of this library look at.
namespace DerTag {
inline constexpr uint32_t kInteger = 2, kBitString = 3, kOctetString = 4, kOid = 6,
                          kUtf8String = 12, kSequence = 16, kSet = 17, kPrintableString = 19,
                          kTeletexString = 20, kIa5String = 22, kUtcTime = 23,
                          kGeneralizedTime = 24, kUniversalString = 28, kBmpString = 30;
}

struct DerElement {
  DerClass tagClass = DerClass::Universal;
  bool constructed = false;
  uint32_t tagNumber = 0;
  std::string_view content;  // the content (an indefinite length's end marker excluded)
  std::string_view whole;    // header, content and end marker: the element as it stands

  bool Is(DerClass cls, uint32_t number) const { return tagClass == cls && tagNumber == number; }
  bool IsUniversal(uint32_t number) const { return Is(DerClass::Universal, number); }
  bool IsContext(uint32_t number) const { return Is(DerClass::Context, number); }
};

class DerReader {
 public:
  static constexpr int kMaxDepth = 24;

  // depth: how many levels of nested indefinite lengths may still be read below.
  explicit DerReader(std::string_view bytes, int depth = kMaxDepth) : rest_(bytes), depth_(depth) {}
  // The reader of an element's content, one level down.
  DerReader Inside(const DerElement& e) const { return DerReader(e.content, depth_ - 1); }

  // The next element; false at the end and on malformed input (Failed tells which).
  bool Next(DerElement& e);
  // The next element when it has the tag; nothing is read otherwise.
  bool NextIf(DerClass cls, uint32_t number, DerElement& e);
  bool AtEnd() const { return rest_.empty() || !error_.empty(); }
  bool Failed() const { return !error_.empty(); }
  const std::string& Error() const { return error_; }  // English, empty when none

 private:
  bool Fail(const char* why);
  std::string_view rest_;
  int depth_;
  std::string error_;
};

// An OID's content as dotted text ("1.2.840.113549.1.7.2"); empty when malformed.
std::string DerOidText(std::string_view content);

}  // namespace Lumo::Base
