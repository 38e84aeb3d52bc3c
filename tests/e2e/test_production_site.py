"""The production servers of sitetools/site/ (Debian's vsftpd and nginx, each
started by the test as its own process) serving what tallywise-publish wrote:
both builds install from them and the site check passes; on release day eight
installers share a server that admits three sessions at a time."""

import shutil
import types

import pytest

from conftest import InstallerRun, crlf
from test_extractor import tree
from test_installation import PROMPT, no_access, transcript
from test_publish import application
from test_signed_package import TOOL_KEY, STARTED

from production_site import ProductionSite

HOST = "127.0.22.1"
ACCOUNT = ("anonymous", "tallywise-installer")
NO_INTERNET = "You Are not Connected to the Internet\n"


@pytest.fixture(scope="module")
def releases(wine, tmp_path_factory):
    """The sample application and its site folders, unsigned and signed."""
    box = tmp_path_factory.mktemp("release")
    application(box / "app", wine)
    shutil.copy(TOOL_KEY, box / "key.txt")
    wine.map_drive("p", box)
    try:
        for name, key in (("unsigned", []), ("signed", ["P:\\key.txt"])):
            result = wine.run(wine.publisher, "P:\\app", "P:\\" + name, *ACCOUNT, HOST, *key, timeout=120)
            assert result.returncode == 0, result.stderr
    finally:
        wine.unmap_drive("p")
    return box


@pytest.fixture
def drives(wine, tmp_path):
    mapped = []

    def drive(letter):
        wine.map_drive(letter, tmp_path / letter)
        mapped.append(letter)
        return tmp_path / letter

    yield drive
    for letter in mapped:
        wine.unmap_drive(letter)


def installed_as_published(drive, app):
    """Every file and folder of the application, byte for byte, on the drive."""
    return {k: v for k, v in tree(drive).items() if k in tree(app)} == tree(app)


@pytest.mark.parametrize("build", ["unsigned", "signed"])
def test_both_builds_install_from_vsftpd_and_nginx(request, releases, drives, build, clean_shortcuts):
    w = request.getfixturevalue("wine" if build == "unsigned" else "signed_wine")
    drive = drives("d")
    with ProductionSite(releases / build, HOST) as site:
        run = InstallerRun(w, dict(w.env, http_proxy=site.proxy))
        try:
            run.read_until(crlf(PROMPT), timeout=30)
            run.send(b"d\n")
            assert run.finish() == 0
        finally:
            run.kill()
        check = w.run(w.sitecheck, env={"http_proxy": site.proxy}, timeout=120)
    assert run.output == crlf(transcript(types.SimpleNamespace(wine=w), "D") + STARTED)
    assert installed_as_published(drive, releases / "app")
    out = check.stdout.decode("latin-1").replace("\r\n", "\n")
    assert check.returncode == 0, out
    assert ("wkp.zip matches wkp.sig" in out) == (build == "signed")


def test_release_day_eight_installers_and_three_sessions(wine, releases, drives, clean_shortcuts):
    letters = "defghijk"
    folders = {letter: drives(letter) for letter in letters}
    with ProductionSite(releases / "unsigned", HOST, max_clients=3) as site:
        runs = {letter: InstallerRun(wine, dict(wine.env, http_proxy=site.proxy)) for letter in letters}
        try:
            for letter, run in runs.items():
                run.send(letter.encode() + b"\n")
            statuses = {letter: run.finish(timeout=600) for letter, run in runs.items()}
        finally:
            for run in runs.values():
                run.kill()
    assert statuses == {letter: 0 for letter in letters}
    turned_away = sum(run.output.count(crlf(NO_INTERNET)) for run in runs.values())
    assert turned_away > 0, "the session limit never applied"
    site_values = types.SimpleNamespace(wine=wine)
    retries = [NO_INTERNET, "You are NOT ONLINE\n", no_access(site_values)]
    for letter, run in runs.items():
        # Take out the retries the installer specifies: what is left is one plain installation.
        output = run.output
        for message in retries:
            output = output.replace(crlf(message), b"")
        assert output == crlf(transcript(site_values, letter.upper()) +
                              "Tallywise started in %s:\\Tallywise\n" % letter.upper()), letter
        assert installed_as_published(folders[letter], releases / "app"), letter
