# Sourced by the run and test scripts: installs the Debian packages that are missing.
# ensure_packages pkg...: one apt-get run for all that are not installed yet.
ensure_packages() {
  local missing=()
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# What building the program needs.
BUILD_PACKAGES=(g++ cmake ninja-build netbase)
# What the tests need in addition: GoogleTest and an IRC server to talk to.
TEST_PACKAGES=(googletest libgtest-dev libgmock-dev)
