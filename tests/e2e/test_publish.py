"""tallywise-publish: from an application folder to a complete site folder, and
refused, with nothing written, wherever the release would go wrong."""

import os
import random
import shutil
import subprocess
import time
import zipfile

import pytest

from conftest import FTP_PASSWORD, FTP_USER, write_application
from test_extractor import tree
from test_signed_package import TOOL_KEY, sitecheck, verifies_with_tool_key

STAMP = time.mktime((2025, 6, 7, 8, 9, 10, 0, 0, -1))


def application(folder, wine):
    """The application as the user's drive root will hold it."""
    rng = random.Random(16)
    write_application(wine, folder, {
        "Tallywise/readme.txt": b"Tallywise\r\n",
        "Tallywise/data/ledger.csv": b"".join(b"2026-01-%02d,%d\r\n" % (n % 28 + 1, n) for n in range(40000)),
        "Tallywise/data/noise.bin": rng.randbytes(200000),
        "Tallywise/Caf\u00e9/men\u00fc.txt": b"caf\xc3\xa9\r\n",
    })
    (folder / "Tallywise" / "empty").mkdir()
    for path in folder.rglob("*"):
        os.utime(path, (STAMP, STAMP))
    return folder


@pytest.fixture
def box(wine, tmp_path):
    """Drive P: with the application folder in P:\\app."""
    application(tmp_path / "app", wine)
    wine.map_drive("p", tmp_path)
    yield tmp_path
    wine.unmap_drive("p")


def publish(wine, box, site="site", user=FTP_USER, password=FTP_PASSWORD, host="127.0.21.99", key=None):
    args = ["P:\\app", "P:\\" + site, user, password, host] + (["P:\\" + key] if key else [])
    result = wine.run(wine.publisher, *args, timeout=120)
    return result.returncode, result.stdout.decode("utf-8"), result.stderr.decode("utf-8")


def remove(path):
    def change(box):
        target = box / "app" / path
        shutil.rmtree(target) if target.is_dir() else target.unlink()
    return change


def add(path, folder=False):
    def change(box):
        target = box / "app" / path
        target.parent.mkdir(parents=True, exist_ok=True)
        target.mkdir() if folder else target.write_bytes(b"x")
    return change


def occupied_site(box):
    (box / "site").mkdir()
    (box / "site" / "last-release.txt").write_bytes(b"1.0")


def bad_key(box):
    (box / "key.txt").write_bytes(b"not a key\n")


REFUSED = [
    (remove("Kestrow/Tallywise.exe"), {}, "the application folder holds no Kestrow\\Tallywise.exe"),
    (remove("Tallywise"), {}, "the application folder holds no Tallywise\\ folder"),
    (add("setup.ini"), {}, "the top-level setup.ini would land at the root of the user's drive"),
    (add("Program Files", folder=True), {}, "the top-level Program Files/ would land at the root"),
    (add("Kestrow/z.exe"), {}, "the file Kestrow/z.exe would overwrite a file the installer writes"),
    (add("Kestrow/wkp.zip"), {}, "the file Kestrow/wkp.zip would overwrite"),
    (add("Kestrow/wkp.sig"), {}, "the file Kestrow/wkp.sig would overwrite"),
    (add("Kestrow/meterobj.txt"), {}, "the file Kestrow/meterobj.txt would overwrite"),
    (add("Kestrow/Tallywise.exe.lnk"), {}, "the file Kestrow/Tallywise.exe.lnk would overwrite"),
    (add("Tallywise/aux.txt"), {}, "the name Tallywise/aux.txt: reserved device name"),
    (add("Tallywise/Con/notes.txt"), {}, "the name Tallywise/Con/: reserved device name"),
    (occupied_site, {}, "the site folder exists and is not empty"),
    (None, {"user": "u" * 127}, "the FTP user cannot be stored"),
    (None, {"host": ""}, None),
    (bad_key, {"key": "key.txt"}, "the key file P:\\key.txt: is not a tallywise-sign key file"),
]


@pytest.mark.parametrize("change, args, message", REFUSED,
                         ids=lambda v: getattr(v, "__qualname__", None) if callable(v) else None)
def test_refused_release_names_the_problem_and_writes_nothing(wine, box, change, args, message):
    if change is not None:
        change(box)
    before = {str(p.relative_to(box)): p.stat().st_mtime_ns for p in box.rglob("*")}
    status, out, err = publish(wine, box, **args)
    if message is None:  # an empty host is stored: the encoder allows it, the installer then cannot log in
        assert status == 0
        return
    assert status == 1, out
    assert err.startswith("tallywise-publish: ") and message in err, err
    assert out == ""
    assert {str(p.relative_to(box)): p.stat().st_mtime_ns for p in box.rglob("*")} == before


def test_same_application_gives_the_same_archive(wine, box):
    assert publish(wine, box, site="first")[0] == 0
    assert publish(wine, box, site="second")[0] == 0
    for name in ("ftp/wkp.zip", "ftp/z.exe", "web/meterobj1.txt"):
        assert (box / "first" / name).read_bytes() == (box / "second" / name).read_bytes(), name
    assert (box / "first" / "ftp" / "z.exe").read_bytes() == wine.extractor.read_bytes()
    assert sorted(p.name for p in (box / "first" / "ftp").iterdir()) == ["wkp.zip", "z.exe"]


def test_archive_unpacks_byte_for_byte_with_every_reader(wine, box):
    status, out, _ = publish(wine, box)
    assert status == 0, out
    archive = box / "site" / "ftp" / "wkp.zip"
    expected = tree(box / "app")
    with zipfile.ZipFile(archive) as made:
        infos = {i.filename: i for i in made.infolist()}
        assert [i.filename for i in made.infolist()] == sorted(infos)  # sorted entries
        assert infos["Tallywise/data/ledger.csv"].compress_type == zipfile.ZIP_DEFLATED
        assert infos["Tallywise/data/noise.bin"].compress_type == zipfile.ZIP_STORED  # deflate cannot shrink it
        assert infos["Tallywise/Caf\u00e9/men\u00fc.txt"].flag_bits & 0x800
        made.extractall(box / "python")
    assert tree(box / "python") == expected

    subprocess.run(["unzip", "-q", str(archive), "-d", str(box / "infozip")], check=True, timeout=60)
    assert tree(box / "infozip") == expected
    assert abs((box / "infozip" / "Tallywise" / "readme.txt").stat().st_mtime - STAMP) <= 1

    result = wine.run(wine.extractor, "-extract", "-directories", "-overwrite", "P:\\site\\ftp\\wkp.zip",
                      "P:\\ours")
    assert (result.returncode, result.stderr) == (0, b"")
    assert tree(box / "ours") == expected
    assert "not signed" in out.splitlines()[0]


def test_signed_release_passes_the_site_check_and_openssl(signed_site, box):
    shutil.copy(TOOL_KEY, box / "key.txt")
    status, out, err = publish(signed_site.wine, box, host=signed_site.host, key="key.txt")
    assert status == 0, err
    assert "signed" in out.splitlines()[0] and "not signed" not in out.splitlines()[0]
    published = box / "site"
    assert verifies_with_tool_key(box, (published / "ftp" / "wkp.sig").read_text())

    os.makedirs(signed_site.ftp.files_dir(), exist_ok=True)
    for name in ("z.exe", "wkp.zip", "wkp.sig"):
        shutil.copy(published / "ftp" / name, os.path.join(signed_site.ftp.files_dir(), name))
    signed_site.web.body = (published / "web" / "meterobj1.txt").read_bytes()
    signed_site.web.start()
    signed_site.ftp.start()
    status, report = sitecheck(signed_site)
    assert status == 0, report
    assert "wkp.zip matches wkp.sig" in report


def test_file_over_4_gib_gets_zip64_records(wine, box):
    # Sparse on disk: 4 GiB of zeros and a little more.
    size = (1 << 32) + 4096
    with open(box / "app" / "Tallywise" / "zeros.bin", "wb") as zeros:
        zeros.truncate(size)
    status, out, err = publish(wine, box)
    assert status == 0, err
    archive = box / "site" / "ftp" / "wkp.zip"
    with zipfile.ZipFile(archive) as made:
        assert made.getinfo("Tallywise/zeros.bin").file_size == size
    # Another reader checks every entry's CRC-32.
    tested = subprocess.run(["unzip", "-tq", str(archive)], capture_output=True, text=True, timeout=300)
    assert tested.returncode == 0, tested.stdout
