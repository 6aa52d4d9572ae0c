# Shared by the project's scripts: installs what a fresh Debian 12 machine lacks.
# shellcheck shell=bash

CARDGATE_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Debian packages the native build and the test suite need.
CARDGATE_PACKAGES=(cmake make g++ pkg-config libboost1.74-dev libboost-system1.74-dev
  libboost-thread1.74-dev libboost-date-time1.74-dev libboost-filesystem1.74-dev
  nlohmann-json3-dev googletest libgtest-dev
  dpkg-dev debian-archive-keyring  # fetch and check Debian's mbed TLS source (scripts/mbedtls.sh)
  faketime  # sets the gateway's clock back in an end-to-end test, and dates an expired certificate
  openssl)  # makes the throw-away CA and certificates of the TLS tests

# What the test suite needs beyond the build: promtool checks the live metrics and the example
# rules, headless Chromium renders the status page.
CARDGATE_TEST_PACKAGES=(prometheus chromium
  systemd  # systemd-analyze checks the service unit offline
  nginx)  # a log server built on OpenSSL for the upload's interoperability tests and figures

# ensure_packages PKG...: installs the packages that are missing (needs root and apt-get).
ensure_packages() {
  local missing=()
  local p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    return 0
  fi
  echo "Installing missing packages: ${missing[*]}"
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
  fi
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
  for p in "${missing[@]}"; do
    if [ "$p" = nginx ]; then
      stop_system_nginx "${sudo[@]}"
    fi
  done
}

# Debian's nginx starts and enables its own service on port 80 when it is installed (where the
# machine lets packages start services). The tests and the figures run nginx processes of their
# own with their own settings; the service is stopped and disabled, so nothing of the project
# listens on port 80 or comes back at the next boot.
stop_system_nginx() {
  if [ -d /run/systemd/system ]; then
    "$@" systemctl disable --now nginx.service >/dev/null 2>&1 || true
  else
    "$@" invoke-rc.d nginx stop >/dev/null 2>&1 || true
    "$@" update-rc.d nginx disable >/dev/null 2>&1 || true
  fi
}

cardgate_jobs() {
  nproc 2>/dev/null || echo 2
}
