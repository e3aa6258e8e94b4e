// The page: each file chosen or dropped is streamed through ConvertStream and
// offered for download once it is converted whole; where the browser can
// write files, a file may instead be converted straight into one chosen
// first. Files are converted one after another; nothing leaves the page.
import { convert, ConvertStream } from "../js/index.js";

const PREVIEW_LINES = 20;
const PREVIEW_BYTES = 1 << 20; // of input kept to pair the first records with their lines
const PREVIEW_WIDTH = 200; // columns shown of a long line
const BLOB_BATCH = 4 << 20; // output gathered into one Blob part before it leaves the page's memory

const element = (id) => document.getElementById(id);
const status = element("status");
const results = element("results");
const queue = [];
let busy = false;

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

function announce(text) {
  status.textContent = text;
}

// A new entry at the top of the results, for one file.
function addResult(name) {
  const item = element("result").content.firstElementChild.cloneNode(true);
  item.querySelector(".name").textContent = name;
  results.prepend(item);
  element("no-results").hidden = true;
  return item;
}

function showOutcome(item, text, failed = false) {
  const outcome = item.querySelector(".outcome");
  outcome.textContent = text;
  outcome.classList.toggle("failed", failed);
  announce(`${item.querySelector(".name").textContent}: ${text}`);
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

// Shows the running conversion; returns what to call as it goes and at the end.
function showRunning(file, abort) {
  element("running-name").textContent = file.name;
  element("running").hidden = false;
  const progress = element("progress");
  const figures = element("figures");
  const cancel = element("cancel");
  cancel.onclick = () => abort.abort();
  const started = performance.now();
  let last = 0;
  const update = (bytes, converter, force = false) => {
    const now = performance.now();
    if (!force && now - last < 100) return;
    last = now;
    progress.max = Math.max(file.size, 1);
    progress.value = bytes;
    const seconds = (now - started) / 1000;
    const rate = seconds > 0 ? bytes / 1e6 / seconds : 0;
    figures.textContent =
      `${describeSize(bytes)} of ${describeSize(file.size)} read; ` +
      `${count(converter.records, "record line", "record lines")} kept, ` +
      `${count(converter.lines - converter.records, "other line", "other lines")} dropped; ` +
      `${seconds.toFixed(1)} s, ${rate.toFixed(0)} MB/s`;
  };
  return {
    update,
    seconds: () => (performance.now() - started) / 1000,
    done() {
      element("running").hidden = true;
      cancel.onclick = null;
    },
  };
}

// Reads FILE a piece at a time, with the reader every browser has. (A reader
// that brings its own buffer would leave less garbage, but Chromium at times
// never answers one of its reads of a file.)
async function* pieces(file) {
  const reader = file.stream().getReader();
  try {
    for (;;) {
      const { done, value } = await reader.read();
      if (done) return;
      yield value;
    }
  } finally {
    reader.cancel().catch(() => {}); // stops the reading if it was left early
  }
}

// Converts FILE; DESTINATION is a writable file stream, or null to offer a
// download once the file is converted whole.
async function convertFile(file, destination) {
  const item = addResult(file.name);
  const abort = new AbortController();
  const converter = new ConvertStream();
  const running = showRunning(file, abort);
  announce(`Converting ${file.name}.`);
  const head = new Uint8Array(Math.min(file.size, PREVIEW_BYTES));
  let bytesRead = 0;

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
  const output = converter.readable.pipeTo(sink, { signal: abort.signal, preventClose: destination !== null });
  output.catch(() => {}); // its failure is the writes' failure, seen below
  let yielded = performance.now();
  try {
    for await (const piece of pieces(file)) {
      if (bytesRead < head.length) head.set(piece.subarray(0, head.length - bytesRead), bytesRead);
      bytesRead += piece.length;
      await writer.write(piece);
      // Converted, so copied: its memory is let go now, as the output's is,
      // unless another piece may lie in the same buffer.
      if (piece.byteOffset === 0 && piece.byteLength === piece.buffer.byteLength) piece.buffer.transfer?.(0);
      running.update(bytesRead, converter);
      // Reads that are served at once would keep the page from drawing the
      // progress and from hearing Cancel: let it, every 50 ms.
      if (performance.now() - yielded > 50) {
        await new Promise((resolve) => setTimeout(resolve));
        yielded = performance.now();
        if (abort.signal.aborted) throw abort.signal.reason;
      }
    }
    await writer.close();
    await output;
  } catch (error) {
    running.done();
    writer.abort(error).catch(() => {});
    if (abort.signal.aborted) {
      showOutcome(item, "Cancelled: nothing was saved.");
    } else if (error?.name === "NotReadableError" || error?.name === "NotFoundError") {
      showOutcome(item, "The file could not be read, so nothing was converted.", true);
    } else {
      showOutcome(item, `The conversion failed (${error?.message ?? error}), so nothing was saved.`, true);
    }
    if (destination) destination.abort().catch(() => {});
    return;
  }
  running.update(bytesRead, converter, true);
  running.done();
  const seconds = running.seconds();
  const rate = file.size >= 1e6 ? ` (${(file.size / 1e6 / Math.max(seconds, 0.001)).toFixed(0)} MB/s)` : "";
  const summary =
    `${count(converter.records, "record line", "record lines")} kept, ` +
    `${count(converter.lines - converter.records, "other line", "other lines")} dropped, ` +
    `in ${seconds.toFixed(1)} s${rate}.`;

  if (converter.records === 0) {
    if (destination) await destination.abort();
    showOutcome(item, `No record lines were found in this file, so there is nothing to save. ${count(converter.lines, "line was", "lines were")} read.`);
    return;
  }
  if (destination) {
    try {
      await destination.close(); // the file is written here, if the disk takes it
    } catch (error) {
      showOutcome(item, `The converted file could not be saved (${error?.message ?? error}).`, true);
      return;
    }
    showOutcome(item, `Converted and saved: ${summary}`);
  } else {
    keep();
    const result = new Blob(parts, { type: "text/plain" });
    const link = item.querySelector(".download");
    link.href = URL.createObjectURL(result);
    link.download = convertedName(file.name);
    link.textContent = `Save ${link.download} (${describeSize(result.size)})`;
    item.querySelector(".save").hidden = false;
    showOutcome(item, `Converted: ${summary}`);
  }
  showPreview(item, head.subarray(0, Math.min(bytesRead, head.length)));
}

async function work() {
  if (busy) return;
  busy = true;
  while (queue.length > 0) {
    const { file, destination } = queue.shift();
    try {
      await convertFile(file, destination);
    } catch (error) {
      announce(`${file.name}: ${error?.message ?? error}`); // a failure convertFile did not foresee
    }
  }
  busy = false;
}

function enqueue(files, destination = null) {
  for (const file of files) {
    queue.push({ file, destination });
  }
  work();
}

const picker = element("files");
element("choose").addEventListener("click", () => picker.click());
picker.addEventListener("change", () => {
  enqueue([...picker.files]);
  picker.value = "";
});

const drop = element("drop");
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
  enqueue([...(event.dataTransfer?.files ?? [])]);
});

// Straight to a file: the input first, then, on a second press (the browser
// asks for one before it shows a save dialog), where to write.
if (typeof window.showSaveFilePicker === "function") {
  element("straight").hidden = false;
  const straightFile = element("straight-file");
  const ready = element("straight-ready");
  const save = element("straight-save");
  element("straight-choose").addEventListener("click", () => straightFile.click());
  straightFile.addEventListener("change", () => {
    const file = straightFile.files[0];
    if (!file) return;
    save.textContent = `Choose where to save ${convertedName(file.name)}…`;
    ready.hidden = false;
    save.focus();
    save.onclick = async () => {
      let handle;
      try {
        handle = await window.showSaveFilePicker({ suggestedName: convertedName(file.name) });
      } catch {
        return; // the dialog was closed
      }
      ready.hidden = true;
      straightFile.value = "";
      enqueue([file], await handle.createWritable());
    };
  });
}

// Ready: the converter is loaded and every handler is in place.
element("choose").disabled = false;
