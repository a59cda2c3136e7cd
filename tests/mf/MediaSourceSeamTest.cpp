// The reader over a source of the test's own (the seam a scripted source plugs into): each
// kind of source result reaches the callback as the flags say, a failure stays, a refused seek
// is reported, and a stream that brings its own source is read through it.
#include "ReaderHarness.h"

#include "platform/mf/MediaSource.h"
#include "support/ScriptedMediaSource.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

namespace korvane::mf::test {
namespace {

constexpr HRESULT kRefused = MF_E_INVALID_POSITION;
constexpr int64_t kRefusedPosition = 777;

// A key frame whose picture has flat luma `value`.
ScriptedFrame Frame(int64_t time, std::optional<int64_t> duration, uint8_t value = 0) {
  ScriptedFrame frame;
  frame.time = time;
  frame.duration = duration;
  frame.value = value;
  return frame;
}

// A 64 × 32 source turned 90°, lasting 1000, with no frame rate or pixel aspect.
ScriptedSource Script(std::vector<ScriptedFrame> frames) {
  ScriptedSource script;
  script.info.videoSubtype = MFVideoFormat_H264;
  script.info.width = 64;
  script.info.height = 32;
  script.info.rotation = 90;
  script.info.duration = 1'000;
  script.frames = std::move(frames);
  script.faults.refusedSeeks = {kRefusedPosition};
  script.faults.seekError = kRefused;
  return script;
}

class SeamTest : public ::testing::Test {
 protected:
  // Opens a reader over the script, with only the asynchronous callback, or over a stream that
  // brings its own source (`viaStream`).
  void Open(ScriptedSource script, bool viaStream = false) {
    open_.callback = MakeComObject<RecordingCallback>();
    ComPtr<IMFAttributes> attributes;
    ASSERT_EQ(MFCreateAttributes(&attributes, 1), S_OK);
    attributes->SetUnknown(MF_SOURCE_READER_ASYNC_CALLBACK, open_.callback.Get());
    auto shared = std::make_shared<ScriptedSource>(std::move(script));
    if (!viaStream) {
      ASSERT_EQ(CreateSourceReaderOnSource(std::make_unique<ScriptedMediaSource>(shared, log_), attributes.Get(),
                                           &open_.reader),
                S_OK);
      return;
    }
    ASSERT_EQ(CreateScriptedStream(shared, log_, &stream_), S_OK);
    ComPtr<IMFByteStream> byteStream;
    ASSERT_EQ(MFCreateMFByteStreamOnStreamEx(stream_.Get(), &byteStream), S_OK);
    ASSERT_EQ(MFCreateSourceReaderFromByteStream(byteStream.Get(), attributes.Get(), &open_.reader), S_OK);
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

  MfStarted started_;
  std::shared_ptr<ScriptedSourceLog> log_ = std::make_shared<ScriptedSourceLog>();
  ComPtr<ABI::Windows::Storage::Streams::IRandomAccessStream> stream_;
  OpenReader open_;
};

TEST_F(SeamTest, ReadSample_EachResultKind) {
  ScriptedSource script = Script({Frame(0, 100, 10), Frame(200, std::nullopt, 40)});
  script.faults.streamTickBefore = {1};
  script.faults.nothingBefore = {1};
  script.faults.errorAfterFrames = 2;
  script.faults.readError = E_ABORT;
  Open(script);
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
  EXPECT_EQ(tick.time, 200);
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
  EXPECT_EQ(open_.reader->SetCurrentPosition(GUID_NULL, Position(0)), E_ABORT);
}

TEST_F(SeamTest, SetCurrentPosition_Refused) {
  Open(Script({Frame(0, 100), Frame(100, 100)}));
  Read();
  EXPECT_EQ(open_.reader->SetCurrentPosition(GUID_NULL, Position(kRefusedPosition)), kRefused);
  EXPECT_EQ(Read().time, 100);  // still usable, where it was
  EXPECT_EQ(open_.reader->SetCurrentPosition(GUID_NULL, Position(0)), S_OK);
  EXPECT_EQ(Read().time, 0);
  EXPECT_EQ(Read().time, 100);
  EXPECT_EQ(Read().flags, static_cast<DWORD>(MF_SOURCE_READERF_ENDOFSTREAM));
}

TEST_F(SeamTest, NativeType_FromSourceInfo) {
  Open(Script({}));
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

// A random-access stream that brings its own source: its bytes are never read. The front end
// closes a stream it replaces, as it would a file stream; the reader made on it keeps its
// source.
TEST_F(SeamTest, ScriptedStreamClose_StreamRefusesReaderReadsOn) {
  Open(Script({Frame(5, 10), Frame(15, 10)}), true);
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
    Completion c = Read();
    ASSERT_TRUE(c.sample);
    EXPECT_EQ(c.time, time);
  }
}

}  // namespace
}  // namespace korvane::mf::test
