#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the application need.
# Idempotent: when every package is already installed it only checks and returns.
set -euo pipefail

packages=(
  # toolchain and test frameworks
  build-essential cmake ninja-build ccache pkg-config libgtest-dev libgmock-dev libbenchmark-dev
  # clang with libFuzzer and the sanitizers, and its OpenMP runtime (the fuzz step)
  clang libclang-rt-14-dev libomp-14-dev
  # engine libraries
  libicu-dev libcurl4-openssl-dev libssl-dev zlib1g-dev nlohmann-json3-dev
  libdnnl-dev libsoxr-dev
  # application libraries (Qt 6, X11, accessibility, keychain)
  qt6-base-dev qt6-svg-dev qtkeychain-qt6-dev qt6-qpa-plugins
  # Qt's own German texts (context menus, standard dialogs, key names)
  qt6-translations-l10n
  libx11-dev libxext-dev libxtst-dev libxkbcommon-dev libatspi2.0-dev libglib2.0-dev libsecret-1-0 libpulse-dev
  # what the system tests run against
  xvfb xauth xdotool x11-utils x11-xkb-utils xclip at-spi2-core dbus pulseaudio pulseaudio-utils
  espeak-ng sox gnome-keyring libsecret-tools psmisc procps
  # fonts the drawing tests measure text with
  fonts-dejavu-core
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "install-deps: installing ${#missing[@]} packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q "${missing[@]}"
else
  echo "install-deps: all ${#packages[@]} packages present"
fi
