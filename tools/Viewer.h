// `korvane view`: an SDL2 window showing the current frame of a Session.
//
// Keys: ← / → one frame, Shift+← / Shift+→ one second, Home / End the first / last frame,
// Escape or Q closes. While the first pass runs, a bar along the bottom shows its progress;
// afterwards the bar marks the position in the video. The title says the file, the time and the
// frame number ("≈" when it is reckoned from the frame rate after a jump rather than counted
// step by step). Every frame shown is also printed on stdout as "shown FRAME TIME", so that a
// script can follow the window.
#pragma once

#include "Session.h"

namespace korvane::cli {

struct ViewOptions {
  OpenOptions open;
  uint32_t scale = 0;  // window pixels per frame pixel; 0: fit the frame into about 960 × 540
};

int RunViewer(const ViewOptions& options);

}  // namespace korvane::cli
