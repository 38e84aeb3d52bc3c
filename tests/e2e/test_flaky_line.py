"""Large packages on a line that drops: a build with package keys continues
where each transfer stopped and checks the whole; a build without keys keeps
its behaviour and copies both files from the first byte on every attempt. On a
console, a progress line shows each transfer and is gone afterwards."""

import os
import shutil
import zipfile

import pytest

from conftest import crlf, write_package
from test_driver import GREETING, SELECT
from test_installation import PROMPT, no_access, transcript
from test_signed_package import STARTED, TOOL_KEY, start_signed

DROP_EVERY = 8 << 20


@pytest.fixture(scope="module")
def large():
    """64 MiB that deflate cannot shrink: the archive is as large."""
    return os.urandom(64 << 20)


def large_site(site, large, **extractor):
    site.extra = [("Tallywise/data/large.bin", large, zipfile.ZIP_STORED)]
    site.extractor = extractor.get("extractor")
    return site


def archive_size(site):
    return os.path.getsize(os.path.join(site.ftp.files_dir(), "wkp.zip"))


def archive_retrievals(site):
    return [(rest, sent, done) for name, rest, sent, done in site.ftp.retrievals if name == "wkp.zip"]


def install(site, timeout=600):
    run = site.installer()
    run.read_until(crlf(PROMPT), timeout=30)
    run.send(b"d\n")
    return run, run.finish(timeout=timeout)


@pytest.mark.parametrize("mode", ["reset", "close"])
def test_signed_build_continues_each_transfer_where_it_stopped(signed_site, large, mode, clean_shortcuts):
    drive = signed_site.drive("d")
    large_site(signed_site, large, extractor=signed_site.wine.stand_in_extractor)
    start_signed(signed_site)
    signed_site.ftp.cuts = {"wkp.zip": [DROP_EVERY, -1, mode]}

    run, status = install(signed_site)

    assert status == 0
    transfers = archive_retrievals(signed_site)
    size = archive_size(signed_site)
    attempts = len(transfers)
    assert attempts >= size // DROP_EVERY
    # Each attempt continues at the byte where the one before stopped.
    assert [rest for rest, _, _ in transfers] == [sum(sent for _, sent, _ in transfers[:i]) for i in range(attempts)]
    assert signed_site.ftp.served("wkp.zip") <= 1.1 * size
    assert run.output == crlf(transcript(signed_site, "D", no_access(signed_site) * (attempts - 1)) + STARTED)
    # The extractor ran once, on the verified archive.
    assert (signed_site.logs / "extractor.log").read_text().count("\n") == 1
    assert (drive / "Tallywise" / "data" / "large.bin").read_bytes() == large
    assert not (drive / "Kestrow" / "wkp.sig").exists()


@pytest.mark.parametrize("mode", ["reset", "close"])
def test_unsigned_build_copies_from_the_first_byte_on_every_attempt(site, large, mode, clean_shortcuts):
    drive = site.drive("d")
    large_site(site, large)
    site.start()
    # Three attempts on the dropping line, then it is repaired.
    site.ftp.cuts = {"wkp.zip": [DROP_EVERY, 3, mode]}

    run, status = install(site)

    assert status == 0
    transfers = archive_retrievals(site)
    assert [(rest, done) for rest, _, done in transfers] == [(0, False)] * 3 + [(0, True)]
    assert all(sent == DROP_EVERY for _, sent, _ in transfers[:3])
    # Per file on the wire, as ever: TYPE, PASV, RETR; no SIZE, no REST.
    assert not [cmd for _, cmd, _ in site.ftp.commands if cmd in ("SIZE", "REST")]
    assert [name for _, cmd, name in site.ftp.commands if cmd == "RETR"] == ["z.exe", "wkp.zip"] * 4
    assert run.output == crlf(transcript(site, "D", no_access(site) * 3) + "Tallywise started in D:\\Tallywise\n")
    assert (drive / "Tallywise" / "data" / "large.bin").read_bytes() == large


def test_release_swapped_between_attempts_installs_the_new_one_unmixed(signed_site, large, tmp_path,
                                                                      clean_shortcuts):
    drive = signed_site.drive("d")
    large_site(signed_site, large)
    start_signed(signed_site)
    signed_site.ftp.cuts = {"wkp.zip": [DROP_EVERY, 1, "close"]}
    # The next release, made and signed beside the site.
    newer = large[::-1]
    release = tmp_path / "release-2"
    shutil.copytree(signed_site.ftp.files_dir(), release)
    write_package(signed_site.wine, release, extra=[("Tallywise/data/large.bin", newer, zipfile.ZIP_STORED),
                                                    ("Tallywise/release.txt", b"2", zipfile.ZIP_STORED)])
    signed_site.wine.sign_package(TOOL_KEY, release)

    run = signed_site.installer()
    run.send(b"d\n")
    run.read_until(crlf(no_access(signed_site)), timeout=120)
    # Published the way the guide says: the signature file first.
    for name in ("wkp.sig", "z.exe", "wkp.zip"):
        os.replace(release / name, os.path.join(signed_site.ftp.files_dir(), name))
    assert run.finish(timeout=300) == 0

    assert [(rest, done) for rest, _, done in archive_retrievals(signed_site)] == [(0, False), (0, True)]
    assert (drive / "Tallywise" / "release.txt").read_bytes() == b"2"
    assert (drive / "Tallywise" / "data" / "large.bin").read_bytes() == newer


def test_progress_line_at_a_console_is_gone_afterwards(signed_site, large, clean_shortcuts):
    signed_site.drive("d")
    large_site(signed_site, large)
    start_signed(signed_site)
    size = archive_size(signed_site)
    # The archive comes in two pieces. Wine's console draws the screen when it
    # gets to it, so the line must stand still long enough to be drawn: a
    # first pause makes the installer show it, a second holds it there.
    signed_site.ftp.cuts = {"wkp.zip": [size // 2, 1, "close"]}
    signed_site.ftp.stalls = {"wkp.zip": [[1 << 20, 0.5], [2 << 20, 2.0]]}
    run = signed_site.console_installer()
    run.wait_for(PROMPT.rstrip(), timeout=30)
    run.type(b"d\r")
    assert run.finish(timeout=300) == 0
    assert signed_site.application_log() is not None
    run.read_for(1)

    total = "of %d.%d MB  " % (size // 1000000, size // 100000 % 10)
    # Wine's console renders the rewritten line its own way; what it showed is in the raw stream.
    assert b"wkp.zip  " in run.raw and total.encode() in run.raw
    typed = (GREETING + SELECT + PROMPT + "d\n" + transcript(signed_site, "D", no_access(signed_site)).split(PROMPT)[1]
             + STARTED)
    assert run.text() == "\n".join(line.rstrip() for line in typed.split("\n")).rstrip("\n")
