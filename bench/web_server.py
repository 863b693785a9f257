#!/usr/bin/python3
"""The sample magazine (tools/sample-magazine, with the large issue) served from memory as today's web serves
it: over TLS with HTTP/2 offered by ALPN (or HTTP/1.1 only), and over plain HTTP/1.1, every reply held
--delay-ms first as a near server on a real network would. One asyncio loop in C-backed TLS: the server is not
what limits a client at a few hundred requests.

It listens on --address, ports 443 (https) and 80 (http) unless told otherwise, so a client reaches it by the
magazine's host names where they resolve to that address (a network namespace of its own with an /etc/hosts,
as web_run.py makes). With --proxy it listens instead on a free port of 127.0.0.1 as the clients' proxy:
plain requests for http:// addresses, and CONNECT tunnels in which it speaks TLS as the host named. It prints
"READY <port>" once listening and serves until its standard input ends.

    web_server.py --cert server.pem --key server.key [--delay-ms D] [--http1-only] [--https-links]
                  [--address 127.0.0.1] [--https-port 443] [--http-port 80] [--proxy]

--https-links: the pages link to https:// where the magazine writes http://, so that a whole copy stays on
TLS. Needs Debian's python3-h2.
"""

import argparse
import asyncio
import os
import resource
import ssl
import sys
import urllib.parse

import h2.config
import h2.connection
import h2.events
import h2.exceptions
import h2.settings

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "sample-magazine"))
import samples  # noqa: E402

# What servers commonly allow at once on one connection.
MAX_STREAMS = 100
NOT_FOUND = ("text/plain", b"not found\n", 404)


class Site:
    """Every resource by (host, path), and the delay before each reply; what was served, for --stats."""

    def __init__(self, https_links, delay_ms):
        self.delay = delay_ms / 1000.0
        self.connections = 0
        self.requests = 0
        self.waiting = 0  # requests received and not yet replied to
        self.most_waiting = 0
        self.resources = {}
        for url, resource in samples.build(large=True).resources.items():
            parts = urllib.parse.urlsplit(url)
            body = resource.body
            if https_links and resource.content_type.startswith("text/html"):
                body = body.replace(b"http://mag-", b"https://mag-")
            self.resources[(parts.hostname, parts.path + ("?" + parts.query if parts.query else ""))] = (
                resource.content_type, body, 200)

    def lookup(self, host, path):
        self.waiting -= 1
        host = (host or "").split(":")[0].lower()
        return self.resources.get((host, path), NOT_FOUND)

    def later(self, callback, *args):
        self.requests += 1
        self.waiting += 1
        self.most_waiting = max(self.most_waiting, self.waiting)
        loop = asyncio.get_running_loop()
        if self.delay > 0:
            loop.call_later(self.delay, callback, *args)
        else:
            loop.call_soon(callback, *args)


class Connection(asyncio.Protocol):
    """One client connection: HTTP/2 when ALPN chose it, HTTP/1.1 (keep-alive) otherwise."""

    def __init__(self, site, tls=None):
        self.site = site
        self.tls = tls  # the context for a CONNECT tunnel's TLS; None: no tunnels
        self.transport = None
        self.h2 = None
        self.buffer = b""
        self.outgoing = {}  # HTTP/2: stream id -> body bytes not yet sent
        self.closed = False
        self.flush_due = False

    def connection_made(self, transport):
        self.transport = transport
        self.site.connections += transport.get_extra_info("ssl_object") is None or self.tls is None
        self.h2 = None
        self.buffer = b""
        tls = transport.get_extra_info("ssl_object")
        if tls is not None and tls.selected_alpn_protocol() == "h2":
            # Without the checks of every header that h2 makes by default: they cost more than the rest.
            self.h2 = h2.connection.H2Connection(h2.config.H2Configuration(
                client_side=False, header_encoding=None, validate_outbound_headers=False,
                normalize_outbound_headers=False, validate_inbound_headers=False,
                normalize_inbound_headers=False))
            self.h2.local_settings = h2.settings.Settings(
                client=False, initial_values={h2.settings.SettingCodes.MAX_CONCURRENT_STREAMS: MAX_STREAMS})
            self.h2.initiate_connection()
            self.transport.write(self.h2.data_to_send())

    def connection_lost(self, exc):
        self.closed = True

    def data_received(self, data):
        if self.h2 is None:
            self.buffer += data
            self.http1_requests()
            return
        try:
            events = self.h2.receive_data(data)
        except h2.exceptions.ProtocolError:
            self.transport.write(self.h2.data_to_send())
            self.transport.close()
            return
        for event in events:
            if isinstance(event, h2.events.RequestReceived):
                headers = dict(event.headers)
                self.site.later(self.h2_reply, event.stream_id, headers.get(b":authority", b"").decode("latin-1"),
                                headers.get(b":path", b"").decode("latin-1"))
            elif isinstance(event, h2.events.WindowUpdated):
                for stream_id in list(self.outgoing):
                    self.h2_send(stream_id)
            elif isinstance(event, h2.events.StreamReset):
                self.outgoing.pop(event.stream_id, None)
            elif isinstance(event, h2.events.ConnectionTerminated):
                self.transport.close()
        self.transport.write(self.h2.data_to_send())

    # ---- HTTP/2 ----

    def h2_reply(self, stream_id, host, path):
        if self.closed:
            return
        content_type, body, status = self.site.lookup(host, path)
        try:
            self.h2.send_headers(stream_id, [(b":status", b"%d" % status), (b"content-type", content_type.encode()),
                                             (b"content-length", b"%d" % len(body))])
        except h2.exceptions.StreamClosedError:
            return
        self.outgoing[stream_id] = body
        self.h2_send(stream_id)
        # The replies due at once go out in one write.
        if not self.flush_due:
            self.flush_due = True
            asyncio.get_running_loop().call_soon(self.h2_flush)

    def h2_flush(self):
        self.flush_due = False
        if not self.closed:
            self.transport.write(self.h2.data_to_send())

    def h2_send(self, stream_id):
        body = self.outgoing[stream_id]
        try:
            while body:
                size = min(self.h2.local_flow_control_window(stream_id), self.h2.max_outbound_frame_size,
                           len(body))
                if size <= 0:
                    self.outgoing[stream_id] = body
                    return
                self.h2.send_data(stream_id, body[:size])
                body = body[size:]
            self.h2.end_stream(stream_id)
        except h2.exceptions.StreamClosedError:
            pass
        del self.outgoing[stream_id]

    # ---- HTTP/1.1 ----

    def http1_requests(self):
        while b"\r\n\r\n" in self.buffer:
            head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
            lines = head.decode("latin-1").split("\r\n")
            words = lines[0].split(" ")
            target = words[1] if len(words) > 1 else "/"
            headers = {}
            for line in lines[1:]:
                name, _, value = line.partition(":")
                headers[name.strip().lower()] = value.strip()
            if words[0] == "CONNECT" and self.tls is not None:
                # The tunnel's far end is this server: TLS starts at once, as the host named.
                self.transport.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
                self.transport.pause_reading()
                asyncio.get_running_loop().create_task(self.tunnel())
                return
            host = headers.get("host")
            if target.startswith("http://"):  # a proxy's request
                parts = urllib.parse.urlsplit(target)
                host, target = parts.netloc, parts.path + ("?" + parts.query if parts.query else "")
            close = headers.get("connection", "").lower() == "close"
            self.site.later(self.http1_reply, host, target, close)

    async def tunnel(self):
        loop = asyncio.get_running_loop()
        try:
            transport = await loop.start_tls(self.transport, self, self.tls, server_side=True)
        except (OSError, ssl.SSLError, ConnectionError):
            self.transport.close()
            return
        self.tls = None
        self.connection_made(transport)

    def http1_reply(self, host, target, close):
        if self.closed:
            return
        content_type, body, status = self.site.lookup(host, target)
        reason = "OK" if status == 200 else "Not Found"
        self.transport.write(("HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %d\r\n%s\r\n" % (
            status, reason, content_type, len(body), "Connection: close\r\n" if close else "")).encode("latin-1"))
        self.transport.write(body)
        if close:
            self.transport.close()


async def serve(args):
    site = Site(args.https_links, args.delay_ms)
    tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls.load_cert_chain(args.cert, args.key)
    tls.set_alpn_protocols(["http/1.1"] if args.http1_only else ["h2", "http/1.1"])
    loop = asyncio.get_running_loop()
    if args.proxy:
        servers = [await loop.create_server(lambda: Connection(site, tls), "127.0.0.1", 0, backlog=512)]
    else:
        servers = [await loop.create_server(lambda: Connection(site), args.address, args.https_port, ssl=tls,
                                            backlog=512)]
        if args.http_port:
            servers.append(await loop.create_server(lambda: Connection(site), args.address, args.http_port,
                                                    backlog=512))
    ready = resource.getrusage(resource.RUSAGE_SELF)
    print("READY %d" % servers[0].sockets[0].getsockname()[1], flush=True)
    # Until standard input ends.
    await loop.run_in_executor(None, sys.stdin.read)
    for server in servers:
        server.close()
    if args.stats:
        usage = resource.getrusage(resource.RUSAGE_SELF)
        print("%d connections, %d requests, at most %d waiting at once; %.0f ms CPU" % (
            site.connections, site.requests, site.most_waiting, 1000 * (usage.ru_utime + usage.ru_stime - ready.ru_utime - ready.ru_stime)),
              file=sys.stderr)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--delay-ms", type=float, default=0)
    parser.add_argument("--http1-only", action="store_true", help="offer only HTTP/1.1 over TLS")
    parser.add_argument("--https-links", action="store_true", help="pages link to https:// addresses")
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--https-port", type=int, default=443)
    parser.add_argument("--http-port", type=int, default=80, help="0: no plain HTTP")
    parser.add_argument("--proxy", action="store_true", help="be the clients' proxy on a free port instead")
    parser.add_argument("--stats", action="store_true", help="tell on standard error, at the end, what was served")
    asyncio.run(serve(parser.parse_args()))


if __name__ == "__main__":
    main()
