"""The installed module's surface: names, signatures, argument conversion and re-import."""
import inspect
import subprocess
import sys

import pytest

import zelkor_ext

FLAGS = ("forbid_punct_word_mix", "forbid_punct_tokens", "allow_space_punct_tokens", "allow_abbrev_tokens",
         "allow_hyphen_tokens", "allow_word_final_punct_tokens", "allow_apostrophe_tokens",
         "allow_cross_word_punct_word_mix_tokens")
CORE = ("num_merges=50000, aim_token_num=20000, n_max=6, max_token_chars=0, num_workers=0, "
        "multi_process=False, use_heap=False")
TAIL = ("n_min=2, " + ", ".join(f"{f}=False" for f in FLAGS)
        + ", cross_word_start_vocab=0, max_token_words=0, forbid_incomplete_cross_word=False)")
SIGNATURES = {
    "train_to_hf": f"(corpus_file, out_dir, {CORE}, {TAIL}",
    "train_to_hf_iter": f"(texts, out_dir, {CORE}, max_docs=0, chunk_size=4096, {TAIL}",
    "train_to_hf_parquet": "(parquet_path, out_dir, text_column='text', max_docs=0, batch_size=8192, "
                           f"recursive=True, {CORE}, chunk_size=4096, {TAIL}",
    "_run_worker": "()",
    "DpTokenizer": "(vocab_file, unk_token=None)",
}


def test_names_in_order():
    assert zelkor_ext.__all__ == ["__version__", "END_TOKEN", "DpTokenizer", "train_to_hf",
                                  "train_to_hf_iter", "train_to_hf_parquet", "_run_worker"]
    assert zelkor_ext.__version__ == "0.1.10" and zelkor_ext.__doc__ == ""
    assert zelkor_ext.END_TOKEN == "\u0120" and zelkor_ext.END_TOKEN.encode() == b"\xc4\xa0"


@pytest.mark.parametrize("name", SIGNATURES)
def test_signatures(name):
    obj = getattr(zelkor_ext, name)
    assert str(inspect.signature(obj)) == SIGNATURES[name]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in inspect.signature(obj).parameters.values())
    if name != "DpTokenizer":
        assert obj.__module__ == "zelkor_ext"


def test_method_signatures_and_worker_doc():
    assert zelkor_ext.DpTokenizer.encode.__text_signature__ == "($self, text)"
    assert zelkor_ext.DpTokenizer.encode_batch.__text_signature__ == "($self, texts)"
    assert "worker" in inspect.getdoc(zelkor_ext._run_worker)


class Index:
    def __index__(self):
        return 7


@pytest.mark.parametrize("train", [zelkor_ext.train_to_hf, zelkor_ext.train_to_hf_iter])
@pytest.mark.parametrize("kwargs, error", [
    ({"multi_process": 1}, TypeError),
    ({"use_heap": None}, TypeError),
    ({"num_merges": -1}, OverflowError),
    ({"num_merges": 2 ** 64}, OverflowError),
    ({"num_merges": 2.0}, TypeError),
    ({"num_merges": "5"}, TypeError),
    ({"bogus": 1}, TypeError),
    ({"out_dir": b"out"}, TypeError),
    ({"num_merges": True}, ValueError),  # accepted as 1, then the body's own check
    ({"num_merges": 2 ** 64 - 1, "aim_token_num": Index()}, ValueError),
    ({"multi_process": True}, ValueError),
])
def test_argument_conversion(tmp_path, train, kwargs, error):
    # n_min=1 makes every call that gets past conversion fail at the first body check.
    kwargs = {"out_dir": str(tmp_path / "out"), "n_min": 1, **kwargs}
    with pytest.raises(error) as info:
        train(["a b"] if train is zelkor_ext.train_to_hf_iter else str(tmp_path / "missing"), **kwargs)
    name = next(iter(kwargs.keys() - {"out_dir", "n_min"}), "out_dir")
    if error is ValueError:
        assert str(info.value) == "n_min must be >= 2"
    elif name != "bogus":
        assert name in str(info.value)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("call", [
    lambda: zelkor_ext.train_to_hf("c.txt"),
    lambda: zelkor_ext.train_to_hf("c.txt", "out", corpus_file="c.txt"),
    lambda: zelkor_ext._run_worker(1),
    lambda: zelkor_ext.DpTokenizer(),
])
def test_missing_and_surplus_arguments(call):
    with pytest.raises(TypeError):
        call()


def test_numpy_bool_is_a_flag(tmp_path):
    np = pytest.importorskip("numpy")
    with pytest.raises(ValueError, match="n_min must be >= 2"):
        zelkor_ext.train_to_hf("c.txt", str(tmp_path), use_heap=np.bool_(True), n_min=1)
    with pytest.raises(TypeError):
        zelkor_ext.train_to_hf("c.txt", str(tmp_path), use_heap=np.int64(1), n_min=1)


def test_reimport_returns_the_same_module():
    module = sys.modules.pop("zelkor_ext")
    try:
        import zelkor_ext as again
        assert again is module and len(again.__all__) == 7
    finally:
        sys.modules["zelkor_ext"] = module


def test_import_runs_nothing_else(tmp_path):
    # No log file appears and nothing is printed just by importing.
    result = subprocess.run([sys.executable, "-c", "import zelkor_ext"],
                            cwd=tmp_path, capture_output=True, text=True, check=True)
    assert result.stdout == "" and result.stderr == ""
    assert list(tmp_path.iterdir()) == []
