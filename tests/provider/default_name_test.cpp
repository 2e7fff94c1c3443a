// The default library name is found through the dynamic loader's search: this test
// executable is not linked with the test provider; its run path holds the test provider's
// folder (tests/provider/extra.cmake), as an installed core's run path holds its own folder.
#include "provider/signatura.h"

#include <gtest/gtest.h>

#include "test_provider_control.h"
#include "util/errors.h"

#ifndef _WIN32
#include <dlfcn.h>

namespace {

TEST(SignaturaDefaultName, LoadsLibspki1ThroughTheLoaderSearch) {
  Signatura::SetProviderLibraryName("");
  ASSERT_EQ(Signatura::ProviderLibraryName(), "libspki1.so");
  ASSERT_FALSE(Signatura::ProviderLoaded());

  uint32_t context = Signatura::TSignatura::Initialize("default", 0x41);
  ASSERT_TRUE(Signatura::ProviderLoaded());
  EXPECT_EQ(Signatura::ProviderLoadError(), "");

  // The library the binding loaded is the test provider: ask it.
  void* h = dlopen("libspki1.so", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(h, nullptr);
  auto getStats = reinterpret_cast<PFN_TestProvider_GetStats>(dlsym(h, "TestProvider_GetStats"));
  ASSERT_NE(getStats, nullptr);
  TestProviderStats st;
  getStats(&st);
  EXPECT_EQ(st.openContexts, 1);
  EXPECT_STREQ(st.lastProfile, "default");

  std::string sig = Signatura::TSignatura::SignDetached(context, "abc", 0);
  Signatura::TSignatura::VerifyDetached(context, "abc", sig, 0);
  Signatura::TSignatura::Uninitialize(context);
  getStats(&st);
  EXPECT_EQ(st.openContexts, 0);
  EXPECT_EQ(st.freeMemCalls, 1u);
  EXPECT_EQ(st.freeVerifyResultCalls, 1u);
  dlclose(h);
  Signatura::UnloadProvider();
  EXPECT_FALSE(Signatura::ProviderLoaded());
}

}  // namespace
#endif
