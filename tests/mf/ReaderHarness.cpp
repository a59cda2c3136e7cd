#include "ReaderHarness.h"

#include "support/TestMedia.h"
#include "support/TextureReadback.h"

#include <cstring>

namespace korvane::mf::test {

OpenReader OpenFile(const std::string& path, const GUID& subtype) {
  ComPtr<ABI::Windows::Storage::Streams::IRandomAccessStream> stream;
  if (const HRESULT hr = CreateRandomAccessStreamOnFile(path.c_str(), FileAccessMode_Read, IID_PPV_ARGS(&stream));
      FAILED(hr))
    return {.hr = hr};
  return OpenStream(stream.Get(), subtype);
}

OpenReader OpenStream(ABI::Windows::Storage::Streams::IRandomAccessStream* stream, const GUID& subtype) {
  OpenReader open;
  open.callback = MakeComObject<RecordingCallback>();
  EXPECT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION,
                              &open.device, nullptr, &open.context),
            S_OK);
  ComPtr<ID3D10Multithread> multithread;
  if (SUCCEEDED(open.context.As(&multithread))) multithread->SetMultithreadProtected(TRUE);
  UINT token = 0;
  ComPtr<IMFDXGIDeviceManager> manager;
  EXPECT_EQ(MFCreateDXGIDeviceManager(&token, &manager), S_OK);
  EXPECT_EQ(manager->ResetDevice(open.device.Get(), token), S_OK);

  ComPtr<IMFByteStream> byteStream;
  ComPtr<IMFAttributes> attributes;
  EXPECT_EQ(MFCreateAttributes(&attributes, 4), S_OK);
  attributes->SetUnknown(MF_SOURCE_READER_D3D_MANAGER, manager.Get());
  attributes->SetUINT32(MF_SOURCE_READER_ENABLE_ADVANCED_VIDEO_PROCESSING, 1);
  attributes->SetUINT32(MF_READWRITE_ENABLE_HARDWARE_TRANSFORMS, 1);
  attributes->SetUnknown(MF_SOURCE_READER_ASYNC_CALLBACK, open.callback.Get());
  if (FAILED(open.hr = MFCreateMFByteStreamOnStreamEx(stream, &byteStream)) ||
      FAILED(open.hr = MFCreateSourceReaderFromByteStream(byteStream.Get(), attributes.Get(), &open.reader)))
    return open;
  open.hr = SetOutput(open.reader.Get(), subtype);
  return open;
}

Completion ReadOne(OpenReader& open) {
  const size_t before = open.callback->Count();
  const HRESULT hr =
      open.reader->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(hr, S_OK);
  if (FAILED(hr)) return Completion{.status = hr, .flags = MF_SOURCE_READERF_ERROR};
  EXPECT_TRUE(open.callback->WaitForCount(before + 1));
  return open.callback->At(before);
}

HRESULT SetOutput(IMFSourceReader* reader, const GUID& subtype, UINT32 width, UINT32 height) {
  ComPtr<IMFMediaType> type;
  if (const HRESULT hr = MFCreateMediaType(&type); FAILED(hr)) return hr;
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  type->SetGUID(MF_MT_SUBTYPE, subtype);
  if (width != 0) MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, width, height);
  return reader->SetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, nullptr, type.Get());
}

ComPtr<ID3D11Texture2D> TextureOf(IMFSample* sample, D3D11_TEXTURE2D_DESC* desc) {
  ComPtr<IMFMediaBuffer> buffer;
  ComPtr<IMFDXGIBuffer> dxgi;
  ComPtr<ID3D11Texture2D> texture;
  if (sample == nullptr || FAILED(sample->GetBufferByIndex(0, &buffer)) || FAILED(buffer.As(&dxgi)) ||
      FAILED(dxgi->GetResource(IID_PPV_ARGS(&texture))))
    return nullptr;
  if (desc != nullptr) texture->GetDesc(desc);
  return texture;
}

std::vector<uint8_t> ReadBack(const OpenReader& open, ID3D11Texture2D* texture) {
  if (texture == nullptr) return {};
  return korvane::test::ReadTexture(open.device.Get(), texture).Packed();
}

int FrameIndexOf(const OpenReader& open, ID3D11Texture2D* texture, int* rotation) {
  std::vector<uint8_t> packed = ReadBack(open, texture);
  if (packed.empty()) return -1;
  D3D11_TEXTURE2D_DESC desc{};
  texture->GetDesc(&desc);
  const int width = static_cast<int>(desc.Width), height = static_cast<int>(desc.Height);
  if (desc.Format == DXGI_FORMAT_NV12) {
    if (korvane::test::ReadFrameIndexNv12(packed.data(), width, width, height) < 0) return -1;
  } else {
    for (size_t i = 0; i < packed.size() / 4; ++i) packed[i] = packed[i * 4 + 1];
  }
  const korvane::test::FrameMark mark = korvane::test::ReadFrameMark(packed.data(), width, width, height);
  if (rotation != nullptr) *rotation = mark.rotationDegrees;
  return mark.index;
}

PROPVARIANT Position(int64_t time) {
  PROPVARIANT value;
  PropVariantInit(&value);
  value.vt = VT_I8;
  value.hVal.QuadPart = time;
  return value;
}

}  // namespace korvane::mf::test
