#!/usr/bin/env bash
# The panels stage: one person's flow (tests/linux/panels_test.sh) under the
# real panels of the desktops people run, from Debian's packages: GNOME Shell
# with the AppIndicator extension (Wayland), KDE Plasma (Wayland and X11),
# waybar under sway, xfce4-panel and lxqt-panel. Installs what it needs, then
# prints how long the installation and each desktop took. The open menu's
# screenshots go to build/linux/screenshots/ (scripts/refresh-screenshots.sh
# copies GNOME's and Plasma's into docs/screenshots/).
#
#   scripts/test-panels.sh [DESKTOP...]   every desktop, or the ones named
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
. scripts/lib/common.sh

started=$SECONDS
ensure_packages "${LINUX_APP_PACKAGES[@]}" imagemagick libglib2.0-bin at-spi2-core python3-gi \
    gir1.2-atspi-2.0 gnome-shell gnome-shell-extension-appindicator plasma-workspace plasma-desktop \
    kwin-x11 kwin-wayland kded5 qtwayland5 qt6-wayland sway waybar xfce4-panel xfconf xfwm4 \
    lxqt-panel openbox
echo "== panels: packages ready in $((SECONDS - started)) s"

if [ ! -f build/linux/CMakeCache.txt ]; then cmake --preset linux >/dev/null; fi
cmake --build --preset linux -j2 --target teleora | tail -1

desktops=("$@")
[ ${#desktops[@]} -gt 0 ] || desktops=(gnome plasma-wayland waybar xfce lxqt plasma-x11)
for desktop in "${desktops[@]}"; do
    started=$SECONDS
    tests/linux/panels_test.sh "$desktop" build/linux/teleora build/linux/screenshots
    echo "== panels: $desktop in $((SECONDS - started)) s"
done
