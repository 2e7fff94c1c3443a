// The reference way to the canonical bytes: the steps as they read.
#include "canon/reference.h"

#include "canon/canonicalizer.h"
#include "canon/normalizer.h"
#include "dom/xml_helpers.h"

namespace Lumo::Canon::Reference {

Lumo::Base::ByteString CanonicalOfNormalized(const Lumo::Dom::Node& element) {
  // CanonicalizeUtf8Append gives the bytes of Utf8Encode(Canonicalize(xml)) without
  // holding the wide canonical text.
  Lumo::Base::ByteString bytes;
  TXmlCanonicalizer::CanonicalizeUtf8Append(element.xml(), bytes);
  return bytes;
}

Lumo::Base::ByteString CanonicalText(const Lumo::Dom::Node& node, PrefixScheme scheme) {
  Lumo::Dom::Node element = TXmlNormalizer::Normalize(node, scheme == PrefixScheme::Numbered);
  return CanonicalOfNormalized(element);
}

Lumo::Dom::Node ParseCanonical(std::string_view c) {
  Lumo::Dom::Node root = Lumo::Dom::LoadXmlUtf8(c);
  if (!root) throw Lumo::Dom::MakeXmlParserError(nullptr);
  return root;
}

Lumo::Base::ByteString CanonicalTextOfText(std::string_view c, PrefixScheme scheme) {
  return CanonicalText(ParseCanonical(c), scheme);
}

}  // namespace Lumo::Canon::Reference
