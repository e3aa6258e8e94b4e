// The page: each file chosen or dropped is streamed through ConvertStream and
// offered for download once it is converted whole; where the browser can
// write files, a file may instead be converted straight into one chosen
// first. Files are converted one after another, those waiting shown; every
// outcome stays in the results and in a log that screen readers announce.
// Where the converter cannot run, the page says why. Nothing leaves the page.
import { convert, ConvertStream } from "../js/index.js";

const PREVIEW_LINES = 20;
const PREVIEW_BYTES = 1 << 20; // of input kept to pair the first records with their lines
const PREVIEW_WIDTH = 200; // columns shown of a long line
const BLOB_BATCH = 4 << 20; // output gathered into one Blob part before it leaves the page's memory
const PROGRESS_TOLD_EVERY = 10000; // ms between the progress told to screen readers
const LOG_ENTRIES = 100; // outcomes kept in the log
const QUEUE_NAMES = 5; // waiting files named

const element = (id) => document.getElementById(id);
const status = element("status");
const log = element("log");
const results = element("results");
const queue = [];
let busy = false;
let current = null; // the conversion running: { abort }

// A file dropped anywhere is taken by the page, never opened by the browser
// in its place, whether or not the page can convert.
const drop = element("drop");
let takeDropped = () => {};
for (const type of ["dragenter", "dragover"]) {
  document.addEventListener(type, (event) => {
    event.preventDefault();
    drop.classList.add("over");
  });
}
document.addEventListener("dragleave", () => drop.classList.remove("over"));
document.addEventListener("drop", (event) => {
  event.preventDefault();
  drop.classList.remove("over");
  takeDropped([...(event.dataTransfer?.files ?? [])]);
});

// "catalogue.txt" is saved as "catalogue-converted.txt".
function convertedName(name) {
  const dot = name.lastIndexOf(".");
  return dot > 0 ? `${name.slice(0, dot)}-converted${name.slice(dot)}` : `${name}-converted`;
}

function describeSize(bytes) {
  const units = ["bytes", "KB", "MB", "GB"];
  let unit = 0;
  while (bytes >= 1000 && unit < units.length - 1) {
    bytes /= 1000;
    unit += 1;
  }
  return unit === 0 ? `${bytes} bytes` : `${bytes.toFixed(1)} ${units[unit]}`;
}

const count = (number, one, many) => `${number.toLocaleString("en")} ${number === 1 ? one : many}`;
// An error in words, to quote in parentheses: without its own full stop.
const reason = (error) => String(error?.message ?? error).replace(/\.$/, "");

// What is being done, for screen readers: replaced by what follows.
function say(text) {
  status.textContent = text;
}

// An outcome, for screen readers: added to the log, where it stays however
// soon the next one comes.
function logOutcome(text) {
  const entry = document.createElement("p");
  entry.textContent = text;
  log.append(entry);
  while (log.childElementCount > LOG_ENTRIES) log.firstElementChild.remove();
}

// A new entry at the top of the results, for one file.
function addResult(name) {
  const item = element("result").content.firstElementChild.cloneNode(true);
  item.querySelector(".name").textContent = name;
  results.prepend(item);
  element("no-results").hidden = true;
  return item;
}

// The entry's outcome, shown and logged; the entry may then be removed, and
// its result (at URL, if any) is let go with it.
function showOutcome(item, text, { failed = false, url = null } = {}) {
  const name = item.querySelector(".name").textContent;
  const outcome = item.querySelector(".outcome");
  outcome.textContent = text;
  outcome.classList.toggle("failed", failed);
  logOutcome(`${name}: ${text}`);
  const remove = item.querySelector(".remove");
  remove.setAttribute("aria-label", `Remove ${name} from the results`);
  item.querySelector(".forget").hidden = false;
  remove.onclick = () => {
    if (url) URL.revokeObjectURL(url);
    const next = item.nextElementSibling ?? item.previousElementSibling;
    item.remove();
    element("no-results").hidden = results.childElementCount > 0;
    const nextRemove = next?.querySelector(".forget:not([hidden]) .remove");
    (nextRemove ?? element("results-heading")).focus();
    say(`${name} removed from the results.`);
  };
}

// The bytes as text, one character per byte (column): a tab as "→", any
// other control byte as "·".
function visible(byte) {
  if (byte === 0x09) return "→";
  if (byte < 0x20 || byte === 0x7f) return "·";
  return String.fromCharCode(byte);
}

function lineCell(bytes, against) {
  const cell = document.createElement("td");
  const length = bytes.at(-1) === 10 ? bytes.length - 1 : bytes.length; // the newline is not shown
  const shown = Math.min(length, PREVIEW_WIDTH);
  let run = "";
  let marked = false;
  const flush = () => {
    if (run === "") return;
    if (marked) {
      const mark = document.createElement("mark");
      mark.textContent = run;
      cell.append(mark);
    } else {
      cell.append(run);
    }
    run = "";
  };
  for (let i = 0; i < shown; i++) {
    const changed = against !== null && bytes[i] !== against[i];
    if (changed !== marked) {
      flush();
      marked = changed;
    }
    run += visible(bytes[i]);
  }
  flush();
  if (length > shown) {
    cell.append(` … (${count(bytes.length, "byte", "bytes")})`);
  }
  return cell;
}

// The first records of the input's first bytes, each converted alone: a
// line converts to itself rewritten exactly when it is a record line.
function showPreview(item, head) {
  const body = item.querySelector("tbody");
  let shown = 0;
  let line = 0;
  for (let start = 0; start < head.length && shown < PREVIEW_LINES; ) {
    const newline = head.indexOf(10, start);
    if (newline < 0) break; // a line longer than the bytes kept
    const input = head.subarray(start, newline + 1);
    start = newline + 1;
    line += 1;
    const output = convert(input);
    if (output.length === 0) continue;
    shown += 1;
    const before = document.createElement("tr");
    const number = document.createElement("th");
    number.scope = "row";
    number.rowSpan = 2;
    number.textContent = String(line);
    before.append(number, lineCell(input, null));
    before.querySelector("td").setAttribute("aria-label", `input line ${line}`);
    const after = document.createElement("tr");
    after.className = "output";
    after.append(lineCell(output, input));
    after.querySelector("td").setAttribute("aria-label", `converted line ${line}`);
    body.append(before, after);
  }
  if (shown > 0) {
    item.querySelector(".lines").setAttribute("aria-label", `The first ${shown} record lines of ${item.querySelector(".name").textContent}, before and after`);
    item.querySelector(".preview").hidden = false;
  }
}

// The files waiting, named, and the choice of cancelling them too.
function showQueue() {
  const waiting = element("queued");
  const names = queue.map((entry) => entry.file.name);
  const more = names.length - QUEUE_NAMES;
  waiting.textContent = more > 0 ? `Waiting: ${names.slice(0, QUEUE_NAMES).join(", ")} and ${more} more.` : `Waiting: ${names.join(", ")}.`;
  waiting.hidden = names.length === 0;
  const all = element("cancel-all");
  if (names.length === 0 && document.activeElement === all) element("cancel").focus();
  all.textContent = `Cancel all ${names.length + 1} files`;
  all.hidden = names.length === 0;
}

// Shows the running conversion; returns what to call as it goes. Screen
// readers are told the progress every PROGRESS_TOLD_EVERY ms.
function showRunning(file, converter) {
  element("running-name").textContent = file.name;
  const progress = element("progress");
  const figures = element("figures");
  progress.value = 0;
  figures.textContent = "";
  const started = performance.now();
  let shown = 0;
  let told = started;
  const update = (bytes, force = false) => {
    const now = performance.now();
    if (!force && now - shown < 100) return;
    shown = now;
    progress.max = Math.max(file.size, 1);
    progress.value = bytes;
    const seconds = (now - started) / 1000;
    const rate = seconds > 0 ? bytes / 1e6 / seconds : 0;
    const kept = count(converter.records, "record line", "record lines");
    figures.textContent =
      `${describeSize(bytes)} of ${describeSize(file.size)} read; ` +
      `${kept} kept, ${count(converter.lines - converter.records, "other line", "other lines")} dropped; ` +
      `${seconds.toFixed(1)} s, ${rate.toFixed(0)} MB/s`;
    if (now - told >= PROGRESS_TOLD_EVERY) {
      told = now;
      say(`${file.name}: ${Math.floor((100 * bytes) / Math.max(file.size, 1))}% read, ${kept} kept.`);
    }
  };
  return { update, seconds: () => (performance.now() - started) / 1000 };
}

// A failure to read the input, as told apart from one to convert or write.
class ReadFailure extends Error {}

// Reads FILE a piece at a time, with the reader every browser has. (A reader
// that brings its own buffer would leave less garbage, but Chromium at times
// never answers one of its reads of a file.) A read that fails throws a
// ReadFailure: browsers say it in many ways (NotReadableError, NotFoundError,
// or a TypeError "network error" from a file changed since it was chosen).
async function* pieces(file) {
  const reader = file.stream().getReader();
  try {
    for (;;) {
      let got;
      try {
        got = await reader.read();
      } catch (error) {
        throw new ReadFailure(reason(error));
      }
      if (got.done) return;
      yield got.value;
    }
  } finally {
    reader.cancel().catch(() => {}); // stops the reading if it was left early
  }
}

// What became of OUTPUT, the file picked to save into, once nothing was
// written to it: the browser emptied it when it was picked (an existing
// file too), or, in a browser that does not, it holds what it held.
async function outputLeft(output) {
  try {
    const now = await output.getFile();
    if (now.size > 0) return ` ${output.name} is left as it was.`;
    return ` ${output.name} is left empty: the browser empties the file picked to save into.`;
  } catch {
    return ` ${output.name} may be left empty: the browser empties the file picked to save into.`;
  }
}

// Converts FILE; OUTPUT is the handle of the file to write the result into
// as it comes, or null to offer a download once the file is converted whole.
async function convertFile({ file, output }) {
  const item = addResult(file.name);
  const abort = new AbortController();
  current = { abort };
  const converter = new ConvertStream();
  const running = showRunning(file, converter);
  say(`Converting ${file.name}.`);
  const head = new Uint8Array(Math.min(file.size, PREVIEW_BYTES));
  let bytesRead = 0;

  let destination = null;
  if (output) {
    try {
      destination = await output.createWritable();
    } catch (error) {
      showOutcome(item, `${output.name} could not be opened to save into (${reason(error)}), so nothing was converted.` +
        (await outputLeft(output)), { failed: true });
      return;
    }
  }
  // Without a destination, the output becomes Blob parts as it comes, so
  // that the page holds at most one batch of it.
  const parts = [];
  let batch = [];
  let batchSize = 0;
  const keep = () => {
    if (batch.length > 0) {
      parts.push(new Blob(batch));
      // The Blob holds a copy: the chunks' memory is let go now rather than
      // at the next garbage collection, which may come a hundred MB later.
      for (const chunk of batch) chunk.buffer.transfer?.(0);
      batch = [];
      batchSize = 0;
    }
  };
  const sink =
    destination ??
    new WritableStream({
      write(chunk) {
        batch.push(chunk);
        batchSize += chunk.length;
        if (batchSize >= BLOB_BATCH) keep();
      },
    });

  const writer = converter.writable.getWriter();
  const piped = converter.readable.pipeTo(sink, { signal: abort.signal, preventClose: destination !== null });
  piped.catch(() => {}); // its failure is the writes' failure, seen below
  let yielded = performance.now();
  try {
    if (abort.signal.aborted) throw abort.signal.reason;
    for await (const piece of pieces(file)) {
      if (bytesRead < head.length) head.set(piece.subarray(0, head.length - bytesRead), bytesRead);
      bytesRead += piece.length;
      await writer.write(piece);
      // Converted, so copied: its memory is let go now, as the output's is,
      // unless another piece may lie in the same buffer.
      if (piece.byteOffset === 0 && piece.byteLength === piece.buffer.byteLength) piece.buffer.transfer?.(0);
      running.update(bytesRead);
      // Reads that are served at once would keep the page from drawing the
      // progress and from hearing Cancel: let it, every 50 ms.
      if (performance.now() - yielded > 50) {
        await new Promise((resolve) => setTimeout(resolve));
        yielded = performance.now();
      }
      if (abort.signal.aborted) throw abort.signal.reason;
    }
    await writer.close();
    await piped;
  } catch (error) {
    writer.abort(error).catch(() => {});
    if (destination) await destination.abort().catch(() => {});
    const left = output ? await outputLeft(output) : "";
    if (abort.signal.aborted) {
      showOutcome(item, `Cancelled: nothing was saved.${left}`);
    } else if (error instanceof ReadFailure) {
      // A file picked to save into is emptied at once; if it was this one,
      // its reading fails here.
      const same = output?.name === file.name ? ` If ${output.name} is this file, the browser emptied it when it was picked.` : "";
      showOutcome(item, `The file could not be read (${error.message}), so nothing was saved.${left}${same}`, { failed: true });
    } else {
      showOutcome(item, `The conversion failed (${reason(error)}), so nothing was saved.${left}`, { failed: true });
    }
    return;
  }
  running.update(bytesRead, true);
  const seconds = running.seconds();
  const rate = file.size >= 1e6 ? ` (${(file.size / 1e6 / Math.max(seconds, 0.001)).toFixed(0)} MB/s)` : "";
  const summary =
    `${count(converter.records, "record line", "record lines")} kept, ` +
    `${count(converter.lines - converter.records, "other line", "other lines")} dropped, ` +
    `in ${seconds.toFixed(1)} s${rate}.`;
  const lines = count(converter.lines, "line was", "lines were");

  if (converter.records === 0) {
    if (destination) {
      await destination.abort().catch(() => {});
      showOutcome(item, `No record lines were found in this file, so nothing was saved. ${lines} read.${await outputLeft(output)}`);
    } else {
      showOutcome(item, `No record lines were found in this file, so there is nothing to save. ${lines} read.`);
    }
    return;
  }
  if (destination) {
    try {
      await destination.close(); // the file is written here, if the disk takes it
    } catch (error) {
      showOutcome(item, `The converted file could not be saved (${reason(error)}).${await outputLeft(output)}`, { failed: true });
      return;
    }
    showOutcome(item, `Converted and saved: ${summary} The result is in ${output.name}.`);
  } else {
    keep();
    const result = new Blob(parts, { type: "text/plain" });
    const link = item.querySelector(".download");
    link.href = URL.createObjectURL(result);
    link.download = convertedName(file.name);
    link.textContent = `Save ${link.download} (${describeSize(result.size)})`;
    item.querySelector(".save").hidden = false;
    showOutcome(item, `Converted: ${summary}`, { url: link.href });
  }
  showPreview(item, head.subarray(0, Math.min(bytesRead, head.length)));
}

// A file cancelled before its turn.
async function cancelWaiting({ file, output }) {
  const item = addResult(file.name);
  showOutcome(item, `Cancelled before it was converted: nothing was saved.${output ? await outputLeft(output) : ""}`);
}

async function work() {
  if (busy) return;
  busy = true;
  const section = element("running");
  section.hidden = false;
  while (queue.length > 0) {
    const entry = queue.shift();
    showQueue();
    try {
      await convertFile(entry);
    } catch (error) {
      logOutcome(`${entry.file.name}: ${reason(error)}`); // a failure convertFile did not foresee
    }
  }
  current = null;
  busy = false;
  say(""); // nothing is being done; the log holds what was
  // The section goes, and with it the Cancel that may hold the focus: the
  // focus goes to choosing files again.
  const focused = section.contains(document.activeElement);
  section.hidden = true;
  if (focused) element("choose").focus();
}

function enqueue(files, output = null) {
  for (const file of files) {
    queue.push({ file, output });
  }
  if (busy) showQueue();
  work();
}

// Whether OUTPUT, the file picked to save into, is FILE, the one to convert:
// by the handles where the input has one, otherwise by name, size and time.
// (A browser that empties the picked file at once leaves the latter nothing
// to match.)
async function isInput(output, file, input) {
  if (input && typeof output.isSameEntry === "function") {
    try {
      return await output.isSameEntry(input);
    } catch {
      // told by the file's look below
    }
  }
  try {
    const picked = await output.getFile();
    return picked.name === file.name && picked.size === file.size && picked.lastModified === file.lastModified;
  } catch {
    return false;
  }
}

async function refuseInput(file, output) {
  const item = addResult(file.name);
  let left;
  try {
    const now = await output.getFile();
    left = now.size === file.size && now.lastModified === file.lastModified
      ? "It is left as it was."
      : "The browser emptied it when it was picked: it is now empty.";
  } catch {
    left = "The browser may have emptied it when it was picked.";
  }
  showOutcome(item, `Not converted: the file picked to save into, ${output.name}, is this file, which cannot be converted into itself. ${left}`,
    { failed: true });
}

// Why the converter cannot run here, and what to do, or null where it runs.
function unavailable() {
  try {
    convert(new Uint8Array(0));
    return null;
  } catch (error) {
    switch (error?.code) {
      case "ROWPATCHER_NO_WEBASSEMBLY":
        return ["This browser runs no WebAssembly (some security settings turn it off), so this page cannot convert here.",
          "Allow WebAssembly for this page or use another browser; the rowpatcher program converts the same way."];
      case "ROWPATCHER_UNSUPPORTED":
        return ["This browser lacks WebAssembly SIMD, which the converter needs, so this page cannot convert here.",
          "Chrome and Edge 91, Firefox 89, Safari 16.4 and later have it; the rowpatcher program converts the same way."];
      case "ROWPATCHER_REFUSED":
        return [`This browser refused to compile the converter, so this page cannot convert here (${reason(error.cause ?? error)}).`,
          "The web server that sent the page most likely adds a Content-Security-Policy without 'wasm-unsafe-eval': " +
          "save the page and open it from disk, or have the server allow 'wasm-unsafe-eval'."];
      default:
        return [`The converter could not be made, so this page cannot convert here (${reason(error)}).`,
          "Close other pages or programs to free memory, then load the page again."];
    }
  }
}

const cannot = unavailable();
if (cannot) {
  element("unavailable-why").textContent = cannot[0];
  element("unavailable-what").textContent = cannot[1];
  element("unavailable").hidden = false;
  element("choose").setAttribute("aria-describedby", "unavailable");
  takeDropped = () => say(`Nothing was converted. ${cannot[0]}`);
} else {
  const picker = element("files");
  element("choose").addEventListener("click", () => picker.click());
  picker.addEventListener("change", () => {
    enqueue([...picker.files]);
    picker.value = "";
  });
  takeDropped = (files) => enqueue(files);

  element("cancel").addEventListener("click", () => current?.abort.abort());
  element("cancel-all").addEventListener("click", () => {
    const waiting = queue.splice(0);
    showQueue();
    current?.abort.abort();
    for (const entry of waiting) cancelWaiting(entry);
  });

  // Straight to a file: the input first, then, on a second press (the browser
  // asks for one before it shows a save dialog), where to write. The input
  // comes from the browser's open dialog where it has one: its handle can
  // tell whether the file then picked to save into is the same.
  if (typeof window.showSaveFilePicker === "function") {
    element("straight").hidden = false;
    const straightFile = element("straight-file");
    const ready = element("straight-ready");
    const save = element("straight-save");
    const offer = (file, input) => {
      save.textContent = `Choose where to save ${convertedName(file.name)}…`;
      ready.hidden = false;
      save.focus();
      save.onclick = async () => {
        let output;
        try {
          output = await window.showSaveFilePicker({ suggestedName: convertedName(file.name) });
        } catch {
          return; // the dialog was closed
        }
        ready.hidden = true;
        straightFile.value = "";
        element("straight-choose").focus();
        if (await isInput(output, file, input)) {
          await refuseInput(file, output);
        } else {
          enqueue([file], output);
        }
      };
    };
    element("straight-choose").addEventListener("click", async () => {
      if (typeof window.showOpenFilePicker !== "function") {
        straightFile.click();
        return;
      }
      try {
        const [input] = await window.showOpenFilePicker();
        offer(await input.getFile(), input);
      } catch {
        // the dialog was closed, or the file cannot be read: nothing chosen
      }
    });
    straightFile.addEventListener("change", () => {
      const file = straightFile.files[0];
      if (file) offer(file, null);
    });
  }

  // Ready: the converter runs and every handler is in place.
  element("choose").disabled = false;
}
