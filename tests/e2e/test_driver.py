"""What the installer does before and around the download, as the real executable."""

import zipfile

import pefile

from conftest import crlf, write_package
from test_installation import PROMPT, transcript

GREETING = ("Welcome to the Tallywise Home Installation Program\n\n"
            "Follow these directions to install Tallywise for Home use\n\n")
SELECT = "Select a Disk Drive that you want to install Tallywise on\n\n"
NO_LETTER = "\nNo drive letter was given; nothing was installed.\n"


def test_manifest_asks_for_no_elevation(wine):
    pe = pefile.PE(str(wine.installer))
    manifests = [entry for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries
                 if entry.id == pefile.RESOURCE_TYPE["RT_MANIFEST"]]
    assert len(manifests) == 1
    data_entry = manifests[0].directory.entries[0].directory.entries[0].data.struct
    manifest = pe.get_data(data_entry.OffsetToData, data_entry.Size).decode("utf-8")
    assert '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' in manifest
    # Self-contained: only system DLLs are imported.
    imports = sorted(entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT)
    assert imports == ["kernel32.dll", "msvcrt.dll", "ole32.dll", "shell32.dll", "wininet.dll"]


def test_end_of_input_at_the_prompt_installs_nothing(site):
    drive = site.drive("d")
    run = site.installer()
    run.send(b"1")
    assert run.finish(timeout=30) == 1
    assert run.output == crlf(GREETING + SELECT + PROMPT + PROMPT + NO_LETTER)
    assert list(drive.iterdir()) == []


def test_folder_that_cannot_be_created_asks_again(site):
    # Drive Q has no mapping: its folder cannot be created.
    site.wine.unmap_drive("q")
    site.start()
    drive = site.drive("d")
    run = site.installer()
    run.send(b"q\nd\n")
    assert run.finish() == 0
    failed = "\nUnable to Create the Q:\\Kestrow Folder, Disk is probably protected\n"
    expected = transcript(site, "D").replace(PROMPT, PROMPT + failed + SELECT + PROMPT + PROMPT, 1)
    assert run.output.startswith(crlf(expected))
    assert (drive / "Kestrow" / "Tallywise.exe").exists()


def test_existing_install_folder_is_installed_over(site, clean_shortcuts):
    drive = site.drive("e")
    (drive / "Kestrow").mkdir()
    (drive / "Kestrow" / "Tallywise.exe").write_bytes(b"an older version")
    site.start()
    run = site.installer()
    run.send(b"e\n")
    assert run.finish() == 0
    assert run.output.startswith(crlf(transcript(site, "E")))
    assert (drive / "Kestrow" / "Tallywise.exe").read_bytes() == site.wine.application.read_bytes()


def test_extraction_that_installs_nothing_keeps_the_archive(site, wine, clean_shortcuts):
    drive = site.drive("d")
    site.start(with_application=False)
    run = site.installer()
    run.send(b"d\n")
    assert run.finish() == 2

    expected = transcript(site, "D").split("\n\nCreating Desktop")[0] + (
        "\nTallywise could not be unpacked: D:\\Kestrow\\Tallywise.exe is missing."
        " The downloaded archive is kept in the D:\\Kestrow folder.\n")
    assert run.output == crlf(expected)
    assert sorted(p.name for p in (drive / "Kestrow").iterdir()) == ["wkp.zip", "z.exe"]
    assert not (wine.desktop() / "D-Tallywise.exe.lnk").exists()
    assert site.application_log(timeout=1) is None


def test_application_that_cannot_start_is_reported(site, clean_shortcuts):
    site.drive("d")
    site.start()
    # An archive whose application is no program at all.
    write_package(site.wine, site.ftp.files_dir(), with_application=False,
                  extra=[("Kestrow/Tallywise.exe", b"this is not a program\r\n", zipfile.ZIP_STORED)])
    run = site.installer()
    run.send(b"d\n")
    assert run.finish() == 3
    assert run.output.startswith(crlf(transcript(site, "D") + "Unable to start D:\\Kestrow\\Tallywise.exe (error "))
    assert site.application_log(timeout=1) is None


def test_dialogue_typed_piece_by_piece_is_judged_as_it_arrives(site):
    """Each piece is sent only once the screen shows what it must: a character
    held back by a read-ahead leaves the expected text missing and fails here."""
    site.wine.unmap_drive("q")
    site.start()
    drive = site.drive("d")
    run = site.installer()
    failed = "\nUnable to Create the Q:\\Kestrow Folder, Disk is probably protected\n"
    steps = [
        (b"", GREETING + SELECT + PROMPT),
        (b"1", GREETING + SELECT + PROMPT + PROMPT),
        # The line end that followed the q is judged in the next pass: two prompts, then the wait.
        (b"q\n", GREETING + SELECT + PROMPT + PROMPT + failed + SELECT + PROMPT + PROMPT),
    ]
    for piece, screen in steps:
        run.send(piece)
        run.read_until(crlf(screen), timeout=20)
        run.read_for(0.5)
        assert run.output == crlf(screen), piece
    run.send(b"d\n")
    run.read_until(crlf("Tallywise Folder Created Sucessfully - D:\\Kestrow \n"), timeout=20)
    assert run.finish() == 0
    assert (drive / "Kestrow" / "Tallywise.exe").exists()


def test_dialogue_at_a_console_gives_the_transcript(site, clean_shortcuts):
    site.wine.unmap_drive("q")
    site.start()
    site.drive("d")
    run = site.console_installer()
    failed = "\nUnable to Create the Q:\\Kestrow Folder, Disk is probably protected\n"
    run.wait_for(PROMPT.rstrip(), timeout=30)
    # A terminal sends CR for Enter; the console echoes what is typed.
    run.type(b"q\r")
    run.wait_for(SELECT.rstrip() + "\n\n" + (PROMPT + PROMPT).rstrip(), timeout=20)
    run.type(b"d\r")
    assert run.finish() == 0
    assert site.application_log() is not None
    run.read_for(1)
    typed = (GREETING + SELECT + PROMPT + "q\n" + failed + SELECT + PROMPT + PROMPT + "d\n" +
             transcript(site, "D").split(PROMPT)[1] + "Tallywise started in D:\\Tallywise\n")
    assert run.text() == "\n".join(line.rstrip() for line in typed.split("\n")).rstrip("\n")
