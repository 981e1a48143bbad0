"""Each way of installing puts the package where its Python reads it, as kovrent/ beside its compiled
module, and a new interpreter imports it from there alone: cmake --install with CMake's default
prefix, cmake --install --prefix P, and pip into a virtual environment, offline (setup.py builds the
module with CMake configured with a prefix of its own, and takes it from that prefix's site folder)."""

import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

from conftest import SAMPLE, SOURCE_DIR

BUILD_DIR = os.environ["KOVRENT_BUILD_DIR"]
SITE = f"lib/python{sys.version_info[0]}.{sys.version_info[1]}/site-packages"


def imports_from(python, site, environment=None):
    """A new interpreter (-I: no PYTHONPATH, no user site) imports kovrent from `site` and reads the sample."""
    script = (f"import sys; sys.path.insert(0, {str(site)!r}); import kovrent; "
              f"print(kovrent.__file__.startswith({str(site)!r}), kovrent.read({str(SAMPLE)!r})[0].data.shape)")
    run = subprocess.run([str(python), "-I", "-c", script], capture_output=True, text=True, timeout=60,
                         env=environment)
    assert run.stdout == "True (128, 128)\n", run.stderr


def installed(site):
    assert (site / "kovrent" / "__init__.py").is_file()
    assert len(list(site.glob("_kovrent.*.so"))) == 1


def test_default_prefix_installs_into_the_interpreters_site_directory(tmp_path):
    """Debian's /usr/bin/python3 reads /usr/local/lib/python3.X/dist-packages, under CMake's default prefix."""
    prefix = os.environ["KOVRENT_INSTALL_PREFIX"]
    site = pathlib.Path(sysconfig.get_path("platlib"))
    if not str(site).startswith(prefix + "/lib/"):
        site = pathlib.Path(prefix) / SITE
    subprocess.run(["cmake", "--install", BUILD_DIR], env=dict(os.environ, DESTDIR=str(tmp_path)), check=True,
                   capture_output=True, timeout=120)
    staged = tmp_path / site.relative_to(site.anchor)
    installed(staged)
    imports_from(sys.executable, staged)


def test_prefix_at_install_puts_the_package_under_it(tmp_path):
    subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", str(tmp_path / "p")], check=True,
                   capture_output=True, timeout=120)
    installed(tmp_path / "p" / SITE)
    imports_from(sys.executable, tmp_path / "p" / SITE)
    version = subprocess.run([tmp_path / "p" / "bin" / "kovrent", "--version"], capture_output=True, text=True)
    assert version.stdout.startswith("kovrent Data conversion program")


def test_pip_installs_into_a_virtual_environment_offline(tmp_path):
    checkout = tmp_path / "checkout"
    shutil.copytree(SOURCE_DIR, checkout, ignore=shutil.ignore_patterns("build*", ".git", "out", "*.egg-info"))
    venv = tmp_path / "v"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", venv], check=True, timeout=120)
    # --no-index: nothing is fetched, whatever the network allows.
    pip = subprocess.run([venv / "bin" / "pip", "install", "--no-build-isolation", "--no-index", checkout],
                         capture_output=True, text=True, timeout=600)
    assert pip.returncode == 0, pip.stdout[-3000:] + pip.stderr[-3000:]
    site = venv / SITE
    installed(site)
    imports_from(venv / "bin" / "python", site)
