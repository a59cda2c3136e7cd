#include "JpegTestSupport.h"

#include "platform/wic/ComActivation.h"
#include "platform/wic/Wincodec.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace korvane::testing;

// libjpeg-turbo's own 4:2:0 compression of the same samples at quality 90: what the planar
// path must write, byte for byte.
std::vector<uint8_t> ReferenceJpeg(const Nv12Picture& p) {
  std::vector<uint8_t> cb(p.cbcr.size() / 2), cr(cb.size());
  for (size_t i = 0; i < cb.size(); ++i) {
    cb[i] = p.cbcr[2 * i];
    cr[i] = p.cbcr[2 * i + 1];
  }
  std::unique_ptr<void, int (*)(tjhandle)> handle(tjInitCompress(), tjDestroy);
  const unsigned char* planes[3] = {p.y.data(), cb.data(), cr.data()};
  int strides[3] = {int(p.width), int(p.width / 2), int(p.width / 2)};
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  EXPECT_EQ(0, tjCompressFromYUVPlanes(handle.get(), planes, int(p.width), strides, int(p.height), TJSAMP_420, &jpeg,
                                       &size, 90, 0));
  std::vector<uint8_t> bytes(jpeg, jpeg + size);
  tjFree(jpeg);
  return bytes;
}

class JpegFrameEncodeTest : public ::testing::Test {
 protected:
  // Encoder on `output` with its frame initialized, sized and given its pixel format, ready for
  // WritePixels.
  void Prepare(UINT width, UINT height) {
    ComPtr<IWICImagingFactory> factory;
    ComPtr<IStream> io;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory)));
    ASSERT_EQ(S_OK, CreateStreamOverRandomAccessStream(output.Get(), IID_PPV_ARGS(&io)));
    ASSERT_EQ(S_OK, factory->CreateEncoder(GUID_ContainerFormatJpeg, nullptr, &encoder));
    ASSERT_EQ(S_OK, encoder->Initialize(io.Get(), WICBitmapEncoderNoCache));
    ASSERT_EQ(S_OK, encoder->CreateNewFrame(&frame, &bag));
    ASSERT_EQ(S_OK, frame.As(&planar));
    WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
    ASSERT_EQ(S_OK, frame->Initialize(bag.Get()));
    ASSERT_EQ(S_OK, frame->SetSize(width, height));
    ASSERT_EQ(S_OK, frame->SetPixelFormat(&format));
  }

  // The planes of `p` from row `row` on.
  static void Planes(Nv12Picture& p, UINT row, WICBitmapPlane (&planes)[2]) {
    planes[0] = {GUID_WICPixelFormat8bppY, p.y.data() + size_t{row} * p.width, p.width,
                 UINT(p.y.size() - size_t{row} * p.width)};
    planes[1] = {GUID_WICPixelFormat16bppCbCr, p.cbcr.data() + size_t{row / 2} * p.ChromaStride(), p.ChromaStride(),
                 UINT(p.cbcr.size() - size_t{row / 2} * p.ChromaStride())};
  }

  // Writes `p` in calls of `linesPerCall` rows, commits, and returns the JPEG.
  std::vector<uint8_t> Encode(Nv12Picture& p, UINT linesPerCall) {
    output = MemoryStream({});
    Prepare(p.width, p.height);
    WICBitmapPlane planes[2];
    for (UINT row = 0; row < p.height; row += linesPerCall) {
      Planes(p, row, planes);
      EXPECT_EQ(S_OK, planar->WritePixels(std::min(linesPerCall, p.height - row), planes, 2)) << "row " << row;
    }
    EXPECT_EQ(S_OK, frame->Commit());
    EXPECT_EQ(S_OK, encoder->Commit());
    return StreamBytes(output.Get());
  }

  ComPtr<ABI::Windows::Storage::Streams::IRandomAccessStream> output = MemoryStream({});
  ComPtr<IWICBitmapEncoder> encoder;
  ComPtr<IWICBitmapFrameEncode> frame;
  ComPtr<IPropertyBag2> bag;
  ComPtr<IWICPlanarBitmapFrameEncode> planar;
};

// Even sides give byte for byte what libjpeg-turbo writes; any side gives a 4:2:0 JPEG of the
// exact size close to its source, the same bytes whether written in one call or in several.
// The planes are exactly as large as their rows need, so the address sanitizer catches a read
// past them.
TEST_F(JpegFrameEncodeTest, WritePixels_AnySize_ExactJpegOfThePicture) {
  const struct {
    UINT width, height, linesPerCall;
  } cases[] = {{2, 2, 2},       {66, 34, 34},     {640, 480, 480},  {1920, 1080, 1080},
               {1, 1, 1},       {3, 3, 3},        {321, 241, 241},  {321, 240, 240},
               {320, 241, 241}, {322, 243, 2},    {322, 243, 16},   {322, 243, 100}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << " x " << c.height << ", " << c.linesPerCall << " lines a call");
    Nv12Picture p = MakeNv12Picture(c.width, c.height);
    const std::vector<uint8_t> jpeg = Encode(p, c.linesPerCall);
    if (c.width % 2 == 0 && c.height % 2 == 0) {
      EXPECT_EQ(ReferenceJpeg(p), jpeg);
    } else if (c.linesPerCall < c.height) {
      EXPECT_EQ(Encode(p, p.height), jpeg);
    }
    const DecodedYuv decoded = DecodeToYuv(jpeg);
    EXPECT_EQ(int(p.width), decoded.width);
    EXPECT_EQ(int(p.height), decoded.height);
    EXPECT_EQ(TJSAMP_420, decoded.subsampling);
    EXPECT_GE(WorstPlanePsnr(p, decoded), 35);
  }
}

TEST_F(JpegFrameEncodeTest, WritePixels_PlaneExtents_CheckedBeforeReading) {
  const struct {
    const char* name;
    UINT width, height, lumaStride, lumaSize, chromaStride, chromaSize;
    HRESULT expected;
  } cases[] = {{"Exact", 6, 4, 6, 24, 6, 12, S_OK},
               {"PaddedRowsNoTrailingPad", 6, 4, 8, 3 * 8 + 6, 8, 8 + 6, S_OK},
               {"LumaOneShort", 6, 4, 6, 23, 6, 12, WINCODEC_ERR_INSUFFICIENTBUFFER},
               {"ChromaOneShort", 6, 4, 6, 24, 6, 11, WINCODEC_ERR_INSUFFICIENTBUFFER},
               {"LumaStrideBelowWidth", 6, 4, 5, 24, 6, 12, E_INVALIDARG},
               // The packed layout W x H + (W x H + 1) / 2 lacks chroma for odd sides.
               {"OddWidthPackedChroma", 3, 3, 3, 9, 3, 5, E_INVALIDARG},
               {"OddHeightPackedChroma", 4, 3, 4, 12, 4, 6, WINCODEC_ERR_INSUFFICIENTBUFFER},
               // A stride times rows that wraps in 32 bits must not look small.
               {"HugeStride", 6, 4, 0x80000000u, 24, 6, 12, WINCODEC_ERR_INSUFFICIENTBUFFER}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    output = MemoryStream({});
    Prepare(c.width, c.height);
    std::vector<uint8_t> luma(c.lumaSize, 0x50), chroma(c.chromaSize, 0x80);
    WICBitmapPlane planes[2] = {{GUID_WICPixelFormat8bppY, luma.data(), c.lumaStride, c.lumaSize},
                                {GUID_WICPixelFormat16bppCbCr, chroma.data(), c.chromaStride, c.chromaSize}};
    EXPECT_EQ(c.expected, planar->WritePixels(c.height, planes, 2));
    EXPECT_EQ(c.expected == S_OK ? S_OK : WINCODEC_ERR_WRONGSTATE, frame->Commit());
  }
}

// Rows beyond the picture, malformed plane sets and a commit before every row is written are
// refused; the JPEG goes out only on the commits.
TEST_F(JpegFrameEncodeTest, WritePixels_MalformedOrIncomplete_RefusedWithoutEffect) {
  Nv12Picture p = MakeNv12Picture(4, 4);
  WICBitmapPlane planes[2];
  Planes(p, 0, planes);
  Prepare(4, 4);
  EXPECT_EQ(E_INVALIDARG, planar->WritePixels(4, planes, 1));
  EXPECT_EQ(E_INVALIDARG, planar->WritePixels(1, planes, 2));  // odd, and not the last rows
  EXPECT_EQ(WINCODEC_ERR_CODECTOOMANYSCANLINES, planar->WritePixels(6, planes, 2));
  std::swap(planes[0], planes[1]);
  EXPECT_EQ(WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT, planar->WritePixels(4, planes, 2));
  Planes(p, 0, planes);
  EXPECT_EQ(S_OK, planar->WritePixels(2, planes, 2));
  EXPECT_EQ(WINCODEC_ERR_WRONGSTATE, frame->Commit());    // rows missing
  EXPECT_EQ(WINCODEC_ERR_WRONGSTATE, encoder->Commit());  // frame not committed
  Planes(p, 2, planes);
  EXPECT_EQ(S_OK, planar->WritePixels(2, planes, 2));
  EXPECT_TRUE(StreamBytes(output.Get()).empty());
  EXPECT_EQ(S_OK, frame->Commit());
  EXPECT_EQ(S_OK, encoder->Commit());
  EXPECT_EQ(4, DecodeToYuv(StreamBytes(output.Get())).width);
}

TEST_F(JpegFrameEncodeTest, Commit_OutputFails_ErrorPassedOn) {
  Nv12Picture p = MakeNv12Picture(16, 8);
  WICBitmapPlane planes[2];
  Planes(p, 0, planes);
  Prepare(16, 8);
  ASSERT_EQ(S_OK, planar->WritePixels(8, planes, 2));
  ComPtr<ABI::Windows::Foundation::IClosable> closable;
  ASSERT_EQ(S_OK, output.As(&closable));
  ASSERT_EQ(S_OK, closable->Close());
  EXPECT_EQ(RO_E_CLOSED, frame->Commit());
  EXPECT_EQ(WINCODEC_ERR_WRONGSTATE, encoder->Commit());
}
}  // namespace
