# A real worker process driven over its stdin/stdout frames: replies byte for byte, refusals that leave
# the loop going, Shutdown, the bucket files and manifest on disk, and the errors that end the process.
# The passes themselves are checked against a model on random sequences by tests/cpp/worker_test.cpp.
import os
import select
import stat
import struct
import subprocess
import sys

import pytest

TIMEOUT = 30  # seconds for a reply or for the end of the process
# Whatever the program prints after the loop must not reach the frame stream.
WORKER = "import os, zelkor_ext as m; m._run_worker(); print('noise-print', flush=True); os.write(1, b'noise-fd1')"
ACK = bytes.fromhex("0400000000000000 00000000")


def u32(v): return struct.pack("<I", v)
def u64(v): return struct.pack("<Q", v)
def ids(xs): return u64(len(xs)) + b"".join(map(u32, xs))
def string(b): return u64(len(b)) + b
def entries(es): return u64(len(es)) + b"".join(ids(t) + u32(f) for t, f in es)
def frame(body): return u64(len(body)) + body
def error(text): return frame(u32(5) + string(text.encode()))


def init(es, n_values): return u32(0) + entries(es) + u64(len(n_values)) + b"".join(map(u64, n_values))
def preprocess(texts): return u32(1) + u64(len(texts)) + b"".join(string(t.encode()) for t in texts)
def merge(parts, new_id, use_diff=False, buckets=0, dir=b"", recompute=False):
    return u32(3) + ids(parts) + u32(new_id) + bytes([recompute, use_diff]) + u64(buckets) + string(dir)
STATS, DUMP, SHUTDOWN = u32(2), u32(4), u32(5)


def bucket_records(path):
    """The (key, freq, score) records of a bucket file, which must hold them exactly."""
    data, records, pos = path.read_bytes(), [], 8
    for _ in range(struct.unpack_from("<Q", data)[0]):
        (n,) = struct.unpack_from("<Q", data, pos)
        *key, freq, score = struct.unpack_from(f"<{n}IIQ", data, pos + 8)
        records.append((tuple(key), freq, score))
        pos += 20 + 4 * n
    assert records and pos == len(data), path
    return records


class Worker:
    def __init__(self, tmp_path):
        env = dict(os.environ, LOG_FILE=str(tmp_path / "worker.log"), LOG_LEVEL="debug")
        self.proc = subprocess.Popen([sys.executable, "-c", WORKER], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, bufsize=0)

    def raw(self, body):
        """Sends one request body; the reply frame's bytes, read as they arrive."""
        self.proc.stdin.write(frame(body))
        out = b""
        while len(out) < 8 or len(out) < 8 + struct.unpack_from("<Q", out)[0]:
            assert select.select([self.proc.stdout], [], [], TIMEOUT)[0], "worker reply timed out"
            out += os.read(self.proc.stdout.fileno(), 1 << 16) or pytest.fail("worker closed stdout")
        return out

    def finish(self, data=b""):
        """Writes `data`, closes stdin; (exit status, rest of stdout, stderr text)."""
        out, err = self.proc.communicate(data, timeout=TIMEOUT)
        return self.proc.returncode, out, err.decode()


@pytest.fixture
def worker(tmp_path):
    yield (w := Worker(tmp_path))
    w.proc.kill()
    w.proc.wait()


def test_refusals_leave_the_loop_going_then_shutdown(worker, tmp_path):
    def diff(buckets): return merge([1, 2], 9, use_diff=True, buckets=buckets, dir=str(tmp_path / "w").encode())
    for body in (STATS, diff(8), DUMP):
        assert worker.raw(body) == error("worker not initialized")
    # One counted text per normalised line, sent as its list of one-character strings.
    chars = "é\u0120b\u0120"
    assert worker.raw(preprocess(["é b", "é b", " é  b "])) == \
        frame(u32(1) + u64(1) + u64(len(chars)) + b"".join(string(c.encode()) for c in chars) + u32(3))
    assert worker.raw(init([([1, 2], 1)], [2])) == ACK
    for buckets in (0, 3, 2**33):
        assert worker.raw(diff(buckets)) == \
            error(f"invalid bucket count {buckets}: a power of two up to 2^32 is needed")
    assert not (tmp_path / "w").exists()
    assert worker.raw(DUMP) == frame(u32(4) + entries([([1, 2], 1)]))
    assert worker.raw(SHUTDOWN) == ACK
    status, out, err = worker.finish()
    assert (status, out) == (0, b"") and "noise-print" in err and "noise-fd1" in err


def test_replies_byte_for_byte(worker, tmp_path):
    # Bytes after a request's message are ignored. [5, 5, 5] once: (5, 5) counts 2 with score 2,
    # (5, 5, 5) counts 1 and is dropped.
    assert worker.raw(init([([5, 5, 5], 1)], [2, 3]) + b"junk") == ACK
    assert worker.raw(STATS + b"\0" * 9) == frame(u32(2) + u64(1) + ids([5, 5]) + u32(2) + u64(2))
    # A second Init replaces the entries; the two that become equal are merged.
    assert worker.raw(init([([1, 2, 3], 2), ([4, 3], 5)], [2])) == ACK
    assert worker.raw(merge([1, 2], 4, dir=str(tmp_path / "w").encode(), recompute=True) + b"zz") == \
        frame(u32(3) + u64(1))
    assert worker.raw(DUMP) == frame(u32(4) + entries([([4, 3], 7)]))
    assert not (tmp_path / "w").exists()                            # no directory without use_diff


@pytest.mark.parametrize("es, buckets, old, new", [
    ([([10, 11, 12, 13], 3)], 64, {(10, 11): (3, 3), (11, 12): (3, 3), (12, 13): (3, 3)},
     {(10, 20): (3, 3), (20, 13): (3, 3)}),
    ([([11, 12], 2), ([11, 12, 11, 12], 1)], 1, {(11, 12): (4, 4), (12, 11): (1, 1)}, {(20, 20): (1, 1)}),
    ([([10, 13], 3), ([12, 11], 1)], 64, {}, {}),                  # no match: no files, no bits
])
def test_diff_bucket_files(worker, tmp_path, es, buckets, old, new):
    out = tmp_path / "a" / "b" / "w"
    worker.raw(init(es, [2]))
    reply = worker.raw(merge([11, 12], 20, use_diff=True, buckets=buckets, dir=str(out).encode()))
    assert reply == frame(u32(3) + u64(len(es)))
    m = (buckets + 7) // 8
    manifest = (out / "diff_manifest.bin").read_bytes()
    assert len(manifest) == 8 + 2 * m and manifest[:8] == b"ZKMF" + u32(buckets)
    for kind, bits, expected in (("old", manifest[8:8 + m], old), ("new", manifest[8 + m:], new)):
        files = {f"{kind}_{b}.bin" for b in range(buckets) if bits[b // 8] >> (b % 8) & 1}
        assert {p.name for p in out.glob(f"{kind}_*.bin")} == files
        summed = {}
        for name in files:
            for key, freq, score in bucket_records(out / name):
                summed[key] = tuple(map(sum, zip(summed.get(key, (0, 0)), (freq, score))))
        assert summed == expected
    assert {stat.S_IMODE(p.stat().st_mode) for p in out.iterdir()} == {0o600}
    assert {stat.S_IMODE(p.stat().st_mode) for p in (out, out.parent, out.parent.parent)} == {0o700}


EOF = "unexpected end of file"
BODY = "read body failed (want {} bytes): "


@pytest.mark.parametrize("data, message", [
    (b"", f"read len failed: {EOF}"),
    (u64(2**40) + b"x" * 5000, BODY.format(2**40) + EOF),           # the body grows with what arrives
    (u64(2**40 + 1) + frame(SHUTDOWN), BODY.format(2**40 + 1) + "longer than any frame of this protocol"),
    (frame(u32(6)), "deserialize failed: invalid value: integer `6`, expected variant index 0 <= i < 6"),
], ids=["eof", "2^40-then-eof", "over-2^40", "variant-6"])
def test_fatal_input(worker, data, message):
    # A request answered first shows that replies already sent stay intact.
    status, out, err = worker.finish(frame(DUMP) + data)
    assert status != 0 and out == error("worker not initialized")
    assert f"\nValueError: [ipc:worker:req] {message}\n" in err, err
