#!/usr/bin/env python3
"""Writes the sample site A issue (May 2007) and the copy Skerrow is expected to make of it.

The texts below are UTF-8; every page and every expected file is written in windows-1251, as the site
serves them and the program saves them. Pictures are made with ImageMagick's convert when they are missing. Run it from any
directory; it rewrites site/ and expected/ beside itself.

site/urls.txt      URL, tab, the file under site/ that the server answers with (or 404)
expected/tree.txt  every file of the saved issue, tab, the file it must equal: expected/... for pages,
                   site/... for pictures, or 404 for the body of the server's 404 reply
expected/downloads.txt  the "Download: " lines of one run, in order
expected/errors_run1.txt, errors_run2.txt  errors.txt entries of the first and of a second run into the
                   same save path; {ISSUE} stands for the issue directory, FILE, LINE for a source location
site/contents_split_link.htm, expected/errors_split_link.txt  the contents page with the issue's own link
                   broken over two lines, and the one entry it gives
"""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SITE = os.path.join(HERE, 'site')
EXPECTED = os.path.join(HERE, 'expected')
ROOT = 'http://mag-a.test/'
TITLE_URL = ROOT + 'issue/200705/'
sys.path.insert(0, os.path.join(HERE, '..', '..', '..', 'tools', 'sample-magazine'))
from shapes import a_background_cell, a_dots, a_issue_link, attr, cell, head  # noqa: E402


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(text.encode('cp1251'))


BLOCK = cell('block_header_main_inner', attrs=' valign="top"')
MAIN = cell('block_main_inner', attrs=' valign="top"')
COVER = a_background_cell(attr('background', '/images/cover_bg.jpg'),
                          '<a href="/issue/200705/cover.html" title="Обложка">Обложка номера</a>', ' width="180"', '')
CONTENTS = head('Популярная механика: Май 2007', meta='A') + '''<body>
<table class="layout"><tr>
<td class="block_left"><a href="/">Главная</a> <img src="/images/logo.gif"></td>
''' + MAIN + '''
<div class="path">Журнал / 2007</div>
<table width="100%" cellpadding="3">
''' + a_issue_link('/issue/200705/', 'Май 2007') + '<tr><td background="/images/corner.gif" width="8"></td>' + COVER + '''
<td><a class="t_link_big" href="/article/1">Двигатель будущего</a><br>Новый мотор</td></tr>
<tr><td><a href="/images/big/engine.jpg"><img src="/images/small/engine.gif" width="60" alt="Двигатель"></a></td>
<td><a class='t_link_big' href='/article/10'>Как устроен лазер</a></td></tr>
<tr><td colspan="2"><a class="t_link_big" href="/news/broken.html">Другая вёрстка</a></td></tr>
<tr><td><a href="/popup.php?/images/big/laser.png" target="_blank">
<img src='/images/small/laser.png' border=0>
</a></td>
<td><a class=t_link_big href=science/moon.html>Луна рядом</a> <a href="/article/1">подробнее</a>
<a href="/article/1#comments">Обсуждение</a> <a href="../200705/science/moon.html" title="/article/1">Луна</a></td></tr>
</table>
<noindex><a href="http://ads.mag-a.test/"><img src="/ads/banner.gif"></a></noindex>
</td></tr></table>
</body>
</html>
'''


def article(title, block, left='', logs=cell('block_logs') + 'Журнал'):
    # A site A article page: the article block between the left column and the log cell.
    return (head(title, one_line=True) + '<body>\n<table><tr>\n' + left + block + '</td>\n' + logs +
            '</td>\n</tr></table>\n</body>\n</html>\n')


# What an article and its saved copy have in common: the block's start and the comments.
START_1 = BLOCK + '\n<h2>Двигатель будущего</h2>\n<p>Инженеры показали новый мотор.</p>\n'
COMMENTS_1 = ('<a name="comments"></a><span class="comments_title">Комментарии (2)</span>\n' +
              a_dots('Иван: Отличная статья!', '<table class="comment">', after='\n') + '\n' +
              a_dots('Пётр: А где\nвзять такой мотор?', '<table class="comment">', "'"))
ARTICLE_1 = article('Двигатель будущего', START_1 + '''<a href="/images/big/motor1.jpg"><img src="/images/small/motor1.jpg" width="120" height="90" alt="Мотор"></a>
<p>Схема: <img src='/images/scheme.png' border=0> и крупнее <img src = "/images/scheme.png" width=400></p>
<p>Стенд: <img src=http://photo.mag-a.test/2007/05/stand.gif alt="стенд"></p>
''' + COMMENTS_1 + '''
<div class="tail">Партнёры <img src="/images/partner.gif"></div>
<noindex><a href="http://counter.mag-a.test/">Счётчик</a></noindex>
''', '<td class="block_left"><img src="/images/logo.gif"></td>\n', cell('block_logs') + 'Журнал событий')

START_10 = cell('block_header_main_inner', '') + '\n<h2>Как устроен лазер</h2>\n<p>Луч света.</p>\n'
COMMENTS_10 = "<a name='comments'><b>Обсуждение</b></a> <span>всего 2</span>\n" + a_dots('Анна: Понятно.', quote='')
ARTICLE_10 = article('Как устроен лазер', START_10 + '<img src="/images/laser/ray.jpg?size=big" width=300>\n' +
                     COMMENTS_10 + '\n<p>Между блоками</p>\n' + a_dots('Олег: <noindex>скрыто</noindex> ответ') +
                     '\n', logs=cell('block_logs', "'") + 'Журнал')

BROKEN = head('Новости', one_line=True) + '''<body>
<div class="news_main">
<h2>Другая вёрстка</h2>
<p>Эта страница свёрстана по-другому. <img src="/images/news.jpg"></p>
<div class="block_logs">Журнал</div>
</div>
</body>
</html>
'''

# A cell inside a division of the article's cell: the article goes on after it.
MOON_STRAY_CELL = '<div class=ad><td>Реклама партнёра</td></div>\n<p>После рекламы.</p>\n'
START_MOON = cell('block_header_main_inner', "'", ' width="70%"') + '\n<h2>Луна рядом</h2>\n<table><tr>'
MOON = article('Луна рядом', START_MOON + a_background_cell(
    attr('background', '/images/moon_bg.jpg', "'"), '<a href="/gallery/moon.html">Галерея</a>', table='') +
    '</tr></table>\n<p>Текст про Луну. <img src="/images/missing.jpg"></p>\n' + MOON_STRAY_CELL +
    '<img src="/cgi/counter.php?id=3" width=1 height=1>\n<noindex>Реклама</noindex>\n')

PAGES = ['2007_05_00.htm', '2007_05_01.htm', '2007_05_02.htm', '2007_05_03.htm', '2007_05_04.htm']
FOOTER = ('<tr><td colspan=3 align=right><font color=gray size=1>Generated on Sun Dec 06 17:10:10 2026\n'
          ' with <a href="https://skerrow.example.org/">Skerrow</a><br>'
          'Skerrow developers &lt;skerrow@example.org&gt;</font></td></tr></table><hr>')


def navigation_bar(i):
    bar = '<hr><table><tr>'
    if i > 0:
        bar += '<td><a href="%s">[&lt;&lt;&lt;&lt;]</a></td>' % PAGES[i - 1]
        bar += '<td width=100%% align=center><a href="%s">[Оглавление]</a></td>' % PAGES[0]
    if i + 1 < len(PAGES):
        bar += '<td><a href="%s">[&gt;&gt;&gt;&gt;]</a></td>' % PAGES[i + 1]
    return bar + '</tr>' + FOOTER


def saved_head(title):
    return ('<html>\n<head>\n<title>%s - Популярная механика</title>\n'
            '<META http-equiv="Content-Type" content="text/html; charset=windows-1251">\n</head>\n' % title)


SAVED_CONTENTS = saved_head('2007_05') + '''<h1>Май 2007</h1>
<table width="100%" cellpadding="3">
<tr><td></td></tr>
<tr><td background="/images/corner.gif" width="8"></td><td><a href="/issue/200705/cover.html" title="Обложка"><img src="2007_05_00/01.jpg">Обложка номера</a></td>
<td><a class="t_link_big" href="2007_05_01.htm">Двигатель будущего</a><br>Новый мотор</td></tr>
<tr><td><img src="2007_05_00/02.jpg"></td>
<td><a class='t_link_big' href='2007_05_02.htm'>Как устроен лазер</a></td></tr>
<tr><td colspan="2"><a class="t_link_big" href="2007_05_03.htm">Другая вёрстка</a></td></tr>
<tr><td><img src="2007_05_00/03.png"></td>
<td><a class=t_link_big href=2007_05_04.htm>Луна рядом</a> <a href="2007_05_01.htm">подробнее</a>
<a href="2007_05_01.htm#comments">Обсуждение</a> <a href="2007_05_04.htm" title="/article/1">Луна</a></td></tr>
</table>
''' + navigation_bar(0) + '</html>'

SAVED_ARTICLE_1 = saved_head('2007_05_01') + START_1 + '''<img src="2007_05_01/01.jpg">
<p>Схема: <img src="2007_05_01/02.png"> и крупнее <img src="2007_05_01/02.png"></p>
<p>Стенд: <img src="2007_05_01/03.gif"></p>
''' + COMMENTS_1 + navigation_bar(1) + '</html>'

SAVED_ARTICLE_2 = (saved_head('2007_05_02') + START_10 + '<img src="2007_05_02/01.jpg">\n' + COMMENTS_10 +
                   navigation_bar(2)) + '</html>'

SAVED_ARTICLE_4 = saved_head('2007_05_04') + START_MOON + '''<td><a href="/gallery/moon.html"><img src="2007_05_04/01.jpg">Галерея</a></td></tr></table>
<p>Текст про Луну. <img src="2007_05_04/02.jpg"></p>
''' + MOON_STRAY_CELL + '''
<noindex>Реклама</noindex>
</td>''' + navigation_bar(4) + '</html>'

# (URL, file under site/ or 404, content or picture colour)
SITE_FILES = [
    (TITLE_URL, 'contents.htm', CONTENTS),
    (ROOT + 'article/1', 'article1.htm', ARTICLE_1),
    (ROOT + 'article/10', 'article10.htm', ARTICLE_10),
    (ROOT + 'news/broken.html', 'broken.htm', BROKEN),
    (TITLE_URL + 'science/moon.html', 'moon.htm', MOON),
    (ROOT + 'images/cover_bg.jpg', 'cover_bg.jpg', 'red'),
    (ROOT + 'images/big/engine.jpg', 'engine.jpg', 'green'),
    (ROOT + 'images/big/laser.png', 'laser.png', 'blue'),
    (ROOT + 'images/big/motor1.jpg', 'motor1.jpg', 'yellow'),
    (ROOT + 'images/scheme.png', 'scheme.png', 'cyan'),
    ('http://photo.mag-a.test/2007/05/stand.gif', 'stand.gif', 'magenta'),
    (ROOT + 'images/partner.gif', 'partner.gif', 'orange'),
    (ROOT + 'images/laser/ray.jpg?size=big', 'ray.jpg', 'purple'),
    (ROOT + 'images/moon_bg.jpg', 'moon_bg.jpg', 'gray'),
    (ROOT + 'images/missing.jpg', '404', None),
]

TREE = [
    ('2007_05/2007_05_00.htm', 'expected/2007_05_00.htm'),
    ('2007_05/2007_05_00/01.jpg', 'site/cover_bg.jpg'),
    ('2007_05/2007_05_00/02.jpg', 'site/engine.jpg'),
    ('2007_05/2007_05_00/03.png', 'site/laser.png'),
    ('2007_05/2007_05_01.htm', 'expected/2007_05_01.htm'),
    ('2007_05/2007_05_01/01.jpg', 'site/motor1.jpg'),
    ('2007_05/2007_05_01/02.png', 'site/scheme.png'),
    ('2007_05/2007_05_01/03.gif', 'site/stand.gif'),
    ('2007_05/2007_05_01/04.gif', 'site/partner.gif'),
    ('2007_05/2007_05_02.htm', 'expected/2007_05_02.htm'),
    ('2007_05/2007_05_02/01.jpg', 'site/ray.jpg'),
    ('2007_05/2007_05_04.htm', 'expected/2007_05_04.htm'),
    ('2007_05/2007_05_04/01.jpg', 'site/moon_bg.jpg'),
]

DOWNLOADS = [url for url, _, _ in SITE_FILES]

# The program's patterns that the expected search errors name, from the pinned table of the program's patterns.
with open(os.path.join(HERE, '..', 'regex', 'program_patterns.txt'), encoding='cp1251') as table:
    PATTERNS = dict((row[0], row[5]) for row in (line.rstrip('\n').split('\t') for line in table) if len(row) == 6)
A1 = PATTERNS['A.ArticleBlock']
P3 = PATTERNS['A.IssueLink']
CONTENTS_TABLE = '<table width="100%" cellpadding="3">'
# The issue's own link broken over two lines: the contents page has no issue link any more.
CONTENTS_SPLIT = CONTENTS.replace('href="/issue/200705/"><b>', 'href="/issue/200705/">\n<b>')


def failure(url, message):
    return '%s BrintLib::TAplThrowException FILE, LINE:\n\t%s\n\n' % (url, message)


def quoted(text):
    """The searched text as a search error quotes it: whole up to 300 bytes, else its first 300 bytes,
    "..." and its length in bytes."""
    data = text.encode('cp1251')
    if len(data) <= 300:
        return '"%s"' % text
    return '"%s..." (%d байт)' % (data[:300].decode('cp1251'), len(data))


SEARCH_ERROR = failure(ROOT + 'news/broken.html',
                       'Ошибка при поиске шаблона: "%s" в строке %s' % (A1, quoted(BROKEN)))
COUNTER = ('{ISSUE}2007_05_04/ Не опознанный тип изображения: '
           '<img src="/cgi/counter.php?id=3" width=1 height=1>\n')

ERRORS_SPLIT = failure(TITLE_URL, 'Ошибка при поиске шаблона: "%s" в строке %s' % (
    P3, quoted(CONTENTS_SPLIT[CONTENTS_SPLIT.index(CONTENTS_TABLE) + len(CONTENTS_TABLE):])))

ERRORS_RUN1 = SEARCH_ERROR + COUNTER + failure(
    ROOT + 'images/missing.jpg',
    'Transfer error: server return error code 404 URL: ' + ROOT + 'images/missing.jpg')


def exists(url, saved):
    return failure(url, 'Файл {ISSUE}%s уже существует' % saved)


ERRORS_RUN2 = (exists(TITLE_URL, '2007_05_00.htm') + exists(ROOT + 'article/1', '2007_05_01.htm') +
               exists(ROOT + 'article/10', '2007_05_02.htm') + SEARCH_ERROR + COUNTER +
               exists(TITLE_URL + 'science/moon.html', '2007_05_04.htm'))
# Every saved picture, in the order of the tree.
URLS = dict((name, url) for url, name, _ in SITE_FILES)
for saved, source in TREE:
    if source.startswith('site/'):
        ERRORS_RUN2 += exists(URLS[source[len('site/'):]], saved[len('2007_05/'):])
# A picture that failed left nothing under its name: the second run asks for it again.
ERRORS_RUN2 += failure(ROOT + 'images/missing.jpg',
                       'Transfer error: server return error code 404 URL: ' + ROOT + 'images/missing.jpg')


def main():
    urls = []
    for url, name, content in SITE_FILES:
        urls.append('%s\t%s\n' % (url, name))
        if name == '404':
            continue
        path = os.path.join(SITE, name)
        if name.endswith('.htm'):
            write(path, content)
        elif not os.path.exists(path):
            os.makedirs(SITE, exist_ok=True)
            # -strip keeps time stamps out of the files, so a rerun writes the same bytes
            subprocess.run(['convert', '-size', '3x2', 'xc:' + content, '-strip', path], check=True)
    write(os.path.join(SITE, 'urls.txt'), ''.join(urls))
    write(os.path.join(SITE, 'contents_split_link.htm'), CONTENTS_SPLIT)
    write(os.path.join(EXPECTED, 'errors_split_link.txt'), ERRORS_SPLIT)
    write(os.path.join(EXPECTED, '2007_05_00.htm'), SAVED_CONTENTS)
    write(os.path.join(EXPECTED, '2007_05_01.htm'), SAVED_ARTICLE_1)
    write(os.path.join(EXPECTED, '2007_05_02.htm'), SAVED_ARTICLE_2)
    write(os.path.join(EXPECTED, '2007_05_04.htm'), SAVED_ARTICLE_4)
    write(os.path.join(EXPECTED, 'tree.txt'), ''.join('%s\t%s\n' % entry for entry in TREE))
    write(os.path.join(EXPECTED, 'downloads.txt'), ''.join('Download: %s\n' % url for url in DOWNLOADS))
    write(os.path.join(EXPECTED, 'errors_run1.txt'), ERRORS_RUN1)
    write(os.path.join(EXPECTED, 'errors_run2.txt'), ERRORS_RUN2)


if __name__ == '__main__':
    main()
