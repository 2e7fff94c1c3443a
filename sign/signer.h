// The engine behind one call of the DEZSign object: keeps the key profiles it opens in a
// sorted, case-insensitive list keyed by profile name, runs one action code on XML text or
// on an XML file, and is destroyed when the call returns. Every action whose row needs a
// key (base/actions.h) is delegated to a key profile opened for the duration of the
// action; Extract needs none and is done by the signer itself.
//
// Calling order: construct with TestMode, set Silent, exactly one SignFile or SignXml,
// destroy (also when the call failed). One thread at a time; no locks.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "base/types.h"
#include "sign/profile.h"

namespace Lumo::Sign {

class TCBRSigner {
 public:
  explicit TCBRSigner(bool testMode);
  // Destroys every profile still listed, from the last entry to the first; a failure
  // while destroying one profile is dropped and the loop goes on.
  ~TCBRSigner();
  TCBRSigner(const TCBRSigner&) = delete;
  TCBRSigner& operator=(const TCBRSigner&) = delete;

  bool TestMode;       // every owned profile reads it as its effective test mode
  bool Silent = true;  // profiles with key-load mode Default open silently when set

  // Finds or creates the named profile and opens it once more. A new profile is listed
  // before it is opened; if that Open fails it stays listed (count zero) until the signer
  // is destroyed.
  TProfile* OpenProfile(const Lumo::Base::AnsiString& name);
  // Closes the named profile once and releases it when no Open remains.
  // Not listed: ELumoDEZError "Профиль \"<name>\" не найден".
  void CloseProfile(const Lumo::Base::AnsiString& name);

  // Runs the action on an XML file. Extract (5) writes the enclosed document as UTF-8
  // without declaration and touches no profile; other codes go to the named profile.
  void SignFile(const Lumo::Base::AnsiString& profileName,
                const Lumo::Base::AnsiString& inputFileName,
                const Lumo::Base::AnsiString& outputFileName, uint8_t action);
  // Runs the action on XML text. Extract (5) returns the enclosed document without
  // declaration and touches no profile.
  void SignXml(Lumo::Base::WideView profileName, Lumo::Base::WideView inputXml, uint8_t action,
               Lumo::Base::WideString& value);
  // SignXml on standard UTF-8 text (checked by the caller): the same result as standard
  // UTF-8, handed to sink piece by piece (TProfile::SignXmlUtf8).
  // release as for TProfile::SignXmlUtf8.
  void SignXmlUtf8(Lumo::Base::WideView profileName, std::string_view inputXml, uint8_t action,
                   const TextSink& sink, Lumo::Base::ByteString* release = nullptr);
  // The Extract action on XML text (no signature check, no profile): the document carried
  // in the root's Object child, or the input's root markup when there is none.
  Lumo::Base::WideString ExtractXml(Lumo::Base::WideView xml);

  // The listed profiles (in list order, names as first given), for inspection.
  size_t ProfileCount() const noexcept { return profiles_.size(); }
  std::vector<Lumo::Base::AnsiString> ProfileNames() const;
  TProfile* FindProfile(const Lumo::Base::AnsiString& name) const;

 private:
  // What ExtractXml returns the markup of: the carried document, parsed once the
  // envelope is let go, or the input's root. From a file, its document goes first.
  Lumo::Dom::Node ExtractContent(Lumo::Base::WideView xml);
  // From UTF-8 text: release as for TProfile::SignXmlUtf8. The UTF-8 and file entries
  // write the document of an envelope as this library writes it as it is parsed; these
  // two serve every other input.
  Lumo::Dom::Node ExtractContent(std::string_view xml, Lumo::Base::ByteString* release);
  Lumo::Dom::Node ExtractFileContent(const Lumo::Base::AnsiString& inputFileName);
  // Opens the named profile, runs the work on it and closes it again, also when the work
  // failed (its error is then the one reported).
  template <class Work>
  void WithProfile(const Lumo::Base::AnsiString& name, Work work);
  // Index of the entry with this name, or of the place where it would be inserted.
  size_t Search(const Lumo::Base::AnsiString& name, bool& found) const;

  std::vector<std::pair<Lumo::Base::AnsiString, std::unique_ptr<TProfile>>> profiles_;
};

}  // namespace Lumo::Sign
