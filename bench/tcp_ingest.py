"""TCP ingest as the consumer sees it, beside the protocol's and the kernel's limits.

Three measurements, each a separate process tree so that one run's memory and
threads never disturb the next:

- ravo: a ravo server (this file run with --serve) whose main thread calls
  sample() in a loop, fed by bench/tcp_producer (C++, include/ravo/producer.h).
  The rate is taken from the consumer's side: the samples in the batches that
  sample() returned, over the steady part of the run.
- ack: bench/ack_server, the smallest server that speaks the protocol (read a
  sample, write the acknowledgement byte; no queue, no store), fed by the same
  producer with the same arguments: the protocol's limit on this machine.
- loopback: one bulk TCP stream over 127.0.0.1 (1 MiB writes, recv_into a
  reused buffer): the kernel's limit in bytes per second.

Used by bench/run_all.py; can also be run alone:
  python3 bench/tcp_ingest.py --build build/bench --size 4096 --connections 4 --window 64
"""

import argparse
import json
import os
import resource
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# Server settings shared by every ravo row, chosen for a 2-core machine that
# also runs the producers:
# - num_threads=2: one connection worker per core, the same thread budget as
#   the ack server it is compared with (epoll mode, 2 threads);
# - num_drainers=2: one per core. A drainer copies every sample it takes
#   into batch memory, and from 64 KiB up that copy is the server's largest
#   cost, so with several connections the copies run on both cores (64 KiB,
#   4 connections: 58K-68K samples/s against 49K-50K with one drainer; small
#   samples and single connections the same within the noise);
# - producer_queue_size=64: the producers' window. A connection then never
#   parks on a full queue while its producer still has window left; with the
#   default 8 a connection at window 64 blocks every 8 samples and waits for
#   the drainer, a hand-off that costs two wake-ups each time.
#   Capped at queue_bytes (4 MiB) of samples, at least 4 samples: every
#   queued sample holds a pooled buffer, and a connection whose queue holds
#   64 MiB of 1 MiB samples hands the drainer buffers the caches lost long
#   ago (the kernel's copy into them and the drainer's copy out of them both
#   go to memory). 1 MiB samples, queue of 4 against 64, in turns, 3 runs
#   each: 4.9K against 4.4K samples/s on 1 connection, 6.1K against 5.0K on 4,
#   3.5K against 3.3K on 64; at 64 KiB a shallower queue only loses (4
#   connections: 79K with 16, 74K with 8, against 82K with 64).
# - num_buffers=3: the default.
DEFAULT_SETTINGS = dict(num_threads=2, num_drainers=2, producer_queue_size=64, num_buffers=3, queue_bytes=4 << 20)
# The constructor's own defaults, for the settings comparison.
CONSTRUCTOR_DEFAULTS = dict(num_threads=8, num_drainers=8, producer_queue_size=8, num_buffers=3)


def queue_size_for(settings, size):
    """The producer_queue_size for `size`-byte samples: the setting, capped at
    queue_bytes of samples (at least 4) when the settings give queue_bytes."""
    q = settings["producer_queue_size"]
    if settings.get("queue_bytes"):
        q = min(q, max(4, settings["queue_bytes"] // max(size, 1)))
    return q


def batch_size_for(size):
    """Batches of about 16 MiB, between 16 and 256 samples."""
    return max(16, min(256, (16 << 20) // size))


def _steady_rate(times, batch, skip_fraction=0.2):
    """Samples per second between the batch at `skip_fraction` of the run and
    the last batch, from the consumer's batch timestamps."""
    if len(times) < 3:
        return 0.0
    t0, t1 = times[0], times[-1]
    start = t0 + skip_fraction * (t1 - t0)
    i = next(k for k, t in enumerate(times) if t >= start)
    if i >= len(times) - 1:
        i = len(times) - 2
    return (len(times) - 1 - i) * batch / (times[-1] - times[i])


def _cpu_seconds(ru):
    return ru.ru_utime + ru.ru_stime


def serve(args):
    """Child process: one ravo server, its consumer loop, one producer run."""
    sys.path.insert(0, args.build)
    import numpy as np  # noqa: F401  (loaded before the clock starts)
    import ravo

    settings = json.loads(args.settings)
    size = args.size
    batch = batch_size_for(size)
    server = ravo._Server([[size]], [1], batch,
                          transport=ravo.TcpTransport(0, num_threads=settings["num_threads"]),
                          num_buffers=settings["num_buffers"], num_drainers=settings["num_drainers"],
                          producer_queue_size=queue_size_for(settings, size))
    server.start()
    producer = subprocess.Popen(
        [os.path.join(args.tools or args.build, "bench", "tcp_producer"), "--port", str(server.port),
         "--connections", str(args.connections), "--window", str(args.window), "--seconds", str(args.seconds),
         "--batch", str(args.producer_batch)],
        stdout=subprocess.PIPE)
    cpu0 = _cpu_seconds(resource.getrusage(resource.RUSAGE_SELF))
    out = {}

    def stopper():
        out["producer"] = producer.stdout.read()
        _, status, ru = os.wait4(producer.pid, 0)
        out["producer_status"] = status
        out["producer_cpu"] = _cpu_seconds(ru)
        server.shutdown()  # the consumer's sample() returns None once the last complete batch is out

    stop_thread = threading.Thread(target=stopper)
    stop_thread.start()
    times = []
    checksum = 0
    info = None
    while True:
        got = server.sample()
        if got is None:
            break
        arrays, info = got
        checksum += int(arrays[0][0])  # touch the batch as a consumer would
        times.append(time.perf_counter())
    stop_thread.join()
    cpu1 = _cpu_seconds(resource.getrusage(resource.RUSAGE_SELF))
    prod = json.loads(out["producer"])
    acked = max(prod["samples_acked"], 1)
    rss_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    result = dict(
        size=size, connections=args.connections, window=args.window, batch_size=batch,
        samples_per_s=_steady_rate(times, batch),
        producer_acked_per_s=prod["samples_per_s"], samples_acked=prod["samples_acked"],
        server_cpu_us_per_sample=(cpu1 - cpu0) / acked * 1e6,
        producer_cpu_us_per_sample=out["producer_cpu"] / acked * 1e6,
        max_rss_mib=rss_kib / 1024.0, errors=prod["errors"],
        push_blocked_count=info.push_blocked_count if info else 0,
        notify_count=info.notify_count if info else 0)
    result["gb_per_s"] = result["samples_per_s"] * size / 1e9
    print(json.dumps(result), flush=True)


def _child_env():
    env = dict(os.environ)
    # NumPy's BLAS threads would otherwise spin beside the measurement.
    env.setdefault("OPENBLAS_NUM_THREADS", "1")
    env.setdefault("OMP_NUM_THREADS", "1")
    return env


def run_ravo(build, size, connections, window, seconds, settings=None, producer_batch=1):
    settings = dict(DEFAULT_SETTINGS if settings is None else settings)
    cmd = [sys.executable, os.path.abspath(__file__), "--serve", "--build", build, "--tools", build, "--size", str(size),
           "--connections", str(connections), "--window", str(window), "--seconds", str(seconds),
           "--settings", json.dumps(settings), "--producer-batch", str(producer_batch)]
    proc = subprocess.run(cmd, capture_output=True, text=True, env=_child_env(), timeout=seconds + 60)
    if proc.returncode != 0:
        raise RuntimeError(f"ravo run failed ({size} B, {connections} conn, window {window}): {proc.stderr[-2000:]}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


class AckServer:
    """bench/ack_server as a context manager; `port` once it listens. It exits
    when its stdin closes."""

    def __init__(self, build, size, threads, copy_to=0):
        self.proc = subprocess.Popen(
            [os.path.join(build, "bench", "ack_server"), "--leaf", f"1:{size}", "--mode", "epoll",
             "--threads", str(threads), "--copy-to", str(copy_to)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = self.proc.stdout.readline().decode().split()
        if len(line) != 2 or line[0] != "PORT":
            self.proc.kill()
            raise RuntimeError("ack_server did not report its port")
        self.port = int(line[1])
        self.cpu = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.proc.stdin.close()
        _, _, ru = os.wait4(self.proc.pid, 0)
        self.proc.returncode = 0
        self.cpu = _cpu_seconds(ru)


def run_ack(build, size, connections, window, seconds, threads, copy_to=0, producer_batch=1):
    """The ack server's rate; with `copy_to`, each sample is also copied into
    a region of that many bytes per server thread before its ack."""
    with AckServer(build, size, threads, copy_to) as srv:
        prod = subprocess.Popen(
            [os.path.join(build, "bench", "tcp_producer"), "--port", str(srv.port), "--connections",
             str(connections), "--window", str(window), "--seconds", str(seconds), "--batch", str(producer_batch)],
            stdout=subprocess.PIPE)
        raw = prod.stdout.read()
        _, _, ru = os.wait4(prod.pid, 0)
    j = json.loads(raw)
    acked = max(j["samples_acked"], 1)
    return dict(size=size, connections=connections, window=window, samples_per_s=j["samples_per_s"],
                gb_per_s=j["samples_per_s"] * size / 1e9, errors=j["errors"],
                server_cpu_us_per_sample=srv.cpu / acked * 1e6,
                producer_cpu_us_per_sample=_cpu_seconds(ru) / acked * 1e6)


# The sender's socket leaves BBR before it connects, as the producer clients'
# loopback sockets do (BBR's pacing reorders segments over loopback).
_LOOPBACK_SENDER = r"""
import socket, sys, time
port, seconds = int(sys.argv[1]), float(sys.argv[2])
s = socket.socket()
try:
    if s.getsockopt(socket.IPPROTO_TCP, socket.TCP_CONGESTION, 16).startswith(b"bbr"):
        for other in (b"cubic", b"reno"):
            try:
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_CONGESTION, other)
                break
            except OSError:
                pass
except (OSError, AttributeError):
    pass
s.connect(("127.0.0.1", port))
chunk = bytes(1 << 20)
end = time.perf_counter() + seconds
while time.perf_counter() < end:
    s.sendall(chunk)
s.close()
"""


def run_loopback(seconds):
    """One bulk TCP stream over loopback: the kernel's limit in bytes/s."""
    lst = socket.socket()
    lst.bind(("127.0.0.1", 0))
    lst.listen(1)
    sender = subprocess.Popen([sys.executable, "-c", _LOOPBACK_SENDER, str(lst.getsockname()[1]), str(seconds)])
    conn, _ = lst.accept()
    buf = bytearray(1 << 20)
    view = memoryview(buf)
    total = 0
    t0 = None
    skip = 0
    while True:
        n = conn.recv_into(view)
        if n == 0:
            break
        if t0 is None:
            t0 = time.perf_counter()
            skip = n  # the clock starts after the first chunk
        total += n
    t1 = time.perf_counter()
    conn.close()
    lst.close()
    sender.wait()
    bps = (total - skip) / (t1 - t0) if t0 and t1 > t0 else 0.0
    return dict(bytes_per_s=bps, gb_per_s=bps / 1e9, seconds=seconds)


def ring_bytes(size, settings):
    """The batch memory a server with these settings has for `size`-byte samples."""
    return settings["num_buffers"] * batch_size_for(size) * size


def compare(builds, sizes, connections, window, seconds, repeats, settings, tools_build, copy_bound=False):
    """Runs the same cells against several module builds (say, before and
    after a change) and the ack server, taking turns; returns one dict per
    cell with the best rate of each. With `copy_bound`, also the ack server
    that copies each sample into batch-sized memory on its own thread: the
    protocol plus the one copy a server with batch memory cannot avoid."""
    cells = []
    for size in sizes:
        for conns in connections:
            runs = {b: [] for b in builds}
            acks, copies = [], []
            for _ in range(repeats):
                for b in builds:
                    runs[b].append(run_ravo_with(b, tools_build, size, conns, window, seconds, settings))
                acks.append(run_ack(tools_build, size, conns, window, seconds, settings["num_threads"]))
                if copy_bound:
                    copies.append(run_ack(tools_build, size, conns, window, seconds, settings["num_threads"],
                                          copy_to=ring_bytes(size, settings)))
            cell = dict(size=size, connections=conns, window=window,
                        ack=max(a["samples_per_s"] for a in acks),
                        builds={b: max(r["samples_per_s"] for r in rs) for b, rs in runs.items()},
                        server_cpu_us={b: min(r["server_cpu_us_per_sample"] for r in rs) for b, rs in runs.items()})
            if copies:
                cell["ack_copy"] = max(a["samples_per_s"] for a in copies)
            cells.append(cell)
            bound = f"ack+copy {cell['ack_copy']:>10,.0f}/s ({cell['ack_copy'] / cell['ack']:.2f})  " if copies else ""
            print(f"{size:>8} B {conns:>3} conn w{window}: ack {cell['ack']:>10,.0f}/s  " + bound +
                  "  ".join(f"{os.path.basename(os.path.dirname(b.rstrip('/'))) or b}: {v:>10,.0f}/s "
                            f"({v / cell['ack']:.2f}, {cell['server_cpu_us'][b]:.1f} us)"
                            for b, v in cell["builds"].items()), flush=True)
    return cells


def run_ravo_with(module_build, tools_build, size, connections, window, seconds, settings):
    """run_ravo with the module from `module_build` and the C++ tools from
    `tools_build` (an older tree may lack the newer tools)."""
    cmd = [sys.executable, os.path.abspath(__file__), "--serve", "--build", module_build, "--tools", tools_build,
           "--size", str(size), "--connections", str(connections), "--window", str(window), "--seconds",
           str(seconds), "--settings", json.dumps(settings)]
    proc = subprocess.run(cmd, capture_output=True, text=True, env=_child_env(), timeout=seconds + 60)
    if proc.returncode != 0:
        raise RuntimeError(f"ravo run failed: {proc.stderr[-2000:]}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(os.path.dirname(HERE), "build", "bench"))
    ap.add_argument("--size", type=int, default=4096)
    ap.add_argument("--connections", type=int, default=4)
    ap.add_argument("--window", type=int, default=64)
    ap.add_argument("--seconds", type=float, default=2.0)
    ap.add_argument("--settings", default=json.dumps(DEFAULT_SETTINGS))
    ap.add_argument("--tools", help="directory whose bench/ holds the C++ tools (default: --build)")
    ap.add_argument("--producer-batch", type=int, default=1,
                    help="samples per producer call: 1 uses send(), more packs them for send_many()")
    ap.add_argument("--compare", nargs="+", metavar="BUILD",
                    help="module build directories to compare on the window-64 grid (e.g. before and after)")
    ap.add_argument("--repeats", type=int, default=2)
    ap.add_argument("--json", help="with --compare: write the cells here")
    ap.add_argument("--copy-bound", action="store_true",
                    help="with --compare: also run the ack server that copies each sample into batch-sized "
                         "memory (ack_server --copy-to)")
    ap.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    args.build = os.path.abspath(args.build)
    args.tools = os.path.abspath(args.tools) if args.tools else args.build
    if args.serve:
        serve(args)
        return
    if args.compare:
        cells = compare([os.path.abspath(b) for b in args.compare], [64, 4096, 65536, 1 << 20], [1, 4, 64],
                        args.window, args.seconds, args.repeats, json.loads(args.settings), args.tools,
                        args.copy_bound)
        if args.json:
            with open(args.json, "w") as f:
                json.dump(dict(settings=json.loads(args.settings), cells=cells), f, indent=1)
        return
    settings = json.loads(args.settings)
    r = run_ravo(args.build, args.size, args.connections, args.window, args.seconds, settings,
                 producer_batch=args.producer_batch)
    a = run_ack(args.build, args.size, args.connections, args.window, args.seconds, settings["num_threads"],
                producer_batch=args.producer_batch)
    lb = run_loopback(1.0)
    print(json.dumps(dict(ravo=r, ack=a, loopback=lb), indent=1))
    print(f"ravo {r['samples_per_s']:,.0f}/s  ack {a['samples_per_s']:,.0f}/s  "
          f"ratio {r['samples_per_s'] / max(a['samples_per_s'], 1):.2f}  loopback {lb['gb_per_s']:.2f} GB/s")


if __name__ == "__main__":
    main()
