// Files are read whole, whatever they tell of their size, and failures say which.
#include "base/input_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

using Lumo::Base::FileRead;
using Lumo::Base::InputFile;
using Lumo::Base::ReadWholeFile;

namespace {

std::string Pattern(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + i * 7 % 26);
  return s;
}

void Write(const std::string& name, const std::string& bytes) {
  std::FILE* f = std::fopen(name.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  std::fclose(f);
}

}  // namespace

TEST(InputFile, RegularFilesAreReadWholeAndPieceByPiece) {
  const std::string name = testing::TempDir() + "input_file_test.bin";
  for (size_t size : {0, 1, 4096, 65536, 65537, 300001}) {
    const std::string content = Pattern(size);
    Write(name, content);
    std::string bytes = "left over";
    ASSERT_EQ(ReadWholeFile(name, bytes), FileRead::kDone) << size;
    EXPECT_EQ(bytes, content) << size;

    InputFile file(name);
    ASSERT_TRUE(file.IsOpen());
    EXPECT_EQ(file.ToldSize(), size);
    std::string pieces;
    char buffer[5000];
    for (size_t got; (got = file.Read(buffer, sizeof buffer)) > 0;) pieces.append(buffer, got);
    EXPECT_EQ(file.Read(buffer, sizeof buffer), 0u);  // the end stays the end
    EXPECT_FALSE(file.Failed());
    EXPECT_EQ(pieces, content) << size;
  }
  std::remove(name.c_str());
}

// The size told when opened ends a read only where a short read reaches it: a file that
// grew since is read to its new end.
TEST(InputFile, AFileThatGrewSinceItWasOpenedIsReadToItsNewEnd) {
  const std::string name = testing::TempDir() + "input_file_grows.bin";
  Write(name, Pattern(10));
  InputFile file(name);
  ASSERT_EQ(file.ToldSize(), 10u);
  Write(name, Pattern(70000));  // the same file, rewritten longer
  std::string pieces;
  char buffer[5000];
  for (size_t got; (got = file.Read(buffer, sizeof buffer)) > 0;) pieces.append(buffer, got);
  EXPECT_EQ(pieces, Pattern(70000));
  std::remove(name.c_str());
}

TEST(InputFile, FailuresSayWhetherTheFileCouldBeOpenedOrRead) {
  std::string bytes = "left over";
  errno = 0;
  EXPECT_EQ(ReadWholeFile(testing::TempDir() + "no such file", bytes), FileRead::kCannotOpen);
  EXPECT_EQ(errno, ENOENT);
#ifndef _WIN32
  // A folder opens for reading; reading it fails.
  EXPECT_EQ(ReadWholeFile(testing::TempDir(), bytes), FileRead::kCannotRead);
  EXPECT_TRUE(bytes.empty());
#endif
}

#ifndef _WIN32
// A pipe tells no size: read until its end, across many pieces.
TEST(InputFile, PipesAreReadToTheirEnd) {
  const std::string name = testing::TempDir() + "input_file_test.fifo";
  ::unlink(name.c_str());
  ASSERT_EQ(::mkfifo(name.c_str(), 0600), 0);
  const std::string content = Pattern(200003);
  std::thread writer([&] { Write(name, content); });
  std::string bytes;
  EXPECT_EQ(ReadWholeFile(name, bytes), FileRead::kDone);
  writer.join();
  EXPECT_EQ(bytes, content);
  ::unlink(name.c_str());
}
#endif
