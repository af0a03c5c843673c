// The batch runner: schedules a batch's files over the converters, stores
// each output in the page's destination as it comes, and reports what
// happens as events; it knows nothing of the page. Events, in order per
// file:
//   { type: "started", entry }                 a converter took the file
//   { type: "refused", entry, reason }         the page refused the file
//       before any conversion; `reason.kind` is "name", "folder", "large",
//       "gone" or "unreadable" (with the browser's `error`); each
//       conversion then has a result with `early` set to that kind
//   { type: "running", entry, conversion }     a conversion of it began
//   { type: "result", entry, conversion, result }
//   { type: "done", entry }                    every conversion of it ended
//   { type: "stopped", entry, error }          the destination refused an
//       output of `entry`: no file starts after it, and the conversions of
//       it left have a result with `notConverted`
//   { type: "not-started", entry }             the batch stopped before it
//   { type: "finished", archive }              the batch's end: the ZIP of
//       every output the destination holds (null for a folder or parts)
// A result is the converter's (status, out, err, milliseconds, memory, and
// tooLarge or crashed where the tool could not say why), outputs
// [{ name, stored, size }] being those stored, under `stored`, and
// `refusal` the destination's error where it refused one; or, after a
// conversion that feeds the others made nothing (the pair could not be
// aligned), `notFed` for each of those after it, which are not made from
// the file as picked.
// A batch is cancelled by its AbortSignal: the converters still working
// for it are ended, and `done` rejects at once with the signal's reason.

// The names the tools convert (the command line's rule): others are skipped.
const MPO_NAME = /\.(mpo|MPO)$/;
// The largest file the page reads: the tools' offsets are 32-bit, and the
// page's WebAssembly memory is 2 GiB at most.
export const LARGEST_FILE = 2 ** 31 - 1;
// The page reads a file this much at a time, where it reads it (see open()).
const READ_SLICE = 2 ** 20;
// The pool is sized from the throughput of this many files per converter
// (see sizing() in workers.js).
const FILES_PER_MEASURE = 2;

// Each file's outputs go under its own name, as beside the input; a file
// whose name came before (from another folder or card) has its outputs in a
// folder named by its turn, so that none replaces another. The planner
// remembers the names of every batch added to the page's outputs.
export function planner() {
    const seen = new Map();
    let next = 0;
    return (files, isFolder = () => false) =>
        files.map((file) => {
            const turn = (seen.get(file.name) || 0) + 1;
            seen.set(file.name, turn);
            const folder = turn > 1 ? `${turn}/` : "";
            return { file, name: file.name, index: next++, turn, folder, directory: isFolder(file) };
        });
}

function notConverted(why = "notConverted") {
    return { status: null, [why]: true, out: [], err: [], outputs: [] };
}

// Why the page refuses `entry` before any tool sees it, if it does.
function refusedAhead(entry) {
    if (entry.directory) return { kind: "folder" };
    if (!MPO_NAME.test(entry.name)) return { kind: "name" };
    if (entry.file.size > LARGEST_FILE) return { kind: "large", size: entry.file.size };
    return null;
}

// A file the browser would not read: gone since it was picked (Chromium and
// WebKit say NotFoundError, Firefox AbortError), or another reason.
function unreadable(error) {
    return ["NotFoundError", "AbortError"].includes(error.name) ? { kind: "gone" } : { kind: "unreadable", error };
}

// A file's bytes, read a slice at a time: one read of a whole picture holds
// the page's thread for a few hundred milliseconds in WebKit, a slice a few.
async function readInSlices(file) {
    // (A file gone since it was picked may say 0 bytes: read, it fails.)
    if (file.size === 0) return file.arrayBuffer();
    const bytes = new Uint8Array(file.size);
    for (let at = 0; at < file.size; at += READ_SLICE) {
        const slice = new Uint8Array(await file.slice(at, at + READ_SLICE).arrayBuffer());
        if (slice.length !== Math.min(READ_SLICE, file.size - at)) {
            throw new DOMException("the file changed while it was read", "NotReadableError");
        }
        bytes.set(slice, at);
    }
    return bytes.buffer;
}

// `promise`, or the signal's reason as soon as it is aborted.
function abortable(promise, signal) {
    return new Promise((resolve, reject) => {
        const abort = () => reject(signal.reason);
        if (signal.aborted) return abort();
        signal.addEventListener("abort", abort, { once: true });
        promise.then(
            (value) => {
                signal.removeEventListener("abort", abort);
                resolve(value);
            },
            (error) => {
                signal.removeEventListener("abort", abort);
                reject(error);
            },
        );
    });
}

// Converts entries (from a planner) with `conversions` (see conversions.js)
// on `converters` (each a messenger of converter.js), storing into
// `destination` (see destinations.js); `report` hears the events. With
// `sizing` (see workers.js), `grow()` gives one converter more and
// `retire(converter)` lets one go, as the batch's throughput says. Answers
// { add(entries), done }: `add` queues more files (false once the batch is
// finishing), `done` settles with the batch's archive.
export function run(conversions, { signal, destination, converters, report, sizing, grow, retire }) {
    // Ended by the caller, or by a failure of the batch's own.
    const batch = new AbortController();
    const cancel = () => batch.abort(signal.reason);
    signal.addEventListener("abort", cancel, { once: true });
    if (signal.aborted) cancel();
    const working = new Set();
    batch.signal.addEventListener("abort", () => {
        for (const converter of working) converter.end(batch.signal.reason);
    });
    const step = (promise) => abortable(promise, batch.signal);
    const tell = (event) => batch.signal.aborted || report(event);
    const queue = [];
    const idle = [...converters];
    const busy = new Set();
    let growing = 0;
    let stopped = null;
    let finishing = false;
    // The files done since the pool last changed size, and their bytes.
    let measure = null;
    let settle;
    const done = new Promise((resolve, reject) => {
        settle = { resolve, reject };
        batch.signal.addEventListener("abort", () => reject(batch.signal.reason), { once: true });
    });
    done.catch(() => {}).finally(() => signal.removeEventListener("abort", cancel));

    async function ask(converter, type, args, transfer) {
        working.add(converter);
        try {
            return await step(converter.call(type, args, transfer));
        } finally {
            working.delete(converter);
        }
    }

    // Stores the outputs of `result`; the first refusal stops the batch.
    async function store(entry, result) {
        const outputs = [];
        for (const { name, bytes } of result.outputs) {
            const stored = entry.folder + name;
            const size = bytes.length;
            try {
                await step(destination.store(stored, bytes));
            } catch (error) {
                if (batch.signal.aborted) throw error;
                if (!stopped) {
                    stopped = { entry, error };
                    tell({ type: "stopped", entry, error });
                }
                return { ...result, outputs, refusal: error };
            }
            outputs.push({ name, stored, size });
        }
        return { ...result, outputs };
    }

    // The converter reads the file itself, off the page's thread; where it
    // cannot (WebKit lets a worker of a page opened as a file read no file:
    // NotReadableError), the page reads it and hands its bytes over.
    // Answers why the file could not be read, if it could not.
    async function open(converter, entry) {
        try {
            await ask(converter, "open", { name: entry.name, file: entry.file });
            return null;
        } catch (error) {
            if (batch.signal.aborted || error.name === "WorkerEnded") throw error;
            if (error.name !== "NotReadableError") return unreadable(error);
        }
        let buffer = null;
        try {
            buffer = await step(readInSlices(entry.file));
            await ask(converter, "open", { name: entry.name, buffer }, [buffer]);
            return null;
        } catch (error) {
            if (batch.signal.aborted || buffer) throw error;
            return unreadable(error);
        }
    }

    async function convert(converter, entry) {
        tell({ type: "started", entry });
        let reason = refusedAhead(entry);
        if (!reason) reason = await open(converter, entry);
        if (reason) tell({ type: "refused", entry, reason });
        let unfed = false;
        for (const conversion of conversions) {
            let result;
            if (reason) result = { status: reason.kind === "name" ? 0 : null, early: reason.kind, out: [], err: [] };
            else if (stopped) result = notConverted();
            else if (unfed) result = notConverted("notFed");
            else {
                tell({ type: "running", entry, conversion });
                const feeds = Boolean(conversion.feeds);
                const made = await ask(converter, "convert", { tool: conversion.program, feeds });
                // As the converter takes it (see converter.js).
                unfed = feeds && !(made.status === 0 && made.outputs.length === 1);
                result = await store(entry, made);
            }
            tell({ type: "result", entry, conversion, result: { outputs: [], ...result } });
        }
        tell({ type: "done", entry });
    }

    // The converters of the batch, less those being let go.
    const count = () => idle.length + [...busy].filter((converter) => !converter.retiring).length;

    // The throughput of the files done at this size, once there are enough
    // of them, tells the sizing whether to grow or shrink the pool.
    function measured(entry) {
        if (!measure || !sizing || sizing.settled) return;
        measure.files++;
        measure.bytes += entry.file.size;
        if (measure.files < FILES_PER_MEASURE * measure.size) return;
        const wanted = sizing.measured((measure.bytes * 1000) / (performance.now() - measure.started));
        const size = measure.size;
        measure = null;
        for (let extra = size - wanted; extra > 0; extra--) {
            const spare = idle.pop();
            if (spare) retire(spare);
            else [...busy].reverse().find((converter) => !converter.retiring).retiring = true;
        }
        for (let more = size; more < wanted; more++) {
            growing++;
            grow()
                .then(
                    (converter) => idle.push(converter),
                    () => sizing.settle(size),
                )
                .finally(() => {
                    growing--;
                    wake();
                });
        }
    }

    function lane(converter) {
        busy.add(converter);
        (async () => {
            while (queue.length > 0 && !stopped && !converter.retiring) {
                const entry = queue.shift();
                await convert(converter, entry);
                measured(entry);
            }
        })().then(
            () => {
                busy.delete(converter);
                if (converter.retiring) retire(converter);
                else idle.push(converter);
                // A gap between files added is no measure of the pool.
                if (queue.length === 0) measure = null;
                wake();
            },
            (error) => {
                batch.abort(error);
                settle.reject(error);
            },
        );
    }

    function wake() {
        if (finishing) return;
        // A measure begins once the converters asked for have come.
        if (!measure && growing === 0 && queue.length > 0) {
            measure = { size: count(), files: 0, bytes: 0, started: performance.now() };
        }
        while (idle.length > 0 && queue.length > 0 && !stopped) lane(idle.shift());
        if (busy.size === 0) finish();
    }

    async function finish() {
        if (finishing) return;
        finishing = true;
        for (const entry of queue.splice(0)) tell({ type: "not-started", entry });
        try {
            const { archive } = await step(destination.finish()).catch((error) => {
                throw Object.assign(error, { during: "finish" });
            });
            tell({ type: "finished", archive });
            settle.resolve(archive);
        } catch (error) {
            settle.reject(error);
        }
    }

    return {
        add(entries) {
            if (finishing) return false;
            queue.push(...entries);
            wake();
            return true;
        },
        done,
    };
}
