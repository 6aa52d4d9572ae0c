#!/usr/bin/env bash
# Prepares the target libraries for the 32-bit MIPS little-endian build in a private sysroot:
#   scripts/mipsel-sysroot.sh [DIR]      (default: build-mipsel/sysroot)
# Debian's mipsel builds of Boost and nlohmann-json are downloaded as .deb files and
# unpacked with dpkg -x; nothing is installed into the host, because multiarch installs of these
# packages would have to match the host's own (newer) builds version for version. The C and C++
# runtime come from the cross compiler (g++-mipsel-linux-gnu), not from here.
# A stamp file records what was unpacked; a second run with the same package list returns at once.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$CARDGATE_ROOT"

sysroot="${1:-build-mipsel/sysroot}"
mkdir -p "$sysroot"
sysroot="$(cd "$sysroot" && pwd)"
stamp="$sysroot/.cardgate-sysroot"

# Target packages: the static libraries we link and the headers and CMake package files they come
# with. Boost.Thread needs Boost.Atomic (its CMake package) and Boost.Chrono (its timed waits);
# the headers come with libboost1.74-dev.
packages=(libboost1.74-dev libboost-atomic1.74-dev libboost-chrono1.74-dev libboost-system1.74-dev
  libboost-thread1.74-dev libboost-date-time1.74-dev libboost-filesystem1.74-dev
  nlohmann-json3-dev)

want="${packages[*]}"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
  exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo=(sudo)
fi

# apt must know the mipsel index to download mipsel packages; adding the architecture installs
# nothing by itself.
if ! dpkg --print-foreign-architectures | grep -qx mipsel; then
  echo "Adding the mipsel architecture to dpkg (for apt-get download only)"
  "${sudo[@]}" dpkg --add-architecture mipsel
  "${sudo[@]}" apt-get update -qq
elif ! apt-cache show libboost-thread1.74-dev:mipsel >/dev/null 2>&1; then
  "${sudo[@]}" apt-get update -qq
fi

# What an earlier package list unpacked goes first: headers of a library no longer taken from
# here must not shadow the ones the build makes.
rm -rf "${sysroot:?}/usr" "$stamp"

debs="$sysroot/../sysroot-debs"
rm -rf "$debs"
mkdir -p "$debs"
names=()
for p in "${packages[@]}"; do
  if [ "$p" = nlohmann-json3-dev ]; then
    names+=("$p")  # architecture-independent
  else
    names+=("$p:mipsel")
  fi
done
echo "Downloading the mipsel libraries: ${names[*]}"
# apt-get download writes into the current directory. As root it warns that the download runs
# unsandboxed; that is harmless here.
(cd "$debs" && apt-get download -qq "${names[@]}" 2>&1 | grep -v 'unsandboxed' || true)

count=0
for deb in "$debs"/*.deb; do
  [ -e "$deb" ] || continue
  dpkg -x "$deb" "$sysroot"
  count=$((count + 1))
done
if [ "$count" -ne "${#packages[@]}" ]; then
  echo "mipsel-sysroot: expected ${#packages[@]} packages, unpacked $count" >&2
  exit 1
fi
for f in usr/lib/mipsel-linux-gnu/libboost_thread.a \
  usr/include/boost/version.hpp usr/include/nlohmann/json.hpp; do
  if [ ! -e "$sysroot/$f" ]; then
    echo "mipsel-sysroot: $f is missing after unpacking" >&2
    exit 1
  fi
done
# The shared objects point at runtime packages that are not unpacked; the router build links
# statically, so a dangling .so must not lure the linker.
find "$sysroot/usr/lib" -name '*.so' -xtype l -delete
rm -rf "$debs"
echo "$want" > "$stamp"
echo "mipsel sysroot ready in $sysroot"
