#include "TestSourceStream.h"
#include "../wic/Nv12TestPicture.h"

#include "jpeg/JpegEncodeJob.h"
#include "jpeg/JpegEncoder.h"
#include "korvane/JpegEncoder.h"
#include "platform/com/ObjectCount.h"
#include "platform/wic/ComActivation.h"
#include "platform/winrt/Activation.h"
#include "platform/winrt/Async.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

namespace {

using ABI::Korvane::Native::IJpegEncoder;
using ABI::Windows::Foundation::AsyncStatus;
using ABI::Windows::Storage::Streams::IRandomAccessStream;
using korvane::testing::DecodeToYuv;
using korvane::testing::MakeNv12Picture;
using korvane::testing::Nv12Picture;
using korvane::testing::TestSourceStream;
using Operation = ABI::Windows::Foundation::IAsyncOperationWithProgress<IRandomAccessStream*, double>;
using ProgressHandler = ABI::Windows::Foundation::IAsyncOperationProgressHandler<IRandomAccessStream*, double>;

constexpr std::chrono::seconds kBound{120};
const std::vector<double> kAllProgress{0.1, 0.3, 0.4, 0.5, 0.7, 0.9, 1.0};

struct Outcome {
  HRESULT code = E_FAIL;  // the operation's final code: S_OK, or its error code
  AsyncStatus status = AsyncStatus::Started;
  ComPtr<IRandomAccessStream> result;
  std::vector<double> progress;
};

ComPtr<TestSourceStream> Source(std::vector<uint8_t> bytes) { return MakeRuntimeObject<TestSourceStream>(std::move(bytes)); }

ComPtr<IRandomAccessStream> MemorySource(const std::vector<uint8_t>& bytes) {
  const Platform::String name(korvane::winrt::kInMemoryRandomAccessStreamClassName);
  ComPtr<IInspectable> instance;
  EXPECT_EQ(S_OK, RoActivateInstance(name.Get(), &instance));
  ComPtr<IRandomAccessStream> stream;
  EXPECT_EQ(S_OK, instance.As(&stream));
  ComPtr<IStream> io;
  EXPECT_EQ(S_OK, CreateStreamOverRandomAccessStream(stream.Get(), IID_PPV_ARGS(&io)));
  ULONG written = 0;
  EXPECT_EQ(S_OK, io->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written));
  EXPECT_EQ(S_OK, stream->Seek(0));
  return stream;
}

// The whole content of `stream`, read from position 0.
std::vector<uint8_t> Content(IRandomAccessStream* stream) {
  UINT64 size = 0;
  EXPECT_EQ(S_OK, stream->get_Size(&size));
  EXPECT_EQ(S_OK, stream->Seek(0));
  ComPtr<IStream> io;
  EXPECT_EQ(S_OK, CreateStreamOverRandomAccessStream(stream, IID_PPV_ARGS(&io)));
  std::vector<uint8_t> bytes(size);
  ULONG read = 0;
  EXPECT_EQ(S_OK, io->Read(bytes.data(), static_cast<ULONG>(size), &read));
  return bytes;
}

Outcome Finish(Operation* operation) {
  Outcome out;
  out.code = korvane::winrt::WaitForCompletion(operation, kBound);
  ComPtr<ABI::Windows::Foundation::IAsyncInfo> info;
  EXPECT_EQ(S_OK, operation->QueryInterface(IID_PPV_ARGS(&info)));
  EXPECT_EQ(S_OK, info->get_Status(&out.status));
  if (out.status == AsyncStatus::Completed) {
    EXPECT_EQ(S_OK, operation->GetResults(&out.result));
  }
  return out;
}

class JpegEncoderTest : public ::testing::Test {
 protected:
  // Encodes the picture in `source`, holding the source's first get_Size until the progress
  // handler is attached so that every value is seen. `onProgress` runs on the encode's thread.
  Outcome Encode(const ComPtr<TestSourceStream>& source, UINT32 width, UINT32 height,
                 std::function<void(Operation*, double)> onProgress = {}) {
    source->HoldSize();
    ComPtr<Operation> operation;
    EXPECT_EQ(S_OK, encoder->EncodeAsync(source.Get(), width, height, &operation));
    auto seen = std::make_shared<std::pair<std::mutex, std::vector<double>>>();
    EXPECT_EQ(S_OK, operation->put_Progress(Callback<ProgressHandler>(
                                                [seen, onProgress](Operation* op, double value) {
                                                  {
                                                    std::lock_guard lock(seen->first);
                                                    seen->second.push_back(value);
                                                  }
                                                  if (onProgress) onProgress(op, value);
                                                  return S_OK;
                                                })
                                                .Get()));
    source->ReleaseSize();
    Outcome out = Finish(operation.Get());
    std::lock_guard lock(seen->first);
    out.progress = seen->second;
    return out;
  }

  ComPtr<IJpegEncoder> encoder = MakeRuntimeObject<korvane::JpegEncoder>();
};

struct Size {
  UINT32 width, height;
};

class PictureSizeTest : public JpegEncoderTest, public ::testing::WithParamInterface<Size> {};

TEST_P(PictureSizeTest, EncodeAsync_Nv12Picture_JpegIs420AndCloseToSource) {
  Nv12Picture picture = MakeNv12Picture(GetParam().width, GetParam().height);
  const Outcome out = Encode(Source(picture.Bytes()), picture.width, picture.height);
  ASSERT_EQ(S_OK, out.code);
  EXPECT_EQ(AsyncStatus::Completed, out.status);
  EXPECT_EQ(kAllProgress, out.progress);
  ASSERT_NE(nullptr, out.result.Get());
  // The stream is left where the encoder's last write put it: at the end of the JPEG.
  UINT64 size = 0, position = 0;
  EXPECT_EQ(S_OK, out.result->get_Size(&size));
  EXPECT_EQ(S_OK, out.result->get_Position(&position));
  EXPECT_GT(size, 0u);
  EXPECT_EQ(size, position);

  const std::vector<uint8_t> jpeg = Content(out.result.Get());
  ASSERT_EQ(size, jpeg.size());
  const auto decoded = DecodeToYuv(jpeg);
  EXPECT_EQ(int(picture.width), decoded.width);
  EXPECT_EQ(int(picture.height), decoded.height);
  EXPECT_EQ(TJSAMP_420, decoded.subsampling);
  const auto psnr = korvane::testing::CompareWithSource(picture, decoded);
  EXPECT_GE(psnr.y, 35);
  EXPECT_GE(psnr.cb, 35);
  EXPECT_GE(psnr.cr, 35);
}

INSTANTIATE_TEST_SUITE_P(Sizes, PictureSizeTest, ::testing::Values(Size{640, 480}, Size{1920, 1080}),
                         [](const auto& info) {
                           return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

struct SourceCase {
  const char* name;
  UINT32 width, height;
  size_t bytes;
  HRESULT expected;
  bool read;  // whether the planes were read
};

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
                      // column or row of Cb, Cr pairs; the imaging encoder refuses it unread.
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
  EXPECT_GT(source->Reads(), 0);
  EXPECT_EQ(std::vector<double>{0.1}, out.progress);
}

TEST_F(JpegEncoderTest, EncodeAsync_NullSourceAndZeroWidth_ErrorStateNotCallFailure) {
  ComPtr<Operation> operation;
  ASSERT_EQ(S_OK, encoder->EncodeAsync(nullptr, 0, 4, &operation));
  const Outcome out = Finish(operation.Get());
  EXPECT_EQ(kNotReady, out.code);
  EXPECT_EQ(AsyncStatus::Error, out.status);
  EXPECT_EQ(E_POINTER, encoder->EncodeAsync(nullptr, 0, 4, nullptr));
}

struct ArgumentCase {
  const char* name;
  bool source;
  UINT32 width, height;
  const char* named;  // what the failure's message names
};

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

TEST_P(CancelTest, EncodeAsync_CancelledFromProgressHandler_StageFinishesRestSkippedNullResult) {
  // Handlers run on the reporting thread: cancelling there lands exactly between two stages.
  const double cancelAt = GetParam();
  Nv12Picture picture = MakeNv12Picture(64, 48);
  const Outcome out = Encode(Source(picture.Bytes()), picture.width, picture.height, [cancelAt](Operation* op, double v) {
    ComPtr<ABI::Windows::Foundation::IAsyncInfo> info;
    if (v == cancelAt && SUCCEEDED(op->QueryInterface(IID_PPV_ARGS(&info)))) info->Cancel();
  });
  EXPECT_EQ(S_OK, out.code);
  EXPECT_EQ(AsyncStatus::Completed, out.status);
  EXPECT_EQ(nullptr, out.result.Get());
  std::vector<double> expected(kAllProgress.begin(), std::find(kAllProgress.begin(), kAllProgress.end(), cancelAt) + 1);
  EXPECT_EQ(expected, out.progress);
}

// 0.7 comes right before the pixels are written, 0.9 right after: cancelling there skips the
// commits, so no 1.0 arrives and the result is null.
INSTANTIATE_TEST_SUITE_P(Stages, CancelTest, ::testing::Values(0.1, 0.3, 0.4, 0.5, 0.7, 0.9, 1.0));

TEST_F(JpegEncoderTest, EncodeAsync_EncoderReleasedByClient_LivesUntilEncodeEnds) {
  ComPtr<IWeakReferenceSource> weakSource;
  ASSERT_EQ(S_OK, encoder.As(&weakSource));
  ComPtr<IWeakReference> weak;
  ASSERT_EQ(S_OK, weakSource->GetWeakReference(&weak));
  weakSource.Reset();

  Nv12Picture picture = MakeNv12Picture(32, 32);
  ComPtr<TestSourceStream> source = Source(picture.Bytes());
  source->HoldSize();
  ComPtr<Operation> operation;
  ASSERT_EQ(S_OK, encoder->EncodeAsync(source.Get(), 32, 32, &operation));
  encoder.Reset();
  EXPECT_NE(nullptr, ResolveWeak<IJpegEncoder>(weak.Get()).Get());  // the operation holds it
  source->ReleaseSize();
  const Outcome out = Finish(operation.Get());
  EXPECT_EQ(S_OK, out.code);
  EXPECT_NE(nullptr, out.result.Get());
  EXPECT_EQ(nullptr, ResolveWeak<IJpegEncoder>(weak.Get()).Get());  // let go once the encode ended
}

TEST_F(JpegEncoderTest, EncodeAsync_EightAtOnceOnOneEncoder_AllCorrect) {
  constexpr int kEncodes = 8;
  std::vector<Nv12Picture> pictures;
  std::vector<ComPtr<Operation>> operations(kEncodes);
  for (int i = 0; i < kEncodes; ++i) {
    pictures.push_back(MakeNv12Picture(160 + 32 * i, 96 + 16 * i));
    ASSERT_EQ(S_OK, encoder->EncodeAsync(MemorySource(pictures[i].Bytes()).Get(), pictures[i].width,
                                         pictures[i].height, &operations[i]));
  }
  for (int i = 0; i < kEncodes; ++i) {
    const Outcome out = Finish(operations[i].Get());
    ASSERT_EQ(S_OK, out.code) << "encode " << i;
    ASSERT_NE(nullptr, out.result.Get());
    const auto decoded = DecodeToYuv(Content(out.result.Get()));
    EXPECT_EQ(int(pictures[i].width), decoded.width);
    EXPECT_EQ(int(pictures[i].height), decoded.height);
    EXPECT_GE(korvane::testing::CompareWithSource(pictures[i], decoded).y, 35) << "encode " << i;
  }
}

// Restores both imaging factory classes whatever the test did.
struct FactoryRegistration {
  ~FactoryRegistration() {
    korvane::wic::SetImagingFactoryRegisteredForTesting(CLSID_WICImagingFactory2, true);
    korvane::wic::SetImagingFactoryRegisteredForTesting(CLSID_WICImagingFactory, true);
  }
};

TEST(JpegEncoderConstructionTest, Construct_FirstFactoryMissing_FallsBackToFirstVersion) {
  FactoryRegistration restore;
  korvane::wic::SetImagingFactoryRegisteredForTesting(CLSID_WICImagingFactory2, false);
  ComPtr<IJpegEncoder> encoder = MakeRuntimeObject<korvane::JpegEncoder>();
  Nv12Picture picture = MakeNv12Picture(16, 16);
  ComPtr<Operation> operation;
  ASSERT_EQ(S_OK, encoder->EncodeAsync(MemorySource(picture.Bytes()).Get(), 16, 16, &operation));
  EXPECT_EQ(S_OK, Finish(operation.Get()).code);
}

TEST(JpegEncoderConstructionTest, Construct_NoFactory_ThrowsAndCountsNoObject) {
  FactoryRegistration restore;
  korvane::wic::SetImagingFactoryRegisteredForTesting(CLSID_WICImagingFactory2, false);
  korvane::wic::SetImagingFactoryRegisteredForTesting(CLSID_WICImagingFactory, false);
  const int32_t before = korvane::com::ModuleObjectCount();
  try {
    MakeRuntimeObject<korvane::JpegEncoder>();
    FAIL() << "constructed without a factory";
  } catch (const Platform::Exception& e) {
    EXPECT_EQ(REGDB_E_CLASSNOTREG, e.HResult());
  }
  EXPECT_EQ(before, korvane::com::ModuleObjectCount());
}

TEST_F(JpegEncoderTest, Identity_RuntimeClass_NameInterfacesAndAgility) {
  HSTRING name = nullptr;
  ASSERT_EQ(S_OK, encoder->GetRuntimeClassName(&name));
  EXPECT_EQ("Korvane.Native.JpegEncoder", Platform::String::Attach(name).Str());
  ULONG count = 0;
  IID* iids = nullptr;
  ASSERT_EQ(S_OK, encoder->GetIids(&count, &iids));
  ASSERT_EQ(2u, count);
  EXPECT_TRUE(iids[0] == IJpegEncoder::kIid);
  EXPECT_TRUE(iids[1] == IWeakReferenceSource::kIid);
  CoTaskMemFree(iids);
  ComPtr<IAgileObject> agile;
  EXPECT_EQ(S_OK, encoder.As(&agile));
}

}  // namespace
