// Element content: text runs, references, start and end tags with their attributes and
// namespaces, comments, processing instructions and CDATA sections.

#include <cstring>
#include <string>

#include "dom/parser_impl.h"

namespace Lumo::Dom::Parsing {

template <int E>
void Parser<E>::PI(ElementImpl* parent) {
  const Unit* at = p_ - 2;
  Atom* target = NCName();
  WideView t = target->view();
  if (t.size() == 3 && (t[0] | 0x20) == 'x' && (t[1] | 0x20) == 'm' && (t[2] | 0x20) == 'l') {
    if (t == u"xml")
      Err(kBadXmlDecl, "The XML declaration is allowed only at the very beginning of the document.",
          at);
    Err(kBadXmlCase, "The name 'xml' is reserved and must be lower case.", at);
  }
  st_.Begin();
  if (!At("?>")) {
    if (!SkipWs()) {
      if (AtEnd()) Eof();
      Err(kPISyntax, "Expecting white space or '?'.", p_);
    }
    for (;;) {
      if (AtEnd()) Eof();
      if (*p_ == '?' && Peek(1) == '>') break;
      PutOne();
    }
  }
  p_ += 2;
  if (!parent) {  // inside the document type: nothing kept
    st_.w = st_.itemStart;
    return;
  }
  PIImpl* pi = doc_->NewNode<PIImpl>(NODE_PROCESSING_INSTRUCTION);
  pi->data = st_.itemStart;
  pi->len = static_cast<uint32_t>(st_.w - st_.itemStart);
  st_.Commit();
  pi->name = doc_->Name(target, nullptr);
  Link(pi, parent);
}

template <int E>
void Parser<E>::Comment(ElementImpl* parent) {
  st_.Begin();
  for (;;) {
    if (AtEnd()) Eof();
    if (*p_ == '-' && Peek(1) == '-') {
      if (Peek(2) != '>') Err(kCommentSyntax, "Incorrect syntax was used in a comment.", p_);
      break;
    }
    if (*p_ < 0x80 && !(kCls.v[*p_] & (C_INVALID | C_TEXTSTOP))) {
      st_.Reserve(1);
      *st_.w++ = *p_++;
      continue;
    }
    PutOne();
  }
  p_ += 3;
  if (!parent) {
    st_.w = st_.itemStart;
    return;
  }
  TextImpl* c = doc_->NewNode<TextImpl>(NODE_COMMENT);
  c->data = st_.itemStart;
  c->len = static_cast<uint32_t>(st_.w - st_.itemStart);
  st_.Commit();
  Link(c, parent);
}

template <int E>
void Parser<E>::CData() {
  st_.Begin();
  for (;;) {
    if (AtEnd()) Eof();
    if (*p_ == ']' && Peek(1) == ']' && Peek(2) == '>') break;
    if (*p_ < 0x80 && !(kCls.v[*p_] & (C_INVALID | C_TEXTSTOP))) {
      st_.Reserve(1);
      *st_.w++ = *p_++;
      continue;
    }
    PutOne();
  }
  p_ += 3;
  TextImpl* c = doc_->NewNode<TextImpl>(NODE_CDATA_SECTION);
  c->data = st_.itemStart;
  c->len = static_cast<uint32_t>(st_.w - st_.itemStart);
  st_.Commit();
  Link(c, st_.container);
}

// --- elements --------------------------------------------------------------------------

template <int E>
void Parser<E>::FlushText() {
  char16_t* s = st_.itemStart;
  char16_t* w = st_.w;
  if (s == w) return;
  const bool wsOnly = IsWhiteSpaceOnly(WideView(s, static_cast<size_t>(w - s)));
  bool preserve = !st_.stack.empty() && st_.stack.back().preserve;
  if (wsOnly && !preserve) {
    st_.w = st_.itemStart;
    st_.wsPending = true;
    return;
  }
  TextImpl* t = doc_->NewNode<TextImpl>(NODE_TEXT);
  t->len = static_cast<uint32_t>(w - s);
  if (const char16_t* same = Borrowable(static_cast<const Unit*>(st_.textSource), t->len)) {
    t->data = same;
    st_.w = st_.itemStart;
  } else {
    t->data = s;
    st_.Commit();
  }
  Link(t, st_.container);
  BeginText();
}

// Room for the rest of a text run that no longer fits, sized from the source up to the
// next markup: no encoding gives more units than source units, so a long text (a Base64
// value) gets one block of about its own size instead of being grown by doubling, which
// would leave up to half of the last block unused. A reference that expands is given
// room as it comes. Only reached when the store has to grow, so rarely scanned.
constexpr size_t kTextSlice = 4096;  // source units a text run is decoded by at a time

template <int E>
void Parser<E>::ReserveTextRun() {
  const size_t left = static_cast<size_t>(e_ - p_);
  size_t run = left;
  if constexpr (E == kU16) {
    if (const char16_t* lt = std::char_traits<char16_t>::find(p_, left, u'<'))
      run = static_cast<size_t>(lt - p_);
  } else {
    if (const void* lt = std::memchr(p_, '<', left))
      run = static_cast<size_t>(static_cast<const Unit*>(lt) - p_);
  }
  // The loop asks for room a whole slice at a time, also for the run's last units.
  doc_->TextReserve(st_.itemStart, st_.w, run + kTextSlice + 4, /*exact=*/true);
}

// A text run, decoded straight into the store in slices, up to the next '<' or '&' or
// the end of the source.
template <int E>
void Parser<E>::TextRun() {
  for (;;) {
    size_t n = static_cast<size_t>(e_ - p_);
    if (n == 0) break;
    if (n > kTextSlice) n = kTextSlice;
    if (static_cast<size_t>(doc_->textEnd_ - st_.w) < n + 4) ReserveTextRun();
    st_.Reserve(n + 4);
    char16_t* w = st_.w;
    const Unit* p = p_;
    const Unit* lim = p + n;
    bool stop = false;
    while (p < lim) {
      uint32_t c = *p;
      if (c < 0x80) {
        if (!(kCls.v[c] & C_TEXTSTOP)) {
          *w++ = static_cast<char16_t>(c);
          ++p;
          continue;
        }
        if (c == 13) {  // replacement text keeps a CR that a reference produced
          *w++ = main_ ? 10 : 13;
          ++p;
          if (main_ && p < e_ && *p == 10) ++p;
          continue;
        }
        if (c == ']') {
          if (p + 2 < e_ && p[1] == ']' && p[2] == '>') {
            st_.w = w;
            Err(kCDataCloseInText, "The literal string ']]>' is not allowed in element content.",
                p);
          }
          *w++ = u']';
          ++p;
          continue;
        }
        if (c == '<' || c == '&') {
          stop = true;
          break;
        }
        st_.w = w;
        BadChar(c, p);
      }
      if constexpr (E == kU16) {
        if (c < 0xD800 || (c >= 0xE000 && c < 0xFFFE)) {
          *w++ = static_cast<char16_t>(c);
          ++p;
          continue;
        }
      } else if constexpr (E == kSbcs) {
        char16_t u = table_[c];
        if (u != 0xFFFD) {
          *w++ = u;
          ++p;
          continue;
        }
      } else if (FourCyrillic(p, lim, w)) {
        continue;
      }
      w = CopyChar(p, w);
    }
    st_.w = w;
    p_ = p;
    if (stop) break;
  }
}

// A reference in content, at '&': its characters go into the pending text; an entity
// whose replacement text holds markup is parsed as content where it stands.
template <int E>
void Parser<E>::ContentReference() {
  const Unit* at = p_;
  ++p_;
  if (Peek() == '#') {
    ++p_;
    st_.PutCp(CharRef());
    return;
  }
  char16_t pre;
  EntityDecl* d = EntityRef(at, &pre, false);
  if (!d) {
    st_.PutCp(pre);
    return;
  }
  if (!d->hasMarkup) {
    if (!d->len) return;
    st_.Reserve(d->len);
    std::memcpy(st_.w, d->text, d->len * sizeof(char16_t));
    st_.w += d->len;
    return;
  }
  WithEntity(d, at, [&] {
    Parser<kU16> sub(st_, d->text, d->len, nullptr, false);
    sub.EntityContent(st_.stack.size());
  });
}

template <int E>
void Parser<E>::Content(size_t stopDepth, bool entity) {
  if (!entity) BeginText();  // inside an entity the pending text goes on
  for (;;) {
    TextRun();
    if (AtEnd()) {
      if (entity) return;  // pending text continues after the reference
      FlushText();
      Err(kUnclosedTag, "The following tags were not closed: %.", p_,
          st_.stack.back().el->name->q->view());
    }
    if (*p_ == '&') {
      ContentReference();
      continue;
    }
    // '<'
    const Unit* at = p_;
    uint32_t c1 = Peek(1);
    if (c1 == '/') {
      FlushText();
      p_ += 2;
      EndTag(stopDepth);
      if (st_.stack.size() == stopDepth && !entity) return;
    } else if (c1 == '!') {
      if (At("<!--")) {
        FlushText();
        p_ += 4;
        Comment(st_.container);
      } else if (At("<![CDATA[")) {
        FlushText();
        p_ += 9;
        CData();
      } else {
        Err(kInvalidAtTopLevel, "Markup declarations are not allowed in element content.", at);
      }
    } else if (c1 == '?') {
      FlushText();
      p_ += 2;
      PI(st_.container);
    } else {
      FlushText();
      ++p_;
      StartTag();
    }
    BeginText();
  }
}

template <int E>
void Parser<E>::EntityContent(size_t depthAtEntry) {
  Content(depthAtEntry, true);
  if (st_.stack.size() != depthAtEntry)
    Err(kEntityContent,
        "An entity's replacement text is not balanced: an element started in it is not closed in "
        "it.",
        p_);
}

template <int E>
void Parser<E>::EndTag(size_t stopDepth) {
  const Unit* at = p_ - 2;
  Atom* q = Name();
  SkipWs();
  if (Peek() != '>') {
    if (AtEnd()) Eof();
    Err(kExpectingTagEnd, "The character '>' was expected.", p_);
  }
  ++p_;
  if (st_.stack.size() <= stopDepth) {
    if (st_.inEntity && !main_)
      Err(kEntityContent,
          "An entity's replacement text is not balanced: it closes an element it did not start.",
          at);
    Err(kUnexpectedEndTag, "End tag was not expected at this location.", at);
  }
  Frame& f = st_.stack.back();
  if (f.el->name->q != q) {
    WideString names(q->view());
    names += u"' does not match the start tag '";
    names += f.el->name->q->view();
    Err(kEndTagMismatch, "End tag '%'.", at, names);
  }
  if (st_.wsPending) {
    f.el->bits |= kFlagWsBeforeEnd;
    st_.wsPending = false;
  }
  RestoreNamespaces(f.nsSave);
  st_.stack.pop_back();
  st_.container = st_.stack.empty() ? doc_->docNode() : st_.stack.back().el;
  if (st_.stack.size() == 1) RootChildDone();
}

// A child of the root element is complete: a load that hands the root's children over
// gives them to its handler, then drops them and gives their storage back. Children that
// close inside an entity's text wait for the next one.
template <int E>
void Parser<E>::RootChildDone() {
  if (!doc_->handingOver || !main_ || st_.inEntity) return;
  ElementImpl* root = st_.stack.back().el;
  switch (doc_->rootChildHandler(root)) {
    case HandOver::Taken: break;
    case HandOver::Later: return;
    case HandOver::Declined: doc_->handingOver = false; return;  // the rest is loaded as usual
  }
  // Nothing is pending in the text store: the last thing read was a tag, whose values
  // are committed; the next item begins anew.
  root->first = nullptr;
  doc_->ReleaseTo(doc_->rootMark);
  st_.itemStart = st_.w = doc_->textCur_;
  if (doc_->inputReadOnce) GiveBackRead();
}

// Attribute value characters up to the closing quote (or, for entity text, the end).
// Kept whole although long: the word-at-a-time scan, the per-character cases and the
// stop they reach share the local source and store pointers of one slice, and a step
// split off would have to hand them back and forth for every value.
template <int E>
void Parser<E>::AttValueChars(char16_t quote) {
  for (;;) {
    size_t n = static_cast<size_t>(e_ - p_);
    if (n == 0) {
      if (quote) Eof();
      return;
    }
    if (n > 4096) n = 4096;
    st_.Reserve(n + 4);
    char16_t* w = st_.w;
    const Unit* p = p_;
    const Unit* lim = p + n;
    uint32_t stopc = 0;
    while (p < lim) {
      // Runs of plain characters (digits, letters, most punctuation) a word at a time.
      if constexpr (E == kU16) {
        while (lim - p >= 4) {
          uint64_t v;
          std::memcpy(&v, p, sizeof v);
          if (!PlainAttributeUnits(v)) break;
          std::memcpy(w, p, sizeof v);
          w += 4;
          p += 4;
        }
      } else {
        while (lim - p >= 8) {
          uint64_t v;
          std::memcpy(&v, p, sizeof v);
          if (!PlainAttributeBytes(v)) break;
          for (int k = 0; k < 8; ++k) w[k] = static_cast<char16_t>(p[k]);
          w += 8;
          p += 8;
        }
      }
      if (p >= lim) break;
      uint32_t c = *p;
      if (c < 0x80) {
        if (!(kCls.v[c] & C_ATTRSTOP)) {
          *w++ = static_cast<char16_t>(c);
          ++p;
          continue;
        }
        if (c == 9 || c == 10) {
          *w++ = u' ';
          ++p;
          continue;
        }
        if (c == 13) {
          *w++ = u' ';
          ++p;
          if (main_ && p < e_ && *p == 10) ++p;
          continue;
        }
        if ((c == '"' || c == '\'') && c != quote) {
          *w++ = static_cast<char16_t>(c);
          ++p;
          continue;
        }
        if (c == quote || c == '&' || c == '<') {
          stopc = c;
          break;
        }
        st_.w = w;
        BadChar(c, p);
      }
      if constexpr (E == kUtf8) {
        if (FourCyrillic(p, lim, w)) continue;
      }
      w = CopyChar(p, w);
    }
    st_.w = w;
    p_ = p;
    if (!stopc) continue;
    if (stopc == '<')
      Err(kLtInAttribute, "The character '<' cannot be used in an attribute value.", p_);
    if (stopc == quote) {
      ++p_;
      return;
    }
    // '&'
    const Unit* at = p_;
    ++p_;
    if (Peek() == '#') {
      ++p_;
      st_.PutCp(CharRef());
      continue;
    }
    char16_t pre;
    EntityDecl* d = EntityRef(at, &pre, true);
    if (!d) {
      st_.PutCp(pre);
      continue;
    }
    WithEntity(d, at, [&] {
      Parser<kU16> sub(st_, d->text, d->len, nullptr, false);
      sub.AttrEntity(0);
    });
  }
}

template <int E>
void Parser<E>::AttrEntity(char16_t) {
  AttValueChars(0);
}

template <int E>
void Parser<E>::AttValue(Atom* elem, Atom* attr) {
  uint32_t q = Peek();
  if (q != '"' && q != '\'') {
    if (AtEnd()) Eof();
    Err(kMissingQuote, "A string literal was expected, but no opening quote character was found.",
        p_);
  }
  ++p_;
  st_.Begin();
  AttValueChars(static_cast<char16_t>(q));
  if (st_.haveAttlists && elem && elem->attlist) {
    for (AttDef* d = elem->attlist->first; d; d = d->next) {
      if (d->name != attr) continue;
      if (!d->cdata) CollapseSpaces();
      break;
    }
  }
}

// A start tag, after '<': the element with its attributes, linked into the tree. The
// steps run in this order because each needs the one before: namespace declarations can
// come from declared defaults, and names are resolved only once every declaration of the
// tag is bound.
template <int E>
void Parser<E>::StartTag() {
  const Unit* at = p_ - 1;
  if (st_.stack.size() >= static_cast<size_t>(XmlLimits::kMaxDepth))
    Err(kDepthLimit, "Elements are nested too deeply.", at);
  Atom* q = QName();
  const uint32_t serial = ++st_.serial;
  const bool empty = ReadAttributes(q, serial);
  if (st_.haveAttlists && q->attlist) AddDeclaredDefaults(q, serial);
  const size_t nsSave = st_.ns.size();
  const bool preserve = BindNamespaces(at);
  ElementImpl* el = MakeElement(q, serial, at);
  Link(el, st_.container);
  if (empty) {
    RestoreNamespaces(nsSave);
    if (st_.stack.size() == 1) RootChildDone();
    return;
  }
  st_.stack.push_back({el, nsSave, preserve});
  st_.container = el;
  // What follows the root's start tag can be given back child by child.
  if (st_.stack.size() == 1 && doc_->handingOver) {
    doc_->rootMark = doc_->Mark();
    if (main_) rootContent_ = p_;
  }
}

// The attributes as written, into st_.attrs, up to the tag's end; true for an empty-element
// tag. serial marks the names seen in this tag (duplicates are an error).
template <int E>
bool Parser<E>::ReadAttributes(Atom* elem, uint32_t serial) {
  std::vector<PendingAttr>& attrs = st_.attrs;
  attrs.clear();
  for (;;) {
    bool ws = SkipWs();
    if (AtEnd()) Eof();
    uint32_t c = *p_;
    if (c == '>') {
      ++p_;
      return false;
    }
    if (c == '/') {
      if (Peek(1) != '>') Err(kExpectingTagEnd, "The character '>' was expected.", p_ + 1);
      p_ += 2;
      return true;
    }
    if (!ws) {
      if (c < 0x80 && (kCls.v[c] & C_INVALID)) BadChar(c, p_);
      Err(kMissingWhitespace, "Required white space was missing.", p_);
    }
    const Unit* aat = p_;
    Atom* a = QName();
    if (a->mark == serial) Err(kDuplicateAttribute, "Duplicate attribute '%'.", aat, a->view());
    a->mark = serial;
    SkipWs();
    if (Peek() != '=') {
      if (AtEnd()) Eof();
      Err(kMissingEquals, "Missing equals sign between attribute and attribute value.", p_);
    }
    ++p_;
    SkipWs();
    const Unit* valueAt = p_ + 1;  // after the opening quote (AttValue checks it)
    AttValue(elem, a);
    PendingAttr pa;
    pa.q = a;
    pa.len = static_cast<uint32_t>(st_.w - st_.itemStart);
    if (const char16_t* same = Borrowable(valueAt, pa.len)) {
      pa.data = same;
      st_.w = st_.itemStart;  // the store keeps nothing of it
    } else {
      pa.data = st_.itemStart;
      st_.Commit();
    }
    pa.isDecl = a == st_.aXmlns || (a->prefix == st_.aXmlns);
    attrs.push_back(pa);
  }
}

// The attributes the document type gives a default and the tag does not write.
template <int E>
void Parser<E>::AddDeclaredDefaults(Atom* elem, uint32_t serial) {
  for (AttDef* d = elem->attlist->first; d; d = d->next) {
    if (!d->def || d->name->mark == serial) continue;
    d->name->mark = serial;
    if (d->name->colon == -1) doc_->AnalyzeQName(d->name);
    PendingAttr pa;
    pa.q = d->name;
    pa.data = d->def;
    pa.len = d->defLen;
    pa.isDecl = d->name == st_.aXmlns || d->name->prefix == st_.aXmlns;
    st_.attrs.push_back(pa);
  }
}

// Binds the tag's namespace declarations (saved on st_.ns for the end tag to undo) and
// returns whether white space is preserved inside the element.
template <int E>
bool Parser<E>::BindNamespaces(const Unit* at) {
  bool preserve = st_.stack.empty() ? false : st_.stack.back().preserve;
  for (PendingAttr& pa : st_.attrs) {
    if (pa.q == st_.aXmlSpace) {
      WideView v(pa.data, pa.len);
      if (v == u"preserve") preserve = true;
      else if (v == u"default")
        preserve = false;
    }
    if (!pa.isDecl) continue;
    WideView v(pa.data, pa.len);
    Atom* uri = v.empty() ? nullptr : doc_->Intern(v);
    if (pa.q == st_.aXmlns) {
      if (uri == st_.uXml || uri == st_.uXmlns)
        Err(kReservedNamespace, "The namespace '%' cannot be the default namespace.", at, v);
      st_.ns.push_back({nullptr, st_.defaultNs});
      st_.defaultNs = uri;
    } else {
      Atom* prefix = pa.q->local;
      if (prefix == st_.aXmlns)
        Err(kReservedNamespace, "The prefix 'xmlns' cannot be declared.", at);
      if (prefix == st_.aXml) {
        if (uri != st_.uXml)
          Err(kReservedNamespace, "The prefix 'xml' cannot be bound to another namespace.", at);
        continue;
      }
      if (!uri)
        Err(kNamespaceDecl, "The namespace prefix '%' cannot be undeclared.", at, prefix->view());
      if (uri == st_.uXml || uri == st_.uXmlns)
        Err(kReservedNamespace, "The namespace '%' cannot be bound to another prefix.", at, v);
      st_.ns.push_back({prefix, prefix->nsUri});
      if (!prefix->nsUri) st_.Touch(prefix);
      prefix->nsUri = uri;
    }
  }
  return preserve;
}

// The element node and its attribute nodes, names resolved against the bound namespaces.
template <int E>
ElementImpl* Parser<E>::MakeElement(Atom* q, uint32_t serial, const Unit* at) {
  Atom* uri;
  if (q->prefix) {
    if (q->prefix == st_.aXmlns)
      Err(kReservedNamespace, "Elements cannot have the prefix 'xmlns'.", at);
    uri = q->prefix->nsUri;
    if (!uri)
      Err(kUndeclaredPrefix, "Reference to undeclared namespace prefix: '%'.", at,
          q->prefix->view());
  } else {
    uri = st_.defaultNs;
  }
  ElementImpl* el = doc_->NewNode<ElementImpl>(NODE_ELEMENT);
  el->name = doc_->Name(q, uri);
  std::vector<PendingAttr>& attrs = st_.attrs;
  AttrImpl* last = nullptr;
  // Each local name remembers the last namespace it was seen in, in this tag; where a
  // local name comes again in another namespace, every expanded name of the tag so far
  // goes into a set, and from then on each one is looked up there.
  bool bySet = false;
  for (PendingAttr& pa : attrs) {
    Atom* auri = nullptr;
    if (!pa.isDecl && pa.q->prefix) {
      auri = pa.q->prefix->nsUri;  // an undeclared prefix gives no namespace
      if (auri) {
        Atom* local = pa.q->local;
        if (local->umark == serial && local->umarkUri == auri)
          Err(kDuplicateExpandedName, "Attribute '%' is defined twice with the same namespace.", at,
              local->view());
        if (local->umark == serial && !bySet) {
          bySet = true;
          st_.expandedNames.clear();
          for (const PendingAttr* o = attrs.data(); o != &pa; ++o)
            if (!o->isDecl && o->q->prefix && o->q->prefix->nsUri)
              st_.expandedNames.insert({o->q->local, o->q->prefix->nsUri});
        }
        if (bySet && !st_.expandedNames.insert({local, auri}).second)
          Err(kDuplicateExpandedName, "Attribute '%' is defined twice with the same namespace.", at,
              local->view());
        local->umark = serial;
        local->umarkUri = auri;
      }
    }
    AttrImpl* a = doc_->NewNode<AttrImpl>(NODE_ATTRIBUTE);
    a->bits |= kFlagSpecified;
    a->name = doc_->Name(pa.q, auri);
    a->data = pa.data;
    a->len = pa.len;
    if (last) last->next = a;
    else
      el->attrs = a;
    last = a;
  }
  return el;
}

// Undoes the namespace bindings made since st_.ns had `size` entries.
template <int E>
void Parser<E>::RestoreNamespaces(size_t size) {
  assert(size <= st_.ns.size());  // bindings are undone in the order they were made
  while (st_.ns.size() > size) {
    NsSave& s = st_.ns.back();
    if (s.prefix) s.prefix->nsUri = s.old;
    else
      st_.defaultNs = s.old;
    st_.ns.pop_back();
  }
}

// --- document type ---------------------------------------------------------------------

// What the prolog and the document type call; the steps of these are instantiated
// where they are used, so the compiler may still fold them into their callers.
#define MEMBERS(E)                                \
  template void Parser<E>::PI(ElementImpl*);      \
  template void Parser<E>::Comment(ElementImpl*); \
  template void Parser<E>::Content(size_t, bool); \
  template void Parser<E>::StartTag();            \
  template void Parser<E>::AttValue(Atom*, Atom*);
LUMO_PARSER_INSTANTIATE(MEMBERS)
#undef MEMBERS

}  // namespace Lumo::Dom::Parsing
