// The page: hands the picked or dropped files to the worker with the ticked
// conversions, shows each tool's messages, outputs and previews as they come,
// and packs every output into one ZIP on demand. document.body.dataset.state
// is "busy" while converting and "done" once every file has its outcome.
import { zipSync } from "./fflate.js";

// The composed pictures are previewed; the split ones are the camera's own.
const PREVIEWED = new Set(["korventale", "trismoldaven", "vostrin"]);
const ZIP_NAME = "stereo-mpo-outputs.zip";

const input = document.getElementById("files");
const drop = document.getElementById("drop");
const downloadAll = document.getElementById("download-all");
const progress = document.getElementById("progress");
const progressLine = document.getElementById("progress-line");
const progressText = document.getElementById("progress-text");
const banners = document.getElementById("banners");
const results = document.getElementById("results");

let worker = null;
// Every output of the batch, name to Blob, for the ZIP.
let outputs = new Map();
let fileSections = [];

function element(tag, attributes = {}, text = "") {
    const node = document.createElement(tag);
    for (const [name, value] of Object.entries(attributes)) node.setAttribute(name, value);
    if (text) node.textContent = text;
    return node;
}

function lines(list, className) {
    return element("pre", { class: className }, list.map((line) => `${line}\n`).join(""));
}

function showBanner(tool, bannerLines) {
    if (banners.querySelector(`[data-tool="${tool}"]`)) return;
    const banner = lines(bannerLines, "banner");
    banner.dataset.tool = tool;
    banners.append(banner);
}

function outcome(result) {
    if (result.status !== 0) return "refused";
    return result.outputs.length > 0 ? "converted" : "skipped";
}

function showResult(result) {
    const block = element("div", { class: "tool-result", "data-tool": result.tool });
    block.dataset.status = outcome(result);
    // For scripts that time the page.
    if (result.milliseconds !== undefined) {
        block.dataset.milliseconds = result.milliseconds.toFixed(1);
        block.dataset.memory = result.memory;
    }
    block.append(element("h3", {}, result.tool));
    const name = fileSections[result.index].dataset.name;
    // Said by the page, not the tool: the tool never saw the file, or
    // stopped without saying why.
    if (result.unreadable) result.out = [`File ${name} cannot be read: too large for this browser, or not a file`];
    if (result.tooLarge) result.out = [`File ${name} is too large for this browser`];
    if (result.crashed) result.out.push(`The conversion of ${name} stopped`);
    block.append(lines(result.out, "messages"));
    if (result.err.length > 0) block.append(lines(result.err, "diagnostics"));
    const links = element("p", { class: "outputs" });
    const previews = element("p", { class: "previews" });
    for (const output of result.outputs) {
        const blob = new Blob([output.bytes], { type: "image/jpeg" });
        outputs.set(output.name, blob);
        const url = URL.createObjectURL(blob);
        links.append(element("a", { href: url, download: output.name, class: "output" }, output.name));
        if (PREVIEWED.has(result.tool)) previews.append(element("img", { src: url, alt: output.name }));
    }
    block.append(links, previews);
    fileSections[result.index].append(block);
}

function start(files) {
    const tools = [...document.querySelectorAll('input[name="tool"]:checked')].map((box) => box.value);
    if (files.length === 0 || tools.length === 0) return;
    if (worker) worker.terminate();
    for (const url of document.querySelectorAll("a.output")) URL.revokeObjectURL(url.href);
    outputs = new Map();
    results.replaceChildren();
    fileSections = files.map((file) => {
        const section = element("section", { class: "file" });
        section.dataset.name = file.name;
        section.append(element("h2", {}, file.name));
        results.append(section);
        return section;
    });
    downloadAll.disabled = true;
    progress.max = files.length;
    progress.value = 0;
    progressLine.hidden = false;
    document.body.dataset.state = "busy";

    worker = new Worker("worker.js");
    worker.onmessage = ({ data }) => {
        if (data.type === "banner") showBanner(data.tool, data.lines);
        else if (data.type === "progress") {
            progress.value = data.index;
            progressText.textContent = `File ${data.index + 1} of ${data.count}: ${data.tool} on ${data.name}`;
        } else if (data.type === "result") showResult(data);
        else if (data.type === "done" || data.type === "failed") {
            progress.value = files.length;
            progressText.textContent =
                data.type === "done" ? `${files.length} of ${files.length} files done` : data.message;
            downloadAll.disabled = outputs.size === 0;
            document.body.dataset.state = "done";
        }
    };
    worker.postMessage({ files, tools });
}

downloadAll.addEventListener("click", async () => {
    const entries = {};
    for (const [name, blob] of outputs) entries[name] = new Uint8Array(await blob.arrayBuffer());
    // JPEG pictures do not shrink: stored, not deflated.
    const zip = new Blob([zipSync(entries, { level: 0 })], { type: "application/zip" });
    const link = element("a", { href: URL.createObjectURL(zip), download: ZIP_NAME });
    link.click();
    setTimeout(() => URL.revokeObjectURL(link.href), 60000);
});

input.addEventListener("change", () => start([...input.files]));
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
