#!/usr/bin/python3
"""The web page's figures, in headless Chromium, from its packed ZIP.

tools: one file through the aligner and each composing tool in the page,
again and again in one page as the files of a batch, and natively, with
libjpeg-turbo's SIMD and without (JSIMD_FORCENONE=1); a Markdown table of
median times, the page's being the conversion's own time in its worker.

batch: N copies of one file through every tool, then the ZIP download, for
each N given: the peak of all the browser's processes' memory together (and
its growth per file between the batches), the longest task on the page's
main thread while converting and while the ZIP is offered, the browser's
processor time over the wall time while converting.

card: N copies of one file (--batch N), the page opened as a file as a user
does by double-clicking it (--engine chromium or webkit), every ZIP part
downloaded as soon as the page offers it: each part must be a whole ZIP,
and together they must hold every output, byte-identical to the command
line's outputs of the same copies. Prints the parts and their sizes, the
time, the converters the pool had (and when it changed), and the longest
gap between 10 ms timers on the page's main thread and the longest part of
one while the same timers ran in a worker (every engine), and its longest
task (Chromium).

    bench/web_bench.py tools|batch|card --zip ZIP --native BIN --work DIR --file MPO
"""
import argparse
import io
import os
import shutil
import statistics
import subprocess
import sys
import threading
import time
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "scripts"))
from web_browser import (COMPOSING, FEEDING, TOOLS, ZIP_NAME, Check, Site, digest, fail, run_native,  # noqa: E402
                         unpack)
from web_engines import start_browser  # noqa: E402


def tools(args):
    work = Path(args.work).resolve()
    work.mkdir(parents=True, exist_ok=True)
    mpo = Path(args.file)
    site = Site(unpack(Path(args.zip), work))
    native = Path(args.native).resolve()
    print("| tool | page, first file after loading | page, later files | native, no SIMD | native, SIMD "
          "| page / no SIMD | page / SIMD | the tool's module |\n|---|---|---|---|---|---|---|---|")
    folder = work / "native"
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir()
    shutil.copyfile(mpo, folder / mpo.name)
    browser = start_browser("chromium", work / "browser", work / "downloads")
    check = Check(browser, None, work / "downloads")
    try:
        for tool in [*sorted(FEEDING), *COMPOSING]:
            page_ms, plain_ms, simd_ms, module = [], [], [], 0
            # One page for every run, as for the files of a batch; the first
            # run after loading, before the engine has optimised the code,
            # apart.
            for run in range(args.runs + 1):
                result = check.convert(site.url, [mpo], [tool], reload=run == 0)[0]["files"][0]["results"][0]
                if result["status"] != "converted":
                    fail(f"{tool} {mpo.name}: {result['messages']}")
                page_ms.append(result["milliseconds"])
                module = max(module, result["memory"])
                for times, env in ((plain_ms, {"JSIMD_FORCENONE": "1"}), (simd_ms, {})):
                    started = time.perf_counter()
                    run_native(native / tool, folder, mpo.name, {**os.environ, **env})
                    times.append((time.perf_counter() - started) * 1000)
            page, plain, simd = (statistics.median(t[1:]) for t in (page_ms, plain_ms, simd_ms))
            print(f"| `{tool}` | {page_ms[0]:.0f} ms | {page:.0f} ms | {plain:.0f} ms | {simd:.0f} ms "
                  f"| {page / plain:.2f} x | {page / simd:.2f} x | {module / 2**20:.0f} MiB |", flush=True)
    finally:
        browser.quit()
        site.close()


def browser_processes(root):
    """The pids below `root` (the browser's driver) and their resident
    memory in KiB and processor time in clock ticks."""
    parents, stats = {}, {}
    for proc in Path("/proc").iterdir():
        try:
            fields = (proc / "stat").read_text().rsplit(")", 1)[1].split()
            parents[int(proc.name)] = int(fields[1])
            stats[int(proc.name)] = (int(fields[21]) * os.sysconf("SC_PAGE_SIZE") // 1024,
                                     int(fields[11]) + int(fields[12]))
        except (OSError, ValueError, IndexError):
            continue

    def ours(pid):
        while pid > 1:
            if pid == root:
                return True
            pid = parents.get(pid, 0)
        return False

    return {pid: stat for pid, stat in stats.items() if pid != root and ours(pid)}


def bench_batch(args):
    """N copies of one file through every tool, then the ZIP download, in
    Chromium: the peak of all the browser's processes' memory together, the
    longest task on the page's main thread, and the browser's processor time
    over the wall time while converting."""
    work = Path(args.work).resolve()
    copies = work / "copies"
    shutil.rmtree(copies, ignore_errors=True)
    copies.mkdir(parents=True)
    site = Site(unpack(Path(args.zip), work))
    print("| files | peak memory, all processes | per file | longest main-thread task | processor / wall time "
          "| converting | ZIP download |\n|---|---|---|---|---|---|---|")
    baseline = None
    for count in args.batch:
        # Hard links: a browser names a file it is given by a symbolic link
        # after its target, and the copies need names of their own.
        original = copies / Path(args.file).name
        if not original.exists():
            shutil.copyfile(args.file, original)
        paths = [copies / f"{original.stem}-{i:03}.mpo" for i in range(count)]
        for path in paths:
            if not path.exists():
                os.link(original, path)
        downloads = work / "downloads"
        shutil.rmtree(downloads, ignore_errors=True)
        browser = start_browser("chromium", work / "browser", downloads)
        root = browser.driver.service.process.pid
        peak, sampling = [0], [True]

        def sample():
            while sampling[0]:
                peak[0] = max(peak[0], sum(rss for rss, _ in browser_processes(root).values()))
                time.sleep(0.05)

        sampler = threading.Thread(target=sample)
        try:
            browser.open(site.url)
            browser.wait("document.body.dataset.converters")
            browser.script("""
window.longest = 0;
new PerformanceObserver((list) => {
  for (const entry of list.getEntries()) window.longest = Math.max(window.longest, entry.duration);
}).observe({ type: "longtask" });
""")
            sampler.start()
            ticks = sum(t for _, t in browser_processes(root).values())
            started = time.monotonic()
            browser.pick(paths)
            browser.wait("document.body.dataset.state === 'done'", 3600)
            converting = time.monotonic() - started
            busy = (sum(t for _, t in browser_processes(root).values()) - ticks) / os.sysconf("SC_CLK_TCK")
            started = time.monotonic()
            browser.click("#download-all")
            archive = downloads / ZIP_NAME
            while not archive.exists():
                time.sleep(0.05)
            download = time.monotonic() - started
            longest = browser.script("return window.longest;")
        finally:
            sampling[0] = False
            if sampler.is_alive():
                sampler.join()
            browser.quit()
        with zipfile.ZipFile(archive) as zipped:
            if zipped.testzip() is not None or len(zipped.namelist()) != 5 * count:
                fail(f"{count} files: the ZIP is damaged or incomplete")
        per_file = f"{(peak[0] - baseline[1]) / 1024 / (count - baseline[0]):.1f} MiB" if baseline else ""
        baseline = baseline or (count, peak[0])
        print(f"| {count} | {peak[0] / 1024:.0f} MiB | {per_file} | {longest:.0f} ms | {busy / converting:.2f} "
              f"| {converting:.1f} s | {download:.1f} s ({archive.stat().st_size / 1e6:.0f} MB) |", flush=True)
    site.close()


# The page's main thread, watched from inside: the longest gap between
# timers of 10 ms, in every engine, and the longest task where the engine
# reports them (Chromium). On a loaded machine a thread waits for a core as
# well, so the same timers run in a worker of the page, as a control: the
# part of a gap on the page's thread during which the worker's timers ran
# on time is the page's thread held, not the machine's load.
WATCH_MAIN_THREAD = """
// Gaps past 50 ms between 10 ms timers, from and to, on one clock.
const watch = (gaps) => {
  const clock = () => performance.timeOrigin + performance.now();
  let last = clock();
  setInterval(() => {
    const now = clock();
    if (now - last > 50) gaps.push([last, now]);
    last = now;
  }, 10);
};
window.longest = 0;
window.gaps = [];
window.watched = performance.timeOrigin + performance.now();
watch(window.gaps);
window.control = new Worker(URL.createObjectURL(new Blob(
  [`const gaps = []; (${watch})(gaps); onmessage = () => postMessage(gaps);`], { type: "text/javascript" })));
if (PerformanceObserver.supportedEntryTypes.includes("longtask")) {
  new PerformanceObserver((list) => {
    for (const entry of list.getEntries()) window.longest = Math.max(window.longest, entry.duration);
  }).observe({ type: "longtask" });
}
"""
# The longest gap on the page's thread, and the longest part of one during
# which the control's timers ran (each gap less its overlap with theirs);
# those past 100 ms with the second they ended, to set beside the parts'.
READ_MAIN_THREAD = """
const control = await new Promise((resolve) => {
  window.control.onmessage = ({ data }) => resolve(data);
  window.control.postMessage(null);
});
const overlap = ([a, b]) => control.reduce((sum, [c, d]) => sum + Math.max(0, Math.min(b, d) - Math.max(a, c)), 0);
const longestGap = Math.max(0, ...window.gaps.map(([a, b]) => b - a));
const held = window.gaps.map((gap) => [Math.round((gap[1] - window.watched) / 1000), gap[1] - gap[0] - overlap(gap)]);
return [longestGap, Math.max(0, ...held.map(([, ms]) => ms)), window.longest,
        held.filter(([, ms]) => ms > 100).map(([second, ms]) => [second, Math.round(ms)])];
"""


def card(args):
    """N copies of one file, opened as a file, every ZIP part downloaded as
    it is offered; the parts checked against the command line's outputs."""
    work = Path(args.work).resolve()
    count = args.batch[0]
    copies = work / "card"
    shutil.rmtree(copies, ignore_errors=True)
    copies.mkdir(parents=True)
    original = work / Path(args.file).name
    shutil.copyfile(args.file, original)
    # Hard links: a browser names a file it is given by a symbolic link
    # after its target, and the copies need names of their own.
    paths = [copies / f"{original.stem}-{i:03}.mpo" for i in range(count)]
    for path in paths:
        os.link(original, path)
    native = Path(args.native).resolve()
    # The command line's outputs, every copy at once, beside them.
    for tool in TOOLS:
        result = subprocess.run([str(native / tool), *[p.name for p in paths]], cwd=copies, capture_output=True,
                                check=False)
        if result.returncode != 0:
            fail(f"{tool}: {result.stderr.decode()}")
    wanted = {p.name: digest(p.read_bytes()) for p in copies.iterdir() if p not in paths}
    folder = unpack(Path(args.zip), work)
    downloads = work / "downloads"
    shutil.rmtree(downloads, ignore_errors=True)
    browser = start_browser(args.engine, work / "browser", downloads)
    check = Check(browser, None, downloads)
    parts, sizes = {}, []
    try:
        browser.open((folder / "index.html").as_uri())
        # Once the page has opened its destination, and says where outputs go.
        browser.wait("document.body.dataset.converters && document.getElementById('destination-note').textContent "
                     "!== 'The outputs go into one ZIP file.'", 120)
        print(browser.script('return document.getElementById("destination-note").textContent;'))
        browser.script(WATCH_MAIN_THREAD)
        started = time.monotonic()
        browser.pick(paths)
        converters = []
        while True:
            state = browser.script("""return [document.body.dataset.state, document.body.dataset.converters,
                document.querySelector(".download-part")?.textContent.match(/\\d+/)[0]];""")
            if not converters or converters[-1][1] != state[1]:
                converters.append((round(time.monotonic() - started), state[1]))
            if state[2]:
                name = f"stereo-mpo-outputs-{state[2]}.zip"
                parts[name] = check.download(name, ".download-part", scripted=True)
                if parts[name] is None:
                    fail(f"{name} was not downloaded")
                sizes.append(f"{name} {len(parts[name]) / 1e6:.0f} MB at {time.monotonic() - started:.0f} s")
            elif state[0] in ("done", "failed"):
                break
            else:
                time.sleep(0.5)
        seconds = time.monotonic() - started
        summary = browser.script('return document.getElementById("summary-text").textContent;')
        gap, unexplained, longest, when = browser.script(READ_MAIN_THREAD)
        if not parts:
            parts[ZIP_NAME] = check.download(ZIP_NAME, "#download-all")
    finally:
        browser.quit()
    held = {}
    for name, data in parts.items():
        with zipfile.ZipFile(io.BytesIO(data)) as archive:
            if archive.testzip() is not None:
                fail(f"{name} is damaged")
            for entry in archive.namelist():
                if entry in held:
                    fail(f"{entry} is in two parts")
                held[entry] = digest(archive.read(entry))
    same = "byte-identical to" if held == wanted else "NOT the same as"
    print(f"{args.engine}, {count} copies opened as a file: {summary}\n"
          f"{len(parts)} ZIP parts, each a whole ZIP, {len(held)} outputs {same} the command line's "
          f"{len(wanted)}\n" + "\n".join(sizes) +
          f"\n{seconds:.0f} s; converters (second, count): {converters}; "
          f"longest gap between 10 ms timers on the page's thread {gap:.0f} ms, of which the control's "
          f"timers ran {unexplained:.0f} ms; longest task {longest:.0f} ms; "
          f"held past 100 ms (second, ms): {when}")
    if held != wanted:
        fail("the parts do not hold the command line's outputs")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    for name in ("tools", "batch", "card"):
        command = commands.add_parser(name)
        command.add_argument("--zip", required=True, help="the packed page")
        command.add_argument("--native", required=True, help="folder of the native tools")
        command.add_argument("--work", required=True, help="scratch folder")
        command.add_argument("--file", required=True, help="the MPO file")
    commands.choices["tools"].add_argument("--runs", type=int, default=5)
    for name in ("batch", "card"):
        commands.choices[name].add_argument("--batch", type=int, nargs="+",
                                            default=[6, 24] if name == "batch" else [25],
                                            help="numbers of copies, one batch each (card: one)")
    commands.choices["card"].add_argument("--engine", choices=("chromium", "webkit", "firefox"), default="chromium")
    args = parser.parse_args()
    {"tools": tools, "batch": bench_batch, "card": card}[args.command](args)


if __name__ == "__main__":
    main()
