// The video the program shows when it is given none: written by the program itself on first
// use (6 s of 320 × 180 H.264 with B-frames at 25 fps, a few hundred kilobytes), each picture
// with its frame number in large digits over a moving gradient.
#pragma once

#include <filesystem>

namespace korvane::cli {

// The default video in `folder`, written there first when it is missing (through a temporary
// name, so an interrupted first run leaves no half file).
std::filesystem::path DefaultVideo(const std::filesystem::path& folder);

}  // namespace korvane::cli
