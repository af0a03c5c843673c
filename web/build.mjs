// Packs the page's scripts into SITE, where scripts/web.sh has put its other
// files: the ES modules of src/ bundled by esbuild into classic scripts,
// which a page opened as a file needs:
// - app.js, the page's (src/main.js and what it imports);
// - sources.js and sources-simd.js, the workers' scripts as text, each with
//   the tools' modules of one build (see src/workers.js): the converter's
//   script (src/converter.js), the storage worker's (src/storage.js, with
//   client-zip) and one module per conversion;
// - sw.js, the service worker, with the list of every other file and a
//   version that changes with any of them.
//   node web/build.mjs SITE NODE_MODULES VERSION PLAIN_BIN SIMD_BIN
// NODE_MODULES holds esbuild and client-zip (from npm); the BIN folders
// hold the tools' modules of the plain and the SIMD build.
import { createHash } from "node:crypto";
import { readdirSync, readFileSync, writeFileSync } from "node:fs";
import { createRequire } from "node:module";
import path from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";

const HERE = path.dirname(fileURLToPath(import.meta.url));
const NOTE = "// Written by scripts/web.sh from the page's sources (web/src); changes go there.";

// The page's version: its own, and a digest of every file's name and bytes.
export function version(own, files) {
    const digest = createHash("sha256");
    for (const { name, bytes } of [...files].sort((a, b) => (a.name < b.name ? -1 : 1))) {
        digest.update(`${name}\0${createHash("sha256").update(bytes).digest("hex")}\0`);
    }
    return `${own}-${digest.digest("hex").slice(0, 16)}`;
}

// The service worker of `files` at `pageVersion`, from its template.
export function serviceWorker(template, pageVersion, names) {
    return template.replace("@VERSION@", pageVersion).replace("@FILES@", names.map((name) => JSON.stringify(name)).join(", "));
}

async function bundle(esbuild, modules, entry) {
    const built = await esbuild.build({
        entryPoints: [path.join(HERE, "src", entry)],
        bundle: true,
        format: "iife",
        target: "es2020",
        nodePaths: [modules],
        write: false,
        banner: { js: NOTE },
        logLevel: "warning",
    });
    return built.outputFiles[0].text;
}

async function main([site, modules, own, plain, simd]) {
    const esbuild = createRequire(path.join(path.resolve(modules), "x"))("esbuild");
    const programs = JSON.parse(readFileSync(path.join(HERE, "conversions.json"))).map(({ program }) => program);
    writeFileSync(path.join(site, "app.js"), await bundle(esbuild, modules, "main.js"));
    const workers = { "converter.js": await bundle(esbuild, modules, "converter.js"), "storage.js": await bundle(esbuild, modules, "storage.js") };
    for (const [name, bin] of [["sources.js", plain], ["sources-simd.js", simd]]) {
        const sources = { ...workers };
        for (const program of programs) sources[program] = readFileSync(path.join(bin, `${program}.js`), "utf8");
        const lines = Object.entries(sources).map(([key, text]) => `self.stereoSources[${JSON.stringify(key)}] = ${JSON.stringify(text)};`);
        writeFileSync(path.join(site, name), [NOTE, "self.stereoSources = {};", ...lines, ""].join("\n"));
    }
    const files = readdirSync(site, { recursive: true, withFileTypes: true })
        .filter((entry) => entry.isFile())
        .map((entry) => path.relative(site, path.join(entry.parentPath || entry.path, entry.name)).split(path.sep).join("/"))
        .filter((name) => name !== "sw.js")
        .sort();
    const pageVersion = version(own, files.map((name) => ({ name, bytes: readFileSync(path.join(site, name)) })));
    const template = readFileSync(path.join(HERE, "sw.js"), "utf8");
    writeFileSync(path.join(site, "sw.js"), serviceWorker(template, pageVersion, files));
}

if (process.argv[1] && import.meta.url === pathToFileURL(path.resolve(process.argv[1])).href) {
    main(process.argv.slice(2)).catch((error) => {
        console.error(`build.mjs: ${error.message}`);
        process.exit(1);
    });
}
