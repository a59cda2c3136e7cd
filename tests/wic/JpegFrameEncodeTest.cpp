#include "ByteSinkStream.h"
#include "Nv12TestPicture.h"

#include "platform/wic/ComActivation.h"
#include "platform/wic/Wincodec.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstring>

namespace {

using korvane::testing::ByteSinkStream;
using korvane::testing::DecodeToYuv;
using korvane::testing::MakeNv12Picture;
using korvane::testing::Nv12Picture;

// What the planar path must produce: libjpeg-turbo's own 4:2:0 compression of the same
// samples at quality 90.
std::vector<uint8_t> ReferenceJpeg(const Nv12Picture& p) {
  const uint32_t chromaWidth = p.ChromaStride() / 2;
  std::vector<uint8_t> cb(size_t{chromaWidth} * p.ChromaRows()), cr(cb.size());
  for (size_t i = 0; i < cb.size(); ++i) {
    cb[i] = p.cbcr[2 * i];
    cr[i] = p.cbcr[2 * i + 1];
  }
  std::unique_ptr<void, int (*)(tjhandle)> handle(tjInitCompress(), tjDestroy);
  const unsigned char* planes[3] = {p.y.data(), cb.data(), cr.data()};
  int strides[3] = {int(p.width), int(chromaWidth), int(chromaWidth)};
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  EXPECT_EQ(0, tjCompressFromYUVPlanes(handle.get(), planes, int(p.width), strides, int(p.height), TJSAMP_420, &jpeg,
                                       &size, 90, 0));
  std::vector<uint8_t> bytes(jpeg, jpeg + size);
  tjFree(jpeg);
  return bytes;
}

WICBitmapPlane LumaPlane(Nv12Picture& p) {
  return {GUID_WICPixelFormat8bppY, p.y.data(), p.width, static_cast<UINT>(p.y.size())};
}
WICBitmapPlane ChromaPlane(Nv12Picture& p) {
  return {GUID_WICPixelFormat16bppCbCr, p.cbcr.data(), p.ChromaStride(), static_cast<UINT>(p.cbcr.size())};
}

class JpegFrameEncodeTest : public ::testing::Test {
 protected:
  // Factory, encoder on `sink`, frame with its bag, and (with a size) the frame initialized,
  // sized and given its pixel format: ready for WritePixels.
  void Prepare(UINT width, UINT height, ComPtr<ByteSinkStream> stream = MakeComObject<ByteSinkStream>()) {
    sink = std::move(stream);
    ComPtr<IWICImagingFactory> factory;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory)));
    ASSERT_EQ(S_OK, factory->CreateEncoder(GUID_ContainerFormatJpeg, nullptr, &encoder));
    ASSERT_EQ(S_OK, encoder->Initialize(sink.Get(), WICBitmapEncoderNoCache));
    ASSERT_EQ(S_OK, encoder->CreateNewFrame(&frame, &bag));
    ASSERT_EQ(S_OK, frame.As(&planar));
    if (width == 0) return;
    ASSERT_EQ(S_OK, frame->Initialize(bag.Get()));
    ASSERT_EQ(S_OK, frame->SetSize(width, height));
    WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
    ASSERT_EQ(S_OK, frame->SetPixelFormat(&format));
  }

  // Writes `p` in calls of `linesPerCall` rows, commits, and returns the stream's bytes.
  std::vector<uint8_t> Encode(Nv12Picture& p, UINT linesPerCall) {
    Prepare(p.width, p.height);
    for (UINT row = 0; row < p.height; row += linesPerCall) {
      const UINT lines = std::min(linesPerCall, p.height - row);
      WICBitmapPlane planes[2] = {LumaPlane(p), ChromaPlane(p)};
      planes[0].pbBuffer += size_t{row} * planes[0].cbStride;
      planes[0].cbBufferSize -= row * planes[0].cbStride;
      planes[1].pbBuffer += size_t{row / 2} * planes[1].cbStride;
      planes[1].cbBufferSize -= row / 2 * planes[1].cbStride;
      EXPECT_EQ(S_OK, planar->WritePixels(lines, planes, 2)) << "at row " << row;
    }
    EXPECT_EQ(S_OK, frame->Commit());
    EXPECT_EQ(S_OK, encoder->Commit());
    return sink->Bytes();
  }

  ComPtr<ByteSinkStream> sink;
  ComPtr<IWICBitmapEncoder> encoder;
  ComPtr<IWICBitmapFrameEncode> frame;
  ComPtr<IPropertyBag2> bag;
  ComPtr<IWICPlanarBitmapFrameEncode> planar;
};

struct Size {
  UINT width, height;
};
std::string SizeName(const ::testing::TestParamInfo<Size>& info) {
  return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
}

class EvenSizeTest : public JpegFrameEncodeTest, public ::testing::WithParamInterface<Size> {};

TEST_P(EvenSizeTest, WritePixels_WholePicture_SameBytesAsLibjpegTurboAt90) {
  Nv12Picture p = MakeNv12Picture(GetParam().width, GetParam().height);
  EXPECT_EQ(ReferenceJpeg(p), Encode(p, p.height));
  EXPECT_EQ(1, sink->Writes());
}

INSTANTIATE_TEST_SUITE_P(Sizes, EvenSizeTest,
                         ::testing::Values(Size{2, 2}, Size{16, 16}, Size{66, 34}, Size{640, 480}, Size{1920, 1080}),
                         SizeName);

class LinesPerCallTest : public JpegFrameEncodeTest, public ::testing::WithParamInterface<UINT> {};

TEST_P(LinesPerCallTest, WritePixels_InSeveralCalls_SameBytesAsOneCall) {
  Nv12Picture p = MakeNv12Picture(322, 243);
  const std::vector<uint8_t> whole = Encode(p, p.height);
  EXPECT_EQ(whole, Encode(p, GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Chunks, LinesPerCallTest, ::testing::Values(2u, 16u, 100u));

class OddSizeTest : public JpegFrameEncodeTest, public ::testing::WithParamInterface<Size> {};

TEST_P(OddSizeTest, WritePixels_OddSides_EncodesExactSizeFromExactPlanes) {
  // The planes are exactly as large as their rows need, so any read past them is caught by
  // the address sanitizer.
  Nv12Picture p = MakeNv12Picture(GetParam().width, GetParam().height);
  const auto decoded = DecodeToYuv(Encode(p, p.height));
  EXPECT_EQ(int(p.width), decoded.width);
  EXPECT_EQ(int(p.height), decoded.height);
  EXPECT_EQ(TJSAMP_420, decoded.subsampling);
  const auto psnr = korvane::testing::CompareWithSource(p, decoded);
  EXPECT_GE(psnr.y, 35);
  EXPECT_GE(psnr.cb, 35);
  EXPECT_GE(psnr.cr, 35);
}

INSTANTIATE_TEST_SUITE_P(Sizes, OddSizeTest,
                         ::testing::Values(Size{1, 1}, Size{3, 3}, Size{321, 241}, Size{321, 240}, Size{320, 241}),
                         SizeName);

struct PlaneCase {
  const char* name;
  UINT width, height;
  UINT lumaStride, lumaSize, chromaStride, chromaSize;
  HRESULT expected;
};

class PlaneCheckTest : public JpegFrameEncodeTest, public ::testing::WithParamInterface<PlaneCase> {};

TEST_P(PlaneCheckTest, WritePixels_PlaneExtents_CheckedBeforeReading) {
  const PlaneCase& c = GetParam();
  Prepare(c.width, c.height);
  std::vector<uint8_t> luma(c.lumaSize, 0x50), chroma(c.chromaSize, 0x80);
  WICBitmapPlane planes[2] = {{GUID_WICPixelFormat8bppY, luma.data(), c.lumaStride, c.lumaSize},
                              {GUID_WICPixelFormat16bppCbCr, chroma.data(), c.chromaStride, c.chromaSize}};
  EXPECT_EQ(c.expected, planar->WritePixels(c.height, planes, 2));
  EXPECT_EQ(c.expected == S_OK ? S_OK : WINCODEC_ERR_WRONGSTATE, frame->Commit());
  EXPECT_EQ(c.expected == S_OK, !sink->Bytes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Planes, PlaneCheckTest,
    ::testing::Values(
        PlaneCase{"Exact", 6, 4, 6, 24, 6, 12, S_OK},
        PlaneCase{"PaddedRowsWithoutTrailingPad", 6, 4, 8, 3 * 8 + 6, 8, 8 + 6, S_OK},
        PlaneCase{"LumaOneByteShort", 6, 4, 6, 23, 6, 12, WINCODEC_ERR_INSUFFICIENTBUFFER},
        PlaneCase{"ChromaOneByteShort", 6, 4, 6, 24, 6, 11, WINCODEC_ERR_INSUFFICIENTBUFFER},
        PlaneCase{"LumaStrideBelowWidth", 6, 4, 5, 24, 6, 12, E_INVALIDARG},
        // An odd-sized picture in the packed layout W x H + (W x H + 1) / 2 lacks chroma.
        PlaneCase{"OddWidthPackedChroma", 3, 3, 3, 9, 3, 5, E_INVALIDARG},
        PlaneCase{"OddHeightPackedChroma", 4, 3, 4, 12, 4, 6, WINCODEC_ERR_INSUFFICIENTBUFFER},
        // Sizes whose products wrap in 32 bits must not look small.
        PlaneCase{"HugeStride", 6, 4, 0x80000000u, 24, 6, 12, WINCODEC_ERR_INSUFFICIENTBUFFER}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(JpegFrameEncodeTest, WritePixels_BadPlaneListOrLineCount_Refused) {
  Nv12Picture p = MakeNv12Picture(8, 8);
  Prepare(8, 8);
  WICBitmapPlane planes[2] = {LumaPlane(p), ChromaPlane(p)};
  EXPECT_EQ(E_INVALIDARG, planar->WritePixels(8, planes, 1));
  EXPECT_EQ(E_INVALIDARG, planar->WritePixels(8, nullptr, 2));
  EXPECT_EQ(E_INVALIDARG, planar->WritePixels(0, planes, 2));
  EXPECT_EQ(E_INVALIDARG, planar->WritePixels(3, planes, 2));  // odd, and not the last rows
  EXPECT_EQ(WINCODEC_ERR_CODECTOOMANYSCANLINES, planar->WritePixels(10, planes, 2));
  std::swap(planes[0], planes[1]);
  EXPECT_EQ(WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT, planar->WritePixels(8, planes, 2));
  std::swap(planes[0], planes[1]);
  EXPECT_EQ(S_OK, planar->WritePixels(6, planes, 2));
  EXPECT_EQ(WINCODEC_ERR_CODECTOOMANYSCANLINES, planar->WritePixels(4, planes, 2));
}

TEST_F(JpegFrameEncodeTest, Calls_OutOfOrder_FailWithStateCodes) {
  Prepare(0, 0);
  Nv12Picture p = MakeNv12Picture(4, 4);
  WICBitmapPlane planes[2] = {LumaPlane(p), ChromaPlane(p)};
  WICPixelFormatGUID format = GUID_WICPixelFormat8bppY;
  EXPECT_EQ(WINCODEC_ERR_NOTINITIALIZED, frame->SetSize(4, 4));
  EXPECT_EQ(WINCODEC_ERR_WRONGSTATE, encoder->Commit());  // its frame is not committed
  ComPtr<IWICBitmapFrameEncode> second;
  EXPECT_EQ(WINCODEC_ERR_UNSUPPORTEDOPERATION, encoder->CreateNewFrame(&second, nullptr));
  EXPECT_EQ(S_OK, frame->Initialize(bag.Get()));
  EXPECT_EQ(WINCODEC_ERR_WRONGSTATE, frame->Initialize(nullptr));
  EXPECT_EQ(WINCODEC_ERR_WRONGSTATE, planar->WritePixels(4, planes, 2));  // no size yet
  EXPECT_EQ(E_INVALIDARG, frame->SetSize(0, 4));
  EXPECT_EQ(WINCODEC_ERR_IMAGESIZEOUTOFRANGE, frame->SetSize(65501, 4));
  EXPECT_EQ(S_OK, frame->SetSize(4, 4));
  EXPECT_EQ(WINCODEC_ERR_WRONGSTATE, planar->WritePixels(4, planes, 2));  // no pixel format yet
  EXPECT_EQ(S_OK, frame->SetPixelFormat(&format));
  EXPECT_TRUE(format == GUID_WICPixelFormat24bppBGR);
  EXPECT_EQ(S_OK, planar->WritePixels(2, planes, 2));
  EXPECT_EQ(WINCODEC_ERR_WRONGSTATE, frame->SetSize(8, 8));
  EXPECT_EQ(WINCODEC_ERR_WRONGSTATE, frame->Commit());  // rows missing
  EXPECT_EQ(WINCODEC_ERR_WRONGSTATE, encoder->Commit());
  planes[0].pbBuffer += 2 * 4;
  planes[1].pbBuffer += 4;
  EXPECT_EQ(S_OK, planar->WritePixels(2, planes, 2));
  EXPECT_TRUE(sink->Bytes().empty());  // the JPEG goes out on Commit
  EXPECT_EQ(S_OK, frame->Commit());
  EXPECT_EQ(WINCODEC_ERR_WRONGSTATE, frame->Commit());
  EXPECT_EQ(S_OK, encoder->Commit());
  EXPECT_EQ(WINCODEC_ERR_WRONGSTATE, encoder->Commit());
  EXPECT_EQ(DecodeToYuv(sink->Bytes()).width, 4);
}

TEST_F(JpegFrameEncodeTest, EncoderCalls_BeforeInitializeOrWithoutFrame_Refused) {
  ComPtr<IWICImagingFactory> factory;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory)));
  ASSERT_EQ(S_OK, factory->CreateEncoder(GUID_ContainerFormatJpeg, nullptr, &encoder));
  EXPECT_EQ(WINCODEC_ERR_NOTINITIALIZED, encoder->CreateNewFrame(&frame, &bag));
  EXPECT_EQ(E_INVALIDARG, encoder->Initialize(nullptr, WICBitmapEncoderNoCache));
  ComPtr<ByteSinkStream> stream = MakeComObject<ByteSinkStream>();
  EXPECT_EQ(S_OK, encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache));
  EXPECT_EQ(WINCODEC_ERR_WRONGSTATE, encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache));
  EXPECT_EQ(WINCODEC_ERR_FRAMEMISSING, encoder->Commit());
}

struct OptionCase {
  const char* name;
  const char* property;
  VARTYPE type;
  uint8_t value;
  HRESULT expected;
};

class OptionBagTest : public JpegFrameEncodeTest, public ::testing::WithParamInterface<OptionCase> {};

TEST_P(OptionBagTest, Write_Option_AcceptsOnly420Subsampling) {
  Prepare(0, 0);
  std::string name = GetParam().property;
  PROPBAG2 option{};
  option.pstrName = name.data();
  VARIANT value;
  VariantInit(&value);
  value.vt = GetParam().type;
  value.bVal = GetParam().value;
  EXPECT_EQ(GetParam().expected, bag->Write(1, &option, &value));
}

INSTANTIATE_TEST_SUITE_P(
    Options, OptionBagTest,
    ::testing::Values(OptionCase{"Subsampling420", "JpegYCrCbSubsampling", VT_UI1, 1, S_OK},
                      OptionCase{"SubsamplingDefault", "JpegYCrCbSubsampling", VT_UI1, 0, S_OK},
                      OptionCase{"Subsampling444", "JpegYCrCbSubsampling", VT_UI1, 3, WINCODEC_ERR_UNSUPPORTEDOPERATION},
                      OptionCase{"SubsamplingOutOfRange", "JpegYCrCbSubsampling", VT_UI1, 9, E_INVALIDARG},
                      OptionCase{"SubsamplingWrongType", "JpegYCrCbSubsampling", VT_I4, 1, E_INVALIDARG},
                      OptionCase{"UnknownOption", "ImageQuality", VT_R4, 0, WINCODEC_ERR_PROPERTYNOTFOUND}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(JpegFrameEncodeTest, Commit_StreamHoldsBytes_JpegAppendedAtItsPosition) {
  Nv12Picture p = MakeNv12Picture(16, 8);
  Prepare(16, 8, MakeComObject<ByteSinkStream>(std::vector<uint8_t>{1, 2, 3}));
  WICBitmapPlane planes[2] = {LumaPlane(p), ChromaPlane(p)};
  ASSERT_EQ(S_OK, planar->WritePixels(8, planes, 2));
  ASSERT_EQ(S_OK, frame->Commit());
  const std::vector<uint8_t> expected = ReferenceJpeg(p);
  ASSERT_EQ(expected.size() + 3, sink->Bytes().size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), sink->Bytes().begin() + 3));
}

TEST_F(JpegFrameEncodeTest, Commit_StreamRefusesWrite_StreamErrorAndNoEncoderCommit) {
  Nv12Picture p = MakeNv12Picture(16, 8);
  Prepare(16, 8, MakeComObject<ByteSinkStream>(std::vector<uint8_t>{}, STG_E_MEDIUMFULL));
  WICBitmapPlane planes[2] = {LumaPlane(p), ChromaPlane(p)};
  ASSERT_EQ(S_OK, planar->WritePixels(8, planes, 2));
  EXPECT_EQ(STG_E_MEDIUMFULL, frame->Commit());
  EXPECT_EQ(WINCODEC_ERR_WRONGSTATE, frame->Commit());
  EXPECT_EQ(WINCODEC_ERR_WRONGSTATE, encoder->Commit());
}

}  // namespace
