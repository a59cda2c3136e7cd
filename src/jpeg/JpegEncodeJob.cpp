#include "jpeg/JpegEncodeJob.h"

#include "platform/com/Exceptions.h"
#include "platform/com/HString.h"
#include "platform/winrt/Activation.h"

#include <limits>
#include <sstream>
#include <string>

namespace korvane {

namespace {

void Check(HRESULT hr, const char* call) {
  if (FAILED(hr)) ThrowHResult(hr, call);
}

std::string PictureText(uint32_t width, uint32_t height) {
  std::ostringstream text;
  text << "a " << width << " x " << height << " NV12 picture";
  return text.str();
}

}  // namespace

JpegEncodeJob::JpegEncodeJob(ComPtr<IWICImagingFactory> factory, ComPtr<IRandomAccessStream> source, uint32_t width,
                             uint32_t height)
    : factory_(std::move(factory)), source_(std::move(source)), width_(width), height_(height) {}

ComPtr<JpegEncodeJob::IRandomAccessStream> JpegEncodeJob::Run(const winrt::ProgressReporter<double>& progress,
                                                              const winrt::CancellationToken& token) {
  CheckArguments();
  CheckSourceSize();
  if (!token.IsCanceled()) {
    WrapSource();
    progress.Report(0.1);
  }
  if (!token.IsCanceled()) {
    ReadPlanes();
    progress.Report(0.3);
  }
  if (!token.IsCanceled()) {
    DescribePlanes();
    progress.Report(0.4);
  }
  CreateOutputStream();
  if (!token.IsCanceled()) {
    CreateEncoder();
    progress.Report(0.5);
  }
  if (!token.IsCanceled()) {
    CreateFrame();
    progress.Report(0.7);
    frameOptions_.Reset();
  }
  if (!token.IsCanceled()) {
    WritePixels();
    progress.Report(0.9);
  }
  if (!token.IsCanceled()) {
    Commit();
    progress.Report(1.0);
  }
  if (token.IsCanceled()) return nullptr;
  return output_;
}

void JpegEncodeJob::CheckArguments() const {
  if (!source_) ThrowNotReady("EncodeAsync: the source stream is null");
  if (width_ == 0) ThrowNotReady("EncodeAsync: width is 0");
  if (height_ == 0) ThrowNotReady("EncodeAsync: height is 0");
}

void JpegEncodeJob::CheckSourceSize() {
  // In 64 bits: in 32, a large picture's sizes wrap into small numbers that a short stream
  // could match, and the planes would then be read past their ends.
  const uint64_t lumaSize = uint64_t{width_} * height_;
  const uint64_t chromaSize = (lumaSize + 1) / 2;
  const uint64_t pictureSize = lumaSize + chromaSize;
  if (pictureSize > std::numeric_limits<uint32_t>::max()) {
    std::ostringstream text;
    text << "EncodeAsync: " << PictureText(width_, height_) << " needs " << pictureSize
         << " bytes, more than 32 bits can count";
    ThrowNotReady(text.str());
  }
  lumaSize_ = static_cast<uint32_t>(lumaSize);
  chromaSize_ = static_cast<uint32_t>(chromaSize);

  UINT64 sourceSize = 0;
  Check(source_->get_Size(&sourceSize), "IRandomAccessStream::get_Size of the source");
  if (sourceSize != pictureSize) {
    std::ostringstream text;
    text << "EncodeAsync: the source holds " << sourceSize << " bytes, " << PictureText(width_, height_) << " takes "
         << pictureSize;
    ThrowNotReady(text.str());
  }
}

void JpegEncodeJob::WrapSource() {
  Check(CreateStreamOverRandomAccessStream(source_.Get(), IID_PPV_ARGS(&sourceStream_)),
        "CreateStreamOverRandomAccessStream of the source");
}

void JpegEncodeJob::ReadPlane(std::vector<uint8_t>& buffer, uint32_t size, const char* plane) {
  buffer.assign(size, 0);
  ULONG read = 0;
  Check(sourceStream_->Read(buffer.data(), size, &read), "IStream::Read of the source");
  if (read != size) {
    std::ostringstream text;
    text << "EncodeAsync: read " << read << " of the " << size << " bytes of the " << plane
         << " plane (the source must be at position 0)";
    ThrowNotReady(text.str());
  }
}

void JpegEncodeJob::ReadPlanes() {
  // Never seeks: the source is read from wherever its position is.
  ReadPlane(luma_, lumaSize_, "luma");
  ReadPlane(chroma_, chromaSize_, "chroma");
}

void JpegEncodeJob::DescribePlanes() {
  planes_[0] = {GUID_WICPixelFormat8bppY, luma_.data(), width_, lumaSize_};
  planes_[1] = {GUID_WICPixelFormat16bppCbCr, chroma_.data(), width_, chromaSize_};
}

void JpegEncodeJob::CreateOutputStream() {
  const Platform::String className(winrt::kInMemoryRandomAccessStreamClassName);
  ComPtr<IActivationFactory> factory;
  Check(RoGetActivationFactory(className.Get(), IID_PPV_ARGS(&factory)),
        "RoGetActivationFactory(Windows.Storage.Streams.InMemoryRandomAccessStream)");
  ComPtr<IInspectable> instance;
  Check(factory->ActivateInstance(&instance), "ActivateInstance of the output stream");
  Check(instance.As(&output_), "IRandomAccessStream of the output stream");
}

void JpegEncodeJob::CreateEncoder() {
  Check(CreateStreamOverRandomAccessStream(output_.Get(), IID_PPV_ARGS(&outputStream_)),
        "CreateStreamOverRandomAccessStream of the output");
  Check(factory_->CreateEncoder(GUID_ContainerFormatJpeg, nullptr, &encoder_), "IWICImagingFactory::CreateEncoder");
  Check(encoder_->Initialize(outputStream_.Get(), WICBitmapEncoderNoCache), "IWICBitmapEncoder::Initialize");
}

void JpegEncodeJob::CreateFrame() {
  Check(encoder_->CreateNewFrame(&frame_, &frameOptions_), "IWICBitmapEncoder::CreateNewFrame");
  // Only the subsampling is set: quality and the other options keep the encoder's defaults.
  char name[] = "JpegYCrCbSubsampling";
  PROPBAG2 option{};
  option.pstrName = name;
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_UI1;
  value.bVal = WICJpegYCrCbSubsampling420;
  Check(frameOptions_->Write(1, &option, &value), "IPropertyBag2::Write(JpegYCrCbSubsampling)");
  Check(frame_->Initialize(frameOptions_.Get()), "IWICBitmapFrameEncode::Initialize");
  Check(frame_->SetSize(width_, height_), "IWICBitmapFrameEncode::SetSize");
  // The planar path's interleaved twin; whatever format the encoder answers is fine.
  WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
  Check(frame_->SetPixelFormat(&format), "IWICBitmapFrameEncode::SetPixelFormat");
}

void JpegEncodeJob::WritePixels() {
  ComPtr<IWICPlanarBitmapFrameEncode> planar;
  Check(frame_.As(&planar), "IWICPlanarBitmapFrameEncode of the frame");
  const HRESULT hr = planar->WritePixels(height_, planes_, 2);
  if (FAILED(hr))
    ThrowHResult(hr, "IWICPlanarBitmapFrameEncode::WritePixels of " + PictureText(width_, height_));
}

void JpegEncodeJob::Commit() {
  Check(frame_->Commit(), "IWICBitmapFrameEncode::Commit");
  Check(encoder_->Commit(), "IWICBitmapEncoder::Commit");
}

}  // namespace korvane
