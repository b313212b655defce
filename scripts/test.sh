#!/usr/bin/env bash
# The whole test suite: Qt 5 build (the one Debian's OBS loads) with unit and
# end-to-end tests, the Qt 6 build against Debian's libobs with its unit
# tests, the Qt 6 builds against the OBS 30.2.3 and 32.2.2 hosts with their
# unit tests, the packages made from those builds and tested installed (the
# .deb with apt: needs root), the unit tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, and bounded fuzz runs.
#
#   scripts/test.sh            everything
#   TESSIL_QUICK=1 scripts/test.sh   Qt 5 unit and end-to-end tests only
#
# The OBS hosts are prebuilt OBS releases for Debian 12, found in
# TESSIL_OBS_HOSTS (default: ../shared/hosts beside the repository) and
# unpacked into /opt by their install-obs-host.sh. Where one is missing its
# part is skipped and the summary says so; under CI a missing host fails.
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
jobs="$(nproc 2>/dev/null || echo 2)"
fuzz_seconds="${TESSIL_FUZZ_SECONDS:-60}"

bash scripts/setup.sh || { echo "setup failed"; exit 1; }

# shellcheck source=scripts/xvfb.sh
source scripts/xvfb.sh
start_xvfb || { echo "cannot start Xvfb"; exit 1; }
trap stop_xvfb EXIT

passed=0
failed=0
failures=()
failed_tests=()
skipped=()
timings=()
hosts_dir="${TESSIL_OBS_HOSTS:-$root/../shared/hosts}"

step() {
	local name="$1"
	shift
	echo
	echo "=== $name"
	local started=$SECONDS
	local outcome=ok
	"$@" || outcome=FAILED
	echo "=== $name: $outcome ($((SECONDS - started)) s)"
	timings+=("$(printf '%6d s  %s' $((SECONDS - started)) "$name")")
	[ "$outcome" = ok ] || failures+=("$name")
}

# Counts the tests a ctest run reports in its closing line.
run_ctest() {
	local dir="$1"
	shift
	local log
	log="$(mktemp)"
	ctest --test-dir "$dir" --output-on-failure -j "$jobs" "$@" 2>&1 | tee "$log"
	local status=${PIPESTATUS[0]}
	local line
	line="$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)"
	if [[ "$line" =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
		failed=$((failed + BASH_REMATCH[1]))
		passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
	fi
	local name
	while IFS= read -r name; do
		failed_tests+=("$dir: $name")
	done < <(sed -n '/The following tests FAILED:/,$p' "$log" |
		grep -E '^[[:space:]]+[0-9]+ - ' | sed -E 's/^[[:space:]]+//')
	rm -f "$log"
	return "$status"
}

# Configures and builds quietly; shows compiler diagnostics only.
build() {
	local dir="$1"
	shift
	mkdir -p "$dir"
	cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" \
		>"$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; return 1; }
	cmake --build "$dir" -j "$jobs" >"$dir/build.log" 2>&1
	local status=$?
	grep -E 'error|warning' "$dir/build.log"
	return "$status"
}

# The end-to-end suite with one built plug-in folder, in Debian's OBS or in
# the OBS binary given; a pattern picks some of its files.
run_e2e() {
	local plugin="$1" obs="${2:-}" pattern="${3:-test*.py}"
	local log status
	log="$(mktemp)"
	TESSIL_PLUGIN_DIR="$plugin" TESSIL_OBS_BINARY="$obs" \
		bash scripts/in-netns.sh /usr/bin/python3 -m unittest discover \
		-s tests/e2e -t . -p "$pattern" -v 2>&1 | tee "$log"
	status=${PIPESTATUS[0]}
	local ran
	ran="$(grep -Eo '^Ran [0-9]+ test' "$log" | grep -Eo '[0-9]+' | tail -n 1)"
	if [ -n "$ran" ]; then
		if [ "$status" -eq 0 ]; then
			passed=$((passed + ran))
		else
			local bad=0 count
			for count in $(grep -Eo '(failures|errors)=[0-9]+' "$log" | grep -Eo '[0-9]+'); do
				bad=$((bad + count))
			done
			[ "$bad" -gt 0 ] || bad=1
			failed=$((failed + bad))
			passed=$((passed + ran - bad))
		fi
	fi
	# Each failing test with the last line of its traceback, so that the
	# tail of a CI log names what failed.
	local line
	while IFS= read -r line; do
		failed_tests+=("${obs:-OBS 29}: ${line:0:300}")
	done < <(awk '/^(FAIL|ERROR): /{name=$0; next}
		name && /^[A-Za-z_.]*(Error|Exception|Exit|Interrupt)(: |$)/{print name " -> " $0; name=""}' "$log")
	rm -f "$log"
	return "$status"
}

step "build (Qt 5)" build build/qt5 -DQT_VERSION=AUTO
step "unit tests (Qt 5)" run_ctest build/qt5
step "end-to-end tests in OBS 29" run_e2e "$root/build/qt5/plugin/tessil-link"

if [ -z "${TESSIL_QUICK:-}" ]; then
	step "build (Qt 6)" build build/qt6 -DQT_VERSION=6 -DTESSIL_BUILD_BENCH=OFF
	step "unit tests (Qt 6)" run_ctest build/qt6
	for version in 30.2.3 32.2.2; do
		dir="build/obs${version%%.*}"
		if [ ! -f "$hosts_dir/obs-$version-debian12-qt6.tar.xz" ]; then
			skipped+=("OBS $version: no host in $hosts_dir")
			continue
		fi
		step "install OBS $version" bash "$hosts_dir/install-obs-host.sh" "$version"
		step "build (Qt 6, OBS $version)" build "$dir" -DQT_VERSION=6 \
			-DCMAKE_PREFIX_PATH="/opt/obs-$version" -DTESSIL_BUILD_BENCH=OFF
		step "unit tests (OBS $version)" run_ctest "$dir"
		step "end-to-end tests in OBS $version" run_e2e \
			"$root/$dir/plugin/tessil-link" "/opt/obs-$version/bin/obs"
	done
	# The packages from the Qt 5 build and the OBS 30.2.3 build above
	# (nothing is compiled again), then installed, run and removed.
	TESSIL_PACKAGE_QT5_BUILD=build/qt5 TESSIL_PACKAGE_OBS30_BUILD=build/obs30 \
		step "packages" bash scripts/package.sh
	TESSIL_PACKAGES_DIR="$root/dist" step "package tests" run_e2e \
		"$root/build/qt5/plugin/tessil-link" "" "test_packages.py"
	step "build (ASan+UBSan)" build build/asan -DQT_VERSION=AUTO \
		-DTESSIL_SANITIZE=ON -DTESSIL_BUILD_BENCH=OFF
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		step "unit tests (ASan+UBSan)" run_ctest build/asan
	if [ -f scripts/fuzz.sh ]; then
		step "fuzzing (${fuzz_seconds} s)" bash scripts/fuzz.sh "$fuzz_seconds"
	fi
fi

echo
echo "time per step:"
printf '%s\n' "${timings[@]}"
echo "total: $SECONDS s"
for part in "${skipped[@]}"; do
	echo "skipped: $part"
	# CI must run every part.
	[ -z "${CI:-}" ] || failures+=("$part")
done
if [ ${#failures[@]} -eq 0 ]; then
	echo "all steps passed"
else
	printf 'failed step: %s\n' "${failures[@]}"
fi
for name in "${failed_tests[@]}"; do
	echo "failed test: $name"
done
echo "summary: $passed passed, $failed failed"
[ ${#failures[@]} -eq 0 ]
