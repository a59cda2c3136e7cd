// The Media Foundation object interfaces: attributes, media types, buffers, samples, the byte
// stream, the DXGI device manager and media events. Slot order follows the Windows SDK for the
// methods present; methods nothing here calls are left out.
//
// Every object behind these interfaces is safe to call from any thread: attribute stores and
// samples take an internal lock per call.
#pragma once

#include "platform/com/Unknown.h"
#include "platform/mf/Mferror.h"
#include "platform/mf/Propvariant.h"

using QWORD = uint64_t;
using HANDLE = void*;
using MediaEventType = DWORD;

enum MF_ATTRIBUTE_TYPE : DWORD {
  MF_ATTRIBUTE_UINT32 = VT_UI4,
  MF_ATTRIBUTE_UINT64 = VT_UI8,
  MF_ATTRIBUTE_DOUBLE = VT_R8,
  MF_ATTRIBUTE_GUID = VT_CLSID,
  MF_ATTRIBUTE_IUNKNOWN = VT_UNKNOWN,
};

// A GUID-keyed store of typed values. A Get of a missing key fails with
// MF_E_ATTRIBUTENOTFOUND; a Get of the wrong type with MF_E_INVALIDTYPE. Setting a key replaces
// its value whatever its type was.
struct IMFAttributes : IUnknown {
  static constexpr GUID kIid{0x2CD2D921, 0xC447, 0x44A7, {0xA1, 0x3C, 0x4A, 0xDA, 0xBF, 0xC2, 0x47, 0xE3}};
  using BaseInterface = IUnknown;

  // *value receives a copy (PropVariantClear it); value may be null to test for presence.
  virtual HRESULT GetItem(REFGUID key, PROPVARIANT* value) = 0;
  virtual HRESULT GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) = 0;
  virtual HRESULT GetUINT32(REFGUID key, UINT32* value) = 0;
  virtual HRESULT GetUINT64(REFGUID key, UINT64* value) = 0;
  virtual HRESULT GetDouble(REFGUID key, double* value) = 0;
  virtual HRESULT GetGUID(REFGUID key, GUID* value) = 0;
  // QueryInterface of the stored object for iid (E_NOINTERFACE when it does not answer it).
  virtual HRESULT GetUnknown(REFGUID key, REFIID iid, void** object) = 0;
  // Accepts the types of MF_ATTRIBUTE_TYPE; others fail with MF_E_INVALIDTYPE.
  virtual HRESULT SetItem(REFGUID key, const PROPVARIANT& value) = 0;
  // Deleting a missing key succeeds.
  virtual HRESULT DeleteItem(REFGUID key) = 0;
  virtual HRESULT DeleteAllItems() = 0;
  virtual HRESULT SetUINT32(REFGUID key, UINT32 value) = 0;
  virtual HRESULT SetUINT64(REFGUID key, UINT64 value) = 0;
  virtual HRESULT SetDouble(REFGUID key, double value) = 0;
  virtual HRESULT SetGUID(REFGUID key, REFGUID value) = 0;
  // Keeps a reference to object (null fails with E_POINTER).
  virtual HRESULT SetUnknown(REFGUID key, IUnknown* object) = 0;
  virtual HRESULT GetCount(UINT32* count) = 0;
  // Items in the order they were first set; MF_E_INVALIDINDEX past the end.
  virtual HRESULT GetItemByIndex(UINT32 index, GUID* key, PROPVARIANT* value) = 0;
  // Replaces every item of destination by a copy of this store's items.
  virtual HRESULT CopyAllItems(IMFAttributes* destination) = 0;
};

struct IMFMediaType : IMFAttributes {
  static constexpr GUID kIid{0x44AE0FA8, 0xEA31, 0x4109, {0x8D, 0x2E, 0x4C, 0xAE, 0x49, 0x97, 0xC5, 0x55}};
  using BaseInterface = IMFAttributes;

  // MF_MT_MAJOR_TYPE; MF_E_ATTRIBUTENOTFOUND when unset.
  virtual HRESULT GetMajorType(GUID* majorType) = 0;
  // FALSE for the uncompressed subtypes NV12 and RGB32, TRUE otherwise.
  virtual HRESULT IsCompressedFormat(BOOL* compressed) = 0;
};

// A block of bytes. Lock gives the bytes until Unlock; locks nest (each Lock needs an Unlock).
struct IMFMediaBuffer : IUnknown {
  static constexpr GUID kIid{0x045FA593, 0x8799, 0x42B8, {0xBC, 0x8D, 0x89, 0x68, 0xC6, 0x45, 0x35, 0x07}};
  using BaseInterface = IUnknown;

  virtual HRESULT Lock(BYTE** buffer, DWORD* maxLength, DWORD* currentLength) = 0;
  virtual HRESULT Unlock() = 0;
  virtual HRESULT GetCurrentLength(DWORD* length) = 0;
  virtual HRESULT SetCurrentLength(DWORD length) = 0;
  virtual HRESULT GetMaxLength(DWORD* length) = 0;
};

// A buffer that wraps a Direct3D 11 texture (MFCreateDXGISurfaceBuffer, and every buffer of a
// sample the source reader delivers).
struct IMFDXGIBuffer : IUnknown {
  static constexpr GUID kIid{0xE7174CFA, 0x1C9E, 0x48B1, {0x88, 0x66, 0x62, 0x62, 0x26, 0xBF, 0xC2, 0x58}};
  using BaseInterface = IUnknown;

  // QueryInterface of the wrapped texture (IID of ID3D11Texture2D or ID3D11Resource).
  virtual HRESULT GetResource(REFIID iid, void** object) = 0;
  virtual HRESULT GetSubresourceIndex(UINT* index) = 0;
};

constexpr DWORD MFSAMPLE_NO_FLAGS = 0;

// A media sample: a time, an optional duration and a list of buffers, plus attributes.
struct IMFSample : IMFAttributes {
  static constexpr GUID kIid{0xC40A00F2, 0xB93A, 0x4D80, {0xAE, 0x8C, 0x5A, 0x1C, 0x63, 0x4F, 0x58, 0xE4}};
  using BaseInterface = IMFAttributes;

  virtual HRESULT GetSampleFlags(DWORD* flags) = 0;
  virtual HRESULT SetSampleFlags(DWORD flags) = 0;
  // MF_E_NO_SAMPLE_TIMESTAMP before SetSampleTime.
  virtual HRESULT GetSampleTime(LONGLONG* time) = 0;
  virtual HRESULT SetSampleTime(LONGLONG time) = 0;
  // MF_E_NO_SAMPLE_DURATION before SetSampleDuration.
  virtual HRESULT GetSampleDuration(LONGLONG* duration) = 0;
  virtual HRESULT SetSampleDuration(LONGLONG duration) = 0;
  virtual HRESULT GetBufferCount(DWORD* count) = 0;
  // E_INVALIDARG past the end.
  virtual HRESULT GetBufferByIndex(DWORD index, IMFMediaBuffer** buffer) = 0;
  // One buffer: that buffer itself. Several: a new memory buffer holding their bytes one after
  // another, which replaces them in the sample. None: E_UNEXPECTED.
  virtual HRESULT ConvertToContiguousBuffer(IMFMediaBuffer** buffer) = 0;
  virtual HRESULT AddBuffer(IMFMediaBuffer* buffer) = 0;
  virtual HRESULT RemoveBufferByIndex(DWORD index) = 0;
  virtual HRESULT RemoveAllBuffers() = 0;
  virtual HRESULT GetTotalLength(DWORD* length) = 0;
  // Copies the sample's data into destination. A single DXGI buffer copied into a DXGI buffer is
  // a texture-to-texture copy (same format and size, else MF_E_INVALIDMEDIATYPE), never a trip
  // through CPU-packed bytes; otherwise the bytes of the buffers in order
  // (MF_E_BUFFERTOOSMALL when destination's max length is too small).
  virtual HRESULT CopyToBuffer(IMFMediaBuffer* destination) = 0;
};

enum MFBYTESTREAM_SEEK_ORIGIN : DWORD { msoBegin = 0, msoCurrent = 1 };
constexpr DWORD MFBYTESTREAM_IS_READABLE = 0x1;
constexpr DWORD MFBYTESTREAM_IS_WRITABLE = 0x2;
constexpr DWORD MFBYTESTREAM_IS_SEEKABLE = 0x4;

// A seekable byte stream. Calls are serialised by the stream; its position is its own, not
// that of the stream it wraps.
struct IMFByteStream : IUnknown {
  static constexpr GUID kIid{0xAD4C1B00, 0x4BF7, 0x422F, {0x91, 0x75, 0x75, 0x66, 0x93, 0xD9, 0x13, 0x0D}};
  using BaseInterface = IUnknown;

  virtual HRESULT GetCapabilities(DWORD* capabilities) = 0;
  virtual HRESULT GetLength(QWORD* length) = 0;
  virtual HRESULT GetCurrentPosition(QWORD* position) = 0;
  // A position past the end is allowed; reads there return 0 bytes.
  virtual HRESULT SetCurrentPosition(QWORD position) = 0;
  virtual HRESULT IsEndOfStream(BOOL* endOfStream) = 0;
  // *read < size only at the end of the stream.
  virtual HRESULT Read(BYTE* buffer, ULONG size, ULONG* read) = 0;
  virtual HRESULT Seek(MFBYTESTREAM_SEEK_ORIGIN origin, LONGLONG offset, DWORD flags, QWORD* position) = 0;
  // Releases the wrapped stream; every later call fails with MF_E_SHUTDOWN.
  virtual HRESULT Close() = 0;
};

// Shares one Direct3D device between its owner and the media components. Handles are opened per
// user; ResetDevice (a new device, or the same one again) invalidates every open handle, whose
// users then see MF_E_DXGI_NEW_VIDEO_DEVICE from TestDevice/LockDevice.
struct IMFDXGIDeviceManager : IUnknown {
  static constexpr GUID kIid{0xEB533D5D, 0x2DB6, 0x40F8, {0x97, 0xA9, 0x49, 0x46, 0x92, 0x01, 0x4F, 0x07}};
  using BaseInterface = IUnknown;

  virtual HRESULT CloseDeviceHandle(HANDLE device) = 0;
  // Gives the device (QueryInterface for iid) until UnlockDevice. It never blocks: the software
  // device serialises its own context, so holding the device is all a user needs.
  virtual HRESULT LockDevice(HANDLE device, REFIID iid, void** object, BOOL block) = 0;
  // MF_E_DXGI_DEVICE_NOT_INITIALIZED before the first ResetDevice.
  virtual HRESULT OpenDeviceHandle(HANDLE* device) = 0;
  // resetToken must be the one MFCreateDXGIDeviceManager gave (E_INVALIDARG otherwise);
  // device must answer ID3D11Device (E_NOINTERFACE otherwise).
  virtual HRESULT ResetDevice(IUnknown* device, UINT resetToken) = 0;
  virtual HRESULT TestDevice(HANDLE device) = 0;
  virtual HRESULT UnlockDevice(HANDLE device, BOOL saveState) = 0;
};

struct IMFMediaEvent : IMFAttributes {
  static constexpr GUID kIid{0xDF598932, 0xF10C, 0x4E39, {0xBB, 0xA2, 0xC3, 0x08, 0xF1, 0x01, 0xDA, 0xA3}};
  using BaseInterface = IMFAttributes;

  virtual HRESULT GetType(MediaEventType* type) = 0;
  virtual HRESULT GetExtendedType(GUID* extendedType) = 0;
  virtual HRESULT GetStatus(HRESULT* status) = 0;
  virtual HRESULT GetValue(PROPVARIANT* value) = 0;
};
