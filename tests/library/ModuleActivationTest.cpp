// The library through dlopen: activation by class name, the class table's refusals, the
// module's live-object count as DllCanUnloadNow reports it, and the object model every
// component object shares.
#include "LoadedLibrary.h"

#include "platform/com/FreeThreadedMarshaler.h"

#include <gtest/gtest.h>

#include <vector>

namespace korvane::test {
namespace {

using namespace ABI::Korvane::Native;

struct IUnrelated : IUnknown {
  static constexpr GUID kIid{0x1A2B3C4D, 0x0009, 0x0009, {1, 2, 3, 4, 5, 6, 7, 8}};
  using BaseInterface = IUnknown;
};

const LoadedLibrary& Library() { return LoadedLibrary::Get(); }

ComPtr<IInspectable> Resolve(IWeakReference* weak) {
  ComPtr<IInspectable> strong;
  EXPECT_EQ(S_OK, weak->Resolve(strong.GetAddressOf()));
  return strong;
}

struct ActivatableClass {
  const char* name;
  const char* factoryName;
  GUID defaultInterface;
  std::vector<IID> iids;  // GetIids of an instance
};

class ActivationTest : public ::testing::TestWithParam<ActivatableClass> {};

TEST_P(ActivationTest, ActivateInstance_ByClassName) {
  const ActivatableClass& c = GetParam();
  ASSERT_EQ(S_OK, Library().canUnloadNow()) << "nothing alive before the test";
  HRESULT hr = E_FAIL;
  ComPtr<IActivationFactory> factory = Library().Factory(c.name, &hr);
  ASSERT_EQ(S_OK, hr);
  EXPECT_EQ(c.factoryName, Library().ClassName(factory.Get()));
  EXPECT_EQ(S_FALSE, Library().canUnloadNow()) << "a factory is a live object";

  ComPtr<IInspectable> instance;
  ASSERT_EQ(S_OK, factory->ActivateInstance(&instance));
  EXPECT_EQ(c.name, Library().ClassName(instance.Get()));
  ComPtr<IUnknown> typed;
  EXPECT_EQ(S_OK, instance->QueryInterface(c.defaultInterface, reinterpret_cast<void**>(typed.GetAddressOf())));
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
  EXPECT_EQ(instance.Get(), Resolve(weak.Get()).Get());

  factory.Reset();
  EXPECT_EQ(S_FALSE, Library().canUnloadNow()) << "the instance is still alive";
  instance.Reset();
  EXPECT_EQ(nullptr, Resolve(weak.Get()).Get()) << "the weak reference outlived its object";
  EXPECT_EQ(S_OK, Library().canUnloadNow());
}

INSTANTIATE_TEST_SUITE_P(
    Classes, ActivationTest,
    ::testing::Values(
        ActivatableClass{kJpegEncoderClassName, "Korvane.Native.__JpegEncoderActivationFactory", IJpegEncoder::kIid,
                         {IJpegEncoder::kIid, IWeakReferenceSource::kIid}},
        ActivatableClass{kVideoDecoderInteropClassName, "Korvane.Native.__VideoDecoderInteropActivationFactory",
                         IVideoDecoderInterop::kIid,
                         {IVideoDecoderInterop::kIid, __IVideoDecoderInteropPublicNonVirtuals::kIid,
                          __IVideoDecoderInteropProtectedVirtuals::kIid, ABI::Windows::Foundation::IClosable::kIid,
                          IWeakReferenceSource::kIid}}),
    [](const auto& info) { return std::string(info.param.name).substr(sizeof "Korvane.Native." - 1); });

TEST(ModuleTest, ActivateInstance_IteratorRefusedWithNotImplemented) {
  HRESULT hr = E_FAIL;
  ComPtr<IActivationFactory> factory = Library().Factory(kVideoDecoderIteratorClassName, &hr);
  ASSERT_EQ(S_OK, hr) << "the name resolves";
  EXPECT_EQ("Korvane.Native.__VideoDecoderIteratorActivationFactory", Library().ClassName(factory.Get()));
  IInspectable* instance = reinterpret_cast<IInspectable*>(0x1);
  EXPECT_EQ(E_NOTIMPL, factory->ActivateInstance(&instance));
  EXPECT_EQ(nullptr, instance);
  factory.Reset();
  EXPECT_EQ(S_OK, Library().canUnloadNow());
}

TEST(ModuleTest, GetActivationFactory_NamesOutsideTheTableAreRefused) {
  const struct {
    const char* name;
    HRESULT expected;
  } rows[] = {
      {"Korvane.Native.Unknown", CLASS_E_CLASSNOTAVAILABLE},
      {"korvane.native.jpegencoder", CLASS_E_CLASSNOTAVAILABLE},
      {"Korvane.Native.JpegEncoder ", CLASS_E_CLASSNOTAVAILABLE},
      {"Korvane.Native", CLASS_E_CLASSNOTAVAILABLE},
      {"Korvane.Native.__JpegEncoderActivationFactory", CLASS_E_CLASSNOTAVAILABLE},
      {"Windows.Storage.Streams.InMemoryRandomAccessStream", CLASS_E_CLASSNOTAVAILABLE},
      {"", E_INVALIDARG},
  };
  for (const auto& row : rows) {
    HRESULT hr = S_OK;
    EXPECT_EQ(nullptr, Library().Factory(row.name, &hr).Get()) << row.name;
    EXPECT_EQ(row.expected, hr) << "'" << row.name << "'";
  }
  HSTRING id = nullptr;
  ASSERT_EQ(S_OK, Library().createString(kJpegEncoderClassName, sizeof kJpegEncoderClassName - 1, &id));
  EXPECT_EQ(E_POINTER, Library().getActivationFactory(id, nullptr));
  Library().deleteString(id);
  EXPECT_EQ(S_OK, Library().canUnloadNow());
}

// What QueryInterface answers on factories and instances: IAgileObject and IMarshal on both,
// IWeakReferenceSource on instances only, nothing unrelated; IMarshal keeps the object's
// identity and names the free-threaded marshaler.
TEST(ModuleTest, QueryInterface_AgileMarshalAndWeakSource) {
  ComPtr<IActivationFactory> factory = Library().Factory(kJpegEncoderClassName);
  ASSERT_NE(nullptr, factory.Get());
  ComPtr<IInspectable> instance;
  ASSERT_EQ(S_OK, factory->ActivateInstance(&instance));
  for (IInspectable* object : {static_cast<IInspectable*>(factory.Get()), instance.Get()}) {
    const bool isFactory = object == factory.Get();
    SCOPED_TRACE(isFactory ? "factory" : "instance");
    void* p = nullptr;
    ASSERT_EQ(S_OK, object->QueryInterface(IAgileObject::kIid, &p));
    static_cast<IUnknown*>(p)->Release();
    EXPECT_EQ(isFactory ? E_NOINTERFACE : S_OK, object->QueryInterface(IWeakReferenceSource::kIid, &p));
    if (!isFactory) static_cast<IUnknown*>(p)->Release();
    EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(IUnrelated::kIid, &p));
    EXPECT_EQ(nullptr, p);

    ComPtr<IMarshal> marshal;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_PPV_ARGS(&marshal)));
    ComPtr<IUnknown> viaMarshal, direct;
    ASSERT_EQ(S_OK, marshal.As(&viaMarshal));
    ASSERT_EQ(S_OK, object->QueryInterface(IID_PPV_ARGS(&direct)));
    EXPECT_EQ(direct.Get(), viaMarshal.Get());
    CLSID unmarshalClass{};
    EXPECT_EQ(S_OK, marshal->GetUnmarshalClass(IInspectable::kIid, object, MSHCTX_INPROC, nullptr, MSHLFLAGS_NORMAL,
                                               &unmarshalClass));
    EXPECT_EQ(CLSID_InProcFreeMarshaler, unmarshalClass);

    TrustLevel trust = FullTrust;
    EXPECT_EQ(S_OK, object->GetTrustLevel(&trust));
    EXPECT_EQ(BaseTrust, trust);
  }
  ULONG count = 0;
  IID* iids = nullptr;
  ASSERT_EQ(S_OK, factory->GetIids(&count, &iids));
  EXPECT_EQ(std::vector<IID>{IActivationFactory::kIid}, std::vector<IID>(iids, iids + count));
  CoTaskMemFree(iids);
  factory.Reset();
  instance.Reset();
  EXPECT_EQ(S_OK, Library().canUnloadNow());
}

// The library keeps its platform to itself: nothing but the listed entry points is exported,
// so a host that links a platform of its own never binds the library to it (or the reverse).
TEST(ModuleTest, Exports_OnlyTheDeclaredEntryPoints) {
  for (const char* internal : {"_Z19WindowsCreateStringPKcjPP9HSTRING__", "_ZN7korvane3com17ModuleObjectCountEv",
                               "_ZN7korvane3com26IncrementModuleObjectCountEv"}) {
    EXPECT_EQ(nullptr, Library().Symbol(internal)) << internal;
  }
}

}  // namespace
}  // namespace korvane::test
