"""Ctrl-C during a training call: a child interpreter gets SIGINT while it trains, pulls texts, reads an
endless line or waits for a stopped worker process, and the call ends with KeyboardInterrupt at once (or
after the grace a stopped worker gets), writes nothing and leaves no worker process or step directory
behind."""
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import pytest

from conftest import CHILD_REPORT

CHILD = r"""
import itertools, json, os, signal, sys, zelkor_ext
signal.signal(signal.SIGINT, signal.default_int_handler)  # a job started in the background ignores it
kind, source, out = sys.argv[1:]
os.environ["TRAINER_PID"] = str(os.getpid())  # the workers' sitecustomize, if any, looks for it
calls = {
    "file": lambda: zelkor_ext.train_to_hf(source, out, num_merges=10**6, aim_token_num=0),
    "multi-process": lambda: zelkor_ext.train_to_hf(source, out, num_merges=10**6, aim_token_num=0,
                                                    multi_process=True, num_workers=2),
    "multi-process-iterable": lambda: zelkor_ext.train_to_hf_iter(
        (line.rstrip("\n") for line in open(source)), out, num_merges=10**6, aim_token_num=0,
        multi_process=True, num_workers=2),
    "iterable": lambda: zelkor_ext.train_to_hf_iter(itertools.repeat("ab cd ef", 10**12), out),
}
print("calling", file=sys.stderr, flush=True)
try:
    calls.get(kind, calls["file"])()
    result = "returned"
except KeyboardInterrupt:
    result = "KeyboardInterrupt"
""" + CHILD_REPORT


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """About 1 MB of random words: merging until nothing is left takes seconds."""
    rng = random.Random(7)
    words = ["".join(rng.choices("abcdefghijklmnopqrstuvwxyz", k=rng.randint(2, 9))) for _ in range(3000)]
    path = tmp_path_factory.mktemp("corpus") / "c.txt"
    path.write_text("".join(" ".join(rng.choices(words, k=rng.randint(4, 14))) + "\n" for _ in range(20000)))
    return path


@pytest.fixture
def steps():
    """The root of the workers' step directories, in memory as by default (a step on disk takes seconds)."""
    path = Path(tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None))
    yield path
    shutil.rmtree(path)


def wait_while_running(child, err, condition):
    """What condition() gives once it holds (within 60 s), the child still running; its stderr in err."""
    deadline = time.monotonic() + 60
    while not (found := condition()):
        assert child.poll() is None and time.monotonic() < deadline, err.read_text()
        time.sleep(0.01)
    return found


def feed_one_line(fifo, flowing, stop):
    """Writes one line without end into `fifo`: 1 MiB, then more as long as `flowing`, until `stop`."""
    fd = os.open(fifo, os.O_WRONLY)
    try:
        os.write(fd, b"a" * 2**20)
        while flowing and not stop.is_set():
            os.write(fd, b"a" * 2**16)
            time.sleep(0.002)
        stop.wait()
    except BrokenPipeError:
        pass
    finally:
        os.close(fd)


@pytest.mark.parametrize("kind, mark, group", [
    ("file", "[merge]", False),
    ("multi-process", "[merge]", True),  # a terminal's Ctrl-C reaches the workers too
    ("iterable", "calling", False),  # a C iterator runs no bytecode that would see the signal
    ("line-flowing", "calling", False),
    ("line-stalled", "calling", False),  # the read waits on an empty pipe
])
def test_sigint_ends_the_call_at_once(tmp_path, corpus, steps, kind, mark, group):
    source, out, stop = corpus, tmp_path / "out", threading.Event()
    if kind.startswith("line"):
        source = tmp_path / "fifo"
        os.mkfifo(source)
        threading.Thread(target=feed_one_line, args=(source, kind == "line-flowing", stop), daemon=True).start()
    env = {**os.environ, "TMPDIR": str(steps), "LOG_LEVEL": "2", "LOG_FILE": str(tmp_path / "log")}
    with open(tmp_path / "stderr", "w") as err:
        child = subprocess.Popen([sys.executable, "-c", CHILD, kind, str(source), str(out)], env=env,
                                 stdout=subprocess.PIPE, stderr=err, text=True, start_new_session=True)
    try:
        wait_while_running(child, tmp_path / "stderr", lambda: mark in (tmp_path / "stderr").read_text())
        time.sleep(0.3 if mark == "calling" else 0)
        sent = time.monotonic()
        os.killpg(child.pid, signal.SIGINT) if group else child.send_signal(signal.SIGINT)
        report = json.loads(child.communicate(timeout=30)[0])
        took = time.monotonic() - sent
    finally:
        stop.set()
        child.kill()
        child.wait()
    assert report == {"result": "KeyboardInterrupt", "children": False} and took < 2
    assert not out.exists() and list(steps.iterdir()) == []
    assert "Traceback" not in (tmp_path / "stderr").read_text()


# On the workers' path: the first worker of the trainer stops itself before it reads its request.
STOP_FIRST_WORKER = r"""
import os, signal
if os.environ.get("TRAINER_PID") == str(os.getppid()):
    try:
        os.close(os.open(os.path.join(os.path.dirname(__file__), "taken"), os.O_CREAT | os.O_EXCL))
        os.kill(os.getpid(), signal.SIGSTOP)
    except FileExistsError:
        pass
"""


def state(pid):
    """The state of process pid (T stopped, Z ended), None once it is gone."""
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except OSError:
        return None


def stopped_child(pid):
    """A stopped child of pid: the counting workers are started by its pool threads, so every thread's."""
    tasks = Path(f"/proc/{pid}/task").iterdir()
    children = (int(c) for task in tasks for c in (task / "children").read_text().split())
    return next((c for c in children if state(c) == "T"), None)


@pytest.mark.parametrize("kind, limit", [
    ("multi-process-iterable", 6.0),  # the stopped training worker gets the 3 s that any worker gets to end
    ("multi-process", 2.0),  # counting workers hold nothing to keep: killed at once
], ids=["training", "counting"])
def test_sigint_while_waiting_for_a_stopped_worker(tmp_path, corpus, steps, kind, limit):
    env = {**os.environ, "TMPDIR": str(steps), "LOG_LEVEL": "2", "LOG_FILE": str(tmp_path / "log")}
    if kind == "multi-process":
        (tmp_path / "site").mkdir()
        (tmp_path / "site" / "sitecustomize.py").write_text(STOP_FIRST_WORKER)
        env["PYTHONPATH"] = str(tmp_path / "site")
    err, stopped = tmp_path / "stderr", None
    with open(err, "w") as stream:
        child = subprocess.Popen([sys.executable, "-c", CHILD, kind, str(corpus), str(tmp_path / "out")],
                                 env=env, stdout=subprocess.PIPE, stderr=stream, text=True, start_new_session=True)
    try:
        if kind == "multi-process-iterable":
            wait_while_running(child, err, lambda: "[merge]" in err.read_text())
            workers = Path(f"/proc/{child.pid}/task/{child.pid}/children").read_text().split()
            os.kill(int(workers[0]), signal.SIGSTOP)
        stopped = wait_while_running(child, err, lambda: stopped_child(child.pid))
        time.sleep(0.2)  # the parent waits for it by now
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        report = json.loads(child.communicate(timeout=30)[0])
        took = time.monotonic() - sent
    finally:
        child.kill()
        child.wait()
        if stopped is not None and state(stopped) is not None:
            os.kill(stopped, signal.SIGKILL)
    assert report == {"result": "KeyboardInterrupt", "children": False} and took < limit
    assert state(stopped) is None  # killed and reaped by the parent
    assert not (tmp_path / "out").exists() and list(steps.iterdir()) == []
    assert "Traceback" not in err.read_text()
