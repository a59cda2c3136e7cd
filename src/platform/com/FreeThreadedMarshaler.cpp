#include "platform/com/FreeThreadedMarshaler.h"

#include "platform/com/ComObject.h"

#include <cstring>
#include <new>

namespace {

struct MarshalData {
  uint64_t address;
  uint32_t flags;
};
constexpr DWORD kMarshalDataSize = sizeof(uint64_t) + sizeof(uint32_t);

bool IsInProcess(DWORD context) { return context == MSHCTX_INPROC || context == MSHCTX_CROSSCTX; }

HRESULT ReadData(IStream* stream, MarshalData* data) {
  if (stream == nullptr) return E_POINTER;
  unsigned char bytes[kMarshalDataSize];
  ULONG read = 0;
  HRESULT hr = stream->Read(bytes, kMarshalDataSize, &read);
  if (FAILED(hr)) return hr;
  if (read != kMarshalDataSize) return STG_E_READFAULT;
  std::memcpy(&data->address, bytes, sizeof data->address);
  std::memcpy(&data->flags, bytes + sizeof data->address, sizeof data->flags);
  return S_OK;
}

IUnknown* Unknown(const MarshalData& data) { return reinterpret_cast<IUnknown*>(static_cast<uintptr_t>(data.address)); }

// The marshaler: its IMarshal delegates identity and lifetime to the outer object; its own
// IUnknown (Inner) is what the outer object holds.
class FreeThreadedMarshaler final : public IMarshal {
 public:
  explicit FreeThreadedMarshaler(IUnknown* outer) : outer_(outer) {}

  HRESULT QueryInterface(REFIID iid, void** object) override { return outer_->QueryInterface(iid, object); }
  ULONG AddRef() override { return outer_->AddRef(); }
  ULONG Release() override { return outer_->Release(); }

  HRESULT GetUnmarshalClass(REFIID, void*, DWORD destContext, void*, DWORD, CLSID* clsid) override {
    if (clsid == nullptr) return E_POINTER;
    *clsid = CLSID_InProcFreeMarshaler;
    return IsInProcess(destContext) ? S_OK : E_NOTIMPL;
  }

  HRESULT GetMarshalSizeMax(REFIID, void*, DWORD destContext, void*, DWORD, DWORD* size) override {
    if (size == nullptr) return E_POINTER;
    *size = kMarshalDataSize;
    return IsInProcess(destContext) ? S_OK : E_NOTIMPL;
  }

  HRESULT MarshalInterface(IStream* stream, REFIID iid, void* object, DWORD destContext, void*,
                           DWORD flags) override {
    if (stream == nullptr || object == nullptr) return E_POINTER;
    if (!IsInProcess(destContext)) return E_NOTIMPL;
    if (flags > MSHLFLAGS_TABLEWEAK) return E_INVALIDARG;
    IUnknown* marshalled = nullptr;
    HRESULT hr = static_cast<IUnknown*>(object)->QueryInterface(iid, reinterpret_cast<void**>(&marshalled));
    if (FAILED(hr)) return hr;
    unsigned char bytes[kMarshalDataSize];
    const MarshalData data{reinterpret_cast<uintptr_t>(marshalled), flags};
    std::memcpy(bytes, &data.address, sizeof data.address);
    std::memcpy(bytes + sizeof data.address, &data.flags, sizeof data.flags);
    ULONG written = 0;
    hr = stream->Write(bytes, kMarshalDataSize, &written);
    if (SUCCEEDED(hr) && written != kMarshalDataSize) hr = STG_E_MEDIUMFULL;
    // Table-weak data holds no reference, nor does data that was never written.
    if (FAILED(hr) || flags == MSHLFLAGS_TABLEWEAK) marshalled->Release();
    return FAILED(hr) ? hr : S_OK;
  }

  HRESULT UnmarshalInterface(IStream* stream, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    MarshalData data{};
    HRESULT hr = ReadData(stream, &data);
    if (FAILED(hr)) return hr;
    hr = Unknown(data)->QueryInterface(iid, object);
    // Normal data is used once: its reference ends with the unmarshal.
    if (data.flags == MSHLFLAGS_NORMAL) Unknown(data)->Release();
    return hr;
  }

  HRESULT ReleaseMarshalData(IStream* stream) override {
    MarshalData data{};
    HRESULT hr = ReadData(stream, &data);
    if (FAILED(hr)) return hr;
    if (data.flags != MSHLFLAGS_TABLEWEAK) Unknown(data)->Release();
    return S_OK;
  }

  HRESULT DisconnectObject(DWORD) override { return S_OK; }

 private:
  IUnknown* outer_;  // not owned: the outer object owns this marshaler
};

// The non-delegating IUnknown the outer object owns: its own count, and IMarshal on request.
class FreeThreadedMarshalerInner final : public ComObject<IUnknown> {
 public:
  explicit FreeThreadedMarshalerInner(IUnknown* outer) : marshaler_(outer) {}
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr || iid != IMarshal::kIid) return ComObject::QueryInterface(iid, object);
    *object = static_cast<IMarshal*>(&marshaler_);
    marshaler_.AddRef();
    return S_OK;
  }

 private:
  FreeThreadedMarshaler marshaler_;
};

}  // namespace

HRESULT CoCreateFreeThreadedMarshaler(IUnknown* outer, IUnknown** marshaler) {
  if (marshaler == nullptr) return E_POINTER;
  *marshaler = nullptr;
  if (outer == nullptr) return E_INVALIDARG;
  auto* inner = new (std::nothrow) FreeThreadedMarshalerInner(outer);
  if (inner == nullptr) return E_OUTOFMEMORY;
  *marshaler = inner;
  return S_OK;
}
