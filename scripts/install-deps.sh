#!/usr/bin/env bash
# Installs the Debian packages that building and testing need.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libonnx-dev libprotobuf-dev libeigen3-dev libdnnl-dev libzip-dev libdeflate-dev zlib1g-dev nlohmann-json3-dev libonnx-testdata
  dataset-fashion-mnist
  libopencv-dnn-dev
  libgtest-dev libgmock-dev libbenchmark-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
