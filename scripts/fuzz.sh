#!/usr/bin/env bash
# Builds the fuzz harnesses of fuzz/ as libFuzzer programs (clang, with AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz/ and runs each for SECONDS (default 60).
#
#   scripts/fuzz.sh [SECONDS] [HARNESS...]      every harness when none is named
#
# Each harness starts from its committed seeds (fuzz/corpus/<name>/) and reproducers
# (fuzz/regressions/<name>/) and keeps what it finds in its working corpus,
# build-fuzz/corpus/<name>/, which is minimised after the run and used again next time.
# FUZZ_SEEDS=1 also replaces fuzz/corpus/<name>/ by at most FUZZ_SEEDS_MAX (default 40) inputs
# of the seeds and the working corpus, those that reach the most code edges (then commit it). A crash, leak, timeout, out-of-memory or an
# allocation above the limit stops the script with a non-zero status and the reproducer's path:
# copy it into fuzz/regressions/<name>/ once mended. DUN_JOBS limits the build's parallel jobs;
# FUZZ_BUILD=0 runs what is built (for several runs side by side on one build). --help prints
# this and does nothing else.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
if dun_asks_help "$@"; then
  dun_help
  exit 0
fi

# What fuzzing needs beyond the ordinary build: clang and its libFuzzer runtime.
DUN_FUZZ_PACKAGES=(clang libclang-rt-14-dev)
DUN_PACKAGES+=("${DUN_FUZZ_PACKAGES[@]}")
dun_install_missing

SECONDS_EACH=60
if [ "$#" -gt 0 ] && [[ "$1" =~ ^[0-9]+$ ]]; then
  SECONDS_EACH="$1"
  shift
fi
if [ "$SECONDS_EACH" -lt 1 ]; then
  # libFuzzer takes a total time of 0 as no limit: the first harness would run without end.
  echo "fuzz.sh: SECONDS must be at least 1, not $SECONDS_EACH" >&2
  exit 2
fi
FUZZ_DIR="$DUN_ROOT/build-fuzz"
MALLOC_LIMIT_MB=256  # one allocation above this is a finding (cmake/project.cmake says the same)
RSS_LIMIT_MB=2048    # the whole process, sanitizer shadow memory included

harnesses=("$@")
if [ "${#harnesses[@]}" -eq 0 ]; then
  for source in "$DUN_ROOT"/fuzz/*.cpp; do
    if grep -q 'LLVMFuzzerTestOneInput' "$source" && [ "$(basename "$source")" != replay_main.cpp ]; then
      harnesses+=("$(basename "$source" .cpp)")
    fi
  done
fi

if [ "${FUZZ_BUILD:-1}" = 1 ]; then
  CC=clang CXX=clang++ cmake -S "$DUN_ROOT" -B "$FUZZ_DIR" -G Ninja -DDUN_FUZZ=ON -DDUN_SANITIZE=ON -DDUN_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  targets=()
  for name in "${harnesses[@]}"; do
    targets+=("fuzz_$name")
  done
  cmake --build "$FUZZ_DIR" -j "${DUN_JOBS:-$(nproc)}" --target "${targets[@]}"
fi

status=0
for name in "${harnesses[@]}"; do
  program="$FUZZ_DIR/bin/fuzz_$name"
  work="$FUZZ_DIR/corpus/$name"
  artifacts="$FUZZ_DIR/artifacts/$name"
  mkdir -p "$work" "$artifacts" "$DUN_ROOT/fuzz/corpus/$name"
  options=(-max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb="$RSS_LIMIT_MB"
           -malloc_limit_mb="$MALLOC_LIMIT_MB" -max_len=8192 -artifact_prefix="$artifacts/" -print_final_stats=1)
  if [ -f "$DUN_ROOT/fuzz/dict/$name.dict" ]; then
    options+=(-dict="$DUN_ROOT/fuzz/dict/$name.dict")
  fi
  inputs=("$work" "$DUN_ROOT/fuzz/corpus/$name")
  if [ -d "$DUN_ROOT/fuzz/regressions/$name" ]; then
    inputs+=("$DUN_ROOT/fuzz/regressions/$name")
  fi
  echo "== $name: ${SECONDS_EACH}s" >&2
  log="$FUZZ_DIR/$name.log"
  before=$(date +%s)
  if ! ASAN_OPTIONS=detect_leaks=1 "$program" "${options[@]}" "${inputs[@]}" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    reproducer=$(find "$artifacts" -type f -newermt "@$before" | head -n 1)
    echo "fuzz.sh: $name failed; reproducer: ${reproducer:-(none written; see $log)}" >&2
    status=1
    break
  fi
  grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" >&2 || true
  # Keep the working corpus minimal.
  rm -rf "$work.min"
  mkdir -p "$work.min"
  "$program" -merge=1 -max_len=8192 "$work.min" "$work" "$DUN_ROOT/fuzz/corpus/$name" >>"$log" 2>&1
  rm -rf "$work"
  mv "$work.min" "$work"
  if [ "${FUZZ_SEEDS:-0}" = 1 ]; then
    # The committed seeds become the inputs, of the seeds and the working corpus, that reach the
    # most code edges, at most FUZZ_SEEDS_MAX (default 40) of them.
    scratch="$FUZZ_DIR/seeds/$name"
    rm -rf "$scratch"
    mkdir -p "$scratch/merged" "$scratch/chosen"
    "$program" -merge=1 -use_counters=0 -use_cmp=0 -merge_control_file="$scratch/control" -max_len=8192 \
      "$scratch/merged" "$DUN_ROOT/fuzz/corpus/$name" "$work" >>"$log" 2>&1
    awk -v limit="${FUZZ_SEEDS_MAX:-40}" -f "$DUN_ROOT/scripts/fuzz_cover.awk" "$scratch/control" |
      while IFS= read -r input; do cp "$input" "$scratch/chosen/"; done
    rm -rf "$DUN_ROOT/fuzz/corpus/$name"
    cp -r "$scratch/chosen" "$DUN_ROOT/fuzz/corpus/$name"
  fi
  echo "$name: $(find "$work" -type f | wc -l) inputs in $work; log $log" >&2
done
exit "$status"
