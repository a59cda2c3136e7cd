// The imaging-component subset the component calls: the factory's CreateEncoder, the JPEG
// bitmap encoder and its frame, and the planar frame encode that takes Y and CbCr planes.
// Class ids, format ids, interface ids and error codes are the public Windows values.
//
// Each interface declares only the methods the component calls, in their original order;
// nothing else of the imaging component exists here. The factory is created with
// CoCreateInstanceFromApp or CoCreateInstance (ComActivation.h).
#pragma once

#include "platform/com/Stream.h"
#include "platform/com/Unknown.h"
#include "platform/wic/PropertyBag2.h"

using WICPixelFormatGUID = GUID;
using REFWICPixelFormatGUID = const GUID&;

// Class ids of the imaging factory. The first version's id is also known as
// CLSID_WICImagingFactory1; both create the same factory here.
constexpr CLSID CLSID_WICImagingFactory{0xCACAF262, 0x9370, 0x4615, {0xA1, 0x3B, 0x9F, 0x55, 0x39, 0xDA, 0x4C, 0x0A}};
constexpr CLSID CLSID_WICImagingFactory1 = CLSID_WICImagingFactory;
constexpr CLSID CLSID_WICImagingFactory2{0x317D06E8, 0x5F24, 0x433D, {0xBD, 0xF7, 0x79, 0xCE, 0x68, 0xD8, 0xAB, 0xC2}};

// Container formats. Only JPEG has an encoder; the others are named so that callers (and
// tests) can ask for them and be refused.
constexpr GUID GUID_ContainerFormatBmp{0x0AF1D87E, 0xFCFE, 0x4188, {0xBD, 0xEB, 0xA7, 0x90, 0x64, 0x71, 0xCB, 0xE3}};
constexpr GUID GUID_ContainerFormatPng{0x1B7CFAF4, 0x713F, 0x473C, {0xBB, 0xCD, 0x61, 0x37, 0x42, 0x5F, 0xAE, 0xAF}};
constexpr GUID GUID_ContainerFormatJpeg{0x19E4A5AA, 0x5662, 0x4FC5, {0xA0, 0xC0, 0x17, 0x58, 0x02, 0x8E, 0x10, 0x57}};

// Pixel formats.
constexpr WICPixelFormatGUID GUID_WICPixelFormat24bppBGR{
    0x6FDDC324, 0x4E03, 0x4BFE, {0xB1, 0x85, 0x3D, 0x77, 0x76, 0x8D, 0xC9, 0x0C}};
constexpr WICPixelFormatGUID GUID_WICPixelFormat8bppY{
    0x91B4DB54, 0x2DF9, 0x42F0, {0xB4, 0x49, 0x29, 0x09, 0xBB, 0x3D, 0xF8, 0x8E}};
constexpr WICPixelFormatGUID GUID_WICPixelFormat8bppCb{
    0x1339F224, 0x6BFE, 0x4C3E, {0x93, 0x02, 0xE4, 0xF3, 0xA6, 0xD0, 0xCA, 0x2A}};
constexpr WICPixelFormatGUID GUID_WICPixelFormat8bppCr{
    0xB8145053, 0x2116, 0x49F0, {0x88, 0x35, 0xED, 0x84, 0x4B, 0x20, 0x5C, 0x51}};
constexpr WICPixelFormatGUID GUID_WICPixelFormat16bppCbCr{
    0xFF95BA6E, 0x11E0, 0x4263, {0xBB, 0x45, 0x01, 0x72, 0x1F, 0x34, 0x60, 0xA4}};

// Error codes (facility 0x898).
constexpr HRESULT WINCODEC_ERR_GENERIC_ERROR = E_FAIL;
constexpr HRESULT WINCODEC_ERR_INVALIDPARAMETER = E_INVALIDARG;
constexpr HRESULT WINCODEC_ERR_OUTOFMEMORY = E_OUTOFMEMORY;
constexpr HRESULT WINCODEC_ERR_WRONGSTATE = MakeHresult(0x88982F04u);
constexpr HRESULT WINCODEC_ERR_VALUEOUTOFRANGE = MakeHresult(0x88982F05u);
constexpr HRESULT WINCODEC_ERR_NOTINITIALIZED = MakeHresult(0x88982F0Cu);
constexpr HRESULT WINCODEC_ERR_PROPERTYNOTFOUND = MakeHresult(0x88982F40u);
constexpr HRESULT WINCODEC_ERR_CODECTOOMANYSCANLINES = MakeHresult(0x88982F46u);
constexpr HRESULT WINCODEC_ERR_COMPONENTNOTFOUND = MakeHresult(0x88982F50u);
constexpr HRESULT WINCODEC_ERR_IMAGESIZEOUTOFRANGE = MakeHresult(0x88982F51u);
constexpr HRESULT WINCODEC_ERR_FRAMEMISSING = MakeHresult(0x88982F62u);
constexpr HRESULT WINCODEC_ERR_STREAMWRITE = MakeHresult(0x88982F71u);
constexpr HRESULT WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT = MakeHresult(0x88982F80u);
constexpr HRESULT WINCODEC_ERR_UNSUPPORTEDOPERATION = MakeHresult(0x88982F81u);
constexpr HRESULT WINCODEC_ERR_INSUFFICIENTBUFFER = MakeHresult(0x88982F8Cu);

enum WICBitmapEncoderCacheOption : DWORD {
  WICBitmapEncoderCacheInMemory = 0,
  WICBitmapEncoderCacheTempFile = 1,
  WICBitmapEncoderNoCache = 2,
};

// Values of the "JpegYCrCbSubsampling" option (VT_UI1).
enum WICJpegYCrCbSubsamplingOption : BYTE {
  WICJpegYCrCbSubsamplingDefault = 0,
  WICJpegYCrCbSubsampling420 = 1,
  WICJpegYCrCbSubsampling422 = 2,
  WICJpegYCrCbSubsampling444 = 3,
  WICJpegYCrCbSubsampling440 = 4,
};

// One plane handed to IWICPlanarBitmapFrameEncode::WritePixels. The encoder reads at most
// cbBufferSize bytes from pbBuffer, rows cbStride bytes apart.
struct WICBitmapPlane {
  WICPixelFormatGUID Format;
  BYTE* pbBuffer;
  UINT cbStride;
  UINT cbBufferSize;
};

struct IWICBitmapFrameEncode : IUnknown {
  static constexpr GUID kIid{0x00000105, 0xA8F2, 0x4877, {0xBA, 0x0A, 0xFD, 0x2B, 0x66, 0x45, 0xFB, 0x94}};
  using BaseInterface = IUnknown;

  // `options` is the bag CreateNewFrame handed out with this frame, or null for defaults.
  virtual HRESULT Initialize(IPropertyBag2* options) = 0;
  virtual HRESULT SetSize(UINT width, UINT height) = 0;
  // In/out: receives the format the encoder will actually write.
  virtual HRESULT SetPixelFormat(WICPixelFormatGUID* pixelFormat) = 0;
  virtual HRESULT Commit() = 0;
};

struct IWICPlanarBitmapFrameEncode : IUnknown {
  static constexpr GUID kIid{0xF928B7B8, 0x2221, 0x40C1, {0xB7, 0x2E, 0x7E, 0x82, 0xF1, 0x97, 0x4D, 0x1A}};
  using BaseInterface = IUnknown;

  // Appends `lineCount` rows of the picture, given as planes. Successive calls continue where
  // the previous one stopped.
  virtual HRESULT WritePixels(UINT lineCount, WICBitmapPlane* planes, UINT planeCount) = 0;
};

struct IWICBitmapEncoder : IUnknown {
  static constexpr GUID kIid{0x00000103, 0xA8F2, 0x4877, {0xBA, 0x0A, 0xFD, 0x2B, 0x66, 0x45, 0xFB, 0x94}};
  using BaseInterface = IUnknown;

  virtual HRESULT Initialize(IStream* stream, WICBitmapEncoderCacheOption cacheOption) = 0;
  // `options` may be null when the caller wants no option bag.
  virtual HRESULT CreateNewFrame(IWICBitmapFrameEncode** frame, IPropertyBag2** options) = 0;
  virtual HRESULT Commit() = 0;
};

struct IWICImagingFactory : IUnknown {
  static constexpr GUID kIid{0xEC5EC8A9, 0xC395, 0x4314, {0x9C, 0x77, 0x54, 0xD7, 0xA9, 0x35, 0xFF, 0x70}};
  using BaseInterface = IUnknown;

  virtual HRESULT CreateEncoder(REFGUID containerFormat, const GUID* preferredVendor, IWICBitmapEncoder** encoder) = 0;
};
