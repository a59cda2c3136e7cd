// The caching policy through the C++ API and the library's exports: kept as set, refused
// outside its enums (stepping under each policy: tests/interop/CachingPolicyTest.cpp).
#include "korvane/Korvane.hpp"

#include <gtest/gtest.h>

#include <string>

namespace korvane::test {
namespace {

TEST(CppCachingPolicy, SetCachingPolicy_KeptOrRefusedNamingTheValue) {
  VideoDecoder video;
  EXPECT_EQ(CachingPolicy{}, video.GetCachingPolicy());
  const CachingPolicy policy{.diskBudgetBytes = 123, .atBudget = CachingPolicy::AtBudget::EvictFarthest,
                             .ramBudgetBytes = 456, .compression = CachingPolicy::Compression::Zstd};
  video.SetCachingPolicy(policy);
  EXPECT_EQ(policy, video.GetCachingPolicy());
  try {
    video.SetCachingPolicy({.compression = static_cast<CachingPolicy::Compression>(7)});
    ADD_FAILURE() << "no exception";
  } catch (const Error& e) {
    EXPECT_EQ(E_INVALIDARG, e.code());
    EXPECT_NE(std::string::npos, std::string(e.what()).find("Compression 7")) << e.what();
  }
  EXPECT_EQ(policy, video.GetCachingPolicy()) << "a refused policy changes nothing";
}

}  // namespace
}  // namespace korvane::test
