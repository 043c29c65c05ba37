"""A small stand-in for the ravo TCP server, for testing producer clients.

`FakeServer` speaks the server side of the producer protocol exactly: on every
accepted connection it sends the handshake, then repeatedly reads exactly one
sample (``sample_size`` bytes) and writes one acknowledgement byte. It records
every complete sample per connection so tests can compare bytes exactly.

Fault options: a wrong magic or version (or a whole custom handshake), closing
the connection after N samples (with FIN or RST), no acknowledgements after N
samples, a wrong acknowledgement byte, and a gate that holds every
acknowledgement back until the test opens it.

Threads: one accept thread plus one thread per connection, all daemons. They
block only in short socket timeouts and re-check the stop flag in between, so
`close()` stops them promptly and joins them (each join bounded). The recorded data is guarded by a lock; read it
through `samples()` / `connections()` / `wait_for()`.
"""

from __future__ import annotations

import socket
import struct
import threading
import time
from typing import Callable, List, Optional, Sequence, Tuple

MAGIC = b"RAVO"
VERSION = 1

LeafSpec = Tuple[int, Sequence[int]]  # (element size, shape)


def encode_handshake(
    layout: Sequence[LeafSpec], magic: bytes = MAGIC, version: int = VERSION
) -> bytes:
    """The handshake for ``layout``: magic, version byte, u32 leaf count, then
    per leaf u32 element size, u32 ndim and the u32 dims, all little-endian."""
    out = bytearray(magic)
    out += struct.pack("<BI", version, len(layout))
    for elem, shape in layout:
        out += struct.pack("<II", elem, len(shape))
        out += struct.pack(f"<{len(shape)}I", *shape)
    return bytes(out)


def sample_size(layout: Sequence[LeafSpec]) -> int:
    total = 0
    for elem, shape in layout:
        n = elem
        for d in shape:
            n *= d
        total += n
    return total


class FakeServer:
    """See the module docstring. Use as a context manager.

    Parameters:
      layout: list of (element size, shape).
      magic, version: what the handshake announces.
      handshake: raw bytes to send instead of the encoded handshake.
      close_after: close each connection once this many samples were
        received and acknowledged (None: never).
      close_with_reset: close with an RST (SO_LINGER 0) instead of a FIN.
      ack_limit: acknowledge only this many samples, keep reading after.
      ack_byte: the acknowledgement byte to write.
      close_after_handshake: close right after the handshake.
      io_timeout: how long the FIN close waits for the client to finish, and
        how long `close()` waits for each thread.
      read_chunk, read_pause: a slow server; each receive takes at most
        read_chunk bytes and is followed by a pause of read_pause seconds,
        and with a pause the receive buffer is small, so writes really wait.
    """

    def __init__(
        self,
        layout: Sequence[LeafSpec],
        *,
        magic: bytes = MAGIC,
        version: int = VERSION,
        handshake: Optional[bytes] = None,
        close_after: Optional[int] = None,
        close_with_reset: bool = False,
        ack_limit: Optional[int] = None,
        ack_byte: bytes = b"\x01",
        close_after_handshake: bool = False,
        io_timeout: float = 10.0,
        read_chunk: int = 1 << 20,
        read_pause: float = 0.0,
    ) -> None:
        self.layout = list(layout)
        self.sample_size = sample_size(self.layout)
        self.handshake = (
            handshake if handshake is not None else encode_handshake(self.layout, magic, version)
        )
        self.close_after = close_after
        self.close_with_reset = close_with_reset
        self.ack_limit = ack_limit
        self.ack_byte = ack_byte
        self.close_after_handshake = close_after_handshake
        self.io_timeout = io_timeout
        self.read_chunk = read_chunk
        self.read_pause = read_pause
        # Cleared: acknowledgements are held back until the test sets it.
        self.ack_gate = threading.Event()
        self.ack_gate.set()

        self._lock = threading.Lock()
        self._cond = threading.Condition(self._lock)
        self._received: List[List[bytes]] = []  # guarded by _lock
        self._errors: List[str] = []  # guarded by _lock
        self._stop = threading.Event()
        self._threads: List[threading.Thread] = []

        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if read_pause > 0:  # inherited by accepted connections
            self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 64 * 1024)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(16)
        self._listener.settimeout(0.05)
        self.host, self.port = self._listener.getsockname()
        self._accept_thread = threading.Thread(target=self._accept_loop, daemon=True)
        self._accept_thread.start()

    # ------------------------------------------------------------ inspection

    def connections(self) -> int:
        with self._lock:
            return len(self._received)

    def samples(self, conn: int = 0) -> List[bytes]:
        """Complete samples received on connection ``conn`` so far."""
        with self._lock:
            return list(self._received[conn]) if conn < len(self._received) else []

    def errors(self) -> List[str]:
        with self._lock:
            return list(self._errors)

    def wait_for(self, predicate: Callable[[], bool], timeout: float = 10.0) -> bool:
        """Waits until ``predicate()`` (called under the lock) is true."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while not predicate():
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._cond.wait(left)
            return True

    def wait_samples(self, count: int, conn: int = 0, timeout: float = 10.0) -> bool:
        return self.wait_for(
            lambda: conn < len(self._received) and len(self._received[conn]) >= count, timeout
        )

    # ------------------------------------------------------------- lifecycle

    def close(self) -> None:
        self._stop.set()
        self.ack_gate.set()
        self._accept_thread.join(self.io_timeout + 5)
        for t in list(self._threads):
            t.join(self.io_timeout + 5)
        self._listener.close()

    def __enter__(self) -> "FakeServer":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    # ------------------------------------------------------------- internals

    def _accept_loop(self) -> None:
        while not self._stop.is_set():
            try:
                conn, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with self._cond:
                index = len(self._received)
                self._received.append([])
                self._cond.notify_all()
            t = threading.Thread(target=self._serve, args=(conn, index), daemon=True)
            self._threads.append(t)
            t.start()

    def _record_error(self, text: str) -> None:
        with self._cond:
            self._errors.append(text)
            self._cond.notify_all()

    def _recv_exact(self, conn: socket.socket, n: int) -> Optional[bytes]:
        """Exactly ``n`` bytes, or None at end of stream / stop."""
        buf = bytearray()
        while len(buf) < n:
            if self._stop.is_set():
                return None
            try:
                data = conn.recv(min(n - len(buf), self.read_chunk))
            except socket.timeout:
                continue
            if not data:
                return None
            buf += data
            if self.read_pause:
                time.sleep(self.read_pause)
        return bytes(buf)

    def _serve(self, conn: socket.socket, index: int) -> None:
        # Short socket timeouts let the thread notice `close()`; the overall
        # bound is io_timeout of silence from the client.
        conn.settimeout(0.05)
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            conn.sendall(self.handshake)
            if self.close_after_handshake:
                return
            if not 0 < self.sample_size <= 1 << 28:
                # No producer accepts such a layout: wait for it to hang up.
                while not self._stop.is_set():
                    try:
                        if not conn.recv(65536):
                            return
                    except socket.timeout:
                        continue
            count = 0
            while self.close_after is None or count < self.close_after:
                sample = self._recv_exact(conn, self.sample_size)
                if sample is None:
                    return
                with self._cond:
                    self._received[index].append(sample)
                    self._cond.notify_all()
                count += 1
                if self.ack_limit is not None and count > self.ack_limit:
                    continue
                while not self.ack_gate.wait(0.05):
                    if self._stop.is_set():
                        return
                conn.sendall(self.ack_byte)
            # close_after reached: end the stream.
            if self.close_with_reset:
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            else:
                # A FIN first, then drain what the client still sends so that
                # the final close does not turn into an RST: the client sees a
                # clean end of stream after exactly `close_after` acks.
                conn.shutdown(socket.SHUT_WR)
                deadline = time.monotonic() + self.io_timeout
                while time.monotonic() < deadline and not self._stop.is_set():
                    try:
                        if not conn.recv(65536):
                            break
                    except socket.timeout:
                        continue
        except Exception as err:  # recorded for the test, never raised in a thread
            self._record_error(f"connection {index}: {err!r}")
        finally:
            conn.close()
