"""Type stubs for the ravo extension module."""

from typing import Optional, Sequence, Union

import numpy as np
import numpy.typing as npt

# One leaf's bytes: a bytes-like object, a sequence of byte values, or a
# one-dimensional uint8 array.
_Leaf = Union[bytes, bytearray, memoryview, Sequence[int], npt.NDArray[np.uint8]]

class TcpTransport:
    def __init__(self, port: int, num_threads: int = 8) -> None: ...

class HistSnapshot:
    """Histogram percentiles (ns) exposed to Python. Mirrors
    `metrics::HistSnapshot`."""

    @property
    def count(self) -> int: ...
    @property
    def min_ns(self) -> int: ...
    @property
    def max_ns(self) -> int: ...
    @property
    def mean_ns(self) -> float: ...
    @property
    def p50_ns(self) -> int: ...
    @property
    def p90_ns(self) -> int: ...
    @property
    def p99_ns(self) -> int: ...

class SampleInfo:
    """Snapshot of backpressure + throughput metrics returned with every sample.

    The histogram fields and CAS counters are populated only when the
    `detailed-metrics` build feature is enabled; otherwise they come back as
    zero-valued `HistSnapshot`s / zero counters."""

    @property
    def store_size(self) -> int: ...
    @property
    def active_connections(self) -> int: ...
    @property
    def queue_depth_sum(self) -> int: ...
    @property
    def queue_depth_max(self) -> int: ...
    @property
    def push_blocked_count(self) -> int: ...
    @property
    def samples_inserted_total(self) -> int: ...
    @property
    def notify_count(self) -> int: ...
    @property
    def cas_success_total(self) -> int: ...
    @property
    def cas_failure_total(self) -> int: ...
    @property
    def reservation_retries_total(self) -> int: ...
    @property
    def drain_round(self) -> HistSnapshot: ...
    @property
    def memcpy(self) -> HistSnapshot: ...
    @property
    def queue_dwell(self) -> HistSnapshot: ...

class _Server:
    def __init__(
        self,
        shapes: Sequence[Sequence[int]],
        dtype_sizes: Sequence[int],
        batch_size: int,
        transport: Optional[TcpTransport] = None,
        num_buffers: int = 3,
        num_drainers: int = 8,
        producer_queue_size: int = 8,
        pin_host_memory: bool = False,
    ) -> None: ...
    def start(self) -> None:
        """Start the transport (bind port, begin accepting connections)."""
    @property
    def port(self) -> int:
        """The port the transport is listening on, once started."""
    def sample(self) -> Optional[tuple[list[npt.NDArray[np.uint8]], SampleInfo]]:
        """Block until a batch is ready.

        Returns `(arrays, info)` where `arrays` is a list of uint8 numpy views
        into server-owned memory (invalidated on the next `sample` call), and
        `info` is a `SampleInfo` snapshot of backpressure metrics. Returns None
        on shutdown."""
    def submit(self, data: Sequence[_Leaf]) -> None:
        """Submit raw bytes for a sample (for in-process use / testing / benchmarking).
        Releases the GIL so multiple Python threads can submit concurrently."""
    def reset_histograms(self) -> None:
        """Reset the per-drainer timing histograms (memcpy, drain_round,
        queue_dwell). Counters and gauges are unchanged. Call at the boundary
        of a metrics window so the next `SampleInfo` reflects only events
        recorded after this call."""
    def shutdown(self) -> None:
        """Signal shutdown: stops transport, drainer pool, then unblocks sample."""
