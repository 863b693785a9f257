"""The sample magazine of today ("Сегодня"), in the shape of today's magazine sites, for described magazines.

HTML5 pages in UTF-8, served over https only: every http:// address is answered 301 with its https form on
www.today.test. The contents page (https://www.today.test/issues/2026-11/) names the issue in its
<h1 class="issue-title">, gives the cover as og:image and lists the articles by section (<section
class="toc"> with an <h2>, then one <a class="story"> per article). An article is an <article class="story">
with its <h1>, its lead and its body; a long one goes on over two or three pages (a.next-page), and
/print/ below its address gives the whole article on one printable page. Pictures are on the CDN host
img.todaycdn.test: in <figure> with <figcaption>, as srcset candidates, in <picture> with <source srcset>,
and lazy (a data: placeholder in src, the picture in data-src). Around the content stand what a copy leaves
out: a cookie banner, share buttons, ads, scripts, a related-articles aside.

Only what a copy should fetch is served: the widest srcset candidate, the lazy picture behind its
placeholder. Asking for a narrower candidate or an ad gets 404, which a test sees as a failed task.

ISSUE describes what a copy holds: the articles in contents order with their sections, titles, page
addresses, the markers of every page's text and the picture addresses in their order on the article.
"""

import random

import pictures

SITE = "https://www.today.test"
CDN = "https://img.todaycdn.test"
HOSTS = ["today.test", "todaycdn.test"]  # and every host below them
CONTENTS_URL = "http://today.test/issues/2026-11/"
ISSUE_NAME = "2026_11"
# The large issue, for the benchmark (build(large=True)): 48 articles in 8 sections, pictures of 5-50 KB.
LARGE_CONTENTS_URL = "http://today.test/issues/2026-12/"
LARGE_ISSUE_NAME = "2026_12"
HTML_TYPE = "text/html; charset=utf-8"
PICTURE_TYPES = {"jpg": "image/jpeg", "png": "image/png", "gif": "image/gif"}
# Texts of the elements a copy leaves out: none of them may stand in a saved page.
REMOVED_MARKS = ["cookie-banner", "Мы используем cookies", "Поделиться", "РЕКЛАМА", "trackView(", "Читайте также"]
PLACEHOLDER = "data:image/gif;base64,R0lGODlhAQABAAAAACw="

SECTIONS = [
    ("Наука", [
        ("lift", "Лифт в космос", 3),
        ("comet", "Хвост кометы", 1),
    ]),
    ("Техника", [
        ("robots", "Роботы на складе", 2),
        ("battery", "Батарея на сто лет", 1),
    ]),
    ("История", [
        ("bridge", "Мост через пролив", 1),
        ("clock", "Часы на башне", 2),
    ]),
]

COOKIE = ('<div class="cookie-banner" id="cookies">Мы используем cookies, чтобы сайт работал лучше. '
          '<button class="accept">Хорошо</button></div>\n')
HEADER = ('<header class="site-header"><a class="logo" href="/">Сегодня</a>'
          '<nav><a href="/issues/">Архив</a> <a href="/subscribe/">Подписка</a></nav></header>\n')
SHARE = ('<div class="share"><a href="https://social.example/share?u=1">Поделиться</a> '
         '<button class="share-copy">Скопировать ссылку</button></div>\n')
AD = ('<div class="ad" data-slot="inline">РЕКЛАМА <img src="https://ads.todaycdn.test/banner.gif" '
      'width="300" height="250" alt=""></div>\n')
SCRIPT = '<script>window.trackView && trackView("story");</script>\n'
FOOTER = '<footer class="site-footer"><p>&copy; 2026 Сегодня. <a href="/about/">О журнале</a></p></footer>\n'


LARGE_SECTIONS = ["Наука", "Техника", "Авиация", "Транспорт", "Архитектура", "Флот", "История", "Электроника"]


class Article:
    def __init__(self, section, slug, title, page_count, folder="2026/11"):
        self.section = section
        self.slug = slug
        self.title = title
        self.url = "%s/%s/%s/" % (SITE, folder, slug)
        self.page_urls = [self.url] + ["%s%d/" % (self.url, n) for n in range(2, page_count + 1)]
        self.print_url = self.url + "print/"
        self.marks = ["mark-%s-page-%d" % (slug, n) for n in range(1, page_count + 1)]
        self.pictures = []  # the addresses a copy fetches, in their order on the article


class Issue:
    def __init__(self, large=False):
        self.contents_url = LARGE_CONTENTS_URL if large else CONTENTS_URL
        self.issue_name = LARGE_ISSUE_NAME if large else ISSUE_NAME
        self.month_text = "Декабрь 2026" if large else "Ноябрь 2026"
        self.path = "/issues/2026-12/" if large else "/issues/2026-11/"
        self.cover = CDN + ("/covers/2026-12.jpg" if large else "/covers/2026-11.jpg")
        self.picture_size = (5000, 50000) if large else None
        if large:
            sections = [(name, [("%s-%d" % (("lift", "comet", "robots", "battery", "bridge", "clock")[n], s + 1),
                                 "%s, часть %d" % (SECTIONS[n // 2][1][n % 2][1], s + 1), (1, 2, 3, 1, 1, 2)[n])
                                for n in range(6)]) for s, name in enumerate(LARGE_SECTIONS)]
            folder = "2026/12"
        else:
            sections, folder = SECTIONS, "2026/11"
        self.sections = [name for name, _ in sections]
        self.articles = [Article(section, *entry, folder=folder) for section, entries in sections
                         for entry in entries]


def _head(title, extra=""):
    return ('<!DOCTYPE html>\n<html lang="ru">\n<head>\n<meta charset="utf-8">\n'
            '<meta name="viewport" content="width=device-width, initial-scale=1">\n'
            '<title>%s</title>\n%s<link rel="stylesheet" href="/static/site.css">\n'
            '<script src="/static/app.js" defer></script>\n</head>\n' % (title, extra))


def _figures(article, page, add_picture):
    """The pictures of one page of an article, each shape once over the magazine's pages."""
    base = "%s/p/%s-%d" % (CDN, article.slug, page)
    shape = (len(article.slug) + page) % 3
    parts = []
    # A lazy picture: the placeholder in src, the picture in data-src.
    parts.append('<figure class="photo"><img class="lazy" src="%s" data-src="%s-a.jpg" alt="">'
                 '<figcaption>Снимок %d. Подпись с символом &#8594; и «кавычками».</figcaption></figure>\n'
                 % (PLACEHOLDER, base, page))
    add_picture(base + "-a.jpg")
    if shape == 0:
        parts.append('<figure><img src="%s-b-640.jpg" srcset="%s-b-640.jpg 640w, %s-b-1280.jpg 1280w, '
                     '%s-b-960.jpg 960w" sizes="(max-width: 700px) 100vw, 700px" alt="Схема">'
                     '<figcaption>Схема</figcaption></figure>\n' % (base, base, base, base))
        add_picture(base + "-b-1280.jpg")
    elif shape == 1:
        parts.append('<figure><picture><source media="(min-width: 800px)" srcset="%s-c-1600.png 1600w, '
                     '%s-c-800.png 800w"><source srcset="%s-c-400.png 400w">'
                     '<img src="%s-c-400.png" alt="График"></picture><figcaption>График</figcaption></figure>\n'
                     % (base, base, base, base))
        add_picture(base + "-c-1600.png")
    else:
        parts.append('<p class="inline"><img src="%s-d.gif" width="120" height="90" alt=""></p>\n' % base)
        add_picture(base + "-d.gif")
    return "".join(parts)


def _story_body(issue, article, page, add_picture):
    number = issue.articles.index(article)
    other = issue.articles[(number + 1) % len(issue.articles)]
    text = ['<div class="story-body">\n',
            '<p>Текст страницы %d статьи «%s» <span class="%s">%s</span>. Об этом же читайте '
            '<a href="%s">%s</a>, а источник — <a href="https://example.org/source?id=%d">здесь</a>.</p>\n'
            % (page, article.title, article.marks[page - 1], article.marks[page - 1], other.url[len(SITE):],
               other.title, number),
            SHARE if page == 1 else "",
            _figures(article, page, add_picture),
            AD,
            SCRIPT,
            '<p>Второй абзац страницы %d: цифры, даты и выводы.</p>\n' % page,
            '</div>\n']
    return "".join(text)


def _story_page(issue, article, page, add_picture):
    html = [_head("%s — Сегодня" % article.title), "<body>\n", COOKIE, HEADER, "<main>\n",
            '<article class="story">\n']
    if page == 1:
        html.append('<h1 class="story-title">%s</h1>\n<p class="lead">Коротко о главном: %s.</p>\n'
                    % (article.title, article.title.lower()))
    html.append(_story_body(issue, article, page, add_picture))
    if page < len(article.page_urls):
        html.append('<nav class="pager"><a class="next-page" href="%s">Дальше →</a></nav>\n'
                    % article.page_urls[page][len(SITE):])
    html.append('</article>\n<aside class="related"><h3>Читайте также</h3><a href="/2026/10/old/">Старое</a>'
                '</aside>\n</main>\n')
    html.append(FOOTER + "</body>\n</html>\n")
    return "".join(html)


def _print_page(issue, article):
    """The whole article on one page, in the same markup; the pictures are those of its pages."""
    ignore = lambda url: None  # noqa: E731
    parts = [_head("%s — Сегодня (для печати)" % article.title), '<body class="print">\n', COOKIE,
             '<article class="story">\n<h1 class="story-title">%s</h1>\n<p class="lead">Коротко о главном: %s.</p>\n'
             % (article.title, article.title.lower())]
    for page in range(1, len(article.page_urls) + 1):
        parts.append(_story_body(issue, article, page, ignore))
    parts.append("</article>\n" + SCRIPT + "</body>\n</html>\n")
    return "".join(parts)


def _contents_page(issue):
    html = [_head("Сегодня — " + issue.month_text, '<meta property="og:image" content="%s">\n'
                  '<meta property="og:title" content="Сегодня, %s">\n' % (issue.cover, issue.month_text.lower())),
            "<body>\n", COOKIE, HEADER, "<main>\n", '<h1 class="issue-title">%s</h1>\n' % issue.month_text,
            '<img class="cover-small" src="%s-small.jpg" alt="">\n' % issue.cover[:-len(".jpg")]]
    for section in issue.sections:
        html.append('<section class="toc">\n<h2 class="section-title">%s</h2>\n' % section)
        for article in issue.articles:
            if article.section == section:
                html.append('<article class="teaser"><a class="story" href="%s">%s</a>'
                            '<p class="teaser-lead">Коротко о главном.</p></article>\n'
                            % (article.url[len(SITE):], article.title))
        html.append(AD + "</section>\n")
    html.append("</main>\n" + SCRIPT + FOOTER + "</body>\n</html>\n")
    return "".join(html)


def build(magazine, large=False):
    """Adds the issue of today's magazine to magazine (keyed by http forms, as the sample server keeps
    every resource) and returns its description (Issue); with large, the large issue (2026_12) too, which
    is then returned."""
    if large:
        build(magazine)
    issue = Issue(large)
    rnd = random.Random(2026)

    def add_page(url, text):
        magazine.add("http://" + url.split("://", 1)[1], HTML_TYPE, text.encode("utf-8"))

    def add_picture(url, article=None):
        kind = url.rsplit(".", 1)[1]
        key = "http://" + url.split("://", 1)[1]
        if key not in magazine.resources:
            size = rnd.randrange(*issue.picture_size) if issue.picture_size else 0
            magazine.add(key, PICTURE_TYPES[kind], pictures.picture(kind, 9000 + len(magazine.resources), size))
        if article is not None and url not in article.pictures:
            article.pictures.append(url)

    add_page(SITE + issue.path, _contents_page(issue))
    add_picture(issue.cover)
    for article in issue.articles:
        for page in range(1, len(article.page_urls) + 1):
            add_page(article.page_urls[page - 1],
                     _story_page(issue, article, page, lambda url, a=article: add_picture(url, a)))
        add_page(article.print_url, _print_page(issue, article))
    magazine.issues["today-large" if large else "today"] = issue
    return issue


def redirect(url):
    """(301, the https address on www.today.test) for an http:// address of the magazine; None otherwise."""
    if not url.startswith("http://"):
        return None
    rest = url[len("http://"):]
    host, _, path = rest.partition("/")
    host = host.split(":")[0]
    if host in ("today.test", "www.today.test"):
        return 301, "https://www.today.test/" + path
    if any(host == h or host.endswith("." + h) for h in HOSTS):
        return 301, "https://" + rest
    return None
