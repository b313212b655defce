#!/bin/sh
# Runs a command in a network namespace of its own, with only loopback up:
# ports (47841, 4455) cannot collide with anything else on the machine, no
# packet can leave it, and OBS's "already running" check (an abstract socket)
# sees only this namespace. Needs root, or user namespaces.
#   scripts/in-netns.sh /usr/bin/python3 -m unittest discover -s tests/e2e
set -eu
if [ "$#" -eq 0 ]; then
	echo "usage: $0 COMMAND [ARG...]" >&2
	exit 2
fi
if [ "$(id -u)" -eq 0 ]; then
	exec unshare --net -- sh -c 'ip link set lo up && exec "$@"' sh "$@"
fi
exec unshare --map-root-user --net -- sh -c 'ip link set lo up && exec "$@"' sh "$@"
