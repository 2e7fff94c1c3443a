// Serialisation of nodes (the `xml` property): one pass, appending into one buffer.
#include <cstring>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "base/encoding.h"
#include "base/scoped_bindings.h"
#include "dom/dom_impl.h"
#include "dom/xml_chars.h"

namespace Lumo::Dom {

using namespace Lumo::Base;

using ConsumeBytes = std::function<void(ByteString&)>;

namespace {

// Appends into a string through a raw write pointer; capacity grows geometrically.
class Writer {
 public:
  // Callers append many small pieces (one text node at a time) to one large string, so
  // the room a writer opens must be proportional to what this writer writes, never to
  // what the string already holds: resize zero-fills, and filling the whole spare
  // capacity per call made appending n pieces quadratic.
  explicit Writer(WideString& out) : out_(out) {
    base_ = out_.size();
    Open(base_, kSlack);
  }
  // Markup encoded into utf8 (Utf8EncodeAppend) as it is written: the wide text goes
  // through scratch a bounded piece at a time and is never held whole.
  // With consume, the bytes gathered in utf8 are handed over whenever there are at least
  // kConsumeBytes of them, and the rest by Finish.
  Writer(WideString& scratch, ByteString& utf8, const ConsumeBytes* consume = nullptr)
      : out_(scratch), sink_(&utf8), consume_(consume) {
    out_.clear();
    base_ = 0;
    Open(0, kSinkRoom);
  }
  ~Writer() {
    if (sink_) {
      out_.clear();  // Finish has drained a completed writing; a failed one is dropped
      return;
    }
    out_.resize(static_cast<size_t>(w_ - out_.data()));
  }
  // Completes a writing into utf8 (it may throw: the consumer writes a file).
  void Finish() {
    Drain();
    if (consume_ && !sink_->empty()) (*consume_)(*sink_);
  }
  bool Sinking() const { return sink_ != nullptr; }
  // Capacity for n more units; the room itself is still opened step by step, so
  // nothing is zero-filled ahead of the writing.
  void Reserve(size_t n) {
    size_t used = static_cast<size_t>(w_ - out_.data());
    if (used + n <= out_.capacity()) return;
    out_.reserve(used + n);
    w_ = out_.data() + used;
    end_ = out_.data() + out_.size();
  }
  void Need(size_t n) {
    if (static_cast<size_t>(end_ - w_) >= n) return;
    if (sink_) {
      // Encoding goes one UTF-16 unit at a time, so the text may be cut anywhere.
      Drain();
      if (static_cast<size_t>(end_ - w_) >= n) return;
    }
    size_t used = static_cast<size_t>(w_ - out_.data());
    size_t written = used - base_;
    // Doubling what this writer has written keeps the zero-filling linear, and the cap
    // keeps the zero-filled room a bounded step ahead of the writing: pages that are
    // zero-filled are pages the process holds, and a large document's markup would
    // otherwise hold up to twice its size.
    size_t step = written < kMaxStep ? written : kMaxStep;
    Open(used, (n > step ? n : step) + kSlack);
  }
  void Put(char16_t c) {
    Need(1);
    *w_++ = c;
  }
  void Put(const char16_t* s, size_t n) {
    Need(n);
    std::memcpy(w_, s, n * sizeof(char16_t));
    w_ += n;
  }
  void Put(WideView v) { Put(v.data(), v.size()); }
  void Ascii(const char* s) {
    size_t n = std::strlen(s);
    Need(n);
    for (size_t i = 0; i < n; ++i) *w_++ = static_cast<char16_t>(s[i]);
  }
  void Indent(int depth) {
    Need(2 + static_cast<size_t>(depth < 0 ? 0 : depth));
    *w_++ = u'\r';
    *w_++ = u'\n';
    for (int i = 0; i < depth; ++i) *w_++ = u'\t';
  }

  // Text: & < > escaped, LF as CR LF.
  void Text(const char16_t* s, size_t n) {
    for (size_t done = 0; done < n; done += kChunk)
      TextChunk(s + done, n - done < kChunk ? n - done : kChunk);
  }
  void AttrValue(const char16_t* s, size_t n) {
    for (size_t done = 0; done < n; done += kChunk)
      AttrChunk(s + done, n - done < kChunk ? n - done : kChunk);
  }
  void Lines(const char16_t* s, size_t n) {
    for (size_t done = 0; done < n; done += kChunk)
      LinesChunk(s + done, n - done < kChunk ? n - done : kChunk);
  }

 private:
  // Escaping reserves its worst case (every character becoming "&quot;") one chunk at a
  // time, so a huge text node does not ask for six times its size at once.
  static constexpr size_t kChunk = 4096;
  static constexpr size_t kSlack = 256;
  static constexpr size_t kSinkRoom = 4096;

  void Drain() {
    char16_t* start = out_.data() + base_;
    Utf8EncodeAppend(WideView(start, static_cast<size_t>(w_ - start)), *sink_);
    w_ = start;
    if (consume_ && sink_->size() >= kConsumeBytes) (*consume_)(*sink_);
  }
  static constexpr size_t kConsumeBytes = 256 * 1024;
  static constexpr size_t kMaxStep = 32768;

  void TextChunk(const char16_t* s, size_t n) {
    // Worst case: every character becomes "&amp;" (5 units).
    Need(n * 5);
    char16_t* w = w_;
    for (size_t i = 0; i < n; ++i) {
      char16_t c = s[i];
      if (c >= 0x40 || !kText[c]) {
        *w++ = c;
        continue;
      }
      switch (c) {
        case u'&': w = Lit(w, u"&amp;", 5); break;
        case u'<': w = Lit(w, u"&lt;", 4); break;
        case u'>': w = Lit(w, u"&gt;", 4); break;
        case u'\n':
          *w++ = u'\r';
          *w++ = u'\n';
          break;
        default: *w++ = c;
      }
    }
    w_ = w;
  }
  // Attribute value: & < > " escaped; tab, CR, LF as character references.
  void AttrChunk(const char16_t* s, size_t n) {
    Need(n * 6);
    char16_t* w = w_;
    for (size_t i = 0; i < n; ++i) {
      char16_t c = s[i];
      if (c >= 0x40 || !kAttr[c]) {
        *w++ = c;
        continue;
      }
      switch (c) {
        case u'&': w = Lit(w, u"&amp;", 5); break;
        case u'<': w = Lit(w, u"&lt;", 4); break;
        case u'>': w = Lit(w, u"&gt;", 4); break;
        case u'"': w = Lit(w, u"&quot;", 6); break;
        case u'\t': w = Lit(w, u"&#9;", 4); break;
        case u'\n': w = Lit(w, u"&#10;", 5); break;
        case u'\r': w = Lit(w, u"&#13;", 5); break;
        default: *w++ = c;
      }
    }
    w_ = w;
  }
  // Verbatim with LF written as CR LF (PI data, document type).
  void LinesChunk(const char16_t* s, size_t n) {
    Need(n * 2);
    char16_t* w = w_;
    for (size_t i = 0; i < n; ++i) {
      if (s[i] == u'\n') *w++ = u'\r';
      *w++ = s[i];
    }
    w_ = w;
  }

  // Makes [used, used + n) writable. The capacity grows geometrically (a reallocation
  // copies what is written); the room is opened by resize, which zero-fills it.
  void Open(size_t used, size_t n) {
    size_t want = used + n;
    size_t capacity = out_.capacity();
    if (want > capacity) out_.reserve(want > 2 * capacity ? want : 2 * capacity);
    out_.resize(want);
    w_ = out_.data() + used;
    end_ = out_.data() + out_.size();
  }

  static char16_t* Lit(char16_t* w, const char16_t* s, size_t n) {
    std::memcpy(w, s, n * sizeof(char16_t));
    return w + n;
  }
  static bool IsText(char16_t c) { return c == u'&' || c == u'<' || c == u'>' || c == u'\n'; }
  static bool IsAttr(char16_t c) {
    return c == u'&' || c == u'<' || c == u'>' || c == u'"' || c == u'\t' || c == u'\n' ||
           c == u'\r';
  }
  struct Table {
    bool v[64];
    explicit Table(bool (*f)(char16_t)) : v() {
      for (int i = 0; i < 64; ++i) v[i] = f(static_cast<char16_t>(i));
    }
    bool operator[](char16_t c) const { return v[c]; }
  };
  static inline const Table kText{&IsText};
  static inline const Table kAttr{&IsAttr};

  WideString& out_;
  ByteString* sink_ = nullptr;
  const ConsumeBytes* consume_ = nullptr;
  size_t base_;
  char16_t* w_;
  char16_t* end_;
};

int DepthOf(const NodeImpl* n) {
  int d = 0;
  while (n->type() != NODE_DOCUMENT && n->type() != NODE_ATTRIBUTE && !(n->bits & kFlagDetached)) {
    n = static_cast<const ChildImpl*>(n)->parent;
    if (n->type() == NODE_ELEMENT) ++d;
  }
  return d;
}

// Namespace bindings of the markup written so far: a serialised subtree declares what its
// names rely on even when the declaration stands on an ancestor outside it (the platform
// DOM writes a child element that way). Declarations are ordinary attributes; the ones
// added here come right after the element name. Scope maps each prefix in scope (the
// empty name: the default namespace) to its binding.
struct Binding {
  WideView uri;
  const Atom* seen;  // a URI atom found equal to uri before (pointer check next time)
};
using Scope = ScopedBindings<Binding>;

// A prefix is never empty: the empty name stands for the default namespace.
inline WideView PrefixName(const Atom* prefix) { return prefix ? prefix->view() : WideView(); }

inline bool IsDeclaration(const Atom* q, const Atom** prefix) {
  WideView v = q->view();
  if (!IsNamespaceDeclaration(v)) return false;
  if (v.size() == 5) {
    *prefix = nullptr;
    return true;
  }
  if (q->prefix && q->prefix->view() == u"xmlns") {
    *prefix = q->local;
    return true;
  }
  return false;
}

void NeedBinding(Writer& w, Scope& scope, const Atom* prefix, const Atom* uri) {
  if (prefix && prefix->view() == u"xml") return;  // bound by definition
  if (Binding* b = scope.Find(PrefixName(prefix))) {
    if (b->seen == uri) return;
    if (b->uri == uri->view()) {
      b->seen = uri;
      return;
    }
  }
  w.Put(u' ');
  w.Ascii("xmlns");
  if (prefix) {
    w.Put(u':');
    w.Put(prefix->view());
  }
  w.Put(u'=');
  w.Put(u'"');
  w.AttrValue(uri->s, uri->len);
  w.Put(u'"');
  scope.Push(PrefixName(prefix), {uri->view(), uri});
}

void StartTag(Writer& w, const ElementImpl* e, Scope& scope) {
  w.Put(u'<');
  w.Put(e->name->q->view());
  for (const AttrImpl* a = e->attrs; a; a = static_cast<const AttrImpl*>(a->next)) {
    const Atom* prefix;
    if (IsDeclaration(a->name->q, &prefix))
      scope.Push(PrefixName(prefix), {WideView(a->data, a->len), nullptr});
  }
  if (e->name->uri) NeedBinding(w, scope, e->name->q->prefix, e->name->uri);
  for (const AttrImpl* a = e->attrs; a; a = static_cast<const AttrImpl*>(a->next))
    if (a->name->uri && a->name->q->prefix) NeedBinding(w, scope, a->name->q->prefix, a->name->uri);
  for (const AttrImpl* a = e->attrs; a; a = static_cast<const AttrImpl*>(a->next)) {
    w.Put(u' ');
    w.Put(a->name->q->view());
    w.Put(u'=');
    w.Put(u'"');
    w.AttrValue(a->data, a->len);
    w.Put(u'"');
  }
}

// Writes one leaf node (anything but an element or a document).
void Leaf(Writer& w, const NodeImpl* n) {
  switch (n->type()) {
    case NODE_TEXT: w.Text(static_cast<const TextImpl*>(n)->data, n->len); break;
    case NODE_CDATA_SECTION:
      w.Ascii("<![CDATA[");
      w.Put(static_cast<const TextImpl*>(n)->data, n->len);
      w.Ascii("]]>");
      break;
    case NODE_COMMENT:
      w.Ascii("<!--");
      w.Put(static_cast<const TextImpl*>(n)->data, n->len);
      w.Ascii("-->");
      break;
    case NODE_PROCESSING_INSTRUCTION: {
      const PIImpl* p = static_cast<const PIImpl*>(n);
      w.Ascii("<?");
      w.Put(p->name->q->view());
      if (n->len) {
        w.Put(u' ');
        w.Lines(p->data, n->len);
      }
      w.Ascii("?>");
      break;
    }
    case NODE_DOCUMENT_TYPE: {
      const PIImpl* p = static_cast<const PIImpl*>(n);
      w.Lines(p->data, n->len);
      break;
    }
    case NODE_ATTRIBUTE: {
      const AttrImpl* a = static_cast<const AttrImpl*>(n);
      w.Put(a->name->q->view());
      w.Ascii("=\"");
      w.AttrValue(a->data, a->len);
      w.Put(u'"');
      break;
    }
    default: break;
  }
}

// An element and its subtree, iteratively; depth is the element's own depth. scope holds
// the bindings of the markup around it, and is as it was when the element is done.
void Element(Writer& w, const ElementImpl* root, int depth, Scope& scope) {
  std::vector<size_t> marks;
  const NodeImpl* n = root;
  for (;;) {
    // n is an element to open, or a leaf to write, at `depth`.
    if (n->type() == NODE_ELEMENT) {
      const ElementImpl* e = static_cast<const ElementImpl*>(n);
      // The nodes written next, asked for while this tag is written: a tree rebuilt by
      // edits lies in storage in another order than the one it is written in.
      __builtin_prefetch(e->first);
      __builtin_prefetch(e->next);
      size_t mark = scope.size();
      StartTag(w, e, scope);
      if (e->first) {
        marks.push_back(mark);
        w.Put(u'>');
        n = e->first;
        ++depth;
        if (n->bits & kFlagWsBefore) w.Indent(depth);
        continue;
      }
      w.Put(u'/');
      w.Put(u'>');
      scope.Truncate(mark);
    } else {
      Leaf(w, n);
    }
    // Move on: next sibling, or close parents.
    for (;;) {
      if (n == root) return;
      if (n->next) {
        n = n->next;
        if (n->bits & kFlagWsBefore) w.Indent(depth);
        break;
      }
      const ElementImpl* parent =
          static_cast<const ElementImpl*>(static_cast<const ChildImpl*>(n)->parent);
      --depth;
      if (parent->bits & kFlagWsBeforeEnd) w.Indent(depth);
      w.Put(u'<');
      w.Put(u'/');
      w.Put(parent->name->q->view());
      w.Put(u'>');
      scope.Truncate(marks.back());
      marks.pop_back();
      n = parent;
    }
  }
}

// The xml declaration as the document writes it: without the encoding pseudo-attribute.
void Declaration(Writer& w, const PIImpl* p) {
  WideView data(p->data, p->len);
  WideString out;
  size_t i = 0;
  while (i < data.size()) {
    size_t start = i;
    while (i < data.size() && IsXmlSpace(data[i])) ++i;
    size_t nameStart = i;
    while (i < data.size() && data[i] != u'=' && !IsXmlSpace(data[i])) ++i;
    WideView name = data.substr(nameStart, i - nameStart);
    while (i < data.size() && data[i] != u'"' && data[i] != u'\'') ++i;
    if (i < data.size()) {
      char16_t q = data[i++];
      while (i < data.size() && data[i] != q) ++i;
      if (i < data.size()) ++i;
    }
    if (name != u"encoding") out.append(data.substr(start, i - start));
  }
  w.Ascii("<?xml");
  if (!out.empty() && out[0] != u' ') w.Put(u' ');
  w.Lines(out.data(), out.size());
  w.Ascii("?>");
}

}  // namespace

namespace {

void Serialize(Writer& w, const NodeImpl* n) {
  switch (n->type()) {
    case NODE_ELEMENT: {
      // Reserve roughly what the document loaded, with room for what serialising adds
      // (line ends as CR LF, prefixes given by the normalizer): capacity only, so an
      // estimate on the high side costs no memory that is not written.
      DocumentImpl* st = DocumentImpl::StorageOf(n);
      if (!w.Sinking() && st->loadedChars &&
          !(static_cast<const ChildImpl*>(n)->parent &&
            static_cast<const ChildImpl*>(n)->parent->type() != NODE_DOCUMENT))
        w.Reserve(st->loadedChars + st->loadedChars / 4);
      Scope scope;
      Element(w, static_cast<const ElementImpl*>(n), DepthOf(n), scope);
      break;
    }
    case NODE_DOCUMENT: {
      const ElementImpl* d = static_cast<const ElementImpl*>(n);
      for (const NodeImpl* c = d->first; c; c = c->next) {
        if (c->type() == NODE_ELEMENT) {
          Scope scope;
          Element(w, static_cast<const ElementImpl*>(c), 0, scope);
        } else if (c->type() == NODE_PROCESSING_INSTRUCTION &&
                   static_cast<const PIImpl*>(c)->name->q->WideEq(u"xml")) {
          Declaration(w, static_cast<const PIImpl*>(c));
        } else {
          Leaf(w, c);
        }
        w.Put(u'\r');
        w.Put(u'\n');
      }
      break;
    }
    default: Leaf(w, n);
  }
}

}  // namespace

void SerializeNode(const NodeImpl* n, WideString& out) {
  Writer w(out);
  Serialize(w, n);
}

void SerializeNodeUtf8(const NodeImpl* n, ByteString& out) {
  WideString scratch;
  Writer w(scratch, out);
  Serialize(w, n);
  w.Finish();
}

void SerializeNodeUtf8(const NodeImpl* n, const ConsumeBytes& consume) {
  WideString scratch;
  ByteString bytes;
  Writer w(scratch, bytes, &consume);
  Serialize(w, n);
  w.Finish();
}

// --- the document element written while it is loaded --------------------------------

// The writer and the bindings of the root's start tag live from the first batch of
// children to the end tag: the markup of each batch is what the root's own writing puts
// between its tags for those children.
struct StreamedRootWriter::State {
  explicit State(ConsumeBytes consumer) : consume(std::move(consumer)) {}
  ConsumeBytes consume;
  WideString scratch;
  ByteString bytes;
  Writer w{scratch, bytes, &consume};
  Scope scope;
  bool started = false;

  // The root's children as they stand, each after the line break the load dropped.
  void Children(const ElementImpl* root, int depth) {
    for (const NodeImpl* c = root->first; c; c = c->next) {
      if (c->bits & kFlagWsBefore) w.Indent(depth);
      if (c->type() == NODE_ELEMENT) {
        Element(w, static_cast<const ElementImpl*>(c), depth, scope);
      } else {
        Leaf(w, c);
      }
    }
  }
};

StreamedRootWriter::StreamedRootWriter(std::function<void(ByteString&)> consume)
    : state_(std::make_unique<State>(std::move(consume))) {}

StreamedRootWriter::~StreamedRootWriter() = default;

HandOver StreamedRootWriter::TakeChildren(const Node& root) {
  const ElementImpl* e = static_cast<const ElementImpl*>(root.impl());
  if (!state_->started) {
    // A root handed children has some: its start tag is never the empty-element form.
    StartTag(state_->w, e, state_->scope);
    state_->w.Put(u'>');
    state_->started = true;
  }
  state_->Children(e, DepthOf(e) + 1);
  return HandOver::Taken;
}

void StreamedRootWriter::Finish(const Node& root) {
  const ElementImpl* e = static_cast<const ElementImpl*>(root.impl());
  const int depth = DepthOf(e);
  Writer& w = state_->w;
  if (!state_->started) {
    Element(w, e, depth, state_->scope);
  } else {
    state_->Children(e, depth + 1);
    if (e->bits & kFlagWsBeforeEnd) w.Indent(depth);
    w.Put(u'<');
    w.Put(u'/');
    w.Put(e->name->q->view());
    w.Put(u'>');
  }
  w.Finish();
}

}  // namespace Lumo::Dom
