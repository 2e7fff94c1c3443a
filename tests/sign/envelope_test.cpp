// Reading envelopes: the ANSI text of a value and unwrapping that lets the envelope go.
#include "sign/envelope.h"

#include <gtest/gtest.h>

#include <string>

#include "base/base64.h"
#include "base/encoding.h"
#include "base/errors.h"
#include "dom/xml_helpers.h"
#include "tests/sign/test_support.h"
#include "canon/shortcut.h"

using namespace Lumo;
using namespace Lumo::Base;
using namespace Lumo::Dom;
using namespace Lumo::Sign;

namespace {

WideString W(const std::string& utf8) { return WideFromUtf8(utf8); }

}  // namespace

TEST(EnvelopeValue, AnsiTextIsTheConvertedTextOfTheElement) {
  // Text and CDATA below the element, nested elements entered, white space trimmed at
  // both ends only; characters beyond ASCII take the converting way.
  const char* docs[] = {
      "<v>QUJD</v>",
      "<v> \r\n\tQU JD \n</v>",
      "<v>QU<![CDATA[JD]]>RA<i>==<j> x </j></i><!--c-->\t</v>",
      "<v><i/>\n<?p d?></v>",
      "<v/>",
      "<v>   </v>",
      "<v>QUJD\xD0\x96\xF0\x90\x90\xB7</v>",
      "<v>\xC3\xA9 <i>QUJD</i></v>",
  };
  for (const char* doc : docs) {
    Dom::Node v = LoadXmlString(W(doc));
    EXPECT_EQ(Envelope::AnsiTextOf(v), WideToAnsi(v.text())) << doc;
    EXPECT_EQ(Envelope::DecodeValue(v), DecodeBase64(WideToAnsi(v.text()))) << doc;
  }
}

TEST(EnvelopeUnwrap, TakingTheHandleGivesWhatUnwrapGives) {
  const std::string carried =
      EncodeBase64("<?xml version=\"1.0\" encoding=\"UTF-8\"?><d a=\"1\">\xD0\x96</d>");
  const std::string docs[] = {
      std::string(Envelope::kOpening) + "QQ==" + std::string(Envelope::kMiddle) + carried +
          std::string(Envelope::kClosing),
      "<e><Object>\r\n" + carried.substr(0, 8) + "\r\n" + carried.substr(8) + "</Object></e>",
      "<e><x:Object xmlns:x=\"u\">" + carried + "</x:Object><Object>QUJD</Object></e>",
      "<plain b=\"2\"><c/>text</plain>",
  };
  for (const std::string& doc : docs) {
    Dom::Node expected = Envelope::Unwrap(LoadXmlString(W(doc)));
    Dom::Node root = LoadXmlString(W(doc));
    Dom::Node kept = root;  // another handle: the document must stay readable through it
    Dom::Node got = Envelope::UnwrapTaking(std::move(root));
    EXPECT_FALSE(root);
    ASSERT_TRUE(got) << doc;
    EXPECT_EQ(got.xml(), expected.xml()) << doc;
    EXPECT_EQ(kept.xml(), LoadXmlString(W(doc)).xml()) << doc;
  }
  // Malformed content is the parser's error either way.
  const std::string bad = "<e><Object>" + EncodeBase64("<d>") + "</Object></e>";
  EXPECT_THROW(Envelope::UnwrapTaking(LoadXmlString(W(bad))), EXmlParserError);
}

// --- Envelopes as the library writes them, read without a tree ------------------------

namespace {

std::string Written(const std::string& signature, const std::string& object) {
  return std::string(Envelope::kOpening) + signature + std::string(Envelope::kMiddle) + object +
         std::string(Envelope::kClosing);
}

}  // namespace

TEST(EnvelopeWritten, ExactLayoutIsAcceptedAndAnythingElseRefused) {
  Lumo::Canon::Shortcuts::ForceReference(false);  // looks at the shortcut itself
  const std::string header(XmlHeaderAnsi);
  const std::string w = Written("TUFD", "PGEvPg==");
  struct Case {
    std::string text;
    bool accepted;
  } cases[] = {
      {w, true},
      {header + w, true},
      {header + "\r\n" + w + "\r\n \t", true},
      {"  " + w, true},
      {Written("", "PGEvPg=="), false},  // an empty value is written in short form
      {Written("TUFD", ""), false},
      {Written("TU FD", "PGEvPg=="), false},  // white space inside a value
      {Written("TUFD", "PG\r\nEvPg=="), false},
      {Written("TUFD", "PGEv&#x50;g=="), false},  // a reference
      {w + "<x/>", false},
      {w + "x", false},
      {"\xEF\xBB\xBF" + w, false},  // byte order mark
      {"<?xml version=\"1.0\" encoding=\"windows-1251\"?>" + w, false},
      {header + header + w, false},
      {w.substr(0, w.size() - 1), false},
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Envelope::WrittenLayout layout;
    ASSERT_EQ(Envelope::ScanWritten(c.text, layout), c.accepted);
    const WideString wide = W(c.text);
    Envelope::WrittenLayout wideLayout;
    ASSERT_EQ(Envelope::ScanWritten(wide, wideLayout), c.accepted);
    if (!c.accepted) continue;
    EXPECT_EQ(c.text.substr(layout.signatureAt, layout.signatureSize), "TUFD");
    EXPECT_EQ(c.text.substr(layout.objectAt, layout.objectSize), "PGEvPg==");
    const ByteString narrow = Envelope::NarrowValues(wide, wideLayout);
    EXPECT_EQ(narrow.substr(wideLayout.signatureAt, wideLayout.signatureSize), "TUFD");
    EXPECT_EQ(narrow.substr(wideLayout.objectAt, wideLayout.objectSize), "PGEvPg==");
  }
}

TEST(EnvelopeWritten, ObjectDecodedInsideTheBufferThatHoldsTheText) {
  Lumo::Canon::Shortcuts::ForceReference(false);  // looks at the shortcut itself
  // Declaration and white space before, values long and short; the text read from the
  // caller's buffer (decoded there), from a buffer that does not hold it, or without one.
  std::string object(70000, '\0');
  for (size_t i = 0; i < object.size(); ++i) object[i] = static_cast<char>(i * 31 + i / 7);
  const std::string objects[] = {"x", "ab", object};
  for (const std::string& content : objects) {
    for (const std::string& before : {std::string(), std::string(XmlHeaderAnsi) + "\r\n "}) {
      const std::string text = before + std::string(Envelope::kOpening) + EncodeBase64(object) +
                               std::string(Envelope::kMiddle) + EncodeBase64(content) +
                               std::string(Envelope::kClosing);
      Envelope::WrittenLayout layout;
      ASSERT_TRUE(Envelope::ScanWritten(text, layout));
      std::string holding = text, other = "elsewhere";
      EXPECT_EQ(Envelope::DecodeWrittenObject(holding, layout, &holding), content);
      EXPECT_TRUE(holding.empty());
      EXPECT_EQ(Envelope::DecodeWrittenObject(text, layout, &other), content);
      EXPECT_TRUE(other.empty());
      EXPECT_EQ(Envelope::DecodeWrittenObject(text, layout, nullptr), content);
    }
  }
}

TEST(EnvelopeWritten, FilesAreReadOnlyWhenTheyHoldSuchAnEnvelope) {
  Lumo::Canon::Shortcuts::ForceReference(false);  // looks at the shortcut itself
  SignTest::TempDir dir;
  const std::string header(XmlHeaderAnsi);
  // Values long enough to be cut by the reader's pieces at every phase of a group, with
  // a pad group inside and short final groups.
  std::string big(200000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
  const std::string b64 = EncodeBase64(big);
  const std::string w = Written("TUFD", "PGEvPg==");
  struct Case {
    std::string content;
    std::string signature, object;  // the values when accepted
    bool accepted;
  } cases[] = {
      {header + w, "TUFD", "PGEvPg==", true},
      {header + "\r\n" + w + "\r\n \t", "TUFD", "PGEvPg==", true},
      {Written("TUFD", b64), "TUFD", b64, true},
      {Written(b64.substr(0, 65599), b64.substr(1, 70001)), b64.substr(0, 65599),
       b64.substr(1, 70001), true},
      {Written(b64.substr(0, 65536 - 121 - 2), "QQ==" + b64 + "QUJ"),
       b64.substr(0, 65536 - 121 - 2), "QQ==" + b64 + "QUJ", true},
      {Written("TUFD", b64) + std::string(70000, ' '), "TUFD", b64, true},
      {header + std::string(100, ' ') + w, "", "", false},  // told by its first bytes
      {w + " <x/>", "", "", false},
      {Written("TUFD", b64) + std::string(70000, ' ') + "x", "", "", false},
      {Written("TUFD", b64.substr(0, 90000) + "\n" + b64.substr(90000)), "", "", false},
      {Written("TUFD", b64).substr(0, 100000), "", "", false},        // cut inside the object
      {Written("TUFD", b64).substr(0, 121 + 4 + 10), "", "", false},  // cut inside a piece
      {Written("", "PGEvPg=="), "", "", false},
      {"<a/>", "", "", false},
      {"", "", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content.substr(0, 60) + " ... " + std::to_string(c.content.size()));
    const std::string path = dir.File("e.xml");
    SignTest::WriteFile(path, c.content);
    for (bool withSignature : {false, true}) {
      Envelope::DecodedValues values{"stale", "stale"};
      ASSERT_EQ(Envelope::ReadWrittenFile(path, withSignature, values), c.accepted);
      EXPECT_EQ(values.object, c.accepted ? DecodeBase64(c.object) : "");
      EXPECT_EQ(values.signature, c.accepted && withSignature ? DecodeBase64(c.signature) : "");
    }
  }
  Envelope::DecodedValues values;
  EXPECT_FALSE(Envelope::ReadWrittenFile(dir.File("missing.xml"), true, values));
}

TEST(EnvelopeWritten, WrittenFromTheSignatureBytesAsTheTreeWritesIt) {
  // Signatures of one, two and several slices of the writer's Base64, with a remainder.
  for (size_t size : {size_t{1}, size_t{3 * 16384}, size_t{3 * 16384 * 2 + 2}}) {
    std::string signature(size, '\0');
    for (size_t i = 0; i < size; ++i) signature[i] = static_cast<char>(i * 131 + 7);
    const std::string object = "QUJD\r\nRA==\rRUY=\n";
    std::string written;
    Envelope::WriteParsed(signature, object, [&written](std::string_view p) { written += p; });
    std::string tree;
    Envelope::Build(EncodeBase64(signature), object).appendXmlUtf8(tree);
    EXPECT_EQ(written, tree) << size;
  }
}
