// Signature values of Root- and Childs-signed documents, checked against the bytes the
// document gives once they are taken out.
#include "sign/signature_check.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/base64.h"
#include "base/encoding.h"
#include "base/errors.h"
#include "canon/canonical.h"
#include "canon/check.h"
#include "canon/reference.h"
#include "dom/xml_chars.h"
#include "dom/xml_helpers.h"
#include "provider/signatura.h"
#include "sign/profile.h"
#include "sign/signed_tree.h"
#include "sign/check_steps.h"

namespace Lumo::Sign {

using namespace Lumo::Base;
using namespace Lumo::Dom;

namespace {

constexpr const char* kNoSignatureValue =
    "Ошибка проверки ЭП: первый дочерний элемент не является элементом SigValue "
    "(urn:dez-ru:dsig:v1.1)";
constexpr const char* kNotBase64 = "Ошибка проверки ЭП: текст элемента SigValue не является Base64";
constexpr const char* kTestModeMismatch =
    "Ошибка проверки ЭП: значение подписи не совпадает с подписанными данными (режим тестирования)";
constexpr const char* kNoChildren =
    "Ошибка проверки ЭП: у корневого элемента нет дочерних элементов";
constexpr const char* kCannotRebuild =
    "Ошибка проверки ЭП: подписанные данные нельзя восстановить по этому документу: ";
constexpr const char* kNotReproducible =
    "его канонический вид не воспроизводится после записи в файл и повторного чтения";
constexpr const char* kPrefixBoundOutside1 = "префикс атрибута ";
constexpr const char* kPrefixBoundOutside2 =
    " не объявлен в подписанном элементе и связан объявлением вне его, а в подписанных данных он "
    "связан не был";
constexpr const char* kDataChanged =
    "Ошибка проверки ЭП: подписанные данные изменены (data changed): ";

}  // namespace

namespace CheckSteps {

bool IsSignatureValue(const Dom::Node& element) {
  return element && element.baseName() == kSignatureValueLocalName &&
         element.namespaceURI() == kSignatureValueNamespace;
}

// The first child element when it is a signature value element, else a null node.
Dom::Node SignatureValueOf(const Dom::Node& element) {
  Dom::Node first = FindChildElement(element, "");
  return IsSignatureValue(first) ? first : Dom::Node();
}

// The signature bytes of a value written by EncodeBase64, white space allowed anywhere;
// false for any other text (the exchange's lenient decoder would make bytes of anything,
// and a check must not verify what the signer never wrote).
bool DecodeSignatureValue(const WideString& text, ByteString& signature) {
  std::string compact;
  compact.reserve(text.size());
  for (char16_t c : text) {
    if (c == u' ' || c == u'\t' || c == u'\r' || c == u'\n') continue;
    if (c > 0x7F) return false;
    compact += static_cast<char>(c);
  }
  if (compact.empty() || compact.size() % 4 != 0) return false;
  signature = DecodeBase64(compact);
  return EncodeBase64(signature) == compact;
}

}  // namespace CheckSteps

namespace {

using namespace CheckSteps;

// The fixed-prefix canonical form of a document, parsed again: what the signing actions
// work on after their canonical pass.
Dom::Node CanonicalCopy(Dom::Node root) {
  bool settled = false;
  ByteString c0 = Lumo::Canon::FixedCanonicalText(std::move(root), settled);
  return LoadXmlUtf8(c0);
}

// The signed bytes can only be recomputed when the canonical form survives being written
// out and read back as the result file was: the fixed-prefix text of the markup, parsed,
// written as markup and parsed again, must give the same text. Asked only of a signature
// that did not verify, to tell that apart from a changed document.
bool CanonicalFormSurvivesRoundTrip(const WideString& markup) {
  try {
    ByteString once =
        Lumo::Canon::CanonicalText(LoadXmlString(markup), Lumo::Canon::PrefixScheme::Fixed);
    Dom::Node reread = LoadXmlUtf8(once);
    return reread && Lumo::Canon::CanonicalText(LoadXmlString(reread.xml()),
                                                Lumo::Canon::PrefixScheme::Fixed) == once;
  } catch (const ELumoException&) {
    return false;
  }
}

// Whether the element, as it stands, is its own fixed-prefix form: its canonical text
// taken without the prefix rewrite is the one taken with it. What a signer returns is;
// where a document is not, the signed bytes were taken from a form it no longer has (the
// rewrite does not settle on it in one pass), and cannot be taken from it again.
bool IsOwnFixedForm(const WideString& markup) {
  try {
    const ByteString asItStands =
        Lumo::Canon::Reference::CanonicalOfNormalized(LoadXmlString(markup));
    return asItStands ==
           Lumo::Canon::CanonicalText(LoadXmlString(markup), Lumo::Canon::PrefixScheme::Fixed);
  } catch (const ELumoException&) {
    return false;
  }
}

// The first element among the node and its following siblings, or null.
NodeView FirstElementFrom(NodeView node) {
  while (node && !node.isElement()) node = node.nextSibling();
  return node;
}

bool DeclaredAbove(NodeView element, WideView prefix) {
  const WideString declaration = WideString(kDeclarationPrefix) + WideString(prefix);
  for (NodeView up = element.parentNode(); up && up.isElement(); up = up.parentNode())
    if (up.attributeNamed(declaration)) return true;
  return false;
}

// The qualified name of an attribute at or below the signed element whose prefix no
// declaration inside the element binds while one on an ancestor does; empty when there
// is none. The canonical form keeps an attribute's own prefix and declares its namespace
// under a computed one, so the element as signed may leave that prefix unbound; placed
// in a result below a parent that declares the same prefix, the attribute moves into
// the parent's namespace, and the bytes computed from the result are not the signed ones.
WideString AttributeBoundOutside(const Dom::Node& signedElement) {
  const NodeView top(signedElement);
  std::unordered_map<WideView, int32_t> declaredInside;  // prefix: declarations on the path
  std::vector<std::vector<WideView>> declaredBy;         // per open element
  auto leave = [&] {
    for (WideView prefix : declaredBy.back())
      if (--declaredInside[prefix] == 0) declaredInside.erase(prefix);
    declaredBy.pop_back();
  };
  NodeView element = top;
  while (true) {
    std::vector<WideView>& own = declaredBy.emplace_back();
    for (NodeView a = element.firstAttribute(); a; a = a.nextAttribute()) {
      if (!a.nameView().starts_with(kDeclarationPrefix)) continue;
      own.push_back(a.nameView().substr(kDeclarationPrefix.size()));
      ++declaredInside[own.back()];
    }
    for (NodeView a = element.firstAttribute(); a; a = a.nextAttribute()) {
      const WideView name = a.nameView();
      const size_t colon = name.find(u':');
      if (colon == WideView::npos) continue;
      const WideView prefix = name.substr(0, colon);
      if (prefix == u"xmlns" || prefix == u"xml" || declaredInside.count(prefix)) continue;
      if (DeclaredAbove(top, prefix)) return WideString(name);
    }
    NodeView next = FirstElementFrom(element.firstChild());
    while (!next) {
      leave();
      if (element == top) return WideString();
      next = FirstElementFrom(element.nextSibling());
      if (!next) element = element.parentNode();
    }
    element = next;
  }
}

}  // namespace

void CheckSteps::Verify(TProfile& profile, const ByteString& data, const ByteString& signature,
                        SignatureVerdict& verdict) {
  if (profile.IsTestMode()) {
    if (signature != data) {
      verdict.reason = kTestModeMismatch;
      verdict.code = VerdictCode::Failed;
      return;
    }
  } else {
    try {
      Lumo::Provider::TSignatura::VerifyDetached(profile.Context, data, signature, 0);
    } catch (const ESignaturaError& e) {
      verdict.reason = e.Message();
      // A status is the provider's answer about this signature; without one the provider
      // was never asked (not loaded, an entry point missing).
      verdict.providerStatus = e.Status;
      verdict.code = e.Status != 0 ? VerdictCode::Failed : VerdictCode::NotChecked;
      return;
    }
  }
  verdict.reason.clear();
  verdict.providerStatus = 0;
  verdict.code = VerdictCode::Ok;
  verdict.verified = true;
}

namespace {

// A signed element whose signature value was taken out, with the value's Base64 text.
// Seen before the canonical pass, which drops every declaration of the document.
struct Taken {
  Dom::Node value;  // null: the element carries no signature value
  WideString text;
  WideString attributeBoundOutside;  // see AttributeBoundOutside
  WideString markup;                 // the element's markup as it stood (see IsOwnFixedForm)
};

Taken TakeSignatureValue(Dom::Node& element) {
  Taken taken;
  taken.value = SignatureValueOf(element);
  if (!taken.value) return taken;
  taken.text = taken.value.text();
  element.removeChild(taken.value);
  taken.attributeBoundOutside = AttributeBoundOutside(element);
  taken.markup = element.xml();
  return taken;
}

// A signature that did not verify over bytes the document cannot give back is not judged:
// the provider's or the comparison's verdict on other bytes would only mislead. Where the
// bytes can be given back, a document that is not its own fixed-prefix form was changed
// after signing (a namespace name, most often): its data changed.
void RefuseWhenNotRebuildable(const Taken& taken, bool ownFixedForm, const WideString& markup,
                              SignatureVerdict& verdict) {
  if (verdict.code == VerdictCode::NotChecked) return;
  std::string why;
  if (!taken.attributeBoundOutside.empty()) {
    why = kPrefixBoundOutside1 + Utf8FromWide(taken.attributeBoundOutside) + kPrefixBoundOutside2;
  } else if (!CanonicalFormSurvivesRoundTrip(markup)) {
    why = kNotReproducible;
  } else {
    if (!ownFixedForm) verdict.reason = kDataChanged + verdict.reason;
    return;
  }
  verdict.cannotRebuild = true;
  verdict.code = VerdictCode::CannotRebuild;
  verdict.providerStatus = 0;
  verdict.reason = kCannotRebuild + why;
}

// Checks one signed element given as a root in fixed-prefix canonical form, its signature
// value already taken out; `signedBytes` gets the bytes the signature verified over.
void CheckOne(TProfile& profile, Dom::Node root, const Taken& taken, SignatureVerdict& verdict,
              ByteString& signedBytes) {
  if (!taken.value) {
    verdict.reason = kNoSignatureValue;
    verdict.code = VerdictCode::NoSignature;
    return;
  }
  ByteString signature;
  if (!DecodeSignatureValue(taken.text, signature)) {
    verdict.reason = kNotBase64;
    verdict.code = VerdictCode::NoSignature;
    return;
  }
  if (!profile.IsTestMode()) verdict.signers = ReadCmsSigners(signature);
  WideString markup = root.xml();
  // Asked only of a signature that does not verify (two more parses of the element).
  std::optional<bool> ownFixedForm;
  auto isOwnFixedForm = [&] {
    if (!ownFixedForm) ownFixedForm = IsOwnFixedForm(taken.markup);
    return *ownFixedForm;
  };
  try {
    signedBytes = RootSignedBytes(std::move(root));
    Verify(profile, signedBytes, signature, verdict);
    // A document that is not its own fixed-prefix form may still be what was signed, taken
    // straight: the tree comparison that follows a verifying signature decides what it shows.
    if (!verdict.verified && verdict.code != VerdictCode::NotChecked && !isOwnFixedForm()) {
      SignatureVerdict straight = verdict;
      ByteString bytes = TProfile::CanonicalText(LoadXmlString(taken.markup), true);
      Verify(profile, bytes, signature, straight);
      if (straight.verified) {
        verdict = straight;
        signedBytes = std::move(bytes);
      }
    }
  } catch (const ELumoException& e) {
    verdict.reason = e.Message();
    verdict.code = VerdictCode::Failed;
  }
  if (!verdict.verified && verdict.code != VerdictCode::NotChecked)
    RefuseWhenNotRebuildable(taken, isOwnFixedForm(), markup, verdict);
}

// Unsigned content found: a refusal, or a warning the caller allowed.
void Judge(const std::optional<UnsignedContent>& found, const CheckOptions& options,
           std::optional<std::string>& source, SignatureVerdict& verdict) {
  if (!found || !verdict.verified) return;
  std::string text = "UNSIGNED CONTENT: " + found->what;
  if (options.source && found->item != 0) {
    if (!source) {
      try {
        source = options.source();
      } catch (const std::exception&) {
        source = std::string();
      }
    }
    if (const int32_t line = SourceLineOfItem(*source, found->item, found->attribute))
      text += " at line " + std::to_string(line);
  }
  if (options.allowUnsignedContent) {
    verdict.code = VerdictCode::OkUnsignedContentAllowed;
    verdict.warning = std::move(text);
    return;
  }
  verdict.verified = false;
  verdict.code = VerdictCode::UnsignedContent;
  verdict.reason = std::move(text);
}

// What a reader sees of the signed element against the signed bytes.
std::optional<UnsignedContent> Compare(const std::optional<UnsignedContent>& aroundIt,
                                       const ReaderTree& tree, const ByteString& signedBytes) {
  if (aroundIt) return aroundIt;
  if (tree.Found()) return tree.Found();
  return tree.CompareWithSigned(signedBytes);
}

void AppendListed(std::string& line, const std::string& part) {
  line += line.empty() ? "" : "; ";
  line += part;
}

}  // namespace

std::string CheckSteps::NotCovered(const Dom::Node& root, bool text, bool comments,
                                   bool instructions) {
  std::string notCovered, attributes;
  for (NodeView a = NodeView(root).firstAttribute(); a; a = a.nextAttribute())
    if (!a.nameView().starts_with(kDeclarationPrefix) && a.nameView() != u"xmlns")
      attributes += (attributes.empty() ? "" : ", ") + Utf8FromWide(a.nameView());
  AppendListed(notCovered, "the root element " + Utf8FromWide(root.nodeName()) +
                               " and the order of its children");
  if (!attributes.empty()) AppendListed(notCovered, "root attributes " + attributes);
  if (text) AppendListed(notCovered, "text outside the children");
  if (comments) AppendListed(notCovered, "comments");
  if (instructions) AppendListed(notCovered, "processing instructions");
  return notCovered;
}

ByteString RootSignedBytes(Dom::Node root) {
  // The Root action's long way: fixed-prefix canonical text, parsed again, in numbered
  // form (its shortcuts are checked against this in the fuzz targets).
  ByteString c0 = TProfile::CanonicalText(std::move(root), false);
  return TProfile::CanonicalText(LoadXmlUtf8(c0), true);
}

// The check on the document's whole tree: every case, each verdict with what it found.
namespace {

// The one walk over what Root or Childs signed, for the check and for export: visit(root,
// taken, verdict) gets each signed element as a root in fixed-prefix canonical form (for
// Childs, after the canonical pass over the whole document), its signature value taken
// out, and its verdict with index and element filled in. Returns the verdicts; the visits
// say what became of each (a root without child elements, or a child the pass lost, is
// NoSignature; a visit that throws, Failed).
template <class Visit>
std::vector<SignatureVerdict> VisitSigned(Dom::Node root, SignedBy action, Visit visit) {
  std::vector<SignatureVerdict> verdicts;
  if (action == SignedBy::Root) {
    SignatureVerdict& verdict = verdicts.emplace_back();
    verdict.element = root.nodeName();
    Taken taken = TakeSignatureValue(root);
    visit(CanonicalCopy(std::move(root)), taken, verdict);
    return verdicts;
  }
  // Childs signed each child element on its own after the canonical pass over the whole
  // document: the values go first, then the pass, then each child as a document.
  std::vector<Taken> values;
  for (Dom::Node child = FindChildElement(root, ""); child; child = FindNextElement(child, "")) {
    SignatureVerdict& verdict = verdicts.emplace_back();
    verdict.index = static_cast<int32_t>(verdicts.size());
    verdict.element = child.nodeName();
    values.push_back(TakeSignatureValue(child));
  }
  if (verdicts.empty()) {
    SignatureVerdict& verdict = verdicts.emplace_back();
    verdict.element = root.nodeName();
    verdict.reason = kNoChildren;
    verdict.code = VerdictCode::NoSignature;
    return verdicts;
  }
  Dom::Node canonical = CanonicalCopy(std::move(root));
  size_t i = 0;
  for (Dom::Node child = FindChildElement(canonical, ""); child && i < verdicts.size();
       child = FindNextElement(child, ""), ++i) {
    try {
      visit(LoadXmlString(child.xml()), values[i], verdicts[i]);
    } catch (const ELumoException& e) {
      verdicts[i].reason = e.Message();
      verdicts[i].code = VerdictCode::Failed;
    }
  }
  // The canonical pass never changes how many child elements there are; should it, a
  // child left unchecked must not pass for anything but failed.
  for (; i < verdicts.size(); ++i) {
    verdicts[i].reason = kNoSignatureValue;
    verdicts[i].code = VerdictCode::NoSignature;
  }
  return verdicts;
}

}  // namespace

SignatureCheck CheckSteps::WholeCheck(TProfile& profile, Dom::Node root, SignedBy action,
                                      const CheckOptions& options) {
  SignatureCheck check;
  std::optional<std::string> source;  // read once, when a line is to be told
  // What a reader sees of each signed element, recorded before the walk takes the values
  // out; and what stands around them (for Root anything, for Childs a document type).
  std::vector<ReaderTree> trees;
  std::optional<UnsignedContent> aroundIt;
  const uint32_t rootItem = DocumentLevelItems(root, 0, nullptr);
  if (action == SignedBy::Root) {
    trees.emplace_back().Record(root, SignatureValueOf(root), rootItem);
    DocumentLevelItems(root, trees.back().NextItem(), [&](const char* what, uint32_t item) {
      if (!aroundIt) aroundIt = UnsignedContent{what, item, {}};
    });
  } else {
    // The packet around the children is not signed: what it holds is told, not refused.
    bool text = false, comments = false, instructions = false;
    uint32_t item = rootItem + 1;
    for (NodeView n = NodeView(root).firstChild(); n; n = n.nextSibling()) {
      if (n.isElement()) {
        trees.emplace_back().Record(n.node(), SignatureValueOf(n.node()), item);
        item = trees.back().NextItem();
      } else if (n.nodeType() == NODE_COMMENT) {
        comments = true, ++item;
      } else if (n.nodeType() == NODE_PROCESSING_INSTRUCTION) {
        instructions = true, ++item;
      } else if (n.isText() && !Lumo::Dom::IsWhiteSpaceOnly(n.valueView())) {
        text = true;
      }
    }
    DocumentLevelItems(root, item, [&](const char* what, uint32_t at) {
      if (std::string_view(what) == "document type declaration") {
        if (!aroundIt) aroundIt = UnsignedContent{what, at, {}};
      } else {
        (std::string_view(what) == "comment" ? comments : instructions) = true;
      }
    });
    check.notCovered = NotCovered(root, text, comments, instructions);
  }
  // Children already accepted, by their signed bytes: a second one is a replay.
  std::unordered_multimap<size_t, size_t> seen;  // hash of the signed bytes: child
  std::vector<ByteString> kept;                  // signed bytes of accepted children
  auto visit = [&](Dom::Node signedRoot, const Taken& taken, SignatureVerdict& verdict) {
    const size_t i = verdict.index > 0 ? static_cast<size_t>(verdict.index - 1) : 0;
    ByteString signedBytes;
    CheckOne(profile, std::move(signedRoot), taken, verdict, signedBytes);
    if (!verdict.verified) return;
    Judge(Compare(aroundIt, trees.at(i), signedBytes), options, source, verdict);
    if (action == SignedBy::Root) return;
    // An attribute prefix a declaration outside the child binds is what its signed bytes
    // leave unbound: the child as it stands was never signed, whatever the bytes say.
    if (!IsAccepted(verdict.code) && verdict.code == VerdictCode::UnsignedContent &&
        !taken.attributeBoundOutside.empty() && !aroundIt) {
      verdict.cannotRebuild = true;
      verdict.code = VerdictCode::CannotRebuild;
      verdict.reason = kCannotRebuild + std::string(kPrefixBoundOutside1) +
                       Utf8FromWide(taken.attributeBoundOutside) + kPrefixBoundOutside2;
    }
    if (!verdict.verified) return;
    const size_t hash = std::hash<std::string_view>()(signedBytes);
    for (auto [at, end] = seen.equal_range(hash); at != end; ++at) {
      if (kept[at->second] != signedBytes) continue;  // the same hash, other bytes
      verdict.verified = false;
      verdict.code = VerdictCode::Duplicate;
      verdict.warning.clear();
      verdict.duplicateOf = static_cast<int32_t>(at->second + 1);
      verdict.reason = "DUPLICATE of child " + std::to_string(verdict.duplicateOf);
      return;
    }
    seen.emplace(hash, i);
    if (kept.size() <= i) kept.resize(i + 1);
    kept[i] = std::move(signedBytes);
  };
  check.verdicts = VisitSigned(std::move(root), action, visit);
  return check;
}

std::vector<SignatureVerdict> CheckSignatures(TProfile& profile, Dom::Node root, SignedBy action) {
  return CheckDocument(profile, std::move(root), action, CheckOptions()).verdicts;
}

bool IsAccepted(VerdictCode code) {
  return code == VerdictCode::Ok || code == VerdictCode::OkUnsignedContentAllowed;
}

std::vector<SignedPart> SignedParts(Dom::Node root, SignedBy action) {
  std::vector<ByteString> signatures, signedBytes;
  std::vector<SignatureVerdict> verdicts = VisitSigned(
      std::move(root), action,
      [&](Dom::Node signedRoot, const Taken& taken, SignatureVerdict& verdict) {
        const size_t at = static_cast<size_t>(verdict.index > 0 ? verdict.index - 1 : 0);
        signatures.resize(std::max(signatures.size(), at + 1));
        signedBytes.resize(signatures.size());
        if (!taken.value) {
          verdict.reason = kNoSignatureValue;
        } else if (!DecodeSignatureValue(taken.text, signatures[at])) {
          verdict.reason = kNotBase64;
        } else {
          signedBytes[at] = RootSignedBytes(std::move(signedRoot));
        }
      });
  std::vector<SignedPart> parts;
  for (size_t i = 0; i < verdicts.size(); ++i) {
    SignedPart& part = parts.emplace_back();
    part.index = verdicts[i].index;
    part.element = std::move(verdicts[i].element);
    part.reason = std::move(verdicts[i].reason);
    if (part.reason.empty() && i < signatures.size()) {
      part.signature = std::move(signatures[i]);
      part.signedBytes = std::move(signedBytes[i]);
    }
  }
  return parts;
}

bool AllVerified(const std::vector<SignatureVerdict>& verdicts) {
  if (verdicts.empty()) return false;
  for (const SignatureVerdict& v : verdicts)
    if (!v.verified) return false;
  return true;
}

}  // namespace Lumo::Sign
