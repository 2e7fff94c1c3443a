// File names survive the wide-text parameters byte for byte.
#include "base/file_name.h"

#include <gtest/gtest.h>

#include <string>

using Lumo::Base::FileNameForMessage;
using Lumo::Base::FileNameFromWide;
using Lumo::Base::WideFromFileName;

TEST(FileName, BytesRoundTripThroughWideText) {
  const std::string names[] = {
      "plain.xml",
      "\xD0\xBF\xD0\xBB\xD0\xB0\xD1\x82\xD1\x91\xD0\xB6.xml",  // UTF-8 Cyrillic
      "\xEF\xEB\xE0\xF2\xB8\xE6.xml",                          // the same name in windows-1251
      "\xF0\x9F\x93\x84 doc.xml",                              // beyond U+FFFF
      "\xED\xB2\x80 encoded surrogate",                        // not UTF-8: kept as three bytes
      "\xC0\xAF overlong and cut \xE2\x82",                    // overlong form, truncated sequence
      std::string("nul\0inside", 10),
  };
  for (const std::string& name : names) {
    SCOPED_TRACE(FileNameForMessage(name));
    EXPECT_EQ(FileNameFromWide(WideFromFileName(name)), name);
  }
  // Undecodable bytes travel as U+DC80..U+DCFF; a real pair next to one stays a pair.
  EXPECT_EQ(WideFromFileName("a\xEF"), Lumo::Base::WideString(u"a\xDCEF"));
  EXPECT_EQ(FileNameFromWide(u"\xD83D\xDCC4\xDCE9"), "\xF0\x9F\x93\x84\xE9");
}

TEST(FileName, MessagesEscapeWhatIsNotPrintableText) {
  EXPECT_EQ(FileNameForMessage("\xEF\xEB.xml"), "\\xEF\\xEB.xml");
  EXPECT_EQ(FileNameForMessage("a\nb\x1B[2J"), "a\\x0Ab\\x1B[2J");
  EXPECT_EQ(FileNameForMessage("\xD0\xB0.xml"), "\xD0\xB0.xml");
}
