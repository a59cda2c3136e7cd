#include "platform/mf/FfmpegHandles.h"

#include "platform/mf/Mferror.h"

extern "C" {
#include <libavutil/error.h>
}

namespace korvane::mf {

std::string AvErrorText(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  return text;
}

HRESULT HresultFromAvError(int error) {
  if (error == AVERROR(ENOMEM)) return E_OUTOFMEMORY;
  if (error == AVERROR_EXIT) return E_ABORT;
  if (error == AVERROR_INVALIDDATA) return MF_E_INVALID_STREAM_DATA;
  return E_FAIL;
}

}  // namespace korvane::mf
