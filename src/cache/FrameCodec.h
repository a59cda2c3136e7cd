// FrameCodec: the lossless encoding of one frame's bytes for the storage cache. Raw keeps the
// bytes as they are; Zstd compresses them with a content checksum, so that a damaged payload
// is refused instead of decoding to other pixels.
//
// Threads: stateless apart from the compression contexts each call makes; any thread.
#pragma once

#include "cache/CachingPolicy.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvane {

class FrameCodec {
 public:
  explicit FrameCodec(FrameCompression compression) : compression_(compression) {}

  // The encoded form of `size` bytes at `data`. Throws std::bad_alloc when memory runs out and
  // Platform::Exception (E_FAIL) when the compressor fails.
  std::vector<uint8_t> Encode(const uint8_t* data, size_t size) const;
  // Decodes `payload` into exactly `size` bytes at `out`; false, with `out` in an undefined
  // state, when the payload does not decode to exactly that many bytes or fails its checksum.
  // Never reads or writes outside the two buffers.
  bool Decode(const uint8_t* payload, size_t payloadSize, uint8_t* out, size_t size) const;
  // The file name suffix of a frame file in this encoding.
  const char* FileSuffix() const { return compression_ == FrameCompression::Zstd ? ".zst" : ".tmp"; }

 private:
  FrameCompression compression_;
};

}  // namespace korvane
