#include "platform/com/ComPtr.h"
#include "platform/wic/ComActivation.h"
#include "platform/wic/Wincodec.h"

#include <gtest/gtest.h>

namespace {

class ImagingFactoryClassTest : public ::testing::TestWithParam<CLSID> {};

TEST_P(ImagingFactoryClassTest, CoCreateInstanceFromApp_FactoryClass_AnswersImagingFactory) {
  MULTI_QI entry{&uuidof<IWICImagingFactory>(), nullptr, E_FAIL};
  ASSERT_EQ(S_OK, CoCreateInstanceFromApp(GetParam(), nullptr, CLSCTX_INPROC_SERVER, nullptr, 1, &entry));
  EXPECT_EQ(S_OK, entry.hr);
  ASSERT_NE(nullptr, entry.pItf);
  ComPtr<IWICImagingFactory> factory;
  factory.Attach(static_cast<IWICImagingFactory*>(entry.pItf));
  ComPtr<IWICBitmapEncoder> encoder;
  EXPECT_EQ(S_OK, factory->CreateEncoder(GUID_ContainerFormatJpeg, nullptr, &encoder));
  EXPECT_NE(nullptr, encoder.Get());
}

INSTANTIATE_TEST_SUITE_P(BothVersions, ImagingFactoryClassTest,
                         ::testing::Values(CLSID_WICImagingFactory, CLSID_WICImagingFactory2));

TEST(ImagingFactoryTest, CoCreateInstanceFromApp_SomeInterfacesMissing_NotAllInterfaces) {
  MULTI_QI entries[2] = {{&uuidof<IWICImagingFactory>(), nullptr, E_FAIL},
                         {&uuidof<IWICBitmapEncoder>(), nullptr, E_FAIL}};
  ASSERT_EQ(CO_S_NOTALLINTERFACES,
            CoCreateInstanceFromApp(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER, nullptr, 2, entries));
  EXPECT_EQ(S_OK, entries[0].hr);
  EXPECT_EQ(E_NOINTERFACE, entries[1].hr);
  EXPECT_EQ(nullptr, entries[1].pItf);
  ASSERT_NE(nullptr, entries[0].pItf);
  entries[0].pItf->Release();
}

TEST(ImagingFactoryTest, CoCreateInstanceFromApp_ClassNotAvailable_ClassNotRegisteredInEveryEntry) {
  constexpr CLSID kUnknown{0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
  MULTI_QI entry{&uuidof<IWICImagingFactory>(), nullptr, S_OK};
  EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstanceFromApp(kUnknown, nullptr, CLSCTX_INPROC_SERVER, nullptr, 1, &entry));
  EXPECT_EQ(REGDB_E_CLASSNOTREG, entry.hr);

  korvane::wic::SetImagingFactoryRegisteredForTesting(CLSID_WICImagingFactory2, false);
  entry = {&uuidof<IWICImagingFactory>(), nullptr, S_OK};
  EXPECT_EQ(REGDB_E_CLASSNOTREG,
            CoCreateInstanceFromApp(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER, nullptr, 1, &entry));
  EXPECT_EQ(REGDB_E_CLASSNOTREG, entry.hr);
  EXPECT_EQ(nullptr, entry.pItf);
  // The first version stays available.
  ComPtr<IWICImagingFactory> factory;
  EXPECT_EQ(S_OK, CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory)));
  korvane::wic::SetImagingFactoryRegisteredForTesting(CLSID_WICImagingFactory2, true);
  EXPECT_EQ(S_OK, CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory)));
}

TEST(ImagingFactoryTest, CoCreateInstance_OuterObjectOrOutOfProcess_Refused) {
  ComPtr<IWICImagingFactory> factory;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory)));
  int sentinel = 0;
  void* object = &sentinel;  // must be cleared
  EXPECT_EQ(CLASS_E_NOAGGREGATION,
            CoCreateInstance(CLSID_WICImagingFactory2, factory.Get(), CLSCTX_INPROC_SERVER, uuidof<IUnknown>(), &object));
  EXPECT_EQ(nullptr, object);
  EXPECT_EQ(REGDB_E_CLASSNOTREG,
            CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_LOCAL_SERVER, uuidof<IUnknown>(), &object));
}

struct ContainerCase {
  const char* name;
  GUID container;
  HRESULT expected;
};

class CreateEncoderTest : public ::testing::TestWithParam<ContainerCase> {};

TEST_P(CreateEncoderTest, CreateEncoder_Container_OnlyJpegFound) {
  ComPtr<IWICImagingFactory> factory;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory)));
  int sentinel = 0;
  IWICBitmapEncoder* encoder = reinterpret_cast<IWICBitmapEncoder*>(&sentinel);  // must be set
  EXPECT_EQ(GetParam().expected, factory->CreateEncoder(GetParam().container, nullptr, &encoder));
  EXPECT_EQ(SUCCEEDED(GetParam().expected), encoder != nullptr);
  if (encoder != nullptr) encoder->Release();
}

INSTANTIATE_TEST_SUITE_P(Containers, CreateEncoderTest,
                         ::testing::Values(ContainerCase{"Jpeg", GUID_ContainerFormatJpeg, S_OK},
                                           ContainerCase{"Png", GUID_ContainerFormatPng, WINCODEC_ERR_COMPONENTNOTFOUND},
                                           ContainerCase{"Bmp", GUID_ContainerFormatBmp, WINCODEC_ERR_COMPONENTNOTFOUND}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
