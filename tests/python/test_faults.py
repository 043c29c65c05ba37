"""Reliability under faults and load: the short fault-injection suite.

Producers misbehave on purpose (support/fault_harness.py): they disconnect
between samples, in the middle of a sample or of the handshake, reset their
connections, never read their acknowledgements, stay silent, send random
bytes and wrong-sized streams, and storm the listener with connects; the
consumer stalls; the server is shut down or destroyed under load, and runs
out of file descriptors. Every run ends with the same invariants:

* every acknowledged sample is delivered exactly once, intact, in its
  producer's order (after an explicit shutdown(): never more than written,
  never damaged, never out of order; queued samples may be dropped);
* threads and open descriptors are back to their values from before the
  server was built once it is gone;
* standard error holds only the transport's own lines;
* every wait is bounded, so a hang fails the test.

tools/soak.py runs the same faults for minutes with 64 producers.
"""

import gc
import json
import os
import subprocess
import sys
import threading
import time

import pytest

from support import fault_harness as fh

pytestmark = pytest.mark.timeout(180)

# Scaled down when the extension runs under a sanitizer (tools/asan_python.sh).
SCALE = float(os.environ.get("RAVO_FAULT_SCALE", "1"))


def secs(s: float) -> float:
    return s * SCALE


class Run:
    """One server with a checking consumer, the producers and storms aimed at
    it, and the checks made when it ends."""

    def __init__(self, capfd, batch_size=16, **server_kwargs):
        import ravo  # noqa: F401 - loaded before the baseline is taken

        self.capfd = capfd
        capfd.readouterr()
        self.baseline = fh.Baseline()
        self.batch = batch_size
        keep_last = server_kwargs.pop("keep_last", False)
        self.server = fh.server_args(batch_size, **server_kwargs)
        self.server.start()
        self.port = self.server.port
        self.consumer = fh.CheckingConsumer(self.server, batch_size, keep_last=keep_last)
        self.pids = fh.PidSource()
        self.fleets = []
        self.storms = []
        self.extra_records = []
        self.ended = False

    def fleet(self, n, faults, seed, **kwargs):
        f = fh.ProducerFleet(self.port, n, faults, seed, self.pids, **kwargs)
        self.fleets.append(f)
        return f

    def storm(self, seed, **kwargs):
        s = fh.Storm(self.port, seed, **kwargs)
        self.storms.append(s)
        return s

    def records(self):
        out = list(self.extra_records)
        for f in self.fleets:
            out.extend(f.records)
        return out

    def stop_producers(self):
        for s in self.storms:
            s.finish()
        for f in self.fleets:
            f.finish()

    def shutdown(self):
        """shutdown() on another thread, bounded: a hang fails."""
        t = threading.Thread(target=self.server.shutdown, daemon=True)
        t.start()
        t.join(fh.WAIT)
        assert not t.is_alive(), "shutdown() did not return"

    def end(self, *, lossy=False, allow_errors=False, settled=None):
        """Ends the run and checks every invariant. Without ``lossy`` the
        producers are stopped first and the run is settled before the
        shutdown, so every acknowledged sample must have been delivered."""
        self.ended = True
        if not lossy:
            self.stop_producers()
            settled = fh.settle(self.server, self.consumer, self.batch)
        self.shutdown()
        if lossy:
            self.stop_producers()
        self.consumer.join()
        summary = fh.check_records(self.records(), self.consumer, lossy=lossy, allow_errors=allow_errors)
        self.server = None
        self.consumer.last_arrays = None
        gc.collect()
        self.baseline.assert_restored()
        lines = fh.check_stderr(self.capfd.readouterr().err)
        return summary, lines

    def abort(self):
        """After a failed test: stop everything without checks."""
        if self.ended:
            return
        for s in self.storms:
            s.stop.set()
        for f in self.fleets:
            f.stop.set()
        if self.server is not None:
            self.server.shutdown()
        self.consumer.stop()


@pytest.fixture(autouse=True)
def collect_garbage():
    # Whatever a fault test leaves for the cyclic collector goes here, not
    # in the middle of some later test.
    yield
    gc.collect()


@pytest.fixture
def run(capfd):
    made = []

    def make(**kwargs):
        r = Run(capfd, **kwargs)
        made.append(r)
        return r

    yield make
    for r in made:
        r.abort()


def report(name, summary, lines):
    # Shown with -s or on failure; the numbers are not asserted on.
    print(f"{name}: {summary} stderr={dict(lines)}")


# ---------------------------------------------------------------------------
# Producers that go away.


def test_disconnects_at_random_points_lose_no_acknowledged_sample(run):
    """Between samples, mid-sample, mid-handshake and by reset, in random
    order from 8 producers: every acknowledged sample arrives once, intact
    and in order; a partial sample never arrives."""
    r = run()
    faults = ("clean", "between", "mid_sample", "reset", "mid_handshake")
    fleet = r.fleet(8, faults, seed=11)
    time.sleep(secs(4))
    summary, lines = r.end()
    counts = fleet.fault_counts()
    assert all(counts[f] > 0 for f in faults), counts
    assert set(lines) <= {"connection"}, lines
    report("disconnects", summary, lines)


def test_producers_that_never_read_acks_hold_up_only_themselves(run):
    """Producers that stream without reading acknowledgements (leaving by
    reset, or reading them all only at the end) next to well-behaved ones."""
    r = run()
    lazy = r.fleet(3, ("no_acks", "late_acks"), seed=12, cfg=fh.EpisodeConfig(no_ack_samples=3000))
    good = r.fleet(3, ("clean",), seed=13)
    time.sleep(secs(3))
    summary, lines = r.end()
    assert lazy.fault_counts()["no_acks"] > 0 and lazy.fault_counts()["late_acks"] > 0
    assert sum(rec.acked for rec in good.records) > 0
    assert set(lines) <= {"connection"}, lines
    report("no acks", summary, lines)


def test_silent_connections_cost_nothing_but_a_connection(run):
    """A hundred connections that connect and stay silent (half never read
    the handshake) while four producers stream."""
    r = run()
    silent = []
    for i in range(100):
        rec = fh.ConnRecord(r.pids.take(), "silent", role="none")
        c = fh.Conn(r.port, rec)
        if i % 2:
            c.read_handshake()
        silent.append(c)
        r.extra_records.append(rec)
    good = r.fleet(4, ("clean", "between"), seed=14)
    time.sleep(secs(2))
    good.finish()
    active = r.consumer.tallies()["active"]
    for c in silent:
        c.close()
    summary, lines = r.end()
    assert active is not None and active >= 100, active
    assert set(lines) <= {"connection"}, lines
    report("silent", summary, lines)


def test_connection_storm_next_to_streaming_producers(run):
    """Hundreds of connects and closes per second (closed at once, reset,
    after the handshake, after a few stray bytes) while four producers
    stream."""
    r = run()
    storm = r.storm(seed=15)
    r.fleet(4, ("clean", "between", "reset"), seed=16)
    t0 = time.monotonic()
    time.sleep(secs(4))
    connects = storm.finish()
    rate = connects / (time.monotonic() - t0)
    summary, lines = r.end()
    assert connects > 0
    assert set(lines) <= {"connection"}, lines
    report(f"storm ({connects} connects, {rate:.0f}/s)", summary, lines)


def test_consumer_stall_backs_producers_up_then_resumes(run):
    """The consumer stops for two seconds, twice: producers back up (their
    pushes fail on full queues) and every sample still arrives afterwards."""
    r = run()
    r.fleet(6, ("clean",), seed=17, cfg=fh.EpisodeConfig(max_samples=3000))
    for _ in range(2):
        time.sleep(secs(0.5))
        r.consumer.pause(2.0)
        time.sleep(2.0)
    time.sleep(secs(0.5))
    summary, lines = r.end()
    assert summary["push_blocked"] > 0, summary
    assert set(lines) <= {"connection"}, lines
    report("stall", summary, lines)


def test_random_bytes_and_wrong_sized_streams(run):
    """Random bytes of random lengths (misaligned with the samples), written
    in random pieces, from four producers, next to three well-formed ones:
    no crash, no stall, and the well-formed streams arrive intact."""
    r = run()
    bad = r.fleet(4, ("garbage", "mid_sample"), seed=18)
    r.fleet(3, ("clean",), seed=19)
    time.sleep(secs(3))
    summary, lines = r.end()
    assert bad.fault_counts()["garbage"] > 0
    assert set(lines) <= {"connection"}, lines
    report("garbage", summary, lines)


def test_every_fault_at_once(run):
    """The short form of the soak run: eight producers with every fault,
    a storm, and a consumer that stalls now and then."""
    r = run()
    fleet = r.fleet(8, fh.ALL_FAULTS, seed=20, cfg=fh.EpisodeConfig(no_ack_samples=1500))
    r.storm(seed=21)
    for _ in range(3):
        time.sleep(secs(1.5))
        r.consumer.pause(0.7)
    time.sleep(secs(1))
    summary, lines = r.end()
    counts = fleet.fault_counts()
    assert all(counts[f] > 0 for f in fh.ALL_FAULTS), counts
    assert set(lines) <= {"connection"}, lines
    report("all faults", summary, lines)


# ---------------------------------------------------------------------------
# Shutdown and destruction.


def test_shutdown_under_full_load(run):
    r = run()
    r.fleet(8, ("clean",), seed=22, cfg=fh.EpisodeConfig(max_samples=20000))
    time.sleep(secs(1.5))
    summary, lines = r.end(lossy=True, allow_errors=True)
    assert summary["data"] > 0
    report("shutdown under load", summary, lines)


def test_shutdown_during_a_storm(run):
    r = run()
    r.storm(seed=23)
    r.storm(seed=24)
    r.fleet(4, ("clean", "reset", "mid_handshake"), seed=25)
    time.sleep(secs(1.5))
    summary, lines = r.end(lossy=True, allow_errors=True)
    report("shutdown during storm", summary, lines)


def test_shutdown_with_producers_blocked_on_full_queues(run, background):
    """The consumer stops taking batches: the ring, the drainers and the
    producer queues fill and the producers block (as does a submit()).
    shutdown() still returns, closes every connection and ends the blocked
    submit(); the consumer then gets the complete batches left and None."""
    r = run()
    streams = [fh.ConnRecord(r.pids.take(), "clean") for _ in range(4)]
    r.extra_records.extend(streams)
    stop = threading.Event()

    def stream(rec, seed):
        c = None
        try:
            c = fh.Conn(r.port, rec)
            c.read_handshake()
            c.stream(10**9, fh.random.Random(seed), 256, stop)
        except (fh.ServerGone, OSError, AssertionError) as e:
            rec.error = str(e)
        finally:
            if c is not None:
                c.close()

    threads = [threading.Thread(target=stream, args=(rec, i), daemon=True) for i, rec in enumerate(streams)]
    r.consumer.pause(3600)
    for t in threads:
        t.start()
    # Blocked: no acknowledgement for a while (bounded wait for that).
    deadline = time.monotonic() + fh.WAIT
    last, quiet_since = -1, time.monotonic()
    while time.monotonic() - quiet_since < 1.0:
        acked = sum(rec.acked for rec in streams)
        if acked != last:
            last, quiet_since = acked, time.monotonic()
        assert time.monotonic() < deadline, "the producers never blocked"
        time.sleep(0.02)
    assert last > 0
    blocked_submit = background(fh.submit_fillers, r.server, 4 * r.batch)
    assert not blocked_submit.done(0.2)
    r.shutdown()
    with pytest.raises(RuntimeError, match="server is shut down"):
        blocked_submit.get()
    blocked_submit = None  # its traceback holds the server
    r.consumer.pause(0)
    for t in threads:
        t.join(fh.WAIT)
        assert not t.is_alive()
    stop.set()
    summary, lines = r.end(lossy=True, allow_errors=True)
    assert all(rec.error is not None for rec in streams)  # every connection was closed by the server
    report("shutdown with blocked producers", summary, lines)


def test_shutdown_wakes_a_consumer_blocked_in_sample(run):
    """Nothing complete to hand out: silent connections, a half sample, and
    fewer samples than a batch. shutdown() wakes the waiting sample() with
    None."""
    r = run()
    conns = []
    for kind in ("silent", "half", "few"):
        rec = fh.ConnRecord(r.pids.take(), kind)
        c = fh.Conn(r.port, rec)
        c.read_handshake()
        if kind == "half":
            c.send(fh.encode(rec.pid, 0, 1)[:30])
        elif kind == "few":
            c.send(fh.encode(rec.pid, 0, r.batch - 1))
            c.wait_acks(r.batch - 1)
        conns.append(c)
        r.extra_records.append(rec)
    assert r.consumer.alive()
    r.shutdown()
    r.consumer.join()  # sample() returned None
    for c in conns:
        c.close()
    summary, lines = r.end(lossy=True, allow_errors=True)
    assert summary["batches"] == 0 and summary["data"] == 0, summary
    report("shutdown wakes consumer", summary, lines)


def test_destroying_a_started_server_under_load(run):
    """The last reference to a started server goes away without shutdown()
    while producers stream and a storm runs: every connection is closed, the
    threads and descriptors go, and the last batch's views stay readable."""
    r = run(keep_last=True)
    r.fleet(6, ("clean", "between"), seed=26, cfg=fh.EpisodeConfig(max_samples=5000))
    r.storm(seed=27)
    time.sleep(secs(1.5))
    r.consumer.stop()
    r.consumer.join()
    assert r.consumer.last_arrays is not None
    r.server = None  # the consumer has let go too: this destroys the server
    gc.collect()
    r.ended = True
    r.stop_producers()
    import numpy as np

    arrays, copy = r.consumer.last_arrays, r.consumer.last_copy
    b = r.batch
    again = np.concatenate([arrays[0].reshape(b, 16), arrays[1].reshape(b, 48)], axis=1)
    assert (again == copy).all()
    summary = fh.check_records(r.records(), r.consumer, lossy=True, allow_errors=True)
    r.consumer.last_arrays = arrays = None
    gc.collect()
    r.baseline.assert_restored()
    lines = fh.check_stderr(r.capfd.readouterr().err)
    report("destroyed under load", summary, lines)


# ---------------------------------------------------------------------------
# Out of file descriptors.


def test_out_of_descriptors_during_a_storm(tmp_path):
    """A server process whose descriptor limit leaves room for about 16
    connections: 40 held connections and a storm exhaust it. Accept errors
    are logged and retried with a pause (no flood), and service resumes
    once the held connections are closed."""
    errfile = tmp_path / "stderr"
    harness = os.path.join(os.path.dirname(fh.__file__), "fault_harness.py")
    with open(errfile, "wb") as err:
        child = subprocess.Popen([sys.executable, harness, "serve", "--headroom", "16", "--batch-size", "8"],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err, text=True)
    try:
        line = child.stdout.readline()
        assert line, f"the server process failed: {errfile.read_text()}"
        port = json.loads(line)["port"]
        pids = fh.PidSource()
        held = []
        for _ in range(40):
            rec = fh.ConnRecord(pids.take(), "held", role="none")
            held.append(fh.Conn(port, rec, timeout=5.0))
        storm = fh.Storm(port, seed=28, max_connects=200, read_handshake=False)
        t0 = time.monotonic()
        fh_deadline = t0 + fh.WAIT
        while b"TCP accept error: " not in errfile.read_bytes():
            assert time.monotonic() < fh_deadline, "no accept error was logged"
            time.sleep(0.05)
        time.sleep(1.0)
        storm.stop.set()
        for c in held:
            c.close()
        exhausted = time.monotonic() - t0
        storm.finish()
        # Service resumes: well-formed producers get through, with the same limit.
        fleet = fh.ProducerFleet(port, 2, ("clean", "between"), 29, pids, episodes=5)
        fleet.join()
        child.stdin.write("finish\n")
        child.stdin.flush()
        result = json.loads(child.stdout.readline())
        assert child.wait(fh.WAIT) == 0
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert "settle_error" not in result, result
    assert result["restored"] is True, result["restored"]
    assert result["fault_count"] == 0, result["faults"]
    for rec in fleet.records:
        assert rec.error is None, rec.error
        d = result["delivered"].get(str(rec.pid), 0)
        assert rec.acked <= d <= rec.complete, (rec, d)
    assert sum(rec.acked for rec in fleet.records) > 0
    lines = fh.check_stderr(errfile.read_text())
    text = errfile.read_text()
    assert "TCP accept error: Too many open files" in text
    # Retried with a pause: a spinning loop would log thousands of lines.
    assert lines["accept"] <= 20 * (exhausted + 5), (lines, exhausted)
    print(f"descriptors: {dict(lines)} over {exhausted:.1f} s, {storm.connects} storm connects")
