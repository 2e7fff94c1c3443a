// Module start-up and shut-down, and the four exported entry points.
#include <string>

#include "automation/com/server.h"
#include "base/errors.h"

namespace Lumo::Automation::Com {
TComObjectBase* CreateCBRSign(TAutoObjectFactory* factory, IUnknown* outer);
TComObjectBase* CreateProfile(TAutoObjectFactory* factory, IUnknown* outer);

// The error that stopped start-up (the module then serves no class).
std::string StartupError;

namespace {

#ifdef LUMO_COM_FAULT_INJECTION
// Test build only (LumoDEZLib_fault.dll, never shipped): the environment variable
// LUMO_COM_FAULT breaks start-up or object creation so that the error paths of the server frame
// can be run under Wine: "clsid", "kind", "intf", "create".
std::string Fault() {
  char buf[32] = {};
  GetEnvironmentVariableA("LUMO_COM_FAULT", buf, sizeof buf);
  return buf;
}
TComObjectBase* FailingCreator(TAutoObjectFactory*, IUnknown*) {
  throw Lumo::Base::ELumoDEZError("Сбой при создании объекта");
}
#endif

void StartUp() {
  ComServer = new TComServer();  // also loads and holds OLEAUT32.DLL
  try {
    CLSID profileClass = CLSID_Profile;
    IID profileIntf = IID_IProfile;
    TObjectCreator profileCreator = CreateProfile;
#ifdef LUMO_COM_FAULT_INJECTION
    const std::string fault = Fault();
    if (fault == "clsid") profileClass.Data1 ^= 1;     // no such class in the library
    if (fault == "kind") profileClass = IID_IProfile;  // an interface, not a class
    if (fault == "intf") profileIntf = IID_ICBRSign;   // class does not implement it
    if (fault == "create") profileCreator = FailingCreator;
#endif
    // Profile first, then DEZSign; the list has the newest at its head.
    new TAutoObjectFactory(profileClass, profileIntf, "TProfile", profileCreator);
    new TAutoObjectFactory(CLSID_DEZSign, IID_ICBRSign, "TCBRSign", CreateCBRSign);
  } catch (const Lumo::Base::ELumoException& e) {
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
}  // namespace Lumo::Automation::Com

using namespace Lumo::Automation::Com;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      ModuleInstance = instance;
      DisableThreadLibraryCalls(instance);
      StartUp();
      break;
    case DLL_PROCESS_DETACH: ShutDown(reserved != nullptr); break;
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
