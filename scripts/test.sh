#!/usr/bin/env bash
# Checks the formatting, then builds and runs every test: a plain Release
# build (the build type users and packagers get, so optimiser-only warnings
# show up here), the same suite under AddressSanitizer +
# UndefinedBehaviorSanitizer, the threaded suites under ThreadSanitizer, and
# the fuzzers (clang) for a bounded time; every build with warnings as errors.
# Ends with one line "N passed, M failed".
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-2}

bash scripts/setup.sh --test || exit 1

passed=0
failed=0
summary=()

# run_ctest DIR LABEL [ctest args...]: runs ctest and adds its counts.
run_ctest() {
  local dir=$1 name=$2; shift 2
  local log="$dir/ctest.log"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" "$@" 2>&1 | tee "$log"
  local line p f
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  if [ -z "$line" ]; then
    if grep -q 'No tests were found' "$log"; then return 0; fi
    failed=$((failed + 1)); summary+=("$name: ctest did not finish"); return
  fi
  f=$(sed -E 's/.*tests failed out of ([0-9]+).*/\1/;' <<<"$line")
  local total=$f
  f=$(sed -E 's/.*, ([0-9]+) tests failed.*/\1/' <<<"$line")
  p=$((total - f))
  passed=$((passed + p)); failed=$((failed + f))
  summary+=("$name: $p passed, $f failed")
}

# build DIR [cmake args...]: configures and builds with warnings as errors; a
# failure counts as one.
build() {
  local dir=$1; shift
  if ! cmake -S "$root" -B "$dir" -G Ninja -DVIZOR_WERROR=ON "$@" >"$dir.configure.log" 2>&1; then
    cat "$dir.configure.log"; return 1
  fi
  cmake --build "$dir" -j"$jobs"
}

# Formatting of the tracked sources (.clang-format).
if bash scripts/format.sh --check >build-format.log 2>&1; then
  passed=$((passed + 1)); summary+=("format: passed")
else
  cat build-format.log
  failed=$((failed + 1)); summary+=("format: $(grep -c '^needs formatting' build-format.log) files need formatting")
fi
# What the README promises of an install: the library and the tool need no
# umockdev, the pkg-config file builds the consumer, and
# the consumer runs on a virtual camera through the installed vizor-vcam-run.
install_checks() {
  local st="$root/build/stage" pc="$root/build/stage/lib/pkgconfig"
  if ldd "$st/bin/vizor" "$st/lib/libvizor.so" | grep -q umockdev; then
    echo "install: vizor or libvizor needs umockdev"; return 1
  fi
  cc examples/consumer/consumer.c -o build/consumer/pc_consumer \
     $(PKG_CONFIG_PATH="$pc" pkg-config --cflags --libs vizor) -Wl,-rpath,"$st/lib" || return 1
  "$st/bin/vizor-vcam-run" --scene room -- build/consumer/pc_consumer >/dev/null || return 1
  # Static links, through pkg-config and through CMake: the programs must not
  # need libvizor.so and must run on a virtual camera.
  cc examples/consumer/consumer.c -o build/consumer/static_pc_consumer \
     $(PKG_CONFIG_PATH="$pc" pkg-config --cflags --libs vizor-static) || return 1
  cmake -S examples/consumer -B build/consumer-static -G Ninja -DVIZOR_CONSUMER_STATIC=ON \
        -DCMAKE_PREFIX_PATH="$st" >build/consumer-static.configure.log 2>&1 &&
    cmake --build build/consumer-static -j"$jobs" >/dev/null || return 1
  local exe
  for exe in build/consumer/static_pc_consumer build/consumer-static/vizor_consumer; do
    if readelf -d "$exe" | grep -q 'libvizor'; then
      echo "install: $exe needs libvizor.so although linked statically"; return 1
    fi
    "$st/bin/vizor-vcam-run" --scene room -- "$exe" >/dev/null || return 1
  done
  "$st/bin/vizor" --virtual info --json >/dev/null || return 1
}

plain_ok=0
if build build -DCMAKE_BUILD_TYPE=Release -DVIZOR_DOCS_WERROR=ON; then
  plain_ok=1
  run_ctest build "plain"
else
  failed=$((failed + 1)); summary+=("plain: build failed")
fi

# The installed package: a staged install of the plain build, the example
# consumer built against it with find_package(vizor), and the installed tool.
if [ "$plain_ok" -eq 1 ]; then
  rm -rf build/stage build/consumer build/consumer-static
  if cmake --install build --prefix "$root/build/stage" >build/stage.log 2>&1 &&
     cmake -S examples/consumer -B build/consumer -G Ninja \
       -DCMAKE_PREFIX_PATH="$root/build/stage" >build/consumer.configure.log 2>&1 &&
     cmake --build build/consumer -j"$jobs" &&
     build/stage/bin/vizor --version >/dev/null &&
     install_checks; then
    passed=$((passed + 1)); summary+=("install+consumer: passed")
  else
    cat build/stage.log build/consumer.configure.log 2>/dev/null
    failed=$((failed + 1)); summary+=("install+consumer: failed")
  fi
  # The streaming examples (C callback, C++ layer as C++17) built against the
  # staged package and run for a few frames on the virtual camera.
  run=build/vcam/vizor-vcam-run
  ex_ok=1
  for ex in c_stream cpp_stream; do
    rm -rf "build/ex-$ex"
    if cmake -S "examples/$ex" -B "build/ex-$ex" -G Ninja \
         -DCMAKE_PREFIX_PATH="$root/build/stage" >"build/ex-$ex.configure.log" 2>&1 &&
       cmake --build "build/ex-$ex" -j"$jobs" >"build/ex-$ex.build.log" 2>&1 &&
       (cd build && timeout 120 "$root/$run" -c 1-1 --fps 30 -- "$root/build/ex-$ex/vizor_$ex" 5 \
          >"ex-$ex.run.log" 2>&1); then :; else
      cat "build/ex-$ex".*.log 2>/dev/null; ex_ok=0
    fi
  done
  # The Python examples on the staged package (Debian's interpreter).
  pypath=$(ls -d "$root"/build/stage/lib/python3*/dist-packages 2>/dev/null | head -1)
  for ex in "save_point_cloud.py cloud.ply" "live_stats.py 5"; do
    if [ -n "$pypath" ] && [ -d "$pypath/vizor" ] &&
       ! (cd build && PYTHONPATH="$pypath" timeout 120 "$root/$run" -c 1-1 --fps 30 -- \
            /usr/bin/python3 "$root/examples/python/"$ex >"ex-python.run.log" 2>&1); then
      cat build/ex-python.run.log; ex_ok=0
    fi
  done
  if [ "$ex_ok" -eq 1 ]; then
    passed=$((passed + 1)); summary+=("examples: passed")
  else
    failed=$((failed + 1)); summary+=("examples: failed")
  fi
fi

# The Debian packages: a build for /usr packed by cpack, each package's
# control fields and files listed and checked by lintian, the packages
# between them depending on the same libvizor1, and umockdev needed by
# vizor-virtual alone. Then they are unpacked into a scratch root (dpkg -x),
# the example consumer is built against that root (pkg-config and CMake) and
# runs on the virtual camera of the unpacked vizor-vcam-run.
deb_checks() {
  local d=$root/build-deb pkgs=$root/build-deb/pkg r=$root/build-deb/root
  build build-deb -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
        -DCMAKE_SKIP_INSTALL_RPATH=ON -DVIZOR_TESTS=OFF -DVIZOR_BENCH=OFF || return 1
  rm -rf "$pkgs" "$r" "$d/consumer" "$d/consumer-cmake"
  (cd "$d" && cpack -G DEB -B "$pkgs") >"$d/cpack.log" 2>&1 || { cat "$d/cpack.log"; return 1; }
  local deb name dep ver
  ver=$(sed -nE 's/^project\(vizor VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
  for name in libvizor1 libvizor-dev vizor python3-vizor vizor-virtual; do
    deb=$(ls "$pkgs/${name}_"*.deb 2>/dev/null) || { echo "deb: no package $name"; return 1; }
    echo "== $name"
    dpkg-deb -f "$deb" Package Version Depends Recommends
    dpkg-deb -c "$deb" | awk '{print $6}'
    dep=$(dpkg-deb -f "$deb" Depends)
    if [ "$name" != libvizor1 ] && ! grep -qF "libvizor1 (= $ver)" <<<"$dep"; then
      echo "deb: $name does not depend on libvizor1 (= $ver)"; return 1
    fi
    if [ "$name" != vizor-virtual ] && grep -q umockdev <<<"$dep"; then
      echo "deb: $name needs umockdev"; return 1
    fi
    dpkg -x "$deb" "$r" || return 1
  done
  lintian --fail-on error "$pkgs"/*.deb || return 1
  local lib
  lib=$(ls -d "$r"/usr/lib/*/pkgconfig | head -1); lib=${lib%/pkgconfig}
  cc examples/consumer/consumer.c -o "$d/consumer" \
     $(PKG_CONFIG_PATH="$lib/pkgconfig" pkg-config --cflags --libs vizor) || return 1
  cmake -S examples/consumer -B "$d/consumer-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$r/usr" \
        >"$d/consumer.configure.log" 2>&1 &&
    cmake --build "$d/consumer-cmake" >/dev/null || { cat "$d/consumer.configure.log"; return 1; }
  local exe
  for exe in "$d/consumer" "$d/consumer-cmake/vizor_consumer"; do
    LD_LIBRARY_PATH="$lib" "$r/usr/bin/vizor-vcam-run" --scene room -- "$exe" >/dev/null || return 1
  done
  LD_LIBRARY_PATH="$lib" "$r/usr/bin/vizor" --virtual info >/dev/null || return 1
  LD_LIBRARY_PATH="$lib" PYTHONPATH="$r/usr/lib/python3/dist-packages" \
    /usr/bin/python3 -c "import vizor; assert vizor.Recording" || return 1
}
if [ "$plain_ok" -eq 1 ]; then
  if deb_checks; then
    passed=$((passed + 1)); summary+=("debian packages: passed")
  else
    failed=$((failed + 1)); summary+=("debian packages: failed")
  fi
fi

# The API reference: built from the public headers with every Doxygen warning
# (an undocumented public item, a broken reference) an error: the plain build
# is configured with VIZOR_DOCS_WERROR=ON. The man page of the tool is part of
# the plain build.
if [ "$plain_ok" -eq 1 ]; then
  if cmake --build build --target docs >build/docs.log 2>&1 && [ -f build/docs/vizor.1 ]; then
    grep -E "Doxygen warnings" build/docs.log
    passed=$((passed + 1)); summary+=("docs: passed")
  else
    cat build/docs.log
    failed=$((failed + 1)); summary+=("docs: failed")
  fi
fi

if build build-asan -DCMAKE_BUILD_TYPE=Debug -DVIZOR_SANITIZE=address -DVIZOR_BENCH=OFF; then
  run_ctest build-asan "asan+ubsan"
else
  failed=$((failed + 1)); summary+=("asan+ubsan: build failed")
fi

if build build-tsan -DCMAKE_BUILD_TYPE=Debug -DVIZOR_SANITIZE=thread -DVIZOR_BENCH=OFF; then
  run_ctest build-tsan "tsan" -L threaded
else
  failed=$((failed + 1)); summary+=("tsan: build failed")
fi

if build build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
     -DCMAKE_CXX_COMPILER=clang++ -DVIZOR_FUZZ=ON -DVIZOR_TESTS=ON -DVIZOR_BENCH=OFF \
     -DVIZOR_VCAM=OFF; then
  run_ctest build-fuzz "clang+fuzz" -L fuzz
else
  failed=$((failed + 1)); summary+=("clang+fuzz: build failed")
fi

printf '%s\n' "${summary[@]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
