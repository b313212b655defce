#!/bin/bash
# Builds the libFuzzer target of the WebSocket read path with clang in
# build/fuzz and runs it for the given number of seconds (default 60) over a
# copy of the committed seed corpus. Exits non-zero on any finding; the
# crashing input is kept in build/fuzz/findings/.
#
#   scripts/fuzz.sh [seconds]
set -euo pipefail

seconds="${1:-60}"
case "$seconds" in
'' | *[!0-9]*)
	echo "usage: $0 [seconds]" >&2
	exit 2
	;;
esac

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/fuzz"
seeds="$root/fuzz/corpus/handshake_frames"
findings="$build/findings"

cmake -S "$root" -B "$build" \
	-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	-DTESSIL_FUZZ=ON -DTESSIL_BUILD_TESTS=OFF -DTESSIL_BUILD_BENCH=OFF \
	>/dev/null
cmake --build "$build" --target fuzz_wire -j "$(nproc)"

# libFuzzer adds what it finds to the first corpus folder: let it work on a
# copy, never on the committed seeds.
work="$(mktemp -d "${TMPDIR:-/tmp}/tessil-fuzz.XXXXXX")"
trap 'rm -rf "$work"' EXIT
cp -R "$seeds" "$work/corpus"
mkdir -p "$findings"

status=0
(cd "$work" && "$build/fuzz/fuzz_wire" \
	-max_total_time="$seconds" \
	-max_len=65536 \
	-timeout=10 \
	-rss_limit_mb=2048 \
	-dict="$root/fuzz/handshake_frames.dict" \
	-artifact_prefix="$findings/" \
	-print_final_stats=1 \
	"$work/corpus") || status=$?

if [ "$status" -ne 0 ]; then
	echo "fuzz_wire failed (exit $status); inputs in $findings" >&2
	exit "$status"
fi
echo "fuzz_wire: no finding in ${seconds} s ($(ls "$work/corpus" | wc -l) corpus inputs)"
