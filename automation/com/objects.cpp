// The two automation objects on the frame: DEZSign (ICBRSign over Lumo::Automation::TCBRSign)
// and Profile (IProfile over Lumo::Automation::TProfile). Each member hands
// its arguments to the portable class and converts a failure into the client's error
// information, whether the operation is called through the interface table
// or through IDispatch.
#include <string>

#include "automation/ax_profile.h"
#include "automation/cbr_sign.h"
#include "automation/com/server.h"
#include "base/actions.h"

// The type library's action codes (LumoDEZLib.idl, through widl's header) are the table's.
#define LUMO_IDL_ACTION_MATCHES(name, cName, code)                \
  static_assert(static_cast<int>(::name) == Lumo::Base::sa##name, \
                "SignAction " #name " in LumoDEZLib.idl");
LUMO_ACTIONS(LUMO_IDL_ACTION_MATCHES)
#undef LUMO_IDL_ACTION_MATCHES

namespace Lumo::Automation::Com {

using Lumo::Base::WideString;
using Lumo::Base::WideView;

namespace {

WideView View(BSTR s) {
  return s ? WideView(reinterpret_cast<const char16_t*>(s), SysStringLen(s)) : WideView();
}

// A result string as a BSTR; an empty text is the null BSTR (the platform's empty string).
HRESULT ToBstr(const WideString& text, BSTR* out) {
  *out = nullptr;
  if (text.empty()) return S_OK;
  *out = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                           static_cast<UINT>(text.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

class TCBRSignObject final : public TAutoObject<ICBRSign> {
 public:
  using TAutoObject::TAutoObject;

  STDMETHODIMP SignFile(BSTR inputFileName, BSTR outputFileName, BSTR profile,
                        enum SignAction action) override {
    try {
      return Complete(logic_.SignFile(View(inputFileName), View(outputFileName), View(profile),
                                      static_cast<int32_t>(action)));
    } catch (...) {
      return HandleException();
    }
  }

  STDMETHODIMP SignXml(BSTR inputXml, BSTR profile, enum SignAction action, BSTR* value) override {
    if (!value) return E_POINTER;
    *value = nullptr;
    try {
      WideString result;
      HRESULT hr = Complete(
          logic_.SignXml(View(inputXml), View(profile), static_cast<int32_t>(action), result));
      if (FAILED(hr)) return hr;
      return ToBstr(result, value);
    } catch (...) {
      return HandleException();
    }
  }

  STDMETHODIMP get_TestMode(VARIANT_BOOL* value) override {
    if (!value) return E_POINTER;
    int16_t v = 0;
    HRESULT hr = Complete(logic_.get_TestMode(v));
    *value = v;
    return hr;
  }
  STDMETHODIMP put_TestMode(VARIANT_BOOL value) override {
    return Complete(logic_.put_TestMode(value));
  }

  STDMETHODIMP OpenProfile(BSTR name, IProfile** value) override {
    if (!value) return E_POINTER;
    *value = nullptr;
    void* result = nullptr;
    HRESULT hr = Complete(logic_.OpenProfile(View(name), &result));
    *value = nullptr;  // always the null reference
    return hr;
  }
  STDMETHODIMP CloseProfile(BSTR name) override {
    return Complete(logic_.CloseProfile(View(name)));
  }

  STDMETHODIMP get_Silent(VARIANT_BOOL* value) override {
    if (!value) return E_POINTER;
    int16_t v = 0;
    HRESULT hr = Complete(logic_.get_Silent(v));
    *value = v;
    return hr;
  }
  STDMETHODIMP put_Silent(VARIANT_BOOL value) override {
    return Complete(logic_.put_Silent(value));
  }

 private:
  TCBRSign logic_;
};

class TProfileObject final : public TAutoObject<IProfile> {
 public:
  using TAutoObject::TAutoObject;

  STDMETHODIMP Sign(BSTR xml, enum SignAction action, BSTR* value) override {
    if (!value) return E_POINTER;
    *value = nullptr;
    try {
      WideString result;
      HRESULT hr = Complete(logic_.Sign(View(xml), static_cast<int32_t>(action), result));
      if (FAILED(hr)) return hr;
      return ToBstr(result, value);
    } catch (...) {
      return HandleException();
    }
  }
  STDMETHODIMP Open() override {
    try {
      return Complete(logic_.Open());
    } catch (...) {
      return HandleException();
    }
  }
  STDMETHODIMP Close() override {
    try {
      return Complete(logic_.Close());
    } catch (...) {
      return HandleException();
    }
  }
  STDMETHODIMP get_Name(BSTR* value) override {
    if (!value) return E_POINTER;
    *value = nullptr;
    try {
      WideString result;
      HRESULT hr = Complete(logic_.get_Name(result));
      if (FAILED(hr)) return hr;
      return ToBstr(result, value);
    } catch (...) {
      return HandleException();
    }
  }
  STDMETHODIMP put_Name(BSTR value) override {
    try {
      return Complete(logic_.put_Name(View(value)));
    } catch (...) {
      return HandleException();
    }
  }
  STDMETHODIMP get_TestMode(VARIANT_BOOL* value) override {
    if (!value) return E_POINTER;
    int16_t v = 0;
    HRESULT hr = Complete(logic_.get_TestMode(v));
    *value = v;
    return hr;
  }
  STDMETHODIMP put_TestMode(VARIANT_BOOL value) override {
    return Complete(logic_.put_TestMode(value));
  }
  STDMETHODIMP get_Keyload(enum Keyload* value) override {
    if (!value) return E_POINTER;
    int32_t v = 0;
    HRESULT hr = Complete(logic_.get_Keyload(v));
    *value = static_cast<enum Keyload>(v);
    return hr;
  }
  STDMETHODIMP put_Keyload(enum Keyload value) override {
    return Complete(logic_.put_Keyload(static_cast<int32_t>(value)));
  }

 private:
  TProfile logic_;
};

TComObjectBase* CreateCBRSign(TAutoObjectFactory* factory, IUnknown* outer) {
  return new TCBRSignObject(factory, outer);
}

TComObjectBase* CreateProfile(TAutoObjectFactory* factory, IUnknown* outer) {
  return new TProfileObject(factory, outer);
}

}  // namespace Lumo::Automation::Com
