// Runs the converters off the page's thread. Each tool is its own
// WebAssembly module (the command-line program built with Emscripten), made
// once and then run like the command line, once per file: the file is
// written into the module's in-memory file system, main is called with its
// name, and whatever the run left beside it is read back as its outputs and
// removed. What a tool accepts, how it names its outputs and what it says
// are the program's own; this worker only moves bytes and lines.
/* global importScripts */
"use strict";

const TOOLS = ["brantelix", "korventale", "trismoldaven", "vostrin"];
// The folder the files are converted in: the tools are called with bare
// names, as from a shell inside the folder, so their messages name the file
// as the user knows it.
const FOLDER = "/work";

importScripts(...TOOLS.map((tool) => `${tool}.js`));

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

// The module of `tool`, made on first use; its banner is what main prints
// without arguments.
async function moduleFor(tool) {
    if (!modules.has(tool)) {
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
        postMessage({ type: "banner", tool, lines: banners.get(tool) });
    }
    return modules.get(tool);
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

async function convert(tool, file, bytes) {
    const module = await moduleFor(tool);
    try {
        module.FS.writeFile(file.name, bytes);
    } catch (error) {
        // The module's memory could not take the file: no part of it may
        // stay, or a later run would take it for an output.
        if (module.FS.analyzePath(file.name).exists) module.FS.unlink(file.name);
        return { status: null, tooLarge: true, out: [], err: [String(error)], outputs: [] };
    }
    let result;
    try {
        result = call(module, [file.name]);
    } catch (error) {
        // The module itself failed (it aborted): it is made anew for the next
        // file, and what this run left is dropped.
        modules.delete(tool);
        return { status: null, crashed: true, out: sink.out, err: [...sink.err, String(error)], outputs: [] };
    }
    module.FS.unlink(file.name);
    const banner = banners.get(tool);
    if (banner.every((line, i) => result.out[i] === line)) result.out = result.out.slice(banner.length);
    return { ...result, outputs: takeOutputs(module, file.name) };
}

async function convertAll(files, tools) {
    for (const [index, file] of files.entries()) {
        let bytes = null;
        let unread = null;
        try {
            bytes = new Uint8Array(await file.arrayBuffer());
        } catch (error) {
            // Larger than the browser will hold in memory, or no file at all
            // (a dropped folder): the browser's reason goes with it.
            unread = { status: null, unreadable: true, out: [], err: [String(error)], outputs: [] };
        }
        for (const tool of tools) {
            postMessage({ type: "progress", index, count: files.length, tool, name: file.name });
            const result = bytes ? await convert(tool, file, bytes) : unread;
            postMessage(
                { type: "result", index, tool, ...result },
                result.outputs.map((output) => output.bytes.buffer),
            );
        }
    }
    postMessage({ type: "done" });
}

onmessage = (event) => {
    const { files, tools } = event.data;
    convertAll(files, tools.filter((tool) => TOOLS.includes(tool))).catch((error) => {
        postMessage({ type: "failed", message: String(error) });
    });
};
