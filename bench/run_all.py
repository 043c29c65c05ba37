"""ravo's benchmark suite: one command that builds what it needs, runs every
workload beside its baselines in the same run, and writes

  bench/results/results.json   every figure, the machine and its load
  bench/results/results.md     the tables shown in the README
  bench/results/results.png    the plot

Run from anywhere (about 4 to 5 minutes on 2 cores, the 60 s soak included):

  python3 bench/run_all.py

It installs what is missing (pip: numpy, pyzmq, matplotlib, cmake, ninja; a
C++20 compiler must be present), builds the module and the C++ tools with
CMake (Release) into build/bench, and then runs:

  tcp        TCP ingest seen by the consumer (batches from sample()), driven by
             bench/tcp_producer: 64 B, 4 KiB, 64 KiB, 1 MiB samples; 1, 4, 64
             connections; window 1 and 64. Baselines: bench/ack_server (the
             protocol's limit), the same server copying each sample into
             batch-sized memory before its ack (window 64: the protocol plus
             the one copy batch memory needs), a bulk loopback stream (the
             kernel's limit), ZeroMQ PUSH/PULL into NumPy batches
             (bench/zmq_baseline.py).
  inprocess  submit() from 1 and 2 Python threads, 64 B to 256 KiB, against
             queue.Queue + NumPy batch assembly and single-thread memcpy; the
             cost of one sample() call with 2 leaves (bench/bench_inprocess.py).
  latency    send to consumer at half the maximum rate, 64 B and 64 KiB
             (bench/latency.py), beside the ack server's acknowledgement time.
  scale      resident memory and throughput with 1, 64 and 1,000
             connections, and the cost of idle ones (bench/scale.py).
  soak       resident memory over a 60 s stream, and the allocations per
             sample of the server threads when perf can count them.

Options: --no-soak (skip the 60 s run), --soak-seconds S, --seconds S (per
TCP throughput run, default 0.75) and --repeats N (runs per TCP cell, the
best counts, default 2), --only tcp,latency,... , --settings JSON (server
settings for every ravo row), --skip-build, --build-dir DIR, --out DIR.

The rows' server settings and the reasons for them are in tcp_ingest.py
(DEFAULT_SETTINGS). A before/after comparison of two module builds on the
TCP grid: python3 bench/tcp_ingest.py --build build/bench --compare OLD NEW.
"""

import argparse
import datetime
import importlib.util
import json
import os
import platform
import resource
import shutil
import subprocess
import sys
import time

# NumPy's BLAS threads would otherwise spin beside the measurements; set
# before anything imports NumPy (children inherit it).
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

SIZES = [64, 4096, 65536, 1 << 20]
CONNECTIONS = [1, 4, 64]
WINDOWS = [1, 64]
INPROC_SIZES = [64, 4096, 65536, 256 << 10]
LATENCY_SIZES = [64, 65536]
SCALE_CONNECTIONS = [1, 64, 1000]
SCALE_SIZE = 4096
SOAK_SIZE = 64
TOOLS = ["ravo", "ack_server", "tcp_producer", "latency_producer", "scale_producer"]


def _queue_cap_text(settings):
    """How the rows cap the producer queue for large samples, or nothing."""
    qb = settings.get("queue_bytes")
    if not qb:
        return ""
    import tcp_ingest
    return (f" (at most {qb >> 20} MiB of samples and at least 4: "
            f"{tcp_ingest.queue_size_for(settings, 1 << 20)} at 1 MiB)")


def log(msg):
    print(f"[{time.strftime('%H:%M:%S')}] {msg}", flush=True)


def ensure_python_deps():
    wanted = {"numpy": "numpy>=1.25", "zmq": "pyzmq", "matplotlib": "matplotlib"}
    missing = [spec for mod, spec in wanted.items() if importlib.util.find_spec(mod) is None]
    if shutil.which("cmake") is None and importlib.util.find_spec("cmake") is None:
        missing.append("cmake>=3.24")
    if shutil.which("ninja") is None and importlib.util.find_spec("ninja") is None:
        missing.append("ninja")
    if missing:
        log("installing " + " ".join(missing))
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", *missing], check=True)
    # pip's console scripts land beside the interpreter.
    bindir = os.path.dirname(sys.executable)
    if bindir not in os.environ.get("PATH", "").split(os.pathsep):
        os.environ["PATH"] = bindir + os.pathsep + os.environ.get("PATH", "")


def build(build_dir):
    gen = ["-G", "Ninja"] if shutil.which("ninja") else []
    log(f"building into {build_dir}")
    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, *gen, "-DCMAKE_BUILD_TYPE=Release",
                    "-DRAVO_BUILD_MODULE=ON", "-DRAVO_BUILD_BENCH=ON", "-DRAVO_BUILD_TESTS=OFF",
                    f"-DPython_EXECUTABLE={sys.executable}"], check=True, stdout=subprocess.DEVNULL)
    jobs = str(min(os.cpu_count() or 2, 8))
    t0 = time.monotonic()
    done = subprocess.run(["cmake", "--build", build_dir, "-j", jobs, "--target", *TOOLS], capture_output=True,
                          text=True)
    if done.returncode != 0:
        sys.stderr.write(done.stdout[-20000:] + done.stderr[-5000:])
        raise SystemExit("build failed")
    log(f"built in {time.monotonic() - t0:.0f} s")


def raise_fd_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = 8192 if hard == resource.RLIM_INFINITY else min(hard, 8192)
    if soft != resource.RLIM_INFINITY and soft < want:
        resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))  # children inherit it


def machine_info():
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = 0
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    mem = int(line.split()[1]) / (1 << 20)
    except OSError:
        pass
    import numpy
    import zmq

    try:
        compiler = subprocess.run(["c++", "--version"], capture_output=True, text=True).stdout.split("\n")[0]
    except OSError:
        compiler = "?"
    return dict(cpu=cpu, cpus=os.cpu_count(), mem_gib=round(mem, 1), kernel=platform.release(),
                os=platform.platform(), python=platform.python_version(), numpy=numpy.__version__,
                pyzmq=zmq.__version__, libzmq=zmq.zmq_version(), compiler=compiler)


def loadavg():
    return [round(x, 2) for x in os.getloadavg()]


# ---- sections ---------------------------------------------------------------

def best(runs):
    """The run with the highest rate, the others' rates kept beside it."""
    top = dict(max(runs, key=lambda r: r["samples_per_s"]))
    top["all_samples_per_s"] = [r["samples_per_s"] for r in runs]
    return top


def section_tcp(ctx, results):
    import tcp_ingest
    import zmq_baseline

    secs = ctx.seconds
    settings = ctx.settings
    res = results.setdefault("tcp", {})
    res["settings"] = settings
    res["seconds_per_run"] = secs
    res["repeats"] = ctx.repeats
    log("loopback bulk stream")
    res["loopback"] = tcp_ingest.run_loopback(secs)
    rows = res["rows"] = []
    zmq_rows = {}
    for size in SIZES:
        for conns in CONNECTIONS:
            log(f"zmq {size} B, {conns} conn")
            zmq_rows[(size, conns)] = best([zmq_baseline.run(size, conns, secs) for _ in range(ctx.repeats)])
            for window in WINDOWS:
                # ravo and the ack server take turns, so that both see the
                # same share of whatever else the machine is doing; each
                # keeps its best run.
                rr, aa, cc = [], [], []
                for _ in range(ctx.repeats):
                    rr.append(tcp_ingest.run_ravo(ctx.build, size, conns, window, secs, settings))
                    aa.append(tcp_ingest.run_ack(ctx.build, size, conns, window, secs, settings["num_threads"]))
                    if window == 64:
                        cc.append(tcp_ingest.run_ack(ctx.build, size, conns, window, secs, settings["num_threads"],
                                                     copy_to=tcp_ingest.ring_bytes(size, settings)))
                r, a = best(rr), best(aa)
                row = dict(size=size, connections=conns, window=window, ravo=r, ack=a, zmq=zmq_rows[(size, conns)])
                row["ravo_over_ack"] = r["samples_per_s"] / a["samples_per_s"] if a["samples_per_s"] else 0.0
                if cc:
                    row["ack_copy"] = best(cc)
                    c = row["ack_copy"]["samples_per_s"]
                    row["ravo_over_ack_copy"] = r["samples_per_s"] / c if c else 0.0
                row["ravo_over_zmq"] = (r["samples_per_s"] / row["zmq"]["samples_per_s"]
                                        if row["zmq"]["samples_per_s"] else 0.0)
                rows.append(row)
                bound = (f"ack+copy {row['ack_copy']['samples_per_s']:>10,.0f}/s ({row['ravo_over_ack_copy']:.2f}) "
                         if cc else "")
                log(f"tcp {size:>7} B {conns:>2} conn w{window:<2}: ravo {r['samples_per_s']:>10,.0f}/s "
                    f"ack {a['samples_per_s']:>10,.0f}/s ({row['ravo_over_ack']:.2f}) " + bound +
                    f"zmq {row['zmq']['samples_per_s']:>10,.0f}/s")
    # The same workload under the constructor's defaults, for reference.
    ref = res["constructor_defaults"] = []
    for size in (64, 4096):
        r = best([tcp_ingest.run_ravo(ctx.build, size, 4, 64, secs, tcp_ingest.CONSTRUCTOR_DEFAULTS)
                  for _ in range(ctx.repeats)])
        ref.append(dict(size=size, connections=4, window=64, settings=tcp_ingest.CONSTRUCTOR_DEFAULTS, ravo=r))
        log(f"tcp {size} B 4 conn w64 with the constructor's defaults: {r['samples_per_s']:,.0f}/s")


def section_inprocess(ctx, results):
    sys.path.insert(0, ctx.build)
    import bench_inprocess as bi

    secs = ctx.inproc_seconds
    res = results.setdefault("inprocess", {})
    log("memcpy bandwidth")
    mem = bi.memcpy_bandwidth()
    res["memcpy_gb_s"] = mem / 1e9
    res["batch_size"] = bi.BATCH
    res["leaves"] = "2 leaves: 3/4 and 1/4 of the sample"
    rows = res["rows"] = []
    for size in INPROC_SIZES:
        for threads in (1, 2):
            r = bi.run_ravo(size, threads, secs)
            rn = bi.run_ravo(size, threads, secs, items="numpy")
            b = bi.run_queue_baseline(size, threads, secs)
            row = dict(sample_bytes=size, threads=threads, ravo_samples_s=r, ravo_gb_s=r * size / 1e9,
                       ravo_numpy_samples_s=rn,
                       baseline_samples_s=b, baseline_gb_s=b * size / 1e9, ratio=r / b if b else 0.0,
                       memcpy_fraction=r * size / mem)
            rows.append(row)
            log(f"inproc {size:>7} B x{threads}: ravo {r:>11,.0f}/s {r * size / 1e9:6.2f} GB/s "
                f"(NumPy items {rn:>11,.0f}/s) | queue {b:>9,.0f}/s"
                f" | {row['ratio']:.1f}x | {100 * row['memcpy_fraction']:.0f}% of memcpy")
    res["sample_call_us"] = bi.sample_call_cost()
    log(f"sample() with the batch ready, 2 leaves: {res['sample_call_us']:.2f} us")


def section_latency(ctx, results):
    import latency

    out = results["latency"] = []
    rows = results.get("tcp", {}).get("rows", [])
    for size in LATENCY_SIZES:
        ref = [r for r in rows if r["size"] == size and r["connections"] == 4 and r["window"] == 64]
        if ref:
            max_rate = ref[0]["ravo"]["samples_per_s"]
        else:
            max_rate = __import__("tcp_ingest").run_ravo(ctx.build, size, 4, 64, ctx.seconds, ctx.settings)[
                "samples_per_s"]
        rate = max_rate / 2
        r = latency.run_ravo(ctx.build, size, rate, ctx.latency_seconds, 4, settings=ctx.settings)
        a = latency.run_ack(ctx.build, size, rate, ctx.latency_seconds, 4, ctx.settings["num_threads"])
        out.append(dict(size=size, rate=rate, max_rate=max_rate, ravo=r, ack=a))
        log(f"latency {size} B at {rate:,.0f}/s: consumer p50 {r['p50_us']:.0f} p99 {r['p99_us']:.0f} us "
            f"(batch-completing p50 {r['completing_p50_us']:.0f} p99 {r['completing_p99_us']:.0f}); "
            f"ack p50 {r['ack_p50_us']:.0f} vs ack server {a['ack_p50_us']:.0f} us")


def section_scale(ctx, results):
    import scale

    res = results["scale"] = {"idle": [], "active": []}
    for n in SCALE_CONNECTIONS:
        i = scale.idle_cost(ctx.build, SCALE_SIZE, n, ctx.settings)
        res["idle"].append(i)
        a = scale.active(ctx.build, SCALE_SIZE, n, ctx.scale_seconds, ctx.settings)
        res["active"].append(a)
        log(f"scale {n:>4} conn: idle cost {i['idle_cost_mib']:.2f} MiB ({i['per_connection_kib']:.1f} KiB each); "
            f"active {a['samples_per_s']:,.0f}/s, RSS {a['rss_after_mib']:.1f} MiB")
    big = scale.idle_cost(ctx.build, 1 << 20, 1000, ctx.settings)
    res["idle_1mib"] = big
    log(f"scale 1000 idle conn at 1 MiB samples: {big['idle_cost_mib']:.2f} MiB")


def section_soak(ctx, results):
    import scale

    log(f"soak {ctx.soak_seconds:.0f} s at {SOAK_SIZE} B")
    r = results["soak"] = scale.soak(ctx.build, SOAK_SIZE, ctx.soak_seconds, ctx.settings)
    log(f"soak: RSS {r['rss_first_mib']:.1f} -> {r['rss_last_mib']:.1f} MiB, slope {r['growth_kib_per_s']:+.3f} KiB/s,"
        f" {r['samples_total']:,} samples; mallocs: {json.dumps(r['mallocs'])[:200]}")


SECTIONS = [("tcp", section_tcp), ("inprocess", section_inprocess), ("latency", section_latency),
            ("scale", section_scale), ("soak", section_soak)]


# ---- targets and the Markdown table -----------------------------------------

def size_label(n):
    if n >= 1 << 20:
        return f"{n >> 20} MiB"
    if n >= 1 << 10:
        return f"{n >> 10} KiB"
    return f"{n} B"


def rate(x):
    if x >= 1e6:
        return f"{x / 1e6:.2f}M"
    if x >= 1e3:
        return f"{x / 1e3:.1f}K"
    return f"{x:.0f}"


def evaluate(results):
    t = []
    rows = results.get("tcp", {}).get("rows", [])
    for r in rows:
        if r["window"] != 64:
            continue
        bound = f" (ack + copy: {r['ack_copy']['samples_per_s'] / r['ack']['samples_per_s']:.2f})" if (
            "ack_copy" in r and r["ack"]["samples_per_s"]) else ""
        t.append(dict(target=f"TCP {size_label(r['size'])}, {r['connections']} conn, window 64: >= 0.85 x ack server",
                      measured=f"{r['ravo_over_ack']:.2f}{bound}", met=r["ravo_over_ack"] >= 0.85))
    for r in rows:
        if r["window"] != 64 or r["size"] < 4096:
            continue
        zq = r["zmq"]["samples_per_s"]
        t.append(dict(target=f"TCP {size_label(r['size'])}, {r['connections']} conn: >= 2 x ZeroMQ",
                      measured=f"{r['ravo_over_zmq']:.2f} (ack server: {r['ack']['samples_per_s'] / zq if zq else 0:.2f})",
                      met=r["ravo_over_zmq"] >= 2.0))
    inp = results.get("inprocess", {})
    for r in inp.get("rows", []):
        if r["sample_bytes"] in (64, 4096):
            t.append(dict(target=f"submit {size_label(r['sample_bytes'])}, {r['threads']} thread(s): >= 3 x queue.Queue",
                          measured=f"{r['ratio']:.1f}", met=r["ratio"] >= 3.0))
        if r["sample_bytes"] == 256 << 10:
            t.append(dict(target=f"submit 256 KiB, {r['threads']} thread(s): >= 0.5 x memcpy",
                          measured=f"{r['memcpy_fraction']:.2f}", met=r["memcpy_fraction"] >= 0.5))
    if "sample_call_us" in inp:
        t.append(dict(target="sample() with 2 leaves, batch ready: <= 5 us", measured=f"{inp['sample_call_us']:.2f} us",
                      met=inp["sample_call_us"] <= 5.0))
    sc = results.get("scale", {})
    for i in sc.get("idle", []):
        if i["connections"] == 1000:
            t.append(dict(target="1,000 idle connections (4 KiB samples): < 64 MiB", measured=f"{i['idle_cost_mib']:.1f} MiB",
                          met=i["idle_cost_mib"] < 64))
    if sc.get("idle_1mib"):
        i = sc["idle_1mib"]
        t.append(dict(target="1,000 idle connections (1 MiB samples): < 64 MiB", measured=f"{i['idle_cost_mib']:.1f} MiB",
                      met=i["idle_cost_mib"] < 64))
    soak = results.get("soak")
    if soak:
        growth = soak["growth_kib_per_s"] * soak["seconds"] * 0.75 / 1024
        t.append(dict(target=f"RSS flat over {soak['seconds']:.0f} s (< 1 MiB growth after the first quarter)",
                      measured=f"{growth:+.2f} MiB ({soak['growth_kib_per_s']:+.2f} KiB/s)", met=abs(growth) < 1.0))
        m = soak.get("mallocs") or {}
        if m.get("per_sample"):
            server = {k: v for k, v in m["per_sample"].items() if k.startswith(("tcp", "drainer"))}
            worst = max(server.values()) if server else 0.0
            t.append(dict(target="no allocation per sample on the tcp and drainer threads (steady state)",
                          measured=", ".join(f"{k} {v:.4f}/sample" for k, v in sorted(server.items())) or "0",
                          met=worst < 0.001))
    return t


def markdown(results):
    m = results["machine"]
    out = []
    out.append(f"Measured {results['date']} on {m['cpu']}, {m['cpus']} CPUs, {m['mem_gib']} GiB, Linux {m['kernel']}, "
               f"Python {m['python']}, NumPy {m['numpy']}, pyzmq {m['pyzmq']} (libzmq {m['libzmq']}); "
               f"1/5/15-minute load average {m['load_before']} before and {m['load_after']} after "
               f"(the machine is shared with other work; the suite itself keeps both cores busy, so the figure "
               f"after includes its own load). Command: `{results['command']}` ({results['elapsed_s']:.0f} s).")
    out.append("")
    tcp = results.get("tcp")
    if tcp:
        s = tcp["settings"]
        lb = tcp["loopback"]["bytes_per_s"]
        out.append(f"**TCP ingest** (samples/s seen by the consumer; best of {tcp.get('repeats', 1)} runs of "
                   f"{tcp['seconds_per_run']} s each, ravo and the ack server taking turns). ravo: "
                   f"`TcpTransport(num_threads={s['num_threads']})`, `num_drainers={s['num_drainers']}`, "
                   f"`producer_queue_size={s['producer_queue_size']}`{_queue_cap_text(s)}, `num_buffers={s['num_buffers']}`, batches of "
                   f"min(256, max(16, 16 MiB / size)) samples, one leaf; ack server: epoll with "
                   f"{s['num_threads']} threads; ack + copy (window 64): the ack server copying each sample into "
                   f"memory the size of ravo's batch memory before its ack, on the same thread, with the copy "
                   f"routine ravo uses: the protocol plus the one copy that batch memory needs; ZeroMQ: PUSH/PULL, Python consumer `recv_into` rows of a NumPy batch, "
                   f"no acknowledgements; one-stream limit: one bulk loopback TCP stream, {lb / 1e9:.2f} GB/s, "
                   f"in samples/s (several connections can exceed it, using both cores).")
        out.append("")
        out.append("| size | conn | window | ravo | ack server | ravo / ack | ack + copy | ravo / (ack + copy) | ZeroMQ "
                   "| ravo / ZeroMQ | ack / ZeroMQ | ravo GB/s | one-stream limit |")
        out.append("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
        for r in tcp["rows"]:
            zq = r["zmq"]["samples_per_s"]
            bound = (f"{rate(r['ack_copy']['samples_per_s'])} | {r['ravo_over_ack_copy']:.2f}" if "ack_copy" in r
                     else "– | –")
            out.append(f"| {size_label(r['size'])} | {r['connections']} | {r['window']} | {rate(r['ravo']['samples_per_s'])} "
                       f"| {rate(r['ack']['samples_per_s'])} | {r['ravo_over_ack']:.2f} | {bound} | {rate(zq)} "
                       f"| {r['ravo_over_zmq']:.2f} | {r['ack']['samples_per_s'] / zq if zq else 0:.2f} "
                       f"| {r['ravo']['gb_per_s']:.3f} | {rate(lb / r['size'])} |")
        out.append("")
        for e in tcp.get("constructor_defaults", []):
            d = e["settings"]
            out.append(f"For reference, ravo with the constructor's defaults (`num_threads={d['num_threads']}`, "
                       f"`num_drainers={d['num_drainers']}`, `producer_queue_size={d['producer_queue_size']}`) at "
                       f"{size_label(e['size'])}, 4 connections, window 64: {rate(e['ravo']['samples_per_s'])} samples/s.")
        out.append("")
    inp = results.get("inprocess")
    if inp:
        out.append(f"**In-process** `submit()` + `sample()` ({inp['leaves']}, batch {inp['batch_size']}; items are "
                   f"`bytes`, and in one column NumPy uint8 arrays); "
                   f"single-thread memcpy {inp['memcpy_gb_s']:.2f} GB/s; `sample()` with the next batch ready: "
                   f"**{inp['sample_call_us']:.2f} µs** per call.")
        out.append("")
        out.append("| size | threads | ravo samples/s | ravo GB/s | ravo, NumPy items | queue.Queue + NumPy "
                   "| ravo / queue | of memcpy |")
        out.append("|---:|---:|---:|---:|---:|---:|---:|---:|")
        for r in inp["rows"]:
            numpy_items = rate(r["ravo_numpy_samples_s"]) if "ravo_numpy_samples_s" in r else "–"
            out.append(f"| {size_label(r['sample_bytes'])} | {r['threads']} | {rate(r['ravo_samples_s'])} | "
                       f"{r['ravo_gb_s']:.2f} | {numpy_items} | {rate(r['baseline_samples_s'])} | {r['ratio']:.1f} | "
                       f"{100 * r['memcpy_fraction']:.0f} % |")
        out.append("")
    lat = results.get("latency")
    if lat:
        out.append("**Latency** from the producer's send to the consumer holding the sample, 4 connections paced "
                   "evenly at half the maximum rate, batches of 16 (µs, median / 99th percentile). \"All samples\" "
                   "includes waiting for the rest of the batch; \"batch-completing\" is the newest sample of each batch.")
        out.append("")
        out.append("| size | rate | consumer, all samples | consumer, batch-completing | batch fill time | ravo ack | ack server ack |")
        out.append("|---:|---:|---:|---:|---:|---:|---:|")
        for e in lat:
            r, a = e["ravo"], e["ack"]
            out.append(f"| {size_label(e['size'])} | {rate(e['rate'])}/s | {r['p50_us']:.0f} / {r['p99_us']:.0f} | "
                       f"{r['completing_p50_us']:.0f} / {r['completing_p99_us']:.0f} | {r['batch_fill_us']:.0f} | "
                       f"{r['ack_p50_us']:.0f} / {r['ack_p99_us']:.0f} | {a['ack_p50_us']:.0f} / {a['ack_p99_us']:.0f} |")
        out.append("")
    sc = results.get("scale")
    if sc:
        q = results.get("tcp", {}).get("settings", {}).get("producer_queue_size")
        out.append(f"**Scale** ({size_label(SCALE_SIZE)} samples, window 64, bench/scale_producer: one epoll thread "
                   f"for all connections; same server settings). An idle connection holds no sample buffer; an "
                   f"active one holds at most 2 x producer_queue_size + 1 = {2 * q + 1 if q else '?'} of them, "
                   f"allocated only as its backlog needs them.")
        out.append("")
        out.append("| connections | idle: RSS cost | idle: per connection | active: samples/s | active: server RSS |")
        out.append("|---:|---:|---:|---:|---:|")
        for i, a in zip(sc["idle"], sc["active"]):
            out.append(f"| {i['connections']} | {i['idle_cost_mib']:.2f} MiB | {i['per_connection_kib']:.1f} KiB | "
                       f"{rate(a['samples_per_s'])} | {a['rss_after_mib']:.1f} MiB |")
        if sc.get("idle_1mib"):
            i = sc["idle_1mib"]
            out.append(f"| 1000 (1 MiB samples) | {i['idle_cost_mib']:.2f} MiB | {i['per_connection_kib']:.1f} KiB | | |")
        out.append("")
    soak = results.get("soak")
    if soak:
        mal = soak.get("mallocs") or {}
        if mal.get("per_sample"):
            mtxt = "malloc calls per sample during 2 s of it: " + ", ".join(
                f"{k} {v:.4f}" for k, v in sorted(mal["per_sample"].items()))
        else:
            mtxt = "allocation count: " + mal.get("unavailable", "not measured")
        out.append(f"**Soak**: {soak['seconds']:.0f} s at {size_label(soak['size'])}, {soak['connections']} connections, "
                   f"{soak['samples_total']:,} samples ({rate(soak['samples_per_s'])}/s): server RSS "
                   f"{soak['rss_first_mib']:.1f} MiB at the start, {soak['rss_last_mib']:.1f} MiB at the end, "
                   f"slope after the first quarter {soak['growth_kib_per_s']:+.2f} KiB/s; {mtxt}.")
        out.append("")
    t = results.get("targets", [])
    if t:
        out.append("**Targets**")
        out.append("")
        out.append("| target | measured | met |")
        out.append("|---|---:|:---:|")
        for e in t:
            out.append(f"| {e['target']} | {e['measured']} | {'yes' if e['met'] else '**no**'} |")
        out.append("")
    out.append("Plot: `bench/results/results.png`.")
    return "\n".join(out) + "\n"


class Ctx:
    pass


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build-dir", default=os.path.join(ROOT, "build", "bench"))
    ap.add_argument("--out", default=os.path.join(HERE, "results"))
    ap.add_argument("--skip-build", action="store_true")
    ap.add_argument("--seconds", type=float, default=0.75, help="length of each throughput run")
    ap.add_argument("--repeats", type=int, default=2, help="runs per TCP cell; the best counts")
    ap.add_argument("--latency-seconds", type=float, default=2.5)
    ap.add_argument("--soak-seconds", type=float, default=60.0)
    ap.add_argument("--no-soak", action="store_true", help="skip the 60 s resident-memory run")
    ap.add_argument("--only", help="comma-separated sections: " + ",".join(n for n, _ in SECTIONS))
    ap.add_argument("--settings", help="JSON server settings for every ravo row (default: see tcp_ingest.py)")
    args = ap.parse_args()

    t0 = time.monotonic()
    ensure_python_deps()
    build_dir = os.path.abspath(args.build_dir)
    if not args.skip_build:
        build(build_dir)
    raise_fd_limit()

    import tcp_ingest

    ctx = Ctx()
    ctx.build = build_dir
    ctx.seconds = args.seconds
    ctx.repeats = max(1, args.repeats)
    ctx.inproc_seconds = 1.0
    ctx.scale_seconds = 2.0
    ctx.latency_seconds = args.latency_seconds
    ctx.soak_seconds = args.soak_seconds
    ctx.settings = json.loads(args.settings) if args.settings else dict(tcp_ingest.DEFAULT_SETTINGS)

    only = set(args.only.split(",")) if args.only else None
    results = dict(date=datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
                   command="python3 bench/run_all.py" + "".join(" " + a for a in sys.argv[1:]))
    results["machine"] = machine_info()
    results["machine"]["load_before"] = loadavg()
    os.makedirs(args.out, exist_ok=True)
    json_path = os.path.join(args.out, "results.json")
    for name, fn in SECTIONS:
        if only is not None and name not in only:
            continue
        if name == "soak" and args.no_soak:
            continue
        fn(ctx, results)
        with open(json_path, "w") as f:  # keep what is done so far
            json.dump(results, f, indent=1)
    results["machine"]["load_after"] = loadavg()
    results["elapsed_s"] = time.monotonic() - t0
    results["targets"] = evaluate(results)
    with open(json_path, "w") as f:
        json.dump(results, f, indent=1)
    with open(os.path.join(args.out, "results.md"), "w") as f:
        f.write(markdown(results))
    import plot

    plot.plot(results, os.path.join(args.out, "results.png"))
    log(f"done in {results['elapsed_s']:.0f} s: {json_path}, results.md, results.png")
    for e in results["targets"]:
        print(f"  {'ok  ' if e['met'] else 'MISS'} {e['target']}: {e['measured']}")


if __name__ == "__main__":
    main()
