// JpegEncodeJob: one encode of an NV12 picture to JPEG, the body of JpegEncoder::EncodeAsync.
// It holds the encode's working state (the source, both plane buffers and descriptors, the
// streams, the imaging encoder, frame and option bag) and runs the stages in order:
//
//   CheckArguments     null source, width 0, height 0: 668, in that order
//   CheckSourceSize    sizes in 64 bits (668 when they do not fit in 32), then the source's
//                      Size against luma + chroma size: 668 when they differ
//   WrapSource         a COM IStream over the source                          -> 0.1
//   ReadPlanes         one read per plane, from the source's current position -> 0.3
//   DescribePlanes     the two WICBitmapPlane descriptors                     -> 0.4
//   CreateOutputStream a new in-memory random-access stream (runs even when cancelled)
//   CreateEncoder      its IStream, the JPEG encoder, initialized without a cache -> 0.5
//   CreateFrame        frame, 4:2:0 option, Initialize, SetSize, SetPixelFormat -> 0.7
//   WritePixels        the planar write of all rows                           -> 0.9
//   Commit             frame, then encoder                                    -> 1.0
//
// Each stage after the checks runs only if the token is not cancelled when it would start (a
// stage that has started always finishes), except CreateOutputStream. Run returns the output
// stream, or null when the token is cancelled at the end. Failures throw: 668 (kNotReady) for
// the checks above and short reads, the platform exception for the failing HRESULT of any
// stream, activation or imaging call; the message names the call or the bad value.
//
// Lives on the one thread that runs it; releases everything when destroyed, whichever way Run
// ended. Progress is reported on that thread, and Run goes on only when the handler returned.
#pragma once

#include "platform/com/ComPtr.h"
#include "platform/wic/Wincodec.h"
#include "platform/winrt/CancellationToken.h"
#include "platform/winrt/ProgressReporter.h"
#include "platform/winrt/RandomAccessStream.h"

#include <cstdint>
#include <vector>

namespace korvane {

class JpegEncodeJob {
 public:
  using IRandomAccessStream = ABI::Windows::Storage::Streams::IRandomAccessStream;

  JpegEncodeJob(ComPtr<IWICImagingFactory> factory, ComPtr<IRandomAccessStream> source, uint32_t width,
                uint32_t height);

  ComPtr<IRandomAccessStream> Run(const winrt::ProgressReporter<double>& progress,
                                  const winrt::CancellationToken& token);

 private:
  void CheckArguments() const;
  void CheckSourceSize();
  void WrapSource();
  void ReadPlanes();
  void DescribePlanes();
  void CreateOutputStream();
  void CreateEncoder();
  void CreateFrame();
  void WritePixels();
  void Commit();

  void ReadPlane(std::vector<uint8_t>& buffer, uint32_t size, const char* plane);

  const ComPtr<IWICImagingFactory> factory_;
  const ComPtr<IRandomAccessStream> source_;
  const uint32_t width_;
  const uint32_t height_;
  // Plane sizes in bytes, known to fit in 32 bits once CheckSourceSize has passed.
  uint32_t lumaSize_ = 0;
  uint32_t chromaSize_ = 0;

  ComPtr<IStream> sourceStream_;
  std::vector<uint8_t> luma_;
  std::vector<uint8_t> chroma_;
  WICBitmapPlane planes_[2] = {};
  ComPtr<IRandomAccessStream> output_;
  ComPtr<IStream> outputStream_;
  ComPtr<IWICBitmapEncoder> encoder_;
  ComPtr<IWICBitmapFrameEncode> frame_;
  ComPtr<IPropertyBag2> frameOptions_;
};

}  // namespace korvane
