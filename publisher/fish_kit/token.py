"""The check of a PKCS#11 key before anything is signed with it: the token is found, the PIN
is tried once (a token locks itself after a few wrong ones), the key is found and signs, and
the certificate file holds the certificate of that key. Every failure is one line."""
import datetime
import hashlib
import re
from urllib.parse import unquote, unquote_to_bytes

import PyKCS11
from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa, utils

from .files import UnreadableFile, read_bounded

# osslsigncode reads at most this much of a password file.
PIN_BYTES_MAX = 4095
CERT_FILE_BYTES_MAX = 1 << 20
# The attributes of an RFC 7512 URI that name a token, with the token information's fields.
TOKEN_FIELDS = {"token": "label", "manufacturer": "manufacturerID", "serial": "serialNumber",
                "model": "model"}
PROBE = b"fish-kit: does this key sign, and does the certificate belong to it?"
PEM_CERTIFICATE = re.compile(rb"-----BEGIN CERTIFICATE-----.+?-----END CERTIFICATE-----", re.S)


class TokenError(Exception):
    """Why a token's key cannot be used, on one line."""


def parse_uri(uri):
    """{attribute: value} of an RFC 7512 pkcs11: URI; "id" as bytes, the others as text."""
    if not uri.startswith("pkcs11:"):
        raise TokenError(f"--key {uri!r} is not a pkcs11: URI (RFC 7512)")
    path, _, query = uri[len("pkcs11:"):].partition("?")
    attributes = {}
    for part in [p for p in path.split(";") if p] + [q for q in query.split("&") if q]:
        name, equals, value = part.partition("=")
        if not equals:
            raise TokenError(f"--key: {part!r} is not an attribute=value pair")
        attributes[name] = unquote_to_bytes(value) if name == "id" else unquote(value)
    if "pin-value" in attributes or "pin-source" in attributes:
        raise TokenError("--key must not carry the PIN (pin-value, pin-source): give it with "
                         "--pin-file, as a command line is shown to every user of the machine")
    if attributes.get("type", "private") != "private":
        raise TokenError(f"--key names objects of type {attributes['type']!r}: it must name "
                         "the private key (type=private)")
    if "object" not in attributes and "id" not in attributes:
        raise TokenError("--key names no key: give its object= (label) or id=")
    return attributes


def read_pin(path):
    """The PIN as osslsigncode reads it from the same file: line ends at its end and a UTF-8
    byte order mark at its start dropped."""
    try:
        data = read_bounded(path, PIN_BYTES_MAX)
    except UnreadableFile as error:
        raise TokenError(f"--pin-file {path}: {error}")
    data = data.rstrip(b"\r\n")
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    if not data:
        raise TokenError(f"--pin-file {path}: is empty")
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        raise TokenError(f"--pin-file {path}: is not UTF-8 text")


def read_certificates(path):
    """The certificates of a PEM chain file (or of one DER certificate)."""
    try:
        data = read_bounded(path, CERT_FILE_BYTES_MAX)
    except UnreadableFile as error:
        raise TokenError(f"--cert {path}: {error}")
    try:
        blocks = PEM_CERTIFICATE.findall(data)
        if blocks:
            return [x509.load_pem_x509_certificate(block) for block in blocks]
        return [x509.load_der_x509_certificate(data)]
    except ValueError as error:
        raise TokenError(f"--cert {path}: is not a PEM certificate chain ({error})")


def _text(value):
    # Token fields are padded with blanks (some modules pad with zero bytes).
    return value.rstrip(" \0") if isinstance(value, str) else value


def find_slot(library, attributes, module):
    """The one slot whose token the URI names."""
    wanted = {TOKEN_FIELDS[k]: v for k, v in attributes.items() if k in TOKEN_FIELDS}
    slot_id = attributes.get("slot-id")
    matches = []
    for slot in library.getSlotList(tokenPresent=True):
        if slot_id is not None and str(slot) != slot_id:
            continue
        info = library.getTokenInfo(slot)
        if all(_text(getattr(info, field)) == value for field, value in wanted.items()):
            matches.append((slot, info))
    named = ", ".join(f"{k}={v}" for k, v in attributes.items()
                      if k in TOKEN_FIELDS or k == "slot-id") or "any token"
    if not matches:
        raise TokenError(f"no token of {module} matches {named} (is it plugged in?)")
    if len(matches) > 1:
        raise TokenError(f"{len(matches)} tokens of {module} match {named}: name one with "
                         "token= or serial= in --key, so that no PIN is tried on another")
    return matches[0]


def find_key(session, attributes):
    template = [(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY)]
    if "object" in attributes:
        template.append((PyKCS11.CKA_LABEL, attributes["object"]))
    if "id" in attributes:
        template.append((PyKCS11.CKA_ID, tuple(attributes["id"])))
    keys = session.findObjects(template)
    named = " ".join(f"{k}={v if k != 'id' else v.hex()}" for k, v in attributes.items()
                     if k in ("object", "id"))
    if not keys:
        raise TokenError(f"the token holds no private key {named}; it holds "
                         f"{held_keys(session)}: name one with object= (its label) or id=")
    if len(keys) > 1:
        raise TokenError(f"the token holds {len(keys)} private keys {named}: name one with "
                         "both object= and id=")
    return keys[0]


def held_keys(session):
    """The private keys a token holds, by label and id, for an error line."""
    described = []
    for key in session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY)]):
        label, key_id = session.getAttributeValue(key, [PyKCS11.CKA_LABEL, PyKCS11.CKA_ID])
        described.append(f"object={_text(label) or '(no label)'} id=%"
                         f"{'%'.join(f'{b:02x}' for b in key_id or ())}")
    return ", ".join(described) if described else "no private key at all"


def probe_signature(session, key):
    """(signature, verify(public key)) of the probe text signed in the token."""
    kind = session.getAttributeValue(key, [PyKCS11.CKA_KEY_TYPE])[0]
    if kind == PyKCS11.CKK_RSA:
        signature = bytes(session.sign(key, PROBE, PyKCS11.Mechanism(PyKCS11.CKM_SHA256_RSA_PKCS)))
        return lambda public: public.verify(signature, PROBE, padding.PKCS1v15(),
                                            hashes.SHA256())
    if kind == PyKCS11.CKK_EC:
        digest = hashlib.sha256(PROBE).digest()
        raw = bytes(session.sign(key, digest, PyKCS11.Mechanism(PyKCS11.CKM_ECDSA)))
        half = len(raw) // 2
        signature = utils.encode_dss_signature(int.from_bytes(raw[:half], "big"),
                                               int.from_bytes(raw[half:], "big"))
        return lambda public: public.verify(signature, digest,
                                            ec.ECDSA(utils.Prehashed(hashes.SHA256())))
    raise TokenError(f"the key is of PKCS#11 key type {kind:#x}: only RSA and EC keys sign "
                     "Authenticode")


def certificate_of(verify, certificates, cert_path):
    """The certificate of the file whose public key verifies the probe signature."""
    for certificate in certificates:
        public = certificate.public_key()
        if not isinstance(public, (rsa.RSAPublicKey, ec.EllipticCurvePublicKey)):
            continue
        try:
            verify(public)
            return certificate
        except (InvalidSignature, TypeError, ValueError):
            continue
    raise TokenError(f"--cert {cert_path}: no certificate in it belongs to the key "
                     f"(the first is {certificates[0].subject.rfc4514_string()})")


def check_validity(certificate, cert_path):
    now = datetime.datetime.utcnow()
    if certificate.not_valid_after < now:
        raise TokenError(f"--cert {cert_path}: the certificate expired on "
                         f"{certificate.not_valid_after:%Y-%m-%d}; signatures made with it "
                         "never verify")
    if certificate.not_valid_before > now:
        raise TokenError(f"--cert {cert_path}: the certificate is valid only from "
                         f"{certificate.not_valid_before:%Y-%m-%d}")


def _pkcs11_reason(error):
    return PyKCS11.CKR.get(error.value, f"{error.value:#x}") if isinstance(error.value, int) \
        else str(error)


def check_key(key):
    """Logs in to the key's token once and checks the PIN, the key and its certificate.
    Returns a line that says what was checked; raises TokenError."""
    attributes = parse_uri(key.uri)
    pin = read_pin(key.pin_file)
    certificates = read_certificates(key.cert)
    library = PyKCS11.PyKCS11Lib()
    try:
        library.load(str(key.module))
    except PyKCS11.PyKCS11Error as error:
        raise TokenError(f"--pkcs11-module {key.module} cannot be loaded ({error})")
    try:
        slot, info = find_slot(library, attributes, key.module)
        label = _text(info.label)
        if info.flags & PyKCS11.CKF_USER_PIN_LOCKED:
            raise TokenError(f"token {label!r}: its PIN is locked; unlock it with the token's "
                             "own tool (it needs the security officer's PIN)")
        session = library.openSession(slot)
        try:
            try:
                session.login(pin)
            except PyKCS11.PyKCS11Error as error:
                if error.value == PyKCS11.CKR_PIN_INCORRECT:
                    raise TokenError(f"token {label!r}: the PIN in {key.pin_file} is wrong; "
                                     "nothing was signed, and the kit tried it only once")
                if error.value == PyKCS11.CKR_PIN_LOCKED:
                    raise TokenError(f"token {label!r}: its PIN is locked")
                if error.value != PyKCS11.CKR_USER_ALREADY_LOGGED_IN:
                    raise TokenError(f"token {label!r}: login failed ({_pkcs11_reason(error)})")
            try:
                verify = probe_signature(session, find_key(session, attributes))
            finally:
                session.logout()
        finally:
            session.closeSession()
    except PyKCS11.PyKCS11Error as error:
        raise TokenError(f"token: {_pkcs11_reason(error)}")
    certificate = certificate_of(verify, certificates, key.cert)
    check_validity(certificate, key.cert)
    return (f"token {label!r}: PIN, key and certificate checked "
            f"({certificate.subject.rfc4514_string()}, valid until "
            f"{certificate.not_valid_after:%Y-%m-%d})")
