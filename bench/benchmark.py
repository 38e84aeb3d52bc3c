"""How much time the installer adds to the work it cannot avoid, and how small it is.

On one local distribution site with a large package (an archive of over 100 MB,
part random and stored, part compressible and deflated) it times, interleaved:
  installer  a full installation by tallywise-install.exe under Wine;
  signed     the same by the build with package keys (tests/fixtures/signing),
             which also fetches wkp.sig and hashes both files as they arrive;
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

On a flaky line (the site drops the archive's data connection after every
16 MiB) it times the signed installer to the end and counts the bytes served,
and counts the attempts the unsigned installer makes in the same time, each
from the first byte, without finishing.

On release day (--part release-day) it publishes a small release with
tallywise-publish, serves it with the production servers of sitetools/site/
(vsftpd admitting three sessions at a time, and nginx), and times one
installation alone, then eight at once on eight drives.

For the extractor (tallywise-extract.exe, served as z.exe) it times, interleaved,
z.exe under Wine and Info-ZIP unzip on Linux unpacking the same archive onto the
same disk; and it reads the peak memory (the process's maximum resident set, as
the kernel counts it for the Wine process) of z.exe unpacking a small archive,
the benchmark's archive and one holding an entry of over 4 GiB of zeros.
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

from production_site import ProductionSite  # noqa: E402
from winelab import Wine, local_site, write_application, write_package  # noqa: E402
from ziplab import write_zip, zeros_entry  # noqa: E402

FTP_HOST = "127.0.21.251"
FTP_USER = "bench"
FTP_PASSWORD = "Bench-2026"
FIXED_PAUSES = 8.0  # seconds the installer sleeps on its successful path
RANDOM_MB = 100
TEXT_MB = 40
FLAKY_DROP = 16 << 20


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


def measure(wine, signed_wine, scratch, env, runs):
    """Runs the four ways of doing the work `runs` times, interleaved; returns their
    times, and the phase times of the installers and the floor."""
    floor_exe = wine.build / "bench" / "bench-floor.exe"
    drive = scratch / "drive-d"
    direct = scratch / "direct"
    cwd = str(wine.prefix / "drive_c")

    def fresh(folder):
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)

    def unpacked():
        return (drive / "Tallywise" / "data" / "archive.bin").exists()

    def installer(program=wine.installer):
        fresh(drive)
        wine.map_drive("d", drive)
        status, ended, output, arrivals = timed_run(wine.command(program), env, cwd, stdin=b"d\n")
        assert status == 0 and unpacked(), output
        return ended, phase_times(output, arrivals, ended, [p[1] for p in PHASES])

    def signed():
        return installer(signed_wine.installer)

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

    times = {"installer": [], "signed": [], "floor": [], "direct": []}
    phases = {"installer": [], "signed": [], "floor": []}
    for run in range(runs):
        for name, function in (("installer", installer), ("signed", signed), ("floor", floor), ("direct", linux)):
            total, split = function()
            times[name].append(total)
            if split is not None:
                phases[name].append(split)
        print("run %d: " % (run + 1) + ", ".join("%s %.2f s" % (n, t[-1]) for n, t in times.items()), flush=True)
    return times, phases


def measure_flaky_line(wine, signed_wine, scratch, env, ftp, drop):
    """The signed installer to the end on a line that drops the archive's transfer
    every `drop` bytes, then the unsigned one for as long: its attempts."""
    drive = scratch / "drive-d"
    cwd = str(wine.prefix / "drive_c")
    ftp.cuts = {"wkp.zip": [drop, -1, "reset"]}
    results = {}
    for name, program, limit in (("signed", signed_wine.installer, 900), ("unsigned", wine.installer, None)):
        shutil.rmtree(drive, ignore_errors=True)
        drive.mkdir(parents=True)
        wine.map_drive("d", drive)
        ftp.retrievals.clear()
        start = time.monotonic()
        proc = subprocess.Popen(wine.command(program), env=env, cwd=cwd, stdin=subprocess.PIPE,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        proc.stdin.write(b"d\n")
        proc.stdin.close()
        try:
            proc.wait(timeout=limit if limit is not None else results["signed"][0])
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=10)
        elapsed = time.monotonic() - start
        attempts = sum(1 for served, _, _, _ in ftp.retrievals if served == "wkp.zip")
        finished = proc.returncode == 0 and (drive / "Tallywise" / "data" / "archive.bin").exists()
        results[name] = (elapsed, ftp.served("wkp.zip"), attempts, finished)
        print("flaky line, %s: %.2f s, %d transfers of wkp.zip, %s" % (name, elapsed, attempts,
                                                                       "finished" if finished else "not finished"),
              flush=True)
    ftp.cuts = {}
    return results


RELEASE_DAY_HOST = "127.0.22.251"


def measure_release_day(wine, scratch, installers=8, sessions=3):
    """One installation alone, then `installers` at once, against vsftpd admitting
    `sessions` sessions; returns both wall times and the retries of the crowd."""
    box = scratch / "release-day"
    write_application(wine, box / "app",
                      {"Tallywise/data/ledger.csv": b"2026-12-10,household,42.00\r\n" * 20000})
    wine.map_drive("p", box)
    try:
        result = wine.run(wine.publisher, "P:\\app", "P:\\site", "anonymous", "release-day", RELEASE_DAY_HOST)
    finally:
        wine.unmap_drive("p")
    assert result.returncode == 0, result.stderr
    cwd = str(wine.prefix / "drive_c")
    letters = "defghijk"[:installers]

    def install(count, env):
        runs = []
        start = time.monotonic()
        for letter in letters[:count]:
            folder = box / ("drive-" + letter)
            shutil.rmtree(folder, ignore_errors=True)
            folder.mkdir()
            wine.map_drive(letter, folder)
            runs.append(subprocess.Popen(wine.command(wine.installer), env=env, cwd=cwd, stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL))
            runs[-1].stdin.write(letter.encode() + b"\n")
            runs[-1].stdin.close()
        outputs = [run.stdout.read() for run in runs]
        for run in runs:
            run.wait(timeout=900)
        elapsed = time.monotonic() - start
        assert all(run.returncode == 0 for run in runs), outputs
        for letter in letters[:count]:
            wine.unmap_drive(letter)
        return elapsed, sum(out.count(b"You Are not Connected to the Internet") for out in outputs)

    with ProductionSite(box / "site", RELEASE_DAY_HOST, max_clients=sessions) as site:
        env = dict(wine.env, http_proxy=site.proxy)
        alone, _ = install(1, env)
        crowd, turned_away = install(installers, env)
    print("release day: one installation %.2f s, %d at once %.2f s" % (alone, installers, crowd), flush=True)
    shutil.rmtree(box, ignore_errors=True)
    return alone, crowd, turned_away, installers, sessions


def report_release_day(figures):
    alone, crowd, turned_away, installers, sessions = figures
    print()
    print("release day: vsftpd admitting %d sessions, nginx; a small published release" % sessions)
    print("one installation alone:              %.2f s" % alone)
    print("%d installations at once:             %.2f s (%d logins turned away and retried)" % (
        installers, crowd, turned_away))


def hash_rate(wine, scratch, files):
    """MB/s of tallywise-sign hashing z.exe and wkp.zip with CNG (and signing once)."""
    folder = scratch / "hash"
    folder.mkdir(parents=True, exist_ok=True)
    for name in ("z.exe", "wkp.zip"):
        shutil.copy(files / name, folder / name)
    size = sum((folder / name).stat().st_size for name in ("z.exe", "wkp.zip"))
    key = ROOT / "tests" / "fixtures" / "signing" / "tool-key.txt"
    times = []
    for _ in range(3):
        start = time.monotonic()
        wine.sign("sign", "V:\\tool-key.txt", "W:\\", drives={"v": key.parent, "w": folder})
        times.append(time.monotonic() - start)
    shutil.rmtree(folder, ignore_errors=True)
    return size / 1e6 / statistics.median(times)


def hello_size(wine):
    return (wine.build / "bench" / "bench-hello.exe").stat().st_size


def report(wine, signed_wine, times, phases, archive_mb, runs, flaky, hashing, drop):
    installer_s, floor_s, direct_s = (statistics.median(times[n]) for n in ("installer", "floor", "direct"))
    signed_s = statistics.median(times["signed"])
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

    print()
    print("signed build (package keys), medians of %d interleaved runs" % runs)
    print("phase       unsigned-pauses  signed-pauses  difference")
    for i, (name, _, _, pause) in enumerate(PHASES):
        mine = statistics.median(split[i] for split in phases["installer"]) - pause
        other = statistics.median(split[i] for split in phases["signed"]) - pause
        print("%-10s  %13.2f s  %11.2f s  %+8.2f s" % (name, mine, other, other - mine))
    print("signed wall time:                    %.2f s" % signed_s)
    print("(signed - pauses) / (unsigned - pauses): %.3f" % ((signed_s - FIXED_PAUSES) / own))
    download = statistics.median(split[1] for split in phases["floor"])
    print("transfer rate alone (floor's download): %.0f MB/s" % (archive_mb / download))
    print("SHA-256 rate alone (CNG, tallywise-sign): %.0f MB/s" % hashing)
    print("tallywise-install.exe with keys:     %d bytes" % signed_wine.installer.stat().st_size)

    print()
    print("flaky line: the archive's transfer drops every %d MiB" % (drop >> 20))
    elapsed, served, attempts, finished = flaky["signed"]
    print("signed:   %.2f s, %s, %d transfers, %.1f MB served (%.2f x the archive)" % (
        elapsed, "finished" if finished else "NOT finished", attempts, served / 1e6, served / 1e6 / archive_mb))
    elapsed, served, attempts, finished = flaky["unsigned"]
    print("unsigned: %d attempts in the same %.2f s, each from the first byte, %s" % (
        attempts, elapsed, "finished" if finished else "not finished"))


def peak_memory_kib(command, env, cwd, timeout=900):
    """Runs a program; returns its exit status and its peak resident set in KiB.
    Wine execs into the program in the same process; the kernel's high-water mark
    (VmHWM) of that last image is read until the process ends. (Its rusage would
    also count the launcher's earlier, larger image.)"""
    proc = subprocess.Popen(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    program = os.path.basename(command[1])[:15].encode()
    deadline = time.monotonic() + timeout
    peak = 0
    while proc.poll() is None:
        if time.monotonic() > deadline:
            proc.kill()
            proc.wait(timeout=10)
            raise AssertionError("%s did not finish within %d s" % (command[1], timeout))
        try:
            with open("/proc/%d/status" % proc.pid, "rb") as status:
                fields = dict(line.split(b":", 1) for line in status.read().splitlines() if b":" in line)
            if fields[b"Name"].strip() == program:
                peak = max(peak, int(fields[b"VmHWM"].split()[0]))
        except (OSError, KeyError, ValueError):
            pass
        time.sleep(0.005)
    return proc.returncode, peak


def measure_extractor(wine, scratch, archive, runs):
    """z.exe under Wine against unzip on Linux on the same archive and disk, and
    z.exe's peak memory on archives from a few kB to an entry over 4 GiB."""
    box = scratch / "extractor"
    box.mkdir(parents=True, exist_ok=True)
    shutil.copy(archive, box / "wkp.zip")
    wine.map_drive("e", box)
    cwd = str(wine.prefix / "drive_c")
    unpack = wine.command(wine.extractor, "-extract", "-directories", "-overwrite", "E:\\wkp.zip", "E:\\out")
    times = {"z.exe": [], "unzip": []}
    for run in range(runs):
        shutil.rmtree(box / "out", ignore_errors=True)
        start = time.monotonic()
        subprocess.run(unpack, env=wine.env, cwd=cwd, check=True, timeout=600, stdin=subprocess.DEVNULL)
        times["z.exe"].append(time.monotonic() - start)
        shutil.rmtree(box / "out", ignore_errors=True)
        start = time.monotonic()
        subprocess.run(["unzip", "-o", "-q", str(box / "wkp.zip"), "-d", str(box / "out")], check=True, timeout=600)
        times["unzip"].append(time.monotonic() - start)
        print("extractor run %d: z.exe %.2f s, unzip %.2f s" % (run + 1, times["z.exe"][-1], times["unzip"][-1]),
              flush=True)
    shutil.rmtree(box / "out", ignore_errors=True)

    memory = {}
    small = write_package(wine, box / "small")
    shutil.copy(small / "wkp.zip", box / "small.zip")
    print("Writing an archive with 4 GiB + 1 MiB of zeros ...", flush=True)
    write_zip(box / "zeros.zip", [zeros_entry("Tallywise/zeros.bin", (1 << 32) + (1 << 20))])
    for name in ("small.zip", "wkp.zip", "zeros.zip"):
        status, kib = peak_memory_kib(wine.command(wine.extractor, "-extract", "-directories", "-overwrite",
                                                   "E:\\" + name, "E:\\out"), wine.env, cwd)
        assert status == 0, name
        memory[name] = ((box / name).stat().st_size, kib)
        shutil.rmtree(box / "out", ignore_errors=True)
    wine.unmap_drive("e")
    shutil.rmtree(box, ignore_errors=True)
    return times, memory


def report_extractor(wine, times, memory, runs):
    mine, theirs = statistics.median(times["z.exe"]), statistics.median(times["unzip"])
    print()
    print("extractor, medians of %d interleaved runs on the benchmark's archive" % runs)
    print("z.exe (tallywise-extract.exe, Wine): %.2f s" % mine)
    print("unzip (Info-ZIP, Linux):             %.2f s" % theirs)
    print("z.exe / unzip:                       %.2f" % (mine / theirs))
    for name, (size, kib) in memory.items():
        print("z.exe peak memory, %-9s %9.3f MB archive: %5.1f MiB resident" % (name, size / 1e6, kib / 1024))
    print("tallywise-extract.exe size:          %d bytes" % wine.extractor.stat().st_size)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--signed-build", default=str(ROOT / "build-signed"),
                        help="a build whose package keys include tests/fixtures/signing/tool-key.txt")
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--part", choices=("all", "installer", "extractor", "release-day"), default="all",
                        help="measure only the installer, the extractor or release day")
    args = parser.parse_args()

    build = pathlib.Path(args.build).resolve()
    scratch = build / "benchmark-scratch"
    shutil.rmtree(scratch, ignore_errors=True)
    wine = Wine(build, prefix_dir=scratch)
    signed_wine = Wine(args.signed_build, prefix_dir=scratch)

    print("Writing the package ...", flush=True)
    wine.session("start")
    try:
        key = ROOT / "tests" / "fixtures" / "signing" / "tool-key.txt"
        site = local_site(wine, scratch / "site", FTP_HOST, FTP_USER, FTP_PASSWORD, large_entries(),
                          signing_key=key)
        with site as (web, ftp):
            archive = pathlib.Path(ftp.files_dir()) / "wkp.zip"
            archive_mb = archive.stat().st_size / 1e6
            if args.part in ("all", "installer"):
                env = dict(wine.env, http_proxy=web.proxy)
                times, phases = measure(wine, signed_wine, scratch, env, args.runs)
                flaky = measure_flaky_line(wine, signed_wine, scratch, env, ftp, FLAKY_DROP)
                hashing = hash_rate(wine, scratch, archive.parent)
            if args.part in ("all", "extractor"):
                extractor_times, memory = measure_extractor(wine, scratch, archive, args.runs)
        if args.part in ("all", "release-day"):
            release_day = measure_release_day(wine, scratch)
    finally:
        wine.session("stop")
    if args.part in ("all", "installer"):
        report(wine, signed_wine, times, phases, archive_mb, args.runs, flaky, hashing, FLAKY_DROP)
    if args.part in ("all", "extractor"):
        report_extractor(wine, extractor_times, memory, args.runs)
    if args.part in ("all", "release-day"):
        report_release_day(release_day)
    shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
