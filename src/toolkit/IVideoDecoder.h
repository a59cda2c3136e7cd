// The toolkit's video source: what its renderer draws from. Declaration only; the component's
// frame iterator implements it.
//
// The toolkit may call get_PixelFormat and GetTexture from any thread at any time. FrameUpdated
// is raised on a thread-pool thread, with no lock of the implementer held, so a handler may call
// GetTexture.
#pragma once

#include "platform/com/WinRtInterfaces.h"
#include "platform/winrt/EventSource.h"
#include "toolkit/VideoDecoderFrameUpdated.h"

namespace Brindle::Tamsel::SceneGraph {

struct IVideoDecoder : IInspectable {
  static constexpr GUID kIid{0x1D7B4F60, 0x93A2, 0x4E35, {0x8C, 0x0B, 0x5E, 0x21, 0xF4, 0xA9, 0x6B, 0x72}};
  using BaseInterface = IInspectable;

  // The pixel format of the textures: 2 = NV12.
  virtual HRESULT get_PixelFormat(UINT32* value) = 0;
  // An ID3D11Texture2D interface pointer carried in a 64-bit value; one reference passes to the
  // caller, who releases it. 0 means no texture.
  virtual HRESULT GetTexture(UINT64* texture) = 0;
  virtual HRESULT add_FrameUpdated(VideoDecoderFrameUpdated* handler, EventRegistrationToken* token) = 0;
  virtual HRESULT remove_FrameUpdated(EventRegistrationToken token) = 0;
};

}  // namespace Brindle::Tamsel::SceneGraph
