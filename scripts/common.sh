# Shared steps of scripts/test and scripts/demo: installing what a fresh Debian 12 lacks, and the two builds.
# Source it; it defines functions only.

BRISKLODE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_NATIVE=${BUILD_NATIVE:-$BRISKLODE_ROOT/build/native}
BUILD_WIN=${BUILD_WIN:-$BRISKLODE_ROOT/build/win}
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}

# Debian packages the builds, tests, demo and artwork need. Installed only when missing.
BRISKLODE_PACKAGES=(
  cmake make g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev googletest libbenchmark-dev
  g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
  wine wine64 libwine fonts-wine fonts-liberation fonts-dejavu-core xvfb x11-utils imagemagick
  socat ser2net lrzsz iproute2 util-linux procps psmisc python3 file
  binutils zip unzip dpkg-dev help2man wixl msitools osslsigncode openssl
  lintian softhsm2 libengine-pkcs11-openssl gnupg
  libcli11-dev nlohmann-json3-dev
  ansible ansible-lint openssh-server python3-pycodestyle python3-voluptuous
)

log_step() { printf '\n==> %s\n' "$*"; }

install_dependencies() {
  local missing=()
  local pkg
  for pkg in "${BRISKLODE_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  if [ ${#missing[@]} -eq 0 ]; then
    log_step "All build and test packages are present"
    return 0
  fi
  log_step "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

build_native() {
  log_step "Native build ($BUILD_NATIVE)"
  cmake -S "$BRISKLODE_ROOT" -B "$BUILD_NATIVE" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$BUILD_NATIVE" -j "$JOBS"
}

build_windows() {
  log_step "Windows build ($BUILD_WIN)"
  cmake -S "$BRISKLODE_ROOT" -B "$BUILD_WIN" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$BRISKLODE_ROOT/cmake/mingw-w64.cmake" "$@" >/dev/null
  cmake --build "$BUILD_WIN" -j "$JOBS"
}

# A private Wine prefix of our own; created once, reused. Echoes its path.
wine_prefix() {
  local prefix=${BRISKLODE_WINEPREFIX:-$BRISKLODE_ROOT/build/wineprefix}
  if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$prefix"
    # Even the prefix's first boot happens off the network.
    in_private_network env WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
      bash -c 'wineboot -i >/dev/null 2>&1; wineserver -w' || true
  fi
  echo "$prefix"
}

# Refuses (status 1) unless this network namespace holds no address but loopback and the test range
# 198.18.0.0/15. The phases that start the window (it broadcasts discovery at start and every 5 s) are entered
# by running a script again with a phase variable inside a namespace of ours; this keeps a phase that is
# reached any other way (a variable left in the environment) from broadcasting on the machine's network.
require_private_network() {
  local addresses outside
  addresses=$(ip -o addr show 2>/dev/null) || { echo "$1: cannot list this namespace's addresses" >&2; return 1; }
  outside=$(awk '($3 == "inet" && $4 !~ /^127\./ && $4 !~ /^198\.1[89]\./) ||
                 ($3 == "inet6" && $4 != "::1/128" && $4 !~ /^fe80:/) {print $2 " " $4}' <<<"$addresses")
  [ -z "$outside" ] && return 0
  echo "$1: refusing to run outside a private test network (this namespace has $(tr '\n' ' ' <<<"$outside"))" >&2
  return 1
}

# Runs a command in a fresh network namespace: loopback, plus one veth pair that leads nowhere with a
# test-range address, because some resolvers (ser2net's among them) refuse to bind while a host has no
# address but loopback. Nothing done in it reaches a real network.
in_private_network() {
  unshare -n bash -c 'ip link set lo up &&
    { ip link add bl-void0 type veth peer name bl-void1 &&
      ip addr add 198.18.255.1/30 dev bl-void0 && ip link set bl-void0 up && ip link set bl-void1 up; } 2>/dev/null
    exec "$@"' bash "$@"
}
