// The plain Media Foundation objects: attribute stores and their failure codes, samples and
// their buffers (texture copies included), the device manager and the start-up count.
#include "platform/com/ComObject.h"
#include "platform/d3d11/D3D11.h"
#include "platform/mf/Mfapi.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace korvane::mf::test {
namespace {

constexpr GUID kKey{0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kOtherKey{0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 9}};

class Counted final : public ComObject<IUnknown> {};

// The bytes a buffer's Lock shows.
std::vector<BYTE> Packed(IMFMediaBuffer* buffer) {
  BYTE* bytes = nullptr;
  DWORD length = 0;
  EXPECT_EQ(buffer->Lock(&bytes, nullptr, &length), S_OK);
  std::vector<BYTE> copy(bytes, bytes + length);
  buffer->Unlock();
  return copy;
}

TEST(AttributesTest, Get_MissingAndWrongType) {
  ComPtr<IMFAttributes> attributes;
  ASSERT_EQ(MFCreateAttributes(&attributes, 4), S_OK);
  UINT32 u32 = 0;
  UINT64 u64 = 0;
  GUID guid{};
  EXPECT_EQ(attributes->GetUINT32(kKey, &u32), MF_E_ATTRIBUTENOTFOUND);
  ASSERT_EQ(attributes->SetUINT64(kKey, 0x1234'5678'9ABCull), S_OK);
  EXPECT_EQ(attributes->GetUINT32(kKey, &u32), MF_E_INVALIDTYPE);
  EXPECT_EQ(attributes->GetGUID(kKey, &guid), MF_E_INVALIDTYPE);
  EXPECT_EQ(attributes->GetUINT64(kKey, &u64), S_OK);
  EXPECT_EQ(u64, 0x1234'5678'9ABCull);
  // Setting again replaces the value and its type.
  ASSERT_EQ(attributes->SetGUID(kKey, kOtherKey), S_OK);
  EXPECT_EQ(attributes->GetGUID(kKey, &guid), S_OK);
  EXPECT_EQ(guid, kOtherKey);
  UINT32 count = 0;
  EXPECT_EQ(attributes->GetCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(attributes->DeleteItem(kKey), S_OK);
  EXPECT_EQ(attributes->GetGUID(kKey, &guid), MF_E_ATTRIBUTENOTFOUND);
  EXPECT_EQ(attributes->DeleteItem(kKey), S_OK);
}

TEST(AttributesTest, SetUnknown_HoldsReference) {
  ComPtr<Counted> object = MakeComObject<Counted>();
  auto references = [&] { return object->AddRef(), object->Release(); };
  {
    ComPtr<IMFMediaType> type;
    ASSERT_EQ(MFCreateMediaType(&type), S_OK);
    ASSERT_EQ(type->SetUnknown(kKey, object.Get()), S_OK);
    EXPECT_EQ(references(), 2u);  // ours and the store's
    ComPtr<IUnknown> back;
    EXPECT_EQ(type->GetUnknown(kKey, IID_PPV_ARGS(&back)), S_OK);
    EXPECT_EQ(back.Get(), static_cast<IUnknown*>(object.Get()));
    ComPtr<IMFSample> wrong;
    EXPECT_EQ(type->GetUnknown(kKey, IID_PPV_ARGS(&wrong)), E_NOINTERFACE);

    ComPtr<IMFAttributes> copy;
    ASSERT_EQ(MFCreateAttributes(&copy, 0), S_OK);
    copy->SetUINT32(kOtherKey, 5);
    ASSERT_EQ(type->CopyAllItems(copy.Get()), S_OK);
    UINT32 count = 0;
    copy->GetCount(&count);
    EXPECT_EQ(count, 1u);  // the copy replaced what was there
    EXPECT_EQ(copy->GetUnknown(kKey, IID_PPV_ARGS(&back)), S_OK);
  }
  EXPECT_EQ(references(), 1u);  // every store let go
}

TEST(SampleTest, TimeAndDuration_Unset) {
  ComPtr<IMFSample> sample;
  ASSERT_EQ(MFCreateSample(&sample), S_OK);
  LONGLONG value = 0;
  EXPECT_EQ(sample->GetSampleTime(&value), MF_E_NO_SAMPLE_TIMESTAMP);
  EXPECT_EQ(sample->GetSampleDuration(&value), MF_E_NO_SAMPLE_DURATION);
  sample->SetSampleDuration(333'667);
  EXPECT_EQ(sample->GetSampleDuration(&value), S_OK);
  EXPECT_EQ(value, 333'667);
  ComPtr<IMFMediaBuffer> buffer;
  EXPECT_EQ(sample->GetBufferByIndex(0, &buffer), E_INVALIDARG);
  EXPECT_EQ(sample->ConvertToContiguousBuffer(&buffer), E_UNEXPECTED);
}

TEST(SampleTest, ConvertToContiguousBuffer_JoinsBuffers) {
  ComPtr<IMFSample> sample;
  ASSERT_EQ(MFCreateSample(&sample), S_OK);
  for (BYTE fill : {BYTE{1}, BYTE{2}}) {
    ComPtr<IMFMediaBuffer> part;
    ASSERT_EQ(MFCreateMemoryBuffer(3, &part), S_OK);
    BYTE* bytes = nullptr;
    part->Lock(&bytes, nullptr, nullptr);
    std::memset(bytes, fill, 3);
    part->Unlock();
    part->SetCurrentLength(fill == 1 ? 3 : 2);
    sample->AddBuffer(part.Get());
  }
  ComPtr<IMFMediaBuffer> joined;
  ASSERT_EQ(sample->ConvertToContiguousBuffer(&joined), S_OK);
  EXPECT_EQ(Packed(joined.Get()), (std::vector<BYTE>{1, 1, 1, 2, 2}));
  DWORD count = 0;
  sample->GetBufferCount(&count);
  EXPECT_EQ(count, 1u);

  ComPtr<IMFMediaBuffer> small;
  ASSERT_EQ(MFCreateMemoryBuffer(4, &small), S_OK);
  EXPECT_EQ(sample->CopyToBuffer(small.Get()), MF_E_BUFFERTOOSMALL);
}

class TextureBufferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION,
                                &device_, nullptr, &context_),
              S_OK);
  }
  ComPtr<ID3D11Texture2D> Nv12(UINT width, UINT height, BYTE first) {
    std::vector<BYTE> bytes(size_t{width} * (height + height / 2));
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<BYTE>(first + i);
    D3D11_TEXTURE2D_DESC desc{width, height, 1, 1, DXGI_FORMAT_NV12, {1, 0}, D3D11_USAGE_DEFAULT,
                              D3D11_BIND_SHADER_RESOURCE, 0, 0};
    D3D11_SUBRESOURCE_DATA data{bytes.data(), width, 0};
    ComPtr<ID3D11Texture2D> texture;
    EXPECT_EQ(device_->CreateTexture2D(&desc, &data, &texture), S_OK);
    return texture;
  }

  ComPtr<ID3D11Device> device_;
  ComPtr<ID3D11DeviceContext> context_;
};

TEST_F(TextureBufferTest, Lock_PackedAndWrittenBack) {
  ComPtr<ID3D11Texture2D> texture = Nv12(34, 6, 0);
  ComPtr<IMFMediaBuffer> buffer;
  ASSERT_EQ(MFCreateDXGISurfaceBuffer(ID3D11Texture2D::kIid, texture.Get(), 0, FALSE, &buffer), S_OK);
  std::vector<BYTE> packed = Packed(buffer.Get());
  ASSERT_EQ(packed.size(), 34u * 9);
  for (size_t i = 0; i < packed.size(); ++i) ASSERT_EQ(packed[i], static_cast<BYTE>(i));

  BYTE* bytes = nullptr;
  ASSERT_EQ(buffer->Lock(&bytes, nullptr, nullptr), S_OK);
  bytes[34 * 6] = 0xEE;  // first chroma byte
  ASSERT_EQ(buffer->Unlock(), S_OK);
  EXPECT_EQ(Packed(buffer.Get())[34 * 6], 0xEE);
  EXPECT_EQ(buffer->Unlock(), E_UNEXPECTED);

  ComPtr<IMFDXGIBuffer> dxgi;
  ASSERT_EQ(buffer.As(&dxgi), S_OK);
  ComPtr<ID3D11Texture2D> back;
  EXPECT_EQ(dxgi->GetResource(IID_PPV_ARGS(&back)), S_OK);
  EXPECT_EQ(back.Get(), texture.Get());
  EXPECT_EQ(MFCreateDXGISurfaceBuffer(ID3D11Texture2D::kIid, texture.Get(), 1, FALSE, &buffer), E_INVALIDARG);
}

TEST_F(TextureBufferTest, CopyToBuffer_TextureToTexture) {
  ComPtr<ID3D11Texture2D> source = Nv12(66, 4, 7);
  ComPtr<ID3D11Texture2D> target = Nv12(66, 4, 0);
  ComPtr<IMFMediaBuffer> sourceBuffer, targetBuffer;
  ASSERT_EQ(MFCreateDXGISurfaceBuffer(ID3D11Texture2D::kIid, source.Get(), 0, FALSE, &sourceBuffer), S_OK);
  ASSERT_EQ(MFCreateDXGISurfaceBuffer(ID3D11Texture2D::kIid, target.Get(), 0, FALSE, &targetBuffer), S_OK);
  ComPtr<IMFSample> sample;
  ASSERT_EQ(MFCreateSample(&sample), S_OK);
  sample->AddBuffer(sourceBuffer.Get());
  ASSERT_EQ(sample->CopyToBuffer(targetBuffer.Get()), S_OK);
  EXPECT_EQ(Packed(targetBuffer.Get()), Packed(sourceBuffer.Get()));

  ComPtr<IMFMediaBuffer> otherSize;
  ComPtr<ID3D11Texture2D> small = Nv12(64, 4, 0);
  ASSERT_EQ(MFCreateDXGISurfaceBuffer(ID3D11Texture2D::kIid, small.Get(), 0, FALSE, &otherSize), S_OK);
  EXPECT_EQ(sample->CopyToBuffer(otherSize.Get()), MF_E_INVALIDMEDIATYPE);
}

TEST_F(TextureBufferTest, DeviceManager_HandlesGoStaleOnReset) {
  UINT token = 0;
  ComPtr<IMFDXGIDeviceManager> manager;
  ASSERT_EQ(MFCreateDXGIDeviceManager(&token, &manager), S_OK);
  HANDLE handle = nullptr;
  EXPECT_EQ(manager->OpenDeviceHandle(&handle), MF_E_DXGI_DEVICE_NOT_INITIALIZED);
  EXPECT_EQ(manager->ResetDevice(device_.Get(), token + 1), E_INVALIDARG);
  ASSERT_EQ(manager->ResetDevice(device_.Get(), token), S_OK);
  ASSERT_EQ(manager->OpenDeviceHandle(&handle), S_OK);
  ComPtr<ID3D11Device> locked;
  ASSERT_EQ(manager->LockDevice(handle, IID_PPV_ARGS(&locked), TRUE), S_OK);
  EXPECT_EQ(locked.Get(), device_.Get());
  EXPECT_EQ(manager->UnlockDevice(handle, FALSE), S_OK);
  ASSERT_EQ(manager->ResetDevice(device_.Get(), token), S_OK);
  EXPECT_EQ(manager->TestDevice(handle), MF_E_DXGI_NEW_VIDEO_DEVICE);
  EXPECT_EQ(manager->CloseDeviceHandle(handle), S_OK);
  EXPECT_EQ(manager->TestDevice(handle), E_HANDLE);
}

TEST(StartupTest, Shutdown_Counted) {
  EXPECT_EQ(MFStartup(0x10070), MF_E_BAD_STARTUP_VERSION);
  ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_FULL), S_OK);
  ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_FULL), S_OK);
  EXPECT_EQ(MFShutdown(), S_OK);
  EXPECT_EQ(MFShutdown(), S_OK);
  EXPECT_EQ(MFShutdown(), MF_E_SHUTDOWN);
}

}  // namespace
}  // namespace korvane::mf::test
