#!/usr/bin/env bash
# Runs the whole end-to-end suite N times in a row, the way scripts/test.sh
# does (one Xvfb, each run in a network namespace of its own), keeps each
# run's log, and then says which tests failed or errored in how many runs.
#
#   scripts/e2e-repeat.sh N [PLUGIN_DIR]
#
# PLUGIN_DIR is the built plug-in folder (default build/qt5/plugin/tessil-link).
# Logs: build/e2e-repeat/run-K.log (those of an earlier call are removed).
# Exits non-zero when any run failed.
set -uo pipefail

usage() {
	echo "usage: $0 N [PLUGIN_DIR]" >&2
	exit 2
}

if [ "$#" -lt 1 ] || [ "$#" -gt 2 ]; then
	usage
fi
runs="$1"
[[ "$runs" =~ ^[1-9][0-9]*$ ]] || usage

root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root" || exit 2
plugin="$(cd "${2:-build/qt5/plugin/tessil-link}" 2>/dev/null && pwd)" || {
	echo "no plug-in folder ${2:-build/qt5/plugin/tessil-link}" >&2
	exit 2
}
if [ ! -f "$plugin/bin/64bit/tessil-link.so" ]; then
	echo "no built plug-in at $plugin/bin/64bit/tessil-link.so" >&2
	exit 2
fi

logs="$root/build/e2e-repeat"
mkdir -p "$logs"
rm -f "$logs"/run-*.log "$logs"/times.txt

# shellcheck source=scripts/xvfb.sh
source scripts/xvfb.sh
start_xvfb || {
	echo "cannot start Xvfb" >&2
	exit 1
}
trap stop_xvfb EXIT

echo "end-to-end suite, $runs run(s), plug-in $plugin"
failed_runs=0
for run in $(seq 1 "$runs"); do
	log="$logs/run-$run.log"
	started="$(date +%s%N)"
	TESSIL_PLUGIN_DIR="$plugin" \
		bash scripts/in-netns.sh /usr/bin/python3 -m unittest discover \
		-s tests/e2e -t . -v >"$log" 2>&1
	status=$?
	elapsed_ms=$((($(date +%s%N) - started) / 1000000))
	seconds="$((elapsed_ms / 1000)).$(printf '%03d' $((elapsed_ms % 1000)))"
	printf '%s %s %s\n' "$run" "$status" "$seconds" >>"$logs/times.txt"
	result="$(grep -E '^(OK|FAILED)( |$)' "$log" | tail -n 1)"
	[ -n "$result" ] || result="no result line (exit status $status)"
	printf 'run %d/%d: %s, %.0f s\n' "$run" "$runs" "$result" "$seconds"
	[ "$status" -eq 0 ] || failed_runs=$((failed_runs + 1))
done

# The table: from each log's closing "FAIL:"/"ERROR:" sections (subtests
# and class fixtures included), each test counted once per run, with the
# exception line of each of its failures.
/usr/bin/python3 - "$logs" "$runs" <<'EOF'
import os
import re
import sys

logs, runs = sys.argv[1], int(sys.argv[2])
heading = re.compile(r"^(FAIL|ERROR): (\S+) \(([^)]*)\)(?: (\[.*\]|\(.*\)))?\s*$")
exception = re.compile(r"^[A-Za-z_][\w.]*(Error|Exception|Failure|Interrupt|Exit)(:|$)")
counts, kinds, cases, messages = {}, {}, {}, {}
times = {}
with open(os.path.join(logs, "times.txt")) as f:
    for line in f:
        run, status, seconds = line.split()
        times[int(run)] = (int(status), float(seconds))
for run in range(1, runs + 1):
    with open(os.path.join(logs, "run-%d.log" % run), errors="replace") as f:
        text = f.read()
    seen = set()
    test = None
    for line in text.splitlines():
        if test and exception.match(line):
            messages.setdefault(test, {}).setdefault(line[:200], []).append(run)
            test = None
            continue
        match = heading.match(line)
        if not match:
            continue
        kind, name, where, case = match.groups()
        # Python 3.11 writes "name (module.Class.name)", older ones
        # "name (module.Class)"; class fixtures "setUpClass (module.Class)".
        test = where if where.endswith("." + name) else where + "." + name
        kinds.setdefault(test, set()).add(kind)
        if case:
            cases.setdefault(test, set()).add(case)
        seen.add(test)
    if times[run][0] != 0 and not seen:
        seen.add("(the suite itself: %s)" % ("no result" if "\nRan " not in text else "failed"))
    for test in seen:
        counts[test] = counts.get(test, 0) + 1

print()
if counts:
    width = max(len(test) for test in counts)
    print("%-*s  %s" % (width, "test that failed or errored", "runs"))
    for test in sorted(counts, key=lambda t: (-counts[t], t)):
        detail = "/".join(sorted(kinds.get(test, ())))
        if test in cases:
            detail += "; " + ", ".join(sorted(cases[test]))
        print("%-*s  %d/%d  %s" % (width, test, counts[test], runs, detail))
    print()
    for test in sorted(messages):
        print(test)
        for message, in_runs in sorted(messages[test].items(), key=lambda item: (min(item[1]), item[0])):
            print("    runs %s: %s" % (",".join(str(r) for r in sorted(set(in_runs))), message))
    print()
print("run  exit  seconds")
for run in range(1, runs + 1):
    status, seconds = times[run]
    print("%3d  %4d  %7.1f" % (run, status, seconds))
failed = sum(1 for status, _ in times.values() if status != 0)
print()
if failed:
    print("%d of %d runs failed; %d test(s) failed at least once; logs in %s" % (failed, runs, len(counts), logs))
else:
    print("all %d runs passed; logs in %s" % (runs, logs))
EOF

[ "$failed_runs" -eq 0 ]
