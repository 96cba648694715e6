# Runs project commands with CPython 3.14 and the toolchain kelto is built with.
#
# A host that already has python3.14 with its headers and pytest runs them
# directly. Anywhere else (the machines we develop on ship Debian 12 with
# Python 3.11) we make a Debian unstable root with debootstrap, where python3
# is 3.14 and every tool is a Debian package, and run commands inside it with
# bubblewrap. The root lives outside the clone, keyed by its package list, so
# every clone on the machine shares it and a changed list makes a new one.
#
# Sourced by tools/dev; defines sandbox_run and sandbox_ensure.

# Everything the build, the tests, the fuzzers and the benchmarks need.
# Changing this list (or KELTO_ROOT_REVISION) provisions a fresh root.
KELTO_ROOT_PACKAGES=(
    python3-dev python3.14-dbg python3-pytest python3-hypothesis python3-numpy
    python3-packaging python3-pytest-benchmark python3-scikit-build-core python3-mypy
    python3-pip python3-venv python3.14-doc python3-sphinx python3-myst-parser
    g++ g++-14 g++-15 cmake ninja-build make pkg-config
    python3-build python3-auditwheel patchelf
    libgtest-dev libgmock-dev libbenchmark-dev
    clang llvm libclang-rt-dev
    valgrind gdb git binutils file unicode-data
    ca-certificates
    dose-distcheck dose-builddebcheck libsolv-tools dpkg-dev python3-pycosat python3-yaml nodejs
    g++-14-aarch64-linux-gnu qemu-user
)
# Installed by apt inside the new root after debootstrap: npm's many small
# node-* packages do not configure in debootstrap's own ordering (node-fdir
# fails there), while apt configures them in dependency order. The arm64
# packages (the target's CPython headers and libpython, for the cross-built
# wheel) need their architecture added to dpkg first. i386 is there for its
# package index: the installability check describes amd64 with i386, as a
# machine that runs both would have them.
KELTO_ROOT_FOREIGN_ARCHITECTURES=(arm64 i386)
KELTO_ROOT_LATE_PACKAGES=(npm libpython3.14-dev:arm64)
KELTO_ROOT_REVISION=1

# The arm64 root in which the aarch64 wheel is installed and tested, under
# qemu-user (tools/dev aarch64). Its second debootstrap stage runs emulated.
KELTO_ARM64_PACKAGES=(
    python3.14 python3-venv python3-pip python3-pytest python3-hypothesis
)
KELTO_ROOT_BASE=${KELTO_ROOT_BASE:-/var/cache/kelto/roots}

die() { printf 'kelto: %s\n' "$*" >&2; exit 1; }
note() { printf 'kelto: %s\n' "$*" >&2; }

host_has_python314() {
    command -v python3.14 >/dev/null 2>&1 || return 1
    python3.14 - <<'EOF' >/dev/null 2>&1 || return 1
import sysconfig, os, pytest
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
EOF
}

root_key() {
    printf '%s\n' "$KELTO_ROOT_REVISION" "${KELTO_ROOT_PACKAGES[@]}" -- "${KELTO_ROOT_LATE_PACKAGES[@]}" \
        -- "${KELTO_ROOT_FOREIGN_ARCHITECTURES[@]}" | sha256sum | cut -c1-16
}

# The Debian archive this host already reaches, from its own apt configuration.
host_mirror() {
    local uri
    uri=$(grep -hE '^\s*URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null \
            | awk '{print $2}' | grep -E '/debian/?$' | head -n 1)
    if [ -z "$uri" ]; then
        uri=$(grep -hE '^\s*deb\s' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
                | awk '{for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; exit}}' \
                | grep -E '/debian/?$' | head -n 1)
    fi
    [ -n "$uri" ] || die "no Debian archive found in the host's apt configuration (/etc/apt/sources.list*)"
    printf '%s\n' "${uri%/}"
}

ensure_host_tools() {
    command -v debootstrap >/dev/null 2>&1 && command -v bwrap >/dev/null 2>&1 && return 0
    note "installing debootstrap and bubblewrap on the host"
    timeout 600 apt-get update -qq >/dev/null \
        || die "apt-get update failed: the Debian archive cannot be reached"
    DEBIAN_FRONTEND=noninteractive timeout 600 apt-get install -y -qq debootstrap bubblewrap >/dev/null \
        || die "could not install debootstrap and bubblewrap"
}

# in_new_root DIR COMMAND...: COMMAND as root inside the root being made.
in_new_root() {
    local dir=$1; shift
    bwrap --bind "$dir" / --proc /proc --dev /dev --tmpfs /tmp \
        --ro-bind /etc/resolv.conf /etc/resolv.conf \
        --setenv PATH /usr/sbin:/usr/bin:/sbin:/bin --setenv DEBIAN_FRONTEND noninteractive "$@"
}

bootstrap_root() {
    local dest=$1 mirror tmp started
    mirror=$(host_mirror)
    timeout 30 wget -q --spider --tries=1 --timeout=20 "$mirror/dists/sid/Release" \
        || die "the Debian archive at $mirror cannot be reached"
    mkdir -p "$KELTO_ROOT_BASE"
    tmp=$(mktemp -d "$KELTO_ROOT_BASE/.partial-XXXXXX")
    # An interrupted bootstrap leaves only this folder, which the next run removes.
    trap 'rm -rf "$tmp"' EXIT
    started=$(date +%s)
    note "provisioning a Debian unstable root with CPython 3.14 in $dest (a few minutes, once per machine)"
    local include
    include=$(IFS=,; echo "${KELTO_ROOT_PACKAGES[*]}")
    if ! timeout 2400 debootstrap --variant=minbase --include="$include" sid "$tmp" "$mirror" \
            >"$KELTO_ROOT_BASE/bootstrap.log" 2>&1; then
        tail -n 20 "$KELTO_ROOT_BASE/bootstrap.log" >&2
        die "debootstrap failed (full log: $KELTO_ROOT_BASE/bootstrap.log)"
    fi
    chmod 1777 "$tmp/tmp"
    # The archive may be a snapshot whose Release has passed its Valid-Until
    # date; debootstrap does not check that, apt does. apt's download sandbox
    # user cannot be switched to inside bubblewrap.
    local apt=(apt-get -o Acquire::Check-Valid-Until=false -o APT::Sandbox::User=root)
    if [ ${#KELTO_ROOT_LATE_PACKAGES[@]} -gt 0 ] && ! {
            in_new_root "$tmp" sh -c 'for arch; do dpkg --add-architecture "$arch" || exit; done' sh "${KELTO_ROOT_FOREIGN_ARCHITECTURES[@]}" &&
            in_new_root "$tmp" "${apt[@]}" update -qq &&
            in_new_root "$tmp" "${apt[@]}" install -y -qq --no-install-recommends "${KELTO_ROOT_LATE_PACKAGES[@]}"
        } >>"$KELTO_ROOT_BASE/bootstrap.log" 2>&1; then
        tail -n 20 "$KELTO_ROOT_BASE/bootstrap.log" >&2
        die "installing ${KELTO_ROOT_LATE_PACKAGES[*]} in the new root failed (full log: $KELTO_ROOT_BASE/bootstrap.log)"
    fi
    printf '%s\n' "${KELTO_ROOT_PACKAGES[@]}" >"$tmp/.kelto-packages"
    mv "$tmp" "$dest"
    trap - EXIT
    note "root ready after $(( $(date +%s) - started )) s"
}

# made_once DEST PROGRAM LOCK PARTIALS MAKE: unless DEST/PROGRAM is there,
# runs MAKE DEST holding $KELTO_ROOT_BASE/LOCK (so that one process makes it
# while the others wait), after removing what an interrupted MAKE left
# (PARTIALS, a name pattern in $KELTO_ROOT_BASE).
made_once() {
    local dest=$1 program=$2 lock=$3 partials=$4 make=$5
    [ -x "$dest/$program" ] && return 0
    mkdir -p "$KELTO_ROOT_BASE"
    (
        flock 9
        find "$KELTO_ROOT_BASE" -maxdepth 1 -name "$partials" -exec rm -rf {} + 2>/dev/null
        [ -x "$dest/$program" ] || "$make" "$dest"
    ) 9>"$KELTO_ROOT_BASE/$lock"
}

# Prints the root's path, making it first when it is missing.
sandbox_ensure() {
    [ "$(id -u)" = 0 ] || die "provisioning the build root needs root (debootstrap, bubblewrap); run as root or on a host with python3.14, its headers and pytest"
    ensure_host_tools
    local dest
    dest="$KELTO_ROOT_BASE/sid-$(root_key)"
    made_once "$dest" usr/bin/python3 .lock '.partial-*' bootstrap_root || exit 1
    printf '%s\n' "$dest"
}

# sandbox_run REPO COMMAND...: COMMAND with CPython 3.14 on PATH, cwd REPO.
sandbox_run() {
    local repo=$1; shift
    if [ -z "${KELTO_FORCE_ROOT:-}" ] && host_has_python314; then
        (cd "$repo" && KELTO_PYTHON=python3.14 "$@")
        return
    fi
    local root
    root=$(sandbox_ensure) || exit 1
    # Later mounts go on top of earlier ones: the clone (which may itself live
    # under /tmp) is bound after the root's fresh /tmp.
    local binds=(--bind "$root" / --proc /proc --dev /dev --tmpfs /tmp --bind "$repo" "$repo")
    # The shared data folder beside the project, read-only, when there is one.
    [ -d "$repo/../shared" ] && binds+=(--ro-bind "$(cd "$repo/../shared" && pwd)" "$(cd "$repo/.." && pwd)/shared")
    # The host's certificate authorities, for npm (pyright, tools/inside.sh):
    # a host whose traffic passes a TLS-inspecting proxy trusts the proxy's
    # authority in its own bundle, which the root's bundle lacks.
    local host_ca=/etc/ssl/certs/ca-certificates.crt
    [ -r "$host_ca" ] && binds+=(--ro-bind "$host_ca" /tmp/.kelto-host-ca.crt --setenv NODE_EXTRA_CA_CERTS /tmp/.kelto-host-ca.crt)
    # A pid namespace of its own: when tools/dev is stopped, --die-with-parent
    # ends the namespace's first process and the kernel ends every other one
    # in it, where before a long step's children (a leak hunt, a fuzzer)
    # outlived it.
    bwrap "${binds[@]}" \
        --ro-bind /etc/resolv.conf /etc/resolv.conf \
        --setenv HOME /tmp --setenv KELTO_PYTHON python3 --setenv KELTO_IN_ROOT 1 \
        --setenv PATH /usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        --chdir "$repo" --unshare-pid --die-with-parent "$@"
}

# --- The arm64 root, run under qemu-user --------------------------------------

arm64_root_key() {
    printf '%s\n' "$KELTO_ROOT_REVISION" arm64 "${KELTO_ARM64_PACKAGES[@]}" | sha256sum | cut -c1-16
}

# The host kernel runs an arm64 program through the x86-64 root's static
# qemu-aarch64, registered with binfmt_misc's F flag: the kernel opens the
# emulator once, here, so it is found inside any root or sandbox later. The
# registration lasts until the machine restarts; this renews it when missing.
ensure_arm64_binfmt() {
    local root=$1 dir=/proc/sys/fs/binfmt_misc qemu
    qemu="$root/usr/bin/qemu-aarch64"
    [ -x "$qemu" ] || die "no qemu-aarch64 in $root"
    if [ ! -e "$dir/register" ]; then
        mount -t binfmt_misc binfmt_misc "$dir" 2>/dev/null \
            || die "cannot mount binfmt_misc on $dir: arm64 programs cannot run on this host"
    fi
    if [ -e "$dir/kelto-aarch64" ]; then
        grep -qx enabled "$dir/kelto-aarch64" && return 0
        echo -1 >"$dir/kelto-aarch64"
    fi
    # The ELF header of an arm64 executable or shared object, and its mask;
    # binfmt_misc decodes the \x escapes itself.
    local magic='\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00'
    local mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    echo ":kelto-aarch64:M::$magic:$mask:$qemu:F" >"$dir/register" \
        || die "registering qemu-aarch64 with binfmt_misc failed"
}

bootstrap_arm64_root() {
    local dest=$1 mirror tmp started
    mirror=$(host_mirror)
    tmp=$(mktemp -d "$KELTO_ROOT_BASE/.arm64-partial-XXXXXX")
    trap 'rm -rf "$tmp"' EXIT
    started=$(date +%s)
    note "provisioning a Debian unstable arm64 root in $dest (its second stage runs under qemu: many minutes, once per machine)"
    local include log="$KELTO_ROOT_BASE/bootstrap-arm64.log"
    include=$(IFS=,; echo "${KELTO_ARM64_PACKAGES[*]}")
    if ! timeout 1200 debootstrap --foreign --arch=arm64 --variant=minbase --include="$include" sid "$tmp" "$mirror" \
            >"$log" 2>&1; then
        tail -n 20 "$log" >&2
        die "debootstrap (first stage) failed (full log: $log)"
    fi
    note "arm64 root: packages unpacked after $(( $(date +%s) - started )) s; configuring them under qemu"
    # A mount namespace of its own, so that the /proc and /sys the second
    # stage mounts go away with it.
    if ! timeout 5400 unshare --mount --propagation private chroot "$tmp" /debootstrap/debootstrap --second-stage \
            >>"$log" 2>&1; then
        tail -n 20 "$log" >&2
        die "debootstrap (second stage, under qemu) failed (full log: $log)"
    fi
    chmod 1777 "$tmp/tmp"
    printf '%s\n' "${KELTO_ARM64_PACKAGES[@]}" >"$tmp/.kelto-packages"
    mv "$tmp" "$dest"
    trap - EXIT
    note "arm64 root ready after $(( $(date +%s) - started )) s"
}

# Prints the arm64 root's path, making it first when it is missing; arm64
# programs run once it returns.
arm64_ensure() {
    [ "$(id -u)" = 0 ] || die "the arm64 root needs root (debootstrap, binfmt_misc, bubblewrap)"
    local root dest
    root=$(sandbox_ensure) || exit 1
    ensure_arm64_binfmt "$root"
    dest="$KELTO_ROOT_BASE/sid-arm64-$(arm64_root_key)"
    # A lock of its own: the x86-64 root stays usable meanwhile.
    made_once "$dest" usr/bin/python3.14 .lock-arm64 '.arm64-partial-*' bootstrap_arm64_root || exit 1
    printf '%s\n' "$dest"
}

# sandbox_run_arm64 REPO COMMAND...: COMMAND in the arm64 root, cwd REPO.
sandbox_run_arm64() {
    local repo=$1; shift
    local root
    root=$(arm64_ensure) || exit 1
    bwrap --bind "$root" / --proc /proc --dev /dev --tmpfs /tmp --bind "$repo" "$repo" \
        --ro-bind /etc/resolv.conf /etc/resolv.conf \
        --setenv HOME /tmp --setenv KELTO_PYTHON python3.14 --setenv KELTO_IN_ROOT 1 \
        --setenv PATH /usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        --chdir "$repo" --unshare-pid --die-with-parent "$@"
}
