#!/usr/bin/env bash
# Builds the packages a streamer installs into dist/, with their SHA256SUMS:
#
#   tessil-link_<version>_amd64.deb              Debian's and Ubuntu's OBS 29:
#       Qt 5, built against Debian's libobs 29 (checked with lintian)
#   tessil-link-<version>-linux-x86_64.tar.xz   OBS 30 and newer: Qt 6, built
#       against the headers of the OBS 30.2.3 host in /opt/obs-30.2.3 (see
#       ../shared/hosts/install-obs-host.sh); left out, and said so, where
#       that host is not installed
#
# The version is the CMake project's. Each package is built in a folder of
# its own, build/pkg-qt5 and build/pkg-obs30, without tests; another build of
# the same Qt and libobs can be named instead, and is then only brought up to
# date (scripts/test.sh reuses its builds this way):
#
#   TESSIL_PACKAGE_QT5_BUILD=build/qt5 TESSIL_PACKAGE_OBS30_BUILD=build/obs30 \
#       scripts/package.sh
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
jobs="$(nproc 2>/dev/null || echo 2)"
obs30="${TESSIL_OBS30_PREFIX:-/opt/obs-30.2.3}"
qt5_build="${TESSIL_PACKAGE_QT5_BUILD:-build/pkg-qt5}"
obs30_build="${TESSIL_PACKAGE_OBS30_BUILD:-build/pkg-obs30}"
dist="$root/dist"

bash scripts/setup.sh

# Configures a folder that has no build yet (with the options given), or
# configures an existing one again as it is; then builds it.
build() {
	local dir="$1"
	shift
	mkdir -p "$dir"
	if [ -f "$dir/CMakeCache.txt" ]; then
		cmake -S . -B "$dir" >"$dir/configure.log" 2>&1
	else
		cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
			-DTESSIL_BUILD_TESTS=OFF -DTESSIL_BUILD_BENCH=OFF "$@" \
			>"$dir/configure.log" 2>&1
	fi || { cat "$dir/configure.log"; return 1; }
	cmake --build "$dir" -j "$jobs" >"$dir/build.log" 2>&1 ||
		{ grep -E 'error' "$dir/build.log"; return 1; }
}

# Runs cpack with one generator in a build folder; prints the package made.
make_package() {
	local dir="$1" generator="$2"
	rm -rf "$dir/packages"
	(cd "$dir" && cpack -G "$generator" >cpack.log 2>&1) ||
		{ cat "$dir/cpack.log" >&2; return 1; }
	find "$dir/packages" -maxdepth 1 -type f \( -name '*.deb' -o -name '*.tar.xz' \)
}

mkdir -p "$dist"
rm -f "$dist"/tessil-link[_-]*.deb "$dist"/tessil-link-*.tar.xz "$dist/SHA256SUMS"

echo "package: .deb for Debian's and Ubuntu's OBS 29 (Qt 5) in $qt5_build"
build "$qt5_build" -DQT_VERSION=5
deb="$(make_package "$qt5_build" DEB)"
# lintian's errors fail the package; its warnings are shown.
status=0
lintian --fail-on error "$deb" >"$qt5_build/lintian.log" 2>&1 || status=$?
grep -v 'running with root privileges' "$qt5_build/lintian.log" || true
[ "$status" -eq 0 ] || { echo "package: lintian failed on $deb"; exit 1; }
cp "$deb" "$dist/"

if [ -f "$obs30/lib/cmake/libobs/libobsConfig.cmake" ]; then
	echo "package: .tar.xz for OBS 30 and newer (Qt 6, headers of $obs30) in $obs30_build"
	build "$obs30_build" -DQT_VERSION=6 -DCMAKE_PREFIX_PATH="$obs30"
	cp "$(make_package "$obs30_build" TXZ)" "$dist/"
else
	echo "package: no OBS 30.2.3 host in $obs30, so no .tar.xz for OBS 30 and newer"
	echo "         (install it with ../shared/hosts/install-obs-host.sh 30.2.3)"
fi

(cd "$dist" && sha256sum -- tessil-link[_-]* >SHA256SUMS)
echo "package: in $dist:"
(cd "$dist" && ls -l -- tessil-link[_-]* SHA256SUMS | awk '{ print "  " $5 "  " $9 }')
