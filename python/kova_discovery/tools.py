"""Tool selection for language-model applications: tool definitions in, tool definitions out.

An application holding more tools than fit in a model's context registers them once, asks for
the few that suit each request, and reports which calls worked::

    from kova_discovery import LocalNetwork
    from kova_discovery.tools import record_tool_call, register_tools, select_tools

    network = LocalNetwork()
    register_tools(network, my_tools, source="github")
    chosen = select_tools(network, "open an issue about the failing build", k=5)
    ...  # pass `chosen` to the model as its tools
    record_tool_call(network, "create_issue", "open an issue about the failing build", ok=True)

Each tool becomes an agent named after the tool. Its capability texts come from the
description, the name split into words (``get_node_content`` and ``getNodeContent`` both give
"get node content") and one text per parameter (its name in words and its description). Its
metadata records where it came from, under keys the filters of :func:`select_tools` can use:

- ``tool_shape``: the form the definition came in (see :data:`SHAPES`);
- ``tool_source``: the ``source`` given to :func:`register_tools`, when one was;
- ``tool_definition``: the definition itself as JSON text, so that a network saved and loaded
  again still returns it.

Tool names are agent names, so they are unique within a network, as they must be within one
model request: registering a tool under a name that exists replaces that agent (and resets
what the network learned about it), exactly as :meth:`LocalNetwork.register` does.
Applications that gather tools from several servers whose names collide should qualify the
names before registering them (``"github__create_issue"``), as they must before sending them
to a model anyway.
"""

from __future__ import annotations

import json
import re
import sys
import unicodedata
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Final, cast

from kova_discovery._native import LocalNetwork

__all__ = ["SHAPES", "record_tool_call", "register_tools", "select_tools"]

#: The forms a tool definition may take, as recorded under the ``tool_shape`` metadata key:
#:
#: - ``"openai"``: ``{"type": "function", "function": {"name", "description", "parameters"}}``,
#:   or the flat form of the Responses API (``name`` and ``parameters`` beside ``type``);
#: - ``"anthropic"``: ``{"name", "description", "input_schema"}``;
#: - ``"mcp"``: ``{"name", "description", "inputSchema"}``, as an MCP server lists them;
#: - ``"mcp_sdk"``: a ``mcp.types.Tool`` object of the official ``mcp`` package;
#: - ``"plain"``: ``{"name", "description"}`` with an optional ``arguments`` list of
#:   ``{"name", "type", "desc"}`` entries, the form MCP registries publish.
SHAPES: Final = ("openai", "anthropic", "mcp", "mcp_sdk", "plain")

SHAPE_KEY: Final = "tool_shape"
SOURCE_KEY: Final = "tool_source"
DEFINITION_KEY: Final = "tool_definition"

# The engine refuses longer agent names; the scorers read at most this many words of one
# capability text, so longer descriptions are cut into pieces of at most this size (at
# sentence ends where possible) rather than lose their tails.
_MAX_NAME_BYTES: Final = 256
_MAX_WORDS: Final = 50


@dataclass(frozen=True, slots=True)
class PreparedTool:
    """One checked definition, ready to register."""

    name: str
    shape: str
    capabilities: list[str]
    metadata: dict[str, str]
    definition: object


# --------------------------------------------------------------------------------------------
# Returning definitions
#
# A selection must cost little beside the discovery itself, and decoding ten definitions from
# JSON every time would cost more than the discovery. So decoded definitions are kept, keyed
# by their shape and JSON text: the text is what the network holds, so a definition
# re-registered under the same name with other content can never come back stale. Objects
# registered in this process are the ones returned; after a load each is decoded once. The
# bounds only limit what a process registering ever new tools (or new versions of large ones)
# keeps alive: past them the cache starts afresh and definitions are decoded again.

_CACHE_LIMIT: Final = 100_000
_CACHE_CHARS: Final = 16 << 20
_decoded: dict[tuple[str, str], object] = {}
_decoded_chars = 0


def _remember(shape: str, text: str, definition: object) -> None:
    global _decoded_chars
    key = (shape, text)
    if key not in _decoded:
        if len(_decoded) >= _CACHE_LIMIT or _decoded_chars + len(text) > _CACHE_CHARS:
            _decoded.clear()
            _decoded_chars = 0
        _decoded_chars += len(text)
    _decoded[key] = definition


def _importable_sdk_tool() -> Any:
    try:
        from mcp_types import Tool
    except ImportError:
        try:
            from mcp.types import Tool
        except ImportError:
            return None
    return Tool


def _decode(shape: str, text: str) -> object:
    key = (shape, text)
    found = _decoded.get(key)
    if found is not None:
        return found
    definition: object = json.loads(text)
    if shape == "mcp_sdk":
        # Without the mcp package (a state file written elsewhere) the definition still comes
        # back, as the MCP dict the Tool object is made of.
        tool_type = _importable_sdk_tool()
        if tool_type is not None:
            definition = tool_type.model_validate(definition)
    _remember(shape, text, definition)
    return definition


# --------------------------------------------------------------------------------------------
# Reading definitions


class _Invalid(ValueError):
    """A field of one definition is wrong; the caller adds which tool."""


# Splits a string of character classes (U upper-case, l other letter, d digit, space for the
# rest) into words: "HTTPServer2" is UUUUUUlllllld, words HTTP, Server, 2.
_WORD_CLASSES = re.compile(r"U+(?=Ul)|U?l+|U+|d+")


def _char_class(char: str) -> str:
    if char.isdigit():
        return "d"
    if char.isupper() or char.istitle():
        return "U"
    return "l" if char.isalnum() else " "


def _words(name: str) -> str:
    """An identifier as lower-case words: snake_case, kebab-case, camelCase and dotted names."""
    # Combining marks are left out of the classes and kept with the letter before them ("É"
    # may be "E" and U+0301).
    bases = [i for i, char in enumerate(name) if not unicodedata.category(char).startswith("M")]
    classes = "".join(_char_class(name[i]) for i in bases)
    bases.append(len(name))
    parts = [name[bases[m.start()]:bases[m.end()]] for m in _WORD_CLASSES.finditer(classes)]
    return " ".join(p.lower() for p in parts) or name


_SENTENCE_END = re.compile(r"(?<=[.!?;:])\s+")


def _chunks(text: str) -> list[str]:
    """``text`` in pieces of at most _MAX_WORDS words, whole sentences kept together."""
    words = text.split()
    if len(words) <= _MAX_WORDS:
        return [" ".join(words)] if words else []
    pieces: list[str] = []
    current: list[str] = []
    for sentence in _SENTENCE_END.split(text.strip()):
        sentence_words = sentence.split()
        if current and len(current) + len(sentence_words) > _MAX_WORDS:
            pieces.append(" ".join(current))
            current = []
        current.extend(sentence_words)
        if len(current) > _MAX_WORDS:
            # Whole pieces cut off in one pass: cutting one at a time copies the rest each
            # time, quadratic in a long sentence.
            whole = (len(current) - 1) // _MAX_WORDS * _MAX_WORDS  # leaves 1 to 50 words
            pieces.extend(" ".join(current[i:i + _MAX_WORDS])
                          for i in range(0, whole, _MAX_WORDS))
            current = current[whole:]
    if current:
        pieces.append(" ".join(current))
    return pieces


def _text_field(where: Mapping[str, Any], key: str, field: str) -> str | None:
    value = where.get(key)
    if value is None or isinstance(value, str):
        return value
    raise _Invalid(f"{field} must be a string, not {type(value).__name__}")


def _schema_parameters(schema: object, field: str) -> list[tuple[str, str | None]]:
    """The top-level parameters of a JSON Schema object: (name, description) pairs."""
    if not isinstance(schema, Mapping):
        raise _Invalid(f"{field} must be a JSON Schema object, not {type(schema).__name__}")
    kind = schema.get("type")
    if kind is not None and not isinstance(kind, (str, list)):
        raise _Invalid(f"{field}.type must be a string or a list, not {type(kind).__name__}")
    required = schema.get("required")
    if required is not None and (
        not isinstance(required, list) or not all(isinstance(r, str) for r in required)
    ):
        raise _Invalid(f"{field}.required must be a list of strings")
    properties = schema.get("properties")
    if properties is None:
        return []
    if not isinstance(properties, Mapping):
        raise _Invalid(f"{field}.properties must be an object, not {type(properties).__name__}")
    found: list[tuple[str, str | None]] = []
    for name, spec in properties.items():
        if not isinstance(name, str):
            raise _Invalid(f"{field}.properties has a non-string key {name!r}")
        if not isinstance(spec, Mapping):
            # JSON Schema allows `true` for "anything"; it says nothing to index either.
            if isinstance(spec, bool):
                found.append((name, None))
                continue
            raise _Invalid(f"{field}.properties.{name} must be an object, "
                           f"not {type(spec).__name__}")
        found.append((name, _text_field(spec, "description", f"{field}.properties.{name}"
                                        ".description")))
    return found


def _argument_list(arguments: object) -> list[tuple[str, str | None]]:
    if not isinstance(arguments, list):
        raise _Invalid(f"arguments must be a list, not {type(arguments).__name__}")
    found: list[tuple[str, str | None]] = []
    for i, arg in enumerate(arguments):
        field = f"arguments[{i}]"
        if not isinstance(arg, Mapping):
            raise _Invalid(f"{field} must be an object, not {type(arg).__name__}")
        name = arg.get("name")
        if not isinstance(name, str) or not name:
            raise _Invalid(f"{field}.name must be a non-empty string")
        desc = _text_field(arg, "desc", f"{field}.desc")
        if desc is None:
            desc = _text_field(arg, "description", f"{field}.description")
        found.append((name, desc))
    return found


def _read_mapping(tool: Mapping[str, Any]) -> tuple[str, object, str | None,
                                                     list[tuple[str, str | None]]]:
    """(shape, name, description, parameters) of a definition given as a mapping."""
    if tool.get("type") == "function" and "function" in tool:
        function = tool["function"]
        if not isinstance(function, Mapping):
            raise _Invalid(f"function must be an object, not {type(function).__name__}")
        params = function.get("parameters")
        return ("openai", function.get("name"),
                _text_field(function, "description", "function.description"),
                [] if params is None else _schema_parameters(params, "function.parameters"))
    schema_keys = [k for k in ("parameters", "input_schema", "inputSchema", "arguments")
                   if k in tool]
    if len(schema_keys) > 1:
        raise _Invalid(f"both {schema_keys[0]!r} and {schema_keys[1]!r} given; "
                       "a definition has one parameter list")
    key = schema_keys[0] if schema_keys else None
    description = _text_field(tool, "description", "description")
    if key == "parameters":
        if tool.get("type") != "function":
            raise _Invalid("'parameters' belongs to an OpenAI function tool, which has "
                           "\"type\": \"function\"")
        # The Responses API declares parameters nullable.
        shape = "openai"
        params = [] if tool[key] is None else _schema_parameters(tool[key], "parameters")
    elif key == "input_schema":
        shape, params = "anthropic", _schema_parameters(tool[key], "input_schema")
    elif key == "inputSchema":
        shape, params = "mcp", _schema_parameters(tool[key], "inputSchema")
    elif key == "arguments":
        shape, params = "plain", _argument_list(tool[key])
    elif tool.get("type") == "function":  # a flat OpenAI tool without parameters
        shape, params = "openai", []
    else:
        shape, params = "plain", []
    return shape, tool.get("name"), description, params


def _sdk_tool_types() -> tuple[type, ...]:
    # Only an already imported mcp package can have made a Tool object: never import it here.
    # The SDK keeps its wire types in `mcp_types` from version 2 on, in `mcp.types` before.
    found = []
    for module_name in ("mcp_types", "mcp.types"):
        tool_type = getattr(sys.modules.get(module_name), "Tool", None)
        if isinstance(tool_type, type) and tool_type not in found:
            found.append(tool_type)
    return tuple(found)


def _label(tool: object, where: str) -> str:
    name: object = None
    if isinstance(tool, Mapping):
        name = tool.get("name")
        function = tool.get("function")
        if name is None and isinstance(function, Mapping):
            name = function.get("name")
    else:
        name = getattr(tool, "name", None)
    return repr(name) if isinstance(name, str) and name else where


def _mapping_as_dict(value: object) -> dict[Any, Any]:
    """JSON for mappings that are not dicts (a MappingProxyType, say); nothing else."""
    if isinstance(value, Mapping):
        return dict(value)
    raise TypeError(f"Object of type {type(value).__name__} is not JSON serializable")


def _prepare_one(tool: object, source: str | None, sdk_tools: tuple[type, ...]) -> PreparedTool:
    if sdk_tools and isinstance(tool, sdk_tools):
        dumped = cast(Any, tool).model_dump(mode="json", by_alias=True, exclude_unset=True)
        shape, name, description, params = _read_mapping(dumped)
        shape = "mcp_sdk"
        serialisable: object = dumped
    elif isinstance(tool, Mapping):
        shape, name, description, params = _read_mapping(tool)
        serialisable = tool
    else:
        raise _Invalid(f"a tool definition is a mapping or an mcp Tool, "
                       f"not {type(tool).__name__}")
    if not isinstance(name, str) or not name:
        if isinstance(tool, Mapping) and "function" in tool and tool.get("type") != "function":
            raise _Invalid("'function' belongs to an OpenAI function tool, which has "
                           "\"type\": \"function\"")
        raise _Invalid("name must be a non-empty string")
    try:
        size = len(name.encode("utf-8"))
    except UnicodeEncodeError:
        raise _Invalid("name is not valid Unicode text") from None
    if size > _MAX_NAME_BYTES:
        raise _Invalid(f"name is {size} bytes long; at most {_MAX_NAME_BYTES} are allowed")
    try:
        text = json.dumps(serialisable, ensure_ascii=False, allow_nan=False,
                          separators=(",", ":"), default=_mapping_as_dict)
        text.encode("utf-8")
    except (TypeError, ValueError, RecursionError) as exc:
        raise _Invalid(f"definition is not JSON ({exc})") from None

    capabilities = _chunks(description) if description else []
    capabilities.append(_words(name))
    for param, param_description in params:
        head = _words(param)
        if param_description and param_description.strip():
            capabilities.extend(_chunks(f"{head}: {param_description}"))
        else:
            capabilities.append(head)

    metadata = {SHAPE_KEY: shape, DEFINITION_KEY: text}
    if source is not None:
        metadata[SOURCE_KEY] = source
    return PreparedTool(name, shape, capabilities, metadata, tool)


def prepare_tools(tools: Iterable[object], source: str | None = None) -> list[PreparedTool]:
    """Check and convert every definition; raise before anything is registered.

    Raises:
        TypeError: ``tools`` is a single definition or a string, or ``source`` is not a str.
        ValueError: a definition is malformed (the message names the tool and the field), or
            two definitions share a name.
    """
    if source is not None and not isinstance(source, str):
        raise TypeError(f"source must be a str or None, not {type(source).__name__}")
    # An mcp Tool is iterable too (its fields), but it is one definition.
    if (isinstance(tools, (str, bytes, Mapping, *_sdk_tool_types()))
            or not isinstance(tools, Iterable)):
        raise TypeError("tools must be a list of tool definitions, "
                        f"not {type(tools).__name__}")
    return _prepare_all(tools, source, lambda index: f"#{index}")


def _prepare_all(tools: Iterable[object], source: str | None,
                 where: Callable[[int], str]) -> list[PreparedTool]:
    """prepare_tools with ``where(index)`` naming a definition in messages: the command line
    names lines of a file where the library names list indexes."""
    sdk_tools = _sdk_tool_types()
    prepared: list[PreparedTool] = []
    first_index: dict[str, int] = {}
    for index, tool in enumerate(tools):
        try:
            one = _prepare_one(tool, source, sdk_tools)
        except _Invalid as exc:
            raise ValueError(f"tool {_label(tool, where(index))}: {exc}") from None
        if one.name in first_index:
            raise ValueError(f"tool {one.name!r}: the name is given twice "
                             f"({where(first_index[one.name])} and {where(index)})")
        first_index[one.name] = index
        prepared.append(one)
    return prepared


def register_prepared(network: LocalNetwork, prepared: Sequence[PreparedTool]) -> None:
    for tool in prepared:
        network.register(tool.name, tool.capabilities, metadata=tool.metadata)
        _remember(tool.shape, tool.metadata[DEFINITION_KEY], tool.definition)


# --------------------------------------------------------------------------------------------
# The three entry points


def register_tools(
    network: LocalNetwork, tools: Iterable[object], *, source: str | None = None
) -> list[str]:
    """Register tool definitions as agents of ``network``; return their names in order.

    ``tools`` holds definitions in any of the forms of :data:`SHAPES`, mixed as they come.
    Every definition is checked before any is registered: on a ValueError nothing of this
    call is registered. ``source`` (a server or provider name, say) is recorded under the
    ``tool_source`` metadata key for filtering.

    Raises:
        TypeError: ``tools`` is a single definition or a string, or ``source`` is not a str.
        ValueError: a definition has no name, a description that is not a string, or a
            malformed parameter schema (the message names the tool and the field); or two
            definitions share a name.
    """
    prepared = prepare_tools(tools, source)
    register_prepared(network, prepared)
    return [tool.name for tool in prepared]


def select_tools(
    network: LocalNetwork,
    query: str,
    k: int = 10,
    *,
    filters: Mapping[str, Any] | None = None,
) -> list[Any]:
    """The definitions of the ``k`` tools best suited to ``query``, best first.

    Each definition is returned in the form it was registered in (an ``mcp.types.Tool`` stays
    a Tool), ready to pass to the model. They are the registered objects themselves (or, after
    a load, objects decoded once and reused), not copies: copy one before changing it.
    Agents registered without :func:`register_tools` are never returned. ``filters`` takes the
    same conditions as :meth:`LocalNetwork.discover`, for example
    ``{"tool_source": "github"}``.

    A selection discovers again with room for more results when agents that are not tools
    come among the first ``k``; each discovery counts towards the forwards of the agents it
    returns, as any discovery does.

    Raises:
        TypeError: ``k`` is not an int.
        ValueError: ``k`` is less than 1.
    """
    if not isinstance(k, int) or isinstance(k, bool):
        raise TypeError(f"k must be an int, not {type(k).__name__}")
    if k < 1:
        raise ValueError(f"k must be at least 1, got {k}")
    if filters is not None and not isinstance(filters, Mapping):
        raise TypeError(f"filters must be a dict or None, not {type(filters).__name__}")
    if filters is not None and not isinstance(filters, dict):
        filters = dict(filters)  # the engine reads dicts only
    # Agents that are not tools are passed over here rather than filtered out in the engine:
    # any filter makes the engine read every candidate's record, which costs more than the
    # whole selection when a network holds only tools, as it usually does.
    # Usually every result is a tool and one call asks for exactly k; agents that are not
    # tools among the first k make it discover again with room for more.
    limit = k
    while True:
        results = network.discover(query, filters=filters, limit=limit)
        chosen = []
        for result in results:
            metadata = result.metadata
            text = metadata.get(DEFINITION_KEY)
            if text is not None:
                chosen.append(_decode(metadata.get(SHAPE_KEY, ""), text))
                if len(chosen) == k:
                    return chosen
        if len(results) < limit:
            return chosen
        limit *= 4


def record_tool_call(
    network: LocalNetwork, tool_name: str, query: str | None, *, ok: bool = True
) -> None:
    """Report whether calling ``tool_name`` for ``query`` worked, so the ranking learns.

    A success with its query raises the tool for this query and similar ones; a failure lowers
    it. Like :meth:`LocalNetwork.record_success`, an unknown tool name changes no tool: it is
    ignored without error, though the exploration schedule still advances, as for every report.
    """
    if not isinstance(tool_name, str):
        raise TypeError(f"tool_name must be a str, not {type(tool_name).__name__}")
    if not isinstance(ok, bool):
        raise TypeError(f"ok must be a bool, not {type(ok).__name__}")
    if ok:
        network.record_success(tool_name, query=query)
    else:
        network.record_failure(tool_name, query=query)
