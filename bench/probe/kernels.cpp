// Row kernels of the gather probe, compiled once per instruction set level
// (VB_ISA names the namespace; the build passes the matching -march).
//
// Every "engine" kernel computes exactly the propagation step: row r starts
// at +0.0 and adds H[c] * t for its entries in stored order, with
// t = float(value) * (1 / float(degree)), each product and each sum rounded
// to float32 (built with -ffp-contract=off). They differ only in how memory
// is touched, so their outputs must be bit-identical. "gather" kernels only
// sum the neighbour rows: the memory traffic of a step without its scaling.
#include "kernels.h"

#include <immintrin.h>

#include <cstring>

#ifndef VB_ISA
#error "VB_ISA must name the instruction set level"
#endif

namespace probe::VB_ISA {

namespace {

inline void prefetch_row(const float* row, std::size_t bytes) {
  const char* p = reinterpret_cast<const char*>(row);
  for (std::size_t off = 0; off < bytes; off += 64) {
    __builtin_prefetch(p + off, 0, 3);
  }
}

inline void add_row(float* __restrict acc, const float* __restrict in,
                    std::size_t dim) {
  for (std::size_t j = 0; j < dim; ++j) acc[j] = acc[j] + in[j];
}

inline void scale_add_row(float* __restrict acc, const float* __restrict in,
                          float t, std::size_t dim) {
  for (std::size_t j = 0; j < dim; ++j) acc[j] = in[j] * t + acc[j];
}

// Stores a finished row; non-temporal stores skip the read-for-ownership of
// the destination lines when the row is 16-byte aligned.
inline void store_row(float* __restrict out, const float* __restrict acc,
                      std::size_t dim, bool streaming) {
  if (streaming && (reinterpret_cast<std::uintptr_t>(out) & 15) == 0 &&
      dim % 4 == 0) {
    for (std::size_t j = 0; j < dim; j += 4) {
      _mm_stream_ps(out + j, _mm_loadu_ps(acc + j));
    }
  } else {
    std::memcpy(out, acc, dim * sizeof(float));
  }
}

inline float inverse_degree(std::uint64_t s, std::uint64_t e) {
  return e == s ? 0.0f : 1.0f / static_cast<float>(e - s);
}

}  // namespace

void run_rows(const Graph& g, const float* h, float* out, std::size_t dim,
              std::uint64_t lo, std::uint64_t hi, const KernelConfig& cfg,
              float* scratch) {
  const std::size_t row_bytes = dim * sizeof(float);
  const std::int64_t* rp = g.row_ptrs;
  const std::int64_t* col = g.col_indices;
  const std::uint64_t k_end = static_cast<std::uint64_t>(rp[hi]);
  const std::uint64_t pd = cfg.prefetch;
  for (std::uint64_t r = lo; r < hi; ++r) {
    const auto s = static_cast<std::uint64_t>(rp[r]);
    const auto e = static_cast<std::uint64_t>(rp[r + 1]);
    float* dst = out + r * dim;
    float* acc = cfg.local ? scratch : dst;
    if (cfg.local || cfg.clear_in_kernel) {
      for (std::size_t j = 0; j < dim; ++j) acc[j] = 0.0f;
    }
    if (cfg.kind == KernelKind::kGather) {
      for (std::uint64_t k = s; k < e; ++k) {
        if (pd != 0 && k + pd < k_end) {
          prefetch_row(h + static_cast<std::uint64_t>(col[k + pd]) * dim,
                       row_bytes);
        }
        add_row(acc, h + static_cast<std::uint64_t>(col[k]) * dim, dim);
      }
    } else {
      const float q = inverse_degree(s, e);
      for (std::uint64_t k = s; k < e; ++k) {
        if (pd != 0 && k + pd < k_end) {
          prefetch_row(h + static_cast<std::uint64_t>(col[k + pd]) * dim,
                       row_bytes);
        }
        const float t = cfg.kind == KernelKind::kEnginePrescaled
                            ? g.scales[k]
                            : static_cast<float>(g.values[k]) * q;
        scale_add_row(acc, h + static_cast<std::uint64_t>(col[k]) * dim, t,
                      dim);
      }
    }
    if (cfg.local) store_row(dst, acc, dim, cfg.streaming);
  }
}

double read_sum(const float* data, std::size_t count) {
  // Sixteen independent lanes so the loop vectorises without reassociating.
  float lanes[16] = {};
  std::size_t i = 0;
  for (; i + 16 <= count; i += 16) {
    for (int l = 0; l < 16; ++l) lanes[l] = lanes[l] + data[i + l];
  }
  double total = 0.0;
  for (float v : lanes) total += v;
  for (; i < count; ++i) total += data[i];
  return total;
}

void fill(float* data, std::size_t count, float value) {
  for (std::size_t i = 0; i < count; ++i) data[i] = value;
}

}  // namespace probe::VB_ISA
