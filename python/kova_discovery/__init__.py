"""KOVA Discovery: in-process agent discovery with a C++ core.

Register agents with free-text capabilities, discover them with text or composed queries and
metadata filters, and report feedback from which the network learns::

    from kova_discovery import LocalNetwork

    network = LocalNetwork()
    network.register("translator", ["translate documents"], metadata={"protocol": "mcp"})
    best = network.discover("translate a contract")[0]
    network.record_success(best.agent_name, query="translate a contract")
"""

from __future__ import annotations

import json
import logging
import os
from collections.abc import Mapping
from importlib.metadata import PackageNotFoundError, version
from typing import Any

from kova_discovery._native import (
    Bm25Scorer,
    CircuitBreakerConfig,
    DiscoveryConfig,
    DiscoveryResponse,
    DiscoveryResult,
    ExplainedResult,
    FilterValue,
    HybridScorer,
    LocalNetwork,
    MycorrhizalPropagator,
    Query,
    TfIdfScorer,
    capabilities_from_a2a_rust,
)
from kova_discovery.embedding import EmbeddingScorer

# The engine's log records go to loggers under "kova_discovery" (see the README's Logging
# section). As the logging documentation asks of libraries, nothing is printed unless the
# application configures logging: without this handler, warnings would reach stderr through
# logging's last-resort handler.
logging.getLogger("kova_discovery").addHandler(logging.NullHandler())

try:
    __version__: str = version("kova_discovery")
except PackageNotFoundError:  # running from a source tree that was never installed
    __version__ = "0+unknown"

#: What :func:`capabilities_from_a2a` accepts as a card.
AgentCard = Mapping[str, Any] | str | bytes | bytearray | os.PathLike[str]


def _names_card_file(text: str) -> bool:
    # A str that reads as a JSON object or array is a card, whatever files exist.
    return text.lstrip()[:1] not in ("{", "[") and os.path.isfile(text)


def _read_card_file(path: str | os.PathLike[str]) -> object:
    # utf-8-sig: editors on some systems start UTF-8 files with a byte-order mark, which
    # JSON read from bytes already skips.
    with open(path, encoding="utf-8-sig") as f:
        return json.load(f)


def capabilities_from_a2a(card: AgentCard) -> list[str]:
    """Turn an A2A agent card into capability texts for :meth:`LocalNetwork.register`.

    The card may be given as:

    - a mapping, such as the ``dict`` that ``json.load`` returns for a card file;
    - a JSON document as ``str``, ``bytes`` or ``bytearray``;
    - a path-like object (``pathlib.Path``, or anything implementing ``os.PathLike``)
      naming a card file, read as UTF-8 JSON;
    - a ``str`` naming an existing card file, read the same way.

    A ``str`` is JSON text when its first non-space character is ``{`` or ``[``, or when no
    regular file of that name exists; otherwise it is the file's name. So a card's JSON text
    is never mistaken for a file name, and a name that exists is read, while a misspelt name
    fails as JSON text would (``json.JSONDecodeError``); use a ``pathlib.Path`` to get
    ``FileNotFoundError`` instead.

    The result holds one text for the card itself ("name: description") followed by one
    text per skill ("name: description. tag, tag"). Members that are missing or of the
    wrong type are skipped, so a malformed card gives fewer texts rather than an error.

    Raises:
        json.JSONDecodeError: the text or file is not valid JSON.
        UnicodeDecodeError: the bytes or the file are not UTF-8 text.
        OSError: the file cannot be read.
        TypeError: ``card`` is none of the accepted kinds.

    Example::

        caps = capabilities_from_a2a(Path("cards/legal_assistant.json"))
        network.register("legal-assistant", caps)
    """
    if isinstance(card, Mapping):
        parsed: object = card
    elif isinstance(card, str) and _names_card_file(card):
        parsed = _read_card_file(card)
    elif isinstance(card, (str, bytes, bytearray)):
        parsed = json.loads(card)
    elif isinstance(card, os.PathLike):
        parsed = _read_card_file(card)
    else:
        raise TypeError(
            "card must be a mapping, a JSON str/bytes or a path-like object, "
            f"not {type(card).__name__}"
        )
    return capabilities_from_a2a_rust(parsed)


__all__ = [
    "AgentCard",
    "Bm25Scorer",
    "CircuitBreakerConfig",
    "DiscoveryConfig",
    "DiscoveryResponse",
    "DiscoveryResult",
    "EmbeddingScorer",
    "ExplainedResult",
    "FilterValue",
    "HybridScorer",
    "LocalNetwork",
    "MycorrhizalPropagator",
    "Query",
    "TfIdfScorer",
    "__version__",
    "capabilities_from_a2a",
    "capabilities_from_a2a_rust",
]
