#!/usr/bin/env bash
# install_test.sh BUILD_DIR CMAKE GENERATOR CXX SERVICE_PROGRAM [LAUNCHER]
#
# Installs BUILD_DIR into a fresh prefix, then builds the out-of-tree host app in consumer/
# twice against that prefix, once through find_package(quelmar CONFIG) and once with the
# flags of `pkg-config --static quelmar`, and runs each build against the local service:
# the run passes only if the service received the library's settings request. A second host
# links the screen and media libraries the same two ways and must draw and read back a picture.
set -euo pipefail
build="$1"; cmake="$2"; generator="$3"; cxx="$4"; service="$5"; launcher="${6:-}"
here="$(cd "$(dirname "$0")" && pwd)"
app="$here/../../examples/sample-app"
jobs=2

# Routing comes from the command line only; nothing may reach the host through the environment.
unset QM_SERVICE_ADDRESS QM_SERVICE_CA

work="$(mktemp -d "${TMPDIR:-/tmp}/quelmar-install.XXXXXX")"
service_pid=""
cleanup() {
  if [ -n "$service_pid" ]; then
    kill "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "install test: $*" >&2; exit 1; }
# quiet LOG COMMAND...: runs COMMAND into LOG and shows LOG only when it fails.
quiet() {
  local log="$1"; shift
  "$@" >"$log" 2>&1 && return 0
  local status=$?
  cat "$log" >&2
  return $status
}

echo "-- cmake --install into $work/prefix"
quiet "$work/install.log" "$cmake" --install "$build" --prefix "$work/prefix" || fail "install failed"

# Every installed header must compile from the prefix alone: a header that includes something
# left out of the install breaks every consumer.
for header in "$work"/prefix/include/quelmar/*.hpp "$work"/prefix/include/qmbase/*.hpp \
              "$work"/prefix/include/qmplatform/*.hpp "$work"/prefix/include/qmui/*.hpp \
              "$work"/prefix/include/qmmedia/*.hpp; do
  echo "#include \"${header#"$work"/prefix/include/}\""
done >"$work/all_headers.cpp"
$launcher "$cxx" -std=c++20 -fsyntax-only -I"$work/prefix/include" "$work/all_headers.cpp" \
  || fail "the installed headers do not compile on their own"

echo "-- consumer through find_package(quelmar CONFIG)"
quiet "$work/configure.log" "$cmake" -S "$here/consumer" -B "$work/cmake-build" -G "$generator" \
  -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_CXX_COMPILER="$cxx" \
  ${launcher:+"-DCMAKE_CXX_COMPILER_LAUNCHER=$launcher"} || fail "find_package(quelmar CONFIG) failed"
quiet "$work/build.log" "$cmake" --build "$work/cmake-build" -j"$jobs" || fail "the CMake consumer does not build"

echo "-- consumer through pkg-config"
pc="$(find "$work/prefix" -name quelmar.pc | head -n1)"
[ -n "$pc" ] || fail "quelmar.pc was not installed"
flags="$(PKG_CONFIG_PATH="$(dirname "$pc")${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}" \
         pkg-config --cflags --libs --static quelmar)" || fail "pkg-config does not read quelmar.pc"
# shellcheck disable=SC2086  # the flags are words
$launcher "$cxx" -std=c++20 -o "$work/consumer-pc" "$here/consumer/main.cpp" $flags \
  || fail "the pkg-config consumer does not build with: $flags"
ui_flags="$(PKG_CONFIG_PATH="$(dirname "$pc")${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}" \
            pkg-config --cflags --libs --static quelmar-ui quelmar-media)" || fail "pkg-config does not read quelmar-ui.pc"
# shellcheck disable=SC2086
$launcher "$cxx" -std=c++20 -o "$work/consumer-ui-pc" "$here/consumer/ui_main.cpp" $ui_flags \
  || fail "the pkg-config drawing consumer does not build with: $ui_flags"

echo "-- drawing consumers"
"$work/cmake-build/consumer-ui" "$work/cmake.png" || fail "the CMake drawing consumer failed"
"$work/consumer-ui-pc" "$work/pkg-config.png" || fail "the pkg-config drawing consumer failed"

echo "-- local service"
mkfifo "$work/service.out"
"$service" --port 0 --state "$work/service" --quiet >"$work/service.out" 2>&1 &
service_pid=$!
# Kept open until the end: the service writes a second line after the address.
exec 3<"$work/service.out"
line=""
read -r -t 30 line <&3 || true
address="${line#listening on https://}"
[ "$address" != "$line" ] || fail "the service did not start: '$line'"
admin="https://$address/__admin"
ca="$work/service/ca.pem"

run_consumer() {
  local name="$1" program="$2"
  curl -sfS --cacert "$ca" -d "" "$admin/reset" >/dev/null || fail "cannot reset the service"
  quiet "$work/$name.log" "$program" --bundle "$app" --sandbox "$work/sandbox-$name" \
    --service "$address" --ca "$ca" || fail "the $name consumer failed"
  local requests
  requests="$(curl -sfS --cacert "$ca" "$admin/requests")" || fail "cannot read the service's requests"
  if ! grep -q '"endpoint":"settings"' <<<"$requests"; then
    cat "$work/$name.log"
    fail "the $name consumer's settings request did not reach the service: $requests"
  fi
  echo "$name consumer: settings request received"
}
run_consumer cmake "$work/cmake-build/consumer"
run_consumer pkg-config "$work/consumer-pc"
