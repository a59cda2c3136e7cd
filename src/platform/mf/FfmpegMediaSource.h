// The media source over FFmpeg: demuxes the byte stream with libavformat (through
// ByteStreamAvio, never by file name), decodes its default video stream with libavcodec and
// renders pictures with FrameConverter.
//
// Pictures: in presentation order, each at its own time (see FrameTimeline: the frame's
// best-effort timestamp, in 100 ns from the video stream's start time, or the container's when
// the stream has none; a picture without one follows the one before; none is negative). A
// picture is held back until the next one is decoded, so that its duration is what a player
// shows it for: the distance to the next picture's time. The last picture before the end keeps
// the container's duration, or the spacing before it when the container has none. A seek or
// a flush discards a held picture.
//
// Only correct pictures are returned: frames libavcodec flags corrupt or with decode errors are
// dropped, and after a seek or a flush the decoder is fed from the next key-frame packet on, and
// frames timed before that key frame (an open GOP's leading pictures, which refer across the
// cut) are dropped.
//
// Damage is skipped, as a player skips it: a packet the demuxer cannot read, a packet the
// decoder rejects and a frame it cannot make are passed over, and the pictures around them keep
// their times (the picture before a skipped stretch lasts until the next one). Only a failing
// read of the byte stream itself, running out of memory, or a stream that yields no picture at
// all before its end (because all of it was damaged) is an error, and it stays.
//
// Threads: as MediaSource — one caller at a time, Interrupt from anywhere (it stops blocking
// I/O through libavformat's interrupt callback; the source is unusable afterwards).
#pragma once

#include "platform/mf/ByteStreamAvio.h"
#include "platform/mf/FrameConverter.h"
#include "platform/mf/FrameTimeline.h"
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
  // What decoding up to the next picture came to.
  enum class Decoded { kPicture, kEnd, kFailure };

  explicit FfmpegMediaSource(ComPtr<IMFByteStream> byteStream);

  HRESULT Open();
  HRESULT OpenDecoder();
  void DescribeStream();

  // Decodes the next picture to deliver into decoded_, skipping damage. kFailure sets failure_.
  Decoded DecodePicture();
  // The decoder has given everything: the end, or a failure when the stream never gave a
  // picture because of damage.
  Decoded EndOfPictures();
  // Times decoded_ and makes it the held picture.
  void HoldDecoded();
  // Reads the next packet of the video stream into packet_, passing over damaged container
  // data: 0, AVERROR_EOF, or a failure of the stream itself.
  int ReadVideoPacket();
  bool IsStreamFailure(int error) const;
  // Remembers the first damage skipped, for a stream that turns out to yield no picture.
  void NoteDamage(HRESULT error);
  // After a seek or flush: whether packet_ may go to the decoder (false until a key frame).
  bool AcceptAfterCut();
  bool ShouldDrop(const AVFrame& frame) const;
  void DiscardPictures();
  void ResetDecoderState();

  int64_t To100ns(int64_t streamTime) const;
  int64_t ToStreamTime(int64_t time100ns) const;
  Decoded Fail(int error);
  SourceRead FailureRead() const;

  static int CheckInterrupt(void* opaque);

  // Declared in destruction order's reverse: the format context reads through io_.
  std::unique_ptr<ByteStreamAvio> io_;
  FormatContextPtr format_;
  CodecContextPtr codec_;
  FramePtr decoded_;   // the picture avcodec_receive_frame last gave
  FramePtr held_;      // decoded and timed, waiting for the next picture's time
  FramePtr current_;   // the picture of the last kFrame, which Render writes
  PacketPtr packet_;
  FrameConverter converter_;

  int streamIndex_ = -1;
  AVRational timeBase_{1, 1};
  int64_t startTime_ = 0;  // in timeBase_
  MediaSourceInfo info_;
  FrameTimeline timeline_{std::nullopt};

  // Decoding state between calls.
  bool haveCurrent_ = false;       // current_ holds the picture of the last kFrame
  bool haveHeld_ = false;          // held_ holds a picture, at heldTime_
  int64_t heldTime_ = 0;           // 100 ns
  std::optional<int64_t> heldDuration_;  // the container's, 100 ns
  bool haveQueuedPacket_ = false;  // packet_ was read by Seek and is the next to decode
  bool demuxEnded_ = false;        // the demuxer is at its end; the decoder is being drained
  bool decoderDrained_ = false;    // the decoder gave everything: end of stream until a seek
  bool awaitingKeyFrame_ = false;  // a cut (seek, flush) happened; skip to the next key packet
  std::optional<int64_t> cutKeyTime_;  // that key packet's time (timeBase_): earlier frames drop
  bool anyPicture_ = false;        // the stream has yielded a picture since it was opened
  HRESULT damage_ = S_OK;          // the first damage skipped
  int64_t stuckAt_ = -1;           // byte position of the last unreadable packet
  int stuckReads_ = 0;             // unreadable packets in a row at stuckAt_
  HRESULT failure_ = S_OK;         // sticky failure of ReadNext

  std::atomic<bool> interrupted_{false};
};

}  // namespace korvane::mf
