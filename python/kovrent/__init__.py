"""kovrent: camera files of the VESKA infrared camera straight into numpy and astropy.

    kovrent.read(path, **options)   the converted file as an astropy HDUList
    kovrent.getdata(path, **options) its data array alone
    kovrent.header(path)            the camera header alone, as an astropy Header
    kovrent.log(paths)              the observing log, as an astropy Table

Importing the package also registers the format 'veska' with astropy's unified I/O, so that
CCDData.read(path) reads a camera file. `python3 -m kovrent report` writes a night's report page.
"""

from _kovrent import __version__

from .reading import (ConversionWarning, Error, FileNotFoundReadError, IsADirectoryReadError, NotADirectoryReadError,
                      OptionError, PermissionReadError, ReadError, getdata, header, log, read)
from . import unified

__all__ = ["read", "getdata", "header", "log", "Error", "ReadError", "FileNotFoundReadError", "PermissionReadError",
           "IsADirectoryReadError", "NotADirectoryReadError", "OptionError", "ConversionWarning", "__version__"]
