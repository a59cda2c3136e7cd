// ReaderDriver: the decoder's grip on its source reader. Every read, seek and flush the decoder
// issues goes through the four primitives here, and this is where the decoder keeps what it
// knows of the reader: where it stands, whether it reported the end of the stream, and whether
// a flush is outstanding.
//
// Threads and locks: a part of VideoDecoder, guarded by the decoder's Lock; every primitive runs
// with that Lock held (asserted in debug builds). The reader answers asynchronously: a read's
// result arrives in the decoder's OnReadSample, a flush's in its OnFlush, on the reader's work
// thread. Each primitive returns the HRESULT of the last reader call it made.
#pragma once

#include "decoder/DecoderTimeline.h"
#include "platform/com/ComPtr.h"
#include "platform/mf/MfReadWrite.h"
#include "platform/threading/CriticalSection.h"

#include <cstdint>

namespace korvane {

// Whether a seek position is moved into [FirstSampleTime, Duration] first.
enum class Clamping { None, ToVideo };
// What SeekAndRead does when the reader refuses the seek.
enum class OnSeekFailure {
  RetryEarlier,  // try again up to 9 times, 0.1 s further back each time
  Flush,         // flush; the flush completion seeks again
};
// How the decoder makes a jump: from a reader callback it only flushes and lets the flush
// completion seek and read; from a request it seeks and reads at once.
enum class JumpBy { Flush, Seek };

class ReaderDriver {
 public:
  ReaderDriver(const Concurrency::critical_section& lock, const DecoderTimeline& timeline);

  // An asynchronous read of the video stream.
  HRESULT ReadNext();
  // Positions the reader at `position` (clamped first when asked).
  HRESULT SeekTo(int64_t position, Clamping clamping);
  // Flushes, unless a flush is already outstanding (then S_OK without a call).
  HRESULT FlushIfIdle();
  // Seeks and, when the seek is accepted, reads. A refused seek is handled as `onFailure` says;
  // the retries never go before FirstSampleTime.
  HRESULT SeekAndRead(int64_t position, OnSeekFailure onFailure, Clamping clamping);

  // -- guarded by the decoder's Lock --
  ComPtr<IMFSourceReader> Reader;  // null before opening and after Close
  // Time of the last delivered sample, or the target of the last jump.
  int64_t ReaderPosition = 0;
  // ReaderPosition before the last jump.
  int64_t PreviousReaderPosition = 0;
  // The reader reported the end of the stream since the last sample.
  bool EndOfStream = false;
  // A Flush was issued and its OnFlush has not arrived yet.
  bool FlushPending = false;

 private:
  const Concurrency::critical_section& Lock;
  const DecoderTimeline& Timeline;
};

}  // namespace korvane
