"""A stand-in for the maker's diagnostics upload service, on loopback only.

UploadServer implements the two calls the tool makes under its base URL
(".../feeds/api"): "/bundle/?size=N" opens an upload and answers
{"id": "..."}; "/upload_raw_chunk/?id=...&offset=..." stores the request
body at that offset and answers {"status": "COMPLETE"}. It records every
request with its headers, checks the headers the service relies on, puts
the uploads back together, and can be told to fail the next calls in the
ways listed in FAULTS. Plain HTTP, or HTTPS with a LoopbackAuthority
certificate (version_server.py).

Run as a program it serves until stopped and prints its base URL and every
finished upload (the demo uses this).
"""
import argparse
import http.server
import socket
import ssl
import struct
import sys
import threading
import time
import uuid
from urllib.parse import parse_qs, urlsplit

API_PATH = "/feeds/api"
API_KEY = "3c9e07d2b84f16a5e0d97c3b21f8a64e5d0b7c19"
USER_AGENT = "ZRACleanupTool"

# What a scripted failure does to one call:
#   no-colon     200 with an id reply lacking ":"
#   no-brace     200 with an id reply lacking "}"
#   500          status 500 (with a body that would otherwise be accepted)
#   no-complete  200 with a chunk reply lacking "COMPLETE" (nothing stored)
#   reset        reads half the body, then resets the connection
#   silent       reads the request and never answers
#   odd-id       (not a failure) an upload id full of URL delimiters
FAULTS = ("no-colon", "no-brace", "500", "no-complete", "reset", "silent", "odd-id")
ODD_ID = "a b&c=d/e+f?g#h"


class Upload:
    def __init__(self, upload_id: str, size: int):
        self.id = upload_id
        self.size = size
        self.chunks = []  # (offset, bytes) in arrival order, accepted ones only

    def data(self) -> bytes:
        """The file as the accepted chunks give it; raises when they do not
        cover it exactly once."""
        buffer = bytearray()
        for offset, chunk in sorted(self.chunks):
            if offset != len(buffer):
                raise AssertionError(f"chunk at {offset} does not follow {len(buffer)} bytes")
            buffer += chunk
        if len(buffer) != self.size:
            raise AssertionError(f"{len(buffer)} bytes arrived of {self.size} announced")
        return bytes(buffer)

    @property
    def complete(self) -> bool:
        return sum(len(chunk) for _, chunk in self.chunks) == self.size


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):  # noqa: N802 (the standard library's name)
        server = self.server.stand_in
        parts = urlsplit(self.path)
        query = parse_qs(parts.query)
        call = parts.path[len(API_PATH):] if parts.path.startswith(API_PATH) else parts.path
        kind = "bundle" if call == "/bundle/" else "chunk" if call == "/upload_raw_chunk/" else "other"
        fault = server.take_fault(kind)
        length = int(self.headers.get("Content-Length", "0") or 0)

        if fault == "reset":
            self.rfile.read(length // 2)
            server.record(self, kind, length // 2, fault)
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.close()
            self.close_connection = True
            return
        body = self.rfile.read(length) if length else b""
        server.record(self, kind, len(body), fault)
        if fault == "silent":
            server.stopped.wait(300)
            self.close_connection = True
            return

        if kind == "bundle":
            size = int(query.get("size", ["-1"])[0])
            upload_id = ODD_ID if fault == "odd-id" else uuid.uuid4().hex
            if server.on_bundle is not None:
                server.on_bundle(size)
            if fault in (None, "500", "odd-id"):
                server.uploads[upload_id] = Upload(upload_id, size)
            reply = {"no-colon": b'{"id" "' + upload_id.encode() + b'"}',
                     "no-brace": b'{"id": "' + upload_id.encode() + b'"'}.get(
                fault, b'{"id": "' + upload_id.encode() + b'"}')
        elif kind == "chunk":
            upload = server.uploads.get(query.get("id", [""])[0])
            offset = int(query.get("offset", ["-1"])[0])
            if upload is None or offset < 0:
                self._answer(404, b'{"error": "unknown upload"}')
                return
            if fault is None:
                upload.chunks.append((offset, body))
                if upload.complete:
                    server.finished(upload)
            reply = b'{"status": "PENDING"}' if fault == "no-complete" else b'{"status": "COMPLETE"}'
        else:
            self._answer(404, b"not found")
            return
        self._answer(500 if fault == "500" else 200, reply)

    def _answer(self, status: int, body: bytes):
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        try:
            self.wfile.write(body)
        except OSError:
            pass

    def log_message(self, *args):
        pass


class UploadServer:
    def __init__(self, context: ssl.SSLContext = None, port: int = 0):
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", port), _Handler)
        self.httpd.daemon_threads = True
        self.httpd.stand_in = self
        if context is not None:
            self.httpd.socket = context.wrap_socket(self.httpd.socket, server_side=True)
        self.scheme = "https" if context is not None else "http"
        self.lock = threading.Lock()
        self.stopped = threading.Event()
        self.requests = []      # dicts: kind, path, headers, body_length, fault, time
        self.header_errors = []
        self.uploads = {}       # id -> Upload
        self.completed = []     # Uploads in the order they were finished
        self.faults = []        # (kind, fault) still to apply, in order
        self.on_bundle = None   # called with the announced size
        self.on_complete = None
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    @property
    def port(self) -> int:
        return self.httpd.server_address[1]

    @property
    def base_url(self) -> str:
        return f"{self.scheme}://127.0.0.1:{self.port}{API_PATH}"

    def fail(self, kind: str, fault: str, times: int = 1):
        """Makes the next `times` calls of that kind ("bundle" or "chunk")
        fail with the fault."""
        assert kind in ("bundle", "chunk") and fault in FAULTS, (kind, fault)
        with self.lock:
            self.faults.extend([(kind, fault)] * times)

    def take_fault(self, kind):
        with self.lock:
            for index, (fault_kind, fault) in enumerate(self.faults):
                if fault_kind == kind:
                    del self.faults[index]
                    return fault
        return None

    def record(self, handler, kind, body_length, fault):
        headers = dict(handler.headers)
        with self.lock:
            self.requests.append(dict(kind=kind, path=handler.path, headers=headers, body_length=body_length,
                                      fault=fault, time=time.monotonic()))
            problems = []
            if headers.get("Authorization") != f"PK  {API_KEY}":
                problems.append(f"Authorization: {headers.get('Authorization')!r}")
            if headers.get("User-Agent") != USER_AGENT:
                problems.append(f"User-Agent: {headers.get('User-Agent')!r}")
            wanted = {"bundle": None, "chunk": "application/octet-stream"}.get(kind)
            if wanted and headers.get("Content-Type") != wanted:
                problems.append(f"Content-Type: {headers.get('Content-Type')!r}")
            if kind == "chunk" and fault != "reset" and int(headers.get("Content-Length", -1)) != body_length:
                problems.append(f"Content-Length {headers.get('Content-Length')} for {body_length} bytes")
            if problems:
                self.header_errors.append((handler.path, problems))

    def finished(self, upload):
        with self.lock:
            self.completed.append(upload)
        if self.on_complete is not None:
            self.on_complete(upload)

    def chunk_requests(self):
        return [r for r in self.requests if r["kind"] == "chunk"]

    def close(self):
        self.stopped.set()
        self.httpd.shutdown()
        self.httpd.server_close()


class _CrlHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):  # noqa: N802
        body = self.server.crl
        self.server.fetches += 1
        self.send_response(200 if body else 404)
        self.send_header("Content-Type", "application/pkix-crl")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class RevocationListServer:
    """Publishes a certificate authority's revocation list over plain HTTP
    on loopback: the upload checks the revocation of the service's
    certificate, so a test authority must publish one."""

    def __init__(self):
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _CrlHandler)
        self.httpd.daemon_threads = True
        self.httpd.crl = b""
        self.httpd.fetches = 0
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.httpd.server_address[1]}/ca.crl"

    @property
    def fetches(self) -> int:
        return self.httpd.fetches

    def publish(self, crl: bytes):
        self.httpd.crl = crl

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--save", help="folder to save finished uploads in")
    args = parser.parse_args()
    server = UploadServer(port=args.port)

    def report(upload):
        data = upload.data()
        line = f"stand-in service: upload {upload.id} complete, {len(data)} bytes in {len(upload.chunks)} chunk(s)"
        if args.save:
            from pathlib import Path
            target = Path(args.save) / f"{upload.id}.zip"
            target.write_bytes(data)
            line += f", saved as {target}"
        print(line, flush=True)

    server.on_complete = report
    print(server.base_url, flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    finally:
        server.close()


if __name__ == "__main__":
    sys.exit(main())
