#!/usr/bin/env bash
# `cmake --install` puts the desktop entry, the icon and the guide where the desktop and the application look,
# both straight into a prefix and staged under DESTDIR.
# Usage: check-install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failed=0
check_tree() { # installed prefix as seen on disk
    local root=$1
    local guide=share/marrowtillance/USR-KWO-Marrowtillance-Guide.pdf
    local -A expected=(
        [share/applications/marrowtillance.desktop]=$source/resources/marrowtillance.desktop
        [share/icons/hicolor/scalable/apps/marrowtillance.svg]=$source/resources/icons/marrowtillance.svg
        [$guide]=$build/$guide
    )
    for path in "${!expected[@]}"; do
        if ! cmp -s "${expected[$path]}" "$root/$path"; then
            echo "$root/$path: missing or not the same as ${expected[$path]}"
            failed=1
        fi
    done
    # The application opens the first USR-KWO*pdf it lists, so a second one could be opened instead.
    local guides
    guides=$(find "$root/share/marrowtillance" -maxdepth 1 -name 'USR-KWO*pdf' 2>/dev/null | wc -l)
    if [ "$guides" -ne 1 ]; then
        echo "$root/share/marrowtillance: $guides guides instead of one"
        failed=1
    fi
}

cmake --install "$build" --prefix "$work/prefix" >/dev/null
check_tree "$work/prefix"

DESTDIR="$work/stage" cmake --install "$build" --prefix /usr/local >/dev/null
check_tree "$work/stage/usr/local"

exit $failed
