// The edge-list text reader of edge_text.h: lines, fields, the syntax of
// numbers, header detection and the numbering of node IDs.
#include "edge_text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <numeric>
#include <optional>
#include <utility>

namespace velmar {
namespace {

// ---- characters ------------------------------------------------------------

// What the line scan stops at.
enum : std::uint8_t { kPlain = 0, kLineEnd = 1, kComment = 2, kHigh = 3 };

constexpr std::array<std::uint8_t, 256> make_line_classes() {
  std::array<std::uint8_t, 256> c{};
  c['\n'] = kLineEnd;
  c['\r'] = kLineEnd;
  c['#'] = kComment;
  c['%'] = kComment;
  for (int b = 0x80; b < 0x100; ++b) c[static_cast<std::size_t>(b)] = kHigh;
  return c;
}
constexpr auto kLineClass = make_line_classes();

// The ASCII characters Python's str.isspace() accepts.
constexpr std::array<bool, 128> make_ascii_space() {
  std::array<bool, 128> s{};
  for (char c : {'\t', '\n', '\v', '\f', '\r', ' '}) {
    s[static_cast<std::size_t>(c)] = true;
  }
  for (int c = 0x1c; c <= 0x1f; ++c) s[static_cast<std::size_t>(c)] = true;
  return s;
}
constexpr auto kAsciiSpace = make_ascii_space();

inline unsigned char byte_at(const char* p) {
  return static_cast<unsigned char>(*p);
}

// Bytes of the whitespace character (as str.isspace() sees it) starting at
// p < e in valid UTF-8, or 0: U+0085, U+00A0, U+1680, U+2000..U+200A,
// U+2028, U+2029, U+202F, U+205F and U+3000 beyond ASCII.
inline std::size_t space_at(const char* p, const char* e) {
  const unsigned char c = byte_at(p);
  if (c < 0x80) return kAsciiSpace[c] ? 1 : 0;
  if (c == 0xC2) {
    return e - p >= 2 && (byte_at(p + 1) == 0x85 || byte_at(p + 1) == 0xA0) ? 2
                                                                            : 0;
  }
  if (c < 0xE1 || c > 0xE3 || e - p < 3) return 0;
  const unsigned char c1 = byte_at(p + 1), c2 = byte_at(p + 2);
  if (c == 0xE1) return c1 == 0x9A && c2 == 0x80 ? 3 : 0;
  if (c == 0xE3) return c1 == 0x80 && c2 == 0x80 ? 3 : 0;
  if (c1 == 0x80) {
    return c2 <= 0x8A || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF ? 3 : 0;
  }
  return c1 == 0x81 && c2 == 0x9F ? 3 : 0;
}

// Bytes of the whitespace character ending at e > b, or 0.
inline std::size_t space_before(const char* b, const char* e) {
  const unsigned char c = byte_at(e - 1);
  if (c < 0x80) return kAsciiSpace[c] ? 1 : 0;
  // Lead bytes never occur as continuation bytes: a whole match of the
  // right length ending at e is a character (and ASCII whitespace at e - 3
  // is none of its bytes).
  if (e - b >= 2 && space_at(e - 2, e) == 2) return 2;
  if (e - b >= 3 && space_at(e - 3, e) == 3) return 3;
  return 0;
}

inline std::string_view strip(const char* b, const char* e) {
  while (b < e) {
    const std::size_t n = space_at(b, e);
    if (n == 0) break;
    b += n;
  }
  while (e > b) {
    const std::size_t n = space_before(b, e);
    if (n == 0) break;
    e -= n;
  }
  return {b, static_cast<std::size_t>(e - b)};
}

// Where the first invalid UTF-8 sequence (as Python's strict decoder sees
// it: no overlong forms, no surrogates, nothing above U+10FFFF) starts in
// [p, e), or nullptr.
const char* invalid_utf8(const char* p, const char* e) {
  while (p < e) {
    const unsigned char c = byte_at(p);
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t n;
    unsigned char lo = 0x80, hi = 0xBF;  // the second byte's range
    if (c >= 0xC2 && c <= 0xDF) {
      n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return p;
    }
    if (e - p < static_cast<std::ptrdiff_t>(n)) return p;
    if (byte_at(p + 1) < lo || byte_at(p + 1) > hi) return p;
    for (std::size_t k = 2; k < n; ++k) {
      if ((byte_at(p + k) & 0xC0) != 0x80) return p;
    }
    p += n;
  }
  return nullptr;
}

inline std::uint64_t code_points(std::string_view s) {
  std::uint64_t count = 0;
  for (char ch : s) count += (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
  return count;
}

// ---- lines -----------------------------------------------------------------

// One line holding data: its text with the comment cut and the whitespace
// stripped (never empty), its number and where the physical line starts.
struct DataLine {
  std::string_view text;
  std::uint64_t number = 0;
  std::uint64_t start = 0;
};

// Lines of the text from a given line start; blank and comment-only lines
// are passed over, every byte of every line is checked as UTF-8.
class Lines {
 public:
  Lines(std::string_view text, std::uint64_t offset, std::uint64_t line,
        const CancelFlag* cancel)
      : base_(text.data()),
        pos_(text.data() + offset),
        end_(text.data() + text.size()),
        line_(line),
        cancel_(cancel) {}

  // The next data line; false at the end, on invalid UTF-8 (fault()) or
  // when cancelled (cancelled()).
  bool next(DataLine& out) {
    while (pos_ < end_) {
      if ((line_ & 0xFFF) == 0 && cancel_ != nullptr && cancel_->is_raised()) {
        cancelled_ = true;
        return false;
      }
      const char* begin = pos_;
      const char* p = pos_;
      const char* cut = nullptr;
      bool high = false;
      for (; p < end_; ++p) {
        const std::uint8_t c = kLineClass[byte_at(p)];
        if (c == kPlain) continue;
        if (c == kLineEnd) break;
        if (c == kComment) {
          if (cut == nullptr) cut = p;
        } else {
          high = true;
        }
      }
      const char* line_end = p;
      if (p < end_) p += (*p == '\r' && p + 1 < end_ && p[1] == '\n') ? 2 : 1;
      pos_ = p;
      const std::uint64_t number = line_++;
      if (high) {
        if (const char* bad = invalid_utf8(begin, line_end)) {
          fault_.problem = TextProblem::kNotUtf8;
          fault_.line = number;
          fault_.offset = static_cast<std::uint64_t>(bad - base_);
          fault_.found = byte_at(bad);
          return false;
        }
      }
      const std::string_view text =
          strip(begin, cut != nullptr ? cut : line_end);
      if (text.empty()) continue;
      out.text = text;
      out.number = number;
      out.start = static_cast<std::uint64_t>(begin - base_);
      return true;
    }
    return false;
  }

  // After a fault found elsewhere: the first invalid UTF-8 in the rest of
  // the text, which Python's decoding of the whole file would report first.
  void check_rest() {
    if (const char* bad = invalid_utf8(pos_, end_)) {
      fault_ = {};
      fault_.problem = TextProblem::kNotUtf8;
      fault_.offset = static_cast<std::uint64_t>(bad - base_);
      fault_.found = byte_at(bad);
      for (const char* p = pos_; p < bad; ++p) {
        if (*p == '\n' || (*p == '\r' && (p + 1 == end_ || p[1] != '\n'))) {
          ++line_;
        }
      }
      fault_.line = line_;
    }
  }

  const TextFault& fault() const { return fault_; }
  TextFault& fault() { return fault_; }
  bool cancelled() const { return cancelled_; }
  std::uint64_t offset() const {
    return static_cast<std::uint64_t>(pos_ - base_);
  }
  std::uint64_t line() const { return line_; }

 private:
  const char* base_;
  const char* pos_;
  const char* end_;
  std::uint64_t line_;
  const CancelFlag* cancel_;
  TextFault fault_;
  bool cancelled_ = false;
};

// ---- fields ----------------------------------------------------------------

// The fields of one data line: the first three (whitespace stripped) and
// how many there are. A field that CSV unquoting changed lives in the
// splitter's scratch until the next line is split.
struct Fields {
  std::array<std::string_view, 3> field;
  std::array<bool, 3> scratch{};
  std::uint32_t count = 0;
};

class Splitter {
 public:
  explicit Splitter(bool comma) : comma_(comma) {}

  void split(std::string_view line, Fields& f) {
    f.count = 0;
    f.scratch = {};
    if (comma_) {
      split_csv(line, f);
    } else {
      split_words(line, f);
    }
  }

 private:
  // str.split(): runs of whitespace separate the fields.
  static void split_words(std::string_view line, Fields& f) {
    const char* p = line.data();
    const char* e = p + line.size();
    while (p < e) {
      while (p < e) {
        const std::size_t n = space_at(p, e);
        if (n == 0) break;
        p += n;
      }
      if (p == e) break;
      const char* start = p;
      while (p < e && space_at(p, e) == 0) ++p;
      if (f.count < 3)
        f.field[f.count] = {start, static_cast<std::size_t>(p - start)};
      ++f.count;
    }
  }

  // The csv module's reading of one line (skipinitialspace, double quotes
  // doubled inside quotes, not strict), each field then stripped.
  void split_csv(std::string_view line, Fields& f) {
    const char* p = line.data();
    const char* e = p + line.size();
    while (true) {
      while (p < e && *p == ' ') ++p;
      std::string_view raw;
      bool copied = false;
      const std::size_t k = f.count;
      if (p < e && *p == '"') {
        ++p;
        const char* start = p;
        const char* q = static_cast<const char*>(
            std::memchr(p, '"', static_cast<std::size_t>(e - p)));
        const char* after = q == nullptr ? e : q + 1;
        if (q == nullptr || after == e || *after == ',') {
          // "text" alone: the field is the text between the quotes.
          raw = {start,
                 static_cast<std::size_t>((q == nullptr ? e : q) - start)};
          p = after;
        } else {
          std::string& s = k < 3 ? scratch_[k] : spare_;
          s.clear();
          while (true) {
            q = static_cast<const char*>(
                std::memchr(p, '"', static_cast<std::size_t>(e - p)));
            if (q == nullptr) {  // no closing quote: the rest of the line
              s.append(p, e);
              p = e;
              break;
            }
            s.append(p, q);
            p = q + 1;
            if (p < e && *p == '"') {  // a doubled quote is one quote
              s.push_back('"');
              ++p;
              continue;
            }
            // After the closing quote, text up to the comma is kept as is.
            const char* comma = static_cast<const char*>(
                std::memchr(p, ',', static_cast<std::size_t>(e - p)));
            const char* stop = comma == nullptr ? e : comma;
            s.append(p, stop);
            p = stop;
            break;
          }
          raw = s;
          copied = true;
        }
      } else {
        const char* comma = static_cast<const char*>(
            std::memchr(p, ',', static_cast<std::size_t>(e - p)));
        const char* stop = comma == nullptr ? e : comma;
        raw = {p, static_cast<std::size_t>(stop - p)};
        p = stop;
      }
      if (k < 3) {
        f.field[k] = strip(raw.data(), raw.data() + raw.size());
        f.scratch[k] = copied;
      }
      ++f.count;
      if (p >= e) break;
      ++p;  // the comma; a field follows it, empty at the end of the line
      if (p == e) {
        if (f.count < 3) f.field[f.count] = {};
        ++f.count;
        break;
      }
    }
  }

  bool comma_;
  std::array<std::string, 3> scratch_;
  std::string spare_;
};

// ---- numbers ---------------------------------------------------------------

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// An integer as the package's reader sees one: [+-]?[0-9]+.
struct IntToken {
  bool ok = false;        // the syntax
  bool negative = false;  // the value is below zero
  bool fits_int64 = false;
  bool fits_uint64 = false;
  std::uint64_t bits = 0;  // the value, when it fits either type
};

IntToken parse_int(std::string_view s) {
  IntToken t;
  std::size_t i = 0;
  bool minus = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    minus = s[0] == '-';
    i = 1;
  }
  if (i == s.size()) return t;
  for (std::size_t k = i; k < s.size(); ++k) {
    if (!is_digit(s[k])) return t;
  }
  t.ok = true;
  while (i + 1 < s.size() && s[i] == '0') ++i;
  std::uint64_t magnitude = 0;
  const auto [end, ec] =
      std::from_chars(s.data() + i, s.data() + s.size(), magnitude);
  (void)end;
  const bool fits = ec == std::errc();
  t.negative = minus && (!fits || magnitude != 0);
  if (!fits) return t;
  constexpr std::uint64_t kTop = std::uint64_t{1} << 63;
  if (t.negative) {
    t.fits_int64 = magnitude <= kTop;
    t.bits = ~magnitude + 1;  // two's complement of the magnitude
  } else {
    t.fits_int64 = magnitude < kTop;
    t.fits_uint64 = true;
    t.bits = magnitude;
  }
  return t;
}

// The canonical decimal text of an integer token: no '+', no leading zeros,
// "0" for any zero.
std::string canonical_int(std::string_view s) {
  std::string out;
  std::size_t i = 0;
  bool minus = false;
  if (s[0] == '+' || s[0] == '-') {
    minus = s[0] == '-';
    i = 1;
  }
  while (i + 1 < s.size() && s[i] == '0') ++i;
  if (minus && s.substr(i) != "0") out.push_back('-');
  out.append(s.substr(i));
  return out;
}

// Numeric order of canonical integer texts.
bool int_text_less(std::string_view a, std::string_view b) {
  const bool na = a[0] == '-', nb = b[0] == '-';
  if (na != nb) return na;
  if (a.size() != b.size())
    return na ? a.size() > b.size() : a.size() < b.size();
  return na ? a > b : a < b;
}

bool equal_nocase(std::string_view s, std::string_view lower) {
  if (s.size() != lower.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// Digits with single underscores between them, from s[i]; false when there
// is no digit.
bool digit_part(std::string_view s, std::size_t& i) {
  if (i >= s.size() || !is_digit(s[i])) return false;
  ++i;
  while (i < s.size()) {
    if (is_digit(s[i])) {
      ++i;
    } else if (s[i] == '_' && i + 1 < s.size() && is_digit(s[i + 1])) {
      i += 2;
    } else {
      break;
    }
  }
  return true;
}

// A value beyond the double range: whether its magnitude is large (else it
// is below the smallest subnormal). `digits` is the number without sign and
// underscores, in decimal.
bool overflows(std::string_view digits) {
  std::int64_t magnitude = 0;  // position of the first nonzero digit
  bool seen = false;
  std::size_t i = 0;
  std::int64_t before_point = 0;
  for (; i < digits.size() && is_digit(digits[i]); ++i) {
    if (digits[i] != '0') seen = true;
    if (seen) ++before_point;
  }
  magnitude = before_point;
  if (!seen && i < digits.size() && digits[i] == '.') {
    for (++i; i < digits.size() && digits[i] == '0'; ++i) --magnitude;
  }
  const std::size_t exp = digits.find_first_of("eE");
  std::int64_t e = 0;
  if (exp != std::string_view::npos) {
    std::size_t k = exp + 1;
    const bool minus = k < digits.size() && digits[k] == '-';
    if (k < digits.size() && (digits[k] == '+' || digits[k] == '-')) ++k;
    for (; k < digits.size(); ++k) {
      e = std::min<std::int64_t>(e * 10 + (digits[k] - '0'), 1'000'000'000);
    }
    if (minus) e = -e;
  }
  return magnitude + e > 0;
}

// Python's float() of a stripped field: [+-] then digits with optional
// underscores, a point and an exponent, or inf, infinity or nan in any case.
std::optional<double> python_float(std::string_view s, std::string& tmp) {
  std::size_t i = 0;
  bool minus = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    minus = s[0] == '-';
    i = 1;
  }
  const std::string_view rest = s.substr(i);
  if (equal_nocase(rest, "inf") || equal_nocase(rest, "infinity")) {
    return minus ? -std::numeric_limits<double>::infinity()
                 : std::numeric_limits<double>::infinity();
  }
  if (equal_nocase(rest, "nan")) {
    return std::copysign(std::numeric_limits<double>::quiet_NaN(),
                         minus ? -1.0 : 1.0);
  }
  const bool whole = digit_part(s, i);
  if (i < s.size() && s[i] == '.') {
    ++i;
    if (!digit_part(s, i) && !whole) return std::nullopt;
  } else if (!whole) {
    return std::nullopt;
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (!digit_part(s, i)) return std::nullopt;
  }
  if (i != s.size()) return std::nullopt;
  std::string_view digits = s.substr(minus || s[0] == '+' ? 1 : 0);
  if (digits.find('_') != std::string_view::npos) {
    tmp.clear();
    for (char c : digits) {
      if (c != '_') tmp.push_back(c);
    }
    digits = tmp;
  }
  double value = 0.0;
#if defined(__cpp_lib_to_chars)
  const auto [end, ec] =
      std::from_chars(digits.data(), digits.data() + digits.size(), value);
  (void)end;
  if (ec == std::errc::result_out_of_range) {
    value = overflows(digits) ? std::numeric_limits<double>::infinity() : 0.0;
  }
#else
  // Without from_chars for doubles (older macOS): strtod, correctly rounded
  // and saturating, in the C locale the package never changes.
  const std::string copy(digits);
  value = std::strtod(copy.c_str(), nullptr);
  (void)overflows;
#endif
  return minus ? -value : value;
}

// ---- numbering -------------------------------------------------------------

inline std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ULL;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBULL;
  x ^= x >> 31;
  return x;
}

inline std::uint64_t hash_bytes(std::string_view s) {
  std::uint64_t h = 0x9E3779B97F4A7C15ULL ^ (s.size() * 0xC2B2AE3D27D4EB4FULL);
  const char* p = s.data();
  std::size_t n = s.size();
  while (n >= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * 0x9E3779B97F4A7C15ULL;
    h ^= h >> 29;
    p += 8;
    n -= 8;
  }
  std::uint64_t w = 0;
  std::memcpy(&w, p, n);
  return mix(h ^ w);
}

// An array that grows by doubling, every reservation fallible.
template <class T>
class Pile {
 public:
  Status push(const T& v) {
    if (size_ == buf_.size()) {
      auto bigger =
          Buffer<T>::allocate(std::max<std::uint64_t>(1024, 2 * size_));
      if (!bigger.ok()) return std::move(bigger.error());
      if (size_ != 0)
        std::memcpy(bigger->data(), buf_.data(), size_ * sizeof(T));
      buf_ = std::move(bigger.value());
    }
    buf_.data()[size_++] = v;
    return ok_status();
  }
  T* data() { return buf_.data(); }
  const T* data() const { return buf_.data(); }
  std::uint64_t size() const { return size_; }

 private:
  Buffer<T> buf_;
  std::uint64_t size_ = 0;
};

// Open addressing with linear probing over slots of W words. Word 1 holds
// a key's code + 1 (0: an empty slot; the top byte is the caller's), word 0
// what places the key again when the table grows (Home maps it to the
// hash), the other words whatever the caller compares keys by.
template <std::size_t W, class Home>
class CodeTable {
 public:
  static constexpr std::uint64_t kCodeMask = (std::uint64_t{1} << 56) - 1;

  // The slot that `match` accepts on the probe sequence of `hash`, or the
  // empty slot where the key belongs.
  template <class Match>
  std::uint64_t* find(std::uint64_t hash, Match&& match) {
    std::uint64_t i = hash & mask_;
    while (true) {
      std::uint64_t* slot = slots_.data() + W * i;
      if (slot[1] == 0 || match(slot)) return slot;
      i = (i + 1) & mask_;
    }
  }
  static std::uint64_t code(const std::uint64_t* slot) {
    return (slot[1] & kCodeMask) - 1;
  }
  void prefetch(std::uint64_t hash) const {
#if defined(__GNUC__)
    __builtin_prefetch(slots_.data() + W * (hash & mask_));
#else
    (void)hash;
#endif
  }
  // After the caller filled the empty slot find() gave it: grows the table
  // (which moves every slot) once it is half full.
  Status added() {
    if (++used_ * 2 <= mask_ + 1) return ok_status();
    return resize(2 * (mask_ + 1));
  }
  Status init() { return resize(std::uint64_t{1} << 12); }

 private:
  Status resize(std::uint64_t capacity) {
    auto fresh = Buffer<std::uint64_t>::allocate(W * capacity);
    if (!fresh.ok()) return std::move(fresh.error());
    const std::uint64_t old = slots_.size() / W;
    const std::uint64_t mask = capacity - 1;
    std::uint64_t* to = fresh->data();
    for (std::uint64_t i = 0; i < old; ++i) {
      const std::uint64_t* s = slots_.data() + W * i;
      if (s[1] == 0) continue;
      std::uint64_t j = Home{}(s[0]) & mask;
      while (to[W * j + 1] != 0) j = (j + 1) & mask;
      std::memcpy(to + W * j, s, W * sizeof(std::uint64_t));
    }
    slots_ = std::move(fresh.value());
    mask_ = mask;
    return ok_status();
  }

  Buffer<std::uint64_t> slots_;
  std::uint64_t mask_ = 0;
  std::uint64_t used_ = 0;
};

// The last few edges of a numbering, whose slots are being fetched: the
// tables are far larger than a cache, and looking each ID up at once would
// wait for memory once per ID, while a lookup started this many edges ahead
// overlaps with the others.
template <class Entry>
class Ahead {
 public:
  static constexpr std::size_t kSize = 16;
  bool full() const { return count_ == kSize; }
  bool empty() const { return count_ == 0; }
  void push(const Entry& e) { ring_[(head_ + count_++) % kSize] = e; }
  Entry pop() {
    const Entry e = ring_[head_];
    head_ = (head_ + 1) % kSize;
    --count_;
    return e;
  }
  // Queues e, and settles the oldest edge once kSize are queued.
  template <class Settle>
  Status add(const Entry& e, Settle&& settle) {
    push(e);
    return full() ? settle(pop()) : ok_status();
  }
  // Settles every queued edge, oldest first.
  template <class Settle>
  Status drain(Settle&& settle) {
    while (!empty()) {
      if (Status done = settle(pop()); !done.ok()) return done;
    }
    return ok_status();
  }

 private:
  std::array<Entry, kSize> ring_{};
  std::size_t head_ = 0, count_ = 0;
};

struct MixHome {
  std::uint64_t operator()(std::uint64_t key) const { return mix(key); }
};
struct HashHome {
  std::uint64_t operator()(std::uint64_t hash) const { return hash; }
};

// What a pass does with each edge. kRestart: the numbering cannot go on as
// it started (an ID that is no 64-bit integer in the integer numbering).
enum class Step { kGo, kRestart };

// Counts the edges and the kinds of their IDs: the scan of a streamed
// preparation.
class ScanNumbering {
 public:
  Result<Step> edge(std::uint64_t, std::string_view s, std::string_view t, bool,
                    bool, double) {
    note(s);
    note(t);
    return Step::kGo;
  }
  IdKind kind() const {
    if (!all_int_) return IdKind::kString;
    if (!above_int64_) return IdKind::kInt64;
    if (!negative_ && !above_uint64_) return IdKind::kUInt64;
    return IdKind::kWideInt;
  }

 private:
  void note(std::string_view id) {
    if (!all_int_) return;
    const IntToken t = parse_int(id);
    if (!t.ok) {
      all_int_ = false;
      return;
    }
    negative_ |= t.negative;
    above_int64_ |= !t.fits_int64;
    above_uint64_ |= !t.negative && !t.fits_uint64;
  }
  bool all_int_ = true, negative_ = false, above_int64_ = false,
       above_uint64_ = false;
};

// Numbers 64-bit integer IDs by value; restarts on any other ID.
class IntNumbering {
 public:
  explicit IntNumbering(const EdgeSink& sink) : sink_(sink) {}
  Status init() { return table_.init(); }

  Result<Step> edge(std::uint64_t k, std::string_view s, std::string_view t,
                    bool, bool, double w) {
    const IntToken a = parse_int(s), b = parse_int(t);
    if (!a.ok || !a.fits_int64 || !b.ok || !b.fits_int64) return Step::kRestart;
    const Pending e{k, a.bits, b.bits, mix(a.bits), mix(b.bits), w};
    table_.prefetch(e.hs);
    table_.prefetch(e.ht);
    Status done = ahead_.add(e, [this](const Pending& p) { return settle(p); });
    if (!done.ok()) return std::move(done.error());
    return Step::kGo;
  }

  // Ranks the distinct values and renumbers edges [first, first + m).
  Status finish(EdgeText& out, std::uint64_t first, std::uint64_t m) {
    Status done = ahead_.drain([this](const Pending& p) { return settle(p); });
    if (!done.ok()) return done;
    const std::uint64_t d = values_.size();
    auto order = Buffer<std::uint64_t>::allocate(d);
    if (!order.ok()) return std::move(order.error());
    std::iota(order->data(), order->data() + d, std::uint64_t{0});
    const std::int64_t* v = values_.data();
    std::sort(order->data(), order->data() + d,
              [v](std::uint64_t a, std::uint64_t b) { return v[a] < v[b]; });
    auto rank = Buffer<std::int64_t>::allocate(d);
    if (!rank.ok()) return std::move(rank.error());
    auto numbers = Buffer<std::int64_t>::allocate(d);
    if (!numbers.ok()) return std::move(numbers.error());
    for (std::uint64_t r = 0; r < d; ++r) {
      rank->data()[order->data()[r]] = static_cast<std::int64_t>(r);
      numbers->data()[r] = v[order->data()[r]];
    }
    renumber(sink_, rank->data(), first, m);
    out.num_nodes = d;
    out.numbers = std::move(numbers.value());
    out.layout.kind = IdKind::kInt64;
    return ok_status();
  }

  static void renumber(const EdgeSink& sink, const std::int64_t* rank,
                       std::uint64_t first, std::uint64_t m) {
    for (std::uint64_t k = first; k < first + m; ++k) {
      sink.rows[k] = rank[sink.rows[k]];
      sink.cols[k] = rank[sink.cols[k]];
    }
  }

 private:
  struct Pending {
    std::uint64_t k, s, t, hs, ht;
    double w;
  };

  Status settle(const Pending& e) {
    auto cs = code(e.s, e.hs);
    if (!cs.ok()) return std::move(cs.error());
    auto ct = code(e.t, e.ht);
    if (!ct.ok()) return std::move(ct.error());
    sink_.rows[e.k] = cs.value();
    sink_.cols[e.k] = ct.value();
    sink_.weights[e.k] = e.w;
    return ok_status();
  }

  Result<std::int64_t> code(std::uint64_t bits, std::uint64_t hash) {
    // The value is its own slot's key: one memory access per ID.
    std::uint64_t* slot =
        table_.find(hash, [&](const std::uint64_t* s) { return s[0] == bits; });
    if (slot[1] != 0) return static_cast<std::int64_t>(Table::code(slot));
    Status pushed = values_.push(static_cast<std::int64_t>(bits));
    if (!pushed.ok()) return std::move(pushed.error());
    slot[0] = bits;
    slot[1] = values_.size();
    pushed = table_.added();
    if (!pushed.ok()) return std::move(pushed.error());
    return static_cast<std::int64_t>(values_.size() - 1);
  }

  using Table = CodeTable<2, MixHome>;
  EdgeSink sink_;
  Table table_;
  Pile<std::int64_t> values_;
  Ahead<Pending> ahead_;
};

// Numbers IDs by their text: strings in byte order, or, when every ID is an
// integer, by value (IDs such as "7", "07" and "+7" being one node).
class TextNumbering {
 public:
  explicit TextNumbering(const EdgeSink& sink) : sink_(sink) {}
  Status init() { return table_.init(); }

  Result<Step> edge(std::uint64_t k, std::string_view s, std::string_view t,
                    bool s_scratch, bool t_scratch, double w) {
    const Pending e{k, s, t, hash_bytes(s), hash_bytes(t), w};
    if (s_scratch || t_scratch) {
      // Text that the next line overwrites: numbered at once, and copied.
      auto cs = code(s, e.hs, s_scratch);
      if (!cs.ok()) return std::move(cs.error());
      auto ct = code(t, e.ht, t_scratch);
      if (!ct.ok()) return std::move(ct.error());
      sink_.rows[k] = cs.value();
      sink_.cols[k] = ct.value();
      sink_.weights[k] = w;
      return Step::kGo;
    }
    table_.prefetch(e.hs);
    table_.prefetch(e.ht);
    Status done = ahead_.add(e, [this](const Pending& p) { return settle(p); });
    if (!done.ok()) return std::move(done.error());
    return Step::kGo;
  }

  Status finish(EdgeText& out, std::uint64_t first, std::uint64_t m) {
    Status done = ahead_.drain([this](const Pending& p) { return settle(p); });
    if (!done.ok()) return done;
    const std::uint64_t d = keys_.size();
    auto order = Buffer<std::uint64_t>::allocate(d);
    if (!order.ok()) return std::move(order.error());
    std::uint64_t* ord = order->data();
    std::iota(ord, ord + d, std::uint64_t{0});
    auto rank = Buffer<std::int64_t>::allocate(d);
    if (!rank.ok()) return std::move(rank.error());
    std::int64_t* rk = rank->data();
    const std::string_view* key = keys_.data();
    std::vector<std::string> canonical;  // integer IDs only
    std::vector<std::string_view> ids;   // the node IDs, in node order
    if (all_int_) {
      canonical.reserve(d);
      for (std::uint64_t c = 0; c < d; ++c) {
        canonical.push_back(canonical_int(key[c]));
      }
      std::sort(ord, ord + d, [&](std::uint64_t a, std::uint64_t b) {
        return int_text_less(canonical[a], canonical[b]);
      });
      std::int64_t r = -1;
      for (std::uint64_t i = 0; i < d; ++i) {
        if (i == 0 || canonical[ord[i]] != canonical[ord[i - 1]]) {
          ++r;
          ids.push_back(canonical[ord[i]]);
        }
        rk[ord[i]] = r;
      }
    } else {
      // Byte order, decided by the first eight bytes (big-endian, so that
      // integers compare as the bytes do) where they differ: the keys lie
      // all over the text, their prefixes in one array.
      auto prefix = Buffer<std::uint64_t>::allocate(d);
      if (!prefix.ok()) return std::move(prefix.error());
      std::uint64_t* pre = prefix->data();
      for (std::uint64_t c = 0; c < d; ++c) {
        unsigned char bytes[8] = {};
        std::memcpy(bytes, key[c].data(),
                    std::min<std::size_t>(8, key[c].size()));
        std::uint64_t v = 0;
        for (unsigned char byte : bytes) v = (v << 8) | byte;
        pre[c] = v;
      }
      std::sort(ord, ord + d, [key, pre](std::uint64_t a, std::uint64_t b) {
        if (pre[a] != pre[b]) return pre[a] < pre[b];
        return key[a] < key[b];
      });
      ids.reserve(d);
      for (std::uint64_t i = 0; i < d; ++i) {
        rk[ord[i]] = static_cast<std::int64_t>(i);
        ids.push_back(key[ord[i]]);
      }
    }
    IntNumbering::renumber(sink_, rk, first, m);
    const std::uint64_t n = ids.size();
    out.num_nodes = n;
    if (all_int_) {
      ScanNumbering kinds;
      for (std::string_view id : ids)
        (void)kinds.edge(0, id, id, false, false, 0.0);
      out.layout.kind = kinds.kind();
      if (out.layout.kind != IdKind::kWideInt) {
        auto numbers = Buffer<std::int64_t>::allocate(n);
        if (!numbers.ok()) return std::move(numbers.error());
        for (std::uint64_t i = 0; i < n; ++i) {
          numbers->data()[i] =
              static_cast<std::int64_t>(parse_int(ids[i]).bits);
        }
        out.numbers = std::move(numbers.value());
        return ok_status();
      }
    } else {
      out.layout.kind = IdKind::kString;
    }
    std::uint64_t bytes = 0;
    for (std::string_view id : ids) bytes += id.size();
    auto offsets = Buffer<std::uint64_t>::allocate(n + 1);
    if (!offsets.ok()) return std::move(offsets.error());
    auto text = Buffer<char>::allocate(bytes);
    if (!text.ok()) return std::move(text.error());
    std::uint64_t at = 0;
    for (std::uint64_t i = 0; i < n; ++i) {
      offsets->data()[i] = at;
      if (!ids[i].empty())
        std::memcpy(text->data() + at, ids[i].data(), ids[i].size());
      at += ids[i].size();
      out.max_chars = std::max(out.max_chars, code_points(ids[i]));
    }
    offsets->data()[n] = at;
    out.text_offsets = std::move(offsets.value());
    out.text_bytes = std::move(text.value());
    return ok_status();
  }

 private:
  struct Pending {
    std::uint64_t k;
    std::string_view s, t;
    std::uint64_t hs, ht;
    double w;
  };

  Status settle(const Pending& e) {
    auto cs = code(e.s, e.hs, false);
    if (!cs.ok()) return std::move(cs.error());
    auto ct = code(e.t, e.ht, false);
    if (!ct.ok()) return std::move(ct.error());
    sink_.rows[e.k] = cs.value();
    sink_.cols[e.k] = ct.value();
    sink_.weights[e.k] = e.w;
    return ok_status();
  }

  Result<std::int64_t> code(std::string_view id, std::uint64_t h,
                            bool scratch) {
    if (all_int_ && !parse_int(id).ok) all_int_ = false;
    // Keys of up to 16 bytes are compared in the slot itself (zero-padded,
    // with their length), longer ones through the list of keys.
    const std::uint64_t size = std::min<std::uint64_t>(id.size(), 17);
    std::uint64_t inline_key[2] = {0, 0};
    if (size <= 16) std::memcpy(inline_key, id.data(), id.size());
    const std::string_view* key = keys_.data();
    std::uint64_t* slot = table_.find(h, [&](const std::uint64_t* s) {
      if (s[0] != h || (s[1] >> 56) != size) return false;
      if (size <= 16) return s[2] == inline_key[0] && s[3] == inline_key[1];
      return key[Table::code(s)] == id;
    });
    if (slot[1] != 0) return static_cast<std::int64_t>(Table::code(slot));
    if (scratch) {  // unquoted CSV text: keep a copy the next line cannot touch
      kept_.emplace_back(id);
      id = kept_.back();
    }
    Status pushed = keys_.push(id);
    if (!pushed.ok()) return std::move(pushed.error());
    slot[0] = h;
    slot[1] = keys_.size() | (size << 56);
    slot[2] = inline_key[0];
    slot[3] = inline_key[1];
    pushed = table_.added();
    if (!pushed.ok()) return std::move(pushed.error());
    return static_cast<std::int64_t>(keys_.size() - 1);
  }

  using Table = CodeTable<4, HashHome>;
  EdgeSink sink_;
  Table table_;
  Pile<std::string_view> keys_;
  std::deque<std::string> kept_;  // never moved, so views into it stay valid
  Ahead<Pending> ahead_;
  bool all_int_ = true;
};

// ---- the pass over the text ------------------------------------------------

// A copy of the first data line's fields, which later lines must not
// overwrite.
struct FirstFields {
  std::array<std::string, 3> field;
  std::uint32_t count = 0;
  std::string_view operator[](std::size_t i) const { return field[i]; }
};

// A fault at a line: for kColumns and kRagged, the field counts.
TextFault fault_at(TextProblem problem, std::uint64_t line,
                   std::uint64_t found = 0, std::uint64_t expected = 0) {
  TextFault f;
  f.problem = problem;
  f.line = line;
  f.found = found;
  f.expected = expected;
  return f;
}

// Checks one edge's fields against the width and reads its weight.
bool check_edge(const Fields& f, std::uint32_t width, std::uint64_t line,
                double& w, std::string& tmp, TextFault& fault) {
  if (f.count != width) {
    fault = fault_at(TextProblem::kRagged, line, f.count, width);
    return false;
  }
  w = 1.0;
  if (width == 3) {
    auto value = python_float(f.field[2], tmp);
    if (!value) {
      fault = fault_at(TextProblem::kBadWeight, line);
      fault.token = std::string(f.field[2]);
      return false;
    }
    w = *value;
  }
  if (f.field[0].empty() || f.field[1].empty()) {
    fault = fault_at(TextProblem::kEmptyId, line);
    return false;
  }
  return true;
}

bool is_header_word(std::string_view s, std::string& tmp) {
  return !s.empty() && !python_float(s, tmp).has_value();
}

// One pass over the text with a numbering (or a scan). Fills out.layout
// (all but the kind) and out.first_edge, or out.fault; returns kRestart
// when the numbering asked for it.
template <class Numbering>
Result<Step> run_pass(std::string_view text, HeaderRule rule,
                      Numbering& numbering, EdgeText& out,
                      const CancelFlag* cancel) {
  const bool bom = text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF";
  Lines lines(text, bom ? 3 : 0, 1, cancel);
  EdgeTextLayout& layout = out.layout;
  TextFault& fault = out.fault;
  std::string tmp;
  const auto finish_fault = [&](TextFault f) {
    fault = std::move(f);
    lines.check_rest();
    if (lines.fault().problem == TextProblem::kNotUtf8) fault = lines.fault();
  };
  const auto stopped = [&]() -> Result<Step> {
    if (lines.cancelled()) return VelmarError::cancelled();
    return Step::kGo;
  };

  DataLine l1;
  if (!lines.next(l1)) {
    fault = lines.fault();
    if (fault.problem == TextProblem::kNone)
      fault.problem = TextProblem::kNoEdges;
    return stopped();
  }
  layout.comma = l1.text.find(',') != std::string_view::npos;
  layout.first_begin = static_cast<std::uint64_t>(l1.text.data() - text.data());
  layout.first_end = layout.first_begin + l1.text.size();
  Splitter splitter(layout.comma);
  Fields f;
  splitter.split(l1.text, f);
  FirstFields first;
  first.count = f.count;
  for (std::size_t i = 0; i < std::min<std::uint32_t>(f.count, 3); ++i) {
    first.field[i] = std::string(f.field[i]);
  }

  // kPending: a header when every later ID is an integer, data when one of
  // its words is a later ID, ambiguous otherwise.
  enum { kEdge, kHeader, kPending } verdict = kEdge;
  if (rule == HeaderRule::kSkip) {
    verdict = kHeader;
  } else if (rule == HeaderRule::kDetect && (f.count == 2 || f.count == 3)) {
    bool words = true;
    for (std::size_t i = 0; i < f.count; ++i) {
      words = words && is_header_word(f.field[i], tmp);
    }
    if (words) verdict = f.count == 3 ? kHeader : kPending;
  }

  std::uint64_t index = 0;
  if (verdict == kEdge) {
    layout.width = f.count;
    layout.edges_offset = l1.start;
    layout.edges_line = l1.number;
    if (f.count != 2 && f.count != 3) {
      finish_fault(fault_at(TextProblem::kColumns, l1.number, f.count));
      return stopped();
    }
    double w;
    TextFault bad;
    if (!check_edge(f, layout.width, l1.number, w, tmp, bad)) {
      finish_fault(std::move(bad));
      return stopped();
    }
    auto step = numbering.edge(0, f.field[0], f.field[1], f.scratch[0],
                               f.scratch[1], w);
    if (!step.ok() || step.value() == Step::kRestart) return step;
    index = 1;
  }

  DataLine line;
  std::uint64_t second_line = 0;
  // What a pending verdict depends on, over the fields of every later line.
  bool later_all_int = true, first_in_later = false, any_later = false;
  const auto note_later = [&](const Fields& g) {
    any_later = true;
    for (std::size_t i = 0; i < std::min<std::uint32_t>(g.count, 2); ++i) {
      const std::string_view id = g.field[i];
      later_all_int = later_all_int && parse_int(id).ok;
      first_in_later = first_in_later || id == first[0] || id == first[1];
    }
  };
  bool have_fault = false;
  TextFault later_fault;
  bool more = true;
  if (verdict != kEdge) {
    if (!lines.next(line)) {
      if (lines.cancelled()) return stopped();
      if (lines.fault().problem != TextProblem::kNone) {
        fault = lines.fault();
        return Step::kGo;
      }
      if (verdict == kHeader) {
        fault.problem = TextProblem::kNoEdgesAfterHeader;
        return Step::kGo;
      }
      // A single line that may be a header: read as an edge (below).
      layout.width = first.count;
      index = 1;
      more = false;
    } else {
      second_line = line.number;
      splitter.split(line.text, f);
      layout.width = f.count;
      layout.edges_offset = line.start;
      layout.edges_line = line.number;
      // A pending first line keeps edge 0 for itself.
      index = verdict == kPending ? 1 : 0;
      if (verdict == kPending) note_later(f);
      double w;
      if (f.count != 2 && f.count != 3) {
        have_fault = true;
        later_fault = fault_at(TextProblem::kColumns, line.number, f.count);
      } else if (!check_edge(f, layout.width, line.number, w, tmp,
                             later_fault)) {
        have_fault = true;
      } else {
        auto step = numbering.edge(index++, f.field[0], f.field[1],
                                   f.scratch[0], f.scratch[1], w);
        if (!step.ok() || step.value() == Step::kRestart) return step;
      }
    }
  }

  // A fault stands whatever the verdict, unless the verdict may still move
  // it to the second line (a pending first line of another width than the
  // second, as long as the later IDs could make it a header).
  const auto fault_waits = [&] {
    return verdict == kPending && layout.width != 2 && later_all_int;
  };
  while (more && !(have_fault && !fault_waits()) && lines.next(line)) {
    splitter.split(line.text, f);
    if (verdict == kPending) note_later(f);
    if (have_fault) continue;
    double w;
    if (!check_edge(f, layout.width, line.number, w, tmp, later_fault)) {
      have_fault = true;
      continue;
    }
    auto step = numbering.edge(index++, f.field[0], f.field[1], f.scratch[0],
                               f.scratch[1], w);
    if (!step.ok() || step.value() == Step::kRestart) return step;
  }
  if (lines.cancelled()) return stopped();
  if (lines.fault().problem != TextProblem::kNone) {
    fault = lines.fault();
    return Step::kGo;
  }

  bool first_is_edge = false;
  if (verdict == kHeader) {
    layout.first = FirstLine::kHeader;
  } else if (verdict == kPending) {
    if (any_later && later_all_int) {
      layout.first = FirstLine::kHeader;
      out.first_edge = 1;
    } else {
      layout.first = first_in_later ? FirstLine::kEdge : FirstLine::kAmbiguous;
      if (layout.width != 2) {
        have_fault = true;
        later_fault =
            fault_at(TextProblem::kRagged, second_line, layout.width, 2);
      }
      first_is_edge = true;
    }
  }
  if (have_fault) {
    finish_fault(std::move(later_fault));
    return Step::kGo;
  }
  if (first_is_edge) {
    // Its words live in this pass: the numbering must keep copies.
    auto step = numbering.edge(0, first[0], first[1], true, true, 1.0);
    if (!step.ok() || step.value() == Step::kRestart) return step;
    layout.edges_offset = l1.start;
    layout.edges_line = l1.number;
  }
  layout.num_edges = index - out.first_edge;
  return Step::kGo;
}

}  // namespace

std::uint64_t edge_capacity(std::string_view text) noexcept {
  std::uint64_t lines = 1;
  for (char c : text) lines += c == '\n' || c == '\r';
  return lines;
}

Result<EdgeText> read_edge_text(std::string_view text, HeaderRule header,
                                const EdgeSink* sink,
                                const CancelFlag* cancel) {
  EdgeText out;
  if (sink == nullptr) {
    ScanNumbering scan;
    auto pass = run_pass(text, header, scan, out, cancel);
    if (!pass.ok()) return std::move(pass.error());
    out.layout.kind = scan.kind();
    return out;
  }
  {
    // Integer IDs first: their table holds values, not text. Any other ID
    // starts the pass again with the text numbering.
    IntNumbering ints(*sink);
    Status ready = ints.init();
    if (!ready.ok()) return std::move(ready.error());
    auto pass = run_pass(text, header, ints, out, cancel);
    if (!pass.ok()) return std::move(pass.error());
    if (pass.value() == Step::kGo) {
      if (out.fault.problem == TextProblem::kNone) {
        Status done = ints.finish(out, out.first_edge, out.layout.num_edges);
        if (!done.ok()) return std::move(done.error());
      }
      return out;
    }
  }
  out = EdgeText{};
  TextNumbering texts(*sink);
  Status ready = texts.init();
  if (!ready.ok()) return std::move(ready.error());
  auto pass = run_pass(text, header, texts, out, cancel);
  if (!pass.ok()) return std::move(pass.error());
  if (out.fault.problem == TextProblem::kNone) {
    Status done = texts.finish(out, out.first_edge, out.layout.num_edges);
    if (!done.ok()) return std::move(done.error());
  }
  return out;
}

void text_ids_utf32(const EdgeText& text, std::uint32_t* out,
                    std::uint64_t width) noexcept {
  const std::uint64_t* offsets = text.text_offsets.data();
  const auto* bytes =
      reinterpret_cast<const unsigned char*>(text.text_bytes.data());
  for (std::uint64_t i = 0; i < text.num_nodes; ++i) {
    std::uint32_t* row = out + i * width;
    std::uint64_t k = 0;
    for (std::uint64_t p = offsets[i]; p < offsets[i + 1]; ++k) {
      const unsigned char c = bytes[p];
      std::uint32_t cp;
      std::uint64_t n;
      if (c < 0x80) {
        cp = c;
        n = 1;
      } else if (c < 0xE0) {
        cp = c & 0x1Fu;
        n = 2;
      } else if (c < 0xF0) {
        cp = c & 0x0Fu;
        n = 3;
      } else {
        cp = c & 0x07u;
        n = 4;
      }
      for (std::uint64_t j = 1; j < n; ++j)
        cp = (cp << 6) | (bytes[p + j] & 0x3Fu);
      row[k] = cp;
      p += n;
    }
    for (; k < width; ++k) row[k] = 0;
  }
}

Result<EdgeTextBatch> split_edge_text(std::string_view text,
                                      const EdgeTextLayout& layout,
                                      std::uint64_t offset, std::uint64_t line,
                                      std::uint64_t max_edges,
                                      const EdgeSink& sink,
                                      const CancelFlag* cancel) {
  EdgeTextBatch out;
  Lines lines(text, std::min<std::uint64_t>(offset, text.size()), line, cancel);
  Splitter splitter(layout.comma);
  Fields f;
  DataLine l;
  std::string tmp;
  const bool strings = layout.kind == IdKind::kString;
  if (strings) {
    out.source_offsets.push_back(0);
    out.target_offsets.push_back(0);
  }
  const std::uint64_t limit = std::min(max_edges, sink.capacity);
  while (out.count < limit && lines.next(l)) {
    splitter.split(l.text, f);
    double w;
    if (!check_edge(f, layout.width, l.number, w, tmp, out.fault)) return out;
    const std::uint64_t k = out.count++;
    sink.weights[k] = w;
    if (strings) {
      out.sources.insert(out.sources.end(), f.field[0].begin(),
                         f.field[0].end());
      out.targets.insert(out.targets.end(), f.field[1].begin(),
                         f.field[1].end());
      out.source_offsets.push_back(
          static_cast<std::int64_t>(out.sources.size()));
      out.target_offsets.push_back(
          static_cast<std::int64_t>(out.targets.size()));
      continue;
    }
    for (std::size_t side = 0; side < 2; ++side) {
      const IntToken t = parse_int(f.field[side]);
      const bool fits = layout.kind == IdKind::kInt64
                            ? t.ok && t.fits_int64
                            : t.ok && !t.negative && t.fits_uint64;
      if (!fits) {
        out.fault = fault_at(TextProblem::kChanged, l.number);
        return out;
      }
      (side == 0 ? sink.rows : sink.cols)[k] =
          static_cast<std::int64_t>(t.bits);
    }
  }
  if (lines.cancelled()) return VelmarError::cancelled();
  if (lines.fault().problem != TextProblem::kNone) out.fault = lines.fault();
  out.next_offset = lines.offset();
  out.next_line = lines.line();
  return out;
}

}  // namespace velmar
