#!/usr/bin/env python3
"""Writes signature_fixtures.jsonl: expected MinHash signatures computed independently of the
engine, with the `xxhash` package from PyPI (a test-time tool, not a package dependency).

Run from the repository root:
    .venv/bin/pip install xxhash
    .venv/bin/python tests/engine/data/make_signature_fixtures.py

Each line is {"mode": ..., "width": ..., "text": ..., "signature_hex": ...}; "text" is the
UTF-8 text (control bytes included), the signature is 64 bytes as 128 hex digits, byte 0 first.
"""

import json
import pathlib

import xxhash

MASK = (1 << 64) - 1
SEEDS = [((i + 1) * 0x9E3779B97F4A7C15) & MASK for i in range(64)]
DELIMITERS = b" \t,-._"


def normalise(data: bytes) -> bytes:
    return bytes(b | 0x20 if 0x41 <= b <= 0x5A else b for b in data)


def char_shingles(data: bytes, width: int) -> list[bytes]:
    if len(data) < width:
        return [data]
    return [data[i : i + width] for i in range(len(data) - width + 1)]


def word_shingles(data: bytes) -> list[bytes]:
    pieces, current = [], bytearray()
    for b in data:
        if b in DELIMITERS:
            if current:
                pieces.append(bytes(current))
            current = bytearray()
        else:
            current.append(b)
    if current:
        pieces.append(bytes(current))
    return pieces or [data]


def signature(text: str, mode: str, width: int) -> bytes:
    data = normalise(text.encode("utf-8"))
    shingles: list[bytes] = []
    if mode in ("characters", "hybrid"):
        shingles += char_shingles(data, width)
    if mode in ("words", "hybrid"):
        shingles += word_shingles(data)
    out = bytearray()
    for seed in SEEDS:
        m = min(xxhash.xxh3_64_intdigest(s, seed) for s in shingles)
        folded = 0
        for k in range(8):
            folded ^= (m >> (8 * k)) & 0xFF
        out.append(folded)
    return bytes(out)


def cases() -> list[tuple[str, int, str]]:
    hybrid = [
        "",  # empty: one empty shingle in both parts
        "q",  # shorter than the window
        "Qz",
        "abc",
        "ABCD",  # whole-text word of 4 bytes
        "Abcdefgh",  # word of 8 bytes
        "abcdefghi",  # word of 9 bytes
        "ABCDEFGHIJKLMNOP",  # word of 16 bytes
        "abcdefghijklmnopq",  # word of 17 bytes
        "w" * 128,
        "Long" * 32 + "x",  # word of 129 bytes
        "m" * 240,
        "n" * 241,
        "LongWord" * 40,  # word of 320 bytes (long-input path)
        "a" + "é" * 70,  # multi-byte text, windows cut characters
        ",,,",
        "-" * 5,  # delimiter-only texts of several length classes
        "._" * 6,
        " \t" * 10,
        "," * 150,
        "." * 300,
        "translate legal",
        "translate\tlegal",
        "translate,legal",
        "translate-legal",
        "translate.legal",
        "translate_legal",
        "translate\nlegal",
        "translate\r\nlegal\x0bdocs\x0cnow",
        "Straße ÀÉÎ àéî Ωmega",
        "ZZ top AND Zebra @[\\]^`{|}~",  # bytes next to A-Z and a-z stay as they are
        "\x00\x01\x1f\x7f tabs\tand  doubled  spaces ",
        "Summarises PDF reports, extracts tables_and figures - fast." * 3,
        "Routes Support-Tickets to the right team, tags them_by urgency. " * 12,  # > 512 bytes
    ]
    out = [("hybrid", 3, t) for t in hybrid]
    for width in (1, 2, 4, 5, 7):
        for t in ("", "ab", "abcd", "Sixteen byte txt", "window widths " * 12):
            out.append(("characters", width, t))
    for t in ("", ",,", "just words, here", "x" * 300 + " y"):
        out.append(("words", 0, t))
    return out


def main() -> None:
    path = pathlib.Path(__file__).with_name("signature_fixtures.jsonl")
    with path.open("w", encoding="utf-8") as f:
        for mode, width, text in cases():
            row = {
                "mode": mode,
                "width": width,
                "text": text,
                "signature_hex": signature(text, mode, width).hex(),
            }
            f.write(json.dumps(row, ensure_ascii=True) + "\n")


if __name__ == "__main__":
    main()
