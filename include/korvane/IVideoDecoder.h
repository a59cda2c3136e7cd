// The scene-graph toolkit's video source (Brindle::Tamsel::SceneGraph::IVideoDecoder) and its
// FrameUpdated delegate, as applications see them on Korvane.Native.VideoDecoderIterator.
//
// What this component guarantees to the toolkit (and to any application that draws from an
// iterator itself):
// - get_PixelFormat and GetTexture may be called from any thread at any time; get_PixelFormat
//   answers 2 (NV12).
// - GetTexture hands out an ID3D11Texture2D interface pointer carried in a 64-bit value, with one
//   reference that the caller releases. Once the interop has loaded a video it always returns a
//   texture: the iterator's frame when it is decoded, otherwise a 2 × 2 mid-grey placeholder.
//   Textures are NV12 and live on the device handed to the interop's Open.
// - FrameUpdated is raised on a thread-pool thread, with no lock of the component held, after
//   something happened that may change what GetTexture returns; a handler may call GetTexture.
//   Signals that arrive while a handler runs are folded into one more raise.
#pragma once

#include "toolkit/IVideoDecoder.h"
#include "toolkit/VideoDecoderFrameUpdated.h"
