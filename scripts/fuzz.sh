#!/bin/bash
# Builds the libFuzzer targets with clang in build/fuzz and runs each for the
# given number of seconds (default 60) over a copy of its committed seed
# corpus:
#   fuzz_wire      the WebSocket read path (upgrade request, frame decoder);
#   fuzz_json_diff the key check before every parse against Qt's parser;
#   fuzz_requests  request handling on real libobs scenes, under its own
#                  Xvfb display (libobs needs one even without video).
# build/fuzz takes the Qt of the installed OBS (QT_VERSION AUTO). Qt 5 and
# Qt 6 read JSON strings differently, so fuzz_json_diff is also built with
# Qt 6 in build/fuzz-qt6 and run there as fuzz_json_diff-qt6.
# Exits non-zero on any finding; the failing input is kept in
# build/fuzz/findings/, named after its target.
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
build_qt6="$root/build/fuzz-qt6"
findings="$build/findings"

configure() {
	cmake -S "$root" -B "$1" \
		-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
		-DTESSIL_FUZZ=ON -DTESSIL_BUILD_TESTS=OFF \
		-DTESSIL_BUILD_BENCH=OFF -DTESSIL_BUILD_TOOLS=OFF "${@:2}" \
		>/dev/null
}
configure "$build"
cmake --build "$build" --target fuzz_wire fuzz_json_diff fuzz_requests \
	-j "$(nproc)"
configure "$build_qt6" -DQT_VERSION=6
cmake --build "$build_qt6" --target fuzz_json_diff -j "$(nproc)"

# libFuzzer adds what it finds to the first corpus folder: let it work on
# copies, never on the committed seeds.
work="$(mktemp -d "${TMPDIR:-/tmp}/tessil-fuzz.XXXXXX")"
source "$root/scripts/xvfb.sh"
cleanup() {
	stop_xvfb
	rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$findings"

# Runs one target over a copy of its seeds; extra arguments go to libFuzzer.
# The target is a name in build/fuzz/fuzz, or name=path for one built
# elsewhere. Prints a summary line and returns libFuzzer's status.
run_target() {
	local target="${1%%=*}" program="$build/fuzz/$1" seeds="$2"
	case "$1" in
	*=*) program="${1#*=}" ;;
	esac
	shift 2
	cp -R "$seeds" "$work/$target"
	local status=0
	(cd "$work" && "$program" \
		-max_total_time="$seconds" \
		-timeout=10 \
		-rss_limit_mb=2048 \
		-artifact_prefix="$findings/$target-" \
		-print_final_stats=1 \
		"$@" \
		"$work/$target") || status=$?
	if [ "$status" -ne 0 ]; then
		echo "$target failed (exit $status); inputs in $findings" >&2
	else
		echo "$target: no finding in ${seconds} s" \
			"($(ls "$work/$target" | wc -l) corpus inputs)"
	fi
	return "$status"
}

failed=0

run_target fuzz_wire "$root/fuzz/corpus/handshake_frames" \
	-max_len=65536 \
	-dict="$root/fuzz/handshake_frames.dict" || failed=1

# Qt 5 leaks the value each repeated key replaces (the target keeps that
# out of the leak report), and the leak check libFuzzer runs after every
# such input would take most of the time: it runs without. The check it
# watches allocates only through standard containers.
for target in fuzz_json_diff \
	fuzz_json_diff-qt6="$build_qt6/fuzz/fuzz_json_diff"; do
	run_target "$target" "$root/fuzz/corpus/json_diff" \
		-max_len=8192 \
		-detect_leaks=0 \
		-dict="$root/fuzz/json_diff.dict" || failed=1
done

/usr/bin/python3 "$root/fuzz/make_request_seeds.py" \
	--dict "$work/requests.dict"
if start_xvfb; then
	# State carries over between inputs, so libFuzzer's leak check after
	# every input that allocated more than it freed would only scan the
	# growing scene graph, and the one at exit sees whatever state the
	# last batch left. The target checks libobs's allocations itself at
	# each restart instead; fuzz_wire, which keeps no state, runs with
	# leak checks on. A smaller quarantine keeps the memory flat.
	ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0:quarantine_size_mb=64" \
		run_target fuzz_requests "$root/fuzz/corpus/requests" \
		-max_len=4096 \
		-detect_leaks=0 \
		-dict="$work/requests.dict" || failed=1
else
	echo "fuzz_requests: could not start Xvfb" >&2
	failed=1
fi

exit "$failed"
