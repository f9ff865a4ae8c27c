"""Writes latest.md (tables, ratios against the tokenizers BPE trainer, growth with corpus size)
and the plots of one benchmark run."""
import math

PEER = "tokenizers BPE"


def fmt(fig, digits=2):
    return f"{fig['median']:.{digits}f} ({fig['min']:.{digits}f}–{fig['max']:.{digits}f})"


def training_table(rows):
    out = ["| trainer | corpus MB | vocab (written) | wall s, median (min–max) | peak RSS MB | time / BPE | RSS / BPE |",
           "|---|---|---|---|---|---|---|"]
    peer = {(r["mb"], r["vocab"]): r for r in rows if r["trainer"] == PEER}
    for r in rows:
        p = peer.get((r["mb"], r["vocab"]))
        ratio_t = f"{r['time']['median'] / p['time']['median']:.2f}" if p else ""
        ratio_m = f"{r['rss']['median'] / p['rss']['median']:.2f}" if p else ""
        out.append(f"| {r['trainer']} | {r['mb']:.1f} | {r['vocab']} ({r['vocab_out']}) | {fmt(r['time'])} | "
                   f"{r['rss']['median']:.0f} | {ratio_t} | {ratio_m} |")
    return out


def growth_table(rows):
    """Exponent of time and memory in corpus size between consecutive sizes (1.0 = linear)."""
    out = ["| trainer | vocab | sizes MB | time exponent | RSS exponent |", "|---|---|---|---|---|"]
    keys = sorted({(r["trainer"], r["vocab"]) for r in rows}, key=str)
    for trainer, vocab in keys:
        series = sorted((r for r in rows if r["trainer"] == trainer and r["vocab"] == vocab),
                        key=lambda r: r["mb"])
        for a, b in zip(series, series[1:]):
            size = math.log(b["mb"] / a["mb"])
            t = math.log(b["time"]["median"] / a["time"]["median"]) / size
            m = math.log(b["rss"]["median"] / a["rss"]["median"]) / size
            out.append(f"| {trainer} | {vocab} | {a['mb']:.0f} → {b['mb']:.0f} | {t:.2f} | {m:.2f} |")
    return out


def encoding_table(rows):
    out = ["| trainer | vocab | encode one text MB/s | encode_batch MB/s | tokens/char |",
           "|---|---|---|---|---|"]
    for r in rows:
        out.append(f"| {r['trainer']} | {r['vocab']} | {fmt(r['one_mbs'])} | {fmt(r['batch_mbs'])} | "
                   f"{r['tpc']['median']:.4f} |")
    return out


def scaling_table(rows):
    out = ["| trainer | threads | training s | encode_batch MB/s |", "|---|---|---|---|"]
    for r in rows:
        enc = fmt(r["batch_mbs"]) if r["batch_mbs"] else "–"
        out.append(f"| {r['trainer']} | {r['threads']} | {fmt(r['train'])} | {enc} |")
    return out


def multiprocess_table(rows):
    out = ["| config | corpus MB | workers | wall s, median (min–max) | parent peak RSS MB | workers' peak RSS MB | "
           "time / single | parent RSS / single |", "|---|---|---|---|---|---|---|---|"]
    single = {(r["config"], r["mb"]): r for r in rows if r["workers"] == 0}
    for r in rows:
        s = single[(r["config"], r["mb"])]
        out.append(f"| {r['config']} | {r['mb']:.1f} | {r['workers'] or 'single process'} | {fmt(r['time'])} | "
                   f"{r['parent_rss']['median']:.0f} | {r['workers_rss']['median']:.0f} | "
                   f"{r['time']['median'] / s['time']['median']:.2f} | "
                   f"{r['parent_rss']['median'] / s['parent_rss']['median']:.2f} |")
    return out


def plot_multiprocess(rows, out_dir, plt):
    groups = list(dict.fromkeys((r["config"], r["mb"]) for r in rows))
    fig, axes = plt.subplots(1, 2, figsize=(12, 4.5))
    for i, (config, mb) in enumerate(groups):
        series = [r for r in rows if (r["config"], r["mb"]) == (config, mb)]
        workers = [r["workers"] for r in series]
        label = f"{config}, {mb:.0f} MB"
        axes[0].plot(workers, [r["time"]["median"] for r in series], marker="o", label=label, color=f"C{i}")
        axes[1].plot(workers, [r["parent_rss"]["median"] for r in series], marker="o", label=label + ", parent",
                     color=f"C{i}")
        axes[1].plot(workers, [r["workers_rss"]["median"] for r in series], marker="x", linestyle="--",
                     label=label + ", workers", color=f"C{i}")
    axes[0].set(title="training wall time (0 workers: single process)", xlabel="workers", ylabel="s")
    axes[1].set(title="peak RSS", xlabel="workers", ylabel="MB")
    for ax in axes:
        ax.grid(True, alpha=0.3)
        ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(out_dir / "multiprocess.png", dpi=110)
    plt.close(fig)


def plot(results, out_dir):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    if results.get("multiprocess"):
        plot_multiprocess(results["multiprocess"], out_dir, plt)
    rows = results["training"]
    if not rows:
        return
    vocabs = sorted({r["vocab"] for r in rows})
    trainers = list(dict.fromkeys(r["trainer"] for r in rows + results["scaling"]))
    color = {t: f"C{i}" for i, t in enumerate(trainers)}  # one colour per trainer in every plot
    sizes = sorted({round(r["mb"], 1) for r in rows})
    for field, label, name in (("time", "training wall time (s)", "training_time.png"),
                               ("rss", "peak RSS (MB)", "training_memory.png")):
        fig, axes = plt.subplots(1, len(vocabs), figsize=(6 * len(vocabs), 4.5), squeeze=False)
        for ax, vocab in zip(axes[0], vocabs):
            for trainer in dict.fromkeys(r["trainer"] for r in rows):
                series = sorted((r for r in rows if r["trainer"] == trainer and r["vocab"] == vocab),
                                key=lambda r: r["mb"])
                if series:
                    ax.plot([r["mb"] for r in series], [r[field]["median"] for r in series],
                            marker="o", label=trainer, color=color[trainer])
            ax.set(title=f"vocabulary {vocab}", xlabel="corpus MB", ylabel=label, xscale="log", yscale="log")
            ax.set_xticks(sizes, [f"{mb:g}" for mb in sizes])
            ax.minorticks_off()
            ax.grid(True, which="both", alpha=0.3)
            ax.legend(fontsize=8)
        fig.tight_layout()
        fig.savefig(out_dir / name, dpi=110)
        plt.close(fig)

    scaling = results["scaling"]
    if scaling:
        fig, axes = plt.subplots(1, 2, figsize=(12, 4.5))
        for trainer in dict.fromkeys(r["trainer"] for r in scaling):
            series = [r for r in scaling if r["trainer"] == trainer]
            threads = [r["threads"] for r in series]
            axes[0].plot(threads, [series[0]["train"]["median"] / r["train"]["median"] for r in series],
                         marker="o", label=trainer, color=color[trainer])
            if series[0]["batch_mbs"]:
                axes[1].plot(threads, [r["batch_mbs"]["median"] for r in series], marker="o",
                             label=trainer, color=color[trainer])
        axes[0].set(title="training speed-up over 1 thread", xlabel="threads", ylabel="speed-up")
        axes[1].set(title="encode_batch throughput", xlabel="threads", ylabel="MB/s")
        for ax in axes:
            ax.grid(True, alpha=0.3)
            ax.legend(fontsize=8)
        fig.tight_layout()
        fig.savefig(out_dir / "scaling.png", dpi=110)
        plt.close(fig)


def main():
    """Rewrites the report and plots from a latest.json: report.py RESULTS_DIR."""
    import json
    import sys
    from pathlib import Path
    out_dir = Path(sys.argv[1])
    write_report(json.loads((out_dir / "latest.json").read_text()), out_dir)


def write_report(results, out_dir):
    runs = results["runs"]
    lines = [
        "# Benchmark results",
        "",
        f"Written by `scripts/bench`: every figure is the median (min–max) of {runs} runs in fresh child "
        f"processes on one machine ({results['machine']} processors) in one run; ratios are against the "
        "tokenizers BPE trainer (whitespace pre-tokenizer) measured in the same run. Corpus: English "
        "documentation prose from Debian packages; the held-out text is its last 10%.",
        "",
        "## Training: wall time and peak RSS",
        "",
        *training_table(results["training"]),
        "",
        "## Growth with corpus size (exponent of the size ratio; 1.0 is linear)",
        "",
        *growth_table(results["training"]),
        "",
        "## Encoding the held-out text, and compression",
        "",
        "Vocabularies trained on the 16 MB cut (4 MB with --quick). `encode one text` encodes each line "
        "by itself on one thread; `encode_batch` encodes all lines in one call on all threads. "
        "The whitespace pre-tokenizer of the tokenizers BPE model drops the spaces, which the other "
        "models encode, so its tokens per character are not comparable with theirs.",
        "",
        *encoding_table(results["encoding"]),
        "",
    ]
    if results["scaling"]:
        lines += ["## Thread scaling (16 MB, vocabulary 8000; the child is pinned to that many processors)",
                  "", *scaling_table(results["scaling"]), ""]
    if results.get("multiprocess"):
        lines += ["## Multi-process training against single-process training", "",
                  "`train_to_hf` with `multi_process=True` and `num_workers` workers (corpus counting and "
                  f"training on worker processes), vocabulary 8000, median (min–max) of {results['multiprocess_runs']} "
                  "runs. Parent: the training process's own "
                  "peak; workers: the largest sum of the live workers' peaks, sampled every 20 ms.", "",
                  *multiprocess_table(results["multiprocess"]), ""]
    lines += ["Plots: training_time.png, training_memory.png, scaling.png, multiprocess.png.", ""]
    (out_dir / "latest.md").write_text("\n".join(lines))
    plot(results, out_dir)


if __name__ == "__main__":
    main()
