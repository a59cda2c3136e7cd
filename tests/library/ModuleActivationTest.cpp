// The built libKorvane.Native.so loaded with dlopen, as a host that knows nothing of it but its
// path loads it: only the declared entry points are exported, classes activate by name, the
// class table refuses everything else, and DllCanUnloadNow follows the live objects. The
// library is loaded once and never unloaded (its pool threads may outlive a test).
#include "korvane/Library.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvane::test {
namespace {

using namespace ABI::Korvane::Native;

struct Library {
  static const Library& Get() {
    static const Library library;
    return library;
  }
  void* Symbol(const char* name) const { return dlsym(handle, name); }
  // The factory for `name`; the call's result in *hr.
  ComPtr<IActivationFactory> Factory(const std::string& name, HRESULT* hr) const {
    HSTRING id = nullptr;
    EXPECT_EQ(S_OK, createString(name.data(), static_cast<uint32_t>(name.size()), &id));
    ComPtr<IActivationFactory> factory;
    *hr = getActivationFactory(id, &factory);
    deleteString(id);
    return factory;
  }
  std::string ClassName(IInspectable* object) const {
    HSTRING name = nullptr;
    EXPECT_EQ(S_OK, object->GetRuntimeClassName(&name));
    std::string text = rawBuffer(name, nullptr);
    deleteString(name);
    return text;
  }

  void* handle = dlopen(KORVANE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  decltype(&::DllGetActivationFactory) getActivationFactory = Bind<decltype(getActivationFactory)>("DllGetActivationFactory");
  decltype(&::DllCanUnloadNow) canUnloadNow = Bind<decltype(canUnloadNow)>("DllCanUnloadNow");
  decltype(&::KorvaneCreateString) createString = Bind<decltype(createString)>("KorvaneCreateString");
  decltype(&::KorvaneDeleteString) deleteString = Bind<decltype(deleteString)>("KorvaneDeleteString");
  decltype(&::KorvaneGetStringRawBuffer) rawBuffer = Bind<decltype(rawBuffer)>("KorvaneGetStringRawBuffer");

 private:
  template <class F>
  F Bind(const char* name) const {
    if (handle == nullptr) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    const auto function = reinterpret_cast<F>(dlsym(handle, name));
    if (function == nullptr) throw std::runtime_error(std::string("not exported: ") + name);
    return function;
  }
};

const Library& Lib() { return Library::Get(); }

// The library keeps its platform to itself: a host that links a platform of its own never binds
// the library to it (or the reverse). The platform calls tests/cpp exercises are exported.
TEST(ModuleTest, Exports_OnlyTheDeclaredEntryPoints) {
  for (const char* name : {"KorvaneCreateSoftwareDevice", "KorvaneOpenFileStream", "KorvaneCreateMemoryStream"})
    EXPECT_NE(nullptr, Lib().Symbol(name)) << name;
  for (const char* internal : {"_Z19WindowsCreateStringPKcjPP9HSTRING__", "_ZN7korvane3com17ModuleObjectCountEv",
                               "_ZN7korvane3com26IncrementModuleObjectCountEv"})
    EXPECT_EQ(nullptr, Lib().Symbol(internal)) << internal;
}

struct ActivatableClass {
  const char* name;
  std::vector<IID> iids;  // GetIids of an instance, the default interface first
};

class ActivationTest : public ::testing::TestWithParam<ActivatableClass> {};

TEST_P(ActivationTest, ActivateInstance_ByClassName) {
  const ActivatableClass& c = GetParam();
  const std::string shortName = std::string(c.name).substr(sizeof "Korvane.Native." - 1);
  ASSERT_EQ(S_OK, Lib().canUnloadNow()) << "nothing alive before the test";
  HRESULT hr = E_FAIL;
  ComPtr<IActivationFactory> factory = Lib().Factory(c.name, &hr);
  ASSERT_EQ(S_OK, hr);
  EXPECT_EQ("Korvane.Native.__" + shortName + "ActivationFactory", Lib().ClassName(factory.Get()));
  EXPECT_EQ(S_FALSE, Lib().canUnloadNow()) << "a factory is a live object";

  ComPtr<IInspectable> instance;
  ASSERT_EQ(S_OK, factory->ActivateInstance(&instance));
  EXPECT_EQ(c.name, Lib().ClassName(instance.Get()));
  ComPtr<IUnknown> typed;
  EXPECT_EQ(S_OK, instance->QueryInterface(c.iids.front(), reinterpret_cast<void**>(typed.GetAddressOf())));
  ULONG count = 0;
  IID* iids = nullptr;
  ASSERT_EQ(S_OK, instance->GetIids(&count, &iids));
  EXPECT_EQ(c.iids, std::vector<IID>(iids, iids + count));
  CoTaskMemFree(iids);

  ComPtr<IWeakReferenceSource> source;
  ComPtr<IWeakReference> weak;
  ASSERT_EQ(S_OK, instance.As(&source));
  ASSERT_EQ(S_OK, source->GetWeakReference(&weak));
  source.Reset();
  typed.Reset();
  factory.Reset();
  const auto resolve = [&] {
    ComPtr<IInspectable> strong;
    EXPECT_EQ(S_OK, weak->Resolve(strong.GetAddressOf()));
    return strong;
  };
  EXPECT_EQ(instance.Get(), resolve().Get());
  EXPECT_EQ(S_FALSE, Lib().canUnloadNow()) << "the instance is still alive";
  instance.Reset();
  EXPECT_EQ(nullptr, resolve().Get()) << "the weak reference outlived its object";
  EXPECT_EQ(S_OK, Lib().canUnloadNow());
}

INSTANTIATE_TEST_SUITE_P(
    Classes, ActivationTest,
    ::testing::Values(ActivatableClass{kJpegEncoderClassName, {IJpegEncoder::kIid, IWeakReferenceSource::kIid}},
                      ActivatableClass{kVideoDecoderInteropClassName,
                                       {IVideoDecoderInterop::kIid, __IVideoDecoderInteropPublicNonVirtuals::kIid,
                                        __IVideoDecoderInteropProtectedVirtuals::kIid,
                                        ABI::Windows::Foundation::IClosable::kIid, IWeakReferenceSource::kIid}}),
    [](const auto& info) { return std::string(info.param.name).substr(sizeof "Korvane.Native." - 1); });

TEST(ModuleTest, GetActivationFactory_NamesOutsideTheTableAreRefused) {
  const std::pair<const char*, HRESULT> rows[] = {
      {"Korvane.Native.Unknown", CLASS_E_CLASSNOTAVAILABLE},
      {"korvane.native.jpegencoder", CLASS_E_CLASSNOTAVAILABLE},
      {"Korvane.Native.__JpegEncoderActivationFactory", CLASS_E_CLASSNOTAVAILABLE},
      {"Windows.Storage.Streams.InMemoryRandomAccessStream", CLASS_E_CLASSNOTAVAILABLE},
      {"", E_INVALIDARG},
  };
  for (const auto& [name, expected] : rows) {
    HRESULT hr = S_OK;
    EXPECT_EQ(nullptr, Lib().Factory(name, &hr).Get()) << name;
    EXPECT_EQ(expected, hr) << "'" << name << "'";
  }
  HSTRING id = nullptr;
  ASSERT_EQ(S_OK, Lib().createString(kJpegEncoderClassName, sizeof kJpegEncoderClassName - 1, &id));
  EXPECT_EQ(E_POINTER, Lib().getActivationFactory(id, nullptr));
  Lib().deleteString(id);
  EXPECT_EQ(S_OK, Lib().canUnloadNow());
}

}  // namespace
}  // namespace korvane::test
