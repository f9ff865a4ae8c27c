# A real worker process driven over its stdin/stdout frames: every request kind, the statistics and merge
# passes, the diff bucket files and manifest, and the errors that end the process (EOF, corrupt frames).
import os
import re
import select
import stat
import struct
import subprocess
import sys
import time

import pytest

G = "\u0120"
TIMEOUT = 30
WORKER = "import zelkor_ext as m; m._run_worker()"
ACK = bytes.fromhex("0400000000000000 00000000")
SHUTDOWN = bytes.fromhex("0400000000000000 05000000")


# ---- encoding and decoding ----

def u32(v): return struct.pack("<I", v)
def u64(v): return struct.pack("<Q", v)
def ids(xs): return u64(len(xs)) + b"".join(map(u32, xs))
def string(b): return u64(len(b)) + b
def entries(es): return u64(len(es)) + b"".join(ids(t) + u32(f) for t, f in es)
def frame(body): return u64(len(body)) + body


def init(es, n_values): return u32(0) + entries(es) + u64(len(n_values)) + b"".join(map(u64, n_values))
def preprocess(texts): return u32(1) + u64(len(texts)) + b"".join(string(t.encode()) for t in texts)
def merge(parts, new_id, use_diff=False, buckets=0, dir=b"", recompute=False):
    return u32(3) + ids(parts) + u32(new_id) + bytes([recompute, use_diff]) + u64(buckets) + string(dir)
STATS, DUMP = u32(2), u32(4)


class Reader:
    def __init__(self, data): self.data, self.pos = data, 0

    def take(self, fmt):
        (value,) = struct.unpack_from(fmt, self.data, self.pos)
        self.pos += struct.calcsize(fmt)
        return value

    def list(self, element): return [element() for _ in range(self.take("<Q"))]
    def ids(self): return tuple(self.list(lambda: self.take("<I")))
    def str(self):
        n = self.take("<Q")
        self.pos += n
        return self.data[self.pos - n:self.pos].decode()
    def entry(self): return self.ids(), self.take("<I")


def unique(pairs):
    assert len({key for key, _ in pairs}) == len(pairs), pairs
    return dict(pairs)


def decode(body):
    """(kind, value) of a response body, which must be consumed exactly."""
    r = Reader(body)
    kind = r.take("<I")
    value = [lambda: None,
             lambda: unique(r.list(lambda: (tuple(r.list(r.str)), r.take("<I")))),
             lambda: unique(r.list(lambda: (r.ids(), (r.take("<I"), r.take("<Q"))))),
             lambda: r.take("<Q"),
             lambda: r.list(r.entry),
             lambda: r.str()][kind]()
    assert r.pos == len(body)
    return ["ack", "prestats", "stats", "applied", "entries", "error"][kind], value


def bucket_records(path):
    r = Reader(path.read_bytes())
    records = r.list(lambda: (r.ids(), r.take("<I"), r.take("<Q")))
    assert r.pos == len(r.data)
    return records


# ---- the worker process ----

class Worker:
    def __init__(self, tmp_path, program=WORKER):
        env = dict(os.environ, LOG_FILE=str(tmp_path / "worker.log"), LOG_LEVEL="debug")
        self.err = open(tmp_path / "stderr.txt", "w+b")
        self.proc = subprocess.Popen([sys.executable, "-c", program], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self.err, env=env, bufsize=0)

    def read(self, n):
        out, deadline = b"", time.monotonic() + TIMEOUT
        while len(out) < n:
            ready, _, _ = select.select([self.proc.stdout], [], [], max(0.0, deadline - time.monotonic()))
            assert ready, "worker reply timed out"
            chunk = os.read(self.proc.stdout.fileno(), n - len(out))
            assert chunk, "worker closed stdout"
            out += chunk
        return out

    def raw(self, body):
        """Sends one request body; the reply frame's raw bytes."""
        self.proc.stdin.write(frame(body))
        head = self.read(8)
        return head + self.read(struct.unpack("<Q", head)[0])

    def ask(self, body): return decode(self.raw(body)[8:])

    def finish(self, data=b""):
        """Writes `data`, closes stdin; (exit status, rest of stdout, stderr text)."""
        out, _ = self.proc.communicate(data, timeout=TIMEOUT)
        self.err.seek(0)
        return self.proc.returncode, out, self.err.read().decode()


@pytest.fixture
def spawn(tmp_path):
    started = []
    yield lambda program=WORKER: started.append(Worker(tmp_path, program)) or started[-1]
    for w in started:
        if w.proc.poll() is None:
            w.proc.kill()
            w.proc.wait()
        w.err.close()


@pytest.fixture
def worker(spawn):
    return spawn()


def test_before_init_and_shutdown(worker, tmp_path):
    diff = merge([1, 2], 3, use_diff=True, buckets=8, dir=str(tmp_path / "w").encode())
    for body in (STATS, diff, DUMP):
        assert worker.ask(body) == ("error", "worker not initialized")
    assert not (tmp_path / "w").exists()
    assert worker.ask(preprocess(["a b", "a b", "a b"])) == ("prestats", {("a", G, "b", G): 3})
    assert SHUTDOWN == frame(u32(5)) and worker.raw(u32(5)) == ACK
    assert worker.finish()[:2] == (0, b"")


@pytest.mark.parametrize("texts, expected", [
    (["ab  c"], {("a", "b", G, "c", G): 1}),
    (["", "  \t", "a", "\u3000a\u00a0\n"], {(): 2, ("a", G): 2}),     # U+3000, U+00A0 are White_Space
    (["a\u200bb", "é中 x"], {("a", "\u200b", "b", G): 1, ("é", "中", G, "x", G): 1}),  # U+200B is not
    ([], {}),
])
def test_preprocess(worker, texts, expected):
    assert worker.ask(preprocess(texts)) == ("prestats", expected)


def test_second_init_replaces_entries(worker):
    assert worker.raw(init([([1, 2], 3)], [2])) == ACK
    second = [((4, 5, 6), 1), ((7,), 2)]
    assert worker.raw(init(second, [2])) == ACK
    assert worker.ask(DUMP) == worker.ask(DUMP) == ("entries", second)


@pytest.mark.parametrize("es, n_values, expected", [
    ([([5, 5, 5], 1)], [2], {(5, 5): (2, 2)}),
    ([([5, 5, 5], 1)], [2, 3], {(5, 5): (2, 2)}),                  # [5,5,5] once in a count-1 sequence
    ([([5, 5, 5], 3)], [3], {(5, 5, 5): (3, 6)}),
    ([([4, 4], 1)], [1], {(4,): (2, 0)}),
    ([([1, 2], 5)], [0, 3, 2], {(1, 2): (5, 5)}),                   # sizes 0 and > length add nothing
    ([([1, 2], 1), ([1, 2, 3], 1)], [2], {}),                       # dropped per sequence, not in total
    ([([1, 2], 2), ([3, 1, 2], 1), ([9, 1, 2], 1)], [2], {(1, 2): (2, 2)}),
    ([([1, 2, 1, 2], 1), ([1, 2, 1, 2], 1)], [2], {(1, 2): (4, 4)}),
])
def test_compute_stats(worker, es, n_values, expected):
    worker.ask(init(es, n_values))
    assert worker.ask(STATS) == ("stats", expected)


def test_stats_of_no_entries_is_empty_map(worker):
    worker.ask(init([], [2, 3]))
    assert worker.raw(STATS) == bytes.fromhex("0C00000000000000 02000000 0000000000000000")


@pytest.mark.parametrize("es, parts, new_id, expected", [
    ([([7, 7, 7], 1)], [7, 7], 9, [((9, 7), 1)]),
    ([([7, 7, 7, 7], 1)], [7, 7], 9, [((9, 9), 1)]),
    ([([1, 2, 3], 2), ([4, 3], 5)], [1, 2], 4, [((4, 3), 7)]),
    ([([1, 2], 1), ([3], 4)], [3, 1], 9, [((1, 2), 1), ((3,), 4)]),
    ([([1, 2], 0), ([2, 1, 2, 1], 3)], [1, 2], 9, [((9,), 0), ((2, 9, 1), 3)]),
])
def test_apply_merge(worker, tmp_path, es, parts, new_id, expected):
    worker.ask(init(es, [2]))
    reply = worker.raw(merge(parts, new_id, dir=str(tmp_path / "w").encode(), recompute=True))
    assert reply == bytes.fromhex("0C00000000000000 03000000") + u64(len(expected))
    assert sorted(worker.ask(DUMP)[1]) == sorted(expected)
    assert not (tmp_path / "w").exists()                            # no directory without use_diff


@pytest.mark.parametrize("buckets", [0, 3, 2**33])
def test_bad_bucket_count_is_refused_and_the_worker_goes_on(worker, tmp_path, buckets):
    worker.ask(init([([1, 2], 1)], [2]))
    reply = worker.ask(merge([1, 2], 9, use_diff=True, buckets=buckets, dir=str(tmp_path / "w").encode()))
    assert reply == ("error", f"invalid bucket count {buckets}: a power of two up to 2^32 is needed")
    assert not (tmp_path / "w").exists()
    assert worker.ask(DUMP) == ("entries", [((1, 2), 1)])


@pytest.mark.parametrize("es, buckets, old, new", [
    ([([10, 11, 12, 13], 3)], 64, {(10, 11): (3, 3), (11, 12): (3, 3), (12, 13): (3, 3)},
     {(10, 20): (3, 3), (20, 13): (3, 3)}),
    ([([10, 11, 12, 13], 0)], 8, {(10, 11): (0, 0), (11, 12): (0, 0), (12, 13): (0, 0)},
     {(10, 20): (0, 0), (20, 13): (0, 0)}),
    ([([11, 12], 2), ([11, 12, 11, 12], 1)], 1, {(11, 12): (4, 4), (12, 11): (1, 1)}, {(20, 20): (1, 1)}),
    ([([10, 13], 3), ([12, 11], 1)], 64, {}, {}),
])
def test_diff_bucket_files(worker, tmp_path, es, buckets, old, new):
    out = tmp_path / "a" / "b" / "w"
    worker.ask(init(es, [2]))
    assert worker.ask(merge([11, 12], 20, use_diff=True, buckets=buckets, dir=str(out).encode())) == \
        ("applied", len(es))
    m = (buckets + 7) // 8
    manifest = (out / "diff_manifest.bin").read_bytes()
    assert len(manifest) == 8 + 2 * m and manifest[:8] == b"ZKMF" + u32(buckets)
    for kind, bits, expected in (("old", manifest[8:8 + m], old), ("new", manifest[8 + m:], new)):
        files = {b for b in range(buckets) if bits[b // 8] >> (b % 8) & 1}
        assert {p.name for p in out.glob(f"{kind}_*.bin")} == {f"{kind}_{b}.bin" for b in files}
        assert bool(files) == bool(expected)                        # no file without records
        summed = {}
        for b in files:
            for key, freq, score in bucket_records(out / f"{kind}_{b}.bin"):
                f0, s0 = summed.get(key, (0, 0))
                summed[key] = (f0 + freq, s0 + score)
        assert summed == expected
    for path in out.iterdir():
        assert stat.S_IMODE(path.stat().st_mode) == 0o600, path
    for path in (out, out.parent, out.parent.parent):
        assert stat.S_IMODE(path.stat().st_mode) == 0o700, path


EOF = "unexpected end of file"
REFUSED = rf"(?!{EOF}).+"                                           # refused before reading the body
BODY = r"read body failed \(want {} bytes\): "
BAD = "deserialize failed: "
BOOL = BAD + "invalid u8 while decoding bool, expected 0 or 1, found "


FATAL = {
    "eof": (b"", f"read len failed: {EOF}"),
    "eof-in-length": (b"\x05\x00\x00", f"read len failed: {EOF}"),
    "eof-in-body": (u64(10) + b"abcd", BODY.format(10) + EOF),
    "2^40-then-eof": (u64(2 ** 40) + b"x" * 5000, BODY.format(2 ** 40) + EOF),   # grows with what arrives
    "over-2^40": (u64(2 ** 40 + 1), BODY.format(2 ** 40 + 1) + REFUSED),
    "u64-max": (u64(2 ** 64 - 1) + SHUTDOWN, BODY.format(2 ** 64 - 1) + REFUSED),
    **{f"body-{n}-bytes": (frame(b"\x05\0\0"[:n]), f"{BAD}io error: {EOF}") for n in range(4)},
    "variant-6": (frame(u32(6)), BAD + "invalid value: integer `6`, expected variant index 0 <= i < 6"),
    "variant-u32-max": (frame(u32(2 ** 32 - 1)), BAD + "invalid value: integer `4294967295`, expected .+"),
    "use_diff-2": (frame(merge([1], 2, use_diff=2)), BOOL + "2"),
    "recompute-255": (frame(merge([1], 2, recompute=255)), BOOL + "255"),
    "bad-utf8": (frame(preprocess(["o", "x"])[:-1] + b"\xff"), f"{BAD}string is not valid utf8: .+"),
    "string-length-max": (frame(u32(1) + u64(1) + u64(2 ** 64 - 1) + b"abc"), f"{BAD}io error: {EOF}"),
    "entry-count-2^63": (frame(u32(0) + u64(2 ** 63)), f"{BAD}io error: {EOF}"),  # nothing after the count
    "eof-in-n_values": (frame(u32(0) + entries([([1], 1)]) + u64(3) + u64(2)), f"{BAD}io error: {EOF}"),
}


@pytest.mark.parametrize("data, message", FATAL.values(), ids=FATAL)
def test_fatal_input(worker, data, message):
    # A request answered first shows that replies already sent stay intact.
    status, out, err = worker.finish(frame(DUMP) + data)
    assert status != 0 and out == frame(u32(5) + string(b"worker not initialized"))
    assert re.search(rf"^ValueError: \[ipc:worker:req\] {message}$", err, re.M), err


def test_exact_frames_and_trailing_bytes(worker):
    assert worker.raw(init([([1, 2], 1), ([3], 2)], [2]) + b"junk") == ACK
    assert worker.raw(STATS + b"\x00" * 9) == frame(u32(2) + u64(0))
    assert worker.raw(preprocess([]) + b"\xff") == frame(u32(1) + u64(0))
    assert worker.raw(merge([1, 2], 9) + b"zz") == bytes.fromhex("0C00000000000000 03000000") + u64(2)
    assert worker.raw(SHUTDOWN[8:] + b"xyz") == ACK
    assert worker.finish()[:2] == (0, b"")


def test_stdout_after_loop_goes_to_stderr(spawn):
    w = spawn(WORKER + "; import os; print('noise-print', flush=True); os.write(1, b'noise-fd1')")
    assert w.ask(preprocess(["x"])) == ("prestats", {("x", G): 1})
    status, out, err = w.finish(SHUTDOWN)
    assert (status, out) == (0, ACK) and "noise-print" in err and "noise-fd1" in err
