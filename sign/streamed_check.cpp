// The check taken as the document is parsed, the way the signing actions take what they
// sign; the check on the whole tree (signature_check.cpp) wherever this one cannot say OK.
#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/errors.h"
#include "canon/canonical.h"
#include "canon/check.h"
#include "canon/shortcut.h"
#include "canon/settled_text.h"
#include "dom/xml_chars.h"
#include "dom/xml_helpers.h"
#include "sign/check_steps.h"
#include "sign/profile.h"
#include "sign/signature_check.h"
#include "sign/signed_tree.h"

namespace Lumo::Sign {

using namespace Lumo::Base;
using namespace Lumo::Dom;
using namespace CheckSteps;

namespace {

// A verdict as text, for telling two ways of taking it apart.
ByteString VerdictLine(const SignatureVerdict& v) {
  return "\n" + std::to_string(v.index) + " " + std::to_string(static_cast<int>(v.code)) + " " +
         v.reason + " " + v.warning;
}

ByteString VerdictText(const SignatureCheck& check, const ByteString& handedOn = {}) {
  ByteString text = handedOn;
  for (const SignatureVerdict& v : check.verdicts) text += VerdictLine(v);
  return text + "\n" + check.notCovered;
}

// The signature value of a signed element where it is plain (its first element, of Base64
// text with no attribute but declarations), taken out of it with its text; null, and the
// element left as it was, where it is not: the whole check then says what it is.
Dom::Node TakePlainValue(const Dom::Node& element, WideString& text) {
  Dom::Node value = SignatureValueOf(element);
  if (!value) return value;
  for (NodeView a = NodeView(value).firstAttribute(); a; a = a.nextAttribute())
    if (!a.nameView().starts_with(kDeclarationPrefix) && a.nameView() != u"xmlns")
      return Dom::Node();
  for (NodeView c = NodeView(value).firstChild(); c; c = c.nextSibling())
    if (!c.isText()) return Dom::Node();
  text = value.text();
  Dom::Node(element).removeChild(value);
  return value;
}

// Whether the document shows anything around its root element (a document type
// declaration, comments, processing instructions).
bool AnythingAroundRoot(const Dom::Node& root) {
  bool around = false;
  DocumentLevelItems(root, 0, [&around](const char*, uint32_t) { around = true; });
  return around;
}

// The root's children now held against the text taken so far (the root's start tag first,
// the first time): each child element compared with its part, nothing else but white
// space between them.
bool MatchChildren(StreamedMatch& match, bool& started, const Dom::Node& root,
                   std::string_view text) {
  if (!started && !match.Start(root, text)) return false;
  started = true;
  for (NodeView n = NodeView(root).firstChild(); n; n = n.nextSibling()) {
    if (n.isElement()) {
      if (!match.Child(n.node(), text)) return false;
    } else if (!n.isText() || !Lumo::Dom::IsWhiteSpaceOnly(n.valueView())) {
      return false;
    }
  }
  return true;
}

// What Root signed, checked as the Root action takes what it signs: the signature value
// taken out of the root as soon as it is parsed, the fixed-prefix text taken a batch of
// children at a time (Canon::FixedTextByChildren), each child compared with its part of
// that text as it is taken (StreamedMatch) and given back to the load, so that the tree
// is never held whole; the signed bytes then renamed from the text where it is settled
// (Canon::RootFormOfInputText). The text compared is C0: where the signed bytes are
// renamed from it, their tree is its tree. Answers only an accepted verdict; wherever
// anything is not plain (the value, anything a reader sees besides the signed elements, a
// shortcut giving up, a signature that does not verify) it answers nothing, and the whole
// check runs on the document loaded whole and says what.
class RootStream {
 public:
  // handsOver: the load gives the children back (else the tree is given whole, and the
  // value is kept to be put back for the whole check).
  explicit RootStream(bool handsOver) : handsOver_(handsOver) {}

  // The load's handler of the root's children.
  HandOver Take(const Dom::Node& root) {
    if (gaveUp_) return HandOver::Taken;  // the rest only parsed: the whole check reloads
    if (!valueTaken_ && !TakeValue(root)) return GiveUp();
    const HandOver handOver = taker_.TakeChildren(root);
    if (handOver == HandOver::Declined) return GiveUp();
    if (handOver == HandOver::Taken && !MatchChildren(match_, started_, root, taker_.Text()))
      return GiveUp();
    return handOver;
  }

  // Once the load is done: the verdict where it is accepted.
  std::optional<SignatureVerdict> Finish(TProfile& profile, const Dom::Node& root) {
    if (gaveUp_ || (!valueTaken_ && !TakeValue(root))) return std::nullopt;
    bool settled = false;
    std::optional<ByteString> c0 = taker_.Finish(root, settled);
    if (!c0 || !settled || !MatchChildren(match_, started_, root, *c0) || !match_.End(*c0) ||
        AnythingAroundRoot(root))
      return std::nullopt;
    ByteString signature;
    if (!DecodeSignatureValue(valueText_, signature)) return std::nullopt;
    Lumo::Canon::RootForm form = Lumo::Canon::RootFormOfInputText(std::move(*c0), true, true);
    if (form.text.empty()) return std::nullopt;
    SignatureVerdict verdict;
    verdict.element = root.nodeName();
    if (!profile.IsTestMode()) verdict.signers = ReadCmsSigners(signature);
    Verify(profile, form.signedBytes, signature, verdict);
    if (!verdict.verified) return std::nullopt;
    signedBytes_ = std::move(form.signedBytes);
    return verdict;
  }

  // The tree given whole, as it was before Finish, for the whole check.
  void PutBack(const Dom::Node& root) {
    if (value_) Dom::Node(root).insertBefore(value_, root.firstChild());
    value_ = Dom::Node();
  }

  const ByteString& SignedBytes() const { return signedBytes_; }

 private:
  HandOver GiveUp() {
    gaveUp_ = true;
    return handsOver_ ? HandOver::Taken : HandOver::Declined;
  }

  bool TakeValue(const Dom::Node& root) {
    Dom::Node value = TakePlainValue(root, valueText_);
    if (!value) return false;
    // A load that gives children back gives this one's storage back too: no handle stays.
    if (!handsOver_) value_ = std::move(value);
    valueTaken_ = true;
    return true;
  }

  const bool handsOver_;
  Lumo::Canon::FixedTextByChildren taker_;
  StreamedMatch match_;
  WideString valueText_;
  Dom::Node value_;  // the value taken out of a tree given whole
  ByteString signedBytes_;
  bool valueTaken_ = false, started_ = false, gaveUp_ = false;
};

// What Childs signed, checked as the Childs action takes what it signs: each child's
// value taken out as the child is parsed, the fixed-prefix text taken a batch at a time,
// each child compared with its part of it, then each child's own text read from the
// batch's text as the action reads it from the whole (Canon::
// WriteParsedMarkupReplacingChildren on the root's tags around the batch: a child's text
// depends on the child and the root alone), its numbered bytes renamed from it, verified,
// and the batch given back. Nothing is kept per child but its verdict and a hash of its
// signed bytes. Answers only where every child is accepted, as RootStream does.
class ChildsStream {
 public:
  // onVerdict: where accepted verdicts go as they are known (null: kept).
  ChildsStream(TProfile& profile, const std::function<void(SignatureVerdict&&)>& onVerdict)
      : profile_(profile), onVerdict_(onVerdict) {}

  HandOver Take(const Dom::Node& root) {
    if (gaveUp_) return HandOver::Taken;
    // What stands before the root is known now, before any verdict is handed on: a
    // document type changes every child's verdict.
    if (!looked_ && AnythingAroundRoot(root)) return GiveUp();
    looked_ = true;
    if (!TakeValues(root)) return GiveUp();
    const HandOver handOver = taker_.TakeChildren(root);
    if (handOver == HandOver::Declined) return GiveUp();
    if (handOver == HandOver::Taken) {
      if (!Batch(root, taker_.Text(), false)) return GiveUp();
      held_ = 0;
    }
    return handOver;
  }

  std::optional<SignatureCheck> Finish(const Dom::Node& root) {
    if (gaveUp_ || !TakeValues(root)) return std::nullopt;
    bool settled = false;
    std::optional<ByteString> c0 = taker_.Finish(root, settled);
    if (!c0 || !settled || !Batch(root, *c0, true) || !match_.End(*c0) ||
        AnythingAroundRoot(root) || checked_ == 0)
      return std::nullopt;
    check_.notCovered = NotCovered(root, false, false, false);
    return std::move(check_);
  }

  // How many children were accepted (and handed on, where verdicts go as they are known).
  size_t Checked() const { return checked_; }
  // The verdicts handed on, as text (kept in checking builds only).
  const ByteString& HandedOn() const { return handedOn_; }
  // Every child's signed bytes, one after another (kept in checking builds only).
  const ByteString& SignedBytes() const { return signedBytes_; }

 private:
  struct Value {
    WideString text;     // Base64
    WideString element;  // the child's name
  };

  HandOver GiveUp() {
    gaveUp_ = true;
    return HandOver::Taken;
  }

  // The values of the child elements parsed since the last call.
  bool TakeValues(const Dom::Node& root) {
    size_t seen = 0;
    for (Dom::Node child = FindChildElement(root, ""); child; child = FindNextElement(child, "")) {
      if (seen++ < held_) continue;
      Value& value = batch_.emplace_back();
      value.element = child.nodeName();
      if (!TakePlainValue(child, value.text)) return false;
    }
    held_ = seen;
    return true;
  }

  // The root's children now held, against the text taken so far.
  bool Batch(const Dom::Node& root, std::string_view text, bool last) {
    if (!taker_.SettledSoFar() || !MatchChildren(match_, started_, root, text)) return false;
    if (startTag_.empty()) {
      // The root's start tag, as the text begins (a value may hold '>', never '"').
      bool quoted = false;
      size_t end = 0;
      while (end < text.size() && (quoted || text[end] != '>')) quoted ^= text[end++] == '"';
      if (end == text.size()) return false;
      startTag_ = text.substr(0, end + 1);
      endTag_ = "</" + startTag_.substr(1, startTag_.find_first_of(" >") - 1) + ">";
      from_ = startTag_.size();
    }
    // The batch's children between the root's tags: a settled text of its own.
    ByteString part = startTag_;
    part.append(text.substr(from_));
    if (!last) part += endTag_;
    from_ = text.size();
    if (!Lumo::Canon::IsSettledText(part)) return false;
    size_t k = 0;
    bool ok = true;
    Lumo::Canon::WriteParsedMarkupReplacingChildren(
        part,
        [&](std::string_view childText, ByteString&) {
          ok = ok && k < batch_.size() && Child(childText, batch_[k++]);
        },
        [](ByteString& bytes) { bytes.clear(); });
    ok = ok && k == batch_.size();
    batch_.clear();
    return ok;
  }

  bool Child(std::string_view childText, const Value& value) {
    if (!Lumo::Canon::NumberedOfSettledChild(childText, signed_)) return false;
    ByteString signature;
    if (!DecodeSignatureValue(value.text, signature)) return false;
    SignatureVerdict verdict;
    verdict.index = static_cast<int32_t>(checked_ + 1);
    verdict.element = value.element;
    if (!profile_.IsTestMode()) verdict.signers = ReadCmsSigners(signature);
    Verify(profile_, signed_, signature, verdict);
    // The same hash twice may be a replay: the whole check tells.
    if (!verdict.verified || !hashes_.insert(std::hash<std::string_view>()(signed_)).second)
      return false;
    if (Lumo::Canon::kCheckShortcuts) signedBytes_ += signed_ + '\0';
    ++checked_;
    if (!onVerdict_) {
      check_.verdicts.push_back(std::move(verdict));
    } else {
      if (Lumo::Canon::kCheckShortcuts) handedOn_ += VerdictLine(verdict);
      onVerdict_(std::move(verdict));
    }
    return true;
  }

  TProfile& profile_;
  const std::function<void(SignatureVerdict&&)>& onVerdict_;
  size_t checked_ = 0;
  ByteString handedOn_;
  Lumo::Canon::FixedTextByChildren taker_;
  StreamedMatch match_;
  std::vector<Value> batch_;  // values of the children held, in order
  size_t held_ = 0;           // child elements held whose values are taken
  ByteString startTag_, endTag_, signed_, signedBytes_;
  size_t from_ = 0;  // where the next batch's children begin in the text
  std::unordered_set<size_t> hashes_;
  SignatureCheck check_;
  bool started_ = false, gaveUp_ = false, looked_ = false;
};

// A streamed check, in a checking build taken again by the whole check on the document
// loaded whole, its signed bytes the long way. handedOn: the verdicts handed on already.
SignatureCheck Streamed(SignatureCheck check, const ByteString& signedBytes, SignedBy action,
                        const std::function<Dom::Node()>& reload, TProfile& profile,
                        const CheckOptions& options, const ByteString& handedOn = {}) {
  // In checking builds: the signed bytes the long way, and the whole check's verdicts.
  ByteString taken;
  if constexpr (Lumo::Canon::kCheckShortcuts)
    taken = signedBytes + '\x01' + VerdictText(check, handedOn);
  CheckOptions whole = options;
  whole.onVerdict = nullptr;
  Lumo::Canon::Shortcuts::Answered(
      Lumo::Canon::Shortcut::StreamedCheck, signedBytes.size(), taken, [&] {
        ByteString all;
        for (const SignedPart& part : SignedParts(reload(), action))
          all += action == SignedBy::Root ? part.signedBytes : part.signedBytes + '\0';
        return all + '\x01' + VerdictText(WholeCheck(profile, reload(), action, whole));
      });
  return check;
}

// The verdicts kept handed on where the caller asked for them as they are known.
SignatureCheck HandOn(SignatureCheck check, const CheckOptions& options, size_t from = 0) {
  if (!options.onVerdict) return check;
  for (size_t i = from; i < check.verdicts.size(); ++i)
    options.onVerdict(std::move(check.verdicts[i]));
  check.verdicts.clear();
  return check;
}

}  // namespace

SignatureCheck CheckDocument(TProfile& profile, Dom::Node root, SignedBy action,
                             const CheckOptions& options) {
  if (action == SignedBy::Root &&
      Lumo::Canon::Shortcuts::Allowed(Lumo::Canon::Shortcut::StreamedCheck)) {
    RootStream stream(false);
    if (std::optional<SignatureVerdict> verdict = stream.Finish(profile, root)) {
      stream.PutBack(root);
      SignatureCheck check;
      check.verdicts.push_back(std::move(*verdict));
      // The checking build's whole check rewrites the tree: it gets a copy.
      const WideString markup = Lumo::Canon::kCheckShortcuts ? root.xml() : WideString();
      return Streamed(
          std::move(check), stream.SignedBytes(), action, [&] { return LoadXmlString(markup); },
          profile, options);
    }
    stream.PutBack(root);
  }
  return WholeCheck(profile, std::move(root), action, options);
}

std::optional<SignatureCheck> CheckLoaded(TProfile& profile,
                                          const Lumo::Canon::DocumentLoader& load, SignedBy action,
                                          const CheckOptions& options) {
  size_t handedOn = 0;  // verdicts handed on before the whole check had to run
  ByteString handedOnText;
  if (Lumo::Canon::Shortcuts::Allowed(Lumo::Canon::Shortcut::StreamedCheck)) {
    auto reload = [&] { return load(nullptr); };
    if (action == SignedBy::Root) {
      RootStream stream(true);
      Dom::Node root = load([&stream](const Dom::Node& r) { return stream.Take(r); });
      if (!root) return std::nullopt;
      if (std::optional<SignatureVerdict> verdict = stream.Finish(profile, root)) {
        root = Dom::Node();
        SignatureCheck check;
        check.verdicts.push_back(std::move(*verdict));
        return HandOn(
            Streamed(std::move(check), stream.SignedBytes(), action, reload, profile, options),
            options);
      }
    } else {
      ChildsStream stream(profile, options.onVerdict);
      Dom::Node root = load([&stream](const Dom::Node& r) { return stream.Take(r); });
      if (!root) return std::nullopt;
      if (std::optional<SignatureCheck> check = stream.Finish(root)) {
        root = Dom::Node();
        return Streamed(std::move(*check), stream.SignedBytes(), action, reload, profile, options,
                        stream.HandedOn());
      }
      handedOn = stream.Checked();
      handedOnText = stream.HandedOn();
    }
  }
  Dom::Node root = load(nullptr);
  if (!root) return std::nullopt;
  CheckOptions whole = options;
  whole.onVerdict = nullptr;
  SignatureCheck check = WholeCheck(profile, std::move(root), action, whole);
  if (!options.onVerdict) return check;
  // The children accepted as they were parsed were handed on already: the whole check
  // gives them the same verdicts (a child's verdict depends on it and those before it).
  if (Lumo::Canon::kCheckShortcuts) {
    SignatureCheck first;
    first.verdicts.assign(check.verdicts.begin(),
                          check.verdicts.begin() + static_cast<std::ptrdiff_t>(
                                                       std::min(handedOn, check.verdicts.size())));
    // The verdicts handed on are part of the streamed check's answer.
    Lumo::Canon::Shortcuts::Answered(Lumo::Canon::Shortcut::StreamedCheck, handedOnText.size(),
                                     handedOnText + "\n", [&] { return VerdictText(first); });
  }
  return HandOn(std::move(check), options, handedOn);
}

}  // namespace Lumo::Sign
