#!/usr/bin/env python3
"""The fault matrix: the real Skerrow executable copies the sample magazine through the sample magazine
server while one thing goes wrong at a time. Every row checks what is logged in errors.txt and printed on
the console, that the run goes on with every other task, that nothing that existed is changed, and the
exit status: 0 when nothing failed (files saved before count as done), 1 when a task or the packing failed
or the disk filled, 2 when the run could not start. Rows of faults that cost files check that nothing
partial is left under any name, and that a second run with a healthy server into the same save path exits
0 with the tree of a clean run and nothing logged. The rows of today's web (https through the server's
CONNECT tunnel with a CA made by openssl, redirects, UTF-8 pages, compressed replies, dropped connections, a
busy server) save the tree of a plain-http copy and cost the server the requests they must, a redirect its
hops and a retry its attempts.

    SKERROW_EXE=path/to/Skerrow [SKERROW_ZIP_EXE=path/to/SkerrowZip] python3 test_fault_matrix.py
"""

import codecs
import collections
import fcntl
import os
import pty
import re
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import termios
import threading
import time
import unittest
import zipfile

from e2e_support import (Book, RunResult, SampleServer, SkerrowCopy, certificates, contents, epubcheck,
                         epubcheck_command, expected_files, http2_server_missing, load_shard, parse_error_entries,
                         samples, snapshot)

SKERROW = os.environ.get("SKERROW_EXE", "")
SKERROW_ZIP = os.environ.get("SKERROW_ZIP_EXE", "")
MAGAZINE = samples.build()
ISSUE_A = MAGAZINE.issues["a"]
ISSUE_B = MAGAZINE.issues["b"]
SENTINEL = "keep-me.txt"
SENTINEL_BYTES = "Файл пользователя, которого Skerrow не трогает.\n".encode("cp1251")
USAGE = "Использвание: Skerrow <URL титульной страницы журнала> <путь сохранения> [Путь к WinRar.exe]"
NOT_FOUND_BODY = None  # the sample server's 404 page, read from the server module below
SUMMARY = re.compile(r"^(?:Выпуск (?:упакован в архив (?P<archive>.+)|сохранён в каталоге (?P<dir>.+?)"
                     r"(?P<unpacked>, упаковать его не удалось)?|(?P<none>не сохранён))|Копирование(?: в каталог "
                     r"(?P<unfinished>.+?))? (?P<how>прервано|остановлено)(?P<packing> при упаковке)?: выполнено "
                     r"задач (?P<done>\d+) из (?P<known>\d+))\. Сохранено страниц: "
                     r"(?P<pages>\d+), картинок: (?P<pictures>\d+)(?:, уже были: (?P<already>\d+))?; задач с ошибкой: "
                     r"(?P<failed>\d+)$", re.M)
NOT_DONE = "Копирование не закончено: та же команда продолжит его, сохранённое останется."
TEMPORARY = re.compile(r"(^|/)\.[^/]+\.\d+\.part$")
LOG_LINE = re.compile(r"^Ошибки записаны в (.+)$", re.M)
sample_server = None
# Small enough that no row waits long for a stalled transfer to fail.
QUICK_STALL = {"SKERROW_STALL_SECONDS": "1"}
# How often a passing fault is tried again when SKERROW_RETRIES is not set.
DEFAULT_RETRIES = 2
CLEAN_TREE = {}  # title URL -> contents() of a clean run's save path


def setUpModule():
    global NOT_FOUND_BODY, sample_server
    if not SKERROW or not os.access(SKERROW, os.X_OK):
        raise unittest.SkipTest("SKERROW_EXE does not name the Skerrow executable")
    import sample_server
    NOT_FOUND_BODY = sample_server.NOT_FOUND


def transfer_404(url):
    return "Transfer error: server return error code 404 URL: " + url


def partial_transfer(url):
    """The message of a reply cut off halfway (drop-mid-body): libcurl's text tells what was missing."""
    body = MAGAZINE.resources[url].body
    return "Transfer error: transfer closed with %d bytes remaining to read URL: %s" % (len(body) - len(body) // 2,
                                                                                         url)


def timed_out(url):
    """The message of a transfer silent for QUICK_STALL's bound."""
    return "Transfer error: nothing received for %s s URL: %s" % (QUICK_STALL["SKERROW_STALL_SECONDS"], url)


def https(url):
    return "https://" + url[len("http://"):]


def trusting(variable="SSL_CERT_FILE", env=None):
    """env with variable naming the bundle of the test CA, as a user who trusts it sets it."""
    return dict(env or {}, **{variable: certificates()[0]})


def in_any_order(items):
    """Requests (status, bytes sent, URL) or URLs, sorted by URL, to be compared whatever order they came in."""
    return sorted(items, key=lambda item: (item[2], item) if isinstance(item, tuple) else (item, ()))


def expected_requests(downloads, faults):
    """(status, URL) of every request that tasks requesting downloads cost against a server with faults: one
    per redirect, at most 11 (the first request and 10 redirects followed), none after a redirect to
    another scheme, the final request (200), and the refusals of a busy server."""
    redirects = sample_server.Redirects(MAGAZINE, [f for f in faults if f in sample_server.MODES])
    result = []
    for url in downloads:
        for _ in range(11):
            hop = redirects.redirect(url)
            if hop is None:
                result.append((200, url))
                break
            result.append((hop[0], url))
            url = hop[1]
            if not url.startswith("http"):
                break
    if "cut-compressed" in faults:
        result += [(200, u) for u in downloads if u in sample_server.server_fault_targets(MAGAZINE, "cut-compressed")]
    if "busy" in faults:
        title, picture = sample_server.server_fault_targets(MAGAZINE, "busy")
        result += [(503, u) for u in downloads if u == title] * sample_server.BUSY_TIMES
        result += [(429, u) for u in downloads if u == picture] * sample_server.BUSY_TIMES
    return sorted(result)


def clean_tree(title_url):
    """What a run without faults saves for the issue (into a save path of its own), once per module."""
    if title_url not in CLEAN_TREE:
        work = tempfile.mkdtemp(prefix="skerrow-clean-")
        try:
            save = os.path.join(work, "save")
            os.makedirs(save)
            with SampleServer(work) as server:
                result = SkerrowCopy(SKERROW, work).run([title_url, save], proxy=server.proxy)
            assert result.exit_status == 0 and result.errors_text() is None, result.stdout
            CLEAN_TREE[title_url] = contents(save)
        finally:
            shutil.rmtree(work, True)
    return CLEAN_TREE[title_url]


class TerminalScreen:
    """What a terminal shows of the bytes written to it, read as they came: the finished rows, and when
    the status line (a row beginning "Задачи: ") stood on the screen."""

    def __init__(self):
        self.rows, self.drawings, self.clearings = [], [], 0
        self.row, self.column = "", 0
        self.decoder = codecs.getincrementaldecoder("utf-8")("replace")
        self.shown_since, self.first_shown, self.last_hidden, self.shown_time = None, None, None, 0.0
        self.pending = ""

    def feed(self, when, data):
        text = self.pending + self.decoder.decode(data)
        self.pending = ""
        at = 0
        while at < len(text):
            if text.startswith("\x1b[K", at):
                if self.row.startswith("Задачи: ") and self.column == 0:
                    self.clearings += 1
                self.row = self.row[:self.column]
                at += 3
            elif text[at] == "\x1b" and len(text) - at < 3:
                self.pending = text[at:]
                break
            elif text[at] == "\r":
                if text.startswith("\rЗадачи: ", at):
                    end = text.find("\x1b[K", at)
                    if end < 0:
                        self.pending = text[at:]
                        break
                    self.drawings.append(text[at + 1:end])
                self.column = 0
                at += 1
            elif text[at] == "\n":
                self.rows.append(self.row)
                self.row, self.column = "", 0
                at += 1
            else:
                self.row = self.row[:self.column] + text[at] + self.row[self.column + 1:]
                self.column += 1
                at += 1
        shown = self.row.startswith("Задачи: ")
        if shown and self.shown_since is None:
            self.shown_since = when
            self.first_shown = self.first_shown or when
        elif not shown and self.shown_since is not None:
            self.shown_time += when - self.shown_since
            self.shown_since, self.last_hidden = None, when

    @property
    def share(self):
        """The part of the time from the line's first drawing to its last clearing that it was shown."""
        if self.first_shown is None or self.last_hidden is None or self.last_hidden <= self.first_shown:
            return 0.0
        return self.shown_time / (self.last_hidden - self.first_shown)


class SampleRun(unittest.TestCase):
    """One temporary directory per test with a private copy of Skerrow and a save path that already holds a
    file of the user's."""

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="skerrow-faults-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.skerrow = SkerrowCopy(SKERROW, self.work)
        self.save = os.path.join(self.work, "save")
        os.makedirs(self.save)
        with open(os.path.join(self.save, SENTINEL), "wb") as f:
            f.write(SENTINEL_BYTES)
        self.sentinel = snapshot(self.save)[SENTINEL]

    def run_skerrow(self, args, faults=(), status=0, env=None, tls=False, large=False, stderr=None):
        with SampleServer(self.work, faults, tls=tls, large=large) as server:
            result = self.skerrow.run(args, proxy=server.proxy, env=env)
            logged = server.requests(accepted_encodings=True)
        self.accepted_encodings = [accepted for _, _, accepted, _ in logged]
        # Transfers overlap, so the server hears of them in any order.
        requests = in_any_order([(status, sent, url) for status, sent, _, url in logged])
        self.assertEqual(result.exit_status, status, result.stdout + result.stderr)
        self.assert_streams(result, "" if stderr is None and status == 0 else stderr)
        self.assertEqual(snapshot(self.save).get(SENTINEL), self.sentinel, "the user's file was changed")
        return result, requests

    def assert_streams(self, result, stderr=None):
        """Failure reports go to standard error, never to standard output; every entry of errors.txt was
        shown there. stderr, when given, is all that standard error holds."""
        for report in ("BrintLib::TAplThrowException", "std::exception: ", "<UNKNOWN_EXCEPTION>"):
            self.assertNotIn(report, result.stdout)
        if os.path.isfile(result.errors_path):
            self.assertIn(result.errors_text(), result.stderr)
        if stderr is not None:
            self.assertEqual(result.stderr, stderr)

    def saved_tree(self):
        tree = snapshot(self.save)
        del tree[SENTINEL]
        return tree

    def assert_issue_saved(self, issue, tree, missing_pages=(), missing_pictures=(), other_pictures=None):
        """The issue's tree as saved: every page but missing_pages (page indices), every picture of the
        saved pages byte for byte except those whose URL is in missing_pictures (they are checked by the
        caller through other_pictures: local path -> expected bytes)."""
        pictures, pages, dirs = expected_files(issue, MAGAZINE)
        for index in missing_pages:
            page = issue.pages()[index]
            pages.discard(issue.issue_name + "/" + page.file_name)
            dirs.discard(issue.issue_name + "/" + page.page_name)
            for name, _ in page.picture_files():
                del pictures[issue.issue_name + "/" + name]
        for page in issue.pages():
            for name, url in page.picture_files():
                if url in missing_pictures:
                    pictures.pop(issue.issue_name + "/" + name, None)
        pictures.update(other_pictures or {})
        self.assertEqual(sorted(tree), sorted(set(pictures) | pages | dirs))
        for path, body in pictures.items():
            self.assertEqual(tree[path][0], body, path)
        for page in issue.pages():
            path = issue.issue_name + "/" + page.file_name
            if path not in tree:
                continue
            text = tree[path][0]
            # The saved page refers to exactly its own localised pictures.
            sources = set(re.findall(rb'<img src="([^"]+)">', text))
            self.assertEqual(sources, {name.encode() for name, _ in page.picture_files()}, path)
            self.assertNotIn(b"<img src=\"http", text)

    def assert_entries(self, result, expected):
        """errors.txt holds exactly the expected (URL, message) entries, and standard error showed each."""
        self.assertEqual(result.error_entries(), expected)
        for url, message in expected:
            self.assertIn(message.split("\n")[0], result.stderr)

    def assert_nothing_saved(self):
        self.assertEqual(self.saved_tree(), {})

    def assert_clean_tree(self, issue):
        """The save path holds the tree of a clean plain-http run of issue, byte for byte (footer time aside)."""
        tree, clean = self.saved_contents(), clean_tree(issue.title_url)
        self.assertEqual(sorted(tree), sorted(clean))
        self.assertEqual([path for path in tree if tree[path] != clean[path]], [], "files differ")

    def assert_costs(self, result, requests, faults):
        """The requests are those that the run's tasks cost (expected_requests), nothing more; a request
        dropped unanswered (drop-keep-alive, status 0) costs each task at most one more."""
        downloads = result.downloads()
        dropped = [url for status, _, url in requests if status == 0]
        self.assertEqual(sorted((s, u) for s, _, u in requests if s != 0), expected_requests(downloads, faults))
        self.assertLessEqual(len(dropped), len(downloads) if "drop-keep-alive" in faults else 0)
        self.assertLessEqual(set(dropped), set(downloads))

    def assert_summary(self, result, where, failed, tree=None, pages=None, pictures=None):
        """The run's closing lines: where the issue went ("dir", "archive", "unpacked" or "none"), the pages
        and pictures saved (counted in tree when given: .htm files and the other files), the failed tasks,
        and the log's full path exactly when something was logged."""
        found = SUMMARY.findall(result.stdout)
        self.assertEqual(len(found), 1, result.stdout[-2000:])
        match = SUMMARY.search(result.stdout)
        self.assertIsNotNone(match.group(where), match.group(0))
        if tree is not None:
            files = [path for path, (body, _, _) in tree.items() if body is not None]
            pages = len([path for path in files if path.endswith(".htm")])
            pictures = len(files) - pages
        self.assertEqual((int(match.group("pages")), int(match.group("pictures")), int(match.group("failed"))),
                         (pages, pictures, failed), match.group(0))
        logs = LOG_LINE.findall(result.stdout[match.end():])
        self.assertEqual(logs, [result.errors_path] if result.errors_text() else [])
        return match

    def forget_run(self, issue_too=True, everything=False):
        """Removes errors.txt and, with issue_too, the issue directory of issue a (with everything, all that
        the save path holds but the user's file), for a run from scratch."""
        if issue_too:
            shutil.rmtree(os.path.join(self.save, ISSUE_A.issue_name), True)
        for name in os.listdir(self.save) if everything else ():
            if name != SENTINEL:
                shutil.rmtree(os.path.join(self.save, name))
        if os.path.exists(self.skerrow.errors_path):
            os.remove(self.skerrow.errors_path)

    def saved_contents(self):
        tree = contents(self.save)
        del tree[SENTINEL]
        return tree

    def assert_no_temporaries(self):
        self.assertEqual([p for p in self.saved_tree() if TEMPORARY.search(p)], [])

    def assert_nothing_cut(self, issue=ISSUE_A, killed=False, save=None):
        """Every file saved is as a clean run saves it (but the temporaries of a killed run)."""
        clean = clean_tree(issue.title_url)
        tree = contents(save or self.save)
        tree.pop(SENTINEL, None)
        for path, body in tree.items():
            if not (killed and TEMPORARY.search(path)):
                self.assertEqual(body, clean.get(path, "missing in a clean run"), path)

    def assert_rerun_repairs(self, issue=ISSUE_A, killed=False):
        """Nothing partial is saved. A second run with a healthy server completes the tree, logs nothing
        and exits 0: the files saved before count as done."""
        self.assert_nothing_cut(issue, killed)
        self.forget_run(issue_too=False)
        result, _ = self.run_skerrow([issue.title_url, self.save])
        self.assertIsNone(result.errors_text())
        tree = self.saved_contents()
        clean = clean_tree(issue.title_url)
        self.assertEqual(sorted(tree), sorted(clean))
        self.assertTrue(tree == clean, "the repaired tree differs from a clean run's")

    def run_interrupted(self, how):
        """Starts a run against a server whose reply for one picture stalls in the middle of its body, ends
        the run with the signal how once that reply is silent, and returns (result, stalled URL)."""
        with SampleServer(self.work, ["stall-mid-body"]) as server:
            process = self.skerrow.start([ISSUE_A.title_url, self.save], proxy=server.proxy)
            try:
                stalled = server.wait_for_stall()
                process.send_signal(how)
            finally:
                result = RunResult.of_process(process, self.skerrow.errors_path)
        return result, stalled


class NoFault(SampleRun):
    def test_site_a_issue_is_copied_completely_in_queue_order(self):
        result, requests = self.run_skerrow([ISSUE_A.title_url, self.save])
        self.assertIsNone(result.errors_text(), "a run without failures leaves no errors.txt")
        self.assertEqual(result.downloads(), ISSUE_A.fetch_order())
        self.assertEqual(result.processed(), [page.url for page in ISSUE_A.pages()])
        self.assertEqual(requests, in_any_order([(200, len(MAGAZINE.resources[u].body), u)
                                                 for u in ISSUE_A.fetch_order()]))
        tree = self.saved_tree()
        self.assert_issue_saved(ISSUE_A, tree)
        summary = self.assert_summary(result, "dir", 0, pages=13, pictures=65)
        self.assertEqual(summary.group("dir"), self.save + "/2007_05/")
        contents = tree["2007_05/2007_05_00.htm"][0]
        for number, title in enumerate(ISSUE_A.titles, start=1):
            self.assertIn(('<a class="t_link_big" href="2007_05_%02d.htm">%s</a>' % (number, title)).encode("cp1251"),
                          contents)

    def test_site_b_issue_is_copied_completely_in_queue_order(self):
        result, requests = self.run_skerrow([ISSUE_B.title_url, self.save])
        self.assertIsNone(result.errors_text())
        self.assertEqual(result.downloads(), ISSUE_B.fetch_order())
        self.assertEqual([url for _, _, url in requests], in_any_order(ISSUE_B.fetch_order()))
        tree = self.saved_tree()
        self.assert_issue_saved(ISSUE_B, tree)
        contents = tree["2007_07/2007_07_00.htm"][0]
        for number, title in enumerate(ISSUE_B.titles, start=1):
            self.assertIn(("<a href=2007_07_%02d.htm>%s </a>" % (number, title)).encode("cp1251"), contents)
        for article in ISSUE_B.articles:
            self.assertIn('<hr><a href="2007_07_00.htm">Оглавление</a><hr></body></html>'.encode("cp1251"),
                          tree["2007_07/" + article.file_name][0])


class FaultMatrix(SampleRun):
    def test_picture_missing_on_the_server(self):
        (url,) = samples.fault_targets(MAGAZINE, "missing-picture")
        result, requests = self.run_skerrow([ISSUE_A.title_url, self.save], faults=["missing-picture"], status=1)
        self.assert_entries(result, [(url, transfer_404(url))])
        self.assertEqual(result.downloads(), ISSUE_A.fetch_order())
        self.assertEqual([u for s, _, u in requests if s != 200], [url])
        # Nothing is saved for the failed picture: no error page under its name, no temporary.
        self.assert_issue_saved(ISSUE_A, self.saved_tree(), missing_pictures=[url])
        self.assert_rerun_repairs()

    def test_server_drops_connections_in_the_middle_of_a_body(self):
        article, picture = samples.fault_targets(MAGAZINE, "drop-mid-body")
        result, requests = self.run_skerrow([ISSUE_A.title_url, self.save], faults=["drop-mid-body"], status=1)
        self.assert_entries(result, [(article, partial_transfer(article)), (picture, partial_transfer(picture))])
        # The article never reached its processor, so its pictures were never queued; all else went on.
        expected = [url for url, name, page in ISSUE_A.tasks() if page != 3 or "/" not in name]
        self.assertEqual(result.downloads(), expected)
        self.assertNotIn(article, result.processed())
        # A connection closed in the middle of a body is a passing fault: each cut reply costs its attempts.
        self.assertEqual([u for _, _, u in requests], in_any_order(expected + [article, picture] * DEFAULT_RETRIES))
        # Nothing of the cut picture is saved.
        self.assert_issue_saved(ISSUE_A, self.saved_tree(), missing_pages=[3], missing_pictures=[picture])
        self.assert_rerun_repairs()

    def test_error_status_with_a_body_larger_than_any_buffer(self):
        (url,) = sample_server.server_fault_targets(MAGAZINE, "error-large-body")
        result, requests = self.run_skerrow([ISSUE_A.title_url, self.save], faults=["error-large-body"], status=1)
        self.assert_entries(result, [(url, "Transfer error: server return error code 500 URL: " + url)])
        self.assertEqual(result.downloads(), ISSUE_A.fetch_order())
        # The transfer ended with the headers: the server could not send more than the buffers between.
        ((status, sent),) = [(s, n) for s, n, u in requests if u == url]
        self.assertEqual(status, 500)
        self.assertLess(sent, sample_server.LARGE_ERROR_BYTES // 2)
        self.assert_issue_saved(ISSUE_A, self.saved_tree(), missing_pictures=[url])
        self.assert_rerun_repairs()

    def test_server_that_falls_silent(self):
        for fault in ("stall-before-headers", "stall-mid-body"):
            with self.subTest(fault=fault):
                self.forget_run()
                (url,) = sample_server.server_fault_targets(MAGAZINE, fault)
                result, _ = self.run_skerrow([ISSUE_A.title_url, self.save], faults=[fault], env=QUICK_STALL, status=1)
                self.assert_entries(result, [(url, timed_out(url))])
                self.assertEqual(result.downloads(), ISSUE_A.fetch_order())
                self.assert_issue_saved(ISSUE_A, self.saved_tree(), missing_pictures=[url])
                self.assert_rerun_repairs()

    def test_page_whose_body_never_ends(self):
        (url,) = sample_server.server_fault_targets(MAGAZINE, "endless-body")
        result, _ = self.run_skerrow([ISSUE_A.title_url, self.save], faults=["endless-body"], status=1)
        self.assert_entries(result, [(url, "Transfer error: page too large (more than 67108864 bytes) URL: " + url)])
        self.assertIn("too large", result.stderr)
        page = [p.url for p in ISSUE_A.pages()].index(url)
        self.assertEqual(result.downloads(), [u for u, name, p in ISSUE_A.tasks() if p != page or "/" not in name])
        self.assert_issue_saved(ISSUE_A, self.saved_tree(), missing_pages=[page])
        self.assert_rerun_repairs()

    def test_picture_addresses_that_libcurl_refuses(self):
        # Three articles give their scheme picture an address that cannot be sent as it stands: 8 MB long,
        # with a NUL inside, with a port past 65535. The first and the last are refused where the page is
        # read, in short entries; the NUL is sent percent-encoded, as a browser sends it. The run goes on.
        spoiled = sample_server.server_fault_targets(MAGAZINE, "bad-picture-urls")
        result, requests = self.run_skerrow([ISSUE_A.title_url, self.save], faults=["bad-picture-urls"], status=1)
        text = result.errors_text()
        self.assertEqual(text.count(" Неверный адрес изображения: "), 2, text[:3000])
        self.assertLess(len(text.encode("cp1251")), 3000)
        self.assertLess(len(result.stdout), 50000)
        sent = spoiled[1][1].replace("\0", "%00")
        self.assertEqual([e for e in result.error_entries() if e[0]], [(sent, transfer_404(sent))])
        requested = [u for _, _, u in requests]
        self.assertIn(sent, requested)
        self.assertEqual([u for u in requested if u.startswith((spoiled[0][1][:60], spoiled[2][1][:40]))], [])
        self.assertEqual(result.processed(), [page.url for page in ISSUE_A.pages()])
        self.assert_no_temporaries()

    def test_run_interrupted_in_the_middle_of_a_picture(self):
        for how, status in ((signal.SIGINT, 130), (signal.SIGTERM, 143)):
            with self.subTest(signal=how):
                self.forget_run()
                result, stalled = self.run_interrupted(how)
                self.assertEqual(result.exit_status, status, result.stdout + result.stderr)
                self.assertEqual(result.stderr, "")
                # The run ends at once: no task after the stalled picture's has its turn (with transfers
                # overlapping, the signal may come before the stalled picture's turn).
                downloads = result.downloads()
                self.assertEqual(downloads, ISSUE_A.fetch_order()[:len(downloads)])
                self.assertLessEqual(len(downloads), ISSUE_A.fetch_order().index(stalled) + 1)
                self.assertIsNone(result.errors_text())
                # That the copy was interrupted, how far it came, what was kept, and how to go on.
                summary = self.assert_summary(result, "unfinished", 0, tree=self.saved_tree())
                self.assertEqual((summary.group("unfinished"), summary.group("how")), (self.save + "/2007_05/", "прервано"))
                self.assertEqual(int(summary.group("done")), int(summary.group("pages")) + int(summary.group("pictures")))
                self.assertLess(int(summary.group("done")), int(summary.group("known")))
                self.assertEqual(result.stdout.splitlines()[-1], NOT_DONE)
                self.assert_no_temporaries()
                self.assert_rerun_repairs()

    def test_run_killed_in_the_middle_of_a_picture(self):
        result, stalled = self.run_interrupted(signal.SIGKILL)
        self.assertEqual(result.exit_status, -signal.SIGKILL)
        # The temporary of the picture in flight stays (with those of other transfers under way), and is
        # never taken for the picture.
        temporaries = [p for p in self.saved_tree() if TEMPORARY.search(p)]
        picture = dict((u, n) for n, u in ISSUE_A.articles[7].picture_files())[stalled]
        self.assertIn("2007_05/%s/.%s.%d.part" % (os.path.dirname(picture), os.path.basename(picture), result.pid),
                      temporaries)
        self.assertEqual(snapshot(self.save).get(SENTINEL), self.sentinel)
        self.assert_rerun_repairs(killed=True)
        self.assert_no_temporaries()

    def test_article_of_another_layout(self):
        (url,) = samples.fault_targets(MAGAZINE, "other-layout")
        result, requests = self.run_skerrow([ISSUE_A.title_url, self.save], faults=["other-layout"], status=1)
        entries = result.error_entries()
        self.assertEqual([u for u, _ in entries], [url])
        message = entries[0][1]
        self.assertTrue(message.startswith("Ошибка при поиске шаблона: "), message[:200])
        self.assertIn("block_header_main_inner", message)
        self.assertIn("Ошибка при поиске шаблона: ", result.stderr)
        self.assertIn(url, result.processed())
        expected = [url for url, name, page in ISSUE_A.tasks() if page != 4 or "/" not in name]
        self.assertEqual(result.downloads(), expected)
        self.assertEqual([u for _, _, u in requests], in_any_order(expected))
        self.assert_issue_saved(ISSUE_A, self.saved_tree(), missing_pages=[4])

    def test_run_that_cannot_start_is_refused_before_the_first_request(self):
        # Each says why on standard error, exits 2, requests nothing, logs nothing and has no summary; the save
        # path is as it was (an empty one puts nothing at the root).
        blocker = os.path.join(self.save, "not-a-directory")
        with open(blocker, "wb") as f:
            f.write(b"a file where a directory is needed\n")
        rows = [
            ([ISSUE_A.title_url, os.path.join(blocker, "issues")], {}, "Сохранить выпуск в %s/issues нельзя: Not a "
                                                                      "directory\n" % blocker),
            ([ISSUE_A.title_url, blocker], {}, "Сохранить выпуск в %s нельзя: Not a directory\n" % blocker),
            ([ISSUE_A.title_url, ""], {}, "Путь сохранения пуст"),
            ([], {}, USAGE), ([ISSUE_A.title_url], {}, USAGE),
            (["--bogus", ISSUE_A.title_url, self.save], {}, "Неизвестный параметр: --bogus\n" + USAGE),
            (["http://example.test/magazine/2007-05/", self.save], {},
             "Неизвестный URL: http://example.test/magazine/2007-05/"),
            (["http://mag-c.test/issues/2007/07/", self.save], {}, "Неизвестный URL: http://mag-c.test/issues/2007/07/"),
            # Without any slash the URL cannot even be split into host and path.
            (["mag-a.test", self.save], {}, "Ошибка при поиске шаблона: "),
            ([ISSUE_B.title_url, self.save, '/usr/bin/"zip'], {},
             'Путь к архиватору /usr/bin/"zip нельзя передать в командной строке'),
            ([ISSUE_B.title_url, self.save, "/no/such/zip"], {},
             "Архиватор /no/such/zip не найден: No such file or directory"),
            ([ISSUE_B.title_url, self.save, self.save], {}, "Архиватор %s нельзя запустить: это не файл" % self.save),
        ]
        if os.geteuid() != 0:  # root writes into any directory
            read_only = os.path.join(self.save, "read-only")
            os.makedirs(read_only)
            os.chmod(read_only, 0o555)
            rows.append(([ISSUE_A.title_url, read_only], {}, "Сохранить выпуск в %s нельзя: Permission denied\n"
                         % read_only))
        for name, value, low, high in (("SKERROW_CONNECTIONS", "65", 1, 64), ("SKERROW_CONNECTIONS", "0", 1, 64),
                                       ("SKERROW_STALL_SECONDS", "1x", 1, 86400), ("SKERROW_RETRIES", "11", 0, 10),
                                       ("SKERROW_MAX_PICTURE_MB", "-1", 1, 1048576),
                                       ("SKERROW_STREAMS", "1001", 1, 1000)):
            rows.append(([ISSUE_A.title_url, self.save], {name: value},
                         "Переменная окружения %s=%s недопустима: нужно целое число от %d до %d" % (name, value, low,
                                                                                                   high)))
        before = snapshot(self.save)
        for args, env, message in rows:
            with self.subTest(args=args, env=env):
                result, requests = self.run_skerrow(args, env=env, status=2)
                self.assertIn(message, result.stderr)
                self.assertEqual((requests, result.downloads(), result.errors_text()), ([], [], None))
                self.assertIsNone(SUMMARY.search(result.stdout), "a run that never started has no summary")
                self.assertEqual(snapshot(self.save), before)
                self.assertFalse(os.path.exists("/2007_05"))

    def test_error_log_that_cannot_be_written_beside_the_executable(self):
        # An installed copy run by another user: errors.txt beside it cannot be written. The entries go to
        # the save path; when that cannot take them either, the summary says so, and the run still fails.
        (url,) = samples.fault_targets(MAGAZINE, "missing-picture")
        os.makedirs(self.skerrow.errors_path)
        fallback = os.path.join(self.save, "errors.txt")
        result, _ = self.run_skerrow([ISSUE_A.title_url, self.save], faults=["missing-picture"], status=1)
        with open(fallback, "rb") as f:
            self.assertEqual(parse_error_entries(f.read().decode("cp1251")), [(url, transfer_404(url))])
        self.assertEqual(LOG_LINE.findall(result.stdout), [fallback])
        os.remove(fallback)
        os.makedirs(fallback)
        shutil.rmtree(os.path.join(self.save, ISSUE_A.issue_name))
        result, _ = self.run_skerrow([ISSUE_A.title_url, self.save], faults=["missing-picture"], status=1)
        self.assertIn(transfer_404(url), result.stderr)
        self.assertEqual(LOG_LINE.findall(result.stdout), [])
        self.assertIn("Записать в errors.txt не удалось записей об ошибках: 1 (они выведены выше)", result.stdout)

    def test_title_page_missing(self):
        result, requests = self.run_skerrow([ISSUE_A.title_url, self.save], faults=["no-title"], status=1)
        self.assert_entries(result, [(ISSUE_A.title_url, transfer_404(ISSUE_A.title_url))])
        self.assertEqual(result.downloads(), [ISSUE_A.title_url])
        self.assertEqual(result.processed(), [])
        self.assertEqual(requests, [(404, len(NOT_FOUND_BODY), ISSUE_A.title_url)])
        self.assert_nothing_saved()
        self.assert_summary(result, "none", 1, pages=0, pictures=0)

    def test_run_repeated_into_the_same_save_path(self):
        first, _ = self.run_skerrow([ISSUE_A.title_url, self.save])
        self.assertIsNone(first.errors_text())
        before = snapshot(self.save)
        for connections in ("1", "6"):
            with self.subTest(connections=connections):
                second, requests = self.run_skerrow([ISSUE_A.title_url, self.save],
                                                    env={"SKERROW_CONNECTIONS": connections})
                self.assertEqual(snapshot(self.save), before, "the second run changed saved files")
                # Every page is downloaded and processed again (queueing its tasks) and found saved; no
                # picture is asked for, nothing is logged, and the copy counts as complete.
                pages = [page.url for page in ISSUE_A.pages()]
                self.assertEqual(second.downloads(), pages)
                self.assertEqual([u for _, _, u in requests], in_any_order(pages))
                self.assertEqual(second.console_lines("Уже сохранён: "),
                                 ["%s/2007_05/%s" % (self.save, name) for _, name, _ in ISSUE_A.tasks()])
                self.assertIsNone(second.errors_text())
                summary = self.assert_summary(second, "dir", 0, pages=0, pictures=0)
                self.assertEqual(summary.group("already"), str(len(ISSUE_A.tasks())))

    def test_second_run_into_the_same_issue_stops_and_changes_nothing(self):
        # The first run waits on a stalled picture (one transfer at a time: nothing else moves meanwhile);
        # the second stops at the issue directory's lock and writes nothing; the first is then interrupted.
        # Nothing empty or cut is left, and a third run completes the copy.
        with SampleServer(self.work, ["stall-mid-body"]) as server:
            first = self.skerrow.start([ISSUE_A.title_url, self.save], proxy=server.proxy,
                                       env={"SKERROW_CONNECTIONS": "1"})
            # The first run's own temporary may still be taking the bytes that came before the stall.
            def files():
                return {p: v for p, v in snapshot(self.save).items() if not TEMPORARY.search(p)}
            try:
                server.wait_for_stall()
                before = files()
                second = self.skerrow.run([ISSUE_A.title_url, self.save], proxy=server.proxy)
                after = files()
            finally:
                first.send_signal(signal.SIGINT)
                result = RunResult.of_process(first, self.skerrow.errors_path)
        self.assertEqual(after, before)
        self.assertEqual(second.exit_status, 2, second.stdout)
        self.assertIn("Каталог %s/2007_05/ занят другим запуском Skerrow" % self.save, second.stderr)
        self.assertEqual(second.downloads(), [ISSUE_A.title_url])
        self.assertEqual(result.exit_status, 130, result.stdout)
        self.assertIsNone(result.errors_text())
        self.assertNotIn(b"", [body for body in self.saved_contents().values()], "an empty file was left")
        self.assert_no_temporaries()
        self.assert_rerun_repairs()

    def test_full_disk_stops_the_run_and_the_rerun_completes(self):
        # A small file system of its own under the save path; the machine must let the test mount one.
        save = os.path.join(self.work, "small")
        os.makedirs(save)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=160k", "tmpfs", save],
                          stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("cannot mount a small file system here")
        self.addCleanup(subprocess.run, ["umount", "-l", save])
        for connections in ("1", "6"):
            with self.subTest(connections=connections):
                shutil.rmtree(os.path.join(save, ISSUE_A.issue_name), True)
                self.forget_run(issue_too=False)
                subprocess.run(["mount", "-o", "remount,size=160k", save], check=True)
                env = {"SKERROW_CONNECTIONS": connections}
                with SampleServer(self.work) as server:
                    full = self.skerrow.run([ISSUE_A.title_url, save], proxy=server.proxy, env=env)
                self.assertEqual(full.exit_status, 1, full.stdout + full.stderr)
                stops = [line for line in full.stderr.splitlines() if line.startswith("Диск заполнен: ")]
                self.assertEqual(len(stops), 1, full.stderr[-2000:])
                self.assertIn("(No space left on device)", stops[0])
                self.assertEqual(full.stdout.splitlines()[-1], NOT_DONE)
                self.assert_streams(full)
                # The summary says that the copy stopped, and how far it came.
                summary = SUMMARY.search(full.stdout)
                self.assertEqual((summary.group("unfinished"), summary.group("how")), (save + "/2007_05/", "остановлено"))
                self.assertLess(int(summary.group("done")), int(summary.group("known")))
                # The run ended at the full disk: nothing after that task had its turn.
                self.assertLess(len(full.downloads()), len(ISSUE_A.fetch_order()))
                self.assert_nothing_cut(save=save)
                self.assertEqual([p for p in contents(save) if TEMPORARY.search(p)], [])
                # Space freed: the same command completes the copy.
                subprocess.run(["mount", "-o", "remount,size=4m", save], check=True)
                with SampleServer(self.work) as server:
                    again = self.skerrow.run([ISSUE_A.title_url, save], proxy=server.proxy, env=env)
                self.assertEqual(again.exit_status, 0, again.stdout[-2000:])
                self.assertIsNone(again.errors_text())
                self.assertTrue(contents(save) == clean_tree(ISSUE_A.title_url), "the completed tree differs")

    def test_few_open_files_slow_the_run_but_lose_nothing(self):
        # A hard limit of 20 open files at 64 connections: the run holds its transfers to what fits.
        with SampleServer(self.work) as server:
            completed = subprocess.run(["prlimit", "--nofile=20:20", self.skerrow.path, ISSUE_A.title_url, self.save],
                                       cwd=self.skerrow.dir, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE, timeout=240,
                                       env=self.skerrow.environment(server.proxy, {"SKERROW_CONNECTIONS": "64"}))
        result = RunResult(completed, self.skerrow.errors_path)
        self.assertEqual(result.exit_status, 0, result.stdout[-2000:])
        self.assertIsNone(result.errors_text())
        self.assertTrue(self.saved_contents() == clean_tree(ISSUE_A.title_url), "the tree differs from a clean run's")

    def run_in_terminal(self, args, server, columns, env=None, output_file=None, interrupt=False):
        """Runs the copy on a pseudo-terminal of columns columns (standard output to output_file when given;
        with interrupt, Ctrl-C typed once the server stalls) and reads the terminal as it comes. Returns
        (exit status, terminal): terminal.rows are the finished rows of the screen, terminal.drawings every
        drawing of the status line, terminal.share the part of the time from its first drawing to its last
        clearing that it stood on the screen, terminal.clearings how often it was cleared."""
        environment = self.skerrow.environment(server.proxy, env)
        pid, master = pty.fork()
        if pid == 0:  # the child: the terminal's size, then the program
            try:
                fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
                if output_file:
                    os.dup2(os.open(output_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644), 1)
                os.chdir(self.skerrow.dir)
                os.execve(self.skerrow.path, [self.skerrow.path] + args, environment)
            finally:
                os._exit(127)
        if interrupt:  # Ctrl-C as a person types it: the terminal echoes "^C" and signals the run
            threading.Thread(target=lambda: server.wait_for_stall() and os.write(master, b"\x03"), daemon=True).start()
        # Read as it comes, each read with its time; read back once the run is over.
        reads = []
        while True:
            try:
                reads.append((os.read(master, 65536), time.monotonic()))
            except OSError:  # EIO: the program has ended and closed the terminal
                break
            if not reads[-1][0]:
                break
        os.close(master)
        terminal = TerminalScreen()
        for data, when in reads:
            terminal.feed(when, data)
        _, status = os.waitpid(pid, 0)
        return os.waitstatus_to_exitcode(status), terminal

    def test_progress_line_stays_on_the_terminal(self):
        # On a real terminal (a pty read as it comes, with the time of every read) the status line stands
        # on the screen at least 90% of a busy run: it is drawn again right after every batch of console
        # lines, and cleared only for lines that go to its terminal. The other lines are those of a run in
        # a pipe, which shows no progress. At 40 columns the tasks and the silent server come first.
        # Ctrl-C leaves the last line on the screen with the terminal's "^C", and the summary starts on a
        # row of its own.
        silent = {"SKERROW_STALL_SECONDS": "6", "SKERROW_RETRIES": "1"}
        large = LARGE_MAGAZINE.issues["large"]
        busy = {"SKERROW_CONNECTIONS": "1"}  # the engine waits for every reply: a batch of lines per task
        rows = [
            # (what, issue, faults, environment, columns, standard output to a file, Ctrl-C, exit status)
            ("both outputs on the terminal", large, [], busy, 200, False, False, 0),
            ("standard output to a file", large, [], busy, 200, True, False, 0),
            ("40 columns, a silent server", ISSUE_A, ["stall-mid-body"], silent, 40, False, False, 1),
            ("Ctrl-C", ISSUE_A, ["stall-mid-body"], {}, 80, False, True, 130),
        ]
        piped = {}
        for what, issue, faults, env, columns, to_file, interrupt, status in rows:
            with self.subTest(what):
                key = (issue.key, tuple(faults))
                if key not in piped and not interrupt:
                    self.forget_run(everything=True)
                    piped[key], _ = self.run_skerrow([issue.title_url, self.save], faults=faults, env=env,
                                                     status=status, large=issue is large)
                self.forget_run(everything=True)
                output = os.path.join(self.work, "stdout.txt") if to_file else None
                with SampleServer(self.work, faults, large=issue is large) as server:
                    code, terminal = self.run_in_terminal([issue.title_url, self.save], server, columns, env,
                                                          output, interrupt)
                self.assertEqual(code, status, "\n".join(terminal.rows[-20:]))
                self.assertTrue(terminal.drawings, terminal.rows[-5:])
                for drawing in terminal.drawings:
                    self.assertRegex(drawing, r"^Задачи: (\d+) из (\d+)")
                    done, known = re.match(r"Задачи: (\d+) из (\d+)", drawing).groups()
                    self.assertLessEqual(int(done), int(known))
                    self.assertLess(len(drawing), columns)
                if interrupt:
                    # The last drawing stays, the echo after it; the lines still pending and the summary
                    # on rows of their own below.
                    kept = [n for n, row in enumerate(terminal.rows) if "Задачи: " in row]
                    self.assertEqual(len(kept), 1, terminal.rows[-5:])
                    self.assertRegex(terminal.rows[kept[0]], r"^Задачи: .*\^C$")
                    summaries = [SUMMARY.match(row) for row in terminal.rows[kept[0] + 1:]]
                    self.assertEqual([s.group("how") for s in summaries if s], ["прервано"], terminal.rows[-5:])
                    self.assertEqual(terminal.rows[-1], NOT_DONE)
                    continue
                self.assertGreaterEqual(terminal.share, 0.9, "%d drawings, %d clearings" %
                                        (len(terminal.drawings), terminal.clearings))
                # No drawing is left behind on a finished row.
                self.assertEqual([row for row in terminal.rows if "Задачи: " in row], [])
                run = piped[key]
                if to_file:
                    with open(output, encoding="utf-8") as f:
                        self.assertEqual(f.read(), run.stdout)
                    # Lines that go elsewhere never clear it: only the end of the run does.
                    self.assertEqual(terminal.clearings, 1)
                    self.assertEqual(terminal.rows, run.stderr.splitlines())
                else:
                    self.assertEqual(sorted(terminal.rows), sorted((run.stdout + run.stderr).splitlines()))
                    self.assertEqual([row for row in terminal.rows if not row.startswith(("Download: ", "Processing: "))][-1:],
                                     run.stdout.splitlines()[-1:])
                if faults:
                    # The silent server is named within the 39 columns, and the second attempt at it.
                    self.assertTrue(any(re.match(r"Задачи: \d+ из \d+; (ждём mag-a\.test \d с, )?попытка 2 из 2", d)
                                        for d in terminal.drawings), terminal.drawings[-5:])
                    self.assertIn("ждём mag-a.test 5 с", " ".join(terminal.drawings))
                    self.assertTrue(all(d.startswith("Задачи: ") for d in terminal.drawings))
                    self.assertTrue(any(re.fullmatch(r"Задачи: \d+ из \d+; ждём mag-a\.test \d с", d)
                                        for d in terminal.drawings), terminal.drawings[-5:])

    def test_article_of_another_layout_2_mb_long(self):
        (url,) = samples.fault_targets(MAGAZINE, "huge-other-layout")
        huge = samples.build(faults=["huge-other-layout"])
        result, requests = self.run_skerrow([ISSUE_A.title_url, self.save], faults=["huge-other-layout"], status=1)
        self.assertGreater([sent for _, sent, u in requests if u == url][0], 2 << 20)
        entries = result.error_entries()
        self.assertEqual([u for u, _ in entries], [url])
        message = entries[0][1]
        self.assertTrue(message.startswith("Ошибка при поиске шаблона: "), message[:200])
        # The pattern whole, 300 bytes of the page, "...", the page's length.
        self.assertRegex(message, r'[^"]\.\.\." \(%d байт\)$' % len(huge.resources[url].body))
        self.assertLess(len(message.encode("cp1251")), 1000)
        self.assertLess(len(result.stdout), 20000)
        self.assert_issue_saved(ISSUE_A, self.saved_tree(), missing_pages=[4])
        self.assert_summary(result, "dir", 1, tree=self.saved_tree())

    def test_escape_sequences_in_a_picture_address(self):
        (article,) = samples.fault_targets(MAGAZINE, "escape-in-picture")
        result, _ = self.run_skerrow([ISSUE_A.title_url, self.save], faults=["escape-in-picture"], status=1)
        # The picture's address is sent percent-encoded, as a browser sends it; the counter's tag is
        # logged as it stands, its control bytes shown as "?".
        shown = samples.ESCAPE_PICTURE.replace("\x1b", "%1B").replace("\x07", "%07")
        self.assertTrue(any(line.endswith(shown) for line in result.downloads()), result.downloads())
        self.assertIn(samples.ESCAPE_COUNTER.replace("\x1b", "?"), result.errors_text())
        self.assertIn(samples.ESCAPE_COUNTER.replace("\x1b", "?"), result.stderr)
        self.assertIn(article, result.processed())
        for name, text in (("console", result.stdout), ("errors", result.stderr), ("errors.txt", result.errors_text())):
            controls = sorted({c for c in text if (ord(c) < 0x20 and c not in "\t\n") or ord(c) == 0x7F})
            self.assertEqual(controls, [], name)
        entries = result.error_entries()
        self.assertEqual(len(entries), 2, entries)
        self.assertIn(samples.ESCAPE_COUNTER.replace("\x1b", "?"), entries[0][1])
        self.assertTrue(entries[1][0].endswith(shown), entries[1][0])
        # The picture failed; whatever its task left under its name is not counted as saved.
        tree = self.saved_tree()
        tree.pop("2007_05/" + ISSUE_A.articles[5].page_name + "/01.jpg", None)
        self.assert_summary(result, "dir", 1, tree=tree)


class TodaysWeb(SampleRun):
    """The web as today's sites serve it: https, redirects, UTF-8, compression, dropped connections and busy
    servers. Each row saves the tree of a plain-http copy, byte for byte (footer time aside), exits 0 and
    costs the requests it must: a redirect its hops, a retry its attempts."""

    def test_todays_sites_save_what_a_plain_http_copy_saves(self):
        upper = "HTTPS://MAG-A.TEST" + ISSUE_A.title_url[len("http://mag-a.test"):]
        ssl, bundle = trusting(), trusting("CURL_CA_BUNDLE")
        rows = [
            # (what, issue, title URL, server faults, environment)
            ("https", ISSUE_A, https(ISSUE_A.title_url), [], ssl),
            ("https, site B", ISSUE_B, https(ISSUE_B.title_url), [], ssl),
            ("https, the bundle in CURL_CA_BUNDLE", ISSUE_A, https(ISSUE_A.title_url), [], bundle),
            ("scheme and host in capitals", ISSUE_A, upper, [], ssl),
            ("http answered with https", ISSUE_A, ISSUE_A.title_url, ["https-only"], ssl),
            ("site B: http answered with https", ISSUE_B, ISSUE_B.title_url, ["https-only"], ssl),
            ("a host moved to another", ISSUE_A, ISSUE_A.title_url, ["moved-host"], {}),
            ("an article moved to another directory", ISSUE_A, ISSUE_A.title_url, ["moved-article"], {}),
            ("dropped keep-alive connections", ISSUE_A, ISSUE_A.title_url, ["drop-keep-alive"], {}),
            ("dropped keep-alive tunnels", ISSUE_A, https(ISSUE_A.title_url), ["drop-keep-alive"], ssl),
            ("a busy server", ISSUE_A, ISSUE_A.title_url, ["busy"], {}),
            ("a slow but steady picture", ISSUE_A, ISSUE_A.title_url, ["drip"], QUICK_STALL),
            # A stream cut short is tried again; what follows a gzip member, and an encoding not known, are
            # what a browser makes of them.
            ("compressed pictures: cut short once, trailing bytes, an unknown encoding", ISSUE_A, ISSUE_A.title_url,
             ["cut-compressed", "gzip-trailing", "unknown-encoding"], {}),
        ]
        for issue in (ISSUE_A, ISSUE_B):
            rows += [("%s, site %s" % (mode, issue.key), issue, issue.title_url, [mode], {})
                     for mode in ("utf8-bom", "utf8-header", "utf8-meta")]
        rows += [(mode, ISSUE_A, https(ISSUE_A.title_url), [mode], ssl)
                 for mode in ("gzip", "deflate", "br") if mode in sample_server.MODES]
        for what, issue, title, faults, env in rows:
            with self.subTest(what):
                self.forget_run(everything=True)
                tls = title.lower().startswith("https") or "https-only" in faults
                result, requests = self.run_skerrow([title, self.save], faults=faults, env=env, tls=tls)
                self.assertIsNone(result.errors_text())
                self.assert_clean_tree(issue)
                self.assert_costs(result, requests, faults)
                for mode in ("gzip", "deflate", "br"):
                    if mode in faults:  # asked for, and decoded
                        self.assertTrue(all(mode in a.split(",") for a in self.accepted_encodings), mode)

    def test_http2_connections_ended_by_goaway_or_streams_reset_mid_body_lose_nothing(self):
        if http2_server_missing():
            self.skipTest(http2_server_missing())
        # GOAWAY every 3 requests: on the large issue, libcurl 7.88 multiplexes transfers onto a tunnel that
        # is going ("send: no filter connected").
        for fault, issue in (("h2-goaway", LARGE_MAGAZINE.issues["large"]), ("h2-reset", ISSUE_A)):
            with self.subTest(fault):
                self.forget_run(everything=True)
                with SampleServer(self.work, [fault], http2=True) as server:
                    result = self.skerrow.run([https(issue.title_url), self.save], proxy=server.proxy,
                                              env=trusting())
                    requests = server.requests()
                self.assertEqual(result.exit_status, 0, result.stdout[-3000:])
                self.assertIsNone(result.errors_text())
                self.assert_summary(result, "dir", 0, tree=self.saved_tree())
                # Every task asked; a reset reply asked for again, once (a request never processed is asked for
                # again unlogged).
                asked = collections.Counter(url for _, _, url in requests)
                self.assertEqual(set(asked), set(result.downloads()))
                if fault == "h2-reset":
                    self.assertEqual([url for url, times in asked.items() if times % 2], [])

    def test_replies_that_are_no_picture_or_lead_nowhere_save_nothing(self):
        faults = ["html-at-picture", "empty-picture", "endless-picture", "redirect-loop", "redirect-hops",
                  "redirect-other-scheme"]
        html, empty, endless = [sample_server.server_fault_targets(MAGAZINE, f)[0] for f in faults[:3]]
        (loop,), (_, beyond), (other,) = [sample_server.mode_targets(MAGAZINE, f) for f in faults[3:]]
        result, requests = self.run_skerrow([ISSUE_A.title_url, self.save], faults=faults, status=1,
                                            env={"SKERROW_MAX_PICTURE_MB": "1"})
        entries = dict(result.error_entries())
        self.assertEqual(sorted(entries), sorted([html, empty, endless, loop, beyond, other]))
        self.assertIn("не картинка", entries[html])
        self.assertIn("не картинка", entries[empty])
        # The message of a redirect that is not followed names where it led.
        self.assertIn(sample_server.hop_url(loop, 1), entries[loop])
        self.assertIn(sample_server.hop_url(beyond, sample_server.REDIRECT_HOPS[1]), entries[beyond])
        self.assertIn("ftp://" + other[len("http://"):], entries[other])
        # Nothing under the failed pictures' names; the picture 10 redirects away is saved.
        self.assert_issue_saved(ISSUE_A, self.saved_tree(), missing_pictures=entries)
        self.assert_no_temporaries()
        self.assert_costs(result, requests, faults)
        self.assert_rerun_repairs()

    def test_certificate_that_is_not_trusted_saves_nothing(self):
        # Neither SSL_CERT_FILE nor CURL_CA_BUNDLE names the test CA: the system's certificates do not hold it.
        title = https(ISSUE_A.title_url)
        result, requests = self.run_skerrow([title, self.save], status=1, tls=True)
        ((url, message),) = result.error_entries()
        self.assertEqual(url, title)
        self.assertIn("certificate", message)
        self.assertEqual(requests, [])
        self.assert_nothing_saved()
        self.assert_summary(result, "none", 1, pages=0, pictures=0)

    def test_busy_server_beyond_the_retries_fails_the_task(self):
        for retries, attempts in (("0", 1), ("1", 2)):
            with self.subTest(retries=retries):
                self.forget_run()
                result, requests = self.run_skerrow([ISSUE_A.title_url, self.save], faults=["busy"], status=1,
                                                    env={"SKERROW_RETRIES": retries})
                ((url, message),) = result.error_entries()
                self.assertEqual(url, ISSUE_A.title_url)
                self.assertIn("503", message)
                self.assertEqual(requests, [(503, requests[0][1], url)] * attempts)
                self.assert_nothing_saved()


class Overlap(SampleRun):
    """Transfers in flight at once change nothing that can be seen: a run with one at a time
    (SKERROW_CONNECTIONS=1) and one with six save the same tree and show the same console and errors.txt,
    on the first run into a save path and on the second; over HTTP/2, where the six connections carry up to
    SKERROW_STREAMS transfers each, they make the same requests too."""

    def runs(self, connections, issue, faults, env, title=None, http2=False):
        """(console, errors.txt, saved contents, requests in any order) of a first and a second run, with the
        save path masked; title, when given, is the title URL (over https); http2: from h2_server.py."""
        work = os.path.join(self.work, "n" + connections)
        save = os.path.join(work, "save")
        os.makedirs(save)
        skerrow = SkerrowCopy(SKERROW, work)
        results = []
        for _ in range(2):
            with SampleServer(work, faults, tls=title is not None, http2=http2) as server:
                result = skerrow.run([title or issue.title_url, save], proxy=server.proxy,
                                     env=dict(env, SKERROW_CONNECTIONS=connections))
                requests = in_any_order(server.requests())
            errors = result.errors_text()
            if errors is not None:
                os.remove(skerrow.errors_path)
            # What the console shows on both streams, apart.
            console = (result.stdout + "\0" + result.stderr).replace(save, "<SAVE>").replace(work, "<WORK>")
            results.append((result.exit_status, console, errors and errors.replace(save, "<SAVE>"), contents(save),
                            requests))
        return results

    def test_one_at_a_time_and_six_at_once_give_the_same_runs(self):
        rows = [
            (ISSUE_A, [], {}, None),
            (ISSUE_B, [], {}, None),
            (ISSUE_A, ["missing-picture", "drop-mid-body", "other-layout", "error-large-body", "stall-mid-body",
                       "endless-body", "bad-picture-urls"], QUICK_STALL, None),
            # Over https, and with retries.
            (ISSUE_A, [], trusting(), https(ISSUE_A.title_url)),
            (ISSUE_A, ["busy", "drop-keep-alive", "missing-picture", "html-at-picture"], trusting(),
             https(ISSUE_A.title_url)),
            # Over HTTP/2: the streams of six connections at once, SKERROW_STREAMS' default and 3.
            (ISSUE_A, "http2", trusting(), https(ISSUE_A.title_url)),
            (ISSUE_A, "http2", trusting(env={"SKERROW_STREAMS": "3"}), https(ISSUE_A.title_url)),
        ]
        for issue, faults, env, title in rows:
            with self.subTest(issue=issue.key, faults=faults, title=title, env=env):
                http2 = faults == "http2"
                if http2 and http2_server_missing():
                    self.skipTest(http2_server_missing())
                faults = [] if http2 else faults
                for connections in ("n1", "n6"):
                    shutil.rmtree(os.path.join(self.work, connections), True)
                one = self.runs("1", issue, faults, env, title, http2)
                six = self.runs("6", issue, faults, env, title, http2)
                for number, (a, b) in enumerate(zip(one, six), start=1):
                    self.assertEqual(a[0], b[0], "exit status of run %d differs" % number)
                    self.assertTrue(a[1] == b[1], "console of run %d differs" % number)
                    self.assertTrue(a[2] == b[2], "errors.txt of run %d differs" % number)
                    self.assertTrue(a[3] == b[3], "saved tree of run %d differs" % number)
                    if http2:
                        self.assertTrue(a[4] == b[4] and a[4], "requests of run %d differ" % number)
                self.assertEqual(one[0][2] is None, not faults)


class Packing(SampleRun):
    def test_sample_issue_packed_by_the_project_archiver(self):
        if not SKERROW_ZIP or not os.access(SKERROW_ZIP, os.X_OK):
            self.skipTest("SKERROW_ZIP_EXE does not name the SkerrowZip executable")
        result, _ = self.run_skerrow([ISSUE_B.title_url, self.save, SKERROW_ZIP])
        self.assertIsNone(result.errors_text())
        tree = self.saved_tree()
        self.assertEqual(sorted(tree), ["2007_07.zip"], "the issue directory goes once it is packed")
        summary = self.assert_summary(result, "archive", 0, pages=9, pictures=27)
        self.assertEqual(summary.group("archive"), self.save + "/2007_07.zip")
        pictures, pages, dirs = expected_files(ISSUE_B, MAGAZINE)
        with zipfile.ZipFile(os.path.join(self.save, "2007_07.zip")) as archive:
            self.assertIsNone(archive.testzip())
            names = {name.rstrip("/") for name in archive.namelist()}
            # Names are relative to the issue directory.
            strip = len("2007_07/")
            self.assertTrue({p[strip:] for p in pictures} | {p[strip:] for p in pages} <= names, names)
            for path, body in pictures.items():
                self.assertEqual(archive.read(path[strip:]), body, path)

    def test_site_a_packed_whole(self):
        if not SKERROW_ZIP or not os.access(SKERROW_ZIP, os.X_OK):
            self.skipTest("SKERROW_ZIP_EXE does not name the SkerrowZip executable")
        result, _ = self.run_skerrow([ISSUE_A.title_url, self.save, SKERROW_ZIP])
        self.assertIsNone(result.errors_text())
        self.assertEqual(sorted(self.saved_tree()), ["2007_05.zip"])
        summary = self.assert_summary(result, "archive", 0, pages=13, pictures=65)
        self.assertEqual(summary.group("archive"), self.save + "/2007_05.zip")
        # The same command again: the archive that it packed holds the issue whole, so the issue is done before
        # any request; what is made after a run is still made.
        packed = snapshot(self.save)
        again, requests = self.run_skerrow([ISSUE_A.title_url, self.save, SKERROW_ZIP, "--index"])
        self.assertEqual(requests, [])
        self.assertIn("Выпуск уже упакован в архив %s/2007_05.zip, архив проверен: копировать нечего\n" % self.save,
                      again.stdout)
        self.assertIn("Список выпусков: %s/index.htm" % self.save, again.stdout)
        os.remove(os.path.join(self.save, "index.htm"))
        self.assertEqual(snapshot(self.save), packed)
        # An archive spoiled since is set aside, and the copy is made and packed again.
        with open(summary.group("archive"), "r+b") as f:
            f.truncate(1000)
        again, _ = self.run_skerrow([ISSUE_A.title_url, self.save, SKERROW_ZIP],
                                    stderr="Архив {0}.zip повреждён (не читается: Not a zip archive): архив "
                                           "переименован в {0}.zip.bad, выпуск копируется заново\n"
                                    .format(self.save + "/2007_05"))
        self.assert_summary(again, "archive", 0, pages=13, pictures=65)
        self.assertEqual(sorted(self.saved_tree()), ["2007_05.zip", "2007_05.zip.bad"])
        pictures, pages, _ = expected_files(ISSUE_A, MAGAZINE)
        strip = len("2007_05/")
        with zipfile.ZipFile(summary.group("archive")) as archive:
            self.assertIsNone(archive.testzip())
            self.assertTrue({p[strip:] for p in pictures} | {p[strip:] for p in pages} <= set(archive.namelist()))
            for path, body in pictures.items():
                self.assertEqual(archive.read(path[strip:]), body, path)

    def test_ctrl_c_while_the_archiver_runs(self):
        # Ctrl-C reaches the terminal's whole process group, the archiver with the run: the summary says that
        # the packing was interrupted, and how to go on; nothing is logged, and the directory stays.
        started = os.path.join(self.work, "archiver-started")
        os.mkfifo(started)
        archiver = os.path.join(self.work, "slow-archiver")
        with open(archiver, "w") as f:
            f.write("#!/bin/sh\necho started > %s\nexec sleep 120\n" % started)
        os.chmod(archiver, 0o755)
        waiting = os.open(started, os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, waiting)
        with SampleServer(self.work) as server:
            process = subprocess.Popen([self.skerrow.path, ISSUE_B.title_url, self.save, archiver], cwd=self.skerrow.dir,
                                       env=self.skerrow.environment(server.proxy, {}), stdin=subprocess.DEVNULL,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
            try:
                self.assertTrue(select.select([waiting], [], [], 120)[0], "the archiver never started")
                os.killpg(process.pid, signal.SIGINT)
            finally:
                result = RunResult.of_process(process, self.skerrow.errors_path)
        self.assertEqual(result.exit_status, 130, result.stdout + result.stderr)
        self.assert_streams(result, "")
        summary = self.assert_summary(result, "unfinished", 0, pages=9, pictures=27)
        self.assertEqual((summary.group("how"), summary.group("packing")), ("прервано", " при упаковке"))
        self.assertEqual(summary.group("done"), summary.group("known"))
        self.assertEqual(result.stdout.splitlines()[-1], NOT_DONE)
        self.assert_issue_saved(ISSUE_B, self.saved_tree())

    def test_archiver_that_reports_success_without_an_archive(self):
        # /bin/true, and a program that a prefix of an unquoted archiver path with blanks would name.
        impostor_dir = os.path.join(self.work, "my arch")
        os.makedirs(impostor_dir)
        impostor = os.path.join(self.work, "my")
        with open(impostor, "w") as f:
            f.write("#!/bin/sh\ntouch %s/impostor-ran\n" % self.work)
        os.chmod(impostor, 0o755)
        os.symlink("/bin/true", os.path.join(impostor_dir, "SkerrowZip"))
        for archiver in ("/bin/true", os.path.join(impostor_dir, "SkerrowZip")):
            with self.subTest(archiver=archiver):
                shutil.rmtree(os.path.join(self.save, "2007_07"), ignore_errors=True)
                result, _ = self.run_skerrow([ISSUE_B.title_url, self.save, archiver], status=1)
                # A packing failure is logged like any other, under the contents page's address.
                ((url, message),) = result.error_entries()
                self.assertEqual(url, ISSUE_B.title_url)
                self.assertTrue(message.startswith("Архиватор сообщил об успешном завершении, но архива %s/2007_07.zip нет"
                                                   % self.save), message)
                self.assertFalse(os.path.exists(os.path.join(self.work, "impostor-ran")))
                self.assert_issue_saved(ISSUE_B, self.saved_tree())
                self.assert_summary(result, "unpacked", 0, pages=9, pictures=27)
                self.forget_run(issue_too=False)


LARGE_MAGAZINE = samples.build(large=True)
PICTURE_SIGNATURES = {b"\xff\xd8\xff": "image/jpeg", b"\x89PNG\r\n\x1a\n": "image/png", b"GIF8": "image/gif"}


def picture_type(body):
    return next((kind for signature, kind in PICTURE_SIGNATURES.items() if body.startswith(signature)), None)


class ReadersCopy(SampleRun):
    """--epub and --index. The book beside the saved issue passes epubcheck with nothing to report; it holds
    the contents page and the saved articles in the navigation bar's order, titled as the contents page
    titles them, every saved picture typed by its bytes, the cover, and names on its contents page what
    failed. The page of saved issues lists what lies on disk, and never replaces a file of the user's."""

    def clear_save(self):
        for name in os.listdir(self.save):
            if name != SENTINEL:
                path = os.path.join(self.save, name)
                shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
        self.forget_run(issue_too=False)

    def check_book(self, issue, missing_pages=(), missing_pictures=()):
        path = os.path.join(self.save, issue.issue_name + ".epub")
        if epubcheck_command():
            counts, output = epubcheck(path)
            self.assertEqual(counts, (0, 0, 0), output[-3000:])
        book = Book(path)
        self.assertEqual((book.infos[0].filename, book.infos[0].compress_type, book.files["mimetype"]),
                         ("mimetype", zipfile.ZIP_STORED, b"application/epub+zip"))
        self.assertEqual((book.identifier, book.language, book.date),
                         (issue.title_url, "ru", issue.issue_name.replace("_", "-")))
        self.assertIn(issue.month_text, book.title)
        saved = [index for index in range(len(issue.pages())) if index not in missing_pages]
        names = [issue.pages()[index].page_name + ".xhtml" for index in saved]
        self.assertEqual(book.spine, names)
        self.assertEqual(book.nav, [(names[0], book.title)] + [(issue.pages()[i].page_name + ".xhtml",
                                                                issue.titles[i - 1]) for i in saved[1:]])
        expected = {}
        for index in saved:
            for name, url in issue.pages()[index].picture_files():
                if url not in missing_pictures:
                    expected[name.rsplit(".", 1)[0]] = self.magazine_of(issue).resources[url].body
        pictures = book.pictures()
        self.assertEqual({href.rsplit(".", 1)[0]: body for href, (_, body) in pictures.items()}, expected)
        for href, (kind, body) in pictures.items():
            self.assertEqual(kind, picture_type(body), href)
        contents = book.text(names[0])
        notice = re.search(r'<div class="skerrow-missing">(.*?)</div>', contents, re.S)
        self.assertEqual(notice is not None, bool(missing_pages or missing_pictures))
        for index in missing_pages:
            self.assertIn("«%s» (%s)" % (issue.titles[index - 1], issue.pages()[index].file_name), notice.group(1))
            self.assertNotIn(issue.pages()[index].page_name + ".xhtml", contents)
        for page in issue.pages():
            for name, url in page.picture_files():
                if url in missing_pictures:
                    self.assertIn("картинка " + name, notice.group(1))
        return book

    def magazine_of(self, issue):
        return LARGE_MAGAZINE if issue.key == "large" else MAGAZINE

    def test_books_of_the_sample_issues_pass_epubcheck(self):
        large = LARGE_MAGAZINE.issues["large"]
        faults = ["missing-picture", "drop-mid-body"]
        failed = samples.fault_targets(MAGAZINE, "missing-picture") + samples.fault_targets(MAGAZINE, "drop-mid-body")[1:]
        rows = [
            (ISSUE_A, [], [], 0, [], []),
            # Packed: the book is made from the archive.
            (ISSUE_B, [], [SKERROW_ZIP] if SKERROW_ZIP else [], 0, [], []),
            (large, [], [], 0, [], []),
            # A failed article and two failed pictures.
            (ISSUE_A, faults, [], 1, [3], failed),
        ]
        for issue, row_faults, archiver, status, missing_pages, missing_pictures in rows:
            with self.subTest(issue=issue.key, faults=row_faults, packed=bool(archiver)):
                self.clear_save()
                result, _ = self.run_skerrow(["--epub", issue.title_url, self.save] + archiver, faults=row_faults,
                                             status=status, large=issue.key == "large")
                book_path = os.path.join(self.save, issue.issue_name + ".epub")
                self.assertIn("Книга выпуска: " + book_path, result.stdout)
                book = self.check_book(issue, missing_pages, missing_pictures)
                if archiver:
                    self.assertEqual(sorted(self.saved_tree()), [issue.issue_name + ".epub", issue.issue_name + ".zip"])
                self.assertEqual(book.cover() is not None, issue.key != "large")
                self.assert_no_temporaries()
        # The same command repairs the copy of the last row and remakes its book; once more, the book is
        # up to date and left as it is.
        book_path = os.path.join(self.save, ISSUE_A.issue_name + ".epub")
        # errors.txt holds the rows' entries above; the repair run must add none.
        if os.path.exists(result.errors_path):
            os.remove(result.errors_path)
        result, _ = self.run_skerrow(["--epub", ISSUE_A.title_url, self.save])
        self.assertIn("Книга выпуска: " + book_path, result.stdout)
        self.check_book(ISSUE_A)
        before = snapshot(self.save)
        result, _ = self.run_skerrow(["--epub", ISSUE_A.title_url, self.save])
        self.assertIn("Книга выпуска уже сделана из этой копии: " + book_path, result.stdout)
        self.assertEqual(snapshot(self.save), before)

    def test_index_lists_the_issues_on_disk(self):
        if not SKERROW_ZIP:
            self.skipTest("SKERROW_ZIP_EXE does not name the SkerrowZip executable")
        large = LARGE_MAGAZINE.issues["large"]
        self.run_skerrow(["--epub", ISSUE_A.title_url, self.save])
        self.run_skerrow(["--index", ISSUE_B.title_url, self.save, SKERROW_ZIP])
        # The user deletes issue a's directory; its book stays.
        shutil.rmtree(os.path.join(self.save, ISSUE_A.issue_name))
        before = {path: state for path, state in snapshot(self.save).items() if path != "index.htm"}
        result, _ = self.run_skerrow(["--index", large.title_url, self.save], large=True)
        after = snapshot(self.save)
        self.assertEqual({path: after[path] for path in before}, before, "the index touched other files")
        with open(os.path.join(self.save, "index.htm"), encoding="utf-8") as f:
            page = f.read()
        self.assertIn("Список выпусков: " + os.path.join(self.save, "index.htm"), result.stdout)
        groups = re.findall(r"<h2>(\d{4})</h2>", page)
        self.assertEqual(groups, ["2008", "2007"])
        entries = page.split('<div class="issue">')[1:]
        rows = [(large, ["2008_12/2008_12_00.htm"], 50, False), (ISSUE_B, ["2007_07.zip"], 8, True),
                (ISSUE_A, ["2007_05.epub"], 12, True)]
        self.assertEqual(len(entries), len(rows))
        for entry, (issue, links, articles, cover) in zip(entries, rows):
            with self.subTest(issue=issue.key):
                self.assertIn(issue.month_text, entry)
                self.assertEqual(re.findall(r'href="([^"]+)"', entry), links)
                self.assertIn("Статей: %d<" % articles, entry)
                self.assertEqual("data:image/" in entry, cover)

    def test_index_never_replaces_a_file_of_the_users(self):
        index = os.path.join(self.save, "index.htm")
        with open(index, "wb") as f:
            f.write(SENTINEL_BYTES)
        before = snapshot(self.save)
        result, _ = self.run_skerrow(["--index", ISSUE_A.title_url, self.save], faults=["no-title"], status=1)
        self.assertIn("записан не Skerrow", result.stderr)
        self.assertEqual(snapshot(self.save), before)


def load_tests(loader, tests, pattern):
    return load_shard(tests)


if __name__ == "__main__":
    unittest.main(verbosity=2)
