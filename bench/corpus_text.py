"""Extracts the benchmark corpora from the Debian packages bench/make_corpus.sh unpacked under
ROOT, into OUT: en.txt and zh.txt hold running text, one sentence per line, deduplicated;
code.txt one source line per line. Markup is reduced to its prose: code samples, tables,
synopses and navigation are dropped. Usage: corpus_text.py ROOT OUT"""
import glob
import gzip
import html.parser
import os
import re
import subprocess
import sys
import tarfile
import zlib
from concurrent.futures import ThreadPoolExecutor

ROOT, OUT = sys.argv[1], sys.argv[2]
FORTUNES = os.path.join(ROOT, "usr/share/games/fortunes")
ZH_FORTUNES = ("chinese", "tang300", "song100")   # fortunes-zh shares the English directory
HAN = re.compile(r"[\u3400-\u9fff]")
CJK = r"[\u3000-\u303f\u3400-\u9fff\uff00-\uffef]"


def read(path):
    with (gzip.open if path.endswith(".gz") else open)(path, "rb") as f:
        return f.read().decode("utf-8", "replace")


def files(top, name, skip=None):
    """Regular files below ROOT/top (a glob) whose path matches the regex `name`, sorted. Links
    are left out: Debian points common files at absolute paths, which would leave the tree."""
    found = []
    for base in glob.glob(os.path.join(ROOT, top)):
        for d, _, names in os.walk(base):
            for n in names:
                p = os.path.join(d, n)
                rel = p[len(ROOT):]
                if re.search(name, rel) and not os.path.islink(p) and not (skip and re.search(skip, rel)):
                    found.append(p)
    return sorted(found)


def parallel(fn, items):
    """fn over items on all processors (the work is in groff), results in order, flattened."""
    with ThreadPoolExecutor(os.cpu_count() or 2) as pool:
        for result in pool.map(fn, items):
            yield from result


# ---- markup to paragraphs ----

# Directives whose body is code, data or navigation rather than prose.
RST_SKIP = {"code", "code-block", "sourcecode", "literalinclude", "highlight", "doctest", "testcode",
            "testoutput", "productionlist", "kernel-doc", "toctree", "csv-table", "list-table",
            "flat-table", "table", "raw", "math", "image", "figure", "graphviz", "include", "only",
            "index", "c:macro"}
RST_INLINE = [
    (r":[\w:.+-]+:`~?!?([^`<]*?)\s*(<[^`]*>)?`", r"\1"),   # :role:`text <target>`
    (r"``(.+?)``", r"\1"),
    (r"`([^`<]*?)\s*(<[^`]*>)?`__?", r"\1"),               # `text <url>`_
    (r"`([^`]+)`", r"\1"),
    (r"\*\*([^*]+)\*\*", r"\1"),
    (r"(?<![\w*])\*(\S[^*]*?)\*(?![\w*])", r"\1"),
    (r"\s*\[(#\w*|\d+)\]_", ""),                            # footnote references
    (r"\\ |\|", ""),                                        # escaped spaces, substitutions
]
RST_NOISE = re.compile(r"([=\-`:'\"~^_*+#<>.])\1{2,}"      # section underlines
                       r"|[=\s]{3,}|[+|].*"                 # table borders and rows
                       r"|:[\w -]+:(\s.*)?")                # field lists
BULLET = re.compile(r"([-*+•]|#\.|\d+\.|\(\d+\))\s+")


def rst(text):
    paragraphs, current = [], []
    skip_deeper_than = None   # indentation of the line that opened a skipped block

    def end_paragraph():
        if current:
            paragraphs.append(" ".join(current))
            current.clear()

    for line in text.splitlines():
        body = line.strip()
        indent = len(line) - len(line.lstrip())
        if skip_deeper_than is not None:
            if not body or indent > skip_deeper_than:
                continue
            skip_deeper_than = None
        if body == ".." or body.startswith(".. "):
            end_paragraph()
            directive = re.match(r"\.\.\s+([\w:-]+)::", body)
            if not directive or directive.group(1) in RST_SKIP:   # comment, target or code
                skip_deeper_than = indent
            continue                        # other directives (note, warning...): keep the body
        if not body or RST_NOISE.fullmatch(body):
            end_paragraph()
            continue
        if body.endswith("::"):            # "Example::" introduces a literal block
            body = body[:-1].rstrip(":").rstrip()
            skip_deeper_than = indent
        bullet = BULLET.match(body)
        if bullet:
            end_paragraph()
            body = body[bullet.end():]
        if body:
            current.append(body)
        if skip_deeper_than is not None:
            end_paragraph()
    end_paragraph()
    for i, p in enumerate(paragraphs):
        for pattern, repl in RST_INLINE:
            p = re.sub(pattern, repl, p)
        paragraphs[i] = p
    return paragraphs


class HtmlText(html.parser.HTMLParser):
    SKIP = {"script", "style", "head", "pre", "nav", "header", "footer", "aside", "noscript"}
    BLOCK = {"p", "div", "li", "h1", "h2", "h3", "h4", "h5", "h6", "br", "tr", "td", "th", "dt",
             "dd", "table", "section", "blockquote", "title", "ul", "ol", "dl"}

    def __init__(self):
        super().__init__()
        self.parts, self.skipping, self.depth = [], None, 0

    def handle_starttag(self, tag, attrs):
        if self.skipping:
            self.depth += tag == self.skipping
        elif tag in self.SKIP or re.search(r"nav(header|footer)", dict(attrs).get("class") or ""):
            self.skipping, self.depth = tag, 1
        elif tag in self.BLOCK:
            self.parts.append("\n")

    def handle_endtag(self, tag):
        if self.skipping:
            if tag == self.skipping:
                self.depth -= 1
                self.skipping = self.skipping if self.depth else None
        elif tag in self.BLOCK:
            self.parts.append("\n")

    def handle_data(self, data):
        if not self.skipping:
            self.parts.append(data.replace("\n", " "))


def html_text(text):
    parser = HtmlText()
    parser.feed(text)
    return "".join(parser.parts).split("\n")


MAN_SKIP_SECTIONS = {"SYNOPSIS", "EXAMPLE", "EXAMPLES", "SEE ALSO", "COLOPHON"}


def man(path):
    """A man page rendered by groff, one paragraph per line, without its code and synopsis."""
    source = read(path)
    if source.lstrip().startswith(".so "):   # alias of another page
        return []
    # No-fill blocks are code examples: .nf/.fi, .EX/.EE, and pod2man's .Vb/.Ve.
    source = re.sub(r"^\.(nf|EX|Vb)\b.*?^\.(fi|EE|Ve)\b.*?$", "", source, flags=re.M | re.S)
    rendered = subprocess.run(
        ["groff", "-k", "-Kutf-8", "-t", "-man", "-Tutf8", "-P-cbou", "-rLL=5000n", "-rHY=0"],
        input=source.encode(), capture_output=True).stdout.decode("utf-8", "replace")
    lines = [l for l in rendered.split("\n") if l.strip()][1:-1]   # page header and footer
    out, section = [], ""
    for line in lines:
        if not line.startswith(" "):
            section = line.strip()
        elif section not in MAN_SKIP_SECTIONS:
            out.append(line)
    return out


# ---- paragraphs to sentences ----

def sentences_en(paragraph):
    p = " ".join(paragraph.split())
    return re.split(r"(?<=[.!?])\s+(?=[A-Z\"'(\[])", p) if p else []


def sentences_zh(paragraph):
    p = re.sub(f"(?<={CJK}) (?={CJK})", "", " ".join(paragraph.split()))   # line-wrap spaces
    return [s for s in re.split(r"(?<=[。！？；])\s*", p) if s]


def write(name, lines, keep, prose=True):
    seen, count, size = set(), 0, 0
    with open(os.path.join(OUT, name), "w", encoding="utf-8") as f:
        for line in lines:
            if prose:
                # Overstrikes and control characters go; over-long lines are joined tables.
                line = re.sub(r"[\x00-\x08\x0b-\x1f\x7f]", "", re.sub(r".\x08", "", line)).strip()
                if len(line) > 1000 or "\ufffd" in line or hash(line) in seen:
                    continue
                seen.add(hash(line))
            else:
                line = line.rstrip()   # code keeps its indentation
            if line.strip() and keep(line):
                f.write(line + "\n")
                count += 1
                size += len(line.encode()) + 1
    print(f"{name}: {size / 1e6:.1f} MB, {count} lines", file=sys.stderr)


# ---- the three corpora ----

def english():
    for p in files("usr/share/doc/linux-doc-*/Documentation", r"\.(rst|txt)\.gz$",
                   skip=r"/(translations|devicetree|ABI)/") + \
             files("usr/share/doc/python3.*/html/_sources", r"\.rst\.txt$"):
        for paragraph in rst(read(p)):
            yield from sentences_en(paragraph)
    for p in files("usr/share/doc/postgresql-doc-*/html", r"\.html$", skip=r"bookindex"):
        for paragraph in html_text(read(p)):
            yield from sentences_en(paragraph)
    pages = files("usr/share/man/man[1-8]*", r"\.gz$")
    yield from parallel(lambda p: [s for l in man(p) for s in sentences_en(l)], pages)
    for name in sorted(os.listdir(FORTUNES)):
        if "." not in name and name not in ZH_FORTUNES:   # not the .dat indexes or .u8 links
            yield from (l for l in read(os.path.join(FORTUNES, name)).splitlines() if l.strip() != "%")


CODE_LIKE = re.compile(r"^(#|\$ |% |>>> |\.\.\. )|[;{}]$|/\*|\*/")


def is_english(line):
    return len(line.split()) >= 3 and not HAN.search(line) and not CODE_LIKE.search(line)


def chinese():
    for name in ZH_FORTUNES:
        text = re.sub(r"\x1b\[[0-9;]*m?", "", read(os.path.join(FORTUNES, name)))   # colours
        # `chinese` is prose wrapped into paragraphs; the poem collections are line by line.
        pieces = re.split(r"\n\s*\n|\n%\n", text) if name == "chinese" else text.splitlines()
        for piece in pieces:
            yield from sentences_zh(piece)
    for p in files("usr/share/doc/linux-doc-*/Documentation/translations/zh_CN", r"\.rst\.gz$"):
        for paragraph in rst(read(p)):
            yield from sentences_zh(paragraph)
    for p in files("usr/share/libreoffice/help/zh-CN", r"\.html$") + \
             files("usr/share/debian-reference", r"\.zh-cn\.html$"):
        for paragraph in html_text(read(p)):
            yield from sentences_zh(paragraph)
    pages = files("usr/share/man/zh_CN", r"\.gz$")
    yield from parallel(lambda p: [s for l in man(p) for s in sentences_zh(l)], pages)


def source_lines(data):
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:   # a few Latin-1 files: not worth guessing
        return []
    return [l for l in text.splitlines() if l.strip()]


def code():
    for p in files("usr/lib/python3.*", r"\.py$", skip=r"/encodings/"):
        with open(p, "rb") as f:
            yield from source_lines(f.read())
    # Half of glibc (by a stable hash of the path) keeps code.txt near the size of en.txt;
    # the character-set and locale tables are generated data, not code.
    for archive in files("usr/src/glibc", r"\.tar\.xz$"):
        with tarfile.open(archive) as tar:
            for member in tar:
                if (member.isfile() and member.name.endswith((".c", ".h"))
                        and zlib.crc32(member.name.encode()) % 2 == 0
                        and not re.search(r"/(iconvdata|localedata)/", member.name)):
                    yield from source_lines(tar.extractfile(member).read())
    for p in files("usr/include/c++", r"."):
        with open(p, "rb") as f:
            yield from source_lines(f.read())


os.makedirs(OUT, exist_ok=True)
write("en.txt", english(), keep=is_english)
write("zh.txt", chinese(), keep=lambda line: HAN.search(line) and line != "%")
write("code.txt", code(), keep=lambda line: True, prose=False)
