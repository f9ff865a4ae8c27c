"""HuggingFace remote-code tokenizer for Zelkor.

特点：
- 复刻原生端的归一化：按空白切词，每个词后追加 "Ġ"（END_TOKEN）。
- 用 Trie + 动态规划切分，求全局最少 token 数。

用法：
    from transformers import AutoTokenizer
    tok = AutoTokenizer.from_pretrained("user/repo", trust_remote_code=True)
"""

from __future__ import annotations

import json
import os
import threading
from typing import Dict, List, Optional, Tuple

from transformers import PreTrainedTokenizer

END_TOKEN = "Ġ"

# 用户安装了原生 wheel（zelkor_ext）时走这条快速路径
try:
    from zelkor_ext import DpTokenizer as _NativeDpTokenizer

    _NATIVE_AVAILABLE = True
except Exception:
    _NativeDpTokenizer = None
    _NATIVE_AVAILABLE = False


class _TrieNode:
    __slots__ = ("next", "term_id")

    def __init__(self) -> None:
        self.next: Dict[str, int] = {}
        self.term_id: Optional[int] = None


class _TokenTrie:
    def __init__(self, vocab: Dict[str, int]) -> None:
        self.nodes: List[_TrieNode] = [_TrieNode()]
        self._require_word_start: set = set()

        forbid_end_inner = "ZELKOR_FORBID_END_INNER" in os.environ
        cross_word_whole_only = (not forbid_end_inner) and "ZELKOR_CROSS_WORD_WHOLE_ONLY" in os.environ
        forbid_punct_tokens = "ZELKOR_FORBID_PUNCT_TOKENS" in os.environ

        def has_hard_punct(tok: str) -> bool:
            # Any non-alphanumeric character except END_TOKEN counts as punctuation or a symbol.
            return any(ch != END_TOKEN and not ch.isalnum() for ch in tok)

        for tok, tid in vocab.items():
            if forbid_punct_tokens and len(tok) > 1 and has_hard_punct(tok):
                continue
            end_inner = END_TOKEN in tok[:-1]
            if forbid_end_inner and end_inner:
                continue
            if cross_word_whole_only and end_inner:
                if not tok.endswith(END_TOKEN):
                    continue  # it would end inside a word
                if tok.startswith(END_TOKEN):
                    continue  # it must begin with a word
                self._require_word_start.add(int(tid))
            self._insert(tok, tid)

    def _insert(self, tok: str, tid: int) -> None:
        node = 0
        for ch in tok:
            child = self.nodes[node].next.get(ch)
            if child is None:
                child = len(self.nodes)
                self.nodes.append(_TrieNode())
                self.nodes[node].next[ch] = child
            node = child
        self.nodes[node].term_id = tid

    def dp_min_ids(self, s: str, unk_id: int) -> List[int]:
        n = len(s)
        if n == 0:
            return []
        inf = 10**18
        nodes = self.nodes
        require_word_start = self._require_word_start
        # dp[i]：从位置 i 到结尾所需的最少 token 数（目标是全局 token 数最少）
        dp = [inf] * (n + 1)
        dp[n] = 0
        back: List[Optional[Tuple[int, int]]] = [None] * (n + 1)

        for i in range(n - 1, -1, -1):
            at_word_start = i == 0 or s[i - 1] == END_TOKEN
            node = 0
            for j in range(i, n):
                child = nodes[node].next.get(s[j])
                if child is None:
                    break
                node = child
                t = nodes[node].term_id
                if t is None:
                    continue
                if not at_word_start and t in require_word_start:
                    continue
                cand = dp[j + 1] + 1
                # 代价更小则采用；代价相同时取更长的首个 token（最长优先）
                cur = back[i]
                if cand < dp[i] or (cand == dp[i] and (cur is None or j + 1 - i > cur[0] - i)):
                    dp[i] = cand
                    back[i] = (j + 1, t)
            if back[i] is None:
                # 没有任何 token 匹配时，吃掉一个字符并输出未知 token
                dp[i] = dp[i + 1] + 1
                back[i] = (i + 1, unk_id)

        out: List[int] = []
        p = 0
        while p < n:
            step = back[p]
            if step is None:
                out.append(unk_id)
                p += 1
            else:
                out.append(step[1])
                p = step[0]
        return out


def _normalize(text: str) -> str:
    # Same as the native normalize_chars: split on whitespace, END_TOKEN after each word.
    return "".join(word + END_TOKEN for word in text.split())


def _pair_auto_map(config_file: str) -> None:
    # transformers records a remote-code tokenizer as the [slow, fast] pair its loader unpacks only
    # when "Tokenizer" is in the class name; for this class it writes a bare string, which no
    # version loads back. Rewrite that entry as the pair, in transformers' own layout.
    with open(config_file, "r", encoding="utf-8") as f:
        config = json.load(f)
    auto_map = config.get("auto_map")
    if not (isinstance(auto_map, dict) and isinstance(auto_map.get("AutoTokenizer"), str)):
        return
    auto_map["AutoTokenizer"] = [auto_map["AutoTokenizer"], None]
    with open(config_file, "w", encoding="utf-8") as f:
        f.write(json.dumps(config, indent=2, sort_keys=True, ensure_ascii=False) + "\n")


# Ids of the Zelkor objects whose base-class __call__ is running on this thread. Some transformers
# versions route a batch from their __call__ back into batch_encode_plus; while the id is listed,
# batch_encode_plus goes straight to the base class instead of forwarding to __call__ again.
_in_base_call = threading.local()


def _base_call_ids() -> set:
    ids = getattr(_in_base_call, "ids", None)
    if ids is None:
        ids = _in_base_call.ids = set()
    return ids


class Zelkor(PreTrainedTokenizer):
    vocab_files_names = {"vocab_file": "vocab.json"}
    model_input_names = ["input_ids", "attention_mask"]

    def __init__(
        self,
        vocab_file,
        unk_token="<unk>",
        pad_token="<pad>",
        bos_token="<s>",
        eos_token="</s>",
        mask_token="<mask>",
        **kwargs,
    ):
        if not os.path.isfile(vocab_file):
            raise FileNotFoundError(f"vocab_file not found: {vocab_file}")
        with open(vocab_file, "r", encoding="utf-8") as f:
            raw = json.load(f)
        self.vocab: Dict[str, int] = {tok: int(tid) for tok, tid in raw.items()}
        self.id_to_token: Dict[int, str] = {tid: tok for tok, tid in self.vocab.items()}

        super().__init__(
            unk_token=unk_token,
            pad_token=pad_token,
            bos_token=bos_token,
            eos_token=eos_token,
            mask_token=mask_token,
            **kwargs,
        )

        # Only now, so that the special tokens are set up.
        if self.unk_token not in self.vocab:
            raise ValueError(f"unk_token {self.unk_token!r} not in vocab")
        self._unk_id = self.vocab[self.unk_token]
        self._trie = _TokenTrie(self.vocab)

        # The native path is preferred because it is faster; ZELKOR_DISABLE_NATIVE=1 switches it off
        # for alignment checks and troubleshooting (any value does).
        self._native = None
        if _NATIVE_AVAILABLE and "ZELKOR_DISABLE_NATIVE" not in os.environ:
            try:
                self._native = _NativeDpTokenizer(vocab_file, self.unk_token)
            except Exception:
                self._native = None

    @property
    def vocab_size(self) -> int:
        return len(self.vocab)

    def get_vocab(self) -> Dict[str, int]:
        return dict(self.vocab)

    def _tokenize(self, text: str) -> List[str]:
        if self._native is not None:
            ids = self._native.encode(text)
        else:
            ids = self._trie.dp_min_ids(_normalize(text), self._unk_id)
        return [self.id_to_token[int(i)] for i in ids]

    def __call__(
        self,
        text,
        text_pair=None,
        add_special_tokens=True,
        padding=False,
        truncation=False,
        max_length=None,
        stride=0,
        is_split_into_words=False,
        pad_to_multiple_of=None,
        return_tensors=None,
        return_token_type_ids=None,
        return_attention_mask=None,
        return_overflowing_tokens=False,
        return_special_tokens_mask=False,
        return_offsets_mapping=False,
        return_length=False,
        verbose=True,
        **kwargs,
    ):
        # Batched input prefers the native encode_batch for throughput; everything more complex
        # falls back to the transformers default.
        if (
            self._native is not None
            and text_pair is None
            and isinstance(text, (list, tuple))
            and not is_split_into_words
            and stride == 0
            and not return_overflowing_tokens
            and not return_special_tokens_mask
            and not return_offsets_mapping
            and not kwargs
        ):
            return self._batch_encode_native(
                list(text),
                add_special_tokens=add_special_tokens,
                padding=padding,
                truncation=truncation,
                max_length=max_length,
                pad_to_multiple_of=pad_to_multiple_of,
                return_tensors=return_tensors,
                return_token_type_ids=return_token_type_ids,
                return_attention_mask=return_attention_mask,
                return_length=return_length,
            )
        return self._base_call(
            text,
            text_pair=text_pair,
            add_special_tokens=add_special_tokens,
            padding=padding,
            truncation=truncation,
            max_length=max_length,
            stride=stride,
            is_split_into_words=is_split_into_words,
            pad_to_multiple_of=pad_to_multiple_of,
            return_tensors=return_tensors,
            return_token_type_ids=return_token_type_ids,
            return_attention_mask=return_attention_mask,
            return_overflowing_tokens=return_overflowing_tokens,
            return_special_tokens_mask=return_special_tokens_mask,
            return_offsets_mapping=return_offsets_mapping,
            return_length=return_length,
            verbose=verbose,
            **kwargs,
        )

    def _base_call(self, *args, **kwargs):
        # The base class's __call__, with this object marked as inside it (see _in_base_call).
        ids = _base_call_ids()
        key = id(self)
        if key in ids:
            return super().__call__(*args, **kwargs)
        ids.add(key)
        try:
            return super().__call__(*args, **kwargs)
        finally:
            ids.discard(key)

    def batch_encode_plus(self, batch_text_or_text_pairs, **kwargs):
        if (
            self._native is not None
            and id(self) not in _base_call_ids()
            and isinstance(batch_text_or_text_pairs, (list, tuple))
            and len(batch_text_or_text_pairs) > 0
            and all(isinstance(t, str) for t in batch_text_or_text_pairs)
        ):
            return self.__call__(list(batch_text_or_text_pairs), **kwargs)
        # For users who call it directly. transformers 5 has no batch_encode_plus; its __call__
        # takes the same batches (pairs as 2-tuples).
        base = getattr(super(), "batch_encode_plus", None)
        if base is not None:
            return base(batch_text_or_text_pairs, **kwargs)
        return self._base_call(batch_text_or_text_pairs, **kwargs)

    def _batch_encode_native(
        self,
        texts,
        add_special_tokens,
        padding,
        truncation,
        max_length,
        pad_to_multiple_of,
        return_tensors,
        return_token_type_ids,
        return_attention_mask,
        return_length,
    ):
        # Deferred import, so that importing this module does not fail in a test environment
        # without transformers.
        from transformers.tokenization_utils_base import BatchEncoding

        assert self._native is not None
        input_ids = self._native.encode_batch(texts)

        if add_special_tokens:
            bos_id = self.vocab.get(self.bos_token) if self.bos_token is not None else None
            eos_id = self.vocab.get(self.eos_token) if self.eos_token is not None else None
            if bos_id is not None or eos_id is not None:
                head = [bos_id] if bos_id is not None else []
                tail = [eos_id] if eos_id is not None else []
                input_ids = [head + ids + tail for ids in input_ids]

        if truncation and max_length is not None:
            # Simplified, single-sequence truncation.
            input_ids = [ids[:max_length] for ids in input_ids]

        # Padding: True, "longest" and "max_length" are supported.
        pad_id = self.vocab.get(self.pad_token, self._unk_id)
        want_mask = True if return_attention_mask is None else bool(return_attention_mask)
        target = None
        if padding is True or padding == "longest":
            target = max((len(ids) for ids in input_ids), default=0)
        elif padding == "max_length" and max_length is not None:
            target = max_length
        if target is not None and pad_to_multiple_of and target % pad_to_multiple_of != 0:
            target = (target // pad_to_multiple_of + 1) * pad_to_multiple_of

        attention_mask = []
        if target is not None:
            padded = []
            for ids in input_ids:
                missing = target - len(ids)
                if missing > 0:
                    padded.append(ids + [pad_id] * missing)
                    attention_mask.append([1] * len(ids) + [0] * missing)
                else:
                    padded.append(ids)
                    attention_mask.append([1] * len(ids))
            input_ids = padded
        else:
            attention_mask = [[1] * len(ids) for ids in input_ids]

        data = {"input_ids": input_ids}
        if want_mask:
            data["attention_mask"] = attention_mask
        if return_token_type_ids:
            data["token_type_ids"] = [[0] * len(ids) for ids in input_ids]
        if return_length:
            data["length"] = [len(ids) for ids in input_ids]
        return BatchEncoding(data, tensor_type=return_tensors)

    def _convert_token_to_id(self, token: str) -> int:
        return self.vocab.get(token, self._unk_id)

    def _convert_id_to_token(self, index: int) -> str:
        return self.id_to_token.get(int(index), self.unk_token)

    def convert_tokens_to_string(self, tokens: List[str]) -> str:
        # Simple de-normalisation: end-of-word markers become spaces.
        return "".join(tokens).replace(END_TOKEN, " ").strip()

    def _save_pretrained(self, save_directory, file_names, **kwargs):
        # save_pretrained has written the config by now and uploads (push_to_hub) only after this.
        for name in file_names:
            if os.path.basename(name).endswith("tokenizer_config.json"):
                _pair_auto_map(name)
        return super()._save_pretrained(save_directory=save_directory, file_names=file_names, **kwargs)

    def save_vocabulary(self, save_directory: str, filename_prefix: Optional[str] = None) -> Tuple[str]:
        os.makedirs(save_directory, exist_ok=True)
        name = (filename_prefix + "-" if filename_prefix else "") + "vocab.json"
        path = os.path.join(save_directory, name)
        with open(path, "w", encoding="utf-8") as f:
            json.dump(self.vocab, f, ensure_ascii=False, indent=2)
            f.write("\n")
        return (path,)
