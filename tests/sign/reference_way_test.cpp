// The switch that bypasses every canonical-form shortcut (LUMO_CANON_REFERENCE) changes
// no output: every action, in test mode, on the samples and on the shapes the shortcuts
// have to follow or give up on, gives the same bytes (or the same error) both ways; and
// with it on no shortcut answers at all (Verify, Extract and Base64Envelope included: the
// envelope is then read and written through its tree).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/errors.h"
#include "canon/canonical.h"
#include "canon/reference.h"
#include "canon/shortcut.h"
#include "dom/xml_helpers.h"
#include "sign/profile.h"
#include "sign/signer.h"
#include "tests/sign/test_support.h"

using namespace SignTest;
using Lumo::Canon::PrefixScheme;
using Lumo::Canon::Shortcut;
namespace Shortcuts = Lumo::Canon::Shortcuts;

namespace {

std::vector<std::string> Inputs() {
  std::vector<std::string> files;
  for (const char* dir : {"/samples", "/tests/canon/fuzz_corpus", "/tests/canon/data"}) {
    for (const auto& e : fs::directory_iterator(std::string(LUMO_SOURCE_DIR) + dir))
      if (e.path().extension() == ".xml") files.push_back(e.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// What each action gives for the file: the result file's bytes or the error's message, the
// envelope verified and extracted again, and both canonical texts dezsign canon prints.
std::vector<std::string> Outputs(const std::string& file, const TempDir& dir) {
  std::vector<std::string> out;
  auto record = [&out](const std::function<std::string()>& take) {
    try {
      out.push_back(take());
    } catch (const Lumo::Base::ELumoException& e) {
      out.push_back(std::string("error: ") + e.what());
    }
  };
  Lumo::Sign::TProfile profile(nullptr, "test");
  profile.TestMode = true;
  const std::string signedFile = dir.File("out.xml");
  const std::string envelope = dir.File("envelope.xml");
  using namespace Lumo::Base;
  for (uint8_t action : std::initializer_list<uint8_t>{saRoot, saChilds, saEnvelope, 0}) {
    record([&] {
      profile.SignFile(file, action == saEnvelope ? envelope : signedFile, action);
      return ReadFile(action == saEnvelope ? envelope : signedFile);
    });
  }
  // The envelope verified and extracted as a file, as UTF-8 text and as wide text, and
  // extracted by the signer (no profile); its Base64 object put in a Base64 envelope.
  const std::string envelopeText = ReadFile(envelope);
  auto utf8 = [](const std::function<void(const Lumo::Sign::TextSink&)>& run) {
    std::string out;
    run([&out](std::string_view piece) { out += piece; });
    return out;
  };
  for (uint8_t action : std::initializer_list<uint8_t>{saVerify, saExtract}) {
    record([&] {
      profile.SignFile(envelope, signedFile, action);
      return ReadFile(signedFile);
    });
    record([&] {
      return utf8([&](const auto& sink) { profile.SignXmlUtf8(envelopeText, action, sink); });
    });
    record([&] {
      WideString value;
      profile.SignXml(Lumo::Base::Utf8Decode(envelopeText), action, value);
      return Lumo::Base::Utf8Encode(value);
    });
  }
  Lumo::Sign::TCBRSigner signer(true);
  record([&] {
    signer.SignFile("test", envelope, signedFile, saExtract);
    return ReadFile(signedFile);
  });
  record([&] {
    return utf8(
        [&](const auto& sink) { signer.SignXmlUtf8(u"test", envelopeText, saExtract, sink); });
  });
  record([&] {
    const std::string base64 = Lumo::Base::EncodeBase64(envelopeText);
    return utf8([&](const auto& sink) { profile.SignXmlUtf8(base64, saBase64Envelope, sink); });
  });
  auto load = [&file] {
    Lumo::Dom::Node root = Lumo::Dom::LoadXmlFile(file);
    if (!root) throw Lumo::Base::ELumoDEZError("no document element");
    return root;
  };
  record([&] { return Lumo::Canon::CanonicalText(load(), PrefixScheme::Fixed); });
  record([&] { return Lumo::Canon::RootFormOfDocument(load(), true).signedBytes; });
  return out;
}

// How many answers each shortcut has given so far.
std::vector<uint64_t> Answers() {
  std::vector<uint64_t> answers;
  for (size_t i = 0; i < Shortcuts::kCount; ++i)
    answers.push_back(Shortcuts::Answers(static_cast<Shortcut>(i)));
  return answers;
}

TEST(ReferenceWay, EveryActionGivesTheSameBytesWithTheShortcutsBypassed) {
  const std::vector<std::string> files = Inputs();
  ASSERT_GE(files.size(), 15u);
  TempDir dir;
  const std::vector<uint64_t> start = Answers();
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    Shortcuts::ForceReference(false);
    const std::vector<std::string> fast = Outputs(file, dir);
    const std::vector<uint64_t> beforeReference = Answers();
    Shortcuts::ForceReference(true);
    const std::vector<std::string> reference = Outputs(file, dir);
    Shortcuts::ForceReference(false);
    EXPECT_EQ(Answers(), beforeReference) << "a shortcut answered with the switch on";
    ASSERT_EQ(fast.size(), reference.size());
    for (size_t i = 0; i < fast.size(); ++i) EXPECT_EQ(fast[i], reference[i]) << "output " << i;
  }
  // The fast runs took the envelope's shortcuts (so the runs above set them against the
  // long way), and the Root, Envelope and Childs ones.
  const std::vector<uint64_t> end = Answers();
  for (Shortcut s : {Shortcut::EnvelopeFile, Shortcut::EnvelopeText, Shortcut::ObjectAsParsed,
                     Shortcut::Base64Envelope, Shortcut::FixedByChildren, Shortcut::ResultMarkup,
                     Shortcut::EnvelopeData, Shortcut::ChildsResult}) {
    EXPECT_GT(end[static_cast<size_t>(s)], start[static_cast<size_t>(s)]) << Shortcuts::Name(s);
  }
}

}  // namespace
