"""KRT460 for lab scripts: decode, receive and listen for the hardcopies of a 160 x 160 dot
instrument, over the same core as the krt460 command.

    picture = krt460.decode(open("shot.bin", "rb").read())
    numpy.asarray(picture)              # 160 x 160 uint8, 0 black and 1 white, no copy
    capture = krt460.receive("/dev/ttyUSB0")
    with krt460.listen("/dev/ttyUSB0") as prints:
        for capture in prints:
            print(capture.end, capture.kept_as, capture.keep("captures"))

A missing port raises FileNotFoundError, a port without permission PermissionError, a port in
use PortBusy (an OSError). A receive ends with PortLost when the port goes away and with Stalled
(a TimeoutError) when no byte comes for `timeout` seconds; both carry `.capture`, what came.
Ctrl-C ends any wait at once and releases the port.
"""

import asyncio
import datetime
from typing import NamedTuple

from . import _krt460
from ._krt460 import (FRAME_LENGTH, Capture, Listener, NotAHardcopy, Picture, PortBusy,
                      PortLost, Stalled, __version__, decode, receive)

__all__ = ["Capture", "LineErrors", "Listener", "NotAHardcopy", "Picture", "Port", "PortBusy",
           "PortLost", "Stalled", "alisten", "decode", "listen", "ports", "receive",
           "FRAME_LENGTH"]


class LineErrors(NamedTuple):
    """Framing, parity and overrun errors and breaks the port counted during a print."""
    framing: int
    parity: int
    overrun: int
    breaks: int


class Port(NamedTuple):
    """A serial port present, as `krt460 ports` lists it."""
    name: str
    description: str
    accessible: bool


def ports() -> list:
    """The serial ports present, found without opening any, as `krt460 ports` lists them."""
    return [Port(*port) for port in _krt460._ports()]


def listen(port=None, wait_for_port=False, timeout=10.0, border=None) -> Listener:
    """Print after print on `port` (None: the port in ./KRT460.ini, else COM1), as an iterator
    of Capture, through the same series as `krt460 listen`: prints back to back are all cut
    apart, a lost port is waited for. Nothing is written: `capture.keep(dir)` does that. A
    context manager; leaving it, `close()` or dropping it releases the port. `timeout`: seconds
    without a byte that end a print under way (0 waits)."""
    return Listener(port, wait_for_port, timeout, border)


_END = object()


def _next_or_end(listener, timeout):
    # StopIteration cannot cross a Future: the end comes back as a value.
    try:
        return listener.next_within(timeout)
    except StopIteration:
        return _END


async def alisten(port=None, wait_for_port=False, timeout=10.0, border=None, poll=0.2):
    """listen() for asyncio: an async iterator of Capture that never blocks the event loop.
    A port not there yet is waited for here (`wait_for_port`), so a cancel ends that wait too.
    To let the port go at once when a loop breaks, hold it in `contextlib.aclosing`:
    `async with contextlib.aclosing(krt460.alisten(port)) as prints: async for c in prints:`."""
    loop = asyncio.get_running_loop()
    while True:
        try:
            listener = await loop.run_in_executor(None, Listener, port, False, timeout, border)
            break
        except FileNotFoundError:
            if not wait_for_port:
                raise
            await asyncio.sleep(0.5)
    try:
        while True:
            capture = await loop.run_in_executor(None, _next_or_end, listener, poll)
            if capture is _END:
                return
            if capture is not None:
                yield capture
    finally:
        await loop.run_in_executor(None, listener.close)


def _line_errors(capture):
    errors = capture._line_errors
    return None if errors is None else LineErrors(*errors)


def _received(capture):
    return datetime.datetime.fromtimestamp(capture._received, datetime.timezone.utc).astimezone()


def _to_pil(picture):
    """The picture as a Pillow image (mode "1"); Pillow is imported only here."""
    from PIL import Image
    return Image.frombuffer("L", (160, 160), bytes(memoryview(picture)), "raw", "L", 0, 1) \
        .point(lambda v: 255 * v).convert("1")


Capture.line_errors = property(_line_errors, doc="LineErrors, or None where the port counts "
                               "none (a pseudo-terminal).")
Capture.received = property(_received, doc="When its last byte came, as an aware datetime.")
Capture.__repr__ = lambda c: f"<krt460.Capture {c.end} {c.kept_as} {len(c.data)} bytes>"
Picture._repr_png_ = lambda p: p.png()
Picture.to_pil = _to_pil
Picture.__doc__ = ("The 160 x 160 picture of one hardcopy. numpy.asarray(picture) is a "
                   "160 x 160 uint8 array without a copy: 0 black, 1 white (the bits of the "
                   "one-bit BMP; multiply by 255 for grey levels).")
