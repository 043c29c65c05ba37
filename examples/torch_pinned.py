"""Feeding a PyTorch training loop from ravo.

Producer threads submit samples (float32 features and an int64 label); the consumer takes
each batch as zero-copy views of the server's ring and copies it to the training device.
With a CUDA device the ring is page-locked (pin_host_memory=True), so the copy is a true
asynchronous DMA straight out of the ring; without one the example runs on the CPU and
copies into CPU tensors.

    python examples/torch_pinned.py --seconds 5
"""

import argparse
import threading
import time
import warnings

import numpy as np
import torch

import ravo

# sample() hands out read-only arrays (the ring belongs to the server), and PyTorch warns
# when a tensor is made over memory it may not write. The tensors below are only ever read
# (copied to the device), so that one warning is silenced rather than paying for a copy
# into a writable buffer, which would defeat the zero-copy, pinned path.
warnings.filterwarnings("ignore", message="The given NumPy array is not writable", category=UserWarning)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=5.0)
    ap.add_argument("--batch-size", type=int, default=256)
    ap.add_argument("--features", type=int, default=1024, help="float32 features per sample")
    ap.add_argument("--producers", type=int, default=2)
    args = ap.parse_args()
    batch, features = args.batch_size, args.features

    use_cuda = torch.cuda.is_available()
    device = torch.device("cuda" if use_cuda else "cpu")
    if use_cuda:
        torch.cuda.init()  # pinning needs an initialised CUDA runtime, so it comes first
    else:
        torch.set_num_threads(1)  # leave the cores to the producers; the CPU copies are small
    server = ravo._Server([[features], []], [4, 8], batch, pin_host_memory=use_cuda)

    stop = threading.Event()

    def produce(seed):
        rng = np.random.default_rng(seed)
        x = rng.random(features, dtype=np.float32)
        y = np.array([seed], dtype=np.int64)
        while not stop.is_set():
            try:
                server.submit([x.view(np.uint8), y.view(np.uint8)])
            except RuntimeError:  # the server was shut down
                return

    producers = [threading.Thread(target=produce, args=(i,)) for i in range(args.producers)]
    for t in producers:
        t.start()

    # Device-side batch tensors, allocated once and refilled for every batch.
    x_dev = torch.empty((batch, features), dtype=torch.float32, device=device)
    y_dev = torch.empty(batch, dtype=torch.int64, device=device)
    copied = torch.cuda.Event() if use_cuda else None
    batches, info, pinned = 0, None, False
    start = time.perf_counter()
    while time.perf_counter() - start < args.seconds:
        arrays, info = server.sample()  # also gives the previous batch back to the producers
        x = torch.from_numpy(arrays[0]).view(torch.float32).view(batch, features)
        y = torch.from_numpy(arrays[1]).view(torch.int64)
        if batches == 0:
            pinned = x.is_pinned()  # what PyTorch sees: page-locked memory copies asynchronously
        x_dev.copy_(x, non_blocking=use_cuda)
        y_dev.copy_(y, non_blocking=use_cuda)
        if use_cuda:
            copied.record()
        # A stand-in for the training step; on the GPU it is queued behind the copies.
        loss = x_dev.mean() + y_dev.float().mean()
        # The ring memory is reused once the next sample() call gives this batch back, so
        # the copies out of it must be finished by then (the training step need not be).
        if use_cuda:
            copied.synchronize()
        batches += 1
    elapsed = time.perf_counter() - start

    stop.set()
    server.shutdown()
    while server.sample() is not None:  # drain what is left so blocked producers can finish
        pass
    for t in producers:
        t.join()

    samples = batches * batch
    sample_bytes = features * 4 + 8
    where = torch.cuda.get_device_name() if use_cuda else "CPU"
    print(f"{where}: {batches} batches of {batch} in {elapsed:.1f} s, ring pinned: {pinned}")
    print(f"{samples / elapsed:,.0f} samples/s, {samples * sample_bytes / elapsed / 1e9:.2f} GB/s to {device}")
    if batches:
        print(f"last loss: {loss.item():.4f}")
    if info is not None:
        print(f"last SampleInfo: store_size={info.store_size}, push_blocked_count={info.push_blocked_count}")


if __name__ == "__main__":
    main()
