"""A host scorer over dense text embeddings from any encoder.

numpy is imported when the first :class:`EmbeddingScorer` is built, so ``import kova_discovery``
works without it (``pip install 'kova_discovery[embedding]'`` brings it in).
"""

from __future__ import annotations

from collections import OrderedDict
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    _Int16 = npt.NDArray[np.int16]
    _Float = npt.NDArray[np.float32]
else:
    _Int16 = _Float = Any

#: Unit-length text vectors are stored as 16-bit fixed point with this scale. Integer sums of
#: them are exact, so forgetting a text subtracts precisely what learning it added, in any
#: order: an agent's vector after any run of learn/forget equals the one built from scratch.
#: The rounding (at most 1.5e-5 per component) moves a cosine by far less than rankings notice.
_SCALE = 32767.0


class _Agent:
    __slots__ = ("row", "caps", "total", "remembered", "registered", "rebuilding", "stale",
                 "caps_known")

    def __init__(self, row: int, registered: tuple[str, ...]) -> None:
        self.row = row
        self.caps: Any = None  # int64 sum of the fixed-point vectors of its capabilities
        self.total: Any = None  # the same with the remembered texts' vectors added
        self.remembered: dict[str, _Int16] = {}
        self.registered = registered  # the capability texts it was registered with
        # Its learn or forget just raised: the network's next index_capabilities for it is a
        # rebuild (capabilities, then every remembered text), not a registration anew.
        self.rebuilding = False
        self.stale = False  # a rebuild could not encode every text: the vector lacks some
        self.caps_known = True  # false while its capabilities were never encoded


class EmbeddingScorer:
    """A scorer for :class:`LocalNetwork` that ranks agents by the cosine similarity of sentence
    embeddings.

    ``encode`` takes a list of texts and returns one vector per text as a 2-D array-like of
    shape ``(len(texts), dimension)``; any encoder works, for example sentence-transformers::

        from sentence_transformers import SentenceTransformer
        from kova_discovery import EmbeddingScorer, LocalNetwork

        model = SentenceTransformer("all-MiniLM-L6-v2")
        scorer = EmbeddingScorer(lambda texts: model.encode(texts))
        network = LocalNetwork(scorer=scorer, query_memory=100)

    Each text's vector is scaled to unit length; an agent's vector is the normalised mean of
    the vectors of its capabilities and of the query texts it remembers (``learn`` adds one,
    ``forget`` takes it away again, both without re-encoding the rest). A query's similarity
    to an agent is the cosine of the two vectors, clipped at 0: texts pointing away from each
    other are no match, not a negative one. Agents at 0 are left out of the result.

    ``cache_size`` query vectors are kept (least recently used dropped first), so that a
    repeated query encodes nothing. Discovery hands the scorer its query in lower case with
    single spaces: a success reported with a query written that way just after its discovery
    finds its vector cached too; otherwise the remembered text is encoded as written. A
    success also scores the agent's capabilities, joined into one text, to find the agents
    resembling it: that text is encoded and cached like a query. Encoding a query is usually
    the whole cost of a discovery with this scorer.

    Raises ValueError when ``encode`` returns something other than one finite vector per text,
    or vectors of a different dimension than before.
    """

    def __init__(self, encode: Callable[[list[str]], Any], *, cache_size: int = 1024) -> None:
        try:
            import numpy
        except ImportError as exc:  # pragma: no cover - depends on the environment
            raise ImportError(
                "EmbeddingScorer needs numpy: pip install 'kova_discovery[embedding]'"
            ) from exc
        if not callable(encode):
            raise TypeError(f"encode must be callable, not {type(encode).__name__}")
        if isinstance(cache_size, bool) or not isinstance(cache_size, int):
            raise TypeError(f"cache_size must be an int, not {type(cache_size).__name__}")
        if cache_size < 0:
            raise ValueError(f"cache_size must be >= 0, got {cache_size}")
        self._np = numpy
        self._encode = encode
        self._cache_size = cache_size
        self._cache: OrderedDict[str, tuple[_Float, _Int16]] = OrderedDict()
        self._dim: int | None = None
        self._agents: dict[str, _Agent] = {}
        # Agent vectors, one row each; a removed agent's row is zeroed and handed to the
        # next one registered, so the matrix never holds more rows than agents ever coexisted.
        self._matrix: _Float = numpy.zeros((0, 0), dtype=numpy.float32)
        self._names: list[str] = []  # "" for a free row
        self._free: list[int] = []

    def __repr__(self) -> str:
        return f"EmbeddingScorer(agents={len(self._agents)}, dimension={self._dim})"

    @property
    def dimension(self) -> int | None:
        """The encoder's vector length, known once it has encoded something."""
        return self._dim

    # -- encoding ------------------------------------------------------------------------

    def _vectors(self, texts: Sequence[str]) -> tuple[_Float, _Int16]:
        """Unit-length float vectors and their fixed-point form, one row per text."""
        np = self._np
        if not texts:
            dim = self._dim or 0
            return np.zeros((0, dim), np.float32), np.zeros((0, dim), np.int16)
        returned = np.asarray(self._encode(list(texts)))
        if np.iscomplexobj(returned):
            raise ValueError("encode() returned complex vectors; it must return real ones")
        try:
            raw = returned.astype(np.float64)
        except (TypeError, ValueError, OverflowError) as exc:
            raise ValueError(f"encode() must return vectors of numbers: {exc}") from exc
        if raw.ndim != 2 or raw.shape[0] != len(texts):
            raise ValueError(
                f"encode() must return one vector per text: {len(texts)} texts gave an array "
                f"of shape {raw.shape}"
            )
        if self._dim is not None and raw.shape[1] != self._dim:
            raise ValueError(
                f"encode() returned vectors of dimension {raw.shape[1]}, earlier ones had "
                f"{self._dim}"
            )
        if not np.isfinite(raw).all():
            raise ValueError("encode() returned a vector with a NaN or infinite component")
        self._dim = raw.shape[1]
        if raw.shape[1]:
            # Scaled by the largest component first, so that finite vectors of any magnitude
            # neither overflow nor underflow the norm.
            peaks = np.abs(raw).max(axis=1, keepdims=True)
            raw = raw / np.where(peaks > 0.0, peaks, 1.0)
        norms = np.linalg.norm(raw, axis=1, keepdims=True)
        unit = raw / np.where(norms > 0.0, norms, 1.0)
        return unit.astype(np.float32), np.rint(unit * _SCALE).astype(np.int16)

    def _one(self, text: str) -> tuple[_Float, _Int16]:
        hit = self._cache.get(text)
        if hit is not None:
            self._cache.move_to_end(text)
            return hit
        unit, fixed = self._vectors([text])
        pair = (unit[0], fixed[0])
        if self._cache_size:
            self._cache[text] = pair
            if len(self._cache) > self._cache_size:
                self._cache.popitem(last=False)
        return pair

    # -- the matrix ----------------------------------------------------------------------

    def _write_row(self, agent: _Agent) -> None:
        np = self._np
        if self._matrix.shape[1] != self._dim:
            # The first vectors fix the dimension; rows written before it are all zero.
            self._matrix = np.zeros((self._matrix.shape[0], self._dim or 0), np.float32)
        vector = agent.total.astype(np.float64)
        norm = float(np.linalg.norm(vector))
        self._matrix[agent.row] = vector / norm if norm > 0.0 else 0.0

    def _take_row(self, name: str) -> int:
        if self._free:
            row = self._free.pop()
            self._names[row] = name
            return row
        row = len(self._names)
        self._names.append(name)
        if row >= self._matrix.shape[0]:
            grown = self._np.zeros((max(16, 2 * row), self._matrix.shape[1]), self._np.float32)
            grown[:row] = self._matrix[:row]
            self._matrix = grown
        return row

    # -- the host scorer protocol --------------------------------------------------------

    def index_capabilities(self, name: str, capabilities: list[str]) -> None:
        """Index (or re-index) an agent; it forgets every text it had learned."""
        texts = tuple(capabilities)
        agent = self._agents.get(name)
        # Where learning failed, the network indexes the agent anew with the capabilities it
        # was registered with followed by the texts it remembers.
        rebuild = (agent is not None and agent.rebuilding
                   and texts[:len(agent.registered)] == agent.registered)
        if agent is not None:
            agent.rebuilding = False
        try:
            _, fixed = self._vectors(texts)
        except BaseException:
            if agent is not None and rebuild:
                # A rebuild keeps the vectors it has of the texts still named, and marks the
                # agent stale while one is missing, so that its next learn or forget raises
                # and the network tries again.
                named = texts[len(agent.registered):]
                self._set_texts(agent, self._fixed_sum(agent.caps), {
                    t: agent.remembered[t] for t in named if t in agent.remembered})
                agent.stale = (not agent.caps_known
                               or len(agent.remembered) < len(set(named)))
            else:
                # A registration (anew) that could not encode: the agent ranks nowhere, not on
                # an old vector, and stays stale until a rebuild encodes its texts.
                if agent is None:
                    agent = self._agents[name] = _Agent(self._take_row(name), texts)
                agent.registered = texts
                self._set_texts(agent, self._fixed_sum(None), {})
                agent.stale, agent.caps_known = True, False
            raise
        if agent is None:
            agent = self._agents[name] = _Agent(self._take_row(name), texts)
        elif not rebuild:
            agent.registered = texts
        agent.stale, agent.caps_known = False, True
        k = len(agent.registered)
        # Texts after the capabilities are remembered ones, held apart so that each can still
        # be forgotten alone.
        self._set_texts(agent, self._fixed_sum(fixed[:k]),
                        {t: fixed[k + i] for i, t in enumerate(texts[k:])})

    def _fixed_sum(self, vectors: Any) -> Any:
        """The int64 sum of fixed-point vectors, a zero vector of the current dimension for
        none (or for a sum taken before anything fixed the dimension)."""
        np = self._np
        dim = self._dim or 0
        if vectors is None or len(vectors) == 0 or vectors.shape[-1] != dim:
            return np.zeros(dim, np.int64)
        return vectors.sum(axis=0, dtype=np.int64) if vectors.ndim == 2 else vectors

    def _set_texts(self, agent: _Agent, caps: Any, remembered: dict[str, _Int16]) -> None:
        agent.caps = caps
        agent.remembered = remembered
        agent.total = caps + sum(remembered.values(), self._fixed_sum(None))
        self._write_row(agent)

    def remove_agent(self, name: str) -> None:
        agent = self._agents.pop(name, None)
        if agent is None:
            return
        self._matrix[agent.row] = 0.0
        self._names[agent.row] = ""
        self._free.append(agent.row)

    def learn(self, name: str, text: str) -> None:
        """Add a remembered query text to an agent's vector (a text it holds is ignored).

        Raises KeyError for an agent it does not hold or one whose texts could not all be
        encoded when it was last indexed, so that the network indexes it anew.
        """
        agent = self._agents.get(name)
        if agent is None:
            raise KeyError(name)
        if agent.stale:
            agent.rebuilding = True
            raise KeyError(text)
        if text in agent.remembered:
            return
        try:
            _, fixed = self._one(text)
        except BaseException:
            agent.rebuilding = True
            raise
        if agent.total.shape[0] != fixed.shape[0]:
            # Registered with no text before anything fixed the dimension: its sum is empty.
            agent.total = agent.caps = self._fixed_sum(None)
        agent.remembered[text] = fixed
        agent.total = agent.total + fixed
        self._write_row(agent)

    def forget(self, name: str, text: str) -> None:
        """Take a remembered text out of an agent's vector again.

        Raises KeyError for an agent or a remembered text it does not hold (one whose `learn`
        failed), so that the network indexes the agent anew with what it still remembers.
        """
        agent = self._agents.get(name)
        if agent is None:
            raise KeyError(name)
        fixed = None if agent.stale else agent.remembered.pop(text, None)
        if fixed is None:
            agent.rebuilding = True
            raise KeyError(text)
        agent.total = agent.total - fixed
        self._write_row(agent)

    def score(self, query: str) -> list[tuple[str, float]]:
        """(agent, similarity in [0, 1]) for every agent with a positive cosine."""
        unit, _ = self._one(query)
        used = len(self._names)
        if not used or self._matrix.shape[1] != unit.shape[0]:
            return []
        sims = self._matrix[:used] @ unit
        hits = self._np.flatnonzero(sims > 0.0)
        names = self._names
        # Rounding can carry a text's cosine with itself a hair past 1.
        return [(names[i], min(s, 1.0)) for i, s in zip(hits.tolist(), sims[hits].tolist())]
