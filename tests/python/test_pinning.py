"""Page-locked batch memory, end to end: `_Server(..., pin_host_memory=True)` against the
stand-in CUDA runtime (support/fake_nvidia.py) and against whatever runtime this machine has.

The located runtime is cached for the life of a process, so every case runs in a fresh
interpreter (`run_json`); cases that may share the cache share one interpreter. The
stand-in logs every call it receives, which is how these tests see what was registered,
in which order, and what was released. Cases that need the stand-in skip when
RAVO_FAKE_CUDART does not name it; the others run everywhere.
"""

import shutil
from pathlib import Path

import pytest

from support.fake_nvidia import (
    PACKAGE_DIR,
    LogCall,
    hidden_loader_cache_argv,
    make_fake_nvidia,
    read_log,
    require_fake_cudart,
    run_json,
    still_registered,
)

BATCH, BUFFERS = 2, 3
CAPACITY = BATCH * BUFFERS  # slots per region: a region is CAPACITY * slot_bytes long

REGISTER_FAILED = (
    "pin_host_memory=True but cudaHostRegister failed with {name} ({code}) on ring buffer {index} "
    "({bytes} bytes). Registrations made before the failure have been rolled back. A usable CUDA device "
    "must be visible to this process; construct the Server after CUDA is initialised."
)
NO_RUNTIME_FIRST = "pin_host_memory=True but no CUDA runtime could be loaded. Probed, in order:"
NO_RUNTIME_LAST = (
    "Install a CUDA runtime (for example the nvidia-cuda-runtime wheel), or construct the Server after "
    "your framework has initialised CUDA."
)

# Snippet helper, defined in every child: builds a pinned server whose leaves have the given
# byte sizes per sample and returns ("ok", server) or (exception type name, text).
CHILD_BUILD = """
import gc, sys
import ravo
from support.fake_nvidia import StandIn, block_module, emit, mapped_runtimes, read_log

def build(sizes, **kw):
    try:
        server = ravo._Server([[n] for n in sizes], [1] * len(sizes), %d, num_buffers=%d,
                              pin_host_memory=True, **kw)
    except Exception as e:
        return type(e).__name__, str(e)
    return "ok", server
""" % (BATCH, BUFFERS)


# ---- expected log lines -------------------------------------------------------------------


def cuda_free():
    return LogCall("cudaFree", 0, 0, 0, 0)


def register(ptr, nbytes, status=0):
    return LogCall("cudaHostRegister", ptr, nbytes, 1, status)


def unregister(ptr, status=0):
    return LogCall("cudaHostUnregister", ptr, 0, 0, status)


def error_name(status):
    return LogCall("cudaGetErrorName", 0, 0, 0, status)


def as_calls(dicts):
    return [LogCall(**d) for d in dicts]


def same_file(a, b):
    return Path(a).resolve() == Path(b).resolve()


def check_register_failed(text, *, index, nbytes):
    """`text` is the registration-refused message for ring buffer `index`; returns (name, code)."""
    prefix = "pin_host_memory=True but cudaHostRegister failed with "
    assert text.startswith(prefix), text
    name, sep, rest = text[len(prefix):].rpartition(f") on ring buffer {index} ({nbytes} bytes).")
    assert sep, text
    name, _, code = name.rpartition(" (")
    assert name and code.lstrip("-").isdigit(), text
    assert text == REGISTER_FAILED.format(name=name, code=code, index=index, bytes=nbytes)
    return name, int(code)


def check_no_runtime(text, wheel_note="no CUDA vendor package is importable"):
    """`text` is the no-runtime message of a process with nothing mapped, the given wheel-rung
    note, and no runtime reachable by soname."""
    lines = text.split("\n")
    assert lines[0] == NO_RUNTIME_FIRST
    assert lines[-1] == NO_RUNTIME_LAST
    notes = lines[1:-1]
    assert len(notes) == 5 and all(n.startswith("  - ") for n in notes), text
    assert notes[0] == "  - (none) [already-loaded scan]: this process has no CUDA runtime mapped"
    assert notes[1] == "  - (none) [installed-wheel search]: " + wheel_note
    for note, soname in zip(notes[2:], ["libcudart.so.13", "libcudart.so.12", "libcudart.so"]):
        head = f"  - {soname} [soname load]: "
        assert note.startswith(head) and len(note) > len(head), text  # then the loader's own text


# ---- success, order, and release only after the last view -----------------------------------


def test_registers_each_region_in_order_and_releases_after_last_view(tmp_path):
    fake = make_fake_nvidia(tmp_path)
    out = run_json(
        CHILD_BUILD
        + """
log = ARGS["log"]
kind, server = build([16, 0, 48])
assert kind == "ok", server
after_build = len(read_log(log))
for i in range(ARGS["batch"]):
    server.submit([bytes([i + 1]) * 16, b"", bytes([i + 101]) * 48])
arrays, info = server.sample()
addrs = [a.__array_interface__["data"][0] for a in arrays]
lengths = [len(a) for a in arrays]
keep = arrays[2]
del arrays, info, server
gc.collect()
with_view = len(read_log(log))
# The view outlives the server and still reads the batch.
view_bytes = bytes(keep[:48]) == bytes([101]) * 48 and bytes(keep[48:96]) == bytes([102]) * 48
del keep
gc.collect()
emit(dict(after_build=after_build, with_view=with_view, addrs=addrs, lengths=lengths,
          view_bytes=view_bytes, maps=mapped_runtimes()))
""",
        args=dict(log=str(fake.log_path), batch=BATCH),
        sys_path=[fake.sys_path],
        env=fake.env(),
    )
    calls = fake.calls()
    a0, _, a2 = out["addrs"]
    assert out["lengths"] == [BATCH * 16, 0, BATCH * 48]
    # cudaFree(NULL) first, then one registration per non-empty region at the batch-0 views.
    assert calls[: out["after_build"]] == [
        cuda_free(),
        register(a0, CAPACITY * 16),
        register(a2, CAPACITY * 48),
    ]
    # submit/sample make no CUDA call; deleting the server while a view lives releases nothing.
    assert calls[out["after_build"] : out["with_view"]] == []
    assert out["view_bytes"]
    # Dropping the last view releases each non-empty region once, in order.
    assert calls[out["with_view"] :] == [unregister(a0), unregister(a2)]
    assert still_registered(calls) == set()
    assert len(out["maps"]) == 1 and same_file(out["maps"][0], fake.library)


# ---- refused registrations: rollback, texts ----------------------------------------------


def test_refused_registration_rolls_back_and_reports(tmp_path):
    fake = make_fake_nvidia(tmp_path)
    out = run_json(
        CHILD_BUILD
        + """
log = ARGS["log"]

def attempt(sizes, **kw):
    start = len(read_log(log))
    kind, text = build(sizes, **kw)
    assert kind != "ok"
    return dict(kind=kind, text=text, calls=[c.__dict__ for c in read_log(log)[start:]])

out = {}
out["second_of_three"] = attempt([16, 48, 8])  # the environment refuses the 2nd registration
cuda = StandIn(ARGS["lib"])
cuda.set_error_name(2)  # cudaGetErrorName returns NULL
cuda.refuse_register(1, 999)
out["null_name"] = attempt([0, 16, 48])
cuda.set_error_name(1, b"bad\\xffname")
cuda.refuse_register(3, 700)
out["third_of_three"] = attempt([16, 48, 8])
cuda.set_error_name(0)
cuda.refuse_register(1, 2)
out["before_transport"] = attempt([16], transport="x")
out["registered"] = cuda.registered_count()
emit(out)
""",
        args=dict(log=str(fake.log_path), lib=str(fake.library)),
        sys_path=[fake.sys_path],
        env=fake.env(refuse_at=2),
    )

    # Three regions, the second refused: region 0 rolled back, region 2 never touched.
    r = out["second_of_three"]
    assert r["kind"] == "RuntimeError"
    assert r["text"] == REGISTER_FAILED.format(
        name="cudaErrorMemoryAllocation", code=2, index=1, bytes=CAPACITY * 48
    )
    c = as_calls(r["calls"])
    assert len(c) == 5, c
    p0, p1 = c[1].ptr, c[2].ptr
    assert p0 != p1
    assert c == [
        cuda_free(),
        register(p0, CAPACITY * 16),
        register(p1, CAPACITY * 48, status=2),
        unregister(p0),
        error_name(2),
    ]

    # The first non-empty region refused, after a zero-byte leaf: no unregister at all, the leaf
    # keeps its index, and a null error name reads "unrecognised CUDA error 999".
    r = out["null_name"]
    assert r["kind"] == "RuntimeError"
    assert r["text"] == REGISTER_FAILED.format(
        name="unrecognised CUDA error 999", code=999, index=1, bytes=CAPACITY * 16
    )
    c = as_calls(r["calls"])
    assert c == [cuda_free(), register(c[1].ptr, CAPACITY * 16, status=999), error_name(999)]

    # The last of three refused: both earlier regions rolled back, in ascending order; a name
    # that is not UTF-8 is shown with the replacement character.
    r = out["third_of_three"]
    assert r["text"] == REGISTER_FAILED.format(
        name="bad\ufffdname", code=700, index=2, bytes=CAPACITY * 8
    )
    c = as_calls(r["calls"])
    p0, p1, p2 = c[1].ptr, c[2].ptr, c[3].ptr
    assert c == [
        cuda_free(),
        register(p0, CAPACITY * 16),
        register(p1, CAPACITY * 48),
        register(p2, CAPACITY * 8, status=700),
        unregister(p0),
        unregister(p1),
        error_name(700),
    ]

    # A refused registration is reported before a bad transport is looked at.
    r = out["before_transport"]
    assert r["kind"] == "RuntimeError"
    assert r["text"] == REGISTER_FAILED.format(
        name="cudaErrorMemoryAllocation", code=2, index=0, bytes=CAPACITY * 16
    )

    assert out["registered"] == 0
    assert still_registered(fake.calls()) == set()


def test_refused_registration_of_a_large_ring_commits_none_of_its_memory(tmp_path):
    # A pinned ring used to be zero-filled page by page before the runtime was even looked
    # for, so a refused pin (the usual outcome on a machine without a GPU) first made the
    # whole ring resident: several GiB here, enough to get a process killed instead of
    # raising. Its pages must stay untouched until the registration itself locks them.
    fake = make_fake_nvidia(tmp_path)
    leaf = 1 << 29  # a 3 GiB region
    out = run_json(
        CHILD_BUILD
        + """
import resource
kind, text = build([ARGS["leaf"]])
calls = read_log(ARGS["log"])
emit(dict(kind=kind, text=text, peak_kib=resource.getrusage(resource.RUSAGE_SELF).ru_maxrss,
          ptr=calls[1].ptr))
""",
        args=dict(log=str(fake.log_path), leaf=leaf),
        sys_path=[fake.sys_path],
        env=fake.env(refuse_at=1),
    )
    assert out["kind"] == "RuntimeError"
    assert out["text"] == REGISTER_FAILED.format(
        name="cudaErrorMemoryAllocation", code=2, index=0, bytes=CAPACITY * leaf
    )
    assert out["ptr"] % 4096 == 0  # whole pages of its own
    assert out["peak_kib"] < 512 * 1024, out["peak_kib"]


def test_forked_child_releases_none_of_the_parents_registrations(tmp_path):
    # The registrations belong to the parent's CUDA context: a forked child
    # that drops its copy of the server, and exits normally, releases nothing.
    fake = make_fake_nvidia(tmp_path)
    out = run_json(
        CHILD_BUILD
        + """
import os
log = ARGS["log"]
kind, server = build([16, 48])
assert kind == "ok", server
pid = os.fork()
if pid == 0:
    del server
    gc.collect()
    sys.exit(0)
_, status = os.waitpid(pid, 0)
after_child = len(read_log(log))
del server
gc.collect()
emit(dict(status=os.waitstatus_to_exitcode(status), after_child=after_child))
""",
        args=dict(log=str(fake.log_path)),
        sys_path=[fake.sys_path],
        env=fake.env(),
    )
    calls = fake.calls()
    assert out["status"] == 0
    # cudaFree(NULL) and two registrations; the child added nothing.
    assert out["after_child"] == 3
    assert [c.entry for c in calls[3:]] == ["cudaHostUnregister"] * 2
    assert still_registered(calls) == set()


def test_bad_transport_after_pinning_releases_everything(tmp_path):
    fake = make_fake_nvidia(tmp_path)
    out = run_json(
        CHILD_BUILD
        + """
kind, text = build([16, 48], transport="x")
emit(dict(kind=kind, text=text, registered=StandIn(ARGS["lib"]).registered_count()))
""",
        args=dict(lib=str(fake.library)),
        sys_path=[fake.sys_path],
        env=fake.env(),
    )
    assert (out["kind"], out["text"]) == ("ValueError", "transport must be TcpTransport")
    c = fake.calls()
    p0, p1 = c[1].ptr, c[2].ptr
    # Pinned first, then released (in order) before the error reached Python.
    assert c == [
        cuda_free(),
        register(p0, CAPACITY * 16),
        register(p1, CAPACITY * 48),
        unregister(p0),
        unregister(p1),
    ]
    assert out["registered"] == 0


# ---- no pinning: no CUDA at all ----------------------------------------------------------


def test_server_without_pinning_loads_no_runtime_and_imports_no_vendor_package(tmp_path):
    # An importable `nvidia` package, so that an import would show in sys.modules.
    fake = make_fake_nvidia(tmp_path, with_runtime=False)
    out = run_json(
        """
import gc, importlib.util, sys
import ravo
from support.fake_nvidia import emit, mapped_runtimes

servers = [ravo._Server([[16], [8]], [1, 1], 2), ravo._Server([[16], [8]], [1, 1], 2, pin_host_memory=False)]
for s in servers:
    s.submit([bytes(16), bytes(8)])
    s.submit([bytes(16), bytes(8)])
    arrays, _ = s.sample()
    s.shutdown()
del servers, s, arrays
gc.collect()
# Pinning requested but the store's size checks fail first: no runtime is looked for.
try:
    ravo._Server([[16]], [1], 2, num_buffers=1, pin_host_memory=True)
    size_error = None
except Exception as e:
    size_error = str(e)
emit(dict(maps=mapped_runtimes(), imported="nvidia" in sys.modules, size_error=size_error,
          importable=importlib.util.find_spec("nvidia") is not None))
""",
        sys_path=[fake.sys_path],
    )
    assert out["importable"]
    assert out["maps"] == []
    assert not out["imported"]
    assert out["size_error"] is not None and "num_batches must be >= 2" in out["size_error"]


# ---- the cached runtime ------------------------------------------------------------------


def test_second_server_reuses_cached_runtime_after_its_files_are_gone(tmp_path):
    fake = make_fake_nvidia(tmp_path / "first")
    # The package is reached through a link, so the loader knows the first copy by a name that
    # differs from the one the maps show: once its files are gone, a new search could not open
    # it again by its mapped path and would go on to the vendor roots.
    site_link = tmp_path / "site-link"
    site_link.symlink_to(fake.sys_path, target_is_directory=True)
    # Where `nvidia.__path__` points for the second server: a runtime a new search would load.
    fresh = make_fake_nvidia(tmp_path / "fresh")
    out = run_json(
        CHILD_BUILD
        + """
import shutil
kind, server = build([16, 48])
assert kind == "ok", server
del server
gc.collect()
first = len(read_log(ARGS["log"]))
shutil.rmtree(ARGS["site"])
sys.modules["nvidia"].__path__ = [ARGS["fresh"]]
kind, server = build([16, 48])
assert kind == "ok", server
maps = mapped_runtimes()
server.submit([bytes(16), bytes(48)])
server.submit([bytes(16), bytes(48)])
arrays, _ = server.sample()
addrs = [a.__array_interface__["data"][0] for a in arrays]
del arrays, server
gc.collect()
emit(dict(first=first, maps=maps, addrs=addrs))
""",
        args=dict(log=str(fake.log_path), site=fake.sys_path, fresh=str(fresh.package_dir)),
        sys_path=[str(site_link)],
        env=fake.env(),
    )
    assert not Path(fake.sys_path).exists()
    # No search ran: the runtime under the new root was never loaded.
    assert len(out["maps"]) == 1 and out["maps"][0].endswith("/first/site/nvidia/cuda_runtime/lib/libcudart.so.12")
    calls = read_log(fake.log_path)
    a0, a1 = out["addrs"]
    # The second server went to the first copy, whose files no longer exist.
    assert calls[out["first"] :] == [
        cuda_free(),
        register(a0, CAPACITY * 16),
        register(a1, CAPACITY * 48),
        unregister(a0),
        unregister(a1),
    ]
    assert still_registered(calls) == set()


# ---- where the runtime comes from -------------------------------------------------------


def test_already_loaded_runtime_is_used_before_any_other(tmp_path):
    plain = tmp_path / "plain" / "libcudart.so.12"  # in no package
    plain.parent.mkdir()
    shutil.copyfile(require_fake_cudart(), plain)
    out = run_json(
        CHILD_BUILD
        + """
block_module("nvidia")
cuda = StandIn(ARGS["lib"])
kind, server = build([16, 48])
assert kind == "ok", server
built = [c.__dict__ for c in cuda.calls()]
maps = mapped_runtimes()
del server
gc.collect()
emit(dict(built=built, maps=maps, end=[c.__dict__ for c in cuda.calls()], registered=cuda.registered_count()))
""",
        args=dict(lib=str(plain)),
    )
    # Only the copy loaded first is mapped: no runtime was loaded by soname.
    assert len(out["maps"]) == 1 and same_file(out["maps"][0], plain)
    built = as_calls(out["built"])
    p0, p1 = built[1].ptr, built[2].ptr
    assert built == [cuda_free(), register(p0, CAPACITY * 16), register(p1, CAPACITY * 48)]
    assert as_calls(out["end"])[3:] == [unregister(p0), unregister(p1)]
    assert out["registered"] == 0


@pytest.mark.parametrize(
    "entries",
    [
        # Entries that are not paths (an int, a directory without the
        # runtime) are skipped on the way to the package directory.
        lambda tmp: [5, tmp / "empty", PACKAGE_DIR],
        # The only root that holds the runtime is a pathlib.Path, after a
        # bytes entry (refused): a search that skipped path-like entries
        # would find nothing.
        lambda tmp: [str(tmp).encode(), tmp / "site" / "nvidia"],
    ],
    ids=["not-paths-skipped", "path-object-searched"],
)
def test_vendor_path_entries_are_read_through_their_file_system_form(tmp_path, entries):
    (tmp_path / "empty").mkdir()
    fake = make_fake_nvidia(tmp_path, path_entries=entries(tmp_path))
    out = run_json(
        CHILD_BUILD
        + """
kind, server = build([16])
maps = mapped_runtimes()
del server
gc.collect()
emit(dict(kind=kind, maps=maps))
""",
        sys_path=[fake.sys_path],
        env=fake.env(),
    )
    assert out["kind"] == "ok", out
    assert len(out["maps"]) == 1 and same_file(out["maps"][0], fake.library)
    assert [c.entry for c in fake.calls()] == ["cudaFree", "cudaHostRegister", "cudaHostUnregister"]


FLAKY_PATH = """
import os as _os
_here = _os.path.dirname(_os.path.abspath(__file__))

class _Entries:
    # Iterating raises before each real entry (always, with FOREVER).
    FOREVER = {forever}

    def __init__(self):
        self.step = 0

    def __iter__(self):
        return self

    def __next__(self):
        self.step += 1
        if self.FOREVER or self.step % 2 == 1:
            raise OSError("entry %d is unreadable" % self.step)
        if self.step == 2:
            return _here
        raise StopIteration

__path__ = _Entries()
"""


@pytest.mark.parametrize("forever", [False, True])
def test_vendor_path_entry_that_fails_to_iterate_is_skipped(tmp_path, forever):
    # The directory behind a failing entry is still searched; an iteration
    # that never stops failing is given up, and construction goes on.
    fake = make_fake_nvidia(tmp_path)
    (fake.package_dir / "__init__.py").write_text(FLAKY_PATH.format(forever=forever))
    out = run_json(
        CHILD_BUILD
        + """
kind, server = build([16])
emit(dict(kind=kind, maps=mapped_runtimes(), steps=sys.modules["nvidia"].__path__.step))
""",
        sys_path=[fake.sys_path],
        env=fake.env(),
    )
    if forever:
        assert out["steps"] == 64
    else:
        assert out["kind"] == "ok"
        assert len(out["maps"]) == 1 and same_file(out["maps"][0], fake.library)
        assert out["steps"] == 4  # fail, the package directory, fail, end


def test_vendor_roots_keep_their_order_in_the_no_runtime_text(tmp_path):
    # Needs a process in which no runtime can be found, so that the notes are shown.
    argv = hidden_loader_cache_argv()
    if argv is None:
        pytest.skip("cannot start the interpreter with the loader cache ignored here")
    dir_a, dir_b, dir_c = tmp_path / "a", tmp_path / "b", tmp_path / "c"
    for d in (dir_a, dir_b, dir_c):
        d.mkdir()
    # Names that fail the library name test, and a matching file four levels deep (too deep).
    (dir_a / "libcudart_static.a").write_bytes(b"")
    (dir_a / "libcudartfoo.so").write_bytes(b"")
    deep = dir_b / "1" / "2" / "3" / "4"
    deep.mkdir(parents=True)
    (deep / "libcudart.so.12").write_bytes(b"")
    fake = make_fake_nvidia(
        tmp_path, with_runtime=False, path_entries=[5, dir_a, str(dir_c).encode(), str(dir_b)]
    )
    out = run_json(
        CHILD_BUILD
        + """
kind, text = build([16])
emit(dict(kind=kind, text=text, maps=mapped_runtimes()))
""",
        sys_path=[fake.sys_path],
        interpreter=argv,
    )
    assert out["kind"] == "RuntimeError"
    if not out["text"].startswith(NO_RUNTIME_FIRST):
        pytest.skip("a CUDA runtime is reachable even without the loader cache: " + out["text"])
    # The int and the bytes entries are skipped; the others keep their order.
    check_no_runtime(out["text"], wheel_note=f"no runtime found beneath {dir_a}, {dir_b}")
    assert out["maps"] == []


def test_no_runtime_text_is_whole_when_a_root_holds_a_nul_byte(tmp_path):
    argv = hidden_loader_cache_argv()
    if argv is None:
        pytest.skip("cannot start the interpreter with the loader cache ignored here")
    fake = make_fake_nvidia(tmp_path, with_runtime=False, path_entries=["/nonexistent/a\0b"])
    out = run_json(
        CHILD_BUILD
        + """
kind, text = build([16])
emit(dict(kind=kind, text=text))
""",
        sys_path=[fake.sys_path],
        interpreter=argv,
    )
    if not out["text"].startswith(NO_RUNTIME_FIRST):
        pytest.skip("a CUDA runtime is reachable even without the loader cache: " + out["text"])
    check_no_runtime(out["text"], wheel_note="no runtime found beneath /nonexistent/a\0b")


def _outcome(out, key):
    return tuple(out[key]) if out[key][0] != "ok" else ("ok", "")


@pytest.mark.parametrize("loader", ["loader-cache", "no-loader-cache"])
def test_machine_runtime_without_vendor_package(loader):
    """Whatever this machine offers: no runtime at all gives the five-note text; a runtime
    without a usable device refuses ring buffer 0; a usable device pins."""
    argv = None
    if loader == "no-loader-cache":
        argv = hidden_loader_cache_argv()
        if argv is None:
            pytest.skip("cannot start the interpreter with the loader cache ignored here")
    out = run_json(
        CHILD_BUILD
        + """
block_module("nvidia")
def attempt(**kw):
    kind, server = build([16, 48], **kw)
    if kind == "ok":
        del server
        gc.collect()
        return "ok", ""
    return kind, server
first = attempt()
maps = mapped_runtimes()
emit(dict(first=first, second=attempt(), with_transport=attempt(transport="x"), maps=maps))
""",
        interpreter=argv,
    )
    first = _outcome(out, "first")
    if first[0] == "ok":  # a usable CUDA device: pinning works, and the transport is checked next
        assert _outcome(out, "with_transport") == ("ValueError", "transport must be TcpTransport")
        return
    kind, text = first
    assert kind == "RuntimeError"
    if text.startswith(NO_RUNTIME_FIRST):
        check_no_runtime(text)
        assert out["maps"] == []  # nothing was loaded, so nothing can be registered
    else:
        # Region 0 is the first region, so nothing was registered before the refusal.
        check_register_failed(text, index=0, nbytes=CAPACITY * 16)
        assert len(out["maps"]) == 1
    # A second attempt fails the same way (no registration was left behind), and the pinning
    # error comes before the transport's.
    assert _outcome(out, "second") == first
    assert _outcome(out, "with_transport") == first


# ---- concurrency -----------------------------------------------------------------------------


def test_two_threads_build_pinned_servers_at_once(tmp_path):
    fake = make_fake_nvidia(tmp_path)
    out = run_json(
        CHILD_BUILD
        + """
import threading
n = 2
barrier = threading.Barrier(n)
results = [None] * n
def run(i):
    barrier.wait(timeout=60)
    results[i] = build([16, 48])
threads = [threading.Thread(target=run, args=(i,)) for i in range(n)]
for t in threads:
    t.start()
for t in threads:
    t.join(timeout=60)
assert not any(t.is_alive() for t in threads), "a construction hung"
assert all(r[0] == "ok" for r in results), results
addrs = []
for _, server in results:
    server.submit([bytes(16), bytes(48)])
    server.submit([bytes(16), bytes(48)])
    arrays, _ = server.sample()
    addrs.append([a.__array_interface__["data"][0] for a in arrays])
    del arrays
maps = mapped_runtimes()
del results, server
gc.collect()
emit(dict(addrs=addrs, maps=maps))
""",
        sys_path=[fake.sys_path],
        env=fake.env(),
    )
    assert len(out["maps"]) == 1 and same_file(out["maps"][0], fake.library)
    calls = fake.calls()
    registered = [(c.ptr, c.bytes) for c in calls if c.entry == "cudaHostRegister"]
    expected = {(a0, CAPACITY * 16) for a0, _ in out["addrs"]} | {(a1, CAPACITY * 48) for _, a1 in out["addrs"]}
    assert len(registered) == 4 and set(registered) == expected
    assert all(c.status == 0 for c in calls)
    assert [c.entry for c in calls].count("cudaFree") == 2
    assert [c.entry for c in calls].count("cudaHostUnregister") == 4
    assert still_registered(calls) == set()
