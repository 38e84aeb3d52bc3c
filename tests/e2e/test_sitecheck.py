"""The vendor's site check against the local site and broken variants of it."""

import os

import pytest

from conftest import FTP_PASSWORD, FTP_USER, write_package


def sitecheck(site):
    result = site.wine.run(site.wine.sitecheck, env={"http_proxy": site.web.proxy}, timeout=120)
    return result.returncode, result.stdout.decode("latin-1").replace("\r\n", "\n")


def test_sitecheck_passes_on_a_good_site(site):
    site.start()
    status, out = sitecheck(site)
    files = site.ftp.files_dir()
    url = "http://%s/meterobj1.txt" % site.wine.site["web_host"]
    lines = [line.split(None, 2) for line in out.splitlines()[1:-1]]
    assert status == 0, out
    assert [(mark, step) for mark, step, _ in lines] == [
        ("ok", "configuration"), ("ok", "account"), ("ok", "ftp"), ("ok", "login"), ("ok", "z.exe"),
        ("ok", "wkp.zip"), ("ok", "archive")]
    assert "%s: status 200, %d bytes" % (url, len(site.web.body)) in out
    assert "user %s, host %s (password not shown)" % (FTP_USER, site.host) in out
    assert FTP_PASSWORD not in out
    assert "present, %d bytes" % os.path.getsize(os.path.join(files, "z.exe")) in out
    assert "present, %d bytes" % os.path.getsize(os.path.join(files, "wkp.zip")) in out
    assert out.endswith("site check passed\n")


def wrong_password(site):
    site.web.body = site.config_body(password="not-the-password")


def missing_archive(site):
    os.remove(os.path.join(site.ftp.files_dir(), "wkp.zip"))


def archive_without_application(site):
    site.write_package(with_application=False)


def archive_with_a_name_the_extractor_refuses(site):
    write_package(site.wine, site.ftp.files_dir(), extra=[("Tallywise/aux.txt", b"lost on every machine", 0)])


def error_page(site):
    site.web.status = 404


@pytest.mark.parametrize("breakage, step", [
    (wrong_password, "ftp login"),
    (missing_archive, "wkp.zip"),
    (archive_without_application, "archive"),
    (archive_with_a_name_the_extractor_refuses, "archive"),
    (error_page, "configuration"),
])
def test_sitecheck_names_the_first_failing_step(site, breakage, step):
    site.start()
    breakage(site)
    status, out = sitecheck(site)
    assert status == 1, out
    assert "\nFAILED %-14s " % step in out
    assert out.endswith("site check failed at step: %s\n" % step)
