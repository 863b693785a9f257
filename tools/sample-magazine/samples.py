"""Sample issues of the two magazine sites that Skerrow copies, built in memory.

A sample issue is a set of resources keyed by their full URL (http://host/path) - windows-1251 HTML pages
and real PNG, GIF and JPEG pictures - together with what Skerrow is expected to make of it: the issue name,
the article pages in contents order and, for every saved page, the addresses of its pictures in the order
in which Skerrow numbers them. The pages have the shapes that Skerrow's site processors read:

  site A (mag-a.test, pictures also on mag-a-archive.test): a contents page whose block_main_inner cell
    holds a 100% table with the issue's own t_link_big link (bold month and year), one t_link_big link per
    article (root-relative, relative or absolute), a #comments link and a background cell without a link
    on some rows, thumbnails as table-cell backgrounds and a cover wrapped in a link to its large version;
    article pages with a block_header_main_inner cell, pictures in every shape the program rewrites
    (plain, quoted in three ways, root-relative, relative and protocol-relative, linked to a large version
    directly or through show.php?, cell backgrounds with the link in the cell or in a table nested in the
    cell), reader comments in dots cells before <noindex>, and a block_logs cell;
  site B (mag-b.test): a contents page with a content_zone division (cover, <h1> heading ending with month
    and year, one table row per article, its link root-relative or relative) and printable article pages
    (/print/...) from <body> to a reflink_descr division, pictures root-relative, relative and
    protocol-relative.

Every address in a page is resolved against the page's own address, as a browser resolves it. The pieces
that the site processors read are shapes.py's, which tests/data/site*/make_data.py build their pages from too.

Issues (see build()):
  "a"     site A, May 2007 (2007_05): 12 articles, 65 pictures;
  "b"     site B, July 2007 (2007_07): 8 articles, 27 pictures;
  "large" site A, December 2008 (2008_12): 50 articles, 500 pictures of 5-50 KB (only with large=True).

Faults (apply_fault()) change issue "a" the way a real server fails; see FAULTS.

Run as a script to write the samples to a directory (one file per URL, host/path), or to list the URLs
of one issue in the order in which Skerrow fetches them, with their sizes:
    python3 samples.py [--large] OUT-DIR
    python3 samples.py --list a|b|large
"""

import os
import random
import re
import sys
import urllib.parse

import pictures
from shapes import XHTML, a_background_cell, a_dots, a_issue_link, attr, b_content_zone, b_row, cell, div, head

SITE_A = "http://mag-a.test/"
SITE_A_ARCHIVE = "http://mag-a-archive.test/"
SITE_B = "http://mag-b.test"

HTML_TYPE = "text/html; charset=windows-1251"
# A character that windows-1251 cannot hold, as the pages write it; a page served in UTF-8 has the character.
BEYOND_CP1251 = "&#8594;"
PICTURE_TYPES = {"jpg": "image/jpeg", "png": "image/png", "gif": "image/gif"}


class Resource:
    def __init__(self, content_type, body):
        self.content_type = content_type
        self.body = body


class SavedPage:
    """A page that Skerrow saves: its file name in the issue directory, the URL it comes from, and the
    URLs of its pictures in the order of their local numbers (01, 02, ...)."""

    def __init__(self, file_name, url):
        self.file_name = file_name
        self.url = url
        self.pictures = []

    @property
    def page_name(self):
        return self.file_name[:-len(".htm")]

    def picture_files(self):
        """(local file name relative to the issue directory, picture URL) for each picture."""
        result = []
        for number, url in enumerate(self.pictures, start=1):
            extension = url.rsplit(".", 1)[1]
            result.append(("%s/%02d.%s" % (self.page_name, number, extension), url))
        return result


class Issue:
    def __init__(self, key, title_url, issue_name, month_text):
        self.key = key
        self.title_url = title_url
        self.issue_name = issue_name
        self.month_text = month_text  # the month and year as the site prints them
        self.contents = SavedPage(issue_name + "_00.htm", title_url)
        self.articles = []  # SavedPage per article, in contents order
        self.titles = []  # article titles, in contents order

    def pages(self):
        return [self.contents] + self.articles

    def tasks(self):
        """(URL, file saved below the issue directory, index of the page it belongs to) of every task of the
        issue, in Skerrow's queue order: the contents page, the articles, the contents page's pictures, then
        each article's pictures. A picture shown on several pages is a task of each."""
        result = [(page.url, page.file_name, index) for index, page in enumerate(self.pages())]
        for index, page in enumerate(self.pages()):
            result += [(url, name, index) for name, url in page.picture_files()]
        return result

    def fetch_order(self):
        """Every URL Skerrow requests for this issue, in its queue order."""
        return [url for url, _, _ in self.tasks()]


class Magazine:
    def __init__(self):
        self.resources = {}
        self.issues = {}
        self.dropped = set()  # URLs whose replies are cut in the middle of the body

    def add(self, url, content_type, body):
        if url in self.resources and self.resources[url].body != body:
            raise ValueError("two different resources for " + url)
        self.resources[url] = Resource(content_type, body)

    def add_page(self, url, text):
        self.add(url, HTML_TYPE, text.encode("cp1251"))


class PageWriter:
    """Collects a page's HTML and records the pictures that Skerrow will localise, in order."""

    def __init__(self, magazine, saved_page, seed):
        self.magazine = magazine
        self.saved = saved_page
        self.parts = []
        self.sources = set()
        self.seed = seed
        self.count = 0

    def add(self, text):
        self.parts.append(text)

    def text(self):
        return "".join(self.parts)

    def picture(self, src, kind=None, size=0, record=True):
        """Serves a picture at src (as the page writes it) and returns src. With record, the picture is
        one that Skerrow localises on this page: it is numbered on its first appearance."""
        url = urllib.parse.urljoin(self.saved.url, src)
        kind = kind or src.rsplit(".", 1)[1]
        if url not in self.magazine.resources:
            self.count += 1
            self.magazine.add(url, PICTURE_TYPES[kind], pictures.picture(kind, self.seed * 100 + self.count, size))
        if record and src not in self.sources:
            self.sources.add(src)
            self.saved.pictures.append(url)
        return src


# ---------------------------------------------------------------------------------------------------
# Texts

A_ARTICLES = [
    ("lift-v-kosmos", "Наука", "Лифт в космос",
     "Трос из углеродных нанотрубок может поднять груз на орбиту без единой ракеты.",
     ["Кабина ползёт по ленте шириной в ладонь со скоростью двести километров в час.",
      "Главная трудность — материал: сталь порвётся под собственным весом уже через пятьдесят километров."]),
    ("podvodnyj-dom", "Техника", "Дом на дне моря",
     "Инженеры построили жилой модуль, в котором акванавты проводят месяц на глубине двадцати метров.",
     ["Воздух подаётся с поверхности по гибкому шлангу, а избыток давления уравновешивает воду у люка.",
      "Через иллюминатор видно, как мимо проплывают косяки ставриды."]),
    ("solnechnyj-samolet", "Авиация", "Солнечный самолёт",
     "Лёгкая машина с размахом крыла как у авиалайнера облетит Землю без капли топлива.",
     ["Днём батареи заряжаются, ночью самолёт медленно снижается, экономя каждый ватт.",
      "Пилот спит урывками по двадцать минут, как одиночные яхтсмены."]),
    ("gorod-bez-probok", "Транспорт", "Город без пробок",
     "Светофоры, которые договариваются между собой, сокращают время в пути на треть.",
     ["Датчики в асфальте считают машины у каждого перекрёстка.",
      "Зелёная волна подстраивается под поток каждые десять секунд."]),
    ("steklyannyj-most", "Архитектура", "Мост из стекла",
     "Над ущельем глубиной триста метров туристы идут по прозрачному полу.",
     ["Каждая панель состоит из трёх слоёв закалённого стекла и выдерживает вес слона.",
      "Самое страшное — первый шаг: мозг отказывается верить глазам."]),
    ("roboty-sapery", "Техника", "Роботы-сапёры",
     "Гусеничные машины с манипуляторами заменяют людей там, где ошибаться нельзя.",
     ["Оператор управляет роботом с расстояния в километр, глядя на экран.",
      "Манипулятор чувствует усилие в несколько граммов и не заденет провод."]),
    ("vechnyj-dvigatel", "История", "Вечный двигатель: история заблуждений",
     "Восемь веков изобретатели пытались обмануть закон сохранения энергии.",
     ["Колёса с откидными грузами, магнитные карусели, капиллярные насосы — ни одно не работало.",
      "В 1775 году Парижская академия наук отказалась рассматривать такие проекты."]),
    ("atomnyj-ledokol", "Флот", "Как устроен атомный ледокол",
     "Два реактора позволяют судну годами обходиться без дозаправки.",
     ["Корпус в районе ватерлинии толще пяти сантиметров.",
      "Ледокол не режет лёд, а наползает на него и продавливает своим весом."]),
    ("dirizhabli", "Авиация", "Дирижабли возвращаются",
     "Гелиевые гиганты снова поднимаются в небо — теперь как грузовики.",
     ["Дирижабль может доставить турбину электростанции туда, где нет дорог.",
      "Современная оболочка из полимерной ткани почти не пропускает газ."]),
    ("atomnye-chasy", "Наука", "Часы, которые не ошибаются",
     "Атомные часы уходят на секунду за миллионы лет.",
     ["Маятником служат колебания атомов цезия — девять миллиардов раз в секунду.",
      "Без таких часов спутниковая навигация ошибалась бы на километры."]),
    ("superkompyuter-v-karmane", "Электроника", "Суперкомпьютер в кармане",
     "Телефон сегодня считает быстрее, чем вычислительный центр тридцать лет назад.",
     ["Транзисторы стали так малы, что на кончике иглы их уместятся миллионы.",
      "Главный враг миниатюризации — тепло, которое негде рассеять."]),
    ("drevnyaya-bronza", "История", "Тайны древней бронзы",
     "Мастера бронзового века знали секреты сплавов, которые металлурги открыли заново.",
     ["Добавка олова делала медь вдвое твёрже.",
      "Формы для литья вырезали из камня и использовали сотни раз."]),
]

A_COMMON = [
    "Идея не нова: её обсуждали ещё в начале прошлого века.",
    "Расчёты показывают, что конструкция выдержит нагрузку с тройным запасом.",
    "Первые испытания прошли успешно, хотя и не без сюрпризов.",
    "Специалисты спорят, окупится ли проект в ближайшие двадцать лет.",
    "Сегодня над задачей работают сразу несколько лабораторий.",
    "Опытный образец собрали за восемь месяцев.",
    "Стоимость пока высока, но с каждым годом снижается.",
    "Не обошлось и без курьёзов: однажды прибор остановила обычная муха.",
    "Главное достоинство новинки — простота обслуживания.",
    "Журнал следит за проектом с самого начала и расскажет о его судьбе.",
    "Инженеры признаются, что решение подсмотрели у природы.",
    "Похожие устройства уже работают в Японии и Норвегии.",
]

A_COMMENTS = [
    ("Андрей", "Интересно, когда такое появится у нас?"),
    ("Ольга", "Спасибо за статью, прочитала с удовольствием."),
    ("Сергей", "Цифры в третьем абзаце вызывают сомнения."),
    ("Марина", "Ждём продолжения темы в следующем номере!"),
]

B_ARTICLES = [
    ("ostrov-pashi", "Остров Пасхи: молчание каменных великанов",
     "Почти тысяча статуй смотрит вглубь острова, спиной к океану.",
     ["Статуи-моаи вырезали из вулканического туфа прямо в карьере.",
      "Как их перемещали без колёс и тягловых животных, спорят до сих пор."]),
    ("bajkal-zimoj", "Байкал зимой",
     "Прозрачный лёд толщиной в метр превращает озеро в огромную дорогу.",
     ["Сквозь лёд видно дно на глубине десятков метров.",
      "По ночам лёд трещит так, будто стреляют из пушки."]),
    ("dolina-gejzerov", "Камчатка: долина гейзеров",
     "Десятки источников выбрасывают кипяток на высоту пятиэтажного дома.",
     ["Долину открыли только в 1941 году.",
      "Тропы проложены по деревянным настилам: земля вокруг горячая."]),
    ("sahara", "Сахара без миражей",
     "Пустыня не только пески: три четверти её площади занимают камни.",
     ["Днём здесь за сорок, а ночью вода в бурдюке покрывается льдом.",
      "Караваны до сих пор возят соль так же, как тысячу лет назад."]),
    ("islandiya", "Исландия: страна льда и огня",
     "На острове размером с Кубу — ледники, вулканы и горячие реки.",
     ["Почти всё электричество страны дают гидростанции и геотермальные скважины.",
      "Зимой солнце показывается всего на четыре часа."]),
    ("veneciya", "Венеция уходит под воду",
     "Город на ста восемнадцати островах борется с наводнениями.",
     ["В сильный прилив площадь Сан-Марко превращается в озеро.",
      "Жители держат у двери высокие резиновые сапоги."]),
    ("tibet", "Тибет: дорога к монастырям",
     "Паломники проходят сотни километров, простираясь на земле после каждого шага.",
     ["Воздух на высоте четырёх тысяч метров вдвое разреженнее, чем у моря.",
      "Монастыри строили на скалах, чтобы быть ближе к небу."]),
    ("amazoniya", "Амазония: река-море",
     "В сезон дождей река разливается на десятки километров.",
     ["В её водах живут розовые дельфины.",
      "Лес по берегам даёт пятую часть кислорода планеты."]),
]

B_COMMON = [
    "Путешественники, побывавшие здесь, возвращаются снова.",
    "Местные жители встречают гостей приветливо, но без суеты.",
    "Лучшее время для поездки — конец весны.",
    "Дорога сюда занимает почти двое суток.",
    "Фотографы со всего мира приезжают за здешним светом.",
    "Учёные до сих пор находят здесь новые виды растений.",
    "Погода меняется за считанные минуты.",
    "Экскурсию стоит заказывать заранее: мест немного.",
]

TOPICS = ["Наука", "Техника", "Авиация", "Транспорт", "Архитектура", "Флот", "История", "Электроника"]


def paragraphs(rnd, specific, common, count, sentences=4):
    result = []
    pool = list(specific)
    for i in range(count):
        chosen = []
        if pool:
            chosen.append(pool.pop(0))
        chosen += rnd.sample(common, sentences - len(chosen))
        rnd.shuffle(chosen)
        result.append(" ".join(chosen))
    return result


# ---------------------------------------------------------------------------------------------------
# Site A


def _a_page_head(title):
    return head(title, 'HTML PUBLIC "-//W3C//DTD HTML 4.01 Transitional//EN"', "A",
                '<link rel="stylesheet" type="text/css" href="/css/main.css">\n'
                '<script type="text/javascript" src="/js/menu.js"></script>\n') + (
        '<body bgcolor="#ffffff">\n<table width="980" border="0" cellspacing="0" cellpadding="0" align="center">\n'
        '<tr><td class="block_top"><a href="/"><img src="/i/logo.gif" width="240" height="60" alt="Мир механики" '
        'border="0"></a>\n<a href="/news/">Новости</a> | <a href="/magazine/">Журнал</a> | <a href="/forum/">Форум</a>'
        '</td></tr>\n')


_A_PAGE_TAIL = ('<tr>' + cell("block_logs") + '<img src="/counter.gif?id=17" width="88" height="31" alt="">'
                ' &copy; 2007 Мир механики</td></tr>\n</table>\n</body>\n</html>\n')


def _a_contents(mag, issue, folder, rows, seed, thumbnails=True):
    """The contents page of a site A issue; rows are (slug, rubric, title, lead)."""
    saved = issue.contents
    w = PageWriter(mag, saved, seed)
    w.add(_a_page_head("Мир механики — %s — содержание номера" % issue.month_text))
    w.add('<tr>' + cell("block_main_inner") + '\n'
          '<div class="path"><a href="/">Главная</a> / <a href="/magazine/">Журнал</a> / %s</div>\n'
          '<table width="100%%" border="0" cellspacing="0" cellpadding="6">\n' % issue.month_text)
    w.add(a_issue_link("/magazine/%s/" % folder, issue.month_text, ' colspan="2"'))
    if thumbnails:
        w.picture("/upload/%s/cover-small.jpg" % folder, record=False)
        w.add('<tr><td colspan="2"><a href="%s" target="_blank"><img src="/upload/%s/cover-small.jpg" '
              'width="150" height="200" border="0" alt="Обложка"></a>\n'
              % (w.picture("/upload/%s/cover-big.jpg" % folder), folder))
        w.add('<p class="t_text">В номере: %s и многое другое.</p></td></tr>\n'
              % ", ".join(r[2] for r in rows[:3]))
    rubric = None
    for index, (slug, row_rubric, title, lead) in enumerate(rows):
        # Root-relative, relative to the contents page, or absolute.
        href = ("/magazine/%s/%s.html" % (folder, slug), "%s.html" % slug,
                "%smagazine/%s/%s.html" % (SITE_A, folder, slug))[index % 3]
        if row_rubric != rubric:
            rubric = row_rubric
            w.add('<tr><td colspan="2" class="rubric">%s</td></tr>\n' % rubric)
        w.add("<tr>\n")
        if thumbnails:
            kind = ("png", "jpg", "gif")[index % 3]
            thumb = w.picture("/upload/%s/thumbs/%s.%s" % (folder, slug, kind))
            # A corner cell without a link stands before the thumbnail's cell, in its own table.
            w.add('<td width="130"><table cellspacing="0" cellpadding="0" border="0"><tr>' +
                  a_background_cell(attr("background", "/i/corner.gif"), attrs=' width="4"') +
                  a_background_cell(attr("background", thumb), '<a href="%s"><img src="/i/blank.gif" width="120" '
                                    'height="80" border="0" alt=""></a>' % href, ' width="120" height="80"') +
                  '</tr></table></td>\n')
        else:
            w.add("<td></td>\n")
        w.add('<td><a class="t_link_big" href="%s">%s</a>' % (href, title))
        if thumbnails and index % 4 == 1:
            w.add(' <img src="%s" width="28" height="11" alt="new">' % w.picture("/i/new.gif"))
        if index % 4 == 2:
            w.add(' <a href="/magazine/%s/%s.html#comments">Обсуждение</a>' % (folder, slug))
        w.add('<br>\n<span class="t_text">%s %s</span></td>\n</tr>\n' % (lead, BEYOND_CP1251))
    # The banner follows the contents table inside the same cell.
    w.add("</table>\n"
          '<noindex><div class="banner"><a href="http://ads.mag-a.test/click?id=4">'
          '<img src="/ad/468x60.gif" width="468" height="60" border="0" alt="Реклама"></a></div>'
          "</noindex>\n</td></tr>\n")
    w.add(_A_PAGE_TAIL)
    mag.add_page(issue.title_url, w.text())


def _a_article(mag, issue, folder, index, record, rnd, large=False):
    slug, rubric, title, lead, specific = record
    saved = SavedPage("%s_%02d.htm" % (issue.issue_name, index), SITE_A + "magazine/%s/%s.html" % (folder, slug))
    issue.articles.append(saved)
    issue.titles.append(title)
    w = PageWriter(mag, saved, 1000 * (index + 1) + (5000 if large else 0))
    base = "/upload/%s/%s/" % (folder, slug)
    archive = SITE_A_ARCHIVE + "%s/%s/" % (folder.replace("-", "/"), slug)
    w.add(_a_page_head("%s — Мир механики" % title))
    w.add('<tr>' + cell("block_header_main_inner") + '\n<div class="rubric">%s %s</div>\n'
          '<h1 class="article_title">%s</h1>\n<p class="lead"><b>%s</b></p>\n' % (rubric, BEYOND_CP1251, title, lead))

    if large:
        texts = paragraphs(rnd, specific, A_COMMON, 60, sentences=6)
        for number in range(10):
            kind = ("jpg", "png", "gif")[(index + number) % 3]
            size = rnd.randrange(5 * 1024, 50 * 1024 + 1)
            src = w.picture("%sphoto-%02d.%s" % (base, number + 1, kind), size=size)
            w.add("<p>%s</p>\n<p>%s</p>\n" % (texts[2 * number], texts[2 * number + 1]))
            w.add('<p align="center"><img src="%s" alt="Иллюстрация %d"></p>\n' % (src, number + 1))
        for text in texts[20:]:
            w.add("<p>%s</p>\n" % text)
    else:
        texts = paragraphs(rnd, specific, A_COMMON, 5)
        w.add("<p>%s</p>\n" % texts[0])
        # 1: a thumbnail linked to its large version (the large one is saved)
        w.picture(base + "small-1.jpg", record=False)
        w.add('<table align="right" cellpadding="4"><tr><td><a href="%s" target="_blank">'
              '<img src="%ssmall-1.jpg" width="200" border="0" alt="%s"></a><br><i>%s</i></td></tr></table>\n'
              % (w.picture(base + "big-1.jpg"), base, title, "Фото: архив редакции"))
        w.add("<p>%s</p>\n" % texts[1])
        # 2: a scheme on the archive host, absolute or protocol-relative address
        scheme = archive + "scheme.png"
        if index % 2 == 1:
            scheme = scheme[len("http:"):]
        w.add('<p align="center"><img src="%s" alt="Схема" width="180" height="120"></p>\n'
              % w.picture(scheme))
        w.add("<p>%s</p>\n" % texts[2])
        # 3: quoted in one of three ways, or linked through the picture viewer script
        shape = index % 3
        if shape == 0:
            w.add("<p><img src='%s' alt='Анимация' width=120 height=90></p>\n" % w.picture(base + "anim.gif"))
        elif shape == 1:
            w.add("<p><img src=%s width=240 height=160></p>\n" % w.picture(base + "photo-3.jpg"))
        else:
            w.picture(base + "small-3.png", record=False)
            w.add('<p><a href="show.php?%s"><img src="%ssmall-3.png" border=0></a></p>\n'
                  % (w.picture(base + "big-3.png"), base))
        w.add("<p>%s</p>\n" % texts[3])
        # 4: a gallery cell whose background is the picture, its link in a table nested in the cell
        if index % 2 == 0:
            w.add('<table cellspacing="0"><tr>' + a_background_cell(
                attr("background", w.picture(base + "bg-4.png")), '<a href="%sgallery/">&nbsp;</a>' % archive,
                ' width="180" height="120"', ' width="100%"') + '</tr></table>\n')
        else:
            w.add('<table cellspacing="0"><tr>' + a_background_cell(
                attr("background", base + "bg-4.gif", "'", " = "), '<a href="%s"><img src="i/blank.gif" width="180" '
                'height="120" border="0"></a>' % w.picture(base + "bg-4-big.jpg"), ' width="180" height="120"') +
                '</tr></table>\n')
            w.picture(base + "bg-4.gif", record=False)
        w.add("<p>%s</p>\n" % texts[4])
        # the camera icon stands twice, relative to the article: downloaded once
        if index % 4 == 3:
            icon = w.picture("i/camera.gif")
            w.add('<p><img src="%s"> Фото: редакция. <img src="%s"> Схемы: автор.</p>\n' % (icon, icon))

    # Reader comments, cut off by the program after the last one, and what follows them.
    comments = [] if index % 5 == 2 else A_COMMENTS[:1 + index % len(A_COMMENTS)]
    if index % 6 != 5:
        w.add('<br><a name="comments"></a><span class="comments_head">Комментарии (%d)</span>\n' % len(comments))
        for number, (name, text) in enumerate(comments):
            w.add(a_dots("%s, %02d.05.2007 1%d:2%d" % (name, 3 + number, number, number),
                         '<table width="100%" cellpadding="3" class="comment">\n', after="\n<tr><td>%s</td></tr>\n"
                         % text) + "\n")
        w.add('<p class="addcomment">Оставить комментарий могут только зарегистрированные читатели.</p>\n')
    w.add('<noindex><div class="ad">Реклама: <a href="http://ads.mag-a.test/click?id=9">подписка на журнал</a>'
          "</div></noindex>\n</td></tr>\n")
    w.add(_A_PAGE_TAIL)
    mag.add_page(saved.url, w.text())


def _build_a(mag):
    issue = Issue("a", SITE_A + "magazine/2007-05/", "2007_05", "Май 2007")
    rnd = random.Random(2007)
    for index, record in enumerate(A_ARTICLES, start=1):
        _a_article(mag, issue, "2007-05", index, record, rnd)
    rows = [(slug, rubric, title, lead) for slug, rubric, title, lead, _ in A_ARTICLES]
    _a_contents(mag, issue, "2007-05", rows, 1)
    mag.issues["a"] = issue


def _build_large(mag):
    issue = Issue("large", SITE_A + "magazine/2008-12/", "2008_12", "Декабрь 2008")
    rnd = random.Random(2008)
    records = []
    for number in range(50):
        slug, rubric, title, lead, specific = A_ARTICLES[number % len(A_ARTICLES)]
        records.append(("%s-%02d" % (slug, number + 1), TOPICS[number % len(TOPICS)],
                        "%s. Часть %d" % (title, number // len(A_ARTICLES) + 1), lead, specific))
    for index, record in enumerate(records, start=1):
        _a_article(mag, issue, "2008-12", index, record, rnd, large=True)
    _a_contents(mag, issue, "2008-12", [r[:4] for r in records], 2, thumbnails=False)
    mag.issues["large"] = issue


# ---------------------------------------------------------------------------------------------------
# Site B


def _b_head(title):
    return head(title, XHTML + ' "http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd"', "B",
                '<style type="text/css">\nbody { font-family: Georgia, serif; margin: 2em; }\n'
                '.descr { color: #555; font-size: 90%; }\nh1 { color: #7a2e0e; }\n</style>\n')


def _b_article(mag, issue, index, record, rnd):
    slug, title, lead, specific = record
    href = "/article/2007/07/%s/" % slug
    saved = SavedPage("%s_%02d.htm" % (issue.issue_name, index), SITE_B + "/print" + href)
    issue.articles.append(saved)
    issue.titles.append(title)
    w = PageWriter(mag, saved, 7000 + index)
    texts = paragraphs(rnd, specific, B_COMMON, 4)
    base = "/upload/article/2007-07/%s/" % slug
    w.add(_b_head("%s — Дальние страны" % title))
    w.add('<body>\n<div class="print_logo"><img src="/i/logo-print.gif" alt="Дальние страны" />'
          ' <a href="javascript:window.print()">Печать</a></div>\n')
    w.add('<h1>%s</h1>\n<p class="lead"><b>%s</b></p>\n<p>%s</p>\n' % (title, lead, texts[0]))
    w.add('<div class="photo"><img src="%s" alt="%s" width="240" height="160" /><br />'
          "Фото: Дмитрий Орлов %s</div>\n" % (w.picture(base + "1.jpg"), title, BEYOND_CP1251))
    w.add("<p>%s</p>\n" % texts[1])
    kind = ("png", "gif")[index % 2]
    # relative to the printable page
    w.add('<div class="photo"><img src="%s" alt="" /></div>\n<p>%s</p>\n' % (w.picture("2." + kind), texts[2]))
    if index % 3 == 0:
        w.add('<p><img src="%s" alt="Карта" /></p>\n' % w.picture("//mag-b.test" + base + "map.png"))
    w.add("<p>%s</p>\n" % texts[3])
    w.add(div("reflink_descr", "Источник: журнал «Дальние страны», №7, июль 2007. Адрес статьи: %s%s"
              % (SITE_B, href)) + "\n")
    w.add('<div class="print_footer"><img src="/i/counter.gif" alt="" /></div>\n</body>\n</html>\n')
    mag.add_page(saved.url, w.text())
    return href


def _build_b(mag):
    issue = Issue("b", SITE_B + "/issues/2007/07/", "2007_07", "Июль 2007")
    rnd = random.Random(2107)
    hrefs = [_b_article(mag, issue, index, record, rnd) for index, record in enumerate(B_ARTICLES, start=1)]
    w = PageWriter(mag, issue.contents, 3)
    w.add(_b_head("Дальние страны — %s" % issue.month_text))
    w.add('<body>\n<div class="header"><a href="/"><img src="/i/logo.png" alt="Дальние страны" /></a>'
          '\n<a href="/issues/">Архив номеров</a> | <a href="/subscribe/">Подписка</a></div>\n')
    w.add(b_content_zone('<div class="issue_cover"><img src="%s" alt="Обложка номера" width="200" height="260" />'
                         '</div>' % w.picture("/upload/issues/2007-07/cover.jpg"),
                         "Журнал «Дальние страны» — %s" % issue.month_text))
    w.add('<div class="issue_list">\n<table class="articles">\n')
    for index, ((slug, title, lead, _), href) in enumerate(zip(B_ARTICLES, hrefs), start=1):
        kind = ("jpg", "png", "gif")[index % 3]
        if index % 2 == 0:
            href = "../../.." + href  # relative to the contents page
        w.add(b_row(['<td class="thumb"><a href="%s"><img src="%s" width="90" height="60" alt="" /></a></td>'
                     % (href, w.picture("/upload/issues/2007-07/%s.%s" % (slug, kind))),
                     '<td class="title"><b>%s</b> %s</td>' % (title, div("descr", lead))]))
    w.add("</table>\n</div>\n" + div("content", "Подписаться на журнал можно в любом почтовом отделении.") +
          "\n</div>\n"
          '<div class="footer">&copy; 2007 Дальние страны. <img src="/i/counter.gif" alt="" /></div>\n'
          "</body>\n</html>\n")
    mag.add_page(issue.title_url, w.text())
    mag.issues["b"] = issue


# ---------------------------------------------------------------------------------------------------
# Faults of issue "a"

FAULTS = {
    "missing-picture": "the scheme picture of article 2 is not on the server (404)",
    "drop-mid-body": "the replies for article 3 and for the first picture of article 5 stop in the middle of "
                     "the body and the connection is closed",
    "other-layout": "article 4 comes in another layout, without the block_header_main_inner cell",
    "no-title": "the contents page of issue a is not on the server (404)",
    "huge-other-layout": "article 4 comes in another layout, padded to 2 MB",
    "escape-in-picture": "article 6 shows first a picture whose address holds terminal escape sequences (404), "
                         "then a counter of no picture type whose tag holds them too",
    "hostile": "adds the hostile issues (HOSTILE_A, HOSTILE_B): pages in the shapes that a browser reads by the "
               "HTML standard's rules and a copy must read alike",
}

# The hostile issues: one article per case of HOSTILE_CASES on site A, and a site B issue served in UTF-8.
HOSTILE_A = SITE_A + "magazine/2009-01/"
HOSTILE_B = SITE_B + "/issues/2009/01/"
# (article slug, texts that a browser shows, the article cell's content). Every picture address below "pics/"
# is served as a distinct PNG; "pics/blank.gif" is a placeholder that a lazy-loading script replaces or a cell's
# background shows through.
HOSTILE_CASES = [
    ("stray-td", ["один", "внутри", "после ячейки"],
     '<p>один</p><div><p>внутри</p></td></div><p>после ячейки</p><img src="pics/stray.png">'),
    ("stray-row", ["один", "после строки"], '<p>один</p></td></tr><p>после строки</p><img src="pics/stray-row.png">'),
    ("stray-table", ["ячейка", "после таблицы"],
     '<table><tr><td>ячейка</td></tr></table></td><p>после таблицы</p><img src="pics/stray-table.png">'),
    ("bang-comment", ["после комментария"],
     '<!-- скрыто <img src="pics/none.png"> --!><p>после комментария</p><img src="pics/bang.png">'),
    ("bang-comment-later", ["между", "конец"],
     '<!-- скрыто --!><p>между</p><img src="pics/bang-later.png"><!-- ещё --><p>конец</p>'),
    ("base", ["база"], '<p>база</p><img src="base.png">'),
    ("picture", ["картинка"],
     '<p>картинка</p><picture><source srcset="pics/wide.webp 2x, pics/narrow.webp 1x" type="image/webp">'
     '<img src="pics/picture.png"></picture> <img srcset="pics/s320.png 320w, pics/s1280.png 1280w" alt="">'),
    ("lazy", ["ленивые"],
     '<p>ленивые</p><img src="pics/blank.gif" data-src="pics/lazy.png"> <img data-src="pics/lazy2.png" '
     'src="pics/blank.gif"><script>document.querySelectorAll("img[data-src]").forEach(function (i) '
     '{ i.src = i.getAttribute("data-src"); });</script>'),
    ("reference", ["ссылка"], '<p>ссылка</p><img src="pics/ref&#46;png">'),
    # A picture cell: its background becomes the picture of its link, whose placeholder goes; the rest stays.
    ("background-cell", ["перед ссылкой", "подпись ссылки", "после ссылки", "во вложенной"],
     '<table><tr><td background="pics/cell-bg.png" width="180"><p>перед ссылкой</p>'
     '<a href="http://example.org/gallery"><img src="pics/blank.gif" width="180" height="120"> подпись ссылки</a>'
     '<br>после ссылки <img src="pics/cell-extra.png"><table><tr><td background="pics/cell-inner.png">во вложенной'
     '</td></tr></table></td></tr></table>'),
    ("script", ["скрипт цел"],
     '<script><!--\ndocument.write(\'<script>var inner = 1;</script>\');\n'
     'var tag = "<img src=\'pics/in-script.png\'>";\ndocument.write("<p>скрипт " + "цел</p>");\n--></script>'),
]


def _hostile_picture(mag, url, seed):
    if url not in mag.resources:
        mag.add(url, PICTURE_TYPES["png"], pictures.drawn_png(seed))


def _build_hostile_a(mag):
    """Site A, January 2009: a contents page whose article links hold data-href before href, and one article
    per hostile case, its <head> with a <base> for the "base" case."""
    rows = "".join('<tr><td><a class="t_link_big" data-href="/nowhere/%s" href="%s.html">Случай %s</a></td></tr>\n'
                   % (slug, slug, slug) for slug, _, _ in HOSTILE_CASES)
    mag.add_page(HOSTILE_A, '<html><head><title>Январь 2009</title><meta http-equiv="Content-Type" '
                 'content="text/html; charset=windows-1251"></head>\n<body><table><tr><td class="block_main_inner">\n'
                 '<table width="100%%">\n<tr><td><a class="t_link_big" href="/magazine/2009-01/"><b>Январь 2009</b>'
                 '</a></td></tr>\n%s</table>\n<noindex>Баннер</noindex>\n</td></tr></table></body></html>\n' % rows)
    mag.add(HOSTILE_A + "pics/blank.gif", PICTURE_TYPES["gif"], pictures.drawn_gif(499, 8, 8))
    seed = 500
    for slug, _, content in HOSTILE_CASES:
        url = HOSTILE_A + slug + ".html"
        base = '<base href="%smedia/">' % SITE_A if slug == "base" else ""
        mag.add_page(url, '<html><head><title>%s</title>%s<meta http-equiv="Content-Type" content="text/html; '
                     'charset=windows-1251"></head>\n<body><table><tr><td class="block_header_main_inner">\n%s\n'
                     '</td>\n<td class="block_logs">Журнал</td></tr></table></body></html>\n' % (slug, base, content))
        for src in re.findall(r'(?:src|data-src)="([^"]+)"|(pics/[\w.-]+\.(?:png|webp))', content):
            src = src[0] or src[1]
            seed += 1
            _hostile_picture(mag, urllib.parse.urljoin(SITE_A + "media/" if slug == "base" else url,
                                                       src.replace("&#46;", ".")), seed)
    # A <picture>'s webp sources are the <img>'s own picture, as real sites serve one picture in two forms.
    for source in ("wide.webp", "narrow.webp"):
        mag.resources[HOSTILE_A + "pics/" + source] = mag.resources[HOSTILE_A + "pics/picture.png"]


def _build_hostile_b(mag):
    """Site B, January 2009, in UTF-8 told by the header: the contents page's <meta> charset after its first
    1024 bytes, a <base> on both pages, and an article whose picture's query holds Cyrillic letters (served
    only at its UTF-8 form, as a browser asks for it)."""
    media = SITE_B + "/media/"
    article = "/article/2009/01/utf/"
    padding = "<style>/* %s */</style>\n" % ("." * 1100)
    title = ('<!DOCTYPE html>\n<html>\n<head>\n<title>Дальние страны: январь 2009</title>\n%s'
             '<meta http-equiv="Content-Type" content="text/html; charset=utf-8" />\n<base href="%s" />\n</head>\n'
             '<body>\n<div class="content_zone">\n<img src="cover.png" alt="" />\n<h1>Журнал № 1, Январь 2009</h1>\n'
             '<table>\n<tr>\n<td><a href="%s">Буквы в адресе</a></td>\n<td><div class="descr">Запрос на кириллице'
             '</div></td>\n</tr>\n</table>\n<div class="content">Реклама</div>\n</div>\n</body>\n</html>\n'
             % (padding, media, article))
    mag.add(HOSTILE_B, "text/html; charset=utf-8", title.encode("utf-8"))
    _hostile_picture(mag, media + "cover.png", 601)
    page = ('<html>\n<head>\n<meta charset="utf-8" />\n<base href="%s" />\n<title>Буквы в адресе</title>\n</head>\n'
            '<body>\n<h1>Буквы в адресе</h1>\n<p>Снимок по запросу:</p>\n<img src="/img.php?name=фото.png" />\n'
            '<img src="local.png" />\n<div class="reflink_descr">Ссылка</div>\n</body>\n</html>\n' % media)
    mag.add(SITE_B + "/print" + article, "text/html; charset=utf-8", page.encode("utf-8"))
    _hostile_picture(mag, SITE_B + "/img.php?name=" + urllib.parse.quote("фото") + ".png", 602)
    _hostile_picture(mag, media + "local.png", 603)


# The picture address of the "escape-in-picture" fault: retitles the terminal window and colours it red.
ESCAPE_PICTURE = "upload/2007-05/\x1b]0;pwned\x07\x1b[31mred\x1b[0m.jpg"
# A tag of the same fault that is logged as it stands (its address has no picture type).
ESCAPE_COUNTER = '<img src="/cgi/\x1b[31mcount\x1b[0m">'


def fault_targets(mag, name):
    """The URLs of issue "a" that the fault changes."""
    a = mag.issues["a"]
    if name == "missing-picture":
        return [a.articles[1].pictures[1]]
    if name == "drop-mid-body":
        return [a.articles[2].url, a.articles[4].pictures[0]]
    if name in ("other-layout", "huge-other-layout"):
        return [a.articles[3].url]
    if name == "escape-in-picture":
        return [a.articles[5].url]
    if name == "no-title":
        return [a.title_url]
    if name == "hostile":
        return [HOSTILE_A, HOSTILE_B]
    raise ValueError("unknown fault: %s (known: %s)" % (name, ", ".join(sorted(FAULTS))))


def apply_fault(mag, name):
    targets = fault_targets(mag, name)
    if name in ("missing-picture", "no-title"):
        for url in targets:
            del mag.resources[url]
    elif name == "drop-mid-body":
        mag.dropped.update(targets)
    elif name in ("other-layout", "huge-other-layout"):
        title = mag.issues["a"].titles[3]
        padding = "<!-- %s -->\n" % ("x" * (2 << 20)) if name == "huge-other-layout" else ""
        mag.resources[targets[0]] = Resource(HTML_TYPE, (
            '<!DOCTYPE html>\n<html lang="ru">\n<head>\n<meta charset="windows-1251">\n'
            "<title>%s — Мир механики</title>\n</head>\n<body>\n<header class=\"site-header\">Мир механики</header>\n"
            '<main class="article">\n<article>\n<h1>%s</h1>\n<p>Новый дизайн сайта: статья без старой вёрстки.</p>\n'
            '<figure><img src="/upload/2007-05/new-layout.jpg" alt=""></figure>\n</article>\n</main>\n%s'
            "</body>\n</html>\n" % (title, title, padding)).encode("cp1251"))
    elif name == "hostile":
        _build_hostile_a(mag)
        _build_hostile_b(mag)
    elif name == "escape-in-picture":
        block = cell("block_header_main_inner").encode() + b"\n"
        page = mag.resources[targets[0]]
        page.body = page.body.replace(block, block + b'<p><img src="' + ESCAPE_PICTURE.encode() + b'">' + ESCAPE_COUNTER.encode() + b'</p>\n', 1)
    return targets


def build(large=False, faults=()):
    """The magazine: issues "a" and "b", and "large" when asked for; faults from FAULTS applied to "a"."""
    mag = Magazine()
    _build_a(mag)
    _build_b(mag)
    if large:
        _build_large(mag)
    for name in faults:
        apply_fault(mag, name)
    return mag


def _write(out_dir, large):
    mag = build(large)
    for url, resource in sorted(mag.resources.items()):
        path = url[len("http://"):]
        if path.endswith("/"):
            path += "index.html"
        target = os.path.join(out_dir, *path.split("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(resource.body)
    for issue in mag.issues.values():
        count = sum(len(p.pictures) for p in issue.pages())
        print("%-6s %s -> %s: %d articles, %d pictures" % (issue.key, issue.title_url, issue.issue_name,
                                                            len(issue.articles), count))
    print("%d files in %s" % (len(mag.resources), out_dir))


def _list(issue_key, large):
    mag = build(large or issue_key == "large")
    issue = mag.issues[issue_key]
    pages = {page.url for page in issue.pages()}
    for url in issue.fetch_order():
        print("%s %d %s" % ("page" if url in pages else "picture", len(mag.resources[url].body), url))


if __name__ == "__main__":
    import argparse

    parser = argparse.ArgumentParser(description="Writes the sample magazine to files, or lists an issue.")
    parser.add_argument("out_dir", nargs="?", help="write every resource to OUT_DIR/host/path")
    parser.add_argument("--large", action="store_true", help="include the large issue")
    parser.add_argument("--list", metavar="ISSUE", choices=("a", "b", "large"),
                        help="print 'page|picture SIZE URL' for every URL of the issue, in Skerrow's order")
    args = parser.parse_args()
    if args.list:
        _list(args.list, args.large)
    elif args.out_dir:
        _write(args.out_dir, args.large)
    else:
        parser.error("give OUT_DIR or --list")
