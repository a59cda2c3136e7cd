// The engine against real peers on the walks an application makes through a video: stepping
// back and forth one frame at a time, seeking to random frames, and the time until a freshly
// opened video can be used. The peers are ffms2 (index, then FFMS_GetFrame) and a plain
// libavformat + libavcodec player (seek to the key frame before the frame, decode up to it).
//
// Every contender runs in a process of its own (forked from this one before anything else is
// set up), so that its peak resident memory and CPU time are its own. Per video, the three run
// one after the other: the engine, ffms2, libav. Latencies are wall time per step (what an
// application waits); the scan is compared in CPU time (the work it costs, steadier on a
// shared machine), wall time alongside.
//
// Usage: engine_walks --media DIR --out DIR [--steps N] [--seeks N] [--walk-seconds S]
//                     [--videos 720p,1080p,1080p_hevc]
//                     [--long-back-steps N [--policy-ram-mib M] [--policy-disk-mib D] [--policy-compress zstd|none]
//                      [--long-contenders policy,default,ffms2]]
//   --media: where the generated videos are kept between runs (made with the ffmpeg CLI when
//            missing); --out: result tables for the plot (steps-<video>-<walk>.tsv) and the
//            engines' cache folders while they run.
//   --walk-seconds: a contender stops a walk after this much time in it (0: never); ratios
//            then cover the steps every contender made.
//   --long-back-steps: instead of the walks above, N steps back from the last frame, by the
//            engine with a caching policy (evict farthest, raw unless told otherwise, D MiB disk,
//            500 unless told otherwise, M MiB RAM, 256 unless told otherwise), by the
//            engine with its default policy, and by ffms2: mean and p99 step, disk and RSS peaks.
// Prints "ratio <name> <ours/peer>" lines with the medians and 95th percentiles beside them, and
// checks on sampled frames that every contender shows the very same picture (exit status 1
// when one does not, or when a contender fails).
#include "walks/Player.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvane::bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kDiskBudget = 500 * kMiB;
constexpr unsigned kSeekSeed = 20240611;

struct Video {
  std::string name;  // in figure names
  std::string file;
  std::string description;
  int frameCount;
  int width;
  int height;
  std::string encode;  // ffmpeg output options
};

// Test-card pictures with light temporal noise: every frame differs and every block carries
// some detail, so decoding costs about what camera footage of the same size costs.
const std::vector<Video>& Videos() {
  static const std::vector<Video> videos{
      {"720p", "h264-720p-60s-gop60.mp4", "H.264 1280x720, 30 fps, 60 s, key frame every 60, no B-frames", 1800,
       1280, 720, "-c:v libx264 -preset veryfast -g 60 -keyint_min 60 -sc_threshold 0 -bf 0"},
      {"1080p", "h264-1080p-60s-gop250-b3.mp4", "H.264 1920x1080, 30 fps, 60 s, key frame every 250, 3 B-frames",
       1800, 1920, 1080, "-c:v libx264 -preset veryfast -g 250 -keyint_min 250 -sc_threshold 0 -bf 3"},
      // Closed GOPs: after a seek into an open GOP, ffms2 2.40 hands out the frame three
      // further on (the leading pictures the decoder drops are not counted), so it would not be
      // compared on the same frames. x265 makes open GOPs unless told otherwise.
      {"1080p_hevc", "hevc-1080p-30s-gop60-closed.mp4",
       "HEVC 1920x1080, 30 fps, 30 s, key frame every 60 (closed GOPs), 3 B-frames", 900, 1920, 1080,
       "-c:v libx265 -preset ultrafast "
       "-x265-params keyint=60:min-keyint=60:scenecut=0:bframes=3:open-gop=0:log-level=error -tag:v hvc1"},
  };
  return videos;
}

constexpr int kFps = 30;

enum class Contender { Ours, Ffms2, Libav };
const Contender kContenders[] = {Contender::Ours, Contender::Ffms2, Contender::Libav};
const char* Name(Contender c) { return c == Contender::Ours ? "ours" : c == Contender::Ffms2 ? "ffms2" : "libav"; }

struct Walk {
  std::string name;
  bool forward;
  bool fromEnd;  // over the last frames, else from the middle
};
const std::vector<Walk>& Walks() {
  static const std::vector<Walk> walks{{"back_step_mid", false, false},
                                       {"back_step_end", false, true},
                                       {"forward_step_mid", true, false},
                                       {"forward_step_end", true, true}};
  return walks;
}

struct Options {
  fs::path media;
  fs::path out;
  int steps = 300;
  int seeks = 100;
  double walkSeconds = 0;
  std::set<std::string> videos;  // empty: all
  int longBackSteps = 0;         // > 0: only the long walk back under a caching policy
  uint64_t policyRamMiB = 256;
  uint64_t policyDiskMiB = 500;
  bool policyZstd = false;
  std::set<std::string> longContenders;  // empty: all three
};

double CpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}
double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void MakeVideo(const Options& options, const Video& video) {
  const fs::path path = options.media / video.file;
  if (fs::exists(path)) return;
  fs::create_directories(options.media);
  const fs::path partial = options.media / ("partial-" + video.file);
  std::ostringstream command;
  command << "ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i testsrc2=size=" << video.width << "x"
          << video.height << ":rate=" << kFps << ":duration=" << video.frameCount / kFps
          << " -vf noise=alls=6:allf=t -pix_fmt yuv420p " << video.encode << " '" << partial.string() << "'";
  std::printf("making %s ...\n", path.c_str());
  std::fflush(stdout);
  const auto start = Clock::now();
  if (std::system(command.str().c_str()) != 0) throw std::runtime_error("ffmpeg failed: " + command.str());
  fs::rename(partial, path);
  std::printf("made %s in %.0f s\n", path.c_str(), Since(start));
}

// ---- One contender on one video, in a child process ----

// The frames of a walk: the start frame (shown before timing), then one per step.
std::vector<int> WalkFrames(const Walk& walk, int frameCount, int steps) {
  int start = walk.fromEnd ? (walk.forward ? frameCount - 1 - steps : frameCount - 1) : frameCount / 2;
  std::vector<int> frames{start};
  for (int i = 0; i < steps; ++i) frames.push_back(frames.back() + (walk.forward ? 1 : -1));
  return frames;
}

std::vector<int> SeekFrames(int frameCount, int seeks) {
  std::mt19937 random(kSeekSeed);
  std::uniform_int_distribution<int> frame(0, frameCount - 1);
  std::vector<int> frames;
  for (int i = 0; i < seeks; ++i) frames.push_back(frame(random));
  return frames;
}

bool Sampled(int step, int steps) { return step % 50 == 0 || step == steps - 1; }

// No line where the contender cannot tell: the report then says the figure is unavailable.
void WriteTextureBytes(std::ostream& out, const std::string& walk, Player& player) {
  if (const std::optional<uint64_t> bytes = player.TextureBytes()) out << "texture " << walk << " " << *bytes << "\n";
}

void RunContender(Contender contender, const Video& video, const Options& options, const fs::path& results) {
  std::ofstream out(results);
  const std::string path = (options.media / video.file).string();
  const MediaInfo media{video.frameCount, kFps};
  if (contender == Contender::Libav) {
    const double cpu = CpuSeconds();
    const auto wall = Clock::now();
    const int frames = DecodeWholeFile(path);
    out << "decode " << Since(wall) << " " << CpuSeconds() - cpu << " " << frames << "\n";
    if (frames != video.frameCount)
      throw std::runtime_error("decoded " + std::to_string(frames) + " frames of " + std::to_string(video.frameCount));
  }
  const fs::path cache = options.out / ("cache-" + video.name);
  std::unique_ptr<Player> player = contender == Contender::Ours    ? MakeEnginePlayer(media, cache.string())
                                   : contender == Contender::Ffms2 ? MakeFfmsPlayer(media)
                                                                   : MakeLibavPlayer(media);
  {
    const double cpu = CpuSeconds();
    const auto wall = Clock::now();
    player->Open(path);
    out << "scan " << Since(wall) << " " << CpuSeconds() - cpu << "\n";
    out << "scan_disk " << player->DiskBytes() << "\n";
  }
  auto measure = [&](const std::string& walk, int step, int frame, auto show) {
    const auto start = Clock::now();
    show();
    const double seconds = Since(start);
    out << "step " << walk << " " << step << " " << frame << " " << seconds * 1e3 << "\n";
    return seconds;
  };
  for (const Walk& walk : Walks()) {
    const std::vector<int> frames = WalkFrames(walk, video.frameCount, options.steps);
    player->Seek(frames[0]);
    out << "hash " << frames[0] << " " << player->LumaHash() << "\n";
    double spent = 0;
    for (int i = 1; i < static_cast<int>(frames.size()); ++i) {
      spent += measure(walk.name, i - 1, frames[i], [&] { player->Step(frames[i], walk.forward); });
      if (Sampled(i - 1, options.steps)) out << "hash " << frames[i] << " " << player->LumaHash() << "\n";
      if (options.walkSeconds > 0 && spent > options.walkSeconds) break;
    }
    WriteTextureBytes(out, walk.name, *player);
    out << "disk " << walk.name << " " << player->DiskBytes() << "\n";
    out.flush();
  }
  const std::vector<int> seeks = SeekFrames(video.frameCount, options.seeks);
  double spent = 0;
  for (int i = 0; i < static_cast<int>(seeks.size()); ++i) {
    spent += measure("random_seek", i, seeks[i], [&] { player->Seek(seeks[i]); });
    if (i < 10) out << "hash " << seeks[i] << " " << player->LumaHash() << "\n";
    if (options.walkSeconds > 0 && spent > options.walkSeconds) break;
  }
  WriteTextureBytes(out, "random_seek", *player);
  out << "disk random_seek " << player->DiskBytes() << "\n";
  out << "done\n";
}

// ---- Collecting ----

struct Result {
  bool ok = false;
  double scanWall = 0, scanCpu = 0;
  double decodeWall = 0, decodeCpu = 0;
  uint64_t peakRss = 0;  // bytes
  double totalCpu = 0;
  std::map<std::string, std::vector<double>> steps;  // walk -> latency (ms) per step
  std::map<std::string, std::vector<int>> frames;    // walk -> frame per step
  std::map<int, uint64_t> hashes;                    // frame -> luma hash
  std::optional<uint64_t> maxTexture;  // none when no walk reported it
  uint64_t maxDisk = 0;
  uint64_t scanDisk = 0;  // bytes in the cache folder once the video is initialized
};

// How a contender's child process ended, and what it cost.
struct ChildOutcome {
  bool exitedOk = false;
  uint64_t peakRss = 0;  // bytes
  double totalCpu = 0;
};

// Runs `body` in a child process of its own; `label` names it in an error message.
template <class Body>
ChildOutcome InChild(const std::string& label, Body body) {
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    int status = 0;
    try {
      body();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s: %s\n", label.c_str(), e.what());
      status = 1;
    }
    std::fflush(nullptr);
    _exit(status);  // no static destructors: the engine's pool threads may still be winding down
  }
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child) throw std::runtime_error("wait4 failed");
  ChildOutcome outcome;
  outcome.exitedOk = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  outcome.peakRss = static_cast<uint64_t>(usage.ru_maxrss) * 1024;
  outcome.totalCpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
  return outcome;
}

Result Run(Contender contender, const Video& video, const Options& options) {
  const fs::path results = options.out / ("result-" + video.name + "-" + Name(contender) + ".txt");
  const ChildOutcome outcome = InChild(std::string(Name(contender)) + " on " + video.name,
                                       [&] { RunContender(contender, video, options, results); });
  Result result;
  result.peakRss = outcome.peakRss;
  result.totalCpu = outcome.totalCpu;
  std::ifstream in(results);
  std::string line;
  bool done = false;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string kind;
    words >> kind;
    if (kind == "scan") words >> result.scanWall >> result.scanCpu;
    if (kind == "decode") words >> result.decodeWall >> result.decodeCpu;
    if (kind == "scan_disk") words >> result.scanDisk;
    if (kind == "step") {
      std::string walk;
      int step = 0, frame = 0;
      double ms = 0;
      words >> walk >> step >> frame >> ms;
      result.steps[walk].push_back(ms);
      result.frames[walk].push_back(frame);
    }
    if (kind == "hash") {
      int frame = 0;
      uint64_t hash = 0;
      words >> frame >> hash;
      result.hashes[frame] = hash;
    }
    if (kind == "texture" || kind == "disk") {
      std::string walk;
      uint64_t bytes = 0;
      words >> walk >> bytes;
      if (kind == "texture") {
        result.maxTexture = std::max(result.maxTexture.value_or(0), bytes);
      } else {
        result.maxDisk = std::max(result.maxDisk, bytes);
      }
    }
    if (kind == "done") done = true;
  }
  result.ok = outcome.exitedOk && done;
  return result;
}

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t at = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

void Ratio(const std::string& name, double ours, double peer) {
  if (peer > 0) std::printf("ratio %s %.3f\n", name.c_str(), ours / peer);
}

// Prints one walk's figure and writes its table for the plot.
void ReportWalk(const std::string& walk, const Video& video, std::map<Contender, Result>& results,
                const Options& options) {
  size_t common = SIZE_MAX;
  for (Contender c : kContenders) common = std::min(common, results[c].steps[walk].size());
  const std::string figure = walk + "_" + video.name;
  if (common == 0 || common == SIZE_MAX) {
    std::printf("%s: not measured\n", figure.c_str());
    return;
  }
  std::map<Contender, std::vector<double>> kept;
  std::printf("%s (%zu %s), median / p95 / mean ms:", figure.c_str(), common,
              walk == "random_seek" ? "seeks" : "steps");
  for (Contender c : kContenders) {
    kept[c].assign(results[c].steps[walk].begin(), results[c].steps[walk].begin() + static_cast<long>(common));
    double sum = 0;
    for (double ms : kept[c]) sum += ms;
    std::printf("  %s %.2f / %.2f / %.2f", Name(c), Percentile(kept[c], 0.5), Percentile(kept[c], 0.95),
                sum / static_cast<double>(common));
  }
  std::printf("\n");
  Ratio(figure + "_vs_ffms2", Percentile(kept[Contender::Ours], 0.5), Percentile(kept[Contender::Ffms2], 0.5));
  Ratio(figure + "_vs_libav", Percentile(kept[Contender::Ours], 0.5), Percentile(kept[Contender::Libav], 0.5));

  std::ofstream table(options.out / ("steps-" + video.name + "-" + walk + ".tsv"));
  table << "# step frame ours_ms ffms2_ms libav_ms\n";
  for (size_t i = 0; i < common; ++i)
    table << i << " " << results[Contender::Ours].frames[walk][i] << " " << kept[Contender::Ours][i] << " "
          << kept[Contender::Ffms2][i] << " " << kept[Contender::Libav][i] << "\n";
}

// Whether every contender showed the same picture for each frame that more than one sampled.
bool CheckFrames(const Video& video, std::map<Contender, Result>& results) {
  std::set<int> frames;
  for (Contender c : kContenders)
    for (const auto& [frame, hash] : results[c].hashes) frames.insert(frame);
  int compared = 0;
  std::vector<std::string> differing;
  for (int frame : frames) {
    std::set<uint64_t> seen;
    int holders = 0;
    for (Contender c : kContenders) {
      auto it = results[c].hashes.find(frame);
      if (it == results[c].hashes.end()) continue;
      ++holders;
      seen.insert(it->second);
    }
    if (holders < 2) continue;
    ++compared;
    if (seen.size() > 1) {
      std::string text = "frame " + std::to_string(frame) + ":";
      for (Contender c : kContenders) {
        auto it = results[c].hashes.find(frame);
        if (it != results[c].hashes.end()) text += std::string(" ") + Name(c) + " " + std::to_string(it->second % 100000);
      }
      differing.push_back(text);
    }
  }
  std::printf("frame_exact_%s: %d sampled frames compared, %zu differ\n", video.name.c_str(), compared,
              differing.size());
  for (const std::string& text : differing) std::printf("  DIFFERENT PICTURES %s\n", text.c_str());
  return differing.empty() && compared > 0;
}

bool ReportVideo(const Video& video, std::map<Contender, Result>& results, const Options& options) {
  const Result& ours = results[Contender::Ours];
  const Result& ffms2 = results[Contender::Ffms2];
  const Result& libav = results[Contender::Libav];
  const uint64_t frameBytes = static_cast<uint64_t>(video.width) * video.height * 3 / 2;
  std::printf("\n== %s: %s (%s, %.0f MiB)\n", video.name.c_str(), video.description.c_str(), video.file.c_str(),
              static_cast<double>(fs::file_size(options.media / video.file)) / kMiB);
  std::printf("scan_%s: ours open until initialized %.2f s wall, %.2f s cpu; libavcodec full decode %.2f s wall, "
              "%.2f s cpu; ffms2 index + open %.2f s wall, %.2f s cpu\n",
              video.name.c_str(), ours.scanWall, ours.scanCpu, libav.decodeWall, libav.decodeCpu, ffms2.scanWall,
              ffms2.scanCpu);
  Ratio("scan_" + video.name + "_vs_decode", ours.scanCpu, libav.decodeCpu);
  Ratio("scan_" + video.name + "_vs_ffms2", ours.scanCpu, ffms2.scanCpu);
  std::printf("scan_%s wall ratios: vs decode %.3f, vs ffms2 %.3f\n", video.name.c_str(),
              libav.decodeWall > 0 ? ours.scanWall / libav.decodeWall : 0,
              ffms2.scanWall > 0 ? ours.scanWall / ffms2.scanWall : 0);
  for (const Walk& walk : Walks()) ReportWalk(walk.name, video, results, options);
  ReportWalk("random_seek", video, results, options);
  std::printf("peak_rss_%s MiB: ours %.0f, ffms2 %.0f, libav %.0f (whole run: cpu ours %.1f s, ffms2 %.1f s, "
              "libav %.1f s)\n",
              video.name.c_str(), static_cast<double>(ours.peakRss) / kMiB, static_cast<double>(ffms2.peakRss) / kMiB,
              static_cast<double>(libav.peakRss) / kMiB, ours.totalCpu, ffms2.totalCpu, libav.totalCpu);
  Ratio("peak_rss_" + video.name + "_vs_ffms2", static_cast<double>(ours.peakRss), static_cast<double>(ffms2.peakRss));
  Ratio("peak_rss_" + video.name + "_vs_libav", static_cast<double>(ours.peakRss), static_cast<double>(libav.peakRss));
  std::printf("disk_bytes_%s: most in the cache folder at the end of a walk %.1f MiB (budget 500 MiB; %.1f MiB "
              "once initialized)%s\n",
              video.name.c_str(), static_cast<double>(ours.maxDisk) / kMiB, static_cast<double>(ours.scanDisk) / kMiB,
              ours.maxDisk > kDiskBudget ? "  OVER THE BUDGET" : "");
  Ratio("disk_bytes_" + video.name + "_vs_budget", static_cast<double>(ours.maxDisk), static_cast<double>(kDiskBudget));
  if (ours.maxTexture) {
    std::printf("texture_bytes_%s: most in use at the end of a walk %.1f MiB = %.1f NV12 frames of %.2f MiB\n",
                video.name.c_str(), static_cast<double>(*ours.maxTexture) / kMiB,
                static_cast<double>(*ours.maxTexture) / static_cast<double>(frameBytes),
                static_cast<double>(frameBytes) / kMiB);
    Ratio("texture_bytes_" + video.name + "_vs_frame", static_cast<double>(*ours.maxTexture),
          static_cast<double>(frameBytes));
  } else {
    std::printf("texture_bytes_%s: unavailable (the library's public API does not tell the texture memory of its "
                "device)\n",
                video.name.c_str());
  }
  // Going over the disk budget is printed above, not failed: the cache's own rule lets the store
  // that reaches the budget through, so it ends up to one frame over.
  bool ok = CheckFrames(video, results);
  for (Contender c : kContenders) {
    if (!results[c].ok) {
      std::printf("%s FAILED on %s (see above)\n", Name(c), video.name.c_str());
      ok = false;
    }
  }
  return ok;
}

// ---- The long walk back: the engine with a caching policy, with its default one, and ffms2 ----
//
// On a long HD video the default disk budget holds a few seconds of frames; the policy (evict
// the farthest files, zstd, a RAM budget) is meant to decode each stretch once on the way back.

enum class LongContender { Policy, Default, Ffms2 };
const LongContender kLongContenders[] = {LongContender::Policy, LongContender::Default, LongContender::Ffms2};
const char* Name(LongContender c) {
  return c == LongContender::Policy ? "policy" : c == LongContender::Default ? "default" : "ffms2";
}

EnginePolicy LongWalkPolicy(const Options& options) {
  return {.diskBudget = options.policyDiskMiB * kMiB,
          .evictFarthest = true,
          .ramBudget = options.policyRamMiB * kMiB,
          .zstd = options.policyZstd};
}

struct LongResult {
  bool ok = false;
  std::vector<double> ms;  // per step
  uint64_t peakDisk = 0;   // bytes in the cache folder, sampled after every step
  uint64_t peakRss = 0;
  std::map<int, uint64_t> hashes;
  double frameDecodeMs = 0;  // the policy's child: a whole-file libavcodec decode, wall time per frame
};

void RunLongContender(LongContender contender, const Video& video, const Options& options, const fs::path& results) {
  std::ofstream out(results);
  const std::string path = (options.media / video.file).string();
  const MediaInfo media{video.frameCount, kFps};
  if (contender == LongContender::Policy) {
    // Timed in the policy's own process right before its walk, so that both meet the same load
    // on a shared machine.
    const auto wall = Clock::now();
    const int frames = DecodeWholeFile(path);
    out << "frame_decode_ms " << Since(wall) * 1e3 / frames << "\n";
  }
  const fs::path cache = options.out / (std::string("cache-long-") + Name(contender));
  std::unique_ptr<Player> player =
      contender == LongContender::Ffms2 ? MakeFfmsPlayer(media)
                                        : MakeEnginePlayer(media, cache.string(),
                                                           contender == LongContender::Policy ? LongWalkPolicy(options)
                                                                                              : EnginePolicy{});
  player->Open(path);
  const std::vector<int> frames = WalkFrames({"long", false, true}, video.frameCount, options.longBackSteps);
  player->Seek(frames[0]);
  out << "hash " << frames[0] << " " << player->LumaHash() << "\n";
  for (int i = 1; i < static_cast<int>(frames.size()); ++i) {
    const auto start = Clock::now();
    player->Step(frames[i], false);
    const double ms = Since(start) * 1e3;
    out << "step " << ms << " " << player->DiskBytes() << "\n";
    if (Sampled(i - 1, options.longBackSteps)) out << "hash " << frames[i] << " " << player->LumaHash() << "\n";
  }
  out << "done\n";
  out.flush();
  std::error_code ignored;
  fs::remove_all(cache, ignored);
}

LongResult RunLong(LongContender contender, const Video& video, const Options& options) {
  const fs::path results = options.out / (std::string("result-long-") + Name(contender) + ".txt");
  const ChildOutcome outcome = InChild(std::string(Name(contender)) + " on the long walk",
                                       [&] { RunLongContender(contender, video, options, results); });
  LongResult result;
  result.peakRss = outcome.peakRss;
  std::ifstream in(results);
  bool done = false;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string kind;
    words >> kind;
    if (kind == "frame_decode_ms") words >> result.frameDecodeMs;
    if (kind == "step") {
      double ms = 0;
      uint64_t disk = 0;
      words >> ms >> disk;
      result.ms.push_back(ms);
      result.peakDisk = std::max(result.peakDisk, disk);
    }
    if (kind == "hash") {
      int frame = 0;
      uint64_t hash = 0;
      words >> frame >> hash;
      result.hashes[frame] = hash;
    }
    if (kind == "done") done = true;
  }
  result.ok = outcome.exitedOk && done;
  return result;
}

double Mean(const std::vector<double>& values) {
  double sum = 0;
  for (double v : values) sum += v;
  return values.empty() ? 0 : sum / static_cast<double>(values.size());
}

bool LongWalk(const Video& video, const Options& options) {
  std::map<LongContender, LongResult> results;
  for (LongContender c : kLongContenders) {
    if (!options.longContenders.empty() && options.longContenders.count(Name(c)) == 0) continue;
    const auto start = Clock::now();
    results[c] = RunLong(c, video, options);
    std::printf("ran %s on the long walk in %.0f s\n", Name(c), Since(start));
    std::fflush(stdout);
  }
  const size_t ran = results.size();
  const EnginePolicy policy = LongWalkPolicy(options);
  std::printf("\n== back_step_long_%s: %d steps back from frame %d of %s; policy: evict farthest, %s, disk %.0f "
              "MiB, RAM %.0f MiB\n",
              video.name.c_str(), options.longBackSteps, video.frameCount - 1, video.file.c_str(),
              policy.zstd ? "zstd" : "raw",
              static_cast<double>(policy.diskBudget) / kMiB, static_cast<double>(policy.ramBudget) / kMiB);
  bool ok = true;
  std::set<uint64_t> firstHashes;
  for (LongContender c : kLongContenders) {
    if (results.count(c) == 0) continue;
    const LongResult& r = results[c];
    std::printf("  %-8s mean %.2f ms, p99 %.2f ms, median %.2f ms, max %.2f ms; disk peak %.1f MiB; peak RSS %.0f MiB%s\n",
                Name(c), Mean(r.ms), Percentile(r.ms, 0.99), Percentile(r.ms, 0.5), Percentile(r.ms, 1.0),
                static_cast<double>(r.peakDisk) / kMiB, static_cast<double>(r.peakRss) / kMiB,
                r.ok ? "" : "  FAILED");
    ok = ok && r.ok;
  }
  const LongResult& ours = results[LongContender::Policy];
  const double frameMs = ours.frameDecodeMs;
  std::printf("  one frame's decode (libavcodec, whole file, wall / frames) %.2f ms, one GOP of 250 %.0f ms: policy "
              "mean %.2f x a frame, p99 %.2f x a GOP\n",
              frameMs, frameMs * 250, frameMs > 0 ? Mean(ours.ms) / frameMs : 0,
              frameMs > 0 ? Percentile(ours.ms, 0.99) / (frameMs * 250) : 0);
  std::printf("  disk peak vs budget: policy %.3f%s\n", static_cast<double>(ours.peakDisk) / policy.diskBudget,
              ours.peakDisk > policy.diskBudget ? "  OVER THE BUDGET" : "");
  Ratio("back_step_long_" + video.name + "_policy", Mean(ours.ms), Mean(results[LongContender::Ffms2].ms));
  Ratio("back_step_long_" + video.name + "_policy_vs_default", Mean(ours.ms), Mean(results[LongContender::Default].ms));
  Ratio("back_step_long_" + video.name + "_policy_p99_vs_ffms2", Percentile(ours.ms, 0.99),
        Percentile(results[LongContender::Ffms2].ms, 0.99));
  // The same pictures on the sampled frames.
  size_t differing = 0, compared = 0;
  for (const auto& [frame, hash] : results[LongContender::Ffms2].hashes) {
    for (LongContender c : {LongContender::Policy, LongContender::Default}) {
      auto it = results[c].hashes.find(frame);
      if (it == results[c].hashes.end()) continue;
      ++compared;
      if (it->second != hash) {
        ++differing;
        std::printf("  DIFFERENT PICTURES frame %d: %s\n", frame, Name(c));
      }
    }
  }
  std::printf("frame_exact_long_%s: %zu sampled frames compared, %zu differ\n", video.name.c_str(), compared,
              differing);
  return ok && differing == 0 && (compared > 0 || ran < 2);
}

Options Parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i], value = argv[i + 1];
    if (key == "--media") options.media = value;
    else if (key == "--out") options.out = value;
    else if (key == "--steps") options.steps = std::stoi(value);
    else if (key == "--seeks") options.seeks = std::stoi(value);
    else if (key == "--walk-seconds") options.walkSeconds = std::stod(value);
    else if (key == "--long-back-steps") options.longBackSteps = std::stoi(value);
    else if (key == "--policy-ram-mib") options.policyRamMiB = std::stoull(value);
    else if (key == "--policy-disk-mib") options.policyDiskMiB = std::stoull(value);
    else if (key == "--policy-compress") options.policyZstd = value == "zstd";
    else if (key == "--long-contenders") {
      std::istringstream names(value);
      for (std::string name; std::getline(names, name, ',');) options.longContenders.insert(name);
    }
    else if (key == "--videos") {
      std::istringstream names(value);
      for (std::string name; std::getline(names, name, ',');) options.videos.insert(name);
    }
    else throw std::invalid_argument("unknown option " + key);
  }
  if (options.media.empty() || options.out.empty()) throw std::invalid_argument("--media and --out are required");
  if (options.steps < 1 || options.seeks < 1) throw std::invalid_argument("--steps and --seeks must be at least 1");
  return options;
}

int Main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  fs::create_directories(options.out);
  std::vector<Video> videos;
  for (const Video& video : Videos())
    if (options.videos.empty() || options.videos.count(video.name) > 0) videos.push_back(video);
  if (videos.empty()) throw std::invalid_argument("--videos names none of 720p, 1080p, 1080p_hevc");
  for (const Video& video : videos) MakeVideo(options, video);
  if (options.longBackSteps > 0) {
    bool ok = true;
    for (const Video& video : videos) ok = LongWalk(video, options) && ok;
    return ok ? 0 : 1;
  }
  bool ok = true;
  for (const Video& video : videos) {
    std::map<Contender, Result> results;
    for (Contender c : kContenders) {
      const auto start = Clock::now();
      results[c] = Run(c, video, options);
      std::printf("ran %s on %s in %.0f s\n", Name(c), video.name.c_str(), Since(start));
      std::fflush(stdout);
    }
    fs::remove_all(options.out / ("cache-" + video.name));
    ok = ReportVideo(video, results, options) && ok;
    std::fflush(stdout);
  }
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace korvane::bench

int main(int argc, char** argv) {
  try {
    return korvane::bench::Main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "engine_walks: %s\n", e.what());
    return 2;
  }
}
