#include "FrameIndexPattern.h"

#include "TestMedia.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

namespace korvane::test {
namespace {

using detail::kNeutralChroma;
using detail::kPatternBlack;
using detail::kPatternWhite;

constexpr int kGrid = 6;
constexpr int kIndexBits = 16;
constexpr int kMinimumExtent = 2 * kGrid;  // every cell keeps a centre of at least one pixel

// A cell's mean luma is read as a bit only when it is clearly on one side of the middle;
// anything between is a blend (a wrong or half-decoded picture), not a bit.
constexpr int kBlackAtMost = 96;
constexpr int kWhiteAtLeast = 160;
constexpr int kChromaTolerance = 32;

using Grid = std::array<std::array<int, kGrid>, kGrid>;  // 0 black, 1 white

// The stored picture's marker: top corners white, bottom corners black. Its four quarter turns
// are four different corner patterns, so the marker alone tells how a picture was turned.
constexpr bool kMarkerTopLeft = true, kMarkerTopRight = true, kMarkerBottomRight = false,
               kMarkerBottomLeft = false;

bool IsCorner(int row, int column) {
  return (row == 0 || row == kGrid - 1) && (column == 0 || column == kGrid - 1);
}

// Cells other than the corners in row-major order: slot i < 16 holds bit i of the index (least
// significant first), slot 16 + i its complement.
Grid StoredPattern(int index) {
  Grid grid{};
  grid[0][0] = kMarkerTopLeft;
  grid[0][kGrid - 1] = kMarkerTopRight;
  grid[kGrid - 1][kGrid - 1] = kMarkerBottomRight;
  grid[kGrid - 1][0] = kMarkerBottomLeft;
  int slot = 0;
  for (int row = 0; row < kGrid; ++row) {
    for (int column = 0; column < kGrid; ++column) {
      if (IsCorner(row, column)) continue;
      const int bit = slot < kIndexBits ? (index >> slot) & 1 : 1 - ((index >> (slot - kIndexBits)) & 1);
      grid[row][column] = bit;
      ++slot;
    }
  }
  return grid;
}

// The first pixel of cell `cell` along an extent; cell kGrid gives the extent itself.
int CellStart(int cell, int extent) { return cell * extent / kGrid; }

struct Span {
  int begin;
  int end;
};
// The middle half of a cell, away from the edges that coding and scaling blur.
Span CellCentre(int cell, int extent) {
  const int begin = CellStart(cell, extent);
  const int end = CellStart(cell + 1, extent);
  const int margin = (end - begin) / 4;
  return {begin + margin, end - margin};
}

// The cell (row, column) of a picture turned clockwise by quarterTurns × 90° from the stored
// picture, that shows the stored cell (row, column).
std::pair<int, int> TurnedCell(int row, int column, int quarterTurns) {
  switch (quarterTurns) {
    case 1: return {column, kGrid - 1 - row};
    case 2: return {kGrid - 1 - row, kGrid - 1 - column};
    case 3: return {kGrid - 1 - column, row};
    default: return {row, column};
  }
}

void CheckPlane(const void* data, size_t rowPitch, size_t minimumPitch, int width, int height,
                const char* function) {
  const std::string where = function;
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

// Mean luma of each cell's centre, as bits; nothing when any cell is not clearly one or other.
std::optional<Grid> ReadGrid(const uint8_t* luma, size_t rowPitch, int width, int height) {
  Grid grid{};
  for (int row = 0; row < kGrid; ++row) {
    const Span rows = CellCentre(row, height);
    for (int column = 0; column < kGrid; ++column) {
      const Span columns = CellCentre(column, width);
      long sum = 0;
      for (int y = rows.begin; y < rows.end; ++y) {
        const uint8_t* line = luma + static_cast<size_t>(y) * rowPitch;
        for (int x = columns.begin; x < columns.end; ++x) sum += line[x];
      }
      const long count = static_cast<long>(rows.end - rows.begin) * (columns.end - columns.begin);
      const long mean = sum / count;
      if (mean <= kBlackAtMost) {
        grid[row][column] = 0;
      } else if (mean >= kWhiteAtLeast) {
        grid[row][column] = 1;
      } else {
        return std::nullopt;
      }
    }
  }
  return grid;
}

FrameMark DecodeGrid(const Grid& seen) {
  for (int quarterTurns = 0; quarterTurns < 4; ++quarterTurns) {
    auto stored = [&](int row, int column) {
      const auto [seenRow, seenColumn] = TurnedCell(row, column, quarterTurns);
      return seen[seenRow][seenColumn];
    };
    if (stored(0, 0) != kMarkerTopLeft || stored(0, kGrid - 1) != kMarkerTopRight ||
        stored(kGrid - 1, kGrid - 1) != kMarkerBottomRight || stored(kGrid - 1, 0) != kMarkerBottomLeft) {
      continue;
    }
    int index = 0;
    int complement = 0;
    int slot = 0;
    for (int row = 0; row < kGrid; ++row) {
      for (int column = 0; column < kGrid; ++column) {
        if (IsCorner(row, column)) continue;
        if (slot < kIndexBits) {
          index |= stored(row, column) << slot;
        } else {
          complement |= stored(row, column) << (slot - kIndexBits);
        }
        ++slot;
      }
    }
    // The corner patterns of the four turns differ, so no other turn can match as well.
    if ((index ^ complement) != kMaxFrameIndex) return {};
    return {index, quarterTurns * 90};
  }
  return {};
}

bool ChromaIsNeutral(const uint8_t* chroma, size_t rowPitch, int width, int height) {
  const int chromaWidth = (width + 1) / 2;
  const int chromaHeight = (height + 1) / 2;
  for (int row = 0; row < kGrid; ++row) {
    const Span rows = CellCentre(row, chromaHeight);
    for (int column = 0; column < kGrid; ++column) {
      const Span columns = CellCentre(column, chromaWidth);
      long sumU = 0;
      long sumV = 0;
      for (int y = rows.begin; y < rows.end; ++y) {
        const uint8_t* line = chroma + static_cast<size_t>(y) * rowPitch;
        for (int x = columns.begin; x < columns.end; ++x) {
          sumU += line[2 * x];
          sumV += line[2 * x + 1];
        }
      }
      const long count = static_cast<long>(rows.end - rows.begin) * (columns.end - columns.begin);
      if (count == 0) continue;
      if (std::labs(sumU / count - kNeutralChroma) > kChromaTolerance ||
          std::labs(sumV / count - kNeutralChroma) > kChromaTolerance) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace

namespace detail {

void DrawFrameIndexLuma(int index, uint8_t* luma, size_t rowPitch, int width, int height) {
  const Grid grid = StoredPattern(index);
  for (int row = 0; row < kGrid; ++row) {
    for (int y = CellStart(row, height); y < CellStart(row + 1, height); ++y) {
      uint8_t* line = luma + static_cast<size_t>(y) * rowPitch;
      for (int column = 0; column < kGrid; ++column) {
        const int begin = CellStart(column, width);
        std::memset(line + begin, grid[row][column] ? kPatternWhite : kPatternBlack,
                    static_cast<size_t>(CellStart(column + 1, width) - begin));
      }
    }
  }
}

}  // namespace detail

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
  if (index < 0) return -1;
  const uint8_t* chroma = data + rowPitch * static_cast<size_t>(height);
  return ChromaIsNeutral(chroma, rowPitch, width, height) ? index : -1;
}

void DrawFrameIndexNv12(int index, uint8_t* data, size_t rowPitch, int width, int height) {
  CheckPlane(data, rowPitch, Nv12MinimumPitch(width), width, height, "DrawFrameIndexNv12");
  if (index < 0 || index > kMaxFrameIndex) {
    throw std::invalid_argument("DrawFrameIndexNv12: index " + std::to_string(index) + " is outside 0.." +
                                std::to_string(kMaxFrameIndex));
  }
  detail::DrawFrameIndexLuma(index, data, rowPitch, width, height);
  uint8_t* chroma = data + rowPitch * static_cast<size_t>(height);
  for (int y = 0; y < (height + 1) / 2; ++y) {
    std::memset(chroma + static_cast<size_t>(y) * rowPitch, kNeutralChroma, Nv12MinimumPitch(width));
  }
}

}  // namespace korvane::test
