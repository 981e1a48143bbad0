"""kovrent.read against the program: for every one-file row of its conversion tables, the primary
HDU's header text and data bytes are those the program writes, the time of conversion aside; and
the program's warnings are kovrent's."""


import warnings

import pytest
from astropy.io import fits

import cases
import kovrent
import _kovrent
from conftest import header_length, masked, run_program

# A FITS input's card that astropy mends makes it warn, for the program's file as for kovrent's.
pytestmark = pytest.mark.filterwarnings("ignore::astropy.io.fits.verify.VerifyWarning")


def program_output(row, directory):
    """The bytes the program writes for the row's input and options, and its warnings on the input
    (not those on the names of its outputs, which kovrent.read does not write)."""
    before = set(directory.iterdir())
    run = run_program(cases.program_arguments(row.options, row.program), directory)
    written = set(directory.iterdir()) - before
    assert len(written) == 1, written
    lines = (run.stdout + run.stderr).splitlines()
    said = [line[line.lower().index("warning"):] for line in lines if "warning" in line.lower() and "f970611a" not in line]
    return written.pop().read_bytes(), said


@pytest.mark.parametrize("row", cases.one_file_rows(), ids=repr)
def test_read_gives_the_bytes_the_program_writes(row, in_tmp):
    row.build(in_tmp)
    raw, program_warnings = program_output(row, in_tmp)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        hdus = kovrent.read(cases.INPUT, **row.options)
    primary = hdus[0]
    length = header_length(raw)
    # As astropy takes the program's header: the text itself, but for a card it must mend.
    program_header = fits.Header.fromstring(raw[:length].decode("latin-1"))
    assert masked(primary.header.tostring()) == masked(program_header.tostring())
    # The text the library call gives is the program's to the byte.
    converted = _kovrent.convert(cases.INPUT.encode(), kovrent.reading._options(**row.options))
    assert masked(converted.header) == masked(raw[:length].decode("latin-1"))
    assert converted.data.shape == primary.data.shape and converted.data.dtype.byteorder in ">|"
    assert converted.data.tobytes() == raw[length:length + converted.data.nbytes]
    assert primary.data.tobytes() == raw[length:length + primary.data.nbytes]
    # Then the padding of the last block, and the table of the planes where there is one.
    data_end = length + -(-primary.data.nbytes // 2880) * 2880
    assert raw[length + primary.data.nbytes:data_end] == bytes(data_end - length - primary.data.nbytes)
    assert masked(bytes(converted.extension).decode("latin-1")) == masked(raw[data_end:].decode("latin-1"))
    if len(hdus) == 2:
        table = raw[data_end:]
        assert masked(hdus[1].header.tostring()) == masked(table[:header_length(table)].decode("latin-1"))
        assert hdus[1].data.tobytes() == table[header_length(table):header_length(table) + hdus[1].data.nbytes]
    else:
        assert len(raw) == data_end
    said = [str(warning.message) for warning in caught if warning.category is kovrent.ConversionWarning]
    assert len(said) == len(program_warnings), (said, program_warnings)
    # The program names its options where the package's keywords stand: "frame 2 asked for".
    for ours, theirs in zip(said, program_warnings):
        assert ours.endswith(theirs.replace(" asked for with -o,", " asked for,"))


def test_options_are_typed_fields():
    """The options are fields of their own types, never words of a command line: a map is a
    file's name or None, a switch a bool, and a value of another kind is refused."""
    options = _kovrent.Options()
    assert (options.expand, options.orient, options.mask, options.frame, options.output_directory) == (1, True, None, 0, None)
    options.mask, options.output_directory = "-e", "out dir"
    assert (options.mask, options.output_directory) == ("-e", "out dir")
    options.mask = None
    assert options.mask is None
    for name, value in (("expand", "2"), ("modern", "yes"), ("frame", 1.5), ("gain", 3)):
        with pytest.raises(TypeError):
            setattr(options, name, value)


@pytest.mark.parametrize("row", cases.validator_rows()[:3] + cases.orientation_rows()[11:13] + cases.scaled_rows(),
                         ids=repr)
def test_hdu_is_the_one_astropy_reads_from_the_program_file(row, in_tmp):
    """The HDU built without astropy's constructor is the one astropy's reader makes of the file,
    values that the header scales or marks undefined as the file holds them."""
    row.build(in_tmp)
    raw, _ = program_output(row, in_tmp)
    ours = kovrent.read(cases.INPUT, **row.options)
    with fits.open(in_tmp / "f970611a.005", do_not_scale_image_data=True) as theirs:
        assert type(ours[0]) is type(theirs[0])
        assert ours[0].data.dtype == theirs[0].data.dtype
        assert (ours[0].data == theirs[0].data).all()
        assert ours[0].header == theirs[0].header or masked(ours[0].header.tostring()) == masked(
            theirs[0].header.tostring())
        assert ours[0].shape == theirs[0].shape and ours[0].size == theirs[0].size
        assert [line[:4] for line in ours.info(output=False)] == [line[:4] for line in theirs.info(output=False)]
    # Written back by astropy, it is the program's file.
    copy = in_tmp / "copy.fits"
    ours.writeto(copy)
    assert masked(copy.read_bytes().decode("latin-1")) == masked(raw.decode("latin-1"))
