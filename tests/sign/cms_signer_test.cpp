// Who signed, read from signatures the openssl command made (tests/sign/cms_corpus: a GOST
// leaf under an intermediate, in DER and in BER, identified by issuer and serial or by key
// identifier, with and without its certificate; an RSA key with a Cyrillic subject), and
// signatures that are not CMS that can be read.
#include "sign/cms_signer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

using Lumo::Sign::CmsSigners;
using Lumo::Sign::ReadCmsSigners;
using Lumo::Sign::SignersText;

std::string Corpus(const std::string& name) {
  std::ifstream f(std::string(LUMO_SOURCE_DIR) + "/tests/sign/cms_corpus/" + name,
                  std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  EXPECT_FALSE(s.str().empty()) << name;
  return s.str();
}

constexpr const char* kGood =
    "CN=E2E good, O=Test Bank, serial 12EB77F88FEC0BC66BECF8F824B634FD89ADF8F5, issuer CN=E2E "
    "Sub CA, O=Test, 2026-12-09 13:32:54 UTC";

TEST(CmsSigner, SignaturesTheOpensslCommandMade) {
  struct Case {
    const char* file;
    const char* text;
  };
  const Case cases[] = {
      {"gost-chain.p7s", kGood},
      {"gost-ber.p7s", kGood},
      {"gost-keyid.p7s", kGood},
      // Without its certificate the signer is known by its issuer and serial only.
      {"gost-nocerts.p7s",
       "(certificate not carried), serial 12EB77F88FEC0BC66BECF8F824B634FD89ADF8F5, issuer "
       "CN=E2E Sub CA, O=Test, 2026-12-09 13:32:54 UTC"},
      {"rsa-cyrillic.p7s",
       "CN=Иванов Иван, O=ООО Банк, serial 38C60535E147C5E6F0953030FD17C95320F770CB, issuer "
       "CN=Иванов Иван, O=ООО Банк, 2026-12-09 13:32:57 UTC"},
  };
  for (const Case& c : cases) {
    CmsSigners read = ReadCmsSigners(Corpus(c.file));
    EXPECT_EQ(read.error, "") << c.file;
    EXPECT_EQ(SignersText(read), c.text) << c.file;
  }
  CmsSigners good = ReadCmsSigners(Corpus("gost-chain.p7s"));
  ASSERT_EQ(good.signers.size(), 1u);
  EXPECT_EQ(good.signers[0].commonName, "E2E good");
  EXPECT_EQ(good.signers[0].organization, "Test Bank");
  EXPECT_TRUE(good.signers[0].certificateFound);
}

TEST(CmsSigner, WhatIsNotReadableSaysWhy) {
  const std::string good = Corpus("gost-chain.p7s");
  const std::string ber = Corpus("gost-ber.p7s");
  std::string notSigned = good;
  notSigned[14] = 0x03;  // the content type's last arc: 1.2.840.113549.1.7.3
  struct Case {
    const char* label;
    std::string bytes;
    const char* error;
  };
  const Case cases[] = {
      {"nothing", "", "ContentInfo missing"},
      {"not a sequence", "\x04\x01x", "ContentInfo missing"},
      {"cut short", good.substr(0, good.size() - 1), "content runs past the end (ContentInfo)"},
      {"BER cut short", ber.substr(0, ber.size() - 2), "end-of-contents missing (ContentInfo)"},
      {"a byte after it", good + '\0', "bytes after the ContentInfo"},
      {"enveloped data", notSigned, "not SignedData"},
  };
  for (const Case& c : cases) {
    CmsSigners read = ReadCmsSigners(c.bytes);
    EXPECT_EQ(read.error, c.error) << c.label;
    EXPECT_TRUE(read.signers.empty()) << c.label;
    EXPECT_EQ(SignersText(read), std::string("unreadable signature (") + c.error + ")") << c.label;
  }
}

}  // namespace
