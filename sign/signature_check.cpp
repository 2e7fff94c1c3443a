// Signature values of Root- and Childs-signed documents, checked against the bytes the
// document gives once they are taken out.
#include "sign/signature_check.h"

#include <algorithm>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/base64.h"
#include "base/encoding.h"
#include "base/errors.h"
#include "canon/canonical.h"
#include "canon/reference.h"
#include "dom/xml_helpers.h"
#include "provider/signatura.h"
#include "sign/profile.h"

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
constexpr WideView kDeclarationPrefix = u"xmlns:";

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
bool IsOwnFixedForm(const Dom::Node& element) {
  try {
    const WideString markup = element.xml();
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

void Verify(TProfile& profile, const ByteString& data, const ByteString& signature,
            SignatureVerdict& verdict) {
  if (profile.IsTestMode()) {
    if (signature != data) {
      verdict.reason = kTestModeMismatch;
      return;
    }
  } else {
    try {
      Lumo::Provider::TSignatura::VerifyDetached(profile.Context, data, signature, 0);
    } catch (const ESignaturaError& e) {
      verdict.reason = e.Message();
      return;
    }
  }
  verdict.verified = true;
}

// A signed element whose signature value was taken out, with the value's Base64 text.
// Seen before the canonical pass, which drops every declaration of the document.
struct Taken {
  Dom::Node value;  // null: the element carries no signature value
  WideString text;
  WideString attributeBoundOutside;  // see AttributeBoundOutside
  bool ownFixedForm = true;          // see IsOwnFixedForm
};

Taken TakeSignatureValue(Dom::Node& element) {
  Taken taken;
  taken.value = SignatureValueOf(element);
  if (!taken.value) return taken;
  taken.text = taken.value.text();
  element.removeChild(taken.value);
  taken.attributeBoundOutside = AttributeBoundOutside(element);
  taken.ownFixedForm = IsOwnFixedForm(element);
  return taken;
}

// A signature that did not verify over bytes the document cannot give back is not judged:
// the provider's or the comparison's verdict on other bytes would only mislead.
void RefuseWhenNotRebuildable(const Taken& taken, const WideString& markup,
                              SignatureVerdict& verdict) {
  std::string why;
  if (!taken.attributeBoundOutside.empty())
    why = kPrefixBoundOutside1 + Utf8FromWide(taken.attributeBoundOutside) + kPrefixBoundOutside2;
  else if (!taken.ownFixedForm || !CanonicalFormSurvivesRoundTrip(markup))
    why = kNotReproducible;
  else
    return;
  verdict.cannotRebuild = true;
  verdict.reason = kCannotRebuild + why;
}

// Checks one signed element given as a root in fixed-prefix canonical form, its signature
// value already taken out.
void CheckOne(TProfile& profile, Dom::Node root, const Taken& taken, SignatureVerdict& verdict) {
  if (!taken.value) {
    verdict.reason = kNoSignatureValue;
    return;
  }
  ByteString signature;
  if (!DecodeSignatureValue(taken.text, signature)) {
    verdict.reason = kNotBase64;
    return;
  }
  WideString markup = root.xml();
  try {
    Verify(profile, RootSignedBytes(std::move(root)), signature, verdict);
  } catch (const ELumoException& e) {
    verdict.reason = e.Message();
  }
  if (!verdict.verified) RefuseWhenNotRebuildable(taken, markup, verdict);
}

}  // namespace

ByteString RootSignedBytes(Dom::Node root) {
  // The Root action's long way: fixed-prefix canonical text, parsed again, in numbered
  // form (its shortcuts are checked against this in the fuzz targets).
  ByteString c0 = TProfile::CanonicalText(std::move(root), false);
  return TProfile::CanonicalText(LoadXmlUtf8(c0), true);
}

namespace {

// Visits every signed element as Root or Childs signed it: visit(root, taken, verdict) gets
// the element as a root in fixed-prefix canonical form (for Childs, after the canonical pass
// over the whole document), its signature value taken out, and its verdict with index and
// element filled in. Returns the verdicts; the visits say what became of each.
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
    }
  }
  // The canonical pass never changes how many child elements there are; should it, a
  // child left unchecked must not pass for anything but failed.
  for (; i < verdicts.size(); ++i) verdicts[i].reason = kNoSignatureValue;
  return verdicts;
}

}  // namespace

std::vector<SignatureVerdict> CheckSignatures(TProfile& profile, Dom::Node root, SignedBy action) {
  return VisitSigned(
      std::move(root), action,
      [&profile](Dom::Node signedRoot, const Taken& taken, SignatureVerdict& verdict) {
        CheckOne(profile, std::move(signedRoot), taken, verdict);
      });
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
