"""train_to_hf_iter and train_to_hf_parquet: chunked intake, max_docs, sources, errors, MP_PY_WORKER."""
import json
import random
import re
import threading

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import zelkor_ext

EOW = "\u0120"


def alphabet(out):  # the single characters of the learned vocabulary: those of the counted texts
    return {t for t in json.loads((out / "vocab.json").read_bytes()) if len(t) == 1} - {EOW}


def write_parquet(path, texts):
    path.parent.mkdir(parents=True, exist_ok=True)
    pq.write_table(pa.table({"text": texts}), str(path))
    return path


# Kept texts at positions 1, 4, 6, 7, 8; the others are blank (Unicode white space included).
MIXED = ["", "bcd", "  ", "\u3000\u00a0\u2003", "fgh", "\t\r\n", "klm", "npq", "stv"]


@pytest.mark.parametrize("max_docs, pulled", [(1, 2), (2, 5), (3, 7), (5, 9), (6, 9), (0, 9)])
@pytest.mark.parametrize("chunk_size", [1, 2, 4096])
def test_max_docs_stops_pulling(tmp_path, max_docs, pulled, chunk_size):
    taken = []  # each text as the module pulls it
    zelkor_ext.train_to_hf_iter((taken.append(t) or t for t in MIXED), str(tmp_path), max_docs=max_docs,
                                chunk_size=chunk_size)
    assert len(taken) == pulled
    assert alphabet(tmp_path) == set("".join([t for t in MIXED if t.strip()][:max_docs or None]))


@pytest.mark.parametrize("chunk_size", [1, 7, 163, 164, 10**6])
def test_chunk_size_does_not_change_the_counts(tmp_path, chunk_size):
    # Scores are count * (length - 1), all distinct: "npqrĠ" 43 * 4 = 172 just beats "stvĠ" 57 * 3, so
    # one lost or repeated text changes the learned token. "wxy", the 164th, is in the last partial chunk.
    freqs = {"bcd": 10, "fghj": 21, "klm": 32, "npqr": 43, "stv": 57}
    texts = [w for w, n in freqs.items() for _ in range(n)]
    random.Random(5).shuffle(texts)
    zelkor_ext.train_to_hf_iter(iter(texts + ["wxy"]), str(tmp_path), aim_token_num=27, chunk_size=chunk_size)
    vocab = json.loads((tmp_path / "vocab.json").read_bytes())
    assert {t for t in vocab if len(t) > 1 and not t.startswith("<")} == {"npqr" + EOW}
    assert alphabet(tmp_path) == set("bcdfghjklmnpqrstvwxy")


def test_str_is_iterated_by_character(tmp_path):
    zelkor_ext.train_to_hf_iter("ab\tab cd e", str(tmp_path), max_docs=6)
    assert alphabet(tmp_path) == set("abcd")


def fails(exc):
    yield "abc"
    raise exc


UNNAMED = type("Unnamed", (Exception,), {"__qualname__": "\udc80"})  # a name that cannot be encoded


@pytest.mark.parametrize("texts, kwargs, message", [  # texts: a list, a generator function or not iterable
    (["abc"], dict(chunk_size=0), "chunk_size must be >= 1"),
    (["abc"], dict(chunk_size=0, n_max=70000), "chunk_size must be >= 1"),  # documented checks first
    (["abc"], dict(n_max=70000), "n_max must be <= 65536"),
    (lambda: fails(RuntimeError("boom")), {}, "RuntimeError: boom"),
    (lambda: fails(UNNAMED("x")), {}, "Exception: x"),
    (5, {}, "TypeError: .+"),
    (["abc", 5], dict(multi_process=True), "TypeError: .+"),
    (["abc", "\ud800"], {}, "UnicodeEncodeError: .+"),
    ([], dict(multi_process=True), r"no training texts \(empty iterator\?\)"),
    (["", " ", "\n\u2028"], {}, r"no training texts \(empty iterator\?\)"),
])
def test_iter_failures_restore_worker_variable(tmp_path, worker_var, texts, kwargs, message):
    (read, after), seen = worker_var, []

    def pulled():
        seen.append(read())
        yield from texts() if callable(texts) else texts

    source = texts if isinstance(texts, int) else pulled()
    with pytest.raises(ValueError) as info:
        zelkor_ext.train_to_hf_iter(source, str(tmp_path), **kwargs)
    assert info.type is ValueError and re.fullmatch(message, str(info.value))  # not a subclass
    checked = "must be" in message
    assert seen == ([] if checked or source is texts else [b"1" if kwargs.get("multi_process") else None])
    assert read() == after(touched=not checked) and not (tmp_path / "vocab.json").exists()


def test_overlapping_calls_restore_worker_variable(tmp_path, worker_var):
    # Two calls in two threads enter A, B and end A, B (each gives up the lock while its texts
    # wait). The variable is "1" while the multi-process call B runs and the caller's value again
    # only when both have ended.
    read, after = worker_var
    a_inside, b_inside, a_done, seen, failed = threading.Event(), threading.Event(), threading.Event(), [], []

    def texts(name, entered, wait):
        seen.append((name, read()))
        entered.set()
        yield "ab ab"
        assert wait.wait(30)
        seen.append((name, read()))
        yield "ab cd"

    def run(name, entered, wait, done, **kwargs):
        try:
            zelkor_ext.train_to_hf_iter(texts(name, entered, wait), str(tmp_path / name), num_merges=3, **kwargs)
        except BaseException as e:
            failed.append(e)
        done.set()

    a = threading.Thread(target=run, args=("a", a_inside, b_inside, a_done))
    a.start()
    assert a_inside.wait(30)
    b = threading.Thread(target=run, args=("b", b_inside, a_done, threading.Event()),
                         kwargs={"multi_process": True, "num_workers": 1})
    b.start()
    a.join()
    b.join()
    assert failed == [] and seen == [("a", None), ("b", b"1"), ("a", b"1"), ("b", b"1")]
    assert read() == after(touched=True) and (tmp_path / "b" / "vocab.json").exists()


def test_lock_released_while_counting(tmp_path, spins_during):
    texts = ["abcdefgh " * 2000] * 2000
    assert spins_during(lambda: zelkor_ext.train_to_hf_iter(texts, str(tmp_path), num_workers=1,
                                                            chunk_size=len(texts))) > 200


@pytest.mark.parametrize("source, batch_size, max_docs, recursive, letters", [
    ("top.parquet", 0, 0, True, "bcdfghklm"),
    ("top.parquet", 1, 2, False, "bcdfgh"),
    ("", 1, 0, True, "bcdfghklmstv"),
    ("", 8192, 0, False, "bcdfghklm"),
])
def test_parquet_sources(tmp_path, source, batch_size, max_docs, recursive, letters):
    write_parquet(tmp_path / "in" / "top.parquet", ["bcd", None, " ", "fgh", None, "klm"])
    write_parquet(tmp_path / "in" / "sub" / "deep.parquet", ["stv"])
    zelkor_ext.train_to_hf_parquet(str(tmp_path / "in" / source), str(tmp_path / "out"),
                                   batch_size=batch_size, max_docs=max_docs, recursive=recursive)
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


@pytest.mark.parametrize("path, rows, kwargs, error, message, touched", [  # rows go to in/d.pq
    ("in/d.pq", ["abc"], dict(n_min=1, n_max=0, chunk_size=0), ValueError, "n_min must be >= 2", False),
    ("in/d.pq", ["abc"], dict(chunk_size=0), ValueError, "chunk_size must be >= 1", False),
    # pyarrow is set up before the argument checks, so it reports a missing path or column.
    ("missing", ["abc"], dict(n_min=1, recursive=False), FileNotFoundError, None, False),
    ("in/d.pq", ["abc"], dict(text_column="body", chunk_size=0), pa.ArrowInvalid, None, False),
    ("in", ["abc"], dict(recursive=False), ValueError,
     r"no \.parquet files found \(recursive=false\)", False),
    ("in/d.pq", [1, 2], dict(multi_process=True), ValueError, "TypeError: .+", True),
    ("in/d.pq", [None, " ", None], {}, ValueError, "no training texts read from parquet", True),
])
def test_parquet_failures_restore_worker_variable(tmp_path, monkeypatch, worker_var, path, rows, kwargs,
                                                  error, message, touched):
    monkeypatch.chdir(tmp_path)
    write_parquet(tmp_path / "in" / "d.pq", rows)
    with pytest.raises(error) as info:
        zelkor_ext.train_to_hf_parquet(path, "out", **kwargs)
    assert message is None or (info.type is error and re.fullmatch(message, str(info.value)))
    read, after = worker_var
    assert read() == after(touched) and not (tmp_path / "out").exists()


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_non_exceptions_from_the_texts_pass_unchanged(tmp_path, exc):
    # A Ctrl-C while texts are pulled must stay a KeyboardInterrupt, not a ValueError.
    with pytest.raises(exc):
        zelkor_ext.train_to_hf_iter(fails(exc()), str(tmp_path / "out"))
    assert not (tmp_path / "out").exists()
