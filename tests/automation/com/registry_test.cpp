// Reads the registration rows of the server frame back with RegQueryValueEx.
// Usage: registry_test.exe registered PATH   (PATH: the module's Windows path as loaded;
//                                           a path with a space is expected in short form)
//        registry_test.exe unregistered
//        registry_test.exe dump               (every key and value the server owns, for diffs)
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "check.h"

namespace {

const char* const kLibId = "{10C46255-7B54-46A7-964D-E9C16442E34F}";

struct ClassRow {
  const char* clsid;
  const char* progId;
  const char* description;
  const char* iid;
};
const ClassRow kClasses[] = {
    {"{8F66692E-BB74-4260-85C2-595777718FAB}", "LumoDEZLib.DEZSign", "DEZSign Object",
     "{733F15ED-DAF6-419C-A122-1F0D1CF9FA58}"},
    {"{0F014182-08B8-4A79-9619-85D9AF9720F7}", "LumoDEZLib.Profile", "Profile Object",
     "{25033B17-7135-4FA5-9D6B-273620C5FAC5}"},
};

bool KeyExists(const std::string& key) {
  HKEY h = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

// A REG_SZ value with its terminating zero; "<missing>" or "<type N>" otherwise.
std::string Value(const std::string& key, const char* name) {
  HKEY h = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
    return "<no key>";
  DWORD type = 0, size = 0;
  std::string r;
  if (RegQueryValueExA(h, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
    r = "<missing>";
  } else {
    std::vector<char> buf(size + 1);
    RegQueryValueExA(h, name, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &size);
    if (type != REG_SZ) {
      r = "<type " + std::to_string(type) + ">";
    } else if (size == 0 || buf[size - 1] != '\0') {
      r = "<not zero-terminated>";
    } else {
      r.assign(buf.data(), size - 1);
      if (std::strlen(r.c_str()) + 1 != size) r = "<size " + std::to_string(size) + ">";
    }
  }
  RegCloseKey(h);
  return r;
}

std::set<std::string> SubKeys(const std::string& key) {
  std::set<std::string> r;
  HKEY h = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return r;
  char name[512];
  for (DWORD i = 0;; ++i) {
    DWORD n = sizeof name;
    if (RegEnumKeyExA(h, i, name, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    r.insert(name);
  }
  RegCloseKey(h);
  return r;
}

std::set<std::string> ValueNames(const std::string& key) {
  std::set<std::string> r;
  HKEY h = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return r;
  char name[512];
  for (DWORD i = 0;; ++i) {
    DWORD n = sizeof name;
    if (RegEnumValueA(h, i, name, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    r.insert(name[0] ? name : "(default)");
  }
  RegCloseKey(h);
  return r;
}

std::string Join(const std::set<std::string>& s) {
  std::string r;
  for (const auto& x : s) r += (r.empty() ? "" : ",") + x;
  return r;
}

#define CHECK_STR(a, b)                                                               \
  do {                                                                                \
    std::string a_ = (a), b_ = (b);                                                   \
    ComCheck::Report(a_ == b_, __FILE__, __LINE__,                                    \
                     std::string(#a) + " = \"" + a_ + "\", expected \"" + b_ + "\""); \
  } while (0)

void Dump(const std::string& key, int depth) {
  std::printf("%*s[%s]\n", depth * 2, "", key.c_str());
  for (const auto& v : ValueNames(key))
    std::printf("%*s%s=%s\n", depth * 2 + 2, "", v.c_str(),
                Value(key, v == "(default)" ? nullptr : v.c_str()).c_str());
  for (const auto& k : SubKeys(key)) Dump(key + "\\" + k, depth + 1);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "dump") {
    for (const ClassRow& c : kClasses) {
      Dump(std::string("CLSID\\") + c.clsid, 0);
      Dump(c.progId, 0);
      Dump(std::string("Interface\\") + c.iid, 0);
    }
    Dump(std::string("TypeLib\\") + kLibId, 0);
    return 0;
  }
  if (mode == "registered" && argc > 2) {
    std::string path = argv[2];
    if (path.find(' ') != std::string::npos) {
      char shortPath[MAX_PATH * 2];
      DWORD n = GetShortPathNameA(path.c_str(), shortPath, sizeof shortPath);
      CHECK(n > 0);
      if (n > 0) path = shortPath;
      std::printf("expecting the short path %s\n", path.c_str());
      CHECK(path.find(' ') == std::string::npos);
    }
    for (const ClassRow& c : kClasses) {
      const std::string key = std::string("CLSID\\") + c.clsid;
      CHECK_STR(Value(key, nullptr), c.description);
      CHECK_STR(Value(key + "\\InprocServer32", nullptr), path);
      CHECK_STR(Value(key + "\\InprocServer32", "ThreadingModel"), "Apartment");
      CHECK_STR(Value(c.progId, nullptr), c.description);
      CHECK_STR(Value(std::string(c.progId) + "\\Clsid", nullptr), c.clsid);
      CHECK_STR(Value(key + "\\ProgID", nullptr), c.progId);
      CHECK_STR(Value(key + "\\Version", nullptr), "1.0");
      CHECK_STR(Value(key + "\\TypeLib", nullptr), kLibId);
      // Exactly these rows: no other keys or values.
      CHECK_STR(Join(SubKeys(key)), "InprocServer32,ProgID,TypeLib,Version");
      CHECK_STR(Join(ValueNames(key)), "(default)");
      CHECK_STR(Join(SubKeys(key + "\\InprocServer32")), "");
      CHECK_STR(Join(ValueNames(key + "\\InprocServer32")), "(default),ThreadingModel");
      for (const char* k : {"\\ProgID", "\\Version", "\\TypeLib"}) {
        CHECK_STR(Join(SubKeys(key + k)), "");
        CHECK_STR(Join(ValueNames(key + k)), "(default)");
      }
      CHECK_STR(Join(SubKeys(c.progId)), "Clsid");
      CHECK_STR(Join(ValueNames(c.progId)), "(default)");
      CHECK_STR(Join(ValueNames(std::string(c.progId) + "\\Clsid")), "(default)");
      CHECK(!KeyExists(std::string(c.progId) + ".1"));
      CHECK(!KeyExists(std::string(c.progId) + "\\CurVer"));
    }
    // The type library, registered with RegisterTypeLib under locale 0.
    const std::string lib = std::string("TypeLib\\") + kLibId + "\\1.0";
    CHECK_STR(Value(lib, nullptr), "LumoDEZLib Library");
    CHECK(KeyExists(lib + "\\0\\win32"));
    std::printf("type library registered as %s\n", Value(lib + "\\0\\win32", nullptr).c_str());
    return ComCheck::Summary("registry_test registered");
  }
  if (mode == "unregistered") {
    for (const ClassRow& c : kClasses) {
      const std::string key = std::string("CLSID\\") + c.clsid;
      CHECK(!KeyExists(key));
      CHECK(!KeyExists(c.progId));
    }
    CHECK(!KeyExists(std::string("TypeLib\\") + kLibId + "\\1.0"));
    return ComCheck::Summary("registry_test unregistered");
  }
  std::printf("usage: registry_test registered PATH | unregistered | dump\n");
  return 2;
}
