"""The systems under comparison, each behind the same two calls.

`build(agents)` indexes a registry; `rank(query)` returns the agents for one query, best
first, in the system's natural result form; `names(query)` returns just the ranked names
(for the quality measures). Every system ranks the whole registry and returns every agent
whose score clears its threshold: the engine's own similarity threshold, the same 0.1 for
the estimated Jaccard and cosine peers, and any positive score for BM25, whose scores have
no fixed scale.
"""

from __future__ import annotations

import re
import warnings
from collections.abc import Sequence
from typing import Any

from workloads import Agent

THRESHOLD = 0.1
MINHASH_PERMUTATIONS = 64

_DELIMITERS = re.compile(rb"[ \t,\-._]+")
_TOKENS = re.compile(r"(?u)\b\w\w+\b")


def engine_shingles(text: str) -> list[bytes]:
    """The shingle set the engine signs: byte 3-grams plus delimiter-split words, ASCII lower."""
    data = text.encode("utf-8").lower()  # bytes.lower touches ASCII letters only
    grams = {data[i : i + 3] for i in range(len(data) - 2)} or {data}
    words = {w for w in _DELIMITERS.split(data) if w} or {data}
    return list(grams | words)


def word_tokens(text: str) -> list[str]:
    """Lower-case word tokens as scikit-learn's default analyser cuts them."""
    return _TOKENS.findall(text.lower())


class Ranker:
    label = ""

    def build(self, agents: Sequence[Agent]) -> None:
        raise NotImplementedError

    def rank(self, query: str) -> list:
        raise NotImplementedError

    def rank_many(self, queries: Sequence[str]) -> list:
        return [self.rank(q) for q in queries]

    def names(self, query: str) -> list[str]:
        return [name for name, _ in self.rank(query)]


class Engine(Ranker):
    """kova_discovery's LocalNetwork with the default MinHash scorer or TfIdfScorer."""


    def __init__(self, scorer: str = "minhash", threshold: float | None = None,
                 many: bool = False) -> None:
        self.scorer = scorer
        self.threshold = threshold
        self.many = many
        kind = "TfIdfScorer" if scorer == "tfidf" else "MinHash (default)"
        self.label = f"discover_many, {kind}" if many else f"discover, {kind}"
        if threshold is not None:
            self.label += f", threshold {threshold:g}"
        self.network: Any = None

    def new_network(self) -> Any:
        from kova_discovery import LocalNetwork, TfIdfScorer

        return LocalNetwork(scorer=TfIdfScorer() if self.scorer == "tfidf" else None,
                            similarity_threshold=self.threshold)

    def build(self, agents: Sequence[Agent]) -> None:
        network = self.new_network()
        register = network.register
        for agent in agents:
            register(agent.name, [agent.description])
        self.network = network

    def rank(self, query: str) -> list:
        return self.network.discover(query)

    def rank_many(self, queries: Sequence[str]) -> list:
        if self.many:
            return self.network.discover_many(list(queries))
        discover = self.network.discover
        return [discover(q) for q in queries]

    def names(self, query: str) -> list[str]:
        return [r.agent_name for r in self.network.discover(query)]


class _Dense(Ranker):
    """Shared tail: a score per agent in a numpy vector, thresholded and sorted."""

    def __init__(self, threshold: float = THRESHOLD) -> None:
        self.threshold = threshold

    def _ranked(self, scores, keep):
        import numpy as np

        idx = np.flatnonzero(keep)
        idx = idx[np.argsort(-scores[idx], kind="stable")]
        return list(zip(self._names[idx].tolist(), scores[idx].tolist()))


# The last registry's sketches: the scan and the LSH index index the same sketches, and
# sketching is by far the costliest part of building either.
_SKETCHES: dict[int, tuple] = {}


def forget_sketches() -> None:
    _SKETCHES.clear()


class DataSketchScan(_Dense):
    """datasketch MinHash (64 permutations) over the engine's shingles; every agent's
    estimated Jaccard computed in one vectorised pass over the stacked signatures."""

    label = "datasketch MinHash, linear scan"

    def build(self, agents: Sequence[Agent]) -> None:
        import numpy as np
        from datasketch import MinHash

        cached = _SKETCHES.get(id(agents))
        if cached is None or cached[0] is not agents:
            sketches = MinHash.bulk((engine_shingles(a.description) for a in agents),
                                    num_perm=MINHASH_PERMUTATIONS)
            _SKETCHES.clear()
            _SKETCHES[id(agents)] = (agents, sketches)
        sketches = _SKETCHES[id(agents)][1]
        self._names = np.array([a.name for a in agents], dtype=object)
        self._matrix = np.vstack([m.hashvalues for m in sketches])
        self._sketches = sketches
        # Copying an empty sketch reuses its permutations; a new MinHash would draw them again.
        self._empty = MinHash(num_perm=MINHASH_PERMUTATIONS)

    def _query_sketch(self, query: str):
        m = self._empty.copy()
        m.update_batch(engine_shingles(query))
        return m

    def rank(self, query: str) -> list:
        values = self._query_sketch(query).hashvalues
        scores = (self._matrix == values).mean(axis=1)
        return self._ranked(scores, scores >= self.threshold)


class DataSketchLSH(DataSketchScan):
    """datasketch's MinHashLSH index at the same threshold; its candidates are then ranked
    by estimated Jaccard."""

    label = "datasketch MinHashLSH index"

    def build(self, agents: Sequence[Agent]) -> None:
        from datasketch import MinHashLSH

        super().build(agents)
        self._lsh = MinHashLSH(threshold=max(self.threshold, 0.01), num_perm=MINHASH_PERMUTATIONS)
        with self._lsh.insertion_session() as session:
            for i, m in enumerate(self._sketches):
                session.insert(i, m, check_duplication=False)

    def rank(self, query: str) -> list:
        import numpy as np

        m = self._query_sketch(query)
        found = np.fromiter(self._lsh.query(m), dtype=np.int64)
        if found.size == 0:
            return []
        scores = (self._matrix[found] == m.hashvalues).mean(axis=1)
        keep = np.flatnonzero(scores >= self.threshold)
        order = keep[np.argsort(-scores[keep], kind="stable")]
        return list(zip(self._names[found[order]].tolist(), scores[order].tolist()))


class SklearnTfidf(_Dense):
    """scikit-learn TfidfVectorizer; cosine as one sparse matrix-vector product (rows are
    L2-normalised)."""

    label = "scikit-learn TF-IDF + cosine"

    def build(self, agents: Sequence[Agent]) -> None:
        import numpy as np
        from sklearn.feature_extraction.text import TfidfVectorizer

        self._vectorizer = TfidfVectorizer()
        self._matrix = self._vectorizer.fit_transform([a.description for a in agents]).tocsr()
        self._names = np.array([a.name for a in agents], dtype=object)

    def rank(self, query: str) -> list:
        q = self._vectorizer.transform([query])
        scores = (self._matrix @ q.T).toarray().ravel()
        return self._ranked(scores, scores >= self.threshold)


class Bm25(_Dense):
    """rank-bm25's BM25Okapi over scikit-learn-style word tokens."""

    label = "rank-bm25 (BM25Okapi)"

    def build(self, agents: Sequence[Agent]) -> None:
        import numpy as np
        from rank_bm25 import BM25Okapi

        self._bm25 = BM25Okapi([word_tokens(a.description) or ["_"] for a in agents])
        self._names = np.array([a.name for a in agents], dtype=object)

    def rank(self, query: str) -> list:
        scores = self._bm25.get_scores(word_tokens(query))
        return self._ranked(scores, scores > 0.0)


class Bm25Stemmed(Bm25):
    """The ranking targets' reference: BM25Okapi over scikit-learn's English stop words and
    Snowball English stems. `build` takes each agent's description followed by any texts in
    `remembered` (its past successful queries), joined into one document."""

    label = "rank-bm25 + stop words + Snowball stems"

    def __init__(self, threshold: float = THRESHOLD,
                 remembered: dict[str, list[str]] | None = None) -> None:
        super().__init__(threshold)
        self.remembered = remembered or {}
        import snowballstemmer
        from sklearn.feature_extraction.text import ENGLISH_STOP_WORDS

        stem = snowballstemmer.stemmer("english").stemWord
        self._tokens = lambda text: [stem(w) for w in word_tokens(text)
                                     if w not in ENGLISH_STOP_WORDS]

    def build(self, agents: Sequence[Agent]) -> None:
        import numpy as np
        from rank_bm25 import BM25Okapi

        docs = [" ".join([a.description, *self.remembered.get(a.name, ())]) for a in agents]
        self._bm25 = BM25Okapi([self._tokens(d) or ["_"] for d in docs])
        self._names = np.array([a.name for a in agents], dtype=object)

    def rank(self, query: str) -> list:
        scores = self._bm25.get_scores(self._tokens(query))
        return self._ranked(scores, scores > 0.0)


class SupervisedLinear(Ranker):
    """A supervised reference, not a ranker users could run on new tools: scikit-learn's
    LinearSVC with default settings, one class a tool, trained on each tool's description and
    its training queries (TF-IDF of Snowball stems, English stop words dropped). It shows how
    far a lexical model taught the same queries gets on this data."""

    label = "scikit-learn LinearSVC, supervised (stop words + Snowball stems)"

    def __init__(self, remembered: dict[str, list[str]]) -> None:
        self.remembered = remembered
        self._tokens = Bm25Stemmed(0.0)._tokens

    def build(self, agents: Sequence[Agent]) -> None:
        import numpy as np
        from sklearn.feature_extraction.text import TfidfVectorizer
        from sklearn.svm import LinearSVC

        texts, labels = [], []
        for i, a in enumerate(agents):
            for text in (a.description, *self.remembered.get(a.name, ())):
                texts.append(text)
                labels.append(i)
        self._vectorizer = TfidfVectorizer(analyzer=self._tokens, sublinear_tf=True)
        with warnings.catch_warnings():
            # Few queries (the smoke run) leave about one text a class, which it warns of.
            warnings.filterwarnings("ignore", "The number of unique classes", UserWarning)
            self._model = LinearSVC().fit(self._vectorizer.fit_transform(texts), labels)
        self._names = np.array([a.name for a in agents], dtype=object)

    def rank(self, query: str) -> list:
        import numpy as np

        scores = self._model.decision_function(self._vectorizer.transform([query]))[0]
        if np.ndim(scores) == 0:  # two tools: one score, for the second
            scores = np.array([-scores, scores])
        order = np.argsort(-scores, kind="stable")
        return list(zip(self._names[self._model.classes_[order]].tolist(),
                        scores[order].tolist()))


def speed_systems() -> list[Ranker]:
    return [
        Engine("minhash"),
        Engine("tfidf"),
        Engine("minhash", many=True),
        Engine("tfidf", many=True),
        DataSketchScan(),
        DataSketchLSH(),
        SklearnTfidf(),
        Bm25(),
    ]


def peers_available() -> str | None:
    """None when every peer library imports, else a message naming the missing ones."""
    missing = []
    for module in ("numpy", "datasketch", "sklearn", "rank_bm25", "snowballstemmer",
                   "matplotlib"):
        try:
            __import__(module)
        except ImportError:
            missing.append(module)
    if not missing:
        return None
    return ("benchmark extras not installed (" + ", ".join(missing) + "): "
            "pip install 'kova_discovery[bench]'")
