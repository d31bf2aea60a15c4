#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test of the project in three
# configurations: an optimised build, an ASan + UBSan build, and the concurrent
# parts under TSan; then a short run of each fuzzer (FUZZ_SECONDS each, default 30).
# The first failure stops the run.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

JOBS=$(nproc)
run_suite() {  # build-dir sanitizer build-type [ctest filter [build targets...]]
	local dir=$1 sanitize=$2 type=$3 filter=${4:-}
	shift 4 || shift $#
	echo "=== $dir (${sanitize:-no sanitizer}, $type) ==="
	cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DVORAT_SANITIZE="$sanitize" >/dev/null
	if [ $# -gt 0 ]; then
		cmake --build "$dir" -j "$JOBS" --target "$@"
	else
		cmake --build "$dir" -j "$JOBS"
	fi
	if [ -n "$filter" ]; then
		(cd "$dir" && ctest --output-on-failure -j 2 -R "$filter")
	else
		(cd "$dir" && ctest --output-on-failure -j 2)
	fi
}

export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

run_suite build-tsan thread RelWithDebInfo '^(matrix|count_stress)$' test_matrix test_count_stress
run_suite build-asan address RelWithDebInfo
echo "=== fuzzers (${FUZZ_SECONDS:-30}s each) ==="
scripts/fuzz.sh "${FUZZ_SECONDS:-30}"
run_suite build "" Release
