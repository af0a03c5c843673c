// The page's elements: the conversions' checkboxes, and each batch drawn
// from its model (see model.js) as the runner's events come: a section per
// file with a block per result (its outcome, lines, links to its outputs and
// previews), progress and the summary. document.body.dataset.state is
// "busy" while converting, "done" once every file has its outcome, and
// "failed" when a part of the page could not start.
import { CONVERSIONS } from "./conversions.js";
import { apply, batchModel, problems } from "./model.js";
import * as words from "./words.js";

// A link's bytes, read from the storage on demand, are let go after this.
const LINK_SECONDS = 120;
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

// A checkbox for each conversion, all ticked at first.
export function showConversions() {
    const boxes = CONVERSIONS.map(({ program, label, suffixes }) => {
        const box = element("label");
        box.append(element("input", { type: "checkbox", name: "tool", value: program, checked: "" }), ` ${label} (`);
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

export function showBanners(banners) {
    const box = byId("banners");
    for (const { program, label } of CONVERSIONS) {
        box.append(element("h3", {}, label), lines(banners[program], "banner"));
        box.lastChild.dataset.tool = program;
    }
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

const failed = () => document.body.dataset.state === "failed";

// Draws a new batch of `entries` (see runner.js) in place of the last one;
// `report` takes the runner's events, `destination` where the outputs go
// once it is known, `finish` the end of the batch.
export function showBatch(entries) {
    const model = batchModel(entries);
    const downloads = document.querySelectorAll(".download-all");
    let destination = null;
    let archiveURL = null;
    const sections = new Map(
        entries.map((entry) => {
            const section = element("section", { class: "file", id: `file-${entry.index + 1}` });
            section.dataset.name = entry.name;
            section.append(element("h2", {}, entry.name));
            if (entry.folder) section.append(element("p", { class: "note" }, words.folderNote(entry)));
            return [entry, section];
        }),
    );
    const previewing = new IntersectionObserver(
        (seen) => {
            for (const { isIntersecting, target } of seen) {
                if (!isIntersecting) continue;
                previewing.unobserve(target);
                // None where the browser cannot draw off the page, or
                // cannot read the picture there: the output's link is enough.
                const none = () => target.closest("a").remove();
                destination.preview(target.dataset.entry).then((blob) => {
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
            blob = await destination.read(link.dataset.entry);
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

    function showResult(entry, conversion, result, { status, out }) {
        const block = element("div", { class: "tool-result", "data-tool": conversion.program });
        block.dataset.status = status;
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
        byId("progress").max = entries.length;
        byId("progress").value = model.done;
        byId("progress-text").textContent = words.progress(model);
        byId("running").textContent = words.running(model);
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
        byId("summary-download").hidden = false;
        for (const button of downloads) button.disabled = !model.archive || model.pictures === 0;
    }

    // The last batch's previews and ZIP are let go with it.
    for (const image of document.querySelectorAll("img[src]")) URL.revokeObjectURL(image.src);
    if (!failed()) document.body.dataset.state = "busy";
    for (const button of downloads) button.disabled = true;
    byId("summary-text").textContent = "";
    byId("problems").replaceChildren();
    byId("summary-download").hidden = true;
    byId("results").replaceChildren(...sections.values());
    byId("progress-line").hidden = false;
    showProgress();

    function download() {
        archiveURL = archiveURL || URL.createObjectURL(model.archive);
        element("a", { href: archiveURL, download: "stereo-mpo-outputs.zip" }).click();
    }

    return {
        destination(chosen, place) {
            destination = chosen;
            model.place = place;
            byId("destination-note").textContent = words.destination(place, {
                canChooseFolder: Boolean(window.showDirectoryPicker),
                openedAsFile: location.protocol === "file:",
            });
        },
        report(event) {
            const drawn = apply(model, event);
            if (drawn) showResult(event.entry, event.conversion, event.result, drawn);
            if (event.type === "finished") {
                for (const button of downloads) button.onclick = model.archive ? download : null;
                showSummary();
                if (!failed()) document.body.dataset.state = "done";
            } else showProgress();
        },
        // Lets go of what this batch's page holds.
        close() {
            previewing.disconnect();
            if (archiveURL) URL.revokeObjectURL(archiveURL);
        },
    };
}
