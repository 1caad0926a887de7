"""Control groups and the stand-in service manager, for the figures that
need root: the benchmark's own groups in the cpu hierarchy, starting a
command inside a group (and where systemd would be running), and the
stand-in manager on a private bus."""

import os
import re
import shlex
import signal
import subprocess
import sys
import time
from pathlib import Path

from .harness import RESULTS, ROOT, end, read_line, say, scheduling_of, tool

SKIP_GROUPS = "skipped (needs root and a writable cpu hierarchy)"
STANDIN = ROOT / "tests" / "standin" / "service_manager.py"

def unescape_mount(text):
    return re.sub(r"\\([0-7]{3})", lambda match: chr(int(match.group(1), 8)), text)


def hierarchy_with(controller):
    """Where `controller`'s hierarchy is mounted and its version: a v1 mount
    with it, else the v2 tree where the root hands it down; None for anyone
    but root, who alone may make groups there."""
    if os.geteuid() != 0:
        return None
    cgroup2 = None
    for line in Path("/proc/self/mountinfo").read_text().splitlines():
        before, _, after = line.partition(" - ")
        fields, kind = before.split(), after.split()
        if len(fields) < 5 or len(kind) < 3:
            continue
        mount = Path(unescape_mount(fields[4]))
        if kind[0] == "cgroup" and controller in kind[2].split(","):
            return mount, 1
        if kind[0] == "cgroup2" and cgroup2 is None:
            cgroup2 = mount
    try:
        if cgroup2 is not None and controller in (cgroup2 / "cgroup.subtree_control").read_text().split():
            return cgroup2, 2
    except OSError:
        pass
    return None


def cgroup2_mount():
    """Where the cgroup2 hierarchy is mounted (on a hybrid tree, the unified
    one beside the v1 controllers), or None; only root may make groups there."""
    if os.geteuid() != 0:
        return None
    for line in Path("/proc/self/mountinfo").read_text().splitlines():
        before, _, after = line.partition(" - ")
        fields, kind = before.split(), after.split()
        if len(fields) >= 5 and kind and kind[0] == "cgroup2":
            return Path(unescape_mount(fields[4]))
    return None


class NamespacedGroup:
    """A cgroup2 group of the benchmark's own that becomes the root of a
    cgroup namespace, for a figure whose wrapper must see a cgroup2 root
    with no process in it. On a machine where every process sits in the v2
    root (a hybrid tree without a manager), a wrapper cannot tell its job's
    disk stall from anyone else's in the root; inside the namespace the root
    is this group, and the figure's own processes sit in its children: the
    harness in "harness", the others where the figure puts them.

    `prefix()` starts a command in the group, in a cgroup namespace rooted
    there and a mount namespace of its own; `settle()`, run by that command,
    mounts cgroup2 afresh (rooted at the namespace's root) over the old
    mount and moves it into "harness"."""

    def __init__(self, mount):
        self.mount = mount
        self.own = mount / f"lullbench-ns-{os.getpid()}"

    @staticmethod
    def find():
        """The group, made; or None where no cgroup2 hierarchy may be written."""
        mount = cgroup2_mount()
        if mount is None or not (mount / "cgroup.procs").exists():
            return None
        group = NamespacedGroup(mount)
        for stale in mount.glob("lullbench-ns-*"):
            owner = stale.name.rsplit("-", 1)[1]
            if owner.isdigit() and not Path(f"/proc/{owner}").exists():
                remove_group(stale)
        try:
            group.own.mkdir()
        except OSError:
            return None
        return group

    def prefix(self):
        return entering(self.own) + [tool("unshare"), "--cgroup", "--mount", "--propagation",
                                     "private"]

    @staticmethod
    def settle(mount, children):
        """Inside the namespaces: the fresh mount, the children made, and this
        process in "harness"; the mount's path."""
        subprocess.run(["umount", "-l", str(mount)], check=True)
        subprocess.run(["mount", "-t", "cgroup2", "cgroup2", str(mount)], check=True)
        for name in ("harness",) + tuple(children):
            (mount / name).mkdir(exist_ok=True)
        (mount / "harness" / "cgroup.procs").write_text(str(os.getpid()))
        return mount

    def remove(self):
        remove_group(self.own)


class CpuTree:
    """The hierarchy that holds the cpu controller, found from mountinfo (v1:
    `cpu`, alone or co-mounted; v2: `cpu` handed to the root's children), and
    the benchmark's own groups in it, under one group of its own."""

    def __init__(self, root, version):
        self.root, self.version = root, version
        self.own = root / f"lullbench-{os.getpid()}"
        self.visited = []  # groups outside the benchmark's own that its children ran in

    @staticmethod
    def find():
        """The usable tree, or None where the benchmark may not make groups in it."""
        found = hierarchy_with("cpu")
        return CpuTree.usable(CpuTree(*found)) if found is not None else None

    @staticmethod
    def usable(tree):
        tree.remove_stale()
        try:
            tree.own.mkdir()
            if tree.version == 2:
                (tree.own / "cgroup.subtree_control").write_text("+cpu")
        except OSError:
            tree.remove()
            return None
        return tree

    def remove_stale(self):
        """Groups a benchmark killed outright left behind (their owner gone)."""
        for group in self.root.glob("lullbench-*"):
            owner = group.name.split("-", 1)[1]
            if owner.isdigit() and not Path(f"/proc/{owner}").exists():
                remove_group(group)

    def make(self, name):
        group = self.own / name
        group.mkdir(exist_ok=True)
        return group

    def group_of(self, pid):
        """The group of `pid` in this tree, as a path below its root."""
        for line in Path(f"/proc/{pid}/cgroup").read_text().splitlines():
            _, controllers, path = line.split(":", 2)
            if (self.version == 1 and "cpu" in controllers.split(",")) or \
                    (self.version == 2 and controllers == ""):
                return path
        return "?"

    def describe(self, pid):
        """How the kernel schedules `pid`, and the group it runs in."""
        path = self.group_of(pid)
        group = self.root / path.lstrip("/")
        try:
            idle = (group / "cpu.idle").read_text().strip()
        except OSError:
            idle = "?"
        return f"{scheduling_of(pid)}; group {self.shown(group)}, cpu.idle {idle}"

    def own_path(self):
        """The benchmark's own group, as a path below the tree's root."""
        return "/" + self.own.name

    def shown(self, group):
        """A group's path below the tree's root, the benchmark's own group
        (named after its process) shortened to `lullbench-…`."""
        path = "/" + str(group.relative_to(self.root)) if group != self.root else "/"
        return path.replace(self.own.name, "lullbench-…")

    def note_group(self, pid):
        """Remembers the group `pid` runs in when it is not the benchmark's
        own: the wrappers' shared idle group, which they remove themselves
        and which is not the benchmark's to remove, as other wrappers on the
        machine may be using it."""
        path = self.group_of(pid)
        group = self.root / path.lstrip("/")
        if path not in ("/", "?") and self.own not in group.parents and group not in self.visited:
            self.visited.append(group)

    def remove(self):
        remove_group(self.own)


def remove_group(group, timeout=5.0):
    """Ends what still runs in `group` and below, then removes them all,
    deepest first."""
    if not group.is_dir():
        return
    for sub in sorted((p for p in group.rglob("*") if p.is_dir()),
                      key=lambda p: len(p.parts), reverse=True) + [group]:
        deadline = time.monotonic() + timeout
        while True:
            try:
                pids = [int(word) for word in (sub / "cgroup.procs").read_text().split()]
            except OSError:
                pids = []
            for pid in pids:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            try:
                sub.rmdir()
                break
            except FileNotFoundError:
                break
            except OSError:
                if time.monotonic() > deadline:
                    say(f"bench: could not remove {sub}")
                    break
                time.sleep(0.02)


def entering(group=None, manager=None):
    """A prefix that starts a command in `group`, and, with `manager` (a
    StandIn), in a mount namespace of its own where /run/systemd/system is
    there, as on a machine that runs systemd (`systemd-run` talks to no
    manager without it), and the stand-in's bus is the system bus at its
    fixed place: the wrapper as root takes no address from the environment.
    Both are done by a shell that then becomes the command."""
    steps = []
    if manager is not None:
        socket = manager.address.split("=", 1)[1]
        steps.append("{ [ -d /run/systemd/system ] || { mount -t tmpfs -o mode=0755,size=64k "
                     "lullbench /run && mkdir -p /run/systemd/system /run/dbus && "
                     f"ln -s {shlex.quote(socket)} /run/dbus/system_bus_socket; }}; }}")
    if group is not None:
        steps.append(f"echo $$ > {shlex.quote(str(group / 'cgroup.procs'))}")
    steps.append('exec "$@"')
    prefix = ["sh", "-c", " && ".join(steps), "sh"]
    if manager is not None:
        prefix = [tool("unshare"), "--mount", "--propagation", "private"] + prefix
    return prefix


def without_bus():
    """The environment with no bus address of its own: as root on this
    machine, no manager is on any bus the wrapper looks for."""
    env = dict(os.environ)
    env.pop("DBUS_SYSTEM_BUS_ADDRESS", None)
    env.pop("DBUS_SESSION_BUS_ADDRESS", None)
    return env


class StandIn:
    """The stand-in service manager on a private bus of its own, playing
    systemd's manager: it makes each transient scope's group for real in the
    cpu hierarchy. Its tree's top is the benchmark's own group, so that a
    scope in "-.slice" is a sibling of the foreground's group and whatever it
    leaves goes with the benchmark's group. It runs until its stdin closes."""

    def __init__(self, log, tree):
        self.process = None
        self.log = log.open("w")
        self.process = subprocess.Popen(
            [standin_python(), str(STANDIN), "--bus", "system", "--tree", tree.own_path(),
             "--hierarchy", str(tree.root)], stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=self.log, start_new_session=True)
        deadline = time.monotonic() + 30
        self.address = None
        while self.address is None:
            line = read_line(self.process, max(deadline - time.monotonic(), 0.01))
            if line.startswith("address="):
                self.address = line.split("=", 1)[1]
            elif not line and self.process.poll() is not None:
                raise RuntimeError(f"the stand-in manager ended at once (see {log})")

    def env(self):
        """The environment of a client of the stand-in, on either bus."""
        return dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.address,
                    DBUS_SESSION_BUS_ADDRESS=self.address)

    def close(self):
        if self.process is not None:
            self.process.stdin.close()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                end(self.process)
            self.process.stdout.close()
        self.log.close()


def standin_python():
    """Debian's Python, which has the D-Bus bindings the stand-in uses,
    rather than another Python first on the PATH."""
    return "/usr/bin/python3" if Path("/usr/bin/python3").exists() else sys.executable


def start_standin(tree):
    """The stand-in manager, or the reason it is not there."""
    if tree is None:
        return None, SKIP_GROUPS
    if not STANDIN.exists():
        return None, f"skipped (no stand-in manager: {STANDIN.relative_to(ROOT)} is missing)"
    try:
        return StandIn(RESULTS / "standin.log", tree), ""
    except (OSError, RuntimeError) as error:
        return None, f"skipped (the stand-in manager did not start: {error})"


