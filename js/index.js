// rowpatcher: the record lines of a fixed-column catalogue, rewritten into
// the variant layout; every other line is dropped. The same conversion, byte
// for byte, as the rowpatcher program.
import { Converter } from "./core.js";

// The byteLength getters check what they are called on, in any realm: an
// ArrayBuffer made in another realm (an iframe, node:vm) fails instanceof.
function isBufferOf(type, value) {
  const byteLength = typeof type === "function" ? Object.getOwnPropertyDescriptor(type.prototype, "byteLength")?.get : undefined;
  if (!byteLength) {
    return false;
  }
  try {
    byteLength.call(value);
    return true;
  } catch {
    return false;
  }
}

// A view whose buffer was detached (transferred), or that its resizable
// buffer shrank below, reads as empty; its bytes are gone, which is no empty
// catalogue. The typed arrays' methods and DataView's getters refuse both.
const typedArrayAt = Object.getPrototypeOf(Uint8Array.prototype).at;
const dataViewLength = Object.getOwnPropertyDescriptor(DataView.prototype, "byteLength").get;

function hasItsBytes(view) {
  try {
    typedArrayAt.call(view, 0);
    return true;
  } catch {
    // not a typed array, or one without its bytes
  }
  try {
    dataViewLength.call(view);
    return true;
  } catch {
    return false;
  }
}

function asBytes(input, what) {
  const gone = () => new TypeError(`${what}'s bytes are gone: its buffer was detached (transferred), or shrunk below it`);
  if (ArrayBuffer.isView(input)) {
    if (!hasItsBytes(input)) {
      throw gone();
    }
    return input instanceof Uint8Array ? input : new Uint8Array(input.buffer, input.byteOffset, input.byteLength);
  }
  if (isBufferOf(ArrayBuffer, input) || isBufferOf(globalThis.SharedArrayBuffer, input)) {
    try {
      return new Uint8Array(input);
    } catch {
      throw gone(); // detached
    }
  }
  throw new TypeError(`${what} must be a Uint8Array, another view of bytes, an ArrayBuffer or a SharedArrayBuffer`);
}

// The converter convert() uses, made at its first call.
let shared = null;

// The conversion of a whole catalogue held in memory.
export function convert(input) {
  const bytes = asBytes(input, "convert's input");
  shared ??= Converter.createNow();
  const output = new Uint8Array(bytes.length); // never longer than the input
  let size = 0;
  shared.reset();
  shared.push(bytes, (piece) => {
    output.set(piece, size);
    size += piece.length;
  });
  return output.slice(0, size);
}

// The conversion as a stream of byte chunks, in constant memory: chunks of
// any size, a record split across chunks included. It counts the lines read
// and the record lines written, for progress. Its converter is made as it
// starts; a failure to make one errors the stream, for the caller to catch.
// Once the input has ended its converter is let go, with the address space
// it reserves; the counts stay.
export class ConvertStream extends TransformStream {
  #state;

  constructor() {
    const state = { converter: null, lines: 0, records: 0 };
    super({
      async start() {
        state.converter = await Converter.create();
      },
      transform(chunk, controller) {
        state.converter.push(asBytes(chunk, "a chunk"), (piece) => controller.enqueue(piece.slice()));
      },
      flush() {
        state.lines = state.converter.linesRead;
        state.records = state.converter.recordsWritten;
        state.converter = null;
      },
    });
    this.#state = state;
  }

  get lines() {
    return this.#state.converter?.linesRead ?? this.#state.lines;
  }

  get records() {
    return this.#state.converter?.recordsWritten ?? this.#state.records;
  }
}
