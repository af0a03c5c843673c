// The page: starts its workers, and hands the files picked or dropped, with
// the ticked conversions, to the runner (runner.js), whose events the view
// (view.js) draws. Files picked while a batch runs are added to it; picked
// after it, the page asks whether to add them or start over: nothing it
// made is thrown away unasked. A chosen folder, else the browser's storage,
// else memory takes the outputs (destinations.js, in the storage worker).
// Hosted, the page is also an app that works offline (sw.js), and says when
// a new version of it is ready.
import { CONVERSIONS } from "./conversions.js";
import { planner, run } from "./runner.js";
import * as view from "./view.js";
import * as words from "./words.js";
import {
    converterPool,
    loadApart,
    loaded,
    loadSources,
    poolSize,
    sizing,
    startConverter,
    startStorage,
} from "./workers.js";

const byId = (id) => document.getElementById(id);
const input = byId("files");
const drop = byId("drop");
// The memory kept for outputs where the page has no storage, in bytes, if
// the address gives one (?memory-limit=): for tests, and for a device short
// of memory.
const limit = Number(new URLSearchParams(location.search).get("memory-limit")) || undefined;

view.showConversions();

const size = sizing(poolSize(navigator.hardwareConcurrency, navigator.deviceMemory));
// Each converter holds every module loaded when it was made.
const pool = converterPool({
    start: () => startConverter(loaded(CONVERSIONS)),
    fits: (converter) => loaded(CONVERSIONS).every((program) => converter.programs.includes(program)),
    counted: (count) => (document.body.dataset.converters = count),
});
// The modules of the conversions kept apart, loaded once one is ticked (and
// at the latest when a batch needs them).
const loadTicked = (conversions) =>
    Promise.all(conversions.filter(({ apart }) => apart).map(({ program }) => loadApart(program)));
let storage = null;
// Where the outputs go: a folder the user chose, or null for the ZIP; the
// destination's place once opened.
let folder = null;
let place = null;
let plan = planner();
// The batch under way ({ controller, run }), and files waiting for the next.
let batch = null;
let waiting = [];
const shown = view.outputs({
    read: (name) => storage.call("read", { name }),
    preview: (name) => storage.call("preview", { name }),
    taken: (number) => storage.call("taken", { number }),
});

// A new destination in place of the last; its outputs are let go.
async function open() {
    place = await storage.call("open", { folder, limit });
    shown.destination(place);
}

const ready = (async () => {
    document.body.dataset.build = await loadSources();
    if (document.body.dataset.build !== "SIMD") view.withoutApart(words.NEEDS_SIMD);
    let converters;
    [storage, converters] = await Promise.all([startStorage(), pool.acquire(size.size)]);
    pool.release();
    storage.on("part", (part) => shown.part(part));
    view.showBanners(converters[0].banners);
    await open();
})().catch((error) => view.fail(words.cannotStart(error)));
let opened = ready;

const failed = () => document.body.dataset.state === "failed";

async function convert() {
    const current = { controller: new AbortController(), run: null };
    batch = current;
    const { signal } = current.controller;
    try {
        await opened;
        if (failed()) return;
        const conversions = view.ticked();
        await loadTicked(conversions);
        const converters = await pool.acquire(size.size);
        try {
            signal.throwIfAborted();
            view.showBanners(converters[0].banners);
            const of = place.generation;
            const destination = {
                store: (name, bytes) => storage.call("store", { name, bytes, of }, [bytes.buffer]),
                finish: () => storage.call("finish"),
            };
            current.run = run(conversions, {
                signal,
                destination,
                converters,
                report: shown.report,
                sizing: size,
                grow: pool.add,
                retire: pool.retire,
            });
            current.run.add(waiting.splice(0));
            await current.run.done;
        } finally {
            pool.release();
        }
    } catch (error) {
        if (!signal.aborted) view.fail(words.conversionStopped(error));
    }
    if (signal.aborted) return;
    batch = null;
    // Files picked while the batch was finishing.
    if (waiting.length > 0) convert();
}

function add(files, isFolder) {
    const entries = plan(files, isFolder);
    shown.add(entries);
    if (batch && batch.run && batch.run.add(entries)) return;
    waiting.push(...entries);
    if (!batch) convert();
}

async function startOver() {
    if (batch) batch.controller.abort(new DOMException("the page started over", "AbortError"));
    batch = null;
    waiting = [];
    plan = planner();
    shown.clear();
    opened = open().catch((error) => view.fail(words.cannotStart(error)));
    await opened;
}

// Files picked or dropped: added to the batch under way, or to a page
// without outputs; after a batch, the user says.
function pick(files, isFolder = () => false) {
    if (files.length === 0 || view.ticked().length === 0 || failed()) return;
    if (batch || !shown.held()) return add(files, isFolder);
    view.ask(files.length, async (answer) => {
        if (answer === "start-over") await startOver();
        add(files, isFolder);
    });
}

async function chooseFolder() {
    try {
        folder = await window.showDirectoryPicker({ id: "outputs", mode: "readwrite" });
    } catch {
        return;
    }
    byId("use-zip").hidden = false;
    opened = open();
}

input.addEventListener("change", () => {
    pick([...input.files]);
    // The same files may be picked again.
    input.value = "";
});
drop.addEventListener("dragover", (event) => {
    event.preventDefault();
    drop.classList.add("over");
});
drop.addEventListener("dragleave", () => drop.classList.remove("over"));
drop.addEventListener("drop", (event) => {
    event.preventDefault();
    drop.classList.remove("over");
    // A dropped folder comes as a file that cannot be read: told apart here.
    const items = [...event.dataTransfer.items].filter((item) => item.kind === "file");
    const dropped = items.map((item) => [item.getAsFile(), item.webkitGetAsEntry && item.webkitGetAsEntry()]);
    const folders = new Set(dropped.filter(([, entry]) => entry && entry.isDirectory).map(([file]) => file));
    pick(dropped.map(([file]) => file).filter(Boolean), (file) => folders.has(file));
});
byId("start-over").addEventListener("click", startOver);
document.querySelector("#choose fieldset").addEventListener("change", () => {
    // Failing here, the batch tries again and says why.
    opened.then(() => loadTicked(view.ticked())).catch(() => {});
});
if (window.showDirectoryPicker) {
    byId("choose-folder").hidden = false;
    byId("choose-folder").addEventListener("click", chooseFolder);
    byId("use-zip").addEventListener("click", () => {
        folder = null;
        byId("use-zip").hidden = true;
        opened = open();
    });
}

// Hosted, the page is an app that works offline: its service worker keeps
// every file of it, and an installed app opens .mpo files. A new version,
// once its service worker has it, is offered; it takes over when the user
// reloads with it, between batches.
function offerNewVersions(registration) {
    let reloading = false;
    const offer = (worker) => {
        if (!navigator.serviceWorker.controller) return;
        view.offerReload(() => {
            reloading = true;
            worker.postMessage({ type: "skip-waiting" });
        });
    };
    if (registration.waiting) offer(registration.waiting);
    registration.addEventListener("updatefound", () => {
        const worker = registration.installing;
        worker.addEventListener("statechange", () => worker.state === "installed" && offer(worker));
    });
    navigator.serviceWorker.addEventListener("controllerchange", () => reloading && location.reload());
}
if (location.protocol === "https:" || location.protocol === "http:") {
    document.head.append(view.element("link", { rel: "manifest", href: "manifest.webmanifest" }));
    if (navigator.serviceWorker) {
        navigator.serviceWorker
            .register("sw.js")
            .then(offerNewVersions, (error) => view.say("offline", words.offlineFailed(error)));
    }
}
if (window.launchQueue) {
    window.launchQueue.setConsumer(async (launch) => {
        pick(await Promise.all(launch.files.map((handle) => handle.getFile())));
    });
}
