"""The Python package kovrent for pip: the same CMake build as -DKOVRENT_PYTHON=ON, its compiled
module installed by CMake into a prefix of the build's own and taken from there; the package's
.py files from python/kovrent. See pyproject.toml for the command."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SOURCE = pathlib.Path(__file__).resolve().parent
VERSION = re.search(r"project\(kovrent VERSION ([0-9.]+)", (SOURCE / "CMakeLists.txt").read_text()).group(1)


class CMakeBuild(build_ext):
    """Configures and builds the module with CMake for this interpreter, installs it with the
    prefix given when configuring, and puts it where setuptools packs it."""

    def build_extension(self, extension):
        build = pathlib.Path(self.build_temp).resolve() / "cmake"
        prefix = build / "installed"
        jobs = str(len(os.sched_getaffinity(0)))
        subprocess.run(["cmake", "-S", str(SOURCE), "-B", str(build), "-DKOVRENT_TESTS=OFF", "-DKOVRENT_PYTHON=ON",
                        f"-DPython3_EXECUTABLE={sys.executable}", f"-DCMAKE_INSTALL_PREFIX={prefix}"], check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "kovrent_python", "-j", jobs], check=True)
        subprocess.run(["cmake", "--install", str(build), "--component", "python"], check=True)
        site = prefix / "lib" / f"python{sys.version_info[0]}.{sys.version_info[1]}" / "site-packages"
        (module,) = site.glob("_kovrent.*")
        target = pathlib.Path(self.get_ext_fullpath(extension.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(module, target)


setup(
    name="kovrent",
    version=VERSION,
    description="VESKA infrared camera files straight into numpy and astropy",
    packages=["kovrent"],
    package_dir={"": "python"},
    ext_modules=[Extension("_kovrent", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": "build-pip"}},
    python_requires=">=3.9",
)
