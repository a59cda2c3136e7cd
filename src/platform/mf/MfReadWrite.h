// The Source Reader: opening a media file through a byte stream and reading decoded video
// frames from it, asynchronously.
//
// What a client may rely on (the reader made by MFCreateSourceReaderFromByteStream):
//
// Streams. Stream 0 is the video stream (the container's default video stream); stream 1, when
// the file has one, is its first audio stream, which can be selected and deselected but is never
// decoded (ReadSample on it fails with MF_E_INVALIDREQUEST). Both are selected at first. The
// MF_SOURCE_READER_FIRST_* aliases name them; an alias or index with no stream behind it fails
// with MF_E_INVALIDSTREAMNUMBER (so SetStreamSelection(FIRST_AUDIO_STREAM, FALSE) on a file
// without audio fails with that code).
//
// Media types. GetNativeMediaType(video, 0) is the stored stream: the codec's subtype,
// MF_MT_FRAME_SIZE the stored frame size, MF_MT_VIDEO_ROTATION the rotation the file asks for
// (only when it carries one), MF_MT_PIXEL_ASPECT_RATIO (only when known), MF_MT_FRAME_RATE (only
// when known). The current type starts as the native type with subtype NV12. SetCurrentMediaType
// accepts MFMediaType_Video with subtype NV12 or RGB32 (MF_E_INVALIDMEDIATYPE otherwise) and an
// optional MF_MT_FRAME_SIZE; the current type then reports the subtype and frame size asked for,
// and keeps the native rotation, aspect ratio and frame rate.
//
// Pictures are always delivered in display orientation: a rotated stream is turned upright. Its
// frame size is the current type's MF_MT_FRAME_SIZE read in display orientation, with one
// exception: the stored size itself (the native value, which is what the current type reports
// until a client changes it) means "no scaling", so a 90° 640 × 360 stream gives 360 × 640
// pictures until another size is set. Any other size scales the upright picture to it
// (advanced video processing). NV12 textures need even sizes: for an odd width or height the
// texture is one column or row larger, filled by repeating the picture's last column or row, so
// that every pixel of the picture is there (a 321 × 241 stream gives 322 × 242 NV12 textures
// whose top-left 321 × 241 pixels are the picture; RGB32 textures keep odd sizes). A change of
// type applies from the next picture the reader produces. The conversion,
// scaling and turning always happen, whatever MF_SOURCE_READER_ENABLE_ADVANCED_VIDEO_PROCESSING
// says; MF_READWRITE_ENABLE_HARDWARE_TRANSFORMS is accepted and changes nothing.
//
// Output. Each sample holds one IMFDXGIBuffer on a Direct3D 11 texture of the device found in
// MF_SOURCE_READER_D3D_MANAGER (DXGI_FORMAT_NV12 or DXGI_FORMAT_B8G8R8A8_UNORM, default usage,
// shader-resource binding). Without a device manager the reader creates a software device of
// its own. Textures come from a pool owned by the reader: a texture is reused only when nobody
// but the pool holds a reference to it any more, so a texture kept by a client (a sample still
// alive, a texture copied into a cache, ...) is never overwritten; the pool makes a new one
// when none is free.
//
// Times are in 100 ns from the start of the presentation (the container's start time is
// subtracted, so the first frame of most files is at 0). Every picture has a time of its own and
// none is negative: a picture the container gives no time follows the one before it. A sample's
// duration is how long a player shows it: up to the next picture's time, whatever the
// container says (so a variable frame rate, timestamps rounded to milliseconds or a skipped
// stretch of damage leave neither gaps nor overlaps between samples); the last picture before
// the end keeps the container's duration, or the spacing before it when the container has
// none. GetSampleDuration fails with MF_E_NO_SAMPLE_DURATION only when nothing is known.
// MF_MT_FRAME_RATE stays the nominal rate the container states. MF_PD_DURATION
// (GetPresentationAttribute on MF_SOURCE_READER_MEDIASOURCE) is the presentation's duration,
// reaching at least the last picture's time (the later of the stream's and the container's
// end); MF_E_ATTRIBUTENOTFOUND when the container does not know it.
//
// Asynchronous mode only: MF_SOURCE_READER_ASYNC_CALLBACK is required (E_INVALIDARG without it).
// Each reader has one work thread that runs reads and flushes in the order they were asked for
// and makes every callback; a callback never runs inside the caller's call. ReadSample's
// out-parameters must be null (E_INVALIDARG otherwise). Pictures arrive in presentation order.
// Only pictures the decoder reconstructed correctly are delivered: frames flagged corrupt and,
// after a seek, frames that precede the key frame the seek landed on are dropped.
//
// Seeking. SetCurrentPosition(GUID_NULL, VT_I8 position) positions the reader, before it
// returns, on the key frame at or before the position (clamped to the presentation); the next
// sample is that key frame, so it may lie before the position asked for. It fails with
// MF_E_INVALIDREQUEST while a read is pending (asked for, its callback not yet begun), with
// MF_E_UNSUPPORTED_TIME_FORMAT for a format other than GUID_NULL, E_INVALIDARG for a variant
// that is not VT_I8, and with the source's error when the position cannot be reached. It may be called from inside OnReadSample / OnFlush.
//
// Flush. Flush drops every pending read without a callback (a read being decoded at that moment
// is dropped too), resets the decoder and then calls OnFlush once on the work thread. Until that
// OnFlush begins, ReadSample fails with MF_E_NOTACCEPTING.
//
// End and errors. At the end of the stream a read completes with MF_SOURCE_READERF_ENDOFSTREAM
// and no sample, again for every further read, until a seek. Damage is passed over as a player
// passes over it: packets the demuxer cannot read or the decoder rejects and frames it cannot
// make are skipped, and the pictures around them keep their times. A failing read of the byte
// stream, running out of memory, or a stream that yields no picture at all completes the read
// with MF_SOURCE_READERF_ERROR and the failure as hrStatus; from then on every read does the
// same and SetCurrentPosition fails with that code.
//
// Lifetime. The reader holds a reference to the callback from creation until its last Release.
// The last Release stops the work thread: a read in flight is abandoned without a callback and
// the thread is joined, except when a callback is running at that moment (the last Release is
// made from inside a callback, or on another thread while one runs): then the running callback
// finishes on its own, the thread ends after it and no further callback is made. So no callback
// begins after the last Release has returned, and the last Release never waits for a callback:
// it may be made while holding a lock that the callback takes.
#pragma once

#include "platform/mf/Mfapi.h"
#include "platform/mf/Mfidl.h"

constexpr DWORD MF_SOURCE_READER_INVALID_STREAM_INDEX = 0xFFFFFFFF;
constexpr DWORD MF_SOURCE_READER_ALL_STREAMS = 0xFFFFFFFE;
constexpr DWORD MF_SOURCE_READER_ANY_STREAM = 0xFFFFFFFE;
constexpr DWORD MF_SOURCE_READER_FIRST_AUDIO_STREAM = 0xFFFFFFFD;
constexpr DWORD MF_SOURCE_READER_FIRST_VIDEO_STREAM = 0xFFFFFFFC;
constexpr DWORD MF_SOURCE_READER_MEDIASOURCE = 0xFFFFFFFF;

enum MF_SOURCE_READER_FLAG : DWORD {
  MF_SOURCE_READERF_ERROR = 0x1,
  MF_SOURCE_READERF_ENDOFSTREAM = 0x2,
  MF_SOURCE_READERF_NEWSTREAM = 0x4,
  MF_SOURCE_READERF_NATIVEMEDIATYPECHANGED = 0x10,
  MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED = 0x20,
  MF_SOURCE_READERF_STREAMTICK = 0x100,
  MF_SOURCE_READERF_ALLEFFECTSREMOVED = 0x200,
};

enum MF_SOURCE_READER_CONTROL_FLAG : DWORD { MF_SOURCE_READER_CONTROLF_DRAIN = 0x1 };

// Source-reader attribute keys.
inline constexpr GUID MF_SOURCE_READER_ASYNC_CALLBACK{0x1E3DBEAC, 0xBB43, 0x4C35, {0xB5, 0x07, 0xCD, 0x64, 0x44, 0x64, 0xC9, 0x65}};
inline constexpr GUID MF_SOURCE_READER_D3D_MANAGER{0xEC822DA2, 0xE1E9, 0x4B29, {0xA0, 0xD8, 0x56, 0x3C, 0x71, 0x9F, 0x52, 0x69}};
inline constexpr GUID MF_SOURCE_READER_ENABLE_ADVANCED_VIDEO_PROCESSING{0x0F81DA2C, 0xB537, 0x4672, {0xA8, 0xB2, 0xA6, 0x81, 0xB1, 0x73, 0x07, 0xA3}};
inline constexpr GUID MF_SOURCE_READER_ENABLE_VIDEO_PROCESSING{0xFB394F3D, 0xCCF1, 0x42EE, {0xBB, 0xB3, 0xF9, 0xB8, 0x45, 0xD5, 0x68, 0x1D}};
inline constexpr GUID MF_READWRITE_ENABLE_HARDWARE_TRANSFORMS{0xA634A91C, 0x822B, 0x41B9, {0xA4, 0x94, 0x4D, 0xE4, 0x64, 0x36, 0x12, 0xB0}};

struct IMFSourceReaderCallback : IUnknown {
  static constexpr GUID kIid{0xDEEC8D99, 0xFA1D, 0x4D82, {0x84, 0xC2, 0x2C, 0x89, 0x69, 0x94, 0x48, 0x67}};
  using BaseInterface = IUnknown;

  // The result of one ReadSample. sample is null with ENDOFSTREAM, ERROR or STREAMTICK; the
  // callback takes its own reference if it keeps it. The return value is ignored.
  virtual HRESULT OnReadSample(HRESULT status, DWORD streamIndex, DWORD streamFlags, LONGLONG timestamp,
                               IMFSample* sample) = 0;
  // The completion of one Flush; streamIndex as given to Flush.
  virtual HRESULT OnFlush(DWORD streamIndex) = 0;
  // Not called by this reader (no events are raised); present for the interface's shape.
  virtual HRESULT OnEvent(DWORD streamIndex, IMFMediaEvent* event) = 0;
};

struct IMFSourceReader : IUnknown {
  static constexpr GUID kIid{0x70AE66F2, 0xC809, 0x4E4F, {0x89, 0x15, 0xBD, 0xCB, 0x40, 0x6B, 0x79, 0x93}};
  using BaseInterface = IUnknown;

  virtual HRESULT GetStreamSelection(DWORD streamIndex, BOOL* selected) = 0;
  // MF_SOURCE_READER_ALL_STREAMS applies to every stream.
  virtual HRESULT SetStreamSelection(DWORD streamIndex, BOOL selected) = 0;
  // typeIndex 0 only; MF_E_NO_MORE_TYPES after it. A new copy each call.
  virtual HRESULT GetNativeMediaType(DWORD streamIndex, DWORD typeIndex, IMFMediaType** mediaType) = 0;
  // A new copy each call: changing it changes nothing until it is set.
  virtual HRESULT GetCurrentMediaType(DWORD streamIndex, IMFMediaType** mediaType) = 0;
  virtual HRESULT SetCurrentMediaType(DWORD streamIndex, DWORD* reserved, IMFMediaType* mediaType) = 0;
  virtual HRESULT SetCurrentPosition(REFGUID timeFormat, const PROPVARIANT& position) = 0;
  // Asynchronous: queues a read of the video stream; its result arrives in OnReadSample.
  virtual HRESULT ReadSample(DWORD streamIndex, DWORD controlFlags, DWORD* actualStreamIndex, DWORD* streamFlags,
                             LONGLONG* timestamp, IMFSample** sample) = 0;
  // Asynchronous: OnFlush follows. Any stream index (or ALL_STREAMS) flushes the video stream.
  virtual HRESULT Flush(DWORD streamIndex) = 0;
  // No services are offered: every call fails with MF_E_UNSUPPORTED_SERVICE.
  virtual HRESULT GetServiceForStream(DWORD streamIndex, REFGUID service, REFIID iid, void** object) = 0;
  // MF_SOURCE_READER_MEDIASOURCE: MF_PD_DURATION (VT_UI8). A stream index: its native media
  // type's attributes.
  virtual HRESULT GetPresentationAttribute(DWORD streamIndex, REFGUID attribute, PROPVARIANT* value) = 0;
};

// Opens the byte stream's media and makes an asynchronous reader on it. Fails with
// MF_E_UNSUPPORTED_BYTESTREAM_TYPE when the bytes are not a video FFmpeg can demux and decode
// (empty, text, audio only, ...), MF_E_PLATFORM_NOT_INITIALIZED before MFStartup, E_INVALIDARG
// without MF_SOURCE_READER_ASYNC_CALLBACK. A byte stream whose wrapped stream answers
// korvane::mf::IMediaSourceFactory (MediaSource.h) is read through the source that factory
// makes instead of FFmpeg.
HRESULT MFCreateSourceReaderFromByteStream(IMFByteStream* byteStream, IMFAttributes* attributes,
                                           IMFSourceReader** reader);
