// Where the outputs go: the page's storage worker. Each output is stored as
// soon as it is made, so that a batch as large as a memory card never sits
// in the page's memory:
// - into one ZIP written entry by entry into the origin-private file
//   system, which the browser keeps on disk; "Download all" hands over that
//   file as it is, and a single output is read back from it on demand;
// - or, where the user chose a folder (the File System Access API), into
//   that folder under its own name, as the command line writes beside the
//   input;
// - or, where the browser gives the page no storage (a page opened as a
//   file may have none), into a ZIP in memory, up to MEMORY_LIMIT.
// Room for each output is taken before any of its bytes are written, with
// room for the archive's end: when the storage refuses, the ZIP ends with
// every output before, and nothing is half written.
// The worker also makes the small previews, from what it stored, when the
// page shows them. Requests are handled one after another in the order they
// come, so that the room left is always measured after the last write.
// client-zip's downloadZip is defined before this script.
/* global downloadZip */
"use strict";

// client-zip stores each entry as a 30-byte local header, the name, the
// bytes and a 16-byte data descriptor (24 bytes only for an entry of 4 GiB
// or more, which no picture reaches), and ends the archive with a 46-byte
// central record per entry plus the name, and at most 98 bytes of end
// records (ZIP64's 76 and the classic 22): where an entry's bytes lie, and
// how much room an entry takes, follow from the sizes alone.
const LOCAL_HEADER = 30;
const DESCRIPTOR = 16;
const CENTRAL_RECORD = 46;
const END_RECORDS = 76 + 22;
// The origin-private folder of the page's ZIP files, one per batch.
const STORAGE_FOLDER = "outputs";
// What the page keeps in memory where it has no storage: half a gigabyte,
// which a phone's browser still gives a page.
const MEMORY_LIMIT = 500e6;

// Previews are this wide: a few hundred pixels, sharp on a screen of twice
// the density at the page's 15rem columns, and a tiny share of a 20 MP
// picture's memory.
const PREVIEW_WIDTH = 480;
const PREVIEW_QUALITY = 0.85;

const encoder = new TextEncoder();

// The current batch: its sink (where the bytes go), its ZIP writer (none
// for a folder) and where each output lies in it.
let sink = null;
let zip = null;
let entries = new Map();

// A ZIP file in the origin-private file system, written through a
// synchronous access handle (the one writing interface that every engine
// gives a worker).
async function storageSink() {
    const root = await navigator.storage.getDirectory();
    const folder = await root.getDirectoryHandle(STORAGE_FOLDER, { create: true });
    await removeLeftovers(folder);
    const name = `${Date.now()}-${Math.random().toString(36).slice(2)}.zip`;
    const handle = await folder.getFileHandle(name, { create: true });
    let access = await handle.createSyncAccessHandle();
    // Held while this page may still offer the file: no other page of this
    // site removes it as a leftover.
    let release = () => {};
    if (navigator.locks) navigator.locks.request(name, () => new Promise((resolve) => (release = resolve)));
    let size = 0;
    let reserved = 0;
    let file = null;
    return {
        kind: "storage",
        // Makes the file `end` bytes long: the browser's quota or a full
        // disk refuse it with a QuotaExceededError.
        reserve(end) {
            if (end > reserved) access.truncate(end);
            reserved = Math.max(reserved, end);
        },
        write(bytes) {
            if (access.write(bytes, { at: size }) !== bytes.length) throw new Error("the storage took part of the bytes");
            size += bytes.length;
        },
        read(start, end) {
            if (file) return file.slice(start, end);
            const bytes = new Uint8Array(end - start);
            access.read(bytes, { at: start });
            return new Blob([bytes]);
        },
        async finish() {
            access.truncate(size);
            access.flush();
            access.close();
            access = null;
            file = await handle.getFile();
            return file;
        },
        async remove() {
            if (access) access.close();
            await folder.removeEntry(name).catch(() => {});
            release();
        },
    };
}

// ZIP files that no open page holds: those of a page closed before its
// next batch, or of a browser that stopped.
async function removeLeftovers(folder) {
    if (!navigator.locks) return;
    const names = [];
    for await (const name of folder.keys()) names.push(name);
    for (const name of names) {
        await navigator.locks.request(name, { ifAvailable: true }, async (lock) => {
            if (lock) await folder.removeEntry(name).catch(() => {});
        });
    }
}

function memorySink(reason) {
    let chunks = [];
    return {
        kind: "memory",
        reason,
        limit: MEMORY_LIMIT,
        reserve(end) {
            if (end > MEMORY_LIMIT) throw new DOMException("past the page's memory for outputs", "QuotaExceededError");
        },
        write(bytes) {
            chunks.push(new Blob([bytes]));
        },
        read(start, end) {
            return new Blob(chunks).slice(start, end);
        },
        async finish() {
            chunks = [new Blob(chunks, { type: "application/zip" })];
            return chunks[0];
        },
        async remove() {
            chunks = [];
        },
    };
}

// Feeds client-zip one entry at a time and writes what it makes into the
// sink; `add` resolves once the entry's last byte is written.
function zipWriter(sink) {
    const queue = [];
    let wake = () => {};
    let closed = false;
    let written = 0;
    let waiting = null;
    let failure = null;
    async function* files() {
        for (;;) {
            if (queue.length > 0) yield queue.shift();
            else if (closed) return;
            else await new Promise((resolve) => (wake = resolve));
        }
    }
    const reader = downloadZip(files()).body.getReader();
    const pumped = (async () => {
        for (;;) {
            const { done, value } = await reader.read();
            if (done) return;
            sink.write(value);
            written += value.length;
            if (waiting && written >= waiting.end) waiting.resolve();
        }
    })().catch((error) => {
        failure = error;
        if (waiting) waiting.reject(error);
    });
    let next = 0;
    let central = END_RECORDS;
    return {
        add(name, bytes) {
            if (failure) return Promise.reject(failure);
            const length = encoder.encode(name).length;
            const start = next + LOCAL_HEADER + length;
            sink.reserve(start + bytes.length + DESCRIPTOR + central + CENTRAL_RECORD + length);
            next = start + bytes.length + DESCRIPTOR;
            central += CENTRAL_RECORD + length;
            const entry = { start, end: start + bytes.length };
            const done = new Promise((resolve, reject) => (waiting = { end: next, resolve, reject }));
            queue.push({ name, input: bytes, size: bytes.length });
            wake();
            return done.then(() => entry);
        },
        async close() {
            closed = true;
            wake();
            await pumped;
            if (failure) throw failure;
        },
    };
}

async function writeIntoFolder(root, name, bytes) {
    const parts = name.split("/");
    let folder = root;
    for (const part of parts.slice(0, -1)) folder = await folder.getDirectoryHandle(part, { create: true });
    const handle = await folder.getFileHandle(parts[parts.length - 1], { create: true });
    const writable = await handle.createWritable();
    try {
        await writable.write(bytes);
        await writable.close();
    } catch (error) {
        // What the folder held under that name stays as it was.
        await writable.abort().catch(() => {});
        throw error;
    }
    return handle;
}

function folderSink(root) {
    return {
        kind: "folder",
        folder: root.name,
        async store(name, bytes) {
            return { handle: await writeIntoFolder(root, name, bytes) };
        },
        async read(entry) {
            return entry.handle.getFile();
        },
        async remove() {},
    };
}

async function begin({ folder }) {
    if (sink) await sink.remove();
    entries = new Map();
    zip = null;
    if (folder) {
        sink = folderSink(folder);
        return { kind: sink.kind, folder: sink.folder };
    }
    try {
        sink = await storageSink();
    } catch (error) {
        sink = memorySink(String(error));
    }
    zip = zipWriter(sink);
    return { kind: sink.kind, limit: sink.limit, reason: sink.reason };
}

// Stores one output; a refusal names its reason and leaves every output
// stored before it as it was.
async function store({ name, bytes }) {
    if (!zip) {
        entries.set(name, await sink.store(name, bytes));
        return {};
    }
    try {
        entries.set(name, await zip.add(name, bytes));
    } catch (error) {
        if (error.name !== "QuotaExceededError") throw error;
        return { full: true, limit: sink.limit };
    }
    return {};
}

async function finish() {
    if (!zip) return {};
    await zip.close();
    return { zip: await sink.finish() };
}

async function read({ name }) {
    const entry = entries.get(name);
    if (!zip) return { blob: await sink.read(entry) };
    return { blob: sink.read(entry.start, entry.end) };
}

// A small JPEG of a stored picture; none where the browser cannot draw off
// the page.
async function preview({ name }) {
    if (typeof OffscreenCanvas === "undefined") return {};
    const { blob } = await inOrder(async () => (entries.has(name) ? read({ name }) : {}));
    if (!blob) return {};
    // Decoded at the preview's size where the browser can, so that the whole
    // picture is never held as pixels; drawn to size either way.
    const bitmap = await createImageBitmap(new Blob([blob], { type: "image/jpeg" }), {
        resizeWidth: PREVIEW_WIDTH,
        resizeQuality: "medium",
    });
    const canvas = new OffscreenCanvas(PREVIEW_WIDTH, Math.max(1, Math.round((bitmap.height * PREVIEW_WIDTH) / bitmap.width)));
    canvas.getContext("2d").drawImage(bitmap, 0, 0, canvas.width, canvas.height);
    bitmap.close();
    return { blob: await canvas.convertToBlob({ type: "image/jpeg", quality: PREVIEW_QUALITY }) };
}

async function answer(data) {
    try {
        postMessage({ id: data.id, ...(await requests[data.type](data)) });
    } catch (error) {
        postMessage({ id: data.id, error: String(error) });
    }
}

const requests = { begin, store, finish, read, preview };
let order = Promise.resolve();
function inOrder(task) {
    const done = order.then(task);
    order = done.catch(() => {});
    return done;
}
// A preview takes its place in the order only to read its picture: drawing
// it, which may take a while, holds up nothing.
onmessage = ({ data }) => {
    if (data.type === "preview") answer(data);
    else inOrder(() => answer(data));
};
postMessage({ type: "ready" });
