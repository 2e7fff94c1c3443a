// The providers we build export exactly what the list of entry points promises: the test
// provider whole, and each of its variants without just the entry points it leaves out.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "test_provider_control.h"

#ifndef _WIN32
#include <dlfcn.h>

namespace {

TEST(EntryPoints, EachProviderBuildExportsTheListLessWhatItLeavesOut) {
  std::set<std::string> all;
#define LUMO_NAME(name, result, parameters) all.insert("VCERT_" #name);
  VCERT_ENTRY_POINTS(LUMO_NAME)
#undef LUMO_NAME
  const std::set<std::string> none;
  std::set<std::string> allButErrorText = all;
  allButErrorText.erase("VCERT_GetErrorText");
  const struct {
    const char* path;
    std::set<std::string> missing;
  } builds[] = {
      {LUMO_TEST_PROVIDER_PATH, none},
      {LUMO_TEST_PROVIDER_SLOW_PATH, none},
      {LUMO_TEST_PROVIDER_NO_ERRORTEXT_PATH, {"VCERT_GetErrorText"}},
      {LUMO_TEST_PROVIDER_NO_FREE_PATH, {"VCERT_FreeMem", "VCERT_FreeVerifyResult"}},
      {LUMO_TEST_PROVIDER_ONLY_ERRORTEXT_PATH, allButErrorText},
  };
  for (const auto& b : builds) {
    SCOPED_TRACE(b.path);
    void* handle = dlopen(b.path, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    std::set<std::string> missing;
    for (const std::string& name : all)
      if (dlsym(handle, name.c_str()) == nullptr) missing.insert(name);
    EXPECT_EQ(missing, b.missing);
    dlclose(handle);
  }
}

}  // namespace
#endif
