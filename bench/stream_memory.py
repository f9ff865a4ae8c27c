"""Peak memory of train_to_hf_iter fed by a generator versus the same texts held in a list."""
# Usage: .venv/bin/python bench/stream_memory.py [total_mb] [chunk_size]
# Each case runs in its own interpreter, which reports its peak resident set size (VmHWM).
import os
import random
import subprocess
import sys
import tempfile
import time

TEXT_CHARS = 1000


def base_text():
    rng = random.Random(1)
    letters = "abcdefghijklmnopqrstuvwxyz"
    words = ["".join(rng.choice(letters) for _ in range(rng.randint(2, 9))) for _ in range(3000)]
    return " ".join(rng.choice(words) for _ in range(400_000))


def texts(total_mb):
    """Distinct str objects of TEXT_CHARS characters each, cut at 64 places of one base text.

    Each text is a new object (the list case holds them all), but only 64 contents exist, so the
    count map and the training stay small and the intake's own memory shows.
    """
    base = base_text()
    span = len(base) - TEXT_CHARS
    for i in range(total_mb * 1_000_000 // TEXT_CHARS):
        start = (i % 64) * 7919 % span
        yield base[start:start + TEXT_CHARS]


def peak_rss_mb():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def child(mode, total_mb, chunk_size):
    import zelkor_ext
    source = texts(total_mb)
    if mode == "list":
        source = list(source)
    start = time.perf_counter()
    if mode == "baseline":
        for _ in source:
            pass
    else:
        with tempfile.TemporaryDirectory() as out:
            zelkor_ext.train_to_hf_iter(source, out, num_merges=200, aim_token_num=500,
                                        chunk_size=chunk_size)
    print(f"{peak_rss_mb():.1f} {time.perf_counter() - start:.1f}")


def main():
    total_mb = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    chunk_size = int(sys.argv[2]) if len(sys.argv) > 2 else 4096
    log = os.path.join(tempfile.gettempdir(), "stream_memory.log")
    env = dict(os.environ, LOG_LEVEL="warn", LOG_FILE=log)
    print(f"{total_mb} MB of text in {TEXT_CHARS}-character texts, chunk_size {chunk_size}")
    print(f"{'case':<10}{'peak RSS MB':>12}{'seconds':>10}")
    for mode in ("baseline", "generator", "list"):
        argv = [sys.executable, __file__, "--child", mode, str(total_mb), str(chunk_size)]
        out = subprocess.run(argv, env=env, check=True, capture_output=True, text=True).stdout.split()
        print(f"{mode:<10}{out[0]:>12}{out[1]:>10}")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    else:
        main()
