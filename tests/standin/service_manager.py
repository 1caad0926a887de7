#!/usr/bin/python3
"""A stand-in for systemd's service manager, for tests on machines where none runs.

It starts a private dbus-daemon, owns org.freedesktop.systemd1 on it and answers
StartTransientUnit for scopes the way systemd does: the same checks and errors,
the scope's control group made for real in the cpu hierarchy inside its slice,
the weight applied, the processes moved, then JobRemoved. Failure modes make it
refuse, fail, stall or go silent, as a broken or older manager would.

It prints one line, address=<bus address>, once clients may connect, and runs
until its standard input closes or it gets SIGTERM; then it stops its bus and
removes the groups it made that are empty (it moves no process back).

Where it departs from systemd 252: CPUWeight 0 (CPUWeight=idle) sets cpu.idle
to 1 as systemd does on cgroup v2, although the cpu controller here is on a v1
hierarchy, where systemd itself would only write cpu.shares 2; only scopes are
made, without auxiliary units; a user manager played here runs as root.

The log (--log) has one JSON object a line per StartTransientUnit call: unit,
mode, properties (name: plain value), order (the properties' names as sent),
aux, reply ({"job": path}, {"error": name, "message": text} or {"none": true}),
and for a job that ran, result ("done", "failed") and group (the scope's group
relative to the hierarchy's root), written before JobRemoved is sent.
"""

import argparse
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import uuid

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

MANAGER_PATH = "/org/freedesktop/systemd1"
MANAGER_INTERFACE = "org.freedesktop.systemd1.Manager"
PROPERTIES_INTERFACE = "org.freedesktop.DBus.Properties"

INVALID_ARGS = "org.freedesktop.DBus.Error.InvalidArgs"
PROPERTY_READ_ONLY = "org.freedesktop.DBus.Error.PropertyReadOnly"
ACCESS_DENIED = "org.freedesktop.DBus.Error.AccessDenied"
PROCESS_UNKNOWN = "org.freedesktop.DBus.Error.UnixProcessIdUnknown"
UNKNOWN_PROPERTY = "org.freedesktop.DBus.Error.UnknownProperty"
UNIT_EXISTS = "org.freedesktop.systemd1.UnitExists"
NO_SUCH_UNIT = "org.freedesktop.systemd1.NoSuchUnit"
NO_UNIT_FOR_PID = "org.freedesktop.systemd1.NoUnitForPID"
ALREADY_SUBSCRIBED = "org.freedesktop.systemd1.AlreadySubscribed"
NOT_SUBSCRIBED = "org.freedesktop.systemd1.NotSubscribed"

# systemd 252's job modes (src/core/job.c, job_mode_table).
JOB_MODES = ("fail", "replace", "replace-irreversibly", "isolate", "flush",
             "ignore-dependencies", "ignore-requirements", "triggering")
UNIT_TYPES = ("service", "mount", "swap", "socket", "target", "device",
              "automount", "timer", "path", "slice", "scope")
TRANSIENT_TYPES = ("service", "mount", "swap", "automount", "timer", "path",
                   "slice", "scope")
VALID_CHARS = frozenset("0123456789abcdefghijklmnopqrstuvwxyz"
                        "ABCDEFGHIJKLMNOPQRSTUVWXYZ:-_.\\")
UNIT_NAME_MAX = 256

# src/basic/cgroup-util.h
WEIGHT_IDLE = 0
WEIGHT_MIN, WEIGHT_MAX, WEIGHT_DEFAULT = 1, 10000, 100
WEIGHT_INVALID = 2**64 - 1
SHARES_MIN, SHARES_MAX, SHARES_DEFAULT = 2, 262144, 1024
PF_KTHREAD = 0x00200000

MODES = {
    "ok": "as systemd 252 and later (the default)",
    "old": "systemd before 252: CPUWeight 0 is out of range",
    "unit-exists-once": "the first StartTransientUnit gets UnitExists, later ones work",
    "refuse": "every StartTransientUnit gets AccessDenied",
    "fail-job": "the job is accepted, JobRemoved says failed, no group is made",
    "never-finish": "the job is accepted, JobRemoved never comes",
    "no-reply": "StartTransientUnit is never answered",
    "silent": "no bus: a socket that takes connections and never writes a byte",
}


class Refusal(Exception):
    """A D-Bus error reply: its name and message."""

    def __init__(self, name, message):
        super().__init__(message)
        self.name = name
        self.message = message


def unit_name_is_valid(name):
    """systemd's unit_name_is_valid(name, UNIT_NAME_ANY) (src/basic/unit-name.c)."""
    if not name or len(name.encode()) >= UNIT_NAME_MAX:
        return False
    dot = name.rfind(".")
    if dot <= 0 or name[dot + 1:] not in UNIT_TYPES:
        return False
    prefix = name[:dot]
    if prefix.startswith("@"):
        return False
    return all(c in VALID_CHARS or c == "@" for c in prefix)


def is_template(name):
    return name[:name.rfind(".")].endswith("@")


def slice_name_is_valid(name):
    """systemd's slice_name_is_valid: -.slice, or dash-separated parts, none empty."""
    if name == "-.slice":
        return True
    if not unit_name_is_valid(name) or not name.endswith(".slice") or "@" in name:
        return False
    prefix = name[:-len(".slice")]
    return not (prefix.startswith("-") or prefix.endswith("-") or "--" in prefix)


def slice_path(name):
    """The slice's place below the manager's top: a-b.slice is a.slice/a-b.slice."""
    if name == "-.slice":
        return []
    parts = name[:-len(".slice")].split("-")
    return [cg_escape("-".join(parts[:i + 1]) + ".slice") for i in range(len(parts))]


def cg_escape(name):
    """systemd's cg_escape: names the kernel or a controller claims get a leading '_'."""
    controllers = ("cpu", "cpuacct", "cpuset", "memory", "devices", "freezer", "blkio",
                   "pids", "io", "net_cls", "net_prio", "perf_event", "hugetlb", "rdma",
                   "misc", "cgroup")
    if (name.startswith(("_", ".")) or name in ("notify_on_release", "release_agent", "tasks")
            or any(name.startswith(c + ".") for c in controllers)):
        return "_" + name
    return name


def bus_label_escape(text):
    """systemd's bus_label_escape, for a unit's object path."""
    if not text:
        return "_"
    out = []
    for i, c in enumerate(text):
        if c.isascii() and (c.isalpha() or (c.isdigit() and i > 0)):
            out.append(c)
        else:
            out.extend("_%02x" % b for b in c.encode())
    return "".join(out)


def plain(value):
    """A D-Bus value as JSON can hold it."""
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.Array, dbus.Struct, list, tuple)):
        return [plain(v) for v in value]
    if isinstance(value, dbus.Dictionary):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (dbus.String, dbus.ObjectPath, dbus.Signature)):
        return str(value)
    if isinstance(value, int):
        return int(value)
    if isinstance(value, float):
        return float(value)
    return str(value)


def cpu_hierarchy():
    """Where the cpu controller's hierarchy is mounted, from /proc/self/mountinfo."""
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields = line.split()
            separator = fields.index("-")
            fstype, options = fields[separator + 1], fields[separator + 3]
            if fstype == "cgroup" and "cpu" in options.split(","):
                return fields[4]
    return None


def is_kernel_thread(pid):
    with open("/proc/%d/stat" % pid, "rb") as f:  # a program's name may be any bytes
        stat = f.read()
    flags = int(stat[stat.rfind(b")") + 2:].split()[6])
    return bool(flags & PF_KTHREAD)


def process_uid(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("Uid:"):
                return int(line.split()[1])
    return None


class Groups:
    """The groups this manager made in the cpu hierarchy, to remove them at the end."""

    def __init__(self, hierarchy, top):
        self.hierarchy = hierarchy
        self.top = [p for p in top.split("/") if p]
        self.made = []

    def path(self, parts):
        return os.path.join(self.hierarchy, *parts)

    def make(self, parts):
        for i in range(1, len(parts) + 1):
            path = self.path(parts[:i])
            try:
                os.mkdir(path)
                self.made.append(path)
            except FileExistsError:
                pass

    def remove(self, path):
        try:
            os.rmdir(path)
        except OSError:
            return False
        if path in self.made:
            self.made.remove(path)
        return True

    def remove_all(self):
        for path in sorted(self.made, key=len, reverse=True):
            self.remove(path)


def group_of(pid):
    """The process's group in the cpu hierarchy, from /proc/PID/cgroup."""
    try:
        with open("/proc/%d/cgroup" % pid) as f:
            for line in f:
                _, controllers, path = line.rstrip("\n").split(":", 2)
                if "cpu" in controllers.split(","):
                    return path
    except OSError:
        pass
    return None


def unit_group_of(pid):
    """The process's group as systemd names its unit: in systemd's own v1
    hierarchy (name=systemd) where there is one, else in the cpu hierarchy."""
    try:
        with open("/proc/%d/cgroup" % pid) as f:
            for line in f:
                _, controllers, path = line.rstrip("\n").split(":", 2)
                if controllers == "name=systemd":
                    return path
    except OSError:
        pass
    return group_of(pid)


def group_is_empty(path):
    try:
        with open(os.path.join(path, "cgroup.procs")) as f:
            return not f.read().strip()
    except OSError:
        return True


class PropertiesObject(dbus.service.Object):
    """org.freedesktop.DBus.Properties over a dict of interface -> name -> value."""

    def properties(self, sender):
        return {}

    @dbus.service.method(PROPERTIES_INTERFACE, in_signature="ss", out_signature="v",
                         sender_keyword="sender")
    def Get(self, interface, name, sender=None):
        values = self.properties(sender).get(str(interface), {})
        if name not in values:
            raise dbus.exceptions.DBusException("Unknown property %s" % name,
                                                name=UNKNOWN_PROPERTY)
        return values[name]

    @dbus.service.method(PROPERTIES_INTERFACE, in_signature="s", out_signature="a{sv}",
                         sender_keyword="sender")
    def GetAll(self, interface, sender=None):
        return dbus.Dictionary(self.properties(sender).get(str(interface), {}), signature="sv")


class Unit(PropertiesObject):
    """A scope this manager knows: its name, state and group."""

    def __init__(self, connection, name, properties, group):
        self.path = "%s/unit/%s" % (MANAGER_PATH, bus_label_escape(name))
        super().__init__(connection, self.path)
        self.name = name
        self.settings = properties
        self.group = group  # path relative to the hierarchy's root, with a leading "/"
        self.state = "inactive"
        self.invocation = uuid.uuid4().bytes

    def parts(self):
        return [p for p in self.group.split("/") if p]

    def properties(self, sender):
        unit = {
            "Id": dbus.String(self.name),
            "Names": dbus.Array([self.name], signature="s"),
            "Description": dbus.String(self.settings.get("Description", self.name)),
            "LoadState": dbus.String("loaded"),
            "ActiveState": dbus.String(self.state),
            "SubState": dbus.String({"active": "running"}.get(self.state, "dead")),
            "InvocationID": dbus.Array(self.invocation, signature="y"),
            "Transient": dbus.Boolean(True),
        }
        scope = {
            "Slice": dbus.String(self.settings.get("Slice", "")),
            "ControlGroup": dbus.String(self.group if self.state == "active" else ""),
            "Result": dbus.String("success" if self.state != "failed" else "resources"),
        }
        return {"org.freedesktop.systemd1.Unit": unit, "org.freedesktop.systemd1.Scope": scope}


class CallerUnit(PropertiesObject):
    """/org/freedesktop/systemd1/unit/self: the unit the caller runs in.

    systemd-run asks it for the scope's InvocationID once the job is done."""

    def __init__(self, connection, manager):
        super().__init__(connection, MANAGER_PATH + "/unit/self")
        self.manager = manager

    def properties(self, sender):
        pid = self.manager.sender_pid(sender)
        unit = self.manager.unit_of(pid)
        if unit is None:
            raise dbus.exceptions.DBusException(
                "PID %d does not belong to any loaded unit." % pid, name=NO_UNIT_FOR_PID)
        return unit.properties(sender)


class LoadedUnit(PropertiesObject):
    """A unit this manager did not make, named as systemd names a process's
    unit from its group: the deepest group on the path below the manager's
    top that bears a unit's name, slices first, then one unit that is no
    slice. A group by any other name (a container runtime's "docker") is no
    unit's, and neither is the top itself: systemd 252 knows no unit there."""

    def __init__(self, connection, name, group, options):
        self.path = "%s/unit/%s" % (MANAGER_PATH, bus_label_escape(name))
        super().__init__(connection, self.path)
        self.name, self.group, self.options = name, group, options

    def properties(self, sender):
        kind = {"ControlGroup": dbus.String(self.group)}
        if self.name.endswith(".service"):
            # An allow list systemd could not fill reads back as (true, []).
            kind["RestrictFileSystems"] = dbus.Struct(
                (dbus.Boolean(self.options.restrict_file_systems), dbus.Array([], signature="s")),
                signature="bas")
        return {"org.freedesktop.systemd1.Unit": {"Id": dbus.String(self.name)},
                "org.freedesktop.systemd1." + self.name.rsplit(".", 1)[1].capitalize(): kind}


# Each property a scope takes here: its D-Bus type and a check of the value.
def check_weight(options, name, value):
    if value == WEIGHT_IDLE and options.mode != "old":
        return
    if value != WEIGHT_INVALID and not WEIGHT_MIN <= value <= WEIGHT_MAX:
        raise Refusal(INVALID_ARGS, "Value specified in %s is out of range" % name)


def check_shares(options, name, value):
    if value != WEIGHT_INVALID and not SHARES_MIN <= value <= SHARES_MAX:
        raise Refusal(INVALID_ARGS, "Value specified in %s is out of range" % name)


def check_collect_mode(options, name, value):
    if value not in ("inactive", "inactive-or-failed"):
        raise Refusal(INVALID_ARGS, "Invalid collect mode: %s" % value)


def check_kill_mode(options, name, value):
    if value not in ("control-group", "process", "mixed", "none"):
        raise Refusal(INVALID_ARGS, "Invalid kill mode: %s" % value)


def check_slice(options, name, value):
    if not unit_name_is_valid(value) or "@" in value:
        raise Refusal(INVALID_ARGS, "Invalid unit name '%s'" % value)
    if not value.endswith(".slice"):
        raise Refusal(INVALID_ARGS, "Unit name '%s' is not a slice" % value)
    if not slice_name_is_valid(value):
        raise Refusal(INVALID_ARGS, "Invalid unit name '%s'" % value)


def accept(options, name, value):
    pass


SCOPE_PROPERTIES = {
    "Description": ("s", accept),
    "CollectMode": ("s", check_collect_mode),
    "AddRef": ("b", accept),
    "SendSIGHUP": ("b", accept),
    "KillMode": ("s", check_kill_mode),
    "KillSignal": ("i", accept),
    "Slice": ("s", check_slice),
    "PIDs": ("au", accept),
    "CPUWeight": ("t", check_weight),
    "StartupCPUWeight": ("t", check_weight),
    "CPUShares": ("t", check_shares),
    "CPUAccounting": ("b", accept),
    "Delegate": ("b", accept),
    "TimeoutStopUSec": ("t", accept),
    "RuntimeMaxUSec": ("t", accept),
    "Controller": ("s", accept),
    "PartOf": ("as", accept),
}

DBUS_TYPES = {"s": dbus.String, "b": dbus.Boolean, "t": dbus.UInt64, "i": dbus.Int32}


def has_type(value, signature):
    if signature in ("au", "as"):
        return isinstance(value, dbus.Array) and value.signature == signature[1]
    return isinstance(value, DBUS_TYPES[signature])


class Manager(PropertiesObject):
    def __init__(self, connection, options, groups):
        super().__init__(connection, MANAGER_PATH)
        self.bus = connection
        self.options = options
        self.groups = groups
        self.units = {}
        self.loaded = {}  # units found by a process's group
        self.subscribed = set()
        self.next_job = 1
        self.start_calls = 0

    def properties(self, sender):
        return {MANAGER_INTERFACE: {
            "Version": dbus.String("252-standin"),
            "Features": dbus.String(self.options.features),
            "DefaultStandardOutput": dbus.String("journal"),
        }}

    @dbus.service.signal(MANAGER_INTERFACE, signature="uos")
    def JobNew(self, job_id, job, unit):
        pass

    @dbus.service.signal(MANAGER_INTERFACE, signature="uoss")
    def JobRemoved(self, job_id, job, unit, result):
        pass

    @dbus.service.method(MANAGER_INTERFACE, in_signature="", out_signature="",
                         sender_keyword="sender")
    def Subscribe(self, sender=None):
        if sender in self.subscribed:
            raise dbus.exceptions.DBusException("Client is already subscribed.",
                                                name=ALREADY_SUBSCRIBED)
        self.subscribed.add(sender)

    @dbus.service.method(MANAGER_INTERFACE, in_signature="", out_signature="",
                         sender_keyword="sender")
    def Unsubscribe(self, sender=None):
        if sender not in self.subscribed:
            raise dbus.exceptions.DBusException("Client is not subscribed.",
                                                name=NOT_SUBSCRIBED)
        self.subscribed.discard(sender)

    @dbus.service.method(MANAGER_INTERFACE, in_signature="s", out_signature="o")
    def GetUnit(self, name):
        self.collect()
        unit = self.units.get(str(name))
        if unit is None:
            raise dbus.exceptions.DBusException("Unit %s not loaded." % name, name=NO_SUCH_UNIT)
        return dbus.ObjectPath(unit.path)

    @dbus.service.method(MANAGER_INTERFACE, in_signature="u", out_signature="o",
                         sender_keyword="sender")
    def GetUnitByPID(self, pid, sender=None):
        pid = int(pid) or self.sender_pid(sender)
        unit = self.unit_of(pid)
        if unit is not None:
            return dbus.ObjectPath(unit.path)
        parts = [p for p in (unit_group_of(pid) or "/").split("/") if p]
        top = len(self.groups.top)
        end = top if parts[:top] == self.groups.top else 0
        while end < len(parts) and unit_name_is_valid(parts[end]):
            end += 1
            if not parts[end - 1].endswith(".slice"):
                break
        if end <= top:
            raise dbus.exceptions.DBusException(
                "PID %d does not belong to any loaded unit." % pid, name=NO_UNIT_FOR_PID)
        name = parts[end - 1]
        if name not in self.loaded:
            self.loaded[name] = LoadedUnit(self.bus, name, "/" + "/".join(parts[:end]),
                                           self.options)
        return dbus.ObjectPath(self.loaded[name].path)

    @dbus.service.method(MANAGER_INTERFACE, in_signature="ssa(sv)a(sa(sv))", out_signature="o",
                         sender_keyword="sender", async_callbacks=("reply", "error"))
    def StartTransientUnit(self, name, mode, properties, aux, sender=None, reply=None,
                           error=None):
        self.start_calls += 1
        record = {
            "unit": str(name),
            "mode": str(mode),
            "properties": {str(k): plain(v) for k, v in properties},
            "order": [str(k) for k, _ in properties],
            "aux": plain(aux),
        }
        if self.options.mode == "no-reply":
            record["reply"] = {"none": True}
            self.write_log(record)
            return
        try:
            unit = self.make_unit(str(name), str(mode), properties, aux, sender)
        except Refusal as refusal:
            record["reply"] = {"error": refusal.name, "message": refusal.message}
            self.write_log(record)
            error(dbus.exceptions.DBusException(refusal.message, name=refusal.name))
            return
        job_id = self.next_job
        self.next_job += 1
        job = dbus.ObjectPath("%s/job/%d" % (MANAGER_PATH, job_id))
        record["reply"] = {"job": str(job)}
        # systemd announces the job before it replies, and runs it (which ends
        # with JobRemoved) from its event loop after the reply has gone.
        self.JobNew(dbus.UInt32(job_id), job, unit.name)
        reply(job)
        if self.options.mode == "never-finish":
            record["result"] = None
            self.write_log(record)
            return
        GLib.idle_add(self.run_job, unit, job_id, job, record)

    def make_unit(self, name, mode, properties, aux, sender):
        if mode not in JOB_MODES:
            raise Refusal(INVALID_ARGS, "Job mode %s is invalid." % mode)
        if self.options.mode == "refuse":
            raise Refusal(ACCESS_DENIED, "Access denied")
        if not unit_name_is_valid(name):
            raise Refusal(INVALID_ARGS, "Invalid unit name or type.")
        unit_type = name[name.rfind(".") + 1:]
        if unit_type not in TRANSIENT_TYPES:
            raise Refusal(INVALID_ARGS,
                          "Unit type %s does not support transient units." % unit_type)
        if unit_type != "scope" or is_template(name):
            raise Refusal(INVALID_ARGS, "This stand-in makes only scopes: %s" % name)
        self.collect()
        if name in self.units or (self.options.mode == "unit-exists-once"
                                  and self.start_calls == 1):
            raise Refusal(UNIT_EXISTS, "Unit %s already exists." % name)
        settings = {}
        for key, value in properties:
            key = str(key)
            if key not in SCOPE_PROPERTIES:
                raise Refusal(PROPERTY_READ_ONLY,
                              "Cannot set property %s, or unknown property." % key)
            signature, check = SCOPE_PROPERTIES[key]
            if not has_type(value, signature):
                raise Refusal(INVALID_ARGS, "Invalid argument")
            if key == "PIDs":
                value = [self.attachable(int(pid), sender) for pid in value]
                if not value:
                    raise Refusal(INVALID_ARGS, "Invalid argument")
                value = settings.get("PIDs", []) + value
            check(self.options, key, value)
            settings[key] = plain(value)
        if aux:
            raise Refusal(INVALID_ARGS, "This stand-in takes no auxiliary units.")
        if not settings.get("PIDs"):
            # A scope without processes fails to load, and so is not found.
            raise Refusal(NO_SUCH_UNIT, "Unit %s not found." % name)
        slice_name = settings.get("Slice", self.options.default_slice)
        parts = self.groups.top + slice_path(slice_name) + [cg_escape(name)]
        unit = Unit(self.bus, name, settings, "/" + "/".join(parts))
        self.units[name] = unit
        return unit

    def attachable(self, pid, sender):
        """systemd's unit_pid_attachable; PID 0 is the caller."""
        if pid == 0:
            pid = self.sender_pid(sender)
        if pid <= 0:
            raise Refusal(INVALID_ARGS, "Process identifier %d is not valid." % pid)
        if pid == 1 or pid == os.getpid():
            raise Refusal(INVALID_ARGS, "Process %d is a manager process, refusing." % pid)
        try:
            kernel_thread = is_kernel_thread(pid)
        except OSError:
            raise Refusal(PROCESS_UNKNOWN, "Process with ID %d does not exist." % pid)
        if kernel_thread:
            raise Refusal(INVALID_ARGS, "Process %d is a kernel thread, refusing." % pid)
        return pid

    def run_job(self, unit, job_id, job, record):
        result = "failed" if self.options.mode == "fail-job" else self.start_scope(unit)
        unit.state = "active" if result == "done" else "failed"
        record["result"] = result
        record["group"] = unit.group if result == "done" else None
        self.write_log(record)
        self.JobRemoved(dbus.UInt32(job_id), job, unit.name, result)
        if result != "done" and unit.settings.get("CollectMode") == "inactive-or-failed":
            self.forget(unit)
        return False

    def start_scope(self, unit):
        parts = unit.parts()
        try:
            self.groups.make(parts)
        except OSError:
            return "failed"
        path = self.groups.path(parts)
        self.apply_weight(path, unit.settings.get("CPUWeight", WEIGHT_INVALID))
        moved = 0
        for pid in unit.settings["PIDs"]:
            # A user's manager may move only that user's processes.
            if self.options.uid is not None and process_uid(pid) != self.options.uid:
                continue
            try:
                with open(os.path.join(path, "cgroup.procs"), "w") as f:
                    f.write("%d\n" % pid)
                moved += 1
            except OSError:
                pass
        if moved == 0:
            self.groups.remove(path)
            return "failed"
        return "done"

    @staticmethod
    def apply_weight(path, weight):
        if weight == WEIGHT_INVALID:
            return
        if weight == WEIGHT_IDLE:
            attribute, value = "cpu.idle", 1
        else:
            attribute = "cpu.shares"
            value = min(max(weight * SHARES_DEFAULT // WEIGHT_DEFAULT, SHARES_MIN), SHARES_MAX)
        try:
            with open(os.path.join(path, attribute), "w") as f:
                f.write("%d\n" % value)
        except OSError:
            pass

    def sender_pid(self, sender):
        return int(self.bus.call_blocking(
            "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "GetConnectionUnixProcessID", "s", (sender,)))

    def unit_of(self, pid):
        group = group_of(pid)
        for unit in self.units.values():
            if unit.state == "active" and unit.group == group:
                return unit
        return None

    def collect(self):
        """Forget scopes whose processes have all gone, as systemd does."""
        for unit in list(self.units.values()):
            if unit.state == "active" and group_is_empty(self.groups.path(unit.parts())):
                self.forget(unit)

    def forget(self, unit):
        if unit.state == "active":
            self.groups.remove(self.groups.path(unit.parts()))
        unit.remove_from_connection()
        self.units.pop(unit.name, None)

    def write_log(self, record):
        if not self.options.log:
            return
        with open(self.options.log, "a") as f:
            f.write(json.dumps(record, sort_keys=False) + "\n")


BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>custom</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
"""


def die_with_parent():
    import ctypes
    libc = ctypes.CDLL(None, use_errno=True)
    PR_SET_PDEATHSIG = 1
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def start_bus(folder):
    socket_path = os.path.join(folder, "bus")
    config = os.path.join(folder, "bus.conf")
    with open(config, "w") as f:
        f.write(BUS_CONFIG.format(socket=socket_path))
    reader, writer = os.pipe()
    daemon = subprocess.Popen(
        ["dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + config,
         "--print-address=%d" % writer],
        pass_fds=(writer,), stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        preexec_fn=die_with_parent)
    os.close(writer)
    with os.fdopen(reader) as f:
        address = f.readline().strip()
    if not address:
        daemon.wait()
        raise SystemExit("dbus-daemon did not start")
    os.chmod(socket_path, 0o777)
    return daemon, "unix:path=" + socket_path


def listen_silently(folder, keep):
    """A socket that takes every connection and never says a word."""
    path = os.path.join(folder, "bus")
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(path)
    os.chmod(path, 0o777)
    server.listen(64)
    keep.append(server)

    def on_connection(fd, condition):
        connection, _ = server.accept()
        keep.append(connection)
        return True

    GLib.io_add_watch(server.fileno(), GLib.IO_IN, on_connection)
    return "unix:path=" + path


def parse_arguments():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="modes:\n" + "\n".join("  %-17s %s" % item for item in MODES.items()))
    parser.add_argument("--bus", choices=("system", "user"), default="system",
                        help="which manager to play: its default slice")
    parser.add_argument("--tree", default="",
                        help="the manager's top group, relative to the cpu hierarchy's root")
    parser.add_argument("--mode", choices=tuple(MODES), default="ok")
    parser.add_argument("--log", help="append one JSON line per StartTransientUnit call")
    parser.add_argument("--uid", type=int,
                        help="the user a user manager runs for: it then moves only that "
                             "user's processes (default: it moves anyone's)")
    parser.add_argument("--hierarchy", help="the cpu hierarchy (default: from mountinfo)")
    parser.add_argument("--features", default="+SECCOMP +BPF_FRAMEWORK default-hierarchy=unified",
                        help="the manager's Features, as systemctl --version lists them")
    parser.add_argument("--restrict-file-systems", action="store_true",
                        help="every service reads RestrictFileSystems= back as an allow list")
    options = parser.parse_args()
    options.default_slice = "system.slice" if options.bus == "system" else "app.slice"
    return options


def main():
    options = parse_arguments()
    hierarchy = options.hierarchy or cpu_hierarchy()
    if options.mode != "silent" and not hierarchy:
        raise SystemExit("no cpu controller hierarchy")
    folder = tempfile.mkdtemp(prefix="lull-standin-")
    os.chmod(folder, 0o755)
    loop = GLib.MainLoop()
    daemon = None
    connection = None
    groups = Groups(hierarchy or "/", options.tree)
    keep = []
    try:
        if options.mode == "silent":
            address = listen_silently(folder, keep)
        else:
            dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
            daemon, address = start_bus(folder)
            connection = dbus.bus.BusConnection(address)
            keep.append(dbus.service.BusName("org.freedesktop.systemd1", connection,
                                             do_not_queue=True))
            manager = Manager(connection, options, groups)
            keep.extend((manager, CallerUnit(connection, manager)))
        GLib.unix_signal_add(GLib.PRIORITY_HIGH, signal.SIGTERM, loop.quit)
        GLib.unix_signal_add(GLib.PRIORITY_HIGH, signal.SIGINT, loop.quit)

        def on_stdin(fd, condition):
            if condition & (GLib.IO_HUP | GLib.IO_ERR) or not os.read(fd, 4096):
                loop.quit()
                return False
            return True

        GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_IN | GLib.IO_HUP | GLib.IO_ERR, on_stdin)
        print("address=" + address, flush=True)
        loop.run()
    finally:
        # The name goes back and the connection closes while the bus still runs.
        for item in keep:
            if isinstance(item, socket.socket):
                item.close()
            elif isinstance(item, dbus.service.Object):
                item.remove_from_connection()
        keep.clear()
        if connection is not None:
            connection.close()
        if daemon:
            daemon.terminate()
            try:
                daemon.wait(timeout=10)
            except subprocess.TimeoutExpired:
                daemon.kill()
                daemon.wait()
        groups.remove_all()
        for entry in os.listdir(folder):
            os.unlink(os.path.join(folder, entry))
        os.rmdir(folder)


if __name__ == "__main__":
    main()
