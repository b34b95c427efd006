"""Signing exes that are built already: a release built where there was no token, the back
catalogue brought home with unpack and rebuilt, an exe whose timestamp expired. An old
signature is replaced. Each exe lands in OUTPUT whole or not at all, its resources checked to
be those it had; an exe that is not an updater is refused with one line."""
import tempfile
from pathlib import Path

from . import delivery, resources, signing
from .report import error, plural, progress

RT_RCDATA = resources.RT_RCDATA


def source_exes(source):
    source = Path(source)
    if source.is_file():
        return [source]
    if not source.is_dir():
        raise resources.ExeError(f"{source} does not exist")
    return sorted(p for p in source.iterdir()
                  if p.suffix.lower() == ".exe" and not p.name.startswith(".") and p.is_file())


def updater_resources(exe):
    """(fish number, resources) of an updater exe. Raises ExeError for anything else."""
    data = resources.read_exe(exe)
    found = resources.read_resources(data)
    problems = resources.table_problems(found)
    if problems:
        raise resources.ExeError(f"not an updater: {problems[0]}")
    number = resources.fish_number(data)
    if number is None:
        raise resources.ExeError("not an updater: it carries no fish number "
                                 "(Fish\\PG<number>.vmf)")
    return number, found


def same_resources(original):
    """The check of a signed exe: its resources are the original's, byte for byte."""
    def problems_of(signed):
        try:
            found = resources.read_resources(resources.read_exe(signed))
        except resources.ExeError as problem:
            return [f"resources cannot be read: {problem}"]
        if found != original:
            changed = sorted(str(k) for k in set(found) | set(original)
                             if found.get(k) != original.get(k))
            return [f"its resources differ from the unsigned exe's: {', '.join(changed)}"]
        return []
    return problems_of


def sign_exes(source, output, key, timestamps=(), sign_jobs=None):
    """Signs (or re-signs) every exe of source into output; returns the exit status."""
    output = Path(output)
    try:
        exes = source_exes(source)
    except resources.ExeError as problem:
        error(problem)
        return 1
    if not exes:
        error(f"{source}: holds no exe to sign")
        return 1
    try:
        signer = signing.signer_for(key, timestamps, resign=True)
    except signing.SigningError as problem:
        error(problem)
        return 1
    items, rows, errors = [], {}, []
    for exe in exes:
        try:
            number, found = updater_resources(exe)
        except resources.ExeError as problem:
            errors.append((str(exe), f"{exe}: {problem}"))
            continue
        items.append(delivery.Item(str(exe), exe, exe.name, same_resources(found)))
        rows[exe.name] = (number, found[(RT_RCDATA, "DATA.TXT", 1028)][:-2].decode("cp932", "replace"),
                          found[(RT_RCDATA, "DATA.TXT1", 1028)].decode("ascii", "replace"),
                          exe.name)
    progress(f"{plural(len(items), 'updater')} to sign, {len(errors)} refused")
    output.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=output) as staging:
        delivered, failed = delivery.deliver_all(
            items, staging, output, signer, signing.signer_count(key, sign_jobs, None))
    errors += failed
    delivery.write_summary(output, [rows[item.name] for item in delivered], errors)
    for _, message in errors:
        error(message)
    return 1 if errors else 0
