#include "FrameIndexPattern.h"

#include "TestMedia.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>

namespace korvane::test {
namespace {

using detail::kNeutralChroma;

constexpr int kGrid = 6;
constexpr int kIndexBits = 16;
constexpr int kMinimumExtent = 2 * kGrid;  // every cell keeps a centre of at least one pixel
// A cell's mean luma is read as a bit only when it is clearly on one side of the middle;
// anything between is a blend (a wrong or half-decoded picture), not a bit.
constexpr int kBlackAtMost = 96;
constexpr int kWhiteAtLeast = 160;
constexpr int kChromaTolerance = 32;

using Grid = std::array<std::array<int, kGrid>, kGrid>;  // 0 black, 1 white

// Visits the cells other than the corners in row-major order with their slot: slot i < 16
// holds bit i of the index (least significant first), slot 16 + i its complement.
template <class Visit>
void ForEachSlot(Visit visit) {
  int slot = 0;
  for (int row = 0; row < kGrid; ++row) {
    for (int column = 0; column < kGrid; ++column) {
      if ((row == 0 || row == kGrid - 1) && (column == 0 || column == kGrid - 1)) continue;
      visit(row, column, slot++);
    }
  }
}

Grid StoredPattern(int index) {
  Grid grid{};
  // The orientation marker: top corners white, bottom corners black. Its four quarter turns
  // are four different corner patterns, so the marker alone tells how a picture was turned.
  grid[0][0] = grid[0][kGrid - 1] = 1;
  ForEachSlot([&](int row, int column, int slot) {
    grid[row][column] = slot < kIndexBits ? (index >> slot) & 1 : 1 - ((index >> (slot - kIndexBits)) & 1);
  });
  return grid;
}

// The first pixel of cell `cell` along an extent; cell kGrid gives the extent itself.
int CellStart(int cell, int extent) { return cell * extent / kGrid; }

// Mean of one channel over the middle half of a cell (away from the edges that coding and
// scaling blur); samples are `step` bytes apart. -1 when the centre holds no sample.
long CellMean(const uint8_t* plane, size_t rowPitch, int step, int row, int column, int width, int height) {
  const int top = CellStart(row, height), bottom = CellStart(row + 1, height);
  const int left = CellStart(column, width), right = CellStart(column + 1, width);
  const int marginY = (bottom - top) / 4, marginX = (right - left) / 4;
  long sum = 0, count = 0;
  for (int y = top + marginY; y < bottom - marginY; ++y) {
    for (int x = left + marginX; x < right - marginX; ++x, ++count) sum += plane[y * rowPitch + x * step];
  }
  return count == 0 ? -1 : sum / count;
}

std::optional<Grid> ReadGrid(const uint8_t* luma, size_t rowPitch, int width, int height) {
  Grid grid{};
  for (int row = 0; row < kGrid; ++row) {
    for (int column = 0; column < kGrid; ++column) {
      const long mean = CellMean(luma, rowPitch, 1, row, column, width, height);
      if (mean > kBlackAtMost && mean < kWhiteAtLeast) return std::nullopt;
      grid[row][column] = mean >= kWhiteAtLeast;
    }
  }
  return grid;
}

FrameMark DecodeGrid(const Grid& seen) {
  for (int quarterTurns = 0; quarterTurns < 4; ++quarterTurns) {
    // The stored cell (row, column) as the picture turned clockwise by quarterTurns shows it.
    Grid stored{};
    for (int row = 0; row < kGrid; ++row) {
      for (int column = 0; column < kGrid; ++column) {
        int seenRow = row, seenColumn = column;
        for (int turn = 0; turn < quarterTurns; ++turn) {
          std::tie(seenRow, seenColumn) = std::pair(seenColumn, kGrid - 1 - seenRow);
        }
        stored[row][column] = seen[seenRow][seenColumn];
      }
    }
    int index = 0;
    ForEachSlot([&](int row, int column, int slot) {
      if (slot < kIndexBits) index |= stored[row][column] << slot;
    });
    // Marker and complement must match too; no other turn can match the marker as well.
    if (stored == StoredPattern(index)) return {index, quarterTurns * 90};
  }
  return {};
}

bool ChromaIsNeutral(const uint8_t* chroma, size_t rowPitch, int width, int height) {
  for (int row = 0; row < kGrid; ++row) {
    for (int column = 0; column < kGrid; ++column) {
      for (int v = 0; v < 2; ++v) {
        const long mean = CellMean(chroma + v, rowPitch, 2, row, column, (width + 1) / 2, (height + 1) / 2);
        if (mean >= 0 && std::labs(mean - kNeutralChroma) > kChromaTolerance) return false;
      }
    }
  }
  return true;
}

void CheckPlane(const void* data, size_t rowPitch, size_t minimumPitch, int width, int height, const std::string& where) {
  if (data == nullptr) throw std::invalid_argument(where + ": null picture");
  if (width < 1 || height < 1) {
    throw std::invalid_argument(where + ": bad size " + std::to_string(width) + "x" + std::to_string(height));
  }
  if (rowPitch < minimumPitch) {
    throw std::invalid_argument(where + ": row pitch " + std::to_string(rowPitch) + " is below " +
                                std::to_string(minimumPitch) + " for width " + std::to_string(width));
  }
}

size_t Nv12MinimumPitch(int width) { return 2 * ((static_cast<size_t>(width) + 1) / 2); }

}  // namespace

void detail::DrawFrameIndexLuma(int index, uint8_t* luma, size_t rowPitch, int width, int height) {
  const Grid grid = StoredPattern(index);
  for (int row = 0; row < kGrid; ++row) {
    for (int y = CellStart(row, height); y < CellStart(row + 1, height); ++y) {
      for (int column = 0; column < kGrid; ++column) {
        const int begin = CellStart(column, width);
        std::memset(luma + y * rowPitch + begin, grid[row][column] ? kPatternWhite : kPatternBlack,
                    static_cast<size_t>(CellStart(column + 1, width) - begin));
      }
    }
  }
}

FrameMark ReadFrameMark(const uint8_t* luma, size_t rowPitch, int width, int height) {
  CheckPlane(luma, rowPitch, static_cast<size_t>(width), width, height, "ReadFrameMark");
  if (width < kMinimumExtent || height < kMinimumExtent) return {};
  const std::optional<Grid> grid = ReadGrid(luma, rowPitch, width, height);
  return grid ? DecodeGrid(*grid) : FrameMark{};
}

int ReadFrameIndex(const uint8_t* luma, size_t rowPitch, int width, int height) {
  return ReadFrameMark(luma, rowPitch, width, height).index;
}

int ReadFrameIndexNv12(const uint8_t* data, size_t rowPitch, int width, int height) {
  CheckPlane(data, rowPitch, Nv12MinimumPitch(width), width, height, "ReadFrameIndexNv12");
  const int index = ReadFrameMark(data, rowPitch, width, height).index;
  return index >= 0 && ChromaIsNeutral(data + rowPitch * height, rowPitch, width, height) ? index : -1;
}

void DrawFrameIndexNv12(int index, uint8_t* data, size_t rowPitch, int width, int height) {
  CheckPlane(data, rowPitch, Nv12MinimumPitch(width), width, height, "DrawFrameIndexNv12");
  if (index < 0 || index > kMaxFrameIndex) {
    throw std::invalid_argument("DrawFrameIndexNv12: index " + std::to_string(index) + " is outside 0.." +
                                std::to_string(kMaxFrameIndex));
  }
  detail::DrawFrameIndexLuma(index, data, rowPitch, width, height);
  for (int y = 0; y < (height + 1) / 2; ++y) {
    std::memset(data + rowPitch * (height + y), kNeutralChroma, Nv12MinimumPitch(width));
  }
}

}  // namespace korvane::test
