#!/usr/bin/env bash
# Builds the Windows FFmpeg and glog that Pellion.dll links statically, from Debian's own source
# packages, with Debian's mingw-w64. Prints the sysroot on stdout.
#
# The result is cached outside the clone, keyed on this recipe, the toolchain and the source
# versions, so a later run on the same machine only looks it up. Built libraries are never
# committed. PELLION_WIN_CACHE overrides the cache folder.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cache_root="${PELLION_WIN_CACHE:-/var/cache/pellion-win-deps}"
log() { echo "win-deps: $*" >&2; }

# Tools, and deb-src entries that mirror the machine's deb entries, so `apt-get source` works.
packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools wine64 nasm
  dpkg-dev cmake pkg-config xvfb)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
have_src() { grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; }
update=0
if ! have_src; then
  log "adding deb-src entries beside the deb ones"
  d=/etc/apt/sources.list.d
  for f in "$d"/*.sources; do
    [ -f "$f" ] && grep -q '^Types: deb$' "$f" &&
      sed 's/^Types: deb$/Types: deb-src/' "$f" | "${sudo_cmd[@]}" tee "$d/pellion-src-$(basename "$f")" >/dev/null
  done
  if [ -f /etc/apt/sources.list ] && grep -q '^deb ' /etc/apt/sources.list; then
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | "${sudo_cmd[@]}" tee "$d/pellion-src.list" >/dev/null
  fi
  update=1
fi
if [ ${#missing[@]} -gt 0 ] || [ $update -eq 1 ]; then
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  if [ ${#missing[@]} -gt 0 ]; then
    log "installing: ${missing[*]}"
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
  fi
fi

src_version() {
  (apt-cache showsrc "$1" 2>/dev/null || true) | sed -n 's/^Version: //p' | sort -V | tail -1
}
ffmpeg_version="$(src_version ffmpeg)"
glog_version="$(src_version google-glog)"
if [ -z "$ffmpeg_version" ] || [ -z "$glog_version" ]; then
  log "apt-cache knows no source package of ffmpeg or google-glog: are deb-src entries there?"
  exit 1
fi
# Everything the libraries are made with: the recipe, the toolchain's packages (compilers, C
# runtime and headers, binutils), nasm, cmake and the sources.
key="$( {
  cat "$0" "$here/cmake/mingw-w64-x86_64.cmake"
  dpkg-query -W g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev \
    binutils-mingw-w64-x86-64 nasm cmake
  echo "ffmpeg $ffmpeg_version glog $glog_version"
} | sha256sum | cut -c1-16)"
sysroot="$cache_root/$key"
if [ -f "$sysroot/.complete" ]; then
  echo "$sysroot"
  exit 0
fi
"${sudo_cmd[@]}" mkdir -p "$cache_root"
"${sudo_cmd[@]}" chown "$(id -u):$(id -g)" "$cache_root"
# One build per key at a time; whoever waited finds it done.
exec 9>"$cache_root/$key.lock"
flock 9
if [ -f "$sysroot/.complete" ]; then
  echo "$sysroot"
  exit 0
fi

log "building FFmpeg $ffmpeg_version and glog $glog_version into $sysroot (a few minutes)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
rm -rf "$sysroot" "$sysroot.tmp"
mkdir -p "$sysroot.tmp"
(cd "$work" && apt-get source -qq "ffmpeg=$ffmpeg_version" "google-glog=$glog_version") \
  >"$work/source.log" 2>&1 || { tail -20 "$work/source.log" >&2; exit 1; }

log "FFmpeg: configure"
(
  cd "$work"/ffmpeg-*/
  ./configure --prefix="$sysroot" --target-os=mingw32 --arch=x86_64 --enable-cross-compile \
    --cross-prefix=x86_64-w64-mingw32- --cc=x86_64-w64-mingw32-gcc-posix \
    --cxx=x86_64-w64-mingw32-g++-posix --pkg-config=false \
    --enable-static --disable-shared --disable-everything \
    --enable-decoder=h264,hevc --enable-parser=h264,hevc --enable-demuxer=h264,hevc \
    --enable-protocol=file --enable-swscale --enable-w32threads \
    --disable-avdevice --disable-avfilter --disable-swresample --disable-postproc \
    --disable-programs --disable-doc --disable-network --disable-autodetect --disable-debug \
    >"$work/ffmpeg-configure.log" 2>&1 || { tail -30 "$work/ffmpeg-configure.log" >&2; exit 1; }
  log "FFmpeg: build"
  make -j"$(nproc)" >"$work/ffmpeg-build.log" 2>&1 || { tail -30 "$work/ffmpeg-build.log" >&2; exit 1; }
  make install DESTDIR="" prefix="$sysroot.tmp" >/dev/null
)
# The .pc files name the final folder.
sed -i "s|$sysroot.tmp|$sysroot|g" "$sysroot.tmp"/lib/pkgconfig/*.pc

log "glog: configure and build"
cmake -S "$work"/google-glog-*/ -B "$work/glog-build" \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$sysroot.tmp" -DBUILD_SHARED_LIBS=OFF -DWITH_GFLAGS=OFF \
  -DWITH_UNWIND=OFF -DWITH_GTEST=OFF -DBUILD_TESTING=OFF -DLIB_INSTALL_DIR=lib \
  -DCMAKE_CXX_FLAGS="-DGLOG_NO_ABBREVIATED_SEVERITIES" >"$work/glog.log" 2>&1 ||
  { tail -30 "$work/glog.log" >&2; exit 1; }
cmake --build "$work/glog-build" -j"$(nproc)" >>"$work/glog.log" 2>&1 || { tail -30 "$work/glog.log" >&2; exit 1; }
cmake --install "$work/glog-build" >/dev/null
find "$sysroot.tmp" -name '*.cmake' -exec sed -i "s|$sysroot.tmp|$sysroot|g" {} +
[ -d "$sysroot.tmp/lib/pkgconfig" ] && sed -i "s|$sysroot.tmp|$sysroot|g" "$sysroot.tmp"/lib/pkgconfig/*.pc

touch "$sysroot.tmp/.complete"
mv -T "$sysroot.tmp" "$sysroot"
log "done: $(du -sh "$sysroot" | cut -f1)"
echo "$sysroot"
