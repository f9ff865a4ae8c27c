# Training across worker processes (multi_process=True): each driver mode and entry point end to end through
# transformers, verification lines, MP_PY_WORKER restored, the open-file limit, and
# a worker killed mid-training (the error, every worker reaped, no step directory left).
import contextlib
import fcntl
import inspect
import json
import os
import re
import resource
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
from pathlib import Path

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import zelkor_ext

os.environ.setdefault("HF_HUB_OFFLINE", "1")
transformers = pytest.importorskip("transformers")

AIM, NO_OP_STEPS, SENTENCE = 250, 30, "Return the value of the object as a string"
SPECIALS = {"<s>", "</s>", "<pad>", "<unk>", "<mask>"}
MODES = {  # id: (switches, use_incremental, mp_use_heap as logged); any value sets a switch, the empty one too
    "incremental": ({}, True, False),
    "heap": ({"MP_USE_HEAP": "1"}, True, True),
    "full-recompute": ({"MP_FULL_RECOMPUTE": "0"}, False, False),
    "no-incremental": ({"MP_NO_INCREMENTAL": ""}, False, False),
    "no-diff": ({"MP_NO_DIFF": "1"}, False, False),
    "low-mem": ({"MP_LOW_MEM": "1"}, False, False),
    "forced-over-recompute": ({"MP_FORCE_INCREMENTAL": "1", "MP_FULL_RECOMPUTE": "1"}, True, False),
    "forced-over-no-diff": ({"MP_FORCE_INCREMENTAL": "1", "MP_NO_DIFF": "1"}, True, False),
    "recount-every-5": ({"MP_RECOMP_EVERY": "5"}, True, False),
    "small-buckets": ({"MP_BUCKETS": "64", "MP_BUCKET_BATCH": "1"}, True, False),
}


@pytest.fixture(scope="module")
def texts(corpus_lines):
    return corpus_lines[:-40:15] + corpus_lines[-2:] * 5


@pytest.fixture
def steps(tmp_path, monkeypatch):
    """TMPDIR for the step directories (on tmpfs if any: thousands of bucket files a step), switches cleared."""
    for name in os.environ.keys() - {"MP_PY_WORKER"}:
        if name.startswith(("MP_", "VERIFY_STATS", "FINAL_REBUILD")):
            monkeypatch.delenv(name)
    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else tmp_path) as root:
        monkeypatch.setenv("TMPDIR", root)
        yield Path(root)


def train(entry, texts, out, **kwargs):
    kwargs = {"aim_token_num": AIM, "num_workers": 2, "multi_process": True, **kwargs}
    if entry == "iter":
        zelkor_ext.train_to_hf_iter(iter(texts), str(out), **kwargs)
    elif entry == "parquet":
        pq.write_table(pa.table({"text": texts}), str(out.parent / "in.parquet"))
        zelkor_ext.train_to_hf_parquet(str(out.parent / "in.parquet"), str(out), **kwargs)
    else:
        (out.parent / "in.txt").write_text("\n".join(texts) + "\n", encoding="utf-8")
        zelkor_ext.train_to_hf(str(out.parent / "in.txt"), str(out), **kwargs)


def check_trained(out, err, workers=2):
    """Checks the driver's first and last log lines and a sentence encoded by transformers; the vocabulary."""
    assert re.search(rf"\[train_mp\] start merges=\d+ n_values=\[2, 3, 4, 5, 6\] workers={workers} ", err)
    assert re.search(r"\[tpc\] total_tokens=\d+ total_chars=\d+ tpc=[\d.]+ tok/char elapsed=[\d.]+s \[mp\]\n", err)
    tok = transformers.AutoTokenizer.from_pretrained(str(out), trust_remote_code=True)
    ids = tok.convert_tokens_to_ids(tokens := tok.tokenize(SENTENCE))
    assert tok.convert_tokens_to_string(tokens) == SENTENCE and len(tokens) < len(SENTENCE.replace(" ", ""))
    assert tok([SENTENCE])["input_ids"] == [[tok.bos_token_id, *ids, tok.eos_token_id]]
    assert tok.unk_token_id not in ids
    return json.loads((out / "vocab.json").read_bytes())


@pytest.mark.parametrize("mode", MODES)
def test_modes_train_end_to_end(mode, texts, steps, tmp_path, monkeypatch, capfd):
    switches, incremental, heap = MODES[mode]
    for name, value in switches.items():
        monkeypatch.setenv(name, value)
    no_op = mode == "forced-over-no-diff"  # the workers write no files: every step is a no-op
    train("iter", texts, tmp_path / "out", num_merges=NO_OP_STEPS if no_op else 10**5, num_workers=3)
    err = capfd.readouterr().err
    assert re.search(rf"\[train_mp\] step=0 stats_len=\d+ heap_len={r'[1-9]\d*' if heap else 0} "
                     rf"use_incremental={str(incremental).lower()} mp_use_heap={str(heap).lower()} ", err)
    vocab = check_trained(tmp_path / "out", err, workers=3)
    merges = re.findall(r"\[merge\] +(\d+): freq=[1-9]\d* score=[1-9]\d* ", err)
    no_ops = re.findall(r"\[train_mp\] step (\d+) no-op merge for \[\d+(?:, \d+)+\], recompute stats once\n", err)
    if no_op:  # no merge recorded, and no aim_token_num check: it ends at num_merges
        assert merges == [] and no_ops == [str(step) for step in range(NO_OP_STEPS)]
        assert 0 < len([t for t in vocab if len(t) > 1 and t not in SPECIALS]) <= NO_OP_STEPS
    else:
        assert len(vocab) == AIM and f"reach aim_token_num={AIM} (vocab_size={AIM})" in err
        assert sorted(map(int, merges + no_ops)) == list(range(len(merges) + len(no_ops)))
    assert list(steps.iterdir()) == []  # every step directory removed


@pytest.mark.parametrize("entry", ["iter", "parquet", "file"])
def test_entry_points_restore_worker_variable(entry, worker_var, texts, steps, tmp_path, capfd):
    read, after = worker_var
    seen = []
    train(entry, (seen.append(read()) or t for t in texts) if entry == "iter" else texts, tmp_path / "out")
    check_trained(tmp_path / "out", err := capfd.readouterr().err)
    assert read() == after(touched=True) and list(steps.iterdir()) == []  # spill and steps removed
    assert entry != "iter" or set(seen) == {b"1"}  # set while the texts were pulled
    assert entry != "file" or "[build_vocab_mp] bucket fill done partial_maps=" in err  # counted on workers


def test_workers_do_not_import_a_module_planted_in_the_current_directory(texts, steps, tmp_path, monkeypatch, capfd):
    # Training from a directory where someone left a zelkor_ext.py: neither the counting workers nor the
    # training workers (both started from a text file) may run it.
    marker = tmp_path / "planted-ran"
    (tmp_path / "zelkor_ext.py").write_text(f"open({str(marker)!r}, 'w').close()\nraise SystemExit('planted')\n")
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv("PYTHONSAFEPATH", raising=False)
    train("file", texts, tmp_path / "out")
    err = capfd.readouterr().err
    assert "[build_vocab_mp] bucket fill done" in err and not marker.exists()
    check_trained(tmp_path / "out", err)


@pytest.mark.parametrize("entry", ["iter", "file"])
def test_only_multi_process_needs_the_interpreter_path(entry, texts, tmp_path, monkeypatch):
    monkeypatch.setattr(sys, "executable", "")  # as in some embedding applications
    train(entry, texts[:50], tmp_path / "out", multi_process=False, num_merges=5)
    assert (tmp_path / "out" / "vocab.json").exists()
    with pytest.raises(ValueError, match="^cannot start worker processes: sys.executable is not set$"):
        train(entry, texts[:50], tmp_path / "out2", num_merges=5)


def stat(pid, field):
    """A field of /proc/<pid>/stat after the name (0: state, T stopped, Z ended; 1: parent); None once gone."""
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[field]
    except OSError:
        return None


def children(pid):  # zombies included
    return sorted(int(entry) for entry in os.listdir("/proc") if entry.isdigit() and stat(entry, 1) == str(pid))


# Trains on the texts of a JSON file in a fresh interpreter; prints the error, if any, and its children left.
SCRIPT = "\n".join(["import json, os, sys, zelkor_ext", "from pathlib import Path", inspect.getsource(stat),
                    inspect.getsource(children)]) + """
try:
    zelkor_ext.train_to_hf_iter(json.load(open(sys.argv[1])), sys.argv[2], num_workers=2, multi_process=True,
                                **json.loads(sys.argv[3]))
    error = None
except ValueError as exc:
    error = str(exc)
print(json.dumps([error, children(os.getpid())]))
"""


def start(tmp_path, texts, env, preexec_fn=None, script=SCRIPT, python=(sys.executable,), prelude="", **kwargs):
    """Runs prelude + script in tmp_path as the current directory; `python` starts the interpreter."""
    (tmp_path / "texts.json").write_text(json.dumps(texts))
    args = [*python, "-c", prelude + script, str(tmp_path / "texts.json"), str(tmp_path / "out"),
            json.dumps(kwargs)]
    with (tmp_path / "stderr").open("w") as stderr:
        return subprocess.Popen(args, env={**os.environ, "LOG_FILE": str(tmp_path / "zelkor.log"), **env},
                                text=True, stdout=subprocess.PIPE, stderr=stderr, preexec_fn=preexec_fn,
                                cwd=tmp_path)


# On SIGUSR1 (run by the training's interrupt check) VERIFY_STATS_MP is set, and the last merge step logged noted.
VERIFY_FROM_NOW = """
import os, re, signal
def verify_from_now(*_):
    log = os.environ["LOG_FILE"]
    os.environ["VERIFY_STATS_MP"] = "1"
    open(log + ".set", "w").write(re.findall(r"\\[merge\\] +(\\d+):", open(log).read())[-1])
signal.signal(signal.SIGUSR1, verify_from_now)
"""


@pytest.mark.parametrize("case", ["incremental", "full-recompute", "set-after-step-5"])
def test_verification_lines(case, texts, steps, tmp_path):
    # Debug lines need a fresh process: the log level is read once. Only incremental steps are verified and
    # only differences logged; the folds drop what a recount keeps, so there are some. The switch is read
    # after every step: set during training, it verifies every later step.
    env = {"LOG_LEVEL": "debug", **({"MP_FULL_RECOMPUTE": "1"} if case == "full-recompute" else {})}
    late = case == "set-after-step-5"
    proc = start(tmp_path, texts, env if late else {**env, "VERIFY_STATS_MP": "1"},
                 prelude=VERIFY_FROM_NOW if late else "", aim_token_num=AIM)
    log = tmp_path / "zelkor.log"
    if late:
        wait_for(lambda: log.exists() and re.search(r"\[merge\] +5:", log.read_text(errors="replace")), "step 5")
        os.kill(proc.pid, signal.SIGUSR1)
    assert json.loads(proc.communicate(timeout=60)[0]) == [None, []]  # trained, workers reaped
    found = [re.fullmatch(r"step (\d+) diff=(\d+), missing=(\d+), extra=(\d+)", line.split("[verify_mp] ")[1])
             for line in log.read_text().splitlines() if "[verify_mp] " in line]
    assert all(found) and (len(found) > 10) != (case == "full-recompute")
    assert all(sum(map(int, m.groups()[1:])) > 0 for m in found)
    assert [int(m[1]) for m in found] == sorted({int(m[1]) for m in found})  # at most one line a step
    if late:  # none before the switch was set
        assert int(found[0][1]) > int(Path(f"{log}.set").read_text()) >= 5


def test_trains_under_the_usual_open_file_limit(corpus_lines, steps, tmp_path):
    # Under the common soft limit of 1024 open files: a step may touch every one of the 1024 buckets, old and
    # new, so a worker must not hold their files open all at once.
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    proc = start(tmp_path, corpus_lines * 2, {}, lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (1024, hard)),
                 num_merges=5)
    assert json.loads(proc.communicate(timeout=60)[0]) == [None, []], (tmp_path / "stderr").read_text()[-500:]


# /dev/shm read-only in a mount namespace of the training process's own, and /proc (where no directory can
# be made) as its current directory.
READ_ONLY_SHM = ["unshare", "-m", "--propagation", "private", "sh", "-c",
                 'mount -o remount,bind,ro /dev/shm && cd /proc && exec "$@"', "sh"]


@pytest.mark.parametrize("tmpdir", [["-u", "TMPDIR"], ["TMPDIR="]], ids=["unset", "empty"])
def test_step_directories_leave_an_unusable_shm_for_the_temporary_directory(tmpdir, texts, tmp_path):
    # /dev/shm cannot take the step directories, and an empty TMPDIR counts as unset (not as the current
    # directory): they go to /tmp.
    if subprocess.run([*READ_ONLY_SHM, "true"], capture_output=True).returncode != 0:
        pytest.skip("no mount namespace here")
    proc = start(tmp_path, texts, {}, python=(*READ_ONLY_SHM, "env", *tmpdir, sys.executable), num_merges=20)
    assert json.loads(proc.communicate(timeout=60)[0]) == [None, []], (tmp_path / "stderr").read_text()[-500:]
    assert (tmp_path / "out" / "vocab.json").exists() and not list(Path("/tmp").glob(f"zk_apply_{proc.pid}_*"))


# On SIGUSR1, handled between merge steps, the training process takes every free descriptor below its
# highest one and lowers its limit to the next: no file can be opened from then on, while the workers' pipes
# lie below the limit (as under a limit set from the start).
EXHAUST = """
import resource, signal
held = []
def exhaust(*_):
    top = max(map(int, os.listdir("/proc/self/fd")))
    while (fd := os.open(os.devnull, os.O_RDONLY)) < top:
        held.append(fd)
    os.close(fd)
    resource.setrlimit(resource.RLIMIT_NOFILE, (fd, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
signal.signal(signal.SIGUSR1, exhaust)
"""


def test_bucket_files_lost_to_the_open_file_limit_fail_the_call(corpus_lines, steps, tmp_path):
    # The step's bucket files cannot be opened (EMFILE): the call ends with that error instead of taking the
    # step for a no-op, the workers ended and the step directory removed.
    proc = start(tmp_path, corpus_lines * 2, {"LOG_LEVEL": "info"}, script=SCRIPT.replace("\ntry:", EXHAUST + "try:"),
                 num_merges=100, aim_token_num=10**6)
    try:
        log = tmp_path / "zelkor.log"
        wait_for(lambda: log.exists() and "[merge]" in log.read_text(errors="replace"), "the first merge")
        os.kill(proc.pid, signal.SIGUSR1)
        out = proc.communicate(timeout=30)[0]
    finally:
        proc.kill()
        proc.wait()
    err = (tmp_path / "stderr").read_text()
    assert json.loads(out) == ["Too many open files (os error 24)", []], err[-500:]  # no child left, no zombie
    assert "no-op merge" not in err and list(steps.iterdir()) == []


# A step root so long that a step directory's path just fits (4095 bytes) and its workers' do not.
LONG_STEP_ROOT = """
import os
name = len(f"/zk_apply_{os.getpid()}_") + 19  # the nanoseconds since 1970 have 19 digits until 2286
root = os.environ["TMPDIR"]
while 4095 - name - len(root) > 250:
    root += "/" + "d" * 200
root += "/" + "d" * (4095 - name - len(root) - 1)
os.makedirs(root)
os.environ["TMPDIR"] = root
"""


def test_merge_round_is_logged_before_worker_directories(texts, steps, tmp_path):
    proc = start(tmp_path, texts, {"LOG_LEVEL": "debug"}, prelude=LONG_STEP_ROOT, num_merges=5)
    assert json.loads(proc.communicate(timeout=60)[0]) == ["File name too long (os error 36)", []]
    pool = [line.split("[proc_pool] ")[1] for line in (tmp_path / "zelkor.log").read_text().splitlines()
            if "[proc_pool] " in line]
    assert re.fullmatch(r"apply broadcast workers=2 parts_len=\d+", pool[-1])  # the first merge round's
    assert [d for d, _, _ in os.walk(steps) if "zk_apply_" in d] == []


def unread(pid, fd):  # bytes waiting in the pipe at descriptor fd of process pid
    with open(os.open(f"/proc/{pid}/fd/{fd}", os.O_RDONLY | os.O_NONBLOCK), "rb", buffering=0) as pipe:
        return struct.unpack("i", fcntl.ioctl(pipe, termios.FIONREAD, b"\0" * 4))[0]


def wait_for(condition, what, timeout=20.0):
    end = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > end:
            raise TimeoutError(f"timed out waiting for {what}")
        time.sleep(0.002)


def send(pids, sig):  # a stop is waited for; a process already gone is skipped
    for pid in pids:
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, sig)
    if sig == signal.SIGSTOP:
        wait_for(lambda: all(stat(pid, 0) == "T" for pid in pids), "stopped processes")


def stop_in_merge_round(workers, steps):
    """Stops both workers at a moment each holds an unread merge request (the step directory exists)."""
    for _ in range(100):
        send(workers, signal.SIGSTOP)
        try:
            return wait_for(lambda: all(unread(w, 0) for w in workers) and any(steps.iterdir()), "both", 0.3)
        except TimeoutError:  # stopped while one was busy: its reply never comes
            send(workers, signal.SIGCONT)
            time.sleep(0.01)
    pytest.fail("never caught both workers holding a merge request")


@pytest.mark.parametrize("case", ["killed-while-awaited", "killed-while-the-other-applies",
                                  "killed-between-rounds"])
def test_worker_killed_mid_training(case, corpus_lines, steps, tmp_path):
    env = {"LOG_LEVEL": "info", "PYTHONPATH": str(tmp_path / "elsewhere")}
    proc, workers = start(tmp_path, corpus_lines * 2, env, aim_token_num=10**6), []
    try:
        log = tmp_path / "zelkor.log"
        wait_for(lambda: log.exists() and "[merge]" in log.read_text(errors="replace"), "the first merge")
        workers = first, second = children(proc.pid)
        for pid in workers:  # started with this interpreter, the module's directory first on the path
            argv, environ = (Path(f"/proc/{pid}/{f}").read_bytes().split(b"\0") for f in ("cmdline", "environ"))
            assert argv[0] == os.fsencode(sys.executable) and b"_run_worker()" in argv[-2]
            assert os.fsencode(f"PYTHONPATH={Path(zelkor_ext.__file__).parent}:{env['PYTHONPATH']}") in environ
        stop_in_merge_round(workers, steps)
        if case == "killed-while-awaited":  # the driver reads the first reply, then the end of the second
            os.kill(second, signal.SIGKILL)
            os.kill(first, signal.SIGCONT)
            expected = r"\[ipc:worker:1:apply\] read len failed: unexpected end of file"
        elif case == "killed-while-the-other-applies":  # which must not write into the removed step directory
            os.kill(first, signal.SIGKILL)
            wait_for(lambda: not any(steps.iterdir()), "the step directory removed")
            send([second], signal.SIGCONT)
            expected = r"\[ipc:worker:0:apply\] read len failed: unexpected end of file"
        else:  # both replies are in the pipes when the second worker dies: writing the next request fails
            send([proc.pid], signal.SIGSTOP)
            send(workers, signal.SIGCONT)
            wait_for(lambda: all(unread(w, 3) for w in workers), "both replies")  # 3: a worker's frame output
            os.kill(second, signal.SIGKILL)
            # Ended: every thread gone (the pipes closed), only the unreaped leader left.
            wait_for(lambda: stat(second, 0) == "Z" and len(os.listdir(f"/proc/{second}/task")) == 1, "its end")
            os.kill(proc.pid, signal.SIGCONT)
            expected = r"Broken pipe \(os error 32\)"  # the next request cannot be written
        out = proc.communicate(timeout=20)[0]
    finally:
        proc.kill()
        proc.wait()
        send([pid for pid in workers if stat(pid, 0) not in (None, "Z")], signal.SIGKILL)
    error, left = json.loads(out)
    # Every worker reaped by the driver (no zombie, none left running), and none outlived it.
    assert left == [] and not any(os.path.exists(f"/proc/{pid}") for pid in workers)
    assert re.fullmatch(expected, error), error
    assert list(steps.iterdir()) == []


def test_killed_parent_leaves_no_step_directory(corpus_lines, steps, tmp_path):
    # The parent dies (SIGKILL: nothing of it runs) while both workers hold a merge request; they write
    # their files, find the parent gone, and remove what the step left in memory.
    proc, workers = start(tmp_path, corpus_lines * 2, {"LOG_LEVEL": "info"}, aim_token_num=10**6), []
    try:
        log = tmp_path / "zelkor.log"
        wait_for(lambda: log.exists() and "[merge]" in log.read_text(errors="replace"), "the first merge")
        workers = children(proc.pid)
        stop_in_merge_round(workers, steps)
        proc.kill()
        proc.wait()
        send(workers, signal.SIGCONT)
        wait_for(lambda: all(stat(pid, 0) in (None, "Z") for pid in workers), "the workers' end")
    finally:
        send([pid for pid in workers if stat(pid, 0) not in (None, "Z")], signal.SIGKILL)
    assert list(steps.iterdir()) == []
