"""Entry point of ``python -m velmar`` and of the ``velmar`` command."""

from __future__ import annotations

import sys

from ._cli import main

__all__ = ["main"]

if __name__ == "__main__":
    sys.exit(main())
