// A key profile of the crypto provider, held open across one or more actions, with every
// action that needs it: signing a whole document or each of its child elements, wrapping a
// document into a signature envelope, verifying an envelope and unwrapping it.
//
// Created either by a signer (TCBRSigner), which owns it for one call, or by the Profile
// automation object, which owns it without a signer and keeps it open across calls.
// A profile is used by one thread at a time and takes no locks.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/types.h"
#include "canon/canonical.h"
#include "dom/dom.h"
#include "sign/action_result.h"
#include "sign/cms_signer.h"
#include "sign/envelope.h"

namespace Lumo::Canon {
struct RootForm;
}

namespace Lumo::Sign {

class TCBRSigner;

// Where a text result goes: its bytes, piece by piece, in order. A failure may come after
// some pieces went out (writing the result can still fail): the caller then drops them.
using TextSink = std::function<void(std::string_view)>;

// The result's markup as standard UTF-8 (a surrogate pair as one four-byte sequence),
// handed to sink as it is made; the result is let go as it goes.
void WriteStandardUtf8(ActionResult& result, const TextSink& sink);

// Unwrapping's last step: the declaration given and the markup of the document the
// envelope's object content carries (what WriteStandardUtf8 writes for LoadContent's tree)
// handed to sink as the content is parsed, so that its tree is never held whole. False
// when the content gives no root element. A failure, or false, may leave part of the
// result with sink: the caller drops it.
bool WriteCarriedContent(Lumo::Base::ByteString object, std::string_view declaration,
                         const TextSink& sink);
// The same into a result file, put in place only once complete.
bool WriteCarriedFile(Lumo::Base::ByteString object, std::string_view declaration,
                      const Lumo::Base::AnsiString& outputFileName);

// Provider initialisation flags.
inline constexpr uint32_t kOpenFlagsLoud = 0x41;     // always passed
inline constexpr uint32_t kOpenFlagsSilent = 0x841;  // 0x41 plus "load keys silently"

class TProfile {
 public:
  // Stores both; with an owner, copies the owner's TestMode.
  TProfile(TCBRSigner* owner, const Lumo::Base::AnsiString& name);
  // Releases the provider context if the profile is still open, whatever the open count
  // (subject to the test-mode rule of Close). Never throws: a failing release is dropped.
  ~TProfile();
  TProfile(const TProfile&) = delete;
  TProfile& operator=(const TProfile&) = delete;

  // Fields, in the order the object has always had them.
  int32_t OpenCount = 0;                    // outstanding Open calls not yet matched by Close
  Lumo::Base::AnsiString Name;              // profile name handed to the provider
  uint32_t Context = 0;                     // provider context; zero while closed
  TCBRSigner* Owner = nullptr;              // the owning signer, or none (not owned)
  bool TestMode = false;                    // own flag; copied from the owner at creation
  uint8_t Keyload = Lumo::Base::klDefault;  // key-load mode: 0 default, 1 silent, 2 loud

  // The owner's TestMode when there is an owner (read at each use), else the own flag.
  bool IsTestMode() const;
  // The flags the next first Open passes to the provider: Keyload 1 gives 0x841, Keyload 2
  // 0x41; any other value 0x841 without an owner or with a silent owner, else 0x41.
  uint32_t OpenFlags() const;

  // In test mode both do nothing. Otherwise Open initialises the provider context on the
  // first call and only counts later ones (a failure leaves the count unchanged); Close
  // counts down and releases the context when the count reaches zero.
  // Close with no outstanding Open is ignored: the count never goes below zero and the
  // provider is not called (nothing is open, so there is nothing to release).
  void Open();
  void Close();

  // Runs the action on an XML file and writes the result file (XML declaration + UTF-8
  // markup). The output file is replaced only when the whole result is ready.
  void SignFile(const Lumo::Base::AnsiString& inputFileName,
                const Lumo::Base::AnsiString& outputFileName, uint8_t action);
  // Runs the action on XML text; Value receives the XML declaration and the result's
  // markup. Code 6 (Base64Envelope) takes the text as Base64 data and does not parse it.
  void SignXml(Lumo::Base::WideView xml, uint8_t action, Lumo::Base::WideString& value);
  // SignXml on standard UTF-8 text (a client's text, checked by the caller), read as
  // SignXml reads its wide form: the same result (or error), as standard UTF-8, handed to
  // sink without ever being held whole as text.
  // release: the caller's buffer that holds xml, emptied as soon as the input is no longer
  // needed (the caller does not read xml again); none: xml is kept to the end.
  void SignXmlUtf8(std::string_view xml, uint8_t action, const TextSink& sink,
                   Lumo::Base::ByteString* release = nullptr);

  // Canonical pass (fixed prefixes) and dispatch on the action code. Codes other than 1 to
  // 5 give the fixed-prefix canonical form of the input. May return a null node.
  // The operations on documents take their root handle by value: a caller that hands its
  // handle over (std::move) lets a document go as soon as it is no longer needed, so that
  // large documents do not pile up in memory during the passes.
  Lumo::Dom::Node Process(Lumo::Dom::Node root, uint8_t action);

  // The actions, on the root element of a document in fixed-prefix canonical form.
  Lumo::Dom::Node SignChilds(Lumo::Dom::Node root);       // 1
  Lumo::Dom::Node SignRoot(Lumo::Dom::Node root);         // 2
  Lumo::Dom::Node MakeEnvelope(Lumo::Dom::Node root);     // 3
  Lumo::Dom::Node VerifyEnvelope(Lumo::Dom::Node root);   // 4 (null: not an envelope)
  Lumo::Dom::Node ExtractEnvelope(Lumo::Dom::Node root);  // 5
  // 6, on text. The text goes into the envelope unaltered, so it must hold nothing but
  // the Base64 alphabet, '=' and XML white space, and at least one character of the
  // alphabet; anything else is refused (ELumoDEZError) before signing.
  Lumo::Dom::Node MakeBase64Envelope(Lumo::Base::WideView text);
  // The same on UTF-8 text, the envelope's markup written straight to sink.
  void WriteBase64Envelope(std::string_view text, const TextSink& sink);

  // The detached signature of the bytes; in test mode the bytes themselves.
  Lumo::Base::ByteString SignData(const Lumo::Base::ByteString& data);

  // Normalizes the node's document in place (fixed or numbered prefixes) and returns the
  // UTF-8 canonical text of the element that now stands for the node.
  static Lumo::Base::ByteString CanonicalText(const Lumo::Dom::Node& node, bool numberedPrefixes);
  // The same, taking the caller's handle: the document is released as soon as it is no
  // longer needed.
  static Lumo::Base::ByteString CanonicalText(Lumo::Dom::Node&& node, bool numberedPrefixes);

 private:
  // The Childs route: where the input's fixed-prefix text is settled, that text, each
  // child signed as the result is written.
  ActionResult ChildsOfFixedText(Lumo::Base::ByteString c0, bool settled);
  // An input that load parses (handing the root's children to the handler it is given,
  // if any): the action run on it, nothing when it gives no root element. Root, Envelope
  // and Childs take the input's fixed-prefix text as it is parsed, never holding its
  // whole tree.
  using InputLoader = Lumo::Canon::DocumentLoader;
  // inputRead, when given, is called once load is no longer needed.
  std::optional<ActionResult> RunLoaded(const InputLoader& load, uint8_t action,
                                        const std::function<void()>& inputRead = nullptr);
  // The Root route from the input's fixed-prefix text: where the result is known from
  // its fixed-prefix text, it is left as that text and the signature (the tree is never
  // built).
  ActionResult RootOfFixedText(Lumo::Base::ByteString c0, bool settled);
  // The Envelope route: the envelope of the bytes it carries, as its two texts.
  ActionResult EnvelopeOf(Lumo::Base::ByteString data);
  // What an envelope carries and signs for the input's document: the declaration and the
  // UTF-8 markup of the document its fixed-prefix canonical text parses into.
  static Lumo::Base::ByteString CarriedBytes(Lumo::Base::ByteString c0);
  // The same for the tree that text parses into.
  static Lumo::Base::ByteString CarriedBytesOfTree(Lumo::Dom::Node root);
  // Verify or Extract on the text of an envelope as this library writes it (ScanWritten
  // accepted it): the carried document, read without the envelope's tree. A text handed
  // over as release goes before the document is parsed.
  Lumo::Dom::Node UnwrapWritten(std::string_view text, const Envelope::WrittenLayout& layout,
                                uint8_t action, Lumo::Base::ByteString* release = nullptr);
  // The values of such an envelope's text (the signature when ChecksSignature says so); a
  // text handed over as release goes once they are decoded.
  Envelope::DecodedValues DecodeWritten(std::string_view text,
                                        const Envelope::WrittenLayout& layout, uint8_t action,
                                        Lumo::Base::ByteString* release);
  // The same as UnwrapWritten for the values decoded from such an envelope.
  Lumo::Dom::Node UnwrapDecoded(Envelope::DecodedValues values, uint8_t action);
  // Unwrapping's first step: the signature verified where ChecksSignature says so (a
  // failure raises), then let go.
  void CheckDecoded(Envelope::DecodedValues& values, uint8_t action);
  // Whether the action checks the envelope's signature: Verify outside test mode.
  bool ChecksSignature(uint8_t action) const;
  // Code 6's signature of the Base64 data: its Base64 text.
  Lumo::Base::AnsiString SignBase64Data(Lumo::Base::ByteString data);
  // The input's fixed-prefix canonical text parsed again: what every action but Root
  // works on.
  static Lumo::Dom::Node FixedPrefixTree(Lumo::Dom::Node root);
  // SignData without a copy: in test mode the bytes stay as they are.
  void SignInPlace(Lumo::Base::ByteString& data);
  // SignRoot's last steps: the form's bytes signed, the signature value put first into
  // the form's tree, which is returned.
  Lumo::Dom::Node SignForm(Lumo::Canon::RootForm&& form);
};

// Who signed the envelope whose signature the last Verify on this thread handed to the
// provider, read from the signature itself, whatever the provider's verdict (nothing
// before any such Verify, or since ForgetVerifiedSigners: a caller that forgets before a
// Verify knows that what it reads after it is that Verify's).
const std::optional<CmsSigners>& LastVerifiedSigners();
void ForgetVerifiedSigners();

// The crypto provider library that profiles load, for the whole process: a file name
// found by the loader's search or a path (UTF-8); empty goes back to the environment
// variable LUMODEZ_PROVIDER, else the default name. Raises ESignaturaError naming both
// libraries when another one is already loaded (it stays loaded for the process, so the
// setting could not take effect).
void SetProviderLibrary(const std::string& path);

}  // namespace Lumo::Sign
