// The caching policy through the C++ API: it is kept as set, refused outside its enums, and
// stepping back under a tight policy shows every frame exactly.
#include "korvane/Korvane.hpp"
#include "support/TestMedia.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvane::test {
namespace {

using namespace std::chrono_literals;
constexpr auto kWait = 60s;
constexpr int64_t kFrameDuration = kTicksPerSecond / 30;  // the test video: 321 x 241, 30 fps, 60 frames

// The index carried by a packed NV12 frame, read with chroma rows as long as luma rows.
int FrameIndex(const Frame& frame) {
  const uint32_t pitch = Frame::ChromaRowBytes(frame.width);
  std::vector<uint8_t> padded(static_cast<size_t>(pitch) * (frame.height + Frame::ChromaRows(frame.height)));
  for (uint32_t row = 0; row < frame.height; ++row)
    std::copy_n(frame.nv12.data() + static_cast<size_t>(row) * frame.width, frame.width, padded.data() + row * pitch);
  std::copy_n(frame.Chroma(), static_cast<size_t>(pitch) * Frame::ChromaRows(frame.height),
              padded.data() + static_cast<size_t>(pitch) * frame.height);
  return ReadFrameIndexNv12(padded.data(), pitch, static_cast<int>(frame.width), static_cast<int>(frame.height));
}

TEST(CppCachingPolicy, SetCachingPolicy_KeptOrRefusedNamingTheValue) {
  VideoDecoder video;
  EXPECT_EQ(CachingPolicy{}, video.GetCachingPolicy());
  const CachingPolicy policy{.diskBudgetBytes = 123, .atBudget = CachingPolicy::AtBudget::EvictFarthest,
                             .ramBudgetBytes = 456, .compression = CachingPolicy::Compression::Zstd};
  video.SetCachingPolicy(policy);
  EXPECT_EQ(policy, video.GetCachingPolicy());
  try {
    video.SetCachingPolicy({.compression = static_cast<CachingPolicy::Compression>(7)});
    ADD_FAILURE() << "no exception";
  } catch (const Error& e) {
    EXPECT_EQ(E_INVALIDARG, e.code());
    EXPECT_NE(std::string::npos, std::string(e.what()).find("Compression 7")) << e.what();
  }
  EXPECT_EQ(policy, video.GetCachingPolicy()) << "a refused policy changes nothing";
}

TEST(CppCachingPolicy, StepBackUnderTightPolicy_EveryFrameExact) {
  Device device = Device::CreateSoftware();
  TempFolder cache{"korvane-cpp-policy"};
  VideoDecoder video;
  // A 321 x 241 frame maps to about 140 KB: a few frames in memory, a few on disk.
  video.SetCachingPolicy({.diskBudgetBytes = 600'000, .atBudget = CachingPolicy::AtBudget::EvictFarthest,
                          .ramBudgetBytes = 300'000, .compression = CachingPolicy::Compression::Zstd});
  video.Open(Stream::FromFile(KORVANE_API_TEST_VIDEO), cache.Path(), device);
  ASSERT_TRUE(video.WaitForInitialized(kWait));
  video.SetPosition(59 * kFrameDuration + kFrameDuration / 2);  // inside the last frame, whatever the rounding
  ASSERT_TRUE(video.WaitForPosition(kWait));
  ASSERT_EQ(59, FrameIndex(video.CurrentFrame()));
  for (int index = 58; index >= 0; --index) {
    ASSERT_TRUE(video.WaitForCached(video.Position(), kWait)) << "frame " << index;
    video.MovePrevious();
    ASSERT_TRUE(video.WaitForPosition(kWait)) << "frame " << index;
    EXPECT_EQ(index, FrameIndex(video.CurrentFrame())) << "frame " << index;
  }
  EXPECT_FALSE(video.HasPreviousFrame());
  video.Close();
}

}  // namespace
}  // namespace korvane::test
