"""The fish kit's command line: build, unpack, preview, check-exe and payload.

Exit status: 0 all good, 1 a bad fish or exe, 2 a usage error."""
import argparse
import sys
from pathlib import Path

from . import building, preview, resources, unpacking
from .fish_folder import FishError, convert, write_payload


def command_build(arguments):
    if (arguments.pkcs12 is None) != (arguments.password_file is None):
        arguments.parser.error("--pkcs12 and --password-file go together")
    if arguments.timestamp and not arguments.pkcs12:
        arguments.parser.error("--timestamp needs --pkcs12 and --password-file")
    return building.build(arguments.source, arguments.output, arguments.pkcs12,
                          arguments.password_file, arguments.timestamp or (), arguments.jobs)


def command_unpack(arguments):
    try:
        files = unpacking.unpack(arguments.exe, arguments.folder)
    except (resources.ExeError, OSError) as error:
        print(f"fish-kit: error: {arguments.exe}: {error}", file=sys.stderr)
        return 1
    print(f"fish-kit: wrote {', '.join(sorted(files))} to {arguments.folder}", file=sys.stderr)
    return 0


def command_preview(arguments):
    return preview.preview(arguments.source, arguments.output, arguments.jobs)


def command_check_exe(arguments):
    try:
        problems = resources.check_exe(arguments.exe, convert(arguments.fish_folder))
    except FishError as error:
        problems = [str(error)]
    for problem in problems:
        print(f"fish-kit: error: {arguments.exe}: {problem}", file=sys.stderr)
    return 1 if problems else 0


def command_payload(arguments):
    try:
        write_payload(convert(arguments.fish_folder), arguments.output_dir)
    except FishError as error:
        print(f"fish-kit: error: {error}", file=sys.stderr)
        return 1
    return 0


def job_count(text):
    """A --jobs value: a whole number of at least 1."""
    try:
        count = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number")
    if count < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return count


def parser():
    top = argparse.ArgumentParser(
        prog="fish-kit", description="Builds, signs and unpacks Pelagio 2 fish updaters.",
        epilog="Exit status: 0 all good, 1 a bad fish or exe, 2 a usage error.")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    build = commands.add_parser(
        "build", help="build updaters from a fish folder or a catalogue of them",
        description="Checks every fish, builds one PelagioUpdate-NUMBER.exe per good fish "
        "into OUTPUT with summary.tsv, and signs them when asked. Bad fish are listed and make "
        "the exit status 1; the good ones are built all the same.")
    build.add_argument("source", type=Path, metavar="SOURCE",
                       help="a fish folder, or a catalogue folder of fish folders")
    build.add_argument("output", type=Path, metavar="OUTPUT", help="where the exes go")
    build.add_argument("--pkcs12", type=Path, metavar="FILE",
                       help="sign with this code-signing certificate and key (PKCS#12)")
    build.add_argument("--password-file", type=Path, metavar="FILE",
                       help="the file that holds the PKCS#12 password")
    build.add_argument("--timestamp", action="append", metavar="URL",
                       help="an RFC 3161 timestamp server; repeat for fallbacks, tried in order")
    build.add_argument("--jobs", type=job_count, metavar="N",
                       help="parallel jobs (default: all cores)")
    build.set_defaults(run=command_build, parser=build)

    unpack = commands.add_parser(
        "unpack", help="turn an updater exe back into a fish folder",
        description="Writes the fish folder an updater exe carries: fish.txt, data.vmf and "
        "the artwork in its exact resource forms (picture.bmp, thumbnail.bmp, icon.ico), so "
        "that building the folder embeds the same bytes. FOLDER must not exist or be empty.")
    unpack.add_argument("exe", type=Path, metavar="EXE")
    unpack.add_argument("folder", type=Path, metavar="FOLDER")
    unpack.set_defaults(run=command_unpack)

    look = commands.add_parser(
        "preview", help="draw each fish's dialogs and a contact sheet of the catalogue",
        description="Runs each fish's updater (a 64-bit build of the same fish) under Wine "
        "with Xvfb and saves its Japanese and German dialog and its completion message as "
        "PNGs of the windows, measures whether the name fits its control in both, and writes "
        "a contact sheet (sheet.png, sheet.html) of them all. Names that do not fit are "
        "listed; bad fish or failed previews make the exit status 1.")
    look.add_argument("source", type=Path, metavar="SOURCE",
                      help="a fish folder, a catalogue of them, an updater exe or a folder of exes")
    look.add_argument("output", type=Path, metavar="OUTPUT", help="where the pictures go")
    look.add_argument("--jobs", type=job_count, metavar="N",
                      help="drivers per language (default: one per core)")
    look.set_defaults(run=command_preview)

    check = commands.add_parser("check-exe", help="check an exe's resource table against a fish",
                                description="Compares an updater exe's resource table with the "
                                "fixed forms and with the fish of a fish folder.")
    check.add_argument("exe", type=Path, metavar="EXE")
    check.add_argument("fish_folder", type=Path, metavar="FISH_FOLDER")
    check.set_defaults(run=command_check_exe)

    payload = commands.add_parser("payload", help="write one fish's payload (the build's use)",
                                  description="Writes the six payload files and fish.h that "
                                  "one updater build embeds.")
    payload.add_argument("fish_folder", type=Path, metavar="FISH_FOLDER")
    payload.add_argument("output_dir", type=Path, metavar="OUTPUT_DIR")
    payload.set_defaults(run=command_payload)
    return top


def main(argv=None):
    arguments = parser().parse_args(argv)
    return arguments.run(arguments)
