"""One headless browser of three engines behind one small interface, for the
browser test: start_browser("chromium" | "firefox" | "webkit", work_dir,
downloads_dir) gives open(url), script(body) (a function body that may
await; its value), wait(expression), pick(paths), click(selector),
screenshot(png), console_errors(), set_viewport(width, height) and quit();
Chromium also cdp(), override_quota(), installability() and requests().

- chromium: chromedriver and selenium; downloads by CDP; console errors
  from the "browser" log (the page and its workers).
- firefox: web_browser_firefox.mjs (puppeteer-core, from PUPPETEER_DIR,
  over WebDriver BiDi), one JSON command per line; downloads allowed in a
  BiDi user context; console errors of the page and its workers.
- webkit: WebKitWebDriver and selenium, MiniBrowser --automation on an
  Xvfb display of its own; downloads go to the XDG download folder, set to
  downloads_dir; console errors only from hooks put in the page once it
  has loaded (HOOK).
Every browser is Debian's; nothing downloads one.
"""
import json
import os
import shutil
import subprocess
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
MINIBROWSER = "/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser"
WIDTH, HEIGHT = 1100, 1080
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--disable-dev-shm-usage", f"--window-size={WIDTH},{HEIGHT}"]
# WebKitGTK's WebDriver gives no console log, and MiniBrowser's
# console-to-stdout setting is not applied under --automation: hooks put in
# the page once it has loaded catch the page's uncaught errors (its workers'
# too: WebKit reports them again on the page), refused loads and policy
# violations, and the page's console.error (not its workers').
HOOK = """
if (window.__errors) return;
const errors = window.__errors = [];
addEventListener("error", (e) => errors.push(e instanceof ErrorEvent ? "uncaught: " + e.message
    : "failed to load: " + (e.target.src || e.target.href || e.target.tagName)), true);
addEventListener("unhandledrejection", (e) => errors.push("unhandled rejection: " + e.reason));
addEventListener("securitypolicyviolation", (e) => errors.push(
    "refused by the page's policy (" + e.effectiveDirective + "): " + e.blockedURI));
const error = console.error;
console.error = (...args) => { errors.push("console.error: " + args.join(" ")); error.apply(console, args); };
"""
# The body runs as an async function; its value or its exception comes back.
WRAP = ("return (async () => { try { return {ok: await (async () => {\n%s\n})()}; }"
        " catch (e) { return {error: String(e && e.stack ? e + '\\n' + e.stack : e)}; } })();")


class ScriptError(Exception):
    pass


class Browser:
    engine = None

    def script(self, body):
        """Runs `body` (a function body that may await and return a JSON-able
        value) in the page; returns its value or raises ScriptError."""
        result = self._evaluate(WRAP % body) or {}
        if "error" in result:
            raise ScriptError(result["error"])
        return result.get("ok")

    def wait(self, expression, seconds=60, poll=0.2):
        deadline = time.monotonic() + seconds
        while not self.script(f"return !!({expression});"):
            if time.monotonic() > deadline:
                raise TimeoutError(f"{self.engine}: still not {expression} after {seconds} s")
            time.sleep(poll)


class Selenium(Browser):
    """Chromium and WebKitGTK through their WebDriver servers."""

    def open(self, url):
        self.driver.get(url)

    def _evaluate(self, code):
        return self.driver.execute_script(code)

    def pick(self, paths, selector="#files"):
        from selenium.webdriver.common.by import By
        self.driver.find_element(By.CSS_SELECTOR, selector).send_keys(
            "\n".join(str(Path(p).resolve()) for p in paths))

    def click(self, selector):
        from selenium.webdriver.common.by import By
        self.driver.find_element(By.CSS_SELECTOR, selector).click()

    def screenshot(self, png):
        self.driver.save_screenshot(str(png))

    def set_viewport(self, width, height):
        # The window's size, corrected by what the page then sees (again if
        # MiniBrowser's downloads bar came meanwhile).
        # A window too small for the browser stays at its smallest.
        self.viewport = outer = (width, height)
        last = None
        for _ in range(10):
            self.driver.set_window_size(*outer)
            inner = self.driver.execute_script("return [innerWidth, innerHeight]")
            if inner in ([width, height], last):
                return
            last = inner
            outer = (max(1, outer[0] + width - inner[0]), max(1, outer[1] + height - inner[1]))
            time.sleep(0.1)


class Chromium(Selenium):
    engine = "chromium"

    def __init__(self, work, downloads):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        shutil.rmtree(work / "chromium-profile", ignore_errors=True)
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        self.netlog = work / "netlog.json"
        for flag in CHROMIUM_FLAGS + [f"--user-data-dir={work / 'chromium-profile'}", f"--log-net-log={self.netlog}"]:
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        self.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        self.driver.set_script_timeout(600)
        self.cdp("Browser.setDownloadBehavior", behavior="allow", downloadPath=str(downloads))
        self.set_viewport(WIDTH, HEIGHT)

    def cdp(self, command, **params):
        return self.driver.execute_cdp_cmd(command, params)

    def console_errors(self):
        return [e["message"] for e in self.driver.get_log("browser") if e["level"] == "SEVERE"]

    def requests(self, site):
        """Every URL that Chromium's network log shows requested for pages of
        `site` (their workers' included), leaving out the browser's own
        traffic; once the browser has quit."""
        text = self.netlog.read_text().rstrip()
        if not text.endswith("}"):
            # Not closed when the browser was ended without finishing the log.
            text = text.rstrip(",") + "]}"
        log = json.loads(text)
        start_job = log["constants"]["logEventTypes"]["URL_REQUEST_START_JOB"]
        return {event["params"]["url"] for event in log["events"] if event["type"] == start_job
                and event.get("params", {}).get("network_isolation_key", "").startswith(site)}

    def override_quota(self, origin, size):
        self.cdp("Storage.overrideQuotaForOrigin", origin=origin, quotaSize=size)

    def installability(self):
        """The reasons the open page cannot be installed ([] if it can)."""
        return self.cdp("Page.getInstallabilityErrors")["installabilityErrors"]

    def quit(self):
        self.driver.quit()


class WebKit(Selenium):
    engine = "webkit"

    def __init__(self, work, downloads):
        from selenium import webdriver
        from selenium.webdriver.webkitgtk.service import Service
        # An X display of its own: Xvfb writes its number on a pipe.
        read, write = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1920x1200x24", "-nolisten",
                                      "tcp"], pass_fds=[write], stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as pipe:
            display = pipe.readline().strip()
        if not display:
            raise RuntimeError("Xvfb did not start")
        # A fresh home: the XDG download folder is downloads_dir.
        home = work / "webkit-home"
        shutil.rmtree(home, ignore_errors=True)
        (home / "config").mkdir(parents=True, exist_ok=True)
        (home / "config" / "user-dirs.dirs").write_text(f'XDG_DOWNLOAD_DIR="{downloads}"\n')
        env = {**os.environ, "DISPLAY": f":{display}", "HOME": str(home), "XDG_CONFIG_HOME": str(home / "config"),
               "XDG_CACHE_HOME": str(home / "cache"), "XDG_DATA_HOME": str(home / "data"), "NO_AT_BRIDGE": "1",
               "XDG_RUNTIME_DIR": str(home / "runtime")}
        (home / "runtime").mkdir(mode=0o700, exist_ok=True)
        options = webdriver.WebKitGTKOptions()
        options.binary_location = MINIBROWSER
        options.add_argument("--automation")
        self.service = Service("/usr/bin/WebKitWebDriver", log_path=str(work / "webkit.log"), env=env)
        self.service.start()
        try:
            self.driver = webdriver.Remote(command_executor=self.service.service_url, options=options)
        except Exception:
            self.service.stop()
            self.xvfb.kill()
            raise
        self.driver._is_remote = False  # as webdriver.WebKitGTK: files are local, not uploaded
        self.driver.set_script_timeout(600)
        self.set_viewport(WIDTH, HEIGHT)

    def open(self, url):
        self.driver.get(url)
        self.driver.execute_script(HOOK)

    def screenshot(self, png):
        # MiniBrowser's downloads bar, shown after a download, takes ~120 px.
        self.set_viewport(*self.viewport)
        super().screenshot(png)

    def console_errors(self):
        """What HOOK saw since the last call (not what came before open()
        returned, nor console.error in workers)."""
        return self.driver.execute_script("return (window.__errors || []).splice(0);")

    def quit(self):
        try:
            self.driver.quit()
        finally:
            self.service.stop()
            self.xvfb.kill()
            self.xvfb.wait()


class Firefox(Browser):
    engine = "firefox"

    def __init__(self, work, downloads):
        self.stderr = open(work / "firefox-bridge.log", "wb")
        self.process = subprocess.Popen(["node", str(HERE / "web_browser_firefox.mjs")], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=self.stderr, text=True)
        self.count = 0
        try:
            self.version = self.send("launch", downloads=str(downloads), width=WIDTH, height=HEIGHT)
        except Exception:
            self.process.kill()
            self.process.wait()
            raise

    def send(self, cmd, **args):
        self.count += 1
        self.process.stdin.write(json.dumps({"id": self.count, "cmd": cmd, **args}) + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError(f"the Firefox bridge ended; see {self.stderr.name}")
        answer = json.loads(line)
        if "error" in answer:
            raise RuntimeError(f"firefox {cmd}: {answer['error']}")
        return answer["ok"]

    def open(self, url):
        self.send("open", url=url)

    def _evaluate(self, code):
        # An expression for puppeteer: the same wrapped body, called.
        return self.send("script", expression=f"(() => {{ {code} }})()")

    def pick(self, paths, selector="#files"):
        self.send("pick", selector=selector, paths=[str(Path(p).resolve()) for p in paths])

    def click(self, selector):
        self.send("click", selector=selector)

    def screenshot(self, png):
        self.send("screenshot", path=str(png))

    def console_errors(self):
        return self.send("errors")

    def set_viewport(self, width, height):
        self.send("viewport", width=width, height=height)

    def quit(self):
        try:
            self.send("quit")
        finally:
            self.process.wait(timeout=30)
            self.stderr.close()


def start_browser(engine, work_dir, downloads_dir):
    """A fresh headless browser of `engine`, with scratch files in work_dir and
    downloads landing in downloads_dir."""
    work, downloads = Path(work_dir).resolve(), Path(downloads_dir).resolve()
    work.mkdir(parents=True, exist_ok=True)
    downloads.mkdir(parents=True, exist_ok=True)
    return {"chromium": Chromium, "firefox": Firefox, "webkit": WebKit}[engine](work, downloads)
