// The seven delegate types of Korvane.Native.VideoDecoderInterop's events.
//
// Each delegate returns nothing (S_OK from Invoke) and has no sender argument. Times are
// 100 ns counts relative to the video's first frame; progress is a fraction from 0 to 1.
//
// What a handler may rely on:
// - DecoderLoaded is raised on the thread that called Open, before Open returns.
// - InitializationProgressChanged is raised on the decoder's own thread while the decoder is
//   busy with a frame: its handler must return quickly and must not call the interop's decoder
//   operations (getters, Position, MoveNext/MovePrevious, textures, CloseStream, Close). It
//   reports at most 40 values per initialization (steps of 1/40), each greater than the last.
// - Every other event is raised on a thread-pool thread; no position, frame or caching event
//   comes before DecoderInitialized. PositionHasChanged, FrameCached and CachingCompleted are
//   coalesced: while a handler runs, newer values replace older ones, so a handler sees the
//   newest value, never an older one after a newer.
// - A handler that fails with RPC_E_DISCONNECTED (0x80010108), RPC_S_SERVER_UNAVAILABLE
//   (0x800706BA) or JSCRIPT_E_CANTEXECUTE (0x89020001) is removed from the event. Any other
//   failure ends that raise; for the coalesced events it also ends that event's delivery.
// - Once the interop's Close has returned, no handler runs and none is still running (Close
//   waits for handlers in progress on other threads).
#pragma once

#include "platform/com/Unknown.h"

#include <cstdint>

namespace ABI::Korvane::Native {

// The interface ids are name-based (version 5) ids of the delegates' full names in the
// runtime's parameterised-interface namespace.

struct DecoderLoaded : IUnknown {
  static constexpr GUID kIid{0x63354A62, 0x5164, 0x5A69, {0x94, 0x21, 0x50, 0xE0, 0x01, 0x0D, 0x88, 0xFB}};
  using BaseInterface = IUnknown;
  virtual HRESULT Invoke() = 0;
};

struct InitializationProgressChanged : IUnknown {
  static constexpr GUID kIid{0x2D582C25, 0xCA52, 0x5CE6, {0x83, 0x7A, 0x0F, 0xE3, 0x10, 0xCD, 0x2A, 0x78}};
  using BaseInterface = IUnknown;
  virtual HRESULT Invoke(double progress) = 0;
};

struct DecoderInitialized : IUnknown {
  static constexpr GUID kIid{0xB78D8FCD, 0x401B, 0x51E6, {0x89, 0x11, 0x61, 0x78, 0xD9, 0x2D, 0xAE, 0x3A}};
  using BaseInterface = IUnknown;
  virtual HRESULT Invoke() = 0;
};

// `position`: the middle of the frame now shown.
struct PositionHasChanged : IUnknown {
  static constexpr GUID kIid{0x30FBECA3, 0x6473, 0x5248, {0x81, 0x9B, 0x81, 0x5B, 0xF0, 0x01, 0xA1, 0x84}};
  using BaseInterface = IUnknown;
  virtual HRESULT Invoke(int64_t position) = 0;
};

// `time`: the start of a frame that has just been decoded and cached.
struct FrameCached : IUnknown {
  static constexpr GUID kIid{0x54E03A0B, 0x9E60, 0x5479, {0x9C, 0x0B, 0xE2, 0x2A, 0x3E, 0x78, 0xE3, 0x79}};
  using BaseInterface = IUnknown;
  virtual HRESULT Invoke(int64_t time) = 0;
};

// The span around the requested position that is now cached (as far as it could be reached).
struct CachingCompleted : IUnknown {
  static constexpr GUID kIid{0x5413C9AC, 0xE9B8, 0x581A, {0xB3, 0x22, 0x38, 0xE4, 0x38, 0x7F, 0x63, 0x88}};
  using BaseInterface = IUnknown;
  virtual HRESULT Invoke(int64_t start, int64_t end) = 0;
};

// `code`: 1 when the media reader reported an error, 0 for any other failure.
struct ErrorOccured : IUnknown {
  static constexpr GUID kIid{0xCFD7B643, 0x4957, 0x53FC, {0xA2, 0x12, 0x3A, 0xF3, 0x8F, 0x10, 0x48, 0xE4}};
  using BaseInterface = IUnknown;
  virtual HRESULT Invoke(int32_t code) = 0;
};

}  // namespace ABI::Korvane::Native
