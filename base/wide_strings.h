// The wide string list: TWideStrings, an abstract list
// of wide strings each with an object reference (not owned), and TWideStringList, its
// array-backed implementation with an optional sorted mode and change callbacks.
//
// The canonicalizer derives TXmlAttributeNames from TWideStringList and overrides
// CompareStrings, the first virtual operation that TWideStrings introduces.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/types.h"

namespace Lumo::Base {

// The run-time's assertion exception; AddWideStrings raises it when its source list is
// missing. Its message text is kept exactly as earlier versions of the library wrote it,
// because clients compare the text.
class EAssertionFailed : public ELumoException {
 public:
  using ELumoException::ELumoException;
};

class TWideStrings;

// A change callback, called with the list that changed.
using TWideNotifyEvent = std::function<void(TWideStrings& sender)>;

// Duplicates setting of a sorted list; 0 (ignore) is the only value the library uses.
enum TDuplicates : uint8_t { dupIgnore = 0, dupAccept = 1, dupError = 2 };

class TWideStrings {
 public:
  TWideStrings() = default;
  TWideStrings(const TWideStrings&) = delete;
  TWideStrings& operator=(const TWideStrings&) = delete;
  virtual ~TWideStrings() = default;

  // From the persistent base: BeginUpdate, Clear, AddWideStrings (source), EndUpdate.
  // Assigning a list to itself leaves it unchanged.
  virtual void Assign(const TWideStrings& source);

  // --- Virtual operations in their slot order ---------------------------------------
  // Case-insensitive comparison in the user's locale (CompareWideIgnoreCase).
  virtual int CompareStrings(WideView a, WideView b) const;
  virtual WideString Get(int index) const = 0;
  virtual int GetCapacity() const;  // the count
  virtual int GetCount() const = 0;
  virtual void* GetObject(int index) const;  // none
  virtual WideString GetTextStr() const;     // GetDelimitedText("\r\n")
  virtual void Put(int index, WideView s) = 0;
  virtual void PutObject(int index, void* object) = 0;
  virtual void SetCapacity(int capacity);           // nothing
  virtual void SetUpdateState(bool updating);       // nothing
  virtual int Add(WideView s);                      // Insert at the end
  virtual int AddObject(WideView s, void* object);  // Add, then PutObject at its index
  virtual void AddWideStrings(const TWideStrings* strings);
  virtual void Clear() = 0;
  virtual void Delete(int index) = 0;
  virtual void Exchange(int index1, int index2);
  // Every item with the separator between them, none after the last.
  virtual WideString GetDelimitedText(WideView separator) const;
  // The text as a new zero-terminated buffer (WideStrNew); free it with WideStrDispose.
  virtual char16_t* GetText() const;
  virtual int IndexOf(WideView s) const;  // linear; -1 when absent
  virtual void Insert(int index, WideView s) = 0;
  // BeginUpdate, Clear, one Add per line, EndUpdate. A line ends at U+0000, LF, VT, FF,
  // CR, U+2028 or U+2029; CR LF is one break; a break at the very end adds no empty item.
  virtual void SetTextStr(WideView text);

  // --- Not virtual -------------------------------------------------------------------
  void BeginUpdate();
  void EndUpdate();
  int UpdateCount() const noexcept { return updateCount_; }
  void SetText(WideView text) { SetTextStr(text); }
  int Count() const { return GetCount(); }

 protected:
  int updateCount_ = 0;
};

struct TWideStringItem {
  WideString FString;
  void* FObject = nullptr;
};

class TWideStringList : public TWideStrings {
 public:
  TWideStringList() = default;
  ~TWideStringList() override;

  WideString Get(int index) const override;
  int GetCapacity() const override;
  int GetCount() const override;
  void* GetObject(int index) const override;
  void Put(int index, WideView s) override;
  void PutObject(int index, void* object) override;
  void SetCapacity(int capacity) override;
  void SetUpdateState(bool updating) override;
  int Add(WideView s) override;
  void Clear() override;
  void Delete(int index) override;
  void Exchange(int index1, int index2) override;
  int IndexOf(WideView s) const override;
  void Insert(int index, WideView s) override;

  // --- Added by TWideStringList, in this order ----------------------------------------
  virtual void Changed();   // OnChange, only when the update count is 0
  virtual void Changing();  // OnChanging, only when the update count is 0
  // Binary search; true when found. index: the first equal item (duplicates setting not
  // "accept"), or where s would be inserted.
  virtual bool Find(WideView s, int& index) const;
  // When not sorted and at least two items: Changing, quicksort, Changed.
  virtual void Sort();

  // --- Not virtual -------------------------------------------------------------------
  bool Sorted() const noexcept { return sorted_; }
  void SetSorted(bool value);  // switching on sorts first; switching off keeps the order
  TDuplicates Duplicates() const noexcept { return duplicates_; }
  void SetDuplicates(TDuplicates value) noexcept { duplicates_ = value; }
  // Unchecked fast access for callers that loop over the list.
  const WideString& At(int index) const { return items_[static_cast<size_t>(index)].FString; }

  TWideNotifyEvent OnChange;
  TWideNotifyEvent OnChanging;

 protected:
  void InsertItem(int index, WideView s);
  void QuickSort(int left, int right);

 private:
  void Grow();
  void CheckIndex(int index) const;  // 0 <= index < count

  std::vector<TWideStringItem> items_;  // size() is the count
  int capacity_ = 0;                    // the array length (items_.capacity() >= it)
  bool sorted_ = false;
  TDuplicates duplicates_ = dupIgnore;
};

}  // namespace Lumo::Base
