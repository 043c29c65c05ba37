"""Draws bench/results/results.png from bench/results/results.json.

Run by bench/run_all.py after the measurements; alone:
  python3 bench/plot.py [results.json] [results.png]
"""

import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from run_all import size_label  # noqa: E402  (one labelling for the table and the plot)


def legend(ax, **kw):
    if ax.get_legend_handles_labels()[0]:  # a section that did not run has nothing to label
        ax.legend(**kw)


def plot(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 3, figsize=(18, 10))
    m = results.get("machine", {})
    fig.suptitle(f"ravo benchmarks on {m.get('cpu', '?')} ({m.get('cpus', '?')} CPUs), "
                 f"{results.get('date', '')}; load avg {m.get('load_before', '?')} before, "
                 f"{m.get('load_after', '?')} after", fontsize=11)

    tcp = results.get("tcp", {})
    rows = tcp.get("rows", [])
    sizes = sorted({r["size"] for r in rows})
    lb = tcp.get("loopback", {}).get("bytes_per_s")

    # (a) ingest at window 64, samples/s against size, per connection count.
    ax = axes[0][0]
    styles = {1: ":", 4: "-", 64: "--"}
    for conns, ls in styles.items():
        sel = [r for r in rows if r["window"] == 64 and r["connections"] == conns]
        if not sel:
            continue
        sel.sort(key=lambda r: r["size"])
        x = [r["size"] for r in sel]
        ax.plot(x, [r["ravo"]["samples_per_s"] for r in sel], "o" + ls, color="C0", label=f"ravo, {conns} conn")
        ax.plot(x, [r["ack"]["samples_per_s"] for r in sel], "s" + ls, color="C1", label=f"ack server, {conns} conn")
        if all(r.get("zmq") for r in sel):
            ax.plot(x, [r["zmq"]["samples_per_s"] for r in sel], "^" + ls, color="C2", label=f"ZeroMQ, {conns} conn")
    if lb and sizes:
        ax.plot(sizes, [lb / s for s in sizes], "k-", lw=1, label="loopback stream limit")
    ax.set_xscale("log", base=2)
    ax.set_yscale("log")
    ax.set_xticks(sizes, [size_label(s) for s in sizes])
    ax.set_xlabel("sample size")
    ax.set_ylabel("samples/s (consumer side)")
    ax.set_title("TCP ingest, window 64")
    legend(ax, fontsize=7, ncol=2)
    ax.grid(True, which="both", alpha=0.3)

    # (b) ravo / ack server, every cell.
    ax = axes[0][1]
    labels, w1, w64 = [], [], []
    for s in sizes:
        for c in (1, 4, 64):
            cell = {r["window"]: r for r in rows if r["size"] == s and r["connections"] == c}
            if not cell:
                continue
            labels.append(f"{size_label(s)}\n{c}c")
            for w, dst in ((1, w1), (64, w64)):
                r = cell.get(w)
                dst.append(r["ravo"]["samples_per_s"] / r["ack"]["samples_per_s"] if r and r["ack"]["samples_per_s"] else 0)
    xs = range(len(labels))
    ax.bar([x - 0.2 for x in xs], w64, width=0.4, label="window 64", color="C0")
    ax.bar([x + 0.2 for x in xs], w1, width=0.4, label="window 1", color="C9")
    ax.axhline(0.85, color="r", lw=1, ls="--", label="target 0.85 (window 64)")
    ax.set_xticks(list(xs), labels, fontsize=7)
    ax.set_ylabel("ravo / ack server (samples/s)")
    ax.set_title("TCP ingest against the protocol's limit")
    legend(ax, fontsize=8)
    ax.grid(True, axis="y", alpha=0.3)

    # (c) in-process submit.
    ax = axes[0][2]
    inp = results.get("inprocess", {})
    irows = inp.get("rows", [])
    for t, mk in ((1, "o"), (2, "s")):
        sel = sorted([r for r in irows if r["threads"] == t], key=lambda r: r["sample_bytes"])
        if sel:
            x = [r["sample_bytes"] for r in sel]
            ax.plot(x, [r["ravo_gb_s"] for r in sel], mk + "-", color="C0", label=f"ravo submit, {t} thread(s)")
            ax.plot(x, [r["baseline_gb_s"] for r in sel], mk + "--", color="C3",
                    label=f"queue.Queue + NumPy, {t} thread(s)")
    if inp.get("memcpy_gb_s"):
        ax.axhline(inp["memcpy_gb_s"], color="k", lw=1, label="single-thread memcpy")
    ax.set_xscale("log", base=2)
    ax.set_yscale("log")
    isizes = sorted({r["sample_bytes"] for r in irows})
    if isizes:
        ax.set_xticks(isizes, [size_label(s) for s in isizes])
    ax.set_xlabel("sample size")
    ax.set_ylabel("GB/s into batches")
    ax.set_title("In-process submit + sample()")
    legend(ax, fontsize=7)
    ax.grid(True, which="both", alpha=0.3)

    # (d) latency.
    ax = axes[1][0]
    lat = results.get("latency", [])
    names = ["consumer, all samples", "consumer, batch-completing", "ravo ack", "ack server ack"]
    keys = [("ravo", "p50_us", "p99_us"), ("ravo", "completing_p50_us", "completing_p99_us"),
            ("ravo", "ack_p50_us", "ack_p99_us"), ("ack", "ack_p50_us", "ack_p99_us")]
    width = 0.8 / max(len(names), 1)
    for i, (name, (who, k50, k99)) in enumerate(zip(names, keys)):
        xs = [j + i * width for j in range(len(lat))]
        p50 = [e[who][k50] for e in lat]
        p99 = [e[who][k99] for e in lat]
        ax.bar(xs, p99, width=width * 0.9, color=f"C{i}", alpha=0.35)
        ax.bar(xs, p50, width=width * 0.9, color=f"C{i}", label=name)
    ax.set_xticks([j + 0.4 - width / 2 for j in range(len(lat))],
                  [f"{size_label(e['size'])} at {e['rate'] / 1e3:.0f}K/s" for e in lat])
    ax.set_yscale("log")
    ax.set_ylabel("µs (solid: median, pale: 99th percentile)")
    ax.set_title("Latency from send, at half the maximum rate")
    legend(ax, fontsize=7)
    ax.grid(True, axis="y", which="both", alpha=0.3)

    # (e) scale.
    ax = axes[1][1]
    sc = results.get("scale", {})
    act = sc.get("active", [])
    idle = sc.get("idle", [])
    if act:
        n = [r["connections"] for r in act]
        ax.plot(n, [r["samples_per_s"] / 1e3 for r in act], "o-", color="C0", label="throughput, all active (K samples/s)")
        ax.plot(n, [r["rss_after_mib"] for r in act], "s-", color="C1", label="server RSS after active run (MiB)")
    if idle:
        ax.plot([r["connections"] for r in idle], [r["idle_cost_mib"] for r in idle], "^--", color="C2",
                label=f"idle connections' RSS cost (MiB, {size_label(idle[0]['size'])} samples)")
    ax.axhline(64, color="r", lw=1, ls=":", label="64 MiB")
    ax.set_xscale("log")
    ax.set_xlabel("connections")
    ax.set_title(f"Scale ({size_label(act[0]['size']) if act else ''} samples, window 64)")
    legend(ax, fontsize=7)
    ax.grid(True, which="both", alpha=0.3)

    # (f) soak.
    ax = axes[1][2]
    soak = results.get("soak")
    if soak and soak.get("rss_series"):
        t = [p["t"] for p in soak["rss_series"]]
        ax.plot(t, [p["rss_mib"] for p in soak["rss_series"]], "-", color="C1", label="server RSS (MiB)")
        ax2 = ax.twinx()
        ax2.plot(t, [p["samples"] / 1e6 for p in soak["rss_series"]], "-", color="C0", label="samples consumed (M)")
        ax2.set_ylabel("samples consumed (millions)")
        ax.set_ylim(0, max(p["rss_mib"] for p in soak["rss_series"]) * 1.3)
        ax.set_title(f"Resident memory over {soak['seconds']:.0f} s, {size_label(soak['size'])} samples "
                     f"({soak['growth_kib_per_s']:+.2f} KiB/s)")
        legend(ax, loc="lower left", fontsize=7)
        legend(ax2, loc="lower right", fontsize=7)
    else:
        ax.set_title("Resident memory over a long run: not run (see --soak)")
    ax.set_xlabel("seconds")
    ax.grid(True, alpha=0.3)

    fig.tight_layout(rect=(0, 0, 1, 0.96))
    fig.savefig(path, dpi=90)
    plt.close(fig)


def main():
    src = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "results", "results.json")
    dst = sys.argv[2] if len(sys.argv) > 2 else os.path.join(os.path.dirname(src), "results.png")
    with open(src) as f:
        plot(json.load(f), dst)
    print(dst)


if __name__ == "__main__":
    main()
