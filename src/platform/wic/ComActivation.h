// Classic COM activation, for the one kind of class this platform serves that way: the imaging
// factory (CLSID_WICImagingFactory2 and CLSID_WICImagingFactory, see Wincodec.h). Every other
// class id is not registered. Both calls are thread-safe; each successful call creates a new
// factory object.
#pragma once

#include "platform/com/Unknown.h"

enum CLSCTX : DWORD {
  CLSCTX_INPROC_SERVER = 0x1,
  CLSCTX_INPROC_HANDLER = 0x2,
  CLSCTX_LOCAL_SERVER = 0x4,
  CLSCTX_REMOTE_SERVER = 0x10,
  CLSCTX_ALL = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
};

// One interface asked of CoCreateInstanceFromApp: the caller fills pIID; the call fills pItf
// (one reference, or null) and hr.
struct MULTI_QI {
  const IID* pIID;
  IUnknown* pItf;
  HRESULT hr;
};

constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHresult(0x80040110u);
constexpr HRESULT CO_S_NOTALLINTERFACES = MakeHresult(0x00080012u);

// Results: REGDB_E_CLASSNOTREG for an unknown class id or a class context without
// CLSCTX_INPROC_SERVER; CLASS_E_NOAGGREGATION for a non-null `outer`; E_POINTER for a null
// `object`, E_NOINTERFACE when the object does not answer `iid`.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD classContext, REFIID iid, void** object);

// Creates one object and asks it for every interface in `results`, each entry getting its own
// hr. Returns S_OK when every entry succeeded, CO_S_NOTALLINTERFACES when some did,
// E_NOINTERFACE when none did; E_INVALIDARG for no entries; otherwise as CoCreateInstance (the
// entries then all carry the same failure).
HRESULT CoCreateInstanceFromApp(REFCLSID clsid, IUnknown* outer, DWORD classContext, void* reserved, DWORD count,
                                MULTI_QI* results);

namespace korvane::wic {

// Test hook: makes activation answer REGDB_E_CLASSNOTREG for `clsid` (one of the two imaging
// factory ids) until it is registered again, as on a system that lacks that factory version.
// Both ids are registered unless a test says otherwise.
void SetImagingFactoryRegisteredForTesting(REFCLSID clsid, bool registered);

}  // namespace korvane::wic
