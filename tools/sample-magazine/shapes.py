"""The pieces of the two magazine sites' pages that Skerrow's site processors read, written once.

samples.py builds the sample magazine from them and tests/data/site*/make_data.py the test pages; each piece
takes the variations those pages try (the three ways of quoting an attribute, blanks around "=", attributes
and text around the piece, line breaks), so a page shows only what is its own.
"""

META = '<meta http-equiv="Content-Type" content="text/html; charset=windows-1251"'
XHTML = 'html PUBLIC "-//W3C//DTD XHTML 1.0 Transitional//EN"'


def attr(name, value, quote='"', equals="="):
    """name="value"; quote "'" or "" for name='value' or name=value, equals " = " for blanks around it."""
    return "%s%s%s%s%s" % (name, equals, quote, value, quote)


def head(title, doctype=None, meta=None, extra="", one_line=False):
    """A page up to its </head>: the doctype when given, <html> (with the XHTML name space for an XHTML
    doctype) and the head with the title. meta "A" puts the windows-1251 line after the title (site A), "B"
    before it (site B), None leaves it out; extra (whole lines) follows; one_line writes the head on one line."""
    xhtml = doctype is not None and "XHTML" in doctype
    text = ("<!DOCTYPE %s>\n" % doctype if doctype else "") + ("<html%s>\n" % (
        ' xmlns="http://www.w3.org/1999/xhtml"' if xhtml else ""))
    if one_line:
        return text + "<head><title>%s</title></head>\n" % title
    lines = ["<title>%s</title>\n" % title]
    if meta:
        lines.insert(0 if meta == "B" else 1, META + (" />\n" if xhtml else ">\n"))
    return text + "<head>\n" + "".join(lines) + extra + "</head>\n"


def cell(cls, quote='"', attrs=""):
    """A table cell that a site processor finds by its class (block_main_inner, block_header_main_inner,
    block_logs, dots): the opening tag."""
    return "<td %s%s>" % (attr("class", cls, quote), attrs)


def div(cls, text, quote='"', before="", equals="="):
    """A division that a site processor finds by its class (content_zone, content, descr, reflink_descr)."""
    return "<div%s %s>%s</div>" % (before, attr("class", cls, quote, equals), text)


# Site A


def a_issue_link(href, month, cell_attrs=""):
    """The contents table's row with the issue's own link: the month and the year in bold."""
    return '<tr><td%s><a class="t_link_big" href="%s"><b>%s</b></a></td></tr>\n' % (cell_attrs, href, month)


def a_background_cell(background, inner="", attrs="", table=None):
    """A cell whose background is a picture (background is its attribute, see attr()), with inner in it or,
    when table is given (its attributes), in a table nested in the cell."""
    if table is not None:
        inner = "<table%s><tr><td>%s</td></tr></table>" % (table, inner)
    return "<td %s%s>%s</td>" % (background, attrs, inner)


def a_dots(text, table="<table>", quote='"', after=""):
    """A reader's comment: a table whose dots cell holds text; after stands before </table>."""
    return "%s<tr>%s%s</td></tr>%s</table>" % (table, cell("dots", quote), text, after)


# Site B


def b_content_zone(cover, heading, before="", between=""):
    """The contents page's content_zone division up to its heading: the cover division, between, the <h1>."""
    return "<div%s %s>\n%s\n%s<h1>%s</h1>\n" % (before, attr("class", "content_zone"), cover, between, heading)


def b_row(cells, sep="", tr="<tr>"):
    """A row of the contents table: its cells (whole <td> elements) joined by sep."""
    return tr + sep + sep.join(cells) + sep + "</tr>\n"
