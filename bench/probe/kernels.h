// Interface of the gather probe's row kernels, one copy per instruction set
// level (x86-64-v2, v3, v4), chosen at run time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace probe {

struct Graph {
  const std::int64_t* row_ptrs = nullptr;  // n + 1
  const std::int64_t* col_indices = nullptr;
  const double* values = nullptr;
  const float* scales = nullptr;  // float(value) * (1 / float(degree))
  std::uint64_t num_nodes = 0;
};

enum class KernelKind {
  kGather,           // out[r] = sum of H[c] over the row's entries
  kEngine,           // out[r] = sum of H[c] * t, t computed per entry
  kEnginePrescaled,  // the same with t read from a precomputed array
};

struct KernelConfig {
  KernelKind kind = KernelKind::kEngine;
  std::uint64_t prefetch = 0;    // entries ahead; 0 = no software prefetch
  bool local = false;            // accumulate in a private row, store once
  bool streaming = false;        // non-temporal store of the finished row
  bool clear_in_kernel = false;  // in-place rows zeroed by their own task
};

#define PROBE_DECLARE_ISA(ns)                                                \
  namespace ns {                                                             \
  void run_rows(const Graph& g, const float* h, float* out, std::size_t dim, \
                std::uint64_t lo, std::uint64_t hi, const KernelConfig& cfg, \
                float* scratch);                                             \
  double read_sum(const float* data, std::size_t count);                     \
  void fill(float* data, std::size_t count, float value);                    \
  }

PROBE_DECLARE_ISA(v2)
PROBE_DECLARE_ISA(v3)
PROBE_DECLARE_ISA(v4)

}  // namespace probe
