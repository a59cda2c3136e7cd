// What the reader says about a file and what it makes of it: native and current media types,
// stream selection, scaled and RGB32 output, and files it refuses.
#include "ReaderHarness.h"

#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>

namespace korvane::mf::test {
namespace {

using korvane::test::BadMediaKind;
using korvane::test::TestVideoKind;

class ReaderTypeTest : public ::testing::Test {
 protected:
  OpenReader Open(TestVideoKind kind, const GUID& subtype = MFVideoFormat_NV12) {
    OpenReader open = OpenFile(korvane::test::TestVideo(kind), subtype);
    EXPECT_EQ(open.hr, S_OK);
    return open;
  }
  static ComPtr<IMFMediaType> Current(IMFSourceReader* reader) {
    ComPtr<IMFMediaType> type;
    EXPECT_EQ(reader->GetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, &type), S_OK);
    return type;
  }
  // A packed pair (frame size, rate or aspect); {0, 0} when missing.
  static std::pair<UINT32, UINT32> Pair(IMFMediaType* type, const GUID& key) {
    UINT32 high = 0, low = 0;
    MFGetAttributeRatio(type, key, &high, &low);
    return {high, low};
  }
  // The rotation attribute; -1 when missing.
  static int64_t Rotation(IMFMediaType* type) {
    UINT32 value = 0;
    return SUCCEEDED(type->GetUINT32(MF_MT_VIDEO_ROTATION, &value)) ? value : -1;
  }

  MfStarted started_;
};

TEST_F(ReaderTypeTest, NativeType_Rotated) {
  OpenReader open = Open(TestVideoKind::Rotated90Mp4);
  ComPtr<IMFMediaType> native;
  ASSERT_EQ(open.reader->GetNativeMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, &native), S_OK);
  EXPECT_EQ(Pair(native.Get(), MF_MT_FRAME_SIZE), std::pair(320u, 240u));  // the stored frame
  EXPECT_EQ(Rotation(native.Get()), 90);
  GUID subtype{};
  EXPECT_EQ(native->GetGUID(MF_MT_SUBTYPE, &subtype), S_OK);
  EXPECT_EQ(subtype, MFVideoFormat_H264);

  // The current type reports the stored size and the rotation too, until a size is set; the
  // decoder then asks for the upright size, which the pictures already have.
  EXPECT_EQ(Rotation(Current(open.reader.Get()).Get()), 90);
  EXPECT_EQ(Pair(Current(open.reader.Get()).Get(), MF_MT_FRAME_SIZE), std::pair(320u, 240u));
  ASSERT_EQ(SetOutput(open.reader.Get(), MFVideoFormat_NV12, 240, 320), S_OK);
  EXPECT_EQ(Pair(Current(open.reader.Get()).Get(), MF_MT_FRAME_SIZE), std::pair(240u, 320u));
}

// The decoder deselects the audio stream and takes "no such stream" for a silent file.
TEST_F(ReaderTypeTest, StreamSelection_Audio) {
  OpenReader silent = Open(TestVideoKind::H264Mp4);
  EXPECT_EQ(silent.reader->SetStreamSelection(MF_SOURCE_READER_FIRST_AUDIO_STREAM, FALSE), MF_E_INVALIDSTREAMNUMBER);

  OpenReader audible = Open(TestVideoKind::H264Mp4Audio);
  EXPECT_EQ(audible.reader->SetStreamSelection(MF_SOURCE_READER_FIRST_AUDIO_STREAM, FALSE), S_OK);
  BOOL selected = TRUE;
  EXPECT_EQ(audible.reader->GetStreamSelection(MF_SOURCE_READER_FIRST_AUDIO_STREAM, &selected), S_OK);
  EXPECT_FALSE(selected);
  EXPECT_TRUE(ReadOne(audible).sample) << "video is still read";
}

// (subtype, requested width, height, texture width, height)
struct OutputCase {
  GUID subtype;
  UINT32 width, height;
  UINT expectedWidth, expectedHeight;
  DXGI_FORMAT format;
};

class ReaderOutputTest : public ::testing::TestWithParam<OutputCase> {
 protected:
  MfStarted started_;
};

TEST_P(ReaderOutputTest, SetCurrentMediaType_ScalesAndConverts) {
  const OutputCase& c = GetParam();
  OpenReader open = OpenFile(korvane::test::TestVideo(TestVideoKind::H264Mp4));
  ASSERT_EQ(open.hr, S_OK);
  ASSERT_EQ(SetOutput(open.reader.Get(), c.subtype, c.width, c.height), S_OK);
  for (int i = 0; i < 3; ++i) {
    D3D11_TEXTURE2D_DESC desc{};
    ComPtr<ID3D11Texture2D> texture = TextureOf(ReadOne(open).sample.Get(), &desc);
    ASSERT_TRUE(texture);
    EXPECT_EQ(std::tuple(desc.Format, desc.Width, desc.Height), std::tuple(c.format, c.expectedWidth, c.expectedHeight));
    EXPECT_EQ(FrameIndexOf(open, texture.Get()), i);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, ReaderOutputTest,
    ::testing::Values(OutputCase{MFVideoFormat_NV12, 160, 120, 160, 120, DXGI_FORMAT_NV12},
                      OutputCase{MFVideoFormat_NV12, 161, 121, 162, 122, DXGI_FORMAT_NV12},
                      OutputCase{MFVideoFormat_NV12, 640, 480, 640, 480, DXGI_FORMAT_NV12},
                      OutputCase{MFVideoFormat_RGB32, 0, 0, 320, 240, DXGI_FORMAT_B8G8R8A8_UNORM},
                      OutputCase{MFVideoFormat_RGB32, 161, 121, 161, 121, DXGI_FORMAT_B8G8R8A8_UNORM}),
    // "Nv12_161x121", "Rgb32_NativeSize"
    [](const auto& info) {
      const OutputCase& c = info.param;
      const std::string format = c.subtype == MFVideoFormat_NV12 ? "Nv12" : "Rgb32";
      if (c.width == 0) return format + "_NativeSize";
      return format + "_" + std::to_string(c.width) + "x" + std::to_string(c.height);
    });

TEST_F(ReaderTypeTest, SetCurrentMediaType_Refused) {
  OpenReader open = Open(TestVideoKind::H264Mp4);
  EXPECT_EQ(SetOutput(open.reader.Get(), MFVideoFormat_H264), MF_E_INVALIDMEDIATYPE);
  EXPECT_EQ(SetOutput(open.reader.Get(), MFVideoFormat_NV12, 20000, 240), MF_E_INVALIDMEDIATYPE);
  // The refusals changed nothing.
  GUID subtype{};
  EXPECT_EQ(Current(open.reader.Get())->GetGUID(MF_MT_SUBTYPE, &subtype), S_OK);
  EXPECT_EQ(subtype, MFVideoFormat_NV12);
}

class BadInputTest : public ::testing::TestWithParam<BadMediaKind> {
 protected:
  MfStarted started_;
};

// Files without video, or without their index, are refused at creation. A file cut after its
// index opens; then whatever was readable comes out in order, then the end or an error, and it
// stays so.
TEST_P(BadInputTest, CreateAndRead_FailCleanly) {
  OpenReader open = OpenFile(korvane::test::BadMediaFile(GetParam()));
  EXPECT_EQ(GetParam() == BadMediaKind::TruncatedMp4, open.reader != nullptr);
  if (!open.reader) {
    EXPECT_EQ(open.hr, MF_E_UNSUPPORTED_BYTESTREAM_TYPE);
    return;
  }
  ASSERT_EQ(open.hr, S_OK);
  LONGLONG last = -1;
  Completion c;
  for (int i = 0; i < 1000; ++i) {
    c = ReadOne(open);
    if (!c.sample) break;
    EXPECT_GT(c.time, last);
    last = c.time;
  }
  ASSERT_FALSE(c.sample);
  ASSERT_TRUE(c.flags == MF_SOURCE_READERF_ENDOFSTREAM || c.flags == MF_SOURCE_READERF_ERROR) << c.flags;
  const bool error = c.flags == MF_SOURCE_READERF_ERROR;
  for (int repeat = 0; repeat < 2; ++repeat) {
    Completion again = ReadOne(open);
    EXPECT_EQ(again.flags, c.flags);
    EXPECT_FALSE(again.sample);
    EXPECT_TRUE(!error || FAILED(again.status)) << again.status;
  }
  PROPVARIANT position = Position(0);
  EXPECT_TRUE(!error || FAILED(open.reader->SetCurrentPosition(GUID_NULL, position)));
}

INSTANTIATE_TEST_SUITE_P(Files, BadInputTest,
                         ::testing::Values(BadMediaKind::Empty, BadMediaKind::Text, BadMediaKind::AudioOnly,
                                           BadMediaKind::TruncatedMp4, BadMediaKind::TruncatedMp4NoIndex),
                         [](const auto& info) { return std::string(korvane::test::BadMediaKindName(info.param)); });

}  // namespace
}  // namespace korvane::mf::test
