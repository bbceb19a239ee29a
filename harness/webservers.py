"""Debian's common web servers serving a patch tree, each as a foreground process of the test's
own with its configuration, pid and logs in a folder of its own: Debian's defaults, with only
the listening address and port and the document root changed (and what each needs to write
nothing outside that folder). A RecordingFront between the launcher and a server notes every
request with its Range header and the server's status."""

import collections
import os
import signal
import socket
import socketserver
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

from .isolation import group_members, own
from .poll import wait_until
from .servers import Nginx as _NginxConfig, Background, accepts, port_free


class WebServer:
    """One server program on host:port serving `root`, in a process group of its own (its
    workers included) registered with own(), ended on leaving the with block."""

    name = package = ""

    def __init__(self, root, host, port, workdir=None):
        self.root = Path(root).resolve()
        self.host, self.port = host, port
        self.dir = Path(workdir or tempfile.mkdtemp(prefix="vt-%s-" % self.package))
        self.dir.mkdir(parents=True, exist_ok=True)
        self.proc = None

    def command(self):
        """The command line; writes what it names (configuration) first."""
        raise NotImplementedError

    def environment(self):
        return dict(os.environ)

    def __enter__(self):
        wait_until(lambda: port_free(self.host, self.port), 60,
                   "%s:%d free for %s" % (self.host, self.port, self.name))
        self.argv = self.command()
        with open(self.dir / "output.log", "wb") as out:
            try:
                self.proc = own(subprocess.Popen(
                    self.argv, cwd=self.dir, env=self.environment(), stdin=subprocess.DEVNULL,
                    stdout=out, stderr=subprocess.STDOUT, start_new_session=True))
            except FileNotFoundError as e:
                raise RuntimeError("%s is not installed (Debian package %s; scripts/common.sh "
                                   "vt_install_packages installs it): %s" % (
                                       self.name, self.package, e)) from e
        try:
            wait_until(lambda: self.proc.poll() is not None or accepts(self.host, self.port),
                       30, "%s listening on %s:%d" % (self.name, self.host, self.port))
            if self.proc.poll() is not None:
                raise RuntimeError("%s did not start (exit %s): %s" % (
                    self.name, self.proc.returncode, self.logs()))
        except BaseException:
            self.__exit__()
            raise
        return self

    def logs(self):
        """The text of every log file in the server's folder."""
        return "\n".join("%s: %s" % (p.name, p.read_text(errors="replace")[-2000:])
                         for p in sorted(self.dir.glob("*.log")))

    def members(self):
        """Ids of the live processes of the server's group."""
        if self.proc is None:
            return []
        return group_members(self.proc.pid)

    def __exit__(self, *exc):
        """TERM to the group, so the server ends its workers itself; KILL after 10 s."""
        if self.proc is None:
            return
        for sig, wait in ((signal.SIGTERM, 10), (signal.SIGKILL, 30)):
            try:
                os.killpg(self.proc.pid, sig)
            except ProcessLookupError:
                pass
            try:
                self.proc.wait(timeout=wait)
            except subprocess.TimeoutExpired:
                continue
            try:
                wait_until(lambda: not self.members(), wait, "%s's workers ended" % self.name)
                return
            except TimeoutError:
                continue


class Nginx(WebServer):
    """nginx from the harness's own minimal configuration, the one the other tests and the
    demo serve with: Debian's nginx.conf pulls in sites-enabled, which listens on port 80 of
    every address."""

    name, package = "nginx", "nginx-light"

    def command(self):
        conf = _NginxConfig(self.root, self.host, self.port, workdir=self.dir)
        return ["nginx", "-c", str(conf.dir / "nginx.conf"), "-p", str(conf.dir)]


class Apache(WebServer):
    """apache2 with Debian's enabled modules (mods-enabled). As root its children run as
    www-data, as Debian's do: the served tree is then opened to others' reading."""

    name, package = "apache2", "apache2"

    def command(self):
        user = ""
        if os.geteuid() == 0:
            user = "User www-data\nGroup www-data\n"
            readable_by_all(self.root)
        (self.dir / "apache2.conf").write_text("""ServerRoot /etc/apache2
DefaultRuntimeDir %(d)s
PidFile %(d)s/apache2.pid
ErrorLog %(d)s/error.log
%(user)sServerName %(host)s
IncludeOptional mods-enabled/*.load
IncludeOptional mods-enabled/*.conf
Listen %(host)s:%(port)d
LogFormat "%%h %%l %%u %%t \\"%%r\\" %%>s %%O \\"%%{Referer}i\\" \\"%%{User-Agent}i\\"" combined
CustomLog %(d)s/access.log combined
DocumentRoot %(root)s
<Directory %(root)s>
    Options Indexes FollowSymLinks
    AllowOverride None
    Require all granted
</Directory>
""" % {"d": self.dir, "user": user, "host": self.host, "port": self.port, "root": self.root})
        return ["apache2", "-f", str(self.dir / "apache2.conf"), "-DFOREGROUND"]

    def environment(self):
        # Debian's module configurations may name these, as its apache2ctl sets them.
        env = dict(os.environ)
        env.update({k: str(self.dir) for k in ("APACHE_RUN_DIR", "APACHE_LOCK_DIR",
                                               "APACHE_LOG_DIR")})
        return env


def readable_by_all(root):
    """Lets other users read `root`'s tree and pass through the folders above it."""
    for folder in root.parents:
        if folder == Path("/"):
            break
        folder.chmod(folder.stat().st_mode & 0o7777 | 0o001)
    root.chmod(0o755)
    for dirpath, dirnames, filenames in os.walk(os.fsencode(root)):
        for d in dirnames:
            os.chmod(os.path.join(dirpath, d), 0o755)
        for f in filenames:
            os.chmod(os.path.join(dirpath, f), 0o644)


class Lighttpd(WebServer):
    """lighttpd with Debian's /etc/lighttpd/lighttpd.conf, less the lines that set the port,
    the document root, files outside its folder, the user, and the extra IPv6 socket on every
    address."""

    name, package = "lighttpd", "lighttpd"
    REPLACED = ("server.port", "server.document-root", "server.errorlog", "server.pid-file",
                "server.upload-dirs", "server.username", "server.groupname")

    def command(self):
        kept = [line for line in Path("/etc/lighttpd/lighttpd.conf").read_text().splitlines()
                if line.split("=")[0].strip() not in self.REPLACED and "use-ipv6" not in line]
        kept += ['server.bind = "%s"' % self.host, "server.port = %d" % self.port,
                 'server.document-root = "%s"' % self.root,
                 'server.errorlog = "%s/error.log"' % self.dir,
                 'server.pid-file = "%s/lighttpd.pid"' % self.dir,
                 'server.upload-dirs = ( "%s" )' % self.dir]
        (self.dir / "lighttpd.conf").write_text("\n".join(kept) + "\n")
        return ["lighttpd", "-D", "-f", str(self.dir / "lighttpd.conf")]


class Caddy(WebServer):
    """Caddy as Debian's Caddyfile has it (root, file_server), the site named http:// so no
    certificate is sought, the admin endpoint (localhost:2019, one per machine) off; its data
    and autosaved configuration in its folder."""

    name, package = "caddy", "caddy"

    def command(self):
        (self.dir / "Caddyfile").write_text("""{
\tadmin off
}
http://:%(port)d {
\tbind %(host)s
\troot * %(root)s
\tfile_server
}
""" % {"host": self.host, "port": self.port, "root": self.root})
        return ["caddy", "run", "--config", str(self.dir / "Caddyfile"), "--adapter", "caddyfile"]

    def environment(self):
        env = dict(os.environ)
        env.update({"XDG_CONFIG_HOME": str(self.dir), "XDG_DATA_HOME": str(self.dir),
                    "HOME": str(self.dir)})
        return env


class BusyBox(WebServer):
    """BusyBox httpd in the foreground; an empty configuration of its own, so no httpd.conf of
    /etc or the home folder counts."""

    name, package = "busybox httpd", "busybox"

    def command(self):
        (self.dir / "httpd.conf").write_bytes(b"")
        return ["busybox", "httpd", "-f", "-v", "-p", "%s:%d" % (self.host, self.port), "-h",
                str(self.root), "-c", str(self.dir / "httpd.conf")]


class PythonHttp(WebServer):
    """Python's http.server module, run by Debian's python3."""

    name, package = "python3 -m http.server", "python3"

    def command(self):
        python = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
        return [python, "-m", "http.server", str(self.port), "--bind", self.host, "--directory",
                str(self.root)]


def free_port(host):
    """A port nothing listens on at host now, for a server behind a front."""
    with socket.socket() as s:
        s.bind((host, 0))
        return s.getsockname()[1]


class _Relay(socketserver.BaseRequestHandler):
    """One client connection relayed to the server over one connection of its own, bytes
    unchanged: requests are read head by head (the launcher sends no bodies) and each answer
    is matched to the oldest request still unanswered."""

    def handle(self):
        front = self.server.front
        client = self.request
        try:
            upstream = socket.create_connection(front.upstream, timeout=120)
        except OSError:
            return
        front.opened(client, upstream)
        pending = collections.deque()
        answers = threading.Thread(target=self.answers, args=(upstream, client, pending),
                                   daemon=True)
        answers.start()
        try:
            reader = client.makefile("rb")
            while True:
                head = _read_head(reader)
                if not head:
                    break
                method, path, _ = head[0].decode("latin-1").split(" ", 2)
                fields = _fields(head)
                entry = front.noted(method, path, fields.get("range"))
                pending.append(entry)
                upstream.sendall(b"".join(head))
            upstream.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        answers.join(timeout=120)
        front.closed(client, upstream)

    def answers(self, upstream, client, pending):
        try:
            reader = upstream.makefile("rb")
            while True:
                head = _read_head(reader)
                if not head:
                    break
                status = int(head[0].split()[1])
                fields = _fields(head)
                entry = pending.popleft() if pending else None
                if entry is not None:
                    entry[3], entry[4] = status, fields.get("content-range")
                client.sendall(b"".join(head))
                if not _relay_body(reader, client, fields, status, entry and entry[0]):
                    break
        except (OSError, ValueError, IndexError):
            pass
        for sock in (client, upstream):
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def _read_head(reader):
    """The lines of one message head (each with its line end, the empty one last); [] at the
    end of the stream."""
    lines = []
    while True:
        line = reader.readline(65536)
        if not line:
            return []
        lines.append(line)
        if line in (b"\r\n", b"\n"):
            return lines


def _fields(head):
    fields = {}
    for line in head[1:-1]:
        name, _, value = line.decode("latin-1").partition(":")
        fields[name.strip().lower()] = value.strip()
    return fields


def _relay_body(reader, client, fields, status, method):
    """Copies one answer's body as its head frames it; False when it ran to the end of the
    connection."""
    if method == "HEAD" or status < 200 or status in (204, 304):
        return True
    if "chunked" in fields.get("transfer-encoding", "").lower():
        while True:
            size_line = reader.readline(65536)
            client.sendall(size_line)
            size = int(size_line.split(b";")[0], 16)
            if size == 0:
                while True:  # trailer fields, then the empty line
                    line = reader.readline(65536)
                    client.sendall(line)
                    if line in (b"\r\n", b"\n", b""):
                        return True
            _copy(reader, client, size + 2)
    if "content-length" in fields:
        _copy(reader, client, int(fields["content-length"]))
        return True
    while True:
        block = reader.read1(65536)
        if not block:
            return False
        client.sendall(block)


def _copy(reader, client, n):
    while n > 0:
        block = reader.read1(min(n, 65536))
        if not block:
            raise OSError("the server closed inside a body")
        client.sendall(block)
        n -= len(block)


class RecordingFront(Background):
    """Listens on host:port and relays every connection to `upstream` (host, port), noting
    each request: answers() gives (method, path, Range header, status, Content-Range)."""

    def __init__(self, host, port, upstream):
        self.upstream = upstream
        self.lock = threading.Lock()
        self.log = []
        self.sockets = set()

        class Server(socketserver.ThreadingTCPServer):
            allow_reuse_address = True
            daemon_threads = True

        self._serve(Server((host, port), _Relay))
        self.httpd.front = self

    def noted(self, method, path, range_header):
        entry = [method, path, range_header, None, None]
        with self.lock:
            self.log.append(entry)
        return entry

    def opened(self, *socks):
        with self.lock:
            self.sockets.update(socks)

    def closed(self, *socks):
        with self.lock:
            self.sockets.difference_update(socks)
        for sock in socks:
            sock.close()

    def answers(self):
        with self.lock:
            return [tuple(entry) for entry in self.log]

    def __exit__(self, *exc):
        super().__exit__(*exc)
        with self.lock:
            socks = list(self.sockets)
        for sock in socks:  # the relays' threads see their connections end and return
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


SERVERS = [Nginx, Apache, Lighttpd, Caddy, BusyBox, PythonHttp]

