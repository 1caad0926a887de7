#!/usr/bin/env bash
# Installs, from Debian's packages, whatever this machine lacks to build and
# test the project. Runs as root; installs only what is missing.
set -euo pipefail

packages=(
  cmake g++ make libgtest-dev libgmock-dev   # build and unit tests
  libsystemd-dev pkg-config                   # sd-bus, to place the child through the service manager
  dbus-daemon python3-dbus python3-gi systemd # a private bus and a stand-in manager; systemd-run checks it
  fio                                         # the benchmark's disk figures
  default-jdk-headless                        # the Java child of the demonstration and tests
  procps util-linux                           # ps and chrt, used by tests and the demonstration
  mount                                       # the benchmark's /run/systemd of its own, in a mount namespace
  dpkg-dev file lintian                       # the .deb: CPack's dependency list, Debian's check
  rpm rpmlint cpio                            # the .rpm: rpmbuild and its dependency list, rpmlint, unpacking
  mandoc man-db groff-base                    # the manual pages' checks
  clang-14 libclang-rt-14-dev valgrind        # the lookup's fuzzer (libFuzzer) and memcheck
  g++-mingw-w64-x86-64-posix googletest       # the Windows build, GoogleTest built from source for it
  wine wine64 xvfb xauth                      # the Windows tests: 64-bit Wine, on a virtual display
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
# javac may come from another JDK package already on the machine.
if command -v javac >/dev/null 2>&1; then
  missing=("${missing[@]/default-jdk-headless/}")
fi
missing=($(printf '%s\n' "${missing[@]}" | sed '/^$/d'))

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
