// Korvane.Native.JpegEncoder: encodes one raw NV12 picture to a JPEG file.
//
// Activate the class by its name (kJpegEncoderClassName) through the library's activation
// factory; its default interface is IJpegEncoder. The object is agile: any thread may call it,
// and one encoder may run any number of encodes at once.
//
// Input: the whole content of `source`, read from its current position (which must be 0),
// is the picture in NV12 layout for `width` W x `height` H:
//   bytes [0, W x H)                      luma, one byte per pixel, rows W bytes apart;
//   bytes [W x H, W x H + (W x H + 1)/2)  chroma, interleaved Cb, Cr pairs for each 2 x 2
//                                         block, rows W bytes apart.
// The stream's Size must be exactly W x H + (W x H + 1) / 2.
//
// Output: a new in-memory random-access stream holding the complete JPEG (YCbCr 4:2:0, the
// samples taken as they are, quality 0.9). Its Size is the JPEG's length and its position is
// where the encoder's last write left it, the end: seek it to 0 (or take an input stream at 0)
// before reading.
//
// The operation reports progress 0.1, 0.3, 0.4, 0.5, 0.7, 0.9 and 1.0, each once and in that
// order, on the thread that runs the encode (a pool thread), the encode going on only when the
// progress handler has returned. Cancel is cooperative: a stage that has started finishes, the
// later stages are skipped (the output stream is still created), no further progress is
// reported, and the operation completes with a null stream. Errors end the operation in the
// Error state with these codes:
//   668 (ERROR_ASSERTION_FAILURE, not an HRESULT)  null `source`, `width` or `height` 0 (checked
//       in that order), W x H + (W x H + 1) / 2 not representable in 32 bits (checked before
//       anything is read), a Size that differs from it, a plane read that comes up short
//       (a source not at position 0);
//   the failing call's HRESULT  for any failure of the stream or imaging calls, for instance
//       E_INVALIDARG or WINCODEC_ERR_INSUFFICIENTBUFFER (0x88982F8C) for an odd width or
//       height, whose chroma the layout above cannot hold in full.
#pragma once

#include "platform/com/WinRtInterfaces.h"
#include "platform/winrt/AsyncInterfaces.h"
#include "platform/winrt/RandomAccessStream.h"

namespace ABI::Korvane::Native {

inline constexpr char kJpegEncoderClassName[] = "Korvane.Native.JpegEncoder";

// The class's public non-virtual members (its runtime metadata names this interface
// "__IJpegEncoderPublicNonVirtuals"); the id is derived from that full name.
struct IJpegEncoder : IInspectable {
  static constexpr GUID kIid{0x752EBF1B, 0xB715, 0x5B30, {0x9E, 0x2D, 0xB4, 0x0E, 0x67, 0xF4, 0x85, 0x6E}};
  using BaseInterface = IInspectable;

  // Starts the encode and returns at once; it checks none of its arguments itself (bad
  // arguments end the operation in the Error state). E_POINTER for a null `operation`.
  virtual HRESULT EncodeAsync(
      ABI::Windows::Storage::Streams::IRandomAccessStream* source, UINT32 width, UINT32 height,
      ABI::Windows::Foundation::IAsyncOperationWithProgress<ABI::Windows::Storage::Streams::IRandomAccessStream*,
                                                            double>** operation) = 0;
};

}  // namespace ABI::Korvane::Native
