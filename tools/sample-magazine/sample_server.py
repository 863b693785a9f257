#!/usr/bin/env python3
"""The sample magazine server: answers for the magazine sites' host names (mag-a.test, mag-a-archive.test,
mag-b.test) as an HTTP proxy on 127.0.0.1, serving the sample issues of samples.py.

    sample_server.py [--large] [--fault NAME]... [--port-file PATH] [--log PATH] [--lifetime SECONDS]

It listens on a port that the system picks and, once it accepts connections, prints "PORT n" on standard
output (and writes n to --port-file, when given). Point a client at it with http_proxy=http://127.0.0.1:n
(libcurl reads the lower-case name only; no_proxy must not list the hosts). It also answers requests sent
to it directly, by their Host header.

  --large        also serve the large issue (http://mag-a.test/magazine/2008-12/) for the benchmark
  --fault NAME   make issue a fail in one way (repeatable): missing-picture, drop-mid-body, other-layout,
                 no-title (see samples.FAULTS); or make the server misbehave (see SERVER_FAULTS):
                 error-large-body, stall-before-headers, stall-mid-body, endless-body, bad-picture-urls
  --log PATH     append one line per request: milliseconds spent, status, body bytes sent, URL; a
                 plain reply is logged before it is sent, a fault once it is over
  --lifetime S   stop by itself after S seconds (default 600); it also stops on SIGTERM and SIGINT

Unknown URLs get 404. Connections are kept alive (HTTP/1.1) with TCP_NODELAY, so the server adds no delay
of its own. A reply that stalls prints "STALL <URL>" on standard output once it has fallen silent; it stays
silent until the client closes the connection (or the server stops), and is logged then.
"""

import argparse
import os
import signal
import socket
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import samples  # noqa: E402

NOT_FOUND = (b"<html><head><title>404 Not Found</title></head>"
             b"<body><h1>Not Found</h1><p>The sample magazine has no such page.</p></body></html>\n")

# Faults of the server itself, on pictures and pages of issue "a" that the faults of samples.py leave alone.
SERVER_FAULTS = {
    "error-large-body": "the first picture of article 6 is answered 500 with a 64 MB body",
    "stall-before-headers": "the first picture of article 7 is never answered",
    "stall-mid-body": "the reply for the first picture of article 8 falls silent in the middle of the body",
    "endless-body": "article 9 is answered 200 with a body that never ends",
    "bad-picture-urls": "the scheme pictures of articles 10, 11 and 12 are referred to by an address longer "
                        "than 8 MB, one with a NUL byte inside and one with a port out of range",
}
LARGE_ERROR_BYTES = 64 * 1024 * 1024
CHUNK = b"x" * (1024 * 1024)


def server_fault_targets(mag, name):
    """The URLs of issue "a" that a server fault changes; for bad-picture-urls, (original, bad) pairs."""
    a = mag.issues["a"]
    if name == "error-large-body":
        return [a.articles[5].pictures[0]]
    if name == "stall-before-headers":
        return [a.articles[6].pictures[0]]
    if name == "stall-mid-body":
        return [a.articles[7].pictures[0]]
    if name == "endless-body":
        return [a.articles[8].url]
    if name == "bad-picture-urls":
        result = []
        for index, spoil in ((9, lambda u: u[:-len(".png")] + "x" * (8 * 1024 * 1024) + ".png"),
                             (10, lambda u: u[:-len(".png")] + "\0.png"),
                             (11, lambda u: u.replace(".test/", ".test:99999/", 1))):
            scheme = a.articles[index].pictures[1]
            assert scheme.endswith("/scheme.png")
            result.append((scheme, spoil(scheme)))
        return result
    raise ValueError("unknown server fault: " + name)


def apply_server_fault(mag, name):
    """Records the fault on the magazine: mag.server_faults maps URL -> fault; pages get their bad addresses."""
    faults = getattr(mag, "server_faults", {})
    mag.server_faults = faults
    a = mag.issues["a"]
    if name == "bad-picture-urls":
        for index, (good, bad) in zip((9, 10, 11), server_fault_targets(mag, name)):
            page = a.articles[index].url
            resource = mag.resources[page]
            # The page may give the address protocol-relative.
            body = resource.body.replace(good.encode("cp1251"), bad.encode("cp1251"))
            if body == resource.body:
                body = resource.body.replace(good[len("http:"):].encode("cp1251"), bad[len("http:"):].encode("cp1251"))
            assert body != resource.body
            mag.resources[page] = samples.Resource(resource.content_type, body)
    else:
        for url in server_fault_targets(mag, name):
            faults[url] = name


class SampleHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "SampleMagazine/1.0"

    def setup(self):
        super().setup()
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def log_message(self, format, *args):  # the request log of --log replaces the console log
        pass

    def full_url(self):
        if self.path.startswith("http://"):
            return self.path
        return "http://%s%s" % (self.headers.get("Host", ""), self.path)

    def do_GET(self):
        self.answer(send_body=True)

    def do_HEAD(self):
        self.answer(send_body=False)

    def wait_for_client_close(self):
        try:
            while self.connection.recv(4096):
                pass
        except OSError:
            pass
        self.close_connection = True

    def stall(self, url):
        self.wfile.flush()
        self.server.announce("STALL " + url)
        self.wait_for_client_close()

    def answer_fault(self, fault, url, resource, send_body):
        """Answers url the way fault says; returns (status, body bytes sent)."""
        if fault == "stall-before-headers":
            self.stall(url)
            return 0, 0
        if fault == "error-large-body":
            status, length = 500, LARGE_ERROR_BYTES
        elif fault == "endless-body":
            status, length = 200, None
        else:  # stall-mid-body
            status, length = 200, len(resource.body)
        self.send_response(status)
        self.send_header("Content-Type", resource.content_type if status == 200 else "text/html")
        if length is None:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(length))
        self.end_headers()
        sent = 0
        if not send_body:
            return status, sent
        try:
            if fault == "stall-mid-body":
                sent = len(resource.body) // 2
                self.wfile.write(resource.body[:sent])
                self.stall(url)
            elif length is None:
                while True:
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(CHUNK), CHUNK))
                    sent += len(CHUNK)
            else:
                while sent < length:
                    self.wfile.write(CHUNK)
                    sent += len(CHUNK)
        except OSError:  # the client went away
            self.close_connection = True
        return status, sent

    def answer(self, send_body):
        started = time.monotonic()
        url = self.full_url()
        magazine = self.server.magazine
        resource = magazine.resources.get(url)
        fault = getattr(magazine, "server_faults", {}).get(url)
        if fault is not None:
            status, sent = self.answer_fault(fault, url, resource, send_body)
            self.server.log_request_line(time.monotonic() - started, status, sent, url)
            return
        if resource is None:
            status, content_type, body = 404, "text/html", NOT_FOUND
        else:
            status, content_type, body = 200, resource.content_type, resource.body
        dropped = url in magazine.dropped
        sent = 0
        if send_body:
            sent = len(body) // 2 if dropped else len(body)
        # Logged before the reply: a client that has its reply may end at once, and whoever reads the log
        # then finds every request it made.
        self.server.log_request_line(time.monotonic() - started, status, sent, url)
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body[:sent])
        if dropped:
            # The reply promised the whole body; the connection goes before the rest of it.
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)


class SampleServer(ThreadingHTTPServer):
    daemon_threads = True
    # Clients that open many connections at once must not wait for a second SYN (the default backlog is 5).
    request_queue_size = 128

    def __init__(self, magazine, log_path):
        super().__init__(("127.0.0.1", 0), SampleHandler)
        self.magazine = magazine
        self.log_path = log_path
        self.log_lock = threading.Lock()

    def announce(self, line):
        with self.log_lock:
            print(line, flush=True)

    def log_request_line(self, seconds, status, sent, url):
        if not self.log_path:
            return
        with self.log_lock, open(self.log_path, "a", encoding="utf-8") as log:
            log.write("%.3f %d %d %s\n" % (seconds * 1000, status, sent, url))

    def handle_error(self, request, client_address):
        # A client that goes away in the middle of a reply is no error of the server's.
        if not isinstance(sys.exc_info()[1], (ConnectionError, BrokenPipeError)):
            super().handle_error(request, client_address)


def main():
    parser = argparse.ArgumentParser(description="The sample magazine server (an HTTP proxy on 127.0.0.1).")
    parser.add_argument("--large", action="store_true", help="also serve the large issue")
    parser.add_argument("--fault", action="append", default=[], choices=sorted(samples.FAULTS) + sorted(SERVER_FAULTS))
    parser.add_argument("--port-file", help="write the port number to this file")
    parser.add_argument("--log", help="append a line per request to this file")
    parser.add_argument("--lifetime", type=float, default=600, help="stop after this many seconds")
    args = parser.parse_args()

    magazine = samples.build(large=args.large, faults=[f for f in args.fault if f in samples.FAULTS])
    for fault in args.fault:
        if fault in SERVER_FAULTS:
            apply_server_fault(magazine, fault)
    server = SampleServer(magazine, args.log)

    def stop(*_):
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    timer = threading.Timer(args.lifetime, stop)
    timer.daemon = True
    timer.start()

    port = server.server_address[1]
    if args.port_file:
        temporary = args.port_file + ".tmp"
        with open(temporary, "w") as f:
            f.write("%d\n" % port)
        os.replace(temporary, args.port_file)
    print("PORT %d" % port, flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        server.server_close()


if __name__ == "__main__":
    main()
