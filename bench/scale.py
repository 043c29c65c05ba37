"""Scale: resident memory and throughput with 1, 64 and 1,000 connections,
the cost of idle connections, and resident memory over a long run.

The ravo server runs in its own process (this file run with --serve): a
consumer thread calls sample() in a loop and counts samples; the main thread
answers "stat" on stdin with one JSON line (resident memory from
/proc/self/status, samples consumed, clock) and stops on "quit".

- idle: N connections that read the handshake and then stay silent; the cost
  is the server's resident memory with them open minus before.
- active: bench/scale_producer (one epoll thread driving N connections, each
  with a window of 64, opened one after another so that no burst overflows
  the listen backlog) for N = 1, 64 and 1,000; throughput from the
  consumer's count over the middle of the run, resident memory after it.
- soak: a steady stream for S seconds with resident memory sampled every
  second; growth is the slope of a least-squares line through the samples
  after the first quarter of the run (allocations that only happen once,
  such as each connection's buffers, are over by then).
- allocations: when `perf` and uprobes are available, the calls to malloc
  made by each server thread during two seconds of the soak, per sample.

Used by bench/run_all.py; alone:
  python3 bench/scale.py --build build/bench --connections 1 64 1000
  python3 bench/scale.py --build build/bench --soak 60
"""

import argparse
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from tcp_ingest import DEFAULT_SETTINGS, _child_env, batch_size_for, queue_size_for  # noqa: E402


def rss_kib(pid="self"):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def serve(args):
    sys.path.insert(0, args.build)
    import numpy as np  # noqa: F401
    import ravo

    settings = json.loads(args.settings)
    batch = batch_size_for(args.size)
    server = ravo._Server([[args.size]], [1], batch,
                          transport=ravo.TcpTransport(0, num_threads=settings["num_threads"]),
                          num_buffers=settings["num_buffers"], num_drainers=settings["num_drainers"],
                          producer_queue_size=queue_size_for(settings, args.size))
    server.start()
    count = [0]

    def consume():
        while True:
            got = server.sample()
            if got is None:
                return
            count[0] += batch  # read by the stat command; a torn read is impossible for a Python int

    t = threading.Thread(target=consume, daemon=True)
    t.start()
    print(f"PORT {server.port}", flush=True)
    for line in sys.stdin:
        cmd = line.strip()
        if cmd == "stat":
            print(json.dumps(dict(rss_kib=rss_kib(), samples=count[0], t=time.monotonic())), flush=True)
        elif cmd == "quit":
            break
    server.shutdown()
    t.join(timeout=10)


class Server:
    def __init__(self, build, size, settings):
        self.proc = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "--serve", "--build", build, "--size", str(size),
             "--settings", json.dumps(settings)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=_child_env())
        line = self.proc.stdout.readline().split()
        if len(line) != 2 or line[0] != "PORT":
            self.proc.kill()
            raise RuntimeError("scale server did not start")
        self.port = int(line[1])

    def stat(self):
        self.proc.stdin.write("stat\n")
        self.proc.stdin.flush()
        return json.loads(self.proc.stdout.readline())

    def close(self):
        try:
            self.proc.stdin.write("quit\n")
            self.proc.stdin.flush()
            self.proc.wait(timeout=30)
        except Exception:
            self.proc.kill()
            self.proc.wait()


HANDSHAKE_ONE_LEAF_1D = 9 + 8 + 4  # magic, version, count; one leaf record with one dimension


def open_idle(port, n):
    socks = []
    for _ in range(n):
        s = socket.create_connection(("127.0.0.1", port))
        socks.append(s)
    for s in socks:
        got = 0
        while got < HANDSHAKE_ONE_LEAF_1D:
            chunk = s.recv(HANDSHAKE_ONE_LEAF_1D - got)
            if not chunk:
                raise RuntimeError("server closed an idle connection")
            got += len(chunk)
    return socks


def idle_cost(build, size, n, settings):
    srv = Server(build, size, settings)
    try:
        time.sleep(0.2)
        before = srv.stat()["rss_kib"]
        socks = open_idle(srv.port, n)
        time.sleep(0.3)
        during = srv.stat()["rss_kib"]
        for s in socks:
            s.close()
    finally:
        srv.close()
    return dict(size=size, connections=n, rss_before_mib=before / 1024, rss_idle_mib=during / 1024,
                idle_cost_mib=(during - before) / 1024, per_connection_kib=(during - before) / max(n, 1))


def active(build, size, n, seconds, settings, window=64):
    srv = Server(build, size, settings)
    try:
        time.sleep(0.2)
        before = srv.stat()["rss_kib"]
        prod = subprocess.Popen(
            [os.path.join(build, "bench", "scale_producer"), "--port", str(srv.port), "--connections", str(n),
             "--window", str(window), "--seconds", str(seconds)], stdout=subprocess.PIPE, text=True)
        # Wait until samples flow (every connection is open by then), then
        # let the rate settle.
        deadline = time.monotonic() + 60
        while srv.stat()["samples"] == 0 and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(seconds * 0.2)
        a = srv.stat()
        time.sleep(seconds * 0.6)
        b = srv.stat()
        out, _ = prod.communicate(timeout=seconds + 120)
        after = srv.stat()["rss_kib"]
    finally:
        srv.close()
    j = json.loads(out.strip().splitlines()[-1])
    rate = (b["samples"] - a["samples"]) / (b["t"] - a["t"]) if b["t"] > a["t"] else 0.0
    return dict(size=size, connections=n, window=window, samples_per_s=rate, producer_acked_per_s=j["samples_per_s"],
                errors=j["errors"], rss_before_mib=before / 1024, rss_after_mib=after / 1024)


# ---- allocation count through a uprobe on malloc ---------------------------

def _libc_path():
    try:
        out = subprocess.run(["ldd", sys.executable], capture_output=True, text=True).stdout
    except OSError:
        return None
    m = re.search(r"libc\.so\.6 => (\S+)", out)
    return m.group(1) if m else None


def count_mallocs(pid, seconds):
    """Calls to malloc per thread name of process `pid` over `seconds`, or a
    dict with "unavailable" and the reason."""
    if shutil.which("perf") is None:
        return dict(unavailable="perf is not installed")
    libc = _libc_path()
    if libc is None:
        return dict(unavailable="libc not found")
    add = subprocess.run(["perf", "probe", "-q", "-x", libc, "--add", "ravo_bench_malloc=malloc"],
                         capture_output=True, text=True)
    if add.returncode != 0 and "already exists" not in add.stderr:
        return dict(unavailable="perf probe failed: " + add.stderr.strip()[-200:])
    try:
        st = subprocess.run(["perf", "stat", "--per-thread", "-x", ",", "-e", "probe_libc:ravo_bench_malloc", "-p",
                             str(pid), "--", "sleep", str(seconds)], capture_output=True, text=True)
        counts = {}
        for line in st.stderr.splitlines():
            parts = line.split(",")
            if len(parts) < 3 or not parts[1].strip().isdigit():
                continue
            name = parts[0].rsplit("-", 1)[0]
            counts[name] = counts.get(name, 0) + int(parts[1])
        if not counts:
            return dict(unavailable="perf stat gave no counts: " + st.stderr.strip()[-200:])
        return counts
    finally:
        subprocess.run(["perf", "probe", "-q", "--del", "probe_libc:ravo_bench_malloc"], capture_output=True)


def soak(build, size, seconds, settings, connections=4, window=64, alloc_probe=True):
    srv = Server(build, size, settings)
    samples = []
    mallocs = None
    try:
        prod = subprocess.Popen(
            [os.path.join(build, "bench", "tcp_producer"), "--port", str(srv.port), "--connections",
             str(connections), "--window", str(window), "--seconds", str(seconds)],
            stdout=subprocess.PIPE, text=True)
        t_end = time.monotonic() + seconds
        probe_at = time.monotonic() + seconds * 0.5
        while time.monotonic() < t_end - 0.5:
            samples.append(srv.stat())
            if alloc_probe and mallocs is None and time.monotonic() >= probe_at:
                s0 = srv.stat()
                mallocs = count_mallocs(srv.proc.pid, 2)
                s1 = srv.stat()
                if "unavailable" not in mallocs:
                    consumed = max(s1["samples"] - s0["samples"], 1)
                    mallocs = dict(per_thread=mallocs, samples=consumed,
                                   per_sample={k: v / consumed for k, v in mallocs.items()})
                continue
            time.sleep(1.0)
        out, _ = prod.communicate(timeout=120)
    finally:
        srv.close()
    t0 = samples[0]["t"]
    pts = [(s["t"] - t0, s["rss_kib"], s["samples"]) for s in samples]
    tail = [p for p in pts if p[0] >= seconds * 0.25]
    slope = 0.0
    if len(tail) >= 2:
        mt = sum(p[0] for p in tail) / len(tail)
        mr = sum(p[1] for p in tail) / len(tail)
        den = sum((p[0] - mt) ** 2 for p in tail)
        slope = sum((p[0] - mt) * (p[1] - mr) for p in tail) / den if den else 0.0
    total = pts[-1][2] - (tail[0][2] if tail else 0)
    span = (pts[-1][0] - tail[0][0]) if tail else 0.0
    j = json.loads(out.strip().splitlines()[-1])
    return dict(size=size, connections=connections, window=window, seconds=seconds,
                rss_series=[dict(t=round(p[0], 2), rss_mib=round(p[1] / 1024, 2), samples=p[2]) for p in pts],
                rss_first_mib=pts[0][1] / 1024, rss_last_mib=pts[-1][1] / 1024,
                rss_max_mib=max(p[1] for p in pts) / 1024,
                growth_kib_per_s=slope,
                growth_bytes_per_million_samples=(slope * 1024 * span / total * 1e6) if total else 0.0,
                samples_per_s=j["samples_per_s"], samples_total=j["samples_acked"], errors=j["errors"],
                mallocs=mallocs)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(os.path.dirname(HERE), "build", "bench"))
    ap.add_argument("--size", type=int, default=4096)
    ap.add_argument("--connections", type=int, nargs="*", default=[1, 64, 1000])
    ap.add_argument("--seconds", type=float, default=2.0)
    ap.add_argument("--soak", type=float, default=0.0, help="run the soak for this many seconds instead")
    ap.add_argument("--settings", default=json.dumps(DEFAULT_SETTINGS))
    ap.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    args.build = os.path.abspath(args.build)
    if args.serve:
        serve(args)
        return
    settings = json.loads(args.settings)
    if args.soak:
        r = soak(args.build, args.size, args.soak, settings)
        r.pop("rss_series")
        print(json.dumps(r, indent=1))
        return
    for n in args.connections:
        print(json.dumps(dict(idle=idle_cost(args.build, args.size, n, settings),
                              active=active(args.build, args.size, n, args.seconds, settings))))


if __name__ == "__main__":
    main()
