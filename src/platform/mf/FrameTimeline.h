// FrameTimeline: the presentation time of each decoded picture, as the reader delivers it.
//
// Containers leave pictures without a timestamp (the last picture of an AVI with packed
// B-frames, every picture of a Matroska file whose timestamps libavformat cannot read), give
// two pictures the same one, or time a picture before the stream's start. The reader still
// delivers every picture the decoder makes, each at a time of its own, none negative:
// - a picture with a timestamp after the previous picture's keeps it;
// - a picture without one follows the previous picture by its own duration (the container's),
//   else by the spacing last seen between pictures, else by the nominal frame spacing;
// - a picture whose timestamp is not after the previous picture's (a duplicate, or one before
//   the start that was moved up to 0) is placed one unit (100 ns) after the previous picture,
//   so that it keeps a time of its own without moving the pictures after it.
// A run of pictures starts at the open and after every seek or flush (Restart); the first
// picture of a run without a timestamp takes the time the run was restarted at.
//
// Times are in 100 ns from the presentation start. Not thread-safe: it belongs to one source.
#pragma once

#include <cstdint>
#include <optional>

namespace korvane::mf {

class FrameTimeline {
 public:
  // `nominalSpacing`: one frame at the stream's nominal rate, none when the rate is unknown.
  explicit FrameTimeline(std::optional<int64_t> nominalSpacing) : nominalSpacing_(nominalSpacing) {}

  // Starts a new run of pictures; `origin` is where a first picture without a timestamp goes
  // (the key frame decoding resumes at, when its time is known).
  void Restart(std::optional<int64_t> origin = std::nullopt);

  // The time of the next picture in presentation order, given its timestamp (none when the
  // container has none) and its duration from the container (none when unknown).
  int64_t Place(std::optional<int64_t> stamp, std::optional<int64_t> duration);

  // The spacing a picture without a successor keeps: its own duration from the container,
  // else the spacing last seen between pictures, else the nominal spacing; none when nothing
  // is known.
  std::optional<int64_t> LastSpacing(std::optional<int64_t> duration) const;

 private:
  static constexpr int64_t kSmallestStep = 1;

  std::optional<int64_t> nominalSpacing_;
  std::optional<int64_t> previous_;        // time of the previous picture of this run
  std::optional<int64_t> origin_;          // where this run starts when its first picture has no time
  std::optional<int64_t> lastSpacing_;     // between the last two pictures of this run
};

}  // namespace korvane::mf
