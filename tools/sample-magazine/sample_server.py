#!/usr/bin/env python3
"""The sample magazine server: answers for the magazine sites' host names (mag-a.test, mag-a-archive.test,
mag-b.test) as an HTTP proxy on 127.0.0.1, serving the sample issues of samples.py, and for the magazine of
today's (today.test, img.todaycdn.test: today.py, https only).

    sample_server.py [--large] [--fault NAME]... [--tls-cert PATH --tls-key PATH] [--port-file PATH]
                     [--log PATH] [--lifetime SECONDS]
    sample_server.py --make-certificates DIR

It listens on a port that the system picks and, once it accepts connections, prints "PORT n" on standard
output (and writes n to --port-file, when given). Point a client at it with http_proxy=http://127.0.0.1:n
(libcurl reads the lower-case name only; no_proxy must not list the hosts). It also answers requests sent
to it directly, by their Host header.

  --large        also serve the large issues (http://mag-a.test/magazine/2008-12/,
                 http://today.test/issues/2026-12/) for the benchmarks
  --fault NAME   make issue a fail in one way (repeatable): missing-picture, drop-mid-body, other-layout,
                 no-title (see samples.FAULTS); or make the server misbehave (see SERVER_FAULTS):
                 error-large-body, stall-before-headers, stall-mid-body, endless-body, bad-picture-urls,
                 html-at-picture, empty-picture, endless-picture, drip, busy; or behave as today's sites do
                 (see MODES): https-only, moved-host, moved-article, redirect-loop, redirect-hops,
                 redirect-other-scheme, utf8-bom, utf8-header, utf8-meta, gzip, deflate, br (when Python
                 has the brotli module), drop-keep-alive
  --tls-cert, --tls-key PATH
                 answer CONNECT host:443 (an https_proxy's tunnel) with TLS, this certificate and key
                 serving every sample host (and 127.0.0.1, for a client that speaks TLS to the proxy
                 itself, as wget2 does); inside the same magazine is served as https://...
  --make-certificates DIR
                 make, with openssl, a test CA (DIR/ca.pem) and a certificate for every sample host signed
                 by it (DIR/server.pem, DIR/server.key), print DIR and exit
  --log PATH     append one line per request: milliseconds spent, status, body bytes sent, the request's
                 Accept-Encoding ("-" when none), URL; a plain reply is logged before it is sent, a fault
                 once it is over, a request dropped unanswered with status 0
  --lifetime S   stop by itself after S seconds (default 600); it also stops on SIGTERM and SIGINT
  --delay-ms D   wait D milliseconds before every reply, as a distant server does (bench/calibre_run.py)

Every address is served over http and, with --tls-cert, over https alike (but where a mode redirects).
Unknown URLs get 404. Connections are kept alive (HTTP/1.1) with TCP_NODELAY, so the server adds no delay
of its own. A reply that stalls prints "STALL <URL>" on standard output once it has fallen silent; it stays
silent until the client closes the connection (or the server stops), and is logged then.
"""

import argparse
import gzip
import os
import re
import signal
import socket
import socketserver
import ssl
import subprocess
import sys
import threading
import time
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import samples  # noqa: E402
import today  # noqa: E402

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
    "html-at-picture": "the first picture of article 1 is answered 200 with an HTML page (text/html)",
    "empty-picture": "the third picture of article 1 is answered 200 with an empty body",
    "endless-picture": "the fourth picture of article 1 is answered 200 with a body that never ends",
    "drip": "the first picture of article 10 comes in four pieces, 0.4 s apart: slow, never silent for long",
    "busy": "the contents page of issue a is answered 503 and the first picture of article 12 429, each with "
            "Retry-After: 1, twice before it is served",
    "cut-compressed": "the first picture of article 4 is answered once with its gzip stream cut in half, the HTTP "
                      "framing whole (Content-Length: what is sent), then whole",
    "gzip-trailing": "the first picture of article 5 comes in gzip followed by bytes that are no part of it",
    "unknown-encoding": "the second picture of article 5 comes as it is, labelled Content-Encoding: x-unknown",
}
LARGE_ERROR_BYTES = 64 * 1024 * 1024
CHUNK = b"x" * (1024 * 1024)
BUSY_TIMES = 2
DRIP_PARTS = 4
DRIP_PAUSE = 0.4

try:
    import brotli
except ImportError:
    # Debian's python3-brotli serves another CPython of the same version too (a python3 of one's own).
    sys.path.append("/usr/lib/python3/dist-packages")
    try:
        import brotli
    except ImportError:  # the br mode is then not offered
        brotli = None
    finally:
        sys.path.remove("/usr/lib/python3/dist-packages")

# Ways of today's sites, applied to the whole magazine or to a few addresses of issue "a".
MODES = {
    "https-only": "every http:// address is answered 301 with its https:// form",
    "moved-host": "the archive host mag-a-archive.test is answered 302 with the same address on cdn.mag-a.test",
    "moved-article": "article 3 is answered 301 with an address in another directory, where the pictures it "
                     "names relative to itself are served too",
    "redirect-loop": "the first picture of article 2 redirects (302) to another address that redirects back",
    "redirect-hops": "the third picture of article 2 is reached after 10 redirects, the fourth after 11",
    "redirect-other-scheme": "the first picture of article 11 is answered 302 with an ftp:// address",
    "utf8-bom": "every page is served in UTF-8 with a byte order mark (the header still says windows-1251)",
    "utf8-header": "every page is served in UTF-8, told by the Content-Type (its <meta> still says windows-1251)",
    "utf8-meta": "every page is served in UTF-8, told by its <meta> (the Content-Type names no charset)",
    "gzip": "every 200 reply is compressed with gzip (Content-Encoding: gzip), asked for or not",
    "deflate": "every 200 reply is compressed with deflate (zlib), asked for or not",
    "drop-keep-alive": "a connection (or a CONNECT tunnel) answers one request and is closed, unanswered, as "
                       "the next one arrives",
}
if brotli is not None:
    MODES["br"] = "every 200 reply is compressed with brotli, asked for or not"
MOVED_ARTICLE_DIR = ("http://mag-a.test/magazine/2007-05/", "http://mag-a.test/archive/2007-05/")
CDN_HOST = ("http://mag-a-archive.test/", "http://cdn.mag-a.test/")
REDIRECT_HOPS = (10, 11)
SAMPLE_HOSTS = ["mag-a.test", "mag-a-archive.test", "mag-b.test", "cdn.mag-a.test"] + today.HOSTS


# The picture of issue "a" that each picture fault changes: (article, picture) indexes.
PICTURE_FAULT_TARGETS = {
    "error-large-body": (5, 0), "stall-before-headers": (6, 0), "stall-mid-body": (7, 0),
    "html-at-picture": (0, 0), "empty-picture": (0, 2), "endless-picture": (0, 3), "drip": (9, 0),
    "cut-compressed": (3, 0), "gzip-trailing": (4, 0), "unknown-encoding": (4, 1),
}


def server_fault_targets(mag, name):
    """The URLs of issue "a" that a server fault changes; for bad-picture-urls, (original, bad) pairs."""
    a = mag.issues["a"]
    if name in PICTURE_FAULT_TARGETS:
        article, picture = PICTURE_FAULT_TARGETS[name]
        return [a.articles[article].pictures[picture]]
    if name == "endless-body":
        return [a.articles[8].url]
    if name == "busy":
        return [a.title_url, a.articles[11].pictures[0]]
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
    elif name == "busy":
        mag.busy = {url: BUSY_TIMES for url in server_fault_targets(mag, name)}
    else:
        for url in server_fault_targets(mag, name):
            faults[url] = name


def plain_form(url):
    """url with the scheme http, under which the magazine keeps its resources."""
    return "http://" + url.split("://", 1)[1] if "://" in url else url


def with_scheme_of(url, like):
    """url (http://...) with the scheme of like."""
    return like.split("://", 1)[0] + "://" + url.split("://", 1)[1]


def mode_targets(mag, name):
    """The URLs of issue "a" (http forms) that a mode redirects: for redirect-hops (10-hop, 11-hop) pictures."""
    a = mag.issues["a"]
    if name == "moved-article":
        return [a.articles[2].url]
    if name == "redirect-loop":
        return [a.articles[1].pictures[0]]
    if name == "redirect-hops":
        return [a.articles[1].pictures[2], a.articles[1].pictures[3]]
    if name == "redirect-other-scheme":
        return [a.articles[10].pictures[0]]
    raise ValueError("mode %s has no targets" % name)


def hop_url(url, hop):
    return "%s?hop=%d" % (url, hop)


class Redirects:
    """The redirects of the modes, and the addresses that redirected resources are served under."""

    def __init__(self, mag, modes):
        self.modes = set(modes)
        self.chains = {}  # http form -> (next address, status); the last one of a chain serves a resource
        self.aliases = {}  # http form of an address served -> the magazine's own address
        self.moved_prefixes = []  # (prefix served, the magazine's prefix)
        if "moved-host" in modes:
            self.moved_prefixes.append((CDN_HOST[1], CDN_HOST[0]))
        if "moved-article" in modes:
            (article,) = mode_targets(mag, "moved-article")
            assert article.startswith(MOVED_ARTICLE_DIR[0])
            self.chains[article] = (MOVED_ARTICLE_DIR[1] + article[len(MOVED_ARTICLE_DIR[0]):], 301)
            self.moved_prefixes.append((MOVED_ARTICLE_DIR[1], MOVED_ARTICLE_DIR[0]))
        if "redirect-loop" in modes:
            (picture,) = mode_targets(mag, "redirect-loop")
            self.chains[picture] = (hop_url(picture, 1), 302)
            self.chains[hop_url(picture, 1)] = (picture, 302)
        if "redirect-hops" in modes:
            for picture, hops in zip(mode_targets(mag, "redirect-hops"), REDIRECT_HOPS):
                chain = [picture] + [hop_url(picture, hop) for hop in range(1, hops + 1)]
                for number, (here, there) in enumerate(zip(chain, chain[1:])):
                    self.chains[here] = (there, (301, 302, 303, 307, 308)[number % 5])
                self.aliases[chain[-1]] = picture
        if "redirect-other-scheme" in modes:
            (picture,) = mode_targets(mag, "redirect-other-scheme")
            self.chains[picture] = ("ftp://" + picture[len("http://"):], 302)

    def redirect(self, url):
        """(status, Location) when url is redirected, else None."""
        if today.redirect(url) is not None:
            return today.redirect(url)
        if "https-only" in self.modes and url.startswith("http://"):
            return 301, "https://" + url[len("http://"):]
        plain = plain_form(url)
        if "moved-host" in self.modes and plain.startswith(CDN_HOST[0]):
            return 302, with_scheme_of(CDN_HOST[1] + plain[len(CDN_HOST[0]):], url)
        if plain in self.chains:
            there, status = self.chains[plain]
            return status, there if there.startswith("ftp:") else with_scheme_of(there, url)
        return None

    def resource_key(self, url):
        """The magazine's own (http) address of the resource that url serves."""
        plain = plain_form(url)
        plain = self.aliases.get(plain, plain)
        for served, own in self.moved_prefixes:
            if plain.startswith(served):
                return own + plain[len(served):]
        return plain


def served_in_utf8(mag, mode):
    """Serves every page of the magazine in UTF-8, told as mode says; the character that windows-1251 cannot
    hold comes as itself."""
    for url, resource in list(mag.resources.items()):
        # The magazine of today's pages are UTF-8 already.
        if not resource.content_type.startswith("text/html") or "utf-8" in resource.content_type:
            continue
        text = resource.body.decode("cp1251").replace(samples.BEYOND_CP1251, "\u2192")
        content_type = resource.content_type
        if mode == "utf8-bom":
            body = b"\xef\xbb\xbf" + text.encode("utf-8")
        elif mode == "utf8-header":
            body = text.encode("utf-8")
            content_type = "text/html; charset=utf-8"
        else:
            text, count = re.subn(r'charset=("?)windows-1251', r"charset=\1utf-8", text)
            assert count == 1, url
            body = text.encode("utf-8")
            content_type = "text/html"
        mag.resources[url] = samples.Resource(content_type, body)


def compressed(body, encoding):
    if encoding == "gzip":
        return gzip.compress(body, mtime=0)
    if encoding == "deflate":
        return zlib.compress(body)
    return brotli.compress(body)


def make_certificates(directory):
    """Makes, with openssl, a test CA and a certificate for every sample host signed by it: returns the paths
    (ca.pem, server.pem, server.key) in directory."""
    os.makedirs(directory, exist_ok=True)
    ca, ca_key = os.path.join(directory, "ca.pem"), os.path.join(directory, "ca.key")
    cert, key = os.path.join(directory, "server.pem"), os.path.join(directory, "server.key")
    request, extensions = os.path.join(directory, "server.csr"), os.path.join(directory, "server.ext")
    names = ",".join("DNS:%s,DNS:*.%s" % (host, host) for host in SAMPLE_HOSTS)
    with open(extensions, "w") as f:
        f.write("subjectAltName=%s,IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n" % names)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    for command in (
            ["openssl", "req", "-x509"] + ec + ["-keyout", ca_key, "-out", ca, "-days", "7",
                                                "-subj", "/CN=Sample Magazine Test CA",
                                                "-addext", "basicConstraints=critical,CA:TRUE",
                                                "-addext", "keyUsage=critical,keyCertSign,cRLSign"],
            ["openssl", "req"] + ec + ["-keyout", key, "-out", request, "-subj", "/CN=mag-a.test"],
            ["openssl", "x509", "-req", "-in", request, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial",
             "-out", cert, "-days", "7", "-extfile", extensions]):
        subprocess.run(command, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE)
    return ca, cert, key


class SampleHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "SampleMagazine/1.0"

    def setup(self):
        super().setup()
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.tunnel = False  # inside a CONNECT tunnel: requests are https
        self.answered = 0  # requests answered on this connection (or in this tunnel)

    def log_message(self, format, *args):  # the request log of --log replaces the console log
        pass

    def full_url(self):
        if self.path.startswith(("http://", "https://")):
            return self.path
        return "%s://%s%s" % ("https" if self.tunnel else "http", self.headers.get("Host", ""), self.path)

    def do_GET(self):
        self.answer(send_body=True)

    def do_HEAD(self):
        self.answer(send_body=False)

    def handle(self):
        # A client that speaks TLS to the proxy itself (wget2 does, for an https_proxy) has it at once.
        if self.server.tls is not None and self.connection.recv(1, socket.MSG_PEEK) == b"\x16":
            if not self.start_tls():
                return
        super().handle()

    def start_tls(self):
        """TLS on the connection from here on, its requests https; False when the handshake failed."""
        try:
            connection = self.server.tls.wrap_socket(self.connection, server_side=True)
        except (ssl.SSLError, OSError):  # a client that does not trust the certificate goes away here
            self.close_connection = True
            return False
        self.connection = connection
        self.rfile = connection.makefile("rb", self.rbufsize)
        self.wfile = socketserver._SocketWriter(connection)
        self.tunnel = True
        self.answered = 0
        return True

    def do_CONNECT(self):
        """Opens the tunnel of an https_proxy: 200, then TLS on the same connection, whose requests follow."""
        if self.server.tls is None:
            self.send_error(501, "CONNECT needs --tls-cert")
            return
        self.send_response(200, "Connection established")
        self.end_headers()
        self.wfile.flush()
        if self.start_tls():
            # The tunnel stays open for the requests inside it, also for a client that asked in HTTP/1.0
            # (Python's http.client, calibre's fetcher).
            self.close_connection = False

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

    def answer_fault(self, fault, url, resource, send_body, log):
        """Answers url the way fault says, and logs it (log(status, bytes sent)): a reply that ends by itself
        before it is sent, as a plain one; one that stalls, or runs to the limit of the client, once it is
        over; an endless picture as it begins (with 0 bytes)."""
        if fault == "stall-before-headers":
            self.stall(url)
            log(0, 0)
            return
        if fault in ("cut-compressed", "gzip-trailing", "unknown-encoding"):
            encoding, body = "x-unknown", resource.body
            if fault != "unknown-encoding":
                encoding, body = "gzip", compressed(body, "gzip")
            if fault == "gzip-trailing":
                body += b"<!-- trailing bytes after the gzip member -->"
            elif fault == "cut-compressed" and url not in self.server.cut:
                self.server.cut.add(url)
                body = body[:len(body) // 2]
            log(200, len(body) if send_body else 0)
            self.send_plain(200, [("Content-Type", resource.content_type), ("Content-Encoding", encoding)], body,
                            send_body)
            return
        content_type = resource.content_type
        if fault == "error-large-body":
            status, length, content_type = 500, LARGE_ERROR_BYTES, "text/html"
        elif fault in ("endless-body", "endless-picture"):
            status, length = 200, None
        elif fault == "html-at-picture":
            status, length, content_type = 200, len(NOT_FOUND), "text/html; charset=utf-8"
        elif fault == "empty-picture":
            status, length = 200, 0
        else:  # stall-mid-body, drip
            status, length = 200, len(resource.body)
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        if length is None:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(length))
        sent = 0
        if not send_body or fault in ("html-at-picture", "empty-picture", "drip", "endless-picture"):
            log(status, 0 if fault == "endless-picture" or not send_body else length)
            if not send_body:
                self.end_headers()
                return
            log = None
        self.end_headers()
        try:
            if fault == "stall-mid-body":
                sent = len(resource.body) // 2
                self.wfile.write(resource.body[:sent])
                self.stall(url)
            elif fault == "html-at-picture":
                self.wfile.write(NOT_FOUND)
                sent = len(NOT_FOUND)
            elif fault == "drip":
                step = -(-len(resource.body) // DRIP_PARTS)
                for start in range(0, len(resource.body), step):
                    if start:
                        time.sleep(DRIP_PAUSE)
                    self.wfile.write(resource.body[start:start + step])
                    self.wfile.flush()
                    sent = min(start + step, len(resource.body))
            elif length is None:
                while True:
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(CHUNK), CHUNK))
                    sent += len(CHUNK)
            else:
                while sent < length:
                    self.wfile.write(CHUNK[:length - sent])
                    sent += min(len(CHUNK), length - sent)
        except OSError:  # the client went away
            self.close_connection = True
        if log is not None:
            log(status, sent)

    def send_plain(self, status, headers, body, send_body):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if send_body:
            self.wfile.write(body)

    def drop(self):
        """Closes the connection without an answer."""
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def answer(self, send_body):
        started = time.monotonic()
        url = self.full_url()
        server = self.server
        magazine = server.magazine
        accepted = self.headers.get("Accept-Encoding", "-").replace(" ", "") or "-"

        def log(status, sent):
            server.log_request_line(time.monotonic() - started, status, sent, accepted, url)

        if "drop-keep-alive" in server.modes and self.answered > 0:
            log(0, 0)
            self.drop()
            return
        self.answered += 1
        if server.delay:  # a distant server: every reply comes that much later
            time.sleep(server.delay)
        redirect = server.redirects.redirect(url)
        if redirect is not None:
            status, location = redirect
            log(status, 0)
            self.send_plain(status, [("Location", location), ("Content-Type", "text/html")], b"", send_body)
            return
        key = server.redirects.resource_key(url)
        busy = server.take_busy(key)
        if busy is not None:
            body = b"<html><body>Busy, try again later.</body></html>\n"
            log(busy, len(body) if send_body else 0)
            self.send_plain(busy, [("Content-Type", "text/html"), ("Retry-After", "1")], body, send_body)
            return
        resource = magazine.resources.get(key)
        fault = getattr(magazine, "server_faults", {}).get(key)
        if fault is not None:
            self.answer_fault(fault, url, resource, send_body, log)
            return
        if resource is None:
            status, content_type, body = 404, "text/html", NOT_FOUND
        else:
            status, content_type, body = 200, resource.content_type, resource.body
        headers = [("Content-Type", content_type)]
        if status == 200 and server.compression:
            body = compressed(body, server.compression)
            headers.append(("Content-Encoding", server.compression))
        dropped = key in magazine.dropped
        sent = 0
        if send_body:
            sent = len(body) // 2 if dropped else len(body)
        # Logged before the reply: a client that has its reply may end at once, and whoever reads the log
        # then finds every request it made.
        log(status, sent)
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body[:sent])
        if dropped:
            # The reply promised the whole body; the connection goes before the rest of it.
            self.drop()


class SampleServer(ThreadingHTTPServer):
    daemon_threads = True
    # Clients that open many connections at once must not wait for a second SYN (the default backlog is 5).
    request_queue_size = 128

    def __init__(self, magazine, log_path, modes=(), tls=None):
        super().__init__(("127.0.0.1", 0), SampleHandler)
        self.magazine = magazine
        self.log_path = log_path
        self.log_lock = threading.Lock()
        self.modes = set(modes)
        self.redirects = Redirects(magazine, modes)
        self.compression = next((m for m in modes if m in ("gzip", "deflate", "br")), None)
        self.cut = set()  # cut-compressed: the addresses answered cut once
        self.tls = tls
        self.delay = 0  # seconds before every reply
        for mode in modes:
            if mode.startswith("utf8-"):
                served_in_utf8(magazine, mode)

    def take_busy(self, key):
        """The busy status (503 for a page, 429 for a picture) while key is still to be refused, else None."""
        with self.log_lock:
            busy = getattr(self.magazine, "busy", {})
            if busy.get(key, 0) == 0:
                return None
            busy[key] -= 1
        resource = self.magazine.resources.get(key)
        return 503 if resource is not None and resource.content_type.startswith("text/html") else 429

    def announce(self, line):
        with self.log_lock:
            print(line, flush=True)

    def log_request_line(self, seconds, status, sent, accepted, url):
        if not self.log_path:
            return
        with self.log_lock, open(self.log_path, "a", encoding="utf-8") as log:
            log.write("%.3f %d %d %s %s\n" % (seconds * 1000, status, sent, accepted, url))

    def handle_error(self, request, client_address):
        # A client that goes away in the middle of a reply is no error of the server's, nor one that does not
        # trust the certificate.
        if not isinstance(sys.exc_info()[1], (ConnectionError, BrokenPipeError, ssl.SSLError)):
            super().handle_error(request, client_address)


def main():
    parser = argparse.ArgumentParser(description="The sample magazine server (an HTTP proxy on 127.0.0.1).")
    parser.add_argument("--large", action="store_true", help="also serve the large issue")
    parser.add_argument("--fault", action="append", default=[],
                        choices=sorted(samples.FAULTS) + sorted(SERVER_FAULTS) + sorted(MODES))
    parser.add_argument("--tls-cert", help="the certificate for CONNECT tunnels (with --tls-key)")
    parser.add_argument("--tls-key", help="the key of --tls-cert")
    parser.add_argument("--make-certificates", metavar="DIR", help="make a test CA and certificate, then exit")
    parser.add_argument("--port-file", help="write the port number to this file")
    parser.add_argument("--log", help="append a line per request to this file")
    parser.add_argument("--lifetime", type=float, default=600, help="stop after this many seconds")
    parser.add_argument("--delay-ms", type=float, default=0, help="wait this long before every reply")
    args = parser.parse_args()
    if args.make_certificates:
        make_certificates(args.make_certificates)
        print(args.make_certificates)
        return
    if bool(args.tls_cert) != bool(args.tls_key):
        parser.error("--tls-cert and --tls-key go together")

    magazine = samples.build(large=args.large, faults=[f for f in args.fault if f in samples.FAULTS])
    today.build(magazine, large=args.large)
    for fault in args.fault:
        if fault in SERVER_FAULTS:
            apply_server_fault(magazine, fault)
    tls = None
    if args.tls_cert:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(args.tls_cert, args.tls_key)
    server = SampleServer(magazine, args.log, [f for f in args.fault if f in MODES], tls)
    server.delay = args.delay_ms / 1000

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
