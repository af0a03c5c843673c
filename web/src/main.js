// The page: starts its workers, and hands each batch of picked or dropped
// files, with the ticked conversions, to the runner (runner.js), whose
// events the view (view.js) draws. A new batch cancels the one before; a
// chosen folder, else the browser's storage, else memory takes the outputs
// (destinations.js, in the storage worker). Hosted, the page is also an app
// that works offline (sw.js).
import { CONVERSIONS } from "./conversions.js";
import { plan, run } from "./runner.js";
import * as view from "./view.js";
import * as words from "./words.js";
import { converterPool, loadSources, poolSize, startConverter, startStorage } from "./workers.js";

const input = document.getElementById("files");
const drop = document.getElementById("drop");

view.showConversions();

const pool = converterPool({
    size: poolSize(navigator.hardwareConcurrency, navigator.deviceMemory),
    start: () => startConverter(CONVERSIONS.map(({ program }) => program)),
    counted: (count) => (document.body.dataset.converters = count),
});
let storage = null;
// The batch under way, and where its outputs go: a folder the user chose,
// or null for the ZIP.
let batch = null;
let folder = null;

const ready = (async () => {
    document.body.dataset.build = await loadSources();
    let converters;
    [storage, converters] = await Promise.all([startStorage(), pool.acquire()]);
    pool.release();
    view.showBanners(converters[0].banners);
})().catch((error) => view.fail(words.cannotStart(error)));

// The page's side of the storage worker's current destination.
async function openDestination() {
    let place;
    try {
        place = await storage.call("begin", { folder });
    } catch (error) {
        throw Object.assign(error, { during: "begin" });
    }
    const destination = {
        store: (name, bytes) => storage.call("store", { name, bytes }, [bytes.buffer]),
        read: (name) => storage.call("read", { name }),
        preview: (name) => storage.call("preview", { name }),
        finish: () => storage.call("finish"),
    };
    return { destination, place };
}

async function start(files) {
    const conversions = view.ticked();
    if (files.length === 0 || conversions.length === 0 || document.body.dataset.state === "failed") return;
    if (batch) {
        batch.controller.abort(new DOMException("a new batch replaced it", "AbortError"));
        batch.shown.close();
    }
    const entries = plan(files);
    const current = { controller: new AbortController(), shown: view.showBatch(entries) };
    batch = current;
    const { signal } = current.controller;
    try {
        await ready;
        if (document.body.dataset.state === "failed") return;
        const converters = await pool.acquire();
        try {
            signal.throwIfAborted();
            const { destination, place } = await openDestination();
            signal.throwIfAborted();
            current.shown.destination(destination, place);
            await run(entries, conversions, { signal, destination, converters, report: current.shown.report });
        } finally {
            pool.release();
        }
    } catch (error) {
        if (!signal.aborted) view.fail(words.conversionStopped(error));
    }
}

async function chooseFolder() {
    try {
        folder = await window.showDirectoryPicker({ id: "outputs", mode: "readwrite" });
    } catch {
        return;
    }
    document.getElementById("destination-note").textContent = words.destinationChosen(folder.name);
    document.getElementById("use-zip").hidden = false;
}

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
if (window.showDirectoryPicker) {
    document.getElementById("choose-folder").hidden = false;
    document.getElementById("choose-folder").addEventListener("click", chooseFolder);
    document.getElementById("use-zip").addEventListener("click", () => {
        folder = null;
        document.getElementById("use-zip").hidden = true;
        document.getElementById("destination-note").textContent = words.destinationChosen(null);
    });
}

// Hosted, the page is an app that works offline: its service worker keeps
// every file of it, and an installed app opens .mpo files.
if (location.protocol === "https:" || location.protocol === "http:") {
    document.head.append(view.element("link", { rel: "manifest", href: "manifest.webmanifest" }));
    if (navigator.serviceWorker) {
        navigator.serviceWorker.register("sw.js").catch((error) => view.say("offline", words.offlineFailed(error)));
    }
}
if (window.launchQueue) {
    window.launchQueue.setConsumer(async (launch) => {
        start(await Promise.all(launch.files.map((handle) => handle.getFile())));
    });
}
