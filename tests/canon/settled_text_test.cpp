// A settled text (a fixed-prefix text that is its own fixed-prefix form) read as text: the
// numbered text renamed in the text and the markup written from it must be what the tree
// the text parses into gives; texts of any other shape must be refused, so that the caller
// builds the tree.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base/encoding.h"
#include "base/errors.h"
#include "base/read_once_text.h"
#include "canon/canonical.h"
#include "canon/settled_text.h"
#include "dom/xml_helpers.h"
#include "canon/shortcut.h"

using Lumo::Base::ByteString;
using Lumo::Canon::NumberedFromSettledText;
using Lumo::Canon::WriteParsedMarkup;
using Lumo::Dom::Node;

namespace {

constexpr const char* kInserted =
    "<dsig:SigValue xmlns:dsig=\"urn:dez-ru:dsig:v1.1\">QUJD</dsig:SigValue>";

// The fixed-prefix text of a document (UTF-8 in, UTF-8 out), which must be settled.
std::string Settled(const std::string& utf8) {
  bool settled = false;
  std::string c0 = Lumo::Canon::FixedCanonicalText(
      Lumo::Dom::LoadXmlString(Lumo::Base::WideFromUtf8(utf8)), settled);
  EXPECT_TRUE(settled);
  return c0;
}

// The markup of the tree the text parses into, with the signature value first in its
// root unless bare, as the tree writes it.
std::string MarkupOfTree(const std::string& text, bool bare = false) {
  Node root = Lumo::Dom::LoadXmlUtf8(text);
  ByteString out;
  if (bare) {
    root.appendXmlUtf8(out);
    return out;
  }
  Node value = root.ownerDocument().createElement(u"dsig:SigValue");
  value.setAttribute(u"xmlns:dsig", u"urn:dez-ru:dsig:v1.1");
  value.setTextLatin1("QUJD");
  root.insertBefore(value, root.firstChild());
  root.appendXmlUtf8(out);
  return out;
}

std::string MarkupOfText(const std::string& text, std::vector<std::string>* pieces = nullptr,
                         bool bare = false) {
  std::string out;
  std::function<void(ByteString&)> insert;
  if (!bare) insert = [](ByteString& to) { to += kInserted; };
  WriteParsedMarkup(text, insert, [&](ByteString& piece) {
    if (pieces) pieces->push_back(piece);
    out += piece;
    piece.clear();
  });
  return out;
}

}  // namespace

TEST(SettledText, NumberedTextAndMarkupAreTheTreesOwn) {
  Lumo::Canon::Shortcuts::ForceReference(false);  // looks at the shortcut itself
  const std::string documents[] = {
      "<Root/>",
      "<e:R xmlns:e=\"urn:dez-ru:ed:v2.0\" q='a\"b&gt;c' z=\"1\"><e:E/><x:E "
      "xmlns:x=\"urn:x\"><e:E>\n"
      "l1\r\nl2 &amp; &lt;&gt; "
      "]]&gt;</e:E></x:E><P><e:Q/></P><![CDATA[a\r\nb<&>]]>\xF0\x90\x80\x80</e:R>",
      // An exchange namespace after another one on the same prefix "n1", and back.
      "<a:A xmlns:a=\"urn:one\"><b:B xmlns:b=\"urn:two\"><a:C "
      "xmlns:a=\"urn:one\">\xD0\xB6</a:C></b:B></a:A>",
      "<R xmlns=\"urn:dez-ru:dsig:env:v1.1\"><S xmlns=\"urn:dez-ru:dsig:v1.1\" v=\"\t \"/></R>",
  };
  for (const std::string& doc : documents) {
    SCOPED_TRACE(doc);
    const std::string c0 = Settled(doc);
    ByteString numbered;
    ASSERT_TRUE(NumberedFromSettledText(c0, numbered)) << c0;
    EXPECT_EQ(numbered, Lumo::Canon::CanonicalText(Lumo::Dom::LoadXmlUtf8(c0),
                                                   Lumo::Canon::PrefixScheme::Numbered));
    // The walk's own text, its characters not read again: the same bytes.
    ByteString walked;
    ASSERT_TRUE(Lumo::Canon::NumberedFromWalkedText(c0, walked));
    EXPECT_EQ(walked, numbered);
    EXPECT_EQ(MarkupOfText(c0), MarkupOfTree(c0));
    // Nothing inserted: an empty root keeps its empty-element tag.
    EXPECT_EQ(MarkupOfText(c0, nullptr, true), MarkupOfTree(c0, true));
  }
}

TEST(SettledText, AttributePrefixesNothingBindsStayInTheNumberedText) {
  // The second fixed-prefix pass of a document with prefixed attributes: their prefixes
  // are bound to nothing once parsed, and the text is read like any settled one.
  const std::string texts[] = {
      "<ed:R xmlns:ed=\"urn:dez-ru:ed:v2.0\" a=\"2\" pay:s=\"1\"><n1:E xmlns:n1=\"urn:o\" "
      "b:c=\"3\"><n1:F>t</n1:F></n1:E><ed:G bic:x=\"&quot;>\"></ed:G></ed:R>",
  };
  for (const std::string& c : texts) {
    SCOPED_TRACE(c);
    ByteString numbered;
    ASSERT_TRUE(NumberedFromSettledText(c, numbered));
    EXPECT_EQ(numbered, Lumo::Canon::CanonicalText(Lumo::Dom::LoadXmlUtf8(c),
                                                   Lumo::Canon::PrefixScheme::Numbered));
    EXPECT_EQ(MarkupOfText(c), MarkupOfTree(c));
  }
}

TEST(SettledText, LongTextGoesOutInPiecesThatEndOnCharacters) {
  std::string text = "<R>";
  for (int i = 0; i < 200000; ++i) text += "\xD0\xB6\n";  // 600 KB of text with line ends
  text += "</R>";
  ByteString numbered;
  ASSERT_TRUE(NumberedFromSettledText(text, numbered));
  std::vector<std::string> pieces;
  EXPECT_EQ(MarkupOfText(text, &pieces), MarkupOfTree(text));
  EXPECT_GT(pieces.size(), 2u);
  for (const std::string& piece : pieces)
    EXPECT_EQ(Lumo::Base::Utf8Encode(Lumo::Base::Utf8Decode(piece)), piece);
}

TEST(SettledText, TextSaidReadBehindTheWriterIsNotReadAgain) {
  // Pages said read read as zeros afterwards: anything read again would change the markup.
  // The root's long name puts its declaration, which each child's text repeats, past the
  // first page.
  const std::string root = "e:R" + std::string(6000, 'r');
  std::string text = "<" + root + " xmlns:e=\"urn:dez-ru:ed:v2.0\">";
  for (int i = 0; i < 40000; ++i)
    text += "<e:E n=\"" + std::to_string(i) + "\"><F>\xD0\xB6\n</F><e:G></e:G></e:E>";
  text += "</" + root + ">";
  ASSERT_TRUE(Lumo::Canon::IsSettledText(text));
  auto collect = [](std::string& all) {
    return [&all](ByteString& piece) {
      all += piece;
      piece.clear();
    };
  };
  auto echoChild = [](std::string_view child, ByteString& out) { out.append(child); };
  const std::string markup = MarkupOfText(text), children = [&] {
    std::string all;
    Lumo::Canon::WriteParsedMarkupReplacingChildren(text, echoChild, collect(all));
    return all;
  }();
  for (bool replacing : {false, true}) {
    SCOPED_TRACE(replacing);
    std::string copy = text, written;
    Lumo::Base::ReadOnceText readOnce(copy);
    if (replacing) {
      Lumo::Canon::WriteParsedMarkupReplacingChildren(copy, echoChild, collect(written), &readOnce);
    } else {
      WriteParsedMarkup(
          copy, [](ByteString& to) { to += kInserted; }, collect(written), &readOnce);
    }
    EXPECT_EQ(written, replacing ? children : markup);
#ifndef _WIN32
    EXPECT_EQ(copy[copy.size() / 2], '\0');  // the pages did go back
#endif
  }
}

TEST(SettledText, OtherShapesAreRefused) {
  const char* refused[] = {
      "",
      "<R><A/></R>",                          // an empty-element tag
      "<R b=\"1\" a=\"2\"></R>",              // attributes out of order
      "<R a=\"1\" a=\"1\"></R>",              // twice the same
      "<R XMLNSa=\"1\"></R>",                 // sorted with the declarations
      "<p:R xmlns:p=\"u\" p:a=\"1\"></p:R>",  // a prefixed attribute
      "<p:R xmlns:p=\"u\" q:a=\"1\"></p:R>",  // ... where an element's prefix is not the scheme's
      "<ed:R xmlns:ed=\"u\" n3:a=\"1\"></ed:R>",  // ... with a prefix of the scheme
      "<ed:R xmlns:ed=\"u\" xml:lang=\"ru\"></ed:R>",
      "<p:R a=\"1\" xmlns:p=\"u\"></p:R>",                   // the declaration not first
      "<R xmlns:p=\"u\"></R>",                               // a prefix the element does not use
      "<R xmlns=\"u\"></R>",                                 // a default namespace
      "<p:R></p:R>",                                         // no declaration in scope
      "<p:R xmlns:p=\"u\"><q:S xmlns:q=\"u\"></q:S></p:R>",  // the parent's URI declared again
      "<p:R xmlns:p=\"u\"><S><p:T></p:T></S></p:R>",         // the prefix from a grandparent
      "<p:R xmlns:p=\"urn:\xD0\xB6\"></p:R>",                // a URI beyond ASCII
      "<xml:R xmlns:xml=\"u\"></xml:R>",
      "<R>  \n</R>",            // white space only
      "<R>a\rb</R>",            // CR
      "<R>a&#65;</R>",          // a character reference
      "<R>a>b</R>",             // '>' that canonical text escapes
      "<R a=\"x&amp;y\"></R>",  // a reference but &quot;
      "<R a=\"x\ty\"></R>",     // a tab in a value
      "<R a='1'></R>",          // other quotes
      "<R><!--c--></R>",
      "<R><?p d?></R>",
      "<R></R>x",  // text after the root
      "<R></R><S></S>",
      "<R>\xF0\x90\x80\x80</R>",  // four-byte UTF-8
      "<R>\xC0\xAF</R>",          // longer than needed
      "<R>\xED\xA0\x80</R>",      // a lone surrogate
      "<R>\x01</R>",
      "<\xD0R></\xD0R>",  // a name that is not UTF-8
      "<R>\xEF\xBF\xBF</R>",
      "<R><![CDATA[a\rb]]></R>",
      "<R></S>",
      "<R>",
  };
  for (const char* text : refused) {
    SCOPED_TRACE(text);
    ByteString numbered = "kept";
    EXPECT_FALSE(NumberedFromSettledText(text, numbered));
    EXPECT_EQ(numbered, "kept");
  }
  // What is refused anywhere in a long text, value or name, across the eight-byte steps.
  const std::string longRun(24, 'a');
  struct Place {
    std::string before, after;
    std::vector<const char*> bads;
  } places[] = {
      {"<R>", "</R>", {">", "\r", "\x01", "&quot;", "\xFF"}},
      {"<R a=\"", "\"></R>", {"<", "\t", "\n", "&amp;", "\xC0\xAF"}},
      {"<R ", "=\"1\"></R>", {" ", "<", "!", "\x01", "\xFF", "::"}},
  };
  for (const Place& place : places) {
    ByteString numbered;
    ASSERT_TRUE(NumberedFromSettledText(place.before + longRun + place.after, numbered));
    for (const char* bad : place.bads) {
      for (size_t at = 0; at <= longRun.size(); ++at) {
        std::string text = place.before + longRun + place.after;
        text.insert(place.before.size() + at, bad);
        EXPECT_FALSE(NumberedFromSettledText(text, numbered)) << text;
      }
    }
  }
}

// The wider shape the Envelope action writes its data from: a fixed-prefix text with
// prefixed attributes. Where it is accepted, the markup written from the text is the
// tree's; the cases refused are those whose parse is not known from the text alone.
TEST(PlainMarkupText, AcceptedTextsWriteTheTreesMarkupOthersAreRefused) {
  struct Case {
    const char* text;
    bool accepted;
  };
  const Case cases[] = {
      {"<ed:R xmlns:ed=\"urn:dez-ru:ed:v2.0\"><ed:A xmlns:n2=\"urn:p\" B=\"1\" p:C=\"2\"></ed:A>"
       "<ed:A n2=\"x\" q:C=\"&quot;a>b\"></ed:A></ed:R>",
       true},
      {"<n2:R xmlns:n1=\"urn:a\" xmlns:n2=\"urn:z\" p:x=\"1\"><n2:S></n2:S>t\n</n2:R>", true},
      {"<R xmlns:n1=\"urn:p\" p:a=\"1\"></R>", true},  // an element in no namespace
      // A settled text is of this shape where its prefixes are the scheme's.
      {"<ed:R xmlns:ed=\"u\" a=\"1\"><ed:S>x</ed:S></ed:R>", true},
      {"<p:R xmlns:p=\"u\"></p:R>", false},                // a prefix the scheme does not give
      {"<ed:R xmlns:ed=\"u\" ed:a=\"1\"></ed:R>", false},  // an attribute prefix it gives
      {"<ed:R xmlns:ed=\"u\" n7:a=\"1\"></ed:R>", false},  // ... bound or not
      {"<ed:R xmlns:ed=\"u\" xml:lang=\"ru\"></ed:R>", false},
      {"<ed:R a=\"1\" xmlns:ed=\"u\"></ed:R>", false},         // a declaration after an attribute
      {"<ed:R xmlns:n1=\"u\" xmlns:ed=\"u\"></ed:R>", false},  // declarations out of order
      {"<ed:R xmlns:ed=\"u\" q:a=\"1\" p:b=\"2\"></ed:R>", false},  // attributes out of order
      {"<ed:R xmlns:ed=\"u\"><n1:S><n1:T xmlns:n1=\"v\"></n1:T></n1:S></ed:R>",
       false},  // undeclared
      {"<ed:R xmlns:ed=\"u\"><ed:S xmlns:n1=\"v\"><ed:T></ed:T></ed:S></ed:R>", true},
      {"<ed:R xmlns:ed=\"u\"><n1:S xmlns:n1=\"v\"><ed:T><ed:U></ed:U></ed:T></n1:S></ed:R>",
       true},  // the prefix from a grandparent
      {"<ed:R xmlns:ed=\"u\"><n1:S xmlns:n1=\"v\"></n1:S><n1:T></n1:T></ed:R>",
       false},                                                  // out of scope
      {"<ed:R xmlns:ed=\"u\" xmlns:n01=\"v\"></ed:R>", false},  // no such prefix in the scheme
      {"<ed:R xmlns:ed=\"\"></ed:R>", false},
      {"<ed:R xmlns:ed=\"http://www.w3.org/2000/xmlns/\"></ed:R>", false},
      {"<ed:R xmlns:ed=\"u\" a=\"x&amp;y\"></ed:R>", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Lumo::Canon::IsPlainMarkupText(c.text), c.accepted);
    if (c.accepted) EXPECT_EQ(MarkupOfText(c.text, nullptr, true), MarkupOfTree(c.text, true));
  }
}
