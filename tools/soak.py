#!/usr/bin/env python3
"""Soak run: the long form of the fault-injection suite (not part of CI).

One server in this process (with the checking consumer of
tests/python/support/fault_harness.py) and 64 producers in worker processes,
each producer running connection after connection with a random fault:
clean, disconnect between samples, mid-sample, mid-handshake, reset, never
reading acknowledgements, reading them only at the end, silent, random
bytes of random lengths. One worker also storms the listener in bursts, and
the consumer stalls now and then. The run stops once the target number of
producer samples has been delivered, settles (filler samples complete the
last batches), shuts the server down and checks:

* every acknowledged sample delivered exactly once, intact, in order (lost
  must be 0, damaged must be 0);
* no leak: the C heap in use (glibc's mallinfo2: what the server and the
  interpreter's larger objects hold) grows by no more than 8 MiB over the
  second half and 16 MiB over the run; resident memory, which also keeps the
  allocator's high-water mark of bursts (a storm during a consumer stall),
  grows by no more than 64 MiB;
* threads and descriptors back to their values from before the server;
* standard error holding only the transport's own lines.

Usage (the `ravo` module importable, e.g. PYTHONPATH=<build dir> or installed):

    python3 tools/soak.py [--samples 10000000] [--producers 64] [--workers 4]
                          [--seed 1] [--max-seconds 1800]

Prints a report and exits 0 when every check holds, 1 otherwise. Every wait
is bounded by --max-seconds.
"""

from __future__ import annotations

import argparse
import ctypes
import multiprocessing as mp
import os
import random
import sys
import tempfile
import threading
import time
from collections import Counter

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "python", "support"))

import fault_harness as fh  # noqa: E402

# Weights of the faults a soak producer picks from, per connection.
SOAK_FAULTS = {
    "clean": 30,
    "between": 15,
    "mid_sample": 12,
    "reset": 12,
    "late_acks": 6,
    "no_acks": 4,
    "mid_handshake": 8,
    "silent": 4,
    "garbage": 9,
}
PIDS_PER_WORKER = fh.MAX_PIDS // 16


def worker_main(index: int, port: int, producers: int, seed: int, stop, out, storm: bool) -> None:
    """A producer process: ``producers`` threads running episodes until
    ``stop``; then sends its connection records (and storm counts) on ``out``."""
    pids = fh.PidSource(index * PIDS_PER_WORKER + 1, (index + 1) * PIDS_PER_WORKER - 1)
    cfg = fh.EpisodeConfig(max_samples=8000, window=512, silent_seconds=2.0, no_ack_samples=4000, max_chunk=128)
    fleet = fh.ProducerFleet(port, producers, list(SOAK_FAULTS), seed * 100 + index, pids, cfg=cfg,
                             weights=list(SOAK_FAULTS.values()))
    storms = Counter()
    rng = random.Random(seed * 7 + index)
    while not stop.wait(rng.uniform(3, 8) if storm else 1.0):
        if storm:
            s = fh.Storm(port, rng.getrandbits(32))
            stop.wait(rng.uniform(0.5, 2.0))
            storms["storm bursts"] += 1
            storms["storm connects"] += s.finish()
    records = fleet.finish(timeout=120)
    out.put((index, [(r.pid, r.fault, r.role, r.bytes_sent, r.acked, r.error) for r in records], dict(storms)))


def mib(n: int) -> str:
    return f"{n / 2**20:.1f} MiB"


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


def heap_in_use_bytes() -> int:
    """Bytes the C heap has handed out and not taken back, over every arena
    (small chunks and mmap'd blocks). 0 where glibc lacks mallinfo2."""
    try:
        fn = ctypes.CDLL(None).mallinfo2
    except AttributeError:
        return 0
    fn.restype = _MallInfo2
    info = fn()
    return info.uordblks + info.hblkhd


def memory() -> tuple:
    """(resident bytes, C heap bytes in use) now."""
    return fh.rss_bytes(), heap_in_use_bytes()


def checkpoint_memory(seconds: float = 3.0) -> tuple:
    """The least (resident, in use) seen over `seconds`: a storm's thousands
    of connections alive at the checkpoint hold tens of MiB for a moment,
    which a single reading would count as growth; a leak never gives its
    memory back, so the least reading still shows it."""
    readings = [memory()]
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        time.sleep(0.1)
        readings.append(memory())
    return min(r[0] for r in readings), min(r[1] for r in readings)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--samples", type=int, default=10_000_000, help="producer samples to deliver")
    ap.add_argument("--producers", type=int, default=64)
    ap.add_argument("--workers", type=int, default=4, help="producer processes")
    ap.add_argument("--batch-size", type=int, default=256)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--max-seconds", type=float, default=1800.0, help="bound on the whole run")
    args = ap.parse_args()
    assert 1 <= args.workers <= 16 and args.producers >= args.workers

    import ravo  # noqa: F401 - loaded before the baseline
    from multiprocessing import resource_tracker

    resource_tracker.ensure_running()  # its pipe stays open for good: open it before the baseline

    # The server's standard error goes to a file that is checked at the end.
    err_file = tempfile.TemporaryFile()
    saved_err = os.dup(2)
    os.dup2(err_file.fileno(), 2)
    t_start = time.monotonic()
    deadline = t_start + args.max_seconds
    ok = True
    try:
        baseline = fh.Baseline()
        server = fh.server_args(args.batch_size, num_threads=4, num_drainers=4, num_buffers=4)
        server.start()
        consumer = fh.CheckingConsumer(server, args.batch_size)
        ctx = mp.get_context("spawn")
        stop = ctx.Event()
        out = ctx.Queue()
        per = [args.producers // args.workers + (i < args.producers % args.workers) for i in range(args.workers)]
        workers = [ctx.Process(target=worker_main, args=(i, server.port, per[i], args.seed, stop, out, i == 0),
                               daemon=True) for i in range(args.workers)]
        for w in workers:
            w.start()

        mem = {"before load": memory()}
        stalls = 0
        rng = random.Random(args.seed)
        next_stall = time.monotonic() + rng.uniform(5, 15)
        last_print = 0.0
        while True:
            t = consumer.tallies()
            if consumer.error is not None:
                raise consumer.error
            delivered = t["data"]
            # "start" after a warm-up: buffer pools, connection slots and the
            # allocator's arenas reach their working size first.
            if "start" not in mem and delivered >= args.samples // 10:
                mem["start"] = checkpoint_memory()
            if "middle" not in mem and delivered >= args.samples // 2:
                mem["middle"] = checkpoint_memory()
            if delivered >= args.samples:
                mem["end"] = checkpoint_memory()
                break
            now = time.monotonic()
            if now > deadline:
                raise AssertionError(f"only {delivered} of {args.samples} samples in {args.max_seconds} s")
            if now >= next_stall:
                consumer.pause(rng.uniform(0.5, 3.0))
                stalls += 1
                next_stall = now + rng.uniform(5, 15)
            if now - last_print >= 10:
                last_print = now
                resident, in_use = memory()
                print(f"[{now - t_start:6.0f} s] delivered {delivered:,}, rss {mib(resident)}, heap in use {mib(in_use)}",
                      file=sys.__stdout__, flush=True)
            time.sleep(0.2)

        stop.set()
        t_stop = time.monotonic()
        records, storms = [], Counter()
        for _ in workers:
            _, recs, st = out.get(timeout=max(1.0, deadline - time.monotonic()))
            records.extend(fh.ConnRecord(pid, fault, role, sent, acked, error)
                           for pid, fault, role, sent, acked, error in recs)
            storms.update(st)
        for w in workers:
            w.join(max(1.0, deadline - time.monotonic()))
            assert w.exitcode == 0, f"worker exit code {w.exitcode}"
            w.close()
        # The workers' pipes are not the server's: close them before the
        # descriptor check.
        out.close()
        out.join_thread()
        del stop, out, workers
        t_joined = time.monotonic()
        settled = fh.settle(server, consumer, args.batch_size, timeout=120)
        print(f"stopping took {t_joined - t_stop:.1f} s, settling {time.monotonic() - t_joined:.1f} s", flush=True)
        server.shutdown()
        consumer.join()
        # What each producer acknowledged but never got delivered.
        lost = sum(max(0, r.acked - consumer.delivered(r.pid)) for r in records if r.role == "data")
        check_error = None
        try:
            fh.check_records(records, consumer, lossy=False)
        except AssertionError as e:
            check_error = str(e)
            ok = False
        summary = dict(delivered=consumer.data, garbage=consumer.garbage, fillers=consumer.fillers,
                       damaged=consumer.fault_count, batches=consumer.batches,
                       inserted=settled["inserted"], push_blocked=settled["push_blocked"])
        del server, consumer
        try:
            baseline.assert_restored(timeout=60)
            restored = "yes"
        except AssertionError as e:
            restored = f"NO: {e}"
            ok = False
        elapsed = time.monotonic() - t_start
    finally:
        os.dup2(saved_err, 2)
        os.close(saved_err)
    err_file.seek(0)
    err_text = err_file.read().decode("utf-8", "replace")
    try:
        lines = fh.check_stderr(err_text)
        stderr_verdict = "only transport lines: " + ", ".join(f"{k} {v}" for k, v in sorted(lines.items()))
    except AssertionError as e:
        stderr_verdict = f"NO: {e}"
        ok = False

    faults = Counter(r.fault for r in records)
    faults.update(storms)
    faults["consumer stalls"] = stalls
    errors = Counter(r.fault for r in records if r.error is not None)
    # A leak grows the heap in use with samples and connections. Resident
    # memory alone cannot tell: the allocator keeps the pages of a burst (a
    # storm during a stall) and its free lists fragment, so the heap it
    # spans grows to a ceiling of its own while what is in use stays flat.
    grow = mem["end"][0] - mem["start"][0]
    in_use_grow = mem["end"][1] - mem["start"][1]
    in_use_grow_late = mem["end"][1] - mem["middle"][1]
    # Each checkpoint is the least reading over a few seconds, so a storm's
    # connections alive at that moment do not count; a leak of one
    # connection's state, or of a few bytes per sample, exceeds the bounds
    # many times over.
    flat = in_use_grow_late <= 8 * 2**20 and in_use_grow <= 16 * 2**20 and grow <= 64 * 2**20
    ok = ok and lost == 0 and summary["damaged"] == 0 and flat and not errors
    print("== ravo soak run ==")
    print(f"producers {args.producers} in {args.workers} processes, seed {args.seed}, "
          f"batch {args.batch_size}, sample {fh.SAMPLE_SIZE} B, {elapsed:.0f} s")
    print(f"samples delivered: {summary['delivered']:,} ({summary['delivered'] / elapsed:,.0f}/s), "
          f"garbage samples {summary['garbage']:,}, fillers {summary['fillers']:,}")
    print(f"samples lost: {lost}")
    print(f"samples damaged or misordered: {summary['damaged']}")
    print(f"inserted by the drainers: {summary['inserted']:,}; push_blocked_count {summary['push_blocked']:,}")
    for i, what in enumerate(("resident memory", "C heap in use")):
        print(f"{what}: before load {mib(mem['before load'][i])}; start (10%) {mib(mem['start'][i])}, "
              f"middle {mib(mem['middle'][i])}, end {mib(mem['end'][i])} "
              f"({(mem['end'][i] - mem['start'][i]) / 2**20:+.1f} MiB from start, "
              f"{(mem['end'][i] - mem['middle'][i]) / 2**20:+.1f} MiB over the second half)")
    print(f"memory: {'no leak' if flat else 'GROWING'}")
    print(f"connections: {len(records):,}; unexpected producer errors: {dict(errors) or 0}")
    print("faults injected: " + ", ".join(f"{k} {v:,}" for k, v in sorted(faults.items())))
    print(f"threads and descriptors back to baseline: {restored}")
    print(f"standard error: {stderr_verdict}")
    if check_error:
        print(f"invariant check: {check_error}")
    # The failed checks on the last line too, so that its tail says why.
    failed = [name for name, bad in (("lost", lost != 0), ("damaged", summary["damaged"] != 0),
                                     ("memory", not flat), ("producer errors", bool(errors)),
                                     ("baseline", restored != "yes"),
                                     ("standard error", stderr_verdict.startswith("NO")),
                                     ("invariant check", check_error is not None)) if bad]
    print("RESULT: " + ("PASS" if ok else "FAIL: " + ", ".join(failed)))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
