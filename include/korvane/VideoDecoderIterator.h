// Korvane.Native.VideoDecoderIterator: a cursor that stays a fixed number of frames away from
// its interop's current frame, and the scene-graph toolkit's video source over that frame.
//
// Iterators are made only by IVideoDecoderInterop::CreateIterator; activating the class by
// kVideoDecoderIteratorClassName fails with E_NOTIMPL. An iterator answers
// IVideoDecoderIterator (its default interface), Brindle::Tamsel::SceneGraph::IVideoDecoder
// (IVideoDecoder.h), IClosable and IWeakReferenceSource, and may be called from any thread.
//
// Its frame. The offset counts frames from the interop's current frame (positive = later). The
// iterator finds its frame by stepping from the current frame through frames that are decoded
// and adjacent, so a frame beyond the decoded run is not found until it is decoded; it looks
// again whenever the interop's position changes or frames are cached, and raises FrameUpdated
// when the frame it designates changed. The interop's MoveNext/MovePrevious shift every
// iterator's offset by one the other way, so an iterator keeps its frame across those steps.
// Nothing is resolved before the interop's decoder is initialized.
//
// Failures: every method of a closed iterator fails with RO_E_CLOSED (Close itself succeeds
// again); a method that needs the interop fails with RO_E_CLOSED once the interop is closed;
// moving the offset past the 32-bit range fails with E_BOUNDS.
#pragma once

#include "korvane/IVideoDecoder.h"
#include "platform/com/WinRtInterfaces.h"

#include <cstdint>

namespace ABI::Korvane::Native {

inline constexpr char kVideoDecoderIteratorClassName[] = "Korvane.Native.VideoDecoderIterator";

// The interface ids are name-based (version 5) ids of the interfaces' full names.
struct IVideoDecoderIterator : IInspectable {
  static constexpr GUID kIid{0xD799D2C9, 0x0626, 0x5861, {0x80, 0xEF, 0x01, 0x25, 0xA8, 0x84, 0x29, 0x58}};
  using BaseInterface = IInspectable;

  virtual HRESULT get_Offset(int32_t* value) = 0;
  // A frame was found for the offset and its texture was not found missing since.
  virtual HRESULT get_HasFrame(boolean* value) = 0;
  // Whether a decoded frame lies just before / after the iterator's frame (false before the
  // decoder is initialized).
  virtual HRESULT get_HasPreviousFrame(boolean* value) = 0;
  virtual HRESULT get_HasNextFrame(boolean* value) = 0;
  // Offset − 1 / + 1, then look the frame up again; FrameUpdated follows when it changed.
  virtual HRESULT MovePrevious() = 0;
  virtual HRESULT MoveNext() = 0;
  // The same for any offset; the current offset changes nothing.
  virtual HRESULT SetOffset(int32_t offset) = 0;
  // Offset 0, taking effect at the next look-up (GetTexture or the interop's next event);
  // raises nothing by itself.
  virtual HRESULT Reset() = 0;
};

// The class's protected overridables; it has none.
struct __IVideoDecoderIteratorProtectedVirtuals : IInspectable {
  static constexpr GUID kIid{0xBC01F0D6, 0x2DF1, 0x50F9, {0xB0, 0x86, 0xF8, 0x36, 0xB5, 0x4E, 0x1B, 0xF2}};
  using BaseInterface = IInspectable;
};

}  // namespace ABI::Korvane::Native
