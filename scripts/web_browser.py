#!/usr/bin/python3
"""The web page from its packed ZIP, in Chromium, Firefox or WebKitGTK.

test --engine E: the page served on 127.0.0.1, then opened as a file.
Served, one batch: every camera file in the samples folder, the shipped
sample, damaged files in the middle (a fatal error in a header and in the
rows, a file cut inside its right view), a text file named .mpo, a .jpg and
a one-picture file. Every output in the ZIP download, and those of one file
downloaded by their links, must be byte-identical to the native build's;
every line equal to the command line's (standard output and error, the
banners once), but for files the page refuses itself, which have one line
under their name; each result's outcome, the summary's counts of files and
its list of files with a problem the page's reading of them; the SIMD
build chosen; the previews in proportion; axe-core must find no WCAG 2.2
A or AA violation on a desktop and at 320 px, where nothing may scroll
sideways; the page may ask its server for nothing but its own files, nor
load the alignment's module before it is ticked. Then a batch aligned
first: the outputs made from the aligned pair, as from the command line's
`mpoalign` output, none where the pair is not aligned.
Opened as a file, with a small memory limit for outputs (so that where the
page keeps them in memory, a few files make several ZIP parts, each
downloaded as it is offered): files picked during a batch are added to it,
one of them gone before the page reads it; picked after it, the page asks
(axe-core again, with the question and the parts shown) and they are
added; starting over clears the page; the same checks of bytes and lines,
and the converters let go once idle.
Chromium also: the page installable; a second batch in the same page,
started over, with a module that aborts in the middle of a run and a file
its memory cannot take (faults planted in the served page, set off by the
files' names) and a file gone before the page reads it, whose ZIP holds only
its own outputs and replaces the first's in the storage; the storage
running out, and the rest in parts; outputs into a chosen folder; a new
version of the page offered, not loaded during a batch, loaded after it;
the page loading and converting with its server gone, and failing, not
hanging, when one of its files is missing (and saying once that it cannot
work offline); no request beyond its server in the network log;
screenshots of a desktop and a phone.

The browsers are Debian's; nothing is downloaded (see web_engines.py).
"""
import argparse
import functools
import hashlib
import http.server
import io
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import threading
import time
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from web_engines import start_browser  # noqa: E402

# The page's conversions, in their order (see web/src/conversions.js).
CONVERSIONS = json.loads((Path(__file__).resolve().parent.parent / "web" / "conversions.json").read_text())
# Those ticked at first, which every batch runs but the one aligned first.
TOOLS = [conversion["program"] for conversion in CONVERSIONS if conversion.get("ticked", True)]
ALIGNED = [conversion["program"] for conversion in CONVERSIONS]
FEEDING = {conversion["program"] for conversion in CONVERSIONS if conversion.get("feeds")}
# The lines with which a tool reports what it did, at the end of its standard
# error, which are no warnings.
REPORTS = {conversion["program"]: conversion.get("reports", 0) for conversion in CONVERSIONS}
COMPOSING = [conversion["program"] for conversion in CONVERSIONS if conversion["previewed"]]
ZIP_NAME = "stereo-mpo-outputs.zip"
# The names the tools convert; the page skips the others itself, with one line.
MPO_NAME = re.compile(r"\.(mpo|MPO)$")
SKIPPED = "Skipped: the name must end in .mpo or .MPO"
GONE = "This file is gone: it was moved or deleted after it was picked"
# Where the page keeps outputs in memory: parts of this many bytes opened as
# a file (?memory-limit=), so that a few files make several.
PART_LIMIT = 1_000_000
# A large batch under a slow, shared machine.
BATCH_SECONDS = 900
# Faults planted in the served page's worker scripts, each set off only by
# a file's name, with how often each fragment is there: the module aborts
# once it has created its output (in each tool's runtime), and the module's
# memory cannot take the file once it holds part of it (in the worker).
PLANTS = [
    ("var stream=FS.open(pathname,flags,mode);",
     'if(/planted-abort.*\\.j/.test(pathname))abort("planted");', 4),
    ("instance.FS.writeFile(name, bytes);",
     'if (name.includes("planted-too-large")) throw new RangeError("planted: no memory for the file");', 1),
]

# What the page shows: its state, banners and, per file and tool, outcome,
# lines, outputs and the time and memory of the run; the summary.
READ_PAGE = """
const text = (node) => (node ? node.textContent : "");
return {
  state: document.body.dataset.state,
  build: document.body.dataset.build,
  failure: text(document.getElementById("failure")),
  destination: text(document.getElementById("destination-note")),
  banners: Object.fromEntries([...document.querySelectorAll("#banners pre.banner")].map(
      (pre) => [pre.dataset.tool, pre.textContent])),
  files: [...document.querySelectorAll("section.file")].map((section) => ({
    name: section.dataset.name,
    reason: text(section.querySelector("p.reason")),
    results: [...section.querySelectorAll(".tool-result")].map((block) => ({
      tool: block.dataset.tool,
      status: block.dataset.status,
      messages: text(block.querySelector("pre.messages")),
      diagnostics: text(block.querySelector("pre.diagnostics")),
      outputs: [...block.querySelectorAll("a.output")].map((a) => a.dataset.entry),
      milliseconds: Number(block.dataset.milliseconds),
      memory: Number(block.dataset.memory),
    })),
  })),
  summary: { ...document.getElementById("summary").dataset },
  problems: [...document.querySelectorAll("#problems a")].map((a) => [a.textContent, a.getAttribute("href")]),
  live: text(document.getElementById("summary-text")),
};
"""
# The previews shown: each one's output and size.
READ_PREVIEWS = """
return [...document.querySelectorAll(".previews img[src]")].filter((image) => image.naturalWidth)
    .map((image) => [image.dataset.entry, image.naturalWidth, image.naturalHeight]);
"""
# The converters' idle time in the page (web/src/workers.js), and a margin.
IDLE_SECONDS = 15 + 30


def fail(message):
    sys.exit(f"web_browser.py: {message}")


def digest(data):
    return hashlib.sha256(data).hexdigest()


def jpeg_size(data):
    """A JPEG's width and height, from its first frame header."""
    position = 2
    while not (0xC0 <= data[position + 1] <= 0xCF and data[position + 1] not in (0xC4, 0xC8, 0xCC)):
        position += 2 + int.from_bytes(data[position + 2:position + 4], "big")
    height, width = (int.from_bytes(data[at:at + 2], "big") for at in (position + 5, position + 7))
    return width, height


class Site:
    """The packed folder served on 127.0.0.1, every request path recorded;
    with `plant`, the workers' scripts carry the planted faults, and `missing`
    files are not found."""

    def __init__(self, folder, plant=False, missing=()):
        self.folder = folder
        self.requests = []
        # Added to the service worker, as a new version of the page would.
        self.new_version = b""
        site = self

        class Handler(http.server.SimpleHTTPRequestHandler):
            def do_GET(self):
                name = self.path.lstrip("/").split("?")[0]
                if name in missing:
                    self.send_error(404)
                elif name == "sw.js" and site.new_version:
                    self.send_script((folder / name).read_bytes() + site.new_version)
                elif plant and name in ("sources.js", "sources-simd.js"):
                    body = (folder / name).read_text()
                    for fragment, planted, count in PLANTS:
                        if body.count(fragment) != count:
                            fail(f"{name} does not hold {fragment!r} {count} times: the planted faults need updating")
                        # Inside JSON strings there.
                        body = body.replace(fragment, fragment + json.dumps(planted)[1:-1])
                    self.send_script(body.encode())
                else:
                    super().do_GET()

            # A script the test changed on its way to the page.
            def send_script(self, data):
                self.send_response(200)
                self.send_header("Content-Type", "text/javascript")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_request(self, code="-", size="-"):
                site.requests.append((self.command, self.path, int(code)))

            def log_message(self, *args):
                pass

        # Every connection, so that closing the site ends the ones a browser
        # keeps open for later requests too.
        self.connections = []

        class Server(http.server.ThreadingHTTPServer):
            def get_request(self):
                connection = super().get_request()
                site.connections.append(connection[0])
                return connection

        self.server = Server(("127.0.0.1", 0), functools.partial(Handler, directory=str(folder)))
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()
        for connection in self.connections:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def unpack(zip_path, work):
    root = work / "site"
    shutil.rmtree(root, ignore_errors=True)
    with zipfile.ZipFile(zip_path) as archive:
        archive.extractall(root)
    folders = [path for path in root.iterdir() if path.is_dir()]
    if len(folders) != 1:
        fail(f"{zip_path} does not hold one folder")
    return folders[0]


def run_native(binary, folder, name, env=None):
    """Runs `binary name` inside `folder`, as the browser test compares it:
    its status, standard output and standard error."""
    result = subprocess.run([str(binary), name] if name else [str(binary)], cwd=folder, capture_output=True,
                            env=env, check=False)
    return result.returncode, result.stdout.decode(), result.stderr.decode()


def make_inputs(samples, sample, native, work):
    """The camera files (under names the tools take), the shipped sample,
    damaged copies of it in the middle, a text file named .mpo, a .jpg and a
    one-picture file at the end; and the files of Chromium's second batch."""
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
    good = sample.read_bytes()
    # Where the right picture begins: after the left one, as the splitter
    # copies it.
    split = work / "split"
    split.mkdir()
    shutil.copyfile(sample, split / sample.name)
    run_native(native / "brantelix", split, sample.name)
    right = (split / (sample.stem + "_L.jpg")).stat().st_size
    # The right picture's first Huffman table segment claims to run past the
    # end of the file: a fatal libjpeg error while reading its header.
    position = right + 2
    while good[position + 1] != 0xC4:
        position += 2 + int.from_bytes(good[position + 2:position + 4], "big")
    # A Huffman table segment with a bogus table number just before the
    # right picture's end: met after the output was announced and created.
    if not good.endswith(b"\xff\xd9"):
        fail(f"{sample} does not end with its right picture")
    made = {
        sample.name: good,
        "damaged_header.mpo": good[:position + 2] + b"\xff\xf0" + good[position + 4:],
        "damaged_rows.mpo": good[:-2] + b"\xff\xc4\x00\x13\x07" + bytes(16) + good[-2:],
        # Cut inside the right view: converted, with libjpeg's warning.
        "cut_right.mpo": good[:right + (len(good) - right) // 2],
        "notes.mpo": b"Not a picture: a text file under a picture's name.\n",
        sample.stem + ".jpg": good,
        "single.mpo": good[:right],
    }
    for name, data in made.items():
        (inputs / name).write_bytes(data)
    # The sample and the damaged files, also the batch of the page opened as
    # a file.
    few = [inputs / name for name in list(made)[:6]]
    paths[len(paths) // 2:len(paths) // 2] = few
    # The same name from another card: its outputs go into a folder of their own.
    (inputs / "other-card").mkdir()
    shutil.copyfile(sample, inputs / "other-card" / sample.name)
    paths += [inputs / "other-card" / sample.name, inputs / "single.mpo"]
    # Chromium's second batch, and a dozen copies for the storage to run out.
    second = [inputs / name for name in ("planted-abort.mpo", "second-a.mpo", "planted-too-large.mpo",
                                         "second-b.mpo", "second-c.mpo", "vanished.mpo")]
    copies = [inputs / f"copy-{i}.mpo" for i in range(12)]
    for path in second + copies:
        shutil.copyfile(sample, path)
    return paths, few, second, copies


def outcome(status, err, outputs, tool):
    """The page's reading of a run of the command line."""
    if status != 0:
        return "refused"
    if not outputs:
        return "skipped"
    return "warnings" if len(err.splitlines()) > REPORTS[tool] else "converted"


class Expected:
    """What the command line does with each file, each alone in a folder of
    its own: per (file, tool) the outcome, standard output after the banner,
    standard error and the outputs; the banners; every output's bytes. The
    tools after the aligner convert its output, as `korventale
    shot_aligned.mpo` does, and are not made where it made none."""

    def __init__(self, native, work, paths, tools=TOOLS):
        work.mkdir(exist_ok=True)
        self.banners = {tool: run_native(native / tool, work, None)[1] for tool in tools}
        self.runs, self.outputs = {}, {}
        for path in paths:
            source = path
            for tool in tools:
                if source is None:
                    self.runs[(path.name, tool)] = ("not-made", "", "", [])
                    continue
                folder = work / "native" / tool / path.name
                folder.mkdir(parents=True, exist_ok=True)
                shutil.copyfile(source, folder / source.name)
                status, out, err = run_native(native / tool, folder, source.name)
                if not out.startswith(self.banners[tool]):
                    fail(f"{tool} {path.name}: standard output does not begin with the banner")
                outputs = sorted(p.name for p in folder.iterdir() if p.name != source.name)
                for name in outputs:
                    self.outputs[name] = (folder / name).read_bytes()
                self.runs[(path.name, tool)] = (outcome(status, err, outputs, tool),
                                                out[len(self.banners[tool]):], err, outputs)
                if tool in FEEDING:
                    source = folder / outputs[0] if status == 0 and len(outputs) == 1 else None

    def planted(self, name, tool):
        """The page's own outcome for a file that meets a planted fault; None
        for its stderr: the browser's own reason."""
        if name.startswith("planted-too-large"):
            return ("refused", f"File {name} is too large for this browser\n",
                    "RangeError: planted: no memory for the file\n", [])
        # The composing tools name their output before they create it,
        # brantelix once it is created.
        printed = "" if tool == "brantelix" else self.runs[(name, tool)][1].splitlines(keepends=True)[0]
        return ("refused", f"{printed}The conversion of {name} stopped\n",
                "Aborted(planted)\nRuntimeError: Aborted(planted). Build with -s ASSERTIONS=1 for more info.\n", [])

    def of(self, name, tool):
        """Per result: outcome, lines, stderr and outputs; and the file's one
        line where the page refuses it before any tool (a name the tools
        skip, as the command line's outcome must show; a file gone)."""
        if name.startswith("vanished"):
            return ("refused", "", "", []), GONE
        if not MPO_NAME.search(name):
            if self.runs[(name, tool)][0] != "skipped":
                fail(f"{tool} {name}: the command line does not skip it, the page does")
            return ("skipped", "", "", []), SKIPPED
        return (self.planted(name, tool) if name.startswith("planted-") else self.runs[(name, tool)]), ""


def file_outcome(statuses):
    """A file's outcome from its conversions', as the page reads it."""
    for status in ("refused", "warnings"):
        if status in statuses:
            return status
    return "skipped" if all(status == "skipped" for status in statuses) else "converted"


class Check:
    """Runs batches in one browser and gathers every problem found."""

    def __init__(self, browser, expected, downloads):
        self.browser, self.expected, self.downloads = browser, expected, downloads
        self.problems = []
        # Outputs already downloaded in ZIP parts from the page as it is.
        self.delivered = set()

    def problem(self, text):
        self.problems.append(f"{self.browser.engine}: {text}")

    def convert(self, url, paths, tools=TOOLS, reload=True, vanish=None, answer="start-over", added=(), asked=None,
                until="document.body.dataset.state === 'failed' || (document.body.dataset.state === 'done' && "
                      "!document.querySelector('.download-part'))"):
        """Opens the page (unless `reload` is false), ticks `tools`, picks
        `paths` (answering the page's question, if it asks, with `answer`,
        after calling `asked`, which expects it to ask), picks `added` once
        the batch runs, removes `vanish` at once, and waits `until`,
        downloading each ZIP part as it is offered; returns the page, its
        time and the parts' bytes."""
        if reload:
            self.browser.open(url)
            self.delivered = set()
        self.browser.script("""
for (const box of document.querySelectorAll('input[name="tool"]')) box.checked = %s.includes(box.value);
""" % json.dumps(tools))
        started = time.monotonic()
        self.browser.pick(paths)
        question = self.browser.script('return !document.getElementById("question").hidden;')
        if asked and not question:
            self.problem("files picked after a batch: the page does not ask what to do with them")
        elif asked:
            asked()
        if question:
            if answer == "start-over":
                self.delivered = set()
            self.browser.script(f'document.getElementById("{"add-files" if answer == "add" else "start-over-with"}")'
                                '.click();')
        if added:
            self.browser.wait("document.querySelector('.tool-result')")
            self.browser.pick(added)
            if self.browser.script('return !document.getElementById("question").hidden;'):
                self.problem("files picked during a batch: the page asks instead of adding them")
        if vanish:
            vanish.unlink()
        parts, deadline = [], time.monotonic() + BATCH_SECONDS
        while not self.browser.script(f"return !!({until});"):
            if time.monotonic() > deadline:
                now = self.browser.script('return [document.body.dataset.state, '
                                          'document.getElementById("progress-text").textContent, '
                                          'document.getElementById("running").textContent];')
                raise TimeoutError(f"{self.browser.engine}: still not {until}: {now}")
            number = self.browser.script("""
const button = document.querySelector(".download-part");
return button && button.textContent.match(/\\d+/)[0];""")
            if number:
                parts.append(self.download(f"stereo-mpo-outputs-{number}.zip", ".download-part", scripted=True))
            else:
                time.sleep(0.2)
        return self.browser.script(READ_PAGE), time.monotonic() - started, parts

    def batch(self, url, paths, what, reload=True, zipped=True, vanish=None, answer="start-over", added=(),
              before=(), asked=None, tools=TOOLS, expected=None):
        """One batch of `tools` over `paths` (and `added` during it,
        after the files `before` that the page shows already): lines,
        outcomes, the summary's counts of files, outputs by their links and
        in the ZIP download or its parts, against `expected` (the
        command line's runs of those tools)."""
        expected = expected or self.expected
        page, seconds, parts = self.convert(url, paths, tools=tools, reload=reload, vanish=vanish, answer=answer,
                                            added=added, asked=asked)
        paths = [*before, *paths, *added]
        print(f"{self.browser.engine}, {what}: {len(paths)} files through {len(tools)} tools in {seconds:.1f} s"
              f"{f', {len(parts)} ZIP parts' if parts else ''}")
        if page["state"] != "done":
            return self.problem(f"{what}: the page is {page['state']}: {page['failure']}")
        for tool in tools:
            if page["banners"].get(tool) != expected.banners[tool]:
                self.problem(f"{tool}: banner {page['banners'].get(tool)!r}")
        if page["build"] != "SIMD":
            self.problem(f"{what}: the {page['build']} build, where the engine has SIMD")
        if "in memory" in page["destination"] and "The browser's reason: " not in page["destination"]:
            self.problem(f"{what}: no reason for keeping the outputs in memory: {page['destination']!r}")
        if [f["name"] for f in page["files"]] != [p.name for p in paths]:
            self.problem(f"{what}: files shown: {[f['name'] for f in page['files']]}")
        counts = dict.fromkeys(("converted", "warnings", "refused", "skipped", "notStarted"), 0)
        made, seen, problems = {}, {}, []
        for number, shown in enumerate(page["files"], 1):
            if [r["tool"] for r in shown["results"]] != tools:
                self.problem(f"{shown['name']}: outcomes of {[r['tool'] for r in shown['results']]}")
            # A name met again has its outputs in the folder of its turn.
            seen[shown["name"]] = seen.get(shown["name"], 0) + 1
            folder = f"{seen[shown['name']]}/" if seen[shown["name"]] > 1 else ""
            statuses = []
            for result in shown["results"]:
                wanted, reason = expected.of(shown["name"], result["tool"])
                # The browser's own reason (None) is any.
                diagnostics = wanted[2] if wanted[2] is not None else result["diagnostics"] or "a reason"
                wanted = (*wanted[:2], diagnostics, [folder + name for name in wanted[3]])
                got = (result["status"], result["messages"], result["diagnostics"], sorted(result["outputs"]))
                if got != wanted:
                    self.problem(f"{result['tool']} {shown['name']}: page shows {got}, command line {wanted}")
                statuses.append(result["status"])
                made.update({name: expected.outputs.get(name[len(folder):]) for name in result["outputs"]})
            if shown["reason"] != reason:
                self.problem(f"{shown['name']}: the page says {shown['reason']!r} under its name, not {reason!r}")
            counts[file_outcome(statuses)] += 1
            if file_outcome(statuses) != "converted":
                problems.append([shown["name"], f"#file-{number}"])
        summary = {**{status: str(count) for status, count in counts.items()}, "pictures": str(len(made))}
        if page["summary"] != summary or not page["live"] or page["problems"] != problems:
            self.problem(f"{what}: summary {page['summary']} {page['live']!r} {page['problems']}, "
                         f"expected {summary} {problems}")
        if not parts:
            self.links(page, made, what)
        if zipped:
            self.zipped({name: data for name, data in made.items() if name not in self.delivered}, what, parts)
        return page

    def download(self, name, click, scripted=False):
        """The bytes of the download `name` that clicking `click` (a
        selector) starts, or None; `scripted`, by the page's own click(), where
        previews still coming may move the element under the pointer."""
        path = self.downloads / name
        path.unlink(missing_ok=True)
        if scripted:
            self.browser.script(f"document.querySelector({json.dumps(click)}).click();")
        else:
            self.browser.click(click)
        deadline, size = time.monotonic() + 120, 0
        # Complete once it has bytes that hold still (a browser may make it
        # empty first, and write beside it).
        while time.monotonic() < deadline:
            now = path.stat().st_size if path.exists() else 0
            if now > 0 and now == size:
                return path.read_bytes()
            size = now
            time.sleep(0.5)
        return None

    def links(self, page, made, what):
        """The outputs of the last file with any, downloaded by their links."""
        shown = [(i, r) for i, f in enumerate(page["files"], 1) for r in f["results"] if r["outputs"]]
        last = [(i, r) for i, r in shown if i == shown[-1][0]] if shown else []
        for i, result in last:
            for k, entry in enumerate(result["outputs"], 1):
                link = f'#file-{i} .tool-result[data-tool="{result["tool"]}"] a.output:nth-of-type({k})'
                data = self.download(entry.split("/")[-1], link, scripted=True)
                if data is None or digest(data) != digest(made[entry] or b""):
                    got = "nothing" if data is None else "other bytes"
                    self.problem(f"{what}: the link to {entry} downloads {got}")

    def zipped(self, made, what, parts=()):
        """The ZIP download, or the ZIP parts offered during the batch: each
        a whole ZIP, together `made` (name to bytes), nothing else."""
        wanted = {name: digest(data) if data else "not made by the command line" for name, data in made.items()}
        offered = bool(parts)
        if not parts:
            parts = [self.download(ZIP_NAME, "#download-all")]
        held = {}
        for number, data in enumerate(parts, 1):
            if data is None:
                return self.problem(f"{what}: ZIP {number} of {len(parts)} was not downloaded")
            with zipfile.ZipFile(io.BytesIO(data)) as archive:
                if archive.testzip() is not None:
                    self.problem(f"{what}: ZIP {number} of {len(parts)} is damaged")
                for name in archive.namelist():
                    if name in held:
                        self.problem(f"{what}: {name} in two ZIP parts")
                    held[name] = digest(archive.read(name))
        if offered:
            self.delivered |= set(held)
        if held != wanted:
            self.problem(f"{what}: the ZIP holds {sorted(held)}, the page made {sorted(wanted)} "
                         f"({'same names, other bytes' if sorted(held) == sorted(wanted) else 'other names'})")

    def accessible(self, axe):
        """axe-core's WCAG 2.2 A and AA rules on a desktop and on a phone
        320 px wide, where nothing may scroll sideways. (Opened as a file,
        without the rules that read the style sheets, which a page opened as
        a file may not fetch.)"""
        self.browser.script(axe + "\nreturn null;")
        for width, height in ((1100, 1080), (320, 800)):
            self.browser.set_viewport(width, height)
            violations = self.browser.script("""
const tags = ["wcag2a", "wcag2aa", "wcag21a", "wcag21aa", "wcag22aa"];
const preload = location.protocol !== "file:";
const found = await axe.run(document, { runOnly: { type: "tag", values: tags }, preload });
return found.violations.map((v) => `${v.id}: ${v.help} (${v.nodes.map((n) => n.target.join(" ")).join(", ")})`);
""")
            for violation in violations:
                self.problem(f"axe-core at {width} px: {violation}")
        scrolled = self.browser.script("return [document.documentElement.scrollWidth, innerWidth];")
        if scrolled[0] > scrolled[1]:
            self.problem(f"at 320 px the page is {scrolled[0]} px wide")
        self.browser.set_viewport(1100, 1080)


def chromium_only(check, site, sample, second, copies, screenshots):
    """Chromium's own checks, in the same browser after the first batch."""
    browser = check.browser
    inputs = sample.parent
    if browser.installability():
        check.problem(f"not installable: {browser.installability()}")
    # A second batch in the same page, started over: planted faults in the
    # middle, a file gone before the page reads it at the end, and a ZIP of
    # its own outputs only.
    check.batch(site.url, second, "second batch, planted faults", reload=False, vanish=second[-1])
    zips = browser.script("""
let zips = 0;
for await (const name of (await (await navigator.storage.getDirectory()).getDirectoryHandle("outputs")).keys()) zips++;
return zips;
""")
    if zips != 1:
        check.problem(f"after starting over the storage holds {zips} ZIP files")
    # The storage runs out after some of the copies' outputs (Chromium takes
    # room by the megabyte): the ZIP stored so far is the first part, the
    # rest come in parts from memory, and every file is converted.
    browser.open(site.url)
    check.delivered = set()
    usage = browser.script("""
const folder = await (await navigator.storage.getDirectory()).getDirectoryHandle("outputs", { create: true });
let zips = 0;
for await (const handle of folder.values()) zips += (await handle.getFile()).size;
return (await navigator.storage.estimate()).usage - zips;
""")
    origin = site.url.rstrip("/")
    browser.override_quota(origin, usage + 3_000_000)
    page = check.batch(site.url, copies, "storage running out", reload=False)
    if page and "Stopped" in page["live"]:
        check.problem(f"storage running out: {page['live']!r}")
    browser.cdp("Storage.overrideQuotaForOrigin", origin=origin)
    # Into a folder, as when the user chose one (here one of the page's
    # own storage, which no dialog asks for), once the page started over:
    # the outputs under their names.
    browser.script("""
document.getElementById("start-over").click();
const chosen = await (await navigator.storage.getDirectory()).getDirectoryHandle("chosen", { create: true });
window.showDirectoryPicker = async () => chosen;
""")
    browser.click("#choose-folder")
    page = check.batch(site.url, [sample, inputs / "cut_right.mpo", inputs / "other-card" / sample.name],
                       "into a folder", reload=False, zipped=False)
    listed = browser.script("""
const names = [];
const list = async (folder, prefix) => {
  for await (const [name, handle] of folder.entries()) {
    if (handle.kind === "directory") await list(handle, `${prefix}${name}/`);
    else names.push(prefix + name);
  }
};
await list(await (await navigator.storage.getDirectory()).getDirectoryHandle("chosen"), "");
return names.sort();
""")
    if listed != sorted(n for f in page["files"] for r in f["results"] for n in r["outputs"]):
        check.problem(f"into a folder: the folder holds {listed}")
    # Screenshots of a desktop and a phone, after every kind of outcome.
    shown = [sample, inputs / "cut_right.mpo", inputs / "notes.mpo", inputs / f"{sample.stem}.jpg"]
    check.convert(site.url, shown)
    # The first file's three previews, all made.
    browser.wait("[...document.querySelector('section.file').querySelectorAll('.previews img')]"
                 ".filter((image) => image.naturalWidth).length === 3")
    browser.screenshot(screenshots / "web_page.png")
    browser.set_viewport(390, 844)
    browser.script('document.getElementById("results").scrollIntoView();')
    browser.screenshot(screenshots / "web_page_phone.png")
    browser.set_viewport(1100, 1080)
    # A new version of the served page: the page says so, and reloads with
    # it when asked, but not while it converts.
    browser.wait("navigator.serviceWorker.controller")
    site.new_version = b"\n// Another version.\n"
    browser.script("window.before = true; await (await navigator.serviceWorker.getRegistration()).update();")
    browser.wait("!document.getElementById('new-version').hidden", 120)
    check.convert(None, [sample], reload=False, answer="add", until="document.body.dataset.state === 'busy'")
    if not browser.script('return document.getElementById("reload").disabled;'):
        check.problem("a new version can be loaded in the middle of a batch")
    browser.wait("document.body.dataset.state === 'done'", BATCH_SECONDS)
    browser.script('document.getElementById("reload").click();')
    browser.wait("!window.before && document.readyState === 'complete' && document.body.dataset.converters", 60)
    if browser.script("return !!(await navigator.serviceWorker.getRegistration()).waiting "
                      "|| !document.getElementById('new-version').hidden;"):
        check.problem("reloaded with the new version, the page still offers one")
    # The server gone: the page loads from its service worker and converts.
    browser.wait("navigator.serviceWorker.controller")
    site.close()
    served = len(site.requests)
    check.batch(site.url, [sample], "with the server gone")
    if len(site.requests) != served:
        check.problem(f"with the server gone, the server still answered {site.requests[served:]}")
    check.problems += [f"chromium: browser console: {e}" for e in browser.console_errors()]
    # A file of the page missing: the page fails, saying what, and is not
    # busy; without its service worker, it says it cannot work offline.
    broken = Site(site.folder, missing=("sources.js", "sources-simd.js", "sw.js"))
    try:
        page, _, _ = check.convert(broken.url, [sample])
        if page["state"] != "failed" or "could not be loaded" not in page["failure"]:
            check.problem(f"with sources.js missing the page is {page['state']}: {page['failure']!r}")
        if not browser.script('return document.getElementById("offline").textContent.includes("offline");'):
            check.problem("a service worker that cannot be registered is not said")
    finally:
        broken.close()
    browser.console_errors()  # the missing file's own error, expected
    return [broken.url]


def test(args):
    work = Path(args.work).resolve()
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    native = Path(args.native).resolve()
    paths, few, second, copies = make_inputs(Path(args.samples), Path(args.sample), native, work)
    expected = Expected(native, work, paths + second + copies)
    folder = unpack(Path(args.zip), work)
    os.environ["PUPPETEER_DIR"] = str(Path(args.npm).resolve().parent)
    axe = (Path(args.npm) / "axe-core" / "axe.min.js").read_text()
    site = Site(folder, plant=True)
    downloads = work / "downloads"
    browser = start_browser(args.engine, work / "browser", downloads)
    check = Check(browser, expected, downloads)
    try:
        check.batch(site.url, paths, "served")
        # The previews in view are made: small pictures, in proportion.
        browser.wait("document.querySelector('.previews img[src]')?.naturalWidth === 480", 60)
        for entry, width, height in browser.script(READ_PREVIEWS):
            picture = jpeg_size(expected.outputs[entry.split("/")[-1]])
            if width != 480 or abs(height - 480 * picture[1] / picture[0]) > 1:
                check.problem(f"the preview of {entry} is {width}x{height}, of a {picture[0]}x{picture[1]} picture")
        check.accessible(axe)
        check.problems += [f"{args.engine}: browser console: {e}" for e in browser.console_errors()]
        served = {p.name for p in folder.iterdir()}
        for method, path, code in site.requests:
            if method != "GET" or path.lstrip("/").split("?")[0] not in served | {""} or code not in (200, 304):
                check.problem(f"request to the page's server: {method} {path} {code}")
        # The alignment's module, loaded only once it is ticked: the others
        # made from the aligned pair (a camera's 10 MP pair among them, where
        # the samples are), none where it could not be aligned (a pair too
        # small to match, a single picture).
        if browser.script("return performance.getEntriesByType('resource').some((e) => /mpoalign/.test(e.name));"):
            check.problem("the alignment's module loaded, not ticked")
        pairs = [path for path in paths if path.name in ("fujifilm_w3.mpo", "samsung_nx1000_64px.mpo")]
        pairs += [few[0], few[0].with_name("single.mpo")]
        aligned = Expected(native, work / "aligned", pairs, tools=ALIGNED)
        for pair in pairs:
            wanted = "refused" if pair.name in ("samsung_nx1000_64px.mpo", "single.mpo") else "converted"
            if aligned.runs[(pair.name, "mpoalign")][0] != wanted:
                check.problem(f"mpoalign {pair.name}: {aligned.runs[(pair.name, 'mpoalign')][:3]}, not {wanted}")
        check.batch(site.url, pairs, "aligned first", tools=ALIGNED, expected=aligned)
        others = []
        if args.engine == "chromium":
            others = chromium_only(check, site, few[0], second, copies, Path(args.screenshots))
        # Opened as a file, as a user does from the unpacked ZIP, with little
        # memory for outputs where the page keeps them there: the outputs
        # come in ZIP parts. Files picked during the batch are added to it
        # (one of them gone before the page reads it); picked after it, the
        # page asks, and they are added; starting over clears the page.
        url = (folder / "index.html").as_uri() + f"?memory-limit={PART_LIMIT}"
        gone = second[-1].with_name("vanished-too.mpo")
        shutil.copyfile(few[0], gone)
        check.batch(url, copies[:6], "opened as a file, files added while converting", added=[*few, gone],
                    vanish=gone)
        before = [*copies[:6], *few, gone]
        check.batch(None, [few[0]], "opened as a file, files added after the batch", reload=False, answer="add",
                    before=before, asked=lambda: check.accessible(axe))
        browser.script('document.getElementById("start-over").click();')
        check.delivered = set()
        cleared = browser.script("""return [document.querySelectorAll("section.file, #parts-list li").length,
            document.getElementById("summary-text").textContent, document.body.dataset.state];""")
        if cleared != [0, "", ""]:
            check.problem(f"started over, the page still shows {cleared}")
        check.batch(None, [few[3]], "opened as a file, started over", reload=False)
        browser.wait("document.body.dataset.converters === '0'", IDLE_SECONDS)
        check.problems += [f"{args.engine}: browser console: {e}" for e in browser.console_errors()]
    finally:
        browser.quit()
        site.close()
    if args.engine == "chromium":
        # Every request of the served pages and their workers, in Chromium's
        # network log: none beyond the page's own server.
        urls = browser.requests("http://127.0.0.1")
        if not any(url.startswith(site.url + "sources") for url in urls):
            check.problem("the network log does not show the page's requests")
        check.problems += [f"chromium: request beyond the page's server: {url}" for url in sorted(urls)
                           if not url.startswith((site.url, *others))]
    for problem in check.problems:
        print(problem, file=sys.stderr)
    if check.problems:
        fail(f"{len(check.problems)} problems with the page in {args.engine}")
    print(f"{args.engine}: every output byte-identical, lines and outcomes equal, ZIP complete")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    command = commands.add_parser("test")
    command.add_argument("--engine", choices=("chromium", "firefox", "webkit"), default="chromium")
    command.add_argument("--zip", required=True, help="the packed page")
    command.add_argument("--native", required=True, help="folder of the native tools")
    command.add_argument("--work", required=True, help="scratch folder")
    command.add_argument("--samples", required=True, help="folder of camera files")
    command.add_argument("--sample", required=True, help="the shipped sample")
    command.add_argument("--npm", required=True, help="node_modules with axe-core and puppeteer-core")
    command.add_argument("--screenshots", required=True, help="folder for the page's screenshots")
    test(parser.parse_args())


if __name__ == "__main__":
    main()
