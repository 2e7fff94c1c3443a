// The UTF-8 text entries of both objects against their wide ones: for every input and
// action code the same result bytes, or the same failure (status, message, kind, code).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "automation/ax_profile.h"
#include "automation/cbr_sign.h"
#include "automation/error_info.h"
#include "base/base64.h"
#include "base/encoding.h"
#include "sign/envelope.h"

namespace {

using Lumo::Base::Utf8FromWide;
using Lumo::Base::WideFromUtf8;
using Lumo::Base::WideString;

std::string Outcome(int32_t status, const std::string& bytes) {
  if (status == 0) return "ok:" + bytes;
  const Lumo::Automation::ErrorInfo* info = Lumo::Automation::LastErrorInfo();
  if (!info) return "failed without information";
  return "status " + std::to_string(status) + " kind " +
         std::to_string(static_cast<int>(info->kind)) + " code " +
         std::to_string(info->xmlErrorCode) + ": " + Utf8FromWide(info->description);
}

// One object's two entries on the same text.
struct Entries {
  virtual ~Entries() = default;
  virtual int32_t Wide(const WideString& xml, int32_t action, WideString& value) = 0;
  virtual int32_t Utf8(const std::string& xml, int32_t action, std::string& bytes) = 0;
};

struct DEZSignEntries : Entries {
  Lumo::Automation::TCBRSign object;
  DEZSignEntries() { object.TestMode = true; }
  int32_t Wide(const WideString& xml, int32_t action, WideString& value) override {
    return object.SignXml(xml, u"key", action, value);
  }
  int32_t Utf8(const std::string& xml, int32_t action, std::string& bytes) override {
    return object.SignXmlUtf8(xml, u"key", action,
                              [&bytes](std::string_view piece) { bytes += piece; });
  }
};

struct ProfileEntries : Entries {
  Lumo::Automation::TProfile object;
  ProfileEntries() {
    object.put_TestMode(-1);
    object.Open();
  }
  int32_t Wide(const WideString& xml, int32_t action, WideString& value) override {
    return object.Sign(xml, action, value);
  }
  int32_t Utf8(const std::string& xml, int32_t action, std::string& bytes) override {
    return object.SignUtf8(xml, action, [&bytes](std::string_view piece) { bytes += piece; });
  }
};

void ExpectSameOutcomes(Entries& entries, const std::vector<std::string>& inputs) {
  for (const std::string& input : inputs) {
    for (int32_t action = 0; action <= 7; ++action) {
      WideString value;
      const int32_t wideStatus = entries.Wide(WideFromUtf8(input), action, value);
      const std::string wide = Outcome(wideStatus, Utf8FromWide(value));
      std::string bytes;
      const int32_t utf8Status = entries.Utf8(input, action, bytes);
      EXPECT_EQ(Outcome(utf8Status, bytes), wide) << "action " << action << " on " << input;
    }
  }
}

// Documents, envelopes and Base64 texts; each goes through every action code.
std::vector<std::string> Inputs() {
  std::vector<std::string> inputs = {
      "<Doc xmlns=\"urn:dez-ru:ed:v2.0\" B=\"2\" A=\"1\"><!--c--><Item>\xD1\x82</Item><E/></Doc>",
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<r>\r\n<a>x\ry</a></r>",
      "<?xml version=\"1.0\" encoding=\"windows-1251\"?><r>\xD0\x96</r>",
      "<?xml version=\"1.0\" encoding=\"UTF-16\"?><r/>",
      "<r a=\"\xF0\x9F\x98\x80\">\xF0\x9F\x98\x80&#x1F600;</r>",
      "\xEF\xBB\xBF<r/>",
      "<r><a></r>",
      "<r>\xF0\x9F\x98\x80\n<a></b></r>",
      "",
      // An envelope in another form than the one written: read through its tree.
      "<sen:SigEnvelope xmlns:sen=\"urn:dez-ru:dsig:env:v1.1\">\n<sen:Object>PHIvPg==</sen:Object>"
      "</sen:SigEnvelope>",
      "<NotEnvelope><Object>PHIvPg==</Object></NotEnvelope>",
      // Base64 texts: line ends of every kind, white space, filler only, data that decodes
      // to nothing, characters that may not pass.
      "QUJD",
      "QU\r\nJD\rRA\nQQ==\r\n",
      " QUJD\t\n\n",
      "=",
      "A",
      "QUJD<x/>",
      "QUJD\xD0\x96",
  };
  // Envelopes as written, of documents that Verify and Extract write as they parse them:
  // children relying on the root's bindings, white space, leaves, entity children, a
  // root never handed anything, content that fails after children went out or has no
  // root, and encoded surrogates (read a second way after a parse error: the tree route).
  for (const std::string object : {
           "<?xml version=\"1.0\"?><p:R xmlns:p=\"urn:p\" a=\"1\">\n\t<p:A x=\"&amp;\"/>t<!--c-->"
           "<?pi d?>\n\t<p:B><p:C/></p:B>\n</p:R>",
           "<r/>",
           "<r>text</r>",
           "<!DOCTYPE r [<!ENTITY e \"<x/>\">]><r>&e;<y/></r>",
           "<?xml version=\"1.0\" encoding=\"windows-1251\"?><r><a>\xC0</a></r>",
           "<r><a/><b/>",
           "<!--no root-->",
           "<r>\xED\xA0\xBD\xED\xB8\x80<a/></r>",
       }) {
    const std::string b64 = Lumo::Base::EncodeBase64(object);
    inputs.push_back(std::string(Lumo::Sign::Envelope::kOpening) + b64 +
                     std::string(Lumo::Sign::Envelope::kMiddle) + b64 +
                     std::string(Lumo::Sign::Envelope::kClosing));
  }
  // Envelopes as written, of a document with a character beyond U+FFFF.
  DEZSignEntries sign;
  WideString envelope;
  sign.Wide(u"<r>\U0001F600</r>", 3, envelope);
  inputs.push_back(Utf8FromWide(envelope));
  inputs.push_back("\r\n" + Utf8FromWide(envelope) + "\n");
  return inputs;
}

TEST(Utf8Entries, DEZSignGivesWhatTheWideEntryGives) {
  DEZSignEntries entries;
  ExpectSameOutcomes(entries, Inputs());
}

TEST(Utf8Entries, ProfileGivesWhatTheWideEntryGives) {
  ProfileEntries entries;
  ExpectSameOutcomes(entries, Inputs());
}

TEST(Utf8Entries, Base64EnvelopeWritesLineEndsAsTheTreeDoes) {
  DEZSignEntries entries;
  std::string bytes;
  ASSERT_EQ(entries.Utf8("QU\r\nJD\rRA\nQQ==", 6, bytes), 0);
  EXPECT_NE(bytes.find("<sen:Object>QU\r\nJD\r\nRA\r\nQQ==</sen:Object>"), std::string::npos)
      << bytes;
}

}  // namespace
