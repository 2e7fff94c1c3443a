// Pages of a text said read go back to the system; nothing outside the ranges said read
// changes, and on systems without the means nothing changes at all.
#include <gtest/gtest.h>

#include <string>

#include "base/read_once_text.h"

TEST(ReadOnceText, OnlyWholePagesInsideTheRangesSaidReadGoBack) {
  std::string text(5 * 1024 * 1024 + 123, 'x');
  Lumo::Base::ReadOnceText reader(text);
  struct Step {
    size_t from, to;
  };
  // Less than 256 KB gathers; then an odd range; then on to the end.
  const Step steps[] = {{100, 200 * 1024}, {100, 3 * 1024 * 1024 + 7}, {100, text.size()}};
  size_t readTo = 0;
  for (const Step& step : steps) {
    reader.ReadUpTo(step.from, step.to);
    readTo = step.to;
    for (size_t i = 0; i < text.size(); i += 997)
      if (i < 100 || i >= readTo) ASSERT_EQ(text[i], 'x') << i;
  }
  EXPECT_EQ(text.front(), 'x');
  EXPECT_EQ(text.back(), 'x');
#ifndef _WIN32
  EXPECT_EQ(text[text.size() / 2], '\0');  // went back: reads as a fresh page
#else
  EXPECT_EQ(text[text.size() / 2], 'x');
#endif
}
