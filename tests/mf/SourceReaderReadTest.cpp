// Reading files front to back through the asynchronous reader, compared with a plain libavcodec
// decode of the same file: every frame FFmpeg's decoder gets (outside the damage, on a damaged
// file) comes out once, in order, at its time, lasting until the next one, with its picture. Odd
// sizes keep every pixel; only a failing byte stream or a stream without a single picture is an
// error.
#include "ReaderHarness.h"

#include "platform/com/RuntimeClass.h"
#include "platform/d3d11/DeviceDiagnostics.h"
#include "platform/mf/Mferror.h"
#include "support/FailingStream.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace korvane::mf::test {
namespace {

using ABI::Windows::Storage::Streams::IRandomAccessStream;
using korvane::test::FailingStream;
using korvane::test::ReferenceFrame;
using korvane::test::TestVideoKind;

struct Delivered {
  int64_t time = 0;
  int64_t duration = -1;
  int index = -1;
  int rotation = -1;
  D3D11_TEXTURE2D_DESC desc{};
  std::vector<uint8_t> nv12;  // when asked for
  bool onWorkThread = false;
};

// Reads every sample up to the end (or an error) and returns them; `last` gets the completion
// that ended the reading.
std::vector<Delivered> ReadToEnd(OpenReader& open, Completion& last, bool withPixels = false) {
  std::vector<Delivered> delivered;
  for (int i = 0; i < 1000; ++i) {
    last = ReadOne(open);
    if (!last.sample) break;
    EXPECT_EQ(last.flags, 0u);
    EXPECT_EQ(last.status, S_OK);
    Delivered d;
    d.time = last.time;
    LONGLONG duration = -1, time = -1;
    if (SUCCEEDED(last.sample->GetSampleDuration(&duration))) d.duration = duration;
    EXPECT_EQ(last.sample->GetSampleTime(&time), S_OK);
    EXPECT_EQ(time, last.time);
    ComPtr<ID3D11Texture2D> texture = TextureOf(last.sample.Get(), &d.desc);
    d.index = FrameIndexOf(open, texture.Get(), &d.rotation);
    if (withPixels) d.nv12 = ReadBack(open, texture.Get());
    d.onWorkThread = last.thread != std::this_thread::get_id();
    delivered.push_back(std::move(d));
    open.callback->ForgetSamples();
  }
  return delivered;
}

// Every kind but NonSquareMp4 (the pixels' shape never changes what is read) and Vp9Webm
// (OddSizeWebm is VP9 in WebM too).
std::vector<TestVideoKind> ReadKinds() {
  std::vector<TestVideoKind> kinds;
  for (const auto* list : {&korvane::test::AllTestVideoKinds(), &korvane::test::RealWorldTestVideoKinds()})
    for (TestVideoKind kind : *list)
      if (kind != TestVideoKind::NonSquareMp4 && kind != TestVideoKind::Vp9Webm) kinds.push_back(kind);
  return kinds;
}

class ReadAllTest : public ::testing::TestWithParam<TestVideoKind> {
 protected:
  MfStarted started_;
};

TEST_P(ReadAllTest, ReadSample_EveryFrameOnceInOrder) {
  const std::string& path = korvane::test::TestVideo(GetParam());
  const korvane::test::VideoSpec& spec = korvane::test::TestVideoSpec(GetParam());
  const std::vector<ReferenceFrame> expected =
      korvane::test::FramesToReach(korvane::test::DecodeReference(path, true), spec);
  const bool damaged = spec.damagedPacketCount > 0;
  const bool sideways = spec.rotationDegrees == 90 || spec.rotationDegrees == 270;
  // NV12 textures round odd sizes up.
  const UINT width = (static_cast<UINT>(sideways ? spec.height : spec.width) + 1) & ~1u;
  const UINT height = (static_cast<UINT>(sideways ? spec.width : spec.height) + 1) & ~1u;
  // Byte equality holds where no scaling or turning happens between decoder and texture, and
  // where both decoders saw the same packets.
  const bool comparePixels = !damaged && spec.rotationDegrees == 0 && spec.width % 2 == 0 && spec.height % 2 == 0;

  OpenReader open = OpenFile(path);
  ASSERT_EQ(open.hr, S_OK);
  Completion end;
  const std::vector<Delivered> delivered = ReadToEnd(open, end, comparePixels);
  EXPECT_EQ(end.flags, static_cast<DWORD>(MF_SOURCE_READERF_ENDOFSTREAM));
  EXPECT_EQ(end.status, S_OK);
  EXPECT_EQ(ReadOne(open).flags, static_cast<DWORD>(MF_SOURCE_READERF_ENDOFSTREAM)) << "the end stays";
  if (!damaged) {
    EXPECT_EQ(expected.size(), delivered.size());
  }
  for (size_t i = 0; i < delivered.size(); ++i) {
    SCOPED_TRACE("sample " + std::to_string(i) + " at " + std::to_string(delivered[i].time));
    const Delivered& d = delivered[i];
    EXPECT_TRUE(d.onWorkThread);
    EXPECT_EQ(std::tuple(DXGI_FORMAT_NV12, width, height), std::tuple(d.desc.Format, d.desc.Width, d.desc.Height));
    if (i + 1 == delivered.size()) break;
    ASSERT_GT(delivered[i + 1].time, d.time);
    EXPECT_EQ(delivered[i + 1].time - d.time, d.duration) << "lasts until the next";
  }
  for (const ReferenceFrame& frame : expected) {
    const auto found = std::find_if(delivered.begin(), delivered.end(),
                                    [&](const Delivered& d) { return d.time == frame.time100ns; });
    ASSERT_NE(found, delivered.end()) << "frame " << frame.frameIndex << " at " << frame.time100ns;
    EXPECT_EQ(frame.frameIndex, found->index) << "at " << frame.time100ns;
    EXPECT_EQ(spec.rotationDegrees, found->rotation);
    EXPECT_TRUE(!comparePixels || found->nv12 == frame.nv12) << "NV12 bytes differ at " << frame.time100ns;
  }
  // The last frame keeps the container's duration, or the spacing before it.
  ASSERT_GE(delivered.size(), 2u);
  const int64_t spacing = delivered.back().time - delivered[delivered.size() - 2].time;
  EXPECT_EQ(expected.back().duration100ns > 0 ? expected.back().duration100ns : spacing, delivered.back().duration);
}

INSTANTIATE_TEST_SUITE_P(Files, ReadAllTest, ::testing::ValuesIn(ReadKinds()),
                         [](const auto& info) { return std::string(korvane::test::TestVideoKindName(info.param)); });

TEST(TexturePoolTest, ReadSample_HeldTextureNeverOverwritten) {
  MfStarted started;
  OpenReader open = OpenFile(korvane::test::TestVideo(TestVideoKind::H264Mp4));
  ASSERT_EQ(open.hr, S_OK);
  ComPtr<korvane::d3d11::IDeviceDiagnostics> diagnostics;
  ASSERT_EQ(open.device.As(&diagnostics), S_OK);

  // The first frame's texture is kept, as a cache keeps one; every sample is let go at once.
  ComPtr<ID3D11Texture2D> kept = TextureOf(ReadOne(open).sample.Get());
  ASSERT_TRUE(kept);
  open.callback->ForgetSamples();
  uint64_t peak = 0;
  for (int i = 1; i < 60; ++i) {
    ASSERT_TRUE(ReadOne(open).sample);
    open.callback->ForgetSamples();
    peak = std::max(peak, diagnostics->GetStatistics().liveTextures);
  }
  EXPECT_EQ(FrameIndexOf(open, kept.Get()), 0);
  // Released textures are reused: the kept one, one in use and one being read back at most.
  EXPECT_LE(peak, 4u);
}

// An odd-sized video keeps every pixel: the NV12 texture is a column and a row larger, its
// top-left holds exactly the picture libavcodec makes, and the extra column and row repeat
// the picture's last ones.
TEST(FieldOddSizeTest, ReadSample_OddSize_PictureWholeEdgesRepeated) {
  MfStarted started;
  const std::string& path = korvane::test::TestVideo(TestVideoKind::OddSizeWebm);
  const std::vector<ReferenceFrame> reference = korvane::test::DecodeReference(path, true);
  const size_t width = 321, height = 241, pitch = 322;  // the texture's size and packed pitch
  OpenReader open = OpenFile(path);
  ASSERT_EQ(open.hr, S_OK);
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    D3D11_TEXTURE2D_DESC desc{};
    ComPtr<ID3D11Texture2D> texture = TextureOf(ReadOne(open).sample.Get(), &desc);
    ASSERT_TRUE(texture);
    ASSERT_EQ(std::pair(desc.Width, desc.Height), std::pair(UINT{322}, UINT{242}));
    const std::vector<uint8_t> bytes = ReadBack(open, texture.Get());
    const std::vector<uint8_t>& expected = reference[i].nv12;
    ASSERT_EQ(reference[i].rowPitch, pitch);
    for (size_t y = 0; y < height; ++y) {
      ASSERT_EQ(0, std::memcmp(&bytes[y * pitch], &expected[y * pitch], width)) << "luma row " << y;
      ASSERT_EQ(bytes[y * pitch + width], bytes[y * pitch + width - 1]) << "luma row " << y;
    }
    ASSERT_EQ(0, std::memcmp(&bytes[height * pitch], &bytes[(height - 1) * pitch], pitch)) << "last luma row";
    const size_t chroma = (height + 1) / 2 * pitch;
    EXPECT_EQ(0, std::memcmp(&bytes[(height + 1) * pitch], &expected[height * pitch], chroma)) << "chroma";
  }
}

// Scaled to an odd size and turned upright on the way: still whole chroma, edges repeated.
TEST(FieldOddSizeTest, SetCurrentMediaType_OddSizeTurned_EdgesRepeated) {
  MfStarted started;
  OpenReader open = OpenFile(korvane::test::TestVideo(TestVideoKind::Rotated90Mp4));
  ASSERT_EQ(open.hr, S_OK);
  ASSERT_EQ(SetOutput(open.reader.Get(), MFVideoFormat_NV12, 121, 161), S_OK);
  for (int i = 0; i < 3; ++i) {
    D3D11_TEXTURE2D_DESC desc{};
    ComPtr<ID3D11Texture2D> texture = TextureOf(ReadOne(open).sample.Get(), &desc);
    ASSERT_TRUE(texture);
    ASSERT_EQ(std::pair(desc.Width, desc.Height), std::pair(UINT{122}, UINT{162}));
    int rotation = -1;
    EXPECT_EQ(FrameIndexOf(open, texture.Get(), &rotation), i);
    EXPECT_EQ(rotation, 90) << "turned as the file asks";
    const std::vector<uint8_t> bytes = ReadBack(open, texture.Get());
    for (size_t y = 0; y < 161; ++y) ASSERT_EQ(bytes[y * 122 + 121], bytes[y * 122 + 120]) << "luma row " << y;
    EXPECT_EQ(0, std::memcmp(&bytes[161 * 122], &bytes[160 * 122], 122)) << "last luma row";
  }
}

// A failing read of the byte stream is not damage: it ends the reading with the stream's own
// error, which stays.
TEST(FieldFailureTest, ReadSample_ByteStreamFailsMidway_ItsErrorStays) {
  MfStarted started;
  korvane::test::TempFolder folder("korvane-reader");
  // The index at the front, so that the second half of the file holds only pictures.
  korvane::test::VideoSpec spec{.frameCount = 300, .indexAtFront = true};
  const std::string path = korvane::test::WriteTestVideo(spec, folder.File("IndexAtFront.mp4"));
  ComPtr<IRandomAccessStream> file;
  ASSERT_EQ(CreateRandomAccessStreamOnFile(path.c_str(), FileAccessMode_Read, IID_PPV_ARGS(&file)), S_OK);
  UINT64 size = 0;
  file->get_Size(&size);
  ComPtr<IRandomAccessStream> failing = MakeRuntimeObject<FailingStream>(file, size / 2);
  OpenReader open = OpenStream(failing.Get());
  ASSERT_EQ(open.hr, S_OK);

  Completion end;
  const std::vector<Delivered> delivered = ReadToEnd(open, end);
  EXPECT_GT(delivered.size(), 0u);
  EXPECT_LT(delivered.size(), static_cast<size_t>(spec.frameCount));
  EXPECT_EQ(end.flags, static_cast<DWORD>(MF_SOURCE_READERF_ERROR));
  EXPECT_EQ(end.status, FailingStream::kReadFault);
  Completion again = ReadOne(open);
  EXPECT_EQ(again.flags, static_cast<DWORD>(MF_SOURCE_READERF_ERROR));
  EXPECT_EQ(open.reader->SetCurrentPosition(GUID_NULL, Position(0)), FailingStream::kReadFault);
}

// Damage everywhere: not one picture comes out, and that is an error.
TEST(FieldFailureTest, ReadSample_NoPictureAtAll_InvalidStreamDataStays) {
  MfStarted started;
  korvane::test::TempFolder folder("korvane-reader");
  korvane::test::VideoSpec spec{.frameCount = 12, .damagedPacketFirst = 0, .damagedPacketCount = 12};
  OpenReader open = OpenFile(korvane::test::WriteTestVideo(spec, folder.File("AllDamaged.mp4")));
  ASSERT_EQ(open.hr, S_OK);
  for (int repeat = 0; repeat < 2; ++repeat) {
    Completion c = ReadOne(open);
    EXPECT_FALSE(c.sample);
    EXPECT_EQ(c.flags, static_cast<DWORD>(MF_SOURCE_READERF_ERROR));
    EXPECT_EQ(c.status, MF_E_INVALID_STREAM_DATA);
  }
  EXPECT_EQ(open.reader->SetCurrentPosition(GUID_NULL, Position(0)), MF_E_INVALID_STREAM_DATA);
}

}  // namespace
}  // namespace korvane::mf::test
