#!/usr/bin/env bash
# Reliability checks (docs/reliability.md):
#   asan   C++ unit tests and the whole pytest suite with AddressSanitizer and
#          UndefinedBehaviorSanitizer (-fno-sanitize-recover=all)
#   tsan   the worker-pool, propagation, checksum, cancelled-build and
#          spectral tests with ThreadSanitizer
#   fuzz   seeded smoke runs of the graph-store and edge-list text libFuzzer
#          targets, of the entry-point fuzzer (atheris: _rust_core and the
#          graph, check, embed and plan calls of velmar._engine) and of the
#          store fuzzer (prepared graphs and results on disk, damaged), whose
#          corpora are then replayed against the AddressSanitizer build of
#          the extension; the entry-point fuzzer starts from the inputs of
#          its past findings in fuzz/regressions
#   fuzz-long  each fuzzer for 1,000,000 executions (not part of CI)
# Usage: bash scripts/reliability.sh [asan|tsan|fuzz|fuzz-long ...]  (default:
# asan tsan fuzz). Expects the package installed as scripts/test.sh does.
set -euo pipefail
cd "$(dirname "$0")/.."

export PIP_ROOT_USER_ACTION=ignore
jobs=${VELMAR_JOBS:-2}
out=build/reliability
smoke_seconds=${VELMAR_FUZZ_SECONDS:-30}
long_runs=${VELMAR_FUZZ_RUNS:-1000000}
steps=("$@")
[ ${#steps[@]} -eq 0 ] && steps=(asan tsan fuzz)
mkdir -p "$out"

t0=$SECONDS
timing=()
mark() { timing+=("$(printf '%-40s %4ds' "$1" $((SECONDS - t_step)))"); t_step=$SECONDS; }
t_step=$SECONDS

# ---------------------------------------------------------------- tools
apt_need=()
command -v clang++-14 >/dev/null || apt_need+=(clang-14)
compgen -G "/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null ||
  apt_need+=(libclang-rt-14-dev)
for pkg in libgtest-dev cmake ninja-build g++; do
  dpkg -s "$pkg" >/dev/null 2>&1 || apt_need+=("$pkg")
done
if [ ${#apt_need[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${apt_need[@]}" >/dev/null
fi
python3 -m pip install -q atheris scikit-build-core pytest pytest-timeout
mark "tools"

asan_rt=$(gcc -print-file-name=libasan.so)
# libstdc++ is preloaded too: the interpreter does not link it, and without
# it ASan's __cxa_throw interceptor finds no real function and aborts on the
# first C++ exception thrown in the process.
cxx_rt=$(gcc -print-file-name=libstdc++.so)
asan_site=$PWD/$out/asan-site
asan_logs=$PWD/$out/asan-logs

# The extension built with ASan+UBSan, installed into its own directory so
# that the normal installation stays as it is.
build_asan_extension() {
  if [ ! -f "$asan_site/.built" ] || [ -n "$(find binding velmar/src CMakeLists.txt -newer "$asan_site/.built" -print -quit)" ]; then
    python3 -m pip install -q --no-deps --no-build-isolation --upgrade \
      --target "$asan_site" . -C build-dir="$out/asan-ext" \
      -C cmake.build-type=Debug -C cmake.define.VELMAR_SANITIZE=ON \
      -C cmake.define.VELMAR_DEVELOPER_MODE=ON
    touch "$asan_site/.built"
  fi
}

# Runs a command with the ASan build of the extension first on the path.
# Reports go to files (a crashed pytest loses its captured stderr) and are
# printed if the command fails.
with_asan() {
  rm -rf "$asan_logs" && mkdir -p "$asan_logs"
  local rc=0
  env PYTHONPATH="$asan_site" LD_PRELOAD="$asan_rt $cxx_rt" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:log_path=$asan_logs/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$asan_logs/ubsan" \
    VELMAR_FUZZ_NO_HUGE_COPIES=1 "$@" || rc=$?
  if [ $rc -ne 0 ] || compgen -G "$asan_logs/*" >/dev/null; then
    cat "$asan_logs"/* 2>/dev/null || true
    [ $rc -ne 0 ] || rc=1
  fi
  return $rc
}

run_asan() {
  echo "== C++ unit tests under ASan+UBSan"
  cmake -S . -B "$out/asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELMAR_DEVELOPER_MODE=ON \
    -DVELMAR_BUILD_TESTS=ON -DVELMAR_SANITIZE=ON >/dev/null
  cmake --build "$out/asan" -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$out/asan" --output-on-failure -j "$jobs"
  mark "asan: C++ build and ctest"

  echo "== Extension under ASan+UBSan: the whole pytest suite"
  build_asan_extension
  with_asan python3 -c "import _rust_core, sys; assert _rust_core.__file__.startswith('$asan_site'), _rust_core.__file__"
  mark "asan: extension build"
  with_asan python3 -m pytest tests -q -p no:cacheprovider
  mark "asan: pytest"
}

run_tsan() {
  echo "== Worker pool and propagation tests under TSan"
  cmake -S . -B "$out/tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELMAR_DEVELOPER_MODE=ON \
    -DVELMAR_BUILD_TESTS=ON -DVELMAR_SANITIZE_THREAD=ON >/dev/null
  cmake --build "$out/tsan" -j "$jobs" --target pool_test algorithm_test engine_test checksum_test graph_test spectral_test
  for t in pool_test algorithm_test engine_test checksum_test graph_test spectral_test; do
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 "$out/tsan/velmar/$t" --gtest_brief=1
  done
  mark "tsan: build and tests"
}

build_fuzzer() {
  CXX=clang++-14 cmake -S . -B "$out/fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELMAR_DEVELOPER_MODE=ON -DVELMAR_BUILD_FUZZERS=ON >/dev/null
  cmake --build "$out/fuzz" -j "$jobs" --target graph_store_fuzzer edge_text_fuzzer
}

# Runs a command into a log file; prints the lines matching $1 from it, or its
# tail when the command fails.
logged() {
  local pattern=$1 log=$2
  shift 2
  if ! "$@" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "failed: $* (log: $log)" >&2
    return 1
  fi
  grep -E "$pattern" "$log" || true
}

# $1: extra libFuzzer flags for both fuzzers; corpora are new each run.
run_fuzzers() {
  local flags=$1 corpus
  python3 -c "import _rust_core" 2>/dev/null ||
    python3 -m pip install -q . -C build-dir=build/wheel
  build_fuzzer
  mark "fuzz: build"

  echo "== Graph-store fuzzer ($flags)"
  corpus=$(mktemp -d "$PWD/$out/gs-corpus.XXXX")
  logged '^(Done|stat::(number|average|peak))' "$out/graph_store_fuzzer.log" \
    "$out/fuzz/fuzz/graph_store_fuzzer" -seed=1 -timeout=10 -rss_limit_mb=4096 \
    -print_final_stats=1 $flags "$corpus"
  mark "fuzz: graph store"

  echo "== Edge-list text fuzzer ($flags)"
  corpus=$(mktemp -d "$PWD/$out/et-corpus.XXXX")
  logged '^(Done|stat::(number|average|peak))' "$out/edge_text_fuzzer.log" \
    "$out/fuzz/fuzz/edge_text_fuzzer" -seed=1 -timeout=10 -max_len=512 -rss_limit_mb=4096 \
    -print_final_stats=1 $flags "$corpus"
  mark "fuzz: edge-list text"

  echo "== Entry-point fuzzer ($flags)"
  corpus=$(mktemp -d "$PWD/$out/py-corpus.XXXX")
  logged '^(Done|stat::(number|average|peak)|outcomes|  [A-Za-z_]+ )' "$out/entry_points_fuzzer.log" \
    env VELMAR_FUZZ_STATS=1 python3 fuzz/fuzz_entry_points.py -seed=1 -timeout=10 \
    -max_len=2048 -len_control=0 -print_final_stats=1 $flags "$corpus" fuzz/regressions/entry_points
  mark "fuzz: entry points"

  echo "== Entry-point corpus ($(ls "$corpus" | wc -l) inputs) replayed under ASan+UBSan"
  build_asan_extension
  logged '^Done' "$out/entry_points_asan_replay.log" \
    with_asan python3 fuzz/fuzz_entry_points.py -runs=0 "$corpus"
  mark "fuzz: ASan replay"

  echo "== Store fuzzer ($flags)"
  corpus=$(mktemp -d "$PWD/$out/store-corpus.XXXX")
  logged '^(Done|stat::(number|average|peak)|outcomes|  (graph|result))' "$out/stores_fuzzer.log" \
    env VELMAR_FUZZ_STATS=1 python3 fuzz/fuzz_stores.py -seed=1 -timeout=30 \
    -print_final_stats=1 $flags "$corpus"
  mark "fuzz: stores"

  echo "== Store corpus ($(ls "$corpus" | wc -l) inputs) replayed under ASan+UBSan"
  logged '^Done' "$out/stores_asan_replay.log" \
    with_asan python3 fuzz/fuzz_stores.py -runs=0 "$corpus"
  mark "fuzz: stores ASan replay"
}

for step in "${steps[@]}"; do
  case $step in
    asan) run_asan ;;
    tsan) run_tsan ;;
    fuzz) run_fuzzers "-max_total_time=$smoke_seconds" ;;
    fuzz-long) run_fuzzers "-runs=$long_runs" ;;
    *) echo "unknown step: $step" >&2; exit 2 ;;
  esac
done

echo "== Reliability timings"
printf '  %s\n' "${timing[@]}"
echo "  total $((SECONDS - t0))s"
