// The reader's output textures. A texture goes out inside a sample and comes back to use once
// nobody but the pool references it any more: the pool only reuses a texture whose reference
// count shows the pool's own reference alone, so a texture a client still holds (through a
// sample, a buffer or the texture itself) is never written over. When none is free, a new one
// is made; at most kMaxPooled are kept for reuse, beyond that new textures are simply handed out.
//
// Thread-safe: `mutex_` guards `textures_`. No texture is created with it held.
#pragma once

#include "platform/com/ComPtr.h"
#include "platform/d3d11/D3D11.h"

#include <mutex>
#include <vector>

namespace korvane::mf {

class TexturePool {
 public:
  static constexpr size_t kMaxPooled = 16;

  explicit TexturePool(ComPtr<ID3D11Device> device);

  // A texture of that format and size (default usage, shader-resource binding) that nobody
  // else holds.
  HRESULT Acquire(DXGI_FORMAT format, UINT width, UINT height, ComPtr<ID3D11Texture2D>& texture);

 private:
  const ComPtr<ID3D11Device> device_;
  std::mutex mutex_;
  std::vector<ComPtr<ID3D11Texture2D>> textures_;  // guarded by mutex_
};

}  // namespace korvane::mf
