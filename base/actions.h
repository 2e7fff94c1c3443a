// The actions, one row each. What the key profile, the signer, the command line and the C
// API decide about an action (which way its input is read, whether a key is opened,
// whether it checks a signature, what its command is called) is read from its row; only
// the work an action does itself lives with the profile.
//
// An action's code is published (C header, Python, the COM type library): codes are
// 1, 2, 3, ... in the order of the rows, and the mirrors are checked against LUMO_ACTIONS
// (capi/lumodez.cpp and automation/com/objects.cpp at compile time, the Python enum and
// the IDL by tests/base/actions_test.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace Lumo::Base {

// The published names: X(Name, C_NAME, code). Name is the C++ enumerator without its
// "sa" and the type library's name; C_NAME follows "LUMODEZ_" in the C header and is
// the Python enum's member.
#define LUMO_ACTIONS(X)    \
  X(Childs, CHILDS, 1)     \
  X(Root, ROOT, 2)         \
  X(Envelope, ENVELOPE, 3) \
  X(Verify, VERIFY, 4)     \
  X(Extract, EXTRACT, 5)   \
  X(Base64Envelope, BASE64_ENVELOPE, 6)

// Action codes travel as their low 8 bits.
enum SignAction : uint8_t {
#define LUMO_ACTION_ENUMERATOR(name, cName, code) sa##name = code,
  LUMO_ACTIONS(LUMO_ACTION_ENUMERATOR)
#undef LUMO_ACTION_ENUMERATOR
};

// How an action takes its input.
enum class ActionInput : uint8_t {
  // A document whose fixed-prefix canonical text is taken as it is parsed (its tree is
  // never held whole).
  FixedText,
  // A document parsed whole. With readsEnvelope, an envelope as this library writes it is
  // first read without its tree.
  Tree,
  // Base64 text, never parsed: the text entries only (a file entry refuses the action),
  // and the command line reads its input as text.
  Base64Text,
};

// What a result must be for `dezsign --skip-existing` to take it as done.
enum class ActionResultCheck : uint8_t {
  ChildSignatures,  // each child's signature value verifies
  RootSignature,    // the root's signature value verifies
  Envelope,         // it verifies as an envelope
  Document,         // it reads as a whole document
};

struct ActionRow {
  uint8_t code;
  std::string_view command;  // dezsign's command (and the spool's action name)
  std::string_view summary;  // its line in dezsign --help
  ActionInput input;
  // Opens a key profile. An action without one only takes the document out of an
  // envelope (asserted below): the signer runs it without a profile.
  bool needsKey;
  // Its input is a signature envelope (read without its tree where this library wrote it).
  bool readsEnvelope;
  // Verifies a signature outside test mode: a refusal is told apart (exit status 3), and
  // who signed is reported.
  bool checksSignature;
  ActionResultCheck resultCheck;
};

// clang-format off
inline constexpr ActionRow kActions[] = {
  // code            command            summary                                                        input                     key    envelope check  --skip-existing
  {saChilds,         "childs",          "sign each child element of the root",                         ActionInput::FixedText,   true,  false,   false, ActionResultCheck::ChildSignatures},
  {saRoot,           "root",            "sign the document (dsig:SigValue as the root's first child)", ActionInput::FixedText,   true,  false,   false, ActionResultCheck::RootSignature},
  {saEnvelope,       "envelope",        "wrap the document and its signature into an envelope",        ActionInput::FixedText,   true,  false,   false, ActionResultCheck::Envelope},
  {saVerify,         "verify",          "verify an envelope and print the enclosed document",          ActionInput::Tree,        true,  true,    true,  ActionResultCheck::Document},
  {saExtract,        "extract",         "take the document out of an envelope without checking",       ActionInput::Tree,        false, true,    false, ActionResultCheck::Document},
  {saBase64Envelope, "base64-envelope", "sign Base64 data and wrap it into an envelope",               ActionInput::Base64Text,  true,  false,   false, ActionResultCheck::Envelope},
};
// clang-format on

inline constexpr size_t kActionCount = sizeof kActions / sizeof kActions[0];

// The row of a code's low 8 bits; null for a code that names no action.
constexpr const ActionRow* FindAction(int32_t code) {
  const int32_t low = code & 0xFF;
  return low >= 1 && static_cast<size_t>(low) <= kActionCount ? &kActions[low - 1] : nullptr;
}

// What a code that names no action does: its input parsed whole under an opened key, and
// handed back in fixed-prefix canonical form (the C API and dezsign refuse such codes;
// the automation objects pass them on).
inline constexpr ActionRow kUnknownAction = {0,    "",    "",    ActionInput::Tree,
                                             true, false, false, ActionResultCheck::Document};

// The row that decides an action code's route: its own, or kUnknownAction.
constexpr const ActionRow& ActionOf(int32_t code) {
  const ActionRow* row = FindAction(code);
  return row != nullptr ? *row : kUnknownAction;
}

// The row of a command name; null when no action has it.
const ActionRow* FindActionCommand(std::string_view command);

// The command in words, for a message: "base64 envelope".
std::string ActionWords(const ActionRow& row);

// The codes and names for a message: "1 childs, 2 root, ..., 6 base64-envelope", with
// `last` before the last one instead of ", " (" or "); spaced: "base64 envelope".
std::string ActionCodeList(std::string_view last, bool spaced);

// The invariants the rows keep.
constexpr bool ActionRowsKeepTheirRules() {
  uint8_t expected = 1;
  for (const ActionRow& row : kActions) {
    if (row.code != expected++ || row.command.empty() || row.summary.empty()) return false;
    if (!row.needsKey && !(row.readsEnvelope && !row.checksSignature)) return false;
    if (row.readsEnvelope && row.input != ActionInput::Tree) return false;
  }
  return true;
}
static_assert(ActionRowsKeepTheirRules(),
              "codes 1, 2, 3, ... in row order; an action without a key only unwraps an "
              "envelope; an envelope is read as a tree");

// One row per published name.
#define LUMO_ACTION_ONE(name, cName, code) +1
static_assert(kActionCount == 0 LUMO_ACTIONS(LUMO_ACTION_ONE));
#undef LUMO_ACTION_ONE

}  // namespace Lumo::Base
