#!/usr/bin/env bash
# `cmake --install` puts the desktop entry, the icon and the guide where the desktop and the application look,
# both straight into a prefix and staged under DESTDIR. Usage: check-install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source=$2 work=$(mktemp -d) failed=0
trap 'rm -rf "$work"' EXIT
guide=share/marrowtillance/USR-KWO-Marrowtillance-Guide.pdf
check_tree() { # installed prefix as seen on disk
    local root=$1 path
    local -A expected=([share/applications/marrowtillance.desktop]=$source/resources/marrowtillance.desktop
        [share/icons/hicolor/scalable/apps/marrowtillance.svg]=$source/resources/icons/marrowtillance.svg
        [$guide]=$build/$guide)
    for path in "${!expected[@]}"; do
        cmp -s "${expected[$path]}" "$root/$path" || { echo "$root/$path: not as ${expected[$path]}"; failed=1; }
    done
    # The application opens the first USR-KWO*pdf it lists, so a second one could be opened instead.
    local guides
    guides=$(find "$root/share/marrowtillance" -maxdepth 1 -name 'USR-KWO*pdf' 2>/dev/null | wc -l)
    [ "$guides" -eq 1 ] || { echo "$root/share/marrowtillance: $guides guides instead of one"; failed=1; }
}
cmake --install "$build" --prefix "$work/prefix" >/dev/null
check_tree "$work/prefix"
DESTDIR="$work/stage" cmake --install "$build" --prefix /usr/local >/dev/null
check_tree "$work/stage/usr/local"
exit $failed
