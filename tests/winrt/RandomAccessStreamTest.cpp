#include "platform/winrt/RandomAccessStream.h"

#include "platform/com/ComPtr.h"
#include "platform/winrt/Activation.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
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

struct ClosedCall {
  const char* name;
  std::function<HRESULT(IRandomAccessStream*)> call;
};

const ClosedCall kClosedCalls[] = {
    {"get_Size", [](IRandomAccessStream* s) { UINT64 v; return s->get_Size(&v); }},
    {"Seek", [](IRandomAccessStream* s) { return s->Seek(1); }},
    {"ReadAt", [](IRandomAccessStream* s) { uint8_t b[4]; ULONG n; return Io(s)->ReadAt(b, 4, &n); }},
    {"WriteAt", [](IRandomAccessStream* s) { uint8_t b[4]{}; ULONG n; return Io(s)->WriteAt(b, 4, &n); }},
};

// The reader reads through a clone, so a stream its owner closes must leave the clone working.
TEST_P(RandomAccessStreamTest, Close_LaterCallsFailWithClosedAndClonesGoOn) {
  Write(stream_.Get(), Pattern(8));
  ComPtr<IRandomAccessStream> clone;
  ASSERT_EQ(stream_->CloneStream(&clone), S_OK);
  ComPtr<IClosable> closable;
  ASSERT_EQ(stream_.As(&closable), S_OK);
  ASSERT_EQ(closable->Close(), S_OK);
  EXPECT_EQ(closable->Close(), S_OK);
  for (const ClosedCall& call : kClosedCalls) EXPECT_EQ(call.call(stream_.Get()), RO_E_CLOSED) << call.name;
  EXPECT_EQ(Read(clone.Get(), 8), Pattern(8));
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
  ULONG written = 7;
  EXPECT_EQ(Io(reader.Get())->WriteAt("ab", 2, &written), E_ACCESSDENIED);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(SizeOf(reader.Get()), 64u);
}

}  // namespace
