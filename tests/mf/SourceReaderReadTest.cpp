// Reading generated files front to back through the asynchronous reader, compared with a plain
// libavcodec decode of the same file: every frame once, in order, at the reference's times,
// lasting until the next one, and at native size with the reference's very NV12 bytes.
#include "ReaderHarness.h"

#include "support/TestMedia.h"

#include "platform/d3d11/DeviceDiagnostics.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace korvane::mf::test {
namespace {

using korvane::test::TestVideoKind;

class ReadAllTest : public ::testing::TestWithParam<TestVideoKind> {
 protected:
  MfStarted started_;
};

TEST_P(ReadAllTest, ReadSample_EveryFrameOnceInOrder) {
  const std::string& path = korvane::test::TestVideo(GetParam());
  const korvane::test::VideoSpec& spec = korvane::test::TestVideoSpec(GetParam());
  const std::vector<korvane::test::ReferenceFrame> reference = korvane::test::DecodeReference(path, true);
  ASSERT_EQ(static_cast<int>(reference.size()), spec.frameCount);

  OpenReader open = OpenFile(path);
  ASSERT_EQ(open.hr, S_OK);
  const bool sideways = spec.rotationDegrees == 90 || spec.rotationDegrees == 270;
  // NV12 textures round odd sizes up.
  const UINT expectedWidth = (static_cast<UINT>(sideways ? spec.height : spec.width) + 1) & ~1u;
  const UINT expectedHeight = (static_cast<UINT>(sideways ? spec.width : spec.height) + 1) & ~1u;
  // Byte equality holds where no scaling or turning happens between decoder and texture.
  const bool comparePixels = spec.rotationDegrees == 0 && spec.width % 2 == 0 && spec.height % 2 == 0;

  for (size_t i = 0; i < reference.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    Completion c = ReadOne(open);
    ASSERT_EQ(c.status, S_OK);
    ASSERT_EQ(c.flags, 0u);
    ASSERT_TRUE(c.sample);
    EXPECT_NE(c.thread, std::this_thread::get_id());
    EXPECT_EQ(c.time, reference[i].time100ns);
    LONGLONG sampleTime = 0, duration = 0;
    EXPECT_EQ(c.sample->GetSampleTime(&sampleTime), S_OK);
    EXPECT_EQ(sampleTime, c.time);
    // Up to the next frame; the last one keeps the container's duration.
    EXPECT_EQ(c.sample->GetSampleDuration(&duration), S_OK);
    EXPECT_EQ(duration, i + 1 < reference.size() ? reference[i + 1].time100ns - reference[i].time100ns
                                                 : reference[i].duration100ns);

    D3D11_TEXTURE2D_DESC desc{};
    ComPtr<ID3D11Texture2D> texture = TextureOf(c.sample.Get(), &desc);
    ASSERT_TRUE(texture);
    EXPECT_EQ(desc.Format, DXGI_FORMAT_NV12);
    EXPECT_EQ(desc.Width, expectedWidth);
    EXPECT_EQ(desc.Height, expectedHeight);
    int rotation = -1;
    EXPECT_EQ(FrameIndexOf(open, texture.Get(), &rotation), static_cast<int>(i));
    EXPECT_EQ(rotation, spec.rotationDegrees);
    EXPECT_TRUE(!comparePixels || ReadBack(open, texture.Get()) == reference[i].nv12) << "NV12 bytes differ";
  }

  for (int repeat = 0; repeat < 2; ++repeat) {
    Completion end = ReadOne(open);
    EXPECT_EQ(end.status, S_OK);
    EXPECT_EQ(end.flags, static_cast<DWORD>(MF_SOURCE_READERF_ENDOFSTREAM));
    EXPECT_FALSE(end.sample);
  }
}

INSTANTIATE_TEST_SUITE_P(GeneratedFiles, ReadAllTest, ::testing::ValuesIn(korvane::test::AllTestVideoKinds()),
                         [](const auto& info) { return std::string(korvane::test::TestVideoKindName(info.param)); });

TEST(TexturePoolTest, ReadSample_HeldTextureNeverOverwritten) {
  MfStarted started;
  OpenReader open = OpenFile(korvane::test::TestVideo(TestVideoKind::H264Mp4));
  ASSERT_EQ(open.hr, S_OK);
  ComPtr<korvane::d3d11::IDeviceDiagnostics> diagnostics;
  ASSERT_EQ(open.device.As(&diagnostics), S_OK);

  // The first frame's texture is kept, as a cache keeps one; every sample is let go at once.
  ComPtr<ID3D11Texture2D> kept = TextureOf(ReadOne(open).sample.Get());
  ASSERT_TRUE(kept);
  open.callback->ForgetSamples();
  uint64_t peak = 0;
  for (int i = 1; i < 60; ++i) {
    ASSERT_TRUE(ReadOne(open).sample);
    open.callback->ForgetSamples();
    peak = std::max(peak, diagnostics->GetStatistics().liveTextures);
  }
  EXPECT_EQ(FrameIndexOf(open, kept.Get()), 0);
  // Released textures are reused: the kept one, one in use and one being read back at most.
  EXPECT_LE(peak, 4u);
}

}  // namespace
}  // namespace korvane::mf::test
