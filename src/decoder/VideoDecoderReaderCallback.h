// VideoDecoderReaderCallback: what the source reader holds and calls back instead of the decoder.
//
// The reader keeps its callback for as long as its work thread runs, which may be longer than
// the decoder lives (a reader released while a callback runs lets that thread finish on its
// own). This small object holds the decoder only weakly, as a bound callback would: each call
// takes a strong reference for its own length, so the decoder cannot go while a callback is in
// it, and a callback that comes after the decoder is gone finds nothing and returns S_OK. So the
// decoder's destruction never waits for the reader's threads.
//
// Threads: called on the reader's work thread only.
#pragma once

#include "platform/com/ComObject.h"
#include "platform/mf/MfReadWrite.h"

#include <memory>

namespace korvane {

class VideoDecoder;

class VideoDecoderReaderCallback final : public ComObject<IMFSourceReaderCallback> {
 public:
  explicit VideoDecoderReaderCallback(std::weak_ptr<VideoDecoder> decoder);

  HRESULT OnReadSample(HRESULT status, DWORD streamIndex, DWORD streamFlags, LONGLONG timestamp,
                       IMFSample* sample) override;
  HRESULT OnFlush(DWORD streamIndex) override;
  HRESULT OnEvent(DWORD streamIndex, IMFMediaEvent* event) override;

 private:
  const std::weak_ptr<VideoDecoder> Decoder;
};

}  // namespace korvane
