// The reader's tree of a signed element against the tree of its signed bytes.
#include "sign/signed_tree.h"

#include <algorithm>
#include <cassert>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "base/encoding.h"
#include "dom/xml_chars.h"

namespace Lumo::Sign {

using Lumo::Base::WideString;
using Lumo::Base::WideView;
using Lumo::Dom::NodeType;
using Lumo::Dom::NodeView;

namespace {

constexpr char16_t kKeyEnd = 0x01;
constexpr char16_t kValueEnd = 0x02;
constexpr WideView kXmlNamespace = u"http://www.w3.org/XML/1998/namespace";

bool IsDeclaration(WideView name) { return name == u"xmlns" || name.starts_with(u"xmlns:"); }

WideView PrefixOf(WideView qname) {
  const size_t colon = qname.find(u':');
  return colon == WideView::npos ? WideView() : qname.substr(0, colon);
}

// A namespace name is written as its number in the record (see ReaderTree::UriCode).
template <class UriCode>
void AppendKey(WideString& out, WideView qname, WideView uri, const UriCode& code) {
  const size_t colon = qname.find(u':');
  if (colon != WideView::npos && qname.substr(0, colon) == u"xml") uri = kXmlNamespace;
  if (!uri.empty()) {
    out += u'{';
    code(out, uri);
    out += u'}';
    out += colon == WideView::npos ? qname : qname.substr(colon + 1);
  } else {
    if (colon != WideView::npos) out += u'?';
    out += qname;
  }
}

// Attribute pieces appended from `first` on are put in order, so that both sides list an
// element's attributes alike whatever order the markup gave them.
struct Piece {
  size_t begin, end;
  size_t nameAt, nameSize;  // the qualified name, in a pool of the caller's
};
void SortPieces(WideString& data, size_t first, std::vector<Piece>& pieces) {
  if (pieces.size() < 2) return;
  auto inPlace = [&](const Piece& p) { return WideView(data).substr(p.begin, p.end - p.begin); };
  if (std::is_sorted(pieces.begin(), pieces.end(),
                     [&](const Piece& a, const Piece& b) { return inPlace(a) < inPlace(b); }))
    return;
  const WideString unsorted = data.substr(first);
  auto view = [&](const Piece& p) {
    return WideView(unsorted).substr(p.begin - first, p.end - p.begin);
  };
  std::sort(pieces.begin(), pieces.end(),
            [&](const Piece& a, const Piece& b) { return view(a) < view(b); });
  WideString sorted;
  sorted.reserve(unsorted.size());
  for (Piece& p : pieces) {
    const size_t length = p.end - p.begin;
    sorted += view(p);
    p.begin = first + sorted.size() - length;
    p.end = first + sorted.size();
  }
  data.replace(first, WideString::npos, sorted);
}

void AppendNumber(WideString& out, uint32_t n) {
  char16_t digits[10];
  size_t at = sizeof digits / sizeof digits[0];
  do {
    digits[--at] = static_cast<char16_t>(u'0' + n % 10);
    n /= 10;
  } while (n != 0);
  out.append(digits + at, sizeof digits / sizeof digits[0] - at);
}

// UTF-8 as this library encodes it (one UTF-16 unit at a time), appended as UTF-16.
void DecodeAppend(std::string_view utf8, WideString& out) {
  size_t ascii = 0;
  while (ascii < utf8.size() && static_cast<unsigned char>(utf8[ascii]) < 0x80) ++ascii;
  out.append(utf8.begin(), utf8.begin() + static_cast<std::ptrdiff_t>(ascii));
  if (ascii < utf8.size()) out += Lumo::Base::Utf8Decode(utf8.substr(ascii));
}

// An attribute value of the canonical text: only '"' is escaped.
void AppendValue(std::string_view raw, WideString& out) {
  for (size_t q = raw.find("&quot;"); q != std::string_view::npos; q = raw.find("&quot;")) {
    DecodeAppend(raw.substr(0, q), out);
    out += u'"';
    raw.remove_prefix(q + 6);
  }
  DecodeAppend(raw, out);
}

void AppendText(WideString& data, WideView run) {
  if (run.empty() || Lumo::Dom::IsWhiteSpaceOnly(run)) return;
  data += u'"';
  data += run;
  data += kValueEnd;
}

}  // namespace

void ReaderTree::Note(std::string what, uint32_t item, WideView attribute) {
  if (found_) return;
  found_ = UnsignedContent{std::move(what), item, WideString(attribute)};
}

void ReaderTree::Record(const Lumo::Dom::Node& element, const Lumo::Dom::Node& skip,
                        uint32_t firstItem, bool startTagOnly) {
  const NodeView top(element), skipped(skip);
  uint32_t item = firstItem;
  WideString run;  // the text since the last element boundary
  std::vector<Piece> pieces;
  std::vector<uint32_t> open;                            // items of the elements open
  std::vector<std::pair<uint32_t, uint32_t>> openNames;  // where their names are in names_
  // The tree keeps one copy of each namespace name: the last one's number is at hand.
  const char16_t* lastUri = nullptr;
  uint32_t lastNumber = 0;
  auto code = [&](WideString& out, WideView uri) {
    if (uri.data() == lastUri) return AppendNumber(out, lastNumber);
    auto& numbers = uris_->numbers;
    auto found = numbers.find(uri);
    if (found == numbers.end()) {
      uris_->text.emplace_back(uri);
      found = numbers.emplace(WideView(uris_->text.back()), static_cast<uint32_t>(numbers.size()))
                  .first;
    }
    lastUri = uri.data();
    lastNumber = found->second;
    AppendNumber(out, found->second);
  };
  auto name = [this](WideView qname) {
    const auto at = static_cast<uint32_t>(names_.size());
    names_ += qname;
    return std::make_pair(at, static_cast<uint32_t>(qname.size()));
  };
  auto flushText = [&] {
    if (!run.empty() && !Lumo::Dom::IsWhiteSpaceOnly(run))
      entries_.push_back({static_cast<uint32_t>(data_.size()), open.back(), 0, 0, Kind::Text});
    AppendText(data_, run);
    run.clear();
  };
  auto startElement = [&](NodeView e) {
    const auto [nameAt, nameSize] = name(e.nameView());
    entries_.push_back(
        {static_cast<uint32_t>(data_.size()), item, nameAt, nameSize, Kind::Element});
    openNames.emplace_back(nameAt, nameSize);
    data_ += u'<';
    AppendKey(data_, e.nameView(), e.namespaceView(), code);
    data_ += kKeyEnd;
    const size_t first = data_.size();
    pieces.clear();
    for (NodeView a = e.firstAttribute(); a; a = a.nextAttribute()) {
      if (IsDeclaration(a.nameView())) continue;
      const size_t begin = data_.size();
      data_ += u'@';
      AppendKey(data_, a.nameView(), a.namespaceView(), code);
      data_ += kKeyEnd;
      data_ += a.valueView();
      data_ += kValueEnd;
      const auto [at, size] = name(a.nameView());
      pieces.push_back({begin, data_.size(), at, size});
    }
    SortPieces(data_, first, pieces);
    for (const Piece& p : pieces)
      entries_.push_back({static_cast<uint32_t>(p.begin), item, static_cast<uint32_t>(p.nameAt),
                          static_cast<uint32_t>(p.nameSize), Kind::Attribute});
    open.push_back(item++);
  };
  // The signature value element: text only, no attribute but declarations.
  auto checkSkipped = [&](NodeView value) {
    const uint32_t at = item++;
    for (NodeView a = value.firstAttribute(); a; a = a.nextAttribute())
      if (!IsDeclaration(a.nameView()))
        Note("attribute " + Lumo::Base::Utf8FromWide(a.nameView()) + " on dsig:SigValue", at,
             a.nameView());
    for (NodeView c = value.firstChild(); c; c = c.nextSibling())
      if (!c.isText()) {
        Note("content inside dsig:SigValue", item);
        break;
      }
    // Items inside it still count, as the source shows them.
    std::vector<NodeView> stack;
    for (NodeView c = value.firstChild(); c; c = c.nextSibling()) stack.push_back(c);
    std::reverse(stack.begin(), stack.end());
    while (!stack.empty()) {
      NodeView n = stack.back();
      stack.pop_back();
      const NodeType t = n.nodeType();
      if (t == Lumo::Dom::NODE_ELEMENT || t == Lumo::Dom::NODE_COMMENT ||
          t == Lumo::Dom::NODE_PROCESSING_INSTRUCTION)
        ++item;
      std::vector<NodeView> children;
      for (NodeView c = n.firstChild(); c; c = c.nextSibling()) children.push_back(c);
      stack.insert(stack.end(), children.rbegin(), children.rend());
    }
  };

  startElement(top);
  if (startTagOnly) {
    nextItem_ = item;
    return;
  }
  NodeView node = top.firstChild();
  NodeView parent = top;
  while (true) {
    if (!node) {
      // The end of parent's content.
      flushText();
      entries_.push_back({static_cast<uint32_t>(data_.size()), open.back(), openNames.back().first,
                          openNames.back().second, Kind::End});
      data_ += u'>';
      open.pop_back();
      openNames.pop_back();
      if (parent == top) break;
      node = parent.nextSibling();
      parent = parent.parentNode();
      continue;
    }
    switch (node.nodeType()) {
      case Lumo::Dom::NODE_TEXT:
      case Lumo::Dom::NODE_CDATA_SECTION: run += node.valueView(); break;
      case Lumo::Dom::NODE_ELEMENT:
        if (node == skipped) {
          checkSkipped(node);
          break;
        }
        flushText();
        startElement(node);
        parent = node;
        node = node.firstChild();
        continue;
      case Lumo::Dom::NODE_COMMENT: Note("comment", item++); break;
      case Lumo::Dom::NODE_PROCESSING_INSTRUCTION: Note("processing instruction", item++); break;
      default: Note("entity reference", open.back()); break;
    }
    node = node.nextSibling();
  }
  nextItem_ = item;
}

// --- the signed bytes read as a tree --------------------------------------------------

// The canonical text as the canonicalizer writes it: start tags `<name attr="value">`
// (values escape only '"'), end tags, text escaping & < >, CDATA sections. Anything else
// is not a text this library signs, and no reader's tree equals it.
class SignedReader {
 public:
  using Uris = std::unordered_map<WideView, uint32_t>;
  SignedReader(std::string_view text, const Uris& uris) : t_(text), uris_(uris) {}

  // The same text, grown (and perhaps moved) since: reading goes on where it stood.
  void Reseat(std::string_view text) {
    assert(text.size() >= i_);
    t_ = text;
  }

  // The next piece in the record's form, with the qualified names of its element and
  // attributes at their offsets within it; false at the end, or for a text that is not a
  // canonical text (unreadable_ set).
  bool Next(WideString& piece, std::vector<std::pair<size_t, std::string_view>>& names) {
    piece.clear();
    names.clear();
    while (i_ < t_.size()) {
      if (t_[i_] != '<') {
        if (!ReadText()) return Unreadable();
        continue;
      }
      if (t_.compare(i_, 9, "<![CDATA[") == 0) {
        const size_t end = t_.find("]]>", i_ + 9);
        if (end == std::string_view::npos) return Unreadable();
        DecodeAppend(t_.substr(i_ + 9, end - i_ - 9), run_);
        i_ = end + 3;
        continue;
      }
      // A tag: the text before it is a piece of its own.
      if (!run_.empty()) {
        AppendText(piece, run_);
        run_.clear();
        if (!piece.empty()) return true;
      }
      if (t_.compare(i_, 2, "</") == 0) {
        const size_t end = t_.find('>', i_);
        if (end == std::string_view::npos || depth_.empty()) return Unreadable();
        i_ = end + 1;
        Leave();
        piece = u">";
        return true;
      }
      return StartTag(piece, names);
    }
    if (!run_.empty() || !depth_.empty()) return Unreadable();
    return false;
  }
  bool unreadable() const { return unreadable_; }

 private:
  bool Unreadable() {
    unreadable_ = true;
    return false;
  }

  bool ReadText() {
    const size_t end = std::min(t_.find('<', i_), t_.size());
    std::string_view raw = t_.substr(i_, end - i_);
    for (size_t amp = raw.find('&'); amp != std::string_view::npos; amp = raw.find('&')) {
      DecodeAppend(raw.substr(0, amp), run_);
      raw.remove_prefix(amp);
      if (raw.starts_with("&amp;")) {
        run_ += u'&', raw.remove_prefix(5);
      } else if (raw.starts_with("&lt;")) {
        run_ += u'<', raw.remove_prefix(4);
      } else if (raw.starts_with("&gt;")) {
        run_ += u'>', raw.remove_prefix(4);
      } else {
        return false;
      }
    }
    DecodeAppend(raw, run_);
    i_ = end;
    return true;
  }

  WideView Resolve(WideView prefix) const {
    if (prefix == u"xml") return kXmlNamespace;
    auto found = bindings_.find(WideString(prefix));
    return found == bindings_.end() || found->second.empty() ? WideView()
                                                             : WideView(found->second.back());
  }

  // A binding's text may take the place of one let go: the number at hand is forgotten.
  void Bind(const WideString& prefix, WideString uri) {
    lastUri_ = nullptr;
    bindings_[prefix].push_back(std::move(uri));
    declared_.push_back(prefix);
  }

  void Leave() {
    if (depth_.back() > 0) lastUri_ = nullptr;
    for (size_t n = depth_.back(); n > 0; --n) {
      bindings_[declared_.back()].pop_back();
      declared_.pop_back();
    }
    depth_.pop_back();
  }

  bool StartTag(WideString& piece, std::vector<std::pair<size_t, std::string_view>>& names) {
    size_t k = i_ + 1;
    const size_t nameEnd = t_.find_first_of(" />", k);
    if (nameEnd == std::string_view::npos || nameEnd == k) return Unreadable();
    const std::string_view name = t_.substr(k, nameEnd - k);
    k = nameEnd;
    attributes_.clear();
    const size_t declaredBefore = declared_.size();
    while (t_[k] == ' ') {
      const size_t eq = t_.find("=\"", k);
      if (eq == std::string_view::npos) return Unreadable();
      const size_t close = t_.find('"', eq + 2);
      if (close == std::string_view::npos) return Unreadable();
      const std::string_view attribute = t_.substr(k + 1, eq - k - 1);
      const std::string_view raw = t_.substr(eq + 2, close - eq - 2);
      if (attribute == "xmlns" || attribute.starts_with("xmlns:")) {
        WideString prefix, uri;
        DecodeAppend(attribute.substr(attribute.size() > 5 ? 6 : 5), prefix);
        AppendValue(raw, uri);
        Bind(prefix, std::move(uri));
      } else {
        attributes_.emplace_back(attribute, raw);
      }
      k = close + 1;
      if (k >= t_.size()) return Unreadable();
    }
    const bool empty = t_.compare(k, 2, "/>") == 0;
    if (!empty && t_[k] != '>') return Unreadable();
    i_ = k + (empty ? 2 : 1);
    depth_.push_back(declared_.size() - declaredBefore);

    // A namespace name the record does not have can equal none of its keys.
    auto code = [this](WideString& out, WideView uri) {
      if (uri.data() == lastUri_ && uri.size() == lastUriSize_)
        return AppendNumber(out, lastNumber_);
      auto found = uris_.find(uri);
      if (found != uris_.end()) {
        // A binding's text stays where it is while it is in scope.
        lastUri_ = uri.data(), lastUriSize_ = uri.size(), lastNumber_ = found->second;
        AppendNumber(out, found->second);
      } else {
        out += u'!';
        out += uri;
      }
    };
    names.emplace_back(0, name);
    piece += u'<';
    scratch_.clear();
    DecodeAppend(name, scratch_);
    AppendKey(piece, scratch_, Resolve(PrefixOf(scratch_)), code);
    piece += kKeyEnd;
    const size_t first = piece.size();
    pieces_.clear();
    for (size_t a = 0; a < attributes_.size(); ++a) {
      const auto& [attribute, raw] = attributes_[a];
      const size_t begin = piece.size();
      piece += u'@';
      scratch_.clear();
      DecodeAppend(attribute, scratch_);
      const WideView prefix = PrefixOf(scratch_);
      AppendKey(piece, scratch_, prefix.empty() ? WideView() : Resolve(prefix), code);
      piece += kKeyEnd;
      AppendValue(raw, piece);
      piece += kValueEnd;
      pieces_.push_back({begin, piece.size(), a, 0});
    }
    SortPieces(piece, first, pieces_);
    for (const Piece& p : pieces_) names.emplace_back(p.begin, attributes_[p.nameAt].first);
    if (empty) {
      Leave();
      piece += u'>';
    }
    return true;
  }

  std::string_view t_;
  const Uris& uris_;
  std::vector<std::pair<std::string_view, std::string_view>> attributes_;  // name, raw value
  std::vector<Piece> pieces_;
  WideString scratch_;
  const char16_t* lastUri_ = nullptr;
  size_t lastUriSize_ = 0;
  uint32_t lastNumber_ = 0;
  size_t i_ = 0;
  WideString run_;
  std::unordered_map<WideString, std::vector<WideString>> bindings_;
  std::vector<WideString> declared_;  // prefixes, in the order declared
  std::vector<size_t> depth_;         // per open element: how many it declared
  bool unreadable_ = false;
};

UnsignedContent ReaderTree::Describe(size_t offset, std::string_view signedName) const {
  auto after = std::upper_bound(entries_.begin(), entries_.end(), offset,
                                [](size_t o, const Entry& e) { return o < e.offset; });
  if (after == entries_.begin()) return UnsignedContent{"content", 0, {}};
  const Entry& e = *(after - 1);
  const std::string name = Lumo::Base::Utf8FromWide(NameOf(e));
  const bool sameName = !signedName.empty() && signedName == name;
  switch (e.kind) {
    case Kind::Element:
      return {sameName ? "namespace of element " + name + " differs from the signed one"
                       : "element " + name,
              e.item,
              {}};
    case Kind::Attribute:
      return {sameName ? "namespace binding of attribute " + name + " differs from the signed one"
                       : "attribute " + name,
              e.item, WideString(NameOf(e))};
    case Kind::Text: return {"text", e.item, {}};
    case Kind::End: break;
  }
  return {"content of element " + name + " differs from the signed content", e.item, {}};
}

std::optional<UnsignedContent> ReaderTree::DescribeAttributes(
    size_t at, WideView piece,
    const std::vector<std::pair<size_t, std::string_view>>& names) const {
  // The element recorded at `at` and its attributes, each with its text in the record.
  auto first = std::lower_bound(entries_.begin(), entries_.end(), at,
                                [](const Entry& e, size_t o) { return e.offset < o; });
  if (first == entries_.end() || first->offset != at || first->kind != Kind::Element)
    return std::nullopt;
  auto segment = [&](auto entry) {
    auto next = entry + 1;
    size_t end = next == entries_.end() ? data_.size() : next->offset;
    if (next != entries_.end() && next->kind != Kind::Attribute) {
      // The last attribute ends at its value's end mark.
      end = data_.find(kValueEnd, entry->offset) + 1;
    }
    return WideView(data_).substr(entry->offset, end - entry->offset);
  };
  auto signedSegment = [&](size_t k) {
    const size_t end = k + 1 < names.size() ? names[k + 1].first : piece.size();
    return piece.substr(names[k].first, end - names[k].first);
  };
  // Looked up by their text and by their names: hostile elements have many attributes.
  std::unordered_set<WideView> signedSegments;
  std::unordered_set<std::string_view> signedNames;
  for (size_t k = 1; k < names.size(); ++k) {
    signedSegments.insert(signedSegment(k));
    signedNames.insert(names[k].second);
  }
  for (auto e = first + 1; e != entries_.end() && e->kind == Kind::Attribute; ++e) {
    if (signedSegments.count(segment(e))) continue;
    const WideView qname = NameOf(*e);
    const std::string name = Lumo::Base::Utf8FromWide(qname);
    if (signedNames.count(name))
      return UnsignedContent{
          "namespace binding of attribute " + name + " differs from the signed one", e->item,
          WideString(qname)};
    return UnsignedContent{"attribute " + name, e->item, WideString(qname)};
  }
  return std::nullopt;
}

std::optional<UnsignedContent> ReaderTree::CompareWithSigned(std::string_view signedBytes) const {
  SignedReader reader(signedBytes, uris_->numbers);
  WideString piece;
  std::vector<std::pair<size_t, std::string_view>> names;
  size_t at = 0;
  while (reader.Next(piece, names)) {
    const size_t same =
        data_.compare(at, piece.size(), piece) == 0
            ? piece.size()
            : static_cast<size_t>(
                  std::mismatch(piece.begin(), piece.end(), data_.begin() + at,
                                data_.begin() + std::min(data_.size(), at + piece.size()))
                      .first -
                  piece.begin());
    if (same < piece.size() || at + piece.size() > data_.size()) {
      if (piece[0] == u'<') {
        if (std::optional<UnsignedContent> d = DescribeAttributes(at, piece, names)) return d;
      }
      // The signed name standing where the difference is, for telling a changed binding.
      std::string signedName;
      for (const auto& [offset, name] : names)
        if (offset <= same) signedName = std::string(name);
      return Describe(at + same, signedName);
    }
    at += piece.size();
  }
  if (reader.unreadable()) return UnsignedContent{"signed data this check cannot read", 0, {}};
  if (at != data_.size()) return Describe(at, {});
  return std::nullopt;
}

// --- compared while both are made -----------------------------------------------------

void ReaderTree::Restart() {
  data_.clear();
  entries_.clear();
  names_.clear();
  found_.reset();
}

StreamedMatch::StreamedMatch() = default;
StreamedMatch::~StreamedMatch() = default;

bool StreamedMatch::Start(const Lumo::Dom::Node& element, std::string_view text) {
  reader_ = std::make_unique<SignedReader>(text, tree_.uris_->numbers);
  tree_.Restart();
  tree_.Record(element, Lumo::Dom::Node(), 0, true);
  return Consume(text);
}

bool StreamedMatch::Child(const Lumo::Dom::Node& child, std::string_view text) {
  assert(reader_);
  tree_.Restart();
  tree_.Record(child, Lumo::Dom::Node(), 0);
  return !tree_.Found() && Consume(text);
}

bool StreamedMatch::End(std::string_view text) {
  assert(reader_);
  reader_->Reseat(text);
  // The element's end, then nothing more: the reader says where a text ends unread.
  if (!reader_->Next(piece_, names_) || piece_ != u">") return false;
  return !reader_->Next(piece_, names_) && !reader_->unreadable();
}

bool StreamedMatch::Consume(std::string_view text) {
  reader_->Reseat(text);
  const WideString& data = tree_.data_;
  for (size_t at = 0; at < data.size(); at += piece_.size()) {
    if (!reader_->Next(piece_, names_) || data.compare(at, piece_.size(), piece_) != 0)
      return false;
  }
  return true;
}

// --- items of the document level and lines of the source --------------------------------

uint32_t DocumentLevelItems(const Lumo::Dom::Node& root, uint32_t afterRoot,
                            const std::function<void(const char* what, uint32_t item)>& found) {
  uint32_t item = 1;
  uint32_t rootItem = 0;
  NodeView r(root);
  for (NodeView n = r.parentNode() ? r.parentNode().firstChild() : NodeView(); n;
       n = n.nextSibling()) {
    const char* what = nullptr;
    switch (n.nodeType()) {
      case Lumo::Dom::NODE_COMMENT: what = "comment"; break;
      case Lumo::Dom::NODE_DOCUMENT_TYPE: what = "document type declaration"; break;
      case Lumo::Dom::NODE_PROCESSING_INSTRUCTION:
        if (n.nameView() != u"xml") what = "processing instruction";
        break;
      case Lumo::Dom::NODE_ELEMENT:
        rootItem = item;
        item = afterRoot ? afterRoot : item + 1;
        continue;
      default: break;
    }
    if (!what) continue;
    if (found) found(what, item);
    ++item;
  }
  return rootItem ? rootItem : 1;
}

int32_t SourceLineOfItem(std::string_view source, uint32_t item, WideView attribute) {
  if (item == 0) return 0;
  // The source as units in which markup characters stand as themselves.
  WideString text;
  size_t start = 0;
  const bool le = source.size() >= 2 && ((source[0] == '\xFF' && source[1] == '\xFE') ||
                                         (source[0] == '<' && source[1] == '\0'));
  const bool be = source.size() >= 2 && ((source[0] == '\xFE' && source[1] == '\xFF') ||
                                         (source[0] == '\0' && source[1] == '<'));
  WideString name;
  if (le || be) {
    for (size_t k = 0; k + 1 < source.size(); k += 2) {
      const auto lo = static_cast<unsigned char>(source[k + (be ? 1 : 0)]);
      const auto hi = static_cast<unsigned char>(source[k + (be ? 0 : 1)]);
      text += static_cast<char16_t>(lo | (hi << 8));
    }
    name = WideString(attribute);
  } else {
    for (char c : source) text += static_cast<char16_t>(static_cast<unsigned char>(c));
    for (char c : Lumo::Base::Utf8FromWide(attribute))
      name += static_cast<char16_t>(static_cast<unsigned char>(c));
  }
  if (!text.empty() && (text[0] == 0xFEFF || text[0] == 0xFFFE)) start = 1;
  if (text.compare(start, 3, u"\xEF\xBB\xBF") == 0) start += 3;

  const WideView t(text);
  int32_t line = 1;
  size_t k = start;
  auto skipTo = [&](WideView end) {
    const size_t found = t.find(end, k);
    const size_t stop = found == WideView::npos ? t.size() : found + end.size();
    for (; k < stop; ++k)
      if (t[k] == u'\n' || (t[k] == u'\r' && (k + 1 >= t.size() || t[k + 1] != u'\n'))) ++line;
  };
  auto step = [&] {
    if (t[k] == u'\n' || (t[k] == u'\r' && (k + 1 >= t.size() || t[k + 1] != u'\n'))) ++line;
    ++k;
  };
  uint32_t seen = 0;
  while (k < t.size()) {
    if (t[k] != u'<') {
      step();
      continue;
    }
    const WideView at = t.substr(k);
    if (at.starts_with(u"<?xml") && k == start && at.size() > 5 && Lumo::Dom::IsXmlSpace(at[5])) {
      skipTo(u"?>");
    } else if (at.starts_with(u"<![CDATA[")) {
      skipTo(u"]]>");
    } else if (at.starts_with(u"</")) {
      skipTo(u">");
    } else if (at.starts_with(u"<?") || at.starts_with(u"<!--")) {
      if (++seen == item) return line;
      skipTo(at[1] == u'?' ? u"?>" : u"-->");
    } else if (at.starts_with(u"<!DOCTYPE")) {
      if (++seen == item) return line;
      // The internal subset may hold quoted '>' and comments.
      int depth = 0;
      char16_t quote = 0;
      for (step(); k < t.size();) {
        const char16_t c = t[k];
        if (quote) {
          if (c == quote) quote = 0;
        } else if (t.substr(k).starts_with(u"<!--")) {
          skipTo(u"-->");
          continue;
        } else if (c == u'"' || c == u'\'') {
          quote = c;
        } else if (c == u'[') {
          ++depth;
        } else if (c == u']') {
          --depth;
        } else if (c == u'>' && depth <= 0) {
          step();
          break;
        }
        step();
      }
    } else {
      const bool wanted = ++seen == item;
      if (wanted && name.empty()) return line;
      const int32_t tagLine = line;
      // Through the start tag, looking at each attribute name.
      char16_t quote = 0;
      bool inName = false, elementName = true;
      size_t nameStart = 0;
      int32_t nameLine = 0;
      for (step(); k < t.size();) {
        const char16_t c = t[k];
        if (quote) {
          if (c == quote) quote = 0;
        } else if (c == u'"' || c == u'\'') {
          quote = c;
        } else if (c == u'>') {
          step();
          break;
        } else if (!Lumo::Dom::IsXmlSpace(c) && c != u'=' && c != u'/') {
          if (!inName) inName = true, nameStart = k, nameLine = line;
          step();
          continue;
        }
        if (inName) {
          inName = false;
          if (wanted && !elementName && t.substr(nameStart, k - nameStart) == WideView(name))
            return nameLine;
          elementName = false;
        }
        step();
      }
      if (wanted) return tagLine;
    }
  }
  return 0;
}

}  // namespace Lumo::Sign
