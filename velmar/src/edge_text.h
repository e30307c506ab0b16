// Edge lists in text, read by one set of rules on every path: UTF-8 (a
// leading byte-order mark dropped), lines ended by \n, \r or \r\n, text from
// '#' or '%' to the end of a line a comment, fields separated by whitespace
// or, when the first data line holds a comma, by commas (CSV quoting), a
// header line detected only where it cannot be data, and node IDs that are
// integers of any size when every ID is one, strings otherwise.
//
// The in-memory reader numbers the IDs in sorted order (numbers by value,
// strings by their UTF-8 bytes, which is code point order); a streamed
// preparation scans the file once for its layout and then splits it into
// batches of edges whose IDs a database numbers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "buffer.h"
#include "error.h"
#include "graph.h"

namespace velmar {

// What to do with the first data line: detect a header (kDetect), always
// skip it (kSkip) or always read it as an edge (kKeep).
enum class HeaderRule : std::uint8_t { kDetect, kSkip, kKeep };

// What the first data line was read as. kAmbiguous: read as an edge, though
// it could be a header (two words that are not numbers and occur nowhere
// else in the file).
enum class FirstLine : std::uint8_t { kEdge, kHeader, kAmbiguous };

// kInt64 and kUInt64: every ID an integer that one of the two types holds;
// kWideInt: integers beyond both (their decimal text, canonical: no '+', no
// leading zeros, no "-0"); kString: any other IDs, as written.
enum class IdKind : std::uint8_t { kInt64, kUInt64, kWideInt, kString };

// Why a text is not an edge list.
enum class TextProblem : std::uint8_t {
  kNone,
  kNotUtf8,             // offset; found: the first byte of the bad sequence
  kNoEdges,             // no data line at all
  kNoEdgesAfterHeader,  // nothing after the header line
  kColumns,             // line; found: the first edge's field count
  kRagged,              // line; found, expected: field counts
  kBadWeight,           // line; token: the weight field
  kEmptyId,             // line
  kChanged,             // line: the file differs from its earlier scan
};

struct TextFault {
  TextProblem problem = TextProblem::kNone;
  std::uint64_t line = 0;  // 1-based; 0 where no line applies
  std::uint64_t offset = 0;
  std::uint64_t found = 0;
  std::uint64_t expected = 0;
  std::string token;
};

// The layout of an edge list, decided from the whole text.
struct EdgeTextLayout {
  bool comma = false;       // fields separated by commas (else whitespace)
  std::uint32_t width = 0;  // fields per edge: 2, or 3 with a weight
  FirstLine first = FirstLine::kEdge;
  // Bytes of the first data line's text (comment cut, whitespace stripped).
  std::uint64_t first_begin = 0;
  std::uint64_t first_end = 0;
  // Where the line of the first edge starts, and its number.
  std::uint64_t edges_offset = 0;
  std::uint64_t edges_line = 0;
  IdKind kind = IdKind::kInt64;
  std::uint64_t num_edges = 0;
};

// Caller memory for the edges, `capacity` entries per array: edge k's two
// node numbers and its weight (1.0 without a weight column).
struct EdgeSink {
  std::int64_t* rows = nullptr;
  std::int64_t* cols = nullptr;
  double* weights = nullptr;
  std::uint64_t capacity = 0;
};

// A read edge list. When `fault` names a problem nothing else is set. With
// a sink, the edges are its entries [first_edge, first_edge + num_edges),
// each ID numbered by its rank among the distinct IDs; the IDs themselves
// are `numbers` (kInt64, and kUInt64 as the same bits) or the texts
// text_bytes[text_offsets[i], text_offsets[i + 1]) (kString, kWideInt).
struct EdgeText {
  TextFault fault;
  EdgeTextLayout layout;
  std::uint64_t first_edge = 0;
  std::uint64_t num_nodes = 0;
  Buffer<std::int64_t> numbers;
  Buffer<std::uint64_t> text_offsets;
  Buffer<char> text_bytes;
  std::uint64_t max_chars = 0;  // code points of the longest text ID
};

// The number of lines of `text` plus one: enough entries for a sink.
std::uint64_t edge_capacity(std::string_view text) noexcept;

// Reads `text` (the whole file). Without a sink it only scans: the layout,
// the kind of the IDs and the number of edges, every line checked as
// reading checks it. Errors: OutOfMemory, Cancelled (checked every few
// thousand lines); a text that is no edge list is a fault, not an error.
Result<EdgeText> read_edge_text(std::string_view text, HeaderRule header,
                                const EdgeSink* sink, const CancelFlag* cancel);

// The text IDs of `text` as UTF-32, `width` (>= max_chars) code points per
// ID, zero-padded: num_nodes * width elements of `out`.
void text_ids_utf32(const EdgeText& text, std::uint32_t* out,
                    std::uint64_t width) noexcept;

// Edges of a scanned text, from the line starting at `offset` (numbered
// `line`): up to `max_edges` of them. Integer IDs (kInt64, kUInt64 as the
// same bits) go to the sink's rows and cols; string IDs to `sources` and
// `targets` (UTF-8 bytes, with offsets of count + 1 elements); the weights
// to the sink. next_offset and next_line say where the next batch starts
// (at the text's end when it is done).
struct EdgeTextBatch {
  TextFault fault;
  std::uint64_t count = 0;
  std::uint64_t next_offset = 0;
  std::uint64_t next_line = 0;
  std::vector<char> sources, targets;
  std::vector<std::int64_t> source_offsets, target_offsets;
};
Result<EdgeTextBatch> split_edge_text(std::string_view text,
                                      const EdgeTextLayout& layout,
                                      std::uint64_t offset, std::uint64_t line,
                                      std::uint64_t max_edges,
                                      const EdgeSink& sink,
                                      const CancelFlag* cancel);

}  // namespace velmar
