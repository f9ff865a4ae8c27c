"""Memory or threads running out: a child interpreter trains with an address-space limit a little above
what it holds after import, or with room for too few threads, and the call ends in time with MemoryError
or the pool's error, writes nothing and leaves no worker process or temporary file behind."""
import json
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile

import pytest

from conftest import CHILD_REPORT

# A user id of no one here, one per test process: the task limit counts all tasks of the real user (and
# does not hold for root).
UID = 50000 + os.getpid() % 10000

CHILD = (r"""
import json, os, resource, sys, zelkor_ext
call, limit, source, out = sys.argv[1:]
if limit.endswith("MB"):
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (size + int(limit[:-2]) * 2**20, resource.RLIM_INFINITY))
else:
    os.setgid(UID)
    os.setuid(UID)
calls = {
    "file": lambda: zelkor_ext.train_to_hf(source, out, num_workers=4),
    "iterable": lambda: zelkor_ext.train_to_hf_iter(open(source), out, num_workers=4),
    "multi-process": lambda: zelkor_ext.train_to_hf(source, out, multi_process=True, num_workers=2),
}
try:
    calls[call]()
    result = "returned"
except MemoryError:
    result = "MemoryError"
except BaseException as e:
    result = f"{type(e).__name__}: {e}"
""" + CHILD_REPORT).replace("UID", str(UID))


@pytest.fixture(scope="module")
def shared():
    """A directory every user may use, holding about 2 MB of random words: training them needs a few
    hundred MB."""
    path = tempfile.mkdtemp()
    os.chmod(path, 0o777)
    rng = random.Random(7)
    words = ["".join(rng.choices("abcdefghijklmnopqrstuvwxyz", k=rng.randint(2, 9))) for _ in range(3000)]
    with open(os.path.join(path, "c.txt"), "w") as corpus:
        corpus.writelines(" ".join(rng.choices(words, k=rng.randint(4, 14))) + "\n" for _ in range(40000))
    os.chmod(os.path.join(path, "c.txt"), 0o644)
    yield path
    shutil.rmtree(path)


def train_limited(shared, call, limit, tasks=None):
    """Runs `call` in a child with `limit` ("<n>MB" above its size after import, or "tasks"), on two
    processors, one malloc arena and one thread per worker process, so that the memory it needs is the
    same on every machine; returns the child's report."""
    tmp = tempfile.mkdtemp(dir=shared)
    os.chmod(tmp, 0o777)
    out = os.path.join(tmp, "out")
    env = dict(os.environ, TMPDIR=tmp, LOG_FILE=os.devnull, MALLOC_ARENA_MAX="1", WORKER_THREADS="1")
    cpus = sorted(os.sched_getaffinity(0))[:2]

    def limits():
        os.sched_setaffinity(0, cpus)
        if tasks is not None:
            resource.setrlimit(resource.RLIMIT_NPROC, (tasks, tasks))

    try:
        child = subprocess.run([sys.executable, "-c", CHILD, call, limit, os.path.join(shared, "c.txt"), out],
                               env=env, preexec_fn=limits, capture_output=True, text=True, timeout=60)
        assert child.returncode == 0, child.stderr[-2000:]
        report = json.loads(child.stdout)
        assert not report["children"]
        assert os.listdir(tmp) == [], "nothing is written, no temporary file is left"
        return report["result"]
    finally:
        shutil.rmtree(tmp)


# One process runs out in its statistics count; with workers, the parent runs out in its first merges.
@pytest.mark.parametrize("margin", [96, 128])
@pytest.mark.parametrize("call", ["file", "iterable", "multi-process"])
def test_memory_running_out_is_memory_error(shared, call, margin):
    assert train_limited(shared, call, f"{margin}MB") == "MemoryError"


@pytest.mark.skipif(os.geteuid() != 0, reason="needs a user of its own, to count its tasks")
@pytest.mark.parametrize("call, error", [
    ("file", "PanicException: build rayon pool for vocab: Resource temporarily unavailable (os error 11)"),
    ("iterable", "ValueError: build rayon pool failed: Resource temporarily unavailable (os error 11)"),
])
def test_threads_running_out_is_the_pools_error(shared, call, error):
    # The pools want four threads: room for the child and two more lets the scheduler start two of
    # its three, and then start the third from one of its own.
    assert train_limited(shared, call, "tasks", tasks=3) == error
