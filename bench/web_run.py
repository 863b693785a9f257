#!/usr/bin/python3
"""The whole run on today's web: Skerrow copies the large sample issue (50 articles, 500 pictures) from nginx
over TLS with HTTP/2 (h2), over TLS with HTTP/1.1 only (h1) and over plain HTTP (http), the server waiting D ms
before each reply (the echo module's echo_sleep); in the same run the peers fetch the same issue: wget2 -i (its default and
16 threads) and curl -Z --parallel-max 16 handed the flat list of every address, and wget2 -r from the contents
page, which discovers the pages as Skerrow does. For each tool the best wall time of R runs is printed with the
best CPU time (user + system) and the largest peak memory (maximum resident set size) of the runs, and ratios against the fastest
peer handed the list and against wget2 -r.

Everything runs in a network namespace of its own (unshare: the benchmark re-starts itself in one), where the
magazine's host names are 127.0.0.1 by an /etc/hosts of its own and the server listens on ports 443 and 80: every
tool takes the same path, without a proxy. nginx serves the issue from files on tmpfs, in C: it is not what limits
a client (a server in Python spends some 0.2 ms of CPU on each request over HTTP/2, as much as the clients). The
test CA is made at run time with openssl; the saved trees go to tmpfs (/dev/shm), where removing the trees of
earlier runs does not slow the later ones.

Goals: over h2 at 30 ms Skerrow's default <= 0.8x the fastest peer handed the list, at 5 ms <= 0.9x; at 0 ms
(h2, h1 and http) Skerrow's CPU time <= wget2 -i's, its wall time <= wget2 -r's at the same connection count
(wget2 -r with 6 threads against Skerrow's default of 6 transfers; over h2 both use one connection), its peak
memory <= 32 MB. The exit status is 2 when a goal is missed.

The last row (floor) is the least that a copier starting from the contents page waits for: curl fetches the
contents page, an article and a picture one after another on one connection, and nothing else. At 30 ms it
is above 0.8x the fastest peer handed the list.

    bench/web_run.py [--skerrow build/release/Skerrow] [--delays 0,5,30] [--protocols h2,h1,http] [--runs 3]
                     [--tools skerrow,skerrow1,skerrow16,wget2,wget2-16,curl,wget2-r,wget2-r6,wget2-r16,floor]

Needs (Debian 12) what `scripts/setup-debian.sh --bench` installs, and util-linux (unshare).
"""

import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tools", "sample-magazine"))
import samples  # noqa: E402
import sample_server  # noqa: E402

INSIDE = "SKERROW_WEB_RUN_INSIDE"
HOSTS = ["mag-a.test", "mag-a-archive.test", "mag-b.test"]
CONTENTS_PATH = "mag-a.test/magazine/2008-12/"
PROTOCOLS = {  # name: (scheme, nginx's listen parameters)
    "h2": ("https", "ssl http2"),
    "h1": ("https", "ssl"),
    "http": ("http", ""),
}
ECHO_MODULE = "/usr/lib/nginx/modules/ngx_http_echo_module.so"
NGINX_CONF = """load_module %(echo)s;
daemon off;
master_process off;
worker_processes 1;
pid %(work)s/nginx.pid;
error_log %(work)s/nginx-error.log error;
events { worker_connections 4096; }
http {
  access_log off;
  include /etc/nginx/mime.types;
  client_body_temp_path %(work)s/nginx-tmp;
  proxy_temp_path %(work)s/nginx-tmp;
  fastcgi_temp_path %(work)s/nginx-tmp;
  uwsgi_temp_path %(work)s/nginx-tmp;
  scgi_temp_path %(work)s/nginx-tmp;
  keepalive_requests 100000;
  http2_max_concurrent_streams 100;
  server {
    listen 127.0.0.1:%(port)d %(listen)s;
    server_name %(hosts)s;
    ssl_certificate %(cert)s;
    ssl_certificate_key %(key)s;
    root %(root)s/$host;
    location / { %(delay)s }
    location @file { try_files $uri ${uri}index.html =404; }
  }
}
"""


def enter_namespace(argv):
    """Re-starts this script in a network and mount namespace of its own, unless it runs in one already."""
    if os.environ.get(INSIDE):
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        hosts = tempfile.NamedTemporaryFile("w", prefix="skerrow-hosts-", delete=False)
        hosts.write("127.0.0.1 localhost %s\n" % " ".join(HOSTS))
        hosts.close()
        subprocess.run(["mount", "--bind", hosts.name, "/etc/hosts"], check=True)
        return
    env = dict(os.environ, **{INSIDE: "1"})
    for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
        env.pop(name, None)
    # Root in a user namespace of its own where the caller is not root.
    unshare = ["unshare", "-nm"] if os.geteuid() == 0 else ["unshare", "-rnm"]
    os.execvpe(unshare[0], unshare + [sys.executable, os.path.abspath(__file__)] + argv, env)


class Server:
    """nginx for one protocol and delay, serving the tree of its scheme."""

    def __init__(self, work, certificates, protocol, delay_ms):
        _, cert, key = certificates
        scheme, listen = PROTOCOLS[protocol]
        port = 443 if scheme == "https" else 80
        os.makedirs(os.path.join(work, "nginx-tmp"), exist_ok=True)
        # echo_sleep holds the reply, then the file is served: a directory's address gives its index.html
        # without a second pass (and a second delay) through the location.
        delay = "echo_sleep %.3f; echo_exec @file;" % (delay_ms / 1000.0) if delay_ms > 0 else \
            "try_files $uri ${uri}index.html =404;"
        conf = os.path.join(work, "nginx.conf")
        with open(conf, "w") as f:
            f.write(NGINX_CONF % dict(echo=ECHO_MODULE, work=work, port=port, listen=listen, hosts=" ".join(HOSTS),
                                      cert=cert, key=key, root=os.path.join(work, "site-" + scheme), delay=delay))
        self.process = subprocess.Popen(["nginx", "-c", conf, "-p", work], stdin=subprocess.DEVNULL)
        for _ in range(500):
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return
            except OSError:
                if self.process.poll() is not None:
                    break
                time.sleep(0.01)
        raise RuntimeError("nginx did not start: see %s/nginx-error.log" % work)

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)


def run(args, env, save):
    """Runs args (SAVE stands for the save directory) once: (succeeded, wall s, CPU s, peak memory MB)."""
    # GNU time reports the peak memory: a child that this process started directly would report this
    # process's own, which its exec records.
    memory_file = save + ".memory"
    args = ["/usr/bin/time", "-f", "%M", "-o", memory_file] + [save if arg == "SAVE" else arg for arg in args]
    os.makedirs(save)
    start = time.monotonic()
    pid = os.posix_spawnp(args[0], args, env, file_actions=[
        (os.POSIX_SPAWN_OPEN, 0, "/dev/null", os.O_RDONLY, 0),
        (os.POSIX_SPAWN_OPEN, 1, os.path.join(save, "..", os.path.basename(save) + ".out"),
         os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644),
        (os.POSIX_SPAWN_DUP2, 1, 2)])
    _, status, usage = os.wait4(pid, 0)
    wall = time.monotonic() - start
    code = os.waitstatus_to_exitcode(status)
    with open(memory_file) as f:
        memory_kb = int(f.read().split()[-1])
    return code, wall, usage.ru_utime + usage.ru_stime, memory_kb / 1024.0


def count_files(directory):
    return sum(len(files) for _, _, files in os.walk(directory))


def tools(options, scheme, work, ca):
    """(key, name, args, extra environment, connections or None) of every tool asked for."""
    contents = "%s://%s" % (scheme, CONTENTS_PATH)
    flat = os.path.join(work, scheme + "-urls.txt")
    curl_config = os.path.join(work, scheme + "-curl.txt")
    tls = ["--ca-certificate=" + ca] if scheme == "https" else []
    curl_tls = ["--cacert", ca] if scheme == "https" else []
    wget2 = ["wget2", "-q", "--no-robots", "--tries=1"] + tls
    skerrow = [options.skerrow, contents, "SAVE"]
    # From the contents page to the articles (level 1) and their pictures (level 2), as Skerrow goes: the
    # issue's folder and the pictures' only, not the site's other sections.
    recursive = ["-r", "-l", "2", "--accept-regex", "/(magazine/2008-12/|upload/)", "-P", "SAVE", contents]
    # What every copier that starts from the contents page must wait for at the least: the contents page,
    # then an article, then a picture, one after another on one connection, and nothing else.
    with open(flat) as f:
        listed = f.read().split()
    article = listed[1]
    picture = next(url for url in listed if "/upload/" in url)
    in_a_row = ["curl", "-sS", "-f"] + curl_tls + [arg for url in (contents, article, picture)
                                                   for arg in ("-o", "/dev/null", url)]
    everything = [
        ("skerrow", "Skerrow default", skerrow, {}),
        ("skerrow1", "Skerrow CONNECTIONS=1", skerrow, {"SKERROW_CONNECTIONS": "1"}),
        ("skerrow16", "Skerrow STREAMS=16", skerrow, {"SKERROW_STREAMS": "16"}),
        ("wget2", "wget2 -i (default)", wget2 + ["-x", "-P", "SAVE", "-i", flat], {}),
        ("wget2-16", "wget2 -i --max-threads=16", wget2 + ["-x", "--max-threads=16", "-P", "SAVE", "-i", flat], {}),
        ("curl", "curl -Z --parallel-max 16", ["curl", "-sS", "-f", "-Z", "--parallel-max", "16"] + curl_tls +
         ["-K", curl_config], {}),
        ("wget2-r", "wget2 -r (default)", wget2 + recursive, {}),
        ("wget2-r6", "wget2 -r --max-threads=6", wget2 + recursive + ["--max-threads=6"], {}),
        ("wget2-r16", "wget2 -r --max-threads=16", wget2 + recursive + ["--max-threads=16"], {}),
        ("floor", "curl: 3 replies in a row", in_a_row, {}),
    ]
    return [tool for tool in everything if tool[0] in options.tools]


def write_sites(work, magazine):
    """Every resource of the magazine as a file under site-http/host/path (a directory's address as its
    index.html), and the same under site-https with the pages linking to https:// where they wrote http://."""
    for scheme in ("http", "https"):
        for url, resource in magazine.resources.items():
            parts = urllib.parse.urlsplit(url)
            path = parts.path + ("index.html" if parts.path.endswith("/") else "")
            body = resource.body
            if scheme == "https" and resource.content_type.startswith("text/html"):
                body = body.replace(b"http://mag-", b"https://mag-")
            target = os.path.join(work, "site-" + scheme, parts.hostname + path)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as f:
                f.write(body)


def write_lists(work, urls):
    """The flat list of every address for wget2 -i, and curl's config that saves each under host/path."""
    for scheme in ("http", "https"):
        with open(os.path.join(work, scheme + "-urls.txt"), "w") as flat, \
                open(os.path.join(work, scheme + "-curl.txt"), "w") as curl:
            for url in urls:
                url = scheme + url[len("http"):]
                flat.write(url + "\n")
                out = url.split("://", 1)[1]
                if out.endswith("/"):
                    out += "index.html"
                curl.write('url = "%s"\noutput = "SAVE/%s"\ncreate-dirs\n' % (url, out))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--skerrow", default=os.path.join(ROOT, "build", "release", "Skerrow"))
    parser.add_argument("--delays", default="0,5,30")
    parser.add_argument("--protocols", default="h2,h1,http")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--tools", default="skerrow,skerrow1,skerrow16,wget2,wget2-16,curl,wget2-r,wget2-r6,"
                                           "wget2-r16,floor")
    options = parser.parse_args()
    options.tools = options.tools.split(",")
    options.skerrow = os.path.abspath(options.skerrow)
    enter_namespace(sys.argv[1:])

    work = tempfile.mkdtemp(prefix="skerrow-web-run-", dir="/dev/shm")
    try:
        certificates = sample_server.make_certificates(os.path.join(work, "ca"))
        ca = certificates[0]
        magazine = samples.build(large=True)
        write_sites(work, magazine)
        urls = list(dict.fromkeys(magazine.issues["large"].fetch_order()))
        write_lists(work, urls)
        base_env = dict(os.environ, SSL_CERT_FILE=ca, LC_ALL="C.UTF-8")
        base_env.pop(INSIDE, None)
        print("%d addresses; wall and CPU: best of %d, CPU = user + system; mem: the largest peak resident set" % (
            len(urls), options.runs))
        all_met = True
        for protocol in options.protocols.split(","):
            scheme = PROTOCOLS[protocol][0]
            for delay in [int(d) for d in options.delays.split(",")]:
                server = Server(work, certificates, protocol, delay)
                try:
                    all_met &= compare(options, protocol, scheme, delay, work, ca, base_env)
                finally:
                    server.stop()
        return 0 if all_met else 2
    finally:
        shutil.rmtree(work, ignore_errors=True)


def compare(options, protocol, scheme, delay, work, ca, base_env):
    """Runs every tool for one protocol and delay and prints the table; returns whether the goals were met."""
    best = {}
    the_tools = tools(options, scheme, work, ca)
    # Round-robin, so that a passing load on the machine touches every tool alike.
    for attempt in range(options.runs):
        for key, name, args, extra in the_tools:
            save = os.path.join(work, "save-%s-%d" % (key, attempt))
            if key == "curl":
                config = os.path.join(work, "curl-%d.txt" % attempt)
                with open(args[-1]) as source, open(config, "w") as target:
                    target.write(source.read().replace('"SAVE/', '"%s/' % save))
                args = args[:-1] + [config]
            code, wall, cpu, memory = run(args, dict(base_env, **extra), save)
            files = count_files(save)
            if key.startswith("skerrow") and code != 0:
                print("  %s failed (exit %d): see %s.out" % (name, code, save))
            # The best wall and CPU times of the runs, the largest peak memory, the fewest files.
            if key in best:
                _, wall_before, cpu_before, memory_before, files_before, code_before = best[key]
                wall, cpu, memory = min(wall, wall_before), min(cpu, cpu_before), max(memory, memory_before)
                files, code = min(files, files_before), code or code_before
            best[key] = (name, wall, cpu, memory, files, code)
            shutil.rmtree(save, ignore_errors=True)
    print("\n%s, %d ms before each reply" % (protocol, delay))
    listed = [best[k][1] for k in ("wget2", "wget2-16", "curl") if k in best]
    fastest_listed = min(listed) if listed else None
    print("  %-28s %8s %8s %8s %6s %6s %s" % ("tool", "wall ms", "CPU ms", "mem MB", "files", "exit",
                                              "wall / fastest listed"))
    for key, _, _, _ in the_tools:
        name, wall, cpu, memory, files, code = best[key]
        ratio = "%.2f" % (wall / fastest_listed) if fastest_listed else "-"
        print("  %-28s %8.0f %8.0f %8.1f %6d %6d %s" % (name, wall * 1000, cpu * 1000, memory, files, code, ratio))
    met = True

    def goal(text, ok):
        nonlocal met
        met &= ok
        print("  goal %-60s %s" % (text, "met" if ok else "MISSED"))

    if "skerrow" in best:
        skerrow = best["skerrow"]
        if protocol == "h2" and delay in (5, 30) and fastest_listed:
            bound = 0.8 if delay == 30 else 0.9
            goal("Skerrow default <= %.1fx the fastest peer handed the list" % bound,
                 skerrow[1] <= bound * fastest_listed)
        if delay == 0:
            if "wget2" in best:
                goal("Skerrow CPU <= wget2 -i's", skerrow[2] <= best["wget2"][2])
            reference = "wget2-r" if protocol == "h2" else "wget2-r6"
            if reference in best:
                goal("Skerrow wall <= %s's" % best[reference][0], skerrow[1] <= best[reference][1])
            goal("Skerrow peak memory <= 32 MB", skerrow[3] <= 32)
    sys.stdout.flush()
    return met


if __name__ == "__main__":
    sys.exit(main())
