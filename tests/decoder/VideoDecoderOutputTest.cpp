// What the decoder makes of its output settings: RGB32 frames all the way through both caches,
// and a resolution divisor changed once frames are cached.
#include "DecoderTestSupport.h"

namespace korvane::test {
namespace {

class VideoDecoderOutput : public DecoderFixture {
 protected:
  // The first byte of the frame texture at `relative`; -1 when there is none.
  int FirstByteAt(int64_t relative) {
    ComPtr<ID3D11Texture2D> frame = decoder_->GetFrame(relative);
    return frame ? ReadTexture(device_.Get(), frame.Get()).bytes.at(0) : -1;
  }
};

TEST_F(VideoDecoderOutput, Rgb32_ScanCompletesAndFramesComeBackFromDisk) {
  // 60 s: the scan leaves most frames on disk.
  ASSERT_TRUE(decoder_->Load(listener_, Scripted(ScriptedVideo(1500)).Get(), MFVideoFormat_RGB32, graphics_.Get()));
  decoder_->Initialize(Platform::String(cache_.Path()));
  ASSERT_EQ("cached 0", listener_->WaitForAny({"cached 0", "error "}));

  // Frame 91 (36.4 s) was cached on disk by the scan; showing it loads it back into memory.
  ASSERT_TRUE(VideoDecoderTestAccess::CacheManager(*decoder_)->IsFrameCached(36'400'000));
  const size_t completed = listener_->Count("completed ");
  Request(36'400'000);
  ASSERT_TRUE(listener_->WaitForCount("completed ", completed + 1));
  ComPtr<ID3D11Texture2D> frame = decoder_->GetFrame(36'400'000);
  ASSERT_TRUE(frame);
  D3D11_TEXTURE2D_DESC desc;
  frame->GetDesc(&desc);
  EXPECT_EQ(DXGI_FORMAT_B8G8R8A8_UNORM, desc.Format);
  EXPECT_EQ(91, FirstByteAt(36'400'000));
  EXPECT_EQ(0, FirstByteAt(0)) << "frame 0, now evicted to disk, loads back as it was";
  EXPECT_EQ(0u, listener_->Count("error "));
}

TEST_F(VideoDecoderOutput, DivisorChangedAfterTheFirstFrame_ScanEndsOrReportsError) {
  mf::ScriptedSource script = ScriptedVideo(100);
  auto gate = std::make_shared<ReadGate>();
  auto reads = std::make_shared<int>(0);
  // The first two reads pass: frame 0 fixes the cached frames' size, frame 1 is scanned.
  script.beforeRead = [gate, reads] {
    if (++*reads > 2) gate->Pass();
  };
  gate->Close();
  ASSERT_TRUE(Load(Scripted(script).Get()));
  decoder_->Initialize(Platform::String(cache_.Path()));
  ASSERT_TRUE(gate->WaitUntilHeld());
  ASSERT_EQ(1u, listener_->Count("progress ")) << "frame 1 was scanned";
  decoder_->SetResolutionDivisor(2);  // the next frames are half the size of the cached ones
  gate->Open();
  EXPECT_NE("", listener_->WaitForAny({"cached 0", "error "})) << "neither the end of the scan nor an error";
}

}  // namespace
}  // namespace korvane::test
