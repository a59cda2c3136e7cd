// Writes the fuzz targets' starting inputs into the folder named on the command line: small
// generated videos for the reader (several containers and codecs, one damaged), well-formed and
// ill-sized frame files for the disk cache, fitting and unfitting pictures for the JPEG encoder.
#include "support/TestMedia.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using korvane::test::VideoSpec;

void Write(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// A frame file as the disk cache writes it for a width × height NV12 frame: rows padded to the
// software device's 64-byte pitch, luma then chroma; prefixed with the two size bytes the
// storage-cache target reads (width = 2 + 2 × (b0 % 64), height likewise).
std::vector<uint8_t> FrameFileInput(int width, int height, int index, long extra) {
  const size_t pitch = (static_cast<size_t>(width) + 63) / 64 * 64;
  std::vector<uint8_t> frame(pitch * (height + height / 2));
  korvane::test::DrawFrameIndexNv12(index, frame.data(), pitch, width, height);
  frame.resize(static_cast<size_t>(static_cast<long>(frame.size()) + extra), 0xAB);
  std::vector<uint8_t> input{static_cast<uint8_t>((width - 2) / 2), static_cast<uint8_t>((height - 2) / 2)};
  input.insert(input.end(), frame.begin(), frame.end());
  return input;
}

std::vector<uint8_t> JpegInput(bool raw, uint32_t a, uint32_t b, uint8_t lengthChoice, size_t pixels) {
  std::vector<uint8_t> input(9 + pixels);
  input[0] = raw ? 1 : 0;
  if (raw) {
    std::memcpy(&input[1], &a, 4);
    std::memcpy(&input[5], &b, 4);
  } else {
    input[1] = static_cast<uint8_t>(a - 1);
    input[2] = static_cast<uint8_t>(b - 1);
    input[3] = lengthChoice;
  }
  for (size_t i = 9; i < input.size(); ++i) input[i] = static_cast<uint8_t>(i * 7);
  return input;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  const fs::path root(argv[1]);
  for (const char* target : {"reader", "storage_cache", "jpeg"}) fs::create_directories(root / target);

  const std::vector<std::pair<std::string, VideoSpec>> videos{
      {"h264.mp4", {.width = 64, .height = 48, .frameCount = 8, .gopSize = 4}},
      {"h264-index-at-front.mp4", {.width = 48, .height = 32, .frameCount = 6, .gopSize = 3, .indexAtFront = true}},
      {"h264-rotated.mov", {.container = "mov", .width = 64, .height = 48, .frameCount = 6, .rotationDegrees = 90}},
      {"mpeg4.avi", {.container = "avi", .encoder = "mpeg4", .width = 64, .height = 48, .frameCount = 8, .gopSize = 4}},
      {"vp9.webm", {.container = "webm", .encoder = "libvpx-vp9", .width = 64, .height = 48, .frameCount = 6,
                    .maxBFrames = 0}},
      {"mpeg2.ts", {.container = "mpegts", .encoder = "mpeg2video", .width = 64, .height = 48, .frameCount = 8,
                    .gopSize = 4}},
      {"h264-damaged.mkv", {.container = "matroska", .width = 64, .height = 48, .frameCount = 12, .gopSize = 6,
                            .damagedPacketFirst = 3, .damagedPacketCount = 3}},
  };
  for (const auto& [name, spec] : videos) korvane::test::WriteTestVideo(spec, (root / "reader" / name).string());

  Write(root / "storage_cache" / "frame-64x48", FrameFileInput(64, 48, 1, 0));
  Write(root / "storage_cache" / "frame-66x10-short", FrameFileInput(66, 10, 2, -1));
  Write(root / "storage_cache" / "frame-128x2-long", FrameFileInput(128, 2, 3, 100));

  Write(root / "jpeg" / "fits-16x16", JpegInput(false, 16, 16, 0, 384));
  Write(root / "jpeg" / "odd-33x17", JpegInput(false, 33, 17, 0, 841));
  Write(root / "jpeg" / "one-short-8x8", JpegInput(false, 8, 8, 195, 96));
  Write(root / "jpeg" / "raw-huge", JpegInput(true, 0x10000, 0x10000, 0, 16));
  Write(root / "jpeg" / "raw-zero", JpegInput(true, 0, 4, 0, 16));
  return 0;
}
