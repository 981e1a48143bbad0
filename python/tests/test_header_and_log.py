"""kovrent.header, the cards a conversion starts from, and kovrent.log, the program's --log."""

import shutil

import numpy as np
import pytest
from astropy.io import fits
from astropy.table import Table
from astropy.time import Time

import _kovrent
import camerawriter as cw
import cases
import kovrent
from conftest import SAMPLE, run_program


@pytest.mark.parametrize("row", [row for row in cases.validator_rows() if not row.options and not row.program]
                         + cases.end_card_rows(), ids=repr)
def test_header_is_where_the_programs_header_begins(row, in_tmp):
    """The cards of the camera header are the first of the program's output, which then adds
    the coordinates and HISTORY; with -n the sizes stand as the camera gives them."""
    row.build(in_tmp)
    run_program([cases.INPUT, "-n"], in_tmp)
    written = fits.getheader(in_tmp / "f970611a.005")
    camera = kovrent.header(cases.INPUT)
    assert len(camera) < len(written)
    assert [card.image for card in camera.cards] == [card.image for card in written.cards[:len(camera)]]
    assert "HISTORY" not in camera and "CRPIX1" not in camera


def test_header_of_a_packed_file_reads_its_records_alone(in_tmp):
    cases.save_packed_layout(in_tmp / cases.INPUT, naxis1=32, naxis2=16, count=3)
    camera = kovrent.header(cases.INPUT)
    assert (camera["NAXIS1"], camera["NAXIS2"], camera["PACKED"]) == (32, 16, 3)


def test_log_is_the_programs_log(in_tmp):
    names = []
    for n in range(1, 4):
        shutil.copy(SAMPLE, in_tmp / f"c970611a.00{n}")
        names.append(f"c970611a.00{n}")
    cases.save_packed(in_tmp / "c970611a.004", 2, False)
    (in_tmp / "c970611a.005").write_bytes(SAMPLE.read_bytes()[:30])
    names += ["c970611a.004", "c970611a.005", "c970611a.006"]
    run = run_program(["c970611a.", "-r", "1", "6", "--log", "night.ecsv"], in_tmp, check=False)
    assert run.returncode == 1
    theirs = Table.read(in_tmp / "night.ecsv", format="ascii.ecsv")
    ours = kovrent.log(names)
    assert ours.colnames == theirs.colnames and len(ours) == 6
    for column in ours.colnames:
        if isinstance(theirs[column], Time):  # start and end
            assert [str(value) for value in ours[column]] == [str(value) for value in theirs[column]], column
            continue
        assert ours[column].unit == theirs[column].unit and ours[column].dtype == theirs[column].dtype, column
        assert np.array_equal(np.ma.getmaskarray(ours[column]), np.ma.getmaskarray(theirs[column])), column
        assert list(np.ma.filled(ours[column], 0)) == list(np.ma.filled(theirs[column], 0)), column
    assert list(ours["status"][-2:]) == ["c970611a.005 ends before the end of its header",
                                         "c970611a.006: No such file or directory"]
    assert len(kovrent.log(SAMPLE)) == 1


@pytest.mark.parametrize("name", ["SYNTHETIC STAR FIELD", "DP1.AXIS.1: 1", "A.B: 5 / C", "x: y"])
def test_header_is_the_one_astropy_makes_of_the_text(name, in_tmp):
    """Also where an OBJECT would read as a record-valued keyword, as astropy reads it."""
    header = cw.observation_header(16, 16).object(name)
    cases.add_records(header, 20, 1997)
    cw.save_observation(header, str(in_tmp / cases.INPUT), 16, 16, 1, cases.distinct_frame)
    ours = kovrent.header(cases.INPUT)
    theirs = fits.Header.fromstring(_kovrent.header(cases.INPUT.encode()))
    assert list(ours.items()) == list(theirs.items()) and ours.tostring() == theirs.tostring()
    assert [card.keyword for card in ours.cards] == [card.keyword for card in theirs.cards]
    assert ours.comments["NAXIS1"] == theirs.comments["NAXIS1"]
