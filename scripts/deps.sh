# Sourced by the set-up scripts: installs the Debian packages the build and
# the tests need, only when some are missing, so a second run is quick.
zb_packages_build="build-essential cmake qt6-base-dev qt6-base-dev-tools libgl-dev libqt6svg6 libssl-dev"
# openssl makes the test certificates, python3-openssl gives the FTP test
# server its TLS, rsync is a benchmark's reference.
zb_packages_test="googletest libgtest-dev libgmock-dev zlib1g-dev libbenchmark-dev zip unzip
  p7zip-full python3 python3-pyftpdlib python3-aiosmtpd xvfb xauth desktop-file-utils
  clang libclang-rt-14-dev openssl ca-certificates python3-openssl rsync"

zb_install_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
}
