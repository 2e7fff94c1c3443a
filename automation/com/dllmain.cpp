// Module start-up and shut-down, and the four exported entry points (Part 1.4).
#include <string>

#include "automation/com/server.h"
#include "util/errors.h"

namespace LumoCom {
TComObjectBase* CreateCBRSign(TAutoObjectFactory* factory, IUnknown* outer);
TComObjectBase* CreateProfile(TAutoObjectFactory* factory, IUnknown* outer);

// The error that stopped start-up (the module then serves no class).
std::string StartupError;

namespace {

void StartUp() {
  ComServer = new TComServer();  // also loads and holds OLEAUT32.DLL
  try {
    // Profile first, then DEZSign; the list has the newest at its head.
    new TAutoObjectFactory(CLSID_Profile, IID_IProfile, "TProfile", CreateProfile);
    new TAutoObjectFactory(CLSID_DEZSign, IID_ICBRSign, "TCBRSign", CreateCBRSign);
  } catch (const Lumo::ELumoException& e) {
    StartupError = e.Message();
    ComServer->FreeFactories();
    OutputDebugStringA(("LumoDEZLib: " + StartupError).c_str());
  } catch (...) {
    StartupError = "start-up failed";
    ComServer->FreeFactories();
  }
}

void ShutDown(bool processExit) {
  if (!ComServer) return;
  ComServer->BeginShutdown();
  if (processExit) return;  // the process is ending: the platform releases everything
  delete ComServer;
  ComServer = nullptr;
}

}  // namespace
}  // namespace LumoCom

using namespace LumoCom;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      ModuleInstance = instance;
      DisableThreadLibraryCalls(instance);
      StartUp();
      break;
    case DLL_PROCESS_DETACH:
      ShutDown(reserved != nullptr);
      break;
  }
  return TRUE;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID classId, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  TAutoObjectFactory* factory = ComServer ? ComServer->FindFactory(classId) : nullptr;
  if (!factory) return CLASS_E_CLASSNOTAVAILABLE;
  return factory->QueryInterface(riid, ppv) == S_OK ? S_OK : E_NOINTERFACE;
}

extern "C" HRESULT WINAPI DllCanUnloadNow() {
  if (!ComServer) return S_OK;
  return (ComServer->ObjectCount() == 0 && ComServer->FactoryCount() == 0) ? S_OK : S_FALSE;
}

extern "C" HRESULT WINAPI DllRegisterServer() {
  if (!ComServer || !StartupError.empty()) return E_FAIL;
  return ComServer->Register(true);
}

extern "C" HRESULT WINAPI DllUnregisterServer() {
  if (!ComServer || !StartupError.empty()) return E_FAIL;
  return ComServer->Register(false);
}
