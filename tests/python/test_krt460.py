"""The Python module's binding through the instrument simulator: values, exceptions, waits that
release the GIL and end on Ctrl-C. The core's rules are tested in C++."""
import asyncio
import os
import signal
import subprocess
import sys
import threading
import time

import numpy
import pytest

import krt460

SIMULATOR, FRAME, BMP = (os.environ[k] for k in ("KRT460_SIMULATOR", "KRT460_SAMPLE_FRAME",
                                                  "KRT460_SAMPLE_BMP"))
SAMPLE, SAMPLE_BMP = open(FRAME, "rb").read(), open(BMP, "rb").read()


def wait_for(check, seconds=20):
    deadline = time.monotonic() + seconds
    while not check():
        assert time.monotonic() < deadline, "timed out waiting"
        time.sleep(0.02)


class Instrument:
    """The simulator on a pty at `port`; press() sends as its print key does."""

    def __init__(self, tmp_path):
        self.port, self.trigger = str(tmp_path / "port"), str(tmp_path / "press")
        self.process = subprocess.Popen([SIMULATOR, FRAME, "--link", self.port, "--trigger",
                                         self.trigger, "--baud", "115200"],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: os.path.islink(self.port))

    def press(self, what=""):
        with open(self.trigger + ".new", "w") as f:
            f.write(what)
        os.rename(self.trigger + ".new", self.trigger)
        wait_for(lambda: not os.path.exists(self.trigger))  # taken: the next may come

    def held(self):
        """Whether a receiver holds the port (has opened and flushed it)."""
        answer = self.trigger + ".answer"
        if os.path.exists(answer):
            os.unlink(answer)
        self.press("?")
        wait_for(lambda: os.path.exists(answer))
        return open(answer).read().startswith("open ") and not open(answer).read().endswith(" 0")

    def stop(self):
        self.process.terminate()
        self.process.wait()


@pytest.fixture
def instrument(tmp_path):
    simulator = Instrument(tmp_path)
    yield simulator
    simulator.stop()


def test_decode_gives_the_commands_picture_without_a_copy(tmp_path):
    for data in (SAMPLE, bytearray(SAMPLE), memoryview(SAMPLE), numpy.frombuffer(SAMPLE, "u1"),
                 SAMPLE + b"more than a frame"):
        assert krt460.decode(data).bmp() == SAMPLE_BMP
    picture = krt460.decode(SAMPLE)
    pixels = numpy.asarray(picture)
    assert pixels.shape == (160, 160) and pixels.dtype == numpy.uint8
    assert set(numpy.unique(pixels)) == {0, 1} and pixels[0, 0] == 0  # the black ring
    assert numpy.shares_memory(pixels, numpy.asarray(picture))
    picture.save(tmp_path / "x.png", scale=2)
    assert open(tmp_path / "x.png", "rb").read() == picture.png(2)
    assert picture._repr_png_() == picture.png()
    pytest.importorskip("PIL")
    assert numpy.array_equal(numpy.asarray(picture.to_pil()), pixels.astype(bool))


@pytest.mark.parametrize("call, error", [
    (lambda port: krt460.decode("text"), TypeError),
    (lambda port: krt460.decode(SAMPLE[:3000]), krt460.NotAHardcopy),
    (lambda port: krt460.receive(port + ".absent"), FileNotFoundError),
    (lambda port: krt460.receive(port), krt460.PortBusy),
    (lambda port: krt460.receive(""), ValueError),
])
def test_errors(instrument, call, error):
    with krt460.listen(instrument.port):
        with pytest.raises(error):
            call(instrument.port)


@pytest.mark.skipif(os.geteuid() != 0, reason="becoming another user needs root")
def test_a_port_without_permission_names_the_remedy(instrument):
    child = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                            sys.executable, "-c", "import krt460, sys; krt460.receive(sys.argv[1])",
                            instrument.port], capture_output=True, text=True)
    assert "PermissionError" in child.stderr and "dialout" in child.stderr


def test_receive_lets_other_threads_run_and_ends_on_a_lost_port(instrument):
    pressing = threading.Thread(target=lambda: wait_for(instrument.held) or instrument.press())
    pressing.start()  # it runs while receive waits
    capture = krt460.receive(instrument.port)
    pressing.join()
    assert (capture.data, capture.end, capture.kept_as) == (SAMPLE, "complete", "picture")
    assert capture.end_marker and capture.line_errors is None and capture.received.tzinfo
    with pytest.raises(krt460.Stalled) as stalled:  # nothing sent
        krt460.receive(instrument.port, timeout=0.2)
    assert stalled.value.capture.data == b"" and isinstance(stalled.value, TimeoutError)
    hangup = threading.Thread(target=lambda: wait_for(instrument.held) or
                              instrument.press("100 hangup"))  # the adapter pulled
    hangup.start()
    with pytest.raises(krt460.PortLost) as lost:
        krt460.receive(instrument.port)
    hangup.join()
    assert lost.value.capture.data == SAMPLE[:100]


def test_listen_cuts_prints_back_to_back_and_keeps_as_listen(instrument, tmp_path, monkeypatch):
    (tmp_path / "cwd").mkdir()
    monkeypatch.chdir(tmp_path / "cwd")  # listen itself writes nothing, here or anywhere
    with krt460.listen(instrument.port, timeout=0) as prints:
        wait_for(instrument.held)
        for what in ("2x", "0-168", "", "3300-3328", ""):
            instrument.press(what)
        seen = [(c.end, c.kept_as, len(c.data)) for _, c in zip(range(6), prints)]
        assert seen == [("complete", "picture", 3328)] * 2 + [("cut", "partial", 168)] + \
            [("complete", "picture", 3328), ("cut", "stray", 28), ("complete", "picture", 3328)]
        instrument.press()
        kept = next(prints).keep(str(tmp_path))
    assert [os.path.splitext(p)[1] for p in kept] == [".bmp", ".bin", ".json"]
    assert os.listdir() == []
    assert open(kept[0], "rb").read() == SAMPLE_BMP
    assert not instrument.held()  # left: the port is released


def test_ctrl_c_ends_a_waiting_receive_and_releases_the_port(instrument):
    child = subprocess.Popen([sys.executable, "-c", "import krt460, sys; krt460.receive(sys.argv[1])",
                              instrument.port], stderr=subprocess.PIPE, text=True)
    wait_for(instrument.held)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    assert child.wait(5) != 0 and "KeyboardInterrupt" in child.stderr.read()
    assert time.monotonic() - sent < 1.0
    assert not instrument.held()
    threading.Thread(target=lambda: wait_for(instrument.held) or instrument.press()).start()
    for capture in krt460.listen(instrument.port):  # it opens again
        break
    assert capture.kept_as == "picture" and not instrument.held()  # left: released


def test_alisten_gives_prints_to_asyncio_and_times_out(instrument):
    async def run():
        prints = krt460.alisten(instrument.port)
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(prints.__anext__(), 0.3)
        prints = krt460.alisten(instrument.port)
        waiting = asyncio.ensure_future(prints.__anext__())
        await asyncio.get_running_loop().run_in_executor(None, wait_for, instrument.held)
        instrument.press()
        capture = await waiting
        await prints.aclose()
        return capture
    assert asyncio.run(run()).kept_as == "picture"
    assert not instrument.held()
