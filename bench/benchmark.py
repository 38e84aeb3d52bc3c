"""How much time the installer adds to the work it cannot avoid, and how small it is.

On one local distribution site with a large package (an archive of over 100 MB,
part random and stored, part compressible and deflated) it times, interleaved:
  installer  a full installation by tallywise-install.exe under Wine;
  floor      bench-floor.exe under the same Wine: the platform calls of one
             successful installation in the same order (configuration GET, log
             in, out and in again, PWD and CWD, both transfers, the extractor
             through the command interpreter, the shell link and its two copies,
             the launch), without pauses;
  direct     the same network and unpacking work on Linux: curl fetches both
             files from the same FTP server and unzip unpacks the archive.
It prints the medians per phase (start, download, unpack, shortcuts, launch) of
the installer, from its messages' arrival times, and of the floor, from its own
marks; the ratios of the installer's time without its fixed pauses to the other
two; and the size of tallywise-install.exe beside a "hello world" built with
the same toolchain and flags.
"""

import argparse
import os
import pathlib
import select
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


# Where each phase starts: the installer's message, the floor's mark; and the
# installer's fixed pauses inside that phase (seconds).
PHASES = [
    ("start", None, None, 0.0),
    ("download", b"Downloading the Tallywise Software", b"download\r\n", 0.0),
    ("unpack", b"Uncompressing Tallywise Files", b"unpack\r\n", 2.0),
    ("shortcuts", b"Creating Desktop and Start Menu Shortcuts", b"shortcuts\r\n", 4.0),
    ("launch", b"Installation is Complete", b"launch\r\n", 2.0),
]
assert sum(pause for *_, pause in PHASES) == FIXED_PAUSES


def timed_run(command, env, cwd, stdin=b"", timeout=600):
    """Runs a program with its output on a pipe. Returns its time to exit and, per
    phase, how long it took, from the arrival of the texts that start the phases."""
    start = time.monotonic()
    proc = subprocess.Popen(command, env=env, cwd=cwd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    proc.stdin.write(stdin)
    proc.stdin.close()
    output, arrivals, ended = b"", [], None
    deadline = start + timeout
    while True:
        if time.monotonic() > deadline:
            proc.kill()
            proc.wait(timeout=10)
            raise AssertionError("%s did not finish within %d s" % (command[1], timeout))
        if ended is None and proc.poll() is not None:
            ended = time.monotonic() - start
        ready, _, _ = select.select([proc.stdout], [], [], 0.01)
        if ready:
            chunk = os.read(proc.stdout.fileno(), 65536)
            if not chunk:
                break
            output += chunk
            arrivals.append((time.monotonic() - start, len(output)))
    # The started application shares the pipe and may hold it open a little longer.
    proc.wait(timeout=60)
    if ended is None:
        ended = time.monotonic() - start
    return proc.returncode, ended, output, arrivals


def phase_times(output, arrivals, ended, marks):
    """Seconds per phase from the arrival times of the texts that start the phases."""
    starts = [0.0]
    for mark in marks[1:]:
        end = output.index(mark) + len(mark)
        starts.append(next(at for at, length in arrivals if length >= end))
    starts.append(ended)
    return [b - a for a, b in zip(starts, starts[1:])]


def measure(wine, scratch, env, runs):
    """Runs the three ways of doing the work `runs` times, interleaved; returns their
    times, and the phase times of the installer and the floor."""
    floor_exe = wine.build / "bench" / "bench-floor.exe"
    drive = scratch / "drive-d"
    direct = scratch / "direct"
    cwd = str(wine.prefix / "drive_c")

    def fresh(folder):
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)

    def unpacked():
        return (drive / "Tallywise" / "data" / "archive.bin").exists()

    def installer():
        fresh(drive)
        wine.map_drive("d", drive)
        status, ended, output, arrivals = timed_run(wine.command(wine.installer), env, cwd, stdin=b"d\n")
        assert status == 0 and unpacked(), output
        return ended, phase_times(output, arrivals, ended, [p[1] for p in PHASES])

    def floor():
        fresh(drive / "Kestrow")
        wine.map_drive("d", drive)
        status, ended, output, arrivals = timed_run(
            wine.command(floor_exe, "D", FTP_HOST, FTP_USER, FTP_PASSWORD), env, cwd)
        assert status == 0 and unpacked(), output
        return ended, phase_times(output, arrivals, ended, [p[2] for p in PHASES])

    def linux():
        start = time.monotonic()
        fresh(direct)
        for name in ("z.exe", "wkp.zip"):
            subprocess.run(["curl", "-s", "-S", "--noproxy", "*", "-o", str(direct / name),
                            "ftp://%s:%s@%s/%s" % (FTP_USER, FTP_PASSWORD, FTP_HOST, name)], check=True,
                           timeout=600)
        subprocess.run(["unzip", "-o", "-q", str(direct / "wkp.zip"), "-d", str(direct)], check=True, timeout=600)
        return time.monotonic() - start, None

    times = {"installer": [], "floor": [], "direct": []}
    phases = {"installer": [], "floor": []}
    for run in range(runs):
        for name, function in (("installer", installer), ("floor", floor), ("direct", linux)):
            total, split = function()
            times[name].append(total)
            if split is not None:
                phases[name].append(split)
        print("run %d: " % (run + 1) + ", ".join("%s %.2f s" % (n, t[-1]) for n, t in times.items()), flush=True)
    return times, phases


def hello_size(wine):
    return (wine.build / "bench" / "bench-hello.exe").stat().st_size


def report(wine, times, phases, archive_mb, runs):
    installer_s, floor_s, direct_s = (statistics.median(times[n]) for n in ("installer", "floor", "direct"))
    own = installer_s - FIXED_PAUSES
    print()
    print("archive wkp.zip:                     %.1f MB (%d MiB random, %d MiB compressible)" %
          (archive_mb, RANDOM_MB, TEXT_MB))
    print("medians of %d interleaved runs" % runs)
    print()
    print("phase       installer  pauses  installer-pauses   floor   difference")
    for i, (name, _, _, pause) in enumerate(PHASES):
        mine = statistics.median(split[i] for split in phases["installer"])
        base = statistics.median(split[i] for split in phases["floor"])
        print("%-10s  %8.2f s  %4.1f s  %14.2f s  %6.2f s  %+8.2f s" % (name, mine, pause, mine - pause, base,
                                                                        mine - pause - base))
    print()
    print("installer wall time:                 %.2f s" % installer_s)
    print("  of which fixed pauses:             %.2f s" % FIXED_PAUSES)
    print("floor (same calls, Wine):            %.2f s" % floor_s)
    print("direct (curl + unzip, Linux):        %.2f s" % direct_s)
    print("(installer - pauses) / floor:        %.3f" % (own / floor_s))
    print("(installer - pauses) / direct:       %.2f" % (own / direct_s))
    size, floor_size = wine.installer.stat().st_size, hello_size(wine)
    print("tallywise-install.exe size:          %d bytes" % size)
    print("size floor (hello world, same flags): %d bytes" % floor_size)
    print("size / size floor:                   %.2f" % (size / floor_size))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--runs", type=int, default=7)
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
            times, phases = measure(wine, scratch, dict(wine.env, http_proxy=web.proxy), args.runs)
    finally:
        wine.session("stop")
    report(wine, times, phases, archive_mb, args.runs)
    shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
