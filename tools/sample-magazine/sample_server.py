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
                 no-title (see samples.FAULTS)
  --log PATH     append one line per request: milliseconds spent, status, body bytes sent, URL
  --lifetime S   stop by itself after S seconds (default 600); it also stops on SIGTERM and SIGINT

Unknown URLs get 404. Connections are kept alive (HTTP/1.1) with TCP_NODELAY, so the server adds no delay
of its own.
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

    def answer(self, send_body):
        started = time.monotonic()
        url = self.full_url()
        magazine = self.server.magazine
        resource = magazine.resources.get(url)
        if resource is None:
            status, content_type, body = 404, "text/html", NOT_FOUND
        else:
            status, content_type, body = 200, resource.content_type, resource.body
        dropped = url in magazine.dropped
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        sent = 0
        if send_body:
            sent = len(body) // 2 if dropped else len(body)
            self.wfile.write(body[:sent])
        if dropped:
            # The reply promised the whole body; the connection goes before the rest of it.
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
        self.server.log_request_line(time.monotonic() - started, status, sent, url)


class SampleServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, magazine, log_path):
        super().__init__(("127.0.0.1", 0), SampleHandler)
        self.magazine = magazine
        self.log_path = log_path
        self.log_lock = threading.Lock()

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
    parser.add_argument("--fault", action="append", default=[], choices=sorted(samples.FAULTS))
    parser.add_argument("--port-file", help="write the port number to this file")
    parser.add_argument("--log", help="append a line per request to this file")
    parser.add_argument("--lifetime", type=float, default=600, help="stop after this many seconds")
    args = parser.parse_args()

    server = SampleServer(samples.build(large=args.large, faults=args.fault), args.log)

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
