"""src/text/unicode_tables.cpp is generated: it must be exactly what the
generator writes from the pinned Unicode database, so that a hand edit or a
generator change without regenerating is caught."""

import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
GENERATOR = ROOT / "src" / "text" / "gen_unicode_tables.py"
UCD = pathlib.Path("/usr/share/unicode")


def generate(ucd_dir):
    return subprocess.run([sys.executable, str(GENERATOR), str(ucd_dir)],
                          capture_output=True, text=True, check=False)


@pytest.mark.skipif(not (UCD / "UnicodeData.txt").is_file(),
                    reason="Debian's unicode-data is not installed")
def test_tables_are_what_the_generator_writes():
    run = generate(UCD)
    if "holds Unicode" in run.stderr:
        pytest.skip(run.stderr.strip())
    assert run.returncode == 0, run.stderr
    committed = (ROOT / "src" / "text" / "unicode_tables.cpp").read_text(encoding="utf-8")
    assert run.stdout == committed


def test_a_database_of_another_version_is_refused(tmp_path):
    (tmp_path / "DerivedCoreProperties.txt").write_text(
        "# DerivedCoreProperties-14.0.0.txt\n", encoding="utf-8")
    run = generate(tmp_path)
    assert run.returncode != 0
    assert run.stdout == ""
    assert "holds Unicode 14.0.0" in run.stderr
