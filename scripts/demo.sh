#!/usr/bin/env bash
# The demo: builds the example host and runs it on the sample app bundle with a fresh
# sandbox, against the local service counterpart started inside the host.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup.sh"
echo "building..."
bash "$root/scripts/build.sh" "$root/build/demo" -DQM_BUILD_TESTS=OFF -DQM_BUILD_SERVICE=ON >/dev/null
host="$root/build/demo/examples/qm-host"
work="$root/build/demo/run"
rm -rf "$work" && mkdir -p "$work"
sandbox="$work/sandbox"
app="$root/examples/sample-app"
service=(--embedded-service "$work/service")

echo "### What the platform layer sees"
"$host" --bundle "$app" --sandbox "$sandbox" info

echo
echo "### A session: start-up, events, identification, background and foreground"
"$host" --bundle "$app" --sandbox "$sandbox" "${service[@]}" \
  init live \
  track purchase --attr sku=A1 --attr color=red --ltv 19.99 --scope 2 \
  track weekly_report --scope 7 \
  identify ann@example.com --param plan=gold \
  uid \
  background wait 2 foreground \
  requests

echo
echo "### Launched again: the launch count grows, the periodic event waits its seven days"
"$host" --bundle "$app" --sandbox "$sandbox" "${service[@]}" init live track weekly_report --scope 7 prefs

echo
echo "### The app switches to another account: the library's stored data is reset"
cp -r "$app" "$work/other-brand.app"
sed -i 's|<integer>1001</integer>|<integer>2002</integer>|' "$work/other-brand.app/Info.plist"
"$host" --bundle "$work/other-brand.app" --sandbox "$sandbox" "${service[@]}" init live prefs
