"""Delivery of exes into a release folder: each one copied or signed in a staging folder,
checked there, and only then moved into place, whole or not at all; and the release's
summary.tsv."""
import concurrent.futures
import hashlib
import os
import shutil
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

from . import resources, signing
from .report import Counter, plural, progress
from .workspace import internal_error


@dataclass
class Item:
    """One exe to deliver: its label in error lines (a fish folder or an exe), the exe, the
    name it gets in the release and the check of the delivered bytes (a list of problems)."""
    label: str
    source: Path
    name: str
    problems_of: Callable


def deliver(item, staging, output, signer):
    """Copies (or signs) one exe into output; returns None or the error's text."""
    try:
        return deliver_one(item, staging, output, signer)
    except Exception:  # noqa: BLE001 - a fault of the kit: this exe fails, the others go on
        return internal_error(item.label, "delivering the exe")


def deliver_one(item, staging, output, signer):
    staged = Path(staging) / item.name
    try:
        if signer:
            try:
                signer(item.source, staged)
            except signing.SigningError as error:
                return f"{item.label}: signing: {error}"
        else:
            shutil.copyfile(item.source, staged)
        problems = item.problems_of(staged)
        if problems:
            return f"{item.label}: {'signed exe' if signer else 'exe'}: {problems[0]}"
        os.replace(staged, Path(output) / item.name)
        return None
    finally:
        staged.unlink(missing_ok=True)


def deliver_all(items, staging, output, signer=None, jobs=None):
    """Delivers the items, signing (when asked) with at most jobs signers at once; returns
    the delivered items and [(label, error)]."""
    if signer:
        at_once = f" with {plural(jobs, 'signer')} at once" if jobs else ""
        progress(f"signing {plural(len(items), 'exe')}{at_once}")
    # Counts the exes signed, not the tries.
    counter = Counter("signed", len(items))
    delivered, errors = [], []
    with concurrent.futures.ThreadPoolExecutor(jobs or os.cpu_count()) as pool:
        futures = [(item, pool.submit(deliver, item, staging, output, signer)) for item in items]
        for item, future in futures:
            error = future.result()
            if error:
                errors.append((item.label, error))
                continue
            delivered.append(item)
            if signer:
                counter.tick()
    if signer and items:
        counter.end()
    return delivered, errors


def remove_stale(output, stale, errors):
    """Removes from output each exe of stale ({exe name: label}), an earlier run's exe of
    what failed in this one, and says so on that label's first error line."""
    for name, label in sorted(stale.items()):
        path = Path(output) / name
        if not path.is_file():
            continue
        path.unlink()
        for index, (failed, message) in enumerate(errors):
            if failed == label:
                errors[index] = (failed, f"{message} (its exe from an earlier run, {path}, "
                                 "was removed)")
                break


def kept_rows(output, written):
    """Summary rows, read from the exes themselves, of the exes in output that this run did not
    write (those of fish outside its source), and [(label, error)] of those that are not
    updaters."""
    rows, errors = [], []
    kept = sorted(p for p in Path(output).iterdir() if p.suffix.lower() == ".exe" and
                  p.is_file() and not p.name.startswith(".") and p.name not in written)
    for exe in kept:
        try:
            rows.append(resources.summary_row(exe))
        except resources.ExeError as problem:
            errors.append((str(exe), f"{exe}: not an updater ({problem}); it is not this "
                           "release's: remove it"))
    if rows:
        progress(f"kept {plural(len(rows), 'exe')} of fish not in this run: "
                 f"{', '.join(row[3] for row in rows)}")
    return rows, errors


def write_summary(output, staging, rows, errors):
    """summary.tsv of the release: (number, Japanese name, English name, exe name) of each
    delivered exe with its size and SHA-256, then the errors; printed as well. It is written
    in the staging folder and moved into place whole."""
    lines = []
    for number, name_ja, name_en, exe_name in rows:
        data = (Path(output) / exe_name).read_bytes()
        lines.append("\t".join([number, name_ja, name_en, str(len(data)),
                                hashlib.sha256(data).hexdigest(), exe_name]))
    lines += ["\t".join(["-", "-", "-", "-", "-", message]) for _, message in errors]
    summary = "number\tname-ja\tname-en\tbytes\tsha256\texe or error\n" + "".join(
        line + "\n" for line in lines)
    staged = Path(staging) / "summary.tsv"
    staged.write_text(summary, encoding="utf-8")
    os.replace(staged, Path(output) / "summary.tsv")
    print(summary, end="")
    progress(f"wrote {plural(len(rows), 'exe')} and summary.tsv to {output}")
