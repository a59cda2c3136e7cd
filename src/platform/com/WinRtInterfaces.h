// The runtime object model's base interfaces, with the public Windows interface ids.
#pragma once

#include "platform/com/HString.h"
#include "platform/com/Unknown.h"

enum TrustLevel : int32_t { BaseTrust = 0, PartialTrust = 1, FullTrust = 2 };

struct IInspectable : IUnknown {
  static constexpr GUID kIid{0xAF86E2E0, 0xB12D, 0x4C6A, {0x9C, 0x5A, 0xD7, 0xAA, 0x65, 0x10, 0x1E, 0x90}};
  using BaseInterface = IUnknown;

  // *iids is allocated with CoTaskMemAlloc and owned by the caller.
  virtual HRESULT GetIids(ULONG* count, IID** iids) = 0;
  virtual HRESULT GetRuntimeClassName(HSTRING* className) = 0;
  virtual HRESULT GetTrustLevel(TrustLevel* trustLevel) = 0;
};

// Marker: the object may be called from any thread without marshalling.
struct IAgileObject : IUnknown {
  static constexpr GUID kIid{0x94EA2B94, 0xE9CC, 0x49E0, {0xC0, 0xFF, 0xEE, 0x64, 0xCA, 0x8F, 0x5B, 0x90}};
  using BaseInterface = IUnknown;
};

struct IWeakReference : IUnknown {
  static constexpr GUID kIid{0x00000037, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  using BaseInterface = IUnknown;

  // Succeeds with a null object once the last strong reference is gone.
  virtual HRESULT Resolve(REFIID iid, IInspectable** object) = 0;

  template <class Q>
  HRESULT Resolve(Q** object) {
    return Resolve(uuidof<Q>(), reinterpret_cast<IInspectable**>(object));
  }
};

struct IWeakReferenceSource : IUnknown {
  static constexpr GUID kIid{0x00000038, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  using BaseInterface = IUnknown;

  virtual HRESULT GetWeakReference(IWeakReference** weakReference) = 0;
};

namespace ABI::Windows::Foundation {

struct IClosable : IInspectable {
  static constexpr GUID kIid{0x30D5A829, 0x7FA4, 0x4026, {0x83, 0xBB, 0xD7, 0x5B, 0xAE, 0x4E, 0xA9, 0x9E}};
  using BaseInterface = IInspectable;

  virtual HRESULT Close() = 0;
};

}  // namespace ABI::Windows::Foundation

struct IActivationFactory : IInspectable {
  static constexpr GUID kIid{0x00000035, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  using BaseInterface = IInspectable;

  virtual HRESULT ActivateInstance(IInspectable** instance) = 0;
};
