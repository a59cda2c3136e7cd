// The reader over a source of the test's own (the seam a scripted source plugs into): each
// kind of source result reaches the callback as the flags say, a failure stays, a refused seek
// is reported, and a stream that brings its own source is read through it.
#include "ReaderHarness.h"

#include "platform/mf/MediaSource.h"
#include "support/ScriptedMediaSource.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace korvane::mf::test {
namespace {

constexpr HRESULT kRefused = MF_E_INVALID_POSITION;
constexpr int64_t kRefusedPosition = 777;

using Kind = SourceRead::Kind;
SourceRead Frame(int64_t time, std::optional<int64_t> duration) { return {Kind::kFrame, time, duration, S_OK}; }
SourceRead Tick(int64_t time) { return {Kind::kStreamTick, time, std::nullopt, S_OK}; }
SourceRead Nothing() { return {Kind::kNothing, 0, std::nullopt, S_OK}; }
SourceRead Failure(HRESULT error) { return {Kind::kError, 0, std::nullopt, error}; }

// Plays its steps in order; a frame's picture is flat luma (step index + 1) × 10.
class FakeSource final : public MediaSource {
 public:
  explicit FakeSource(std::vector<SourceRead> steps) : steps_(std::move(steps)) {
    info_.videoSubtype = MFVideoFormat_H264;
    info_.width = 64;
    info_.height = 32;
    info_.rotation = 90;
    info_.duration = 1'000;
  }
  const MediaSourceInfo& Info() const override { return info_; }
  SourceRead ReadNext() override {
    if (next_ >= steps_.size()) return {Kind::kEndOfStream, 0, std::nullopt, S_OK};
    current_ = next_++;
    return steps_[current_];
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
  std::vector<SourceRead> steps_;
  size_t next_ = 0;
  size_t current_ = 0;
};

// The reader's attributes: only the asynchronous callback.
ComPtr<IMFAttributes> CallbackOnly(RecordingCallback* callback) {
  ComPtr<IMFAttributes> attributes;
  EXPECT_EQ(MFCreateAttributes(&attributes, 1), S_OK);
  attributes->SetUnknown(MF_SOURCE_READER_ASYNC_CALLBACK, callback);
  return attributes;
}

class SeamTest : public ::testing::Test {
 protected:
  void Open(std::vector<SourceRead> steps) {
    open_.callback = MakeComObject<RecordingCallback>();
    ASSERT_EQ(CreateSourceReaderOnSource(std::make_unique<FakeSource>(std::move(steps)),
                                         CallbackOnly(open_.callback.Get()).Get(), &open_.reader),
              S_OK);
  }
  Completion Read() { return ReadOne(open_); }
  static int LumaOf(IMFSample* sample) {
    ComPtr<IMFMediaBuffer> buffer;
    BYTE* bytes = nullptr;
    if (FAILED(sample->GetBufferByIndex(0, &buffer)) || FAILED(buffer->Lock(&bytes, nullptr, nullptr))) return -1;
    const int luma = bytes[0];
    buffer->Unlock();
    return luma;
  }

  OpenReader open_;
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
  EXPECT_EQ(open_.reader->SetCurrentPosition(GUID_NULL, position), E_ABORT);
}

TEST_F(SeamTest, SetCurrentPosition_Refused) {
  Open({Frame(0, 100), Frame(100, 100)});
  Read();
  PROPVARIANT position = Position(kRefusedPosition);
  EXPECT_EQ(open_.reader->SetCurrentPosition(GUID_NULL, position), kRefused);
  EXPECT_EQ(Read().time, 100);  // still usable, where it was
  position = Position(0);
  EXPECT_EQ(open_.reader->SetCurrentPosition(GUID_NULL, position), S_OK);
  EXPECT_EQ(Read().time, 0);
  EXPECT_EQ(Read().time, 100);
  EXPECT_EQ(Read().flags, static_cast<DWORD>(MF_SOURCE_READERF_ENDOFSTREAM));
}

TEST_F(SeamTest, NativeType_FromSourceInfo) {
  Open({});
  ComPtr<IMFMediaType> native;
  ASSERT_EQ(open_.reader->GetNativeMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, &native), S_OK);
  UINT32 value = 0;
  UINT64 rate = 0;
  EXPECT_EQ(native->GetUINT32(MF_MT_VIDEO_ROTATION, &value), S_OK);
  EXPECT_EQ(value, 90u);
  EXPECT_EQ(native->GetUINT64(MF_MT_FRAME_RATE, &rate), MF_E_ATTRIBUTENOTFOUND);
  EXPECT_EQ(native->GetUINT64(MF_MT_PIXEL_ASPECT_RATIO, &rate), MF_E_ATTRIBUTENOTFOUND);
  EXPECT_EQ(native->GetUINT32(MF_MT_FRAME_SIZE, &value), MF_E_INVALIDTYPE);
  ComPtr<IMFMediaType> next;
  EXPECT_EQ(open_.reader->GetNativeMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 1, &next), MF_E_NO_MORE_TYPES);
  PROPVARIANT duration;
  ASSERT_EQ(open_.reader->GetPresentationAttribute(MF_SOURCE_READER_MEDIASOURCE, MF_PD_DURATION, &duration), S_OK);
  EXPECT_EQ(duration.uhVal.QuadPart, 1'000u);
}

// A reader over a scripted stream of two frames, at 5 and 15.
class SeamFactoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto script = std::make_shared<ScriptedSource>();
    script->info.videoSubtype = MFVideoFormat_H264;
    script->info.width = 64;
    script->info.height = 32;
    script->frames = {{.time = 5, .duration = 10}, {.time = 15, .duration = 10}};
    ASSERT_EQ(CreateScriptedStream(script, std::make_shared<ScriptedSourceLog>(), &stream_), S_OK);
    ComPtr<IMFByteStream> byteStream;
    ASSERT_EQ(MFCreateMFByteStreamOnStreamEx(stream_.Get(), &byteStream), S_OK);
    open_.callback = MakeComObject<RecordingCallback>();
    ASSERT_EQ(
        MFCreateSourceReaderFromByteStream(byteStream.Get(), CallbackOnly(open_.callback.Get()).Get(), &open_.reader),
        S_OK);
  }

  MfStarted started_;
  ComPtr<ABI::Windows::Storage::Streams::IRandomAccessStream> stream_;
  OpenReader open_;
};

// A random-access stream that brings its own source: its bytes are never read.
TEST_F(SeamFactoryTest, CreateSourceReader_UsesStreamsSource) {
  Completion c = ReadOne(open_);
  ASSERT_TRUE(c.sample);
  EXPECT_EQ(c.time, 5);
}

// The front end closes a stream it replaces, as it would a file stream; the reader made on it
// keeps its source.
TEST_F(SeamFactoryTest, ScriptedStreamClose_StreamRefusesReaderReadsOn) {
  ComPtr<ABI::Windows::Foundation::IClosable> closable;
  ASSERT_EQ(stream_.As(&closable), S_OK);
  ASSERT_EQ(closable->Close(), S_OK);
  EXPECT_EQ(closable->Close(), S_OK) << "closing twice";
  BOOL canRead = FALSE;
  EXPECT_EQ(stream_->get_CanRead(&canRead), RO_E_CLOSED);
  ComPtr<ABI::Windows::Storage::Streams::IRandomAccessStream> clone;
  EXPECT_EQ(stream_->CloneStream(&clone), RO_E_CLOSED);
  EXPECT_FALSE(clone);
  for (LONGLONG time : {5, 15}) {
    Completion c = ReadOne(open_);
    ASSERT_TRUE(c.sample);
    EXPECT_EQ(c.time, time);
  }
}

}  // namespace
}  // namespace korvane::mf::test
