#include "platform/mf/FfmpegMediaSource.h"

#include "platform/mf/Mfapi.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <vector>

extern "C" {
#include <libavutil/display.h>
#include <libavutil/log.h>
#include <libavutil/rational.h>
}

namespace korvane::mf {

namespace {

constexpr AVRational k100ns{1, 10'000'000};
constexpr int64_t kOneSecond = 10'000'000;
// A seek that lands on a key frame after the position asked for (demuxers without an index
// search by timestamp) is retried this many times, further back each time, before it falls
// back to the start of the stream.
constexpr int kSeekBackoffAttempts = 6;
// A demuxer that fails this many reads in a row without moving on in the byte stream cannot
// get past the damage: the stream ends there.
constexpr int kStuckReadLimit = 8;

GUID SubtypeOf(const AVCodecParameters& parameters) {
  switch (parameters.codec_id) {
    case AV_CODEC_ID_H264:
      return MFVideoFormat_H264;
    case AV_CODEC_ID_HEVC:
      return MFVideoFormat_HEVC;
    case AV_CODEC_ID_MPEG4:
      return MFVideoFormat_MP4V;
    case AV_CODEC_ID_VP8:
      return MFVideoFormat_VP80;
    case AV_CODEC_ID_VP9:
      return MFVideoFormat_VP90;
    case AV_CODEC_ID_AV1:
      return MFVideoFormat_AV1;
    case AV_CODEC_ID_MJPEG:
      return MFVideoFormat_MJPG;
    case AV_CODEC_ID_MPEG2VIDEO:
      return MFVideoFormat_MPEG2;
    default:
      // The container's FOURCC when it has one, as the original's subtypes are FOURCC-based.
      return MakeMediaTypeGuid(parameters.codec_tag != 0 ? parameters.codec_tag : static_cast<DWORD>(parameters.codec_id));
  }
}

std::optional<Ratio> RatioOf(AVRational value) {
  if (value.num <= 0 || value.den <= 0) return std::nullopt;
  int num = 0, den = 0;
  av_reduce(&num, &den, value.num, value.den, INT32_MAX);
  return Ratio{static_cast<uint32_t>(num), static_cast<uint32_t>(den)};
}

const uint8_t* DisplayMatrixOf(const AVStream& stream) {
#if LIBAVFORMAT_VERSION_MAJOR >= 61 || (LIBAVFORMAT_VERSION_MAJOR == 60 && LIBAVFORMAT_VERSION_MINOR >= 15)
  const AVPacketSideData* data = av_packet_side_data_get(stream.codecpar->coded_side_data,
                                                         stream.codecpar->nb_coded_side_data, AV_PKT_DATA_DISPLAYMATRIX);
  return data != nullptr && data->size >= 9 * sizeof(int32_t) ? data->data : nullptr;
#else
  size_t size = 0;
  const uint8_t* data = av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
  return size >= 9 * sizeof(int32_t) ? data : nullptr;
#endif
}

// The clockwise turn that displays the stored picture, to the nearest quarter turn.
std::optional<uint32_t> RotationOf(const AVStream& stream) {
  const uint8_t* matrix = DisplayMatrixOf(stream);
  if (matrix == nullptr) return std::nullopt;
  // av_display_rotation_get gives the counter-clockwise angle the matrix turns by.
  const double angle = av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
  if (std::isnan(angle)) return std::nullopt;
  long quarter = std::lround(-angle / 90.0) % 4;
  if (quarter < 0) quarter += 4;
  if (quarter == 0) return std::nullopt;
  return static_cast<uint32_t>(quarter * 90);
}

// Flagged by libavcodec as damaged: concealed, or built on data it could not decode.
bool IsDamaged(const AVFrame& frame) {
  return (frame.flags & AV_FRAME_FLAG_CORRUPT) != 0 || frame.decode_error_flags != 0;
}

int64_t FrameDurationOf(const AVFrame& frame) {
#if LIBAVUTIL_VERSION_MAJOR >= 58
  return frame.duration;
#else
  return frame.pkt_duration;
#endif
}

// One frame at the stream's nominal rate, in 100 ns.
std::optional<int64_t> NominalSpacing(const std::optional<Ratio>& rate) {
  if (!rate || rate->numerator == 0) return std::nullopt;
  return av_rescale(kOneSecond, rate->denominator, rate->numerator);
}

}  // namespace

FfmpegMediaSource::FfmpegMediaSource(ComPtr<IMFByteStream> byteStream)
    : io_(std::make_unique<ByteStreamAvio>(std::move(byteStream))) {}

FfmpegMediaSource::~FfmpegMediaSource() = default;

HRESULT FfmpegMediaSource::Create(ComPtr<IMFByteStream> byteStream, std::unique_ptr<MediaSource>* source) {
  if (!byteStream || source == nullptr) return E_POINTER;
  // The platform writes no log: FFmpeg's chatter about damaged input is silenced, unless the
  // application has chosen a log level of its own (anything but FFmpeg's default).
  static std::once_flag quietOnce;
  std::call_once(quietOnce, [] {
    if (av_log_get_level() == AV_LOG_INFO) av_log_set_level(AV_LOG_QUIET);
  });
  std::unique_ptr<FfmpegMediaSource> created(new (std::nothrow) FfmpegMediaSource(std::move(byteStream)));
  if (!created) return E_OUTOFMEMORY;
  HRESULT hr = created->Open();
  if (FAILED(hr)) return hr;
  *source = std::move(created);
  return S_OK;
}

int FfmpegMediaSource::CheckInterrupt(void* opaque) {
  return static_cast<FfmpegMediaSource*>(opaque)->interrupted_.load(std::memory_order_relaxed) ? 1 : 0;
}

HRESULT FfmpegMediaSource::Open() {
  decoded_.reset(av_frame_alloc());
  held_.reset(av_frame_alloc());
  current_.reset(av_frame_alloc());
  packet_.reset(av_packet_alloc());
  AVFormatContext* context = avformat_alloc_context();
  if (io_->Context() == nullptr || !decoded_ || !held_ || !current_ || !packet_ || context == nullptr) {
    avformat_free_context(context);
    return E_OUTOFMEMORY;
  }
  context->pb = io_->Context();
  context->flags |= AVFMT_FLAG_CUSTOM_IO;
  context->interrupt_callback.callback = &CheckInterrupt;
  context->interrupt_callback.opaque = this;
  // On failure avformat_open_input frees the context itself.
  int error = avformat_open_input(&context, nullptr, nullptr, nullptr);
  if (error < 0) return FAILED(io_->LastError()) ? io_->LastError() : MF_E_UNSUPPORTED_BYTESTREAM_TYPE;
  format_.reset(context);

  error = avformat_find_stream_info(context, nullptr);
  if (error < 0) return FAILED(io_->LastError()) ? io_->LastError() : MF_E_UNSUPPORTED_BYTESTREAM_TYPE;

  const AVCodec* decoder = nullptr;
  streamIndex_ = av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
  if (streamIndex_ < 0 || decoder == nullptr) return MF_E_UNSUPPORTED_BYTESTREAM_TYPE;
  const AVStream& stream = *context->streams[streamIndex_];
  // Cover art in an audio file is a "video" stream of one picture, not a video.
  if ((stream.disposition & AV_DISPOSITION_ATTACHED_PIC) != 0) return MF_E_UNSUPPORTED_BYTESTREAM_TYPE;
  // libavformat also recognises terminal art and subtitles as pictures; only real video codecs
  // count (those libavcodec describes as lossy or lossless video, not as text).
  const AVCodecDescriptor* descriptor = avcodec_descriptor_get(stream.codecpar->codec_id);
  if (descriptor == nullptr || descriptor->type != AVMEDIA_TYPE_VIDEO || stream.codecpar->codec_id == AV_CODEC_ID_ANSI)
    return MF_E_UNSUPPORTED_BYTESTREAM_TYPE;
  if (stream.codecpar->width <= 0 || stream.codecpar->height <= 0) return MF_E_UNSUPPORTED_BYTESTREAM_TYPE;

  timeBase_ = stream.time_base;
  if (stream.start_time != AV_NOPTS_VALUE) {
    startTime_ = stream.start_time;
  } else if (context->start_time != AV_NOPTS_VALUE) {
    startTime_ = av_rescale_q(context->start_time, AV_TIME_BASE_Q, timeBase_);
  }

  HRESULT hr = OpenDecoder();
  if (FAILED(hr)) return hr;
  DescribeStream();
  timeline_ = FrameTimeline(NominalSpacing(info_.frameRate));
  // Other streams are never read: dropping their packets in the demuxer saves the copies.
  for (unsigned i = 0; i < context->nb_streams; ++i)
    if (static_cast<int>(i) != streamIndex_) context->streams[i]->discard = AVDISCARD_ALL;
  return S_OK;
}

HRESULT FfmpegMediaSource::OpenDecoder() {
  const AVStream& stream = *format_->streams[streamIndex_];
  const AVCodec* decoder = avcodec_find_decoder(stream.codecpar->codec_id);
  if (decoder == nullptr) return MF_E_UNSUPPORTED_BYTESTREAM_TYPE;
  codec_.reset(avcodec_alloc_context3(decoder));
  if (!codec_) return E_OUTOFMEMORY;
  if (avcodec_parameters_to_context(codec_.get(), stream.codecpar) < 0) return MF_E_UNSUPPORTED_BYTESTREAM_TYPE;
  codec_->pkt_timebase = stream.time_base;
  codec_->thread_count = kDecoderThreadCount;
  codec_->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  if (avcodec_open2(codec_.get(), decoder, nullptr) < 0) return MF_E_UNSUPPORTED_BYTESTREAM_TYPE;
  return S_OK;
}

void FfmpegMediaSource::DescribeStream() {
  AVStream& stream = *format_->streams[streamIndex_];
  info_.videoSubtype = SubtypeOf(*stream.codecpar);
  info_.width = static_cast<uint32_t>(stream.codecpar->width);
  info_.height = static_cast<uint32_t>(stream.codecpar->height);
  info_.rotation = RotationOf(stream);
  info_.pixelAspect = RatioOf(av_guess_sample_aspect_ratio(format_.get(), &stream, nullptr));
  info_.frameRate = RatioOf(stream.avg_frame_rate);
  if (!info_.frameRate) info_.frameRate = RatioOf(stream.r_frame_rate);
  // The presentation ends where the later of the stream and the container says (in the
  // stream's time base): an MP4's track duration counts decode times, so with B-frames and a
  // variable rate its last picture can be presented after it; the container's covers it.
  std::optional<int64_t> end;
  if (stream.duration != AV_NOPTS_VALUE && stream.duration > 0) end = startTime_ + stream.duration;
  if (format_->duration != AV_NOPTS_VALUE && format_->duration > 0) {
    const int64_t formatStart = format_->start_time != AV_NOPTS_VALUE ? format_->start_time : 0;
    end = std::max(end.value_or(INT64_MIN), av_rescale_q(formatStart + format_->duration, AV_TIME_BASE_Q, timeBase_));
  }
  if (end && *end > startTime_) info_.duration = av_rescale_q(*end - startTime_, timeBase_, k100ns);
  for (unsigned i = 0; i < format_->nb_streams; ++i)
    if (format_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) info_.hasAudio = true;
}

int64_t FfmpegMediaSource::To100ns(int64_t streamTime) const {
  return av_rescale_q(streamTime - startTime_, timeBase_, k100ns);
}

int64_t FfmpegMediaSource::ToStreamTime(int64_t time100ns) const {
  // Rounded down: a key frame "at or before" a position must not move past it by rounding.
  return av_rescale_q_rnd(time100ns, k100ns, timeBase_, AV_ROUND_DOWN) + startTime_;
}

FfmpegMediaSource::Decoded FfmpegMediaSource::Fail(int error) {
  HRESULT hr = HresultFromAvError(error);
  if (error == AVERROR(EIO) && FAILED(io_->LastError())) hr = io_->LastError();
  failure_ = hr;
  return Decoded::kFailure;
}

SourceRead FfmpegMediaSource::FailureRead() const {
  SourceRead read;
  read.kind = SourceRead::Kind::kError;
  read.error = failure_;
  return read;
}

bool FfmpegMediaSource::IsStreamFailure(int error) const {
  return error == AVERROR(ENOMEM) || error == AVERROR_EXIT || error == AVERROR(EIO) || FAILED(io_->LastError()) ||
         format_->pb->error < 0;
}

void FfmpegMediaSource::NoteDamage(HRESULT error) {
  if (SUCCEEDED(damage_)) damage_ = FAILED(error) ? error : MF_E_INVALID_STREAM_DATA;
}

int FfmpegMediaSource::ReadVideoPacket() {
  if (haveQueuedPacket_) {
    haveQueuedPacket_ = false;
    return 0;
  }
  for (;;) {
    av_packet_unref(packet_.get());
    const int error = av_read_frame(format_.get(), packet_.get());
    if (error == AVERROR_EOF) return error;
    if (error < 0) {
      if (IsStreamFailure(error)) return error;
      // Damaged container data: the demuxer looks for the next packet it can read on the next
      // call, unless it is stuck.
      const int64_t at = avio_tell(format_->pb);
      stuckReads_ = at == stuckAt_ ? stuckReads_ + 1 : 1;
      stuckAt_ = at;
      if (avio_feof(format_->pb) || stuckReads_ >= kStuckReadLimit) return AVERROR_EOF;
      NoteDamage(HresultFromAvError(error));
      continue;
    }
    stuckReads_ = 0;
    if (packet_->stream_index == streamIndex_) return 0;
  }
}

bool FfmpegMediaSource::AcceptAfterCut() {
  if (!awaitingKeyFrame_) return true;
  if ((packet_->flags & AV_PKT_FLAG_KEY) == 0) return false;
  awaitingKeyFrame_ = false;
  cutKeyTime_.reset();
  if (packet_->pts != AV_NOPTS_VALUE) cutKeyTime_ = packet_->pts;
  // A first picture without a time of its own is this key frame.
  const int64_t keyTime = packet_->pts != AV_NOPTS_VALUE ? packet_->pts : packet_->dts;
  timeline_.Restart(keyTime != AV_NOPTS_VALUE ? std::optional<int64_t>(To100ns(keyTime)) : std::nullopt);
  return true;
}

bool FfmpegMediaSource::ShouldDrop(const AVFrame& frame) const {
  if (IsDamaged(frame)) return true;
  // Pictures before the key frame a cut resumed at refer to pictures before the cut.
  return cutKeyTime_ && frame.best_effort_timestamp != AV_NOPTS_VALUE && frame.best_effort_timestamp < *cutKeyTime_;
}

FfmpegMediaSource::Decoded FfmpegMediaSource::EndOfPictures() {
  decoderDrained_ = true;
  if (!anyPicture_ && FAILED(damage_)) {
    failure_ = damage_;
    return Decoded::kFailure;
  }
  return Decoded::kEnd;
}

FfmpegMediaSource::Decoded FfmpegMediaSource::DecodePicture() {
  for (;;) {
    if (interrupted_.load(std::memory_order_relaxed)) return Fail(AVERROR_EXIT);
    if (decoderDrained_) return EndOfPictures();
    int error = avcodec_receive_frame(codec_.get(), decoded_.get());
    if (error == 0) {
      if (ShouldDrop(*decoded_)) {
        if (IsDamaged(*decoded_)) NoteDamage(MF_E_INVALID_STREAM_DATA);
        av_frame_unref(decoded_.get());
        continue;
      }
      anyPicture_ = true;
      return Decoded::kPicture;
    }
    if (error == AVERROR_EOF) return EndOfPictures();
    if (error != AVERROR(EAGAIN)) {
      // A frame the decoder could not make; the next ones may be fine.
      if (error == AVERROR(ENOMEM)) return Fail(error);
      NoteDamage(HresultFromAvError(error));
      continue;
    }
    // Draining, yet the decoder asks for input: nothing more will come out.
    if (demuxEnded_) return EndOfPictures();

    error = ReadVideoPacket();
    if (error == AVERROR_EOF) {
      demuxEnded_ = true;
      avcodec_send_packet(codec_.get(), nullptr);  // drain the pictures still held back
      continue;
    }
    if (error < 0) return Fail(error);
    if (!AcceptAfterCut()) continue;
    error = avcodec_send_packet(codec_.get(), packet_.get());
    av_packet_unref(packet_.get());
    // A packet the decoder rejects is passed over; pictures built on it may come out flagged.
    if (error == AVERROR(ENOMEM)) return Fail(error);
    if (error < 0 && error != AVERROR(EAGAIN)) NoteDamage(HresultFromAvError(error));
  }
}

void FfmpegMediaSource::HoldDecoded() {
  const int64_t stamp = decoded_->best_effort_timestamp;
  const int64_t duration = FrameDurationOf(*decoded_);
  heldDuration_.reset();
  if (duration > 0) heldDuration_ = av_rescale_q(duration, timeBase_, k100ns);
  heldTime_ = timeline_.Place(stamp != AV_NOPTS_VALUE ? std::optional<int64_t>(To100ns(stamp)) : std::nullopt,
                              heldDuration_);
  std::swap(held_, decoded_);
  av_frame_unref(decoded_.get());
  haveHeld_ = true;
}

SourceRead FfmpegMediaSource::ReadNext() {
  SourceRead read;
  haveCurrent_ = false;
  av_frame_unref(current_.get());
  if (!haveHeld_) {
    if (FAILED(failure_)) return FailureRead();
    switch (DecodePicture()) {
      case Decoded::kFailure:
        return FailureRead();
      case Decoded::kEnd:
        read.kind = SourceRead::Kind::kEndOfStream;
        return read;
      case Decoded::kPicture:
        HoldDecoded();
        break;
    }
  }

  // The held picture goes out once the next one's time is known; a failure reading on is
  // reported by the read after it.
  const int64_t time = heldTime_;
  const std::optional<int64_t> ownDuration = heldDuration_;
  std::swap(current_, held_);
  haveHeld_ = false;
  haveCurrent_ = true;
  read.kind = SourceRead::Kind::kFrame;
  read.time = time;
  if (!FAILED(failure_) && DecodePicture() == Decoded::kPicture) {
    HoldDecoded();
    read.duration = heldTime_ - time;
  } else {
    read.duration = timeline_.LastSpacing(ownDuration);
  }
  return read;
}

HRESULT FfmpegMediaSource::Render(const PictureTarget& target) {
  if (!haveCurrent_) return MF_E_INVALIDREQUEST;
  return converter_.Convert(*current_, info_.rotation.value_or(0), target);
}

void FfmpegMediaSource::DiscardPictures() {
  av_frame_unref(decoded_.get());
  av_frame_unref(held_.get());
  av_frame_unref(current_.get());
  haveHeld_ = false;
  haveCurrent_ = false;
  timeline_.Restart();
}

void FfmpegMediaSource::ResetDecoderState() {
  avcodec_flush_buffers(codec_.get());
  DiscardPictures();
  av_packet_unref(packet_.get());
  haveQueuedPacket_ = false;
  demuxEnded_ = false;
  decoderDrained_ = false;
  awaitingKeyFrame_ = true;
  cutKeyTime_.reset();
}

HRESULT FfmpegMediaSource::Seek(int64_t position) {
  if (FAILED(failure_)) return failure_;
  if (position < 0) position = 0;
  if (info_.duration && position > *info_.duration) position = *info_.duration;
  const int64_t target = ToStreamTime(position);

  // The tries, in order: the position itself, then further and further back (a demuxer
  // without an index searches by decode time and can land on a key frame after the position),
  // then the start by timestamp, then the first byte (where a timestamp search can still step
  // over the first key frame, as in MPEG-TS). The last try is taken wherever it lands.
  struct Try {
    enum Kind { kTime, kStart, kFirstByte } kind;
    int64_t aim;
  };
  std::vector<Try> tries;
  for (int64_t backoff = 0, i = 0; i < kSeekBackoffAttempts && position - backoff > 0; ++i) {
    tries.push_back({Try::kTime, ToStreamTime(position - backoff)});
    backoff = backoff == 0 ? kOneSecond : backoff * 2;
  }
  tries.push_back({Try::kStart, startTime_});
  if ((format_->iformat->flags & AVFMT_NO_BYTE_SEEK) == 0) tries.push_back({Try::kFirstByte, 0});

  HRESULT result = MF_E_INVALID_POSITION;
  for (size_t i = 0; i < tries.size(); ++i) {
    const Try& attempt = tries[i];
    const bool last = i + 1 == tries.size();
    ResetDecoderState();
    int error = 0;
    switch (attempt.kind) {
      case Try::kTime:
        error = avformat_seek_file(format_.get(), streamIndex_, INT64_MIN, attempt.aim, attempt.aim, 0);
        if (error < 0) error = av_seek_frame(format_.get(), streamIndex_, attempt.aim, AVSEEK_FLAG_BACKWARD);
        break;
      case Try::kStart:
        error = avformat_seek_file(format_.get(), streamIndex_, INT64_MIN, attempt.aim, INT64_MAX, 0);
        break;
      case Try::kFirstByte:
        error = avformat_seek_file(format_.get(), -1, INT64_MIN, 0, 0, AVSEEK_FLAG_BYTE);
        break;
    }
    if (interrupted_.load(std::memory_order_relaxed)) return E_ABORT;
    if (error < 0) continue;

    // The key frame the demuxer landed before.
    for (;;) {
      error = ReadVideoPacket();
      if (error < 0 || (packet_->flags & AV_PKT_FLAG_KEY) != 0) break;
    }
    if (error == AVERROR_EOF) {
      // No key frame from there on: reading reports the end, unless an earlier try helps.
      result = S_OK;
      continue;
    }
    if (error < 0) return FAILED(io_->LastError()) ? io_->LastError() : HresultFromAvError(error);
    if (!last && packet_->pts != AV_NOPTS_VALUE && packet_->pts > target) continue;
    haveQueuedPacket_ = true;
    awaitingKeyFrame_ = true;  // AcceptAfterCut takes the queued key packet's time
    return S_OK;
  }
  return result;
}

void FfmpegMediaSource::Flush() {
  avcodec_flush_buffers(codec_.get());
  DiscardPictures();
  // A seek that already positioned the source keeps its key packet; otherwise decoding resumes
  // at the next key frame, since the pictures in between refer to what the flush threw away.
  if (!haveQueuedPacket_) {
    awaitingKeyFrame_ = true;
    cutKeyTime_.reset();
  }
  decoderDrained_ = demuxEnded_;
}

void FfmpegMediaSource::Interrupt() { interrupted_.store(true, std::memory_order_relaxed); }

}  // namespace korvane::mf

#if defined(__SANITIZE_THREAD__)
// libavcodec's frame threads hand picture buffers to the reader's thread through reference
// counts kept with atomics inside libavutil, which is not built with the thread sanitizer: it
// cannot see that ordering and reports the buffers' allocation (on a decoder thread) and
// release (on the reader's thread) as a race. The reports name only FFmpeg's own frames.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libavutil.so\n"
         "race:libavcodec.so\n";
}
#endif
