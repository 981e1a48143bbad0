"""CCDData.read of camera files through astropy's unified I/O: the program's image, header and
coordinates, a mask option as the CCDData mask, and a format known by content alone."""

import shutil
import warnings

import numpy as np
import pytest
from astropy.io import fits
from astropy.io.registry import identify_format
from astropy.nddata import CCDData
from astropy.wcs import WCS, FITSFixedWarning

import camerawriter as cw
import cases
import kovrent
from conftest import SAMPLE, masked, run_program


def program_hdu(directory, arguments, name):
    run_program(arguments, directory)
    with fits.open(directory / name) as hdus:
        return hdus[0].header, hdus[0].data.copy()


def program_wcs(header):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FITSFixedWarning)
        return WCS(header)


@pytest.mark.parametrize("how", [{}, {"format": "veska"}, {"format": "veska", "modern": True, "expand": 2}])
def test_ccddata_of_the_sample_is_the_programs_image(how, in_tmp):
    shutil.copy(SAMPLE, in_tmp / "c970611a.005")
    options = {key: value for key, value in how.items() if key != "format"}
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        ccd = CCDData.read("c970611a.005", **how)
    header, data = program_hdu(in_tmp, cases.program_arguments(options), "f970611a.005")
    assert ccd.data.tobytes() == data.tobytes() and ccd.data.dtype == data.dtype
    assert masked(ccd.header.tostring()) == masked(header.tostring())
    theirs = program_wcs(header)
    assert ccd.wcs.wcs.compare(theirs.wcs)
    assert ccd.wcs.to_header() == theirs.to_header()
    corners = ([0, 127, 0, 127], [0, 0, 127, 127])
    assert np.array_equal(ccd.wcs.all_pix2world(*corners, 0), theirs.all_pix2world(*corners, 0))
    assert ccd.mask is None and ccd.unit == "adu"


@pytest.mark.parametrize("dec", [95.0, -1e30])
def test_a_declination_beyond_the_pole_gives_no_wcs_and_a_warning(dec, in_tmp):
    header = cw.observation_header(16, 16).telescope_scale(10.0).magnification(2.0).ra_dec(150.25, dec)
    cw.save_observation(header, str(in_tmp / cases.INPUT), 16, 16, 1, cases.distinct_frame)
    program_header, data = program_hdu(in_tmp, [cases.INPUT], "f970611a.005")
    with pytest.warns(kovrent.ConversionWarning, match="^c970611a.005: no WCS, .*Ill-conditioned"):
        ccd = CCDData.read(cases.INPUT, format="veska")
    assert ccd.wcs is None and program_header["CRVAL2"] == dec and ccd.data.tobytes() == data.tobytes()


def save_nonzero_grab(path, nx, ny, code):
    header = cw.observation_header(nx, ny)
    if code:
        header.orientation(code)
    cw.save_observation(header, str(path), nx, ny, 1, lambda n, x, y: 1 + x * 1000 + y)


MASKED = [("ULYYN", 16, 16, {}), ("LUYNN", 16, 16, dict(expand=2)), ("ULYYY", 24, 16, {}),
          ("RLYNN", 24, 16, dict(expand=3)), ("ULYYY", 24, 16, dict(orient=False, expand=2)),
          ("DRYYN", 16, 16, dict(modern=True))]


@pytest.mark.filterwarnings("ignore::kovrent.ConversionWarning")  # maps of another size than the image
@pytest.mark.parametrize("code, nx, ny, options", MASKED)
@pytest.mark.parametrize("mask", [row for row in cases.MAP_ROWS if row[1] is not None], ids=lambda row: row[0])
def test_a_mask_option_is_the_ccddata_mask(code, nx, ny, options, mask, in_tmp):
    """The mask flags exactly the pixels the program made 0 (NaN with --modern): every other pixel
    of these observations is not 0."""
    save_nonzero_grab(in_tmp / cases.INPUT, nx, ny, code)
    names = cases.save_maps(in_tmp, mask[1], mask[2])
    ccd = CCDData.read(cases.INPUT, format="veska", **names, **options)
    _, data = program_hdu(in_tmp, cases.program_arguments({**names, **options}), "f970611a.005")
    bad = np.isnan(data) if options.get("modern") else data == 0
    assert bad.any() and not bad.all()
    assert ccd.mask.dtype == bool and np.array_equal(ccd.mask, bad)


def test_cubes_take_the_mask_in_every_plane(in_tmp):
    header = cw.observation_header(16, 8, 3, 3).orientation("LUYNN")
    cw.save_observation(header, str(in_tmp / cases.INPUT), 16, 8, 4, lambda f, x, y: 1 + 1000 * f + 37 * x + y)
    cases.save_map(in_tmp / "mask.fits", 8, 16, 8, lambda x, y: float((x + 3 * y) % 4 != 0))
    ccd = CCDData.read(cases.INPUT, mask="mask.fits", frames=True, expand=2)
    assert ccd.shape == (4, 32, 16)
    run_program([cases.INPUT, "-m", "mask.fits", "--frames", "-e", "2"], in_tmp)
    data = fits.getdata(in_tmp / "k970611a.005")
    assert np.array_equal(ccd.mask, data == 0)

    cases.save_packed_layout(in_tmp / "p970611a.005", naxis1=16, naxis2=8, obsmode=2, count=3, orientation="ULYNN")
    ccd = CCDData.read("p970611a.005", mask="mask.fits")
    assert ccd.shape == (3, 8, 16)
    packed_mask = (np.arange(16)[None, :] + 3 * np.arange(8)[:, None]) % 4 == 0
    # ULYNN turns the image by flipping its first axis: the mask's columns run backwards.
    assert np.array_equal(ccd.mask, np.broadcast_to(packed_mask[:, ::-1], (3, 8, 16)))


def test_the_format_is_known_by_content_never_by_name(in_tmp):
    shutil.copy(SAMPLE, in_tmp / "night.dat")
    shutil.copy(SAMPLE, in_tmp / "c970611a.005")
    cases.save_packed(in_tmp / "packed", 2, False)
    run_program(["c970611a.005"], in_tmp)
    shutil.copy(in_tmp / "f970611a.005", in_tmp / "c970611a.006")  # a FITS file under a camera file's name
    (in_tmp / "c970611a.007").write_text("Observing notes\n")
    (in_tmp / "c970611a.008").write_bytes(SAMPLE.read_bytes()[:200])
    (in_tmp / "c970611a.009").mkdir()

    def formats(name):
        return identify_format("read", CCDData, name, None, [], {})

    for camera in ("night.dat", "c970611a.005", "packed"):
        assert formats(camera) == ["veska"], camera
    assert "veska" not in formats("f970611a.005")
    assert "veska" not in formats("c970611a.006")
    for other in ("c970611a.007", "c970611a.008", "c970611a.009", "missing.005"):
        assert formats(other) == [], other
    assert CCDData.read("night.dat").shape == (128, 128)
    with pytest.raises(kovrent.ReadError, match="ends before the end of its header"):
        CCDData.read("c970611a.008", format="veska")
