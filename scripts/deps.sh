# Sourced by run.sh and test.sh: the Debian packages the project builds and
# tests with, installed when missing.
PARTWISE_PACKAGES=(
  g++ cmake ninja-build
  googletest libgtest-dev
  libcli11-dev libxxhash-dev pkg-config
  qt6-base-dev qt6-base-dev-tools fonts-liberation2
  desktop-file-utils man-db dpkg-dev
  dash xxhash dosfstools
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

partwise_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja --log-level=WARNING "$@"
  cmake --build "$dir"
}
