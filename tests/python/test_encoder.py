"""DpTokenizer: minimum-token encoding against a brute-force reference, errors and heavy inputs."""
import functools
import json
import os
import random
import subprocess
import sys
import unicodedata

import pytest

import zelkor_ext

G = "\u0120"
SWITCHES = ("ZELKOR_FORBID_END_INNER", "ZELKOR_CROSS_WORD_WHOLE_ONLY", "ZELKOR_FORBID_PUNCT_TOKENS")
SMALL = {"<unk>": 0, G: 1, "u": 2, "v": 3, "w": 4, "uv": 5, "vw": 6}


@pytest.fixture
def make(tmp_path, monkeypatch):
    """Writes a vocab.json and builds a DpTokenizer on it under the given switches."""
    def _make(vocab, *switches, **kwargs):
        for var in SWITCHES:  # presence is what counts
            monkeypatch.setenv(var, "") if var in switches else monkeypatch.delenv(var, raising=False)
        path = tmp_path / "vocab.json"
        path.write_text(vocab if isinstance(vocab, str) else json.dumps(vocab), encoding="utf-8")
        tok = zelkor_ext.DpTokenizer(str(path), **kwargs)
        for var in SWITCHES:  # read at construction only: turning them all around now changes nothing
            monkeypatch.delenv(var) if var in switches else monkeypatch.setenv(var, "1")
        return tok
    return _make


def reference(vocab, text, switches):
    """The fewest-token split, longest first token on ties, found by exhaustive recursion."""
    forbid_end = "ZELKOR_FORBID_END_INNER" in switches
    whole = "ZELKOR_CROSS_WORD_WHOLE_ONLY" in switches and not forbid_end
    punct = "ZELKOR_FORBID_PUNCT_TOKENS" in switches
    tokens = [(tok, tid, whole and G in tok[:-1]) for tok, tid in vocab.items()
              if tok and not (G in tok[:-1] and (forbid_end or whole and (tok[-1] != G or tok[0] == G)))
              and not (punct and len(tok) > 1 and not all(c.isalnum() for c in tok.replace(G, "")))]
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
def test_matches_brute_force(make, random_cases, switches):
    for vocab, texts in random_cases(str(switches), 250):
        tok = make(vocab, *switches)
        expected = [reference(vocab, text, switches) for text in texts]
        assert [tok.encode(text) for text in texts] == expected, (vocab, texts)
        assert tok.encode_batch(texts) == expected and tok.encode_batch(tuple(texts)) == expected


@pytest.mark.parametrize("call, error, message", [
    (lambda make: make(SMALL).encode_batch("ab"), TypeError, None),
    (lambda make: make(SMALL).encode_batch(["a", None]), TypeError, None),
    (lambda make: make(SMALL).encode_batch(t for t in ["a"]), TypeError, None),
    (lambda make: make(SMALL).encode("a\ud800"), UnicodeEncodeError, None),
    (lambda make: zelkor_ext.DpTokenizer("/nonexistent/v.json"), ValueError,
     "open vocab failed: No such file or directory (os error 2)"),
    (lambda make: zelkor_ext.DpTokenizer("/"), ValueError,  # opens, then fails to read
     "parse vocab.json failed: Is a directory (os error 21)"),
    (lambda make: make('{"<unk>": 0'), ValueError,
     "parse vocab.json failed: EOF while parsing: expected `,` or `}` at line 1 column 12"),
    (lambda make: make('{"a": 0}'), ValueError, 'unk_token "<unk>" not found in vocab'),
    (lambda make: make('{"a": 0}', unk_token='q"\\\t\n'), ValueError,
     r'unk_token "q\"\\\t\n" not found in vocab'),
    (lambda make: make('{"a": 0}', unk_token="\u200b"), ValueError, r'unk_token "\u{200b}" not found in vocab'),
])
def test_errors(make, call, error, message):
    with pytest.raises(error) as info:
        call(make)
    assert message is None or str(info.value) == message


def stable(ch):
    """Of the same category in Unicode 3.2 and today, unassigned only as a noncharacter (never assigned):
    any character database this module may be built with agrees on it."""
    cat = unicodedata.category(ch)
    return cat == unicodedata.ucd_3_2_0.category(ch) and cat not in ("Cs", "Cn") or \
        (ord(ch) & 0xFFFE == 0xFFFE or 0xFDD0 <= ord(ch) <= 0xFDEF)


@pytest.mark.parametrize("first, end", [(0, 0x3000), (0x3000, 0x10000), (0x10000, 0x20000), (0x20000, 0x110000)],
                         ids=["U+0000", "U+3000", "U+10000", "U+20000"])
def test_unknown_token_escapes_what_python_would_not_print(make, first, end):
    # Format characters (U+200B, U+00AD, U+FEFF), separators other than the space, private use and
    # noncharacters come out as \u{hex}, like the control characters; the rest as they are.
    text = "".join(ch for ch in map(chr, range(first, end)) if stable(ch))
    named = {'"': '\\"', "\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t"}
    quoted = "".join(named.get(ch) or (ch if ch.isprintable() else f"\\u{{{ord(ch):x}}}") for ch in text)
    with pytest.raises(ValueError) as info:
        make({"a": 0}, unk_token=text)
    assert str(info.value) == f'unk_token "{quoted}" not found in vocab'


TOP = 2**32 - 1


@pytest.mark.parametrize("switches, text, ids", [  # ids at the top of the u32 range
    ((), "a", [TOP, TOP - 1]),
    ((), "ba b", [5, TOP - 2]),
    (("ZELKOR_CROSS_WORD_WHOLE_ONLY",), "a b", [TOP - 2]),
    (("ZELKOR_CROSS_WORD_WHOLE_ONLY",), "ba b", [5, TOP, TOP - 1, 5, TOP - 1]),
])
def test_largest_ids(make, switches, text, ids):
    vocab = {"<unk>": 0, "a": TOP, G: TOP - 1, f"a{G}b{G}": TOP - 2, "b": 5}
    assert make(vocab, *switches).encode(text) == ids


def test_flagged_largest_id_costs_no_table(tmp_path):
    (tmp_path / "v.json").write_text(json.dumps({"<unk>": 0, f"a{G}b{G}": TOP - 1}))
    code = ("import resource, sys, zelkor_ext; assert zelkor_ext.DpTokenizer(sys.argv[1]).encode('a b') == "
            f"[{TOP - 1}]; print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)")
    env = {**os.environ, "ZELKOR_CROSS_WORD_WHOLE_ONLY": "1"}
    out = subprocess.run([sys.executable, "-c", code, str(tmp_path / "v.json")], env=env, check=True,
                         capture_output=True, text=True).stdout
    assert int(out) < 200_000  # KiB; a table by id would hold 512 MiB


class Lying:
    """Two texts behind a __len__ that says `length` (or raises it)."""
    def __init__(self, length):
        self.length = length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return ["uv", "w"][i]


@pytest.mark.parametrize("length", [2**62, sys.maxsize, 2**63, 0, 1, RuntimeError("no length")])
def test_batch_sized_by_the_texts_received(make, length):
    assert make(SMALL).encode_batch(Lying(length)) == [[5, 1], [4, 1]]


def test_own_unknown_token_and_large_vocabulary(make):
    tok = make({"[?]": 7, "a": 1}, unk_token="[?]")
    assert tok.encode("ab") == [1, 7, 7] and tok.encode_batch([]) == []
    hexes = random.Random(1).randbytes(8 * 450_000).hex()
    vocab = {hexes[i:i + 16]: i // 16 + 1 for i in range(0, len(hexes), 16)} | {"<unk>": 0}
    sample = list(vocab)[:2000:7]  # each followed by the word end, unknown here
    assert len(json.dumps(vocab)) > 10_000_000
    assert make(vocab).encode(" ".join(sample)) == [i for t in sample for i in (vocab[t], 0)]


def test_long_texts_and_large_batch(make, spins_during):
    tok = make(SMALL)
    assert tok.encode("uv" * 500_000) == [5] * 500_000 + [1]
    assert tok.encode("uvw xq " * 150_000) == [5, 4, 1, 0, 0, 1] * 150_000
    rng = random.Random(2)
    texts = ["".join(rng.choices("uvwx ", k=rng.randint(0, 12))) for _ in range(100_000)]
    assert tok.encode_batch(texts) == [tok.encode(t) for t in texts]
    assert spins_during(lambda: tok.encode_batch(["uvw uvwv wuv " * 20] * 20_000)) > 0
