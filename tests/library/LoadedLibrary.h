// The built libKorvane.Native.so loaded with dlopen, as a host that knows nothing of it but its
// path would load it, and its exports looked up by name. Loaded once per process and never
// unloaded (the library's pool threads may outlive a test).
#pragma once

#include "korvane/Library.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

namespace korvane::test {

class LoadedLibrary {
 public:
  static const LoadedLibrary& Get() {
    static const LoadedLibrary library;
    return library;
  }

  decltype(&::DllGetActivationFactory) getActivationFactory;
  decltype(&::DllCanUnloadNow) canUnloadNow;
  decltype(&::KorvaneCreateString) createString;
  decltype(&::KorvaneDeleteString) deleteString;
  decltype(&::KorvaneGetStringRawBuffer) rawBuffer;

  void* Symbol(const char* name) const { return dlsym(handle_, name); }

  // The factory for `name`, or the failing HRESULT in *hr.
  ComPtr<IActivationFactory> Factory(const std::string& name, HRESULT* hr = nullptr) const {
    HSTRING id = nullptr;
    EXPECT_EQ(S_OK, createString(name.data(), static_cast<uint32_t>(name.size()), &id));
    ComPtr<IActivationFactory> factory;
    const HRESULT result = getActivationFactory(id, &factory);
    deleteString(id);
    if (hr != nullptr) *hr = result;
    return factory;
  }

  std::string ClassName(IInspectable* object) const {
    HSTRING name = nullptr;
    EXPECT_EQ(S_OK, object->GetRuntimeClassName(&name));
    std::string text = rawBuffer(name, nullptr);
    deleteString(name);
    return text;
  }

 private:
  LoadedLibrary() : handle_(dlopen(KORVANE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL)) {
    if (handle_ == nullptr) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    Bind(getActivationFactory, "DllGetActivationFactory");
    Bind(canUnloadNow, "DllCanUnloadNow");
    Bind(createString, "KorvaneCreateString");
    Bind(deleteString, "KorvaneDeleteString");
    Bind(rawBuffer, "KorvaneGetStringRawBuffer");
    // The other platform calls are only looked up here; tests/cpp exercises them.
    for (const char* name : {"KorvaneCreateSoftwareDevice", "KorvaneOpenFileStream", "KorvaneCreateMemoryStream"}) {
      if (Symbol(name) == nullptr) throw std::runtime_error(std::string("not exported: ") + name);
    }
  }
  template <class F>
  void Bind(F& function, const char* name) {
    function = reinterpret_cast<F>(dlsym(handle_, name));
    if (function == nullptr) throw std::runtime_error(std::string("not exported: ") + name);
  }

  void* handle_;
};

}  // namespace korvane::test
