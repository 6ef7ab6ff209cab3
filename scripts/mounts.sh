# SPDX-License-Identifier: MIT
# Sourced by the scripts that work in a Debian root folder: `bind FROM TO`
# bind-mounts, `remember_mount TO` notes any other mount, and every mount is
# undone, the last first, when the script exits.
mounted=()
unmount_all() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
    mounted=()
}
trap unmount_all EXIT
remember_mount() { mounted+=("$1"); }
bind() { mount --bind "$1" "$2" && remember_mount "$2"; }
