// ComPtr<T>: the counted smart reference to a COM interface, with the WRL member names the
// component uses (Get, GetAddressOf, ReleaseAndGetAddressOf, As, CopyTo, Attach, Detach,
// Reset). Not thread-safe itself: one ComPtr is owned by one thread at a time, like a
// shared_ptr object.
#pragma once

#include "platform/com/Unknown.h"

#include <cstddef>
#include <type_traits>
#include <utility>

namespace Microsoft::WRL {

template <class T>
class ComPtr {
 public:
  using InterfaceType = T;

  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  ComPtr(U* p) noexcept : ptr_(p) {
    AddRefInternal();
  }
  ComPtr(const ComPtr& other) noexcept : ptr_(other.ptr_) { AddRefInternal(); }
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  ComPtr(const ComPtr<U>& other) noexcept : ptr_(other.Get()) {
    AddRefInternal();
  }
  ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  ComPtr(ComPtr<U>&& other) noexcept : ptr_(other.Detach()) {}
  ~ComPtr() { ReleaseInternal(); }

  ComPtr& operator=(std::nullptr_t) noexcept {
    ReleaseInternal();
    return *this;
  }
  ComPtr& operator=(T* p) noexcept {
    if (ptr_ != p) ComPtr(p).Swap(*this);
    return *this;
  }
  ComPtr& operator=(const ComPtr& other) noexcept {
    if (ptr_ != other.ptr_) ComPtr(other).Swap(*this);
    return *this;
  }
  template <class U>
  ComPtr& operator=(const ComPtr<U>& other) noexcept {
    ComPtr(other).Swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    ComPtr(std::move(other)).Swap(*this);
    return *this;
  }
  template <class U>
  ComPtr& operator=(ComPtr<U>&& other) noexcept {
    ComPtr(std::move(other)).Swap(*this);
    return *this;
  }

  void Swap(ComPtr& other) noexcept { std::swap(ptr_, other.ptr_); }

  T* Get() const noexcept { return ptr_; }
  T* operator->() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

  T* const* GetAddressOf() const noexcept { return &ptr_; }
  T** GetAddressOf() noexcept { return &ptr_; }
  T** ReleaseAndGetAddressOf() noexcept {
    ReleaseInternal();
    return &ptr_;
  }
  // As WRL's ComPtrRef: taking the address of a ComPtr releases what it held, so that the
  // slot can be filled by an out-parameter.
  T** operator&() noexcept { return ReleaseAndGetAddressOf(); }

  void Attach(T* p) noexcept {
    ReleaseInternal();
    ptr_ = p;
  }
  T* Detach() noexcept { return std::exchange(ptr_, nullptr); }
  ULONG Reset() noexcept { return ReleaseInternal(); }

  HRESULT CopyTo(T** out) const noexcept {
    if (out == nullptr) return E_POINTER;
    AddRefInternal();
    *out = ptr_;
    return S_OK;
  }
  HRESULT CopyTo(REFIID iid, void** out) const noexcept {
    if (out == nullptr) return E_POINTER;
    if (ptr_ == nullptr) {
      *out = nullptr;
      return E_POINTER;
    }
    return ptr_->QueryInterface(iid, out);
  }

  template <class U>
  HRESULT As(ComPtr<U>* out) const noexcept {
    if (ptr_ == nullptr) {
      out->Reset();
      return E_POINTER;
    }
    return ptr_->QueryInterface(uuidof<U>(), reinterpret_cast<void**>(out->ReleaseAndGetAddressOf()));
  }
  // For `p.As(&other)`, where &other releases `other` and yields its slot.
  template <class U>
  HRESULT As(U** out) const noexcept {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (ptr_ == nullptr) return E_POINTER;
    return ptr_->QueryInterface(uuidof<U>(), reinterpret_cast<void**>(out));
  }
  HRESULT AsIID(REFIID iid, ComPtr<IUnknown>* out) const noexcept {
    if (ptr_ == nullptr) return E_POINTER;
    return ptr_->QueryInterface(iid, reinterpret_cast<void**>(out->ReleaseAndGetAddressOf()));
  }

  friend bool operator==(const ComPtr& a, const ComPtr& b) noexcept { return a.ptr_ == b.ptr_; }
  friend bool operator==(const ComPtr& a, std::nullptr_t) noexcept { return a.ptr_ == nullptr; }

 private:
  void AddRefInternal() const noexcept {
    if (ptr_ != nullptr) ptr_->AddRef();
  }
  ULONG ReleaseInternal() noexcept {
    ULONG count = 0;
    if (T* p = std::exchange(ptr_, nullptr)) count = p->Release();
    return count;
  }

  T* ptr_ = nullptr;
};

}  // namespace Microsoft::WRL

using Microsoft::WRL::ComPtr;
