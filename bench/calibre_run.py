#!/usr/bin/env python3
"""Skerrow against calibre on a described magazine: the sample magazine of today (tools/sample-magazine/
today.py, https through the sample server's CONNECT tunnels) made into a book both ways, side by side in
one run, with the server answering at once and 30 ms after each request:

  calibre   ebook-convert bench/today.recipe today.epub   (the recipe keeps and removes what the
            description does, joins a long article's pages, takes the same picture of every <img>)
  Skerrow   Skerrow --epub --magazine magazines/today.toml URL SAVE-PATH

For each: wall time, CPU time (user + system of the process and its children) and peak memory (the
largest resident set of the process tree, from GNU time) as the median of --runs runs; epubcheck's messages
on each book; and a table of what each book holds: articles, later pages of long articles joined, pictures
(the cover apart), sections in its table of contents, cover, and texts of removed elements. Goals: Skerrow
at least 25x faster in wall time with no delay, at most a tenth of calibre's peak memory, both books
holding the same articles and pictures, Skerrow's with no epubcheck message: each printed as a PASS or
FAIL line with its figures, after the machine's load average at the start and at the end of the run.

    bench/calibre_run.py [--skerrow build/release/Skerrow] [--runs 3] [--delays 0,30] [--issues small,large]
                         [--work-dir DIR]

Both peers write below --work-dir (default: the system's temporary directory), their temporaries too.
Where that is an ext4 file system without a journal, every new file looks past the files deleted in the
last minute (calibre deletes its temporaries after each run), which can double Skerrow's time on the
large issue: a directory on tmpfs (/dev/shm) measures the programs alone.

The small issue is the sample's (6 articles, 20 pictures); the large one (the sample server's --large: 48
articles in 8 sections, 160 pictures of 5-50 KB) is the size at which the goals were set against calibre.

Needs calibre (ebook-convert), epubcheck and java (scripts/setup-debian.sh --bench installs them) and
openssl for the test CA.
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLE_DIR = os.path.join(ROOT, "tools", "sample-magazine")
sys.path.insert(0, SAMPLE_DIR)

import sample_server  # noqa: E402
import samples  # noqa: E402
import today  # noqa: E402

EPUBCHECK = ["java", "-jar", "/usr/share/java/epubcheck.jar"]
GOAL_SPEED = 25
GOAL_MEMORY = 10


class Server:
    """The sample server with TLS and a delay before every reply, for a with-block."""

    def __init__(self, certificates, delay_ms):
        self.args = [sys.executable, os.path.join(SAMPLE_DIR, "sample_server.py"), "--large", "--tls-cert",
                     certificates[1], "--tls-key", certificates[2], "--delay-ms", str(delay_ms),
                     "--lifetime", "1200"]

    def __enter__(self):
        self.process = subprocess.Popen(self.args, stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        if not line.startswith("PORT "):
            raise RuntimeError("the sample server did not start: %r" % line)
        self.proxy = "http://127.0.0.1:%s" % line.split()[1]
        return self

    def __exit__(self, *exc):
        self.process.terminate()
        self.process.wait()


def measured(command, env, cwd):
    """Runs command under GNU time (a small parent, so that the peak is the command's own and not that of
    this Python process it was forked from); (wall seconds, CPU seconds, peak resident MB of the process
    tree, exit status, output)."""
    with tempfile.TemporaryFile() as output, tempfile.NamedTemporaryFile("r") as usage:
        start = time.monotonic()
        completed = subprocess.run(["/usr/bin/time", "-f", "%U %S %M", "-o", usage.name] + command, env=env,
                                   cwd=cwd, stdout=output, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        wall = time.monotonic() - start
        output.seek(0)
        text = output.read().decode("utf-8", "replace")
        user, system, peak = usage.read().split()[-3:]
    return wall, float(user) + float(system), int(peak) / 1024, completed.returncode, text


def epubcheck_messages(book):
    completed = subprocess.run(EPUBCHECK + [book], capture_output=True, text=True)
    output = completed.stdout + completed.stderr
    messages = [line for line in output.splitlines() if re.match(r"(FATAL|ERROR|WARNING|INFO|USAGE)", line)]
    counts = re.search(r"Messages: .*", output)
    return messages, counts.group(0) if counts else output.strip()[-200:]


def book_facts(path, issue):
    """What a book holds, read from its files: articles, joined pages, pictures, sections, cover, removed."""
    with zipfile.ZipFile(path) as archive:
        names = archive.namelist()
        texts = {n: archive.read(n).decode("utf-8", "replace") for n in names
                 if n.endswith((".html", ".xhtml", ".opf", ".ncx"))}
    pages = {n: t for n, t in texts.items() if n.endswith((".html", ".xhtml"))}
    first_marks = {a.marks[0] for a in issue.articles}
    later_marks = [m for a in issue.articles for m in a.marks[1:]]
    articles = sum(1 for a in issue.articles if any(a.marks[0] in t for t in pages.values()))
    joined = sum(1 for m in later_marks
                 if any(m in t and any(f in t for f in first_marks) for t in pages.values()))
    opf = next(t for n, t in texts.items() if n.endswith(".opf"))
    pictures = [n for n in names if re.search(r"\.(jpe?g|png|gif)$", n, re.I)]
    cover = re.search(r'<meta name="cover" content="([^"]+)"', opf)
    cover_href = None
    if cover:
        item = re.search(r'<item[^>]*id="%s"[^>]*href="([^"]+)"|<item[^>]*href="([^"]+)"[^>]*id="%s"'
                         % (re.escape(cover.group(1)), re.escape(cover.group(1))), opf)
        if item:
            cover_href = item.group(1) or item.group(2)
    # calibre adds its own masthead; neither it nor the cover counts as the magazine's picture.
    article_pictures = [n for n in pictures if not n.endswith(cover_href or "\0") and "masthead" not in n]
    ncx = next((t for n, t in texts.items() if n.endswith(".ncx")), None)
    nav = next((t for n, t in texts.items() if n.endswith("nav.xhtml")), None)
    sections = 0
    for section in issue.sections:
        if nav is not None and re.search(r"<li><a [^>]*>%s</a>\s*<ol>" % re.escape(section), nav):
            sections += 1
        elif ncx is not None and re.search(r"<text>%s</text>" % re.escape(section), ncx):
            sections += 1
    removed = sum(t.count(mark) for t in pages.values() for mark in today.REMOVED_MARKS)
    return {"articles": articles, "pages joined": joined, "pictures": len(article_pictures),
            "TOC sections": sections, "cover": "yes" if cover_href else "no", "removed texts": removed}


def run_peers(args, certificates, delay, work, large):
    issue = today.build(samples.Magazine(), large=large)
    base_env = {k: v for k, v in os.environ.items() if k.lower() not in ("http_proxy", "https_proxy", "no_proxy")}
    results = {}
    os.makedirs(os.path.join(work, "tmp"), exist_ok=True)
    with Server(certificates, delay) as server:
        env = dict(base_env, http_proxy=server.proxy, https_proxy=server.proxy, no_proxy="",
                   SSL_CERT_FILE=certificates[0], XDG_CONFIG_HOME=os.path.join(work, "config"),
                   HOME=os.path.join(work, "home"), QT_QPA_PLATFORM="offscreen",
                   CALIBRE_CONFIG_DIRECTORY=os.path.join(work, "calibre-config"), LC_ALL="C.UTF-8",
                   TMPDIR=os.path.join(work, "tmp"),
                   TODAY_INDEX=issue.contents_url)
        for peer in ("calibre", "Skerrow"):
            runs = []
            for run in range(args.runs):
                out = os.path.join(work, "%s-%s-%d-%d" % (peer, issue.issue_name, delay, run))
                os.makedirs(out)
                if peer == "calibre":
                    book = os.path.join(out, "today.epub")
                    command = ["ebook-convert", os.path.join(ROOT, "bench", "today.recipe"), book]
                else:
                    book = os.path.join(out, issue.issue_name + ".epub")
                    command = [args.skerrow, "--epub", "--magazine", os.path.join(ROOT, "magazines", "today.toml"),
                               issue.contents_url, out]
                wall, cpu, peak, status, output = measured(command, env, out)
                if status != 0 or not os.path.exists(book):
                    raise RuntimeError("%s failed (%d):\n%s" % (peer, status, output[-3000:]))
                runs.append((wall, cpu, peak, book))
            results[peer] = {
                "wall": statistics.median(r[0] for r in runs),
                "cpu": statistics.median(r[1] for r in runs),
                "peak": max(r[2] for r in runs),
                "book": runs[0][3],
            }
    for peer in results.values():
        peer["facts"] = book_facts(peer["book"], issue)
        peer["epubcheck"] = epubcheck_messages(peer["book"])
    return results


def load_average():
    """The system's load average over 1, 5 and 15 minutes, as uptime prints it."""
    return "%.2f %.2f %.2f" % os.getloadavg()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--skerrow", default=os.path.join(ROOT, "build", "release", "Skerrow"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--delays", default="0,30", help="milliseconds before every reply, comma-separated")
    parser.add_argument("--issues", default="small,large", help="small, large or both, comma-separated")
    parser.add_argument("--work-dir", default=None, help="where both peers write (default: the system's "
                        "temporary directory)")
    args = parser.parse_args()
    for tool in ("ebook-convert", "java", "openssl", "/usr/bin/time"):
        if shutil.which(tool) is None:
            sys.exit("calibre_run.py: %s is missing (scripts/setup-debian.sh --bench)" % tool)
    # Other work on the machine slows either peer: the load is printed with the goals.
    load_at_start = load_average()
    work = tempfile.mkdtemp(prefix="skerrow-calibre-", dir=args.work_dir)
    try:
        certificates = sample_server.make_certificates(os.path.join(work, "ca"))
        goals = []
        rows = [(size, float(d)) for size in args.issues.split(",") for d in args.delays.split(",")]
        for size, delay in rows:
            results = run_peers(args, certificates, delay, work, size == "large")
            calibre, skerrow = results["calibre"], results["Skerrow"]
            print("\n%s issue, server answering %s (median of %d runs)"
                  % (size.capitalize(), "at once" if delay == 0 else "after %g ms" % delay, args.runs))
            print("%-8s %10s %10s %10s" % ("", "wall s", "CPU s", "peak MB"))
            for name, peer in results.items():
                print("%-8s %10.3f %10.3f %10.1f" % (name, peer["wall"], peer["cpu"], peer["peak"]))
            speed = calibre["wall"] / skerrow["wall"]
            memory = calibre["peak"] / skerrow["peak"]
            print("calibre / Skerrow: wall %.1fx, CPU %.1fx, peak memory %.1fx"
                  % (speed, calibre["cpu"] / skerrow["cpu"], memory))
            print("\n%-16s %10s %10s" % ("the book holds", "calibre", "Skerrow"))
            for key in calibre["facts"]:
                print("%-16s %10s %10s" % (key, calibre["facts"][key], skerrow["facts"][key]))
            for name, peer in results.items():
                messages, counts = peer["epubcheck"]
                print("\nepubcheck on %s's book: %s" % (name, counts))
                for line in messages:
                    print("  " + line[:220])
            if delay == 0:
                held = lambda peer: ", ".join("%d %s" % (peer["facts"][k], k) for k in ("articles", "pictures"))
                same = all(calibre["facts"][k] == skerrow["facts"][k] for k in ("articles", "pictures"))
                messages = len(skerrow["epubcheck"][0])
                goals += [("%s: wall time at least %dx calibre's" % (size, GOAL_SPEED), speed >= GOAL_SPEED,
                           "%.1fx (calibre %.3f s, Skerrow %.3f s)" % (speed, calibre["wall"], skerrow["wall"])),
                          ("%s: peak memory at most 1/%d of calibre's" % (size, GOAL_MEMORY), memory >= GOAL_MEMORY,
                           "%.1fx (calibre %.1f MB, Skerrow %.1f MB; Skerrow at most %.1f MB)"
                           % (memory, calibre["peak"], skerrow["peak"], calibre["peak"] / GOAL_MEMORY)),
                          ("%s: same articles and pictures" % size, same,
                           "calibre %s; Skerrow %s" % (held(calibre), held(skerrow))),
                          ("%s: no epubcheck message on Skerrow's book" % size, messages == 0,
                           "%d messages" % messages)]
        print("\nGoals (no delay), load average %s at the start and %s at the end:" % (load_at_start, load_average()))
        for text, met, figures in goals:
            print("%s  %-48s %s" % ("PASS" if met else "FAIL", text, figures))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
