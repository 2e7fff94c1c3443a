// Base64 with the standard alphabet and "=" padding, never broken into lines.
// Decoding is lenient in the exchange's way and never fails; see base64.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/stream.h"
#include "base/types.h"

namespace Lumo::Base {

AnsiString EncodeBase64(std::string_view bytes);
// The number of characters EncodeBase64 gives for `count` bytes.
constexpr size_t Base64Length(size_t count) noexcept { return (count + 2) / 3 * 4; }
// The same characters written as UTF-16 units at out (room for Base64Length units).
void EncodeBase64To(std::string_view bytes, char16_t* out);
// The same characters written at out (room for Base64Length bytes).
void EncodeBase64To(std::string_view bytes, char* out);
// One to three bytes give four characters (with pads for fewer than three).
AnsiString EncodeBase64Group(const uint8_t* bytes, size_t count);
// The length of the run of Base64 text (alphabet and "=" characters) the text starts with.
size_t Base64TextLength(std::string_view text) noexcept;
size_t Base64TextLength(WideView text) noexcept;
ByteString DecodeBase64(std::string_view text);
// DecodeBase64(text) appended to out. Text that is cut after a multiple of four
// characters, without white space, decodes piece by piece to the bytes of the whole.
void DecodeBase64Append(std::string_view text, ByteString& out);
// Writes the decoded bytes at the stream's position and leaves it after the last one.
void DecodeBase64ToStream(std::string_view text, TMemoryStream& stream);
// DecodeBase64(text) made in the text's own buffer (the decoder never writes ahead of
// what it has read), so that a large value is never held twice.
ByteString DecodeBase64InPlace(AnsiString text);

}  // namespace Lumo::Base
