// A load that hands the root's children over as they are parsed: every child reaches the
// handler in order and whole, and is dropped once taken, whatever its storage reuses;
// children left for later come again; a handler that declines keeps the rest; errors are
// those of a plain load.
#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "base/encoding.h"
#include "base/read_once_text.h"
#include "dom/dom.h"

using Lumo::Base::WideString;
using Lumo::Dom::Document;
using Lumo::Dom::Node;

namespace {

struct HandedOver {
  std::vector<std::string> calls;  // the root's markup at each call
  std::vector<bool> taken;         // what each call answered
  std::string rest;                // the root's markup after the load
  Lumo::Dom::ParseError error;
};

// declineAt: the call (from 0) that returns false; -1 never.
HandedOver Load(const std::string& text, int declineAt = -1) {
  HandedOver out;
  Document doc = Document::Create();
  doc.setRootChildHandler([&](const Node& root) {
    out.calls.push_back(Lumo::Base::Utf8FromWide(root.xml()));
    const int call = static_cast<int>(out.calls.size()) - 1;
    out.taken.push_back(call != declineAt && call % 3 != 2);  // every third stays for later
    if (call == declineAt) return Lumo::Dom::HandOver::Declined;
    return out.taken.back() ? Lumo::Dom::HandOver::Taken : Lumo::Dom::HandOver::Later;
  });
  if (doc.loadBytes(text)) out.rest = Lumo::Base::Utf8FromWide(doc.documentElement().xml());
  out.error = doc.parseError();
  return out;
}

std::string Plain(const std::string& text) {
  Document doc = Document::Create();
  return doc.loadBytes(text) ? Lumo::Base::Utf8FromWide(doc.documentElement().xml()) : "";
}

}  // namespace

TEST(RootChildHandler, EachChildOnceInOrderWithWhatStandsBeforeIt) {
  // Children of many names and sizes, so that later ones reuse the storage given back
  // while the names met on the way stay valid.
  std::string doc =
      "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY e \"<x k='v'/>\">]>"
      "<r xmlns:p=\"urn:p\" a=\"1\">";
  std::vector<std::string> expected;
  for (int i = 0; i < 300; ++i) {
    const std::string name = "p:n" + std::to_string(i % 37);
    const std::string child = "<" + name + " v=\"" + std::string(i * 7 % 500, 'x') + "\">t" +
                              std::to_string(i) + "<q/></" + name + ">";
    doc += (i % 5 == 0 ? "text<!--c-->" : "") + child + "\n";
  }
  doc += "&e;<last/>tail</r>";
  HandedOver got = Load(doc);
  ASSERT_EQ(got.error.errorCode, 0);
  ASSERT_EQ(got.calls.size(), 301u);  // the entity's child waits for the next one
  EXPECT_EQ(got.calls[1].substr(got.calls[1].find('>') + 1, 9), "\r\n\t<p:n1 ");
  EXPECT_NE(got.calls[300].find("<x k=\"v\"/><last/>"), std::string::npos);
  EXPECT_EQ(got.rest, "<r xmlns:p=\"urn:p\" a=\"1\">tail</r>");
  // What the calls that took children saw between the root's tags is the whole content,
  // once.
  std::string content;
  for (size_t i = 0; i < got.calls.size(); ++i) {
    const std::string& call = got.calls[i];
    if (got.taken[i]) content += call.substr(call.find('>') + 1, call.size() - call.find('>') - 5);
  }
  const std::string whole = Plain(doc);
  EXPECT_EQ(content + "tail",
            whole.substr(whole.find('>') + 1, whole.size() - whole.find('>') - 5));
}

TEST(RootChildHandler, DeclinedKeepsTheRestAndErrorsAreAPlainLoads) {
  const std::string doc = "<r><a>1</a><b>2</b><c>3</c></r>";
  HandedOver declined = Load(doc, 1);
  EXPECT_EQ(declined.calls.size(), 2u);
  EXPECT_EQ(declined.rest, "<r><b>2</b><c>3</c></r>");

  for (const std::string bad : {"<r><a/><b></c></r>", "<r><a/><b/>", "<r><a/></r><x/>"}) {
    HandedOver got = Load(bad);
    Document plain = Document::Create();
    ASSERT_FALSE(plain.loadBytes(bad));
    EXPECT_EQ(got.error.errorCode, plain.parseError().errorCode) << bad;
    EXPECT_EQ(got.error.reason, plain.parseError().reason) << bad;
    EXPECT_EQ(got.error.linepos, plain.parseError().linepos) << bad;
    EXPECT_EQ(got.rest, "") << bad;
  }
}

TEST(RootChildHandler, InputSaidReadGoesBackAndErrorsArePlacedAsBefore) {
  // Megabytes of children before an error, in lines of each ending, on one line, with
  // characters of two to four bytes, in a single-byte code page, and with the error on the
  // line where the input was last given back.
  struct Shape {
    std::string declaration, lineEnd, text, error;
  } shapes[] = {
      {"", "\n", "\xD0\xB6\xF0\x9F\x98\x80", "<c>&nope;</c></r>"},
      {"", "\r\n", "\xE2\x82\xAC", "<c></d></r>"},
      {"", "\r", "t", "<c a='1' a='2'/></r>"},
      {"", "", "\xD0\xB6", "<c>\x01</c></r>"},
      {"", "", "t", ""},  // the end of the input just past a child
      {"<?xml version=\"1.0\" encoding=\"windows-1251\"?>\n", "\n", "\xE6\xE6",
       "<c>&nope;</c></r>"},
      {"", "\n", "t", "\n<c>" + std::string(1 << 18, 'x') + "&nope;</c></r>"},
  };
  std::vector<std::string> docs;
  for (const Shape& shape : shapes) {
    std::string doc = shape.declaration + "<r>";
    for (int i = 0; doc.size() < (1 << 20); ++i)
      doc += "<c n=\"" + std::to_string(i) + "\">" + shape.text + "</c>" + shape.lineEnd;
    docs.push_back(doc + shape.error);
  }
  // And one byte broken here and there behind what was given back: errors of other kinds,
  // in names, values, text and tags.
  const char broken[] = {'<', '\x01', '\xFF', '&', '=', '>'};
  for (size_t k = 0; k < std::size(broken); ++k) {
    std::string doc = docs[0];
    doc[600000 + k * 70000] = broken[k];
    docs.push_back(doc);
  }
  for (std::string& doc : docs) {
    SCOPED_TRACE(doc.substr(doc.size() - 40));
    Document plain = Document::Create();
    ASSERT_FALSE(plain.loadBytes(doc));
    const Lumo::Dom::ParseError& expected = plain.parseError();

    Document handed = Document::Create();
    handed.setRootChildHandler([](const Node&) { return Lumo::Dom::HandOver::Taken; });
    Lumo::Base::ReadOnceText readOnce(doc);
    handed.setInputReadOnce(&readOnce);
    ASSERT_FALSE(handed.loadBytes(doc));
    const Lumo::Dom::ParseError& got = handed.parseError();
    EXPECT_EQ(got.errorCode, expected.errorCode);
    EXPECT_EQ(got.reason, expected.reason);
    EXPECT_EQ(got.line, expected.line);
    EXPECT_EQ(got.linepos, expected.linepos);
    EXPECT_EQ(got.filepos, expected.filepos);
    EXPECT_EQ(got.srcText, expected.srcText);
#ifndef _WIN32
    EXPECT_EQ(doc[1 << 18], '\0');  // the pages did go back
#endif
  }
}

// A file load with a handler gives its own bytes back as it goes: children arrive whole,
// and an error behind what went back is placed as a plain load places it.
TEST(RootChildHandler, FileLoadGivesItsInputBackAndPlacesErrorsAsBefore) {
  std::string good = "<r>";
  for (int i = 0; good.size() < (1 << 20); ++i)
    good += "<c n=\"" + std::to_string(i) + "\">\xD0\xB6</c>\n";
  const std::string docs[] = {good + "</r>", good + "<c>&nope;</c></r>"};
  const std::string file = testing::TempDir() + "/file_load_hands_over.xml";
  for (const std::string& doc : docs) {
    FILE* f = std::fopen(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(doc.data(), 1, doc.size(), f), doc.size());
    ASSERT_EQ(std::fclose(f), 0);
    Document plain = Document::Create();
    const bool ok = plain.load(file);
    size_t children = 0;
    Document handed = Document::Create();
    handed.setRootChildHandler([&children](const Node& root) {
      for (Node c = root.firstChild(); c; c = c.nextSibling()) children += c.nodeName() == u"c";
      return Lumo::Dom::HandOver::Taken;
    });
    ASSERT_EQ(handed.load(file), ok);
    EXPECT_EQ(handed.parseError().reason, plain.parseError().reason);
    EXPECT_EQ(handed.parseError().line, plain.parseError().line);
    EXPECT_EQ(handed.parseError().linepos, plain.parseError().linepos);
    EXPECT_EQ(handed.parseError().srcText, plain.parseError().srcText);
    size_t expected = 0;
    if (ok) {
      for (Node c = plain.documentElement().firstChild(); c; c = c.nextSibling())
        expected += c.nodeName() == u"c";
      EXPECT_GT(expected, 30000u);
    }
    if (ok) EXPECT_EQ(children, expected);
  }
  std::remove(file.c_str());
}

TEST(StreamedRootWriter, WritesWhatTheLoadedRootWrites) {
  // Bindings of the root that its children rely on, white space dropped before children
  // and before the end tag, leaves between and after children, entity children, a root
  // that is never handed anything, a surrogate pair cut by nothing.
  const std::string docs[] = {
      "<p:r xmlns:p=\"urn:p\" xmlns=\"urn:d\" a=\"&lt;&#9;\">\n\t<p:a p:k=\"1\"/>t<!--c--><?pi d\n"
      "e?>\n\t<b><p:c/></b>\n</p:r>",
      "<r/>",
      "<r>only text &amp; more</r>",
      "<r>\n  <a/>\n  tail</r>",
      "<?xml version=\"1.0\" encoding=\"windows-1251\"?><r><a>\xC0\xE1</a><![CDATA[x]]></r>",
      "<!DOCTYPE r [<!ENTITY e \"<x k='v'/>\">]><r>&e;<y/>&e;</r>",
      "<r a=\"\xF0\x9F\x98\x80\"><a>\xF0\x9F\x98\x80</a>\xF0\x9F\x98\x80</r>",
  };
  for (const std::string& doc : docs) {
    SCOPED_TRACE(doc);
    Document plain = Document::Create();
    ASSERT_TRUE(plain.loadBytes(doc));
    std::string whole;
    plain.documentElement().appendXmlUtf8(whole);

    std::string streamed;
    size_t pieces = 0;
    Lumo::Dom::StreamedRootWriter writer([&](std::string& bytes) {
      streamed += bytes;
      bytes.clear();
      ++pieces;
    });
    Document handed = Document::Create();
    handed.setRootChildHandler([&writer](const Node& root) { return writer.TakeChildren(root); });
    ASSERT_TRUE(handed.loadBytes(doc));
    writer.Finish(handed.documentElement());
    EXPECT_EQ(streamed, whole);
    EXPECT_LE(pieces, 1u);  // small markup goes out once, at the end
  }
}

TEST(StreamedRootWriter, LargeDocumentGoesOutInPiecesAsItIsParsed) {
  std::string doc = "<r xmlns:p=\"urn:p\">";
  for (int i = 0; i < 50000; ++i) doc += "\n<p:c n=\"" + std::to_string(i) + "\">text</p:c>";
  doc += "</r>";
  size_t written = 0, piecesDuringLoad = 0;
  bool loading = true;
  Lumo::Dom::StreamedRootWriter writer([&](std::string& bytes) {
    written += bytes.size();
    piecesDuringLoad += loading ? 1 : 0;
    bytes.clear();
  });
  Document handed = Document::Create();
  handed.setRootChildHandler([&writer](const Node& root) { return writer.TakeChildren(root); });
  ASSERT_TRUE(handed.loadBytes(doc));
  loading = false;
  writer.Finish(handed.documentElement());
  EXPECT_GT(piecesDuringLoad, 1u);
  EXPECT_FALSE(handed.documentElement().hasChildNodes());
  EXPECT_EQ(written, Plain(doc).size());
}
