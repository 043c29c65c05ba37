"""Host-to-GPU copy bandwidth of a batch view: pinned ring against pageable ring.

Fills one batch of a server built with pin_host_memory=True and one built
without, takes each batch with sample(), wraps the read-only view as a PyTorch
tensor without a copy, and times non-blocking copies of it to the GPU with
CUDA events. Two references are measured in the same run: a tensor that
PyTorch itself page-locked (pin_memory=True) and a plain NumPy array.

    python3 bench/pinned_copy.py [--batch-mib 64] [--repeats 20]

Needs PyTorch with a CUDA device; without one it says so and exits 0.
It also reports which CUDA runtime the server located (from /proc/self/maps)
and that dropping a pinned server gives its registration back.
"""

import argparse
import gc
import sys
import time
import warnings

import numpy as np

import ravo

# The batch views are read-only (the ring belongs to the server); they are only
# ever read here, so PyTorch's warning about non-writable arrays is noise.
warnings.filterwarnings("ignore", message="The given NumPy array is not writable", category=UserWarning)

SAMPLE_BYTES = 256 * 1024


def mapped_cudart():
    """The libcudart files mapped into this process (borrowed from /proc)."""
    seen = []
    with open("/proc/self/maps") as maps:
        for line in maps:
            parts = line.split(maxsplit=5)
            if len(parts) == 6 and "libcudart" in parts[5]:
                path = parts[5].strip()
                if path not in seen:
                    seen.append(path)
    return seen


def filled_batch_view(torch, pinned, samples):
    """A server whose first batch is full, and that batch as a uint8 tensor."""
    server = ravo._Server([[SAMPLE_BYTES]], [1], samples, num_buffers=2, pin_host_memory=pinned)
    payload = bytes(range(256)) * (SAMPLE_BYTES // 256)
    for _ in range(samples):
        server.submit([payload])
    arrays, _info = server.sample()
    return server, torch.from_numpy(arrays[0]).view(-1)


def copy_gbps(torch, host, repeats):
    """Best and median GB/s of non-blocking host-to-device copies of `host`."""
    dev = torch.empty(host.numel(), dtype=host.dtype, device="cuda")
    for _ in range(3):  # warm-up: first-touch and driver-side setup
        dev.copy_(host, non_blocking=True)
    torch.cuda.synchronize()
    rates = []
    for _ in range(repeats):
        begin, end = torch.cuda.Event(enable_timing=True), torch.cuda.Event(enable_timing=True)
        begin.record()
        dev.copy_(host, non_blocking=True)
        end.record()
        end.synchronize()
        rates.append(host.numel() * host.element_size() / (begin.elapsed_time(end) * 1e-3) / 1e9)
    if not torch.equal(dev[: 1 << 20].cpu(), host[: 1 << 20]):
        raise SystemExit("copied bytes differ from the batch")
    rates.sort()
    return rates[-1], rates[len(rates) // 2]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--batch-mib", type=int, default=64, help="batch size in MiB (256 KiB samples)")
    ap.add_argument("--repeats", type=int, default=20)
    args = ap.parse_args()
    samples = max(1, args.batch_mib * (1 << 20) // SAMPLE_BYTES)

    try:
        import torch
    except ImportError:
        print("PyTorch is not installed: nothing to measure")
        return 0
    if not torch.cuda.is_available():
        print("no CUDA device: nothing to measure")
        return 0
    torch.cuda.init()
    print(f"device: {torch.cuda.get_device_name()}, torch {torch.__version__}, ravo batch {samples} x 256 KiB")

    started = time.perf_counter()
    pinned_server, pinned_view = filled_batch_view(torch, True, samples)
    print(f"pinned server built and filled in {time.perf_counter() - started:.2f} s; runtime: {mapped_cudart()}")
    plain_server, plain_view = filled_batch_view(torch, False, samples)

    rows = [
        ("ravo ring, pin_host_memory=True", pinned_view),
        ("ravo ring, pin_host_memory=False", plain_view),
        ("torch pin_memory=True (reference)", torch.empty(pinned_view.numel(), dtype=torch.uint8, pin_memory=True)),
        ("NumPy array (pageable)", torch.from_numpy(np.ones(pinned_view.numel(), dtype=np.uint8))),
    ]
    rows[2][1].fill_(7)
    figures = {}
    print(f"{'host memory':36} {'is_pinned':>9} {'best GB/s':>10} {'median GB/s':>12}")
    for name, host in rows:
        best, median = copy_gbps(torch, host, args.repeats)
        figures[name] = median
        print(f"{name:36} {str(host.is_pinned()):>9} {best:10.1f} {median:12.1f}")
    pinned, plain = figures[rows[0][0]], figures[rows[1][0]]
    print(f"pinned / pageable ring (median): {pinned / plain:.2f}x; "
          f"pinned ring / torch pinned: {pinned / figures[rows[2][0]]:.2f}")

    # Dropping the last view and the server gives the registration back; a
    # failure there would be a line on standard error.
    del rows, pinned_view
    pinned_server.shutdown()
    del pinned_server
    gc.collect()
    probe = torch.empty(16, dtype=torch.uint8)
    print(f"pinned server dropped; a fresh pageable tensor reads is_pinned={probe.is_pinned()}")
    plain_server.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
