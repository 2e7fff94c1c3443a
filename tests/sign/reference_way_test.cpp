// The switch that bypasses every canonical-form shortcut (LUMO_CANON_REFERENCE) changes
// no output: every action, in test mode, on the samples and on the shapes the shortcuts
// have to follow or give up on, gives the same bytes (or the same error) both ways.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/errors.h"
#include "canon/canonical.h"
#include "canon/reference.h"
#include "dom/xml_helpers.h"
#include "sign/profile.h"
#include "tests/sign/test_support.h"

using namespace SignTest;
using Lumo::Canon::PrefixScheme;

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
  for (uint8_t action : std::initializer_list<uint8_t>{saVerify, saExtract}) {
    record([&] {
      profile.SignFile(envelope, signedFile, action);
      return ReadFile(signedFile);
    });
  }
  auto load = [&file] {
    Lumo::Dom::Node root = Lumo::Dom::LoadXmlFile(file);
    if (!root) throw Lumo::Base::ELumoDEZError("no document element");
    return root;
  };
  record([&] { return Lumo::Canon::CanonicalText(load(), PrefixScheme::Fixed); });
  record([&] { return Lumo::Canon::RootFormOfDocument(load(), true).signedBytes; });
  return out;
}

TEST(ReferenceWay, EveryActionGivesTheSameBytesWithTheShortcutsBypassed) {
  const std::vector<std::string> files = Inputs();
  ASSERT_GE(files.size(), 15u);
  TempDir dir;
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    Lumo::Canon::Reference::Force(false);
    const std::vector<std::string> fast = Outputs(file, dir);
    Lumo::Canon::Reference::Force(true);
    const std::vector<std::string> reference = Outputs(file, dir);
    Lumo::Canon::Reference::Force(false);
    ASSERT_EQ(fast.size(), reference.size());
    for (size_t i = 0; i < fast.size(); ++i) EXPECT_EQ(fast[i], reference[i]) << "output " << i;
  }
}

}  // namespace
