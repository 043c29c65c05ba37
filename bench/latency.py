"""Latency from send to consumer, at a fixed offered rate.

bench/latency_producer (C++) paces samples evenly over its connections and
stamps each one with its send time (CLOCK_MONOTONIC ns in bytes 0..7). The
ravo server's consumer (this file run with --serve) calls sample() in a loop
and, for every sample of every batch, subtracts the stamp from
time.monotonic_ns() taken right after sample() returned: the time from the
producer's write until the consumer holds the sample. That includes the wait
for the rest of the batch to arrive (on average half the batch fill time,
batch_size / rate), so the report also gives the latency of the newest sample
of each batch (the one that completed it), which carries no such wait: the
path through socket, connection task, queue, drainer, store and sample().

Baseline in the same run: bench/ack_server driven by the same producer at
the same rate, where the producer's own send-to-acknowledgement time is the
protocol's floor. The ravo run reports the producer's acknowledgement
latency too.

Used by bench/run_all.py; alone:
  python3 bench/latency.py --build build/bench --size 64 --rate 100000
"""

import argparse
import json
import os
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from tcp_ingest import AckServer, DEFAULT_SETTINGS, _child_env, queue_size_for  # noqa: E402

LATENCY_BATCH = 16
WARMUP_S = 0.3


def serve(args):
    sys.path.insert(0, args.build)
    import numpy as np
    import ravo

    settings = json.loads(args.settings)
    size, batch = args.size, args.batch
    server = ravo._Server([[size]], [1], batch,
                          transport=ravo.TcpTransport(0, num_threads=settings["num_threads"]),
                          num_buffers=settings["num_buffers"], num_drainers=settings["num_drainers"],
                          producer_queue_size=queue_size_for(settings, size))
    server.start()
    producer = subprocess.Popen(
        [os.path.join(args.build, "bench", "latency_producer"), "--port", str(server.port), "--connections",
         str(args.connections), "--rate", str(args.rate), "--seconds", str(args.seconds), "--warmup",
         str(WARMUP_S)],
        stdout=subprocess.PIPE)
    out = {}

    def stopper():
        out["producer"] = producer.stdout.read()
        producer.wait()
        server.shutdown()

    t = threading.Thread(target=stopper)
    t.start()
    chunks = []
    first_stamp = None
    while True:
        got = server.sample()
        if got is None:
            break
        now = time.monotonic_ns()
        leaf = got[0][0]
        # The stamp of every sample in the batch: a strided view, no copy.
        stamps = np.ndarray((batch,), dtype="<u8", buffer=leaf, strides=(size,))
        if first_stamp is None:
            first_stamp = int(stamps.min())
        chunks.append((now, stamps.copy()))
    t.join()
    cut = first_stamp + int(WARMUP_S * 1e9) if first_stamp is not None else 0
    kept = [(now, s) for now, s in chunks if s.min() >= cut]
    if kept:
        lat_us = np.concatenate([now - s.astype(np.int64) for now, s in kept]) / 1e3
        # The newest sample of each batch: the one whose arrival completed
        # it, so its latency carries no wait for the rest of the batch.
        last_us = np.array([now - int(s.max()) for now, s in kept]) / 1e3
    else:
        lat_us = last_us = np.zeros(1)
    prod = json.loads(out["producer"])
    res = dict(size=size, batch_size=batch, rate=args.rate, connections=args.connections,
               offered_per_s=prod["offered_per_s"], samples=int(lat_us.size), batches=int(last_us.size),
               p50_us=float(np.percentile(lat_us, 50)), p99_us=float(np.percentile(lat_us, 99)),
               max_us=float(lat_us.max()),
               completing_p50_us=float(np.percentile(last_us, 50)),
               completing_p99_us=float(np.percentile(last_us, 99)),
               ack_p50_us=prod["ack_p50_us"], ack_p99_us=prod["ack_p99_us"],
               batch_fill_us=batch / args.rate * 1e6, errors=prod["errors"])
    print(json.dumps(res), flush=True)


def run_ravo(build, size, rate, seconds, connections=4, batch=LATENCY_BATCH, settings=None):
    settings = dict(DEFAULT_SETTINGS if settings is None else settings)
    cmd = [sys.executable, os.path.abspath(__file__), "--serve", "--build", build, "--size", str(size), "--rate",
           str(rate), "--seconds", str(seconds), "--connections", str(connections), "--batch", str(batch),
           "--settings", json.dumps(settings)]
    proc = subprocess.run(cmd, capture_output=True, text=True, env=_child_env(), timeout=seconds + 60)
    if proc.returncode != 0:
        raise RuntimeError(f"latency run failed ({size} B at {rate}/s): {proc.stderr[-2000:]}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def run_ack(build, size, rate, seconds, connections=4, threads=DEFAULT_SETTINGS["num_threads"]):
    with AckServer(build, size, threads) as srv:
        proc = subprocess.run(
            [os.path.join(build, "bench", "latency_producer"), "--port", str(srv.port), "--connections",
             str(connections), "--rate", str(rate), "--seconds", str(seconds), "--warmup", str(WARMUP_S)],
            capture_output=True, text=True, timeout=seconds + 60)
    j = json.loads(proc.stdout.strip().splitlines()[-1])
    return dict(size=size, rate=rate, connections=connections, offered_per_s=j["offered_per_s"],
                ack_p50_us=j["ack_p50_us"], ack_p99_us=j["ack_p99_us"], ack_max_us=j["ack_max_us"],
                errors=j["errors"])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(os.path.dirname(HERE), "build", "bench"))
    ap.add_argument("--size", type=int, default=64)
    ap.add_argument("--rate", type=float, default=50000)
    ap.add_argument("--seconds", type=float, default=2.0)
    ap.add_argument("--connections", type=int, default=4)
    ap.add_argument("--batch", type=int, default=LATENCY_BATCH)
    ap.add_argument("--settings", default=json.dumps(DEFAULT_SETTINGS))
    ap.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    args.build = os.path.abspath(args.build)
    if args.serve:
        serve(args)
        return
    r = run_ravo(args.build, args.size, args.rate, args.seconds, args.connections, args.batch,
                 json.loads(args.settings))
    a = run_ack(args.build, args.size, args.rate, args.seconds, args.connections)
    print(json.dumps(dict(ravo=r, ack=a), indent=1))


if __name__ == "__main__":
    main()
