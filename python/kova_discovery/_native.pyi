"""KOVA Discovery — local agent discovery via bio-inspired routing."""

import os
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import Any, Literal, Protocol, Self, SupportsIndex, TypedDict, final, overload

# Operator form of a filter condition; the first key present of "$in", "$lt", "$gt",
# "$contains" (in that order) decides, the others are ignored.
_FilterOperators = TypedDict(
    "_FilterOperators",
    {"$in": Sequence[str], "$lt": float, "$gt": float, "$contains": str},
    total=False,
)
_FilterCondition = str | FilterValue | _FilterOperators
# Must be a dict (or dict subclass) at run time; typed as a Mapping so that a dict whose
# values are all of one kind (dict[str, str], say) type-checks as it is.
_Filters = Mapping[str, _FilterCondition]

_Confidence = Literal["unanimous", "majority", "split", "no_viable_agents", "none"]
_KernelName = Literal[
    "capability_matching", "novelty_seeking", "load_balancing", "temporal_recency"
]

class _RoutingState(TypedDict):
    diameter: float
    tau: float
    sigma: float
    forwards: int
    consecutive_failures: int
    circuit: Literal["closed", "open", "half_open"]
    feedback: int
    endpoint: str | None

class _HostScorer(Protocol):
    """What a host object needs to act as the network's scorer."""

    def index_capabilities(self, agent_id: str, capabilities: list[str], /) -> object: ...
    def remove_agent(self, agent_id: str, /) -> object: ...
    def score(self, query: str, /) -> Sequence[tuple[str, float]]: ...

class _LearningHostScorer(_HostScorer, Protocol):
    """A host scorer that follows query memory itself (both methods are optional).

    With ``query_memory`` on, the network calls ``learn(agent, text)`` when an agent
    remembers a new query text and ``forget(agent, text)`` when it drops one. A scorer
    without the method, or whose method raises (logged), gets
    ``index_capabilities(agent, capabilities + remembered)`` instead.
    """

    def learn(self, agent_id: str, text: str, /) -> object: ...
    def forget(self, agent_id: str, text: str, /) -> object: ...

# What `LocalNetwork(scorer=...)` and `HybridScorer` accept.
_Scorer = TfIdfScorer | Bm25Scorer | HybridScorer | _HostScorer

@final
class LocalNetwork:
    def __new__(
        cls,
        *,
        similarity_threshold: float | None = None,
        scorer: _Scorer | None = None,
        config: DiscoveryConfig | None = None,
        query_memory: int = 0,
        query_expansion: bool | None = None,
    ) -> Self: ...
    def register(
        self,
        name: str,
        capabilities: Sequence[str],
        *,
        endpoint: str | None = None,
        metadata: dict[str, str] | None = None,
        invoke: Callable[..., Any] | None = None,
    ) -> None: ...
    def deregister(self, name: str) -> bool: ...
    @overload
    def discover(
        self,
        query: str | Query,
        *,
        filters: _Filters | None = None,
        explain: Literal[False] = False,
        with_confidence: Literal[False] = False,
        limit: int | None = None,
    ) -> list[DiscoveryResult]: ...
    @overload
    def discover(
        self,
        query: str | Query,
        *,
        filters: _Filters | None = None,
        explain: Literal[True],
        with_confidence: bool = False,
        limit: int | None = None,
    ) -> list[ExplainedResult]: ...
    @overload
    def discover(
        self,
        query: str | Query,
        *,
        filters: _Filters | None = None,
        explain: Literal[False] = False,
        with_confidence: Literal[True],
        limit: int | None = None,
    ) -> DiscoveryResponse: ...
    @overload
    def discover(
        self,
        query: str | Query,
        *,
        filters: _Filters | None = None,
        explain: bool = False,
        with_confidence: bool = False,
        limit: int | None = None,
    ) -> list[DiscoveryResult] | list[ExplainedResult] | DiscoveryResponse: ...
    @overload
    def discover_many(
        self,
        queries: Sequence[str],
        *,
        filters: _Filters | None = None,
        explain: Literal[False] = False,
        limit: int | None = None,
    ) -> list[list[DiscoveryResult]]: ...
    @overload
    def discover_many(
        self,
        queries: Sequence[str],
        *,
        filters: _Filters | None = None,
        explain: Literal[True],
        limit: int | None = None,
    ) -> list[list[ExplainedResult]]: ...
    @overload
    def discover_many(
        self,
        queries: Sequence[str],
        *,
        filters: _Filters | None = None,
        explain: bool = False,
        limit: int | None = None,
    ) -> list[list[DiscoveryResult]] | list[list[ExplainedResult]]: ...
    def record_success(self, agent_name: str, *, query: str | None = None) -> None: ...
    def record_failure(self, agent_name: str, *, query: str | None = None) -> None: ...
    def tick(self) -> None: ...
    @property
    def agent_count(self) -> int: ...
    def agents(self) -> list[str]: ...
    @property
    def exploration_epsilon(self) -> float: ...
    def enable_replay(self, max_events: int = 10000) -> None: ...
    @property
    def replay_event_count(self) -> int: ...
    @property
    def replay_enabled(self) -> bool: ...
    def replay_events(self) -> list[dict[str, Any]]: ...
    def replay_clear(self) -> None: ...
    def detect_drift(
        self, *, threshold: float = 0.3, min_samples: int = 5
    ) -> list[dict[str, Any]]: ...
    def save(
        self, path: str | os.PathLike[str], *, extra: dict[str, str | int] | None = None
    ) -> None: ...
    @property
    def loaded_extra(self) -> dict[str, str | int]: ...
    @staticmethod
    def load(
        path: str | os.PathLike[str], *, scorer: _Scorer | None = None
    ) -> LocalNetwork: ...
    def remembered(self, name: str) -> list[str]: ...
    def routing_state(self, name: str) -> _RoutingState: ...
    @property
    def query_memory(self) -> int: ...
    @property
    def query_expansion(self) -> bool: ...

@final
class DiscoveryResult:
    @property
    def agent_name(self) -> str: ...
    @property
    def similarity(self) -> float: ...
    @property
    def score(self) -> float: ...
    @property
    def endpoint(self) -> str | None: ...
    @property
    def metadata(self) -> dict[str, str]: ...
    @property
    def invoke(self) -> Callable[..., Any] | None: ...
    @property
    def final_score(self) -> float: ...
    @property
    def raw_similarity(self) -> float: ...

@final
class ExplainedResult:
    @property
    def agent_name(self) -> str: ...
    @property
    def raw_similarity(self) -> float: ...
    @property
    def similarity_lower(self) -> float: ...
    @property
    def similarity_upper(self) -> float: ...
    @property
    def diameter(self) -> float: ...
    @property
    def enzyme_score(self) -> float: ...
    @property
    def feedback_factor(self) -> float: ...
    @property
    def final_score(self) -> float: ...
    @property
    def endpoint(self) -> str | None: ...
    @property
    def metadata(self) -> dict[str, str]: ...

@final
class DiscoveryResponse:
    @property
    def results(self) -> list[DiscoveryResult]: ...
    @property
    def confidence(self) -> _Confidence: ...
    @property
    def dissenting_kernel(self) -> _KernelName | None: ...
    @property
    def alternative_agents(self) -> list[str]: ...
    @property
    def recommended_parallelism(self) -> int: ...
    @property
    def best_below_threshold(self) -> tuple[str, float] | None: ...
    def __len__(self) -> int: ...
    def __getitem__(self, idx: SupportsIndex, /) -> DiscoveryResult: ...
    def __iter__(self) -> Iterator[DiscoveryResult]: ...

@final
class Query:
    @staticmethod
    def all(*queries: str | Query) -> Query: ...
    @staticmethod
    def any(*queries: str | Query) -> Query: ...
    @staticmethod
    def weighted(mapping: dict[str, float]) -> Query: ...
    def exclude(self, query: str | Query) -> Query: ...

@final
class FilterValue:
    @staticmethod
    def exact(value: str) -> FilterValue: ...
    @staticmethod
    def contains(substring: str) -> FilterValue: ...
    @staticmethod
    def one_of(options: Sequence[str]) -> FilterValue: ...
    @staticmethod
    def less_than(threshold: float) -> FilterValue: ...
    @staticmethod
    def greater_than(threshold: float) -> FilterValue: ...

@final
class TfIdfScorer:
    def __new__(cls) -> Self: ...

@final
class Bm25Scorer:
    def __new__(
        cls,
        *,
        k1: float = 1.2,
        b: float = 0.75,
        stop_words: str | None = "english",
        stemmer: str | None = "english",
        memory_weight: float = 0.25,
    ) -> Self: ...
    @property
    def k1(self) -> float: ...
    @property
    def b(self) -> float: ...
    @property
    def stop_words(self) -> str | None: ...
    @property
    def stemmer(self) -> str | None: ...
    @property
    def memory_weight(self) -> float: ...

@final
class HybridScorer:
    def __new__(cls, scorers: Sequence[tuple[_Scorer, float]]) -> Self: ...
    @property
    def scorers(self) -> tuple[tuple[_Scorer, float], ...]: ...

@final
class CircuitBreakerConfig:
    def __new__(cls) -> Self: ...
    @staticmethod
    def with_threshold_and_timeout(
        failure_threshold: int, recovery_timeout_secs: int
    ) -> CircuitBreakerConfig: ...

@final
class MycorrhizalPropagator:
    def __new__(cls) -> Self: ...
    @staticmethod
    def with_config(
        propagation_attenuation: float, propagation_threshold: float
    ) -> MycorrhizalPropagator: ...

# Of these settings the network uses `similarity_threshold` and `max_disagreement_split`; the
# others are checked, kept and shown, and the learning rules use fixed values of their own.
@final
class DiscoveryConfig:
    def __new__(
        cls,
        similarity_threshold: float = 0.1,
        feedback_relevance_threshold: float = 0.3,
        tie_epsilon: float = 1e-4,
        tau_floor: float = 0.001,
        max_feedback_records: int = 100,
        diameter_initial: float = 0.5,
        diameter_min: float = 0.01,
        diameter_max: float = 2.0,
        epsilon_initial: float = 0.8,
        epsilon_floor: float = 0.05,
        epsilon_decay_rate: float = 0.99,
        max_disagreement_split: int = 3,
    ) -> Self: ...
    @property
    def similarity_threshold(self) -> float: ...
    @property
    def feedback_relevance_threshold(self) -> float: ...
    @property
    def tie_epsilon(self) -> float: ...
    @property
    def tau_floor(self) -> float: ...
    @property
    def max_feedback_records(self) -> int: ...
    @property
    def diameter_initial(self) -> float: ...
    @property
    def diameter_min(self) -> float: ...
    @property
    def diameter_max(self) -> float: ...
    @property
    def epsilon_initial(self) -> float: ...
    @property
    def epsilon_floor(self) -> float: ...
    @property
    def epsilon_decay_rate(self) -> float: ...
    @property
    def max_disagreement_split(self) -> int: ...

def capabilities_from_a2a_rust(agent_card: object) -> list[str]: ...
