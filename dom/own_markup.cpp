#include "dom/own_markup.h"

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "base/encoding.h"
#include "dom/xml_parser.h"

namespace Lumo::Dom {

namespace {

constexpr std::string_view kXmlUri = "http://www.w3.org/XML/1998/namespace";
constexpr std::string_view kXmlnsUri = "http://www.w3.org/2000/xmlns/";

// What one byte is to the check: a name character, or plain in text and in values, or
// something to look at.
enum ByteKind : uint8_t {
  kOther,      // control characters, '<', '>', '&', '"' and bytes from 0x80 on
  kPlain,      // any other ASCII character but those below
  kNameStart,  // A-Z, a-z, '_' (plain too)
  kNameMore,   // 0-9, '-', '.' (plain too)
};
struct ByteKinds {
  ByteKind of[256];
  constexpr ByteKinds() : of() {
    for (int c = 0; c < 256; ++c) {
      const bool start = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
      const bool more = (c >= '0' && c <= '9') || c == '-' || c == '.';
      const bool other = c < 0x20 || c >= 0x80 || c == '<' || c == '>' || c == '&' || c == '"';
      of[c] = start ? kNameStart : more ? kNameMore : other ? kOther : kPlain;
    }
  }
};
constexpr ByteKinds kKinds;

// The length of the UTF-8 sequence at s[i] (lead byte from 0x80 on) where it is a BMP
// character XML allows, written no longer than needed, with the two-byte sequences that
// follow a two-byte one; 0 otherwise (surrogates, U+FFFE, U+FFFF, four-byte sequences,
// broken ones).
size_t BmpSequence(const unsigned char* s, size_t i, size_t n) {
  const unsigned b = s[i];
  auto continuation = [&](size_t k) { return k < n && (s[k] & 0xC0) == 0x80; };
  if (b >= 0xC2 && b <= 0xDF) {
    if (!continuation(i + 1)) return 0;
    // Cyrillic comes in words: the rest of a run of two-byte sequences goes with it.
    return Base::PastTwoByteRun(s, i + 2, n) - i;
  }
  if (b < 0xE0 || b > 0xEF || !continuation(i + 1) || !continuation(i + 2)) return 0;
  const unsigned c1 = s[i + 1];
  if (b == 0xE0 && c1 < 0xA0) return 0;                       // longer than needed
  if (b == 0xED && c1 >= 0xA0) return 0;                      // a surrogate
  if (b == 0xEF && c1 == 0xBF && s[i + 2] >= 0xBE) return 0;  // U+FFFE, U+FFFF
  return 3;
}

// Beyond these the markup is left to the load, which looks names up faster.
constexpr size_t kMostAttributes = 64;    // on one element
constexpr size_t kMostDeclarations = 64;  // of prefixes in scope

class Check {
 public:
  explicit Check(std::string_view text)
      : s_(reinterpret_cast<const unsigned char*>(text.data())), n_(text.size()) {}

  bool Run() {
    if (!StartTag()) return false;
    while (!open_.empty()) {
      if (i_ == n_) return false;
      if (s_[i_] != '<') {
        if (!Text()) return false;
      } else if (i_ + 1 < n_ && s_[i_ + 1] == '/') {
        if (!EndTag()) return false;
      } else if (!StartTag()) {
        return false;
      }
    }
    return i_ == n_;  // nothing after the document element
  }

 private:
  struct Open {
    std::string_view name;
    size_t declaredBefore;  // declared_.size() when the element opened
    bool content;           // something was written inside
  };

  bool At(std::string_view piece) const {
    return n_ - i_ >= piece.size() && std::string_view(Chars(i_), piece.size()) == piece;
  }
  const char* Chars(size_t at) const { return reinterpret_cast<const char*>(s_ + at); }

  // An NCName of ASCII name characters.
  bool NcName(std::string_view& name) {
    const size_t start = i_;
    if (i_ == n_ || kKinds.of[s_[i_]] != kNameStart) return false;
    ++i_;
    while (i_ < n_ && kKinds.of[s_[i_]] >= kNameStart) ++i_;
    name = std::string_view(Chars(start), i_ - start);
    return true;
  }
  // A qualified name; prefix empty where it has none.
  bool QName(std::string_view& qname, std::string_view& prefix) {
    const size_t start = i_;
    std::string_view first, local;
    if (!NcName(first)) return false;
    prefix = {};
    if (i_ < n_ && s_[i_] == ':') {
      ++i_;
      if (!NcName(local)) return false;
      prefix = first;
    }
    qname = std::string_view(Chars(start), i_ - start);
    return true;
  }

  bool Declared(std::string_view prefix) const {
    for (size_t k = declared_.size(); k-- > 0;)
      if (declared_[k] == prefix) return true;
    return false;
  }

  // '<' name, then ' ' name '="' value '"' for each attribute, then '>' or "/>".
  bool StartTag() {
    if (i_ == n_ || s_[i_] != '<') return false;
    ++i_;
    if (open_.size() + 1 >= static_cast<size_t>(XmlLimits::kMaxDepth)) return false;
    if (!open_.empty()) open_.back().content = true;
    Open element{{}, declared_.size(), false};
    std::string_view prefix;
    if (!QName(element.name, prefix)) return false;
    names_.clear();
    while (i_ < n_ && s_[i_] == ' ') {
      ++i_;
      std::string_view name, attributePrefix, value;
      if (!QName(name, attributePrefix) || !At("=\"")) return false;
      i_ += 2;
      if (!Value(value)) return false;
      // Names are compared pair by pair: a tag with more is left to the load.
      if (names_.size() == kMostAttributes) return false;
      for (std::string_view seen : names_)
        if (seen == name) return false;
      names_.push_back(name);
      const bool declaration = attributePrefix == "xmlns" || name == "xmlns";
      if (declaration && (value == kXmlUri || value == kXmlnsUri)) return false;
      if (attributePrefix == "xmlns") {
        const std::string_view declared = name.substr(6);
        if (declared == "xml" || declared == "xmlns" || value.empty() ||
            declared_.size() == kMostDeclarations)
          return false;
        declared_.push_back(declared);
      } else if (!attributePrefix.empty()) {
        return false;
      }
    }
    if (!prefix.empty() && (prefix == "xml" || prefix == "xmlns" || !Declared(prefix)))
      return false;
    if (At("/>")) {
      i_ += 2;
      declared_.resize(element.declaredBefore);
      return true;
    }
    if (i_ == n_ || s_[i_] != '>') return false;
    ++i_;
    open_.push_back(element);
    return true;
  }

  bool EndTag() {
    const Open& element = open_.back();
    i_ += 2;
    if (!element.content || !At(element.name)) return false;
    i_ += element.name.size();
    if (i_ == n_ || s_[i_] != '>') return false;
    ++i_;
    declared_.resize(element.declaredBefore);
    open_.pop_back();
    return true;
  }

  // An escape the tree writes: "&amp;" and the others given; i_ is at the '&'.
  bool Escape(std::initializer_list<std::string_view> allowed) {
    for (std::string_view escape : allowed) {
      if (At(escape)) {
        i_ += escape.size();
        return true;
      }
    }
    return false;
  }

  // Text up to the next '<': not white space alone, no raw '>', no line end (the tree
  // writes LF as CR LF), escapes as the tree writes them ('&', '<' and '>' only).
  bool Text() {
    bool onlySpace = true;
    while (i_ < n_ && s_[i_] != '<') {
      const unsigned char b = s_[i_];
      if (kKinds.of[b] != kOther) {
        if (b != ' ') onlySpace = false;
        ++i_;
      } else if (b == '\t') {
        ++i_;
      } else if (b == '&') {
        if (!Escape({"&amp;", "&lt;", "&gt;"})) return false;
        onlySpace = false;
      } else if (b == '"') {
        onlySpace = false;
        ++i_;
      } else if (b >= 0x80) {
        const size_t length = BmpSequence(s_, i_, n_);
        if (length == 0) return false;
        onlySpace = false;
        i_ += length;
      } else {
        return false;  // '>', CR and the other control characters
      }
    }
    open_.back().content = true;
    return !onlySpace;
  }

  // An attribute value up to its closing quote, which is taken: no raw '<', '>', tab, LF or
  // CR (the load changes the white space), escapes as the tree writes them.
  bool Value(std::string_view& value) {
    const size_t start = i_;
    for (;;) {
      if (i_ == n_) return false;
      const unsigned char b = s_[i_];
      if (kKinds.of[b] != kOther) {
        ++i_;
      } else if (b == '"') {
        value = std::string_view(Chars(start), i_ - start);
        ++i_;
        return true;
      } else if (b == '&') {
        if (!Escape({"&amp;", "&lt;", "&gt;", "&quot;", "&#9;", "&#10;", "&#13;"})) return false;
      } else if (b >= 0x80) {
        const size_t length = BmpSequence(s_, i_, n_);
        if (length == 0) return false;
        i_ += length;
      } else {
        return false;
      }
    }
  }

  const unsigned char* s_;
  size_t n_;
  size_t i_ = 0;
  std::vector<Open> open_;
  std::vector<std::string_view> declared_;  // prefixes declared by the open elements
  std::vector<std::string_view> names_;     // the attribute names of the tag being read
};

}  // namespace

bool IsOwnMarkup(std::string_view text) { return Check(text).Run(); }

}  // namespace Lumo::Dom
