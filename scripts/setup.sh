#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the virtual camera, the
# sanitizer runs, the fuzzers and the benchmarks need. Idempotent: when all of
# them are present it changes nothing and does not touch the network.
set -euo pipefail

packages=(
  build-essential g++ cmake ninja-build pkg-config binutils
  clang libclang-rt-14-dev clang-format-14
  libusb-1.0-0-dev libminizip-dev zlib1g-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  umockdev libumockdev-dev libglib2.0-dev
  libcli11-dev libpng-dev nlohmann-json3-dev libsqlite3-dev
  libopencv-imgproc-dev   # benchmarks only: OpenCV's remap and float decode pipeline
  unzip
  libcpp-httplib-dev libjs-three   # vizor view: HTTP server, three.js for the point cloud
  chromium chromium-driver python3-selenium   # vizor view: the browser tests
  python3-dev pybind11-dev python3-numpy python3-pytest   # the Python package and its tests
  doxygen help2man                                        # API reference and man page
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#packages[@]} packages present"
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
echo "setup: installing ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
