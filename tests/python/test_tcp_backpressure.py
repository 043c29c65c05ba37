"""End to end over 127.0.0.1: backpressure from a consumer that does not
sample, the counters that describe it, and shutdown while producers wait.

The bounds below follow from the ingress design. With the ring full
(capacity C = batch_size x num_buffers, nothing given back), a drainer stops
inside its round holding the h samples it took but could not insert
(1 <= h <= producer_queue_size Q: a round takes what the queue held when it
began, part of which may still have fitted into the ring); the producer's
queue then fills with Q more, and the connection reads one more sample whose
push waits. So a producer that keeps sending receives C + h + Q
acknowledgements: at least C + Q + 1 and at most C + 2Q. The first
`sample()` call gives nothing back (there is no previous batch), so it can
observe the stalled state once.
"""

import itertools
import time

import pytest

from support.raw_producer import (
    QUIET,
    WAIT,
    CHECKED_SIZE,
    by_producer,
    checked_split,
    e2e_fixture,
    make_sample,
    submit_checked,
    wait_for,
)

e2e = e2e_fixture()


def test_stalled_producer_gets_a_bounded_number_of_acks_and_resumes(e2e, background):
    batch, buffers, queue = 2, 2, 2
    capacity = batch * buffers
    server = e2e.server(batch_size=batch, num_buffers=buffers, num_drainers=1, producer_queue_size=queue)
    p = e2e.producer(server)
    total = 24
    p.send(b"".join(make_sample(1, seq) for seq in range(total)))

    p.wait_acks(capacity + queue + 1)
    acks = p.acks_after_quiet()
    assert capacity + queue + 1 <= acks <= capacity + 2 * queue
    assert p.acks_after_quiet() == acks  # it stopped growing

    arrays, info = background(server.sample).get()
    first = checked_split(batch)(arrays)
    held = acks - capacity - queue  # taken by the stuck round, not inserted
    assert info.samples_inserted_total == capacity
    assert info.notify_count == buffers
    assert info.active_connections == 1
    assert info.push_blocked_count >= 1
    # The stuck round took what its one queue held when it began (part of
    # it may have fitted into the ring).
    assert held <= info.queue_depth_sum == info.queue_depth_max <= queue
    assert p.acks_after_quiet() == acks  # observing gave nothing back

    # The consumer samples: the producer resumes and everything arrives once.
    consumer = e2e.consumer(server, checked_split(batch))
    assert p.wait_acks(total) == total
    rest = consumer.wait_count(total - batch)
    assert by_producer(first + rest) == {1: list(range(total))}
    assert p.acks_after_quiet(0) == total


def test_push_blocked_count_counts_failed_attempts(e2e, background):
    # The ring is full of submitted samples before any producer connects.
    batch, buffers = 2, 2
    server = e2e.server(batch_size=batch, num_buffers=buffers, num_drainers=1, producer_queue_size=1)
    for seq in range(batch * buffers):
        submit_checked(server, 0, seq)

    # A: the drainer takes sample 0 in a round and waits for room inside it;
    # sample 1 fills the queue; the push of sample 2 fails. The drainer woke A
    # exactly once (after taking sample 0), and that wake-up is used either to
    # let sample 1 in after a failed attempt or, stored, to retry sample 2 in
    # vain: A fails exactly twice. The second acknowledgement also proves the
    # drainer has taken sample 0 and is stuck.
    a = e2e.producer(server)
    a.send(b"".join(make_sample(1, seq) for seq in range(3)))
    assert a.wait_acks(2) == 2
    assert a.acks_after_quiet() == 2

    # B connects only now: the stuck drainer never looks at its queue and
    # never wakes it. Sample 0 is queued, the push of sample 1 fails once and
    # waits for good; sample 2 stays unread in the socket.
    b = e2e.producer(server)
    b.send(b"".join(make_sample(2, seq) for seq in range(3)))
    assert b.wait_acks(1) == 1
    assert b.acks_after_quiet() == 1
    wait_for(lambda: a.server_unread() == 0 and b.server_unread() == CHECKED_SIZE, WAIT,
             "the server to read A's third and B's second sample")
    a.acks_after_quiet()  # the failed push follows its read at once

    arrays, info = background(server.sample).get()
    first = checked_split(batch)(arrays)
    assert info.push_blocked_count == 3
    assert info.active_connections == 2
    assert info.samples_inserted_total == 0
    assert (info.queue_depth_sum, info.queue_depth_max) == (1, 1)
    assert info.notify_count == buffers

    consumer = e2e.consumer(server, checked_split(batch))
    assert a.wait_acks(3) == 3
    assert b.wait_acks(3) == 3
    rest = consumer.wait_count(10 - batch)
    assert by_producer(first + rest) == {0: [0, 1, 2, 3], 1: [0, 1, 2], 2: [0, 1, 2]}

    # reset_histograms() clears the histograms only: with the producers
    # idle, the snapshots of two more batches differ only in the batch that
    # came between them.
    counters = ("active_connections", "push_blocked_count", "queue_depth_sum", "queue_depth_max",
                "samples_inserted_total", "cas_success_total", "cas_failure_total", "reservation_retries_total")

    def snapshot(seq):
        seen = consumer.count()
        for k in range(batch):
            submit_checked(server, 3, seq + k)
        consumer.wait_count(seen + batch)
        return consumer.last_info()

    before = snapshot(0)
    assert before.push_blocked_count >= 3 and before.samples_inserted_total == 6
    assert server.reset_histograms() is None
    after = snapshot(batch)
    assert {n: getattr(after, n) for n in counters} == {n: getattr(before, n) for n in counters}
    assert after.notify_count == before.notify_count + 1


def test_push_blocked_count_stays_zero_while_no_queue_is_full(e2e, background):
    # Eight samples can never overfill a queue of eight, and the ring has room.
    server = e2e.server(batch_size=4, num_buffers=4, num_drainers=1, producer_queue_size=8)
    p = e2e.producer(server)
    p.send(b"".join(make_sample(1, seq) for seq in range(8)))
    assert p.wait_acks(8) == 8
    arrays0, _ = background(server.sample).get()
    first = checked_split(4)(arrays0)
    arrays1, info = background(server.sample).get()
    assert by_producer(first + checked_split(4)(arrays1)) == {1: list(range(8))}
    assert info.push_blocked_count == 0
    assert info.samples_inserted_total == 8


def test_active_connections_follow_producers(e2e, background):
    server = e2e.server(batch_size=1, num_buffers=2, num_drainers=2)
    seq = itertools.count()

    def active():
        submit_checked(server, 0, next(seq))
        got = background(server.sample).get()
        return got[1].active_connections

    assert active() == 0
    a = e2e.producer(server)  # the handshake comes after registration
    assert active() == 1
    b = e2e.producer(server)
    assert active() == 2
    # B ends its stream; the server releases the connection before closing
    # its side, so the end of stream seen here means the count went down.
    b.half_close()
    assert b.wait_closed() == "eof"
    assert active() == 1
    a.close()
    wait_for(lambda: active() == 0, WAIT, "active_connections to drop to 0")


def test_shutdown_while_producers_are_blocked_returns_promptly(background):
    import ravo

    from support.raw_producer import CHECKED_LAYOUT, RawProducer, server_args

    shapes, dtype_sizes = server_args(CHECKED_LAYOUT)
    server = ravo._Server(shapes, dtype_sizes, 2, ravo.TcpTransport(0, num_threads=2), num_buffers=2,
                          num_drainers=2, producer_queue_size=1)
    producers = []
    try:
        server.start()
        port = server.port
        producers = [RawProducer(port) for _ in range(4)]
        for pid, p in enumerate(producers, start=1):
            p.send(b"".join(make_sample(pid, seq) for seq in range(20)))

        # Every producer stops receiving acknowledgements: the ring is full,
        # the drainers hold their rounds, the queues are full.
        def all_stalled():
            before = [p.poll_acks() for p in producers]
            time.sleep(QUIET)
            return [p.poll_acks() for p in producers] == before
        wait_for(all_stalled, WAIT, "every producer to stall")
        assert sum(p.acks for p in producers) < 4 * 20

        background(server.shutdown).get(WAIT)
        for p in producers:
            assert p.wait_closed() in ("eof", "reset")
        with pytest.raises(ConnectionRefusedError):
            RawProducer(port)
        # Complete batches may still be handed out (a drainer that held a
        # round finishes it once a batch is given back), then None.
        for _ in range(20):
            if background(server.sample).get() is None:
                break
        else:
            pytest.fail("sample() kept returning batches after shutdown")
    finally:
        server.shutdown()
        for p in producers:
            p.close()
    # Destroying it cancels the drainers still waiting for room; bounded too.
    holder = [server]
    del server

    def drop():
        holder.pop()

    background(drop).get(WAIT)


def test_read_ahead_never_reads_past_the_room_in_the_queue(e2e, background):
    # A connection reads the samples already waiting in its socket several
    # at a time. With a queue of 8 and a drainer stuck on a full ring, it may
    # read only what its queue can take, then the one sample whose push
    # waits: the rest must stay unread in the socket (backpressure reaches
    # the producer's TCP window, not the server's memory).
    queue = 8
    server = e2e.server(batch_size=4, num_buffers=2, num_drainers=1, producer_queue_size=queue)
    for seq in range(8):
        submit_checked(server, 0, seq)
    p = e2e.producer(server)
    total = 5 * queue
    p.send(b"".join(make_sample(1, seq) for seq in range(total)))
    p.wait_acks(queue + 1)
    acks = p.acks_after_quiet()
    # The stuck round holds 1..queue samples, the queue holds `queue` more.
    assert queue + 1 <= acks <= 2 * queue
    wait_for(lambda: p.server_unread() == (total - acks - 1) * CHECKED_SIZE, WAIT,
             "the server to read exactly one sample past its acknowledgements")
    assert p.acks_after_quiet() == acks

    arrays, _ = background(server.sample).get()
    first = checked_split(4)(arrays)
    consumer = e2e.consumer(server, checked_split(4))
    assert p.wait_acks(total) == total
    rest = consumer.wait_count(8 + total - 4)
    assert by_producer(first + rest) == {0: list(range(8)), 1: list(range(total))}


def test_samples_split_across_reads_arrive_intact_and_in_order(e2e):
    # Scatter reads end in the middle of a sample as often as not: write the
    # stream in pieces that never line up with sample boundaries.
    server = e2e.server(batch_size=4, num_buffers=2, num_drainers=1, producer_queue_size=16)
    consumer = e2e.consumer(server, checked_split(4))
    p = e2e.producer(server)
    total = 200
    stream = b"".join(make_sample(1, seq) for seq in range(total))
    pieces = itertools.cycle([1, CHECKED_SIZE - 1, 3 * CHECKED_SIZE + 5, 7, 2 * CHECKED_SIZE])
    at = 0
    while at < len(stream):
        n = next(pieces)
        p.send(stream[at:at + n])
        at += n
        time.sleep(0.0005)
    assert p.wait_acks(total) == total
    assert by_producer(consumer.wait_count(total)) == {1: list(range(total))}
    assert p.acks_after_quiet(0) == total
