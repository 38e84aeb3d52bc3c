"""Running this build's Windows programs under Wine from Python: the build's
prefix, drive letters mapped to folders, the user's shell folders, the sample
package and reading .lnk files back. Used by the end-to-end tests, the demo
and the benchmark."""

import contextlib
import json
import os
import pathlib
import shutil
import subprocess
import sys
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "sitetools"))

from localsite import FtpSite, WebHost  # noqa: E402


class Wine:
    """A Wine prefix (`prefix_dir`/wineprefix) and the programs of a build."""

    def __init__(self, build, prefix_dir=None):
        self.build = pathlib.Path(build).resolve()
        self.site = json.loads((self.build / "site_values.json").read_text())
        self.home = pathlib.Path(prefix_dir or self.build).resolve()
        self.prefix = self.home / "wineprefix"
        self.env = dict(os.environ, WINEPREFIX=str(self.prefix), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d",
                        HOME=str(self.home / "wine-home"))
        for name in ("http_proxy", "HTTP_PROXY", "https_proxy", "no_proxy", "NO_PROXY"):
            self.env.pop(name, None)
        self.installer = self.build / "tallywise-install.exe"
        self.encoder = self.build / "sitetools" / "tallywise-siteconfig.exe"
        self.sitecheck = self.build / "sitetools" / "tallywise-sitecheck.exe"
        self.signer = self.build / "sitetools" / "tallywise-sign.exe"
        self.publisher = self.build / "sitetools" / "tallywise-publish.exe"
        self.extractor = self.build / "extractor" / "tallywise-extract.exe"
        # Stands in for z.exe where a test needs its command line reported, or an extractor that fails.
        self.stand_in_extractor = self.build / "tests" / "fixtures" / "fixture-extractor.exe"
        self.application = self.build / "tests" / "fixtures" / "fixture-application.exe"

    def session(self, action):
        """Starts (a fresh prefix and a persistent wineserver) or stops the session."""
        subprocess.run(["bash", str(ROOT / "tools" / "wine-session.sh"), action, str(self.home)], check=True,
                       stdin=subprocess.DEVNULL, timeout=600)

    def dosdevice(self, letter):
        return self.prefix / "dosdevices" / (letter.lower() + ":")

    def map_drive(self, letter, folder):
        os.makedirs(folder, exist_ok=True)
        link = self.dosdevice(letter)
        if link.is_symlink() or link.exists():
            link.unlink()
        link.symlink_to(folder)

    def unmap_drive(self, letter):
        link = self.dosdevice(letter)
        if link.is_symlink():
            link.unlink()

    def user_folder(self):
        users = self.prefix / "drive_c" / "users"
        return next(p for p in sorted(users.iterdir()) if p.name != "Public" and p.is_dir())

    def desktop(self):
        return self.user_folder() / "Desktop"

    def programs(self):
        return self.user_folder() / "AppData" / "Roaming" / "Microsoft" / "Windows" / "Start Menu" / "Programs"

    def command(self, program, *args):
        return ["wine", str(program), *[str(a) for a in args]]

    def run(self, program, *args, env=None, timeout=60, input=b"", cwd=None):
        return subprocess.run(self.command(program, *args), env=dict(self.env, **(env or {})),
                              cwd=str(cwd or self.prefix / "drive_c"), input=input, capture_output=True,
                              timeout=timeout)

    def encode_site_config(self, folder, user, password, host):
        """The site configuration for this account, written by the build's encoder."""
        self.map_drive("w", folder)
        try:
            result = self.run(self.encoder, "W:\\meterobj1.txt", user, password, host)
            if result.returncode != 0:
                raise RuntimeError("encoder exit status %d: %s" % (result.returncode, result.stderr.decode("latin-1")))
            return (pathlib.Path(folder) / "meterobj1.txt").read_bytes()
        finally:
            self.unmap_drive("w")

    def sign(self, *args, drives):
        """Runs tallywise-sign with each drive letter of `drives` mapped to its folder."""
        for letter, folder in drives.items():
            self.map_drive(letter, folder)
        try:
            result = self.run(self.signer, *args)
            if result.returncode != 0:
                raise RuntimeError("tallywise-sign exit status %d: %s" % (result.returncode,
                                                                       result.stderr.decode("latin-1")))
            return result.stdout.decode("latin-1").strip()
        finally:
            for letter in drives:
                self.unmap_drive(letter)

    def new_signing_key(self, folder):
        """A new key file `folder`/key.txt made by tallywise-sign; returns (path, public key text)."""
        public = self.sign("new-key", "V:\\key.txt", drives={"v": folder})
        return pathlib.Path(folder) / "key.txt", public

    def sign_package(self, key, folder):
        """Writes `folder`/wkp.sig for its z.exe and wkp.zip, signed with the key file `key`."""
        key = pathlib.Path(key)
        self.sign("sign", "V:\\" + key.name, "W:\\", drives={"v": key.parent, "w": folder})
        return (pathlib.Path(folder) / "wkp.sig").read_bytes()


def write_package(wine, folder, with_application=True, extra=(), extractor=None):
    """Writes z.exe (the build's extractor, or `extractor`) and wkp.zip into `folder`. The archive
    holds Kestrow/Tallywise.exe (the fixture application), a Tallywise/ folder
    with a few files, and (name, bytes, compression) entries of `extra`."""
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    shutil.copy(extractor or wine.extractor, folder / "z.exe")
    with zipfile.ZipFile(folder / "wkp.zip", "w", allowZip64=False) as archive:
        if with_application:
            archive.write(wine.application, "Kestrow/Tallywise.exe", compress_type=zipfile.ZIP_DEFLATED)
        archive.writestr(zipfile.ZipInfo("Tallywise/"), b"")
        archive.writestr("Tallywise/readme.txt", b"Tallywise sample data\r\n", compress_type=zipfile.ZIP_STORED)
        archive.writestr("Tallywise/data/settings.ini", b"[tallywise]\r\nmode=home\r\n" * 50,
                         compress_type=zipfile.ZIP_DEFLATED)
        for name, data, compression in extra:
            archive.writestr(name, data, compress_type=compression)
    return folder


def write_application(wine, folder, files):
    """An application folder laid out as the user's drive root will hold it, as
    tallywise-publish takes it: Kestrow/Tallywise.exe (the stand-in application),
    a Tallywise/ folder and `files`, {name: bytes} below it."""
    folder = pathlib.Path(folder)
    (folder / "Kestrow").mkdir(parents=True, exist_ok=True)
    shutil.copy(wine.application, folder / "Kestrow" / "Tallywise.exe")
    (folder / "Tallywise").mkdir(exist_ok=True)
    for name, data in files.items():
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_bytes(data)
    return folder


@contextlib.contextmanager
def local_site(wine, folder, host, user, password, extra=(), signing_key=None):
    """Serves the sample package (with `extra` entries) from `folder`: the site
    configuration for this account on a web host and the files on an FTP server
    at `host`:21, with wkp.sig beside them when a `signing_key` file is given.
    Yields (web, ftp) and stops both afterwards."""
    folder = pathlib.Path(folder)
    files = write_package(wine, folder / "ftp", extra=extra)
    if signing_key is not None:
        wine.sign_package(signing_key, files)
    body = wine.encode_site_config(folder / "web", user, password, host)
    web = WebHost(body).start()
    try:
        ftp = FtpSite(host, str(files), user, password).start()
        try:
            yield web, ftp
        finally:
            ftp.stop()
    finally:
        web.stop()


def read_link(path):
    """Target, working directory and description of a .lnk file, as lnkinfo reads them."""
    out = subprocess.run(["lnkinfo", str(path)], capture_output=True, text=True, timeout=30).stdout
    fields = {}
    for line in out.splitlines():
        if ":" in line:
            key, _, value = line.strip().partition(":")
            fields.setdefault(key.strip(), value.strip())
    return {"target": fields.get("Local path"), "working directory": fields.get("Working directory"),
            "description": fields.get("Description")}
