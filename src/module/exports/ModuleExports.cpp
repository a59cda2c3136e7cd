// The library's module object, its class table and the two component entry points.
#include "interop/VideoDecoderInterop.h"
#include "jpeg/JpegEncoder.h"
#include "korvane/Library.h"
#include "module/ActivationFactory.h"

namespace korvane {
namespace {

using namespace ABI::Korvane::Native;

struct JpegEncoderClass {
  static constexpr const char* kFactoryName = "Korvane.Native.__JpegEncoderActivationFactory";
  static ComPtr<IInspectable> Activate() { return MakeInstance<JpegEncoder, IJpegEncoder>(); }
};

struct VideoDecoderIteratorClass {
  static constexpr const char* kFactoryName = "Korvane.Native.__VideoDecoderIteratorActivationFactory";
  [[noreturn]] static ComPtr<IInspectable> Activate() {
    throw Platform::NotImplementedException("VideoDecoderIterator objects come from VideoDecoderInterop::CreateIterator");
  }
};

struct VideoDecoderInteropClass {
  static constexpr const char* kFactoryName = "Korvane.Native.__VideoDecoderInteropActivationFactory";
  static ComPtr<IInspectable> Activate() { return MakeInstance<VideoDecoderInterop, IVideoDecoderInterop>(); }
};

// One slot for all three entries, as the entries' creators never fill it.
FactoryCacheSlot g_factoryCache;

constexpr ActivatableClassEntry kClassTable[] = {
    {CreateFactory<JpegEncoderClass>, [] { return kJpegEncoderClassName; }, nullptr, &g_factoryCache, nullptr},
    {CreateFactory<VideoDecoderIteratorClass>, [] { return kVideoDecoderIteratorClassName; }, nullptr,
     &g_factoryCache, nullptr},
    {CreateFactory<VideoDecoderInteropClass>, [] { return kVideoDecoderInteropClassName; }, nullptr,
     &g_factoryCache, nullptr},
};

InProcModule g_module(kClassTable);

}  // namespace
}  // namespace korvane

HRESULT DllGetActivationFactory(HSTRING activatableClassId, IActivationFactory** factory) {
  return korvane::g_module.GetActivationFactory(activatableClassId, factory);
}

HRESULT DllCanUnloadNow() { return korvane::g_module.Terminate() ? S_OK : S_FALSE; }
