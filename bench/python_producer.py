"""A Python producer process streaming to a ravo server, beside the same
process streaming with ZeroMQ: what an actor written in Python gets.

Each row is one producer (this process, one thread, one connection) sending N
samples of one size as fast as it can, and a consumer in a child process:

- ravo send: `ravo_producer.Producer.send`, one sample per call, window 64,
  into a ravo server (`TcpTransport`) whose main thread calls sample() in a
  loop. Timed from the first send to the last acknowledgement (`flush`).
- ravo send_many: the same with `send_many`, 64 samples per call.
- ravo send_raw_many: the same with `send_raw_many`, 64 samples packed in
  one bytes object per call (what a NumPy structured array of a step's
  samples gives).
- ZeroMQ: a PUSH socket (high-water mark 64), one `send` per sample, into a
  PULL socket whose process receives each message into the next row of a
  preallocated NumPy batch. Timed from the first send until the consumer
  has received the last sample. ZeroMQ acknowledges nothing.

With --step, each sample is an actor's step instead: an observation of SIZE
bytes (uint8) and three scalar leaves (int64 action, float32 reward, uint8
done), and the rows are:

- ravo send: one `send([obs, action, reward, done])` per sample.
- ravo send_many: `send_many(zip(obs, actions, rewards, dones))` over 64
  steps given leaf by leaf, as a vectorised environment returns them.
- ravo send_stacked: `send_stacked([obs, actions, rewards, dones])` for the
  same 64 steps.
- ZeroMQ: one `send_multipart([obs, action, reward, done])` per sample; the
  consumer receives each frame into its place in a preallocated batch row.

Usage: python3 bench/python_producer.py [--build build/bench] [--sizes 64 4096 65536] [--step]
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

from tcp_ingest import DEFAULT_SETTINGS, _child_env, batch_size_for, queue_size_for  # noqa: E402

WINDOW = 64
# The step layout's element sizes: observation bytes, int64 action, float32
# reward, uint8 done.
STEP_DTYPE_SIZES = [1, 8, 4, 1]


def count_for(size):
    """Samples per row: about 0.5 to 2 s each on a small machine."""
    return max(5000, min(200_000, (1 << 30) // max(size, 1) // 4))


def serve_ravo(args):
    """Child: a ravo server; prints its port, samples until stdin closes."""
    sys.path.insert(0, args.build)
    import ravo

    s = DEFAULT_SETTINGS
    shapes, dtype_sizes = ([[args.size], [], [], []], STEP_DTYPE_SIZES) if args.step else ([[args.size]], [1])
    server = ravo._Server(shapes, dtype_sizes, batch_size_for(args.size),
                          transport=ravo.TcpTransport(0, num_threads=s["num_threads"]),
                          num_buffers=s["num_buffers"], num_drainers=s["num_drainers"],
                          producer_queue_size=queue_size_for(s, args.size))
    server.start()
    print(server.port, flush=True)
    threading.Thread(target=lambda: (sys.stdin.read(), server.shutdown()), daemon=True).start()
    while server.sample() is not None:
        pass


def serve_zmq(args):
    """Child: a PULL socket; prints its port, exits after `count` samples."""
    import numpy as np
    import zmq

    ctx = zmq.Context()
    sock = ctx.socket(zmq.PULL)
    sock.setsockopt(zmq.RCVHWM, WINDOW)
    port = sock.bind_to_random_port("tcp://127.0.0.1")
    print(port, flush=True)
    batch = batch_size_for(args.size)
    if args.step:
        # One frame per leaf, each received into its place in the batch row.
        sizes = [args.size] + STEP_DTYPE_SIZES[1:]
        rows = np.empty((batch, sum(sizes)), dtype=np.uint8)
        views = [[memoryview(row)[off : off + n] for off, n in zip(np.cumsum([0] + sizes[:-1]), sizes)]
                 for row in rows]
        for i in range(args.count):
            for view in views[i % batch]:
                sock.recv_into(view)
    else:
        rows = np.empty((batch, args.size), dtype=np.uint8)
        for i in range(args.count):
            sock.recv_into(rows[i % batch])
    print("done", flush=True)


def _child(mode, size, count, build, step=False):
    cmd = [sys.executable, os.path.abspath(__file__), mode, "--size", str(size), "--count", str(count),
           "--build", build] + (["--step"] if step else [])
    proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=_child_env())
    return proc, int(proc.stdout.readline())


def _time_ravo(build, size, count, step, send_all):
    """Seconds from the first `send_all(producer)` write into a fresh ravo
    server child until every sample is acknowledged."""
    import ravo_producer

    proc, port = _child("--serve-ravo", size, count, build, step=step)
    try:
        with ravo_producer.Producer("127.0.0.1", port, window=WINDOW) as p:
            t0 = time.perf_counter()
            send_all(p)
            p.flush()
            t1 = time.perf_counter()
    finally:
        proc.stdin.close()
        proc.wait(timeout=60)
    return t1 - t0


def run_ravo(build, size, count, mode):
    """mode: "send", "many" (send_many) or "raw_many" (send_raw_many)."""
    payload = os.urandom(size)
    full, rest = divmod(count, WINDOW)

    def send_all(p):
        if mode == "raw_many":
            packed = payload * WINDOW
            for _ in range(full):
                p.send_raw_many(packed)
            p.send_raw_many(packed[: rest * size])
        elif mode == "many":
            chunk = [[payload]] * WINDOW
            for _ in range(full):
                p.send_many(chunk)
            p.send_many(chunk[:rest])
        else:
            sample = [payload]
            for _ in range(count):
                p.send(sample)

    return count / _time_ravo(build, size, count, False, send_all)


def run_zmq(build, size, count, step=False):
    """ZeroMQ's rate: one `send` per sample, or with `step` one four-frame
    `send_multipart` per actor's step (count rounded down to whole windows)."""
    import zmq

    if step:
        count -= count % WINDOW
    proc, port = _child("--serve-zmq", size, count, build, step=step)
    try:
        ctx = zmq.Context()
        sock = ctx.socket(zmq.PUSH)
        sock.setsockopt(zmq.SNDHWM, WINDOW)
        sock.connect(f"tcp://127.0.0.1:{port}")
        copy = size < 65536
        if step:
            leaves = step_leaves(size)
            sample = [leaves[0][0], leaves[1][0], leaves[2][0], leaves[3][0]]
            send = lambda: sock.send_multipart(sample, copy=copy)  # noqa: E731
        else:
            payload = os.urandom(size)
            send = lambda: sock.send(payload, copy=copy)  # noqa: E731
        t0 = time.perf_counter()
        for _ in range(count):
            send()
        if proc.stdout.readline().strip() != "done":
            raise RuntimeError("the ZeroMQ consumer did not finish")
        t1 = time.perf_counter()
        sock.close(linger=0)
        ctx.term()
    finally:
        proc.wait(timeout=60)
    return count / (t1 - t0)


def step_leaves(size):
    """WINDOW steps given leaf by leaf: observations, actions, rewards, dones."""
    import numpy as np

    rng = np.random.default_rng(size)
    return [rng.integers(0, 256, size=(WINDOW, size), dtype=np.uint8),
            np.arange(WINDOW, dtype=np.int64), rng.random(WINDOW, dtype=np.float32),
            (np.arange(WINDOW) % 2).astype(np.uint8)]


def run_ravo_step(build, size, count, mode):
    """mode: "send" (one sample per call), "many" (send_many over zip of the
    leaves) or "stacked" (send_stacked); count is rounded down to whole
    windows."""
    leaves = step_leaves(size)
    rounds = count // WINDOW

    def send_all(p):
        if mode == "send":
            sample = [leaves[0][0], leaves[1][0], leaves[2][0], leaves[3][0]]
            for _ in range(rounds * WINDOW):
                p.send(sample)
        elif mode == "many":
            for _ in range(rounds):
                p.send_many(zip(*leaves))
        else:
            for _ in range(rounds):
                p.send_stacked(leaves)

    return rounds * WINDOW / _time_ravo(build, size, count, True, send_all)


def run_step(build, sizes, repeats=2):
    """Best of `repeats` per cell, samples being an actor's step."""
    rows = []
    for size in sizes:
        count = count_for(size + sum(STEP_DTYPE_SIZES[1:]))
        send = max(run_ravo_step(build, size, count, "send") for _ in range(repeats))
        many = max(run_ravo_step(build, size, count, "many") for _ in range(repeats))
        stacked = max(run_ravo_step(build, size, count, "stacked") for _ in range(repeats))
        zmq_rate = max(run_zmq(build, size, count, step=True) for _ in range(repeats))
        rows.append(dict(size=size, count=count, ravo_send=send, ravo_send_many=many,
                         ravo_send_stacked=stacked, zmq=zmq_rate))
    return rows


def run(build, sizes, repeats=2):
    """Best of `repeats` per cell; returns a list of row dicts."""
    rows = []
    for size in sizes:
        count = count_for(size)
        send = max(run_ravo(build, size, count, "send") for _ in range(repeats))
        many = max(run_ravo(build, size, count, "many") for _ in range(repeats))
        raw_many = max(run_ravo(build, size, count, "raw_many") for _ in range(repeats))
        zmq_rate = max(run_zmq(build, size, count) for _ in range(repeats))
        rows.append(dict(size=size, count=count, ravo_send=send, ravo_send_many=many,
                         ravo_send_raw_many=raw_many, zmq=zmq_rate))
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(os.path.dirname(HERE), "build", "bench"))
    ap.add_argument("--sizes", type=int, nargs="+", default=[64, 4096, 65536])
    ap.add_argument("--repeats", type=int, default=2)
    ap.add_argument("--step", action="store_true",
                    help="samples are an actor's step: an observation of SIZE bytes and three scalars")
    ap.add_argument("--json", help="also write the rows here")
    ap.add_argument("--size", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--count", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--serve-ravo", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--serve-zmq", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    args.build = os.path.abspath(args.build)
    if args.serve_ravo:
        serve_ravo(args)
        return
    if args.serve_zmq:
        serve_zmq(args)
        return
    sys.path.insert(0, os.path.join(os.path.dirname(HERE), "python"))  # ravo_producer from the tree
    if args.step:
        rows = run_step(args.build, args.sizes, args.repeats)
        # (row key, column name) for each ravo call, beside ZeroMQ
        calls = [("ravo_send", "send()"), ("ravo_send_many", "send_many(zip)"),
                 ("ravo_send_stacked", "send_stacked()")]
        first, zmq_name = "observation", "send_multipart()"
    else:
        rows = run(args.build, args.sizes, args.repeats)
        calls = [("ravo_send", "send()"), ("ravo_send_many", "send_many()"),
                 ("ravo_send_raw_many", "send_raw_many()")]
        first, zmq_name = "size", "send()"
    print(f"| {first} | " + " | ".join(f"ravo {name} samples/s" for _, name in calls)
          + f" | ZeroMQ {zmq_name} samples/s | "
          + " | ".join(f"{name.split('(')[0]} / ZeroMQ" for _, name in calls) + " |")
    print("|---" * (2 * len(calls) + 2) + "|")
    for r in rows:
        print(f"| {r['size']} B | " + " | ".join(f"{r[key]:,.0f}" for key, _ in calls)
              + f" | {r['zmq']:,.0f} | " + " | ".join(f"{r[key] / r['zmq']:.2f}" for key, _ in calls) + " |")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)

if __name__ == "__main__":
    main()
