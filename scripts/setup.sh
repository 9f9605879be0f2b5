#!/usr/bin/env bash
# Installs the Debian packages of the project. Without arguments: the build
# and run set, what building the library and the vizor tool and running it on
# the virtual camera need (scripts/run.sh). With --test also what the tests,
# the sanitizer and clang fuzzer builds, the benchmarks, the browser test of
# the viewer, the Python package and its tests, the API reference and man page
# and the Debian packages need (scripts/test.sh). Idempotent: when all of them
# are present it changes nothing and does not touch the network.
set -euo pipefail

run_packages=(
  g++ cmake ninja-build pkg-config
  libusb-1.0-0-dev libminizip-dev zlib1g-dev libsqlite3-dev
  libcli11-dev libpng-dev nlohmann-json3-dev
  libcpp-httplib-dev libjs-three   # vizor view: HTTP server, three.js for the point cloud
  umockdev libumockdev-dev         # the virtual camera
)
test_packages=(
  build-essential binutils unzip
  clang libclang-rt-14-dev clang-format-14                # fuzzers, formatting
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libopencv-imgproc-dev   # benchmarks only: OpenCV's remap and float decode pipeline
  chromium chromium-driver python3-selenium               # vizor view: the browser test
  python3-dev pybind11-dev python3-numpy python3-pytest   # the Python package and its tests
  python3-open3d   # the point-cloud example (examples/python)
  doxygen help2man                                        # API reference and man page
  dpkg-dev lintian                                        # the Debian packages
)

case "${1:-}" in
  "") packages=("${run_packages[@]}") ;;
  --test) packages=("${run_packages[@]}" "${test_packages[@]}") ;;
  *) echo "usage: scripts/setup.sh [--test]" >&2; exit 2 ;;
esac

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
