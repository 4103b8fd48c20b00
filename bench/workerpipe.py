"""A benchmark worker process as its driver sees it (bench/run.py, bench/persist.py).

The worker writes one JSON object per line to stdout; they arrive on the queue `events`, and None
after the last once stdout closes (a line that is not JSON is passed on to stderr). The worker's
stderr is passed on as it comes and its last lines kept in `stderr_tail`: a native library that
cannot allocate may abort the process, and what it printed is then how the driver tells that apart.
The worker runs in a session of its own, so that kill() ends it with whatever it started.
"""

from __future__ import annotations

import collections
import json
import os
import queue
import signal
import subprocess
import sys
import threading
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# Lines of a worker's stderr kept to tell why it died.
STDERR_TAIL_LINES = 40


class WorkerPipe:
    """One worker process (command, run in the repository's root with env), read by two threads."""

    def __init__(self, command: list[str], env: dict) -> None:
        self.proc = subprocess.Popen(
            command,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            errors="replace",
            env=env,
            cwd=ROOT,
            start_new_session=True,
        )
        self.events: queue.Queue = queue.Queue()
        self.stderr_tail: collections.deque[str] = collections.deque(maxlen=STDERR_TAIL_LINES)
        self.killed = False
        self._stderr_done = threading.Thread(target=self._read_stderr, daemon=True)
        self._stderr_done.start()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self) -> None:
        for line in self.proc.stdout:
            try:
                self.events.put(json.loads(line))
            except json.JSONDecodeError:
                sys.stderr.write(line)
        self.events.put(None)

    def _read_stderr(self) -> None:
        for line in self.proc.stderr:
            sys.stderr.write(line)
            self.stderr_tail.append(line)

    def kill(self) -> None:
        """Kills the worker's whole session and waits for the worker."""
        self.killed = True
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait()

    def close(self) -> int:
        """Waits for the worker; its exit status."""
        return self.proc.wait()
