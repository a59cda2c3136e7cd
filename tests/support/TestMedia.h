// Test media made at test time: short videos written with libavcodec encoders through
// libavformat muxers, a reader for the frame index that every generated picture carries, and a
// plain libavcodec + libswscale reference decode that the media reader is compared against.
//
// The picture. Every frame is a 6 × 6 grid of flat cells covering the whole picture, each cell
// black (luma 16) or white (luma 235), chroma neutral (128). The four corner cells are an
// orientation marker (top corners white, bottom corners black in the stored picture); the other
// 32 cells hold the 16-bit frame index and its complement, so one misread cell is detected
// instead of yielding a wrong index. The cells are read at their centres, so the index survives
// lossy coding, scaling (down to a divisor of 8; the reader gives up below 12 × 12), odd sizes
// and a turn by any multiple of 90° (the grid maps onto itself; the marker tells the turn).
// The frame index is the frame's position in presentation order, starting at 0.
//
// Threads: every function may be called from any thread. TestVideo, BadMediaFile and
// BenchmarkVideo serialise generation behind one process-wide mutex; the others share no state.
// The first generation lowers FFmpeg's global log level from its default (info) to errors, so
// that encoder banners do not flood test output; a level the caller set before is left alone.
#pragma once

#include "support/TempFolder.h"

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace korvane::test {

// A rational number, as FFmpeg's AVRational, without pulling FFmpeg headers into the tests.
struct Ratio {
  int num = 0;
  int den = 1;
};

// The largest index the picture can carry; WriteTestVideo refuses longer videos.
inline constexpr int kMaxFrameIndex = 0xFFFF;

// What to write. The defaults give a 1-second 320 × 240 H.264 MP4 at 30 fps.
struct VideoSpec {
  std::string container = "mp4";        // libavformat muxer name: mp4, mov, avi, webm, matroska, mpegts
  std::string encoder = "libx264";      // libx264, libx265, libvpx-vp9, mpeg4, mpeg2video
  int width = 320;
  int height = 240;
  int frameCount = 30;  // 1 .. kMaxFrameIndex + 1
  Ratio frameRate{30, 1};
  int gopSize = 30;  // distance between key frames; scene-cut key frames are disabled
  // libx264/libx265 put exactly this many B-frames between reference frames; mpeg4/mpeg2video
  // up to this many; VP9 has none.
  int maxBFrames = 2;
  bool openGop = false;    // libx264/libx265 only: key frames are recovery points, not IDR pictures
  bool withAudio = false;  // adds an AAC stereo 48 kHz tone as long as the video
  // Clockwise turn a player applies to the stored picture for display (0, 90, 180 or 270), as
  // a phone held upright records it. Only the mp4/mov muxers store it; others are refused.
  int rotationDegrees = 0;
  Ratio sampleAspect{0, 1};   // shape of one stored pixel (width:height); {0, 1}: unset (square)
  bool indexAtFront = false;  // mp4/mov only: the index (moov) before the media data
  // mpegts only: added to every timestamp, as a broadcast capture starts mid-programme; the
  // stream's start time is then this offset.
  int64_t startOffset100ns = 0;
  // A variable frame rate: the presentation time of every frame, in 100 ns from the first (0),
  // strictly increasing, one per frame. Empty: a frame every 1 / frameRate. frameRate stays the
  // nominal rate the container is told, as a phone or screen recorder writes it. Matroska and
  // WebM keep times in milliseconds, so they round these.
  std::vector<int64_t> frameTimes100ns = {};
  // Damage, as a bad transfer leaves a file: after muxing, the payload of video packets
  // damagedPacketFirst .. + damagedPacketCount - 1 (counted from 0 in file order, which is
  // decode order) is overwritten with pseudo-random bytes; the container's own structure and
  // index stay intact. Count 0: no damage.
  int damagedPacketFirst = 0;
  int damagedPacketCount = 0;
};

// Writes the video described by spec to path (overwriting it; a half-written file is removed)
// and returns path. Throws std::invalid_argument for a spec it cannot honour (naming the bad
// field and value) and std::runtime_error naming the failing FFmpeg call when writing fails.
std::string WriteTestVideo(const VideoSpec& spec, const std::string& path);

// Writes an AAC-only file (m4a) of the given length and returns path; throws as WriteTestVideo.
std::string WriteTestAudio(double seconds, const std::string& path);

// Ready-made videos. Each is written once per process, on first use, into a per-process temp
// folder removed at exit; the returned reference stays valid until then.
enum class TestVideoKind {
  H264Mp4,         // 320×240, 30 fps, 90 frames, key frame every 45, 3 B-frames, no audio
  H264Mp4Audio,    // as H264Mp4, 60 frames, key frame every 30, 2 B-frames, plus an AAC track
  H264OpenGopMp4,  // as H264Mp4, key frame every 30, open GOPs: the B-frames shown just
                   // before a key frame come after it in the file and refer to both GOPs
  Mpeg4Avi,        // MPEG-4 Part 2 in AVI, 320×240, 25 fps, 50 frames, key frame every 12, no B-frames
  Vp9Webm,         // VP9 in WebM, 320×240, 30 fps, 30 frames
  HevcMkv,         // HEVC (libx265) in Matroska, 320×240, 25 fps, 40 frames, key frame every 20, 3 B-frames
  Mpeg2Ts,         // MPEG-2 video in MPEG-TS, 320×240, 25 fps, 40 frames, key frame every 12, up to
                   // 2 B-frames; the stream starts at 1.4 s
  Rotated90Mp4,    // H.264 MP4 stored 320×240, tagged 90° (displayed 240×320), 30 frames
  NonSquareMp4,    // H.264 MP4 320×240 with 4:3 pixels, 30 frames
  OddSizeWebm,     // VP9 in WebM stored at exactly 321×241, 30 frames

  // Files as they come from the field: damaged, oddly timed, variable rate. Not among
  // AllTestVideoKinds, whose files are whole and evenly timed.
  DamagedH264Mp4,     // as H264Mp4 but 2 B-frames, key frame every 30, and video packets 40..47
                      // (frames of the second GOP) overwritten with garbage
  PackedBFramesAvi,   // MPEG-4 Part 2 (Xvid) in AVI, 25 fps, 50 frames, key frame every 12, one
                      // B-frame packed with the picture before it ("packed bitstream"), so the
                      // frames come out a little late and the last one without a time
  VfrH264Mkv,         // H.264 in Matroska (ms times), told 30 fps: 60 frames at 30 fps, then 72
                      // frames 67 to 100 ms apart; 2 B-frames, key frame every 30
  VfrH264Mp4,         // the same frames in MP4
  Ntsc30H264Mkv,      // H.264 in Matroska at 30000/1001 fps (times rounded to ms), 90 frames
  Ntsc30Vp9Webm,      // VP9 in WebM at 30000/1001 fps (times rounded to ms), 60 frames
  VfrPhoneMp4,        // a phone clip: H.264 MP4 tagged 90°, AAC audio, told 30 fps; runs at 30,
                      // 24 and 15 fps as the light changes, 80 frames
};
const std::string& TestVideo(TestVideoKind kind);
// The VideoSpec each kind was written from (frame count, rate, size, rotation, ...).
const VideoSpec& TestVideoSpec(TestVideoKind kind);
// Every whole, evenly timed kind, for parameterised tests.
const std::vector<TestVideoKind>& AllTestVideoKinds();
// The kinds from the field (damaged, oddly timed, variable rate).
const std::vector<TestVideoKind>& RealWorldTestVideoKinds();
// A short readable name ("H264Mp4") for test names and messages.
const char* TestVideoKindName(TestVideoKind kind);
// GoogleTest prints a kind by its name.
inline void PrintTo(TestVideoKind kind, std::ostream* out) { *out << TestVideoKindName(kind); }

// Files a media reader must refuse or survive; made once per process like TestVideo.
enum class BadMediaKind {
  AudioOnly,            // AAC in an m4a, 1 s: a valid file without video
  Text,                 // a few lines of plain text
  Empty,                // zero bytes
  TruncatedMp4,         // H264Mp4 with its index at the front, cut at half its length (in the media data)
  TruncatedMp4NoIndex,  // H264Mp4 with its index at the end, cut at half its length (index lost)
};
const std::string& BadMediaFile(BadMediaKind kind);
// A short readable name ("TruncatedMp4") for test names and messages.
const char* BadMediaKindName(BadMediaKind kind);

// A 1920 × 1080 30 fps H.264 MP4 (key frame every 60, 2 B-frames) of frameCount frames, for
// benchmarks. Cached per frame count like TestVideo.
const std::string& BenchmarkVideo(int frameCount);

// The index read from a picture, and how the picture is turned relative to the stored one.
struct FrameMark {
  int index = -1;           // -1: no readable index
  int rotationDegrees = 0;  // clockwise turn from the stored picture to this one: 0/90/180/270
};

// Reads the index from a luma plane (width × height bytes, rows rowPitch apart), whatever its
// orientation. Returns index -1 when the picture does not carry a consistent index (grey,
// garbage, a blend of two frames, smaller than 12 × 12). Throws std::invalid_argument for a
// null plane, width or height below 1, or rowPitch < width.
FrameMark ReadFrameMark(const uint8_t* luma, size_t rowPitch, int width, int height);
int ReadFrameIndex(const uint8_t* luma, size_t rowPitch, int width, int height);

// As ReadFrameIndex for a whole NV12 buffer: the luma plane, then the interleaved chroma plane
// of (height + 1) / 2 rows, both with rows rowPitch apart (a mapped texture's layout: chroma
// starts at data + rowPitch × height), so rowPitch must be at least width rounded up to even.
// Also requires neutral chroma, so that a missing or misplaced chroma plane is not read as valid.
int ReadFrameIndexNv12(const uint8_t* data, size_t rowPitch, int width, int height);

// Fills an NV12 buffer (layout as above) with the pattern of index, upright. Throws
// std::invalid_argument as ReadFrameMark and for an index outside 0 .. kMaxFrameIndex.
void DrawFrameIndexNv12(int index, uint8_t* data, size_t rowPitch, int width, int height);

// What the container says about the first video stream.
struct VideoInfo {
  int width = 0;               // stored size, before rotation
  int height = 0;
  int rotationDegrees = 0;     // clockwise display turn, as VideoSpec::rotationDegrees
  Ratio sampleAspect{0, 1};    // {0, 1} when unknown
  Ratio frameRate{0, 1};       // average frame rate; {0, 1} when unknown
  int64_t startTime100ns = 0;  // the stream's start time (absolute); 0 when unknown
  int64_t duration100ns = -1;  // the container's duration; -1 when unknown
  bool hasAudio = false;
};
// Throws std::runtime_error naming the path when it cannot be opened or has no video stream.
VideoInfo ProbeVideo(const std::string& path);

// One decoded frame of the reference decode.
struct ReferenceFrame {
  int64_t time100ns = 0;       // best-effort timestamp minus the start time; -1 when it has none
  int64_t duration100ns = -1;  // -1 when the frame carries no duration
  bool keyFrame = false;       // libavcodec's key-frame flag: an IDR picture or a recovery point
  int frameIndex = -1;         // the index read from the picture; -1 unless pixels were asked for
  int width = 0;               // stored size, never rotated or scaled
  int height = 0;
  // NV12 when pixels were asked for, else empty, laid out as ReadFrameIndexNv12 reads it with
  // rowPitch = width rounded up to even (tightly packed for even widths).
  size_t rowPitch = 0;
  std::vector<uint8_t> nv12;
};

// Decodes the first video stream of path from start to end, single-threaded, with libavcodec
// (and libswscale for the NV12 pixels), in presentation order. The start time subtracted is the
// stream's start_time, or the first frame's timestamp when the stream has none. Throws
// std::runtime_error naming the path and the failing call when the file cannot be opened or
// decoded at all. Damage is not an error: a read error ends the decode as the end of the file
// would, packets the decoder calls invalid are skipped, and frames it flags as corrupt are kept
// (their index reads -1 or wrong), so the caller sees exactly what libavcodec made.
std::vector<ReferenceFrame> DecodeReference(const std::string& path, bool withPixels);

// The frames of a reference decode (with pixels) that a reader must deliver exactly, at the
// times a player shows them: a frame without a time follows the one before it by that one's
// duration. On a file written with damage only the frames outside the damage count: those
// before the first frame libavcodec gets wrong (a picture whose index is not the one its time
// says, at the VideoSpec's frame rate) and those after the last one.
std::vector<ReferenceFrame> FramesToReach(const std::vector<ReferenceFrame>& reference, const VideoSpec& spec);

}  // namespace korvane::test
