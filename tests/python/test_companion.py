"""The companion tokenizer module, loaded through AutoTokenizer from a trained directory."""
import json
import os
import subprocess
import sys
import types
from pathlib import Path

import pytest

import zelkor_ext

os.environ.setdefault("HF_HUB_OFFLINE", "1")
transformers = pytest.importorskip("transformers")

TF4 = Path(__file__).resolve().parents[2] / "build" / "tf4"
SWITCHES = ("ZELKOR_DISABLE_NATIVE", "ZELKOR_FORBID_END_INNER", "ZELKOR_CROSS_WORD_WHOLE_ONLY",
            "ZELKOR_FORBID_PUNCT_TOKENS")
TEXTS = ["Return the object", "a", "\u2603 the value of an object, quote"]


@pytest.fixture
def load(trained, monkeypatch):
    # Loads the trained directory natively or in Python; tok.batches logs the native batch calls.
    def _load(path="python", *switches):
        for var in SWITCHES:  # any value counts
            on = var in switches or var == "ZELKOR_DISABLE_NATIVE" and path == "python"
            monkeypatch.setenv(var, "0") if on else monkeypatch.delenv(var, raising=False)
        tok = transformers.AutoTokenizer.from_pretrained(str(trained), trust_remote_code=True)
        assert (tok._native is None) == (path == "python")
        if native := tok._native:
            tok.batches = []
            tok._native = types.SimpleNamespace(encode=native.encode, encode_batch=lambda texts: (
                tok.batches.append(list(texts)) or native.encode_batch(texts)))
        return tok
    return _load


@pytest.mark.parametrize("switches", [(), ("ZELKOR_FORBID_END_INNER",), ("ZELKOR_CROSS_WORD_WHOLE_ONLY",),
                                      SWITCHES[1:3], ("ZELKOR_FORBID_PUNCT_TOKENS",)])
def test_python_matches_native(load, random_cases, corpus_lines, tmp_path, switches):
    native, python = load("native", *switches), load("python", *switches)
    assert [python._tokenize(t) for t in corpus_lines] == [native._tokenize(t) for t in corpus_lines]
    module = sys.modules[type(python).__module__]
    for vocab, texts in random_cases(str(switches), 150):
        (tmp_path / "v.json").write_text(json.dumps(vocab), encoding="utf-8")
        trie, tok = module._TokenTrie(vocab), zelkor_ext.DpTokenizer(str(tmp_path / "v.json"))
        assert [trie.dp_min_ids(module._normalize(t), vocab["<unk>"]) for t in texts] == \
            [tok.encode(t) for t in texts], (vocab, texts)


def test_strings_vocab_and_errors(load, trained, tmp_path):
    tok = load()
    vocab = json.loads((trained / "vocab.json").read_text(encoding="utf-8"))
    assert tok.convert_tokens_to_string(tok.tokenize(" Return  the\tobject ")) == "Return the object"
    assert tok.vocab_size == len(vocab) and tok.get_vocab() == vocab
    assert tok.save_vocabulary(str(tmp_path / "out"), "x") == (str(tmp_path / "out" / "x-vocab.json"),)
    text = (tmp_path / "out" / "x-vocab.json").read_text(encoding="utf-8")
    assert json.loads(text) == vocab and "\"Ω\"" in text and text.endswith("}\n")
    (tmp_path / "bad.json").write_text(json.dumps({"a": 0}))
    with pytest.raises(ValueError, match="unk_token '<unk>' not in vocab"):
        type(tok)(str(tmp_path / "bad.json"))


def expected_rows(tok):
    return [[2] + tok.convert_tokens_to_ids(tok.tokenize(t)) + [3] for t in TEXTS]


@pytest.mark.parametrize("kwargs, widths", [  # the rows have 6, 3 and 14 ids
    ({"padding": True}, [14] * 3),
    ({"padding": "longest", "pad_to_multiple_of": 8}, [16] * 3),
    ({"padding": "max_length", "max_length": 10}, [10, 10, 14]),
    ({"padding": "max_length"}, [6, 3, 14]),
    ({"padding": "max_length", "max_length": 16, "pad_to_multiple_of": 8}, [16] * 3),
    ({"padding": False, "max_length": 10}, [6, 3, 14]),
    ({"truncation": True, "max_length": 2}, [2] * 3),
])
def test_fast_batch_padding_and_truncation(load, kwargs, widths):
    tok = load("native")
    out = tok(TEXTS, **kwargs)
    assert sorted(out) == ["attention_mask", "input_ids"] and tok.batches == [TEXTS]
    for row, width, ids, mask in zip(expected_rows(tok), widths, out["input_ids"], out["attention_mask"],
                                     strict=True):
        assert ids == (row + [1] * width)[:width] and mask == ([1] * len(row) + [0] * width)[:width]


def test_fast_batch_options(load):
    tok = load("native")
    rows = expected_rows(tok)
    out = tok(tuple(TEXTS), add_special_tokens=False, return_attention_mask=False,
              return_token_type_ids=True, return_length=True, return_tensors="np", padding=True)
    assert sorted(out) == ["input_ids", "length", "token_type_ids"]
    assert out["input_ids"].shape == (3, max(map(len, rows)) - 2) and not out["token_type_ids"].any()
    assert list(out["length"]) == [out["input_ids"].shape[1]] * 3
    assert tok([])["input_ids"] == [] and len(tok.batches) == 2
    assert tok.batch_encode_plus(TEXTS)["input_ids"] == rows and tok.batches[-1] == TEXTS


@pytest.mark.parametrize("call, kind", [
    (lambda tok: tok(TEXTS[0]), "single"),
    (lambda tok: tok(TEXTS, padding_side="left"), "plain"),
    (lambda tok: tok(TEXTS, stride=0, return_special_tokens_mask=True), "plain"),
    (lambda tok: tok.batch_encode_plus(TEXTS, text_pair=TEXTS), "pairs"),
    (lambda tok: tok.batch_encode_plus(list(zip(TEXTS, TEXTS))), "pairs"),
])
def test_fallback_to_base_class_ends(load, call, kind):
    # Inputs the fast path declines go to transformers once, without looping back through
    # batch_encode_plus and __call__, and still use the module's own tokenization.
    tok = load("native")
    ids = call(tok)["input_ids"]
    assert tok.batches == []
    plain = [r[1:-1] for r in expected_rows(tok)]
    assert ids == {"single": plain[0], "plain": plain, "pairs": [r + r for r in plain]}[kind]


@pytest.mark.parametrize("path", ["native", "python"])
def test_save_pretrained_round_trip(load, tmp_path, path):
    # Saved, loaded, saved and loaded again: each copy names its class as a [slow, fast] pair.
    toks = [load(path)]
    for name in ("d2", "d3"):
        toks[-1].save_pretrained(str(tmp_path / name))
        config = json.loads((tmp_path / name / "tokenizer_config.json").read_text(encoding="utf-8"))
        assert config["auto_map"] == {"AutoTokenizer": ["tokenization_zelkor.Zelkor", None]}
        toks.append(transformers.AutoTokenizer.from_pretrained(str(tmp_path / name), trust_remote_code=True))
    assert [tok._native is None for tok in toks] == [path == "python"] * 3
    assert len({str([tok.tokenize(t) for t in TEXTS] + tok(TEXTS)["input_ids"]) for tok in toks}) == 1


@pytest.mark.skipif(not (TF4 / "transformers").is_dir() or transformers.__version__.startswith("4."),
                    reason="build/tf4 not installed by scripts/setup, or already running under it")
def test_passes_under_transformers_4(tmp_path):
    # This file's other tests, run again with transformers 4.x first on the path.
    code = ("import sys, pytest, transformers; assert transformers.__version__.startswith('4.'); "
            f"sys.exit(pytest.main(['-q', '-p', 'no:cacheprovider', {__file__!r}]))")
    env = {**os.environ, "PYTHONPATH": str(TF4), "HF_MODULES_CACHE": str(tmp_path / "modules")}
    proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0 and " passed, 1 skipped" in proc.stdout, proc.stdout[-5000:] + proc.stderr
