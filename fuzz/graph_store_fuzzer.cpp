// libFuzzer target for the graph store: build_from_csr, build_from_dense,
// build_from_adj_list and make_undirected on structured random inputs.
//
// Every matrix that comes back is checked against the CsrMatrix invariants and
// against a plain reference model of what it must contain; every rejection is
// checked against the message of the first failing rule. Any disagreement
// aborts, which libFuzzer reports as a crash with the input that caused it.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "csr.h"
#include "error.h"

namespace {

using velmar::CsrMatrix;
using velmar::Result;
using velmar::VelmarError;
using u64 = std::uint64_t;

constexpr u64 kMaxU64 = std::numeric_limits<u64>::max();

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "graph_store_fuzzer: %s %s\n", what, detail.c_str());
  std::abort();
}

void expect(bool ok, const char* what) {
  if (!ok) fail(what);
}

// Equal bit patterns, or both NaN (the payload of a sum of two NaNs depends on
// operand order, which the compiler may commute).
bool same_weight(double a, double b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  return std::memcmp(&a, &b, sizeof a) == 0;
}

std::string dec(u64 x) { return std::to_string(x); }

// ---------------------------------------------------------------- inputs

// Weights drawn from the values that have bitten float code before.
double fuzz_weight(FuzzedDataProvider& in) {
  static constexpr double kSpecial[] = {
      0.0,
      -0.0,
      1.0,
      -1.0,
      0.5,
      std::numeric_limits<double>::infinity(),
      -std::numeric_limits<double>::infinity(),
      std::numeric_limits<double>::quiet_NaN(),
      std::numeric_limits<double>::denorm_min(),
      std::numeric_limits<double>::max(),
      -std::numeric_limits<double>::max(),
      1e-300,
  };
  if (in.ConsumeBool()) return in.PickValueInArray(kSpecial);
  const u64 bits = in.ConsumeIntegral<u64>();
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

// Node counts: mostly small, sometimes at the edges of the 64-bit range.
u64 fuzz_count(FuzzedDataProvider& in, u64 small_max) {
  static constexpr u64 kHostile[] = {
      kMaxU64,      kMaxU64 - 1,  u64{1} << 63, (u64{1} << 63) - 1,
      u64{1} << 61, u64{1} << 32, u64{1} << 40,
  };
  switch (in.ConsumeIntegralInRange<int>(0, 15)) {
    case 0:
      return in.PickValueInArray(kHostile);
    case 1:
      return in.ConsumeIntegral<u64>();
    default:
      return in.ConsumeIntegralInRange<u64>(0, small_max);
  }
}

// An index into [0, bound) most of the time, occasionally anything at all.
u64 fuzz_index(FuzzedDataProvider& in, u64 bound) {
  switch (in.ConsumeIntegralInRange<int>(0, 9)) {
    case 0:
      return in.ConsumeIntegral<u64>();
    case 1:
      return bound;  // one past the end
    default:
      return bound == 0 ? 0 : in.ConsumeIntegralInRange<u64>(0, bound - 1);
  }
}

// row_ptrs for `nnz` entries over `rows` rows: a valid partition most of the
// time, otherwise with one element disturbed or entirely random.
std::vector<u64> fuzz_row_ptrs(FuzzedDataProvider& in, u64 rows, u64 nnz) {
  std::vector<u64> rp(rows + 1, 0);
  for (u64 i = 1; i < rows; ++i) rp[i] = in.ConsumeIntegralInRange<u64>(0, nnz);
  rp[rows] = nnz;
  std::sort(rp.begin(), rp.end());
  switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: {
      const auto at = in.ConsumeIntegralInRange<std::size_t>(0, rp.size() - 1);
      rp[at] = in.ConsumeBool() ? in.ConsumeIntegral<u64>()
                                : in.ConsumeIntegralInRange<u64>(0, nnz + 2);
      break;
    }
    case 1:
      for (auto& x : rp) x = in.ConsumeIntegralInRange<u64>(0, nnz + 1);
      break;
    case 2:  // a length that does not match the node count
      if (in.ConsumeBool() && !rp.empty()) {
        rp.pop_back();
      } else {
        rp.push_back(nnz);
      }
      break;
    default:
      break;
  }
  return rp;
}

// ------------------------------------------------------------- reference

// Every returned matrix: invariants 1 to 4 of the graph store.
void check_invariants(const CsrMatrix& m) {
  const u64 n = m.num_nodes;
  expect(m.row_ptrs.size() == n + 1, "row_ptrs length != num_nodes + 1");
  expect(m.row_ptrs[0] == 0, "row_ptrs[0] != 0");
  expect(m.row_ptrs[n] == m.col_indices.size(), "last row_ptr != nnz");
  expect(m.col_indices.size() == m.values.size(), "cols/values length");
  for (u64 i = 0; i < n; ++i) {
    expect(m.row_ptrs[i] <= m.row_ptrs[i + 1], "row_ptrs decreasing");
    for (u64 k = m.row_ptrs[i]; k < m.row_ptrs[i + 1]; ++k) {
      expect(m.col_indices[k] < n, "column out of bounds");
      if (k > m.row_ptrs[i]) {
        expect(m.col_indices[k - 1] < m.col_indices[k],
               "row not strictly increasing");
      }
    }
  }
}

// A matrix as row -> column -> weight, plus the columns whose weight is a sum
// of three or more entries of a long row (their summation order is open).
struct Model {
  std::vector<std::map<u64, double>> rows;
  std::vector<std::map<u64, bool>> loose;
};

// What normalisation must produce for the partition (rp, col, val): rows
// sorted, equal columns summed in stored order (new weight on the left).
Model normalised(const std::vector<u64>& rp, const std::vector<u64>& col,
                 const std::vector<double>& val, u64 n) {
  Model model;
  model.rows.resize(n);
  model.loose.resize(n);
  for (u64 i = 0; i < n; ++i) {
    std::map<u64, int> count;
    for (u64 k = rp[i]; k < rp[i + 1]; ++k) {
      auto [it, fresh] = model.rows[i].try_emplace(col[k], val[k]);
      if (!fresh) it->second = val[k] + it->second;
      ++count[col[k]];
    }
    if (rp[i + 1] - rp[i] > 20) {
      for (auto [c, times] : count) {
        if (times >= 3) model.loose[i][c] = true;
      }
    }
  }
  return model;
}

void check_against(const CsrMatrix& m, const Model& model) {
  expect(model.rows.size() == m.num_nodes, "node count differs from model");
  for (u64 i = 0; i < m.num_nodes; ++i) {
    const auto& want = model.rows[i];
    expect(m.row_ptrs[i + 1] - m.row_ptrs[i] == want.size(),
           "row length differs from model");
    auto it = want.begin();
    for (u64 k = m.row_ptrs[i]; k < m.row_ptrs[i + 1]; ++k, ++it) {
      expect(m.col_indices[k] == it->first, "column differs from model");
      if (!model.loose[i].count(it->first)) {
        expect(same_weight(m.values[k], it->second),
               "weight differs from model");
      }
    }
  }
}

// S = A + A^T: a one-sided entry is w + 0.0, a pair is A[i][j] + A[j][i];
// sums comparing equal to 0.0 are dropped.
Model symmetrized(const CsrMatrix& a) {
  const u64 n = a.num_nodes;
  const u64 base = a.row_ptrs.front();
  std::vector<std::map<u64, double>> fwd(n);
  for (u64 i = 0; i < n; ++i) {
    for (u64 k = a.row_ptrs[i] - base; k < a.row_ptrs[i + 1] - base; ++k) {
      fwd[i][a.col_indices[k]] = a.values[k];
    }
  }
  Model s;
  s.rows.resize(n);
  s.loose.resize(n);
  for (u64 i = 0; i < n; ++i) {
    for (auto [j, w] : fwd[i]) {
      auto back = fwd[j].find(i);
      const double sum = back == fwd[j].end() ? w + 0.0 : w + back->second;
      if (sum != 0.0) s.rows[i][j] = sum;
      if (back == fwd[j].end() && sum != 0.0) s.rows[j][i] = sum;
    }
  }
  return s;
}

void check_undirected(const CsrMatrix& a) {
  Result<CsrMatrix> s = a.make_undirected();
  if (!s.ok()) fail("make_undirected rejected a well-formed matrix");
  check_invariants(*s);
  check_against(*s, symmetrized(a));
  for (double w : s->values) expect(w != 0.0, "zero weight after symmetrizing");
}

std::string message_of(const VelmarError& e) {
  if (!std::holds_alternative<velmar::ShapeMismatch>(e.kind)) {
    fail("expected ShapeMismatch, got OutOfMemory", velmar::render(e));
  }
  return std::get<velmar::ShapeMismatch>(e.kind).message;
}

void expect_message(const Result<CsrMatrix>& r, const std::string& want) {
  if (r.ok()) fail("accepted, expected:", want);
  const std::string got = message_of(r.error());
  if (got != want) fail("wrong message:", got + " | expected: " + want);
}

// --------------------------------------------------------------- targets

// The six checks of build_from_csr, in their order; empty when all pass.
std::string csr_rejection(const std::vector<u64>& rp,
                          const std::vector<u64>& col,
                          const std::vector<double>& val, u64 n) {
  if (n == kMaxU64 || rp.size() != n + 1) {
    const std::string n1 = n == kMaxU64 ? "18446744073709551616" : dec(n + 1);
    return "row_ptrs length " + dec(rp.size()) + " must be num_nodes + 1 (" +
           n1 + ")";
  }
  if (col.size() != val.size()) {
    return "col_indices and values must have the same length";
  }
  if (rp[0] != 0) return "row_ptrs[0] must be 0, got " + dec(rp[0]);
  if (rp.back() != col.size()) {
    return "row_ptrs last element (" + dec(rp.back()) +
           ") must equal col_indices length (" + dec(col.size()) + ")";
  }
  for (std::size_t k = 1; k < rp.size(); ++k) {
    if (rp[k - 1] > rp[k]) {
      return "row_ptrs must be monotonically non-decreasing, found " +
             dec(rp[k - 1]) + " followed by " + dec(rp[k]);
    }
  }
  for (std::size_t i = 0; i < col.size(); ++i) {
    if (col[i] >= n) {
      return "col_indices[" + dec(i) + "] = " + dec(col[i]) +
             " is out of bounds for graph with " + dec(n) + " nodes";
    }
  }
  return {};
}

void fuzz_csr(FuzzedDataProvider& in) {
  const u64 rows = in.ConsumeIntegralInRange<u64>(0, 40);
  const u64 nnz = in.ConsumeIntegralInRange<u64>(0, 64);
  // Usually the node count the arrays describe; sometimes any other.
  const u64 n =
      in.ConsumeIntegralInRange<int>(0, 5) == 0 ? fuzz_count(in, 48) : rows;
  std::vector<u64> rp = fuzz_row_ptrs(in, rows, nnz);
  std::vector<u64> col(nnz);
  for (auto& c : col) c = fuzz_index(in, n);
  std::vector<double> val(nnz);
  for (auto& v : val) v = fuzz_weight(in);
  if (in.ConsumeIntegralInRange<int>(0, 15) == 0) {
    if (in.ConsumeBool() && !val.empty()) {
      val.pop_back();
    } else {
      val.push_back(1.0);
    }
  }

  const std::string rejection = csr_rejection(rp, col, val, n);
  Model want;
  if (rejection.empty()) want = normalised(rp, col, val, n);
  Result<CsrMatrix> m = velmar::build_from_csr(rp, col, val, n);
  if (!rejection.empty()) {
    expect_message(m, rejection);
    return;
  }
  if (!m.ok()) fail("rejected valid CSR:", velmar::render(m.error()));
  check_invariants(*m);
  check_against(*m, want);
  // Normalising a normalised matrix changes nothing.
  CsrMatrix again = *m;
  again.sort_indices();
  expect(again.row_ptrs == m->row_ptrs && again.col_indices == m->col_indices,
         "sort_indices not idempotent");
  check_undirected(*m);
}

void fuzz_dense(FuzzedDataProvider& in) {
  velmar::DenseView view;
  const int shape = in.ConsumeIntegralInRange<int>(0, 15);
  if (shape == 0) {
    // Logical sizes far beyond memory, over a single stored element: the
    // builder must refuse them before reserving or reading anything.
    static constexpr u64 kHuge[] = {kMaxU64, kMaxU64 - 1, u64{1} << 63,
                                    u64{1} << 61};
    view.rows = in.PickValueInArray(kHuge);
    view.cols = in.ConsumeBool() ? view.rows : in.PickValueInArray(kHuge);
    static const double kOne = 1.0;
    view.data = &kOne;
    Result<CsrMatrix> m = velmar::build_from_dense(view);
    if (view.rows != view.cols) {
      expect_message(m, "Adjacency matrix must be square");
    } else {
      expect(!m.ok() &&
                 std::holds_alternative<velmar::OutOfMemory>(m.error().kind),
             "huge dense matrix not refused as OutOfMemory");
    }
    return;
  }
  view.rows = in.ConsumeIntegralInRange<u64>(0, 24);
  view.cols = shape == 1 ? in.ConsumeIntegralInRange<u64>(0, 24) : view.rows;
  view.row_stride = in.ConsumeIntegralInRange<std::int64_t>(-30, 30);
  view.col_stride = in.ConsumeIntegralInRange<std::int64_t>(-4, 4);
  if (in.ConsumeBool()) {  // plain row-major
    view.row_stride = static_cast<std::int64_t>(view.cols);
    view.col_stride = 1;
  }
  // Lay out exactly the elements the view can reach, (0, 0) wherever the
  // negative strides put it.
  std::int64_t lo = 0;
  std::int64_t hi = 0;
  if (view.rows > 0 && view.cols > 0) {
    const std::int64_t r =
        static_cast<std::int64_t>(view.rows - 1) * view.row_stride;
    const std::int64_t c =
        static_cast<std::int64_t>(view.cols - 1) * view.col_stride;
    lo = std::min<std::int64_t>(0, r) + std::min<std::int64_t>(0, c);
    hi = std::max<std::int64_t>(0, r) + std::max<std::int64_t>(0, c);
  }
  std::vector<double> storage(static_cast<std::size_t>(hi - lo + 1));
  const bool sparse = in.ConsumeBool();
  for (auto& x : storage) {
    x = sparse && in.ConsumeIntegralInRange<int>(0, 3) != 0 ? 0.0
                                                            : fuzz_weight(in);
  }
  view.data = storage.data() - lo;

  Result<CsrMatrix> m = velmar::build_from_dense(view);
  if (view.rows != view.cols) {
    expect_message(m, "Adjacency matrix must be square");
    return;
  }
  if (!m.ok()) fail("rejected square dense:", velmar::render(m.error()));
  check_invariants(*m);
  Model want;
  want.rows.resize(view.rows);
  want.loose.resize(view.rows);
  for (u64 i = 0; i < view.rows; ++i) {
    for (u64 j = 0; j < view.cols; ++j) {
      const double x = view.at(i, j);
      if (x != 0.0) want.rows[i][j] = x;
    }
  }
  check_against(*m, want);
  check_undirected(*m);
}

void fuzz_adj_list(FuzzedDataProvider& in) {
  const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 32);
  velmar::AdjacencyLists lists(n);
  for (auto& list : lists) {
    // Some long lists, so that rows of more than 20 entries are sorted too.
    const std::size_t len = in.ConsumeIntegralInRange<int>(0, 7) == 0
                                ? in.ConsumeIntegralInRange<std::size_t>(0, 40)
                                : in.ConsumeIntegralInRange<std::size_t>(0, 6);
    const u64 span = in.ConsumeBool() ? n : std::min<u64>(n, 4);
    for (std::size_t k = 0; k < len; ++k) {
      u64 target = fuzz_index(in, span);
      if (span < n && target == span) target = fuzz_index(in, n);
      list.emplace_back(target, fuzz_weight(in));
    }
  }

  std::string rejection;
  std::vector<u64> rp{0};
  std::vector<u64> col;
  std::vector<double> val;
  for (const auto& list : lists) {
    for (const auto& [target, weight] : list) {
      if (target >= n && rejection.empty()) {
        rejection = "Target node ID " + dec(target) +
                    " is out of bounds for graph with " + dec(n) + " nodes";
      }
      col.push_back(target);
      val.push_back(weight);
    }
    rp.push_back(col.size());
  }

  Result<CsrMatrix> m = velmar::build_from_adj_list(std::move(lists));
  if (!rejection.empty()) {
    expect_message(m, rejection);
    return;
  }
  if (!m.ok()) fail("rejected valid lists:", velmar::render(m.error()));
  check_invariants(*m);
  check_against(*m, normalised(rp, col, val, n));
  check_undirected(*m);
}

// The structure check of make_undirected, in its order; empty when it passes.
std::string structure_rejection(const CsrMatrix& m) {
  auto err = [](const char* kind, const char* detail) {
    return std::string("Invalid CSR structure: Structure Error (") + kind +
           "): " + detail;
  };
  const auto& rp = m.row_ptrs;
  const auto& col = m.col_indices;
  if (m.values.size() != col.size()) {
    return err("size mismatch", "data and indices have different sizes");
  }
  for (std::size_t k = 1; k < rp.size(); ++k) {
    if (rp[k - 1] > rp[k]) return err("unsorted", "Unsorted indptr");
  }
  if (rp.empty())
    return err("size mismatch", "An indptr should have its len >= 1");
  if (rp.back() > u64{std::numeric_limits<std::int64_t>::max()}) {
    return err("out of range", "An indptr value is larger than allowed");
  }
  if (rp.size() - 1 != m.num_nodes) {
    return err("size mismatch", "Indptr length does not match dimension");
  }
  if (col.size() != rp.back() - rp.front()) {
    return err("size mismatch", "Indices length and inpdtr's nnz do not match");
  }
  for (u64 i = 0; i < m.num_nodes; ++i) {
    const u64 b = rp[i] - rp.front();
    const u64 e = rp[i + 1] - rp.front();
    for (u64 k = b + 1; k < e; ++k) {
      if (col[k - 1] >= col[k])
        return err("unsorted", "Indices are not sorted");
    }
    if (b < e && col[e - 1] >= m.num_nodes) {
      return err("out of range", "Indice is larger than inner dimension");
    }
  }
  return {};
}

// make_undirected on matrices that no builder produces: it must re-check the
// structure and never read outside the arrays.
void fuzz_raw_undirected(FuzzedDataProvider& in) {
  CsrMatrix m;
  const u64 rows = in.ConsumeIntegralInRange<u64>(0, 24);
  const u64 nnz = in.ConsumeIntegralInRange<u64>(0, 48);
  m.num_nodes =
      in.ConsumeIntegralInRange<int>(0, 5) == 0 ? fuzz_count(in, 32) : rows;
  m.row_ptrs = fuzz_row_ptrs(in, rows, nnz);
  if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
    // A partition that does not start at 0.
    const u64 shift = in.ConsumeBool() ? in.ConsumeIntegral<u64>()
                                       : in.ConsumeIntegralInRange<u64>(1, 8);
    for (auto& x : m.row_ptrs) x += shift;
  }
  if (in.ConsumeIntegralInRange<int>(0, 15) == 0) m.row_ptrs.clear();
  m.col_indices.resize(nnz);
  const bool sorted = in.ConsumeBool();
  for (auto& c : m.col_indices) c = fuzz_index(in, m.num_nodes);
  if (sorted && !m.row_ptrs.empty() && m.row_ptrs.size() == rows + 1) {
    // Give the rows a chance to be strictly increasing.
    const u64 base = m.row_ptrs.front();
    for (u64 i = 0; i < rows; ++i) {
      const u64 b = m.row_ptrs[i] - base;
      const u64 e = m.row_ptrs[i + 1] - base;
      if (b <= e && e <= nnz) {
        std::sort(m.col_indices.begin() + static_cast<std::ptrdiff_t>(b),
                  m.col_indices.begin() + static_cast<std::ptrdiff_t>(e));
      }
    }
  }
  m.values.resize(nnz);
  for (auto& v : m.values) v = fuzz_weight(in);
  if (in.ConsumeIntegralInRange<int>(0, 15) == 0 && !m.values.empty()) {
    m.values.pop_back();
  }

  const std::string rejection = structure_rejection(m);
  if (!rejection.empty()) {
    expect_message(m.make_undirected(), rejection);
    return;
  }
  check_undirected(m);
}

// The out-of-memory text for a refused reservation of `size` bytes: six
// lines, and the size in MB as printf rounds it (to nearest, ties to even).
void fuzz_render(FuzzedDataProvider& in) {
  const u64 size = in.ConsumeIntegral<u64>();
  const u64 align = u64{1} << in.ConsumeIntegralInRange<int>(0, 12);
  const std::string text = velmar::render(VelmarError::out_of_memory(
      velmar::TryReserveError::alloc_error(size, align)));
  char mb[64];
  std::snprintf(mb, sizeof mb, "%.2f",
                static_cast<double>(size) * (1.0 / 1048576.0));
  const std::string raw =
      "TryReserveError { kind: AllocError { layout: Layout { size: " +
      dec(size) + ", align: " + dec(align) + " (1 << " +
      dec(static_cast<u64>(__builtin_ctzll(align))) +
      ") }, non_exhaustive: () } }";
  const std::string want =
      std::string(
          "Out Of Memory (OOM): The system could not allocate enough "
          "memory.\n- Requested Memory: ") +
      mb +
      " MB\nTry reducing the number of nodes or the embedding dimension.\n\n"
      "Raw Error:\n" +
      raw;
  if (text != want) fail("OOM text:", text + " | expected: " + want);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  FuzzedDataProvider in(data, size);
  switch (in.ConsumeIntegralInRange<int>(0, 9)) {
    case 0:
    case 1:
    case 2:
      fuzz_csr(in);
      break;
    case 3:
    case 4:
      fuzz_dense(in);
      break;
    case 5:
    case 6:
    case 7:
      fuzz_adj_list(in);
      break;
    case 8:
      fuzz_raw_undirected(in);
      break;
    default:
      fuzz_render(in);
      break;
  }
  return 0;
}
