"""The report page opened in headless Chromium, as a user opens it: the page's script runs
without a console message, the tile map holds one cell per tile, every chart has its axes and
at least one mark, and a screenshot is not blank.

Usage: report_page_test.py VORN_PROFILE CHROMIUM WORK_DIR
"""
import html.parser
import os
import subprocess
import sys
import tempfile
import zlib

TILES = 40
VOID = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source",
        "track", "wbr", "stop"}


class Charts(html.parser.HTMLParser):
    """Per <svg class="chart">: its id, the axis classes and the count of marks inside it."""

    def __init__(self):
        super().__init__()
        self.stack = []
        self.charts = []
        self.status = None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        classes = (attrs.get("class") or "").split()
        if tag == "body":
            self.status = attrs.get("data-status")
        if tag == "svg" and "chart" in classes:
            self.charts.append({"id": attrs.get("id"), "axes": set(), "marks": 0, "tiles": set()})
        inside = any(t == "svg" for t in self.stack) and self.charts
        if inside and "axis" in classes:
            self.charts[-1]["axes"].update(c for c in classes if c.endswith("-axis"))
        if inside and "mark" in classes:
            self.charts[-1]["marks"] += 1
            if "tile" in classes:
                self.charts[-1]["tiles"].add(attrs.get("data-tile"))
        if tag not in VOID:
            self.stack.append(tag)

    def handle_startendtag(self, tag, attrs):
        self.handle_starttag(tag, attrs)
        if tag not in VOID:
            self.stack.pop()

    def handle_endtag(self, tag):
        while self.stack:
            if self.stack.pop() == tag:
                break


def png_is_not_blank(path):
    """Decodes the image data of a PNG and asks for many distinct byte values."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    at, idat = 8, b""
    while at < len(data):
        length = int.from_bytes(data[at:at + 4], "big")
        kind = data[at + 4:at + 8]
        if kind == b"IDAT":
            idat += data[at + 8:at + 8 + length]
        at += 12 + length
    pixels = zlib.decompress(idat)
    return len(set(pixels)) > 64


def chromium(exe, *args):
    with tempfile.TemporaryDirectory() as profile:
        return subprocess.run(
            [exe, "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
             "--disable-component-update", "--disable-sync", "--no-first-run",
             "--user-data-dir=" + profile, "--enable-logging=stderr", "--v=0", *args],
            capture_output=True, text=True, timeout=180, check=True)


def main():
    tool, exe, work = sys.argv[1:4]
    os.makedirs(work, exist_ok=True)
    profile = os.path.join(work, "run.json")
    page = os.path.join(work, "report.html")
    shot = os.path.join(work, "report.png")
    subprocess.run([tool, "generate", "--tiles", str(TILES), "--steps-per-tile", "300", "-o",
                    profile], check=True)
    subprocess.run([tool, "report", profile, "-o", page], check=True)
    url = "file://" + os.path.abspath(page)

    failures = []
    dumped = chromium(exe, "--dump-dom", url)
    console = [line for line in dumped.stderr.splitlines() if ":CONSOLE" in line]
    if console:
        failures.append("console messages: " + "; ".join(console))
    parser = Charts()
    parser.feed(dumped.stdout)
    if parser.status != "ready":
        failures.append("the page's script did not finish: status %r" % parser.status)
    ids = [chart["id"] for chart in parser.charts]
    for wanted in ("kinds-chart", "kernels-chart", "tile-map", "activity"):
        if wanted not in ids:
            failures.append("no chart " + wanted)
    for chart in parser.charts:
        if chart["axes"] != {"x-axis", "y-axis"}:
            failures.append("%s: axes %s" % (chart["id"], sorted(chart["axes"])))
        if chart["marks"] == 0:
            failures.append("%s: no mark" % chart["id"])
    tile_map = [c for c in parser.charts if c["id"] == "tile-map"]
    if tile_map and tile_map[0]["tiles"] != {str(t) for t in range(TILES)}:
        failures.append("tile map cells: %d, expected one per tile (%d)"
                        % (len(tile_map[0]["tiles"]), TILES))
    if tile_map and tile_map[0]["marks"] != TILES:
        failures.append("tile map has %d cells for %d tiles" % (tile_map[0]["marks"], TILES))

    chromium(exe, "--hide-scrollbars", "--window-size=1280,2400", "--screenshot=" + shot, url)
    if not png_is_not_blank(shot):
        failures.append("the screenshot is blank")

    for failure in failures:
        print("FAIL:", failure)
    print("%d passed, %d failed" % (1 if not failures else 0, 1 if failures else 0))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
