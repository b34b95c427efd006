"""The release gate: every exe of a release folder signed with a SHA-256 Authenticode
signature that verifies against the given roots, all by one certificate, each with an
RFC 3161 timestamp that verifies, its resource table right (and its fish's bytes those of the
catalogue), and summary.tsv true to the files. One line per problem, naming the exe."""
import hashlib
import struct
from pathlib import Path

from asn1crypto import algos, cms, core
from cryptography import x509

from . import resources, signing
from .files import UnreadableFile, read_bounded
from .fish_folder import FishError, convert, fish_number
from .report import error, plural, progress

RFC3161_TIMESTAMP = "1.3.6.1.4.1.311.3.3.1"  # Microsoft's attribute for an RFC 3161 token
AUTHENTICODE_COUNTERSIGNATURE = "1.2.840.113549.1.9.6"  # the older kind of timestamp
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 2


class SpcIndirectDataContent(core.Sequence):
    """What an Authenticode signature signs: the file's digest and its algorithm."""
    _fields = [("data", core.Any), ("message_digest", algos.DigestInfo)]


class Signature:
    """What the certificate table of one exe says: the digest algorithm, the signer's
    certificate and whether an RFC 3161 timestamp is there. Raises ValueError on a table that
    cannot be read."""

    def __init__(self, table):
        length, _, kind = struct.unpack_from("<IHH", table, 0)
        if kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA:
            raise ValueError(f"its certificate table holds type {kind}, not PKCS#7 signed data")
        signed = cms.ContentInfo.load(table[8:length])["content"]
        content = signed["encap_content_info"]["content"]
        indirect = SpcIndirectDataContent.load(content.dump(), explicit=0)
        self.digest = indirect["message_digest"]["digest_algorithm"]["algorithm"].native
        signer = signed["signer_infos"][0]
        wanted = signer["sid"].chosen
        self.certificate = next(
            (c.chosen for c in signed["certificates"] if c.name == "certificate" and
             c.chosen.issuer == wanted["issuer"] and
             c.chosen.serial_number == wanted["serial_number"].native), None)
        if self.certificate is None:
            raise ValueError("its signature does not carry the signer's certificate")
        kinds = {a["type"].dotted for a in signer["unsigned_attrs"] or []}
        self.timestamp = ("rfc3161" if RFC3161_TIMESTAMP in kinds else
                          "authenticode" if AUTHENTICODE_COUNTERSIGNATURE in kinds else None)
        self.fingerprint = hashlib.sha256(self.certificate.dump()).hexdigest()
        self.subject = x509.load_der_x509_certificate(
            self.certificate.dump()).subject.rfc4514_string()


def release_exes(release):
    release = Path(release)
    if release.is_file():
        return [release]
    if not release.is_dir():
        raise FishError(release, "release", "does not exist")
    return sorted(p for p in release.iterdir()
                  if p.suffix.lower() == ".exe" and not p.name.startswith(".") and p.is_file())


# What OpenSSL says of a chain that ends at no root it was given.
UNTRUSTED = ("unable to get local issuer certificate", "self signed certificate in certificate "
             "chain", "self-signed certificate in certificate chain",
             "unable to get issuer certificate")
# OpenSSL's error lines name the routine: PKCS7 checks the signature, CMS the timestamp.
SIGNATURE_ROUTINE, TIMESTAMP_ROUTINE = "PKCS7", "CMS"


def verify_errors(lines, routine):
    """OpenSSL's "Verify error" lines of one routine, its words after "Verify error: "."""
    return [line.split("Verify error: ")[-1] for line in lines
            if "Verify error" in line and routine in line]


def osslsigncode_problems(exe, ca, tsa_ca, timestamped):
    """What osslsigncode's verification of the signature and its timestamp found, in words
    that say what to do."""
    options = ["verify"]
    if ca:
        options += ["-CAfile", ca]
    if tsa_ca:
        options += ["-TSA-CAfile", tsa_ca]
    result = signing.osslsigncode(*options, "-in", exe)
    output = result.stdout + result.stderr
    lines = [line.strip() for line in output.splitlines() if line.strip()]
    problems = []
    if result.returncode != 0:
        errors = verify_errors(lines, SIGNATURE_ROUTINE)
        reasons = [line for line in lines if "MISMATCH" in line or "expired" in line]
        if reasons and "MISMATCH" in reasons[0]:
            reason = "its bytes changed after it was signed (the digest does not match)"
        elif any(marker in error for error in errors for marker in UNTRUSTED):
            reason = ("its certificate chain does not lead to a trusted root: give the CA's "
                      "certificate with --ca")
        else:
            reason = (reasons or errors or [signing._reason(result)])[0]
        problems.append(f"signature does not verify: {reason}")
    # A timestamp that fails its check leaves osslsigncode's status at 0: read its verdict.
    # (Where the file's digest does not match, it stops before the timestamp.)
    verdict = "Timestamp Server Signature verification: "
    if timestamped and (verdict + "failed" in output or
                        (result.returncode == 0 and verdict + "ok" not in output)):
        errors = verify_errors(lines, TIMESTAMP_ROUTINE)
        if any(marker in error for error in errors for marker in UNTRUSTED):
            reason = (": its chain does not lead to a trusted root: give the time-stamping "
                      "authority's CA certificate with --tsa-ca (--ca serves both when it "
                      "issued both)")
        else:
            reason = f": {errors[0]}" if errors else ""
        problems.append("timestamp does not verify" + reason)
    return problems


def signature_problems(exe, data, pe, ca, tsa_ca):
    """(problems, Signature or None) of one exe's signature."""
    try:
        table = resources.certificate_table(data, pe)
    except resources.ExeError as problem:
        return [str(problem)], None
    if table is None:
        return ["is not signed"], None
    try:
        signature = Signature(table)
    except Exception as problem:  # noqa: BLE001 - asn1crypto raises many kinds on bad DER
        return [f"its signature cannot be read ({problem})"], None
    problems = []
    if signature.digest != "sha256":
        problems.append(f"is signed with a {signature.digest} digest, not SHA-256")
    if signature.timestamp is None:
        problems.append("has no timestamp: its signature turns invalid when the certificate "
                        "expires")
    elif signature.timestamp != "rfc3161":
        problems.append("has an old Authenticode timestamp, not an RFC 3161 one")
    problems += osslsigncode_problems(exe, ca, tsa_ca, signature.timestamp == "rfc3161")
    return problems, signature


class Catalogue:
    """The fish folders a release was built from: fish, {number: (folder, fish)} of the good
    ones; broken, {folder: [problem]} of the bad, with broken_numbers, {number: folder},
    where their fish.txt still gives a number."""

    def __init__(self, catalogue):
        self.fish, self.broken, self.broken_numbers = {}, {}, {}
        for folder in sorted(p for p in Path(catalogue).iterdir()
                             if p.is_dir() and not p.name.startswith(".")):
            try:
                converted = convert(folder)
            except FishError as problem:
                self.broken[folder] = [f"{p.field}: {p.problem}"
                                       for p in getattr(problem, "problems", [problem])]
                number = fish_number(folder)
                if number:
                    self.broken_numbers[number] = folder
                continue
            self.fish[converted["number"]] = (folder, converted)

    def problems(self, numbers):
        """[(folder, problem)] of the catalogue against the fish numbers of the release's
        exes: each broken fish named as such, each good one without an exe."""
        problems = [(folder, f"its fish folder is broken: {line}")
                    for folder, lines in self.broken.items() for line in lines]
        problems += [(folder, f"fish {number} ({fish['name'].decode('cp932')}): no exe in the "
                      "release") for number, (folder, fish) in sorted(self.fish.items())
                     if number not in numbers]
        return problems


def resource_problems(data, pe, catalogue, notes):
    """Problems of an exe's resource table and of its fish against the catalogue (None: not
    compared); what is worth saying besides (an older kit's exe, without a manifest) is added
    to notes."""
    try:
        found = resources.read_resources(data, pe)
    except resources.ExeError as problem:
        return [f"not an updater: {problem}"]
    problems = resources.table_problems(found)
    notes += resources.table_notes(found)
    number = resources.fish_number(data)
    if number is None:
        problems.append("carries no fish number (Fish\\PG<number>.vmf)")
    elif catalogue is not None:
        if number in catalogue.broken_numbers:
            problems.append(f"fish {number}: its fish folder {catalogue.broken_numbers[number]} "
                            "is broken, so its bytes cannot be compared")
        elif number not in catalogue.fish:
            problems.append(f"fish {number} has no fish folder in the catalogue")
        else:
            problems += [f"fish {number}: {p}" for p in resources.payload_problems(
                found, catalogue.fish[number][1])]
    return problems


def summary_problems(release, exes, data_of):
    """What summary.tsv says wrongly of the exes' sizes and SHA-256, or leaves out."""
    summary = Path(release) / "summary.tsv"
    if not summary.exists():
        return []
    try:
        lines = read_bounded(summary, 1 << 20).decode("utf-8").splitlines()
    except (UnreadableFile, UnicodeDecodeError) as problem:
        return [(summary, f"cannot be read ({problem})")]
    problems, listed = [], set()
    for number, line in enumerate(lines[1:], 2):
        fields = line.split("\t")
        if len(fields) != 6 or fields[0] == "-":
            continue  # an error row of the build, or not a row of an exe
        size, digest, name = fields[3], fields[4], fields[5]
        listed.add(name)
        exe = Path(release) / name
        if exe not in data_of:
            problems.append((summary, f"line {number} lists {name}, which the release lacks"))
            continue
        data = data_of[exe]
        if size != str(len(data)):
            problems.append((exe, f"summary.tsv gives {size} bytes, the file has {len(data)}"))
        if digest != hashlib.sha256(data).hexdigest():
            problems.append((exe, "summary.tsv gives another SHA-256 than the file's"))
    problems += [(exe, "is not listed in summary.tsv") for exe in exes if exe.name not in listed]
    return problems


def verify(release, catalogue=None, ca=None, tsa_ca=None):
    """Checks every exe of a release; prints one line per problem and a count. Returns the
    exit status: 0 without problems, else 1. The roots of --ca serve the timestamps too,
    unless --tsa-ca names others."""
    tsa_ca = tsa_ca or ca
    try:
        exes = release_exes(release)
    except FishError as problem:
        error(problem)
        return 1
    problems = []
    if catalogue:
        try:
            catalogue = Catalogue(catalogue)
        except OSError as problem:
            error(f"{catalogue}: cannot be read as a catalogue ({problem.strerror})")
            return 1
    signers, data_of = {}, {}
    if not exes:
        error(f"{release}: holds no exe to verify")
        return 1
    progress(f"verifying {plural(len(exes), 'exe')}")
    for exe in exes:
        try:
            data = resources.read_exe(exe)
        except resources.ExeError as problem:
            problems.append((exe, str(problem)))
            continue
        data_of[exe] = data
        try:
            pe = resources.parse_updater(data)  # once, for the signature and the resources
        except resources.ExeError as problem:
            problems.append((exe, str(problem)))
            continue
        found, signature = signature_problems(exe, data, pe, ca, tsa_ca)
        notes = []
        problems += [(exe, p) for p in found + resource_problems(data, pe, catalogue, notes)]
        for note in notes:
            progress(f"{exe}: {note}")
        if signature:
            signers.setdefault((signature.fingerprint, signature.subject), []).append(exe)
    if len(signers) > 1:
        # One publisher per release: the certificate most exes carry is the release's.
        ranked = sorted(signers.items(), key=lambda item: (-len(item[1]), item[1][0]))
        (_, main_subject), _ = ranked[0]
        for (fingerprint, subject), others in ranked[1:]:
            problems += [(exe, f"is signed by another certificate ({subject}, SHA-256 "
                          f"{fingerprint[:16]}...) than the release ({main_subject})")
                         for exe in others]
    problems += summary_problems(release, exes, data_of)
    if catalogue:
        problems += catalogue.problems({resources.fish_number(data) for data in data_of.values()})
    for path, problem in problems:
        error(f"{path}: {problem}")
    if problems:
        failing = len({path for path, _ in problems if path in data_of or path in exes})
        count = (f"verify: {plural(len(problems), 'problem')}; {failing} of "
                 f"{plural(len(exes), 'exe')} fail")
        if catalogue:
            missing = len([1 for _, problem in problems if problem.endswith("no exe in the "
                                                                              "release")])
            total = len(catalogue.fish) + len(catalogue.broken)
            count += (f"; of the catalogue's {total} fish, {len(catalogue.broken)} broken, "
                      f"{missing} without an exe")
        progress(count)
        return 1
    names = ", ".join(sorted({subject for _, subject in signers})) or "nobody"
    progress(f"{plural(len(exes), 'exe')} verified, no problem (signed by {names})")
    return 0
