"""In-process benchmark: submit + sample throughput against a pure-Python
baseline measured in the same run, and the cost of one sample() call.

Not a test: prints figures and ratios. Run: python bench/bench_inprocess.py
"""

import argparse
import json
import queue
import threading
import time

import numpy as np

import ravo

BATCH = 256


def leaves_for(sample_bytes):
    # Two leaves: three quarters and one quarter of the sample.
    a = sample_bytes * 3 // 4
    return [a, sample_bytes - a]


def run_ravo(sample_bytes, threads, seconds, items="bytes"):
    """Samples/s through submit() and sample(); `items` is "bytes" or
    "numpy" (uint8 arrays: submit copies them under the interpreter lock up
    to 16 KiB, and above that with the lock released when a slot is free)."""
    sizes = leaves_for(sample_bytes)
    server = ravo._Server([[sizes[0]], [sizes[1]]], [1, 1], BATCH)
    arrays = [np.random.default_rng(0).integers(0, 255, s, dtype=np.uint8) for s in sizes]
    payload = arrays if items == "numpy" else [a.tobytes() for a in arrays]
    stop = threading.Event()

    def producer():
        while not stop.is_set():
            try:
                server.submit(payload)
            except RuntimeError:
                return

    ts = [threading.Thread(target=producer) for _ in range(threads)]
    for t in ts:
        t.start()
    server.sample()  # warm-up batch
    batches = 0
    checksum = 0
    t0 = time.perf_counter()
    while time.perf_counter() - t0 < seconds:
        arrays, _ = server.sample()
        checksum += int(arrays[0][0])  # touch the batch like a consumer would
        batches += 1
    elapsed = time.perf_counter() - t0
    stop.set()
    server.shutdown()
    while server.sample() is not None:
        pass
    for t in ts:
        t.join()
    return batches * BATCH / elapsed


def run_queue_baseline(sample_bytes, threads, seconds):
    """The homemade alternative: threads put bytes into queue.Queue, the
    consumer assembles NumPy batches."""
    sizes = leaves_for(sample_bytes)
    q = queue.Queue(maxsize=BATCH * 3)
    payload = [np.random.default_rng(0).integers(0, 255, s, dtype=np.uint8).tobytes() for s in sizes]
    stop = threading.Event()

    def producer():
        while not stop.is_set():
            try:
                q.put(payload, timeout=0.1)
            except queue.Full:
                pass

    ts = [threading.Thread(target=producer) for _ in range(threads)]
    for t in ts:
        t.start()
    out = [np.empty((BATCH, s), dtype=np.uint8) for s in sizes]
    batches = 0
    t0 = time.perf_counter()
    while time.perf_counter() - t0 < seconds:
        for i in range(BATCH):
            item = q.get()
            for leaf, buf in zip(out, item):
                leaf[i] = np.frombuffer(buf, dtype=np.uint8)
        batches += 1
    elapsed = time.perf_counter() - t0
    stop.set()
    for t in ts:
        t.join()
    return batches * BATCH / elapsed


def memcpy_bandwidth(nbytes=256 << 20, reps=10):
    src = np.ones(nbytes, dtype=np.uint8)
    dst = np.empty_like(src)
    np.copyto(dst, src)
    t0 = time.perf_counter()
    for _ in range(reps):
        np.copyto(dst, src)
    return nbytes * reps / (time.perf_counter() - t0)


def sample_call_cost(calls=20000):
    """Cost of one sample() when the next batch is already complete."""
    server = ravo._Server([[64], [16]], [1, 1], BATCH, num_buffers=2)
    payload = [bytes(64), bytes(16)]
    # Fill both batches, then alternate: give back + refill one batch untimed,
    # time the call that hands out the already complete next batch.
    for _ in range(2 * BATCH):
        server.submit(payload)
    server.sample()  # batch 0 out
    t_total = 0.0
    for _ in range(calls):
        t0 = time.perf_counter_ns()
        server.sample()  # gives back the previous batch, hands out the complete next one
        t_total += time.perf_counter_ns() - t0
        for _ in range(BATCH):
            server.submit(payload)  # refill the slot just given back
    server.shutdown()
    return t_total / calls / 1000.0


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--seconds", type=float, default=2.0)
    ap.add_argument("--json", help="write the figures to this file")
    args = ap.parse_args()

    mem_bw = memcpy_bandwidth()
    print(f"single-thread memcpy bandwidth: {mem_bw / 1e9:.2f} GB/s")
    rows = []
    for size in (64, 4096, 256 << 10):
        for threads in (1, 2):
            r = run_ravo(size, threads, args.seconds)
            b = run_queue_baseline(size, threads, args.seconds)
            row = dict(sample_bytes=size, threads=threads, ravo_samples_s=r, ravo_gb_s=r * size / 1e9,
                       baseline_samples_s=b, baseline_gb_s=b * size / 1e9, ratio=r / b,
                       memcpy_fraction=r * size / mem_bw)
            rows.append(row)
            print(f"{size:>7} B x{threads}: ravo {r:>12,.0f} samples/s {r * size / 1e9:6.2f} GB/s | "
                  f"queue.Queue+NumPy {b:>10,.0f} samples/s {b * size / 1e9:6.2f} GB/s | "
                  f"ratio {r / b:6.1f}x | {100 * r * size / mem_bw:5.1f}% of memcpy")
    cost = sample_call_cost()
    print(f"sample() with the batch already complete (2 leaves, batch {BATCH}): {cost:.2f} us per call")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(dict(memcpy_gb_s=mem_bw / 1e9, rows=rows, sample_call_us=cost), f, indent=1)


if __name__ == "__main__":
    main()
