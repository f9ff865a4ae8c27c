"""train_to_hf from a text file: the directory it writes, the kept lines and their characters as logged,
the error texts (those of reading the corpus included), and MP_PY_WORKER restored after every outcome."""
import contextlib
import json
import os
import re
from pathlib import Path

import pytest

import zelkor_ext

G = "\u0120"
TEMPLATES = Path(__file__).resolve().parents[2] / "export" / "templates"


def test_directory_of_a_real_corpus(trained, corpus_lines):
    # The JSON files' exact bytes and the id order are checked in export_test.cpp.
    assert {p.name for p in trained.iterdir()} == {"README.md", "special_tokens_map.json", "vocab.json",
                                                   "tokenization_zelkor.py", "tokenizer_config.json"}
    for name in ("README.md", "tokenization_zelkor.py"):
        assert (trained / name).read_bytes() == (TEMPLATES / name).read_bytes()
    vocab = json.loads((trained / "vocab.json").read_bytes())
    assert len(vocab) > 300 and set("".join(corpus_lines)) - set(" \t") | {G} <= set(vocab)
    ids = zelkor_ext.DpTokenizer(str(trained / "vocab.json")).encode_batch(corpus_lines)
    assert sum(map(len, ids)) < sum(map(len, corpus_lines)) / 2


def test_kept_lines_and_log(tmp_path, capfd, log_file):
    # Blank lines (White_Space only; U+200B is not) are dropped. One CR before LF and the terminators
    # are not counted; other CRs and spaces around words are. The first line spans several reads, each
    # ending inside an é.
    lines = ["x" + "é" * 20000, "  ab cd \r", "\r", " \t", "\u2003\u3000\u0085\u00a0\u2028", "a\r\r",
             "\u200b", "ab\tcd", "\rxé\r"]
    (tmp_path / "c.txt").write_bytes("\n".join(lines).encode())
    zelkor_ext.train_to_hf(str(tmp_path / "c.txt"), str(tmp_path / "out"), num_merges=5)
    err = capfd.readouterr().err
    assert "total_chars=20021 " in err  # 20001 + 8 + 2 + 1 + 5 + 4
    logged = log_file.read_text(encoding="utf-8")
    assert err and all(line.startswith("[") and f"[pid={os.getpid()}]" in line and line in logged
                       for line in err.splitlines())


CASES = {  # name: (corpus bytes, or None for no file, or "dir"; keyword arguments; expected error)
    "ok": (b"hello world\nhello there\n", {}, None),
    "n_max": (None, {"n_min": 3, "n_max": 2}, "n_max must be >= n_min"),
    "blank": (b"\n  \t \n\r\n\xe3\x80\x80\n", {}, "corpus is empty: ./c.txt"),
    "empty": (b"", {}, "corpus is empty: ./c.txt"),
    "missing": (None, {}, r"No such file or directory \(os error 2\)"),  # without the path
    "directory": ("dir", {}, r"Is a directory \(os error 21\)"),
    "late-invalid": (b"line\n" * 20000 + b"bad \xed\xa0\x80\nok\n", {}, "stream did not contain valid UTF-8"),
    "invalid-last-line": (b"ok\n" + b"a" * 10000 + b"\xc0\xaf", {}, "stream did not contain valid UTF-8"),
    "multi-process": (b"hello world\n", {"multi_process": True}, ".*multi-process.*"),
    "unwritable-out": (b"hello world\n", {"out_dir": "./c.txt/out"}, r".*\(os error 20\)"),
}


@pytest.mark.parametrize("case", CASES)
def test_outcomes_restore_worker_variable(case, worker_var, tmp_path, monkeypatch, log_file):
    content, kwargs, expected = CASES[case]
    monkeypatch.chdir(tmp_path)
    if content == "dir":
        os.mkdir("c.txt")
    elif content is not None:
        (tmp_path / "c.txt").write_bytes(content)
    size = log_file.stat().st_size if log_file.exists() else 0
    with pytest.raises(ValueError) if expected else contextlib.nullcontext() as info:
        zelkor_ext.train_to_hf("./c.txt", **{"out_dir": "./out", "num_merges": 20, **kwargs})
    assert expected is None or re.fullmatch(expected, str(info.value)), info.value
    assert (tmp_path / "out").exists() == (expected is None)
    if case == "unwritable-out":  # out_dir is only looked at after the whole training
        assert b"[tpc] " in log_file.read_bytes()[size:]
    read, after = worker_var
    assert read() == after(touched=case != "n_max")
