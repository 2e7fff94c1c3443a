// The error paths of the server frame through LumoDEZLib_fault.dll (the server built with fault
// injection; LUMO_COM_FAULT in the environment chooses the fault):
//   clsid / kind / intf: start-up fails with "Type information missing for class TProfile",
//     "Incorrect type information for class TProfile" or "Dispatch interface missing from
//     class TProfile"; the module then serves no class and registration fails.
//   create: building a Profile object raises a library error: E_UNEXPECTED (after the
//     "ZUV Error" message box), and no object is left alive.
// Usage: fault_test.exe MODE PATH\LumoDEZLib_fault.dll
#include <windows.h>
#include <ole2.h>

#include <string>

#include "LumoDEZLib.h"
#include "check.h"

namespace {

std::string g_debugText;

// OutputDebugStringA raises DBG_PRINTEXCEPTION_C with the text: the server reports a
// start-up failure that way.
LONG CALLBACK OnException(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* r = info->ExceptionRecord;
  if (r->ExceptionCode == DBG_PRINTEXCEPTION_C && r->NumberParameters >= 2)
    g_debugText.append(reinterpret_cast<const char*>(r->ExceptionInformation[1]),
                       static_cast<size_t>(r->ExceptionInformation[0]));
  return EXCEPTION_CONTINUE_SEARCH;
}

// The message box of a failing object build, recorded instead of shown: the import of
// MessageBoxW in the loaded server is pointed at this function (a headless prefix has no
// display to show the box on).
std::wstring g_boxText, g_boxCaption;
UINT g_boxType = 0;
int g_boxCount = 0;
int WINAPI RecordMessageBox(HWND, LPCWSTR text, LPCWSTR caption, UINT type) {
  g_boxText = text ? text : L"";
  g_boxCaption = caption ? caption : L"";
  g_boxType = type;
  ++g_boxCount;
  return IDOK;
}

bool HookMessageBox(HMODULE module) {
  auto base = reinterpret_cast<BYTE*>(module);
  auto dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  void* target =
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "MessageBoxW"));
  for (auto imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); imp->Name;
       ++imp) {
    if (lstrcmpiA(reinterpret_cast<char*>(base + imp->Name), "user32.dll") != 0) continue;
    for (auto thunk = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
         thunk->u1.Function; ++thunk) {
      if (reinterpret_cast<void*>(thunk->u1.Function) != target) continue;
      DWORD old = 0;
      VirtualProtect(&thunk->u1.Function, sizeof(void*), PAGE_READWRITE, &old);
      thunk->u1.Function = reinterpret_cast<decltype(thunk->u1.Function)>(&RecordMessageBox);
      VirtualProtect(&thunk->u1.Function, sizeof(void*), old, &old);
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::printf("usage: fault_test clsid|kind|intf|create PATH\n");
    return 2;
  }
  const std::string mode = argv[1];
  CoInitialize(nullptr);
  AddVectoredExceptionHandler(1, OnException);
  HMODULE dll = LoadLibraryA(argv[2]);
  CHECK(dll != nullptr);
  if (!dll) return ComCheck::Summary("fault_test");
  auto getClassObject = reinterpret_cast<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>(
      reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
  auto canUnload = reinterpret_cast<HRESULT(WINAPI*)()>(
      reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
  auto registerServer = reinterpret_cast<HRESULT(WINAPI*)()>(
      reinterpret_cast<void*>(GetProcAddress(dll, "DllRegisterServer")));
  auto unregisterServer = reinterpret_cast<HRESULT(WINAPI*)()>(
      reinterpret_cast<void*>(GetProcAddress(dll, "DllUnregisterServer")));

  if (mode == "clsid" || mode == "kind" || mode == "intf") {
    const char* expected =
        mode == "clsid"  ? "LumoDEZLib: Type information missing for class TProfile"
        : mode == "kind" ? "LumoDEZLib: Incorrect type information for class TProfile"
                         : "LumoDEZLib: Dispatch interface missing from class TProfile";
    std::printf("  note: start-up reported \"%s\"\n", g_debugText.c_str());
    ComCheck::Report(g_debugText.find(expected) != std::string::npos, __FILE__, __LINE__,
                     std::string("start-up text ") + expected);
    void* p = reinterpret_cast<void*>(1);
    CHECK_HR(getClassObject(CLSID_DEZSign, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
    CHECK(p == nullptr);
    CHECK_HR(getClassObject(CLSID_Profile, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
    CHECK_HR(registerServer(), E_FAIL);
    CHECK_HR(unregisterServer(), E_FAIL);
    CHECK_HR(canUnload(), S_OK);
  } else if (mode == "create") {
    CHECK(g_debugText.empty());
    CHECK(HookMessageBox(dll));
    IClassFactory* f = nullptr;
    CHECK_HR(getClassObject(CLSID_Profile, IID_IClassFactory, reinterpret_cast<void**>(&f)), S_OK);
    if (f) {
      void* obj = reinterpret_cast<void*>(1);
      CHECK_HR(f->CreateInstance(nullptr, IID_IProfile, &obj), E_UNEXPECTED);
      CHECK(obj == nullptr);
      CHECK_EQ(g_boxCount, 1);
      CHECK_WSTR(g_boxCaption, L"ZUV Error");
      CHECK_WSTR(g_boxText, L"Сбой при создании объекта.");  // full stop appended
      CHECK_EQ(g_boxType, (UINT)(MB_OK | MB_ICONSTOP | MB_SETFOREGROUND));
      f->Release();
    }
    CHECK_HR(canUnload(), S_OK);  // nothing left alive
    // The other class still works.
    CHECK_HR(getClassObject(CLSID_DEZSign, IID_IClassFactory, reinterpret_cast<void**>(&f)), S_OK);
    if (f) {
      IUnknown* obj = nullptr;
      CHECK_HR(f->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&obj)), S_OK);
      if (obj) obj->Release();
      f->Release();
    }
  } else {
    std::printf("unknown mode\n");
    return 2;
  }
  CoUninitialize();
  return ComCheck::Summary(("fault_test " + mode).c_str());
}
