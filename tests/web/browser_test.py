#!/usr/bin/env python3
"""The designer's page in a real headless Chromium, against ternival-web and
its automation servers.  What the page shows is checked against the
ternival command, which computes the same things without the page, the web
server or the automation server in between."""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET

# Debian's packages (python3-selenium) live with Debian's interpreter; a python3 found
# first on PATH (a pyenv shim, say) may not see them: then run under
# /usr/bin/python3, or say what is missing.
try:
    import selenium  # noqa: F401
except ImportError:
    import os as _os, sys as _sys
    if _os.path.realpath(_sys.executable) != _os.path.realpath("/usr/bin/python3") and _os.path.exists("/usr/bin/python3"):
        _os.execv("/usr/bin/python3", ["/usr/bin/python3"] + _sys.argv)
    _sys.exit("browser_test.py: needs Debian's python3-selenium (apt-get install -y python3-selenium)")

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.common.actions.wheel_input import ScrollOrigin
from selenium.webdriver.support.ui import Select, WebDriverWait

ARGS = None
SVG = "{http://www.w3.org/2000/svg}"


def children(pid):
    """Process ids whose parent is pid (from /proc, as pgrep -P would)."""
    out = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rfind(")") + 2:].split()
        if len(fields) > 1 and fields[1] == str(pid) and fields[0] != "Z":
            out.append(int(entry))
    return out


class Browser(unittest.TestCase):
    """ternival-web with its servers, and a headless Chromium."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="ternival-browser-")
        cls.env = dict(os.environ, TERNIVAL_REGISTRY=os.path.join(cls.tmp, "registry.ini"),
                       TMP=os.path.join(cls.tmp, "tmp"))
        os.makedirs(cls.env["TMP"])
        subprocess.run([ARGS.server, "-RegServer"], env=cls.env, check=True)
        cls.sessions = os.path.join(cls.tmp, "sessions")
        cls.web = subprocess.Popen([ARGS.web, "--port", "0", "--velmtop", ARGS.velmtop, "--examples", ARGS.examples,
                                    "--sessions-dir", cls.sessions, "--heartbeat", "5"],
                                   env=cls.env, stdout=subprocess.PIPE, text=True)
        line = cls.web.stdout.readline()
        match = re.search(r"(http://\S+/)", line)
        if not match:
            raise RuntimeError("ternival-web did not start: %r" % line)
        cls.url = match.group(1)
        cls.downloads = os.path.join(cls.tmp, "downloads")
        os.makedirs(cls.downloads)
        options = Options()
        for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync", "--disable-dev-shm-usage",
                     "--window-size=1500,1000", "--user-data-dir=" + os.path.join(cls.tmp, "profile")):
            options.add_argument(flag)
        options.binary_location = ARGS.chromium
        options.add_experimental_option("prefs", {"download.default_directory": cls.downloads,
                                                  "download.prompt_for_download": False})
        cls.driver = webdriver.Chrome(service=Service(ARGS.chromedriver), options=options)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.web.terminate()
        status = cls.web.wait(timeout=30)
        shutil.rmtree(cls.tmp, ignore_errors=True)
        # Ended by SIGTERM, the web server stops its sessions and exits
        # cleanly (under the sanitizers: without a leak or an error).
        if status != 0:
            raise AssertionError("ternival-web exited with status %d" % status)

    # --- helpers -----------------------------------------------------------

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def el(self, element_id):
        return self.driver.find_element(By.ID, element_id)

    def css(self, selector):
        return self.driver.find_elements(By.CSS_SELECTOR, selector)

    def wait(self, condition, timeout=60, what="the page"):
        WebDriverWait(self.driver, timeout).until(lambda d: condition(), "%s did not get there" % what)

    def wait_ready(self, what="the page", timeout=120):
        self.wait(lambda: self.js("return document.body.dataset.ready === 'true'"), timeout, what)

    def open_page(self):
        self.driver.get(self.url + "?fresh")
        self.wait_ready("the first map", 60)
        self.wait_map()

    def map_ready(self):
        return self.js("const s = window.ternival; return !s.busy && s.result !== null && "
                       "!document.getElementById('map').classList.contains('stale');")

    def wait_map(self, timeout=120):
        self.wait(self.map_ready, timeout, "the map")

    def wait_file(self, name, timeout=120):
        """Waits for the map of the problem file `name`."""
        self.wait(lambda: self.map_ready() and self.js(
            "return window.ternival.result.settings.file === arguments[0]", name), timeout, "the map of " + name)

    def wait_clicked(self, count, what="the clicked curve"):
        self.wait(lambda: self.js("return window.ternival.clicked.length === arguments[0] && !window.ternival.busy",
                                  count), 60, what)

    def click_at(self, x, count, what="the clicked curve"):
        """Clicks composition x of the picture; waits for the count-th curve clicked."""
        self.point_at(x)
        ActionChains(self.driver).click().perform()
        self.wait_clicked(count, what)

    def run_tool(self, *args, code=0):
        r = subprocess.run([ARGS.tool] + list(args), env=self.env, capture_output=True, text=True)
        self.assertEqual(r.returncode, code, r.stderr)
        return r

    def tool(self, *args, code=0):
        return json.loads(self.run_tool(*args, code=code).stdout)

    def fill(self, element_id, *keys):
        """Replaces what the field holds by the keys typed."""
        field = self.el(element_id)
        field.clear()
        field.send_keys(*keys)

    def choose(self, element_id, value):
        Select(self.el(element_id)).select_by_value(value)

    def open_example(self, name, timeout=120):
        """Loads a built-in example and, unless the timeout is None, waits for its map."""
        self.choose("example", name)
        self.el("load-example").click()
        if timeout:
            self.wait_file(name, timeout)

    def upload(self, path):
        self.el("upload").send_keys(path)

    def stale(self):
        return "stale" in (self.el("map").get_attribute("class") or "")

    def point_at(self, x):
        """Moves the pointer to composition x of the picture."""
        svg = self.el("map")
        self.js("document.getElementById('map').scrollIntoView({block: 'center'})")
        dx, dy = self.js("""
            const svg = document.getElementById('map');
            const [px, py] = window.ternival.toXY(arguments[0]);
            const pt = svg.createSVGPoint(); pt.x = px; pt.y = py;
            const p = pt.matrixTransform(svg.getScreenCTM());
            const r = svg.getBoundingClientRect();
            return [p.x - (r.left + r.width / 2), p.y - (r.top + r.height / 2)];""", x)
        ActionChains(self.driver).move_to_element_with_offset(svg, round(dx), round(dy)).perform()
        return svg

    def error(self, element_id):
        return self.el(element_id).text

    def download(self, button, ext):
        for f in os.listdir(self.downloads):
            os.remove(os.path.join(self.downloads, f))
        self.el(button).click()
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            files = [f for f in os.listdir(self.downloads) if f.endswith(ext)]
            if files:
                return os.path.join(self.downloads, files[0])
            time.sleep(0.1)
        self.fail("no %s was downloaded" % ext)


class Page(Browser):
    def test_built_in_example_table_and_singular_points(self):
        self.open_page()
        rows = self.css("#azeotrope-table tbody tr")
        expected = self.tool("azeotropes", "--format", "json")
        self.assertEqual(len(rows), len(expected))
        shown = [[float(c.text) for c in row.find_elements(By.TAG_NAME, "td")[1:5]] for row in rows]
        for az in expected:
            want = [az["x_ACETONE"], az["x_CHLOROFM"], az["x_METHANOL"], az["T_K"]]
            best = min(shown, key=lambda s: sum(abs(a - b) for a, b in zip(s, want)))
            for a, b in zip(best[:3], want[:3]):
                self.assertAlmostEqual(a, b, delta=6e-5)
            self.assertAlmostEqual(best[3], want[3], delta=0.006)
        # Every singular point is drawn, with the stability the command gives.
        points = self.tool("map", "--search", "classic", "--grid", "3", "-o", os.path.join(self.tmp, "m.svg"),
                           "--format", "json")
        want = sorted(p["stability"] for p in points)
        drawn = sorted(e.get_attribute("data-stability") for e in self.css("#map .singular"))
        self.assertEqual(drawn, want)
        self.assertGreater(len(self.css("#map .residue")), 5)
        self.assertGreater(len(self.css("#map .boundary")), 0)

    def test_click_adds_the_curve_the_command_computes(self):
        self.open_page()
        self.point_at([0.3, 0.3, 0.4])
        # The pointer reads the composition and its bubble temperature.
        self.wait(lambda: "K" in self.error("readout-t"), 30, "the bubble temperature")
        t = float(self.error("readout-t").split()[0])
        self.assertTrue(326.0 < t < 338.0, t)
        started = time.monotonic()
        ActionChains(self.driver).click().perform()
        self.wait_clicked(1)
        seconds = time.monotonic() - started
        start = self.js("return window.ternival.clicked[0].start")
        for a, b in zip(start, [0.3, 0.3, 0.4]):
            self.assertAlmostEqual(a, b, delta=0.01)
        drawn = json.loads(self.el("clicked-0").get_attribute("data-points"))
        expected = self.tool("curve", "-x", ",".join(repr(v) for v in start), "--format", "json")
        self.assertEqual(len(drawn), len(expected))
        worst = max(abs(p[k] - q[c]) for p, q in zip(drawn, expected)
                    for k, c in enumerate(("x_ACETONE", "x_CHLOROFM", "x_METHANOL")))
        self.assertLess(worst, 2e-6)
        print("click to drawn curve: %.0f ms (%.0f ms inside the page), %d points"
              % (seconds * 1000, self.js("return window.ternival.lastClickMs"), len(drawn)), file=sys.stderr)
        # A distillation line instead.
        self.driver.find_element(By.CSS_SELECTOR, "input[name=click-kind][value=distillation]").click()
        self.click_at([0.5, 0.2, 0.3], 2, "the distillation line")
        start = self.js("return window.ternival.clicked[1].start")
        drawn = json.loads(self.el("clicked-1").get_attribute("data-points"))
        expected = self.tool("curve", "-x", ",".join(repr(v) for v in start), "--kind", "distillation",
                             "--format", "json")
        self.assertEqual(len(drawn), len(expected))

    def test_lle_envelope_of_ethanol_water_benzene(self):
        self.open_page()
        self.open_example("ethanol_water_benzene.toml")
        self.assertEqual(self.js("return window.ternival.result.settings.phase"), 3)
        layer = self.el("g-lle")
        self.assertEqual(layer.get_attribute("display"), "none")
        self.el("layer-lle").click()
        layer = self.el("g-lle")
        self.assertEqual(layer.get_attribute("display"), "inline")
        ties = self.tool("envelope", os.path.join(ARGS.examples, "ethanol_water_benzene.toml"), "-T", "298.15",
                         "--format", "json")
        self.assertEqual(len(layer.find_elements(By.CSS_SELECTOR, ".lle-tie")), len(ties))
        self.assertGreater(len(layer.find_elements(By.CSS_SELECTOR, ".lle-envelope")), 0)
        shown = self.js("return window.ternival.result.lle.ties")
        for k, tie in enumerate(ties):
            for end, row in (("L1", shown[2 * k]), ("L2", shown[2 * k + 1])):
                for c, name in enumerate(("ETHANOL", "WATER", "BENZENE")):
                    self.assertAlmostEqual(row[c], tie["%s_%s" % (end, name)], delta=2e-6)
        # Inside the two-liquid region the pointer shows the tie line through it.
        mid = ties[len(ties) // 2]
        x = [(mid["L1_" + n] + mid["L2_" + n]) / 2 for n in ("ETHANOL", "WATER", "BENZENE")]
        self.point_at(x)
        self.wait(lambda: "L1 (" in self.error("readout-tie"), 30, "the tie line under the pointer")
        self.assertTrue(self.driver.find_elements(By.ID, "hover-tie"))

    def test_bad_input_is_named_next_to_its_field_and_the_map_is_marked_stale(self):
        self.open_page()
        for text, words in (("abc", "not a pressure"), ("-5", "not a pressure"), ("5e9", "outside")):
            self.fill("pressure", text)
            self.wait(lambda: words in self.error("pressure-error"), 10, "the pressure error")
            self.assertTrue(self.stale())
            self.assertTrue(self.el("stale-banner").is_displayed())
        # Export refuses a stale map.
        self.el("export-svg").click()
        self.assertIn("no current map", self.error("map-error"))
        self.fill("pressure", "50000")
        self.wait_map()
        self.assertEqual(self.error("pressure-error"), "")
        self.assertEqual(self.js("return window.ternival.result.settings.pressure"), 50000)
        # An unknown databank component is named with suggestions.
        self.el("databank-components").send_keys("ethanol, watr, benzene")
        self.el("load-databank").click()
        self.wait(lambda: "watr" in self.error("mixture-error"), 30, "the component error")
        self.assertIn("did you mean", self.error("mixture-error").lower())

    def test_uploaded_problem_files(self):
        self.open_page()
        broken = os.path.join(self.tmp, "broken.toml")
        with open(broken, "w") as f:
            f.write('[[component]]\nid = "A"\nmw = -1\n')
        self.upload(broken)
        self.wait(lambda: "broken.toml" in self.error("mixture-error"), 30, "the upload error")
        self.assertIn("mw", self.error("mixture-error"))
        self.assertTrue(self.stale())
        mine = os.path.join(self.tmp, "my mixture.toml")
        shutil.copy(os.path.join(ARGS.examples, "ethanol_water_benzene.toml"), mine)
        self.upload(mine)
        self.wait_file("my mixture.toml")
        self.assertEqual(len(self.css("#azeotrope-table tbody tr")), 4)
        self.assertEqual(self.error("mixture-error"), "")
        # A name beyond ASCII is accepted, kept in ASCII, and said.
        accented = os.path.join(self.tmp, "mélange été.toml")
        shutil.copy(os.path.join(ARGS.examples, "acetone_chloroform_methanol.toml"), accented)
        self.upload(accented)
        self.wait_file("melange ete.toml")
        self.assertIn("kept as melange ete.toml", self.error("file-name"))
        # No two liquids at the LLE temperature: said beside the layer.
        self.assertIn("no two liquids at 298.15 K", self.error("lle-none"))

    def test_a_server_that_stops_is_told_and_replaced(self):
        self.open_page()
        servers = children(self.web.pid)
        self.assertTrue(servers)
        for pid in servers:
            os.kill(int(pid), 9)
        self.el("compute").click()
        self.wait(lambda: "stopped" in self.error("map-error"), 30, "the error")
        self.assertTrue(self.stale())
        self.wait(lambda: "restarted" in self.error("status"), 30, "the restart")
        self.el("compute").click()
        self.wait_map()
        self.assertEqual(self.error("map-error"), "")

class Conventions(Browser):
    """The map drawn as textbooks draw a ternary diagram, with its numbers
    checked against what the command computes."""

    def test_arrows_temperatures_separatrices_and_shapes(self):
        self.open_page()
        # Every residue curve carries an arrow towards rising temperature:
        # its tip is nearer the hotter end of the curve.
        curves = self.js("return window.ternival.result.residue")
        arrows = self.css("#g-residue .arrow")
        self.assertEqual(len(arrows), len([c for c in curves if len(c["points"]) >= 3]))
        # The temperature beside each singular point is the command's.
        points = self.tool("map", "--grid", "3", "-o", os.path.join(self.tmp, "m.svg"), "--format", "json")
        labels = sorted(float(e.get_attribute("data-t")) for e in self.css("#map .singular-label"))
        want = sorted(p["T_K"] for p in points)
        self.assertEqual(len(labels), len(want))
        for a, b in zip(labels, want):
            self.assertAlmostEqual(a, b, delta=0.006)
        texts = [e.text for e in self.css("#map .singular-label")]
        self.assertIn("%.1f K" % want[0], texts)
        # Separatrices, not edges: acetone/chloroform/methanol has four.
        bounds = self.tool("boundaries", "--format", "json")
        by_curve = {}
        for p in bounds:
            by_curve.setdefault(p["curve"], []).append([p["x_ACETONE"], p["x_CHLOROFM"], p["x_METHANOL"]])
        inner = [c for c in by_curve.values() if not any(all(x[k] < 1e-6 for x in c) for k in range(3))]
        self.assertEqual(len(inner), 4)
        self.assertEqual(len(self.css("#map .boundary")), 4)
        self.assertIn("4 distillation boundaries", self.error("status"))
        self.assertIn("complete search", self.error("status"))
        # Stability by shape: the seven points of the map are polygons.
        shapes = {e.get_attribute("data-stability"): e.tag_name for e in self.css("#map .singular")}
        self.assertEqual(set(shapes.values()), {"polygon"})
        self.assertGreaterEqual(len(self.css("#frame .tick")), 12)
        self.assertIn("distillation boundary", self.el("legend").text)

    def test_units_grid_density_undo_and_exports_with_their_context(self):
        self.open_page()
        for text, pa in (("1 atm", 101325.0), ("101.325 kPa", 101325.0), ("1.01325 bar", 101325.0)):
            self.fill("pressure", text, Keys.ENTER)
            self.wait(lambda: self.map_ready() and self.js("return window.ternival.result.settings.pressure") == pa,
                      60, text)
            self.assertEqual(self.error("pressure-error"), "")
        self.fill("pressure", "0x100")
        self.wait(lambda: "not a pressure" in self.error("pressure-error"), 10, "the refusal of 0x100")
        self.fill("pressure", "101325", Keys.ENTER)
        self.wait_map()
        # Temperatures in degrees Celsius: the tables follow.
        self.choose("t-unit", "C")
        first = self.driver.find_element(By.CSS_SELECTOR, "#pure-table tbody tr td:nth-child(2)").text
        t = self.js("return window.ternival.result.pure[0].t")
        self.assertAlmostEqual(float(first), t - 273.15, delta=0.006)
        self.choose("t-unit", "K")
        # Mass fractions, from the file's molar masses: w_i = x_i M_i / sum(x_j M_j).
        with open(os.path.join(ARGS.examples, "acetone_chloroform_methanol.toml")) as f:
            mw = [float(v) for v in re.findall(r"^mw\s*=\s*([0-9.]+)", f.read(), re.M)]
        self.choose("basis", "mass")
        x = self.js("return window.ternival.result.azeotropes[0].x")
        w = [a * m for a, m in zip(x, mw)]
        cells = self.css("#azeotrope-table tbody tr:first-child td")[1:4]
        for c, v in zip(cells, w):
            self.assertAlmostEqual(float(c.text), v / sum(w), delta=6e-5)
        self.assertTrue(self.el("az-h0").text.startswith("w "))
        self.choose("basis", "mole")
        # A denser grid of residue curves.
        self.choose("grid-steps", "8")
        self.wait(lambda: self.map_ready() and len(self.js("return window.ternival.result.residue")) == 21, 120,
                  "21 residue curves")
        # A click on a vertex is told, a curve added can be taken back.
        self.js("document.querySelector('input[name=click-kind][value=residue]').checked = true")
        self.point_at([0.999, 0.0005, 0.0005])
        ActionChains(self.driver).click().perform()
        self.wait(lambda: "pure component has no residue curve" in self.error("map-error"), 10, "the vertex message")
        self.click_at([0.3, 0.3, 0.4], 1)
        self.el("undo-clicked").click()
        self.assertEqual(self.js("return window.ternival.clicked.length"), 0)
        self.assertEqual(self.driver.find_elements(By.ID, "clicked-0"), [])
        # Exports name the mixture, pressure, model, phases and search.
        with open(self.download("export-csv", ".csv")) as f:
            csv_text = f.read()
        for part in ("# components: ACETONE / CHLOROFM / METHANOL", "# pressure_Pa: 101325", "# model: NRTL",
                     "# phases: 2", "# search: complete", ",kind", "homogeneous"):
            self.assertIn(part, csv_text)
        root = ET.parse(self.download("export-svg", ".svg")).getroot()
        self.assertEqual(root.tag, SVG + "svg")
        self.assertIn("101325 Pa, NRTL, 2 phases, complete search", root.find(SVG + "desc").text)
        classes = [e.get("class") for e in root.iter()]
        self.assertEqual(classes.count("singular"), 7)
        self.assertEqual(classes.count("residue"), self.js("return window.ternival.result.residue.length"))
        # The vertices carry the components' names and IDs.
        self.assertIn("chloroform (CHLOROFM)", [e.text for e in root.iter(SVG + "text")])
        with open(self.download("export-json", ".json")) as f:
            self.assertEqual(json.load(f)["context"]["search"], "complete")

    def test_where_the_numbers_come_from(self):
        self.open_page()
        rows = [[td.text for td in r.find_elements(By.TAG_NAME, "td")] for r in self.css("#sources-table tbody tr")]
        self.assertEqual(len([r for r in rows if r[1] == ""]), 3)  # the three components
        self.assertEqual(len([r for r in rows if r[1] == "NRTL"]), 3)  # and the three pairs of NRTL
        self.assertFalse(self.el("map-sources").is_displayed())
        # A databank mixture with a pair the databank lacks: the estimate is
        # flagged next to the map, as the problem file the command writes has it.
        self.fill("databank-components", "ethanol, water, ethylene glycol", Keys.ENTER)
        self.wait_file("databank.toml")
        out = os.path.join(self.tmp, "egw.toml")
        self.run_tool("problem", "ethanol", "water", "ethylene glycol", "-o", out)
        with open(out) as f:
            estimated = len(re.findall(r"\[\[method\.pair\]\][^\n]*estimate", f.read()))
        self.assertGreater(estimated, 0)
        flag = self.error("map-sources")
        self.assertEqual(flag.count("UNIFAC estimate"), estimated, flag)
        # The file can be downloaded as the server holds it.
        with open(self.download("download-problem", "databank.toml")) as f:
            text = f.read()
        self.assertIn("[[component]]", text)
        self.assertEqual(len(re.findall(r"\[\[method\.pair\]\][^\n]*estimate", text)), estimated)

    def test_the_keyboard_reads_and_adds_curves_and_every_control_is_named(self):
        self.open_page()
        svg = self.el("map")
        self.js("arguments[0].focus()", svg)
        for _ in range(5):
            svg.send_keys(Keys.ARROW_LEFT)
        svg.send_keys(Keys.ARROW_DOWN)
        self.wait(lambda: "K" in self.error("readout-t"), 30, "the cursor's bubble temperature")
        x = [float(v) for v in self.error("readout-x").split("(")[1].rstrip(")").split(",")]
        # The same point under the pointer reads the same bubble temperature.
        t_key = self.error("readout-t")
        svg.send_keys(Keys.ENTER)
        self.wait_clicked(1, "the curve added from the keyboard")
        for a, b in zip(self.js("return window.ternival.clicked[0].start"), x):
            self.assertAlmostEqual(a, b, delta=6e-4)
        self.point_at(self.js("return window.ternival.clicked[0].start"))
        t_at = float(t_key.split()[0])
        self.wait(lambda: "K" in self.error("readout-t") and abs(float(self.error("readout-t").split()[0]) - t_at) < 0.05,
                  30, "the pointer's reading at the cursor")
        # Every field, list and button has a name a screen reader can say,
        # and no id is used twice.
        unnamed = self.js("""
            const out = [];
            for (const e of document.querySelectorAll('input, select, textarea, button')) {
              const named = e.closest('label') || e.getAttribute('aria-label') || e.labels && e.labels.length ||
                (e.tagName === 'BUTTON' && e.textContent.trim());
              if (!named) out.push(e.id || e.outerHTML.slice(0, 60));
            }
            const ids = [...document.querySelectorAll('[id]')].map((e) => e.id);
            return out.concat(ids.filter((d, k) => ids.indexOf(d) !== k).map((d) => 'duplicate id ' + d));""")
        self.assertEqual(unnamed, [])
        self.assertEqual(svg.get_attribute("tabindex"), "0")
        # Zoom and pan: the wheel zooms about the pointer, a drag pans, and a
        # click on the enlarged picture still adds the curve through the
        # composition under the pointer.
        self.point_at([0.3, 0.3, 0.4])
        for _ in range(4):
            ActionChains(self.driver).scroll_from_origin(
                ScrollOrigin.from_element(svg), 0, -100).perform()
        view = lambda: self.js("return document.getElementById('map').getAttribute('viewBox')")
        width = float(view().split()[2])
        self.assertLess(width, 400)
        self.click_at([0.32, 0.3, 0.38], 2, "the curve added on the zoomed picture")
        for a, b in zip(self.js("return window.ternival.clicked[1].start"), [0.32, 0.3, 0.38]):
            self.assertAlmostEqual(a, b, delta=3e-3)
        before = view()
        ActionChains(self.driver).click_and_hold().move_by_offset(40, 25).release().perform()
        self.assertNotEqual(view(), before)
        self.assertEqual(self.js("return window.ternival.clicked.length"), 2)  # a drag adds nothing
        self.el("zoom-reset").click()
        self.assertEqual(view(), "0.00 0.00 640.00 620.00")

    def test_any_three_of_eight_and_the_azeotropes_of_all_eight(self):
        self.open_page()
        self.open_example("eight_components.toml", 180)
        ids = self.js("return window.ternival.ids")
        self.assertEqual(len(ids), 8)
        # Any three: the last three of the file.
        for field, name in zip(("top", "left", "right"), ids[5:]):
            self.choose(field, name)
        self.wait(lambda: self.map_ready() and self.js("return window.ternival.result.names") == ids[5:], 180,
                  "the map of the last three")
        # All eight: the table the command gives with the same search.
        self.el("whole-search").click()
        self.wait(lambda: self.el("whole-table").is_displayed(), 180, "the whole table")
        expected = self.tool("azeotropes", os.path.join(ARGS.examples, "eight_components.toml"), "--search", "classic",
                             "--format", "json")
        rows = self.css("#whole-table tbody tr")
        self.assertEqual(len(rows), len(expected))
        shown = sorted(float(r.find_elements(By.TAG_NAME, "td")[9].text) for r in rows)
        for a, b in zip(shown, sorted(e["T_K"] for e in expected)):
            self.assertAlmostEqual(a, b, delta=0.006)

    def test_work_is_kept_across_reloads_and_in_session_files(self):
        self.open_page()
        self.open_example("ethanol_water_benzene.toml")
        self.fill("pressure", "50 kPa", Keys.ENTER)
        self.wait(lambda: self.map_ready() and self.js("return window.ternival.result.settings.pressure") == 50000,
                  120, "the map at 50 kPa")
        self.click_at([0.3, 0.3, 0.4], 1)
        start = self.js("return window.ternival.clicked[0].start")

        def kept():
            self.wait_ready("the restored page")
            self.wait(lambda: self.map_ready() and self.js("return window.ternival.clicked.length") == 1, 120,
                      "the restored curve")
            self.assertEqual(self.js("return window.ternival.result.settings.file"), "ethanol_water_benzene.toml")
            self.assertEqual(self.js("return window.ternival.result.settings.pressure"), 50000)
            self.assertEqual(self.el("pressure").get_attribute("value"), "50 kPa")
            for a, b in zip(self.js("return window.ternival.clicked[0].start"), start):
                self.assertAlmostEqual(a, b, places=12)

        # A reload comes back to the same work.
        self.driver.get(self.url)
        kept()
        # So does a session file opened in a fresh page.
        session = self.download("save-session", ".ternival.json")
        self.open_page()
        self.assertEqual(self.js("return window.ternival.result.settings.file"), "acetone_chloroform_methanol.toml")
        self.el("session-file").send_keys(session)
        kept()
        # A page reloaded while its map is computed comes back to its mixture.
        self.open_example("benzene_toluene_ethylbenzene.toml", None)
        self.wait(lambda: self.js("return window.ternival.file") == "benzene_toluene_ethylbenzene.toml", 60, "the file")
        self.driver.get(self.url)
        self.wait_ready("the reload")
        self.wait_map()
        self.assertEqual(self.js("return window.ternival.result.settings.file"), "benzene_toluene_ethylbenzene.toml")
        # The report holds the map, the tables, the settings, the sources,
        # the date and the version.
        with open(self.download("export-report", "-report.html")) as f:
            report = f.read()
        for part in ("<svg", "benzene_toluene_ethylbenzene.toml", "Where the numbers come from", "azeotrope-table",
                     "Ternival 38.0", "Date</th><td>20"):
            self.assertIn(part, report)
        self.driver.get(self.url + "?fresh")
        self.wait_ready("a fresh page")

    def test_layout_and_screenshots_of_the_examples(self):
        shots = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(ARGS.web))), "screenshots")
        os.makedirs(shots, exist_ok=True)
        self.open_page()
        try:
            for example in ("acetone_chloroform_methanol.toml", "ethanol_water_benzene.toml"):
                if self.js("return window.ternival.result.settings.file") != example:
                    self.open_example(example, None)
                self.wait_file(example)
                for width in (2000, 1400, 900):
                    self.driver.set_window_size(width, 1000)
                    # Nothing wider than the window: no part of the page is cut off.
                    self.assertLessEqual(self.js("return document.documentElement.scrollWidth"),
                                         self.js("return window.innerWidth") + 1, "%s at %d px" % (example, width))
                    if width != 2000:
                        self.driver.save_screenshot(os.path.join(shots, "%s-%d.png" % (example[:-5], width)))
        finally:
            self.driver.set_window_size(1500, 1000)


class Honesty(Browser):
    """What the page draws and says when the data or the search do not
    support a sound map, and the sessions of its tabs."""

    DATA = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data"))

    def test_no_map_where_the_data_do_not_reach(self):
        self.open_page()
        self.fill("pressure", "1e7")  # above every critical temperature of acetone/chloroform/methanol
        self.wait(lambda: "No map" in self.error("map-error"), 60, "the refusal")
        self.assertIn("critical temperature", self.error("map-error"))
        self.assertEqual(self.css("#map .singular"), [])
        self.assertEqual(self.css("#map .residue"), [])
        # The command refuses the same.
        self.run_tool("pure", "-p", "1e7", code=4)

    def test_warnings_stand_next_to_the_map(self):
        self.open_page()
        # Ethanol/water/benzene with two phases: the water/benzene azeotrope
        # boils as two liquids, as the command warns.
        self.open_example("ethanol_water_benzene.toml")
        self.choose("phase", "2")
        self.wait(lambda: self.map_ready() and self.js("return window.ternival.result.settings.phase === 2"), 120,
                  "the two-phase map")
        self.wait(lambda: "liquid splits" in self.error("map-warnings"), 30, "the warning")
        warned = [row.find_elements(By.TAG_NAME, "td")[-1].text for row in self.css("#azeotrope-table tbody tr")]
        expected = sorted(row["status"] for row in self.tool(
            "azeotropes", os.path.join(ARGS.examples, "ethanol_water_benzene.toml"), "--phase", "2", "--format", "json",
            code=5))
        self.assertEqual(sorted(warned), expected)
        button = self.el("use-three-phases")
        self.assertTrue(button.is_displayed())
        button.click()
        self.wait(lambda: self.map_ready() and self.js("return window.ternival.result.settings.phase === 3"), 120,
                  "the three-phase map")
        self.assertFalse(self.el("map-warnings").is_displayed())
        # A made-up ternary whose stability codes fail the topological check.
        self.upload(os.path.join(self.DATA, "inconsistent_ternary.toml"))
        self.wait(lambda: self.js("return window.ternival.file === 'inconsistent_ternary.toml'"), 60, "the upload")
        # The classic search misses three of its azeotropes (the complete
        # search finds them, and then the topology balances).
        self.choose("search", "classic")
        self.fill("pressure", "8173.32")
        self.choose("phase", "3")
        self.wait(lambda: "topological check" in self.error("map-warnings"), 120, "the topology warning")

    def test_a_databank_mixture_whose_liquid_splits_is_mapped_with_three_phases(self):
        self.open_page()
        self.fill("databank-components", "ethanol, water, benzene")
        self.el("load-databank").click()
        self.wait_file("databank.toml")
        self.assertEqual(self.js("return window.ternival.result.settings.phase"), 3)
        self.assertTrue(any(row.find_elements(By.TAG_NAME, "td")[-2].text == "heterogeneous"
                            for row in self.css("#azeotrope-table tbody tr")))
        self.assertFalse(self.el("map-warnings").is_displayed())

    def test_measurements_are_fitted_and_the_pair_used(self):
        self.open_page()
        csv = os.path.join(self.DATA, "ethanol_water_101kPa.csv")
        self.fill("fit-components", "ethanol, water")
        self.el("fit-file").send_keys(csv)
        self.wait(lambda: self.el("fit-result").is_displayed(), 60, "the fit")
        fit = self.js("return window.ternival.fit")
        expected = self.tool("fit", "--data", csv, "--components", "ethanol,water", "--format", "json", "-o",
                             os.path.join(self.tmp, "fitted.toml"))
        self.assertAlmostEqual(fit["bij"], expected["bij"], places=6)
        self.assertAlmostEqual(fit["bji"], expected["bji"], places=6)
        self.assertLess(fit["rms_T_K"], 0.5)
        self.assertIn("rms", self.el("fit-summary").text)
        self.assertEqual(len(self.css("#fit-chart circle.fit-liquid")), 21)
        # Used in a databank mixture: its ethanol/water azeotrope is the
        # fitted pair's, which the command finds from the written file.
        self.el("fit-use").click()
        self.assertIn("replaces the databank's", self.el("fit-used").text)
        t_fitted = self.tool("azeotropes", os.path.join(self.tmp, "fitted.toml"), "--format", "json")[0]["T_K"]
        self.fill("databank-components", "ethanol, water, benzene")
        self.el("load-databank").click()
        self.wait_file("databank.toml")
        temps = self.js("return window.ternival.result.azeotropes.map((z) => [z.x, z.t])")
        ew = [t for x, t in temps if min(x) < 1e-9 and max(x) < 0.999]
        self.assertTrue(any(abs(t - t_fitted) < 0.005 for t in ew), (temps, t_fitted))
        # Bad data: the line is named next to the field.
        bad = os.path.join(self.tmp, "bad.csv")
        with open(bad, "w") as f:
            f.write("T_K,P_Pa,x1,y1\n350,101325,0.5,0.6\n351,101325,1.4,0.5\n352,101325,0.3,0.5\n")
        self.el("fit-file").send_keys(bad)
        self.wait(lambda: "bad.csv:3: x1 = 1.4" in self.error("fit-error"), 30, "the refusal")

    def test_a_column_is_designed_on_the_map(self):
        self.open_page()  # acetone/chloroform/methanol
        self.wait(lambda: self.map_ready(), 120, "the map")
        # The regions and class the command finds.
        tool = self.run_tool("map", "--grid", "3")
        regions = int(re.search(r"(\d+) distillation region", tool.stdout).group(1))
        self.assertEqual(len(self.css("#map polygon.region")), regions)
        self.assertIn(re.search(r"class (\S+)", tool.stdout).group(1), self.el("map-class").text)
        feed, dist, bott = "0.40, 0.008, 0.592", "0.70, 0.01286, 0.28714", "0.03, 0.00201, 0.96799"
        for field, value in (("col-feed", feed), ("col-distillate", dist), ("col-bottoms", bott)):
            self.fill(field, value)
        self.el("col-design").click()
        self.wait(lambda: "Feasible" in self.el("column-result").text, 60, "the column")
        figures = self.js("return window.ternival.column.figures")
        expected = self.tool("column", "--feed", feed.replace(" ", ""), "--distillate", dist.replace(" ", ""),
                             "--bottoms", bott.replace(" ", ""), "--reflux-factor", "1.5", "--format", "json")
        self.assertAlmostEqual(figures["rmin"], expected["r_min"], places=6)
        self.assertEqual(figures["stages"], expected["stages"])
        self.assertEqual(figures["feedStage"], expected["feed_stage"])
        self.assertTrue(self.css("#map polyline.rectifying"))
        self.assertTrue(self.css("#map polyline.stripping"))
        self.assertTrue(self.css("#map line.mass-balance"))
        # Products in two regions: not feasible, and the page says why.
        for field, value in (("col-feed", "0.40, 0.05, 0.55"), ("col-distillate", "0.78, 0.03, 0.19"),
                             ("col-bottoms", "0.005, 0.07079, 0.92421")):
            self.fill(field, value)
        self.el("col-design").click()
        self.wait(lambda: "Not feasible" in self.el("column-result").text, 60, "the refusal")
        self.assertIn("distillation", self.el("column-result").text)
        # Placing the feed by clicking fills its field.
        self.driver.find_element(By.CSS_SELECTOR, "input[name=click-kind][value=feed]").click()
        svg = self.el("map")
        ActionChains(self.driver).move_to_element_with_offset(svg, 0, 60).click().perform()
        self.wait(lambda: self.el("col-feed").get_attribute("value") != "0.40, 0.05, 0.55", 10, "the clicked feed")

    def test_a_screen_of_entrainers_runs_and_shows_its_report(self):
        self.open_page()
        for field, value in (("screen-pair", "ethanol, water"),
                             ("screen-candidates", "benzene; ethylene glycol; methanol")):
            self.fill(field, value)
        self.el("screen-start").click()
        self.wait(lambda: self.el("screen-result").is_displayed(), 120, "the report")
        self.assertIn("Done: 3 candidates", self.el("screen-progress").text)
        self.driver.switch_to.frame(self.el("screen-report"))
        try:
            self.wait(lambda: len(self.css("#screen tbody tr")) == 3, 30, "the report's rows")
            rows = self.css("#screen tbody tr")
            text = " ".join(r.text for r in rows)
            for name in ("Benzene", "Ethylene glycol", "Methanol"):
                self.assertIn(name, text)
            # Benzene passes (a small map), methanol does not.
            benzene = [r for r in rows if r.text.startswith("Benzene")][0]
            self.assertTrue(benzene.find_elements(By.TAG_NAME, "svg"))
        finally:
            self.driver.switch_to.default_content()

    def tab_token(self):
        return self.js("return sessionStorage.getItem('ternival-session')")

    def test_each_tab_has_a_session_and_a_server_of_its_own(self):
        self.open_page()
        first = self.driver.current_window_handle
        token1 = self.tab_token()
        self.driver.switch_to.new_window("tab")
        self.open_page()
        token2 = self.tab_token()
        self.assertNotEqual(token1, token2)
        servers = len(children(self.web.pid))
        self.assertGreaterEqual(servers, 2)
        # Tab 2 opens another mixture; tab 1's curves are still its own.
        self.upload(os.path.join(ARGS.examples, "ethanol_water_benzene.toml"))
        self.wait_file("ethanol_water_benzene.toml")
        # A reload keeps the tab's session.
        self.driver.refresh()
        self.wait_ready("the reload", 60)
        self.assertEqual(self.tab_token(), token2)
        self.driver.close()
        self.driver.switch_to.window(first)
        self.assertEqual(self.tab_token(), token1)
        self.click_at([0.3, 0.3, 0.4], 1, "tab 1's curve")
        start = self.js("return window.ternival.clicked[0].start")
        drawn = json.loads(self.el("clicked-0").get_attribute("data-points"))
        expected = self.tool("curve", "-x", ",".join(repr(v) for v in start), "--format", "json")
        self.assertEqual(len(drawn), len(expected))
        # The closed tab's server goes soon (it left; the heartbeat stopped).
        self.wait(lambda: len(children(self.web.pid)) < servers, 20, "the closed tab's server to end")
        self.assertEqual(self.error("map-error"), "")

    def test_a_page_of_another_origin_changes_nothing(self):
        self.open_page()
        token = self.tab_token()
        victim = self.url.rstrip("/")
        evil_dir = os.path.join(self.tmp, "evil")
        os.makedirs(evil_dir, exist_ok=True)
        with open(os.path.join(evil_dir, "index.html"), "w") as f:
            f.write("""<!doctype html><script>
const victim = %s, token = %s;
const post = (path, body, headers) => fetch(victim + path, {method: 'POST', mode: 'no-cors', body, headers})
  .then(() => 'sent', (e) => 'refused: ' + e);
Promise.all([
  post('/api/upload?name=planted.toml', '[[component]]\\nid = "X"\\nmw = 1.0\\nantoine = [1.0, -100.0]\\n',
       {'Content-Type': 'text/plain'}),
  post('/api/upload?name=planted2.toml', 'x', {'Content-Type': 'text/plain', 'X-Ternival-Session': token}),
  post('/api/rpc', JSON.stringify({jsonrpc: '2.0', id: 1, method: 'typelib'}), {'Content-Type': 'text/plain'}),
  post('/api/session', '{}', {'Content-Type': 'text/plain'}),
]).then((r) => { document.title = 'done'; window.results = r; });
</script>""" % (json.dumps(victim), json.dumps(token)))
        evil = subprocess.Popen([sys.executable, "-m", "http.server", "0", "--bind", "127.0.0.1"], cwd=evil_dir,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        try:
            line = evil.stdout.readline()
            port = re.search(r"port (\d+)", line).group(1)
            before = len(children(self.web.pid))
            self.driver.switch_to.new_window("tab")
            self.driver.get("http://127.0.0.1:%s/index.html" % port)
            self.wait(lambda: self.driver.title == "done", 30, "the other site's page")
            self.driver.close()
            self.driver.switch_to.window(self.driver.window_handles[0])
        finally:
            evil.terminate()
            evil.wait(timeout=10)
        planted = [os.path.join(d, f) for d, _, files in os.walk(self.sessions) for f in files if "planted" in f]
        self.assertEqual(planted, [])
        self.assertEqual(len(children(self.web.pid)), before)


def main():
    global ARGS
    p = argparse.ArgumentParser()
    for name in ("web", "server", "tool", "velmtop", "examples", "chromium", "chromedriver"):
        p.add_argument("--" + name, required=True)
    ARGS, rest = p.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
