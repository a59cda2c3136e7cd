// The storage behind every IMFAttributes of the platform (attribute bags, media types, samples):
// GUID-keyed PROPVARIANT values in the order they were first set.
//
// Thread-safe: each call holds `mutex_` for its duration. Values handed out are copies; an
// interface value is handed out with its own reference. No call is made on a stored interface
// while `mutex_` is held, except AddRef (so a stored object whose Release re-enters the store
// cannot deadlock: releases happen after the lock is left).
#pragma once

#include "platform/mf/Mfobjects.h"

#include <mutex>
#include <vector>

namespace korvane::mf {

class AttributeStore {
 public:
  AttributeStore() = default;
  AttributeStore(const AttributeStore&) = delete;
  AttributeStore& operator=(const AttributeStore&) = delete;
  ~AttributeStore();

  // value may be null (presence test).
  HRESULT GetItem(REFGUID key, PROPVARIANT* value) const;
  HRESULT GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) const;
  HRESULT GetUINT32(REFGUID key, UINT32* value) const;
  HRESULT GetUINT64(REFGUID key, UINT64* value) const;
  HRESULT GetDouble(REFGUID key, double* value) const;
  HRESULT GetGUID(REFGUID key, GUID* value) const;
  HRESULT GetUnknown(REFGUID key, REFIID iid, void** object) const;
  HRESULT SetItem(REFGUID key, const PROPVARIANT& value);
  HRESULT DeleteItem(REFGUID key);
  HRESULT DeleteAllItems();
  HRESULT SetUINT32(REFGUID key, UINT32 value);
  HRESULT SetUINT64(REFGUID key, UINT64 value);
  HRESULT SetDouble(REFGUID key, double value);
  HRESULT SetGUID(REFGUID key, REFGUID value);
  HRESULT SetUnknown(REFGUID key, IUnknown* object);
  HRESULT GetCount(UINT32* count) const;
  HRESULT GetItemByIndex(UINT32 index, GUID* key, PROPVARIANT* value) const;
  HRESULT CopyAllItems(IMFAttributes* destination) const;

 private:
  struct Item {
    GUID key;
    PROPVARIANT value;
  };

  // Copies the value of `key` (MF_E_ATTRIBUTENOTFOUND when absent) into *value.
  HRESULT CopyOut(REFGUID key, PROPVARIANT* value) const;
  // Takes ownership of `value` (already a private copy); the replaced value is cleared after
  // the lock is left.
  HRESULT Store(REFGUID key, PROPVARIANT value);

  mutable std::mutex mutex_;
  std::vector<Item> items_;  // guarded by mutex_
};

}  // namespace korvane::mf
