"""Camera files into astropy and numpy through the program's own conversion."""

import operator
import os
import warnings

from astropy.io import fits
from astropy.table import Table

import _kovrent
from _kovrent import (Error, FileNotFoundReadError, IsADirectoryReadError, NotADirectoryReadError, OptionError,
                      PermissionReadError, ReadError)

__all__ = ["read", "getdata", "header", "log", "Error", "ReadError", "FileNotFoundReadError", "PermissionReadError",
           "IsADirectoryReadError", "NotADirectoryReadError", "OptionError", "ConversionWarning"]


class ConversionWarning(UserWarning):
    """What the program warns of while it converts a file: a chop wait of 0, a map of another size;
    and coordinates that astropy can build no WCS of, for CCDData.read."""


_SWITCHES = ("orient", "zero_wait", "interchange", "fits_input", "modern", "frames")
_MAP_KINDS = {"gain": "a FITS gain map", "mask": "a FITS mask"}


def _options(expand=1, orient=True, gain=None, mask=None, frame=0, zero_wait=False, interchange=False,
             fits_input=False, modern=False, frames=False):
    """The Options of a conversion by its keywords; a value of the wrong kind raises OptionError."""
    given = locals()
    options = _kovrent.Options()
    for name in _SWITCHES:
        if given[name] not in (True, False):
            raise OptionError(f"{name}={given[name]!r}: {name} is True or False")
        setattr(options, name, bool(given[name]))
    for name, least in (("expand", 1), ("frame", None)):
        value = given[name]
        try:
            number = operator.index(value) if not isinstance(value, bool) else None
        except TypeError:
            number = None
        if number is None or not -2**31 <= number < 2**31:
            raise OptionError(f"{name}={value!r}: {name} is a whole number")
        if least is not None and number < least:
            raise OptionError(f"{name}={value!r}: {name} is a whole number, {least} or more")
        setattr(options, name, number)
    for name, kind in _MAP_KINDS.items():
        if given[name] is None:
            continue
        try:
            file = os.fsdecode(os.fspath(given[name]))
        except TypeError:
            raise OptionError(f"{name}={given[name]!r}: {name} is the name of a FITS file") from None
        if not file.strip():
            raise OptionError(f"{name}={given[name]!r}: {name} is the name of {kind}")
        setattr(options, name, file.strip())
    return options


def _convert(path, options, want_mask=False):
    """The program's conversion of `path` with `options` (the keywords of read, or Options): its
    header text, data array, table, mask and warnings (a _kovrent.Converted), the warnings also
    given as ConversionWarning."""
    if not isinstance(options, _kovrent.Options):
        options = _options(**options)
    converted = _kovrent.convert(os.fsencode(path), options, want_mask)
    for warning in converted.warnings:
        warnings.warn(f"{os.fsdecode(path)}: {warning}", ConversionWarning, stacklevel=3)
    return converted


def _primary_hdu(converted):
    """The primary HDU of a conversion: its header as the program writes it, and its array as it
    is, neither copied nor changed; data with BSCALE, BZERO or BLANK as fits.open gives them with
    do_not_scale_image_data=True."""
    try:
        hdu = fits.PrimaryHDU.fromstring(converted.header.encode("latin-1"), do_not_scale_image_data=True)
        hdu.data = converted.data
    except (fits.VerifyError, ValueError) as error:
        raise Error(f"astropy cannot take the converted header: {error}") from None
    return hdu


def _hdulist(converted):
    hdus = [_primary_hdu(converted)]
    if converted.extension:
        hdus.append(fits.BinTableHDU.fromstring(converted.extension))
    return fits.HDUList(hdus)


def read(path, *, expand=1, orient=True, gain=None, mask=None, frame=0, zero_wait=False, interchange=False,
         fits_input=False, modern=False, frames=False):
    """The camera file at `path` converted as the program converts it, as an astropy HDUList.

    The options are the command line's: expand (-e), orient=False (-n), gain (-g), mask (-m),
    frame (-o), zero_wait (-z), interchange (-i), fits_input (-f), modern (--modern) and frames
    (--frames). A packed file gives its images as one cube, as -p --cube writes it. The primary
    HDU's header and data are the bytes the program writes, the data a big-endian array of the
    file's BITPIX that owns the buffer the conversion filled (unscaled where the header has
    BSCALE, BZERO or BLANK, as astropy's do_not_scale_image_data=True gives them). A file that
    cannot be read raises ReadError (an OSError; a missing one FileNotFoundReadError, also a
    FileNotFoundError, and one not allowed PermissionReadError, also a PermissionError, with errno
    and filename), an option that cannot be used OptionError (a ValueError; a frame beyond the
    observing mode's among them); all are kovrent.Error, with the reason.
    """
    options = dict(expand=expand, orient=orient, gain=gain, mask=mask, frame=frame, zero_wait=zero_wait,
                   interchange=interchange, fits_input=fits_input, modern=modern, frames=frames)
    return _hdulist(_convert(path, options))


def getdata(path, **options):
    """The data of read(path, **options) alone: the array, without building the HDUs."""
    return _convert(path, options).data


def header(path):
    """The header of the camera file at `path` alone, as an astropy Header, its data left unread.

    It holds the cards a conversion starts from: SIMPLE to BZERO with the camera's image size,
    IRAFNAME, INSTRUME and the cards of the file's records; the conversion then adds the
    coordinates and HISTORY.
    """
    return fits.Header.fromstring(_kovrent.header(os.fsencode(path)))


def log(paths, *, fits_input=False):
    """The observing log of the files, a row each in order, as an astropy Table.

    Its columns, types and units are those of the program's --log; a file that cannot be read
    has its row with the reason in `status`.
    """
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    text = _kovrent.log_text([os.fsencode(path) for path in paths], fits_input)
    return Table.read(text, format="ascii.ecsv")
