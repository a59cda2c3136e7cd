// VideoDecoderCacheBase: what the memory cache and the storage cache share — a set of
// CachedFrame records ordered by FrameIntervalLess, a cursor on the current frame, and the
// time queries the cache manager asks of either cache.
//
// Threads and locks: a cache has no lock of its own. Every call, and every read of the public
// fields, is made with the owning VideoDecoderCacheManager's Lock held (by the manager itself,
// or by the decoder, which reads Frames and Cursor under that Lock). Nothing here calls out of
// the caching subsystem except the platform.
//
// The lookup rule. The probe for a time t is the record [t, t + 25,000) (midpoint t + 12,500).
// The frame matching t is F = the first record not ordered before the probe (lower bound),
// provided F is equivalent to the probe or F.Time <= t; otherwise nothing matches t. So a time
// up to 12,500 units before a frame already matches that frame.
//
// Cursor: Frames.end() means no current frame. It moves only through MoveCursor; Add and
// removals leave it alone, except that removing the record under it makes it end(). Removals
// must therefore go through Erase / EraseEquivalent.
#pragma once

#include "cache/CachedFrame.h"
#include "cache/FrameIntervalLess.h"
#include "platform/com/ComPtr.h"
#include "platform/d3d11/D3D11.h"

#include <cstdint>
#include <set>

namespace korvane {

class VideoDecoderCacheBase {
 public:
  using FrameSet = std::set<CachedFrame, FrameIntervalLess>;

  // Width of the lookup probe, and the offset of its midpoint.
  static constexpr int64_t kProbeDuration = 25'000;
  static constexpr int64_t kProbeMidpointOffset = kProbeDuration / 2;

  VideoDecoderCacheBase(ComPtr<ID3D11Device> device, ComPtr<ID3D11DeviceContext> context);
  virtual ~VideoDecoderCacheBase();
  VideoDecoderCacheBase(const VideoDecoderCacheBase&) = delete;
  VideoDecoderCacheBase& operator=(const VideoDecoderCacheBase&) = delete;

  // The cache's own measure of its size (see each derived class).
  virtual uint64_t GetSize() = 0;
  // Caches one frame held in `texture`; true when a record was added. The caller keeps its
  // reference either way (a cache that keeps the texture takes its own reference).
  virtual bool Add(ComPtr<ID3D11Texture2D>& texture, int64_t time, int64_t duration, bool flag) = 0;
  virtual void Clear() = 0;
  virtual void RemoveBefore(int64_t time) = 0;
  virtual void RemoveAfter(int64_t time) = 0;

  // Whether a frame matches t.
  bool Contains(int64_t t) const;
  // The cursor frame's texture when it contains t, else the matching frame's; null when none.
  ComPtr<ID3D11Texture2D> FindTexture(int64_t t) const;
  // The cursor frame's Duration when it contains t, else the matching frame's; 0 when none.
  int64_t GetDuration(int64_t t) const;
  // Puts the cursor on the frame containing t, else on the nearest frame by Time (equal
  // distances: the later frame). Linear from the first frame. True when the cursor's Time
  // changed; false on an empty cache or when the cursor frame already contains t.
  bool MoveCursor(int64_t t);
  // Time of the frame before the one containing t when the gap between them is under two
  // thirds of the containing frame's duration; -1 otherwise.
  int64_t GetPreviousTime(int64_t t) const;
  // Time of the first frame after t when it follows without a gap (less than a whole frame
  // after the frame containing t, or, when t lies in no frame, within 1.25 of its durations
  // after t); -1 otherwise.
  int64_t GetNextTime(int64_t t) const;
  // End of the run of frames that starts at the frame matching t, where each next frame starts
  // at most half a duration after the previous one ends; capped at limit. min(t, limit) when
  // nothing matches t.
  int64_t GetContiguousEnd(int64_t t, int64_t limit) const;
  // The frame containing t (the cursor's when it does); null when none does.
  const CachedFrame* FindContaining(int64_t t) const;
  // GetNextTime and GetPreviousTime around a frame this cache need not hold (the other cache's
  // frame containing t), by the same rules: the first frame starting after `current` when it
  // starts less than a whole frame (of current's duration) after current ends; the last frame
  // before `current` when the gap up to current is under two thirds of current's duration.
  // -1 otherwise.
  int64_t GetNextTimeAfter(const CachedFrame& current) const;
  int64_t GetPreviousTimeBefore(const CachedFrame& current) const;
  // The cursor frame's Time / Duration; -1 when there is no current frame.
  int64_t GetCursorTime() const;
  int64_t GetCursorDuration() const;

  // The frame matching t (the lookup rule above), or Frames.end().
  FrameSet::const_iterator FindMatching(int64_t t) const;
  // The probe record for t.
  static CachedFrame MakeProbe(int64_t t);

  // Shared with the manager; never null.
  ComPtr<ID3D11Device> Device;
  ComPtr<ID3D11DeviceContext> Context;
  // -- guarded by the owning VideoDecoderCacheManager's Lock --
  FrameSet Frames;
  FrameSet::iterator Cursor;

 protected:
  // Removes one record; the cursor becomes end() if it was on it.
  void Erase(FrameSet::const_iterator position);
  // Removes every record equivalent to `frame` (at most one in a well-formed set).
  void EraseEquivalent(const CachedFrame& frame);
  // Removes every record; the cursor becomes end().
  void EraseAll();
};

}  // namespace korvane
