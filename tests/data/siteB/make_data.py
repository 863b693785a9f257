#!/usr/bin/env python3
"""Writes the sample issue of the second site and the pages expected of its copy, in windows-1251.

The pictures under images/ are tiny real files made once with ImageMagick, e.g.
convert -size 3x2 xc:'#c04020' images/cover.jpg; every one has its own size or colour.
site.txt maps the URLs that the sample server answers to these files.
"""
import os
out = os.path.dirname(os.path.abspath(__file__))
os.makedirs(out + '/expected', exist_ok=True)
pages = {}

pages['title.htm'] = '''<!DOCTYPE html PUBLIC "-//W3C//DTD XHTML 1.0 Transitional//EN">
<html xmlns="http://www.w3.org/1999/xhtml">
<head>
<meta http-equiv="Content-Type" content="text/html; charset=windows-1251" />
<title>Вокруг света: май 2007</title>
<link rel="stylesheet" type="text/css" href="/css/main.css" />
<link rel="next" href="/magazines/2007/05/island/" />
</head>
<body>
<div class="top"><img src="/images/logo.gif" alt="Вокруг света" /></div>
<div id="main" class="content_zone">
<div class="cover"><a href="/archive/"><img src="/images/covers/2007-05.jpg" width="150" alt="Обложка" /></a></div>
<p class="announce">В номере: <b>острова</b>, звёзды и глубины</p>
<h1>Журнал № 5, Май 2007</h1>
<table class="issue">
<tr>
<td><a href="/magazines/2007/05/island/"><img src="/images/thumbs/island.png" alt="" /></a></td>
<td><a class="title" href="/magazines/2007/05/island/">Тайны острова</a>
<div class="descr">Экспедиция на <b>остров</b> Пасхи &amp; назад</div></td>
</tr>
<tr><td colspan="2"><div class="rubric">Наука</div></td></tr>
<tr>
<td><a href="/magazines/2007/05/stars/">Звёзды над пустыней</a></td>
<td><div class="descr">Обсерватория, адрес которой /magazines/2007/05/stars/ знают все</div></td>
</tr>
<tr>
<td><a href='pages/deep.html'><img src="http://mag-b.test/images/thumbs/deep.gif" /></a></td>
<td><a href='pages/deep.html'>Погружение</a> на глубину <1000 м<div class="descr"><i>Батискаф</i> на глубине <300 м
</tr>
<tr class="odd"><td><a href="/magazines/2007/05/odd/">Строка с классом</a></td><td><div class="descr">Не по образцу</div></td></tr>
<tr><td><a href="/magazines/2007/05/nodiv/">Строка без описания</a></td></tr>
</table>
<div class="content">Реклама</div>
<table class="extra">
<tr><td><a href=/magazines/2007/05/bonus/ class="title">Бонус</a></td><td><div class="descr">Дополнительный материал</div></td></tr>
<tr><td><a href="7#comments">Итоги 2007 года</a></td><td><div class="descr">Год 2007 в цифрах</div></td></tr>
</table>
<div class='content'>Подвал</div>
<table class="after">
<tr><td><a href="/magazines/2007/05/late/">Не входит</a></td><td><div class="descr">После последнего блока</div></td></tr>
</table>
<div class="content_footer">Подпись</div>
</div>
</body>
</html>
'''

# The year followed by a blank inside the heading: the issue cannot be named.
pages['title_year_blank.htm'] = pages['title.htm'].replace('<h1>Журнал № 5, Май 2007</h1>', '<h1>Журнал № 5, Май 2007 </h1>')

pages['island.htm'] = '''<!DOCTYPE html>
<html>
<head>
<meta http-equiv="Content-Type" content="text/html; charset=windows-1251">
<title>Тайны острова | Вокруг света</title>
<style type="text/css">body { font-family: Georgia, serif; }</style>
</head>
<body>
<div class="print_logo"><img src="/images/print_logo.gif" alt="Вокруг света"></div>
<p class="date">Май 2007</p>
<h1>Тайны острова</h1>
<p class="lead">Экспедиция на остров Пасхи.</p>
<p><img src="/i/2007/05/island_1.jpg" width="400" height="300" alt="Статуи моаи"></p>
<p>Каменные статуи стоят лицом к острову.</p>
<h1>Часть вторая</h1>
<p><img src='/i/2007/05/island_2.png' border=0> Снова <img src="/i/2007/05/island_1.jpg"></p>
<div class="reflink_descr">Фото: архив журнала</div>
<p><img src="/i/2007/05/dropped.jpg"></p>
</body>
</html>
'''

pages['stars.htm'] = '''<html>
<head><title>Звёзды над пустыней</title></head>
<BODY>
<h1>Звёзды над пустыней</h1>
<p><img src="/i/2007/05/stars.jpg"></p>
<div class="reflink_descr">Фото: автор</div>
</BODY>
</html>
'''

pages['deep.htm'] = '''<html>
<head>
<title>Погружение</title>
</head>
<body>
<h1>Погружение</h1>
<p>Батискаф опускается.<img src=http://mag-b.test/i/2007/05/deep.jpg?size=big alt=x></p>
<p><img src="/i/2007/05/deep_scheme.gif" /></p>
<div id="ref" class = 'reflink_descr'>Источник</div>
</body>
</html>
'''

pages['bonus.htm'] = '''<html><head><title>Бонус</title></head><body><div class="nav">Навигация</div><h1>Бонус</h1><p>Текст без картинок.</p><div class=reflink_descr>Ссылка</div></body></html>'''

pages['expected/2007_05_00.htm'] = '''<html xmlns="http://www.w3.org/1999/xhtml">
<head>
<meta http-equiv="Content-Type" content="text/html; charset=windows-1251" />
<title>Вокруг света: май 2007</title>
<link rel="stylesheet" type="text/css" href="/css/main.css" />
<link rel="next" href="/magazines/2007/05/island/" />
</head><body><table><tr><td><img src="2007_05_00/01.jpg"></td><td><h1>Журнал № 5, Май 2007</h1></td></tr></table>
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

pages['expected/2007_05_01.htm'] = '''<!DOCTYPE html>
<html>
<head>
<meta http-equiv="Content-Type" content="text/html; charset=windows-1251">
<title>Тайны острова | Вокруг света</title>
<style type="text/css">body { font-family: Georgia, serif; }</style>
</head>
<body><h1>Тайны острова</h1>
<p class="lead">Экспедиция на остров Пасхи.</p>
<p><img src="2007_05_01/01.jpg"></p>
<p>Каменные статуи стоят лицом к острову.</p>
<h1>Часть вторая</h1>
<p><img src="2007_05_01/02.png"> Снова <img src="2007_05_01/01.jpg"></p>
<hr><a href="2007_05_00.htm">Оглавление</a><hr></body></html>'''

pages['expected/2007_05_03.htm'] = '''<html>
<head>
<title>Погружение</title>
</head>
<body><h1>Погружение</h1>
<p>Батискаф опускается.<img src="2007_05_03/01.jpg"></p>
<p><img src="2007_05_03/02.gif"></p>
<hr><a href="2007_05_00.htm">Оглавление</a><hr></body></html>'''

pages['expected/2007_05_04.htm'] = '''<html><head><title>Бонус</title></head><body><h1>Бонус</h1><p>Текст без картинок.</p><hr><a href="2007_05_00.htm">Оглавление</a><hr></body></html>'''

for name, text in pages.items():
    with open(os.path.join(out, name), 'wb') as f:
        f.write(text.encode('cp1251'))
