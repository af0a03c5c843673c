// The page's parts without a browser, over fakes: the destinations (what
// is stored, read back and zipped), the runner (scheduling, refusals,
// cancelling), the words of a batch, the pool, the messenger, the service
// worker and the page's version. scripts/web.sh runs it:
//   node tests/web_page_test.mjs
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import { closeSync, mkdtempSync, openSync, readFileSync, rmSync, writeSync } from "node:fs";
import { tmpdir } from "node:os";
import { test } from "node:test";
import vm from "node:vm";
import { serviceWorker, version } from "../web/build.mjs";
import { CONVERSIONS as ALL } from "../web/src/conversions.js";
import { crc32, localHeader, openDestination, zipEnd } from "../web/src/destinations.js";
import { connect, serve, tell } from "../web/src/messenger.js";
import { add, apply, batchModel, partsExpected, problems } from "../web/src/model.js";
import { planner, run } from "../web/src/runner.js";
import { summary } from "../web/src/words.js";
import { converterPool, poolSize, sizing } from "../web/src/workers.js";

// The conversions ticked at first, which the batches run but for the alignment's.
const CONVERSIONS = ALL.filter(({ ticked }) => ticked !== false);
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

const storageOf = (root) => ({ getDirectory: async () => root || assert.fail("no storage") });
const DESTINATIONS = {
    // With the ZIPs of a page closed and of a page open.
    storage: () => {
        const root = fakeFolder("", Infinity);
        const locks = fakeLocks();
        locks.held.add("open.zip");
        const open = async () => {
            const outputs = await root.getDirectoryHandle("outputs", { create: true });
            for (const name of ["closed.zip", "open.zip"]) await outputs.getFileHandle(name, { create: true });
            return openDestination({ storage: storageOf(root), locks });
        };
        return { root, open };
    },
    memory: () => ({ open: () => openDestination({ storage: storageOf(null) }) }),
    folder: () => {
        const root = fakeFolder("chosen", Infinity);
        return { root, open: () => openDestination({ folder: root }) };
    },
};

test("every destination stores, reads back and finishes alike, and goes on after finishing; leftovers", async () => {
    for (const [kind, make] of Object.entries(DESTINATIONS)) {
        const { root, open } = make();
        const destination = await open();
        assert.equal(destination.place.kind, kind);
        const stored = { "a_L.jpg": "a".repeat(1000), "2/a_L.jpg": "second a", "grüße_dub.jpg": "non-ASCII name" };
        for (const [name, content] of Object.entries(stored)) await destination.store(name, bytes(content));
        for (const [name, content] of Object.entries(stored)) {
            assert.equal(await text(await destination.read(name)), content, `${kind} ${name}`);
        }
        const { archive } = await destination.finish();
        await destination.store("late.jpg", bytes("after the end"));
        const again = (await destination.finish()).archive;
        if (kind !== "folder") {
            assert.deepEqual(await unzip(archive), stored, kind);
            assert.deepEqual(await unzip(again), { ...stored, "late.jpg": "after the end" }, `${kind}, went on`);
        } else {
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

test("past 4 GiB into the archive, the ZIP's records are ZIP64's", async () => {
    // A sparse file: one entry 5 GiB in, its central record and the end.
    const folder = mkdtempSync(`${tmpdir()}/zip64-`);
    const path = `${folder}/far.zip`;
    const data = bytes("far away");
    const far = 5 * 2 ** 30;
    const entry = { name: bytes("far.jpg"), size: data.length, crc: crc32(data), offset: far, time: 0, date: 33 };
    const file = openSync(path, "w");
    let at = entry.offset;
    for (const chunk of [localHeader(entry), data, zipEnd([entry], at + 37 + data.length)]) {
        writeSync(file, chunk, 0, chunk.length, at);
        at += chunk.length;
    }
    closeSync(file);
    const script = "import sys,zipfile\nz=zipfile.ZipFile(sys.argv[1])\nprint(z.testzip(), z.read('far.jpg').decode())";
    const python = spawnSync("/usr/bin/python3", ["-c", script, path]);
    rmSync(folder, { recursive: true });
    assert.equal(String(python.stdout), "None far away\n", String(python.stderr));
});

test("a ZIP without room is closed as a part; a store waits for a part in memory to be taken", async () => {
    // Room for two of these outputs (984 and 1870 bytes with the archive's
    // end) in 2000 bytes of memory, or of storage, then of memory.
    const output = bytes("x".repeat(800));
    for (const root of [null, fakeFolder("", 2000)]) {
        const parts = [];
        const destination = await openDestination({
            storage: storageOf(root), locks: fakeLocks(), limit: 2000, onPart: (part) => parts.push(part),
        });
        const kind = root ? "storage, then memory" : "memory";
        for (const name of ["a.jpg", "b.jpg"]) await destination.store(name, output);
        let stored = false;
        const third = destination.store("c.jpg", output).then(() => (stored = true));
        await tick();
        assert.deepEqual(parts.map(({ number, size }) => [number, size]), [[1, 1794]], kind);
        // The part in storage holds no memory: the next part has room.
        assert.equal(stored, Boolean(root), `${kind}: the third stored at once`);
        destination.taken(1);
        await third;
        if (!root) await assert.rejects(destination.read("a.jpg"), { name: "NotFoundError" }, "let go once taken");
        else assert.equal((await destination.read("a.jpg")).size, 800);
        await destination.store("d.jpg", output);
        assert.deepEqual(await destination.finish(), { archive: null });
        assert.deepEqual(parts.map(({ number }) => number), [1, 2]);
        for (const [part, names] of [[0, ["a.jpg", "b.jpg"]], [1, ["c.jpg", "d.jpg"]]]) {
            assert.deepEqual(Object.keys(await unzip(parts[part].archive)), names, `${kind}: part ${part + 1}`);
        }
        destination.taken(2);
        await assert.rejects(destination.store("big.jpg", bytes("x".repeat(2000))), { name: "QuotaExceededError" });
        for (const name of ["e.jpg", "f.jpg"]) await destination.store(name, output);
        const waiting = destination.store("g.jpg", output);
        await tick();
        await destination.remove();
        await assert.rejects(waiting, { name: "AbortError" }, `${kind}: a store waiting is let go`);
    }
});

// A converter whose outputs hold the file's bytes and the tool's name;
// `hang` never answers a conversion of that file; a pair named unrelated is
// not aligned; a conversion that feeds the others has its output converted next.
function fakeConverter(log, hang = null) {
    let input;
    const converter = {
        ended: false,
        end() {
            converter.ended = true;
            if (converter.reject) converter.reject(new Error("ended"));
        },
        async call(type, args) {
            if (type === "open") {
                const read = args.buffer || (await args.file.arrayBuffer());
                return void (input = { name: args.name, text: new TextDecoder().decode(read) });
            }
            log.push(`${args.tool} ${input.name}`);
            if (input.name === hang) return new Promise((resolve, reject) => (converter.reject = reject));
            if (input.name === "crash.mpo") throw new Error("a converter stopped");
            await tick();
            if (args.feeds && input.name.startsWith("unrelated")) return { status: 1, out: [], err: [], outputs: [] };
            const { suffixes } = ALL.find(({ program }) => program === args.tool);
            const outputs = suffixes.map((suffix) => ({
                name: input.name.replace(".mpo", suffix),
                bytes: bytes(input.text + suffix),
            }));
            if (args.feeds) input.name = outputs[0].name;
            // The aligner's report of what it did, no warning.
            return { status: 0, out: [], err: args.feeds ? ["turned", "vertical error"] : [], outputs };
        },
    };
    return converter;
}

// A batch of `names` (or files) over `converters` fakes, into memory of
// `limit` bytes whose parts are taken as they come; `refuse` an output name
// the destination refuses.
async function batch(names, { limit = Infinity, hang, converters = 2, abortAfter, refuse, isFolder,
    conversions = CONVERSIONS, ...more } = {}) {
    const file = (name, i) => (typeof name === "string" ? new File([`file ${i}`], name.split("/").pop()) : name);
    const files = names.map(file);
    const entries = planner()(files, isFolder);
    const model = batchModel();
    add(model, entries);
    const parts = [];
    const destination = await openDestination({
        storage: storageOf(null),
        limit,
        onPart(part) {
            model.parts.push(part);
            parts.push(part);
            setTimeout(() => destination.taken(part.number));
        },
    });
    const store = destination.store;
    destination.store = (name, data) => (name === refuse ? Promise.reject(new Error("disk gone")) : store(name, data));
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
    const running = run(conversions, { signal: controller.signal, destination, converters: pool, report, ...more });
    running.add(entries);
    return { ran: running.done, running, model, events, log, pool, parts, controller };
}

test("the runner: names, parts, files added, the first refusal stops the batch, cancelling ends them", async () => {
    // About five outputs of these in a part of 600 bytes.
    const parted = await batch(["a.mpo", "b.mpo", "x/a.mpo"], { limit: 600 });
    parted.running.add(planner()([new File(["added"], "c.mpo")]).map((entry) => ({ ...entry, index: 3 })));
    assert.equal(await parted.ran, null, "no one archive where the outputs came in parts");
    assert.equal(parted.running.add([]), false, "nothing added once finished");
    assert.ok(parted.parts.length >= 3, `${parted.parts.length} parts`);
    assert.equal(partsExpected(parted.model), parted.parts.length, "as many parts as were expected, in the end");
    const unzipped = Object.assign({}, ...(await Promise.all(parted.parts.map(({ archive }) => unzip(archive)))));
    assert.equal(Object.keys(unzipped).length, 20);
    assert.equal(unzipped["2/a_dub.jpg"], "file 2_dub.jpg");
    assert.equal(unzipped["c.jps"], "added.jps");
    assert.deepEqual(parted.events.filter((e) => e.entry === parted.model.entries[1]).map((e) => e.type),
        ["started", ...CONVERSIONS.flatMap(() => ["running", "result"]), "done"]);
    assert.equal(parted.events.at(-1).type, "finished");

    const full = await batch(["a.mpo", "b.mpo", "c.mpo", "d.mpo"], { refuse: "c_L.jpg", converters: 1 });
    await full.ran;
    assert.deepEqual(full.log, ["a", "b"].flatMap((file) => CONVERSIONS.map(({ program }) => `${program} ${file}.mpo`))
        .concat("brantelix c.mpo"), "nothing converted after the refusal");
    assert.equal(full.events.filter((e) => e.type === "stopped").length, 1);
    assert.deepEqual(problems(full.model).map((entry) => entry.name), ["c.mpo", "d.mpo"]);
    assert.equal(summary(full.model), "4 files: 2 converted, 0 converted with warnings, 1 refused, 0 skipped, " +
        "1 not started as the batch stopped; 10 pictures made. Stopped: The outputs of c.mpo could not be stored: " +
        "Error: disk gone. The outputs before it are kept.");

    for (const [how, options, reason] of [["started over", { hang: "b.mpo", abortAfter: 12 }, "AbortError"],
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

test("files the page refuses before any conversion: one reason each, in the page's words", async () => {
    // Read by the converter, then by the page a slice at a time, as in WebKit opened as a file.
    const failing = (name, error) => {
        const file = { name, size: 10, arrayBuffer: async () => { throw error; } };
        return Object.assign(file, { slice: () => file });
    };
    // One that only the page may read, as WebKit's workers of a page opened as a file.
    const pageOnly = Object.assign(new File(["file 6"], "page-only.mpo"), {
        arrayBuffer: async () => { throw new DOMException("", "NotReadableError"); },
    });
    const cases = [
        ["notes.txt", "skipped", "Skipped: the name must end in .mpo or .MPO"],
        [{ name: "huge.mpo", size: 2.2e9 }, "refused", "This file is larger than this browser lets a page read " +
            "(2.2 GB)"],
        [failing("gone.mpo", new DOMException("", "NotFoundError")), "refused", "This file is gone: it was moved or " +
            "deleted after it was picked"],
        [failing("gone-firefox.mpo", new DOMException("", "AbortError")), "refused", "This file is gone: it was " +
            "moved or deleted after it was picked"],
        [failing("locked.mpo", new DOMException("denied", "NotReadableError")), "refused", "This file cannot be " +
            "read: NotReadableError: denied"],
        ["card.mpo", "refused", "This is a folder, not a file: pick or drop the files in it"],
        [pageOnly, "converted", undefined],
    ];
    const ran = await batch(cases.map(([file]) => file), { isFolder: (file) => file.name === "card.mpo" });
    await ran.ran;
    assert.deepEqual(ran.log, CONVERSIONS.map(({ program }) => `${program} page-only.mpo`), "no tool saw the others");
    for (const [index, [, status, reason]] of cases.entries()) {
        const entry = ran.model.entries[index];
        assert.equal(ran.model.reasons.get(entry), reason);
        assert.deepEqual(ran.model.statuses.get(entry), CONVERSIONS.map(() => status), entry.name);
    }
    assert.deepEqual(ran.model.counts, { converted: 1, warnings: 0, refused: 5, skipped: 1, notStarted: 0 });
});

test("aligned first: the other conversions made from the aligned pair, none where it could not be", async () => {
    const ran = await batch(["a.mpo", "unrelated.mpo"], { conversions: ALL, converters: 1 });
    await ran.ran;
    assert.deepEqual(ran.log, ["mpoalign a.mpo", ...CONVERSIONS.map(({ program }) => `${program} a_aligned.mpo`),
        "mpoalign unrelated.mpo"]);
    const [aligned, unrelated] = ran.model.entries;
    assert.deepEqual(ran.model.statuses.get(aligned), ALL.map(() => "converted"));
    assert.deepEqual(ran.model.statuses.get(unrelated), ["refused", ...CONVERSIONS.map(() => "not-made")]);
    assert.deepEqual(ran.model.counts, { converted: 1, warnings: 0, refused: 1, skipped: 0, notStarted: 0 });
});

test("the pool grows while the throughput does, and goes back when it does not", async () => {
    const throughputs = [[4, [100, 200], [2, 4, 4]], [4, [100, 120], [2, 4, 2]], [8, [100, 200, 290], [2, 4, 8, 4]],
        [3, [100, 160], [2, 3, 3]], [2, [], [2]], [1, [], [1]]];
    for (const [most, measured, sizes] of throughputs) {
        const pool = sizing(most);
        assert.deepEqual([pool.size, ...measured.map((each) => pool.measured(each))], sizes, `at most ${most}`);
        assert.ok(pool.settled, `at most ${most}: settled`);
    }
    // The runner grows and shrinks the pool as its sizing says.
    const grown = [];
    const retired = [];
    const wanted = [3, 1];
    const fake = { settled: false, measured: () => wanted.shift() ?? ((fake.settled = true), 1) };
    const names = Array.from({ length: 16 }, (_, i) => `f${i}.mpo`);
    const ran = await batch(names, {
        sizing: fake,
        grow: async () => grown.push(fakeConverter([])) && grown.at(-1),
        retire: (converter) => retired.push(converter),
    });
    await ran.ran;
    assert.equal(grown.length, 1);
    assert.equal(retired.length, 2, "back to one converter");
    assert.equal(ran.model.counts.converted, 16);
});
test("the pool: a converter per core within the memory's share, made once, grown, retired, let go idle", async () => {
    const sizes = [[8, undefined, 8], [8, 2, 2], [undefined, undefined, 1], [4, 0.25, 1], [2, 8, 2]];
    for (const [cores, memory, size] of sizes) {
        assert.equal(poolSize(cores, memory), size, `${cores} cores, ${memory} GiB`);
    }
    let made = 0;
    const counts = [];
    const start = async () => ({ n: ++made, ended: false, end: () => {} });
    const pool = converterPool({ idle: 10, start, counted: (n) => counts.push(n) });
    const [first, second] = await Promise.all([pool.acquire(2), pool.acquire(2)]);
    assert.equal(made, 2);
    assert.deepEqual(first, second);
    first[0].ended = true;
    pool.retire(await pool.add());
    assert.equal((await pool.acquire(2)).length, 2);
    assert.equal(made, 4, "only the ended one is made anew");
    pool.release();
    await tick(30);
    assert.equal(counts.at(-1), 2, "not let go while a batch holds them");
    pool.release();
    pool.release();
    await tick(30);
    assert.equal(counts.at(-1), 0);
    assert.ok((await pool.acquire(2)).every(({ n }) => n > 4), "made anew after idle");
});

test("the messenger: each call settles, with a value, the worker's error, or once the worker is gone", async () => {
    const { port1, port2 } = new MessageChannel();
    const told = () => tell("told", "of its own", port2);
    const never = () => new Promise(() => {});
    serve({ twice: ({ n }) => (told(), 2 * n), full: () => { throw quota(); }, never }, port2);
    const worker = connect(Object.assign(port1, { terminate: () => port2.close() }), "the test worker");
    const heard = new Promise((resolve) => worker.on("told", resolve));
    assert.equal(await worker.call("twice", { n: 21 }), 42);
    assert.equal(await heard, "of its own");
    await assert.rejects(worker.call("full"), { name: "QuotaExceededError" });
    const waiting = worker.call("never");
    port1.onerror({ message: "crashed" });
    await assert.rejects(waiting, { message: "the test worker stopped: crashed" });
    await assert.rejects(worker.call("twice", { n: 1 }), { name: "WorkerEnded" });
    port1.close();
});

test("the service worker keeps its version's files, serves them first, waits for the page, removes older versions",
    async () => {
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
    let skipped = 0;
    const self = { addEventListener, skipWaiting: () => skipped++, clients: { claim() {} } };
    const template = readFileSync(new URL("../web/sw.js", import.meta.url), "utf8");
    const open = async (name) => (caches.has(name) || caches.set(name, new Map()), cache(name));
    vm.runInNewContext(serviceWorker(template, own, files.map((f) => f.name)), {
        self, Request: function (url) { this.url = url; },
        caches: { open, keys: async () => [...caches.keys()], delete: async (name) => caches.delete(name) },
        fetch: async (request) => `fetched ${request.url}`,
    });
    const settle = async (type, request, data) => {
        let done;
        handlers[type]({ request, data, waitUntil: (p) => (done = p), respondWith: (p) => (done = p) });
        return done;
    };
    await settle("install");
    assert.equal(skipped, 0, "a new version waits until the page asks for it");
    await settle("message", null, { type: "skip-waiting" });
    assert.equal(skipped, 1);
    await settle("activate");
    assert.deepEqual([...caches.keys()].sort(), ["another-app", `stereo-mpo-tools-${own}`]);
    assert.deepEqual([...caches.get(`stereo-mpo-tools-${own}`).keys()].sort(), ["./", "app.js", "index.html"]);
    assert.equal(await settle("fetch", { method: "GET", url: "app.js" }), "cached app.js");
    assert.equal(await settle("fetch", { method: "GET", url: "elsewhere" }), "fetched elsewhere");
});
