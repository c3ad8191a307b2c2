#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Tervik need.
# Idempotent: when every package is already present it only checks and exits.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config
  dpf-source
  libx11-dev libgl-dev libglx-dev libxext-dev libxcursor-dev libxrandr-dev libxtst-dev
  fonts-roboto-unhinted
  libgl1-mesa-dri libglx-mesa0 xvfb xauth x11-utils
  libsndfile1-dev libebur128-dev
  googletest libgtest-dev
  imagemagick clang-format
  zam-plugins
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}" >&2
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
