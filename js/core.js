// The WebAssembly converter, compiled once from the module bytes that the
// build embeds in wasm.js. Instances are made only when a caller needs one:
// each reserves its memory's whole address space (about 10 GiB in 64-bit
// engines). An instance converts one stream; its memory holds the block and
// the output of the last call.
import wasmBase64 from "./wasm.js";

function bytesOf(base64) {
  const text = atob(base64);
  const bytes = new Uint8Array(text.length);
  for (let i = 0; i < text.length; i++) {
    bytes[i] = text.charCodeAt(i);
  }
  return bytes;
}

// Why the module cannot run here, as an error with a code: an engine without
// WebAssembly, one without a feature the module uses (SIMD), or one that
// refused to compile it (a Content-Security-Policy without
// 'wasm-unsafe-eval' does). A failure here is kept and thrown to each caller,
// never left to end the program that imported this.
function loadFailure(bytes, error) {
  if (typeof WebAssembly !== "object") {
    return Object.assign(new Error("this JavaScript engine runs no WebAssembly"), { code: "ROWPATCHER_NO_WEBASSEMBLY" });
  }
  if (!WebAssembly.validate(bytes)) {
    return Object.assign(new Error("this JavaScript engine lacks the WebAssembly SIMD that the converter needs", { cause: error }),
      { code: "ROWPATCHER_UNSUPPORTED" });
  }
  return Object.assign(new Error(`the converter's WebAssembly module was refused (${error?.message ?? error})`, { cause: error }),
    { code: "ROWPATCHER_REFUSED" });
}

const moduleBytes = bytesOf(wasmBase64);
let compiled = null;
let failure = null;
try {
  compiled = await WebAssembly.compile(moduleBytes);
} catch (error) {
  failure = loadFailure(moduleBytes, error);
}

// One stream's converter: feed it bytes in any pieces; each call hands the
// converted record lines so far to a callback, as a view into the module's
// memory that is valid only until the callback returns. It counts the lines
// read and the record lines written as it goes. The view of the memory is
// made once: the module's memory cannot grow (build.mjs checks it).
export class Converter {
  constructor(instance) {
    this.exports = instance.exports;
    this.memory = new Uint8Array(this.exports.memory.buffer);
    this.blockSize = this.exports.block_size();
    this.reset();
  }

  // A new instance; rejects, as create() throws, when the module cannot run
  // here or the address space for its memory cannot be had (a RangeError).
  static async create() {
    if (failure) throw failure;
    return new Converter(await WebAssembly.instantiate(compiled));
  }

  static createNow() {
    if (failure) throw failure;
    return new Converter(new WebAssembly.Instance(compiled));
  }

  // Forgets any input given before.
  reset() {
    this.exports.reset();
    this.lines = 0;
    this.records = 0;
    this.lastIn = 10; // the last byte read and written: a newline before any
    this.lastOut = 10;
  }

  // The counts once the input has ended: a last line without its newline
  // counts too.
  get linesRead() {
    return this.lines + (this.lastIn !== 10 ? 1 : 0);
  }
  get recordsWritten() {
    return this.records + (this.lastOut !== 10 ? 1 : 0);
  }

  // Where the next block goes, and how much of it there is room for: for a
  // reader that reads into the module's memory itself.
  nextBlock() {
    this.block = this.exports.next_block();
    return this.memory.subarray(this.block, this.block + this.blockSize);
  }

  // Converts the COUNT bytes just put into nextBlock(); the view of the
  // output is valid until the next call.
  convertBlock(count) {
    if (count > 0) {
      this.lastIn = this.memory[this.block + count - 1];
    }
    const size = this.exports.convert_block(count);
    const start = this.exports.output_start();
    this.lines += this.exports.block_lines();
    this.records += this.exports.block_records();
    if (size > 0) {
      this.lastOut = this.memory[start + size - 1];
    }
    return this.memory.subarray(start, start + size);
  }

  // Feeds BYTES, and gives each non-empty piece of output to EMIT.
  push(bytes, emit) {
    for (let at = 0; at < bytes.length; at += this.blockSize) {
      const piece = bytes.subarray(at, at + this.blockSize);
      this.nextBlock().set(piece);
      const output = this.convertBlock(piece.length);
      if (output.length > 0) {
        emit(output);
      }
    }
  }
}
