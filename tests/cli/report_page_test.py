"""The report page opened in headless Chromium, as a user opens it: the page's script runs
without a console message, the tile map holds one cell per tile with the slow tile outlined as
the straggler, every chart has its axes and at least one mark, every text of a chart is drawn
inside the chart, and a screenshot is not blank.
The page of a window is checked the same way, and its tile cells against the windowed query.

Usage: report_page_test.py VORN_PROFILE CHROMIUM WORK_DIR
"""
import html.parser
import json
import os
import subprocess
import sys
import tempfile
import zlib

TILES = 40
SLOW_TILE = 7
WINDOW = ("20000", "60000")
VOID = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source",
        "track", "wbr", "stop"}
# Run after the page's own script: every text of every chart as laid out, against its chart's
# box; the ones that reach outside go into the body's data-overflow.
MEASURE = """<script>
(function () {
  var outside = [];
  document.querySelectorAll("svg.chart").forEach(function (chart) {
    var box = chart.getBoundingClientRect();
    chart.querySelectorAll("text").forEach(function (text) {
      var r = text.getBoundingClientRect();
      if (r.left < box.left - 0.5 || r.right > box.right + 0.5 ||
          r.top < box.top - 0.5 || r.bottom > box.bottom + 0.5) {
        outside.push(chart.id + ": '" + text.textContent + "' at x " + Math.round(r.left - box.left) +
                     " to " + Math.round(r.right - box.left) + " of " + Math.round(box.width));
      }
    });
  });
  document.body.dataset.overflow = JSON.stringify(outside);
})();
</script>"""


class Charts(html.parser.HTMLParser):
    """Per <svg class="chart">: its id, the axis classes and the count of marks inside it."""

    def __init__(self):
        super().__init__()
        self.stack = []
        self.charts = []
        self.status = None
        self.overflow = None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        classes = (attrs.get("class") or "").split()
        if tag == "body":
            self.status = attrs.get("data-status")
            self.overflow = attrs.get("data-overflow")
        if tag == "svg" and "chart" in classes:
            self.charts.append({"id": attrs.get("id"), "axes": set(), "marks": 0, "tiles": set(),
                                "compute": {}, "stragglers": set()})
        inside = any(t == "svg" for t in self.stack) and self.charts
        if inside and "axis" in classes:
            self.charts[-1]["axes"].update(c for c in classes if c.endswith("-axis"))
        if inside and "mark" in classes:
            self.charts[-1]["marks"] += 1
            if "tile" in classes:
                self.charts[-1]["tiles"].add(attrs.get("data-tile"))
                self.charts[-1]["compute"][attrs.get("data-tile")] = int(attrs.get("data-compute"))
        if inside and "straggler" in classes and attrs.get("data-tile") is not None:
            self.charts[-1]["stragglers"].add(attrs.get("data-tile"))
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


def check_page(exe, page, shot, wanted_charts):
    """The page as Chromium shows it; returns its tile map chart and the failures."""
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
    for wanted in wanted_charts:
        if wanted not in ids:
            failures.append("no chart " + wanted)
    for chart in parser.charts:
        if chart["axes"] != {"x-axis", "y-axis"}:
            failures.append("%s: axes %s" % (chart["id"], sorted(chart["axes"])))
        if chart["marks"] == 0:
            failures.append("%s: no mark" % chart["id"])
    tile_map = [c for c in parser.charts if c["id"] == "tile-map"]
    tile_map = tile_map[0] if tile_map else {"tiles": set(), "marks": 0, "compute": {},
                                              "stragglers": set()}
    if tile_map["tiles"] != {str(t) for t in range(TILES)}:
        failures.append("tile map cells: %d, expected one per tile (%d)"
                        % (len(tile_map["tiles"]), TILES))
    if tile_map["marks"] != TILES:
        failures.append("tile map has %d cells for %d tiles" % (tile_map["marks"], TILES))
    if str(SLOW_TILE) not in tile_map["stragglers"]:
        failures.append("the slow tile %d is not outlined as a straggler (outlined: %s)"
                        % (SLOW_TILE, sorted(tile_map["stragglers"])))

    # The same page with the measuring script at the end of its body.
    measured = page + ".measured.html"
    with open(page, encoding="utf-8") as f:
        text = f.read()
    with open(measured, "w", encoding="utf-8") as f:
        f.write(text.replace("</body>", MEASURE + "</body>"))
    parser = Charts()
    parser.feed(chromium(exe, "--dump-dom", "file://" + os.path.abspath(measured)).stdout)
    if parser.overflow is None:
        failures.append("the texts of the charts were not measured")
    else:
        failures += ["text outside its chart: " + t for t in json.loads(parser.overflow)]

    chromium(exe, "--hide-scrollbars", "--window-size=1280,2400", "--screenshot=" + shot, url)
    if not png_is_not_blank(shot):
        failures.append("the screenshot is blank")
    return tile_map, [os.path.basename(page) + ": " + f for f in failures]


def main():
    tool, exe, work = sys.argv[1:4]
    os.makedirs(work, exist_ok=True)
    profile = os.path.join(work, "run.json")
    # One tile runs its gemm steps slower, so that every superstep waits for it.
    subprocess.run([tool, "generate", "--tiles", str(TILES), "--steps-per-tile", "300",
                    "--slow-kernel", "gemm", "--slow-tiles", str(SLOW_TILE), "-o", profile],
                   check=True)
    charts = ("kinds-chart", "kernels-chart", "supersteps-chart", "tile-map", "activity")
    failures = []

    page = os.path.join(work, "report.html")
    subprocess.run([tool, "report", profile, "-o", page], check=True)
    _, found = check_page(exe, page, os.path.join(work, "report.png"),
                          charts + ("activity-close-up",))
    failures += found

    # A window: each tile's compute cycles on the map are the windowed query's.
    page = os.path.join(work, "window.html")
    window = ["--from", WINDOW[0], "--to", WINDOW[1]]
    subprocess.run([tool, "report", profile, "-o", page] + window, check=True)
    tile_map, found = check_page(exe, page, os.path.join(work, "window.png"), charts)
    failures += found
    answer = subprocess.run([tool, "query", profile, "--group-by", "tile", "--kind", "compute",
                             "--format", "json"] + window,
                            capture_output=True, text=True, check=True)
    expected = {str(t): 0 for t in range(TILES)}
    for group in json.loads(answer.stdout)["groups"]:
        expected[group["dimensions"]["physicalTile"]] = group["phase_cycles"]
    if tile_map["compute"] != expected:
        wrong = sorted(t for t in expected if tile_map["compute"].get(t) != expected[t])
        failures.append("window.html: compute cycles of tiles %s differ from the query's" % wrong)

    for failure in failures:
        print("FAIL:", failure)
    print("%d passed, %d failed" % (1 if not failures else 0, 1 if failures else 0))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
