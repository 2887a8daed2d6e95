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

namespace {

// The column table of an average from |srcWidth| to |dstWidth| columns.
AreaColumn* columnTable(uint32_t srcWidth, uint32_t dstWidth, kor::Status* status) {
  auto* columns = reinterpret_cast<AreaColumn*>(
      scratch(Scratch::kTable, sizeof(AreaColumn) * static_cast<size_t>(srcWidth), status));
  if (columns == nullptr) return nullptr;
  for (uint32_t x = 0; x < srcWidth; ++x) {
    uint64_t left = uint64_t{x} * dstWidth;
    uint64_t right = left + dstWidth;
    uint32_t index = static_cast<uint32_t>(left / srcWidth);
    uint64_t boundary = uint64_t{index + 1} * srcWidth;
    columns[x].index = index;
    columns[x].weight = static_cast<uint32_t>((right < boundary ? right : boundary) - left);
  }
  return columns;
}

// (n + d / 2) / d, rounded down, for a result that fits a byte. A 64-bit
// division takes tens of cycles, four per output pixel; a division in
// double precision, exact for the sums of any image within the size limit
// (below 2^53) and corrected by one where it rounds, a few.
inline uint8_t rounded(uint64_t n, uint64_t d) {
  n += d / 2;
  if (n >= (uint64_t{1} << 53)) return static_cast<uint8_t>(n / d);
  uint64_t q = static_cast<uint64_t>(static_cast<double>(n) / static_cast<double>(d));
  if (q * d > n)
    --q;
  else if ((q + 1) * d <= n)
    ++q;
  return static_cast<uint8_t>(q);
}

// Turns the sums of one output row into straight-alpha RGBA. Every output
// pixel covers |area| units.
void resolveRow(const uint64_t* sum, uint32_t width, uint64_t area, uint8_t* out) {
  for (uint32_t x = 0; x < width; ++x, out += 4, sum += 4) {
    const uint64_t alpha = sum[3];
    out[3] = rounded(alpha, area);
    if (alpha == 0) {
      out[0] = out[1] = out[2] = 0;
    } else {
      out[0] = rounded(sum[0], alpha);
      out[1] = rounded(sum[1], alpha);
      out[2] = rounded(sum[2], alpha);
    }
  }
}

}  // namespace

kor::Status AreaAverager::init() {
  kor::Status status;
  AreaColumn* columns = columnTable(m_srcWidth, m_dstWidth, &status);
  if (columns == nullptr) return status;
  const size_t sums = static_cast<size_t>(m_dstWidth) * 4;
  auto* rowSums = reinterpret_cast<uint64_t*>(scratch(Scratch::kRowSums, sums * 8, &status));
  if (rowSums == nullptr) return status;
  auto* accumulator =
      reinterpret_cast<uint64_t*>(scratch(Scratch::kAccumulator, sums * 8, &status));
  if (accumulator == nullptr) return status;
  uint8_t* output = scratch(Scratch::kOutputRow, sums, &status);
  if (output == nullptr) return status;
  std::memset(accumulator, 0, sums * 8);
  m_columns = columns;
  m_rowSums = rowSums;
  m_accumulator = accumulator;
  m_output = output;
  return status;
}

kor::Status AreaAverager::putRow(const uint8_t* rgba) {
  // Extra rows are never produced; ignored.
  if (m_srcY >= m_srcHeight) return kor::Status();
  const size_t sums = static_cast<size_t>(m_dstWidth) * 4;
  std::memset(m_rowSums, 0, sums * 8);
  const uint32_t full = m_dstWidth;
  for (uint32_t x = 0; x < m_srcWidth; ++x, rgba += 4) {
    const uint64_t a = rgba[3];
    const uint64_t r = rgba[0] * a, g = rgba[1] * a, b = rgba[2] * a;
    const AreaColumn column = m_columns[x];
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
  return addRow(false);
}

kor::Status AreaAverager::putClearRow() {
  if (m_srcY >= m_srcHeight) return kor::Status();
  return addRow(true);
}

kor::Status AreaAverager::addRow(bool clear) {
  const size_t sums = static_cast<size_t>(m_dstWidth) * 4;
  const uint64_t top = uint64_t{m_srcY} * m_dstHeight;
  const uint64_t bottom = top + m_dstHeight;
  const uint64_t boundary = uint64_t{m_dstY + 1} * m_srcHeight;
  ++m_srcY;
  const uint64_t first = (bottom < boundary ? bottom : boundary) - top;
  if (!clear)
    for (size_t i = 0; i < sums; ++i) m_accumulator[i] += first * m_rowSums[i];
  if (bottom < boundary) return kor::Status();
  kor::Status status = emitRow();
  const uint64_t rest = bottom - boundary;
  if (status.ok() && rest > 0 && !clear)
    for (size_t i = 0; i < sums; ++i) m_accumulator[i] = rest * m_rowSums[i];
  return status;
}

kor::Status AreaAverager::emitRow() {
  // Every output pixel covers srcWidth * srcHeight units of area.
  resolveRow(m_accumulator, m_dstWidth, uint64_t{m_srcWidth} * m_srcHeight, m_output);
  std::memset(m_accumulator, 0, static_cast<size_t>(m_dstWidth) * 4 * 8);
  ++m_dstY;
  return m_next.putRow(m_output);
}

// ---------------------------------------------------------------------------
// AreaAccumulator: the same sums, kept for every output row at once. Source
// row y lies in output row y * dstHeight / srcHeight with |first| units of
// its height and in the next one with the rest, as in AreaAverager::addRow().

kor::Status AreaAccumulator::init() {
  kor::Status status;
  m_columns = columnTable(m_srcWidth, m_dstWidth, &status);
  if (m_columns == nullptr) return status;
  const size_t sums = size_t{m_dstWidth} * m_dstHeight * 4;
  m_sums = reinterpret_cast<uint64_t*>(scratch(Scratch::kImage, sums * 8, &status));
  if (m_sums == nullptr) return status;
  m_output = scratch(Scratch::kOutputRow, size_t{m_dstWidth} * 4, &status);
  if (m_output == nullptr) return status;
  std::memset(m_sums, 0, sums * 8);
  return status;
}

void AreaAccumulator::add(uint32_t y, const uint8_t* rgba, uint32_t xStart, uint32_t xStep) {
  const uint64_t top = uint64_t{y} * m_dstHeight;
  const uint64_t bottom = top + m_dstHeight;
  const uint32_t dstY = static_cast<uint32_t>(top / m_srcHeight);
  const uint64_t boundary = uint64_t{dstY + 1} * m_srcHeight;
  const uint64_t first = (bottom < boundary ? bottom : boundary) - top;
  const uint64_t rest = bottom > boundary ? bottom - boundary : 0;
  const size_t rowSums = size_t{m_dstWidth} * 4;
  uint64_t* upper = m_sums + size_t{dstY} * rowSums;
  uint64_t* lower = upper + rowSums;  // used only when rest > 0
  const uint32_t full = m_dstWidth;
  for (uint32_t x = xStart; x < m_srcWidth; x += xStep) {
    const uint8_t* p = rgba + size_t{x} * 4;
    const uint64_t a = p[3];
    if (a == 0) continue;
    const uint64_t v[4] = {p[0] * a, p[1] * a, p[2] * a, a};
    const AreaColumn column = m_columns[x];
    const uint64_t left = column.weight;
    const uint64_t right = full - column.weight;
    uint64_t* sum = upper + size_t{column.index} * 4;
    for (int c = 0; c < 4; ++c) sum[c] += first * left * v[c];
    if (right > 0)
      for (int c = 0; c < 4; ++c) sum[4 + c] += first * right * v[c];
    if (rest == 0) continue;
    sum = lower + size_t{column.index} * 4;
    for (int c = 0; c < 4; ++c) sum[c] += rest * left * v[c];
    if (right > 0)
      for (int c = 0; c < 4; ++c) sum[4 + c] += rest * right * v[c];
  }
}

kor::Status AreaAccumulator::finish() {
  const uint64_t area = uint64_t{m_srcWidth} * m_srcHeight;
  const size_t rowSums = size_t{m_dstWidth} * 4;
  for (uint32_t y = 0; y < m_dstHeight; ++y) {
    resolveRow(m_sums + size_t{y} * rowSums, m_dstWidth, area, m_output);
    if (kor::Status status = m_next.putRow(m_output); !status.ok()) return status;
  }
  return kor::Status();
}

}  // namespace lumo::internal
