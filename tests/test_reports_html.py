"""The HTML report: what the file embeds, and the page in a real browser (headless Chromium
driven over the DevTools protocol on a pipe): table rows, filters, sorting, selection, the
summary, and a 3D view that drew both objects."""
import base64
import fcntl
import io
import json
import os
import re
import select
import shutil
import subprocess
import time

import numpy as np
import pytest

from orvexkit.reports import write_html
from orvexkit.reports.raster import BACKGROUND
from test_reports import BEAM, COLUMN, DUCT, SLAB, bluish, reddish, scene


def clash_rows(table):
    """A page's clash table (columns, numbers in binary) as rows, as the page's script makes
    them: unknown numbers None."""
    x = np.frombuffer(base64.b64decode(table["numbers"]), "<f8").reshape(-1, 20)
    ends = np.frombuffer(base64.b64decode(table["ends"]), "<i4").reshape(-1, 2).tolist()
    near = np.frombuffer(base64.b64decode(table["near"]), "<i4").tolist()
    start = np.frombuffer(base64.b64decode(table["nearStart"]), "<i4").tolist()
    rows = []
    for i, f in enumerate(np.where(np.isfinite(x), x, None).tolist()):
        rows.append({"id": table["id"][i], "check": table["check"][i], "kind": table["kind"][i],
                     "group": table["group"][i], "status": table["status"][i], "dist": f[0],
                     "prev": f[1], "pa": f[2:5], "pb": f[5:8], "view": f[8:15], "volume": f[15],
                     "thickness": f[16], "centre": None if np.isnan(x[i, 17]) else f[17:20],
                     "contained": table["contained"][i], "approximate": table["approximate"][i],
                     "extra": table["extra"][i], "a": ends[i][0], "b": ends[i][1],
                     "near": near[start[i]:start[i + 1]]})
    return rows


def embedded(path):
    """The page's data, and the meshes it embeds as {(model, key): (vertices, triangles)}."""
    page = path.read_text("utf-8")
    blobs = dict(re.findall(r'<script type="[^"]+" id="report-(\w+)">([^<]*)</script>', page))
    data = json.loads(blobs["data"])
    data["clashes"], data["resolved"] = clash_rows(data["clashes"]), clash_rows(data["resolved"])
    data["meshes"] = np.frombuffer(base64.b64decode(data["meshes"]), "<u4").reshape(-1, 4).tolist()
    o = data["objects"]         # columns; rows [model, key, type, name, level, mesh] here
    mesh = np.frombuffer(base64.b64decode(o["mesh"]), "<i4").tolist()
    data["objects"] = [list(row) for row in zip(o["model"], o["key"], o["type"], o["name"], o["level"], mesh)]
    vertices = np.frombuffer(base64.b64decode(blobs["vertices"]), "<f4").reshape(-1, 3)
    triangles = np.frombuffer(base64.b64decode(blobs["triangles"]), "<u4").reshape(-1, 3)
    meshes = {}
    for model, key, _, _, _, k in data["objects"]:
        if k >= 0:
            v0, nv, t0, nt = data["meshes"][k]
            meshes[(model, key)] = (vertices[v0:v0 + nv] + np.array(data["origin"]),
                                    triangles[t0:t0 + nt])
    return page, data, meshes


def test_html_embeds_each_mesh_once_within_the_budget(tmp_path):
    report, geometry = scene()
    path = tmp_path / "report.html"
    write_html(report, path, geometry)
    page, data, meshes = embedded(path)
    # Every object of a clash and every neighbour once, with the surroundings of the first
    # clash as the camera rule frames them.
    shown = {i for c in data["clashes"] for i in (c["a"], c["b"], *c["near"])}
    assert set(meshes) == {tuple(data["objects"][i][:2]) for i in shown}
    assert [data["objects"][i][1] for i in data["clashes"][0]["near"]] == [COLUMN, SLAB]
    for obj, (v, t) in meshes.items():
        assert np.allclose(v, geometry.mesh(*obj)[0], atol=1e-6)
        assert np.array_equal(t, geometry.mesh(*obj)[1])
    assert len(data["meshes"]) == len(meshes)
    # Names cannot close the data's script element; nothing is fetched from anywhere.
    assert page.count("</script>") == 4
    assert not re.search(r"https?://", page)

    write_html(report, path, geometry, max_objects=3)
    _, data, meshes = embedded(path)
    assert list(meshes) == [("structure", BEAM), ("mep", DUCT), ("structure", COLUMN)]


def chromium():
    return shutil.which("chromium") or shutil.which("chromium-browser")


class Browser:
    """Headless Chromium with the DevTools protocol on a pipe: no port, no extra package."""

    def __init__(self, profile, size=(1400, 900)):
        to_browser, self._commands = os.pipe()
        self._events, from_browser = os.pipe()

        def wire():                    # the browser reads fd 3 and writes fd 4
            high = [fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (to_browser, from_browser)]
            os.dup2(high[0], 3)
            os.dup2(high[1], 4)

        self.proc = subprocess.Popen(
            [chromium(), "--headless", "--no-sandbox", "--remote-debugging-pipe",
             f"--user-data-dir={profile}", f"--window-size={size[0]},{size[1]}",
             "--no-first-run", "--hide-scrollbars", "--mute-audio", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            pass_fds=(3, 4), preexec_fn=wire,
            # The sanitizer lane preloads ASan into the interpreter; the browser is not ours.
            env={k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")})
        os.close(to_browser)
        os.close(from_browser)
        self._next, self._buffer, self.session = 0, b"", None
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target,
                                 flatten=True)["sessionId"]

    def call(self, method, timeout=30, **params):
        self._next += 1
        message = {"id": self._next, "method": method, "params": params}
        if self.session and not method.startswith("Target."):
            message["sessionId"] = self.session
        os.write(self._commands, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            while b"\0" not in self._buffer:
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([self._events], [], [], left)[0]:
                    raise TimeoutError(f"no answer to {method}")
                chunk = os.read(self._events, 1 << 20)
                if not chunk:
                    raise ConnectionError(f"browser gone: {self.proc.stderr.read()[-800:]}")
                self._buffer += chunk
            raw, self._buffer = self._buffer.split(b"\0", 1)
            reply = json.loads(raw)
            if reply.get("id") == self._next:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply["result"]

    def js(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True,
                           awaitPromise=True)
        if "exceptionDetails" in result:
            raise RuntimeError(result["exceptionDetails"])
        return result["result"].get("value")

    def wait(self, condition, timeout=30):
        deadline = time.monotonic() + timeout
        while not self.js(f"document.readyState === 'complete' && {condition}"):
            if time.monotonic() > deadline:
                raise TimeoutError(f"not reached: {condition}")
            time.sleep(0.05)

    def open(self, url):
        """Loads ``url`` and waits until the report has drawn its first frame."""
        self.call("Page.navigate", url=url)
        page = json.dumps(url.split("#")[0])
        self.wait(f"location.href.split('#')[0] === {page} && document.body.dataset.ready === '1'")

    def screenshot(self, path):
        path.write_bytes(base64.b64decode(self.call("Page.captureScreenshot",
                                                    format="png")["data"]))

    def close(self):
        try:
            self.call("Browser.close", timeout=5)
        except (OSError, TimeoutError, RuntimeError, ConnectionError):
            pass
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        os.close(self._commands)
        os.close(self._events)
        self.proc.stderr.close()


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    if not chromium():
        pytest.skip("headless Chromium is not installed (Debian package chromium)")
    try:
        b = Browser(tmp_path_factory.mktemp("chromium-profile"))
    except (OSError, TimeoutError, ConnectionError) as e:
        pytest.skip(f"headless Chromium does not start here: {e}")
    yield b
    b.close()


ROWS = "[...document.querySelectorAll('#clashes tbody tr')].map(tr => tr.dataset.id)"


def pixels(data_url):
    from PIL import Image
    png = base64.b64decode(data_url.split(",", 1)[1])
    return np.asarray(Image.open(io.BytesIO(png)).convert("RGB"), np.int32)



def test_html_in_a_browser(tmp_path, browser):
    report, geometry = scene()
    path = tmp_path / "report.html"
    write_html(report, path, geometry)
    browser.open(path.as_uri())
    js = browser.js

    assert js(ROWS) == ["c-beam-duct", "c-column-duct", "c-slab-pipe", "c-beam-pipe"]
    assert js("performance.getEntriesByType('resource').length") == 0   # nothing fetched
    # Names arrive as text, not markup.
    assert js("document.querySelector('#clashes tbody tr td.obj').textContent") == \
        'IfcBeam Träger <B1> & "x"'
    # The first clash is selected and drawn: both objects in their colours.
    canvas = js("({...document.getElementById('canvas').dataset})")
    assert "webgl" not in canvas, "the page found no WebGL 2"
    assert canvas["clash"] == "c-beam-duct"
    drawn = pixels(js("document.getElementById('canvas').toDataURL()"))
    assert (np.abs(drawn - BACKGROUND).sum(axis=2) > 6).sum() > 5000
    assert reddish(drawn) > 500 and bluish(drawn) > 500
    shot = tmp_path / "report.png"
    browser.screenshot(shot)
    print(f"\nscreenshot: {shot}")

    # Orbit and zoom with the mouse change the picture; a double click brings the first back.
    frame = ("new Promise(r => requestAnimationFrame(() => requestAnimationFrame(() =>"
             " r(document.getElementById('canvas').toDataURL()))))")
    box = js("(({x, y, width, height}) => [x + width / 2, y + height / 2])"
             "(document.getElementById('canvas').getBoundingClientRect())")
    first = js(frame)

    def mouse(kind, x, y, **more):
        browser.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, **more)

    mouse("mousePressed", *box, button="left", clickCount=1)
    mouse("mouseMoved", box[0] + 80, box[1] + 30, button="left", buttons=1)
    mouse("mouseReleased", box[0] + 80, box[1] + 30, button="left", clickCount=1)
    orbited = js(frame)
    mouse("mouseWheel", *box, deltaX=0, deltaY=-300)
    zoomed = js(frame)
    assert len({first, orbited, zoomed}) == 3
    mouse("mousePressed", *box, button="left", clickCount=2)
    mouse("mouseReleased", *box, button="left", clickCount=2)
    assert js(frame) == first

    def choose(filter_name, value):
        js(f"{{ const s = document.querySelector('select[data-filter={filter_name}]');"
           f"s.value = {json.dumps(value)}; s.dispatchEvent(new Event('change')) }}")

    choose("kind", "crossing")
    assert js(ROWS) == ["c-beam-duct", "c-column-duct"]
    choose("kind", "")
    choose("group", "G1")
    choose("status", "active")
    assert js(ROWS) == ["c-column-duct"]
    choose("group", "")
    choose("status", "")
    choose("pair", "IfcBeam × Pipe")
    assert js(ROWS) == ["c-beam-pipe"]
    choose("pair", "")
    js("{ const q = document.getElementById('search'); q.value = 'DUCT-7';"
       "q.dispatchEvent(new Event('input')) }")
    assert js(ROWS) == ["c-beam-duct", "c-column-duct"]
    assert js("document.getElementById('shown').textContent") == "2 of 4 clashes"
    js("{ const q = document.getElementById('search'); q.value = '';"
       "q.dispatchEvent(new Event('input')) }")
    js("document.querySelector('a.check[data-check=clearance]').click()")
    assert js(ROWS) == ["c-slab-pipe", "c-beam-pipe"]
    choose("check", "")

    js("document.querySelector('th[data-key=dist]').click()")
    assert js(ROWS) == ["c-column-duct", "c-beam-duct", "c-slab-pipe", "c-beam-pipe"]
    js("document.querySelector('th[data-key=dist]').click()")
    assert js(ROWS) == ["c-beam-pipe", "c-slab-pipe", "c-beam-duct", "c-column-duct"]
    js("document.querySelector('th[data-key=change]').click()")     # no change: last
    assert js(ROWS)[0] == "c-column-duct"

    js("document.querySelector('tr[data-id=c-slab-pipe]').click()")
    assert js("location.hash") == "#clash=c-slab-pipe"
    assert js("document.getElementById('canvas').dataset.clash") == "c-slab-pipe"
    assert "approved" in js("document.getElementById('details').textContent")

    # Summary: counts per check, the structure x mep cell of the matrix, the resolved list.
    assert js("document.querySelector('#matrix td[data-cell=\"structure|mep\"]').dataset.count") \
        == "4"
    assert js("[...document.querySelectorAll('#resolved tbody tr')].map(t => t.dataset.id)") == \
        ["c-column-pipe"]

    # A link to a clash opens the page with it selected, or selects it in the open page.
    browser.call("Page.navigate", url="about:blank")
    browser.open(path.as_uri() + "#clash=c-beam-pipe")
    assert js("document.querySelector('tr.sel').dataset.id") == "c-beam-pipe"
    assert js("document.getElementById('canvas').dataset.clash") == "c-beam-pipe"
    js("location.hash = '#clash=c-slab-pipe'")
    browser.wait("document.getElementById('canvas').dataset.clash === 'c-slab-pipe'")
    assert js("document.querySelector('tr.sel').dataset.id") == "c-slab-pipe"
