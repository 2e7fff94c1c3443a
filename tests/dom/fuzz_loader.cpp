// libFuzzer target for the XML loader.
//
// Each input is loaded twice: as wide text through LoadXmlString (bytes decoded leniently as
// UTF-8, invalid bytes taken as Latin-1, encoded surrogates kept as lone code units) and as
// bytes through Document::loadBytes. Besides memory and UB errors (the sanitizers), it
// checks:
// - a failed load fills the parse error (negative code, a reason ending in a full stop,
//   line and position from 1) and raises nothing but EXmlParserError;
// - the borrowing wide load (values pointing into the text) gives the ordinary one's tree
//   or error;
// - a document that loads serialises (xml of the root) to text that loads again and
//   serialises to the same text. Text holding a CR of its own (from &#13;) is written
//   literally and becomes LF on reload, as the platform DOM does; such output is only
//   required to load again;
// - the root's markup written as the document is loaded (StreamedRootWriter) is the
//   loaded root's.
//
// Built with LUMO_FUZZ_REPLAY_MAIN it is an ordinary program that runs each file named on
// its command line (folders: every file in them) once: the regression test over
// tests/dom/fuzz_regressions/ and the seed corpus.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/errors.h"
#include "dom/dom.h"
#include "dom/own_markup.h"
#include "dom/xml_helpers.h"
#include "tests/fuzz_support.h"

using FuzzSupport::Narrow;

[[noreturn]] static void Fail(const char* what, std::string_view detail = {}) {
  FuzzSupport::Fail("fuzz_loader", what, detail);
}

namespace {

using Lumo::Base::WideString;
using Lumo::Base::WideView;
using Lumo::Dom::Document;

WideString LenientWide(std::string_view b) {
  WideString out;
  out.reserve(b.size());
  for (size_t i = 0; i < b.size();) {
    unsigned char c = static_cast<unsigned char>(b[i]);
    int n = c < 0x80             ? 1
            : (c & 0xE0) == 0xC0 ? 2
            : (c & 0xF0) == 0xE0 ? 3
            : (c & 0xF8) == 0xF0 ? 4
                                 : 0;
    uint32_t cp = n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
    bool ok = n > 0 && i + n <= b.size();
    for (int k = 1; ok && k < n; ++k) {
      unsigned char t = static_cast<unsigned char>(b[i + k]);
      if ((t & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (t & 0x3F);
    }
    if (n == 1) {
      out += static_cast<char16_t>(c);
      ++i;
    } else if (!ok || cp > 0x10FFFF) {
      out += static_cast<char16_t>(c);  // Latin-1
      ++i;
    } else {
      if (cp >= 0x10000) {
        cp -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (cp >> 10));
        out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
      } else {
        out += static_cast<char16_t>(cp);
      }
      i += n;
    }
  }
  return out;
}

void CheckError(const Document& doc) {
  const auto& e = doc.parseError();
  if (e.errorCode >= 0) Fail("failed load without a negative error code");
  if (e.reason.empty() || e.reason.back() != u'.')
    Fail("parse error reason empty or not a sentence", Narrow(e.reason));
  if (e.line < 1 || e.linepos < 1) Fail("parse error without line/position", Narrow(e.reason));
  if (doc.documentElement()) Fail("failed load left a document element");
}

bool HasLoneCR(WideView s) {
  for (size_t i = 0; i < s.size(); ++i)
    if (s[i] == u'\r' && (i + 1 == s.size() || s[i + 1] != u'\n')) return true;
  return false;
}

void RoundTrip(const Document& doc) {
  Lumo::Dom::Node root = doc.documentElement();
  if (!root) Fail("successful load without a document element");
  WideString first = root.xml();
  Document again = Document::Create();
  if (!again.loadXML(first)) Fail("xml of the root does not load again", Narrow(first));
  WideString second = again.documentElement().xml();
  if (second != first && !HasLoneCR(first))
    Fail("xml of the reloaded root differs", Narrow(first) + "\n  ---\n  " + Narrow(second));
}

void CheckOwnMarkup(std::string_view text) {
  if (!Lumo::Dom::IsOwnMarkup(text)) return;
  for (std::string_view head : {std::string_view(), Lumo::Base::XmlHeaderAnsi}) {
    Document own = Document::Create();
    const std::string bytes = std::string(head) + std::string(text);
    if (!own.loadBytes(bytes) || !own.documentElement())
      Fail("markup vouched for does not load", bytes);
    std::string written;
    own.documentElement().appendXmlUtf8(written);
    if (written != text)
      Fail("markup vouched for writes otherwise", bytes + "\n  written: " + written);
  }
}

}  // namespace

// What stands between an element's start and end tags in its markup (empty for <x/>).
static WideString ContentOf(const WideString& markup) {
  if (markup.size() >= 2 && markup.compare(markup.size() - 2, 2, u"/>") == 0 &&
      markup.find(u'>') == markup.size() - 1)
    return WideString();
  size_t open = markup.find(u'>');  // values escape '>'
  size_t close = markup.rfind(u"</");
  return markup.substr(open + 1, close - open - 1);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);

  const WideString wide = LenientWide(bytes);
  try {
    Lumo::Dom::Node root = Lumo::Dom::LoadXmlString(wide);
    if (root) RoundTrip(root.ownerDocument());
  } catch (const Lumo::Base::EXmlParserError& e) {
    if (e.ErrorCode >= 0) Fail("EXmlParserError without a negative code", e.what());
  }

  // The borrowing load (values pointing into the text) gives the ordinary load's tree.
  {
    Document normal = Document::Create();
    Document borrowing = Document::Create();
    bool ok = normal.loadXML(wide);
    if (borrowing.loadXMLBorrowing(wide) != ok) Fail("borrowing load succeeds differently");
    if (ok && borrowing.xml() != normal.xml())
      Fail("borrowing load gives another tree", Narrow(normal.xml()));
    if (!ok && borrowing.parseError().errorCode != normal.parseError().errorCode)
      Fail("borrowing load fails differently");
  }

  Document doc = Document::Create();
  if (doc.loadBytes(bytes)) {
    RoundTrip(doc);
  } else {
    CheckError(doc);
  }

  // Handed over child by child, storage given back after each: the root's content seen
  // by the calls and left at the end is the ordinary load's, and so is its error.
  {
    Document handed = Document::Create();
    WideString seen;
    handed.setRootChildHandler([&seen](const Lumo::Dom::Node& root) {
      seen += ContentOf(root.xml());
      return Lumo::Dom::HandOver::Taken;
    });
    const bool ok = handed.loadBytes(bytes);
    if (ok != (doc.parseError().errorCode == 0)) Fail("a handed-over load succeeds differently");
    if (!ok && (handed.parseError().errorCode != doc.parseError().errorCode ||
                handed.parseError().filepos != doc.parseError().filepos))
      Fail("a handed-over load fails differently");
    if (ok && doc.documentElement()) {
      const Lumo::Dom::Node rest = handed.documentElement();
      seen += ContentOf(rest.xml());
      // The mark of white space dropped before the root's end tag is written only where
      // the root still has children.
      WideString expected = ContentOf(doc.documentElement().xml());
      if (!rest.hasChildNodes() && expected.size() >= 2 &&
          expected.compare(expected.size() - 2, 2, u"\r\n") == 0)
        expected.resize(expected.size() - 2);
      if (seen != expected)
        Fail("a handed-over load gives another content",
             Narrow(doc.documentElement().xml()) + "\n  handed over: " + Narrow(seen));
    }
  }

  // Written as it is loaded (StreamedRootWriter): the bytes the loaded root writes.
  {
    std::string streamed;
    Lumo::Dom::StreamedRootWriter writer([&streamed](std::string& piece) {
      streamed += piece;
      piece.clear();
    });
    Document handed = Document::Create();
    handed.setRootChildHandler(
        [&writer](const Lumo::Dom::Node& root) { return writer.TakeChildren(root); });
    const bool ok = handed.loadBytes(bytes);
    if (ok != (doc.parseError().errorCode == 0)) Fail("a streamed load succeeds differently");
    if (ok && doc.documentElement()) {
      writer.Finish(handed.documentElement());
      std::string whole;
      doc.documentElement().appendXmlUtf8(whole);
      if (streamed != whole)
        Fail("markup written as it is loaded differs", whole + "\n  streamed: " + streamed);
    }
  }

  // Markup vouched for as its own serialisation loads, bare and after the declaration
  // envelopes put before it, into a root that writes exactly that markup. Tried on the
  // input and on what its root writes, which is mostly of that shape.
  CheckOwnMarkup(bytes);
  if (doc.parseError().errorCode == 0 && doc.documentElement()) {
    std::string whole;
    doc.documentElement().appendXmlUtf8(whole);
    CheckOwnMarkup(whole);
  }
  return 0;
}
