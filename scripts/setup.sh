#!/usr/bin/env bash
# Installs every Debian package the project builds, runs and tests with.
# Idempotent: when everything is present it only runs dpkg-query and exits.
set -euo pipefail

packages=(
  # toolchain
  build-essential g++ cmake ninja-build pkg-config clang-format git
  # Qt 6
  qt6-base-dev qt6-base-dev-tools libqt6opengl6-dev qt6-multimedia-dev
  qt6-qpa-plugins qt6-l10n-tools qt6-tools-dev libgl-dev libegl-dev libglx-dev
  libxkbcommon-dev
  # FFmpeg libraries and CLI (fixtures and verification)
  libavcodec-dev libavformat-dev libavutil-dev libavdevice-dev libavfilter-dev
  libswscale-dev libswresample-dev ffmpeg
  # X11 capture
  libx11-dev libxrandr-dev libxcomposite-dev libxext-dev libxfixes-dev libxdamage-dev
  x11-xserver-utils xserver-xephyr
  # headless display, screenshots, software OpenGL
  xvfb xauth x11-utils imagemagick libgl1-mesa-dri mesa-utils
  # RTMP peer for stream tests
  nginx libnginx-mod-rtmp
  # interface fonts: Latin, Chinese, the emoji on buttons, and "Arial" for text overlays
  fontconfig fonts-noto-core fonts-dejavu-core fonts-noto-cjk fonts-noto-color-emoji
  fonts-liberation2
  # benchmarks
  libbenchmark-dev
  # coverage
  gcovr
  # fuzzing the plan reader: clang and its libFuzzer runtime
  clang libclang-rt-14-dev
)

# One dpkg-query for all names keeps the no-op run fast.
declare -A installed=()
while read -r name state; do
  [[ "$state" == "installed" ]] && installed[$name]=1
done < <(dpkg-query -W -f='${Package} ${db:Status-Status}\n' "${packages[@]}" 2>/dev/null || true)
missing=()
for p in "${packages[@]}"; do
  [[ -n "${installed[$p]:-}" ]] || missing+=("$p")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
  if command -v sudo >/dev/null; then
    exec sudo --preserve-env=DEBIAN_FRONTEND "$0" "$@"
  fi
  echo "setup.sh: missing packages (${missing[*]}) and not root; run as root" >&2
  exit 1
fi

echo "setup.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# Debian starts the nginx service on install; the tests run their own instances on loopback
# ports, so stop the one this install started (and only that one).
if [[ " ${missing[*]} " == *" nginx "* ]]; then
  if command -v systemctl >/dev/null && systemctl is-system-running >/dev/null 2>&1; then
    systemctl disable --now nginx >/dev/null 2>&1 || true
  else
    service nginx stop >/dev/null 2>&1 || true
  fi
fi
echo "setup.sh: done"
