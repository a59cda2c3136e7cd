// The whole engine through the public interface on generated files: 200 steps forward and 200
// back, every shown frame and every iterator's neighbour the exact picture.
#include "InteropTestSupport.h"

#include "support/TestMedia.h"

#include <limits>

namespace korvane::test {
namespace {

class InteropWalk : public InteropFixture {
 protected:
  // The index a generated frame carries; -1 for the placeholder.
  int Shown(ID3D11Texture2D* texture) {
    if (IsPlaceholder(texture)) return -1;
    const TextureBytes copy = ReadTexture(device_.Get(), texture);
    return ReadFrameIndexNv12(copy.bytes.data(), copy.rowPitch, static_cast<int>(copy.desc.Width),
                              static_cast<int>(copy.desc.Height));
  }
  // Looks again after each FrameUpdated until the iterator shows `expected`; the placeholder
  // may come on the way, a wrong picture may not.
  void ExpectIteratorShows(IVideoDecoderIterator* iterator, const Counter& updates, int expected,
                           const std::string& where) {
    for (;;) {
      const size_t seen = updates.Count();
      const int shown = Shown(IteratorTexture(iterator).Get());
      if (shown == expected) return;
      if (shown != -1) ADD_FAILURE() << where << ": the iterator shows frame " << shown << ", not " << expected;
      ASSERT_TRUE(updates.WaitBeyond(seen)) << where << ": still " << shown << ", not " << expected;
    }
  }

  // Steps `steps` frames forward from frame 0 with MoveNext and back with MovePrevious; every
  // position is the exact frame, and iterators at -1, 0 and +1 show its neighbours. A walk over
  // the whole video also finds MoveNext refused at the last frame.
  void WalkForwardAndBack(const std::string& path, const std::string& name, size_t steps) {
    const std::vector<ReferenceFrame> reference = DecodeReference(path, false);
    ASSERT_GE(reference.size(), steps + 1);
    std::vector<int64_t> starts;
    for (const ReferenceFrame& frame : reference) starts.push_back(frame.time100ns);
    starts.push_back(std::numeric_limits<int64_t>::max());

    ComPtr<IRandomAccessStream> stream;
    ASSERT_EQ(S_OK, CreateRandomAccessStreamOnFile(path.c_str(), FileAccessMode_Read, IID_PPV_ARGS(&stream)));
    OpenAndWait(stream.Get());
    std::vector<ComPtr<IVideoDecoderIterator>> iterators;  // at offsets -1, 0, +1
    std::vector<std::shared_ptr<Counter>> updates;
    for (size_t k = 0; k < 3; ++k) {
      iterators.push_back(CreateIterator());
      updates.push_back(CountFrameUpdated(iterators[k].Get()));
    }

    auto check = [&](size_t frame, size_t mark) {
      const std::string where = name + " frame " + std::to_string(frame);
      ASSERT_TRUE(log_.WaitForPositionIn(starts[frame], starts[frame + 1], mark)) << where;
      ASSERT_EQ(starts[frame], Position()) << where;
      int64_t handed = 0;
      ASSERT_EQ(S_OK, interop_->GetFrameTexture(starts[frame], &handed));
      ASSERT_EQ(static_cast<int>(frame), Shown(TakeTexture(handed).Get())) << where;
      for (size_t k = 0; k < 3; ++k) {
        const int32_t offset = static_cast<int32_t>(k) - 1;
        ASSERT_EQ(S_OK, iterators[k]->SetOffset(offset));
        const int64_t neighbour = static_cast<int64_t>(frame) + offset;
        const int expected = neighbour < 0 || neighbour >= static_cast<int64_t>(reference.size())
                                 ? -1
                                 : static_cast<int>(neighbour);
        ASSERT_NO_FATAL_FAILURE(
            ExpectIteratorShows(iterators[k].Get(), *updates[k], expected, where + " offset " + std::to_string(offset)));
      }
    };

    ASSERT_NO_FATAL_FAILURE(check(0, 0));
    for (size_t frame = 1; frame <= steps; ++frame) {
      const size_t mark = log_.Size();
      ASSERT_EQ(S_OK, interop_->MoveNext()) << "to frame " << frame;
      ASSERT_NO_FATAL_FAILURE(check(frame, mark));
    }
    if (steps + 1 == reference.size()) {
      EXPECT_EQ(E_BOUNDS, interop_->MoveNext());
    }
    for (size_t frame = steps; frame-- > 0;) {
      const size_t mark = log_.Size();
      ASSERT_EQ(S_OK, interop_->MovePrevious()) << "to frame " << frame;
      ASSERT_NO_FATAL_FAILURE(check(frame, mark));
    }
    EXPECT_EQ(E_BOUNDS, interop_->MovePrevious());
    EXPECT_EQ(0u, log_.Count("error"));
  }

  TempFolder media_{"korvane-interop-media"};
};

// A transport stream that starts 1.4 s in (absolute and relative times apart); 200 steps cross
// many key frames. B-frames in MP4 and Matroska are among the files from the field below.
TEST_F(InteropWalk, Mpeg2Ts_Step200ForwardAndBack_ExactFramesAndNeighbours) {
  const VideoSpec spec{.container = "mpegts", .encoder = "mpeg2video", .width = 160, .height = 120,
                       .frameCount = 210, .frameRate = {25, 1}, .gopSize = 12, .startOffset100ns = 14'000'000};
  WalkForwardAndBack(WriteTestVideo(spec, media_.File("video")), "Mpeg2Ts", 200);
}

// Files from the field whose frames are unevenly spaced or whose times are rounded to the
// millisecond: every frame is reached once each way, none skipped, none repeated.
class VideoDecoderInteropUnevenFiles : public InteropWalk, public ::testing::WithParamInterface<TestVideoKind> {};

TEST_P(VideoDecoderInteropUnevenFiles, StepWholeVideoForwardAndBack_EveryFrameExactlyOnce) {
  const size_t frames = static_cast<size_t>(TestVideoSpec(GetParam()).frameCount);
  WalkForwardAndBack(TestVideo(GetParam()), ::testing::PrintToString(GetParam()), frames - 1);
}

INSTANTIATE_TEST_SUITE_P(Field, VideoDecoderInteropUnevenFiles,
                         ::testing::Values(TestVideoKind::VfrH264Mkv, TestVideoKind::VfrH264Mp4,
                                           TestVideoKind::Ntsc30H264Mkv, TestVideoKind::Ntsc30Vp9Webm,
                                           TestVideoKind::VfrPhoneMp4),
                         [](const auto& info) { return ::testing::PrintToString(info.param); });

}  // namespace
}  // namespace korvane::test
