"""Logging in to the FTP server and copying the package through a bad network."""

from conftest import crlf
from test_installation import no_access, transcript

NOT_ONLINE = "You Are not Connected to the Internet\nYou are NOT ONLINE\n"


def commands(site, name):
    return [(session, arg) for session, cmd, arg in site.ftp.commands if cmd == name]


def test_rejected_logins_are_retried_with_a_fresh_configuration(site):
    drive = site.drive("d")
    site.start()
    site.ftp.reject_logins = 2
    run = site.installer()
    run.send(b"d\n")
    assert run.finish() == 0

    assert run.output.startswith(crlf(transcript(site, "D", NOT_ONLINE * 2)))
    # Each attempt reads the configuration again before its login.
    assert [path for _, path, _ in site.web.requests] == ["/meterobj1.txt"] * 3
    assert len(commands(site, "PASS")) == 4  # two rejected, then log in, out and in again
    assert (drive / "Kestrow" / "Tallywise.exe").exists()

    # A rejected login waits 4 s, then the driver 1 s, before the next attempt.
    at = [t for t, chunk in run.arrivals if b"NOT ONLINE" in chunk]
    assert len(at) == 2 and at[1] - at[0] >= 4.5


def test_broken_and_missing_transfers_are_fetched_again_whole(site, wine):
    drive = site.drive("d")
    site.start()
    site.ftp.broken = {"z.exe": 1}
    site.ftp.missing = {"wkp.zip": 1}
    run = site.installer()
    run.send(b"d\n")
    assert run.finish() == 0

    assert run.output.startswith(crlf(transcript(site, "D", no_access(site) * 2)))
    assert [arg for _, arg in commands(site, "RETR")] == ["z.exe", "z.exe", "wkp.zip", "z.exe", "wkp.zip"]
    assert (drive / "Kestrow" / "z.exe").read_bytes() == wine.extractor.read_bytes()
    assert (drive / "Kestrow" / "Tallywise.exe").read_bytes() == wine.application.read_bytes()
    # After a failed transfer the next configuration request goes out on the
    # session the FTP login left open.
    assert [agent for _, _, agent in site.web.requests] == [
        "TallywiseInstallProgram", "TallywiseInstallation", "TallywiseInstallation"]
    # Every session ends, the left-over ones at the latest with the installer.
    sessions = len(site.ftp.session_commands())
    assert sessions == 6
    assert site.ftp.wait_closed(sessions)


def test_login_directory_is_entered_with_a_slash(site):
    drive = site.drive("d")
    site.ftp.login_directory = "/pub"
    site.start()
    run = site.installer()
    run.send(b"d\n")
    assert run.finish() == 0
    assert [arg for _, arg in commands(site, "CWD")] == ["/pub/"]
    assert (drive / "Kestrow" / "Tallywise.exe").exists()
