"""The main job: a ravo server with a TCP transport on a free port, producer
processes streaming samples to it, and the consumer printing throughput and
the SampleInfo gauges.

Each sample is an 84x84x4 uint8 observation, a float32 reward and an int64
sequence number; every producer stamps its id and sequence into the sample so
that the consumer can check that nothing is lost or reordered.
"""

import argparse
import os
import subprocess
import sys
import threading
import time

import numpy as np

import ravo

OBS_SHAPE = (84, 84, 4)
PRODUCER = r"""
import sys, time, numpy as np, ravo_producer
port, pid, seconds = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
rng = np.random.default_rng(pid)
obs = rng.integers(0, 255, size=(84, 84, 4), dtype=np.uint8)
with ravo_producer.Producer("127.0.0.1", port, window=64, timeout=60) as p:
    end = time.perf_counter() + seconds
    seq = 0
    while time.perf_counter() < end:
        obs[0, 0, 0] = pid
        p.send([obs, np.float32(seq % 7), np.int64(pid << 40 | seq)])
        seq += 1
    # One write per line: the producers share the consumer's stdout.
    sys.stdout.write(f"producer {pid}: {p.acked} samples acknowledged\n")
    sys.stdout.flush()
"""


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--producers", type=int, default=4)
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--batch-size", type=int, default=256)
    ap.add_argument("--cpp-actor", metavar="PATH",
                    help="run this build of examples/cpp_actor.cpp as the producers (8 environments each) "
                         "instead of the Python producer")
    args = ap.parse_args()

    server = ravo._Server(
        shapes=[list(OBS_SHAPE), [], []],
        dtype_sizes=[1, 4, 8],
        batch_size=args.batch_size,
        transport=ravo.TcpTransport(0, num_threads=2),
        num_drainers=2,
    )
    server.start()
    print(f"ravo server listening on port {server.port}; {args.producers} producer processes")
    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.join(here, "..", "python"),
                                                      os.environ.get("PYTHONPATH", "")]))
    if args.cpp_actor:
        commands = [[args.cpp_actor, "--port", str(server.port), "--id", str(i), "--seconds", str(args.seconds)]
                    for i in range(args.producers)]
    else:
        commands = [[sys.executable, "-c", PRODUCER, str(server.port), str(i), str(args.seconds)]
                    for i in range(args.producers)]
    procs = [subprocess.Popen(cmd, env=env) for cmd in commands]

    # When every producer has finished, shut down: sample() then returns the
    # complete batches still waiting and None after them.
    def stop_when_done():
        for p in procs:
            p.wait()
        time.sleep(0.5)  # let the drainers move the last queued samples
        server.shutdown()

    threading.Thread(target=stop_when_done, daemon=True).start()
    sample_bytes = int(np.prod(OBS_SHAPE)) + 4 + 8
    next_seq = {}
    batches = samples = 0
    t0 = last = time.perf_counter()
    last_samples = 0
    info = None
    while True:
        got = server.sample()
        if got is None:
            break
        arrays, info = got
        ids = arrays[2].view(np.int64)
        for v in ids.tolist():
            pid, seq = v >> 40, v & ((1 << 40) - 1)
            assert seq == next_seq.get(pid, 0), "a sample was lost or reordered"
            next_seq[pid] = seq + 1
        batches += 1
        samples += args.batch_size
        now = time.perf_counter()
        if now - last >= 1.0:
            rate = (samples - last_samples) / (now - last)
            print(f"{rate:>10,.0f} samples/s {rate * sample_bytes / 1e9:5.2f} GB/s | "
                  f"connections {info.active_connections} store {info.store_size} "
                  f"queue depth sum {info.queue_depth_sum} max {info.queue_depth_max} "
                  f"push blocked {info.push_blocked_count} inserted {info.samples_inserted_total} "
                  f"batches {info.notify_count}", flush=True)
            last, last_samples = now, samples
    elapsed = time.perf_counter() - t0
    print(f"consumed {samples:,} samples in {batches:,} batches in {elapsed:.1f} s: "
          f"{samples / elapsed:,.0f} samples/s, {samples * sample_bytes / elapsed / 1e9:.2f} GB/s; "
          f"every producer's samples arrived in order")
    if info is not None:
        print("last SampleInfo: " + ", ".join(
            f"{k}={getattr(info, k)}" for k in ("store_size", "active_connections", "queue_depth_sum",
                                                "queue_depth_max", "push_blocked_count",
                                                "samples_inserted_total", "notify_count")))


if __name__ == "__main__":
    main()
