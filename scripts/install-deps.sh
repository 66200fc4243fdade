#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Velmora need.
# Safe to run again: apt-get skips what is already there. Runs as root or through sudo.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build ccache pkg-config git
  # libraries
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev libsdl2-dev libpulse-dev libsndfile1-dev
  libdbus-1-dev
  # tests and benchmarks; qt6-tools-dev for QUiLoader, whose CMake package wants Qt6OpenGL's
  qt6-tools-dev libqt6opengl6-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  # the reference engine that bench/bench_vs_openal measures ours against
  libopenal-dev
  # the fuzz targets: clang 14 and its runtimes (libFuzzer, address and undefined sanitizers),
  # and llvm-14 for llvm-symbolizer, without which clang's runtime prints bare addresses
  clang-14 libclang-rt-14-dev llvm-14
  # a display and a sound server for the end-to-end tests
  xvfb xdotool x11-utils x11-apps imagemagick pulseaudio pulseaudio-utils sox
  # the other sound server they run against, as Debian 12's desktops have it
  pipewire pipewire-bin pipewire-pulse wireplumber
  # dbus-run-session: the sanitizer tests also run where a D-Bus session answers
  dbus-daemon
  # bench/rtkit_grant.sh: real time as RTKit grants it to a user without the right to it
  rtkit polkitd
  # fonts, so that labels render the same everywhere
  fonts-dejavu-core
  # the Debian package: cpack's dependency scan, and the checks of its desktop entry and
  # AppStream metadata
  dpkg-dev file desktop-file-utils appstream
)

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
