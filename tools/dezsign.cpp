// dezsign: the library's command-line face. Commands live in cmd_*.cpp.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "tools/command.h"

#ifndef LUMO_VERSION
#define LUMO_VERSION "0.0.0"
#endif

namespace DezsignTool {

static std::vector<Command>& Registry() {
  static std::vector<Command> commands;
  return commands;
}

void RegisterCommand(const Command& command) {
  auto& commands = Registry();
  commands.push_back(command);
  std::stable_sort(commands.begin(), commands.end(),
                   [](const Command& a, const Command& b) { return a.order < b.order; });
}

const std::vector<Command>& Commands() { return Registry(); }

void WriteStdout(const std::string& bytes) {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

std::string ReadInput(const std::string& path) {
  if (path == "-") {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    std::ostringstream buffer;
    buffer << std::cin.rdbuf();
    return buffer.str();
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot open \"" + path + "\"");
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

unsigned BatchWorkers(unsigned requested, size_t items) {
  unsigned workers = requested ? requested : std::max(1u, std::thread::hardware_concurrency());
  return static_cast<unsigned>(std::max<size_t>(1, std::min<size_t>(workers, items)));
}

void RunOnWorkers(unsigned workers, const std::function<void()>& work) {
  std::vector<std::thread> threads;
  for (unsigned t = 1; t < workers; ++t) threads.emplace_back(work);
  work();
  for (auto& t : threads) t.join();
}

}  // namespace DezsignTool

using namespace DezsignTool;

static void PrintHelp(std::FILE* out) {
  std::fprintf(out,
               "dezsign " LUMO_VERSION " - sign, wrap, verify and unwrap the exchange's XML documents\n\n"
               "Usage:\n");
  for (const Command& c : Commands())
    if (c.usage[0]) std::fprintf(out, "%s\n", c.usage);
  std::fprintf(out,
               "  dezsign --help | --version\n\n"
               "Commands:\n");
  for (const Command& c : Commands()) std::fprintf(out, "  %-16s %s\n", c.name, c.summary);
  std::fprintf(out,
               "\nExit status: 0 success, 1 failure (message on stderr), 2 usage error.\n");
}

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    PrintHelp(stderr);
    return kExitUsage;
  }
  const std::string& first = args[0];
  if (first == "--help" || first == "-h" || first == "help") {
    PrintHelp(stdout);
    return kExitOk;
  }
  if (first == "--version" || first == "-V") {
    std::printf("dezsign %s\n", LUMO_VERSION);
    return kExitOk;
  }
  for (const Command& c : Commands()) {
    if (first == c.name) {
      try {
        return c.run(std::vector<std::string>(args.begin() + 1, args.end()));
      } catch (const std::exception& e) {
        std::fprintf(stderr, "dezsign: %s\n", e.what());
        return kExitFailure;
      }
    }
  }
  // Commands may also claim options that start the line (e.g. --code); give each a try.
  for (const Command& c : Commands()) {
    if (c.name[0] == '-' && first.rfind(c.name, 0) == 0) return c.run(args);
  }
  std::fprintf(stderr, "dezsign: unknown command \"%s\" (see dezsign --help)\n", first.c_str());
  return kExitUsage;
}
