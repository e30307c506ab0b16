// The edge-list text reader: fields, header detection, faults, the
// numbering of IDs and the streamed split agreeing with the reader.
#include "edge_text.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace velmar {
namespace {

struct Read {
  EdgeText text;
  std::vector<std::int64_t> rows, cols;
  std::vector<double> weights;
};

Read read(std::string_view text, HeaderRule rule = HeaderRule::kDetect) {
  const std::uint64_t capacity = edge_capacity(text);
  Read r;
  r.rows.resize(capacity);
  r.cols.resize(capacity);
  r.weights.resize(capacity);
  EdgeSink sink{r.rows.data(), r.cols.data(), r.weights.data(), capacity};
  auto outcome = read_edge_text(text, rule, &sink, nullptr);
  EXPECT_TRUE(outcome.ok());
  r.text = std::move(outcome.value());
  const auto first = static_cast<std::ptrdiff_t>(r.text.first_edge);
  const auto m = static_cast<std::ptrdiff_t>(r.text.layout.num_edges);
  r.rows = {r.rows.begin() + first, r.rows.begin() + first + m};
  r.cols = {r.cols.begin() + first, r.cols.begin() + first + m};
  r.weights = {r.weights.begin() + first, r.weights.begin() + first + m};
  return r;
}

std::vector<std::string> text_ids(const EdgeText& t) {
  std::vector<std::string> ids;
  for (std::uint64_t i = 0; i < t.num_nodes; ++i) {
    const std::uint64_t a = t.text_offsets.data()[i];
    const std::uint64_t b = t.text_offsets.data()[i + 1];
    ids.emplace_back(t.text_bytes.data() + a, b - a);
  }
  return ids;
}

TEST(EdgeText, IntegersAreNumberedByValue) {
  Read r =
      read("% c\n10 -3 # x\n\n+7\t10 2.5\r\n007 -3\r3 3\n", HeaderRule::kKeep);
  EXPECT_EQ(r.text.fault.problem, TextProblem::kRagged);
  r = read("% c\n10 -3 # x\n\n+7\t10\r\n007 -3\r3 3\n");
  ASSERT_EQ(r.text.fault.problem, TextProblem::kNone);
  EXPECT_EQ(r.text.layout.kind, IdKind::kInt64);
  EXPECT_EQ(r.text.layout.width, 2u);
  ASSERT_EQ(r.text.num_nodes, 4u);  // -3, 3, 7, 10
  const std::int64_t* ids = r.text.numbers.data();
  EXPECT_EQ((std::vector<std::int64_t>(ids, ids + 4)),
            (std::vector<std::int64_t>{-3, 3, 7, 10}));
  EXPECT_EQ(r.rows, (std::vector<std::int64_t>{3, 2, 2, 1}));
  EXPECT_EQ(r.cols, (std::vector<std::int64_t>{0, 3, 0, 1}));
}

TEST(EdgeText, StringsAreNumberedInByteOrder) {
  Read r = read("b,\"a, \"\"q\"\"\" ,1_0.5\n\xC3\xA9 , B,-inf\n");
  ASSERT_EQ(r.text.fault.problem, TextProblem::kNone);
  EXPECT_EQ(r.text.layout.kind, IdKind::kString);
  EXPECT_EQ(text_ids(r.text),
            (std::vector<std::string>{"B", "a, \"q\"", "b", "\xC3\xA9"}));
  EXPECT_EQ(r.text.max_chars, 6u);
  EXPECT_EQ(r.weights, (std::vector<double>{
                           10.5, -std::numeric_limits<double>::infinity()}));
  std::vector<std::uint32_t> wide(4 * 6);
  text_ids_utf32(r.text, wide.data(), 6);
  EXPECT_EQ(wide[3 * 6], 0xE9u);
  EXPECT_EQ(wide[3 * 6 + 1], 0u);
}

TEST(EdgeText, IntegersBeyond64BitsKeepTheirText) {
  Read r = read("18446744073709551616 -1\n-01 0\n");
  ASSERT_EQ(r.text.fault.problem, TextProblem::kNone);
  EXPECT_EQ(r.text.layout.kind, IdKind::kWideInt);
  EXPECT_EQ(text_ids(r.text),
            (std::vector<std::string>{"-1", "0", "18446744073709551616"}));
  r = read("18446744073709551615 1\n");
  EXPECT_EQ(r.text.layout.kind, IdKind::kUInt64);
  EXPECT_EQ(static_cast<std::uint64_t>(r.text.numbers.data()[1]), ~0ull);
}

TEST(EdgeText, HeaderDetection) {
  struct Case {
    const char* text;
    FirstLine first;
    std::uint64_t edges;
  } cases[] = {
      {"from to\n1 2\n3 4\n", FirstLine::kHeader, 2},
      {"a b\nc d\n", FirstLine::kAmbiguous, 2},
      {"a b\nb c\n", FirstLine::kEdge, 2},
      {"u v w\n1 2 0.5\n", FirstLine::kHeader, 1},
      {"src dst\n1 2 0.5\n", FirstLine::kHeader, 1},
      {"a,b\n", FirstLine::kAmbiguous, 1},
      {"nan inf\n1 2\n", FirstLine::kEdge, 2},
  };
  for (const Case& c : cases) {
    Read r = read(c.text);
    EXPECT_EQ(r.text.fault.problem, TextProblem::kNone) << c.text;
    EXPECT_EQ(r.text.layout.first, c.first) << c.text;
    EXPECT_EQ(r.text.layout.num_edges, c.edges) << c.text;
  }
}

TEST(EdgeTextErrors, FaultsNameTheLine) {
  struct Case {
    const char* text;
    TextProblem problem;
    std::uint64_t line;
  } cases[] = {
      {"# only\n\n", TextProblem::kNoEdges, 0},
      {"a b c\n", TextProblem::kNoEdgesAfterHeader, 0},
      {"1 2 3 4\n", TextProblem::kColumns, 1},
      {"1 2 1.0\n2 3\n", TextProblem::kRagged, 2},
      {"1 2 1.0\n2 3 heavy\n", TextProblem::kBadWeight, 2},
      {"0,1\n,2\n", TextProblem::kEmptyId, 2},
      {"x y\n1 2 3\n4 5 z\n", TextProblem::kBadWeight, 3},  // a header
      {"x y\na 2 3\n", TextProblem::kRagged, 2},            // an edge
      {"1 2 3 4\n\xFF\n", TextProblem::kNotUtf8, 2},
  };
  for (const Case& c : cases) {
    Read r = read(c.text);
    EXPECT_EQ(r.text.fault.problem, c.problem) << c.text;
    EXPECT_EQ(r.text.fault.line, c.line) << c.text;
  }
}

TEST(EdgeText, ScanAndSplitAgreeWithTheReader) {
  std::string text = "src,dst,w\n";
  for (int i = 0; i < 1000; ++i) {
    text.append("n").append(std::to_string(i * 7 % 101));
    text.append(", m").append(std::to_string(i % 13));
    text.append(",").append(std::to_string(i)).append("\n");
  }
  auto scan = read_edge_text(text, HeaderRule::kDetect, nullptr, nullptr);
  ASSERT_TRUE(scan.ok());
  const EdgeTextLayout& layout = scan->layout;
  EXPECT_EQ(layout.kind, IdKind::kString);
  EXPECT_EQ(layout.num_edges, 1000u);
  EXPECT_EQ(layout.first, FirstLine::kHeader);
  std::vector<std::int64_t> rows(300), cols(300);
  std::vector<double> weights(300);
  EdgeSink sink{rows.data(), cols.data(), weights.data(), 300};
  std::uint64_t offset = layout.edges_offset, line = layout.edges_line;
  std::uint64_t edges = 0;
  std::string last;
  while (offset < text.size()) {
    auto batch =
        split_edge_text(text, layout, offset, line, 300, sink, nullptr);
    ASSERT_TRUE(batch.ok());
    ASSERT_EQ(batch->fault.problem, TextProblem::kNone);
    EXPECT_EQ(weights[0], static_cast<double>(edges));
    edges += batch->count;
    last.assign(batch->targets.end() - 3, batch->targets.end());
    offset = batch->next_offset;
    line = batch->next_line;
  }
  EXPECT_EQ(edges, 1000u);
  EXPECT_EQ(last, "m11");  // 999 % 13
}

TEST(EdgeTextErrors, CancelledReadsStop) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "1 2\n";
  CancelFlag cancel;
  cancel.raised = true;
  auto outcome = read_edge_text(text, HeaderRule::kDetect, nullptr, &cancel);
  ASSERT_FALSE(outcome.ok());
  EXPECT_TRUE(outcome.error().is_cancelled());
}

}  // namespace
}  // namespace velmar
