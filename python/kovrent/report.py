"""A night's report: the files of a range (or the names given) converted as the program converts
them into a folder, with a page that an observer keeps open all night.

    python3 -m kovrent report c970611a. -r 1 100 -d night [the program's options]

DIR/index.html tells the night in a paragraph, then has a row per observation, grouped by object
(thumbnail, object, mode, filters or wavelength, start, exposure, status), and plots of the
night: each file's median and noise against time. A cube's row shows planes spread over the
whole cube and its light curve. A thumbnail opens the file's page: its image at full size and
its FITS header. The page needs nothing outside its folder; its files are in DIR/report/.
Ctrl-C ends the conversions and writes the page of the files done so far (exit status 130).
"""

import argparse
import contextlib
import html
import io
import os
import secrets
import signal
import sys
import warnings

import numpy as np
from astropy.table import Table
from astropy.time import Time
from astropy.visualization import ZScaleInterval
from PIL import Image

import _kovrent

from . import reading

# Pixels without a value (NaN, or made bad by the mask) in a colour that the grey of the data
# never takes.
UNDEFINED = (255, 0, 0)
PLANES = 8  # planes of a cube in its row, spread over the whole cube
FULL_SIZE = 512  # an image's longer side on its page, in screen pixels, at least
BOX = 3  # the light curve's box reaches this many pixels from the brightest one
FOLDER = "report"  # beside index.html: images, plots, the files' pages and the log


def parser():
    line = argparse.ArgumentParser(
        prog="python3 -m kovrent report",
        description="Converts a night's camera files as kovrent does and writes DIR/index.html: the night in a "
                    "paragraph, a row per observation grouped by object, and plots of the night, with links to "
                    "each file's image and header.")
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
                      help=f"K planes of a cube in its row, spread over the whole cube (default {PLANES})")
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


@contextlib.contextmanager
def signals_held():
    """SIGINT and SIGTERM wait until a file is in place: neither leaves half of one behind."""
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def write_atomically(path, parts):
    """The bytes under a hidden name in the same folder, renamed into place once complete. The
    file takes what the umask leaves of mode 0666, as the program's outputs do."""
    folder, name = os.path.split(path)
    with signals_held():
        hidden = os.path.join(folder, f".{name}.{secrets.token_hex(4)}")
        descriptor = os.open(hidden, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
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


def picture(plane, bad):
    """One plane as a FITS viewer shows it (first row at the bottom), a screen pixel per image
    pixel: grey by astropy's zscale limits, undefined pixels in UNDEFINED."""
    values = np.asarray(plane, dtype=np.float32)
    undefined = ~np.isfinite(values)
    if bad is not None:
        undefined |= bad
    defined = values[~undefined]
    low, high = ZScaleInterval().get_limits(defined) if defined.size else (0.0, 0.0)
    if high <= low and defined.size:  # a flat sky: zscale has no range, a source still stands out
        low, high = float(defined.min()), float(defined.max())
    with np.errstate(invalid="ignore", divide="ignore"):
        scaled = np.clip((values - low) / (high - low), 0.0, 1.0) if high > low else np.full(values.shape, 0.5)
    grey = np.flipud(np.rint(np.nan_to_num(scaled) * 255).astype(np.uint8))
    if not undefined.any():
        return Image.fromarray(grey, "L")
    rgb = np.repeat(grey[:, :, None], 3, axis=2)
    rgb[np.flipud(undefined)] = UNDEFINED
    return Image.fromarray(rgb, "RGB")


def png(image):
    out = io.BytesIO()
    image.save(out, "PNG", compress_level=1)
    return out.getvalue()


def median_and_noise(values):
    """The median of the defined values and their robust noise: the median absolute deviation
    scaled to a normal distribution's sigma."""
    values = values[np.isfinite(values)]
    if not values.size:
        return None, None
    median = float(np.median(values))
    return median, 1.4826 * float(np.median(np.abs(values - median)))


def brightest_box(image):
    """The box of (2 BOX + 1) pixels a side, within the image, whose sum is largest: around the
    brightest source rather than a single hot pixel. Slices of rows and columns."""
    filled = np.nan_to_num(np.asarray(image, dtype=np.float64), nan=float(np.nanmin(image)) if np.isfinite(
        image).any() else 0.0)
    side = 2 * BOX + 1
    sums = np.pad(filled, 1)[:-1, :-1].cumsum(0).cumsum(1)  # sums[y, x]: of the pixels before y and x
    rows, columns = filled.shape
    ys, xs = np.arange(rows), np.arange(columns)
    y0, y1 = np.clip(ys - BOX, 0, rows), np.clip(ys + BOX + 1, 0, rows)
    x0, x1 = np.clip(xs - BOX, 0, columns), np.clip(xs + BOX + 1, 0, columns)
    total = (sums[y1][:, x1] - sums[y0][:, x1] - sums[y1][:, x0] + sums[y0][:, x0]) / side ** 2
    y, x = np.unravel_index(np.argmax(total), total.shape)
    return slice(y0[y], y1[y]), slice(x0[x], x1[x])


class Entry:
    """One input: its FITS file and pictures, the numbers of its row and plots, or why it failed."""

    def __init__(self, name, reason=""):
        self.name = name
        self.reason = reason
        self.fits = self.page = self.image = self.strip = self.curve = None
        self.planes = 0
        self.start = None  # MJD of the first plane
        self.median = self.noise = None
        self.warnings = []


def pyplot():
    """matplotlib's pyplot on a backend that draws into files, imported once it is needed."""
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib import pyplot as plt
    return plt


def light_curve(cube, bad, starts):
    """The light curve of a cube as PNG bytes: each plane's sum in the box around its brightest
    source, against the plane's time from the first (or its number, where times are unknown)."""
    cube = np.asarray(cube, dtype=np.float64)
    if bad is not None:
        cube = np.where(bad, np.nan, cube)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # a pixel undefined in every plane
        rows, columns = brightest_box(np.nanmean(cube, axis=0))
    sums = np.nansum(cube[:, rows, columns], axis=(1, 2))
    timed = all(start is not None for start in starts) and len(set(starts)) == len(starts)
    x = (np.array(starts) - starts[0]) * 86400.0 if timed else np.arange(1, len(sums) + 1)
    plt = pyplot()
    figure, axes = plt.subplots(figsize=(3.2, 1.6), dpi=80, layout="constrained")
    axes.plot(x, sums, ".-", color="#1f77b4", markersize=4)
    axes.set_xlabel("seconds from plane 1" if timed else "plane", fontsize=7)
    axes.set_ylabel(f"box x {columns.start + 1}-{columns.stop}, y {rows.start + 1}-{rows.stop}", fontsize=6)
    axes.tick_params(labelsize=6)
    out = io.BytesIO()
    figure.savefig(out, format="png")
    plt.close(figure)
    return out.getvalue()


def strip(cube, bad, count):
    """`count` planes spread from the first to the last, side by side, each as picture() shows it."""
    planes = sorted(set(np.linspace(0, len(cube) - 1, max(min(count, len(cube)), 1)).round().astype(int)))
    images = [picture(cube[k], bad).convert("RGB") for k in planes]
    width, height = images[0].size
    out = Image.new("RGB", (len(images) * (width + 2) - 2, height), (255, 255, 255))
    for i, image in enumerate(images):
        out.paste(image, (i * (width + 2), 0))
    return out, [k + 1 for k in planes]


def convert_one(name, options, arguments, directory, entry, entries):
    """Converts `name` into its FITS file, its pictures and its numbers, in `entry`, which then
    joins `entries`. Once converted, a signal waits until the file's outputs are all in place."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", reading.ConversionWarning)
        converted = reading._convert(name, options, want_mask=True)
    with signals_held():
        write_outputs(converted, name, options, arguments, directory, entry)
        entries.append(entry)


def write_outputs(converted, name, options, arguments, directory, entry):
    data, bad = converted.data, converted.mask
    bad = None if bad is None else bad.astype(bool)
    entry.warnings = list(converted.warnings)
    cube = data.ndim == 3
    fits_name = os.fsdecode(_kovrent.output_name(os.fsencode(name), options, cube))
    write_atomically(fits_name, fits_bytes(converted.header, data, converted.extension))
    base = os.path.basename(fits_name)
    entry.fits = os.path.relpath(fits_name, directory)
    entry.planes = len(data) if cube else 1
    entry.start = converted.starts[0]
    values = np.asarray(data, dtype=np.float32)
    entry.median, entry.noise = median_and_noise(values[..., ~bad] if bad is not None else values)
    first = data[0] if cube else data
    entry.image = f"{FOLDER}/{base}.png"
    write_atomically(os.path.join(directory, entry.image), [png(picture(first, bad))])
    entry.size = first.shape[::-1]
    if cube:
        image, entry.strip_planes = strip(data, bad, arguments.planes)
        entry.strip = f"{FOLDER}/{base}.strip.png"
        write_atomically(os.path.join(directory, entry.strip), [png(image)])
        entry.curve = f"{FOLDER}/{base}.curve.png"
        write_atomically(os.path.join(directory, entry.curve), [light_curve(data, bad, converted.starts)])
    entry.page = f"{FOLDER}/{base}.html"
    write_atomically(os.path.join(directory, entry.page), [file_page(entry, converted.header).encode("utf-8")])


def convert_night(arguments, say):
    """Converts the inputs in order; the entries of those tried, the inputs, and how the run
    ended: None, "interrupted" (Ctrl-C) or the reason of a failure that stopped it."""
    inputs = inputs_of(arguments)
    options = conversion_options(arguments)  # a bad value is refused before any file
    directory = arguments.d or os.path.dirname(os.fsdecode(inputs[0])) or "."
    os.makedirs(os.path.join(directory, FOLDER), exist_ok=True)
    entries = []
    try:
        for name in inputs:
            entry = Entry(os.fsdecode(name))
            try:
                convert_one(name, options, arguments, directory, entry, entries)
            except reading.Error as error:
                # A ReadError's reason names its file; a value this file cannot take is said with it.
                say(f"kovrent: {error}" if isinstance(error, reading.ReadError) else f"kovrent: {entry.name}: {error}")
                entry.reason = str(error)
                entries.append(entry)
                if not arguments.keep_going:
                    return entries, inputs, directory, None
                continue
            for warning in entry.warnings:
                say(f"kovrent: {entry.name}: {warning}")
    except KeyboardInterrupt:
        return entries, inputs, directory, "interrupted"
    except OSError as error:
        say(f"kovrent: {error.filename or ''}: {error.strerror or error}")
        return entries, inputs, directory, str(error)
    return entries, inputs, directory, None


STYLE = """
body { font-family: sans-serif; margin: 1em; color: #222; max-width: 100%; }
p.night { font-size: 1.05em; line-height: 1.5; }
table { border-collapse: collapse; width: 100%; table-layout: fixed; font-size: 0.9em; }
th, td { border-bottom: 1px solid #ccc; padding: 3px 5px; text-align: left; vertical-align: top;
         overflow-wrap: anywhere; }
thead th { overflow-wrap: normal; }
tbody th { background: #eef; font-size: 1.05em; }
td img { max-width: 100%; height: auto; image-rendering: pixelated; border: 1px solid #999; }
td img.curve { image-rendering: auto; border: none; }
img.thumbnail { width: 96px; }
tr.failed td { color: #a00; }
.placeholder { width: 96px; height: 96px; border: 2px dashed #c00; color: #a00; font-size: 0.8em;
               display: flex; align-items: center; justify-content: center; }
small { color: #666; }
figure { margin: 1em 0; } figure img { max-width: 100%; height: auto; }
pre { font-size: 0.85em; }
"""


def file_page(entry, header):
    """The page a thumbnail opens: the image at full size, north as the file has it, and the header."""
    cards = [header[at:at + 80].rstrip() for at in range(0, len(header), 80)]
    cards = cards[:next((k + 1 for k, card in enumerate(cards) if card == "END"), len(cards))]
    base = html.escape(os.path.basename(entry.fits))
    width = entry.size[0] * max(1, FULL_SIZE // max(entry.size))
    body = [f'<p><a href="../{html.escape(entry.fits)}">the FITS file</a> · <a href="../index.html">the night</a></p>',
            f'<p>{"Plane 1 of " + str(entry.planes) + ", g" if entry.planes > 1 else "G"}rey from astropy\'s zscale '
            "limits, north as the file has it (its first row at the bottom); pixels without a value are red.</p>",
            f'<img src="{html.escape(os.path.basename(entry.image))}" width="{width}" alt="{base}" '
            'style="image-rendering: pixelated">']
    if entry.strip:
        planes = ", ".join(map(str, entry.strip_planes))
        body += [f"<p>Planes {planes}:</p>", f'<img src="{html.escape(os.path.basename(entry.strip))}" '
                 f'alt="planes {planes}" style="image-rendering: pixelated; max-width: 100%">',
                 f'<p>Light curve:</p><img src="{html.escape(os.path.basename(entry.curve))}" alt="light curve">']
    body.append("<h2>FITS header</h2><pre>" + html.escape("\n".join(cards)) + "</pre>")
    return (f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8"><title>{base}</title></head>'
            f"<body><h1>{base}</h1>" + "\n".join(body) + "</body></html>\n")


def log_values(log):
    """Per file of the log: its row's values as texts, a missing one as ''."""
    rows = {}
    columns = log.colnames
    texts = {}
    for column in columns:
        values = log[column]
        timed = isinstance(values, Time)
        mask = np.broadcast_to(values.mask, len(log)) if timed else np.ma.getmaskarray(values)
        shown = values.isot if timed else values
        texts[column] = ["" if missing else str(value) for value, missing in zip(shown, mask)]
    for index in range(len(log)):
        rows[texts["file"][index]] = {column: texts[column][index] for column in columns}
    return rows


def number_text(value, unit=""):
    return f"{float(value):g}{unit}" if value else ""


def filters_text(row):
    if row.get("LAMBDA"):
        return f"{float(row['LAMBDA']):g} µm"
    positions = [row.get(f"FILTER{n}", "") for n in (1, 2, 3)]
    return " / ".join(f"{float(p):g}" if p else "–" for p in positions) if any(positions) else ""


def night_paragraph(entries, rows, not_tried, ended):
    converted = sum(1 for entry in entries if entry.fits)
    failed = len(entries) - converted
    dates = sorted({rows[e.name]["start"][:10] for e in entries if rows.get(e.name, {}).get("start")})
    objects = []
    for entry in entries:
        name = rows.get(entry.name, {}).get("OBJECT", "")
        if name and name not in objects:
            objects.append(name)
    exposure = sum(float(rows[e.name]["EXPTIME"]) for e in entries if rows.get(e.name, {}).get("EXPTIME"))
    date = "date unknown" if not dates else dates[0] if len(dates) == 1 else f"{dates[0]} to {dates[-1]}"
    text = (f"Night of {date}: {len(entries)} files, {converted} converted, "
            f'<span class="{"failed" if failed else ""}">{failed} failed</span>'
            + (f", {not_tried} not tried" if not_tried else "")
            + (" (the report was interrupted)" if ended == "interrupted" else "")
            + f". {len(objects)} object{'s' if len(objects) != 1 else ''}"
            + (": " + ", ".join(html.escape(name) for name in objects) if objects else "")
            + f". Total exposure {exposure / 60:.1f} min ({exposure:g} s).")
    return f'<p class="night" id="night">{text}</p>'


def row_html(entry, row):
    start = row.get("start", "")
    status = html.escape(entry.reason or row.get("status", "") or "ok") + "".join(
        f"<br><small>{html.escape(warning)}</small>" for warning in entry.warnings)
    if entry.fits:
        base = html.escape(os.path.basename(entry.fits))
        if entry.strip:
            cell = (f'<a href="{html.escape(entry.page)}"><img src="{html.escape(entry.strip)}" '
                    f'alt="{base}, planes {", ".join(map(str, entry.strip_planes))} of {entry.planes}"></a><br>'
                    f'<img class="curve" src="{html.escape(entry.curve)}" alt="light curve of {base}">')
        else:
            cell = (f'<a href="{html.escape(entry.page)}"><img class="thumbnail" src="{html.escape(entry.image)}" '
                    f'alt="{base}"></a>')
        name = f'<a href="{html.escape(entry.fits)}">{base}</a>'
    else:
        cell, name = '<div class="placeholder">no image</div>', html.escape(os.path.basename(entry.name))
    cells = [cell, f"{html.escape(row.get('OBJECT', ''))}<br><small>{name}</small>", html.escape(row.get("mode", "")),
             html.escape(filters_text(row)), html.escape(start[11:19] if len(start) > 10 else start),
             html.escape(number_text(row.get("EXPTIME"), " s")), status]
    return f'<tr class="{"ok" if entry.fits else "failed"}">' + "".join(f"<td>{c}</td>" for c in cells) + "</tr>"


def night_plot(entries, rows):
    """Each converted file's median and noise against its start (UT hours), a colour per object
    and a marker per filter, as PNG bytes; None without a file that has both."""
    points = [(e, rows.get(e.name, {})) for e in entries if e.fits and e.start is not None and e.median is not None]
    if not points:
        return None
    plt = pyplot()
    day = int(min(e.start for e, _ in points))
    figure, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(8, 4.5), dpi=80, layout="constrained")
    objects = list(dict.fromkeys(row.get("OBJECT", "") or "(no object)" for _, row in points))
    filters = list(dict.fromkeys(filters_text(row) or "(no filter)" for _, row in points))
    markers = "osD^vP*Xh<>"
    for o, name in enumerate(objects):
        for f, band in enumerate(filters):
            chosen = [e for e, row in points if (row.get("OBJECT", "") or "(no object)") == name
                      and (filters_text(row) or "(no filter)") == band]
            if not chosen:
                continue
            hours = [(e.start - day) * 24 for e in chosen]
            style = dict(color=f"C{o % 10}", marker=markers[f % len(markers)], linestyle="none", markersize=5)
            top.plot(hours, [e.median for e in chosen], label=f"{name}, {band}", **style)
            bottom.plot(hours, [e.noise for e in chosen], **style)
    top.set_ylabel("median")
    bottom.set_ylabel("noise (MAD x 1.4826)")
    bottom.set_xlabel(f"UT hours from 0 h of MJD {day}")
    top.legend(fontsize=7, loc="upper left", bbox_to_anchor=(1.0, 1.0))
    out = io.BytesIO()
    figure.savefig(out, format="png")
    plt.close(figure)
    return out.getvalue()


def page(entries, rows, not_tried, ended, plot, log_name):
    groups = {}
    for entry in entries:
        groups.setdefault(rows.get(entry.name, {}).get("OBJECT", ""), []).append(entry)
    out = ["<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8">',
           '<meta name="viewport" content="width=device-width, initial-scale=1">',
           "<title>kovrent report</title>", f"<style>{STYLE}</style></head><body>",
           "<h1>Observing report</h1>", night_paragraph(entries, rows, not_tried, ended),
           '<table id="observations"><colgroup><col style="width: 30%"><col style="width: 15%">'
           '<col style="width: 9%"><col style="width: 10%"><col style="width: 9%"><col style="width: 10%">'
           '<col style="width: 17%"></colgroup>',
           "<thead><tr><th>Image</th><th>Object</th><th>Mode</th><th>Filters or λ</th><th>Start (UT)</th>"
           "<th>Exposure</th><th>Status</th></tr></thead>"]
    for name, members in groups.items():
        out.append(f'<tbody><tr><th colspan="7">{html.escape(name or "(no object)")} · {len(members)} '
                   f'file{"s" if len(members) != 1 else ""}</th></tr>')
        out += [row_html(entry, rows.get(entry.name, {})) for entry in members]
        out.append("</tbody>")
    out.append("</table><h2>The night</h2>")
    if plot:
        out.append(f'<figure><img src="{FOLDER}/night.png" alt="median and noise of each file against time">'
                   "<figcaption>Each file's median and robust noise against its start: a colour per object, a "
                   "marker per filter.</figcaption></figure>")
    out.append(f'<p>Grey from astropy\'s zscale limits, north as the FITS file has it (its first row at the bottom); '
               f'pixels without a value in red. <a href="{FOLDER}/{log_name}">The observing log</a> (ECSV).</p>')
    out.append("</body></html>")
    return "\n".join(out) + "\n"


def write_page(entries, inputs, directory, ended, fits_input):
    """The log of the files tried, the plot of the night and the page, each put in place whole."""
    names = [os.fsencode(entry.name) for entry in entries]
    text = _kovrent.log_text(names, fits_input) if names else ""
    rows = log_values(Table.read(text, format="ascii.ecsv")) if names else {}
    plot = night_plot(entries, rows)
    folder = os.path.join(directory, FOLDER)
    if text:
        write_atomically(os.path.join(folder, "night.ecsv"), [text.encode("latin-1")])
    if plot:
        write_atomically(os.path.join(folder, "night.png"), [plot])
    index = os.path.join(directory, "index.html")
    html_text = page(entries, rows, len(inputs) - len(entries), ended, plot, "night.ecsv")
    write_atomically(index, [html_text.encode("utf-8")])
    return index


def main(argv):
    arguments = parser().parse_args(argv)

    def say(line):
        print(line, file=sys.stderr)

    try:
        entries, inputs, directory, ended = convert_night(arguments, say)
    except reading.OptionError as error:
        say(f"kovrent: {error}")
        return 1
    except KeyboardInterrupt:
        return 130
    try:
        # A second Ctrl-C waits until the page of the files done is in place.
        with signals_held():
            index = write_page(entries, inputs, directory, ended, arguments.f)
    except OSError as error:
        say(f"kovrent: {error.filename or directory}: {error.strerror or error}")
        return 1
    failed = sum(1 for entry in entries if not entry.fits)
    not_tried = len(inputs) - len(entries)
    say(f"kovrent: {index}: {len(entries) - failed} files converted, {failed} failed"
        + (f", {not_tried} not tried" if not_tried else "") + (", interrupted" if ended == "interrupted" else ""))
    if ended == "interrupted":
        return 130
    return 1 if failed or ended else 0
