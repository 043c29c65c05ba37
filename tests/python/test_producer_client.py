"""Tests of the Python producer client `ravo_producer` against a fake server.

The fake server (support/fake_server.py) speaks the server side of the protocol
and records what it received, so every test checks the bytes on the wire.
Every wait is bounded: producers get a `timeout`, the fake server's threads
re-check a stop flag, and `close()` joins them with a bound.
"""

import os
import socket
import struct
import sys
import threading
import time

import pytest

_HERE = os.path.dirname(os.path.abspath(__file__))
if _HERE not in sys.path:  # for `support`, whatever pytest's import mode
    sys.path.insert(0, _HERE)

try:
    import ravo_producer
except ImportError:  # not installed: use the copy in the repository
    sys.path.insert(0, os.path.join(_HERE, "..", "..", "python"))
    import ravo_producer

from ravo_producer import Leaf, Producer, ProtocolError
from support.fake_server import FakeServer, encode_handshake

TIMEOUT = 10.0


def samples_for(size, count, seed=0):
    """Distinct, recognisable samples: the index in the first bytes."""
    out = []
    for i in range(count):
        body = bytes((i * 7 + j + seed) & 0xFF for j in range(size))
        out.append(body)
    return out


def connect(server, **kw):
    kw.setdefault("timeout", TIMEOUT)
    return Producer(server.host, server.port, **kw)


# --------------------------------------------------------------- handshake


class TestHandshake:
    def test_example_layout_of_25_bytes(self):
        expected = bytes.fromhex(
            "52 41 56 4F 01 01000000 04000000 02000000 02000000 03000000"
        )
        assert encode_handshake([(4, (2, 3))]) == expected
        with FakeServer([(4, (2, 3))]) as server, connect(server) as p:
            assert p.leaves == [Leaf(dtype_size=4, shape=(2, 3), nbytes=24)]
            assert p.leaves[0].nbytes == 24
            assert p.sample_size == 24
            assert (p.sent, p.acked, p.window) == (0, 0, 64)

    def test_scalar_and_zero_dimension_leaves(self):
        layout = [(8, ()), (4, (0, 5)), (2, (3,)), (1, (2, 0))]
        with FakeServer(layout) as server, connect(server) as p:
            assert p.leaves == [
                Leaf(8, (), 8),
                Leaf(4, (0, 5), 0),
                Leaf(2, (3,), 6),
                Leaf(1, (2, 0), 0),
            ]
            assert p.sample_size == 14
            p.send([b"A" * 8, b"", b"bcdefg", bytearray()])
            p.send_raw(b"x" * 14)
            p.flush()
            assert p.acked == 2
            assert server.samples() == [b"A" * 8 + b"bcdefg", b"x" * 14]

    @pytest.mark.parametrize(
        "kw, needles",
        [
            ({"magic": b"HTTP"}, ["magic", "b'RAVO'", "b'HTTP'", "48 54 54 50"]),
            ({"version": 2}, ["version", "expected 1", "received 2"]),
        ],
    )
    def test_wrong_magic_or_version_is_a_protocol_error(self, kw, needles):
        with FakeServer([(4, (2, 3))], **kw) as server:
            with pytest.raises(ProtocolError) as info:
                connect(server)
        assert isinstance(info.value, ConnectionError)
        for needle in needles:
            assert needle in str(info.value)

    @pytest.mark.parametrize("greeting", [b"NOPE", b"NO", b"RAX"])
    def test_a_short_wrong_magic_is_refused_at_once_not_after_a_timeout(self, greeting):
        # A peer of another protocol sends a few bytes and then waits.
        with FakeServer([(1, (4,))], handshake=greeting) as server:
            t0 = time.monotonic()
            with pytest.raises(ProtocolError, match="expected magic b'RAVO'"):
                connect(server, timeout=20)
            assert time.monotonic() - t0 < 10

    def test_truncated_handshake(self):
        full = encode_handshake([(4, (2, 3))])
        with FakeServer([(4, (2, 3))], handshake=full[:15], close_after_handshake=True) as server:
            with pytest.raises(ConnectionError) as info:
                connect(server)
        assert not isinstance(info.value, ProtocolError)
        assert "closed the connection during the handshake after 15 bytes" in str(info.value)

    def test_zero_sample_size_is_refused(self):
        with FakeServer([(4, (0,)), (8, (3, 0))]) as server:
            with pytest.raises(ProtocolError, match="sample size of 0 bytes"):
                connect(server)

    def test_sample_size_beyond_64_bits_is_refused(self):
        with FakeServer([(2**32 - 1, (2**32 - 1, 2**32 - 1))]) as server:
            with pytest.raises(ProtocolError, match="does not fit in 64 bits"):
                connect(server)

    def test_bad_arguments(self):
        with pytest.raises(ValueError, match="window must be >= 1"):
            Producer("127.0.0.1", 1, window=0)
        with pytest.raises(TypeError, match="window must be an int"):
            Producer("127.0.0.1", 1, window=2.0)


# ------------------------------------------------------ window and acks


class TestWindow:
    def test_window_one_waits_for_every_ack(self):
        data = samples_for(24, 50)
        with FakeServer([(4, (2, 3))]) as server:
            server.ack_gate.clear()
            with connect(server, window=1, timeout=0.3) as p:
                p.send_raw(data[0])
                # The first sample is unacknowledged: the next send must wait
                # for it, and gives up after the timeout without writing.
                with pytest.raises(TimeoutError, match="0 of 1 samples acknowledged"):
                    p.send_raw(data[1])
                assert (p.sent, p.acked) == (1, 0)
                server.ack_gate.set()
                for s in data[1:]:
                    p.send_raw(s)
                    assert p.outstanding <= 1
                p.flush()
                assert (p.sent, p.acked, p.outstanding) == (50, 50, 0)
            assert server.samples() == data

    def test_window_64_pipelines_without_acks(self):
        data = samples_for(24, 300, seed=3)
        with FakeServer([(4, (2, 3))]) as server:
            server.ack_gate.clear()
            with connect(server, timeout=0.3) as p:
                assert p.window == 64
                for s in data[:64]:
                    p.send_raw(s)  # no acknowledgement arrives meanwhile
                assert (p.sent, p.acked) == (64, 0)
                with pytest.raises(TimeoutError):
                    p.send_raw(data[64])
                server.ack_gate.set()
                for s in data[64:]:
                    p.send_raw(s)
                    assert p.outstanding <= 64
                p.flush()
                assert (p.sent, p.acked) == (300, 300)
            assert server.samples() == data

    def test_large_samples_with_several_leaves(self):
        # Several MiB per sample: the socket takes it in many partial writes.
        layout = [(1, (3, 1000003)), (4, (5,)), (8, ())]
        size = 3 * 1000003 + 20 + 8
        with FakeServer(layout) as server, connect(server, window=3) as p:
            assert p.sample_size == size
            expected = []
            for i in range(6):
                a = bytes([i]) * (3 * 1000003)
                b = struct.pack("<5I", i, i + 1, i + 2, i + 3, i + 4)
                c = struct.pack("<q", -i)
                p.send([a, bytearray(b), memoryview(c)])
                expected.append(a + b + c)
            p.flush()
            assert server.samples() == expected

    def test_large_single_leaf_samples_resume_after_a_partial_write(self):
        # One leaf goes out through send()'s one-call path; a sample the socket takes only
        # in part, or not at all, must continue exactly where that call stopped.
        np = pytest.importorskip("numpy")
        size = 4000037
        with FakeServer([(1, (size,))]) as server, connect(server, window=3) as p:
            expected = []
            for i in range(6):
                a = bytes((i + k) % 256 for k in range(256)) * (size // 256) + bytes([i]) * (size % 256)
                p.send([a] if i % 2 else [np.frombuffer(a, dtype=np.uint8)])
                expected.append(a)
            p.flush()
            assert (p.sent, p.acked) == (6, 6)
            assert server.samples() == expected

    def test_partial_write_past_a_small_first_leaf_resumes_in_the_right_leaf(self):
        # The socket takes the 100-byte leaf and part of the big one: the rest
        # must continue inside the second leaf, not restart it or skip the third.
        np = pytest.importorskip("numpy")
        layout = [(1, (100,)), (1, (300001,)), (4, (3,))]
        with FakeServer(layout) as server, connect(server, window=2) as p:
            # A small send buffer makes each sample's first write stop inside the big leaf.
            p._sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 32768)
            expected = []
            for i in range(5):
                head = bytes([i]) * 100
                body = np.full(300001, (7 * i + 1) % 256, dtype=np.uint8)
                tail = np.array([i, -i, 1 << 30], dtype=np.int32)
                p.send([head if i % 2 else np.frombuffer(head, dtype=np.uint8), body, tail])
                expected.append(head + body.tobytes() + tail.tobytes())
            p.flush()
            assert server.samples() == expected

    @pytest.mark.parametrize("element_size", [1, 4])  # joined into one write / more than IOV_MAX buffers
    def test_more_leaves_than_one_sendmsg_takes(self, element_size):
        layout = [(element_size, ())] * 1500
        with FakeServer(layout) as server, connect(server, window=2) as p:
            sample = [bytes([i % 251]) * element_size for i in range(1500)]
            for _ in range(3):
                p.send(sample)
            p.flush()
            assert server.samples() == [b"".join(sample)] * 3

    def test_server_that_stops_acknowledging(self):
        data = samples_for(24, 20)
        with FakeServer([(4, (2, 3))], ack_limit=5) as server:
            with connect(server, window=8, timeout=1.0) as p:
                for s in data[:13]:  # 5 acknowledged + a full window of 8
                    p.send_raw(s)
                with pytest.raises(TimeoutError, match="5 of 13 samples acknowledged"):
                    p.send_raw(data[13])
                with pytest.raises(TimeoutError):
                    p.flush()
                assert p.acked == 5
                p.close(flush=False)
            assert server.wait_samples(13)
            assert server.samples() == data[:13]

    def test_concurrent_producers_conserve_every_sample(self):
        # One producer per thread; each sample carries (producer id, seq).
        layout = [(8, (2,)), (1, (16,))]
        per_thread, threads = 200, 4
        failures = []
        with FakeServer(layout) as server:

            def run(pid):
                try:
                    with connect(server, window=16) as p:
                        for seq in range(per_thread):
                            p.send([struct.pack("<QQ", pid, seq), bytes([pid]) * 16])
                    if p.acked != per_thread:
                            failures.append(f"producer {pid}: {p.acked} acks")
                except Exception as err:  # reported below
                    failures.append(f"producer {pid}: {err!r}")

            workers = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
            for w in workers:
                w.start()
            for w in workers:
                w.join(60)
            assert not any(w.is_alive() for w in workers)
            assert failures == []
            seen = set()
            for conn in range(server.connections()):
                for s in server.samples(conn):
                    pid, seq = struct.unpack_from("<QQ", s)
                    assert s[16:] == bytes([pid]) * 16
                    seen.add((pid, seq))
            assert seen == {(p, s) for p in range(threads) for s in range(per_thread)}
            assert sum(len(server.samples(c)) for c in range(server.connections())) == len(seen)


class TestSendMany:
    def test_many_samples_cross_window_boundaries_in_order(self):
        data = samples_for(24, 203, seed=5)
        with FakeServer([(4, (2, 3))]) as server:
            with connect(server, window=8) as p:
                p.send_many([[d] for d in data[:100]])
                p.send([data[100]])
                p.send_many(iter([[d] for d in data[101:]]))  # any iterable
                p.flush()
                assert (p.sent, p.acked) == (203, 203)
            assert server.samples() == data

    def test_multi_leaf_samples_keep_leaf_and_sample_order(self):
        # Small multi-leaf samples go out joined per window share: every
        # leaf must still land in its sample, in order, across window boundaries.
        np = pytest.importorskip("numpy")
        layout = [(4, (2,)), (1, (3,)), (8, ())]
        samples, expected = [], []
        for i in range(150):
            a = np.array([i, -i], dtype=np.int32)
            b = bytes([i % 256, (i * 7) % 256, 255 - i % 256])
            c = np.int64(i * 1000003)
            samples.append([a, b if i % 3 else bytearray(b), c])
            expected.append(a.tobytes() + b + c.tobytes())
        with FakeServer(layout) as server:
            with connect(server, window=8) as p:
                p.send_many(samples[:97])
                p.send(samples[97])
                p.send_many(samples[98:])
                p.flush()
                assert (p.sent, p.acked) == (150, 150)
            assert server.samples() == expected

    def test_a_bad_sample_anywhere_writes_nothing(self):
        data = samples_for(24, 5)
        with FakeServer([(4, (2, 3))]) as server:
            with connect(server) as p:
                batch = [[d] for d in data]
                batch[3] = [data[3][:20]]
                with pytest.raises(ValueError, match="^sample 3: leaf 0: 20 bytes given, the layout needs 24 bytes$"):
                    p.send_many(batch)
                with pytest.raises(TypeError, match="^sample 1: send_many\\(\\) takes a sequence"):
                    p.send_many([[data[0]], data[1]])
                with pytest.raises(TypeError, match="iterable of samples"):
                    p.send_many(data[0])
                assert p.sent == 0
                p.send_many([[d] for d in data])
                p.flush()
            assert server.samples() == data

    def test_full_window_times_out_at_a_sample_boundary_and_stays_usable(self):
        data = samples_for(24, 20, seed=9)
        with FakeServer([(4, (2, 3))]) as server:
            server.ack_gate.clear()
            with connect(server, window=8, timeout=0.3) as p:
                with pytest.raises(TimeoutError, match="0 of 8 samples acknowledged"):
                    p.send_many([[d] for d in data[:12]])
                assert (p.sent, p.acked) == (8, 0)
                server.ack_gate.set()
                p.send_many([[d] for d in data[8:]])
                p.flush()
                assert (p.sent, p.acked) == (20, 20)
            assert server.samples() == data

    def test_server_closing_mid_batch_reports_what_was_acknowledged(self):
        data = samples_for(24, 40)
        with FakeServer([(4, (2, 3))], close_after=17) as server:
            p = connect(server, window=64)
            with pytest.raises(ConnectionError) as info:
                p.send_many([[d] for d in data])
                p.flush()
            assert str(info.value).startswith(f"server closed the connection after {p.acked} of ")
            assert p.acked == 17
            p.close()
            assert server.samples() == data[:17]


class TestSendRawMany:
    def test_packed_samples_cross_window_boundaries_in_order(self):
        data = samples_for(24, 203, seed=6)
        with FakeServer([(4, (2, 3))]) as server:
            with connect(server, window=8) as p:
                p.send_raw_many(b"".join(data[:100]))
                p.send_raw(data[100])
                p.send_raw_many(memoryview(bytearray(b"".join(data[101:]))))
                p.send_raw_many(b"")  # no samples: nothing to do
                p.flush()
                assert (p.sent, p.acked) == (203, 203)
            assert server.samples() == data

    def test_structured_array_with_one_field_per_leaf(self):
        np = pytest.importorskip("numpy")
        with FakeServer([(1, (4,)), (4, ())]) as server:
            with connect(server, window=4) as p:
                rows = np.zeros(10, dtype=[("obs", "u1", (4,)), ("reward", "<f4")])
                rows["obs"] = np.arange(40, dtype=np.uint8).reshape(10, 4)
                rows["reward"] = np.arange(10, dtype=np.float32) / 2
                p.send_raw_many(rows)
                p.send_raw_many(rows[::2])  # not contiguous: copied first
                p.flush()
            want = [r.tobytes() for r in rows] + [r.tobytes() for r in rows[::2]]
            assert server.samples() == want

    def test_partial_sample_or_wrong_type_writes_nothing(self):
        data = samples_for(24, 4)
        with FakeServer([(4, (2, 3))]) as server:
            with connect(server) as p:
                with pytest.raises(
                    ValueError, match="^samples have 71 bytes, not a whole number of samples of 24 bytes$"
                ):
                    p.send_raw_many(b"".join(data)[:71])
                with pytest.raises(TypeError, match="^samples: expected a bytes-like object"):
                    p.send_raw_many("text")
                assert p.sent == 0
                p.send_raw_many(b"".join(data))
                p.flush()
            assert server.samples() == data

    def test_full_window_times_out_at_a_sample_boundary_and_stays_usable(self):
        data = samples_for(24, 20, seed=11)
        with FakeServer([(4, (2, 3))]) as server:
            server.ack_gate.clear()
            with connect(server, window=8, timeout=0.3) as p:
                with pytest.raises(TimeoutError, match="0 of 8 samples acknowledged"):
                    p.send_raw_many(b"".join(data[:12]))
                assert (p.sent, p.acked) == (8, 0)
                server.ack_gate.set()
                p.send_raw_many(b"".join(data[8:]))
                p.flush()
                assert (p.sent, p.acked) == (20, 20)
            assert server.samples() == data


class TestSendStacked:
    # A vectorised step: observations, actions, rewards, an empty leaf and a
    # big-endian counter, one row per sample.
    LAYOUT = [(1, (2, 3)), (8, ()), (4, ()), (4, (0,)), (2, (2,))]

    def stacked(self, np, n, start=0):
        idx = np.arange(start, start + n)
        return [
            (idx[:, None, None] + np.arange(6).reshape(2, 3)).astype(np.uint8),
            idx.astype(np.int64) * -7,
            idx.astype(np.float32) / 4,
            np.zeros((n, 0), dtype=np.float32),
            np.stack([idx, idx + 1], axis=1).astype(">u2"),
        ]

    @pytest.mark.parametrize("packed_one_sample_at_a_time", [False, True])
    def test_rows_become_samples_in_order_across_window_boundaries(
        self, monkeypatch, packed_one_sample_at_a_time
    ):
        np = pytest.importorskip("numpy")
        if packed_one_sample_at_a_time:
            monkeypatch.setattr(ravo_producer, "_STACK_CHUNK_BYTES", 0)
        leaves = self.stacked(np, 150)
        # Strided and Fortran-ordered leaves are packed by their values too.
        wide = np.full((150, 2, 6), 99, dtype=np.uint8)
        wide[:, :, ::2] = leaves[0]
        mixed = [wide[:, :, ::2], np.repeat(leaves[1], 2)[::2], leaves[2],
                 leaves[3], np.asfortranarray(leaves[4])]
        with FakeServer(self.LAYOUT) as server:
            with connect(server, window=8) as p:
                p.send_stacked([x[:100] for x in leaves])
                p.send_stacked(tuple(x[100:] for x in mixed))
                p.send_stacked([x[:0] for x in leaves])  # no samples: nothing to send
                p.flush()
                assert (p.sent, p.acked) == (150, 150)
            want = [b"".join(x[k].tobytes() for x in leaves) for k in range(150)]
            assert server.samples() == want

    def test_bad_leaves_are_refused_before_any_byte_is_written(self):
        np = pytest.importorskip("numpy")
        good = self.stacked(np, 5)
        with FakeServer(self.LAYOUT) as server, connect(server) as p:
            cases = [
                (good[:4], ValueError, "batch has 4 leaves, the layout has 5"),
                ([good[0], good[1][:4]] + good[2:], ValueError, "leaf 1: 4 samples, leaf 0 has 5"),
                ([good[0], np.int64(3)] + good[2:], TypeError,
                 "leaf 1: expected a NumPy array with one row per sample, got int64"),
                ([good[0].tobytes()] + good[1:], TypeError,
                 "leaf 0: expected a NumPy array with one row per sample, got bytes"),
                ([good[0], np.array(3, dtype=np.int64)] + good[2:], ValueError,
                 "leaf 1: a 0-dimensional array has no sample dimension"),
                ([good[0], good[1].astype(np.int32)] + good[2:], ValueError,
                 "leaf 1: element size 4 does not match the layout's element size 8"),
                ([good[0].reshape(5, 3, 2)] + good[1:], ValueError,
                 "leaf 0: shape (3, 2) per sample does not match the layout's shape (2, 3)"),
                ([good[0], np.array([None] * 5, dtype=object)] + good[2:], TypeError,
                 "leaf 1: arrays of Python objects cannot be sent"),
            ]
            for leaves, cls, text in cases:
                with pytest.raises(cls) as info:
                    p.send_stacked(leaves)
                assert str(info.value) == text
            with pytest.raises(TypeError, match="one NumPy array per leaf"):
                p.send_stacked(np.stack(good[1:3]))
            assert p.sent == 0
            p.send_stacked(good)  # the stream is intact
            p.flush()
            assert server.samples() == [b"".join(x[k].tobytes() for x in good) for k in range(5)]


class TestAckedIsCurrent:
    def test_acked_takes_in_acknowledgements_without_a_flush(self):
        data = samples_for(24, 5)
        with FakeServer([(4, (2, 3))]) as server, connect(server) as p:
            for d in data:
                p.send_raw(d)
            assert server.wait_samples(5)
            deadline = time.monotonic() + TIMEOUT
            while p.acked < 5 and time.monotonic() < deadline:
                time.sleep(0.01)
            assert (p.acked, p.outstanding) == (5, 0)

    def test_reading_acked_after_the_server_left_does_not_raise(self):
        with FakeServer([(4, (2, 3))], close_after=2) as server:
            p = connect(server)
            for d in samples_for(24, 2):
                p.send_raw(d)
            assert server.wait_samples(2)
            deadline = time.monotonic() + TIMEOUT
            while p.acked < 2 and time.monotonic() < deadline:
                time.sleep(0.01)
            assert p.acked == 2
            time.sleep(0.1)
            assert p.acked == 2  # the end of the stream is noted, not raised here
            with pytest.raises(ConnectionError, match="after 2 of 2 samples were acknowledged"):
                p.send_raw(bytes(24))
            p.close()


# ---------------------------------------------------------- leaf checks


class TestLeaves:
    LAYOUT = [(4, (2, 3)), (8, ())]

    def test_leaf_count_and_lengths_are_checked_before_writing(self):
        with FakeServer(self.LAYOUT) as server, connect(server) as p:
            with pytest.raises(ValueError, match="sample has 1 leaves, the layout has 2"):
                p.send([b"x" * 24])
            with pytest.raises(ValueError, match="leaf 1: 7 bytes given, the layout needs 8 bytes"):
                p.send([b"x" * 24, b"y" * 7])
            with pytest.raises(TypeError, match="leaf 0: expected a bytes-like object"):
                p.send(["not bytes", b"y" * 8])
            with pytest.raises(TypeError, match="send_raw"):
                p.send(b"x" * 32)
            with pytest.raises(ValueError, match="sample has 31 bytes, the layout needs 32"):
                p.send_raw(b"x" * 31)
            assert p.sent == 0
            # The stream is still aligned: a good sample goes through intact.
            p.send([b"a" * 24, b"b" * 8])
            p.flush()
            assert server.samples() == [b"a" * 24 + b"b" * 8]

    def test_numpy_leaves(self):
        np = pytest.importorskip("numpy")
        with FakeServer(self.LAYOUT) as server, connect(server) as p:
            a = np.arange(6, dtype=np.float32).reshape(2, 3)
            p.send([a, np.float64(3.5)])
            # Non-contiguous and Fortran-ordered arrays are sent in C order.
            strided = np.arange(12, dtype=np.int32).reshape(2, 6)[:, ::2]
            fortran = np.asfortranarray(np.arange(6, dtype=np.uint32).reshape(2, 3))
            p.send([strided, np.array(7, dtype=np.int64)])
            p.send([fortran, np.zeros((), dtype=np.uint64)])
            # A raw sample may be a NumPy array too.
            raw = np.arange(32, dtype=np.uint8)
            p.send_raw(raw)
            p.flush()
            assert server.samples() == [
                a.tobytes() + np.float64(3.5).tobytes(),
                np.ascontiguousarray(strided).tobytes() + struct.pack("<q", 7),
                np.arange(6, dtype=np.uint32).tobytes() + bytes(8),
                raw.tobytes(),
            ]

    def test_numpy_leaves_of_every_kind_go_out_as_their_c_order_bytes(self):
        # Contiguous arrays and scalars are viewed directly, the rest copied to
        # C order; either way the bytes on the wire are the leaf's own.
        np = pytest.importorskip("numpy")
        values = [
            np.arange(24, dtype=np.uint8).reshape(2, 3, 4),
            np.int64(-3),
            np.float32(1.5),
            np.bool_(True),
            np.array(2.5),
            np.arange(4, dtype=np.float16),
            np.arange(3, dtype=np.complex64),
            np.arange(5, dtype=">i4"),
            np.arange(10, dtype=np.int32)[::2],
            np.asfortranarray(np.arange(6, dtype=np.int16).reshape(2, 3)),
            np.array([(1, 2), (3, 4)], dtype=[("a", "<i4"), ("b", "u1")]),
            np.array([1, 2, 3], dtype="datetime64[s]"),
            np.frombuffer(b"abcdefgh", dtype=np.uint16),
            np.zeros(1, dtype="V4")[0],
        ]
        layout = [(v.itemsize, v.shape) for v in values]
        with FakeServer(layout) as server, connect(server) as p:
            p.send(values)
            objects = list(values)
            objects[4] = np.array(None, dtype=object)
            with pytest.raises(TypeError) as info:
                p.send(objects)
            assert str(info.value) == "leaf 4: arrays of Python objects cannot be sent"
            p.flush()
            assert p.sent == 1
            assert server.samples() == [b"".join(np.ascontiguousarray(v).tobytes() for v in values)]

    def test_numpy_mismatch_names_the_leaf(self):
        np = pytest.importorskip("numpy")
        with FakeServer(self.LAYOUT) as server, connect(server) as p:
            ok = np.zeros((2, 3), dtype=np.float32)
            with pytest.raises(ValueError) as info:
                p.send([np.zeros((3, 2), dtype=np.float32), np.float64(0)])
            assert str(info.value) == "leaf 0: shape (3, 2) does not match the layout's shape (2, 3)"
            with pytest.raises(ValueError) as info:
                p.send([ok, np.float32(0)])
            assert str(info.value) == (
                "leaf 1: element size 4 does not match the layout's element size 8"
            )
            with pytest.raises(ValueError, match="leaf 0: element size 8"):
                p.send([np.zeros((2, 3), dtype=np.float64), np.float64(0)])
            with pytest.raises(ValueError, match="leaf 1: shape \\(1,\\)"):
                p.send([ok, np.zeros(1, dtype=np.float64)])
            with pytest.raises(TypeError, match="send_raw"):
                p.send(np.zeros(2))
            assert p.sent == 0
            p.send([ok, np.float64(1)])
            p.flush()
            assert server.samples() == [ok.tobytes() + np.float64(1).tobytes()]


# -------------------------------------------------- failures and closing


class TestServerGoesAway:
    def test_close_mid_stream_reports_the_acknowledged_count(self):
        data = samples_for(24, 20)
        with FakeServer([(4, (2, 3))], close_after=17) as server:
            server.ack_gate.clear()  # all 20 are written before any ack
            p = connect(server)
            for s in data:
                p.send_raw(s)
            assert p.sent == 20
            server.ack_gate.set()
            with pytest.raises(ConnectionError) as info:
                p.flush()
            assert str(info.value) == (
                "server closed the connection after 17 of 20 samples were acknowledged"
            )
            assert p.acked == 17
            # The stream stays failed; closing is quiet.
            with pytest.raises(ConnectionError, match="unusable after an earlier error"):
                p.send_raw(data[0])
            p.close()
            assert p.closed
            assert server.samples() == data[:17]

    def test_reset_mid_stream_reports_the_acknowledged_count(self):
        data = samples_for(24, 20)
        with FakeServer([(4, (2, 3))], close_after=17, close_with_reset=True) as server:
            server.ack_gate.clear()
            p = connect(server)
            for s in data:
                p.send_raw(s)
            server.ack_gate.set()
            with pytest.raises(ConnectionError) as info:
                p.flush()
                for s in data:  # a reset may surface on a write instead
                    p.send_raw(s)
            text = str(info.value)
            assert text.startswith(f"server closed the connection after {p.acked} of ")
            assert "samples were acknowledged" in text
            assert p.acked <= 17
            p.close()

    def test_wrong_acknowledgement_byte(self):
        with FakeServer([(1, (4,))], ack_byte=b"\x02") as server:
            server.ack_gate.clear()  # the bad byte arrives during the flush
            p = connect(server)
            p.send_raw(b"abcd")
            server.ack_gate.set()
            with pytest.raises(ProtocolError) as info:
                p.flush()
            assert "expected acknowledgement byte 0x01" in str(info.value)
            assert "received 0x02 after 0 of 1 samples" in str(info.value)
            p.close()

    def test_more_acknowledgements_than_samples(self):
        # Two acknowledgement bytes arrive right behind the handshake.
        hs = encode_handshake([(1, (4,))]) + b"\x01\x01"
        with FakeServer([(1, (4,))], handshake=hs) as server:
            p = connect(server)
            with pytest.raises(ProtocolError, match="acknowledgements for 1 samples"):
                p.send_raw(b"abcd")
                p.flush()
            # The one sample sent was acknowledged before the surplus byte.
            assert p.acked == 1
            p.close()

    def test_send_to_a_vanished_server_fails_with_the_count(self):
        # The server closes straight after the handshake; writes eventually
        # fail (EPIPE / reset) or the end of stream is read.
        with FakeServer([(1, (1024,))], close_after_handshake=True) as server:
            p = connect(server, window=1 << 20)
            with pytest.raises(ConnectionError) as info:
                for _ in range(100000):
                    p.send_raw(bytes(1024))
                p.flush()
            assert "after 0 of " in str(info.value)
            assert p.acked == 0
            p.close()


class TestTimeout:
    @pytest.mark.parametrize("sndbuf", [64 * 1024, 2 << 20])
    def test_a_slow_server_that_keeps_reading_never_times_out_a_large_sample(self, sndbuf):
        # 8 MiB at 64 KiB per 20 ms takes over two seconds against a 0.25 s
        # timeout. With a 64 KiB send buffer the socket turns writable again
        # within a read or two; with 2 MiB (4 MiB as the kernel counts it)
        # only once a third is free, about 0.4 s of reading, so only the
        # bytes the server takes from the buffer show the stream is alive.
        size = 8 << 20
        data = bytes(range(256)) * (size // 256)
        with FakeServer([(1, (size,))], read_chunk=64 * 1024, read_pause=0.02) as server:
            with connect(server, window=4, timeout=0.25) as p:
                p._sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, sndbuf)
                p.send_raw(data)
                p.flush()
            assert server.wait_samples(1)
            assert server.samples() == [data]

    @pytest.mark.parametrize("timeout", [3e6, float("inf")])
    def test_timeouts_beyond_what_poll_takes_wait_like_any_other(self, timeout):
        # poll() takes a C int of milliseconds (about 24.8 days): a longer
        # timeout, or an infinite one, used to raise OverflowError, even part
        # way through a sample.
        size = 8 << 20
        data = bytes(range(256)) * (size // 256)
        with FakeServer([(1, (size,))], read_chunk=256 * 1024, read_pause=0.005) as server:
            with connect(server, timeout=timeout) as p:
                p._sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 64 * 1024)
                p.send_raw(data)
                p.flush()
            assert server.samples() == [data]
        with pytest.raises(ValueError, match="timeout must be > 0 or None"):
            Producer("127.0.0.1", 1, timeout=float("nan"))

    def test_an_interrupt_part_way_through_a_sample_makes_the_stream_unusable(self):
        # A signal handler's exception (Ctrl-C, an alarm) that cuts a sample
        # off: the next sample's bytes would complete it on the server's
        # side, every later sample shifted, and flush() would still succeed.
        import signal

        class Interrupted(Exception):
            pass

        def interrupt(signum, frame):
            raise Interrupted()

        size = 8 << 20
        with FakeServer([(1, (size,))], read_chunk=64 * 1024, read_pause=0.05) as server:
            p = connect(server)
            p._sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 64 * 1024)
            old = signal.signal(signal.SIGALRM, interrupt)
            try:
                signal.setitimer(signal.ITIMER_REAL, 0.3)
                with pytest.raises(Interrupted):
                    p.send([b"A" * size])
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
                signal.signal(signal.SIGALRM, old)
            assert "broken" in repr(p)
            with pytest.raises(ConnectionError, match="only partly written when Interrupted interrupted the send"):
                p.send([b"B" * size])
            p.close()
            assert server.samples() == []

    def test_acknowledgements_that_keep_coming_never_time_out_a_flush(self):
        # 40 samples acknowledged one per 20 ms: 0.8 s in all against 0.3 s.
        with FakeServer([(1, (4,))], read_pause=0.02) as server:
            with connect(server, timeout=0.3) as p:
                for _ in range(40):
                    p.send_raw(b"abcd")
                p.flush()
                assert p.acked == 40


class TestLifecycle:
    def test_context_manager_flushes(self):
        data = samples_for(24, 10)
        with FakeServer([(4, (2, 3))]) as server:
            with connect(server) as p:
                for s in data:
                    p.send_raw(s)
            assert p.closed
            assert (p.sent, p.acked) == (10, 10)
            assert server.samples() == data
            # Every acknowledgement was read before closing: a clean end.
            assert server.errors() == []

    def test_context_manager_aborts_on_exception(self):
        with FakeServer([(4, (2, 3))]) as server:
            server.ack_gate.clear()  # a flush would wait for ever
            with pytest.raises(KeyError):
                with connect(server, timeout=30) as p:
                    p.send_raw(bytes(24))
                    raise KeyError("boom")
            assert p.closed and p.acked == 0

    def test_closed_producer_refuses_work(self):
        with FakeServer([(4, (2, 3))]) as server:
            p = connect(server)
            p.close()
            p.close()  # idempotent
            with pytest.raises(ValueError, match="closed Producer"):
                p.send_raw(bytes(24))
            with pytest.raises(ValueError, match="closed Producer"):
                p.flush()


@pytest.mark.skipif(not hasattr(socket, "TCP_CONGESTION"), reason="no TCP_CONGESTION on this system")
def test_loopback_connection_leaves_bbr_whose_pacing_reorders_segments():
    # BBR's paced segments arrive out of order over loopback and halve a
    # pipelined stream of large samples. The socket must leave it before it
    # connects (a switch later keeps the pacing); other hosts keep it.
    def congestion(sock):
        return sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_CONGESTION, 16).rstrip(b"\0")

    for host, leaves in (("127.0.0.1", True), ("::1", True), ("::ffff:127.0.0.2", True),
                         ("10.0.0.1", False), ("not an address", False)):
        with socket.socket() as sock:
            try:
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_CONGESTION, b"bbr")
            except OSError:
                pytest.skip("bbr is not available here")
            ravo_producer._avoid_pacing_on_loopback(sock, host)
            assert (congestion(sock) in (b"cubic", b"reno")) == leaves, host
    system = open("/proc/sys/net/ipv4/tcp_congestion_control", "rb").read().strip()
    with FakeServer([(4, (2, 3))]) as server:
        with connect(server) as p:
            got = congestion(p._sock)
            assert got in (b"cubic", b"reno") if system.startswith(b"bbr") else got == system
            p.send_raw(bytes(24))
            p.flush()


def test_command_line_streams_samples(capsys):
    with FakeServer([(4, (2, 3)), (2, ())]) as server:
        rc = ravo_producer.main(
            ["--host", server.host, "--port", str(server.port), "--count", "300", "--window", "8"]
        )
        assert rc == 0
        assert server.wait_samples(300)
        assert len(server.samples()) == 300
        assert all(len(s) == 26 for s in server.samples())
    out = capsys.readouterr().out
    assert "2 leaves" in out and "26 bytes per sample" in out
    assert "sent 300 samples (7800 bytes)" in out
