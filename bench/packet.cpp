// bench_packet_gen OUT.xml [--1251] [--bytes N] [--message] [--prefixed]
// Writes a bank-message packet (default: 10 MB of UTF-8) or, with --message, one ~3 KB
// payment order, for benchmarks that run as shell scripts; --prefixed: another producer's
// packet, some attributes in namespaces of their own (UTF-8 only).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/packet.h"

int main(int argc, char** argv) {
  const char* outName = nullptr;
  bool cp1251 = false, message = false, prefixed = false;
  size_t bytes = 10u << 20;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--1251") == 0) {
      cp1251 = true;
    } else if (std::strcmp(argv[i], "--prefixed") == 0) {
      prefixed = true;
    } else if (std::strcmp(argv[i], "--message") == 0) {
      message = true;
    } else if (std::strcmp(argv[i], "--bytes") == 0 && i + 1 < argc) {
      char* end = nullptr;
      unsigned long long n = std::strtoull(argv[++i], &end, 10);
      if (!end || *end || n == 0) {
        std::fprintf(stderr, "bench_packet_gen: bad --bytes value\n");
        return 2;
      }
      bytes = static_cast<size_t>(n);
    } else if (argv[i][0] != '-' && !outName) {
      outName = argv[i];
    } else {
      outName = nullptr;
      break;
    }
  }
  if (!outName || (prefixed && (cp1251 || message))) {
    std::fprintf(stderr,
                 "usage: bench_packet_gen OUT.xml [--1251] [--bytes N] [--message] [--prefixed]\n"
                 "       (--prefixed: a packet in UTF-8)\n");
    return 2;
  }
  std::string data = message    ? (cp1251 ? MakeMessage1251() : MakeMessageUtf8())
                     : prefixed ? MakePrefixedPacketUtf8(bytes)
                                : (cp1251 ? MakePacket1251(bytes) : MakePacketUtf8(bytes));
  FILE* f = std::fopen(outName, "wb");
  if (!f || std::fwrite(data.data(), 1, data.size(), f) != data.size() || std::fclose(f) != 0) {
    std::fprintf(stderr, "bench_packet_gen: cannot write %s\n", outName);
    return 1;
  }
  return 0;
}
