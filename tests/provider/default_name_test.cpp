// The default library name is found through the dynamic loader's search: this test
// executable is not linked with the test provider; its run path holds the test provider's
// folder (tests/provider/extra.cmake), as an installed core's run path holds its own folder.
#include "provider/signatura.h"

#include <gtest/gtest.h>

#include "base/errors.h"
#include "test_provider_control.h"

#ifndef _WIN32
#include <dlfcn.h>

namespace {

TEST(SignaturaDefaultName, LoadsLibspki1ThroughTheLoaderSearch) {
  Lumo::Provider::SetProviderLibraryName("");
  ASSERT_EQ(Lumo::Provider::ProviderLibraryName(), "libspki1.so");
  ASSERT_FALSE(Lumo::Provider::ProviderLoaded());

  uint32_t context = Lumo::Provider::TSignatura::Initialize("default", 0x41);
  ASSERT_TRUE(Lumo::Provider::ProviderLoaded());
  EXPECT_EQ(Lumo::Provider::ProviderLoadError(), "");

  // The library the binding loaded is the test provider: ask it.
  void* h = dlopen("libspki1.so", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(h, nullptr);
  auto getStats = reinterpret_cast<PFN_TestProvider_GetStats>(dlsym(h, "TestProvider_GetStats"));
  ASSERT_NE(getStats, nullptr);
  TestProviderStats st;
  getStats(&st);
  EXPECT_EQ(st.openContexts, 1);
  EXPECT_STREQ(st.lastProfile, "default");

  std::string sig = Lumo::Provider::TSignatura::SignDetached(context, "abc", 0);
  Lumo::Provider::TSignatura::VerifyDetached(context, "abc", sig, 0);
  Lumo::Provider::TSignatura::Uninitialize(context);
  getStats(&st);
  EXPECT_EQ(st.openContexts, 0);
  EXPECT_EQ(st.freeMemCalls, 1u);
  EXPECT_EQ(st.freeVerifyResultCalls, 1u);
  dlclose(h);
  Lumo::Provider::UnloadProvider();
  EXPECT_FALSE(Lumo::Provider::ProviderLoaded());
}

}  // namespace
#endif
