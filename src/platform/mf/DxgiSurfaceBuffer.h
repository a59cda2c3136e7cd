// A media buffer over a software Direct3D 11 texture (MFCreateDXGISurfaceBuffer, and the buffer
// of every sample the source reader delivers). It holds one reference to the texture for its
// whole life.
//
// Lock gives the texture's pixels tightly packed (see MFCreateDXGISurfaceBuffer in Mfapi.h): the
// first Lock copies them out under the device's lock, the last Unlock writes the copy back, so
// a caller may change the bytes between the two. Current and max length are the packed size.
// Thread-safe: the lock count and the packed copy are guarded by `mutex_`.
#pragma once

#include "platform/com/ComObject.h"
#include "platform/d3d11/SoftwareTexture.h"
#include "platform/mf/Mfobjects.h"

#include <mutex>
#include <vector>

namespace korvane::mf {

class DxgiSurfaceBuffer final : public ComObject<IMFMediaBuffer, IMFDXGIBuffer> {
 public:
  // `texture` answers both interfaces (every software texture does).
  DxgiSurfaceBuffer(ComPtr<ID3D11Texture2D> texture, ComPtr<d3d11::ISoftwareTexture> pixels);

  // IMFMediaBuffer
  HRESULT Lock(BYTE** buffer, DWORD* maxLength, DWORD* currentLength) override;
  HRESULT Unlock() override;
  HRESULT GetCurrentLength(DWORD* length) override;
  // Only the packed size itself is accepted (E_INVALIDARG otherwise): a texture's length is fixed.
  HRESULT SetCurrentLength(DWORD length) override;
  HRESULT GetMaxLength(DWORD* length) override;

  // IMFDXGIBuffer
  HRESULT GetResource(REFIID iid, void** object) override;
  HRESULT GetSubresourceIndex(UINT* index) override;

  d3d11::ISoftwareTexture* Pixels() const { return pixels_.Get(); }

 private:
  const ComPtr<ID3D11Texture2D> texture_;
  const ComPtr<d3d11::ISoftwareTexture> pixels_;
  const DWORD packedSize_;

  std::mutex mutex_;
  int locks_ = 0;              // guarded by mutex_
  std::vector<BYTE> packed_;   // guarded by mutex_ (its bytes belong to the locker until Unlock)
};

}  // namespace korvane::mf
