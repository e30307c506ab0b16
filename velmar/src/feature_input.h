// Node features of an embedding's initial matrix, as the engine reads them.
#pragma once

#include <cstdint>

#include "graph.h"

namespace velmar {

// Node features of the initial matrix (borrowed; the caller keeps them alive
// and unchanged during the run): n rows of num_features float32 values, dense
// (row-major, row r at dense + r * dense_stride) or CSR (int64 row_ptrs with
// n + 1 elements, col_type kInt32 or kInt64 columns strictly increasing
// within each row, float32 values). Exactly one of dense and values is set.
struct FeatureInput {
  std::uint64_t num_features = 0;
  std::uint64_t feature_dim = 0;  // k: they fill the last k columns
  const float* dense = nullptr;
  std::uint64_t dense_stride = 0;
  const std::int64_t* row_ptrs = nullptr;
  const void* col_indices = nullptr;
  IndexType col_type = IndexType::kInt64;
  const float* values = nullptr;
  std::uint64_t num_entries = 0;
};

}  // namespace velmar
