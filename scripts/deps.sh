#!/bin/sh
# SPDX-License-Identifier: ISC
# Installs the Debian packages the build and the tests need, and those named
# on the command line, where missing:  scripts/deps.sh [PACKAGE...]
set -eu

packages="cmake ninja-build g++ clang libgtest-dev libgmock-dev iproute2 util-linux $*"

missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

echo "installing:$missing"
if [ "$(id -u)" -eq 0 ]; then
    sudo=""
else
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
# shellcheck disable=SC2086
$sudo apt-get install -y -q --no-install-recommends $missing
