#!/usr/bin/env bash
# Runs OBS with an already built tessil-link plug-in and serves the link.
#
#   scripts/run-obs.sh [--private] [--seconds N] [--websocket] [--keep] [PLUGIN_DIR]
#
# PLUGIN_DIR is the plug-in folder as OBS wants it (tessil-link/bin/64bit/
# tessil-link.so, tessil-link/data/...); default build/qt5/plugin/tessil-link.
#
# On a desktop (DISPLAY reachable, not CI) the plug-in is installed into your
# own OBS plug-in folder and your OBS is started; the script ends when OBS does.
#
# Otherwise (or with --private) OBS runs headless on its own Xvfb with a
# private configuration in a temporary folder; nothing of yours is touched.
# It serves on this machine's loopback until Ctrl-C or SIGTERM, then closes
# OBS through its window so that the plug-in unloads, and reports whether
# OBS logged "Number of memory leaks: 0". Options for this mode (each selects
# it):
#   --seconds N   stop by itself after N seconds (smoke runs); the exit status
#                 is 0 only when the plug-in listened, unloaded, and OBS closed
#                 by itself with no leaks
#   --websocket   also enable obs-websocket on port 4455, with a new password
#                 (printed)
#   --keep        keep the private configuration folder afterwards
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
python=/usr/bin/python3 # Debian's, with python3-xlib

usage() {
	sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'
}

private=""
serve_args=()
plugin=""
while [ $# -gt 0 ]; do
	case "$1" in
	--private) private=1 ;;
	--seconds)
		[ $# -ge 2 ] || { usage >&2; exit 2; }
		private=1
		serve_args+=(--seconds "$2")
		shift
		;;
	--websocket | --keep)
		private=1
		serve_args+=("$1")
		;;
	-h | --help)
		usage
		exit 0
		;;
	-*)
		echo "unknown option: $1" >&2
		usage >&2
		exit 2
		;;
	*)
		[ -z "$plugin" ] || { usage >&2; exit 2; }
		plugin="$1"
		;;
	esac
	shift
done

plugin="${plugin:-$root/build/qt5/plugin/tessil-link}"
plugin="$(cd "$plugin" 2>/dev/null && pwd)" || plugin=""
name="$(basename "${plugin:-tessil-link}")"
if [ -z "$plugin" ] || [ ! -f "$plugin/bin/64bit/$name.so" ]; then
	echo "no built plug-in folder (<dir>/bin/64bit/tessil-link.so);" \
		"build it first, e.g. with scripts/run.sh" >&2
	exit 1
fi

have_desktop() {
	[ -z "${CI:-}" ] && [ -n "${DISPLAY:-}" ] || return 1
	if command -v xdpyinfo >/dev/null 2>&1; then
		timeout 5 xdpyinfo >/dev/null 2>&1
	else
		timeout 5 "$python" -c 'import Xlib.display; Xlib.display.Display().close()' >/dev/null 2>&1
	fi
}

if [ -n "$private" ] || ! have_desktop; then
	exec "$python" "$root/scripts/obs_session.py" serve --plugin "$plugin" "${serve_args[@]}"
fi

# --- Desktop: the user's own OBS -------------------------------------------

if ! command -v obs >/dev/null 2>&1; then
	echo "OBS Studio is not installed (no 'obs' on PATH)" >&2
	exit 1
fi
# An OBS already on this display would not load the newly installed plug-in.
for pid in $(pgrep -u "$(id -u)" -x obs 2>/dev/null || true); do
	if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "DISPLAY=$DISPLAY"; then
		echo "OBS is already running (pid $pid): close it first, so that it loads the plug-in" >&2
		exit 1
	fi
done

config_home="${XDG_CONFIG_HOME:-$HOME/.config}"
case "$config_home" in
/*) ;;
*) config_home="$HOME/.config" ;; # libobs wants an absolute XDG_CONFIG_HOME
esac
target="$config_home/obs-studio/plugins/$name"
mkdir -p "$(dirname "$target")"
rm -rf "$target"
cp -R "$plugin" "$target"
echo "Installed the plug-in into $target"

token_file="$config_home/tessil/link-token.txt"
config_file="$config_home/obs-studio/plugin_config/$name/config.json"
port=47841
if [ -f "$config_file" ]; then
	port="$("$python" -c 'import json, sys
try:
    print(int(json.load(open(sys.argv[1])).get("port", 47841)))
except Exception:
    print(47841)' "$config_file")"
fi

marker="$(mktemp)"
trap 'rm -f "$marker"' EXIT
obs_output="$(mktemp "${TMPDIR:-/tmp}/tessil-obs-output.XXXXXX")"
obs >"$obs_output" 2>&1 &
obs_pid=$!
# Ctrl-C reaches OBS as well, which then closes itself; keep waiting for it.
trap ':' INT TERM

echo "Started OBS (pid $obs_pid); its output goes to $obs_output"
echo "Tessil Link: ws://127.0.0.1:$port"
echo "Token file:  $token_file"
# The plug-in rewrites the token file at every load.
for _ in $(seq 1 300); do
	kill -0 "$obs_pid" 2>/dev/null || break
	if [ -f "$token_file" ] && [ "$token_file" -nt "$marker" ]; then
		echo "Token:       $(cat "$token_file")"
		break
	fi
	sleep 0.1
done
echo "Close OBS to stop."

status=0
while kill -0 "$obs_pid" 2>/dev/null; do
	wait "$obs_pid" && status=0 || status=$?
done
echo "OBS exited (status $status)"
exit "$status"
