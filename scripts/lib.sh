# SPDX-License-Identifier: MIT
# What the shell scripts of scripts/, vm/ and tests/ share; sourced, never
# run: counted checks and their closing line, bounded waits, apt with a
# private source list, and work in a Debian root folder.

# --- Counted checks -----------------------------------------------------------
# check NAME COMMAND...: runs COMMAND, prints "ok: NAME" or "FAILED: NAME"
# and counts it. closing_line prints "N passed, M failed" and succeeds only
# when nothing failed.
passed=${passed:-0}
failed=${failed:-0}
check() {
    local name=$1
    shift
    if "$@"; then
        echo "ok: $name"
        passed=$((passed + 1))
    else
        echo "FAILED: $name"
        failed=$((failed + 1))
    fi
}
closing_line() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}

# --- Tests skipped for a tool -------------------------------------------------------
# tools_all_there BUILD_DIR: fails, naming them, when the last ctest run in
# BUILD_DIR skipped tests because a tool was missing ("Missing tool:" in
# their output): the test command installs every tool, so such a skip means
# a test that proved nothing.
tools_all_there() {
    local log=$1/Testing/Temporary/LastTest.log skipped
    [ -f "$log" ] || return 0
    skipped=$(awk '/^[0-9]+\/[0-9]+ Test: / { name = $3 } /Missing tool:/ { print name ": " $0 }' "$log" | sort -u)
    [ -z "$skipped" ] && return 0
    echo "Tests skipped for a missing tool:"
    echo "$skipped"
    return 1
}

# --- Bounded waits --------------------------------------------------------------
# wait_until SECONDS COMMAND...: runs COMMAND every tenth of a second until it
# succeeds; fails once SECONDS have passed without.
wait_until() {
    local tries=$(($1 * 10)) i
    shift
    for ((i = 0; i < tries; i++)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

# --- apt with a private source list -------------------------------------------------
# private_apt DIR TYPE: makes in DIR a source list of this machine's own apt
# sources as TYPE lines (deb or deb-src), with its package lists and cache,
# sets the array apt_options that makes apt-get use it, and updates it. The
# machine's apt configuration stays as it is.
private_apt() {
    local dir=$1 type=$2 sources list
    rm -rf "$dir"
    mkdir -p "$dir/sources" "$dir/lists/partial" "$dir/cache/archives/partial"
    for sources in /etc/apt/sources.list.d/*.sources; do
        [ -f "$sources" ] && sed "s/^Types: deb\$/Types: $type/" "$sources" >"$dir/sources/$(basename "$sources")"
    done
    for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$list" ] && sed -n "s/^deb /$type /p" "$list" >"$dir/sources/$(basename "$list").list"
    done
    apt_options=(-o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$dir/sources"
                 -o "Dir::State::Lists=$dir/lists" -o "Dir::Cache=$dir/cache")
    apt-get "${apt_options[@]}" update -qq
}

# --- A Debian root folder ---------------------------------------------------------
# debian_root ROOT [NAME=VALUE...]: sets the array in_root, which runs a
# command in ROOT with a clean environment (a PATH, HOME, and the given
# variables), and undoes at the script's exit, the last first, every mount
# made with bind FROM TO (a bind mount) or noted with remember_mount TO.
mounted=()
unmount_all() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
    mounted=()
}
remember_mount() { mounted+=("$1"); }
bind() { mount --bind "$1" "$2" && remember_mount "$2"; }
debian_root() {
    local root=$1
    shift
    in_root=(chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@")
    trap unmount_all EXIT
}

# The Debian archive this machine's apt reads (not its security archive),
# from which the test roots are made.
debian_mirror() {
    (cat /etc/apt/sources.list.d/*.sources 2>/dev/null | sed -n 's/^URIs: *//p'
     cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
         sed -n 's/^deb \(\[[^]]*\] \)\{0,1\}\([^ ]*\) .*/\2/p') |
        tr ' ' '\n' | grep -v -e security -e '^$' | head -n 1 || true
}

# A test root ready for a build: proc, sys, dev and a tmpfs /tmp mounted,
# every file of the working tree that git knows or would add copied to
# ROOT/DIR, as the host builds it, and epoch set to the last commit's time
# for the packages.
#   tree_into_root ROOT DIR
tree_into_root() {
    local root=$1 dir=$2 mount_point
    for mount_point in proc sys dev dev/pts; do bind "/$mount_point" "$root/$mount_point"; done
    mount -t tmpfs tmpfs "$root/tmp" && remember_mount "$root/tmp"
    mkdir -p "$root$dir"
    git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf - | tar -xf - -C "$root$dir"
    epoch=$(git log -1 --format=%ct 2>/dev/null || echo 0)
}
