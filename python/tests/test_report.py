"""python3 -m kovrent report: a night converted as the program converts it, and a page that
headless Chromium opens with every thumbnail decoded and a row per file."""

import html.parser
import os
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest
from astropy.io import fits
from PIL import Image

import camerawriter as cw
import cases
from conftest import CHROMIUM, masked, run_program

MASK = lambda x, y: 0.0 if (x * 3 + y) % 7 == 0 else 1.0  # noqa: E731


def night(directory):
    """Four files: two observations, one cut short, a packed file of three images; and a mask."""
    header = cw.observation_header(16, 16).orientation("LUYNN")
    cw.save_observation(header, str(directory / "c970611a.001"), 16, 16, 1, lambda n, x, y: 1 + 97 * x + y)
    chop = cw.observation_header(16, 16, 2, 2).chop_wait(5.0)
    cw.save_observation(chop, str(directory / "c970611a.002"), 16, 16, 2, lambda n, x, y: 4 * (n * 1000 + x * y))
    (directory / "c970611a.003").write_bytes((directory / "c970611a.001").read_bytes()[:20])
    cases.save_packed_layout(directory / "c970611a.004", naxis1=16, naxis2=16, obsmode=2, count=3, dated=True)
    cases.save_map(directory / "mask.fits", 8, 16, 16, MASK)


class Page(html.parser.HTMLParser):
    def __init__(self, text):
        super().__init__()
        self.images, self.links, self.rows, self.cells = [], [], 0, []
        self.in_body = False
        self.feed(text)

    def handle_starttag(self, tag, attributes):
        attributes = dict(attributes)
        if tag == "img":
            self.images.append(attributes)
        elif tag == "a":
            self.links.append(attributes["href"])
        elif tag == "tbody":
            self.in_body = True
        elif tag == "tr" and self.in_body:
            self.rows += 1


def report(directory, *arguments):
    return subprocess.run([sys.executable, "-m", "kovrent", "report", *arguments], cwd=directory,
                          capture_output=True, text=True, timeout=120, env=dict(os.environ))


def test_the_report_writes_the_programs_files_and_a_page_chromium_shows(tmp_path):
    night(tmp_path)
    options = ["-m", "mask.fits", "--modern"]
    run = report(tmp_path, "c970611a.", "-r", "1", "4", "-d", "night", "--keep-going", "--planes", "2", *options)
    assert run.returncode == 1 and run.stdout == ""
    # The reason names its file once.
    assert run.stderr.startswith("kovrent: c970611a.003 ends before the end of its header\n")
    assert run.stderr.endswith("night/index.html: 3 files converted, 1 failed\n")

    # The program writes the same files, into a folder of the same name.
    program = tmp_path / "program"
    (program / "night").mkdir(parents=True)
    for name in ("c970611a.001", "c970611a.002", "c970611a.004", "mask.fits"):
        shutil.copy(tmp_path / name, program)
    run_program(["c970611a.001", "c970611a.002", "-d", "night", *options], program)
    run_program(["c970611a.004", "-p", "--cube", "-d", "night", *options], program)
    written = sorted(path.name for path in (tmp_path / "night").iterdir() if path.is_file())
    assert written == ["f970611a.001", "f970611a.002", "index.html", "k970611a.004"]
    for name in ("f970611a.001", "f970611a.002", "k970611a.004"):
        ours, theirs = (folder / "night" / name for folder in (tmp_path, program))
        assert masked(ours.read_bytes().decode("latin-1")) == masked(theirs.read_bytes().decode("latin-1")), name

    text = (tmp_path / "night" / "index.html").read_text()
    assert not re.search(r"(src|href)=\"?(https?:)?//", text)
    page = Page(text)
    assert len(page.images) == 4 and page.rows == 4
    assert "a cube shows its first 2 planes at most" in text
    for link in page.links + [image["src"] for image in page.images]:
        assert (tmp_path / "night" / link).is_file(), link

    # Chromium, as a reader opens the page: every thumbnail decoded, a row per file.
    dom = subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", f"--user-data-dir={tmp_path}/c",
                          "--dump-dom", (tmp_path / "night" / "index.html").as_uri()],
                         capture_output=True, text=True, timeout=120)
    shown = Page(dom.stdout)
    assert len(shown.images) == 4 and shown.rows == 4, dom.stderr
    assert [int(image.get("data-decoded", 0)) for image in shown.images] == [256] * 4
    assert not any(image.get("class") == "broken" for image in shown.images)


def test_thumbnails_show_the_written_file_with_undefined_pixels_in_a_colour_of_their_own(tmp_path):
    night(tmp_path)
    assert report(tmp_path, "c970611a.001", "-d", "night", "-m", "mask.fits", "--modern").returncode == 0
    data = fits.getdata(tmp_path / "night" / "f970611a.001")
    picture = np.asarray(Image.open(tmp_path / "night" / "thumbnails" / "f970611a.001.1.png"))
    assert picture.shape == (256, 256, 3)
    pixels = picture[::16, ::16]  # each image pixel is 16 x 16 screen pixels
    red = (pixels == [255, 0, 0]).all(axis=2)
    # The first row of the file at the bottom; NaN where the mask made pixels bad.
    assert np.array_equal(red, np.flipud(np.isnan(data)))
    grey = pixels[~red]
    assert (grey[:, 0] == grey[:, 1]).all() and (grey[:, 1] == grey[:, 2]).all()
    assert len(np.unique(grey[:, 0])) > 50


@pytest.mark.parametrize("arguments, reason", [
    (["c970611a.", "c970611a.001", "-r", "1", "2"], "more names were given"),
    (["c970611a.", "-r", "1", "x"], "-r takes two numbers"),
    (["c970611a.001", "-e", "0"], "-e takes a whole number"),
])
def test_refused_options_write_nothing(arguments, reason, tmp_path):
    night(tmp_path)
    run = report(tmp_path, *arguments, "-d", "night")
    assert run.returncode == 1 and reason in run.stderr
    assert not (tmp_path / "night" / "index.html").exists()
