"""python3 -m kovrent report: a night converted as the program converts it, and a page that
headless Chromium shows whole: the night in a paragraph, a row per observation that fits the
window, every image and plot decoded, and a thumbnail's page with the image and the header."""

import math
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import time

import numpy as np
import pytest
from astropy.io import fits
from PIL import Image

import camerawriter as cw
import cases
from conftest import CHROMIUM, SAMPLE, masked, run_program

MASK = lambda x, y: 0.0 if (x * 3 + y) % 37 == 0 else 1.0  # noqa: E731


def star(x, y, peak, sky=200, at=(20, 12)):
    """A star on a sky with noise of some 30 counts."""
    return sky + (x * 7919 + y * 104729) % 31 + peak * math.exp(-((x - at[0]) ** 2 + (y - at[1]) ** 2) / 4)


def night(directory):
    """Two objects in two bands, a file cut in its header, one cut in its data, a packed file of
    six images whose star fades; and a mask."""
    for n, (name, band, minute, frames) in enumerate([("NGC 7027", 10.5, 10, 1), ("NGC 7027", 10.5, 20, 2),
                                                      ("M 42", 2.2, 30, 1), ("M 42", 2.2, 40, 1)], 1):
        header = cw.observation_header(32, 32, frames).object(name).wavelength(band).date_time(1997, 6, 11, 1, minute, 0)
        cw.save_observation(header.record(5, [2.5]), str(directory / f"c970611a.00{n}"), 32, 32, frames,
                            lambda f, x, y: int(star(x, y, 3000 - 400 * n if f == 1 else 0, 180 + 10 * n + f)))
    (directory / "c970611a.005").write_bytes((directory / "c970611a.001").read_bytes()[:20])
    # 1000 bytes short of its 32 x 32 values, which begin a data block of 32768 bytes.
    (directory / "c970611a.004").write_bytes((directory / "c970611a.004").read_bytes()[:-32768 + 4096 - 1000])
    g = cw.geometry_of(32, 32)
    packed = cw.observation_header(32, 32).object("NGC 7027").wavelength(10.5).date_time(1997, 6, 11, 2, 0, 0)
    packed.record(5, [2.5])
    packed.time_obs(cw.ClockTime(2, 0, 0, 0)).packed(6, 1).end_marker()
    packed.packed_data(g, 1, 6, lambda k, beam, x, y: int(star(x, y, 4000 - 500 * k)))
    packed.trailer(cw.ClockTime(2, 1, 0, 0)).save(str(directory / "c970611a.006"))
    cases.save_map(directory / "mask.fits", 8, 32, 32, MASK)


def report(directory, *arguments, **popen):
    return subprocess.run([sys.executable, "-m", "kovrent", "report", *arguments], cwd=directory,
                          capture_output=True, text=True, timeout=120, env=dict(os.environ), **popen)


# Set on the page's load in a copy: what Chromium laid out and decoded.
PROBE = """<script>addEventListener("load", () => { const d = document.body.dataset;
d.width = document.documentElement.scrollWidth; d.window = innerWidth;
d.images = [...document.images].map(image => image.naturalWidth).join(" ");
d.rows = document.querySelectorAll("tr.ok, tr.failed").length; d.pre = document.querySelector("pre")?.textContent; });
</script></body>"""


def chromium(page, tmp_path, *options):
    """Chromium's DOM of `page` with PROBE, and its attributes on the body, at 1000 x 1300."""
    probe = page.with_name("probe-" + page.name)
    probe.write_text(page.read_text().replace("</body>", PROBE))
    run = subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                          "--disable-background-networking", "--disable-component-update", "--disable-sync",
                          f"--user-data-dir={tmp_path}/chromium-{page.name}", "--window-size=1000,1300", *options,
                          "--dump-dom", probe.as_uri()], capture_output=True, text=True, timeout=120)
    probe.unlink()
    found = re.search(r"<body([^>]*)>", run.stdout)
    assert found, run.stderr
    return dict(re.findall(r'data-(\w+)="([^"]*)"', found.group(1)))


def test_the_report_writes_the_programs_files_and_a_page_chromium_shows(tmp_path):
    night(tmp_path)
    options = ["-m", "mask.fits", "--modern"]
    run = report(tmp_path, "c970611a.", "-r", "1", "6", "-d", "night", "--keep-going", *options)
    assert run.returncode == 1 and run.stdout == ""
    # The reason names its file once.
    assert "kovrent: c970611a.005 ends before the end of its header\n" in run.stderr
    assert "c970611a.005: c970611a.005" not in run.stderr
    assert run.stderr.endswith("night/index.html: 4 files converted, 2 failed\n")

    # The program writes the same files, into a folder of the same name.
    program = tmp_path / "program"
    (program / "night").mkdir(parents=True)
    for name in ("c970611a.001", "c970611a.002", "c970611a.003", "c970611a.006", "mask.fits"):
        shutil.copy(tmp_path / name, program)
    run_program(["c970611a.", "-r", "1", "3", "-d", "night", *options], program)
    run_program(["c970611a.006", "-p", "--cube", "-d", "night", *options], program)
    written = sorted(path.name for path in (tmp_path / "night").iterdir() if path.is_file())
    assert written == ["f970611a.001", "f970611a.002", "f970611a.003", "index.html", "k970611a.006"]
    for name in written[:3] + written[4:]:
        ours, theirs = (folder / "night" / name for folder in (tmp_path, program))
        assert masked(ours.read_bytes().decode("latin-1")) == masked(theirs.read_bytes().decode("latin-1")), name

    text = (tmp_path / "night" / "index.html").read_text()
    assert not re.search(r"(src|href)=\"?(https?:)?//", text)
    assert "Night of 1997-06-11: 6 files, 4 converted" in text and "2 objects: NGC 7027, M 42" in text
    assert "Total exposure 0.5 min (27.5 s)" in text  # 2.5 s a frame: 1, 2, 1 and 1 frames, 6 images of 1 frame
    shown = chromium(tmp_path / "night" / "index.html", tmp_path, f"--screenshot={tmp_path}/page.png")
    assert shown["rows"] == "6" and int(shown["width"]) <= int(shown["window"]) == 1000, shown
    decoded = shown["images"].split()
    assert len(decoded) == 3 + 2 + 1 and "0" not in decoded, shown  # thumbnails, a strip and its curve, the night
    if os.environ.get("KOVRENT_BUILD_DIR"):  # the README's picture of the page
        shutil.copy(tmp_path / "page.png", os.path.join(os.environ["KOVRENT_BUILD_DIR"], "report-page.png"))

    # A thumbnail opens its file's page: the image at full size, north as written, and the header.
    link = re.search(r'<a href="(report/[^"]+\.html)"><img class="thumbnail"', text).group(1)
    opened = chromium(tmp_path / "night" / link, tmp_path)
    assert opened["images"] == "32" and opened["pre"].startswith("SIMPLE  =                    T"), opened
    # The short file: its row says so, and the program does not convert it either.
    assert re.search(r"M 42<br><small>c970611a.004</small>.*c970611a.004 ends before", text)
    log = kovrent_log(tmp_path / "night" / "report" / "night.ecsv")
    declared = (tmp_path / "c970611a.003").stat().st_size - 32768 + 4096
    assert log["status"][3] == "short: %d of %d bytes" % (declared - 1000, declared)


def kovrent_log(path):
    from astropy.table import Table
    return Table.read(path, format="ascii.ecsv")


def test_a_cube_shows_planes_over_its_whole_length_and_its_light_curve(tmp_path):
    night(tmp_path)
    assert report(tmp_path, "c970611a.006", "-d", "night", "--planes", "3").returncode == 0
    text = (tmp_path / "night" / "index.html").read_text()
    planes = [int(k) for k in re.search(r"planes ([\d, ]+) of 6", text).group(1).split(", ")]
    assert planes[0] == 1 and planes[-1] == 6 and len(planes) == 3
    # Side by side, each right side up: its star where the file's plane has its brightest pixel.
    strip = np.asarray(Image.open(tmp_path / "night" / "report" / "k970611a.006.strip.png").convert("L"))
    cube = fits.getdata(tmp_path / "night" / "k970611a.006")
    assert strip.shape == (32, 3 * 34 - 2)
    for i, k in enumerate(planes):
        y, x = np.unravel_index(np.argmax(cube[k - 1]), (32, 32))
        assert strip[31 - y, 34 * i + x] == 255
    assert Image.open(tmp_path / "night" / "report" / "k970611a.006.curve.png").size[0] > 200


def test_thumbnails_show_the_written_file_with_undefined_pixels_in_a_colour_of_their_own(tmp_path):
    night(tmp_path)
    assert report(tmp_path, "c970611a.001", "-d", "night", "-m", "mask.fits", "--modern").returncode == 0
    data = fits.getdata(tmp_path / "night" / "f970611a.001")
    pixels = np.asarray(Image.open(tmp_path / "night" / "report" / "f970611a.001.png"))
    red = (pixels == [255, 0, 0]).all(axis=2)
    # The first row of the file at the bottom; NaN where the mask made pixels bad.
    assert np.array_equal(red, np.flipud(np.isnan(data)))
    grey = pixels[~red]
    assert (grey[:, 0] == grey[:, 1]).all() and (grey[:, 1] == grey[:, 2]).all()
    assert len(np.unique(grey[:, 0])) > 20


def test_ctrl_c_leaves_the_page_of_the_files_done_and_files_of_mode_0644(tmp_path):
    for n in range(1, 301):
        shutil.copyfile(SAMPLE, tmp_path / f"c970611a.{n:03d}")
    run = subprocess.Popen([sys.executable, "-m", "kovrent", "report", "c970611a.", "-r", "1", "300", "-d", "night"],
                           cwd=tmp_path, stderr=subprocess.PIPE, text=True, preexec_fn=lambda: os.umask(0o022))
    while len(list(tmp_path.glob("night/f970611a.*"))) < 5:
        assert run.poll() is None
        time.sleep(0.01)
    run.send_signal(signal.SIGINT)
    errors = run.communicate(timeout=60)[1]
    assert run.returncode == 130 and "Traceback" not in errors, errors
    done = len(list(tmp_path.glob("night/f970611a.*")))
    assert 5 <= done < 300 and errors.endswith(f"{done} files converted, 0 failed, {300 - done} not tried, "
                                               "interrupted\n"), errors
    assert (tmp_path / "night" / "index.html").read_text().count('<tr class="ok">') == done
    for path in (tmp_path / "night").rglob("*"):
        assert not path.name.startswith("."), path
        assert path.is_dir() or stat.S_IMODE(path.stat().st_mode) == 0o644, path


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
