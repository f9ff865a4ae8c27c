"""Multi-process training beside single-process training: wall time, the parent's peak RSS (its
own VmHWM) and the workers' peak (the largest sum of the live children's VmHWM, sampled every
20 ms), for `train_to_hf` with n_max=2 and with the defaults. Used by run_bench.py; also runs
alone: multiprocess.py CORPUS [--vocab 8000] [--workers 2 4 8] [--runs 1]."""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

CONFIGS = {"n=2": ", n_max=2", "n=2..6": ""}
TRAIN = """
import zelkor_ext as z
z.train_to_hf({corpus!r}, {out!r}, aim_token_num={vocab}, multi_process={mp}, num_workers={workers}{extra})
print('VmHWM', [l for l in open('/proc/self/status') if l.startswith('VmHWM')][0].split()[1])
"""


def hwm_mb(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return 0.0


def children(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(c) for c in f.read().split()]
    except OSError:
        return []


def run_once(corpus, vocab, config, workers):
    """(wall s, parent peak MB, workers' peak MB) of one training in a fresh child process."""
    env = dict(os.environ, LOG_LEVEL="warn", LOG_FILE=os.devnull)
    with tempfile.TemporaryDirectory() as out:
        code = TRAIN.format(corpus=str(corpus), out=out, vocab=vocab, mp=workers > 0,
                            workers=workers, extra=CONFIGS[config])
        start = time.perf_counter()
        proc = subprocess.Popen([sys.executable, "-c", code], env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        workers_peak = 0.0
        while proc.poll() is None:
            workers_peak = max(workers_peak, sum(hwm_mb(c) for c in children(proc.pid)))
            time.sleep(0.02)
        elapsed = time.perf_counter() - start
        out_text, err = proc.stdout.read().decode(), proc.stderr.read().decode()
        if proc.returncode != 0:
            raise RuntimeError(f"training failed ({proc.returncode}):\n{err}")
        return elapsed, int(out_text.split("VmHWM")[-1].split()[0]) / 1024, workers_peak


def summary(values):
    return {"median": statistics.median(values), "min": min(values), "max": max(values)}


def measure(corpus, vocab, config, workers, runs):
    figures = [run_once(corpus, vocab, config, workers) for _ in range(runs)]
    return {key: summary([f[i] for f in figures]) for i, key in enumerate(("time", "parent_rss", "workers_rss"))}


def measure_all(corpus, mb, vocab, worker_counts, runs, log=print):
    """Rows for every configuration: single process (workers 0) first, then each worker count."""
    rows = []
    for config in CONFIGS:
        for workers in [0, *worker_counts]:
            fig = measure(corpus, vocab, config, workers, runs)
            rows.append(dict(config=config, mb=mb, vocab=vocab, workers=workers, **fig))
            log(f"mp     {config:7} {mb:5.1f} MB vocab {vocab} workers {workers}: "
                f"{fig['time']['median']:7.2f} s  parent {fig['parent_rss']['median']:6.0f} MB  "
                f"workers {fig['workers_rss']['median']:6.0f} MB")
    return rows


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("corpus")
    ap.add_argument("--vocab", type=int, default=8000)
    ap.add_argument("--workers", type=int, nargs="+", default=[2, 4, 8])
    ap.add_argument("--runs", type=int, default=1)
    args = ap.parse_args()
    measure_all(args.corpus, os.path.getsize(args.corpus) / 1e6, args.vocab, args.workers, args.runs)


if __name__ == "__main__":
    main()
