"""A stand-in for the maker's version file host, on loopback only.

VersionServer serves one configurable answer (status and body) over plain
HTTP or over HTTPS with a certificate from a test certificate authority made
at test time. SilentServer accepts connections and never answers.
LoopbackAuthority.trust(prefix) makes a Wine prefix trust the authority: only
that prefix's registry is changed.
"""
import datetime
import hashlib
import http.server
import ipaddress
import socket
import ssl
import struct
import threading
import time
from pathlib import Path

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

VERSION_PATH = "/zcu/ZCUVersion.txt"
ROOT_STORE = r"HKEY_LOCAL_MACHINE\Software\Microsoft\SystemCertificates\Root\Certificates"


class LoopbackAuthority:
    """A throw-away certificate authority and one server certificate for
    127.0.0.1 and localhost. With crl_url the server certificate names
    where its revocation list is published (crl() gives the list), for
    clients that check revocation."""

    def __init__(self, folder: Path, crl_url: str = None):
        now = datetime.datetime.now(datetime.timezone.utc)
        self.key = ec.generate_private_key(ec.SECP256R1())
        name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "ZRA Test Root CA")])
        self.cert = (
            x509.CertificateBuilder()
            .subject_name(name).issuer_name(name)
            .public_key(self.key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1))
            .not_valid_after(now + datetime.timedelta(days=30))
            .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
            .add_extension(x509.KeyUsage(digital_signature=True, key_cert_sign=True, crl_sign=True,
                                         content_commitment=False, key_encipherment=False,
                                         data_encipherment=False, key_agreement=False,
                                         encipher_only=False, decipher_only=False), critical=True)
            .sign(self.key, hashes.SHA256())
        )
        server_key = ec.generate_private_key(ec.SECP256R1())
        server_cert = (
            x509.CertificateBuilder()
            .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "127.0.0.1")]))
            .issuer_name(name)
            .public_key(server_key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1))
            .not_valid_after(now + datetime.timedelta(days=30))
            # Wine matches the host only against DNS names: the address is
            # listed as one too.
            .add_extension(x509.SubjectAlternativeName([
                x509.IPAddress(ipaddress.ip_address("127.0.0.1")), x509.DNSName("127.0.0.1"),
                x509.DNSName("localhost")]), critical=False)
            .add_extension(x509.ExtendedKeyUsage([x509.oid.ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
        )
        if crl_url:
            server_cert = server_cert.add_extension(x509.CRLDistributionPoints([x509.DistributionPoint(
                full_name=[x509.UniformResourceIdentifier(crl_url)], relative_name=None, reasons=None,
                crl_issuer=None)]), critical=False)
        server_cert = server_cert.sign(self.key, hashes.SHA256())
        self.issuer_name = name
        self.server_serial = server_cert.serial_number
        folder.mkdir(parents=True, exist_ok=True)
        self.server_cert_file = folder / "server.pem"
        self.server_key_file = folder / "server.key"
        self.server_cert_file.write_bytes(server_cert.public_bytes(serialization.Encoding.PEM)
                                          + self.cert.public_bytes(serialization.Encoding.PEM))
        self.server_key_file.write_bytes(server_key.private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))

    def crl(self, revoke_server: bool = False) -> bytes:
        """The authority's revocation list (DER), valid for a day: empty, or
        revoking the server certificate."""
        now = datetime.datetime.now(datetime.timezone.utc)
        builder = (
            x509.CertificateRevocationListBuilder()
            .issuer_name(self.issuer_name)
            .last_update(now - datetime.timedelta(hours=1))
            .next_update(now + datetime.timedelta(days=1))
        )
        if revoke_server:
            builder = builder.add_revoked_certificate(
                x509.RevokedCertificateBuilder().serial_number(self.server_serial)
                .revocation_date(now - datetime.timedelta(hours=1)).build())
        return builder.sign(self.key, hashes.SHA256()).public_bytes(serialization.Encoding.DER)

    def server_context(self) -> ssl.SSLContext:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        context.maximum_version = ssl.TLSVersion.TLSv1_2
        context.load_cert_chain(self.server_cert_file, self.server_key_file)
        return context

    def trust(self, prefix):
        """Adds the authority to the machine's root store of the prefix, the
        way Windows stores it: a serialized certificate property under the
        certificate's SHA-1 thumbprint."""
        der = self.cert.public_bytes(serialization.Encoding.DER)
        thumbprint = hashlib.sha1(der).hexdigest().upper()
        blob = (0x20).to_bytes(4, "little") + (1).to_bytes(4, "little") + len(der).to_bytes(4, "little") + der
        proc = prefix.wine("reg", "add", f"{ROOT_STORE}\\{thumbprint}", "/v", "Blob", "/t", "REG_BINARY",
                           "/d", blob.hex(), "/f", "/reg:64")
        assert proc.returncode == 0, proc.stderr


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):  # noqa: N802 (the standard library's name)
        server = self.server
        server.requests.append((self.path, dict(self.headers)))
        status, pieces, pause, length = server.answer
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(length))
        self.end_headers()
        try:
            for piece in pieces:
                self.wfile.write(piece)
                self.wfile.flush()
                if pause:
                    time.sleep(pause)
        except OSError:
            pass  # the client gave up
        if server.reset_after_body:
            # Break the connection short of the announced length: an abortive
            # close makes the peer's next read fail.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.close()
            self.close_connection = True

    def log_message(self, *args):
        pass


class VersionServer:
    """Serves (status, body) for every GET; records the paths and headers."""

    def __init__(self, context: ssl.SSLContext = None):
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
        self.httpd.daemon_threads = True
        self.httpd.answer = (200, [b""], 0, 0)
        self.httpd.requests = []
        self.httpd.reset_after_body = False
        if context is not None:
            self.httpd.socket = context.wrap_socket(self.httpd.socket, server_side=True)
        self.scheme = "https" if context is not None else "http"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    @property
    def port(self) -> int:
        return self.httpd.server_address[1]

    @property
    def url(self) -> str:
        return f"{self.scheme}://127.0.0.1:{self.port}{VERSION_PATH}"

    @property
    def requests(self):
        return self.httpd.requests

    def answer(self, status: int, body: bytes):
        self.httpd.answer = (status, [body], 0, len(body))

    def answer_in_pieces(self, status: int, pieces, pause: float, length: int = None):
        """Sends the body piece by piece with a pause after each; pieces may
        be an endless iterator when a length is given."""
        if length is None:
            pieces = list(pieces)
            length = sum(len(piece) for piece in pieces)
        self.httpd.answer = (status, pieces, pause, length)

    def answer_then_reset(self, status: int, body: bytes, length: int):
        """Announces length bytes, sends body, then resets the connection."""
        self.httpd.answer = (status, [body], 0.3, length)
        self.httpd.reset_after_body = True

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


class SilentServer:
    """Accepts every connection and never sends a byte."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.connections = []
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        self.sock.settimeout(0.2)
        while not self.stopped.is_set():
            try:
                conn, _ = self.sock.accept()
                self.connections.append(conn)
            except OSError:
                continue

    @property
    def port(self) -> int:
        return self.sock.getsockname()[1]

    def close(self):
        self.stopped.set()
        self.thread.join()
        for conn in self.connections:
            conn.close()
        self.sock.close()


class TricklingHeadersServer:
    """Answers every request with its status line and headers one byte at a
    time, a pause after each: the headers take far longer than the tool's
    budget to arrive."""

    def __init__(self, pause: float = 0.15):
        self.pause = pause
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.connections = 0
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        self.sock.settimeout(0.2)
        while not self.stopped.is_set():
            try:
                conn, _ = self.sock.accept()
            except OSError:
                continue
            self.connections += 1
            threading.Thread(target=self._trickle, args=(conn,), daemon=True).start()

    def _trickle(self, conn):
        answer = (b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nX-Padding: " + b"z" * 400 +
                  b"\r\nContent-Length: 7\r\n\r\n9.9.9.9")
        with conn:
            try:
                conn.settimeout(5)
                conn.recv(4096)
                for byte in answer:
                    if self.stopped.is_set():
                        break
                    conn.sendall(bytes([byte]))
                    time.sleep(self.pause)
            except OSError:
                pass  # the client gave up

    @property
    def port(self) -> int:
        return self.sock.getsockname()[1]

    def close(self):
        self.stopped.set()
        self.thread.join()
        self.sock.close()


def closed_port() -> int:
    """A loopback port nothing listens on (bound and released again)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class RecordingProxy:
    """A web proxy that forwards nothing: it records the first line of
    every request (for HTTPS: "CONNECT host:port HTTP/1.1") and refuses it.
    Shows which host the tool asks for without any outside traffic."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.request_lines = []
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        self.sock.settimeout(0.2)
        while not self.stopped.is_set():
            try:
                conn, _ = self.sock.accept()
            except OSError:
                continue
            with conn:
                conn.settimeout(5)
                data = b""
                try:
                    while b"\r\n\r\n" not in data:
                        chunk = conn.recv(4096)
                        if not chunk:
                            break
                        data += chunk
                    self.request_lines.append(data.split(b"\r\n", 1)[0].decode("latin-1"))
                    conn.sendall(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
                except OSError:
                    pass

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.sock.getsockname()[1]}"

    def close(self):
        self.stopped.set()
        self.thread.join()
        self.sock.close()
