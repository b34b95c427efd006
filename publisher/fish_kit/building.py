"""Building: one fish folder or a catalogue of them into checked (and, when asked, signed)
updaters and a summary. Bad fish are listed; the good ones are built all the same, and
nothing half-made is left in the output folder."""
import concurrent.futures
import functools
import hashlib
import multiprocessing
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from . import resources, signing
from .fish_folder import FishError, convert, write_payload

# The project that builds the updaters: the checkout this kit lies in.
ROOT = Path(__file__).resolve().parent.parent.parent
LINKED = re.compile(r"Linking CXX executable .*PelagioUpdate-([0-9]+)\.exe")


def progress(message):
    print(f"fish-kit: {message}", file=sys.stderr, flush=True)


class Counter:
    """Prints "VERB k of n" about ten times over a run, and at its end."""

    def __init__(self, verb, total):
        self.verb, self.total, self.done = verb, total, 0
        self.step = max(1, total // 10)

    def tick(self):
        self.done += 1
        if self.done % self.step == 0 or self.done == self.total:
            progress(f"{self.verb} {self.done} of {self.total}")

    def finish(self, done):
        """The final count, where some items needed no work (an exe already up to date)."""
        if done != self.done:
            self.done = done
            progress(f"{self.verb} {self.done} of {self.total}")


def fish_folders(source):
    source = Path(source)
    if (source / "fish.txt").exists():
        return [source]
    if not source.is_dir():
        raise FishError(source, "folder", "does not exist")
    return sorted(p for p in source.iterdir() if p.is_dir() and not p.name.startswith("."))


def checked(folder):
    """The converted fish, or the error's text (for a worker process)."""
    try:
        return folder, convert(folder)
    except FishError as error:
        return folder, str(error)


def check_fish(folders, jobs):
    """{number: (folder, fish)} of the good fish and [(folder, message)] of the bad."""
    good, errors = {}, []
    with multiprocessing.Pool(jobs) as pool:
        results = pool.map(checked, folders)
    for folder, fish in results:
        if isinstance(fish, str):
            errors.append((folder, fish))
        elif fish["number"] in good:
            errors.append((folder, str(FishError(folder, "number", f"{fish['number']} is also "
                                                 f"the number of {good[fish['number']][0]}"))))
        else:
            good[fish["number"]] = (folder, fish)
    return good, errors


def work_folder():
    """Where the kit keeps its build trees and its preview prefix."""
    return Path(os.environ.get("FISH_KIT_WORK", ROOT / "build" / "fish-kit"))


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


def deliver(exe, folder, fish, output, signer):
    """Copies (or signs) one exe into the output folder, whole or not at all; returns None or
    the error's text."""
    target = output / exe.name
    with tempfile.TemporaryDirectory(dir=output) as staging:
        staged = Path(staging) / exe.name
        if signer:
            try:
                signer(exe, staged)
            except signing.SigningError as error:
                return f"{folder}: signing: {error}"
            problems = resources.check_exe(staged, fish)
            if problems:
                return f"{folder}: signed exe: {problems[0]}"
        else:
            shutil.copyfile(exe, staged)
        os.replace(staged, target)
    return None


def build(source, output, pkcs12=None, password_file=None, timestamps=(), jobs=None):
    """Builds every fish of source into output; returns the exit status (0, or 1 when a fish
    was bad or failed)."""
    output = Path(output)
    try:
        folders = fish_folders(source)
    except FishError as error:
        progress(f"error: {error}")
        return 1
    progress(f"checking {len(folders)} fish folder{'s' if len(folders) != 1 else ''}")
    good, errors = check_fish(folders, jobs)
    progress(f"{len(good)} good, {len(errors)} bad")
    built = {}
    if good:
        try:
            tree = build_tree(good, jobs)
        except RuntimeError as error:
            progress(f"error: {error}")
            return 1
        built = checked_exes(tree, good, errors)

    output.mkdir(parents=True, exist_ok=True)
    signer = None
    if pkcs12:
        if not timestamps:
            progress("warning: signing without --timestamp: the signatures turn invalid when "
                     "the certificate expires")
        signer = functools.partial(signing.sign, pkcs12=pkcs12, password_file=password_file,
                                   timestamps=timestamps)
        progress(f"signing {len(built)} exe{'s' if len(built) != 1 else ''}")
    counter = Counter("signed", len(built))
    delivered = []
    with concurrent.futures.ThreadPoolExecutor(jobs or os.cpu_count()) as pool:
        futures = {number: pool.submit(deliver, exe, *good[number], output, signer)
                   for number, exe in sorted(built.items())}
        for number, future in futures.items():
            error = future.result()
            if signer:
                counter.tick()
            if error:
                errors.append((good[number][0], error))
            else:
                delivered.append(number)
    write_summary(output, good, delivered, errors)
    for _, message in errors:
        print(f"fish-kit: error: {message}", file=sys.stderr)
    return 1 if errors else 0


def write_summary(output, good, delivered, errors):
    rows = []
    for number in delivered:
        folder, fish = good[number]
        target = output / f"PelagioUpdate-{number}.exe"
        data = target.read_bytes()
        rows.append("\t".join([number, fish["name"].decode("cp932"), fish["english"].decode(),
                               str(len(data)), hashlib.sha256(data).hexdigest(), target.name]))
    rows += ["\t".join(["-", "-", "-", "-", "-", message]) for _, message in errors]
    summary = "number\tname-ja\tname-en\tbytes\tsha256\texe or error\n" + "".join(
        row + "\n" for row in rows)
    (output / "summary.tsv").write_text(summary, encoding="utf-8")
    print(summary, end="")
    progress(f"wrote {len(delivered)} exe{'s' if len(delivered) != 1 else ''} and summary.tsv "
             f"to {output}")
