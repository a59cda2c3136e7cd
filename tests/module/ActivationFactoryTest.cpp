// The module object and the activation factories, in process: what a class table entry's
// creator makes, what a failing construction leaves behind, and the cache slots the module
// empties when it goes. (tests/library covers the library's own table through dlopen.)
#include "jpeg/JpegEncoder.h"
#include "module/ActivationFactory.h"
#include "platform/com/ObjectCount.h"
#include "platform/wic/ComActivation.h"
#include "platform/wic/Wincodec.h"

#include <gtest/gtest.h>

#include <optional>

namespace korvane {
namespace {

using com::ModuleObjectCount;

struct IWidget : IInspectable {
  static constexpr GUID kIid{0x1A2B3C4D, 0x0005, 0x0001, {1, 2, 3, 4, 5, 6, 7, 8}};
  using BaseInterface = IInspectable;
};

class ThrowingWidget final : public RuntimeClass<com::kComponentClass, IWidget> {
 public:
  ThrowingWidget() { ThrowHResult(E_CHANGED_STATE, "construction refused"); }

 protected:
  const char* RuntimeClassNameText() const override { return "Test.ThrowingWidget"; }
};

struct ThrowingClass {
  static constexpr const char* kFactoryName = "Test.__ThrowingWidgetActivationFactory";
  static ComPtr<IInspectable> Activate() { return MakeInstance<ThrowingWidget, IWidget>(); }
};

struct JpegEncoderClass {
  static constexpr const char* kFactoryName = "Test.__JpegEncoderActivationFactory";
  static ComPtr<IInspectable> Activate() { return MakeInstance<JpegEncoder, ABI::Korvane::Native::IJpegEncoder>(); }
};

FactoryCacheSlot g_slot;
const ActivatableClassEntry kTable[] = {
    {CreateFactory<ThrowingClass>, [] { return "Test.ThrowingWidget"; }, nullptr, &g_slot, nullptr},
    {CreateFactory<JpegEncoderClass>, [] { return "Test.JpegEncoder"; }, nullptr, &g_slot, nullptr},
};

ComPtr<IActivationFactory> Factory(const InProcModule& module, const char* name) {
  ComPtr<IActivationFactory> factory;
  EXPECT_EQ(S_OK, module.GetActivationFactory(Platform::String(name).Get(), &factory)) << name;
  return factory;
}

// A constructor that throws — the component's own, or one whose platform dependency is missing
// — gives its count back: the factory answers the exception's HRESULT with a null instance and
// the module's count is what it was with the factory alone.
TEST(ActivationFactoryTest, ActivateInstance_ThrowingConstructorLeavesCountUnchanged) {
  InProcModule module(kTable);
  const int32_t before = ModuleObjectCount();
  for (auto [name, expected] : {std::pair{"Test.ThrowingWidget", E_CHANGED_STATE},
                                std::pair{"Test.JpegEncoder", REGDB_E_CLASSNOTREG}}) {
    SCOPED_TRACE(name);
    wic::SetImagingFactoryRegisteredForTesting(CLSID_WICImagingFactory2, false);
    wic::SetImagingFactoryRegisteredForTesting(CLSID_WICImagingFactory, false);
    ComPtr<IActivationFactory> factory = Factory(module, name);
    ASSERT_NE(nullptr, factory.Get());
    EXPECT_EQ(before + 1, ModuleObjectCount());
    IInspectable* instance = reinterpret_cast<IInspectable*>(0x1);
    EXPECT_EQ(expected, factory->ActivateInstance(&instance));
    EXPECT_EQ(nullptr, instance);
    EXPECT_EQ(before + 1, ModuleObjectCount());
    wic::SetImagingFactoryRegisteredForTesting(CLSID_WICImagingFactory2, true);
    wic::SetImagingFactoryRegisteredForTesting(CLSID_WICImagingFactory, true);
  }
  EXPECT_EQ(before, ModuleObjectCount());
  EXPECT_TRUE(module.Terminate());
}

TEST(ActivationFactoryTest, ModuleDestruction_ReleasesCachedFactories) {
  const int32_t before = ModuleObjectCount();
  {
    InProcModule module(kTable);
    ComPtr<IActivationFactory> factory = Factory(module, "Test.JpegEncoder");
    g_slot.factory.store(factory.Detach());
    EXPECT_EQ(before + 1, ModuleObjectCount());
  }
  EXPECT_EQ(nullptr, g_slot.factory.load());
  EXPECT_EQ(before, ModuleObjectCount());
}

}  // namespace
}  // namespace korvane
