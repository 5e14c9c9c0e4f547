"""``python -m kova_discovery`` and the ``kova-discovery`` console script."""

from __future__ import annotations

import sys

from kova_discovery.cli import main

__all__ = ["main"]

if __name__ == "__main__":
    sys.exit(main())
