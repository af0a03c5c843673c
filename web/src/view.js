// The page's elements: the conversions' checkboxes, and the page's outputs
// drawn from their model (see model.js) as the runner's events come: a
// section per file with its one line where the page refused it, and a
// block per result (its outcome, lines, links to its outputs and previews),
// progress, the ZIP parts and the summary. document.body.dataset.state is
// "busy" while converting, "done" once every file has its outcome, and
// "failed" when a part of the page could not start.
import { CONVERSIONS } from "./conversions.js";
import { add, apply, batchModel, partsExpected, problems } from "./model.js";
import * as words from "./words.js";

// A link's bytes, read from the storage on demand, are let go after this.
const LINK_SECONDS = 120;
// A ZIP part handed to the browser's downloads is let go after this: the
// download holds its bytes by then.
const PART_SECONDS = 60;
// Previews are made when they come into view, or this near it: in a batch
// of a whole card, only those that are looked at.
const PREVIEW_MARGIN = "400px";

const byId = (id) => document.getElementById(id);

export function element(tag, attributes = {}, text = "") {
    const node = document.createElement(tag);
    for (const [name, value] of Object.entries(attributes)) node.setAttribute(name, value);
    if (text) node.textContent = text;
    return node;
}

function lines(list, className) {
    return element("pre", { class: className }, list.map((line) => `${line}\n`).join(""));
}

// A checkbox for each conversion, ticked at first unless it says not.
export function showConversions() {
    const boxes = CONVERSIONS.map(({ program, label, suffixes, ticked }) => {
        const box = element("label");
        const checked = ticked === false ? {} : { checked: "" };
        box.append(element("input", { type: "checkbox", name: "tool", value: program, ...checked }), ` ${label} (`);
        suffixes.forEach((suffix, i) => box.append(i > 0 ? ", " : "", element("code", {}, suffix)));
        box.append(")");
        return box;
    });
    document.querySelector("#choose fieldset").append(...boxes);
}

export function ticked() {
    const programs = [...document.querySelectorAll('input[name="tool"]:checked')].map((box) => box.value);
    return CONVERSIONS.filter(({ program }) => programs.includes(program));
}

// The conversions kept apart (see conversions.js), where the engine cannot
// run them: not offered, with the reason.
export function withoutApart(reason) {
    for (const { program } of CONVERSIONS.filter(({ apart }) => apart)) {
        const box = document.querySelector(`input[name="tool"][value="${program}"]`);
        box.checked = false;
        box.disabled = true;
        box.parentElement.append(`: ${reason}`);
    }
}

// The banners not shown yet: those of a conversion kept apart come once its
// module is loaded.
export function showBanners(banners) {
    const box = byId("banners");
    const shown = new Set([...box.querySelectorAll("pre.banner")].map((pre) => pre.dataset.tool));
    for (const { program, label } of CONVERSIONS) {
        if (!banners[program] || shown.has(program)) continue;
        box.append(element("h3", {}, label), lines(banners[program], "banner"));
        box.lastChild.dataset.tool = program;
    }
}

const failed = () => document.body.dataset.state === "failed";

// The page's state; a new version is loaded only between batches.
function setState(state) {
    if (!failed()) document.body.dataset.state = state;
    byId("reload").disabled = state === "busy";
    byId("reload-later").hidden = state !== "busy";
}

export function fail(text) {
    document.body.dataset.state = "failed";
    byId("failure").textContent = text;
    byId("failure").hidden = false;
}

export function say(id, text) {
    byId(id).textContent = text;
    byId(id).hidden = false;
}

// Offers a new version of the page: `reload` loads it.
export function offerReload(reload) {
    byId("new-version").hidden = false;
    byId("reload").onclick = reload;
}

// Asks what to do with `count` files picked after a batch: `answer` hears
// "add" or "start-over".
export function ask(count, answer) {
    const box = byId("question");
    byId("question-text").textContent = words.question(count);
    box.hidden = false;
    const answered = (choice) => () => {
        box.hidden = true;
        answer(choice);
    };
    byId("add-files").onclick = answered("add");
    byId("start-over-with").onclick = answered("start-over");
    byId("add-files").focus();
}

// The destination may be chosen only while the page holds no outputs.
function choosing(free) {
    byId("destination").classList.toggle("held", !free);
    byId("start-over").hidden = free;
}

// The page's outputs, drawn as they come; `storage` reads an output back,
// makes its preview, and takes a part: read(name), preview(name),
// taken(number).
export function outputs(storage) {
    let model = batchModel();
    const downloads = document.querySelectorAll(".download-all");
    const sections = new Map();
    let archiveURL = null;
    const previewing = new IntersectionObserver(
        (seen) => {
            for (const { isIntersecting, target } of seen) {
                if (!isIntersecting) continue;
                previewing.unobserve(target);
                // None where the browser cannot draw off the page, or
                // cannot read the picture there: the output's link is enough.
                const none = () => target.closest("a").remove();
                storage.preview(target.dataset.entry).then((blob) => {
                    if (blob) target.src = URL.createObjectURL(blob);
                    else none();
                }, none);
            }
        },
        { rootMargin: PREVIEW_MARGIN },
    );

    // Reads an output back from the storage when its link is followed.
    async function follow(event) {
        const link = event.currentTarget;
        if (link.dataset.loaded) return;
        event.preventDefault();
        let blob;
        try {
            blob = await storage.read(link.dataset.entry);
        } catch (error) {
            link.after(element("span", { class: "link-error" }, words.unreadableLink(error)));
            return;
        }
        link.href = URL.createObjectURL(blob);
        link.dataset.loaded = "yes";
        link.click();
        setTimeout(() => {
            URL.revokeObjectURL(link.href);
            delete link.dataset.loaded;
            link.href = "#";
        }, LINK_SECONDS * 1000);
    }

    function outputLink(stored, attributes, content) {
        const link = element("a", { href: "#", ...attributes });
        link.dataset.entry = stored;
        link.append(content);
        link.addEventListener("click", follow);
        return link;
    }

    // A file's one line, under its name.
    function reason(entry, text, status) {
        const line = element("p", { class: "reason" }, text);
        line.dataset.status = status;
        sections.get(entry).append(line);
    }

    function showResult(entry, conversion, result, { status, out }) {
        const block = element("div", { class: "tool-result", "data-tool": conversion.program });
        block.dataset.status = status;
        // Said once, under the file's name.
        block.hidden = Boolean(result.early || result.notConverted);
        // For scripts that time the page: the conversion's own time in the worker.
        if (result.milliseconds !== undefined) {
            block.dataset.milliseconds = result.milliseconds.toFixed(1);
            block.dataset.memory = result.memory;
        }
        const heading = element("h3", {}, `${conversion.label} `);
        heading.append(element("small", {}, conversion.program));
        block.append(heading, element("p", { class: "outcome" }, words.OUTCOMES[status]));
        if (out.length > 0) block.append(lines(out, "messages"));
        if (result.err.length > 0) block.append(lines(result.err, "diagnostics"));
        const links = element("p", { class: "outputs" });
        const previews = element("p", { class: "previews" });
        for (const { name, stored } of result.outputs) {
            links.append(outputLink(stored, { class: "output", download: name }, name), " ");
            if (conversion.previewed) {
                const image = element("img", { alt: words.previewAlt(conversion, entry) });
                image.dataset.entry = stored;
                previews.append(outputLink(stored, { class: "full", target: "_blank" }, image));
                previewing.observe(image);
            }
        }
        if (links.childNodes.length > 0) block.append(links);
        if (previews.childNodes.length > 0) block.append(previews);
        sections.get(entry).append(block);
    }

    function showProgress() {
        byId("progress").max = model.entries.length;
        byId("progress").value = model.done + model.counts.notStarted;
        byId("progress-text").textContent = words.progress(model);
        byId("running").textContent = words.running(model);
    }

    // How many parts to expect, once the outputs will not fit in one ZIP
    // (from the first file done, where they are kept in memory).
    function showParts(finished) {
        const expected = partsExpected(model);
        const shown = model.parts.length > 0 || (model.place.kind === "memory" && expected > 1);
        byId("parts").hidden = !shown;
        const note = shown ? words.partsNote(expected, model.place.limit, finished) : "";
        // Said again only when it changes: it is announced.
        if (byId("parts-note").textContent !== note) byId("parts-note").textContent = note;
    }

    function showSummary() {
        const summary = byId("summary");
        for (const [status, count] of Object.entries(model.counts)) summary.dataset[status] = count;
        summary.dataset.pictures = model.pictures;
        byId("summary-text").textContent = words.summary(model);
        byId("problems").replaceChildren(
            ...problems(model).map((entry) => {
                const item = element("li");
                item.append(element("a", { href: `#${sections.get(entry).id}` }, entry.name));
                return item;
            }),
        );
        byId("summary-download").hidden = model.parts.length > 0;
        for (const button of downloads) button.disabled = !model.archive || model.pictures === 0;
    }

    // Hands part `part` to the browser's downloads, and lets go of it.
    function take(part, button) {
        const url = URL.createObjectURL(part.archive);
        element("a", { href: url, download: words.partName(part.number) }).click();
        part.archive = null;
        part.taken = true;
        setTimeout(() => URL.revokeObjectURL(url), PART_SECONDS * 1000);
        button.replaceWith(element("span", { class: "part-taken" }, words.PART_TAKEN));
        storage.taken(part.number);
    }

    function download() {
        archiveURL = archiveURL || URL.createObjectURL(model.archive);
        element("a", { href: archiveURL, download: "stereo-mpo-outputs.zip" }).click();
    }

    function clear() {
        previewing.disconnect();
        for (const image of document.querySelectorAll("img[src]")) URL.revokeObjectURL(image.src);
        if (archiveURL) URL.revokeObjectURL(archiveURL);
        archiveURL = null;
        for (const button of downloads) button.disabled = true;
        for (const id of ["summary-text", "problems", "results", "parts-list"]) byId(id).replaceChildren();
        for (const id of ["summary-download", "progress-line", "parts", "question"]) byId(id).hidden = true;
        sections.clear();
        choosing(true);
        setState("");
    }

    return {
        destination(place) {
            model.place = place;
            byId("destination-note").textContent = words.destination(place, {
                canChooseFolder: Boolean(window.showDirectoryPicker),
            });
        },
        // Whether the page shows outputs of an earlier batch.
        held: () => model.entries.length > 0,
        // Files added to the page's outputs, to be converted.
        add(entries) {
            add(model, entries);
            for (const entry of entries) {
                const section = element("section", { class: "file", id: `file-${entry.index + 1}` });
                section.dataset.name = entry.name;
                section.append(element("h2", {}, entry.name));
                if (entry.folder) section.append(element("p", { class: "note" }, words.folderNote(entry)));
                sections.set(entry, section);
                byId("results").append(section);
            }
            for (const button of downloads) button.disabled = true;
            byId("summary-text").textContent = "";
            byId("problems").replaceChildren();
            byId("summary-download").hidden = true;
            byId("progress-line").hidden = false;
            choosing(false);
            setState("busy");
            showProgress();
        },
        report(event) {
            const drawn = apply(model, event);
            if (drawn) showResult(event.entry, event.conversion, event.result, drawn);
            if (event.type === "refused") {
                const status = event.reason.kind === "name" ? "skipped" : "refused";
                reason(event.entry, model.reasons.get(event.entry), status);
            }
            if (event.type === "not-started") reason(event.entry, words.notStarted(model), "not-started");
            if (event.type === "done") showParts(false);
            if (event.type === "finished") {
                if (archiveURL) URL.revokeObjectURL(archiveURL);
                archiveURL = null;
                for (const button of downloads) button.onclick = model.archive ? download : null;
                showParts(true);
                showSummary();
                // Unless files added meanwhile wait for a batch of their own.
                if (model.done + model.counts.notStarted === model.entries.length) setState("done");
            } else showProgress();
        },
        // A ZIP part, offered for download as soon as it is closed.
        part({ number, archive, size }) {
            const part = { number, archive, size, taken: false };
            model.parts.push(part);
            const item = element("li", {}, `${words.partLabel(part)}: `);
            const button = element("button", { type: "button", class: "download-part" }, words.partButton(part));
            button.addEventListener("click", () => take(part, button));
            item.append(button);
            byId("parts-list").append(item);
            showParts(false);
        },
        // Lets go of everything shown, for a new start.
        clear() {
            clear();
            model = batchModel();
        },
    };
}
