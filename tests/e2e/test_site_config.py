"""Reading the site configuration from the web host, as the real installer does."""

import re

import pytest

from conftest import crlf
from test_installation import transcript

CANNOT_ACCESS = ("Tallywise Installer cannot access the Brindlecove WebSite\n"
                 "You may not be connected to the internet\n\n")


def test_unreachable_web_host_is_retried_every_five_seconds(site):
    drive = site.drive("d")
    site.start()
    site.web.refuse()
    run = site.installer()
    run.send(b"d\n")
    first = crlf(CANNOT_ACCESS)
    run.read_until(first, timeout=60)
    run.read_until(first + first, timeout=15)
    run.read_until(first * 3, timeout=15)
    site.web.resume()
    assert run.finish() == 0

    failures = run.output.count(first)
    assert failures >= 3
    assert run.output.startswith(crlf(transcript(site, "D", CANNOT_ACCESS * failures)))
    assert (drive / "Kestrow" / "Tallywise.exe").exists()

    # The messages come in pairs, five seconds apart.
    times = []
    seen = b""
    for at, chunk in run.arrivals:
        before = seen.count(first)
        seen += chunk
        times += [at] * (seen.count(first) - before)
    gaps = [b - a for a, b in zip(times, times[1:])]
    assert all(4.5 <= gap <= 7.5 for gap in gaps), gaps


@pytest.mark.parametrize("status, shape", [(404, "error page"), (200, "CR LF lines, long body")])
def test_whatever_the_web_host_answers_is_the_configuration(site, status, shape):
    drive = site.drive("d")
    site.start()
    body = site.config_body()
    if shape == "CR LF lines, long body":
        body = re.sub(b"\n", b"\r\n", body) + b"x" * 3000
    site.web.status = status
    site.web.body = body
    run = site.installer()
    run.send(b"d\n")
    assert run.finish() == 0
    assert run.output.startswith(crlf(transcript(site, "D")))
    assert (drive / "Kestrow" / "Tallywise.exe").exists()
    assert not (drive / "Kestrow" / "meterobj.txt").exists()
