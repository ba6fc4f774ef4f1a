#!/usr/bin/env bash
# Builds and runs the whole test suite three times: a normal build, an AddressSanitizer +
# UndefinedBehaviorSanitizer build and a ThreadSanitizer build. Pass "normal", "address" or
# "thread" (one or more) to run only those kinds.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup.sh"

kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(normal address thread)

for kind in "${kinds[@]}"; do
  case "$kind" in
    normal)  dir="$root/build/normal"; opts=(-DQM_SANITIZE=) ;;
    address) dir="$root/build/asan";   opts=(-DQM_SANITIZE=address) ;;
    thread)  dir="$root/build/tsan";   opts=(-DQM_SANITIZE=thread) ;;
    *) echo "test.sh: unknown build kind '$kind'" >&2; exit 2 ;;
  esac
  echo "== $kind build"
  started=$SECONDS
  bash "$root/scripts/build.sh" "$dir" -DQM_BUILD_TESTS=ON "${opts[@]}"
  echo "== $kind build took $((SECONDS - started)) s"
  echo "== $kind tests"
  started=$SECONDS
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  export TSAN_OPTIONS="halt_on_error=1 suppressions=$root/tests/tsan.supp"
  # For the programs the tests start (hosts, tools) too: the test programs carry their own.
  export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp"
  (cd "$dir" && ctest -j"$(nproc)" --output-on-failure --timeout 300)
  echo "== $kind tests took $((SECONDS - started)) s"
done
