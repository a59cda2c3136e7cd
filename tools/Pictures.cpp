#include "Pictures.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/md5.h>
#include <libswscale/swscale.h>
}

#include <array>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace korvane::cli {

namespace {

// 3 × 5 glyphs, one row per 3 low bits, top row first.
constexpr std::array<std::array<uint8_t, 5>, 10> kDigits = {{
    {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1},
    {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7},
}};
constexpr std::array<uint8_t, 5> kDot = {0, 0, 0, 0, 2};
constexpr uint32_t kGlyphAdvance = 4;  // three columns and a space

void WriteBytes(const std::filesystem::path& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  if (!out) throw std::runtime_error(path.string() + ": cannot be written");
}

struct CodecContextFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsFree {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};

}  // namespace

std::string Nv12Md5(const Frame& frame) {
  uint8_t digest[16];
  av_md5_sum(digest, frame.nv12.data(), frame.nv12.size());
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t byte : digest) {
    hex += kHex[byte >> 4];
    hex += kHex[byte & 15];
  }
  return hex;
}

void WriteNv12File(const Frame& frame, const std::filesystem::path& path) {
  WriteBytes(path, frame.nv12.data(), frame.nv12.size());
}

void WritePngFile(const Frame& frame, const std::filesystem::path& path) {
  const int width = static_cast<int>(frame.width), height = static_cast<int>(frame.height);
  std::unique_ptr<AVFrame, FrameFree> rgb(av_frame_alloc());
  rgb->format = AV_PIX_FMT_RGB24;
  rgb->width = width;
  rgb->height = height;
  if (av_frame_get_buffer(rgb.get(), 0) < 0) throw std::runtime_error("out of memory for a PNG");
  std::unique_ptr<SwsContext, SwsFree> scale(sws_getContext(width, height, AV_PIX_FMT_NV12, width, height,
                                                             AV_PIX_FMT_RGB24, SWS_POINT, nullptr, nullptr, nullptr));
  const uint8_t* planes[2] = {frame.nv12.data(), frame.Chroma()};
  const int pitches[2] = {width, static_cast<int>(Frame::ChromaRowBytes(frame.width))};
  if (!scale || sws_scale(scale.get(), planes, pitches, 0, height, rgb->data, rgb->linesize) != height) {
    throw std::runtime_error("cannot convert a " + std::to_string(width) + " x " + std::to_string(height) + " frame to RGB");
  }
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
  std::unique_ptr<AVCodecContext, CodecContextFree> context(codec ? avcodec_alloc_context3(codec) : nullptr);
  if (!context) throw std::runtime_error("no PNG encoder in this FFmpeg");
  context->width = width;
  context->height = height;
  context->pix_fmt = AV_PIX_FMT_RGB24;
  context->time_base = {1, 1};
  std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
  if (avcodec_open2(context.get(), codec, nullptr) < 0 || avcodec_send_frame(context.get(), rgb.get()) < 0 ||
      avcodec_receive_packet(context.get(), packet.get()) < 0) {
    throw std::runtime_error(path.string() + ": PNG encoding failed");
  }
  WriteBytes(path, packet->data, static_cast<size_t>(packet->size));
}

uint32_t TextWidth(const std::string& text, uint32_t scale) {
  return text.empty() ? 0 : (static_cast<uint32_t>(text.size()) * kGlyphAdvance - 1) * scale;
}

void DrawText(uint8_t* luma, uint32_t width, uint32_t height, uint32_t x, uint32_t y, uint32_t scale,
              const std::string& text, uint8_t value) {
  for (char c : text) {
    const std::array<uint8_t, 5>* glyph = c == '.' ? &kDot : (c >= '0' && c <= '9') ? &kDigits[c - '0'] : nullptr;
    for (uint32_t row = 0; glyph != nullptr && row < kGlyphHeight * scale; ++row) {
      for (uint32_t column = 0; column < 3 * scale; ++column) {
        if (((*glyph)[row / scale] >> (2 - column / scale) & 1) == 0) continue;
        const uint64_t px = uint64_t{x} + column, py = uint64_t{y} + row;
        if (px < width && py < height) luma[py * width + px] = value;
      }
    }
    x += kGlyphAdvance * scale;
  }
}

Frame ContactSheet(const std::vector<Frame>& frames, uint32_t columns, uint32_t tileWidth) {
  if (frames.empty() || columns == 0 || tileWidth < 2) throw std::invalid_argument("an empty contact sheet");
  const Frame& first = frames.front();
  tileWidth &= ~1u;
  const uint32_t tileHeight = std::max<uint32_t>(2, static_cast<uint32_t>(uint64_t{tileWidth} * first.height / first.width) & ~1u);
  constexpr uint32_t kScale = 2, kMargin = 4;
  const uint32_t labelHeight = kGlyphHeight * kScale + 2 * kMargin;
  const uint32_t rows = (static_cast<uint32_t>(frames.size()) + columns - 1) / columns;
  Frame sheet;
  sheet.width = columns * tileWidth;
  sheet.height = rows * (tileHeight + labelHeight);
  sheet.nv12.assign(size_t{sheet.width} * sheet.height, 16);
  sheet.nv12.resize(sheet.nv12.size() + size_t{sheet.width} * sheet.height / 2, 128);
  uint8_t* chroma = sheet.nv12.data() + size_t{sheet.width} * sheet.height;
  for (size_t i = 0; i < frames.size(); ++i) {
    const Frame& frame = frames[i];
    const uint32_t left = static_cast<uint32_t>(i % columns) * tileWidth;
    const uint32_t top = static_cast<uint32_t>(i / columns) * (tileHeight + labelHeight);
    // Nearest sample: a sheet is for finding a moment, not for looking at detail.
    for (uint32_t y = 0; y < tileHeight; ++y) {
      const uint32_t sy = static_cast<uint32_t>(uint64_t{y} * frame.height / tileHeight);
      for (uint32_t x = 0; x < tileWidth; ++x) {
        const uint32_t sx = static_cast<uint32_t>(uint64_t{x} * frame.width / tileWidth);
        sheet.nv12[size_t{top + y} * sheet.width + left + x] = frame.nv12[size_t{sy} * frame.width + sx];
      }
    }
    for (uint32_t y = 0; y < tileHeight / 2; ++y) {
      const uint32_t sy = static_cast<uint32_t>(uint64_t{y} * Frame::ChromaRows(frame.height) * 2 / tileHeight);
      for (uint32_t x = 0; x < tileWidth / 2; ++x) {
        const uint32_t sx = static_cast<uint32_t>(uint64_t{x} * ((frame.width + 1) / 2) * 2 / tileWidth);
        const uint8_t* from = frame.Chroma() + size_t{sy} * Frame::ChromaRowBytes(frame.width) + 2 * sx;
        uint8_t* to = chroma + size_t{top / 2 + y} * sheet.width + left + 2 * x;
        to[0] = from[0];
        to[1] = from[1];
      }
    }
    const std::string label = std::to_string(frame.time / kTicksPerSecond) + "." +
                              std::to_string(frame.time % kTicksPerSecond / 10'000 + 1000).substr(1);
    DrawText(sheet.nv12.data(), sheet.width, sheet.height, left + kMargin, top + tileHeight + kMargin, kScale, label,
             235);
  }
  return sheet;
}

}  // namespace korvane::cli
