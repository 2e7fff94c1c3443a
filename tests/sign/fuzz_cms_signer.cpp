// libFuzzer target for reading who signed from a CMS signature: any bytes either give
// signers or say why they cannot, on one line each, and never read outside the input
// (the sanitizers watch). A signature that reads is no longer read once cut short by a
// byte or followed by one more.
//
// Built with LUMO_FUZZ_REPLAY_MAIN it runs each file named on its command line once.
#include <cstdint>
#include <string>
#include <string_view>

#include "sign/cms_signer.h"
#include "tests/fuzz_support.h"

[[noreturn]] static void Fail(const char* what, std::string_view detail = {}) {
  FuzzSupport::Fail("fuzz_cms_signer", what, detail);
}

static void CheckOneLine(const std::string& text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
      Fail("control character in the text", text);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const Lumo::Sign::CmsSigners read = Lumo::Sign::ReadCmsSigners(bytes);
  if (read.error.empty() == read.signers.empty()) Fail("neither signers nor a reason", bytes);
  CheckOneLine(Lumo::Sign::SignersText(read));
  if (read.error.empty()) {
    // A readable signature loses its end marker or last byte: no longer readable.
    if (!Lumo::Sign::ReadCmsSigners(std::string_view(bytes).substr(0, size - 1)).error.size())
      Fail("a signature cut short reads as whole", bytes);
    if (Lumo::Sign::ReadCmsSigners(bytes + '\0').error.empty())
      Fail("bytes after the signature are not noticed", bytes);
  }
  return 0;
}

#include "tests/fuzz_support.h"
