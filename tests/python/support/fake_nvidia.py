"""A stand-in CUDA vendor package for the pinning end-to-end tests.

The C++ test build produces a stand-in CUDA runtime (tests/cpp/support/fake_cudart.c),
a shared library named exactly ``libcudart.so.12`` that exports cudaHostRegister,
cudaHostUnregister, cudaGetErrorName and cudaFree, records every call and can be told
to refuse a registration. Build it and point ``RAVO_FAKE_CUDART`` at it::

    cmake -S . -B build -DRAVO_BUILD_MODULE=OFF -DRAVO_BUILD_TESTS=ON
    cmake --build build --target fake_cudart
    export RAVO_FAKE_CUDART=$PWD/build/tests/cpp/support/full/libcudart.so.12

(the ``fake_cudart_no_error_name`` target builds a variant lacking cudaGetErrorName
under ``.../support/no_error_name/``).

``make_fake_nvidia(tmp_path)`` lays the library out the way the vendor's wheel does,
``<tmp>/site/nvidia/cuda_runtime/lib/libcudart.so.12``, so that ``import nvidia``
finds it and the server's installed-wheel search picks it up. Because the located
runtime is cached for the life of a process, every case runs in a fresh interpreter:
``run_python(snippet, sys_path=[fake.sys_path], env=fake.env(...))``.

The stand-in is steered through the environment of that interpreter (read when the
library is loaded):

    RAVO_FAKE_CUDART_LOG              file that receives one line per call
    RAVO_FAKE_CUDART_REFUSE_AT        n: refuse the n-th cudaHostRegister (1-based)
    RAVO_FAKE_CUDART_REFUSE_STATUS    status of that refusal (default 2)
    RAVO_FAKE_CUDART_ERROR_NAME       name cudaGetErrorName returns for every status
    RAVO_FAKE_CUDART_ERROR_NAME_NULL  "1": cudaGetErrorName returns NULL

Log lines read ``<entry point> <address 0x hex> <bytes> <flags> <status>``; unused
fields are 0; for cudaGetErrorName the status is the one asked about. Registering an
address twice gives 712 and unregistering an unknown address gives 713, as the real
runtime does, so the log also shows double or stray releases.

Inside a child interpreter (this module imports nothing beyond the standard library,
so a snippet may ``from support.fake_nvidia import ...``):

    StandIn(path)            ctypes view of one loaded copy: its own in-memory call
                             record, live registrations and refusal controls
    mapped_runtimes()        libcudart paths mapped into this process, in maps order
    block_module("nvidia")   makes the import fail as if the package were not installed
    emit(obj)                hands a JSON result back to `run_json` in the parent

``run_json`` runs a snippet and returns what it emitted (failing with the child's
output otherwise); ``hidden_loader_cache_argv()`` gives a command prefix that starts the
interpreter with the dynamic loader's cache ignored, which hides a system-wide CUDA
runtime registered there (None where that cannot be arranged).
"""

from __future__ import annotations

import ctypes
import functools
import json
import os
import shutil
import subprocess
import sys
import textwrap
from dataclasses import dataclass
from pathlib import Path
from typing import Iterable, Mapping, Optional, Sequence

ENV_LIBRARY = "RAVO_FAKE_CUDART"
ENV_LOG = "RAVO_FAKE_CUDART_LOG"
ENV_REFUSE_AT = "RAVO_FAKE_CUDART_REFUSE_AT"
ENV_REFUSE_STATUS = "RAVO_FAKE_CUDART_REFUSE_STATUS"
ENV_ERROR_NAME = "RAVO_FAKE_CUDART_ERROR_NAME"
ENV_ERROR_NAME_NULL = "RAVO_FAKE_CUDART_ERROR_NAME_NULL"

# Stands for the package's own directory in ``make_fake_nvidia(path_entries=...)``.
PACKAGE_DIR = object()


def fake_cudart_library() -> Optional[Path]:
    """The built stand-in named by ``RAVO_FAKE_CUDART``, or None when unset or missing."""
    value = os.environ.get(ENV_LIBRARY)
    if not value:
        return None
    path = Path(value)
    return path if path.is_file() else None


def require_fake_cudart() -> Path:
    """The built stand-in; skips the calling test when it is not available."""
    path = fake_cudart_library()
    if path is None:
        import pytest

        pytest.skip(f"set {ENV_LIBRARY} to the built stand-in libcudart.so.12 (target fake_cudart)")
    return path


@dataclass(frozen=True)
class FakeNvidia:
    sys_path: str  # the directory to put on sys.path; it holds the `nvidia` package
    package_dir: Path  # <sys_path>/nvidia
    library: Path  # the copied stand-in under the package
    log_path: Path  # where the stand-in writes its call log (see `env`)

    def env(
        self,
        *,
        refuse_at: Optional[int] = None,
        refuse_status: Optional[int] = None,
        error_name: Optional[str] = None,
        error_name_null: bool = False,
    ) -> dict:
        """Environment for `run_python` that logs to `log_path` and sets the refusals."""
        env = {ENV_LOG: str(self.log_path)}
        if refuse_at is not None:
            env[ENV_REFUSE_AT] = str(refuse_at)
        if refuse_status is not None:
            env[ENV_REFUSE_STATUS] = str(refuse_status)
        if error_name is not None:
            env[ENV_ERROR_NAME] = error_name
        if error_name_null:
            env[ENV_ERROR_NAME_NULL] = "1"
        return env

    def calls(self) -> list:
        return read_log(self.log_path)


def _entry_source(entry: object) -> str:
    if entry is PACKAGE_DIR:
        return "_here"
    if isinstance(entry, os.PathLike):
        return f"__import__('pathlib').Path({os.fspath(entry)!r})"
    return repr(entry)


def make_fake_nvidia(
    tmp_path: Path,
    library: Optional[Path] = None,
    *,
    lib_relpath: str = "cuda_runtime/lib/libcudart.so.12",
    namespace: bool = False,
    path_entries: Optional[Sequence[object]] = None,
    with_runtime: bool = True,
) -> FakeNvidia:
    """Lays out ``<tmp_path>/site/nvidia/<lib_relpath>`` with a copy of the stand-in.

    library: the stand-in to copy (default: ``RAVO_FAKE_CUDART``, skipping the test when unset).
    namespace: leave out ``__init__.py``, as the vendor's wheels do (``__path__`` is then a
        namespace path; note that any other ``nvidia`` portion on sys.path joins it).
    path_entries: what ``nvidia.__path__`` should hold, in order; ``PACKAGE_DIR`` stands for the
        package directory, other items are written as Python literals (str, bytes, int, ...) or,
        for ``os.PathLike`` objects, as ``pathlib.Path``. Default: just the package directory.
    with_runtime: False lays out the package with no runtime in it (``library`` is then
        ignored, nothing is skipped, and ``FakeNvidia.library`` names a file that does not exist).
    """
    site = Path(tmp_path) / "site"
    package_dir = site / "nvidia"
    target = package_dir / lib_relpath
    target.parent.mkdir(parents=True, exist_ok=True)
    if with_runtime:
        source = Path(library) if library is not None else require_fake_cudart()
        shutil.copyfile(source, target)
    if not namespace:
        entries = list(path_entries) if path_entries is not None else [PACKAGE_DIR]
        items = ", ".join(_entry_source(e) for e in entries)
        (package_dir / "__init__.py").write_text(
            "# Stand-in for the CUDA vendor's namespace package: only __path__ matters.\n"
            "import os as _os\n"
            "_here = _os.path.dirname(_os.path.abspath(__file__))\n"
            f"__path__ = [{items}]\n"
        )
    elif path_entries is not None:
        raise ValueError("path_entries needs namespace=False")
    return FakeNvidia(
        sys_path=str(site),
        package_dir=package_dir,
        library=target,
        log_path=Path(tmp_path) / "fake_cudart.log",
    )


@dataclass(frozen=True)
class LogCall:
    entry: str  # "cudaFree", "cudaHostRegister", "cudaHostUnregister", "cudaGetErrorName"
    ptr: int
    bytes: int
    flags: int
    status: int


def read_log(log_path: Path) -> list:
    """The stand-in's calls, in order; empty when it logged nothing."""
    path = Path(log_path)
    if not path.exists():
        return []
    calls = []
    for line in path.read_text().splitlines():
        entry, ptr, nbytes, flags, status = line.split()
        calls.append(LogCall(entry, int(ptr, 16), int(nbytes), int(flags), int(status)))
    return calls


def still_registered(calls: Iterable[LogCall]) -> set:
    """Addresses registered successfully and not unregistered since."""
    live = set()
    for c in calls:
        if c.entry == "cudaHostRegister" and c.status == 0:
            live.add(c.ptr)
        elif c.entry == "cudaHostUnregister" and c.status == 0:
            live.discard(c.ptr)
    return live


def run_python(
    snippet: str,
    *,
    sys_path: Sequence[str] = (),
    env: Optional[Mapping[str, str]] = None,
    timeout: float = 120,
    interpreter: Optional[Sequence[str]] = None,
) -> subprocess.CompletedProcess:
    """Runs `snippet` in a fresh interpreter and returns the finished process (text output).

    The located CUDA runtime is cached per process, so each pinning case needs its own.
    `sys_path` entries come first on the child's path, then this process's own path (so that
    `ravo` imports the same way). Stand-in controls inherited from this process are dropped
    before `env` is applied. `interpreter` replaces ``[sys.executable]`` as the command
    (for example `hidden_loader_cache_argv()`).
    """
    child_env = {k: v for k, v in os.environ.items() if not k.startswith("RAVO_FAKE_CUDART_")}
    child_env.update(env or {})
    paths = [str(p) for p in sys_path] + [p for p in sys.path if p]
    child_env["PYTHONPATH"] = os.pathsep.join(paths)
    child_env["PYTHONUNBUFFERED"] = "1"
    command = list(interpreter) if interpreter is not None else [sys.executable]
    return subprocess.run(
        command + ["-c", textwrap.dedent(snippet)],
        env=child_env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


# Prefix of the stdout line that carries a child's result (see `emit`).
RESULT_MARKER = "@@RAVO_RESULT@@ "


def emit(obj: object) -> None:
    """Child side: hands `obj` (JSON-serialisable) back to `run_json`; call once, at the end."""
    sys.stdout.write(RESULT_MARKER + json.dumps(obj) + "\n")
    sys.stdout.flush()


def run_json(
    snippet: str,
    *,
    args: Optional[Mapping[str, object]] = None,
    sys_path: Sequence[str] = (),
    env: Optional[Mapping[str, str]] = None,
    timeout: float = 120,
    interpreter: Optional[Sequence[str]] = None,
):
    """Runs `snippet` like `run_python` and returns the object it passed to `emit`.

    `args` (JSON-serialisable) is visible to the snippet as the global ``ARGS``. A child
    that exits non-zero or emits nothing fails the calling test with its whole output.
    """
    prelude = f"import json as _json\nARGS = _json.loads({json.dumps(dict(args or {}))!r})\n"
    proc = run_python(
        prelude + textwrap.dedent(snippet),
        sys_path=sys_path,
        env=env,
        timeout=timeout,
        interpreter=interpreter,
    )
    results = [line[len(RESULT_MARKER):] for line in proc.stdout.splitlines() if line.startswith(RESULT_MARKER)]
    if proc.returncode != 0 or len(results) != 1:
        raise AssertionError(
            f"child interpreter exited with {proc.returncode} and {len(results)} results\n"
            f"--- stdout ---\n{proc.stdout}\n--- stderr ---\n{proc.stderr}"
        )
    return json.loads(results[0])


def mapped_runtimes() -> list:
    """Child side: paths of mapped files named libcudart.so or libcudart.so.*, each once,
    in the order of /proc/self/maps (a " (deleted)" marker is dropped)."""
    seen = []
    with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
        for line in maps:
            line = line.rstrip("\n")
            if line.endswith(" (deleted)"):
                line = line[: -len(" (deleted)")]
            at = line.find(" /")
            if at < 0:
                continue
            path = line[at + 1:]
            name = path.rsplit("/", 1)[-1]
            if (name == "libcudart.so" or name.startswith("libcudart.so.")) and path not in seen:
                seen.append(path)
    return seen


class _Blocker:
    """A meta-path finder that makes importing the named top-level modules fail."""

    def __init__(self, names):
        self.names = frozenset(names)

    def find_spec(self, fullname, path=None, target=None):
        if fullname.partition(".")[0] in self.names:
            raise ModuleNotFoundError(f"No module named {fullname!r} (blocked by the test)", name=fullname)
        return None


def block_module(*names: str) -> None:
    """Child side: importing any of `names` now fails as if it were not installed (a module
    already in sys.modules is not affected)."""
    sys.meta_path.insert(0, _Blocker(names))


class _Call(ctypes.Structure):
    # fake_cudart_call in fake_cudart.h
    _fields_ = [
        ("entry", ctypes.c_int),
        ("ptr", ctypes.c_void_p),
        ("bytes", ctypes.c_size_t),
        ("flags", ctypes.c_uint),
        ("status", ctypes.c_int),
    ]


_ENTRY_NAMES = {1: "cudaFree", 2: "cudaHostRegister", 3: "cudaHostUnregister", 4: "cudaGetErrorName"}


class StandIn:
    """Child side: the controls of one copy of the stand-in, loaded from `path` (the same
    copy the server uses when it loaded that path; a different file is a different copy
    with its own record). Calls are read from the copy's memory, not from the log file."""

    def __init__(self, path):
        self.path = str(path)
        lib = ctypes.CDLL(self.path)
        self._count = lib.fake_cudart_call_count
        self._count.restype = ctypes.c_size_t
        self._get = lib.fake_cudart_get_call
        self._get.argtypes = [ctypes.c_size_t, ctypes.POINTER(_Call)]
        self._get.restype = ctypes.c_int
        self._registered = lib.fake_cudart_registered_count
        self._registered.restype = ctypes.c_size_t
        self._refuse = lib.fake_cudart_refuse_register
        self._refuse.argtypes = [ctypes.c_ulong, ctypes.c_int]
        self._refuse.restype = None
        self._set_name = lib.fake_cudart_set_error_name
        self._set_name.argtypes = [ctypes.c_int, ctypes.c_char_p]
        self._set_name.restype = None

    def calls(self) -> list:
        out = []
        for i in range(self._count()):
            c = _Call()
            if self._get(i, ctypes.byref(c)) != 0:
                break
            out.append(LogCall(_ENTRY_NAMES.get(c.entry, str(c.entry)), c.ptr or 0, c.bytes, c.flags, c.status))
        return out

    def registered_count(self) -> int:
        return self._registered()

    def refuse_register(self, nth: int, status: int) -> None:
        """Refuse the nth registration from now on (1-based; 0 = never) with `status`."""
        self._refuse(nth, status)

    def set_error_name(self, mode: int, name: Optional[bytes] = None) -> None:
        """mode 0: built-in names; 1: `name` for every status; 2: NULL for every status."""
        self._set_name(mode, name)


def _loader_path() -> Optional[str]:
    """The dynamic loader this interpreter runs under, from its own maps."""
    with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
        for line in maps:
            at = line.find(" /")
            if at >= 0:
                path = line[at + 1:].rstrip("\n")
                if path.rsplit("/", 1)[-1].startswith("ld-linux"):
                    return path
    return None


@functools.lru_cache(maxsize=None)
def hidden_loader_cache_argv() -> Optional[tuple]:
    """A command that starts this interpreter with the loader's cache (ld.so.cache) ignored,
    so that a runtime known only through the cache cannot be found by soname; None when the
    interpreter, NumPy or ravo cannot start that way here."""
    loader = _loader_path()
    if loader is None:
        return None
    argv = (loader, "--inhibit-cache", sys.executable)
    try:
        proc = run_python("import numpy, ravo", interpreter=argv, timeout=120)
    except (OSError, subprocess.SubprocessError):
        return None
    return argv if proc.returncode == 0 else None
