"""The kit's work folder: its build trees and preview prefix, the lock that keeps two runs
out of them at once, and the log of internal errors (faults of the kit itself, whose
tracebacks do not belong on the publisher's terminal)."""
import contextlib
import datetime
import fcntl
import os
import traceback
from pathlib import Path

from .report import progress

# The project that builds the updaters: the checkout this kit lies in.
ROOT = Path(__file__).resolve().parent.parent.parent
INTERNAL_ERRORS = "internal-errors.log"


def work_folder():
    """Where the kit keeps its build trees and its preview prefix."""
    return Path(os.environ.get("FISH_KIT_WORK", ROOT / "build" / "fish-kit"))


@contextlib.contextmanager
def locked():
    """Holds the work folder for this run; a second run waits for the first to end."""
    work = work_folder()
    work.mkdir(parents=True, exist_ok=True)
    with open(work / ".lock", "a") as lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            progress(f"waiting for another fish-kit run that uses {work}")
            fcntl.flock(lock, fcntl.LOCK_EX)
        yield work


def internal_error(label, stage, details=None):
    """Records a fault of the kit that struck one item (a fish folder or an exe) in the
    log, with its traceback (the current exception's without details); returns the item's
    one error line."""
    log = work_folder() / INTERNAL_ERRORS
    details = details or traceback.format_exc()
    try:
        log.parent.mkdir(parents=True, exist_ok=True)
        with open(log, "a", encoding="utf-8") as file:
            file.write(f"--- {datetime.datetime.now():%Y-%m-%d %H:%M:%S} {label}: {stage}\n"
                       f"{details}\n")
        where = f"the traceback is in {log}"
    except OSError as error:
        where = f"its traceback could not be written to {log} ({error.strerror})"
    last = details.strip().splitlines()[-1] if details.strip() else "?"
    return f"{label}: internal error while {stage} ({last}): a fault of the kit; {where}"
