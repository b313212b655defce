#!/usr/bin/python3
"""Runs a command on an X screen of its own, an Xvfb of the given size that
stops with it: on_screen.py WIDTHxHEIGHT COMMAND [ARG...]

The Link dialog's layout tests run this way on the screens of small laptops:
Qt 5's offscreen platform has no screen but an 800x600 one.
"""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))

import obs_session  # noqa: E402  (needs the path above)


def main(argv):
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    xvfb = obs_session.Xvfb(size=argv[1] + "x24")
    try:
        return subprocess.run(argv[2:], env=dict(os.environ, DISPLAY=xvfb.display)).returncode
    finally:
        xvfb.stop()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
