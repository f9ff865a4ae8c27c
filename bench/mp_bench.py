"""Multi-process training against single-process training in one run: wall time, the parent's
peak RSS and the peak of the workers' summed RSS (sampled from /proc every 50 ms), for a corpus
file and a list of worker counts. Usage: mp_bench.py CORPUS [--vocab 8000] [--workers 2 4 8]"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

TRAIN = """
import zelkor_ext
zelkor_ext.train_to_hf_iter(open({corpus!r}, encoding="utf-8").read().splitlines(), {out!r},
                            aim_token_num={vocab}, multi_process={mp}, num_workers={workers})
"""


def rss_mb(pid):
    try:
        with open(f"/proc/{pid}/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20
    except OSError:
        return 0.0


def children(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(c) for c in f.read().split()]
    except OSError:
        return []


def run(corpus, vocab, workers, mp):
    with tempfile.TemporaryDirectory() as out:
        code = TRAIN.format(corpus=corpus, out=out, vocab=vocab, mp=mp, workers=workers)
        env = dict(os.environ, LOG_LEVEL="warn", LOG_FILE=os.devnull)
        start = time.perf_counter()
        proc = subprocess.Popen([sys.executable, "-c", code], env=env)
        parent_peak = workers_peak = 0.0
        while proc.poll() is None:
            parent_peak = max(parent_peak, rss_mb(proc.pid))
            workers_peak = max(workers_peak, sum(rss_mb(c) for c in children(proc.pid)))
            time.sleep(0.05)
        if proc.returncode != 0:
            raise SystemExit(f"training failed ({proc.returncode})")
        return time.perf_counter() - start, parent_peak, workers_peak


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("corpus")
    parser.add_argument("--vocab", type=int, default=8000)
    parser.add_argument("--workers", type=int, nargs="+", default=[2, 4, 8])
    args = parser.parse_args()
    print(f"{args.corpus}: vocabulary {args.vocab}")
    wall, parent, _ = run(args.corpus, args.vocab, 0, False)
    print(f"single process      {wall:8.1f} s  peak {parent:7.0f} MB")
    for n in args.workers:
        w, p, kids = run(args.corpus, args.vocab, n, True)
        print(f"{n} workers           {w:8.1f} s  parent {p:7.0f} MB  workers {kids:7.0f} MB  "
              f"({w / wall:.2f}x the time)")


if __name__ == "__main__":
    main()
