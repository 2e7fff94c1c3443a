// libFuzzer target for the canonical text taken straight from a normalized tree.
//
// Each input that loads is normalized in both prefix schemes (each on a fresh load), and
// the element's canonical bytes are taken both ways: from the tree (the walk that skips
// writing and parsing the markup) and from its markup parsed again. Where the tree walk
// answers, the markup must parse and give the same bytes; where the markup does not
// parse, the tree walk must have given up. The normalizer's edits (comments and
// processing instructions dropped next to remembered white space, text runs merged,
// prefixes that no longer resolve) are the shapes the walk has to follow. Where the
// fixed-prefix text is said to be its own fixed-prefix form once parsed again (what lets
// the Root action skip a pass), that is checked too; so are the numbered-prefix and the
// fixed-prefix texts taken without rewriting the tree, against the rewrite itself, and the
// numbered text and the markup taken from a settled text (or one of the wider shape the
// Envelope action reads), against its tree. The
// Root action's signed bytes and result document, however it takes them, are set against
// its steps taken literally.
//
// Built with LUMO_FUZZ_REPLAY_MAIN it runs each file named on its command line once.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/encoding.h"
#include "base/errors.h"
#include "canon/canonical.h"
#include "canon/canonicalizer.h"
#include "canon/settled_text.h"
#include "canon/normalizer.h"
#include "canon/reference.h"
#include "dom/dom.h"
#include "dom/xml_helpers.h"
#include "tests/fuzz_support.h"

using FuzzSupport::Narrow;

[[noreturn]] static void Fail(const char* what, std::string_view detail = {}) {
  FuzzSupport::Fail("fuzz_canonical", what, detail);
}

namespace {

using Lumo::Base::ByteString;
using Lumo::Base::WideString;
using Lumo::Dom::Document;
using Lumo::Dom::Node;

constexpr std::string_view kStandInValue =
    "<dsig:SigValue xmlns:dsig=\"urn:dez-ru:dsig:v1.1\">QUJD</dsig:SigValue>";

// The markup of the tree with a stand-in signature value put first into its root.
ByteString MarkupWithValue(Node tree) {
  Node value = tree.ownerDocument().createElement(u"dsig:SigValue");
  value.setAttribute(u"xmlns:dsig", u"urn:dez-ru:dsig:v1.1");
  value.setTextLatin1("QUJD");
  tree.insertBefore(value, tree.firstChild());
  ByteString markup;
  tree.appendXmlUtf8(markup);
  return markup;
}

void Compare(const WideString& text, bool numbered) {
  Document doc = Document::Create(Document::Flavour::DOMDocument60);
  if (!doc.loadXML(text) || !doc.documentElement()) return;
  Node element;
  try {
    element = Lumo::Canon::TXmlNormalizer::Normalize(doc.documentElement(), numbered);
  } catch (const Lumo::Base::ELumoException&) {
    return;  // the normalizer's own failures are not this target's subject
  }
  ByteString fromTree;
  const bool direct = Lumo::Canon::TXmlCanonicalizer::CanonicalizeTreeUtf8Append(element, fromTree);
  if (!direct && !fromTree.empty()) Fail("the tree walk gave up but left bytes behind");
  WideString xml = element.xml();
  ByteString fromMarkup;
  try {
    Lumo::Canon::TXmlCanonicalizer::CanonicalizeUtf8Append(xml, fromMarkup);
  } catch (const Lumo::Base::EXmlParserError&) {
    if (direct) Fail("the tree walk answered for markup that does not parse", Narrow(xml));
    return;
  }
  if (direct && fromTree != fromMarkup)
    Fail("the tree walk and the markup give different bytes",
         Narrow(xml) + "\n  tree:   " + fromTree + "\n  markup: " + fromMarkup);
}

// The fixed-prefix bytes the long way: the document normalized, then its canonical bytes
// from the tree or, where the tree walk gives up, from the markup. settled as the
// tree walk says (false from the markup).
ByteString RewrittenFixed(const Node& root, bool& settled) {
  settled = false;
  Node element = Lumo::Canon::TXmlNormalizer::Normalize(root, false);
  ByteString bytes;
  if (Lumo::Canon::TXmlCanonicalizer::CanonicalizeTreeUtf8Append(element, bytes, &settled))
    return bytes;
  Lumo::Canon::TXmlCanonicalizer::CanonicalizeUtf8Append(element.xml(), bytes);
  return bytes;
}

// Where the fixed-prefix bytes are taken from the tree as loaded, without rewriting it,
// they must be the rewrite's bytes, and so must the settled answer where the
// rewritten tree's walk gives one.
void CheckFixedWithoutRewrite(const WideString& text) {
  Document doc = Document::Create(Document::Flavour::DOMDocument60);
  if (!doc.loadXML(text) || !doc.documentElement()) return;
  WideString before = doc.documentElement().xml();
  ByteString taken;
  bool takenSettled = false;
  if (!Lumo::Canon::TXmlCanonicalizer::FixedTreeUtf8Append(doc.documentElement(), taken,
                                                           &takenSettled)) {
    if (!taken.empty()) Fail("the fixed-prefix walk gave up but left bytes behind");
    return;
  }
  if (doc.documentElement().xml() != before)
    Fail("the fixed-prefix walk changed the tree", Narrow(text));
  Document again = Document::Create(Document::Flavour::DOMDocument60);
  if (!again.loadXML(text)) Fail("a document loaded once does not load again", Narrow(text));
  ByteString rewritten;
  bool settled = false;
  try {
    rewritten = RewrittenFixed(again.documentElement(), settled);
  } catch (const Lumo::Base::ELumoException&) {
    Fail("the fixed-prefix walk answered for a document the rewrite fails on", Narrow(text));
  }
  if (taken != rewritten)
    Fail("the fixed-prefix walk and the rewrite give different bytes",
         Narrow(text) + "\n  walk:    " + taken + "\n  rewrite: " + rewritten);
  if (settled && !takenSettled) Fail("the fixed-prefix walk misses a settled text", Narrow(text));
}

// Where a text is read as a settled text, what is taken from the text must be what
// the tree it parses into gives: its numbered canonical text, and its markup with an
// element put first into its root. Tried on raw input as well as on fixed-prefix texts.
void CheckSettledText(const ByteString& text) {
  ByteString numbered;
  const bool plain = Lumo::Canon::IsSettledText(text);
  if (plain != Lumo::Canon::NumberedFromSettledText(text, numbered))
    Fail("the shape check alone and the numbered reader disagree", text);
  if (!plain) {
    if (!numbered.empty()) Fail("a text refused as settled left bytes behind");
    return;
  }
  Node parsed, again;
  ByteString rewritten;
  try {
    parsed = Lumo::Dom::LoadXmlUtf8(text);
    again = Lumo::Dom::LoadXmlUtf8(text);
    if (!parsed || !again) Fail("a text read as settled has no root", text);
    rewritten = Lumo::Canon::CanonicalText(std::move(again), Lumo::Canon::PrefixScheme::Numbered);
  } catch (const Lumo::Base::ELumoException&) {
    Fail("a text read as settled fails to parse or to canonicalize", text);
  }
  if (numbered != rewritten)
    Fail("the numbered text renamed and taken from the tree differ",
         text + "\n  renamed: " + numbered + "\n  tree:    " + rewritten);
  ByteString expected = MarkupWithValue(parsed);
  ByteString written;
  Lumo::Canon::WriteParsedMarkup(
      text, [](ByteString& out) { out += kStandInValue; },
      [&written](ByteString& piece) {
        written += piece;
        piece.clear();
      });
  if (written != expected)
    Fail("the markup written from the text and from its tree differ",
         text + "\n  text: " + written + "\n  tree: " + expected);
}

// Where the wider shape check accepts a text (what the Envelope action writes its data
// from), the markup written from the text must be the markup of the tree it parses into.
void CheckPlainMarkupText(const ByteString& text) {
  if (!Lumo::Canon::IsPlainMarkupText(text)) return;
  Node parsed;
  try {
    parsed = Lumo::Dom::LoadXmlUtf8(text);
  } catch (const Lumo::Base::ELumoException&) {
    Fail("a text of the wider plain shape fails to parse", text);
  }
  if (!parsed) Fail("a text of the wider plain shape has no root", text);
  ByteString expected;
  parsed.appendXmlUtf8(expected);
  ByteString written;
  Lumo::Canon::WriteParsedMarkup(text, nullptr, [&written](ByteString& piece) {
    written += piece;
    piece.clear();
  });
  if (written != expected)
    Fail("the markup written from a text of the wider shape and from its tree differ",
         text + "\n  text: " + written + "\n  tree: " + expected);
}

// A settled text read child by child, as the Childs action writes it: each child's text
// must be the fixed-prefix text of the child's xml parsed alone, and the markup with each
// child written from its text must be the parent's, children replaced, parsed again.
void CheckChildsText(const ByteString& c0) {
  std::vector<ByteString> children;
  ByteString written;
  auto sink = [&written](ByteString& piece) {
    written += piece;
    piece.clear();
  };
  Lumo::Canon::WriteParsedMarkupReplacingChildren(
      c0,
      [&](std::string_view childText, ByteString& out) {
        children.emplace_back(childText);
        Lumo::Canon::WriteParsedMarkup(childText, nullptr, out, sink);
      },
      sink);
  Node parent = Lumo::Canon::Reference::ParseCanonical(c0);
  size_t k = 0;
  for (Node child = Lumo::Dom::FindChildElement(parent, ""); child; ++k) {
    Node next = Lumo::Dom::FindNextElement(child, "");
    ByteString fixed = Lumo::Canon::Reference::CanonicalText(Lumo::Dom::LoadXmlString(child.xml()),
                                                             Lumo::Canon::PrefixScheme::Fixed);
    if (k >= children.size() || children[k] != fixed)
      Fail("a child's text is not its own fixed-prefix text",
           c0 + "\n  child: " + (k < children.size() ? children[k] : "(none)") +
               "\n  fixed: " + fixed);
    parent.replaceChild(Lumo::Canon::Reference::ParseCanonical(fixed).copyInto(parent), child);
    child = next;
  }
  if (k != children.size()) Fail("the children read from the text are not the tree's", c0);
  ByteString expected;
  Lumo::Dom::LoadXmlString(parent.xml()).appendXmlUtf8(expected);
  if (written != expected)
    Fail("the markup written child by child differs from the tree's",
         c0 + "\n  text: " + written + "\n  tree: " + expected);
}

// A fixed-prefix canonical text said to be its own fixed-prefix form must be: parsed
// again (where it parses) it gives itself back.
void CheckSettled(const WideString& text) {
  Document doc = Document::Create(Document::Flavour::DOMDocument60);
  if (!doc.loadXML(text) || !doc.documentElement()) return;
  bool settled = false;
  ByteString c0;
  try {
    c0 = Lumo::Canon::FixedCanonicalText(doc.documentElement(), settled);
  } catch (const Lumo::Base::ELumoException&) {
    return;
  }
  CheckSettledText(c0);
  CheckPlainMarkupText(c0);
  if (!settled) return;
  if (Lumo::Canon::IsSettledText(c0)) CheckChildsText(c0);  // as the Childs action takes it
  Node again = Lumo::Dom::LoadXmlUtf8(c0);
  if (!again) return;
  ByteString c1;
  try {
    bool unused = false;
    c1 = RewrittenFixed(again, unused);
  } catch (const Lumo::Base::ELumoException&) {
    Fail("a settled text fails the fixed-prefix pipeline", c0);
  }
  if (c1 != c0) Fail("a settled text does not give itself back", c0 + "\n  again:  " + c1);
}

// Where the numbered-prefix text is taken without rewriting the tree, it must be the
// text the rewrite gives, and the tree must be left as it was. Tried on the loaded input
// and on the tree parsed from its fixed-prefix text (the shape the Root action meets).
// `copy` is the same tree loaded again.
void CheckNumberedKeepingTree(const Node& tree, Node copy, const std::string& describe) {
  WideString before = tree.xml();
  std::optional<ByteString> kept = Lumo::Canon::NumberedCanonicalTextKeepingTree(tree);
  if (!kept) {
    if (tree.xml() != before) Fail("the numbered walk gave up but changed the tree", describe);
    return;
  }
  if (tree.xml() != before) Fail("the numbered walk changed the tree", describe);
  ByteString rewritten;
  try {
    rewritten = Lumo::Canon::CanonicalText(std::move(copy), Lumo::Canon::PrefixScheme::Numbered);
  } catch (const Lumo::Base::ELumoException&) {
    Fail("the numbered walk answered for a tree the rewrite fails on", describe);
  }
  if (*kept != rewritten)
    Fail("the numbered walk and the rewrite give different bytes",
         describe + "\n  walk:    " + *kept + "\n  rewrite: " + rewritten);
}

void CheckNumbered(const WideString& text) {
  Node input;
  try {
    input = Lumo::Dom::LoadXmlString(text);
  } catch (const Lumo::Base::ELumoException&) {
    return;
  }
  if (!input) return;
  CheckNumberedKeepingTree(input, Lumo::Dom::LoadXmlString(text), Narrow(text));
  ByteString c0;
  try {
    c0 = Lumo::Canon::CanonicalText(std::move(input), Lumo::Canon::PrefixScheme::Fixed);
  } catch (const Lumo::Base::ELumoException&) {
    return;
  }
  Node r1;
  try {
    r1 = Lumo::Dom::LoadXmlUtf8(c0);
  } catch (const Lumo::Base::ELumoException&) {
    return;
  }
  if (r1) CheckNumberedKeepingTree(r1, Lumo::Dom::LoadXmlUtf8(c0), c0);
}

// The Root action's steps taken literally: every canonical text from the normalized
// element's markup, every tree parsed afresh. The signed bytes, and the result's markup
// with a stand-in signature value first in its root; "error" where a step fails.
struct RootResult {
  ByteString signedBytes;
  ByteString markup;
  bool failed = false;
};

// A load that gives no root element counts as failed (the entry points refuse it).
Node Loaded(Node root) {
  if (!root) throw Lumo::Dom::MakeXmlParserError(nullptr);
  return root;
}

RootResult LiteralRoot(const WideString& text) {
  RootResult result;
  try {
    using Lumo::Canon::PrefixScheme;
    namespace Reference = Lumo::Canon::Reference;
    ByteString c0 =
        Reference::CanonicalText(Loaded(Lumo::Dom::LoadXmlString(text)), PrefixScheme::Fixed);
    ByteString c = Reference::CanonicalTextOfText(c0, PrefixScheme::Fixed);
    result.signedBytes = Reference::CanonicalTextOfText(c, PrefixScheme::Numbered);
    result.markup = MarkupWithValue(Reference::ParseCanonical(c));
  } catch (const Lumo::Base::ELumoException&) {
    result = RootResult();
    result.failed = true;
  }
  return result;
}

RootResult ShortcutRoot(const WideString& text, bool resultAsText) {
  RootResult result;
  try {
    Lumo::Canon::RootForm form =
        Lumo::Canon::RootFormOfDocument(Loaded(Lumo::Dom::LoadXmlString(text)), resultAsText);
    if (!form.tree == form.text.empty())
      Fail("a Root form must hold its result once", Narrow(text));
    if (!resultAsText && !form.tree) Fail("a Root form asked for a tree gave text", Narrow(text));
    result.signedBytes = std::move(form.signedBytes);
    if (form.tree) {
      result.markup = MarkupWithValue(form.tree);
    } else {
      Lumo::Canon::WriteParsedMarkup(
          form.text, [](ByteString& out) { out += kStandInValue; },
          [&result](ByteString& piece) {
            result.markup += piece;
            piece.clear();
          });
    }
  } catch (const Lumo::Base::ELumoException&) {
    result = RootResult();
    result.failed = true;
  }
  return result;
}

// Whatever way the Root action takes, its signed bytes and its result document must be
// those of the literal steps (or both must fail).
void CheckRoot(const WideString& text) {
  const RootResult literal = LiteralRoot(text);
  for (bool resultAsText : {true, false}) {
    const RootResult taken = ShortcutRoot(text, resultAsText);
    if (taken.failed != literal.failed)
      Fail(literal.failed ? "Root answered where its literal steps fail"
                          : "Root failed where its literal steps answer",
           Narrow(text));
    if (taken.signedBytes != literal.signedBytes)
      Fail("Root's signed bytes differ from its literal steps'",
           Narrow(text) + "\n  taken:   " + taken.signedBytes +
               "\n  literal: " + literal.signedBytes);
    if (taken.markup != literal.markup)
      Fail("Root's result differs from its literal steps'",
           Narrow(text) + "\n  taken:   " + taken.markup + "\n  literal: " + literal.markup);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 18)) return 0;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // Bytes as Latin-1 wide text, and the same bytes decoded as UTF-8 where they are.
  WideString latin(bytes.begin(), bytes.end());
  for (char16_t& c : latin) c = static_cast<unsigned char>(c);
  CheckSettledText(ByteString(bytes));
  CheckPlainMarkupText(ByteString(bytes));
  Compare(latin, false);
  Compare(latin, true);
  CheckSettled(latin);
  CheckNumbered(latin);
  CheckFixedWithoutRewrite(latin);
  CheckRoot(latin);
  if (Lumo::Base::IsStandardBmpUtf8(bytes)) {
    WideString utf16 = Lumo::Base::Utf8Decode(bytes);
    if (utf16 != latin) {
      Compare(utf16, false);
      Compare(utf16, true);
      CheckSettled(utf16);
      CheckNumbered(utf16);
      CheckFixedWithoutRewrite(utf16);
      CheckRoot(utf16);
    }
  }
  return 0;
}
