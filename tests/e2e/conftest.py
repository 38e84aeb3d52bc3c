"""End-to-end harness: the real tallywise-install.exe under Wine, its console on
pipes, drive letters mapped to temporary folders, and a distribution site on
loopback (see sitetools/localsite.py)."""

import fcntl
import itertools
import os
import pathlib
import pty
import select
import struct
import subprocess
import sys
import termios
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "sitetools"))
sys.path.insert(0, str(ROOT / "tools"))

from localsite import FtpSite, WebHost  # noqa: E402
from winelab import Wine, read_link, write_application, write_package  # noqa: E402,F401

# Account values use only characters that every accepted site key can carry.
FTP_USER = "tally-test"
FTP_PASSWORD = "Pass-42.word"
_addresses = itertools.count(1)


def pytest_addoption(parser):
    parser.addoption("--build", default=str(ROOT / "build"), help="the CMake build folder")
    parser.addoption("--signed-build", default=str(ROOT / "build-signed"),
                     help="the build folder of the configuration that carries the test package keys")


def crlf(text):
    """A message as it reaches a pipe from the installer's text-mode console."""
    return text.replace("\n", "\r\n").encode("latin-1")


@pytest.fixture(scope="session")
def wine(pytestconfig):
    w = Wine(pytestconfig.getoption("--build"))
    started = not (w.prefix / "system.reg").exists()
    if started:
        w.session("start")
    yield w
    if started:
        w.session("stop")


@pytest.fixture(scope="session")
def signed_wine(pytestconfig, wine):
    """The signed build's programs, run in the same Wine prefix."""
    build = pathlib.Path(pytestconfig.getoption("--signed-build"))
    if not (build / "site_values.json").exists():
        pytest.skip("no signed build at %s (tools/test.sh makes one)" % build)
    w = Wine(build, prefix_dir=wine.home)
    assert w.site["package_keys"], "the signed build carries no package keys"
    return w


class InstallerRun:
    """One run of the installer with its console on pipes; every wait is bounded."""

    def __init__(self, wine, env):
        self.proc = subprocess.Popen(["wine", str(wine.installer)], env=env, cwd=str(wine.prefix / "drive_c"),
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.output = b""
        self.started = time.monotonic()
        self.arrivals = []  # (seconds since start, bytes) as they came

    def __repr__(self):
        # A failed assertion on a run shows what the installer printed.
        return "<installer run, output so far: %r>" % self.output[-3000:]

    def _read(self, deadline):
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        ready, _, _ = select.select([self.proc.stdout], [], [], left)
        if not ready:
            return False
        chunk = os.read(self.proc.stdout.fileno(), 65536)
        if not chunk:
            return None
        self.arrivals.append((time.monotonic() - self.started, chunk))
        self.output += chunk
        return True

    def read_until(self, text, timeout=60):
        """Reads until `text` has arrived (after what was read so far); returns the time it took."""
        begin = time.monotonic()
        deadline = begin + timeout
        while text not in self.output:
            if not self._read(deadline):
                raise AssertionError("waited %ds for %r; got %r" % (timeout, text, self.output))
        return time.monotonic() - begin

    def read_for(self, seconds):
        """Reads whatever arrives within `seconds`."""
        deadline = time.monotonic() + seconds
        while self._read(deadline):
            pass

    def send(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def finish(self, timeout=120):
        """Closes input, reads to the end and returns the exit status."""
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        deadline = time.monotonic() + timeout
        while True:
            result = self._read(deadline)
            if result is None:
                break
            if result is False:
                self.kill()
                raise AssertionError("installer did not finish within %ds; output %r" % (timeout, self.output))
        return self.proc.wait(timeout=max(1, deadline - time.monotonic()))

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)


class ConsoleRun:
    """One run of a program at a terminal: on a pseudo-terminal Wine gives it a
    real console, and pyte renders what the terminal would show."""

    def __init__(self, command, env, cwd, columns=200, lines=60):
        import pyte

        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", lines, columns, 0, 0))
        self.proc = subprocess.Popen(command, env=dict(env, TERM="xterm"), cwd=cwd, stdin=slave, stdout=slave,
                                     stderr=slave, start_new_session=True)
        os.close(slave)
        self.master = master
        self.screen = pyte.Screen(columns, lines)
        self.stream = pyte.ByteStream(self.screen)
        self.raw = b""

    def _read(self, deadline):
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        ready, _, _ = select.select([self.master], [], [], left)
        if not ready:
            return False
        try:
            chunk = os.read(self.master, 65536)
        except OSError:  # every writer of the terminal has gone
            return None
        if not chunk:
            return None
        self.raw += chunk
        self.stream.feed(chunk)
        return True

    def __repr__(self):
        return "<installer at a console, screen:\n%s\n>" % self.text()

    def text(self):
        """The screen's text, lines right-trimmed, trailing empty lines dropped."""
        return "\n".join(line.rstrip() for line in self.screen.display).rstrip("\n")

    def wait_for(self, text, timeout=60):
        deadline = time.monotonic() + timeout
        while text not in self.text():
            if not self._read(deadline):
                raise AssertionError("waited %ds for %r on the screen:\n%s" % (timeout, text, self.text()))

    def read_for(self, seconds):
        deadline = time.monotonic() + seconds
        while self._read(deadline):
            pass

    def type(self, keys, timeout=20):
        """Types `keys` once Wine's console has the terminal in raw mode. Its text
        can show before that: keys typed then are cooked by the terminal's own
        line discipline (CR made LF, echoed) and Enter never reaches the program."""
        deadline = time.monotonic() + timeout
        while termios.tcgetattr(self.master)[3] & termios.ICANON:
            if time.monotonic() >= deadline:
                raise AssertionError("the terminal stayed in line mode for %ds; screen:\n%s" % (timeout, self.text()))
            if self._read(min(deadline, time.monotonic() + 0.02)) is None:
                time.sleep(0.02)
        os.write(self.master, keys)

    def finish(self, timeout=120):
        """Reads until the program has ended; returns its exit status."""
        deadline = time.monotonic() + timeout
        while self.proc.poll() is None:
            if self._read(min(deadline, time.monotonic() + 0.2)) is None:
                break
            if time.monotonic() >= deadline:
                self.kill()
                raise AssertionError("did not finish within %ds; screen:\n%s" % (timeout, self.text()))
        status = self.proc.wait(timeout=max(1, deadline - time.monotonic()))
        self.read_for(0.5)
        return status

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)
        if self.master is not None:
            os.close(self.master)
            self.master = None


class Site:
    """A distribution site for one test: package, site configuration, web host
    and FTP server, plus the installer's drives and logs."""

    def __init__(self, wine, tmp):
        self.wine = wine
        self.tmp = tmp
        self.host = "127.0.21.%d" % next(_addresses)
        self.logs = tmp / "logs"
        wine.map_drive("l", self.logs)
        self.ftp = FtpSite(self.host, str(tmp / "ftp"), FTP_USER, FTP_PASSWORD)
        self.web = WebHost()
        self.runs = []
        self.drives = set("l")
        self.extractor = None  # the build's extractor; a test may serve the stand-in
        self.extra = ()  # more archive entries: (name, bytes, compression)

    def write_package(self, with_application=True):
        return write_package(self.wine, self.ftp.files_dir(), with_application, extra=self.extra,
                             extractor=self.extractor)

    def config_body(self, user=FTP_USER, password=FTP_PASSWORD, host=None):
        return self.wine.encode_site_config(self.tmp / "encoded", user, password, host or self.host)

    def start(self, with_application=True):
        self.write_package(with_application)
        self.web.body = self.config_body()
        self.web.start()
        self.ftp.start()
        return self

    def drive(self, letter):
        folder = self.tmp / ("drive_" + letter.lower())
        self.wine.map_drive(letter, folder)
        self.drives.add(letter.lower())
        return folder

    def _env(self, extra_env):
        return dict(self.wine.env, http_proxy=self.web.proxy, EXTRACTOR_LOG="L:\\extractor.log",
                    APPLICATION_LOG="L:\\application.log", **(extra_env or {}))

    def installer(self, extra_env=None):
        run = InstallerRun(self.wine, self._env(extra_env))
        self.runs.append(run)
        return run

    def console_installer(self, extra_env=None):
        """The installer at a terminal, with a console of its own."""
        run = ConsoleRun(["wine", str(self.wine.installer)], self._env(extra_env), str(self.wine.prefix / "drive_c"))
        self.runs.append(run)
        return run

    def application_log(self, timeout=20):
        """The record the started application leaves, waited for within `timeout` seconds."""
        log = self.logs / "application.log"
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if log.exists() and log.read_bytes().endswith(b"\n"):
                return log.read_text()
            time.sleep(0.1)
        return None

    def stop(self):
        for run in self.runs:
            run.kill()
        self.ftp.stop()
        self.web.stop()
        for letter in self.drives:
            self.wine.unmap_drive(letter)


@pytest.fixture
def site(wine, tmp_path):
    s = Site(wine, tmp_path)
    yield s
    s.stop()


@pytest.fixture
def signed_site(signed_wine, tmp_path):
    """A site for the signed build's installer."""
    s = Site(signed_wine, tmp_path)
    yield s
    s.stop()


@pytest.fixture
def clean_shortcuts(wine):
    """Removes the installer's shortcuts from the user's folders before and after a test."""

    def clean():
        for folder in (wine.desktop(), wine.programs() / "Brindlecove"):
            if folder.is_dir():
                for link in folder.glob("*Tallywise.exe*"):
                    link.unlink()

    clean()
    yield
    clean()
