// The qualified-name test (the other rules about names and characters are inline).
#include "dom/xml_chars.h"

namespace Lumo::Dom {

using Base::WideView;

bool IsXmlQName(WideView name) {
  if (name.empty()) return false;
  size_t colons = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    uint32_t c = name[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (name[i + 1] - 0xDC00);
      ++i;
    }
    if (c == ':') ++colons;
    if (i == 0 ? !IsNameStartChar(c) : !IsNameChar(c)) return false;
  }
  if (colons == 0) return true;
  size_t k = name.find(u':');
  return colons == 1 && k > 0 && k + 1 < name.size();
}

}  // namespace Lumo::Dom
