#!/usr/bin/env bash
# Builds the package into a temporary folder, checks where it puts each file, and runs its
# launcher with a stand-in for the program that reports the folder it was started in.
set -euo pipefail
build=${VELMORA_BUILD_DIR:?}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1; then
  cat "$tmp/cpack.log"
  exit 1
fi
debs=("$tmp"/out/velmora_*.deb)
deb=${debs[0]}
[ -f "$deb" ] || { echo "FAIL: cpack made no velmora_*.deb"; exit 1; }

listing=$(dpkg-deb -c "$deb")
files=$(awk '{print $6}' <<<"$listing")
for want in ./usr/bin/velmora ./usr/libexec/velmora/velmora ./usr/share/velmora/Velmora.uir \
            ./usr/share/applications/org.velmora.Velmora.desktop \
            ./usr/share/icons/hicolor/scalable/apps/org.velmora.Velmora.svg \
            ./usr/share/metainfo/org.velmora.Velmora.metainfo.xml; do
  grep -qxF "$want" <<<"$files" || fail "$want is not in the package"
done
tones=$(grep -cx '\./usr/share/velmora/Samples/Sinus_96000[LR]_[0-9]\{5\}Hz_0dB\.wav' <<<"$files" || true)
[ "$tones" = 26 ] || fail "$tones tone files in share/velmora/Samples, want 26"
# Only the launcher and the program may be executable: nothing of that kind in share/.
executables=$(awk '$1 ~ /^-..x/ {print $6}' <<<"$listing" | sort | tr '\n' ' ')
[ "$executables" = "./usr/bin/velmora ./usr/libexec/velmora/velmora " ] ||
  fail "executable files: $executables"
depends=$(dpkg-deb -f "$deb" Depends)
for want in libqt6widgets6 libsndfile1 qt6-qpa-plugins; do
  grep -q "$want" <<<"$depends" || fail "Depends lacks $want: $depends"
done

# Unpacked away from /usr, which also shows that the tree does not care about its prefix.
root=$tmp/root
dpkg-deb -x "$deb" "$root"
printf '#!/bin/sh\npwd -P\n' >"$root/usr/libexec/velmora/velmora"
data=$(cd "$root/usr/share/velmora" && pwd -P)
mkdir "$tmp/links"
ln -s ../root/usr/bin/velmora "$tmp/links/velmora"

# rows: how the launcher is called
check_start() {
  local how=$1 started rc=0
  shift
  started=$(cd / && "$@") || rc=$?
  if [ "$rc" != 0 ]; then
    fail "launcher $how: exit status $rc"
  elif [ "$started" != "$data" ]; then
    fail "launcher $how: program started in '$started', want '$data'"
  fi
}
check_start "by its path" "$root/usr/bin/velmora"
check_start "through a relative symbolic link" "$tmp/links/velmora"
check_start "by name on PATH" env PATH="$root/usr/bin:$PATH" velmora

# Without its data folder the program must not start at all, not start somewhere else.
mv "$root/usr/share/velmora" "$root/usr/share/velmora.away"
if started=$(cd / && "$root/usr/bin/velmora" 2>/dev/null) || [ -n "$started" ]; then
  fail "launcher without its data folder: started the program in '$started'"
fi

if [ "$status" = 0 ]; then
  echo "package $(basename "$deb"): $(stat -c %s "$deb") bytes, layout and launcher as expected"
fi
exit "$status"
