"""The homemade alternative to ravo's TCP ingest: ZeroMQ PUSH/PULL into NumPy
batches assembled by a Python consumer.

- Producers: `connections` PUSH sockets, spread over at most two producer
  processes (this file run with --produce); each process sends the same
  sample bytes round-robin over its sockets as fast as ZeroMQ takes them.
  Every socket's high-water mark (send and receive) is 64 messages, the
  depth of the TCP producers' window, so that ZeroMQ buffers about as much
  per connection as ravo's producers keep in flight (its default of 1,000
  would buffer gigabytes of 1 MiB samples).
- Consumer: one PULL socket (this file run with --consume) that receives each
  message straight into the next row of a preallocated (batch, size) uint8
  array with recv_into, the cheapest assembly a Python consumer can do, and
  counts a batch when its last row is filled. Nothing is acknowledged.

The rate is taken from the consumer's batch timestamps over the steady part of
the run, as for ravo. Used by bench/run_all.py; alone:
  python3 bench/zmq_baseline.py --size 4096 --connections 4 --seconds 2
"""

import argparse
import json
import os
import resource
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from tcp_ingest import _steady_rate, batch_size_for, _child_env  # noqa: E402

MAX_PRODUCER_PROCESSES = 2
HWM = 64


def produce(args):
    import zmq

    ctx = zmq.Context()
    socks = []
    for _ in range(args.sockets):
        s = ctx.socket(zmq.PUSH)
        s.setsockopt(zmq.SNDHWM, HWM)
        s.connect(f"tcp://127.0.0.1:{args.port}")
        socks.append(s)
    payload = os.urandom(args.size)
    # Wait until the consumer is there (the first send would otherwise queue
    # everything before the clock starts).
    time.sleep(0.2)
    end = time.perf_counter() + args.seconds
    sent = 0
    while True:
        for s in socks:
            for _ in range(16):
                s.send(payload, copy=args.size < 65536)
        sent += 16 * len(socks)
        if time.perf_counter() >= end:
            break
    for s in socks:
        s.close(linger=0)
    ctx.term()
    print(sent, flush=True)


def consume(args):
    import numpy as np
    import zmq

    ctx = zmq.Context()
    pull = ctx.socket(zmq.PULL)
    pull.setsockopt(zmq.RCVHWM, HWM)
    port = pull.bind_to_random_port("tcp://127.0.0.1")
    print(port, flush=True)
    batch = batch_size_for(args.size)
    # Three batches in turn, like a ring; each row a writable memoryview.
    batches = [np.empty((batch, args.size), dtype=np.uint8) for _ in range(3)]
    rows = [[memoryview(b[i]) for i in range(batch)] for b in batches]
    pull.setsockopt(zmq.RCVTIMEO, 5000)  # the first message
    times = []
    cpu0 = None
    k = 0
    checksum = 0
    try:
        while True:
            cur = rows[k % 3]
            for i in range(batch):
                pull.recv_into(cur[i])
            if cpu0 is None:
                ru = resource.getrusage(resource.RUSAGE_SELF)
                cpu0 = ru.ru_utime + ru.ru_stime
                pull.setsockopt(zmq.RCVTIMEO, 500)  # the producers' end
            checksum += int(batches[k % 3][0, 0])
            times.append(time.perf_counter())
            k += 1
    except zmq.Again:
        pass
    ru = resource.getrusage(resource.RUSAGE_SELF)
    cpu = ru.ru_utime + ru.ru_stime - (cpu0 or 0.0)
    pull.close(linger=0)
    ctx.term()
    print(json.dumps(dict(samples_per_s=_steady_rate(times, batch), batches=len(times), batch_size=batch,
                          consumer_cpu_s=cpu)), flush=True)


def run(size, connections, seconds):
    env = _child_env()
    cons = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--consume", "--size", str(size)],
                            stdout=subprocess.PIPE, text=True, env=env)
    port = cons.stdout.readline().strip()
    nproc = min(connections, MAX_PRODUCER_PROCESSES)
    per = [connections // nproc + (1 if i < connections % nproc else 0) for i in range(nproc)]
    prods = [subprocess.Popen([sys.executable, os.path.abspath(__file__), "--produce", "--port", port, "--size",
                               str(size), "--sockets", str(n), "--seconds", str(seconds)],
                              stdout=subprocess.PIPE, text=True, env=env) for n in per]
    sent = 0
    for p in prods:
        out, _ = p.communicate(timeout=seconds + 60)
        sent += int(out.strip() or 0)
    out, _ = cons.communicate(timeout=60)
    r = json.loads(out.strip().splitlines()[-1])
    r.update(size=size, connections=connections, samples_sent=sent, producer_processes=nproc)
    r["gb_per_s"] = r["samples_per_s"] * size / 1e9
    return r


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size", type=int, default=4096)
    ap.add_argument("--connections", type=int, default=4)
    ap.add_argument("--seconds", type=float, default=2.0)
    ap.add_argument("--port")
    ap.add_argument("--sockets", type=int, default=1)
    ap.add_argument("--produce", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--consume", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.produce:
        produce(args)
    elif args.consume:
        consume(args)
    else:
        r = run(args.size, args.connections, args.seconds)
        print(json.dumps(r))


if __name__ == "__main__":
    main()
