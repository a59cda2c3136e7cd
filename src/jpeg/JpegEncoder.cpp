#include "jpeg/JpegEncoder.h"

#include "jpeg/JpegEncodeJob.h"
#include "platform/com/Boundary.h"
#include "platform/winrt/Async.h"

namespace korvane {

using ABI::Windows::Storage::Streams::IRandomAccessStream;

HRESULT JpegEncoder::EncodeAsync(
    IRandomAccessStream* source, UINT32 width, UINT32 height,
    ABI::Windows::Foundation::IAsyncOperationWithProgress<IRandomAccessStream*, double>** operation) {
  return CallBoundary(
      false,
      [&] {
        // The arguments are checked by the body, so that bad ones end the operation in its
        // error state rather than failing this call.
        ComPtr<JpegEncoder> self(this);
        ComPtr<IRandomAccessStream> picture(source);
        auto started = winrt::CreateAsyncOperationWithProgress<IRandomAccessStream*, double>(
            [self, picture, width, height](const winrt::ProgressReporter<double>& progress,
                                           const winrt::CancellationToken& token) {
              JpegEncodeJob job(self->ImagingFactory(), picture, width, height);
              return job.Run(progress, token);
            });
        *operation = started.Detach();
      },
      operation);
}

}  // namespace korvane
