"""Raw-socket helpers for the end-to-end TCP tests.

`RawProducer` speaks the producer side of the wire protocol with nothing but
`socket`: it connects, reads and parses the handshake, sends bytes exactly as
the test gives them, and counts acknowledgement bytes. Every blocking call is
bounded by a timeout, so a server that hangs fails the test instead of
freezing it.

Besides the producer, the module holds what the end-to-end test files share:
a self-checking sample encoding (producer id, sequence number and a checksum
in every sample), a background `Consumer` that copies every batch out of the
server's memory before its next `sample()` call, readers of /proc for thread
names, open descriptors and the kernel's queues of the server's sockets,
`StderrCapture` for the lines the server writes to descriptor 2, and the
per-test `Harness` (fixture `e2e`) that shuts down, joins and closes whatever
a test built.

Threads: a `RawProducer` belongs to one thread at a time (a second thread may
only send while the first counts acknowledgements). `Consumer` runs one
daemon thread that is the server's only consumer while it lives; its records
are guarded by a lock and read through its methods.
"""

from __future__ import annotations

import os
import select
import socket
import struct
import threading
import time
import zlib
from typing import Callable, Dict, List, Optional, Sequence, Tuple

MAGIC = b"RAVO"
VERSION = 1
ACK = 0x01
HOST = "127.0.0.1"

# Every wait is bounded by this (seconds); generous, so that only a hang fails.
WAIT = 30.0
# How long a test watches for something that must NOT happen (an ack, more
# progress). Absence can only be observed over a window; what is asserted
# after it holds by design, so the window only decides how sharp the check
# is. The few tests that let the server settle before they observe it (a push
# that fails right after its read) need microseconds of that window.
QUIET = 0.2

LeafSpec = Tuple[int, Sequence[int]]  # (element size, shape)


# ---------------------------------------------------------------------------
# The layout as both ends compute it.


def expected_handshake(layout: Sequence[LeafSpec]) -> bytes:
    """The handshake bytes for ``layout``: magic, version, u32 leaf count, then
    per leaf u32 element size, u32 ndim and the u32 dims, little-endian."""
    out = bytearray(MAGIC)
    out += struct.pack("<BI", VERSION, len(layout))
    for elem, shape in layout:
        out += struct.pack("<II", elem, len(shape))
        out += b"".join(struct.pack("<I", d) for d in shape)
    return bytes(out)


def leaf_bytes(elem: int, shape: Sequence[int]) -> int:
    n = elem
    for d in shape:
        n *= d
    return n


def sample_size(layout: Sequence[LeafSpec]) -> int:
    return sum(leaf_bytes(e, s) for e, s in layout)


def server_args(layout: Sequence[LeafSpec]) -> Tuple[List[List[int]], List[int]]:
    """(shapes, dtype_sizes) for `_Server` from a layout."""
    return [list(s) for _, s in layout], [e for e, _ in layout]


# ---------------------------------------------------------------------------
# Bounded socket reads.


def recv_exact(sock: socket.socket, n: int, timeout: float = WAIT) -> bytes:
    """Exactly ``n`` bytes, or AssertionError on end of stream or time-out."""
    deadline = time.monotonic() + timeout
    buf = bytearray()
    while len(buf) < n:
        left = deadline - time.monotonic()
        if left <= 0:
            raise AssertionError(f"timed out after {len(buf)} of {n} bytes")
        sock.settimeout(left)
        try:
            chunk = sock.recv(n - len(buf))
        except socket.timeout:
            continue
        if not chunk:
            raise AssertionError(f"end of stream after {len(buf)} of {n} bytes")
        buf += chunk
    return bytes(buf)


def read_handshake(sock: socket.socket, timeout: float = WAIT) -> Tuple[bytes, List[LeafSpec]]:
    """Reads and parses a whole handshake; returns (raw bytes, layout)."""
    deadline = time.monotonic() + timeout
    left = lambda: max(0.001, deadline - time.monotonic())  # noqa: E731
    head = recv_exact(sock, 9, left())
    assert head[:4] == MAGIC, f"bad magic {head[:4]!r}"
    assert head[4] == VERSION, f"bad version {head[4]}"
    (count,) = struct.unpack("<I", head[5:9])
    raw = bytearray(head)
    layout: List[LeafSpec] = []
    for _ in range(count):
        rec = recv_exact(sock, 8, left())
        elem, ndim = struct.unpack("<II", rec)
        dims = recv_exact(sock, 4 * ndim, left()) if ndim else b""
        raw += rec + dims
        layout.append((elem, list(struct.unpack(f"<{ndim}I", dims))))
    return bytes(raw), layout


class RawProducer:
    """One producer connection. See the module docstring.

    ``rcvbuf``: receive buffer size set before connecting (a small one makes
    unread acknowledgements back up quickly). ``handshake``: read and parse
    the handshake at once (``False`` leaves it unread in the socket).
    """

    def __init__(self, port: int, *, rcvbuf: Optional[int] = None, handshake: bool = True,
                 timeout: float = WAIT):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf is not None:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.settimeout(timeout)
        self.sock.connect((HOST, port))
        self.server_port = port
        self.local_port = self.sock.getsockname()[1]
        self.acks = 0  # acknowledgement bytes received so far
        self.handshake: Optional[bytes] = None
        self.layout: Optional[List[LeafSpec]] = None
        self.sample_size: Optional[int] = None
        if handshake:
            self.read_handshake(timeout)

    def read_handshake(self, timeout: float = WAIT) -> bytes:
        self.handshake, self.layout = read_handshake(self.sock, timeout)
        self.sample_size = sample_size(self.layout)
        return self.handshake

    # -- sending ----------------------------------------------------------

    def send(self, data: bytes, timeout: float = WAIT) -> None:
        """All of ``data`` in one sendall (one write where the buffers allow)."""
        self.sock.settimeout(timeout)
        self.sock.sendall(data)

    # -- acknowledgements ---------------------------------------------------

    def _take_acks(self, chunk: bytes) -> None:
        assert chunk == bytes([ACK]) * len(chunk), f"unexpected bytes from the server: {chunk!r}"
        self.acks += len(chunk)

    def poll_acks(self) -> int:
        """Takes every acknowledgement already received, without waiting."""
        while True:
            r, _, _ = select.select([self.sock], [], [], 0)
            if not r:
                return self.acks
            chunk = self.sock.recv(65536)
            if not chunk:
                raise AssertionError("end of stream while counting acknowledgements")
            self._take_acks(chunk)

    def wait_acks(self, total: int, timeout: float = WAIT) -> int:
        """Reads until ``total`` acknowledgements in all have arrived; never
        reads beyond them."""
        deadline = time.monotonic() + timeout
        while self.acks < total:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"{self.acks} of {total} acknowledgements arrived in time")
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(total - self.acks)
            except socket.timeout:
                continue
            if not chunk:
                raise AssertionError(f"end of stream after {self.acks} of {total} acknowledgements")
            self._take_acks(chunk)
        return self.acks

    def acks_after_quiet(self, quiet: float = QUIET) -> int:
        """Counts acknowledgements for ``quiet`` seconds and returns the total."""
        deadline = time.monotonic() + quiet
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return self.poll_acks()
            r, _, _ = select.select([self.sock], [], [], left)
            if r:
                chunk = self.sock.recv(65536)
                if not chunk:
                    raise AssertionError("end of stream while counting acknowledgements")
                self._take_acks(chunk)

    # -- ending -------------------------------------------------------------

    def half_close(self) -> None:
        """Ends the stream (FIN) while still reading what the server sends."""
        self.sock.shutdown(socket.SHUT_WR)

    def wait_closed(self, timeout: float = WAIT) -> str:
        """Reads until the server ends the connection: "eof" or "reset".
        Acknowledgements read meanwhile are counted; on a connection whose
        handshake was never read, whatever arrives is skipped."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("the server did not close the connection in time")
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                continue
            except ConnectionResetError:
                return "reset"
            if not chunk:
                return "eof"
            if self.handshake is None:
                continue  # the unread handshake (never parsed here)
            self._take_acks(chunk)

    def reset(self) -> None:
        """Closes with an RST: SO_LINGER on with a zero time-out, then close."""
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()

    def close(self) -> None:
        self.sock.close()

    def server_unread(self) -> Optional[int]:
        """Bytes this producer sent that the server has not read yet (from the
        kernel's view of the server's socket), or None if it is gone."""
        return server_side_rx_queue(self.server_port, self.local_port)

    def server_queues(self) -> Tuple[int, int]:
        """(tx_queue, rx_queue) of the server's socket of this connection:
        bytes the server wrote that this producer has not acknowledged at the
        TCP level, and bytes it received but has not read."""
        q = server_side_queues(self.server_port, self.local_port)
        assert q is not None, "the server's socket is gone"
        return q

    def wait_server_read_all(self, timeout: float = WAIT) -> None:
        """Waits until the server has read every byte sent so far."""
        wait_for(lambda: self.server_unread() in (0, None), timeout,
                 "the server did not read what was sent")


# ---------------------------------------------------------------------------
# The kernel's view of sockets and threads.


def server_side_queues(server_port: int, client_port: int) -> Optional[Tuple[int, int]]:
    """(tx_queue, rx_queue) of the server's end of the loopback connection
    from ``client_port`` to ``server_port``, or None if there is none."""
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            local, remote, queues = fields[1], fields[2], fields[4]
            if int(local.split(":")[1], 16) == server_port and int(remote.split(":")[1], 16) == client_port:
                tx, rx = queues.split(":")
                return int(tx, 16), int(rx, 16)
    return None


def server_side_rx_queue(server_port: int, client_port: int) -> Optional[int]:
    """Bytes received by the server's end of that connection and not yet
    read, or None if there is no such socket."""
    q = server_side_queues(server_port, client_port)
    return None if q is None else q[1]


def thread_names() -> List[str]:
    names = []
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                names.append(f.read().strip())
        except FileNotFoundError:  # the thread ended while listing
            pass
    return names


def count_threads(name: Optional[str] = None) -> int:
    names = thread_names()
    return len(names) if name is None else names.count(name)


def thread_ids() -> set:
    return set(os.listdir("/proc/self/task"))


def open_fds() -> set:
    """(descriptor, what it refers to) for every open descriptor, without the
    one that lists the directory. Sockets read "socket:[inode]", so a
    descriptor number reused for another object counts as a new entry."""
    out = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:  # closed while listing (the listing's own, or another thread's)
            continue
        if not target.startswith("/proc/"):
            out.add((int(fd), target))
    return out


def wait_for(cond: Callable[[], bool], timeout: float = WAIT, what: str = "condition") -> None:
    deadline = time.monotonic() + timeout
    while not cond():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for: {what}")
        time.sleep(0.005)


class StderrCapture:
    """Captures file descriptor 2 (where the server's C++ code writes its
    lines) into a temporary file while the block runs.

    The file is opened for appending, so every write lands at its end
    whatever else happens, and it is read through a separate descriptor:
    polling it while server threads write can neither lose nor overwrite a
    line (reading a shared-offset capture file and truncating it, as a
    generic capture does, could)."""

    def __enter__(self) -> "StderrCapture":
        import sys
        import tempfile

        sys.stderr.flush()
        fd, self._path = tempfile.mkstemp(prefix="ravo-stderr-")
        os.close(fd)
        out = os.open(self._path, os.O_WRONLY | os.O_APPEND)
        self._saved = os.dup(2)
        os.dup2(out, 2)
        os.close(out)
        return self

    def text(self) -> str:
        with open(self._path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def lines(self) -> List[str]:
        return self.text().splitlines()

    def __exit__(self, *exc) -> None:
        os.dup2(self._saved, 2)
        os.close(self._saved)
        os.unlink(self._path)


# ---------------------------------------------------------------------------
# Self-checking samples: two leaves, (2,) x u32 and (3,) x u32.
#   leaf 0: producer id, sequence number
#   leaf 1: a payload word derived from both, a free word, crc32 of the rest

CHECKED_LAYOUT: List[LeafSpec] = [(4, [2]), (4, [3])]
CHECKED_SIZE = sample_size(CHECKED_LAYOUT)  # 20 bytes
_LEAF0 = 8


def make_sample(pid: int, seq: int) -> bytes:
    payload = (pid * 2654435761 + seq * 40503) & 0xFFFFFFFF
    body = struct.pack("<IIII", pid, seq, payload, seq ^ 0x5A5A5A5A)
    return body + struct.pack("<I", zlib.crc32(body))


def check_sample(sample: bytes) -> Tuple[int, int]:
    """(pid, seq) of an intact sample; AssertionError on a damaged one."""
    assert len(sample) == CHECKED_SIZE
    body, (crc,) = sample[:16], struct.unpack("<I", sample[16:])
    assert zlib.crc32(body) == crc, f"damaged sample {sample.hex()}"
    pid, seq = struct.unpack("<II", sample[:8])
    assert sample == make_sample(pid, seq)
    return pid, seq


def split_checked(arrays, batch_size: int) -> List[bytes]:
    """The samples of one batch of the checked layout, as whole byte images."""
    a0, a1 = bytes(arrays[0]), bytes(arrays[1])
    l1 = CHECKED_SIZE - _LEAF0
    return [a0[i * _LEAF0:(i + 1) * _LEAF0] + a1[i * l1:(i + 1) * l1] for i in range(batch_size)]


def submit_checked(server, pid: int, seq: int) -> None:
    s = make_sample(pid, seq)
    server.submit([s[:_LEAF0], s[_LEAF0:]])


# ---------------------------------------------------------------------------
# A background consumer.


class Consumer:
    """Calls ``server.sample()`` in a loop on a daemon thread until it returns
    None (after shutdown), copying each batch before the next call gives it
    back. ``split`` turns one batch's arrays into a list of samples;
    ``last_info()`` is the snapshot that came with the latest batch."""

    def __init__(self, server, split: Callable[[list], List[bytes]]):
        self._server = server
        self._split = split
        self._lock = threading.Lock()
        self._samples: List[bytes] = []
        self._info = None
        self.error: Optional[BaseException] = None
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self) -> None:
        try:
            while True:
                got = self._server.sample()
                if got is None:
                    return
                batch = self._split(got[0])
                with self._lock:
                    self._samples.extend(batch)
                    self._info = got[1]
        except BaseException as e:  # noqa: BLE001 - reported by join()
            self.error = e

    def samples(self) -> List[bytes]:
        with self._lock:
            return list(self._samples)

    def count(self) -> int:
        with self._lock:
            return len(self._samples)

    def last_info(self):
        with self._lock:
            return self._info

    def wait_count(self, n: int, timeout: float = WAIT) -> List[bytes]:
        wait_for(lambda: self.count() >= n or self.error is not None, timeout, f"{n} delivered samples")
        assert self.error is None, self.error
        return self.samples()

    def join(self, timeout: float = WAIT) -> None:
        """Waits for the loop to end (call after ``server.shutdown()``)."""
        self._thread.join(timeout)
        assert not self._thread.is_alive(), "consumer did not stop in time"
        if self.error is not None:
            raise self.error


def by_producer(samples: Sequence[bytes]) -> Dict[int, List[int]]:
    """Checks every sample and groups the sequence numbers by producer id, in
    delivery order."""
    out: Dict[int, List[int]] = {}
    for s in samples:
        pid, seq = check_sample(s)
        out.setdefault(pid, []).append(seq)
    return out


# ---------------------------------------------------------------------------
# Per-test harness: servers, producers and consumers that are always cleaned
# up, so that no thread is left waiting when a test fails.


class Harness:
    """Builds servers (port 0, few threads), producers and consumers for one
    test and tears them all down afterwards: every server is shut down, every
    consumer joined, every producer socket closed."""

    def __init__(self):
        self._servers: list = []
        self._producers: List[RawProducer] = []
        self._consumers: List[Consumer] = []

    def server(self, layout: Sequence[LeafSpec] = CHECKED_LAYOUT, *, batch_size: int = 4, num_threads: int = 2,
               start: bool = True, **kwargs):
        import ravo

        shapes, dtype_sizes = server_args(layout)
        kwargs.setdefault("num_drainers", 2)
        s = ravo._Server(shapes, dtype_sizes, batch_size, ravo.TcpTransport(0, num_threads=num_threads), **kwargs)
        self._servers.append(s)
        if start:
            s.start()
        return s

    def producer(self, server, **kwargs) -> RawProducer:
        p = RawProducer(server.port, **kwargs)
        self._producers.append(p)
        return p

    def consumer(self, server, split: Callable[[list], List[bytes]]) -> Consumer:
        c = Consumer(server, split)
        self._consumers.append(c)
        return c

    def close(self) -> None:
        for s in self._servers:
            s.shutdown()
        errors = []
        for c in self._consumers:
            try:
                c.join()
            except BaseException as e:  # noqa: BLE001 - reported below
                errors.append(e)
        for p in self._producers:
            p.close()
        self._servers.clear()
        if errors:
            raise errors[0]


def checked_split(batch_size: int) -> Callable[[list], List[bytes]]:
    return lambda arrays: split_checked(arrays, batch_size)


def e2e_fixture():
    """The `e2e` fixture: a `Harness` closed after the test. Test modules
    bind it with ``e2e = e2e_fixture()``."""
    import pytest

    @pytest.fixture
    def e2e():
        h = Harness()
        try:
            yield h
        finally:
            h.close()

    return e2e
