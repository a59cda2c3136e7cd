// The reader over a source of the test's own (the seam a scripted source plugs into): each
// kind of source result reaches the callback as the flags say, a failure stays, a refused seek
// is reported, and a stream that brings its own source is read through it.
#include "ReaderHarness.h"

#include "platform/com/RuntimeClass.h"
#include "platform/mf/MediaSource.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace korvane::mf::test {
namespace {

constexpr HRESULT kRefused = MF_E_INVALID_POSITION;
constexpr int64_t kRefusedPosition = 777;

struct Step {
  SourceRead::Kind kind;
  int64_t time = 0;
  std::optional<int64_t> duration;
  HRESULT error = S_OK;
};
Step Frame(int64_t time, std::optional<int64_t> duration) { return Step{SourceRead::Kind::kFrame, time, duration, S_OK}; }
Step Tick(int64_t time) { return Step{SourceRead::Kind::kStreamTick, time, std::nullopt, S_OK}; }
Step Nothing() { return Step{SourceRead::Kind::kNothing, 0, std::nullopt, S_OK}; }
Step Failure(HRESULT error) { return Step{SourceRead::Kind::kError, 0, std::nullopt, error}; }

// Plays its steps in order; a frame's picture is flat luma (step index + 1) × 10.
class FakeSource final : public MediaSource {
 public:
  explicit FakeSource(std::vector<Step> steps) : steps_(std::move(steps)) {
    info_.videoSubtype = MFVideoFormat_H264;
    info_.width = 64;
    info_.height = 32;
    info_.rotation = 90;
    info_.duration = 1'000;
  }
  const MediaSourceInfo& Info() const override { return info_; }
  SourceRead ReadNext() override {
    if (next_ >= steps_.size()) return SourceRead{SourceRead::Kind::kEndOfStream, 0, std::nullopt, S_OK};
    current_ = next_++;
    const Step& step = steps_[current_];
    return SourceRead{step.kind, step.time, step.duration, step.error};
  }
  HRESULT Render(const PictureTarget& target) override {
    const uint8_t luma = static_cast<uint8_t>((current_ + 1) * 10);
    for (uint32_t row = 0; row < target.height; ++row) std::memset(target.planes[0] + row * target.pitches[0], luma, target.width);
    for (uint32_t row = 0; row < target.height / 2; ++row)
      std::memset(target.planes[1] + row * target.pitches[1], 128, target.width);
    return S_OK;
  }
  HRESULT Seek(int64_t position) override {
    if (position == kRefusedPosition) return kRefused;
    next_ = 0;
    return S_OK;
  }
  void Flush() override {}

 private:
  MediaSourceInfo info_;
  std::vector<Step> steps_;
  size_t next_ = 0;
  size_t current_ = 0;
};

class SeamTest : public ::testing::Test {
 protected:
  void Open(std::vector<Step> steps) {
    callback_ = MakeComObject<RecordingCallback>();
    ComPtr<IMFAttributes> attributes;
    ASSERT_EQ(MFCreateAttributes(&attributes, 1), S_OK);
    attributes->SetUnknown(MF_SOURCE_READER_ASYNC_CALLBACK, callback_.Get());
    ASSERT_EQ(CreateSourceReaderOnSource(std::make_unique<FakeSource>(std::move(steps)), attributes.Get(), &reader_),
              S_OK);
  }
  Completion Read() {
    OpenReader open;
    open.reader = reader_;
    open.callback = callback_;
    return ReadOne(open);
  }
  static int LumaOf(IMFSample* sample) {
    ComPtr<IMFMediaBuffer> buffer;
    BYTE* bytes = nullptr;
    if (FAILED(sample->GetBufferByIndex(0, &buffer)) || FAILED(buffer->Lock(&bytes, nullptr, nullptr))) return -1;
    const int luma = bytes[0];
    buffer->Unlock();
    return luma;
  }

  ComPtr<RecordingCallback> callback_;
  ComPtr<IMFSourceReader> reader_;
};

TEST_F(SeamTest, ReadSample_EachResultKind) {
  Open({Frame(0, 100), Tick(150), Nothing(), Frame(200, std::nullopt), Failure(E_ABORT)});
  Completion frame = Read();
  ASSERT_TRUE(frame.sample);
  LONGLONG duration = 0;
  EXPECT_EQ(frame.sample->GetSampleDuration(&duration), S_OK);
  EXPECT_EQ(duration, 100);
  EXPECT_EQ(LumaOf(frame.sample.Get()), 10);
  D3D11_TEXTURE2D_DESC desc{};
  TextureOf(frame.sample.Get(), &desc);
  EXPECT_EQ(desc.Width, 32u);  // upright: the 90° source is turned
  EXPECT_EQ(desc.Height, 64u);

  Completion tick = Read();
  EXPECT_EQ(tick.flags, static_cast<DWORD>(MF_SOURCE_READERF_STREAMTICK));
  EXPECT_EQ(tick.time, 150);
  EXPECT_FALSE(tick.sample);

  Completion nothing = Read();
  EXPECT_EQ(nothing.flags, 0u);
  EXPECT_EQ(nothing.status, S_OK);
  EXPECT_FALSE(nothing.sample);

  Completion bare = Read();
  ASSERT_TRUE(bare.sample);
  EXPECT_EQ(bare.time, 200);
  EXPECT_EQ(bare.sample->GetSampleDuration(&duration), MF_E_NO_SAMPLE_DURATION);
  EXPECT_EQ(LumaOf(bare.sample.Get()), 40);

  for (int repeat = 0; repeat < 2; ++repeat) {
    Completion error = Read();
    EXPECT_EQ(error.flags, static_cast<DWORD>(MF_SOURCE_READERF_ERROR));
    EXPECT_EQ(error.status, E_ABORT);
    EXPECT_FALSE(error.sample);
  }
  PROPVARIANT position = Position(0);
  EXPECT_EQ(reader_->SetCurrentPosition(GUID_NULL, position), E_ABORT);
}

TEST_F(SeamTest, SetCurrentPosition_Refused) {
  Open({Frame(0, 100), Frame(100, 100)});
  Read();
  PROPVARIANT position = Position(kRefusedPosition);
  EXPECT_EQ(reader_->SetCurrentPosition(GUID_NULL, position), kRefused);
  EXPECT_EQ(Read().time, 100);  // still usable, where it was
  position = Position(0);
  EXPECT_EQ(reader_->SetCurrentPosition(GUID_NULL, position), S_OK);
  EXPECT_EQ(Read().time, 0);
  EXPECT_EQ(Read().time, 100);
  EXPECT_EQ(Read().flags, static_cast<DWORD>(MF_SOURCE_READERF_ENDOFSTREAM));
}

TEST_F(SeamTest, NativeType_FromSourceInfo) {
  Open({});
  ComPtr<IMFMediaType> native;
  ASSERT_EQ(reader_->GetNativeMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, &native), S_OK);
  UINT32 value = 0;
  UINT64 rate = 0;
  EXPECT_EQ(native->GetUINT32(MF_MT_VIDEO_ROTATION, &value), S_OK);
  EXPECT_EQ(value, 90u);
  EXPECT_EQ(native->GetUINT64(MF_MT_FRAME_RATE, &rate), MF_E_ATTRIBUTENOTFOUND);
  EXPECT_EQ(native->GetUINT64(MF_MT_PIXEL_ASPECT_RATIO, &rate), MF_E_ATTRIBUTENOTFOUND);
  EXPECT_EQ(native->GetUINT32(MF_MT_FRAME_SIZE, &value), MF_E_INVALIDTYPE);
  ComPtr<IMFMediaType> next;
  EXPECT_EQ(reader_->GetNativeMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 1, &next), MF_E_NO_MORE_TYPES);
  PROPVARIANT duration;
  ASSERT_EQ(reader_->GetPresentationAttribute(MF_SOURCE_READER_MEDIASOURCE, MF_PD_DURATION, &duration), S_OK);
  EXPECT_EQ(duration.uhVal.QuadPart, 1'000u);
}

// A random-access stream that brings its own source; its bytes are never read.
class SourceBringingStream final
    : public korvane::com::RuntimeClass<korvane::com::kPlainRuntimeClass, ABI::Windows::Storage::Streams::IRandomAccessStream,
                                        korvane::winrt::IRandomAccessStreamIo, IMediaSourceFactory> {
 public:
  HRESULT get_Size(UINT64* value) override { return *value = 0, S_OK; }
  HRESULT put_Size(UINT64) override { return E_NOTIMPL; }
  HRESULT get_Position(UINT64* value) override { return *value = 0, S_OK; }
  HRESULT Seek(UINT64) override { return S_OK; }
  HRESULT CloneStream(ABI::Windows::Storage::Streams::IRandomAccessStream**) override { return E_NOTIMPL; }
  HRESULT get_CanRead(BOOL* value) override { return *value = TRUE, S_OK; }
  HRESULT get_CanWrite(BOOL* value) override { return *value = FALSE, S_OK; }
  HRESULT ReadAt(void*, ULONG, ULONG* read) override { return *read = 0, S_OK; }
  HRESULT WriteAt(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
  HRESULT CreateMediaSource(std::unique_ptr<MediaSource>* source) override {
    *source = std::make_unique<FakeSource>(std::vector<Step>{Frame(5, 10)});
    return S_OK;
  }

 protected:
  const char* RuntimeClassNameText() const override { return "Korvane.Test.SourceBringingStream"; }
};

TEST(SeamFactoryTest, CreateSourceReader_UsesStreamsSource) {
  MfStarted started;
  ComPtr<SourceBringingStream> stream = MakeComObject<SourceBringingStream>();
  ComPtr<IMFByteStream> byteStream;
  ASSERT_EQ(MFCreateMFByteStreamOnStreamEx(static_cast<IInspectable*>(stream.Get()), &byteStream), S_OK);
  ComPtr<RecordingCallback> callback = MakeComObject<RecordingCallback>();
  ComPtr<IMFAttributes> attributes;
  ASSERT_EQ(MFCreateAttributes(&attributes, 1), S_OK);
  attributes->SetUnknown(MF_SOURCE_READER_ASYNC_CALLBACK, callback.Get());
  OpenReader open;
  open.callback = callback;
  ASSERT_EQ(MFCreateSourceReaderFromByteStream(byteStream.Get(), attributes.Get(), &open.reader), S_OK);
  Completion c = ReadOne(open);
  ASSERT_TRUE(c.sample);
  EXPECT_EQ(c.time, 5);
}

}  // namespace
}  // namespace korvane::mf::test
