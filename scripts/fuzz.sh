#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS seconds (default 30),
# starting from the seed corpus in tests/fuzz/corpus/<target>. New inputs go to a scratch
# corpus under build-fuzz/; a crash leaves its input in build-fuzz/ and fails the run.
#   scripts/fuzz.sh [SECONDS] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH=${1:-30}
shift || true
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(fuzz_gtf fuzz_genome fuzz_reads fuzz_index_files fuzz_seal)

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DVORAT_SANITIZE=fuzzer -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target "${TARGETS[@]}"

export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for t in "${TARGETS[@]}"; do
	work=build-fuzz/corpus/$t
	mkdir -p "$work"
	seeds=tests/fuzz/corpus/$t
	echo "=== $t: ${SECONDS_EACH}s ==="
	log=build-fuzz/$t.log
	if (cd build-fuzz && "./tests/fuzz/$t" -max_total_time="$SECONDS_EACH" -rss_limit_mb=4096 \
	        -malloc_limit_mb=2048 -timeout=20 -close_fd_mask=2 "corpus/$t" "../$seeds" >"$t.log" 2>&1); then
		grep -E "^#[0-9]+[[:space:]]+DONE" "$log" || true
	else
		status=1
		grep -E -A 30 "^==[0-9]+==|deadly signal|Test unit written|SUMMARY" "$log" | head -n 60 || true
	fi
done
exit $status
