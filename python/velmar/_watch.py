"""Long engine calls that Ctrl-C can stop, with progress.

The engine works with the GIL released. When called from the main thread (or
with a progress display) it runs on a helper thread while the calling thread
waits in short timed waits, so that Ctrl-C reaches Python at once: the work is then
cancelled between row blocks, its memory freed, and KeyboardInterrupt raised.
"""

from __future__ import annotations

import sys
import threading
import time
from collections.abc import Callable
from typing import Any, Union

from . import _engine

ProgressLike = Union[bool, Callable[[int, int], object], None]

# How often the waiting thread looks at the work: bounds the delay of Ctrl-C
# and of progress updates; the first look comes sooner.
_POLL_SECONDS = 0.05
_FIRST_POLL_SECONDS = 0.0001


class _Reporter:
    """Progress over column blocks × steps: tqdm where installed, a plain
    line otherwise, or the caller's callable(done, total)."""

    def __init__(self, progress: ProgressLike) -> None:
        self.callback: Callable[[int, int], object] | None = None
        self.bar: Any = None
        self.last = (-1, -1)
        self.open_line = False
        if callable(progress):
            self.callback = progress
        elif progress:
            try:
                from tqdm.auto import tqdm  # type: ignore[import-untyped]  # noqa: PLC0415

                self.bar = tqdm(total=0, desc="velmar", unit="step", file=sys.stderr, leave=False)
            except ImportError:
                self.callback = self._line

    def _line(self, done: int, total: int) -> None:
        self.open_line = done < total
        end = "" if self.open_line else "\n"
        print(f"\rvelmar: {done}/{total} block steps", end=end, file=sys.stderr, flush=True)

    def update(self, done: int, total: int) -> None:
        if (done, total) == self.last or total == 0:
            return
        self.last = (done, total)
        if self.bar is not None:
            self.bar.total = total
            self.bar.n = done
            self.bar.refresh()
        elif self.callback is not None:
            self.callback(done, total)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        elif self.open_line:  # interrupted: end the line before anything else
            print(file=sys.stderr, flush=True)


def watched(work: Callable[[Any], Any], progress: ProgressLike = None) -> Any:
    """work(control) on a helper thread while this one waits, so that Ctrl-C
    cancels it; inline where no signal can arrive and nothing is shown.
    A run the engine reports cancelled ends as KeyboardInterrupt."""
    try:
        return _watched(work, progress)
    except _engine.Cancelled:
        # Cancelled only by the Ctrl-C handling below, which raises its own
        # KeyboardInterrupt; reaching here means a signal raced the end.
        raise KeyboardInterrupt from None


def _watched(work: Callable[[Any], Any], progress: ProgressLike) -> Any:
    control = _engine.RunControl()
    in_main = threading.current_thread() is threading.main_thread()
    if not in_main and not progress:
        return work(control)
    outcome: dict[str, Any] = {}
    # Set by the helper thread as its last act. A flag and a plain lock, not
    # a threading.Event: a KeyboardInterrupt raised inside Event.wait can
    # leave the event's lock held, and the helper then blocks for ever in
    # set() while this thread waits for it. The helper only releases
    # `ended` (held from here on), which never blocks; this thread's timed
    # acquire returns as soon as it is released, so a call ends when its
    # work does, not at the next look.
    finished: list[bool] = []
    ended = threading.Lock()
    ended.acquire()

    def target() -> None:
        try:
            outcome["value"] = work(control)
        except BaseException as e:  # handed to the waiting thread
            outcome["error"] = e
        finally:
            finished.append(True)
            ended.release()

    reporter = _Reporter(progress)
    # The thread's own end is awaited through `finished`, not is_alive(),
    # which is False until the thread has signalled its start: a signal
    # during start() must not leave a run going on unwatched (and one still
    # in the engine at interpreter shutdown would be ended while it retakes
    # the GIL, which C++ cannot unwind through).
    thread = threading.Thread(target=target, name="velmar-engine")
    try:
        thread.start()
        # Progress is looked at soon, then every _POLL_SECONDS.
        pause = _FIRST_POLL_SECONDS
        while not finished:
            ended.acquire(timeout=pause)
            pause = min(2 * pause, _POLL_SECONDS)
            reporter.update(*control.progress())
    except BaseException:
        control.cancel()
        while thread.ident is not None and not finished:
            try:
                time.sleep(_FIRST_POLL_SECONDS)
            except KeyboardInterrupt:
                pass
        raise
    finally:
        reporter.close()
    if "error" in outcome:
        raise outcome["error"]
    reporter.update(*control.progress())
    return outcome["value"]
