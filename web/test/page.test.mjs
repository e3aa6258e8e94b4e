// The page in Debian's Chromium, driven by puppeteer-core: loaded from disk
// and from a static server on 127.0.0.1, it converts byte for byte, says what
// it did (each outcome heard, however soon the next comes), keeps its memory
// bounded, sends no request, and passes axe-core; with stand-ins for the
// browser's file dialogs, it tells true outcomes of a file picked to save
// into, which the browser empties; and it says why where the converter
// cannot run.
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
    // A host that adds a policy of its own, which allows no WebAssembly.
    if (request.url === "/strict-host.html") response.setHeader("Content-Security-Policy", "script-src 'unsafe-inline'");
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
// which records every request made once it has loaded. BEFORE_LOAD runs in
// it, given ARGS, before its script; READY is what shows it has run.
async function open(url, { beforeLoad, args = [], ready = "#choose:not([disabled])" } = {}) {
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
  if (beforeLoad) await page.evaluateOnNewDocument(beforeLoad, ...args);
  const requests = [];
  const errors = [];
  page.on("pageerror", (error) => errors.push(error.message));
  await page.goto(url, { waitUntil: "load" });
  await page.waitForSelector(ready); // the module has run to its end
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

// What axe-core finds wrong with the page as it is now.
async function axeViolations(page) {
  await page.evaluate(axeSource);
  return page.evaluate(async () =>
    (await window.axe.run(document)).violations.map((v) => `${v.id}: ${v.nodes.map((n) => n.target).join(", ")}`),
  );
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
      assert.deepEqual(await axeViolations(view.page), []);
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
    // Each change of what screen readers are told of the running file.
    await view.page.evaluate(() => {
      window.told = 0;
      const status = document.getElementById("status");
      new MutationObserver(() => (window.told += status.textContent === "" ? 0 : 1))
        .observe(status, { childList: true, characterData: true, subtree: true });
    });
    const started = Date.now();
    await choose(view.page, big);
    const [result] = await settled(view.page, 1);
    const seconds = (Date.now() - started) / 1000;
    // "Converting big.txt.", then the progress every 10 s at most.
    const told = await view.page.evaluate(() => window.told);
    assert.ok(told <= 1 + seconds / 10, `told ${told} times in ${seconds.toFixed(1)} s`);
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

// Stand-ins, run in the page before its script, for what the browser gives:
// its open and save dialogs and the files they give, as the File System
// Access standard has them. window.disk holds the files by name. A file
// picked to save into is emptied at once (unless EMPTIES is false, as a
// browser might not); a File is a snapshot, which fails to read once its
// file has changed; a writable writes a copy, which replaces the file on
// close or is dropped on abort, each write WRITE_DELAY ms long, or failing
// with FAIL_WRITES. OPEN_PICKER false: a browser with no open dialog.
// Also: slow, broken and plain files to drop, and a record of the Blob URLs
// revoked.
function standIns({ empties = true, openPicker = true, writeDelay = 0, failWrites = false } = {}) {
  const disk = new Map();
  const bytesOf = (base64) => Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
  window.disk = disk;
  window.picks = { open: null, save: null };
  window.writes = 0;
  window.writablesMade = 0;
  window.putFile = (name, base64, modified = 1700000000000, real = null) =>
    disk.set(name, { name, bytes: bytesOf(base64), modified, version: 0, real });
  window.fileBase64 = (name) => btoa(Array.from(disk.get(name).bytes, (b) => String.fromCharCode(b)).join(""));
  const change = (entry, bytes) => {
    entry.bytes = bytes;
    entry.modified += 1000;
    entry.version += 1;
  };
  class Snapshot extends File {
    constructor(entry) {
      super([entry.bytes], entry.name, { lastModified: entry.modified });
      this.entry = entry;
      this.version = entry.version;
    }
    stream() {
      if (this.entry.version === this.version) return super.stream();
      return new ReadableStream({ start: (c) => c.error(new DOMException("The file changed after it was picked.", "NotReadableError")) });
    }
  }
  const handle = (entry) => ({
    kind: "file",
    name: entry.name,
    entry,
    getFile: async () => new Snapshot(entry),
    isSameEntry: async (other) => other?.entry === entry,
    createWritable: async () => {
      window.writablesMade += 1;
      let copy = [];
      return new WritableStream({
        async write(chunk) {
          if (failWrites) throw new DOMException("There is no room left on the disk.", "QuotaExceededError");
          copy.push(new Uint8Array(chunk));
          window.writes += 1;
          if (writeDelay) await new Promise((resolve) => setTimeout(resolve, writeDelay));
        },
        close() {
          const all = new Uint8Array(copy.reduce((size, c) => size + c.length, 0));
          copy.reduce((at, c) => (all.set(c, at), at + c.length), 0);
          change(entry, all);
        },
        abort() {
          copy = null;
        },
      });
    },
  });
  window.showOpenFilePicker = openPicker
    ? async () => {
      const entry = disk.get(window.picks.open);
      if (!entry) throw new DOMException("The user aborted a request.", "AbortError");
      return [handle(entry)];
    }
    : undefined;
  window.showSaveFilePicker = async ({ suggestedName }) => {
    const name = window.picks.save ?? suggestedName;
    let entry = disk.get(name);
    if (!entry) {
      entry = { name, bytes: new Uint8Array(0), modified: 1700000100000, version: 0, real: null };
      disk.set(name, entry);
    } else if (empties) {
      change(entry, new Uint8Array(0));
      if (entry.real) await window.emptyOnDisk(entry.real);
    }
    return handle(entry);
  };

  // A catalogue of SIZE bytes that comes a piece every 20 ms.
  window.slowFile = (name, size, base64) => {
    const example = bytesOf(base64);
    const piece = new Uint8Array(64 * 1024).map((_, i) => example[i % example.length]);
    return new (class extends File {
      get size() {
        return size;
      }
      stream() {
        let sent = 0;
        return new ReadableStream({
          async pull(controller) {
            await new Promise((resolve) => setTimeout(resolve, 20));
            if (sent >= size) return controller.close();
            controller.enqueue(piece.slice(0, Math.min(piece.length, size - sent)));
            sent += piece.length;
          },
        });
      }
    })([], name);
  };
  window.brokenFile = (name) =>
    new (class extends File {
      stream() {
        return new ReadableStream({ start: (c) => c.error(new DOMException("The file could not be read.", "NotReadableError")) });
      }
    })(["x"], name);
  window.plainFile = (name, base64) => new File([bytesOf(base64)], name);
  // As the browser's drop of FILES: whether the page took it (prevented the
  // browser's own, which opens the file in the page's place).
  window.dropFiles = (files) => {
    const event = new Event("drop", { bubbles: true, cancelable: true });
    Object.defineProperty(event, "dataTransfer", { value: { files } });
    return !document.dispatchEvent(event);
  };
  window.revoked = [];
  const revoke = URL.revokeObjectURL.bind(URL);
  URL.revokeObjectURL = (url) => {
    window.revoked.push(url);
    revoke(url);
  };
}

const exampleBase64 = () => fs.readFileSync(path.join(examples, "catalogue.txt")).toString("base64");
const headingsBase64 = () => Buffer.from("A heading\nanother line, not a record\n").toString("base64");

// What the page shows and says: the text of its live regions, and the files
// it says are waiting.
const liveText = () =>
  [...document.querySelectorAll("[aria-live], [role=status], [role=log], [role=alert]")].map((e) => e.textContent).join("\n");

// A release checks the example and the shared cases alone (ROWPATCHER_PAGE_QUICK).
const quick = { skip: process.env.ROWPATCHER_PAGE_QUICK !== undefined };

describe("straight into a file, with a save dialog that empties the file it returns, as the browser does", quick, () => {
  const big = () => Buffer.concat(Array(2000).fill(fs.readFileSync(path.join(examples, "catalogue.txt"))));
  const expectedOf = (bytes) => {
    const file = path.join(work, "straight-input.txt");
    fs.writeFileSync(file, bytes);
    return spawnSync(process.env.ROWPATCHER_NATIVE, [file], { maxBuffer: 1 << 30 }).stdout;
  };
  const old = Buffer.from("what the file held before\n");
  const left = "out.txt is left empty: the browser empties the file picked to save into.";
  // INPUT: the catalogue's bytes; SAVE: the name picked to save into, which
  // holds OLD unless it is the input; THEN: what is done once the
  // conversion runs; OUTCOME and OUT: the page's outcome, and what the file
  // picked holds after.
  const rows = [
    { what: "converted into an existing file", input: big(), outcome: /^Converted and saved: [\d,]+ record lines kept, .* The result is in out\.txt\.$/,
      out: (input) => expectedOf(input) },
    { what: "cancelled", input: big(), options: { writeDelay: 50 }, then: "cancel",
      outcome: new RegExp(`^Cancelled: nothing was saved\\. ${left}$`), out: () => Buffer.alloc(0) },
    { what: "no record lines", input: Buffer.from(atob(headingsBase64()), "latin1"),
      outcome: new RegExp(`^No record lines were found in this file, so nothing was saved\\. 2 lines were read\\. ${left}$`), out: () => Buffer.alloc(0) },
    { what: "a write that fails", input: big(), options: { failWrites: true },
      outcome: new RegExp(`^The conversion failed \\(There is no room left on the disk\\), so nothing was saved\\. ${left}$`), out: () => Buffer.alloc(0) },
    { what: "the input picked as the output", input: big(), save: "catalogue.txt",
      outcome: /^Not converted: the file picked to save into, catalogue\.txt, is this file, which cannot be converted into itself\. The browser emptied it when it was picked: it is now empty\.$/,
      out: () => Buffer.alloc(0) },
    { what: "the input picked as the output, in a browser that does not empty it", input: big(), save: "catalogue.txt", options: { empties: false },
      outcome: /^Not converted: the file picked to save into, catalogue\.txt, is this file, which cannot be converted into itself\. It is left as it was\.$/,
      out: (input) => input },
    { what: "the input picked as the output, with no open dialog, told by name, size and time", input: big(), save: "catalogue.txt",
      options: { empties: false, openPicker: false },
      outcome: /^Not converted: the file picked to save into, catalogue\.txt, is this file, which cannot be converted into itself\. It is left as it was\.$/,
      out: (input) => input },
    { what: "the input picked as the output, with no open dialog, emptied", input: big(), save: "catalogue.txt", options: { openPicker: false },
      outcome: /^The file could not be read \(.+\), so nothing was saved\. catalogue\.txt is left empty: the browser empties the file picked to save into\. If catalogue\.txt is this file, the browser emptied it when it was picked\.$/,
      out: () => Buffer.alloc(0) },
  ];
  for (const row of rows) {
    test(row.what, async () => {
      const view = await open(origins["from disk"], { beforeLoad: standIns, args: [row.options ?? {}] });
      const { page } = view;
      const input = path.join(work, "catalogue.txt");
      fs.writeFileSync(input, row.input);
      const seconds = 1700000000;
      fs.utimesSync(input, seconds, seconds);
      await page.exposeFunction("emptyOnDisk", (file) => fs.truncateSync(file, 0));
      await page.evaluate((base64, real) => window.putFile("catalogue.txt", base64, 1700000000000, real), row.input.toString("base64"), input);
      const save = row.save ?? "out.txt";
      if (save !== "catalogue.txt") await page.evaluate((base64) => window.putFile("out.txt", base64), old.toString("base64"));
      await page.evaluate((save) => {
        window.picks = { open: "catalogue.txt", save };
      }, save);
      if (row.options?.openPicker === false) {
        await (await page.$("#straight-file")).uploadFile(input);
      } else {
        await page.click("#straight-choose");
      }
      await page.waitForSelector("#straight-save", { visible: true });
      // Told before the dialog, and as the button's description.
      const warning = await page.$eval("#straight-save", (button) => {
        const description = document.getElementById(button.getAttribute("aria-describedby"));
        return description.checkVisibility() && description.textContent.replace(/\s+/g, " ");
      });
      assert.match(warning, /^The browser empties the file you pick at once, before anything is converted/);
      assert.deepEqual(await axeViolations(page), []);
      await page.click("#straight-save");
      if (row.then === "cancel") {
        await page.waitForFunction(() => window.writes > 0, { polling: 10 });
        await page.click("#cancel");
      }
      const [result] = await settled(page, 1);
      assert.match(result.outcome, row.outcome);
      assert.equal(result.saved, false);
      const out = await page.evaluate((name) => window.fileBase64(name), save);
      assert.deepEqual(Buffer.from(out, "base64"), row.out(row.input));
      if (result.outcome.startsWith("Not converted")) {
        assert.equal(await page.evaluate(() => window.writablesMade), 0, "refused before anything is written");
      }
      assert.deepEqual(view.requests.filter((url) => !url.startsWith("blob:")), []);
      assert.deepEqual(view.errors, []);
      await page.close();
    });
  }
});

describe("files queued", quick, () => {
  test("each file's outcome is shown and announced, however soon the next begins, and the files waiting are named", async () => {
    const view = await open(origins["from disk"], { beforeLoad: standIns });
    const { page } = view;
    // Every frame drawn, what the live regions and the waiting files say.
    await page.evaluate((liveText) => {
      window.frames = [];
      const text = new Function(`return (${liveText})()`);
      const sample = () => {
        window.frames.push({ live: text(), queued: document.getElementById("queued")?.textContent ?? "" });
        requestAnimationFrame(sample);
      };
      requestAnimationFrame(sample);
    }, liveText.toString());
    const taken = await page.evaluate((example, headings) =>
      window.dropFiles([window.slowFile("first.txt", 1 << 20, example), window.brokenFile("second.txt"), window.plainFile("third.txt", headings)]),
    exampleBase64(), headingsBase64());
    assert.equal(taken, true);
    const results = await settled(page, 3);
    assert.deepEqual(results.map((r) => r.name), ["third.txt", "second.txt", "first.txt"]);
    assert.match(results[2].outcome, /^Converted: /);
    assert.match(results[1].outcome, /^The file could not be read \(The file could not be read\), so nothing was saved\.$/);
    assert.match(results[0].outcome, /^No record lines were found in this file/);
    await page.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve))));
    const frames = await page.evaluate(() => window.frames);
    for (const { name, outcome } of results) {
      assert.ok(frames.some((frame) => frame.live.includes(`${name}: ${outcome}`)), `${name}'s outcome was never in a live region: ${outcome}`);
      assert.ok(frames.at(-1).live.includes(`${name}: ${outcome}`), `${name}'s outcome left the log`);
    }
    assert.ok(frames.some((frame) => frame.queued === "Waiting: second.txt, third.txt."), "the files waiting were never named");
    assert.deepEqual(view.errors, []);
    await page.close();
  });

  // FILES, slow ones among them, dropped; the button pressed (by keyboard)
  // once the first has begun; the outcomes, and where the focus is after
  // (with one file the page may be done before the focus can be looked at:
  // only where it ends up is).
  const rows = [
    { what: "Cancel with one file: the focus goes to Choose files", files: ["slow"], press: "#cancel",
      labels: { cancel: "Cancel this file", all: null },
      outcomes: [/^Cancelled: nothing was saved\.$/] },
    { what: "Cancel this file with two waiting: the next converts, and the focus stays on Cancel", files: ["slow", "plain", "plain"],
      press: "#cancel", labels: { cancel: "Cancel this file", all: "Cancel all 3 files" },
      outcomes: [/^Cancelled: nothing was saved\.$/, /^Converted: /, /^Converted: /], focusAfterPress: "cancel" },
    { what: "Cancel all with two waiting: none converts", files: ["slow", "plain", "plain"], press: "#cancel-all",
      labels: { cancel: "Cancel this file", all: "Cancel all 3 files" },
      outcomes: [/^Cancelled: nothing was saved\.$/, /^Cancelled before it was converted: nothing was saved\.$/,
        /^Cancelled before it was converted: nothing was saved\.$/] },
  ];
  for (const row of rows) {
    test(row.what, async () => {
      const view = await open(origins["from disk"], { beforeLoad: standIns });
      const { page } = view;
      await page.evaluate((kinds, example) => {
        window.dropFiles(kinds.map((kind, i) =>
          kind === "slow" ? window.slowFile(`file-${i}.txt`, 1 << 30, example) : window.plainFile(`file-${i}.txt`, example)));
      }, row.files, exampleBase64());
      await page.waitForFunction(() => document.getElementById("progress").value > 0, { polling: 10 });
      const labels = await page.evaluate(() => ({
        cancel: document.getElementById("cancel").textContent,
        all: document.getElementById("cancel-all").hidden ? null : document.getElementById("cancel-all").textContent,
      }));
      assert.deepEqual(labels, row.labels);
      assert.deepEqual(await axeViolations(page), []);
      await page.focus(row.press);
      await page.keyboard.press("Enter");
      if (row.focusAfterPress) {
        assert.equal(await page.evaluate(() => document.activeElement.id), row.focusAfterPress);
      }
      const results = (await settled(page, row.files.length)).reverse();
      assert.equal(results.length, row.outcomes.length);
      results.forEach((result, i) => assert.match(result.outcome, row.outcomes[i], result.name));
      assert.equal(await page.evaluate(() => document.activeElement.id), "choose", "the focus after the last file");
      assert.deepEqual(view.errors, []);
      await page.close();
    });
  }
});

test("Remove takes a result off the page and lets its saved result go", quick, async () => {
  const view = await open(origins["from disk"], { beforeLoad: standIns });
  const { page } = view;
  await choose(page, path.join(examples, "catalogue.txt"));
  await settled(page, 1);
  const url = await page.$eval(".result .download", (link) => link.href);
  assert.match(url, /^blob:/);
  assert.equal(await page.$eval(".result .remove", (button) => button.getAttribute("aria-label")), "Remove catalogue.txt from the results");
  await page.focus(".result .remove");
  await page.keyboard.press("Enter");
  assert.equal(await page.$$eval(".result", (items) => items.length), 0);
  assert.equal(await page.$eval("#no-results", (p) => p.hidden), false);
  assert.equal(await page.evaluate(() => document.activeElement.id), "results-heading");
  assert.deepEqual(await page.evaluate(() => window.revoked), [url]);
  await page.close();
});

describe("where the converter cannot run, the page says why and takes drops", quick, () => {
  const rows = [
    { what: "served with a Content-Security-Policy that lacks 'wasm-unsafe-eval'", url: () => `${new URL(origins["from a server on 127.0.0.1"]).origin}/strict-host.html`,
      why: /^This browser refused to compile the converter, so this page cannot convert here \(.*Content Security Policy.*\)\.$/,
      todo: /^The web server that sent the page most likely adds a Content-Security-Policy without 'wasm-unsafe-eval': save the page and open it from disk/ },
    { what: "in a browser without WebAssembly SIMD", url: () => origins["from disk"],
      beforeLoad: () => {
        WebAssembly.validate = () => false;
        WebAssembly.compile = async () => {
          throw new WebAssembly.CompileError("WebAssembly.compile(): invalid simd opcode");
        };
      },
      why: /^This browser lacks WebAssembly SIMD, which the converter needs, so this page cannot convert here\.$/, todo: /Firefox 89/ },
    { what: "in a browser without WebAssembly", url: () => origins["from disk"],
      beforeLoad: () => {
        delete globalThis.WebAssembly;
      },
      why: /^This browser runs no WebAssembly/, todo: /use another browser/ },
  ];
  for (const row of rows) {
    test(row.what, async () => {
      const view = await open(row.url(), { beforeLoad: row.beforeLoad, ready: "#unavailable:not([hidden])" });
      const { page } = view;
      const shown = await page.evaluate(() => ({
        visible: document.getElementById("unavailable").checkVisibility(),
        role: document.getElementById("unavailable").getAttribute("role"),
        why: document.getElementById("unavailable-why").textContent,
        what: document.getElementById("unavailable-what").textContent,
        choose: document.getElementById("choose").disabled,
      }));
      assert.equal(shown.visible, true);
      assert.equal(shown.role, "alert");
      assert.match(shown.why, row.why);
      assert.match(shown.what, row.todo);
      assert.equal(shown.choose, true);
      // A drop is the page's, never the browser's, which would open the file
      // in the page's place.
      const before = page.url();
      const taken = await page.evaluate(() => {
        const transfer = new DataTransfer();
        transfer.items.add(new File(["2024/04/01 a line\n"], "dropped.txt"));
        return !document.dispatchEvent(new DragEvent("drop", { dataTransfer: transfer, bubbles: true, cancelable: true }));
      });
      assert.equal(taken, true);
      assert.equal(page.url(), before);
      assert.match(await page.$eval("#status", (s) => s.textContent), /^Nothing was converted\. /);
      assert.deepEqual(await axeViolations(page), []);
      assert.deepEqual(view.requests, []);
      assert.deepEqual(view.errors, []);
      await page.close();
    });
  }
});
