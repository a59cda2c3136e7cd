// Opening a video: sizes, rotation, aspect, frame rate, the device, failures; the output
// settings; and the reader primitives' seek retries.
#include "DecoderTestSupport.h"

namespace korvane::test {
namespace {

using Brindle::Tamsel::SceneGraph::IGraphicsDevice;

class VideoDecoderLoad : public DecoderFixture {};

TEST_F(VideoDecoderLoad, Load_OddNativeSize_OutputKeepsOddSizePerDivisor) {
  mf::ScriptedSource script = ScriptedVideo(10, 400'000, 1, 1919, 1081);
  ASSERT_TRUE(Load(Scripted(script).Get()));
  EXPECT_EQ(1919u, decoder_->GetOutputWidth());
  EXPECT_EQ(1081u, decoder_->GetOutputHeight());
  EXPECT_EQ(0u, decoder_->GetRotation());
  decoder_->SetResolutionDivisor(2);
  EXPECT_EQ(2u, decoder_->GetResolutionDivisor());
  EXPECT_EQ(959u, decoder_->GetOutputWidth());
  EXPECT_EQ(540u, decoder_->GetOutputHeight());
  decoder_->SetResolutionDivisor(0);  // ignored
  EXPECT_EQ(2u, decoder_->GetResolutionDivisor());
  // No pixel aspect in the type: square pixels.
  EXPECT_EQ((std::pair<uint32_t, uint32_t>{1, 1}), VideoDecoderTestAccess::PixelAspect(*decoder_));
  EXPECT_EQ((std::pair<uint32_t, uint32_t>{25, 1}), VideoDecoderTestAccess::FrameRate(*decoder_));
  EXPECT_TRUE(listener_->Events().empty());
}

TEST_F(VideoDecoderLoad, Load_Rotated90_ExchangesWidthAndHeight) {
  mf::ScriptedSource script = ScriptedVideo(10, 400'000, 1, 64, 48);
  script.info.rotation = 90;
  script.info.pixelAspect = mf::Ratio{4, 3};
  ASSERT_TRUE(Load(Scripted(script).Get()));
  EXPECT_EQ(90u, decoder_->GetRotation());
  EXPECT_EQ(48u, decoder_->GetOutputWidth());
  EXPECT_EQ(64u, decoder_->GetOutputHeight());
  EXPECT_EQ((std::pair<uint32_t, uint32_t>{4, 3}), VideoDecoderTestAccess::PixelAspect(*decoder_));
}

TEST_F(VideoDecoderLoad, Load_NoFrameRateOrAudioThatCannotBeDeselected_FailsWithError0) {
  mf::ScriptedSource script = ScriptedVideo(10);
  script.info.frameRate.reset();
  EXPECT_FALSE(Load(Scripted(script).Get()));
  EXPECT_EQ(std::vector<std::string>{"error 0"}, listener_->Events());
  EXPECT_THROW(decoder_->GetOutputWidth(), Platform::Exception) << "not loaded";

  script = ScriptedVideo(10);
  script.info.hasAudio = true;
  EXPECT_TRUE(Load(Scripted(script).Get())) << "audio deselected";
  script.info.audioSelectionError = E_ACCESSDENIED;
  EXPECT_FALSE(Load(Scripted(script).Get()));
  EXPECT_EQ((std::vector<std::string>{"error 0", "error 0"}), listener_->Events());
}

// A graphics device whose two calls return what a test chooses.
class FakeGraphicsDevice final : public RuntimeClass<korvane::com::kPlainRuntimeClass, IGraphicsDevice> {
 public:
  FakeGraphicsDevice(UINT64 device, UINT64 context, HRESULT result) : device_(device), context_(context), result_(result) {}
  HRESULT GetD3DDevice(UINT64* device) override {
    *device = device_;
    return result_;
  }
  HRESULT GetD3DContext(UINT64* context) override {
    *context = context_;
    return S_OK;
  }

 protected:
  const char* RuntimeClassNameText() const override { return "Test.FakeGraphicsDevice"; }

 private:
  UINT64 device_, context_;
  HRESULT result_;
};

TEST_F(VideoDecoderLoad, Load_UnusableGraphicsDevice_ThrowsBeforeAnyListenerIsInvolved) {
  auto stream = Scripted(ScriptedVideo(10));
  const auto realDevice = reinterpret_cast<UINT64>(device_.Get());
  ComPtr<ID3D11DeviceContext> context;
  device_->GetImmediateContext(&context);
  const auto realContext = reinterpret_cast<UINT64>(context.Get());

  struct Case {
    ComPtr<IGraphicsDevice> device;
    HRESULT expected;
  };
  std::vector<Case> cases;
  cases.push_back({nullptr, kNotReady});
  cases.push_back({MakeRuntimeObject<FakeGraphicsDevice>(0, realContext, S_OK), kNotReady});
  cases.push_back({MakeRuntimeObject<FakeGraphicsDevice>(realDevice, 0, S_OK), kNotReady});
  cases.push_back({MakeRuntimeObject<FakeGraphicsDevice>(realDevice, realContext, E_ACCESSDENIED), E_ACCESSDENIED});
  for (const Case& c : cases) {
    try {
      decoder_->Load(listener_, stream.Get(), MFVideoFormat_NV12, c.device.Get());
      ADD_FAILURE() << "Load did not throw";
    } catch (const Platform::Exception& e) {
      EXPECT_EQ(c.expected, e.HResult());
    }
  }
  EXPECT_TRUE(listener_->Events().empty());
  EXPECT_TRUE(log_->Entries().empty());
}

TEST_F(VideoDecoderLoad, Load_PutsTheDeviceInMultithreadProtectedMode) {
  ASSERT_TRUE(Load(Scripted(ScriptedVideo(10)).Get()));
  ComPtr<ID3D10Multithread> multithread;
  ASSERT_EQ(S_OK, VideoDecoderTestAccess::Context(*decoder_).As(&multithread));
  EXPECT_TRUE(multithread->GetMultithreadProtected());
}

TEST_F(VideoDecoderLoad, Load_AfterInitialization_FailsAndChangesNothing) {
  Open(ScriptedVideo(10));
  const uint32_t width = decoder_->GetOutputWidth();
  const int64_t duration = decoder_->GetDuration();
  listener_->Clear();
  EXPECT_FALSE(Load(Scripted(ScriptedVideo(20, 400'000, 1, 128, 96)).Get()));
  EXPECT_EQ(std::vector<std::string>{"error 0"}, listener_->Events());
  EXPECT_EQ(width, decoder_->GetOutputWidth());
  EXPECT_EQ(duration, decoder_->GetDuration());
  EXPECT_TRUE(decoder_->IsInitialized());
}

// --- output settings: RGB32 frames all the way through both caches, and a resolution divisor
// changed once frames are cached.

class VideoDecoderOutput : public DecoderFixture {};

TEST_F(VideoDecoderOutput, Rgb32_ScanCompletesAndFramesComeBackFromDisk) {
  // 60 s: the scan leaves most frames on disk.
  ASSERT_TRUE(decoder_->Load(listener_, Scripted(ScriptedVideo(1500)).Get(), MFVideoFormat_RGB32, graphics_.Get()));
  decoder_->Initialize(Platform::String(cache_.Path()));
  ASSERT_EQ("cached 0", listener_->WaitForAny({"cached 0", "error "}));

  // Frame 91 (36.4 s) was cached on disk by the scan; showing it loads it back into memory.
  ASSERT_TRUE(VideoDecoderTestAccess::CacheManager(*decoder_)->IsFrameCached(36'400'000));
  ASSERT_TRUE(RequestAndWait(36'400'000));
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

// SeekAndRead: refused seeks are retried 0.1 s further back, at most 9 times, never before the
// first sample; with OnSeekFailure::Flush the reader is flushed instead.
struct SeekCase {
  const char* name;
  std::set<int64_t> refused;
  int64_t position;
  OnSeekFailure onFailure;
  bool succeeds;
  std::vector<std::string> log;  // what the source sees first
  bool whole;                    // ... and nothing else
};

void PrintTo(const SeekCase& c, std::ostream* out) { *out << c.name; }

std::set<int64_t> TwentyFrom20s() {
  std::set<int64_t> refused;
  for (int i = 0; i < 20; ++i) refused.insert(20'000'000 - i * 1'000'000);
  return refused;
}

class VideoDecoderSeekAndRead : public DecoderFixture, public ::testing::WithParamInterface<SeekCase> {};

TEST_P(VideoDecoderSeekAndRead, SeekAndRead_RetriesEarlierOrFlushes) {
  const SeekCase& c = GetParam();
  mf::ScriptedSource script = ScriptedVideo(100);
  script.faults.refusedSeeks = c.refused;
  Open(script);
  log_->Clear();
  EXPECT_EQ(c.succeeds, SUCCEEDED(VideoDecoderTestAccess::SeekAndRead(*decoder_, c.position, c.onFailure)));
  std::vector<std::string> lines = LogLines();
  if (!c.whole) {
    decoder_->Close();  // waits for the reader's work thread: what it was asked has reached the source
    lines = LogLines();
    lines.resize(std::min(lines.size(), c.log.size()));
  }
  EXPECT_EQ(c.log, lines);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VideoDecoderSeekAndRead,
    ::testing::Values(
        SeekCase{"AllRefused_NineRetriesThenFailure", TwentyFrom20s(), 20'000'000, OnSeekFailure::RetryEarlier, false,
                 {"seek 20000000", "seek 19000000", "seek 18000000", "seek 17000000", "seek 16000000",
                  "seek 15000000", "seek 14000000", "seek 13000000", "seek 12000000", "seek 11000000"},
                 true},
        SeekCase{"FourthSeekGoesThrough_ReadsFromThere", {20'000'000, 19'000'000, 18'000'000}, 20'000'000,
                 OnSeekFailure::RetryEarlier, true,
                 {"seek 20000000", "seek 19000000", "seek 18000000", "seek 17000000"}, false},
        SeekCase{"NearTheStart_NeverRetriesBeforeTheFirstSample", {1'500'000, 500'000}, 1'500'000,
                 OnSeekFailure::RetryEarlier, false, {"seek 1500000", "seek 500000"}, true},
        SeekCase{"FlushOnFail_FlushesInsteadOfRetrying", {20'000'000}, 20'000'000, OnSeekFailure::Flush, true,
                 {"seek 20000000", "flush"}, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvane::test
