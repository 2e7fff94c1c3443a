// Signer: the sorted list of owned key profiles and the two entry points of one call.
#include "sign/signer.h"

#include "base/base64.h"
#include "base/collation.h"
#include "base/encoding.h"
#include "base/errors.h"
#include "dom/xml_helpers.h"
#include "sign/envelope.h"
#include "sign/message.h"
#include "sign/output_file.h"

namespace Lumo::Sign {

using namespace Lumo::Base;
using namespace Lumo::Dom;

namespace {

constexpr const char* kFileOpenError = "Ошибка открытия XML файла ";
constexpr const char* kLoadError = "Ошибка загрузки XML";

}  // namespace

TCBRSigner::TCBRSigner(bool testMode) : TestMode(testMode) {}

TCBRSigner::~TCBRSigner() {
  while (!profiles_.empty()) {
    std::unique_ptr<TProfile> profile = std::move(profiles_.back().second);
    profiles_.pop_back();
    try {
      // What the profile's destructor does, but here a failure can be seen and dropped.
      if (profile && profile->OpenCount > 0) {
        profile->OpenCount = 1;
        profile->Close();
      }
    } catch (...) {
      // Swallowed: the remaining profiles are still released.
    }
    profile.reset();
  }
}

size_t TCBRSigner::Search(const AnsiString& name, bool& found) const {
  // Bisection over the sorted names.
  size_t lo = 0, hi = profiles_.size();
  found = false;
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    int c = CompareAnsiIgnoreCase(profiles_[mid].first, name);
    if (c < 0) {
      lo = mid + 1;
    } else {
      if (c == 0) found = true;
      hi = mid;
    }
  }
  return lo;
}

std::vector<AnsiString> TCBRSigner::ProfileNames() const {
  std::vector<AnsiString> names;
  names.reserve(profiles_.size());
  for (const auto& entry : profiles_) names.push_back(entry.first);
  return names;
}

TProfile* TCBRSigner::FindProfile(const AnsiString& name) const {
  bool found;
  size_t at = Search(name, found);
  return found ? profiles_[at].second.get() : nullptr;
}

TProfile* TCBRSigner::OpenProfile(const AnsiString& name) {
  bool found;
  size_t at = Search(name, found);
  if (!found) {
    auto created = std::make_unique<TProfile>(this, name);
    profiles_.emplace(profiles_.begin() + static_cast<std::ptrdiff_t>(at), name,
                      std::move(created));
  }
  TProfile* profile = profiles_[at].second.get();
  profile->Open();  // a failure leaves the new profile listed with count zero
  return profile;
}

void TCBRSigner::CloseProfile(const AnsiString& name) {
  bool found;
  size_t at = Search(name, found);
  if (!found) throw ELumoDEZError("Профиль \"" + InMessage(name) + "\" не найден");
  TProfile* profile = profiles_[at].second.get();
  profile->Close();
  if (profile->OpenCount == 0) {
    std::unique_ptr<TProfile> gone = std::move(profiles_[at].second);
    profiles_.erase(profiles_.begin() + static_cast<std::ptrdiff_t>(at));
  }
}

template <class Work>
void TCBRSigner::WithProfile(const AnsiString& name, Work work) {
  TProfile* profile = OpenProfile(name);
  try {
    work(*profile);
  } catch (...) {
    // The action's error is the one reported; a failing close on this path is dropped
    // (the profile then stays listed and is released by the destructor).
    try {
      CloseProfile(name);
    } catch (...) {
    }
    throw;
  }
  CloseProfile(name);
}

void TCBRSigner::SignFile(const AnsiString& profileName, const AnsiString& inputFileName,
                          const AnsiString& outputFileName, uint8_t action) {
  if (!ActionOf(action).needsKey) {
    // An envelope as this library writes it is read without its tree, and its document
    // written as it is parsed.
    Envelope::DecodedValues values;
    if (Envelope::ReadWrittenFile(inputFileName, false, values)) {
      if (!WriteCarriedFile(std::move(values.object), {}, outputFileName))
        throw ELumoDEZError(kLoadError);
      return;
    }
    ActionResult content;
    content.tree = ExtractFileContent(inputFileName);
    // No declaration, no byte-order mark; the markup is written as it is made, and the
    // file replaced only once all of it is out.
    OutputFile file(outputFileName);
    WriteStandardUtf8(content, [&file](std::string_view bytes) { file.Write(bytes); });
    file.Commit();
    return;
  }
  WithProfile(profileName,
              [&](TProfile& profile) { profile.SignFile(inputFileName, outputFileName, action); });
}

void TCBRSigner::SignXml(WideView profileName, WideView inputXml, uint8_t action,
                         WideString& value) {
  if (!ActionOf(action).needsKey) {
    value = ExtractXml(inputXml);
    return;
  }
  WithProfile(WideToAnsi(profileName),
              [&](TProfile& profile) { profile.SignXml(inputXml, action, value); });
}

void TCBRSigner::SignXmlUtf8(WideView profileName, std::string_view inputXml, uint8_t action,
                             const TextSink& sink, ByteString* release) {
  const bool keyless = !ActionOf(action).needsKey;
  Envelope::WrittenLayout layout;
  if (keyless && Envelope::ScanWritten(inputXml, layout)) {
    // The text goes before the content is parsed.
    ByteString object = Envelope::DecodeWrittenObject(inputXml, layout, release);
    if (!WriteCarriedContent(std::move(object), {}, sink)) throw ELumoDEZError(kLoadError);
    return;
  }
  if (keyless) {
    ActionResult content;
    content.tree = ExtractContent(inputXml, release);
    WriteStandardUtf8(content, sink);
    return;
  }
  WithProfile(WideToAnsi(profileName),
              [&](TProfile& profile) { profile.SignXmlUtf8(inputXml, action, sink, release); });
}

namespace {

// Decoded object content parsed; content without a root element is a load error.
Dom::Node CarriedContent(const ByteString& bytes) {
  Dom::Node content = Envelope::LoadContent(bytes);
  if (!content) throw ELumoDEZError(kLoadError);
  return content;
}

// The object content of an envelope text that ScanWritten accepted, decoded; the text
// goes first.
ByteString WrittenObject(ByteString text, const Envelope::WrittenLayout& layout) {
  return Envelope::DecodeWrittenObject(text, layout, &text);
}

// The document an envelope's Object child carries, or the root itself without one.
Dom::Node ObjectContent(Dom::Node root) {
  if (!root) throw ELumoDEZError(kLoadError);
  ByteString bytes;
  {
    Dom::Node object = Envelope::FindObject(root);
    if (!object) return root;
    bytes = Envelope::DecodeValue(object);
  }
  root = Dom::Node();  // the envelope goes before the content is parsed
  // Decoded content that parses but has no root element: nothing to return.
  return CarriedContent(bytes);
}

}  // namespace

Dom::Node TCBRSigner::ExtractFileContent(const AnsiString& inputFileName) {
  WideString xml;
  {
    Dom::Node root = LoadXmlFile(inputFileName);
    // A file that loads without error yet has no root element has no message of its
    // own: it is reported as a file that could not be opened.
    if (!root) throw ELumoDEZError(kFileOpenError + InMessage(inputFileName));
    xml = root.xml();
  }  // the file's document goes before its markup is read again
  return ExtractContent(xml);
}

Dom::Node TCBRSigner::ExtractContent(WideView xml) {
  Envelope::WrittenLayout layout;
  if (Envelope::ScanWritten(xml, layout))
    return CarriedContent(WrittenObject(Envelope::NarrowValues(xml, layout), layout));
  return ObjectContent(LoadXmlString(xml));
}

Dom::Node TCBRSigner::ExtractContent(std::string_view xml, ByteString* release) {
  auto read = [release] {
    if (release) ByteString().swap(*release);  // the text goes before the content is parsed
  };
  Dom::Node root = LoadXmlText(xml);
  read();
  return ObjectContent(std::move(root));
}

WideString TCBRSigner::ExtractXml(WideView xml) { return ExtractContent(xml).xml(); }

}  // namespace Lumo::Sign
