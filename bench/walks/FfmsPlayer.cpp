// ffms2 as a Player: index the file, open a video source on it (as many decoder threads as
// libavcodec picks, like the engine's reader), ask for NV12 output at the stored size, then
// FFMS_GetFrame for every step or seek alike: ffms2 decides itself whether to decode on or to
// seek back to a key frame.
#include "walks/Player.h"

#include <ffms.h>

#include <stdexcept>
#include <string>

namespace korvane::bench {

namespace {

class FfmsPlayer final : public Player {
 public:
  explicit FfmsPlayer(const MediaInfo& media) : media_(media) {
    FFMS_Init(0, 0);
    FFMS_SetLogLevel(FFMS_LOG_QUIET);
    error_.Buffer = message_;
    error_.BufferSize = sizeof message_;
  }
  ~FfmsPlayer() override {
    if (source_ != nullptr) FFMS_DestroyVideoSource(source_);
    if (index_ != nullptr) FFMS_DestroyIndex(index_);
  }

  void Open(const std::string& path) override {
    FFMS_Indexer* indexer = FFMS_CreateIndexer(path.c_str(), &error_);
    if (indexer == nullptr) Fail("FFMS_CreateIndexer");
    index_ = FFMS_DoIndexing2(indexer, FFMS_IEH_ABORT, &error_);  // frees the indexer
    if (index_ == nullptr) Fail("FFMS_DoIndexing2");
    const int track = FFMS_GetFirstTrackOfType(index_, FFMS_TYPE_VIDEO, &error_);
    if (track < 0) Fail("FFMS_GetFirstTrackOfType");
    source_ = FFMS_CreateVideoSource(path.c_str(), track, index_, 0, FFMS_SEEK_NORMAL, &error_);
    if (source_ == nullptr) Fail("FFMS_CreateVideoSource");
    const FFMS_VideoProperties* properties = FFMS_GetVideoProperties(source_);
    if (properties->NumFrames != media_.frameCount)
      throw std::runtime_error("ffms2: " + std::to_string(properties->NumFrames) + " frames, expected " +
                               std::to_string(media_.frameCount));
    const FFMS_Frame* first = FFMS_GetFrame(source_, 0, &error_);
    if (first == nullptr) Fail("FFMS_GetFrame(0)");
    const int formats[] = {FFMS_GetPixFmt("nv12"), -1};
    if (FFMS_SetOutputFormatV2(source_, formats, first->EncodedWidth, first->EncodedHeight, FFMS_RESIZER_BICUBIC,
                               &error_) != 0)
      Fail("FFMS_SetOutputFormatV2");
  }
  void Step(int frame, bool) override { Get(frame); }
  void Seek(int frame) override { Get(frame); }
  uint64_t LumaHash() override {
    return HashPlane(frame_->Data[0], static_cast<size_t>(frame_->Linesize[0]), frame_->ScaledWidth,
                     frame_->ScaledHeight);
  }

 private:
  void Get(int frame) {
    frame_ = FFMS_GetFrame(source_, frame, &error_);
    if (frame_ == nullptr) Fail("FFMS_GetFrame(" + std::to_string(frame) + ")");
  }
  [[noreturn]] void Fail(const std::string& call) { throw std::runtime_error("ffms2: " + call + ": " + message_); }

  const MediaInfo media_;
  char message_[1024] = {};
  FFMS_ErrorInfo error_{};
  FFMS_Index* index_ = nullptr;
  FFMS_VideoSource* source_ = nullptr;
  const FFMS_Frame* frame_ = nullptr;
};

}  // namespace

std::unique_ptr<Player> MakeFfmsPlayer(const MediaInfo& media) { return std::make_unique<FfmsPlayer>(media); }

}  // namespace korvane::bench
