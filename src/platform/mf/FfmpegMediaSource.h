// The media source over FFmpeg: demuxes the byte stream with libavformat (through
// ByteStreamAvio, never by file name), decodes its default video stream with libavcodec and
// renders pictures with FrameConverter.
//
// Pictures: in presentation order, times in 100 ns from the video stream's start time (the
// container's when the stream has none), from the frame's best-effort timestamp; durations
// from the frame (its packet's duration), none when that is unknown. Only correct pictures are
// returned: frames libavcodec flags corrupt or with decode errors are dropped, and after a
// seek or a flush the decoder is fed from the next key-frame packet on, and frames timed before
// that key frame (an open GOP's leading pictures, which refer across the cut) are dropped.
// A packet the decoder rejects as invalid data is skipped; frames built on it come out flagged
// and are dropped too. Any other demux or decode failure is an error.
//
// Threads: as MediaSource — one caller at a time, Interrupt from anywhere (it stops blocking
// I/O through libavformat's interrupt callback; the source is unusable afterwards).
#pragma once

#include "platform/mf/ByteStreamAvio.h"
#include "platform/mf/FrameConverter.h"
#include "platform/mf/MediaSource.h"

#include <atomic>
#include <memory>
#include <optional>

namespace korvane::mf {

class FfmpegMediaSource final : public MediaSource {
 public:
  // libavcodec's thread count for decoding: 0 lets it pick one per core (frame and slice threads).
  static constexpr int kDecoderThreadCount = 0;

  // Opens the media. MF_E_UNSUPPORTED_BYTESTREAM_TYPE when the bytes are not a container
  // libavformat recognises with a video stream libavcodec can decode; E_OUTOFMEMORY; the byte
  // stream's own failure when reading it fails.
  static HRESULT Create(ComPtr<IMFByteStream> byteStream, std::unique_ptr<MediaSource>* source);

  ~FfmpegMediaSource() override;

  const MediaSourceInfo& Info() const override { return info_; }
  SourceRead ReadNext() override;
  HRESULT Render(const PictureTarget& target) override;
  HRESULT Seek(int64_t position) override;
  void Flush() override;
  void Interrupt() override;

 private:
  explicit FfmpegMediaSource(ComPtr<IMFByteStream> byteStream);

  HRESULT Open();
  HRESULT OpenDecoder();
  void DescribeStream();

  // Reads the next packet of the video stream into packet_: 0, AVERROR_EOF or a failure.
  int ReadVideoPacket();
  // After a seek or flush: whether packet_ may go to the decoder (false until a key frame).
  bool AcceptAfterCut();
  bool ShouldDrop(const AVFrame& frame) const;
  void ResetDecoderState();

  int64_t To100ns(int64_t streamTime) const;
  int64_t ToStreamTime(int64_t time100ns) const;
  SourceRead Failure(int error);

  static int CheckInterrupt(void* opaque);

  // Declared in destruction order's reverse: the format context reads through io_.
  std::unique_ptr<ByteStreamAvio> io_;
  FormatContextPtr format_;
  CodecContextPtr codec_;
  FramePtr frame_;
  PacketPtr packet_;
  FrameConverter converter_;

  int streamIndex_ = -1;
  AVRational timeBase_{1, 1};
  int64_t startTime_ = 0;  // in timeBase_
  MediaSourceInfo info_;

  // Decoding state between calls.
  bool haveFrame_ = false;         // frame_ holds the picture of the last kFrame
  bool haveQueuedPacket_ = false;  // packet_ was read by Seek and is the next to decode
  bool demuxEnded_ = false;        // the demuxer is at its end; the decoder is being drained
  bool decoderDrained_ = false;    // the decoder gave everything: end of stream until a seek
  bool awaitingKeyFrame_ = false;  // a cut (seek, flush) happened; skip to the next key packet
  std::optional<int64_t> cutKeyTime_;  // that key packet's time (timeBase_): earlier frames drop
  HRESULT failure_ = S_OK;         // sticky failure of ReadNext
  int64_t lastTime_ = 0;           // of the last picture returned, in timeBase_ (for missing stamps)

  std::atomic<bool> interrupted_{false};
};

}  // namespace korvane::mf
