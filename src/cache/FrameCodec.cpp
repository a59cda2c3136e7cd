#include "cache/FrameCodec.h"

#include "platform/com/Exceptions.h"

#include <zstd.h>

#include <cstring>
#include <new>
#include <string>

namespace korvane {
namespace {

// Level 1: frames are written on the decoder's thread under the cache lock, so speed matters
// more than the last few percent of size.
constexpr int kZstdLevel = 1;

}  // namespace

void FrameCodec::CompressionContextDeleter::operator()(ZSTD_CCtx_s* context) const { ZSTD_freeCCtx(context); }
void FrameCodec::DecompressionContextDeleter::operator()(ZSTD_DCtx_s* context) const { ZSTD_freeDCtx(context); }

FrameCodec::FrameCodec(FrameCompression compression) : compression_(compression) {}

FrameCodec::~FrameCodec() = default;

std::span<const uint8_t> FrameCodec::Encode(const uint8_t* data, size_t size) {
  if (compression_ == FrameCompression::None) return {data, size};
  if (!compressor_) {
    compressor_.reset(ZSTD_createCCtx());
    if (!compressor_) throw std::bad_alloc();
    ZSTD_CCtx_setParameter(compressor_.get(), ZSTD_c_compressionLevel, kZstdLevel);
    // The checksum is what lets a load tell a damaged file from a frame.
    ZSTD_CCtx_setParameter(compressor_.get(), ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_setParameter(compressor_.get(), ZSTD_c_contentSizeFlag, 1);
  }
  const size_t bound = ZSTD_compressBound(size);
  if (outputSize_ < bound) {
    output_.reset(new uint8_t[bound]);
    outputSize_ = bound;
  }
  const size_t written = ZSTD_compress2(compressor_.get(), output_.get(), outputSize_, data, size);
  if (ZSTD_isError(written)) {
    throw Platform::Exception(E_FAIL, std::string("FrameCodec::Encode: ") + ZSTD_getErrorName(written));
  }
  return {output_.get(), written};
}

bool FrameCodec::Decode(const uint8_t* payload, size_t payloadSize, uint8_t* out, size_t size) {
  if (compression_ == FrameCompression::None) {
    if (payloadSize != size) return false;
    std::memcpy(out, payload, size);
    return true;
  }
  // The declared size is checked first so that a payload of another frame size is refused
  // before anything is decoded.
  const unsigned long long declared = ZSTD_getFrameContentSize(payload, payloadSize);
  if (declared != size) return false;
  if (!decompressor_) {
    decompressor_.reset(ZSTD_createDCtx());
    if (!decompressor_) return false;
  }
  const size_t decoded = ZSTD_decompressDCtx(decompressor_.get(), out, size, payload, payloadSize);
  return !ZSTD_isError(decoded) && decoded == size;
}

}  // namespace korvane
