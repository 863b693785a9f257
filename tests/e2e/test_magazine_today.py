#!/usr/bin/env python3
"""End-to-end rows of a described magazine: the real Skerrow copies the sample magazine of today (today.py,
https only, through the sample server's CONNECT tunnels) by the descriptions in magazines/, and the copy
holds every article, every page of the long ones, every picture local, nothing of the removed elements
and the sections on the contents page; a re-run finishes nothing more and changes nothing; the book passes
epubcheck; a description with a typo is refused with its line and column before any request."""

import os
import re
import shutil
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import (ROOT, Book, SampleServer, SkerrowCopy, certificates, epubcheck, epubcheck_command,  # noqa: E402
                         make_temp_dir, snapshot)

import samples  # noqa: E402  (tools/sample-magazine, on the path through e2e_support)
import today  # noqa: E402

MAGAZINES = os.path.join(ROOT, "magazines")


def read_page(path):
    with open(path, "rb") as f:
        return f.read().decode("cp1251")


class MagazineTodayTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = make_temp_dir("skerrow-today-")
        cls.skerrow = SkerrowCopy(os.environ["SKERROW_EXE"], cls.work)
        cls.issue = today.build(samples.Magazine())
        # No description of the user's own: the installed ones serve the sample.
        cls.env = {"SSL_CERT_FILE": certificates()[0], "XDG_CONFIG_HOME": os.path.join(cls.work, "config")}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def run_skerrow(self, args, server):
        return self.skerrow.run(args, proxy=server.proxy, env=self.env)

    def check_issue(self, directory, printable):
        issue = self.issue
        name = issue.issue_name
        contents = read_page(os.path.join(directory, name + "_00.htm"))
        # The sections in order, each with its articles' titles as links to their pages, in order.
        headings = re.findall(r'<h2 class="skerrow-section">(.*?)</h2>', contents)
        self.assertEqual(headings, issue.sections)
        links = re.findall(r'<li><a href="(%s_\d\d\.htm)">(.*?)</a></li>' % name, contents)
        self.assertEqual(links, [("%s_%02d.htm" % (name, n), a.title) for n, a in enumerate(issue.articles, 1)])
        for section, block in zip(issue.sections, re.split(r"<h2 ", contents)[1:]):
            titles = re.findall(r'<li><a href="[^"]+">(.*?)</a></li>', block)
            self.assertEqual(titles, [a.title for a in issue.articles if a.section == section])
        # The cover first, a local picture.
        cover = re.findall(r'<img src="([^"]+)"', contents)
        self.assertEqual(cover, [name + "_00/01.jpg"])
        self.assertTrue(os.path.isfile(os.path.join(directory, cover[0])))
        for number, article in enumerate(issue.articles, 1):
            page_name = "%s_%02d" % (name, number)
            page = read_page(os.path.join(directory, page_name + ".htm"))
            for mark in article.marks:  # every page of a long article, in order
                self.assertIn(mark, page, page_name)
            self.assertEqual([page.index(mark) for mark in article.marks],
                             sorted(page.index(mark) for mark in article.marks))
            self.assertEqual(page.count('<h1 class="story-title">'), 1, page_name)
            self.assertIn("&#8594;", page)  # a character beyond windows-1251, as its reference
            for mark in today.REMOVED_MARKS:
                self.assertNotIn(mark, page, page_name)
            pictures = re.findall(r"<img\b[^>]*>", page)
            sources = [re.search(r'src="([^"]+)"', tag).group(1) for tag in pictures]
            self.assertEqual(sorted(set(sources)),
                             ["%s/%02d.%s" % (page_name, n, url.rsplit(".", 1)[1])
                              for n, url in enumerate(article.pictures, 1)], page_name)
            for source in sources:
                self.assertTrue(os.path.isfile(os.path.join(directory, source)), source)
            # The link to the next article of the magazine leads to its local page; others are absolute.
            following = (number % len(issue.articles)) + 1
            self.assertIn('<a href="%s_%02d.htm">' % (name, following), page)
            self.assertIn('<a href="https://example.org/source?id=%d">' % (number - 1), page)
            self.assertIn("[Оглавление]", page)
            title = article.title + " - Сегодня" + (" (для печати)" if printable else "")
            self.assertIn("<title>%s</title>" % title, page)

    def test_copies_by_the_installed_description_then_rerun(self):
        save = os.path.join(self.work, "by-host")
        with SampleServer(self.work, tls=True) as server:
            first = self.run_skerrow(["--epub", self.issue.contents_url, save], server)
            self.assertEqual(first.exit_status, 0, first.stdout + first.stderr)
            self.assertIsNone(first.errors_text())
            # A long article is one saved page, however many pages it was fetched from.
            self.assertIn("Сохранено страниц: %d, картинок: %d;" % (1 + len(self.issue.articles), 1 + sum(
                len(a.pictures) for a in self.issue.articles)), first.stdout)
            directory = os.path.join(save, self.issue.issue_name)
            self.check_issue(directory, printable=False)
            # Every page of every article was asked for once, over https after the redirect.
            pages = [url for status, _, url in server.requests() if status == 200 and "/2026/11/" in url]
            expected = [url for article in self.issue.articles for url in article.page_urls]
            self.assertEqual(sorted(pages), sorted(expected))
            self.assertFalse(any(url.startswith("http://") for status, _, url in server.requests() if status == 200))
            saved = snapshot(directory)
            book = os.path.join(save, self.issue.issue_name + ".epub")
            with open(book, "rb") as f:
                book_bytes = f.read()
            second = self.run_skerrow([self.issue.contents_url, save], server)
        # The re-run finds everything saved and changes nothing.
        self.assertEqual(second.exit_status, 0, second.stdout)
        self.assertIn("Сохранено страниц: 0, картинок: 0, уже были: ", second.stdout)
        self.assertEqual(snapshot(directory), saved)
        self.assertEqual(len(second.console_lines("Уже сохранён: ")), 1 + len(self.issue.articles) + 1 +
                         sum(len(a.pictures) for a in self.issue.articles))
        with open(book, "rb") as f:
            self.assertEqual(f.read(), book_bytes)
        if epubcheck_command() is None:
            self.skipTest("epubcheck is not installed")
        counts, output = epubcheck(book)
        self.assertEqual(counts, (0, 0, 0), output)
        self.check_book(Book(book))

    def check_book(self, book):
        """The book: the sections as the first level of its table of contents, each leading to its first
        article with its articles below it; the cover; the magazine as publisher and series; every picture."""
        name = self.issue.issue_name
        expected = [("%s_00.xhtml" % name, "Ноябрь 2026 - Сегодня")]
        for number, article in enumerate(self.issue.articles, 1):
            page = "%s_%02d.xhtml" % (name, number)
            if number == 1 or self.issue.articles[number - 2].section != article.section:
                expected.append((page, article.section))
            expected.append((page, article.title))
        self.assertEqual(book.nav, expected)
        nav = book.text("nav.xhtml")
        self.assertEqual(nav.count("<ol>"), 1 + len(self.issue.sections))
        self.assertEqual(book.cover(), "%s_00/01.jpg" % name)
        opf = book.files["EPUB/package.opf"].decode("utf-8")
        self.assertIn("<dc:publisher>Сегодня</dc:publisher>", opf)
        self.assertIn('<meta property="belongs-to-collection" id="series">Сегодня</meta>', opf)
        self.assertEqual(len(book.pictures()), 1 + sum(len(a.pictures) for a in self.issue.articles))

    def test_copies_the_printable_pages(self):
        save = os.path.join(self.work, "printable")
        with SampleServer(self.work, tls=True) as server:
            result = self.run_skerrow(["--magazine", os.path.join(MAGAZINES, "today_print.toml"),
                                       self.issue.contents_url, save], server)
            asked = [url for _, _, url in server.requests() if "/2026/11/" in url]
        self.assertEqual(result.exit_status, 0, result.stdout)
        self.check_issue(os.path.join(save, self.issue.issue_name), printable=True)
        self.assertEqual(sorted(asked), sorted(a.print_url for a in self.issue.articles))

    def test_description_with_a_typo_is_refused_before_any_request(self):
        with open(os.path.join(MAGAZINES, "today.toml"), encoding="utf-8") as f:
            text = f.read().replace("next = ", "nxet = ")
        line = text[:text.index("nxet")].count("\n") + 1
        broken = os.path.join(self.work, "broken.toml")
        with open(broken, "w", encoding="utf-8") as f:
            f.write(text)
        with SampleServer(self.work, tls=True) as server:
            result = self.run_skerrow(["--magazine", broken, self.issue.contents_url,
                                       os.path.join(self.work, "broken")], server)
            self.assertEqual(server.requests(), [])
        self.assertEqual(result.exit_status, 2, result.stdout + result.stderr)
        self.assertIn("%s:%d:1: unknown key nxet in [article]" % (broken, line), result.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.work, "broken")))

    def test_built_in_site_wins_for_its_host_over_a_users_description(self):
        config = os.path.join(self.work, "config-a")
        os.makedirs(os.path.join(config, "skerrow", "magazines"))
        with open(os.path.join(MAGAZINES, "today.toml"), encoding="utf-8") as f:
            text = f.read().replace('hosts = ["today.test", "*.today.test"]', 'hosts = ["mag-a.test"]')
        with open(os.path.join(config, "skerrow", "magazines", "a.toml"), "w", encoding="utf-8") as f:
            f.write(text)
        save = os.path.join(self.work, "site-a")
        with SampleServer(self.work) as server:
            result = self.skerrow.run(["http://mag-a.test/magazine/2007-05/", save], proxy=server.proxy,
                                      env=dict(self.env, XDG_CONFIG_HOME=config))
        self.assertEqual(result.exit_status, 0, result.stdout)
        contents = read_page(os.path.join(save, "2007_05", "2007_05_00.htm"))
        self.assertIn("Популярная механика", contents)
        self.assertNotIn("skerrow-section", contents)
        listed = self.skerrow.run(["--magazines"], env=dict(self.env, XDG_CONFIG_HOME=config))
        self.assertIn("Сегодня - %s: mag-a.test" % os.path.join(config, "skerrow", "magazines", "a.toml"),
                      listed.stdout)

    def test_lists_the_magazines(self):
        result = self.skerrow.run(["--magazines"], env=self.env)
        self.assertEqual(result.exit_status, 0, result.stdout)
        self.assertIn("Встроенный сайт A: mag-a.test, mag-a-archive.test", result.stdout)
        self.assertIn("Сегодня - %s: today.test, *.today.test" % os.path.join(MAGAZINES, "today.toml"),
                      result.stdout)
        self.assertIn(os.path.join(MAGAZINES, "today_print.toml"), result.stdout)


if __name__ == "__main__":
    unittest.main()
