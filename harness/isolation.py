"""One end-to-end test, kept apart from the next: a display of its own, a temporary folder of
its own, and every process it started ended on every path out of it, exceptions included.

Processes are found by a mark in their environment, which every child inherits: the launcher,
what it starts (the stand-in, an elevated restart), Wine helpers. A server that rewrites its
environment for its process title (nginx) is registered instead (own()) and its process group
ended. Ids are read from /proc, so nothing is killed by name and another test's processes are
never touched."""

import contextlib
import os
import shutil
import signal
import subprocess
import tempfile
import traceback
import uuid
from pathlib import Path

from .poll import wait_until

MARK = "VT_E2E_RUN"
# The prefix's server is shared by the tests of a run and holds nothing of one test.
_SPARED = {"wineserver", "wineserver64"}


def _environ(pid):
    try:
        return Path("/proc/%d/environ" % pid).read_bytes()
    except OSError:  # gone, or a zombie
        return b""


def _comm(pid):
    try:
        return Path("/proc/%d/comm" % pid).read_text().strip()
    except OSError:
        return ""


def _stat(pid):
    """The fields of /proc/<pid>/stat after the name (state first), or [] when it is gone."""
    try:
        return Path("/proc/%d/stat" % pid).read_text().rpartition(")")[2].split()
    except OSError:
        return []


def _alive(pid):
    """Neither gone nor a zombie: a zombie holds no handle, window or port any more."""
    fields = _stat(pid)
    return bool(fields) and fields[0] != "Z"


def _pids():
    return [int(e) for e in os.listdir("/proc") if e.isdigit() and int(e) != os.getpid()]


def _pgid(pid):
    fields = _stat(pid)
    return int(fields[2]) if len(fields) > 2 else None


def group_members(pgid):
    """Ids of the live processes of process group `pgid`."""
    return [pid for pid in _pids() if _pgid(pid) == pgid and _alive(pid)]


def _mark(pid):
    """The mark in the process's environment, or None."""
    needle = b"\0%s=" % MARK.encode()
    env = b"\0" + _environ(pid)
    at = env.find(needle)
    if at < 0:
        return None
    return env[at + len(needle):].split(b"\0", 1)[0].decode(errors="replace")


def _reap():
    """Our own children stay zombies until reaped."""
    with contextlib.suppress(ChildProcessError):
        while os.waitpid(-1, os.WNOHANG)[0]:
            pass


def end_process(proc):
    """Ends a process this one started: TERM, then KILL after 10 s; waits for it."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=10)


def end_launchers():
    """Ends the launchers this test started, those their parents started (a launcher that
    hands over to a newer one) included."""
    tag = os.environ[MARK]

    def ours():
        return [pid for pid in marked(tag) if b"vtlauncher" in _cmdline(pid)]

    def gone():
        for pid in ours():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        return not ours()
    wait_until(gone, 30, "the launchers ended")


def _cmdline(pid):
    try:
        return Path("/proc/%d/cmdline" % pid).read_bytes()
    except OSError:
        return b""


def marked(tag, spare=()):
    """Ids of the live processes that carry `tag`, this one and `spare` excepted."""
    return [pid for pid in _pids()
            if pid not in spare and _mark(pid) == tag and _comm(pid) not in _SPARED]


def _orphans():
    """Marks of runs whose test process is gone (killed past its finally, say by a time-out):
    a mark starts with the id of the test process that made it."""
    found = set()
    for pid in _pids():
        tag = _mark(pid)
        owner = tag.split("-", 1)[0] if tag else ""
        if owner.isdigit() and not _alive(int(owner)):
            found.add(tag)
    return found


def end_marked(tag, timeout=30, spare=()):
    """Kills every process carrying `tag` but `spare` until none is left; returns [(id, name)]
    of those it killed."""
    killed, names = [], {}

    def gone():
        left = marked(tag, spare)
        for pid in left:
            if pid not in killed:
                killed.append(pid)
                names[pid] = _comm(pid)
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)
        _reap()
        return not left and not [p for p in killed if _alive(p)]

    wait_until(gone, timeout, "the processes of test run %s ended" % tag,
               detail=lambda: "left: %s" % [(p, _comm(p)) for p in marked(tag)], step=0.1)
    return [(pid, names.get(pid, "")) for pid in killed]


class _Display:
    """Xvfb on a display number it picks itself (-displayfd), so two runs never collide;
    the number is known once the server accepts connections."""

    def __init__(self, tag):
        read, write = os.pipe()
        try:
            self.proc = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten",
                 "tcp"], pass_fds=(write,), stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL, start_new_session=True,
                env=dict(os.environ, **{MARK: tag}))  # marked: a killed run's is found
        finally:
            os.close(write)
        try:
            with os.fdopen(read, "rb") as pipe:
                number = pipe.readline().strip()
            if not number:
                raise RuntimeError("Xvfb did not start (exit %s)" % self.proc.poll())
            self.name = ":" + number.decode()
        except BaseException:
            self.close()
            raise

    def close(self):
        end_process(self.proc)


class Isolation:
    """What isolated() yields: the run's mark, its display and its folder."""

    def __init__(self, tag, display, folder):
        self.tag, self.display, self.folder = tag, display, folder
        self.groups = []  # process groups registered with own()
        self.killed = []  # ids of the processes ended on the way out
        self.names = []  # and their names


_active = []  # the isolated() blocks entered and not yet left, innermost last


def own(proc):
    """Registers a process started with start_new_session=True: its whole group is ended with
    the innermost isolated() block. Outside any block it is left to its caller."""
    if _active:
        _active[-1].groups.append(proc.pid)
    return proc


def _end_groups(groups):
    """SIGKILL to each group, then waits until none of its members is alive."""
    ended = []
    for pgid in groups:
        members = [pid for pid in _pids() if _pgid(pid) == pgid]
        ended += [(pid, _comm(pid)) for pid in members]
        with contextlib.suppress(ProcessLookupError):
            os.killpg(pgid, signal.SIGKILL)

    def gone():
        _reap()
        return not [pid for pid, _ in ended if _alive(pid)]

    wait_until(gone, 30, "process groups %s ended" % groups)
    return ended


@contextlib.contextmanager
def isolated(keep=None):
    """For a with block around a test's body: a fresh X display, a temporary folder that
    Python's tempfile uses meanwhile (removed at the end unless `keep()` says otherwise, e.g. after a
    failed check), and on the way out, however it is left, every process started inside is
    ended and os.environ restored."""
    if not _active:
        for orphan in _orphans():
            left = end_marked(orphan)
            print("ended what a killed test run left: %s" % [n for _, n in left], flush=True)
    tag = "%d-%s" % (os.getpid(), uuid.uuid4().hex)
    folder = Path(tempfile.mkdtemp(prefix="vt-e2e-run-"))
    saved_env = {k: os.environ.get(k) for k in (MARK, "DISPLAY")}
    saved_tempdir = tempfile.tempdir
    display = _Display(tag)
    run = Isolation(tag, display.name, folder)
    # Not TMPDIR: Wine keys its server's socket on it, and a second server on one prefix
    # would corrupt its registry.
    os.environ.update({MARK: tag, "DISPLAY": display.name})
    tempfile.tempdir = str(folder)
    _active.append(run)
    try:
        yield run
    finally:
        try:
            _active.remove(run)
            # The display goes last: Wine processes that lose theirs crash into a debugger.
            ended = _end_groups(run.groups) + end_marked(tag, spare=(display.proc.pid,))
            run.killed = [pid for pid, _ in ended]
            run.names = [name for _, name in ended]
        finally:
            display.close()
            tempfile.tempdir = saved_tempdir
            for k, v in saved_env.items():
                if v is None:
                    os.environ.pop(k, None)
                else:
                    os.environ[k] = v
            if keep is None or not keep():
                shutil.rmtree(folder, ignore_errors=True)
            else:
                print("kept for review: %s" % folder, flush=True)


def run(main):
    """The exit status of a test script's main(), run isolated: an exception fails the test
    with its trace instead of leaving processes behind, and the run's folder is kept for
    review when the test failed."""
    failed = [True]
    with isolated(keep=lambda: failed[0]) as run_:
        print("display %s, folder %s" % (run_.display, run_.folder), flush=True)
        try:
            status = main()
        except Exception:  # the test fails; isolated() still ends what it started
            traceback.print_exc()
            status = 1
        failed[0] = status != 0
    if run_.killed:
        print("ended at the test's end: %s" % ", ".join(run_.names), flush=True)
    return status


@contextlib.contextmanager
def case(checks, what):
    """One case of a test with several: isolated as a whole test is, and a TimeoutError inside
    fails it as a check named `what`, so the cases after it still run."""
    try:
        with isolated():
            yield
    except TimeoutError as e:
        checks.check(False, "[%s] %s" % (what, e))
