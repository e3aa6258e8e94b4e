/**
 * Converts a whole catalogue: its record lines, rewritten into the variant
 * layout, in order; every other line is dropped. The result is never longer
 * than the input. Buffers from another realm (an iframe, `node:vm`) are taken
 * alike.
 *
 * The first call makes the converter; it throws a `RangeError` where the
 * address space for the converter's memory cannot be had, and an
 * {@link UnavailableError} where the converter cannot run at all.
 */
export function convert(input: Uint8Array | ArrayBufferView | ArrayBuffer | SharedArrayBuffer): Uint8Array;

/**
 * The same conversion as a stream of byte chunks, in constant memory: chunks
 * of any size and any split, a record split across chunks included.
 *
 *     file.stream().pipeThrough(new ConvertStream())
 *
 * Its converter is made as it starts: where that fails (see
 * {@link convert}), the stream errors with the failure, which the pipe's
 * promise rejects with. Its chunks are what {@link convert} takes; once the
 * input has ended, its converter is let go and its counts stay.
 * `TransformStream` is the global one: TypeScript declares it in its `dom`
 * library, and `@types/node` for Node.js.
 */
export class ConvertStream extends TransformStream<Uint8Array | ArrayBufferView | ArrayBuffer | SharedArrayBuffer, Uint8Array> {
  constructor();
  /** Lines read so far; a last line without its newline counts too. */
  readonly lines: number;
  /** Record lines written so far; the other lines read were dropped. */
  readonly records: number;
}

/**
 * What is thrown where the converter's WebAssembly module cannot run: its
 * `code` says why.
 */
export interface UnavailableError extends Error {
  readonly code:
    /** The engine runs no WebAssembly. */
    | "ROWPATCHER_NO_WEBASSEMBLY"
    /** The engine lacks WebAssembly SIMD, which the module uses. */
    | "ROWPATCHER_UNSUPPORTED"
    /** The engine refused to compile the module: in a browser, a Content-Security-Policy without 'wasm-unsafe-eval'. */
    | "ROWPATCHER_REFUSED";
}
