#!/usr/bin/env bash
# Installs, from Debian's packages, whatever this machine lacks to build and
# test the project, and brings what the build compiles and links against to
# the distribution's current version: a machine that kept older headers or
# libraries then builds what a user's up-to-date system builds. Runs as root.
set -euo pipefail

# What the build compiles and links against: kept at the distribution's
# current version (a security update of the kernel's headers once broke the
# build on up-to-date systems while an older machine still passed).
build_packages=(
  g++ libstdc++-12-dev libc6-dev linux-libc-dev # the compiler, the C and C++ libraries, the kernel's headers
  libsystemd-dev                                # sd-bus, to place the child through the service manager
  libbpf-dev clang llvm                         # the job's network programs: libbpf, clang's BPF target, llvm-strip
  libgtest-dev libgmock-dev googletest          # GoogleTest, and its sources for the Windows build
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev # the Windows build
)
# What the tests and tools use: installed when missing.
tool_packages=(
  cmake make pkg-config
  dbus-daemon python3-dbus python3-gi systemd # a private bus and a stand-in manager; systemd-run checks it
  fio                                         # the benchmark's disk figures
  default-jdk-headless                        # the Java child of the demonstration and tests
  procps util-linux                           # ps and chrt, used by tests and the demonstration
  mount                                       # the benchmark's /run/systemd of its own, in a mount namespace
  iproute2                                    # the network tests' namespaces, veth pairs and queues
  dpkg-dev file lintian                       # the .deb: CPack's dependency list, Debian's check
  rpm rpmlint cpio                            # the .rpm: rpmbuild and its dependency list, rpmlint, unpacking
  mandoc man-db groff-base                    # the manual pages' checks
  clang-14 libclang-rt-14-dev valgrind        # the lookup's fuzzer (libFuzzer) and memcheck
  wine wine64 xvfb xauth                      # the Windows tests: 64-bit Wine, on a virtual display
  mmdebstrap                                  # a Debian 13 root, to build there too
)

export DEBIAN_FRONTEND=noninteractive
# The package lists are read afresh: without them "current" would mean
# whatever this machine last heard of. A machine without the mirror goes on
# with what it has.
apt-get update >/dev/null || echo "install-deps: the package lists could not be refreshed" >&2

installed_version() { { dpkg-query -W -f='${Status} ${Version}' "$1" 2>/dev/null | sed -n 's/^install ok installed //p'; } || true; }
candidate_version() { { apt-cache policy "$1" 2>/dev/null | sed -n 's/^ *Candidate: //p'; } || true; }

wanted=()
for package in "${build_packages[@]}"; do
  have=$(installed_version "$package")
  candidate=$(candidate_version "$package")
  if [ -z "$have" ] || { [ -n "$candidate" ] && [ "$candidate" != "(none)" ] && [ "$have" != "$candidate" ]; }; then
    wanted+=("$package")
  fi
done
for package in "${tool_packages[@]}"; do
  [ -n "$(installed_version "$package")" ] || wanted+=("$package")
done
# javac may come from another JDK package already on the machine.
if command -v javac >/dev/null 2>&1; then
  wanted=("${wanted[@]/default-jdk-headless/}")
fi
wanted=($(printf '%s\n' "${wanted[@]}" | sed '/^$/d'))

if ((${#wanted[@]})); then
  echo "installing or bringing up to date: ${wanted[*]}"
  apt-get install -y --no-install-recommends "${wanted[@]}"
fi
