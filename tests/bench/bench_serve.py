# The gallery at scale, by hand (not a test): for a folder of 10, 10,000 and 100,000 captures
# (picture, raw bytes and record each), how long krt460 serve takes to start, what the first page
# costs the server (CPU and wall time, the page and its list), its resident memory (and its peak),
# and how soon an open event stream hears of a file renamed into place.
# Usage: python3 tests/bench/bench_serve.py build/linux-ci/cli/krt460 samples/sample_hardcopy.bmp
#        [COUNT...]
import http.client, os, re, shutil, socket, statistics, subprocess, sys, tempfile, time

krt460, bmp = sys.argv[1], open(sys.argv[2], "rb").read()
ticks = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / ticks


def rss_mb(pid, what="VmRSS"):
    return int(re.search(what + r":\s+(\d+)", open(f"/proc/{pid}/status").read()).group(1)) / 1024


def fill(folder, count):
    """Each capture's files are links to a few (a file takes at most 65,000 names): fast."""
    os.makedirs(folder)
    files = {".bmp": bmp, ".bin": b"\0" * 3328, ".json": (
        '{"received":"2026-12-08T10:15:00+01:00","port":"/dev/ttyUSB0","bytes":3328,'
        '"end":"complete","kept":"picture","endMarker":true,"picture":"x.bmp","raw":"x.bin",'
        '"lineErrors":null}\n').encode()}
    for n in range(count):
        base = os.path.join(folder, "2026%04d-%06d" % (1101 + n // 86400 % 30, n % 86400))
        template = os.path.join(folder, ".template%d" % (n // 50000))
        for extension, data in files.items():
            if n % 50000 == 0:
                open(template + extension, "wb").write(data)
            os.link(template + extension, base + extension)


def measure(count):
    work = tempfile.mkdtemp(prefix="krt460-bench.")
    try:
        fill(os.path.join(work, "pi1-ttyUSB0"), count)
        log = open(os.path.join(work, "serve.log"), "w+")
        start = time.monotonic()
        server = subprocess.Popen([krt460, "serve", "--dir", work, "--bind", "127.0.0.1:0"],
                                  stderr=log)
        port = None
        while port is None:
            log.seek(0)
            match = re.search(r"127\.0\.0\.1:(\d+)/", log.read())
            port = match and int(match.group(1))
            time.sleep(0.001)
        started, start_cpu = time.monotonic() - start, cpu_seconds(server.pid)
        connection = http.client.HTTPConnection("127.0.0.1", port)
        walls, rounds = [], 200
        before = cpu_seconds(server.pid)
        for _ in range(rounds):
            t = time.monotonic()
            for target in ("/", "/captures"):
                connection.request("GET", target)
                assert connection.getresponse().read()
            walls.append(time.monotonic() - t)
        cpu = (cpu_seconds(server.pid) - before) / rounds
        events = socket.create_connection(("127.0.0.1", port))
        events.sendall(b"GET /events HTTP/1.1\r\nHost: x\r\n\r\n")
        events.recv(65536)
        delays, folder = [], os.path.join(work, "pi1-ttyUSB0")
        for n in range(10):
            name = "20261231-2300%02d.bmp" % n
            open(os.path.join(folder, "." + name), "wb").write(bmp)
            t = time.monotonic()
            os.rename(os.path.join(folder, "." + name), os.path.join(folder, name))
            seen = b""
            while name[:-4].encode() not in seen:
                seen += events.recv(65536)
            delays.append(time.monotonic() - t)
        memory, peak = rss_mb(server.pid), rss_mb(server.pid, "VmHWM")
        server.terminate()
        server.wait()
        ms = lambda s: "%.2f ms" % (s * 1000)
        print(f"{count:>6} captures: start {ms(started)} ({ms(start_cpu)} of CPU); "
              f"first page (/ and /captures) {ms(cpu)} of server CPU, wall median "
              f"{ms(statistics.median(walls))}, max {ms(max(walls))}; RSS {memory:.1f} MB "
              f"(peak {peak:.1f} MB); file to event median {ms(statistics.median(delays))}, "
              f"max {ms(max(delays))}")
    finally:
        shutil.rmtree(work)


for count in [int(n) for n in sys.argv[3:]] or (10, 10000, 100000):
    measure(count)
