#!/usr/bin/env bash
# The demo: builds the example host and runs it on the sample app bundle with a fresh sandbox.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" "$root/build/demo" -DQM_BUILD_TESTS=OFF -DQM_BUILD_SERVICE=OFF >/dev/null
host="$root/build/demo/examples/qm-host"
work="$root/build/demo/run"
rm -rf "$work" && mkdir -p "$work"
sandbox="$work/sandbox"

echo "### What the platform layer sees"
"$host" --bundle "$root/examples/sample-app" --sandbox "$sandbox" info

echo
echo "### Three start-ups on one sandbox: the launch count grows"
for n in 1 2 3; do
  "$host" --bundle "$root/examples/sample-app" --sandbox "$sandbox" init live
done
"$host" --bundle "$root/examples/sample-app" --sandbox "$sandbox" prefs

echo
echo "### The app switches to another account: the library's stored data is reset"
cp -r "$root/examples/sample-app" "$work/other-brand.app"
sed -i 's|<integer>1001</integer>|<integer>2002</integer>|' "$work/other-brand.app/Info.plist"
"$host" --bundle "$work/other-brand.app" --sandbox "$sandbox" init live prefs
