#include "automation/dispatch.h"

#include "automation/ax_profile.h"
#include "automation/cbr_sign.h"

namespace Lumo::Automation {

using Lumo::Base::WideString;
using Lumo::Base::WideView;

namespace {

constexpr int32_t kSignFile = 0x60020000;
constexpr int32_t kSignXml = 0x60020001;
constexpr int32_t kCBRTestMode = 201;
constexpr int32_t kOpenProfile = 202;
constexpr int32_t kCloseProfile = 203;
constexpr int32_t kSilent = 204;

constexpr int32_t kSign = 201;
constexpr int32_t kOpen = 202;
constexpr int32_t kClose = 203;
constexpr int32_t kName = 204;
constexpr int32_t kProfileTestMode = 205;
constexpr int32_t kKeyload = 206;

char16_t FoldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c; }

bool EqualsIgnoreAsciiCase(WideView a, WideView b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

// Argument conversion in the way automation coerces the few types these members take.
struct Args {
  const std::vector<Variant>& list;
  int32_t status = 0;

  bool Count(size_t n) {
    if (list.size() != n) status = kDISP_E_BADPARAMCOUNT;
    return status == 0;
  }
  WideString Text(size_t i) {
    if (list[i].kind == Variant::String) return list[i].text;
    if (list[i].kind != Variant::Empty) status = kDISP_E_TYPEMISMATCH;
    return {};
  }
  int32_t Int(size_t i) {
    if (list[i].kind == Variant::Int32 || list[i].kind == Variant::Bool) return list[i].intValue;
    status = kDISP_E_TYPEMISMATCH;
    return 0;
  }
};

bool IsPut(uint16_t flags) {
  return (flags & (kDispatchPropertyPut | kDispatchPropertyPutRef)) != 0;
}
bool IsGet(uint16_t flags) { return (flags & kDispatchPropertyGet) != 0; }
bool IsCall(uint16_t flags) { return (flags & kDispatchMethod) != 0; }

}  // namespace

const std::vector<MemberName>& Members(Interface iface) {
  static const std::vector<MemberName> cbrSign = {
      {u"SignFile", kSignFile},       {u"SignXml", kSignXml},           {u"TestMode", kCBRTestMode},
      {u"OpenProfile", kOpenProfile}, {u"CloseProfile", kCloseProfile}, {u"Silent", kSilent},
  };
  static const std::vector<MemberName> profile = {
      {u"Sign", kSign},
      {u"Open", kOpen},
      {u"Close", kClose},
      {u"Name", kName},
      {u"TestMode", kProfileTestMode},
      {u"Keyload", kKeyload},
  };
  return iface == Interface::ICBRSign ? cbrSign : profile;
}

int32_t GetIDOfName(Interface iface, WideView name, int32_t& dispid) {
  for (const MemberName& m : Members(iface)) {
    if (EqualsIgnoreAsciiCase(name, m.name)) {
      dispid = m.dispid;
      return 0;
    }
  }
  dispid = -1;
  return kDISP_E_UNKNOWNNAME;
}

int32_t Invoke(TCBRSign& object, int32_t dispid, uint16_t flags, const std::vector<Variant>& args,
               Variant& result) {
  result = Variant{};
  Args a{args};
  switch (dispid) {
    case kSignFile: {
      if (!IsCall(flags)) return kDISP_E_MEMBERNOTFOUND;
      if (!a.Count(4)) return a.status;
      auto in = a.Text(0), out = a.Text(1), profile = a.Text(2);
      int32_t action = a.Int(3);
      if (a.status) return a.status;
      return object.SignFile(in, out, profile, action);
    }
    case kSignXml: {
      if (!IsCall(flags)) return kDISP_E_MEMBERNOTFOUND;
      if (!a.Count(3)) return a.status;
      auto xml = a.Text(0), profile = a.Text(1);
      int32_t action = a.Int(2);
      if (a.status) return a.status;
      WideString value;
      int32_t hr = object.SignXml(xml, profile, action, value);
      if (hr == 0) result = Variant::FromString(std::move(value));
      return hr;
    }
    case kCBRTestMode:
    case kSilent: {
      const bool testMode = dispid == kCBRTestMode;
      if (IsPut(flags)) {
        if (!a.Count(1)) return a.status;
        int16_t v = static_cast<int16_t>(a.Int(0));
        if (a.status) return a.status;
        return testMode ? object.put_TestMode(v) : object.put_Silent(v);
      }
      if (!IsGet(flags)) return kDISP_E_MEMBERNOTFOUND;
      if (!a.Count(0)) return a.status;
      int16_t v = 0;
      int32_t hr = testMode ? object.get_TestMode(v) : object.get_Silent(v);
      result = Variant::FromBool(v != 0);
      return hr;
    }
    case kOpenProfile: {
      if (!IsCall(flags)) return kDISP_E_MEMBERNOTFOUND;
      if (!a.Count(1)) return a.status;
      auto name = a.Text(0);
      if (a.status) return a.status;
      void* profile = nullptr;
      int32_t hr = object.OpenProfile(name, &profile);
      result = Variant::FromObject(profile);
      return hr;
    }
    case kCloseProfile: {
      if (!IsCall(flags)) return kDISP_E_MEMBERNOTFOUND;
      if (!a.Count(1)) return a.status;
      auto name = a.Text(0);
      if (a.status) return a.status;
      return object.CloseProfile(name);
    }
  }
  return kDISP_E_MEMBERNOTFOUND;
}

int32_t Invoke(TProfile& object, int32_t dispid, uint16_t flags, const std::vector<Variant>& args,
               Variant& result) {
  result = Variant{};
  Args a{args};
  switch (dispid) {
    case kSign: {
      if (!IsCall(flags)) return kDISP_E_MEMBERNOTFOUND;
      if (!a.Count(2)) return a.status;
      auto xml = a.Text(0);
      int32_t action = a.Int(1);
      if (a.status) return a.status;
      WideString value;
      int32_t hr = object.Sign(xml, action, value);
      if (hr == 0) result = Variant::FromString(std::move(value));
      return hr;
    }
    case kOpen:
    case kClose:
      if (!IsCall(flags)) return kDISP_E_MEMBERNOTFOUND;
      if (!a.Count(0)) return a.status;
      return dispid == kOpen ? object.Open() : object.Close();
    case kName: {
      if (IsPut(flags)) {
        if (!a.Count(1)) return a.status;
        auto v = a.Text(0);
        if (a.status) return a.status;
        return object.put_Name(v);
      }
      if (!IsGet(flags)) return kDISP_E_MEMBERNOTFOUND;
      if (!a.Count(0)) return a.status;
      WideString v;
      int32_t hr = object.get_Name(v);
      result = Variant::FromString(std::move(v));
      return hr;
    }
    case kProfileTestMode: {
      if (IsPut(flags)) {
        if (!a.Count(1)) return a.status;
        int16_t v = static_cast<int16_t>(a.Int(0));
        if (a.status) return a.status;
        return object.put_TestMode(v);
      }
      if (!IsGet(flags)) return kDISP_E_MEMBERNOTFOUND;
      if (!a.Count(0)) return a.status;
      int16_t v = 0;
      int32_t hr = object.get_TestMode(v);
      result = Variant::FromBool(v != 0);
      return hr;
    }
    case kKeyload: {
      if (IsPut(flags)) {
        if (!a.Count(1)) return a.status;
        int32_t v = a.Int(0);
        if (a.status) return a.status;
        return object.put_Keyload(v);
      }
      if (!IsGet(flags)) return kDISP_E_MEMBERNOTFOUND;
      if (!a.Count(0)) return a.status;
      int32_t v = 0;
      int32_t hr = object.get_Keyload(v);
      result = Variant::FromInt(v);
      return hr;
    }
  }
  return kDISP_E_MEMBERNOTFOUND;
}

}  // namespace Lumo::Automation
