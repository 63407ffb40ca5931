#!/bin/sh
# Installs the Debian packages that a build needs and are missing.
# Usage: scripts/install-deps.sh GROUP...   (groups: build run test package bench fuzz)
# Harmless to run again: it only calls apt-get when something is missing.
set -e
pkgs="cmake make g++ pkg-config qt6-base-dev qt6-base-dev-tools libqt6test6 libgl-dev libpng-dev libjpeg62-turbo-dev libdeflate-dev zlib1g-dev"
for group in "$@"; do
  case "$group" in
    build) ;;
    run)   pkgs="$pkgs qt6-qpa-plugins fonts-noto-cjk qt6-translations-l10n" ;;
    test)  pkgs="$pkgs qt6-qpa-plugins fonts-noto-cjk qt6-translations-l10n xvfb xauth xdotool mate-backgrounds parallel jq libjpeg-turbo-progs dpkg-dev file lintian desktop-file-utils appstream man-db" ;;
    package) pkgs="$pkgs dpkg-dev file" ;;
    bench) pkgs="$pkgs libbenchmark-dev libturbojpeg0-dev mate-backgrounds lomiri-wallpapers imagemagick fonts-dejavu-core fonts-noto-cjk fonts-urw-base35" ;;
    fuzz)  pkgs="$pkgs clang libclang-rt-14-dev" ;;
    *) echo "install-deps: unknown group '$group'" >&2; exit 2 ;;
  esac
done
missing=""
for p in $pkgs; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0
echo "Installing missing Debian packages:$missing"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends $missing
