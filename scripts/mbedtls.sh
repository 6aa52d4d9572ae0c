#!/usr/bin/env bash
# Provides the static mbed TLS libraries the project links: the source of Debian's current stable
# mbed TLS (3.6 LTS) fetched with apt, built with its own CMake and cmake/mbedtls_config.h for one
# compiler and set of flags, installed into a cache. CMake runs it at configure time
# (cmake/MbedTls.cmake); it prints the installation prefix on its last line.
#   scripts/mbedtls.sh APT_DIR CC "CFLAGS" [SYSTEM_NAME]
# APT_DIR (in the build directory) holds the project's own source list; the machine's apt
# configuration is neither read nor changed. apt checks what it fetches against Debian's archive
# keyring. The package lists, the unpacked source and every build are kept in the cache
# (CARDGATE_MBEDTLS_CACHE; default /var/cache/cardgate-mbedtls when it can be written, else
# ~/.cache/cardgate-mbedtls): the lists are refreshed at most once an hour, and a library is built
# only when the version, the configuration, the compiler or the flags are new. When the archive
# cannot be reached, the newest source already in the cache is used.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

if [ $# -lt 3 ]; then
  sed -n '2,13p' "$0" >&2
  exit 2
fi
apt_dir="$1"
cc="$2"
cflags="$3"
system_name="${4:-}"
config="$root/cmake/mbedtls_config.h"
# Debian's stable release and its security updates; its mbed TLS is the 3.6 LTS branch.
suite=trixie
keyring=/usr/share/keyrings/debian-archive-keyring.gpg

cache="${CARDGATE_MBEDTLS_CACHE:-}"
if [ -z "$cache" ]; then
  if mkdir -p /var/cache/cardgate-mbedtls 2>/dev/null && [ -w /var/cache/cardgate-mbedtls ]; then
    cache=/var/cache/cardgate-mbedtls
  else
    cache="${XDG_CACHE_HOME:-$HOME/.cache}/cardgate-mbedtls"
  fi
fi
mkdir -p "$cache" "$apt_dir"
exec 9>"$cache/lock"
flock 9  # one fetch or build at a time per cache (several build directories share it)

say() { echo "mbedtls: $*" >&2; }

mkdir -p "$apt_dir/parts" "$apt_dir/preferences.d" "$cache/lists/partial" \
  "$cache/apt/archives/partial" "$cache/src"
cat > "$apt_dir/sources.list" <<EOF
deb-src [signed-by=$keyring] http://deb.debian.org/debian $suite main
deb-src [signed-by=$keyring] http://deb.debian.org/debian-security $suite-security main
EOF
apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/parts"
  -o "Dir::Etc::Preferences=$apt_dir/preferences" -o "Dir::Etc::PreferencesParts=$apt_dir/preferences.d"
  -o "Dir::State::Lists=$cache/lists" -o "Dir::Cache=$cache/apt"
  -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache=" -o "APT::Sandbox::User=$(id -un)")

newest_cached() {
  find "$cache/src" -mindepth 1 -maxdepth 1 -type d -name 'mbedtls_*' -printf '%f\n' |
    sed 's/^mbedtls_//' | sort -V | tail -n 1
}

version=""
stamp="$cache/lists/.updated"
if [ -z "$(find "$stamp" -mmin -60 2>/dev/null)" ]; then
  if apt-get "${apt_opts[@]}" -qq update >"$cache/update.log" 2>&1; then
    touch "$stamp"
  else
    say "the archive's lists could not be refreshed (see $cache/update.log)"
  fi
fi
version="$(apt-cache "${apt_opts[@]}" showsrc mbedtls 2>/dev/null |
  sed -n 's/^Version: //p' | sort -V | tail -n 1 || true)"
if [ -z "$version" ]; then
  version="$(newest_cached)"
  if [ -z "$version" ]; then
    say "no mbed TLS source in Debian's $suite lists nor in $cache/src"
    exit 1
  fi
  say "using the cached source $version"
fi
case "$version" in
  3.6.*) ;;
  *) say "Debian's $suite carries mbed TLS $version, not the 3.6 LTS this build is made for"; exit 1 ;;
esac

src_home="$cache/src/mbedtls_$version"
if [ ! -f "$src_home/.complete" ]; then
  say "fetching the source of mbed TLS $version from Debian"
  rm -rf "$src_home" "$src_home.tmp"
  mkdir -p "$src_home.tmp"
  # apt-get source verifies the files against the signed lists and unpacks them with dpkg-source,
  # applying Debian's patches.
  (cd "$src_home.tmp" && apt-get "${apt_opts[@]}" -qq source "mbedtls=$version" >&2)
  mv "$src_home.tmp" "$src_home"
  touch "$src_home/.complete"
fi
src="$(find "$src_home" -mindepth 1 -maxdepth 1 -type d -name 'mbedtls-*' | head -n 1)"
if [ -z "$src" ] || [ ! -f "$src/CMakeLists.txt" ]; then
  say "no unpacked source in $src_home"
  exit 1
fi

# Everything that makes a build differ names it.
key="$( {
  echo "$version"
  sha256sum "$config" "$0" | cut -d' ' -f1
  "$cc" --version | head -n 1
  echo "$cflags|$system_name"
} | sha256sum | cut -c1-16)"
prefix="$cache/build/$version-$key"
if [ ! -f "$prefix/.complete" ]; then
  say "building mbed TLS $version ($cc $cflags)"
  work="$(mktemp -d "$cache/work.XXXXXX")"
  trap 'rm -rf "$work"' EXIT
  cross=()
  if [ -n "$system_name" ]; then
    cross=(-DCMAKE_SYSTEM_NAME="$system_name")
  fi
  rm -rf "$prefix"
  cmake -S "$src" -B "$work" "${cross[@]}" -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$cflags" \
    -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
    -DMBEDTLS_CONFIG_FILE="$config" -DUSE_STATIC_MBEDTLS_LIBRARY=ON \
    -DUSE_SHARED_MBEDTLS_LIBRARY=OFF -DENABLE_PROGRAMS=OFF -DENABLE_TESTING=OFF -DGEN_FILES=OFF \
    -DMBEDTLS_FATAL_WARNINGS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log" >&2; exit 1; }
  cmake --build "$work" -j "$(nproc 2>/dev/null || echo 2)" >"$work/build.log" 2>&1 ||
    { tail -n 40 "$work/build.log" >&2; exit 1; }
  cmake --install "$work" >/dev/null
  # Whoever includes the headers gets the configuration the library was built with.
  cp "$config" "$prefix/include/mbedtls/mbedtls_config.h"
  rm -rf "$prefix/lib/cmake" "$prefix/lib/pkgconfig"
  touch "$prefix/.complete"
fi
echo "$prefix"
