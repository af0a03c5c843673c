#!/usr/bin/python3
"""The web page in headless Chromium, served from its packed ZIP on 127.0.0.1.

test: every camera file in the samples folder, the shipped sample, damaged
files (in the middle of the batch) and a one-picture file through the page's
file input. Every output must be byte-identical to the native build's, every
message line equal to the command line's standard output for that file (the
banner once per tool), the ZIP download must hold exactly the outputs, and
no request may go anywhere but the page's own server. Then a screenshot of
the page after converting the shipped sample.

bench: one file through each composing tool in the page and natively, with
libjpeg-turbo's SIMD and without (JSIMD_FORCENONE=1); prints a Markdown table
of median times and the page's peak memory.

Chromium and chromedriver are Debian's; nothing is downloaded.
"""
import argparse
import functools
import http.server
import json
import os
import shutil
import statistics
import subprocess
import sys
import threading
import time
import zipfile
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

TOOLS = ["brantelix", "korventale", "trismoldaven", "vostrin"]
COMPOSING = TOOLS[1:]
ZIP_NAME = "stereo-mpo-outputs.zip"
# Headless as root; without the background services Chromium would try to
# reach its vendor's hosts.
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--disable-dev-shm-usage", "--window-size=1100,1080"]
# A large batch under a slow, shared machine.
BATCH_SECONDS = 900

# What the page shows: banners and, per file and tool, outcome, messages,
# outputs and the time and memory of the run.
READ_PAGE = """
const text = (node) => (node ? node.textContent : "");
return {
  banners: Object.fromEntries([...document.querySelectorAll("pre.banner")].map(
      (pre) => [pre.dataset.tool, pre.textContent])),
  files: [...document.querySelectorAll("section.file")].map((section) => ({
    name: section.dataset.name,
    results: [...section.querySelectorAll(".tool-result")].map((block) => ({
      tool: block.dataset.tool,
      status: block.dataset.status,
      messages: text(block.querySelector("pre.messages")),
      diagnostics: text(block.querySelector("pre.diagnostics")),
      outputs: [...block.querySelectorAll("a.output")].map((a) => a.getAttribute("download")),
      milliseconds: Number(block.dataset.milliseconds),
      memory: Number(block.dataset.memory),
    })),
  })),
};
"""


def fail(message):
    sys.exit(f"web_browser.py: {message}")


class Site:
    """The packed folder served on 127.0.0.1, every request path recorded."""

    def __init__(self, zip_path, work):
        self.root = work / "site"
        shutil.rmtree(self.root, ignore_errors=True)
        with zipfile.ZipFile(zip_path) as archive:
            archive.extractall(self.root)
        folders = [path for path in self.root.iterdir() if path.is_dir()]
        if len(folders) != 1:
            fail(f"{zip_path} does not hold one folder")
        self.folder = folders[0]
        self.requests = []
        site = self

        class Handler(http.server.SimpleHTTPRequestHandler):
            def log_request(self, code="-", size="-"):
                site.requests.append((self.command, self.path, int(code)))

            def log_message(self, *args):
                pass

        handler = functools.partial(Handler, directory=str(self.folder))
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()


def start_chromium(work, downloads):
    """Chromium with a fresh profile, logging every request of the browser,
    its pages and their workers into work/netlog.json."""
    profile = work / "profile"
    shutil.rmtree(profile, ignore_errors=True)
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in CHROMIUM_FLAGS + [f"--user-data-dir={profile}", f"--log-net-log={work / 'netlog.json'}"]:
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    downloads.mkdir(parents=True, exist_ok=True)
    driver.execute_cdp_cmd("Browser.setDownloadBehavior",
                           {"behavior": "allow", "downloadPath": str(downloads)})
    return driver


def convert_in_page(driver, url, paths, tools=TOOLS):
    """Opens the page, ticks `tools`, picks `paths` and waits for the outcome."""
    driver.get(url)
    for box in driver.find_elements(By.CSS_SELECTOR, 'input[name="tool"]'):
        if box.is_selected() != (box.get_attribute("value") in tools):
            box.click()
    driver.find_element(By.ID, "files").send_keys("\n".join(str(Path(path).resolve()) for path in paths))
    WebDriverWait(driver, BATCH_SECONDS, poll_frequency=0.2).until(
        lambda d: d.execute_script("return document.body.dataset.state") == "done")
    return driver.execute_script(READ_PAGE)


def page_requests(netlog, site_url):
    """The URLs of every request that Chromium's network log files under the
    page's site (the page's own and its worker's), leaving out the browser's
    own traffic (updates, accounts, its search engine), filed under others."""
    text = netlog.read_text().rstrip()
    if not text.endswith("}"):
        # Not closed when the browser was ended without finishing the log.
        text = text.rstrip(",") + "]}"
    log = json.loads(text)
    start_job = log["constants"]["logEventTypes"]["URL_REQUEST_START_JOB"]
    site = "http://" + site_url.split("/")[2].split(":")[0]
    return {event["params"]["url"] for event in log["events"] if event["type"] == start_job
            and event.get("params", {}).get("network_isolation_key", "").startswith(site)}


def run_native(binary, folder, name, env=None):
    """Runs `binary name` inside `folder`, as the browser test compares it:
    its status, standard output and standard error."""
    result = subprocess.run([str(binary), name] if name else [str(binary)], cwd=folder, capture_output=True,
                            env=env, check=False)
    return result.returncode, result.stdout.decode(), result.stderr.decode()


def make_inputs(samples, sample, native, work):
    """The camera files (under names the tools take), the shipped sample, two
    damaged copies of it in the middle and a one-picture file at the end."""
    inputs = work / "inputs"
    inputs.mkdir(parents=True)
    paths = []
    if samples.is_dir():
        for camera in sorted(samples.iterdir()):
            if camera.suffix.lower() in (".mpo", ".jpg"):
                paths.append(inputs / (camera.stem + ".mpo"))
                shutil.copyfile(camera, paths[-1])
    else:
        print(f"no camera files in {samples}: the shipped sample only")
    paths.append(inputs / sample.name)
    shutil.copyfile(sample, paths[-1])
    # Where the right picture begins: after the left one, as the splitter
    # copies it.
    split = work / "split"
    split.mkdir()
    shutil.copyfile(sample, split / sample.name)
    run_native(native / "brantelix", split, sample.name)
    good = sample.read_bytes()
    right = (split / (sample.stem + "_L.jpg")).stat().st_size
    # The right picture's first Huffman table segment claims to run past the
    # end of the file: a fatal libjpeg error while reading its header.
    position = right + 2
    while good[position + 1] != 0xC4:
        position += 2 + int.from_bytes(good[position + 2:position + 4], "big")
    header = inputs / "damaged_header.mpo"
    header.write_bytes(good[:position + 2] + b"\xff\xf0" + good[position + 4:])
    # A Huffman table segment with a bogus table number just before the
    # right picture's end: met after the output was announced and created.
    if not good.endswith(b"\xff\xd9"):
        fail(f"{sample} does not end with its right picture")
    rows = inputs / "damaged_rows.mpo"
    rows.write_bytes(good[:-2] + b"\xff\xc4\x00\x13\x07" + bytes(16) + good[-2:])
    paths[len(paths) // 2:len(paths) // 2] = [header, rows]
    single = inputs / "single.mpo"
    single.write_bytes(good[:right])
    paths.append(single)
    return paths


def expected_outcome(status, outputs):
    if status != 0:
        return "refused"
    return "converted" if outputs else "skipped"


def test(args):
    work = Path(args.work).resolve()
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    native = Path(args.native).resolve()
    paths = make_inputs(Path(args.samples), Path(args.sample), native, work)

    # The command line, each file alone in a folder of its own.
    banners = {tool: run_native(native / tool, work, None)[1] for tool in TOOLS}
    expected = {}
    all_outputs = {}
    for path in paths:
        for tool in TOOLS:
            folder = work / "native" / tool / path.stem
            folder.mkdir(parents=True)
            shutil.copyfile(path, folder / path.name)
            status, out, err = run_native(native / tool, folder, path.name)
            if not out.startswith(banners[tool]):
                fail(f"{tool} {path.name}: standard output does not begin with the banner")
            outputs = sorted(p.name for p in folder.iterdir() if p.name != path.name)
            for name in outputs:
                all_outputs[name] = (folder / name).read_bytes()
            expected[(path.name, tool)] = (expected_outcome(status, outputs), out[len(banners[tool]):], err,
                                           outputs)

    site = Site(Path(args.zip), work)
    downloads = work / "downloads"
    driver = start_chromium(work, downloads)
    problems = []
    try:
        started = time.monotonic()
        page = convert_in_page(driver, site.url, paths)
        seconds = time.monotonic() - started
        print(f"{len(paths)} files through {len(TOOLS)} tools in the page: {seconds:.1f} s")
        for tool in TOOLS:
            if page["banners"].get(tool) != banners[tool]:
                problems.append(f"{tool}: banner {page['banners'].get(tool)!r}, expected {banners[tool]!r}")
        if [f["name"] for f in page["files"]] != [p.name for p in paths]:
            problems.append(f"files shown: {[f['name'] for f in page['files']]}")
        for shown in page["files"]:
            if [r["tool"] for r in shown["results"]] != TOOLS:
                problems.append(f"{shown['name']}: outcomes of {[r['tool'] for r in shown['results']]}")
            for result in shown["results"]:
                # Outcome, standard output, standard error, outputs.
                wanted = expected[(shown["name"], result["tool"])]
                got = (result["status"], result["messages"], result["diagnostics"], sorted(result["outputs"]))
                if got != wanted:
                    problems.append(
                        f"{result['tool']} {shown['name']}: page shows {got}, command line {wanted}")

        driver.find_element(By.ID, "download-all").click()
        archive = downloads / ZIP_NAME
        deadline = time.monotonic() + 120
        while not archive.exists() and time.monotonic() < deadline:
            time.sleep(0.2)
        if not archive.exists():
            problems.append("the ZIP of all outputs was not downloaded")
        else:
            with zipfile.ZipFile(archive) as zipped:
                names = sorted(zipped.namelist())
                if names != sorted(all_outputs):
                    problems.append(f"the ZIP holds {names}, the command line wrote {sorted(all_outputs)}")
                for name in set(names) & set(all_outputs):
                    if zipped.read(name) != all_outputs[name]:
                        problems.append(f"{name}: bytes differ from the command line's")

        served = {p.name for p in site.folder.iterdir()}
        for method, path, code in site.requests:
            if method != "GET" or path.lstrip("/").split("?")[0] not in served | {""} or code != 200:
                problems.append(f"request to the page's server: {method} {path} {code}")
        for entry in driver.get_log("browser"):
            if entry["level"] == "SEVERE":
                problems.append(f"browser console: {entry['message']}")

        if args.screenshot:
            convert_in_page(driver, site.url, [Path(args.sample)])
            driver.save_screenshot(args.screenshot)
    finally:
        driver.quit()
        site.close()
    # Every request made for the page, its worker's included.
    urls = page_requests(work / "netlog.json", site.url)
    if site.url + "korventale.wasm" not in urls:
        problems.append("the network log does not show the worker's requests")
    problems += [f"request beyond the page's server: {url}"
                 for url in sorted(urls) if not url.startswith(site.url)]
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        fail(f"{len(problems)} problems with the page")
    print(f"{len(all_outputs)} outputs of {len(paths)} files byte-identical, messages and diagnostics equal, "
          "ZIP complete, no request beyond the page's server")


def renderer_peak_kib(driver):
    """The largest peak resident size among this browser's renderer processes
    (the page and its worker live in one)."""
    parents, peaks = {}, {}
    for proc in Path("/proc").iterdir():
        try:
            status = dict(line.split(":", 1) for line in (proc / "status").read_text().splitlines())
            parents[int(proc.name)] = int(status["PPid"])
            if b"--type=renderer" in (proc / "cmdline").read_bytes():
                peaks[int(proc.name)] = int(status["VmHWM"].split()[0])
        except (OSError, ValueError, KeyError):
            continue

    def ours(pid):
        while pid > 1:
            if pid == driver.service.process.pid:
                return True
            pid = parents.get(pid, 0)
        return False

    return max([peak for pid, peak in peaks.items() if ours(pid)], default=0)


def bench(args):
    work = Path(args.work).resolve()
    work.mkdir(parents=True, exist_ok=True)
    mpo = Path(args.file)
    site = Site(Path(args.zip), work)
    native = Path(args.native).resolve()
    print("| tool | page (WebAssembly) | native, no SIMD | native, SIMD | page / no SIMD | page / SIMD "
          "| page's peak memory | the tool's module |\n|---|---|---|---|---|---|---|---|")
    try:
        for tool in COMPOSING:
            page_ms, plain_ms, simd_ms, memory, module = [], [], [], 0, 0
            folder = work / "native"
            shutil.rmtree(folder, ignore_errors=True)
            folder.mkdir()
            shutil.copyfile(mpo, folder / mpo.name)
            # A fresh browser per tool, so that its peak memory is that tool's.
            driver = start_chromium(work, work / "downloads")
            try:
                for _ in range(args.runs):
                    result = convert_in_page(driver, site.url, [mpo], [tool])["files"][0]["results"][0]
                    if result["status"] != "converted":
                        fail(f"{tool} {mpo.name}: {result['messages']}")
                    page_ms.append(result["milliseconds"])
                    module = max(module, result["memory"])
                    for times, env in ((plain_ms, {"JSIMD_FORCENONE": "1"}), (simd_ms, {})):
                        started = time.perf_counter()
                        run_native(native / tool, folder, mpo.name, {**os.environ, **env})
                        times.append((time.perf_counter() - started) * 1000)
                memory = renderer_peak_kib(driver)
            finally:
                driver.quit()
            page, plain, simd = (statistics.median(t) for t in (page_ms, plain_ms, simd_ms))
            print(f"| `{tool}` | {page:.0f} ms | {plain:.0f} ms | {simd:.0f} ms | {page / plain:.2f} x "
                  f"| {page / simd:.2f} x | {memory / 1024:.0f} MiB | {module / 2**20:.0f} MiB |", flush=True)
    finally:
        site.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    for name in ("test", "bench"):
        command = commands.add_parser(name)
        command.add_argument("--zip", required=True, help="the packed page")
        command.add_argument("--native", required=True, help="folder of the native tools")
        command.add_argument("--work", required=True, help="scratch folder")
    commands.choices["test"].add_argument("--samples", required=True, help="folder of camera files")
    commands.choices["test"].add_argument("--sample", required=True, help="the shipped sample")
    commands.choices["test"].add_argument("--screenshot", help="PNG of the page after the sample")
    commands.choices["bench"].add_argument("--file", required=True, help="the MPO file to time")
    commands.choices["bench"].add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    test(args) if args.command == "test" else bench(args)


if __name__ == "__main__":
    main()
