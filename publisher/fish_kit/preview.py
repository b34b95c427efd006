"""Previews: every fish's dialog as Windows draws it, in the Japanese and the German
template, and its completion message, each saved as a PNG of the window itself; the name's
fit measured in the real name control; and a contact sheet of the whole catalogue.

The updaters run under Wine with Xvfb (tools/wine/wine-display.sh, the demo's set-up), as 64-bit
builds of the same fish: their resources are the same bytes as the shipped exes'. Fish run
in parallel, one preview driver per Wine desktop, under one Wine server and one X server.
"""
import os
import shutil
import subprocess
import tempfile
import threading
from pathlib import Path

from PIL import Image

from . import resources, sheet, staging, unpacking
from .building import build_tree, check_fish
from .fish_folder import FishError
from .report import Counter, error, progress
from .workspace import ROOT, internal_error, locked, work_folder

DISPLAY_TOOL = ROOT / "tools" / "wine" / "wine-display.sh"
LOCALES = {"ja": "ja_JP.UTF-8", "de": "de_DE.UTF-8"}
# The probe measures the name and the buttons; the verdict is the name control's (id 1002).
NAME_CONTROL = "1002"
# A driver whose fish all fail to show still ends: each wait inside it is bounded (15 s),
# three per fish, and this bounds the whole driver besides.
DRIVER_LIMIT_PER_FISH_S = 60


def windows_path(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def sources(source, scratch):
    """The fish folders of source: a fish folder, a catalogue of them, an updater exe or a
    folder of exes (each unpacked into scratch first). Bad exes come back as errors; origins
    maps an unpacked folder to its exe."""
    source = Path(source)
    if source.is_file() or (source / "fish.txt").exists():
        items = [source]
    elif source.is_dir():
        items = sorted(p for p in source.iterdir()
                       if not p.name.startswith(".") and (p.is_dir() or p.suffix.lower() == ".exe"))
    else:
        raise FishError(source, "folder", "does not exist")
    folders, errors, origins = [], [], {}
    for item in items:
        if item.is_dir():
            folders.append(item)
            continue
        try:
            files = unpacking.fish_folder_files(item)
        except resources.ExeError as problem:
            errors.append((item, f"{item}: {problem}"))
            continue
        except Exception:  # noqa: BLE001 - a fault of the kit: this exe fails, not the run
            errors.append((item, internal_error(item, "unpacking the exe")))
            continue
        folder = Path(scratch) / item.stem
        folder.mkdir(parents=True)
        for name, data in files.items():
            (folder / name).write_bytes(data)
        folders.append(folder)
        origins[folder] = item
    return folders, errors, origins


class Driver:
    """One preview driver in a Wine desktop of its own, for one locale and a share of the
    fish; it reports each fish as it is done."""

    def __init__(self, prefix, tree, shots, tag, index, jobs, environment, on_result):
        self.tag, self.jobs, self.on_result = tag, jobs, on_result
        listing = shots / f"jobs-{tag}-{index}.txt"
        listing.write_text("".join(f"{number}\t{windows_path(exe)}\t{windows_path(shot)}\r\n"
                                   for number, exe, shot in jobs))
        command = ["bash", str(DISPLAY_TOOL), "wine", str(prefix), LOCALES[tag], "explorer",
                   f"/desktop=fish-kit-{tag}-{index},640x400",
                   windows_path(tree / "bin" / "preview_driver.exe"), windows_path(listing), tag]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True, env=environment)
        self.reported = set()
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()

    def read(self):
        for line in self.process.stdout:
            status, _, rest = line.strip().partition(" ")
            number, _, reason = rest.partition(" ")
            if status in ("OK", "FAIL") and number not in self.reported:
                self.reported.add(number)
                self.on_result(self.tag, number, reason if status == "FAIL" else None)

    def wait(self):
        try:
            self.process.wait(timeout=DRIVER_LIMIT_PER_FISH_S * len(self.jobs) + 30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.reader.join(timeout=5)
        for number, _, _ in self.jobs:
            if number not in self.reported:
                self.on_result(self.tag, number, "the preview driver ended before this fish")


def start_display(prefix):
    """The prefix made ready, Xvfb started and a Wine server kept running; returns the
    environment for the drivers and the Xvfb process id."""
    made = subprocess.run(["bash", str(DISPLAY_TOOL), "prefix", str(prefix)],
                          capture_output=True, text=True)
    if made.returncode != 0:
        raise RuntimeError(f"the Wine prefix {prefix} could not be made: "
                           f"{(made.stderr.strip().splitlines() or ['?'])[-1]}")
    started = subprocess.run(["bash", str(DISPLAY_TOOL), "xvfb"], capture_output=True, text=True)
    if started.returncode != 0 or len(started.stdout.split()) != 2:
        raise RuntimeError("Xvfb could not be started: " + started.stderr.strip())
    display, xvfb = started.stdout.split()
    environment = dict(os.environ, DISPLAY=display, WINEPREFIX=str(prefix), WINEDEBUG="-all")
    # One Wine server for every driver (it outlives a killed preview by 30 s at most), and
    # the session's own processes up before any driver starts.
    subprocess.run(["/usr/lib/wine/wineserver", "-p30"], env=environment, check=False)
    subprocess.run(["bash", str(DISPLAY_TOOL), "wine", str(prefix), "C.UTF-8", "wineboot"],
                   env=environment, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return environment, int(xvfb)


def stop_display(environment, xvfb):
    subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=environment,
                   stderr=subprocess.DEVNULL, check=False)
    try:
        os.kill(xvfb, 15)
    except ProcessLookupError:
        pass


def run_drivers(prefix, tree, good, shots, jobs):
    """Runs every fish in both locales; returns {number: reason} of the fish that failed."""
    environment, xvfb = start_display(prefix)
    failed, lock = {}, threading.Lock()
    counter = Counter("previewed", len(good) * len(LOCALES))

    def on_result(tag, number, reason):
        with lock:
            counter.tick()
            if reason and number not in failed:
                failed[number] = f"{tag}: {reason}"

    try:
        numbers = sorted(good)
        per_locale = max(1, min(jobs, len(numbers)))
        # One language at a time: Wine writes a starting process's locale into the user's
        # settings, and a process of the other language starting meanwhile would take the
        # fonts of that one (captions and message texts without Japanese glyphs).
        for tag in LOCALES:
            drivers = []
            for index in range(per_locale):
                share = [(n, tree / "bin" / f"PelagioUpdate-{n}.exe", shots / n / "shot")
                         for n in numbers[index::per_locale]]
                drivers.append(Driver(prefix, tree, shots, tag, index, share, environment,
                                      on_result))
            for driver in drivers:
                driver.wait()
    finally:
        stop_display(environment, xvfb)
    return failed


def name_measurement(text):
    """The name control's eight fields from the probe's lines ("1002 CLASS ..."), or []."""
    for line in text.splitlines():
        fields = line.split()
        if fields[:1] == [NAME_CONTROL]:
            return fields[1:]
    return []


def fit_verdict(fields):
    """(fits, one line) of a name control's measurement (the probe's eight fields), or
    (None, why) without one."""
    if len(fields) != 8:
        return None, "not measured"
    kind = fields[0]
    width, height, client_width, client_height, lines, line_height, format_height = map(
        int, fields[1:])
    if kind.lower() == "edit":
        shown = max(1, format_height // max(1, line_height))
        fits = lines <= shown
        return fits, (f"{'fits' if fits else 'does not fit'}: {lines} line"
                      f"{'s' if lines != 1 else ''} of {shown} shown")
    fits = width <= client_width and height <= client_height
    return fits, (f"{'fits' if fits else 'does not fit'}: {width} of {client_width} pixels"
                  f"{'' if fits else ' shown'}")


def collect_fish(number, folder, fish, shots, output, failed):
    """One fish's row of the sheet, its PNGs written into output."""
    row = {"number": number, "name": fish["name"].decode("cp932"),
           "english": fish["english"].decode("ascii"), "folder": folder, "images": {},
           "sizes": {}, "measured": {}, "fit": {}, "error": failed.get(number)}
    target = output / number
    target.mkdir(parents=True, exist_ok=True)
    for image in ("dialog-ja", "dialog-de", "message"):
        bmp = shots / number / f"shot-{image}.bmp"
        if bmp.exists():
            with Image.open(bmp) as opened:
                opened.save(target / f"{image}.png")
                # The page shows each picture at its own size (the message box is smaller
                # than the dialog).
                row["sizes"][image] = opened.size
            row["images"][image] = target / f"{image}.png"
    for tag in LOCALES:
        fit = shots / number / f"shot-fit-{tag}.txt"
        fields = name_measurement(fit.read_text() if fit.exists() else "")
        row["measured"][tag] = fields if len(fields) == 8 else [""] * 8
        row["fit"][tag] = fit_verdict(fields)
    return row


def collect(good, shots, output, failed):
    """PNGs and fit verdicts of every fish into output; returns the sheet's rows."""
    rows = []
    for number, (folder, fish) in sorted(good.items()):
        try:
            rows.append(collect_fish(number, folder, fish, shots, output, failed))
        except Exception:  # noqa: BLE001 - this fish's preview fails, not the sheet
            shutil.rmtree(output / number, ignore_errors=True)
            rows.append({"number": number, "name": fish["name"].decode("cp932", "replace"),
                         "english": fish["english"].decode("ascii", "replace"),
                         "folder": folder, "images": {}, "sizes": {}, "measured": {},
                         "fit": {tag: (None, "not measured") for tag in LOCALES},
                         "error": internal_error(folder, "collecting the preview")})
    with open(output / "fit.tsv", "w", encoding="utf-8") as table:
        table.write("number\tname-ja\tlanguage\tcontrol\ttext width\ttext height\t"
                    "client width\tclient height\tlines\tline height\tformat height\tverdict\n")
        for row in rows:
            for tag, fields in row["measured"].items():
                table.write("\t".join([row["number"], row["name"], tag, *fields,
                                        row["fit"][tag][1]]) + "\n")
    return rows


def preview(source, output, jobs=None, strict=False):
    """Previews every fish of source into output; returns the exit status (1 when a fish was
    bad or its preview failed, or with strict, when a name does not fit)."""
    output = Path(output)
    jobs = jobs or os.cpu_count() or 1
    try:
        with staging.staged(output) as stage, locked() as work:
            # Scratch of a killed run (the work folder is this run's now).
            for old in work.glob("preview-*"):
                shutil.rmtree(old, ignore_errors=True)
            with tempfile.TemporaryDirectory(dir=work, prefix="preview-") as scratch:
                return preview_into(source, output, stage, Path(scratch), jobs, strict)
    except staging.InUse as problem:
        error(f"{output}: {problem}")
        return 1


def preview_into(source, output, stage, scratch, jobs, strict):
    try:
        folders, errors, origins = sources(source, scratch / "unpacked")
    except FishError as problem:
        error(problem)
        return 1
    progress(f"checking {len(folders)} fish")
    good, bad = check_fish(folders, jobs)
    errors += [(folder, message.replace(str(folder), str(origins[folder])))
               if folder in origins else (folder, message) for folder, message in bad]
    for number, (folder, fish) in good.items():
        good[number] = (origins.get(folder, folder), fish)
    progress(f"{len(good)} good, {len({folder for folder, _ in errors})} bad")
    failed = {}
    if good:
        try:
            tree = build_tree(good, jobs, "x86_64", ["preview_driver", "fit_probe"],
                              ["-DPELAGIO_PREVIEW_TOOLS=ON"])
            missing = [n for n in good if not (tree / "bin" / f"PelagioUpdate-{n}.exe").exists()]
            for number in missing:
                failed[number] = "the 64-bit build made no exe"
            runnable = {n: f for n, f in good.items() if n not in missing}
            shots = scratch / "shots"
            for number in runnable:
                (shots / number).mkdir(parents=True)
            if runnable:
                progress(f"previewing {len(runnable)} fish in {len(LOCALES)} languages")
                failed.update(run_drivers(work_folder() / "preview-prefix", tree, runnable,
                                          shots, jobs))
        except RuntimeError as problem:
            error(problem)
            return 1
    written = stage / "preview"
    written.mkdir()
    rows = collect(good, scratch / "shots", written, failed)
    unfit = []
    for row in rows:
        for tag, (fits, verdict) in row["fit"].items():
            if fits is False:
                control = "Japanese name control" if tag == "ja" else "German name edit"
                said = (f"{row['number']} {row['name']}: the name does not fit the {control} "
                        f"({verdict})")
                if strict:
                    unfit.append(f"{row['folder']}: name-ja: {said}")
                else:
                    progress(f"warning: {said}")
    sheet.write(written, rows, errors)
    # Each fish's pictures, fit.tsv and the sheet move in whole.
    output.mkdir(parents=True, exist_ok=True)
    for entry in sorted(written.iterdir()):
        staging.move_into(entry, output / entry.name)
    messages = [message for _, message in errors]
    messages += [f"{row['folder']}: preview: {row['error']}" for row in rows if row["error"]]
    messages += unfit
    for message in messages:
        error(message)
    progress(f"wrote the previews of {len(rows)} fish, sheet.png and sheet.html to {output}")
    return 1 if messages else 0
