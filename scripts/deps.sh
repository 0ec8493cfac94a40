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
  # The tests start their IRC servers and services themselves: a package must
  # not leave one running for the whole machine.
  command -v systemctl >/dev/null 2>&1 || return 0
  for daemon in inspircd atheme-services prometheus; do
    if [[ " ${missing[*]} " =~ " $daemon " ]]; then
      $sudo systemctl disable --now "$daemon" >/dev/null 2>&1 || true
    fi
  done
}

# What building the program needs (OpenSSL 3 for TLS, libsystemd for the
# service manager's readiness), and what the desktop program needs in addition
# (Qt 6 Widgets).
BUILD_PACKAGES=(g++ cmake ninja-build pkgconf netbase libcurl4-openssl-dev libssl-dev libsystemd-dev)
DESKTOP_PACKAGES=(qt6-base-dev)
# What the tests need in addition: GoogleTest, two IRC servers to talk to, IRC
# services linked to one of them (atheme: accounts and SASL logins), two IRC
# clients (irssi under tmux, WeeChat headless with its FIFO plugin) and
# Python to drive them, Qt 6 Widgets for the desktop window and its tests, the
# tools that make and check the Debian packages (lintian among them), their
# manual pages and desktop entries, promtool (in prometheus) that checks what a
# metrics scrape reads, and Node.js for the IRC client library of the
# end-to-end test (a node already on the machine serves).
TEST_PACKAGES=(googletest libgtest-dev libgmock-dev "${DESKTOP_PACKAGES[@]}" ngircd inspircd atheme-services irssi tmux weechat-headless weechat-plugins
  dpkg-dev lintian man-db mandoc desktop-file-utils openssl prometheus)
# The desktop program's test on a real X display: a virtual display (Xvfb), a
# window manager (openbox) and a tray host (trayer), the accessibility bus
# (at-spi2-core, in a session of dbus-run-session) and Python's client of it,
# what asks the display (xdpyinfo, xprop, xwininfo), moves the pointer (xdotool)
# and takes the screenshots (import).
TEST_PACKAGES+=(xvfb openbox trayer xdotool x11-utils imagemagick dbus at-spi2-core python3-pyatspi fonts-dejavu-core)
command -v python3 >/dev/null 2>&1 || TEST_PACKAGES+=(python3)
command -v node >/dev/null 2>&1 || TEST_PACKAGES+=(nodejs)
command -v npm >/dev/null 2>&1 || TEST_PACKAGES+=(npm)

# What the fuzz targets need: clang and its libFuzzer runtime.
FUZZ_PACKAGES=(clang libclang-rt-14-dev)

# The IRC client library of the end-to-end test, from the npm registry, pinned.
E2E_NODE_PACKAGE=irc-framework@4.14.0
ensure_node_modules() {
  local prefix=$1
  local installed="$prefix/node_modules/irc-framework/package.json"
  if [ -f "$installed" ] && grep -q '"version": "4.14.0"' "$installed"; then return 0; fi
  mkdir -p "$prefix"
  npm install --prefix "$prefix" --no-save --no-audit --no-fund --loglevel=error "$E2E_NODE_PACKAGE"
}
