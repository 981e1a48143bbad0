"""Reading on many threads at once with the GIL let go, and arrays that are the conversion's own
buffer: no second full-size copy of a large cube."""

import concurrent.futures
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import camerawriter as cw
import cases
import kovrent
from conftest import SAMPLE, masked


@pytest.mark.filterwarnings("ignore::kovrent.ConversionWarning")  # chops without a wait time
def test_many_threads_read_different_files_as_one_thread_does(in_tmp):
    inputs = []
    for n in range(24):
        name = f"c970611a.{n + 1:03d}"
        header = cw.observation_header(32 + n, 16, 1 + n % 5, 1 + n % 3).orientation(cases.FLIP_CODES[n])
        cw.save_observation(header, str(in_tmp / name), 32 + n, 16, 4, lambda f, x, y, n=n: n * 1000 + f * 97 + x - y)
        inputs.append((name, dict(expand=1 + n % 3)))
    inputs += [(str(SAMPLE), dict(frames=True)), (str(SAMPLE), dict(modern=True))]

    def read(item):
        name, options = item
        hdus = kovrent.read(name, **options)
        return masked(hdus[0].header.tostring()), hdus[0].data.tobytes(), kovrent.header(name).tostring()

    alone = [read(item) for item in inputs]
    with concurrent.futures.ThreadPoolExecutor(max_workers=16) as pool:
        for _ in range(4):
            assert list(pool.map(read, inputs * 3)) == alone * 3
        logs = list(pool.map(lambda _: kovrent.log([name for name, _ in inputs]), range(16)))
    # Compared as text: a missing start (a masked Time) is equal to no other.
    assert all(log.pformat_all() == logs[0].pformat_all() for log in logs) and len(logs[0]) == len(inputs)


def run_python(script):
    run = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, timeout=120,
                         env=dict(os.environ))
    assert run.returncode == 0, run.stdout + run.stderr
    return run.stdout


def test_the_gil_is_let_go_while_a_file_is_read(tmp_path):
    """A reader blocked on a pipe lets the main thread run: the main thread is the pipe's writer."""
    out = run_python(f"""
        import faulthandler, os, threading, kovrent
        faulthandler.dump_traceback_later(60, exit=True)  # a held GIL would leave both waiting
        pipe = {str(tmp_path / "c970611a.005")!r}
        os.mkfifo(pipe)
        result = {{}}
        reader = threading.Thread(target=lambda: result.update(data=kovrent.getdata(pipe)))
        reader.start()
        with open(pipe, "wb") as writer:
            writer.write(open({str(SAMPLE)!r}, "rb").read())
        reader.join()
        print((result["data"] == kovrent.getdata({str(SAMPLE)!r})).all())
    """)
    assert out == "True\n"


@pytest.mark.parametrize("call, written", [
    ("kovrent.read(pipe)", None),  # no writer: the open waits
    ("kovrent.read(pipe)", SAMPLE.read_bytes()[:5000]),  # a writer that stalls in the data
    ("kovrent.header(pipe)", SAMPLE.read_bytes()[:100]),
    ("kovrent.log([pipe])", SAMPLE.read_bytes()[:100]),
    ("kovrent.log([sample] * 200000)", None),  # some seconds of files that never wait
])
def test_ctrl_c_raises_keyboard_interrupt_at_once(call, written, tmp_path):
    """SIGINT raises KeyboardInterrupt from within the call, not a ReadError, well within a second,
    though the FIFO's writer (open to read and write: it waits for no reader) holds on."""
    pipe = tmp_path / "c970611a.005"
    os.mkfifo(pipe)
    writer = os.open(pipe, os.O_RDWR) if written else None
    script = f"""
        import time, kovrent
        pipe, sample = {str(pipe)!r}, {str(SAMPLE)!r}
        print("ready", flush=True)
        try:
            {call}
        except KeyboardInterrupt:
            print(time.monotonic())
    """
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(script)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=dict(os.environ))
    try:
        if written:
            os.write(writer, written)
        child.stdout.readline()
        time.sleep(0.5)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=5)
    finally:
        if writer is not None:
            os.close(writer)
    assert out and float(out) - sent < 1.0, out + err


def test_a_large_cube_takes_its_own_size_once(tmp_path):
    """The peak resident memory of reading a 32 MiB cube is the cube's above what came before, not
    two of them."""
    g = cw.geometry_of(128, 128)
    packed = cw.CameraWriter().corners(g).total_coadds(1).obsmode(1).packed(512, 1).end_marker()
    packed.packed_pattern(g, 1, 512).trailer(cw.ClockTime(1, 2, 3, 4)).save(str(tmp_path / "p970611a.001"))
    for call in ("kovrent.getdata(path)", "kovrent.read(path)[0].data"):
        out = run_python(f"""
            import kovrent
            def memory(field):  # of this process's memory alone, unlike the usage that a fork carries over
                line = next(line for line in open("/proc/self/status") if line.startswith(field))
                return int(line.split()[1]) * 1024
            path = {str(tmp_path / "p970611a.001")!r}
            kovrent.read({str(SAMPLE)!r}, expand=4)  # the thread's buffers, once
            before = memory("VmRSS:")
            data = {call}
            print(data.shape, data.nbytes, memory("VmHWM:") - before, type(data.base).__name__)
        """)
        shape, nbytes, growth, base = out.rsplit(" ", 3)
        assert shape == "(512, 128, 128)" and base == "PyCapsule\n"
        assert int(nbytes) <= int(growth) < 1.25 * int(nbytes), out


def test_the_array_is_the_callers_own(in_tmp):
    first = kovrent.getdata(SAMPLE)
    assert first.flags.writeable and not first.flags.owndata and first.dtype == np.dtype(">f4")
    first[:] = 0
    second = kovrent.read(SAMPLE)[0].data
    assert not np.shares_memory(first, second) and second.any()


def test_the_package_leaves_signals_alone():
    """Importing and reading change no signal's disposition and no thread's signal mask."""
    out = run_python(f"""
        import signal
        def state():
            return [signal.getsignal(s) for s in signal.valid_signals()
                    if s not in (signal.SIGKILL, signal.SIGSTOP)], signal.pthread_sigmask(signal.SIG_BLOCK, [])
        before = state()
        import kovrent
        kovrent.read({str(SAMPLE)!r}, frames=True), kovrent.header({str(SAMPLE)!r}), kovrent.log([{str(SAMPLE)!r}])
        try:
            kovrent.read("missing")
        except kovrent.Error:
            pass
        print(state() == before)
    """)
    assert out == "True\n"
