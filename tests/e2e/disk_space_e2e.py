"""A patch host that announces more than the disk can hold (a petabyte) for the client vt.exe
and then keeps sending: the launcher refuses the file before writing any of it, tells the
player in a message box ("업그레이드 실패", the room needed and free), and ends once the box is
closed. (The profile is served as it is: a petabyte announced for it is past its own bound of
a megabyte, a failed download before the disk is asked.)

The body is held back until the box shows, so the refusal can only come from the head."""

import http.server
import sys
import threading
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
import harness  # noqa: E402

PETABYTE = 10 ** 15
PROFILE = b"[game]\r\ngame=1\r\nvtgame=0123456789abcdef\r\n"  # a client to fetch


class EndlessBody(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    stop = threading.Event()
    release = threading.Event()  # the body starts once the refusal has been seen
    heads = []

    def log_message(self, *args):
        pass

    def do_GET(self):
        if self.path == "/autopatch/vtgame.ini":
            self.send_response(200)
            self.send_header("Content-Length", str(len(PROFILE)))
            self.end_headers()
            self.wfile.write(PROFILE)
            self.heads.append(self.path)
            return
        self.send_response(200)
        self.send_header("Content-Length", str(PETABYTE))
        self.end_headers()
        self.heads.append(self.path)
        try:
            self.wfile.flush()
            self.release.wait()
            while not self.stop.is_set():
                self.wfile.write(b"\0" * 16384)
                self.wfile.flush()
                self.stop.wait(0.05)  # paces the body; decides nothing
        except OSError:
            pass  # the launcher hung up


def main():
    a = harness.parse_args(__doc__.splitlines()[0])
    checks = harness.Checks()
    app = harness.AppDir(a.build, {"vtgame.ini": "[game]\r\ngame=1\r\n",
                                   "resource/data/SvrList.dat": b""})
    staged = app.path / "temp" / "payload.part"
    httpd = http.server.ThreadingHTTPServer((a.host, a.port), EndlessBody)
    httpd.daemon_threads = True
    httpd.handle_error = lambda request, address: None  # a hang-up is the expected end
    serving = threading.Thread(target=httpd.serve_forever, daemon=True)
    serving.start()
    proc = app.start()
    seen_staged = []
    try:
        def box():
            seen_staged.append(staged.exists())
            return harness.FAILED_CAPTION in harness.message_boxes() or None
        harness.wait_until(box, 120, "the message box while the body is held back")
        checks.check(EndlessBody.heads == ["/autopatch/vtgame.ini", "/autopatch/vt.exe"],
                     "the refusal came from the head alone: %s" % EndlessBody.heads)
        EndlessBody.release.set()
        checks.check(not any(seen_staged) and not staged.exists(),
                     "nothing of the body was written")
        checks.check(proc.poll() is None, "the program waits for the message to be closed")
        wid = harness.wait_window(harness.FAILED_CAPTION, timeout=5)
        harness.screenshot(wid, a.artefacts / "disk_space_refused.png")
        harness.key(wid, "Return")
        checks.check(harness.wait_exit(proc, 20) == 0, "closing the message ends the program")
        checks.check(not staged.exists() and not (app.path / "vt.exe").exists(),
                     "no partial file is left")
    except TimeoutError as e:
        checks.check(False, str(e))
    finally:
        EndlessBody.stop.set()
        EndlessBody.release.set()
        httpd.shutdown()
        httpd.server_close()
    return checks.finish()


if __name__ == "__main__":
    sys.exit(harness.run(main))
