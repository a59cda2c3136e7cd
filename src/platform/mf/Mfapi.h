// Media Foundation start-up, the object-creation functions and the media-type attribute keys.
//
// Start-up is counted: every successful MFStartup needs one MFShutdown. The functions that open
// media (MFCreateMFByteStreamOnStreamEx, MFCreateSourceReaderFromByteStream) fail with
// MF_E_PLATFORM_NOT_INITIALIZED while the count is zero; the plain object factories
// (attributes, media types, samples, buffers, the device manager) work at any time, as on the
// original platform, where a device manager is made before start-up. Objects already made keep
// working after the last MFShutdown: a reader is shut down by its last Release, not by
// MFShutdown.
#pragma once

#include "platform/mf/Mfobjects.h"

constexpr ULONG MF_SDK_VERSION = 0x0002;
constexpr ULONG MF_API_VERSION = 0x0070;
constexpr ULONG MF_VERSION = (MF_SDK_VERSION << 16) | MF_API_VERSION;  // 0x20070
constexpr DWORD MFSTARTUP_NOSOCKET = 0x1;
constexpr DWORD MFSTARTUP_LITE = MFSTARTUP_NOSOCKET;
constexpr DWORD MFSTARTUP_FULL = 0;

// MF_E_BAD_STARTUP_VERSION for a version other than MF_VERSION.
HRESULT MFStartup(ULONG version, DWORD flags = MFSTARTUP_FULL);
// MF_E_SHUTDOWN when there is no MFStartup left to match.
HRESULT MFShutdown();

HRESULT MFCreateAttributes(IMFAttributes** attributes, UINT32 initialSize);
HRESULT MFCreateMediaType(IMFMediaType** mediaType);
HRESULT MFCreateSample(IMFSample** sample);
// A buffer of `maxLength` bytes of ordinary memory, current length 0.
HRESULT MFCreateMemoryBuffer(DWORD maxLength, IMFMediaBuffer** buffer);
// *resetToken is the token that ResetDevice must be given.
HRESULT MFCreateDXGIDeviceManager(UINT* resetToken, IMFDXGIDeviceManager** deviceManager);
// Wraps a platform random-access stream (one answering IRandomAccessStream and
// korvane::winrt::IRandomAccessStreamIo); E_INVALIDARG for anything else. The byte stream keeps
// a reference to the stream and its own position, starting at 0.
HRESULT MFCreateMFByteStreamOnStreamEx(IUnknown* stream, IMFByteStream** byteStream);
// A buffer over a Direct3D 11 texture (iid: ID3D11Texture2D). Only subresource 0 and
// bottomUp FALSE are supported (E_INVALIDARG otherwise); the format must be NV12 or
// B8G8R8A8 (MF_E_INVALIDMEDIATYPE otherwise). The buffer holds a reference to the texture.
//
// Lock gives the texture's pixels tightly packed (NV12: Width × Height luma bytes then
// Width × Height / 2 interleaved chroma bytes; B8G8R8A8: Width × 4 bytes a row) in a copy taken
// under the device's lock; the last Unlock writes the copy back. Current and max length are
// that packed size.
HRESULT MFCreateDXGISurfaceBuffer(REFIID iid, IUnknown* surface, UINT subresourceIndex, BOOL bottomUp,
                                  IMFMediaBuffer** buffer);

// --- media types ----------------------------------------------------------------------------

// {<fourcc>-0000-0010-8000-00AA00389B71}, the base of FOURCC- and D3DFORMAT-derived subtypes.
constexpr GUID MakeMediaTypeGuid(DWORD fourcc) {
  return GUID{fourcc, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}
constexpr DWORD MakeFourcc(char a, char b, char c, char d) {
  return static_cast<DWORD>(static_cast<uint8_t>(a)) | (static_cast<DWORD>(static_cast<uint8_t>(b)) << 8) |
         (static_cast<DWORD>(static_cast<uint8_t>(c)) << 16) | (static_cast<DWORD>(static_cast<uint8_t>(d)) << 24);
}

inline constexpr GUID MFMediaType_Video = MakeMediaTypeGuid(MakeFourcc('v', 'i', 'd', 's'));
inline constexpr GUID MFMediaType_Audio = MakeMediaTypeGuid(MakeFourcc('a', 'u', 'd', 's'));

inline constexpr GUID MFVideoFormat_NV12 = MakeMediaTypeGuid(MakeFourcc('N', 'V', '1', '2'));
inline constexpr GUID MFVideoFormat_RGB32 = MakeMediaTypeGuid(22);   // D3DFMT_X8R8G8B8
inline constexpr GUID MFVideoFormat_ARGB32 = MakeMediaTypeGuid(21);  // D3DFMT_A8R8G8B8
inline constexpr GUID MFVideoFormat_H264 = MakeMediaTypeGuid(MakeFourcc('H', '2', '6', '4'));
inline constexpr GUID MFVideoFormat_HEVC = MakeMediaTypeGuid(MakeFourcc('H', 'E', 'V', 'C'));
inline constexpr GUID MFVideoFormat_MP4V = MakeMediaTypeGuid(MakeFourcc('M', 'P', '4', 'V'));
inline constexpr GUID MFVideoFormat_VP80 = MakeMediaTypeGuid(MakeFourcc('V', 'P', '8', '0'));
inline constexpr GUID MFVideoFormat_VP90 = MakeMediaTypeGuid(MakeFourcc('V', 'P', '9', '0'));
inline constexpr GUID MFVideoFormat_AV1 = MakeMediaTypeGuid(MakeFourcc('A', 'V', '0', '1'));
inline constexpr GUID MFVideoFormat_MJPG = MakeMediaTypeGuid(MakeFourcc('M', 'J', 'P', 'G'));
inline constexpr GUID MFVideoFormat_MPEG2{0xE06D8026, 0xDB46, 0x11CF, {0xB4, 0xD1, 0x00, 0x80, 0x5F, 0x6C, 0xBB, 0xEA}};
inline constexpr GUID MFAudioFormat_AAC = MakeMediaTypeGuid(0x1610);
inline constexpr GUID MFAudioFormat_Base = MakeMediaTypeGuid(0);

// Media-type attribute keys.
inline constexpr GUID MF_MT_MAJOR_TYPE{0x48EBA18E, 0xF8C9, 0x4687, {0xBF, 0x11, 0x0A, 0x74, 0xC9, 0xF9, 0x6A, 0x8F}};
inline constexpr GUID MF_MT_SUBTYPE{0xF7E34C9A, 0x42E8, 0x4714, {0xB7, 0x4B, 0xCB, 0x29, 0xD7, 0x2C, 0x35, 0xE5}};
// UINT64: width in the high 32 bits, height in the low.
inline constexpr GUID MF_MT_FRAME_SIZE{0x1652C33D, 0xD6B2, 0x4012, {0xB8, 0x34, 0x72, 0x03, 0x08, 0x49, 0xA3, 0x7D}};
// UINT64: numerator high, denominator low.
inline constexpr GUID MF_MT_FRAME_RATE{0xC459A2E8, 0x3D2C, 0x4E44, {0xB1, 0x32, 0xFE, 0xE5, 0x15, 0x6C, 0x7B, 0xB0}};
inline constexpr GUID MF_MT_PIXEL_ASPECT_RATIO{0xC6376A1E, 0x8D0A, 0x4027, {0xBE, 0x45, 0x6D, 0x9A, 0x0A, 0xD3, 0x9B, 0xB6}};
// UINT32 degrees (MFVideoRotationFormat), clockwise rotation that displays the stored frame.
inline constexpr GUID MF_MT_VIDEO_ROTATION{0xC380465D, 0x2271, 0x428C, {0x9B, 0x83, 0xEC, 0xEA, 0x3B, 0x4A, 0x85, 0xC1}};
inline constexpr GUID MF_MT_DEFAULT_STRIDE{0x644B4E48, 0x1E02, 0x4516, {0xB0, 0xEB, 0xC0, 0x1C, 0xA9, 0xD4, 0x9A, 0xC6}};
inline constexpr GUID MF_MT_INTERLACE_MODE{0xE2724BB8, 0xE676, 0x4806, {0xB4, 0xB2, 0xA8, 0xD6, 0xEF, 0xB4, 0x4C, 0xCD}};
inline constexpr GUID MF_MT_ALL_SAMPLES_INDEPENDENT{0xC9173739, 0x5E56, 0x461C, {0xB7, 0x13, 0x46, 0xFB, 0x99, 0x5C, 0xB9, 0x5F}};

enum MFVideoRotationFormat : UINT32 {
  MFVideoRotationFormat_0 = 0,
  MFVideoRotationFormat_90 = 90,
  MFVideoRotationFormat_180 = 180,
  MFVideoRotationFormat_270 = 270,
};
enum MFVideoInterlaceMode : UINT32 { MFVideoInterlace_Progressive = 2 };

struct MFRatio {
  DWORD Numerator;
  DWORD Denominator;
};

// The SDK's inline helpers for packed UINT64 pairs.
inline UINT64 Pack2UINT32AsUINT64(UINT32 high, UINT32 low) { return (static_cast<UINT64>(high) << 32) | low; }
inline void Unpack2UINT32AsUINT64(UINT64 packed, UINT32* high, UINT32* low) {
  *high = static_cast<UINT32>(packed >> 32);
  *low = static_cast<UINT32>(packed);
}
inline HRESULT MFSetAttributeSize(IMFAttributes* attributes, REFGUID key, UINT32 width, UINT32 height) {
  return attributes->SetUINT64(key, Pack2UINT32AsUINT64(width, height));
}
inline HRESULT MFGetAttributeSize(IMFAttributes* attributes, REFGUID key, UINT32* width, UINT32* height) {
  UINT64 packed = 0;
  HRESULT hr = attributes->GetUINT64(key, &packed);
  if (SUCCEEDED(hr)) Unpack2UINT32AsUINT64(packed, width, height);
  return hr;
}
inline HRESULT MFSetAttributeRatio(IMFAttributes* attributes, REFGUID key, UINT32 numerator, UINT32 denominator) {
  return attributes->SetUINT64(key, Pack2UINT32AsUINT64(numerator, denominator));
}
inline HRESULT MFGetAttributeRatio(IMFAttributes* attributes, REFGUID key, UINT32* numerator, UINT32* denominator) {
  return MFGetAttributeSize(attributes, key, numerator, denominator);
}
inline UINT32 MFGetAttributeUINT32(IMFAttributes* attributes, REFGUID key, UINT32 fallback) {
  UINT32 value = 0;
  return SUCCEEDED(attributes->GetUINT32(key, &value)) ? value : fallback;
}
