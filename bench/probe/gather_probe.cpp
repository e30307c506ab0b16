// Measures what this machine's memory allows a propagation step to reach:
// streaming read and write bandwidth, and the time of a pure gather over a
// given graph's neighbour rows (software prefetch, transparent huge pages),
// with 1..T threads. With --suite full it also times kernel variants of the
// exact propagation step, checks that they agree bit for bit and reports
// each as a ratio to the gather bound; --suite bandwidth measures only the
// bandwidth, and --bandwidth-mb 0 skips it.
//
// Input: a directory with row_ptrs.bin (int64, n + 1), col_indices.bin
// (int64), values.bin (float64) and num_nodes.txt, as written by
// bench/graphgen.py. Output: one JSON object on standard output.
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "kernels.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string graph_dir;
  std::size_t dim = 128;
  std::vector<int> threads{1, 2};
  int reps = 5;
  std::string suite = "bound";
  std::string h_file;
  std::string out_file;
  std::size_t bandwidth_mb = 1024;
};

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "gather_probe: %s\n", message.c_str());
  std::exit(2);
}

std::vector<int> parse_int_list(const std::string& text) {
  std::vector<int> out;
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, ',')) out.push_back(std::stoi(item));
  return out;
}

Options parse_options(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) die("missing value after " + a);
      return argv[++i];
    };
    if (a == "--graph")
      o.graph_dir = next();
    else if (a == "--dim")
      o.dim = std::stoul(next());
    else if (a == "--threads")
      o.threads = parse_int_list(next());
    else if (a == "--reps")
      o.reps = std::stoi(next());
    else if (a == "--suite")
      o.suite = next();
    else if (a == "--h")
      o.h_file = next();
    else if (a == "--out")
      o.out_file = next();
    else if (a == "--bandwidth-mb")
      o.bandwidth_mb = std::stoul(next());
    else
      die("unknown argument " + a);
  }
  if (o.graph_dir.empty()) die("--graph DIR is required");
  return o;
}

template <class T>
std::vector<T> read_array(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) die("cannot open " + path);
  in.seekg(0, std::ios::end);
  const auto bytes = static_cast<std::size_t>(in.tellg());
  in.seekg(0);
  std::vector<T> v(bytes / sizeof(T));
  in.read(reinterpret_cast<char*>(v.data()),
          static_cast<std::streamsize>(v.size() * sizeof(T)));
  return v;
}

// A 2 MiB-aligned anonymous mapping with or without transparent huge pages.
class Mapping {
 public:
  Mapping(std::size_t bytes, bool huge) {
    constexpr std::size_t kHuge = std::size_t{2} << 20;
    length_ = (bytes + kHuge - 1) / kHuge * kHuge;
    if (length_ == 0) length_ = kHuge;
    span_ = length_ + kHuge;
    raw_ = mmap(nullptr, span_, PROT_READ | PROT_WRITE,
                MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw_ == MAP_FAILED) die("mmap failed");
    auto start = reinterpret_cast<std::uintptr_t>(raw_);
    data_ = reinterpret_cast<float*>((start + kHuge - 1) / kHuge * kHuge);
    madvise(data_, length_, huge ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
  }
  ~Mapping() { munmap(raw_, span_); }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  float* data() const { return data_; }

 private:
  void* raw_ = nullptr;
  float* data_ = nullptr;
  std::size_t length_ = 0;
  std::size_t span_ = 0;
};

enum class Isa { kV2, kV3, kV4 };

const char* isa_name(Isa isa) {
  switch (isa) {
    case Isa::kV2:
      return "x86-64-v2";
    case Isa::kV3:
      return "x86-64-v3";
    case Isa::kV4:
      return "x86-64-v4";
  }
  return "?";
}

bool isa_supported(Isa isa) {
  __builtin_cpu_init();
  switch (isa) {
    case Isa::kV2:
      return __builtin_cpu_supports("sse4.2") &&
             __builtin_cpu_supports("popcnt");
    case Isa::kV3:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
             __builtin_cpu_supports("bmi2");
    case Isa::kV4:
      return isa_supported(Isa::kV3) && __builtin_cpu_supports("avx512f") &&
             __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx512dq") &&
             __builtin_cpu_supports("avx512vl") &&
             __builtin_cpu_supports("avx512cd");
  }
  return false;
}

void run_rows(Isa isa, const probe::Graph& g, const float* h, float* out,
              std::size_t dim, std::uint64_t lo, std::uint64_t hi,
              const probe::KernelConfig& cfg, float* scratch) {
  switch (isa) {
    case Isa::kV2:
      probe::v2::run_rows(g, h, out, dim, lo, hi, cfg, scratch);
      return;
    case Isa::kV3:
      probe::v3::run_rows(g, h, out, dim, lo, hi, cfg, scratch);
      return;
    case Isa::kV4:
      probe::v4::run_rows(g, h, out, dim, lo, hi, cfg, scratch);
      return;
  }
}

Isa best_isa() {
  if (isa_supported(Isa::kV4)) return Isa::kV4;
  if (isa_supported(Isa::kV3)) return Isa::kV3;
  return Isa::kV2;
}

void run_threads(int threads, const std::function<void(int)>& body) {
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(body, t);
  body(0);
  for (auto& th : pool) th.join();
}

// Row boundaries that give each thread about the same rows + entries.
std::vector<std::uint64_t> balanced_split(const std::vector<std::int64_t>& rp,
                                          int parts) {
  const std::uint64_t n = rp.size() - 1;
  const double total = static_cast<double>(n) + static_cast<double>(rp[n]);
  std::vector<std::uint64_t> bounds{0};
  std::uint64_t r = 0;
  for (int p = 1; p < parts; ++p) {
    const double target = total * p / parts;
    while (r < n &&
           static_cast<double>(r) + static_cast<double>(rp[r]) < target)
      ++r;
    bounds.push_back(r);
  }
  bounds.push_back(n);
  return bounds;
}

struct Variant {
  std::string name;
  Isa isa = Isa::kV3;
  probe::KernelConfig cfg;
  bool huge = true;
  bool dynamic = false;       // blocks of rows handed out by an atomic counter
  bool serial_clear = false;  // output zeroed on the calling thread first
};

struct Timing {
  double min_s = 0;
  double median_s = 0;
  std::uint64_t checksum = 0;
};

// FNV-1a over 64-bit words: equal outputs give equal checksums.
std::uint64_t checksum(const float* data, std::size_t count) {
  std::uint64_t h = 1469598103934665603ull;
  const std::size_t bytes = count * sizeof(float);
  std::size_t i = 0;
  for (; i + 8 <= bytes; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, reinterpret_cast<const char*>(data) + i, 8);
    h = (h ^ w) * 1099511628211ull;
  }
  for (; i < bytes; ++i) {
    h = (h ^ reinterpret_cast<const unsigned char*>(data)[i]) *
        1099511628211ull;
  }
  return h;
}

class Bench {
 public:
  Bench(const Options& o) : opt_(o) {
    rp_ = read_array<std::int64_t>(o.graph_dir + "/row_ptrs.bin");
    col_ = read_array<std::int64_t>(o.graph_dir + "/col_indices.bin");
    val_ = read_array<double>(o.graph_dir + "/values.bin");
    if (rp_.empty() || static_cast<std::size_t>(rp_.back()) != col_.size() ||
        col_.size() != val_.size()) {
      die("inconsistent graph arrays in " + o.graph_dir);
    }
    n_ = rp_.size() - 1;
    for (std::int64_t c : col_) {
      if (c < 0 || static_cast<std::uint64_t>(c) >= n_)
        die("column out of range");
    }
    scales_.resize(col_.size());
    for (std::uint64_t r = 0; r < n_; ++r) {
      const auto s = static_cast<std::uint64_t>(rp_[r]);
      const auto e = static_cast<std::uint64_t>(rp_[r + 1]);
      const float q = e == s ? 0.0f : 1.0f / static_cast<float>(e - s);
      for (auto k = s; k < e; ++k) scales_[k] = static_cast<float>(val_[k]) * q;
    }
    graph_ = {rp_.data(), col_.data(), val_.data(), scales_.data(), n_};
    const std::size_t count = n_ * o.dim;
    h_huge_ = std::make_unique<Mapping>(count * sizeof(float), true);
    out_ = std::make_unique<Mapping>(count * sizeof(float), true);
    fill_h(h_huge_->data());
    std::memset(out_->data(), 0, count * sizeof(float));
  }

  std::uint64_t num_nodes() const { return n_; }
  std::uint64_t nnz() const { return col_.size(); }

  void fill_h(float* h) {
    const std::size_t count = n_ * opt_.dim;
    if (!opt_.h_file.empty()) {
      auto v = read_array<float>(opt_.h_file);
      if (v.size() != count) die("--h file has the wrong size");
      std::memcpy(h, v.data(), count * sizeof(float));
      return;
    }
    // The projection's value set (+-sqrt(3), 0) from a simple generator.
    const float s = std::sqrt(3.0f);
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    for (std::size_t i = 0; i < count; ++i) {
      x = x * 6364136223846793005ull + 1442695040888963407ull;
      const auto k = x >> 61;
      h[i] = k == 0 ? s : (k == 1 ? -s : 0.0f);
    }
  }

  const float* h_for(bool huge) {
    if (huge) return h_huge_->data();
    if (!h_small_) {
      h_small_ =
          std::make_unique<Mapping>(n_ * opt_.dim * sizeof(float), false);
      std::memcpy(h_small_->data(), h_huge_->data(),
                  n_ * opt_.dim * sizeof(float));
    }
    return h_small_->data();
  }

  double run_once(const Variant& v, int threads) {
    const float* h = h_for(v.huge);
    float* out = out_->data();
    const std::size_t dim = opt_.dim;
    const auto bounds = balanced_split(rp_, threads);
    std::atomic<std::uint64_t> next{0};
    constexpr std::uint64_t kBlock = 1024;
    const auto t0 = Clock::now();
    if (v.serial_clear) std::memset(out, 0, n_ * dim * sizeof(float));
    run_threads(threads, [&](int t) {
      std::vector<float> scratch(dim);
      if (v.dynamic) {
        for (;;) {
          const std::uint64_t lo = next.fetch_add(kBlock);
          if (lo >= n_) break;
          run_rows(v.isa, graph_, h, out, dim, lo, std::min(n_, lo + kBlock),
                   v.cfg, scratch.data());
        }
      } else {
        run_rows(v.isa, graph_, h, out, dim, bounds[t], bounds[t + 1], v.cfg,
                 scratch.data());
      }
    });
    return std::chrono::duration<double>(Clock::now() - t0).count();
  }

  std::uint64_t output_checksum() const {
    return checksum(out_->data(), n_ * opt_.dim);
  }

  void write_out(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) die("cannot write " + path);
    std::fwrite(out_->data(), sizeof(float), n_ * opt_.dim, f);
    std::fclose(f);
  }

 private:
  const Options& opt_;
  std::vector<std::int64_t> rp_, col_;
  std::vector<double> val_;
  std::vector<float> scales_;
  std::uint64_t n_ = 0;
  probe::Graph graph_;
  std::unique_ptr<Mapping> h_huge_, h_small_, out_;
};

struct Bandwidth {
  double read_gbs = 0;
  double write_gbs = 0;
};

Bandwidth measure_bandwidth(std::size_t megabytes, int threads, int reps) {
  const std::size_t count = megabytes * (std::size_t{1} << 20) / sizeof(float);
  Mapping buf(count * sizeof(float), true);
  const Isa isa = best_isa();
  auto fill = [&](float* p, std::size_t c) {
    if (isa == Isa::kV4)
      probe::v4::fill(p, c, 1.0f);
    else if (isa == Isa::kV3)
      probe::v3::fill(p, c, 1.0f);
    else
      probe::v2::fill(p, c, 1.0f);
  };
  auto sum = [&](const float* p, std::size_t c) {
    if (isa == Isa::kV4) return probe::v4::read_sum(p, c);
    if (isa == Isa::kV3) return probe::v3::read_sum(p, c);
    return probe::v2::read_sum(p, c);
  };
  fill(buf.data(), count);
  const std::size_t per = (count / threads + 15) / 16 * 16;
  auto part = [&](int t, std::size_t& lo, std::size_t& len) {
    lo = std::min(count, per * static_cast<std::size_t>(t));
    len = std::min(count - lo, per);
  };
  double best_read = 1e30, best_write = 1e30;
  std::vector<double> sink(threads);
  for (int r = 0; r < reps + 1; ++r) {
    auto t0 = Clock::now();
    run_threads(threads, [&](int t) {
      std::size_t lo, len;
      part(t, lo, len);
      sink[t] = sum(buf.data() + lo, len);
    });
    const double rd = std::chrono::duration<double>(Clock::now() - t0).count();
    t0 = Clock::now();
    run_threads(threads, [&](int t) {
      std::size_t lo, len;
      part(t, lo, len);
      fill(buf.data() + lo, len);
    });
    const double wr = std::chrono::duration<double>(Clock::now() - t0).count();
    if (r > 0) {
      best_read = std::min(best_read, rd);
      best_write = std::min(best_write, wr);
    }
  }
  if (sink[0] < 0) std::printf(" ");  // keep the sums alive
  const double bytes = static_cast<double>(count) * sizeof(float);
  return {bytes / best_read / 1e9, bytes / best_write / 1e9};
}

long anon_huge_kb() {
  std::ifstream in("/proc/self/smaps_rollup");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("AnonHugePages:", 0) == 0)
      return std::atol(line.c_str() + 14);
  }
  return -1;
}

std::string variant_json(const Variant& v, int threads, const Timing& t,
                         double bound) {
  char buf[512];
  std::snprintf(buf, sizeof buf,
                "{\"name\": \"%s\", \"isa\": \"%s\", \"threads\": %d, "
                "\"prefetch\": %llu, "
                "\"huge_pages\": %s, \"schedule\": \"%s\", \"min_s\": %.6f, "
                "\"median_s\": %.6f, \"ratio_to_bound\": %.4f, \"checksum\": "
                "\"%016llx\"}",
                v.name.c_str(), isa_name(v.isa), threads,
                static_cast<unsigned long long>(v.cfg.prefetch),
                v.huge ? "true" : "false", v.dynamic ? "dynamic" : "static",
                t.min_s, t.median_s, bound > 0 ? t.min_s / bound : 0.0,
                static_cast<unsigned long long>(t.checksum));
  return buf;
}

Variant gather_variant(const std::string& name, Isa isa, std::uint64_t pf,
                       bool huge) {
  Variant v;
  v.name = name;
  v.isa = isa;
  v.huge = huge;
  v.cfg.kind = probe::KernelKind::kGather;
  v.cfg.prefetch = pf;
  v.cfg.local = true;
  return v;
}

std::vector<Variant> engine_variants() {
  using probe::KernelKind;
  std::vector<Variant> out;
  auto add = [&](std::string name, Isa isa, KernelKind kind, std::uint64_t pf,
                 bool local, bool streaming, bool serial_clear, bool huge,
                 bool dynamic) {
    if (!isa_supported(isa)) return;
    Variant v;
    v.name = std::move(name);
    v.isa = isa;
    v.cfg.kind = kind;
    v.cfg.prefetch = pf;
    v.cfg.local = local;
    v.cfg.streaming = streaming;
    v.cfg.clear_in_kernel = !local && !serial_clear;
    v.serial_clear = serial_clear;
    v.huge = huge;
    v.dynamic = dynamic;
    out.push_back(std::move(v));
  };
  const auto E = KernelKind::kEngine;
  //  name                              isa       kind pf  local  nt    sclear
  //  huge  dyn
  add("plain, serial clear, 4K pages", Isa::kV2, E, 0, false, false, true,
      false, false);
  add("plain, serial clear", Isa::kV2, E, 0, false, false, true, true, false);
  add("plain, row cleared by its task", Isa::kV2, E, 0, false, false, false,
      true, false);
  add("prefetch 8, in place", Isa::kV2, E, 8, false, false, false, true, false);
  add("prefetch 8, private row", Isa::kV2, E, 8, true, false, false, true,
      false);
  add("prefetch 8, private row, NT store", Isa::kV2, E, 8, true, true, false,
      true, false);
  add("prefetch 4, private row, NT store", Isa::kV2, E, 4, true, true, false,
      true, false);
  add("prefetch 16, private row, NT store", Isa::kV2, E, 16, true, true, false,
      true, false);
  add("prefetch 8, private row, NT store, dynamic", Isa::kV2, E, 8, true, true,
      false, true, true);
  add("prefetch 8, private row, NT store", Isa::kV3, E, 8, true, true, false,
      true, false);
  add("prefetch 8, private row, NT store", Isa::kV4, E, 8, true, true, false,
      true, false);
  add("prefetch 8, private row, NT store, 4K pages", Isa::kV2, E, 8, true, true,
      false, false, false);
  add("prefetch 8, private row, NT store, t precomputed", Isa::kV2,
      KernelKind::kEnginePrescaled, 8, true, true, false, true, false);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const Options opt = parse_options(argc, argv);
  Bench bench(opt);
  const Isa isa = best_isa();
  std::printf(
      "{\n  \"num_nodes\": %llu, \"nnz\": %llu, \"dim\": %zu, \"best_isa\": "
      "\"%s\",\n",
      static_cast<unsigned long long>(bench.num_nodes()),
      static_cast<unsigned long long>(bench.nnz()), opt.dim, isa_name(isa));

  if (!opt.out_file.empty()) {
    // One exact step with the plain kernel, for comparison with a reference.
    Variant v;
    v.name = "plain";
    v.isa = Isa::kV2;
    v.serial_clear = true;
    bench.run_once(v, 1);
    bench.write_out(opt.out_file);
  }

  std::printf("  \"bandwidth\": [");
  for (std::size_t i = 0; opt.bandwidth_mb != 0 && i < opt.threads.size();
       ++i) {
    const auto bw =
        measure_bandwidth(opt.bandwidth_mb, opt.threads[i], opt.reps);
    std::printf(
        "%s\n    {\"threads\": %d, \"read_gbs\": %.3f, \"write_gbs\": %.3f}",
        i ? "," : "", opt.threads[i], bw.read_gbs, bw.write_gbs);
  }
  std::printf("\n  ],\n");
  std::fflush(stdout);

  // Every variant of a thread count is timed once per round, round after
  // round, so that drifts of the machine's speed (other processes, other
  // virtual machines on the host) spread over all of them alike. The gather
  // bound is the best pure gather (sum of neighbour rows) over a few prefetch
  // distances, with huge pages and the widest ISA.
  std::vector<double> bound(opt.threads.size(), 1e30);
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < opt.threads.size(); ++i) {
    const int threads = opt.threads[i];
    std::vector<Variant> variants;
    std::vector<bool> in_bound;
    for (std::uint64_t pf : {4, 8, 16}) {
      variants.push_back(gather_variant("gather", isa, pf, true));
      in_bound.push_back(true);
    }
    if (opt.suite == "full") {
      variants.push_back(gather_variant("gather", isa, 0, true));
      variants.push_back(gather_variant("gather", isa, 8, false));
      variants.push_back(gather_variant("gather", Isa::kV2, 8, true));
      for (auto& v : engine_variants()) variants.push_back(std::move(v));
      in_bound.resize(variants.size(), false);
    }
    if (opt.suite == "bandwidth") variants.clear();
    std::vector<std::vector<double>> times(variants.size());
    std::vector<std::uint64_t> sums(variants.size());
    for (const auto& v : variants) bench.run_once(v, threads);  // warm-up
    for (int rep = 0; rep < opt.reps; ++rep) {
      for (std::size_t k = 0; k < variants.size(); ++k) {
        times[k].push_back(bench.run_once(variants[k], threads));
        if (rep + 1 == opt.reps) sums[k] = bench.output_checksum();
      }
    }
    for (std::size_t k = 0; k < variants.size(); ++k) {
      if (in_bound[k])
        bound[i] = std::min(
            bound[i], *std::min_element(times[k].begin(), times[k].end()));
    }
    for (std::size_t k = 0; k < variants.size(); ++k) {
      auto& t = times[k];
      std::sort(t.begin(), t.end());
      Timing timing{t.front(), t[t.size() / 2], sums[k]};
      lines.push_back(variant_json(variants[k], threads, timing,
                                   in_bound[k] ? 0 : bound[i]));
    }
  }
  std::printf("  \"anon_huge_kb\": %ld,\n", anon_huge_kb());
  std::printf("  \"gather_bound\": [");
  bool first = true;
  for (std::size_t i = 0; i < opt.threads.size(); ++i) {
    if (bound[i] >= 1e30) continue;
    std::printf("%s{\"threads\": %d, \"seconds\": %.6f}", first ? "" : ", ",
                opt.threads[i], bound[i]);
    first = false;
  }
  std::printf("],\n");
  std::printf("  \"variants\": [");
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::printf("%s\n    %s", i ? "," : "", lines[i].c_str());
  }
  std::printf("\n  ]\n}\n");
  return 0;
}
