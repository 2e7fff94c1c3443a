// Every shortcut, in one list, and the one way each is taken. A shortcut gives the bytes
// (or writes the output) of a step another way than the reference way does (reference.h);
// the helpers below own the two things every shortcut must honour:
//   - the reference switch: while it is on (LUMO_CANON_REFERENCE=1, or ForceReference),
//     no shortcut answers and every caller takes its long way;
//   - the check: in a checking build (-DLUMO_CANON_CHECK=ON, check.h) every answer is
//     taken again the reference way and the process aborts on any difference.
// The list is README.md's table of shortcuts, name for name (a test holds the two alike).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "base/types.h"
#include "canon/check.h"

namespace Lumo::Canon {

// X(id, name): the name is the one reports and README.md's table give the shortcut.
#define LUMO_CANON_SHORTCUTS(X)                                                       \
  X(TreeWalk, "tree walk of the normalized element")                                  \
  X(FixedWalk, "fixed-prefix walk without the rewrite")                               \
  X(SettledText, "settled text (second fixed-prefix pass skipped)")                   \
  X(FixedByChildren, "fixed-prefix text taken child by child")                        \
  X(NumberedRenamed, "numbered text renamed from the fixed text")                     \
  X(NumberedRenamedChild, "numbered text renamed from a child's fixed text")          \
  X(NumberedKeepingTree, "numbered walk keeping the tree")                            \
  X(TreeKeptAsResult, "numbered walk keeping the tree (the tree kept as the result)") \
  X(ResultMarkup, "result markup written from the settled text")                      \
  X(EnvelopeData, "envelope data written from the settled text")                      \
  X(ChildsResult, "childs result written from the settled text")                      \
  X(ChildSlice, "signed bytes of a child taken from its slice of the settled text")   \
  X(Base64Envelope, "Base64 envelope written from the client's text")                 \
  X(EnvelopeFile, "envelope read piece by piece from its file")                       \
  X(EnvelopeText, "envelope read from its text")                                      \
  X(ObjectAsParsed, "object document written as it is parsed")                        \
  X(StreamedCheck, "signature check taken as the document is parsed")

enum class Shortcut : uint8_t {
#define LUMO_SHORTCUT_ID(id, name) id,
  LUMO_CANON_SHORTCUTS(LUMO_SHORTCUT_ID)
#undef LUMO_SHORTCUT_ID
};

namespace Shortcuts {

inline constexpr std::array kNames = {
#define LUMO_SHORTCUT_NAME(id, name) std::string_view(name),
    LUMO_CANON_SHORTCUTS(LUMO_SHORTCUT_NAME)
#undef LUMO_SHORTCUT_NAME
};
inline constexpr size_t kCount = kNames.size();
// The ids as written in the code ("TreeWalk"), for the test that finds each one used.
inline constexpr std::array<std::string_view, kCount> kIds = {
#define LUMO_SHORTCUT_ID_TEXT(id, name) std::string_view(#id),
    LUMO_CANON_SHORTCUTS(LUMO_SHORTCUT_ID_TEXT)
#undef LUMO_SHORTCUT_ID_TEXT
};

inline const char* Name(Shortcut s) { return kNames[static_cast<size_t>(s)].data(); }

// The reference switch. Starts as the environment variable LUMO_CANON_REFERENCE says
// ("1": on), read once; ForceReference overrides it for the rest of the process
// (benchmarks and tests). For triage of a suspected shortcut fault and for the benchmark
// row that sets the two ways side by side.
bool ReferenceForced();
void ForceReference(bool on);

// Whether the shortcut may answer now: false while the reference switch is on.
inline bool Allowed(Shortcut) { return !ReferenceForced(); }

// How many answers the shortcut has given in this process (tests see which way ran).
uint64_t Answers(Shortcut s);
void CountAnswer(Shortcut s);

// An answer the shortcut gave (the caller asked Allowed first): counted, and in checking
// builds `reference()` (bytes, or a throw) must be `taken`. inputSize is for the report
// only: bytes of a text, or a document's size hint.
template <class ReferenceWay>
void Answered(Shortcut s, size_t inputSize, std::string_view taken, ReferenceWay&& reference) {
  CountAnswer(s);
  if constexpr (kCheckShortcuts) Check::Agrees(Name(s), inputSize, taken, reference);
}

// The common shape: fast(out) writes the answer into out and says whether it answered
// (out is the caller's to discard where it did not). False without running fast while the
// switch is on; the answer is checked as Answered says.
template <class Fast, class ReferenceWay>
bool Take(Shortcut s, size_t inputSize, Lumo::Base::ByteString& out, Fast&& fast,
          ReferenceWay&& reference) {
  if (!Allowed(s) || !fast(out)) return false;
  Answered(s, inputSize, out, std::forward<ReferenceWay>(reference));
  return true;
}

// What a shortcut that writes its answer in pieces has handed on: kept in checking
// builds, for Answered; nothing is kept in other builds.
class Written {
 public:
  void Add(std::string_view piece) {
    if constexpr (kCheckShortcuts) bytes_.append(piece.data(), piece.size());
  }
  std::string_view bytes() const { return bytes_; }

 private:
  Lumo::Base::ByteString bytes_;
};

// A copy of what the reference way will need once the shortcut has used it up: the
// bytes in checking builds, nothing in others.
inline Lumo::Base::ByteString KeptForCheck(std::string_view bytes) {
  if constexpr (kCheckShortcuts) return Lumo::Base::ByteString(bytes);
  return {};
}

}  // namespace Shortcuts
}  // namespace Lumo::Canon
