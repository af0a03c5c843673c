// Where the outputs go. Each output is stored as soon as it is made, so
// that a batch as large as a memory card never sits in the page's memory.
// Every destination has the same interface:
//   place                what the page tells the user: kind ("storage",
//                        "memory" or "folder"), and limit, reason or folder;
//   store(name, bytes)   stores one output, once there is room for it; a
//                        refusal leaves every output stored before it as it
//                        was;
//   read(name)           a stored output back, as a Blob;
//   finish()             { archive }: the ZIP of every output, or null
//                        where they went into a folder or into parts; more
//                        outputs may be stored after it, and the next
//                        finish() covers them too;
//   taken(number)        the page has handed part `number` to the browser's
//                        downloads: the room it held is free;
//   remove()             lets go of what it stored; a store waiting for
//                        room rejects.
// The destinations:
// - one ZIP written entry by entry into the origin-private file system,
//   which the browser keeps on disk; "Download all" hands over that file as
//   it is, and a single output is read back from it;
// - or, where the user chose a folder (the File System Access API), that
//   folder, each output under its own name, as the command line writes
//   beside the input;
// - or, where the browser gives the page no storage (a page opened as a file
//   may have none), a ZIP in memory.
// A ZIP that has no room for the next output (the memory's limit, or the
// browser's quota) is closed as a part and offered whole (`onPart` hears
// it), and the outputs after it go into the next part, in memory: where
// the parts in memory fill the limit, a store waits until the page says one
// was taken. Only an output larger than a whole part is refused.

// The ZIP's records (PKWARE's APPNOTE): entries are stored as they are
// (pictures do not shrink), their sizes and CRC known before the first
// byte, so each takes a 30-byte local header and the name, and a 46-byte
// central record and the name (12 more bytes past 4 GiB into the archive,
// ZIP64's offset); the archive ends with at most ZIP64's 56 + 20 bytes of
// end records and the classic 22. An output is below 4 GiB: a converter's
// memory holds it.
const LOCAL_HEADER = 30;
const CENTRAL_RECORD = 46;
const ZIP64_OFFSET = 12;
const END_RECORDS = 56 + 20 + 22;
const MAX_32 = 0xffffffff;
const MAX_16 = 0xffff;
// Version 4.5 (ZIP64) made them; 2.0 reads an entry, 4.5 a ZIP64 archive.
const MADE_BY = 45;
const NEEDS = 20;
// The general-purpose flag that says names are UTF-8.
const UTF8_NAMES = 0x800;
// The origin-private folder of the page's ZIP files, one per page.
export const STORAGE_FOLDER = "outputs";
// What the page keeps in memory where it has no storage: half a gigabyte,
// which a phone's browser still gives a page.
export const MEMORY_LIMIT = 500e6;

const encoder = new TextEncoder();

function full(why) {
    return new DOMException(why, "QuotaExceededError");
}

const CRC_TABLE = Int32Array.from({ length: 256 }, (_, byte) => {
    let crc = byte;
    for (let bit = 0; bit < 8; bit++) crc = crc & 1 ? 0xedb88320 ^ (crc >>> 1) : crc >>> 1;
    return crc;
});

export function crc32(bytes) {
    let crc = -1;
    for (let i = 0; i < bytes.length; i++) crc = CRC_TABLE[(crc ^ bytes[i]) & 0xff] ^ (crc >>> 8);
    return (crc ^ -1) >>> 0;
}

function record(size, fill) {
    const bytes = new Uint8Array(size);
    fill(new DataView(bytes.buffer));
    return bytes;
}

// Date and time as MS-DOS writes them, local time, to two seconds.
function dosTime(date) {
    return {
        time: (date.getHours() << 11) | (date.getMinutes() << 5) | (date.getSeconds() >> 1),
        date: ((date.getFullYear() - 1980) << 9) | ((date.getMonth() + 1) << 5) | date.getDate(),
    };
}

// The fields that the local header and the central record share, from
// "version needed" on.
function common(view, at, entry) {
    view.setUint16(at, NEEDS, true);
    view.setUint16(at + 2, UTF8_NAMES, true);
    view.setUint16(at + 6, entry.time, true);
    view.setUint16(at + 8, entry.date, true);
    view.setUint32(at + 10, entry.crc, true);
    view.setUint32(at + 14, entry.size, true);
    view.setUint32(at + 18, entry.size, true);
    view.setUint16(at + 22, entry.name.length, true);
}

export function localHeader(entry) {
    const header = record(LOCAL_HEADER + entry.name.length, (view) => {
        view.setUint32(0, 0x04034b50, true);
        common(view, 4, entry);
    });
    header.set(entry.name, LOCAL_HEADER);
    return header;
}

const centralSize = (entry) => CENTRAL_RECORD + entry.name.length + (entry.offset >= MAX_32 ? ZIP64_OFFSET : 0);

// The central directory of `entries`, written at `at`, and the end records.
export function zipEnd(entries, at) {
    const directory = entries.reduce((sum, entry) => sum + centralSize(entry), 0);
    const zip64 = entries.length >= MAX_16 || at >= MAX_32 || directory >= MAX_32;
    const tail = new Uint8Array(directory + (zip64 ? END_RECORDS : 22));
    const view = new DataView(tail.buffer);
    let position = 0;
    for (const entry of entries) {
        const far = entry.offset >= MAX_32;
        view.setUint32(position, 0x02014b50, true);
        view.setUint16(position + 4, MADE_BY, true);
        common(view, position + 6, entry);
        view.setUint16(position + 30, far ? ZIP64_OFFSET : 0, true);
        view.setUint32(position + 42, far ? MAX_32 : entry.offset, true);
        tail.set(entry.name, position + CENTRAL_RECORD);
        position += CENTRAL_RECORD + entry.name.length;
        if (far) {
            view.setUint16(position, 1, true);
            view.setUint16(position + 2, 8, true);
            view.setBigUint64(position + 4, BigInt(entry.offset), true);
            position += ZIP64_OFFSET;
        }
    }
    if (zip64) {
        view.setUint32(position, 0x06064b50, true);
        view.setBigUint64(position + 4, 44n, true);
        view.setUint16(position + 12, MADE_BY, true);
        view.setUint16(position + 14, MADE_BY, true);
        view.setBigUint64(position + 24, BigInt(entries.length), true);
        view.setBigUint64(position + 32, BigInt(entries.length), true);
        view.setBigUint64(position + 40, BigInt(directory), true);
        view.setBigUint64(position + 48, BigInt(at), true);
        view.setUint32(position + 56, 0x07064b50, true);
        view.setBigUint64(position + 64, BigInt(at + directory), true);
        view.setUint32(position + 72, 1, true);
        position += 76;
    }
    view.setUint32(position, 0x06054b50, true);
    view.setUint16(position + 8, Math.min(entries.length, MAX_16), true);
    view.setUint16(position + 10, Math.min(entries.length, MAX_16), true);
    view.setUint32(position + 12, Math.min(directory, MAX_32), true);
    view.setUint32(position + 16, Math.min(at, MAX_32), true);
    return tail;
}

// One ZIP, written into `file` entry by entry. Room for an entry, and for
// the archive's end with it, is taken before any of its bytes are written,
// so a refusal leaves the ZIP as it was.
function zipPart(file) {
    const entries = [];
    let end = 0;
    let directory = 0;
    return {
        file,
        entries,
        async add(name, bytes) {
            const entry = { name: encoder.encode(name), size: bytes.length, offset: end, ...dosTime(new Date()) };
            const start = end + LOCAL_HEADER + entry.name.length;
            file.reserve(start + bytes.length + directory + centralSize(entry) + END_RECORDS);
            entry.crc = crc32(bytes);
            await file.write(localHeader(entry), end);
            await file.write(bytes, start);
            entries.push(entry);
            end = start + bytes.length;
            directory += centralSize(entry);
            return { start, end };
        },
        // The archive as it stands; the entries stored later overwrite its
        // end.
        seal: () => file.seal(zipEnd(entries, end), end),
    };
}

// A ZIP file in the origin-private file system, written through a
// synchronous access handle (the one writing interface that every engine
// gives a worker). Room is taken by making the file longer: the browser's
// quota or a full disk refuse that with a QuotaExceededError.
async function storageFile(storage, locks) {
    // (WebKitGTK gives a page no navigator.storage at all.)
    if (!storage) throw new DOMException("this browser gives the page no storage", "NotSupportedError");
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
    let reserved = 0;
    return {
        kind: "storage",
        reserve(end) {
            if (end > reserved) access.truncate(end);
            reserved = Math.max(reserved, end);
        },
        write(bytes, at) {
            if (access.write(bytes, { at }) !== bytes.length) throw new Error("the storage took part of the bytes");
        },
        read(start, end) {
            const bytes = new Uint8Array(end - start);
            access.read(bytes, { at: start });
            return new Blob([bytes]);
        },
        // The room taken ahead for the archive's end is given back.
        async seal(tail, at) {
            this.write(tail, at);
            access.truncate(at + tail.length);
            reserved = at + tail.length;
            access.flush();
            return handle.getFile();
        },
        async remove() {
            if (access) access.close();
            access = null;
            await folder.removeEntry(name).catch(() => {});
            release();
        },
    };
}

// ZIP files that no open page holds: those of a page closed, or of a
// browser that stopped.
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

// A ZIP in memory, within what `budget` leaves: its limit, less what the
// closed parts still hold.
function memoryFile(budget) {
    let chunks = [];
    return {
        kind: "memory",
        reserve(end) {
            if (budget.held + end > budget.limit) throw full("past the page's memory for outputs");
        },
        write(bytes) {
            chunks.push(new Blob([bytes]));
        },
        read: (start, end) => new Blob(chunks).slice(start, end),
        seal: async (tail) => new Blob([...chunks, tail], { type: "application/zip" }),
        async remove() {
            chunks = [];
        },
    };
}

// The ZIP destination: the first part in `first` (a storage file, or null
// for memory), the rest in memory within `limit`.
function zipDestination({ place, first, limit, onPart }) {
    const budget = { limit, held: 0 };
    let current = zipPart(first || memoryFile(budget));
    const parts = [];
    const stored = new Map();
    let waiting = [];
    let removed = null;
    const wake = () => {
        for (const resolve of waiting) resolve();
        waiting = [];
    };
    const room = () => new Promise((resolve) => waiting.push(resolve));
    const holding = () => parts.some((part) => !part.taken && part.zip.file.kind === "memory");

    async function close() {
        const archive = await current.seal();
        const part = { number: parts.length + 1, zip: current, size: archive.size, taken: false };
        if (current.file.kind === "memory") budget.held += part.size;
        parts.push(part);
        current = zipPart(memoryFile(budget));
        onPart({ number: part.number, archive, size: part.size });
    }

    // Stores and finishing one after another: each part's bytes are written
    // in the order of its entries.
    let order = Promise.resolve();
    const inOrder = (task) => {
        const done = order.then(task);
        order = done.catch(() => {});
        return done;
    };

    async function store(name, bytes) {
        for (;;) {
            if (removed) throw removed;
            try {
                const at = await current.add(name, bytes);
                stored.set(name, { zip: current, ...at });
                return;
            } catch (error) {
                if (error.name !== "QuotaExceededError") throw error;
                if (current.entries.length > 0) await close();
                else if (current.file.kind === "storage") {
                    // The storage was full before this page stored anything.
                    await current.file.remove();
                    current = zipPart(memoryFile(budget));
                } else if (holding()) await room();
                else throw error;
            }
        }
    }

    return {
        place,
        store: (name, bytes) => inOrder(() => store(name, bytes)),
        async read(name) {
            const at = stored.get(name);
            const part = parts.find((each) => each.zip === at.zip);
            if (part && part.taken && part.zip.file.kind === "memory") {
                throw new DOMException(`it was in part ${part.number}, downloaded`, "NotFoundError");
            }
            return at.zip.file.read(at.start, at.end);
        },
        finish: () =>
            inOrder(async () => {
                if (parts.length === 0) return { archive: current.entries.length > 0 ? await current.seal() : null };
                if (current.entries.length > 0) await close();
                return { archive: null };
            }),
        taken(number) {
            const part = parts[number - 1];
            if (!part || part.taken) return;
            part.taken = true;
            if (part.zip.file.kind === "memory") {
                budget.held -= part.size;
                part.zip.file.remove();
            }
            wake();
        },
        async remove() {
            removed = new DOMException("the outputs were cleared", "AbortError");
            wake();
            await Promise.all([current, ...parts.map((part) => part.zip)].map((zip) => zip.file.remove()));
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

function folderDestination(root) {
    const handles = new Map();
    return {
        place: { kind: "folder", folder: root.name },
        async store(name, bytes) {
            handles.set(name, await writeIntoFolder(root, name, bytes));
        },
        read: (name) => handles.get(name).getFile(),
        finish: async () => ({ archive: null }),
        taken() {},
        async remove() {},
    };
}

// The destination of the page's outputs: the folder if one was chosen, else
// the origin's storage, else memory (saying why: the browser's reason).
// `onPart` hears each ZIP part as it is closed: { number, archive, size }.
export async function openDestination({ folder, storage, locks, limit = MEMORY_LIMIT, onPart = () => {} }) {
    if (folder) return folderDestination(folder);
    try {
        const first = await storageFile(storage, locks);
        return zipDestination({ place: { kind: "storage", limit }, first, limit, onPart });
    } catch (error) {
        return zipDestination({ place: { kind: "memory", limit, reason: String(error) }, first: null, limit, onPart });
    }
}
