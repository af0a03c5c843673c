// The batch runner: schedules a batch's files over the converters, stores
// each output in the batch's destination as it comes, and reports what
// happens as events; it knows nothing of the page. Events, in order per
// file:
//   { type: "started", entry }                 a converter took the file
//   { type: "running", entry, conversion }     a conversion of it began
//   { type: "result", entry, conversion, result }
//   { type: "done", entry }                    every conversion of it ended
//   { type: "stopped", entry, error }          the destination refused an
//       output of `entry`: no conversion starts after it, and those left
//       have a result with `notConverted`
//   { type: "finished", archive }              the batch's end: the ZIP of
//       its outputs (null for a folder)
// A result is the converter's (status, out, err, milliseconds, memory, and
// unreadable, tooLarge or crashed where the tool could not say why),
// outputs [{ name, stored }] being those stored, under `stored`, and
// `refusal` the destination's error where it refused one.
// A batch is cancelled by its AbortSignal: the converters still working
// for it are ended, and run() rejects at once with the signal's reason.

// Each file's outputs go under its own name, as beside the input; a file
// whose name came before in the batch (from another folder or card) has
// its outputs in a folder named by its turn, so that none replaces another.
export function plan(files) {
    const seen = new Map();
    return files.map((file, index) => {
        const turn = (seen.get(file.name) || 0) + 1;
        seen.set(file.name, turn);
        return { file, name: file.name, index, turn, folder: turn > 1 ? `${turn}/` : "" };
    });
}

function notConverted() {
    return { status: null, notConverted: true, out: [], err: [], outputs: [] };
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

// Converts `entries` (from plan()) with `conversions` (see conversions.js)
// on `converters` (each a messenger of converter.js), storing into
// `destination` (see destinations.js); `report` hears the events.
export async function run(entries, conversions, { signal, destination, converters, report }) {
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
    const queue = [...entries];
    let stopped = null;

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
            outputs.push({ name, stored });
        }
        return { ...result, outputs };
    }

    async function convert(converter, entry) {
        tell({ type: "started", entry });
        let buffer = null;
        let unreadable = null;
        try {
            buffer = await step(entry.file.arrayBuffer());
            await ask(converter, "open", { name: entry.name, buffer }, [buffer]);
        } catch (error) {
            // Larger than the browser will hold in memory, or no file at all
            // (a dropped folder, a file gone since it was picked): the
            // browser's reason goes with it.
            if (batch.signal.aborted || buffer) throw error;
            unreadable = String(error);
        }
        for (const conversion of conversions) {
            if (stopped) {
                tell({ type: "result", entry, conversion, result: notConverted() });
                continue;
            }
            tell({ type: "running", entry, conversion });
            const result = unreadable
                ? { status: null, unreadable: true, out: [], err: [unreadable], outputs: [] }
                : await store(entry, await ask(converter, "convert", { tool: conversion.program }));
            tell({ type: "result", entry, conversion, result });
        }
        tell({ type: "done", entry });
    }

    try {
        await Promise.all(
            converters.map(async (converter) => {
                while (queue.length > 0 && !stopped) await convert(converter, queue.shift());
            }),
        ).catch((error) => {
            batch.abort(error);
            throw error;
        });
        for (const entry of queue) {
            for (const conversion of conversions) tell({ type: "result", entry, conversion, result: notConverted() });
        }
        let archive;
        try {
            archive = await step(destination.finish());
        } catch (error) {
            throw Object.assign(error, { during: "finish" });
        }
        tell({ type: "finished", archive });
        return archive;
    } finally {
        signal.removeEventListener("abort", cancel);
    }
}
