// JpegEncoder: the runtime class "Korvane.Native.JpegEncoder" (include/korvane/JpegEncoder.h
// states what clients may rely on). It owns the imaging factory and starts encodes; the encode
// itself is a JpegEncodeJob run as an asynchronous operation with progress on the thread pool.
//
// Identity: a component runtime class (module-counted, weak-referenceable, agile) whose only
// own interface is IJpegEncoder. It has no state besides the factory and is never closed.
//
// Threads and ownership: EncodeAsync may be called from any thread, any number of times at
// once; it only captures its arguments and starts the operation. Each operation holds a strong
// reference to the encoder until its body has ended, so a client may release the encoder while
// encodes run. Operations share the imaging factory without a lock and take no lock of the
// component.
#pragma once

#include "jpeg/ImagingFactoryOwner.h"
#include "korvane/JpegEncoder.h"
#include "platform/com/RuntimeClass.h"

namespace korvane {

class JpegEncoder final : private ImagingFactoryOwner,
                          public RuntimeClass<com::kComponentClass, ABI::Korvane::Native::IJpegEncoder> {
 public:
  // Throws when no imaging factory can be created (ImagingFactoryOwner.h).
  JpegEncoder() = default;

  HRESULT EncodeAsync(ABI::Windows::Storage::Streams::IRandomAccessStream* source, UINT32 width, UINT32 height,
                      ABI::Windows::Foundation::IAsyncOperationWithProgress<
                          ABI::Windows::Storage::Streams::IRandomAccessStream*, double>** operation) override;

 protected:
  const char* RuntimeClassNameText() const override { return ABI::Korvane::Native::kJpegEncoderClassName; }
};

}  // namespace korvane
