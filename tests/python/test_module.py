"""The installed module's surface: names, signatures, argument conversion and re-import."""
import importlib
import inspect
import operator
import os
import subprocess
import sys

import numpy as np
import pytest

import zelkor_ext
from exit_while_released import run_exit_window

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
    "DpTokenizer.encode": "(self, /, text)",
    "DpTokenizer.encode_batch": "(self, /, texts)",
}


def test_names_in_order():
    assert zelkor_ext.__all__ == ["__version__", "END_TOKEN", "DpTokenizer", "train_to_hf",
                                  "train_to_hf_iter", "train_to_hf_parquet", "_run_worker"]
    assert zelkor_ext.__version__ == "0.1.10" and zelkor_ext.__doc__ == ""
    assert zelkor_ext.END_TOKEN == "\u0120"


@pytest.mark.parametrize("name", SIGNATURES)
def test_signatures(name):
    obj = operator.attrgetter(name)(zelkor_ext)
    assert str(inspect.signature(obj)) == SIGNATURES[name] and obj.__qualname__ == name
    assert (obj.__objclass__ if "." in name else obj).__module__ == "zelkor_ext"


@pytest.mark.parametrize("train", [zelkor_ext.train_to_hf, zelkor_ext.train_to_hf_iter])
@pytest.mark.parametrize("kwargs, error", [
    ({"multi_process": 1}, TypeError),
    ({"use_heap": np.int64(1)}, TypeError),
    ({"num_merges": -1}, OverflowError),
    ({"num_merges": 2 ** 64}, OverflowError),
    ({"num_merges": 2.0}, TypeError),
    ({"bogus": 1}, TypeError),
    ({"out_dir": b"out"}, TypeError),
    # Accepted, then stopped by n_min=1 at the first check of the body:
    ({"num_merges": True, "aim_token_num": np.int64(7), "max_token_chars": 2 ** 64 - 1, "multi_process": True,
      "use_heap": np.bool_(True)}, ValueError),
])
def test_argument_conversion(tmp_path, train, kwargs, error):
    message = "^n_min must be >= 2$" if error is ValueError else f"'{next(iter(kwargs))}'"
    with pytest.raises(error, match=message):
        train(["a b"] if train is zelkor_ext.train_to_hf_iter else str(tmp_path / "missing"),
              **{"out_dir": str(tmp_path / "out"), "n_min": 1, **kwargs})
    assert list(tmp_path.iterdir()) == []


def test_missing_and_repeated_arguments():
    with pytest.raises(TypeError, match=r"^train_to_hf\(\) missing required argument 'out_dir'$"):
        zelkor_ext.train_to_hf("c.txt")
    with pytest.raises(TypeError, match=r"^train_to_hf\(\) got multiple values for argument 'corpus_file'$"):
        zelkor_ext.train_to_hf("c.txt", "out", corpus_file="c.txt")


def test_reimport_and_import_side_effects(tmp_path, monkeypatch):
    module = sys.modules["zelkor_ext"]
    monkeypatch.delitem(sys.modules, "zelkor_ext")
    assert importlib.import_module("zelkor_ext") is module
    # Importing prints nothing and creates no log file.
    result = subprocess.run([sys.executable, "-c", "import zelkor_ext"],
                            cwd=tmp_path, capture_output=True, text=True, check=True)
    assert result.stdout == "" and result.stderr == "" and list(tmp_path.iterdir()) == []


def test_unbuildable_pool(tmp_path):
    # The file corpus's counting pool fails as the panic exception, "<label>: <detail>"; the streaming
    # functions report theirs as ValueError with the same detail under their own label.
    (tmp_path / "c.txt").write_text("a b\n")
    with pytest.raises(BaseException) as panic:
        zelkor_ext.train_to_hf(str(tmp_path / "c.txt"), str(tmp_path / "out"), num_workers=2**64 - 1)
    with pytest.raises(ValueError, match="^build rayon pool failed: ") as value_error:
        zelkor_ext.train_to_hf_iter(["a b"], str(tmp_path / "out"), num_workers=2**64 - 1)
    assert type(panic.value).__qualname__ == "PanicException" and not isinstance(panic.value, Exception)
    assert str(panic.value) == "build rayon pool for vocab: " + str(value_error.value).split(": ", 1)[1]
    assert list(tmp_path.iterdir()) == [tmp_path / "c.txt"]


@pytest.mark.parametrize("scenario", ["train_to_hf_iter", "encode_batch"])
def test_interpreter_exit_while_threads_work(scenario, trained, tmp_path):
    # Daemon threads counting, encoding or blocked in the caller's iterator, the interpreter lock
    # released, take it back only after the interpreter has finished finalising, and are ended there
    # (exit_while_released.py holds that window open): the process must exit normally.
    status, stderr = run_exit_window(scenario, str(trained / "vocab.json"), str(tmp_path / "o"))
    assert status == 0, stderr[-800:]
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("call", [
    lambda d: zelkor_ext.train_to_hf(str(d / "c.txt") + "\0junk", str(d / "out")),
    lambda d: zelkor_ext.train_to_hf(str(d / "c.txt"), str(d / "out") + "\0x"),
    lambda d: zelkor_ext.train_to_hf_iter(["a b"], str(d / "out") + "\0x"),
    lambda d: zelkor_ext.train_to_hf_parquet(str(d / "c.txt") + "\0x", str(d / "out")),
    lambda d: zelkor_ext.DpTokenizer(str(d / "c.txt") + "\0.evil"),
])
def test_paths_with_an_embedded_nul_are_refused(call, tmp_path):
    # The system calls would see the path cut at the NUL, another file than the one named.
    (tmp_path / "c.txt").write_text("a b\n")
    with pytest.raises(ValueError, match="^embedded null byte$"):
        call(tmp_path)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["c.txt"]
