#include "MediaDamage.h"

#include "FfmpegHandles.h"

#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace korvane::test::detail {

void DamageVideoPackets(const std::string& path, int first, int count) {
  // Where the packets lie, found by the demuxer before a byte is changed.
  std::vector<std::pair<int64_t, int>> spans;  // file offset, size
  {
    AVFormatContext* raw = nullptr;
    CheckAv(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), "avformat_open_input", path);
    UniqueInputContext input(raw);
    CheckAv(avformat_find_stream_info(raw, nullptr), "avformat_find_stream_info", path);
    const int video = CheckAv(av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0), "av_find_best_stream", path);
    UniquePacket packet(CheckAllocated(av_packet_alloc(), "av_packet_alloc", path));
    for (int index = 0; index < first + count && av_read_frame(raw, packet.get()) >= 0; av_packet_unref(packet.get())) {
      if (packet->stream_index != video) continue;
      if (index >= first) {
        if (packet->pos < 0) throw std::runtime_error(path + ": video packet " + std::to_string(index) + " has no file offset");
        spans.emplace_back(packet->pos, packet->size);
      }
      ++index;
    }
  }
  if (static_cast<int>(spans.size()) != count) {
    throw std::runtime_error(path + " has fewer than " + std::to_string(first + count) + " video packets");
  }

  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  uint32_t state = 0x2545F491;  // xorshift32: the same garbage on every run
  for (const auto& [offset, size] : spans) {
    std::string garbage(static_cast<size_t>(size), '\0');
    for (char& byte : garbage) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      byte = static_cast<char>(state);
    }
    file.seekp(offset);
    file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
  }
  file.close();
  if (!file) throw std::runtime_error("cannot damage " + path);
}

}  // namespace korvane::test::detail
