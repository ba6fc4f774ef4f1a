#!/usr/bin/env bash
# The demo: builds the example host and runs it on the sample app bundle against the local
# service counterpart started inside the host.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup.sh"
echo "building..."
bash "$root/scripts/build.sh" "$root/build/demo" -DQM_BUILD_TESTS=OFF -DQM_BUILD_SERVICE=ON >/dev/null
host="$root/build/demo/examples/qm-host"
work="$root/build/demo/run"
rm -rf "$work" && mkdir -p "$work"
app="$root/examples/sample-app"
service=(--embedded-service "$work/service")

# Keeps, of the `requests` listing, only the in-app statistics requests and their own fields.
stats_only() {
  awk '/^(POST|GET) /{stats = ($0 ~ /\/mobile\/api\/stats$/)}
       /^(POST|GET) / || /^    / {if (stats && ($0 ~ /^POST/ || $0 ~ /^    (notificationID|action|pageUrl|template) = /)) print; next}
       {print}'
}

echo "### What the platform layer sees"
"$host" --bundle "$app" --sandbox "$work/first" info

echo
echo "### Three launches on one sandbox: the launch count grows; then the app switches account"
for n in 1 2 3; do
  "$host" --bundle "$app" --sandbox "$work/first" "${service[@]}" init live | grep -E "You are in|install|update" || true
done
"$host" --bundle "$app" --sandbox "$work/first" prefs | grep -E "qm_CountAppLaunch|qm_brandID"
cp -r "$app" "$work/other-brand.app"
sed -i 's|<integer>1001</integer>|<integer>2002</integer>|' "$work/other-brand.app/Info.plist"
"$host" --bundle "$work/other-brand.app" --sandbox "$work/first" "${service[@]}" init live prefs \
  | grep -E "BrandID has been changed|reset SDK data|qm_CountAppLaunch|qm_brandID"

echo
echo "### A session: start-up, events (one deferred until the settings are in), identification,"
echo "### the service's user id, background and foreground; then what the service received"
"$host" --bundle "$app" --sandbox "$work/session" "${service[@]}" \
  init live \
  track purchase --attr sku=A1 --attr color=red --ltv 19.99 --scope 2 \
  track weekly_report --scope 7 \
  track weekly_report --scope 7 \
  identify ann@example.com --param plan=gold \
  uid \
  background wait 1 foreground \
  requests

echo
echo "### A campaign deep link: the app opens on the Offers screen; the link's analytics id and"
echo "### UTM parameters travel with the next settings and event requests, with the service's cookies"
"$host" --bundle "$app" --sandbox "$work/link/app" "${service[@]}" \
  init live \
  open-url "quelmardemo://Offers?qm_anal_id=42&utm_source=mail&utm_campaign=spring" \
  track purchase \
  cookies \
  requests \
  | grep -E '^(== |notification |presented|opened|cookies|}|POST )|^ +["}]|^ +(clickID|utm_params|cookieData|event_name) = ' \
  | grep -vE '^== requests'

echo
echo "### The screen layer: qm-ui lays out a popup scene, draws it and reads the picture back"
ui="$root/build/demo/examples/qm-ui"
scene="$root/examples/qm-ui/scenes/popup.json"
"$ui" layout "$scene"
"$ui" draw "$scene" "$work/popup.png"
"$ui" media "$work/popup.png"
echo "(the picture: $work/popup.png)"

echo
echo "### The web engine: a page in a real web view posts a message, is measured and drawn"
"$ui" web "$root/service/fixtures/pages/probe.html" "$work/probe.png" --handler probe
echo "(the page's snapshot: $work/probe.png)"

echo
echo "### An in-app campaign: the launch brings one campaign per template; on the Modal screen Show"
echo "### puts the modal popup over it with its page drawn by the web engine; its second button"
echo "### routes to the Home screen. Then a sticky bar appears once half of a screen is scrolled."
echo "### Last, the statistics requests of those displays and that click, as the service received them."
"$host" --bundle "$app" --sandbox "$work/inapp" "${service[@]}" --fixture-set templates \
  init live screen ModalViewController show --sheet "$work/inapp-entrance.png" snapshot "$work/inapp.png" tap cta2 \
  screen ScrollViewController show scroll 30 scroll 60 snapshot "$work/inapp-scroll.png" requests 2>&1 \
  | stats_only \
  | grep -E "^== |^shown|^entrance|^scrolled|^snapshot|^tapped|^top screen|^notification QMInAppViewConroller|^POST|^    " || true
echo "(the popup's entrance: $work/inapp-entrance.png; on screen: $work/inapp.png; the on-scroll bar: $work/inapp-scroll.png)"

echo
echo "### A campaign page talks back: real clicks in its page hand survey progress to the app, open a"
echo "### web page, another app, a call and an app screen, and close it; a button click and the next"
echo "### day's display follow in the statistics."
"$host" --bundle "$app" --sandbox "$work/bridge" "${service[@]}" --fixture-set bridge \
  init live screen BridgeViewController show \
  page-click '#attempt' page-click '#submit' page-click '#web' page-click '#app' page-click '#call' page-click '#stop' \
  show page-click '#screen' tap cta1 clock 86400 screen BridgeViewController show requests 2>&1 \
  | stats_only \
  | grep -E '^== |^shown|^opened|^top screen|^notification QMInAppViewConroller|"eventName":"(Survey|Banner Clicked)|^POST|^    ' \
  | grep -vE '^== requests' || true

echo
echo "### Pushes: the app asks for permission, registers and subscribes its token. A push with a"
echo "### picture arrives while the app is in the background: the notification-service extension, a"
echo "### process of its own beside the app, attaches the picture, numbers the badge and reports the"
echo "### view; the user taps the push's button, which routes to the Offers screen. Last, the push"
echo "### requests as the service received them."
"$host" --bundle "$app" --sandbox "$work/push/app" "${service[@]}" --extension-bundle "$root/examples/sample-extension" \
  init live push-authorize granted push-register push-token 0aff \
  push-extension "$root/service/fixtures/pushes/image.json" notifications \
  push-open last --action qmpush-cta1 requests 2>&1 \
  | awk '/^(POST|GET) /{push = ($0 ~ /push\.quelmar\.io/)}
         /^(POST|GET) / || /^    / {if (push && ($0 ~ /^(POST|GET)/ || $0 ~ /^    (subscriptionId|notificationID|type|sid|clickType) = /)) print; next}
         {print}' \
  | grep -E '^== |registered|Push_Registered|^extension: \{|^received|^attachment|^delivered|^badge|^opened push|"Push_Clicked"|^top screen|^POST|^GET|^    ' \
  | grep -vE '^== requests' || true
