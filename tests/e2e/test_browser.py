#!/usr/bin/env python3
"""Skerrow's copies of the sample issues, as a browser shows them.

The real Skerrow executable copies the sample issues of both sites through the sample magazine server;
headless Chromium then opens every saved page from file:// at a width of 1280 px and checks that every
picture has loaded (natural width above 0), that every local link, the navigation bar's and the contents
page's included, leads to a saved page of the issue, that the page needs no horizontal scrolling and every
article title of a contents page lies inside the window's width, and that the Russian text is decoded as
windows-1251 and drawn with real glyphs. Screenshots of the contents pages and of one article per site are
kept in E2E_ARTIFACT_DIR. Every saved page is also read by HTML Tidy (`tidy -e -q`): it must report no
error in the nesting of tables, rows and cells that it does not report for the page the site served.
The copies are made with --epub and --index: every page of both books, unpacked, and the page of saved
issues are opened the same way (pictures loaded, local links to files that exist, no sideways scrolling).

Chromium is driven over its DevTools protocol on a pipe (--remote-debugging-pipe). Where it is not
installed or cannot start, the test says so and exits with status 77, which CTest counts as skipped.

    SKERROW_EXE=path/to/Skerrow [CHROMIUM=path/to/chromium] [E2E_ARTIFACT_DIR=dir] python3 test_browser.py
"""

import base64
import fcntl
import http.server
import threading
import json
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import urllib.request
import zipfile

from e2e_support import Book, SampleServer, SkerrowCopy, samples, stop_process
import pictures

SKIP_STATUS = 77
SKERROW = os.environ.get("SKERROW_EXE", "")
ARTIFACTS = os.environ.get("E2E_ARTIFACT_DIR") or os.path.join(tempfile.gettempdir(), "skerrow-e2e-artifacts")
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--disable-extensions", "--hide-scrollbars", "--window-size=1280,1400"]
WINDOW_WIDTH = 1280


class ChromiumUnavailable(Exception):
    pass


class Chromium:
    """Headless Chromium with one page, driven over the DevTools protocol on fds 3 (commands) and 4
    (replies and events), JSON messages ended by a NUL byte."""

    def __init__(self, executable, user_data_dir, timeout=60, proxy=None):
        self.timeout = timeout
        commands_read, self.commands = os.pipe()
        self.replies, replies_write = os.pipe()

        def child_fds():
            # Move both ends out of the way first: dup2 onto the fd it already is would keep close-on-exec.
            a = fcntl.fcntl(commands_read, fcntl.F_DUPFD, 10)
            b = fcntl.fcntl(replies_write, fcntl.F_DUPFD, 10)
            os.dup2(a, 3)
            os.dup2(b, 4)

        self.stderr = tempfile.TemporaryFile()
        self.stderr_tail = ""
        self.process = subprocess.Popen(
            [executable] + CHROMIUM_FLAGS + ["--user-data-dir=" + user_data_dir, "--remote-debugging-pipe"] +
            (["--proxy-server=" + proxy] if proxy else []) + ["about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.stderr, close_fds=False,
            preexec_fn=child_fds)
        os.close(commands_read)
        os.close(replies_write)
        self.buffer = b""
        self.next_id = 0
        self.events = []
        try:
            targets = self.call("Target.getTargets")["targetInfos"]
            page = next(t for t in targets if t["type"] == "page")
            self.session = self.call("Target.attachToTarget", {"targetId": page["targetId"], "flatten": True})[
                "sessionId"]
            self.call("Page.enable", session=True)
        except (ChromiumUnavailable, StopIteration, KeyError) as e:
            self.close()
            raise ChromiumUnavailable("Chromium did not start: %s\n%s" % (e, self.stderr_tail))

    def close(self):
        stop_process(self.process)
        if not self.stderr.closed:
            self.stderr.seek(0)
            self.stderr_tail = self.stderr.read().decode("utf-8", "replace")[-3000:]
        for fd in (self.commands, self.replies):
            try:
                os.close(fd)
            except OSError:
                pass
        self.stderr.close()

    def _read_message(self, deadline):
        while b"\0" not in self.buffer:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise ChromiumUnavailable("no answer from Chromium within %d s" % self.timeout)
            ready, _, _ = select.select([self.replies], [], [], remaining)
            if ready:
                chunk = os.read(self.replies, 1 << 20)
                if not chunk:
                    raise ChromiumUnavailable("Chromium closed its DevTools pipe (exit status %s)"
                                              % self.process.poll())
                self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method, params=None, session=False):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = self.session
        data = json.dumps(message).encode() + b"\0"
        try:
            os.write(self.commands, data)
        except BrokenPipeError:
            raise ChromiumUnavailable("Chromium is gone")
        deadline = time.monotonic() + self.timeout
        while True:
            reply = self._read_message(deadline)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError("%s failed: %s" % (method, reply["error"]))
                return reply["result"]
            if "method" in reply:
                self.events.append(reply)

    def wait_event(self, method):
        deadline = time.monotonic() + self.timeout
        while True:
            for number, event in enumerate(self.events):
                if event["method"] == method and event.get("sessionId") == self.session:
                    del self.events[:number + 1]
                    return event
            self.events.append(self._read_message(deadline))

    def open(self, url):
        """Navigates to url and returns once its load event (all pictures in) has fired."""
        self.events.clear()
        self.call("Page.navigate", {"url": url}, session=True)
        self.wait_event("Page.loadEventFired")

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True}, session=True)
        if "exceptionDetails" in result:
            raise RuntimeError("script failed: %s" % result["exceptionDetails"])
        return result["result"]["value"]

    def screenshot(self, path):
        data = self.call("Page.captureScreenshot", {"format": "png"}, session=True)["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))


# What the test reads from a page: its pictures, its links, its text and whether Cyrillic letters are
# drawn with glyphs of their own (four letters drawn as a missing-glyph box would give one image).
PAGE_FACTS = r"""
(() => {
  const root = document.body || document.documentElement;
  const font = getComputedStyle(root).fontFamily || "serif";
  const glyph = (letter) => {
    const canvas = document.createElement("canvas");
    canvas.width = 48; canvas.height = 48;
    const context = canvas.getContext("2d");
    context.font = "36px " + font;
    context.fillText(letter, 4, 38);
    return canvas.toDataURL();
  };
  return {
    charset: document.characterSet,
    title: document.title,
    text: root.innerText,
    pictures: [...document.images].map(i => ({src: i.getAttribute("src"), complete: i.complete,
                                              width: i.naturalWidth, height: i.naturalHeight})),
    links: [...document.querySelectorAll("a[href]")].map(a => {
      const box = a.getBoundingClientRect();
      return {href: a.getAttribute("href"), url: a.href, text: a.textContent, left: box.left, right: box.right};
    }),
    remote: performance.getEntriesByType("resource").map(e => e.name).filter(n => /^https?:/.test(n)),
    shown: [...document.images].filter(i => i.complete && i.naturalWidth > 0).map(i => i.currentSrc),
    backgrounds: [...document.querySelectorAll("[background]")].map(
      e => new URL(e.getAttribute("background"), document.baseURI).href),
    viewport: window.innerWidth,
    scrollWidth: Math.max(document.documentElement.scrollWidth, root.scrollWidth),
    glyphs: new Set(["Ж", "Щ", "Я", "ф", " "].map(glyph)).size,
  };
})()
"""


# Tidy's reports about the nesting of tables, rows and cells ("discarding unexpected </tr>", "missing <td>"),
# not those about their attributes.
TABLE_NESTING = re.compile(r"</?(?:table|tr|td|th|tbody|thead|tfoot)>")


def table_nesting_reports(html):
    """Tidy's table nesting reports for a windows-1251 page, without their line and column."""
    result = subprocess.run(["tidy", "-e", "-q", "-raw"], input=html, capture_output=True, timeout=60)
    reports = set()
    for line in result.stderr.decode("latin-1").splitlines():
        text = re.sub(r"^line \d+ column \d+ - ", "", line)
        if TABLE_NESTING.search(text) and "attribute" not in text:
            reports.add(text)
    return reports


def is_external(href):
    return urllib.parse.urlparse(href).scheme in ("http", "https", "mailto", "javascript")


def file_url(path):
    return "file://" + urllib.request.pathname2url(path)


def url_to_path(url):
    return urllib.request.url2pathname(urllib.parse.urlparse(url).path)


# An issue of site A whose pages hold the shapes of real pages that a copy must read as a browser does: tag
# and attribute names in capitals, an href inside another attribute's value, picture links to .JPG, .jpeg
# and .webp, a character reference beyond ASCII in a picture's address, a cell inside a division of the
# article's cell, a script holding "</td>" inside a picture cell, and text in comments and scripts.
SHAPES_HEAD = ('<html><head><title>%s</title>'
               '<meta http-equiv="Content-Type" content="text/html; charset=windows-1251"></head>\n<body>\n')
SHAPES_CONTENTS = SHAPES_HEAD % "Содержание" + """<table><tr><td class="block_main_inner">
<table width="100%">
<tr><td><a class="t_link_big" href="/issue/200705/"><b>Май 2007</b></a></td></tr>
<tr><td><a class="t_link_big" href="/art/one.html">Страница примеров</a></td></tr>
<tr><td><A CLASS="t_link_big" HREF="/art/two.html">Вторая статья</A></td></tr>
<tr><td><a title='href="/art/one.html"' href="http://example.org/">Внешняя ссылка</a>
<!-- <a href="/art/none.html">скрыто</a> --></td></tr>
</table>
<noindex>Баннер</noindex>
</td></tr></table></body></html>
"""
# The texts of the first article's cell, each of which the saved page must show (the picture cell becomes
# its picture, linked as the cell's link was).
SHAPES_TEXTS = ["Страница примеров", "Крупная картинка:", "Ещё две:", "Буква в адресе:", "Реклама в ячейке",
                "Текст после рекламы.", "Три картинки после рекламы:", "Конец статьи."]
SHAPES_ARTICLE = SHAPES_HEAD % "Примеры" + """<table><tr>
<td class="block_header_main_inner">
<h2>Страница примеров</h2>
<p>Крупная картинка: <a href="pics/big5.JPG"><img src="small5.jpg"></a></p>
<p>Ещё две: <a href="pics/big6.jpeg"><img src="small6.jpg"></a> <A HREF='pics/big7.webp'><IMG SRC=small7.jpg></A></p>
<p>Буква в адресе: <img title='src="pics/none.png"' src="p/&#1092;.png" alt="a > b"></p>
<div class=ad><td>Реклама в ячейке</td></div>
<p>Текст после рекламы.</p>
<p>Три картинки после рекламы: <img src="pics/after1.png"> <img src="pics/after2.png"> <img src="pics/after3.png"></p>
<table><tr><td background="pics/bg.png" width="180" height="120"><script>var cell = "</td>";</script>
<a href="http://example.org/gallery">Ячейка с фоном</a></td></tr></table>
<!-- <img src="pics/none.png"> -->
<p>Конец статьи.</p>
</td>
<td class="block_logs">Журнал</td>
</tr></table></body></html>
"""
SHAPES_SECOND = SHAPES_HEAD % "Вторая" + """<table><tr><td class="block_header_main_inner">
<h2>Вторая статья</h2><p>Короткий текст.</p></td><td class="block_logs">Журнал</td></tr></table></body></html>
"""
SHAPES_PICTURES = ["art/pics/big5.JPG", "art/pics/big6.jpeg", "art/pics/big7.webp", "art/p/%D1%84.png",
                   "art/pics/after1.png", "art/pics/after2.png", "art/pics/after3.png", "art/pics/bg.png"]


class ShapesSite(http.server.ThreadingHTTPServer):
    """The shapes issue on 127.0.0.1, as the HTTP proxy that a copy asks for every address; 404 for any other
    address. Every picture is a real PNG, whatever its name says (browsers read pictures by their bytes)."""

    def __init__(self):
        root = "http://mag-a.test/"
        self.replies = {root + "issue/200705/": SHAPES_CONTENTS.encode("cp1251"),
                        root + "art/one.html": SHAPES_ARTICLE.encode("cp1251"),
                        root + "art/two.html": SHAPES_SECOND.encode("cp1251")}
        for seed, name in enumerate(SHAPES_PICTURES):
            self.replies[root + name] = pictures.drawn_png(seed + 1)
        self.requests = []
        site = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, format, *args):
                pass

            def do_GET(self):
                site.requests.append(self.path)
                body = site.replies.get(self.path)
                self.send_response(200 if body is not None else 404)
                self.send_header("Content-Length", str(len(body or b"")))
                self.end_headers()
                self.wfile.write(body or b"")

        super().__init__(("127.0.0.1", 0), Handler)
        self.thread = threading.Thread(target=self.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.shutdown()
        self.thread.join()
        self.server_close()

    @property
    def proxy(self):
        return "http://127.0.0.1:%d" % self.server_address[1]


class BrowserView(unittest.TestCase):
    chromium = None
    hostile_server = None
    work = None
    save = None
    magazine = samples.build()
    magazine_hostile = samples.build(faults=["hostile"])

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="skerrow-browser-")
        cls.save = os.path.join(cls.work, "save")
        os.makedirs(ARTIFACTS, exist_ok=True)
        skerrow = SkerrowCopy(SKERROW, cls.work)
        with SampleServer(cls.work) as server:
            for issue in ("a", "b"):
                result = skerrow.run(["--epub", "--index", cls.magazine.issues[issue].title_url, cls.save],
                                     proxy=server.proxy)
                if result.errors_text() is not None or result.exit_status != 0:
                    raise AssertionError("copying sample issue %s failed:\n%s" % (issue, result.stdout))
        cls.shapes_save = os.path.join(cls.work, "shapes")
        with ShapesSite() as site:
            cls.shapes_result = skerrow.run(["http://mag-a.test/issue/200705/", cls.shapes_save], proxy=site.proxy)
            cls.shapes_requests = list(site.requests)
        # The hostile issues, one copy per site; the server stays for Chromium to show the originals.
        cls.hostile_server = SampleServer(cls.work, faults=["hostile"]).__enter__()
        cls.hostile_results = {}
        for site, url in (("a", samples.HOSTILE_A), ("b", samples.HOSTILE_B)):
            cls.hostile_results[site] = skerrow.run([url, os.path.join(cls.work, "hostile-" + site)],
                                                    proxy=cls.hostile_server.proxy)
        cls.chromium = Chromium(CHROMIUM_EXE, os.path.join(cls.work, "chromium-profile"),
                                proxy=cls.hostile_server.proxy)

    @classmethod
    def tearDownClass(cls):
        if cls.chromium:
            cls.chromium.close()
        if cls.hostile_server:
            cls.hostile_server.__exit__(None, None, None)
        shutil.rmtree(cls.work, True)

    def page_path(self, issue, page):
        return os.path.join(self.save, issue.issue_name, page.file_name)

    def check_page(self, issue, index, screenshot=None):
        """Opens page index of the issue and checks its pictures, links and text; returns the page facts."""
        page = issue.pages()[index]
        path = self.page_path(issue, page)
        self.chromium.open(file_url(path))
        facts = self.chromium.evaluate(PAGE_FACTS)
        if screenshot:
            self.chromium.screenshot(os.path.join(ARTIFACTS, screenshot))
        where = page.file_name

        # Every picture of the saved file is there and decoded.
        with open(path, "rb") as f:
            tags = f.read().count(b"<img ")
        self.assertEqual(len(facts["pictures"]), tags, where)
        self.assertEqual({p["src"] for p in facts["pictures"]}, {name for name, _ in page.picture_files()}, where)
        for picture in facts["pictures"]:
            self.assertTrue(picture["complete"] and picture["width"] > 0 and picture["height"] > 0,
                            "%s: picture %s did not load" % (where, picture["src"]))

        # Every local link leads to a saved page of this issue.
        saved = {self.page_path(issue, p) for p in issue.pages()}
        for link in facts["links"]:
            if is_external(link["href"]):
                continue
            target = url_to_path(link["url"])
            self.assertIn(target, saved, "%s: link %s (%s) leads nowhere" % (where, link["href"], link["text"]))

        # Nothing of the page comes from the web: it is read offline.
        self.assertEqual(facts["remote"], [], where)
        # The page fits the window's width.
        self.assertEqual(facts["viewport"], WINDOW_WIDTH, where)
        self.assertLessEqual(facts["scrollWidth"], facts["viewport"], "%s scrolls sideways" % where)

        # The text is read as windows-1251 and drawn with real glyphs.
        self.assertEqual(facts["charset"].lower(), "windows-1251", where)
        self.assertEqual(facts["glyphs"], 5, "%s: Cyrillic letters are not drawn with glyphs" % where)
        return facts

    def assert_titles_inside_window(self, issue, facts, suffix=""):
        """Every article title of the contents page lies inside the window's width."""
        boxes = {link["text"]: link for link in facts["links"]}
        for title in issue.titles:
            box = boxes.get(title + suffix)
            self.assertIsNotNone(box, title)
            self.assertTrue(0 <= box["left"] < box["right"] <= facts["viewport"],
                            "%s: title %s stands at %.0f-%.0f px" % (issue.contents.file_name, title, box["left"],
                                                                     box["right"]))

    def test_saved_pages_keep_their_tables_nested_as_the_sources(self):
        if not shutil.which("tidy"):
            self.skipTest("HTML Tidy is not installed (Debian package tidy)")
        for site in ("a", "b"):
            issue = self.magazine.issues[site]
            for page in issue.pages():
                with self.subTest(page=page.file_name):
                    with open(self.page_path(issue, page), "rb") as f:
                        saved = table_nesting_reports(f.read())
                    source = table_nesting_reports(self.magazine.resources[page.url].body)
                    self.assertEqual(saved - source, set(), page.file_name)

    def links_by_text(self, facts):
        return {link["text"]: os.path.basename(url_to_path(link["url"])) for link in facts["links"]
                if not is_external(link["href"])}

    def check_every_page(self, site, check):
        """check_page on every page of the site's issue, each a subtest (screenshots of the contents page
        and the first article), then check(index, facts, local links by text) for what the site adds."""
        issue = self.magazine.issues[site]
        for index, page in enumerate(issue.pages()):
            with self.subTest(page=page.file_name):
                shot = {0: "contents", 1: "article"}.get(index)
                shot = shot and "browser-site-%s-%s.png" % (site, shot)
                facts = self.check_page(issue, index, shot)
                check(index, facts, self.links_by_text(facts))

    def test_site_a_issue(self):
        issue = self.magazine.issues["a"]
        pages = issue.pages()
        last = len(pages) - 1

        def check(index, facts, links):
            # The navigation bar: previous page, contents and next page.
            nav = {text: links.get(text) for text in ("[<<<<]", "[Оглавление]", "[>>>>]")}
            self.assertEqual(nav, {
                "[<<<<]": pages[index - 1].file_name if index > 0 else None,
                "[Оглавление]": pages[0].file_name if index > 0 else None,
                "[>>>>]": pages[index + 1].file_name if index < last else None,
            })
            if index == 0:
                # The contents: each article's title links to its saved page.
                for article, title in zip(issue.articles, issue.titles):
                    self.assertEqual(links.get(title), article.file_name, title)
                self.assert_titles_inside_window(issue, facts)
                self.assertIn("Май 2007", facts["text"])
            else:
                self.assertIn(issue.titles[index - 1], facts["text"])

        self.check_every_page("a", check)

    def test_site_b_issue(self):
        issue = self.magazine.issues["b"]

        def check(index, facts, links):
            if index == 0:
                self.assertIn("Журнал «Дальние страны» — Июль 2007", facts["text"])
                for article, title in zip(issue.articles, issue.titles):
                    self.assertEqual(links.get(title + " "), article.file_name, title)
                self.assert_titles_inside_window(issue, facts, " ")
            else:
                self.assertEqual(links.get("Оглавление"), issue.contents.file_name)
                self.assertIn(issue.titles[index - 1], facts["text"])

        self.check_every_page("b", check)

    def check_local_view(self, path, encoding, screenshot=None):
        """Opens path and checks that every picture loads, every local link leads to a file that exists and
        the page needs no horizontal scrolling; returns the page facts."""
        self.chromium.open(file_url(path))
        facts = self.chromium.evaluate(PAGE_FACTS)
        if screenshot:
            self.chromium.screenshot(os.path.join(ARTIFACTS, screenshot))
        with open(path, "rb") as f:
            self.assertEqual(len(facts["pictures"]), f.read().count(b"<img "), path)
        for picture in facts["pictures"]:
            self.assertTrue(picture["complete"] and picture["width"] > 0, "%s: picture did not load" % path)
        for link in facts["links"]:
            if not is_external(link["href"]):
                self.assertTrue(os.path.isfile(url_to_path(link["url"])), "%s: link %s leads nowhere" % (path, link["href"]))
        self.assertEqual(facts["remote"], [], path)
        self.assertEqual(facts["viewport"], WINDOW_WIDTH, path)
        self.assertLessEqual(facts["scrollWidth"], facts["viewport"], "%s scrolls sideways" % path)
        self.assertEqual(facts["charset"].lower(), encoding, path)
        self.assertEqual(facts["glyphs"], 5, "%s: Cyrillic letters are not drawn with glyphs" % path)
        return facts

    def test_books_unpacked_and_the_index_of_saved_issues(self):
        for site in ("a", "b"):
            issue = self.magazine.issues[site]
            book_path = os.path.join(self.save, issue.issue_name + ".epub")
            unpacked = os.path.join(self.work, "book-" + site)
            with zipfile.ZipFile(book_path) as archive:
                archive.extractall(unpacked)
            book = Book(book_path)
            for index, name in enumerate(["nav.xhtml"] + book.spine):
                with self.subTest(book=site, page=name):
                    shot = "browser-book-%s-contents.png" % site if index == 1 else None
                    facts = self.check_local_view(os.path.join(unpacked, "EPUB", name), "utf-8", shot)
                    expected = [book.title, issue.month_text] + issue.titles
                    self.assertIn(expected[index], facts["text"])
        with self.subTest(page="index.htm"):
            facts = self.check_local_view(os.path.join(self.save, "index.htm"), "utf-8", "browser-index.png")
            self.assertEqual(len(facts["pictures"]), 2, "the covers of both issues")
            self.assertEqual(sorted(os.path.basename(url_to_path(link["url"])) for link in facts["links"]),
                             ["2007_05.epub", "2007_05_00.htm", "2007_07.epub", "2007_07_00.htm"])

    def test_shapes_issue_is_read_as_a_browser_reads_it(self):
        result = self.shapes_result
        self.assertEqual((result.exit_status, result.errors_text()), (0, None), result.stdout)
        # Every picture and page asked for once, each address as a browser asks for it.
        expected = ["http://mag-a.test/issue/200705/", "http://mag-a.test/art/one.html",
                    "http://mag-a.test/art/two.html"] + ["http://mag-a.test/" + name for name in SHAPES_PICTURES]
        self.assertEqual(sorted(self.shapes_requests), sorted(expected))

        directory = os.path.join(self.shapes_save, "2007_05")
        pages = ["2007_05_00.htm", "2007_05_01.htm", "2007_05_02.htm"]
        saved = {os.path.join(directory, page) for page in pages}
        sources = [SHAPES_CONTENTS, SHAPES_ARTICLE, SHAPES_SECOND]
        for index, page in enumerate(pages):
            with self.subTest(page=page):
                path = os.path.join(directory, page)
                self.chromium.open(file_url(path))
                facts = self.chromium.evaluate(PAGE_FACTS)
                for picture in facts["pictures"]:
                    self.assertTrue(picture["complete"] and picture["width"] > 0,
                                    "%s: picture %s did not load" % (page, picture["src"]))
                for link in facts["links"]:
                    if not is_external(link["href"]):
                        self.assertIn(url_to_path(link["url"]), saved, "%s: link %s leads nowhere" % (page, link["href"]))
                if shutil.which("tidy"):
                    with open(path, "rb") as f:
                        nesting = table_nesting_reports(f.read())
                    self.assertEqual(nesting - table_nesting_reports(sources[index].encode("cp1251")), set(), page)
                if index == 0:
                    self.assertEqual(self.links_by_text(facts).get("Вторая статья"), "2007_05_02.htm")
                    self.assertEqual(self.links_by_text(facts).get("Страница примеров"), "2007_05_01.htm")
                if index == 1:
                    self.assertEqual(len(facts["pictures"]), 8)
                    for text in SHAPES_TEXTS:
                        self.assertIn(text, facts["text"], page)
                    self.assertEqual(sorted(os.listdir(os.path.join(directory, "2007_05_01"))),
                                     ["01.jpg", "02.jpeg", "03.webp", "04.png", "05.png", "06.png", "07.png",
                                      "08.png"])

    def shown_pictures(self, facts):
        """The bytes of every picture a page shows, as a picture or as a background that exists, sorted: the
        sample server's for a web address, the file's for a local one. A placeholder (pics/blank.gif) is no
        picture of the page: a script or a cell's background shows the picture in its place."""
        placeholder = self.magazine_hostile.resources[samples.HOSTILE_A + "pics/blank.gif"].body
        bodies = []
        for url in facts["shown"] + facts["backgrounds"]:
            if url.startswith("file:"):
                if os.path.isfile(url_to_path(url)):
                    with open(url_to_path(url), "rb") as f:
                        bodies.append(f.read())
            elif url in self.magazine_hostile.resources:
                bodies.append(self.magazine_hostile.resources[url].body)
        return sorted(body for body in bodies if body != placeholder)

    def test_hostile_pages_show_offline_what_a_browser_shows_online(self):
        """Each hostile case: the saved page, opened offline, shows the texts and the very pictures that the
        original shows in the browser online, and a copy of each site ends with nothing logged."""
        for site in ("a", "b"):
            with self.subTest(copy=site):
                result = self.hostile_results[site]
                self.assertEqual((result.exit_status, result.errors_text()), (0, None), result.stdout)
        directory_a = os.path.join(self.work, "hostile-a", "2009_01")
        directory_b = os.path.join(self.work, "hostile-b", "2009_01")
        cases = [("contents", samples.HOSTILE_A, os.path.join(directory_a, "2009_01_00.htm"),
                  ["Случай " + slug for slug, _, _ in samples.HOSTILE_CASES])]
        for index, (slug, texts, _) in enumerate(samples.HOSTILE_CASES, start=1):
            cases.append((slug, samples.HOSTILE_A + slug + ".html",
                          os.path.join(directory_a, "2009_01_%02d.htm" % index), texts))
        cases += [("utf-8 contents", samples.HOSTILE_B, os.path.join(directory_b, "2009_01_00.htm"),
                   ["Январь 2009", "Буквы в адресе"]),
                  ("utf-8 article", samples.HOSTILE_B.replace("/issues/2009/01/", "/print/article/2009/01/utf/"),
                   os.path.join(directory_b, "2009_01_01.htm"), ["Снимок по запросу"])]
        for name, url, path, texts in cases:
            with self.subTest(case=name):
                self.chromium.open(url)
                online = self.chromium.evaluate(PAGE_FACTS)
                self.chromium.open(file_url(path))
                facts = self.chromium.evaluate(PAGE_FACTS)
                self.assertEqual(facts["charset"].lower(), "windows-1251", name)
                self.assertEqual(facts["remote"], [], name)
                for picture in facts["pictures"]:
                    self.assertTrue(picture["complete"] and picture["width"] > 0, "%s: %s" % (name, picture["src"]))
                for link in facts["links"]:
                    if not is_external(link["href"]):
                        self.assertTrue(os.path.isfile(url_to_path(link["url"])), "%s: %s" % (name, link["href"]))
                for text in texts:
                    self.assertIn(text, online["text"], "the original shows it")
                    self.assertIn(text, facts["text"], "%s: %s" % (name, text))
                if name != "contents":
                    self.assertEqual(len(self.shown_pictures(facts)), len(self.shown_pictures(online)), name)
                    self.assertEqual(self.shown_pictures(facts), self.shown_pictures(online), name)


def find_chromium():
    candidates = [os.environ.get("CHROMIUM"), shutil.which("chromium"), shutil.which("chromium-browser")]
    return next((c for c in candidates if c and os.access(c, os.X_OK)), None)


CHROMIUM_EXE = None

if __name__ == "__main__":
    if not SKERROW or not os.access(SKERROW, os.X_OK):
        sys.exit("SKERROW_EXE does not name the Skerrow executable")
    CHROMIUM_EXE = find_chromium()
    if not CHROMIUM_EXE:
        print("SKIPPED: Chromium is not installed (Debian package chromium); the browser check did not run.")
        sys.exit(SKIP_STATUS)
    probe_dir = tempfile.mkdtemp(prefix="skerrow-chromium-probe-")
    try:
        Chromium(CHROMIUM_EXE, probe_dir).close()
    except ChromiumUnavailable as e:
        print("SKIPPED: Chromium cannot start here, the browser check did not run.\n%s" % e)
        sys.exit(SKIP_STATUS)
    finally:
        shutil.rmtree(probe_dir, True)
    print("Screenshots go to " + ARTIFACTS)
    unittest.main(verbosity=2)
