// The Media Foundation creation functions (Mfapi.h, MfReadWrite.h, MediaSource.h).
#include "platform/mf/Mfapi.h"

#include "platform/d3d11/SoftwareTexture.h"
#include "platform/mf/Attributes.h"
#include "platform/mf/ByteStream.h"
#include "platform/mf/DxgiDeviceManager.h"
#include "platform/mf/DxgiSurfaceBuffer.h"
#include "platform/mf/FfmpegMediaSource.h"
#include "platform/mf/MediaType.h"
#include "platform/mf/MemoryBuffer.h"
#include "platform/mf/MfReadWrite.h"
#include "platform/mf/PlatformStartup.h"
#include "platform/mf/Sample.h"
#include "platform/mf/SourceReader.h"

#include <atomic>
#include <new>

using namespace korvane::mf;

HRESULT MFStartup(ULONG version, DWORD /*flags*/) { return PlatformStartup::Start(version); }

HRESULT MFShutdown() { return PlatformStartup::Shutdown(); }

HRESULT MFCreateAttributes(IMFAttributes** attributes, UINT32 /*initialSize*/) try {
  if (attributes == nullptr) return E_POINTER;
  *attributes = MakeComObject<Attributes>().Detach();
  return S_OK;
} catch (const std::bad_alloc&) {
  return E_OUTOFMEMORY;
}

HRESULT MFCreateMediaType(IMFMediaType** mediaType) try {
  if (mediaType == nullptr) return E_POINTER;
  *mediaType = MakeComObject<MediaType>().Detach();
  return S_OK;
} catch (const std::bad_alloc&) {
  return E_OUTOFMEMORY;
}

HRESULT MFCreateSample(IMFSample** sample) try {
  if (sample == nullptr) return E_POINTER;
  *sample = MakeComObject<Sample>().Detach();
  return S_OK;
} catch (const std::bad_alloc&) {
  return E_OUTOFMEMORY;
}

HRESULT MFCreateMemoryBuffer(DWORD maxLength, IMFMediaBuffer** buffer) {
  if (buffer == nullptr) return E_POINTER;
  *buffer = nullptr;
  try {
    *buffer = MakeComObject<MemoryBuffer>(maxLength).Detach();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT MFCreateDXGIDeviceManager(UINT* resetToken, IMFDXGIDeviceManager** deviceManager) try {
  if (resetToken == nullptr || deviceManager == nullptr) return E_POINTER;
  // Distinct tokens make a ResetDevice with another manager's token fail, as it would there.
  static std::atomic<UINT> nextToken{0x4B56'0001};
  *resetToken = nextToken.fetch_add(1, std::memory_order_relaxed);
  *deviceManager = MakeComObject<DxgiDeviceManager>(*resetToken).Detach();
  return S_OK;
} catch (const std::bad_alloc&) {
  return E_OUTOFMEMORY;
}

HRESULT MFCreateMFByteStreamOnStreamEx(IUnknown* stream, IMFByteStream** byteStream) try {
  if (stream == nullptr || byteStream == nullptr) return E_POINTER;
  *byteStream = nullptr;
  if (!PlatformStartup::IsStarted()) return MF_E_PLATFORM_NOT_INITIALIZED;
  using ABI::Windows::Storage::Streams::IRandomAccessStream;
  ComPtr<IRandomAccessStream> original;
  if (FAILED(stream->QueryInterface(IID_PPV_ARGS(&original)))) return E_INVALIDARG;
  // Read through a clone when there is one, so the byte stream's position is its own.
  ComPtr<IRandomAccessStream> reading;
  if (FAILED(original->CloneStream(&reading)) || !reading) reading = original;
  ComPtr<korvane::winrt::IRandomAccessStreamIo> io;
  if (FAILED(reading.As(&io))) {
    reading = original;
    if (FAILED(reading.As(&io))) return E_INVALIDARG;
  }
  *byteStream = MakeComObject<ByteStream>(ComPtr<IUnknown>(stream), reading, io).Detach();
  return S_OK;
} catch (const std::bad_alloc&) {
  return E_OUTOFMEMORY;
}

HRESULT MFCreateDXGISurfaceBuffer(REFIID iid, IUnknown* surface, UINT subresourceIndex, BOOL bottomUp,
                                  IMFMediaBuffer** buffer) try {
  if (surface == nullptr || buffer == nullptr) return E_POINTER;
  *buffer = nullptr;
  if (iid != ID3D11Texture2D::kIid || subresourceIndex != 0 || bottomUp != FALSE) return E_INVALIDARG;
  ComPtr<ID3D11Texture2D> texture;
  ComPtr<korvane::d3d11::ISoftwareTexture> pixels;
  if (FAILED(surface->QueryInterface(IID_PPV_ARGS(&texture))) || FAILED(surface->QueryInterface(IID_PPV_ARGS(&pixels))))
    return E_INVALIDARG;
  const DXGI_FORMAT format = pixels->Desc().Format;
  if (format != DXGI_FORMAT_NV12 && format != DXGI_FORMAT_B8G8R8A8_UNORM) return MF_E_INVALIDMEDIATYPE;
  *buffer = MakeComObject<DxgiSurfaceBuffer>(texture, pixels).Detach();
  return S_OK;
} catch (const std::bad_alloc&) {
  return E_OUTOFMEMORY;
}

HRESULT MFCreateSourceReaderFromByteStream(IMFByteStream* byteStream, IMFAttributes* attributes,
                                           IMFSourceReader** reader) try {
  if (byteStream == nullptr || reader == nullptr) return E_POINTER;
  *reader = nullptr;
  if (!PlatformStartup::IsStarted()) return MF_E_PLATFORM_NOT_INITIALIZED;
  ComPtr<IMFSourceReaderCallback> callback;
  if (attributes == nullptr || FAILED(attributes->GetUnknown(MF_SOURCE_READER_ASYNC_CALLBACK, IID_PPV_ARGS(&callback))))
    return E_INVALIDARG;

  std::unique_ptr<MediaSource> source;
  ComPtr<IMediaSourceFactory> factory;
  HRESULT hr = S_OK;
  if (SUCCEEDED(byteStream->QueryInterface(IID_PPV_ARGS(&factory)))) {
    hr = factory->CreateMediaSource(&source);
    if (SUCCEEDED(hr) && !source) hr = E_POINTER;
  } else {
    hr = byteStream->SetCurrentPosition(0);
    if (SUCCEEDED(hr)) hr = FfmpegMediaSource::Create(ComPtr<IMFByteStream>(byteStream), &source);
  }
  if (FAILED(hr)) return hr;
  return SourceReader::Create(std::move(source), attributes, reader);
} catch (const std::bad_alloc&) {
  return E_OUTOFMEMORY;
}

namespace korvane::mf {

HRESULT CreateSourceReaderOnSource(std::unique_ptr<MediaSource> source, IMFAttributes* attributes,
                                   IMFSourceReader** reader) {
  return SourceReader::Create(std::move(source), attributes, reader);
}

}  // namespace korvane::mf
