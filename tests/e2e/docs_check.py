"""The README and docs/: every link between them leads to a file and, when
it names one, a heading there; every page of docs/ is reached from the
README; the README stays a short read.  Argument: the source directory."""

import os
import re
import sys

README_LINES = 200
LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")
CODE = re.compile(r"```.*?```|`[^`\n]*`", re.S)


def anchor(heading):
    """The anchor GitHub gives a heading: lower case, punctuation dropped,
    blanks as hyphens."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def anchors(path):
    text = CODE.sub("", open(path, encoding="utf-8").read())
    return {anchor(line.lstrip("#")) for line in text.splitlines()
            if re.match(r"#{1,6} ", line)}


def links(path):
    text = CODE.sub("", open(path, encoding="utf-8").read())
    return [target for target in LINK.findall(text)
            if not re.match(r"[a-z]+:", target)]


def main(top):
    faults = []
    top = os.path.abspath(top)
    readme = os.path.join(top, "README.md")
    docs = os.path.join(top, "docs")
    checked = 0
    pages = [readme] + sorted(os.path.join(docs, name)
                              for name in os.listdir(docs)
                              if name.endswith(".md"))
    reached = set()
    for page in pages:
        for target in links(page):
            checked += 1
            name, _, fragment = target.partition("#")
            path = (os.path.normpath(os.path.join(os.path.dirname(page), name))
                    if name else page)
            where = "%s: link %s" % (os.path.relpath(page, top), target)
            if not os.path.isfile(path):
                faults.append(where + ": no such file")
            elif fragment and fragment not in anchors(path):
                faults.append(where + ": no such heading")
            elif page == readme:
                reached.add(path)
    for page in pages[1:]:
        if page not in reached:
            faults.append("README.md: no link to " + os.path.relpath(page, top))
    lines = len(open(readme, encoding="utf-8").read().splitlines())
    if lines > README_LINES:
        faults.append("README.md: %d lines, more than %d" % (lines, README_LINES))
    for fault in faults:
        print(fault)
    print("%d pages, %d links: %d faults" % (len(pages), checked, len(faults)))
    return 1 if faults else 0


sys.exit(main(sys.argv[1]))
