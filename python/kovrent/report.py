"""A night's report: the files of a range (or the names given) converted as the program converts
them into a folder, with a page that shows a thumbnail of every image and the observing log.

    python3 -m kovrent report c970611a. -r 1 100 -d night [the program's options]

The page, DIR/index.html, needs nothing but the folder: its thumbnails are PNG files beside it.
"""

import argparse
import html
import os
import sys
import tempfile
import warnings

import numpy as np
from astropy.visualization import ZScaleInterval
from PIL import Image

import _kovrent

from . import reading

# Pixels without a value (NaN, or made bad by the mask) in a colour that the grey of the data
# never takes.
UNDEFINED = (255, 0, 0)
PLANES = 16  # thumbnails of a cube's first planes, by default
THUMBNAIL = 256  # the longer side of a thumbnail at most, in screen pixels


def parser():
    line = argparse.ArgumentParser(
        prog="python3 -m kovrent report",
        description="Converts a night's camera files as kovrent does and writes DIR/index.html: a thumbnail "
                    "of every image and the observing log, with links to the FITS files.")
    line.add_argument("names", nargs="+", help="camera files, or the root name of a range (-r)")
    line.add_argument("-r", nargs=2, metavar=("N1", "N2"), help="the numbered files N1 to N2 of the root name")
    line.add_argument("-d", metavar="DIR", help="the folder of the FITS files and the page (default: the inputs')")
    line.add_argument("-e", metavar="N", help="expansion factor")
    line.add_argument("-g", metavar="GAIN", help="gain map in FITS format")
    line.add_argument("-m", metavar="MASK", help="FITS mask, 1 good, 0 bad pixel")
    line.add_argument("-o", metavar="FRAME", help="one frame of the observation")
    line.add_argument("-n", action="store_true", help="no flips or rotations")
    line.add_argument("-z", action="store_true", help="correct data taken with zero chopper wait time")
    line.add_argument("-i", action="store_true", help="interchange columns 4 and 5")
    line.add_argument("-f", action="store_true", help="the inputs are FITS files")
    line.add_argument("-a", action="store_true", help="add '.fits' to the output names")
    line.add_argument("--modern", action="store_true", help="ISO times, coordinate units, checksums")
    line.add_argument("--frames", action="store_true", help="every frame of each file as the planes of a cube")
    line.add_argument("--keep-going", action="store_true", help="go on past files that cannot be read")
    line.add_argument("--planes", type=int, default=PLANES, metavar="K",
                      help=f"thumbnails of the first K planes of a cube (default {PLANES})")
    return line


def inputs_of(arguments):
    """The input names: the numbered files of a range, or the names as given."""
    if not arguments.r:
        return list(arguments.names)
    if len(arguments.names) > 1:
        raise reading.OptionError("-r converts the numbered files of one root name; more names were given")
    try:
        first, last = (_kovrent.option_number(bound) for bound in arguments.r)
    except reading.OptionError:
        first = -1
    if first < 0:
        raise reading.OptionError("-r takes two numbers (for example -r 1 100)")
    root = os.fsencode(arguments.names[0])
    return [_kovrent.numbered_name(root, number) for number in range(first, last + 1)]


def conversion_options(arguments):
    """The Options of the conversion for the options given, numbers as the program reads them; with
    -d and -a they also name the outputs as the program does."""
    keywords = dict(orient=not arguments.n, zero_wait=arguments.z, interchange=arguments.i, fits_input=arguments.f,
                    modern=arguments.modern, frames=arguments.frames, gain=arguments.g, mask=arguments.m)
    for flag, name, form in (("e", "expand", "a whole number, 1 or more (for example -e 2)"),
                             ("o", "frame", "a frame number (for example -o 2)")):
        if getattr(arguments, flag) is not None:
            try:
                keywords[name] = _kovrent.option_number(getattr(arguments, flag))
                reading._options(**{name: keywords[name]})
            except reading.OptionError:
                raise reading.OptionError(f"-{flag} takes {form}") from None
    options = reading._options(**keywords)
    options.output_directory = arguments.d
    options.append_fits = arguments.a
    return options


def write_atomically(path, parts):
    """The bytes under a hidden name in the same folder, renamed into place once complete."""
    folder, name = os.path.split(path)
    descriptor, hidden = tempfile.mkstemp(prefix="." + name + ".", dir=folder or ".")
    try:
        with os.fdopen(descriptor, "wb") as file:
            for part in parts:
                file.write(part)
        os.replace(hidden, path)
    except BaseException:
        os.unlink(hidden)
        raise


def fits_bytes(header_text, data, extension):
    """The file the program writes: header, data padded to whole blocks, and the table that follows."""
    yield header_text.encode("latin-1")
    yield memoryview(np.ascontiguousarray(data)).cast("B")
    yield bytes(-data.nbytes % 2880)
    yield extension


def thumbnail(plane, bad):
    """An RGB image of one plane as a FITS viewer shows it (first row at the bottom): grey by
    astropy's zscale limits, undefined pixels in UNDEFINED."""
    values = np.asarray(plane, dtype=np.float64)
    undefined = ~np.isfinite(values)
    if bad is not None:
        undefined |= bad
    defined = values[~undefined]
    low, high = ZScaleInterval().get_limits(defined) if defined.size else (0.0, 0.0)
    with np.errstate(invalid="ignore", divide="ignore"):
        scaled = np.clip((values - low) / (high - low), 0.0, 1.0) if high > low else np.full(values.shape, 0.5)
    grey = np.rint(np.nan_to_num(scaled) * 255).astype(np.uint8)
    rgb = np.repeat(grey[:, :, None], 3, axis=2)
    rgb[undefined] = UNDEFINED
    picture = Image.fromarray(np.flipud(rgb), "RGB")
    # Whole screen pixels per image pixel where the image is small, every k-th pixel where large.
    longer = max(picture.size)
    size = (picture.width * THUMBNAIL // longer, picture.height * THUMBNAIL // longer)
    if longer < THUMBNAIL:
        factor = THUMBNAIL // longer
        size = (picture.width * factor, picture.height * factor)
    return picture.resize(size, Image.Resampling.NEAREST)


class Night:
    """What the report converted: per input its FITS file and thumbnails, or why it failed."""

    def __init__(self, directory):
        self.directory = directory
        self.entries = []  # (input name, FITS name or None, [(thumbnail, caption)], planes, reason)
        self.not_tried = 0

    def add(self, name, fits_name=None, thumbnails=(), planes=0, reason=""):
        self.entries.append((name, fits_name, list(thumbnails), planes, reason))


def convert_night(arguments, say):
    inputs = inputs_of(arguments)
    options = conversion_options(arguments)  # a bad value is refused before any file
    directory = arguments.d or os.path.dirname(os.fsdecode(inputs[0])) or "."
    os.makedirs(os.path.join(directory, "thumbnails"), exist_ok=True)
    night = Night(directory)
    for index, name in enumerate(inputs):
        shown = os.fsdecode(name)
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", reading.ConversionWarning)
                converted = reading._convert(name, options, want_mask=True)
        except reading.Error as error:
            # A ReadError's reason names its file; a value this file cannot take is said with it.
            say(f"kovrent: {error}" if isinstance(error, reading.ReadError) else f"kovrent: {shown}: {error}")
            night.add(shown, reason=str(error))
            if not arguments.keep_going:
                night.not_tried = len(inputs) - index - 1
                break
            continue
        data, bad = converted.data, converted.mask
        for warning in converted.warnings:
            say(f"kovrent: {shown}: {warning}")
        cube = data.ndim == 3
        fits_name = os.fsdecode(_kovrent.output_name(os.fsencode(name), options, cube))
        write_atomically(fits_name, fits_bytes(converted.header, data, converted.extension))
        planes = data if cube else data[None]
        thumbnails = []
        for k, plane in enumerate(planes[:max(arguments.planes, 1)]):
            picture = os.path.join("thumbnails", f"{os.path.basename(fits_name)}.{k + 1}.png")
            thumbnail(plane, None if bad is None else bad.astype(bool)).save(os.path.join(directory, picture))
            thumbnails.append((picture, f"plane {k + 1}" if cube else ""))
        night.add(shown, os.path.relpath(fits_name, directory), thumbnails, len(planes))
    return night, inputs


STYLE = """
body { font-family: sans-serif; margin: 1.5em; color: #222; }
figure { display: inline-block; margin: 0 1em 1em 0; vertical-align: top; }
figcaption { font-size: 0.8em; }
img { image-rendering: pixelated; border: 1px solid #999; }
img.broken { border: 2px dashed #c00; }
table { border-collapse: collapse; font-size: 0.8em; }
th, td { border: 1px solid #bbb; padding: 2px 5px; text-align: left; white-space: nowrap; }
tr.failed td { color: #a00; }
"""


def page(night, log, arguments):
    """The page: what it shows, the thumbnails, and the log's table with the FITS files."""
    converted = sum(1 for entry in night.entries if entry[1])
    failed = len(night.entries) - converted
    out = ["<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8">',
           "<title>kovrent report</title>", f"<style>{STYLE}</style></head><body>",
           "<h1>Observing report</h1>",
           f"<p>{converted} files converted, {failed} failed"
           + (f", {night.not_tried} not tried" if night.not_tried else "") + ". "
           f"One thumbnail per file; a cube shows its first {max(arguments.planes, 1)} planes at most. "
           "Grey from astropy's zscale limits, north as the written file has it (its first row at the bottom); "
           "pixels without a value (NaN, or made bad by the mask) are red.</p>",
           '<section id="thumbnails">']
    for name, fits_name, thumbnails, planes, reason in night.entries:
        for picture, caption in thumbnails:
            label = html.escape(os.path.basename(fits_name)) + (f", {caption} of {planes}" if caption else "")
            out.append(f'<figure><a href="{html.escape(fits_name)}"><img src="{html.escape(picture)}" alt="{label}" '
                       "onload=\"this.dataset.decoded = this.naturalWidth\" "
                       "onerror=\"this.className = 'broken'\"></a>"
                       f"<figcaption>{label}</figcaption></figure>")
    out.append('</section><h2>Observing log</h2><table id="log"><thead><tr><th>FITS file</th>')
    columns = log.colnames
    for column in columns:
        unit = log[column].unit
        out.append(f"<th>{html.escape(column)}" + (f" ({html.escape(str(unit))})" if unit else "") + "</th>")
    out.append("</tr></thead><tbody>")
    written = {name: (fits_name, reason) for name, fits_name, _, _, reason in night.entries}
    for row in log:
        fits_name, reason = written.get(str(row["file"]), (None, "not tried"))
        link = f'<a href="{html.escape(fits_name)}">{html.escape(os.path.basename(fits_name))}</a>' if fits_name \
            else html.escape(reason)
        cells = ["" if np.ma.is_masked(row[column]) else html.escape(str(row[column])) for column in columns]
        out.append(f'<tr{"" if fits_name else " class=failed"}><td>{link}</td>'
                   + "".join(f"<td>{cell}</td>" for cell in cells) + "</tr>")
    out.append("</tbody></table></body></html>")
    return "\n".join(out) + "\n"


def main(argv):
    arguments = parser().parse_args(argv)

    def say(line):
        print(line, file=sys.stderr)

    try:
        night, inputs = convert_night(arguments, say)
    except reading.OptionError as error:
        say(f"kovrent: {error}")
        return 1
    log = reading.log(inputs, fits_input=arguments.f)
    index = os.path.join(night.directory, "index.html")
    write_atomically(index, [page(night, log, arguments).encode("utf-8")])
    failed = sum(1 for entry in night.entries if not entry[1])
    say(f"kovrent: {index}: {len(night.entries) - failed} files converted, {failed} failed"
        + (f", {night.not_tried} not tried" if night.not_tried else ""))
    return 1 if failed else 0
