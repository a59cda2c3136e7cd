// IMarshal and the free-threaded marshaler, which every runtime class answers IMarshal with so
// that it is agile. There is only one process and no apartment here: "marshalling" an interface
// writes its address into a stream and "unmarshalling" reads the same address back, exactly as
// the original free-threaded marshaler does within one process.
//
// Marshal data: the interface address (8 bytes) and the marshal flags (4 bytes). Normal
// marshalling keeps one reference in the data until it is unmarshalled or released once;
// table-strong data keeps one until ReleaseMarshalData; table-weak data keeps none.
// Destination contexts outside this process (local, no shared memory, another machine) fail
// with E_NOTIMPL: no other process can reach an address of this one.
#pragma once

#include "platform/com/Stream.h"

enum MSHCTX : DWORD {
  MSHCTX_LOCAL = 0,
  MSHCTX_NOSHAREDMEM = 1,
  MSHCTX_DIFFERENTMACHINE = 2,
  MSHCTX_INPROC = 3,
  MSHCTX_CROSSCTX = 4,
};
enum MSHLFLAGS : DWORD { MSHLFLAGS_NORMAL = 0, MSHLFLAGS_TABLESTRONG = 1, MSHLFLAGS_TABLEWEAK = 2 };

// The class id that GetUnmarshalClass names for free-threaded marshal data.
constexpr CLSID CLSID_InProcFreeMarshaler{0x0000033A, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

struct IMarshal : IUnknown {
  static constexpr GUID kIid{0x00000003, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  using BaseInterface = IUnknown;

  virtual HRESULT GetUnmarshalClass(REFIID iid, void* object, DWORD destContext, void* destContextData,
                                    DWORD flags, CLSID* clsid) = 0;
  virtual HRESULT GetMarshalSizeMax(REFIID iid, void* object, DWORD destContext, void* destContextData,
                                    DWORD flags, DWORD* size) = 0;
  virtual HRESULT MarshalInterface(IStream* stream, REFIID iid, void* object, DWORD destContext,
                                   void* destContextData, DWORD flags) = 0;
  virtual HRESULT UnmarshalInterface(IStream* stream, REFIID iid, void** object) = 0;
  virtual HRESULT ReleaseMarshalData(IStream* stream) = 0;
  virtual HRESULT DisconnectObject(DWORD reserved) = 0;
};

// Makes a free-threaded marshaler aggregated into `outer`: *marshaler is the marshaler's own
// (non-delegating) IUnknown, which the outer object keeps and releases when it goes; asked for
// IMarshal, it answers an IMarshal whose AddRef, Release and QueryInterface are the outer
// object's. E_INVALIDARG for a null `outer`, E_POINTER for a null `marshaler`.
HRESULT CoCreateFreeThreadedMarshaler(IUnknown* outer, IUnknown** marshaler);
