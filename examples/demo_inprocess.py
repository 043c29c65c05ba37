"""In-process demo: several Python threads submit samples, the consumer
samples batches and prints throughput and the last SampleInfo."""

import argparse
import threading
import time

import numpy as np

import ravo


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--seconds", type=float, default=5.0)
    ap.add_argument("--batch-size", type=int, default=256)
    ap.add_argument("--obs", type=int, default=4096, help="bytes of the observation leaf")
    args = ap.parse_args()

    # Two leaves: an observation of float32 and an int64 action.
    obs_elems = args.obs // 4
    server = ravo._Server([[obs_elems], []], [4, 8], args.batch_size)
    sample_bytes = obs_elems * 4 + 8
    stop = threading.Event()

    def producer(seed):
        rng = np.random.default_rng(seed)
        obs = rng.random(obs_elems, dtype=np.float32).view(np.uint8)
        action = np.arange(1, dtype=np.int64).view(np.uint8)
        while not stop.is_set():
            try:
                server.submit([obs, action])
            except RuntimeError:  # shut down with the ring full
                return

    threads = [threading.Thread(target=producer, args=(i,)) for i in range(args.threads)]
    for t in threads:
        t.start()
    batches = 0
    info = None
    t0 = time.perf_counter()
    while time.perf_counter() - t0 < args.seconds:
        arrays, info = server.sample()
        obs = arrays[0].view(np.float32).reshape(args.batch_size, obs_elems)
        assert obs.shape[0] == args.batch_size
        batches += 1
    elapsed = time.perf_counter() - t0
    stop.set()
    server.shutdown()
    while server.sample() is not None:
        pass
    for t in threads:
        t.join()
    samples = batches * args.batch_size
    print(f"{args.threads} submitting threads, {sample_bytes} B samples, batch {args.batch_size}")
    print(f"{samples / elapsed:,.0f} samples/s  {samples * sample_bytes / elapsed / 1e9:.2f} GB/s  "
          f"({batches} batches in {elapsed:.1f} s)")
    if info is not None:
        fields = [k for k in dir(info) if not k.startswith("_") and not hasattr(getattr(info, k), "p50_ns")]
        print("last SampleInfo: " + ", ".join(f"{k}={getattr(info, k)}" for k in fields))


if __name__ == "__main__":
    main()
