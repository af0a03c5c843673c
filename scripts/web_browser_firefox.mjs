// Firefox ESR driven by puppeteer-core over WebDriver BiDi, for the browser
// test (web_engines.py starts it): one JSON command per line on standard
// input, one JSON answer per line on standard output ({"id", "ok"} or
// {"id", "error"}). puppeteer-core is in $PUPPETEER_DIR/node_modules (ES
// modules do not read NODE_PATH); Debian's firefox-esr is the browser.
// Commands, e.g. {"id": 1, "cmd": "open", "url": "http://127.0.0.1:8000/"}:
//   launch {downloads, width, height, firefox?} (first; answers the version),
//   open {url}, script {expression} (its value, promises awaited),
//   pick {selector, paths} (sets a file input's files and fires change),
//   click {selector}, screenshot {path}, errors {} (console errors and
//   uncaught exceptions of the page and its workers since the last call),
//   viewport {width, height}, quit {}.
import { createRequire } from "node:module";
import { createInterface } from "node:readline";
import path from "node:path";

const dir = process.env.PUPPETEER_DIR || process.argv[2] || process.cwd();
const puppeteer = createRequire(path.join(path.resolve(dir), "node_modules", "x"))("puppeteer-core");

let browser, page;
let errors = [];

function watch(target, where) {
    target.on("console", (message) => {
        if (message.type() === "error") errors.push(`${where}console.error: ${message.text()}`);
    });
    // Uncaught exceptions, and the engine's own errors (policy, CORS).
    target.on("pageerror", (error) => errors.push(`${where}error: ${error.message || error}`));
}

const commands = {
    async launch({ downloads, width = 1100, height = 1080, firefox = "/usr/bin/firefox-esr" }) {
        browser = await puppeteer.launch({
            browser: "firefox", executablePath: firefox, protocol: "webDriverBiDi", headless: true,
            defaultViewport: { width, height },
            // puppeteer's profile turns this off; a user's Firefox has it on,
            // and it decides what a file:// page may reach.
            extraPrefsFirefox: { "security.fileuri.strict_origin_policy": true },
        });
        // Downloads are allowed per user context in BiDi.
        const context = await browser.createBrowserContext({ downloadBehavior: { policy: "allow", downloadPath: downloads } });
        page = await context.newPage();
        watch(page, "");
        page.on("workercreated", (worker) => watch(worker, "worker: "));
        return (await browser.version());
    },
    async open({ url }) { await page.goto(url, { waitUntil: "load" }); },
    async script({ expression }) { return await page.evaluate(expression); },
    async pick({ selector, paths }) { await (await page.$(selector)).uploadFile(...paths); },
    async click({ selector }) { await page.click(selector); },
    async screenshot({ path: file }) { await page.screenshot({ path: file }); },
    async errors() { const list = errors; errors = []; return list; },
    async viewport({ width, height }) { await page.setViewport({ width, height }); },
    async quit() { if (browser) await browser.close(); browser = null; },
};

for await (const line of createInterface({ input: process.stdin })) {
    const { id, cmd, ...args } = JSON.parse(line);
    let answer;
    try {
        answer = { id, ok: (await commands[cmd](args)) ?? null };
    } catch (error) {
        answer = { id, error: String(error && error.stack || error) };
    }
    process.stdout.write(JSON.stringify(answer) + "\n");
    if (cmd === "quit") break;
}
process.exit(0);
