#include "cache/VideoDecoderStorageCache.h"

#include "CacheTestSupport.h"
#include "platform/com/Exceptions.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace korvane::cache::test {
namespace {

namespace fs = std::filesystem;

class StorageCacheTest : public ::testing::Test {
 protected:
  std::unique_ptr<VideoDecoderStorageCache> MakeCache(const std::string& folder) {
    return std::make_unique<VideoDecoderStorageCache>(d_.device, d_.context, Platform::String(folder));
  }
  bool Store(VideoDecoderStorageCache& cache, int64_t time, UINT width, UINT height, int seed, bool flag = false) {
    ComPtr<ID3D11Texture2D> texture = MakeFrameTexture(d_, width, height, seed);
    return cache.Add(texture, time, 333'333, flag);
  }
  // Loads the frame at t into a new texture; null when LoadFrame fails.
  ComPtr<ID3D11Texture2D> Load(VideoDecoderStorageCache& cache, int64_t t, UINT width, UINT height) {
    ComPtr<ID3D11Texture2D> target = MakeFrameTexture(d_, width, height, 99);
    int64_t time = 0, duration = 0;
    bool flag = true;
    if (!cache.LoadFrame(t, target, time, duration, flag)) return nullptr;
    EXPECT_FALSE(flag);
    return target;
  }
  std::string FramePath(int64_t time, int flag = 0) const {
    return folder_ + "/" + std::to_string(time) + "_333333_" + std::to_string(flag) + ".tmp";
  }

  TestDevice d_ = MakeDevice();
  korvane::test::TempFolder temp_{"korvane-storage"};
  std::string folder_ = temp_.Path("cache");  // as a client gives it: no trailing separator
  ScopedFreeSpace space_{kPlentyOfSpace};
};

TEST_F(StorageCacheTest, Construct_ExistingFolderWithContent_WipedAndRecreatedEmpty) {
  fs::create_directories(folder_ + "/sub/deeper");
  fs::create_directories(folder_ + "/empty");
  std::ofstream(folder_ + "/old_frame.tmp") << "stale";
  std::ofstream(folder_ + "/sub/deeper/file") << "stale";
  auto cache = MakeCache(folder_);
  EXPECT_TRUE(fs::is_directory(folder_));
  EXPECT_TRUE(ListFolder(folder_).empty());
}

class FreeSpaceTest : public StorageCacheTest, public ::testing::WithParamInterface<std::tuple<uint64_t, bool>> {};

TEST_P(FreeSpaceTest, Add_FreeSpaceAtConstruction_DecidesForGood) {
  const auto [freeBytes, stores] = GetParam();
  ScopedFreeSpace space(freeBytes);
  auto cache = MakeCache(folder_);
  EXPECT_EQ(stores, Store(*cache, 0, 64, 32, 1));
  EXPECT_EQ(stores, Store(*cache, 1'000'000, 64, 32, 2));
  EXPECT_EQ(stores ? 3u : 0u, ListFolder(folder_).size());
}

INSTANTIATE_TEST_SUITE_P(Boundary, FreeSpaceTest,
                         ::testing::Values(std::tuple<uint64_t, bool>{1'073'741'823, false},
                                           std::tuple<uint64_t, bool>{1'073'741'824, true}),
                         [](const auto& info) {
                           return std::to_string(std::get<0>(info.param)) + "BytesFree" +
                                  (std::get<1>(info.param) ? "_Stores" : "_Refuses");
                         });

TEST_F(StorageCacheTest, Add_Frames_PrecacheWrittenOnceAndFilesNamedByTime) {
  auto cache = MakeCache(folder_);
  ASSERT_TRUE(Store(*cache, -5, 322, 180, 1));
  const std::string precache = folder_ + "/precache.data";
  EXPECT_EQ((std::vector<uint8_t>{0x42, 0x01, 0, 0, 0xB4, 0, 0, 0}), ReadFileBytes(precache));
  std::ofstream(precache, std::ios::trunc) << "x";
  ASSERT_TRUE(Store(*cache, 1'001'000, 322, 180, 2, true));
  EXPECT_EQ((std::vector<uint8_t>{'x'}), ReadFileBytes(precache)) << "later stores leave it alone";
  EXPECT_EQ((std::vector<std::string>{"-5_333333_0.tmp", "1001000_333333_1.tmp", "precache.data"}), ListFolder(folder_));
  // The mapped staging subresource: 180 + 90 rows of a 384-byte pitch.
  EXPECT_EQ(384u * 270u, fs::file_size(FramePath(-5)));
}

TEST_F(StorageCacheTest, Add_TimeAlreadyStored_ReturnsFalseAndWritesNothing) {
  auto cache = MakeCache(folder_);
  ASSERT_TRUE(Store(*cache, 0, 64, 32, 1));
  fs::remove(FramePath(0));
  EXPECT_FALSE(Store(*cache, 0, 64, 32, 2));
  EXPECT_FALSE(Store(*cache, 12'000, 64, 32, 2)) << "matches by the lookup rule";
  EXPECT_EQ((std::vector<std::string>{"precache.data"}), ListFolder(folder_));
}

TEST_F(StorageCacheTest, AddAndLoad_Bgra32Frames_StoredRawSizedFromTheFirstFrame) {
  auto cache = MakeCache(folder_);
  ComPtr<ID3D11Texture2D> texture = MakeFrameTexture(d_, 130, 66, 7, DXGI_FORMAT_B8G8R8A8_UNORM);
  ASSERT_TRUE(cache->Add(texture, 0, 333'333, false));
  EXPECT_EQ(130u * 66u * 4u, cache->FrameByteSize);
  EXPECT_EQ(576u * 66u, fs::file_size(FramePath(0))) << "the mapped rows: 520 bytes padded to a 576-byte pitch";
  EXPECT_EQ((std::vector<uint8_t>{130, 0, 0, 0, 66, 0, 0, 0}), ReadFileBytes(folder_ + "/precache.data"));

  ComPtr<ID3D11Texture2D> target = MakeFrameTexture(d_, 130, 66, 99, DXGI_FORMAT_B8G8R8A8_UNORM);
  int64_t time = 0, duration = 0;
  bool flag = true;
  ASSERT_TRUE(cache->LoadFrame(0, target, time, duration, flag));
  EXPECT_EQ(Picture(DXGI_FORMAT_B8G8R8A8_UNORM, 130, 66, 7), ReadPicture(d_, target.Get()));

  // Every later frame must be what the first one was.
  EXPECT_THROW(Store(*cache, 1'000'000, 130, 66, 1), Platform::InvalidArgumentException) << "NV12 after B8G8R8A8";
  ComPtr<ID3D11Texture2D> nv12 = MakeFrameTexture(d_, 130, 66, 1);
  EXPECT_THROW(cache->LoadFrame(0, nv12, time, duration, flag), Platform::InvalidArgumentException);
}

TEST_F(StorageCacheTest, LoadFrame_NoRecordOrFileDeleted_ReturnsFalseAndDropsRecord) {
  auto cache = MakeCache(folder_);
  ASSERT_TRUE(Store(*cache, 0, 64, 32, 1));
  EXPECT_EQ(nullptr, Load(*cache, 5'000'000, 64, 32).Get());
  ASSERT_TRUE(cache->MoveCursor(0));
  ASSERT_TRUE(fs::remove(FramePath(0)));
  EXPECT_EQ(nullptr, Load(*cache, 0, 64, 32).Get());
  EXPECT_FALSE(cache->Contains(0));
  EXPECT_EQ(-1, cache->GetCursorTime()) << "the cursor frame was dropped";
}

// A frame file of any other length than the frame's is not this frame's file: it is dropped, and
// not even its first bytes are shown.
TEST_F(StorageCacheTest, LoadFrame_FileShorterOrLongerThanFrame_DroppedWithoutStaleBytes) {
  auto cache = MakeCache(folder_);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(Store(*cache, i * 1'000'000, 130, 64, i));
  fs::resize_file(FramePath(0), 100);  // the first file loaded is short
  EXPECT_EQ(nullptr, Load(*cache, 0, 130, 64).Get());
  ComPtr<ID3D11Texture2D> loaded = Load(*cache, 1'000'000, 130, 64);
  ASSERT_NE(nullptr, loaded.Get()) << "one short file must not spoil later loads";
  EXPECT_EQ(Nv12Picture(130, 64, 1), ReadPicture(d_, loaded.Get()));
  // One byte short after a full load: the read buffer still holds frame 1's last byte.
  fs::resize_file(FramePath(2'000'000), fs::file_size(FramePath(2'000'000)) - 1);
  EXPECT_EQ(nullptr, Load(*cache, 2'000'000, 130, 64).Get());
  // Frame 1's file, grown, in place of frame 3's.
  fs::copy_file(FramePath(1'000'000), FramePath(3'000'000), fs::copy_options::overwrite_existing);
  std::ofstream(FramePath(3'000'000), std::ios::binary | std::ios::app) << std::string(100, '\xAB');
  EXPECT_EQ(nullptr, Load(*cache, 3'000'000, 130, 64).Get());
  for (int64_t dropped : {0, 2'000'000, 3'000'000}) EXPECT_FALSE(cache->Contains(dropped)) << dropped;
}

TEST_F(StorageCacheTest, Add_FilesCannotBeCreated_NeverThrowsAndDropsRecord) {
  auto cache = MakeCache(folder_);
  fs::create_directory(folder_ + "/precache.data");
  EXPECT_TRUE(Store(*cache, 0, 64, 32, 1));
  EXPECT_FALSE(cache->Contains(0)) << "no frame size beside it";
  EXPECT_TRUE(fs::exists(FramePath(0))) << "the frame file is still written";
  fs::create_directory(FramePath(1'000'000));
  EXPECT_TRUE(Store(*cache, 1'000'000, 64, 32, 1));
  EXPECT_FALSE(cache->Contains(1'000'000));
  fs::remove_all(folder_);
  EXPECT_TRUE(Store(*cache, 2'000'000, 64, 32, 1));
  EXPECT_FALSE(cache->Contains(2'000'000));
}

TEST_F(StorageCacheTest, ClearAndDestroy_FilesStayOnDisk) {
  auto cache = MakeCache(folder_);
  ASSERT_TRUE(Store(*cache, 0, 64, 32, 1));
  cache->Clear();
  EXPECT_FALSE(cache->Contains(0));
  cache.reset();
  EXPECT_EQ((std::vector<std::string>{"0_333333_0.tmp", "precache.data"}), ListFolder(folder_));
}

struct PathCase {
  const char* name;
  std::string path;
  bool ownable;
};

void PrintTo(const PathCase& c, std::ostream* out) { *out << c.name; }

class FolderPathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(FolderPathTest, IsOwnableFolderPath_JudgesText) {
  EXPECT_EQ(GetParam().ownable, VideoDecoderStorageCache::IsOwnableFolderPath(Platform::String(GetParam().path)));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, FolderPathTest,
    ::testing::Values(PathCase{"Empty", "", false}, PathCase{"Root", "/", false}, PathCase{"DoubleSlash", "//", false},
                      PathCase{"RootDot", "/./", false}, PathCase{"UpFromTmp", "/tmp/..", false},
                      PathCase{"UpFromRoot", "/..", false}, PathCase{"Dot", ".", false},
                      PathCase{"UpFromRelative", "a/..", false}, PathCase{"UpTwice", "../..", false},
                      PathCase{"EmbeddedNul", std::string("/tmp/x\0y", 8), false},
                      PathCase{"Absolute", "/tmp/c", true}, PathCase{"TrailingSlash", "/tmp/c/", true},
                      PathCase{"Relative", "c", true}, PathCase{"UpThenDown", "../c", true},
                      PathCase{"DownUpDown", "/a/../b", true}),
    [](const auto& info) { return std::string(info.param.name) + (info.param.ownable ? "_Ownable" : "_Refused"); });

class RefusedFolderTest : public StorageCacheTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(RefusedFolderTest, Construct_RootOrEmptyPath_TouchesNothingAndNeverWrites) {
  // Guard first: were the refusal broken, constructing would wipe the filesystem root.
  ASSERT_FALSE(VideoDecoderStorageCache::IsOwnableFolderPath(Platform::String(GetParam())));
  auto cache = MakeCache(GetParam());
  EXPECT_FALSE(Store(*cache, 0, 64, 32, 1));
  EXPECT_FALSE(cache->Contains(0));
  EXPECT_FALSE(fs::exists("/precache.data"));
  EXPECT_FALSE(fs::exists("/0_333333_0.tmp"));
}

INSTANTIATE_TEST_SUITE_P(Paths, RefusedFolderTest, ::testing::Values(std::string(""), std::string("/")),
                         [](const auto& info) { return std::string(info.param.empty() ? "Empty" : "Root"); });

}  // namespace
}  // namespace korvane::cache::test
