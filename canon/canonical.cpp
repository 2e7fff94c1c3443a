// CanonicalText: the pipeline the key profile runs to take signed bytes.
#include "canon/canonical.h"

#include <utility>

#include "base/encoding.h"
#include "canon/canonicalizer.h"
#include "canon/settled_text.h"
#include "canon/normalizer.h"
#include "dom/xml_helpers.h"

namespace Lumo::Canon {

namespace {

// Steps 2 and 3 on the element's markup, which is all that is needed of the tree.
Lumo::Base::ByteString CanonicalMarkup(const Lumo::Base::WideString& xml) {
  // CanonicalizeUtf8Append gives the bytes of Utf8Encode(Canonicalize(xml)).
  Lumo::Base::ByteString bytes;
  TXmlCanonicalizer::CanonicalizeUtf8Append(xml, bytes);
  return bytes;
}

// One of the canonicalizer's tree walks into bytes, reserved for the document's size;
// bytes is left empty (and its room given back) when the walk gives up.
template <class Walk>
bool FromTree(const Lumo::Dom::Node& node, Lumo::Base::ByteString& bytes, Walk walk) {
  size_t hint = Lumo::Dom::NodeView(node).documentSizeHint();
  bytes.reserve(hint + hint / 4);
  if (walk(node, bytes)) return true;
  Lumo::Base::ByteString().swap(bytes);
  return false;
}

// Steps 2 and 3 straight from the tree where its markup parses back plainly (nearly
// always); bytes stays empty otherwise.
bool CanonicalFromTree(const Lumo::Dom::Node& element, Lumo::Base::ByteString& bytes,
                       bool* fixedPoint = nullptr) {
  return FromTree(element, bytes, [fixedPoint](const Lumo::Dom::Node& n, Lumo::Base::ByteString& b) {
    return TXmlCanonicalizer::CanonicalizeTreeUtf8Append(n, b, fixedPoint);
  });
}

}  // namespace

Lumo::Base::ByteString CanonicalText(const Lumo::Dom::Node& node, bool numberedPrefixes) {
  // 1. Normalize in place; the element that now stands for the node comes back.
  Lumo::Dom::Node element = TXmlNormalizer::Normalize(node, numberedPrefixes);
  // 2. Its xml text, canonicalized; 3. encoded as UTF-8 one UTF-16 unit at a time.
  Lumo::Base::ByteString bytes;
  if (CanonicalFromTree(element, bytes)) return bytes;
  Lumo::Base::WideString xml;
  element.appendXml(xml);
  return CanonicalMarkup(xml);
}

namespace {

Lumo::Base::ByteString CanonicalTextOf(Lumo::Dom::Node&& node, bool numberedPrefixes, bool* fixedPoint) {
  Lumo::Base::WideString xml;
  {
    Lumo::Dom::Node held = std::move(node);
    Lumo::Base::ByteString bytes;
    // The document is given up: where the rewrite can be followed without making it,
    // the bytes come from the tree as loaded.
    if (!numberedPrefixes &&
        FromTree(held, bytes, [fixedPoint](const Lumo::Dom::Node& n, Lumo::Base::ByteString& b) {
          return TXmlCanonicalizer::FixedTreeUtf8Append(n, b, fixedPoint);
        }))
      return bytes;
    Lumo::Dom::Node element = TXmlNormalizer::Normalize(held, numberedPrefixes);
    if (CanonicalFromTree(element, bytes, fixedPoint)) return bytes;
    element.appendXml(xml);
  }  // both handles gone: the document goes unless the caller kept another one
  if (fixedPoint) *fixedPoint = false;
  return CanonicalMarkup(xml);
}

}  // namespace

Lumo::Base::ByteString CanonicalText(Lumo::Dom::Node&& node, bool numberedPrefixes) {
  return CanonicalTextOf(std::move(node), numberedPrefixes, nullptr);
}

Lumo::Base::ByteString FixedCanonicalText(Lumo::Dom::Node&& node, bool& fixedPoint) {
  fixedPoint = false;
  return CanonicalTextOf(std::move(node), false, &fixedPoint);
}

bool NumberedCanonicalTextKeepingTree(const Lumo::Dom::Node& node, Lumo::Base::ByteString& bytes) {
  Lumo::Base::ByteString out;
  if (!FromTree(node, out, &TXmlCanonicalizer::NumberedTreeUtf8Append)) return false;
  bytes = std::move(out);
  return true;
}

namespace {

// LoadXmlString(Utf8Decode(c)) for a canonical text, which always has a document element;
// a parse that gives none is refused like malformed text rather than walked.
Lumo::Dom::Node ParseCanonical(std::string_view c) {
  Lumo::Dom::Node root = Lumo::Dom::LoadXmlUtf8(c);
  if (!root) throw Lumo::Dom::MakeXmlParserError(nullptr);
  return root;
}

}  // namespace

RootForm RootFormOfFixedText(Lumo::Base::ByteString c, bool resultAsText) {
  RootForm form;
  if (resultAsText && NumberedFromSettledText(c, form.signedBytes)) {
    form.text = std::move(c);
    return form;
  }
  // R1 is needed unchanged as the result: its numbered text is taken without rewriting
  // it where that can be done, else from a rewrite of it and the result parsed afresh.
  Lumo::Dom::Node r1 = ParseCanonical(c);
  if (NumberedCanonicalTextKeepingTree(r1, form.signedBytes)) {
    form.tree = std::move(r1);
    return form;
  }
  form.signedBytes = CanonicalText(std::move(r1), true);
  form.tree = ParseCanonical(c);
  return form;
}

RootForm RootFormOfDocument(Lumo::Dom::Node&& root, bool resultAsText) {
  bool fixedPoint = false;
  Lumo::Base::ByteString c = FixedCanonicalText(std::move(root), fixedPoint);
  // The second fixed-prefix pass gives C0 back where C0 is its own fixed-prefix form.
  if (!fixedPoint) c = CanonicalText(ParseCanonical(c), false);
  return RootFormOfFixedText(std::move(c), resultAsText);
}

}  // namespace Lumo::Canon
