// step_frames VIDEO JPEG [CACHE_FOLDER]: opens VIDEO, waits for its first pass, goes to the
// middle, steps 10 frames back printing each frame's time, and writes the last frame to JPEG.
#include <korvane/Korvane.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s VIDEO JPEG [CACHE_FOLDER]\n", argv[0]);
    return 2;
  }
  using namespace std::chrono_literals;
  const std::filesystem::path cache =
      argc > 3 ? std::filesystem::path(argv[3]) : std::filesystem::temp_directory_path() / "step_frames_cache";
  try {
    korvane::Device device = korvane::Device::CreateSoftware();
    korvane::VideoDecoder video;
    korvane::Subscription progress = video.OnInitializationProgress(
        [](double p) { std::fprintf(stderr, "\rscanning %3.0f%%", p * 100); });
    video.Open(korvane::Stream::FromFile(argv[1]), cache, device);
    if (!video.WaitForInitialized(120s)) throw std::runtime_error("the first pass did not end within 2 minutes");
    progress.reset();
    std::fprintf(stderr, "\n");

    video.SetPosition(video.Duration() / 2);
    if (!video.WaitForPosition(30s)) throw std::runtime_error("the middle was not reached");
    korvane::Frame frame = video.CurrentFrame();
    std::printf("frame at %.4f s (%u x %u)\n", frame.time / double(korvane::kTicksPerSecond), frame.width, frame.height);
    for (int step = 0; step < 10 && video.HasPreviousFrame(); ++step) {
      video.MovePrevious();
      if (!video.WaitForPosition(30s)) throw std::runtime_error("a step back did not arrive");
      frame = video.CurrentFrame();
      std::printf("frame at %.4f s\n", frame.time / double(korvane::kTicksPerSecond));
    }
    korvane::JpegEncoder().Write(frame, argv[2]);
    std::printf("wrote %s\n", argv[2]);
  } catch (const korvane::Error& e) {
    std::fprintf(stderr, "\nstep_frames: %s\n", e.what());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "\nstep_frames: %s\n", e.what());
    return 1;
  }
  return 0;
}
