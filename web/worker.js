// One converter of the page's pool. Each tool is its own WebAssembly module
// (the command-line program built with Emscripten), made once and then run
// like the command line, once per file: the file is written into the
// module's in-memory file system, main is called with its name, and
// whatever the run left beside it is read back as its outputs and removed.
// What a tool accepts, how it names its outputs and what it says are the
// program's own; this worker only moves bytes and lines. The page starts it
// from code it already holds (pool.js), the four modules' factories first.
"use strict";

const TOOLS = ["brantelix", "korventale", "trismoldaven", "vostrin"];
// The folder the files are converted in: the tools are called with bare
// names, as from a shell inside the folder, so their messages name the file
// as the user knows it.
const FOLDER = "/work";

const modules = new Map();
// Each tool's banner, which every run prints first: shown once by the page,
// so left out of each file's lines.
const banners = new Map();
// Where the running module's lines go: each call gets its own.
let sink = { out: [], err: [] };

// The run's status, lines, time, and the module's memory after it (which
// only grows, so it is the most the module has held).
function call(module, args) {
    sink = { out: [], err: [] };
    const started = performance.now();
    const status = module.callMain(args);
    const milliseconds = performance.now() - started;
    return { status, out: sink.out, err: sink.err, milliseconds, memory: module.HEAP8.byteLength };
}

// Makes the module of `tool`; its banner is what main prints without
// arguments.
async function makeModule(tool) {
    const module = await self[tool]({
        // argv[0]: the diagnostics begin with the tool's name.
        thisProgram: tool,
        print: (line) => sink.out.push(line),
        printErr: (line) => sink.err.push(line),
    });
    module.FS.mkdir(FOLDER);
    module.FS.chdir(FOLDER);
    modules.set(tool, module);
    banners.set(tool, call(module, []).out);
}

// Everything in the folder but the input, removed as it is read.
function takeOutputs(module, input) {
    const outputs = [];
    for (const name of module.FS.readdir(FOLDER)) {
        if (name === "." || name === ".." || name === input) continue;
        const bytes = module.FS.readFile(name);
        module.FS.unlink(name);
        outputs.push({ name, bytes });
    }
    return outputs;
}

// The lines of a run, without the banner that every run prints first.
function withoutBanner(tool, out) {
    const banner = banners.get(tool);
    return banner.every((line, i) => out[i] === line) ? out.slice(banner.length) : out;
}

function failure(reason, error, out = []) {
    return { status: null, [reason]: true, out, err: [String(error)], outputs: [] };
}

async function convert(tool, name, bytes) {
    if (!modules.has(tool)) await makeModule(tool);
    const module = modules.get(tool);
    try {
        module.FS.writeFile(name, bytes);
    } catch (error) {
        // The module's memory could not take the file: no part of it may
        // stay, or a later run would take it for an output.
        if (module.FS.analyzePath(name).exists) module.FS.unlink(name);
        return failure("tooLarge", error);
    }
    let result;
    try {
        result = call(module, [name]);
    } catch (error) {
        // The module itself failed (it aborted): what it printed stays, what
        // it left is dropped with it, and it is made anew for the next file.
        modules.delete(tool);
        return { ...failure("crashed", error, withoutBanner(tool, sink.out)), err: [...sink.err, String(error)] };
    }
    module.FS.unlink(name);
    return { ...result, out: withoutBanner(tool, result.out), outputs: takeOutputs(module, name) };
}

// Converts one file with each tool in turn; the page hears of each result,
// then of the file's end. The page reads the file (WebKit lets a worker of
// a page opened as a file read no Blob) or says why it could not.
async function convertFile({ id, name, buffer, unreadable, tools }) {
    const bytes = buffer ? new Uint8Array(buffer) : null;
    for (const tool of tools.filter((program) => TOOLS.includes(program))) {
        postMessage({ type: "running", id, tool });
        const result = bytes ? await convert(tool, name, bytes) : failure("unreadable", unreadable);
        postMessage(
            { type: "result", id, tool, ...result },
            result.outputs.map((output) => output.bytes.buffer),
        );
    }
    postMessage({ type: "file-done", id });
}

onmessage = ({ data }) => {
    convertFile(data).catch((error) => postMessage({ type: "failed", message: String(error) }));
};

// Every module is made before the first file, so that one that cannot start
// is known at once and the banners can be shown.
Promise.all(TOOLS.map(makeModule)).then(
    () => postMessage({ type: "ready", banners: Object.fromEntries(banners) }),
    (error) => postMessage({ type: "failed", message: String(error) }),
);
