"""The companion tokenizer module, loaded through AutoTokenizer from a hand-built directory."""
import inspect
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

os.environ.setdefault("HF_HUB_OFFLINE", "1")
transformers = pytest.importorskip("transformers")

ROOT = Path(__file__).resolve().parents[2]
TEMPLATE = ROOT / "python" / "templates" / "tokenization_zelkor.py"
TF4 = ROOT / "build" / "tf4"
SWITCHES = ("ZELKOR_DISABLE_NATIVE", "ZELKOR_FORBID_END_INNER", "ZELKOR_CROSS_WORD_WHOLE_ONLY",
            "ZELKOR_FORBID_PUNCT_TOKENS")
SPECIALS = ["<unk>", "<pad>", "<s>", "</s>", "<mask>"]
TOKENS = SPECIALS + ["Ġ", "a", "b", "c", "d", "u", "v", "w", "-", "ab", "bcd", "uv", "vw", "aĠ", "bĠ",
                     "cĠ", "a-b", "aĠbĠ", "aĠb", "ĠaĠ"]
VOCAB = {tok: i for i, tok in enumerate(TOKENS)}
TEXTS = ["ab ab uvw", "a", "xq  abcd"]

try:
    import zelkor_ext
    NATIVE = getattr(zelkor_ext, "DpTokenizer", None)
except ImportError:
    NATIVE = None
needs_native = pytest.mark.skipif(NATIVE is None, reason="zelkor_ext.DpTokenizer not built")


class StandIn:
    """Stands in for the native encoder with the module's own programme and logs batch calls, so
    that the fast batch path and its fallbacks run whether or not the extension is built."""

    def __init__(self, tok):
        self.tok, self.batches = tok, []
        self.norm = sys.modules[type(tok).__module__]._normalize

    def encode(self, text):
        return self.tok._trie.dp_min_ids(self.norm(text), self.tok._unk_id)

    def encode_batch(self, texts):
        self.batches.append(list(texts))
        return [self.encode(t) for t in texts]


@pytest.fixture
def tok_dir(tmp_path):
    d = tmp_path / "tok"
    d.mkdir()
    (d / "vocab.json").write_text(json.dumps(VOCAB, ensure_ascii=False), encoding="utf-8")
    specials = dict(zip(["unk_token", "pad_token", "bos_token", "eos_token", "mask_token"], SPECIALS))
    (d / "special_tokens_map.json").write_text(json.dumps(specials))
    config = {"auto_map": {"AutoTokenizer": ["tokenization_zelkor.Zelkor", None]},
              "model_max_length": 1000000000, "tokenizer_class": "Zelkor", **specials}
    (d / "tokenizer_config.json").write_text(json.dumps(config))
    shutil.copy(TEMPLATE, d)
    return d


@pytest.fixture
def load(tok_dir, monkeypatch):
    def _load(path="python", *switches):
        for var in SWITCHES:
            monkeypatch.delenv(var, raising=False)
        for var in switches + (("ZELKOR_DISABLE_NATIVE",) if path == "python" else ()):
            monkeypatch.setenv(var, "0")  # any value counts
        tok = transformers.AutoTokenizer.from_pretrained(str(tok_dir), trust_remote_code=True)
        if path == "native":
            assert NATIVE is not None and tok._native is not None
        elif path == "stand-in":
            tok._native = StandIn(tok)
        else:
            assert tok._native is None
        return tok
    return _load


PATHS = ["python", pytest.param("native", marks=needs_native)]


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("switches, text, expected", [
    ((), "abcd", ["a", "bcd", "Ġ"]),  # fewest tokens, not greedy ab c d
    ((), "uvw", ["uv", "w", "Ġ"]),  # tie: longest first token
    ((), "xq a", ["<unk>", "<unk>", "ĠaĠ"]),  # one unk per character
    ((), " \t\n", []),
    ((), "ca b", ["c", "aĠbĠ"]),
    (("ZELKOR_FORBID_END_INNER",), "ca b", ["c", "aĠ", "bĠ"]),
    (("ZELKOR_FORBID_END_INNER",), "xq a", ["<unk>", "<unk>", "Ġ", "aĠ"]),
    (("ZELKOR_CROSS_WORD_WHOLE_ONLY",), "a b", ["aĠbĠ"]),
    (("ZELKOR_CROSS_WORD_WHOLE_ONLY",), "ca b", ["c", "aĠ", "bĠ"]),
    (("ZELKOR_CROSS_WORD_WHOLE_ONLY",), "xq a", ["<unk>", "<unk>", "Ġ", "aĠ"]),
    (("ZELKOR_FORBID_END_INNER", "ZELKOR_CROSS_WORD_WHOLE_ONLY"), "a b", ["aĠ", "bĠ"]),
    ((), "a-b", ["a-b", "Ġ"]),
    (("ZELKOR_FORBID_PUNCT_TOKENS",), "a-b", ["a", "-", "bĠ"]),
])
def test_tokenize(load, path, switches, text, expected):
    assert load(path, *switches)._tokenize(text) == expected


def test_strings_vocab_and_errors(load, tmp_path, tok_dir):
    tok = load()
    assert tok.convert_tokens_to_string(tok.tokenize("a b")) == "a b"
    assert tok.vocab_size == len(VOCAB) and tok.get_vocab() == VOCAB
    assert tok.save_vocabulary(str(tmp_path / "out"), "x") == (str(tmp_path / "out" / "x-vocab.json"),)
    text = (tmp_path / "out" / "x-vocab.json").read_text(encoding="utf-8")
    assert json.loads(text) == VOCAB and "aĠbĠ" in text and text.endswith("}\n")
    (tok_dir / "vocab.json").write_text(json.dumps({"a": 0}))
    with pytest.raises(ValueError, match="unk_token '<unk>' not in vocab"):
        load()


def expected_rows(tok):
    return [[2] + tok.convert_tokens_to_ids(tok.tokenize(t)) + [3] for t in TEXTS]


@pytest.mark.parametrize("path", ["stand-in", pytest.param("native", marks=needs_native)])
@pytest.mark.parametrize("kwargs, target", [
    ({"padding": True}, "longest"),
    ({"padding": "longest", "pad_to_multiple_of": 8}, 16),  # longest is 9
    ({"padding": "max_length", "max_length": 10}, 10),
    ({"padding": "max_length"}, None),
    ({"padding": "max_length", "max_length": 10, "pad_to_multiple_of": 8}, 16),
    ({"padding": "max_length", "max_length": 16, "pad_to_multiple_of": 8}, 16),
    ({"padding": False, "max_length": 10}, None),
])
def test_fast_batch_padding(load, path, kwargs, target):
    tok = load(path)
    rows = expected_rows(tok)
    out = tok(TEXTS, **kwargs)
    target = max(map(len, rows)) if target == "longest" else target
    for row, ids, mask in zip(rows, out["input_ids"], out["attention_mask"]):
        width = max(len(row), target or 0)
        assert ids == row + [1] * (width - len(row))
        assert mask == [1] * len(row) + [0] * (width - len(row))


def test_fast_batch_options(load):
    tok = load("stand-in")
    rows = expected_rows(tok)
    assert tok(tuple(TEXTS), truncation=True, max_length=2)["input_ids"] == [r[:2] for r in rows]
    assert tok(TEXTS, truncation=True)["input_ids"] == rows
    out = tok(TEXTS, add_special_tokens=False, return_attention_mask=False,
              return_token_type_ids=True, return_length=True, return_tensors="np", padding=True)
    assert sorted(out) == ["input_ids", "length", "token_type_ids"]
    assert out["input_ids"].shape == (3, max(map(len, rows)) - 2) and not out["token_type_ids"].any()
    assert list(out["length"]) == [out["input_ids"].shape[1]] * 3
    assert tok([])["input_ids"] == [] and len(tok._native.batches) == 4


@pytest.mark.parametrize("call, kind", [
    (lambda tok: tok(TEXTS[0]), "single"),
    (lambda tok: tok(TEXTS, padding_side="left"), "plain"),
    (lambda tok: tok(TEXTS, stride=0, return_special_tokens_mask=True), "plain"),
    (lambda tok: tok.batch_encode_plus(TEXTS, padding_side="right"), "plain"),
    (lambda tok: tok.batch_encode_plus(TEXTS, text_pair=TEXTS), "pairs"),
    (lambda tok: tok.batch_encode_plus(list(zip(TEXTS, TEXTS))), "pairs"),
])
def test_fallback_to_base_class_ends(load, call, kind):
    # Inputs the fast path declines go to transformers once, without looping back through
    # batch_encode_plus and __call__, and still use the module's own tokenization.
    tok = load("stand-in")
    ids = call(tok)["input_ids"]
    assert tok._native.batches == []
    plain = [r[1:-1] for r in expected_rows(tok)]
    assert ids == {"single": plain[0], "plain": plain, "pairs": [r + r for r in plain]}[kind]


def test_batch_encode_plus_forwards_plain_batches(load):
    tok = load("stand-in")
    assert tok.batch_encode_plus(TEXTS)["input_ids"] == expected_rows(tok)
    assert tok._native.batches == [TEXTS]


TF4_SCRIPT = "import sys\n" + inspect.getsource(StandIn) + """
import json, os, transformers
from transformers import AutoTokenizer
texts, out = json.loads(sys.argv[2]), {"version": transformers.__version__}
for path in ("python", "native", "stand-in"):
    os.environ.pop("ZELKOR_DISABLE_NATIVE", None)
    if path == "python":
        os.environ["ZELKOR_DISABLE_NATIVE"] = "1"
    tok = AutoTokenizer.from_pretrained(sys.argv[1], trust_remote_code=True)
    if path == "native" and tok._native is None:
        continue  # zelkor_ext.DpTokenizer not built
    if path == "stand-in":
        tok._native = StandIn(tok)
    out[path] = {"tokens": [tok.tokenize(t) for t in texts], "batch": tok(texts, padding=True)["input_ids"],
                 "fallback": [tok.batch_encode_plus(texts, padding_side="right")["input_ids"],
                              tok(texts, padding_side="left", padding=True)["input_ids"],
                              tok.batch_encode_plus(list(zip(texts, texts)))["input_ids"]]}
print(json.dumps(out))
"""


@pytest.mark.skipif(not (TF4 / "transformers").is_dir(), reason="build/tf4 not installed by scripts/setup")
def test_loads_under_transformers_4(load, tok_dir, tmp_path):
    env = {**os.environ, "PYTHONPATH": str(TF4), "HF_MODULES_CACHE": str(tmp_path / "modules")}
    env.pop("ZELKOR_DISABLE_NATIVE", None)
    proc = subprocess.run([sys.executable, "-c", TF4_SCRIPT, str(tok_dir), json.dumps(TEXTS)],
                          env=env, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout.splitlines()[-1])
    assert out["version"].startswith("4.")
    tok = load()
    rows = expected_rows(tok)
    longest = max(map(len, rows))
    for path in {"python", "native", "stand-in"} & out.keys():
        assert out[path]["tokens"] == [tok.tokenize(t) for t in TEXTS]
        if path != "python":
            assert out[path]["batch"] == [r + [1] * (longest - len(r)) for r in rows]
        plain, left, pairs = out[path]["fallback"]
        assert plain == [r[1:-1] for r in rows]
        assert left[1] == [1] * (longest - len(rows[1])) + rows[1][1:-1]
        assert pairs == [r[1:-1] * 2 for r in rows]
