#include "platform/winrt/RandomAccessStream.h"

#include "platform/com/ComPtr.h"
#include "platform/winrt/Activation.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using ABI::Windows::Foundation::IClosable;
using ABI::Windows::Storage::Streams::IRandomAccessStream;
using korvane::winrt::IRandomAccessStreamIo;
using korvane::test::TempFolder;
using Bytes = std::vector<uint8_t>;

Bytes Pattern(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  return bytes;
}

ComPtr<IRandomAccessStreamIo> Io(IRandomAccessStream* stream) {
  ComPtr<IRandomAccessStreamIo> io;
  EXPECT_EQ(stream->QueryInterface(IID_PPV_ARGS(&io)), S_OK);
  return io;
}

void Write(IRandomAccessStream* stream, const Bytes& bytes) {
  ULONG written = 0;
  ASSERT_EQ(Io(stream)->WriteAt(bytes.data(), static_cast<ULONG>(bytes.size()), &written), S_OK);
  ASSERT_EQ(written, bytes.size());
}

Bytes Read(IRandomAccessStream* stream, ULONG size) {
  Bytes bytes(size);
  ULONG read = 0;
  EXPECT_EQ(Io(stream)->ReadAt(bytes.data(), size, &read), S_OK);
  bytes.resize(read);
  return bytes;
}

UINT64 SizeOf(IRandomAccessStream* stream) {
  UINT64 size = 0;
  EXPECT_EQ(stream->get_Size(&size), S_OK);
  return size;
}

UINT64 PositionOf(IRandomAccessStream* stream) {
  UINT64 position = 0;
  EXPECT_EQ(stream->get_Position(&position), S_OK);
  return position;
}

ComPtr<IRandomAccessStream> ActivateMemoryStream() {
  Platform::String name(korvane::winrt::kInMemoryRandomAccessStreamClassName);
  ComPtr<IInspectable> instance;
  ComPtr<IRandomAccessStream> stream;
  EXPECT_EQ(RoActivateInstance(name.Get(), &instance), S_OK);
  EXPECT_EQ(instance.As(&stream), S_OK);
  return stream;
}

ComPtr<IRandomAccessStream> OpenFile(const std::string& path, FileAccessMode mode) {
  ComPtr<IRandomAccessStream> stream;
  EXPECT_EQ(CreateRandomAccessStreamOnFile(path.c_str(), mode, IID_PPV_ARGS(&stream)), S_OK);
  return stream;
}

// The code of an open that must fail, and leave no stream behind.
HRESULT OpenFailure(const char* path, FileAccessMode mode) {
  ComPtr<IRandomAccessStream> stream;
  const HRESULT hr = CreateRandomAccessStreamOnFile(path, mode, IID_PPV_ARGS(&stream));
  EXPECT_EQ(stream, nullptr);
  return hr;
}

struct StreamKind {
  const char* name;
  std::function<ComPtr<IRandomAccessStream>(const TempFolder&)> make;
};

class RandomAccessStreamTest : public testing::TestWithParam<StreamKind> {
 protected:
  void SetUp() override {
    stream_ = GetParam().make(folder_);
    ASSERT_NE(stream_, nullptr);
  }

  TempFolder folder_;
  ComPtr<IRandomAccessStream> stream_;
};

TEST_P(RandomAccessStreamTest, WriteSeekRead_RoundTrips) {
  const Bytes data = Pattern(1000);
  Write(stream_.Get(), data);
  EXPECT_EQ(SizeOf(stream_.Get()), 1000u);
  EXPECT_EQ(PositionOf(stream_.Get()), 1000u);
  EXPECT_EQ(Read(stream_.Get(), 10), Bytes{});  // at the end
  ASSERT_EQ(stream_->Seek(0), S_OK);
  EXPECT_EQ(Read(stream_.Get(), 1000), data);
  ASSERT_EQ(stream_->Seek(990), S_OK);
  EXPECT_EQ(Read(stream_.Get(), 100), Bytes(data.begin() + 990, data.end()));  // short at the end
  EXPECT_EQ(Read(stream_.Get(), 0), Bytes{});
  BOOL canRead = FALSE, canWrite = FALSE;
  EXPECT_EQ(stream_->get_CanRead(&canRead), S_OK);
  EXPECT_EQ(stream_->get_CanWrite(&canWrite), S_OK);
  EXPECT_TRUE(canRead && canWrite);
}

// Bytes a stream never held read as zeros: a gap before a write, and growth after truncation.
TEST_P(RandomAccessStreamTest, WritePastEndAndPutSize_UnwrittenBytesReadAsZeros) {
  ASSERT_EQ(stream_->Seek(5), S_OK);
  EXPECT_EQ(Read(stream_.Get(), 4), Bytes{});
  Write(stream_.Get(), Bytes{9, 8});
  EXPECT_EQ(SizeOf(stream_.Get()), 7u);
  ASSERT_EQ(stream_->Seek(0), S_OK);
  EXPECT_EQ(Read(stream_.Get(), 16), (Bytes{0, 0, 0, 0, 0, 9, 8}));
  ASSERT_EQ(stream_->put_Size(6), S_OK);
  EXPECT_EQ(SizeOf(stream_.Get()), 6u);
  EXPECT_EQ(PositionOf(stream_.Get()), 7u);  // put_Size leaves the position alone
  ASSERT_EQ(stream_->put_Size(8), S_OK);
  ASSERT_EQ(stream_->Seek(4), S_OK);
  EXPECT_EQ(Read(stream_.Get(), 8), (Bytes{0, 9, 0, 0}));
}

TEST_P(RandomAccessStreamTest, CloneStream_HasOwnPositionOverSameBytes) {
  Write(stream_.Get(), Pattern(50));
  ComPtr<IRandomAccessStream> clone;
  ASSERT_EQ(stream_->CloneStream(&clone), S_OK);
  EXPECT_EQ(PositionOf(clone.Get()), 0u);
  EXPECT_EQ(PositionOf(stream_.Get()), 50u);
  Write(clone.Get(), Bytes{0xAA, 0xBB});  // seen through the original
  ASSERT_EQ(stream_->Seek(0), S_OK);
  EXPECT_EQ(Read(stream_.Get(), 3), (Bytes{0xAA, 0xBB, Pattern(3)[2]}));
  EXPECT_EQ(PositionOf(clone.Get()), 2u);
}

struct ClosedCall {
  const char* name;
  std::function<HRESULT(IRandomAccessStream*)> call;
};

const ClosedCall kClosedCalls[] = {
    {"get_Size", [](IRandomAccessStream* s) { UINT64 v; return s->get_Size(&v); }},
    {"put_Size", [](IRandomAccessStream* s) { return s->put_Size(1); }},
    {"get_Position", [](IRandomAccessStream* s) { UINT64 v; return s->get_Position(&v); }},
    {"Seek", [](IRandomAccessStream* s) { return s->Seek(1); }},
    {"CloneStream", [](IRandomAccessStream* s) { ComPtr<IRandomAccessStream> c; return s->CloneStream(&c); }},
    {"get_CanRead", [](IRandomAccessStream* s) { BOOL v; return s->get_CanRead(&v); }},
    {"get_CanWrite", [](IRandomAccessStream* s) { BOOL v; return s->get_CanWrite(&v); }},
    {"ReadAt", [](IRandomAccessStream* s) { uint8_t b[4]; ULONG n; return Io(s)->ReadAt(b, 4, &n); }},
    {"WriteAt", [](IRandomAccessStream* s) { uint8_t b[4]{}; ULONG n; return Io(s)->WriteAt(b, 4, &n); }},
};

TEST_P(RandomAccessStreamTest, Close_EveryLaterCallFailsWithClosedAndClonesGoOn) {
  Write(stream_.Get(), Pattern(8));
  ComPtr<IRandomAccessStream> clone;
  ASSERT_EQ(stream_->CloneStream(&clone), S_OK);
  ComPtr<IClosable> closable;
  ASSERT_EQ(stream_.As(&closable), S_OK);
  ASSERT_EQ(closable->Close(), S_OK);
  EXPECT_EQ(closable->Close(), S_OK);
  for (const ClosedCall& call : kClosedCalls) EXPECT_EQ(call.call(stream_.Get()), RO_E_CLOSED) << call.name;
  EXPECT_EQ(SizeOf(clone.Get()), 8u);
}

TEST_P(RandomAccessStreamTest, StreamOver_SharesPositionAndReportsShortReads) {
  const Bytes data = Pattern(20);
  Write(stream_.Get(), data);
  ComPtr<IStream> com;
  ASSERT_EQ(CreateStreamOverRandomAccessStream(stream_.Get(), IID_PPV_ARGS(&com)), S_OK);

  ULARGE_INTEGER position{};
  LARGE_INTEGER move{};
  move.QuadPart = -5;
  ASSERT_EQ(com->Seek(move, STREAM_SEEK_END, &position), S_OK);
  EXPECT_EQ(position.QuadPart, 15u);
  EXPECT_EQ(PositionOf(stream_.Get()), 15u);

  uint8_t buffer[10] = {};
  ULONG read = 0;
  EXPECT_EQ(com->Read(buffer, 10, &read), S_FALSE);
  EXPECT_EQ(read, 5u);
  EXPECT_EQ(Bytes(buffer, buffer + 5), Bytes(data.begin() + 15, data.end()));
  EXPECT_EQ(com->Read(buffer, 0, &read), S_OK);

  move.QuadPart = -21;
  EXPECT_EQ(com->Seek(move, STREAM_SEEK_CUR, &position), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(PositionOf(stream_.Get()), 20u);
  move.QuadPart = 2;
  ASSERT_EQ(com->Seek(move, STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(com->Read(buffer, 3, &read), S_OK);
  EXPECT_EQ(Bytes(buffer, buffer + 3), Bytes(data.begin() + 2, data.begin() + 5));

  ULARGE_INTEGER size{};
  size.QuadPart = 30;
  ASSERT_EQ(com->SetSize(size), S_OK);
  STATSTG stat{};
  ASSERT_EQ(com->Stat(&stat, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(stat.cbSize.QuadPart, 30u);
  EXPECT_EQ(stat.type, STGTY_STREAM);

  ComPtr<IStream> clone;
  ASSERT_EQ(com->Clone(&clone), S_OK);
  ASSERT_EQ(clone->Read(buffer, 1, &read), S_OK);
  EXPECT_EQ(buffer[0], data[5]);  // the clone started where the original was
  EXPECT_EQ(PositionOf(stream_.Get()), 5u);  // and moves on its own
}

INSTANTIATE_TEST_SUITE_P(
    Streams, RandomAccessStreamTest,
    testing::Values(StreamKind{"InMemory", [](const TempFolder&) { return ActivateMemoryStream(); }},
                    StreamKind{"File",
                               [](const TempFolder& f) { return OpenFile(f.Path("s"), FileAccessMode_ReadWrite); }}),
    [](const testing::TestParamInfo<StreamKind>& info) { return info.param.name; });

// (A missing file and a missing folder are the C++ layer's FailedCall cases.)
TEST(FileRandomAccessStreamTest, Open_FailuresMapToWin32CodesAndReadOnlyRefusesWrites) {
  TempFolder folder;
  EXPECT_EQ(OpenFailure(folder.Path().c_str(), FileAccessMode_Read), E_ACCESSDENIED);  // a folder
  EXPECT_EQ(OpenFailure(nullptr, FileAccessMode_Read), E_INVALIDARG);
  if (::geteuid() != 0) {  // root reads anything
    std::ofstream(folder.Path("locked.bin")) << "x";
    std::filesystem::permissions(folder.Path("locked.bin"), std::filesystem::perms::none);
    EXPECT_EQ(OpenFailure(folder.Path("locked.bin").c_str(), FileAccessMode_Read),
              HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
  }
  // Read-only: reads what is there and refuses writes.
  const std::string path = folder.Path("data.bin");
  {
    ComPtr<IRandomAccessStream> writer = OpenFile(path, FileAccessMode_ReadWrite);
    ASSERT_NE(writer, nullptr);
    Write(writer.Get(), Pattern(64));
  }
  ComPtr<IRandomAccessStream> reader = OpenFile(path, FileAccessMode_Read);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(SizeOf(reader.Get()), 64u);
  EXPECT_EQ(Read(reader.Get(), 64), Pattern(64));
  BOOL canWrite = TRUE;
  EXPECT_EQ(reader->get_CanWrite(&canWrite), S_OK);
  EXPECT_FALSE(canWrite);
  ULONG written = 7;
  EXPECT_EQ(Io(reader.Get())->WriteAt("ab", 2, &written), E_ACCESSDENIED);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(reader->put_Size(1), E_ACCESSDENIED);
  EXPECT_EQ(SizeOf(reader.Get()), 64u);
}

TEST(InMemoryRandomAccessStreamTest, Write_BeyondLimitFailsAndChangesNothing) {
  ComPtr<IRandomAccessStream> stream = ActivateMemoryStream();
  ASSERT_NE(stream, nullptr);
  Write(stream.Get(), Bytes{1, 2, 3});
  ASSERT_EQ(stream->Seek(UINT64{1} << 40), S_OK);
  ULONG written = 0;
  EXPECT_EQ(Io(stream.Get())->WriteAt("ab", 2, &written), E_OUTOFMEMORY);
  EXPECT_EQ(stream->Seek(~UINT64{0}), S_OK);
  EXPECT_EQ(Io(stream.Get())->WriteAt("ab", 2, &written), E_OUTOFMEMORY);
  EXPECT_EQ(Read(stream.Get(), 2), Bytes{});
  EXPECT_EQ(stream->put_Size(UINT64{1} << 40), E_OUTOFMEMORY);
  EXPECT_EQ(SizeOf(stream.Get()), 3u);
}

TEST(ActivationTest, RoActivateInstance_KnowsOnlyTheInMemoryStream) {
  ComPtr<IInspectable> instance;
  Platform::String other("Windows.Storage.Streams.FileRandomAccessStream");
  EXPECT_EQ(RoActivateInstance(other.Get(), &instance), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(RoActivateInstance(nullptr, &instance), E_INVALIDARG);
  EXPECT_EQ(instance, nullptr);

  Platform::String name(korvane::winrt::kInMemoryRandomAccessStreamClassName);
  ComPtr<IActivationFactory> factory;
  ASSERT_EQ(RoGetActivationFactory(name.Get(), IID_PPV_ARGS(&factory)), S_OK);
  ASSERT_EQ(factory->ActivateInstance(&instance), S_OK);
  ComPtr<IRandomAccessStream> stream;
  EXPECT_EQ(instance.As(&stream), S_OK);
}

}  // namespace
