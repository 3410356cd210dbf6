# Sourced by run.sh and test.sh: the Debian packages the project builds and
# tests with, installed when missing. clang's sanitizer runtimes and libFuzzer
# (libclang-rt-14-dev) are only recommended by clang, so they are named here.
PARTWISE_PACKAGES=(
  g++ cmake ninja-build
  clang libclang-rt-14-dev clang-format
  googletest libgtest-dev
  libcli11-dev libxxhash-dev pkg-config
  qt6-base-dev qt6-base-dev-tools fonts-liberation2
  desktop-file-utils man-db dpkg-dev
  dash xxhash dosfstools strace
  libisal-dev
)

partwise_install_missing() {
  local missing=() pkg
  for pkg in "${PARTWISE_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# partwise_configure DIR [CMAKE ARGS...]
partwise_configure() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja --log-level=WARNING "$@"
}

# partwise_build DIR [CMAKE ARGS...]: configures and builds everything.
partwise_build() {
  partwise_configure "$@"
  cmake --build "$1" --parallel "$(nproc)"
}
