// Late binding by name: the dispatch identifiers of both interfaces and invocation
// through them reach the same operations as direct calls.
#include <gtest/gtest.h>

#include "automation/ax_profile.h"
#include "automation/cbr_sign.h"
#include "automation/dispatch.h"
#include "automation/error_info.h"

namespace {

using Lumo::Automation::Interface;
using Lumo::Automation::Variant;

int32_t Id(Interface iface, const char16_t* name) {
  int32_t id = 0;
  EXPECT_EQ(Lumo::Automation::GetIDOfName(iface, name, id), 0) << "name lookup";
  return id;
}

TEST(DispatchNames, IdentifiersOfBothInterfaces) {
  EXPECT_EQ(Id(Interface::ICBRSign, u"SignFile"), 0x60020000);
  EXPECT_EQ(Id(Interface::ICBRSign, u"SignXml"), 0x60020001);
  EXPECT_EQ(Id(Interface::ICBRSign, u"TestMode"), 201);
  EXPECT_EQ(Id(Interface::ICBRSign, u"OpenProfile"), 202);
  EXPECT_EQ(Id(Interface::ICBRSign, u"CloseProfile"), 203);
  EXPECT_EQ(Id(Interface::ICBRSign, u"Silent"), 204);
  EXPECT_EQ(Id(Interface::IProfile, u"Sign"), 201);
  EXPECT_EQ(Id(Interface::IProfile, u"Open"), 202);
  EXPECT_EQ(Id(Interface::IProfile, u"Close"), 203);
  EXPECT_EQ(Id(Interface::IProfile, u"Name"), 204);
  EXPECT_EQ(Id(Interface::IProfile, u"TestMode"), 205);
  EXPECT_EQ(Id(Interface::IProfile, u"Keyload"), 206);
  // Names are looked up without regard to case, as script hosts spell them freely.
  EXPECT_EQ(Id(Interface::ICBRSign, u"signxml"), 0x60020001);
  int32_t id = 0;
  EXPECT_EQ(Lumo::Automation::GetIDOfName(Interface::IProfile, u"Silent", id),
            Lumo::Automation::kDISP_E_UNKNOWNNAME);
  EXPECT_EQ(Lumo::Automation::GetIDOfName(Interface::ICBRSign, u"Keyload", id),
            Lumo::Automation::kDISP_E_UNKNOWNNAME);
}

TEST(DispatchInvoke, PropertiesByNameWithEitherWriteFlag) {
  Lumo::Automation::TCBRSign sign;
  Variant result;
  ASSERT_EQ(Lumo::Automation::Invoke(sign, 201, Lumo::Automation::kDispatchPropertyPutRef,
                                     {Variant::FromBool(true)}, result),
            0);
  EXPECT_TRUE(sign.TestMode);
  ASSERT_EQ(Lumo::Automation::Invoke(sign, 201, Lumo::Automation::kDispatchPropertyGet, {}, result),
            0);
  EXPECT_EQ(result.kind, Variant::Bool);
  EXPECT_EQ(result.intValue, -1);
  ASSERT_EQ(Lumo::Automation::Invoke(sign, 204, Lumo::Automation::kDispatchPropertyPut,
                                     {Variant::FromInt(5)}, result),
            0);
  EXPECT_TRUE(sign.Silent);

  Lumo::Automation::TProfile profile;
  ASSERT_EQ(Lumo::Automation::Invoke(profile, 206, Lumo::Automation::kDispatchPropertyPut,
                                     {Variant::FromInt(258)}, result),
            0);
  ASSERT_EQ(
      Lumo::Automation::Invoke(
          profile, 206, Lumo::Automation::kDispatchPropertyGet | Lumo::Automation::kDispatchMethod,
          {}, result),
      0);
  EXPECT_EQ(result.intValue, 2);
  ASSERT_EQ(Lumo::Automation::Invoke(profile, 204, Lumo::Automation::kDispatchPropertyPut,
                                     {Variant::FromString(u"KEY")}, result),
            0);
  ASSERT_EQ(
      Lumo::Automation::Invoke(profile, 204, Lumo::Automation::kDispatchPropertyGet, {}, result),
      0);
  EXPECT_EQ(result.text, u"KEY");
}

TEST(DispatchInvoke, MethodsReachTheObjects) {
  Lumo::Automation::TCBRSign sign;
  Variant result;
  ASSERT_EQ(
      Lumo::Automation::Invoke(
          sign, 0x60020001, Lumo::Automation::kDispatchMethod,
          {Variant::FromString(u"<a/>"), Variant::FromString(u""), Variant::FromInt(5)}, result),
      0);
  EXPECT_EQ(result.text, u"<a/>");
  ASSERT_EQ(Lumo::Automation::Invoke(sign, 202, Lumo::Automation::kDispatchMethod,
                                     {Variant::FromString(u"x")}, result),
            0);
  EXPECT_EQ(result.kind, Variant::Object);
  EXPECT_EQ(result.object, nullptr);
  EXPECT_EQ(Lumo::Automation::Invoke(sign, 203, Lumo::Automation::kDispatchMethod,
                                     {Variant::FromString(u"x")}, result),
            0);

  Lumo::Automation::TProfile profile;
  ASSERT_EQ(Lumo::Automation::Invoke(profile, 205, Lumo::Automation::kDispatchPropertyPut,
                                     {Variant::FromBool(true)}, result),
            0);
  ASSERT_EQ(Lumo::Automation::Invoke(profile, 202, Lumo::Automation::kDispatchMethod, {}, result),
            0);
  ASSERT_EQ(Lumo::Automation::Invoke(profile, 201, Lumo::Automation::kDispatchMethod,
                                     {Variant::FromString(u"<a/>"), Variant::FromInt(0)}, result),
            0);
  EXPECT_EQ(result.text, u"<?xml version=\"1.0\" encoding=\"UTF-8\"?><a/>");
  EXPECT_EQ(Lumo::Automation::Invoke(profile, 203, Lumo::Automation::kDispatchMethod, {}, result),
            0);
}

TEST(DispatchInvoke, BadCallsAreRefusedWithDispatchStatuses) {
  Lumo::Automation::TCBRSign sign;
  Variant result;
  EXPECT_EQ(Lumo::Automation::Invoke(sign, 999, Lumo::Automation::kDispatchMethod, {}, result),
            Lumo::Automation::kDISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(Lumo::Automation::Invoke(sign, 0x60020001, Lumo::Automation::kDispatchMethod,
                                     {Variant::FromString(u"<a/>")}, result),
            Lumo::Automation::kDISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Lumo::Automation::Invoke(
                sign, 0x60020001, Lumo::Automation::kDispatchMethod,
                {Variant::FromInt(1), Variant::FromString(u""), Variant::FromInt(5)}, result),
            Lumo::Automation::kDISP_E_TYPEMISMATCH);
  // A failing operation keeps its own status and error information.
  EXPECT_EQ(
      Lumo::Automation::Invoke(
          sign, 0x60020001, Lumo::Automation::kDispatchMethod,
          {Variant::FromString(u"<a"), Variant::FromString(u""), Variant::FromInt(5)}, result),
      static_cast<int32_t>(0x8000FFFFu));
  ASSERT_NE(Lumo::Automation::LastErrorInfo(), nullptr);
  EXPECT_EQ(Lumo::Automation::LastErrorInfo()->source, u"LumoDEZLib.DEZSign");
}

}  // namespace
