"""How the pool is sized: decimal parsing, the environment rules, cgroup v1/v2 quotas and affinity.

The probing is native code out of Python's reach, so tests/native/cpu_limit_driver.cpp is compiled
with src/parallel/cpu_limit.cpp and run on fixture trees: mountinfo text naming mount points under
tmp_path, and the cpu.max / cpu.cfs_* files below them.
"""

import ctypes
import functools
import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DRIVER_SOURCES = (ROOT / "tests" / "native" / "cpu_limit_driver.cpp", ROOT / "src" / "parallel" / "cpu_limit.cpp")
POOL_VARIABLES = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")
MAX_WORKERS = 65535
SIZE_MAX = 2 ** (8 * ctypes.sizeof(ctypes.c_size_t)) - 1
PERIOD = "100000"  # the usual CFS period, in microseconds
TIMEOUT = 60  # seconds for one driver run


def find_compiler():
    for name in (os.environ.get("CXX"), "g++", "c++", "clang++"):
        if name and shutil.which(name):
            return shutil.which(name)
    return None


@pytest.fixture(scope="module")
def driver(tmp_path_factory):
    compiler = find_compiler()
    if compiler is None:
        pytest.skip("no C++ compiler found (tried $CXX, g++, c++, clang++) to build the native driver")
    exe = tmp_path_factory.mktemp("native") / "cpu_limit_driver"
    subprocess.run([compiler, "-std=c++20", "-Wall", "-Wextra", "-Werror", "-I", str(ROOT / "src"),
                    *map(str, DRIVER_SOURCES), "-o", str(exe)], check=True, timeout=300)
    return exe


def run(driver, *args, env=None, preexec_fn=None):
    """The driver's one line of output for args."""
    done = subprocess.run([str(driver), *map(str, args)], capture_output=True, text=True, env=env,
                          preexec_fn=preexec_fn, timeout=TIMEOUT)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def as_limit(text):
    return None if text == "none" else int(text)


# ---- parse_decimal ----

@pytest.mark.parametrize(("text", "value"), [
    ("0", 0), ("7", 7), ("007", 7), ("150000", 150000), (str(SIZE_MAX), SIZE_MAX),
    (str(SIZE_MAX + 1), None), (str(SIZE_MAX) + "0", None), ("9" * 40, None),
    ("", None), ("-1", None), ("+3", None), (" 3", None), ("3 ", None), ("3\n", None), ("1e3", None),
    ("0x10", None), ("max", None), ("1_000", None),
])
def test_parse_decimal(driver, text, value):
    assert as_limit(run(driver, "parse", text)) == value


# ---- resolve_worker_count: the environment variables ----

@pytest.mark.parametrize(("threads", "cpus", "available", "workers", "asked"), [
    # a positive RAYON_NUM_THREADS wins and never asks for the processor count
    ("3", None, 8, 3, False), ("3", "5", 8, 3, False), ("1", "4", 8, 1, False), ("12", None, 2, 12, False),
    # an explicit zero means one per processor, even when RAYON_RS_NUM_CPUS is set
    ("0", "5", 8, 8, True), ("000", None, 3, 3, True),
    # anything but a decimal is ignored, falling through to RAYON_RS_NUM_CPUS
    (None, "5", 8, 5, False), ("abc", "5", 8, 5, False), ("", "5", 8, 5, False), ("-2", "5", 8, 5, False),
    (" 4", "5", 8, 5, False), ("9" * 30, "4", 8, 4, False),
    # then the processor count
    (None, None, 6, 6, True), (None, "0", 6, 6, True), ("x", "y", 6, 6, True), ("2x", "-1", 6, 6, True),
    # always within [1, MAX_WORKERS]
    (str(MAX_WORKERS + 1), None, 8, MAX_WORKERS, False), (None, "70000", 8, MAX_WORKERS, False),
    (None, None, 100000, MAX_WORKERS, True), (None, None, 0, 1, True), ("0", None, 0, 1, True),
])
def test_resolve_worker_count(driver, threads, cpus, available, workers, asked):
    env = {k: v for k, v in os.environ.items() if k not in POOL_VARIABLES}
    env.update({k: v for k, v in zip(POOL_VARIABLES, (threads, cpus)) if v is not None})
    assert run(driver, "resolve", available, env=env) == f"{workers} {'asked' if asked else 'not-asked'}"


# ---- cgroup_cpu_limit: fixture trees ----

def escape(path):
    """A path as mountinfo writes it: space, tab, newline and backslash as octal escapes."""
    return "".join(f"\\{ord(c):03o}" if c in " \t\n\\" else c for c in str(path))


def mount_line(mount_point, fstype="cgroup2", options="rw,nosuid,nodev,noexec", root="/",
               optional=("shared:9",)):
    source = "cgroup2" if fstype == "cgroup2" else "cgroup"
    return " ".join(["41", "31", "0:38", escape(root), escape(mount_point), "rw,relatime", *optional,
                     "-", fstype, source, options])


def cpu_max(directory, text):
    directory.mkdir(parents=True, exist_ok=True)
    (directory / "cpu.max").write_text(text + "\n")


def cfs(directory, quota, period=PERIOD):
    directory.mkdir(parents=True, exist_ok=True)
    (directory / "cpu.cfs_quota_us").write_text(quota + "\n")
    if period is not None:
        (directory / "cpu.cfs_period_us").write_text(period + "\n")


def limit(driver, tmp_path, mounts, cgroups):
    """cgroup_cpu_limit() for the given mountinfo lines and /proc/self/cgroup lines."""
    (tmp_path / "mountinfo").write_text("".join(line + "\n" for line in mounts))
    (tmp_path / "cgroup").write_text("".join(line + "\n" for line in cgroups))
    return as_limit(run(driver, "cgroup", tmp_path / "mountinfo", tmp_path / "cgroup"))


def under(base, relative):
    return base / relative if relative else base


@pytest.mark.parametrize(("files", "cgroup", "expected"), [
    pytest.param({"app": "max 100000"}, "/app", None, id="max-is-no-limit"),
    pytest.param({"": "max 100000", "app": "max 100000"}, "/app", None, id="max-everywhere"),
    pytest.param({"app": "150000 100000"}, "/app", 2, id="1.5-rounds-up"),
    pytest.param({"app": "200000 100000"}, "/app", 2, id="exact"),
    pytest.param({"app": "50000 100000"}, "/app", 1, id="half-rounds-up-to-1"),
    pytest.param({"app": "100001 100000"}, "/app", 2, id="just-over-one"),
    pytest.param({"app": "600000 200000"}, "/app", 3, id="other-period"),
    pytest.param({"outer": "100000 100000", "outer/inner": "400000 100000"}, "/outer/inner", 1,
                 id="ancestor-smaller"),
    pytest.param({"outer": "400000 100000", "outer/inner": "100000 100000"}, "/outer/inner", 1,
                 id="leaf-smaller"),
    pytest.param({"a": "500000 100000", "a/b": "200000 100000", "a/b/c": "300000 100000",
                  "a/b/c/d": "max 100000"}, "/a/b/c/d", 2, id="middle-smallest"),
    pytest.param({"": "200000 100000", "a/b": "800000 100000"}, "/a/b", 2, id="mount-point-counts"),
    pytest.param({"sibling": "100000 100000", "app": "300000 100000"}, "/app", 3, id="sibling-ignored"),
    pytest.param({"app/child": "100000 100000", "app": "300000 100000"}, "/app", 3, id="child-ignored"),
    pytest.param({"": "300000 100000"}, "/", 3, id="root-cgroup"),
    pytest.param({"app": "0 100000"}, "/app", None, id="zero-quota"),
    pytest.param({"app": "100000 0"}, "/app", None, id="zero-period"),
    pytest.param({"app": "100000"}, "/app", None, id="no-period"),
    pytest.param({"app": "lots 100000"}, "/app", None, id="garbage"),
    pytest.param({}, "/app", None, id="no-files"),
])
def test_cgroup_v2(driver, tmp_path, files, cgroup, expected):
    mount = tmp_path / "unified"
    mount.mkdir()
    for relative, text in files.items():
        cpu_max(under(mount, relative), text)
    assert limit(driver, tmp_path, [mount_line(mount)], [f"0::{cgroup}"]) == expected


@pytest.mark.parametrize(("files", "cgroup", "expected"), [
    pytest.param({"app": ("-1", PERIOD)}, "/app", None, id="minus-one-is-no-limit"),
    pytest.param({"app": ("150000", PERIOD)}, "/app", 2, id="1.5-rounds-up"),
    pytest.param({"app": ("50000", PERIOD)}, "/app", 1, id="half-rounds-up-to-1"),
    pytest.param({"app": ("400000", PERIOD)}, "/app", 4, id="exact"),
    pytest.param({"docker": ("100000", PERIOD), "docker/ctr": ("-1", PERIOD)}, "/docker/ctr", 1,
                 id="only-ancestor-limited"),
    pytest.param({"docker": ("-1", PERIOD), "docker/ctr": ("250000", PERIOD)}, "/docker/ctr", 3,
                 id="only-leaf-limited"),
    pytest.param({"docker": ("200000", PERIOD), "docker/ctr": ("400000", PERIOD)}, "/docker/ctr", 2,
                 id="ancestor-smaller"),
    pytest.param({"docker": ("400000", PERIOD), "docker/ctr": ("200000", PERIOD)}, "/docker/ctr", 2,
                 id="leaf-smaller"),
    pytest.param({"app": ("150000", None)}, "/app", None, id="no-period-file"),
    pytest.param({"app": ("150000", "0")}, "/app", None, id="zero-period"),
])
def test_cgroup_v1(driver, tmp_path, files, cgroup, expected):
    mount = tmp_path / "cpu,cpuacct"
    mount.mkdir()
    for relative, (quota, period) in files.items():
        cfs(under(mount, relative), quota, period)
    mounts = [mount_line(mount, "cgroup", "rw,cpu,cpuacct")]
    cgroups = ["12:pids:/elsewhere", f"4:cpu,cpuacct:{cgroup}", "0::/"]
    assert limit(driver, tmp_path, mounts, cgroups) == expected


@pytest.mark.parametrize(("v2", "v1", "expected"), [
    ("300000 100000", "200000", 2), ("100000 100000", "300000", 1), ("max 100000", "200000", 2),
    ("200000 100000", "-1", 2), ("max 100000", "-1", None),
])
def test_smaller_of_v1_and_v2(driver, tmp_path, v2, v1, expected):
    unified, cpu = tmp_path / "unified", tmp_path / "cpu"
    cpu_max(unified / "app", v2)
    cfs(cpu / "app", v1)
    mounts = [mount_line(cpu, "cgroup", "rw,cpu"), mount_line(unified)]
    assert limit(driver, tmp_path, mounts, ["3:cpu:/app", "0::/app"]) == expected


def test_cpu_controller_matched_exactly(driver, tmp_path):
    # cpuset and cpuacct hierarchies hold quota-looking files; only the "cpu" one may be read, and the
    # cgroup line of "cpuset" must not stand for "cpu".
    cpuset, cpuacct, cpu = tmp_path / "cpuset", tmp_path / "cpuacct", tmp_path / "cpu"
    cfs(cpuset / "limited", "100000")
    cfs(cpuacct / "limited", "100000")
    cfs(cpu / "limited", "300000")
    mounts = [mount_line(cpuset, "cgroup", "rw,cpuset"), mount_line(cpuacct, "cgroup", "rw,cpuacct"),
              mount_line(cpu, "cgroup", "rw,cpu")]
    cgroups = ["2:cpuacct:/limited", "1:cpu:/limited", "3:cpuset:/free"]
    assert limit(driver, tmp_path, mounts, cgroups) == 3
    assert limit(driver, tmp_path, mounts[:2], cgroups) is None


@pytest.mark.parametrize(("root", "cgroup", "expected"), [
    pytest.param("/kubepods/pod1", "/kubepods/pod1/ctr", 1, id="below-root"),
    pytest.param("/kubepods/pod1", "/kubepods/pod1", 3, id="at-root"),
    # outside the mounted subtree only the mount point's own limit is visible
    pytest.param("/kubepods/pod1", "/elsewhere/ctr", 3, id="outside-root"),
    pytest.param("/kubepods/pod1", "/kubepods/pod12/ctr", 3, id="root-prefix-is-not-parent"),
    pytest.param("/", "/../escape", 3, id="dot-dot-stays-in-mount"),
])
def test_mount_root(driver, tmp_path, root, cgroup, expected):
    mount = tmp_path / "mnt"
    cpu_max(mount, "300000 100000")
    cpu_max(mount / "ctr", "100000 100000")
    cpu_max(tmp_path / "mnt2" / "ctr", "100000 100000")
    cpu_max(mount / "elsewhere" / "ctr", "100000 100000")
    cpu_max(tmp_path / "escape", "100000 100000")
    assert limit(driver, tmp_path, [mount_line(mount, root=root)], [f"0::{cgroup}"]) == expected


@pytest.mark.parametrize("name", ["cg root", "tab\there", "back\\slash", "new\nline"])
def test_escaped_mount_point(driver, tmp_path, name):
    mount = tmp_path / name
    cpu_max(mount / "app", "200000 100000")
    assert limit(driver, tmp_path, [mount_line(mount)], ["0::/app"]) == 2


def test_escaped_mount_root(driver, tmp_path):
    mount = tmp_path / "mnt"
    cpu_max(mount / "ctr", "100000 100000")
    mounts = [mount_line(mount, root="/pod with space")]
    assert limit(driver, tmp_path, mounts, ["0::/pod with space/ctr"]) == 1


def test_malformed_lines_skipped(driver, tmp_path):
    decoy, real = tmp_path / "decoy", tmp_path / "real"
    cpu_max(decoy / "app", "100000 100000")
    cpu_max(real / "app", "300000 100000")
    mounts = [
        "",
        "garbage",
        f"41 31 0:38 / {decoy} - cgroup2 cgroup2 rw",  # a fixed field missing before the separator
        f"41 31 0:38 / {decoy} rw,relatime - cgroup2 cgroup2",  # no super options
        f"41 31 0:38 / {decoy} rw,relatime shared:1 cgroup2 cgroup2 rw",  # no separator
        mount_line(tmp_path / "proc", "proc", "rw"),
        mount_line(real, optional=("shared:4", "master:1", "propagate_from:2")),
        mount_line(decoy),  # a later mount of the same hierarchy
    ]
    cgroups = ["", "nonsense", "7:", "0::/app"]
    assert limit(driver, tmp_path, mounts, cgroups) == 3


@pytest.mark.parametrize(("mounts", "cgroups"), [
    pytest.param(["proc"], ["0::/app"], id="no-cgroup-mount"),
    pytest.param(["cgroup2"], [], id="no-cgroup-line"),
])
def test_no_limit(driver, tmp_path, mounts, cgroups):
    mount = tmp_path / "unified"
    cpu_max(mount / "app", "100000 100000")
    lines = [mount_line(mount, fstype) for fstype in mounts]
    assert limit(driver, tmp_path, lines, cgroups) is None


# ---- affinity and the processors available ----

def cpu_masks():
    allowed = sorted(os.sched_getaffinity(0))
    masks = {"all": allowed, "first": allowed[:1], "last": allowed[-1:], "first-two": allowed[:2],
             "all-but-first": allowed[1:]}
    return [pytest.param(set(mask), id=name) for name, mask in masks.items() if mask]


@pytest.mark.parametrize("mask", cpu_masks())
def test_affinity(driver, mask):
    pin = functools.partial(os.sched_setaffinity, 0, mask)
    assert int(run(driver, "affinity", preexec_fn=pin)) == len(mask)
    quota = as_limit(run(driver, "cgroup", "/proc/self/mountinfo", "/proc/self/cgroup"))
    expected = len(mask) if quota is None else min(len(mask), quota)
    assert int(run(driver, "available", preexec_fn=pin)) == expected
