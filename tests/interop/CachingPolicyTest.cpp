// Stepping back through a generated H.264 file with B-frames under each caching policy: every
// step shows the exact frame, and a policy that evicts keeps the cache folder within its budget.
#include "InteropTestSupport.h"

#include <filesystem>
#include <limits>

namespace korvane::test {
namespace {

using ABI::Korvane::Native::CachingPolicy;
using ABI::Korvane::Native::DiskBudgetAction;
using ABI::Korvane::Native::FrameFileCompression;
using ABI::Korvane::Native::IVideoDecoderCachingPolicy;

// 160 × 120 NV12 in a 192-byte pitch: one raw frame file.
constexpr uint64_t kFrameFile = 192 * 180;

struct PolicyCase {
  const char* name;
  CachingPolicy policy;
};

void PrintTo(const PolicyCase& c, std::ostream* out) { *out << c.name; }

// Budgets of a few dozen frames against 150 frames in GOPs of 60, so that every policy meets its
// budget on the way back.
const std::vector<PolicyCase> kPolicies{
    {"Default", {}},
    {"StopAt20Frames", {.DiskBudgetBytes = 20 * kFrameFile}},
    {"EvictFarthest20Frames", {.DiskBudgetBytes = 20 * kFrameFile, .AtDiskBudget = DiskBudgetAction::EvictFarthest}},
    {"EvictFarthestZstd",
     {.DiskBudgetBytes = 20 * kFrameFile, .AtDiskBudget = DiskBudgetAction::EvictFarthest,
      .Compression = FrameFileCompression::Zstd}},
    {"RamFirstThenEvictZstd",
     {.DiskBudgetBytes = 4 * kFrameFile, .AtDiskBudget = DiskBudgetAction::EvictFarthest,
      .Compression = FrameFileCompression::Zstd, .RamBudgetBytes = 10 * kFrameFile}},
    {"RamOnlyRaw", {.DiskBudgetBytes = 0, .AtDiskBudget = DiskBudgetAction::EvictFarthest,
                    .RamBudgetBytes = 70 * kFrameFile}},
};

// Bytes of the frame files in `folder` (precache.data aside); files may come and go meanwhile.
uint64_t FrameFileBytes(const std::string& folder) {
  uint64_t bytes = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    if (entry.path().filename() == "precache.data") continue;
    const uintmax_t size = std::filesystem::file_size(entry.path(), error);
    if (!error) bytes += size;
  }
  return bytes;
}

class CachingPolicyWalk : public InteropFixture, public ::testing::WithParamInterface<PolicyCase> {
 protected:
  TempFolder media_{"korvane-policy-media"};
};

TEST_P(CachingPolicyWalk, StepBackFromTheEnd_ExactFramesWithinTheDiskBudget) {
  const VideoSpec spec{.width = 160, .height = 120, .frameCount = 150, .gopSize = 60, .maxBFrames = 3};
  const std::string path = WriteTestVideo(spec, media_.File("video.mp4"));
  std::vector<int64_t> starts;
  for (const ReferenceFrame& frame : DecodeReference(path, false)) starts.push_back(frame.time100ns);
  ASSERT_EQ(150u, starts.size());
  starts.push_back(std::numeric_limits<int64_t>::max());

  const CachingPolicy policy = GetParam().policy;
  ComPtr<IVideoDecoderCachingPolicy> policies;
  ASSERT_EQ(S_OK, interop_.As(&policies));
  ASSERT_EQ(S_OK, policies->put_CachingPolicy(&policy));
  OpenAndWait(FileStream(path).Get());

  const bool bounded = policy.AtDiskBudget == DiskBudgetAction::EvictFarthest;
  MoveTo(starts[149], starts[149], starts[150]);
  for (size_t frame = 149; frame-- > 0;) {
    const std::string where = std::string(GetParam().name) + " frame " + std::to_string(frame);
    const size_t mark = log_.Size();
    ASSERT_EQ(S_OK, interop_->MovePrevious()) << where;
    ASSERT_TRUE(log_.WaitForPositionIn(starts[frame], starts[frame + 1], mark)) << where;
    ASSERT_EQ(starts[frame], Position()) << where;
    ASSERT_EQ(static_cast<int>(frame), FrameIndexAt(starts[frame])) << where;
    if (bounded) {
      ASSERT_LE(FrameFileBytes(cache_.Path()), policy.DiskBudgetBytes) << where;
    }
  }
  EXPECT_EQ(E_BOUNDS, interop_->MovePrevious());
  EXPECT_EQ(0u, log_.Count("error"));
}

INSTANTIATE_TEST_SUITE_P(Policies, CachingPolicyWalk, ::testing::ValuesIn(kPolicies),
                         [](const auto& info) { return std::string(info.param.name); });

class CachingPolicyInterface : public InteropFixture {};

TEST_F(CachingPolicyInterface, PutCachingPolicy_UnknownValuesOrNull_RefusedAndUnchanged) {
  ComPtr<IVideoDecoderCachingPolicy> policies;
  ASSERT_EQ(S_OK, interop_.As(&policies));
  CachingPolicy bad{.AtDiskBudget = static_cast<DiskBudgetAction>(2)};
  EXPECT_EQ(E_INVALIDARG, policies->put_CachingPolicy(&bad));
  bad = {.Compression = static_cast<FrameFileCompression>(-1)};
  EXPECT_EQ(E_INVALIDARG, policies->put_CachingPolicy(&bad));
  EXPECT_EQ(E_POINTER, policies->put_CachingPolicy(nullptr));
  CachingPolicy read{.DiskBudgetBytes = 1};
  ASSERT_EQ(S_OK, policies->get_CachingPolicy(&read));
  EXPECT_EQ(524'288'000u, read.DiskBudgetBytes);
  EXPECT_EQ(DiskBudgetAction::Stop, read.AtDiskBudget);
  EXPECT_EQ(FrameFileCompression::None, read.Compression);
  EXPECT_EQ(0u, read.RamBudgetBytes);
}

}  // namespace
}  // namespace korvane::test
