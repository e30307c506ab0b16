// libFuzzer target for the edge-list text reader: the three ways of reading
// a text (numbered in memory, scanned, split into batches) must agree.
//
// The input's first byte picks the header rule and the batch size, the rest
// is the text. Reading and scanning must find the same fault or the same
// layout; a numbered read must give node numbers in range, every node used,
// IDs strictly increasing in their order; and the batches of a streamed
// split must hold exactly the read's edges, IDs and weight bits. Any
// disagreement aborts, which libFuzzer reports with the input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "edge_text.h"

namespace {

using velmar::EdgeSink;
using velmar::EdgeText;
using velmar::IdKind;
using velmar::TextFault;
using velmar::TextProblem;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "edge_text_fuzzer: %s\n", what);
  std::abort();
}

void expect(bool ok, const char* what) {
  if (!ok) fail(what);
}

bool same_fault(const TextFault& a, const TextFault& b) {
  return a.problem == b.problem && a.line == b.line && a.offset == b.offset &&
         a.found == b.found && a.expected == b.expected && a.token == b.token;
}

std::uint64_t bits(double w) {
  std::uint64_t b;
  std::memcpy(&b, &w, sizeof b);
  return b;
}

std::string_view text_id(const EdgeText& t, std::uint64_t i) {
  const std::uint64_t a = t.text_offsets.data()[i];
  return {t.text_bytes.data() + a,
          static_cast<std::size_t>(t.text_offsets.data()[i + 1] - a)};
}

bool int_text_less(std::string_view a, std::string_view b) {
  const bool na = a[0] == '-', nb = b[0] == '-';
  if (na != nb) return na;
  if (a.size() != b.size()) return na == (a.size() > b.size());
  return na ? a > b : a < b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size == 0) return 0;
  const auto rule = static_cast<velmar::HeaderRule>(data[0] % 3);
  const std::uint64_t batch = 1 + (data[0] >> 2) % 7;
  const std::string_view text(reinterpret_cast<const char*>(data + 1),
                              size - 1);

  const std::uint64_t capacity = velmar::edge_capacity(text);
  std::vector<std::int64_t> rows(capacity), cols(capacity);
  std::vector<double> weights(capacity);
  const EdgeSink sink{rows.data(), cols.data(), weights.data(), capacity};
  auto read = velmar::read_edge_text(text, rule, &sink, nullptr);
  auto scan = velmar::read_edge_text(text, rule, nullptr, nullptr);
  expect(read.ok() && scan.ok(), "an error without memory pressure");
  const EdgeText& r = read.value();
  const EdgeText& s = scan.value();
  expect(same_fault(r.fault, s.fault), "read and scan find different faults");
  if (r.fault.problem != TextProblem::kNone) return 0;

  const auto& a = r.layout;
  const auto& b = s.layout;
  expect(a.comma == b.comma && a.width == b.width && a.first == b.first &&
             a.first_begin == b.first_begin && a.first_end == b.first_end &&
             a.edges_offset == b.edges_offset && a.edges_line == b.edges_line &&
             a.kind == b.kind && a.num_edges == b.num_edges,
         "read and scan decide different layouts");
  expect(a.width == 2 || a.width == 3, "an edge list of another width");
  expect(a.num_edges > 0 && r.first_edge + a.num_edges <= capacity,
         "edges outside the sink");

  const std::uint64_t n = r.num_nodes;
  std::vector<bool> used(n);
  for (std::uint64_t k = r.first_edge; k < r.first_edge + a.num_edges; ++k) {
    expect(rows[k] >= 0 && static_cast<std::uint64_t>(rows[k]) < n &&
               cols[k] >= 0 && static_cast<std::uint64_t>(cols[k]) < n,
           "a node number out of range");
    used[static_cast<std::uint64_t>(rows[k])] = true;
    used[static_cast<std::uint64_t>(cols[k])] = true;
  }
  for (std::uint64_t i = 0; i < n; ++i) expect(used[i], "a node without edges");
  for (std::uint64_t i = 1; i < n; ++i) {
    if (a.kind == IdKind::kInt64) {
      expect(r.numbers.data()[i - 1] < r.numbers.data()[i], "int64 order");
    } else if (a.kind == IdKind::kUInt64) {
      expect(static_cast<std::uint64_t>(r.numbers.data()[i - 1]) <
                 static_cast<std::uint64_t>(r.numbers.data()[i]),
             "uint64 order");
    } else if (a.kind == IdKind::kString) {
      expect(text_id(r, i - 1) < text_id(r, i), "string order");
    } else {
      expect(int_text_less(text_id(r, i - 1), text_id(r, i)), "integer order");
    }
  }
  if (a.kind == IdKind::kWideInt) return 0;

  // The streamed split, batch by batch, gives the same edges.
  std::vector<std::int64_t> src(batch), dst(batch);
  std::vector<double> w(batch);
  const EdgeSink part{src.data(), dst.data(), w.data(), batch};
  std::uint64_t offset = a.edges_offset, line = a.edges_line, k = r.first_edge;
  while (true) {
    auto split =
        velmar::split_edge_text(text, a, offset, line, batch, part, nullptr);
    expect(split.ok() && split->fault.problem == TextProblem::kNone,
           "the split fails where the scan did not");
    const auto& got = split.value();
    if (got.count == 0) break;
    expect(k + got.count <= r.first_edge + a.num_edges, "too many edges");
    for (std::uint64_t j = 0; j < got.count; ++j, ++k) {
      expect(bits(w[j]) == bits(weights[k]), "another weight");
      const auto rk = static_cast<std::uint64_t>(rows[k]);
      const auto ck = static_cast<std::uint64_t>(cols[k]);
      if (a.kind == IdKind::kString) {
        const auto at = [](const std::vector<char>& bytes,
                           const std::vector<std::int64_t>& offsets,
                           std::uint64_t i) {
          const auto lo = static_cast<std::size_t>(offsets[i]);
          const auto hi = static_cast<std::size_t>(offsets[i + 1]);
          return std::string_view(bytes.data() + lo, hi - lo);
        };
        expect(at(got.sources, got.source_offsets, j) == text_id(r, rk) &&
                   at(got.targets, got.target_offsets, j) == text_id(r, ck),
               "another string ID");
      } else {
        expect(src[j] == r.numbers.data()[rk] && dst[j] == r.numbers.data()[ck],
               "another integer ID");
      }
    }
    offset = got.next_offset;
    line = got.next_line;
  }
  expect(k == r.first_edge + a.num_edges, "too few edges");
  return 0;
}
