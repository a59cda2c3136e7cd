// The Direct3D 11 subset the component calls, implemented in software: a device whose
// textures live in ordinary memory, its immediate context, and the multithread-protection
// switch. Names, constants, interface ids and signatures are those of the Windows SDK; only the
// calls the component (and the platform's media reader) make are present.
//
// What a caller may rely on:
// - Textures are NV12 or B8G8R8A8, one mip level, one array slice, single-sampled.
// - Every texture's rows are padded to a 64-byte pitch; a mapped NV12 texture is its luma plane
//   (Height rows) followed by its interleaved chroma plane (Height / 2 rows), both with the
//   same RowPitch, and DepthPitch = RowPitch × (Height + Height / 2). B8G8R8A8: 4 bytes a pixel,
//   DepthPitch = RowPitch × Height.
// - Copies are performed at once (there is no GPU queue): a Map after CopySubresourceRegion
//   sees the copied bytes, and Flush only counts.
// - Invalid use fails with E_INVALIDARG, as on the real API. The context's calls that return
//   void (CopySubresourceRegion, Unmap) do nothing on invalid use and record the rejection in
//   the device's diagnostics (DeviceDiagnostics.h).
// - The device is free-threaded (CreateTexture2D from any thread). The immediate context is
//   not, unless ID3D10Multithread::SetMultithreadProtected(TRUE) was called on the device or
//   the context: from then on every context call holds the device's (recursive) lock.
#pragma once

#include "platform/com/Unknown.h"

#include <cstdint>

using HMODULE = void*;

enum DXGI_FORMAT : UINT {
  DXGI_FORMAT_UNKNOWN = 0,
  DXGI_FORMAT_B8G8R8A8_UNORM = 87,
  DXGI_FORMAT_NV12 = 103,
};

struct DXGI_SAMPLE_DESC {
  UINT Count;
  UINT Quality;
};

enum D3D11_USAGE : UINT {
  D3D11_USAGE_DEFAULT = 0,
  D3D11_USAGE_IMMUTABLE = 1,
  D3D11_USAGE_DYNAMIC = 2,
  D3D11_USAGE_STAGING = 3,
};

enum D3D11_BIND_FLAG : UINT {
  D3D11_BIND_SHADER_RESOURCE = 0x8,
  D3D11_BIND_RENDER_TARGET = 0x20,
  D3D11_BIND_DECODER = 0x200,
};

enum D3D11_CPU_ACCESS_FLAG : UINT {
  D3D11_CPU_ACCESS_WRITE = 0x10000,
  D3D11_CPU_ACCESS_READ = 0x20000,
};

enum D3D11_RESOURCE_MISC_FLAG : UINT {
  D3D11_RESOURCE_MISC_SHARED = 0x2,
};

enum D3D11_MAP : UINT {
  D3D11_MAP_READ = 1,
  D3D11_MAP_WRITE = 2,
  D3D11_MAP_READ_WRITE = 3,
  D3D11_MAP_WRITE_DISCARD = 4,
  D3D11_MAP_WRITE_NO_OVERWRITE = 5,
};

enum D3D11_MAP_FLAG : UINT {
  D3D11_MAP_FLAG_DO_NOT_WAIT = 0x100000,
};

enum D3D11_CREATE_DEVICE_FLAG : UINT {
  D3D11_CREATE_DEVICE_SINGLETHREADED = 0x1,
  D3D11_CREATE_DEVICE_DEBUG = 0x2,
  D3D11_CREATE_DEVICE_BGRA_SUPPORT = 0x20,
  D3D11_CREATE_DEVICE_VIDEO_SUPPORT = 0x800,
};

enum D3D_DRIVER_TYPE : UINT {
  D3D_DRIVER_TYPE_UNKNOWN = 0,
  D3D_DRIVER_TYPE_HARDWARE = 1,
  D3D_DRIVER_TYPE_REFERENCE = 2,
  D3D_DRIVER_TYPE_NULL = 3,
  D3D_DRIVER_TYPE_SOFTWARE = 4,
  D3D_DRIVER_TYPE_WARP = 5,
};

enum D3D_FEATURE_LEVEL : UINT {
  D3D_FEATURE_LEVEL_9_1 = 0x9100,
  D3D_FEATURE_LEVEL_9_2 = 0x9200,
  D3D_FEATURE_LEVEL_9_3 = 0x9300,
  D3D_FEATURE_LEVEL_10_0 = 0xa000,
  D3D_FEATURE_LEVEL_10_1 = 0xa100,
  D3D_FEATURE_LEVEL_11_0 = 0xb000,
  D3D_FEATURE_LEVEL_11_1 = 0xb100,
};

constexpr UINT D3D11_SDK_VERSION = 7;
// The largest width or height of a 2D texture at feature level 11.
constexpr UINT D3D11_REQ_TEXTURE2D_U_OR_V_DIMENSION = 16384;

struct D3D11_TEXTURE2D_DESC {
  UINT Width;
  UINT Height;
  UINT MipLevels;
  UINT ArraySize;
  DXGI_FORMAT Format;
  DXGI_SAMPLE_DESC SampleDesc;
  D3D11_USAGE Usage;
  UINT BindFlags;
  UINT CPUAccessFlags;
  UINT MiscFlags;
};

struct D3D11_SUBRESOURCE_DATA {
  const void* pSysMem;
  UINT SysMemPitch;
  UINT SysMemSlicePitch;
};

struct D3D11_MAPPED_SUBRESOURCE {
  void* pData;
  UINT RowPitch;
  UINT DepthPitch;
};

struct D3D11_BOX {
  UINT left;
  UINT top;
  UINT front;
  UINT right;
  UINT bottom;
  UINT back;
};

// Adapters are not enumerated here; D3D11CreateDevice takes only a null one.
struct IDXGIAdapter;

struct ID3D11DeviceChild : IUnknown {
  static constexpr GUID kIid{0x1841E5C8, 0x16B0, 0x489B, {0xBC, 0xC8, 0x44, 0xCF, 0xB0, 0xD5, 0xDE, 0xAE}};
  using BaseInterface = IUnknown;
};

struct ID3D11Resource : ID3D11DeviceChild {
  static constexpr GUID kIid{0xDC8E63F3, 0xD12B, 0x4952, {0xB4, 0x7B, 0x5E, 0x45, 0x02, 0x6A, 0x86, 0x2D}};
  using BaseInterface = ID3D11DeviceChild;
};

struct ID3D11Texture2D : ID3D11Resource {
  static constexpr GUID kIid{0x6F15AAF2, 0xD208, 0x4E89, {0x9A, 0xB4, 0x48, 0x95, 0x35, 0xD3, 0x4F, 0x9C}};
  using BaseInterface = ID3D11Resource;

  // The description the texture was created with.
  virtual void GetDesc(D3D11_TEXTURE2D_DESC* pDesc) = 0;
};

struct ID3D11DeviceContext : ID3D11DeviceChild {
  static constexpr GUID kIid{0xC0BFA96C, 0xE089, 0x44FB, {0x8E, 0xAF, 0x26, 0xF8, 0x79, 0x61, 0x90, 0xDA}};
  using BaseInterface = ID3D11DeviceChild;

  // Copies pSrcBox of the source (the whole source when null) to (DstX, DstY, DstZ) of the
  // destination. Both must be textures of this device with the same format, subresource 0,
  // neither mapped, the destination not immutable, and different resources. With a null box
  // the two must also have the same size and the destination point must be 0,0,0. NV12 boxes
  // and points must be even. Anything else is rejected (see the file comment).
  virtual void CopySubresourceRegion(ID3D11Resource* pDstResource, UINT DstSubresource, UINT DstX, UINT DstY,
                                     UINT DstZ, ID3D11Resource* pSrcResource, UINT SrcSubresource,
                                     const D3D11_BOX* pSrcBox) = 0;
  // Staging textures of this device only, subresource 0, not already mapped; READ needs
  // D3D11_CPU_ACCESS_READ, WRITE needs D3D11_CPU_ACCESS_WRITE, READ_WRITE both; the discard
  // and no-overwrite kinds are for dynamic textures and fail. MapFlags: 0 or DO_NOT_WAIT.
  // pData stays valid until Unmap; the caller may touch it without holding any lock.
  virtual HRESULT Map(ID3D11Resource* pResource, UINT Subresource, D3D11_MAP MapType, UINT MapFlags,
                      D3D11_MAPPED_SUBRESOURCE* pMappedResource) = 0;
  // Ends a Map. Unmap of a texture that is not mapped is rejected (see the file comment).
  virtual void Unmap(ID3D11Resource* pResource, UINT Subresource) = 0;
  // Nothing is queued in software; counted in the diagnostics.
  virtual void Flush() = 0;
};

struct ID3D11Device : IUnknown {
  static constexpr GUID kIid{0xDB6F6DDB, 0xAC77, 0x4E88, {0x82, 0x53, 0x81, 0x9D, 0xF9, 0xBB, 0xF1, 0x40}};
  using BaseInterface = IUnknown;

  // NV12 (even Width and Height) or B8G8R8A8; Width, Height 1..16384; MipLevels 1; ArraySize 1;
  // SampleDesc 1/0. Usage DEFAULT (CPUAccessFlags 0), IMMUTABLE (initial data required,
  // CPUAccessFlags 0) or STAGING (CPU access flags required, BindFlags and MiscFlags 0);
  // DYNAMIC is not offered. BindFlags within SHADER_RESOURCE | RENDER_TARGET | DECODER;
  // MiscFlags within SHARED. Initial data: pSysMem with SysMemPitch bytes a row (at least the
  // row's width in bytes); for NV12 the chroma rows follow Height rows of SysMemPitch bytes.
  // Without initial data the texture is zero-filled. Invalid descriptions fail with
  // E_INVALIDARG; a null ppTexture2D validates only and returns S_FALSE, as on the real API.
  virtual HRESULT CreateTexture2D(const D3D11_TEXTURE2D_DESC* pDesc, const D3D11_SUBRESOURCE_DATA* pInitialData,
                                  ID3D11Texture2D** ppTexture2D) = 0;
  // The device's one immediate context, with a new reference.
  virtual void GetImmediateContext(ID3D11DeviceContext** ppImmediateContext) = 0;
};

// Answered by the device and by its immediate context; both switch the same protection.
struct ID3D10Multithread : IUnknown {
  static constexpr GUID kIid{0x9B7E4E00, 0x342C, 0x4106, {0xA1, 0x9F, 0x4F, 0x27, 0x04, 0xF6, 0x89, 0xF0}};
  using BaseInterface = IUnknown;

  // Takes / leaves the device's lock (recursive, as the original's critical section).
  virtual void Enter() = 0;
  virtual void Leave() = 0;
  // Returns the previous setting.
  virtual BOOL SetMultithreadProtected(BOOL bMTProtect) = 0;
  virtual BOOL GetMultithreadProtected() = 0;
};

// Creates a software device and its immediate context. pAdapter must be null; DriverType
// HARDWARE, WARP, REFERENCE or NULL all give the same software device (UNKNOWN needs an adapter
// and SOFTWARE a rasterizer module, so both fail with E_INVALIDARG); the feature level is the
// first supported one of pFeatureLevels (11_0 when none are given); SDKVersion must be
// D3D11_SDK_VERSION. With both ppDevice and ppImmediateContext null the arguments are only
// validated and S_FALSE is returned.
HRESULT D3D11CreateDevice(IDXGIAdapter* pAdapter, D3D_DRIVER_TYPE DriverType, HMODULE Software, UINT Flags,
                          const D3D_FEATURE_LEVEL* pFeatureLevels, UINT FeatureLevels, UINT SDKVersion,
                          ID3D11Device** ppDevice, D3D_FEATURE_LEVEL* pFeatureLevel,
                          ID3D11DeviceContext** ppImmediateContext);
