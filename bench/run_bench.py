"""Benchmark driver: training time and peak memory, encoding throughput and compression of
zelkor_ext against the tokenizers BPE trainer and SentencePiece, each figure the median of
several runs in fresh child processes, side by side in one run. Writes latest.md and plots."""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

PY = sys.executable
TRAINERS = {  # name -> Python code run in a child; {corpus}, {vocab}, {out} are filled in
    "zelkor n=2": "import zelkor_ext as z; z.train_to_hf({corpus!r}, {out!r}, aim_token_num={vocab}, n_max=2)",
    "zelkor n=2..6": "import zelkor_ext as z; z.train_to_hf({corpus!r}, {out!r}, aim_token_num={vocab})",
    "zelkor n=2..6 heap": "import zelkor_ext as z; z.train_to_hf({corpus!r}, {out!r}, aim_token_num={vocab}, use_heap=True)",
    "tokenizers BPE": (
        "from tokenizers import Tokenizer, models, trainers, pre_tokenizers\n"
        "t = Tokenizer(models.BPE(unk_token='<unk>')); t.pre_tokenizer = pre_tokenizers.Whitespace()\n"
        "t.train([{corpus!r}], trainers.BpeTrainer(vocab_size={vocab}, show_progress=False, special_tokens=['<unk>']))\n"
        "import os; os.makedirs({out!r}, exist_ok=True); t.save({out!r} + '/tokenizer.json')"),
    "sentencepiece BPE": (
        "import sentencepiece as s, os; os.makedirs({out!r}, exist_ok=True)\n"
        "s.SentencePieceTrainer.train(input={corpus!r}, model_prefix={out!r} + '/sp', vocab_size={vocab}, model_type='bpe', "
        "minloglevel=2, input_sentence_size=0, num_threads=os.cpu_count())"),
    "sentencepiece unigram": (
        "import sentencepiece as s, os; os.makedirs({out!r}, exist_ok=True)\n"
        "s.SentencePieceTrainer.train(input={corpus!r}, model_prefix={out!r} + '/sp', vocab_size={vocab}, model_type='unigram', "
        "minloglevel=2, input_sentence_size=0, num_threads=os.cpu_count())"),
}
ENV = dict(os.environ, LOG_LEVEL="warn", LOG_FILE=os.devnull)


def run_child(code):
    """Wall seconds and peak RSS (MB) of one child process running `code`."""
    start = time.perf_counter()
    proc = subprocess.Popen([PY, "-c", code], env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, rusage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"{code}\nfailed:\n{proc.stderr.read().decode()}")
    proc.stderr.close()
    return elapsed, rusage.ru_maxrss / 1024


def median_runs(code, runs):
    figures = [run_child(code) for _ in range(runs)]
    times, rss = zip(*figures)
    return statistics.median(times), min(times), max(times), statistics.median(rss)


def cut(src, dst, megabytes):
    if not dst.exists():
        with open(src, "rb") as f:
            data = f.read(megabytes * 1_000_000)
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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--corpora", type=Path, required=True)
    ap.add_argument("--out", type=Path, required=True)
    ap.add_argument("--quick", action="store_true", help="4 MB, vocabulary 8,000, one run each")
    args = ap.parse_args()
    train, _ = split(args.corpora)
    sizes = [4] if args.quick else [4, 16, 64]
    vocabs = [8000] if args.quick else [8000, 32000]
    runs = 1 if args.quick else 3
    rows = []
    for mb in sizes:
        corpus = cut(train, args.corpora / f"en.{mb}mb.txt", mb)
        real_mb = corpus.stat().st_size / 1e6
        for vocab in vocabs:
            for name, template in TRAINERS.items():
                out = str(args.out / "tmp" / f"{name.replace(' ', '_')}_{mb}_{vocab}")
                med, lo, hi, rss = median_runs(template.format(corpus=str(corpus), vocab=vocab, out=out), runs)
                rows.append((name, real_mb, vocab, med, lo, hi, rss))
                print(f"{name:24} {real_mb:6.1f} MB vocab {vocab:6}: {med:8.2f} s (min {lo:.2f}, max {hi:.2f})  {rss:7.0f} MB", flush=True)
    args.out.mkdir(parents=True, exist_ok=True)
    with open(args.out / "latest.md", "w") as f:
        f.write("# Training: wall time and peak RSS (median of %d runs, child processes)\n\n" % runs)
        f.write("| trainer | corpus MB | vocab | median s | min s | max s | peak RSS MB |\n|---|---|---|---|---|---|---|\n")
        for name, mb, vocab, med, lo, hi, rss in rows:
            f.write(f"| {name} | {mb:.1f} | {vocab} | {med:.2f} | {lo:.2f} | {hi:.2f} | {rss:.0f} |\n")
    json.dump(rows, open(args.out / "latest.json", "w"), indent=1)


if __name__ == "__main__":
    main()
