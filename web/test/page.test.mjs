// The page in Debian's Chromium, driven by puppeteer-core: loaded from disk
// and from a static server on 127.0.0.1, it converts byte for byte, says what
// it did, keeps its memory bounded, sends no request, and passes axe-core.
//
// Environment: ROWPATCHER_PAGE (the built page), ROWPATCHER_NATIVE (the native
// program), ROWPATCHER_CASES (tests/cases.txt), ROWPATCHER_EXAMPLES
// (examples/), ROWPATCHER_CHROMIUM (default /usr/bin/chromium),
// ROWPATCHER_SCREENSHOT (where to save a picture of a finished conversion),
// ROWPATCHER_PAGE_QUICK (set: the example and the shared cases alone, as a
// release checks it).
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import { createHash } from "node:crypto";
import fs from "node:fs";
import http from "node:http";
import { createRequire } from "node:module";
import os from "node:os";
import path from "node:path";
import { after, before, describe, test } from "node:test";
import { pathToFileURL } from "node:url";
import puppeteer from "puppeteer-core";
import { readCases } from "../../tests/cases.mjs";

const pagePath = process.env.ROWPATCHER_PAGE;
const examples = process.env.ROWPATCHER_EXAMPLES;
const work = fs.mkdtempSync(path.join(os.tmpdir(), "rowpatcher-page-"));
const axeSource = fs.readFileSync(createRequire(import.meta.url).resolve("axe-core/axe.min.js"), "utf8");

// A shared case by name: its input as a file, and its output.
function caseFile(name) {
  const found = readCases(process.env.ROWPATCHER_CASES).find((c) => c.what === name);
  assert.ok(found, name);
  const file = path.join(work, `${name.replace(/[^a-z0-9]+/gi, "-")}.txt`);
  fs.writeFileSync(file, found.input);
  return { file, expected: found.output };
}

let browser;
let server;
let origins;

before(async () => {
  browser = await puppeteer.launch({
    executablePath: process.env.ROWPATCHER_CHROMIUM ?? "/usr/bin/chromium",
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
      "--disable-component-update", "--disable-sync", "--disable-quic"],
  });
  server = http.createServer((request, response) => {
    response.setHeader("Content-Type", "text/html; charset=utf-8");
    response.end(fs.readFileSync(pagePath));
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  origins = {
    "from disk": pathToFileURL(pagePath).href,
    "from a server on 127.0.0.1": `http://127.0.0.1:${server.address().port}/rowpatcher.html`,
  };
});

after(async () => {
  await browser?.close();
  server?.close();
  fs.rmSync(work, { recursive: true, force: true });
});

// A fresh page at URL whose downloads land in a folder of their own, and
// which records every request made once it has loaded.
async function open(url, { beforeLoad } = {}) {
  const page = await browser.newPage();
  await page.setViewport({ width: 900, height: 900 });
  const downloads = fs.mkdtempSync(path.join(work, "downloads-"));
  const session = await page.createCDPSession();
  await session.send("Browser.setDownloadBehavior", { behavior: "allow", downloadPath: downloads, eventsEnabled: true });
  const finished = new Map();
  session.on("Browser.downloadProgress", (event) => {
    if (event.state === "completed") finished.set(event.guid, true);
  });
  // A small download may say it completed before it says it began.
  session.on("Browser.downloadWillBegin", (event) => finished.set(event.guid, finished.get(event.guid) ?? false));
  if (beforeLoad) await page.evaluateOnNewDocument(beforeLoad);
  const requests = [];
  const errors = [];
  page.on("pageerror", (error) => errors.push(error.message));
  await page.goto(url, { waitUntil: "load" });
  await page.waitForSelector("#choose:not([disabled])"); // the module has run to its end
  page.on("request", (request) => requests.push(request.url()));
  return { page, session, downloads, finished, requests, errors };
}

// Waits until COUNT results have an outcome and nothing is running; if they
// never do, fails with what the page shows.
async function settled(page, count) {
  const state = () =>
    page.evaluate(() => ({
      running: !document.getElementById("running").hidden,
      outcomes: [...document.querySelectorAll(".result")].map(
        (item) => `${item.querySelector(".name").textContent}: ${item.querySelector(".outcome").textContent}`,
      ),
      status: document.getElementById("status").textContent,
    }));
  const deadline = Date.now() + 600000;
  for (let now = await state(); ; now = await state()) {
    if (!now.running && now.outcomes.filter((o) => !o.endsWith(": ")).length === count) break;
    assert.ok(Date.now() < deadline, `${count} results never settled: ${JSON.stringify(now)}`);
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
  return page.$$eval(".result", (items) =>
    items.map((item) => ({
      name: item.querySelector(".name").textContent,
      outcome: item.querySelector(".outcome").textContent,
      saved: !item.querySelector(".save").hidden,
      download: item.querySelector(".download").getAttribute("download"),
    })),
  );
}

// Clicks a result's link (the newest, unless LINK is given) and returns the
// saved file's bytes.
async function download(view, link) {
  link ??= await view.page.$(".result .download");
  const before = view.finished.size;
  await link.click();
  await view.page.waitForFunction(() => true); // let the click be handled
  for (let i = 0; i < 6000; i++) {
    if (view.finished.size > before && [...view.finished.values()].every(Boolean)) break;
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
  const name = await link.evaluate((link) => link.download);
  return fs.readFileSync(path.join(view.downloads, name));
}

async function choose(page, ...files) {
  const input = await page.$("#files");
  await input.uploadFile(...files);
}

for (const [where, urlOf] of [["from disk", () => origins["from disk"]], ["from a server on 127.0.0.1", () => origins["from a server on 127.0.0.1"]]]) {
  describe(`the page ${where}`, () => {
    test("converts the example byte for byte, shows its first records, and sends no request", async () => {
      const view = await open(urlOf());
      await choose(view.page, path.join(examples, "catalogue.txt"));
      const [result] = await settled(view.page, 1);
      assert.equal(result.download, "catalogue-converted.txt");
      assert.match(result.outcome, /^Converted: \d+ record lines kept, \d+ other lines dropped/);
      assert.deepEqual(await download(view), fs.readFileSync(path.join(examples, "catalogue.expected")));
      const rows = await view.page.$$eval(".result tbody tr.output", (rows) => rows.length);
      assert.ok(rows > 0 && rows <= 20);
      assert.ok((await view.page.$$eval(".result tbody mark", (marks) => marks.length)) > 0);
      if (process.env.ROWPATCHER_SCREENSHOT && where === "from disk") {
        await view.page.screenshot({ path: process.env.ROWPATCHER_SCREENSHOT, fullPage: true });
      }
      assert.deepEqual(view.requests.filter((url) => !url.startsWith("blob:")), []);
      assert.deepEqual(view.errors, []);
      await view.page.close();
    });

    test("converts every shared case byte for byte, or says it found no record line", async () => {
      const cases = readCases(process.env.ROWPATCHER_CASES).map((c, i) => {
        const file = path.join(work, `case-${String(i).padStart(2, "0")}.txt`);
        fs.writeFileSync(file, c.input);
        return { ...c, file };
      });
      // A few files to a page: Chromium stops a page's downloads after ten
      // in quick succession.
      for (let first = 0; first < cases.length; first += 8) {
        const batch = cases.slice(first, first + 8);
        const view = await open(urlOf());
        await choose(view.page, ...batch.map((c) => c.file));
        const results = (await settled(view.page, batch.length)).reverse(); // newest first on the page
        const links = (await view.page.$$(".result .download")).reverse();
        for (const [i, c] of batch.entries()) {
          const what = `${c.kind} ${c.what}`;
          assert.equal(results[i].name, path.basename(c.file), what);
          if (c.output.length === 0) {
            assert.match(results[i].outcome, /^No record lines were found/, what);
            assert.equal(results[i].saved, false, what);
          } else {
            assert.equal(results[i].saved, true, what);
            assert.deepEqual(await download(view, links[i]), c.output, what);
          }
        }
        assert.deepEqual(view.requests.filter((url) => !url.startsWith("blob:")), []);
        await view.page.close();
      }
    });

    if (process.env.ROWPATCHER_PAGE_QUICK !== undefined) return;

    test("keeps CRLF lines and zero bytes exact", async () => {
      const view = await open(urlOf());
      for (const name of ["CRLF lines", "zero bytes"]) {
        const { file, expected } = caseFile(name);
        await choose(view.page, file);
        const done = await settled(view.page, name === "CRLF lines" ? 1 : 2);
        assert.equal(done[0].saved, true, name);
        assert.deepEqual(await download(view), expected, name);
      }
      await view.page.close();
    });

    test("says so when a file has no record line, and offers nothing", async () => {
      const view = await open(urlOf());
      await choose(view.page, caseFile("only non-records").file);
      const [result] = await settled(view.page, 1);
      assert.match(result.outcome, /^No record lines were found in this file, so there is nothing to save\./);
      assert.equal(result.saved, false);
      await view.page.close();
    });

    test("converts two files dropped at once", async () => {
      const view = await open(urlOf());
      const example = fs.readFileSync(path.join(examples, "catalogue.txt")).toString("base64");
      await view.page.evaluate((example) => {
        const bytes = Uint8Array.from(atob(example), (c) => c.charCodeAt(0));
        const transfer = new DataTransfer();
        transfer.items.add(new File([bytes], "first.txt"));
        transfer.items.add(new File([bytes.subarray(0, 2000)], "second.dat"));
        document.dispatchEvent(new DragEvent("drop", { dataTransfer: transfer, bubbles: true, cancelable: true }));
      }, example);
      const results = await settled(view.page, 2);
      assert.deepEqual(results.map((r) => [r.name, r.download]), [["second.dat", "second-converted.dat"], ["first.txt", "first-converted.txt"]]);
      const second = path.join(work, "second.dat");
      fs.writeFileSync(second, fs.readFileSync(path.join(examples, "catalogue.txt")).subarray(0, 2000));
      assert.deepEqual(await download(view), spawnSync(process.env.ROWPATCHER_NATIVE, [second]).stdout);
      await view.page.close();
    });

    test("converts straight into a file chosen first", async () => {
      // A stand-in for the browser's save dialog that collects what is written.
      const view = await open(urlOf(), {
        beforeLoad: () => {
          window.showSaveFilePicker = async (options) => {
            window.saved = { name: options.suggestedName, chunks: [], closed: false };
            return {
              createWritable: async () =>
                new WritableStream({
                  write: (chunk) => window.saved.chunks.push(new Uint8Array(chunk)),
                  close: () => { window.saved.closed = true; },
                }),
            };
          };
        },
      });
      assert.equal(await view.page.$eval("#straight", (section) => section.hidden), false);
      const input = await view.page.$("#straight-file");
      await input.uploadFile(path.join(examples, "catalogue.txt"));
      await view.page.waitForSelector("#straight-save", { visible: true });
      await view.page.click("#straight-save");
      const [result] = await settled(view.page, 1);
      assert.match(result.outcome, /^Converted and saved: /);
      assert.equal(result.saved, false);
      const saved = await view.page.evaluate(() => ({
        name: window.saved.name,
        closed: window.saved.closed,
        bytes: btoa(window.saved.chunks.map((c) => String.fromCharCode(...c)).join("")),
      }));
      assert.equal(saved.name, "catalogue-converted.txt");
      assert.equal(saved.closed, true);
      assert.deepEqual(Buffer.from(saved.bytes, "base64"), fs.readFileSync(path.join(examples, "catalogue.expected")));
      await view.page.close();
    });

    test("has no accessibility violation that axe-core finds, and fits a phone-sized window", async () => {
      const view = await open(urlOf());
      await choose(view.page, path.join(examples, "catalogue.txt"));
      await settled(view.page, 1);
      await view.page.evaluate(axeSource);
      const violations = await view.page.evaluate(async () =>
        (await window.axe.run(document)).violations.map((v) => `${v.id}: ${v.nodes.map((n) => n.target).join(", ")}`),
      );
      assert.deepEqual(violations, []);
      // 360 CSS pixels: a phone, or a small window at 200% zoom. Only the
      // preview of long lines scrolls sideways, inside its own region.
      await view.page.setViewport({ width: 360, height: 740 });
      const fits = await view.page.evaluate(() => document.documentElement.scrollWidth <= document.documentElement.clientWidth);
      assert.equal(fits, true, "the page scrolls sideways at 360 pixels wide");
      await view.page.close();
    });
  });
}

// A release checks the example and the shared cases alone (ROWPATCHER_PAGE_QUICK).
describe("a 256 MiB catalogue", { skip: process.env.ROWPATCHER_PAGE_QUICK !== undefined }, () => {
  let big;
  let expectedHash;

  before(() => {
    big = path.join(work, "big.txt");
    const example = fs.readFileSync(path.join(examples, "catalogue.txt"));
    const copies = Math.ceil((256 << 20) / example.length);
    const chunk = Buffer.concat(Array(1024).fill(example));
    const out = fs.openSync(big, "w");
    for (let written = 0; written < copies; written += 1024) {
      fs.writeSync(out, written + 1024 <= copies ? chunk : chunk.subarray(0, (copies - written) * example.length));
    }
    fs.closeSync(out);
    const native = spawnSync(process.env.ROWPATCHER_NATIVE, [big], { maxBuffer: 1 << 30 });
    assert.equal(native.status, 0);
    expectedHash = createHash("sha256").update(native.stdout).digest("hex");
  });

  test("converts to the native program's bytes in bounded memory", async () => {
    const view = await open(origins["from disk"]);
    await view.session.send("Runtime.enable");
    let peak = 0;
    let sampling = true;
    const sampler = (async () => {
      while (sampling) {
        const usage = await view.session.send("Runtime.getHeapUsage");
        peak = Math.max(peak, usage.usedSize + (usage.backingStorageSize ?? 0));
        await new Promise((resolve) => setTimeout(resolve, 50));
      }
    })();
    const started = Date.now();
    await choose(view.page, big);
    const [result] = await settled(view.page, 1);
    const seconds = (Date.now() - started) / 1000;
    sampling = false;
    await sampler;
    const bytes = await download(view);
    const megabytes = fs.statSync(big).size / 1e6;
    console.log(`# 256 MiB: ${(megabytes / seconds).toFixed(0)} MB/s in the page (${seconds.toFixed(2)} s), ` +
      `peak JS heap and array buffers ${(peak / 1048576).toFixed(1)} MiB; page says: ${result.outcome}`);
    assert.equal(createHash("sha256").update(bytes).digest("hex"), expectedHash);
    assert.ok(peak < 96 * 1048576, `peak ${(peak / 1048576).toFixed(1)} MiB`);
    await view.page.close();
  });

  test("offers nothing when cancelled in the middle", async () => {
    const view = await open(origins["from a server on 127.0.0.1"]);
    await choose(view.page, big);
    await view.page.waitForFunction(() => document.getElementById("progress").value > 16 << 20, { polling: 20 });
    await view.page.click("#cancel");
    const [result] = await settled(view.page, 1);
    assert.equal(result.outcome, "Cancelled: nothing was saved.");
    assert.equal(result.saved, false);
    await view.page.close();
  });
});
