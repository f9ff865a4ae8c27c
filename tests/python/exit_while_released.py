"""A program whose daemon threads are inside the module, with the interpreter lock released, when the
interpreter has finished finalising; only then do they take the lock back, and the interpreter ends
them by unwinding their stacks through the module's frames.

    python exit_while_released.py SCENARIO VOCAB_JSON OUT_PREFIX GATE_FD
    python exit_while_released.py SCENARIO VOCAB_JSON OUT_PREFIX random

With GATE_FD (the read end of a pipe) the program prints "tids ..." (the threads' ids) once every thread
is inside, and returns. Past the interpreter's finalisation, in the C library's exit handlers, it prints
"at exit" and waits for its standard input to end before the process exits. Threads of the
"blocked" kind wait for GATE_FD to end inside the caller's iterator; the others count a chunk (or
encode a batch) for a few hundred milliseconds, well past finalisation, which takes a few. So the caller sees every thread alive at
"at exit", ends the gate, waits for the threads to be gone, then ends standard input: exit status 0
unless ending a thread crashed the process (run_exit_window does this).

With "random" the threads loop without end and the main thread returns after a random 0.05-0.9 s: the
race as a user meets it, for the stress script.
"""
import ctypes
import os
import random
import subprocess
import sys
import threading
import time

import zelkor_ext

THREADS = 4
# Counting this chunk on one thread takes a few hundred milliseconds: far longer than finalisation.
CHUNK, LINE = 40_000, "some words of a longer corpus line " * 28


def chunk_texts(k, count=CHUNK):
    """Fresh str objects, each owned by the module alone once it holds it."""
    for i in range(count):
        yield f"thread {k} text {i} {LINE}"


def train_iter(k, gate, inside, multi_process=False):
    def pull():
        yield from chunk_texts(k, CHUNK - 1)
        inside()
        yield f"thread {k} last text"  # fills the chunk: counting starts at once, without the lock
        os.read(gate, 1)
        yield "never counted"
    zelkor_ext.train_to_hf_iter(pull(), f"{OUT}{k}", chunk_size=CHUNK, num_workers=1,
                                multi_process=multi_process)


def train_iter_blocked(k, gate, inside):
    def pull():
        yield from chunk_texts(k, 10)
        inside()
        os.read(gate, 1)  # ended here, inside the caller's iterator
        yield "never counted"
    zelkor_ext.train_to_hf_iter(pull(), f"{OUT}{k}", chunk_size=CHUNK)


def train_parquet(k, gate, inside):
    import pyarrow as pa
    import pyarrow.parquet as pq
    path = f"{OUT}{k}.parquet"
    pq.write_table(pa.table({"text": list(chunk_texts(k))}), path)
    inside()  # the reading and the counting follow, the lock released in pyarrow and in the module
    zelkor_ext.train_to_hf_parquet(path, f"{OUT}{k}", chunk_size=CHUNK, batch_size=CHUNK, num_workers=1)


def encode(k, gate, inside):
    tok = zelkor_ext.DpTokenizer(VOCAB)
    texts = ["hello world " * 300] * 40_000
    inside()
    tok.encode_batch(texts)


SCENARIOS = {
    "train_to_hf_iter": [train_iter, lambda *a: train_iter(*a, multi_process=True), train_iter_blocked,
                         train_iter],
    # Two batches keep every processor busy already; more would starve the main thread.
    "encode_batch": [encode, encode, train_iter_blocked, train_iter_blocked],
    "train_to_hf_parquet": [train_parquet] * THREADS,  # stress script only: pyarrow may abort at exit
}


def wait_at_exit(tids):
    """Prints the threads' ids, then registers C exit handlers (run after the interpreter is gone) that
    print "at exit" and read stdin. Through PyDLL, which keeps the interpreter lock: giving it up here
    would let a thread that already left the module take it before finalisation."""
    libc = ctypes.PyDLL(None)
    libc.strdup.restype = ctypes.c_void_p
    register = libc.__cxa_atexit
    register.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
    address = lambda name: ctypes.cast(getattr(libc, name), ctypes.c_void_p).value  # noqa: E731
    # Run in reverse order of registration; the text lives in memory the interpreter never frees.
    register(address("getchar"), None, None)
    register(address("fflush"), None, None)
    register(address("puts"), libc.strdup(b"at exit"), None)
    line = " ".join(["tids"] + [str(tid) for tid in tids]).encode() + b"\n"
    libc.write(1, line, len(line))


def loop(work, k):
    gate, write = os.pipe()  # never written: a blocked thread waits until the interpreter ends it
    while True:
        work(k, gate, lambda: None)


def run_exit_window(scenario, vocab, out, timeout=120):
    """Runs the program with a gate; returns (exit status, stderr). Raises AssertionError when a thread
    had already left the module before the interpreter finished finalising (the window was missed)."""
    gate, gate_writer = os.pipe()
    env = {**os.environ, "LOG_FILE": os.devnull}
    with subprocess.Popen([sys.executable, __file__, scenario, vocab, out, str(gate)], pass_fds=[gate], env=env,
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as child:
        os.close(gate)
        try:
            tids = child.stdout.readline().split()[1:]
            at_exit = child.stdout.readline()
            if at_exit == b"at exit\n":
                gone = [t for t in tids if not os.path.exists(f"/proc/{child.pid}/task/{int(t)}")]
                assert not gone, f"threads {gone} left the module before finalisation ended"
            os.close(gate_writer)
            gate_writer = None
            deadline = time.monotonic() + timeout
            while child.poll() is None and time.monotonic() < deadline and any(
                    os.path.exists(f"/proc/{child.pid}/task/{int(t)}") for t in tids):
                time.sleep(0.01)
            child.stdin.close()
            child.wait(timeout)
        finally:
            if gate_writer is not None:
                os.close(gate_writer)
            child.kill()
        return child.returncode, child.stderr.read().decode(errors="replace")


def main():
    scenario, gate_arg = sys.argv[1], sys.argv[4]
    works = SCENARIOS[scenario]
    if gate_arg == "random":
        for k, work in enumerate(works):
            threading.Thread(target=loop, args=(work, k), daemon=True).start()
        threading.Event().wait(random.uniform(0.05, 0.9))
        return
    gate = int(gate_arg)
    sys.setswitchinterval(1000)  # a thread gives up the lock only where it blocks or releases it
    tids, entered, all_inside = [], [0], threading.Event()
    barrier = threading.Barrier(THREADS)

    def inside():  # called with the lock held, right before the thread gives it up
        barrier.wait()  # every thread ready: they go in one after another, microseconds apart
        entered[0] += 1
        if entered[0] == THREADS:
            all_inside.set()

    def start(work, k):
        tids.append(threading.get_native_id())
        work(k, gate, inside)

    for k, work in enumerate(works):
        threading.Thread(target=start, args=(work, k), daemon=True).start()
    if not all_inside.wait(120):
        sys.exit("exit_while_released: the threads did not get inside")
    wait_at_exit(tids)


if __name__ == "__main__":
    VOCAB, OUT = sys.argv[2], sys.argv[3]
    main()
