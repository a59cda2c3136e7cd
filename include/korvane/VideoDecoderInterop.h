// Korvane.Native.VideoDecoderInterop: opens a video, steps through its frames, seeks, and hands
// out decoded frames as Direct3D 11 NV12 textures.
//
// Activate the class by kVideoDecoderInteropClassName; its default interface is
// IVideoDecoderInterop. It also answers IClosable, IWeakReferenceSource, the two class-member
// interfaces below and IVideoDecoderCachingPolicy (VideoDecoderCachingPolicy.h). The object is agile: any thread may call any method.
//
// Times, positions and durations are 100 ns counts relative to the video's first frame; -1
// means none. A texture result is an ID3D11Texture2D interface pointer carried in a 64-bit
// value with one reference that the caller releases; 0 means none.
//
// Typical use: Open (DecoderLoaded on the calling thread, then InitializationProgressChanged,
// then DecoderInitialized; VideoDecoderEvents.h), then any mix of Position, MoveNext,
// MovePrevious, GetFrameTexture and iterators; CloseStream and ReopenStream/Open to let the
// file go and take it back without losing decoded frames; Close at the end. A started interop
// keeps itself alive until it is closed, so always Close it.
//
// Errors (the HRESULT of the call):
// - RO_E_CLOSED (0x80000013) for every method once Close has run (Close itself succeeds again);
// - 668 (ERROR_ASSERTION_FAILURE, used unchanged) when the decoder is not ready for the call:
//   "needs loaded" methods before Open has opened a video, "needs initialized" methods before
//   DecoderInitialized, put_Position and the moves after CloseStream, ReopenStream while the
//   old stream is still open;
// - E_BOUNDS (0x8000000B) from MoveNext/MovePrevious with no frame to step to; nothing changes;
// - the failing call's HRESULT for stream, media and Direct3D failures.
// Open and ReopenStream report a video that cannot be read through ErrorOccured (code 0): Open
// then returns S_OK and raises nothing else, ReopenStream answers false.
#pragma once

#include "korvane/VideoDecoderCachingPolicy.h"
#include "korvane/VideoDecoderEvents.h"
#include "korvane/VideoDecoderIterator.h"
#include "platform/com/WinRtInterfaces.h"
#include "platform/winrt/EventSource.h"
#include "platform/winrt/RandomAccessStream.h"

#include <cstdint>

namespace ABI::Korvane::Native {

inline constexpr char kVideoDecoderInteropClassName[] = "Korvane.Native.VideoDecoderInterop";

// The interface ids are name-based (version 5) ids of the interfaces' full names.
struct IVideoDecoderInterop : IInspectable {
  static constexpr GUID kIid{0x149AC4AE, 0x1B93, 0x5CEB, {0xAF, 0x4A, 0x63, 0xF0, 0x24, 0x1F, 0x19, 0x8E}};
  using BaseInterface = IInspectable;

  // Whether DecoderInitialized has come (the first pass over the video has ended).
  virtual HRESULT get_IsInitialized(boolean* value) = 0;
  // Needs initialized. The video's duration as the first pass measured it.
  virtual HRESULT get_Duration(int64_t* value) = 0;
  // Needs initialized. The start of the frame shown now; -1 before any is shown.
  virtual HRESULT get_Position(int64_t* value) = 0;
  // Asks for the frame containing `value` (clamped to the video) and returns at once; the
  // frame shown changes when PositionHasChanged says so.
  virtual HRESULT put_Position(int64_t value) = 0;
  // Whether MovePrevious / MoveNext have a frame to step to; false until initialized.
  virtual HRESULT get_HasPreviousFrame(boolean* value) = 0;
  virtual HRESULT get_HasNextFrame(boolean* value) = 0;
  // Need loaded. The decoded frame size (display orientation, divided by the resolution
  // divisor; odd sizes stay odd, in a texture one column and row larger whose extra column and
  // row repeat the edge), the stored rotation in degrees, and the divisor.
  virtual HRESULT get_FrameWidth(UINT32* value) = 0;
  virtual HRESULT get_FrameHeight(UINT32* value) = 0;
  virtual HRESULT get_Rotation(UINT32* value) = 0;
  virtual HRESULT get_ResolutionDivisor(UINT32* value) = 0;
  // Needs loaded. Frames decoded from now on are this many times smaller; 0 is ignored.
  virtual HRESULT put_ResolutionDivisor(UINT32 value) = 0;

  virtual HRESULT add_DecoderLoaded(DecoderLoaded* handler, EventRegistrationToken* token) = 0;
  virtual HRESULT remove_DecoderLoaded(EventRegistrationToken token) = 0;
  virtual HRESULT add_InitializationProgressChanged(InitializationProgressChanged* handler,
                                                    EventRegistrationToken* token) = 0;
  virtual HRESULT remove_InitializationProgressChanged(EventRegistrationToken token) = 0;
  virtual HRESULT add_DecoderInitialized(DecoderInitialized* handler, EventRegistrationToken* token) = 0;
  virtual HRESULT remove_DecoderInitialized(EventRegistrationToken token) = 0;
  virtual HRESULT add_PositionHasChanged(PositionHasChanged* handler, EventRegistrationToken* token) = 0;
  virtual HRESULT remove_PositionHasChanged(EventRegistrationToken token) = 0;
  virtual HRESULT add_FrameCached(FrameCached* handler, EventRegistrationToken* token) = 0;
  virtual HRESULT remove_FrameCached(EventRegistrationToken token) = 0;
  virtual HRESULT add_CachingCompleted(CachingCompleted* handler, EventRegistrationToken* token) = 0;
  virtual HRESULT remove_CachingCompleted(EventRegistrationToken token) = 0;
  virtual HRESULT add_ErrorOccured(ErrorOccured* handler, EventRegistrationToken* token) = 0;
  virtual HRESULT remove_ErrorOccured(EventRegistrationToken token) = 0;

  // Opens `stream` (a video file's bytes) on the toolkit graphics device `graphicsDevice`, with
  // its frame cache in the folder `cacheFolderPath` (wiped first), and starts the first pass.
  // On an initialized interop whose stream was closed (CloseStream) it takes `stream` up
  // instead, keeping every decoded frame. The stream held before is closed, unless it is
  // `stream` itself.
  virtual HRESULT Open(ABI::Windows::Storage::Streams::IRandomAccessStream* stream, HSTRING cacheFolderPath,
                       IInspectable* graphicsDevice) = 0;
  // After CloseStream: takes `stream` up, keeping every decoded frame; false (with
  // ErrorOccured 0) when the interop is not initialized, its old stream is still open, or the
  // stream cannot be read.
  virtual HRESULT ReopenStream(ABI::Windows::Storage::Streams::IRandomAccessStream* stream, boolean* result) = 0;
  // Lets the video go: waits until the media reader has stopped, then closes the stream.
  // Decoded frames, times and iterators stay.
  virtual HRESULT CloseStream() = 0;
  // A new iterator at offset 0, kept (and closed) by this interop until it is closed.
  virtual HRESULT CreateIterator(IVideoDecoderIterator** iterator) = 0;
  // Steps to the next / previous frame: the move starts and the call returns; PositionHasChanged
  // follows. E_BOUNDS, with nothing changed, when there is none.
  virtual HRESULT MoveNext() = 0;
  virtual HRESULT MovePrevious() = 0;
  // The decoded frame containing `time`, or 0 when it is not decoded (or nothing is open).
  virtual HRESULT GetFrameTexture(int64_t time, int64_t* texture) = 0;
  // Needs loaded. The 2 × 2 mid-grey NV12 texture shown while a frame is not decoded; the same
  // texture every time.
  virtual HRESULT GetPlaceholderTexture(int64_t* texture) = 0;
  // Need initialized. The length of the decoded frame containing `time` (0 when none), and the
  // start of the decoded frame just before / after it (-1 when none is decoded next to it).
  virtual HRESULT GetFrameDuration(int64_t time, int64_t* duration) = 0;
  virtual HRESULT GetPreviousFrameTime(int64_t time, int64_t* previous) = 0;
  virtual HRESULT GetNextFrameTime(int64_t time, int64_t* next) = 0;
};

// The class's public non-virtual members; it has none besides the interface above.
struct __IVideoDecoderInteropPublicNonVirtuals : IInspectable {
  static constexpr GUID kIid{0x7AE0B15E, 0xEC8F, 0x5E42, {0xBA, 0x6C, 0xFF, 0xAE, 0xD0, 0x74, 0xD4, 0x47}};
  using BaseInterface = IInspectable;
};

// The class's protected overridables.
struct __IVideoDecoderInteropProtectedVirtuals : IInspectable {
  static constexpr GUID kIid{0x651BC571, 0xB03B, 0x5263, {0xBF, 0x1B, 0xF8, 0xBA, 0x06, 0x9A, 0x0D, 0x49}};
  using BaseInterface = IInspectable;

  // The decoded pixel format: 2 selects NV12 (the class's own answer), anything else RGB32.
  virtual HRESULT GetOutputFormat(int32_t* format) = 0;
};

}  // namespace ABI::Korvane::Native
