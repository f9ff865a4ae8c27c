"""What the benchmark runs in its child processes: one training per trainer, and the encoders
loaded from what each training wrote. Each snippet is complete Python code; the driver fills in
{corpus}, {vocab}, {out} and {workers}."""

# Training snippets. `workers` is the thread count of a scaling run (0: the library's default).
TRAIN = {
    "zelkor n=2": (
        "import zelkor_ext as z\n"
        "z.train_to_hf({corpus!r}, {out!r}, aim_token_num={vocab}, n_max=2, num_workers={workers})"),
    "zelkor n=2..6": (
        "import zelkor_ext as z\n"
        "z.train_to_hf({corpus!r}, {out!r}, aim_token_num={vocab}, num_workers={workers})"),
    "zelkor n=2..6 heap": (
        "import zelkor_ext as z\n"
        "z.train_to_hf({corpus!r}, {out!r}, aim_token_num={vocab}, use_heap=True, num_workers={workers})"),
    "tokenizers BPE": (
        "from tokenizers import Tokenizer, models, trainers, pre_tokenizers\n"
        "t = Tokenizer(models.BPE(unk_token='<unk>')); t.pre_tokenizer = pre_tokenizers.Whitespace()\n"
        "t.train([{corpus!r}], trainers.BpeTrainer(vocab_size={vocab}, show_progress=False, special_tokens=['<unk>']))\n"
        "import os; os.makedirs({out!r}, exist_ok=True); t.save({out!r} + '/tokenizer.json')"),
    "sentencepiece BPE": (
        "import sentencepiece as s, os; os.makedirs({out!r}, exist_ok=True)\n"
        "s.SentencePieceTrainer.train(input={corpus!r}, model_prefix={out!r} + '/sp', vocab_size={vocab}, model_type='bpe',\n"
        "    minloglevel=2, input_sentence_size=0, hard_vocab_limit=False, num_threads=len(os.sched_getaffinity(0)))"),
    "sentencepiece unigram": (
        "import sentencepiece as s, os; os.makedirs({out!r}, exist_ok=True)\n"
        "s.SentencePieceTrainer.train(input={corpus!r}, model_prefix={out!r} + '/sp', vocab_size={vocab}, model_type='unigram',\n"
        "    minloglevel=2, input_sentence_size=0, hard_vocab_limit=False, num_threads=len(os.sched_getaffinity(0)))"),
}

# How each trained directory is loaded as an encoder in the child that measures encoding. Each
# defines `one(text) -> list of ids` and, where the library has one, `batch(texts) -> list of lists`.
LOAD = {
    "zelkor": (
        "import zelkor_ext as z\n"
        "tok = z.DpTokenizer({out!r} + '/vocab.json')\n"
        "one = tok.encode\n"
        "batch = tok.encode_batch\n"),
    "tokenizers": (
        "from tokenizers import Tokenizer\n"
        "tok = Tokenizer.from_file({out!r} + '/tokenizer.json')\n"
        "one = lambda text: tok.encode(text, add_special_tokens=False).ids\n"
        "batch = lambda texts: [e.ids for e in tok.encode_batch(texts, add_special_tokens=False)]\n"),
    "sentencepiece": (
        "import sentencepiece as s\n"
        "tok = s.SentencePieceProcessor(model_file={out!r} + '/sp.model')\n"
        "one = tok.encode\n"
        "batch = lambda texts: tok.encode(texts, num_threads=-1)\n"),
}


def vocab_size_of(trainer, out):
    """How many tokens a training wrote (a small corpus can end it below the aim)."""
    import json
    kind = loader_of(trainer)
    if kind == "zelkor":
        return len(json.loads((out / "vocab.json").read_text()))
    if kind == "tokenizers":
        return len(json.loads((out / "tokenizer.json").read_text())["model"]["vocab"])
    return sum(1 for _ in open(out / "sp.vocab", encoding="utf-8"))


def loader_of(trainer):
    return next(kind for kind in LOAD if trainer.lower().startswith(kind))


# Runs in a child: times `one` over every line and `batch` over all lines (best of `runs`
# inside the process, after a warm-up), counts tokens, and prints one JSON line.
ENCODE = """
import json, time
lines = open({heldout!r}, encoding='utf-8').read().split('\\n')
lines = [l for l in lines if l]
nbytes = sum(len(l.encode('utf-8')) for l in lines)
nchars = sum(len(l) for l in lines)
{load}
def timed(f):
    best = None
    for _ in range({runs}):
        t = time.perf_counter(); out = f(); t = time.perf_counter() - t
        best = t if best is None else min(best, t)
    return best, out
one(lines[0]); batch(lines[:64])
t_one, ids = timed(lambda: [one(l) for l in lines])
t_batch, ids_b = timed(lambda: batch(lines))
assert [len(x) for x in ids] == [len(x) for x in ids_b]
tokens = sum(len(x) for x in ids)
print(json.dumps(dict(one_mbs=nbytes / 1e6 / t_one, batch_mbs=nbytes / 1e6 / t_batch,
                      tokens=tokens, chars=nchars, tpc=tokens / nchars)))
"""
