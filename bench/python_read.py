#!/usr/bin/python3
"""Times the Python package on N copies of the bundled 128 x 128 chop-nod sample on tmpfs, on one
core: kovrent.getdata, kovrent.read (the HDUList) and kovrent.header of each camera file, beside
astropy.io.fits.getdata and getheader of the same files converted by the program. The best of
five passes counts. Not a test: the numbers go in bench/README.md by hand.

    bench/python_read.py BUILD [N] [work folder]   (BUILD configured with -DKOVRENT_PYTHON=ON;
                                                    default N 1000, folder /dev/shm/kovrent-python)
"""

import concurrent.futures
import os
import pathlib
import shutil
import subprocess
import sys
import time

build = pathlib.Path(sys.argv[1]).resolve()
count = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
work = pathlib.Path(sys.argv[3] if len(sys.argv) > 3 else "/dev/shm/kovrent-python")
sys.path.insert(0, str(build / "python"))

import kovrent  # noqa: E402
from astropy.io import fits  # noqa: E402

sample = pathlib.Path(__file__).resolve().parent.parent / "examples" / "c970611a.005"
shutil.rmtree(work, ignore_errors=True)
(work / "fits").mkdir(parents=True)
names = []
for n in range(1, count + 1):
    name = work / f"c970611a.{n:03d}"
    shutil.copyfile(sample, name)
    names.append(str(name))
subprocess.run([build / "convert" / "kovrent", str(work / "c970611a."), "-r", "1", str(count), "-d",
                str(work / "fits"), "--no-progress"], check=True, capture_output=True)
converted = sorted(str(path) for path in (work / "fits").iterdir())
assert len(converted) == count


def best(call, items, passes=5):
    """Files a second of the fastest of `passes` runs of `call` over `items`."""
    fastest = float("inf")
    for _ in range(passes):
        start = time.perf_counter()
        for item in items:
            call(item)
        fastest = min(fastest, time.perf_counter() - start)
    return len(items) / fastest


def on_threads(call, items, threads):
    def run(_):
        with concurrent.futures.ThreadPoolExecutor(threads) as pool:
            list(pool.map(call, items))
    start = time.perf_counter()
    run(None)
    return len(items) / (time.perf_counter() - start)


cores = sorted(os.sched_getaffinity(0))
os.sched_setaffinity(0, {cores[-1]})  # one core
rows = [
    ("kovrent.getdata(camera file)", best(kovrent.getdata, names)),
    ("kovrent.read(camera file)[0].data", best(lambda name: kovrent.read(name)[0].data, names)),
    ("astropy.io.fits.getdata(converted file)", best(fits.getdata, converted)),
    ("kovrent.header(camera file)", best(kovrent.header, names)),
    ("astropy.io.fits.getheader(converted file)", best(fits.getheader, converted)),
]
os.sched_setaffinity(0, set(cores))
rows.append((f"kovrent.getdata on {len(cores)} threads, {len(cores)} cores",
             max(on_threads(kovrent.getdata, names, len(cores)) for _ in range(5))))

print(f"{count} files of 128 x 128 (chop-nod, 4 frames) in {work}, files a second, best of 5:")
for label, rate in rows:
    print(f"  {label:45s} {rate:9.0f}")
print(f"  read / astropy getdata: {rows[1][1] / rows[2][1]:.1f}, getdata / astropy getdata: "
      f"{rows[0][1] / rows[2][1]:.1f}, header / astropy getheader: {rows[3][1] / rows[4][1]:.1f}")
shutil.rmtree(work)
