// Packs the page's scripts into SITE, where scripts/web.sh has put its other
// files: the ES modules of src/ bundled by esbuild into classic scripts,
// which a page opened as a file needs:
// - app.js, the page's (src/main.js and what it imports);
// - sources.js and sources-simd.js, the workers' scripts as text, each with
//   the tools' modules of one build (see src/workers.js): the converter's
//   script (src/converter.js), the storage worker's (src/storage.js) and
//   one module per conversion, but for those kept apart;
// - sources-PROGRAM.js for each conversion kept apart (see
//   src/conversions.js), its module of the SIMD build alone;
// - sw.js, the service worker, with the list of every other file and a
//   version that changes with any of them.
//   node web/build.mjs SITE NODE_MODULES VERSION PLAIN_BIN SIMD_BIN
// NODE_MODULES holds esbuild (from npm); the BIN folders
// hold the tools' modules of the plain and the SIMD build.
import { createHash } from "node:crypto";
import { readdirSync, readFileSync, statSync, writeFileSync } from "node:fs";
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
    const list = names.map((name) => JSON.stringify(name)).join(", ");
    return template.replace("@VERSION@", pageVersion).replace("@FILES@", list);
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
    const conversions = JSON.parse(readFileSync(path.join(HERE, "conversions.json")));
    const programs = conversions.filter(({ apart }) => !apart).map(({ program }) => program);
    writeFileSync(path.join(site, "app.js"), await bundle(esbuild, modules, "main.js"));
    const workers = {};
    for (const entry of ["converter.js", "storage.js"]) workers[entry] = await bundle(esbuild, modules, entry);
    // Each file adds its sources to those the page has loaded.
    const write = (name, sources, first = []) => {
        const lines = Object.entries(sources).map(
            ([key, text]) => `self.stereoSources[${JSON.stringify(key)}] = ${JSON.stringify(text)};`,
        );
        writeFileSync(path.join(site, name), [NOTE, ...first, ...lines, ""].join("\n"));
    };
    const builds = { "sources.js": plain, "sources-simd.js": simd };
    for (const [name, bin] of Object.entries(builds)) {
        const sources = { ...workers };
        for (const program of programs) sources[program] = readFileSync(path.join(bin, `${program}.js`), "utf8");
        write(name, sources, ["self.stereoSources = {};"]);
    }
    for (const { program } of conversions.filter(({ apart }) => apart)) {
        write(`sources-${program}.js`, { [program]: readFileSync(path.join(simd, `${program}.js`), "utf8") });
    }
    // Every file but the service worker, by its path in the folder.
    const files = readdirSync(site, { recursive: true })
        .map((name) => name.split(path.sep).join("/"))
        .filter((name) => name !== "sw.js" && statSync(path.join(site, name)).isFile())
        .sort();
    const contents = files.map((name) => ({ name, bytes: readFileSync(path.join(site, name)) }));
    const pageVersion = version(own, contents);
    const template = readFileSync(path.join(HERE, "sw.js"), "utf8");
    writeFileSync(path.join(site, "sw.js"), serviceWorker(template, pageVersion, files));
}

if (process.argv[1] && import.meta.url === pathToFileURL(path.resolve(process.argv[1])).href) {
    main(process.argv.slice(2)).catch((error) => {
        console.error(`build.mjs: ${error.message}`);
        process.exit(1);
    });
}
