"""The production servers of sitetools/site/ (vsftpd and nginx, Debian's), run
as this process's own children on a loopback address, serving a site folder
that tallywise-publish wrote. Only the paths, the addresses and, on request,
the session limit differ from the shipped configurations. Used by the
end-to-end tests, the demo and the benchmark; needs root (port 21)."""

import os
import pathlib
import re
import shutil
import socket
import subprocess
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
CONFIGS = ROOT / "sitetools" / "site"
WEB_PORT = 8080


def _set(config, option, value):
    """Sets `option=value` in a vsftpd configuration text."""
    line = "%s=%s" % (option, value)
    changed, count = re.subn(r"(?m)^%s=.*$" % re.escape(option), line, config)
    return changed if count else changed + line + "\n"


def _wait_for_port(host, port, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection((host, port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.05)
    return False


class ProductionSite:
    """vsftpd on `host`:21 and nginx on `host`:8080 serving `published` (a folder
    with web/ and ftp/ as tallywise-publish writes it)."""

    def __init__(self, published, host, max_clients=None):
        self.published = pathlib.Path(published)
        self.host = host
        self.max_clients = max_clients
        self.processes = []
        # Outside any private temporary folder: the servers drop to their own users.
        self.folder = pathlib.Path(tempfile.mkdtemp(prefix="tallywise-production-"))
        os.chmod(self.folder, 0o755)

    @property
    def proxy(self):
        return "http://%s:%d" % (self.host, WEB_PORT)

    def _copy_release(self):
        for part in ("web", "ftp"):
            target = self.folder / part
            shutil.copytree(self.published / part, target)
            os.chmod(target, 0o755)
            for path in target.iterdir():
                os.chmod(path, 0o644)

    def _vsftpd_config(self):
        config = (CONFIGS / "vsftpd.conf").read_text()
        config = _set(config, "listen_address", self.host)
        config = _set(config, "anon_root", self.folder / "ftp")
        config = _set(config, "vsftpd_log_file", self.folder / "vsftpd.log")
        if self.max_clients is not None:
            config = _set(config, "max_clients", self.max_clients)
            config = _set(config, "max_per_ip", self.max_clients)
        path = self.folder / "vsftpd.conf"
        path.write_text(config)
        os.chmod(path, 0o600)  # vsftpd wants its configuration owned by root
        return path

    def _nginx_config(self):
        config = (CONFIGS / "nginx.conf").read_text()
        scratch = self.folder / "nginx"
        scratch.mkdir()
        config = config.replace("/run/nginx-tallywise.pid", str(scratch / "nginx.pid"))
        config = config.replace("/var/log/nginx/", str(scratch) + "/")
        config = config.replace("/var/lib/nginx/", str(scratch) + "/")
        config = config.replace("/srv/tallywise/web", str(self.folder / "web"))
        config = re.sub(r"(?m)^(\s*)listen 80;", r"\1listen %s:%d;" % (self.host, WEB_PORT), config)
        # Its workers run as the default user; nothing else changes.
        path = self.folder / "nginx.conf"
        path.write_text(config)
        return path

    def start(self):
        self._copy_release()
        vsftpd = self._vsftpd_config()
        nginx = self._nginx_config()
        self.processes.append(subprocess.Popen(["/usr/sbin/vsftpd", str(vsftpd)], stdin=subprocess.DEVNULL,
                                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        self.processes.append(subprocess.Popen(["/usr/sbin/nginx", "-c", str(nginx), "-p", str(self.folder),
                                                "-g", "daemon off;"], stdin=subprocess.DEVNULL,
                                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        if not (_wait_for_port(self.host, 21) and _wait_for_port(self.host, WEB_PORT)):
            self.stop()
            raise RuntimeError("vsftpd or nginx did not start on %s" % self.host)
        return self

    def stop(self):
        for process in self.processes:
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait(timeout=10)
        self.processes = []
        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
