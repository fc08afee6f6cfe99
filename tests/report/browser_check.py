"""The report's HTML in a real browser: headless Chromium loads the page of
the default machine's log and of a generated 5,000-device machine's log at a
1,280 px window and checks that the document is no wider than the window,
that every link of the page leads to an element that exists, and that the
page holds no script element. Screenshots are kept in the output directory
for people to look at. Chromium is driven over its DevTools pipe (file
descriptors 3 and 4), so nothing beyond the standard library is needed.

    browser_check.py PROGRAM REPORT SOURCE OUTDIR

Exit status 77 (skipped) where Chromium is not installed."""
import base64
import json
import os
import shutil
import subprocess
import sys
import tempfile

PROGRAM, REPORT, SOURCE, OUTDIR = sys.argv[1:5]
WIDTH, HEIGHT = 1280, 900
CHECK = """JSON.stringify({
  width: document.documentElement.scrollWidth,
  window: window.innerWidth,
  scripts: document.getElementsByTagName('script').length,
  links: Array.from(document.querySelectorAll('a[href^="#"]')).length,
  broken: Array.from(document.querySelectorAll('a[href^="#"]'))
      .map(a => a.getAttribute('href').slice(1)).filter(id => !document.getElementById(id)),
  summary: document.querySelectorAll('table.summary a').length})"""


class Browser:
    """One headless Chromium, spoken to in DevTools messages ending in NUL."""

    def __init__(self, chromium, profile):
        self.to_browser, self.ours_w = os.pipe()
        self.ours_r, self.from_browser = os.pipe()
        # The child reads descriptor 3 and writes 4; lift both ends clear of
        # 3 and 4 first so that neither dup2 overwrites the other.
        high_in, high_out = os.dup2(self.to_browser, 100), os.dup2(self.from_browser, 101)

        def setup():
            os.dup2(high_in, 3)
            os.dup2(high_out, 4)
        self.proc = subprocess.Popen(
            [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
             "--user-data-dir=" + profile, "--hide-scrollbars", "about:blank"],
            preexec_fn=setup, pass_fds=(3, 4, high_in, high_out),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(high_in)
        os.close(high_out)
        os.close(self.to_browser)
        os.close(self.from_browser)
        self.reader = os.fdopen(self.ours_r, "rb")
        self.next_id = 0
        self.buffer = b""

    def _receive(self):
        while b"\0" not in self.buffer:
            chunk = os.read(self.ours_r, 1 << 20)
            if not chunk:
                raise RuntimeError("chromium closed its pipe")
            self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method, params=None, session=None, wait_event=None):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.ours_w, json.dumps(message).encode() + b"\0")
        result, seen = None, wait_event is None
        while result is None or not seen:
            answer = self._receive()
            if answer.get("id") == self.next_id:
                if "error" in answer:
                    raise RuntimeError(f"{method}: {answer['error']}")
                result = answer["result"]
            elif wait_event and answer.get("method") == wait_event:
                seen = True
        return result

    def close(self):
        try:
            self.call("Browser.close")
        except (RuntimeError, OSError):
            pass
        self.proc.wait(timeout=30)
        os.close(self.ours_w)
        self.reader.close()


def look(browser, page, shot):
    target = browser.call("Target.createTarget", {"url": "about:blank"})["targetId"]
    session = browser.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
    browser.call("Emulation.setDeviceMetricsOverride",
                 {"width": WIDTH, "height": HEIGHT, "deviceScaleFactor": 1, "mobile": False}, session)
    browser.call("Page.enable", {}, session)
    browser.call("Page.navigate", {"url": "file://" + page}, session, wait_event="Page.loadEventFired")
    seen = json.loads(browser.call("Runtime.evaluate", {"expression": CHECK, "returnByValue": True},
                                   session)["result"]["value"])
    png = browser.call("Page.captureScreenshot", {"format": "png"}, session)["data"]
    with open(shot, "wb") as file:
        file.write(base64.b64decode(png))
    browser.call("Target.closeTarget", {"targetId": target})
    return seen


def log_of(machine, directory):
    env = dict(os.environ)
    env.pop("TARSEL_MACHINE", None)
    if machine:
        env["TARSEL_MACHINE"] = machine
    subprocess.run([PROGRAM], cwd=directory, env=env, check=True, capture_output=True, timeout=600)
    return os.path.join(directory, "enumerate-tarsel.txt")


def main():
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if not chromium:
        print("SKIP: chromium is not installed (tools/install-deps.sh installs Debian's chromium where it can)")
        return 77
    os.makedirs(OUTDIR, exist_ok=True)
    failures = []
    with tempfile.TemporaryDirectory() as work:
        default_dir, big_dir = os.path.join(work, "default"), os.path.join(work, "big")
        os.mkdir(default_dir)
        os.mkdir(big_dir)
        big_machine = os.path.join(work, "machine-5000.json")
        subprocess.run([sys.executable, os.path.join(SOURCE, "tools", "gen-machine.py"), "--devices", "5000",
                        "--seed", "1", "--output", big_machine], check=True)
        pages = {
            "default": (log_of(None, default_dir), []),
            "default-machine": (os.path.join(default_dir, "enumerate-tarsel.txt"),
                                ["--machine", os.path.join(SOURCE, "machines", "default.json")]),
            "devices-5000": (log_of(big_machine, big_dir), []),
            "devices-5000-machine": (os.path.join(big_dir, "enumerate-tarsel.txt"), ["--machine", big_machine]),
        }
        browser = Browser(chromium, os.path.join(work, "profile"))
        try:
            for name, (log, extra) in pages.items():
                page = os.path.join(OUTDIR, f"report-{name}.html")
                with open(page, "wb") as file:
                    subprocess.run([REPORT, "--format", "html", *extra, log], stdout=file, check=True, timeout=120)
                seen = look(browser, page, os.path.join(OUTDIR, f"report-{name}.png"))
                print(name, seen["width"], "px wide at", seen["window"], "px;", seen["links"], "links")
                if seen["width"] > seen["window"]:
                    failures.append(f"{name}: {seen['width']} px wide in a {seen['window']} px window")
                if seen["broken"]:
                    failures.append(f"{name}: links to nothing: {seen['broken'][:5]}")
                if seen["scripts"]:
                    failures.append(f"{name}: {seen['scripts']} script element(s)")
                if not seen["summary"]:
                    failures.append(f"{name}: no summary links")
        finally:
            browser.close()
    for failure in failures:
        print("FAIL:", failure)
    print(f"{len(failures)} failure(s); pages and screenshots in {OUTDIR}")
    return 1 if failures else 0


sys.exit(main())
