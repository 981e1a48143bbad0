"""cmake --install puts the package in the site directory as kovrent/ beside its compiled module,
and a new interpreter imports it from there alone."""

import os
import pathlib
import subprocess
import sys

from conftest import SAMPLE


def test_installed_package_imports_and_reads_in_a_new_interpreter(tmp_path):
    site = pathlib.Path(os.environ["KOVRENT_SITE_DIR"])
    environment = dict(os.environ, DESTDIR=str(tmp_path))
    subprocess.run(["cmake", "--install", os.environ["KOVRENT_BUILD_DIR"]], env=environment, check=True,
                   capture_output=True, timeout=120)
    staged = tmp_path / site.relative_to(site.anchor)
    assert (staged / "kovrent" / "__init__.py").is_file()
    assert len(list(staged.glob("_kovrent.*.so"))) == 1
    # -I: no PYTHONPATH, no user site; the staged site directory alone beside Debian's own.
    script = (f"import sys; sys.path.insert(0, {str(staged)!r}); import kovrent; "
              f"print(kovrent.__file__.startswith({str(staged)!r}), kovrent.read({str(SAMPLE)!r})[0].data.shape)")
    run = subprocess.run([sys.executable, "-I", "-c", script], capture_output=True, text=True, timeout=60)
    assert run.stdout == "True (128, 128)\n", run.stderr
