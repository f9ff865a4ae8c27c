"""Runs tests/python/exit_while_released.py many times and counts how the processes ended.

Each scenario runs in two forms: "window" (every thread is inside the module, the interpreter lock
released, until the interpreter has finished finalising: the deterministic form of the test) and
"random" (the threads loop and the main thread returns after a random 0.05-0.9 s, as a user meets it).
With --load, one busy process per processor runs meanwhile.

    scripts/stress-exit [--runs N] [--load] [--scenario NAME ...] [--form window|random ...]
"""
import argparse
import collections
import inspect
import json
import multiprocessing
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

os.environ["LOG_FILE"] = os.devnull
os.environ.setdefault("LOG_LEVEL", "error")
ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))

import zelkor_ext  # noqa: E402
from exit_while_released import SCENARIOS, run_exit_window  # noqa: E402


def busy():
    while True:
        pass


def trained_vocab(work):
    lines = [line.strip() for mod in (json, inspect, re, os) for name in dir(mod)
             for line in (inspect.getdoc(getattr(mod, name)) or "").splitlines()]
    corpus = work / "corpus.txt"
    corpus.write_text("\n".join(line for line in lines if line) + "\n", encoding="utf-8")
    zelkor_ext.train_to_hf(str(corpus), str(work / "vocab"), num_merges=400)
    return str(work / "vocab" / "vocab.json")


def random_race(scenario, vocab, out):
    program = ROOT / "tests" / "python" / "exit_while_released.py"
    result = subprocess.run([sys.executable, str(program), scenario, vocab, out, "random"],
                            capture_output=True, timeout=120)
    return result.returncode, result.stderr.decode(errors="replace")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=100, help="runs of each scenario and form")
    parser.add_argument("--load", action="store_true", help="one busy process per processor meanwhile")
    parser.add_argument("--scenario", nargs="*", default=list(SCENARIOS))
    parser.add_argument("--form", nargs="*", default=["window", "random"])
    args = parser.parse_args()
    load = [multiprocessing.Process(target=busy, daemon=True) for _ in range(os.cpu_count() if args.load else 0)]
    for process in load:
        process.start()
    try:
        with tempfile.TemporaryDirectory(prefix="zk_stress_exit_") as work:
            vocab = trained_vocab(Path(work))
            for scenario in args.scenario:
                for form, run in (("window", run_exit_window), ("random", random_race)):
                    if form not in args.form:
                        continue
                    outcomes, example = collections.Counter(), {}
                    for i in range(args.runs):
                        try:
                            status, stderr = run(scenario, vocab, f"{work}/o{i}_")
                        except AssertionError as missed:
                            status, stderr = "window missed", str(missed)
                        outcomes[status] += 1
                        example.setdefault(status, stderr.strip().splitlines()[-1:] if stderr.strip() else [])
                    print(f"{scenario:20} {form:7} load={'yes' if args.load else 'no ':3} runs={args.runs} "
                          f"exit statuses: {dict(outcomes)}", flush=True)
                    for status, lines in example.items():
                        if status != 0 and lines:
                            print(f"    {status}: {lines[0][:200]}")
    finally:
        for process in load:
            process.kill()


if __name__ == "__main__":
    main()
