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
using korvane::test::TempFolder;

class VideoDecoderStorageCacheTest : public ::testing::Test {
 protected:
  std::unique_ptr<VideoDecoderStorageCache> MakeCache(const std::string& folder) {
    return std::make_unique<VideoDecoderStorageCache>(d_.device, d_.context, Platform::String(folder));
  }
  // Stores a width × height frame whose picture is seeded by `seed`; returns Add's result.
  bool Store(VideoDecoderStorageCache& cache, int64_t time, UINT width, UINT height, int seed, bool flag = false) {
    ComPtr<ID3D11Texture2D> texture = MakeFrameTexture(d_, width, height, seed);
    return cache.Add(texture, time, 333'333, flag);
  }
  std::string FramePath(int64_t time, int64_t duration = 333'333, int flag = 0) const {
    return folder_ + "/" + std::to_string(time) + "_" + std::to_string(duration) + "_" + std::to_string(flag) + ".tmp";
  }

  TestDevice d_ = MakeDevice();
  TempFolder temp_{"korvane-storage"};
  std::string folder_ = temp_.Path() + "cache";  // as a client gives it: no trailing separator
  ScopedFreeSpace space_{kPlentyOfSpace};
};

TEST_F(VideoDecoderStorageCacheTest, Construct_ExistingFolderWithContent_WipedAndRecreatedEmpty) {
  fs::create_directories(folder_ + "/sub/deeper");
  std::ofstream(folder_ + "/old_frame.tmp") << "stale";
  std::ofstream(folder_ + "/sub/deeper/file") << "stale";
  fs::create_directories(folder_ + "/empty");

  auto cache = MakeCache(folder_);
  EXPECT_TRUE(fs::is_directory(folder_));
  EXPECT_TRUE(ListFolder(folder_).empty());
  EXPECT_EQ(folder_ + "/", cache->CacheFolder.Str());
  EXPECT_EQ(folder_ + "/precache.data", cache->PrecacheDataPath.Str());
}

class FreeSpaceTest : public VideoDecoderStorageCacheTest, public ::testing::WithParamInterface<std::tuple<uint64_t, bool>> {};

TEST_P(FreeSpaceTest, Add_FreeSpaceAtConstruction_DecidesForGood) {
  const auto [freeBytes, stores] = GetParam();
  ScopedFreeSpace space(freeBytes);
  auto cache = MakeCache(folder_);
  EXPECT_EQ(stores, cache->HasSpace);
  EXPECT_EQ(stores, Store(*cache, 0, 64, 32, 1));
  EXPECT_EQ(stores, Store(*cache, 1'000'000, 64, 32, 2));
  EXPECT_EQ(stores ? 3u : 0u, ListFolder(folder_).size());
}

INSTANTIATE_TEST_SUITE_P(Boundary, FreeSpaceTest,
                         ::testing::Values(std::tuple<uint64_t, bool>{1'073'741'823, false},
                                           std::tuple<uint64_t, bool>{1'073'741'824, true},
                                           std::tuple<uint64_t, bool>{0, false}));

TEST_F(VideoDecoderStorageCacheTest, Add_1080pFrames_First169StoredThenRefusedForGood) {
  auto cache = MakeCache(folder_);
  ComPtr<ID3D11Texture2D> texture = MakeFrameTexture(d_, 1920, 1080, 1);
  int stored = 0;
  for (int i = 0; i < 172; ++i) {
    const int64_t time = i * int64_t{333'333};
    const bool accepted = cache->Add(texture, time, 333'333, false);
    EXPECT_EQ(i < 169, accepted) << "store " << i + 1;
    if (accepted) {
      ++stored;
      // The budget counts records, not files: delete each file to keep the disk untouched.
      EXPECT_TRUE(fs::remove(FramePath(time)));
    }
  }
  EXPECT_EQ(169, stored);
  EXPECT_EQ(3'110'400u, cache->FrameByteSize);
  EXPECT_FALSE(cache->HasSpace);
  cache->Clear();
  EXPECT_FALSE(Store(*cache, -10'000'000, 1920, 1080, 2)) << "the budget is cleared for good";
}

TEST_F(VideoDecoderStorageCacheTest, Add_FirstStore_WritesPrecacheDataOnce) {
  auto cache = MakeCache(folder_);
  ASSERT_TRUE(Store(*cache, 0, 322, 180, 1));
  const std::string precache = folder_ + "/precache.data";
  EXPECT_EQ((std::vector<uint8_t>{0x42, 0x01, 0, 0, 0xB4, 0, 0, 0}), ReadFileBytes(precache));
  std::ofstream(precache, std::ios::trunc) << "x";
  ASSERT_TRUE(Store(*cache, 1'000'000, 322, 180, 2));
  EXPECT_EQ((std::vector<uint8_t>{'x'}), ReadFileBytes(precache)) << "later stores leave it alone";
}

TEST_F(VideoDecoderStorageCacheTest, Add_NegativeTime_NamesFileWithSignedTime) {
  auto cache = MakeCache(folder_);
  ComPtr<ID3D11Texture2D> texture = MakeFrameTexture(d_, 320, 240, 1);
  ASSERT_TRUE(cache->Add(texture, -5, 333'667, false));
  ASSERT_TRUE(cache->Add(texture, 1'001'000, 333'667, true));
  EXPECT_EQ((std::vector<std::string>{"-5_333667_0.tmp", "1001000_333667_1.tmp", "precache.data"}), ListFolder(folder_));
  // The file is the mapped staging subresource: 240 + 120 rows of a 320-byte pitch.
  EXPECT_EQ(320u * 360u, fs::file_size(folder_ + "/-5_333667_0.tmp"));
  for (const CachedFrame& frame : cache->Frames) EXPECT_FALSE(frame.Flag) << "the flag lives in the name only";
  EXPECT_EQ(folder_ + "/-5_333667_0.tmp", cache->Frames.begin()->FilePath.Str());
}

TEST_F(VideoDecoderStorageCacheTest, Add_TimeAlreadyStored_ReturnsFalseAndWritesNothing) {
  auto cache = MakeCache(folder_);
  ASSERT_TRUE(Store(*cache, 0, 64, 32, 1));
  const auto before = fs::last_write_time(FramePath(0));
  EXPECT_FALSE(Store(*cache, 0, 64, 32, 2));
  EXPECT_FALSE(Store(*cache, 12'000, 64, 32, 2)) << "matches the stored frame by the lookup rule";
  EXPECT_EQ(2u, ListFolder(folder_).size());
  EXPECT_EQ(before, fs::last_write_time(FramePath(0)));
  EXPECT_EQ(1u, cache->Frames.size());
}

class RoundTripTest : public VideoDecoderStorageCacheTest, public ::testing::WithParamInterface<std::tuple<UINT, UINT>> {};

TEST_P(RoundTripTest, LoadFrame_StoredFrame_ByteIdentical) {
  const auto [width, height] = GetParam();
  auto cache = MakeCache(folder_);
  ComPtr<ID3D11Texture2D> source = MakeFrameTexture(d_, width, height, 7);
  ASSERT_TRUE(cache->Add(source, 2'000'000, 400'000, true));
  ASSERT_TRUE(Store(*cache, 3'000'000, width, height, 8)) << "a second frame, so the load must pick the right one";

  ComPtr<ID3D11Texture2D> target = MakeFrameTexture(d_, width, height, 99);
  int64_t time = 0;
  int64_t duration = 0;
  bool flag = true;
  ASSERT_TRUE(cache->LoadFrame(2'100'000, target, time, duration, flag));
  EXPECT_EQ(2'000'000, time);
  EXPECT_EQ(400'000, duration);
  EXPECT_FALSE(flag);
  EXPECT_EQ(Nv12Picture(width, height, 7), ReadPicture(d_, target.Get()));
  EXPECT_TRUE(cache->Contains(2'000'000)) << "a loaded frame stays recorded";
  EXPECT_TRUE(fs::exists(FramePath(2'000'000, 400'000, 1)));
}

// 320 and 1920 are multiples of the 64-byte pitch alignment; 322 and 2 are not.
INSTANTIATE_TEST_SUITE_P(Sizes, RoundTripTest,
                         ::testing::Values(std::tuple<UINT, UINT>{320, 240}, std::tuple<UINT, UINT>{322, 180},
                                           std::tuple<UINT, UINT>{2, 2}, std::tuple<UINT, UINT>{1920, 1080}));

TEST_F(VideoDecoderStorageCacheTest, LoadFrame_NoMatchingRecord_ReturnsFalse) {
  auto cache = MakeCache(folder_);
  ComPtr<ID3D11Texture2D> target = MakeFrameTexture(d_, 64, 32, 1);
  int64_t time = -7;
  int64_t duration = -7;
  bool flag = false;
  EXPECT_FALSE(cache->LoadFrame(0, target, time, duration, flag));
  ASSERT_TRUE(Store(*cache, 0, 64, 32, 1));
  EXPECT_FALSE(cache->LoadFrame(5'000'000, target, time, duration, flag));
  EXPECT_EQ(-7, time);
  EXPECT_EQ(1u, cache->Frames.size());
}

TEST_F(VideoDecoderStorageCacheTest, LoadFrame_FileDeletedBehindCache_ReturnsFalseAndDropsRecord) {
  auto cache = MakeCache(folder_);
  ASSERT_TRUE(Store(*cache, 0, 64, 32, 1));
  ASSERT_TRUE(cache->MoveCursor(0));
  ASSERT_TRUE(fs::remove(FramePath(0)));
  ComPtr<ID3D11Texture2D> target = MakeFrameTexture(d_, 64, 32, 2);
  int64_t time = 0, duration = 0;
  bool flag = false;
  EXPECT_FALSE(cache->LoadFrame(0, target, time, duration, flag));
  EXPECT_FALSE(cache->Contains(0));
  EXPECT_EQ(-1, cache->GetCursorTime()) << "the cursor frame was dropped";
}

TEST_F(VideoDecoderStorageCacheTest, LoadFrame_FileShorterThanFrame_DropsRecordWithoutStaleBytes) {
  auto cache = MakeCache(folder_);
  ASSERT_TRUE(Store(*cache, 0, 128, 64, 1));
  ASSERT_TRUE(Store(*cache, 1'000'000, 128, 64, 2));
  ComPtr<ID3D11Texture2D> target = MakeFrameTexture(d_, 128, 64, 3);
  int64_t time = 0, duration = 0;
  bool flag = false;
  ASSERT_TRUE(cache->LoadFrame(0, target, time, duration, flag)) << "fills the read buffer with frame 0";

  fs::resize_file(FramePath(1'000'000), fs::file_size(FramePath(1'000'000)) - 1);
  ComPtr<ID3D11Texture2D> other = MakeFrameTexture(d_, 128, 64, 4);
  EXPECT_FALSE(cache->LoadFrame(1'000'000, other, time, duration, flag));
  EXPECT_FALSE(cache->Contains(1'000'000));
  EXPECT_EQ(Nv12Picture(128, 64, 4), ReadPicture(d_, other.Get())) << "the target is left as it was";
  EXPECT_TRUE(cache->Contains(0));
}

TEST_F(VideoDecoderStorageCacheTest, LoadFrame_FirstLoadedFileShort_LaterFramesStillLoad) {
  auto cache = MakeCache(folder_);
  ASSERT_TRUE(Store(*cache, 0, 128, 64, 1));
  ASSERT_TRUE(Store(*cache, 1'000'000, 128, 64, 2));
  fs::resize_file(FramePath(0), 100);
  ComPtr<ID3D11Texture2D> target = MakeFrameTexture(d_, 128, 64, 3);
  int64_t time = 0, duration = 0;
  bool flag = false;
  EXPECT_FALSE(cache->LoadFrame(0, target, time, duration, flag));
  ASSERT_TRUE(cache->LoadFrame(1'000'000, target, time, duration, flag));
  EXPECT_EQ(Nv12Picture(128, 64, 2), ReadPicture(d_, target.Get()));
}

TEST_F(VideoDecoderStorageCacheTest, LoadFrame_FileLongerThanFrame_ReadsOnlyTheFrame) {
  auto cache = MakeCache(folder_);
  ASSERT_TRUE(Store(*cache, 0, 130, 64, 1));
  {
    std::ofstream grow(FramePath(0), std::ios::binary | std::ios::app);
    grow << std::string(100'000, '\xAB');
  }
  ComPtr<ID3D11Texture2D> target = MakeFrameTexture(d_, 130, 64, 3);
  int64_t time = 0, duration = 0;
  bool flag = false;
  ASSERT_TRUE(cache->LoadFrame(0, target, time, duration, flag));
  EXPECT_EQ(Nv12Picture(130, 64, 1), ReadPicture(d_, target.Get()));
}

TEST_F(VideoDecoderStorageCacheTest, Add_FolderRemovedBehindCache_NeverThrowsAndKeepsNoRecord) {
  auto cache = MakeCache(folder_);
  fs::remove_all(folder_);
  EXPECT_TRUE(Store(*cache, 0, 64, 32, 1)) << "accepted, though nothing could be written";
  EXPECT_FALSE(cache->Contains(0));
  EXPECT_FALSE(fs::exists(folder_));
}

TEST_F(VideoDecoderStorageCacheTest, Add_FrameFileCannotBeCreated_DropsRecord) {
  auto cache = MakeCache(folder_);
  fs::create_directory(FramePath(0));  // a folder where the frame file should go
  EXPECT_TRUE(Store(*cache, 0, 64, 32, 1));
  EXPECT_FALSE(cache->Contains(0));
  EXPECT_TRUE(fs::exists(folder_ + "/precache.data"));
  EXPECT_TRUE(Store(*cache, 1'000'000, 64, 32, 1));
  EXPECT_TRUE(cache->Contains(1'000'000));
}

TEST_F(VideoDecoderStorageCacheTest, Add_PrecacheDataCannotBeCreated_DropsRecordButWritesFrame) {
  auto cache = MakeCache(folder_);
  fs::create_directory(folder_ + "/precache.data");
  EXPECT_TRUE(Store(*cache, 0, 64, 32, 1));
  EXPECT_FALSE(cache->Contains(0));
  EXPECT_TRUE(fs::exists(FramePath(0))) << "the frame file is still written";
}

TEST_F(VideoDecoderStorageCacheTest, Add_MapFails_ThrowsAndLaterLoadDropsRecord) {
  auto cache = MakeCache(folder_);
  ASSERT_TRUE(Store(*cache, 0, 64, 32, 1));
  D3D11_MAPPED_SUBRESOURCE mapped{};
  ASSERT_EQ(S_OK, d_.context->Map(cache->StagingTexture.Get(), 0, D3D11_MAP_READ, 0, &mapped));
  try {
    Store(*cache, 1'000'000, 64, 32, 2);
    ADD_FAILURE() << "a store whose Map fails must throw";
  } catch (const Platform::Exception& e) {
    EXPECT_EQ(E_INVALIDARG, e.HResult());
  }
  d_.context->Unmap(cache->StagingTexture.Get(), 0);
  EXPECT_TRUE(cache->Contains(1'000'000)) << "recorded before its file existed";
  ComPtr<ID3D11Texture2D> target = MakeFrameTexture(d_, 64, 32, 3);
  int64_t time = 0, duration = 0;
  bool flag = false;
  EXPECT_FALSE(cache->LoadFrame(1'000'000, target, time, duration, flag));
  EXPECT_FALSE(cache->Contains(1'000'000));
}

TEST_F(VideoDecoderStorageCacheTest, Add_TextureOfAnotherSize_ThrowsWithSizes) {
  auto cache = MakeCache(folder_);
  ASSERT_TRUE(Store(*cache, 0, 64, 32, 1));
  try {
    Store(*cache, 1'000'000, 66, 32, 2);
    ADD_FAILURE() << "expected a refusal";
  } catch (const Platform::InvalidArgumentException& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("66 x 32")) << e.what();
  }
  EXPECT_EQ(1u, cache->Frames.size());
}

TEST_F(VideoDecoderStorageCacheTest, ClearAndDestroy_FilesStayOnDisk) {
  auto cache = MakeCache(folder_);
  ASSERT_TRUE(Store(*cache, 0, 64, 32, 1));
  cache->Clear();
  EXPECT_FALSE(cache->Contains(0));
  cache.reset();
  EXPECT_EQ((std::vector<std::string>{"0_333333_0.tmp", "precache.data"}), ListFolder(folder_));
}

// --- folder paths the cache may not own -------------------------------------------------------

class FolderPathTest : public ::testing::TestWithParam<std::tuple<std::string, bool>> {};

TEST_P(FolderPathTest, IsOwnableFolderPath_JudgesText) {
  const auto& [path, ownable] = GetParam();
  EXPECT_EQ(ownable, VideoDecoderStorageCache::IsOwnableFolderPath(Platform::String(path))) << '"' << path << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Paths, FolderPathTest,
    ::testing::Values(std::tuple<std::string, bool>{"", false}, std::tuple<std::string, bool>{"/", false},
                      std::tuple<std::string, bool>{"//", false}, std::tuple<std::string, bool>{"/./", false},
                      std::tuple<std::string, bool>{"/tmp/..", false}, std::tuple<std::string, bool>{"/..", false},
                      std::tuple<std::string, bool>{".", false}, std::tuple<std::string, bool>{"a/..", false},
                      std::tuple<std::string, bool>{"..", false}, std::tuple<std::string, bool>{"../..", false},
                      std::tuple<std::string, bool>{std::string("/tmp/x\0y", 8), false},
                      std::tuple<std::string, bool>{"/tmp/cache", true}, std::tuple<std::string, bool>{"/tmp/cache/", true},
                      std::tuple<std::string, bool>{"cache", true}, std::tuple<std::string, bool>{"../cache", true},
                      std::tuple<std::string, bool>{"/a/../b", true}));

class RefusedFolderTest : public VideoDecoderStorageCacheTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(RefusedFolderTest, Construct_RootOrEmptyPath_TouchesNothingAndNeverWrites) {
  const std::string path = GetParam();
  // Guard first: if the refusal were broken, constructing would wipe the filesystem root.
  ASSERT_FALSE(VideoDecoderStorageCache::IsOwnableFolderPath(Platform::String(path)));
  auto cache = MakeCache(path);
  EXPECT_FALSE(cache->HasSpace);
  EXPECT_FALSE(Store(*cache, 0, 64, 32, 1));
  EXPECT_FALSE(cache->Contains(0));
  EXPECT_FALSE(fs::exists("/precache.data"));
  EXPECT_FALSE(fs::exists("/0_333333_0.tmp"));
  EXPECT_TRUE(fs::is_directory(temp_.Path())) << "nothing was deleted";
}

INSTANTIATE_TEST_SUITE_P(Paths, RefusedFolderTest, ::testing::Values(std::string(""), std::string("/")));

TEST_F(VideoDecoderStorageCacheTest, Construct_PathWithNul_LeavesFolderAlone) {
  fs::create_directories(folder_);
  std::ofstream(folder_ + "/keep") << "mine";
  auto cache = MakeCache(folder_ + std::string(1, '\0'));
  EXPECT_FALSE(Store(*cache, 0, 64, 32, 1));
  EXPECT_EQ((std::vector<std::string>{"keep"}), ListFolder(folder_));
}

}  // namespace
}  // namespace korvane::cache::test
