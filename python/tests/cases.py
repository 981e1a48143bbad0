"""The rows of the program's conversion tables that run one file (tests/test_conversion.cpp,
test_validators.cpp, test_geometry.cpp), as inputs built with the tests' camera-file writer and
the options of kovrent.read; and the program's command line for the same options."""

import math

import camerawriter as cw

INPUT = "c970611a.005"

# The flags the command line gives each option of kovrent.read.
FLAGS = {"expand": "-e", "frame": "-o", "gain": "-g", "mask": "-m", "zero_wait": "-z", "interchange": "-i",
         "fits_input": "-f", "modern": "--modern", "frames": "--frames"}


def program_arguments(options, extra=()):
    arguments = [INPUT, *extra]
    for name, value in options.items():
        if name == "orient":
            arguments += [] if value else ["-n"]
        elif value is True:
            arguments.append(FLAGS[name])
        elif value is not False:
            arguments += [FLAGS[name], str(value)]
    return arguments


def distinct_frame(n, x, y):
    return int(cw.distinct(x, y))


def save_grab(path, nx, ny, orientation=""):
    header = cw.observation_header(nx, ny)
    if orientation:
        header.orientation(orientation)
    cw.save_observation(header, str(path), nx, ny, 1, distinct_frame)


def save_fits_input(path, extra):
    cards = cw.primary_cards(-32, 16, 16) + extra
    cw.write_fits_file(str(path), cards, -32, 16, 16, cw.distinct)


def save_map(path, bitpix, naxis1, naxis2, value, scaling=()):
    cw.write_fits_file(str(path), cw.primary_cards(bitpix, naxis1, naxis2) + list(scaling), bitpix, naxis1, naxis2,
                       value)


# The validators' observations: coordinate records, frames whose quotients are exact.
RA, DEC = 150.25, -30.5


def frame_value(n, x, y):
    return 8 * (250 * n + 31 * x - 17 * y + (x * y) % 29)


def record_text(i):
    return ("Note " + str(i) + ": Barnard's star\t0.8\xb0, N-band (10.5 um); chop 20\" E-W & ok"
            + ("'" if i % 2 else ".") * (i % 50))


def add_records(header, count, year):
    values = [lambda f: f.date_time(year, 6, 11, 9, 5, 3), lambda f: f.time_obs(cw.ClockTime(9, 5, 3, 7)),
              lambda f: f.time_end(cw.ClockTime(9, 17, 41, 52)), lambda f: f.site(3), lambda f: f.wavelength(10.5),
              lambda f: f.chop_wait(12.5), lambda f: f.record(10, [math.nan])]
    strings = [18, 19, 20, 21, 22, 23, 52, 53]
    for i in range(count):
        if i < len(values):
            values[i](header)
        else:
            flag = strings[i - len(values)] if i < len(values) + len(strings) else 26
            # The writer takes the text's bytes as they are: one byte per character.
            header.string_record(flag, record_text(i).encode("latin-1"))


def camera_header(n1, n2, obsmode, coadds):
    header = cw.observation_header(n1, n2, obsmode, coadds)
    return header.telescope_scale(10.0).magnification(2.0).ra_dec(RA, DEC).offsets(3.5, -2.25)


def save_camera(path, n=16, obsmode=1, records=0, year=1997, frames_per_coimage=0):
    header = camera_header(n, n, obsmode, 2)
    if frames_per_coimage:
        header.frames_per_coimage(frames_per_coimage).chop_wait(0.0)
    if obsmode > 2:
        header.beam_coadds(2, 4).beam_coadds(3, 8).beam_coadds(4, 1)
    add_records(header, records, year)
    cw.save_observation(header, str(path), n, n, 4, frame_value)


def beam_value(image, beam, x, y):
    return 4 * (500 * image + 200 * beam + 13 * x - 7 * y)


def save_packed(path, obsmode, ultrafast):
    g = cw.geometry_of(16, 16)
    f = camera_header(16, 16, obsmode, 4)
    f.orientation("ULYNN").date_time(1997, 6, 11, 9, 5, 3).time_obs(cw.ClockTime(9, 5, 3, 7)).record(57, [1950.0])
    if ultrafast:
        f.ultrafast(2).end_marker().ultrafast_data(g, obsmode, 2, beam_value)
    else:
        f.packed(2, 1).end_marker().packed_data(g, obsmode, 2, beam_value)
    f.trailer(cw.ClockTime(5, 3, 7, 2)).save(str(path))


PACKED_CUBE = ["-p", "--cube"]


class Row:
    """One conversion: its name, what it writes into a folder, and the options of kovrent.read;
    `program` the program's options that kovrent.read takes by itself (a packed file's -p --cube)."""

    def __init__(self, name, build, program=(), **options):
        self.name, self.build, self.options, self.program = name, build, options, list(program)

    def __repr__(self):
        return self.name


def validator_rows():
    cameras = [
        ("GrabInOneBlock", {}, {}),
        ("Chop", dict(obsmode=2), {}),
        ("ChopNod3", dict(obsmode=3), {}),
        ("ChopNod4", dict(obsmode=4), {}),
        ("Nod", dict(obsmode=5), {}),
        ("TwoBeamNod", dict(obsmode=7), {}),
        ("ExpandedBy1", {}, dict(expand=1)),
        ("ExpandedBy2", dict(obsmode=2), dict(expand=2)),
        ("ExpandedBy3", dict(obsmode=5), dict(expand=3)),
        ("ExpandedBy4To512", dict(n=128), dict(expand=4)),
        ("NoFlips", dict(obsmode=2), dict(orient=False)),
        ("Frame3", dict(obsmode=3), dict(frame=3)),
        ("Frame4", dict(obsmode=7), dict(frame=4)),
        ("HeaderOfTwoBlocks", dict(records=13), {}),
        ("DatedAfter1999", dict(records=1, year=2003), {}),
        ("DateOfYear10000LeftOut", dict(records=1, year=10000), {}),
        ("HeaderOfThreeBlocks", dict(obsmode=5, records=68), {}),
        ("ZeroWaitAndInterchange", dict(obsmode=2, records=2, frames_per_coimage=4),
         dict(zero_wait=True, interchange=True)),
    ]
    rows = [Row(name, lambda d, f=file: save_camera(d / INPUT, **f), **options) for name, file, options in cameras]

    def mask_and_gain(d):
        save_camera(d / INPUT, 16, 2)
        save_map(d / "mask.fits", 8, 16, 16, lambda x, y: 0.0 if (x + y) % 5 == 0 else 1.0)
        save_map(d / "gain.fits", -32, 16, 16, lambda x, y: 0.5 + 0.25 * ((x + 2 * y) % 4))

    rows.append(Row("MaskAndGain", mask_and_gain, mask="mask.fits", gain="gain.fits"))

    def fits_input(d):
        cards = cw.primary_cards(16, 16, 16)
        for key, value in [("RA", "20.5"), ("DEC", "-40.25"), ("OFFSET1", "1.5"), ("OFFSET2", "-0.5"),
                           ("TELESCLE", "8.0"), ("MAGNIFIC", "4.0")]:
            cards.append(cw.value_card(key, value, ""))
        cards.append(cw.fits_card("ORIENTST= 'ULYNN'"))
        cw.write_fits_file(str(d / INPUT), cards, 16, 16, 16, lambda x, y: 300.0 * x - 41.0 * y - 7.0)

    rows.append(Row("FitsInput", fits_input, fits_input=True, expand=2))

    def fits_input_masked(d):
        fits_input(d)
        save_map(d / "mask.fits", 8, 16, 16, lambda x, y: 0.0 if (x + y) % 5 == 0 else 1.0)

    rows.append(Row("FitsInputMasked", fits_input_masked, fits_input=True, expand=2, mask="mask.fits"))
    # A packed file gives the cube of its images, as -p --cube writes it.
    rows.append(Row("PackedChop", lambda d: save_packed(d / INPUT, 2, False), PACKED_CUBE))
    rows.append(Row("Ultrafast", lambda d: save_packed(d / INPUT, 1, True), PACKED_CUBE))
    return rows + [Row(row.name + "Modern", row.build, row.program, **row.options, modern=True) for row in rows]


def world_coordinate_rows():
    table = [
        ("scale at e = 1", 16, 16, 10.0, 2.0, True, 0, 1),
        ("scale at e = 2", 16, 16, 10.0, 2.0, True, 0, 2),
        ("values in both header blocks", 16, 16, 10.0, 2.0, True, 25, 2),
        ("no TELESCLE, odd sizes", 15, 13, None, 2.0, True, 0, 1),
        ("no MAGNIFIC", 16, 16, 10.0, None, True, 0, 1),
        ("TELESCLE 0", 16, 16, 0.0, 2.0, True, 0, 1),
        ("MAGNIFIC negative", 16, 16, 10.0, -2.0, True, 0, 1),
        ("no RA and DEC", 16, 16, 10.0, 2.0, False, 0, 1),
    ]

    def build(d, nx, ny, telescle, magnific, ra_dec, fillers):
        header = cw.observation_header(nx, ny)
        if telescle is not None:
            header.telescope_scale(telescle)
        if magnific is not None:
            header.magnification(magnific)
        for _ in range(fillers):
            header.string_record(26, b"FILLER")
        if ra_dec:
            header.ra_dec(150.25, -30.5)
        header.offsets(3.5, -2.25)
        cw.save_observation(header, str(d / INPUT), nx, ny, 1, distinct_frame)

    return [Row("WCS " + name, lambda d, r=row: build(d, *r[1:7]), expand=row[7]) for row in table for name in [row[0]]]


def history_rows():
    def build(d):
        cw.save_observation(cw.observation_header(16, 16), str(d / INPUT), 16, 16, 10, distinct_frame)
        for name in ("mask.fits", "gain.fits"):
            save_map(d / name, -32, 16, 16, lambda x, y: 1.0)

    table = [{}, dict(frame=2), dict(frame=10), dict(frame=-1), dict(expand=2), dict(orient=False),
             dict(gain="gain.fits", mask="mask.fits"),
             dict(orient=False, expand=4, frame=1, mask="mask.fits", gain="gain.fits")]
    return [Row(f"History {options}", build, **options) for options in table]


def end_card_rows():
    def build(d, fillers):
        header = cw.observation_header(16, 16)
        for i in range(fillers):
            header.string_record(26, f"FILLER {i}".encode())
        cw.save_observation(header, str(d / INPUT), 16, 16, 1, distinct_frame)

    return [Row(f"END with {n} fillers", lambda d, n=n: build(d, n)) for n in (8, 9, 20)]


def zero_wait_rows():
    table = [("chop", 0.0, 2, False), ("chop-nod 3", 0.0, 3, False), ("chop-nod 4", 0.0, 4, False),
             ("negative zero", -0.0, 2, False), ("no CHOPWAIT record", None, 2, False), ("grab", 0.0, 1, False),
             ("nod", 0.0, 5, False), ("two-beam nod", 0.0, 7, False), ("chop with a wait", 5.0, 2, False),
             ("corrected, no wait", 0.0, 2, True), ("corrected with a wait", 5.0, 2, True),
             ("corrected grab with a wait", 5.0, 1, True)]

    def build(d, chop_wait, obsmode):
        header = cw.observation_header(16, 16, obsmode)
        header.frames_per_coimage(4)
        if chop_wait is not None:
            header.chop_wait(chop_wait)
        cw.save_observation(header, str(d / INPUT), 16, 16, 4, distinct_frame)

    return [Row("zero wait " + name, lambda d, w=wait, m=mode: build(d, w, m), zero_wait=correct)
            for name, wait, mode, correct in table]


FLIP_CODES = ["ULYYN", "ULYNN", "ULNYN", "ULNNN", "DLYNN", "DLYYN", "DRYNN", "DRYYN", "URNYN", "UXYNN", "URYYN",
              "LLYNN", "LUYNN", "LDNNN", "LLYYN", "RLYNN", "LUYYN", "RDNNN", "RUYYN", "XUYYN", "XLYYN", "D", "DR", "L"]


def orientation_rows():
    rows = [Row("orientation " + code, lambda d, c=code: save_grab(d / INPUT, 16, 16, c)) for code in FLIP_CODES]
    table = [(128, 64, "ULYYY", {}), (128, 64, "ULNNY", dict(expand=2)), (128, 64, "ULYYN", {}),
             (128, 64, "LLYNN", {}), (128, 64, "LUYYN", dict(expand=2)), (128, 64, "ULYYY", dict(orient=False)),
             (128, 64, "ULYYY", dict(orient=False, expand=2)), (16, 16, "ULYYN", dict(expand=2)),
             (16, 16, "LUYNN", dict(expand=4)), (128, 128, "ULYYN", dict(expand=4))]
    rows += [Row(f"transposition {nx}x{ny} {code} {options}", lambda d, a=(nx, ny, code): save_grab(d / INPUT, *a),
                 **options) for nx, ny, code, options in table]
    return rows


def signed_zeros(x, y):
    return [0.0, -0.0, 1.0, 0.5, -1.0][(x + 2 * y) % 5]


# The mask and gain table: (name, mask, gain, image width), each map (BITPIX, width, height,
# scaling cards, stored value).
MAP_ROWS = [
    ("zeros of both signs are bad pixels", (-32, 16, 16, [("BZERO", "-0.0")], signed_zeros), None, 16),
    ("a mask smaller than the image", (-32, 10, 12, [], lambda x, y: 1.0), None, 16),
    ("mask scaled at load", (16, 16, 16, [("BSCALE", "0.5"), ("BZERO", "-1.0")], lambda x, y: 2.0 * ((x + y) % 3)),
     None, 16),
    ("gain doubles", None, (-32, 16, 16, [], lambda x, y: 2.0), 16),
    ("gain scaled at load, smaller than the image", None,
     (16, 12, 16, [("BSCALE", "0.25"), ("BZERO", "0.5")], lambda x, y: 6.0 * (x % 2)), 16),
    ("mask, then gain", (-32, 16, 16, [], signed_zeros), (-32, 16, 16, [], lambda x, y: 2.0), 16),
    ("mask and gain of a taller image", (-32, 6, 16, [], signed_zeros), (-32, 6, 16, [], lambda x, y: 2.0), 6),
]


def save_maps(d, mask, gain):
    options = {}
    for map_, name, option in [(mask, "mask.fits", "mask"), (gain, "gain.fits", "gain")]:
        if map_ is None:
            continue
        bitpix, n1, n2, scaling, value = map_
        save_map(d / name, bitpix, n1, n2, value, [cw.value_card(k, v, "") for k, v in scaling])
        options[option] = name
    return options


def map_rows():
    def build(d, mask, gain, nx):
        save_grab(d / INPUT, nx, 16, "ULYYN")
        save_maps(d, mask, gain)

    rows = []
    for name, mask, gain, nx in MAP_ROWS:
        options = {"mask": "mask.fits"} if mask else {}
        if gain:
            options["gain"] = "gain.fits"
        rows.append(Row("maps " + name, lambda d, a=(mask, gain, nx): build(d, *a), **options))
    return rows


def fits_orientation_rows():
    far = [cw.fits_card("COMMENT   FILLER")] * 36 + [cw.fits_card("ORIENTST= 'ULNNN'")]
    table = [("no ORIENTST", []), ("quoted", [cw.fits_card("ORIENTST= 'ULNNN'")]),
             ("four letters get N", [cw.fits_card("ORIENTST= 'LUYY'")]),
             ("blank inside the quotes", [cw.fits_card("ORIENTST= ' LUYNN'")]),
             ("fifth letter Y transposes", [cw.fits_card("ORIENTST= 'ULYYY'")]),
             ("only five letters count", [cw.fits_card("ORIENTST= 'ULNNNY'")]),
             ("as the camera reader writes it",
              [cw.fits_card("COMMENT   THE ORIENTST SHOWS THE ORIGINAL ORIENTATION OF THE DATA"),
               cw.fits_card("ORIENTST= 'RLYNN'")]),
             ("in the second header block", far), ("one letter keeps the rest of ULYYN", [cw.fits_card("ORIENTST= 'D'")])]
    chop = [cw.value_card("OBSMODE", "2", ""), cw.value_card("CHOPWAIT", "0.0", "")]
    return [Row("FITS input " + name, lambda d, c=cards: save_fits_input(d / INPUT, c + chop), fits_input=True)
            for name, cards in table]


def scaled_rows():
    """FITS inputs whose values the header scales (unsigned by BZERO, or by BSCALE), or marks
    undefined (BLANK, of a masked integer image with --modern)."""
    def build(d, scaling):
        cards = cw.primary_cards(16, 16, 16) + [cw.value_card(key, value, "") for key, value in scaling]
        cw.write_fits_file(str(d / INPUT), cards, 16, 16, 16, lambda x, y: 1000.0 * x + y)
        save_map(d / "mask.fits", 8, 16, 16, lambda x, y: 0.0 if (x + y) % 5 == 0 else 1.0)

    return [Row("FITS input unsigned", lambda d: build(d, [("BZERO", "32768")]), fits_input=True),
            Row("FITS input scaled", lambda d: build(d, [("BSCALE", "0.5"), ("BZERO", "-3.0")]), fits_input=True),
            Row("FITS input with BLANK", lambda d: build(d, []), fits_input=True, mask="mask.fits", modern=True)]


def library_call_rows():
    def build(d):
        header = cw.observation_header(128, 128)
        header.ra_dec(316.7575, 42.2358).telescope_scale(1.56).magnification(2.0).obsmode(3).offsets(3.5, -2.0)
        cw.save_observation(header, str(d / INPUT), 128, 128, 4, lambda n, x, y: n * 7919 + x - 3 * y)

    table = [{}, dict(expand=2, modern=True), dict(orient=False, frame=2, interchange=True),
             dict(zero_wait=True, expand=3)]
    return [Row(f"library call {options}", build, **options) for options in table]


def road_row():
    def build(d):
        def frame(n, x, y):
            sky = 4 * (300 + x + y)
            return sky + 4 * (997 * x - 4 * y + 7) if n == 1 else sky

        header = cw.observation_header(128, 128, 2, 4)
        header.telescope_scale(10.0).magnification(2.0).ra_dec(316.7575, -12.5).offsets(3.5, -2.25).chop_wait(12.5)
        cw.save_observation(header, str(d / INPUT), 128, 128, 2, frame)
        save_map(d / "gain.fits", -32, 128, 128, lambda x, y: 0.5 + 0.25 * ((x + y) % 4))

    return [Row("road of one file", build, expand=2, gain="gain.fits")]


# The packed files of the unpacking and cube tables (tests/test_unpack.cpp).
def packed_pixel(image, beam, x, y):
    v = image * 50021 + beam * 20011 + x * 613 + y * 3 + 1
    return v * 1021 * (-1 if image % 2 else 1) if (x + 2 * y) % 7 == 0 else v


def ultrafast_pixel(image, beam, x, y):
    return (1 if beam == 1 else -3) * (x * 64 + y + 1) + 7 * image


def save_packed_layout(path, naxis1=128, naxis2=128, obsmode=1, count=10, ultrafast=False, coadds=4, orientation="",
                       dated=False):
    g = cw.geometry_of(naxis1, naxis2)
    f = cw.CameraWriter().header_size(400).corners(g).total_coadds(coadds).obsmode(obsmode)
    f.time_obs(cw.ClockTime(1, 2, 3, 4)).time_end(cw.ClockTime(6, 7, 8, 9))
    if dated:
        f.date_time(1997, 6, 11, 1, 2, 3)
    if orientation:
        f.orientation(orientation)
    f.ultrafast(count) if ultrafast else f.packed(count, 7)
    f.end_marker().pad_to(400)
    if ultrafast:
        f.ultrafast_data(g, obsmode, count, ultrafast_pixel)
    else:
        f.packed_data(g, obsmode, count, packed_pixel)
    f.trailer(cw.ClockTime(5, 3, 7, 2)).save(str(path))


def packed_rows():
    unpacking = [("grab 128", dict(count=3), {}), ("chop, beams merged", dict(obsmode=2, count=3, coadds=3), {}),
                 ("chop, beam 1", dict(obsmode=2, count=3), dict(frame=1)),
                 ("chop, beam 2", dict(obsmode=2, count=3, coadds=3), dict(frame=2)),
                 ("chop-nod doubles", dict(obsmode=3, count=10, naxis1=32, naxis2=32), {}),
                 ("chop-nod 4, beams merged", dict(obsmode=4, count=2, coadds=3), {}),
                 ("chop-nod 4, beam 2 skipped", dict(obsmode=4, count=2), dict(frame=1)),
                 ("grab, interchanged", dict(count=2), dict(interchange=True)),
                 ("grab 27 x 21, interchanged", dict(naxis1=27, naxis2=21, count=3), dict(interchange=True)),
                 ("unused block tails", dict(naxis2=100, count=3, coadds=3), {}),
                 ("512 x 512", dict(naxis1=512, naxis2=512, count=2), {}),
                 ("chop, 27 columns a block", dict(naxis1=40, naxis2=300, obsmode=2, count=3), {}),
                 ("ultrafast grab 64", dict(naxis1=64, naxis2=64, count=6, ultrafast=True, coadds=3),
                  dict(interchange=True)),
                 ("ultrafast chop 64", dict(naxis1=64, naxis2=64, obsmode=2, count=3, ultrafast=True), {}),
                 ("ultrafast chop, beam 2", dict(naxis1=32, naxis2=16, obsmode=2, count=3, ultrafast=True, coadds=3),
                  dict(frame=2))]
    cubes = [("packed chop -i --modern", dict(naxis1=64, naxis2=32, obsmode=2, count=2, dated=True),
              dict(interchange=True, modern=True)),
             ("packed chop-nod -o 2", dict(naxis1=32, naxis2=32, obsmode=3, count=2), dict(frame=2)),
             ("packed chop -e 2 oriented --modern",
              dict(naxis1=32, naxis2=16, obsmode=2, count=3, orientation="ULYNN", dated=True),
              dict(expand=2, modern=True)),
             ("packed grab -n -e 3", dict(naxis1=16, naxis2=8, count=2), dict(orient=False, expand=3)),
             ("ultrafast chop --modern", dict(naxis1=32, naxis2=16, obsmode=2, count=5, ultrafast=True, dated=True),
              dict(modern=True))]
    return [Row("packed " + name, lambda d, layout=layout: save_packed_layout(d / INPUT, **layout), PACKED_CUBE,
                **options) for name, layout, options in unpacking + cubes]


def frames_rows():
    """Every frame of an observation of each mode, as --frames -e 2 writes them (--modern for some)."""
    def build(d, obsmode, frames):
        header = cw.observation_header(16, 8, obsmode, 3)
        header.beam_coadds(2, 5).beam_coadds(3, 7).beam_coadds(4, 9)
        cw.save_observation(header, str(d / INPUT), 16, 8, frames, lambda f, x, y: 1000 * f + 37 * x - 11 * y)

    modes = [(1, 1, False), (2, 2, True), (3, 4, True), (5, 2, False), (7, 4, False), (4, 4, True)]
    return [Row(f"frames of mode {mode}", lambda d, m=mode, n=count: build(d, m, n), frames=True, expand=2,
                modern=modern) for mode, count, modern in modes]


def one_file_rows():
    return (validator_rows() + world_coordinate_rows() + history_rows() + end_card_rows() + zero_wait_rows()
            + orientation_rows() + map_rows() + fits_orientation_rows() + scaled_rows() + library_call_rows()
            + road_row()
            + packed_rows() + frames_rows())
