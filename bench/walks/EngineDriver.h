// EngineDriver: the one place where the walk benchmarks drive the engine, as an application
// does: through the C++ API over libKorvane.Native.so (korvane/Korvane.hpp) and nothing else.
// Everything else in the walk benchmarks sees plain times and hashes, so this file alone moves
// when the engine is reached another way.
//
// One driver opens one video on its own software device with its own cache folder. Every call
// blocks until what it asked for is visible to an application: Open until DecoderInitialized
// (and the first frame shown), Seek and Step until PositionHasChanged reports a frame containing
// the expected time and that frame's texture has been fetched. Waits are bounded (kWaitBound);
// a bound passed, an ErrorOccured event or a failed call throws std::runtime_error naming it
// (korvane::Error is one).
//
// Threads: one thread calls the driver; the engine's events arrive on its own threads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace korvane::bench {

class EngineDriver {
 public:
  // `cacheFolder` is wiped by the engine when the video is opened.
  explicit EngineDriver(std::string cacheFolder);
  ~EngineDriver();  // closes the engine
  EngineDriver(const EngineDriver&) = delete;
  EngineDriver& operator=(const EngineDriver&) = delete;

  // The caching policy of the next Open (korvane::CachingPolicy): disk budget in bytes, whether
  // the farthest files make room at it, a RAM budget in bytes, zstd-compressed frames.
  void SetCachingPolicy(uint64_t diskBudget, bool evictFarthest, uint64_t ramBudget, bool zstd);
  // Opens `path` and waits until the first pass is over (DecoderInitialized, then the first
  // frame shown).
  void Open(const std::string& path);
  // The duration as the first pass measured it (100 ns).
  int64_t Duration();
  // Asks for `time` and waits until the shown frame lies in [start, end) and is fetched.
  // Returns the shown frame's start.
  int64_t Seek(int64_t time, int64_t start, int64_t end);
  // MoveNext / MovePrevious, then waits as Seek does.
  int64_t Step(bool forward, int64_t start, int64_t end);
  // FNV-1a of the luma rows (width bytes each) of the decoded frame containing `time`; throws
  // when it is not decoded.
  uint64_t LumaHash(int64_t time);
  // Texture memory alive on the engine's device: nullopt, as the library exports no way to ask
  // its device for it (the device's diagnostics interface is not among the public headers).
  std::optional<uint64_t> TextureBytesInUse();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace korvane::bench
