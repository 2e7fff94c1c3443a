// The document type declaration: its internal subset, entity, attribute list, element and
// notation declarations, and parameter entities.

#include <cctype>
#include <cstring>
#include <vector>

#include "dom/parser_impl.h"

namespace Lumo::Dom::Parsing {

template <int E>
void Parser<E>::Literal(bool pubid) {
  uint32_t q = Peek();
  if (q != '"' && q != '\'') {
    if (AtEnd()) Eof();
    Err(kMissingQuote, "A string literal was expected, but no opening quote character was found.",
        p_);
  }
  ++p_;
  for (;;) {
    if (AtEnd()) Eof();
    if (*p_ == q) break;
    const Unit* at = p_;
    uint32_t c = Decode(p_);
    if (!IsXmlChar(c)) BadChar(c, at);
    if (pubid) {
      bool ok = c == 0x20 || c == 0xD || c == 0xA ||
                (c < 0x80 && (std::isalnum(static_cast<int>(c)) ||
                              std::strchr("-'()+,./:=?;!*#@$_%", static_cast<int>(c))));
      if (!ok) Err(kBadCharInString, "A string literal contained an invalid character.", at);
    }
  }
  ++p_;
}

template <int E>
void Parser<E>::ExternalId(bool publicIdOnlyAllowed) {
  if (At("SYSTEM")) {
    p_ += 6;
    NeedWs();
    Literal(false);
  } else if (At("PUBLIC")) {
    p_ += 6;
    NeedWs();
    Literal(true);
    const Unit* save = p_;
    bool ws = SkipWs();
    if (Peek() == '"' || Peek() == '\'') {
      if (!ws) Err(kMissingWhitespace, "Required white space was missing.", p_);
      Literal(false);
    } else {
      if (!publicIdOnlyAllowed) Err(kDtdSyntax, "A system identifier was expected.", p_);
      p_ = save;
    }
  } else {
    Err(kDtdSyntax, "Invalid syntax in the document type declaration.", p_);
  }
}

template <int E>
void Parser<E>::Doctype() {
  const Unit* start = p_;
  p_ += 9;
  NeedWs();
  Atom* name = QName();
  bool ws = SkipWs();
  if (At("SYSTEM") || At("PUBLIC")) {
    if (!ws) Err(kMissingWhitespace, "Required white space was missing.", p_);
    ExternalId(false);
    SkipWs();
  }
  if (Peek() == '[') {
    ++p_;
    Subset();
    SkipWs();
  }
  if (Peek() != '>') {
    if (AtEnd()) Eof();
    Err(kExpectingTagEnd, "The character '>' was expected.", p_);
  }
  ++p_;
  // The node keeps the declaration's text for serialisation.
  PIImpl* dt = doc_->NewNode<PIImpl>(NODE_DOCUMENT_TYPE);
  dt->name = doc_->Name(name, nullptr);
  const Unit* end = p_;
  p_ = start;
  st_.Begin();
  while (p_ < end) PutOne();
  dt->data = st_.itemStart;
  dt->len = static_cast<uint32_t>(st_.w - st_.itemStart);
  st_.Commit();
  Link(dt, doc_->docNode());
}

template <int E>
void Parser<E>::Subset(bool inEntity) {
  for (;;) {
    SkipWs();
    if (AtEnd()) {
      if (inEntity) return;
      Eof();
    }
    if (*p_ == ']') {
      if (inEntity) Err(kDtdSyntax, "Invalid syntax in the document type declaration.", p_);
      ++p_;
      return;
    }
    if (*p_ == '%') {
      const Unit* at = p_;
      ++p_;
      Atom* n = NCName();
      if (Peek() != ';') Err(kMissingSemicolon, "A semicolon character was expected.", p_);
      ++p_;
      EntityDecl* d = n->pentity;
      if (!d) Err(kUndefinedEntity, "Reference to undefined parameter entity '%'.", at, n->view());
      st_.sawPERef = true;
      if (d->external) {
        // Not read: the declarations after it are not processed either.
        st_.skipDecls = true;
        continue;
      }
      if (d->inUse) Err(kRecursiveEntity, "Entity '%' refers to itself.", at, n->view());
      if (st_.entityDepth >= XmlLimits::kMaxEntityDepth)
        Err(kEntityLimit, "Entity references are nested too deeply.", at);
      st_.entityChars += d->len;
      if (st_.entityChars > XmlLimits::kMaxEntityChars)
        Err(kEntityLimit, "Entity expansion exceeds the allowed size.", at);
      WithEntity(d, at, [&] {
        Parser<kU16> sub(st_, d->text, d->len, nullptr, false);
        sub.SubsetEntity();
      });
      continue;
    }
    if (At("<!--")) {
      p_ += 4;
      Comment(nullptr);
    } else if (At("<?")) {
      p_ += 2;
      PI(nullptr);
    } else if (At("<!ENTITY")) {
      p_ += 8;
      EntityDeclaration();
    } else if (At("<!ATTLIST")) {
      p_ += 9;
      AttlistDeclaration();
    } else if (At("<!ELEMENT")) {
      p_ += 9;
      ElementDeclaration();
    } else if (At("<!NOTATION")) {
      p_ += 10;
      NotationDeclaration();
    } else {
      Err(kDtdSyntax, "Invalid syntax in the document type declaration.", p_);
    }
  }
}

template <int E>
void Parser<E>::EntityValue(EntityDecl* d, bool keep) {
  uint32_t q = Peek();
  if (q != '"' && q != '\'') {
    if (AtEnd()) Eof();
    Err(kMissingQuote, "A string literal was expected, but no opening quote character was found.",
        p_);
  }
  ++p_;
  st_.Begin();
  bool markup = false;
  for (;;) {
    if (AtEnd()) Eof();
    uint32_t c = *p_;
    if (c == q) break;
    if (c == '%')
      Err(kPERefInSubset,
          "Parameter entities cannot be used inside markup declarations in an internal subset.",
          p_);
    if (c == '&') {
      ++p_;
      if (Peek() == '#') {
        ++p_;
        uint32_t v = CharRef();
        if (v == '<' || v == '&') markup = true;
        st_.PutCp(v);
        continue;
      }
      // General entity references are kept as they are (expanded when used).
      const Unit* amp = p_ - 1;
      Name(false);
      if (Peek() != ';') Err(kMissingSemicolon, "A semicolon character was expected.", p_);
      ++p_;
      const Unit* after = p_;
      p_ = amp;
      while (p_ < after) PutOne();
      markup = true;
      continue;
    }
    if (c == '<') markup = true;
    PutOne();
  }
  ++p_;
  if (keep) {
    d->text = st_.itemStart;
    d->len = static_cast<uint32_t>(st_.w - st_.itemStart);
    d->hasMarkup = markup;
    st_.Commit();
  } else {
    st_.w = st_.itemStart;
  }
}

template <int E>
void Parser<E>::EntityDeclaration() {
  NeedWs();
  bool pe = false;
  if (Peek() == '%') {
    ++p_;
    NeedWs();
    pe = true;
  }
  Atom* name = NCName();
  NeedWs();
  EntityDecl* d = static_cast<EntityDecl*>(doc_->AllocRaw(sizeof(EntityDecl)));
  std::memset(static_cast<void*>(d), 0, sizeof(EntityDecl));
  d->name = name;
  d->inPE = !main_;
  bool keep = !(pe ? name->pentity : name->entity) && !st_.skipDecls;
  if (Peek() == '"' || Peek() == '\'') {
    EntityValue(d, keep);
  } else {
    ExternalId(false);
    d->external = true;
    bool ws = SkipWs();
    if (At("NDATA")) {
      if (!ws) Err(kMissingWhitespace, "Required white space was missing.", p_);
      if (pe) Err(kDtdSyntax, "Parameter entities cannot be unparsed.", p_);
      p_ += 5;
      NeedWs();
      NCName();
      d->unparsed = true;
    }
  }
  SkipWs();
  Expect('>', kExpectingTagEnd, "The character '>' was expected.");
  if (!pe && Predefined(name)) return;  // the predefined entities keep their meaning
  if (!keep) {
    // The unread entity might have declared this name first, with another value: a
    // reference to it must fail rather than expand to nothing.
    if (pe || name->entity || !st_.skipDecls) return;
    d->unprocessed = true;
  }
  st_.Touch(name);
  if (pe) name->pentity = d;
  else
    name->entity = d;
}

// An attribute type in an attribute list declaration; true for CDATA, whose values keep
// their spaces (every other type collapses them).
template <int E>
bool Parser<E>::AttributeType() {
  bool cdata = false;
  if (At("CDATA")) {
    p_ += 5;
    cdata = true;
  } else if (At("IDREFS"))
    p_ += 6;
  else if (At("IDREF"))
    p_ += 5;
  else if (At("ID"))
    p_ += 2;
  else if (At("ENTITY"))
    p_ += 6;
  else if (At("ENTITIES"))
    p_ += 8;
  else if (At("NMTOKENS"))
    p_ += 8;
  else if (At("NMTOKEN"))
    p_ += 7;
  else if (At("NOTATION") || Peek() == '(') {
    bool notation = At("NOTATION");
    if (notation) {
      p_ += 8;
      NeedWs();
    }
    Expect('(', kDtdSyntax, "Invalid syntax in an attribute list declaration.");
    for (;;) {
      SkipWs();
      if (notation) NCName();
      else {
        // Nmtoken: name characters only.
        const Unit* s = p_;
        while (p_ < e_) {
          const Unit* k = p_;
          uint32_t c = Decode(k);
          if (!IsNameChar(c)) break;
          p_ = k;
        }
        if (p_ == s) Err(kBadNameChar, "A name contained an invalid character.", p_);
      }
      SkipWs();
      if (Peek() == '|') {
        ++p_;
        continue;
      }
      Expect(')', kDtdSyntax, "Invalid syntax in an attribute list declaration.");
      break;
    }
  } else {
    Err(kDtdSyntax, "Invalid syntax in an attribute list declaration.", p_);
  }
  return cdata;
}

template <int E>
void Parser<E>::AttlistDeclaration() {
  NeedWs();
  Atom* elem = QName();
  for (;;) {
    bool ws = SkipWs();
    if (Peek() == '>') {
      ++p_;
      return;
    }
    if (AtEnd()) Eof();
    if (!ws) Err(kMissingWhitespace, "Required white space was missing.", p_);
    Atom* attr = QName();
    NeedWs();
    const bool cdata = AttributeType();
    NeedWs();
    bool hasDefault = true;
    if (At("#REQUIRED")) {
      p_ += 9;
      hasDefault = false;
    } else if (At("#IMPLIED")) {
      p_ += 8;
      hasDefault = false;
    } else if (At("#FIXED")) {
      p_ += 6;
      NeedWs();
    }
    const char16_t* def = nullptr;
    uint32_t defLen = 0;
    if (hasDefault) {
      AttValue(nullptr, nullptr);
      if (!cdata) CollapseSpaces();
      def = st_.itemStart;
      defLen = static_cast<uint32_t>(st_.w - st_.itemStart);
      st_.Commit();
    }
    if (st_.skipDecls) continue;
    if (!elem->attlist) {
      elem->attlist = static_cast<AttList*>(doc_->AllocRaw(sizeof(AttList)));
      elem->attlist->first = nullptr;
      st_.Touch(elem);
    }
    AttDef** tail = &elem->attlist->first;
    bool dup = false;
    for (; *tail; tail = &(*tail)->next)
      if ((*tail)->name == attr) dup = true;
    if (dup) continue;  // the first declaration binds
    AttDef* d = static_cast<AttDef*>(doc_->AllocRaw(sizeof(AttDef)));
    d->name = attr;
    d->def = def;
    d->defLen = defLen;
    d->cdata = cdata;
    d->next = nullptr;
    *tail = d;
    st_.haveAttlists = true;
  }
}

template <int E>
void Parser<E>::ElementDeclaration() {
  NeedWs();
  QName();
  NeedWs();
  auto modifier = [&] {
    if (Peek() == '?' || Peek() == '*' || Peek() == '+') ++p_;
  };
  auto bad = [&]() { Err(kDtdSyntax, "Invalid syntax in an element declaration.", p_); };
  if (At("EMPTY")) {
    p_ += 5;
  } else if (At("ANY")) {
    p_ += 3;
  } else if (Peek() == '(') {
    ++p_;
    SkipWs();
    if (At("#PCDATA")) {  // Mixed
      p_ += 7;
      bool names = false;
      for (;;) {
        SkipWs();
        if (Peek() == ')') {
          ++p_;
          if (Peek() == '*') ++p_;
          else if (names)
            bad();
          break;
        }
        if (Peek() != '|') {
          if (AtEnd()) Eof();
          bad();
        }
        ++p_;
        SkipWs();
        QName();
        names = true;
      }
    } else {  // children: nested choice and sequence groups
      std::vector<char> seps(1, 0);
      bool expectCp = true;
      for (;;) {
        if (AtEnd()) Eof();
        if (expectCp) {
          SkipWs();
          if (Peek() == '(') {
            ++p_;
            seps.push_back(0);
            continue;
          }
          if (Peek() == '#' || Peek() == ')' || Peek() == '|' || Peek() == ',') bad();
          QName();
          modifier();
          expectCp = false;
          continue;
        }
        SkipWs();
        uint32_t c = Peek();
        if (c == ')') {
          ++p_;
          seps.pop_back();
          modifier();
          if (seps.empty()) break;
          continue;
        }
        if (c != '|' && c != ',') {
          if (AtEnd()) Eof();
          bad();
        }
        if (seps.back() && seps.back() != static_cast<char>(c)) bad();
        seps.back() = static_cast<char>(c);
        ++p_;
        expectCp = true;
      }
    }
  } else {
    bad();
  }
  SkipWs();
  Expect('>', kExpectingTagEnd, "The character '>' was expected.");
}

template <int E>
void Parser<E>::NotationDeclaration() {
  NeedWs();
  NCName();
  NeedWs();
  ExternalId(true);
  SkipWs();
  Expect('>', kExpectingTagEnd, "The character '>' was expected.");
}

#define MEMBERS(E)                                         \
  template void Parser<E>::Literal(bool);                  \
  template void Parser<E>::ExternalId(bool);               \
  template void Parser<E>::Doctype();                      \
  template void Parser<E>::Subset(bool);                   \
  template void Parser<E>::EntityValue(EntityDecl*, bool); \
  template void Parser<E>::EntityDeclaration();            \
  template void Parser<E>::AttlistDeclaration();           \
  template bool Parser<E>::AttributeType();                \
  template void Parser<E>::ElementDeclaration();           \
  template void Parser<E>::NotationDeclaration();
LUMO_PARSER_INSTANTIATE(MEMBERS)
#undef MEMBERS

}  // namespace Lumo::Dom::Parsing
