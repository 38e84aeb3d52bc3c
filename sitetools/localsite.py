"""A distribution site on loopback: the web host that serves /meterobj1.txt and
the FTP server that serves z.exe and wkp.zip.

Used by the end-to-end tests, the demo and the benchmark, and by a vendor who
wants to try a site before publishing it. The installer reaches the web host
through the http_proxy setting, so any web host name works locally; the FTP
server listens on port 21 of a 127.x.y.z address, the host of the site
configuration. Needs Debian's python3-pyftpdlib (run with /usr/bin/python3).
"""

import errno
import http.server
import logging
import os
import socket
import struct
import threading
import time
import urllib.parse

from pyftpdlib.authorizers import AuthenticationFailed, DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FileProducer, FTPHandler
from pyftpdlib.servers import FTPServer

# Quiet by default: a handler of our own keeps the server from adding its console log.
logging.getLogger("pyftpdlib").addHandler(logging.NullHandler())
logging.getLogger("pyftpdlib").setLevel(logging.WARNING)


class WebHost:
    """Serves the site configuration at /meterobj1.txt to requests through the proxy.

    `status` and `body` are what /meterobj1.txt answers; every other path is 404.
    `requests` records (host, path, agent) per request. `refuse()` stops listening
    on the port, `resume()` listens on it again.
    """

    def __init__(self, body=b"", address="127.0.0.1", port=0):
        self.body = body
        self.status = 200
        self.address = address
        self.port = port
        self.requests = []
        self._server = None
        self._thread = None

    @property
    def proxy(self):
        return "http://%s:%d" % (self.address, self.port)

    def start(self):
        host = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                target = urllib.parse.urlsplit(self.path)
                host.requests.append((target.hostname or self.headers.get("Host", "").split(":")[0], target.path,
                                      self.headers.get("User-Agent", "")))
                status, body = (host.status, host.body) if target.path == "/meterobj1.txt" else (404, b"not found\n")
                self.send_response(status)
                self.send_header("Content-Type", "text/plain")
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Cache-Control", "no-store")
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        http.server.ThreadingHTTPServer.allow_reuse_address = True
        self._server = http.server.ThreadingHTTPServer((self.address, self.port), Handler)
        self._server.daemon_threads = True
        self.port = self._server.server_address[1]
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.1},
                                        daemon=True)
        self._thread.start()
        return self

    def stop(self):
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
            self._thread.join(timeout=10)
            self._server = None

    refuse = stop
    resume = start


class _BrokenFile:
    """A file that delivers its first bytes and then fails, aborting the transfer."""

    def __init__(self, path):
        self.name = path
        self.closed = False
        with open(path, "rb") as f:
            self._data = f.read()
        self._sent = False

    def read(self, size=-1):
        if self._sent:
            raise OSError(errno.EIO, "transfer broken by the test site")
        self._sent = True
        return self._data[: max(1, min(len(self._data) // 2, size if size > 0 else len(self._data)))]

    def close(self):
        self.closed = True


class _ServedBytes:
    """Bytes served in place of a file's contents."""

    def __init__(self, path, data):
        self.name = path
        self.closed = False
        self._data = data
        self._offset = 0

    def read(self, size=-1):
        size = len(self._data) - self._offset if size < 0 else size
        chunk = self._data[self._offset:self._offset + size]
        self._offset += len(chunk)
        return chunk

    def close(self):
        self.closed = True


class _CutFile:
    """A file served from `offset` that ends after `limit` bytes, as if the line
    dropped there; `reset` says how (see _FlakyDTPHandler), None for no drop.
    `stalls` are (bytes, seconds): the line goes quiet for that long once that
    many bytes are out. The whole test site waits then, as a stalled line would."""

    def __init__(self, path, offset, limit, reset, stalls=()):
        self.name = path
        self.closed = False
        self.reset = reset
        self._file = open(path, "rb")
        self._file.seek(offset)
        self._left = limit
        self._sent = 0
        self._stalls = sorted(stalls)

    def read(self, size=-1):
        size = min(self._left, size if size > 0 else self._left)
        while self._stalls and self._sent >= self._stalls[0][0]:
            time.sleep(self._stalls.pop(0)[1])
        if self._stalls:
            size = min(size, self._stalls[0][0] - self._sent)
        chunk = self._file.read(size)
        self._left -= len(chunk)
        self._sent += len(chunk)
        return chunk

    def close(self):
        self._file.close()
        self.closed = True


class _FlakyDTPHandler(DTPHandler):
    """Ends a cut file's transfer once its bytes are out: by a reset (the client's
    read fails), or by a clean close answered 426, which only the reply tells
    from a complete transfer. A reset waits a moment first, so that the client
    has read what was sent (a reset drops what it has not read yet)."""

    RESET_DELAY = 0.3

    def handle_close(self):
        cut = getattr(self.file_obj, "reset", None)
        if cut is None or self._closed:
            return super().handle_close()
        if cut and not getattr(self, "_reset_pending", False):
            self._reset_pending = True
            self.call_later(self.RESET_DELAY, self._drop, True)
        elif not cut:
            self._drop(False)

    def _drop(self, reset):
        if self._closed:
            return
        if reset:
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.transfer_finished = False
        self._resp = ("426 Connection closed; transfer aborted.", logging.debug)
        self.close()


class FtpSite:
    """An FTP server on port 21 of `host` with one account, whose login directory
    (a folder below `root`) holds the package files.

    Knobs, each counting the times it applies (-1 for always): `reject_logins`,
    `missing[name]` (RETR answers 550), `broken[name]` (the transfer aborts
    halfway), `tampered[name] = [data, count]` (the transfer delivers `data`
    instead, as a tampered site or network would) and `cuts[name] = [bytes,
    count, mode]` (a flaky line: the data connection drops after `bytes` of a
    transfer, mode "reset" or "close", the latter answered 426) and
    `stalls[name] = [[bytes, seconds], ...]` (the next transfer pauses at those
    points, so that a client shows what it shows while it waits). `commands`
    records (session, command, argument), `closed` the sessions that ended and
    `retrievals` each RETR as (name, restart offset, bytes sent, completed).
    """

    def __init__(self, host, root, user, password, login_directory="/", port=21):
        self.host = host
        self.port = port
        self.root = root
        self.user = user
        self.password = password
        self.login_directory = login_directory
        self.reject_logins = 0
        self.missing = {}
        self.broken = {}
        self.tampered = {}
        self.cuts = {}
        self.stalls = {}
        self.commands = []
        self.retrievals = []
        self.closed = []
        self._sessions = 0
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = None
        self._server = None

    def files_dir(self):
        return os.path.join(self.root, self.login_directory.strip("/"))

    @staticmethod
    def _take(counts, key):
        left = counts.get(key, 0)
        if left == 0:
            return False
        if left > 0:
            counts[key] = left - 1
        return True

    def _take_cut(self, name):
        bytes_, left, mode = self.cuts[name]
        if left == 0:
            return False
        if left > 0:
            self.cuts[name] = [bytes_, left - 1, mode]
        return True

    def served(self, name):
        """Bytes sent for `name` over all its transfers."""
        with self._lock:
            return sum(sent for served, _, sent, _ in self.retrievals if served == name)

    def start(self):
        site = self
        os.makedirs(self.files_dir(), exist_ok=True)

        class Authorizer(DummyAuthorizer):
            def validate_authentication(self, username, password, handler):
                with site._lock:
                    if site.reject_logins != 0:
                        if site.reject_logins > 0:
                            site.reject_logins -= 1
                        raise AuthenticationFailed("Login rejected by the test site.")
                super().validate_authentication(username, password, handler)

        authorizer = Authorizer()
        authorizer.add_user(self.user, self.password, self.root, perm="elr")

        class Handler(FTPHandler):
            def on_connect(self):
                with site._lock:
                    site._sessions += 1
                    self.session = site._sessions

            def on_disconnect(self):
                with site._lock:
                    site.closed.append(getattr(self, "session", 0))

            def on_login(self, username):
                if site.login_directory != "/":
                    self.fs.cwd = site.login_directory

            def pre_process_command(self, line, cmd, arg):
                with site._lock:
                    site.commands.append((getattr(self, "session", 0), cmd, arg if cmd != "PASS" else "****"))
                super().pre_process_command(line, cmd, arg)

            def log_transfer(self, cmd, filename, receive, completed, elapsed, bytes):
                if cmd == "RETR":
                    with site._lock:
                        site.retrievals.append((os.path.basename(filename), self._served_from, bytes, completed))

            def ftp_RETR(self, file):
                name = os.path.basename(file)
                self._served_from = self._restart_position
                rest = os.path.getsize(file) - self._restart_position if os.path.isfile(file) else 0
                with site._lock:
                    cut = site.cuts.get(name)
                    cut = cut if cut is not None and cut[0] < rest and site._take_cut(name) else None
                    stalls = site.stalls.pop(name, ()) if rest > 0 else ()
                if cut is not None or stalls:
                    reset = None if cut is None else cut[2] == "reset"
                    fd = _CutFile(file, self._restart_position, rest if cut is None else cut[0], reset, stalls)
                    self._restart_position = 0
                    self.push_dtp_data(FileProducer(fd, self._current_type), isproducer=True, file=fd, cmd="RETR")
                    return file
                with site._lock:
                    missing = site._take(site.missing, name)
                    broken = not missing and site._take(site.broken, name)
                    data, left = site.tampered.get(name, (None, 0))
                    tampered = not missing and not broken and left != 0
                    if tampered and left > 0:
                        site.tampered[name] = [data, left - 1]
                if missing:
                    self.respond("550 No such file or directory.")
                    return None
                if broken or tampered:
                    fd = _BrokenFile(file) if broken else _ServedBytes(file, data)
                    self.push_dtp_data(FileProducer(fd, self._current_type), isproducer=True, file=fd, cmd="RETR")
                    return file
                return super().ftp_RETR(file)

        Handler.authorizer = authorizer
        Handler.dtp_handler = _FlakyDTPHandler
        Handler.banner = "Tallywise test site ready."
        Handler.passive_ports = None
        self._server = FTPServer((self.host, self.port), Handler)
        self._stop.clear()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()
        return self

    def _serve(self):
        try:
            while not self._stop.is_set():
                self._server.ioloop.loop(0.1, False)
        finally:
            self._server.close_all()

    def stop(self):
        if self._thread is not None:
            self._stop.set()
            self._thread.join(timeout=10)
            self._thread = None

    def wait_closed(self, sessions, timeout=10):
        """Waits (bounded) until `sessions` sessions have ended; returns whether they did."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self._lock:
                if len(self.closed) >= sessions:
                    return True
            time.sleep(0.05)
        return False

    def session_commands(self):
        """The commands per session: {session: [(command, argument), ...]}."""
        sessions = {}
        with self._lock:
            for session, cmd, arg in self.commands:
                sessions.setdefault(session, []).append((cmd, arg))
        return sessions
