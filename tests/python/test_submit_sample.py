"""The in-process path: submit, sample, views, FIFO, backpressure, shutdown."""

import _thread
import gc
import os
import pickle
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import ravo

from support.raw_producer import WAIT

S = ravo._Server


def fill(server, n, leaves):
    for i in range(n):
        server.submit([bytes([i % 256]) * size for size in leaves])


def test_views_shapes_dtype_and_read_only():
    s = S([[2, 3], []], [4, 8], 5)
    fill(s, 5, [24, 8])
    arrays, info = s.sample()
    assert isinstance(arrays, list) and len(arrays) == 2
    assert arrays[0].shape == (120,) and arrays[1].shape == (40,)
    assert arrays[0].dtype == np.uint8 and arrays[1].dtype == np.uint8
    for a in arrays:
        assert a.flags.c_contiguous and a.flags.aligned and not a.flags.writeable and not a.flags.owndata
        with pytest.raises(ValueError, match="read-only"):
            a[0] = 1
    assert isinstance(info, ravo.SampleInfo)
    # Consumers reinterpret the bytes with the layout they declared.
    assert arrays[0].view(np.int32).reshape(5, 2, 3).shape == (5, 2, 3)


def test_zero_dimension_leaf_gives_empty_view():
    s = S([[0], [2]], [4, 1], 2)
    s.submit([b"", b"ab"])
    s.submit([b"", b"cd"])
    arrays, _ = s.sample()
    assert arrays[0].shape == (0,)
    assert bytes(arrays[1]) == b"abcd"


def test_submit_accepts_bytes_bytearray_int_lists_and_byte_buffers():
    s = S([[16], [24]], [1, 1], 4)
    s.submit([b"a" * 16, b"b" * 24])
    s.submit([bytearray(b"c" * 16), [0] * 24])
    s.submit((memoryview(b"d" * 16), np.full(24, 7, dtype=np.uint8)))
    s.submit(data=[list(range(16)), tuple(range(24))])
    arrays, _ = s.sample()
    a0, a1 = bytes(arrays[0]), bytes(arrays[1])
    assert a0[:16] == b"a" * 16 and a1[:24] == b"b" * 24
    assert a0[16:32] == b"c" * 16 and a1[24:48] == bytes(24)
    assert a0[32:48] == b"d" * 16 and a1[48:72] == bytes([7] * 24)
    assert a0[48:] == bytes(range(16)) and a1[72:] == bytes(range(24))


def test_submit_fewer_or_shorter_items_are_accepted():
    s = S([[4], [4]], [1, 1], 1, num_buffers=2)
    s.submit([b"wxyz", b"1234"])
    s.sample()
    s.submit([b"abcd", b"5678"])
    s.sample()
    s.submit([b"AB"])  # slot 0 again: leaf 0 partly, leaf 1 untouched
    arrays, _ = s.sample()
    assert bytes(arrays[0]) == b"AByz"
    assert bytes(arrays[1]) == b"1234"


@pytest.mark.parametrize(
    "data, exc, text",
    [
        ("ab", TypeError, "argument 'data'"),
        (["ab"], TypeError, "argument 'data'"),
        ([b"ab", 5], TypeError, "argument 'data'"),
        ([[1.0]], TypeError, "argument 'data'"),
        # A byte buffer that is not a sequence is no item.
        ([pickle.PickleBuffer(b"abcd")], TypeError,
         "argument 'data': 'pickle.PickleBuffer' object cannot be converted to 'Sequence'"),
        ([[256]], OverflowError, ""),
        ([[-1]], OverflowError, ""),
        ([b"a", b"b", b"c"], ValueError, "data has 3 items but the server has 2 leaves"),
        ([b"a" * 5], ValueError, "data[0] has 5 bytes but leaf 0 holds 4 bytes per sample"),
        ([b"", bytearray(9)], ValueError, "data[1] has 9 bytes but leaf 1 holds 8 bytes per sample"),
    ],
)
def test_submit_refusals_change_nothing(data, exc, text):
    s = S([[4], [8]], [1, 1], 1, num_buffers=2)
    with pytest.raises(exc) as ei:
        s.submit(data)
    assert text in str(ei.value)
    s.shutdown()
    assert s.sample() is None  # nothing was reserved or committed


def test_fifo_hand_out_and_give_back(background):
    s = S([[1]], [1], 2, num_buffers=2)
    fill(s, 4, [1])  # ring full: batches 0 and 1
    blocked = background(s.submit, [b"\x09"])
    time.sleep(0.1)
    assert not blocked.done()
    first, _ = s.sample()  # hands out batch 0, gives nothing back
    assert bytes(first[0]) == b"\x00\x01"
    time.sleep(0.1)
    assert not blocked.done(), "a writer overwrote a batch still held by the consumer"
    arrays, _ = s.sample()  # gives batch 0 back
    assert bytes(arrays[0]) == b"\x02\x03"
    blocked.get()
    s.submit([b"\x0a"])
    arrays, _ = s.sample()
    assert bytes(arrays[0]) == b"\x09\x0a"
    # The first call's arrays are views of the slots that were given back and
    # refilled: they show the newer samples, not a copy of the old ones.
    assert bytes(first[0]) == b"\x09\x0a"


def test_shutdown_releases_waiting_sample_then_none_at_once(background):
    s = S([[1]], [1], 2)
    waiting = background(s.sample)
    time.sleep(0.1)
    assert not waiting.done()
    assert s.shutdown() is None
    assert waiting.get() is None
    t0 = time.monotonic()
    assert s.sample() is None
    assert s.sample() is None
    assert time.monotonic() - t0 < 5
    assert s.shutdown() is None


def test_complete_head_batch_still_handed_out_after_shutdown():
    s = S([[1]], [1], 2)
    fill(s, 3, [1])
    s.shutdown()
    arrays, _ = s.sample()
    assert bytes(arrays[0]) == b"\x00\x01"
    assert s.sample() is None


def test_submit_on_full_ring_after_shutdown_raises(background):
    s = S([[1]], [1], 1, num_buffers=2)
    fill(s, 2, [1])
    blocked = background(s.submit, [b"x"])
    time.sleep(0.1)
    s.shutdown()
    with pytest.raises(RuntimeError, match="^server is shut down$"):
        blocked.get()
    with pytest.raises(RuntimeError, match="^server is shut down$"):
        s.submit([b"y"])


def test_submit_with_room_after_shutdown_still_inserts():
    s = S([[1]], [1], 1)
    s.shutdown()
    s.submit([b"z"])
    arrays, _ = s.sample()
    assert bytes(arrays[0]) == b"z"


def test_concurrent_sample_is_refused(background):
    s = S([[1]], [1], 1)
    first = background(s.sample)
    time.sleep(0.1)
    with pytest.raises(RuntimeError, match="^sample\\(\\) is already in progress in another thread$"):
        s.sample()
    s.submit([b"q"])
    arrays, _ = first.get()
    assert bytes(arrays[0]) == b"q"


def test_sample_reentered_from_a_signal_handler_says_this_thread():
    s = S([[1]], [1], 1)
    seen = []

    def handler(signum, frame):
        try:
            s.sample()
        except RuntimeError as e:
            seen.append(str(e))
            raise

    old = signal.signal(signal.SIGUSR1, handler)
    try:
        threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGUSR1)).start()
        with pytest.raises(RuntimeError):
            s.sample()
    finally:
        signal.signal(signal.SIGUSR1, old)
    assert seen == ["sample() is already in progress on this thread"]
    s.submit([b"r"])
    assert bytes(s.sample()[0][0]) == b"r"


def test_sample_without_numpy_fails_and_the_next_call_gives_that_batch_back():
    # A fresh interpreter in which NumPy cannot be imported when the first
    # view is made: the call fails, its batch stays handed out, and once NumPy
    # can be imported the next call gives it back and returns the next one
    # (neither the same batch again nor a lost one).
    child = textwrap.dedent(
        """
        import sys
        import ravo
        assert "numpy" not in sys.modules
        sys.modules["numpy"] = None
        s = ravo._Server([[1]], [1], 1)
        for b in (b"a", b"b", b"c"):
            s.submit([b])
        try:
            s.sample()
        except Exception:
            pass
        else:
            raise SystemExit("sample() without numpy returned")
        del sys.modules["numpy"]
        arrays, info = s.sample()
        print(bytes(arrays[0]))
        arrays, info = s.sample()
        print(bytes(arrays[0]))
        """
    )
    out = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, timeout=120,
                         env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["b'b'", "b'c'"]


def test_notify_count_already_counts_the_batch_it_comes_with():
    # Samples above the under-lock size are copied and committed with the
    # interpreter lock released, so the consumer can take a batch while its
    # completing writer has yet to count it.
    size, batch, per_thread = 20 << 10, 2, 400
    s = S([[size]], [1], batch, num_buffers=4)
    sample = [bytes(size)]

    def writer():
        for _ in range(per_thread):
            s.submit(sample)

    threads = [threading.Thread(target=writer) for _ in range(2)]
    for t in threads:
        t.start()
    for received in range(1, 2 * per_thread // batch + 1):
        _, info = s.sample()
        assert info.notify_count >= received
    for t in threads:
        t.join(30)


def test_views_keep_batch_memory_alive_after_server_is_gone():
    s = S([[4]], [1], 2)
    s.submit([b"abcd"])
    s.submit([b"efgh"])
    arrays, _ = s.sample()
    del s
    gc.collect()
    assert bytes(arrays[0]) == b"abcdefgh"
    base = arrays[0].base
    assert arrays[1 - 1].base is base
    assert sys.getrefcount(base) == 3  # the array, the local and the call's argument


def test_sample_result_reference_counts():
    s = S([[4], [2]], [1, 1], 1)
    s.submit([b"abcd", b"ef"])
    result = s.sample()
    assert sys.getrefcount(result) == 2
    arrays, info = result
    assert sys.getrefcount(arrays) == 3  # tuple, local, argument
    base = arrays[0].base
    assert arrays[1].base is base
    assert sys.getrefcount(base) == 4  # two arrays, local, argument
    del result, arrays
    assert sys.getrefcount(base) == 2


def test_ctrl_c_interrupts_waiting_sample_and_server_stays_usable():
    s = S([[1]], [1], 1)
    timer = threading.Timer(0.2, _thread.interrupt_main)
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        s.sample()
    timer.join()
    s.submit([b"k"])
    arrays, _ = s.sample()
    assert bytes(arrays[0]) == b"k"


def test_ctrl_c_interrupts_submit_waiting_for_room():
    s = S([[1]], [1], 1, num_buffers=2)
    fill(s, 2, [1])
    timer = threading.Timer(0.2, _thread.interrupt_main)
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        s.submit([b"x"])
    timer.join()
    # Nothing was reserved by the interrupted call: exactly two batches wait.
    assert bytes(s.sample()[0][0]) == b"\x00"
    assert bytes(s.sample()[0][0]) == b"\x01"
    s.shutdown()
    assert s.sample() is None


@pytest.mark.parametrize("kind, repeat", [("bytearray", 1), ("numpy", 1), ("memoryview", 1), ("numpy", 4096)])
def test_submit_waiting_for_room_holds_a_snapshot_not_the_callers_buffer(kind, repeat):
    # A submit that waits for room has already copied a mutable buffer: the
    # caller's object is free (a bytearray can be resized) and changing it
    # meanwhile does not change the sample. A large NumPy array, which is
    # copied without the interpreter lock when a slot is free, takes the
    # same snapshot when none is.
    size = 8 * repeat
    s = S([[size]], [1], 1, num_buffers=2)
    fill(s, 2, [size])
    backing = bytearray(b"original" * repeat)
    item = {"bytearray": backing, "numpy": np.frombuffer(backing, dtype=np.uint8),
            "memoryview": memoryview(backing)}[kind]
    done = threading.Event()
    t = threading.Thread(target=lambda: (s.submit([item]), done.set()))
    t.start()
    time.sleep(0.2)
    assert not done.is_set()
    backing[:] = b"CHANGED!" * repeat
    if kind == "bytearray":
        backing.extend(b"more")  # no BufferError: nothing holds it exported
    assert bytes(s.sample()[0][0]) == b"\x00" * size
    assert bytes(s.sample()[0][0]) == b"\x01" * size
    assert done.wait(WAIT)
    t.join()
    assert bytes(s.sample()[0][0]) == b"original" * repeat


def test_submit_from_a_signal_handler_inside_a_waiting_submit_keeps_both_samples():
    # The handler runs on the thread whose submit is waiting (between its
    # waits) and submits a larger mutable sample of its own: each call must
    # keep its own copy of the caller's bytes.
    s = S([[4096]], [1], 1, num_buffers=2)
    fill(s, 2, [4096])
    inner = bytearray(b"i" * 4096)

    def handler(signum, frame):
        s.submit([inner])

    old = signal.signal(signal.SIGUSR1, handler)
    got = []

    def consumer():
        time.sleep(0.3)
        for _ in range(4):
            got.append(bytes(s.sample()[0][0]))

    c = threading.Thread(target=consumer)
    try:
        threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGUSR1)).start()
        c.start()
        s.submit([bytearray(b"o" * 16)])
        c.join(WAIT)
    finally:
        signal.signal(signal.SIGUSR1, old)
    assert not c.is_alive()
    assert got[:3] == [b"\x00" * 4096, b"\x01" * 4096, b"i" * 4096]
    assert got[3][:16] == b"o" * 16  # a shorter item fills the start of its slot


def test_metrics_without_transport():
    s = S([[1]], [1], 4)
    threads = [threading.Thread(target=fill, args=(s, 4, [1])) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    _, info = s.sample()
    assert info.notify_count == 2
    assert info.store_size == 4  # the second batch is complete and not yet handed out
    for name in ("active_connections", "push_blocked_count", "queue_depth_sum", "queue_depth_max",
                 "samples_inserted_total", "cas_success_total", "cas_failure_total",
                 "reservation_retries_total"):
        assert getattr(info, name) == 0, name
    assert s.reset_histograms() is None
    _, info2 = s.sample()
    assert info2.notify_count == 2
    m = info.memcpy
    assert m is not info.memcpy
    # Two reads are equal but distinct objects: equal by value, hashed alike.
    assert m == info.memcpy and not m != info.memcpy and hash(m) == hash(info.memcpy)
    assert m != (0,) * 7 and m != 0
    assert isinstance(m, ravo.HistSnapshot)
    assert (m.count, m.min_ns, m.max_ns, m.p50_ns, m.p90_ns, m.p99_ns) == (0,) * 6
    assert m.mean_ns == 0.0 and isinstance(m.mean_ns, float)
    for h in (info.drain_round, info.queue_dwell):
        assert h.count == 0


def deliver_from_threads(s, writer, n_threads, per_thread, batch, ids_of):
    """Runs writer(t) on n_threads threads while this thread samples every
    batch; ids_of(arrays) checks a batch's contents and gives each sample's
    (thread, sequence). Every sample must arrive once, each thread's in order."""
    threads = [threading.Thread(target=writer, args=(t,)) for t in range(n_threads)]
    for t in threads:
        t.start()
    expected = [0] * n_threads
    for _ in range(n_threads * per_thread // batch):
        arrays, _ = s.sample()
        for t, i in ids_of(arrays):
            assert i == expected[t]
            expected[t] += 1
    for t in threads:
        t.join(WAIT)
    assert expected == [per_thread] * n_threads


def test_many_threads_submit_every_sample_once_in_order():
    n_threads, per_thread, batch = 4, 5000, 50
    s = S([[8], [8]], [1, 1], batch)

    def writer(t):
        for i in range(per_thread):
            v = (t << 32 | i).to_bytes(8, "little")
            s.submit([v, bytes(reversed(v))])

    def ids_of(arrays):
        vals = arrays[0].view("<u8")
        checks = arrays[1].reshape(batch, 8)[:, ::-1].copy().view("<u8").ravel()
        assert (vals == checks).all()
        return [(v >> 32, v & 0xFFFFFFFF) for v in vals.tolist()]

    deliver_from_threads(s, writer, n_threads, per_thread, batch, ids_of)


def test_threads_refilling_large_numpy_arrays_deliver_every_sample_intact():
    # Large NumPy items are copied with the interpreter lock released while
    # a slot is free, and through a snapshot while the ring is full (it is,
    # often: three batches of 4). Each thread refills one array per sample,
    # so a copy that read the array after submit returned, or another
    # thread's array, shows as a mixed or wrong row.
    n_threads, per_thread, batch, size = 3, 400, 4, 32 * 1024
    s = S([[size], [8]], [1, 1], batch)

    def writer(t):
        arr = np.empty(size, dtype=np.uint8)
        for i in range(per_thread):
            arr.fill((t * per_thread + i) % 251)
            s.submit([arr, np.array([t, i], dtype="<u4").view(np.uint8)])

    def ids_of(arrays):
        ids = arrays[1].view("<u4").reshape(batch, 2).tolist()
        for row, (t, i) in zip(arrays[0].reshape(batch, size), ids):
            assert (row == (t * per_thread + i) % 251).all()
        return ids

    deliver_from_threads(s, writer, n_threads, per_thread, batch, ids_of)


# A flat list of ints passed where one item per leaf belongs is an easy
# mistake. It must be refused with the first item's error, or the count
# error, without per-item bookkeeping for millions of items (it used to cost
# about 150 bytes per item before the first check: gigabytes, then
# MemoryError or the OOM killer). Run in a child under an address-space
# limit; the sanitizer runtime owns the address space, so not under it.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer runtime owns the address space")
@pytest.mark.parametrize(
    "data_expr, outcome",
    [
        ("[0] * (20 * 10**6)", "TypeError: argument 'data': 'int' object cannot be converted to 'Sequence'"),
        ("[b''] * (20 * 10**6)", "ValueError: data has 20000000 items but the server has 1 leaves"),
    ],
)
def test_data_with_millions_of_items_is_refused_without_per_item_bookkeeping(data_expr, outcome):
    code = f"""
        import resource, ravo
        s = ravo._Server([[4]], [1], 1)
        data = {data_expr}
        # Room for the interpreter, the data and a copy of its item list, not
        # for gigabytes of per-item records.
        with open("/proc/self/statm") as f:
            vm = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (vm + (384 << 20),) * 2)
        try:
            s.submit(data)
        except Exception as e:
            print(type(e).__name__ + ": " + str(e))
        """
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                           timeout=120, env=env)
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout.strip() == outcome


# Every refusal path lets go of what it took: the snapshot of the item list,
# buffer exports, converted ints. Counted on the objects themselves.
def test_failed_submits_leak_no_reference_and_no_buffer_export():
    s = S([[4], [8]], [1, 1], 1, num_buffers=2)
    ba = bytearray(b"wxyz")
    arr = np.arange(8, dtype=np.uint8)
    ints = [1, 2, 3, 4]

    class Boom:
        def __index__(self):
            raise KeyError("boom")

    rel = memoryview(b"abcd")
    rel.release()
    bad = [[ba, b"123456789"], [ba, arr, b"x"], (ba, "s"), [ba, [Boom()]], [memoryview(bytearray(4)), [300]],
           [ints, arr.reshape(2, 4)], [rel], [np.arange(4, dtype=np.int32), [256]]]
    objs = [ba, arr, ints, *bad]

    def refuse_all(rounds):
        raised = 0
        for _ in range(rounds):
            for d in bad:
                try:  # not pytest.raises: it keeps the frame (and so `d`) alive
                    s.submit(d)
                except Exception:  # noqa: BLE001
                    raised += 1
        return raised

    gc.collect()
    before = [sys.getrefcount(o) for o in objs]
    assert refuse_all(2000) == 2000 * len(bad)
    gc.collect()
    assert [sys.getrefcount(o) for o in objs] == before
    ba.extend(b"!")  # no export was left behind (BufferError otherwise)
    del ba[4:]
    s.shutdown()
    assert s.sample() is None  # no failed call reserved or committed a slot
