"""krt460.decode against the C++ decode (bench_decode), and the hand-over of listen: from a
print's last byte on the line to its Capture in the script's loop.
Usage: PYTHONPATH=build/linux-ci/python /usr/bin/python3 tests/bench/bench_python.py \
           build/linux-ci/tools/instrument_simulator samples/sample_hardcopy.bin"""
import datetime
import os
import statistics
import subprocess
import sys
import tempfile
import timeit

import krt460

simulator, frame = sys.argv[1:3]
sample = open(frame, "rb").read()
runs = timeit.repeat(lambda: krt460.decode(sample), number=10000, repeat=5)
print(f"krt460.decode: {min(runs) / 10000 * 1e6:.1f} us (best of 5 x 10000)")
bmp = timeit.repeat(lambda: krt460.decode(sample).bmp(), number=10000, repeat=5)
print(f"krt460.decode(...).bmp(), as bench_decode: {min(bmp) / 10000 * 1e6:.1f} us")

work = tempfile.mkdtemp()
port, trigger = os.path.join(work, "port"), os.path.join(work, "press")
instrument = subprocess.Popen([simulator, frame, "--link", port, "--trigger", trigger],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
while not os.path.islink(port):
    pass
delays = []
with krt460.listen(port) as prints:
    for _ in range(21):
        with open(trigger + ".new", "w") as f:
            pass
        os.rename(trigger + ".new", trigger)
        capture = next(prints)
        delays.append((datetime.datetime.now(datetime.timezone.utc) - capture.received) / 1e-3
                      / datetime.timedelta(seconds=1))
instrument.terminate()
instrument.wait()
print(f"listen, last byte to Capture: median {statistics.median(delays[1:]):.1f} ms, worst "
      f"{max(delays[1:]):.1f} ms, best {min(delays[1:]):.1f} ms; first print {delays[0]:.1f} ms")
