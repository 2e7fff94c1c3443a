// The action table's look-ups and the lists that messages show.
#include "base/actions.h"

#include <algorithm>

namespace Lumo::Base {

const ActionRow* FindActionCommand(std::string_view command) {
  for (const ActionRow& row : kActions)
    if (row.command == command) return &row;
  return nullptr;
}

std::string ActionWords(const ActionRow& row) {
  std::string words(row.command);
  std::replace(words.begin(), words.end(), '-', ' ');
  return words;
}

std::string ActionCodeList(std::string_view last, bool spaced) {
  std::string text;
  for (const ActionRow& row : kActions) {
    if (!text.empty()) text += row.code == kActionCount ? last : std::string_view(", ");
    text += std::to_string(row.code) + ' ' + (spaced ? ActionWords(row) : std::string(row.command));
  }
  return text;
}

}  // namespace Lumo::Base
