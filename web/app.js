// The page: hands the picked or dropped files to the pool of converters
// with the ticked conversions, has each output stored as it comes (see
// outputs.js), and shows what each conversion said, its outcome, a small
// preview and a link to each output. document.body.dataset.state is "busy"
// while converting, "done" once every file has its outcome, and "failed"
// when a part of the page could not start.
/* global loadSources, startStorage, startPool, convertIn */
"use strict";

// Each program by what it makes, in the order the command line lists them.
const CONVERSIONS = {
    brantelix: "Split into the pictures",
    korventale: "Dubois anaglyph",
    trismoldaven: "Colour anaglyph",
    vostrin: "Side by side, cross-eyed",
};
// The composed pictures are previewed; the split ones are the camera's own.
const PREVIEWED = ["korventale", "trismoldaven", "vostrin"];
const ZIP_NAME = "stereo-mpo-outputs.zip";
// A result's outcome in words: colour only repeats it.
const OUTCOMES = {
    converted: "Converted",
    warnings: "Converted with warnings: part of the picture may be grey",
    refused: "Refused",
    skipped: "Skipped: the name must end in .mpo or .MPO",
};
// A link's bytes, read from the storage on demand, are let go after this.
const LINK_SECONDS = 120;

const byId = (id) => document.getElementById(id);
const input = byId("files");
const drop = byId("drop");
const downloadButtons = document.querySelectorAll(".download-all");
const progress = byId("progress");
const progressText = byId("progress-text");
const running = byId("running");
const summary = byId("summary");
const results = byId("results");

let storage = null;
let converters = [];
// The current batch, and where its outputs go: a folder the user chose, or
// null for the ZIP.
let batch = null;
let folder = null;
let zip = null;
let zipURL = null;

function element(tag, attributes = {}, text = "") {
    const node = document.createElement(tag);
    for (const [name, value] of Object.entries(attributes)) node.setAttribute(name, value);
    if (text) node.textContent = text;
    return node;
}

function lines(list, className) {
    return element("pre", { class: className }, list.map((line) => `${line}\n`).join(""));
}

function megabytes(bytes) {
    return `${Math.max(0, Math.floor(bytes / 1e6))} MB`;
}

// The page gives up: it says what failed and what to do, and never stays
// busy.
function fail(what) {
    batch = null;
    document.body.dataset.state = "failed";
    const failure = byId("failure");
    failure.textContent =
        `${what}. Reload the page to try again. If this goes on, the page's folder may be incomplete ` +
        "(unpack its ZIP again) or the browser too old or short of memory: try another browser.";
    failure.hidden = false;
}

const ready = (async () => {
    const build = await loadSources();
    [storage, converters] = await Promise.all([startStorage(), startPool()]);
    document.body.dataset.build = build;
    document.body.dataset.converters = converters.length;
    const banners = byId("banners");
    for (const [tool, bannerLines] of Object.entries(converters[0].ready.banners)) {
        banners.append(element("h3", {}, CONVERSIONS[tool]), lines(bannerLines, "banner"));
        banners.lastChild.dataset.tool = tool;
    }
})().catch((error) => fail(`The page could not start: ${error.message}`));

function outcome(result) {
    if (result.status !== 0) return "refused";
    if (result.outputs.length === 0) return "skipped";
    return result.err.length > 0 ? "warnings" : "converted";
}

// Reads an output back from the storage when its link is followed.
async function follow(event) {
    const link = event.currentTarget;
    if (link.dataset.loaded) return;
    event.preventDefault();
    const answer = await storage.request({ type: "read", name: link.dataset.entry });
    if (answer.error) {
        link.after(element("span", { class: "link-error" }, ` (cannot be read: ${answer.error})`));
        return;
    }
    link.href = URL.createObjectURL(answer.blob);
    link.dataset.loaded = "yes";
    link.click();
    setTimeout(() => {
        URL.revokeObjectURL(link.href);
        delete link.dataset.loaded;
        link.href = "#";
    }, LINK_SECONDS * 1000);
}

function outputLink(entry, attributes, content) {
    const link = element("a", { href: "#", ...attributes });
    link.dataset.entry = entry;
    link.append(content);
    link.addEventListener("click", follow);
    return link;
}

// Previews are made when they come into view, or near it: in a batch of a
// whole card, only those that are looked at.
const previewing = new IntersectionObserver(
    (seen) => {
        for (const { isIntersecting, target } of seen) {
            if (!isIntersecting) continue;
            previewing.unobserve(target);
            storage.request({ type: "preview", name: target.dataset.entry }).then((answer) => {
                if (answer.blob) target.src = URL.createObjectURL(answer.blob);
                else target.closest("a").remove();
            });
        }
    },
    { rootMargin: "400px" },
);

function showResult(current, file, result) {
    const block = element("div", { class: "tool-result", "data-tool": result.tool });
    block.dataset.status = outcome(result);
    // For scripts that time the page: the conversion's own time in the worker.
    if (result.milliseconds !== undefined) {
        block.dataset.milliseconds = result.milliseconds.toFixed(1);
        block.dataset.memory = result.memory;
    }
    const heading = element("h3", {}, `${CONVERSIONS[result.tool]} `);
    heading.append(element("small", {}, result.tool));
    block.append(heading, element("p", { class: "outcome" }, OUTCOMES[block.dataset.status]));
    if (result.out.length > 0) block.append(lines(result.out, "messages"));
    if (result.err.length > 0) block.append(lines(result.err, "diagnostics"));
    const links = element("p", { class: "outputs" });
    const previews = element("p", { class: "previews" });
    for (const output of result.outputs) {
        const entry = file.folder + output.name;
        links.append(outputLink(entry, { class: "output", download: output.name }, output.name), " ");
        if (PREVIEWED.includes(result.tool)) {
            const image = element("img", { alt: `${CONVERSIONS[result.tool]} of ${file.name}` });
            image.dataset.entry = entry;
            previews.append(outputLink(entry, { class: "full", target: "_blank" }, image));
            previewing.observe(image);
        }
    }
    if (links.childNodes.length > 0) block.append(links);
    if (previews.childNodes.length > 0) block.append(previews);
    file.section.append(block);
    current.counts[block.dataset.status]++;
    current.pictures += result.outputs.length;
    if (block.dataset.status !== "converted") file.problem = true;
}

// Stores the outputs of one result, then shows it. A refusal of the
// storage ends the batch: what was stored before it stays.
async function takeResult(current, file, result) {
    const stored = [];
    for (const output of result.outputs) {
        const answer = await storage.request(
            { type: "store", name: file.folder + output.name, bytes: output.bytes },
            [output.bytes.buffer],
        );
        if (answer.full || answer.error) {
            current.full = refusal(file, answer);
            result = { ...result, status: null, out: [...result.out, current.full] };
            break;
        }
        stored.push(output);
    }
    showResult(current, file, { ...result, outputs: stored });
}

function refusal(file, answer) {
    const name = file.name;
    if (folder) return `The outputs of ${name} could not be written into the folder: ${answer.error}`;
    const kept = "The outputs before it are kept: download them before converting the rest, as a new batch clears them.";
    if (answer.error) return `The outputs of ${name} could not be stored: ${answer.error}. ${kept}`;
    const why = answer.limit
        ? `the page keeps at most ${megabytes(answer.limit)} of outputs in memory here`
        : "the browser gives this page no more storage";
    return `There is no room left to store the outputs of ${name}: ${why}. ${kept}`;
}

// What the page says itself for a result that no tool said: the tool never
// saw the file, or stopped without saying why.
function pageLines(file, result) {
    if (result.unreadable) return [`File ${file.name} cannot be read: too large for this browser, or not a file`];
    if (result.tooLarge) return [`File ${file.name} is too large for this browser`];
    if (result.crashed) return [...result.out, `The conversion of ${file.name} stopped`];
    return result.out;
}

function showProgress(current) {
    const total = current.files.length;
    progress.max = total;
    progress.value = current.done;
    progressText.textContent = `${current.done} of ${total} files done`;
    running.textContent =
        current.running.size > 0 ? `Now: ${[...current.running.values()].join("; ")}` : "";
}

function plural(count, word) {
    return `${count} ${word}${count === 1 ? "" : "s"}`;
}

function showSummary(current) {
    const { counts } = current;
    for (const [status, count] of Object.entries(counts)) summary.dataset[status] = count;
    const text = byId("summary-text");
    text.textContent =
        `${plural(current.files.length, "file")}: ${plural(current.pictures, "picture")} made, ` +
        `${counts.warnings} with warnings, ${counts.refused} refused, ${counts.skipped} skipped`;
    if (current.full) text.textContent += `. Stopped: ${current.full}`;
    const problems = byId("problems");
    problems.replaceChildren();
    for (const file of current.files.filter((f) => f.problem)) {
        const item = element("li");
        item.append(element("a", { href: `#${file.section.id}` }, file.name));
        problems.append(item);
    }
    byId("summary-download").hidden = false;
}

// Each file's outputs go under its own name, as beside the input; a file
// whose name came before in the batch (from another folder or card) has
// its outputs in a folder named by its turn, so that none replaces another.
function describeFiles(files) {
    const seen = new Map();
    return files.map((file, index) => {
        const turn = (seen.get(file.name) || 0) + 1;
        seen.set(file.name, turn);
        const section = element("section", { class: "file", id: `file-${index + 1}` });
        section.dataset.name = file.name;
        section.append(element("h2", {}, file.name));
        if (turn > 1) section.append(element("p", { class: "note" }, `Its outputs are in the folder ${turn}/.`));
        return { file, name: file.name, index, folder: turn > 1 ? `${turn}/` : "", section, problem: false };
    });
}

async function convertAll(current, tools) {
    const queue = [...current.files];
    await Promise.all(
        converters.map(async (converter) => {
            while (queue.length > 0 && batch === current && !current.full) {
                const file = queue.shift();
                const job = { id: file.index, name: file.name, tools };
                try {
                    job.buffer = await file.file.arrayBuffer();
                } catch (error) {
                    // Larger than the browser will hold in memory, or no
                    // file at all (a dropped folder): the browser's reason
                    // goes with it.
                    job.unreadable = String(error);
                }
                await convertIn(
                    converter,
                    job,
                    async (message) => {
                        if (batch !== current) return;
                        if (message.type === "running") {
                            current.running.set(converter, `${CONVERSIONS[message.tool]} of ${file.name}`);
                        } else {
                            await takeResult(current, file, { ...message, out: pageLines(file, message) });
                        }
                        showProgress(current);
                    },
                );
                current.running.delete(converter);
                current.done++;
                showProgress(current);
            }
        }),
    );
    // Files not begun after the storage refused: none of them converted.
    for (const file of queue) {
        for (const tool of tools) {
            const line = `Not converted: ${current.full}`;
            showResult(current, file, { tool, status: null, out: [line], err: [], outputs: [] });
        }
    }
}

async function start(files) {
    const tools = [...document.querySelectorAll('input[name="tool"]:checked')].map((box) => box.value);
    if (files.length === 0 || tools.length === 0 || document.body.dataset.state === "failed") return;
    const interrupted = batch !== null;
    const current = {
        files: describeFiles(files),
        counts: { converted: 0, warnings: 0, refused: 0, skipped: 0 },
        pictures: 0,
        done: 0,
        running: new Map(),
        full: null,
    };
    batch = current;
    document.body.dataset.state = "busy";
    for (const button of downloadButtons) button.disabled = true;
    byId("summary-text").textContent = "";
    byId("problems").replaceChildren();
    byId("summary-download").hidden = true;
    for (const image of document.querySelectorAll("img[src]")) URL.revokeObjectURL(image.src);
    results.replaceChildren(...current.files.map((file) => file.section));
    byId("progress-line").hidden = false;
    showProgress(current);
    try {
        await ready;
        if (document.body.dataset.state === "failed") return;
        if (interrupted) {
            // The batch it replaces is ended where it stands.
            for (const converter of converters) converter.worker.terminate();
            converters = await startPool();
        }
        if (zipURL) URL.revokeObjectURL(zipURL);
        zip = zipURL = null;
        const place = await storage.request({ type: "begin", folder });
        if (place.error) throw new Error(`the storage could not start: ${place.error}`);
        if (batch !== current) return;
        showDestination(place);
        await convertAll(current, tools);
        if (batch !== current) return;
        const finished = await storage.request({ type: "finish" });
        if (finished.error) throw new Error(`the ZIP could not be finished: ${finished.error}`);
        zip = finished.zip || null;
        for (const button of downloadButtons) button.disabled = !zip || current.pictures === 0;
        showSummary(current);
        batch = null;
        document.body.dataset.state = "done";
    } catch (error) {
        if (batch === current) fail(`The conversion stopped: ${error.message}`);
    }
}

function showDestination(place) {
    const note = byId("destination-note");
    if (place.kind === "folder") note.textContent = `The outputs are written into the folder ${place.folder}.`;
    else if (place.kind === "memory") {
        note.textContent =
            "This browser gives the page no storage here, so the outputs are kept in memory, " +
            `${megabytes(place.limit)} at most` +
            (window.showDirectoryPicker
                ? ": choose a folder for more."
                : location.protocol === "file:"
                  ? ": put the page on a web host for more."
                  : ".");
    } else note.textContent = "The outputs go into one ZIP file, kept on this device until the next batch.";
}

async function chooseFolder() {
    try {
        folder = await window.showDirectoryPicker({ id: "outputs", mode: "readwrite" });
    } catch {
        return;
    }
    byId("destination-note").textContent = `The outputs will be written into the folder ${folder.name}.`;
    byId("use-zip").hidden = false;
}

function downloadZip() {
    if (!zip) return;
    zipURL = zipURL || URL.createObjectURL(zip);
    element("a", { href: zipURL, download: ZIP_NAME }).click();
}

input.addEventListener("change", () => start([...input.files]));
for (const button of downloadButtons) button.addEventListener("click", downloadZip);
drop.addEventListener("dragover", (event) => {
    event.preventDefault();
    drop.classList.add("over");
});
drop.addEventListener("dragleave", () => drop.classList.remove("over"));
drop.addEventListener("drop", (event) => {
    event.preventDefault();
    drop.classList.remove("over");
    start([...event.dataTransfer.files]);
});
if (window.showDirectoryPicker) {
    byId("choose-folder").hidden = false;
    byId("choose-folder").addEventListener("click", chooseFolder);
    byId("use-zip").addEventListener("click", () => {
        folder = null;
        byId("use-zip").hidden = true;
        byId("destination-note").textContent = "The outputs will go into one ZIP file.";
    });
}

// Hosted, the page is an app that works offline: its service worker keeps
// every file of it, and an installed app opens .mpo files.
if (location.protocol === "https:" || location.protocol === "http:") {
    document.head.append(element("link", { rel: "manifest", href: "manifest.webmanifest" }));
    if (navigator.serviceWorker) navigator.serviceWorker.register("sw.js").catch(() => {});
}
if (window.launchQueue) {
    window.launchQueue.setConsumer(async (launch) => {
        start(await Promise.all(launch.files.map((handle) => handle.getFile())));
    });
}
