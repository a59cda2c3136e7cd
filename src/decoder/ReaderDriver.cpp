#include "decoder/ReaderDriver.h"

#include "cache/MediaTime.h"
#include "platform/mf/Propvariant.h"

#include <cassert>

namespace korvane {

ReaderDriver::ReaderDriver(const Concurrency::critical_section& lock, const DecoderTimeline& timeline)
    : Lock(lock), Timeline(timeline) {}

HRESULT ReaderDriver::ReadNext() {
  assert(Lock.is_held_by_current_thread());
  return Reader->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, nullptr, nullptr, nullptr, nullptr);
}

HRESULT ReaderDriver::SeekTo(int64_t position, Clamping clamping) {
  assert(Lock.is_held_by_current_thread());
  if (clamping == Clamping::ToVideo) position = Timeline.Clamp(position);
  PROPVARIANT value;
  PropVariantInit(&value);
  value.vt = VT_I8;
  value.hVal.QuadPart = position;
  return Reader->SetCurrentPosition(GUID_NULL, value);
}

HRESULT ReaderDriver::FlushIfIdle() {
  assert(Lock.is_held_by_current_thread());
  if (FlushPending) return S_OK;
  const HRESULT hr = Reader->Flush(MF_SOURCE_READER_FIRST_VIDEO_STREAM);
  FlushPending = SUCCEEDED(hr);
  return hr;
}

HRESULT ReaderDriver::SeekAndRead(int64_t position, OnSeekFailure onFailure, Clamping clamping) {
  assert(Lock.is_held_by_current_thread());
  HRESULT hr = SeekTo(position, clamping);
  if (SUCCEEDED(hr)) return ReadNext();
  if (onFailure == OnSeekFailure::Flush) {
    // The flush completion seeks again (the decoder's OnFlush).
    ReaderPosition = position;
    return FlushIfIdle();
  }
  // Some sources refuse a seek to a point they cannot reach (a damaged index near the end, for
  // instance); retry a little further back each time, never before the first sample.
  int64_t p = position - kCachingWindow;
  for (int counter = 10;;) {
    if (p < Timeline.FirstSampleTime) return hr;
    if (--counter == 0) return hr;
    hr = SeekTo(p, Clamping::ToVideo);
    p -= kCachingWindow;
    if (SUCCEEDED(hr)) return ReadNext();
  }
}

}  // namespace korvane
