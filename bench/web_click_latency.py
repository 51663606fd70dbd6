#!/usr/bin/env python3
"""Time from a click in the triangle to the drawn curve, on the page served
by ternival-web, in headless Chromium (Debian's chromium, chromium-driver
and python3-selenium).  A figure for the record, not a test.

    /usr/bin/python3 bench/web_click_latency.py [--build build] [--clicks 10]

Each click is a real pointer event at a grid composition; the time runs
from the event to the moment the new curve's element is in the picture
(a MutationObserver), so it covers the page, the web server, the relay,
the automation server and the residue-curve computation."""

import argparse
import os
import re
import statistics
import subprocess
import tempfile

# Debian's packages (python3-selenium) live with Debian's interpreter; a python3 found
# first on PATH (a pyenv shim, say) may not see them: then run under
# /usr/bin/python3, or say what is missing.
try:
    import selenium  # noqa: F401
except ImportError:
    import os as _os, sys as _sys
    if _os.path.realpath(_sys.executable) != _os.path.realpath("/usr/bin/python3") and _os.path.exists("/usr/bin/python3"):
        _os.execv("/usr/bin/python3", ["/usr/bin/python3"] + _sys.argv)
    _sys.exit("web_click_latency.py: needs Debian's python3-selenium (apt-get install -y python3-selenium)")

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.support.ui import Select, WebDriverWait
from selenium.webdriver.common.by import By

CLICK = """
const [x, done] = [arguments[0], arguments[arguments.length - 1]];
const s = window.ternival, svg = document.getElementById('map');
const n = s.clicked.length;
const [px, py] = s.toXY(x);
const pt = svg.createSVGPoint(); pt.x = px; pt.y = py;
const p = pt.matrixTransform(svg.getScreenCTM());
const obs = new MutationObserver(() => {
  if (document.getElementById('clicked-' + n)) { obs.disconnect(); done(performance.now() - t0); }
});
obs.observe(svg, { childList: true, subtree: true });
const t0 = performance.now();
svg.dispatchEvent(new MouseEvent('click', { clientX: p.x, clientY: p.y, bubbles: true }));
setTimeout(() => { obs.disconnect(); done(-1); }, 60000);
"""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--clicks", type=int, default=10)
    a = ap.parse_args()
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    build = os.path.join(root, a.build)
    tmp = tempfile.mkdtemp(prefix="ternival-latency-")
    env = dict(os.environ, TERNIVAL_REGISTRY=os.path.join(tmp, "registry.ini"), TMP=tmp)
    subprocess.run([os.path.join(build, "server", "ternival-server"), "-RegServer"], env=env, check=True)
    web = subprocess.Popen([os.path.join(build, "web", "ternival-web"), "--port", "0"], env=env,
                           stdout=subprocess.PIPE, text=True)
    url = re.search(r"(http://\S+/)", web.stdout.readline()).group(1)
    o = Options()
    for f in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
              "--disable-background-networking", "--disable-component-update", "--disable-sync", "--disable-dev-shm-usage",
              "--window-size=1500,1000"):
        o.add_argument(f)
    o.binary_location = "/usr/bin/chromium"
    d = webdriver.Chrome(options=o)
    d.set_script_timeout(120)
    ready = lambda d: d.execute_script(
        "const s = window.ternival; return document.body.dataset.ready === 'true' && !s.busy && s.result && "
        "!document.getElementById('map').classList.contains('stale')")
    try:
        d.get(url)
        WebDriverWait(d, 60).until(ready)
        for example in ("acetone_chloroform_methanol.toml", "ethanol_water_benzene.toml"):
            if example != "acetone_chloroform_methanol.toml":
                Select(d.find_element(By.ID, "example")).select_by_value(example)
                d.find_element(By.ID, "load-example").click()
                WebDriverWait(d, 120).until(lambda d: ready(d) and d.execute_script(
                    "return window.ternival.result.settings.file") == example)
            for kind in ("residue", "distillation"):
                d.find_element(By.CSS_SELECTOR, "input[name=click-kind][value=%s]" % kind).click()
                grid = [[i / 6, j / 6, (6 - i - j) / 6] for i in range(1, 6) for j in range(1, 6 - i)]
                times, missed = [], 0
                for k in range(a.clicks):
                    ms = d.execute_async_script(CLICK, grid[k % len(grid)])
                    WebDriverWait(d, 60).until(lambda d: not d.execute_script("return window.ternival.busy"))
                    if ms < 0:
                        missed += 1
                    else:
                        times.append(ms)
                print("%-36s %-12s median %6.1f ms  min %6.1f  max %6.1f  (%d clicks, %d without a curve)"
                      % (example, kind, statistics.median(times), min(times), max(times), len(times), missed))
    finally:
        d.quit()
        web.terminate()
        web.wait()


if __name__ == "__main__":
    main()
