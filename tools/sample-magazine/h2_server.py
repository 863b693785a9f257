#!/usr/bin/python3
"""The sample magazine (samples.py, with the large issue) as a server that speaks HTTP/2: a proxy on a free port
of 127.0.0.1 that answers plain requests for http:// addresses itself, and in a CONNECT tunnel speaks TLS as the
host named, with HTTP/2 offered by ALPN (or HTTP/1.1 only, --http1-only). Every reply waits --delay-ms first. It
prints "PORT <port>" once it accepts connections and serves until it is ended. One asyncio loop; the TLS is
OpenSSL's. The sample server (sample_server.py) speaks HTTP/1.1 only.

    h2_server.py --cert server.pem --key server.key [--delay-ms D] [--http1-only | --http2-only]
                 [--https-links] [--log PATH] [--goaway-after N] [--reset-mid-body]

--https-links: the pages link to https:// where the magazine writes http://, so that a whole copy stays on
TLS. --http2-only: a TLS connection on which the client did not choose HTTP/2 is closed at once. --log: a line per
reply as sample_server.py writes it (with 0 for the milliseconds). Needs Debian's python3-h2 (run it with
/usr/bin/python3).

Faults of HTTP/2 servers: --goaway-after N ends every HTTP/2 connection as nginx's keepalive_requests does: at its
N-th request it sends GOAWAY naming that request's stream as the last it serves, answers the streams up to it,
leaves the later ones unanswered (they were never processed: a client sends them again) and closes the connection
once the answers are out. --reset-mid-body resets (RST_STREAM) the first HTTP/2 reply to each address after half
its body; the next request for it is answered whole.
"""

import argparse
import asyncio
import os
import ssl
import struct
import sys
import urllib.parse

import h2.config
import h2.connection
import h2.events
import h2.exceptions
import h2.settings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import samples  # noqa: E402

# What servers commonly allow at once on one connection.
MAX_STREAMS = 100
NOT_FOUND = ("text/plain", b"not found\n", 404)


class Site:
    """Every resource by (host, path), and the delay before each reply."""

    def __init__(self, https_links, delay_ms, log):
        self.delay = delay_ms / 1000.0
        self.log = log
        self.require_h2 = False
        self.goaway_after = 0  # --goaway-after; 0: never
        self.reset_mid_body = False
        self.reset = set()  # the (host, path) whose reply has been reset once
        self.resources = {}
        for url, resource in samples.build(large=True).resources.items():
            parts = urllib.parse.urlsplit(url)
            body = resource.body
            if https_links and resource.content_type.startswith("text/html"):
                body = body.replace(b"http://mag-", b"https://mag-")
            self.resources[(parts.hostname, parts.path + ("?" + parts.query if parts.query else ""))] = (
                resource.content_type, body, 200)

    def lookup(self, host, path, accepted, scheme):
        host = (host or "").split(":")[0].lower()
        content_type, body, status = self.resources.get((host, path), NOT_FOUND)
        if self.log:
            with open(self.log, "a", encoding="utf-8") as log:
                log.write("0 %d %d %s %s://%s%s\n" % (status, len(body), (accepted or "-").replace(" ", ""), scheme,
                                                       host, path))
        return content_type, body, status

    def later(self, callback, *args):
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
        self.resetting = set()  # HTTP/2: the streams reset once what is outgoing of them is sent
        self.closed = False
        self.flush_due = False
        self.early = None
        self.requests = 0  # HTTP/2 requests received on this connection
        self.last_stream = None  # once GOAWAY is sent: the last stream served
        self.unanswered = 0  # HTTP/2 requests served and not yet answered in whole

    def connection_made(self, transport):
        self.transport = transport
        self.h2 = None
        self.buffer = b""
        tls = transport.get_extra_info("ssl_object")
        if tls is not None and self.site.require_h2 and tls.selected_alpn_protocol() != "h2":
            transport.close()
            return
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
        if self.early is not None:  # TLS has started in a tunnel, and the protocol is not yet known
            self.early += data
            return
        if self.h2 is None:
            self.buffer += data
            self.http1_requests()
            return
        try:
            events = self.h2.receive_data(data)
        except h2.exceptions.ProtocolError as error:
            print("h2_server.py: %s" % error, file=sys.stderr)
            self.transport.write(self.h2.data_to_send())
            self.transport.close()
            return
        for event in events:
            if isinstance(event, h2.events.RequestReceived):
                if self.last_stream is not None:
                    continue  # after GOAWAY: never processed
                self.requests += 1
                self.unanswered += 1
                if self.requests == self.site.goaway_after:
                    self.goaway(event.stream_id)
                headers = dict(event.headers)
                self.site.later(self.h2_reply, event.stream_id, headers.get(b":authority", b"").decode("latin-1"),
                                headers.get(b":path", b"").decode("latin-1"),
                                headers.get(b"accept-encoding", b"").decode("latin-1"))
            elif isinstance(event, h2.events.WindowUpdated):
                for stream_id in list(self.outgoing):
                    self.h2_send(stream_id)
            elif isinstance(event, h2.events.StreamReset):
                if self.outgoing.pop(event.stream_id, None) is not None:
                    self.answered()
            elif isinstance(event, h2.events.ConnectionTerminated):
                self.transport.close()
        self.transport.write(self.h2.data_to_send())

    # ---- HTTP/2 ----

    def goaway(self, last_stream):
        """GOAWAY naming last_stream, written past the h2 state machine, which would refuse to send anything
        after it: the streams up to last_stream are still answered."""
        self.last_stream = last_stream
        self.transport.write(self.h2.data_to_send())
        self.transport.write(struct.pack(">I", 8)[1:] + b"\x07\x00" + struct.pack(">II", 0, last_stream) +
                             struct.pack(">I", 0))

    def answered(self):
        """One reply has gone out in whole (or its stream ended otherwise)."""
        self.unanswered -= 1
        if self.last_stream is not None and self.unanswered == 0 and not self.closed:
            self.transport.write(self.h2.data_to_send())
            self.transport.close()

    def h2_reply(self, stream_id, host, path, accepted):
        if self.closed:
            return
        content_type, body, status = self.site.lookup(host, path, accepted, "https")
        reset = self.site.reset_mid_body and (host, path) not in self.site.reset and len(body) > 1
        if reset:
            self.site.reset.add((host, path))
        try:
            self.h2.send_headers(stream_id, [(b":status", b"%d" % status), (b"content-type", content_type.encode()),
                                             (b"content-length", b"%d" % len(body))])
        except h2.exceptions.StreamClosedError:
            self.answered()
            return
        self.outgoing[stream_id] = body[:len(body) // 2] if reset else body
        self.h2_send(stream_id, reset)
        # The replies due at once go out in one write.
        if not self.flush_due:
            self.flush_due = True
            asyncio.get_running_loop().call_soon(self.h2_flush)

    def h2_flush(self):
        self.flush_due = False
        if not self.closed:
            self.transport.write(self.h2.data_to_send())

    def h2_send(self, stream_id, reset=False):
        body = self.outgoing[stream_id]
        try:
            while body:
                size = min(self.h2.local_flow_control_window(stream_id), self.h2.max_outbound_frame_size,
                           len(body))
                if size <= 0:
                    self.outgoing[stream_id] = body
                    if reset:
                        self.resetting.add(stream_id)
                    return
                self.h2.send_data(stream_id, body[:size])
                body = body[size:]
            if reset or stream_id in self.resetting:
                self.resetting.discard(stream_id)
                self.h2.reset_stream(stream_id, error_code=2)  # INTERNAL_ERROR
            else:
                self.h2.end_stream(stream_id)
        except h2.exceptions.StreamClosedError:
            pass
        del self.outgoing[stream_id]
        self.answered()

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
            scheme = "https" if self.transport.get_extra_info("ssl_object") is not None else "http"
            self.site.later(self.http1_reply, host, target, close, headers.get("accept-encoding"), scheme)

    async def tunnel(self):
        loop = asyncio.get_running_loop()
        # What comes once the handshake is done may reach data_received before start_tls returns.
        self.early = b""
        try:
            transport = await loop.start_tls(self.transport, self, self.tls, server_side=True)
        except (OSError, ssl.SSLError, ConnectionError):
            self.transport.close()
            return
        self.tls = None
        self.connection_made(transport)
        early, self.early = self.early, None
        if early and not self.closed:
            self.data_received(early)

    def http1_reply(self, host, target, close, accepted, scheme):
        if self.closed:
            return
        content_type, body, status = self.site.lookup(host, target, accepted, scheme)
        reason = "OK" if status == 200 else "Not Found"
        self.transport.write(("HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %d\r\n%s\r\n" % (
            status, reason, content_type, len(body), "Connection: close\r\n" if close else "")).encode("latin-1"))
        self.transport.write(body)
        if close:
            self.transport.close()


async def serve(args):
    site = Site(args.https_links, args.delay_ms, args.log)
    site.require_h2 = args.http2_only
    site.goaway_after = args.goaway_after
    site.reset_mid_body = args.reset_mid_body
    tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls.load_cert_chain(args.cert, args.key)
    tls.set_alpn_protocols(["http/1.1"] if args.http1_only else ["h2"] if args.http2_only else ["h2", "http/1.1"])
    loop = asyncio.get_running_loop()
    server = await loop.create_server(lambda: Connection(site, tls), "127.0.0.1", 0, backlog=512)
    print("PORT %d" % server.sockets[0].getsockname()[1], flush=True)
    await server.serve_forever()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--delay-ms", type=float, default=0)
    parser.add_argument("--http1-only", action="store_true", help="offer only HTTP/1.1 over TLS")
    parser.add_argument("--http2-only", action="store_true", help="close a TLS connection without HTTP/2")
    parser.add_argument("--log", help="append a line per reply to this file")
    parser.add_argument("--https-links", action="store_true", help="pages link to https:// addresses")
    parser.add_argument("--goaway-after", type=int, default=0, help="end each HTTP/2 connection after N requests")
    parser.add_argument("--reset-mid-body", action="store_true", help="reset the first reply to each address")
    asyncio.run(serve(parser.parse_args()))


if __name__ == "__main__":
    main()
