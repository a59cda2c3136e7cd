#include "platform/mf/AttributeStore.h"

#include <algorithm>

namespace korvane::mf {

namespace {

bool IsStorableType(VARTYPE vt) {
  return vt == VT_UI4 || vt == VT_UI8 || vt == VT_R8 || vt == VT_CLSID || vt == VT_UNKNOWN;
}

}  // namespace

AttributeStore::~AttributeStore() {
  for (Item& item : items_) PropVariantClear(&item.value);
}

HRESULT AttributeStore::CopyOut(REFGUID key, PROPVARIANT* value) const {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(items_.begin(), items_.end(), [&](const Item& item) { return item.key == key; });
  if (it == items_.end()) return MF_E_ATTRIBUTENOTFOUND;
  if (value == nullptr) return S_OK;
  return PropVariantCopy(value, &it->value);
}

HRESULT AttributeStore::Store(REFGUID key, PROPVARIANT value) {
  PROPVARIANT replaced;
  PropVariantInit(&replaced);
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(items_.begin(), items_.end(), [&](const Item& item) { return item.key == key; });
    if (it == items_.end()) {
      items_.push_back(Item{key, value});
    } else {
      replaced = it->value;
      it->value = value;
    }
  }
  PropVariantClear(&replaced);
  return S_OK;
}

HRESULT AttributeStore::GetItem(REFGUID key, PROPVARIANT* value) const {
  if (value != nullptr) PropVariantInit(value);
  return CopyOut(key, value);
}

HRESULT AttributeStore::GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) const {
  if (type == nullptr) return E_POINTER;
  std::lock_guard lock(mutex_);
  auto it = std::find_if(items_.begin(), items_.end(), [&](const Item& item) { return item.key == key; });
  if (it == items_.end()) return MF_E_ATTRIBUTENOTFOUND;
  *type = static_cast<MF_ATTRIBUTE_TYPE>(it->value.vt);
  return S_OK;
}

HRESULT AttributeStore::GetUINT32(REFGUID key, UINT32* value) const {
  if (value == nullptr) return E_POINTER;
  std::lock_guard lock(mutex_);
  auto it = std::find_if(items_.begin(), items_.end(), [&](const Item& item) { return item.key == key; });
  if (it == items_.end()) return MF_E_ATTRIBUTENOTFOUND;
  if (it->value.vt != VT_UI4) return MF_E_INVALIDTYPE;
  *value = it->value.ulVal;
  return S_OK;
}

HRESULT AttributeStore::GetUINT64(REFGUID key, UINT64* value) const {
  if (value == nullptr) return E_POINTER;
  std::lock_guard lock(mutex_);
  auto it = std::find_if(items_.begin(), items_.end(), [&](const Item& item) { return item.key == key; });
  if (it == items_.end()) return MF_E_ATTRIBUTENOTFOUND;
  if (it->value.vt != VT_UI8) return MF_E_INVALIDTYPE;
  *value = it->value.uhVal.QuadPart;
  return S_OK;
}

HRESULT AttributeStore::GetDouble(REFGUID key, double* value) const {
  if (value == nullptr) return E_POINTER;
  std::lock_guard lock(mutex_);
  auto it = std::find_if(items_.begin(), items_.end(), [&](const Item& item) { return item.key == key; });
  if (it == items_.end()) return MF_E_ATTRIBUTENOTFOUND;
  if (it->value.vt != VT_R8) return MF_E_INVALIDTYPE;
  *value = it->value.dblVal;
  return S_OK;
}

HRESULT AttributeStore::GetGUID(REFGUID key, GUID* value) const {
  if (value == nullptr) return E_POINTER;
  std::lock_guard lock(mutex_);
  auto it = std::find_if(items_.begin(), items_.end(), [&](const Item& item) { return item.key == key; });
  if (it == items_.end()) return MF_E_ATTRIBUTENOTFOUND;
  if (it->value.vt != VT_CLSID) return MF_E_INVALIDTYPE;
  *value = *it->value.puuid;
  return S_OK;
}

HRESULT AttributeStore::GetUnknown(REFGUID key, REFIID iid, void** object) const {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  IUnknown* stored = nullptr;
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(items_.begin(), items_.end(), [&](const Item& item) { return item.key == key; });
    if (it == items_.end()) return MF_E_ATTRIBUTENOTFOUND;
    if (it->value.vt != VT_UNKNOWN) return MF_E_INVALIDTYPE;
    stored = it->value.punkVal;
    stored->AddRef();
  }
  // QueryInterface runs outside the lock: it is the stored object's code.
  HRESULT hr = stored->QueryInterface(iid, object);
  stored->Release();
  return hr;
}

HRESULT AttributeStore::SetItem(REFGUID key, const PROPVARIANT& value) {
  if (!IsStorableType(value.vt)) return MF_E_INVALIDTYPE;
  if (value.vt == VT_UNKNOWN && value.punkVal == nullptr) return E_POINTER;
  if (value.vt == VT_CLSID && value.puuid == nullptr) return E_POINTER;
  PROPVARIANT copy;
  PropVariantInit(&copy);
  HRESULT hr = PropVariantCopy(&copy, &value);
  if (FAILED(hr)) return hr;
  return Store(key, copy);
}

HRESULT AttributeStore::DeleteItem(REFGUID key) {
  PROPVARIANT removed;
  PropVariantInit(&removed);
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(items_.begin(), items_.end(), [&](const Item& item) { return item.key == key; });
    if (it != items_.end()) {
      removed = it->value;
      items_.erase(it);
    }
  }
  PropVariantClear(&removed);
  return S_OK;
}

HRESULT AttributeStore::DeleteAllItems() {
  std::vector<Item> removed;
  {
    std::lock_guard lock(mutex_);
    removed.swap(items_);
  }
  for (Item& item : removed) PropVariantClear(&item.value);
  return S_OK;
}

HRESULT AttributeStore::SetUINT32(REFGUID key, UINT32 value) {
  PROPVARIANT v;
  PropVariantInit(&v);
  v.vt = VT_UI4;
  v.ulVal = value;
  return Store(key, v);
}

HRESULT AttributeStore::SetUINT64(REFGUID key, UINT64 value) {
  PROPVARIANT v;
  PropVariantInit(&v);
  v.vt = VT_UI8;
  v.uhVal.QuadPart = value;
  return Store(key, v);
}

HRESULT AttributeStore::SetDouble(REFGUID key, double value) {
  PROPVARIANT v;
  PropVariantInit(&v);
  v.vt = VT_R8;
  v.dblVal = value;
  return Store(key, v);
}

HRESULT AttributeStore::SetGUID(REFGUID key, REFGUID value) {
  PROPVARIANT v;
  PropVariantInit(&v);
  v.vt = VT_CLSID;
  v.puuid = const_cast<GUID*>(&value);
  return SetItem(key, v);  // copies the GUID into memory of its own
}

HRESULT AttributeStore::SetUnknown(REFGUID key, IUnknown* object) {
  if (object == nullptr) return E_POINTER;
  PROPVARIANT v;
  PropVariantInit(&v);
  v.vt = VT_UNKNOWN;
  v.punkVal = object;
  return SetItem(key, v);
}

HRESULT AttributeStore::GetCount(UINT32* count) const {
  if (count == nullptr) return E_POINTER;
  std::lock_guard lock(mutex_);
  *count = static_cast<UINT32>(items_.size());
  return S_OK;
}

HRESULT AttributeStore::GetItemByIndex(UINT32 index, GUID* key, PROPVARIANT* value) const {
  if (key == nullptr) return E_POINTER;
  if (value != nullptr) PropVariantInit(value);
  std::lock_guard lock(mutex_);
  if (index >= items_.size()) return MF_E_INVALIDINDEX;
  *key = items_[index].key;
  return value == nullptr ? S_OK : PropVariantCopy(value, &items_[index].value);
}

HRESULT AttributeStore::CopyAllItems(IMFAttributes* destination) const {
  if (destination == nullptr) return E_POINTER;
  std::vector<Item> snapshot;
  {
    std::lock_guard lock(mutex_);
    snapshot.reserve(items_.size());
    for (const Item& item : items_) {
      Item copy{item.key, {}};
      PropVariantInit(&copy.value);
      PropVariantCopy(&copy.value, &item.value);
      snapshot.push_back(copy);
    }
  }
  // The destination is called without our lock: it may be this very store.
  HRESULT hr = destination->DeleteAllItems();
  for (Item& item : snapshot) {
    if (SUCCEEDED(hr)) hr = destination->SetItem(item.key, item.value);
    PropVariantClear(&item.value);
  }
  return hr;
}

}  // namespace korvane::mf
