// Result files are never left half-written.
#include "sign/output_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <mutex>
#include <regex>
#include <thread>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/sign/test_support.h"

using namespace SignTest;
using Lumo::Sign::EFCreateError;
using Lumo::Sign::EWriteError;
using Lumo::Sign::WriteOutputFile;

TEST(OutputFile, WritesANewFile) {
  TempDir dir;
  WriteOutputFile(dir.File("a.xml"), {"<?xml", std::string_view("\0x", 2), "end"});
  EXPECT_EQ(ReadFile(dir.File("a.xml")), std::string("<?xml\0xend", 10));
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"a.xml"});
}

TEST(OutputFile, EmptyContentMakesAnEmptyFile) {
  TempDir dir;
  WriteOutputFile(dir.File("e"), "");
  EXPECT_TRUE(fs::exists(dir.File("e")));
  EXPECT_EQ(fs::file_size(dir.File("e")), 0u);
}

TEST(OutputFile, ReplacesAnExistingFileAndKeepsItsPermissions) {
  TempDir dir;
  std::string name = dir.File("out.xml");
  WriteFile(name, std::string(1 << 16, 'x'));
  ASSERT_EQ(::chmod(name.c_str(), 0640), 0);
  WriteOutputFile(name, "short");
  EXPECT_EQ(ReadFile(name), "short");
  struct stat st {};
  ASSERT_EQ(::stat(name.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"out.xml"});
}

TEST(OutputFile, NewFileGetsTheUsualPermissions) {
  TempDir dir;
  mode_t old = ::umask(022);
  WriteOutputFile(dir.File("n"), "x");
  ::umask(old);
  struct stat st {};
  ASSERT_EQ(::stat(dir.File("n").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(OutputFile, RelativeNameIsWrittenInTheCurrentFolder) {
  TempDir dir;
  fs::path saved = fs::current_path();
  fs::current_path(dir.path());
  WriteOutputFile("rel.xml", "r");
  fs::current_path(saved);
  EXPECT_EQ(ReadFile(dir.File("rel.xml")), "r");
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"rel.xml"});
}

TEST(OutputFile, MissingFolderIsACreationErrorWithTheFullName) {
  TempDir dir;
  fs::path saved = fs::current_path();
  fs::current_path(dir.path());
  try {
    WriteOutputFile("missing/./x.xml", "x");
    FAIL() << "no error";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.Message(), "Cannot create file \"" + (dir.path() / "missing/x.xml").string() +
                               "\". No such file or directory");
  }
  fs::current_path(saved);
  EXPECT_TRUE(dir.Entries().empty());
}

TEST(OutputFile, FolderAsTargetIsACreationError) {
  TempDir dir;
  fs::create_directory(dir.File("sub"));
  EXPECT_THROW(WriteOutputFile(dir.File("sub"), "x"), EFCreateError);
  EXPECT_THROW(WriteOutputFile(dir.File("sub") + "/", "x"), EFCreateError);
  EXPECT_TRUE(fs::is_directory(dir.File("sub")));
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"sub"});
}

TEST(OutputFile, FileInPlaceOfTheFolderIsACreationError) {
  TempDir dir;
  WriteFile(dir.File("plain"), "p");
  try {
    WriteOutputFile(dir.File("plain/out.xml"), "x");
    FAIL() << "no error";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.Message(),
              "Cannot create file \"" + dir.File("plain/out.xml") + "\". Not a directory");
  }
  EXPECT_EQ(ReadFile(dir.File("plain")), "p");
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"plain"});
}

TEST(OutputFile, ReadOnlyFolderIsACreationErrorAndTheOldFileStays) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may write into read-only folders";
  TempDir dir;
  std::string name = dir.File("out.xml");
  WriteFile(name, "old");
  ::chmod(dir.path().c_str(), 0555);
  EXPECT_THROW(WriteOutputFile(name, "new"), EFCreateError);
  ::chmod(dir.path().c_str(), 0755);
  EXPECT_EQ(ReadFile(name), "old");
}

// A write that stops short (here: the file-size limit, as a full disk would) is an error:
// the temporary file is removed and the existing target keeps its content.
TEST(OutputFile, ShortWriteIsAnErrorAndLeavesNothingBehind) {
  TempDir dir;
  std::string name = dir.File("out.xml");
  WriteFile(name, "previous content");
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  // One piece too big to gather, and small pieces gathered past the limit (the error
  // then comes from the write at Commit).
  const std::string big(100000, 'b'), small3k(3000, 's');
  const std::vector<std::vector<std::string_view>> cases = {
      {"<?xml?>", big}, {"<?xml?>", small3k, small3k, small3k, small3k}};
  std::vector<std::string> messages;
  for (const auto& pieces : cases) {
    try {
      Lumo::Sign::OutputFile file(name);
      for (std::string_view piece : pieces) file.Write(piece);
      file.Commit();
      messages.push_back("committed");
    } catch (const EWriteError& e) {
      messages.push_back(e.Message());
    }
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldHandler);
  for (const std::string& message : messages)
    EXPECT_EQ(message.rfind("Cannot write file \"" + name + "\". ", 0), 0u) << message;
  EXPECT_EQ(ReadFile(name), "previous content");
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"out.xml"});
}

// Small pieces are gathered into one write and large ones written as they come: the file
// holds every piece in its order, whatever their sizes.
TEST(OutputFile, PiecesOfEverySizeKeepTheirOrder) {
  TempDir dir;
  std::string expected;
  {
    Lumo::Sign::OutputFile file(dir.File("out.xml"));
    int k = 0;
    for (size_t size : {5, 70000, 3, 65536, 65530, 7, 1, 0, 65535}) {
      std::string piece(size, static_cast<char>('a' + k++));
      file.Write(piece);
      expected += piece;
    }
    file.Commit();
  }
  EXPECT_EQ(ReadFile(dir.File("out.xml")), expected);
}

TEST(OutputFile, PiecesWrittenOneByOneAppearOnlyWhenCommitted) {
  TempDir dir;
  std::string name = dir.File("out.xml");
  WriteFile(name, "previous content");
  {
    Lumo::Sign::OutputFile file(name);
    file.Write("first ");
    file.Write("second");
    EXPECT_EQ(ReadFile(name), "previous content");  // the target is untouched until Commit
    file.Commit();
  }
  EXPECT_EQ(ReadFile(name), "first second");
  // Abandoned half-way (a failure while the content is made): nothing is left behind.
  try {
    Lumo::Sign::OutputFile file(name);
    file.Write("partial");
    throw std::runtime_error("producer failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(ReadFile(name), "first second");
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"out.xml"});
}

TEST(OutputFile, LongFileNameStillGetsATemporaryName) {
  TempDir dir;
  std::string base(250, 'n');
  WriteOutputFile(dir.File(base), "x");
  EXPECT_EQ(ReadFile(dir.File(base)), "x");
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{base});
}

TEST(OutputFile, ExpandFileName) {
  EXPECT_EQ(Lumo::Sign::ExpandFileName("/a/b/../c.xml"), "/a/c.xml");
  EXPECT_EQ(Lumo::Sign::ExpandFileName("x.xml"), (fs::current_path() / "x.xml").string());
}

// A symbolic link is followed: the file it leads to gets the content and the link stays a
// link, for a link to an existing file, a relative link, a chain and a link whose target
// does not exist yet.
TEST(OutputFile, LinksAreFollowedAndStayLinks) {
  struct Case {
    const char* link;
    const char* leadsTo;  // as stored in the link
    const char* target;   // the file that gets the content, relative to the folder
    bool targetExists;
  };
  const Case cases[] = {
      {"abs.xml", nullptr, "real.xml", true},  // absolute link (leadsTo filled in below)
      {"rel.xml", "sub/real.xml", "sub/real.xml", true},
      {"chain.xml", "rel.xml", "sub/real.xml", true},
      {"dangling.xml", "sub/new.xml", "sub/new.xml", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.link);
    TempDir dir;
    fs::create_directory(dir.File("sub"));
    WriteFile(dir.File("real.xml"), "old");
    WriteFile(dir.File("sub/real.xml"), "old");
    fs::create_symlink("sub/real.xml", dir.File("rel.xml"));
    if (std::string(c.link) != "rel.xml")
      fs::create_symlink(c.leadsTo ? c.leadsTo : dir.File("real.xml"), dir.File(c.link));
    EXPECT_EQ(fs::exists(dir.File(c.target)), c.targetExists);
    WriteOutputFile(dir.File(c.link), "new");
    EXPECT_TRUE(fs::is_symlink(dir.File(c.link)));
    EXPECT_EQ(ReadFile(dir.File(c.target)), "new");
    for (auto& e : fs::recursive_directory_iterator(dir.path()))
      EXPECT_EQ(e.path().extension(), e.is_directory() ? "" : ".xml") << e.path();
  }
}

// Special files are written in place, never replaced by a regular file: a FIFO's reader
// gets the bytes, a listening socket receives them, the null device stays a device.
TEST(OutputFile, SpecialFilesAreWrittenInPlace) {
  TempDir dir;
  std::string fifo = dir.File("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string received;
  std::thread reader([&] { received = ReadFile(fifo); });
  WriteOutputFile(fifo, {"<a>", "fifo</a>"});
  reader.join();
  EXPECT_EQ(received, "<a>fifo</a>");
  struct stat st {};
  ASSERT_EQ(::stat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));

  std::string socketName = dir.File("sock");
  int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socketName.size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, socketName.c_str());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  std::string fromSocket;
  std::thread accepter([&] {
    int peer = ::accept(listener, nullptr, nullptr);
    char buffer[64];
    ssize_t n;
    while ((n = ::read(peer, buffer, sizeof buffer)) > 0) fromSocket.append(buffer, n);
    ::close(peer);
  });
  WriteOutputFile(socketName, "socket bytes");
  accepter.join();
  ::close(listener);
  EXPECT_EQ(fromSocket, "socket bytes");

  WriteOutputFile("/dev/null", "discarded");
  ASSERT_EQ(::stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"fifo", "sock"}));
}

// While a result is written its temporary file has the documented hidden name beside the
// target; a process that is about to end on a signal removes it and no new one appears.
TEST(OutputFile, TemporaryNamesAndAbandonOnSignal) {
  TempDir dir;
  std::string name = dir.File("out.xml");
  {
    Lumo::Sign::OutputFile file(name);
    file.Write("x");
    std::vector<std::string> entries = dir.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(
        std::regex_match(entries[0], std::regex(R"(\.out\.xml\.lumo[0-9a-f]+-[0-9a-f]+\.tmp)")))
        << entries[0];
  }
  // In a child: the lock stays taken after AbandonTemporaryFiles, as the process ends.
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Lumo::Sign::OutputFile first(name);
    Lumo::Sign::OutputFile second(dir.File("other.xml"));
    first.Write("partial");
    Lumo::Sign::AbandonTemporaryFiles();
    ::_exit(dir.Entries().empty() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(dir.Entries().empty());
}

// Workers write results at once without a lock around their file system calls: every
// result arrives whole under its own name, and no temporary file stays behind, also when
// several workers replace the same file.
TEST(OutputFile, ConcurrentWritersPlaceEveryResultWhole) {
  TempDir dir;
  constexpr int kThreads = 4, kFiles = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&dir, t] {
      for (int i = 0; i < kFiles; ++i) {
        std::string body(1000 + 97 * i, static_cast<char>('a' + t));
        WriteOutputFile(dir.File("r" + std::to_string(t) + "_" + std::to_string(i)), body);
        WriteOutputFile(dir.File("shared"), body);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::vector<std::string> expected{"shared"};
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kFiles; ++i) {
      std::string name = "r" + std::to_string(t) + "_" + std::to_string(i);
      expected.push_back(name);
      EXPECT_EQ(ReadFile(dir.File(name)), std::string(1000 + 97 * i, static_cast<char>('a' + t)));
    }
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(dir.Entries(), expected);
  std::string shared = ReadFile(dir.File("shared"));
  ASSERT_FALSE(shared.empty());
  EXPECT_EQ(shared, std::string(shared.size(), shared[0]));  // one writer's bytes, whole
}

// In a batch a file is still in place as soon as it is committed; the folders are flushed
// when the last scope ends, and a folder gone by then is passed over.
TEST(OutputFile, FilesOfABatchArePlacedAtOnce) {
  TempDir dir;
  fs::create_directory(dir.File("gone"));
  {
    Lumo::Sign::FolderFlushScope outer;
    {
      Lumo::Sign::FolderFlushScope inner;
      WriteOutputFile(dir.File("a.xml"), "A");
      WriteOutputFile(dir.File("gone/b.xml"), "B");
    }
    EXPECT_EQ(ReadFile(dir.File("a.xml")), "A");
    EXPECT_EQ(ReadFile(dir.File("gone/b.xml")), "B");
    fs::remove_all(dir.File("gone"));
  }
  WriteOutputFile(dir.File("a.xml"), "C");  // no scope: flushed at once, as before
  EXPECT_EQ(ReadFile(dir.File("a.xml")), "C");
}

// Group commit: a member's results appear only when their group ends (by count, by time
// or at Finish), each whole; a thread that joined no group still commits at once; a file
// that cannot be renamed is removed and reported, the others of its group placed.
TEST(OutputFile, GroupCommitPlacesWholeGroups) {
  TempDir dir;
  std::vector<std::pair<std::string, std::string>> failures;
  std::mutex lock;
  Lumo::Sign::GroupCommit group(
      [&](const std::string& name, const std::string& message) {
        std::lock_guard<std::mutex> l(lock);
        failures.emplace_back(name, message);
      },
      3, std::chrono::hours(1));
  {
    Lumo::Sign::GroupCommit::Member member(group);
    WriteOutputFile(dir.File("a.xml"), "A");
    WriteOutputFile(dir.File("b.xml"), "B");
    std::thread([&] { WriteOutputFile(dir.File("alone.xml"), "not a member"); }).join();
    EXPECT_FALSE(fs::exists(dir.File("a.xml")));  // the group of 3 is not complete
    EXPECT_TRUE(fs::exists(dir.File("alone.xml")));
    Lumo::Sign::OutputFile c(dir.File("c.xml"));
    c.Write("C");
    fs::create_directories(dir.File("c.xml/inside"));  // its rename will fail
    c.Commit();
    WriteOutputFile(dir.File("d.xml"), "D");  // a group of its own, placed at Finish
    group.Finish();
  }
  EXPECT_EQ(ReadFile(dir.File("a.xml")), "A");
  EXPECT_EQ(ReadFile(dir.File("b.xml")), "B");
  EXPECT_EQ(ReadFile(dir.File("d.xml")), "D");
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].first, dir.File("c.xml"));
  EXPECT_NE(failures[0].second.find("Cannot create file"), std::string::npos);
  EXPECT_EQ(dir.Entries(),
            (std::vector<std::string>{"a.xml", "alone.xml", "b.xml", "c.xml", "d.xml"}));
  WriteOutputFile(dir.File("e.xml"), "E");  // after the group: at once, as before
  EXPECT_EQ(ReadFile(dir.File("e.xml")), "E");
}

TEST(OutputFile, GroupCommitEndsAGroupByTime) {
  TempDir dir;
  Lumo::Sign::GroupCommit group(nullptr, 1000, std::chrono::milliseconds(20));
  Lumo::Sign::GroupCommit::Member member(group);
  WriteOutputFile(dir.File("slow.xml"), "S");
  for (int i = 0; i < 500 && !fs::exists(dir.File("slow.xml")); ++i) ::usleep(10 * 1000);
  EXPECT_EQ(ReadFile(dir.File("slow.xml")), "S");  // without Finish
}

// Once a process is ending on a signal, a writer that starts or finishes after that
// places nothing and leaves no temporary file: it waits for the end.
TEST(OutputFile, NothingIsMadeOrPlacedAfterAbandon) {
  TempDir dir;
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto* pending = new Lumo::Sign::OutputFile(dir.File("open.xml"));
    pending->Write("written before the signal");
    Lumo::Sign::AbandonTemporaryFiles();
    std::thread([&dir] { WriteOutputFile(dir.File("late.xml"), "late"); }).detach();
    std::thread([pending] { pending->Commit(); }).detach();
    ::usleep(200 * 1000);
    ::_exit(dir.Entries().empty() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(dir.Entries().empty());
}
