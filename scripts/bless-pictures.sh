#!/usr/bin/env bash
# bless-pictures.sh [gtest filter]: re-draws the reference pictures on purpose. Builds the
# normal build, runs the picture tests (DrawPictures.* unless a filter is given) with
# QM_BLESS_PICTURES=1 so that they write tests/data/pictures/*.png instead of comparing, and
# lists the pictures that changed. Look at every listed picture before committing it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${QM_BUILD_DIR:-$root/build/normal}"
filter="${1:-DrawPictures.*}"

bash "$root/scripts/build.sh" "$dir" -DQM_BUILD_TESTS=ON -DQM_SANITIZE=
QM_BLESS_PICTURES=1 "$dir/tests/qm_ui_tests" --gtest_filter="$filter" --gtest_brief=1

changed="$(git -C "$root" status --porcelain --untracked-files=all -- tests/data/pictures)"
if [ -z "$changed" ]; then
  echo "bless-pictures: no reference picture changed"
else
  echo "bless-pictures: changed reference pictures (look at each before committing):"
  echo "$changed" | sed 's/^/  /'
fi
