// Symmetrization of the graph store: A + A^T of a CsrMatrix, after checking
// its structure; the passes themselves are the shared builder's.
#include "csr.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "buffer.h"
#include "builder.h"
#include "platform.h"
#include "pool.h"

namespace velmar {

namespace {

constexpr std::uint64_t kMaxI64 =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

VelmarError structure_error(const char* kind, const char* detail) {
  return VelmarError::shape_mismatch(
      std::string("Invalid CSR structure: Structure Error (") + kind +
      "): " + detail);
}

// The row checks of make_undirected on rows [lo, hi): the first failing
// row's error, unsorted columns before an out-of-range last column.
std::optional<VelmarError> check_rows(const CsrMatrix& m, std::uint64_t lo,
                                      std::uint64_t hi) {
  const std::uint64_t base = m.row_ptrs.front();
  const std::uint64_t* col = m.col_indices.data();
  for (std::uint64_t i = lo; i < hi; ++i) {
    const std::uint64_t begin = m.row_ptrs[i] - base;
    const std::uint64_t end = m.row_ptrs[i + 1] - base;
    for (std::uint64_t k = begin + 1; k < end; ++k) {
      if (col[k - 1] >= col[k]) {
        return structure_error("unsorted", "Indices are not sorted");
      }
    }
    if (begin < end && col[end - 1] >= m.num_nodes) {
      return structure_error("out of range",
                             "Indice is larger than inner dimension");
    }
  }
  return std::nullopt;
}

// The first failed structure check of a matrix handed to make_undirected.
std::optional<VelmarError> check_structure(const CsrMatrix& m) {
  const auto& rp = m.row_ptrs;
  const auto& col = m.col_indices;
  if (m.values.size() != col.size()) {
    return structure_error("size mismatch",
                           "data and indices have different sizes");
  }
  for (std::size_t k = 1; k < rp.size(); ++k) {
    if (rp[k - 1] > rp[k]) {
      return structure_error("unsorted", "Unsorted indptr");
    }
  }
  if (rp.empty()) {
    return structure_error("size mismatch",
                           "An indptr should have its len >= 1");
  }
  if (rp.back() > kMaxI64) {
    return structure_error("out of range",
                           "An indptr value is larger than allowed");
  }
  if (rp.size() - 1 != m.num_nodes) {
    return structure_error("size mismatch",
                           "Indptr length does not match dimension");
  }
  if (col.size() != rp.back() - rp.front()) {
    return structure_error("size mismatch",
                           "Indices length and inpdtr's nnz do not match");
  }
  // Each part stops at its own first failure; the earliest failing part
  // holds the first failing row.
  const std::uint64_t parts =
      detail::part_count(col.size() + m.num_nodes, num_threads());
  const std::vector<std::uint64_t> bounds =
      detail::split_rows(rp.data(), m.num_nodes, parts);
  std::vector<std::optional<VelmarError>> failures(parts);
  parallel_for(0, parts, 1, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t p = lo; p < hi; ++p) {
      failures[p] = check_rows(m, bounds[p], bounds[p + 1]);
    }
  });
  for (auto& failure : failures) {
    if (failure) return std::move(failure);
  }
  return std::nullopt;
}

// Writes the symmetrized entries into a CsrMatrix's sequences.
struct CsrSink {
  CsrMatrix& out;

  Result<std::uint64_t*> row_pointers() {
    if (Status s = try_reserve(out.row_ptrs, out.num_nodes + 1); !s) {
      return std::move(s).error();
    }
    out.row_ptrs.resize(out.num_nodes + 1);
    return out.row_ptrs.data();
  }
  Status reserve(std::uint64_t total) {
    if (Status s = try_reserve(out.col_indices, total); !s) return s;
    if (Status s = try_reserve(out.values, total); !s) return s;
    platform::advise_huge_pages(out.col_indices.data(),
                                total * sizeof(std::uint64_t));
    platform::advise_huge_pages(out.values.data(), total * sizeof(double));
    // Within the reserved capacity, so neither allocates; the two clearing
    // passes run side by side.
    parallel_for(0, 2, 1, [&](std::uint64_t lo, std::uint64_t hi) {
      for (std::uint64_t which = lo; which < hi; ++which) {
        if (which == 0) {
          out.col_indices.resize(total);
        } else {
          out.values.resize(total);
        }
      }
    });
    return ok_status();
  }
  void put(std::uint64_t pos, std::uint64_t c, double w, float) noexcept {
    out.col_indices[pos] = c;
    out.values[pos] = w;
  }
};

}  // namespace

// Allocation of the transpose and of the result is fallible: a refusal is
// returned as an OutOfMemory value, like the builders', instead of ending the
// process.
Result<CsrMatrix> CsrMatrix::make_undirected() const {
  if (auto err = check_structure(*this)) return std::move(*err);
  CsrMatrix out;
  out.num_nodes = num_nodes;
  CsrSink sink{out};
  // Entries are addressed relative to row_ptrs[0], which the structure
  // check ties to the length of col_indices; builders always start at 0.
  Status done = detail::symmetrize<std::uint64_t>(
      row_ptrs.data(), col_indices.data(), values.data(), num_nodes, sink,
      [] { return false; });
  if (!done.ok()) return std::move(done).error();
  return out;
}

}  // namespace velmar
