#include "platform/mf/FrameConverter.h"

#include <cstring>

namespace korvane::mf {

namespace {

constexpr uint32_t kRowAlignment = 64;

uint32_t AlignUp(uint32_t value, uint32_t alignment) { return (value + alignment - 1) / alignment * alignment; }

// Turns a plane of `width` × `height` elements of type T clockwise by `rotation` into `out`,
// which then has the turned dimensions. Pitches are in bytes.
template <class T>
void TurnPlane(const uint8_t* in, uint32_t inPitch, uint32_t width, uint32_t height, uint32_t rotation, uint8_t* out,
               uint32_t outPitch) {
  if (rotation == 180) {
    for (uint32_t y = 0; y < height; ++y) {
      const T* source = reinterpret_cast<const T*>(in + size_t{height - 1 - y} * inPitch);
      T* target = reinterpret_cast<T*>(out + size_t{y} * outPitch);
      for (uint32_t x = 0; x < width; ++x) target[x] = source[width - 1 - x];
    }
    return;
  }
  // 90 and 270: the output is height × width. Output row y is input column (270: width-1-y,
  // 90: y); along it, input rows run bottom-up (90) or top-down (270).
  for (uint32_t y = 0; y < width; ++y) {
    T* target = reinterpret_cast<T*>(out + size_t{y} * outPitch);
    const uint32_t column = rotation == 90 ? y : width - 1 - y;
    for (uint32_t x = 0; x < height; ++x) {
      const uint32_t row = rotation == 90 ? height - 1 - x : x;
      target[x] = reinterpret_cast<const T*>(in + size_t{row} * inPitch)[column];
    }
  }
}

// An odd NV12 picture fills its plane's extra luma column and row with copies of its last
// ones; chroma already covers them (libswscale rounds chroma sizes up).
void RepeatEdges(const PictureTarget& target) {
  uint8_t* luma = target.planes[0];
  const size_t pitch = target.pitches[0];
  if (target.width % 2 != 0) {
    for (uint32_t y = 0; y < target.height; ++y) luma[y * pitch + target.width] = luma[y * pitch + target.width - 1];
  }
  if (target.height % 2 != 0) {
    std::memcpy(luma + target.height * pitch, luma + (target.height - 1) * pitch, EvenNv12Size(target.width));
  }
}

int SwsColorspace(AVColorSpace colorspace) {
  switch (colorspace) {
    case AVCOL_SPC_BT709:
      return SWS_CS_ITU709;
    case AVCOL_SPC_FCC:
      return SWS_CS_FCC;
    case AVCOL_SPC_SMPTE240M:
      return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
      return SWS_CS_BT2020;
    default:
      return SWS_CS_DEFAULT;
  }
}

}  // namespace

HRESULT FrameConverter::PrepareScaler(const AVFrame& frame, int width, int height, AVPixelFormat format) {
  SwsContext* context =
      sws_getCachedContext(scaler_.release(), frame.width, frame.height, static_cast<AVPixelFormat>(frame.format),
                           width, height, format, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (context == nullptr) {
    sourceColorspace_ = sourceRange_ = -1;
    return E_FAIL;
  }
  if (context != scaler_.get()) sourceColorspace_ = sourceRange_ = -1;
  scaler_.reset(context);

  // Only the conversion to RGB depends on the matrix and range; YUV to YUV keeps the values.
  const int colorspace = SwsColorspace(frame.colorspace);
  const int range = frame.color_range == AVCOL_RANGE_JPEG ? 1 : 0;
  if (format == AV_PIX_FMT_BGRA && (colorspace != sourceColorspace_ || range != sourceRange_)) {
    int* inverseTable = nullptr;
    int* table = nullptr;
    int sourceRange = 0, destinationRange = 0, brightness = 0, contrast = 0, saturation = 0;
    if (sws_getColorspaceDetails(context, &inverseTable, &sourceRange, &table, &destinationRange, &brightness,
                                 &contrast, &saturation) >= 0) {
      sws_setColorspaceDetails(context, sws_getCoefficients(colorspace), range, sws_getCoefficients(SWS_CS_DEFAULT),
                               1, brightness, contrast, saturation);
    }
    sourceColorspace_ = colorspace;
    sourceRange_ = range;
  }
  return S_OK;
}

HRESULT FrameConverter::Convert(const AVFrame& frame, uint32_t rotation, const PictureTarget& target) {
  const bool nv12 = target.format == PictureFormat::Nv12;
  if (target.width == 0 || target.height == 0 || target.planes[0] == nullptr) return E_INVALIDARG;
  if (nv12 && target.planes[1] == nullptr) return E_INVALIDARG;
  if (rotation != 0 && rotation != 90 && rotation != 180 && rotation != 270) return E_INVALIDARG;
  if (frame.width <= 0 || frame.height <= 0) return E_INVALIDARG;

  const bool sideways = rotation == 90 || rotation == 270;
  const uint32_t width = sideways ? target.height : target.width;  // before turning
  const uint32_t height = sideways ? target.width : target.height;
  const AVPixelFormat format = nv12 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_BGRA;
  HRESULT hr = PrepareScaler(frame, static_cast<int>(width), static_cast<int>(height), format);
  if (FAILED(hr)) return hr;

  uint8_t* planes[4] = {nullptr, nullptr, nullptr, nullptr};
  int pitches[4] = {0, 0, 0, 0};
  uint32_t scratchPitch = 0;
  if (rotation == 0) {
    planes[0] = target.planes[0];
    planes[1] = target.planes[1];
    pitches[0] = static_cast<int>(target.pitches[0]);
    pitches[1] = static_cast<int>(target.pitches[1]);
  } else {
    scratchPitch = AlignUp(nv12 ? EvenNv12Size(width) : width * 4, kRowAlignment);
    const uint32_t rows = nv12 ? height + EvenNv12Size(height) / 2 : height;
    scratch_.resize(size_t{scratchPitch} * rows);
    planes[0] = scratch_.data();
    pitches[0] = static_cast<int>(scratchPitch);
    if (nv12) {
      planes[1] = scratch_.data() + size_t{scratchPitch} * height;
      pitches[1] = static_cast<int>(scratchPitch);
    }
  }
  const int rowsOut = sws_scale(scaler_.get(), frame.data, frame.linesize, 0, frame.height, planes, pitches);
  if (rowsOut <= 0) return E_FAIL;

  if (rotation != 0 && nv12) {
    TurnPlane<uint8_t>(planes[0], scratchPitch, width, height, rotation, target.planes[0], target.pitches[0]);
    TurnPlane<uint16_t>(planes[1], scratchPitch, EvenNv12Size(width) / 2, EvenNv12Size(height) / 2, rotation,
                        target.planes[1], target.pitches[1]);
  } else if (rotation != 0) {
    TurnPlane<uint32_t>(planes[0], scratchPitch, width, height, rotation, target.planes[0], target.pitches[0]);
  }
  if (nv12) RepeatEdges(target);
  return S_OK;
}

}  // namespace korvane::mf
