"""How much time the installer adds to the work it cannot avoid, and how small it is.

On one local distribution site with a large package (an archive of over 100 MB,
part random and stored, part compressible and deflated) it times, interleaved:
  installer  a full installation by tallywise-install.exe under Wine;
  floor      bench-floor.exe under the same Wine: the same configuration GET, the
             two FtpGetFileA transfers and the same extractor, nothing else;
  direct     the same work on Linux: curl fetches both files from the same FTP
             server and unzip unpacks the archive.
It prints the medians, the ratios of the installer's time without its fixed
pauses to the other two, and the size of tallywise-install.exe.
"""

import argparse
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import time
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))

from winelab import Wine, local_site  # noqa: E402

FTP_HOST = "127.0.21.251"
FTP_USER = "bench"
FTP_PASSWORD = "Bench-2026"
FIXED_PAUSES = 8.0  # seconds the installer sleeps on its successful path
RANDOM_MB = 100
TEXT_MB = 40


def large_entries():
    text = b"".join(b"2026-12-%02d,household,groceries,%6d.%02d\r\n" % (i % 28 + 1, i * 37 % 100000, i % 100)
                    for i in range(20000))
    repeat = TEXT_MB * 1024 * 1024 // len(text) + 1
    return [("Tallywise/data/archive.bin", os.urandom(RANDOM_MB * 1024 * 1024), zipfile.ZIP_STORED),
            ("Tallywise/data/ledger.csv", text * repeat, zipfile.ZIP_DEFLATED)]


def timed(function):
    start = time.monotonic()
    function()
    return time.monotonic() - start


def measure(wine, scratch, env, runs):
    """Runs the three ways of doing the work `runs` times, interleaved; returns their times."""
    floor_exe = wine.build / "bench" / "bench-floor.exe"
    drive = scratch / "drive-d"
    direct = scratch / "direct"

    def fresh(folder):
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)

    def unpacked():
        return (drive / "Tallywise" / "data" / "archive.bin").exists()

    def installer():
        fresh(drive)
        wine.map_drive("d", drive)
        result = subprocess.run(wine.command(wine.installer), env=env, input=b"d\n", capture_output=True,
                                cwd=str(wine.prefix / "drive_c"), timeout=600)
        assert result.returncode == 0 and unpacked(), result

    def floor():
        fresh(drive / "Kestrow")
        wine.map_drive("d", drive)
        result = subprocess.run(wine.command(floor_exe, "D", FTP_HOST, FTP_USER, FTP_PASSWORD), env=env,
                                capture_output=True, cwd=str(wine.prefix / "drive_c"), timeout=600)
        assert result.returncode == 0 and unpacked(), result

    def linux():
        fresh(direct)
        for name in ("z.exe", "wkp.zip"):
            subprocess.run(["curl", "-s", "-S", "--noproxy", "*", "-o", str(direct / name),
                            "ftp://%s:%s@%s/%s" % (FTP_USER, FTP_PASSWORD, FTP_HOST, name)], check=True,
                           timeout=600)
        subprocess.run(["unzip", "-o", "-q", str(direct / "wkp.zip"), "-d", str(direct)], check=True, timeout=600)

    times = {"installer": [], "floor": [], "direct": []}
    for run in range(runs):
        for name, function in (("installer", installer), ("floor", floor), ("direct", linux)):
            times[name].append(timed(function))
        print("run %d: " % (run + 1) + ", ".join("%s %.2f s" % (n, t[-1]) for n, t in times.items()), flush=True)
    return times


def report(wine, times, archive_mb, runs):
    installer_s, floor_s, direct_s = (statistics.median(times[n]) for n in ("installer", "floor", "direct"))
    own = installer_s - FIXED_PAUSES
    print()
    print("archive wkp.zip:                     %.1f MB (%d MiB random, %d MiB compressible)" %
          (archive_mb, RANDOM_MB, TEXT_MB))
    print("medians of %d interleaved runs" % runs)
    print("installer wall time:                 %.2f s" % installer_s)
    print("  of which fixed pauses:             %.2f s" % FIXED_PAUSES)
    print("floor (same calls, Wine):            %.2f s" % floor_s)
    print("direct (curl + unzip, Linux):        %.2f s" % direct_s)
    print("(installer - pauses) / floor:        %.2f" % (own / floor_s))
    print("(installer - pauses) / direct:       %.2f" % (own / direct_s))
    print("tallywise-install.exe size:          %d bytes" % wine.installer.stat().st_size)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()

    build = pathlib.Path(args.build).resolve()
    scratch = build / "benchmark-scratch"
    shutil.rmtree(scratch, ignore_errors=True)
    wine = Wine(build, prefix_dir=scratch)

    print("Writing the package ...", flush=True)
    wine.session("start")
    try:
        site = local_site(wine, scratch / "site", FTP_HOST, FTP_USER, FTP_PASSWORD, large_entries())
        with site as (web, ftp):
            archive_mb = (pathlib.Path(ftp.files_dir()) / "wkp.zip").stat().st_size / 1e6
            times = measure(wine, scratch, dict(wine.env, http_proxy=web.proxy), args.runs)
    finally:
        wine.session("stop")
    report(wine, times, archive_mb, args.runs)
    shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
