// The platform calls an application needs around the component, exported from the library so
// that the application never links a second copy of the platform.
#include "korvane/Library.h"

#include "platform/com/ComPtr.h"
#include "platform/com/Exceptions.h"
#include "platform/winrt/InMemoryRandomAccessStream.h"
#include "toolkit/GraphicsDevice.h"

#include <algorithm>
#include <limits>

using ABI::Windows::Storage::Streams::IRandomAccessStream;

HRESULT KorvaneCreateString(const char* text, uint32_t length, HSTRING* string) {
  return WindowsCreateString(text, length, string);
}

HRESULT KorvaneDeleteString(HSTRING string) { return WindowsDeleteString(string); }

const char* KorvaneGetStringRawBuffer(HSTRING string, uint32_t* length) {
  return WindowsGetStringRawBuffer(string, length);
}

HRESULT KorvaneCreateSoftwareDevice(ID3D11Device** device, IInspectable** graphicsDevice) {
  if (device != nullptr) *device = nullptr;
  if (graphicsDevice != nullptr) *graphicsDevice = nullptr;
  if (device == nullptr && graphicsDevice == nullptr) return E_POINTER;
  ComPtr<ID3D11Device> made;
  HRESULT hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &made,
                                 nullptr, nullptr);
  if (FAILED(hr)) return hr;
  if (graphicsDevice != nullptr) {
    ComPtr<Brindle::Tamsel::SceneGraph::IGraphicsDevice> graphics;
    hr = CreateGraphicsDevice(made.Get(), &graphics);
    if (FAILED(hr)) return hr;
    *graphicsDevice = graphics.Detach();
  }
  if (device != nullptr) *device = made.Detach();
  return S_OK;
}

HRESULT KorvaneOpenFileStream(const char* path, IRandomAccessStream** stream) {
  if (stream == nullptr) return E_POINTER;
  *stream = nullptr;
  if (path == nullptr || *path == '\0') return E_INVALIDARG;
  return CreateRandomAccessStreamOnFile(path, FileAccessMode_Read, IID_PPV_ARGS(stream));
}

HRESULT KorvaneCreateMemoryStream(const void* bytes, uint64_t size, IRandomAccessStream** stream) {
  if (stream == nullptr) return E_POINTER;
  *stream = nullptr;
  if (bytes == nullptr && size != 0) return E_INVALIDARG;
  if (size > korvane::winrt::InMemoryRandomAccessStream::kMaxSize) return E_OUTOFMEMORY;
  try {
    ComPtr<korvane::winrt::InMemoryRandomAccessStream> made = MakeRuntimeObject<korvane::winrt::InMemoryRandomAccessStream>();
    const auto* next = static_cast<const uint8_t*>(bytes);
    for (uint64_t left = size; left > 0;) {
      const ULONG chunk = static_cast<ULONG>(std::min<uint64_t>(left, std::numeric_limits<ULONG>::max()));
      ULONG written = 0;
      ThrowIfFailed(made->WriteAt(next, chunk, &written));
      if (written == 0) return E_FAIL;
      next += written;
      left -= written;
    }
    ThrowIfFailed(made->Seek(0));
    *stream = made.Detach();
    return S_OK;
  } catch (...) {
    return HResultFromCurrentException();
  }
}
