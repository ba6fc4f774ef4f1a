#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those missing. Quick when all are there.
set -euo pipefail

packages=(
  build-essential g++ cmake ninja-build pkg-config ccache clang libclang-rt-14-dev openssl
  libcurl4-openssl-dev libssl-dev libicu-dev libplist-dev libsimdjson-dev libcpp-httplib-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcairo2-dev libpango1.0-dev fonts-dejavu-core
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev
  libwebkit2gtk-4.1-dev xvfb
  libnotify-dev
)
# Only the layout tests' data generator needs it (the generated data is committed).
if [ "${QM_SETUP_LAYOUT_ORACLE:-0}" = 1 ]; then packages+=(python3-kiwisolver); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
