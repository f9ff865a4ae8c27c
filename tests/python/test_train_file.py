"""train_to_hf from a text file: the tokenizer directory, error texts, MP_PY_WORKER and the log."""
import contextlib
import json
import os
import re
from pathlib import Path

import pytest

import zelkor_ext

G = "\u0120"
TEMPLATE = Path(__file__).resolve().parents[2] / "export" / "templates" / "tokenization_zelkor.py"


def test_directory_encodes_training_text(trained, corpus_lines):
    assert {p.name for p in trained.iterdir()} == {"README.md", "special_tokens_map.json", "vocab.json",
                                                   "tokenization_zelkor.py", "tokenizer_config.json"}
    assert (trained / "tokenization_zelkor.py").read_text() == TEMPLATE.read_text()
    vocab = json.loads((trained / "vocab.json").read_bytes())
    tokens = sorted(vocab, key=vocab.get)  # ids are dense, specials first (byte order is checked in C++)
    assert [vocab[t] for t in tokens] == list(range(len(vocab))) and len(tokens) > 300
    assert tokens[:5] == ["<unk>", "<pad>", "<s>", "</s>", "<mask>"]
    assert set("".join(corpus_lines)) - set(" \t") | {G} <= set(vocab)
    text_of = {i: t for t, i in vocab.items()}
    tok = zelkor_ext.DpTokenizer(str(trained / "vocab.json"))
    for line in corpus_lines[::20]:
        assert "".join(text_of[i] for i in tok.encode(line)) == "".join(w + G for w in line.split())
    assert sum(map(len, tok.encode_batch(corpus_lines))) < sum(map(len, corpus_lines)) / 2


def test_kept_lines_and_log(tmp_path, capfd, log_file):
    # Blank lines are dropped, CR of CRLF and the terminators are not counted, spaces around words are.
    (tmp_path / "c.txt").write_bytes(b"  ab cd \r\n\r\n \t\n\xe2\x80\x83\nab\tcd\nx\xc3\xa9\r")
    zelkor_ext.train_to_hf(str(tmp_path / "c.txt"), str(tmp_path / "out"), num_merges=5)
    err = capfd.readouterr().err
    assert "total_chars=16 " in err  # 8 + 5 + 3
    logged = log_file.read_text(encoding="utf-8")
    assert err and all(line.startswith("[") and f"[pid={os.getpid()}]" in line and line in logged
                       for line in err.splitlines())


CASES = {  # name: (corpus bytes, or None for no file, or "dir"; keyword arguments; expected error)
    "ok": (b"hello world\nhello there\n", {}, None),
    "n_min": (None, {"n_min": 1, "n_max": 0}, "n_min must be >= 2"),
    "n_max": (None, {"n_min": 3, "n_max": 2}, "n_max must be >= n_min"),
    "blank": (b"\n  \t \n\r\n\xe3\x80\x80\n", {}, "corpus is empty: ./c.txt"),
    "empty": (b"", {}, "corpus is empty: ./c.txt"),
    "missing": (None, {}, re.compile(r"^(?!.*c\.txt).*\(os error 2\)$")),
    "directory": ("dir", {}, re.compile(r"\(os error 21\)$")),
    "late-invalid": (b"line\n" * 20000 + b"bad \xff byte\n", {}, "stream did not contain valid UTF-8"),
    "multi-process": (b"hello world\n", {"multi_process": True}, re.compile("multi-process")),
    "unwritable-out": (b"hello world\n", {"out_dir": "./c.txt/out"}, re.compile(r"\(os error 20\)$")),
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
    kwargs = {"out_dir": "./out", "num_merges": 20, **kwargs}
    with pytest.raises(ValueError) if expected else contextlib.nullcontext() as info:
        zelkor_ext.train_to_hf("./c.txt", **kwargs)
    if expected:
        message = str(info.value)
        assert expected.search(message) if isinstance(expected, re.Pattern) else message == expected
    assert (tmp_path / "out").exists() == (expected is None)
    if case == "unwritable-out":  # out_dir is only looked at after the whole training
        assert b"[tpc] " in log_file.read_bytes()[size:]
    read, after = worker_var
    assert read() == after(touched=case not in ("n_min", "n_max"))
