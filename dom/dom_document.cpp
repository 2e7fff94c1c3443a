// Documents: loading (text, bytes, files), the document element, and new nodes.
#include <cerrno>
#include <cstring>

#include "base/encoding.h"
#include "base/input_file.h"
#include "base/read_once_text.h"
#include "dom/dom.h"
#include "dom/dom_impl.h"

namespace Lumo::Dom {

using namespace Lumo::Base;

// --- documents -----------------------------------------------------------------------

Document Document::Create(Flavour flavour) {
  DocumentImpl* d = new DocumentImpl(flavour);
  return DocumentImpl::WrapDocument(d);
}

static DocumentImpl* DocOf(const Document& d) {
  if (!d.impl()) Fail("The document is null.", kE_POINTER);
  return DocumentImpl::StorageOf(d.impl());
}

static void ClearDocument(DocumentImpl* d) {
  ElementImpl* dn = d->docNode();
  while (dn->first) Detach(AsChild(dn->first));
  d->error = ParseError();
}

bool Document::loadXML(WideView text) { return LoadWide(text, false); }

bool Document::loadXMLBorrowing(WideView text) { return LoadWide(text, true); }

// A failed load leaves the document empty, with only the error kept.
template <class Parse>
bool Document::LoadWith(Parse parse) {
  DocumentImpl* d = DocOf(*this);
  ClearDocument(d);
  d->handingOver = static_cast<bool>(d->rootChildHandler);
  bool ok = parse(d);
  d->handingOver = false;
  if (!ok) {
    ParseError e = d->error;
    ClearDocument(d);
    d->error = e;
  }
  return ok;
}

bool Document::LoadWide(WideView text, bool borrow) {
  return LoadWith([&](DocumentImpl* d) { return ParseWide(d, text, borrow); });
}

bool Document::loadBytes(std::string_view bytes) {
  return LoadWith([&](DocumentImpl* d) { return ParseBytes(d, bytes); });
}

bool Document::loadUtf8Text(std::string_view text) {
  return LoadWith([&](DocumentImpl* d) { return ParseUtf8Text(d, text); });
}

bool Document::load(const AnsiString& fileName) {
  DocumentImpl* d = DocOf(*this);
  ClearDocument(d);
  std::string bytes;
  switch (ReadWholeFile(fileName, bytes)) {
    case FileRead::kCannotOpen: {
      const int error = errno;
      std::string reason =
          "The file '" + fileName + "' cannot be opened: " + std::strerror(error) + ".";
      SetLoadError(d, static_cast<int32_t>(0x800C0006u), WideFromUtf8(reason));
      d->error.url = AnsiToWide(fileName);
      return false;
    }
    case FileRead::kCannotRead:
      SetLoadError(d, static_cast<int32_t>(0x800C0006u),
                   WideFromUtf8("The file '" + fileName + "' cannot be read."));
      d->error.url = AnsiToWide(fileName);
      return false;
    case FileRead::kDone: break;
  }
  // The bytes are this load's own: a load that hands the root's children over gives
  // their pages back as it goes (unless its caller named a text of its own), so that a
  // packet of many children is not held twice, as input and as what is made of it.
  Base::ReadOnceText readOnce(bytes);
  Base::ReadOnceText* const callers = d->inputReadOnce;
  if (d->rootChildHandler && !callers) d->inputReadOnce = &readOnce;
  bool ok = loadBytes(bytes);
  d->inputReadOnce = callers;
  d->error.url = AnsiToWide(fileName);
  return ok;
}

void Document::setRootChildHandler(RootChildHandler handler) {
  DocumentImpl* d = DocOf(*this);
  if (!handler) {
    d->rootChildHandler = nullptr;
    return;
  }
  // The root's handle is gone before the parser gives storage back.
  d->rootChildHandler = [handler = std::move(handler)](ElementImpl* root) {
    return handler(DocumentImpl::Wrap(root));
  };
}

void Document::setInputReadOnce(Base::ReadOnceText* readOnce) {
  DocOf(*this)->inputReadOnce = readOnce;
}

Node Document::documentElement() const {
  DocumentImpl* d = DocOf(*this);
  for (NodeImpl* c = d->docNode()->first; c; c = c->next)
    if (c->type() == NODE_ELEMENT) return DocumentImpl::Wrap(c);
  return Node();
}

const ParseError& Document::parseError() const { return DocOf(*this)->error; }

Node Document::createElement(WideView qualifiedName) {
  DocumentImpl* d = DocOf(*this);
  Atom* q = d->InternValidQName(qualifiedName);
  if (!q) Fail("The element name is not a valid XML name.", kE_INVALIDARG);
  ElementImpl* e = d->NewNode<ElementImpl>(NODE_ELEMENT);
  e->name = d->Name(q, nullptr);
  e->parent = d->docNode();
  e->bits |= kFlagDetached;
  return DocumentImpl::Wrap(e);
}

Node Document::createTextNode(WideView data) {
  DocumentImpl* d = DocOf(*this);
  TextImpl* t = d->NewNode<TextImpl>(NODE_TEXT);
  t->data = d->CopyText(data);
  t->len = static_cast<uint32_t>(data.size());
  t->parent = d->docNode();
  t->bits |= kFlagDetached;
  return DocumentImpl::Wrap(t);
}

bool Document::validateOnParse() const { return DocOf(*this)->validateOnParse; }
void Document::setValidateOnParse(bool value) { DocOf(*this)->validateOnParse = value; }

}  // namespace Lumo::Dom
