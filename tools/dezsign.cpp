// dezsign: the library's command-line face. Commands live in cmd_*.cpp.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif
#include <sys/stat.h>

#include "base/file_name.h"
#include "base/version.h"
#include "dom/xml_helpers.h"
#include "sign/output_file.h"
#include "tools/command.h"

namespace Lumo::Tool {

namespace {

std::vector<Command>& Registry() {
  static std::vector<Command> commands;
  return commands;
}

// Descriptors 0, 1 and 2 found closed at start-up (and since held on the null device).
bool g_stdinClosed = false;
bool g_stdoutClosed = false;

std::string ErrorText(int error) { return Lumo::Sign::SystemErrorText(error); }

#ifdef _WIN32
void CloseFd(int fd) { _close(fd); }
#else
void CloseFd(int fd) { ::close(fd); }
#endif

}  // namespace

void RegisterCommand(const Command& command) {
  auto& commands = Registry();
  commands.push_back(command);
  std::stable_sort(commands.begin(), commands.end(),
                   [](const Command& a, const Command& b) { return a.order < b.order; });
}

const std::vector<Command>& Commands() { return Registry(); }

namespace {
std::atomic<bool (*)(int)> g_signalHandler{nullptr};
}  // namespace

void SetSignalHandler(bool (*handler)(int signal)) { g_signalHandler = handler; }

void WriteStdout(std::string_view bytes) {
#ifdef _WIN32
  _setmode(1, _O_BINARY);
  const auto write = [](int fd, const char* p, size_t n) -> long {
    return _write(fd, p, static_cast<unsigned>(std::min<size_t>(n, 1u << 30)));
  };
#else
  const auto write = [](int fd, const char* p, size_t n) -> long { return ::write(fd, p, n); };
#endif
  if (g_stdoutClosed) throw std::runtime_error("cannot write standard output: " + ErrorText(EBADF));
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    long written = write(1, p, std::min<size_t>(left, size_t{1} << 30));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0)
      throw std::runtime_error("cannot write standard output: " +
                               ErrorText(written < 0 ? errno : ENOSPC));
    p += written;
    left -= static_cast<size_t>(written);
  }
}

void RequireNotDirectory(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec))
    throw InputError(Lumo::Base::FileNameForMessage(path) + ": is a directory");
}

namespace {

// An input opened for reading: descriptor 0 for "-", else the file; and the size a
// regular file tells (0 for anything else, whose end only reading finds).
struct OpenedInput {
  int fd = 0;
  size_t regularSize = 0;
  bool regular = false;
};

OpenedInput OpenInput(const std::string& path) {
  OpenedInput in;
  if (path == "-") {
#ifdef _WIN32
    _setmode(0, _O_BINARY);
#endif
    if (g_stdinClosed) throw InputError("cannot read standard input: " + ErrorText(EBADF));
    return in;
  }
#ifdef _WIN32
  RequireNotDirectory(path);
  in.fd = _open(path.c_str(), _O_RDONLY | _O_BINARY);
#else
  in.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
#endif
  if (in.fd < 0)
    throw InputError(Lumo::Base::FileNameForMessage(path) + ": cannot open: " + ErrorText(errno));
    // One look at what was opened: a folder opens for reading here and is told apart
    // without a second look up of the name, and a regular file tells its size.
#ifdef _WIN32
  struct _stat64 st;
  in.regular = _fstat64(in.fd, &st) == 0 && (st.st_mode & _S_IFREG) != 0;
#else
  struct stat st;
  const bool known = ::fstat(in.fd, &st) == 0;
  if (known && S_ISDIR(st.st_mode)) {
    CloseFd(in.fd);
    throw InputError(Lumo::Base::FileNameForMessage(path) + ": is a directory");
  }
  in.regular = known && S_ISREG(st.st_mode);
#endif
  if (in.regular && st.st_size > 0) in.regularSize = static_cast<size_t>(st.st_size);
  return in;
}

}  // namespace

void RequireReadableInput(const std::string& path) {
  const int fd = OpenInput(path).fd;
  if (fd != 0) CloseFd(fd);
}

std::string ReadInput(const std::string& path) {
  const OpenedInput in = OpenInput(path);
  const int fd = in.fd;
  std::string bytes;
  // Sized once where the file tells its size: a buffer grown by doubling leaves a trail
  // of freed large blocks, and the allocator answers those by keeping the later large
  // blocks of a big document's handling instead of returning them.
  bytes.reserve(in.regularSize);
  char buffer[1 << 16];
  for (;;) {
#ifdef _WIN32
    long n = _read(fd, buffer, sizeof buffer);
#else
    long n = ::read(fd, buffer, sizeof buffer);
#endif
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int error = errno;
      if (fd != 0) CloseFd(fd);
      throw InputError((path == "-" ? "standard input" : Lumo::Base::FileNameForMessage(path)) +
                       ": cannot read: " + ErrorText(error));
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
    // A short read that reaches the size the file told is its end: the read that would
    // confirm it with nothing is spared (a batch of small files makes one read each). A
    // short read before that size (some network file systems give them) reads on.
    if (in.regular && static_cast<size_t>(n) < sizeof buffer && bytes.size() >= in.regularSize)
      break;
  }
  if (fd != 0) CloseFd(fd);
  return bytes;
}

Lumo::Dom::Node LoadInputDocument(const std::string& path) {
  if (path != "-") {
    RequireNotDirectory(path);
    return Lumo::Dom::LoadXmlFile(path);
  }
  const std::string bytes = ReadInput(path);
  return Lumo::Dom::LoadXmlBytes(bytes);
}

void MakeOutputFolder(const std::string& outputFile, bool parents) {
  const std::filesystem::path folder = std::filesystem::path(outputFile).parent_path();
  std::error_code ec;
  if (!parents || folder.empty() || std::filesystem::is_directory(folder, ec)) return;
  std::filesystem::create_directories(folder, ec);
  if (!std::filesystem::is_directory(folder, ec))
    throw std::runtime_error("cannot create the folder \"" +
                             Lumo::Base::FileNameForMessage(folder.string()) + "\"" +
                             (ec ? ": " + ErrorText(ec.value()) : std::string()));
}

}  // namespace Lumo::Tool

using namespace Lumo::Tool;

namespace {

// A program started with a standard descriptor closed (by cron, a daemon, "2>&-") would
// hand that number to the first file it opens, and messages meant for standard error
// would land inside a result. The gaps are filled with the null device before anything
// is opened; standard input and output remember that they were closed.
void HoldStandardDescriptors() {
#ifndef _WIN32
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {  // cannot happen while fd is the lowest free number
      ::dup2(opened, fd);
      ::close(opened);
    }
    if (fd == 0) g_stdinClosed = true;
    if (fd == 1) g_stdoutClosed = true;
  }
#endif
}

// SIGINT, SIGTERM and SIGHUP end the run without leaving temporary files behind: they
// are taken by one thread (blocked everywhere else), which removes the temporary files in
// flight and ends the process with 128 + the signal. A signal ignored at start-up (nohup,
// a background job) stays ignored.
void EndCleanlyOnSignals() {
#ifndef _WIN32
  sigset_t set;
  sigemptyset(&set);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN)
      sigaddset(&set, signal);
  }
  if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
  std::thread([set] {
    int signal = 0;
    for (;;) {
      if (::sigwait(&set, &signal) != 0) continue;
      bool (*handler)(int) = g_signalHandler;
      if (!handler || !handler(signal)) break;
    }
    Lumo::Sign::AbandonTemporaryFiles();
    ::_exit(128 + signal);
  }).detach();
#endif
}

std::string HelpText() {
  std::string text = std::string("dezsign ") + Lumo::Base::LibraryVersion() +
                     " - sign, wrap, verify and unwrap the exchange's XML documents\n\nUsage:\n";
  for (const Command& c : Commands())
    if (c.usage[0]) text += std::string(c.usage) + "\n";
  text += "  dezsign COMMAND --help\n  dezsign --help | -h | --version\n\nCommands:\n";
  for (const Command& c : Commands()) {
    char line[256];
    std::snprintf(line, sizeof line, "  %-16s %s\n", c.name, c.summary);
    text += line;
  }
  text +=
      "\nFiles: a regular result file is replaced whole, only once complete (a new file: hard\n"
      "links to the old one keep the old content); a symbolic link is followed; a device,\n"
      "FIFO or socket is written in place, once the result is complete (nothing on failure).\n"
      "Temporary files are named .NAME.lumo*.tmp beside the result and are removed on\n"
      "failure and on SIGINT, SIGTERM and SIGHUP. A result is flushed to disk before it\n"
      "is renamed; a batch flushes each output folder once, at its end.\n"
      "\nExit status: 0 success, 1 failure (message on stderr), 2 usage error,\n"
      "3 (check-signature, verify) the document is refused, 128+N ended by signal N.\n";
  return text;
}

// "dezsign NAME --help": the command's own usage and options.
std::string CommandHelpText(const Command& c) {
  return std::string("dezsign ") + c.name + " - " + c.summary + "\n\nUsage:\n" +
         (c.help ? c.help : c.usage) +
         "\n\nSee dezsign --help for the other commands, what happens to result files and "
         "the exit status.\n";
}

// --help or -h among a command's arguments (before a "--" that ends the options).
bool AsksForHelp(const std::vector<std::string>& args) {
  for (const std::string& a : args) {
    if (a == "--") return false;
    if (a == "--help" || a == "-h") return true;
  }
  return false;
}

int Run(const std::vector<std::string>& args) {
  if (args.empty()) {
    std::fputs(HelpText().c_str(), stderr);
    return kExitUsage;
  }
  const std::string& first = args[0];
  if (first == "--help" || first == "-h" || first == "help") {
    WriteStdout(HelpText());
    return kExitOk;
  }
  if (first == "--version" || first == "-V") {
    WriteStdout(std::string("dezsign ") + Lumo::Base::LibraryVersion() + "\n");
    return kExitOk;
  }
  for (const Command& c : Commands()) {
    if (first != c.name) continue;
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (AsksForHelp(rest)) {
      WriteStdout(CommandHelpText(c));
      return kExitOk;
    }
    return c.run(rest);
  }
  // Commands may also claim options that start the line (e.g. --code); give each a try.
  for (const Command& c : Commands()) {
    if (c.name[0] != '-' || first.rfind(c.name, 0) != 0) continue;
    if (AsksForHelp(args)) {
      WriteStdout(CommandHelpText(c));
      return kExitOk;
    }
    return c.run(args);
  }
  std::fprintf(stderr, "dezsign: unknown command \"%s\" (see dezsign --help)\n",
               Lumo::Base::FileNameForMessage(first).c_str());
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  HoldStandardDescriptors();
  EndCleanlyOnSignals();
  try {
    return Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const UsageError& e) {
    std::fprintf(stderr, "dezsign: %s (see dezsign --help)\n", e.what());
    return kExitUsage;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "dezsign: %s\n", FailureText("", e.what(), 0).c_str());
    return kExitFailure;
  }
}
