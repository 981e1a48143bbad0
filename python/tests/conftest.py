"""What the package's tests share: the program, its sample, and its output files read as bytes."""

import os
import pathlib
import re
import subprocess

import pytest

PROGRAM = os.environ["KOVRENT_BINARY"]
CHROMIUM = os.environ.get("KOVRENT_CHROMIUM", "chromium")
SOURCE_DIR = pathlib.Path(os.environ["KOVRENT_SOURCE_DIR"])
SAMPLE = SOURCE_DIR / "examples" / "c970611a.005"


def run_program(arguments, directory, check=True):
    """The program run in `directory`; its completed process, output and errors as text."""
    run = subprocess.run([PROGRAM, *map(str, arguments), "--no-progress"], cwd=directory, capture_output=True,
                         text=True, errors="replace", timeout=120)
    if check:
        assert run.returncode == 0, run.stdout + run.stderr
    return run


def masked(text):
    """A header's text with what changes from run to run masked: the time of conversion and the
    checksum that counts it."""
    text = re.sub(r"TIME OF CONVERSION: .{24}", "TIME OF CONVERSION: (masked)", text)
    return re.sub(r"CHECKSUM= '[^']{16}'", "CHECKSUM= '(masked)'", text)


def header_length(raw):
    """The bytes of the first header of a FITS file's bytes, its END block included."""
    for block in range(0, len(raw), 2880):
        if any(raw[card:card + 8] == b"END     " for card in range(block, block + 2880, 80)):
            return block + 2880
    raise AssertionError("no END card")


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    """A fresh folder, made the current one: inputs are named there as the program is given them."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


def pytest_sessionfinish(session, exitstatus):
    """A skipped test fails the run: every test must run."""
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    if reporter is not None and reporter.stats.get("skipped") and exitstatus == 0:
        session.exitstatus = 1
