// What a reader of a signed document sees, held against what was signed.
//
// The canonical form drops things a namespace-aware reader still sees (comments, processing
// instructions, schema-instance attributes, the namespace of a kept attribute prefix) and
// a document type declaration adds attributes some readers never see. A signature that
// verifies over the canonical bytes therefore says nothing about those. The reader's tree
// of a signed element (elements and attributes by namespace URI and local name, attribute
// values, text; white-space-only text left out) is recorded from the document before the
// canonical pass, and compared, while the signed bytes are read, with the tree those bytes
// give. Only equal trees leave nothing unsigned for a reader to act on.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/types.h"
#include "dom/dom.h"

namespace Lumo::Sign {

// Something in the document that the signature does not cover, and where it stands:
// the markup item (element, comment, processing instruction, document type declaration,
// counted from 1 in document order) and, for an attribute, its name as written.
struct UnsignedContent {
  std::string what;  // "comment", "attribute xsi:nil", "content inside dsig:SigValue", ...
  uint32_t item = 0;
  Lumo::Base::WideString attribute;
};

// The reader's tree of one signed element, recorded as a flat text: an element as
// '<' key 0x01, then its attributes sorted as '@' key 0x01 value 0x02, its content, '>';
// a run of text as '"' text 0x02. A key is "{N}local" (N: the namespace name's number in
// the record), the local name without a namespace, or '?' and the qualified name for a
// prefix no declaration binds. XML forbids
// the control characters used as marks, so two records are equal only for equal trees.
class ReaderTree {
 public:
  // Records the element and everything below it, the signature value element `skip`
  // (null: none) left out. `firstItem` is the element's place among the document's markup
  // items; content the canonical form can never hold (comments, processing instructions,
  // entity references, anything but text inside `skip`, attributes on it) is noted as found.
  // With startTagOnly, the element's name and attributes alone (what StreamedMatch needs).
  void Record(const Lumo::Dom::Node& element, const Lumo::Dom::Node& skip, uint32_t firstItem,
              bool startTagOnly = false);

  // The first unsigned content found while recording.
  const std::optional<UnsignedContent>& Found() const { return found_; }

  // Compares the record with the tree of the canonical text `signedBytes` (UTF-8, one
  // UTF-16 unit at a time): nothing when they are equal, else what differs first.
  std::optional<UnsignedContent> CompareWithSigned(std::string_view signedBytes) const;

  // Where each markup item below the recorded element ends (for the next sibling's count).
  uint32_t NextItem() const { return nextItem_; }

 private:
  friend class StreamedMatch;
  // Empty again, the namespace names' numbers kept.
  void Restart();

  enum class Kind : uint8_t { Element, Attribute, Text, End };
  struct Entry {
    uint32_t offset;            // where it starts in data_
    uint32_t item;              // the markup item it belongs to
    uint32_t nameAt, nameSize;  // its qualified name as written, in names_
    Kind kind;
  };
  Lumo::Base::WideView NameOf(const Entry& e) const {
    return Lumo::Base::WideView(names_).substr(e.nameAt, e.nameSize);
  }

  void Note(std::string what, uint32_t item, Lumo::Base::WideView attribute = {});
  UnsignedContent Describe(size_t offset, std::string_view side) const;
  // The first recorded attribute of the element at `at` that the signed element `piece`
  // (its names at their offsets) does not have, if any.
  std::optional<UnsignedContent> DescribeAttributes(
      size_t at, Lumo::Base::WideView piece,
      const std::vector<std::pair<size_t, std::string_view>>& names) const;

  Lumo::Base::WideString data_;
  std::vector<Entry> entries_;
  Lumo::Base::WideString names_;
  // Namespace names by number: a key holds the number, not the name, each time. Held
  // apart, so that the views the map keeps stay valid when the record is moved.
  struct Uris {
    std::deque<Lumo::Base::WideString> text;
    std::unordered_map<Lumo::Base::WideView, uint32_t> numbers;
  };
  std::unique_ptr<Uris> uris_ = std::make_unique<Uris>();
  std::optional<UnsignedContent> found_;
  uint32_t nextItem_ = 0;
};

class SignedReader;

// The reader's tree of a signed element held against a canonical text while the document
// is parsed and the text is taken, part by part, so that neither is held whole as a
// record: the element's start tag, then each child element (whole) in order, then its
// end. Each call gets the text taken so far (it may have moved as it grew) and reads on
// where the last one stopped. A call answers false as soon as anything differs, is found
// that the canonical form cannot hold (ReaderTree::Found), or cannot be read: the caller
// then takes the whole comparison (ReaderTree::CompareWithSigned), which tells what. Only
// true all the way through means the trees are equal.
class StreamedMatch {
 public:
  StreamedMatch();
  ~StreamedMatch();
  bool Start(const Lumo::Dom::Node& element, std::string_view text);
  bool Child(const Lumo::Dom::Node& child, std::string_view text);
  // The element's end tag, and nothing after it.
  bool End(std::string_view text);

 private:
  bool Consume(std::string_view text);

  ReaderTree tree_;
  std::unique_ptr<SignedReader> reader_;
  Lumo::Base::WideString piece_;
  std::vector<std::pair<size_t, std::string_view>> names_;
};

// The markup items of a document before its root element (comments, processing
// instructions other than the XML declaration, a document type declaration) and after it,
// counted as ReaderTree counts them (those after it from `afterRoot`, the item that follows
// the root's last; 0: not known yet): calls found(what, item) for each (null: none), and
// returns the root's item.
uint32_t DocumentLevelItems(const Lumo::Dom::Node& root, uint32_t afterRoot,
                            const std::function<void(const char* what, uint32_t item)>& found);

// The line (from 1) on which the item-th markup item of a document's source starts, or the
// line of the attribute of that name in its start tag; 0 when the source does not show it.
// The source is the document's bytes as read (UTF-16 with its byte order mark, or any
// encoding in which markup characters are ASCII).
int32_t SourceLineOfItem(std::string_view source, uint32_t item, Lumo::Base::WideView attribute);

}  // namespace Lumo::Sign
