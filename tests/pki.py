"""Throwaway signing parts for the kit's tests and its signing bench: a certificate
authority, code-signing certificates (for a PKCS#12 file or for a key in a token), an RFC 3161
time-stamping authority on 127.0.0.1 and a SoftHSM2 token made afresh in a folder."""
import datetime
import http.server
import os
import subprocess
import threading
from pathlib import Path

import PyKCS11
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.hazmat.primitives.serialization import pkcs12
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"
# OpenSC's logging module: it passes every call on to the module in PKCS11SPY and writes
# the calls to PKCS11SPY_OUTPUT, so that a test can count the logins.
PKCS11_SPY = "/usr/lib/x86_64-linux-gnu/pkcs11-spy.so"
CODE_SIGNING = [x509.BasicConstraints(ca=False, path_length=None),
                x509.KeyUsage(True, False, False, False, False, False, False, False, False),
                x509.ExtendedKeyUsage([ExtendedKeyUsageOID.CODE_SIGNING])]
TIME_STAMPING = [x509.BasicConstraints(ca=False, path_length=None),
                 x509.KeyUsage(True, False, False, False, False, False, False, False, False),
                 x509.ExtendedKeyUsage([ExtendedKeyUsageOID.TIME_STAMPING])]


def _pem(certificate):
    return certificate.public_bytes(serialization.Encoding.PEM)


def _key_pem(key):
    return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())


class Authority:
    """A certificate authority of its own in folder (ca.pem, ca.key)."""

    def __init__(self, folder, name="Throwaway Test CA"):
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])
        now = datetime.datetime.utcnow()
        self.certificate = (
            x509.CertificateBuilder().subject_name(subject).issuer_name(subject)
            .public_key(self.key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(hours=1))
            .not_valid_after(now + datetime.timedelta(days=30))
            .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
            .sign(self.key, hashes.SHA256()))
        self.pem = self.folder / f"{name.replace(' ', '-').lower()}.pem"
        self.pem.write_bytes(_pem(self.certificate))
        self.key_file = self.pem.with_suffix(".key")
        self.key_file.write_bytes(_key_pem(self.key))

    def issue(self, public_key, name, extensions, days, starts=0):
        """A certificate valid from starts days from now (less 10 minutes) to days from now."""
        now = datetime.datetime.utcnow()
        builder = (
            x509.CertificateBuilder()
            .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)]))
            .issuer_name(self.certificate.subject).public_key(public_key)
            .serial_number(x509.random_serial_number())
            .not_valid_before(now + datetime.timedelta(days=starts, minutes=-10))
            .not_valid_after(now + datetime.timedelta(days=days)))
        for extension in extensions:
            critical = not isinstance(extension, x509.ExtendedKeyUsage) or \
                ExtendedKeyUsageOID.TIME_STAMPING in extension
            builder = builder.add_extension(extension, critical=critical)
        return builder.sign(self.key, hashes.SHA256())

    def chain_file(self, certificate, name):
        """A PEM file of the certificate and this authority's, as a CA hands it out."""
        path = self.folder / name
        path.write_bytes(_pem(certificate) + _pem(self.certificate))
        return path

    def pkcs12_file(self, name, subject, password, days=1):
        """A PKCS#12 file of a new code-signing key and certificate, and its password file."""
        key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        certificate = self.issue(key.public_key(), subject, CODE_SIGNING, days)
        path = self.folder / f"{name}.p12"
        path.write_bytes(pkcs12.serialize_key_and_certificates(
            name.encode(), key, certificate, [self.certificate],
            serialization.BestAvailableEncryption(password.encode())))
        password_file = self.folder / f"{name}.password"
        password_file.write_text(password + "\n")
        password_file.chmod(0o600)  # as the kit requires of a secret
        return path, password_file


class _TimeStampHandler(http.server.BaseHTTPRequestHandler):
    """RFC 3161 over HTTP: each request answered by `openssl ts -reply`."""

    def do_POST(self):
        authority = self.server.authority
        with authority.lock:
            held = authority.holding.is_set() and authority.let_through == 0
            if authority.holding.is_set() and not held:
                authority.let_through -= 1  # the kit's probe before it signs
        if held or not authority.holding.is_set():
            authority.reached.set()
        if held:
            # Held: a signer waits here until the test lets it go (or gives up).
            authority.released.wait(120)
        with authority.lock:
            folder = authority.folder
            query = self.rfile.read(int(self.headers["Content-Length"]))
            (folder / "query.tsq").write_bytes(query)
            subprocess.run(["openssl", "ts", "-reply", "-config", "tsa.cnf", "-queryfile",
                            "query.tsq", "-signer", "tsa.pem", "-inkey", "tsa.key", "-chain",
                            authority.ca.pem.name, "-out", "reply.tsr"],
                           cwd=folder, check=True, capture_output=True)
            reply = (folder / "reply.tsr").read_bytes()
            authority.requests += 1
        try:
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the signer was killed while it waited

    def log_message(self, *arguments):
        pass


class TimeStampAuthority:
    """An RFC 3161 time-stamping authority on 127.0.0.1, its certificate from ca; url is
    where it answers. With holding set, requests wait until released is set, but for the
    first let_through of them; reached is set by the first request that is not let through.
    Stop it with close()."""

    def __init__(self, folder, ca):
        self.folder, self.ca, self.lock, self.requests = Path(folder), ca, threading.Lock(), 0
        self.let_through = 0
        self.holding, self.reached, self.released = (threading.Event(), threading.Event(),
                                                      threading.Event())
        key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        certificate = ca.issue(key.public_key(), "Throwaway TSA", TIME_STAMPING, 30)
        (self.folder / "tsa.pem").write_bytes(_pem(certificate))
        (self.folder / "tsa.key").write_bytes(_key_pem(key))
        (self.folder / "tsa.cnf").write_text(
            "[tsa]\ndefault_tsa = tsa_config\n[tsa_config]\nserial = serial\n"
            "signer_digest = sha256\ndefault_policy = 1.2.3.4.1\ndigests = sha256\n"
            "ess_cert_id_alg = sha256\n")
        (self.folder / "serial").write_text("01\n")
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _TimeStampHandler)
        self.server.authority = self
        self.url = f"http://127.0.0.1:{self.server.server_port}/"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.released.set()
        self.server.shutdown()
        self.server.server_close()


class SoftToken:
    """A SoftHSM2 token in a folder of its own, holding an RSA key generated inside it as
    sensitive and not extractable, as a CA requires of a code-signing key today.
    environment() is what a process needs to see it."""

    LABEL = "Fish Token"
    KEY_LABEL = "code signing"

    def __init__(self, folder, pin="2468", so_pin="97531"):
        self.folder = Path(folder)
        (self.folder / "tokens").mkdir(parents=True)
        self.config = self.folder / "softhsm2.conf"
        self.config.write_text(f"directories.tokendir = {self.folder / 'tokens'}\n"
                               "objectstore.backend = file\nlog.level = ERROR\n")
        self.pin = pin
        self.pin_file = self.folder / "pin"
        self.pin_file.write_text(pin + "\n")
        self.pin_file.chmod(0o600)  # as the kit requires of a secret
        os.environ["SOFTHSM2_CONF"] = str(self.config)  # for this process's own calls
        library = PyKCS11.PyKCS11Lib()
        library.load(SOFTHSM)
        library.initToken(library.getSlotList(tokenPresent=False)[0], so_pin, self.LABEL.ljust(32))
        session = library.openSession(library.getSlotList(tokenPresent=True)[0],
                                      PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
        session.login(so_pin, PyKCS11.CKU_SO)
        session.initPin(pin)
        session.logout()
        session.login(pin)
        common = [(PyKCS11.CKA_TOKEN, True), (PyKCS11.CKA_LABEL, self.KEY_LABEL),
                  (PyKCS11.CKA_ID, (0x42,))]
        public, private = session.generateKeyPair(
            common + [(PyKCS11.CKA_CLASS, PyKCS11.CKO_PUBLIC_KEY), (PyKCS11.CKA_VERIFY, True),
                      (PyKCS11.CKA_MODULUS_BITS, 2048),
                      (PyKCS11.CKA_PUBLIC_EXPONENT, (0x01, 0x00, 0x01))],
            common + [(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY), (PyKCS11.CKA_PRIVATE, True),
                      (PyKCS11.CKA_SIGN, True), (PyKCS11.CKA_SENSITIVE, True),
                      (PyKCS11.CKA_EXTRACTABLE, False)])
        modulus, exponent = session.getAttributeValue(
            public, [PyKCS11.CKA_MODULUS, PyKCS11.CKA_PUBLIC_EXPONENT])
        self.key_attributes = session.getAttributeValue(
            private, [PyKCS11.CKA_SENSITIVE, PyKCS11.CKA_EXTRACTABLE])
        session.logout()
        session.closeSession()
        self.public_key = rsa.RSAPublicNumbers(int.from_bytes(bytes(exponent), "big"),
                                               int.from_bytes(bytes(modulus), "big")).public_key()
        self.uri = "pkcs11:token=Fish%20Token;object=code%20signing;type=private"

    def environment(self, spy_log=None):
        """The environment of a process that uses the token; with spy_log, through OpenSC's
        logging module (use PKCS11_SPY as the module then)."""
        environment = dict(os.environ, SOFTHSM2_CONF=str(self.config))
        if spy_log:
            environment.update(PKCS11SPY=SOFTHSM, PKCS11SPY_OUTPUT=str(spy_log))
        return environment
