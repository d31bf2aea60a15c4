#!/usr/bin/env bash
# Peak memory of the post-processing of a run with about a million raw barcodes, with and
# without the HDF5 stage (filtered_feature_bc_matrix.h5, raw_feature_bc_matrix.h5,
# matrix.h5ad): runs bench_h5_outputs on the same synthetic table in its "text" and "all"
# modes under /usr/bin/time -v and prints the program's own figures (peak after the table,
# after the text outputs, during the HDF5 stage and over the whole run) with the peak that
# time reports. In "all" mode that one only covers the HDF5 stage: the program resets the
# process's peak before the stage to measure it alone.
#
# Usage: bench/bench_h5_outputs.sh [work_dir]
#   VORAT_BENCH   the bench_h5_outputs program (default: build/bench/bench_h5_outputs)
#   ARGS          cells, other barcodes, genes, UMIs per cell (default "5000 1000000 20000 2000")
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BENCH=${VORAT_BENCH:-$ROOT/build/bench/bench_h5_outputs}
WORK=${1:-$ROOT/bench/out/h5}
ARGS=${ARGS:-5000 1000000 20000 2000}

[ -x "$BENCH" ] || { echo "bench_h5_outputs not found at $BENCH (set VORAT_BENCH)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is required" >&2; exit 1; }
mkdir -p "$WORK"

for mode in text all; do
	rm -rf "$WORK/out-$mode"
	mkdir -p "$WORK/out-$mode"
	# shellcheck disable=SC2086
	/usr/bin/time -v "$BENCH" "$WORK/out-$mode" "$mode" $ARGS > "$WORK/$mode.out" 2> "$WORK/$mode.err" ||
		{ cat "$WORK/$mode.out" "$WORK/$mode.err" >&2; exit 1; }
	echo "== $mode"
	cat "$WORK/$mode.out"
	awk '/Maximum resident set size/ { peak = $NF / 1024 } /Elapsed \(wall clock\)/ { wall = $NF }
	     END { printf "/usr/bin/time: peak %.0f MiB, wall %s\n", peak, wall }' "$WORK/$mode.err"
done
echo
echo "HDF5 files:"
ls -l "$WORK/out-all"/*.h5 "$WORK/out-all"/*.h5ad
