#include "automation/ax_profile.h"

#include <optional>
#include <string>

#include "automation/error_info.h"
#include "base/encoding.h"
#include "base/errors.h"
#include "sign/document_input.h"
#include "sign/output_file.h"
#include "sign/profile.h"

namespace Lumo::Automation {

using Lumo::Base::AnsiToWide;
using Lumo::Base::ELumoDEZError;
using Lumo::Base::WideString;
using Lumo::Base::WideToAnsi;
using Lumo::Base::WideView;

TProfile::TProfile() = default;
TProfile::~TProfile() = default;

// Sign and Close before the first Open have no key profile to work on.
static Lumo::Sign::TProfile& RequireKeyProfile(const std::unique_ptr<Lumo::Sign::TProfile>& p) {
  if (!p) throw ELumoDEZError("Профиль не открыт: сначала вызовите Open");
  return *p;
}

int32_t TProfile::Sign(WideView xml, int32_t action, WideString& value) {
  value.clear();
  return Guarded(ProfileErrors, [&] {
    Lumo::Sign::ForgetVerifiedSigners();
    WideString result;
    RequireKeyProfile(keyProfile_).SignXml(xml, static_cast<uint8_t>(action), result);
    value = std::move(result);
  });
}

int32_t TProfile::SignUtf8(std::string_view xml, int32_t action,
                           const std::function<void(std::string_view)>& sink,
                           std::string* release) {
  return Guarded(ProfileErrors, [&] {
    Lumo::Sign::ForgetVerifiedSigners();
    RequireKeyProfile(keyProfile_).SignXmlUtf8(xml, static_cast<uint8_t>(action), sink, release);
  });
}

int32_t TProfile::SignFile(const Lumo::Base::AnsiString& inputFileName,
                           const Lumo::Base::AnsiString& outputFileName, int32_t action) {
  std::string bytes, converted;
  std::string_view text;
  int32_t hr = Guarded(ProfileErrors, [&] {
    Lumo::Sign::ForgetVerifiedSigners();
    text = Lumo::Sign::DocumentFileText(inputFileName, bytes, converted);
  });
  if (hr != 0) return hr;
  // The output file is made with the first piece of the result (never for a call that
  // fails before any) and takes the place of the old one only at its commit.
  std::optional<Lumo::Sign::OutputFile> file;
  hr = SignUtf8(text, action, [&](std::string_view piece) {
    if (!file) file.emplace(outputFileName);
    file->Write(piece);
  });
  if (hr != 0) return hr;
  return Guarded(ProfileErrors, [&] {
    if (!file) file.emplace(outputFileName);
    file->Commit();
  });
}

int32_t TProfile::Open() {
  return Guarded(ProfileErrors, [&] {
    // Created once per object: a later change of Name does not reach it.
    if (!keyProfile_) keyProfile_ = std::make_unique<Lumo::Sign::TProfile>(nullptr, name_);
    keyProfile_->Keyload = keyload_;
    keyProfile_->TestMode = testMode_;
    keyProfile_->Open();
  });
}

int32_t TProfile::Close() {
  return Guarded(ProfileErrors, [&] { RequireKeyProfile(keyProfile_).Close(); });
}

int32_t TProfile::get_Name(WideString& value) const {
  value = AnsiToWide(name_);
  return 0;
}

int32_t TProfile::put_Name(WideView value) {
  name_ = WideToAnsi(value);
  return 0;
}

int32_t TProfile::get_TestMode(int16_t& value) const {
  value = ToVariantBool(testMode_);
  return 0;
}

int32_t TProfile::put_TestMode(int16_t value) {
  testMode_ = value != 0;
  if (keyProfile_) keyProfile_->TestMode = testMode_;
  return 0;
}

int32_t TProfile::get_Keyload(int32_t& value) const {
  value = keyload_;
  return 0;
}

int32_t TProfile::put_Keyload(int32_t value) {
  keyload_ = static_cast<uint8_t>(value);
  return 0;
}

}  // namespace Lumo::Automation
