// CanonicalText: the pipeline the key profile runs to take signed bytes. Each shortcut
// answers only where it is certain to give the reference bytes, and goes through
// shortcut.h, which bypasses it while the reference switch is on and, in checking builds,
// takes every answer again the reference way.
#include "canon/canonical.h"

#include <cassert>
#include <utility>

#include "base/encoding.h"
#include "canon/canonicalizer.h"
#include "canon/normalizer.h"
#include "canon/settled_text.h"
#include "canon/shortcut.h"
#include "dom/xml_helpers.h"

namespace Lumo::Canon {

using Lumo::Base::ByteString;
using Lumo::Dom::Node;
using Reference::ParseCanonical;
using Shortcuts::Allowed;
using Shortcuts::Answered;

namespace {

bool Numbered(PrefixScheme scheme) { return scheme == PrefixScheme::Numbered; }

size_t SizeHint(const Node& node) { return Lumo::Dom::NodeView(node).documentSizeHint(); }

// One of the canonicalizer's tree walks, as the shortcut s, into bytes reserved for the
// document's size; nothing when the walk gives up (or the switch is on).
template <class Walk, class ReferenceWay>
std::optional<ByteString> FromTree(Shortcut s, const Node& node, Walk walk,
                                   ReferenceWay reference) {
  ByteString bytes;
  const size_t hint = SizeHint(node);
  auto fast = [&](ByteString& out) {
    out.reserve(hint + hint / 4);
    return walk(node, out);
  };
  if (Shortcuts::Take(s, hint, bytes, fast, reference)) return bytes;
  return std::nullopt;
}

// Shortcut: steps 2 and 3 straight from the normalized tree where its markup parses back
// plainly (nearly always).
std::optional<ByteString> WalkAsParsedAgain(const Node& element, bool* settled = nullptr) {
  return FromTree(
      Shortcut::TreeWalk, element,
      [settled](const Node& n, ByteString& b) {
        return TXmlCanonicalizer::CanonicalizeTreeUtf8Append(n, b, settled);
      },
      [&] { return Reference::CanonicalOfNormalized(element); });
}

// Shortcut: the fixed-prefix bytes from the tree as loaded, without the rewrite. The
// check runs the rewrite afterwards on the same tree, which the caller has given up.
std::optional<ByteString> WalkFixedWithoutRewrite(const Node& held, bool* settled) {
  return FromTree(
      Shortcut::FixedWalk, held,
      [settled](const Node& n, ByteString& b) {
        return TXmlCanonicalizer::FixedTreeUtf8Append(n, b, settled);
      },
      [&] { return Reference::CanonicalText(held, PrefixScheme::Fixed); });
}

// A fixed-prefix text said to be its own fixed-prefix form lets the Root action skip its
// second pass: the pass it skips must give the text back.
void CheckSettledClaim(const ByteString& c) {
  Answered(Shortcut::SettledText, c.size(), c,
           [&] { return Reference::CanonicalTextOfText(c, PrefixScheme::Fixed); });
}

// The numbered bytes of the tree C parses into, however taken, against the numbered pass
// run on C itself.
auto NumberedPassOf(std::string_view c) {
  return [c] { return Reference::CanonicalTextOfText(c, PrefixScheme::Numbered); };
}

}  // namespace

ByteString CanonicalText(const Node& node, PrefixScheme scheme) {
  // 1. Normalize in place; the element that now stands for the node comes back.
  Node element = TXmlNormalizer::Normalize(node, Numbered(scheme));
  // 2. Its xml text, canonicalized; 3. encoded as UTF-8 one UTF-16 unit at a time.
  if (std::optional<ByteString> bytes = WalkAsParsedAgain(element)) return std::move(*bytes);
  return Reference::CanonicalOfNormalized(element);
}

namespace {

ByteString CanonicalTextOf(Node&& node, PrefixScheme scheme, bool* settled) {
  Lumo::Base::WideString xml;
  {
    Node held = std::move(node);
    // The document is given up: where the rewrite can be followed without making it,
    // the bytes come from the tree as loaded.
    if (scheme == PrefixScheme::Fixed) {
      if (std::optional<ByteString> bytes = WalkFixedWithoutRewrite(held, settled))
        return std::move(*bytes);
    }
    Node element = TXmlNormalizer::Normalize(held, Numbered(scheme));
    if (std::optional<ByteString> bytes = WalkAsParsedAgain(element, settled))
      return std::move(*bytes);
    element.appendXml(xml);
  }  // both handles gone: the document goes unless the caller kept another one
  if (settled) *settled = false;
  ByteString bytes;
  TXmlCanonicalizer::CanonicalizeUtf8Append(xml, bytes);
  return bytes;
}

}  // namespace

ByteString CanonicalText(Node&& node, PrefixScheme scheme) {
  return CanonicalTextOf(std::move(node), scheme, nullptr);
}

ByteString FixedCanonicalText(Node&& node, bool& settled) {
  settled = false;
  ByteString c = CanonicalTextOf(std::move(node), PrefixScheme::Fixed, &settled);
  if (settled) CheckSettledClaim(c);
  return c;
}

FixedTextByChildren::FixedTextByChildren() : canonicalizer_(new TXmlCanonicalizer()) {}
FixedTextByChildren::~FixedTextByChildren() = default;

bool FixedTextByChildren::Walk(const Node& root, bool last) {
  ByteString batch;
  bool settled = false;
  // After the first batch the root's start tag is known: each later walk writes only the
  // children it holds and the end tag.
  if (gaveUp_ || !Allowed(Shortcut::FixedByChildren) ||
      !canonicalizer_->FixedWalkOfSameDocument(root, batch, &settled, started_)) {
    gaveUp_ = true;
    ByteString().swap(text_);
    return false;
  }
  settled_ = settled_ && settled;
  if (!started_) {
    started_ = true;
    endTag_ = 3 + batch.find_first_of(" >") - 1;  // "</" name ">"
    // Room for the whole text at once: a string that outgrows its room is copied into
    // one twice its size, and the process then holds both. The canonical text of many
    // small children can be twice the document (each child declares the namespaces in
    // scope); room not written to is only address space, never resident, so 64-bit
    // processes take room for that at once, 32-bit ones, short of address space, less.
    const size_t hint = Lumo::Dom::NodeView(root).documentSizeHint();
    text_.reserve(sizeof(void*) >= 8 ? 2 * hint + hint / 4 : hint + hint / 4);
  }
  text_.append(batch, 0, batch.size() - (last ? 0 : endTag_));
  return true;
}

Lumo::Dom::HandOver FixedTextByChildren::TakeChildren(const Node& root) {
  // A few children a batch: what stays for later is a small part of a document of many
  // children, and the root is walked once for all of them.
  constexpr size_t kBatch = 32;
  if (++waiting_ < kBatch) return Lumo::Dom::HandOver::Later;
  waiting_ = 0;
  return Walk(root, false) ? Lumo::Dom::HandOver::Taken : Lumo::Dom::HandOver::Declined;
}

std::optional<ByteString> FixedTextByChildren::Finish(const Node& root, bool& settled) {
  settled = false;
  if (!Walk(root, true)) return std::nullopt;
  settled = settled_;
  if (settled) CheckSettledClaim(text_);
  return std::move(text_);
}

std::optional<ByteString> FixedTextOfLoaded(const DocumentLoader& load, bool& settled) {
  // Taken as the input is parsed, a batch of the root's children at a time: a packet of
  // many documents is never held as one tree.
  FixedTextByChildren taker;
  Node root = load([&taker](const Node& parsed) { return taker.TakeChildren(parsed); });
  if (!root) return std::nullopt;
  std::optional<ByteString> c0 = taker.Finish(root, settled);
  if (!c0) {
    // Children handed over are gone from this tree: the input is loaded again, whole.
    if (taker.TookChildren()) root = load(nullptr);
    return FixedCanonicalText(std::move(root), settled);
  }
  root = Node();
  Answered(Shortcut::FixedByChildren, c0->size(), *c0,
           [&] { return Reference::CanonicalText(load(nullptr), PrefixScheme::Fixed); });
  return c0;
}

std::optional<ByteString> NumberedCanonicalTextKeepingTree(const Node& node) {
  if (!Allowed(Shortcut::NumberedKeepingTree)) return std::nullopt;
  ByteString bytes;
  const size_t hint = SizeHint(node);
  bytes.reserve(hint + hint / 4);
  if (!TXmlCanonicalizer::NumberedTreeUtf8Append(node, bytes)) return std::nullopt;
  return bytes;
}

namespace {

// RootFormOfFixedText; walked: c is a text a tree walk wrote and called settled, whose
// characters need no second look.
RootForm RootFormOf(ByteString c, bool resultAsText, bool walked) {
  RootForm form;
  // The result written from C itself needs C's numbered text renamed from it.
  if (resultAsText && Allowed(Shortcut::ResultMarkup) &&
      Shortcuts::Take(
          Shortcut::NumberedRenamed, c.size(), form.signedBytes,
          [&](ByteString& out) {
            return walked ? NumberedFromWalkedText(c, out) : NumberedFromSettledText(c, out);
          },
          NumberedPassOf(c))) {
    form.text = std::move(c);
    return form;
  }
  // R1 is needed unchanged as the result: its numbered text is taken without rewriting
  // it where that can be done, else from a rewrite of it and the result parsed afresh.
  Node r1 = ParseCanonical(c);
  if (std::optional<ByteString> kept = NumberedCanonicalTextKeepingTree(r1)) {
    Answered(Shortcut::NumberedKeepingTree, c.size(), *kept, NumberedPassOf(c));
    if constexpr (kCheckShortcuts) {
      ByteString result;
      r1.appendXmlUtf8(result);
      Answered(Shortcut::TreeKeptAsResult, c.size(), result, [&] {
        ByteString fresh;
        ParseCanonical(c).appendXmlUtf8(fresh);
        return fresh;
      });
    }
    form.signedBytes = std::move(*kept);
    form.tree = std::move(r1);
    return form;
  }
  form.signedBytes = CanonicalText(std::move(r1), PrefixScheme::Numbered);
  form.tree = ParseCanonical(c);
  return form;
}

}  // namespace

RootForm RootFormOfFixedText(ByteString c, bool resultAsText) {
  return RootFormOf(std::move(c), resultAsText, false);
}

bool NumberedOfSettledChild(std::string_view c, ByteString& numbered) {
  return Shortcuts::Take(
      Shortcut::NumberedRenamedChild, c.size(), numbered,
      [c](ByteString& out) { return NumberedFromSettledPart(c, out); }, NumberedPassOf(c));
}

RootForm RootFormOfDocument(Node&& root, bool resultAsText) {
  bool settled = false;
  ByteString c0 = FixedCanonicalText(std::move(root), settled);
  return RootFormOfInputText(std::move(c0), settled, resultAsText);
}

RootForm RootFormOfInputText(ByteString c, bool settled, bool resultAsText) {
  // The second fixed-prefix pass gives C0 back where C0 is its own fixed-prefix form.
  const bool walked = settled && Allowed(Shortcut::SettledText);
  if (!walked) c = CanonicalText(ParseCanonical(c), PrefixScheme::Fixed);
  return RootFormOf(std::move(c), resultAsText, walked);
}

}  // namespace Lumo::Canon
