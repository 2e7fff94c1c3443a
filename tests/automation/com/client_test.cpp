// A C++ client of the registered server: CoCreateInstance of both classes, early-bound
// calls of every member, GetIDsOfNames/Invoke of every member by name, error information
// after a failing call, DllCanUnloadNow around object, factory and lock lifetimes,
// aggregation, and E_NOINTERFACE without an object left alive.
// Usage: client_test.exe PATH\LumoDEZLib.dll
//        client_test.exe signfile PATH\LumoDEZLib.dll IN OUT ACTION   (test mode; for the
//        byte comparison with dezsign)
#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>
#include <ole2.h>

#include <string>
#include <vector>

#include "LumoDEZLib.h"
#include "check.h"

namespace {

using CanUnloadProc = HRESULT(WINAPI*)();
using GetClassObjectProc = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
CanUnloadProc CanUnload = nullptr;
GetClassObjectProc GetClassObject = nullptr;

const wchar_t* const kSample =
    L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    L"<ED101 xmlns=\"urn:dez-ru:ed:v2.0\" EDNo=\"1\" EDDate=\"2026-01-01\">"
    L"<Payer INN=\"77\"><Name>ООО \"Ромашка\"</Name></Payer>"
    L"<Purpose>Оплата &amp; &lt;товар&gt;</Purpose></ED101>";

std::wstring Str(BSTR b) {
  std::wstring s = b ? std::wstring(b, SysStringLen(b)) : std::wstring();
  SysFreeString(b);
  return s;
}

bool HasCyrillic(const std::wstring& s) {
  for (wchar_t c : s)
    if (c >= 0x400 && c <= 0x4FF) return true;
  return false;
}

bool StartsWith(const std::wstring& s, const std::wstring& p) {
  return s.compare(0, p.size(), p) == 0;
}

std::wstring GuidStr(const GUID& g) {
  wchar_t b[64];
  StringFromGUID2(g, b, 64);
  return b;
}

// The error information left on this thread by the last failing call.
void CheckErrorInfo(const wchar_t* source, const IID& iid, const char* what,
                    const wchar_t* description = nullptr) {
  IErrorInfo* info = nullptr;
  HRESULT hr = GetErrorInfo(0, &info);
  ComCheck::Report(hr == S_OK && info, __FILE__, __LINE__, std::string(what) + ": GetErrorInfo");
  if (!info) return;
  BSTR b = nullptr;
  info->GetSource(&b);
  CHECK_WSTR(Str(b), source);
  GUID g{};
  info->GetGUID(&g);
  CHECK_WSTR(GuidStr(g), GuidStr(iid));
  info->GetDescription(&b);
  std::wstring d = Str(b);
  std::printf("  note: %s: \"%s\"\n", what, ComCheck::Narrow(d).c_str());
  if (description) {
    CHECK_WSTR(d, description);
  } else {
    ComCheck::Report(!d.empty(), __FILE__, __LINE__, std::string(what) + ": description");
  }
  info->Release();
}

// A controlling object for the aggregation test: counts its references.
struct Outer : IUnknown {
  LONG refs = 1;
  IUnknown* inner = nullptr;
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown)) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    return inner ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
};

// IDispatch by name.
HRESULT Call(IDispatch* d, const wchar_t* name, WORD flags, std::vector<VARIANT> args,
             VARIANT* result, EXCEPINFO* ex = nullptr, DISPID* idOut = nullptr) {
  LPOLESTR n = const_cast<LPOLESTR>(name);
  DISPID id = 0;
  HRESULT hr = d->GetIDsOfNames(IID_NULL, &n, 1, LOCALE_USER_DEFAULT, &id);
  if (idOut) *idOut = id;
  if (FAILED(hr)) return hr;
  // Natural order in, reverse order on the wire.
  std::vector<VARIANT> wire(args.rbegin(), args.rend());
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS p{wire.empty() ? nullptr : wire.data(), nullptr, (UINT)wire.size(), 0};
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
    p.rgdispidNamedArgs = &put;
    p.cNamedArgs = 1;
  }
  EXCEPINFO local{};
  UINT argErr = 0;
  if (result) VariantInit(result);
  hr = d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &p, result, ex ? ex : &local, &argErr);
  if (!ex) {
    SysFreeString(local.bstrSource);
    SysFreeString(local.bstrDescription);
    SysFreeString(local.bstrHelpFile);
  }
  return hr;
}

VARIANT VStr(const wchar_t* s) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = SysAllocString(s);
  return v;
}
VARIANT VI4(LONG i) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_I4;
  V_I4(&v) = i;
  return v;
}
VARIANT VBool(bool b) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_BOOL;
  V_BOOL(&v) = b ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}

void TestFactoriesAndLifetimes() {
  std::printf("factories and lifetimes\n");
  CHECK_HR(CanUnload(), S_OK);
  IClassFactory* f = nullptr;
  CHECK_HR(GetClassObject(CLSID_DEZSign, IID_IClassFactory, reinterpret_cast<void**>(&f)), S_OK);
  CHECK(f != nullptr);
  if (!f) return;
  CHECK_HR(CanUnload(), S_FALSE);  // a factory reference is outstanding
  void* p = reinterpret_cast<void*>(1);
  CLSID unknown = CLSID_DEZSign;
  unknown.Data1 ^= 1;
  CHECK_HR(GetClassObject(unknown, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
  CHECK(p == nullptr);
  p = reinterpret_cast<void*>(1);
  CHECK_HR(GetClassObject(CLSID_Profile, IID_IDispatch, &p), E_NOINTERFACE);
  CHECK(p == nullptr);
  IUnknown* fu = nullptr;
  CHECK_HR(GetClassObject(CLSID_Profile, IID_IUnknown, reinterpret_cast<void**>(&fu)), S_OK);
  if (fu) fu->Release();

  // Object creation errors.
  CHECK_HR(f->CreateInstance(nullptr, IID_ICBRSign, nullptr), E_POINTER);
  Outer outer;
  void* obj = reinterpret_cast<void*>(1);
  CHECK_HR(f->CreateInstance(&outer, IID_IDispatch, &obj), CLASS_E_NOAGGREGATION);
  CHECK(obj == nullptr);
  obj = reinterpret_cast<void*>(1);
  CHECK_HR(f->CreateInstance(nullptr, IID_IClassFactory, &obj), E_NOINTERFACE);
  CHECK(obj == nullptr);

  // Server lock.
  CHECK_HR(f->LockServer(TRUE), S_OK);
  f->AddRef();
  f->Release();
  ICBRSign* s = nullptr;
  CHECK_HR(f->CreateInstance(nullptr, IID_ICBRSign, reinterpret_cast<void**>(&s)), S_OK);
  f->Release();
  CHECK_HR(CanUnload(), S_FALSE);  // object and lock
  if (s) s->Release();
  CHECK_HR(CanUnload(), S_FALSE);  // lock
  // The lock is released through a new factory reference.
  CHECK_HR(GetClassObject(CLSID_DEZSign, IID_IClassFactory, reinterpret_cast<void**>(&f)), S_OK);
  CHECK_HR(f->LockServer(FALSE), S_OK);
  CHECK_HR(CanUnload(), S_FALSE);  // the factory reference
  f->Release();
  CHECK_HR(CanUnload(), S_OK);  // nothing left: E_NOINTERFACE left no object alive

  // Aggregation: the inner object's IUnknown is its own; other interfaces pass their
  // reference counting to the controlling object.
  CHECK_HR(GetClassObject(CLSID_Profile, IID_IClassFactory, reinterpret_cast<void**>(&f)), S_OK);
  IUnknown* inner = nullptr;
  CHECK_HR(f->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
  f->Release();
  if (inner) {
    outer.inner = inner;
    IProfile* ip = nullptr;
    LONG before = outer.refs;
    CHECK_HR(inner->QueryInterface(IID_IProfile, reinterpret_cast<void**>(&ip)), S_OK);
    CHECK_EQ(outer.refs, before + 1);  // AddRef went to the controlling object
    if (ip) {
      IUnknown* viaInner = nullptr;
      ip->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaInner));
      CHECK(viaInner == static_cast<IUnknown*>(&outer));  // identity is the outer object's
      if (viaInner) viaInner->Release();
      BSTR name = nullptr;
      CHECK_HR(ip->put_Name(SysAllocString(L"agg")), S_OK);
      CHECK_HR(ip->get_Name(&name), S_OK);
      CHECK_WSTR(Str(name), L"agg");
      ip->Release();
    }
    CHECK_EQ(outer.refs, before);
    CHECK_HR(CanUnload(), S_FALSE);
    outer.inner = nullptr;
    inner->Release();
  }
  CHECK_HR(CanUnload(), S_OK);
}

void TestCommonInterfaces(IUnknown* u, const IID& own, const wchar_t* className) {
  for (const IID* iid :
       {&IID_IUnknown, &IID_IDispatch, &own, &IID_ISupportErrorInfo, &IID_IProvideClassInfo}) {
    IUnknown* p = nullptr;
    CHECK_HR(u->QueryInterface(*iid, reinterpret_cast<void**>(&p)), S_OK);
    if (p) p->Release();
  }
  for (const IID* iid : {&IID_IPersist, &IID_IProvideClassInfo2, &IID_IConnectionPointContainer,
                         &IID_IClassFactory, &IID_ICBRSign, &IID_IProfile}) {
    if (IsEqualIID(*iid, own)) continue;
    IUnknown* p = reinterpret_cast<IUnknown*>(1);
    CHECK_HR(u->QueryInterface(*iid, reinterpret_cast<void**>(&p)), E_NOINTERFACE);
    CHECK(p == nullptr);
  }
  ISupportErrorInfo* sei = nullptr;
  u->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&sei));
  if (sei) {
    CHECK_HR(sei->InterfaceSupportsErrorInfo(own), S_OK);
    CHECK_HR(sei->InterfaceSupportsErrorInfo(IID_IDispatch), S_OK);
    CHECK_HR(sei->InterfaceSupportsErrorInfo(IID_IClassFactory), S_FALSE);
    sei->Release();
  }
  IProvideClassInfo* pci = nullptr;
  u->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(&pci));
  if (pci) {
    ITypeInfo* ti = nullptr;
    CHECK_HR(pci->GetClassInfo(&ti), S_OK);
    if (ti) {
      BSTR name = nullptr;
      ti->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
      CHECK_WSTR(Str(name), className);
      TYPEATTR* a = nullptr;
      ti->GetTypeAttr(&a);
      CHECK_EQ(a->typekind, TKIND_COCLASS);
      ti->ReleaseTypeAttr(a);
      ti->Release();
    }
    pci->Release();
  }
  IDispatch* d = nullptr;
  u->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&d));
  if (d) {
    UINT n = 0;
    CHECK_HR(d->GetTypeInfoCount(&n), S_OK);
    CHECK_EQ(n, 1U);
    ITypeInfo* ti = reinterpret_cast<ITypeInfo*>(1);
    CHECK_HR(d->GetTypeInfo(1, 0, &ti), DISP_E_BADINDEX);
    CHECK(ti == nullptr);
    CHECK_HR(d->GetTypeInfo(0, 0, &ti), S_OK);
    if (ti) {
      TYPEATTR* a = nullptr;
      ti->GetTypeAttr(&a);
      CHECK(IsEqualGUID(a->guid, own));
      ti->ReleaseTypeAttr(a);
      ti->Release();
    }
    LPOLESTR bad = const_cast<LPOLESTR>(L"NoSuchMember");
    DISPID id = 0;
    CHECK_HR(d->GetIDsOfNames(IID_NULL, &bad, 1, 0, &id), DISP_E_UNKNOWNNAME);
    d->Release();
  }
}

void TestDEZSign() {
  std::printf("DEZSign\n");
  ICBRSign* s = nullptr;
  CHECK_HR(CoCreateInstance(CLSID_DEZSign, nullptr, CLSCTX_INPROC_SERVER, IID_ICBRSign,
                            reinterpret_cast<void**>(&s)),
           S_OK);
  if (!s) return;
  TestCommonInterfaces(s, IID_ICBRSign, L"DEZSign");
  CHECK_HR(CanUnload(), S_FALSE);

  // Early binding: every member.
  VARIANT_BOOL b = 1;
  CHECK_HR(s->get_TestMode(&b), S_OK);
  CHECK_EQ(b, 0);
  CHECK_HR(s->get_Silent(&b), S_OK);
  CHECK_EQ(b, 0);
  CHECK_HR(s->put_TestMode(1), S_OK);
  CHECK_HR(s->get_TestMode(&b), S_OK);
  CHECK_EQ(b, VARIANT_TRUE);
  CHECK_HR(s->put_TestMode(0), S_OK);
  CHECK_HR(s->get_TestMode(&b), S_OK);
  CHECK_EQ(b, 0);
  CHECK_HR(s->put_Silent(VARIANT_TRUE), S_OK);
  CHECK_HR(s->get_Silent(&b), S_OK);
  CHECK_EQ(b, VARIANT_TRUE);
  CHECK_HR(s->put_Silent(0), S_OK);
  IProfile* prof = reinterpret_cast<IProfile*>(1);
  BSTR any = SysAllocString(L"whatever");
  CHECK_HR(s->OpenProfile(any, &prof), S_OK);
  CHECK(prof == nullptr);
  CHECK_HR(s->CloseProfile(any), S_OK);
  SysFreeString(any);

  CHECK_HR(s->put_TestMode(VARIANT_TRUE), S_OK);
  BSTR xml = SysAllocString(kSample);
  BSTR none = SysAllocString(L"");
  BSTR out = nullptr;
  CHECK_HR(s->SignXml(xml, none, Root, &out), S_OK);
  std::wstring signedXml = Str(out);
  CHECK(StartsWith(signedXml, L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>"));
  CHECK(signedXml.find(L"SigValue") != std::wstring::npos);
  CHECK(signedXml.find(L"Ромашка") != std::wstring::npos);
  out = nullptr;
  CHECK_HR(s->SignXml(xml, none, Envelope, &out), S_OK);
  std::wstring envelope = Str(out);
  CHECK(envelope.find(L"SigEnvelope") != std::wstring::npos);
  BSTR env = SysAllocString(envelope.c_str());
  out = nullptr;
  CHECK_HR(s->SignXml(env, none, Extract, &out), S_OK);
  std::wstring extracted = Str(out);
  CHECK(extracted.find(L"ED101") != std::wstring::npos);
  out = nullptr;
  CHECK_HR(s->SignXml(env, none, Verify, &out), S_OK);
  CHECK(Str(out).find(L"ED101") != std::wstring::npos);
  out = nullptr;
  CHECK_HR(s->SignXml(xml, none, Childs, &out), S_OK);
  CHECK(Str(out).find(L"SigValue") != std::wstring::npos);
  BSTR b64 = SysAllocString(L"SGVsbG8=");
  out = nullptr;
  CHECK_HR(s->SignXml(b64, none, Base64Envelope, &out), S_OK);
  CHECK(Str(out).find(L"SigEnvelope") != std::wstring::npos);
  SysFreeString(b64);
  SysFreeString(env);

  // A failing call: E_UNEXPECTED, Value left null, error information for this thread.
  BSTR bad = SysAllocString(L"<not-xml");
  out = reinterpret_cast<BSTR>(1);
  SetErrorInfo(0, nullptr);
  CHECK_HR(s->SignXml(bad, none, Root, &out), E_UNEXPECTED);
  CHECK(out == nullptr);
  CheckErrorInfo(L"LumoDEZLib.DEZSign", IID_ICBRSign, "SignXml on malformed text");
  // The object stays usable.
  out = nullptr;
  CHECK_HR(s->SignXml(xml, none, Root, &out), S_OK);
  CHECK_WSTR(Str(out), signedXml);
  // SignFile of a missing input file.
  BSTR in = SysAllocString(L"C:\\lumo\\no-such-file.xml");
  BSTR outName = SysAllocString(L"C:\\lumo\\never-written.xml");
  CHECK_HR(s->SignFile(in, outName, none, Root), E_UNEXPECTED);
  CheckErrorInfo(L"LumoDEZLib.DEZSign", IID_ICBRSign, "SignFile of a missing file");
  CHECK(GetFileAttributesW(L"C:\\lumo\\never-written.xml") == INVALID_FILE_ATTRIBUTES);
  SysFreeString(in);
  in = SysAllocString(L"C:\\lumo\\payment.xml");
  SysFreeString(outName);
  outName = SysAllocString(L"C:\\lumo\\payment.signed.xml");
  CHECK_HR(s->SignFile(in, outName, none, Root), S_OK);
  CHECK(GetFileAttributesW(L"C:\\lumo\\payment.signed.xml") != INVALID_FILE_ATTRIBUTES);
  SysFreeString(in);
  SysFreeString(outName);

  // Dispatch by name: every member.
  IDispatch* d = nullptr;
  s->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&d));
  if (d) {
    VARIANT r;
    DISPID id = 0;
    CHECK_HR(Call(d, L"TestMode", DISPATCH_PROPERTYPUT, {VBool(false)}, nullptr, nullptr, &id),
             S_OK);
    CHECK_EQ(id, 201L);
    CHECK_HR(Call(d, L"TestMode", DISPATCH_PROPERTYGET, {}, &r), S_OK);
    CHECK(V_VT(&r) == VT_BOOL && V_BOOL(&r) == 0);
    // The put-by-reference flag alone acts as a plain write.
    CHECK_HR(Call(d, L"TestMode", DISPATCH_PROPERTYPUTREF, {VBool(true)}, nullptr), S_OK);
    CHECK_HR(Call(d, L"testmode", DISPATCH_PROPERTYGET, {}, &r), S_OK);
    CHECK(V_VT(&r) == VT_BOOL && V_BOOL(&r) == VARIANT_TRUE);
    CHECK_HR(Call(d, L"Silent", DISPATCH_PROPERTYPUT, {VI4(1)}, nullptr, nullptr, &id), S_OK);
    CHECK_EQ(id, 204L);
    CHECK_HR(Call(d, L"Silent", DISPATCH_PROPERTYGET, {}, &r), S_OK);
    CHECK(V_VT(&r) == VT_BOOL && V_BOOL(&r) == VARIANT_TRUE);
    CHECK_HR(
        Call(d, L"SignXml", DISPATCH_METHOD, {VStr(kSample), VStr(L""), VI4(2)}, &r, nullptr, &id),
        S_OK);
    CHECK_EQ(id, 0x60020001L);
    CHECK(V_VT(&r) == VT_BSTR && std::wstring(V_BSTR(&r)) == signedXml);
    VariantClear(&r);
    CHECK_HR(Call(d, L"SignFile", DISPATCH_METHOD,
                  {VStr(L"C:\\lumo\\payment.xml"), VStr(L"C:\\lumo\\payment.disp.xml"), VStr(L""),
                   VI4(2)},
                  nullptr, nullptr, &id),
             S_OK);
    CHECK_EQ(id, 0x60020000L);
    CHECK_HR(Call(d, L"OpenProfile", DISPATCH_METHOD, {VStr(L"x")}, &r, nullptr, &id), S_OK);
    CHECK_EQ(id, 202L);
    CHECK(V_VT(&r) == VT_DISPATCH || V_VT(&r) == VT_UNKNOWN || V_VT(&r) == VT_EMPTY);
    if (V_VT(&r) == VT_DISPATCH) CHECK(V_DISPATCH(&r) == nullptr);
    VariantClear(&r);
    CHECK_HR(Call(d, L"CloseProfile", DISPATCH_METHOD, {VStr(L"x")}, nullptr, nullptr, &id), S_OK);
    CHECK_EQ(id, 203L);
    // A failing call through dispatch: DISP_E_EXCEPTION with EXCEPINFO.
    EXCEPINFO ex{};
    CHECK_HR(Call(d, L"SignXml", DISPATCH_METHOD, {VStr(L"<not-xml"), VStr(L""), VI4(2)}, &r, &ex),
             DISP_E_EXCEPTION);
    CHECK_HR(ex.scode, E_UNEXPECTED);
    CHECK_WSTR(std::wstring(ex.bstrSource ? ex.bstrSource : L""), L"LumoDEZLib.DEZSign");
    ComCheck::Report(ex.bstrDescription && *ex.bstrDescription, __FILE__, __LINE__,
                     "EXCEPINFO description");
    SysFreeString(ex.bstrSource);
    SysFreeString(ex.bstrDescription);
    SysFreeString(ex.bstrHelpFile);
    d->Release();
  }
  SysFreeString(xml);
  SysFreeString(none);
  SysFreeString(bad);
  s->Release();
  CHECK_HR(CanUnload(), S_OK);
}

void TestProfile() {
  std::printf("Profile\n");
  IProfile* p = nullptr;
  CHECK_HR(CoCreateInstance(CLSID_Profile, nullptr, CLSCTX_INPROC_SERVER, IID_IProfile,
                            reinterpret_cast<void**>(&p)),
           S_OK);
  if (!p) return;
  TestCommonInterfaces(p, IID_IProfile, L"Profile");
  BSTR name = reinterpret_cast<BSTR>(1);
  CHECK_HR(p->get_Name(&name), S_OK);
  CHECK_WSTR(Str(name), L"");
  VARIANT_BOOL b = 1;
  CHECK_HR(p->get_TestMode(&b), S_OK);
  CHECK_EQ(b, 0);
  enum Keyload k = Loud;
  CHECK_HR(p->get_Keyload(&k), S_OK);
  CHECK_EQ((int)k, 0);
  CHECK_HR(p->put_Keyload(static_cast<enum Keyload>(7)), S_OK);
  CHECK_HR(p->get_Keyload(&k), S_OK);
  CHECK_EQ((int)k, 7);
  CHECK_HR(p->put_Keyload(static_cast<enum Keyload>(256)), S_OK);
  CHECK_HR(p->get_Keyload(&k), S_OK);
  CHECK_EQ((int)k, 0);
  BSTR n = SysAllocString(L"Профиль А");
  CHECK_HR(p->put_Name(n), S_OK);
  SysFreeString(n);
  CHECK_HR(p->get_Name(&name), S_OK);
  CHECK_WSTR(Str(name), L"Профиль А");

  // Sign and Close before Open fail cleanly, with the Profile's error information.
  BSTR xml = SysAllocString(kSample);
  BSTR out = reinterpret_cast<BSTR>(1);
  CHECK_HR(p->Sign(xml, Root, &out), E_UNEXPECTED);
  CHECK(out == nullptr);
  CheckErrorInfo(L"LumoDEZLib.Profile", IID_IProfile, "Sign before Open");
  {
    IErrorInfo* info = nullptr;
    p->Sign(xml, Root, &out);
    GetErrorInfo(0, &info);
    if (info) {
      BSTR d = nullptr;
      info->GetDescription(&d);
      std::wstring desc = Str(d);
      ComCheck::Report(HasCyrillic(desc), __FILE__, __LINE__,
                       "Russian description: " + ComCheck::Narrow(desc));
      info->Release();
    } else {
      CHECK(!"error info after Sign before Open");
    }
    IDispatch* d = nullptr;
    p->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&d));
    if (d) {
      EXCEPINFO ex{};
      VARIANT r;
      CHECK_HR(Call(d, L"Sign", DISPATCH_METHOD, {VStr(kSample), VI4(2)}, &r, &ex),
               DISP_E_EXCEPTION);
      CHECK_HR(ex.scode, E_UNEXPECTED);
      CHECK_WSTR(std::wstring(ex.bstrSource ? ex.bstrSource : L""), L"LumoDEZLib.Profile");
      ComCheck::Report(ex.bstrDescription && HasCyrillic(ex.bstrDescription), __FILE__, __LINE__,
                       "EXCEPINFO description in Russian");
      SysFreeString(ex.bstrSource);
      SysFreeString(ex.bstrDescription);
      SysFreeString(ex.bstrHelpFile);
      d->Release();
    }
  }
  CHECK_HR(p->Close(), E_UNEXPECTED);
  CheckErrorInfo(L"LumoDEZLib.Profile", IID_IProfile, "Close before Open");

  CHECK_HR(p->put_TestMode(-1), S_OK);
  CHECK_HR(p->get_TestMode(&b), S_OK);
  CHECK_EQ(b, VARIANT_TRUE);
  CHECK_HR(p->Open(), S_OK);
  out = nullptr;
  CHECK_HR(p->Sign(xml, Root, &out), S_OK);
  std::wstring signedXml = Str(out);
  CHECK(signedXml.find(L"SigValue") != std::wstring::npos);
  out = nullptr;
  CHECK_HR(p->Sign(xml, Envelope, &out), S_OK);
  BSTR env = out;
  out = nullptr;
  CHECK_HR(p->Sign(env, Extract, &out), S_OK);
  CHECK(StartsWith(Str(out), L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>"));
  SysFreeString(env);
  CHECK_HR(p->Close(), S_OK);

  // Dispatch by name: every member.
  IDispatch* d = nullptr;
  p->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&d));
  if (d) {
    VARIANT r;
    DISPID id = 0;
    CHECK_HR(Call(d, L"Name", DISPATCH_PROPERTYPUT, {VStr(L"B")}, nullptr, nullptr, &id), S_OK);
    CHECK_EQ(id, 204L);
    CHECK_HR(Call(d, L"Name", DISPATCH_PROPERTYGET, {}, &r), S_OK);
    CHECK(V_VT(&r) == VT_BSTR && std::wstring(V_BSTR(&r)) == L"B");
    VariantClear(&r);
    CHECK_HR(Call(d, L"TestMode", DISPATCH_PROPERTYPUT, {VBool(true)}, nullptr, nullptr, &id),
             S_OK);
    CHECK_EQ(id, 205L);
    CHECK_HR(Call(d, L"TestMode", DISPATCH_PROPERTYGET, {}, &r), S_OK);
    CHECK(V_VT(&r) == VT_BOOL && V_BOOL(&r) == VARIANT_TRUE);
    CHECK_HR(Call(d, L"Keyload", DISPATCH_PROPERTYPUTREF, {VI4(2)}, nullptr, nullptr, &id), S_OK);
    CHECK_EQ(id, 206L);
    CHECK_HR(Call(d, L"Keyload", DISPATCH_PROPERTYGET, {}, &r), S_OK);
    CHECK(V_VT(&r) == VT_I4 && V_I4(&r) == 2);
    CHECK_HR(Call(d, L"Open", DISPATCH_METHOD, {}, nullptr, nullptr, &id), S_OK);
    CHECK_EQ(id, 202L);
    CHECK_HR(Call(d, L"Sign", DISPATCH_METHOD, {VStr(kSample), VI4(2)}, &r, nullptr, &id), S_OK);
    CHECK_EQ(id, 201L);
    CHECK(V_VT(&r) == VT_BSTR && std::wstring(V_BSTR(&r)) == signedXml);
    VariantClear(&r);
    CHECK_HR(Call(d, L"Close", DISPATCH_METHOD, {}, nullptr, nullptr, &id), S_OK);
    CHECK_EQ(id, 203L);
    d->Release();
  }
  SysFreeString(xml);
  p->Release();
  CHECK_HR(CanUnload(), S_OK);
}

int SignFileMode(int argc, char** argv) {
  if (argc < 6) return 2;
  ICBRSign* s = nullptr;
  if (FAILED(CoCreateInstance(CLSID_DEZSign, nullptr, CLSCTX_INPROC_SERVER, IID_ICBRSign,
                              reinterpret_cast<void**>(&s))))
    return 3;
  s->put_TestMode(VARIANT_TRUE);
  BSTR in = SysAllocString(ComCheck::Wide(argv[3]).c_str());
  BSTR out = SysAllocString(ComCheck::Wide(argv[4]).c_str());
  BSTR none = SysAllocString(L"");
  HRESULT hr = s->SignFile(in, out, none, static_cast<enum SignAction>(atoi(argv[5])));
  std::printf("SignFile: 0x%08lX\n", (unsigned long)hr);
  s->Release();
  return SUCCEEDED(hr) ? 0 : 1;
}

// Outside test mode, through the test provider (spki1.dll beside the server). Run with
// LUMO_TEST_PROVIDER_SCRIPT unset.
void TestProvider() {
  std::printf("provider (spki1.dll)\n");
  BSTR xml = SysAllocString(kSample);
  BSTR name = SysAllocString(L"bank");
  IProfile* p = nullptr;
  CHECK_HR(CoCreateInstance(CLSID_Profile, nullptr, CLSCTX_INPROC_SERVER, IID_IProfile,
                            reinterpret_cast<void**>(&p)),
           S_OK);
  if (p) {
    CHECK_HR(p->put_Name(name), S_OK);
    CHECK_HR(p->Open(), S_OK);
    BSTR out = nullptr;
    CHECK_HR(p->Sign(xml, Root, &out), S_OK);
    std::wstring signedXml = Str(out);
    CHECK(signedXml.find(L"SigValue") != std::wstring::npos);
    out = nullptr;
    CHECK_HR(p->Sign(xml, Envelope, &out), S_OK);
    BSTR env = out;
    out = nullptr;
    CHECK_HR(p->Sign(env, Verify, &out), S_OK);  // the provider checks the signature
    CHECK(Str(out).find(L"Ромашка") != std::wstring::npos);
    SysFreeString(env);
    CHECK_HR(p->Close(), S_OK);
    p->Release();
  }
  ICBRSign* s = nullptr;
  CHECK_HR(CoCreateInstance(CLSID_DEZSign, nullptr, CLSCTX_INPROC_SERVER, IID_ICBRSign,
                            reinterpret_cast<void**>(&s)),
           S_OK);
  if (s) {
    BSTR out = nullptr;
    CHECK_HR(s->SignXml(xml, name, Root, &out), S_OK);
    CHECK(Str(out).find(L"SigValue") != std::wstring::npos);
    s->Release();
  }
  SysFreeString(xml);
  SysFreeString(name);
}

// A provider that refuses to open the key (LUMO_TEST_PROVIDER_SCRIPT="init=80090016"):
// the provider error reaches the client as E_UNEXPECTED with "80090016: ..." as description.
void TestProviderFailure() {
  std::printf("provider failure\n");
  IProfile* p = nullptr;
  CHECK_HR(CoCreateInstance(CLSID_Profile, nullptr, CLSCTX_INPROC_SERVER, IID_IProfile,
                            reinterpret_cast<void**>(&p)),
           S_OK);
  if (!p) return;
  BSTR name = SysAllocString(L"bank");
  p->put_Name(name);
  SysFreeString(name);
  CHECK_HR(p->Open(), E_UNEXPECTED);
  IErrorInfo* info = nullptr;
  CHECK_HR(GetErrorInfo(0, &info), S_OK);
  if (info) {
    BSTR d = nullptr;
    info->GetDescription(&d);
    std::wstring desc = Str(d);
    std::printf("  note: Open: \"%s\"\n", ComCheck::Narrow(desc).c_str());
    CHECK(StartsWith(desc, L"80090016"));
    info->Release();
  }
  p->Release();
}

}  // namespace

int main(int argc, char** argv) {
  const bool signFile = argc > 1 && std::string(argv[1]) == "signfile";
  const std::string mode = argc > 2 ? argv[1] : "";
  if (mode == "provider" || mode == "provider-failure") {
    CoInitialize(nullptr);
    if (mode == "provider") TestProvider();
    else
      TestProviderFailure();
    CoUninitialize();
    return ComCheck::Summary(mode == "provider" ? "client_test provider"
                                                : "client_test provider-failure");
  }
  const char* path = signFile ? (argc > 2 ? argv[2] : "") : (argc > 1 ? argv[1] : "");
  if (!*path) {
    std::printf("usage: client_test PATH\\LumoDEZLib.dll\n");
    return 2;
  }
  CHECK_HR(CoInitialize(nullptr), S_OK);
  if (signFile) return SignFileMode(argc, argv);
  // The module that COM loads for the registered classes (same path, same module).
  HMODULE dll = LoadLibraryA(path);
  CHECK(dll != nullptr);
  if (!dll) return ComCheck::Summary("client_test");
  CanUnload = reinterpret_cast<CanUnloadProc>(
      reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
  GetClassObject = reinterpret_cast<GetClassObjectProc>(
      reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
  CHECK(CanUnload && GetClassObject);
  if (!CanUnload || !GetClassObject) return ComCheck::Summary("client_test");
  TestFactoriesAndLifetimes();
  TestDEZSign();
  TestProfile();
  CoUninitialize();
  return ComCheck::Summary("client_test");
}
