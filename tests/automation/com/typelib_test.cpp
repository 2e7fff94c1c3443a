// Reads the type library back out of LumoDEZLib.dll (resource TYPELIB 1) with
// LoadTypeLibEx and ITypeLib/ITypeLib2/ITypeInfo and compares every item of the published type
// library. Run under the Russian locale (ANSI code page 1251) so that the Russian help strings are
// decoded as a Russian Windows would. Usage: typelib_test.exe PATH\LumoDEZLib.dll
#include <windows.h>
#include <oaidl.h>
#include <ole2.h>

#include <cstring>
#include <string>
#include <vector>

#include "check.h"

namespace {

struct Param {
  const wchar_t* name;  // nullptr: no name in the type library
  const char*
      type;  // "BSTR", "BOOL", "SignAction", "Keyload", "BSTR*", "BOOL*", "Keyload*", "IProfile**"
  USHORT flags;  // PARAMFLAG_*
};

struct Member {
  int slot;
  const wchar_t* name;
  INVOKEKIND kind;
  MEMBERID dispid;
  std::vector<Param> params;
  const wchar_t* help;  // nullptr: none
};

const USHORT PIN = PARAMFLAG_FIN;
const USHORT RET = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;

const std::vector<Member> kCBRSign = {
    {7,
     L"SignFile",
     INVOKE_FUNC,
     0x60020000,
     {{L"InputFileName", "BSTR", PIN},
      {L"OutputFileName", "BSTR", PIN},
      {L"Profile", "BSTR", PIN},
      {L"Action", "SignAction", PIN}},
     L"Подписать файл"},
    {8,
     L"SignXml",
     INVOKE_FUNC,
     0x60020001,
     {{L"InputXml", "BSTR", PIN},
      {L"Profile", "BSTR", PIN},
      {L"Action", "SignAction", PIN},
      {L"Value", "BSTR*", RET}},
     L"Подписать XML"},
    {9, L"TestMode", INVOKE_PROPERTYGET, 201, {{L"Value", "BOOL*", RET}}, nullptr},
    {10, L"TestMode", INVOKE_PROPERTYPUT, 201, {{nullptr, "BOOL", PIN}}, nullptr},
    {11,
     L"OpenProfile",
     INVOKE_FUNC,
     202,
     {{L"Name", "BSTR", PIN}, {L"Value", "IProfile**", RET}},
     nullptr},
    {12, L"CloseProfile", INVOKE_FUNC, 203, {{L"Name", "BSTR", PIN}}, nullptr},
    {13, L"Silent", INVOKE_PROPERTYGET, 204, {{L"Value", "BOOL*", RET}}, nullptr},
    {14, L"Silent", INVOKE_PROPERTYPUT, 204, {{nullptr, "BOOL", PIN}}, nullptr},
};

const std::vector<Member> kProfile = {
    {7,
     L"Sign",
     INVOKE_FUNC,
     201,
     {{L"Xml", "BSTR", PIN}, {L"Action", "SignAction", PIN}, {L"Value", "BSTR*", RET}},
     nullptr},
    {8, L"Open", INVOKE_FUNC, 202, {}, nullptr},
    {9, L"Close", INVOKE_FUNC, 203, {}, nullptr},
    {10, L"Name", INVOKE_PROPERTYGET, 204, {{L"Value", "BSTR*", RET}}, nullptr},
    {11, L"Name", INVOKE_PROPERTYPUT, 204, {{nullptr, "BSTR", PIN}}, nullptr},
    {12, L"TestMode", INVOKE_PROPERTYGET, 205, {{L"Value", "BOOL*", RET}}, nullptr},
    {13, L"TestMode", INVOKE_PROPERTYPUT, 205, {{nullptr, "BOOL", PIN}}, nullptr},
    {14, L"Keyload", INVOKE_PROPERTYGET, 206, {{L"Value", "Keyload*", RET}}, nullptr},
    {15, L"Keyload", INVOKE_PROPERTYPUT, 206, {{nullptr, "Keyload", PIN}}, nullptr},
};

GUID G(const wchar_t* s) {
  GUID g{};
  CLSIDFromString(s, &g);
  return g;
}

std::wstring GuidStr(const GUID& g) {
  wchar_t b[64];
  StringFromGUID2(g, b, 64);
  return b;
}

std::wstring Str(BSTR b) {
  std::wstring s = b ? std::wstring(b, SysStringLen(b)) : std::wstring();
  SysFreeString(b);
  return s;
}

std::wstring RefName(ITypeInfo* ti, HREFTYPE ref) {
  ITypeInfo* r = nullptr;
  if (FAILED(ti->GetRefTypeInfo(ref, &r)) || !r) return L"?";
  BSTR name = nullptr;
  r->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
  r->Release();
  return Str(name);
}

// The type of a parameter in the spelling of the tables above.
std::string TypeName(ITypeInfo* ti, const TYPEDESC& t) {
  switch (t.vt) {
    case VT_BSTR: return "BSTR";
    case VT_BOOL: return "BOOL";
    case VT_HRESULT: return "HRESULT";
    case VT_I4: return "I4";
    case VT_USERDEFINED: return ComCheck::Narrow(RefName(ti, t.hreftype));
    case VT_PTR: return TypeName(ti, *t.lptdesc) + "*";
    default: return "vt" + std::to_string(t.vt);
  }
}

void CheckMembers(ITypeInfo* intf, ITypeInfo* disp, const std::vector<Member>& members,
                  const char* what) {
  TYPEATTR* a = nullptr;
  if (FAILED(intf->GetTypeAttr(&a))) {
    CHECK(!"interface attributes");
    return;
  }
  std::printf("  %s: %u functions, table of %u slots\n", what, a->cFuncs, a->cbSizeVft / 4);
  CHECK_EQ(a->cFuncs, (UINT)members.size());
  CHECK_EQ(a->cbSizeVft / 4, (UINT)(7 + members.size()));
  CHECK_EQ(a->typekind, TKIND_INTERFACE);
  const UINT funcs = a->cFuncs;
  intf->ReleaseTypeAttr(a);
  for (UINT i = 0; i < funcs && i < members.size(); ++i) {
    const Member& m = members[i];
    FUNCDESC* f = nullptr;
    if (FAILED(intf->GetFuncDesc(i, &f))) {
      CHECK(!"GetFuncDesc");
      continue;
    }
    std::string tag = std::string(what) + "." + ComCheck::Narrow(m.name) + " ";
    ComCheck::Report(f->oVft / (int)sizeof(void*) == m.slot, __FILE__, __LINE__,
                     tag + "slot " + std::to_string(f->oVft / (int)sizeof(void*)));
    ComCheck::Report(f->memid == m.dispid, __FILE__, __LINE__,
                     tag + "dispid " + ComCheck::Hex(f->memid));
    ComCheck::Report(f->invkind == m.kind, __FILE__, __LINE__,
                     tag + "invkind " + std::to_string(f->invkind));
    ComCheck::Report(f->callconv == CC_STDCALL, __FILE__, __LINE__, tag + "callconv");
    ComCheck::Report(f->elemdescFunc.tdesc.vt == VT_HRESULT, __FILE__, __LINE__,
                     tag + "returns HRESULT");
    ComCheck::Report(f->cParamsOpt == 0, __FILE__, __LINE__, tag + "no optional parameters");
    ComCheck::Report(f->cParams == (SHORT)m.params.size(), __FILE__, __LINE__,
                     tag + "parameter count " + std::to_string(f->cParams));
    // Names: the member's, then its named parameters (a setter's argument has none).
    {
      BSTR nm[8] = {};
      UINT cn = 0;
      intf->GetNames(f->memid, nm, 8, &cn);
      std::vector<std::wstring> got;
      for (UINT k = 0; k < cn; ++k) got.push_back(Str(nm[k]));
      ComCheck::Report(!got.empty() && got[0] == m.name, __FILE__, __LINE__,
                       tag + "name " + (got.empty() ? std::string("-") : ComCheck::Narrow(got[0])));
      if (m.kind != INVOKE_PROPERTYPUT) {
        size_t named = 0;
        for (const Param& p : m.params) named += p.name ? 1 : 0;
        ComCheck::Report(got.size() == 1 + named, __FILE__, __LINE__,
                         tag + "names " + std::to_string(got.size()));
        for (size_t k = 0; k < m.params.size() && k + 1 < got.size(); ++k)
          ComCheck::Report(
              m.params[k].name && got[k + 1] == m.params[k].name, __FILE__, __LINE__,
              tag + "parameter " + std::to_string(k) + " named " + ComCheck::Narrow(got[k + 1]));
      }
    }
    for (SHORT k = 0; k < f->cParams && k < (SHORT)m.params.size(); ++k) {
      const ELEMDESC& e = f->lprgelemdescParam[k];
      std::string t = TypeName(intf, e.tdesc);
      ComCheck::Report(
          t == m.params[k].type, __FILE__, __LINE__,
          tag + "parameter " + std::to_string(k) + " type " + t + ", expected " + m.params[k].type);
      ComCheck::Report(e.paramdesc.wParamFlags == m.params[k].flags, __FILE__, __LINE__,
                       tag + "parameter " + std::to_string(k) + " flags " +
                           ComCheck::Hex(e.paramdesc.wParamFlags));
    }
    // Help string of the member.
    BSTR doc = nullptr;
    intf->GetDocumentation(f->memid, nullptr, &doc, nullptr, nullptr);
    std::wstring help = Str(doc);
    if (m.help) {
      CHECK_WSTR(help, m.help);
    } else {
      ComCheck::Report(help.empty(), __FILE__, __LINE__,
                       tag + "has no help string, got \"" + ComCheck::Narrow(help) + "\"");
    }
    intf->ReleaseFuncDesc(f);
  }
  // Dispatch view: names to DISPIDs by the platform's standard lookup.
  for (const Member& m : members) {
    LPOLESTR name = const_cast<LPOLESTR>(m.name);
    MEMBERID id = 0;
    CHECK_HR(disp->GetIDsOfNames(&name, 1, &id), S_OK);
    ComCheck::Report(id == m.dispid, __FILE__, __LINE__,
                     std::string(what) + " dispatch lookup of " + ComCheck::Narrow(m.name) + " = " +
                         ComCheck::Hex(id));
  }
}

void CheckEnum(ITypeInfo* ti, const std::vector<std::pair<const wchar_t*, int>>& values,
               const char* what) {
  TYPEATTR* a = nullptr;
  ti->GetTypeAttr(&a);
  CHECK_EQ(a->cVars, (UINT)values.size());
  const UINT n = a->cVars;
  ti->ReleaseTypeAttr(a);
  for (UINT i = 0; i < n && i < values.size(); ++i) {
    VARDESC* v = nullptr;
    if (FAILED(ti->GetVarDesc(i, &v))) {
      CHECK(!"GetVarDesc");
      continue;
    }
    BSTR name = nullptr;
    UINT c = 0;
    ti->GetNames(v->memid, &name, 1, &c);
    std::wstring nm = Str(name);
    std::string tag = std::string(what) + "." + ComCheck::Narrow(nm);
    CHECK_WSTR(nm, values[i].first);
    ComCheck::Report(v->varkind == VAR_CONST && v->lpvarValue != nullptr, __FILE__, __LINE__,
                     tag + " is a constant");
    if (v->varkind == VAR_CONST && v->lpvarValue) {
      ComCheck::Report(
          V_VT(v->lpvarValue) == VT_I4, __FILE__, __LINE__,
          tag + " is a 32-bit signed value, vt " + std::to_string(V_VT(v->lpvarValue)));
      ComCheck::Report(V_I4(v->lpvarValue) == values[i].second, __FILE__, __LINE__,
                       tag + " = " + std::to_string(V_I4(v->lpvarValue)));
    }
    BSTR doc = nullptr;
    ti->GetDocumentation(v->memid, nullptr, &doc, nullptr, nullptr);
    ComCheck::Report(Str(doc).empty(), __FILE__, __LINE__, tag + " has no help string");
    ti->ReleaseVarDesc(v);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::printf("usage: typelib_test PATH\\LumoDEZLib.dll\n");
    return 2;
  }
  CoInitialize(nullptr);
  std::wstring path = ComCheck::Wide(argv[1]);
  std::printf("ANSI code page %u\n", GetACP());

  // The resource itself: type TYPELIB, identifier 1, language neutral.
  HMODULE data = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  CHECK(data != nullptr);
  if (data) {
    HRSRC r = FindResourceExW(data, L"TYPELIB", MAKEINTRESOURCEW(1),
                              MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
    CHECK(r != nullptr);
    if (r) {
      const unsigned char* p =
          static_cast<const unsigned char*>(LockResource(LoadResource(data, r)));
      CHECK(p && std::memcmp(p, "MSFT", 4) == 0);
      if (p) {
        const LONG* h = reinterpret_cast<const LONG*>(p);
        std::printf("  header lcid 0x%lX, lcid2 0x%lX\n", h[3], h[4]);
        CHECK_EQ(h[3], 0x409L);  // texts recorded under 0x409
        CHECK_EQ(h[4], 0L);      // library attributes: locale 0
        CHECK_EQ(h[7], 0L);      // library flags: none
        // The stored type records (0x64 bytes each): kind and flag word, in order.
        const LONG count = h[8];
        CHECK_EQ(count, 6L);
        const size_t arr = 0x54 + ((h[5] & 0x100) ? 4 : 0);
        const LONG* segdir = reinterpret_cast<const LONG*>(p + arr + 4 * count);
        const unsigned char* tis = p + segdir[0];
        const LONG kinds[6] = {TKIND_ENUM,     TKIND_DISPATCH, TKIND_COCLASS,
                               TKIND_DISPATCH, TKIND_COCLASS,  TKIND_ENUM};
        const LONG flags[6] = {0, 0x1140, 0x2, 0x1140, 0x2, 0};
        for (LONG i = 0; i < count && i < 6; ++i) {
          const LONG* rec = reinterpret_cast<const LONG*>(tis + 0x64 * i);
          ComCheck::Report((rec[0] & 0xF) == kinds[i], __FILE__, __LINE__,
                           "stored kind of type " + std::to_string(i));
          ComCheck::Report(
              rec[12] == flags[i], __FILE__, __LINE__,
              "stored flags of type " + std::to_string(i) + " " + ComCheck::Hex(rec[12]));
        }
      }
    }
    FreeLibrary(data);
  }

  ITypeLib* lib = nullptr;
  CHECK_HR(LoadTypeLibEx(path.c_str(), REGKIND_NONE, &lib), S_OK);
  if (!lib) return ComCheck::Summary("typelib_test");

  TLIBATTR* la = nullptr;
  lib->GetLibAttr(&la);
  CHECK_WSTR(GuidStr(la->guid), L"{10C46255-7B54-46A7-964D-E9C16442E34F}");
  CHECK_EQ(la->wMajorVerNum, 1);
  CHECK_EQ(la->wMinorVerNum, 0);
  CHECK_EQ(la->lcid, 0UL);
  CHECK_EQ(la->syskind, SYS_WIN32);
  // The platform adds LIBFLAG_FHASDISKIMAGE for a library loaded from a file.
  CHECK_EQ(la->wLibFlags & ~LIBFLAG_FHASDISKIMAGE, 0);
  lib->ReleaseTLibAttr(la);
  {
    BSTR name = nullptr, doc = nullptr, helpFile = nullptr;
    DWORD ctx = 99;
    lib->GetDocumentation(-1, &name, &doc, &ctx, &helpFile);
    CHECK_WSTR(Str(name), L"LumoDEZLib");
    CHECK_WSTR(Str(doc), L"LumoDEZLib Library");
    CHECK_WSTR(Str(helpFile), L"");
    CHECK_EQ(ctx, 0UL);
  }
  ITypeLib2* lib2 = nullptr;
  CHECK_HR(lib->QueryInterface(IID_ITypeLib2, reinterpret_cast<void**>(&lib2)), S_OK);
  if (lib2) {
    BSTR hs = nullptr;
    DWORD hsc = 99;
    BSTR hsd = nullptr;
    CHECK_HR(lib2->GetDocumentation2(-1, 0x409, &hs, &hsc, &hsd), S_OK);
    CHECK_WSTR(Str(hs), L"LumoDEZLib Library");
    CHECK_EQ(hsc, 0UL);
    SysFreeString(hsd);
    ULONG unique = 0, chars = 0;
    CHECK_HR(lib2->GetLibStatistics(&unique, &chars), S_OK);
    lib2->Release();
  }

  struct TypeRow {
    const wchar_t* name;
    TYPEKIND kind;
    const wchar_t* guid;
    WORD flags;
    const wchar_t* help;
  };
  const TypeRow rows[] = {
      {L"SignAction", TKIND_ENUM, L"{33417351-1DA5-4141-9973-3C2C93A19061}", 0, L""},
      {L"ICBRSign", TKIND_DISPATCH, L"{733F15ED-DAF6-419C-A122-1F0D1CF9FA58}", 0x1140,
       L"Dispatch interface for DEZSign Object"},
      {L"DEZSign", TKIND_COCLASS, L"{8F66692E-BB74-4260-85C2-595777718FAB}", 0x2,
       L"DEZSign Object"},
      {L"IProfile", TKIND_DISPATCH, L"{25033B17-7135-4FA5-9D6B-273620C5FAC5}", 0x1140,
       L"Dispatch interface for Profile Object"},
      {L"Profile", TKIND_COCLASS, L"{0F014182-08B8-4A79-9619-85D9AF9720F7}", 0x2,
       L"Profile Object"},
      {L"Keyload", TKIND_ENUM, L"{E1435A7C-D12A-49D4-AC38-E2FEA91A0B77}", 0, L""},
  };
  CHECK_EQ(lib->GetTypeInfoCount(), 6U);
  ITypeInfo* infos[6] = {};
  for (UINT i = 0; i < 6 && i < lib->GetTypeInfoCount(); ++i) {
    const TypeRow& row = rows[i];
    BSTR name = nullptr, doc = nullptr;
    lib->GetDocumentation((INT)i, &name, &doc, nullptr, nullptr);
    std::wstring nm = Str(name);
    std::printf("  type %u: %s\n", i, ComCheck::Narrow(nm).c_str());
    CHECK_WSTR(nm, row.name);
    CHECK_WSTR(Str(doc), row.help);
    TYPEKIND kind;
    lib->GetTypeInfoType(i, &kind);
    CHECK_EQ(kind, row.kind);
    CHECK_HR(lib->GetTypeInfo(i, &infos[i]), S_OK);
    TYPEATTR* a = nullptr;
    infos[i]->GetTypeAttr(&a);
    CHECK_WSTR(GuidStr(a->guid), row.guid);
    // The stored flag word is checked in the raw records above. Wine reports the dispatch
    // half of a dual interface without TYPEFLAG_FOLEAUTOMATION (0x1040 for a stored 0x1140).
    const bool wineDual =
        row.kind == TKIND_DISPATCH && a->wTypeFlags == (row.flags & ~TYPEFLAG_FOLEAUTOMATION);
    if (wineDual)
      std::printf("  note: %s reported with flags 0x%X (stored 0x%X)\n",
                  ComCheck::Narrow(nm).c_str(), a->wTypeFlags, row.flags);
    ComCheck::Report(a->wTypeFlags == row.flags || wineDual, __FILE__, __LINE__,
                     ComCheck::Narrow(nm) + " flags " + ComCheck::Hex(a->wTypeFlags));
    CHECK_EQ(a->wMajorVerNum, 1);
    CHECK_EQ(a->wMinorVerNum, 0);
    if (row.kind == TKIND_COCLASS) CHECK_EQ(a->cImplTypes, 1);
    infos[i]->ReleaseTypeAttr(a);
    ITypeInfo* byGuid = nullptr;
    CHECK_HR(lib->GetTypeInfoOfGuid(G(row.guid), &byGuid), S_OK);
    if (byGuid) byGuid->Release();
  }

  CheckEnum(infos[0],
            {{L"Childs", 1},
             {L"Root", 2},
             {L"Envelope", 3},
             {L"Verify", 4},
             {L"Extract", 5},
             {L"Base64Envelope", 6}},
            "SignAction");
  CheckEnum(infos[5], {{L"Default", 0}, {L"Silent", 1}, {L"Loud", 2}}, "Keyload");

  // Both classes: one implemented interface, the default one, no source interface.
  for (int c : {2, 4}) {
    if (!infos[c]) continue;
    INT flags = 0;
    CHECK_HR(infos[c]->GetImplTypeFlags(0, &flags), S_OK);
    CHECK_EQ(flags, IMPLTYPEFLAG_FDEFAULT);
    HREFTYPE ref = 0;
    infos[c]->GetRefTypeOfImplType(0, &ref);
    CHECK_WSTR(RefName(infos[c], ref), c == 2 ? L"ICBRSign" : L"IProfile");
  }

  // The interfaces: the dual view (table slots) and the dispatch view (DISPIDs).
  for (int i : {1, 3}) {
    if (!infos[i]) continue;
    ITypeInfo* disp = infos[i];
    // The dispatch description derives from IDispatch of stdole2.
    HREFTYPE base = 0;
    CHECK_HR(disp->GetRefTypeOfImplType(0, &base), S_OK);
    ITypeInfo* baseInfo = nullptr;
    disp->GetRefTypeInfo(base, &baseInfo);
    if (baseInfo) {
      TYPEATTR* ba = nullptr;
      baseInfo->GetTypeAttr(&ba);
      CHECK(IsEqualGUID(ba->guid, IID_IDispatch));
      baseInfo->ReleaseTypeAttr(ba);
      ITypeLib* stdole = nullptr;
      UINT idx = 0;
      CHECK_HR(baseInfo->GetContainingTypeLib(&stdole, &idx), S_OK);
      if (stdole) {
        TLIBATTR* sa = nullptr;
        stdole->GetLibAttr(&sa);
        CHECK_WSTR(GuidStr(sa->guid), L"{00020430-0000-0000-C000-000000000046}");
        CHECK_EQ(sa->wMajorVerNum, 2);
        CHECK_EQ(sa->wMinorVerNum, 0);
        stdole->ReleaseTLibAttr(sa);
        BSTR sn = nullptr;
        stdole->GetDocumentation(-1, &sn, nullptr, nullptr, nullptr);
        CHECK_WSTR(Str(sn), L"stdole");
        stdole->Release();
      }
      baseInfo->Release();
    } else {
      CHECK(!"base interface of the dispatch description");
    }
    // The dual interface's table.
    HREFTYPE twin = 0;
    CHECK_HR(disp->GetRefTypeOfImplType(-1, &twin), S_OK);
    ITypeInfo* intf = nullptr;
    disp->GetRefTypeInfo(twin, &intf);
    CHECK(intf != nullptr);
    if (intf) {
      CheckMembers(intf, disp, i == 1 ? kCBRSign : kProfile, i == 1 ? "ICBRSign" : "IProfile");
      intf->Release();
    }
  }
  // Same property name, different DISPIDs.
  if (infos[1] && infos[3]) {
    LPOLESTR n = const_cast<LPOLESTR>(L"TestMode");
    MEMBERID a = 0, b = 0;
    infos[1]->GetIDsOfNames(&n, 1, &a);
    infos[3]->GetIDsOfNames(&n, 1, &b);
    CHECK_EQ(a, 201L);
    CHECK_EQ(b, 205L);
  }
  for (ITypeInfo* ti : infos)
    if (ti) ti->Release();
  lib->Release();
  CoUninitialize();
  return ComCheck::Summary("typelib_test");
}
