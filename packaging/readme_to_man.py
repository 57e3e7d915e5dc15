#!/usr/bin/env python3
"""Writes a manual page from a Markdown page of docs/ (or one of its sections).

The docs pages are the only place where the programs' commands and options
are described; the manual pages are made from them at build time so the two
never drift. A whole page gives its text before the first "## " heading as
the page's main part and each "## " section after it as a section of its own
under its upper-case title ("### " headings become subsections); with
--section, one "## " section alone is the main part. The main part's
paragraphs before its first list become DESCRIPTION, the list becomes the
OPTIONS or COMMANDS section (one tagged paragraph per item whose text starts
with a code span), and what follows the list stays in that section. SYNOPSIS
is the main part's first code span when it names the program. Extra sections
(the README's licence, say) follow under their own upper-case headings,
before SEE ALSO.

Only the Markdown the docs use is understood: a "# " title, "## " and "### "
headings, paragraphs, "- " lists with indented continuation lines, "  - "
lists and two-space indented paragraphs inside an item, indented code blocks,
`code`, **bold**, *emphasis* and [links](...); not tables.
"""
import argparse
import gzip
import re
import sys


def read_section(text, title):
    """Lines of the level-2 section called title, without its heading."""
    lines = text.splitlines()
    out, inside = [], False
    for line in lines:
        if line.startswith("## "):
            if inside:
                break
            inside = line[3:].strip() == title
            continue
        if inside:
            out.append(line)
    if not inside and not out:
        raise SystemExit(f"readme_to_man: no section '## {title}'")
    return out


def read_page(text):
    """A whole page: the lines before its first "## " heading (its "# " title
    left out) and a (title, lines) pair for every "## " section."""
    main, sections = [], []
    for line in text.splitlines():
        if line.startswith("## "):
            sections.append((line[3:].strip(), []))
        elif sections:
            sections[-1][1].append(line)
        elif not line.startswith("# "):
            main.append(line)
    return main, sections


def blocks(lines):
    """Splits a section into ('para', text), ('item', text), ('subitem', text)
    (a "  - " list inside an item), ('itempara', text) (a further paragraph of
    an item, indented by two), ('code', lines) and ('heading', text)."""
    result, current, kind = [], [], None
    listed = ("item", "subitem", "itempara")

    def flush():
        nonlocal current, kind
        if current:
            if kind == "code":
                result.append(("code", current))
            else:
                result.append((kind, " ".join(s.strip() for s in current)))
        current, kind = [], None

    for line in lines:
        if line.startswith("### ") and kind != "code":
            flush()
            result.append(("heading", line[4:].strip()))
            continue
        if not line.strip():
            if kind == "code":
                current.append("")
                continue
            flush()
            continue
        if line.startswith("    ") and kind in (None, "code"):
            if kind != "code":
                flush()
                kind = "code"
            current.append(line[4:])
            continue
        if kind == "code":
            while current and not current[-1]:
                current.pop()
            flush()
        if line.startswith("- "):
            flush()
            kind = "item"
            current.append(line[2:])
        elif line.startswith("  - ") and (kind in listed or (kind is None and result
                                                            and result[-1][0] in listed)):
            flush()
            kind = "subitem"
            current.append(line[4:])
        elif kind in listed and line.startswith("  "):
            current.append(line)
        elif kind is None and line.startswith("  ") and result and result[-1][0] in listed:
            kind = "itempara"
            current.append(line)
        else:
            if kind in listed:
                flush()
            kind = kind or "para"
            current.append(line)
    if kind == "code":
        while current and not current[-1]:
            current.pop()
    flush()
    return result


def escape(text):
    """Plain text for roff: backslashes, non-ASCII characters."""
    out = []
    for ch in text.replace("\\", "\\e"):
        if ord(ch) < 128:
            out.append(ch)
        else:
            out.append("\\[u%04X]" % ord(ch))
    return "".join(out)


PLACEHOLDER = re.compile(r"\b[A-Z][A-Z0-9]*\b")
LITERAL = re.compile(r"[A-Za-z0-9_.,=/+:%~$-]+")


def code(text):
    """A code span: literals bold, upper-case placeholders italic, the rest roman."""
    out, i = [], 0
    while i < len(text):
        m = PLACEHOLDER.match(text, i)
        if m:
            out.append("\\fI" + escape(m.group(0)) + "\\fR")
            i = m.end()
            continue
        m = LITERAL.match(text, i)
        if m:
            word = m.group(0)
            # A literal run stops before a placeholder inside it (OUT.png -> OUT, .png).
            p = PLACEHOLDER.search(word)
            if p and p.start() > 0:
                word = word[: p.start()]
            if word.strip(".,"):
                out.append("\\fB" + escape(word).replace("-", "\\-") + "\\fR")
            else:
                out.append(escape(word))  # an ellipsis or a separator
            i += len(word)
            continue
        out.append(escape(text[i]))
        i += 1
    return "".join(out)


def inline(text):
    """Markdown inline markup of running text into roff."""
    text = re.sub(r"!\[[^\]]*\]\([^)]*\)", "", text)
    text = re.sub(r"\[([^\]]+)\]\([^)]*\)", r"\1", text)
    parts = re.split(r"(`[^`]*`)", text)
    out = []
    for part in parts:
        if part.startswith("`") and part.endswith("`") and len(part) >= 2:
            out.append(code(part[1:-1]))
            continue
        part = escape(part)
        part = re.sub(r"\*\*([^*]+)\*\*", r"\\fB\1\\fR", part)
        part = re.sub(r"(?<![\w*])\*([^*\s][^*]*)\*(?![\w*])", r"\\fI\1\\fR", part)
        out.append(part)
    return "".join(out)


def line(text):
    """One output line; a leading dot or quote would read as a request."""
    text = text.strip()
    return "\\&" + text if text[:1] in (".", "'") else text


def verbatim(text):
    """A code block's line: its indentation kept (no-fill mode shows it)."""
    text = escape(text.rstrip())
    return "\\&" + text if text[:1] in (".", "'") else text


def heading(title):
    """A heading's text for .SH or .SS: code spans lose their backquotes."""
    return line(escape(title.replace("`", "")))


def body(items, list_title):
    """Roff for a section's blocks; a list starts list_title's section when given."""
    out, in_list, in_sub = [], False, False
    for kind, value in items:
        if in_sub and kind != "subitem":
            out.append(".RE")
            in_sub = False
        if kind == "item":
            if list_title and not in_list:
                out.append(".SH " + list_title)
                in_list = True
            m = re.match(r"`([^`]+)`[\s:,\u2014-]*(.*)$", value)
            if m:
                out += [".TP", code(m.group(1)), line(inline(m.group(2)))]
            else:
                out += [".IP \\(bu 2", line(inline(value))]
        elif kind == "subitem":
            # .RS moves the margin to the item's text, so the bullets sit under it.
            if not in_sub:
                out.append(".RS")
                in_sub = True
            out += [".IP \\(bu 2", line(inline(value))]
        elif kind == "itempara":
            out += [".IP", line(inline(value))]
        elif kind == "para":
            out += [".PP", line(inline(value))]
        elif kind == "heading":
            out += [".SS " + heading(value)]
        else:
            out += [".PP", ".RS 4", ".nf"] + [verbatim(s) for s in value] + [".fi", ".RE"]
    if in_sub:
        out.append(".RE")
    return out


def render(text, section, name, summary, version, list_title, see_also, extra=(),
           extra_text=None, source="README.md"):
    """The page for name from text: the "## " section called section, or the
    whole page when section is None. Extra sections come from extra_text when
    given, else from text; source names the input in the page's comment."""
    if section is None:
        main, sections = read_page(text)
        where = "the text before the first '## ' heading"
    else:
        main, sections = read_section(text, section), []
        where = f"section '## {section}'"
    items = blocks(main)
    if not items:
        raise SystemExit(f"readme_to_man: {where} is empty")
    synopsis = None
    for kind, value in items:
        if kind == "para":
            m = re.search(r"`([^`]+)`", value)
            if m and m.group(1).split()[0] == name:
                synopsis = m.group(1)
            break
    out = [
        '.\\" Generated from %s; edit that, not this page.' % escape(source),
        '.TH %s 1 "" "Tavrolen Viewer %s" "User Commands"' % (name.upper(), version),
        ".SH NAME",
        "%s \\- %s" % (name.replace("-", "\\-"), escape(summary)),
        ".SH SYNOPSIS",
        code(synopsis) if synopsis else "\\fB%s\\fR" % name.replace("-", "\\-"),
        ".SH DESCRIPTION",
    ]
    out += body(items, list_title)
    for title, lines in sections:
        more = blocks(lines)
        if not more:
            raise SystemExit(f"readme_to_man: section '## {title}' is empty")
        out += [".SH " + heading(title.upper())] + body(more, None)
    for title in extra:
        more = blocks(read_section(text if extra_text is None else extra_text, title))
        if not more:
            raise SystemExit(f"readme_to_man: section '## {title}' is empty")
        out += [".SH " + heading(title.upper())] + body(more, None)
    if see_also:
        refs = []
        for ref in see_also:
            m = re.match(r"(.+)\((\w+)\)$", ref)
            refs.append("\\fB%s\\fR(%s)" % (m.group(1).replace("-", "\\-"), m.group(2)) if m else escape(ref))
        out += [".SH SEE ALSO", ", ".join(refs)]
    return "\n".join(out) + "\n"


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("source", help="the Markdown page")
    ap.add_argument("--section", help="title of the level-2 section to take; without it, the whole page")
    ap.add_argument("--name", required=True, help="program name")
    ap.add_argument("--summary", required=True, help="the NAME line's description")
    ap.add_argument("--version", required=True)
    ap.add_argument("--list-title", default="OPTIONS")
    ap.add_argument("--see-also", action="append", default=[])
    ap.add_argument("--extra-section", action="append", default=[],
                    help="a level-2 section to append under its own heading")
    ap.add_argument("--extra-source", help="the page the extra sections come from (default: source)")
    ap.add_argument("-o", "--output", required=True, help="page to write; .gz compresses it")
    a = ap.parse_args(argv)
    with open(a.source, encoding="utf-8") as f:
        text = f.read()
    extra_text = None
    if a.extra_source:
        with open(a.extra_source, encoding="utf-8") as f:
            extra_text = f.read()
    # The path as given goes into the page, so a build run from the source
    # tree with relative paths gives the same bytes wherever the tree lies.
    page = render(text, a.section, a.name, a.summary, a.version, a.list_title, a.see_also,
                  a.extra_section, extra_text, a.source)
    data = page.encode("ascii")
    if a.output.endswith(".gz"):
        # No name and no time stamp in the header, so a rebuild gives the same bytes.
        with open(a.output, "wb") as raw, gzip.GzipFile(filename="", mode="wb", fileobj=raw,
                                                         compresslevel=9, mtime=0) as z:
            z.write(data)
    else:
        with open(a.output, "wb") as f:
            f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
