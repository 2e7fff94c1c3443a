// Reading a settled text as text. NumberedFromSettledText checks the whole shape once;
// WriteParsedMarkup then relies on it.
//
// What the parse and the serialisation do to such a text, piece by piece:
// - an attribute value holds no '<', no tab, CR or LF and no reference but "&quot;"; it
//   parses to the same characters with '"' for "&quot;", and xml writes it back the same
//   way except for '>', which it writes as "&gt;";
// - text holds no CR, no '>' and no reference but "&amp;", "&lt;" and "&gt;", and is never
//   white space only (the parser would drop it); xml writes it back the same way except
//   for LF, which it writes as CR LF;
// - a CDATA section holds no CR and comes back as it is;
// - an element with nothing between its tags comes back as an empty-element tag;
// - names come back as they are, and no declaration is added: each element's prefix is
//   declared on the element or on its parent.
// Bytes are UTF-8 one UTF-16 unit at a time on both sides, so they pass through.
#include "canon/settled_text.h"

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "base/encoding.h"
#include "dom/xml_parser.h"

namespace Lumo::Canon {

using Lumo::Base::ByteString;
using Sink = std::function<void(ByteString&)>;

namespace {

bool IsSpace(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Eight bytes at a time through the long runs of plain ASCII that texts are mostly made
// of; a word that may hold anything else is read byte by byte. Both tests below are
// exact as to whether such a byte is there (a borrow only follows a byte that is one).
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHigh = 0x8080808080808080ull;

uint64_t Word(const char* p) noexcept {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}
// A byte below 0x20 (a control character) or from 0x80 on.
bool AnyControlOrHigh(uint64_t w) noexcept { return (((w - kOnes * 0x20) | w) & kHigh) != 0; }
// A byte below 0x20.
bool AnyControl(uint64_t w) noexcept { return ((w - kOnes * 0x20) & ~w & kHigh) != 0; }
// A byte equal to c.
bool AnyEqual(uint64_t w, char c) noexcept {
  const uint64_t x = w ^ (kOnes * static_cast<unsigned char>(c));
  return ((x - kOnes) & ~x & kHigh) != 0;
}

// Characters XML allows, as the canonical walks checked them, in the UTF-8 they write
// (one UTF-16 unit at a time: sequences of one to three bytes, none longer than needed):
// no control characters but tab and LF (CR is refused too: the canonical text has none),
// no U+FFFE or U+FFFF, and surrogates only as a high one followed by a low one.
bool PlainChars(std::string_view text) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  auto continuation = [&](size_t i) { return i < n && (s[i] & 0xC0) == 0x80; };
  for (size_t i = 0; i < n;) {
    const unsigned b = s[i];
    if (b >= 0x20 && b < 0x80) {
      ++i;
      while (n - i >= 8 && !AnyControlOrHigh(Word(text.data() + i))) i += 8;
      continue;
    }
    if (b < 0x20) {
      if (b != '\t' && b != '\n') return false;
      ++i;
      continue;
    }
    if (b >= 0xC2 && b <= 0xDF) {
      if (!continuation(i + 1)) return false;
      // Cyrillic comes in words: the rest of a run of two-byte sequences.
      i = Lumo::Base::PastTwoByteRun(s, i + 2, n);
      continue;
    }
    if (b < 0xE0 || b > 0xEF || !continuation(i + 1) || !continuation(i + 2)) return false;
    const unsigned c1 = s[i + 1];
    if (b == 0xE0 && c1 < 0xA0) return false;                       // longer than needed
    if (b == 0xEF && c1 == 0xBF && s[i + 2] >= 0xBE) return false;  // U+FFFE, U+FFFF
    if (b == 0xED && c1 >= 0xA0) {
      // A high surrogate (ED A0..AF xx) followed by a low one (ED B0..BF xx).
      if (c1 >= 0xB0 || i + 5 >= n || s[i + 3] != 0xED || !continuation(i + 4) || s[i + 4] < 0xB0 ||
          !continuation(i + 5))
        return false;
      i += 6;
      continue;
    }
    i += 3;
  }
  return true;
}

// A name as the canonical text writes element and attribute names: ASCII name
// characters (anything beyond ASCII is taken as it comes, in well-formed UTF-8), at most
// one colon, not at either end.
enum NameByte : unsigned char { kNotInName, kNameStart, kNameMore, kColon, kBeyondAscii };
struct NameBytes {
  NameByte of[256];
  constexpr NameBytes() : of() {
    for (int c = 0; c < 256; ++c) {
      const bool start = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
      const bool more = (c >= '0' && c <= '9') || c == '.' || c == '-';
      of[c] = c >= 0x80  ? kBeyondAscii
              : start    ? kNameStart
              : more     ? kNameMore
              : c == ':' ? kColon
                         : kNotInName;
    }
  }
};
constexpr NameBytes kNameBytes;

bool PlainName(std::string_view name) noexcept {
  if (name.empty()) return false;
  size_t colons = 0;
  bool beyondAscii = false;
  for (size_t i = 0; i < name.size(); ++i) {
    switch (kNameBytes.of[static_cast<unsigned char>(name[i])]) {
      case kNameStart: break;
      case kNameMore:
        if (i == 0) return false;
        break;
      case kColon: ++colons; break;
      case kBeyondAscii: beyondAscii = true; break;
      case kNotInName: return false;
    }
  }
  if (beyondAscii && !PlainChars(name)) return false;
  return colons == 0 || (colons == 1 && name.front() != ':' && name.back() != ':');
}

std::string_view PrefixOf(std::string_view name) noexcept {
  size_t colon = name.find(':');
  return colon == std::string_view::npos ? std::string_view() : name.substr(0, colon);
}

bool IsAscii(std::string_view text) noexcept {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// Names the canonical text sorts with the declarations: the first five characters read
// "xmlns" in any case.
bool DeclarationGroup(std::string_view name) noexcept {
  if (name.size() < 5) return false;
  for (size_t i = 0; i < 5; ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != "xmlns"[i]) return false;
  }
  return true;
}

// The first c in text[from, to), or to.
size_t FindIn(std::string_view text, char c, size_t from, size_t to) noexcept {
  const void* hit = std::memchr(text.data() + from, c, to - from);
  return hit ? static_cast<size_t>(static_cast<const char*>(hit) - text.data()) : to;
}

bool PlainText(std::string_view run) noexcept {
  bool space = true;
  for (size_t i = 0; i < run.size(); ++i) {
    if (!space && run.size() - i >= 8) {
      const uint64_t w = Word(run.data() + i);
      if (!AnyEqual(w, '\r') && !AnyEqual(w, '>') && !AnyEqual(w, '&')) {
        i += 7;
        continue;
      }
    }
    const char c = run[i];
    if (c == '\r' || c == '>') return false;
    if (!IsSpace(c)) space = false;
    if (c == '&') {
      std::string_view rest = run.substr(i);
      if (rest.substr(0, 5) != "&amp;" && rest.substr(0, 4) != "&lt;" &&
          rest.substr(0, 4) != "&gt;")
        return false;
    }
  }
  return !space && PlainChars(run);
}

bool PlainValue(std::string_view value) noexcept {
  for (size_t i = 0; i < value.size(); ++i) {
    if (value.size() - i >= 8) {
      const uint64_t w = Word(value.data() + i);
      if (!AnyControl(w) && !AnyEqual(w, '<') && !AnyEqual(w, '&')) {
        i += 7;
        continue;
      }
    }
    const char c = value[i];
    if (c == '<' || c == '\t' || c == '\n' || c == '\r') return false;
    if (c == '&' && value.substr(i, 6) != "&quot;") return false;
  }
  return PlainChars(value);
}

}  // namespace

namespace {

// A prefix the fixed-prefix scheme gives ("ed", "sen", "dsig", "n" and digits), or "xml".
bool PrefixOfTheScheme(std::string_view prefix) noexcept {
  if (prefix == "xml" || prefix == "ed" || prefix == "sen" || prefix == "dsig") return true;
  if (prefix.size() < 2 || prefix[0] != 'n') return false;
  for (size_t i = 1; i < prefix.size(); ++i)
    if (prefix[i] < '0' || prefix[i] > '9') return false;
  return true;
}

// A number for each prefix the scheme gives an element ("ed", "sen", "dsig", "n1" to
// "n999"), for the wider shape's count of bindings in scope; -1 for any other.
constexpr int kSchemePrefixes = 3 + 999;
int SchemePrefixNumber(std::string_view prefix) noexcept {
  if (prefix == "ed") return 0;
  if (prefix == "sen") return 1;
  if (prefix == "dsig") return 2;
  if (prefix.size() < 2 || prefix.size() > 4 || prefix[0] != 'n' || prefix[1] == '0') return -1;
  int k = 0;
  for (size_t i = 1; i < prefix.size(); ++i) {
    if (prefix[i] < '0' || prefix[i] > '9') return -1;
    k = k * 10 + (prefix[i] - '0');
  }
  return 2 + k;
}

// One pass over a text: checks its shape and, when kWrite, writes its numbered form as it
// goes. Without kCheckChars the characters of names, values and text are taken as
// checked (the text is part of one that was). With kAnyDeclarations (a check alone) the
// shape is the wider one whose parse is still known from the text (IsPlainMarkupText).
template <bool kWrite, bool kCheckChars = true, bool kAnyDeclarations = false>
class NumberedReader {
  static_assert(!kWrite || !kAnyDeclarations, "the wider shape has no numbered form here");

 public:
  // out: where the numbered form is appended (kWrite), else null.
  NumberedReader(std::string_view text, ByteString* out)
      : text_(text), n_(text.size()), out_(out) {}

  bool Read() {
    while (i_ < n_) {
      if (rootClosed_) return false;  // nothing may follow the root
      bool read;
      if (text_[i_] != '<') {
        read = Text();
      } else if (i_ + 1 < n_ && text_[i_ + 1] == '/') {
        read = EndTag();
      } else if (text_.compare(i_, 9, "<![CDATA[") == 0) {
        read = Cdata();
      } else {
        read = StartTag();
      }
      if (!read) return false;
    }
    return rootClosed_ && !(prefixedAttribute_ && otherElementPrefix_);
  }

 private:
  struct Open {
    std::string_view name;
    std::string_view prefix;
    std::string_view uri;     // as the text writes it (the value of the declaration in scope)
    size_t declarations = 0;  // the wider shape: where its declarations begin in declared_
  };
  // What a start tag's attributes told: the URI of the element's own declaration.
  struct Declared {
    std::string_view uri;
    bool present = false;
  };

  template <class T>
  void Put(const T& piece) {
    if constexpr (kWrite) *out_ += piece;
  }

  void AppendName(std::string_view name, std::string_view prefix) {
    if (prefix.empty()) {
      Put(name);
    } else {
      Put("n1:");
      Put(name.substr(prefix.size() + 1));
    }
  }

  bool Text() {
    size_t end = text_.find('<', i_);
    if (stack_.empty() || end == std::string_view::npos ||
        (kCheckChars && !PlainText(text_.substr(i_, end - i_))))
      return false;
    Put(text_.substr(i_, end - i_));
    i_ = end;
    return true;
  }

  bool EndTag() {
    if (stack_.empty()) return false;
    const Open& open = stack_.back();
    size_t close = i_ + 2 + open.name.size();
    if (close >= n_ || text_.compare(i_ + 2, open.name.size(), open.name) != 0 ||
        text_[close] != '>')
      return false;
    Put("</");
    AppendName(open.name, open.prefix);
    Put('>');
    i_ = close + 1;
    if constexpr (kAnyDeclarations) {
      for (size_t k = open.declarations; k < declared_.size(); ++k) --bound_[declared_[k]];
      declared_.resize(open.declarations);
    }
    stack_.pop_back();
    rootClosed_ = stack_.empty();
    return true;
  }

  bool Cdata() {
    size_t end = text_.find("]]>", i_ + 9);
    if (stack_.empty() || end == std::string_view::npos) return false;
    std::string_view body = text_.substr(i_ + 9, end - i_ - 9);
    if (kCheckChars && (body.find('\r') != std::string_view::npos || !PlainChars(body)))
      return false;
    Put(text_.substr(i_, end + 3 - i_));
    i_ = end + 3;
    return true;
  }

  // The name, then ' name="value"' pairs, then '>'.
  bool StartTag() {
    size_t j = i_ + 1;
    while (j < n_ && text_[j] != ' ' && text_[j] != '>') ++j;
    if (j >= n_) return false;
    const std::string_view name = text_.substr(i_ + 1, j - i_ - 1);
    if ((kCheckChars && !PlainName(name)) ||
        stack_.size() >= static_cast<size_t>(Lumo::Dom::XmlLimits::kMaxDepth))
      return false;
    const std::string_view prefix = PrefixOf(name);
    Put('<');
    AppendName(name, prefix);
    if (prefix == "xml" || prefix == "xmlns") return false;
    if (!prefix.empty() && !otherElementPrefix_ && !PrefixOfTheScheme(prefix))
      otherElementPrefix_ = true;
    Declared declared;
    std::string_view previous;  // the last attribute name
    bool first = true;
    const size_t declarations = declared_.size();
    while (text_[j] == ' ') {
      if constexpr (kAnyDeclarations) {
        if (!AnyAttribute(j, declarations, previous)) return false;
      } else {
        if (!Attribute(j, prefix, first, declared, previous)) return false;
      }
      first = false;
    }
    if constexpr (kAnyDeclarations) {
      if (text_[j] != '>' || !PushBound(name, prefix, declarations)) return false;
      i_ = j + 1;
      return true;
    }
    if (text_[j] != '>' || !Push(name, prefix, declared)) return false;
    Put('>');
    i_ = j + 1;
    return true;
  }

  // The name and value of the attribute whose leading space is at j, and where its closing
  // quote stands; false when the text there is not ' name="value"' with something after it.
  bool SplitAttribute(size_t j, std::string_view& attribute, std::string_view& value,
                      size_t& quote) const {
    const size_t eq = text_.find('=', j + 1);
    if (eq == std::string_view::npos || eq + 1 >= n_ || text_[eq + 1] != '"') return false;
    attribute = text_.substr(j + 1, eq - j - 1);
    quote = text_.find('"', eq + 2);
    if (quote == std::string_view::npos || quote + 1 >= n_) return false;
    value = text_.substr(eq + 2, quote - eq - 2);
    return !kCheckChars || (PlainName(attribute) && PlainValue(value));
  }

  // The attribute at j (its leading space), j moved past it.
  bool Attribute(size_t& j, std::string_view prefix, bool first, Declared& declared,
                 std::string_view& previous) {
    std::string_view attribute, value;
    size_t quote = 0;
    if (!SplitAttribute(j, attribute, value, quote)) return false;
    if (DeclarationGroup(attribute)) {
      // Only the element's own prefix, declared first, bound to an ASCII URI (the
      // numbered scheme takes URIs through the ANSI code page).
      if (!first || prefix.empty() || attribute.size() != 6 + prefix.size() ||
          attribute.compare(0, 6, "xmlns:") != 0 || attribute.substr(6) != prefix ||
          value.empty() || !IsAscii(value) || value == "http://www.w3.org/XML/1998/namespace" ||
          value == "http://www.w3.org/2000/xmlns/")
        return false;
      declared.uri = value;
      declared.present = true;
      Put(" xmlns:n1=\"");
    } else {
      // ASCII, in the order the canonical text sorts them; unprefixed, or with a prefix
      // none of the scheme's, which stays unbound where every element's prefix is the
      // scheme's (Read checks that at the end): the numbered form keeps it as it is.
      if (!IsAscii(attribute) || (!previous.empty() && previous.compare(attribute) >= 0))
        return false;
      const std::string_view attributePrefix = PrefixOf(attribute);
      if (!attributePrefix.empty()) {
        if (attributePrefix == "xmlns" || PrefixOfTheScheme(attributePrefix) ||
            attribute.find(':', attributePrefix.size() + 1) != std::string_view::npos)
          return false;
        prefixedAttribute_ = true;
      }
      previous = attribute;
      Put(' ');
      Put(attribute);
      Put("=\"");
    }
    Put(value);
    Put('"');
    j = quote + 1;
    return true;
  }

  // The wider shape's attribute at j: declarations first, in name order, of prefixes the
  // scheme gives an element (so that no other prefix is ever bound), then the other attributes in
  // name order, whose prefixes, if any, are not the scheme's (so that each stays unbound
  // and no two attributes clash once parsed).
  bool AnyAttribute(size_t& j, size_t declarations, std::string_view& previous) {
    std::string_view attribute, value;
    size_t quote = 0;
    if (!SplitAttribute(j, attribute, value, quote)) return false;
    if (!IsAscii(attribute)) return false;
    const bool declaration = DeclarationGroup(attribute);
    // Each group in name order, the declarations first.
    if (!previous.empty()) {
      const bool afterDeclaration = DeclarationGroup(previous);
      if (declaration && !afterDeclaration) return false;
      if (declaration == afterDeclaration && previous.compare(attribute) >= 0) return false;
    }
    const std::string_view prefix = PrefixOf(attribute);
    if (declaration) {
      const int number =
          attribute.compare(0, 6, "xmlns:") == 0 ? SchemePrefixNumber(attribute.substr(6)) : -1;
      if (number < 0 || value.empty() || value == "http://www.w3.org/XML/1998/namespace" ||
          value == "http://www.w3.org/2000/xmlns/")
        return false;
      declared_.push_back(static_cast<uint16_t>(number));
      ++bound_[static_cast<size_t>(number)];
    } else if (!prefix.empty() && (prefix == "xmlns" || PrefixOfTheScheme(prefix))) {
      return false;
    }
    previous = attribute;
    j = quote + 1;
    return true;
  }

  // The wider shape: an element's prefix is one of the scheme's, declared on the element
  // or on one of its ancestors.
  bool PushBound(std::string_view name, std::string_view prefix, size_t declarations) {
    if (!prefix.empty()) {
      const int number = SchemePrefixNumber(prefix);
      if (number < 0 || bound_[static_cast<size_t>(number)] == 0) return false;
    }
    stack_.push_back({name, prefix, {}, declarations});
    return true;
  }

  // Both schemes drop a declaration that the parent makes with the same name and value:
  // here, wherever the parent stands in the same namespace. An element without one must
  // therefore take its parent's prefix, and one with it must differ from the parent.
  bool Push(std::string_view name, std::string_view prefix, const Declared& declared) {
    std::string_view uri;
    if (declared.present) {
      if (!stack_.empty() && stack_.back().uri == declared.uri) return false;
      uri = declared.uri;
    } else if (!prefix.empty()) {
      if (stack_.empty() || stack_.back().prefix != prefix) return false;
      uri = stack_.back().uri;
    }
    stack_.push_back({name, prefix, uri});
    return true;
  }

  const std::string_view text_;
  const size_t n_;
  size_t i_ = 0;
  bool rootClosed_ = false;
  std::vector<Open> stack_;
  ByteString* const out_;
  bool prefixedAttribute_ = false;   // an attribute with a prefix (none of the scheme's)
  bool otherElementPrefix_ = false;  // an element with a prefix the scheme does not give
  // The wider shape: the prefixes the open elements declare (by SchemePrefixNumber), an
  // element's from its Open's declarations on, and how many of them bind each prefix.
  std::vector<uint16_t> declared_;
  std::vector<uint32_t> bound_ = std::vector<uint32_t>(kAnyDeclarations ? kSchemePrefixes : 0);
};

// Pieces are handed on once they reach this size.
constexpr size_t kPiece = 256 * 1024;

// The xml of the tree a settled text parses into, written from the text in pieces into
// out, which is handed to consume whenever it is full. With replaceChild, each child
// element of the root is not written but handed over as its own settled text.
//
// The writer only reads forward from i_, but for the root's start tag (rootUri_ points
// into it): with readOnce, what lies between that tag and i_ is said read at each piece.
class MarkupWriter {
 public:
  MarkupWriter(std::string_view text, ByteString& out, const Sink& consume,
               Lumo::Base::ReadOnceText* readOnce = nullptr)
      : text_(text), out_(out), consume_(consume), readOnce_(readOnce) {}

  void Write(const Sink& insertFirst, const ChildSink& replaceChild) {
    const size_t n = text_.size();
    while (i_ < n) {
      if (text_[i_] != '<') {
        Text();
        continue;
      }
      if (text_[i_ + 1] == '/') {
        size_t close = text_.find('>', i_);
        out_.append(text_, i_, close + 1 - i_);
        i_ = close + 1;
        --depth_;
      } else if (text_.compare(i_, 9, "<![CDATA[") == 0) {
        size_t end = text_.find("]]>", i_ + 9) + 3;
        out_.append(text_, i_, end - i_);
        i_ = end;
      } else if (depth_ == 1 && replaceChild) {
        Child(replaceChild);
      } else {
        StartTag(depth_ == 0 && insertFirst ? &insertFirst : nullptr);
      }
      FlushIfFull();
    }
  }

 private:
  void FlushIfFull() {
    if (out_.size() < kPiece) return;
    consume_(out_);
    SayRead();
  }

  void SayRead() {
    if (readOnce_ && rootTagEnd_ <= i_) readOnce_->ReadUpTo(rootTagEnd_, i_);
  }

  // Text, LF written as CR LF; a long run goes out in pieces cut before a lead byte.
  void Text() {
    size_t end = text_.find('<', i_);
    while (i_ < end) {
      size_t stop = end - i_ > kPiece ? i_ + kPiece : end;
      while (stop < end && (static_cast<unsigned char>(text_[stop]) & 0xC0) == 0x80) ++stop;
      while (i_ < stop) {
        size_t lf = FindIn(text_, '\n', i_, stop);
        if (lf == stop) {
          out_.append(text_, i_, stop - i_);
          i_ = stop;
          break;
        }
        out_.append(text_, i_, lf - i_);
        out_ += "\r\n";
        i_ = lf + 1;
      }
      FlushIfFull();
    }
  }

  // The start tag's name ends at j; its attributes are ' name="value"' pairs, and a
  // value holds no '"' (the text writes it as "&quot;").
  size_t NameEnd(size_t at) const {
    size_t j = at + 1;
    while (text_[j] != ' ' && text_[j] != '>') ++j;
    return j;
  }
  size_t TagEnd(size_t j) const {
    while (text_[j] == ' ') j = text_.find('"', text_.find('=', j) + 2) + 1;
    return j;  // at '>'
  }

  // Values with '>' as "&gt;"; nothing before the end tag: one empty-element tag.
  void StartTag(const Sink* insertFirst) {
    size_t j = NameEnd(i_);
    const std::string_view name = text_.substr(i_ + 1, j - i_ - 1);
    out_ += '<';
    out_ += name;
    while (text_[j] == ' ') {
      size_t eq = text_.find('=', j);
      size_t quote = text_.find('"', eq + 2);
      out_.append(text_, j, eq + 2 - j);  // ' name="'
      for (size_t k = eq + 2; k < quote;) {
        size_t stop = FindIn(text_, '>', k, quote);
        out_.append(text_, k, stop - k);
        if (stop == quote) break;
        out_ += "&gt;";
        k = stop + 1;
      }
      out_ += '"';
      j = quote + 1;
    }
    i_ = j + 1;  // past '>'
    if (depth_ == 0) rootTagEnd_ = i_;
    if (insertFirst) {
      ++depth_;
      out_ += '>';
      (*insertFirst)(out_);
    } else if (text_.compare(i_, 2, "</") == 0) {
      out_ += "/>";
      i_ += 2 + name.size() + 1;  // the end tag, written as part of the empty tag
    } else {
      ++depth_;
      out_ += '>';
    }
  }

  // A child element of the root, from its start tag to its end tag, as the root of a
  // document of its own: the xml of the root's child declares the prefix that its name
  // relies on where the root declared it (a child without a declaration of its own has
  // the root's prefix), so the child's text declares it the same way, first.
  void Child(const ChildSink& replaceChild) {
    const size_t nameEnd = NameEnd(i_);
    const std::string_view name = text_.substr(i_ + 1, nameEnd - i_ - 1);
    const size_t end = ElementEnd(i_);
    const std::string_view prefix = PrefixOf(name);
    child_.assign(text_, i_, nameEnd - i_);
    if (!prefix.empty() && !DeclaresOwnPrefix(nameEnd, prefix)) {
      child_ += " xmlns:";
      child_ += prefix;
      child_ += "=\"";
      child_ += rootUri_;
      child_ += '"';
    }
    child_.append(text_, nameEnd, end - nameEnd);
    replaceChild(child_, out_);
    i_ = end;
    SayRead();  // replaceChild hands the pieces on
  }

  bool DeclaresOwnPrefix(size_t nameEnd, std::string_view prefix) const {
    return text_.compare(nameEnd, 7, " xmlns:") == 0 &&
           text_.compare(nameEnd + 7, prefix.size(), prefix) == 0 &&
           text_.compare(nameEnd + 7 + prefix.size(), 2, "=\"") == 0;
  }

  // Just past the end tag of the element whose start tag is at `at`.
  size_t ElementEnd(size_t at) const {
    size_t depth = 0;
    for (size_t k = at;; k = text_.find('<', k)) {
      if (text_[k + 1] == '/') {
        k = text_.find('>', k) + 1;
        if (--depth == 0) return k;
      } else if (text_.compare(k, 9, "<![CDATA[") == 0) {
        k = text_.find("]]>", k + 9) + 3;
      } else {
        k = TagEnd(NameEnd(k)) + 1;
        ++depth;
      }
    }
  }

 public:
  // The URI the root declares for its own prefix, as the text writes it (empty: none).
  void ReadRootDeclaration() {
    const size_t start = text_.find('<');
    const size_t nameEnd = NameEnd(start);
    const std::string_view prefix = PrefixOf(text_.substr(start + 1, nameEnd - start - 1));
    if (prefix.empty() || !DeclaresOwnPrefix(nameEnd, prefix)) return;
    const size_t value = nameEnd + 7 + prefix.size() + 2;
    rootUri_ = text_.substr(value, text_.find('"', value) - value);
  }

 private:
  const std::string_view text_;
  ByteString& out_;
  const Sink& consume_;
  Lumo::Base::ReadOnceText* const readOnce_;
  size_t i_ = 0;
  size_t depth_ = 0;
  size_t rootTagEnd_ = std::string_view::npos;
  std::string_view rootUri_;
  ByteString child_;
};

}  // namespace

bool IsSettledText(std::string_view text) { return NumberedReader<false>(text, nullptr).Read(); }

bool IsPlainMarkupText(std::string_view text) {
  return NumberedReader<false, true, true>(text, nullptr).Read();
}

bool NumberedFromSettledText(std::string_view text, ByteString& numbered) {
  ByteString out;
  out.reserve(text.size() + text.size() / 8);
  if (!NumberedReader<true>(text, &out).Read()) return false;
  numbered = std::move(out);
  return true;
}

bool NumberedFromWalkedText(std::string_view text, ByteString& numbered) {
  ByteString out;
  out.reserve(text.size() + text.size() / 8);
  if (!NumberedReader<true, false>(text, &out).Read()) return false;
  numbered = std::move(out);
  return true;
}

bool NumberedFromSettledPart(std::string_view text, ByteString& numbered) {
  numbered.clear();  // its room serves again
  if (NumberedReader<true, false>(text, &numbered).Read()) return true;
  numbered.clear();
  return false;
}

void WriteParsedMarkup(std::string_view text, const Sink& insertFirst, ByteString& out,
                       const Sink& consume) {
  MarkupWriter(text, out, consume).Write(insertFirst, nullptr);
}

void WriteParsedMarkup(std::string_view text, const Sink& insertFirst, const Sink& consume,
                       Lumo::Base::ReadOnceText* readOnce) {
  ByteString out;
  out.reserve(kPiece + kPiece / 4);
  MarkupWriter(text, out, consume, readOnce).Write(insertFirst, nullptr);
  if (!out.empty()) consume(out);
}

void WriteParsedMarkupReplacingChildren(std::string_view text, const ChildSink& replaceChild,
                                        const Sink& consume, Lumo::Base::ReadOnceText* readOnce) {
  ByteString out;
  out.reserve(kPiece + kPiece / 4);
  MarkupWriter writer(text, out, consume, readOnce);
  writer.ReadRootDeclaration();
  writer.Write(nullptr, replaceChild);
  if (!out.empty()) consume(out);
}

}  // namespace Lumo::Canon
