// Turns a decoded FFmpeg frame into an output picture: converts the pixel format (NV12 or
// BGRA), scales it (libswscale, bilinear) and turns it upright by the stream's rotation.
//
// Not thread-safe: one converter belongs to one source, called one frame at a time. It keeps
// its scaler and a scratch picture between frames so that a steady stream allocates nothing.
#pragma once

#include "platform/mf/FfmpegHandles.h"
#include "platform/mf/MediaSource.h"

#include <cstdint>
#include <vector>

namespace korvane::mf {

class FrameConverter {
 public:
  // Writes `frame` turned clockwise by `rotation` (0, 90, 180 or 270) and scaled to the target's
  // size; an odd NV12 size gets its extra column and row repeated from the edge (see
  // PictureTarget). E_INVALIDARG for a target without planes or size, E_FAIL when libswscale
  // refuses the conversion.
  HRESULT Convert(const AVFrame& frame, uint32_t rotation, const PictureTarget& target);

 private:
  // Prepares scaler_ for frame → width × height of `format`.
  HRESULT PrepareScaler(const AVFrame& frame, int width, int height, AVPixelFormat format);

  SwsContextPtr scaler_;
  int sourceColorspace_ = -1;  // colour details last given to scaler_
  int sourceRange_ = -1;
  std::vector<uint8_t> scratch_;  // the upright-to-be picture before it is turned
};

}  // namespace korvane::mf
