// Late binding by name: the dispatch identifiers of both interfaces and invocation
// through them reach the same operations as direct calls.
#include <gtest/gtest.h>

#include "automation/ax_profile.h"
#include "automation/cbr_sign.h"
#include "automation/dispatch.h"
#include "automation/error_info.h"

namespace {

using AX::Interface;
using AX::Variant;

int32_t Id(Interface iface, const char16_t* name) {
  int32_t id = 0;
  EXPECT_EQ(AX::GetIDOfName(iface, name, id), 0) << "name lookup";
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
  EXPECT_EQ(AX::GetIDOfName(Interface::IProfile, u"Silent", id), AX::kDISP_E_UNKNOWNNAME);
  EXPECT_EQ(AX::GetIDOfName(Interface::ICBRSign, u"Keyload", id), AX::kDISP_E_UNKNOWNNAME);
}

TEST(DispatchInvoke, PropertiesByNameWithEitherWriteFlag) {
  AXCBRSign::TCBRSign sign;
  Variant result;
  ASSERT_EQ(AX::Invoke(sign, 201, AX::kDispatchPropertyPutRef, {Variant::FromBool(true)}, result), 0);
  EXPECT_TRUE(sign.TestMode);
  ASSERT_EQ(AX::Invoke(sign, 201, AX::kDispatchPropertyGet, {}, result), 0);
  EXPECT_EQ(result.kind, Variant::Bool);
  EXPECT_EQ(result.intValue, -1);
  ASSERT_EQ(AX::Invoke(sign, 204, AX::kDispatchPropertyPut, {Variant::FromInt(5)}, result), 0);
  EXPECT_TRUE(sign.Silent);

  AXProfile::TProfile profile;
  ASSERT_EQ(AX::Invoke(profile, 206, AX::kDispatchPropertyPut, {Variant::FromInt(258)}, result), 0);
  ASSERT_EQ(AX::Invoke(profile, 206, AX::kDispatchPropertyGet | AX::kDispatchMethod, {}, result), 0);
  EXPECT_EQ(result.intValue, 2);
  ASSERT_EQ(AX::Invoke(profile, 204, AX::kDispatchPropertyPut, {Variant::FromString(u"KEY")}, result), 0);
  ASSERT_EQ(AX::Invoke(profile, 204, AX::kDispatchPropertyGet, {}, result), 0);
  EXPECT_EQ(result.text, u"KEY");
}

TEST(DispatchInvoke, MethodsReachTheObjects) {
  AXCBRSign::TCBRSign sign;
  Variant result;
  ASSERT_EQ(AX::Invoke(sign, 0x60020001, AX::kDispatchMethod,
                       {Variant::FromString(u"<a/>"), Variant::FromString(u""), Variant::FromInt(5)}, result),
            0);
  EXPECT_EQ(result.text, u"<a/>");
  ASSERT_EQ(AX::Invoke(sign, 202, AX::kDispatchMethod, {Variant::FromString(u"x")}, result), 0);
  EXPECT_EQ(result.kind, Variant::Object);
  EXPECT_EQ(result.object, nullptr);
  EXPECT_EQ(AX::Invoke(sign, 203, AX::kDispatchMethod, {Variant::FromString(u"x")}, result), 0);

  AXProfile::TProfile profile;
  ASSERT_EQ(AX::Invoke(profile, 205, AX::kDispatchPropertyPut, {Variant::FromBool(true)}, result), 0);
  ASSERT_EQ(AX::Invoke(profile, 202, AX::kDispatchMethod, {}, result), 0);
  ASSERT_EQ(AX::Invoke(profile, 201, AX::kDispatchMethod, {Variant::FromString(u"<a/>"), Variant::FromInt(0)}, result), 0);
  EXPECT_EQ(result.text, u"<?xml version=\"1.0\" encoding=\"UTF-8\"?><a/>");
  EXPECT_EQ(AX::Invoke(profile, 203, AX::kDispatchMethod, {}, result), 0);
}

TEST(DispatchInvoke, BadCallsAreRefusedWithDispatchStatuses) {
  AXCBRSign::TCBRSign sign;
  Variant result;
  EXPECT_EQ(AX::Invoke(sign, 999, AX::kDispatchMethod, {}, result), AX::kDISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(AX::Invoke(sign, 0x60020001, AX::kDispatchMethod, {Variant::FromString(u"<a/>")}, result),
            AX::kDISP_E_BADPARAMCOUNT);
  EXPECT_EQ(AX::Invoke(sign, 0x60020001, AX::kDispatchMethod,
                       {Variant::FromInt(1), Variant::FromString(u""), Variant::FromInt(5)}, result),
            AX::kDISP_E_TYPEMISMATCH);
  // A failing operation keeps its own status and error information.
  EXPECT_EQ(AX::Invoke(sign, 0x60020001, AX::kDispatchMethod,
                       {Variant::FromString(u"<a"), Variant::FromString(u""), Variant::FromInt(5)}, result),
            static_cast<int32_t>(0x8000FFFFu));
  ASSERT_NE(AX::LastErrorInfo(), nullptr);
  EXPECT_EQ(AX::LastErrorInfo()->source, u"LumoDEZLib.DEZSign");
}

}  // namespace
