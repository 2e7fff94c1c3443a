// What an action leaves to be written out, and the writer that puts it into a file or
// text. Most results are a tree; two shapes are known from their text and never built:
//   - Root on a document whose result is known from its fixed-prefix text: that text and
//     the signature; the result is the tree the text parses into, with the signature
//     value put first into its root, written straight from the text;
//   - Envelope: the carried bytes and their signature; the result is the envelope that
//     parses from their Base64 texts, which reads back exactly as its text, and the texts
//     are made as it is written;
//   - Childs on a document whose fixed-prefix text is settled: that text; each child
//     element of its root is signed as the result is written, from its own slice of the
//     text, as Root is written from text.
#pragma once

#include <functional>

#include "base/types.h"
#include "dom/dom.h"

namespace Lumo::Sign {

struct ActionResult {
  Lumo::Dom::Node tree;
  // Root as text.
  Lumo::Base::ByteString fixedText;
  Lumo::Base::ByteString signature;
  // Envelope as its carried bytes and their signature; in test mode the signature is
  // the carried bytes themselves (signatureIsData), held once, and its text made once.
  Lumo::Base::ByteString envelopeData;
  Lumo::Base::ByteString envelopeSignature;
  bool signatureIsData = false;
  // Childs as text: the document's fixed-prefix text, and the signer of each child's bytes
  // (in place: the signed bytes in, the signature out).
  Lumo::Base::ByteString childsText;
  std::function<void(Lumo::Base::ByteString&)> signInPlace;

  explicit operator bool() const {
    return tree || !fixedText.empty() || !envelopeData.empty() || !childsText.empty();
  }
  // The result's markup as UTF-8, handed to consume piece by piece (consume empties the
  // buffer it is given). Written once: large parts are let go as soon as they are out.
  void WriteUtf8(const std::function<void(Lumo::Base::ByteString&)>& consume);
  // The same markup appended as wide text.
  void AppendXml(Lumo::Base::WideString& out);

  // An envelope result from the carried bytes and their signature (ignored when
  // signatureIsData). An empty value would not read back as its text (an empty element
  // is written in its short form): the envelope's tree is then built instead.
  static ActionResult FromEnvelope(Lumo::Base::ByteString data, Lumo::Base::ByteString signature,
                                   bool signatureIsData);

 private:
  void WriteChilds(const std::function<void(Lumo::Base::ByteString&)>& consume);
};

// The Childs steps on the tree of a document's fixed-prefix form: each child element of
// the root, taken as a document of its own (its xml parsed), goes to signRoot, and the
// signed document's root takes its place; the result is the root's markup parsed again.
Lumo::Dom::Node SignEachChild(Lumo::Dom::Node parent,
                              const std::function<Lumo::Dom::Node(Lumo::Dom::Node)>& signRoot);

// The signature's Base64 text in a new dsig:SigValue element, put first into the root (an
// existing signature value element stays where it is): what the tree route does, and what
// the result written from text must equal.
void InsertSignatureValue(Lumo::Dom::Node& root, const Lumo::Base::ByteString& signature);

}  // namespace Lumo::Sign
