// The page's parts without a browser, over fakes: the destinations (what
// is stored, read back and zipped), the runner (scheduling, refusals,
// cancelling), the words of a batch, the pool, the messenger, the service
// worker and the page's version. scripts/web.sh runs it with the npm
// folder that holds client-zip:  node tests/web_page_test.mjs NODE_MODULES
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import { readFileSync } from "node:fs";
import path from "node:path";
import { test } from "node:test";
import { pathToFileURL } from "node:url";
import vm from "node:vm";
import { serviceWorker, version } from "../web/build.mjs";
import { CONVERSIONS } from "../web/src/conversions.js";
import { openDestination as open } from "../web/src/destinations.js";
import { connect, serve } from "../web/src/messenger.js";
import { apply, batchModel, problems } from "../web/src/model.js";
import { plan, run } from "../web/src/runner.js";
import { summary } from "../web/src/words.js";
import { converterPool, poolSize } from "../web/src/workers.js";

const { downloadZip } = await import(pathToFileURL(path.resolve(process.argv[2], "client-zip", "index.js")));
const openDestination = (options) => open({ ...options, downloadZip });
const bytes = (text) => new TextEncoder().encode(text);
const text = async (blob) => new TextDecoder().decode(await blob.arrayBuffer());
const quota = () => new DOMException("no room", "QuotaExceededError");
const tick = (ms = 0) => new Promise((resolve) => setTimeout(resolve, ms));

// An origin-private file system of `limit` bytes, and web locks.
function fakeFolder(name, limit) {
    const entries = new Map();
    const file = (fileName) => {
        const handle = { kind: "file", name: fileName, data: new Uint8Array(0) };
        const grow = (end) => {
            if (end > limit) throw quota();
            const data = new Uint8Array(end);
            data.set(handle.data.subarray(0, end));
            handle.data = data;
        };
        handle.getFile = async () => new Blob([handle.data]);
        handle.createSyncAccessHandle = async () => ({
            truncate: grow,
            write(chunk, { at }) {
                if (at + chunk.length > handle.data.length) grow(at + chunk.length);
                handle.data.set(chunk, at);
                return chunk.length;
            },
            read: (into, { at }) => into.set(handle.data.subarray(at, at + into.length)),
            flush() {},
            close() {},
        });
        const done = async () => {};
        handle.createWritable = async () => ({ write: async (b) => (handle.data = b), close: done, abort: done });
        return handle;
    };
    const get = (make) => async (child, { create } = {}) => {
        if (!entries.has(child) && create) entries.set(child, make(child));
        if (!entries.has(child)) throw new DOMException(child, "NotFoundError");
        return entries.get(child);
    };
    return {
        kind: "directory", name, entries,
        getDirectoryHandle: get((child) => fakeFolder(child, limit)),
        getFileHandle: get(file),
        keys: async function* () { yield* [...entries.keys()]; },
        removeEntry: async (child) => entries.delete(child),
    };
}
function fakeLocks() {
    const held = new Set();
    return {
        held,
        async request(name, options, callback = options) {
            if (held.has(name)) return options.ifAvailable ? callback(null) : assert.fail("a lock asked twice");
            held.add(name);
            try { return await callback({ name }); } finally { held.delete(name); }
        },
    };
}

// Each entry's bytes as Python's zipfile reads them; fails on a damaged ZIP
// or anything after its end record.
async function unzip(blob) {
    const data = new Uint8Array(await blob.arrayBuffer());
    assert.deepEqual([...data.subarray(-22, -18)], [0x50, 0x4b, 5, 6], "the ZIP ends with its end record");
    const script = "import json,sys,zipfile,io\nz=zipfile.ZipFile(io.BytesIO(sys.stdin.buffer.read()))\n" +
        "assert z.testzip() is None\nprint(json.dumps({n: z.read(n).decode() for n in z.namelist()}))";
    const python = spawnSync("/usr/bin/python3", ["-c", script], { input: data });
    assert.equal(python.status, 0, String(python.stderr));
    return JSON.parse(python.stdout);
}

// 1200 bytes for the first entry below with its end, 2000 in all: the
// second's entry fits, not with the archive's end.
const LIMIT = 2000;
const storageOf = (root) => ({ getDirectory: async () => root || assert.fail("no storage") });
const DESTINATIONS = {
    // With the ZIPs of a page closed and of a page open.
    storage: () => {
        const root = fakeFolder("", LIMIT);
        const locks = fakeLocks();
        locks.held.add("open.zip");
        const open = async () => {
            const outputs = await root.getDirectoryHandle("outputs", { create: true });
            for (const name of ["closed.zip", "open.zip"]) await outputs.getFileHandle(name, { create: true });
            return openDestination({ storage: storageOf(root), locks });
        };
        return { root, open };
    },
    memory: () => ({ open: () => openDestination({ storage: storageOf(null), limit: LIMIT }) }),
    folder: () => {
        const root = fakeFolder("chosen", Infinity);
        return { root, open: () => openDestination({ folder: root }) };
    },
};

test("every destination stores, reads back and finishes alike; a ZIP refuses past its room; leftovers", async () => {
    for (const [kind, make] of Object.entries(DESTINATIONS)) {
        const { root, open } = make();
        const destination = await open();
        assert.equal(destination.place.kind, kind);
        const stored = { "a_L.jpg": "a".repeat(1000), "2/a_L.jpg": "second a", "grüße_dub.jpg": "non-ASCII name" };
        await destination.store("a_L.jpg", bytes(stored["a_L.jpg"]));
        if (kind !== "folder") {
            await assert.rejects(destination.store("b.jpg", bytes("b".repeat(800))), { name: "QuotaExceededError" });
        }
        for (const name of ["2/a_L.jpg", "grüße_dub.jpg"]) await destination.store(name, bytes(stored[name]));
        for (const [name, content] of Object.entries(stored)) {
            assert.equal(await text(await destination.read(name)), content, `${kind} ${name}`);
        }
        const archive = await destination.finish();
        if (kind !== "folder") assert.deepEqual(await unzip(archive), stored, kind);
        else {
            const second = (await root.getDirectoryHandle("2")).entries.get("a_L.jpg");
            assert.equal(await text(await second.getFile()), "second a");
        }
        if (kind === "storage") {
            await destination.remove();
            const left = [...(await root.getDirectoryHandle("outputs")).entries.keys()];
            assert.deepEqual(left, ["open.zip"], "a closed page's ZIP and a removed one gone, an open page's kept");
        }
    }
});

// A converter whose outputs hold the file's bytes and the tool's name;
// `hang` never answers a conversion of that file.
function fakeConverter(log, hang = null) {
    let input;
    const converter = {
        ended: false,
        end() {
            converter.ended = true;
            if (converter.reject) converter.reject(new Error("ended"));
        },
        async call(type, args) {
            if (type === "open") return void (input = { name: args.name, text: new TextDecoder().decode(args.buffer) });
            log.push(`${args.tool} ${input.name}`);
            if (input.name === hang) return new Promise((resolve, reject) => (converter.reject = reject));
            if (input.name === "crash.mpo") throw new Error("a converter stopped");
            await tick();
            const { suffixes } = CONVERSIONS.find(({ program }) => program === args.tool);
            const outputs = suffixes.map((suffix) => ({
                name: input.name.replace(".mpo", suffix),
                bytes: bytes(input.text + suffix),
            }));
            return { status: 0, out: [], err: [], outputs };
        },
    };
    return converter;
}

async function batch(names, { limit = Infinity, hang, converters = 2, abortAfter } = {}) {
    const files = names.map((name, i) => new File([`file ${i}`], name.split("/").pop()));
    const entries = plan(files);
    const model = batchModel(entries);
    const destination = await openDestination({ storage: { getDirectory: async () => assert.fail() }, limit });
    model.place = destination.place;
    const log = [];
    const pool = Array.from({ length: converters }, () => fakeConverter(log, hang));
    const controller = new AbortController();
    const events = [];
    const report = (event) => {
        events.push(event);
        apply(model, event);
        if (events.length === abortAfter) controller.abort(new DOMException("replaced", "AbortError"));
    };
    const ran = run(entries, CONVERSIONS, { signal: controller.signal, destination, converters: pool, report });
    return { ran, model, events, log, pool, destination, controller };
}

test("the runner: names, the first refusal stops the batch, cancelling ends converters", async () => {
    const ok = await batch(["a.mpo", "b.mpo", "x/a.mpo"]);
    const archive = await ok.ran;
    assert.equal(Object.keys(await unzip(archive)).length, 15);
    assert.equal(await text(await ok.destination.read("2/a_dub.jpg")), "file 2_dub.jpg");
    assert.deepEqual(ok.events.filter((e) => e.entry === ok.model.entries[1]).map((e) => e.type),
        ["started", ...CONVERSIONS.flatMap(() => ["running", "result"]), "done"]);
    assert.equal(ok.events.at(-1).type, "finished");

    // Room for two files' outputs (596 bytes each with their central
    // records) and the first of the third's, with the archive's end.
    const full = await batch(["a.mpo", "b.mpo", "c.mpo", "d.mpo"], { limit: 1500, converters: 1 });
    assert.deepEqual(Object.keys(await unzip(await full.ran)), ["a_L.jpg", "a_R.jpg", "a_dub.jpg", "a_ana.jpg", "a.jps",
        "b_L.jpg", "b_R.jpg", "b_dub.jpg", "b_ana.jpg", "b.jps", "c_L.jpg"]);
    assert.deepEqual(full.log, ["a", "b"].flatMap((file) => CONVERSIONS.map(({ program }) => `${program} ${file}.mpo`))
        .concat("brantelix c.mpo"), "nothing converted after the refusal");
    assert.equal(full.events.filter((e) => e.type === "stopped").length, 1);
    assert.equal(full.model.done, 3, "the file not begun is not done");
    assert.deepEqual(problems(full.model).map((entry) => entry.name), ["c.mpo", "d.mpo"]);
    assert.equal(summary(full.model), "4 files: 11 pictures made, 0 with warnings, 8 refused, 0 skipped. Stopped: " +
        "There is no room left to store the outputs of c.mpo: the page keeps at most 0 MB of outputs in memory here. " +
        "The outputs before it " +
        "are kept: download them before converting the rest, as a new batch clears them.");

    for (const [how, options, reason] of [["replaced", { hang: "b.mpo", abortAfter: 12 }, "AbortError"],
        ["a converter failed", { names: ["a.mpo", "crash.mpo", "c.mpo"], hang: "a.mpo" }, "Error"]]) {
        const cancelled = await batch(options.names || ["a.mpo", "b.mpo", "c.mpo"], options);
        await assert.rejects(cancelled.ran, { name: reason }, how);
        const seen = cancelled.events.length;
        await tick(20);
        assert.equal(cancelled.events.length, options.abortAfter || seen, `${how}: nothing reported after`);
        const ended = cancelled.pool.some((converter) => converter.reject && converter.ended);
        assert.ok(ended, `${how}: the busy converter ended`);
    }
});

test("the pool: a converter per core within the memory's share, made once, let go idle", async () => {
    const sizes = [[8, undefined, 8], [8, 2, 2], [undefined, undefined, 1], [4, 0.25, 1], [2, 8, 2]];
    for (const [cores, memory, size] of sizes) {
        assert.equal(poolSize(cores, memory), size, `${cores} cores, ${memory} GiB`);
    }
    let made = 0;
    const counts = [];
    const start = async () => ({ n: ++made, ended: false, end: () => {} });
    const pool = converterPool({ size: 2, idle: 10, start, counted: (n) => counts.push(n) });
    const [first, second] = await Promise.all([pool.acquire(), pool.acquire()]);
    assert.equal(made, 2);
    assert.deepEqual(first, second);
    first[0].ended = true;
    assert.equal((await pool.acquire()).length, 2);
    assert.equal(made, 3, "only the ended one is made anew");
    pool.release();
    await tick(30);
    assert.equal(counts.at(-1), 2, "not let go while a batch holds them");
    pool.release();
    pool.release();
    await tick(30);
    assert.equal(counts.at(-1), 0);
    assert.ok((await pool.acquire()).every(({ n }) => n > 3), "made anew after idle");
});

test("the messenger: each call settles, with a value, the worker's error, or once the worker is gone", async () => {
    const { port1, port2 } = new MessageChannel();
    serve({ twice: ({ n }) => 2 * n, full: () => { throw quota(); }, never: () => new Promise(() => {}) }, port2);
    const worker = connect(Object.assign(port1, { terminate: () => port2.close() }), "the test worker");
    assert.equal(await worker.call("twice", { n: 21 }), 42);
    await assert.rejects(worker.call("full"), { name: "QuotaExceededError" });
    const waiting = worker.call("never");
    port1.onerror({ message: "crashed" });
    await assert.rejects(waiting, { message: "the test worker stopped: crashed" });
    await assert.rejects(worker.call("twice", { n: 1 }), { name: "WorkerEnded" });
    port1.close();
});

test("the service worker keeps its version's files, serves them first, removes its older versions", async () => {
    const files = [{ name: "index.html", bytes: bytes("a") }, { name: "app.js", bytes: bytes("b") }];
    const own = version("1.0", files);
    assert.notEqual(version("1.0", [files[0], { name: "app.js", bytes: bytes("c") }]), own);
    assert.notEqual(version("1.0", [files[0], { name: "other.js", bytes: bytes("b") }]), own);
    const caches = new Map([["stereo-mpo-tools-old", new Map()], ["another-app", new Map()]]);
    const handlers = {};
    const cache = (name) => ({
        addAll: async (requests) => requests.forEach(({ url }) => caches.get(name).set(url, `cached ${url}`)),
        match: async (request) => caches.get(name).get(request.url),
    });
    const addEventListener = (type, handler) => (handlers[type] = handler);
    const self = { addEventListener, skipWaiting() {}, clients: { claim() {} } };
    const template = readFileSync(new URL("../web/sw.js", import.meta.url), "utf8");
    const open = async (name) => (caches.has(name) || caches.set(name, new Map()), cache(name));
    vm.runInNewContext(serviceWorker(template, own, files.map((f) => f.name)), {
        self, Request: function (url) { this.url = url; },
        caches: { open, keys: async () => [...caches.keys()], delete: async (name) => caches.delete(name) },
        fetch: async (request) => `fetched ${request.url}`,
    });
    const settle = async (type, request) => {
        let done;
        handlers[type]({ request, waitUntil: (p) => (done = p), respondWith: (p) => (done = p) });
        return done;
    };
    await settle("install");
    await settle("activate");
    assert.deepEqual([...caches.keys()].sort(), ["another-app", `stereo-mpo-tools-${own}`]);
    assert.deepEqual([...caches.get(`stereo-mpo-tools-${own}`).keys()].sort(), ["./", "app.js", "index.html"]);
    assert.equal(await settle("fetch", { method: "GET", url: "app.js" }), "cached app.js");
    assert.equal(await settle("fetch", { method: "GET", url: "elsewhere" }), "fetched elsewhere");
});
