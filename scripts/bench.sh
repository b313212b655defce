#!/usr/bin/env bash
# The benchmark suite (bench/README.md): builds the Qt 5 plug-in and the
# in-process benches, runs them, starts one real OBS under Xvfb with the
# plug-in and obs-websocket side by side, prints one table with every figure
# and ratio, and rewrites bench/RESULTS.md. Figures only: nothing here passes
# or fails on time, and scripts/test.sh does not run it.
#
#   scripts/bench.sh                    everything (about 7 minutes)
#   TESSIL_BENCH_QUICK=1 scripts/bench.sh
#                                       fewer requests, no profile; prints the
#                                       table but leaves bench/RESULTS.md alone
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
started=$SECONDS
jobs="$(nproc 2>/dev/null || echo 2)"
build_dir="${TESSIL_BENCH_BUILD:-build/bench}"
python=/usr/bin/python3

bash scripts/setup.sh

echo "bench: building the plug-in and the benches in $build_dir"
mkdir -p "$build_dir"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQT_VERSION=AUTO \
	-DTESSIL_BUILD_TESTS=OFF -DTESSIL_BUILD_TOOLS=OFF \
	>"$build_dir/configure.log" 2>&1 || { cat "$build_dir/configure.log"; exit 1; }
if ! grep -q "building with Qt 5" "$build_dir/configure.log"; then
	echo "bench: the installed OBS does not link Qt 5; see $build_dir/configure.log" >&2
	exit 1
fi
cmake --build "$build_dir" -j "$jobs" --target tessil-link bench_frames bench_dual_pov bench_connection_memory \
	>"$build_dir/build.log" 2>&1 || { grep -E 'error' "$build_dir/build.log"; exit 1; }

out="$(mktemp -d /tmp/tessil-bench.XXXXXX)"
# shellcheck source=scripts/xvfb.sh
source scripts/xvfb.sh
cleanup() {
	stop_xvfb
	rm -rf "$out"
}
trap cleanup EXIT

echo "bench: in-process benches (8 MiB tiny-frame read, dual POV frame, memory per connection)"
start_xvfb || { echo "bench: cannot start Xvfb" >&2; exit 1; }
"$build_dir/bench/bench_frames" >"$out/frames.txt"
"$build_dir/bench/bench_dual_pov" >"$out/dual.txt"
"$build_dir/bench/bench_connection_memory" >"$out/connections.txt"
stop_xvfb

plugin="$root/$build_dir/plugin/tessil-link"
live_args=()
if [ -n "${TESSIL_BENCH_QUICK:-}" ]; then
	live_args=(--requests 300 --pipelined-runs 3 --switches 20 --idle-seconds 3 --spaced-switches 20 --overlays 100,300)
fi
echo "bench: tessil-link and obs-websocket in one OBS"
bash scripts/in-netns.sh "$python" bench/live_bench.py --plugin "$plugin" \
	--output "$out/live.json" "${live_args[@]}"

report_args=(--live "$out/live.json" --frames "$out/frames.txt" --dual "$out/dual.txt"
	--connections "$out/connections.txt")
if [ -z "${TESSIL_BENCH_QUICK:-}" ]; then
	if perf stat -e task-clock true >/dev/null 2>&1; then
		echo "bench: the UI thread under perf, one request kind at a time"
		bash scripts/in-netns.sh "$python" bench/profile_ui.py --plugin "$plugin" \
			--output "$out/profile.json"
		report_args+=(--profile "$out/profile.json")
	else
		echo "bench: no usable perf (package linux-perf): the UI-thread profile is left out"
	fi
	report_args+=(--results bench/RESULTS.md)
fi

echo
"$python" bench/report.py "${report_args[@]}" --seconds $((SECONDS - started))
