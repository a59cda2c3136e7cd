#include "platform/mf/SourceReader.h"

#include <algorithm>
#include <new>
#include <system_error>

namespace korvane::mf {

namespace {

constexpr DWORD kAudioStream = 1;
constexpr DWORD kCurrentTypeIndex = 0xFFFFFFFF;  // MF_SOURCE_READER_CURRENT_TYPE_INDEX

// The device samples are made on: the one in the device manager, else a software device of
// the reader's own.
HRESULT DeviceFor(IMFAttributes* attributes, ComPtr<ID3D11Device>& device) {
  ComPtr<IMFDXGIDeviceManager> manager;
  if (FAILED(attributes->GetUnknown(MF_SOURCE_READER_D3D_MANAGER, IID_PPV_ARGS(&manager)))) {
    return D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION,
                             device.ReleaseAndGetAddressOf(), nullptr, nullptr);
  }
  HANDLE handle = nullptr;
  HRESULT hr = manager->OpenDeviceHandle(&handle);
  if (FAILED(hr)) return hr;
  hr = manager->LockDevice(handle, IID_PPV_ARGS(device.ReleaseAndGetAddressOf()), TRUE);
  if (SUCCEEDED(hr)) manager->UnlockDevice(handle, FALSE);
  manager->CloseDeviceHandle(handle);
  return hr;
}

}  // namespace

OutputFormat SourceReader::OutputFor(const MediaSourceInfo& info, REFGUID subtype, uint32_t width, uint32_t height) {
  OutputFormat output;
  output.format = subtype == MFVideoFormat_NV12 ? PictureFormat::Nv12 : PictureFormat::Bgra32;
  const uint32_t rotation = info.rotation.value_or(0);
  if (width == info.width && height == info.height && (rotation == 90 || rotation == 270)) std::swap(width, height);
  output.width = width;
  output.height = height;
  return output;
}

SourceReader::SourceReader(const MediaSourceInfo& info) : info_(info) {
  native_ = MakeComObject<MediaType>();
  native_->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  native_->SetGUID(MF_MT_SUBTYPE, info.videoSubtype);
  MFSetAttributeSize(native_.Get(), MF_MT_FRAME_SIZE, info.width, info.height);
  if (info.rotation) native_->SetUINT32(MF_MT_VIDEO_ROTATION, *info.rotation);
  if (info.pixelAspect)
    MFSetAttributeRatio(native_.Get(), MF_MT_PIXEL_ASPECT_RATIO, info.pixelAspect->numerator,
                        info.pixelAspect->denominator);
  if (info.frameRate)
    MFSetAttributeRatio(native_.Get(), MF_MT_FRAME_RATE, info.frameRate->numerator, info.frameRate->denominator);
  native_->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);

  current_ = CopyOf(native_.Get());
  current_->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);

  if (info.hasAudio) {
    audioNative_ = MakeComObject<MediaType>();
    audioNative_->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
    audioNative_->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_Base);
  }
}

SourceReader::~SourceReader() {
  if (worker_) worker_->Stop();
}

HRESULT SourceReader::Create(std::unique_ptr<MediaSource> source, IMFAttributes* attributes,
                             IMFSourceReader** reader) {
  if (reader == nullptr) return E_POINTER;
  *reader = nullptr;
  if (!source) return E_POINTER;
  if (attributes == nullptr) return E_INVALIDARG;
  ComPtr<IMFSourceReaderCallback> callback;
  // Only the asynchronous mode is offered.
  if (FAILED(attributes->GetUnknown(MF_SOURCE_READER_ASYNC_CALLBACK, IID_PPV_ARGS(&callback)))) return E_INVALIDARG;
  ComPtr<ID3D11Device> device;
  HRESULT hr = DeviceFor(attributes, device);
  if (FAILED(hr)) return hr;

  try {
    ComPtr<SourceReader> created;
    created.Attach(new SourceReader(source->Info()));
    const OutputFormat output =
        OutputFor(created->info_, MFVideoFormat_NV12, created->info_.width, created->info_.height);
    created->worker_ = SourceReaderWorker::Start(std::move(source), std::move(callback), std::move(device), output);
    *reader = created.Detach();
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::system_error&) {
    return E_FAIL;  // no thread could be started
  }
}

std::optional<SourceReader::Stream> SourceReader::Resolve(DWORD streamIndex) const {
  switch (streamIndex) {
    case 0:
    case MF_SOURCE_READER_FIRST_VIDEO_STREAM:
      return Stream::kVideo;
    case kAudioStream:
    case MF_SOURCE_READER_FIRST_AUDIO_STREAM:
      if (info_.hasAudio) return Stream::kAudio;
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

ComPtr<MediaType> SourceReader::CopyOf(IMFMediaType* type) {
  ComPtr<MediaType> copy = MakeComObject<MediaType>();
  type->CopyAllItems(copy.Get());
  return copy;
}

HRESULT SourceReader::GetStreamSelection(DWORD streamIndex, BOOL* selected) {
  if (selected == nullptr) return E_POINTER;
  std::optional<Stream> stream = Resolve(streamIndex);
  if (!stream) return MF_E_INVALIDSTREAMNUMBER;
  std::lock_guard lock(mutex_);
  *selected = (*stream == Stream::kVideo ? videoSelected_ : audioSelected_) ? TRUE : FALSE;
  return S_OK;
}

HRESULT SourceReader::SetStreamSelection(DWORD streamIndex, BOOL selected) {
  std::lock_guard lock(mutex_);
  if (streamIndex == MF_SOURCE_READER_ALL_STREAMS) {
    videoSelected_ = audioSelected_ = selected != FALSE;
    return S_OK;
  }
  std::optional<Stream> stream = Resolve(streamIndex);
  if (!stream) return MF_E_INVALIDSTREAMNUMBER;
  if (*stream == Stream::kAudio && FAILED(info_.audioSelectionError)) return info_.audioSelectionError;
  (*stream == Stream::kVideo ? videoSelected_ : audioSelected_) = selected != FALSE;
  return S_OK;
}

HRESULT SourceReader::GetNativeMediaType(DWORD streamIndex, DWORD typeIndex, IMFMediaType** mediaType) {
  if (mediaType == nullptr) return E_POINTER;
  *mediaType = nullptr;
  std::optional<Stream> stream = Resolve(streamIndex);
  if (!stream) return MF_E_INVALIDSTREAMNUMBER;
  if (typeIndex == kCurrentTypeIndex) return GetCurrentMediaType(streamIndex, mediaType);
  if (typeIndex != 0) return MF_E_NO_MORE_TYPES;
  *mediaType = CopyOf(*stream == Stream::kVideo ? native_.Get() : audioNative_.Get()).Detach();
  return S_OK;
}

HRESULT SourceReader::GetCurrentMediaType(DWORD streamIndex, IMFMediaType** mediaType) {
  if (mediaType == nullptr) return E_POINTER;
  *mediaType = nullptr;
  std::optional<Stream> stream = Resolve(streamIndex);
  if (!stream) return MF_E_INVALIDSTREAMNUMBER;
  if (*stream == Stream::kAudio) {
    *mediaType = CopyOf(audioNative_.Get()).Detach();
    return S_OK;
  }
  ComPtr<MediaType> current;
  {
    std::lock_guard lock(mutex_);
    current = current_;
  }
  *mediaType = CopyOf(current.Get()).Detach();
  return S_OK;
}

HRESULT SourceReader::SetCurrentMediaType(DWORD streamIndex, DWORD* /*reserved*/, IMFMediaType* mediaType) {
  if (mediaType == nullptr) return E_POINTER;
  std::optional<Stream> stream = Resolve(streamIndex);
  if (!stream) return MF_E_INVALIDSTREAMNUMBER;
  if (*stream == Stream::kAudio) return MF_E_INVALIDMEDIATYPE;  // audio is never decoded

  GUID major{}, subtype{};
  if (FAILED(mediaType->GetGUID(MF_MT_MAJOR_TYPE, &major)) || major != MFMediaType_Video) return MF_E_INVALIDMEDIATYPE;
  if (FAILED(mediaType->GetGUID(MF_MT_SUBTYPE, &subtype)) ||
      (subtype != MFVideoFormat_NV12 && subtype != MFVideoFormat_RGB32))
    return MF_E_INVALIDMEDIATYPE;
  UINT64 size = 0;
  HRESULT hr = mediaType->GetUINT64(MF_MT_FRAME_SIZE, &size);
  std::optional<UINT64> requested;
  if (SUCCEEDED(hr)) {
    UINT32 width = 0, height = 0;
    Unpack2UINT32AsUINT64(size, &width, &height);
    if (width == 0 || height == 0 || width > D3D11_REQ_TEXTURE2D_U_OR_V_DIMENSION ||
        height > D3D11_REQ_TEXTURE2D_U_OR_V_DIMENSION)
      return MF_E_INVALIDMEDIATYPE;
    requested = size;
  } else if (hr != MF_E_ATTRIBUTENOTFOUND) {
    return MF_E_INVALIDMEDIATYPE;  // present but not a UINT64
  }

  ComPtr<MediaType> updated = CopyOf(native_.Get());
  updated->SetGUID(MF_MT_SUBTYPE, subtype);
  OutputFormat output;
  {
    std::lock_guard lock(mutex_);
    // Without a frame size the type keeps the size it has.
    if (!requested) current_->GetUINT64(MF_MT_FRAME_SIZE, &size);
    updated->SetUINT64(MF_MT_FRAME_SIZE, size);
    UINT32 width = 0, height = 0;
    Unpack2UINT32AsUINT64(size, &width, &height);
    output = OutputFor(info_, subtype, width, height);
    current_ = updated;
    // Under mutex_ so that two concurrent calls leave type and output in agreement.
    worker_->SetOutput(output);
  }
  return S_OK;
}

HRESULT SourceReader::SetCurrentPosition(REFGUID timeFormat, const PROPVARIANT& position) {
  if (timeFormat != GUID_NULL) return MF_E_UNSUPPORTED_TIME_FORMAT;
  if (position.vt != VT_I8) return E_INVALIDARG;
  return worker_->Seek(position.hVal.QuadPart);
}

HRESULT SourceReader::ReadSample(DWORD streamIndex, DWORD /*controlFlags*/, DWORD* actualStreamIndex,
                                 DWORD* streamFlags, LONGLONG* timestamp, IMFSample** sample) {
  // Asynchronous mode: the results come through OnReadSample, never through these.
  if (actualStreamIndex != nullptr || streamFlags != nullptr || timestamp != nullptr || sample != nullptr)
    return E_INVALIDARG;
  std::optional<Stream> stream =
      streamIndex == MF_SOURCE_READER_ANY_STREAM ? std::optional<Stream>(Stream::kVideo) : Resolve(streamIndex);
  if (!stream) return MF_E_INVALIDSTREAMNUMBER;
  if (*stream == Stream::kAudio) return MF_E_INVALIDREQUEST;
  {
    std::lock_guard lock(mutex_);
    if (!videoSelected_) return MF_E_INVALIDREQUEST;
  }
  return worker_->QueueRead();
}

HRESULT SourceReader::Flush(DWORD streamIndex) {
  if (streamIndex != MF_SOURCE_READER_ALL_STREAMS && !Resolve(streamIndex)) return MF_E_INVALIDSTREAMNUMBER;
  return worker_->QueueFlush(streamIndex);
}

HRESULT SourceReader::GetServiceForStream(DWORD /*streamIndex*/, REFGUID /*service*/, REFIID /*iid*/, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  return MF_E_UNSUPPORTED_SERVICE;
}

HRESULT SourceReader::GetPresentationAttribute(DWORD streamIndex, REFGUID attribute, PROPVARIANT* value) {
  if (value == nullptr) return E_POINTER;
  PropVariantInit(value);
  if (streamIndex == MF_SOURCE_READER_MEDIASOURCE) {
    if (attribute != MF_PD_DURATION || !info_.duration) return MF_E_ATTRIBUTENOTFOUND;
    value->vt = VT_UI8;
    value->uhVal.QuadPart = static_cast<UINT64>(*info_.duration);
    return S_OK;
  }
  std::optional<Stream> stream = Resolve(streamIndex);
  if (!stream) return MF_E_INVALIDSTREAMNUMBER;
  return (*stream == Stream::kVideo ? native_ : audioNative_)->GetItem(attribute, value);
}

}  // namespace korvane::mf
