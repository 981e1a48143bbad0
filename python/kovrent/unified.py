"""The format 'veska' of astropy's unified I/O: CCDData.read of a camera file."""

import os
import warnings

import numpy as np
from astropy import units as u
from astropy.io import fits, registry
from astropy.nddata import CCDData
from astropy.wcs import WCS, FITSFixedWarning

from . import reading

FORMAT = "veska"


def is_camera_file(origin, path, fileobj, *args, **kwargs):
    """True for a file whose content is a camera file's, whatever its name.

    Its header records must read to their end marker, the image corners among them, as the
    program reads them; a FITS file is never taken.
    """
    if origin != "read" or not isinstance(path, (str, bytes, os.PathLike)) or not os.path.isfile(path):
        return False
    with open(path, "rb") as file:
        if file.read(9) == b"SIMPLE  =":
            return False
    try:
        camera = reading.header(path)
    except reading.Error:
        return False
    return camera["NAXIS1"] > 0 and camera["NAXIS2"] > 0


def read_ccddata(path, unit=u.adu, **options):
    """A camera file converted with the options of kovrent.read, as CCDData with its header and WCS.

    A mask given as an option is the CCDData's mask too, True where the mask made a pixel bad.
    Coordinates that astropy can build no WCS of (a declination beyond a pole) give CCDData
    without one, and a ConversionWarning that says why.
    """
    # astropy hands over the file it opened; the conversion reads it by its name.
    if not isinstance(path, (str, bytes, os.PathLike)):
        path = getattr(path, "name", None)
        if not isinstance(path, (str, bytes)):
            raise reading.ReadError("a camera file is read by its name, not from an open stream")
    converted = reading._convert(path, options, want_mask=True)
    data, masked = converted.data, converted.mask
    header = reading._primary_hdu(converted).header
    wcs = None
    try:
        # astropy mends a DATE-OBS of the old form ('11/06/97') as it builds the coordinates, and
        # says so; the coordinates are those of the header all the same.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", FITSFixedWarning)
            if header.get("CTYPE1"):
                wcs = WCS(header)
    except (ValueError, TypeError, KeyError, fits.VerifyError) as error:  # WcsError is a ValueError
        reason = " ".join(str(error).split())
        warnings.warn(f"{os.fsdecode(path)}: no WCS, astropy cannot build one from the header: {reason}",
                      reading.ConversionWarning, stacklevel=2)
    mask = None
    if masked is not None:
        mask = np.broadcast_to(masked.astype(bool), data.shape)
    return CCDData(data, unit=unit, meta=header, wcs=wcs, mask=mask)


registry.register_reader(FORMAT, CCDData, read_ccddata)
registry.register_identifier(FORMAT, CCDData, is_camera_file)
