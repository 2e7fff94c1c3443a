// The C API: a thin shell over the two automation objects. Statuses and error
// information come from the objects' own error conversion; this file only moves text
// between UTF-8 and wide form and guards against null arguments.
#include "capi/lumodez.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "automation/ax_profile.h"
#include "automation/calls.h"
#include "automation/cbr_sign.h"
#include "automation/error_info.h"
#include "base/actions.h"
#include "base/encoding.h"
#include "base/errors.h"
#include "base/file_name.h"
#include "base/version.h"

using Lumo::Automation::ClearErrorInfo;
using Lumo::Automation::DEZSignErrors;
using Lumo::Automation::ErrorKind;
using Lumo::Automation::Guarded;
using Lumo::Automation::ProfileErrors;
using Lumo::Base::WideString;

struct lumodez_sign {
  Lumo::Automation::TCBRSign object;
};

struct lumodez_profile {
  Lumo::Automation::TProfile object;
};

static_assert(LUMODEZ_ERROR_LIBRARY == static_cast<int>(ErrorKind::Library) &&
              LUMODEZ_ERROR_XML == static_cast<int>(ErrorKind::XmlParser) &&
              LUMODEZ_ERROR_PROVIDER == static_cast<int>(ErrorKind::Provider) &&
              LUMODEZ_ERROR_PLATFORM == static_cast<int>(ErrorKind::Platform));

using Lumo::Automation::VerdictCode;
static_assert(LUMODEZ_VERDICT_OK == static_cast<int>(VerdictCode::Ok) &&
              LUMODEZ_VERDICT_FAILED == static_cast<int>(VerdictCode::Failed) &&
              LUMODEZ_VERDICT_UNSIGNED_CONTENT == static_cast<int>(VerdictCode::UnsignedContent) &&
              LUMODEZ_VERDICT_DUPLICATE == static_cast<int>(VerdictCode::Duplicate) &&
              LUMODEZ_VERDICT_CANNOT_REBUILD == static_cast<int>(VerdictCode::CannotRebuild) &&
              LUMODEZ_VERDICT_NO_SIGNATURE == static_cast<int>(VerdictCode::NoSignature) &&
              LUMODEZ_VERDICT_NOT_CHECKED == static_cast<int>(VerdictCode::NotChecked) &&
              LUMODEZ_VERDICT_OK_UNSIGNED_ALLOWED ==
                  static_cast<int>(VerdictCode::OkUnsignedContentAllowed));
static_assert((LUMODEZ_CHECK_ALLOW_UNSIGNED & 0xFF) == 0, "apart from the action codes");
// Every action has its LUMODEZ_ constant, with the table's code.
#define LUMO_C_ACTION_MATCHES(name, cName, code) \
  static_assert(static_cast<int>(LUMODEZ_##cName) == Lumo::Base::sa##name, "LUMODEZ_" #cName);
LUMO_ACTIONS(LUMO_C_ACTION_MATCHES)
#undef LUMO_C_ACTION_MATCHES

namespace {

// UTF-8 copies of the last error, per thread, so the returned pointers stay valid
// until the thread's next call.
struct LastErrorText {
  std::string description, source, guid, function;
  int32_t kind = 0, code = 0;
  int32_t refused = 0;
  uint32_t providerStatus = 0;
};
thread_local LastErrorText t_errorText;

void RefreshErrorText() {
  const Lumo::Automation::ErrorInfo* info = Lumo::Automation::LastErrorInfo();
  if (!info) {
    t_errorText = LastErrorText{};
    return;
  }
  t_errorText.description = Lumo::Base::Utf8FromWide(info->description);
  t_errorText.source = Lumo::Base::Utf8FromWide(info->source);
  t_errorText.guid = Lumo::Automation::GuidToString(info->guid);
  t_errorText.function = info->functionName;
  t_errorText.kind = static_cast<int32_t>(info->kind);
  t_errorText.code = info->xmlErrorCode;
  t_errorText.refused = info->refused ? 1 : 0;
  t_errorText.providerStatus = info->providerStatus;
}

int32_t Finish(int32_t status) {
  RefreshErrorText();
  return status;
}

// A caller error found before the object is reached: reported like any failure.
int32_t Fail(const Lumo::Automation::ErrorSource& source, const std::string& message,
             int32_t status = Lumo::Base::kE_POINTER) {
  return Finish(Guarded(source, [&] { throw Lumo::Base::EPlatformError(message, status); }));
}

// Bytes that are not UTF-8 are the caller's error, named with their offset: repaired
// with U+FFFD they would be signed, or name another file.
void RequireUtf8(std::string_view bytes, const char* argument) {
  const size_t bad = Lumo::Base::InvalidUtf8Offset(bytes);
  if (bad != std::string_view::npos)
    throw Lumo::Base::EPlatformError(
        std::string("Invalid UTF-8 in ") + argument + " at byte offset " + std::to_string(bad),
        Lumo::Base::kE_INVALIDARG);
}

// A UTF-8 argument as wide text.
WideString Wide(const char* text, const char* argument) {
  if (!text) return WideString();
  const std::string_view bytes(text);
  RequireUtf8(bytes, argument);
  return Lumo::Base::WideFromUtf8(bytes);
}

// The result handed out as UTF-8; the wide text is let go before the copy is made.
char* CopyOut(WideString&& text) {
  std::string utf8 = Lumo::Base::Utf8FromWide(text);
  WideString().swap(text);
  char* out = static_cast<char*>(std::malloc(utf8.size() + 1));
  if (!out) throw std::bad_alloc();
  std::memcpy(out, utf8.c_str(), utf8.size() + 1);
  return out;
}

// A result gathered straight into the buffer handed out (lumodez_free releases it), so
// that it is never held twice.
//
// The buffer is taken at the start of the call, at about the input's size: a large block
// taken then is a mapping of its own that later growth moves without copying and whose
// untouched part costs nothing. Taken only once the call's own large buffers are freed,
// the allocator would place it in its heap and copy it out again as it grows, and the
// heap part it left would stay resident until the process ends.
class OutBuffer {
 public:
  // Best effort: where the room cannot be had now, growth asks again (and fails there).
  explicit OutBuffer(size_t expected) noexcept {
    const size_t capacity = expected + expected / 8 + 1;
    if (capacity <= expected) return;
    data_ = static_cast<char*>(std::malloc(capacity));
    if (data_) capacity_ = capacity;
  }
  ~OutBuffer() { std::free(data_); }
  OutBuffer(const OutBuffer&) = delete;
  OutBuffer& operator=(const OutBuffer&) = delete;

  void Append(std::string_view piece) {
    if (capacity_ - size_ <= piece.size()) Grow(size_ + piece.size() + 1);
    std::memcpy(data_ + size_, piece.data(), piece.size());
    size_ += piece.size();
  }
  // The text, zero-terminated, in a block of its own size; the buffer is empty after.
  char* Release() {
    if (capacity_ == size_) Grow(size_ + 1);
    data_[size_] = '\0';
    char* out = static_cast<char*>(std::realloc(data_, size_ + 1));
    if (!out) out = data_;  // a block that cannot shrink is still the whole text
    data_ = nullptr;
    size_ = capacity_ = 0;
    return out;
  }

 private:
  void Grow(size_t need) {
    size_t capacity = capacity_ < 65536 ? 65536 : capacity_;
    while (capacity < need) capacity *= 2;
    char* grown = static_cast<char*>(std::realloc(data_, capacity));
    if (!grown) throw std::bad_alloc();
    data_ = grown;
    capacity_ = capacity;
  }

  char* data_ = nullptr;
  size_t size_ = 0, capacity_ = 0;
};

// Action codes travel as their low 8 bits; a code whose low bits name no action (or one
// the file entry does not take) would give the document back unsigned, so it is refused.
bool RefusedAction(const Lumo::Automation::ErrorSource& source, int32_t action, bool fileEntry,
                   int32_t& status) {
  const Lumo::Base::ActionRow* row = Lumo::Base::FindAction(action);
  const bool textOnly = row != nullptr && row->input == Lumo::Base::ActionInput::Base64Text;
  if (row != nullptr && !(fileEntry && textOnly)) return false;
  status = Fail(source,
                row != nullptr
                    ? "Action " + std::to_string(row->code) + " (" + Lumo::Base::ActionWords(*row) +
                          ") takes Base64 text: use lumodez_sign_xml"
                    : "Unknown action code " + std::to_string(action) +
                          " (its low 8 bits: " + Lumo::Base::ActionCodeList(", ", true) + ")",
                Lumo::Base::kE_INVALIDARG);
  return true;
}

constexpr int32_t kCheckFlags =
    LUMODEZ_CHECK_CHILDS | LUMODEZ_CHECK_TEST_MODE | LUMODEZ_CHECK_ALLOW_UNSIGNED;

// A report and everything its verdicts point to, released as one; the fields callers
// reach through accessors live here, beyond the public layout.
struct ReportBlock : lumodez_signature_report {
  std::vector<std::string> elements, reasons;
  std::vector<lumodez_signature_verdict> entries;
  std::vector<Lumo::Automation::SignatureVerdict> full;
  std::string notCovered;
};

const ReportBlock* BlockOf(const lumodez_signature_report* report) {
  return static_cast<const ReportBlock*>(report);
}

const Lumo::Automation::SignatureVerdict* VerdictOf(const lumodez_signature_report* report,
                                                    size_t i) {
  return report && i < report->count ? &BlockOf(report)->full[i] : nullptr;
}

// The report of the verdicts a check handed over, laid out as the header has it.
lumodez_signature_report* MakeReport(Lumo::Automation::SignatureCheck&& check) {
  auto block = std::make_unique<ReportBlock>();
  block->full = std::move(check.verdicts);
  block->notCovered = std::move(check.notCovered);
  for (const auto& v : block->full) {
    block->elements.push_back(Lumo::Base::Utf8FromWide(v.element));
    block->reasons.push_back(v.reason);
  }
  for (size_t i = 0; i < block->full.size(); ++i)
    block->entries.push_back({block->full[i].index, block->elements[i].c_str(),
                              block->full[i].verified ? 1 : 0, block->reasons[i].c_str()});
  block->count = block->entries.size();
  block->verdicts = block->entries.data();
  return block.release();
}

// Checks the document through call (the text or the file entry); the report is handed
// out whenever there are verdicts, and a signature not accepted is the call's error.
template <class Call>
int32_t CheckSignature(const char* profile, int32_t flags, lumodez_signature_report** report,
                       Call call) {
  if (flags & ~kCheckFlags) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%X", static_cast<unsigned>(flags));
    return Fail(DEZSignErrors,
                std::string("Unknown check flags ") + hex +
                    " (only LUMODEZ_CHECK_ values are flags; action codes are not)",
                Lumo::Base::kE_INVALIDARG);
  }
  Lumo::Automation::CheckRequest request;
  request.testMode = (flags & LUMODEZ_CHECK_TEST_MODE) != 0;
  request.childs = (flags & LUMODEZ_CHECK_CHILDS) != 0;
  request.allowUnsignedContent = (flags & LUMODEZ_CHECK_ALLOW_UNSIGNED) != 0;
  int32_t hr = Guarded(DEZSignErrors,
                       [&] { request.profile = Lumo::Base::WideToAnsi(Wide(profile, "profile")); });
  if (hr != 0) return Finish(hr);
  std::optional<Lumo::Automation::SignatureCheck> check;
  hr = call(request, check);
  if (check) {
    // Made outside a guard, which would clear the error information of a refusal.
    try {
      *report = MakeReport(std::move(*check));
    } catch (...) {
      const std::exception_ptr failure = std::current_exception();
      return Finish(Guarded(DEZSignErrors, [&] { std::rethrow_exception(failure); }));
    }
  }
  return Finish(hr);
}

// Signer k of a list of signers, or null.
const Lumo::Automation::CmsSigner* SignerOf(const std::optional<Lumo::Automation::CmsSigners>& read,
                                            size_t k) {
  return read && k < read->signers.size() ? &read->signers[k] : nullptr;
}

// A text field of signer k, "" where there is none.
const char* SignerText(const std::optional<Lumo::Automation::CmsSigners>& read, size_t k,
                       std::string Lumo::Automation::CmsSigner::*field) {
  const Lumo::Automation::CmsSigner* signer = SignerOf(read, k);
  return signer ? (signer->*field).c_str() : "";
}

int32_t CertificateFound(const std::optional<Lumo::Automation::CmsSigners>& read, size_t k) {
  const Lumo::Automation::CmsSigner* signer = SignerOf(read, k);
  return signer && signer->certificateFound ? 1 : 0;
}

int32_t SignerCount(const std::optional<Lumo::Automation::CmsSigners>& read) {
  return read ? static_cast<int32_t>(read->signers.size()) : -1;
}

const std::optional<Lumo::Automation::CmsSigners> kNoSigners;

const std::optional<Lumo::Automation::CmsSigners>& VerdictSigners(
    const lumodez_signature_report* report, size_t i) {
  const Lumo::Automation::SignatureVerdict* v = VerdictOf(report, i);
  return v ? v->signers : kNoSigners;
}

}  // namespace

extern "C" {

const char* lumodez_version(void) { return Lumo::Base::LibraryVersion(); }

void lumodez_free(char* text) { std::free(text); }

const char* lumodez_last_error_description(void) { return t_errorText.description.c_str(); }
const char* lumodez_last_error_source(void) { return t_errorText.source.c_str(); }
const char* lumodez_last_error_guid(void) { return t_errorText.guid.c_str(); }
int32_t lumodez_last_error_kind(void) { return t_errorText.kind; }
int32_t lumodez_last_error_code(void) { return t_errorText.code; }
const char* lumodez_last_error_function(void) { return t_errorText.function.c_str(); }

int32_t lumodez_set_provider_library(const char* path) {
  return Finish(Lumo::Automation::SetProviderLibrary(path ? path : ""));
}

int32_t lumodez_canonical_text(const char* xml, int numbered, char** result) {
  if (result) *result = nullptr;
  if (!xml || !result) return Fail(DEZSignErrors, "Null argument");
  const std::string_view text(xml);
  int32_t hr = Guarded(DEZSignErrors, [&] { RequireUtf8(text, "xml"); });
  if (hr != 0) return Finish(hr);
  // As dezsign canon: the numbered form is exactly what the Root action signs.
  Lumo::Base::ByteString canonical;
  hr = Lumo::Automation::CanonicalTextUtf8(text, numbered != 0, canonical);
  if (hr == 0)
    hr = Guarded(DEZSignErrors, [&] {
      char* out = static_cast<char*>(std::malloc(canonical.size() + 1));
      if (!out) throw std::bad_alloc();
      std::memcpy(out, canonical.c_str(), canonical.size() + 1);
      *result = out;
    });
  return Finish(hr);
}

int32_t lumodez_sign_create(lumodez_sign** sign) {
  if (!sign) return Fail(DEZSignErrors, "Null argument");
  *sign = new (std::nothrow) lumodez_sign;
  if (!*sign) return Finish(Guarded(DEZSignErrors, [] { throw std::bad_alloc(); }));
  ClearErrorInfo();
  return Finish(0);
}

void lumodez_sign_release(lumodez_sign* sign) { delete sign; }

int32_t lumodez_sign_get_test_mode(const lumodez_sign* sign, int* value) {
  if (!sign || !value) return Fail(DEZSignErrors, "Null argument");
  ClearErrorInfo();
  int16_t v = 0;
  int32_t hr = sign->object.get_TestMode(v);
  *value = v != 0;
  return Finish(hr);
}

int32_t lumodez_sign_set_test_mode(lumodez_sign* sign, int value) {
  if (!sign) return Fail(DEZSignErrors, "Null argument");
  ClearErrorInfo();
  return Finish(sign->object.put_TestMode(value ? -1 : 0));
}

int32_t lumodez_sign_get_silent(const lumodez_sign* sign, int* value) {
  if (!sign || !value) return Fail(DEZSignErrors, "Null argument");
  ClearErrorInfo();
  int16_t v = 0;
  int32_t hr = sign->object.get_Silent(v);
  *value = v != 0;
  return Finish(hr);
}

int32_t lumodez_sign_set_silent(lumodez_sign* sign, int value) {
  if (!sign) return Fail(DEZSignErrors, "Null argument");
  ClearErrorInfo();
  return Finish(sign->object.put_Silent(value ? -1 : 0));
}

int32_t lumodez_sign_file(lumodez_sign* sign, const char* input_file, const char* output_file,
                          const char* profile, int32_t action) {
  Lumo::Automation::ForgetVerifiedSigners();
  if (!sign || !input_file || !output_file) return Fail(DEZSignErrors, "Null argument");
  if (int32_t refused = 0; RefusedAction(DEZSignErrors, action, true, refused)) return refused;
  // File names are bytes on POSIX: they reach the file system exactly as given, UTF-8 or not.
  WideString name;
  int32_t hr = Guarded(DEZSignErrors, [&] { name = Wide(profile, "profile"); });
  if (hr != 0) return Finish(hr);
  return Finish(sign->object.SignFile(Lumo::Base::WideFromFileName(input_file),
                                      Lumo::Base::WideFromFileName(output_file), name, action));
}

int32_t lumodez_sign_xml(lumodez_sign* sign, const char* input_xml, const char* profile,
                         int32_t action, char** result) {
  Lumo::Automation::ForgetVerifiedSigners();
  if (result) *result = nullptr;
  if (!sign || !input_xml || !result) return Fail(DEZSignErrors, "Null argument");
  if (int32_t refused = 0; RefusedAction(DEZSignErrors, action, false, refused)) return refused;
  const std::string_view xml(input_xml);
  WideString name;
  int32_t hr = Guarded(DEZSignErrors, [&] {
    RequireUtf8(xml, "input_xml");
    name = Wide(profile, "profile");
  });
  if (hr != 0) return Finish(hr);
  OutBuffer out(xml.size());
  hr = sign->object.SignXmlUtf8(xml, name, action,
                                [&out](std::string_view piece) { out.Append(piece); });
  if (hr == 0) hr = Guarded(DEZSignErrors, [&] { *result = out.Release(); });
  return Finish(hr);
}

int32_t lumodez_profile_create(lumodez_profile** profile) {
  if (!profile) return Fail(ProfileErrors, "Null argument");
  *profile = new (std::nothrow) lumodez_profile;
  if (!*profile) return Finish(Guarded(ProfileErrors, [] { throw std::bad_alloc(); }));
  ClearErrorInfo();
  return Finish(0);
}

void lumodez_profile_release(lumodez_profile* profile) { delete profile; }

int32_t lumodez_profile_get_name(const lumodez_profile* profile, char** name) {
  if (name) *name = nullptr;
  if (!profile || !name) return Fail(ProfileErrors, "Null argument");
  return Finish(Guarded(ProfileErrors, [&] {
    WideString value;
    profile->object.get_Name(value);
    *name = CopyOut(std::move(value));
  }));
}

int32_t lumodez_profile_set_name(lumodez_profile* profile, const char* name) {
  if (!profile) return Fail(ProfileErrors, "Null argument");
  if (!name)
    return Fail(ProfileErrors, "Null argument: the profile name (the name is left as it was)");
  WideString wide;
  int32_t hr = Guarded(ProfileErrors, [&] { wide = Wide(name, "name"); });
  if (hr != 0) return Finish(hr);
  return Finish(profile->object.put_Name(wide));
}

int32_t lumodez_profile_get_test_mode(const lumodez_profile* profile, int* value) {
  if (!profile || !value) return Fail(ProfileErrors, "Null argument");
  ClearErrorInfo();
  int16_t v = 0;
  int32_t hr = profile->object.get_TestMode(v);
  *value = v != 0;
  return Finish(hr);
}

int32_t lumodez_profile_set_test_mode(lumodez_profile* profile, int value) {
  if (!profile) return Fail(ProfileErrors, "Null argument");
  ClearErrorInfo();
  return Finish(profile->object.put_TestMode(value ? -1 : 0));
}

int32_t lumodez_profile_get_keyload(const lumodez_profile* profile, int32_t* value) {
  if (!profile || !value) return Fail(ProfileErrors, "Null argument");
  ClearErrorInfo();
  return Finish(profile->object.get_Keyload(*value));
}

int32_t lumodez_profile_set_keyload(lumodez_profile* profile, int32_t value) {
  if (!profile) return Fail(ProfileErrors, "Null argument");
  // The automation object keeps any value's low 8 bits, so 258 would silently mean Loud;
  // C callers get told instead.
  if (value != LUMODEZ_KEYLOAD_DEFAULT && value != LUMODEZ_KEYLOAD_SILENT &&
      value != LUMODEZ_KEYLOAD_LOUD) {
    return Fail(ProfileErrors,
                "Unknown key-load mode " + std::to_string(value) +
                    " (0 default, 1 silent, 2 loud); the mode is left as it was",
                Lumo::Base::kE_INVALIDARG);
  }
  ClearErrorInfo();
  return Finish(profile->object.put_Keyload(value));
}

int32_t lumodez_profile_open(lumodez_profile* profile) {
  if (!profile) return Fail(ProfileErrors, "Null argument");
  return Finish(profile->object.Open());
}

int32_t lumodez_profile_close(lumodez_profile* profile) {
  if (!profile) return Fail(ProfileErrors, "Null argument");
  return Finish(profile->object.Close());
}

int32_t lumodez_profile_sign(lumodez_profile* profile, const char* xml, int32_t action,
                             char** result) {
  Lumo::Automation::ForgetVerifiedSigners();
  if (result) *result = nullptr;
  if (!profile || !xml || !result) return Fail(ProfileErrors, "Null argument");
  if (int32_t refused = 0; RefusedAction(ProfileErrors, action, false, refused)) return refused;
  const std::string_view text(xml);
  int32_t hr = Guarded(ProfileErrors, [&] { RequireUtf8(text, "xml"); });
  if (hr != 0) return Finish(hr);
  OutBuffer out(text.size());
  hr =
      profile->object.SignUtf8(text, action, [&out](std::string_view piece) { out.Append(piece); });
  if (hr == 0) hr = Guarded(ProfileErrors, [&] { *result = out.Release(); });
  return Finish(hr);
}

int32_t lumodez_profile_sign_file(lumodez_profile* profile, const char* input_file,
                                  const char* output_file, int32_t action) {
  Lumo::Automation::ForgetVerifiedSigners();
  if (!profile || !input_file || !output_file) return Fail(ProfileErrors, "Null argument");
  if (int32_t refused = 0; RefusedAction(ProfileErrors, action, true, refused)) return refused;
  return Finish(profile->object.SignFile(input_file, output_file, action));
}

int32_t lumodez_check_signature_xml(const char* xml, const char* profile, int32_t flags,
                                    lumodez_signature_report** report) {
  if (report) *report = nullptr;
  if (!xml || !report) return Fail(DEZSignErrors, "Null argument");
  return CheckSignature(profile, flags, report, [&](const auto& request, auto& check) {
    const std::string_view text(xml);
    int32_t hr = Guarded(DEZSignErrors, [&] { RequireUtf8(text, "xml"); });
    return hr != 0 ? hr : Lumo::Automation::CheckSignatureUtf8(text, request, check);
  });
}

int32_t lumodez_check_signature_file(const char* file, const char* profile, int32_t flags,
                                     lumodez_signature_report** report) {
  if (report) *report = nullptr;
  if (!file || !report) return Fail(DEZSignErrors, "Null argument");
  return CheckSignature(profile, flags, report, [&](const auto& request, auto& check) {
    return Lumo::Automation::CheckSignatureFile(file, request, check);
  });
}

void lumodez_signature_report_free(lumodez_signature_report* report) {
  delete static_cast<ReportBlock*>(report);
}

int32_t lumodez_signature_verdict_code(const lumodez_signature_report* report, size_t i) {
  const Lumo::Automation::SignatureVerdict* v = VerdictOf(report, i);
  return v ? static_cast<int32_t>(v->code) : -1;
}

uint32_t lumodez_signature_verdict_provider_status(const lumodez_signature_report* report,
                                                   size_t i) {
  const Lumo::Automation::SignatureVerdict* v = VerdictOf(report, i);
  return v ? v->providerStatus : 0;
}

const char* lumodez_signature_verdict_warning(const lumodez_signature_report* report, size_t i) {
  const Lumo::Automation::SignatureVerdict* v = VerdictOf(report, i);
  return v ? v->warning.c_str() : "";
}

int32_t lumodez_signature_verdict_duplicate_of(const lumodez_signature_report* report, size_t i) {
  const Lumo::Automation::SignatureVerdict* v = VerdictOf(report, i);
  return v ? v->duplicateOf : 0;
}

const char* lumodez_signature_report_not_covered(const lumodez_signature_report* report) {
  return report ? BlockOf(report)->notCovered.c_str() : "";
}

int32_t lumodez_signature_verdict_signer_count(const lumodez_signature_report* report, size_t i) {
  return VerdictOf(report, i) ? SignerCount(VerdictSigners(report, i)) : -1;
}

const char* lumodez_signature_verdict_signer_error(const lumodez_signature_report* report,
                                                   size_t i) {
  const std::optional<Lumo::Automation::CmsSigners>& read = VerdictSigners(report, i);
  return read ? read->error.c_str() : "";
}

const char* lumodez_signature_verdict_signer_common_name(const lumodez_signature_report* report,
                                                         size_t i, size_t k) {
  return SignerText(VerdictSigners(report, i), k, &Lumo::Automation::CmsSigner::commonName);
}

const char* lumodez_signature_verdict_signer_organization(const lumodez_signature_report* report,
                                                          size_t i, size_t k) {
  return SignerText(VerdictSigners(report, i), k, &Lumo::Automation::CmsSigner::organization);
}

const char* lumodez_signature_verdict_signer_serial(const lumodez_signature_report* report,
                                                    size_t i, size_t k) {
  return SignerText(VerdictSigners(report, i), k, &Lumo::Automation::CmsSigner::serial);
}

const char* lumodez_signature_verdict_signer_issuer(const lumodez_signature_report* report,
                                                    size_t i, size_t k) {
  return SignerText(VerdictSigners(report, i), k, &Lumo::Automation::CmsSigner::issuer);
}

const char* lumodez_signature_verdict_signing_time(const lumodez_signature_report* report, size_t i,
                                                   size_t k) {
  return SignerText(VerdictSigners(report, i), k, &Lumo::Automation::CmsSigner::signingTime);
}

int32_t lumodez_signature_verdict_signer_certificate_found(const lumodez_signature_report* report,
                                                           size_t i, size_t k) {
  return CertificateFound(VerdictSigners(report, i), k);
}

const char* lumodez_last_verified_signer_common_name(size_t k) {
  return SignerText(Lumo::Automation::LastVerifiedSigners(), k,
                    &Lumo::Automation::CmsSigner::commonName);
}

const char* lumodez_last_verified_signer_organization(size_t k) {
  return SignerText(Lumo::Automation::LastVerifiedSigners(), k,
                    &Lumo::Automation::CmsSigner::organization);
}

const char* lumodez_last_verified_signer_serial(size_t k) {
  return SignerText(Lumo::Automation::LastVerifiedSigners(), k,
                    &Lumo::Automation::CmsSigner::serial);
}

const char* lumodez_last_verified_signer_issuer(size_t k) {
  return SignerText(Lumo::Automation::LastVerifiedSigners(), k,
                    &Lumo::Automation::CmsSigner::issuer);
}

const char* lumodez_last_verified_signing_time(size_t k) {
  return SignerText(Lumo::Automation::LastVerifiedSigners(), k,
                    &Lumo::Automation::CmsSigner::signingTime);
}

int32_t lumodez_last_verified_signer_certificate_found(size_t k) {
  return CertificateFound(Lumo::Automation::LastVerifiedSigners(), k);
}

int32_t lumodez_last_verified_signer_count(void) {
  return SignerCount(Lumo::Automation::LastVerifiedSigners());
}

const char* lumodez_last_verified_signer_error(void) {
  const std::optional<Lumo::Automation::CmsSigners>& read = Lumo::Automation::LastVerifiedSigners();
  return read ? read->error.c_str() : "";
}

int32_t lumodez_last_error_refused(void) { return t_errorText.refused; }
uint32_t lumodez_last_error_provider_status(void) { return t_errorText.providerStatus; }

}  // extern "C"
