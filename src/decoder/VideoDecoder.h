// VideoDecoder: decodes one video with the asynchronous source reader on the client's Direct3D
// device, hands every decoded frame to the cache manager, runs the initial scan and positions the
// reader so that the ±0.1 s window around each requested position is cached.
//
// Identity. A classic COM object answering exactly IUnknown and IMFSourceReaderCallback. Its COM
// count starts at 1 and that first reference is never released: the references the source reader
// takes and drops never destroy it. It lives in a std::shared_ptr made with std::make_shared by
// its owner (the interop), whose last release destroys it.
//
// Times. Every time is a signed 64-bit count of 100 ns. Inside the decoder and the caches times
// are absolute, as the reader delivers them. Operations receive and return RELATIVE times
// (absolute − FirstSampleTime) and listener reports are relative; the conversion happens only at
// the public operations and at the notifications. Sentinels: INT64_MIN = no position yet
// (RequestedPosition, ReaderPosition, Duration after opening), INT64_MAX = no sample seen yet
// (FirstSampleTime), −1 = no frame in cursor and neighbour queries.
//
// Threads and locks.
// - `Lock` guards all decoder state. It is held by every operation (except the no-lock getters,
//   which read atomic members only) and by every reader callback. Listener notifications are made
//   with `Lock` held, so a listener must never call back into the decoder.
// - Lock order: iterator lock → `Lock` → `CloseMutex` → cache manager's lock (innermost).
// - Reader callbacks arrive on the reader's work thread; RequestPosition runs on thread-pool
//   threads (SetPositionAsync); other operations on the caller's thread.
// - `Close` must not be called from a listener notification or a reader callback: it waits for
//   OnFlush, which needs `Lock`.
#pragma once

#include "decoder/DecoderState.h"
#include "decoder/IVideoDecoderListener.h"
#include "platform/com/ComPtr.h"
#include "platform/com/HString.h"
#include "platform/d3d11/D3D11.h"
#include "platform/mf/MfReadWrite.h"
#include "platform/threading/CriticalSection.h"
#include "platform/winrt/Async.h"
#include "platform/winrt/RandomAccessStream.h"
#include "toolkit/IGraphicsDevice.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace korvane {

class VideoDecoderCacheManager;

using ABI::Windows::Storage::Streams::IRandomAccessStream;

class VideoDecoder final : public IMFSourceReaderCallback, public std::enable_shared_from_this<VideoDecoder> {
 public:
  // The two fixed spans of the reader-positioning rules.
  static constexpr int64_t kWindow = 1'000'000;    // 0.1 s: half-width of a cached window
  static constexpr int64_t kSecond = 10'000'000;   // 1 s
  static constexpr int64_t kNoPosition = INT64_MIN;   // RequestedPosition, ReaderPosition, Duration
  static constexpr int64_t kNoSampleYet = INT64_MAX;  // FirstSampleTime

  VideoDecoder();
  ~VideoDecoder();
  VideoDecoder(const VideoDecoder&) = delete;
  VideoDecoder& operator=(const VideoDecoder&) = delete;

  // IUnknown; AddRef/Release count only the reader's references (the first one is never
  // released, so they never destroy the object).
  HRESULT QueryInterface(REFIID iid, void** object) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // IMFSourceReaderCallback. Each takes `Lock`; exceptions never escape (E_FAIL instead).
  HRESULT OnReadSample(HRESULT status, DWORD streamIndex, DWORD streamFlags, LONGLONG timestamp,
                       IMFSample* sample) override;
  HRESULT OnFlush(DWORD streamIndex) override;
  HRESULT OnEvent(DWORD streamIndex, IMFMediaEvent* event) override;

  // ---- Operations for the front end (relative times) ----

  // Opens the reader on `stream` with output `outputSubtype`. Throws 668 (or the device object's
  // error) for an unusable device object before taking `Lock`; every later failure is reported
  // as OnError(0) to the listener of that moment and returns false (nothing rolled back).
  bool Load(std::shared_ptr<IVideoDecoderListener> listener, IRandomAccessStream* stream,
            const GUID& outputSubtype, Brindle::Tamsel::SceneGraph::IGraphicsDevice* device);
  // Creates the cache manager on `cacheFolderPath`, reads the duration and starts the scan.
  // Never throws: failures are reported as OnError(0).
  void Initialize(const Platform::String& cacheFolderPath);
  // After Close: opens a new reader on `stream`, keeping caches and times. False after
  // OnError(0) when not initialized, still open, or on any failure.
  bool Reopen(IRandomAccessStream* stream, const GUID& outputSubtype);
  // Flushes the reader, waits for the flush, releases the reader and shuts the media platform
  // down. Caches, listener and device stay. A second Close returns at once.
  void Close();
  void SetResolutionDivisor(uint32_t divisor);
  // Runs RequestPosition(relative) on the thread pool. Throws 668 once Closed.
  ComPtr<ABI::Windows::Foundation::IAsyncAction> SetPositionAsync(int64_t relative);

  int64_t GetCurrentFrameTime();
  int64_t GetCurrentFrameDuration();
  int64_t GetFrameDuration(int64_t relative);
  ComPtr<ID3D11Texture2D> GetFrame(int64_t relative);
  ComPtr<ID3D11Texture2D> GetPlaceholderTexture();  // no lock
  bool HasPreviousFrame();
  bool HasNextFrame();
  int64_t GetPreviousFrameTime(int64_t relative);
  int64_t GetNextFrameTime(int64_t relative);
  bool IsInitialized() const { return Initialized.load(); }
  int64_t GetDuration() const;            // no lock
  uint32_t GetOutputWidth() const;        // no lock
  uint32_t GetOutputHeight() const;       // no lock
  uint32_t GetRotation() const;           // no lock
  uint32_t GetResolutionDivisor() const;  // no lock

  // The client's request (relative); runs on a thread-pool thread. Throws 668 before the scan
  // has ended; in Closed and Failed it does nothing.
  void RequestPosition(int64_t relative);

  // Read-only views for tests and diagnostics (take `Lock`).
  DecoderState GetStateForTesting() const { return State.load(); }
  std::shared_ptr<VideoDecoderCacheManager> GetCacheManagerForTesting();
  uint32_t GetWidthForTesting() const { return Width.load(); }
  uint32_t GetHeightForTesting() const { return Height.load(); }
  uint32_t GetPixelAspectNumeratorForTesting() const { return PixelAspectNumerator.load(); }
  uint32_t GetPixelAspectDenominatorForTesting() const { return PixelAspectDenominator.load(); }
  uint32_t GetFrameRateNumeratorForTesting() const { return FrameRateNumerator.load(); }
  uint32_t GetFrameRateDenominatorForTesting() const { return FrameRateDenominator.load(); }
  int64_t GetFirstSampleTimeForTesting() const { return FirstSampleTime.load(); }

 private:
  friend class VideoDecoderTestAccess;

  // ---- Opening (VideoDecoderOpen.cpp) ----
  void SetupDevice(Brindle::Tamsel::SceneGraph::IGraphicsDevice* device);
  void OpenReader(IRandomAccessStream* stream, const GUID& subtype, DecoderState initialState);
  void CreateReader(IRandomAccessStream* stream);
  void ApplyOutputSize();
  static void ShutDownMediaPlatform(int starts);

  // ---- Reader primitives (VideoDecoderOpen.cpp); return the last platform call's HRESULT ----
  HRESULT ReadNext();
  HRESULT SeekTo(int64_t position, bool clamp);
  HRESULT FlushIfIdle();
  HRESULT SeekAndRead(int64_t position, bool flushOnFail, bool clamp);

  // ---- Sample callbacks and the initial scan (VideoDecoderScan.cpp) ----
  HRESULT OnCallbackFailed();
  void StartScan();
  void OnSample(int64_t timestamp, ComPtr<IMFSample>& sample);
  void OnEndOfStream();
  void OnOtherFlags(DWORD flags);
  void PlanScan(int64_t duration);
  void ScanNext();
  void NotifyInitialized();
  void EndScanWithoutSamples();
  bool ServePendingRequest();

  // ---- Caching around a requested position (VideoDecoderPositioning.cpp) ----
  void UpdateReaderPosition(int64_t target, bool flushFirst);
  void CachePosition(int64_t target, bool flushFirst);
  void ContinueCaching(bool flushFirst);
  void CompleteCaching(bool flushFirst);
  void ExtendForward(int64_t limit, bool flushFirst);
  void ExtendBackwards(int64_t start, bool flushFirst);
  void ShowPosition(int64_t position);

  // Notifications (Lock held), skipped while there is no listener.
  void NotifyCachingCompleted();
  int64_t Relative(int64_t absolute) const { return absolute - FirstSampleTime.load(); }

  // Members, in the order the component's description gives them.
  mutable Concurrency::critical_section Lock;
  // -- everything below is guarded by Lock, except where said atomic --
  std::shared_ptr<IVideoDecoderListener> Listener;
  std::shared_ptr<VideoDecoderCacheManager> CacheManager;
  ComPtr<IMFDXGIDeviceManager> DeviceManager;
  ComPtr<ID3D11Device> Device;  // written under PlaceholderMutex too
  ComPtr<ID3D11DeviceContext> Context;
  ComPtr<IMFSourceReader> Reader;
  ComPtr<ID3D11Texture2D> PlaceholderTexture;  // guarded by PlaceholderMutex, not Lock
  std::atomic<bool> Loaded{false};
  std::atomic<bool> Initialized{false};
  std::atomic<DecoderState> State{DecoderState::Opening};
  bool PendingRequest = false;
  int64_t RequestedPosition = 0;
  int64_t ReaderPosition = 0;
  int64_t PreviousReaderPosition = 0;
  std::atomic<bool> EndOfStream{false};
  int64_t ReadLimit = 0;
  int64_t RangeStart = 0;
  int64_t RangeEnd = 0;
  std::atomic<uint32_t> FrameRateDenominator{0};
  std::atomic<uint32_t> FrameRateNumerator{0};
  std::atomic<uint32_t> Width{0};
  std::atomic<uint32_t> Height{0};
  std::atomic<uint32_t> OutputWidth{0};
  std::atomic<uint32_t> OutputHeight{0};
  std::atomic<uint32_t> Rotation{0};
  std::atomic<uint32_t> ResolutionDivisor{1};
  std::atomic<uint32_t> PixelAspectNumerator{0};
  std::atomic<uint32_t> PixelAspectDenominator{0};
  std::atomic<int64_t> Duration{0};
  std::atomic<int64_t> FirstSampleTime{0};
  int64_t FrameDuration = 0;
  int64_t ScanStep = 0;
  int64_t ScanBurst = 0;
  int64_t ScanIndex = 0;
  int64_t ScanPoint = 0;
  int64_t ScanTarget = 0;
  bool FlushPending = false;
  // MFStartup calls made by Load and Reopen that no Close has balanced yet.
  int MediaPlatformStarts = 0;
  // Close waits on FlushDone with CloseMutex until OnFlush of a closed decoder sets FlushSignalled
  // (a flag, so that a spurious wake-up cannot end the wait early).
  std::mutex CloseMutex;
  std::condition_variable FlushDone;
  bool FlushSignalled = false;  // guarded by CloseMutex

  // The placeholder is made without `Lock`: this guards PlaceholderTexture, and Device against
  // the Load that replaces it (taken after Lock there); two first callers make one texture.
  std::mutex PlaceholderMutex;
  // The COM references: the first, never released, plus those the reader holds. The reader's
  // last Release does not wait for a callback still running, and its work thread drops its
  // reference to this object only as it ends; so destruction, once the reader is released,
  // waits for the count to fall back to the first reference before the memory goes.
  std::atomic<ULONG> ReferenceCount{1};
};

}  // namespace korvane
