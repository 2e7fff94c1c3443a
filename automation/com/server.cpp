// The in-process server frame: start-up and shut-down, the four entry
// points, the class factories, registration, the object base and error conversion.
#include "automation/com/server.h"

#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "automation/error_info.h"
#include "base/encoding.h"
#include "base/errors.h"

namespace Lumo::Automation::Com {

using Lumo::Base::ELumoException;
using Lumo::Base::EPlatformError;

TComServer* ComServer = nullptr;
HINSTANCE ModuleInstance = nullptr;

namespace {

// The library's text conversions, for the platform's wide strings (UTF-16 here too).
static_assert(sizeof(wchar_t) == sizeof(char16_t));

std::wstring WStringOf(Lumo::Base::WideView v) {
  return std::wstring(reinterpret_cast<const wchar_t*>(v.data()), v.size());
}
Lumo::Base::WideView ViewOf(const std::wstring& w) {
  return Lumo::Base::WideView(reinterpret_cast<const char16_t*>(w.data()), w.size());
}

std::wstring WideFromUtf8(const std::string& s) { return WStringOf(Lumo::Base::WideFromUtf8(s)); }
std::string Utf8FromWide(const std::wstring& w) { return Lumo::Base::Utf8FromWide(ViewOf(w)); }
// Registry strings are ANSI (RegSetValueExA): the thread's ANSI code page.
std::string AnsiFromWide(const std::wstring& w) { return Lumo::Base::WideToAnsi(ViewOf(w)); }
std::wstring WideFromAnsi(const std::string& s) { return WStringOf(Lumo::Base::AnsiToWide(s)); }

std::string Format(const char* fmt, const std::string& arg) {
  std::vector<char> buf(std::string(fmt).size() + arg.size() + 16);
  std::snprintf(buf.data(), buf.size(), fmt, arg.c_str());
  return buf.data();
}

std::string GuidToStringA(const GUID& g) {
  LPOLESTR s = nullptr;
  if (FAILED(StringFromCLSID(g, &s))) return {};
  std::string r = Utf8FromWide(s);  // plain ASCII
  CoTaskMemFree(s);
  return r;
}

// The system's message for a status code, or "OLE error %.8X".
std::wstring SysErrorMessage(HRESULT code) {
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                           nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text),
                           0, nullptr);
  std::wstring r;
  if (n && text) r = TrimDescription(text);
  if (text) LocalFree(text);
  if (r.empty()) {
    wchar_t buf[32];
    swprintf(buf, 32, L"OLE error %.8X", static_cast<unsigned>(code));
    r = buf;
  }
  return r;
}

// ExtractFilePath: the folder part of a path, with its trailing separator.
std::string ExtractFilePath(const std::string& path) {
  size_t p = path.find_last_of("\\:");
  return p == std::string::npos ? std::string() : path.substr(0, p + 1);
}

}  // namespace

std::wstring TrimDescription(const std::wstring& text) {
  size_t n = text.size();
  while (n > 0 && (text[n - 1] == L'.' || text[n - 1] <= L' ')) --n;
  return text.substr(0, n);
}

void RaiseOleError(HRESULT code) {
  std::wstring description;
  DWORD helpContext = 0;
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) == S_OK && info) {
    BSTR d = nullptr;
    if (SUCCEEDED(info->GetDescription(&d)) && d) description = TrimDescription(d);
    SysFreeString(d);
    info->GetHelpContext(&helpContext);
    info->Release();
  }
  if (description.empty()) description = SysErrorMessage(code);
  throw EPlatformError(Utf8FromWide(description), static_cast<int32_t>(code));
}

std::string ModuleLongPath() {
  char path[262];
  DWORD n = GetModuleFileNameA(ModuleInstance, path, sizeof path);
  if (n == 0 || n >= sizeof path) return {};
  char longPath[MAX_PATH * 2];
  DWORD m = GetLongPathNameA(path, longPath, sizeof longPath);
  if (m == 0 || m >= sizeof longPath) return path;
  return longPath;
}

// ---- Lock ------------------------------------------------------------------------
TMultiReadExclusiveWriteSync::TMultiReadExclusiveWriteSync() {
  InitializeCriticalSection(&cs_);
  InitializeConditionVariable(&changed_);
}
TMultiReadExclusiveWriteSync::~TMultiReadExclusiveWriteSync() { DeleteCriticalSection(&cs_); }

void TMultiReadExclusiveWriteSync::BeginRead() {
  EnterCriticalSection(&cs_);
  const DWORD self = GetCurrentThreadId();
  while (writer_ != 0 && writer_ != self) SleepConditionVariableCS(&changed_, &cs_, INFINITE);
  ++readers_;
  LeaveCriticalSection(&cs_);
}

void TMultiReadExclusiveWriteSync::EndRead() {
  EnterCriticalSection(&cs_);
  if (--readers_ == 0) WakeAllConditionVariable(&changed_);
  LeaveCriticalSection(&cs_);
}

void TMultiReadExclusiveWriteSync::BeginWrite() {
  EnterCriticalSection(&cs_);
  const DWORD self = GetCurrentThreadId();
  if (writer_ == self) {
    ++writerDepth_;  // re-entrant for the thread that holds it exclusive
  } else {
    while (writer_ != 0 || readers_ > 0) SleepConditionVariableCS(&changed_, &cs_, INFINITE);
    writer_ = self;
    writerDepth_ = 1;
  }
  LeaveCriticalSection(&cs_);
}

void TMultiReadExclusiveWriteSync::EndWrite() {
  EnterCriticalSection(&cs_);
  if (--writerDepth_ == 0) {
    writer_ = 0;
    WakeAllConditionVariable(&changed_);
  }
  LeaveCriticalSection(&cs_);
}

namespace {
struct ReadGuard {
  explicit ReadGuard(TMultiReadExclusiveWriteSync& l) : lock(l) { lock.BeginRead(); }
  ~ReadGuard() { lock.EndRead(); }
  TMultiReadExclusiveWriteSync& lock;
};
struct WriteGuard {
  explicit WriteGuard(TMultiReadExclusiveWriteSync& l) : lock(l) { lock.BeginWrite(); }
  ~WriteGuard() { lock.EndWrite(); }
  TMultiReadExclusiveWriteSync& lock;
};
}  // namespace

// ---- Server object ---------------------------------------------------------------
TComServer::TComServer() { oleAut_ = LoadLibraryA("OLEAUT32.DLL"); }

TComServer::~TComServer() {
  FreeFactories();
  if (typeLib_) typeLib_->Release();
  typeLib_ = nullptr;
  if (oleAut_) FreeLibrary(oleAut_);
}

ITypeLib* TComServer::TypeLib() {
  if (!typeLib_) {
    const std::string path = ModuleLongPath();
    OleCheck(LoadTypeLibEx(WideFromAnsi(path).c_str(), REGKIND_NONE, &typeLib_));
  }
  return typeLib_;
}

const std::wstring& TComServer::ServerName() {
  if (serverName_.empty() && typeLib_) {
    BSTR name = nullptr;
    if (SUCCEEDED(typeLib_->GetDocumentation(-1, &name, nullptr, nullptr, nullptr)) && name)
      serverName_ = name;
    SysFreeString(name);
  }
  return serverName_;
}

void TComServer::AddFactory(TAutoObjectFactory* factory) {
  WriteGuard g(lock_);
  factory->Next = factories_;  // newest at the head
  factories_ = factory;
}

void TComServer::RemoveFactory(TAutoObjectFactory* factory) {
  WriteGuard g(lock_);
  for (TAutoObjectFactory** p = &factories_; *p; p = &(*p)->Next) {
    if (*p == factory) {
      *p = factory->Next;
      factory->Next = nullptr;
      return;
    }
  }
}

TAutoObjectFactory* TComServer::FindFactory(const CLSID& classId) {
  ReadGuard g(lock_);
  for (TAutoObjectFactory* f = factories_; f; f = f->Next)
    if (IsEqualCLSID(f->ClassID(), classId)) return f;
  return nullptr;
}

void TComServer::FreeFactories() {
  WriteGuard g(lock_);
  while (TAutoObjectFactory* f = factories_) {
    RemoveFactory(f);  // takes the lock again on this thread
    delete f;
  }
}

LONG TComServer::CountObject(bool created) {
  return created ? InterlockedIncrement(&objectCount_) : InterlockedDecrement(&objectCount_);
}

LONG TComServer::CountFactory(bool created) {
  return created ? InterlockedIncrement(&factoryCount_) : InterlockedDecrement(&factoryCount_);
}

void TComServer::UpdateTypeLibRegistration(bool registering) {
  if (!typeLib_) return;
  const std::string path = ModuleLongPath();
  if (registering) {
    std::wstring wpath = WideFromAnsi(path);
    std::wstring helpDir = WideFromAnsi(ExtractFilePath(path));
    OleCheck(RegisterTypeLib(typeLib_, &wpath[0], &helpDir[0]));
    return;
  }
  TLIBATTR* attr = nullptr;
  OleCheck(typeLib_->GetLibAttr(&attr));
  const TLIBATTR a = *attr;
  typeLib_->ReleaseTLibAttr(attr);
  using UnRegisterTypeLibProc = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);
  if (oleAut_) {
    auto proc = reinterpret_cast<UnRegisterTypeLibProc>(
        reinterpret_cast<void*>(GetProcAddress(oleAut_, "UnRegisterTypeLib")));
    if (proc)
      proc(a.guid, a.wMajorVerNum, a.wMinorVerNum, a.lcid, a.syskind);  // result not looked at
  }
}

HRESULT TComServer::Register(bool registering) {
  try {
    registering_ = registering;
    UpdateTypeLibRegistration(registering);
    WriteGuard g(lock_);
    for (TAutoObjectFactory* f = factories_; f; f = f->Next) f->UpdateRegistry(registering);
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

// ---- Registry helpers --------------------------------------------------------------
namespace {

void CreateRegKey(const std::string& key, const std::string& valueName, const std::string& data) {
  HKEY handle = nullptr;
  DWORD disposition = 0;
  LONG status = RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_READ | KEY_WRITE, nullptr, &handle, &disposition);
  if (status == ERROR_SUCCESS) {
    status = RegSetValueExA(handle, valueName.empty() ? nullptr : valueName.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(data.c_str()),
                            static_cast<DWORD>(data.size() + 1));
    RegCloseKey(handle);
  }
  if (status != ERROR_SUCCESS) throw ELumoException("Error creating system registry entry");
}

void DeleteRegKey(const std::string& key) { RegDeleteKeyA(HKEY_CLASSES_ROOT, key.c_str()); }

}  // namespace

// ---- Class factory -----------------------------------------------------------------
TAutoObjectFactory::TAutoObjectFactory(const CLSID& classId, const IID& implementedIntf,
                                       const char* implementingClassName, TObjectCreator creator)
    : classId_(classId), creator_(creator) {
  ITypeLib* lib = ComServer->TypeLib();
  const std::string name = implementingClassName;
  if (FAILED(lib->GetTypeInfoOfGuid(classId, &classInfo_)) || !classInfo_)
    throw ELumoException(Format("Type information missing for class %s", name));
  TYPEATTR* attr = nullptr;
  if (FAILED(classInfo_->GetTypeAttr(&attr)))
    throw ELumoException(Format("Incorrect type information for class %s", name));
  const TYPEKIND kind = attr->typekind;
  const WORD implTypes = attr->cImplTypes;
  classInfo_->ReleaseTypeAttr(attr);
  if (kind != TKIND_COCLASS)
    throw ELumoException(Format("Incorrect type information for class %s", name));
  BSTR bName = nullptr, bDoc = nullptr;
  classInfo_->GetDocumentation(MEMBERID_NIL, &bName, &bDoc, nullptr, nullptr);
  if (bName) className_ = bName;
  if (bDoc) description_ = bDoc;
  SysFreeString(bName);
  SysFreeString(bDoc);
  // The default interface (not a source interface).
  for (UINT i = 0; i < implTypes && !dispTypeInfo_; ++i) {
    INT flags = 0;
    HREFTYPE ref = 0;
    if (FAILED(classInfo_->GetImplTypeFlags(i, &flags))) continue;
    if ((flags & IMPLTYPEFLAG_FDEFAULT) == 0 || (flags & IMPLTYPEFLAG_FSOURCE) != 0) continue;
    if (FAILED(classInfo_->GetRefTypeOfImplType(i, &ref))) continue;
    classInfo_->GetRefTypeInfo(ref, &dispTypeInfo_);
  }
  if (dispTypeInfo_) {
    TYPEATTR* da = nullptr;
    if (SUCCEEDED(dispTypeInfo_->GetTypeAttr(&da))) {
      dispIid_ = da->guid;
      dispTypeInfo_->ReleaseTypeAttr(da);
    }
  }
  if (!dispTypeInfo_ || !IsEqualIID(dispIid_, implementedIntf))
    throw ELumoException(Format("Dispatch interface missing from class %s", name));
  progId_ = ComServer->ServerName().empty() ? std::wstring()
                                            : ComServer->ServerName() + L"." + className_;
  ComServer->AddFactory(this);
}

TAutoObjectFactory::~TAutoObjectFactory() {
  if (dispTypeInfo_) dispTypeInfo_->Release();
  if (classInfo_) classInfo_->Release();
}

STDMETHODIMP TAutoObjectFactory::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

// Factories live until the module is unloaded; the count is the server's.
STDMETHODIMP_(ULONG) TAutoObjectFactory::AddRef() {
  return static_cast<ULONG>(ComServer->CountFactory(true));
}
STDMETHODIMP_(ULONG) TAutoObjectFactory::Release() {
  return static_cast<ULONG>(ComServer->CountFactory(false));
}

STDMETHODIMP TAutoObjectFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  try {
    TComObjectBase* object = creator_(this, outer);  // count held at 1 while built
    object->SetBuildingCount(0);
    HRESULT hr = object->ObjQueryInterface(riid, ppv);
    if (FAILED(hr) && object->RefCount() == 0) delete object;
    return hr;
  } catch (const ELumoException& e) {
    if (showErrors_) {
      std::wstring message = WideFromUtf8(e.Message());
      if (!message.empty() && message.back() > L'.') message += L'.';
      MessageBoxW(nullptr, message.c_str(), L"ZUV Error", MB_OK | MB_ICONSTOP | MB_SETFOREGROUND);
    }
    return E_UNEXPECTED;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

STDMETHODIMP TAutoObjectFactory::LockServer(BOOL lock) {
  HRESULT hr = CoLockObjectExternal(static_cast<IClassFactory*>(this), lock, TRUE);
  ComServer->CountObject(lock != FALSE);
  return hr;
}

void TAutoObjectFactory::UpdateRegistry(bool registering) {
  const std::string clsid = GuidToStringA(classId_);
  const std::string classKey = "CLSID\\" + clsid;
  const std::string progId = AnsiFromWide(progId_);
  if (registering) {
    const std::string description = AnsiFromWide(description_);
    std::string path = ModuleLongPath();
    if (path.find(' ') != std::string::npos) {
      char shortPath[MAX_PATH * 2];
      DWORD n = GetShortPathNameA(path.c_str(), shortPath, sizeof shortPath);
      if (n > 0 && n < sizeof shortPath) path = shortPath;
    }
    const std::string server = "InprocServer32";  // in-process flag
    CreateRegKey(classKey, "", description);
    CreateRegKey(classKey + "\\" + server, "", path);
    CreateRegKey(classKey + "\\" + server, "ThreadingModel", "Apartment");
    if (!progId.empty()) {
      CreateRegKey(progId, "", description);
      CreateRegKey(progId + "\\Clsid", "", clsid);
      CreateRegKey(classKey + "\\ProgID", "", progId);
    }
    // The class's Version is its type library's (the IDL's version()): clients bind to the
    // interfaces by it, so it moves with the interfaces, not with each release.
    TLIBATTR* attr = nullptr;
    OleCheck(ComServer->TypeLib()->GetLibAttr(&attr));
    char version[32];
    std::snprintf(version, sizeof version, "%d.%d", attr->wMajorVerNum, attr->wMinorVerNum);
    const std::string libId = GuidToStringA(attr->guid);
    ComServer->TypeLib()->ReleaseTLibAttr(attr);
    CreateRegKey(classKey + "\\Version", "", version);
    CreateRegKey(classKey + "\\TypeLib", "", libId);
  } else {
    DeleteRegKey(classKey + "\\TypeLib");
    DeleteRegKey(classKey + "\\Version");
    if (!progId.empty()) {
      DeleteRegKey(classKey + "\\ProgID");
      DeleteRegKey(progId + "\\Clsid");
      DeleteRegKey(progId);
    }
    DeleteRegKey(classKey + "\\InprocServer32");
    DeleteRegKey(classKey);
  }
}

// ---- Object base -------------------------------------------------------------------
TComObjectBase::TComObjectBase(TAutoObjectFactory* factory, IUnknown* outer)
    : refCount_(1), factory_(factory), controller_(outer) {
  inner_.owner = this;
  ComServer->CountObject(true);
}

TComObjectBase::~TComObjectBase() {
  if (ComServer && !ComServer->ShuttingDown()) {
    ComServer->CountObject(false);
    if (refCount_ > 0) CoDisconnectObject(InnerUnknown(), 0);
  }
}

ULONG TComObjectBase::ObjAddRef() { return static_cast<ULONG>(InterlockedIncrement(&refCount_)); }

ULONG TComObjectBase::ObjRelease() {
  LONG n = InterlockedDecrement(&refCount_);
  if (n == 0) delete this;
  return static_cast<ULONG>(n);
}

HRESULT SetComErrorInfo(TAutoObjectFactory* factory, const std::wstring& description,
                        DWORD helpContext, HRESULT status) {
  ICreateErrorInfo* create = nullptr;
  if (FAILED(CreateErrorInfo(&create)) || !create) return E_UNEXPECTED;
  create->SetGUID(factory->ErrorIID());
  create->SetSource(const_cast<LPOLESTR>(factory->ProgID().c_str()));
  if (!ComServer->HelpFileName().empty())
    create->SetHelpFile(const_cast<LPOLESTR>(ComServer->HelpFileName().c_str()));
  create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
  create->SetHelpContext(helpContext);
  IErrorInfo* info = nullptr;
  if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info))) && info) {
    SetErrorInfo(0, info);
    info->Release();
  }
  create->Release();
  return status;
}

HRESULT TComObjectBase::Complete(int32_t status) {
  if (status == 0) return S_OK;
  // The portable layer has recorded the error information for this thread.
  try {
    if (const ErrorInfo* e = LastErrorInfo()) {
      std::wstring description(e->description.begin(), e->description.end());
      return SetComErrorInfo(factory_, description, static_cast<DWORD>(e->helpContext),
                             static_cast<HRESULT>(status));
    }
    return SetComErrorInfo(factory_, std::wstring(), 0, static_cast<HRESULT>(status));
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT TComObjectBase::HandleException() noexcept {
  try {
    try {
      throw;
    } catch (const EPlatformError& e) {
      HRESULT status = e.ErrorCode < 0 ? static_cast<HRESULT>(e.ErrorCode) : E_UNEXPECTED;
      return SetComErrorInfo(factory_, WideFromUtf8(e.Message()),
                             static_cast<DWORD>(e.HelpContext()), status);
    } catch (const ELumoException& e) {
      return SetComErrorInfo(factory_, WideFromUtf8(e.Message()),
                             static_cast<DWORD>(e.HelpContext()), E_UNEXPECTED);
    } catch (const std::bad_alloc&) {
      return SetComErrorInfo(factory_, L"Out of memory", 0, E_UNEXPECTED);
    } catch (const std::exception& e) {
      return SetComErrorInfo(factory_, WideFromUtf8(e.what()), 0, E_UNEXPECTED);
    } catch (...) {
      return SetComErrorInfo(factory_, std::wstring(), 0, E_UNEXPECTED);
    }
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace Lumo::Automation::Com
