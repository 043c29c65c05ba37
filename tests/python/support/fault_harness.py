"""Fault-injection harness: self-checking samples, misbehaving producers, a
checking consumer and the invariants every fault run must keep.

Used by tests/python/test_faults.py (short runs, in the test process) and by
tools/soak.py (long runs, producers in worker processes). It also runs as a
script: ``python fault_harness.py serve ...`` starts a server in a child
process with a lowered descriptor limit (see `serve_main`).

Samples. Every server built here has two leaves, (2,) x 8 bytes and (6,) x 8
bytes: 64 bytes, eight little-endian u64 words per sample.

* word 0: the producer id (low 32 bits) and the kind (bits 32..39): 1 for a
  producer's sample, 2 for a filler given to ``submit``; bytes 5..7 are 0;
* word 1: the sequence number on that producer's connection (0, 1, 2, ...);
* words 2..6: payload derived from words 0 and 1;
* word 7: a checksum over words 0..6.

The consumer recomputes words 2..7 from words 0 and 1, so a torn, shifted,
stale or overwritten sample is caught, and it checks that each producer's
samples arrive as 0, 1, 2, ... with no gap and no repeat. Garbage producers
send bytes that are all >= 0x80: a delivered 64-byte slot of such bytes is
garbage, whatever its alignment, and can never be mistaken for a damaged
producer sample (whose word 0 always holds zero bytes), nor the reverse.

Connections. Each producer connection (an "episode") has a fresh id and a
`ConnRecord` that counts exactly the bytes it wrote and the acknowledgement
bytes it read. At the end of a run, for every producer id:
``acked <= delivered <= complete samples written``, where `delivered` is the
number of samples the consumer saw from it. Explicit ``shutdown()`` may drop
queued samples, so there only ``delivered <= complete`` holds.

Threads. A `ConnRecord` is written by the one thread that runs its episode
and read by others only after that thread is joined. `CheckingConsumer` runs
one daemon thread that is the server's only consumer; its tallies are guarded
by its lock. Every blocking call here is bounded (``WAIT``), so a hang fails
a run instead of freezing it.
"""

from __future__ import annotations

import json
import os
import random
import re
import resource
import select
import socket
import struct
import sys
import threading
import time
from collections import Counter
from dataclasses import dataclass, field
from typing import Callable, Dict, Iterable, List, Optional, Sequence

import numpy as np

HOST = "127.0.0.1"
WAIT = 30.0  # bound on every single wait

SHAPES = [[2], [6]]
DTYPE_SIZES = [8, 8]
WORDS = 8
SAMPLE_SIZE = 64
KIND_DATA = 1
KIND_FILLER = 2
FILLER_PID = 0xFFFFF
MAX_PIDS = 1 << 20  # producer ids are below this

# The handshake every connection must receive for this layout.
HANDSHAKE = (b"RAVO" + struct.pack("<BI", 1, 2) + struct.pack("<III", 8, 1, 2) + struct.pack("<III", 8, 1, 6))

# The only standard-error lines a server may write.
_ALLOWED_LINES = {
    "connection": re.compile(r"TCP connection error from \d{1,3}(\.\d{1,3}){3}:\d{1,5}: \S.*"),
    "accept": re.compile(r"TCP accept error: \S.*"),
    "server": re.compile(r"TCP server error: \S.*"),
}

_U = np.uint64
_K1 = _U(0x9E3779B97F4A7C15)
_M1 = _U(0xBF58476D1CE4E5B9)
_M2 = _U(0x94D049BB133111EB)
_S30, _S27, _S31 = _U(30), _U(27), _U(31)
# i * 0xD1B54A32D192ED03 for the payload words, wrapped to 64 bits.
_STEP = [_U((i * 0xD1B54A32D192ED03) & 0xFFFFFFFFFFFFFFFF) for i in range(WORDS)]


def _mix(x: np.ndarray) -> np.ndarray:
    """splitmix64's finaliser over a u64 array (wrapping arithmetic)."""
    x = x ^ (x >> _S30)
    x = x * _M1
    x = x ^ (x >> _S27)
    x = x * _M2
    return x ^ (x >> _S31)


def words_for(w0: np.ndarray, seq: np.ndarray) -> np.ndarray:
    """The full (n, 8) u64 sample words for the given words 0 and 1."""
    n = len(w0)
    out = np.empty((n, WORDS), dtype=np.uint64)
    out[:, 0] = w0
    out[:, 1] = seq
    base = _mix((w0 * _K1) ^ seq)
    for i in range(2, 7):
        out[:, i] = _mix(base + _STEP[i])
    h = np.zeros(n, dtype=np.uint64)
    for i in range(7):
        h = _mix(h ^ out[:, i])
    out[:, 7] = h
    return out


def encode(pid: int, first_seq: int, count: int, kind: int = KIND_DATA) -> bytes:
    """``count`` consecutive samples of producer ``pid`` as one byte string."""
    w0 = np.full(count, pid | (kind << 32), dtype=np.uint64)
    seq = np.arange(first_seq, first_seq + count, dtype=np.uint64)
    return words_for(w0, seq).tobytes()


def garbage(rng: random.Random, n: int) -> bytes:
    """``n`` random bytes, every one >= 0x80."""
    return bytes(rng.getrandbits(7) | 0x80 for _ in range(n))


def server_args(batch_size: int, **kwargs):
    import ravo

    num_threads = kwargs.pop("num_threads", 2)
    kwargs.setdefault("num_drainers", 2)
    kwargs.setdefault("producer_queue_size", 8)
    return ravo._Server(SHAPES, DTYPE_SIZES, batch_size, ravo.TcpTransport(0, num_threads=num_threads), **kwargs)


def submit_fillers(server, count: int, first_seq: int = 0) -> None:
    blob = encode(FILLER_PID, first_seq, count, KIND_FILLER)
    for i in range(count):
        s = blob[i * SAMPLE_SIZE:(i + 1) * SAMPLE_SIZE]
        server.submit([s[:16], s[16:]])


# ---------------------------------------------------------------------------
# The consumer.


class CheckingConsumer:
    """The server's consumer: calls ``sample()`` until it returns None,
    checks every sample of every batch, and tallies producers' samples,
    fillers and garbage. ``pause(seconds)`` makes it stall before its next
    call; ``stop()`` makes it leave after the current call without waiting
    for shutdown (it then holds no reference to the server)."""

    def __init__(self, server, batch_size: int, keep_last: bool = False):
        self._server = server
        self._batch = batch_size
        self._keep_last = keep_last
        self._lock = threading.Lock()
        self.next_seq = np.zeros(MAX_PIDS, dtype=np.int64)  # delivered count per producer id
        self.data = 0
        self.fillers = 0
        self.garbage = 0
        self.batches = 0
        self.faults: List[str] = []
        self.fault_count = 0
        self.last_info = None
        self.info_history: List[tuple] = []  # (batches, push_blocked_count) now and then
        self.last_arrays = None  # the last batch's views (keep_last)
        self.last_copy = None  # and a copy of their bytes
        self.error: Optional[BaseException] = None
        self._pause_until = 0.0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="checking-consumer", daemon=True)
        self._thread.start()

    # -- control ------------------------------------------------------------

    def pause(self, seconds: float) -> None:
        with self._lock:
            self._pause_until = time.monotonic() + seconds

    def stop(self) -> None:
        self._stop.set()

    def join(self, timeout: float = WAIT) -> None:
        self._thread.join(timeout)
        assert not self._thread.is_alive(), "the consumer did not finish in time"
        if self.error is not None:
            raise self.error

    def alive(self) -> bool:
        return self._thread.is_alive()

    # -- reading ------------------------------------------------------------

    def delivered(self, pid: int) -> int:
        with self._lock:
            return int(self.next_seq[pid])

    def tallies(self) -> dict:
        with self._lock:
            info = self.last_info
            return {
                "data": self.data,
                "fillers": self.fillers,
                "garbage": self.garbage,
                "batches": self.batches,
                "faults": self.fault_count,
                "inserted": None if info is None else info.samples_inserted_total,
                "active": None if info is None else info.active_connections,
                "push_blocked": None if info is None else info.push_blocked_count,
            }

    # -- the loop -----------------------------------------------------------

    def _run(self) -> None:
        server = self._server
        self._server = None  # only this frame holds it, so stop() lets it go
        try:
            while not self._stop.is_set():
                with self._lock:
                    wait = self._pause_until - time.monotonic()
                if wait > 0:
                    time.sleep(min(wait, 0.05))
                    continue
                got = server.sample()
                if got is None:
                    return
                arrays, info = got
                self._check(arrays, info)
        except BaseException as e:  # noqa: BLE001 - handed to join()
            self.error = e
        finally:
            server = None

    def _fault(self, text: str) -> None:
        self.fault_count += 1
        if len(self.faults) < 20:
            self.faults.append(text)

    def _check(self, arrays, info) -> None:
        b = self._batch
        assert len(arrays) == 2, f"{len(arrays)} arrays"
        assert arrays[0].shape == (16 * b,) and arrays[1].shape == (48 * b,), (arrays[0].shape, arrays[1].shape)
        raw = np.concatenate([arrays[0].reshape(b, 16), arrays[1].reshape(b, 48)], axis=1)  # a copy
        if self._keep_last:
            self.last_arrays = arrays
            self.last_copy = raw.copy()
        words = raw.view("<u8")
        is_garbage = (raw >= 0x80).all(axis=1)
        w0 = words[:, 0]
        kind = w0 >> _U(32)
        pid = (w0 & _U(0xFFFFFFFF)).astype(np.int64)
        known = ((kind == KIND_DATA) | (kind == KIND_FILLER)) & (pid < MAX_PIDS)
        intact = known & (words == words_for(w0, words[:, 1])).all(axis=1)
        with self._lock:
            self.batches += 1
            self.last_info = info
            if self.batches % 64 == 1:
                self.info_history.append((self.batches, info.push_blocked_count))
            bad = ~(intact | is_garbage)
            if bad.any():
                for i in np.flatnonzero(bad)[:4]:
                    self._fault(f"damaged sample in batch {self.batches}, row {i}: {raw[i].tobytes().hex()}")
            self.garbage += int(is_garbage.sum())
            self.fillers += int((intact & (kind == KIND_FILLER)).sum())
            data = intact & (kind == KIND_DATA)
            n = int(data.sum())
            if n == 0:
                return
            self.data += n
            dp = pid[data]
            ds = words[data, 1].astype(np.int64)
            order = np.argsort(dp, kind="stable")
            sp, ss = dp[order], ds[order]
            idx = np.arange(n)
            change = np.empty(n, dtype=bool)
            change[0] = True
            change[1:] = sp[1:] != sp[:-1]
            start = np.maximum.accumulate(np.where(change, idx, 0))
            expect = self.next_seq[sp] + (idx - start)
            wrong = ss != expect
            if wrong.any():
                for i in np.flatnonzero(wrong)[:4]:
                    self._fault(f"producer {sp[i]}: got sequence {ss[i]}, expected {expect[i]} "
                                f"(duplicate, gap or reordering) in batch {self.batches}")
            pids, counts = np.unique(sp, return_counts=True)
            self.next_seq[pids] += counts


# ---------------------------------------------------------------------------
# Producer connections.


@dataclass
class ConnRecord:
    """What one connection did, counted exactly."""

    pid: int
    fault: str
    role: str = "data"  # "data" (well-formed samples), "garbage" or "none" (sends nothing)
    bytes_sent: int = 0
    acked: int = 0
    error: Optional[str] = None  # an unexpected failure (the server misbehaved or went away)
    handshake_ok: Optional[bool] = None

    @property
    def complete(self) -> int:
        return self.bytes_sent // SAMPLE_SIZE


class ServerGone(Exception):
    """The server closed or reset the connection."""


class Conn:
    """One producer socket that counts what it writes and reads."""

    def __init__(self, port: int, rec: ConnRecord, rcvbuf: Optional[int] = None, timeout: float = WAIT):
        self.rec = rec
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf is not None:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.settimeout(timeout)
        self.sock.connect((HOST, port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._hs_read = 0  # handshake bytes read so far

    def read_handshake(self, nbytes: int = len(HANDSHAKE)) -> None:
        got = b""
        while len(got) < nbytes:
            chunk = self._recv(nbytes - len(got))
            got += chunk
        self._check_handshake(got)

    def _check_handshake(self, got: bytes) -> None:
        ok = got == HANDSHAKE[self._hs_read:self._hs_read + len(got)]
        self._hs_read += len(got)
        self.rec.handshake_ok = ok and self.rec.handshake_ok is not False
        if not ok:
            raise AssertionError(f"wrong handshake {got.hex()}")

    # The socket errors are turned into ServerGone outside the except
    # blocks: raising inside one would tie the caught exception, its frame
    # and this connection into a reference cycle that only the cyclic
    # collector frees, at some later moment in some later test.

    def _recv(self, n: int, flags: int = 0) -> bytes:
        try:
            chunk = self.sock.recv(n, flags)
        except (ConnectionResetError, BrokenPipeError) as e:
            chunk = None
            gone = str(e)
        if chunk is None:
            raise ServerGone(gone)
        if not chunk:
            raise ServerGone("end of stream")
        return chunk

    def send(self, data: bytes) -> None:
        view = memoryview(data)
        gone = None
        try:
            while view:
                n = self.sock.send(view)
                self.rec.bytes_sent += n
                view = view[n:]
        except (ConnectionResetError, BrokenPipeError) as e:
            gone = str(e)
        if gone is not None:
            raise ServerGone(gone)

    def _take_acks(self, chunk: bytes) -> None:
        if self._hs_read < len(HANDSHAKE):  # a producer that never read it
            n = len(HANDSHAKE) - self._hs_read
            self._check_handshake(chunk[:n])
            chunk = chunk[n:]
        if chunk.count(1) != len(chunk):
            raise AssertionError(f"unexpected bytes from the server: {chunk[:32].hex()}")
        self.rec.acked += len(chunk)

    def poll_acks(self) -> None:
        """Takes the acknowledgements already received, without waiting."""
        # A socket with a time-out waits inside recv() even with
        # MSG_DONTWAIT, so ask first whether anything is there.
        while select.select([self.sock], [], [], 0)[0]:
            chunk = self._recv(65536)
            self._take_acks(chunk)
            if len(chunk) < 65536:
                return

    def wait_acks(self, total: int) -> None:
        while self.rec.acked < total:
            self._take_acks(self._recv(total - self.rec.acked))

    def acks_until_eof(self) -> None:
        """Ends the stream (FIN) and reads acknowledgements until the server
        closes: afterwards `acked` is exactly what the server queued."""
        self.sock.shutdown(socket.SHUT_WR)
        while True:
            try:
                self._take_acks(self._recv(65536))
            except ServerGone:
                return

    def stream(self, count: int, rng: random.Random, window: int = 256, stop: Optional[threading.Event] = None,
               max_chunk: int = 64) -> None:
        """Sends samples ``complete .. count-1`` in writes of 1 to ``max_chunk``
        samples, with at most ``window`` unacknowledged."""
        seq = self.rec.complete
        while seq < count and not (stop is not None and stop.is_set()):
            outstanding = seq - self.rec.acked
            if outstanding >= window:
                self._take_acks(self._recv(65536))
                continue
            k = min(rng.randint(1, max_chunk), window - outstanding, count - seq)
            self.send(encode(self.rec.pid, seq, k))
            seq += k
            self.poll_acks()

    def close(self) -> None:
        self.sock.close()

    def reset(self) -> None:
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()


class PidSource:
    """Hands out producer ids from a range; thread-safe."""

    def __init__(self, first: int = 1, last: int = MAX_PIDS - 1):
        self._next = first
        self._last = last
        self._lock = threading.Lock()

    def take(self) -> int:
        with self._lock:
            pid = self._next
            assert pid <= self._last, "producer ids exhausted"
            self._next += 1
            return pid


# The faults an episode can inject, each a function (port, rec, rng, stop, cfg).
# Every episode ends by closing its socket.

DATA_FAULTS = ("clean", "between", "mid_sample", "reset", "no_acks", "late_acks")
OTHER_FAULTS = ("mid_handshake", "silent", "garbage")
ALL_FAULTS = DATA_FAULTS + OTHER_FAULTS


@dataclass
class EpisodeConfig:
    max_samples: int = 400  # samples per episode: 1 .. max_samples
    window: int = 256
    silent_seconds: float = 0.5
    no_ack_samples: int = 3000  # samples sent by a producer that does not read acks
    max_chunk: int = 64  # most samples in one write


def _ep_clean(port, rec, rng, stop, cfg):
    c = Conn(port, rec)
    try:
        c.read_handshake()
        n = rng.randint(1, cfg.max_samples)
        c.stream(n, rng, cfg.window, stop, cfg.max_chunk)
        c.wait_acks(rec.complete)
    finally:
        c.close()


def _ep_between(port, rec, rng, stop, cfg):
    c = Conn(port, rec)
    try:
        c.read_handshake()
        c.stream(rng.randint(1, cfg.max_samples), rng, cfg.window, stop, cfg.max_chunk)
        if rng.random() < 0.5:
            c.wait_acks(rng.randint(rec.acked, rec.complete))
        c.poll_acks()
    finally:
        c.close()  # unread acknowledgements make this a reset: allowed


def _ep_mid_sample(port, rec, rng, stop, cfg):
    c = Conn(port, rec)
    try:
        c.read_handshake()
        c.stream(rng.randint(0, cfg.max_samples), rng, cfg.window, stop, cfg.max_chunk)
        part = encode(rec.pid, rec.complete, 1)[: rng.randint(1, SAMPLE_SIZE - 1)]
        c.send(part)
        c.poll_acks()
    finally:
        c.reset() if rng.random() < 0.3 else c.close()


def _ep_reset(port, rec, rng, stop, cfg):
    c = Conn(port, rec)
    try:
        c.read_handshake()
        c.stream(rng.randint(1, cfg.max_samples), rng, cfg.window, stop, cfg.max_chunk)
        c.poll_acks()
    finally:
        c.reset()


def _ep_no_acks(port, rec, rng, stop, cfg):
    """Streams without ever reading an acknowledgement, then leaves with a
    reset (the unread acknowledgements are lost to the count: acked stays 0)."""
    c = Conn(port, rec, rcvbuf=4096)
    try:
        c.read_handshake()
        total = rng.randint(cfg.no_ack_samples // 2, cfg.no_ack_samples)
        seq = 0
        while seq < total and not stop.is_set():
            k = min(256, total - seq)
            c.send(encode(rec.pid, seq, k))
            seq += k
        stop.wait(rng.uniform(0.05, 0.3))
    finally:
        c.reset()


def _ep_late_acks(port, rec, rng, stop, cfg):
    """Sends everything before reading a single acknowledgement, then ends the
    stream and counts every acknowledgement until the server closes."""
    c = Conn(port, rec, rcvbuf=4096)
    try:
        c.read_handshake()
        total = rng.randint(1, cfg.no_ack_samples)
        seq = 0
        while seq < total and not stop.is_set():
            k = min(256, total - seq)
            c.send(encode(rec.pid, seq, k))
            seq += k
        stop.wait(rng.uniform(0.0, 0.2))
        c.acks_until_eof()
    finally:
        c.close()


def _ep_mid_handshake(port, rec, rng, stop, cfg):
    rec.role = "none"
    c = Conn(port, rec)
    try:
        n = rng.randint(0, len(HANDSHAKE) - 1)
        if n:
            c.read_handshake(n)
    finally:
        c.reset() if rng.random() < 0.5 else c.close()


def _ep_silent(port, rec, rng, stop, cfg):
    rec.role = "none"
    c = Conn(port, rec)
    try:
        if rng.random() < 0.5:
            c.read_handshake()
        stop.wait(rng.uniform(0.2, 1.0) * cfg.silent_seconds)
    finally:
        c.close()


def _ep_garbage(port, rec, rng, stop, cfg):
    """Random high bytes of a random length in random-sized writes (so
    misaligned with samples), then ends the stream and counts the acks."""
    rec.role = "garbage"
    c = Conn(port, rec)
    try:
        if rng.random() < 0.7:
            c.read_handshake()
        total = rng.randint(1, 40 * SAMPLE_SIZE)
        while rec.bytes_sent < total and not stop.is_set():
            c.send(garbage(rng, min(total - rec.bytes_sent, rng.randint(1, 300))))
            c.poll_acks()
        if rng.random() < 0.5:
            c.acks_until_eof()
        else:
            c.poll_acks()
    finally:
        c.reset() if rng.random() < 0.2 else c.close()


EPISODES: Dict[str, Callable] = {
    "clean": _ep_clean,
    "between": _ep_between,
    "mid_sample": _ep_mid_sample,
    "reset": _ep_reset,
    "no_acks": _ep_no_acks,
    "late_acks": _ep_late_acks,
    "mid_handshake": _ep_mid_handshake,
    "silent": _ep_silent,
    "garbage": _ep_garbage,
}


def run_episode(port: int, pid: int, fault: str, rng: random.Random, stop: threading.Event,
                cfg: EpisodeConfig) -> ConnRecord:
    """One connection with one fault. Any failure that the fault itself does
    not explain (the server closing first, a wrong handshake, a time-out) is
    kept in ``rec.error``."""
    rec = ConnRecord(pid, fault)
    try:
        EPISODES[fault](port, rec, rng, stop, cfg)
    except ServerGone as e:
        rec.error = f"server went away: {e}"
    except (OSError, AssertionError) as e:
        rec.error = f"{type(e).__name__}: {e}"
    return rec


class ProducerFleet:
    """``n`` producer threads, each running episodes back to back (random
    faults from ``faults``, each with a fresh producer id) until ``stop`` is
    set or each has run ``episodes`` of them. The records are kept."""

    def __init__(self, port: int, n: int, faults: Sequence[str], seed: int, pids: PidSource,
                 cfg: Optional[EpisodeConfig] = None, episodes: Optional[int] = None,
                 weights: Optional[Sequence[float]] = None):
        self.stop = threading.Event()
        self.records: List[ConnRecord] = []
        self._lock = threading.Lock()
        self._cfg = cfg or EpisodeConfig()
        self._threads = []
        for i in range(n):
            rng = random.Random(seed * 1000 + i)
            t = threading.Thread(target=self._run, args=(port, rng, list(faults), weights, pids, episodes),
                                 name=f"producer-{i}", daemon=True)
            self._threads.append(t)
        for t in self._threads:
            t.start()

    def _run(self, port, rng, faults, weights, pids, episodes):
        done = 0
        while not self.stop.is_set() and (episodes is None or done < episodes):
            fault = rng.choices(faults, weights)[0]
            rec = run_episode(port, pids.take(), fault, rng, self.stop, self._cfg)
            with self._lock:
                self.records.append(rec)
            done += 1
            if rec.error is not None and rec.error.startswith("ConnectionRefused"):
                return  # the server is gone

    def join(self, timeout: float = WAIT) -> None:
        deadline = time.monotonic() + timeout
        for t in self._threads:
            t.join(max(0.0, deadline - time.monotonic()))
            assert not t.is_alive(), f"{t.name} did not finish in time"

    def finish(self, timeout: float = WAIT) -> List[ConnRecord]:
        self.stop.set()
        self.join(timeout)
        return self.records

    def fault_counts(self) -> Counter:
        with self._lock:
            return Counter(r.fault for r in self.records)


class Storm:
    """A thread that opens and closes connections as fast as it can: closes at
    once, resets at once, reads the handshake then closes, or writes a few
    garbage bytes then closes (only the first two without
    ``read_handshake``). Counts what it did."""

    def __init__(self, port: int, seed: int, max_connects: Optional[int] = None, read_handshake: bool = True):
        self.stop = threading.Event()
        self.connects = 0
        self.refused = 0
        self.garbage_bytes = 0
        self._port = port
        self._rng = random.Random(seed)
        self._max = max_connects
        self._modes = 4 if read_handshake else 2  # modes 0 and 1 never wait for the server
        self._thread = threading.Thread(target=self._run, name="storm", daemon=True)
        self._thread.start()

    def _run(self):
        rng = self._rng
        while not self.stop.is_set() and (self._max is None or self.connects < self._max):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.settimeout(5.0)
            try:
                s.connect((HOST, self._port))
                self.connects += 1
                what = rng.randrange(self._modes)
                if what == 1:
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                elif what == 2:
                    got = b""
                    while len(got) < len(HANDSHAKE):
                        chunk = s.recv(len(HANDSHAKE) - len(got))
                        if not chunk:
                            break
                        got += chunk
                elif what == 3:
                    data = garbage(rng, rng.randint(1, SAMPLE_SIZE - 1))
                    s.sendall(data)
                    self.garbage_bytes += len(data)
            except OSError:
                self.refused += 1
                if self.stop.wait(0.01):
                    break
            finally:
                s.close()

    def finish(self, timeout: float = WAIT) -> int:
        self.stop.set()
        self._thread.join(timeout)
        assert not self._thread.is_alive(), "the storm did not stop in time"
        return self.connects


# ---------------------------------------------------------------------------
# Invariants.


def settle(server, consumer: CheckingConsumer, batch_size: int, timeout: float = WAIT) -> dict:
    """Makes the last batches complete with fillers until every sample the
    drainers inserted has been delivered, with no connection left, on two
    checks in a row. Returns the final tallies."""
    deadline = time.monotonic() + timeout
    stable = 0
    seq = 0
    while True:
        submit_fillers(server, batch_size, seq)
        seq += batch_size
        wait_until = time.monotonic() + 2.0
        while consumer.tallies()["fillers"] < seq - batch_size + 1 and time.monotonic() < wait_until:
            time.sleep(0.005)
        t = consumer.tallies()
        done = t["fillers"] >= seq - batch_size + 1 and t["active"] == 0 and t["inserted"] == t["data"] + t["garbage"]
        stable = stable + 1 if done else 0
        if stable >= 2:
            return t
        assert consumer.error is None, consumer.error
        if time.monotonic() > deadline:
            raise AssertionError(f"the run did not settle: {t}")
        time.sleep(0.05)


def check_records(records: Iterable[ConnRecord], consumer: CheckingConsumer, *, lossy: bool,
                  allow_errors: bool = False) -> dict:
    """Every producer's delivered count between what it had acknowledged and
    what it had written completely (only the upper bound after an explicit
    shutdown, which may drop queued samples); garbage likewise in total; no
    damaged or misordered sample; with ``allow_errors`` false, no connection
    failed in a way its own fault does not explain."""
    problems = []
    garbage_complete = garbage_acked = 0
    counted = Counter()
    for r in records:
        counted[r.fault] += 1
        if r.error is not None and not allow_errors:
            problems.append(f"producer {r.pid} ({r.fault}): {r.error}")
        if r.handshake_ok is False:
            problems.append(f"producer {r.pid} ({r.fault}): wrong handshake")
        if r.acked > r.complete:
            problems.append(f"producer {r.pid} ({r.fault}): {r.acked} acks for {r.complete} samples")
        d = consumer.delivered(r.pid)
        if r.role == "garbage":
            garbage_complete += r.complete
            garbage_acked += r.acked
            if d:
                problems.append(f"garbage producer {r.pid} has {d} well-formed samples")
            continue
        if d > r.complete:
            problems.append(f"producer {r.pid} ({r.fault}): {d} delivered, only {r.complete} written")
        if not lossy and d < r.acked:
            problems.append(f"producer {r.pid} ({r.fault}): {r.acked} acknowledged, only {d} delivered")
    t = consumer.tallies()
    if t["garbage"] > garbage_complete:
        problems.append(f"{t['garbage']} garbage samples delivered, only {garbage_complete} written")
    if not lossy and t["garbage"] < garbage_acked:
        problems.append(f"{garbage_acked} garbage samples acknowledged, only {t['garbage']} delivered")
    if consumer.fault_count:
        problems.append(f"{consumer.fault_count} damaged or misordered samples: {consumer.faults}")
    assert not problems, "\n".join(problems[:30])
    return {"faults": dict(counted), **t}


def check_stderr(text: str) -> Counter:
    """Every line is one of the specified transport lines; returns the count
    of each kind."""
    kinds = Counter()
    for line in text.splitlines():
        if not line.strip():
            continue
        kind = next((k for k, rx in _ALLOWED_LINES.items() if rx.fullmatch(line)), None)
        assert kind is not None, f"unexpected standard-error line: {line!r}"
        kinds[kind] += 1
    return kinds


def thread_names() -> List[str]:
    names = []
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                names.append(f.read().strip())
        except FileNotFoundError:
            pass
    return sorted(names)


def open_fds() -> Dict[int, str]:
    out = {}
    for fd in os.listdir("/proc/self/fd"):
        try:
            out[int(fd)] = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            pass
    return out


class Baseline:
    """Thread names and open descriptors of the process at one moment;
    `assert_restored` waits (bounded) until both are back to it."""

    def __init__(self):
        self.threads = thread_names()
        self.fds = open_fds()

    def assert_restored(self, timeout: float = WAIT) -> None:
        deadline = time.monotonic() + timeout
        while True:
            threads, fds = thread_names(), open_fds()
            if threads == self.threads and len(fds) == len(self.fds):
                return
            if time.monotonic() > deadline:
                extra_fds = {k: v for k, v in fds.items() if self.fds.get(k) != v}
                raise AssertionError(f"threads {Counter(threads) - Counter(self.threads)} / "
                                     f"{Counter(self.threads) - Counter(threads)} differ, "
                                     f"{len(fds)} descriptors instead of {len(self.fds)}: {extra_fds}")
            time.sleep(0.01)


def rss_bytes() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


# ---------------------------------------------------------------------------
# Child server with a lowered descriptor limit.


def serve_main(argv: Sequence[str]) -> int:
    """``serve --headroom N --batch-size B``: builds and starts a server,
    lowers RLIMIT_NOFILE to the descriptors open now plus N, prints
    ``{"port": P}`` and then obeys lines on standard input:

    * ``raise``: puts the limit back;
    * ``finish``: settles the run, shuts down, checks that threads and
      descriptors are back to the values before the server was built and
      prints one JSON line with the result, then exits.
    """
    import argparse

    ap = argparse.ArgumentParser()
    ap.add_argument("--headroom", type=int, default=24)
    ap.add_argument("--batch-size", type=int, default=16)
    args = ap.parse_args(argv)
    import ravo  # noqa: F401 - everything is loaded before the limit drops

    baseline = Baseline()
    server = server_args(args.batch_size)
    server.start()
    consumer = CheckingConsumer(server, args.batch_size)
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (len(open_fds()) + args.headroom, hard))
    print(json.dumps({"port": server.port}), flush=True)
    for line in sys.stdin:
        cmd = line.strip()
        if cmd == "raise":
            resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
            print(json.dumps({"raised": True}), flush=True)
        elif cmd == "finish":
            result = {}
            try:
                result["tallies"] = settle(server, consumer, args.batch_size)
            except AssertionError as e:
                result["settle_error"] = str(e)
            server.shutdown()
            consumer.join()
            delivered = {int(p): int(consumer.next_seq[p]) for p in np.flatnonzero(consumer.next_seq)}
            result.update(delivered=delivered, faults=consumer.faults, fault_count=consumer.fault_count,
                          garbage=consumer.garbage)
            del server, consumer
            try:
                baseline.assert_restored()
                result["restored"] = True
            except AssertionError as e:
                result["restored"] = str(e)
            print(json.dumps(result), flush=True)
            return 0
    return 1


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "serve":
        sys.exit(serve_main(sys.argv[2:]))
    sys.exit("usage: fault_harness.py serve [--headroom N] [--batch-size B]")
