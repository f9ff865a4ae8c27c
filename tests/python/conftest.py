"""Shared fixtures: the log file, a real-text corpus and a directory trained on it, MP_PY_WORKER start
values, a probe of the interpreter lock, random vocabularies."""
import ctypes
import inspect
import json
import os
import random
import re
import sys
import threading
import time

import pytest

import zelkor_ext

G = "\u0120"
getenv = ctypes.CDLL(None).getenv
getenv.restype, getenv.argtypes = ctypes.c_char_p, [ctypes.c_char_p]


# The end of a child program that set `result`: prints it and whether the child has a child left.
CHILD_REPORT = """try:
    os.waitpid(-1, os.WNOHANG)
    children = True
except ChildProcessError:
    children = False
print(json.dumps({"result": result, "children": children}))
"""


@pytest.fixture(scope="session", autouse=True)
def log_file(tmp_path_factory):
    # The log path is read once per process, at the first log line, so it is set before any training.
    path = tmp_path_factory.mktemp("log") / "zelkor.log"
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("LOG_FILE", str(path))
        yield path


@pytest.fixture(scope="session")
def corpus_lines():
    """Real prose (standard-library docstrings) plus control, quote, backslash and non-Latin text."""
    lines = [line.strip() for mod in (json, inspect, re, os) for name in dir(mod)
             for line in (inspect.getdoc(getattr(mod, name)) or "").splitlines()]
    return [line for line in lines if line] + ['quote " back\\slash \x1b \b \x7f tab\tend',
                                               "naïve café Ωμέγα 中文 žluť"] * 20


@pytest.fixture(scope="session")
def trained(corpus_lines, tmp_path_factory):
    """A tokenizer directory trained once on corpus_lines; its missing parent directories are created."""
    corpus = tmp_path_factory.mktemp("corpus") / "corpus.txt"
    corpus.write_text("\n".join(corpus_lines) + "\n", encoding="utf-8")
    out = tmp_path_factory.mktemp("trained") / "a" / "b"
    zelkor_ext.train_to_hf(str(corpus), str(out), num_merges=400)
    return out


@pytest.fixture(params=[b"x", None, b"\xff"], ids=["set", "absent", "not-utf8"])
def worker_var(request):
    """Starts MP_PY_WORKER at each value in turn; yields a reader of it as the C library sees it, and the
    value expected after a call: one that saved and restored it (touched) drops a value not UTF-8."""
    start = request.param
    if start is not None:
        os.environb[b"MP_PY_WORKER"] = start
    yield (lambda: getenv(b"MP_PY_WORKER")), (lambda touched: None if touched and start == b"\xff" else start)
    os.environb.pop(b"MP_PY_WORKER", None)
    os.unsetenv(b"MP_PY_WORKER")


@pytest.fixture
def spins_during():
    """Runs a call while another thread spins under a huge switch interval: that thread moves only when
    the lock is given up voluntarily, so the returned count shows whether the call released it."""
    def run(call):
        count, stop = [0], threading.Event()

        def spin():
            while not stop.is_set():
                count[0] += 1
                time.sleep(0)

        thread, old = threading.Thread(target=spin), sys.getswitchinterval()
        sys.setswitchinterval(1000)
        thread.start()
        try:
            before = count[0]
            call()
            return count[0] - before
        finally:
            stop.set()
            thread.join()
            sys.setswitchinterval(old)
    return run


@pytest.fixture
def random_cases():
    """Yields (vocab, texts): small random vocabularies over a few letters, a hyphen and the word end
    (an empty token included), with texts that add an unknown letter and several kinds of space."""
    def cases(seed, count):
        rng = random.Random(seed)
        for _ in range(count):
            toks = ["".join(rng.choices("abcé-" + G, k=rng.randint(1, 4)))
                    for _ in range(rng.randint(1, 14))]
            vocab = dict(zip(toks + ["", "<unk>"], rng.sample(range(60), 16)))
            chars = "abcé-x" + G + "  \t\n\u3000\u00a0\u200b"
            yield vocab, ["".join(rng.choices(chars, k=rng.randint(0, 24))) for _ in range(8)]
    return cases
