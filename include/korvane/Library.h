// What libKorvane.Native.so exports: the component's two entry points and the few platform
// calls an application needs around them. An application calls these and the interfaces'
// virtual methods, and links nothing else: the platform lives inside the library, once, so
// objects made here and objects made by the component share one set of platform globals.
//
// Everything here has C linkage, returns an HRESULT (except KorvaneGetStringRawBuffer) and may
// be called from any thread. Interface pointers handed out carry one reference that the caller
// releases; HSTRINGs handed out (by these calls or by any interface) are freed with
// KorvaneDeleteString. Out-parameters are set to null first; a null out-parameter is E_POINTER.
//
// Of the platform declarations the public headers pull in, only these functions and the
// interfaces' virtual methods are reachable; other free functions declared there (Platform::
// String, WindowsCreateString, Callback's helpers, ...) are not exported.
#pragma once

#include "korvane/JpegEncoder.h"
#include "korvane/VideoDecoderInterop.h"
#include "platform/d3d11/D3D11.h"
#include "platform/winrt/RandomAccessStream.h"

#include <cstdint>

#define KORVANE_API extern "C" __attribute__((visibility("default")))

// ---- Module and activation ----

// The activation factory of the class named `activatableClassId`:
//   "Korvane.Native.JpegEncoder"           -> JpegEncoder (JpegEncoder.h)
//   "Korvane.Native.VideoDecoderInterop"   -> VideoDecoderInterop (VideoDecoderInterop.h)
//   "Korvane.Native.VideoDecoderIterator"  -> a factory whose ActivateInstance fails with
//                                             E_NOTIMPL (iterators come from CreateIterator)
// Each call makes a new factory (a live object until released); ActivateInstance makes a new
// instance with its default constructor and returns it as IInspectable.
// A name that is not one of these (names compare byte for byte, case included) fails with
// CLASS_E_CLASSNOTAVAILABLE (0x80040111), "this library does not serve that class"; a null or
// empty name with E_INVALIDARG; a null `factory` with E_POINTER.
KORVANE_API HRESULT DllGetActivationFactory(HSTRING activatableClassId, IActivationFactory** factory);

// S_OK when no object of the component (instance or factory) is alive, S_FALSE otherwise. Just
// after the last release it may still answer S_FALSE for a moment: the pool threads of a closed
// decoder (its event workers, its iterators' notification workers) let their last references go
// just after Close has returned. Ask again later.
KORVANE_API HRESULT DllCanUnloadNow();

// ---- Runtime strings (UTF-8) ----

// `length` counts bytes; E_INVALIDARG for a null `text` with a non-zero length. The empty
// string is the null HSTRING.
KORVANE_API HRESULT KorvaneCreateString(const char* text, uint32_t length, HSTRING* string);
KORVANE_API HRESULT KorvaneDeleteString(HSTRING string);
// Never null ("" for the null HSTRING), NUL-terminated, valid while `string` lives; `length`
// (optional) receives the byte count.
KORVANE_API const char* KorvaneGetStringRawBuffer(HSTRING string, uint32_t* length);

// ---- Devices and streams ----

// A new software Direct3D 11 device (`device`, optional) and the scene-graph toolkit's graphics
// device over it (`graphicsDevice`, optional), which is what VideoDecoderInterop's Open takes.
// At least one must be asked for (else E_POINTER). Textures of the device are read by copying
// them into a staging texture and mapping it (D3D11.h describes the layout).
KORVANE_API HRESULT KorvaneCreateSoftwareDevice(ID3D11Device** device, IInspectable** graphicsDevice);

// A read-only random-access stream over the file at `path` (UTF-8). The file's own error as
// HRESULT_FROM_WIN32: 0x80070002 for a missing file, 0x80070005 for access denied; E_INVALIDARG
// for a null or empty path.
KORVANE_API HRESULT KorvaneOpenFileStream(const char* path, ABI::Windows::Storage::Streams::IRandomAccessStream** stream);

// A new in-memory stream holding a copy of `size` bytes at `bytes`, at position 0, readable and
// writable. E_INVALIDARG for null `bytes` with a non-zero size; E_OUTOFMEMORY beyond 4 GiB.
// The stream's bytes are read and written through korvane::winrt::IRandomAccessStreamIo.
KORVANE_API HRESULT KorvaneCreateMemoryStream(const void* bytes, uint64_t size,
                                              ABI::Windows::Storage::Streams::IRandomAccessStream** stream);
