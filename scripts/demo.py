"""Demo: train on standard-library docstrings, encode a sentence, load with transformers."""
import importlib
import json
import os
import pkgutil
import sys
import tempfile
import time
from pathlib import Path

os.environ.setdefault("LOG_LEVEL", "warn")
os.environ.setdefault("HF_HUB_OFFLINE", "1")
work = Path(tempfile.mkdtemp(prefix="zelkor_demo_"))
os.environ.setdefault("LOG_FILE", str(work / "zelkor.log"))

import zelkor_ext  # noqa: E402


def docstring_lines():
    """Docstring lines of the standard library's modules and their public members."""
    for info in pkgutil.iter_modules():
        if info.name.startswith("_") or info.name in {"antigravity", "this", "idlelib", "tkinter", "turtle"}:
            continue
        try:
            module = importlib.import_module(info.name)
        except Exception:
            continue
        objects = [module] + [getattr(module, n, None) for n in dir(module) if not n.startswith("_")]
        for obj in objects:
            doc = getattr(obj, "__doc__", None)
            if isinstance(doc, str):
                yield from (line.strip() for line in doc.splitlines() if line.strip())


corpus = work / "corpus.txt"
lines = list(dict.fromkeys(docstring_lines()))
corpus.write_text("\n".join(lines) + "\n", encoding="utf-8")
print(f"corpus: {len(lines)} docstring lines, {corpus.stat().st_size / 1e6:.1f} MB at {corpus}")

out_dir = work / "tokenizer_out"
start = time.time()
zelkor_ext.train_to_hf(str(corpus), str(out_dir), aim_token_num=8000)
print(f"trained 8,000 tokens in {time.time() - start:.1f} s -> {out_dir}")

vocab = json.loads((out_dir / "vocab.json").read_text(encoding="utf-8"))
end = zelkor_ext.END_TOKEN
multi_word = sorted((t for t in vocab if 2 <= t.count(end) <= 3 and not t.startswith(end)), key=len)[-12:]
print("some learned multi-word tokens:", ", ".join(t.replace(end, "_") for t in multi_word))

tokenizer = zelkor_ext.DpTokenizer(str(out_dir / "vocab.json"))
texts = lines[: min(len(lines), 20000)]
tokens = sum(len(ids) for ids in tokenizer.encode_batch(texts))
chars = sum(len(t) for t in texts)
print(f"tokens per character on {len(texts)} training lines: {tokens / chars:.3f}")

sentence = "Return a new list containing all items from the iterable in ascending order."
inverse = {i: t for t, i in vocab.items()}
ids = tokenizer.encode(sentence)
print(f"encode({sentence!r}):\n  {len(ids)} tokens: {[inverse[i].replace(end, '_') for i in ids]}")

from transformers import AutoTokenizer  # noqa: E402
from transformers.utils import logging as hf_logging  # noqa: E402

hf_logging.set_verbosity_error()

hf = AutoTokenizer.from_pretrained(str(out_dir), trust_remote_code=True)
batch = hf([sentence, "Open the file."], padding=True)
print(f"transformers {type(hf).__name__}: input_ids of a padded batch: {batch['input_ids']}")
print(f"decoded: {hf.convert_tokens_to_string(hf.tokenize(sentence))!r}")
sys.exit(0)
