# Sourced: start_xvfb picks a free display, starts Xvfb on it (by PID) and
# exports DISPLAY; stop_xvfb stops it.
# -noreset: without it Xvfb resets whenever its last client leaves and
# refuses connections meanwhile.

start_xvfb() {
	local n
	for n in $(seq 90 199); do
		if [ ! -e "/tmp/.X${n}-lock" ] && [ ! -e "/tmp/.X11-unix/X${n}" ]; then
			Xvfb ":${n}" -noreset -nolisten tcp -screen 0 1920x1080x24 \
				>/dev/null 2>&1 &
			TESSIL_XVFB_PID=$!
			local i
			for i in $(seq 1 100); do
				if [ -e "/tmp/.X11-unix/X${n}" ]; then
					export DISPLAY=":${n}"
					return 0
				fi
				kill -0 "$TESSIL_XVFB_PID" 2>/dev/null || break
				sleep 0.05
			done
		fi
	done
	return 1
}

stop_xvfb() {
	if [ -n "${TESSIL_XVFB_PID:-}" ]; then
		kill "$TESSIL_XVFB_PID" 2>/dev/null
		wait "$TESSIL_XVFB_PID" 2>/dev/null
		TESSIL_XVFB_PID=
	fi
}
