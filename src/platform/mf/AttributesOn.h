// AttributesOn<I>: a COM object answering I (IMFAttributes or an interface derived from it) whose
// IMFAttributes slots are served by an AttributeStore. Attribute bags, media types and samples
// derive from it and add the slots of their own interface.
#pragma once

#include "platform/com/ComObject.h"
#include "platform/mf/AttributeStore.h"

namespace korvane::mf {

template <class I>
class AttributesOn : public ComObject<I> {
 public:
  HRESULT GetItem(REFGUID key, PROPVARIANT* value) override { return store_.GetItem(key, value); }
  HRESULT GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) override { return store_.GetItemType(key, type); }
  HRESULT GetUINT32(REFGUID key, UINT32* value) override { return store_.GetUINT32(key, value); }
  HRESULT GetUINT64(REFGUID key, UINT64* value) override { return store_.GetUINT64(key, value); }
  HRESULT GetDouble(REFGUID key, double* value) override { return store_.GetDouble(key, value); }
  HRESULT GetGUID(REFGUID key, GUID* value) override { return store_.GetGUID(key, value); }
  HRESULT GetUnknown(REFGUID key, REFIID iid, void** object) override { return store_.GetUnknown(key, iid, object); }
  HRESULT SetItem(REFGUID key, const PROPVARIANT& value) override { return store_.SetItem(key, value); }
  HRESULT DeleteItem(REFGUID key) override { return store_.DeleteItem(key); }
  HRESULT DeleteAllItems() override { return store_.DeleteAllItems(); }
  HRESULT SetUINT32(REFGUID key, UINT32 value) override { return store_.SetUINT32(key, value); }
  HRESULT SetUINT64(REFGUID key, UINT64 value) override { return store_.SetUINT64(key, value); }
  HRESULT SetDouble(REFGUID key, double value) override { return store_.SetDouble(key, value); }
  HRESULT SetGUID(REFGUID key, REFGUID value) override { return store_.SetGUID(key, value); }
  HRESULT SetUnknown(REFGUID key, IUnknown* object) override { return store_.SetUnknown(key, object); }
  HRESULT GetCount(UINT32* count) override { return store_.GetCount(count); }
  HRESULT GetItemByIndex(UINT32 index, GUID* key, PROPVARIANT* value) override {
    return store_.GetItemByIndex(index, key, value);
  }
  HRESULT CopyAllItems(IMFAttributes* destination) override { return store_.CopyAllItems(destination); }

 protected:
  AttributesOn() = default;
  ~AttributesOn() override = default;

  AttributeStore store_;
};

}  // namespace korvane::mf
