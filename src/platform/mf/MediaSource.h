// MediaSource: what sits behind the source reader. The reader (SourceReader) owns one source and
// turns its pictures into samples; the source demuxes and decodes. FfmpegMediaSource reads real
// files; a test can put a source of its own behind the same reader (a scripted source describing
// frames, media type and faults), either through CreateSourceReaderOnSource or by handing the
// decoder a random-access stream that also answers IMediaSourceFactory.
//
// Threads: the reader never calls a source's methods concurrently (it serialises them with its
// own lock), except Interrupt, which may come from any thread at any time. A source may block in
// ReadNext (I/O, decoding); it is never called back from inside a client callback.
#pragma once

#include "platform/com/Unknown.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace korvane::mf {

// Times and durations in 100 ns units from the presentation start.
struct Ratio {
  uint32_t numerator = 0;
  uint32_t denominator = 0;
};

// The media type of the video as stored, and what the presentation knows about itself.
struct MediaSourceInfo {
  GUID videoSubtype{};           // the codec, as a media subtype (MFVideoFormat_H264, ...)
  uint32_t width = 0;            // stored frame size (before rotation)
  uint32_t height = 0;
  std::optional<uint32_t> rotation;        // 0, 90, 180 or 270 clockwise; only when the file says
  std::optional<Ratio> pixelAspect;        // only when known
  std::optional<Ratio> frameRate;          // only when known
  std::optional<int64_t> duration;         // presentation duration, when known
  bool hasAudio = false;                   // the file has an audio stream (never decoded)
  // A source that cannot change its audio stream's selection refuses with this code (a
  // failure), which SetStreamSelection on the audio stream returns. S_OK for every real file.
  HRESULT audioSelectionError = S_OK;
};

enum class PictureFormat { Nv12, Bgra32 };

// Where a source writes a picture: plane 0 is luma (NV12) or the BGRA pixels; plane 1 the
// interleaved chroma of NV12. width and height are the display-orientation size to produce,
// odd or even. NV12 planes are laid out for the size rounded up to even (EvenNv12Size), as an
// NV12 texture needs whole chroma samples: luma has that many columns and rows, chroma half as
// many rows of as many bytes. A source fills the extra column and row by repeating the
// picture's last ones, so that the picture's own pixels are all there and nothing else shows.
struct PictureTarget {
  PictureFormat format = PictureFormat::Nv12;
  uint32_t width = 0;
  uint32_t height = 0;
  uint8_t* planes[2] = {nullptr, nullptr};
  uint32_t pitches[2] = {0, 0};
};

// An NV12 extent: the picture's, rounded up to even.
constexpr uint32_t EvenNv12Size(uint32_t extent) { return extent + (extent & 1u); }

// The result of ReadNext.
struct SourceRead {
  enum class Kind {
    kFrame,        // a decoded picture at `time`, shown for `duration` when known; Render writes it
    kEndOfStream,  // nothing more until a seek
    kStreamTick,   // a gap: no picture for a while; the reader reports MF_SOURCE_READERF_STREAMTICK
    kNothing,      // the read ended without picture or flag (the reader reports flags 0)
    kError,        // a failure `error` the source cannot read past (for FFmpeg: a failing byte
                   // stream, no memory, a stream without a single picture); the reader stays
                   // failed from then on
  };
  Kind kind = Kind::kNothing;
  int64_t time = 0;
  std::optional<int64_t> duration;
  HRESULT error = S_OK;
};

class MediaSource {
 public:
  virtual ~MediaSource() = default;

  // Fixed for the life of the source.
  virtual const MediaSourceInfo& Info() const = 0;

  // Decodes up to the next picture to deliver (in presentation order), or reports the end, a
  // tick or an error.
  virtual SourceRead ReadNext() = 0;

  // Writes the picture of the last kFrame, turned upright (per Info().rotation) and scaled to
  // target's size, in target's format. Fails (without touching more than the target's planes)
  // when there is no such picture.
  virtual HRESULT Render(const PictureTarget& target) = 0;

  // Positions the source on the key frame at or before `position` (clamped to the
  // presentation): the next ReadNext yields that key frame. A failure leaves the position
  // unspecified but the source usable.
  virtual HRESULT Seek(int64_t position) = 0;

  // Drops the decoder's pending pictures and resets it; the demux position stays.
  virtual void Flush() = 0;

  // Makes a blocking ReadNext return soon (the reader is shutting down). Idempotent.
  virtual void Interrupt() {}
};

// Implemented by a random-access stream that brings its own media source: a byte stream made
// on such a stream (MFCreateMFByteStreamOnStreamEx) answers this interface too, and
// MFCreateSourceReaderFromByteStream then reads through the source it makes instead of FFmpeg.
struct IMediaSourceFactory : IUnknown {
  static constexpr GUID kIid{0x3F0C2B6E, 0x8A41, 0x4D57, {0x9E, 0x21, 0x6C, 0x7A, 0x13, 0x52, 0xB4, 0x0D}};
  using BaseInterface = IUnknown;

  // A new source, or a failure HRESULT that MFCreateSourceReaderFromByteStream returns as is.
  virtual HRESULT CreateMediaSource(std::unique_ptr<MediaSource>* source) = 0;
};

}  // namespace korvane::mf

struct IMFAttributes;
struct IMFSourceReader;

namespace korvane::mf {

// A reader over any source, with the contract of MfReadWrite.h (attributes as for
// MFCreateSourceReaderFromByteStream; MFStartup is not required).
HRESULT CreateSourceReaderOnSource(std::unique_ptr<MediaSource> source, IMFAttributes* attributes,
                                   IMFSourceReader** reader);

}  // namespace korvane::mf
