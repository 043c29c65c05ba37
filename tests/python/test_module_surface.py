"""The module's surface: classes, their order, exact docstrings and signatures."""

import inspect

import pytest

import ravo


def test_module_registers_classes_in_order():
    public = [k for k in vars(ravo) if not k.startswith("__")]
    assert public == ["_Server", "TcpTransport", "SampleInfo", "HistSnapshot"]
    assert ravo.__doc__ == ""


def test_server_signature_and_member_order():
    assert ravo._Server.__doc__ == ""
    sig = inspect.signature(ravo._Server)
    assert str(sig) == (
        "(shapes, dtype_sizes, batch_size, transport=None, num_buffers=3, num_drainers=8, "
        "producer_queue_size=8, pin_host_memory=False)"
    )
    members = [k for k in vars(ravo._Server) if not k.startswith("__")]
    assert members == ["start", "port", "sample", "submit", "reset_histograms", "shutdown"]
    assert isinstance(vars(ravo._Server)["port"], property) or inspect.isdatadescriptor(vars(ravo._Server)["port"])


def test_method_docstrings_are_exact():
    S = ravo._Server
    assert S.start.__doc__ == "Start the transport (bind port, begin accepting connections)."
    assert S.port.__doc__ == "The port the transport is listening on, once started."
    assert S.submit.__doc__ == (
        "Submit raw bytes for a sample (for in-process use / testing / benchmarking).\n"
        "Releases the GIL so multiple Python threads can submit concurrently."
    )
    assert S.shutdown.__doc__ == "Signal shutdown: stops transport, drainer pool, then unblocks sample."
    assert S.reset_histograms.__doc__ == (
        "Reset the per-drainer timing histograms (memcpy, drain_round,\nqueue_dwell). Counters and gauges are "
        "unchanged. Call at the boundary\nof a metrics window so the next `SampleInfo` reflects only events\n"
        "recorded after this call."
    )
    assert S.sample.__doc__ == (
        "Block until a batch is ready.\n\nReturns `(arrays, info)` where `arrays` is a list of uint8 numpy views\n"
        "into server-owned memory (invalidated on the next `sample` call), and\n`info` is a `SampleInfo` snapshot "
        "of backpressure metrics. Returns None\non shutdown."
    )
    for name, params in [("start", []), ("sample", []), ("submit", ["data"]), ("shutdown", []),
                         ("reset_histograms", [])]:
        sig = inspect.signature(getattr(S, name))
        assert list(sig.parameters)[1:] == params, name


def test_snapshot_classes():
    assert ravo.SampleInfo.__doc__ == (
        "Snapshot of backpressure + throughput metrics returned with every sample.\n\n"
        "The histogram fields and CAS counters are populated only when the\n"
        "`detailed-metrics` build feature is enabled; otherwise they come back as\n"
        "zero-valued `HistSnapshot`s / zero counters."
    )
    assert ravo.HistSnapshot.__doc__ == "Histogram percentiles (ns) exposed to Python. Mirrors\n`metrics::HistSnapshot`."
    info_attrs = [k for k in vars(ravo.SampleInfo) if not k.startswith("__")]
    assert info_attrs == [
        "store_size", "active_connections", "queue_depth_sum", "queue_depth_max", "push_blocked_count",
        "samples_inserted_total", "notify_count", "cas_success_total", "cas_failure_total",
        "reservation_retries_total", "drain_round", "memcpy", "queue_dwell",
    ]
    hist_attrs = [k for k in vars(ravo.HistSnapshot) if not k.startswith("__")]
    assert hist_attrs == ["count", "min_ns", "max_ns", "mean_ns", "p50_ns", "p90_ns", "p99_ns"]
    for cls in (ravo.SampleInfo, ravo.HistSnapshot):
        assert cls.__bases__ == (object,)
        with pytest.raises(TypeError):
            cls()
        for k, v in vars(cls).items():
            if not k.startswith("__"):
                assert v.__doc__ == "", k


def test_tcp_transport_signature():
    assert ravo.TcpTransport.__doc__ == ""
    assert str(inspect.signature(ravo.TcpTransport)) == "(port, num_threads=8)"


def test_type_stub_matches_the_module():
    # Editors show the stub's texts, so a stub that drifts from the module misleads users:
    # same classes, same members in the same order, the same docstrings where the module
    # has one, and the constructors' parameters as the module's signatures give them.
    import ast
    from pathlib import Path

    stub = ast.parse((Path(__file__).resolve().parents[2] / "python" / "ravo.pyi").read_text())
    classes = {c.name: c for c in stub.body if isinstance(c, ast.ClassDef)}
    assert list(classes) == ["TcpTransport", "HistSnapshot", "SampleInfo", "_Server"]
    for name, node in classes.items():
        cls = getattr(ravo, name)
        assert (ast.get_docstring(node, clean=True) or "") == inspect.cleandoc(cls.__doc__ or ""), name
        members = [f.name for f in node.body if isinstance(f, ast.FunctionDef) and f.name != "__init__"]
        assert members == [k for k in vars(cls) if not k.startswith("__")], name
        for f in node.body:
            if not isinstance(f, ast.FunctionDef):
                continue
            if f.name == "__init__":
                params = [a.arg for a in f.args.args[1:]]
                assert params == list(inspect.signature(cls).parameters), name
                continue
            doc = inspect.cleandoc(getattr(cls, f.name).__doc__ or "")
            assert (ast.get_docstring(f, clean=True) or "") == doc, f"{name}.{f.name}"


def test_module_exports_nothing_but_its_init_function():
    # The core's C++ symbols once leaked into the dynamic symbol table, where
    # another extension built on the same names would bind to ours.
    import shutil
    import subprocess

    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", ravo.__file__], capture_output=True, text=True, check=True)
    exported = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert exported == ["PyInit_ravo"]
