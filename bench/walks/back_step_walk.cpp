// back_step_walk VIDEO CACHE_FOLDER START_FRAME STEPS FPS: the backward walk of
// bench/py_back_step.py through the C++ API alone (EngineDriver). Opens VIDEO, shows frame
// START_FRAME, then steps back STEPS frames and prints each step's wall time in milliseconds, one
// per line. Frames are counted on a constant-rate video of FPS frames per second.
#include "walks/EngineDriver.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s VIDEO CACHE_FOLDER START_FRAME STEPS FPS\n", argv[0]);
    return 2;
  }
  try {
    const int startFrame = std::stoi(argv[3]);
    const int steps = std::stoi(argv[4]);
    const int fps = std::stoi(argv[5]);
    // A frame's start in 100 ns; a shown frame is accepted anywhere in [start - T/4, end - T/4)
    // (EnginePlayer.cpp says why).
    const auto start = [fps](int frame) { return int64_t{frame} * 10'000'000 / fps; };
    const int64_t quarter = 10'000'000 / fps / 4;
    korvane::bench::EngineDriver engine(argv[2]);
    engine.Open(argv[1]);
    engine.Seek((start(startFrame) + start(startFrame + 1)) / 2, start(startFrame) - quarter,
                start(startFrame + 1) - quarter);
    for (int frame = startFrame - 1; frame >= 0 && frame > startFrame - 1 - steps; --frame) {
      const auto before = std::chrono::steady_clock::now();
      engine.Step(false, start(frame) - quarter, start(frame + 1) - quarter);
      std::printf("%.4f\n", std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - before).count());
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "back_step_walk: %s\n", e.what());
    return 1;
  }
  return 0;
}
