"""Authenticode signing with osslsigncode, with an RFC 3161 timestamp so that a signature
stays valid after the code-signing certificate expires."""
import subprocess

# A timestamp server that neither answers nor refuses must not hold a catalogue for ever.
TIMESTAMP_TIMEOUT_S = 60


class SigningError(Exception):
    """Why an exe could not be signed, on one line."""


def _reason(result):
    """The line of osslsigncode's output that says what went wrong."""
    lines = [line.strip() for line in (result.stdout + result.stderr).splitlines() if line.strip()]
    for marker in ("HTTP failure", "timestamping failed", "Failed to read", "error"):
        for line in lines:
            if marker in line:
                return line
    return lines[-1] if lines else f"osslsigncode ended with status {result.returncode}"


def _sign(exe, signed, pkcs12, password_file, timestamp=None):
    command = ["osslsigncode", "sign", "-pkcs12", str(pkcs12), "-readpass", str(password_file),
               "-h", "sha256"]
    if timestamp:
        command += ["-ts", timestamp]
    command += ["-in", str(exe), "-out", str(signed)]
    try:
        return subprocess.run(command, capture_output=True, text=True,
                              timeout=TIMESTAMP_TIMEOUT_S)
    except subprocess.TimeoutExpired:
        return subprocess.CompletedProcess(command, 1, "", f"no answer within "
                                           f"{TIMESTAMP_TIMEOUT_S} s")
    except FileNotFoundError:
        raise SigningError("osslsigncode is not installed (tools/setup.sh installs it)")


def sign(exe, signed, pkcs12, password_file, timestamps=()):
    """Signs exe into signed; with timestamp URLs, tries them in order until one answers.
    Raises SigningError, leaving no signed file, when signing fails or no server answers."""
    if not timestamps:
        result = _sign(exe, signed, pkcs12, password_file)
        if result.returncode != 0:
            signed.unlink(missing_ok=True)
            raise SigningError(_reason(result))
        return
    failures = []
    for url in timestamps:
        result = _sign(exe, signed, pkcs12, password_file, url)
        if result.returncode == 0:
            return
        signed.unlink(missing_ok=True)
        output = result.stdout + result.stderr
        if "HTTP" not in output and "imestamp" not in output:
            raise SigningError(_reason(result))  # not the server: another would fail alike
        failures.append(f"{url}: {_reason(result)}")
    raise SigningError("signing failed with every timestamp server: " + "; ".join(failures))
