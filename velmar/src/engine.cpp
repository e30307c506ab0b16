// Column blocks over the compact graph: per block, the projection's columns,
// the steps, and each step's weighted sum straight into the caller's result.
#include "engine.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "buffer.h"
#include "kernels.h"
#include "pool.h"
#include "rng.h"
#include "row_loop.h"
#include "segments.h"
#include "tuning.h"

static_assert(FLT_EVAL_METHOD == 0);

namespace velmar {
namespace {

std::string row_text(std::uint64_t r) { return "row " + std::to_string(r); }

// Checks the features once, before anything is allocated: the structure of
// CSR arrays and that every value is finite.
Status check_features(const FeatureInput& x, std::uint64_t n,
                      std::uint64_t dim) {
  if (x.feature_dim == 0 || x.feature_dim > dim) {
    return VelmarError::invalid_input(
        "feature_dim must be between 1 and dim (" + std::to_string(dim) +
        "), got " + std::to_string(x.feature_dim));
  }
  if (x.dense != nullptr) {
    if (x.dense_stride < x.num_features) {
      return VelmarError::invalid_input("features: row stride below the row");
    }
    for (std::uint64_t r = 0; r < n; ++r) {
      const float* row = x.dense + r * x.dense_stride;
      for (std::uint64_t c = 0; c < x.num_features; ++c) {
        if (!std::isfinite(row[c])) {
          return VelmarError::invalid_input(
              "features must be finite as 32-bit floats; " + row_text(r) +
              ", column " + std::to_string(c) + " is not");
        }
      }
    }
    return ok_status();
  }
  if (x.row_ptrs == nullptr || x.values == nullptr) {
    return VelmarError::invalid_input("features: no values");
  }
  if (x.row_ptrs[0] != 0 ||
      static_cast<std::uint64_t>(x.row_ptrs[n]) != x.num_entries) {
    return VelmarError::invalid_input(
        "features: row pointers must start at 0 and end at the number of "
        "entries");
  }
  const bool narrow = x.col_type == IndexType::kInt32;
  const auto col = [&](std::uint64_t k) -> std::int64_t {
    return narrow ? static_cast<const std::int32_t*>(x.col_indices)[k]
                  : static_cast<const std::int64_t*>(x.col_indices)[k];
  };
  for (std::uint64_t r = 0; r < n; ++r) {
    const std::int64_t s = x.row_ptrs[r];
    const std::int64_t e = x.row_ptrs[r + 1];
    if (e < s || static_cast<std::uint64_t>(e) > x.num_entries) {
      return VelmarError::invalid_input(
          "features: row pointers must not decrease (" + row_text(r) + ")");
    }
    std::int64_t last = -1;
    for (auto k = static_cast<std::uint64_t>(s);
         k < static_cast<std::uint64_t>(e); ++k) {
      const std::int64_t c = col(k);
      if (c <= last || static_cast<std::uint64_t>(c) >= x.num_features) {
        return VelmarError::invalid_input(
            "features: the columns of " + row_text(r) +
            " must be below the number of features and strictly increase");
      }
      last = c;
      if (!std::isfinite(x.values[k])) {
        return VelmarError::invalid_input(
            "features must be finite as 32-bit floats; " + row_text(r) +
            ", column " + std::to_string(c) + " is not");
      }
    }
  }
  return ok_status();
}

// Bounds of the initial matrix's magnitudes over a part of the stored rows,
// and the row where the scaled one is largest.
struct ValueBound {
  double features = 0.0;  // of the feature columns alone
  double unscaled = 0.0;  // of a row before its scale deg^beta
  double scaled = 0.0;
  std::uint64_t scaled_row = 0;
};

constexpr double kFloatMax = std::numeric_limits<float>::max();
// The projection's nonzero magnitude, float32(sqrt(3)), as the kernels draw it.
constexpr double kRoot3 = 1.7320508f;

std::string num(double x, int digits = 4) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*g", digits, x);
  return text;
}

// Row r's scale deg^beta as the run computes it (float32 of the float64
// power; rows without entries unscaled).
float row_scale(std::uint64_t deg, double beta) {
  return deg == 0 || beta == 0.0
             ? 1.0f
             : static_cast<float>(std::pow(static_cast<double>(deg), beta));
}

// Refuses, before anything is allocated, a run whose values could leave
// float32 without the graph's own weights being the cause. Taking entries
// of weight at most 1 in magnitude, a propagation step averages rows and
// never grows the largest magnitude, and step normalisation makes rows unit
// length, so the result is bounded by sum |w_i| * max |H_i|, H_0 being the
// initial matrix: its random columns +-sqrt(3), its feature columns X R
// (bounded by sqrt(3) times the row's sum of |x|), rows scaled by deg^beta.
// Names the option to blame: features whose own projection overflows; else
// normalization_strength when the unscaled rows would fit; else features,
// else weights (only with settings.bound_weights; without, only H_0 counts).
Status check_value_range(const GraphView& graph, const EmbedSettings& s,
                         const FeatureInput* x, const CancelFlag& cancel) {
  const std::uint64_t n = graph.num_nodes();
  const std::uint64_t dim = s.dim != 0 ? s.dim : s.j1;
  const std::uint64_t k = x != nullptr ? x->feature_dim : 0;
  const double random = k < dim ? kRoot3 : 0.0;
  const double beta = s.normalization_strength;
  const std::uint64_t* const rp = graph.row_ptrs();
  const std::uint64_t* const row_map = graph.row_map();
  const auto degree = [&](std::uint64_t r) {
    return s.degrees != nullptr ? s.degrees[r] : rp[r + 1] - rp[r];
  };
  // Bound of stored row r's feature columns (sqrt(3) sum |x|).
  const auto projected = [&](std::uint64_t r) {
    double sum = 0.0;
    if (x == nullptr) return sum;
    const std::uint64_t i = row_map != nullptr ? row_map[r] : r;
    if (x->dense != nullptr) {
      const float* row = x->dense + i * x->dense_stride;
      for (std::uint64_t c = 0; c < x->num_features; ++c) {
        sum += std::fabs(static_cast<double>(row[c]));
      }
    } else {
      const auto e = static_cast<std::uint64_t>(x->row_ptrs[i + 1]);
      for (auto j = static_cast<std::uint64_t>(x->row_ptrs[i]); j < e; ++j) {
        sum += std::fabs(static_cast<double>(x->values[j]));
      }
    }
    return kRoot3 * sum;
  };
  // Parts of rows, each one's maxima in its own slot: the same answer for
  // any number of workers.
  const std::uint64_t parts = std::min<std::uint64_t>(n, 64 * num_threads());
  std::vector<ValueBound> found(parts);
  parallel_for(0, parts, 1, [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t p = lo; p < hi && !cancel.is_raised(); ++p) {
      ValueBound& b = found[p];
      for (std::uint64_t r = p * n / parts; r < (p + 1) * n / parts; ++r) {
        const double feature = projected(r);
        const double largest = std::max(random, feature);
        b.features = std::max(b.features, feature);
        b.unscaled = std::max(b.unscaled, largest);
        if (largest == 0.0) continue;  // zeros stay zero whatever the scale
        const double value =
            largest * static_cast<double>(row_scale(degree(r), beta));
        if (!(value <= b.scaled)) {
          b.scaled = value;
          b.scaled_row = r;
        }
      }
    }
  });
  if (cancel.is_raised()) return VelmarError::cancelled();
  ValueBound most;
  for (const ValueBound& b : found) {
    most.features = std::max(most.features, b.features);
    most.unscaled = std::max(most.unscaled, b.unscaled);
    if (!(b.scaled <= most.scaled)) {
      most.scaled = b.scaled;
      most.scaled_row = b.scaled_row;
    }
  }
  if (most.features > kFloatMax) {
    std::uint64_t r = 0;
    while (!(projected(r) > kFloatMax)) ++r;
    return VelmarError::invalid_input(
        "features are too large: the values of row " +
        std::to_string(row_map != nullptr ? row_map[r] : r) + " sum to " +
        num(projected(r) / kRoot3) +
        " in magnitude, so its feature columns could reach " +
        num(projected(r)) + ", beyond the largest float32 (" + num(kFloatMax) +
        ")");
  }
  // The result is at most a * max|H_0| + c; it and every H_i must stay
  // within float32, which bounds max|H_0| by `limit`. Centring takes a
  // column's mean from each of its values, which at most doubles their
  // largest magnitude: a centred H_i is at most 2^(i+1) max|H_0|, or 2 once
  // its rows have unit length.
  const std::size_t steps = s.weights.empty() ? 0 : s.weights.size() - 1;
  const auto growth = [&](std::size_t i) {
    if (!s.step_center) return 1.0;
    if (s.step_normalize && i > 0) return 2.0;
    return std::ldexp(1.0,
                      static_cast<int>(std::min<std::size_t>(i, 2000)) + 1);
  };
  const double widest = growth(s.step_normalize ? 0 : steps);
  double a = widest;
  double c = 0.0;
  double weight_sum = 1.0;
  if (s.bound_weights) {
    a = 0.0;
    weight_sum = 0.0;
    for (std::size_t i = 0; i < s.weights.size(); ++i) {
      const double w = std::fabs(static_cast<float>(s.weights[i]));
      (i == 0 || !s.step_normalize ? a : c) += w * growth(i);
      weight_sum += w;
    }
  }
  double limit = kFloatMax / widest;
  if (!(c <= kFloatMax)) {
    limit = -1.0;
  } else if (a > 0.0) {
    limit = std::min(limit, (kFloatMax - c) / a);
  }
  if (most.scaled <= limit) return ok_status();
  const std::string conditions =
      std::string(s.step_normalize ? ", unit rows after the first step" : "") +
      (s.step_center ? ", each centring at most doubling the values" : "");
  // What the run could reach from initial values up to h0: the result, or
  // a centred step on the way.
  const auto most_reached = [&](double h0) {
    return std::max((a == 0.0 ? 0.0 : a * h0) + c, widest * h0);
  };
  const auto reach = [&](double h0) {
    std::string text = "up to " + num(h0);
    if (h0 <= kFloatMax) {
      text += ", and the result could reach " + num(most_reached(h0)) +
              " (weights summing to " + num(weight_sum) + " in magnitude" +
              conditions + ")";
    }
    return text + ", beyond the largest float32 (" + num(kFloatMax) + ")";
  };
  if (beta > 0.0 && most.unscaled <= limit) {
    // The largest beta that keeps every row within the limit, rounded
    // down: the error path only, so one more pass costs nothing.
    double largest_beta = HUGE_VAL;
    for (std::uint64_t r = 0; r < n; ++r) {
      const double largest = std::max(random, projected(r));
      const std::uint64_t deg = degree(r);
      if (deg < 2 || largest == 0.0) continue;
      largest_beta =
          std::min(largest_beta, std::log(limit / largest) /
                                     std::log(static_cast<double>(deg)));
    }
    const std::uint64_t r = most.scaled_row;
    const std::uint64_t deg = degree(r);
    const double power = std::pow(static_cast<double>(deg), beta);
    // Beyond float64 too: the power of ten, rounded down.
    const std::string scale =
        std::isfinite(power)
            ? num(power)
            : "about 1e+" +
                  num(std::floor(beta * std::log10(static_cast<double>(deg))),
                      10);
    char allowed[32];
    std::snprintf(allowed, sizeof allowed, "%.3f",
                  std::floor(largest_beta * 1000.0) / 1000.0);
    return VelmarError::invalid_input(
        "normalization_strength=" + num(beta, 10) +
        " is too large for this graph: a node of degree " +
        std::to_string(deg) + " gets its initial row scaled by " + scale +
        ", to values " + reach(std::max(random, projected(r)) * power) +
        "; at most " + allowed + " works here");
  }
  if (most.features > limit) {
    return VelmarError::invalid_input(
        "features are too large: their projection has values " +
        reach(most.features));
  }
  return VelmarError::invalid_input(
      "weights are too large: the result could reach " +
      num(most_reached(most.scaled)) + " (weights summing to " +
      num(weight_sum) + " in magnitude, initial values up to " +
      num(most.scaled) + conditions + "), beyond the largest float32 (" +
      num(kFloatMax) + ")");
}

// Rows [lo, hi) of columns [a, a + width) of the given initial matrix into
// the working block h (row stride width).
void copy_initial_rows(const EmbedSettings& s, const std::uint64_t* row_map,
                       std::uint64_t a, std::uint64_t width, float* h,
                       std::uint64_t lo, std::uint64_t hi) {
  for (std::uint64_t r = lo; r < hi; ++r) {
    const std::uint64_t i = row_map != nullptr ? row_map[r] : r;
    const float* const from = s.initial + i * s.initial_stride + a;
    std::copy(from, from + width, h + r * width);
  }
}

// step_center's column means (see EmbedSettings): per chunk of kCenterRows
// nodes, in node order, sum_r d_r h_rj in float64; the chunks added in
// order; the mean rounded once to float32 and subtracted from the rows of
// nodes with entries.
class StepCenter {
 public:
  static Result<StepCenter> make(const GraphView& graph, std::uint64_t block,
                                 const CancelFlag& cancel) {
    StepCenter c;
    c.graph_ = &graph;
    const std::uint64_t n = graph.num_nodes();
    c.chunks_ = (n + kCenterRows - 1) / kCenterRows;
    std::uint64_t count = 0;
    if (__builtin_mul_overflow(c.chunks_, block, &count)) {
      return VelmarError::shape_mismatch("Capacity overflow");
    }
    auto partials = Buffer<double>::allocate(count);
    if (!partials.ok()) return std::move(partials).error();
    c.partials_ = std::move(partials).value();
    auto means = Buffer<float>::allocate(block);
    if (!means.ok()) return std::move(means).error();
    c.means_ = std::move(means).value();
    auto rows = node_rows(graph, cancel);
    if (!rows.ok()) return std::move(rows).error();
    c.node_rows_ = std::move(rows).value();
    return c;
  }

  // Centres the columns of h (n rows of `width`), then calls
  // then(lo, hi) on each range of rows it has centred, while they are in
  // cache.
  template <class Then>
  void apply(float* h, std::uint64_t width, const CancelFlag& cancel,
             Then&& then) {
    const std::uint64_t n = graph_->num_nodes();
    const std::uint64_t* const rp = graph_->row_ptrs();
    const std::uint64_t* const rows = node_rows_.data();
    double* const partials = partials_.data();
    parallel_for(0, chunks_, 1, [&](std::uint64_t lo, std::uint64_t hi) {
      for (std::uint64_t c = lo; c < hi; ++c) {
        if (cancel.is_raised()) return;
        double* const p = partials + c * width;
        std::fill(p, p + width, 0.0);
        const std::uint64_t end = std::min(n, (c + 1) * kCenterRows);
        for (std::uint64_t i = c * kCenterRows; i < end; ++i) {
          const std::uint64_t r = rows != nullptr ? rows[i] : i;
          const double d = static_cast<double>(rp[r + 1] - rp[r]);
          if (d == 0.0) continue;
          const float* const row = h + r * width;
          for (std::uint64_t j = 0; j < width; ++j) {
            p[j] = p[j] + d * static_cast<double>(row[j]);
          }
        }
      }
    });
    if (cancel.is_raised()) return;
    const double total = static_cast<double>(graph_->num_entries());
    if (total == 0.0) {
      for_rows(n, width, cancel, then);
      return;
    }
    float* const mean = means_.data();
    for (std::uint64_t j = 0; j < width; ++j) {
      double sum = 0.0;
      for (std::uint64_t c = 0; c < chunks_; ++c) {
        sum = sum + partials[c * width + j];
      }
      mean[j] = static_cast<float>(sum / total);
    }
    for_rows(n, width, cancel, [&](std::uint64_t lo, std::uint64_t hi) {
      for (std::uint64_t r = lo; r < hi; ++r) {
        if (rp[r + 1] == rp[r]) continue;
        float* const row = h + r * width;
        for (std::uint64_t j = 0; j < width; ++j) row[j] = row[j] - mean[j];
      }
      then(lo, hi);
    });
  }

 private:
  const GraphView* graph_ = nullptr;
  std::uint64_t chunks_ = 0;
  Buffer<double> partials_;  // a row of column sums per chunk
  Buffer<float> means_;
  Buffer<std::uint64_t> node_rows_;
};

}  // namespace

Status check_inputs(const GraphView& graph, const EmbedSettings& s,
                    const CancelFlag* cancel) {
  const std::uint64_t dim = s.dim != 0 ? s.dim : s.j1;
  if (s.features != nullptr) {
    Status checked = check_features(*s.features, graph.num_nodes(), dim);
    if (!checked.ok()) return checked;
  }
  if (s.initial != nullptr) return ok_status();
  const CancelFlag never;
  return check_value_range(graph, s, s.features,
                           cancel != nullptr ? *cancel : never);
}

std::uint64_t feature_seed(std::uint64_t base) noexcept {
  std::uint64_t x = base ^ 0x6A09E667F3BCC909ull;
  return splitmix64_next(x);
}

Status embed_columns(const GraphView& graph, const EmbedSettings& s,
                     OutputBlock out, RunControl* control) {
  if (s.j1 <= s.j0 || s.block == 0) {
    return VelmarError::shape_mismatch("empty column range");
  }
  const std::uint64_t dim = s.dim != 0 ? s.dim : s.j1;
  if (s.j1 > dim) return VelmarError::shape_mismatch("columns beyond dim");
  RunControl local;
  RunControl& ctl = control != nullptr ? *control : local;
  const std::uint64_t n = graph.num_nodes();
  const std::uint64_t columns = s.j1 - s.j0;
  const std::uint64_t block = std::min(s.block, columns);
  if (s.step_normalize && (s.j0 != 0 || s.j1 != dim || block != columns)) {
    return VelmarError::invalid_input(
        "step normalisation couples the columns: it needs all " +
        std::to_string(dim) + " columns in one block");
  }
  const FeatureInput* features = s.features;
  if (!s.inputs_checked) {
    if (Status checked = check_inputs(graph, s, &ctl.cancel); !checked.ok()) {
      return checked;
    }
  }
  // Stored row p is node row_map[p] (checked when the view was made): it is
  // seeded, reads its features and is written as the node it is.
  const std::uint64_t* const row_map = graph.row_map();
  const std::uint64_t k = features != nullptr ? features->feature_dim : 0;
  const std::uint64_t first_feature = dim - k;
  const std::uint64_t blocks = (columns + block - 1) / block;
  const std::size_t steps = s.weights.empty() ? 0 : s.weights.size() - 1;
  ctl.total.store(blocks * (steps + 1), std::memory_order_relaxed);
  if (n == 0) {
    ctl.done.store(blocks * (steps + 1), std::memory_order_relaxed);
    return ok_status();
  }

  std::uint64_t count = 0;
  if (__builtin_mul_overflow(n, block, &count)) {
    return VelmarError::shape_mismatch("Capacity overflow");
  }
  auto cur_buf = Buffer<float>::allocate(count);
  if (!cur_buf.ok()) return std::move(cur_buf).error();
  auto next_buf = Buffer<float>::allocate(count);
  if (!next_buf.ok()) return std::move(next_buf).error();
  // Every row's generator, kept from one block to the next.
  Buffer<std::uint64_t> generators;
  if (blocks > 1) {
    if (n > UINT64_MAX / 4) {
      return VelmarError::shape_mismatch("Capacity overflow");
    }
    auto words = Buffer<std::uint64_t>::allocate(4 * n);
    if (!words.ok()) return std::move(words).error();
    generators = std::move(words).value();
  }
  // The block's result in stored row order (see the block loop).
  Buffer<float> acc_buf;
  if (row_map != nullptr) {
    auto rows = Buffer<float>::allocate(count);
    if (!rows.ok()) return std::move(rows).error();
    acc_buf = std::move(rows).value();
  }
  const std::uint64_t entries_per_row = graph.num_entries() / n + 1;
  const CancelFlag& cancel = ctl.cancel;

  // Row scales deg^beta, computed once for every block. pow in float64,
  // rounded once to float32.
  const double beta = s.normalization_strength;
  Buffer<float> scale_buf;
  if (beta != 0.0) {
    auto scales = Buffer<float>::allocate(n);
    if (!scales.ok()) return std::move(scales).error();
    scale_buf = std::move(scales).value();
    float* const scale = scale_buf.data();
    const std::uint64_t* const rp = graph.row_ptrs();
    for_rows(n, 16, cancel, [&](std::uint64_t lo, std::uint64_t hi) {
      for (std::uint64_t r = lo; r < hi; ++r) {
        const std::uint64_t deg =
            s.degrees != nullptr ? s.degrees[r] : rp[r + 1] - rp[r];
        scale[r] =
            deg == 0
                ? 1.0f
                : static_cast<float>(std::pow(static_cast<double>(deg), beta));
      }
    });
  }
  // The block of R that a column block needs: at most min(block, k) of its
  // columns, all of its rows.
  Buffer<float> r_buf;
  const std::uint64_t f = features != nullptr ? features->num_features : 0;
  if (f != 0 && k != 0) {
    std::uint64_t r_count = 0;
    if (__builtin_mul_overflow(f, std::min(block, k), &r_count)) {
      return VelmarError::shape_mismatch("Capacity overflow");
    }
    auto r = Buffer<float>::allocate(r_count);
    if (!r.ok()) return std::move(r).error();
    r_buf = std::move(r).value();
  }
  StepCenter center;
  if (s.step_center) {
    auto made = StepCenter::make(graph, block, cancel);
    if (!made.ok()) return std::move(made).error();
    center = std::move(made).value();
    if (cancel.is_raised()) return VelmarError::cancelled();
  }
  // The segments serve every block: a narrower last block reads them too.
  SegmentedGraph segments;
  const std::uint64_t segment_rows =
      s.segment_rows != 0 ? s.segment_rows
                          : segment_rows_for(n, graph.num_entries(), block);
  if (steps != 0 && segment_rows < n) {
    auto built = build_segments(graph, segment_rows, &cancel);
    if (!built.ok()) return std::move(built).error();
    segments = std::move(built).value();
  }
  const SegmentView& pieces = segments.view();
  const std::uint64_t entries_per_piece =
      pieces.num_entries / std::max<std::uint64_t>(pieces.num_pieces, 1) + 1;
  const std::uint64_t feature_base =
      features != nullptr ? feature_seed(s.base_seed) : 0;
  const std::uint64_t feature_work =
      f == 0 ? 1
             : (features->dense != nullptr ? f : features->num_entries / n + 1);

  for (std::uint64_t c0 = 0; c0 < columns; c0 += block) {
    const std::uint64_t width = std::min(block, columns - c0);
    float* cur = cur_buf->data();
    float* next = next_buf->data();
    // With a row map the block accumulates in stored row order, and its
    // rows go to the caller's rows once, at the end: a scattered write per
    // step would cost most of what the order gains.
    float* const acc = row_map != nullptr ? acc_buf.data() : out.data + c0;
    const std::uint64_t stride = row_map != nullptr ? width : out.row_stride;
    // Absolute columns [a, b): random ones below first_feature, then the
    // feature columns.
    const std::uint64_t a = s.j0 + c0;
    const std::uint64_t b = a + width;
    const std::uint64_t random_width =
        first_feature > a ? std::min(b, first_feature) - a : 0;
    const std::uint64_t feature_width = width - random_width;
    detail::FeatureBlock fb;
    if (feature_width != 0) {
      const std::uint64_t r0 = std::max(a, first_feature) - first_feature;
      float* const r = r_buf.data();
      for_rows(f, feature_width * 8, cancel,
               [&](std::uint64_t lo, std::uint64_t hi) {
                 detail::fill_projection_block(r, feature_width, feature_width,
                                               r0, lo, hi, feature_base);
               });
      fb = {features, r, feature_width, cur + random_width, width, row_map};
    }
    const float* const scale = scale_buf.data();
    // Weight i multiplies H_i; a zero weight (either sign) skips only its
    // accumulation, a NaN weight compares unequal and spreads. H_0 is added
    // while its rows are still in cache.
    const bool add_h0 = !s.weights.empty() && s.weights[0] != 0.0;
    const float w0 = add_h0 ? static_cast<float>(s.weights[0]) : 0.0f;
    // Centres the block's current matrix and adds it with weight w (none
    // when w is 0): rows are added once the whole block's means are known.
    const auto center_and_add = [&](double w, bool acc_is_zero) {
      const float wf = static_cast<float>(w);
      center.apply(cur, width, cancel, [&](std::uint64_t lo, std::uint64_t hi) {
        if (w != 0.0) {
          detail::accumulate_block_rows(acc, stride, cur, width, wf,
                                        acc_is_zero, lo, hi);
        }
      });
    };
    for_rows(n, random_width * 8 + feature_width * feature_work, cancel,
             [&](std::uint64_t lo, std::uint64_t hi) {
               if (s.initial != nullptr) {
                 copy_initial_rows(s, row_map, a, width, cur, lo, hi);
               } else {
                 if (random_width != 0) {
                   detail::fill_projection_block(
                       cur, width, random_width, a, lo, hi,
                       s.base_seed + s.row_offset,
                       detail::RowGenerators{generators.data(), c0 != 0},
                       row_map);
                 }
                 if (feature_width != 0) {
                   detail::feature_block_rows(fb, lo, hi);
                 }
                 if (scale != nullptr) {
                   detail::scale_block_rows(cur, width, width, scale, lo, hi);
                 }
               }
               if (add_h0 && !s.step_center) {
                 detail::accumulate_block_rows(acc, stride, cur, width, w0,
                                               true, lo, hi);
               }
             });
    if (s.step_center) center_and_add(add_h0 ? s.weights[0] : 0.0, true);
    bool acc_is_zero = !add_h0;
    if (cancel.is_raised()) return VelmarError::cancelled();
    ctl.done.fetch_add(1, std::memory_order_relaxed);
    for (std::size_t i = 0; i < steps; ++i) {
      detail::BlockStep step{cur, next, width};
      step.normalize = s.step_normalize;
      if (s.weights[i + 1] != 0.0 && !s.step_center) {
        step.acc = acc;
        step.acc_stride = stride;
        step.weight = static_cast<float>(s.weights[i + 1]);
        step.acc_is_zero = acc_is_zero;
        acc_is_zero = false;
      }
      if (segments.empty()) {
        for_rows(n, width * entries_per_row, cancel,
                 [&](std::uint64_t lo, std::uint64_t hi) {
                   detail::propagate_block_rows(graph, step, lo, hi);
                 });
      }
      // Segment by segment, in increasing order: each row's running sum
      // waits in `next` for its next piece.
      for (std::uint64_t g = 0; g < pieces.num_segments; ++g) {
        const std::uint64_t first = pieces.segment_begin[g];
        for_rows(pieces.segment_begin[g + 1] - first, width * entries_per_piece,
                 cancel, [&](std::uint64_t lo, std::uint64_t hi) {
                   detail::propagate_block_pieces(pieces, step, first + lo,
                                                  first + hi);
                 });
      }
      if (cancel.is_raised()) return VelmarError::cancelled();
      std::swap(cur, next);
      if (s.step_center) {
        center_and_add(s.weights[i + 1], acc_is_zero);
        if (s.weights[i + 1] != 0.0) acc_is_zero = false;
        if (cancel.is_raised()) return VelmarError::cancelled();
      }
      ctl.done.fetch_add(1, std::memory_order_relaxed);
    }
    if (acc_is_zero && out.zeroed) continue;
    if (acc_is_zero) {
      for_rows(n, width, cancel, [&](std::uint64_t lo, std::uint64_t hi) {
        for (std::uint64_t r = lo; r < hi; ++r) {
          std::fill(acc + r * stride, acc + r * stride + width, 0.0f);
        }
      });
      if (cancel.is_raised()) return VelmarError::cancelled();
    }
    if (row_map != nullptr) {
      for_rows(n, width, cancel, [&](std::uint64_t lo, std::uint64_t hi) {
        for (std::uint64_t r = lo; r < hi; ++r) {
          std::copy(acc + r * width, acc + (r + 1) * width,
                    out.data + c0 + row_map[r] * out.row_stride);
        }
      });
      if (cancel.is_raised()) return VelmarError::cancelled();
    }
  }
  return ok_status();
}

MemoryPlan plan_memory(const GraphShape& shape, std::uint64_t columns,
                       std::uint64_t block, ResultMemory result,
                       std::uint64_t workers, const OptionShape& options) {
  const auto fp = detail::footprint_bytes;
  const BuildFootprint build = build_footprint(shape, workers);
  const std::uint64_t n = shape.num_nodes;
  MemoryPlan plan;
  plan.graph_build_peak = build.peak;
  plan.graph = build.kept;
  const std::uint64_t width = std::min(block, columns);
  // A run of one block at a time computes `width` columns per call.
  const std::uint64_t per_call =
      result == ResultMemory::kPerBlock ? width : columns;
  plan.result = result == ResultMemory::kCaller ? 0 : fp(4 * n * per_call);
  plan.working = 2 * fp(4 * n * width);
  // The row generators kept between the blocks of one call.
  if (width != 0 && width < per_call) plan.working += fp(32 * n);
  if (options.reordered) plan.working += fp(4 * n * width);
  const std::uint64_t r_columns = std::min(width, options.feature_dim);
  plan.options = (options.scaled_rows && n != 0 ? fp(4 * n) : 0) +
                 (n != 0 && options.num_features * r_columns != 0
                      ? fp(4 * options.num_features * r_columns)
                      : 0);
  if (options.centered && n != 0) {
    // StepCenter: a row of float64 sums per chunk, the means, and with a
    // row map the stored row of every node.
    const std::uint64_t chunks = (n + kCenterRows - 1) / kCenterRows;
    plan.options += fp(8 * chunks * width) + fp(4 * width) +
                    (options.reordered ? fp(8 * n) : 0);
  }
  plan.inputs = options.input_copies;
  const std::uint64_t entries =
      std::max(shape.out_entries, options.opened_entries);
  const SegmentFootprint segments = segments_footprint(
      n, entries, width != 0 ? segment_rows_for(n, entries, width) : n,
      workers);
  plan.segments = segments.kept;
  // The result is allocated after the graph is built, the working matrices
  // and the options' buffers after the result, the segments after them; the
  // caller's copies exist throughout.
  plan.peak = std::max(build.peak, build.kept + plan.result + plan.working +
                                       plan.options + segments.kept +
                                       segments.scratch) +
              plan.inputs;
  return plan;
}

std::uint64_t widest_block(const GraphShape& shape, std::uint64_t columns,
                           ResultMemory result, std::uint64_t workers,
                           std::uint64_t limit, std::uint64_t max_block,
                           const OptionShape& options) {
  const auto fits = [&](std::uint64_t b) {
    return plan_memory(shape, columns, b, result, workers, options).peak <=
           limit;
  };
  if (columns == 0 || !fits(1)) return 0;
  std::uint64_t lo = 1;
  std::uint64_t hi = std::max<std::uint64_t>(std::min(columns, max_block), 1);
  while (lo < hi) {
    const std::uint64_t mid = lo + (hi - lo + 1) / 2;
    if (fits(mid)) {
      lo = mid;
    } else {
      hi = mid - 1;
    }
  }
  // As many blocks as the widest fit needs, as even as they can be.
  const std::uint64_t blocks = (columns + lo - 1) / lo;
  return (columns + blocks - 1) / blocks;
}

}  // namespace velmar
