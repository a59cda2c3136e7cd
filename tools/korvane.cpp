// korvane: opens a video with Korvane.Native and shows what it decodes.
//
//   korvane demo  [FILE] [--out DIR]                       the main job: scan, step, write JPEGs and a sheet
//   korvane info  [FILE] [--json] [--count]
//   korvane frames [FILE] (--at T | --frame N) [--next K | --prev K] --out DIR [--format jpeg|nv12|png]
//   korvane md5   [FILE] [--at T] [--next K | --prev K | --all]
//   korvane sheet [FILE] --out sheet.jpg [--cols C --rows R]
//   korvane view  [FILE]
//
// Every subcommand also takes the frame cache's policy: --cache-policy stop|evict,
// --disk-budget-mib N, --ram-budget-mib N, --compress none|zstd.
//
// Without FILE, every subcommand uses the default video (DefaultVideo.h). Exit status: 0 done,
// 1 bad input (the message names the file and the problem), 2 bad usage, 130 interrupted.
#include "DefaultVideo.h"
#include "Pictures.h"
#include "Session.h"
#include "Viewer.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <iostream>

namespace korvane::cli {

namespace {

namespace fs = std::filesystem;

struct Common {
  std::string file;
  std::string cacheDir;
  uint32_t divisor = 1;
  bool quiet = false;
  std::string cachePolicy = "stop";
  uint64_t diskBudgetMiB = 500;
  uint64_t ramBudgetMiB = 0;
  std::string compress = "none";
};

void AddCommon(CLI::App* command, Common& common) {
  command->add_option("FILE", common.file, "Video file (default: a sample video the program writes on first use)");
  command->add_option("--cache-dir", common.cacheDir,
                      "Folder for the frame cache of this run (default: $XDG_CACHE_HOME/korvane, private to you); "
                      "the run's own subfolder is removed at exit");
  command->add_option("--divisor", common.divisor, "Decode at 1/D of the size")->check(CLI::Range(1u, 64u));
  command->add_flag("-q,--quiet", common.quiet, "No progress bar");
  command->add_option("--cache-policy", common.cachePolicy,
                      "At the disk budget: stop storing frames (default) or evict the frames farthest from the "
                      "position")
      ->check(CLI::IsMember({"stop", "evict"}));
  command->add_option("--disk-budget-mib", common.diskBudgetMiB, "Disk budget of the frame cache in MiB (default 500)")
      ->check(CLI::Range(uint64_t{0}, uint64_t{1} << 24));
  command->add_option("--ram-budget-mib", common.ramBudgetMiB,
                      "MiB of frames kept in memory outside the +-0.1 s window before the disk is used (default 0)")
      ->check(CLI::Range(uint64_t{0}, uint64_t{1} << 24));
  command->add_option("--compress", common.compress, "Compress cached frames losslessly: none (default) or zstd")
      ->check(CLI::IsMember({"none", "zstd"}));
}

CachingPolicy ToCachingPolicy(const Common& common) {
  constexpr uint64_t kMiB = 1024 * 1024;
  CachingPolicy policy;
  policy.diskBudgetBytes = common.diskBudgetMiB * kMiB;  // 500 MiB: the engine's own 524,288,000 bytes
  policy.atBudget = common.cachePolicy == "evict" ? CachingPolicy::AtBudget::EvictFarthest : CachingPolicy::AtBudget::Stop;
  policy.ramBudgetBytes = common.ramBudgetMiB * kMiB;
  policy.compression = common.compress == "zstd" ? CachingPolicy::Compression::Zstd : CachingPolicy::Compression::None;
  return policy;
}

OpenOptions ToOpen(const Common& common) {
  OpenOptions open;
  open.cacheRoot = common.cacheDir;
  open.video = common.file.empty() ? DefaultVideo(common.cacheDir.empty() ? DefaultCacheRoot() : fs::path(common.cacheDir))
                                   : fs::path(common.file);
  open.divisor = common.divisor;
  open.cachingPolicy = ToCachingPolicy(common);
  open.progress = !common.quiet;
  return open;
}

// ---- info ----

struct InfoOptions {
  Common common;
  bool json = false;
  bool count = false;
};

int Info(const InfoOptions& options) {
  Session session(ToOpen(options.common));
  VideoDecoder& video = session.Video();
  const int64_t duration = video.Duration();
  const int64_t frameDuration = session.NominalFrameDuration();
  const uint32_t rotation = video.Rotation();
  const uint32_t displayWidth = video.FrameWidth(), displayHeight = video.FrameHeight();
  const bool turned = rotation == 90 || rotation == 270;
  const uint32_t width = turned ? displayHeight : displayWidth, height = turned ? displayWidth : displayHeight;
  const double rate = frameDuration > 0 ? static_cast<double>(kTicksPerSecond) / frameDuration : 0;
  int64_t frames = frameDuration > 0 ? (duration + frameDuration / 2) / frameDuration : 0;
  if (options.count) {
    // Every frame, stepped through one by one from the first.
    ProgressBar bar("counting", !options.common.quiet);
    session.ShowAt(0);
    frames = 1;
    while (session.Step(true)) {
      ++frames;
      bar.Show(duration > 0 ? static_cast<double>(video.Position()) / duration : 1);
    }
  }
  char rateText[32];
  std::snprintf(rateText, sizeof rateText, "%.3f", rate);
  char scanText[32];
  std::snprintf(scanText, sizeof scanText, "%.3f", session.ScanSeconds());
  if (options.json) {
    std::string file;
    for (char c : session.File().string()) {
      if (c == '"' || c == '\\') file += '\\';
      if (static_cast<unsigned char>(c) < 0x20) continue;
      file += c;
    }
    std::cout << "{\"file\": \"" << file << "\", \"duration_seconds\": " << Seconds(duration) << ", \"frames\": " << frames
              << ", \"frames_counted\": " << (options.count ? "true" : "false") << ", \"width\": " << width
              << ", \"height\": " << height << ", \"display_width\": " << displayWidth
              << ", \"display_height\": " << displayHeight << ", \"rotation\": " << rotation
              << ", \"frame_rate\": " << rateText << ", \"scan_seconds\": " << scanText << "}\n";
  } else {
    std::cout << session.File().string() << "\n"
              << "  duration      " << Seconds(duration) << " s\n"
              << "  frames        " << frames << (options.count ? " (counted)" : " (from the frame rate; --count steps through them)") << "\n"
              << "  size          " << width << " x " << height << "\n"
              << "  display size  " << displayWidth << " x " << displayHeight << "\n"
              << "  rotation      " << rotation << "\n"
              << "  frame rate    " << rateText << " fps\n"
              << "  scan time     " << scanText << " s\n";
  }
  return 0;
}

// ---- frames and md5: a start and a walk ----

struct Walk {
  std::string at;
  int64_t frame = -1;
  int64_t next = -1;
  int64_t prev = -1;
  bool all = false;
};

void AddWalk(CLI::App* command, Walk& walk, bool withFrame, bool withAll) {
  CLI::Option* at = command->add_option("--at", walk.at, "Start at the frame shown at T seconds");
  if (withFrame) {
    command->add_option("--frame", walk.frame, "Start at frame N (counted at the video's frame rate)")
        ->check(CLI::NonNegativeNumber)
        ->excludes(at);
  }
  CLI::Option* next = command->add_option("--next", walk.next, "Then K frames forwards")->check(CLI::NonNegativeNumber);
  CLI::Option* prev = command->add_option("--prev", walk.prev, "Then K frames backwards (from the end unless --at)")
                          ->check(CLI::NonNegativeNumber)
                          ->excludes(next);
  if (withAll) command->add_flag("--all", walk.all, "Every frame from the first (the default)")->excludes(next)->excludes(prev)->excludes(at);
}

// Visits the start frame, then steps; `visit` gets each frame. Returns how many were visited.
template <class F>
int64_t RunWalk(Session& session, const Walk& walk, bool quiet, F visit) {
  VideoDecoder& video = session.Video();
  const bool backwards = walk.prev >= 0;
  const int64_t steps = walk.all ? INT64_MAX : backwards ? walk.prev : std::max<int64_t>(walk.next, 0);
  int64_t start = backwards ? video.Duration() : 0;
  if (!walk.at.empty()) start = ParseSeconds(walk.at, "--at");
  if (walk.frame >= 0) {
    const int64_t frameDuration = session.NominalFrameDuration();
    if (frameDuration <= 0) throw InputError(session.File().string() + ": no frame rate to count --frame by");
    start = walk.frame * frameDuration + frameDuration / 2;
    if (start > video.Duration()) {
      throw InputError(session.File().string() + ": no frame " + std::to_string(walk.frame) + " (the video lasts " +
                       Seconds(video.Duration()) + " s)");
    }
  }
  ProgressBar bar("caching", !quiet && steps > 0);
  Frame frame = session.ShowAt(start);
  int64_t visited = 0;
  for (;;) {
    bar.Clear();
    visit(frame);
    ++visited;
    if (visited > steps) break;
    const int64_t duration = std::max<int64_t>(video.Duration(), 1);
    bar.Show(walk.all ? static_cast<double>(frame.time) / duration : static_cast<double>(visited) / steps,
             Seconds(frame.time) + " s");
    std::optional<Frame> stepped = session.Step(!backwards);
    if (!stepped) break;
    frame = *std::move(stepped);
  }
  return visited;
}

struct FramesOptions {
  Common common;
  Walk walk;
  std::string out;
  std::string format = "jpeg";
};

int Frames(const FramesOptions& options) {
  if (options.walk.at.empty() && options.walk.frame < 0) throw UsageError("frames: give --at T or --frame N");
  if (!options.walk.at.empty()) ParseSeconds(options.walk.at, "--at");
  std::error_code ec;
  fs::create_directories(options.out, ec);
  if (!fs::is_directory(options.out, ec)) throw InputError("output folder " + options.out + ": cannot be made");
  Session session(ToOpen(options.common));
  const JpegEncoder encoder;
  const std::string extension = options.format == "jpeg" ? ".jpg" : "." + options.format;
  int64_t index = 0;
  RunWalk(session, options.walk, options.common.quiet, [&](const Frame& frame) {
    char name[32];
    std::snprintf(name, sizeof name, "frame_%04lld", static_cast<long long>(index++));
    const fs::path path = fs::path(options.out) / (name + extension);
    try {
      if (options.format == "jpeg") encoder.Write(frame, path);
      if (options.format == "png") WritePngFile(frame, path);
      if (options.format == "nv12") WriteNv12File(frame, path);
    } catch (const std::exception& e) {
      throw InputError(path.string() + ": cannot be written (" + e.what() + ")");
    }
    std::cout << Seconds(frame.time) << " " << path.string() << std::endl;
  });
  return 0;
}

struct Md5Options {
  Common common;
  Walk walk;
};

int Md5(Md5Options options) {
  if (!options.walk.at.empty()) ParseSeconds(options.walk.at, "--at");
  if (options.walk.next < 0 && options.walk.prev < 0) options.walk.all = options.walk.at.empty();
  if (options.walk.next < 0 && options.walk.prev < 0 && !options.walk.all) options.walk.next = 0;
  Session session(ToOpen(options.common));
  RunWalk(session, options.walk, options.common.quiet,
          [](const Frame& frame) { std::cout << Seconds(frame.time) << " " << Nv12Md5(frame) << "\n"; });
  std::cout << std::flush;
  return 0;
}

// ---- sheet ----

struct SheetOptions {
  Common common;
  std::string out;
  uint32_t cols = 4;
  uint32_t rows = 3;
  uint32_t tileWidth = 320;
};

// Frames at the middles of `count` equal slices of the video, in order.
std::vector<Frame> EvenlySpaced(Session& session, uint32_t count, bool quiet) {
  const int64_t duration = session.Video().Duration();
  ProgressBar bar("caching", !quiet);
  std::vector<Frame> frames;
  for (uint32_t i = 0; i < count; ++i) {
    const int64_t time = duration * (2 * int64_t{i} + 1) / (2 * int64_t{count});
    ThrowIfInterrupted();
    frames.push_back(session.ShowAt(time));
    bar.Show(static_cast<double>(i + 1) / count, Seconds(frames.back().time) + " s");
  }
  return frames;
}

void WriteSheet(Session& session, const SheetOptions& options) {
  std::vector<Frame> frames = EvenlySpaced(session, options.cols * options.rows, options.common.quiet);
  const uint32_t tileWidth = std::min(options.tileWidth, frames.front().width);
  const Frame sheet = ContactSheet(frames, options.cols, tileWidth);
  try {
    JpegEncoder().Write(sheet, options.out);
  } catch (const std::exception& e) {
    throw InputError(options.out + ": cannot be written (" + e.what() + ")");
  }
  for (const Frame& frame : frames) std::cout << Seconds(frame.time) << " ";
  std::cout << "-> " << options.out << std::endl;
}

int Sheet(const SheetOptions& options) {
  Session session(ToOpen(options.common));
  WriteSheet(session, options);
  return 0;
}

// ---- demo: the main job ----

struct DemoOptions {
  Common common;
  std::string out = "korvane-demo";
  int64_t steps = 8;
};

int Demo(const DemoOptions& options) {
  std::error_code ec;
  fs::create_directories(options.out, ec);
  if (!fs::is_directory(options.out, ec)) throw InputError("output folder " + options.out + ": cannot be made");
  Session session(ToOpen(options.common));
  VideoDecoder& video = session.Video();
  std::cout << session.File().string() << ": " << video.FrameWidth() << " x " << video.FrameHeight() << ", "
            << Seconds(video.Duration()) << " s, first pass in " << session.ScanSeconds() << " s\n";
  const JpegEncoder encoder;
  Walk walk;
  walk.at = Seconds(video.Duration() / 2);
  walk.next = options.steps;
  int64_t index = 0;
  std::cout << "stepping from the middle, one frame at a time:" << std::endl;
  RunWalk(session, walk, options.common.quiet, [&](const Frame& frame) {
    char name[32];
    std::snprintf(name, sizeof name, "frame_%04lld.jpg", static_cast<long long>(index++));
    const fs::path path = fs::path(options.out) / name;
    encoder.Write(frame, path);
    std::cout << "  " << Seconds(frame.time) << " s -> " << path.string() << std::endl;
  });
  SheetOptions sheet;
  sheet.common = options.common;
  sheet.out = (fs::path(options.out) / "sheet.jpg").string();
  std::cout << "contact sheet of 12 frames spread over the video:" << std::endl;
  WriteSheet(session, sheet);
  return 0;
}

int Run(int argc, char** argv) {
  CLI::App app("korvane: decode a video with Korvane.Native, step through its frames, write them out.\n"
               "Without FILE, a sample video the program writes on first use is opened.",
               "korvane");
  app.require_subcommand(1);
  app.fallthrough(false);

  DemoOptions demo;
  CLI::App* demoCommand = app.add_subcommand("demo", "The main job: first pass with progress, step through frames "
                                                     "from the middle writing JPEGs, and a contact sheet");
  AddCommon(demoCommand, demo.common);
  demoCommand->add_option("--out", demo.out, "Output folder")->capture_default_str();
  demoCommand->add_option("--steps", demo.steps, "Frames to step on from the middle")->check(CLI::Range(0, 10000))->capture_default_str();

  InfoOptions info;
  CLI::App* infoCommand = app.add_subcommand("info", "Duration, frames, size, rotation, frame rate, first-pass time");
  AddCommon(infoCommand, info.common);
  infoCommand->add_flag("--json", info.json, "One JSON object, for scripts");
  infoCommand->add_flag("--count", info.count, "Count the frames by stepping through every one");

  FramesOptions frames;
  CLI::App* framesCommand = app.add_subcommand("frames", "Write frames: seek, then step, one file per frame");
  AddCommon(framesCommand, frames.common);
  AddWalk(framesCommand, frames.walk, true, false);
  framesCommand->add_option("--out", frames.out, "Output folder")->required();
  framesCommand->add_option("--format", frames.format, "jpeg (the library's encoder), nv12 (raw, packed) or png")
      ->check(CLI::IsMember({"jpeg", "nv12", "png"}))
      ->capture_default_str();

  Md5Options md5;
  CLI::App* md5Command = app.add_subcommand(
      "md5", "One line per frame: start time in seconds and the MD5 of its packed NV12 bytes.\n"
             "Compare with ffmpeg (same lines, see README):\n"
             "  ffmpeg -v error -i FILE -map 0:v:0 -pix_fmt nv12 -f framemd5 - | awk -F', *' \\\n"
             "    '/^#tb 0:/ {split($0, tb, \"[ /]\")} !/^#/ {printf \"%.3f %s\\n\", $3 * tb[3] / tb[4], $6}'");
  AddCommon(md5Command, md5.common);
  AddWalk(md5Command, md5.walk, false, true);

  SheetOptions sheet;
  CLI::App* sheetCommand = app.add_subcommand("sheet", "A contact sheet of evenly spaced frames with their times (JPEG)");
  AddCommon(sheetCommand, sheet.common);
  sheetCommand->add_option("--out", sheet.out, "The JPEG to write")->required();
  sheetCommand->add_option("--cols", sheet.cols, "Columns")->check(CLI::Range(1u, 16u))->capture_default_str();
  sheetCommand->add_option("--rows", sheet.rows, "Rows")->check(CLI::Range(1u, 16u))->capture_default_str();
  sheetCommand->add_option("--tile-width", sheet.tileWidth, "Width of one picture")->check(CLI::Range(16u, 1920u))->capture_default_str();

  ViewOptions view;
  Common viewCommon;
  CLI::App* viewCommand = app.add_subcommand(
      "view", "A window on the video: Left/Right one frame, Shift+Left/Right one second, Home/End, Q to quit");
  AddCommon(viewCommand, viewCommon);
  viewCommand->add_option("--scale", view.scale, "Window pixels per frame pixel (default: fit about 960 x 540)")
      ->check(CLI::Range(1u, 8u));

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::cerr << "korvane: " << e.what() << "\nRun 'korvane --help' or 'korvane SUBCOMMAND --help' for usage.\n";
    return kExitBadUsage;
  }
  InstallInterruptHandler();
  if (demoCommand->parsed()) return Demo(demo);
  if (infoCommand->parsed()) return Info(info);
  if (framesCommand->parsed()) return Frames(frames);
  if (md5Command->parsed()) return Md5(md5);
  if (sheetCommand->parsed()) return Sheet(sheet);
  view.open = ToOpen(viewCommon);
  return RunViewer(view);
}

}  // namespace

}  // namespace korvane::cli

int main(int argc, char** argv) {
  using namespace korvane::cli;
  try {
    return Run(argc, argv);
  } catch (const UsageError& e) {
    std::cerr << "korvane: " << e.what() << "\n";
    return kExitBadUsage;
  } catch (const Interrupted&) {
    std::cerr << "\nkorvane: interrupted\n";
    return kExitInterrupted;
  } catch (const std::exception& e) {
    std::cerr << "korvane: " << e.what() << "\n";
    return kExitBadInput;
  }
}
