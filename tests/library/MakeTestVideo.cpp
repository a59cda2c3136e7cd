// korvane_make_test_video OUT [WIDTH HEIGHT FRAMES]: writes a test video at 30 fps whose every
// picture carries its frame index (TestMedia.h): VP9 in WebM when OUT ends in ".webm" (which
// stores odd sizes exactly), else H.264 in MP4 with 2 B-frames, a key frame every 30. For the
// programs that must not link the test media helpers themselves: the C++ layer's tests and the
// installed example.
#include "support/TestMedia.h"

#include <cstdio>
#include <exception>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2 && argc != 5) {
    std::fprintf(stderr, "usage: %s OUT [WIDTH HEIGHT FRAMES]\n", argv[0]);
    return 2;
  }
  try {
    korvane::test::VideoSpec spec;
    if (argc == 5) {
      spec.width = std::stoi(argv[2]);
      spec.height = std::stoi(argv[3]);
      spec.frameCount = std::stoi(argv[4]);
    }
    const std::string out = argv[1];
    if (out.size() > 5 && out.compare(out.size() - 5, 5, ".webm") == 0) {
      spec.container = "webm";
      spec.encoder = "libvpx-vp9";
      spec.maxBFrames = 0;
      spec.gopSize = 15;
    }
    korvane::test::WriteTestVideo(spec, out);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "korvane_make_test_video: %s\n", e.what());
    return 1;
  }
  return 0;
}
