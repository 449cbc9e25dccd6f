#!/usr/bin/env bash
# Installs every Debian package that building, testing and benchmarking velmor-audio needs.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
  build-essential g++ cmake ninja-build pkg-config clang-format git clang libclang-rt-14-dev \
  libgtest-dev libgmock-dev libbenchmark-dev \
  nlohmann-json3-dev libsoxr-dev libpulse-dev libicu-dev libecal2.0-dev libical-dev \
  pulseaudio pulseaudio-utils pipewire pipewire-pulse wireplumber dbus evolution-data-server \
  sox espeak-ng python3 \
  >/dev/null
