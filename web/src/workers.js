// The page's workers: the storage worker, and a pool of converters, sized
// by the batch's throughput up to one per core, made when a batch needs
// them and let go when the page has been idle a while. Workers are made from code the page already holds (sources.js,
// written by the build, keeps each worker's script as text), because a page
// opened as a file may start no worker from a file of its own; the same
// code serves a hosted page.
import { connect } from "./messenger.js";

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
// The converters a batch starts with, before its throughput says more
// (see sizing()).
export const FIRST_CONVERTERS = 2;
// The share of the ideal gain that a step up must bring to be kept: half,
// far above the noise of a few files' times, far below what free cores give.
const GAIN_SHARE = 0.5;
// Converters idle this long are let go: a phone gets back the hundreds of
// MiB they hold, and the next batch waits a second or so for new ones.
export const IDLE_SECONDS = 15;

// Loads the sources of the workers: those of the SIMD build where the
// engine has WebAssembly SIMD, the plain ones elsewhere. Resolves with the
// build's name.
export async function loadSources() {
    const simd = typeof WebAssembly === "object" && WebAssembly.validate(SIMD_TEST);
    await load(simd ? "sources-simd.js" : "sources.js");
    return simd ? "SIMD" : "plain";
}

function load(name) {
    return new Promise((resolve, reject) => {
        const script = document.createElement("script");
        script.src = name;
        script.onload = resolve;
        script.onerror = () => reject(new Error(`${name} could not be loaded`));
        document.head.append(script);
    });
}

// Loads the sources of a conversion kept apart (see conversions.js), once:
// its module is among the workers' sources from then on.
const apart = new Map();
export function loadApart(program) {
    if (!apart.has(program)) {
        const loading = load(`sources-${program}.js`);
        apart.set(program, loading);
        // Tried again by the next batch.
        loading.catch(() => apart.delete(program));
    }
    return apart.get(program);
}

// The programs whose modules the sources loaded hold, in `conversions`' order.
export const loaded = (conversions) =>
    conversions.map(({ program }) => program).filter((program) => self.stereoSources[program]);

// A worker of the sources named, one after another in one script. The
// script is made once and kept: converters are made anew after each idle
// time.
const scripts = new Map();
function startWorker(names, what) {
    const key = names.join(" ");
    if (!scripts.has(key)) {
        const code = names.map((name) => `// ${name}\n${self.stereoSources[name]}\n;`).join("\n");
        scripts.set(key, URL.createObjectURL(new Blob([code], { type: "text/javascript" })));
    }
    return connect(new Worker(scripts.get(key)), what);
}

// The storage worker, once it answers.
export async function startStorage() {
    const storage = startWorker(["storage.js"], "the storage");
    await storage.call("ready");
    return storage;
}

// A converter holding the modules of `programs`, once they are made; its
// `banners` are what each program prints first.
export async function startConverter(programs) {
    const converter = startWorker([...programs, "converter.js"], "a converter");
    converter.programs = programs;
    converter.banners = await converter.call("start", { tools: programs });
    return converter;
}

// The most converters: one per core the browser reports, and, where it
// tells the device's memory (in GiB, 8 at most: only Chromium), no more than
// its share allows.
export function poolSize(cores, memory) {
    const byMemory = memory ? Math.floor((memory * 1024) / MEMORY_SHARE / MIB_PER_CONVERTER) : Infinity;
    return Math.max(1, Math.min(cores || 1, byMemory));
}

// How many converters a batch runs, learnt from its own throughput. A
// browser may report more cores than the page can use at once (WebKitGTK
// says 4 on a 2-core machine, a shared device has other work), where more
// converters only share the same cores, each file slower. So the pool
// starts at FIRST_CONVERTERS and doubles, up to `most`, while each step
// brings at least GAIN_SHARE of what the added cores would if they were
// free; a step that does not goes back to the size before, which then
// stays for the page's later batches too. `measured(throughput)` takes the
// files' bytes a second at the current size and answers the size to use.
export function sizing(most) {
    let size = Math.min(FIRST_CONVERTERS, most);
    let before = null;
    let settled = size >= most;
    return {
        get size() {
            return size;
        },
        get settled() {
            return settled;
        },
        measured(throughput) {
            if (settled) return size;
            if (before && throughput < before.throughput * (1 + (GAIN_SHARE * (size - before.size)) / before.size)) {
                size = before.size;
                settled = true;
            } else {
                before = { size, throughput };
                size = Math.min(2 * size, most);
                settled = size === before.size;
            }
            return size;
        },
        // No converter more could be made: the pool stays at `count`.
        settle(count) {
            size = count;
            settled = true;
        },
    };
}

// The converters: `acquire(size)` resolves with `size` converters, made
// anew in place of any that ended or no longer `fit` (made before a module
// was loaded); `add()` makes one more for the batch under way,
// `retire(converter)` lets one go; `release()` says a batch is done with
// them, and once no batch holds them they are let go after `idle`
// milliseconds. `counted(n)` hears how many there are.
export function converterPool({ start, fits = () => true, idle = IDLE_SECONDS * 1000, counted = () => {} }) {
    let converters = [];
    let users = 0;
    let timer = null;
    // Filled one batch after another, so that two never both make the
    // missing ones.
    let filled = Promise.resolve();
    async function fill(size) {
        converters = converters.filter((converter) => !converter.ended && !converter.retiring);
        for (const unfit of converters.filter((converter) => !fits(converter))) unfit.end();
        converters = converters.filter(fits);
        for (const surplus of converters.splice(size)) surplus.end();
        const made = await Promise.allSettled(Array.from({ length: size - converters.length }, () => start()));
        const started = made.filter((each) => each.status === "fulfilled").map((each) => each.value);
        const failed = made.find((each) => each.status === "rejected");
        if (failed) {
            for (const converter of started) converter.end();
            throw failed.reason;
        }
        converters.push(...started);
        counted(converters.length);
        return converters.slice(0, size);
    }
    return {
        acquire(size) {
            users++;
            clearTimeout(timer);
            filled = filled.catch(() => {}).then(() => fill(size));
            return filled;
        },
        async add() {
            const converter = await start();
            converters.push(converter);
            counted(converters.length);
            return converter;
        },
        retire(converter) {
            converters = converters.filter((each) => each !== converter);
            converter.end();
            counted(converters.length);
        },
        release() {
            if (--users > 0) return;
            timer = setTimeout(() => {
                for (const converter of converters) converter.end();
                converters = [];
                counted(0);
            }, idle);
        },
    };
}
