# Shared helpers for the scripts; sourced, not run.

# Installs the Debian packages that are missing, without prompts.
ensure_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  if [ -z "${QUORVANE_APT_UPDATED:-}" ]; then
    $sudo apt-get update -qq
    export QUORVANE_APT_UPDATED=1
  fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Packages every native build needs.
NATIVE_PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev
  libzip-dev zipcmp zipmerge ziptool zlib1g-dev libexpat1-dev libcli11-dev nlohmann-json3-dev)

# Configures and builds one native tree: configure_and_build DIR [cmake args...]
configure_and_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}
