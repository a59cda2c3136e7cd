// FrameCodec: the lossless encoding of one frame's bytes for the storage cache. Raw keeps the
// bytes as they are; Zstd compresses them with a content checksum, so that a damaged payload
// is refused instead of decoding to other pixels.
//
// Threads: one caller at a time (the storage cache calls it under its owner's lock). The
// compression contexts and the output buffer are kept from call to call: a 1080p frame is
// 3 MiB, and allocating (and zeroing) that much per frame costs as much as compressing it.
#pragma once

#include "cache/CachingPolicy.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

struct ZSTD_CCtx_s;
struct ZSTD_DCtx_s;

namespace korvane {

class FrameCodec {
 public:
  explicit FrameCodec(FrameCompression compression);
  ~FrameCodec();
  FrameCodec(const FrameCodec&) = delete;
  FrameCodec& operator=(const FrameCodec&) = delete;

  // The encoded form of `size` bytes at `data`: raw, the input itself; compressed, a view of
  // the codec's own buffer. Valid until the next Encode. Throws std::bad_alloc when memory runs
  // out and Platform::Exception (E_FAIL) when the compressor fails.
  std::span<const uint8_t> Encode(const uint8_t* data, size_t size);
  // Decodes `payload` into exactly `size` bytes at `out`; false, with `out` in an undefined
  // state, when the payload does not decode to exactly that many bytes or fails its checksum.
  // Never reads or writes outside the two buffers.
  bool Decode(const uint8_t* payload, size_t payloadSize, uint8_t* out, size_t size);
  // Whether payloads are the frame's bytes as they are.
  bool IsRaw() const { return compression_ == FrameCompression::None; }
  // The file name suffix of a frame file in this encoding.
  const char* FileSuffix() const { return compression_ == FrameCompression::Zstd ? ".zst" : ".tmp"; }

 private:
  struct CompressionContextDeleter {
    void operator()(ZSTD_CCtx_s* context) const;
  };
  struct DecompressionContextDeleter {
    void operator()(ZSTD_DCtx_s* context) const;
  };

  FrameCompression compression_;
  std::unique_ptr<ZSTD_CCtx_s, CompressionContextDeleter> compressor_;
  std::unique_ptr<ZSTD_DCtx_s, DecompressionContextDeleter> decompressor_;
  std::unique_ptr<uint8_t[]> output_;  // not zeroed: the compressor writes what is read back
  size_t outputSize_ = 0;
};

}  // namespace korvane
