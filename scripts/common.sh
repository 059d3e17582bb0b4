# Shared by scripts/test, scripts/demo and bench/latency (bash).
#
#   need PROGRAM:PACKAGE...   notes the package of each program not found
#   install_needed NAME       installs the noted packages with apt-get (as
#                             root, or through sudo without a password), or
#                             says what to install and returns 2
#   check_build_dir NAME DIR  refuses a build folder this user cannot write
#   give_back_build_dir DIR   when root built in someone else's checkout,
#                             gives the build folder back to its owner
#   isolate                   the command that runs a program in a private
#                             network and mount namespace
#   isolate_lab               the same with a pid namespace of its own:
#                             everything in it ends with its first process
#   can_isolate               true when such a namespace can be made
#   processes_left MARK DIR   what a run left running
#   prepare_boot_root NAME    as root, the Debian tree the booted-systemd
#                             test boots (debootstrap, once, then kept)

needed_packages=()

need() {
    local pair program
    for pair; do
        program=${pair%%:*}
        command -v "$program" >/dev/null 2>&1 || [ -x "/usr/sbin/$program" ] || [ -e "$program" ] ||
            needed_packages+=("${pair#*:}")
    done
}

# A service that a package starts on installation (nsd, miniupnpd) must not be
# left running: it is kept from starting while installing, then disabled.
install_needed() {
    local name=$1 sudo=() policy=/usr/sbin/policy-rc.d made_policy= status=0
    [ ${#needed_packages[@]} -gt 0 ] || return 0
    if [ "$(id -u)" -ne 0 ]; then
        if sudo -n true 2>/dev/null; then
            sudo=(sudo -n)
        else
            echo "$name: missing packages: ${needed_packages[*]}" >&2
            echo "$name: install them as root (apt-get install ${needed_packages[*]}) and run again" >&2
            return 2
        fi
    fi
    echo "$name: installing ${needed_packages[*]} with apt-get"
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null
        "${sudo[@]}" chmod 755 "$policy"
        made_policy=1
    fi
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            "${needed_packages[@]}" || status=$?
    [ -z "$made_policy" ] || "${sudo[@]}" rm -f "$policy"
    local package
    for package in nsd miniupnpd-nftables; do
        [[ " ${needed_packages[*]} " == *" $package "* ]] || continue
        package=${package%-nftables}
        if [ -d /run/systemd/system ]; then
            "${sudo[@]}" systemctl disable --now "$package.service" >/dev/null 2>&1 || true
        elif command -v deb-systemd-helper >/dev/null; then
            "${sudo[@]}" deb-systemd-helper disable "$package.service" >/dev/null 2>&1 || true
        fi
        echo "$name: $package.service, installed with $package, is not running and not enabled (only private copies of $package are started)"
    done
    needed_packages=()
    return $status
}

check_build_dir() {
    local name=$1 dir=$2
    if [ -e "$dir" ] && [ ! -w "$dir" ]; then
        echo "$name: $dir belongs to $(stat -c %U "$dir") (left by a run as root?); remove it with: sudo rm -rf $dir" >&2
        return 2
    fi
}

give_back_build_dir() {
    local dir=$1 owner
    owner=$(stat -c %u:%g "$dir/..")
    if [ "$(id -u)" -eq 0 ] && [ "${owner%%:*}" != 0 ] && [ -d "$dir" ]; then
        chown -R "$owner" "$dir"
    fi
}

if [ "$(id -u)" -eq 0 ]; then
    isolate=(unshare --net --mount)
else
    isolate=(unshare --user --map-root-user --net --mount)
fi

isolate_lab=("${isolate[@]}" --pid --fork --kill-child --mount-proc)

can_isolate() { "${isolate[@]}" true 2>/dev/null; }

isolation_help() {
    echo "$1: cannot make a private network namespace: run as root, or allow unprivileged user namespaces (sysctl -w kernel.unprivileged_userns_clone=1 on Debian)" >&2
}

# A minimal Debian with systemd, made once and kept outside the checkout;
# procps is what the package depends on (the watch service's reload). The
# tree's resolv.conf names loopback: nothing in it can reach a real server.
boot_root=${VINTREL_BOOT_ROOT:-/var/cache/vintrel-tests/bookworm}
prepare_boot_root() {
    local name=$1 new="$boot_root.new"
    [ ! -e "$boot_root/.vintrel-complete" ] || return 0
    echo "$name: making the Debian tree the booted-systemd test boots, in $boot_root (once)"
    rm -rf "$new"
    mkdir -p "$(dirname "$boot_root")"
    if ! debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus,procps bookworm "$new" \
            http://deb.debian.org/debian > "$new.log" 2>&1; then
        echo "$name: debootstrap failed (see $new.log): the booted-systemd test will be skipped" >&2
        rm -rf "$new"
        return 1
    fi
    rm -f "$new.log"
    echo "nameserver 127.0.0.1" > "$new/etc/resolv.conf"
    touch "$new/.vintrel-complete"
    rm -rf "$boot_root"
    mv "$new" "$boot_root"
}

# The processes, other than this shell and its ancestors, whose environment
# holds MARK (NAME=VALUE), or that work under DIR and started after this
# shell did (so that a user's own shell in build/ is not taken for one):
# what a run left behind, one line each (pid and command line).
processes_left() {
    local mark=$1 dir=$2 ancestors=" " pid=$BASHPID fields p cwd vars var left here=$PWD since
    since=$(started "$$")
    while [ "$pid" -gt 1 ]; do
        ancestors+="$pid "
        read -r fields < "/proc/$pid/stat" || break
        read -ra fields <<< "${fields##*) }"
        pid=${fields[1]}
    done
    for p in /proc/[0-9]*; do
        p=${p#/proc/}
        [[ $ancestors != *" $p "* ]] || continue
        # Builtins only (cd -P resolves the link): spawning a command per
        # process would make the scan slow.
        cd -P "/proc/$p/cwd" 2>/dev/null || continue
        cwd=$PWD
        mapfile -d "" vars 2>/dev/null < "/proc/$p/environ" || continue
        left=
        [[ $cwd != "$dir" && $cwd != "$dir"/* ]] || [ "$(started "$p")" -lt "$since" ] || left=1
        for var in "${vars[@]}"; do [ "$var" != "$mark" ] || left=1; done
        [ -z "$left" ] || echo "  $p $(tr '\0' ' ' 2>/dev/null < "/proc/$p/cmdline" | cut -c1-120)"
    done
    cd "$here"
}

# When process PID started, in clock ticks since boot (0 when it is gone).
started() {
    local fields
    read -r fields 2>/dev/null < "/proc/$1/stat" || { echo 0; return; }
    read -ra fields <<< "${fields##*) }"
    echo "${fields[19]}"
}
