// The toolkit's delegate for IVideoDecoder::FrameUpdated: no arguments. Raised after something
// happened that may change what the decoder's GetTexture returns.
#pragma once

#include "platform/com/Unknown.h"

namespace Brindle::Tamsel::SceneGraph {

struct VideoDecoderFrameUpdated : IUnknown {
  static constexpr GUID kIid{0x5F0E8B93, 0x2C64, 0x4A7D, {0xB1, 0x58, 0xE2, 0x9A, 0x03, 0x7C, 0x6D, 0x41}};
  using BaseInterface = IUnknown;

  // A handler whose target is gone fails with RPC_E_DISCONNECTED, so that the event drops it.
  virtual HRESULT Invoke() = 0;
};

}  // namespace Brindle::Tamsel::SceneGraph
