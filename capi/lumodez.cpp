// The C API: a thin shell over the two automation objects. Statuses and error
// information come from the objects' own error conversion; this file only moves text
// between UTF-8 and wide form and guards against null arguments.
#include "capi/lumodez.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "automation/ax_profile.h"
#include "automation/cbr_sign.h"
#include "automation/error_info.h"
#include "sign/profile.h"
#include "util/encoding.h"
#include "util/errors.h"
#include "util/version.h"
#include "util/xml_helpers.h"
#include "xml/canonical.h"

struct lumodez_sign {
  AXCBRSign::TCBRSign object;
};

struct lumodez_profile {
  AXProfile::TProfile object;
};

static_assert(LUMODEZ_ERROR_LIBRARY == static_cast<int>(AX::ErrorKind::Library) &&
              LUMODEZ_ERROR_XML == static_cast<int>(AX::ErrorKind::XmlParser) &&
              LUMODEZ_ERROR_PROVIDER == static_cast<int>(AX::ErrorKind::Provider) &&
              LUMODEZ_ERROR_PLATFORM == static_cast<int>(AX::ErrorKind::Platform));

namespace {

// UTF-8 copies of the last error, per thread, so the returned pointers stay valid
// until the thread's next call.
struct LastErrorText {
  std::string description, source, guid, function;
  int32_t kind = 0, code = 0;
};
thread_local LastErrorText t_errorText;

void RefreshErrorText() {
  const AX::ErrorInfo* info = AX::LastErrorInfo();
  if (!info) {
    t_errorText = LastErrorText{};
    return;
  }
  t_errorText.description = Lumo::Utf8FromWide(info->description);
  t_errorText.source = Lumo::Utf8FromWide(info->source);
  t_errorText.guid = AX::GuidToString(info->guid);
  t_errorText.function = info->functionName;
  t_errorText.kind = static_cast<int32_t>(info->kind);
  t_errorText.code = info->xmlErrorCode;
}

int32_t Finish(int32_t status) {
  RefreshErrorText();
  return status;
}

// A caller error found before the object is reached: reported like any failure.
int32_t Fail(const AX::ErrorSource& source, const char* message) {
  return Finish(AX::Guarded(source, [&] { throw Lumo::EPlatformError(message, Lumo::kE_POINTER); }));
}

Lumo::WideString Wide(const char* text) { return text ? Lumo::WideFromUtf8(text) : Lumo::WideString(); }

char* CopyOut(const Lumo::WideString& text) {
  std::string utf8 = Lumo::Utf8FromWide(text);
  char* out = static_cast<char*>(std::malloc(utf8.size() + 1));
  if (!out) throw std::bad_alloc();
  std::memcpy(out, utf8.c_str(), utf8.size() + 1);
  return out;
}

}  // namespace

extern "C" {

const char* lumodez_version(void) { return Lumo::LibraryVersion(); }

void lumodez_free(char* text) { std::free(text); }

const char* lumodez_last_error_description(void) { return t_errorText.description.c_str(); }
const char* lumodez_last_error_source(void) { return t_errorText.source.c_str(); }
const char* lumodez_last_error_guid(void) { return t_errorText.guid.c_str(); }
int32_t lumodez_last_error_kind(void) { return t_errorText.kind; }
int32_t lumodez_last_error_code(void) { return t_errorText.code; }
const char* lumodez_last_error_function(void) { return t_errorText.function.c_str(); }

int32_t lumodez_set_provider_library(const char* path) {
  return Finish(AX::Guarded(AX::DEZSignErrors,
                            [&] { DEZ::Sign::SetProviderLibrary(path ? path : ""); }));
}

int32_t lumodez_canonical_text(const char* xml, int numbered, char** result) {
  if (result) *result = nullptr;
  if (!xml || !result) return Fail(AX::DEZSignErrors, "Null argument");
  return Finish(AX::Guarded(AX::DEZSignErrors, [&] {
    // As dezsign canon: the numbered form is taken from the fixed form parsed again.
    Lumo::Dom::Node root = Lumo::LoadXmlString(Wide(xml));
    if (!root) throw Lumo::ELumoDEZError("The document has no document element");
    Lumo::ByteString text = DEZ::Xml::CanonicalText(root, false);
    if (numbered) text = DEZ::Xml::CanonicalText(Lumo::LoadXmlUtf8(text), true);
    char* out = static_cast<char*>(std::malloc(text.size() + 1));
    if (!out) throw std::bad_alloc();
    std::memcpy(out, text.c_str(), text.size() + 1);
    *result = out;
  }));
}

int32_t lumodez_sign_create(lumodez_sign** sign) {
  if (!sign) return Fail(AX::DEZSignErrors, "Null argument");
  *sign = new (std::nothrow) lumodez_sign;
  if (!*sign) return Finish(AX::Guarded(AX::DEZSignErrors, [] { throw std::bad_alloc(); }));
  AX::ClearErrorInfo();
  return Finish(0);
}

void lumodez_sign_release(lumodez_sign* sign) { delete sign; }

int32_t lumodez_sign_get_test_mode(const lumodez_sign* sign, int* value) {
  if (!sign || !value) return Fail(AX::DEZSignErrors, "Null argument");
  AX::ClearErrorInfo();
  int16_t v = 0;
  int32_t hr = sign->object.get_TestMode(v);
  *value = v != 0;
  return Finish(hr);
}

int32_t lumodez_sign_set_test_mode(lumodez_sign* sign, int value) {
  if (!sign) return Fail(AX::DEZSignErrors, "Null argument");
  AX::ClearErrorInfo();
  return Finish(sign->object.put_TestMode(value ? -1 : 0));
}

int32_t lumodez_sign_get_silent(const lumodez_sign* sign, int* value) {
  if (!sign || !value) return Fail(AX::DEZSignErrors, "Null argument");
  AX::ClearErrorInfo();
  int16_t v = 0;
  int32_t hr = sign->object.get_Silent(v);
  *value = v != 0;
  return Finish(hr);
}

int32_t lumodez_sign_set_silent(lumodez_sign* sign, int value) {
  if (!sign) return Fail(AX::DEZSignErrors, "Null argument");
  AX::ClearErrorInfo();
  return Finish(sign->object.put_Silent(value ? -1 : 0));
}

int32_t lumodez_sign_file(lumodez_sign* sign, const char* input_file, const char* output_file,
                          const char* profile, int32_t action) {
  if (!sign || !input_file || !output_file) return Fail(AX::DEZSignErrors, "Null argument");
  return Finish(sign->object.SignFile(Wide(input_file), Wide(output_file), Wide(profile), action));
}

int32_t lumodez_sign_xml(lumodez_sign* sign, const char* input_xml, const char* profile,
                         int32_t action, char** result) {
  if (result) *result = nullptr;
  if (!sign || !input_xml || !result) return Fail(AX::DEZSignErrors, "Null argument");
  Lumo::WideString value;
  int32_t hr = sign->object.SignXml(Wide(input_xml), Wide(profile), action, value);
  if (hr == 0) {
    hr = AX::Guarded(AX::DEZSignErrors, [&] { *result = CopyOut(value); });
  }
  return Finish(hr);
}

int32_t lumodez_profile_create(lumodez_profile** profile) {
  if (!profile) return Fail(AX::ProfileErrors, "Null argument");
  *profile = new (std::nothrow) lumodez_profile;
  if (!*profile) return Finish(AX::Guarded(AX::ProfileErrors, [] { throw std::bad_alloc(); }));
  AX::ClearErrorInfo();
  return Finish(0);
}

void lumodez_profile_release(lumodez_profile* profile) { delete profile; }

int32_t lumodez_profile_get_name(const lumodez_profile* profile, char** name) {
  if (name) *name = nullptr;
  if (!profile || !name) return Fail(AX::ProfileErrors, "Null argument");
  return Finish(AX::Guarded(AX::ProfileErrors, [&] {
    Lumo::WideString value;
    profile->object.get_Name(value);
    *name = CopyOut(value);
  }));
}

int32_t lumodez_profile_set_name(lumodez_profile* profile, const char* name) {
  if (!profile) return Fail(AX::ProfileErrors, "Null argument");
  AX::ClearErrorInfo();
  return Finish(profile->object.put_Name(Wide(name)));
}

int32_t lumodez_profile_get_test_mode(const lumodez_profile* profile, int* value) {
  if (!profile || !value) return Fail(AX::ProfileErrors, "Null argument");
  AX::ClearErrorInfo();
  int16_t v = 0;
  int32_t hr = profile->object.get_TestMode(v);
  *value = v != 0;
  return Finish(hr);
}

int32_t lumodez_profile_set_test_mode(lumodez_profile* profile, int value) {
  if (!profile) return Fail(AX::ProfileErrors, "Null argument");
  AX::ClearErrorInfo();
  return Finish(profile->object.put_TestMode(value ? -1 : 0));
}

int32_t lumodez_profile_get_keyload(const lumodez_profile* profile, int32_t* value) {
  if (!profile || !value) return Fail(AX::ProfileErrors, "Null argument");
  AX::ClearErrorInfo();
  return Finish(profile->object.get_Keyload(*value));
}

int32_t lumodez_profile_set_keyload(lumodez_profile* profile, int32_t value) {
  if (!profile) return Fail(AX::ProfileErrors, "Null argument");
  AX::ClearErrorInfo();
  return Finish(profile->object.put_Keyload(value));
}

int32_t lumodez_profile_open(lumodez_profile* profile) {
  if (!profile) return Fail(AX::ProfileErrors, "Null argument");
  return Finish(profile->object.Open());
}

int32_t lumodez_profile_close(lumodez_profile* profile) {
  if (!profile) return Fail(AX::ProfileErrors, "Null argument");
  return Finish(profile->object.Close());
}

int32_t lumodez_profile_sign(lumodez_profile* profile, const char* xml, int32_t action,
                             char** result) {
  if (result) *result = nullptr;
  if (!profile || !xml || !result) return Fail(AX::ProfileErrors, "Null argument");
  Lumo::WideString value;
  int32_t hr = profile->object.Sign(Wide(xml), action, value);
  if (hr == 0) {
    hr = AX::Guarded(AX::ProfileErrors, [&] { *result = CopyOut(value); });
  }
  return Finish(hr);
}

}  // extern "C"
