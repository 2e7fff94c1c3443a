// The XML parser: XML 1.0 (fifth edition) with namespaces, non-validating, iterative.
//
// One parser template reads three kinds of source units: UTF-16 (wide text and UTF-16
// bytes), UTF-8 bytes, and single-byte code pages through a 256-entry table. Markup is
// ASCII in all of them, so the scanner looks at units; only names, text and values are
// decoded, straight into the document's text store (validated, line ends normalised).
// Entity replacement texts are UTF-16 and are read by the UTF-16 instance with the
// same parse state; that recursion is bounded by the entity nesting limit, element
// nesting is a loop with an explicit stack.
#include "dom/xml_parser.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/encoding.h"
#include "dom/dom_impl.h"

namespace Lumo::Dom {

using namespace Lumo::Base;

namespace {

using namespace XmlError;

enum Enc { kU16, kUtf8, kSbcs };

// ASCII character classes.
enum : uint8_t {
  C_INVALID = 1,    // control characters other than tab, LF, CR
  C_TEXTSTOP = 2,   // '<' '&' ']' CR and invalid ones
  C_ATTRSTOP = 4,   // '<' '&' quotes, tab, LF, CR, invalid ones
  C_NAMESTART = 8,
  C_NAME = 16,
  C_WS = 32,
};

struct Classes {
  uint8_t v[128];
  constexpr Classes() : v() {
    for (int c = 0; c < 32; ++c)
      if (c != 9 && c != 10 && c != 13) v[c] = C_INVALID | C_TEXTSTOP | C_ATTRSTOP;
    v[int('<')] |= C_TEXTSTOP | C_ATTRSTOP;
    v[int('&')] |= C_TEXTSTOP | C_ATTRSTOP;
    v[int(']')] |= C_TEXTSTOP;
    v[13] |= C_TEXTSTOP | C_ATTRSTOP | C_WS;
    v[10] |= C_ATTRSTOP | C_WS;
    v[9] |= C_ATTRSTOP | C_WS;
    v[32] |= C_WS;
    v[int('"')] |= C_ATTRSTOP;
    v[int('\'')] |= C_ATTRSTOP;
    for (int c = 'a'; c <= 'z'; ++c) v[c] |= C_NAMESTART | C_NAME;
    for (int c = 'A'; c <= 'Z'; ++c) v[c] |= C_NAMESTART | C_NAME;
    for (int c = '0'; c <= '9'; ++c) v[c] |= C_NAME;
    v[int('_')] |= C_NAMESTART | C_NAME;
    v[int(':')] |= C_NAMESTART | C_NAME;
    v[int('-')] |= C_NAME;
    v[int('.')] |= C_NAME;
  }
};
constexpr Classes kCls;

inline bool IsChar(uint32_t c) {
  if (c < 0x20) return c == 9 || c == 10 || c == 13;
  if (c < 0xD800) return true;
  if (c < 0xE000) return false;
  if (c <= 0xFFFD) return true;
  return c >= 0x10000 && c <= 0x10FFFF;
}

bool IsNameStart(uint32_t c) {
  if (c < 0x80) return kCls.v[c] & C_NAMESTART;
  return (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
         (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) ||
         (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
         (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

bool IsNameChar(uint32_t c) {
  if (c < 0x80) return kCls.v[c] & C_NAME;
  return IsNameStart(c) || c == 0xB7 || (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

struct ParseFail {};

// Whether every one of the four UTF-16 units (or eight bytes) packed in v lies in
// U+0028..U+007F and none is '<': characters an attribute value copies unchanged in every
// encoding the parser reads (quotes, '&', white space and controls all lie below U+0028).
inline bool PlainAttributeUnits(uint64_t v) {
  constexpr uint64_t kHigh = 0x8000800080008000ull;
  if (v & 0xFF80FF80FF80FF80ull) return false;                    // a unit >= 0x80
  if (((v + 0x7FD87FD87FD87FD8ull) & kHigh) != kHigh) return false;  // a unit < 0x28
  uint64_t x = v ^ 0x003C003C003C003Cull;                         // a '<' becomes zero
  return ((x - 0x0001000100010001ull) & ~x & kHigh) == 0;
}
inline bool PlainAttributeBytes(uint64_t v) {
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  if (v & kHigh) return false;
  if (((v + 0x5858585858585858ull) & kHigh) != kHigh) return false;
  uint64_t x = v ^ 0x3C3C3C3C3C3C3C3Cull;
  return ((x - 0x0101010101010101ull) & ~x & kHigh) == 0;
}

struct Frame {
  ElementImpl* el;
  size_t nsSave;
  bool preserve;
};

struct NsSave {
  Atom* prefix;   // null: the default namespace
  Atom* old;
};

struct PendingAttr {
  Atom* q;
  const char16_t* data;
  uint32_t len;
  bool isDecl;
};

// State shared by the parser instances of one load.
struct State {
  explicit State(DocumentImpl* d) : doc(d) {}
  DocumentImpl* doc;
  uint32_t code = 0;
  WideString reason;
  size_t errPos = 0;

  std::vector<Frame> stack;
  std::vector<NsSave> ns;
  Atom* defaultNs = nullptr;
  ElementImpl* container = nullptr;
  bool wsPending = false;

  char16_t* itemStart = nullptr;
  char16_t* w = nullptr;

  uint32_t serial = 0;
  uint64_t entityChars = 0;
  int entityDepth = 0;
  size_t entityBase = 0;   // main-source position of the outermost entity reference
  bool inEntity = false;

  std::vector<PendingAttr> attrs;
  std::vector<char16_t> scratch;
  Atom* nameCache[256] = {};
  bool haveAttlists = false;
  bool skipDecls = false;  // after a reference to a parameter entity that is not read
  bool standalone = false;
  bool sawPERef = false;   // undeclared general entities are then not a well-formedness error
  EntityDecl skippedEntity{};   // stands for an undeclared entity then: expands to nothing
  int declCheck = 0;       // declared encoding must be 1: UTF-8, 2: UTF-16 (byte order mark)
  // A surrogate pair written as two three-byte sequences reads as its character (bytes
  // that declare UTF-8, as the exchange's documents do).
  bool encodedPairs = false;
  // Values may point into the wide source text instead of the text store where they
  // read exactly as the source spells them (the caller keeps the text alive for as long
  // as the document lives). textSource is where the pending text item began in it.
  bool borrow = false;
  const void* textSource = nullptr;

  Atom* aXml = nullptr;
  Atom* aXmlns = nullptr;
  Atom* aXmlSpace = nullptr;
  Atom* uXml = nullptr;
  Atom* uXmlns = nullptr;

  void Begin() {   // start a pending item in the text store
    itemStart = w = doc->textCur_;
  }
  void Reserve(size_t n) {
    if (static_cast<size_t>(doc->textEnd_ - w) < n) doc->TextReserve(itemStart, w, n);
  }
  void Commit() { doc->textCur_ = w; }
  void PutCp(uint32_t c) {
    Reserve(2);
    if (c >= 0x10000) {
      c -= 0x10000;
      *w++ = static_cast<char16_t>(0xD800 + (c >> 10));
      *w++ = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      *w++ = static_cast<char16_t>(c);
    }
  }
  void Touch(Atom* a) { doc->ParseTouched().push_back(a); }
};

WideString W(const char* s) {
  WideString r;
  while (*s) r.push_back(static_cast<unsigned char>(*s++));
  return r;
}

template <int E>
class Parser {
 public:
  using Unit = std::conditional_t<E == kU16, char16_t, uint8_t>;

  Parser(State& st, const Unit* b, size_t n, const char16_t* table, bool main)
      : st_(st), doc_(st.doc), b_(b), p_(b), e_(b + n), table_(table), main_(main) {}

  void Document();
  void EntityContent(size_t depthAtEntry);     // parse replacement text as content
  void AttrEntity(char16_t quoteless);         // replacement text inside an attribute value

  [[noreturn]] void Err(uint32_t code, const char* reason, const Unit* at, WideView name = {}) {
    st_.code = code;
    WideString r = W(reason);
    size_t k = r.find(u'%');
    if (k != WideString::npos) r.replace(k, 1, name);
    st_.reason = r;
    st_.errPos = main_ ? static_cast<size_t>((at ? at : p_) - b_) : st_.entityBase;
    throw ParseFail();
  }

  // Line, column and line text of a main-source position.
  void Locate(size_t pos, ParseError& pe) const;

 private:
  // --- character level ---------------------------------------------------------------
  // Decodes the character at p (p < e); returns it, or a value above 0x10FFFF for a
  // malformed sequence. Advances p.
  uint32_t Decode(const Unit*& p) const {
    uint32_t c = *p;
    if constexpr (E == kU16) {
      ++p;
      if (c >= 0xD800 && c <= 0xDFFF) {
        if (c >= 0xDC00 || p >= e_ || *p < 0xDC00 || *p > 0xDFFF) return 0x110000;
        uint32_t lo = *p++;
        return 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
      }
      return c;
    } else if constexpr (E == kSbcs) {
      ++p;
      char16_t u = table_[c];
      return u == 0xFFFD ? 0x110000 : u;
    } else {
      ++p;
      if (c < 0x80) return c;
      int n;
      uint32_t cp;
      if (c >= 0xC2 && c <= 0xDF) { n = 1; cp = c & 0x1F; }
      else if (c >= 0xE0 && c <= 0xEF) { n = 2; cp = c & 0x0F; }
      else if (c >= 0xF0 && c <= 0xF4) { n = 3; cp = c & 0x07; }
      else return 0x110000;
      if (e_ - p < n) return 0x110001;
      for (int i = 0; i < n; ++i) {
        uint32_t t = p[i];
        if ((t & 0xC0) != 0x80) return 0x110000;
        cp = (cp << 6) | (t & 0x3F);
      }
      p += n;
      if (n == 2 && cp >= 0xD800 && cp <= 0xDBFF && st_.encodedPairs) {
        // The exchange writes a character beyond U+FFFF as its two surrogates, three
        // bytes each, under a declaration of UTF-8, and signed files in that form exist
        // (earlier versions of this library wrote them too): such a pair reads as its
        // character. A surrogate without its partner stays malformed; so does a pair in
        // bytes that do not declare UTF-8, as the XML standard has it.
        if (e_ - p < 3 || p[0] != 0xED || (p[1] & 0xF0) != 0xB0 || (p[2] & 0xC0) != 0x80) return 0x110000;
        const uint32_t low = ((p[1] & 0x0Fu) << 6) | (p[2] & 0x3Fu);
        p += 3;
        return 0x10000 + ((cp - 0xD800) << 10) + low;
      }
      if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0x110000;
      return cp;
    }
  }

  // Decodes one character into the pending item (validity, CR LF / CR -> LF).
  void PutOne() {
    const Unit* at = p_;
    uint32_t c = Decode(p_);
    if (c == 13 && main_) {
      if (p_ < e_ && *p_ == 10) ++p_;
      c = 10;
    } else if (!IsChar(c)) {
      BadChar(c, at);
    }
    st_.PutCp(c);
  }

  // One character of text or attribute value from the source at p, checked and written as
  // UTF-16 at w (a surrogate pair beyond U+FFFF); returns the new end. The text store's end
  // is published before an error so that nothing half-written is kept.
  char16_t* CopyChar(const Unit*& p, char16_t* w) {
    const Unit* at = p;
    uint32_t cp = Decode(p);
    if (!IsChar(cp)) {
      st_.w = w;
      BadChar(cp, at);
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      *w++ = static_cast<char16_t>(0xD800 + (cp >> 10));
      *w++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      *w++ = static_cast<char16_t>(cp);
    }
    return w;
  }

  [[noreturn]] void BadChar(uint32_t c, const Unit* at) {
    if (c == 0x110001) Err(kIncompleteEncoding, "End of file reached in invalid state for current encoding.", at);
    if (c >= 0x110000) Err(kBadCharData, "An invalid character was found in the input (not valid in the document's encoding).", at);
    Err(kBadCharData, "An invalid character was found in text content.", at);
  }

  bool At(const char* s) const {
    const Unit* p = p_;
    for (; *s; ++s, ++p)
      if (p >= e_ || *p != static_cast<unsigned char>(*s)) return false;
    return true;
  }
  bool AtEnd() const { return p_ >= e_; }
  uint32_t Peek(size_t k = 0) const { return p_ + k < e_ ? static_cast<uint32_t>(p_[k]) : 0xFFFFFFFFu; }
  bool SkipWs() {
    const Unit* s = p_;
    while (p_ < e_ && *p_ < 0x80 && (kCls.v[*p_] & C_WS)) ++p_;
    return p_ != s;
  }
  void NeedWs() {
    if (!SkipWs()) {
      if (AtEnd()) Eof();
      Err(kMissingWhitespace, "Required white space was missing.", p_);
    }
  }
  [[noreturn]] void Eof() { Err(kUnexpectedEof, "Unexpected end of file.", p_); }
  void Expect(char c, uint32_t code, const char* reason) {
    if (AtEnd()) Eof();
    if (*p_ != static_cast<unsigned char>(c)) Err(code, reason, p_);
    ++p_;
  }

  // --- names ---------------------------------------------------------------------------
  // intern false: only looks the name up (null when unknown) and writes nothing to the
  // text store, so a pending item there stays intact.
  Atom* Name(bool intern = true) {
    const Unit* s = p_;
    if (p_ < e_ && *p_ < 0x80) {
      if (!(kCls.v[*p_] & C_NAMESTART)) {
        if (AtEnd()) Eof();
        Err(kBadStartNameChar, "A name was started with an invalid character.", p_);
      }
      while (p_ < e_ && *p_ < 0x80 && (kCls.v[*p_] & C_NAME)) ++p_;
      if (p_ >= e_ || *p_ < 0x80) {
        uint32_t len = static_cast<uint32_t>(p_ - s);
        // Names repeat: a direct-mapped cache answers most lookups without hashing.
        uint32_t slot = (static_cast<uint32_t>(s[0]) * 31u + static_cast<uint32_t>(s[len - 1]) * 7u + len) & 255u;
        if (Atom* c = st_.nameCache[slot]) {
          if (c->len == len && SameUnits(c->s, s, len)) return c;
        }
        uint32_t h = DocumentImpl::Hash(s, len);
        if (Atom* a = doc_->FindRaw(s, len, h)) {
          st_.nameCache[slot] = a;
          return a;
        }
        if (!intern) return nullptr;
        st_.scratch.assign(s, p_);
        return doc_->Intern(st_.scratch.data(), len, h);
      }
      p_ = s;
    }
    if (AtEnd()) Eof();
    // Slow path: decode.
    st_.scratch.clear();
    bool first = true;
    while (p_ < e_) {
      const Unit* at = p_;
      uint32_t c = Decode(p_);
      if (first ? !IsNameStart(c) : !IsNameChar(c)) {
        if (first) {
          if (c >= 0x110000) BadChar(c, at);
          Err(kBadStartNameChar, "A name was started with an invalid character.", at);
        }
        p_ = at;
        break;
      }
      first = false;
      if (c >= 0x10000) {
        c -= 0x10000;
        st_.scratch.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
        st_.scratch.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
      } else {
        st_.scratch.push_back(static_cast<char16_t>(c));
      }
    }
    if (!intern) {
      uint32_t len = static_cast<uint32_t>(st_.scratch.size());
      return doc_->FindRaw(st_.scratch.data(), len, DocumentImpl::Hash(st_.scratch.data(), len));
    }
    return doc_->Intern(WideView(st_.scratch.data(), st_.scratch.size()));
  }

  // A name that must be a qualified name (element and attribute names).
  Atom* QName() {
    const Unit* at = p_;
    Atom* a = Name();
    if (a->colon == -1) doc_->AnalyzeQName(a);
    if (a->colon == -3) Err(kMultipleColons, "The name '%' is not a valid qualified name.", at, a->view());
    return a;
  }

  // A name that must not contain a colon (PI targets, entity and notation names).
  Atom* NCName() {
    const Unit* at = p_;
    Atom* a = Name();
    if (a->view().find(u':') != WideView::npos)
      Err(kBadNameChar, "The name '%' must not contain a colon.", at, a->view());
    return a;
  }

  // --- references ------------------------------------------------------------------------
  // After '&#': returns the character.
  uint32_t CharRef() {
    const Unit* at = p_ - 2;
    uint32_t v = 0;
    bool any = false;
    if (Peek() == 'x') {
      ++p_;
      for (;;) {
        uint32_t c = Peek();
        uint32_t d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else break;
        v = v * 16 + d;
        if (v > 0x10FFFF) v = 0x110000;
        any = true;
        ++p_;
      }
      if (!any) Err(kInvalidHex, "Invalid character for hexadecimal digit.", p_);
    } else {
      for (;;) {
        uint32_t c = Peek();
        if (c < '0' || c > '9') break;
        v = v * 10 + (c - '0');
        if (v > 0x10FFFF) v = 0x110000;
        any = true;
        ++p_;
      }
      if (!any) Err(kInvalidDecimal, "Invalid character for decimal digit.", p_);
    }
    if (Peek() != ';') {
      if (AtEnd()) Eof();
      Err(kMissingSemicolon, "A semicolon character was expected.", p_);
    }
    ++p_;
    if (!IsChar(v)) Err(kInvalidUnicode, "The character reference refers to a character that is not allowed in XML.", at);
    return v;
  }

  // After '&' + name: predefined entity value or 0.
  static char16_t Predefined(Atom* a) {
    WideView v = a->view();
    if (v == u"lt") return u'<';
    if (v == u"gt") return u'>';
    if (v == u"amp") return u'&';
    if (v == u"apos") return u'\'';
    if (v == u"quot") return u'"';
    return 0;
  }

  // Looks up a general entity reference (after '&'); p_ is after ';'. Returns the
  // predefined character in *pre, or the declaration.
  EntityDecl* EntityRef(const Unit* at, char16_t* pre, bool inAttr) {
    const Unit* ns = p_;
    Atom* a = Name(false);
    if (Peek() != ';') {
      if (AtEnd()) Eof();
      Err(kMissingSemicolon, "A semicolon character was expected.", p_);
    }
    ++p_;
    if (!a || (!Predefined(a) && !a->entity && st_.sawPERef)) {
      // Declarations were not all read: not a well-formedness error, unless the document
      // says it needs none from outside.
      if (st_.sawPERef && !st_.standalone) {
        *pre = 0;
        return &st_.skippedEntity;
      }
      WideString n;
      for (const Unit* k = ns; k + 1 < p_; ++k) n.push_back(static_cast<char16_t>(*k));
      if constexpr (E != kU16) {
        n.clear();
        const Unit* k = ns;
        while (k + 1 < p_) {
          uint32_t c = Decode(k);
          n.push_back(static_cast<char16_t>(c < 0x10000 ? c : 0xFFFD));
        }
      }
      Err(kUndefinedEntity, "Reference to undefined entity '%'.", at, n);
    }
    *pre = Predefined(a);
    if (*pre) return nullptr;
    EntityDecl* d = a->entity;
    if (!d) Err(kUndefinedEntity, "Reference to undefined entity '%'.", at, a->view());
    if (d->unprocessed)
      Err(kUndefinedEntity,
          "The declaration of entity '%' could not be processed: it follows a reference to an external parameter entity, which is not read.",
          at, a->view());
    if (d->inPE && st_.standalone)
      Err(kUndefinedEntity, "Entity '%' is declared in a parameter entity, which a standalone document cannot rely on.", at, a->view());
    if (d->unparsed) Err(kExternalEntity, "Reference to unparsed entity '%' is not allowed.", at, a->view());
    if (d->external)
      Err(kExternalEntity,
          inAttr ? "Reference to external entity '%' is not allowed in an attribute value."
                 : "Reference to external entity '%': external entities are not read.",
          at, a->view());
    if (d->inUse) Err(kRecursiveEntity, "Entity '%' refers to itself.", at, a->view());
    if (st_.entityDepth >= XmlLimits::kMaxEntityDepth)
      Err(kEntityLimit, "Entity references are nested too deeply.", at);
    st_.entityChars += d->len;
    if (st_.entityChars > XmlLimits::kMaxEntityChars)
      Err(kEntityLimit, "Entity expansion exceeds the allowed size.", at);
    return d;
  }

  template <class F>
  void WithEntity(EntityDecl* d, const Unit* at, F&& f) {
    size_t savedBase = st_.entityBase;
    bool savedIn = st_.inEntity;
    if (main_) st_.entityBase = static_cast<size_t>(at - b_);
    st_.inEntity = true;
    d->inUse = true;
    ++st_.entityDepth;
    f();
    --st_.entityDepth;
    d->inUse = false;
    st_.inEntity = savedIn;
    st_.entityBase = savedBase;
  }

  // --- content ---------------------------------------------------------------------------
  void Content(size_t stopDepth, bool entity);
  void ReserveTextRun();
  void FlushText();
  void StartTag();
  void EndTag(size_t stopDepth);
  void Comment(ElementImpl* parent);
  void PI(ElementImpl* parent);
  void CData();
  void AttValue(Atom* elem, Atom* attr);   // into the pending item
  void AttValueChars(char16_t quote);
  void Misc(ElementImpl* parent, bool& sawRoot);
  void XmlDecl();
  void Doctype();
  void Subset(bool inEntity = false);
 public:
  void SubsetEntity() { Subset(true); }
 private:
  void EntityDeclaration();
  void AttlistDeclaration();
  void ElementDeclaration();
  void NotationDeclaration();
  void ExternalId(bool publicIdOnlyAllowed);
  void Literal(bool pubid);
  void EntityValue(EntityDecl* d, bool keep);
  // A new pending text item in content, which begins at the current source position.
  void BeginText() {
    st_.Begin();
    st_.textSource = main_ ? static_cast<const void*>(p_) : nullptr;
  }

  // The source units [src, src + len) when they equal the pending item, so that the
  // item can point there instead of being kept in the store; else null.
  const char16_t* Borrowable(const Unit* src, size_t len) const {
    if constexpr (E == kU16) {
      if (st_.borrow && main_ && src && src <= e_ && static_cast<size_t>(e_ - src) >= len &&
          std::memcmp(src, st_.itemStart, len * sizeof(char16_t)) == 0)
        return src;
    }
    return nullptr;
  }

  void Link(ChildImpl* n, ElementImpl* parent) {
    if (st_.wsPending) {
      n->bits |= kFlagWsBefore;
      st_.wsPending = false;
    }
    LinkChild(parent, n, nullptr);
  }

  State& st_;
  DocumentImpl* doc_;
  const Unit* b_;
  const Unit* p_;
  const Unit* e_;
  const char16_t* table_;
  bool main_;
};

template <int E>
void Parser<E>::Locate(size_t pos, ParseError& pe) const {
  const Unit* target = b_ + std::min(pos, static_cast<size_t>(e_ - b_));
  const Unit* p = b_;
  const Unit* lineStart = b_;
  int32_t line = 1;
  int32_t col = 1;
  int32_t chars = 0;
  while (p < target) {
    uint32_t c = *p;
    if (c == 10 || c == 13) {
      ++p;
      ++chars;
      if (c == 13 && p < e_ && *p == 10) {
        ++p;
        ++chars;
      }
      ++line;
      col = 1;
      lineStart = p;
      continue;
    }
    uint32_t cp = Decode(p);
    int u = cp >= 0x10000 && cp < 0x110000 ? 2 : 1;
    col += u;
    chars += u;
  }
  pe.line = line;
  pe.linepos = col;
  pe.filepos = chars;
  WideString src;
  p = lineStart;
  while (p < e_ && *p != 10 && *p != 13) {
    uint32_t cp = Decode(p);
    if (cp >= 0x110000) cp = 0xFFFD;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      src.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      src.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      src.push_back(static_cast<char16_t>(cp));
    }
    if (src.size() > 100000) break;
  }
  pe.srcText = std::move(src);
}

// --- document level --------------------------------------------------------------------

template <int E>
void Parser<E>::Document() {
  ElementImpl* docNode = doc_->docNode();
  st_.container = docNode;
  if (At("<?xml") && (p_ + 5 >= e_ || (p_[5] < 0x80 && (kCls.v[p_[5]] & C_WS)) || p_[5] == '?')) XmlDecl();
  bool sawRoot = false;
  bool sawDoctype = false;
  for (;;) {
    SkipWs();
    if (AtEnd()) break;
    if (*p_ != '<') {
      Err(kInvalidAtTopLevel, "Invalid at the top level of the document.", p_);
    }
    if (At("<?")) {
      p_ += 2;
      PI(docNode);
    } else if (At("<!--")) {
      p_ += 4;
      Comment(docNode);
    } else if (At("<!DOCTYPE")) {
      if (sawDoctype || sawRoot) Err(kInvalidAtTopLevel, "Invalid at the top level of the document.", p_);
      sawDoctype = true;
      Doctype();
    } else if (At("</")) {
      Err(kUnexpectedEndTag, "End tag was not expected at this location.", p_);
    } else if (Peek(1) < 0x80 && !(kCls.v[Peek(1)] & C_NAMESTART)) {
      Err(kInvalidAtTopLevel, "Invalid at the top level of the document.", p_);
    } else {
      if (sawRoot) Err(kMultipleRoots, "Only one top level element is allowed in an XML document.", p_);
      sawRoot = true;
      ++p_;
      StartTag();
      if (!st_.stack.empty()) Content(0, false);
      st_.container = docNode;
    }
  }
  if (!sawRoot) Err(kMissingRoot, "XML document must have a top level element.", p_);
}

template <int E>
void Parser<E>::XmlDecl() {
  const Unit* start = p_;
  p_ += 5;
  bool seenVersion = false, seenEncoding = false, seenStandalone = false;
  for (;;) {
    bool ws = SkipWs();
    if (At("?>")) break;
    if (AtEnd()) Eof();
    if (!ws) Err(kMissingWhitespace, "Required white space was missing.", p_);
    const Unit* at = p_;
    Atom* name = Name();
    SkipWs();
    Expect('=', kMissingEquals, "Missing equals sign between attribute and attribute value.");
    SkipWs();
    uint32_t q = Peek();
    if (q != '"' && q != '\'') Err(kMissingQuote, "A string literal was expected, but no opening quote character was found.", p_);
    ++p_;
    const Unit* vs = p_;
    while (p_ < e_ && *p_ != q) ++p_;
    if (AtEnd()) Eof();
    std::string value(vs, p_);
    ++p_;
    WideView n = name->view();
    if (n == u"version" && !seenVersion && !seenEncoding && !seenStandalone) {
      seenVersion = true;
      bool ok = value.size() >= 3 && value[0] == '1' && value[1] == '.';
      for (size_t i = 2; ok && i < value.size(); ++i) ok = value[i] >= '0' && value[i] <= '9';
      if (!ok) Err(kInvalidVersion, "Invalid version number.", vs);
    } else if (n == u"encoding" && seenVersion && !seenEncoding && !seenStandalone) {
      seenEncoding = true;
      bool ok = !value.empty() && std::isalpha(static_cast<unsigned char>(value[0]));
      for (size_t i = 1; ok && i < value.size(); ++i) {
        char c = value[i];
        ok = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
      }
      if (!ok) Err(kXmlDeclSyntax, "Invalid syntax for an XML declaration.", vs);
      uint32_t cp = CodePageFromName(value);
      if ((st_.declCheck == 1 && cp != 65001) || (st_.declCheck == 2 && cp != 1200 && cp != 1201))
        Err(kEncodingSwitch, "Switch from current encoding to specified encoding not supported.", vs);
    } else if (n == u"standalone" && seenVersion && !seenStandalone) {
      seenStandalone = true;
      if (value != "yes" && value != "no") Err(kInvalidStandalone, "The standalone attribute must have the value 'yes' or 'no'.", vs);
      st_.standalone = value == "yes";
    } else {
      Err(kXmlDeclSyntax, "Invalid syntax for an XML declaration.", at);
    }
  }
  if (!seenVersion) Err(kXmlDeclSyntax, "Invalid syntax for an XML declaration.", start);
  // Keep the declaration as a processing instruction named xml.
  const Unit* dataStart = start + 5;
  while (dataStart < p_ && *dataStart < 0x80 && (kCls.v[*dataStart] & C_WS)) ++dataStart;
  const Unit* dataEnd = p_;
  while (dataEnd > dataStart && dataEnd[-1] < 0x80 && (kCls.v[dataEnd[-1]] & C_WS)) --dataEnd;
  p_ += 2;
  PIImpl* pi = doc_->NewNode<PIImpl>(NODE_PROCESSING_INSTRUCTION);
  pi->name = doc_->Name(st_.aXml, nullptr);
  st_.Begin();
  st_.Reserve(static_cast<size_t>(dataEnd - dataStart) + 1);
  for (const Unit* q = dataStart; q < dataEnd; ++q) *st_.w++ = (*q == 13 || *q == 9 || *q == 10) ? u' ' : static_cast<char16_t>(*q);
  pi->data = st_.itemStart;
  pi->len = static_cast<uint32_t>(st_.w - st_.itemStart);
  st_.Commit();
  LinkChild(doc_->docNode(), pi, nullptr);
}

template <int E>
void Parser<E>::PI(ElementImpl* parent) {
  const Unit* at = p_ - 2;
  Atom* target = NCName();
  WideView t = target->view();
  if (t.size() == 3 && (t[0] | 0x20) == 'x' && (t[1] | 0x20) == 'm' && (t[2] | 0x20) == 'l') {
    if (t == u"xml") Err(kBadXmlDecl, "The XML declaration is allowed only at the very beginning of the document.", at);
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
  if (!parent) {   // inside the document type: nothing kept
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
  bool wsOnly = true;
  for (char16_t* q = s; q < w; ++q)
    if (!(*q == 32 || *q == 10 || *q == 9 || *q == 13)) {
      wsOnly = false;
      break;
    }
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
    if (const char16_t* lt = std::char_traits<char16_t>::find(p_, left, u'<')) run = static_cast<size_t>(lt - p_);
  } else {
    if (const void* lt = std::memchr(p_, '<', left)) run = static_cast<size_t>(static_cast<const Unit*>(lt) - p_);
  }
  // The loop asks for room a whole slice at a time, also for the run's last units.
  doc_->TextReserve(st_.itemStart, st_.w, run + kTextSlice + 4, /*exact=*/true);
}

template <int E>
void Parser<E>::Content(size_t stopDepth, bool entity) {
  if (!entity) BeginText();   // inside an entity the pending text goes on
  for (;;) {
    // Text run, decoded straight into the store.
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
          if (c == 13) {   // replacement text keeps a CR that a reference produced
            *w++ = main_ ? 10 : 13;
            ++p;
            if (main_ && p < e_ && *p == 10) ++p;
            continue;
          }
          if (c == ']') {
            if (p + 2 < e_ && p[1] == ']' && p[2] == '>') {
              st_.w = w;
              Err(kCDataCloseInText, "The literal string ']]>' is not allowed in element content.", p);
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
        }
        w = CopyChar(p, w);
      }
      st_.w = w;
      p_ = p;
      if (stop) break;
    }
    if (AtEnd()) {
      if (entity) return;   // pending text continues after the reference
      FlushText();
      Err(kUnclosedTag, "The following tags were not closed: %.", p_, st_.stack.back().el->name->q->view());
    }
    if (*p_ == '&') {
      const Unit* at = p_;
      ++p_;
      if (Peek() == '#') {
        ++p_;
        st_.PutCp(CharRef());
        continue;
      }
      char16_t pre;
      EntityDecl* d = EntityRef(at, &pre, false);
      if (!d) {
        st_.PutCp(pre);
        continue;
      }
      if (!d->hasMarkup) {
        if (!d->len) continue;
        st_.Reserve(d->len);
        std::memcpy(st_.w, d->text, d->len * sizeof(char16_t));
        st_.w += d->len;
        continue;
      }
      WithEntity(d, at, [&] {
        Parser<kU16> sub(st_, d->text, d->len, nullptr, false);
        sub.EntityContent(st_.stack.size());
      });
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
    Err(kEntityContent, "An entity's replacement text is not balanced: an element started in it is not closed in it.", p_);
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
      Err(kEntityContent, "An entity's replacement text is not balanced: it closes an element it did not start.", at);
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
  while (st_.ns.size() > f.nsSave) {
    NsSave& s = st_.ns.back();
    if (s.prefix) s.prefix->nsUri = s.old;
    else st_.defaultNs = s.old;
    st_.ns.pop_back();
  }
  st_.stack.pop_back();
  st_.container = st_.stack.empty() ? doc_->docNode() : st_.stack.back().el;
}

// Attribute value characters up to the closing quote (or, for entity text, the end).
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
      w = CopyChar(p, w);
    }
    st_.w = w;
    p_ = p;
    if (!stopc) continue;
    if (stopc == '<') Err(kLtInAttribute, "The character '<' cannot be used in an attribute value.", p_);
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
    Err(kMissingQuote, "A string literal was expected, but no opening quote character was found.", p_);
  }
  ++p_;
  st_.Begin();
  AttValueChars(static_cast<char16_t>(q));
  if (st_.haveAttlists && elem && elem->attlist) {
    for (AttDef* d = elem->attlist->first; d; d = d->next) {
      if (d->name != attr) continue;
      if (!d->cdata) {   // collapse spaces
        char16_t* r = st_.itemStart;
        char16_t* w = st_.itemStart;
        char16_t* end = st_.w;
        while (r < end && *r == u' ') ++r;
        while (r < end) {
          if (*r == u' ') {
            while (r < end && *r == u' ') ++r;
            if (r < end) *w++ = u' ';
          } else {
            *w++ = *r++;
          }
        }
        st_.w = w;
      }
      break;
    }
  }
}

template <int E>
void Parser<E>::StartTag() {
  const Unit* at = p_ - 1;
  if (st_.stack.size() >= static_cast<size_t>(XmlLimits::kMaxDepth))
    Err(kDepthLimit, "Elements are nested too deeply.", at);
  Atom* q = QName();
  uint32_t serial = ++st_.serial;
  std::vector<PendingAttr>& attrs = st_.attrs;
  attrs.clear();
  bool empty = false;
  for (;;) {
    bool ws = SkipWs();
    if (AtEnd()) Eof();
    uint32_t c = *p_;
    if (c == '>') {
      ++p_;
      break;
    }
    if (c == '/') {
      if (Peek(1) != '>') Err(kExpectingTagEnd, "The character '>' was expected.", p_ + 1);
      p_ += 2;
      empty = true;
      break;
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
    AttValue(q, a);
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
  // Declared defaults.
  if (st_.haveAttlists && q->attlist) {
    for (AttDef* d = q->attlist->first; d; d = d->next) {
      if (!d->def || d->name->mark == serial) continue;
      d->name->mark = serial;
      if (d->name->colon == -1) doc_->AnalyzeQName(d->name);
      PendingAttr pa;
      pa.q = d->name;
      pa.data = d->def;
      pa.len = d->defLen;
      pa.isDecl = d->name == st_.aXmlns || d->name->prefix == st_.aXmlns;
      attrs.push_back(pa);
    }
  }
  // Namespace declarations.
  size_t nsSave = st_.ns.size();
  bool preserve = st_.stack.empty() ? false : st_.stack.back().preserve;
  for (PendingAttr& pa : attrs) {
    if (pa.q == st_.aXmlSpace) {
      WideView v(pa.data, pa.len);
      if (v == u"preserve") preserve = true;
      else if (v == u"default") preserve = false;
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
      if (prefix == st_.aXmlns) Err(kReservedNamespace, "The prefix 'xmlns' cannot be declared.", at);
      if (prefix == st_.aXml) {
        if (uri != st_.uXml) Err(kReservedNamespace, "The prefix 'xml' cannot be bound to another namespace.", at);
        continue;
      }
      if (!uri) Err(kNamespaceDecl, "The namespace prefix '%' cannot be undeclared.", at, prefix->view());
      if (uri == st_.uXml || uri == st_.uXmlns)
        Err(kReservedNamespace, "The namespace '%' cannot be bound to another prefix.", at, v);
      st_.ns.push_back({prefix, prefix->nsUri});
      if (!prefix->nsUri) st_.Touch(prefix);
      prefix->nsUri = uri;
    }
  }
  // The element.
  Atom* uri;
  if (q->prefix) {
    if (q->prefix == st_.aXmlns) Err(kReservedNamespace, "Elements cannot have the prefix 'xmlns'.", at);
    uri = q->prefix->nsUri;
    if (!uri) Err(kUndeclaredPrefix, "Reference to undeclared namespace prefix: '%'.", at, q->prefix->view());
  } else {
    uri = st_.defaultNs;
  }
  ElementImpl* el = doc_->NewNode<ElementImpl>(NODE_ELEMENT);
  el->name = doc_->Name(q, uri);
  AttrImpl* last = nullptr;
  for (PendingAttr& pa : attrs) {
    Atom* auri = nullptr;
    if (!pa.isDecl && pa.q->prefix) {
      auri = pa.q->prefix->nsUri;   // an undeclared prefix gives no namespace
      if (auri) {
        Atom* local = pa.q->local;
        if (local->umark == serial && local->umarkUri == auri)
          Err(kDuplicateExpandedName, "Attribute '%' is defined twice with the same namespace.", at, local->view());
        if (local->umark == serial) {
          for (PendingAttr& o : attrs)
            if (&o != &pa && !o.isDecl && o.q->prefix && o.q->local == local && o.q->prefix->nsUri == auri && &o < &pa)
              Err(kDuplicateExpandedName, "Attribute '%' is defined twice with the same namespace.", at, local->view());
        }
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
    else el->attrs = a;
    last = a;
  }
  Link(el, st_.container);
  if (empty) {
    while (st_.ns.size() > nsSave) {
      NsSave& s = st_.ns.back();
      if (s.prefix) s.prefix->nsUri = s.old;
      else st_.defaultNs = s.old;
      st_.ns.pop_back();
    }
    return;
  }
  st_.stack.push_back({el, nsSave, preserve});
  st_.container = el;
}

// --- document type ---------------------------------------------------------------------

template <int E>
void Parser<E>::Literal(bool pubid) {
  uint32_t q = Peek();
  if (q != '"' && q != '\'') {
    if (AtEnd()) Eof();
    Err(kMissingQuote, "A string literal was expected, but no opening quote character was found.", p_);
  }
  ++p_;
  for (;;) {
    if (AtEnd()) Eof();
    if (*p_ == q) break;
    const Unit* at = p_;
    uint32_t c = Decode(p_);
    if (!IsChar(c)) BadChar(c, at);
    if (pubid) {
      bool ok = c == 0x20 || c == 0xD || c == 0xA || (c < 0x80 && (std::isalnum(static_cast<int>(c)) || std::strchr("-'()+,./:=?;!*#@$_%", static_cast<int>(c))));
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
      if (st_.entityDepth >= XmlLimits::kMaxEntityDepth) Err(kEntityLimit, "Entity references are nested too deeply.", at);
      st_.entityChars += d->len;
      if (st_.entityChars > XmlLimits::kMaxEntityChars) Err(kEntityLimit, "Entity expansion exceeds the allowed size.", at);
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
    Err(kMissingQuote, "A string literal was expected, but no opening quote character was found.", p_);
  }
  ++p_;
  st_.Begin();
  bool markup = false;
  for (;;) {
    if (AtEnd()) Eof();
    uint32_t c = *p_;
    if (c == q) break;
    if (c == '%') Err(kPERefInSubset, "Parameter entities cannot be used inside markup declarations in an internal subset.", p_);
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
  if (!pe && Predefined(name)) return;   // the predefined entities keep their meaning
  if (!keep) {
    // The unread entity might have declared this name first, with another value: a
    // reference to it must fail rather than expand to nothing.
    if (pe || name->entity || !st_.skipDecls) return;
    d->unprocessed = true;
  }
  st_.Touch(name);
  if (pe) name->pentity = d;
  else name->entity = d;
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
    bool cdata = false;
    if (At("CDATA")) {
      p_ += 5;
      cdata = true;
    } else if (At("IDREFS")) p_ += 6;
    else if (At("IDREF")) p_ += 5;
    else if (At("ID")) p_ += 2;
    else if (At("ENTITY")) p_ += 6;
    else if (At("ENTITIES")) p_ += 8;
    else if (At("NMTOKENS")) p_ += 8;
    else if (At("NMTOKEN")) p_ += 7;
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
      if (!cdata) {
        char16_t* r = st_.itemStart;
        char16_t* w = st_.itemStart;
        char16_t* end = st_.w;
        while (r < end && *r == u' ') ++r;
        while (r < end) {
          if (*r == u' ') {
            while (r < end && *r == u' ') ++r;
            if (r < end) *w++ = u' ';
          } else {
            *w++ = *r++;
          }
        }
        st_.w = w;
      }
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
    if (dup) continue;   // the first declaration binds
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
    if (At("#PCDATA")) {   // Mixed
      p_ += 7;
      bool names = false;
      for (;;) {
        SkipWs();
        if (Peek() == ')') {
          ++p_;
          if (Peek() == '*') ++p_;
          else if (names) bad();
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
    } else {   // children: nested choice and sequence groups
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

void InitState(State& st) {
  DocumentImpl* d = st.doc;
  d->ResetParseData();
  st.aXml = d->Intern(u"xml");
  st.aXmlns = d->Intern(u"xmlns");
  st.aXmlSpace = d->InternQName(u"xml:space");
  st.uXml = d->Intern(u"http://www.w3.org/XML/1998/namespace");
  st.uXmlns = d->Intern(u"http://www.w3.org/2000/xmlns/");
  for (const char16_t* n : {u"lt", u"gt", u"amp", u"apos", u"quot"}) d->Intern(n);
  st.aXml->nsUri = st.uXml;
  st.Touch(st.aXml);
}

template <int E>
bool Run(DocumentImpl* doc, const typename Parser<E>::Unit* data, size_t n, const char16_t* table,
         int declCheck = 0, bool borrow = false, bool encodedPairs = false) {
  State st(doc);
  InitState(st);
  st.declCheck = declCheck;
  st.borrow = borrow;
  st.encodedPairs = encodedPairs;
  Parser<E> p(st, data, n, table, true);
  doc->loadedChars = n;
  try {
    p.Document();
    doc->ResetParseData();
    return true;
  } catch (const ParseFail&) {
    doc->error = ParseError();
    doc->error.errorCode = static_cast<int32_t>(st.code);
    doc->error.reason = st.reason;
    p.Locate(st.errPos, doc->error);
    doc->ResetParseData();
    return false;
  }
}

void SetError(DocumentImpl* doc, uint32_t code, const char* reason) {
  doc->error = ParseError();
  doc->error.errorCode = static_cast<int32_t>(code);
  doc->error.reason = W(reason);
  doc->error.line = 1;
  doc->error.linepos = 1;
}

}  // namespace

bool ParseWide(DocumentImpl* doc, WideView text, bool borrow) {
  return Run<kU16>(doc, text.data(), text.size(), nullptr, 0, borrow);
}

bool ParseBytes(DocumentImpl* doc, std::string_view bytes) {
  const uint8_t* b = reinterpret_cast<const uint8_t*>(bytes.data());
  size_t n = bytes.size();
  int utf16 = 0;   // 1 LE, 2 BE
  bool bom = false;
  if (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
    return Run<kUtf8>(doc, b + 3, n - 3, nullptr, 1);
  }
  if (n >= 2 && b[0] == 0xFF && b[1] == 0xFE) { utf16 = 1; bom = true; }
  else if (n >= 2 && b[0] == 0xFE && b[1] == 0xFF) { utf16 = 2; bom = true; }
  else if (n >= 4 && b[0] == '<' && b[1] == 0 && b[2] == '?' && b[3] == 0) utf16 = 1;
  else if (n >= 4 && b[0] == 0 && b[1] == '<' && b[2] == 0 && b[3] == '?') utf16 = 2;
  if (utf16) {
    size_t start = bom ? 2 : 0;
    if ((n - start) % 2) {
      SetError(doc, kIncompleteEncoding, "End of file reached in invalid state for current encoding.");
      return false;
    }
    std::u16string wide((n - start) / 2, u'\0');
    for (size_t i = 0; i < wide.size(); ++i) {
      uint8_t lo = b[start + 2 * i + (utf16 == 1 ? 0 : 1)];
      uint8_t hi = b[start + 2 * i + (utf16 == 1 ? 1 : 0)];
      wide[i] = static_cast<char16_t>(lo | (hi << 8));
    }
    return Run<kU16>(doc, wide.data(), wide.size(), nullptr, 2);
  }
  // The declaration's encoding, read as ASCII.
  uint32_t cp = 65001;
  bool declared = false;
  if (n >= 6 && std::memcmp(b, "<?xml", 5) == 0) {
    size_t end = 5;
    while (end + 1 < n && !(b[end] == '?' && b[end + 1] == '>') && end < 4096) ++end;
    std::string decl(reinterpret_cast<const char*>(b), end);
    size_t k = decl.find("encoding");
    if (k != std::string::npos) {
      size_t i = k + 8;
      while (i < decl.size() && (decl[i] == ' ' || decl[i] == '\t' || decl[i] == '\r' || decl[i] == '\n')) ++i;
      if (i < decl.size() && decl[i] == '=') {
        ++i;
        while (i < decl.size() && (decl[i] == ' ' || decl[i] == '\t' || decl[i] == '\r' || decl[i] == '\n')) ++i;
        if (i < decl.size() && (decl[i] == '"' || decl[i] == '\'')) {
          char q = decl[i++];
          size_t j = decl.find(q, i);
          if (j != std::string::npos) {
            std::string name = decl.substr(i, j - i);
            cp = CodePageFromName(name);
            declared = true;
            if (cp == 0) {
              SetError(doc, kUnsupportedEncoding, "System does not support the specified encoding.");
              // Position: the encoding name in the first line.
              State st(doc);
              Parser<kUtf8> p(st, b, n, nullptr, true);
              p.Locate(i, doc->error);
              return false;
            }
            if (cp == 1200 || cp == 1201) {
              SetError(doc, kEncodingSwitch, "Switch from current encoding to specified encoding not supported.");
              State st(doc);
              Parser<kUtf8> p(st, b, n, nullptr, true);
              p.Locate(i, doc->error);
              return false;
            }
          }
        }
      }
    }
  }
  if (cp == 65001) return Run<kUtf8>(doc, b, n, nullptr, 0, false, declared);
  const char16_t* table = CodePageTable(cp);
  if (!table) {
    SetError(doc, kUnsupportedEncoding, "System does not support the specified encoding.");
    return false;
  }
  return Run<kSbcs>(doc, b, n, table);
}

void SetLoadError(DocumentImpl* doc, int32_t code, WideView reason) {
  doc->error = ParseError();
  doc->error.errorCode = code;
  doc->error.reason = WideString(reason);
}

bool IsXmlQName(WideView name) {
  if (name.empty()) return false;
  size_t colons = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    uint32_t c = name[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (name[i + 1] - 0xDC00);
      ++i;
    }
    if (c == ':') ++colons;
    if (i == 0 ? !IsNameStart(c) : !IsNameChar(c)) return false;
  }
  if (colons == 0) return true;
  size_t k = name.find(u':');
  return colons == 1 && k > 0 && k + 1 < name.size();
}

}  // namespace Lumo::Dom
