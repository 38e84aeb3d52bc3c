"""What configure makes of TALLYWISE_PACKAGE_KEYS: the keys in the generated
header and JSON, or a refusal that says what is wrong."""

import json
import subprocess

import pytest

from conftest import ROOT

KEY_A = "ab" * 64
KEY_B = "0123456789ABCDEF" * 8


def configure(tmp_path, keys):
    return subprocess.run(["cmake", "-DOUTPUT_DIR=%s" % tmp_path, "-DTALLYWISE_PACKAGE_KEYS=%s" % keys,
                           "-P", str(ROOT / "tests" / "configure" / "site_values.cmake")],
                          capture_output=True, text=True, timeout=60)


def test_keys_reach_the_header_and_the_json(tmp_path):
    result = configure(tmp_path, KEY_A + ";" + KEY_B)
    assert result.returncode == 0, result.stderr
    header = (tmp_path / "generated" / "site_values.h").read_text()
    assert "#define TALLYWISE_PACKAGE_KEY_COUNT 2\n" in header
    assert '#define TALLYWISE_PACKAGE_KEY_BYTES "%s"\n' % "".join(
        "\\x" + (KEY_A + KEY_B.lower())[i:i + 2] for i in range(0, 256, 2)) in header
    assert json.loads((tmp_path / "site_values.json").read_text())["package_keys"] == [KEY_A, KEY_B.lower()]


def test_no_keys_is_the_default(tmp_path):
    result = configure(tmp_path, "")
    assert result.returncode == 0, result.stderr
    header = (tmp_path / "generated" / "site_values.h").read_text()
    assert '#define TALLYWISE_PACKAGE_KEY_COUNT 0\n#define TALLYWISE_PACKAGE_KEY_BYTES ""\n' in header
    assert json.loads((tmp_path / "site_values.json").read_text())["package_keys"] == []


@pytest.mark.parametrize("keys, message", [
    (KEY_A + ";", "key 2 of 2 is empty"),
    (KEY_A[:126], "key 1 of 1 has 126 hex digits; a key is 128"),
    (KEY_A + "0", "key 1 of 1 has 129 hex digits"),
    (KEY_A[:127] + "g", "key 1 of 1 holds a character that is not a hex digit"),
    ("04" + KEY_A, "has 130 hex digits"),
    (KEY_A + ";" + KEY_A.upper(), "key 2 of 2 repeats an earlier key"),
])
def test_malformed_keys_are_refused_with_the_reason(tmp_path, keys, message):
    result = configure(tmp_path, keys)
    assert result.returncode != 0
    assert message in " ".join(result.stderr.split()), result.stderr
    assert not (tmp_path / "generated" / "site_values.h").exists()
