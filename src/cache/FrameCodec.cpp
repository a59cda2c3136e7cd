#include "cache/FrameCodec.h"

#include "platform/com/Exceptions.h"

#include <zstd.h>

#include <cstring>
#include <memory>
#include <string>

namespace korvane {
namespace {

// Level 1: frames are written on the decoder's thread under the cache lock, so speed matters
// more than the last few percent of size.
constexpr int kZstdLevel = 1;

struct CompressionContextDeleter {
  void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};
struct DecompressionContextDeleter {
  void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

}  // namespace

std::vector<uint8_t> FrameCodec::Encode(const uint8_t* data, size_t size) const {
  if (compression_ == FrameCompression::None) return std::vector<uint8_t>(data, data + size);
  std::unique_ptr<ZSTD_CCtx, CompressionContextDeleter> context(ZSTD_createCCtx());
  if (!context) throw std::bad_alloc();
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, kZstdLevel);
  // The checksum is what lets a load tell a damaged file from a frame.
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 1);
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_contentSizeFlag, 1);
  std::vector<uint8_t> payload(ZSTD_compressBound(size));
  const size_t written = ZSTD_compress2(context.get(), payload.data(), payload.size(), data, size);
  if (ZSTD_isError(written)) {
    throw Platform::Exception(E_FAIL, std::string("FrameCodec::Encode: ") + ZSTD_getErrorName(written));
  }
  payload.resize(written);
  payload.shrink_to_fit();
  return payload;
}

bool FrameCodec::Decode(const uint8_t* payload, size_t payloadSize, uint8_t* out, size_t size) const {
  if (compression_ == FrameCompression::None) {
    if (payloadSize != size) return false;
    std::memcpy(out, payload, size);
    return true;
  }
  // The declared size is checked first so that a payload of another frame size is refused
  // before anything is decoded.
  const unsigned long long declared = ZSTD_getFrameContentSize(payload, payloadSize);
  if (declared != size) return false;
  std::unique_ptr<ZSTD_DCtx, DecompressionContextDeleter> context(ZSTD_createDCtx());
  if (!context) return false;
  const size_t decoded = ZSTD_decompressDCtx(context.get(), out, size, payload, payloadSize);
  return !ZSTD_isError(decoded) && decoded == size;
}

}  // namespace korvane
