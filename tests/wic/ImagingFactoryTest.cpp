#include "platform/com/ComPtr.h"
#include "platform/wic/ComActivation.h"
#include "platform/wic/Wincodec.h"

#include <gtest/gtest.h>

namespace {

TEST(ImagingFactoryTest, CoCreateInstanceFromApp_EitherFactoryClass_MakesJpegEncodersOnly) {
  for (const CLSID& factoryClass : {CLSID_WICImagingFactory, CLSID_WICImagingFactory2}) {
    MULTI_QI entry{&uuidof<IWICImagingFactory>(), nullptr, E_FAIL};
    ASSERT_EQ(S_OK, CoCreateInstanceFromApp(factoryClass, nullptr, CLSCTX_INPROC_SERVER, nullptr, 1, &entry));
    ASSERT_EQ(S_OK, entry.hr);
    ComPtr<IWICImagingFactory> factory;
    factory.Attach(static_cast<IWICImagingFactory*>(entry.pItf));
    ComPtr<IWICBitmapEncoder> encoder;
    EXPECT_EQ(S_OK, factory->CreateEncoder(GUID_ContainerFormatJpeg, nullptr, &encoder));
    EXPECT_NE(nullptr, encoder.Get());
    for (const GUID& other : {GUID_ContainerFormatPng, GUID_ContainerFormatBmp}) {
      EXPECT_EQ(WINCODEC_ERR_COMPONENTNOTFOUND, factory->CreateEncoder(other, nullptr, &encoder));
      EXPECT_EQ(nullptr, encoder.Get());
    }
  }
}

TEST(ImagingFactoryTest, CoCreateInstanceFromApp_Refusals_CodeInCallAndEntries) {
  MULTI_QI two[2] = {{&uuidof<IWICImagingFactory>(), nullptr, E_FAIL}, {&uuidof<IWICBitmapEncoder>(), nullptr, S_OK}};
  EXPECT_EQ(CO_S_NOTALLINTERFACES,
            CoCreateInstanceFromApp(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER, nullptr, 2, two));
  EXPECT_EQ(E_NOINTERFACE, two[1].hr);
  ASSERT_EQ(S_OK, two[0].hr);
  two[0].pItf->Release();

  constexpr CLSID kUnknown{0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
  MULTI_QI one{&uuidof<IWICImagingFactory>(), nullptr, S_OK};
  EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstanceFromApp(kUnknown, nullptr, CLSCTX_INPROC_SERVER, nullptr, 1, &one));
  EXPECT_EQ(REGDB_E_CLASSNOTREG, one.hr);

  ComPtr<IWICImagingFactory> factory;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory)));

  EXPECT_EQ(CLASS_E_NOAGGREGATION, CoCreateInstanceFromApp(CLSID_WICImagingFactory2, factory.Get(),
                                                           CLSCTX_INPROC_SERVER, nullptr, 1, &one));
  EXPECT_EQ(nullptr, one.pItf);
}

}  // namespace
