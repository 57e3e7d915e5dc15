#!/usr/bin/env python3
"""Manual pages made from docs pages (whole, or one section): structure, escaping, markup."""
import gzip
import importlib.util
import os
import subprocess
import sys
import tempfile
import unittest

spec = importlib.util.spec_from_file_location("readme_to_man", sys.argv.pop(1))
to_man = importlib.util.module_from_spec(spec)
spec.loader.exec_module(to_man)

README = """# Tool

## Before
Not this one.

## The tool

`tool COMMAND ...` does things; `tool help` lists them.
A second line of the same paragraph.

- `run FILE [--fast] -o OUT.png|OUT.jpg` runs FILE, writing
  OUT; a continuation line.
- `make-it DIR` makes DIR.
- a bullet without a code span
- `--size WxH`: cell size, 3 \u00d7 4 \u2014 no more.

    indented code
    .starts with a dot

Exit status 2 means a wrong command line.

'quoted at the start, with a back\\slash.

## After
Not this one either.

## Licence

Under a licence; see `/usr/share/doc/tool/copyright`.

- `libfoo` keeps its own.
"""


def page(section="The tool", name="tool", **kw):
    return to_man.render(README, section, name, "does things", "1.0",
                         kw.get("list_title", "COMMANDS"), kw.get("see_also", ["other(1)"]))


class Structure(unittest.TestCase):
    def test_sections_in_order_and_only_the_named_section(self):
        p = page()
        order = [p.index(s) for s in (".SH NAME", ".SH SYNOPSIS", ".SH DESCRIPTION",
                                      ".SH COMMANDS", ".SH SEE ALSO")]
        self.assertEqual(order, sorted(order))
        self.assertNotIn("Not this one", p)
        self.assertIn("tool \\- does things", p)
        self.assertIn("\\fBother\\fR(1)", p)

    def test_synopsis_is_the_first_code_span(self):
        p = page()
        synopsis = p.split(".SH SYNOPSIS\n")[1].split("\n")[0]
        self.assertEqual(synopsis, "\\fBtool\\fR \\fICOMMAND\\fR ...")

    def test_items_with_a_code_span_are_tagged_paragraphs(self):
        lines = page().splitlines()
        tags = [lines[i + 1] for i, l in enumerate(lines) if l == ".TP"]
        self.assertEqual(len(tags), 3)
        self.assertTrue(tags[0].startswith("\\fBrun\\fR \\fIFILE\\fR [\\fB\\-\\-fast\\fR]"))
        self.assertIn("\\fIOUT\\fR\\fB.png\\fR|\\fIOUT\\fR\\fB.jpg\\fR", tags[0])
        self.assertEqual(tags[1], "\\fBmake\\-it\\fR \\fIDIR\\fR")
        # Continuation lines join the item; the separator after the tag goes.
        self.assertIn("runs FILE, writing OUT; a continuation line.", page())
        self.assertIn("\ncell size,", page())
        self.assertIn(".IP \\(bu 2\na bullet without a code span", page())

    def test_paragraphs_after_the_list_stay_and_code_blocks_are_verbatim(self):
        p = page()
        self.assertIn(".nf\nindented code\n\\&.starts with a dot\n.fi", p)
        self.assertIn(".PP\nExit status 2 means a wrong command line.\n.PP\n"
                      "\\&'quoted at the start, with a back\\eslash.\n.SH SEE ALSO", p)

    def test_extra_sections_follow_under_their_own_heading_before_see_also(self):
        p = to_man.render(README, "The tool", "tool", "s", "1.0", "COMMANDS", ["other(1)"],
                          ["Licence"])
        licence = p.split(".SH LICENCE\n")[1]
        self.assertTrue(licence.startswith(
            ".PP\nUnder a licence; see \\fB/usr/share/doc/tool/copyright\\fR.\n"
            ".TP\n\\fBlibfoo\\fR\nkeeps its own.\n.SH SEE ALSO"), licence)
        # Its list stays in its section: COMMANDS holds the main section's items only.
        self.assertEqual(p.count(".SH COMMANDS"), 1)
        self.assertLess(p.index(".SH COMMANDS"), p.index(".SH LICENCE"))
        self.assertNotIn("LICENCE", page())
        with self.assertRaises(SystemExit):
            to_man.render(README, "The tool", "tool", "s", "1.0", "COMMANDS", [], ["Nowhere"])

    def test_missing_or_empty_section_is_an_error(self):
        with self.assertRaises(SystemExit):
            page(section="Nowhere")
        with self.assertRaises(SystemExit):
            to_man.render("## Empty\n\n## Next\ntext\n", "Empty", "x", "s", "1", "OPTIONS", [])


PAGE = """# tool

`tool [OPTION...] FILE` reads FILE.

- `--deep` reads deeper:
  - `--deep` alone: one level;
    a continuation of that bullet.
  - twice: two levels.

  A second paragraph of the same option.
- `--flat` reads flat.

After the list, still in OPTIONS.

## Keys

- Ctrl+Q quits.

### In the grid

Arrows step.

## The `servers` file

    {"servers": [
      {"name": "A"}
    ]}
"""

LICENCE = "# Front\n\n## Licence\n\nFree to use.\n"


class WholePage(unittest.TestCase):
    def page(self, **kw):
        return to_man.render(PAGE, None, "tool", "reads", "1.0", "OPTIONS", ["other(1)"],
                             **kw)

    def test_text_before_the_first_section_is_the_main_part_and_sections_follow(self):
        p = self.page()
        self.assertNotIn("# tool", p)
        self.assertEqual(p.split(".SH SYNOPSIS\n")[1].split("\n")[0],
                         "\\fBtool\\fR [\\fIOPTION\\fR...] \\fIFILE\\fR")
        heads = [l for l in p.splitlines() if l.startswith((".SH", ".SS"))]
        self.assertEqual(heads, [".SH NAME", ".SH SYNOPSIS", ".SH DESCRIPTION", ".SH OPTIONS",
                                 ".SH KEYS", ".SS In the grid", ".SH THE SERVERS FILE",
                                 ".SH SEE ALSO"])
        self.assertIn("After the list, still in OPTIONS.\n.SH KEYS", p)
        # A section's list is bullets there, not a second OPTIONS heading.
        self.assertIn(".SH KEYS\n.IP \\(bu 2\nCtrl+Q quits.", p)

    def test_nested_list_and_item_paragraph_stay_with_their_item(self):
        p = self.page()
        deep = p.split("\\fB\\-\\-deep\\fR\nreads deeper:\n")[1].split(".TP")[0]
        self.assertEqual(deep.splitlines(), [
            ".RS", ".IP \\(bu 2",
            "\\fB\\-\\-deep\\fR alone: one level; a continuation of that bullet.",
            ".IP \\(bu 2", "twice: two levels.", ".RE",
            ".IP", "A second paragraph of the same option."])
        self.assertEqual(p.count(".TP"), 2)

    def test_code_blocks_keep_their_indentation(self):
        self.assertIn('.nf\n{"servers": [\n  {"name": "A"}\n]}\n.fi', self.page())

    def test_extra_sections_come_from_another_page(self):
        p = self.page(extra=["Licence"], extra_text=LICENCE, source="docs/tool.md")
        self.assertIn(".SH LICENCE\n.PP\nFree to use.\n.SH SEE ALSO", p)
        self.assertTrue(p.startswith('.\\" Generated from docs/tool.md;'))
        with self.assertRaises(SystemExit):  # not looked up in the page itself
            to_man.render(PAGE, None, "tool", "s", "1", "OPTIONS", [], ["Keys"], LICENCE)

    def test_page_without_a_main_part_is_an_error(self):
        with self.assertRaises(SystemExit):
            to_man.render("# tool\n\n## Only\ntext\n", None, "tool", "s", "1", "OPTIONS", [])
        with self.assertRaises(SystemExit):
            to_man.render("# tool\n\nIntro.\n\n## Empty\n\n", None, "tool", "s", "1",
                          "OPTIONS", [])


class Escaping(unittest.TestCase):
    def test_requests_backslashes_and_non_ascii(self):
        self.assertEqual(to_man.line(".dot"), "\\&.dot")
        self.assertEqual(to_man.line("'quote"), "\\&'quote")
        self.assertEqual(to_man.escape("a\\b"), "a\\eb")
        self.assertEqual(to_man.escape("3 \u00d7 4 \u2014"), "3 \\[u00D7] 4 \\[u2014]")
        self.assertTrue(page().isascii())

    def test_inline_markup(self):
        self.assertEqual(to_man.inline("**b** and *i* and [link](http://x) ![pic](p.png)"),
                         "\\fBb\\fR and \\fIi\\fR and link ")
        # Ellipses and separators in code stay roman; literals bold, placeholders italic.
        self.assertEqual(to_man.code("dump FILE... [--no-frame-tables]"),
                         "\\fBdump\\fR \\fIFILE\\fR... [\\fB\\-\\-no\\-frame\\-tables\\fR]")


class Output(unittest.TestCase):
    def test_groff_reads_it_without_warnings(self):
        with tempfile.TemporaryDirectory() as d:
            src = os.path.join(d, "README.md")
            with open(src, "w", encoding="utf-8") as f:
                f.write(README)
            out = os.path.join(d, "tool.1")
            self.assertEqual(to_man.main([src, "--section", "The tool", "--name", "tool",
                                          "--summary", "s", "--version", "1.0",
                                          "--extra-section", "Licence", "-o", out]), 0)
            r = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z", out],
                               capture_output=True, text=True)
            self.assertEqual((r.returncode, r.stderr), (0, ""))
            # A whole page, its licence taken from the README.
            page_src = os.path.join(d, "tool.md")
            with open(page_src, "w", encoding="utf-8") as f:
                f.write(PAGE)
            self.assertEqual(to_man.main([page_src, "--name", "tool", "--summary", "s",
                                          "--version", "1.0", "--extra-source", src,
                                          "--extra-section", "Licence", "-o", out]), 0)
            r = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z", out],
                               capture_output=True, text=True)
            self.assertEqual((r.returncode, r.stderr), (0, ""))
            with open(out, encoding="ascii") as f:
                self.assertIn(".SH LICENCE", f.read())

    def test_compressed_page_is_the_same_bytes_every_time(self):
        with tempfile.TemporaryDirectory() as d:
            src = os.path.join(d, "README.md")
            with open(src, "w", encoding="utf-8") as f:
                f.write(README)
            outs = []
            for n in ("a.1.gz", "b.1.gz"):
                out = os.path.join(d, n)
                to_man.main([src, "--section", "The tool", "--name", "tool", "--summary", "s",
                             "--version", "1.0", "--list-title", "COMMANDS", "-o", out])
                with open(out, "rb") as f:
                    outs.append(f.read())
            self.assertEqual(outs[0], outs[1])
            self.assertIn(b".SH COMMANDS", gzip.decompress(outs[0]))


if __name__ == "__main__":
    unittest.main(verbosity=1)
