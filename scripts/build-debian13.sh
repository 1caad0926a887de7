#!/usr/bin/env bash
# Builds the default preset in a Debian 13 root made afresh with mmdebstrap
# (GCC 14 and the newest kernel headers Debian ships; warnings are errors),
# then runs the tests a chroot can run: all but the packages' checks, which
# are Debian 12's packages' (the chroot has no lintian, rpm or dpkg-dev), and
# the checks of the stand-in manager against systemd-run, which are made
# against Debian 12's systemd-run (Debian 13's reaches the manager by
# another socket, which the stand-in does not serve), and the rules check's
# user-namespace cases (the kernel gives a chrooted process no user namespace
# of its own). Runs as root; the root and the build
# live under build/debian13/ and the host is left as it was.
set -euo pipefail
cd "$(dirname "$0")/.."

suite=${DEBIAN13_SUITE:-trixie}
top=$PWD/build/debian13
root=$top/root
packages=(
  g++ cmake make pkg-config gzip                     # the build
  linux-libc-dev libsystemd-dev libbpf-dev clang     # what it compiles against
  libgtest-dev libgmock-dev                          # the tests
  python3 python3-dbus python3-gi dbus-daemon systemd # the stand-in manager on a private bus; systemd-run
  procps util-linux                                  # ps and chrt in the tests
)

rm -rf "$top" && mkdir -p "$top"
echo "debian13: making a $suite root"
mmdebstrap --quiet --variant=apt --include="$(IFS=,; echo "${packages[*]}")" "$suite" "$root" >"$top/mmdebstrap.log" 2>&1 || {
  tail -n 30 "$top/mmdebstrap.log" >&2
  exit 1
}
chroot "$root" sh -c 'echo "debian13: $(. /etc/os-release; echo "$PRETTY_NAME"), $(g++ --version | head -n 1), kernel headers $(dpkg-query -W -f="\${Version}" linux-libc-dev)"'

# The tree as committed, not the host's build folders.
mkdir -p "$root/src"
git ls-files -z | tar --null -T - -c | tar -x -C "$root/src"

# The tests need the kernel's views (/proc, /sys, /dev); a mount namespace of
# their own takes them away again when the build ends, whatever happens.
unshare --mount --propagation private -- bash -euo pipefail -c '
  root=$1
  # The root a mount point of its own, so that tests may make its mounts private.
  mount --bind "$root" "$root"
  for dir in proc sys dev dev/pts; do mount --rbind "/$dir" "$root/$dir"; done
  mount -t tmpfs tmpfs "$root/tmp"
  chroot "$root" bash -euo pipefail -c "
    cd /src
    cmake --preset default >/dev/null
    cmake --build --preset default -j\$(nproc)
    ctest --preset default -E \"\$1\"
  " - "$2"
' - "$root" "${DEBIAN13_SKIP:-^package\.|SystemdRun|/UserNamespace\.}"
echo "debian13: built and tested on $suite"
