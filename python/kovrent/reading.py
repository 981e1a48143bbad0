"""Camera files into astropy and numpy through the program's own conversion."""

import operator
import os
import re
import warnings

from astropy.io import fits
from astropy.io.fits.card import Card
from astropy.io.fits.hdu.base import DELAYED
from astropy.table import Table

import _kovrent
from _kovrent import Error, OptionError, ReadError

__all__ = ["read", "getdata", "header", "log", "Error", "ReadError", "OptionError", "ConversionWarning"]


class ConversionWarning(UserWarning):
    """What the program warns of while it converts a file: a chop wait of 0, a map of another size;
    and coordinates that astropy can build no WCS of, for CCDData.read."""


# Each option as the program's command line writes it: a switch, or a flag and its value.
_SWITCHES = {"zero_wait": "-z", "interchange": "-i", "fits_input": "-f", "modern": "--modern", "frames": "--frames"}
_NUMBERS = {"expand": "-e", "frame": "-o"}
_NAMES = {"gain": "-g", "mask": "-m"}
_OPTION_OF_FLAG = {flag: name for table in (_SWITCHES, _NUMBERS, _NAMES) for name, flag in table.items()}
_OPTION_OF_FLAG["-n"] = "orient"


def _arguments(expand=1, orient=True, gain=None, mask=None, frame=0, zero_wait=False, interchange=False,
               fits_input=False, modern=False, frames=False):
    """The command-line arguments of the options; a value of the wrong kind raises OptionError."""
    given = locals()
    arguments = []
    for name in ["orient", *_SWITCHES]:
        if given[name] not in (True, False):
            raise OptionError(f"{name}={given[name]!r}: {name} is True or False")
    if not orient:
        arguments.append("-n")
    arguments += [flag for name, flag in _SWITCHES.items() if given[name]]
    for name, flag in _NUMBERS.items():
        if isinstance(given[name], bool):
            raise OptionError(f"{name}={given[name]!r}: {name} is a whole number")
        try:
            number = operator.index(given[name])
        except TypeError:
            raise OptionError(f"{name}={given[name]!r}: {name} is a whole number") from None
        if name == "expand" or number != 0:
            arguments += [flag, str(number)]
    for name, flag in _NAMES.items():
        if given[name] is None:
            continue
        try:
            arguments += [flag, os.fsdecode(os.fspath(given[name]))]
        except TypeError:
            raise OptionError(f"{name}={given[name]!r}: {name} is the name of a FITS file") from None
    return arguments


def _convert(path, options, want_mask=False, extra=()):
    """The program's conversion of `path`: its header text, data array, extension, mask, warnings
    and structure cards; `extra` command-line arguments beside the options (-d for the IRAFNAME of
    a cube)."""
    arguments = _arguments(**options) + list(extra)
    try:
        converted = _kovrent.convert(os.fsencode(path), arguments, want_mask)
    except OptionError as error:
        # The program names its flag; the caller knows the keyword.
        flag = str(error).split(" ", 1)[0]
        if flag in _OPTION_OF_FLAG:
            raise OptionError(f"{_OPTION_OF_FLAG[flag]}: {error}") from None
        raise
    for warning in converted[4]:
        warnings.warn(f"{os.fsdecode(path)}: {warning}", ConversionWarning, stacklevel=3)
    return converted


# The state astropy gives a primary HDU of each structure (the cards of _kovrent's structure),
# taken from one built through its public constructor; copied into each new HDU.
_hdu_states = {}
_HEADER_AND_DATA = ("_header", "_header_str", "data")


def _hdu_state(structure, path):
    state = _hdu_states.get(structure)
    if state is None:
        structure_header = fits.Header.fromstring(structure + "END".ljust(80))
        try:
            template = fits.PrimaryHDU(data=DELAYED, header=structure_header)
        except (fits.VerifyError, ValueError) as error:
            # A FITS input's scaling card that the program reads past: BZERO = abc.
            raise Error(f"{os.fsdecode(path)}: astropy cannot take the converted header: {error}") from None
        if template._data_needs_rescale or template._blank is not None:
            # Values as the file holds them, as astropy gives them when asked not to scale.
            template = fits.PrimaryHDU(data=DELAYED, header=structure_header, do_not_scale_image_data=True)
        state = {key: value for key, value in template.__dict__.items() if key not in _HEADER_AND_DATA}
        _hdu_states[structure] = state
    return state


def _primary_hdu(header_text, data, structure, path):
    """The primary HDU of the header text and the array of `path` as they are, neither copied nor
    changed.

    It is built as astropy's reader builds the HDUs of a file, its header parsed from the text
    when it is first asked for; data with BSCALE, BZERO or BLANK as fits.open gives them with
    do_not_scale_image_data=True.
    """
    state = _hdu_state(structure, path)
    hdu = fits.PrimaryHDU.__new__(fits.PrimaryHDU)
    hdu.__dict__.update(state)
    hdu._axes = list(state["_axes"])
    hdu._header_str = header_text
    hdu.__dict__["data"] = data
    return hdu


def _hdulist(header_text, data, extension, structure, path):
    hdus = fits.HDUList()
    # Appended as a list's items: HDUList.append would complete the header (EXTEND) first.
    list.append(hdus, _primary_hdu(header_text, data, structure, path))
    if extension:
        list.append(hdus, fits.BinTableHDU.fromstring(extension))
    return hdus


# The keywords of a camera header's cards, which astropy takes as they stand; and astropy's
# pattern of a record-valued keyword's value, which it reads otherwise.
_PLAIN_KEYS = re.compile(r"(?:[A-Z0-9_-]{1,8} )*\Z")
_RECORD_VALUE = getattr(Card, "_rvkc_keyword_val_comm_RE", None)


def _header_of(text):
    """The astropy Header of a camera header's text, the same as Header.fromstring gives.

    Each card is taken with the keyword its first eight characters hold, without astropy's search
    for a record-valued keyword behind it. A card that astropy would read as one, or that is not
    plain, leaves the whole text to Header.fromstring.
    """
    images = [text[start:start + 80] for start in range(0, len(text), 80)]
    keys = [image[:8].rstrip() for image in images]
    end = keys.index("END")
    del images[end:], keys[end:]
    if (_RECORD_VALUE is None or "CONTINUE" in keys or not _PLAIN_KEYS.match(" ".join(keys) + " ")
            or any(image[8:10] == "= " and _RECORD_VALUE.match(image, 10) for image in images if ":" in image)):
        return fits.Header.fromstring(text)
    header = fits.Header()
    cards = list(map(Card.fromstring, images))
    indices = header._keyword_indices
    for index, (card, key) in enumerate(zip(cards, keys)):
        card._keyword = key
        indices[key].append(index)
    header._cards = cards
    header._modified = False
    return header


def read(path, *, expand=1, orient=True, gain=None, mask=None, frame=0, zero_wait=False, interchange=False,
         fits_input=False, modern=False, frames=False):
    """The camera file at `path` converted as the program converts it, as an astropy HDUList.

    The options are the command line's: expand (-e), orient=False (-n), gain (-g), mask (-m),
    frame (-o), zero_wait (-z), interchange (-i), fits_input (-f), modern (--modern) and frames
    (--frames). A packed file gives its images as one cube, as -p --cube writes it. The primary
    HDU's header and data are the bytes the program writes, the data a big-endian array of the
    file's BITPIX that owns the buffer the conversion filled (unscaled where the header has
    BSCALE, BZERO or BLANK, as astropy's do_not_scale_image_data=True gives them). A file that cannot be read raises
    ReadError (an OSError), an option the program refuses OptionError (a ValueError); both are
    kovrent.Error, with the program's reason, as is a scaling card that astropy cannot take.
    """
    options = dict(expand=expand, orient=orient, gain=gain, mask=mask, frame=frame, zero_wait=zero_wait,
                   interchange=interchange, fits_input=fits_input, modern=modern, frames=frames)
    header_text, data, extension, _, _, structure = _convert(path, options)
    return _hdulist(header_text, data, extension, structure, path)


def getdata(path, **options):
    """The data of read(path, **options) alone: the array, without building the HDUs."""
    return _convert(path, options)[1]


def header(path):
    """The header of the camera file at `path` alone, as an astropy Header, its data left unread.

    It holds the cards a conversion starts from: SIMPLE to BZERO with the camera's image size,
    IRAFNAME, INSTRUME and the cards of the file's records; the conversion then adds the
    coordinates and HISTORY.
    """
    return _header_of(_kovrent.header(os.fsencode(path)))


def log(paths, *, fits_input=False):
    """The observing log of the files, a row each in order, as an astropy Table.

    Its columns, types and units are those of the program's --log; a file that cannot be read
    has its row with the reason in `status`.
    """
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    text = _kovrent.log_text([os.fsencode(path) for path in paths], fits_input)
    return Table.read(text, format="ascii.ecsv")
