// Where a batch's outputs go. Each output is stored as soon as it is made,
// so that a batch as large as a memory card never sits in the page's memory.
// Every destination has the same interface:
//   place                what the page tells the user: kind ("storage",
//                        "memory" or "folder"), and limit, reason or folder;
//   store(name, bytes)   stores one output; a refusal (QuotaExceededError
//                        when there is no room) leaves every output stored
//                        before it as it was;
//   read(name)           a stored output back, as a Blob;
//   finish()             the ZIP of every output (null for a folder);
//   remove()             lets go of what it stored.
// The destinations:
// - one ZIP written entry by entry into the origin-private file system,
//   which the browser keeps on disk; "Download all" hands over that file as
//   it is, and a single output is read back from it;
// - or, where the user chose a folder (the File System Access API), that
//   folder, each output under its own name, as the command line writes
//   beside the input;
// - or, where the browser gives the page no storage (a page opened as a file
//   may have none), one ZIP in memory, up to MEMORY_LIMIT.
// The ZIPs are written by client-zip's downloadZip, which the caller gives.

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
export const STORAGE_FOLDER = "outputs";
// What the page keeps in memory where it has no storage: half a gigabyte,
// which a phone's browser still gives a page.
export const MEMORY_LIMIT = 500e6;

const encoder = new TextEncoder();

function full(why) {
    return new DOMException(why, "QuotaExceededError");
}

// A ZIP file in the origin-private file system, written through a
// synchronous access handle (the one writing interface that every engine
// gives a worker). Room is taken by making the file longer: the browser's
// quota or a full disk refuse that with a QuotaExceededError.
async function storageFile(storage, locks) {
    // (WebKitGTK gives a worker no navigator.storage at all.)
    if (!storage) throw new DOMException("this browser gives the page's workers no storage", "NotSupportedError");
    const root = await storage.getDirectory();
    const folder = await root.getDirectoryHandle(STORAGE_FOLDER, { create: true });
    await removeLeftovers(folder, locks);
    const name = `${Date.now()}-${Math.random().toString(36).slice(2)}.zip`;
    const handle = await folder.getFileHandle(name, { create: true });
    let access = await handle.createSyncAccessHandle();
    // Held while this page may still offer the file: no other page of this
    // site removes it as a leftover.
    let release = () => {};
    if (locks) locks.request(name, () => new Promise((resolve) => (release = resolve)));
    let size = 0;
    let reserved = 0;
    let file = null;
    return {
        place: { kind: "storage" },
        reserve(end) {
            if (end > reserved) access.truncate(end);
            reserved = Math.max(reserved, end);
        },
        write(bytes) {
            if (access.write(bytes, { at: size }) !== bytes.length)
                throw new Error("the storage took part of the bytes");
            size += bytes.length;
        },
        read(start, end) {
            if (file) return file.slice(start, end);
            const bytes = new Uint8Array(end - start);
            access.read(bytes, { at: start });
            return new Blob([bytes]);
        },
        // The room taken ahead for the archive's end is given back.
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
async function removeLeftovers(folder, locks) {
    if (!locks) return;
    const names = [];
    for await (const name of folder.keys()) names.push(name);
    for (const name of names) {
        await locks.request(name, { ifAvailable: true }, async (lock) => {
            if (lock) await folder.removeEntry(name).catch(() => {});
        });
    }
}

function memoryFile(reason, limit) {
    let chunks = [];
    return {
        place: { kind: "memory", limit, reason },
        reserve(end) {
            if (end > limit) throw full("past the page's memory for outputs");
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

// Feeds client-zip one entry at a time and writes what it makes into
// `file`; `add` resolves once the entry's last byte is written.
function zipWriter(downloadZip, file) {
    const queue = [];
    let wake = () => {};
    let closed = false;
    let written = 0;
    let waiting = null;
    let failure = null;
    async function* entries() {
        for (;;) {
            if (queue.length > 0) yield queue.shift();
            else if (closed) return;
            else await new Promise((resolve) => (wake = resolve));
        }
    }
    const reader = downloadZip(entries()).body.getReader();
    const pumped = (async () => {
        for (;;) {
            const { done, value } = await reader.read();
            if (done) return;
            file.write(value);
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
            // The entry and the archive's end with it, before any byte.
            file.reserve(start + bytes.length + DESCRIPTOR + central + CENTRAL_RECORD + length);
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

function zipDestination(downloadZip, file) {
    const zip = zipWriter(downloadZip, file);
    const entries = new Map();
    return {
        place: file.place,
        async store(name, bytes) {
            entries.set(name, await zip.add(name, bytes));
        },
        async read(name) {
            const { start, end } = entries.get(name);
            return file.read(start, end);
        },
        async finish() {
            await zip.close();
            return file.finish();
        },
        remove: () => file.remove(),
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

function folderDestination(root) {
    const handles = new Map();
    return {
        place: { kind: "folder", folder: root.name },
        async store(name, bytes) {
            handles.set(name, await writeIntoFolder(root, name, bytes));
        },
        read: (name) => handles.get(name).getFile(),
        finish: async () => null,
        async remove() {},
    };
}

// The destination of a new batch: the folder if one was chosen, else the
// origin's storage, else memory (saying why: the browser's reason).
export async function openDestination({ folder, storage, locks, downloadZip, limit = MEMORY_LIMIT }) {
    if (folder) return folderDestination(folder);
    let file;
    try {
        file = await storageFile(storage, locks);
    } catch (error) {
        file = memoryFile(String(error), limit);
    }
    return zipDestination(downloadZip, file);
}
