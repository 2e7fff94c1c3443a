// libFuzzer target for checking what was signed, in test mode.
//
// Each input that the Root action signs must check once its result is read back; so must
// the result of the Childs action. A change to the text of the signed content or to an
// attribute value of the result must make the check fail, and so must a comment or a
// schema-instance attribute added to it. The ways out for a signed document are the
// check's own refusal to recompute bytes the result cannot give back (the canonical form
// not reproduced after the round trip through a result file, or a kept attribute prefix
// bound anew by the declarations around a signed child), and its refusal of a kept
// attribute prefix that the result binds while the signed bytes leave it unbound (the
// canonical form does not carry an attribute prefix's namespace), and, for Childs, a child
// whose signed bytes an earlier child has (an input with two equal children): reported,
// never a wrong answer. Whenever a verdict is OK, the tree a reader builds from the signed element
// (less its signature value) equals the tree of the signed bytes (test mode: the value itself),
// both read by the DOM here, apart from the check's own reading. Taken as an envelope's object
// content, each input must unwrap as it is parsed to what its tree writes. Taken as a client's
// Base64 text, each input makes the same envelope through the UTF-8 and the wide entry.
//
// Built with LUMO_FUZZ_REPLAY_MAIN it runs each file named on its command line once.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/base64.h"
#include "base/encoding.h"
#include "base/errors.h"
#include "dom/dom.h"
#include "dom/xml_helpers.h"
#include "sign/envelope.h"
#include "sign/profile.h"
#include "sign/signature_check.h"
#include "tests/fuzz_support.h"

using FuzzSupport::Narrow;

[[noreturn]] static void Fail(const char* what, std::string_view detail = {}) {
  FuzzSupport::Fail("fuzz_signature_check", what, detail);
}

namespace {

using Lumo::Base::WideString;
using Lumo::Dom::Node;
using Lumo::Sign::SignedBy;

// The check's refusal to judge bytes it cannot recompute from the result, for every
// signature that did not verify.
bool Refused(const std::vector<Lumo::Sign::SignatureVerdict>& verdicts) {
  for (const auto& v : verdicts)
    if (!v.verified && !v.cannotRebuild && v.code != Lumo::Sign::VerdictCode::Duplicate &&
        v.reason.find("namespace binding of attribute") == std::string::npos)
      return false;
  return true;
}

// A reader's tree, written out: elements and attributes by namespace and local name (the
// qualified name where a prefix is bound to none), attribute values sorted, runs of text
// and CDATA that are not white space only; one signature value element left out.
std::string ReaderTreeText(const Node& top, const Node& skip) {
  auto nameOf = [](const Node& n) {
    const WideString uri = n.namespaceURI();
    return Narrow(uri.empty() && !n.prefix().empty() ? n.nodeName()
                                                     : u"{" + uri + u"}" + n.baseName());
  };
  std::string out, run;
  auto flush = [&] {
    if (run.find_first_not_of(" \t\r\n") != std::string::npos) out += "\"" + run + "\"";
    run.clear();
  };
  std::vector<std::pair<Node, bool>> stack{{top, false}};  // node, its end
  while (!stack.empty()) {
    auto [n, end] = stack.back();
    stack.pop_back();
    if (end) {
      flush();
      out += ">";
      continue;
    }
    if (n.nodeType() == Lumo::Dom::NODE_TEXT || n.nodeType() == Lumo::Dom::NODE_CDATA_SECTION) {
      run += Narrow(n.nodeValue());
      continue;
    }
    if (!n.isElement()) return "(other node)";
    if (n == skip) continue;
    flush();
    std::vector<std::string> attributes;
    auto map = n.attributes();
    for (int32_t i = 0; i < map.length(); ++i) {
      Node a = map.item(i);
      const WideString name = a.nodeName();
      if (name == u"xmlns" || name.rfind(u"xmlns:", 0) == 0) continue;
      attributes.push_back("@" + nameOf(a) + "=" + Narrow(a.nodeValue()));
    }
    std::sort(attributes.begin(), attributes.end());
    out += "<" + nameOf(n);
    for (const std::string& a : attributes) out += a;
    stack.push_back({n, true});
    std::vector<Node> children;
    for (Node c = n.firstChild(); c; c = c.nextSibling()) children.push_back(c);
    for (auto c = children.rbegin(); c != children.rend(); ++c) stack.push_back({*c, false});
  }
  return out;
}

// For each accepted verdict, the signed element's tree against its signed bytes' tree.
void AcceptedMeansEqualTrees(const WideString& signedText, SignedBy action,
                             const std::vector<Lumo::Sign::SignatureVerdict>& verdicts) {
  Node root = Lumo::Dom::LoadXmlString(signedText);
  std::vector<Node> signedElements;
  if (action == SignedBy::Root) {
    signedElements.push_back(root);
  } else {
    for (Node c = Lumo::Dom::FindChildElement(root, ""); c; c = Lumo::Dom::FindNextElement(c, ""))
      signedElements.push_back(c);
  }
  for (size_t i = 0; i < verdicts.size() && i < signedElements.size(); ++i) {
    if (!verdicts[i].verified) continue;
    const Node element = signedElements[i];
    const Node value = Lumo::Dom::FindChildElement(element, "");
    Node bytesRoot;
    try {
      bytesRoot = Lumo::Dom::LoadXmlUtf8(Lumo::Base::DecodeBase64(Narrow(value.text())));
    } catch (const Lumo::Base::ELumoException&) {
    }
    if (!bytesRoot) continue;  // signed bytes our parser does not read as XML
    const std::string document = ReaderTreeText(element, value);
    const std::string bytes = ReaderTreeText(bytesRoot, Node());
    if (document != bytes)
      Fail("an accepted signature whose document shows another tree than its signed bytes",
           Narrow(signedText) + "\n  document: " + document + "\n  signed:   " + bytes);
  }
}

// Unsigned content added to a Root result that checks must make it fail.
void CheckUnsignedAdded(Lumo::Sign::TProfile& profile, const WideString& signedText) {
  const size_t tagEnd = signedText.find(u'>');
  const size_t lastEnd = signedText.rfind(u"</");
  if (tagEnd == WideString::npos || lastEnd == WideString::npos || signedText[tagEnd - 1] == u'/')
    return;
  const WideString added[] = {
      WideString(signedText).insert(lastEnd, u"<!--x-->"),
      WideString(signedText)
          .insert(tagEnd,
                  u" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:nil=\"true\""),
  };
  for (const WideString& text : added) {
    Node root = Lumo::Dom::LoadXmlString(text);
    if (!root) continue;  // the root declared that prefix already
    if (Lumo::Sign::AllVerified(Lumo::Sign::CheckSignatures(profile, root, SignedBy::Root)))
      Fail("unsigned content added to a signed document still checks", Narrow(text));
  }
}

std::vector<Lumo::Sign::SignatureVerdict> Check(Lumo::Sign::TProfile& profile,
                                                const WideString& signedText, SignedBy action) {
  Node root = Lumo::Dom::LoadXmlString(signedText);
  if (!root) Fail("a signed result does not load", Narrow(signedText));
  return Lumo::Sign::CheckSignatures(profile, root, action);
}

// The first text node below the element outside any signature value element, or null.
Node SignedText(const Node& element) {
  for (Node child = element.firstChild(); child; child = child.nextSibling()) {
    if (child.nodeType() == Lumo::Dom::NODE_TEXT) return child;
    if (child.isElement() && child.baseName() != Lumo::Sign::kSignatureValueLocalName) {
      Node found = SignedText(child);
      if (found) return found;
    }
  }
  return Node();
}

// The signed result with one signed text or attribute value changed must fail the check.
void CheckTampered(Lumo::Sign::TProfile& profile, const WideString& signedText, SignedBy action) {
  Node root = Lumo::Dom::LoadXmlString(signedText);
  // Childs leaves the root's own text unsigned: the change goes into a child.
  Node text = SignedText(action == SignedBy::Childs ? Lumo::Dom::FindChildElement(root, "") : root);
  if (text) {
    text.parentNode().replaceChild(root.ownerDocument().createTextNode(text.nodeValue() + u"x"),
                                   text);
  } else {
    // An unprefixed ordinary attribute of the root (prefixed ones may be dropped by the
    // canonical pass); without one there is nothing to change.
    Lumo::Base::WideString name;
    auto attributes = root.attributes();
    for (int32_t i = 0; i < attributes.length() && name.empty(); ++i) {
      Lumo::Base::WideString n = attributes.item(i).nodeName();
      if (n.find(u':') == WideString::npos && n != u"xmlns") name = n;
    }
    if (name.empty() || action == SignedBy::Childs) return;
    root.setAttribute(name, root.getAttribute(name) + u"x");
  }
  WideString tampered = root.xml();
  if (Lumo::Sign::AllVerified(Check(profile, tampered, action)))
    Fail("a changed signed document still checks", Narrow(tampered));
}

void RoundTrip(const WideString& input, uint8_t action, SignedBy signedBy) {
  Lumo::Sign::TProfile profile(nullptr, "test");
  profile.TestMode = true;
  WideString signedText;
  try {
    profile.SignXml(input, action, signedText);
  } catch (const Lumo::Base::ELumoException&) {
    return;  // not a document the action signs
  }
  signedText.erase(0, Lumo::Base::XmlHeader.size());
  std::vector<Lumo::Sign::SignatureVerdict> verdicts;
  try {
    verdicts = Check(profile, signedText, signedBy);
  } catch (const Lumo::Base::ELumoException& e) {
    Fail("a signed result throws in the check", Narrow(signedText) + "\n  " + e.Message());
  }
  if (signedBy == SignedBy::Childs && verdicts.size() == 1 && verdicts[0].index == 0)
    return;  // no children
  AcceptedMeansEqualTrees(signedText, signedBy, verdicts);
  if (Lumo::Sign::AllVerified(verdicts)) {
    CheckTampered(profile, signedText, signedBy);
    if (signedBy == SignedBy::Root) CheckUnsignedAdded(profile, signedText);
    return;
  }
  if (!Refused(verdicts)) {
    std::string reasons;
    for (const auto& v : verdicts) reasons += "\n  " + std::to_string(v.index) + ": " + v.reason;
    Fail("a signed result does not check",
         Narrow(input) + "\n  signed: " + Narrow(signedText) + reasons);
  }
}

// The input as an envelope's object content: what Verify and Extract write as it is
// parsed is what they write from its tree, or both fail.
void UnwrapStreamed(std::string_view bytes) {
  const std::string declaration(Lumo::Base::XmlHeaderAnsi);
  std::string streamed, whole;
  bool streamedOk = false, wholeOk = false;
  try {
    streamedOk =
        Lumo::Sign::WriteCarriedContent(std::string(bytes), declaration,
                                        [&streamed](std::string_view piece) { streamed += piece; });
  } catch (const Lumo::Base::ELumoException&) {
  }
  try {
    Lumo::Sign::ActionResult result;
    result.tree = Lumo::Sign::Envelope::LoadContent(std::string(bytes));
    if (result) {
      whole = declaration;
      Lumo::Sign::WriteStandardUtf8(result, [&whole](std::string_view piece) { whole += piece; });
      wholeOk = true;
    }
  } catch (const Lumo::Base::ELumoException&) {
  }
  if (streamedOk != wholeOk) Fail("unwrapping as it is parsed succeeds differently");
  if (streamedOk && streamed != whole)
    Fail("unwrapping as it is parsed writes another document", whole + "\n  streamed: " + streamed);
}

// The input as a client's Base64 text for code 6: the envelope written from the UTF-8
// text is the one the wide entry builds as a tree, or both refuse the text.
void Base64Envelope(std::string_view bytes, const WideString& text) {
  Lumo::Sign::TProfile profile(nullptr, "test");
  profile.TestMode = true;
  std::string written;
  WideString built;
  bool writtenOk = false, builtOk = false;
  try {
    profile.SignXmlUtf8(
        bytes, Lumo::Base::saBase64Envelope,
        [&written](std::string_view piece) { written += piece; }, nullptr);
    writtenOk = true;
  } catch (const Lumo::Base::ELumoException&) {
  }
  try {
    profile.SignXml(text, Lumo::Base::saBase64Envelope, built);
    builtOk = true;
  } catch (const Lumo::Base::ELumoException&) {
  }
  if (writtenOk != builtOk) Fail("the Base64 envelope is refused by one entry only");
  if (writtenOk && written != Lumo::Base::Utf8Encode(built))
    Fail("the Base64 envelope written from text differs", written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  WideString text = Lumo::Base::IsStandardBmpUtf8(bytes) ? Lumo::Base::Utf8Decode(bytes)
                                                         : WideString(bytes.begin(), bytes.end());
  if (!Lumo::Base::IsStandardBmpUtf8(bytes))
    for (char16_t& c : text) c = static_cast<unsigned char>(c);
  RoundTrip(text, Lumo::Base::saRoot, SignedBy::Root);
  RoundTrip(text, Lumo::Base::saChilds, SignedBy::Childs);
  UnwrapStreamed(bytes);
  if (Lumo::Base::IsStandardBmpUtf8(bytes)) Base64Envelope(bytes, text);
  return 0;
}
