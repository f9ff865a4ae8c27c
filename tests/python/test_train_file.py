"""train_to_hf from a text file: the tokenizer directory, error texts, MP_PY_WORKER and the log."""
import ctypes
import inspect
import json
import os
import re

import pytest

import zelkor_ext

SPECIALS = ["<unk>", "<pad>", "<s>", "</s>", "<mask>"]
LIBC = ctypes.CDLL(None)
LIBC.getenv.restype = ctypes.c_char_p
LIBC.getenv.argtypes = [ctypes.c_char_p]


def worker_var():
    """MP_PY_WORKER as the C library sees it (os.environ misses changes made by the module)."""
    return LIBC.getenv(b"MP_PY_WORKER")


def corpus_lines():
    lines = [line.strip() for mod in (json, inspect, re, os) for name in dir(mod)
             for line in (inspect.getdoc(getattr(mod, name)) or "").splitlines()]
    extra = ['quote " back\\slash \x01 tab\tend', "naïve café Ωμέγα 中文 žluť"] * 20
    return [line for line in lines if line] + extra


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    path = tmp_path_factory.mktemp("corpus") / "corpus.txt"
    path.write_text("\n".join(corpus_lines()) + "\n", encoding="utf-8")
    return path


@pytest.fixture(scope="module")
def trained(corpus, tmp_path_factory):
    out = tmp_path_factory.mktemp("trained") / "a" / "b"  # missing parents are created
    zelkor_ext.train_to_hf(str(corpus), str(out), num_merges=400)
    return out


def pretty(value):
    return (json.dumps(value, indent=2, sort_keys=True, ensure_ascii=False) + "\n").encode()


def test_directory_layout(trained):
    assert sorted(p.name for p in trained.iterdir()) == sorted(
        ["vocab.json", "tokenizer_config.json", "special_tokens_map.json", "tokenization_zelkor.py",
         "README.md"])
    vocab = json.loads((trained / "vocab.json").read_bytes())
    assert (trained / "vocab.json").read_bytes() == pretty(vocab)
    tokens = sorted(vocab, key=vocab.get)
    assert [vocab[t] for t in tokens] == list(range(len(vocab)))
    assert tokens[:5] == SPECIALS
    assert tokens[5:] == sorted(tokens[5:], key=str.encode) and len(tokens) > 300
    chars = set("".join(corpus_lines())) - set(" \t")
    assert chars | {"\u0120"} <= set(vocab) and "\x01" in vocab and '"' in vocab
    specials = dict(zip(["unk_token", "pad_token", "bos_token", "eos_token", "mask_token"], SPECIALS))
    assert (trained / "special_tokens_map.json").read_bytes() == pretty(specials)
    config = {"auto_map": {"AutoTokenizer": ["tokenization_zelkor.Zelkor", None]},
              "model_max_length": 1000000000, "tokenizer_class": "Zelkor", **specials}
    assert (trained / "tokenizer_config.json").read_bytes() == pretty(config)
    assert (trained / "special_tokens_map.json").read_text().count("\n") == 7


def test_directory_encodes_training_text(trained):
    vocab = json.loads((trained / "vocab.json").read_bytes())
    text_of = {i: t for t, i in vocab.items()}
    tok = zelkor_ext.DpTokenizer(str(trained / "vocab.json"))
    for line in corpus_lines()[::20]:
        assert "".join(text_of[i] for i in tok.encode(line)) == "".join(w + "\u0120" for w in line.split())
    assert sum(map(len, tok.encode_batch(corpus_lines()))) < sum(map(len, corpus_lines())) / 2


def test_kept_lines_and_log(tmp_path, capfd, log_file):
    # Blank lines are dropped, CR of CRLF and the terminators are not counted, spaces around words are.
    (tmp_path / "c.txt").write_bytes(b"  ab cd \r\n\r\n \t\n\xe2\x80\x83\nab\tcd\nx\xc3\xa9\r")
    zelkor_ext.train_to_hf(str(tmp_path / "c.txt"), str(tmp_path / "out"), num_merges=5)
    err = capfd.readouterr().err
    assert "total_chars=16 " in err  # 8 + 5 + 3
    lines = err.splitlines()
    pattern = rf"\[\d{{4}}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{{3}}Z\]\[pid={os.getpid()}\]\[[\w:]+\] "
    assert lines and all(re.match(pattern, line) for line in lines)
    logged = log_file.read_text(encoding="utf-8")
    assert all(line in logged for line in lines)


@pytest.fixture(params=["x", None, b"\xff"], ids=["set", "absent", "not-utf8"])
def worker_before(request):
    if request.param is not None:
        os.environb[b"MP_PY_WORKER"] = request.param.encode() if isinstance(request.param, str) \
            else request.param
    yield request.param
    os.environb.pop(b"MP_PY_WORKER", None)
    LIBC.unsetenv(b"MP_PY_WORKER")


CASES = {  # name: (corpus bytes, or None for no file, or "dir"; keyword arguments; expected error)
    "ok": (b"hello world\nhello there\n", {}, None),
    "n_min": (None, {"n_min": 1, "n_max": 0}, "n_min must be >= 2"),
    "n_max": (None, {"n_min": 3, "n_max": 2}, "n_max must be >= n_min"),
    "blank": (b"\n  \t \n\r\n\xe3\x80\x80\n", {}, "corpus is empty: ./c.txt"),
    "empty": (b"", {}, "corpus is empty: ./c.txt"),
    "missing": (None, {}, re.compile(r"^(?!.*c\.txt).*\(os error 2\)$")),
    "directory": ("dir", {}, re.compile(r"\(os error 21\)$")),
    "late-invalid": (b"plain text line\n" * 5000 + b"bad \xff byte\n", {},
                     "stream did not contain valid UTF-8"),
    "multi-process": (b"hello world\n", {"multi_process": True}, re.compile("multi-process")),
    "unwritable-out": (b"hello world\n", {"out_dir": "./c.txt/out"}, re.compile(r"\(os error 20\)$")),
}


@pytest.mark.parametrize("case", CASES)
def test_outcomes_restore_worker_variable(case, worker_before, tmp_path, monkeypatch, log_file):
    content, kwargs, expected = CASES[case]
    monkeypatch.chdir(tmp_path)
    if content == "dir":
        os.mkdir("c.txt")
    elif content is not None:
        (tmp_path / "c.txt").write_bytes(content)
    kwargs = {"out_dir": "./out", "num_merges": 20, **kwargs}
    size = log_file.stat().st_size if log_file.exists() else 0
    if expected is None:
        zelkor_ext.train_to_hf("./c.txt", **kwargs)
        assert (tmp_path / "out" / "vocab.json").exists()
    else:
        with pytest.raises(ValueError) as info:
            zelkor_ext.train_to_hf("./c.txt", **kwargs)
        message = str(info.value)
        assert expected.search(message) if isinstance(expected, re.Pattern) else message == expected
        assert not (tmp_path / "out").exists()
    if case == "unwritable-out":  # out_dir is only looked at after the whole training
        with open(log_file, encoding="utf-8") as log:
            log.seek(size)
            assert "[tpc] " in log.read()
    untouched = case in ("n_min", "n_max")
    expect = worker_before if untouched or worker_before != b"\xff" else None
    assert worker_var() == (expect.encode() if isinstance(expect, str) else expect)
