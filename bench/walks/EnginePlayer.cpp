// The engine as a Player: frame numbers become times, and a frame counts as shown when the
// engine reports a position inside it. Positions are reported as the shown frame's middle and
// read back as its start, both of which lie in [start - T/4, end - T/4) of the frame for a
// frame length T, whatever the rounding of the file's time base.
#include "walks/EngineDriver.h"
#include "walks/Player.h"

#include <filesystem>
#include <system_error>

namespace korvane::bench {

namespace {

constexpr int64_t kUnitsPerSecond = 10'000'000;

class EnginePlayer final : public Player {
 public:
  EnginePlayer(const MediaInfo& media, std::string cacheFolder, const EnginePolicy& policy)
      : media_(media), cacheFolder_(cacheFolder), engine_(std::move(cacheFolder)) {
    engine_.SetCachingPolicy(policy.diskBudget, policy.evictFarthest, policy.ramBudget, policy.zstd);
  }

  void Open(const std::string& path) override { engine_.Open(path); }
  void Step(int frame, bool forward) override {
    shown_ = engine_.Step(forward, Start(frame) - Quarter(), Start(frame + 1) - Quarter());
  }
  void Seek(int frame) override {
    shown_ = engine_.Seek((Start(frame) + Start(frame + 1)) / 2, Start(frame) - Quarter(), Start(frame + 1) - Quarter());
  }
  uint64_t LumaHash() override { return engine_.LumaHash(shown_); }
  std::optional<uint64_t> TextureBytes() override { return engine_.TextureBytesInUse(); }
  uint64_t DiskBytes() override {
    uint64_t total = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(cacheFolder_, error))
      if (entry.is_regular_file(error)) total += entry.file_size(error);
    return total;
  }

 private:
  int64_t Start(int frame) const { return static_cast<int64_t>(frame) * kUnitsPerSecond / media_.fps; }
  int64_t Quarter() const { return kUnitsPerSecond / media_.fps / 4; }

  const MediaInfo media_;
  const std::string cacheFolder_;
  EngineDriver engine_;
  int64_t shown_ = 0;
};

}  // namespace

std::unique_ptr<Player> MakeEnginePlayer(const MediaInfo& media, const std::string& cacheFolder,
                                         const EnginePolicy& policy) {
  return std::make_unique<EnginePlayer>(media, cacheFolder, policy);
}

}  // namespace korvane::bench
