"""train_to_hf from a text file: the directory it writes, the kept lines and their characters as logged,
the error texts (those of reading the corpus included), and MP_PY_WORKER restored after every outcome."""
import contextlib
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import zelkor_ext

G = "\u0120"
TEMPLATES = Path(__file__).resolve().parents[2] / "export" / "templates"


def test_directory_of_a_real_corpus(trained, corpus_lines):
    # Byte for byte: two templates, and JSON files with two-space indentation, keys in order and escapes
    # only for the quote, the backslash and control characters. The ids' order is checked in C++.
    assert {p.name for p in trained.iterdir()} == {"README.md", "special_tokens_map.json", "vocab.json",
                                                   "tokenization_zelkor.py", "tokenizer_config.json"}
    for name in ("README.md", "tokenization_zelkor.py"):
        assert (trained / name).read_bytes() == (TEMPLATES / name).read_bytes()
    files = {name: (trained / name).read_bytes().decode()
             for name in ("vocab.json", "tokenizer_config.json", "special_tokens_map.json")}
    data = {name: json.loads(text) for name, text in files.items()}
    assert all(text == json.dumps(data[name], indent=2, ensure_ascii=False, sort_keys=True) + "\n"
               for name, text in files.items())
    specials = {"bos_token": "<s>", "eos_token": "</s>", "mask_token": "<mask>", "pad_token": "<pad>",
                "unk_token": "<unk>"}
    assert data["special_tokens_map.json"] == specials
    assert data["tokenizer_config.json"] == {
        **specials, "auto_map": {"AutoTokenizer": ["tokenization_zelkor.Zelkor", None]},
        "model_max_length": 1000000000, "tokenizer_class": "Zelkor"}
    vocab = data["vocab.json"]
    assert len(vocab) > 300 and set("".join(corpus_lines)) - set(" \t") | {G} <= set(vocab)
    ids = zelkor_ext.DpTokenizer(str(trained / "vocab.json")).encode_batch(corpus_lines)
    assert sum(map(len, ids)) < sum(map(len, corpus_lines)) / 2


# Blank lines (White_Space only; U+200B is not) are dropped. One CR before LF and the terminators are
# not counted; other CRs and spaces around words are. The first line spans several reads, each ending
# inside an é.
KEPT = "\n".join(["x" + "é" * 20000, "  ab cd \r", "\r", " \t", "\u2003\u3000\u0085\u00a0\u2028",
                  "a\r\r", "\u200b", "ab\tcd", "\rxé\r"]).encode()
INVALID = "stream did not contain valid UTF-8"
CASES = {  # name: (corpus bytes, or None for no file, or "dir"; keyword arguments; expected error; logged)
    "ok": (KEPT, {}, None, "total_chars=20021 "),  # 20001 + 8 + 2 + 1 + 5 + 4
    "n_max": (None, {"n_min": 3, "n_max": 2}, "n_max must be >= n_min", None),
    "blank": (b"\n  \t \n\r\n\xe3\x80\x80\n", {}, "corpus is empty: ./c.txt", None),
    "missing": (None, {}, r"No such file or directory \(os error 2\)", None),  # without the path
    "directory": ("dir", {}, r"Is a directory \(os error 21\)", None),
    "late-invalid": (b"line\n" * 20000 + b"bad \xed\xa0\x80\nok\n", {}, INVALID, None),
    "invalid-last-line": (b"ok\n" + b"a" * 10000 + b"\xc0\xaf", {}, INVALID, None),
    "multi-process": (b"hello world\nhello world\n", {"multi_process": True}, None, "[train_mp] start "),
    # out_dir is only looked at after the whole training.
    "unwritable-out": (b"hello world\n", {"out_dir": "./c.txt/out"}, r".*\(os error 20\)", "[tpc] "),
}


@pytest.mark.parametrize("case", CASES)
def test_outcomes_log_and_worker_variable(case, worker_var, tmp_path, monkeypatch, capfd, log_file):
    content, kwargs, expected, logged = CASES[case]
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
    # Each stderr line is also in the log file, with the process id.
    err, new_log = capfd.readouterr().err, log_file.read_bytes()[size:].decode()
    assert logged is None or logged in err
    assert all(line.startswith("[") and f"[pid={os.getpid()}]" in line and line in new_log
               for line in err.splitlines())
    read, after = worker_var
    assert read() == after(touched=case != "n_max")


# Trains in a child whose files may not grow past `limit` bytes (a full disk, as far as the writer can
# tell): vocab.json fails at 100, the companion module at 4096.
FILE_SIZE_LIMITED = """
import resource, signal, sys, zelkor_ext
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (int(sys.argv[2]),) * 2)
try:
    zelkor_ext.train_to_hf_iter(["ab ab ab", "cd cd"] * 50, sys.argv[1], num_merges=5)
except ValueError as e:
    print(e)
"""


def snapshot(root):
    return {str(p.relative_to(root)): (p.stat().st_mode, p.is_file() and p.read_bytes()) for p in root.rglob("*")}


@pytest.mark.parametrize("limit", [100, 4096])
@pytest.mark.parametrize("old", [True, False], ids=["over-old", "new-dirs"])
def test_failed_export_leaves_the_directory_as_it_was(trained, tmp_path, limit, old):
    if old:
        shutil.copytree(trained, tmp_path / "out")
    before = snapshot(tmp_path)
    out = tmp_path / "out" / ("" if old else "a/b")
    proc = subprocess.run([sys.executable, "-c", FILE_SIZE_LIMITED, str(out), str(limit)],
                          capture_output=True, text=True, timeout=60)
    assert proc.stdout == "File too large (os error 27)\n", proc.stderr
    assert snapshot(tmp_path) == before  # no temporary file, no new directory
