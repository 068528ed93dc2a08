"""Progress bar on standard error: files done, traces per second, time left."""

from __future__ import annotations

import sys
import time
from typing import Any


class Progress:
    """Counts files and traces; draws with tqdm when enabled and available."""

    def __init__(self, total: int, enabled: bool, desc: str) -> None:
        self._bar: Any = None
        self._traces = 0
        self._start = time.monotonic()
        if not enabled:
            return
        try:
            import tqdm
        except ImportError:
            return
        self._bar = tqdm.tqdm(total=total, desc=desc, unit="file", file=sys.stderr, leave=True)

    def advance(self, traces: int) -> None:
        self._traces += traces
        if self._bar is None:
            return
        elapsed = max(time.monotonic() - self._start, 1e-9)
        self._bar.set_postfix_str(f"{self._traces / elapsed:,.0f} traces/s", refresh=False)
        self._bar.update(1)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
