"""The whole installation as a user sees it: the real installer under Wine, a
distribution site on loopback, and the drive answered at the prompt."""

from conftest import FTP_USER, crlf, read_link

PROMPT = "Type the DRIVE LETTER (A-Z) and press the <ENTER KEY> on your keyboard -> "


def transcript(site, letter, downloading_failures=""):
    domain = site.wine.site["web_domain"]
    return ("Welcome to the Tallywise Home Installation Program\n\n"
            "Follow these directions to install Tallywise for Home use\n\n"
            "Select a Disk Drive that you want to install Tallywise on\n\n" + PROMPT +
            "Tallywise Folder Created Sucessfully - %s:\\Kestrow \n" % letter +
            "Downloading the Tallywise Software from %s...Please Wait\n" % domain +
            downloading_failures +
            "Uncompressing Tallywise Files to the %s:\\Kestrow folder\n" % letter +
            "\n\nCreating Desktop and Start Menu Shortcuts\n"
            "Installation is Complete...Starting Tallywise\n")


def no_access(site):
    return "Unable to access %s...check your internet connection\n" % site.wine.site["web_host"]


def expected_link(letter):
    return {"target": "%s:\\Kestrow\\Tallywise.exe" % letter, "working directory": "%s:\\Kestrow" % letter,
            "description": "Activates Tallywise on %s Drive" % letter}


def test_installation_from_prompt_to_started_application(site, wine, clean_shortcuts):
    drive = site.drive("d")
    site.start()

    run = site.installer()
    # The prompt is on the pipe before the installer waits for the answer.
    run.read_until(crlf(PROMPT), timeout=30)
    run.send(b"d\n")
    assert run.finish() == 0

    # The started application shares the console and says where it runs.
    assert run.output == crlf(transcript(site, "D") + "Tallywise started in D:\\Tallywise\n")

    # Each message reaches the pipe as it is printed, not when the installer ends.
    def arrival(text):
        return next(at for at, _ in run.arrivals if text in b"".join(c for t, c in run.arrivals if t <= at))
    assert arrival(b"Installation is Complete") - arrival(b"Uncompressing") >= 3.5

    kestrow = drive / "Kestrow"
    assert sorted(p.name for p in kestrow.iterdir()) == ["Tallywise.exe", "Tallywise.exe.lnk", "z.exe"]
    assert (kestrow / "z.exe").read_bytes() == wine.extractor.read_bytes()
    assert (kestrow / "Tallywise.exe").read_bytes() == wine.application.read_bytes()
    assert (drive / "Tallywise" / "readme.txt").read_bytes() == b"Tallywise sample data\r\n"
    assert (drive / "Tallywise" / "data" / "settings.ini").read_bytes() == b"[tallywise]\r\nmode=home\r\n" * 50

    assert site.application_log() == "command line: \\Kestrow\\Tallywise.exe\nworking directory: D:\\Tallywise\n"

    assert site.web.requests == [(wine.site["web_host"], "/meterobj1.txt", "TallywiseInstallProgram")]

    # Log in, log out, log in again; enter the login directory; two binary transfers.
    assert site.ftp.wait_closed(2)
    sessions = site.ftp.session_commands()
    assert len(sessions) == 2
    first, second = sessions.values()
    assert first == [("USER", FTP_USER), ("PASS", "****")]
    assert second[:2] == [("USER", FTP_USER), ("PASS", "****")]
    assert ("CWD", "/") in second
    retrievals = [i for i, (cmd, _) in enumerate(second) if cmd == "RETR"]
    assert [second[i][1] for i in retrievals] == ["z.exe", "wkp.zip"]
    for i in retrievals:
        types = [arg for cmd, arg in second[:i] if cmd == "TYPE"]
        assert types and types[-1] == "I"
        assert second[i - 1][0] in ("PASV", "EPSV")

    for link in (kestrow / "Tallywise.exe.lnk", wine.desktop() / "D-Tallywise.exe.lnk",
                 wine.programs() / "Brindlecove" / "D-Tallywise.exe.lnk"):
        assert read_link(link) == expected_link("D"), link


def test_extractor_is_run_with_its_command_line(site, clean_shortcuts):
    site.drive("d")
    site.extractor = site.wine.stand_in_extractor  # it reports how it was run
    site.start()
    run = site.installer()
    run.send(b"d\n")
    assert run.finish() == 0
    assert (site.logs / "extractor.log").read_text() == (
        "D:\\Kestrow\\z.exe -extract -directories -overwrite D:\\Kestrow\\wkp.zip D:\\\n")
