"""The timestamp servers asked once before anything is signed: one RFC 3161 request each, so
that a dead or wrong server is found before the first exe, not after the last."""
import hashlib
import os
import urllib.error
import urllib.request

from asn1crypto import tsp

# The first bytes of an answer are enough to tell a reply; a server's page of HTML is not one.
REPLY_BYTES_MAX = 1 << 20


def request():
    """A TimeStampReq over the SHA-256 of a fixed text, with a nonce of its own."""
    return tsp.TimeStampReq({
        "version": "v1",
        "message_imprint": {"hash_algorithm": {"algorithm": "sha256"},
                            "hashed_message": hashlib.sha256(b"fish-kit timestamp probe").digest()},
        "nonce": int.from_bytes(os.urandom(8), "big"),
        "cert_req": True,
    }).dump()


def problem_of(url, timeout):
    """Why the server at url gives no timestamp, on one line, or None when it gives one."""
    asked = urllib.request.Request(url, data=request(), method="POST",
                                   headers={"Content-Type": "application/timestamp-query"})
    try:
        with urllib.request.urlopen(asked, timeout=timeout) as answer:
            body = answer.read(REPLY_BYTES_MAX)
    except urllib.error.HTTPError as error:
        return f"it answers HTTP {error.code} {error.reason}"
    except urllib.error.URLError as error:
        return f"it cannot be reached ({error.reason})"
    except TimeoutError:
        return f"no answer within {timeout} s"
    except OSError as error:
        return f"it cannot be reached ({error})"
    except ValueError as error:
        return f"it is not an HTTP URL ({error})"
    try:
        status = tsp.TimeStampResp.load(body)["status"]
        granted = status["status"].native
    except Exception:  # noqa: BLE001 - asn1crypto raises many kinds on what is not DER
        return "its answer is not an RFC 3161 timestamp reply"
    if granted not in ("granted", "granted_with_mods"):
        said = status["status_string"].native if status["status_string"] else None
        return f"it refuses a timestamp ({granted}{': ' + ' '.join(said) if said else ''})"
    return None
