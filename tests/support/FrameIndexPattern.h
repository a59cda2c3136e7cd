// The picture that carries a frame index (the layout is described in TestMedia.h), shared by
// the writer, which draws it into the encoder's frames, and the readers. Internal to
// tests/support.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane::test::detail {

inline constexpr uint8_t kPatternBlack = 16;
inline constexpr uint8_t kPatternWhite = 235;
inline constexpr uint8_t kNeutralChroma = 128;

// Draws the luma of index's pattern, upright, into width × height bytes with rows rowPitch
// apart. The caller has checked its arguments; chroma is the caller's (flat kNeutralChroma).
void DrawFrameIndexLuma(int index, uint8_t* luma, size_t rowPitch, int width, int height);

}  // namespace korvane::test::detail
