#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need.
# As root it runs apt-get itself; otherwise it prints the exact line to run and stops.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git ccache
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libplist-dev libcli11-dev nlohmann-json3-dev libsystemd-dev
  clang libclang-rt-14-dev clang-format
  iproute2 util-linux procps python3
  dbus-daemon polkitd pkexec python3-dbusmock systemd
  # The system tests' authentication agent (tests/system), on polkit's agent library.
  libpolkit-agent-1-dev
  libglib2.0-dev libglib2.0-bin glib-networking gsettings-desktop-schemas dconf-gsettings-backend dconf-service
  libkf5config-dev libkf5config-bin
  nmap
  libgtk-4-dev adwaita-icon-theme librsvg2-common fonts-dejavu-core
  # The built-in interface (libadwaita, its GResource compiler) and its tests: the accessibility bus
  # with pyatspi to drive it, GObject introspection for the tray's watcher stand-in, weston for Wayland.
  libadwaita-1-dev libglib2.0-dev-bin at-spi2-core python3-pyatspi gir1.2-atspi-2.0 python3-gi weston
  xvfb openbox xdotool wmctrl imagemagick tesseract-ocr tesseract-ocr-eng
  # The Debian package and its checks: dpkg-shlibdeps, lintian, the desktop entry's and the polkit
  # action's validators (polkitd ships the action's DTD).
  dpkg-dev lintian desktop-file-utils libxml2-utils
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

line="apt-get install -y --no-install-recommends ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "These Debian packages are missing. Install them as root, then run this again:" >&2
  echo "  apt-get update && $line" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
$line
