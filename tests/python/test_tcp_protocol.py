"""End to end over 127.0.0.1: the handshake, acknowledgements, pipelining,
many producers, quiet and noisy ends of a connection, and a producer that
stops reading its acknowledgements.

Every server is built with port 0 and few threads and is shut down by the
`e2e` harness; every wait is bounded.
"""

import errno
import os
import random
import socket
import struct
import threading

import numpy as np
import pytest

from support.raw_producer import (
    CHECKED_LAYOUT,
    CHECKED_SIZE,
    QUIET,
    WAIT,
    StderrCapture,
    by_producer,
    check_sample,
    checked_split,
    e2e_fixture,
    expected_handshake,
    leaf_bytes,
    make_sample,
    sample_size,
    submit_checked,
    wait_for,
)

e2e = e2e_fixture()


# ---------------------------------------------------------------------------
# Handshake


HANDSHAKES = {
    # One leaf, element size 4, shape (2, 3): 25 bytes, samples of 24 bytes.
    "example": ([(4, [2, 3])],
                "5241564f" "01" "01000000" "04000000" "02000000" "02000000" "03000000", 24),
    # A scalar leaf has an 8-byte record with ndim 0 and holds one element.
    "scalar": ([(8, []), (2, [3])],
               "5241564f" "01" "02000000" "08000000" "00000000" "02000000" "01000000" "03000000", 14),
    # A zero dimension: the whole record is sent, the leaf has 0 bytes.
    "zero-dim": ([(4, [3, 0]), (1, [5])],
                 "5241564f" "01" "02000000" "04000000" "02000000" "03000000" "00000000"
                 "01000000" "01000000" "05000000", 5),
}


@pytest.mark.parametrize("name", sorted(HANDSHAKES))
def test_handshake_bytes_and_one_sample_through(e2e, background, name):
    layout, hexbytes, size = HANDSHAKES[name]
    want = bytes.fromhex(hexbytes)
    assert want == expected_handshake(layout)
    assert sample_size(layout) == size
    server = e2e.server(layout, batch_size=1, num_buffers=2, num_drainers=1)
    p = e2e.producer(server)
    assert p.handshake == want
    assert p.layout == [(e, list(s)) for e, s in layout]
    if name == "example":
        assert len(p.handshake) == 25

    # The server sends nothing besides the handshake until a sample arrives.
    assert p.acks_after_quiet() == 0
    sample = bytes(range(1, size + 1))
    p.send(sample)
    assert p.wait_acks(1) == 1
    arrays, info = background(server.sample).get()
    # Each leaf's bytes land, unchanged, in that leaf's view (a zero-sized
    # leaf gives an empty one).
    offset = 0
    for (elem, shape), arr in zip(layout, arrays):
        n = leaf_bytes(elem, shape)
        assert arr.shape == (n,)
        assert bytes(arr) == sample[offset:offset + n]
        offset += n
    assert info.samples_inserted_total == 1
    assert p.poll_acks() == 1


def test_bytes_sent_before_the_handshake_is_read_wait_in_the_socket(e2e, background):
    server = e2e.server(batch_size=1, num_buffers=2, num_drainers=1)
    p = e2e.producer(server, handshake=False)
    p.send(make_sample(7, 0))
    assert p.read_handshake() == expected_handshake(CHECKED_LAYOUT)
    assert p.wait_acks(1) == 1
    arrays, _ = background(server.sample).get()
    assert check_sample(bytes(arrays[0]) + bytes(arrays[1])) == (7, 0)


# ---------------------------------------------------------------------------
# Acknowledgements follow queueing


def full_store_server(e2e, **kw):
    """A server whose ring (batch 4 x 2 buffers) is already full of submitted
    samples (producer id 0) and whose consumer has not sampled yet: the one
    drainer holds whatever it takes next and cannot insert it."""
    server = e2e.server(batch_size=4, num_buffers=2, num_drainers=1, producer_queue_size=1, **kw)
    for seq in range(8):
        submit_checked(server, 0, seq)
    return server


def test_one_ack_per_sample_and_none_before_the_sample_is_queued(e2e, background):
    server = full_store_server(e2e)
    p = e2e.producer(server)
    # Sample 0: the queue is empty, so it is queued and acknowledged; the
    # drainer takes it and waits for room. Sample 1 fills the queue.
    for seq in range(2):
        p.send(make_sample(1, seq))
        assert p.wait_acks(seq + 1) == seq + 1
        assert p.acks_after_quiet() == seq + 1
    # Sample 2 finds the queue full: no acknowledgement while nothing moves.
    p.send(make_sample(1, 2))
    assert p.acks_after_quiet() == 2

    # The first sample() hands out batch 0 but gives nothing back yet.
    arrays, _ = background(server.sample).get()
    assert [check_sample(s) for s in checked_split(4)(arrays)] == [(0, i) for i in range(4)]
    assert p.acks_after_quiet() == 2
    # The second gives batch 0 back: the drainer inserts, takes sample 1 and
    # so makes room for sample 2, which is acknowledged at last.
    arrays, _ = background(server.sample).get()
    assert [check_sample(s) for s in checked_split(4)(arrays)] == [(0, i) for i in range(4, 8)]
    assert p.wait_acks(3) == 3

    consumer = e2e.consumer(server, checked_split(4))
    p.send(make_sample(1, 3))
    assert p.wait_acks(4) == 4
    assert by_producer(consumer.wait_count(4)) == {1: [0, 1, 2, 3]}
    assert p.acks_after_quiet() == 4


def test_pipelined_samples_are_acknowledged_as_each_is_queued(e2e, background):
    server = full_store_server(e2e)
    p = e2e.producer(server)
    # Three samples in one write: the drainer holds one, the queue holds one,
    # the third waits unacknowledged.
    p.send(b"".join(make_sample(1, seq) for seq in range(3)))
    assert p.wait_acks(2) == 2
    assert p.acks_after_quiet() == 2
    background(server.sample).get()
    background(server.sample).get()
    assert p.wait_acks(3) == 3

    # Many samples in one write, with a consumer: every one acknowledged once,
    # delivered intact and in order.
    consumer = e2e.consumer(server, checked_split(4))
    p.send(b"".join(make_sample(1, seq) for seq in range(3, 64)))
    assert p.wait_acks(64) == 64
    assert by_producer(consumer.wait_count(64)) == {1: list(range(64))}
    assert p.acks_after_quiet() == 64


def test_acks_held_after_a_wait_for_queue_room_reach_a_producer_that_sends_no_more(e2e):
    # With a queue of one, nearly every round waits for room, and its
    # acknowledgements then wait for the next round's samples. A producer
    # that sends a burst and then only waits, or that ends its stream right
    # after the burst (half-close: it still reads), must get every one.
    with StderrCapture() as err:
        server = e2e.server(batch_size=4, num_buffers=2, num_drainers=1, producer_queue_size=1)
        consumer = e2e.consumer(server, checked_split(4))
        waiter = e2e.producer(server)
        for burst in range(10):
            waiter.send(b"".join(make_sample(1, 6 * burst + k) for k in range(6)))
            assert waiter.wait_acks(6 * (burst + 1)) == 6 * (burst + 1)
        for pid in range(2, 12):
            p = e2e.producer(server)
            p.send(b"".join(make_sample(pid, seq) for seq in range(8)))
            p.half_close()
            assert p.wait_closed() == "eof"
            assert p.acks == 8
        delivered = by_producer(consumer.wait_count(60 + 80))  # whole batches of 4
        assert delivered == {1: list(range(60)), **{pid: list(range(8)) for pid in range(2, 12)}}
        assert waiter.acks_after_quiet() == 60
        server.shutdown()  # joins the transport's threads: every line is written
        assert err.text() == ""


# ---------------------------------------------------------------------------
# Many producers


def test_many_producers_every_acknowledged_sample_exactly_once_in_order(e2e):
    producers, per_producer, chunk = 16, 100, 10
    server = e2e.server(batch_size=16, num_buffers=3, num_drainers=2, producer_queue_size=4)
    consumer = e2e.consumer(server, checked_split(16))
    conns = [e2e.producer(server) for _ in range(producers)]
    # Interleave the producers' writes so that all of them are active at once.
    for start in range(0, per_producer, chunk):
        for pid, p in enumerate(conns, start=1):
            p.send(b"".join(make_sample(pid, seq) for seq in range(start, start + chunk)))
    for p in conns:
        assert p.wait_acks(per_producer) == per_producer
    delivered = consumer.wait_count(producers * per_producer)
    assert len(delivered) == producers * per_producer
    assert by_producer(delivered) == {pid: list(range(per_producer)) for pid in range(1, producers + 1)}
    for p in conns:
        assert p.poll_acks() == per_producer


# Samples of 24 KiB in three leaves (the middle one empty): whole samples
# that wait in the socket are read straight into the batch memory, the
# others go through a buffer. Written in pieces that cut samples anywhere.
MID_LAYOUT = [(8, [2048]), (4, [0]), (8, [1000])]
MID_SIZE = sample_size(MID_LAYOUT)


def mid_sample(pid, seq):
    words = np.arange(MID_SIZE // 8, dtype=np.uint64) * np.uint64(0x9E3779B97F4A7C15)
    words ^= np.uint64((pid << 40) | seq)
    words[0], words[1] = pid, seq
    return words.tobytes()


def split_mid(batch):
    def split(arrays):
        a0, a2 = bytes(arrays[0]), bytes(arrays[2])
        assert len(arrays[1]) == 0
        return [a0[i * 16384:(i + 1) * 16384] + a2[i * 8000:(i + 1) * 8000] for i in range(batch)]
    return split


def test_mid_sized_samples_in_pieces_arrive_once_intact_in_order(e2e):
    producers, per_producer, batch = 4, 120, 8
    server = e2e.server(MID_LAYOUT, batch_size=batch, num_buffers=3, num_drainers=2, producer_queue_size=4)
    consumer = e2e.consumer(server, split_mid(batch))
    conns = [e2e.producer(server) for _ in range(producers)]
    rng = random.Random(7)
    for start in range(0, per_producer, 8):
        for pid, p in enumerate(conns, start=1):
            data = b"".join(mid_sample(pid, seq) for seq in range(start, start + 8))
            at = 0
            while at < len(data):
                piece = rng.randint(1, 3 * MID_SIZE)
                p.send(data[at:at + piece])
                at += piece
    for p in conns:
        assert p.wait_acks(per_producer) == per_producer
    delivered = consumer.wait_count(producers * per_producer)
    order = {}
    for sample in delivered:
        pid, seq = struct.unpack("<QQ", sample[:16])
        assert sample == mid_sample(pid, seq), f"damaged sample {pid}/{seq}"
        order.setdefault(pid, []).append(seq)
    assert order == {pid: list(range(per_producer)) for pid in range(1, producers + 1)}


def test_mid_sized_connections_that_end_mid_sample_lose_only_what_was_not_acknowledged(e2e):
    # Each connection sends whole samples in pieces, waits for their
    # acknowledgements, then sends part of one more and resets, closes or
    # half-closes. The partial sample goes through a pooled buffer, the
    # whole ones mostly straight into batch memory: every acknowledged
    # sample arrives once, intact, and no partial one ever does.
    batch = 8
    server = e2e.server(MID_LAYOUT, batch_size=batch, num_buffers=3, num_drainers=2, producer_queue_size=4)
    consumer = e2e.consumer(server, split_mid(batch))
    rng = random.Random(11)
    sent = {}
    for pid in range(1, 25):
        p = e2e.producer(server)
        n = rng.randint(1, 12)
        data = b"".join(mid_sample(pid, seq) for seq in range(n))
        at = 0
        while at < len(data):
            piece = rng.randint(1, 2 * MID_SIZE)
            p.send(data[at:at + piece])
            at += piece
        assert p.wait_acks(n) == n
        p.send(mid_sample(pid, n)[:rng.randint(1, MID_SIZE - 1)])
        ending = rng.choice(["reset", "close", "half-close"])
        if ending == "reset":
            p.wait_server_read_all()
            p.reset()
        elif ending == "close":
            p.close()
        else:
            p.half_close()
        sent[pid] = n
    total = sum(sent.values())
    # Whole batches only: fill the last one from this thread.
    for k in range((-total) % batch):
        server.submit([mid_sample(0, k)[:16384], b"", mid_sample(0, k)[16384:]])
    delivered = consumer.wait_count(total + (-total) % batch)
    order = {}
    for sample in delivered:
        pid, seq = struct.unpack("<QQ", sample[:16])
        assert sample == mid_sample(pid, seq), f"damaged sample {pid}/{seq}"
        order.setdefault(pid, []).append(seq)
    order.pop(0, None)
    assert order == {pid: list(range(n)) for pid, n in sent.items()}


@pytest.mark.parametrize("ending", ["half-close", "close"])
def test_producer_that_closes_right_after_its_acks_has_all_delivered(e2e, ending):
    # The ring is full, so the drainer holds the first sample and the rest
    # stay queued; the connection then ends before the drainer gets back to
    # the queue. Every acknowledged sample must still be delivered.
    server = e2e.server(batch_size=4, num_buffers=2, num_drainers=1, producer_queue_size=8)
    for seq in range(8):
        submit_checked(server, 0, seq)
    p = e2e.producer(server)
    p.send(make_sample(1, 0))
    p.wait_acks(1)
    p.acks_after_quiet(QUIET)  # usually lets the drainer take sample 0 alone
    p.send(b"".join(make_sample(1, seq) for seq in range(1, 8)))
    assert p.wait_acks(8) == 8
    if ending == "half-close":
        # The server sees the end of stream and releases the connection before
        # it closes its side, so the queue is closed before anything drains.
        p.half_close()
        assert p.wait_closed() == "eof"
    else:
        p.close()
    consumer = e2e.consumer(server, checked_split(4))
    delivered = by_producer(consumer.wait_count(16))
    assert delivered == {0: list(range(8)), 1: list(range(8))}


# ---------------------------------------------------------------------------
# Ends of a connection and what they log


def test_half_sample_then_close_gives_no_ack_no_delivery_no_log(e2e, background):
    with StderrCapture() as err:
        server = e2e.server(batch_size=4, num_buffers=2, num_drainers=1)
        # Half a sample, then end of stream.
        half = e2e.producer(server)
        half.send(make_sample(1, 0)[:CHECKED_SIZE // 2])
        half.half_close()
        assert half.wait_closed() == "eof"
        assert half.acks == 0
        # Only the handshake read, then end of stream.
        quiet = e2e.producer(server)
        quiet.half_close()
        assert quiet.wait_closed() == "eof"
        # One whole sample and half of the next: exactly one ack, one delivery.
        one = e2e.producer(server)
        one.send(make_sample(2, 0) + make_sample(2, 1)[:7])
        one.half_close()
        assert one.wait_closed() == "eof"
        assert one.acks == 1
        # Closed at once after reading the handshake.
        gone = e2e.producer(server)
        gone.close()

        for seq in range(3):
            submit_checked(server, 0, seq)
        arrays, info = background(server.sample).get()
        assert sorted(check_sample(s) for s in checked_split(4)(arrays)) == [(0, 0), (0, 1), (0, 2), (2, 0)]
        assert info.samples_inserted_total == 1
        server.shutdown()  # joins the transport's threads: every line is written
        assert err.text() == ""


@pytest.mark.parametrize("how", ["linger0-mid-sample", "close-with-unread-handshake"])
def test_reset_gives_exactly_one_connection_error_line(e2e, how):
    with StderrCapture() as err:
        server = e2e.server(batch_size=4, num_buffers=2, num_drainers=1)
        if how == "linger0-mid-sample":
            p = e2e.producer(server)
            p.send(make_sample(1, 0)[:9])
            p.wait_server_read_all()
            p.reset()
        else:
            # Closing while the handshake sits unread makes the kernel send an RST.
            p = e2e.producer(server, handshake=False)
            p.sock.settimeout(WAIT)
            p.sock.recv(1, socket.MSG_PEEK)
            p.close()
        prefix = f"TCP connection error from 127.0.0.1:{p.local_port}: "
        wait_for(lambda: prefix in err.text(), WAIT, "the connection error line")
        server.shutdown()
        assert err.lines() == [prefix + os.strerror(errno.ECONNRESET)]


# ---------------------------------------------------------------------------
# A producer that stops reading its acknowledgements


def test_producer_that_stops_reading_acks_blocks_only_its_own_connection(e2e):
    batch = 64
    server = e2e.server(batch_size=batch, num_buffers=3, num_drainers=1, producer_queue_size=8)
    consumer = e2e.consumer(server, checked_split(batch))
    # A small receive buffer makes the unread acknowledgements back up into
    # the server's send buffer until the server's acknowledgement write waits.
    stuck = e2e.producer(server, rcvbuf=1024)
    total_stuck = 60000
    payload = b"".join(make_sample(99, seq) for seq in range(total_stuck))
    sender = threading.Thread(target=stuck.send, args=(payload, 2 * WAIT), daemon=True)
    sender.start()

    # Stalled: over a quiet window, although the consumer keeps sampling,
    # nothing more of it is delivered and the server's socket holds the same
    # unsent acknowledgements (its write waits for room that never comes).
    def stalled():
        before = consumer.count(), stuck.server_queues()[0]
        threading.Event().wait(QUIET)
        after = consumer.count(), stuck.server_queues()[0]
        return before == after and after[1] > 0
    wait_for(stalled, WAIT, "the unread acknowledgements to stall the connection")
    assert consumer.count() < total_stuck

    # Other producers on the same drainer go on: all their samples are acked.
    others = [e2e.producer(server) for _ in range(3)]
    for pid, p in enumerate(others, start=1):
        p.send(b"".join(make_sample(pid, seq) for seq in range(128)))
    for p in others:
        assert p.wait_acks(128) == 128
    # ... while the stuck connection still has acknowledgements it cannot send.
    # (The kernel may still grow its socket buffers a little, so a few more
    # acknowledgements can leave; the connection as a whole stays stuck.)
    assert stuck.server_queues()[0] > 0

    # Reading again resumes it; every sample of everyone is delivered once.
    stuck.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
    assert stuck.wait_acks(total_stuck) == total_stuck
    sender.join(WAIT)
    assert not sender.is_alive()
    total = total_stuck + 3 * 128
    fillers = -total % batch
    for seq in range(fillers):
        submit_checked(server, 0, seq)
    delivered = by_producer(consumer.wait_count(total + fillers))
    expected = {pid: list(range(128)) for pid in (1, 2, 3)}
    expected[99] = list(range(total_stuck))
    if fillers:
        expected[0] = list(range(fillers))
    assert delivered == expected
