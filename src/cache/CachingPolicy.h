// CachingPolicy: how the storage cache keeps frames that lie outside the memory window. The
// default value is the cache's fixed behaviour: a 500 MiB disk budget reckoned from the record
// count, storing stops for good once it is reached, raw files, nothing kept in RAM.
//
// The other settings exist for long high-resolution videos, where 500 MiB holds only a few
// seconds of frames and stepping back then decodes from the keyframe at every step:
// - EvictFarthest deletes the frame files farthest from the current position to make room, and
//   counts the bytes actually on disk, which then never exceed DiskBudget;
// - RamBudget keeps up to that many bytes of frames in memory before the disk is used (the
//   nearest frames stay there; farther ones move to disk);
// - Zstd compresses each frame losslessly (with a checksum), in memory and on disk, so more
//   frames fit the same budgets.
#pragma once

#include <cstdint>

namespace korvane {

enum class DiskBudgetAction : uint32_t {
  Stop = 0,           // at the budget, storing stops for good
  EvictFarthest = 1,  // at the budget, the files farthest from the position make room
};

enum class FrameCompression : uint32_t {
  None = 0,
  Zstd = 1,
};

struct CachingPolicy {
  static constexpr uint64_t kDefaultDiskBudget = 524'288'000;  // 500 MiB

  uint64_t DiskBudget = kDefaultDiskBudget;
  DiskBudgetAction AtDiskBudget = DiskBudgetAction::Stop;
  // Bytes of frames kept in memory outside the memory window; 0: none.
  uint64_t RamBudget = 0;
  FrameCompression Compression = FrameCompression::None;

  // Whether this is the fixed behaviour, which takes the cache's original code path.
  bool IsDefault() const noexcept {
    return DiskBudget == kDefaultDiskBudget && AtDiskBudget == DiskBudgetAction::Stop && RamBudget == 0 &&
           Compression == FrameCompression::None;
  }
};

}  // namespace korvane
