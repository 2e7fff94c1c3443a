// ScopedBindings against a plain stack searched from its top, across the size where the
// map takes over and back: pushes of new and repeated names, truncations of every depth.
#include "base/scoped_bindings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

using Lumo::Base::ScopedBindings;
using Lumo::Base::WideString;
using Lumo::Base::WideView;

namespace {

TEST(ScopedBindings, AgreesWithAStackSearchedFromItsTop) {
  std::vector<WideString> names{u""};  // the empty name: the default namespace
  for (int i = 0; i < 60; ++i)
    names.push_back(u"p" + WideString(1, static_cast<char16_t>(u'A' + i)));
  ScopedBindings<int> scope;
  std::vector<std::pair<WideView, int>> model;
  uint32_t seed = 12345;
  auto next = [&seed](uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % n;
  };
  auto agrees = [&] {
    if (scope.size() != model.size()) return false;
    for (const WideString& name : names) {
      const int* found = scope.Find(name);
      const int* expected = nullptr;
      for (size_t i = model.size(); i-- > 0 && !expected;)
        if (model[i].first == name) expected = &model[i].second;
      if ((found == nullptr) != (expected == nullptr) || (found && *found != *expected))
        return false;
    }
    return true;
  };
  int value = 0;
  for (int round = 0; round < 300; ++round) {
    // Grow to a size on either side of where the map takes over, names repeating (hidden
    // bindings), then drop back a few at a time or all at once.
    const size_t target = next(100);
    const uint32_t spread = 1 + next(static_cast<uint32_t>(names.size()));
    while (model.size() < target) {
      const WideView name = names[next(spread)];
      scope.Push(name, ++value);
      model.emplace_back(name, value);
      ASSERT_TRUE(agrees()) << "round " << round << ", push to " << model.size();
    }
    for (int cut = 0; cut < 3 && !model.empty(); ++cut) {
      const size_t mark =
          next(2)
              ? model.size() - 1 - next(static_cast<uint32_t>(std::min<size_t>(model.size(), 8)))
              : next(static_cast<uint32_t>(model.size()) + 1);
      scope.Truncate(mark);
      model.resize(mark);
      ASSERT_TRUE(agrees()) << "round " << round << ", truncated to " << mark;
    }
  }
}

}  // namespace
