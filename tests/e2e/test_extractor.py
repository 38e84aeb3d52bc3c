"""The extractor a site serves as z.exe, run under Wine: archives that other
tools made, hostile and damaged archives written byte by byte, and zip64."""

import os
import random
import shutil
import struct
import subprocess
import sys
import time
import zipfile

import pytest

from conftest import ROOT

sys.path.insert(0, str(ROOT / "tools"))
from ziplab import Entry, write_zip, zeros_entry  # noqa: E402

STAMP = time.mktime((2024, 3, 5, 10, 20, 30, 0, 0, -1))  # even seconds: DOS times keep them
SAFE = [Entry("Tallywise/safe.txt", b"safe\r\n"), Entry("Tallywise/a..b.txt", b"dots inside\r\n"),
        Entry("Tallywise/..hidden", b"leading dots\r\n")]


def sample_tree(folder):
    """Folders, an empty folder, a large compressible file, an incompressible one, non-ASCII names."""
    rng = random.Random(14)
    files = {
        "Kestrow/Tallywise.exe": b"MZ" + bytes(rng.getrandbits(8) for _ in range(3000)),
        "Tallywise/readme.txt": b"Tallywise sample data\r\n",
        "Tallywise/data/ledger.csv": b"".join(b"2026-12-%02d,household,%d.50\r\n" % (d % 28 + 1, d)
                                              for d in range(60000)),
        "Tallywise/data/noise.bin": rng.randbytes(300000),
        "Tallywise/Caf\u00e9/men\u00fc.txt": "caf\u00e9\r\n".encode("utf-8"),
        "Tallywise/\u65e5\u672c/\u30c7\u30fc\u30bf.txt": "\u65e5\u672c\r\n".encode("utf-8"),
    }
    for name, data in files.items():
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    (folder / "Tallywise" / "empty").mkdir()
    for path in folder.rglob("*"):
        os.utime(path, (STAMP, STAMP))
    return folder


def tree(folder):
    """{relative path: bytes, or None for a folder} of everything below `folder`."""
    return {str(p.relative_to(folder)): None if p.is_dir() else p.read_bytes() for p in folder.rglob("*")}


def snapshot(folder):
    return {str(p.relative_to(folder)): (None if p.is_dir() else p.read_bytes(), p.stat().st_mtime_ns)
            for p in folder.rglob("*")}


@pytest.fixture
def box(wine, tmp_path):
    """Drive X: mapped to a scratch folder holding the archive and the destination."""
    wine.map_drive("x", tmp_path)
    yield tmp_path
    wine.unmap_drive("x")


def extract(wine, box, archive="a.zip", destination="dest", args=None):
    """Runs z.exe from drive X:; returns (status, stderr lines)."""
    args = args or ["-extract", "-directories", "-overwrite", "X:\\" + archive, "X:\\" + destination]
    result = wine.run(wine.extractor, *args, cwd=box, timeout=600)
    assert result.stdout == b""
    return result.returncode, result.stderr.decode("utf-8").splitlines()


def local_extra(raw, info):
    name_length, extra_length = struct.unpack_from("<HH", raw, info.header_offset + 26)
    start = info.header_offset + 30 + name_length
    return raw[start:start + extra_length]


def extra_ids(extra):
    ids = []
    while len(extra) >= 4:
        block, size = struct.unpack_from("<HH", extra)
        ids.append(block)
        extra = extra[4 + size:]
    return ids


def python_archive(kind):
    def make(source, archive):
        with zipfile.ZipFile(archive, "w") as out:
            for path in sorted(source.rglob("*")):
                name = str(path.relative_to(source)) + ("/" if path.is_dir() else "")
                info = zipfile.ZipInfo.from_file(path, name)
                if path.is_dir():
                    out.writestr(info, b"")
                    continue
                info.compress_type = zipfile.ZIP_STORED if kind == "stored" else zipfile.ZIP_DEFLATED
                with out.open(info, "w", force_zip64=kind == "zip64") as entry:
                    entry.write(path.read_bytes())
    return make


def command_archive(*command, pipe=False):
    def make(source, archive):
        if pipe:  # to a pipe: no seeking back, so sizes follow the data in descriptors
            with open(archive, "wb") as out:
                zipper = subprocess.Popen(list(command), cwd=source, stdout=subprocess.PIPE)
                shutil.copyfileobj(zipper.stdout, out)
                assert zipper.wait(timeout=120) == 0
        else:
            subprocess.run([c.replace("ARCHIVE", str(archive)) for c in command], cwd=source, check=True,
                           capture_output=True, timeout=120)
    return make


ARCHIVERS = {
    "info-zip": command_archive("zip", "-qr", "ARCHIVE", "Kestrow", "Tallywise"),
    "info-zip zip64": command_archive("zip", "-qr", "-fz", "ARCHIVE", "Kestrow", "Tallywise"),
    "info-zip streamed": command_archive("zip", "-qr", "-", "Kestrow", "Tallywise", pipe=True),
    "python stored": python_archive("stored"),
    "python deflated": python_archive("deflated"),
    "python zip64": python_archive("zip64"),
    "7-zip": command_archive("7zz", "a", "-tzip", "-bd", "ARCHIVE", "Kestrow", "Tallywise"),
    "bsdtar": command_archive("bsdtar", "--format", "zip", "-cf", "ARCHIVE", "Kestrow", "Tallywise"),
}


@pytest.mark.parametrize("archiver", list(ARCHIVERS))
def test_archives_other_tools_made_unpack_to_the_same_tree(wine, box, archiver):
    source = sample_tree(box / "source")
    ARCHIVERS[archiver](source, box / "a.zip")
    with zipfile.ZipFile(box / "a.zip") as made:
        infos = made.infolist()
    if archiver == "info-zip streamed":
        assert any(i.flag_bits & 0x08 for i in infos), "no data descriptors to read"
    if "zip64" in archiver:
        raw = (box / "a.zip").read_bytes()
        assert any(1 in extra_ids(local_extra(raw, i)) for i in infos), "no zip64 records to read"

    status, errors = extract(wine, box)
    assert (status, errors) == (0, [])
    assert tree(box / "dest") == tree(source)
    for path in (box / "dest").rglob("*"):
        if path.is_file():
            assert abs(path.stat().st_mtime - STAMP) <= 2, path


def symbolic_link():
    return Entry("Tallywise/link", b"../../outside/keep.txt", method=0, external=0o120777 << 16)


@pytest.mark.parametrize("hostile", [
    Entry("/evil.txt", b"x"),
    Entry("\\evil.txt", b"x"),
    Entry("X:/evil.txt", b"x"),
    Entry("X:evil.txt", b"x"),
    Entry("../evil.txt", b"x"),
    Entry("Tallywise/../../evil.txt", b"x"),
    Entry("..\\outside\\keep.txt", b"x"),
    Entry("Tallywise/keep.txt:stream", b"x"),
    Entry("Tallywise/CON", b"x"),
    Entry("Tallywise/nul.txt", b"x"),
    Entry("Tallywise/Com1.log", b"x"),
    Entry("Tallywise/lpt9", b"x"),
    Entry("AUX/inside.txt", b"x"),
    Entry("Tallywise/ends-in-a-dot.", b"x"),
    Entry("Tallywise/ends-in-a-blank ", b"x"),
    Entry("Tallywise/folder./inside.txt", b"x"),
    Entry(b"Tallywise/bell\x07.txt", b"x"),
    Entry(b"Tallywise/nul\x00byte.txt", b"x"),
    Entry(b"Tallywise/delete\x7f.txt", b"x"),
    symbolic_link(),
], ids=lambda e: repr(e.name.decode("latin-1")))
def test_hostile_names_are_refused_and_the_rest_unpacked(wine, box, hostile):
    outside = box / "outside"
    outside.mkdir()
    (outside / "keep.txt").write_bytes(b"keep\r\n")
    write_zip(box / "a.zip", [SAFE[0], hostile] + SAFE[1:])
    before = snapshot(box)

    status, errors = extract(wine, box)
    assert status == 1
    shown = hostile.name.decode("latin-1").translate({c: "?" for c in list(range(32)) + [127]})
    assert len(errors) == 1 and errors[0].startswith("z.exe: %s: refused: " % shown), errors
    assert tree(box / "dest") == {"Tallywise": None, "Tallywise/safe.txt": b"safe\r\n",
                                  "Tallywise/a..b.txt": b"dots inside\r\n", "Tallywise/..hidden": b"leading dots\r\n"}
    after = snapshot(box)
    assert {k: v for k, v in after.items() if not k.startswith("dest")} == before


@pytest.mark.parametrize("destination, folder", [("", "."), ("new\\deeper", "new/deeper")])
def test_unpacks_at_a_drive_root_or_into_a_new_folder(wine, box, destination, folder):
    write_zip(box / "a.zip", SAFE)
    assert extract(wine, box, destination=destination) == (0, [])
    assert (box / folder / "Tallywise" / "safe.txt").read_bytes() == b"safe\r\n"


def test_names_are_read_as_their_archiver_meant(wine, box):
    write_zip(box / "a.zip", [
        Entry("flagged/caf\u00e9.txt", b"1", flags=0x0800),
        Entry("unix/\u65e5\u672c.txt", b"2", flags=0),  # Info-ZIP on Linux: UTF-8, unmarked
        Entry(b"dos/\x82t\x82.txt", b"3", flags=0, made_by=20),  # code page 437: \x82 is e-acute
        Entry(b"unix/not-utf8-\x82.txt", b"4", flags=0),  # invalid UTF-8 from Unix: code page 437
        Entry("back\\slash\\file.txt", b"5"),
    ])
    assert extract(wine, box) == (0, [])
    assert tree(box / "dest") == {
        "flagged": None, "flagged/caf\u00e9.txt": b"1", "unix": None, "unix/\u65e5\u672c.txt": b"2",
        "dos": None, "dos/\u00e9t\u00e9.txt": b"3", "unix/not-utf8-\u00e9.txt": b"4",
        "back": None, "back/slash": None, "back/slash/file.txt": b"5"}


def existing(box):
    """An earlier version of the entries' files, one of them read-only."""
    folder = box / "dest" / "Tallywise"
    folder.mkdir(parents=True)
    (folder / "safe.txt").write_bytes(b"old safe\r\n")
    (folder / "victim.txt").write_bytes(b"old victim\r\n")
    os.chmod(folder / "victim.txt", 0o444)
    return folder


def test_existing_files_are_replaced_read_only_ones_included(wine, box):
    folder = existing(box)
    write_zip(box / "a.zip", [Entry("Tallywise/safe.txt", b"new safe"), Entry("Tallywise/victim.txt", b"new")])
    assert extract(wine, box) == (0, [])
    assert (folder / "safe.txt").read_bytes() == b"new safe"
    assert (folder / "victim.txt").read_bytes() == b"new"


def test_file_in_use_is_reported_and_left_as_it_was(wine, box):
    # The running extractor itself: Windows, and Wine, will not replace a running program.
    kestrow = box / "dest" / "Kestrow"
    kestrow.mkdir(parents=True)
    shutil.copy(wine.extractor, kestrow / "z.exe")
    write_zip(box / "a.zip", [Entry("Kestrow/z.exe", b"another extractor")] + SAFE)
    result = wine.run(kestrow / "z.exe", "-extract", "-directories", "-overwrite", "X:\\a.zip", "X:\\dest", cwd=box)
    assert result.returncode == 1
    assert result.stderr.decode().startswith(
        "z.exe: Kestrow/z.exe: the existing file cannot be replaced and was left as it was (error ")
    assert (kestrow / "z.exe").read_bytes() == wine.extractor.read_bytes()
    assert [p.name for p in kestrow.iterdir()] == ["z.exe"]
    assert (box / "dest" / "Tallywise" / "safe.txt").read_bytes() == b"safe\r\n"


def test_later_entry_of_the_same_name_wins(wine, box):
    write_zip(box / "a.zip", [Entry("Tallywise/same.txt", b"first"), Entry("Tallywise/same.txt", b"second")])
    assert extract(wine, box) == (0, [])
    assert (box / "dest" / "Tallywise" / "same.txt").read_bytes() == b"second"


def test_a_folder_in_the_way_is_reported(wine, box):
    (box / "dest" / "Tallywise" / "victim.txt").mkdir(parents=True)
    write_zip(box / "a.zip", [Entry("Tallywise/victim.txt", b"new")] + SAFE)
    status, errors = extract(wine, box)
    assert status == 1
    assert len(errors) == 1 and errors[0].startswith("z.exe: Tallywise/victim.txt: a folder of that name is in the way")
    assert (box / "dest" / "Tallywise" / "safe.txt").exists()


BOMB = zeros_entry("Tallywise/victim.txt", 50 << 20)
BOMB.size = 1000

CORRUPT_ENTRIES = {
    "crc mismatch": (Entry("Tallywise/victim.txt", b"new data", crc=0x12345678), "CRC-32 mismatch"),
    "declared size too small": (Entry("Tallywise/victim.txt", b"new data" * 100, size=700),
                                "the data is longer than its declared size"),
    "declared size too large": (Entry("Tallywise/victim.txt", b"new data" * 100, size=900),
                                "the data is shorter than its declared size"),
    "stored sizes disagree": (Entry("Tallywise/victim.txt", b"new data", method=0, size=9),
                              "the data is shorter than its declared size"),
    "zip bomb": (BOMB, "the data is longer than its declared size"),
    "damaged deflate data": (Entry("Tallywise/victim.txt", b"", payload=b"\xff" * 40, size=100, crc=0),
                             "the compressed data is damaged or cut short"),
    "deflate64": (Entry("Tallywise/victim.txt", b"new", method=9, payload=b"\0" * 8),
                  "compression method 9 (deflate64) is not supported"),
    "bzip2": (Entry("Tallywise/victim.txt", b"new", method=12, payload=b"\0" * 8),
              "compression method 12 (bzip2) is not supported"),
    "encrypted": (Entry("Tallywise/victim.txt", b"new", flags=0x0001), "encrypted entries are not supported"),
}


@pytest.mark.parametrize("case", list(CORRUPT_ENTRIES))
def test_entry_that_fails_leaves_the_old_file_and_no_temporary(wine, box, case):
    folder = existing(box)
    entry, message = CORRUPT_ENTRIES[case]
    write_zip(box / "a.zip", [entry] + SAFE)
    started = time.monotonic()
    status, errors = extract(wine, box)
    assert (status, errors) == (1, ["z.exe: Tallywise/victim.txt: " + message])
    assert (folder / "victim.txt").read_bytes() == b"old victim\r\n"
    assert sorted(p.name for p in folder.iterdir()) == sorted(["victim.txt", "safe.txt", "a..b.txt", "..hidden"])
    assert (folder / "safe.txt").read_bytes() == b"safe\r\n"
    if case == "zip bomb":
        assert time.monotonic() - started < 20


def good_archive(box):
    return write_zip(box / "a.zip", [Entry("Tallywise/victim.txt", b"new")] + SAFE).read_bytes()


def truncated(box):
    (box / "a.zip").write_bytes(good_archive(box)[:-30])


def directory_cut_short(box):
    data = bytearray(good_archive(box))
    end = data.rfind(b"PK\x05\x06")
    data[end + 8:end + 12] = (9).to_bytes(2, "little") * 2  # more entries than the directory holds
    (box / "a.zip").write_bytes(bytes(data))


def directory_past_the_end(box):
    data = bytearray(good_archive(box))
    end = data.rfind(b"PK\x05\x06")
    data[end + 16:end + 20] = (len(data) + 100).to_bytes(4, "little")
    (box / "a.zip").write_bytes(bytes(data))


def not_a_zip(box):
    (box / "a.zip").write_bytes(b"this is a text file, not an archive\r\n" * 10)


def missing(box):
    pass


@pytest.mark.parametrize("breakage, message", [
    (truncated, "truncated: no complete end record"),
    (directory_cut_short, "truncated: the central directory is cut short"),
    (directory_past_the_end, "the central directory points outside the file"),
    (not_a_zip, "not a zip archive"),
    (missing, "not found"),
])
def test_unreadable_archive_changes_nothing(wine, box, breakage, message):
    folder = existing(box)
    breakage(box)
    before = snapshot(box)
    assert extract(wine, box) == (2, ["z.exe: X:\\a.zip: " + message])
    assert snapshot(box) == before
    assert sorted(p.name for p in folder.iterdir()) == ["safe.txt", "victim.txt"]


@pytest.mark.parametrize("args", [[], ["-extract", "X:\\a.zip", "X:\\dest"],
                                  ["-extract", "-directories", "-overwrite", "X:\\a.zip"],
                                  ["-extract", "-directories", "-overwrite", "X:\\a.zip", "X:\\dest", "more"],
                                  ["-x", "-directories", "-overwrite", "X:\\a.zip", "X:\\dest"]])
def test_other_command_lines_get_the_usage_line(wine, box, args):
    good_archive(box)
    result = wine.run(wine.extractor, *args, cwd=box)
    assert result.returncode == 2
    assert result.stderr == b"usage: z.exe -extract -directories -overwrite ARCHIVE DESTINATION\n"
    assert not (box / "dest").exists()


def test_archive_past_4_gib_with_zip64_offsets(wine, box):
    # A 4.5 GiB hole in front (sparse on disk) puts every header past 4 GiB.
    write_zip(box / "a.zip", SAFE, stub=(9 << 29))
    assert (box / "a.zip").stat().st_size > 1 << 32
    assert extract(wine, box) == (0, [])
    assert tree(box / "dest") == {"Tallywise": None, "Tallywise/safe.txt": b"safe\r\n",
                                  "Tallywise/a..b.txt": b"dots inside\r\n", "Tallywise/..hidden": b"leading dots\r\n"}


def test_entry_over_4_gib(wine, box):
    size = (1 << 32) + 12345
    write_zip(box / "a.zip", [zeros_entry("Tallywise/zeros.bin", size), SAFE[0]])
    assert (box / "a.zip").stat().st_size < 64 << 20
    try:
        assert extract(wine, box) == (0, [])
        out = box / "dest" / "Tallywise" / "zeros.bin"
        assert out.stat().st_size == size  # its CRC-32 was checked on the way
        with open(out, "rb") as f:
            f.seek(size - 4096)
            assert f.read() == bytes(4096)
    finally:
        shutil.rmtree(box / "dest", ignore_errors=True)


def test_more_than_65535_entries(wine, box):
    # Spread over nested folders: Wine slows down with many names in one folder.
    entries = [Entry("Tallywise/%03d/%03d/%d.txt" % (n // 10000, n // 100 % 100, n), b"%d\r\n" % n, method=0)
               for n in range(65600)]
    write_zip(box / "a.zip", entries)
    with zipfile.ZipFile(box / "a.zip") as made:
        assert len(made.infolist()) == 65600
    assert extract(wine, box) == (0, [])
    written = [p for p in (box / "dest").rglob("*.txt")]
    assert len(written) == 65600
    assert (box / "dest" / "Tallywise" / "006" / "055" / "65599.txt").read_bytes() == b"65599\r\n"
