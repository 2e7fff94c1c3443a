// CanonicalText: the pipeline the key profile runs to take signed bytes.
#include "xml/canonical.h"

#include "util/encoding.h"
#include "xml/canonicalizer.h"
#include "xml/normalizer.h"

namespace DEZ::Xml {

Lumo::ByteString CanonicalText(const Lumo::Dom::Node& node, bool numberedPrefixes) {
  // 1. Normalize in place; the element that now stands for the node comes back.
  Lumo::Dom::Node element = TXmlNormalizer::Normalize(node, numberedPrefixes);
  // 2. Its xml text, canonicalized; 3. encoded as UTF-8 one UTF-16 unit at a time.
  // CanonicalizeUtf8Append gives the bytes of Utf8Encode(Canonicalize(xml)).
  Lumo::ByteString bytes;
  {
    Lumo::WideString xml;
    element.appendXml(xml);
    TXmlCanonicalizer::CanonicalizeUtf8Append(xml, bytes);
  }
  return bytes;
}

}  // namespace DEZ::Xml
