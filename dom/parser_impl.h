// Private to the parser's files: the parse state of one load and the parser template.
//
// One parser template reads three kinds of source units: UTF-16 (wide text and UTF-16
// bytes), UTF-8 bytes, and single-byte code pages through a 256-entry table. Markup is
// ASCII in all of them, so the scanner looks at units; only names, text and values are
// decoded, straight into the document's text store (validated, line ends normalised).
// Entity replacement texts are UTF-16 and are read by the UTF-16 instance with the
// same parse state; that recursion is bounded by the entity nesting limit, element
// nesting is a loop with an explicit stack.
//
// The members are defined in parser_prolog.cpp, parser_content.cpp and parser_dtd.cpp,
// each instantiating its own for the three source kinds.
#pragma once

#include <cassert>
#include <cstring>
#include <string>
#include <type_traits>
#include <unordered_set>
#include <vector>

#include "base/encoding.h"
#include "base/read_once_text.h"
#include "dom/dom_impl.h"
#include "dom/xml_chars.h"
#include "dom/xml_parser.h"

// A step of a hot function, split out to be read on its own: the compiler is asked to
// fold it back into its one caller, so the split costs no call per element or value.
#if defined(__GNUC__) || defined(__clang__)
#define LUMO_PARSER_STEP inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define LUMO_PARSER_STEP __forceinline
#else
#define LUMO_PARSER_STEP inline
#endif

namespace Lumo::Dom::Parsing {

using namespace Lumo::Base;
using namespace XmlError;

enum Enc { kU16, kUtf8, kSbcs };

// ASCII character classes.
enum : uint8_t {
  C_INVALID = 1,   // control characters other than tab, LF, CR
  C_TEXTSTOP = 2,  // '<' '&' ']' CR and invalid ones
  C_ATTRSTOP = 4,  // '<' '&' quotes, tab, LF, CR, invalid ones
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

struct ParseFail {};

// Whether every one of the four UTF-16 units (or eight bytes) packed in v lies in
// U+0028..U+007F and none is '<': characters an attribute value copies unchanged in every
// encoding the parser reads (quotes, '&', white space and controls all lie below U+0028).
inline bool PlainAttributeUnits(uint64_t v) {
  constexpr uint64_t kHigh = 0x8000800080008000ull;
  if (v & 0xFF80FF80FF80FF80ull) return false;                       // a unit >= 0x80
  if (((v + 0x7FD87FD87FD87FD8ull) & kHigh) != kHigh) return false;  // a unit < 0x28
  uint64_t x = v ^ 0x003C003C003C003Cull;                            // a '<' becomes zero
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
  Atom* prefix;  // null: the default namespace
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
  size_t entityBase = 0;  // main-source position of the outermost entity reference
  bool inEntity = false;

  std::vector<PendingAttr> attrs;
  // The expanded names (local name, URI) of a tag's namespaced attributes, once two of
  // them share a local name: a duplicate is then found by look-up, not by a scan of the
  // tag (thousands of p1:a, p2:a, ... made the scans quadratic).
  struct ExpandedName {
    const Atom* local;
    const Atom* uri;
    bool operator==(const ExpandedName& o) const { return local == o.local && uri == o.uri; }
  };
  struct ExpandedNameHash {
    size_t operator()(const ExpandedName& n) const {
      return std::hash<const void*>()(n.local) * 31 + std::hash<const void*>()(n.uri);
    }
  };
  std::unordered_set<ExpandedName, ExpandedNameHash> expandedNames;
  std::vector<char16_t> scratch;
  Atom* nameCache[256] = {};
  bool haveAttlists = false;
  bool skipDecls = false;  // after a reference to a parameter entity that is not read
  bool standalone = false;
  bool sawPERef = false;       // undeclared general entities are then not a well-formedness error
  EntityDecl skippedEntity{};  // stands for an undeclared entity then: expands to nothing
  int declCheck = 0;           // declared encoding must be 1: UTF-8, 2: UTF-16 (byte order mark)
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

  void Begin() {  // start a pending item in the text store
    itemStart = w = doc->textCur_;
  }
  void Reserve(size_t n) {
    if (static_cast<size_t>(doc->textEnd_ - w) < n) doc->TextReserve(itemStart, w, n);
  }
  void Commit() {
    // An item is written forward from where it began, inside the current chunk.
    assert(itemStart == doc->textCur_ && itemStart <= w && w <= doc->textEnd_);
    doc->textCur_ = w;
  }
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

inline WideString W(const char* s) {
  WideString r;
  while (*s) r.push_back(static_cast<unsigned char>(*s++));
  return r;
}

template <int E>
class Parser {
 public:
  using Unit = std::conditional_t<E == kU16, char16_t, uint8_t>;

  Parser(State& st, const Unit* b, size_t n, const char16_t* table, bool main)
      : st_(st), doc_(st.doc), b_(b), p_(b), e_(b + n), table_(table), main_(main) {
    kept_.at = kept_.lineStart = b;
  }

  void Document();
  void EntityContent(size_t depthAtEntry);  // parse replacement text as content
  void AttrEntity(char16_t quoteless);      // replacement text inside an attribute value

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
  // The input behind the root's children handed over said read
  // (Document::setInputReadOnce); Locate counts from there on.
  void GiveBackRead();
  // The text of the line that starts at p, as an error reports it.
  WideString LineText(const Unit* p) const;

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
      if (c >= 0xC2 && c <= 0xDF) {
        n = 1;
        cp = c & 0x1F;
      } else if (c >= 0xE0 && c <= 0xEF) {
        n = 2;
        cp = c & 0x0F;
      } else if (c >= 0xF0 && c <= 0xF4) {
        n = 3;
        cp = c & 0x07;
      } else
        return 0x110000;
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
        if (e_ - p < 3 || p[0] != 0xED || (p[1] & 0xF0) != 0xB0 || (p[2] & 0xC0) != 0x80)
          return 0x110000;
        const uint32_t low = ((p[1] & 0x0Fu) << 6) | (p[2] & 0x3Fu);
        p += 3;
        return 0x10000 + ((cp - 0xD800) << 10) + low;
      }
      if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
          (cp >= 0xD800 && cp <= 0xDFFF))
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
    } else if (!IsXmlChar(c)) {
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
    if (!IsXmlChar(cp)) {
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

  // Four two-byte sequences (Cyrillic comes in words) at p, before lim: their units
  // written at w, both moved on. False, and nothing moved, where the next eight bytes
  // are anything else.
  static bool FourCyrillic(const Unit*& p, const Unit* lim, char16_t*& w) noexcept {
    uint64_t word;
    if (lim - p < 8 || !Base::FourTwoByteSequences(p, word)) return false;
    Base::WriteFourUnits(word, w);
    p += 8;
    w += 4;
    return true;
  }

  [[noreturn]] void BadChar(uint32_t c, const Unit* at) {
    if (c == 0x110001)
      Err(kIncompleteEncoding, "End of file reached in invalid state for current encoding.", at);
    if (c >= 0x110000)
      Err(kBadCharData,
          "An invalid character was found in the input (not valid in the document's encoding).",
          at);
    Err(kBadCharData, "An invalid character was found in text content.", at);
  }

  bool At(const char* s) const {
    const Unit* p = p_;
    for (; *s; ++s, ++p)
      if (p >= e_ || *p != static_cast<unsigned char>(*s)) return false;
    return true;
  }
  bool AtEnd() const { return p_ >= e_; }
  uint32_t Peek(size_t k = 0) const {
    return p_ + k < e_ ? static_cast<uint32_t>(p_[k]) : 0xFFFFFFFFu;
  }
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
        uint32_t slot =
            (static_cast<uint32_t>(s[0]) * 31u + static_cast<uint32_t>(s[len - 1]) * 7u + len) &
            255u;
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
      if (first ? !IsNameStartChar(c) : !IsNameChar(c)) {
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
    if (a->colon == -3)
      Err(kMultipleColons, "The name '%' is not a valid qualified name.", at, a->view());
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
        else if (c >= 'a' && c <= 'f')
          d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
          d = c - 'A' + 10;
        else
          break;
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
    if (!IsXmlChar(v))
      Err(kInvalidUnicode,
          "The character reference refers to a character that is not allowed in XML.", at);
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
          "The declaration of entity '%' could not be processed: it follows a reference to an "
          "external parameter entity, which is not read.",
          at, a->view());
    if (d->inPE && st_.standalone)
      Err(kUndefinedEntity,
          "Entity '%' is declared in a parameter entity, which a standalone document cannot rely "
          "on.",
          at, a->view());
    if (d->unparsed)
      Err(kExternalEntity, "Reference to unparsed entity '%' is not allowed.", at, a->view());
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
  LUMO_PARSER_STEP void TextRun();
  void ContentReference();
  void FlushText();
  void StartTag();
  LUMO_PARSER_STEP bool ReadAttributes(Atom* elem, uint32_t serial);
  void AddDeclaredDefaults(Atom* elem, uint32_t serial);
  LUMO_PARSER_STEP bool BindNamespaces(const Unit* at);
  LUMO_PARSER_STEP ElementImpl* MakeElement(Atom* q, uint32_t serial, const Unit* at);
  void RestoreNamespaces(size_t size);
  LUMO_PARSER_STEP void EndTag(size_t stopDepth);
  void Comment(ElementImpl* parent);
  void PI(ElementImpl* parent);
  void CData();
  void AttValue(Atom* elem, Atom* attr);  // into the pending item
  LUMO_PARSER_STEP void AttValueChars(char16_t quote);
  void Misc(ElementImpl* parent, bool& sawRoot);
  void XmlDecl();
  void Doctype();
  void Subset(bool inEntity = false);

 public:
  void SubsetEntity() { Subset(true); }

 private:
  void EntityDeclaration();
  void AttlistDeclaration();
  bool AttributeType();
  // A value of a type other than CDATA: the pending item without leading and trailing
  // spaces and with each run of spaces as one.
  void CollapseSpaces() {
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
  void RootChildDone();
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
  // Where Locate starts counting: the input's start, or where the input was last given
  // back, with the line, column and characters before it, and the start of its line
  // (whose text is kept where that start may be given back). An error always lies after
  // the children handed over, so never before it.
  struct Counted {
    const Unit* at = nullptr;
    const Unit* lineStart = nullptr;
    int32_t line = 1, col = 1, chars = 0;
    bool lineTextKept = false;
    WideString lineText;
  };
  Counted kept_;
  const Unit* rootContent_ = nullptr;  // just past the root's start tag, in a handing-over load
};

// The members each parser file defines, instantiated there for every source kind.
#define LUMO_PARSER_INSTANTIATE(MEMBERS) \
  MEMBERS(kU16)                          \
  MEMBERS(kUtf8)                         \
  MEMBERS(kSbcs)

}  // namespace Lumo::Dom::Parsing
