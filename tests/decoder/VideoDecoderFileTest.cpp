// The whole engine on generated files: every requested frame is the right picture.
#include "DecoderTestSupport.h"

#include "support/TestMedia.h"

namespace korvane::test {
namespace {

class VideoDecoderFiles : public DecoderFixture, public ::testing::WithParamInterface<TestVideoKind> {
 protected:
  // The frame index drawn into the texture.
  int FrameIndex(ID3D11Texture2D* texture) {
    const TextureBytes copy = ReadTexture(device_.Get(), texture);
    return ReadFrameIndexNv12(copy.bytes.data(), copy.rowPitch, static_cast<int>(copy.desc.Width),
                              static_cast<int>(copy.desc.Height));
  }
};

TEST_P(VideoDecoderFiles, RequestedFramesAreTheRightPictures) {
  const std::vector<ReferenceFrame> reference = DecodeReference(TestVideo(GetParam()), false);
  ASSERT_GT(reference.size(), 10u);
  ASSERT_TRUE(Load(FileStream(TestVideo(GetParam())).Get()));
  decoder_->Initialize(Platform::String(cache_.Path()));
  ASSERT_TRUE(listener_->WaitFor("cached 0"));
  ASSERT_TRUE(decoder_->IsInitialized());

  // Forward steps, backward steps and jumps, in an order that mixes cached and uncached frames.
  const size_t n = reference.size();
  const size_t order[] = {n / 2, n / 2 + 1, n / 2 + 2, n / 2 - 1, n - 1, 0, n / 3, 1, n - 2, n / 4};
  for (size_t index : order) {
    const int64_t time = reference[index].time100ns;
    const size_t before = listener_->Count("completed ");
    Request(time);
    ASSERT_TRUE(listener_->WaitForCount("completed ", before + 1));
    EXPECT_EQ(time, decoder_->GetCurrentFrameTime()) << "frame " << index;
    ComPtr<ID3D11Texture2D> frame = decoder_->GetFrame(time);
    ASSERT_TRUE(frame) << "frame " << index;
    EXPECT_EQ(static_cast<int>(index), FrameIndex(frame.Get())) << "at " << time;
  }
  EXPECT_EQ(0u, listener_->Count("error "));
}

INSTANTIATE_TEST_SUITE_P(Kinds, VideoDecoderFiles,
                         ::testing::Values(TestVideoKind::H264Mp4, TestVideoKind::Mpeg4Avi, TestVideoKind::Vp9Webm,
                                           TestVideoKind::HevcMkv, TestVideoKind::Mpeg2Ts, TestVideoKind::H264OpenGopMp4),
                         [](const auto& info) { return std::string(TestVideoKindName(info.param)); });

}  // namespace
}  // namespace korvane::test
