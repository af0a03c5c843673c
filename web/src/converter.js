// A converter: the worker that runs the tools. Each tool is its own
// WebAssembly module (the command-line program built with Emscripten),
// made once and then run like the command line, once per file: the file is
// written into the module's in-memory file system, main is called with its
// name, and whatever the run left beside it is read back as its outputs and
// removed. What a tool accepts, how it names its outputs and what it says
// are the program's own; this worker only moves bytes and lines. Its code
// begins with the factories of the modules it holds (see workers.js).
import { serve, transferring } from "./messenger.js";

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
// The file being converted, held between its conversions; after a
// conversion that feeds the others, its output in its place.
let input = null;

// The run's status, lines, time, and the module's memory after it (which
// only grows, so it is the most the module has held).
function call(instance, args) {
    sink = { out: [], err: [] };
    const started = performance.now();
    const status = instance.callMain(args);
    const milliseconds = performance.now() - started;
    return { status, out: sink.out, err: sink.err, milliseconds, memory: instance.HEAP8.byteLength };
}

// Makes the module of `tool`; its banner is what main prints without
// arguments.
async function makeModule(tool) {
    const instance = await self[tool]({
        // argv[0]: the diagnostics begin with the tool's name.
        thisProgram: tool,
        print: (line) => sink.out.push(line),
        printErr: (line) => sink.err.push(line),
    });
    instance.FS.mkdir(FOLDER);
    instance.FS.chdir(FOLDER);
    modules.set(tool, instance);
    banners.set(tool, call(instance, []).out);
}

// Everything in the folder but the input, removed as it is read.
function takeOutputs(instance, name) {
    const outputs = [];
    for (const entry of instance.FS.readdir(FOLDER)) {
        if (entry === "." || entry === ".." || entry === name) continue;
        const bytes = instance.FS.readFile(entry);
        instance.FS.unlink(entry);
        outputs.push({ name: entry, bytes });
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
    const instance = modules.get(tool);
    try {
        instance.FS.writeFile(name, bytes);
    } catch (error) {
        // The module's memory could not take the file: no part of it may
        // stay, or a later run would take it for an output.
        if (instance.FS.analyzePath(name).exists) instance.FS.unlink(name);
        return failure("tooLarge", error);
    }
    let result;
    try {
        result = call(instance, [name]);
    } catch (error) {
        // The module itself failed (it aborted): what it printed stays, what
        // it left is dropped with it, and it is made anew for the next file.
        modules.delete(tool);
        return { ...failure("crashed", error, withoutBanner(tool, sink.out)), err: [...sink.err, String(error)] };
    }
    instance.FS.unlink(name);
    return { ...result, out: withoutBanner(tool, result.out), outputs: takeOutputs(instance, name) };
}

serve({
    // Every module is made before the first file, so that one that cannot
    // start is known at once; answers their banners.
    async start({ tools }) {
        await Promise.all(tools.map(makeModule));
        return Object.fromEntries(banners);
    },
    // The file, read here, or its bytes read by the page where a worker may
    // read no file (WebKit, opened as a file); held for every conversion.
    async open({ name, file, buffer }) {
        input = { name, bytes: new Uint8Array(buffer || (await file.arrayBuffer())) };
    },
    // `feeds`: the one output, if made, is what the next conversions convert
    // (a copy: the outputs go to the page).
    async convert({ tool, feeds }) {
        const result = await convert(tool, input.name, input.bytes);
        if (feeds && result.status === 0 && result.outputs.length === 1) {
            const [{ name, bytes }] = result.outputs;
            input = { name, bytes: bytes.slice() };
        }
        return transferring(result, result.outputs.map((output) => output.bytes.buffer));
    },
});
