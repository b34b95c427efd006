"""Authenticode signing with osslsigncode, with an RFC 3161 timestamp so that a signature
stays valid after the code-signing certificate expires.

One signing path for two kinds of key: a PKCS#12 file with its password file, or a key in a
PKCS#11 token (USB token, smart card, HSM, cloud key service) named by an RFC 7512 URI, with
its certificate chain as a PEM file and the PIN in a file. Secrets go to osslsigncode as file
names (-readpass), never on a command line, where every user of the machine can read them."""
import os
import stat
import subprocess
from dataclasses import dataclass
from pathlib import Path

from . import resources, timestamping, token
from .report import progress

# A timestamp server that neither answers nor refuses must not hold a catalogue for ever.
TIMESTAMP_TIMEOUT_S = 60


class SigningError(Exception):
    """Why an exe could not be signed, on one line."""


class TimestampServersFailed(SigningError):
    """Every timestamp server failed: no fault of the key, which may sign the next exe."""


@dataclass(frozen=True)
class Pkcs12Key:
    """A code-signing key and certificate chain in a PKCS#12 file."""
    path: Path
    password_file: Path

    def arguments(self):
        return ["-pkcs12", str(self.path), "-readpass", str(self.password_file)]

    def describe(self):
        return f"the PKCS#12 file {self.path}"

    def secret(self):
        return "--password-file", self.password_file


@dataclass(frozen=True)
class TokenKey:
    """A key that never leaves its PKCS#11 token, and the certificate chain that goes with
    it (a cloud key service holds only the key)."""
    module: Path
    uri: str
    cert: Path
    pin_file: Path

    def arguments(self):
        # osslsigncode loads OpenSSL's pkcs11 engine by its name (libengine-pkcs11-openssl),
        # which is what every version since Debian 12's 2.5 does alike; -readpass gives it the
        # PIN from the file.
        return ["-pkcs11module", str(self.module), "-key", self.uri, "-certs", str(self.cert),
                "-readpass", str(self.pin_file)]

    def describe(self):
        return f"the key {self.uri} of {self.module}"

    def secret(self):
        return "--pin-file", self.pin_file


def _reason(result):
    """The line of osslsigncode's output that says what went wrong."""
    lines = [line.strip() for line in (result.stdout + result.stderr).splitlines() if line.strip()]
    for marker in ("HTTP failure", "timestamping failed", "PIN incorrect", "Wrong password",
                   "Failed to read", "Failed to load", "error"):
        for line in lines:
            if marker in line:
                return line
    return lines[-1] if lines else f"osslsigncode ended with status {result.returncode}"


def osslsigncode(*arguments, timeout=TIMESTAMP_TIMEOUT_S):
    """Runs osslsigncode (from PATH) and returns its completed process."""
    command = ["osslsigncode", *map(str, arguments)]
    try:
        return subprocess.run(command, capture_output=True, text=True, errors="replace",
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        return subprocess.CompletedProcess(command, 1, "", f"no answer within {timeout} s")
    except FileNotFoundError:
        raise SigningError("osslsigncode is not installed (tools/setup.sh installs it)")


def _sign(exe, signed, key, timestamp=None):
    options = ["sign", *key.arguments(), "-h", "sha256"]
    if timestamp:
        options += ["-ts", timestamp]
    return osslsigncode(*options, "-in", exe, "-out", signed)


def sign(exe, signed, key, timestamps=()):
    """Signs exe into signed with key; with timestamp URLs, tries them in order until one
    answers. Raises SigningError, leaving no signed file, when signing fails or no server
    answers."""
    signed = Path(signed)
    if not timestamps:
        result = _sign(exe, signed, key)
        if result.returncode != 0:
            signed.unlink(missing_ok=True)
            raise SigningError(_reason(result))
        return
    failures = []
    for url in timestamps:
        result = _sign(exe, signed, key, url)
        if result.returncode == 0:
            return
        signed.unlink(missing_ok=True)
        output = result.stdout + result.stderr
        if "HTTP" not in output and "imestamp" not in output:
            raise SigningError(_reason(result))  # not the server: another would fail alike
        failures.append(f"{url}: {_reason(result)}")
    raise TimestampServersFailed("signing failed with every timestamp server: " +
                                 "; ".join(failures))


def remove_signature(exe, unsigned):
    """Writes exe without its Authenticode signature into unsigned (for re-signing)."""
    result = osslsigncode("remove-signature", "-in", exe, "-out", unsigned)
    if result.returncode != 0:
        Path(unsigned).unlink(missing_ok=True)
        raise SigningError(f"its old signature cannot be removed: {_reason(result)}")


def check_secret_file(key):
    """Refuses a PIN or password file that other users can read or write, as ssh refuses
    such a private key file. Raises SigningError."""
    option, path = key.secret()
    try:
        mode = os.stat(path).st_mode
    except OSError as error:
        raise SigningError(f"{option} {path}: cannot be read ({error.strerror})")
    if mode & 0o077:
        raise SigningError(f"{option} {path}: other users can read it (mode "
                           f"{stat.S_IMODE(mode):04o}); make it yours alone: chmod 600 {path}")


def signer_count(key, sign_jobs, jobs):
    """How many exes are signed at once: as asked, else one for a token (tokens allow few
    sessions and sign one thing at a time), else one per job."""
    if sign_jobs:
        return sign_jobs
    if isinstance(key, TokenKey):
        return 1
    return jobs or os.cpu_count() or 1


def answering(timestamps):
    """The timestamp servers that answer a probe, in their order; a warning for each that
    does not. Raises SigningError when none does: nothing is signed then."""
    answered, failures = [], []
    for url in timestamps:
        problem = timestamping.problem_of(url, TIMESTAMP_TIMEOUT_S)
        if problem is None:
            answered.append(url)
        else:
            failures.append(f"{url}: {problem}")
    if timestamps and not answered:
        raise SigningError("no timestamp server gives a timestamp (" + "; ".join(failures) +
                           "): nothing was signed; give one that answers with --timestamp")
    for failure in failures:
        progress(f"warning: timestamp server {failure}; signing with the others")
    return answered


def signer_for(key, timestamps=(), resign=False):
    """The function that signs one exe into another file, or None without a key. A token's
    key is checked first, with one login; with resign, an exe's old signature is removed
    before it is signed. Raises SigningError."""
    if key is None:
        return None
    check_secret_file(key)
    if isinstance(key, TokenKey):
        try:
            progress(token.check_key(key))
        except token.TokenError as problem:
            raise SigningError(str(problem))
    if not timestamps:
        progress("warning: signing without --timestamp: the signatures turn invalid when the "
                 "certificate expires")
    timestamps = answering(timestamps)

    # The first failure of the key itself (not of a timestamp server) stops the signing: a
    # token asked again and again with a PIN it refuses locks itself.
    stopped = []

    def sign_one(exe, signed):
        if stopped:
            raise SigningError(f"not signed: signing stopped after {stopped[0]}")
        signed = Path(signed)
        try:
            if not resign or not resources.is_signed(Path(exe).read_bytes()):
                return sign(exe, signed, key, timestamps)
            unsigned = signed.with_name(signed.name + ".unsigned")
            try:
                remove_signature(exe, unsigned)
                sign(unsigned, signed, key, timestamps)
            finally:
                unsigned.unlink(missing_ok=True)
        except TimestampServersFailed:
            raise
        except SigningError:
            stopped.append(f"{Path(exe).name} failed")
            raise

    return sign_one
