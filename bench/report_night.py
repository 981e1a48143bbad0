#!/usr/bin/python3
"""Times python3 -m kovrent report on a night of N copies of the bundled 128 x 128 chop-nod sample
on tmpfs, beside the program converting the same range: the report's own share is the
difference. The best of three passes counts. Not a test: the numbers go in the README by hand.

    bench/report_night.py BUILD [N] [work folder]   (BUILD configured with -DKOVRENT_PYTHON=ON;
                                                     default N 1000, folder /dev/shm/kovrent-report)
"""

import os
import pathlib
import shutil
import subprocess
import sys
import time

build = pathlib.Path(sys.argv[1]).resolve()
count = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
work = pathlib.Path(sys.argv[3] if len(sys.argv) > 3 else "/dev/shm/kovrent-report")
sys.path.insert(0, str(build / "python"))

import _kovrent  # noqa: E402

sample = pathlib.Path(__file__).resolve().parent.parent / "examples" / "c970611a.005"
shutil.rmtree(work, ignore_errors=True)
work.mkdir(parents=True)
for n in range(1, count + 1):
    shutil.copyfile(sample, os.fsdecode(_kovrent.numbered_name(os.fsencode(work / "c970611a."), n)))
environment = dict(os.environ, PYTHONPATH=str(build / "python"))


def best(command, passes=3):
    """Seconds of the fastest of `passes` runs of `command`, each into an empty folder."""
    fastest = float("inf")
    for _ in range(passes):
        shutil.rmtree(work / "out", ignore_errors=True)
        (work / "out").mkdir()
        start = time.perf_counter()
        subprocess.run(command, check=True, capture_output=True, cwd=work, env=environment)
        fastest = min(fastest, time.perf_counter() - start)
    return fastest


program = best([build / "kovrent", "c970611a.", "-r", "1", str(count), "-d", "out", "--no-progress"])
report = best([sys.executable, "-m", "kovrent", "report", "c970611a.", "-r", "1", str(count), "-d", "out"])
print(f"{count} files of 128 x 128 (chop-nod) in {work}, {len(os.sched_getaffinity(0))} cores, best of 3:")
print(f"  kovrent (conversion alone)        {program:6.2f} s")
print(f"  python3 -m kovrent report          {report:6.2f} s  (its own share {report - program:.2f} s)")
shutil.rmtree(work)
