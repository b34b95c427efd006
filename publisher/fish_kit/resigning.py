"""Signing exes that are built already: a release built where there was no token, the back
catalogue brought home with unpack and rebuilt, an exe whose timestamp expired. An old
signature is replaced. Each exe lands in OUTPUT whole or not at all, its resources checked to
be those it had; an exe that is not an updater is refused with one line."""
from pathlib import Path

from . import delivery, resources, signing, staging
from .report import error, plural, progress
from .workspace import internal_error

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
        with staging.staged(output) as stage:
            return sign_into(exes, output, stage, key, timestamps, sign_jobs)
    except staging.InUse as problem:
        error(f"{output}: {problem}")
        return 1


def sign_into(exes, output, stage, key, timestamps, sign_jobs):
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
        except Exception:  # noqa: BLE001 - a fault of the kit: this exe fails, not the run
            errors.append((str(exe), internal_error(exe, "reading the exe")))
            continue
        items.append(delivery.Item(str(exe), exe, exe.name, same_resources(found)))
        name_ja = found[(RT_RCDATA, "DATA.TXT", 1028)][:-2].decode("cp932", "replace")
        name_en = found[(RT_RCDATA, "DATA.TXT1", 1028)].decode("ascii", "replace")
        rows[exe.name] = (number, name_ja, name_en, exe.name)
    progress(f"{plural(len(items), 'updater')} to sign, {len(errors)} refused")
    output.mkdir(parents=True, exist_ok=True)
    staging.remove_old_staging(output, lambda name: name.lower().endswith(".exe"))
    delivered, failed = delivery.deliver_all(items, stage, output, signer,
                                             signing.signer_count(key, sign_jobs, None))
    errors += failed
    # OUTPUT is what its summary says: an exe that failed now does not stay from an earlier
    # run, and exes of other fish keep their rows.
    written = {item.name for item in delivered}
    stale = {Path(label).name: label for label, _ in errors
             if Path(label).name not in written and (output / Path(label).name).is_file()}
    delivery.remove_stale(output, stale, errors)
    kept, foreign = delivery.kept_rows(output, written)
    errors += foreign
    delivery.write_summary(output, stage, sorted([rows[item.name] for item in delivered] + kept,
                                                 key=lambda row: int(row[0])), errors)
    for _, message in errors:
        error(message)
    return 1 if errors else 0
