// A whole document handed to the library from outside (a file by name, a file's bytes
// already read, a client's UTF-8 text), and the entries that take one: its canonical
// text, and the check of the signature values root or childs put into it. Every face of
// the library (dezsign, the C API and through it Python) reaches these through here, so
// that a document is read, canonicalised and checked the same way whoever asks.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/types.h"
#include "dom/dom.h"
#include "sign/signature_check.h"

namespace Lumo::Sign {

class TProfile;

// Where a document comes from. The text forms are views: the caller keeps them for the
// call.
class DocumentInput {
 public:
  // A file by name (as the system takes it), read as a file load reads it.
  static DocumentInput File(Lumo::Base::AnsiString fileName);
  // A file's bytes (standard input's): the byte order mark, else the declaration's
  // encoding, else UTF-8 decides how they are read.
  static DocumentInput FileBytes(std::string_view bytes);
  // A client's standard UTF-8 text (checked by the caller): read as it stands, whatever
  // encoding its declaration names.
  static DocumentInput Utf8Text(std::string_view text);

  // The document's root element (null for none); a handler is given the root's children
  // as they are parsed (Lumo::Dom::LoadXmlFile and its kin). Parse errors raise
  // EXmlParserError.
  Lumo::Dom::Node Load(Lumo::Dom::RootChildHandler handler = nullptr) const;
  // The bytes as given, to tell the lines of what a check finds (a file is read again;
  // nothing where it cannot be).
  std::string SourceBytes() const;

 private:
  enum class Kind { File, FileBytes, Utf8Text };
  DocumentInput(Kind kind, Lumo::Base::AnsiString fileName, std::string_view text)
      : kind_(kind), fileName_(std::move(fileName)), text_(text) {}

  Kind kind_;
  Lumo::Base::AnsiString fileName_;  // File
  std::string_view text_;            // FileBytes, Utf8Text
};

// The document's canonical text: the fixed-prefix form, or with numbered the exact bytes
// the Root action signs for it (taken as the key profile takes them). The document is
// taken as it is parsed, never held as one tree where that can be avoided. Nothing when
// the input gives no document element.
std::optional<Lumo::Base::ByteString> CanonicalTextOf(const DocumentInput& input, bool numbered);

// CheckLoaded on the input's document, the lines of what it finds told from the
// input's bytes. The profile must be open unless it is in test mode. Nothing when the
// input gives no document element.
// onVerdict as CheckOptions::onVerdict (null: the verdicts are kept in the result).
std::optional<SignatureCheck> CheckDocumentOf(
    TProfile& profile, const DocumentInput& input, SignedBy action, bool allowUnsignedContent,
    const std::function<void(SignatureVerdict&&)>& onVerdict = nullptr);

// A file's document as standard UTF-8 text, for an entry that takes text (the Profile
// object's file calls): read whole into bytes and taken in the encoding a file load would
// find (converted into `converted` where it is not UTF-8). A file that cannot be opened
// or read raises ELumoDEZError naming it with the system's reason.
std::string_view DocumentFileText(const Lumo::Base::AnsiString& fileName, std::string& bytes,
                                  std::string& converted);

}  // namespace Lumo::Sign
