// The package against the shared conversion cases, split every way across
// chunks, and against the native program on the fuzz corpus; buffers from
// other realms; a converter that cannot be made; the builds of the package
// and the page.
//
// Environment: ROWPATCHER_PACKAGE (the laid-out package), ROWPATCHER_MODULE
// (the WebAssembly module it was laid out from), ROWPATCHER_CASES
// (tests/cases.txt), ROWPATCHER_CORPUS (fuzz/corpus), ROWPATCHER_NATIVE (the
// native program).
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { Readable } from "node:stream";
import { test } from "node:test";
import { fileURLToPath, pathToFileURL } from "node:url";
import vm from "node:vm";
import { readCases } from "../../tests/cases.mjs";

const packageIndex = pathToFileURL(path.join(process.env.ROWPATCHER_PACKAGE, "index.js")).href;
const { convert, ConvertStream } = await import(packageIndex);
const sources = path.dirname(path.dirname(fileURLToPath(import.meta.url))); // js/

const cases = readCases(process.env.ROWPATCHER_CASES);

async function streamed(chunks) {
  const output = [];
  const readable = new ReadableStream({
    start(controller) {
      for (const chunk of chunks) {
        controller.enqueue(chunk);
      }
      controller.close();
    },
  });
  for await (const piece of readable.pipeThrough(new ConvertStream())) {
    output.push(piece);
  }
  return Buffer.concat(output);
}

// A fixed-seed generator, so that a failing chunking can be run again.
function random(seed) {
  return () => {
    seed = (seed + 0x6d2b79f5) | 0;
    let t = Math.imul(seed ^ (seed >>> 15), 1 | seed);
    t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

function chunked(bytes, next) {
  const chunks = [];
  for (let at = 0; at < bytes.length; ) {
    const size = 1 + Math.floor(next() * Math.min(bytes.length - at, 300));
    chunks.push(bytes.subarray(at, at + size));
    at += size;
  }
  return chunks;
}

test("convert gives each case's output", () => {
  for (const c of cases) {
    assert.deepEqual(Buffer.from(convert(c.input)), c.output, c.what);
  }
});

test("ConvertStream gives each case's output, whole and in random chunks", async () => {
  const next = random(20261209);
  for (const c of cases) {
    assert.deepEqual(await streamed([c.input]), c.output, `${c.what}, one chunk`);
    for (let round = 0; round < 5; round++) {
      assert.deepEqual(await streamed(chunked(c.input, next)), c.output, `${c.what}, random chunks ${round}`);
    }
  }
});

test("ConvertStream counts the lines read and the record lines written", async () => {
  const lineCount = (bytes) => bytes.filter((byte) => byte === 10).length + ((bytes.at(-1) ?? 10) !== 10 ? 1 : 0);
  for (const c of cases) {
    const stream = new ConvertStream();
    const next = random(7);
    const writer = stream.writable.getWriter();
    const reading = new Response(stream.readable).arrayBuffer();
    for (const chunk of chunked(c.input, next)) {
      await writer.write(chunk);
    }
    await writer.close();
    await reading;
    assert.deepEqual([stream.lines, stream.records], [lineCount(c.input), lineCount(c.output)], c.what);
  }
});

test("a split at every point of records and headings gives the whole buffer's output", async () => {
  const named = ["records among headings", "CRLF lines", "zero bytes", "a 54-byte record head at end of file"];
  for (const c of cases.filter((c) => named.includes(c.what))) {
    for (let at = 0; at <= c.input.length; at++) {
      const output = await streamed([c.input.subarray(0, at), c.input.subarray(at)]);
      assert.deepEqual(output, c.output, `${c.what}, split at ${at}`);
    }
  }
});

test("inputs larger than a block, and views of other arrays", async () => {
  const c = cases.find((c) => c.what === "65-byte lines: a newline at every offset of a chunk");
  const times = Math.ceil((600 * 1024) / c.input.length);
  const input = Buffer.concat(Array(times).fill(c.input));
  const output = Buffer.concat(Array(times).fill(c.output));
  assert.deepEqual(Buffer.from(convert(input)), output);
  assert.deepEqual(Buffer.from(convert(new DataView(input.buffer, input.byteOffset, input.length))), output);
  assert.deepEqual(await streamed([input]), output);
  assert.throws(() => convert("text"), TypeError);
});

test("the fuzz corpus converts alike by convert, by ConvertStream and by the native program", async () => {
  const corpus = process.env.ROWPATCHER_CORPUS;
  const names = fs.readdirSync(corpus);
  assert.ok(names.length > 100);
  for (const name of names) {
    const file = path.join(corpus, name);
    const native = spawnSync(process.env.ROWPATCHER_NATIVE, [file], { maxBuffer: 1 << 30 });
    assert.equal(native.status, 0, name);
    assert.deepEqual(Buffer.from(convert(fs.readFileSync(file))), native.stdout, `${name}: convert`);
    const output = [];
    for await (const piece of Readable.toWeb(fs.createReadStream(file)).pipeThrough(new ConvertStream())) {
      output.push(piece);
    }
    assert.deepEqual(Buffer.concat(output), native.stdout, `${name}: ConvertStream`);
  }
});

test("buffers from another realm, and shared ones, convert as this realm's do", async () => {
  const c = cases.find((c) => c.what === "records among headings");
  const realm = vm.createContext({});
  const filled = (buffer) => {
    new Uint8Array(buffer).set(c.input);
    return buffer;
  };
  const inputs = [
    ["another realm's ArrayBuffer", () => filled(vm.runInContext(`new ArrayBuffer(${c.input.length})`, realm))],
    ["another realm's Uint8Array", () => new Uint8Array(filled(vm.runInContext(`new Uint8Array(${c.input.length})`, realm).buffer))],
    ["another realm's DataView", () => {
      const view = vm.runInContext(`new DataView(new ArrayBuffer(${c.input.length}))`, realm);
      filled(view.buffer);
      return view;
    }],
    ["a SharedArrayBuffer", () => filled(new SharedArrayBuffer(c.input.length))],
    ["a Uint8Array over a SharedArrayBuffer", () => new Uint8Array(filled(new SharedArrayBuffer(c.input.length)))],
  ];
  for (const [what, input] of inputs) {
    assert.deepEqual(Buffer.from(convert(input())), c.output, `${what}: convert`);
    assert.deepEqual(await streamed([input()]), c.output, `${what}: ConvertStream`);
  }
  for (const [what, input] of [
    ["text", "text"],
    ["an object with a byteLength", { byteLength: 4 }],
    ["another realm's plain object", vm.runInContext("({ byteLength: 4 })", realm)],
    ["null", null],
  ]) {
    assert.throws(() => convert(input), TypeError, what);
  }
  // A buffer whose bytes are gone reads as empty, which is no empty
  // catalogue: refused alike, directly, through a view, and as a chunk.
  const detached = (buffer) => (structuredClone(buffer, { transfer: [buffer] }), buffer);
  const shrunk = (view) => (view.buffer.resize(2), view);
  for (const [what, input] of [
    ["a detached ArrayBuffer", () => detached(filled(new ArrayBuffer(c.input.length)))],
    ["a Uint8Array of a detached buffer", () => { const buffer = filled(new ArrayBuffer(c.input.length)); const view = new Uint8Array(buffer); detached(buffer); return view; }],
    ["a DataView of a detached buffer", () => { const buffer = filled(new ArrayBuffer(c.input.length)); const view = new DataView(buffer); detached(buffer); return view; }],
    ["a view its resizable buffer shrank below", () => shrunk(new Uint8Array(new ArrayBuffer(64, { maxByteLength: 64 }), 8, 16))],
    ["a DataView its resizable buffer shrank below", () => shrunk(new DataView(new ArrayBuffer(64, { maxByteLength: 64 }), 8, 16))],
  ]) {
    assert.throws(() => convert(input()), /convert's input's bytes are gone/, `${what}: convert`);
    await assert.rejects(streamed([input()]), /a chunk's bytes are gone/, `${what}: ConvertStream`);
  }
});

test("a converter that cannot be made is an error the caller catches, and ends nothing", () => {
  // Imports the package, then has convert() and a ConvertStream fail, and
  // says how; an unhandled rejection would end it with status 1.
  const script = `
    const { convert, ConvertStream } = await import(process.argv[1]);
    const outcomes = [];
    try {
      convert(new Uint8Array(10));
      outcomes.push("convert: converted");
    } catch (error) {
      outcomes.push(\`convert: \${error.name}\`);
    }
    try {
      await new Blob(["x"]).stream().pipeThrough(new ConvertStream()).pipeTo(new WritableStream());
      outcomes.push("stream: converted");
    } catch (error) {
      outcomes.push(\`stream: \${error.name}\`);
    }
    console.log(outcomes.join(", "));`;
  const refuseInstances = `
    function refuse() {
      throw new RangeError("no memory for an instance here");
    }
    WebAssembly.Instance = refuse;
    WebAssembly.instantiate = async () => refuse();`;
  const limited = (kib) => ["bash", ["-c", `ulimit -v ${kib} && exec "$@"`, "bash", process.execPath, "--input-type=module", "-e", script, packageIndex]];
  // Streams that have ended, kept: each lets its converter go, so that room
  // for one converter is room for any number of them, one at a time.
  const kept = `
    const { ConvertStream } = await import(process.argv[1]);
    const kept = [];
    for (let i = 0; i < 3; i++) {
      const stream = new ConvertStream();
      await new Blob(["x"]).stream().pipeThrough(stream).pipeTo(new WritableStream());
      kept.push(stream);
      await new Promise((resolve) => setTimeout(resolve, 10));
      globalThis.gc();
    }
    console.log(\`\${kept.length} streams, \${kept.map((stream) => stream.lines)} lines\`);`;
  for (const [what, [command, args], outcomes] of [
    // A wasm32 memory reserves 10 GiB of address space: 16 GB holds Node.js
    // and one, 8 GB none.
    ["room for one converter (ulimit -v 16000000)", limited(16000000), "convert: converted, stream: RangeError"],
    ["three ended streams kept, in room for one converter",
      ["bash", ["-c", `ulimit -v 16000000 && exec "$@"`, "bash", process.execPath, "--expose-gc", "--input-type=module", "-e", kept, packageIndex]],
      "3 streams, 1,1,1 lines"],
    ["room for none (ulimit -v 8000000)", limited(8000000), "convert: RangeError, stream: RangeError"],
    ["WebAssembly instances refused", [process.execPath, ["--input-type=module", "-e", refuseInstances + script, packageIndex]],
      "convert: RangeError, stream: RangeError"],
  ]) {
    const run = spawnSync(command, args, { encoding: "utf8" });
    assert.deepEqual([run.status, run.stdout, run.stderr], [0, `${outcomes}\n`, ""], what);
  }
});

// What build.mjs is run on: a module of one memory of 1 page, which may grow
// to MAX pages (null: without limit), or one that imports a memory.
function moduleBytes({ max = 1, imported = false }) {
  const limits = max === null ? [0x00, 1] : [0x01, 1, max];
  const section = (id, content) => [id, content.length, ...content];
  const m = 0x6d;
  return Buffer.from([0x00, 0x61, 0x73, 0x6d, 1, 0, 0, 0,
    ...(imported ? section(2, [1, 1, m, 1, m, 0x02, ...limits]) : section(5, [1, ...limits]))]);
}

test("build.mjs lays out only a module that imports nothing and whose memory cannot grow", () => {
  const work = fs.mkdtempSync(path.join(os.tmpdir(), "rowpatcher-module-"));
  for (const [what, bytes, status] of [
    ["a memory that cannot grow", moduleBytes({}), 0],
    ["a memory without a maximum", moduleBytes({ max: null }), 1],
    ["a maximum above the memory's size", moduleBytes({ max: 2 }), 1],
    ["an imported memory", moduleBytes({ imported: true }), 1],
    ["no memory", moduleBytes({}).subarray(0, 8), 1],
    ["the module built", fs.readFileSync(process.env.ROWPATCHER_MODULE), 0],
  ]) {
    const module = path.join(work, "module.wasm");
    fs.writeFileSync(module, bytes);
    const run = spawnSync(process.execPath, [path.join(sources, "build.mjs"), module, path.join(work, "package"), "0.0.0"],
      { encoding: "utf8" });
    assert.equal(run.status, status, `${what}: ${run.stderr}`);
    if (status !== 0) {
      assert.match(run.stderr, /must import nothing and have one memory that cannot grow/, what);
    }
  }
  fs.rmSync(work, { recursive: true });
});

test("the package and the page build in a folder whose path has a space and a non-ASCII letter", async () => {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), "rowpatcher build é-"));
  const copy = (from, to) => {
    fs.mkdirSync(path.dirname(path.join(root, to)), { recursive: true });
    fs.copyFileSync(path.join(sources, from), path.join(root, to));
  };
  for (const file of ["package.json", "README.md", "index.js", "index.d.ts", "core.js", "build.mjs", "bin/rowpatcher.js"]) {
    copy(file, path.join("js", file));
  }
  for (const file of ["page.html", "page.css", "page.js", "build.mjs"]) {
    copy(path.join("..", "web", file), path.join("web", file));
  }
  copy(path.join("..", "LICENSE"), "LICENSE");
  const packageDir = path.join(root, "package");
  const page = path.join(root, "page.html");
  for (const args of [
    [path.join(root, "js", "build.mjs"), process.env.ROWPATCHER_MODULE, packageDir, "0.0.0"],
    [path.join(root, "web", "build.mjs"), packageDir, page],
  ]) {
    const run = spawnSync(process.execPath, args, { encoding: "utf8" });
    assert.equal(run.status, 0, `${path.relative(root, args[0])}: ${run.stderr}`);
  }
  const built = await import(pathToFileURL(path.join(packageDir, "index.js")).href);
  const c = cases.find((c) => c.what === "records among headings");
  assert.deepEqual(Buffer.from(built.convert(c.input)), c.output);
  assert.match(fs.readFileSync(page, "utf8"), /<meta http-equiv="Content-Security-Policy" content="default-src 'none'/);
  fs.rmSync(root, { recursive: true });
});
