// Shared by the software Direct3D tests: a device, texture descriptions, a recognisable picture
// in a caller-pitched buffer, and the read-back every caller of the device uses (staging copy
// + Map).
#pragma once

#include "platform/com/ComPtr.h"
#include "platform/d3d11/D3D11.h"
#include "platform/d3d11/DeviceDiagnostics.h"
#include "support/TextureReadback.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace korvane::d3d11::test {

struct DeviceAndContext {
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  ComPtr<IDeviceDiagnostics> diagnostics;
};

inline DeviceAndContext MakeDevice() {
  DeviceAndContext d;
  EXPECT_EQ(S_OK, D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_VIDEO_SUPPORT,
                                    nullptr, 0, D3D11_SDK_VERSION, &d.device, nullptr, &d.context));
  EXPECT_EQ(S_OK, d.device.As(&d.diagnostics));
  return d;
}

// Whether the device's latest rejection names `mentioned` (the bad value, usually).
inline ::testing::AssertionResult RejectionMentions(const DeviceAndContext& d, const char* mentioned) {
  const std::string why = d.diagnostics->GetLastRejection();
  if (why.find(mentioned) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "latest rejection \"" << why << "\" does not mention " << mentioned;
}

inline D3D11_TEXTURE2D_DESC Desc(DXGI_FORMAT format, UINT width, UINT height, D3D11_USAGE usage = D3D11_USAGE_DEFAULT) {
  D3D11_TEXTURE2D_DESC desc{width, height, 1, 1, format, {1, 0}, usage, 0, 0, 0};
  if (usage == D3D11_USAGE_STAGING) {
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ | D3D11_CPU_ACCESS_WRITE;
  } else {
    desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
  }
  return desc;
}

inline UINT RowBytes(const D3D11_TEXTURE2D_DESC& desc) { return korvane::test::PictureRowBytes(desc.Format, desc.Width); }
inline UINT Rows(const D3D11_TEXTURE2D_DESC& desc) { return korvane::test::PictureRows(desc.Format, desc.Height); }

// Rows(desc) rows of `pitch` bytes; every picture byte depends on its row, column and `seed`,
// the padding beyond the row's width is 0xEE so that reading it by mistake shows.
inline std::vector<uint8_t> Picture(const D3D11_TEXTURE2D_DESC& desc, UINT pitch, int seed) {
  std::vector<uint8_t> bytes(static_cast<std::size_t>(pitch) * Rows(desc), 0xEE);
  for (UINT row = 0; row < Rows(desc); ++row)
    for (UINT col = 0; col < RowBytes(desc); ++col) bytes[row * pitch + col] = static_cast<uint8_t>(row * 7 + col * 3 + seed);
  return bytes;
}

inline std::vector<uint8_t> Packed(const std::vector<uint8_t>& bytes, const D3D11_TEXTURE2D_DESC& desc, UINT pitch) {
  std::vector<uint8_t> packed;
  for (UINT row = 0; row < Rows(desc); ++row)
    packed.insert(packed.end(), bytes.begin() + row * pitch, bytes.begin() + row * pitch + RowBytes(desc));
  return packed;
}

// The picture bytes of `texture` (rows packed to their width), read through a staging copy and
// Map, and the mapped pitches.
struct ReadBack {
  std::vector<uint8_t> packed;
  UINT rowPitch = 0;
  UINT depthPitch = 0;
};

inline ReadBack Read(const DeviceAndContext& d, ID3D11Texture2D* texture) {
  const korvane::test::TextureBytes read = korvane::test::ReadTexture(d.device.Get(), texture);
  EXPECT_FALSE(read.bytes.empty()) << "the texture could not be read back";
  return {read.Packed(), read.rowPitch, read.depthPitch};
}

}  // namespace korvane::d3d11::test
