#include "decoder/VideoDecoderReaderCallback.h"

#include "decoder/VideoDecoder.h"

#include <utility>

namespace korvane {

VideoDecoderReaderCallback::VideoDecoderReaderCallback(std::weak_ptr<VideoDecoder> decoder)
    : Decoder(std::move(decoder)) {}

HRESULT VideoDecoderReaderCallback::OnReadSample(HRESULT status, DWORD streamIndex, DWORD streamFlags,
                                                 LONGLONG timestamp, IMFSample* sample) {
  const std::shared_ptr<VideoDecoder> decoder = Decoder.lock();
  return decoder ? decoder->OnReadSample(status, streamIndex, streamFlags, timestamp, sample) : S_OK;
}

HRESULT VideoDecoderReaderCallback::OnFlush(DWORD streamIndex) {
  const std::shared_ptr<VideoDecoder> decoder = Decoder.lock();
  return decoder ? decoder->OnFlush(streamIndex) : S_OK;
}

HRESULT VideoDecoderReaderCallback::OnEvent(DWORD streamIndex, IMFMediaEvent* event) {
  const std::shared_ptr<VideoDecoder> decoder = Decoder.lock();
  return decoder ? decoder->OnEvent(streamIndex, event) : S_OK;
}

}  // namespace korvane
