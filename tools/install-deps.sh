#!/usr/bin/env bash
# Installs the Debian packages listed in tools/packages/*.txt that are missing.
# As root it installs them; anyone else is told what is missing and how to
# install it, and the script fails. Nothing missing: success for anyone.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t wanted < <(cat tools/packages/*.txt | sed -e 's/#.*//' -e 's/[[:space:]]//g' | grep -v '^$' | sort -u)
missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0
if [ "$(id -u)" != 0 ]; then
  {
    echo "install-deps: missing Debian packages: ${missing[*]}"
    echo "Install them as root, with this script:"
    echo "  sudo $0"
    echo "or directly:"
    echo "  sudo apt-get install -y ${missing[*]}"
  } >&2
  exit 1
fi
# Packages with services must not start them on install.
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
  chmod +x /usr/sbin/policy-rc.d
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
