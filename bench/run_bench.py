"""Benchmark driver: training time and peak memory, encoding throughput, compression and thread
scaling of zelkor_ext against the tokenizers BPE trainer and SentencePiece, side by side in one
run. Every figure comes from fresh child processes (median, min and max of several runs); the
report and plots are written by report.py."""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

from multiprocess import measure_all as measure_multiprocess
from report import write_report
from trainers import ENCODE, LOAD, TRAIN, loader_of, vocab_size_of

PY = sys.executable
ENV = dict(os.environ, LOG_LEVEL="warn", LOG_FILE=os.devnull)
HEAP_MAX_MB = 16      # heap mode is also timed only up to this size: it is the slow mode
SCALING_THREADS = [1, 2, 4, 8]
SCALING_TRAINERS = ["zelkor n=2", "zelkor n=2..6", "tokenizers BPE"]
MP_WORKERS = [2, 4, 8]


def run_child(code, threads=None):
    """Wall seconds, peak RSS (MB) and stdout of one child process running `code` (on the first
    `threads` processors when given)."""
    env = dict(ENV)
    if threads:
        env["RAYON_NUM_THREADS"] = str(threads)  # the tokenizers pool
    pin = (lambda: os.sched_setaffinity(0, range(threads))) if threads else None
    start = time.perf_counter()
    proc = subprocess.Popen([PY, "-c", code], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, preexec_fn=pin)
    out, err = proc.communicate()
    elapsed = time.perf_counter() - start
    if proc.returncode != 0:
        raise RuntimeError(f"{code}\nfailed:\n{err.decode()}")
    return elapsed, out.decode()


def peak_rss_mb(code, threads=None):
    """Runs `code` under a wrapper that reports the child's own peak RSS (VmHWM)."""
    wrapped = code + "\nprint('VmHWM', [l for l in open('/proc/self/status') if l.startswith('VmHWM')][0].split()[1])"
    elapsed, out = run_child(wrapped, threads)
    kb = int(out.split("VmHWM")[-1].split()[-1])
    return elapsed, kb / 1024


def summary(values):
    return {"median": statistics.median(values), "min": min(values), "max": max(values)}


def train_code(trainer, corpus, vocab, out, workers=0):
    return TRAIN[trainer].format(corpus=str(corpus), vocab=vocab, out=str(out), workers=workers)


def measure_training(trainer, corpus, vocab, out, runs, threads=None):
    times, rss = [], []
    for _ in range(runs):
        elapsed, peak = peak_rss_mb(train_code(trainer, corpus, vocab, out, threads or 0), threads)
        times.append(elapsed)
        rss.append(peak)
    return {"time": summary(times), "rss": summary(rss), "vocab_out": vocab_size_of(trainer, out)}


def measure_encoding(trainer, out, heldout, runs, threads=None):
    load = LOAD[loader_of(trainer)].format(out=str(out))
    figures = [json.loads(run_child(ENCODE.format(heldout=str(heldout), load=load, runs=1), threads)[1])
               for _ in range(runs)]
    return {key: summary([f[key] for f in figures]) for key in ("one_mbs", "batch_mbs", "tpc")}


def cut(src, dst, megabytes):
    if not dst.exists():
        with open(src, "rb") as f:
            data = f.read(int(megabytes * 1_000_000))
        dst.write_bytes(data[: data.rfind(b"\n") + 1])
    return dst


def split(corpora):
    """Training part and held-out last 10% of the English corpus."""
    raw = (corpora / "raw" / "en.txt").read_bytes()
    at = raw.rfind(b"\n", 0, len(raw) * 9 // 10) + 1
    train, held = corpora / "en.train.txt", corpora / "en.heldout.txt"
    if not train.exists():
        train.write_bytes(raw[:at])
        held.write_bytes(raw[at:])
    return train, held


def log(text):
    print(text, flush=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--corpora", type=Path, required=True)
    ap.add_argument("--out", type=Path, required=True)
    ap.add_argument("--quick", action="store_true", help="4 MB, vocabulary 8,000, one run each")
    ap.add_argument("--multiprocess", action="store_true",
                    help="only multi-process against single-process training (16 MB and all)")
    args = ap.parse_args()
    train, heldout = split(args.corpora)
    full_mb = train.stat().st_size / 1e6
    # The English corpus is what Debian's documentation holds (about 39 MB of training text), so
    # the largest size is all of it rather than 64 MB.
    sizes = [4] if args.quick else [4, 16, full_mb]
    vocabs = [8000] if args.quick else [8000, 32000]
    runs = 1 if args.quick else 3
    encode_mb = sizes[0] if args.quick else 16
    tmp = args.out / "tmp"
    results = {"runs": runs, "training": [], "encoding": [], "scaling": [], "multiprocess": [],
               "machine": os.cpu_count()}

    for mb in [] if args.multiprocess else sizes:
        corpus = cut(train, args.corpora / f"en.{mb:.0f}mb.txt", mb)
        real_mb = corpus.stat().st_size / 1e6
        for vocab in vocabs:
            for trainer in TRAIN:
                if "heap" in trainer and (mb > HEAP_MAX_MB or vocab != vocabs[0]):
                    continue
                out = tmp / f"{trainer.replace(' ', '_')}_{mb:.0f}_{vocab}"
                fig = measure_training(trainer, corpus, vocab, out, runs)
                results["training"].append(dict(trainer=trainer, mb=real_mb, vocab=vocab, **fig))
                log(f"train  {trainer:24} {real_mb:5.1f} MB vocab {vocab:6}: {fig['time']['median']:7.2f} s "
                    f"(min {fig['time']['min']:.2f}, max {fig['time']['max']:.2f})  {fig['rss']['median']:6.0f} MB")

    for vocab in [] if args.multiprocess else vocabs:
        for trainer in TRAIN:
            if "heap" in trainer:
                continue  # the same vocabulary as the scan
            out = tmp / f"{trainer.replace(' ', '_')}_{encode_mb:.0f}_{vocab}"
            fig = measure_encoding(trainer, out, heldout, runs)
            results["encoding"].append(dict(trainer=trainer, vocab=vocab, **fig))
            log(f"encode {trainer:24} vocab {vocab:6}: one {fig['one_mbs']['median']:6.2f} MB/s  "
                f"batch {fig['batch_mbs']['median']:6.2f} MB/s  tokens/char {fig['tpc']['median']:.4f}")

    corpus = cut(train, args.corpora / f"en.{encode_mb:.0f}mb.txt", encode_mb)
    threads = [t for t in SCALING_THREADS if t <= (os.cpu_count() or 1)]
    for n in ([] if args.quick or args.multiprocess else threads):
        for trainer in SCALING_TRAINERS:
            out = tmp / f"scaling_{trainer.replace(' ', '_')}"
            fig = measure_training(trainer, corpus, vocabs[0], out, runs, threads=n)
            enc = measure_encoding(trainer, out, heldout, runs, threads=n) if "..6" not in trainer else None
            results["scaling"].append(dict(trainer=trainer, threads=n, train=fig["time"],
                                           batch_mbs=enc["batch_mbs"] if enc else None))
            log(f"scale  {trainer:24} {n} threads: train {fig['time']['median']:7.2f} s" +
                (f"  encode_batch {enc['batch_mbs']['median']:6.2f} MB/s" if enc else ""))

    for mb in sizes[:1] if args.quick else sizes[1:]:
        corpus = cut(train, args.corpora / f"en.{mb:.0f}mb.txt", mb)
        workers = MP_WORKERS[:1] if args.quick else MP_WORKERS
        results["multiprocess"] += measure_multiprocess(corpus, corpus.stat().st_size / 1e6, vocabs[0],
                                                        workers, runs, log)

    results["multiprocess_runs"] = runs
    args.out.mkdir(parents=True, exist_ok=True)
    previous = args.out / "latest.json"
    if args.multiprocess and previous.exists():  # keep the other sections of the last full run
        results = dict(json.loads(previous.read_text()), multiprocess=results["multiprocess"],
                       multiprocess_runs=runs)
    (args.out / "latest.json").write_text(json.dumps(results, indent=1))
    write_report(results, args.out)


if __name__ == "__main__":
    main()
