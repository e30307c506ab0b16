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


class Helper:
    """work() on a thread of its own, for a waiting thread that Ctrl-C can
    reach: start(), then wait() until done, then result().

    The helper's last acts are a flag and the release of a plain lock held
    from the start, which never blocks. Not a threading.Event: a
    KeyboardInterrupt raised inside Event.wait can leave the event's lock
    held, and the helper would then block for ever in set() while the
    waiting thread waits for it. A timed acquire of the lock returns as soon
    as it is released, so the wait ends when the work does.

    The end is awaited through `done`, not is_alive(), which is False until
    the thread has signalled its start: a signal during start() must not
    leave work going on unwatched (and a run still in the engine at
    interpreter shutdown would be ended while it retakes the GIL, which C++
    cannot unwind through).
    """

    def __init__(self, work: Callable[[], Any], name: str) -> None:
        self._work = work
        self._outcome: dict[str, Any] = {}
        self._finished: list[bool] = []
        self._ended = threading.Lock()
        self._ended.acquire()
        self._thread = threading.Thread(target=self._run, name=name)

    def _run(self) -> None:
        try:
            self._outcome["value"] = self._work()
        except BaseException as e:  # handed to the waiting thread
            self._outcome["error"] = e
        finally:
            self._finished.append(True)
            self._ended.release()

    def start(self) -> None:
        self._thread.start()

    @property
    def done(self) -> bool:
        return bool(self._finished)

    @property
    def started(self) -> bool:
        return self._thread.ident is not None

    def wait(self, timeout: float) -> bool:
        """Until the work is done or `timeout` seconds have passed; done."""
        self._ended.acquire(timeout=timeout)
        return self.done

    def result(self) -> Any:
        if "error" in self._outcome:
            raise self._outcome["error"]
        return self._outcome["value"]


def _watched(work: Callable[[Any], Any], progress: ProgressLike) -> Any:
    control = _engine.RunControl()
    in_main = threading.current_thread() is threading.main_thread()
    if not in_main and not progress:
        return work(control)
    helper = Helper(lambda: work(control), "velmar-engine")
    reporter = _Reporter(progress)
    try:
        helper.start()
        # Progress is looked at soon, then every _POLL_SECONDS.
        pause = _FIRST_POLL_SECONDS
        while not helper.wait(pause):
            pause = min(2 * pause, _POLL_SECONDS)
            reporter.update(*control.progress())
    except BaseException:
        control.cancel()
        while helper.started and not helper.done:
            try:
                time.sleep(_FIRST_POLL_SECONDS)
            except KeyboardInterrupt:
                pass
        raise
    finally:
        reporter.close()
    value = helper.result()
    reporter.update(*control.progress())
    return value
