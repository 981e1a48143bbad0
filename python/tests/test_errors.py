"""Inputs and options that cannot be converted: kovrent.Error with the program's reason, nothing
printed, and the interpreter goes on; the hostile files of the program's tests among them."""

import errno
import os
import random
import subprocess
import sys
import warnings

import pytest
from astropy.nddata import CCDData

import camerawriter as cw
import cases
import kovrent
from conftest import SAMPLE, SOURCE_DIR, run_program

SAMPLE_BYTES = SAMPLE.read_bytes()
SAMPLE_HEADER = 512


def program_says(directory, arguments):
    run = run_program(arguments, directory, check=False)
    return run.returncode, run.stdout + run.stderr


def fits_input(card):
    """A 16 x 16 FITS image of zeros whose header has `card` behind SIMPLE to NAXIS2."""
    text = "".join(cw.primary_cards(-32, 16, 16) + [cw.fits_card(card), cw.fits_card("END")])
    return (text + " " * (-len(text) % 2880)).encode("latin-1") + bytes(2880)


@pytest.mark.parametrize("content, reason", [
    (SAMPLE_BYTES[:100], "c970611a.005 ends before the end of its header"),
    (SAMPLE_BYTES[:SAMPLE_HEADER + 1000], "c970611a.005 ends before the end of its data"),
    (b"Observing notes, 11 June 1997\n", "unknown data flag encountered 118"),
    (b"\x00camera\n", "c970611a.005 does not look like a camera file: its first byte is no header record"),
    # FITS files, read as -f reads them.
    (fits_input("BZERO   =                  inf"), "c970611a.005: BZERO (card 6): inf is no FITS value"),
    (fits_input("ORIENTST= ULNYN"), "c970611a.005: ORIENTST (card 6): ULNYN is no FITS value"),
])
def test_unreadable_file_raises_the_programs_reason(content, reason, in_tmp, capfd):
    (in_tmp / cases.INPUT).write_bytes(content)
    fits = content.startswith(b"SIMPLE  =")
    with pytest.raises(kovrent.ReadError) as raised:
        kovrent.read(cases.INPUT, fits_input=fits)
    assert isinstance(raised.value, OSError) and isinstance(raised.value, kovrent.Error)
    assert reason in str(raised.value)
    assert raised.value.filename == cases.INPUT
    # It names the file once; the program on the line that reads it.
    assert str(raised.value).count(cases.INPUT) == 1
    status, said = program_says(in_tmp, [cases.INPUT] + ["-f"] * fits)
    assert status == 1 and str(raised.value).removeprefix(cases.INPUT + ": ") in said
    assert capfd.readouterr() == ("", "")


def test_missing_file_and_directory(in_tmp, capfd):
    """A missing file is a FileNotFoundError and a kovrent.Error, with errno and filename, in every call."""
    calls = (kovrent.read, kovrent.header, kovrent.getdata, CCDData.read,
             lambda path: CCDData.read(path, format="veska"))
    for call in calls:
        with pytest.raises(FileNotFoundError) as raised:
            call("missing.005")
        assert (raised.value.errno, raised.value.filename) == (errno.ENOENT, "missing.005")
    with pytest.raises(kovrent.Error, match="^missing.005: No such file or directory$"):
        kovrent.read("missing.005")
    (in_tmp / "night").mkdir()
    (in_tmp / "out").mkdir()
    for call in (kovrent.read, kovrent.header, kovrent.getdata):
        with pytest.raises(kovrent.ReadError) as raised:
            call("night")
        status, said = program_says(in_tmp, ["night", "-d", "out"])
        assert status == 1 and str(raised.value) in said
    assert capfd.readouterr() == ("", "")


def test_a_file_not_allowed_is_a_permission_error(tmp_path):
    """Read by an unprivileged user, as root reads any file."""
    locked = tmp_path / cases.INPUT
    locked.write_bytes(SAMPLE_BYTES)
    locked.chmod(0)
    script = ("import kovrent\ntry:\n    kovrent.read(%r)\nexcept PermissionError as error:\n"
              "    print(isinstance(error, kovrent.Error), error.errno, error.filename == %r)") % (str(locked), str(locked))
    nobody = dict(user=65534, group=65534, extra_groups=[]) if os.geteuid() == 0 else {}
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60, **nobody)
    assert run.stdout == f"True {errno.EACCES} True\n", run.stderr


def test_a_map_that_cannot_be_read_names_the_map(in_tmp):
    (in_tmp / cases.INPUT).write_bytes(SAMPLE_BYTES)
    (in_tmp / "mask.fits").write_text("not a FITS file")
    with pytest.raises(kovrent.ReadError, match="mask.fits is not a FITS file") as raised:
        kovrent.read(cases.INPUT, mask="mask.fits")
    assert raised.value.filename == "mask.fits"
    with pytest.raises(kovrent.ReadError, match="gain.fits") as raised:
        kovrent.read(cases.INPUT, gain="gain.fits")


@pytest.mark.parametrize("options, reason", [
    (dict(expand=0), "expand=0: expand is a whole number, 1 or more"),
    (dict(expand=-1), "expand=-1: expand is a whole number, 1 or more"),
    (dict(expand=5), "expansion by 5 makes the 128 x 128 image larger than 512 x 512"),
    (dict(expand="2"), "expand='2': expand is a whole number"),
    (dict(expand=2.0), "expand is a whole number"),
    (dict(frame=True), "frame is a whole number"),
    (dict(orient="no"), "orient='no': orient is True or False"),
    (dict(zero_wait=1.5), "zero_wait is True or False"),
    (dict(mask=""), "mask='': mask is the name of a FITS mask"),
    (dict(gain=" "), "gain=' ': gain is the name of a FITS gain map"),
    (dict(gain=3), "gain=3: gain is the name of a FITS file"),
    (dict(frame=5), "frame 5 asked for, but observing mode 3 (CHOP-NOD) has 4 frames"),
])
def test_bad_option_values_raise_value_errors(options, reason, in_tmp):
    (in_tmp / cases.INPUT).write_bytes(SAMPLE_BYTES)
    with pytest.raises(kovrent.OptionError) as raised, warnings.catch_warnings():
        warnings.simplefilter("error", kovrent.ConversionWarning)
        kovrent.read(cases.INPUT, **options)
    assert isinstance(raised.value, ValueError) and isinstance(raised.value, kovrent.Error)
    assert not isinstance(raised.value, OSError)
    assert reason in str(raised.value)


@pytest.mark.parametrize("key, value", [("BZERO", "abc"), ("BSCALE", "1.0.0")])
def test_a_scaling_card_that_is_no_number_is_an_error(key, value, in_tmp):
    """The program refuses the input, and so does every call, with the card named."""
    cases.save_fits_input(in_tmp / cases.INPUT, [cw.value_card(key, value, "")])
    assert program_says(in_tmp, [cases.INPUT, "-f"])[0] == 1
    for call in (kovrent.read, lambda path, **options: CCDData.read(path, format="veska", **options)):
        with pytest.raises(kovrent.Error, match=f"^c970611a.005: {key} "):
            call(cases.INPUT, fits_input=True)


def test_an_unknown_option_is_a_type_error():
    with pytest.raises(TypeError):
        kovrent.read(str(SAMPLE), expansion=2)


def packed_chop(ultrafast):
    g = cw.geometry_of(32, 32) if ultrafast else cw.geometry_of(64, 64)
    f = cw.CameraWriter().object("PACKED").corners(g).total_coadds(3).obsmode(2).time_obs(cw.ClockTime(1, 2, 3, 4))
    if ultrafast:
        f.ultrafast(4).end_marker().ultrafast_data(g, 2, 4, lambda i, b, x, y: i + b * 7 - x + y)
    else:
        f.packed(3, 1).end_marker().packed_data(g, 2, 3, lambda i, b, x, y: i * 1000 + b - x * y)
    return f.trailer(cw.ClockTime(1, 3, 5, 7)).bytes()


def raw_header(corners, records, data_bytes):
    """A header written field by field, with values the writer's checked records refuse."""
    f = cw.CameraWriter().flag(13).int16(corners[0]).int16(corners[1]).flag(14).int16(corners[2]).int16(corners[3])
    for flag, kind, value in records:
        f.flag(flag)
        {"i": f.int32, "h": f.int16, "b": lambda v: f.byte(v).byte(0)}[kind](value)
    return f.end_marker().fill(data_bytes, 0x5A).bytes()


FRAMES_128 = 4 * 128 * 128 * 4


def hostile_files():
    """(label, bytes) of the program's hostile camera files: cut short, bytes flipped, absurd values."""
    files = [(f"cut to {n} bytes", SAMPLE_BYTES[:n]) for n in range(0, SAMPLE_HEADER + 1)]
    files += [(f"cut to {n} bytes", SAMPLE_BYTES[:n]) for n in range(SAMPLE_HEADER + 4099, len(SAMPLE_BYTES), 4099)]
    chance = random.Random(20240611)
    for label, original, header in [("chop-nod", SAMPLE_BYTES, SAMPLE_HEADER), ("packed", packed_chop(False), 64),
                                    ("ultrafast", packed_chop(True), 64)]:
        for i in range(60 if label != "chop-nod" else 240):
            flipped = bytearray(original)
            span = header if i % 2 == 0 else len(original)
            for _ in range(1 + chance.randrange(8)):
                flipped[chance.randrange(span)] ^= 1 + chance.randrange(255)
            files.append((f"{label} {i} flipped", bytes(flipped)))
    grab = [(12, "i", 1), (29, "b", 1)]
    files += [
        ("INITX after ENDX", raw_header((100, 0, 10, 127), grab, FRAMES_128)),
        ("512 x 512 without data", raw_header((0, 0, 511, 511), grab, 100)),
        ("32767 columns", raw_header((0, 0, 32766, 127), grab, FRAMES_128)),
        ("corners at the int16 extremes", raw_header((-32768, -32768, 32767, 32767), grab, FRAMES_128)),
        ("negative corners of a sound size", raw_header((-64, -64, 63, 63), grab, FRAMES_128)),
        ("FINX at INT32_MAX", raw_header((0, 0, 127, 127), [(77, "i", 2**31 - 1), (12, "i", 1), (29, "b", 3)],
                                         FRAMES_128)),
        ("FINX at INT32_MIN", raw_header((0, 0, 127, 127), [(77, "i", -2**31), (12, "i", 1), (29, "b", 3)],
                                         FRAMES_128)),
        ("TOTCOADD 0", raw_header((0, 0, 127, 127), [(12, "i", 0), (29, "b", 3)], FRAMES_128)),
        ("TOTCOADD INT32_MIN", raw_header((0, 0, 127, 127), [(12, "i", -2**31), (76, "i", 0), (29, "b", 3)],
                                          FRAMES_128)),
        ("packed 32767 with one data block", raw_header((0, 0, 127, 127), grab + [(54, "i", 32767 + 65536)], 32768)),
        ("ultrafast 32767 with tiny data", raw_header((0, 0, 63, 63), [(12, "i", 1), (29, "b", 2), (80, "h", 32767)],
                                                      100)),
        ("declared header INT32_MAX", raw_header((0, 0, 127, 127), grab + [(71, "i", 2**31 - 1)], FRAMES_128)),
        ("declared header INT32_MIN", raw_header((0, 0, 127, 127), grab + [(71, "i", -2**31)], FRAMES_128)),
    ]
    return files


def test_hostile_files_convert_or_raise_as_the_program_does(in_tmp, capfd):
    """Each file converts exactly when the program converts it (a packed file with -p --cube), and
    fails with the program's reason."""
    disagreements = []
    (in_tmp / "out").mkdir()
    for label, content in hostile_files():
        (in_tmp / cases.INPUT).write_bytes(content)
        status, said = program_says(in_tmp, [cases.INPUT, "-d", "out"])
        if "data packed, use -p option" in said:  # kovrent.read gives the cube of a packed file's images
            status, said = program_says(in_tmp, [cases.INPUT, "-d", "out", "-p", "--cube"])
        try:
            data = kovrent.getdata(cases.INPUT)
            converted, reason = True, ""
        except kovrent.ReadError as error:
            converted, reason = False, str(error).removeprefix(cases.INPUT + ": ")
        try:
            kovrent.header(cases.INPUT)
        except kovrent.ReadError as error:
            assert str(error), label
        if converted != (status == 0) or (not converted and reason not in said):
            disagreements.append((label, status, said, reason))
        if converted:
            assert data.size > 0
        for written in (in_tmp / "out").iterdir():
            written.unlink()
    assert disagreements == []
    rows = kovrent.log([cases.INPUT, "missing"])
    assert list(rows["status"])[1] == "missing: No such file or directory"
    assert capfd.readouterr().out == ""


def test_fuzz_seeds_never_end_the_interpreter():
    """The seeds of the camera and FITS fuzz targets, as camera files and as FITS input."""
    seeds = sorted((SOURCE_DIR / "fuzz" / "corpus" / "camera").iterdir())
    seeds += sorted((SOURCE_DIR / "fuzz" / "corpus" / "fits").iterdir())
    assert len(seeds) > 10
    for seed in seeds:
        for fits_input in (False, True):
            try:
                kovrent.read(seed, fits_input=fits_input)
            except kovrent.Error as error:
                assert str(error)


def test_out_of_memory_raises_and_the_interpreter_goes_on():
    """Under a limit on the address space, conversions fail with MemoryError or the program's
    reason, never ending the process; with the limit lifted, the same call succeeds."""
    script = f"""
import resource, kovrent, numpy
path = {str(SAMPLE)!r}
kovrent.read(path)
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
usage = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()
failures = set()
for extra in range(0, 8 << 20, 256 << 10):
    resource.setrlimit(resource.RLIMIT_AS, (usage + extra, hard))
    try:
        kovrent.read(path, expand=4)
    except (MemoryError, kovrent.Error) as error:
        failures.add(type(error).__name__ + ': ' + str(error))
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(sorted(failures))
print(kovrent.read(path, expand=4)[0].data.shape)
"""
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120,
                         env=dict(os.environ))
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[-1] == "(512, 512)"
    assert "Error" in lines[0]
    assert run.stderr == ""
