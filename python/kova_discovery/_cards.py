"""A2A agent cards read from files, as the command line and the demo register them.

What one card may contribute is bounded, so that a hostile or generated card costs about as
much as an ordinary one: the file is read up to ``MAX_CARD_BYTES``; at most ``MAX_SKILLS``
skills (so ``MAX_SKILLS + 1`` capability texts) and ``MAX_TAGS`` tags per skill are indexed;
the ``tags`` metadata entry keeps the first ``MAX_TAGS`` distinct tags that fit in
``MAX_TEXT_BYTES``; and every capability text and other metadata value is cut to
``MAX_TEXT_BYTES`` bytes of UTF-8. Real cards stay far below these limits; a card that
reaches one is still imported, with a note saying what was left out.
"""

from __future__ import annotations

import json
import math
import os
import stat
from collections.abc import Sequence
from pathlib import Path
from typing import Any

MAX_CARD_BYTES = 4 << 20
MAX_SKILLS = 100
MAX_TAGS = 100
MAX_TEXT_BYTES = 4096

# The engine refuses longer names; checking here turns that into an ordinary input error.
MAX_NAME_BYTES = 256

# Python's own guard against quadratic integer parsing; a card never needs such a number.
_MAX_INT_DIGITS = 4300


class CardError(ValueError):
    """A card file that cannot be registered; the message names the file."""


class Card:
    """One agent card read from a file, ready to register."""

    def __init__(self, path: Path, name: str, capabilities: list[str], endpoint: str | None,
                 metadata: dict[str, str], notes: list[str]) -> None:
        self.path = path
        self.name = name
        self.capabilities = capabilities
        self.endpoint = endpoint
        self.metadata = metadata
        #: What the limits left out, one phrase each ("kept 100 of 60000 tags").
        self.notes = notes


def check_name(name: str, what: str = "agent name") -> str | None:
    """Why ``name`` cannot name an agent, or None when it can."""
    if not name:
        return f"{what} is empty"
    size = len(name.encode("utf-8", "surrogatepass"))
    if size > MAX_NAME_BYTES:
        return f"{what} is {size} bytes long; at most {MAX_NAME_BYTES} are allowed"
    return None


def card_files(paths: Sequence[str | os.PathLike[str]]) -> list[Path]:
    """Expand directories into their ``*.json`` files (sorted); keep files as given."""
    files: list[Path] = []
    for raw in paths:
        path = Path(raw)
        if path.is_dir():
            found = sorted(p for p in path.glob("*.json") if p.is_file())
            if not found:
                raise CardError(f"{raw}: no .json card files in this directory")
            files.extend(found)
        elif path.exists():
            files.append(path)
        else:
            raise CardError(f"{raw}: no such file or directory")
    return files


def read_regular_file(path: Path, limit: int) -> bytes:
    """The bytes of a regular file of at most `limit` bytes. A FIFO or a device is refused
    (OSError) rather than waited on or read without end; a larger file raises ValueError."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise OSError("not a regular file")
    except BaseException:
        os.close(fd)
        raise
    with os.fdopen(fd, "rb") as f:
        data = f.read(limit + 1)
    if len(data) > limit:
        raise ValueError(f"larger than {limit >> 20} MiB")
    return data


def _text(value: Any) -> str | None:
    return value.strip() if isinstance(value, str) and value.strip() else None


def _cut(text: str) -> str:
    data = text.encode("utf-8")
    if len(data) <= MAX_TEXT_BYTES:
        return text
    return data[:MAX_TEXT_BYTES].decode("utf-8", "ignore")  # drops a split last character


def _display_name(path: Path) -> str:
    # File names are bytes to the system; the agent's metadata must be valid text.
    return os.fsencode(path.name).decode("utf-8", "replace")


def card_endpoint(card: dict[str, Any]) -> str | None:
    """The card's ``url``, or the first interface URL of cards that list interfaces instead."""
    url = _text(card.get("url"))
    if url:
        return url
    for key in ("supportedInterfaces", "additionalInterfaces"):
        interfaces = card.get(key)
        if isinstance(interfaces, list):
            for interface in interfaces:
                if isinstance(interface, dict) and _text(interface.get("url")):
                    return str(interface["url"]).strip()
    return None


def _skill_tags(card: dict[str, Any]) -> tuple[list[str], int]:
    """The distinct string tags of every skill in order (at most ``MAX_TAGS``) and how many
    distinct ones there were."""
    seen: dict[str, None] = {}  # insertion-ordered set: linear in the number of tags
    skills = card.get("skills")
    if isinstance(skills, list):
        for skill in skills:
            if isinstance(skill, dict) and isinstance(skill.get("tags"), list):
                seen.update((t, None) for t in skill["tags"] if isinstance(t, str))
    return list(seen)[:MAX_TAGS], len(seen)


def _whole_tags(tags: list[str]) -> list[str]:
    """The first tags whose comma-joined text fits MAX_TEXT_BYTES: a tag cut in the middle
    would match filters it should not, and miss those it should."""
    kept: list[str] = []
    size = -1  # no comma before the first tag
    for tag in tags:
        size += 1 + len(tag.encode("utf-8"))
        if size > MAX_TEXT_BYTES:
            break
        kept.append(tag)
    return kept


def card_metadata(card: dict[str, Any], path: Path,
                  notes: list[str] | None = None) -> dict[str, str]:
    """The card's metadata entries; what a limit left out is added to ``notes``."""
    metadata = {"protocol": "a2a", "card": _display_name(path)}
    version = card.get("version")
    if isinstance(version, (str, int, float)) and not isinstance(version, bool):
        metadata["version"] = str(version)
    transport = _text(card.get("preferredTransport"))
    if transport:
        metadata["transport"] = transport
    provider = card.get("provider")
    if isinstance(provider, dict) and _text(provider.get("organization")):
        metadata["provider"] = str(provider["organization"]).strip()
    tags, distinct = _skill_tags(card)
    kept = _whole_tags(tags)
    if kept:
        metadata["tags"] = ",".join(kept)
    if notes is not None and len(kept) < distinct:
        notes.append(f"kept {len(kept)} of {distinct} distinct tags in the metadata")
    cut = {key: _cut(value) for key, value in metadata.items()}
    if notes is not None:
        notes.extend(f"cut the {key} metadata to {MAX_TEXT_BYTES:,} bytes"
                     for key, value in cut.items() if value is not metadata[key])
    return cut


def _bounded_skills(card: dict[str, Any], notes: list[str]) -> dict[str, Any]:
    """``card`` with at most ``MAX_SKILLS`` skills of at most ``MAX_TAGS`` tags each; the card
    itself when it is within both, so that ordinary cards give exactly the texts they did."""
    skills = card.get("skills")
    if not isinstance(skills, list):
        return card
    kept = skills[:MAX_SKILLS]
    if len(skills) > MAX_SKILLS:
        notes.append(f"kept {MAX_SKILLS} of {len(skills)} skills")
    trimmed = 0
    for i, skill in enumerate(kept):
        tags = skill.get("tags") if isinstance(skill, dict) else None
        # A tag list with one non-string member gives no tags at all, however long it is.
        if isinstance(tags, list) and len(tags) > MAX_TAGS and all(
            isinstance(t, str) for t in tags
        ):
            kept[i] = {**skill, "tags": tags[:MAX_TAGS]}
            trimmed += 1
    if trimmed:
        notes.append(f"kept {MAX_TAGS} tags in each of {trimmed} skills with more")
    return card if len(kept) == len(skills) and not trimmed else {**card, "skills": kept}


def _parse_int(digits: str) -> int:
    if len(digits.lstrip("-")) > _MAX_INT_DIGITS:
        raise CardError(f"an integer of {len(digits.lstrip('-'))} digits "
                        f"(at most {_MAX_INT_DIGITS} are read)")
    return int(digits)


def _parse_float(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise CardError(f"the number {text[:40]} is out of range")
    return value


def _no_constant(name: str) -> float:
    raise CardError(f"{name} is not JSON")


def _reason(exc: BaseException) -> str:
    text = str(exc) or type(exc).__name__
    return " ".join(text.split())


def read_card(path: Path) -> Card:
    from kova_discovery._native import capabilities_from_a2a_rust

    try:
        data = read_regular_file(path, MAX_CARD_BYTES)
    except OSError as exc:
        raise CardError(f"{path}: cannot read card: {_reason(exc)}") from None
    except ValueError:
        raise CardError(f"{path}: the card is larger than {MAX_CARD_BYTES >> 20} MiB") from None
    try:
        card = json.loads(data.decode("utf-8-sig"), parse_int=_parse_int,
                          parse_float=_parse_float, parse_constant=_no_constant)
        # A "\ud800" escape parses to a lone surrogate, which no UTF-8 text can hold.
        json.dumps(card, ensure_ascii=False).encode("utf-8")
    except UnicodeDecodeError as exc:
        raise CardError(f"{path}: cannot read card: {_reason(exc)}") from None
    except UnicodeEncodeError as exc:
        char = exc.object[exc.start] if isinstance(exc.object, str) else "?"
        raise CardError(f"{path}: malformed card: it holds a lone surrogate "
                        f"\\u{ord(char):04x}, which is not a character") from None
    except (ValueError, RecursionError) as exc:  # CardError from _parse_int included
        raise CardError(f"{path}: malformed card: {_reason(exc)}") from None
    if not isinstance(card, dict):
        raise CardError(f"{path}: malformed card: expected a JSON object")
    notes: list[str] = []
    texts = capabilities_from_a2a_rust(_bounded_skills(card, notes))
    capabilities = [_cut(text) for text in texts]
    cut = sum(1 for text, kept in zip(texts, capabilities) if kept is not text)
    if cut:
        notes.append(f"cut {cut} text{'s' if cut > 1 else ''} to {MAX_TEXT_BYTES:,} bytes")
    if not capabilities:
        raise CardError(f"{path}: the card has no name, description or skills to index")
    name = _text(card.get("name")) or os.fsencode(path.stem).decode("utf-8", "replace")
    problem = check_name(name, f"{path}: agent name")
    if problem:
        raise CardError(problem)
    endpoint = card_endpoint(card)
    if endpoint is not None and len(endpoint.encode("utf-8")) > MAX_TEXT_BYTES:
        raise CardError(f"{path}: the card's url is longer than {MAX_TEXT_BYTES} bytes")
    metadata = card_metadata(card, path, notes)
    return Card(path, name, capabilities, endpoint, metadata, notes)
