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
from .fish_folder import FishError, convert
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


def osslsigncode_problems(exe, ca, tsa_ca, timestamped):
    """What osslsigncode's verification of the signature and its timestamp found."""
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
        reasons = [line for line in lines if "MISMATCH" in line or "Verify error" in line or
                   "expired" in line]
        reason = reasons[0] if reasons else signing._reason(result)
        if "MISMATCH" in reason:
            reason = "its bytes changed after it was signed (the digest does not match)"
        problems.append(f"signature does not verify: {reason}")
    # A timestamp that fails its check leaves osslsigncode's status at 0: read its verdict.
    # (Where the file's digest does not match, it stops before the timestamp.)
    verdict = "Timestamp Server Signature verification: "
    if timestamped and (verdict + "failed" in output or
                        (result.returncode == 0 and verdict + "ok" not in output)):
        reasons = [line for line in lines if "Verify error" in line]
        problems.append("timestamp does not verify" +
                        (f": {reasons[0].split('Verify error: ')[-1]}" if reasons else ""))
    return problems


def signature_problems(exe, data, ca, tsa_ca):
    """(problems, Signature or None) of one exe's signature."""
    try:
        table = resources.certificate_table(data)
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


def catalogue_fish(catalogue):
    """({number: fish}, [(folder, problem)]) of a catalogue of fish folders."""
    fish, problems = {}, []
    for folder in sorted(p for p in Path(catalogue).iterdir()
                         if p.is_dir() and not p.name.startswith(".")):
        try:
            converted = convert(folder)
        except FishError as problem:
            problems.append((folder, f"{problem.field}: {problem.problem}"))
            continue
        fish[converted["number"]] = converted
    return fish, problems


def resource_problems(data, fish, notes):
    """Problems of an exe's resource table and fish; what is worth saying besides (an older
    kit's exe, without a manifest) is added to notes."""
    try:
        found = resources.read_resources(data)
    except resources.ExeError as problem:
        return [f"not an updater: {problem}"]
    problems = resources.table_problems(found)
    notes += resources.table_notes(found)
    number = resources.fish_number(data)
    if number is None:
        problems.append("carries no fish number (Fish\\PG<number>.vmf)")
    elif fish is not None:
        if number not in fish:
            problems.append(f"fish {number} has no fish folder in the catalogue")
        else:
            problems += [f"fish {number}: {p}" for p in resources.payload_problems(
                found, fish[number])]
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
    exit status: 0 without problems, else 1."""
    try:
        exes = release_exes(release)
    except FishError as problem:
        error(problem)
        return 1
    problems = []
    fish = None
    if catalogue:
        fish, bad = catalogue_fish(catalogue)
        problems += bad
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
        found, signature = signature_problems(exe, data, ca, tsa_ca)
        notes = []
        problems += [(exe, p) for p in found + resource_problems(data, fish, notes)]
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
    for path, problem in problems:
        error(f"{path}: {problem}")
    if problems:
        failing = len({path for path, _ in problems if path in data_of})
        progress(f"verify: {plural(len(problems), 'problem')}; {failing} of "
                 f"{plural(len(exes), 'exe')} fail")
        return 1
    names = ", ".join(sorted({subject for _, subject in signers})) or "nobody"
    progress(f"{plural(len(exes), 'exe')} verified, no problem (signed by {names})")
    return 0
