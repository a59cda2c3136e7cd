#include "../wic/JpegTestSupport.h"
#include "TestSourceStream.h"

#include "jpeg/JpegEncodeJob.h"
#include "jpeg/JpegEncoder.h"
#include "korvane/JpegEncoder.h"
#include "platform/winrt/Async.h"

#include <gtest/gtest.h>

#include <functional>
#include <mutex>

namespace {

using namespace korvane::testing;
using ABI::Korvane::Native::IJpegEncoder;
using ABI::Windows::Foundation::AsyncStatus;
using ABI::Windows::Foundation::IAsyncInfo;
using ABI::Windows::Storage::Streams::IRandomAccessStream;
using Operation = ABI::Windows::Foundation::IAsyncOperationWithProgress<IRandomAccessStream*, double>;
using ProgressHandler = ABI::Windows::Foundation::IAsyncOperationProgressHandler<IRandomAccessStream*, double>;

const std::vector<double> kAllProgress{0.1, 0.3, 0.4, 0.5, 0.7, 0.9, 1.0};

struct Outcome {
  HRESULT code = E_FAIL;  // S_OK, or the operation's error code
  AsyncStatus status = AsyncStatus::Started;
  ComPtr<IRandomAccessStream> result;
  std::vector<double> progress;
};

Outcome Finish(Operation* operation) {
  Outcome out;
  out.code = korvane::winrt::WaitForCompletion(operation, std::chrono::seconds(120));
  ComPtr<IAsyncInfo> info;
  EXPECT_EQ(S_OK, operation->QueryInterface(IID_PPV_ARGS(&info)));
  EXPECT_EQ(S_OK, info->get_Status(&out.status));
  if (out.status == AsyncStatus::Completed) {
    EXPECT_EQ(S_OK, operation->GetResults(&out.result));
  }
  return out;
}

ComPtr<TestSourceStream> Source(std::vector<uint8_t> bytes) {
  return MakeRuntimeObject<TestSourceStream>(std::move(bytes));
}

class JpegEncoderTest : public ::testing::Test {
 protected:
  // Encodes what `source` holds, keeping its first get_Size waiting until the progress handler
  // is attached, so that every value is seen. `onProgress` runs on the encode's thread.
  Outcome Encode(const ComPtr<TestSourceStream>& source, UINT32 width, UINT32 height,
                 std::function<void(Operation*, double)> onProgress = {}) {
    source->HoldSize();
    ComPtr<Operation> operation;
    EXPECT_EQ(S_OK, encoder->EncodeAsync(source.Get(), width, height, &operation));
    auto seen = std::make_shared<std::pair<std::mutex, std::vector<double>>>();
    EXPECT_EQ(S_OK, operation->put_Progress(Callback<ProgressHandler>([seen, onProgress](Operation* op, double value) {
                                              {
                                                std::lock_guard lock(seen->first);
                                                seen->second.push_back(value);
                                              }
                                              if (onProgress) onProgress(op, value);
                                            }).Get()));
    source->ReleaseSize();
    Outcome out = Finish(operation.Get());
    std::lock_guard lock(seen->first);
    out.progress = seen->second;
    return out;
  }

  ComPtr<IJpegEncoder> encoder = MakeRuntimeObject<korvane::JpegEncoder>();
};

struct SourceCase {
  const char* name;
  UINT32 width, height;
  size_t bytes;
  HRESULT expected;
  bool read;  // whether the planes were read
};

void PrintTo(const SourceCase& c, std::ostream* out) { *out << c.name; }

class SourceSizeTest : public JpegEncoderTest, public ::testing::WithParamInterface<SourceCase> {};

TEST_P(SourceSizeTest, EncodeAsync_SourceSize_CheckedBeforeReading) {
  const SourceCase& c = GetParam();
  ComPtr<TestSourceStream> source = Source(std::vector<uint8_t>(c.bytes, 0x80));
  const Outcome out = Encode(source, c.width, c.height);
  EXPECT_EQ(c.expected, out.code);
  EXPECT_EQ(c.expected == S_OK ? AsyncStatus::Completed : AsyncStatus::Error, out.status);
  EXPECT_EQ(c.read, source->Reads() > 0);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, SourceSizeTest,
    ::testing::Values(SourceCase{"Size2x2Exact", 2, 2, 6, S_OK, true},
                      SourceCase{"Size2x2OneShort", 2, 2, 5, kNotReady, false},
                      SourceCase{"Size2x2OneOver", 2, 2, 7, kNotReady, false},
                      SourceCase{"Size3x3OneShort", 3, 3, 13, kNotReady, false},
                      SourceCase{"Size3x3OneOver", 3, 3, 15, kNotReady, false},
                      // Odd sides pass the size check, but their packed chroma lacks the last
                      // column or row of pairs: the imaging encoder refuses it unread.
                      SourceCase{"OddWidth3x3Exact", 3, 3, 14, E_INVALIDARG, true},
                      SourceCase{"OddHeight4x3Exact", 4, 3, 18, WINCODEC_ERR_INSUFFICIENTBUFFER, true},
                      // In 32 bits these sizes wrap to 0 and to 32768 bytes.
                      SourceCase{"LumaBeyond32Bits", 65536, 65536, 0, kNotReady, false},
                      SourceCase{"TotalBeyond32Bits", 65536, 43691, 32768, kNotReady, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(JpegEncoderTest, EncodeAsync_SourceNotAtStart_ShortReadFails) {
  ComPtr<TestSourceStream> source = Source(std::vector<uint8_t>(6, 0x80));
  ASSERT_EQ(S_OK, source->Seek(1));
  const Outcome out = Encode(source, 2, 2);
  EXPECT_EQ(kNotReady, out.code);
  EXPECT_EQ(AsyncStatus::Error, out.status);
  EXPECT_EQ(std::vector<double>{0.1}, out.progress);
}

struct ArgumentCase {
  const char* name;
  bool source;
  UINT32 width, height;
  const char* named;  // what the failure's message names
};

void PrintTo(const ArgumentCase& c, std::ostream* out) { *out << c.name; }

class ArgumentOrderTest : public ::testing::TestWithParam<ArgumentCase> {};

TEST_P(ArgumentOrderTest, Run_BadArguments_FirstFailingCheckReported) {
  const ArgumentCase& c = GetParam();
  korvane::JpegEncodeJob job(nullptr, c.source ? Source({}) : nullptr, c.width, c.height);
  try {
    job.Run({}, {});
    FAIL() << "no failure";
  } catch (const Platform::Exception& e) {
    EXPECT_EQ(kNotReady, e.HResult());
    EXPECT_NE(std::string::npos, e.Message().find(c.named)) << e.Message();
  }
}

INSTANTIATE_TEST_SUITE_P(Arguments, ArgumentOrderTest,
                         ::testing::Values(ArgumentCase{"NullSourceZeroWidth", false, 0, 0, "source stream is null"},
                                           ArgumentCase{"ZeroWidthZeroHeight", true, 0, 0, "width is 0"},
                                           ArgumentCase{"ZeroHeight", true, 4, 0, "height is 0"},
                                           ArgumentCase{"WrongSize", true, 4, 4, "holds 0 bytes"}),
                         [](const auto& info) { return std::string(info.param.name); });

class CancelTest : public JpegEncoderTest, public ::testing::WithParamInterface<double> {};

// Handlers run on the reporting thread, so cancelling from one lands exactly between two stages:
// the stage that reported has finished, the later ones are skipped. At 0.7 the pixels are not
// written; at 0.9 they are, and the commits are skipped; either way no 1.0 and a null result.
TEST_P(CancelTest, EncodeAsync_CancelledFromProgressHandler_LaterStagesSkippedNullResult) {
  const double cancelAt = GetParam();
  const Nv12Picture picture = MakeNv12Picture(64, 48);
  const Outcome out = Encode(Source(picture.Bytes()), 64, 48, [cancelAt](Operation* op, double value) {
    ComPtr<IAsyncInfo> info;
    if (value == cancelAt && SUCCEEDED(op->QueryInterface(IID_PPV_ARGS(&info)))) info->Cancel();
  });
  EXPECT_EQ(S_OK, out.code);
  EXPECT_EQ(AsyncStatus::Completed, out.status);
  EXPECT_EQ(nullptr, out.result.Get());
  EXPECT_EQ(std::vector<double>(kAllProgress.begin(), std::find(kAllProgress.begin(), kAllProgress.end(), cancelAt) + 1),
            out.progress);
}

INSTANTIATE_TEST_SUITE_P(Stages, CancelTest, ::testing::ValuesIn(kAllProgress), [](const auto& info) {
  return "At" + std::to_string(static_cast<int>(info.param * 100 + 0.5)) + "Percent";
});

TEST_F(JpegEncoderTest, EncodeAsync_EncoderReleasedByClient_LivesUntilEncodeEnds) {
  ComPtr<IWeakReferenceSource> weakSource;
  ComPtr<IWeakReference> weak;
  ASSERT_EQ(S_OK, encoder.As(&weakSource));
  ASSERT_EQ(S_OK, weakSource->GetWeakReference(&weak));
  weakSource.Reset();
  ComPtr<TestSourceStream> source = Source(MakeNv12Picture(32, 32).Bytes());
  source->HoldSize();
  ComPtr<Operation> operation;
  ASSERT_EQ(S_OK, encoder->EncodeAsync(source.Get(), 32, 32, &operation));
  encoder.Reset();
  EXPECT_NE(nullptr, ResolveWeak<IJpegEncoder>(weak.Get()).Get());  // the operation holds it
  source->ReleaseSize();
  const Outcome out = Finish(operation.Get());
  EXPECT_EQ(S_OK, out.code);
  EXPECT_NE(nullptr, out.result.Get());
  EXPECT_EQ(nullptr, ResolveWeak<IJpegEncoder>(weak.Get()).Get());  // and lets go when it ends
}

// Each result is left where the encoder's last write put it: at the end of a 4:2:0 JPEG of its
// picture. (The full progress sequence is the cancel table's last row; the imaging encoder's
// tests cover the sizes, 1920 x 1080 among them.)
TEST_F(JpegEncoderTest, EncodeAsync_EightAtOnceOnOneEncoder_EachJpegIsItsPicture) {
  std::vector<Nv12Picture> pictures;
  std::vector<ComPtr<Operation>> operations(8);
  for (size_t i = 0; i < operations.size(); ++i) {
    pictures.push_back(MakeNv12Picture(UINT32(160 + 32 * i), UINT32(96 + 16 * i)));
    ASSERT_EQ(S_OK, encoder->EncodeAsync(MemoryStream(pictures[i].Bytes()).Get(), pictures[i].width,
                                         pictures[i].height, &operations[i]));
  }
  for (size_t i = 0; i < operations.size(); ++i) {
    const Outcome out = Finish(operations[i].Get());
    ASSERT_EQ(S_OK, out.code) << "encode " << i;
    UINT64 size = 0, position = 0;
    EXPECT_EQ(S_OK, out.result->get_Size(&size));
    EXPECT_EQ(S_OK, out.result->get_Position(&position));
    EXPECT_EQ(size, position) << "encode " << i;
    const DecodedYuv decoded = DecodeToYuv(StreamBytes(out.result.Get()));
    EXPECT_EQ((std::vector<int>{int(pictures[i].width), int(pictures[i].height), TJSAMP_420}),
              (std::vector<int>{decoded.width, decoded.height, decoded.subsampling}));
    EXPECT_GE(WorstPlanePsnr(pictures[i], decoded), 35) << "encode " << i;
  }
}

}  // namespace
