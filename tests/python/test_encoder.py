"""DpTokenizer: minimum-token encoding against a brute-force reference, errors and heavy inputs."""
import functools
import json
import random
import sys
import threading
import time

import pytest

import zelkor_ext

G = "\u0120"
SWITCHES = ("ZELKOR_FORBID_END_INNER", "ZELKOR_CROSS_WORD_WHOLE_ONLY", "ZELKOR_FORBID_PUNCT_TOKENS")
SMALL = {"<unk>": 0, G: 1, "u": 2, "v": 3, "w": 4, "uv": 5, "vw": 6}


@pytest.fixture
def make(tmp_path, monkeypatch):
    """Writes a vocab.json and builds a DpTokenizer on it under the given switches."""
    def _make(vocab, *switches, **kwargs):
        for var in SWITCHES:
            monkeypatch.delenv(var, raising=False)
        for var in switches:
            monkeypatch.setenv(var, "")  # presence is what counts
        path = tmp_path / "vocab.json"
        path.write_text(vocab if isinstance(vocab, str) else json.dumps(vocab), encoding="utf-8")
        return zelkor_ext.DpTokenizer(str(path), **kwargs)
    return _make


def reference(vocab, text, switches):
    """The fewest-token split, longest first token on ties, found by exhaustive recursion."""
    forbid_end = "ZELKOR_FORBID_END_INNER" in switches
    whole = "ZELKOR_CROSS_WORD_WHOLE_ONLY" in switches and not forbid_end
    tokens = []
    for tok, tid in vocab.items():
        inner = G in tok[:-1]
        if not tok or (forbid_end and inner) or ("ZELKOR_FORBID_PUNCT_TOKENS" in switches and len(tok) > 1
                                                 and not all(c.isalnum() for c in tok.replace(G, ""))):
            continue
        if whole and inner and not (tok.endswith(G) and not tok.startswith(G)):
            continue
        tokens.append((tok, tid, whole and inner))
    seq = "".join(word + G for word in text.split())

    @functools.cache
    def best(p):
        if p == len(seq):
            return ()
        splits = [((len(tok), tid),) + best(p + len(tok)) for tok, tid, word_start in tokens
                  if seq.startswith(tok, p) and (not word_start or p == 0 or seq[p - 1] == G)]
        if not splits:
            return ((1, vocab["<unk>"]),) + best(p + 1)
        return min(splits, key=lambda split: (len(split), -split[0][0]))

    return [tid for _, tid in best(0)]


@pytest.mark.parametrize("switches", [(), ("ZELKOR_CROSS_WORD_WHOLE_ONLY",), SWITCHES[:2],
                                      ("ZELKOR_FORBID_PUNCT_TOKENS",)])
def test_matches_brute_force(make, switches):
    rng = random.Random(str(switches))
    for _ in range(250):
        ids = rng.sample(range(60), 16)
        toks = ["".join(rng.choices("abcé-" + G, k=rng.randint(1, 4))) for _ in range(rng.randint(1, 14))]
        vocab = dict(zip(toks + ["", "<unk>"], ids))
        tok = make(vocab, *switches)
        texts = ["".join(rng.choices("abcé-x" + G + "  \t\n\u3000", k=rng.randint(0, 24))) for _ in range(8)]
        expected = [reference(vocab, text, switches) for text in texts]
        assert [tok.encode(text) for text in texts] == expected, (vocab, texts)
        assert tok.encode_batch(texts) == expected and tok.encode_batch(tuple(texts)) == expected


@pytest.mark.parametrize("switches, text, expected", [
    ((), "uvw", [5, 4, 1]),  # two splits of two tokens: the longest first token wins
    ((), "  \t\n ", []),
    ((), "", []),
    ((), "xq\u00a0u", [0, 0, 1, 2, 1]),  # one unknown per character; no-break space separates words
    ((), "u\u200bv", [2, 0, 3, 1]),  # a zero-width space does not
])
def test_examples(make, switches, text, expected):
    tok = make(SMALL, *switches)
    assert tok.encode(text) == expected and tok.encode_batch([text, text]) == [expected] * 2


def test_unknown_token_and_batch_arguments(make):
    tok = make({"[?]": 7, "a": 1}, unk_token="[?]")
    assert tok.encode("ab") == [1, 7, 7] and tok.encode_batch([]) == []
    with pytest.raises(TypeError, match="texts"):
        tok.encode_batch("ab")
    for bad in ([1], ["a", None], 5, (t for t in ["a"])):
        with pytest.raises(TypeError):
            tok.encode_batch(bad)
    with pytest.raises(TypeError):
        tok.encode(b"ab")


@pytest.mark.parametrize("call", [lambda tok: tok.encode("a\ud800"),
                                  lambda tok: tok.encode_batch(["a", "\udc00b"]),
                                  lambda tok: zelkor_ext.DpTokenizer("\ud800.json")],
                         ids=["encode", "encode_batch", "vocab_file"])
def test_lone_surrogate_is_an_encoding_error(make, call):
    with pytest.raises(UnicodeEncodeError):
        call(make(SMALL))


@pytest.mark.parametrize("content, kwargs, message", [
    (None, {}, "open vocab failed: "),
    ('{"<unk>": 0', {}, "parse vocab.json failed: "),
    ('{"<unk>": 1.5}', {}, "parse vocab.json failed: "),
    ('{"<unk>": -1}', {}, "parse vocab.json failed: "),
    ('{"<unk>": 4294967296}', {}, "parse vocab.json failed: "),
    ('{"<unk>": "0"}', {}, "parse vocab.json failed: "),
    ('["<unk>"]', {}, "parse vocab.json failed: "),
    ('{"<unk>": 0}\n x', {}, "parse vocab.json failed: "),
    ('{"a": 0}', {}, 'unk_token "<unk>" not found in vocab'),
    ("{}", {}, 'unk_token "<unk>" not found in vocab'),
    ('{"a": 0}', {"unk_token": 'q"\\\t\n'}, r'unk_token "q\"\\\t\n" not found in vocab'),
])
def test_construction_errors(make, tmp_path, content, kwargs, message):
    with pytest.raises(ValueError) as info:
        if content is None:
            zelkor_ext.DpTokenizer(str(tmp_path / "absent.json"))
        make(content, **kwargs)
    assert str(info.value).startswith(message)
    if message.startswith("parse"):
        assert "line" in str(info.value) and "column" in str(info.value)
    if message.startswith("unk"):
        assert str(info.value) == message


def test_construction_argument_types(make, tmp_path):
    make(SMALL)
    with pytest.raises(TypeError):
        zelkor_ext.DpTokenizer(tmp_path / "vocab.json")
    with pytest.raises(TypeError):
        zelkor_ext.DpTokenizer(str(tmp_path / "vocab.json"), unk_token=0)


def test_large_vocabulary(make):
    hexes = random.Random(1).randbytes(8 * 450_000).hex()
    vocab = {hexes[i:i + 16]: i // 16 + 1 for i in range(0, len(hexes), 16)}
    vocab.update({"<unk>": 0, G: len(vocab) + 1})
    text = json.dumps(vocab)
    assert len(text) > 10_000_000
    tok = make(text)
    sample = list(vocab)[:2000:7]
    assert tok.encode(" ".join(sample)) == [i for t in sample for i in (vocab[t], vocab[G])]


@pytest.mark.parametrize("text, expected", [
    ("uv" * 500_000, [5] * 500_000 + [1]),
    ("uvw xq " * 150_000, [5, 4, 1, 0, 0, 1] * 150_000),
])
def test_long_text(make, text, expected):
    assert make(SMALL).encode(text) == expected


def test_large_batch(make):
    tok = make(SMALL)
    rng = random.Random(2)
    texts = ["".join(rng.choices("uvwx ", k=rng.randint(0, 12))) for _ in range(100_000)]
    assert tok.encode_batch(texts) == [tok.encode(t) for t in texts]


def test_batch_releases_the_interpreter_lock(make):
    # With a huge switch interval this thread keeps the lock unless a call gives it up, so the
    # counter only moves while encode_batch runs if encode_batch releases the lock.
    tok = make(SMALL)
    texts = ["uvw uvwv wuv " * 20] * 20_000
    state = {"count": 0, "stop": False}

    def spin():
        while not state["stop"]:
            state["count"] += 1
            time.sleep(0)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    thread = threading.Thread(target=spin)
    thread.start()
    try:
        before = state["count"]
        tok.encode_batch(texts)
        after = state["count"]
    finally:
        state["stop"] = True
        sys.setswitchinterval(old)
        thread.join()
    assert after > before
