"""Signed packages end to end: the signed build installs only what its keys
signed, deletes whatever fails the check and tries again until the site is
repaired; openssl and tallywise-sign agree on the signature."""

import os
import re
import shutil
import subprocess

import pytest

from conftest import ROOT, crlf, write_package
from test_installation import no_access, transcript

SIGNING = ROOT / "tests" / "fixtures" / "signing"
TOOL_KEY = SIGNING / "tool-key.txt"
OPENSSL_KEY = SIGNING / "openssl-key.pem"
REJECTED = "The downloaded Tallywise files failed the signature check and were deleted\n"
STARTED = "Tallywise started in D:\\Tallywise\n"
PACKAGE = ("wkp.sig", "z.exe", "wkp.zip")


def start_signed(site):
    """Starts the site with its package signed by the build's first test key."""
    site.start()
    return site.wine.sign_package(TOOL_KEY, site.ftp.files_dir())


def retrievals(site):
    return [arg for _, cmd, arg in site.ftp.commands if cmd == "RETR"]


def install(site, drive):
    run = site.installer()
    run.send(b"d\n")
    return run, run.finish()


def readme_block(marker):
    """The shell block that follows `<!-- marker -->` in the README."""
    text = (ROOT / "README.md").read_text()
    found = re.search(r"<!-- %s -->\s*```sh\n(.*?)```" % re.escape(marker), text, re.S)
    assert found, "README has no block marked %s" % marker
    return found.group(1)


def run_shell(script, cwd):
    return subprocess.run(["bash", "-euo", "pipefail", "-c", script], cwd=str(cwd), capture_output=True,
                          text=True, timeout=60, check=True).stdout


def flipped(data):
    data = bytearray(data)
    data[len(data) // 2] ^= 0x01
    return bytes(data)


def test_signed_site_installs_and_leaves_no_signature_file(signed_site, clean_shortcuts):
    drive = signed_site.drive("d")
    start_signed(signed_site)
    run, status = install(signed_site, drive)

    assert status == 0
    assert run.output == crlf(transcript(signed_site, "D") + STARTED)
    assert retrievals(signed_site) == ["wkp.sig", "z.exe", "wkp.zip"]
    assert sorted(p.name for p in (drive / "Kestrow").iterdir()) == ["Tallywise.exe", "Tallywise.exe.lnk", "z.exe"]


def changed_extractor(site, good, tmp):
    files = site.ftp.files_dir()
    return {"z.exe": flipped(open(os.path.join(files, "z.exe"), "rb").read())}, ["wkp.sig", "z.exe"]


def changed_archive(site, good, tmp):
    files = site.ftp.files_dir()
    return {"wkp.zip": flipped(open(os.path.join(files, "wkp.zip"), "rb").read())}, list(PACKAGE)


def foreign_key(site, good, tmp):
    key, _ = site.wine.new_signing_key(tmp / "foreign-key")
    folder = tmp / "foreign-package"
    shutil.copytree(site.ftp.files_dir(), folder)
    return {"wkp.sig": site.wine.sign_package(key, folder)}, ["wkp.sig"]


def older_package(site, good, tmp):
    older = write_package(site.wine, tmp / "older", extra=[("Tallywise/old.txt", b"1.0", 0)],
                          extractor=site.extractor)
    return {"wkp.sig": site.wine.sign_package(TOOL_KEY, older)}, list(PACKAGE)


def malformed(site, good, tmp):
    return {"wkp.sig": good.replace(b"\n", b"\r\n")}, ["wkp.sig"]


@pytest.mark.parametrize("tampering", [changed_extractor, changed_archive, foreign_key, older_package, malformed])
def test_tampered_package_is_deleted_never_run_and_fetched_again(signed_site, tmp_path, tampering):
    drive = signed_site.drive("d")
    signed_site.extractor = signed_site.wine.stand_in_extractor  # it reports each run
    good = start_signed(signed_site)
    served, first_attempt = tampering(signed_site, good, tmp_path)
    # The first attempt gets the tampered file, the next one the repaired site.
    signed_site.ftp.tampered = {name: [data, 1] for name, data in served.items()}

    run = signed_site.installer()
    run.send(b"d\n")
    run.read_until(crlf(REJECTED))
    # Deleted before the message, and the next attempt is a second away.
    assert [name for name in PACKAGE if (drive / "Kestrow" / name).exists()] == []
    assert run.finish() == 0

    assert run.output == crlf(transcript(signed_site, "D", REJECTED) + STARTED)
    assert retrievals(signed_site) == first_attempt + list(PACKAGE)
    # The extractor ran once: the verified one.
    assert (signed_site.logs / "extractor.log").read_text().count("\n") == 1
    kestrow = drive / "Kestrow"
    assert (kestrow / "z.exe").read_bytes() == signed_site.wine.stand_in_extractor.read_bytes()
    assert not (kestrow / "wkp.sig").exists()


def test_missing_signature_file_is_no_access_and_retried(signed_site):
    drive = signed_site.drive("d")
    start_signed(signed_site)
    signed_site.ftp.missing = {"wkp.sig": 1}
    run, status = install(signed_site, drive)

    assert status == 0
    assert run.output == crlf(transcript(signed_site, "D", no_access(signed_site)) + STARTED)
    assert retrievals(signed_site) == ["wkp.sig"] + list(PACKAGE)


def test_openssl_signature_made_by_the_readme_recipe_is_accepted(signed_site, tmp_path):
    drive = signed_site.drive("d")
    signed_site.start()
    release = tmp_path / "release"
    shutil.copytree(signed_site.ftp.files_dir(), release)
    shutil.copy(OPENSSL_KEY, release / "vendor-key.pem")
    run_shell(readme_block("sign-with-openssl"), release)
    shutil.copy(release / "wkp.sig", os.path.join(signed_site.ftp.files_dir(), "wkp.sig"))

    run, status = install(signed_site, drive)
    assert status == 0
    assert run.output == crlf(transcript(signed_site, "D") + STARTED)


def test_openssl_key_recipe_prints_the_public_key_text(tmp_path):
    printed = run_shell(readme_block("new-key-with-openssl"), tmp_path).strip()
    assert re.fullmatch(r"[0-9a-f]{128}", printed), printed
    assert (tmp_path / "vendor-key.pem").exists()


def test_signer_signature_verifies_with_openssl(signed_wine, tmp_path):
    folder = write_package(signed_wine, tmp_path / "release")
    signature = signed_wine.sign_package(TOOL_KEY, folder).decode("ascii")
    assert verifies_with_tool_key(tmp_path, signature)
    assert not verifies_with_tool_key(tmp_path, signature, swap=True)


def verifies_with_tool_key(folder, signature, swap=False):
    """Whether openssl verifies the signature file's text with the test key's public half."""
    public = re.search(r"^public ([0-9a-f]{128})$", TOOL_KEY.read_text(), re.M).group(1)
    # The uncompressed P-256 point behind the fixed header of its DER public key.
    der = bytes.fromhex("3059301306072a8648ce3d020106082a8648ce3d03010703420004" + public)
    (folder / "public.der").write_bytes(der)
    lines = signature.split("\n")
    (folder / "signed.txt").write_text("\n".join(lines[:3]) + "\n")
    _, r, s = lines[3].split(" ")
    return openssl_verifies(folder, s, r) if swap else openssl_verifies(folder, r, s)


def openssl_verifies(folder, r, s):
    """Whether openssl verifies folder/signed.txt with folder/public.der and the signature (r, s)."""
    (folder / "sig.cnf").write_text("asn1=SEQUENCE:sig\n[sig]\nr=INTEGER:0x%s\ns=INTEGER:0x%s\n" % (r, s))
    script = ("openssl asn1parse -genconf sig.cnf -out sig.der -noout && "
              "openssl dgst -sha256 -verify public.der -keyform DER -signature sig.der signed.txt")
    return subprocess.run(["bash", "-c", script], cwd=str(folder), capture_output=True, text=True,
                          timeout=60).stdout.strip() == "Verified OK"


def sitecheck(site):
    result = site.wine.run(site.wine.sitecheck, env={"http_proxy": site.web.proxy}, timeout=120)
    return result.returncode, result.stdout.decode("latin-1").replace("\r\n", "\n")


def test_signed_sitecheck_passes_on_a_signed_site(signed_site):
    start_signed(signed_site)
    status, out = sitecheck(signed_site)
    assert status == 0, out
    steps = [line.split(None, 2)[:2] for line in out.splitlines()[1:-1]]
    assert [step for mark, step in steps if mark == "ok"][-4:] == ["signature"] * 3 + ["archive"]
    assert "wkp.sig well formed, signed by key 1 of 2" in out
    assert "z.exe matches wkp.sig" in out and "wkp.zip matches wkp.sig" in out


def remove_signature(site, tmp):
    os.remove(os.path.join(site.ftp.files_dir(), "wkp.sig"))


def sign_with_foreign_key(site, tmp):
    key, _ = site.wine.new_signing_key(tmp / "foreign-key")
    site.wine.sign_package(key, site.ftp.files_dir())


def change_extractor(site, tmp):
    path = os.path.join(site.ftp.files_dir(), "z.exe")
    data = open(path, "rb").read()
    open(path, "wb").write(flipped(data))


def break_signature_form(site, tmp):
    path = os.path.join(site.ftp.files_dir(), "wkp.sig")
    data = open(path, "rb").read()
    open(path, "wb").write(data.upper())


@pytest.mark.parametrize("breakage, detail", [
    (remove_signature, "wkp.sig: download failed"),
    (sign_with_foreign_key, "wkp.sig is not signed by any of this build's 2 key(s)"),
    (change_extractor, "z.exe does not match wkp.sig"),
    (break_signature_form, "wkp.sig is not well formed"),
])
def test_signed_sitecheck_names_the_failing_signature_check(signed_site, tmp_path, breakage, detail):
    start_signed(signed_site)
    breakage(signed_site, tmp_path)
    status, out = sitecheck(signed_site)
    assert status == 1, out
    assert "\nFAILED %-14s %s" % ("signature", detail) in out
    assert out.endswith("site check failed at step: signature\n")


def test_unsigned_sitecheck_says_it_checks_no_signatures(site):
    site.start()
    status, out = sitecheck(site)
    assert status == 0, out
    assert out.splitlines()[0].endswith("(this build checks no package signatures)")
    assert "signature" not in out.split("\n", 1)[1]


def test_new_key_never_overwrites_a_key_file(wine, tmp_path):
    key, public = wine.new_signing_key(tmp_path)
    written = key.read_bytes()
    assert re.fullmatch(r"[0-9a-f]{128}", public)
    assert re.fullmatch(rb"tallywise-signing-key 1\npublic %s\nprivate [0-9a-f]{64}\n" % public.encode(), written)

    wine.map_drive("v", tmp_path)
    try:
        again = wine.run(wine.signer, "new-key", "V:\\key.txt")
    finally:
        wine.unmap_drive("v")
    assert again.returncode == 1
    assert b"exists already" in again.stderr
    assert key.read_bytes() == written
    assert wine.sign("public-key", "V:\\key.txt", drives={"v": tmp_path}) == public


def test_signer_refuses_a_key_file_whose_halves_do_not_belong_together(wine, tmp_path):
    key, _ = wine.new_signing_key(tmp_path / "fresh")
    private = re.search(r"^private [0-9a-f]{64}$", key.read_text(), re.M).group(0)
    mixed = tmp_path / "mixed.txt"
    mixed.write_text(re.sub(r"^private [0-9a-f]{64}$", private, TOOL_KEY.read_text(), flags=re.M))
    folder = write_package(wine, tmp_path / "release")

    # Either the platform refuses the pair on import or the signer's own check catches it.
    with pytest.raises(RuntimeError, match="does not verify with the key file's public key|could not sign"):
        wine.sign_package(mixed, folder)
    assert not (folder / "wkp.sig").exists()
