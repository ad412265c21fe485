# Shared by scripts/demo and scripts/test: makes sure the Debian packages the
# build needs are installed, installing them when running as root.
KQ_PACKAGES="cmake make g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libdw-dev libpam0g-dev libxxhash-dev"

kq_require_packages() {
  local missing=()
  for package in $KQ_PACKAGES "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  elif command -v sudo >/dev/null 2>&1; then
    echo "Installing with sudo: ${missing[*]}"
    sudo apt-get update -qq
    sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  else
    echo "Please install these Debian packages first: ${missing[*]}" >&2
    echo "  apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
}

kq_jobs() { nproc 2>/dev/null || echo 2; }
