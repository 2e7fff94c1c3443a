// Late binding without the platform: names to dispatch identifiers for ICBRSign and
// IProfile, and invocation by identifier with a small variant. A script host or a
// language binding drives both objects by name through this.
#pragma once

#include <cstdint>
#include <vector>

#include "base/types.h"

namespace Lumo::Automation {
class TCBRSign;
}
namespace Lumo::Automation {
class TProfile;
}

namespace Lumo::Automation {

enum DispatchFlags : uint16_t {
  kDispatchMethod = 1,
  kDispatchPropertyGet = 2,
  kDispatchPropertyPut = 4,
  kDispatchPropertyPutRef = 8,
};

inline constexpr int32_t kDISP_E_MEMBERNOTFOUND = static_cast<int32_t>(0x80020003u);
inline constexpr int32_t kDISP_E_TYPEMISMATCH = static_cast<int32_t>(0x80020005u);
inline constexpr int32_t kDISP_E_UNKNOWNNAME = static_cast<int32_t>(0x80020006u);
inline constexpr int32_t kDISP_E_BADPARAMCOUNT = static_cast<int32_t>(0x8002000Eu);

struct Variant {
  enum Kind { Empty, Bool, Int32, String, Object };
  Kind kind = Empty;
  int32_t intValue = 0;         // Bool: -1 or 0; Int32: the value
  Lumo::Base::WideString text;  // String
  void* object = nullptr;       // Object (null reference allowed)

  static Variant FromBool(bool v) {
    Variant r;
    r.kind = Bool;
    r.intValue = v ? -1 : 0;
    return r;
  }
  static Variant FromInt(int32_t v) {
    Variant r;
    r.kind = Int32;
    r.intValue = v;
    return r;
  }
  static Variant FromString(Lumo::Base::WideString v) {
    Variant r;
    r.kind = String;
    r.text = std::move(v);
    return r;
  }
  static Variant FromObject(void* v) {
    Variant r;
    r.kind = Object;
    r.object = v;
    return r;
  }
};

enum class Interface { ICBRSign, IProfile };

struct MemberName {
  const char16_t* name;
  int32_t dispid;
};

// The members of an interface with their dispatch identifiers, in table order.
const std::vector<MemberName>& Members(Interface iface);

// Case-insensitive (ASCII) like the platform's lookup. 0 or DISP_E_UNKNOWNNAME.
int32_t GetIDOfName(Interface iface, Lumo::Base::WideView name, int32_t& dispid);

// Arguments in natural order (first parameter first). A write with either property-put
// flag is taken as a plain write. Failures of the operation itself come back with
// error information as from a direct call.
int32_t Invoke(Lumo::Automation::TCBRSign& object, int32_t dispid, uint16_t flags,
               const std::vector<Variant>& args, Variant& result);
int32_t Invoke(Lumo::Automation::TProfile& object, int32_t dispid, uint16_t flags,
               const std::vector<Variant>& args, Variant& result);

}  // namespace Lumo::Automation
