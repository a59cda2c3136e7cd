// Fuzz target: the platform's media source reader over an arbitrary byte stream, driven as the
// decoder drives it: open on a device, ask for NV12, read a few frames, seek to the middle and
// read, seek back to the start (a step back) and read, flush. Any outcome but a crash, a
// sanitizer report or a callback that never comes is fine: a file that is no video fails to
// open, a damaged one ends its reads with an error.
#include "platform/com/ComObject.h"
#include "platform/d3d11/D3D11.h"
#include "platform/mf/Mfapi.h"
#include "platform/mf/Mfidl.h"
#include "platform/mf/MfReadWrite.h"
#include "platform/winrt/InMemoryRandomAccessStream.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>

namespace {

// A callback hung this long means the reader lost a read: reported as a crash.
constexpr auto kCallbackBound = std::chrono::seconds(20);
constexpr int kFramesPerPlace = 3;

class Callback final : public ComObject<IMFSourceReaderCallback> {
 public:
  HRESULT OnReadSample(HRESULT status, DWORD, DWORD flags, LONGLONG, IMFSample*) override {
    return Done(FAILED(status) || (flags & (MF_SOURCE_READERF_ERROR | MF_SOURCE_READERF_ENDOFSTREAM)) != 0);
  }
  HRESULT OnFlush(DWORD) override { return Done(false); }
  HRESULT OnEvent(DWORD, IMFMediaEvent*) override { return S_OK; }

  // Waits for the next completion; true when it ended the stream (error or end).
  bool Wait() {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, kCallbackBound, [&] { return completions_ > 0; })) std::abort();
    --completions_;
    return ended_;
  }

 private:
  HRESULT Done(bool ended) {
    std::lock_guard lock(mutex_);
    ++completions_;
    ended_ = ended_ || ended;
    changed_.notify_all();
    return S_OK;
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  int completions_ = 0;  // guarded by mutex_
  bool ended_ = false;   // guarded by mutex_
};

struct Device {
  Device() {
    MFStartup(MF_VERSION, MFSTARTUP_FULL);
    D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &device, nullptr,
                      nullptr);
    ComPtr<ID3D10Multithread> multithread;
    if (SUCCEEDED(device.As(&multithread))) multithread->SetMultithreadProtected(TRUE);
    MFCreateDXGIDeviceManager(&token, &manager);
    manager->ResetDevice(device.Get(), token);
  }
  ComPtr<ID3D11Device> device;
  ComPtr<IMFDXGIDeviceManager> manager;
  UINT token = 0;
};

// Reads up to kFramesPerPlace frames; false once the stream has ended.
bool ReadSome(IMFSourceReader* reader, Callback& callback) {
  for (int i = 0; i < kFramesPerPlace; ++i) {
    if (FAILED(reader->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, nullptr, nullptr, nullptr, nullptr)))
      return false;
    if (callback.Wait()) return false;
  }
  return true;
}

void SeekTo(IMFSourceReader* reader, int64_t time) {
  PROPVARIANT position;
  PropVariantInit(&position);
  position.vt = VT_I8;
  position.hVal.QuadPart = time;
  reader->SetCurrentPosition(GUID_NULL, position);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Device device;
  const ComPtr<korvane::winrt::InMemoryRandomAccessStream> stream =
      MakeRuntimeObject<korvane::winrt::InMemoryRandomAccessStream>();
  ULONG written = 0;
  stream->WriteAt(data, static_cast<ULONG>(size), &written);
  stream->Seek(0);
  ComPtr<ABI::Windows::Storage::Streams::IRandomAccessStream> bytes = stream;

  const auto callback = MakeComObject<Callback>();
  ComPtr<IMFByteStream> byteStream;
  ComPtr<IMFAttributes> attributes;
  ComPtr<IMFSourceReader> reader;
  MFCreateAttributes(&attributes, 3);
  attributes->SetUnknown(MF_SOURCE_READER_D3D_MANAGER, device.manager.Get());
  attributes->SetUINT32(MF_SOURCE_READER_ENABLE_ADVANCED_VIDEO_PROCESSING, 1);
  attributes->SetUnknown(MF_SOURCE_READER_ASYNC_CALLBACK, callback.Get());
  if (FAILED(MFCreateMFByteStreamOnStreamEx(bytes.Get(), &byteStream)) ||
      FAILED(MFCreateSourceReaderFromByteStream(byteStream.Get(), attributes.Get(), &reader)))
    return 0;
  ComPtr<IMFMediaType> type;
  MFCreateMediaType(&type);
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
  if (FAILED(reader->SetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, nullptr, type.Get()))) return 0;

  PROPVARIANT duration;
  PropVariantInit(&duration);
  reader->GetPresentationAttribute(MF_SOURCE_READER_MEDIASOURCE, MF_PD_DURATION, &duration);
  const int64_t length = duration.vt == VT_UI8 ? static_cast<int64_t>(duration.uhVal.QuadPart) : 0;
  PropVariantClear(&duration);

  if (ReadSome(reader.Get(), *callback.Get())) {
    SeekTo(reader.Get(), length / 2);
    if (ReadSome(reader.Get(), *callback.Get())) {
      SeekTo(reader.Get(), 0);
      ReadSome(reader.Get(), *callback.Get());
    }
  }
  if (SUCCEEDED(reader->Flush(MF_SOURCE_READER_FIRST_VIDEO_STREAM))) callback->Wait();
  return 0;
}
