// Area-averaging downscaler.
//
// Coordinates are kept in integer units so that every overlap is exact:
// along x, a source pixel is dstWidth units wide and an output pixel srcWidth
// units, so both rows span srcWidth * dstWidth units (likewise along y). As
// the output is never larger than the source, a source pixel overlaps at most
// two output pixels in each direction.
#include <cstring>

#include "platform/lumo/codec.h"

namespace lumo::internal {

bool AreaAverager::init() {
  auto* columns = reinterpret_cast<Column*>(
      scratch(Scratch::kTable, sizeof(Column) * static_cast<size_t>(m_srcWidth)));
  if (columns == nullptr) return false;
  const size_t sums = static_cast<size_t>(m_dstWidth) * 4;
  auto* rowSums = reinterpret_cast<uint64_t*>(scratch(Scratch::kRowSums, sums * 8));
  if (rowSums == nullptr) return false;
  auto* accumulator = reinterpret_cast<uint64_t*>(scratch(Scratch::kAccumulator, sums * 8));
  if (accumulator == nullptr) return false;
  uint8_t* output = scratch(Scratch::kOutputRow, sums);
  if (output == nullptr) return false;

  for (uint32_t x = 0; x < m_srcWidth; ++x) {
    uint64_t left = uint64_t{x} * m_dstWidth;
    uint64_t right = left + m_dstWidth;
    uint32_t index = static_cast<uint32_t>(left / m_srcWidth);
    uint64_t boundary = uint64_t{index + 1} * m_srcWidth;
    columns[x].index = index;
    columns[x].weight = static_cast<uint32_t>((right < boundary ? right : boundary) - left);
  }
  std::memset(accumulator, 0, sums * 8);
  m_columns = columns;
  m_rowSums = rowSums;
  m_accumulator = accumulator;
  m_output = output;
  return true;
}

bool AreaAverager::putRow(const uint8_t* rgba) {
  if (m_srcY >= m_srcHeight) return true;  // extra rows are never produced; ignore
  const size_t sums = static_cast<size_t>(m_dstWidth) * 4;
  std::memset(m_rowSums, 0, sums * 8);
  const uint32_t full = m_dstWidth;
  for (uint32_t x = 0; x < m_srcWidth; ++x, rgba += 4) {
    const uint64_t a = rgba[3];
    const uint64_t r = rgba[0] * a, g = rgba[1] * a, b = rgba[2] * a;
    const Column column = m_columns[x];
    uint64_t* sum = m_rowSums + size_t{column.index} * 4;
    uint64_t w = column.weight;
    sum[0] += w * r;
    sum[1] += w * g;
    sum[2] += w * b;
    sum[3] += w * a;
    if (column.weight < full) {
      w = full - column.weight;
      sum[4] += w * r;
      sum[5] += w * g;
      sum[6] += w * b;
      sum[7] += w * a;
    }
  }

  const uint64_t top = uint64_t{m_srcY} * m_dstHeight;
  const uint64_t bottom = top + m_dstHeight;
  const uint64_t boundary = uint64_t{m_dstY + 1} * m_srcHeight;
  ++m_srcY;
  const uint64_t first = (bottom < boundary ? bottom : boundary) - top;
  for (size_t i = 0; i < sums; ++i) m_accumulator[i] += first * m_rowSums[i];
  if (bottom < boundary) return true;
  if (!emitRow()) return false;
  const uint64_t rest = bottom - boundary;
  if (rest > 0)
    for (size_t i = 0; i < sums; ++i) m_accumulator[i] = rest * m_rowSums[i];
  return true;
}

bool AreaAverager::emitRow() {
  // Every output pixel covers srcWidth * srcHeight units of area.
  const uint64_t area = uint64_t{m_srcWidth} * m_srcHeight;
  uint8_t* out = m_output;
  uint64_t* sum = m_accumulator;
  for (uint32_t x = 0; x < m_dstWidth; ++x, out += 4, sum += 4) {
    const uint64_t alpha = sum[3];
    out[3] = static_cast<uint8_t>((alpha + area / 2) / area);
    if (alpha == 0) {
      out[0] = out[1] = out[2] = 0;
    } else {
      out[0] = static_cast<uint8_t>((sum[0] + alpha / 2) / alpha);
      out[1] = static_cast<uint8_t>((sum[1] + alpha / 2) / alpha);
      out[2] = static_cast<uint8_t>((sum[2] + alpha / 2) / alpha);
    }
    sum[0] = sum[1] = sum[2] = sum[3] = 0;
  }
  ++m_dstY;
  return m_next.putRow(m_output);
}

}  // namespace lumo::internal
