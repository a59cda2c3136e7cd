// IVideoDecoderCachingPolicy: how a VideoDecoderInterop keeps decoded frames that lie outside
// the ±0.1 s memory window. Every VideoDecoderInterop answers it (QueryInterface); the policy
// set applies from the next Open that starts a first pass (an Open that takes a stream up again
// keeps the caches, and their policy, as they are).
//
// The default policy is the class's fixed behaviour: frames go to raw files in the cache folder
// until 524,288,000 bytes (500 MiB, reckoned as files × the frame's NV12 size) are reached, and
// then storing stops for good. The other settings trade disk, memory and CPU for fast stepping
// back on long high-resolution videos:
// - AtDiskBudget = EvictFarthest: at the budget, the frame files farthest from the current
//   position are deleted to make room; the bytes of the files never exceed DiskBudgetBytes.
// - RamBudgetBytes: up to this many bytes of frames are kept in memory first (nearest to the
//   position first), before any go to disk.
// - Compression = Zstd: each kept frame is compressed losslessly (with a checksum; a damaged
//   file is dropped and the frame decoded again).
// Files are only ever written and deleted inside the cache folder.
#pragma once

#include "platform/com/WinRtInterfaces.h"

#include <cstdint>

namespace ABI::Korvane::Native {

enum class DiskBudgetAction : int32_t { Stop = 0, EvictFarthest = 1 };
enum class FrameFileCompression : int32_t { None = 0, Zstd = 1 };

struct CachingPolicy {
  uint64_t DiskBudgetBytes = 524'288'000;
  DiskBudgetAction AtDiskBudget = DiskBudgetAction::Stop;
  FrameFileCompression Compression = FrameFileCompression::None;
  uint64_t RamBudgetBytes = 0;
};

struct IVideoDecoderCachingPolicy : IInspectable {
  static constexpr GUID kIid{0x5C0F7B3A, 0x8E21, 0x4D6B, {0x9A, 0x37, 0x2B, 0x41, 0xC8, 0x6E, 0x0D, 0x95}};
  using BaseInterface = IInspectable;

  // The policy the next first pass will use.
  virtual HRESULT get_CachingPolicy(CachingPolicy* value) = 0;
  // E_INVALIDARG, with nothing changed, for an AtDiskBudget or Compression value not listed
  // above; E_POINTER for a null `value`.
  virtual HRESULT put_CachingPolicy(const CachingPolicy* value) = 0;
};

}  // namespace ABI::Korvane::Native
