// Positioning and flushing the asynchronous reader: seeks land on the key frame at or before
// the position and reading on reaches the frame there; a seek while a read is pending is
// refused; a flush drops pending reads and completes once.
#include "ReaderHarness.h"

#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

namespace korvane::mf::test {
namespace {

using korvane::test::ReferenceFrame;
using korvane::test::TestVideoKind;

// The reference frame shown at `time`: the last one starting at or before it.
size_t FrameAt(const std::vector<ReferenceFrame>& frames, int64_t time) {
  size_t found = 0;
  for (size_t i = 0; i < frames.size(); ++i)
    if (frames[i].time100ns <= time) found = i;
  return found;
}

// (file, position as a fraction of the last frame's time)
class SeekTest : public ::testing::TestWithParam<std::tuple<TestVideoKind, double>> {
 protected:
  MfStarted started_;
};

TEST_P(SeekTest, SetCurrentPosition_LandsOnKeyFrameAtOrBefore) {
  const auto [kind, fraction] = GetParam();
  const std::string& path = korvane::test::TestVideo(kind);
  const std::vector<ReferenceFrame> reference = korvane::test::DecodeReference(path, false);
  ASSERT_FALSE(reference.empty());
  const int64_t target = static_cast<int64_t>(static_cast<double>(reference.back().time100ns) * fraction);
  const size_t targetFrame = FrameAt(reference, target);

  OpenReader open = OpenFile(path);
  ASSERT_EQ(open.hr, S_OK);
  ReadOne(open);  // the reader has been reading before it is positioned
  PROPVARIANT position = Position(target);
  ASSERT_EQ(open.reader->SetCurrentPosition(GUID_NULL, position), S_OK);

  Completion first = ReadOne(open);
  ASSERT_EQ(first.flags, 0u);
  ASSERT_TRUE(first.sample);
  const size_t landed = FrameAt(reference, first.time);
  EXPECT_EQ(reference[landed].time100ns, first.time);
  EXPECT_LE(first.time, target);
  EXPECT_TRUE(reference[landed].keyFrame) << "landed on frame " << landed;
  EXPECT_EQ(FrameIndexOf(open, TextureOf(first.sample.Get()).Get()), static_cast<int>(landed));

  // Reading on delivers the following frames, without gaps, up to the target.
  for (size_t expected = landed + 1; expected <= targetFrame; ++expected) {
    Completion next = ReadOne(open);
    ASSERT_TRUE(next.sample);
    ASSERT_EQ(next.time, reference[expected].time100ns);
    EXPECT_EQ(FrameIndexOf(open, TextureOf(next.sample.Get()).Get()), static_cast<int>(expected));
  }
}

INSTANTIATE_TEST_SUITE_P(
    GeneratedFiles, SeekTest,
    ::testing::Combine(::testing::Values(TestVideoKind::H264Mp4, TestVideoKind::H264OpenGopMp4, TestVideoKind::Mpeg4Avi,
                                         TestVideoKind::Vp9Webm, TestVideoKind::HevcMkv, TestVideoKind::Mpeg2Ts),
                       ::testing::Values(0.0, 0.3, 0.55, 0.97, 2.0)),
    [](const auto& info) {
      return std::string(korvane::test::TestVideoKindName(std::get<0>(info.param))) + "_at" +
             std::to_string(static_cast<int>(std::get<1>(info.param) * 100));
    });

class ReaderControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    open_ = OpenFile(korvane::test::TestVideo(TestVideoKind::H264Mp4));
    ASSERT_EQ(open_.hr, S_OK);
  }
  HRESULT Read() {
    return open_.reader->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, nullptr, nullptr, nullptr, nullptr);
  }

  MfStarted started_;
  OpenReader open_;
};

TEST_F(ReaderControlTest, SetCurrentPosition_ReadPending) {
  // The first callback is held, so the second read is pending for certain.
  open_.callback->Close();
  ASSERT_EQ(Read(), S_OK);
  ASSERT_EQ(Read(), S_OK);
  ASSERT_TRUE(open_.callback->WaitForCount(1));
  PROPVARIANT position = Position(0);
  EXPECT_EQ(open_.reader->SetCurrentPosition(GUID_NULL, position), MF_E_INVALIDREQUEST);
  open_.callback->Open();
  ASSERT_TRUE(open_.callback->WaitForCount(2));
  // Nothing pending any more: the seek goes through.
  EXPECT_EQ(open_.reader->SetCurrentPosition(GUID_NULL, position), S_OK);
}

TEST_F(ReaderControlTest, Flush_DropsPendingReads) {
  open_.callback->Close();
  ASSERT_EQ(Read(), S_OK);
  ASSERT_EQ(Read(), S_OK);
  ASSERT_EQ(Read(), S_OK);
  ASSERT_TRUE(open_.callback->WaitForCount(1));  // held inside the first read's callback
  ASSERT_EQ(open_.reader->Flush(MF_SOURCE_READER_FIRST_VIDEO_STREAM), S_OK);
  EXPECT_EQ(Read(), MF_E_NOTACCEPTING);
  open_.callback->Open();
  ASSERT_TRUE(open_.callback->WaitForCount(2));
  Completion flush = open_.callback->At(1);
  EXPECT_EQ(flush.kind, Completion::Kind::kFlush);
  EXPECT_EQ(flush.streamIndex, MF_SOURCE_READER_FIRST_VIDEO_STREAM);
  EXPECT_NE(flush.thread, std::this_thread::get_id());

  // Reading is accepted again; the dropped reads never complete (the work thread runs in order,
  // so they would have come before this one).
  PROPVARIANT position = Position(0);
  ASSERT_EQ(open_.reader->SetCurrentPosition(GUID_NULL, position), S_OK);
  Completion after = ReadOne(open_);
  EXPECT_EQ(after.kind, Completion::Kind::kRead);
  EXPECT_EQ(after.time, 0);
  EXPECT_EQ(open_.callback->Count(), 3u);
}

TEST_F(ReaderControlTest, SetCurrentPosition_FromInsideCallback) {
  // The decoder seeks and reads again from its completions; that must work on the work thread.
  open_.callback->SetHook([this](const Completion& c) {
    if (c.kind != Completion::Kind::kRead || c.time == 0) return;
    PROPVARIANT position = Position(0);
    EXPECT_EQ(open_.reader->SetCurrentPosition(GUID_NULL, position), S_OK);
    EXPECT_EQ(Read(), S_OK);
  });
  ReadOne(open_);
  ReadOne(open_);  // its hook seeks back to the start and reads
  ASSERT_TRUE(open_.callback->WaitForCount(3));
  EXPECT_EQ(open_.callback->At(2).time, 0);
}

TEST_F(ReaderControlTest, Release_WhileCallbackRuns) {
  // The last Release comes while the work thread is held inside a callback: it must not wait
  // for that callback, which finishes afterwards, and nothing more is called.
  open_.callback->Close();
  ASSERT_EQ(Read(), S_OK);
  ASSERT_EQ(Read(), S_OK);
  ASSERT_TRUE(open_.callback->WaitForCount(1));
  open_.reader.Reset();
  open_.callback->Open();
  EXPECT_TRUE(open_.callback->WaitUntilOnlyOwner());
  EXPECT_EQ(open_.callback->Count(), 1u);
}

TEST_F(ReaderControlTest, Release_FromInsideCallback) {
  ComPtr<IMFSourceReader> reader = open_.reader;
  open_.reader.Reset();
  std::atomic<bool> once{false};
  open_.callback->SetHook([&](const Completion&) {
    if (!once.exchange(true)) reader.Reset();  // the last reference, on the work thread
  });
  ASSERT_EQ(reader->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, nullptr, nullptr, nullptr, nullptr), S_OK);
  EXPECT_TRUE(open_.callback->WaitUntilOnlyOwner());
  EXPECT_EQ(open_.callback->Count(), 1u);
}

}  // namespace
}  // namespace korvane::mf::test
