#!/usr/bin/env bash
# The Debian package on a machine that has nothing else: a minimal Debian 12 root made with
# debootstrap, the package installed there with apt (its dependencies from Debian's archive,
# of its recommended packages only the plotting command's Python modules, and Xvfb with the X
# tools of the window test), then in the root:
#   - lumeth under Xvfb: its window, the live title, Space, Q and exit status 0
#     (e2e_keys_and_output.sh), and lumeth without a display: status 1 and its two lines
#     (e2e_no_display.sh);
#   - lumeth-record: a video with snapshots, a run resumed from one of them, whose last
#     snapshot equals the uninterrupted run's byte for byte;
#   - lumeth-bench --count 2000;
#   - lumeth-plot-snapshot on a snapshot.
# The root's mounts live in a private mount namespace (they end with it), and the root is
# removed at the end. Needs root (debootstrap, chroot) and Debian's archive; without either it
# says so in one line and exits 0. At most LUMETH_PACKAGE_ROOT_LIMIT seconds (default 600).
#   package_root.sh lumeth_<version>_<arch>.deb
set -euo pipefail
E2E_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
deb="$(readlink -f "${1:?usage: $0 package.deb}")"
mirror="${LUMETH_DEBIAN_MIRROR:-http://deb.debian.org/debian}"
limit="${LUMETH_PACKAGE_ROOT_LIMIT:-600}"
start=$SECONDS

skip() {
    echo "skipped: $*"
    exit 0
}
[ "$(id -u)" -eq 0 ] || skip "installing into a fresh Debian root needs root (debootstrap, chroot)"
for tool in debootstrap unshare chroot; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed (scripts/install-deps.sh --tests installs debootstrap)"
done
[ -f "$deb" ] || { echo "FAIL: no package at $deb" >&2; exit 1; }
host="${mirror#*://}"
host="${host%%/*}"
timeout 20 bash -c "exec 3<>/dev/tcp/$host/80" 2>/dev/null ||
    skip "Debian's archive ($host) cannot be reached"

root="$(mktemp -d "${TMPDIR:-/tmp}/lumeth-root.XXXXXX")"
# The mounts are gone with the namespace before this runs, so removing the root touches
# nothing outside it.
trap 'rm -rf "$root"' EXIT

phase() { echo "[package root] $* ($((SECONDS - start)) s)"; }

phase "debootstrap --variant=minbase bookworm from $mirror"
# debootstrap depends on the archive and this machine alone, not on the package: where it
# fails or runs out of time (a slow or broken mirror), the stage cannot run and says so.
timeout "$limit" debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.debootstrap.log" 2>&1 || {
    tail -n 20 "$root.debootstrap.log" >&2
    rm -f "$root.debootstrap.log"
    skip "debootstrap could not make a Debian 12 root from $mirror within $limit s (its log's end is above)"
}
rm -f "$root.debootstrap.log"

mkdir -p "$root/opt/lumeth-tests"
cp "$deb" "$root/opt/lumeth-tests/"
cp "$E2E_DIR/lib.sh" "$E2E_DIR/e2e_keys_and_output.sh" "$E2E_DIR/e2e_no_display.sh" \
    "$root/opt/lumeth-tests/"
cat >"$root/opt/lumeth-tests/run.sh" <<EOF
#!/bin/bash
# Runs inside the root.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 PATH=/usr/sbin:/usr/bin:/sbin:/bin
phase() { echo "[package root] \$* (\$((SECONDS + $((SECONDS - start)))) s)"; }
cd /opt/lumeth-tests
phase "apt-get install ./$(basename "$deb"), the plotting command's modules and the window test's X tools"
apt-get -q update >apt.log 2>&1 || { cat apt.log; exit 1; }
apt-get -q install -y --no-install-recommends "./$(basename "$deb")" python3-h5py \
    python3-matplotlib xvfb xauth xdotool x11-utils >>apt.log 2>&1 ||
    { tail -n 30 apt.log; exit 1; }
echo "installed: \$(dpkg-query -W lumeth), \$(grep -c '^Setting up ' apt.log) packages set up"

phase "lumeth under Xvfb: title, Space, Q"
bash ./e2e_keys_and_output.sh /usr/bin/lumeth
phase "lumeth without a display"
bash ./e2e_no_display.sh /usr/bin/lumeth

phase "lumeth-record: a video with snapshots, then resumed"
mkdir -p /opt/lumeth-tests/work && cd /opt/lumeth-tests/work
lumeth-record --frames 4 --particles 2000 --seed 7 --codec ffv1 --snapshot-every 2 \
    --snapshot-dir whole --out whole.mkv
lumeth-record --resume whole/snapshot_000002.hdf5 --frames 2 --snapshot-every 2 \
    --snapshot-dir rest --codec ffv1 --out rest.mkv
test -s whole.mkv && test -s rest.mkv
cmp whole/snapshot_000004.hdf5 rest/snapshot_000004.hdf5
echo "the resumed run's snapshot equals the uninterrupted run's"

phase "lumeth-bench --count 2000"
lumeth-bench --count 2000 >bench.log
tail -n 1 bench.log

phase "lumeth-plot-snapshot"
lumeth-plot-snapshot whole/snapshot_000004.hdf5 step4.png
head -c 8 step4.png | od -An -c | grep -q 'P   N   G' || { echo "step4.png is no PNG"; exit 1; }
echo "step4.png: \$(stat -c %s step4.png) bytes"
EOF

phase "into the root: the package and its tests"
status=0
timeout "$((limit - (SECONDS - start)))" unshare --mount --propagation private bash -c '
    set -e
    mount -t proc proc "$1/proc"
    mount -t sysfs sysfs "$1/sys"
    mkdir -p "$1/dev/shm"
    mount -t tmpfs tmpfs "$1/dev/shm"
    mount -t tmpfs tmpfs "$1/tmp"
    cp /etc/resolv.conf "$1/etc/resolv.conf"
    exec chroot "$1" /bin/bash /opt/lumeth-tests/run.sh' _ "$root" || status=$?
if [ "$status" = 124 ]; then
    echo "FAIL: the package root took more than $limit s" >&2
elif [ "$status" != 0 ]; then
    echo "FAIL: the package in a fresh Debian root (status $status)" >&2
else
    phase "PASS"
fi
exit "$status"
