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

function asBytes(input, what) {
  if (ArrayBuffer.isView(input)) {
    return input instanceof Uint8Array ? input : new Uint8Array(input.buffer, input.byteOffset, input.byteLength);
  }
  if (isBufferOf(ArrayBuffer, input) || isBufferOf(globalThis.SharedArrayBuffer, input)) {
    return new Uint8Array(input);
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
export class ConvertStream extends TransformStream {
  #state;

  constructor() {
    const state = { converter: null };
    super({
      async start() {
        state.converter = await Converter.create();
      },
      transform(chunk, controller) {
        state.converter.push(asBytes(chunk, "a chunk"), (piece) => controller.enqueue(piece.slice()));
      },
    });
    this.#state = state;
  }

  get lines() {
    return this.#state.converter?.linesRead ?? 0;
  }

  get records() {
    return this.#state.converter?.recordsWritten ?? 0;
  }
}
