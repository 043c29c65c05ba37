"""End to end over 127.0.0.1: starting, stopping and destroying a server
with a TCP transport, the resources it gives back, and the construction
checks that concern the transport.
"""

import errno
import gc
import os
import shutil
import socket
import subprocess
import sys
import textwrap

import pytest

import ravo

from support.raw_producer import (
    CHECKED_LAYOUT,
    WAIT,
    RawProducer,
    count_threads,
    e2e_fixture,
    expected_handshake,
    make_sample,
    open_fds,
    server_args,
    submit_checked,
    thread_ids,
    wait_for,
)

e2e = e2e_fixture()

SHAPES, DTYPES = server_args(CHECKED_LAYOUT)
NOT_STARTED = r"^transport not started; call start\(\) first$"


def new_server(transport=None, **kw):
    kw.setdefault("num_drainers", 2)
    if transport is None:
        transport = ravo.TcpTransport(0, num_threads=2)
    return ravo._Server(SHAPES, DTYPES, 2, transport, **kw)


# ---------------------------------------------------------------------------
# start / port / shutdown


def test_start_twice_fails_and_leaves_the_first_running(e2e):
    server = e2e.server()
    port = server.port
    assert 1 <= port <= 65535
    with pytest.raises(RuntimeError, match=r"^failed to start transport: TCP server already started$"):
        server.start()
    assert server.port == port
    RawProducer(port).close()  # still accepting


def test_thread_count_too_large_to_start_fails_cleanly_and_leaks_no_listener():
    # The runtime cannot be built for 2**64 - 1 workers. start() must say so
    # in the usual form and close the socket it had already bound: the port
    # is free again at once and no descriptor is left behind.
    probe = socket.socket()
    probe.bind(("0.0.0.0", 0))
    port = probe.getsockname()[1]
    probe.close()
    server = new_server(ravo.TcpTransport(port, num_threads=2**64 - 1))
    fds = len(os.listdir("/proc/self/fd"))
    with pytest.raises(RuntimeError) as ei:
        server.start()
    assert str(ei.value) == "failed to start transport: " + os.strerror(errno.ENOMEM)
    assert len(os.listdir("/proc/self/fd")) == fds
    with pytest.raises(RuntimeError, match=NOT_STARTED):
        server.port
    again = socket.socket()
    again.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    again.bind(("0.0.0.0", port))
    again.listen()
    again.close()
    server.shutdown()


def test_address_in_use_leaves_the_transport_not_started(e2e):
    first = e2e.server()
    port = first.port
    second_cfg = ravo.TcpTransport(port, num_threads=2)
    second = new_server(second_cfg)
    try:
        with pytest.raises(RuntimeError) as ei:
            second.start()
        assert str(ei.value) == "failed to start transport: " + os.strerror(errno.EADDRINUSE)
        with pytest.raises(RuntimeError, match=NOT_STARTED):
            second.port
        RawProducer(port).close()  # the first one is untouched
        # Once the port is free, the same transport starts on it.
        first.shutdown()
        second.start()
        assert second.port == port
        p = RawProducer(port)
        p.send(make_sample(1, 0))
        assert p.wait_acks(1) == 1
        p.close()
    finally:
        second.shutdown()


def test_port_and_start_after_shutdown(e2e):
    server = e2e.server(start=False)
    with pytest.raises(RuntimeError, match=NOT_STARTED):
        server.port
    server.shutdown()  # before start: nothing to stop, no error
    with pytest.raises(RuntimeError, match=NOT_STARTED):
        server.port
    with pytest.raises(RuntimeError, match=r"^failed to start transport: server is shut down$"):
        server.start()

    server = e2e.server()
    assert server.port > 0
    assert server.shutdown() is None
    with pytest.raises(RuntimeError, match=NOT_STARTED):
        server.port
    assert server.shutdown() is None  # twice: harmless
    with pytest.raises(RuntimeError, match=r"^failed to start transport: server is shut down$"):
        server.start()
    with pytest.raises(RuntimeError, match=NOT_STARTED):
        server.port


def test_shutdown_closes_open_connections_and_refuses_new_ones(e2e):
    server = e2e.server(batch_size=4, num_buffers=2, num_drainers=1, producer_queue_size=1)
    port = server.port
    idle = e2e.producer(server)  # waiting for a sample
    mid = e2e.producer(server)  # in the middle of a sample
    mid.send(make_sample(1, 0)[:5])
    mid.wait_server_read_all()
    # Blocked in a full queue: ring (8) full, the drainer holds one sample,
    # the queue (1) holds one more, nobody samples.
    busy = e2e.producer(server)
    busy.send(b"".join(make_sample(2, seq) for seq in range(40)))
    busy.wait_acks(10)
    unread = e2e.producer(server, handshake=False)  # never read the handshake
    server.shutdown()
    for p in (idle, mid, busy, unread):
        assert p.wait_closed() in ("eof", "reset")
    with pytest.raises(ConnectionRefusedError):
        RawProducer(port)


def test_one_tcp_transport_object_gives_each_server_its_own_listener(background):
    cfg = ravo.TcpTransport(0, num_threads=2)
    a = new_server(cfg)
    b = new_server(cfg)
    try:
        a.start()
        b.start()
        assert a.port != b.port
        for server, pid in ((a, 1), (b, 2)):
            p = RawProducer(server.port)
            p.send(make_sample(pid, 0) + make_sample(pid, 1))
            assert p.wait_acks(2) == 2
            arrays, info = background(server.sample).get()
            assert bytes(arrays[0])[:4] == pid.to_bytes(4, "little")
            assert info.samples_inserted_total == 2
            p.close()
    finally:
        a.shutdown()
        b.shutdown()


# ---------------------------------------------------------------------------
# Threads and descriptors


def baseline():
    """Threads and descriptors before a test builds its server. Other tests'
    threads or sockets may go meanwhile, so afterwards the test checks that
    nothing new is left (a subset), not equal counts."""
    gc.collect()
    return thread_ids(), open_fds(), count_threads("tcp"), count_threads("drainer")


def threads_settle(name, expected):
    # A joined thread can stay listed under /proc for a moment after join
    # returns (the kernel releases it after waking the joiner), so counts
    # that must fall are waited for, not read once.
    wait_for(lambda: count_threads(name) == expected, what=f"{expected} {name!r} threads")
    return True


def assert_nothing_left(before):
    threads0, fds0, tcp0, drainer0 = before
    gc.collect()
    wait_for(lambda: count_threads("tcp") <= tcp0 and count_threads("drainer") <= drainer0, what="threads to go")
    wait_for(lambda: thread_ids() <= threads0, what="no thread left behind")
    assert open_fds() <= fds0, "descriptors left open"


@pytest.mark.parametrize("with_shutdown", [False, True])
def test_destroying_a_started_server_releases_threads_and_sockets(with_shutdown):
    before = baseline()
    _, _, tcp0, drainer0 = before
    server = new_server(ravo.TcpTransport(0, num_threads=3), num_drainers=2, producer_queue_size=1)
    assert count_threads("drainer") == drainer0 + 2  # the drainers start with the server
    server.start()
    assert count_threads("tcp") == tcp0 + 3
    port = server.port
    # Connected producers: idle, mid-sample, and stalled in a full queue.
    for seq in range(4):
        submit_checked(server, 0, seq)
    producers = [RawProducer(port) for _ in range(3)]
    producers[1].send(make_sample(1, 0)[:3])
    producers[2].send(b"".join(make_sample(2, seq) for seq in range(10)))
    producers[2].wait_acks(2)
    producers[2].acks_after_quiet()

    if with_shutdown:
        server.shutdown()
        assert threads_settle("tcp", tcp0)  # joined by shutdown
        assert count_threads("drainer") == drainer0 + 2  # joined when the server goes
    del server  # without shutdown(): the transport's release tears it down
    gc.collect()
    assert threads_settle("tcp", tcp0)
    assert threads_settle("drainer", drainer0)
    for p in producers:
        assert p.wait_closed() in ("eof", "reset")
        p.close()
    assert_nothing_left(before)
    with pytest.raises(ConnectionRefusedError):
        RawProducer(port)


def test_server_that_never_started_releases_its_drainers():
    before = baseline()
    server = new_server(num_drainers=3)
    assert count_threads("drainer") == before[3] + 3
    del server
    assert_nothing_left(before)


# ---------------------------------------------------------------------------
# Construction decisions that concern the transport


def test_tcp_transport_refuses_zero_threads():
    with pytest.raises(ValueError, match=r"^num_threads must be > 0$"):
        ravo.TcpTransport(0, num_threads=0)
    with pytest.raises(ValueError, match=r"^num_threads must be > 0$"):
        ravo.TcpTransport(port=1234, num_threads=0)


@pytest.mark.parametrize(
    "args, kwargs, exc, name",
    [
        (("80",), {}, TypeError, "port"),
        ((None,), {}, TypeError, "port"),
        ((1.5,), {}, TypeError, "port"),
        ((-1,), {}, OverflowError, None),
        ((70000,), {}, OverflowError, None),
        ((65536,), {}, OverflowError, None),
        ((0, "2"), {}, TypeError, "num_threads"),
        ((0,), {"num_threads": 2.0}, TypeError, "num_threads"),
        ((0,), {"num_threads": -1}, OverflowError, None),
        ((0,), {"num_threads": 2**64}, OverflowError, None),
    ],
)
def test_tcp_transport_conversion_errors(args, kwargs, exc, name):
    with pytest.raises(exc) as ei:
        ravo.TcpTransport(*args, **kwargs)
    if name is not None:
        assert name in str(ei.value)


def test_tcp_transport_accepts_the_extremes():
    ravo.TcpTransport(65535)
    ravo.TcpTransport(port=0, num_threads=1)


@pytest.mark.parametrize("field", ["num_drainers", "producer_queue_size"])
def test_zero_drainers_or_queue_size_are_refused_with_a_transport(field):
    with pytest.raises(ValueError, match=rf"^{field} must be > 0$"):
        ravo._Server(SHAPES, DTYPES, 2, ravo.TcpTransport(0), **{field: 0})
    # The drainer pool step comes after the size checks ...
    with pytest.raises(ValueError, match=r"num_batches must be >= 2"):
        ravo._Server(SHAPES, DTYPES, 2, ravo.TcpTransport(0), num_buffers=1, **{field: 0})
    # ... and before the transport's type check.
    with pytest.raises(ValueError, match=rf"^{field} must be > 0$"):
        ravo._Server(SHAPES, DTYPES, 2, "not a transport", **{field: 0})
    # Without a transport there is no drainer pool: accepted.
    s = ravo._Server(SHAPES, DTYPES, 2, None, **{field: 0})
    s.shutdown()


def test_zero_sized_samples_are_refused_with_a_transport():
    with pytest.raises(ValueError):
        ravo._Server([[0], [2, 0]], [4, 8], 2, ravo.TcpTransport(0, num_threads=1), num_drainers=1)
    with pytest.raises(ValueError, match="transport must be TcpTransport"):
        ravo._Server([[0]], [4], 2, "nope", num_drainers=1)
    # One leaf with bytes is enough.
    s = ravo._Server([[0], [1]], [4, 1], 2, ravo.TcpTransport(0, num_threads=1), num_drainers=1)
    s.shutdown()


@pytest.mark.parametrize(
    "shapes, dtype_sizes, what",
    [
        ([[4], [0, 2**32]], [1, 4], "dimension 4294967296"),
        ([[4], [0]], [1, 2**32], "dtype_size 4294967296"),
        ([[4], [2**40, 0, 3]], [1, 1], "dimension 1099511627776"),
    ],
)
def test_leaf_values_that_do_not_fit_the_handshake_are_refused(shapes, dtype_sizes, what):
    with pytest.raises(ValueError) as ei:
        ravo._Server(shapes, dtype_sizes, 2, ravo.TcpTransport(0, num_threads=1), num_drainers=1)
    assert "leaf 1" in str(ei.value) and what in str(ei.value)
    # The largest values that fit are accepted (zero-sized leaves, no memory).
    s = ravo._Server([[4], [0, 2**32 - 1]], [1, 2**32 - 1], 2, ravo.TcpTransport(0, num_threads=1),
                     num_drainers=1)
    s.shutdown()


# ---------------------------------------------------------------------------
# In a child process: descriptor exhaustion, and exit with waiting threads


def run_child(code, timeout=WAIT, env_extra=None):
    env = dict(os.environ)
    here = os.path.dirname(os.path.abspath(__file__))
    # The child imports the same ravo (from this process's path) and the helpers.
    env["PYTHONPATH"] = os.pathsep.join([here] + [p for p in sys.path if p])
    env.update(env_extra or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=env)


def test_accept_error_from_descriptor_exhaustion_is_logged_and_retried():
    child = run_child(
        """
        import os, resource, socket, time
        import ravo
        from support.raw_producer import CHECKED_LAYOUT, read_handshake, server_args
        shapes, dtypes = server_args(CHECKED_LAYOUT)
        s = ravo._Server(shapes, dtypes, 2, ravo.TcpTransport(0, num_threads=1), num_drainers=1)
        s.start()
        port = s.port
        client = socket.socket()
        client.settimeout(20)
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(soft, 256), hard))
        fillers = []
        try:
            while True:
                fillers.append(os.open("/dev/null", os.O_RDONLY))
        except OSError:
            pass
        # The kernel completes the connection; the server's accept fails.
        client.connect(("127.0.0.1", port))
        time.sleep(0.5)
        for fd in fillers:
            os.close(fd)
        raw, layout = read_handshake(client, 20)
        print("handshake", len(raw), flush=True)
        client.close()
        # Exhausted again, with a connection waiting: shutdown stops the
        # retrying accept loop (asleep or not) and returns.
        late = socket.socket()
        fillers = []
        try:
            while True:
                fillers.append(os.open("/dev/null", os.O_RDONLY))
        except OSError:
            pass
        late.connect(("127.0.0.1", port))
        time.sleep(0.25)
        s.shutdown()
        for fd in fillers:
            os.close(fd)
        print("shut down", flush=True)
        """
    )
    assert child.returncode == 0, child.stderr
    assert child.stdout.split("\n")[:2] == [f"handshake {len(expected_handshake(CHECKED_LAYOUT))}", "shut down"]
    lines = child.stderr.splitlines()
    assert lines, "no accept error was logged"
    assert set(lines) == {"TCP accept error: " + os.strerror(errno.EMFILE)}
    # Retried with a pause (about 100 ms), not in a tight loop: over the
    # 0.75 s of exhaustion that is a handful of lines, not thousands.
    assert len(lines) <= 30


# The waiting call as a training script leaves it: a consumer thread in
# sample() with a producer connected over TCP, or a producer thread in
# submit() against a ring that nobody drains (two buffers of batch 1: the
# third submit blocks).
WAITERS = {
    "sample": """
        shapes, dtypes = server_args(CHECKED_LAYOUT)
        s = ravo._Server(shapes, dtypes, 2, ravo.TcpTransport(0, num_threads=1), num_drainers=1)
        s.start()
        p = RawProducer(s.port)
        wait = s.sample
        """,
    "submit": """
        s = ravo._Server([[4]], [1], 1, num_buffers=2, num_drainers=1)
        def wait():
            for _ in range(3):
                s.submit([b"abcd"])
        """,
}


@pytest.mark.parametrize("waiter", sorted(WAITERS))
def test_interpreter_exit_with_a_thread_waiting_in_the_server_exits_cleanly(waiter):
    # A script that ends while a daemon thread still waits inside the server,
    # nothing shut down. `Slow` keeps the interpreter's final teardown busy
    # for a while (as any larger program's teardown is), so the waiting
    # thread's periodic attempt to take the interpreter lock back often falls
    # inside it. The interpreter then ends that thread with a forced unwind,
    # which must pass through our frames: no abort, no sanitizer report.
    child = run_child(
        """
        import threading, time
        import ravo
        from support.raw_producer import CHECKED_LAYOUT, RawProducer, server_args

        class Slow:
            def __del__(self):
                time.sleep(0.5)

        slow = Slow()
        """
        + WAITERS[waiter]
        + """
        threading.Thread(target=wait, daemon=True).start()
        time.sleep(0.3)
        print("exiting", flush=True)
        """
    )
    assert child.stdout.strip() == "exiting"
    assert child.returncode == 0, child.stderr


def test_sample_and_submit_from_a_finalizer_during_interpreter_exit_do_not_hang():
    # A loader that closes its server in __del__, which runs during the
    # interpreter's own teardown, on the finalizing thread. A waiting
    # submit() (a large item is copied with the lock released), sample()
    # and shutdown() must take the interpreter lock back there: only other
    # threads have to wait for the process to end. This hung for good.
    child = run_child(
        """
        import ravo

        class Loader:
            def __init__(self):
                self.srv = ravo._Server([[20000]], [1], 1)
                self.srv.submit([b"a" * 20000])
                self.srv.sample()  # NumPy's C API is loaded from here on

            def __del__(self):
                self.srv.submit([b"x" * 20000])
                arrays, _ = self.srv.sample()
                self.srv.shutdown()
                assert self.srv.sample() is None
                print("closed", bytes(arrays[0][:2]).decode(), flush=True)

        loader = Loader()
        print("exiting", flush=True)
        """,
        timeout=60,
    )
    assert child.stdout.splitlines() == ["exiting", "closed xx"], (child.stdout, child.stderr)
    assert child.returncode == 0, child.stderr


def test_producer_queue_too_large_to_allocate_refuses_connections_not_the_server():
    # Each connection allocates its own producer queue. One that cannot be
    # allocated refuses that connection with an accept error line; the
    # accept loop goes on (it used to end with the failed task, leaving a
    # started server that never accepted again).
    child = run_child(
        """
        import socket
        import ravo
        from support.raw_producer import CHECKED_LAYOUT, server_args
        shapes, dtypes = server_args(CHECKED_LAYOUT)
        s = ravo._Server(shapes, dtypes, 2, ravo.TcpTransport(0, num_threads=1), num_drainers=1,
                         producer_queue_size=2**62)
        s.start()
        for attempt in range(2):
            client = socket.create_connection(("127.0.0.1", s.port), timeout=20)
            try:
                got = client.recv(64)
            except ConnectionResetError:
                got = b""
            print("closed" if got == b"" else "served", flush=True)
            client.close()
        from support.raw_producer import submit_checked
        for seq in range(2):
            submit_checked(s, 0, seq)
        _, info = s.sample()
        print("active", info.active_connections, flush=True)
        s.shutdown()
        print("shut down", flush=True)
        """
    )
    assert child.returncode == 0, child.stderr
    assert child.stdout.split("\n")[:4] == ["closed", "closed", "active 0", "shut down"]
    assert child.stderr.splitlines() == ["TCP accept error: " + os.strerror(errno.ENOMEM)] * 2


# Running out of memory inside the transport's tasks. A sanitizer runtime
# owns the allocator and the address space, so these run only without one.
under_sanitizer = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                     reason="the sanitizer runtime owns the allocator and the address space")


@under_sanitizer
def test_sample_buffer_allocation_failure_is_one_connection_error_line():
    # 256 MiB samples, and an address-space limit that leaves no room for a
    # connection's receive buffer: that connection ends with one connection
    # error line, and the server goes on accepting.
    child = run_child(
        """
        import resource, socket
        import ravo
        from support.raw_producer import read_handshake
        s = ravo._Server([[256 << 20]], [1], 1, ravo.TcpTransport(0, num_threads=1), num_drainers=1,
                         num_buffers=2)
        s.start()
        # Under the limit this process itself must not need memory: the
        # socket is made before it, and connect() with a numeric address
        # imports nothing (create_connection's name lookup would load the
        # idna codec, which may not fit).
        c = socket.socket()
        c.settimeout(20)
        with open("/proc/self/status") as f:
            vm = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm + (16 << 20), hard))
        c.connect(("127.0.0.1", s.port))
        read_handshake(c, 20)
        c.sendall(b"x")
        try:
            got = c.recv(1)
        except ConnectionResetError:
            got = b""
        print("port", c.getsockname()[1], "closed" if got == b"" else "served", flush=True)
        c.close()
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        c = socket.create_connection(("127.0.0.1", s.port), timeout=20)
        read_handshake(c, 20)
        print("still accepting", flush=True)
        c.close()
        s.shutdown()
        """
    )
    assert child.returncode == 0, child.stderr
    first, second = child.stdout.splitlines()[:2]
    _, local_port, state = first.split()
    assert (state, second) == ("closed", "still accepting")
    assert child.stderr.splitlines() == [f"TCP connection error from 127.0.0.1:{local_port}: " + os.strerror(errno.ENOMEM)]


# Every thread created while this is preloaded sleeps 200 ms before it runs
# its start routine; starting() counts the threads still asleep.
LATE_THREADS = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>
static int asleep;
struct start { void* (*fn)(void*); void* arg; };
static void* late(void* p) {
    struct start s = *(struct start*)p;
    free(p);
    struct timespec t = {0, 200 * 1000 * 1000};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {}
    __atomic_sub_fetch(&asleep, 1, __ATOMIC_SEQ_CST);
    return s.fn(s.arg);
}
int pthread_create(pthread_t* th, const pthread_attr_t* attr, void* (*fn)(void*), void* arg) {
    static int (*real)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    if (!real) real = (int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*))dlsym(RTLD_NEXT, "pthread_create");
    struct start* s = malloc(sizeof *s);
    if (!s) return EAGAIN;
    s->fn = fn;
    s->arg = arg;
    __atomic_add_fetch(&asleep, 1, __ATOMIC_SEQ_CST);
    int err = real(th, attr, late, s);
    if (err != 0) {
        __atomic_sub_fetch(&asleep, 1, __ATOMIC_SEQ_CST);
        free(s);
    }
    return err;
}
int starting(void) { return __atomic_load_n(&asleep, __ATOMIC_SEQ_CST); }
"""


def build_shim(tmp_path_factory, name, source):
    """The path of `source` built as a shared library to preload; skips the
    test where no C compiler is installed."""
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip(f"no C compiler for the {name} shim")
    d = tmp_path_factory.mktemp(name)
    (d / "shim.c").write_text(source)
    subprocess.run([cc, "-shared", "-fPIC", "-o", str(d / "shim.so"), str(d / "shim.c"), "-ldl"], check=True)
    return str(d / "shim.so")


@pytest.fixture(scope="module")
def late_threads(tmp_path_factory):
    return build_shim(tmp_path_factory, "late_threads", LATE_THREADS)


@under_sanitizer
def test_worker_that_starts_late_cannot_be_lost_to_an_allocation_after_start(late_threads):
    # A worker's first use of its thread-local state allocates it, and when
    # that fails the dynamic loader ends the whole process ("cannot allocate
    # memory for thread-local data"). So construction (the drainers) and
    # start() (the "tcp" workers) return only once every new worker runs,
    # however late the system schedules it: memory that runs out afterwards
    # can fail a connection, never a worker's start.
    child = run_child(
        f"""
        import ctypes
        import ravo
        shim = ctypes.CDLL({late_threads!r})
        s = ravo._Server([[4]], [1], 1, ravo.TcpTransport(0, num_threads=2), num_drainers=2)
        print("constructed", shim.starting(), flush=True)
        s.start()
        print("started", shim.starting(), flush=True)
        s.shutdown()
        """,
        env_extra={"LD_PRELOAD": late_threads})
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == ["constructed 0", "started 0"]


# malloc of exactly FAIL_SIZE bytes on a thread named "tcp" fails once, after
# FAIL_SKIP such allocations succeeded.
FAILING_MALLOC = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
static void* (*real_malloc)(size_t);
static __thread int busy;
static int skip, skip_read;
void* malloc(size_t n) {
    if (!real_malloc) real_malloc = (void* (*)(size_t))dlsym(RTLD_NEXT, "malloc");
    if (!busy) {
        busy = 1;
        const char* s = getenv("FAIL_SIZE");
        if (s && n == strtoull(s, 0, 10)) {
            char name[16] = {0};
            pthread_getname_np(pthread_self(), name, sizeof name);
            if (strcmp(name, "tcp") == 0) {
                if (!skip_read) {
                    skip = atoi(getenv("FAIL_SKIP"));
                    skip_read = 1;
                }
                if (skip-- == 0) { busy = 0; errno = ENOMEM; return 0; }
            }
        }
        busy = 0;
    }
    return real_malloc(n);
}
"""


@pytest.fixture(scope="module")
def failing_malloc(tmp_path_factory):
    return build_shim(tmp_path_factory, "failing_malloc", FAILING_MALLOC)


# 1,000 leaves of shape (1, 1, 1, 1): a handshake of 9 + 1000 * 24 bytes, a
# size nothing else on a "tcp" thread allocates.
HANDSHAKE_LEN = 9 + 1000 * 24
THREE_CONNECTIONS = """
    import socket
    import ravo
    from support.raw_producer import read_handshake
    s = ravo._Server([[1, 1, 1, 1]] * 1000, [1] * 1000, 1, ravo.TcpTransport(0, num_threads=1),
                     num_drainers=1, num_buffers=2)
    s.start()
    for i in range(3):
        try:
            c = socket.create_connection(("127.0.0.1", s.port), timeout=20)
            read_handshake(c, 20)
            print(i, "served", flush=True)
            c.close()
        except (ConnectionError, AssertionError, OSError):
            print(i, "failed", flush=True)
    s.shutdown()
"""


@under_sanitizer
@pytest.mark.parametrize(
    "fail_skip, served, line",
    [
        # The server task's handshake is made; the first connection's copy of
        # it fails. That connection is refused, and the accept loop goes on
        # (it used to end with the failed task).
        ("1", ["0 failed", "1 served", "2 served"], "TCP accept error: "),
        # Encoding the handshake fails: nothing can be served, and the one
        # line says so in the server's own form.
        ("0", ["0 failed", "1 failed", "2 failed"], "TCP server error: "),
    ],
    ids=["connection-copy", "encoding"],
)
def test_failed_handshake_allocation_is_one_line_and_refuses_only_what_it_must(failing_malloc, fail_skip, served, line):
    child = run_child(THREE_CONNECTIONS,
                      env_extra={"LD_PRELOAD": failing_malloc, "FAIL_SIZE": str(HANDSHAKE_LEN), "FAIL_SKIP": fail_skip})
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == served
    assert child.stderr.splitlines() == [line + os.strerror(errno.ENOMEM)]
