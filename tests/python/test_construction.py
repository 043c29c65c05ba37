"""_Server construction: argument conversion, checks in their order, texts; and the
conversion of submit()'s data, which shares the sequence handling."""

import os
import subprocess
import sys
import textwrap

import pytest

import ravo

S = ravo._Server


def test_minimal_server_has_no_transport_and_no_drainer_threads():
    def drainers():
        # By name: other tests' threads may still be coming and going.
        names = []
        for tid in os.listdir("/proc/self/task"):
            try:
                with open(f"/proc/self/task/{tid}/comm") as f:
                    names.append(f.read().strip())
            except OSError:
                pass  # the thread ended while listed
        return names.count("drainer")

    before = drainers()
    s = S([[4], [2, 3]], [4, 8], 2)
    assert drainers() == before  # no drainer pool without a transport
    with pytest.raises(RuntimeError, match=r"^no transport configured; pass TcpTransport to __init__$"):
        s.port
    with pytest.raises(RuntimeError, match=r"^no transport configured; pass TcpTransport to __init__$"):
        s.start()
    # Two leaves of 16 and 48 bytes per sample.
    s.submit([bytes(range(16)), bytes(range(48))])
    s.submit([b"\x01" * 16, b"\x02" * 48])
    arrays, _ = s.sample()
    assert [a.shape for a in arrays] == [(32,), (96,)]
    assert bytes(arrays[0]) == bytes(range(16)) + b"\x01" * 16
    assert bytes(arrays[1]) == bytes(range(48)) + b"\x02" * 48


def test_all_parameters_by_keyword():
    s = S(shapes=[[2]], dtype_sizes=[1], batch_size=1, transport=None, num_buffers=2, num_drainers=1,
          producer_queue_size=1, pin_host_memory=False)
    s.submit(data=[b"ab"])
    arrays, _ = s.sample()
    assert bytes(arrays[0]) == b"ab"


@pytest.mark.parametrize(
    "kwargs, exc, fragment",
    [
        (dict(shapes="ab", dtype_sizes=[1], batch_size=1), TypeError, "argument 'shapes'"),
        (dict(shapes=["ab"], dtype_sizes=[1], batch_size=1), TypeError, "argument 'shapes'"),
        (dict(shapes=5, dtype_sizes=[1], batch_size=1), TypeError, "argument 'shapes'"),
        (dict(shapes=[[1.5]], dtype_sizes=[1], batch_size=1), TypeError, "argument 'shapes'"),
        (dict(shapes=[[-1]], dtype_sizes=[1], batch_size=1), OverflowError, ""),
        (dict(shapes=[[1]], dtype_sizes="a", batch_size=1), TypeError, "argument 'dtype_sizes'"),
        (dict(shapes=[[1]], dtype_sizes=[-4], batch_size=1), OverflowError, ""),
        (dict(shapes=[[1]], dtype_sizes=[1], batch_size="2"), TypeError, "argument 'batch_size'"),
        (dict(shapes=[[1]], dtype_sizes=[1], batch_size=2**64), OverflowError, ""),
        (dict(shapes=[[1]], dtype_sizes=[1], batch_size=1, num_buffers=None), TypeError, "argument 'num_buffers'"),
        (dict(shapes=[[1]], dtype_sizes=[1], batch_size=1, num_drainers=-1), OverflowError, ""),
        (dict(shapes=[[1]], dtype_sizes=[1], batch_size=1, producer_queue_size=1.0), TypeError,
         "argument 'producer_queue_size'"),
        (dict(shapes=[[1]], dtype_sizes=[1], batch_size=1, pin_host_memory=1), TypeError,
         "argument 'pin_host_memory'"),
        (dict(shapes=[[1]], dtype_sizes=[1], batch_size=1, pin_host_memory=None), TypeError,
         "argument 'pin_host_memory'"),
    ],
)
def test_conversion_errors_name_the_parameter(kwargs, exc, fragment):
    with pytest.raises(exc) as ei:
        S(**kwargs)
    assert fragment in str(ei.value)


def test_conversion_runs_in_parameter_order():
    # Both batch_size and num_buffers are wrong: the earlier parameter decides.
    with pytest.raises(TypeError, match="argument 'batch_size'"):
        S([[1]], [1], "x", num_buffers="y")
    # A wrong transport is never converted, so a later bad int still reports.
    with pytest.raises(TypeError, match="argument 'num_buffers'"):
        S([[1]], [1], 1, "not a transport", "y")


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (([[4]], [4, 8], 2), {}, "shapes and dtype_sizes must have same length"),
        (([[4]], [4, 8], 0), {}, "shapes and dtype_sizes must have same length"),
        (([[4]], [4], 0), {}, "batch_size must be > 0"),
        (([[4]], [4], 0), {"num_buffers": 1}, "batch_size must be > 0"),
        (([[4]], [4], 2), {"num_buffers": 1}, "num_batches must be >= 2"),
        (([], [], 2), {"num_buffers": 1}, "num_batches must be >= 2"),
        (([], [], 2), {}, "slot_bytes must not be empty"),
        # 2^32 * 2^32 wraps to 0; 3 * 2^63 wraps to 2^63, not a multiple of 3.
        (([[1]], [1], 2**32), {"num_buffers": 2**32}, "capacity must be > 0"),
        (([[1]], [1], 3), {"num_buffers": 2**63}, "capacity must be a multiple of batch_size"),
    ],
)
def test_configuration_refusals_in_order(args, kwargs, message):
    with pytest.raises(ValueError) as ei:
        S(*args, **kwargs)
    assert str(ei.value) == message


def test_overflowing_products_are_refused_before_allocation():
    # 2^32 * (2^32 + 1) wraps to a valid multiple of the batch size.
    with pytest.raises(ValueError, match=r"batch_size \(4294967296\) \* num_buffers \(4294967297\) overflows"):
        S([[1]], [1], 2**32, num_buffers=2**32 + 1)
    with pytest.raises(ValueError, match=r"^leaf 1: shape \[4294967296, 4294967296\] \* dtype_size 2 overflows"):
        S([[1], [2**32, 2**32]], [1, 2], 2)
    with pytest.raises(ValueError, match=r"^leaf 0: region size .* overflows 64 bits"):
        S([[2**62]], [1], 2)


def test_allocation_failure_is_memory_error():
    with pytest.raises(MemoryError):
        S([[2**50]], [1], 2)
    # The selector's per-batch counters come first; their failure says so
    # instead of raising a bare MemoryError.
    with pytest.raises(MemoryError, match=r"^cannot allocate the completion counters of 1152921504606846976 batches "
                                          r"\(128 bytes each\)$"):
        S([[1]], [1], 1, num_buffers=2**60)  # 2**67 bytes: refused before any allocation


def test_absurd_num_drainers_is_a_memory_error_that_says_what_failed():
    with pytest.raises(MemoryError, match=r"^cannot allocate the metrics of 2305843009213693952 drainers "
                                          r"\(128 bytes each\)$"):
        S([[4]], [4], 2, num_drainers=2**61)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        # 2^40 batches would need 128 TiB of completion counters; 2^24 batches
        # took seconds and 2 GiB to allocate before the empty layout was found.
        (([], [], 1), {"num_buffers": 2**40}, "slot_bytes must not be empty"),
        (([], [], 1), {"num_buffers": 2**24}, "slot_bytes must not be empty"),
        (([[1]], [1], 2), {"num_buffers": 1, "num_drainers": 2**61}, "num_batches must be >= 2"),
        (([[2**62]], [1], 2), {"num_buffers": 2**40}, "leaf 0: region size 4611686018427387904 bytes per slot * "
                                                      "capacity 2199023255552 overflows 64 bits"),
    ],
)
def test_size_checks_decide_before_anything_is_allocated(args, kwargs, message):
    with pytest.raises(ValueError) as ei:
        S(*args, **kwargs)
    assert str(ei.value) == message


# ---------------------------------------------------------------------------
# Sequences that change while they are converted. An item's __index__ is
# Python code and may empty the very list being read; the conversion works
# on a snapshot taken at the call, so nothing freed is ever read. Each case
# runs in a child interpreter so that a crash fails the test, not the run.

LIST_CLEARING_ITEM = """
import ravo
class Clears:
    def __init__(self, target, value):
        self.target, self.value = target, value
    def __index__(self):
        self.target.clear()
        return self.value
"""


def run_child(code):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run([sys.executable, "-X", "faulthandler", "-c", LIST_CLEARING_ITEM + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120, env=env)


@pytest.mark.parametrize(
    "setup",
    [
        "d = []; d.extend([Clears(d, 4), 7]); args = ([[4], [4]], d, 2)",  # dtype_sizes cleared
        "s = []; s.extend([[Clears(s, 4)], [5], [6]]); args = (s, [1, 1, 1], 2)",  # shapes cleared
        "inner = []; inner.extend([Clears(inner, 4), 5, 6]); args = ([inner], [1], 2)",  # one shape cleared
    ],
)
def test_list_emptied_by_its_own_item_during_construction_is_read_as_it_was(setup):
    child = run_child(setup + """
server = ravo._Server(*args)
print("built")
""")
    assert child.returncode == 0 and "built" in child.stdout, child.stderr[-2000:]


def test_submit_data_emptied_by_its_own_item_is_read_as_it_was():
    child = run_child("""
server = ravo._Server([[4], [4]], [1, 1], 1)
data = []
data.extend([[Clears(data, 1), 2, 3, 4], b"abcd"])
server.submit(data)
inner = []
inner.extend([Clears(inner, 5), 6, 7, 8])
server.submit([inner, b"efgh"])
first, second = server.sample()[0], server.sample()[0]
print([bytes(a) for a in first], [bytes(a) for a in second])
""")
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout.strip() == (r"[b'\x01\x02\x03\x04', b'abcd'] [b'\x05\x06\x07\x08', b'efgh']")


class NotIterable:
    __iter__ = None  # passes the sequence check, but iter() refuses it

    def __len__(self):
        return 1

    def __getitem__(self, i):
        return [4]


class IterRefuses(NotIterable):
    def __iter__(self):
        raise TypeError("custom refusal")


@pytest.mark.parametrize(
    "kwargs, text",
    [
        (dict(shapes=NotIterable(), dtype_sizes=[4], batch_size=2), "argument 'shapes': 'NotIterable' object is not iterable"),
        (dict(shapes=[NotIterable()], dtype_sizes=[4], batch_size=2), "argument 'shapes': 'NotIterable' object is not iterable"),
        (dict(shapes=[[4]], dtype_sizes=IterRefuses(), batch_size=2), "argument 'dtype_sizes': custom refusal"),
    ],
)
def test_type_error_from_iterating_keeps_the_interpreters_text(kwargs, text):
    with pytest.raises(TypeError) as ei:
        S(**kwargs)
    assert str(ei.value) == text


def test_transport_refusal_comes_after_size_checks():
    with pytest.raises(ValueError, match="^slot_bytes must not be empty$"):
        S([], [], 2, "tcp")
    with pytest.raises(ValueError, match="^transport must be TcpTransport$"):
        S([[1]], [1], 2, "tcp")


def test_a_subclass_of_tcp_transport_is_a_transport():
    class Tagged(ravo.TcpTransport):
        pass

    s = S([[1]], [1], 1, Tagged(0, 1), num_drainers=1)
    s.start()
    try:
        assert s.port > 0
    finally:
        s.shutdown()


def test_none_transport_is_like_no_transport():
    s = S([[1]], [1], 1, None)
    with pytest.raises(RuntimeError, match="no transport configured"):
        s.start()


def test_large_ring_costs_no_memory_until_written():
    # 3 x 64 MiB zero-filled regions: calloc leaves the pages untouched.
    import resource

    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    s = S([[1 << 20]], [1], 64)
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    assert after - before < 64 * 1024  # KiB
    del s
