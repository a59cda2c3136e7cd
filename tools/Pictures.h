// Pictures the program makes out of frames: MD5 of the packed NV12 bytes, PNG and raw NV12
// files, contact sheets, and the small digit font that labels sheets and the default video.
#pragma once

#include <korvane/Korvane.hpp>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace korvane::cli {

// Lower-case hex MD5 of frame.nv12, the bytes ffmpeg's `-pix_fmt nv12 -f framemd5` hashes.
std::string Nv12Md5(const Frame& frame);

void WriteNv12File(const Frame& frame, const std::filesystem::path& path);
// RGB PNG (BT.601 limited range, as the video is coded).
void WritePngFile(const Frame& frame, const std::filesystem::path& path);

// Draws `text` (digits and '.') into a luma plane with its top left at x, y, each font pixel
// `scale` × `scale`, clipped to the plane.
void DrawText(uint8_t* luma, uint32_t width, uint32_t height, uint32_t x, uint32_t y, uint32_t scale,
              const std::string& text, uint8_t value);
uint32_t TextWidth(const std::string& text, uint32_t scale);
inline constexpr uint32_t kGlyphHeight = 5;

// A contact sheet: frames in `columns` columns, left to right and top to bottom, each scaled to
// `tileWidth` (even) with its start time written under it. Every frame has the same size.
Frame ContactSheet(const std::vector<Frame>& frames, uint32_t columns, uint32_t tileWidth);

}  // namespace korvane::cli
