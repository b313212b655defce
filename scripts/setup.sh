#!/usr/bin/env bash
# Installs what building, running and testing tessil-link needs on Debian 12.
# Idempotent and quiet: packages already present are not fetched again.
set -euo pipefail

packages=(
	# build
	cmake g++ make pkg-config binutils
	libobs-dev obs-studio obs-plugins
	qtbase5-dev libqt5websockets5-dev
	qt6-base-dev qt6-websockets-dev libgl-dev
	# tests
	libgtest-dev libgmock-dev
	clang libclang-rt-14-dev clang-format-14
	xvfb xauth x11-utils libgl1-mesa-dri
	python3 python3-websockets python3-xlib
	iproute2 util-linux procps chromium ffmpeg
	# packages: the .deb (CPack, dpkg-shlibdeps, lintian) and the .tar.xz
	dpkg-dev file help2man lintian xz-utils apt
)

missing=()
for package in "${packages[@]}"; do
	if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
		grep -q "install ok installed"; then
		missing+=("$package")
	fi
done

if [ ${#missing[@]} -eq 0 ]; then
	exit 0
fi

echo "setup: installing ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
	sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq >/dev/null
"${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
