#!/usr/bin/env python3
"""Writes the sample issue of the second site and the pages expected of its copy, in windows-1251.

The pictures under images/ are tiny real files made once with ImageMagick, e.g.
convert -size 3x2 xc:'#c04020' images/cover.jpg; every one has its own size or colour.
site.txt maps the URLs that the sample server answers to these files.
"""
import os
import sys

out = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(out, '..', '..', '..', 'tools', 'sample-magazine'))
from shapes import XHTML, b_content_zone, b_row, div, head  # noqa: E402

os.makedirs(out + '/expected', exist_ok=True)
pages = {}
TITLE_HEAD = head('Вокруг света: май 2007', XHTML, 'B', '<link rel="stylesheet" type="text/css" href="/css/main.css" />\n'
                  '<link rel="next" href="/magazines/2007/05/island/" />\n')
COVER = '<div class="cover"><a href="/archive/"><img src="/images/covers/2007-05.jpg" width="150" alt="Обложка" /></a></div>'
ROWS = [
    b_row(['<td><a href="/magazines/2007/05/island/"><img src="/images/thumbs/island.png" alt="" /></a></td>',
           '<td><a class="title" href="/magazines/2007/05/island/">Тайны острова</a>\n' +
           div('descr', 'Экспедиция на <b>остров</b> Пасхи &amp; назад') + '</td>'], '\n'),
    b_row(['<td colspan="2">' + div('rubric', 'Наука') + '</td>']),
    b_row(['<td><a href="/magazines/2007/05/stars/">Звёзды над пустыней</a></td>',
           '<td>' + div('descr', 'Обсерватория, адрес которой /magazines/2007/05/stars/ знают все<img src="/i/sky.gif" />') + '</td>'], '\n'),
    b_row(['<td><a href=\'pages/deep.html\'><img src="http://mag-b.test/images/thumbs/deep.gif" /></a></td>',
           '<td><a href=\'pages/deep.html\'>Погружение</a> на глубину <1000 м<div class="descr"><i>Батискаф</i> '
           'на глубине <300 м'], '\n'),
    b_row(['<td><a href="/magazines/2007/05/odd/">Строка с классом</a></td>', '<td>' + div('descr', 'Не по образцу') +
           '</td>'], tr='<tr class="odd">'),
    b_row(['<td><a href="/magazines/2007/05/nodiv/">Строка без описания</a></td>']),
]
ROW = '<td>%s</td>'
EXTRA = [('<a href=/magazines/2007/05/bonus/ class="title">Бонус</a>', 'Дополнительный материал'),
         ('<a href="7#comments">Итоги 2007 года</a>', 'Год 2007 в цифрах')]
pages['title.htm'] = (
    TITLE_HEAD + '<body>\n<div class="top"><img src="/images/logo.gif" alt="Вокруг света" /></div>\n' +
    b_content_zone(COVER, 'Журнал № 5, Май 2007', ' id="main"',
                   '<p class="announce">В номере: <b>острова</b>, звёзды и глубины</p>\n') +
    '<table class="issue">\n' + ''.join(ROWS) + '</table>\n' + div('content', 'Реклама') + '\n<table class="extra">\n' +
    ''.join(b_row([ROW % link, ROW % div('descr', text)]) for link, text in EXTRA) + '</table>\n' +
    div('content', 'Подвал', "'") + '\n<table class="after">\n' +
    b_row([ROW % '<a href="/magazines/2007/05/late/">Не входит</a>', ROW % div('descr', 'После последнего блока')]) +
    '</table>\n' + div('content_footer', 'Подпись') + '\n</div>\n</body>\n</html>\n')

# The year followed by a blank inside the heading: the issue cannot be named.
pages['title_year_blank.htm'] = pages['title.htm'].replace('<h1>Журнал № 5, Май 2007</h1>', '<h1>Журнал № 5, Май 2007 </h1>')

# What a printable article and its saved copy have in common: the page up to <body> and the text.
ISLAND_HEAD = head('Тайны острова | Вокруг света', 'html', 'B',
                   '<style type="text/css">body { font-family: Georgia, serif; }</style>\n')
ISLAND_START = '<h1>Тайны острова</h1>\n<p class="lead">Экспедиция на остров Пасхи.</p>\n'
ISLAND_MIDDLE = '<p>Каменные статуи стоят лицом к острову.</p>\n<h1>Часть вторая</h1>\n'
pages['island.htm'] = (
    ISLAND_HEAD + '<body>\n<div class="print_logo"><img src="/images/print_logo.gif" alt="Вокруг света"></div>\n'
    '<p class="date">Май 2007</p>\n' + ISLAND_START +
    '<p><img src="/i/2007/05/island_1.jpg" width="400" height="300" alt="Статуи моаи"></p>\n' + ISLAND_MIDDLE +
    '<p><img src=\'/i/2007/05/island_2.png\' border=0> Снова <img src="/i/2007/05/island_1.jpg"></p>\n' +
    div('reflink_descr', 'Фото: архив журнала') + '\n<p><img src="/i/2007/05/dropped.jpg"></p>\n</body>\n</html>\n')

STARS_HEAD = head('Звёзды над пустыней', one_line=True) + '<BODY>'
pages['stars.htm'] = (STARS_HEAD + '\n<h1>Звёзды над пустыней</h1>\n'
                      '<p><img src="/i/2007/05/stars.jpg"></p>\n' + div('reflink_descr', 'Фото: автор') +
                      '\n</BODY>\n</html>\n')

DEEP_HEAD = head('Погружение') + '<body>'
pages['deep.htm'] = (DEEP_HEAD + '\n<h1>Погружение</h1>\n'
                     '<p>Батискаф опускается.<img src=http://mag-b.test/i/2007/05/deep.jpg?size=big alt=x></p>\n'
                     '<p><img src="/i/2007/05/deep_scheme.gif" /></p>\n' +
                     div('reflink_descr', 'Источник', "'", ' id="ref"', ' = ') + '\n</body>\n</html>\n')

BONUS_HEAD = head('Бонус', one_line=True).replace('\n', '') + '<body>'
BONUS_TEXT = '<h1>Бонус</h1><p>Текст без картинок.</p>'
pages['bonus.htm'] = (BONUS_HEAD + '<div class="nav">Навигация</div>' + BONUS_TEXT + div('reflink_descr', 'Ссылка', '') +
                      '</body></html>')

# Every saved article ends with the link back to the contents.
BACK = '<hr><a href="2007_05_00.htm">Оглавление</a><hr></body></html>'

# The saved contents keep the page's head from <html to </head>.
pages['expected/2007_05_00.htm'] = TITLE_HEAD[TITLE_HEAD.index('<html'):-1] + '''<body><table><tr><td><img src="2007_05_00/01.jpg"></td><td><h1>Журнал № 5, Май 2007</h1></td></tr></table>
<table>
<tr><td colspan=2><hr></td></tr><tr>
<td><a href="2007_05_01.htm"><img src="2007_05_00/02.png"></a></td>
<td><a href=2007_05_01.htm>
Тайны острова
</a><br>
Экспедиция на остров Пасхи &amp; назад
</td>
</tr>
<tr><td colspan=2><hr></td></tr><tr>
<td><a href="2007_05_02.htm">Звёзды над пустыней</a></td>
<td><a href=2007_05_02.htm>
</a><br>
Обсерватория, адрес которой /magazines/2007/05/stars/ знают все
</td>
</tr>
<tr><td colspan=2><hr></td></tr><tr>
<td><a href='2007_05_03.htm'><img src="2007_05_00/03.gif"></a></td>
<td><a href=2007_05_03.htm>
Погружение на глубину </a><br>
Батискаф на глубине </td>
</tr>
<tr><td colspan=2><hr></td></tr><tr>
<td><a href=2007_05_04.htm class="title">Бонус</a></td>
<td><a href=2007_05_04.htm></a><br>
Дополнительный материал</td>
</tr>
<tr><td colspan=2><hr></td></tr><tr>
<td><a href="2007_05_05.htm#comments">Итоги 2007 года</a></td>
<td><a href=2007_05_05.htm#comments></a><br>
Год 2007 в цифрах</td>
</tr>
</table>
</body></html>'''

pages['expected/2007_05_01.htm'] = (ISLAND_HEAD + '<body>' + ISLAND_START + '<p><img src="2007_05_01/01.jpg"></p>\n' +
                                    ISLAND_MIDDLE + '<p><img src="2007_05_01/02.png"> Снова <img src="2007_05_01/01.jpg"></p>\n' +
                                    BACK)
pages['expected/2007_05_02.htm'] = STARS_HEAD + '<h1>Звёзды над пустыней</h1>\n<p><img src="2007_05_02/01.jpg"></p>\n' + BACK
pages['expected/2007_05_03.htm'] = (DEEP_HEAD + '<h1>Погружение</h1>\n<p>Батискаф опускается.<img src="2007_05_03/01.jpg"></p>\n'
                                    '<p><img src="2007_05_03/02.gif"></p>\n' + BACK)
pages['expected/2007_05_04.htm'] = BONUS_HEAD + BONUS_TEXT + BACK

for name, text in pages.items():
    with open(os.path.join(out, name), 'wb') as f:
        f.write(text.encode('cp1251'))
