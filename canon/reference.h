// The canonical form taken the way it is defined, one step after the other, every time
// from markup. Nothing here is fast: it is what every shortcut in canonical.cpp and
// settled_text.cpp must agree with, byte for byte (check.h compares them in checking
// builds), and what the reference switch (shortcut.h) runs instead of the shortcuts.
#pragma once

#include <string_view>

#include "base/types.h"
#include "dom/dom.h"

namespace Lumo::Canon {

// The two prefix schemes of the normalizer: fixed ("ed", "sen", "dsig", others "n<k>")
// and numbered (every namespace "n<k>").
enum class PrefixScheme { Fixed, Numbered };

namespace Reference {

// 1. Normalize the node's document in place into the scheme; 2. take the element that
// now stands for the node, its xml, and canonicalize that markup (parsing it again);
// 3. encode the canonical text as UTF-8, one UTF-16 unit at a time.
Lumo::Base::ByteString CanonicalText(const Lumo::Dom::Node& node, PrefixScheme scheme);
// Steps 2 and 3 alone, for an element that is already normalized.
Lumo::Base::ByteString CanonicalOfNormalized(const Lumo::Dom::Node& element);
// A canonical text parsed into a fresh document (LoadXmlUtf8, that is LoadXmlString of its
// UTF-8 decoding); a text that gives no document element is refused like malformed text.
Lumo::Dom::Node ParseCanonical(std::string_view c);
// CanonicalText(ParseCanonical(c), scheme): the passes of the Root action.
Lumo::Base::ByteString CanonicalTextOfText(std::string_view c, PrefixScheme scheme);

}  // namespace Reference
}  // namespace Lumo::Canon
