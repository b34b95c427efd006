"""Staging beside a target folder: a run writes into a hidden folder next to its OUTPUT (on
the same file system, so that moving a finished file in is atomic), never inside it, where a
release upload would take half-made files along. The staging folder is also the target's
lock: a second run into the same target is refused with one line, and a run that finds one
left by a killed run empties it and goes on. Finished runs remove it."""
import contextlib
import fcntl
import os
import re
import shutil
from pathlib import Path

from .report import progress

# What the kit's earlier versions staged inside OUTPUT (tempfile's names) and in a
# catalogue beside an unpacked folder.
OLD_STAGING = re.compile(r"tmp[a-z0-9_]{8}")


class InUse(Exception):
    """Another run is writing to the target, on one line."""


def staging_folder(target):
    target = Path(target).resolve()
    return target.parent / f".{target.name}.fish-kit"


def _remove(path):
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path)
    else:
        path.unlink()


def _take(folder):
    """An open descriptor of folder, locked; None when folder went away meanwhile. Raises
    InUse."""
    try:
        descriptor = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    except FileNotFoundError:
        return None
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(descriptor)
        owner = (folder / ".owner")
        pid = owner.read_text().strip() if owner.exists() else "?"
        raise InUse(f"another fish-kit run (process {pid}) is writing to it; try again when "
                    "it has ended")
    try:
        same = os.stat(folder).st_ino == os.fstat(descriptor).st_ino
    except FileNotFoundError:
        same = False
    if not same:  # the run before removed it while this one waited: start again
        os.close(descriptor)
        return None
    return descriptor


@contextlib.contextmanager
def staged(target):
    """Yields the staging folder of target, locked for this run and empty. Raises InUse."""
    folder = staging_folder(target)
    folder.parent.mkdir(parents=True, exist_ok=True)
    while True:
        try:
            folder.mkdir()
        except FileExistsError:
            pass
        descriptor = _take(folder)
        if descriptor is not None:
            break
    try:
        leftovers = [p for p in folder.iterdir() if p.name != ".owner"]
        if leftovers:
            progress(f"removing what a killed run left in {folder} ({len(leftovers)} "
                     f"item{'s' if len(leftovers) != 1 else ''})")
            for path in leftovers:
                _remove(path)
        (folder / ".owner").write_text(f"{os.getpid()}\n")
        yield folder
    finally:
        shutil.rmtree(folder, ignore_errors=True)
        os.close(descriptor)


def remove_old_staging(output, names):
    """Removes what the kit's earlier versions left inside OUTPUT when they were killed:
    tmpXXXXXXXX folders that hold nothing but files of the given names (or nothing)."""
    output = Path(output)
    if not output.is_dir():
        return
    for path in output.iterdir():
        if not (path.is_dir() and not path.is_symlink() and OLD_STAGING.fullmatch(path.name)):
            continue
        if all(entry.is_file() and names(entry.name) for entry in path.iterdir()):
            progress(f"removing {path}, left by a killed run of an earlier fish kit")
            shutil.rmtree(path)


def move_into(staged_path, target):
    """Puts a finished file or folder in place of target (a folder target is replaced
    whole)."""
    target = Path(target)
    if target.is_dir() and not target.is_symlink() and Path(staged_path).is_dir():
        shutil.rmtree(target)
    os.replace(staged_path, target)
