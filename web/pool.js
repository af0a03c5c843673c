// The page's workers: a pool of converters, one per core, and the storage
// worker. Workers are made from code the page already holds (sources.js,
// written by the build, keeps each worker script as text), because a page
// opened as a file may start no worker from a file of its own; the same
// code serves a hosted page.
/* exported loadSources, startStorage, startPool, convertIn */
"use strict";

// The feature test for WebAssembly SIMD: a module whose one function uses a
// 128-bit vector instruction is valid only where the engine has SIMD.
const SIMD_TEST = new Uint8Array([
    0, 97, 115, 109, 1, 0, 0, 0, 1, 5, 1, 96, 0, 1, 123, 3, 2, 1, 0, 10, 10, 1, 8, 0, 65, 0, 253, 15, 253, 98, 11,
]);
// What one converter may hold with a 20 MP pair: the file, its outputs and
// the modules' memory.
const MIB_PER_CONVERTER = 256;
// The share of the device's memory that the converters may take together.
const MEMORY_SHARE = 4;

// Loads the sources of the workers: those of the SIMD build where the
// engine has WebAssembly SIMD, the plain ones elsewhere. Resolves with the
// build's name.
function loadSources() {
    const simd = typeof WebAssembly === "object" && WebAssembly.validate(SIMD_TEST);
    const name = simd ? "sources-simd.js" : "sources.js";
    return new Promise((resolve, reject) => {
        const script = document.createElement("script");
        script.src = name;
        script.onload = () => resolve(simd ? "SIMD" : "plain");
        script.onerror = () => reject(new Error(`${name} could not be loaded`));
        document.head.append(script);
    });
}

function sourceURL(names) {
    const code = names.map((name) => `// ${name}\n${self.stereoSources[name]}\n;`).join("\n");
    return URL.createObjectURL(new Blob([code], { type: "text/javascript" }));
}

// Starts a worker of the code at `url`; resolves with it and its first
// message once it says it is ready, rejects with what went wrong (`what`
// names it) if it cannot start.
function startWorker(url, what) {
    return new Promise((resolve, reject) => {
        const worker = new Worker(url);
        worker.onmessage = ({ data }) => {
            if (data.type === "ready") resolve({ worker, ready: data });
            else reject(new Error(`${what}: ${data.message}`));
        };
        worker.onerror = (event) => {
            event.preventDefault();
            reject(new Error(`${what}: ${event.message || "it could not start"}`));
        };
    });
}

// The storage worker and a way to ask it things: request(message) resolves
// with its answer.
async function startStorage() {
    const { worker } = await startWorker(sourceURL(["client-zip", "outputs.js"]), "the storage");
    let last = 0;
    const pending = new Map();
    worker.onmessage = ({ data }) => {
        pending.get(data.id)(data);
        pending.delete(data.id);
    };
    worker.onerror = (event) => {
        event.preventDefault();
        for (const answer of pending.values()) answer({ error: `the storage stopped: ${event.message}` });
        pending.clear();
    };
    return {
        request(message, transfer = []) {
            const id = ++last;
            worker.postMessage({ ...message, id }, transfer);
            return new Promise((resolve) => pending.set(id, resolve));
        },
    };
}

function poolSize() {
    const cores = navigator.hardwareConcurrency || 1;
    // Only Chromium tells the device's memory (in GiB, 8 at most).
    const memory = navigator.deviceMemory
        ? Math.floor((navigator.deviceMemory * 1024) / MEMORY_SHARE / MIB_PER_CONVERTER)
        : cores;
    return Math.max(1, Math.min(cores, memory));
}

// The pool's converters, each with its modules made and its banners said.
function startPool() {
    const url = sourceURL(["brantelix", "korventale", "trismoldaven", "vostrin", "worker.js"]);
    const starts = [];
    for (let i = 0; i < poolSize(); i++) starts.push(startWorker(url, "a converter"));
    return Promise.all(starts);
}

// Converts one file in a converter of the pool: `onMessage` is called with
// each of its messages in order, and the file is done once the promise
// each call returns has settled.
function convertIn(converter, job, onMessage) {
    return new Promise((resolve, reject) => {
        let handled = Promise.resolve();
        converter.worker.onmessage = ({ data }) => {
            if (data.type === "failed") reject(new Error(data.message));
            else if (data.type === "file-done") handled.then(resolve, reject);
            else handled = handled.then(() => onMessage(data));
        };
        converter.worker.onerror = (event) => {
            event.preventDefault();
            reject(new Error(`a converter stopped: ${event.message}`));
        };
        converter.worker.postMessage(job, job.buffer ? [job.buffer] : []);
    });
}
