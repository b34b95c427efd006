"""Bounded reads: a file is checked to be a regular file of a size the kit can use before
its bytes are read, so that a link to an endless device, a pipe or a huge file cannot
exhaust memory or hold a run."""
import os
import stat


class UnreadableFile(Exception):
    """Why a file cannot be read within its bound, on one line."""


def size_text(count):
    for unit, size in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if count >= size:
            return f"{count / size:.1f} {unit}".replace(".0 ", " ")
    return f"{count} bytes"


def read_bounded(path, limit):
    """The bytes of the regular file at path, of at most limit bytes. Raises UnreadableFile."""
    try:
        # Non-blocking, so that opening a pipe does not wait for a writer.
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except OSError as error:
        raise UnreadableFile(f"cannot be read ({error.strerror})")
    with os.fdopen(descriptor, "rb") as file:
        status = os.fstat(descriptor)
        if not stat.S_ISREG(status.st_mode):
            raise UnreadableFile("is not a regular file")
        if status.st_size > limit:
            raise UnreadableFile(f"is {size_text(status.st_size)}, more than the "
                                 f"{size_text(limit)} the kit accepts")
        try:
            data = file.read(limit + 1)
        except OSError as error:
            raise UnreadableFile(f"cannot be read ({error.strerror})")
    if len(data) > limit:  # it grew while it was read
        raise UnreadableFile(f"is more than the {size_text(limit)} the kit accepts")
    return data
