// A very small check harness for the Windows server's test programs (run under Wine):
// every check prints a line on failure, and the program ends with "N passed, M failed"
// and exit status M (capped at 125).
#pragma once

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace ComCheck {

inline int& Passed() {
  static int n = 0;
  return n;
}
inline int& Failed() {
  static int n = 0;
  return n;
}

inline std::string Narrow(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), nullptr, 0, nullptr, nullptr);
  std::string s((size_t)n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), &s[0], n, nullptr, nullptr);
  return s;
}

inline std::wstring Wide(const char* utf8) {
  std::string s(utf8);
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), nullptr, 0);
  std::wstring w((size_t)n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), &w[0], n);
  return w;
}

inline void Report(bool ok, const char* file, int line, const std::string& what) {
  if (ok) {
    ++Passed();
  } else {
    ++Failed();
    std::printf("FAIL %s:%d: %s\n", file, line, what.c_str());
    std::fflush(stdout);
  }
}

inline std::string Hex(long v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08lX", (unsigned long)v);
  return b;
}

inline int Summary(const char* name) {
  std::printf("%s: %d passed, %d failed\n", name, Passed(), Failed());
  std::fflush(stdout);
  return Failed() > 125 ? 125 : Failed();
}

}  // namespace ComCheck

#define CHECK(cond) ComCheck::Report((cond), __FILE__, __LINE__, #cond)
#define CHECK_HR(expr, expected)                                                       \
  do {                                                                                 \
    long hr_ = (long)(expr);                                                           \
    ComCheck::Report(hr_ == (long)(expected), __FILE__, __LINE__,                      \
                     std::string(#expr) + " = " + ComCheck::Hex(hr_) + ", expected " + \
                         ComCheck::Hex((long)(expected)));                             \
  } while (0)
#define CHECK_EQ(a, b)                                                                         \
  do {                                                                                         \
    auto a_ = (a);                                                                             \
    auto b_ = (b);                                                                             \
    ComCheck::Report((long long)a_ == (long long)b_, __FILE__, __LINE__,                       \
                     std::string(#a) + " = " + std::to_string((long long)a_) + ", expected " + \
                         std::to_string((long long)b_));                                       \
  } while (0)
#define CHECK_WSTR(a, b)                                                                    \
  do {                                                                                      \
    std::wstring a_ = (a);                                                                  \
    std::wstring b_ = (b);                                                                  \
    ComCheck::Report(a_ == b_, __FILE__, __LINE__,                                          \
                     std::string(#a) + " = \"" + ComCheck::Narrow(a_) + "\", expected \"" + \
                         ComCheck::Narrow(b_) + "\"");                                      \
  } while (0)
