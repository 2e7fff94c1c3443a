// ScopedBindings: names bound to values the way namespace prefixes are bound in markup.
// Bindings are pushed as a start tag is read and dropped with everything pushed after them
// at its end; a name's binding is the last one pushed for it.
//
// A short stack is searched from its top, which is all a document with a handful of
// declarations needs. Past kIndexFrom bindings a map from each name to its last binding
// takes over, each binding remembering the one of the same name it hides, so that a
// look-up costs the same however many bindings are in scope: a root that declares
// thousands of prefixes, each used once below it, would otherwise make every look-up
// walk all of them (quadratic time on a document of linear size).
#pragma once

#include <cassert>
#include <cstddef>
#include <unordered_map>
#include <vector>

#include "base/types.h"

namespace Lumo::Base {

template <class Value>
class ScopedBindings {
 public:
  struct Binding {
    WideView name;  // viewed, not owned: the caller's storage outlives the binding
    Value value;
    size_t hidden;  // index of the binding of the same name it hides, or kNone (indexed only)
  };

  size_t size() const { return bindings_.size(); }
  const Binding& operator[](size_t i) const { return bindings_[i]; }

  void Push(WideView name, const Value& value) {
    bindings_.push_back({name, value, kNone});
    if (indexed_) {
      Index(bindings_.size() - 1);
    } else if (bindings_.size() > kIndexFrom) {
      for (size_t i = 0; i < bindings_.size(); ++i) Index(i);
      indexed_ = true;
    }
  }

  // Drops the bindings pushed since the stack held mark of them.
  void Truncate(size_t mark) {
    assert(mark <= bindings_.size());
    if (indexed_ && mark <= kIndexFrom) {
      last_.clear();
      indexed_ = false;
    } else if (indexed_) {
      for (size_t i = bindings_.size(); i-- > mark;) {
        const Binding& b = bindings_[i];
        if (b.hidden == kNone) {
          last_.erase(b.name);
        } else {
          last_[b.name] = b.hidden;
        }
      }
    }
    bindings_.resize(mark);
  }
  void Clear() { Truncate(0); }

  // The value name is bound to, or null; valid until the next Push or Truncate.
  Value* Find(WideView name) {
    if (indexed_) {
      auto it = last_.find(name);
      return it == last_.end() ? nullptr : &bindings_[it->second].value;
    }
    for (size_t i = bindings_.size(); i-- > 0;)
      if (bindings_[i].name == name) return &bindings_[i].value;
    return nullptr;
  }

 private:
  static constexpr size_t kNone = ~size_t(0);
  static constexpr size_t kIndexFrom = 32;

  void Index(size_t i) {
    auto [it, added] = last_.try_emplace(bindings_[i].name, i);
    bindings_[i].hidden = added ? kNone : it->second;
    it->second = i;
  }

  std::vector<Binding> bindings_;
  std::unordered_map<WideView, size_t> last_;  // while indexed_: name -> its last binding
  bool indexed_ = false;
};

}  // namespace Lumo::Base
