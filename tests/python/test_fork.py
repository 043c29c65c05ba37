"""A server in a process that forks: data-loader workers and multiprocessing children
under the fork start method inherit a copy of every server and every descriptor, but
none of the server's threads.

Each case runs in a child interpreter that builds a server and forks, so that the test
process itself never forks with threads running.
"""
import os
import subprocess
import sys
import textwrap

WAIT = 60
FORKED_CHILD = "this server belongs to the process that created it; a forked child cannot use it"


def run_child(code):
    env = dict(os.environ)
    here = os.path.dirname(os.path.abspath(__file__))
    env["PYTHONPATH"] = os.pathsep.join([here] + [p for p in sys.path if p])
    # Python 3.12 and later warn about forking a process that has threads:
    # exactly the situation under test.
    return subprocess.run([sys.executable, "-W", "ignore::DeprecationWarning", "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=WAIT, env=env)


def test_shutdown_ends_connections_and_frees_the_port_while_a_forked_child_holds_the_descriptors():
    # The forked worker keeps copies of the listener and of every connection
    # until it exits; a plain close left producers waiting for acknowledgements,
    # queued new connections in the backlog and kept the port bound.
    child = run_child(
        """
        import os, socket, time
        import ravo
        from support.raw_producer import read_handshake
        s = ravo._Server([[8]], [1], 4, ravo.TcpTransport(0, num_threads=2), num_drainers=1)
        s.start()
        port = s.port
        c = socket.create_connection(("127.0.0.1", port), timeout=20)
        read_handshake(c, 20)
        c.sendall(b"x" * 8)
        assert c.recv(1) == b"\\x01"
        worker = os.fork()
        if worker == 0:
            time.sleep(60)
            os._exit(0)
        try:
            s.shutdown()
            c.settimeout(20)
            try:
                ended = c.recv(1) == b""
            except ConnectionResetError:
                ended = True
            print("producer told:", ended)
            try:
                socket.create_connection(("127.0.0.1", port), timeout=20)
                print("new connection: accepted")
            except ConnectionRefusedError:
                print("new connection: refused")
            again = ravo._Server([[8]], [1], 4, ravo.TcpTransport(port, num_threads=1), num_drainers=1)
            again.start()
            print("bound again:", again.port == port)
            again.shutdown()
        finally:
            os.kill(worker, 9)
            os.waitpid(worker, 0)
        """
    )
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == ["producer told: True", "new connection: refused", "bound again: True"]
    assert child.stderr == ""


def test_forked_child_neither_uses_nor_tears_down_the_parents_server():
    # The child's copy once tore the server down on exit, joining threads that
    # only exist in the parent: the child died of a segmentation fault.
    child = run_child(
        """
        import gc, os, sys
        import ravo, ravo_producer
        s = ravo._Server([[8]], [1], 2, ravo.TcpTransport(0, num_threads=2), num_drainers=2)
        s.start()
        local = ravo._Server([[8]], [1], 2)  # no transport
        with ravo_producer.Producer("127.0.0.1", s.port) as p:
            p.send([b"a" * 8])
            p.send([b"b" * 8])
        arrays, info = s.sample()

        def server_threads():
            names = []
            for task in os.listdir("/proc/self/task"):
                with open(f"/proc/self/task/{task}/comm") as f:
                    names.append(f.read().strip())
            return sorted(n for n in names if n in ("drainer", "tcp"))

        threads = server_threads()
        assert threads == ["drainer"] * 2 + ["tcp"] * 2, threads
        pid = os.fork()
        if pid == 0:
            try:
                assert s.shutdown() is None  # nothing of it to stop here
                for call in (s.start, s.sample, lambda: s.submit([b"c" * 8])):
                    try:
                        call()
                    except RuntimeError as e:
                        assert str(e) == "%s", str(e)
                    else:
                        raise AssertionError("a call in the forked child was served")
                try:
                    local.start()
                except RuntimeError as e:  # the configuration's error, as in the parent
                    assert str(e) == "no transport configured; pass TcpTransport to __init__", str(e)
                else:
                    raise AssertionError("start() without a transport succeeded")
                view = arrays[0]
                del arrays, info, s
                gc.collect()
                assert bytes(view[:16]) == b"a" * 8 + b"b" * 8  # the child's copy of the batch
                del view
                gc.collect()
            except BaseException as e:
                print("child:", repr(e), file=sys.stderr, flush=True)
                os._exit(3)
            sys.exit(0)  # a normal exit: the interpreter finalizes what is left
        _, status = os.waitpid(pid, 0)
        print("child exit:", os.waitstatus_to_exitcode(status))
        # The parent's server is untouched: its threads run, it serves and stops.
        assert server_threads() == threads
        with ravo_producer.Producer("127.0.0.1", s.port) as p:
            p.send([b"d" * 8])
        s.submit([b"e" * 8])
        arrays, info = s.sample()
        got = bytes(arrays[0])
        # The acknowledged sample and the submitted one, in either order.
        print("parent batch:", sorted([got[:8], got[8:]]))
        s.shutdown()
        print("parent shut down:", s.sample() is None)
        """ % FORKED_CHILD
    )
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == ["child exit: 0", "parent batch: " + repr([b"d" * 8, b"e" * 8]),
                                         "parent shut down: True"]
    assert child.stderr == ""
