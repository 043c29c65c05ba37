"""Producer client for a ravo server's TCP transport.

This module owns the producer side of the ravo TCP protocol; it needs only the
standard library (NumPy arrays are accepted as leaves when NumPy is in use).

The exchange on one connection:

* the server sends the handshake first: the magic bytes ``b"RAVO"``, the
  version byte 1, then a little-endian u32 leaf count and one record per leaf
  (u32 element size, u32 ndim, ndim u32 dimensions);
* the producer sends samples, each exactly ``sample_size`` bytes (the leaves'
  raw bytes back to back, in handshake order, no header);
* the server answers every sample it has queued with one byte 0x01;
* the producer ends the stream by closing the connection.

`Producer` pipelines up to ``window`` unacknowledged samples: `send` writes at
once while fewer are outstanding and otherwise first blocks reading
acknowledgements. `send_many` writes several samples with one system call
where the window allows, which is what small samples need to approach the
server's rate; `send_raw_many` does the same for samples already packed back
to back (a NumPy structured array with one field per leaf), and
`send_stacked` for samples given leaf by leaf, one array per leaf with a row
per sample (a vectorised environment's step). A `Producer` is
not thread-safe: use it from one thread at a time (one producer per thread
for parallel streams). Every wait is bounded by ``timeout`` seconds when one
is given: the connect, the whole handshake, and any stretch without progress
while sending samples or waiting for acknowledgements (each byte written,
each byte the server takes from the send buffer and each acknowledgement
received starts the clock again, so a slow server that keeps reading never
times out a large sample). A
timeout raises `TimeoutError` and leaves the producer usable unless it
struck in the middle of a sample, after which the stream is misaligned and
every later call fails.

Example::

    with Producer("127.0.0.1", port) as p:
        for image, label in data:
            p.send([image, label])
    # leaving the block waits for every acknowledgement

Command line: ``python -m ravo_producer --host H --port N --count 1000`` streams
random samples and reports the rate.
"""

from __future__ import annotations

import argparse
import ipaddress
import math
import os
import select
import socket
import struct
import sys
import time
from typing import Any, Iterable, List, NamedTuple, Optional, Sequence, Tuple

try:  # the send queue's length, where the system reports it (Linux)
    import fcntl
    import termios

    _TIOCOUTQ: Optional[int] = termios.TIOCOUTQ
except (ImportError, AttributeError):  # pragma: no cover - not on Linux
    _TIOCOUTQ = None

__all__ = [
    "DEFAULT_WINDOW",
    "MAGIC",
    "VERSION",
    "Leaf",
    "Producer",
    "ProtocolError",
    "main",
]

MAGIC = b"RAVO"
VERSION = 1
DEFAULT_WINDOW = 64
ACK_BYTE = 0x01

_HEADER = struct.Struct("<4sBI")  # magic, version, leaf_count: 9 bytes
_LEAF_HEAD = struct.Struct("<II")  # element_size, ndim
_U64_LIMIT = 1 << 64
# A multi-leaf sample up to this size is joined into one buffer and written
# with send(): the copy costs less than sendmsg()'s per-buffer setup.
_JOIN_LIMIT = 4096
# sendmsg refuses more buffers than IOV_MAX (1024 on Linux) in one call.
_IOV_MAX = 1024
# send_stacked packs at most this many bytes (or one sample, if larger) at a time.
_STACK_CHUNK_BYTES = 4 << 20
# MSG_NOSIGNAL turns a write to a closed connection into EPIPE instead of
# SIGPIPE, even in processes that did not ignore SIGPIPE.
_SEND_FLAGS = getattr(socket, "MSG_NOSIGNAL", 0)
_ACK_READ = 65536
# poll() takes its timeout in milliseconds as a C int; a longer wait polls
# again until its deadline.
_POLL_MAX_MS = 2**31 - 1


class ProtocolError(ConnectionError):
    """The peer does not speak the ravo producer protocol (bad handshake or
    acknowledgement)."""


# The call form keeps the field types real types: under the module's
# postponed annotations the class form would show them as strings in help().
Leaf = NamedTuple("Leaf", [("dtype_size", int), ("shape", Tuple[int, ...]), ("nbytes", int)])
Leaf.__doc__ = "One leaf of the sample layout, as the server's handshake describes it."
Leaf.dtype_size.__doc__ = "Bytes per element."
Leaf.shape.__doc__ = "Dimensions; ``()`` for a scalar leaf."
Leaf.nbytes.__doc__ = ("Bytes of this leaf in every sample: product of ``shape`` times ``dtype_size`` "
                       "(``dtype_size`` for a scalar, 0 with any zero dimension).")


def _avoid_pacing_on_loopback(sock: socket.socket, host: str) -> None:
    """Called on a socket about to connect to `host` (a numeric address).

    BBR paces each connection from a timer. Over loopback, the paced segments
    enter the receiving side from another CPU than the sender's own writes
    and arrive out of order; TCP reads that as loss, retransmits and shrinks
    its window, and a pipelined stream of large samples runs at half speed
    or less. Loopback has no link to pace for, so such a socket moves to a
    congestion control that does not pace: cubic where the system allows
    it, else reno, which every system allows. It must move before it
    connects: a connection that started on BBR keeps its pacing after a
    switch. Any other choice of the system stands, and so does BBR where
    neither can be set: this is a speed-up, never a reason to fail."""
    option = getattr(socket, "TCP_CONGESTION", None)
    if option is None:
        return
    try:
        address = ipaddress.ip_address(host.split("%")[0])
    except ValueError:
        return
    mapped = getattr(address, "ipv4_mapped", None)
    if not (address.is_loopback or (mapped is not None and mapped.is_loopback)):
        return
    try:
        if not sock.getsockopt(socket.IPPROTO_TCP, option, 16).startswith(b"bbr"):
            return
    except OSError:
        return
    for other in (b"cubic", b"reno"):
        try:
            sock.setsockopt(socket.IPPROTO_TCP, option, other)
            return
        except OSError:
            continue


def _open_connection(host: str, port: int, timeout: Optional[float]) -> socket.socket:
    """socket.create_connection((host, port), timeout), except that a socket
    bound for loopback leaves BBR before it connects."""
    error: Optional[OSError] = None
    for family, kind, proto, _, address in socket.getaddrinfo(host, port, 0, socket.SOCK_STREAM):
        sock = None
        try:
            sock = socket.socket(family, kind, proto)
            sock.settimeout(timeout)
            _avoid_pacing_on_loopback(sock, address[0])
            sock.connect(address)
            return sock
        except OSError as exc:
            error = exc
            if sock is not None:
                sock.close()
    if error is None:
        raise OSError("getaddrinfo returns an empty list")
    try:
        raise error
    finally:
        error = None  # no reference cycle through the traceback


def _hex(data: bytes) -> str:
    return " ".join(f"{b:02x}" for b in data)


class Producer:
    """A connection to a ravo server that streams samples to it.

    ``Producer(host, port, window=64, timeout=None)`` connects (with
    TCP_NODELAY; over loopback not with BBR, whose pacing reorders segments
    there), reads and checks the handshake and exposes the sample layout as
    `leaves` and `sample_size`.

    Raises `ProtocolError` (a `ConnectionError`) when the peer's handshake is
    not a ravo version-1 handshake, `ConnectionError` when the server closes
    the connection during the handshake, `TimeoutError` when ``timeout``
    passes, and `OSError` when the connection cannot be made.
    """

    def __init__(
        self,
        host: str,
        port: int,
        window: int = DEFAULT_WINDOW,
        timeout: Optional[float] = None,
    ) -> None:
        if isinstance(window, bool) or not isinstance(window, int):
            raise TypeError(f"window must be an int, got {type(window).__name__}")
        if window < 1:
            raise ValueError(f"window must be >= 1, got {window}")
        if timeout is not None and not timeout > 0:  # NaN included
            raise ValueError(f"timeout must be > 0 or None, got {timeout}")
        if timeout is not None and math.isinf(timeout):
            timeout = None  # no end to any wait, as with None
        self._window = window
        self._timeout = timeout
        self._peer = f"{host}:{port}"
        self._sent = 0
        self._acked = 0
        self._closed = False
        # (exception class, text) of the fault that made the stream unusable.
        self._broken: Optional[Tuple[type, str]] = None
        self._sock = _open_connection(host, port, timeout)
        try:
            self._sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            # From here on every wait goes through _poll, which applies the
            # timeout; the socket itself never blocks.
            self._sock.setblocking(False)
            self._fd = self._sock.fileno()
            self._poller = select.poll()
            self._poller.register(self._fd, select.POLLIN)
            self._leaves = self._read_handshake()
            total = sum(leaf.nbytes for leaf in self._leaves)
            if total >= _U64_LIMIT:
                raise ProtocolError(
                    f"the server's sample size ({total} bytes) does not fit in 64 bits"
                )
            if total == 0:
                raise ProtocolError(
                    "the server's sample layout has a sample size of 0 bytes; "
                    "no sample can be sent"
                )
            self._sample_size = total
        except BaseException:
            self._sock.close()
            self._closed = True
            raise

    # ------------------------------------------------------------------ layout

    @property
    def leaves(self) -> List[Leaf]:
        """The sample layout: one `Leaf` per leaf, in handshake order."""
        return list(self._leaves)

    @property
    def sample_size(self) -> int:
        """Bytes of one sample: the sum of the leaves' ``nbytes``."""
        return self._sample_size

    @property
    def window(self) -> int:
        """Most samples sent but not yet acknowledged."""
        return self._window

    @property
    def sent(self) -> int:
        """Samples whose bytes were completely written to the connection."""
        return self._sent

    @property
    def acked(self) -> int:
        """Acknowledgements received so far (samples the server has queued)."""
        self._refresh_acks()
        return self._acked

    @property
    def outstanding(self) -> int:
        """Samples sent but not yet acknowledged."""
        self._refresh_acks()
        return self._sent - self._acked

    @property
    def closed(self) -> bool:
        """True once ``close()`` has run (leaving a ``with`` block calls it)."""
        return self._closed

    # --------------------------------------------------------------- sending

    def send(self, leaves: Sequence[Any]) -> None:
        """Send one sample given as one bytes-like object or NumPy array per leaf.

        Every leaf is checked against the layout before any byte is written,
        so a `ValueError` (wrong leaf count, byte length, shape or element
        size) or `TypeError` leaves the stream intact. Non-contiguous arrays
        are copied to C order. Blocks while ``window`` samples are
        unacknowledged.
        """
        if self._closed or self._broken is not None:
            self._check_usable()
        self._send_one(self._sample_views(leaves, "send()"))

    def send_many(self, samples: Iterable[Sequence[Any]]) -> None:
        """Send several samples, each given as `send` takes it, in order.

        Every sample is checked before any byte is written, so a `ValueError`
        or `TypeError` (naming the sample's index) leaves the stream intact.
        The samples then go out with one system call for as many of them as
        the window has room for, instead of one call each. Blocks while the
        window is full. If a write fails part way, `sent` tells how many of
        the samples were written completely.
        """
        self._check_usable()
        if isinstance(samples, (bytes, bytearray, memoryview)):
            raise TypeError("send_many() takes an iterable of samples, each a sequence of leaves")
        checked = []
        for k, leaves in enumerate(samples):
            try:
                checked.append(self._sample_views(leaves, "send_many()"))
            except (TypeError, ValueError) as err:
                raise type(err)(f"sample {k}: {err}") from None
        # Each write waits for room for a good share of what is left (a
        # quarter of the window at least), so that acknowledgements arriving
        # one at a time do not turn into one write per sample.
        chunk = max(1, self._window // 4)
        done = 0
        while done < len(checked):
            self._wait_for_room(min(len(checked) - done, chunk))
            take = min(len(checked) - done, self._window - (self._sent - self._acked))
            bufs = [view for sample in checked[done : done + take] for view in sample]
            if len(bufs) > take and self._sample_size <= _JOIN_LIMIT:
                bufs = [b"".join(bufs)]
            self._write_samples(bufs, take)
            done += take

    def send_raw(self, sample: Any) -> None:
        """Send one whole sample: a bytes-like object of exactly `sample_size`
        bytes holding all leaves back to back."""
        if self._closed or self._broken is not None:
            self._check_usable()
        view = _as_byte_view(sample, "sample")
        if view.nbytes != self._sample_size:
            raise ValueError(
                f"sample has {view.nbytes} bytes, the layout needs {self._sample_size} bytes"
            )
        self._send_one([view])

    def send_raw_many(self, samples: Any) -> None:
        """Send whole samples packed back to back: one bytes-like object or
        NumPy array whose size is a multiple of `sample_size` (each sample's
        leaves back to back, as `send_raw` takes one; a NumPy structured array
        with one field per leaf has this layout).

        They go out with one system call for as many as the window has room
        for. Blocks while the window is full. If a write fails part way,
        `sent` tells how many of the samples were written completely.
        """
        self._check_usable()
        view = _as_byte_view(samples, "samples")
        size = self._sample_size
        if view.nbytes % size:
            raise ValueError(
                f"samples have {view.nbytes} bytes, not a whole number of samples of "
                f"{size} bytes"
            )
        count = view.nbytes // size
        # As in send_many: each write waits for room for a good share of what
        # is left, so that acknowledgements arriving one at a time do not
        # turn into one write per sample.
        chunk = max(1, self._window // 4)
        done = 0
        while done < count:
            self._wait_for_room(min(count - done, chunk))
            take = min(count - done, self._window - (self._sent - self._acked))
            self._write_samples([view[done * size : (done + take) * size]], take)
            done += take

    def send_stacked(self, leaves: Sequence[Any]) -> None:
        """Send several samples given leaf by leaf: one NumPy array per leaf,
        its first dimension counting the samples and the rest matching the
        leaf's shape (what a vectorised environment's step returns, or
        ``np.stack`` of each leaf over the samples).

        Every leaf is checked before any byte is written, so a `ValueError`
        (wrong leaf count, sample count, shape or element size) or
        `TypeError` leaves the stream intact. The samples are packed (one
        copy, 4 MiB at a time) and sent as `send_raw_many` sends them; if a
        write fails part way, `sent` tells how many of them were written
        completely.
        """
        self._check_usable()
        np = sys.modules.get("numpy")
        if type(leaves) is not list and type(leaves) is not tuple:
            raise TypeError(
                "send_stacked() takes a list or tuple with one NumPy array per leaf"
            )
        if len(leaves) != len(self._leaves):
            raise ValueError(
                f"batch has {len(leaves)} leaves, the layout has {len(self._leaves)}"
            )
        count = None
        for i, (value, spec) in enumerate(zip(leaves, self._leaves)):
            if np is None or not isinstance(value, np.ndarray):
                raise TypeError(
                    f"leaf {i}: expected a NumPy array with one row per sample, got "
                    f"{type(value).__name__}"
                )
            if value.ndim == 0:
                raise ValueError(f"leaf {i}: a 0-dimensional array has no sample dimension")
            if count is None:
                count = value.shape[0]
            elif value.shape[0] != count:
                raise ValueError(
                    f"leaf {i}: {value.shape[0]} samples, leaf 0 has {count}"
                )
            if value.itemsize != spec.dtype_size:
                raise ValueError(
                    f"leaf {i}: element size {value.itemsize} does not match the layout's "
                    f"element size {spec.dtype_size}"
                )
            if value.shape[1:] != spec.shape:
                raise ValueError(
                    f"leaf {i}: shape {value.shape[1:]} per sample does not match the "
                    f"layout's shape {spec.shape}"
                )
            if value.dtype.hasobject:
                raise TypeError(f"leaf {i}: arrays of Python objects cannot be sent")
        if not count:
            return
        # Packed a share at a time into one reused buffer, so that a long
        # stack costs at most 4 MiB (or one sample, if larger) of extra memory.
        chunk = min(count, max(1, _STACK_CHUNK_BYTES // self._sample_size))
        packed = np.empty((chunk, self._sample_size), dtype=np.uint8)
        for start in range(0, count, chunk):
            n = min(chunk, count - start)
            offset = 0
            for value, spec in zip(leaves, self._leaves):
                if spec.nbytes:
                    rows = np.ascontiguousarray(value[start : start + n])
                    packed[:n, offset : offset + spec.nbytes] = rows.view(np.uint8).reshape(
                        n, spec.nbytes
                    )
                    offset += spec.nbytes
            self.send_raw_many(packed[:n])

    def flush(self) -> None:
        """Wait until every sent sample is acknowledged."""
        self._check_usable()
        self._wait_outstanding_at_most(0)

    def close(self, flush: bool = True) -> None:
        """Close the connection, first waiting for every acknowledgement unless
        ``flush`` is false (abort) or the stream already failed. Idempotent.

        If the flush fails, the connection is still closed and the error is
        raised.
        """
        if self._closed:
            return
        try:
            if flush and self._broken is None:
                self._wait_outstanding_at_most(0)
        finally:
            self._closed = True
            try:
                self._poller.unregister(self._fd)
            except (KeyError, ValueError, OSError):
                pass
            self._sock.close()

    def __enter__(self) -> "Producer":
        return self

    def __exit__(self, exc_type, exc, tb) -> None:
        # A normal exit waits for every acknowledgement; leaving on an
        # exception aborts at once so that the exception is not masked by a
        # second one (or a hang) from the flush.
        self.close(flush=exc_type is None)

    def __repr__(self) -> str:
        state = "closed" if self._closed else ("broken" if self._broken else "open")
        return (
            f"<Producer {self._peer} {state} sample_size={getattr(self, '_sample_size', '?')} "
            f"sent={self._sent} acked={self._acked} window={self._window}>"
        )

    # ------------------------------------------------------------- internals

    def _sample_views(self, leaves: Sequence[Any], caller: str) -> List[Any]:
        """The non-empty byte views of one sample given as leaves, checked
        against the layout (raises TypeError or ValueError, writes nothing)."""
        np = sys.modules.get("numpy")
        if type(leaves) is not list and type(leaves) is not tuple and (
            isinstance(leaves, (bytes, bytearray, memoryview))
            or (np is not None and isinstance(leaves, np.ndarray))
            or not hasattr(leaves, "__len__")
        ):
            raise TypeError(
                f"{caller} takes a sequence with one bytes-like object or array per leaf; "
                "use send_raw() for a whole pre-packed sample"
            )
        if len(leaves) != len(self._leaves):
            raise ValueError(
                f"sample has {len(leaves)} leaves, the layout has {len(self._leaves)}"
            )
        bufs = []
        for i, (value, spec) in enumerate(zip(leaves, self._leaves)):
            if type(value) is bytes:
                # The common case, without a view: bytes are contiguous bytes.
                if len(value) != spec.nbytes:
                    raise ValueError(
                        f"leaf {i}: {len(value)} bytes given, the layout needs "
                        f"{spec.nbytes} bytes"
                    )
                view = value
            else:
                view = _leaf_bytes(i, value, spec)
            if spec.nbytes:
                bufs.append(view)
        return bufs

    def _refresh_acks(self) -> None:
        """Takes in the acknowledgements already here, without waiting. A
        server that went away marks the stream failed for the next call."""
        if self._closed or self._broken is not None:
            return
        try:
            self._read_acks(wait=False)
        except ConnectionError:
            pass

    def _check_usable(self) -> None:
        if self._closed:
            raise ValueError("operation on a closed Producer")
        if self._broken is not None:
            cls, text = self._broken
            raise cls(f"the connection is unusable after an earlier error: {text}")

    def _broken_error(self, cls: type, text: str) -> Exception:
        """Marks the stream unusable and returns ``cls(text)`` for raising."""
        self._broken = (cls, text)
        return cls(text)

    def _mark_partly_written(self, exc: BaseException) -> None:
        """Marks the stream unusable after ``exc`` (an interrupt, or any error
        other than the socket's own) cut a sample off part way through: the
        next sample's bytes would complete it on the server's side."""
        if self._broken is None:
            self._broken = (
                ConnectionError,
                f"a sample was only partly written when {type(exc).__name__} interrupted the send "
                f"({self._acked} of {self._sent} samples acknowledged)",
            )

    def _closed_text(self, reason: str = "") -> str:
        text = (
            f"server closed the connection after {self._acked} of {self._sent} "
            f"samples were acknowledged"
        )
        return f"{text} ({reason})" if reason else text

    def _closed_error(self, err: OSError) -> Exception:
        """The error for a write that failed because the server went away."""
        # Acknowledgements that arrived before the close still count: collect
        # whatever is readable without waiting before reporting. Reading may
        # itself find the end of the stream or a bad byte; that is reported.
        try:
            self._read_acks(wait=False)
        except ConnectionError:
            pass
        if self._broken is not None:
            cls, text = self._broken
            return cls(text)
        return self._broken_error(ConnectionError, self._closed_text(err.strerror or str(err)))

    def _poll(self, events: int, deadline: Optional[float]) -> int:
        """Waits until the socket reports one of ``events`` (POLL* flags, plus
        POLLHUP/POLLERR which are always reported) or the deadline passes;
        returns the reported flags, 0 on timeout."""
        self._poller.modify(self._fd, events)
        while True:
            if deadline is None:
                timeout_ms = None
            else:
                left_ms = (deadline - time.monotonic()) * 1000
                if left_ms <= 0:
                    return 0
                timeout_ms = _POLL_MAX_MS if left_ms >= _POLL_MAX_MS else max(1, math.ceil(left_ms))
            ready = self._poller.poll(timeout_ms)
            if ready:
                return ready[0][1]

    def _deadline(self) -> Optional[float]:
        return None if self._timeout is None else time.monotonic() + self._timeout

    def _unsent_bytes(self) -> Optional[int]:
        """Bytes in the send buffer that the peer has not taken yet, or None
        where the system cannot tell. A drop is progress even while the
        socket stays unwritable: Linux reports it writable only once a third
        of the send buffer is free, which a slow reader can take longer than
        the timeout to reach."""
        if _TIOCOUTQ is None:
            return None
        try:
            return struct.unpack("i", fcntl.ioctl(self._fd, _TIOCOUTQ, b"\0\0\0\0"))[0]
        except OSError:
            return None

    def _magic_error(self, magic: bytes) -> ProtocolError:
        return ProtocolError(
            f"not a ravo server at {self._peer}: expected magic {MAGIC!r} "
            f"({_hex(MAGIC)}), received {magic!r} ({_hex(magic)})"
        )

    def _recv_exact(
        self, n: int, deadline: Optional[float], what: str, got: int, check_magic: bool = False
    ) -> bytes:
        """Handshake reads: exactly ``n`` bytes. ``got`` is how much of the
        handshake was already read, for the error text. With ``check_magic``
        the bytes are the start of the handshake and are compared with the
        magic as they arrive, so that a peer which is no ravo server is named
        at once, not after a timeout waiting for bytes it never sends."""
        chunks = []
        need = n
        while need:
            try:
                # Bounded chunks: a bogus count must not make recv allocate it.
                data = self._sock.recv(min(need, _ACK_READ))
            except BlockingIOError:
                if not self._poll(select.POLLIN, deadline):
                    raise TimeoutError(
                        f"timed out after {self._timeout} s waiting for the handshake "
                        f"from {self._peer} ({what})"
                    ) from None
                continue
            except OSError as err:
                raise ConnectionError(
                    f"connection to {self._peer} failed during the handshake "
                    f"({what}): {err.strerror or err}"
                ) from err
            if not data:
                raise ConnectionError(
                    f"server {self._peer} closed the connection during the handshake "
                    f"after {got + n - need} bytes ({what})"
                )
            chunks.append(data)
            need -= len(data)
            if check_magic:
                start = b"".join(chunks)[: len(MAGIC)]
                if not MAGIC.startswith(start):
                    raise self._magic_error(start)
        return b"".join(chunks)

    def _read_handshake(self) -> List[Leaf]:
        deadline = self._deadline()
        head = self._recv_exact(_HEADER.size, deadline, "header", 0, check_magic=True)
        _, version, count = _HEADER.unpack(head)  # the magic was checked as it arrived
        if version != VERSION:
            raise ProtocolError(
                f"unsupported ravo protocol version from {self._peer}: "
                f"expected {VERSION}, received {version}"
            )
        got = _HEADER.size
        leaves = []
        for i in range(count):
            rec = self._recv_exact(_LEAF_HEAD.size, deadline, f"leaf {i} of {count}", got)
            got += len(rec)
            dtype_size, ndim = _LEAF_HEAD.unpack(rec)
            shape: Tuple[int, ...] = ()
            if ndim:
                dims = self._recv_exact(4 * ndim, deadline, f"leaf {i} of {count}", got)
                got += len(dims)
                shape = struct.unpack(f"<{ndim}I", dims)
            nbytes = dtype_size
            for d in shape:
                nbytes *= d
            leaves.append(Leaf(dtype_size, shape, nbytes))
        return leaves

    def _take_acks(self, data: bytes) -> None:
        n = len(data)
        good = n  # length of the run of valid acknowledgements
        if data.count(ACK_BYTE) != n:
            good = next(i for i, b in enumerate(data) if b != ACK_BYTE)
        if self._acked + good > self._sent:
            # Every sample sent was acknowledged before the surplus: they count.
            claimed = self._acked + good
            self._acked = self._sent
            raise self._broken_error(
                ProtocolError,
                f"server {self._peer} sent {claimed} acknowledgements for "
                f"{self._sent} samples",
            )
        self._acked += good
        if good < n:
            raise self._broken_error(
                ProtocolError,
                f"expected acknowledgement byte 0x01 from {self._peer}, received "
                f"0x{data[good]:02x} after {self._acked} of {self._sent} "
                f"samples were acknowledged",
            )

    def _read_acks(self, wait: bool, deadline: Optional[float] = None) -> None:
        """Reads every acknowledgement that is available. With ``wait`` it
        first blocks (until ``deadline``) for at least one byte and raises
        `TimeoutError` when none comes."""
        while True:
            try:
                data = self._sock.recv(_ACK_READ)
            except BlockingIOError:
                if not wait:
                    return
                if not self._poll(select.POLLIN, deadline):
                    raise TimeoutError(
                        f"timed out after {self._timeout} s waiting for acknowledgements "
                        f"({self._acked} of {self._sent} samples acknowledged)"
                    ) from None
                continue
            except OSError as err:
                raise self._broken_error(
                    ConnectionError, self._closed_text(err.strerror or str(err))
                ) from err
            if not data:
                raise self._broken_error(ConnectionError, self._closed_text())
            self._take_acks(data)
            # One successful read satisfies a waiting caller; keep reading
            # without waiting only if the buffer may hold more.
            wait = False
            if len(data) < _ACK_READ:
                return

    def _send_one(self, bufs: List[Any]) -> None:
        """Writes one checked sample given as its non-empty byte buffers,
        after waiting for room in the window."""
        if self._sent - self._acked >= self._window:
            self._wait_outstanding_at_most(self._window - 1)
        count = len(bufs)
        if count > 1 and self._sample_size <= _JOIN_LIMIT:
            bufs = [b"".join(bufs)]
            count = 1
        if 0 < count <= _IOV_MAX:
            # The common case: the whole sample written by one call, without
            # the general loop's bookkeeping, which takes over from the first
            # byte not written.
            n = 0
            try:
                try:
                    if count == 1:
                        n = self._sock.send(bufs[0], _SEND_FLAGS)
                    else:
                        n = self._sock.sendmsg(bufs, (), _SEND_FLAGS)
                except BlockingIOError:
                    n = 0
                except OSError as err:
                    raise self._closed_error(err) from err
                if n == self._sample_size:
                    self._sent += 1
                    return
                if n:
                    bufs = _skip_bytes(bufs, n)
                self._write_samples(bufs, 1, n)
            except BaseException as exc:
                # Between this send and the loop's own guard.
                if n:
                    self._mark_partly_written(exc)
                raise
            return
        self._write_samples(bufs, 1)

    def _wait_for_room(self, samples: int) -> None:
        """Blocks until the window has room for ``samples`` more (1 <= samples <= window)."""
        if self._sent - self._acked > self._window - samples:
            self._wait_outstanding_at_most(self._window - samples)

    def _wait_outstanding_at_most(self, limit: int) -> None:
        # Each read takes at least one acknowledgement or times out, so a
        # fresh deadline per read bounds every stretch without progress; the
        # peer still taking the last samples' bytes is progress too.
        timed = self._timeout is not None
        while self._sent - self._acked > limit:
            unsent = self._unsent_bytes() if timed else None
            while True:
                try:
                    self._read_acks(wait=True, deadline=self._deadline())
                    break
                except TimeoutError:
                    now = self._unsent_bytes()
                    if unsent is None or now is None or now >= unsent:
                        raise
                    unsent = now

    def _write_samples(self, bufs: List[Any], samples: int, written: int = 0) -> None:
        """Writes ``samples`` whole samples given as a list of non-empty byte
        buffers, the window already having room for them, of which the caller
        already wrote the first ``written`` bytes (``bufs`` starts after them).
        Callers validated every sample beforehand. `sent` counts each sample
        as soon as its last byte is written.

        Acknowledgements are not read here unless the socket is full: they
        are taken in when the window fills, by `flush`, and when `acked` or
        `outstanding` is read, which saves a system call per sample."""
        # The clock runs from the first wait after the latest progress.
        waiting = False
        deadline: Optional[float] = None
        unsent: Optional[int] = None
        base = self._sent
        size = self._sample_size
        i = 0
        count = len(bufs)
        try:
            while i < count:
                try:
                    if count - i == 1:
                        n = self._sock.send(bufs[i], _SEND_FLAGS)
                    else:
                        n = self._sock.sendmsg(bufs[i : i + _IOV_MAX], (), _SEND_FLAGS)
                except BlockingIOError:
                    # The socket buffer is full. Keep reading acknowledgements
                    # while waiting: with a large window the server could
                    # otherwise block writing acks into our full receive buffer
                    # and stop reading, and both sides would wait forever.
                    if not waiting:
                        waiting = True
                        deadline = self._deadline()
                        unsent = self._unsent_bytes()
                    flags = self._poll(select.POLLOUT | select.POLLIN, deadline)
                    if not flags:
                        now = self._unsent_bytes()
                        if unsent is not None and now is not None and now < unsent:
                            # The peer took bytes meanwhile: progress.
                            deadline, unsent = self._deadline(), now
                            continue
                        text = (
                            f"timed out after {self._timeout} s waiting to send a sample "
                            f"({self._acked} of {self._sent} samples acknowledged)"
                        )
                        if written % size:
                            raise self._broken_error(
                                TimeoutError,
                                text + "; the sample was partially written and the stream "
                                "can no longer be used",
                            )
                        raise TimeoutError(text) from None
                    if flags & ~select.POLLOUT:
                        self._read_acks(wait=False)
                    continue
                except OSError as err:
                    raise self._closed_error(err) from err
                if n:
                    written += n
                    self._sent = base + written // size
                    waiting = False  # progress: the next wait gets the whole timeout
                while n:
                    left = len(bufs[i])
                    if n >= left:
                        n -= left
                        i += 1
                    else:
                        bufs[i] = memoryview(bufs[i])[n:]
                        n = 0
        except BaseException as exc:
            # Anything but the socket's own errors (handled above): an
            # interrupt, or an exception from a signal handler, while a
            # sample was only partly written.
            if written % size:
                self._mark_partly_written(exc)
            raise
        self._sent = base + samples


def _skip_bytes(bufs: List[Any], n: int) -> List[Any]:
    """The buffers that remain after the first ``n`` bytes of ``bufs``."""
    i = 0
    while n >= len(bufs[i]):
        n -= len(bufs[i])
        i += 1
    rest = bufs[i:]
    if n:
        rest[0] = memoryview(rest[0])[n:]
    return rest


def _as_byte_view(value: Any, what: str) -> memoryview:
    """A flat unsigned-byte view of a bytes-like object or NumPy array, copying
    only when the memory is not C-contiguous."""
    np = sys.modules.get("numpy")
    if np is not None and isinstance(value, (np.ndarray, np.generic)):
        arr = np.ascontiguousarray(value)
        if arr.dtype.hasobject:
            raise TypeError(f"{what}: arrays of Python objects cannot be sent")
        return memoryview(arr.reshape(-1).view(np.uint8))
    try:
        view = memoryview(value)
    except TypeError:
        raise TypeError(
            f"{what}: expected a bytes-like object or NumPy array, got "
            f"{type(value).__name__}"
        ) from None
    if not view.c_contiguous:
        view = memoryview(view.tobytes())
    if view.ndim != 1 or view.format != "B":
        view = view.cast("B")
    return view


def _leaf_bytes(i: int, value: Any, spec: Leaf) -> memoryview:
    np = sys.modules.get("numpy")
    view = None
    if np is not None and isinstance(value, (np.ndarray, np.generic)):
        itemsize = value.itemsize
        if itemsize != spec.dtype_size:
            raise ValueError(
                f"leaf {i}: element size {itemsize} does not match the layout's "
                f"element size {spec.dtype_size}"
            )
        shape = value.shape  # a tuple, for arrays and NumPy scalars alike
        if shape != spec.shape:
            raise ValueError(
                f"leaf {i}: shape {shape} does not match the layout's shape {spec.shape}"
            )
        # Per-leaf cost decides a multi-leaf producer's rate: a C-contiguous
        # array or scalar that exports its buffer is viewed as bytes directly
        # (about 0.5 us, against 2 us through NumPy calls). Anything else
        # (strided arrays, dtypes without a buffer format, arrays of Python
        # objects) takes the general route below, which copies or refuses.
        if not value.dtype.hasobject:
            try:
                direct = memoryview(value)
                if direct.c_contiguous:
                    view = direct.cast("B")
            except (TypeError, ValueError, BufferError, NotImplementedError):
                view = None
    if view is None:
        view = _as_byte_view(value, f"leaf {i}")
    if view.nbytes != spec.nbytes:
        raise ValueError(
            f"leaf {i}: {view.nbytes} bytes given, the layout needs {spec.nbytes} bytes"
        )
    return view


# ---------------------------------------------------------------------- CLI


def _format_rate(n: float) -> str:
    for unit in ("", "K", "M", "G"):
        if abs(n) < 1000:
            return f"{n:.1f} {unit}".rstrip()
        n /= 1000
    return f"{n:.1f} T"


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m ravo_producer",
        description="Stream random samples to a ravo server and report the rate.",
    )
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--count", type=int, default=1000, help="samples to send (default 1000)")
    parser.add_argument(
        "--seconds", type=float, default=None, help="send for this long instead of --count"
    )
    parser.add_argument("--window", type=int, default=DEFAULT_WINDOW)
    parser.add_argument(
        "--timeout", type=float, default=30.0, help="seconds any single wait may take (default 30)"
    )
    args = parser.parse_args(argv)

    try:
        producer = Producer(args.host, args.port, window=args.window, timeout=args.timeout)
    except (OSError, ValueError) as err:
        print(f"ravo_producer: {err}", file=sys.stderr)
        return 1
    layout = ", ".join(f"{leaf.dtype_size}B x {leaf.shape}" for leaf in producer.leaves)
    print(
        f"connected to {args.host}:{args.port}: {len(producer.leaves)} leaves [{layout}], "
        f"{producer.sample_size} bytes per sample",
        flush=True,
    )
    # A few distinct random samples, at most 64 MiB of them, reused in turn.
    pool_size = max(1, min(16, (64 << 20) // producer.sample_size))
    pool = [[os.urandom(leaf.nbytes) for leaf in producer.leaves] for _ in range(pool_size)]
    # Sent a window at a time with send_many: one system call per chunk.
    chunk = max(1, producer.window)
    start = time.perf_counter()
    stop = None if args.seconds is None else start + args.seconds
    n = 0
    try:
        while (n < args.count) if stop is None else (time.perf_counter() < stop):
            k = chunk if stop is not None else min(chunk, args.count - n)
            producer.send_many([pool[(n + j) % pool_size] for j in range(k)])
            n += k
        producer.close()
    except (OSError, ValueError) as err:
        producer.close(flush=False)
        print(f"ravo_producer: {err}", file=sys.stderr)
        return 1
    elapsed = time.perf_counter() - start
    rate = n / elapsed if elapsed > 0 else float("inf")
    print(
        f"sent {n} samples ({n * producer.sample_size} bytes) in {elapsed:.3f} s: "
        f"{_format_rate(rate)} samples/s, {_format_rate(rate * producer.sample_size)}B/s"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
