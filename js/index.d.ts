/**
 * Converts a whole catalogue: its record lines, rewritten into the variant
 * layout, in order; every other line is dropped. The result is never longer
 * than the input.
 */
export function convert(input: Uint8Array | ArrayBufferView | ArrayBuffer): Uint8Array;

/**
 * The same conversion as a stream of byte chunks, in constant memory: chunks
 * of any size and any split, a record split across chunks included.
 *
 *     file.stream().pipeThrough(new ConvertStream())
 */
export class ConvertStream extends TransformStream<Uint8Array, Uint8Array> {
  constructor();
  /** Lines read so far; a last line without its newline counts too. */
  readonly lines: number;
  /** Record lines written so far; the other lines read were dropped. */
  readonly records: number;
}
