// VideoDecoder: decodes one video with the asynchronous source reader on the client's Direct3D
// device, hands every decoded frame to the cache manager, runs the initial scan and positions the
// reader so that the window of ±0.1 s around each requested position is cached.
//
// Who calls what.
// - The front end (VideoDecoderInterop) makes the decoder with std::make_shared, owns it, and
//   calls the operations under "Front end" from any of its threads.
// - The source reader calls OnReadSample, OnFlush and OnEvent on its own work thread, through
//   a VideoDecoderReaderCallback that holds the decoder weakly: a callback after destruction
//   finds no decoder, and destruction never waits for the reader.
// - RequestPosition runs on a thread-pool thread, started by SetPositionAsync; the action keeps
//   the decoder alive until it has run.
// - The decoder reports through IVideoDecoderListener, with Lock held, from whichever of these
//   threads it runs on.
//
// Locks. `Lock` (non-recursive) guards all decoder state. Every operation holds it for its whole
// run, except the no-lock getters (they read atomic members only) and GetPlaceholderTexture
// (PlaceholderMutex). Every reader callback holds it, and looks at the state only under it.
// Lock order: iterator lock -> Lock -> CloseMutex or PlaceholderMutex -> cache manager's lock
// (innermost). The private procedures run with Lock held and assert so in debug builds.
// Because notifications are made with Lock held, a listener must never call back into the
// decoder; and Close must not be called from a notification or a callback (it waits for the
// flush completion, which needs Lock).
//
// Times. Signed 64-bit counts of 100 ns. The operations take and return relative times, the
// listener hears relative times; inside, every time is absolute (see DecoderTimeline, which
// converts).
//
// States. DecoderState lists them with their transitions. Closed is final for the reader it
// closed: no callback moves the decoder out of it; only Load or Reopen, with a new reader, do.
//
// Failures. Operations that the front end calls raise the not-ready error 668 for their
// preconditions, as each says. Load (after its device checks), Reopen and Initialize never
// throw: they report OnError(0). Any failure that stops the engine inside a callback or a
// request reaches the listener as OnError(0); a reader error is OnError(1).
#pragma once

#include "cache/CachingPolicy.h"
#include "decoder/CachingWindow.h"
#include "decoder/DecoderState.h"
#include "decoder/DecoderTimeline.h"
#include "decoder/IVideoDecoderListener.h"
#include "decoder/ReaderDriver.h"
#include "decoder/ScanPlan.h"
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

namespace korvane {

class VideoDecoderCacheManager;

using ABI::Windows::Storage::Streams::IRandomAccessStream;

class VideoDecoder final : public std::enable_shared_from_this<VideoDecoder> {
 public:
  VideoDecoder();
  // Lets the reader go (its thread ends by itself if a callback of it is still running);
  // does not shut the media platform down (only Close does).
  ~VideoDecoder();
  VideoDecoder(const VideoDecoder&) = delete;
  VideoDecoder& operator=(const VideoDecoder&) = delete;

  // ---- Front end: opening and the lifecycle (take Lock) ----

  // Opens the reader on `stream` with output `outputSubtype` (NV12 or RGB32). Throws 668 (or the
  // device object's error) for an unusable device object, before taking Lock and before any
  // listener is involved. Every later failure reports OnError(0) to the listener of that moment
  // and returns false. Refused once the decoder is initialized (use Reopen).
  bool Load(std::shared_ptr<IVideoDecoderListener> listener, IRandomAccessStream* stream,
            const GUID& outputSubtype, Brindle::Tamsel::SceneGraph::IGraphicsDevice* device);
  // Creates the cache manager on `cacheFolderPath` (after letting any earlier one go), reads the
  // duration and starts the scan; its end is reported by OnDecoderInitialized. Never throws.
  void Initialize(const Platform::String& cacheFolderPath);
  // How the next Initialize's caches keep frames off the memory window; caches already made
  // keep theirs. Takes Lock.
  void SetCachingPolicy(const CachingPolicy& policy);
  CachingPolicy GetCachingPolicy() const;
  // After Close: opens a new reader on `stream`, keeping caches and times; Ready, no read
  // started. False after OnError(0) when not initialized, still open, or on any failure, which
  // leaves the decoder Closed without a reader.
  bool Reopen(IRandomAccessStream* stream, const GUID& outputSubtype);
  // Flushes the reader, waits for the flush, releases the reader and balances every media
  // platform start of Load and Reopen. Caches, listener and device stay. A second Close
  // returns at once. Raises only when the platform's shut-down fails.
  void Close();
  // The owner's last word: under Lock, the decoder becomes Closed for good and its caches are
  // destroyed here (the memory frames reach the cache folder now, budget permitting), so nothing
  // writes to the folder once the owner's disposal has returned — not even a request or a reader
  // callback that still holds a reference and lets the decoder go later. Load and Initialize are
  // refused from then on; the getters answer as before initialization.
  void Retire();
  // Takes effect from the next decoded frame; 0 or the current divisor change nothing. Frames of
  // a new size no longer fit the cached ones: caching then stops with OnError(0). Throws 668
  // before Load.
  void SetResolutionDivisor(uint32_t divisor);

  // ---- Front end: positions (relative times) ----

  // Runs RequestPosition(relative) on the thread pool. No lock. Throws 668 once Closed; the
  // action fails only with RequestPosition's 668.
  ComPtr<ABI::Windows::Foundation::IAsyncAction> SetPositionAsync(int64_t relative);
  // The client's request; on a thread-pool thread. Caches the window around the position and
  // reports the frame shown and the range cached. Throws 668 before the scan has ended; does
  // nothing when Closed or Failed.
  void RequestPosition(int64_t relative);

  // ---- Front end: frames and times (take Lock; relative times) ----

  // The shown frame's time (-1 when none) and duration (-1 when none). Throw 668 before the scan
  // has ended.
  int64_t GetCurrentFrameTime();
  int64_t GetCurrentFrameDuration();
  // The duration of the frame at `relative`; 0 when none. Throws 668 before the scan has ended.
  int64_t GetFrameDuration(int64_t relative);
  // The frame texture at `relative` (a new reference; its pixels never change), loaded from disk
  // when needed; null when none, or before Initialize.
  ComPtr<ID3D11Texture2D> GetFrame(int64_t relative);
  // The neighbours of the frame at `relative`; -1 when none is adjacent. Throw 668 before the
  // scan has ended.
  int64_t GetPreviousFrameTime(int64_t relative);
  int64_t GetNextFrameTime(int64_t relative);
  // Whether a frame lies before / after the shown one; false before Initialize.
  bool HasPreviousFrame();
  bool HasNextFrame();

  // ---- Front end: no lock ----

  // A 2 x 2 mid-grey NV12 texture, the same one on every call (per device). Throws 668 before a
  // device is set.
  ComPtr<ID3D11Texture2D> GetPlaceholderTexture();
  bool IsInitialized() const { return Initialized.load(); }
  // The relative end of the video. Throws 668 before the scan has ended.
  int64_t GetDuration() const;
  // Size of the decoded textures, rotation (degrees) and divisor. Throw 668 before Load.
  uint32_t GetOutputWidth() const;
  uint32_t GetOutputHeight() const;
  uint32_t GetRotation() const;
  uint32_t GetResolutionDivisor() const;

  // ---- The reader's callbacks (work thread, via VideoDecoderReaderCallback; take Lock) ----

  // Hands a sample to the caches and decides where the reader goes next; handles the end of
  // the stream, stream ticks and reader errors. Never throws: a failure is OnError(0) and E_FAIL.
  HRESULT OnReadSample(HRESULT status, DWORD streamIndex, DWORD streamFlags, LONGLONG timestamp,
                       IMFSample* sample);
  // The completion of a flush: seeks and reads on for the jump it belonged to, or signals Close.
  HRESULT OnFlush(DWORD streamIndex);
  HRESULT OnEvent(DWORD streamIndex, IMFMediaEvent* event);

 private:
  friend class VideoDecoderTestAccess;

  // ---- Opening (VideoDecoderOpen.cpp), Lock held ----
  void SetupDevice(Brindle::Tamsel::SceneGraph::IGraphicsDevice* device);
  void OpenReader(IRandomAccessStream* stream, const GUID& subtype, DecoderState initialState);
  void CreateReader(IRandomAccessStream* stream);
  void ApplyOutputSize();
  static void ShutDownMediaPlatform(int starts);

  // ---- Callbacks (VideoDecoderCallbacks.cpp), Lock held ----
  void OnSample(int64_t timestamp, ComPtr<IMFSample>& sample);
  void OnCachingSample(int64_t timestamp, ComPtr<IMFSample>& sample, int64_t duration);
  void OnEndOfStream();
  void OnOtherFlags(DWORD flags);
  void OnFailedJump();
  HRESULT OnCallbackFailed();

  // ---- The initial scan (VideoDecoderScan.cpp), Lock held ----
  void StartScan();
  void OnFirstSample(int64_t timestamp, ComPtr<IMFSample>& sample, int64_t duration);
  void OnScanningSample(int64_t timestamp, ComPtr<IMFSample>& sample, int64_t duration);
  void OnScanJumpSample(int64_t timestamp);
  void ScanNext();
  void EndScan(int64_t duration);
  void EndScanWithoutSamples();
  void NotifyInitialized();

  mutable Concurrency::critical_section Lock;
  // -- everything below is guarded by Lock, except where said otherwise --
  std::shared_ptr<IVideoDecoderListener> Listener;
  std::shared_ptr<VideoDecoderCacheManager> CacheManager;  // from Initialize on
  CachingPolicy Policy;  // for the next Initialize
  ComPtr<IMFDXGIDeviceManager> DeviceManager;
  ComPtr<ID3D11Device> Device;  // written under PlaceholderMutex too
  ComPtr<ID3D11DeviceContext> Context;
  ComPtr<ID3D11Texture2D> PlaceholderTexture;  // guarded by PlaceholderMutex, not Lock
  std::atomic<bool> Loaded{false};
  std::atomic<bool> Initialized{false};
  bool Retired = false;
  std::atomic<DecoderState> State{DecoderState::Opening};
  // What the output media type says; atomic for the no-lock getters.
  std::atomic<uint32_t> FrameRateDenominator{0};
  std::atomic<uint32_t> FrameRateNumerator{0};
  std::atomic<uint32_t> Width{0};   // native size, in display orientation
  std::atomic<uint32_t> Height{0};
  std::atomic<uint32_t> OutputWidth{0};  // size of the decoded textures
  std::atomic<uint32_t> OutputHeight{0};
  std::atomic<uint32_t> Rotation{0};
  std::atomic<uint32_t> ResolutionDivisor{1};
  std::atomic<uint32_t> PixelAspectNumerator{0};
  std::atomic<uint32_t> PixelAspectDenominator{0};
  // FirstSampleTime and Duration, and the conversions between absolute and relative time.
  DecoderTimeline Timeline;
  int64_t FrameDuration = 0;  // running estimate of one frame's duration
  ScanPlan Scan;
  // The reader, its primitives and where it stands.
  ReaderDriver Driver{Lock, Timeline};
  // The request and the range being cached around it, with the positioning procedures.
  CachingWindow Window{{Lock, Driver, Timeline, State, CacheManager, Listener}};
  // MFStartup calls made by Load and Reopen that no Close has balanced yet.
  int MediaPlatformStarts = 0;
  // Close waits on FlushDone with CloseMutex (taken after Lock) until OnFlush of a closed decoder
  // sets FlushSignalled (a flag, so that a spurious wake-up cannot end the wait early).
  std::mutex CloseMutex;
  std::condition_variable FlushDone;
  bool FlushSignalled = false;  // guarded by CloseMutex
  // The placeholder is made without Lock: this guards PlaceholderTexture, and Device against the
  // Load that replaces it (taken after Lock there); two first callers make one texture.
  std::mutex PlaceholderMutex;
};

}  // namespace korvane
