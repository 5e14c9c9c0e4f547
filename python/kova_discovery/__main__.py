"""Command line entry point."""

from __future__ import annotations

import sys


def main(argv: list[str] | None = None) -> int:
    from kova_discovery import _native

    print(_native.__doc__)
    return 0


if __name__ == "__main__":
    sys.exit(main())
