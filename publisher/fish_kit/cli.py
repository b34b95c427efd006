"""The fish kit's command line: build, sign, verify, unpack, preview, check-exe and payload.

Exit status: 0 all good, 1 a bad fish or exe, 2 a usage error."""
import argparse
import sys
from pathlib import Path

from . import building, matching, preview, resigning, resources, unpacking, verifying
from .fish_folder import FishError, convert, write_payload
from .signing import Pkcs12Key, TokenKey
from .workspace import internal_error

TOKEN_OPTIONS = ("pkcs11_module", "key", "cert", "pin_file")


def signing_key(arguments, required):
    """The key the signing options name, or None; a usage error for options that do not go
    together."""
    error = arguments.parser.error
    pkcs12 = (arguments.pkcs12, arguments.password_file)
    token = [getattr(arguments, name) for name in TOKEN_OPTIONS]
    if any(pkcs12) and any(token):
        error("give one key: --pkcs12 (a key file) or --pkcs11-module (a key in a token)")
    if any(pkcs12) and not all(pkcs12):
        error("--pkcs12 and --password-file go together")
    if any(token) and not all(token):
        error("--pkcs11-module, --key, --cert and --pin-file go together")
    key = Pkcs12Key(*pkcs12) if all(pkcs12) else TokenKey(*token) if all(token) else None
    if key is None and (required or arguments.timestamp or arguments.sign_jobs):
        error("signing needs a key: --pkcs12 and --password-file, or --pkcs11-module, --key, "
              "--cert and --pin-file")
    return key


def command_build(arguments):
    if arguments.output is None and not arguments.check:
        arguments.parser.error("give OUTPUT, where the exes go (or --check only)")
    key = signing_key(arguments, required=False)
    return building.build(arguments.source, arguments.output, key, arguments.timestamp or (),
                          arguments.jobs, arguments.sign_jobs, arguments.check)


def command_sign(arguments):
    key = signing_key(arguments, required=True)
    return resigning.sign_exes(arguments.source, arguments.output, key,
                               arguments.timestamp or (), arguments.sign_jobs)


def command_verify(arguments):
    return verifying.verify(arguments.release, arguments.catalogue, arguments.ca,
                            arguments.tsa_ca)


def command_unpack(arguments):
    notes = []
    try:
        files = unpacking.unpack(arguments.exe, arguments.folder, notes)
    except resources.ExeError as error:
        print(f"fish-kit: error: {arguments.exe}: {error}", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"fish-kit: error: {arguments.folder}: cannot be written ({error.strerror})",
              file=sys.stderr)
        return 1
    for note in notes:
        print(f"fish-kit: {arguments.exe}: {note}", file=sys.stderr)
    print(f"fish-kit: wrote {', '.join(sorted(files))} to {arguments.folder}", file=sys.stderr)
    return 0


def command_preview(arguments):
    return preview.preview(arguments.source, arguments.output, arguments.jobs, arguments.strict)


def command_check_exe(arguments):
    try:
        fish = convert(arguments.fish_folder)
    except FishError as problem:
        for line in problem.lines():
            print(f"fish-kit: error: {line}", file=sys.stderr)
        return 1
    try:
        matches, line, notes = matching.verdict(arguments.exe, fish, arguments.fish_folder)
    except resources.ExeError as problem:
        print(f"fish-kit: error: {arguments.exe}: {problem}", file=sys.stderr)
        return 1
    for note in notes:
        print(f"fish-kit: {arguments.exe}: {note}", file=sys.stderr)
    if matches:
        print(f"fish-kit: {line}", file=sys.stderr)
        return 0
    print(f"fish-kit: error: {arguments.exe}: {line}", file=sys.stderr)
    return 1


def command_payload(arguments):
    try:
        write_payload(convert(arguments.fish_folder), arguments.output_dir)
    except FishError as error:
        for line in error.lines():
            print(f"fish-kit: error: {line}", file=sys.stderr)
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


def add_signing_options(command):
    keys = command.add_argument_group(
        "signing", "A key in a PKCS#12 file, or a key in a PKCS#11 token, smart card, HSM or "
        "cloud key service (PINs and passwords are read from files, never given on a command "
        "line).")
    keys.add_argument("--pkcs12", type=Path, metavar="FILE",
                      help="sign with this code-signing certificate and key (PKCS#12)")
    keys.add_argument("--password-file", type=Path, metavar="FILE",
                      help="the file that holds the PKCS#12 password")
    keys.add_argument("--pkcs11-module", type=Path, metavar="LIBRARY",
                      help="the token's PKCS#11 module (for example OpenSC's opensc-pkcs11.so)")
    keys.add_argument("--key", metavar="URI",
                      help="the private key in the token, as an RFC 7512 pkcs11: URI naming "
                      "token and object")
    keys.add_argument("--cert", type=Path, metavar="FILE",
                      help="the key's certificate chain (PEM), as the CA gave it")
    keys.add_argument("--pin-file", type=Path, metavar="FILE",
                      help="the file that holds the token's PIN; it is tried once")
    keys.add_argument("--timestamp", action="append", metavar="URL",
                      help="an RFC 3161 timestamp server; repeat for fallbacks, tried in order")
    keys.add_argument("--sign-jobs", type=job_count, metavar="N",
                      help="exes signed at once (default: 1 with a token, else one per job)")


def parser():
    top = argparse.ArgumentParser(
        prog="fish-kit",
        description="Builds, signs, verifies and unpacks Pelagio 2 fish updaters.",
        epilog="Exit status: 0 all good, 1 a bad fish or exe, 2 a usage error.")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    build = commands.add_parser(
        "build", help="build updaters from a fish folder or a catalogue of them",
        description="Checks every fish, builds one PelagioUpdate-NUMBER.exe per good fish "
        "into OUTPUT with summary.tsv, and signs them when asked. Bad fish are listed, each "
        "problem on a line, and make the exit status 1; the good ones are built all the "
        "same. OUTPUT holds just what summary.tsv lists: the exe of a fish that fails now is "
        "removed, the exes of fish outside SOURCE stay.")
    build.add_argument("source", type=Path, metavar="SOURCE",
                       help="a fish folder, or a catalogue folder of fish folders")
    build.add_argument("output", type=Path, metavar="OUTPUT", nargs="?",
                       help="where the exes go")
    build.add_argument("--check", action="store_true",
                       help="only check the fish (and say what a build would remove from "
                       "OUTPUT); build and write nothing")
    build.add_argument("--jobs", type=job_count, metavar="N",
                       help="parallel jobs (default: all cores)")
    add_signing_options(build)
    build.set_defaults(run=command_build, parser=build)

    sign = commands.add_parser(
        "sign", help="sign (or re-sign) updater exes that are built already",
        description="Signs an updater exe, or every exe of a folder, into OUTPUT with "
        "summary.tsv, replacing an old signature; each exe's resources are checked to be the "
        "same after signing. An exe that is not an updater is refused; the others are signed "
        "all the same. A token's PIN and key are checked once before anything is signed.")
    sign.add_argument("source", type=Path, metavar="SOURCE", help="an exe or a folder of exes")
    sign.add_argument("output", type=Path, metavar="OUTPUT", help="where the signed exes go")
    add_signing_options(sign)
    sign.set_defaults(run=command_sign, parser=sign)

    verify = commands.add_parser(
        "verify", help="check a release before it is uploaded",
        description="Checks every exe of RELEASE: its Authenticode signature (SHA-256) "
        "verifies against the given roots (the system's without --ca), all are signed by the "
        "same certificate, each carries an RFC 3161 timestamp that verifies, its resource "
        "table is right (with --catalogue: its fish's bytes are its fish folder's), and "
        "summary.tsv, where present, gives each file's size and SHA-256. One line per "
        "problem; exit status 1 on any.")
    verify.add_argument("release", type=Path, metavar="RELEASE",
                        help="a release folder (or one exe)")
    verify.add_argument("--catalogue", type=Path, metavar="FOLDER",
                        help="the catalogue of fish folders the release was built from")
    verify.add_argument("--ca", type=Path, metavar="FILE",
                        help="the trusted root certificates (PEM) for the signatures")
    verify.add_argument("--tsa-ca", type=Path, metavar="FILE",
                        help="the trusted root certificates (PEM) for the timestamps")
    verify.set_defaults(run=command_verify)

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
    look.add_argument("--strict", action="store_true",
                      help="a name that does not fit its control is an error (exit status 1), "
                      "not a warning: a release gate")
    look.set_defaults(run=command_preview)

    check = commands.add_parser("check-exe", help="check that an exe carries a fish folder's fish",
                                description="Compares an updater exe's resource table with the "
                                "fixed forms and with the fish of a fish folder, and says in one "
                                "line whether it is that fish, or what differs (number, names, "
                                "artwork, data file).")
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
    try:
        return arguments.run(arguments)
    except KeyboardInterrupt:
        print("fish-kit: interrupted", file=sys.stderr)
        return 130
    except Exception:  # noqa: BLE001 - a fault of the kit: one line, its traceback in the log
        print(f"fish-kit: error: {internal_error(arguments.command, 'running the command')}",
              file=sys.stderr)
        return 1
