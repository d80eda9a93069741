"""Fails when a built documentation page loads anything from another host, or reads wrong offline.

Links to other sites are fine; stylesheets, scripts, images, fonts and frames
must come from the site itself, so that it reads the same offline. Each
"Returns" table of the reference holds one row: a description over several
lines, read as one item per line, would show as many rows.
"""

from __future__ import annotations

import pathlib
import re
import sys
from html.parser import HTMLParser

REMOTE = re.compile(r"^(https?:)?//", re.I)
CSS_REMOTE = re.compile(r"""(@import\s+|url\()\s*["']?(https?:)?//""", re.I)
RETURNS_TABLE = re.compile(r"Returns:</span></p>\s*<table>.*?<tbody>(.*?)</tbody>", re.S)
LOADING = {"script": "src", "img": "src", "iframe": "src", "source": "src", "audio": "src", "video": "src"}


class Loads(HTMLParser):
    def __init__(self) -> None:
        super().__init__()
        self.remote: list[str] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        values = dict(attrs)
        if tag == "link" and (values.get("rel") or "") not in {"canonical", "alternate", "next", "prev"}:
            url = values.get("href") or ""
        else:
            url = values.get(LOADING.get(tag, ""), "") or ""
        if REMOTE.match(url):
            self.remote.append(f"<{tag}> {url}")


def remote_loads(site: pathlib.Path) -> list[str]:
    found = []
    for page in sorted(site.rglob("*.html")):
        parser = Loads()
        parser.feed(page.read_text(encoding="utf-8"))
        found += [f"{page.relative_to(site)}: {what}" for what in parser.remote]
    for sheet in sorted(site.rglob("*.css")):
        if CSS_REMOTE.search(sheet.read_text(encoding="utf-8")):
            found.append(f"{sheet.relative_to(site)}: remote @import or url()")
    return found


def returns_split(site: pathlib.Path) -> list[str]:
    found = []
    for page in sorted(site.rglob("*.html")):
        for table in RETURNS_TABLE.finditer(page.read_text(encoding="utf-8")):
            rows = table.group(1).count("<tr")
            if rows > 1:
                found.append(f"{page.relative_to(site)}: a Returns table of {rows} rows")
    return found


def main(argv: list[str]) -> int:
    site = pathlib.Path(argv[1] if len(argv) > 1 else "build/site")
    if not (site / "index.html").is_file():
        print(f"check_site: no built site in {site}", file=sys.stderr)
        return 2
    found = remote_loads(site)
    for line in found:
        print(f"check_site: loads from another host: {line}", file=sys.stderr)
    faults = returns_split(site)
    for line in faults:
        print(f"check_site: {line}", file=sys.stderr)
    return 1 if found or faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
