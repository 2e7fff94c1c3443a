// Markup vouched for as its own serialisation loads and writes itself again; anything the
// load would change, or refuse, is not vouched for.
#include "dom/own_markup.h"

#include <gtest/gtest.h>

#include <string>

#include "base/errors.h"
#include "base/types.h"
#include "dom/dom.h"
#include "dom/xml_helpers.h"
#include "tests/dom/xml_doc_generator.h"

using Lumo::Dom::IsOwnMarkup;

namespace {

// The root's markup after loading text as bytes, or why it did not load.
std::string Rewritten(const std::string& text) {
  try {
    Lumo::Dom::Node root = Lumo::Dom::LoadXmlBytes(text);
    std::string written;
    root.appendXmlUtf8(written);
    return written;
  } catch (const Lumo::Base::ELumoException& e) {
    return std::string("load failed: ") + e.what();
  }
}

}  // namespace

TEST(OwnMarkup, AcceptedMarkupLoadsAndWritesItselfAgain) {
  const char* const accepted[] = {
      "<a/>",
      "<a b=\"1\" c=\"\"/>",
      "<p:a xmlns:p=\"urn:x\" z=\"1\" a=\"2\"><p:b>text &amp; &lt;more&gt; \"quoted\" "
      "'too'</p:b></p:a>",
      "<a xmlns=\"urn:d\"><b xmlns=\"\">x</b><c/></a>",
      "<a v=\"&amp;&lt;&gt;&quot;&#9;&#10;&#13;'\">\ttabbed lines </a>",
      "<ed:ED101 xmlns:ed=\"urn:dez-ru:ed:v2.0\" Sum=\"1\"><ed:Name>ООО \"Ромашка\" №1 "
      "€</ed:Name></ed:ED101>",
      "<a>mixed<b/>text<c>x</c> tail</a>",
  };
  for (const char* text : accepted) {
    EXPECT_TRUE(IsOwnMarkup(text)) << text;
    EXPECT_EQ(Rewritten(text), text);
    // As envelopes carry it: after the declaration.
    EXPECT_EQ(Rewritten(std::string(Lumo::Base::XmlHeaderAnsi) + text), text);
  }
}

TEST(OwnMarkup, WhatTheLoadChangesOrRefusesIsNotVouchedFor) {
  const char* const refused[] = {
      "",                         // no element
      "<a></a>",                  // written back as <a/>
      "<a> </a>",                 // white space alone is dropped
      "<a>\n<b/></a>",            // and marked to be written as a line break
      "<a>1 > 0</a>",             // '>' is written escaped
      "<a>&quot;</a>",            // written as '"'
      "<a>&#65;</a>",             // written as 'A'
      "<a b='1'/>",               // written with double quotes
      "<a b=\"x\ty\"/>",          // the tab becomes a space
      "<a>x\r\ny</a>",            // line ends are taken in
      "<a>x\ny</a>",              // and written as CR LF
      "<a b=\"1\" b=\"2\"/>",     // not well-formed
      "<p:a/>",                   // prefix not declared
      "<a xmlns:p=\"\"/>",        // a prefix cannot be undeclared
      "<a xml:lang=\"ru\"/>",     // prefixed attributes are left to the load
      "<a  b=\"1\"/>",            // written with one space
      "<a/> ",                    // something after the element
      "<a><!-- c --></a>",        // comments, CDATA, PIs, DOCTYPE
      "<a><![CDATA[x]]></a>",     //
      "<a>\xF0\x9F\x98\x80</a>",  // beyond the BMP
      "<a>\xEF\xBF\xBE</a>",      // U+FFFE
      "<a>\xC0\xAF</a>",          // longer than needed
      "<a><b></a>",               // not closed
      "<a>x</b>",                 // closed by another name
      "<\xD0\xB0/>",              // names beyond ASCII are left to the load
  };
  for (const char* text : refused) EXPECT_FALSE(IsOwnMarkup(text)) << text;
  // Tags with very many attributes are left to the load (names are compared pairwise).
  std::string many = "<a";
  for (int i = 0; i < 65; ++i) many += " a" + std::to_string(i) + "=\"\"";
  EXPECT_FALSE(IsOwnMarkup(many + "/>"));
  EXPECT_TRUE(IsOwnMarkup(many.substr(0, many.rfind(' ')) + "/>"));
}

// Generated documents: the markup their roots write, and that markup with a byte changed
// here and there, is vouched for only where loading it writes it again.
TEST(OwnMarkup, GeneratedDocumentsAndDamagedMarkup) {
  using namespace XmlDifferential;
  Rng r(0x0DD5EEDull);
  int vouched = 0;
  const char kBytes[] = "<>/=\"'& \t\r\n:ax;#\xD0\xB0\xEF";
  for (int i = 0; i < 1500; ++i) {
    Generator g(r, Enc::Utf8);
    Lumo::Dom::Document doc = Lumo::Dom::Document::Create();
    if (!doc.loadBytes(g.MakeDocument(r.Chance(60), false)) || !doc.documentElement()) continue;
    std::string whole;
    doc.documentElement().appendXmlUtf8(whole);
    for (int variant = 0; variant < 8; ++variant) {
      std::string text = whole;
      if (variant > 0 && !text.empty())
        text[r.Below(static_cast<uint32_t>(text.size()))] = kBytes[r.Below(sizeof kBytes - 1)];
      if (!IsOwnMarkup(text)) continue;
      ++vouched;
      ASSERT_EQ(Rewritten(text), text) << "document " << i << " variant " << variant;
    }
  }
  EXPECT_GT(vouched, 150);  // the shape is met often enough to test anything
}
