"""The installer doing its whole job on this machine: a sample package on a
local distribution site, drive D mapped to a scratch folder, and the real
tallywise-install.exe under Wine answering to the keyboard (or to a piped letter).
Afterwards it shows what was installed. Every server it starts is stopped, also
when interrupted.

With --signed it first makes a fresh demo signing key, configures and builds a
second build that carries it (build-demo-signed/), signs the sample package and
installs with that build.

With --production the release is made the way a vendor makes one, with
tallywise-publish, and served by the production servers of sitetools/site/:
Debian's vsftpd (anonymous, read-only) and nginx, on 127.0.22.250."""

import argparse
import contextlib
import pathlib
import shutil
import os
import signal
import subprocess
import sys
import time
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))

from production_site import ProductionSite  # noqa: E402
from winelab import Wine, local_site, read_link, write_application  # noqa: E402

FTP_HOST = "127.0.21.250"
FTP_USER = "tallywise"
FTP_PASSWORD = "Home-Install-2026"
PRODUCTION_HOST = "127.0.22.250"

SAMPLE_FILES = [
    ("Tallywise/help/getting-started.txt", b"Welcome to Tallywise.\r\nOpen a ledger to begin.\r\n",
     zipfile.ZIP_DEFLATED),
    ("Tallywise/data/sample-ledger.csv",
     b"date,account,amount\r\n" + b"".join(b"2026-12-%02d,household,%d.50\r\n" % (d, d * 7) for d in range(1, 29)),
     zipfile.ZIP_DEFLATED),
]


def show_tree(folder, letter):
    print("\nInstalled on drive %s:" % letter)
    for path in sorted(folder.rglob("*")):
        relative = path.relative_to(folder)
        name = "%s:\\%s" % (letter, str(relative).replace("/", "\\"))
        print("  %-48s %s" % (name + ("\\" if path.is_dir() else ""), "" if path.is_dir() else
                                 "%d bytes" % path.stat().st_size))


def show_links(wine, drive_folder, letter):
    print("\nShortcuts:")
    places = [("install folder", drive_folder / "Kestrow" / "Tallywise.exe.lnk"),
              ("desktop", wine.desktop() / ("%s-Tallywise.exe.lnk" % letter)),
              ("Start Menu", wine.programs() / "Brindlecove" / ("%s-Tallywise.exe.lnk" % letter))]
    for place, path in places:
        if not path.exists():
            print("  %-15s missing: %s" % (place, path))
            continue
        link = read_link(path)
        print("  %-15s %s" % (place, path.name))
        for key in ("target", "working directory", "description"):
            print("  %-15s   %-18s %s" % ("", key + ":", link[key]))


def signed_build(public_key, scratch):
    """Configures and builds build-demo-signed/ with the demo key; returns its installer."""
    folder = ROOT / "build-demo-signed"
    print("Building %s with the demo key ..." % folder, flush=True)
    env = dict(os.environ, TALLYWISE_BUILD_DIR=str(folder),
               TALLYWISE_CMAKE_ARGS=os.environ.get("TALLYWISE_CMAKE_ARGS", "") + " -DBUILD_TESTING=OFF"
               " -DTALLYWISE_PACKAGE_KEYS=" + public_key)
    subprocess.run(["bash", str(ROOT / "tools" / "build.sh")], env=env, check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, timeout=1200)
    return Wine(folder, prefix_dir=scratch).installer


@contextlib.contextmanager
def production_site(wine, scratch):
    """Publishes the sample application with tallywise-publish and serves the
    site folder with vsftpd and nginx. Yields the web host's proxy address."""
    write_application(wine, scratch / "site" / "app", {name: data for name, data, _ in SAMPLE_FILES})
    wine.map_drive("p", scratch / "site")
    try:
        result = wine.run(wine.publisher, "P:\\app", "P:\\release", "anonymous", "tallywise-demo", PRODUCTION_HOST)
    finally:
        wine.unmap_drive("p")
    print(result.stdout.decode("utf-8").replace("\r\n", "\n"), end="")
    if result.returncode != 0:
        raise RuntimeError(result.stderr.decode("utf-8"))
    with ProductionSite(scratch / "site" / "release", PRODUCTION_HOST) as site:
        print("Production servers (sitetools/site/):")
        print("  nginx      http://%s/meterobj1.txt, served at %s (through http_proxy)" %
              (wine.site["web_host"], site.proxy))
        print("  vsftpd     %s:21, anonymous, read-only, files %s" % (PRODUCTION_HOST, ", ".join(
            sorted(os.listdir(site.folder / "ftp")))))
        yield site.proxy


@contextlib.contextmanager
def sample_site(wine, scratch, key):
    """The local test site with the sample package. Yields the web host's proxy address."""
    with local_site(wine, scratch / "site", FTP_HOST, FTP_USER, FTP_PASSWORD, SAMPLE_FILES,
                    signing_key=key) as (web, ftp):
        print("Local distribution site:")
        print("  web host   http://%s/meterobj1.txt, served at %s (through http_proxy)" %
              (wine.site["web_host"], web.proxy))
        print("  FTP server %s:21, user %s, files %s" % (FTP_HOST, FTP_USER, ", ".join(
            sorted(os.listdir(ftp.files_dir())))))
        yield web.proxy


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--signed", action="store_true", help="install a signed package with a signed build")
    parser.add_argument("--production", action="store_true",
                        help="publish with tallywise-publish and serve with vsftpd and nginx")
    args = parser.parse_args()

    build = pathlib.Path(args.build).resolve()
    scratch = build / "demo"
    wine = Wine(build, prefix_dir=scratch)
    # A fresh start every run: no drive, site or shortcuts left from the last one.
    for name in ("drive-d", "site", "logs", "signing"):
        shutil.rmtree(scratch / name, ignore_errors=True)
    drive = scratch / "drive-d"
    logs = scratch / "logs"

    # Stop cleanly on SIGTERM and SIGHUP as on Ctrl-C.
    def interrupted(signum, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, interrupted)
    signal.signal(signal.SIGHUP, interrupted)

    status = 1
    try:
        print("Preparing a Wine prefix in %s ..." % wine.prefix, flush=True)
        wine.session("start")
        key = None
        installer = wine.installer
        if args.signed:
            key, public = wine.new_signing_key(scratch / "signing")
            print("Demo signing key %s, public key %s..." % (key, public[:16]))
            installer = signed_build(public, scratch)
        site = production_site(wine, scratch) if args.production else sample_site(wine, scratch, key)
        with site as proxy:
            wine.map_drive("d", drive)
            wine.map_drive("l", logs)
            print("Drive D: is %s. Answer the prompt with d and Enter.\n" % drive, flush=True)

            env = dict(wine.env, http_proxy=proxy, APPLICATION_LOG="L:\\application.log")
            process = subprocess.Popen(wine.command(installer), env=env, cwd=str(wine.prefix / "drive_c"))
            status = process.wait()
            # The application runs on after the installer has ended.
            log = logs / "application.log"
            deadline = time.monotonic() + 20
            while status == 0 and not log.exists() and time.monotonic() < deadline:
                time.sleep(0.1)
            time.sleep(0.3)
        print("\nThe installer ended with exit status %d." % status)
        if log.exists():
            print("The application started: " + log.read_text().strip().replace("\n", "; "))
        show_tree(drive, "D")
        show_links(wine, drive, "D")
    except KeyboardInterrupt:
        print("\nInterrupted.")
        status = 130
    finally:
        wine.session("stop")
    return status


if __name__ == "__main__":
    sys.exit(main())
