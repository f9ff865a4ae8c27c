"""train_to_hf_iter and train_to_hf_parquet: chunked intake, max_docs, sources, errors, MP_PY_WORKER."""
import ctypes
import json
import os
import random
import sys
import threading
import time

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import zelkor_ext

LIBC = ctypes.CDLL(None)
LIBC.getenv.restype = ctypes.c_char_p
LIBC.getenv.argtypes = [ctypes.c_char_p]
EOW = "\u0120"


def worker_var():
    """MP_PY_WORKER as the C library sees it (os.environ misses changes made by the module)."""
    return LIBC.getenv(b"MP_PY_WORKER")


@pytest.fixture
def worker_env():
    def set_value(value):
        os.environb[b"MP_PY_WORKER"] = value
    yield set_value
    os.environb.pop(b"MP_PY_WORKER", None)
    os.unsetenv("MP_PY_WORKER")


def vocab(out):
    return json.loads((out / "vocab.json").read_text(encoding="utf-8"))


def alphabet(out):
    """The single characters of the learned vocabulary: exactly the characters of the counted texts."""
    return {t for t in vocab(out) if len(t) == 1} - {EOW}


def counted(items, taken):
    """Yields `items`, appending each to `taken` as the consumer asks for it."""
    for item in items:
        taken.append(item)
        yield item


def write_parquet(path, texts, column="text", type=None):
    path.parent.mkdir(parents=True, exist_ok=True)
    pq.write_table(pa.table({column: pa.array(texts, type=type)}), str(path))
    return path


# Kept texts at positions 1, 4, 6, 7, 8; the others are blank (Unicode white space included).
MIXED = ["", "bcd", "  ", "\u3000\u00a0\u2003", "fgh", "\t\r\n", "klm", "npq", "stv"]


@pytest.mark.parametrize("max_docs, pulled", [(1, 2), (2, 5), (3, 7), (5, 9), (6, 9), (0, 9)])
@pytest.mark.parametrize("chunk_size", [1, 2, 4096])
def test_max_docs_stops_pulling(tmp_path, max_docs, pulled, chunk_size):
    taken = []
    zelkor_ext.train_to_hf_iter(counted(MIXED, taken), str(tmp_path), max_docs=max_docs,
                                chunk_size=chunk_size)
    assert len(taken) == pulled
    kept = [t for t in MIXED if t.strip()][:max_docs or None]
    assert alphabet(tmp_path) == set("".join(kept))


def test_chunk_size_does_not_change_the_counts(tmp_path):
    # Scores are count * (length - 1): "npqrĠ" 43 * 4 = 172 just beats "stvĠ" 57 * 3 = 171, so
    # losing or repeating a single occurrence changes the one learned token; every score is
    # distinct, so the result does not depend on tie-breaking. "wxy" comes last: its letters show
    # that the final partial chunk was counted.
    freqs = {"bcd": 10, "fghj": 21, "klm": 32, "npqr": 43, "stv": 57}
    texts = [w for w, n in freqs.items() for _ in range(n)]
    random.Random(5).shuffle(texts)
    texts.append("wxy")
    results = []
    for chunk_size in (1, 7, len(texts) - 1, len(texts), 10**6):
        out = tmp_path / str(chunk_size)
        zelkor_ext.train_to_hf_iter(iter(texts), str(out), aim_token_num=27, chunk_size=chunk_size)
        results.append(vocab(out).keys())
    assert all(r == results[0] for r in results)
    assert {t for t in results[0] if len(t) > 1 and not t.startswith("<")} == {"npqr" + EOW}
    assert set("".join(freqs) + "wxy") <= results[0]


def test_str_is_iterated_by_character(tmp_path):
    zelkor_ext.train_to_hf_iter("ab\tab cd e", str(tmp_path), max_docs=6)
    tokens = vocab(tmp_path)
    assert alphabet(tmp_path) == set("abcd")
    assert all(len(t.replace(EOW, "")) <= 1 for t in tokens if not t.startswith("<"))


def raising():
    yield "abc"
    raise RuntimeError("boom")


@pytest.mark.parametrize("texts, message", [
    (raising, "^RuntimeError: boom$"),
    (lambda: 5, "^TypeError: "),
    (lambda: ["abc", 5], "^TypeError: "),
    (lambda: iter(["abc", b"abc"]), "^TypeError: "),
    (lambda: ["abc", "\ud800"], "^UnicodeEncodeError: "),
    (lambda: [], r"^no training texts \(empty iterator\?\)$"),
    (lambda: ["", " ", "\n\u2028"], r"^no training texts \(empty iterator\?\)$"),
])
def test_iter_errors(tmp_path, texts, message):
    with pytest.raises(ValueError, match=message) as info:
        zelkor_ext.train_to_hf_iter(texts(), str(tmp_path))
    assert type(info.value) is ValueError
    assert not (tmp_path / "vocab.json").exists()


@pytest.mark.parametrize("multi_process, tail, error", [
    (False, ["abc abd"], None),
    (False, [], "no training texts"),
    (True, [], "no training texts"),
    (True, ["abc", 7], "TypeError"),
])
def test_worker_variable_during_and_after_iter(tmp_path, worker_env, multi_process, tail, error):
    worker_env(b"x")
    seen = []

    def texts():
        seen.append(worker_var())
        yield " "
        yield from tail

    if error:
        with pytest.raises(ValueError, match=error):
            zelkor_ext.train_to_hf_iter(texts(), str(tmp_path), multi_process=multi_process)
    else:
        zelkor_ext.train_to_hf_iter(texts(), str(tmp_path), multi_process=multi_process)
    assert seen == [b"1" if multi_process else None]
    assert worker_var() == b"x"


def test_worker_variable_not_utf8_counts_as_absent(tmp_path, worker_env):
    worker_env(b"\xff")
    with pytest.raises(ValueError, match="no training texts"):
        zelkor_ext.train_to_hf_iter([], str(tmp_path))
    assert worker_var() is None


@pytest.mark.parametrize("kwargs, message", [
    (dict(n_min=1), "n_min must be >= 2"),
    (dict(n_min=1, n_max=0, chunk_size=0), "n_min must be >= 2"),
    (dict(n_min=3, n_max=2), "n_max must be >= n_min"),
    (dict(n_min=3, n_max=2, chunk_size=0), "n_max must be >= n_min"),
    (dict(chunk_size=0), "chunk_size must be >= 1"),
])
def test_argument_checks(tmp_path, worker_env, kwargs, message):
    # A value that is not UTF-8 would be dropped by any save and restore: it survives only untouched.
    worker_env(b"\xff")
    taken = []
    with pytest.raises(ValueError, match=f"^{message}$"):
        zelkor_ext.train_to_hf_iter(counted(["abc"], taken), str(tmp_path / "i"), **kwargs)
    assert taken == []
    path = write_parquet(tmp_path / "t.parquet", ["abc"])
    with pytest.raises(ValueError, match=f"^{message}$"):
        zelkor_ext.train_to_hf_parquet(str(path), str(tmp_path / "p"), **kwargs)
    assert worker_var() == b"\xff"
    # pyarrow is set up before these checks, so a missing path is reported by pyarrow.
    for recursive in (True, False):
        with pytest.raises(FileNotFoundError):
            zelkor_ext.train_to_hf_parquet(str(tmp_path / "missing"), str(tmp_path / "p"),
                                           recursive=recursive, **kwargs)
    assert worker_var() == b"\xff"


def test_lock_released_while_counting(tmp_path):
    # With a huge switch interval the spinning thread runs only when the interpreter lock is given
    # up voluntarily: by its own sleep(0), or by the module while it counts.
    texts = ["abcdefgh " * 2000] * 2000
    counter, stop = [0], threading.Event()

    def spin():
        while not stop.is_set():
            counter[0] += 1
            time.sleep(0)

    thread = threading.Thread(target=spin)
    old = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    try:
        thread.start()
        while counter[0] == 0:
            time.sleep(0.001)
        before = counter[0]
        zelkor_ext.train_to_hf_iter(texts, str(tmp_path), num_workers=1, chunk_size=len(texts))
        during = counter[0] - before
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(old)
    assert during > 200


ROWS = ["bcd", None, " ", "fgh", None, "klm"]


@pytest.mark.parametrize("batch_size", [0, 1, 8192])
@pytest.mark.parametrize("max_docs, letters", [(0, "bcdfghklm"), (2, "bcdfgh")])
@pytest.mark.parametrize("recursive", [True, False])
def test_parquet_file(tmp_path, batch_size, max_docs, letters, recursive):
    path = write_parquet(tmp_path / "in" / "rows.parquet", ROWS)
    zelkor_ext.train_to_hf_parquet(str(path), str(tmp_path / "out"), batch_size=batch_size,
                                   max_docs=max_docs, recursive=recursive)
    assert alphabet(tmp_path / "out") == set(letters)


@pytest.mark.parametrize("recursive, letters", [(True, "bcdfgh"), (False, "bcd")])
def test_parquet_directory(tmp_path, recursive, letters):
    write_parquet(tmp_path / "in" / "top.parquet", ["bcd", None])
    write_parquet(tmp_path / "in" / "sub" / "deep.parquet", ["fgh"])
    zelkor_ext.train_to_hf_parquet(str(tmp_path / "in"), str(tmp_path / "out"), recursive=recursive)
    assert alphabet(tmp_path / "out") == set(letters)


def test_parquet_listing_one_level(tmp_path):
    src = tmp_path / "in"
    # Only regular files (links followed) whose extension is "parquet" in any case are read.
    for name, text in [("a.parquet", "ab"), ("B.PARQUET", "cd"), (".parquet", "ef"),
                       ("c.parquet.txt", "gh"), ("d.parquet/x.parquet", "ij"), ("parquet", "mn"),
                       ("e.Parquet.bak", "op")]:
        write_parquet(src / name, [text])
    (src / "k.parquet").symlink_to(write_parquet(tmp_path / "elsewhere" / "k.bin", ["kl"]))
    (src / "broken.parquet").symlink_to(tmp_path / "nowhere.parquet")
    (src / "dir.parquet").symlink_to(src / "d.parquet")
    zelkor_ext.train_to_hf_parquet(str(src), str(tmp_path / "out"), recursive=False)
    assert alphabet(tmp_path / "out") == set("abcdkl")


@pytest.mark.parametrize("names", [[], ["c.parquet.txt", ".parquet", "d.parquet/x.parquet"]])
def test_parquet_listing_finds_nothing(tmp_path, names):
    (tmp_path / "in").mkdir()
    for name in names:
        write_parquet(tmp_path / "in" / name, ["abc"])
    with pytest.raises(ValueError, match=r"^no \.parquet files found \(recursive=false\)$"):
        zelkor_ext.train_to_hf_parquet(str(tmp_path / "in"), str(tmp_path / "out"), recursive=False)


def test_parquet_errors(tmp_path, worker_env):
    worker_env(b"x")
    ints = write_parquet(tmp_path / "ints.parquet", [1, 2], type=pa.int64())
    with pytest.raises(ValueError, match="^TypeError: "):
        zelkor_ext.train_to_hf_parquet(str(ints), str(tmp_path / "out"), multi_process=True)
    assert worker_var() == b"x"
    nulls = write_parquet(tmp_path / "nulls.parquet", [None, " ", None], type=pa.string())
    with pytest.raises(ValueError, match="^no training texts read from parquet$"):
        zelkor_ext.train_to_hf_parquet(str(nulls), str(tmp_path / "out"))
    assert worker_var() == b"x"
    with pytest.raises(pa.ArrowInvalid):
        zelkor_ext.train_to_hf_parquet(str(nulls), str(tmp_path / "out"), text_column="body",
                                       chunk_size=0)
    assert not (tmp_path / "out").exists()
