#!/usr/bin/env bash
# The .rpm as rpm and rpmlint see it: what it says of itself, the files and
# folders it owns, what it needs, and an installation into an empty root
# whose lullrun then runs a child. What the installed programs and examples
# do, install_test.sh shows on the .deb, made from the same installed tree.
#   rpm_test.sh RPM_FOLDER VERSION RPMLINT_CONFIG static|shared PROGRAM...
# (static: the C++ runtime is linked into the programs, as in the release.)
set -uo pipefail
output=$1 version=$2 config=$3 runtime=$4
shift 4
programs=("$@")

failed=0
fail() { echo "FAIL: $*"; failed=1; }

shopt -s nullglob
rpms=("$output"/*.rpm)
((${#rpms[@]} == 1)) || { echo "no .rpm in $output"; exit 1; }
package=${rpms[0]}
query() { rpm -qp "$@" "$package" 2>&1; }
literal() { sed 's/[][\.*^$()+?{}]/\\&/g' <<<"$1"; }
release=$(literal "$version-1") bits=""
[[ $(getconf LONG_BIT) == 64 ]] && bits='()(64bit)'
# Both loaded at run time, each listed whole, in the order rpm keeps
# them: sorted by name.
recommends=$(literal "libbpf.so.1${bits}libsystemd.so.0${bits}")

# --- What it says of itself: each tag against a pattern.
while IFS='|' read -r what format pattern; do
  value=$(query --qf "$format")
  [[ $value =~ ^($pattern)$ ]] || fail "$what is '$value', not '$pattern'"
done <<TAGS
name|%{NAME}-%{VERSION}-%{RELEASE}|lullrun-$release
licence|%{LICENSE}|MIT
URL (the project has none)|%{URL}|\(none\)
summary|%{SUMMARY}|Program wrapper that runs one program at idle priority, out of sight
description|%{DESCRIPTION}|lullrun starts one program, the child, at the lowest scheduling priority.*lullspawn is .*
changelog, the project's own|%{CHANGELOGNAME} %{CHANGELOGTEXT}|The lullrun developers <lullrun@example\.org> - $release - First release: .*
recommended|[%{RECOMMENDS}]|$recommends
suggested|[%{SUGGESTS}]|
TAGS

# --- Its own files and folders, none of the system's (/usr/share/man,
# /usr/lib/.build-id, ...), and the licence marked as one.
expected=$(for program in "${programs[@]}"; do
    echo "/usr/bin/$program"
    echo "/usr/share/man/man1/$program.1.gz"
  done
  printf '/usr/share/doc/lullrun%s\n' "" /LICENSE /README.md /changelog.gz /copyright /examples \
    /examples/Nightly.java /examples/idle-build.sh /examples/nightly.properties)
diff <(sort <<<"$expected") <(query -l | sort) || fail "the file list differs (<: expected, >: in the package)"
[[ $(query --licensefiles) == /usr/share/doc/lullrun/LICENSE ]] || fail "license files: $(query --licensefiles)"

# --- Requires: the C library, its loader and the GCC runtime (libsystemd and
# libbpf are loaded at run time), and the C++ runtime only where it is not linked in; as
# released, no newer glibc than README names.
requires=$(query --requires)
needed='libc\.so\.6|ld-linux[^(]*|libgcc_s\.so\.1'
[[ $runtime == static ]] || needed+='|libstdc\+\+\.so\.6'
others=$(grep -Ev "^(($needed)\(|rtld\(GNU_HASH\)$|rpmlib\()" <<<"$requires")
[[ -z $others ]] || fail "requires more than the C and GCC runtimes: $others"
newest=$(grep -oE 'GLIBC_[0-9.]+' <<<"$requires" | sort -V | tail -n 1)
[[ $runtime != static || $newest == GLIBC_2.34 ]] || fail "needs $newest, where README says glibc 2.34"

# --- rpmlint, with its settings and the findings that do not apply.
rpmlint --strict --config "$config" "$package" || fail "rpmlint"

# --- Installed into an empty root, then the installed lullrun run from
# there through the machine's own loader: its child at nice 19 and
# SCHED_IDLE (5), and the child's exit status passed back.
root=$(mktemp -d /tmp/lull-rpm.XXXXXX)
trap 'rm -rf "$root"' EXIT
# rpm changes root for the installation, which fakeroot cannot pretend to
# do; a user namespace in which the caller is root can do it.
as_root=()
((EUID == 0)) || as_root=(unshare --map-root-user)
in_root() { "${as_root[@]}" rpm --root "$root" --dbpath /var/lib/rpm --nodeps "$@"; }
in_root --force-debian -i "$package" || fail "rpm -i into $root"
in_root -V --nouser --nogroup lullrun || fail "rpm -V: the installed files differ from the package's"
said=$("$root/usr/bin/lullrun" sh -c 'cut -d" " -f19,41 /proc/self/stat; exit 7')
said="$? $said"
[[ $said == "7 19 5" ]] || fail "the installed lullrun: exit status, the child's nice and policy '$said', not '7 19 5'"

exit "$failed"
