"""Building: one fish folder or a catalogue of them into checked (and, when asked, signed)
updaters and a summary. Bad fish are listed; the good ones are built all the same, and
nothing half-made is left in the output folder, also when the run is killed."""
import functools
import multiprocessing
import re
import subprocess
import traceback
from pathlib import Path

from . import delivery, resources, signing, staging
from .fish_folder import FishError, convert, fish_number, write_payload
from .report import Counter, error, plural, progress
from .workspace import ROOT, internal_error, locked, work_folder

LINKED = re.compile(r"Linking CXX executable .*PelagioUpdate-([0-9]+)\.exe")


def fish_folders(source):
    source = Path(source)
    if (source / "fish.txt").exists():
        return [source]
    if not source.is_dir():
        raise FishError(source, "folder", "does not exist")
    return sorted(p for p in source.iterdir() if p.is_dir() and not p.name.startswith("."))


class Fault:
    """A fault of the kit that struck one fish in a worker process: its traceback."""

    def __init__(self, details):
        self.details = details


def checked(folder):
    """The converted fish, the lines of its problems or a Fault (for a worker process)."""
    try:
        return folder, convert(folder)
    except FishError as problem:
        return folder, problem.lines()
    except Exception:  # noqa: BLE001 - a fault of the kit: that fish fails, the others go on
        return folder, Fault(traceback.format_exc())


def check_fish(folders, jobs):
    """{number: (folder, fish)} of the good fish and [(folder, message)] of the bad, one for
    each problem."""
    good, errors = {}, []
    with multiprocessing.Pool(jobs) as pool:
        results = pool.map(checked, folders)
    for folder, fish in results:
        if isinstance(fish, Fault):
            errors.append((folder, internal_error(folder, "checking the fish", fish.details)))
        elif isinstance(fish, list):
            errors += [(folder, line) for line in fish]
        elif fish["number"] in good:
            errors.append((folder, str(FishError(folder, "number", f"{fish['number']} is also "
                                                 f"the number of {good[fish['number']][0]}"))))
        else:
            good[fish["number"]] = (folder, fish)
    return good, errors


def build_tree(good, jobs, arch="i686", extra_targets=(), options=()):
    """Compiles the shared code once and links one exe per good fish (for the shipped i686,
    or x86_64 for previews); returns the tree."""
    work = work_folder()
    listing = work / "fish_list.cmake"
    work.mkdir(parents=True, exist_ok=True)
    # The payloads are converted already (in checking them): the build only compiles and links.
    lines = []
    for number, (folder, fish) in sorted(good.items()):
        payload = work / "payload" / number
        write_payload(fish, payload)
        lines.append(f'add_fish_updater(PelagioUpdate-{number} "{folder.resolve().as_posix()}" '
                     f'PAYLOAD "{payload.as_posix()}")\n')
    if not listing.exists() or listing.read_text() != "".join(lines):
        listing.write_text("".join(lines))
    tree = work / arch
    progress("configuring the build" + ("" if arch == "i686" else f" ({arch})"))
    configure = subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(tree), "-G", "Ninja",
         f"-DCMAKE_TOOLCHAIN_FILE={ROOT}/cmake/toolchain-{arch}-w64-mingw32.cmake",
         "-DCMAKE_BUILD_TYPE=MinSizeRel", f"-DPELAGIO_FISH_LIST={listing}", *options],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if configure.returncode != 0:
        raise RuntimeError("cmake could not configure the build: " +
                           (configure.stderr.strip().splitlines() or ["(no output)"])[-1])
    progress(f"building {len(good)} updater{'s' if len(good) != 1 else ''}")
    command = ["cmake", "--build", str(tree), "--target"]
    command += [f"PelagioUpdate-{number}" for number in good] + list(extra_targets)
    if jobs:
        command += ["-j", str(jobs)]
    # -k 0: one fish that fails to build does not stop the others.
    counter = Counter("built", len(good))
    with subprocess.Popen(command + ["--", "-k", "0"], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True) as build:
        for line in build.stdout:
            if LINKED.search(line):
                counter.tick()
    counter.finish(sum((tree / "bin" / f"PelagioUpdate-{number}.exe").exists() for number in good))
    return tree


def checked_exes(tree, good, errors):
    """{number: exe} of the built exes whose resource table is right for their fish."""
    built = {}
    for number, (folder, fish) in good.items():
        exe = tree / "bin" / f"PelagioUpdate-{number}.exe"
        problems = [] if exe.exists() else ["the build made no exe"]
        problems = problems or resources.check_exe(exe, fish)
        if problems:
            errors.append((folder, f"{folder}: exe: {problems[0]}"))
        else:
            built[number] = exe
    return built


def release_file(name):
    return name == "summary.tsv" or bool(re.fullmatch(r"PelagioUpdate-[0-9]+\.exe", name))


def bad_count(errors):
    return len({label for label, _ in errors})


def exe_name(number):
    return f"PelagioUpdate-{number}.exe"


def stale_exes(output, errors, delivered):
    """{exe name: label} of the exes in output of fish that failed in this run, where the
    fish's number can be told (a number that another folder built is that folder's)."""
    stale = {}
    for label, _ in errors:
        number = fish_number(label)
        name = exe_name(number) if number else None
        if name and name not in delivered and (Path(output) / name).is_file():
            stale.setdefault(name, str(label))
    return stale


def check_only(folders, output, jobs):
    """build --check: every problem of every fish, and what a build would remove from
    output; nothing is built or written. Returns the exit status."""
    progress(f"checking {plural(len(folders), 'fish folder')}")
    good, errors = check_fish(folders, jobs)
    for _, message in errors:
        error(message)
    if output is not None and Path(output).is_dir():
        for name in sorted(stale_exes(output, errors, {exe_name(n) for n in good})):
            progress(f"a build would remove {Path(output) / name}: its fish fails")
    progress(f"{len(good)} good, {bad_count(errors)} bad; nothing was built")
    return 1 if errors else 0


def build(source, output, key=None, timestamps=(), jobs=None, sign_jobs=None, check=False):
    """Builds every fish of source into output, signed with key when one is given; returns
    the exit status (0, or 1 when a fish was bad or failed). With check, only checks."""
    try:
        folders = fish_folders(source)
    except FishError as problem:
        error(problem)
        return 1
    if check:
        return check_only(folders, output, jobs)
    output = Path(output)
    try:
        with staging.staged(output) as stage, locked():
            return build_into(folders, output, stage, key, timestamps, jobs, sign_jobs)
    except staging.InUse as problem:
        error(f"{output}: {problem}")
        return 1


def build_into(folders, output, stage, key, timestamps, jobs, sign_jobs):
    try:
        signer = signing.signer_for(key, timestamps)
    except signing.SigningError as problem:
        error(problem)
        return 1
    progress(f"checking {plural(len(folders), 'fish folder')}")
    good, errors = check_fish(folders, jobs)
    progress(f"{len(good)} good, {bad_count(errors)} bad")
    built = {}
    if good:
        try:
            tree = build_tree(good, jobs)
        except RuntimeError as problem:
            error(problem)
            return 1
        built = checked_exes(tree, good, errors)

    output.mkdir(parents=True, exist_ok=True)
    staging.remove_old_staging(output, release_file)
    items = [delivery.Item(str(good[number][0]), exe, exe.name,
                           functools.partial(resources.check_exe, fish=good[number][1]))
             for number, exe in sorted(built.items())]
    delivered, failed = delivery.deliver_all(items, stage, output, signer,
                                             signing.signer_count(key, sign_jobs, jobs))
    errors += failed
    rows = []
    for item in delivered:
        number = item.name[len("PelagioUpdate-"):-len(".exe")]
        fish = good[number][1]
        rows.append((number, fish["name"].decode("cp932"), fish["english"].decode(), item.name))
    # OUTPUT is what its summary says: no exe of a fish that failed now stays, and the exes
    # of fish outside this run keep their rows.
    errors = [(str(label), message) for label, message in errors]
    written = {item.name for item in delivered}
    delivery.remove_stale(output, stale_exes(output, errors, written), errors)
    kept, foreign = delivery.kept_rows(output, written)
    errors += foreign
    delivery.write_summary(output, stage, sorted(rows + kept, key=lambda row: int(row[0])),
                           errors)
    for _, message in errors:
        error(message)
    return 1 if errors else 0
