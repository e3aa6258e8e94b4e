// Streams FILE through the npm package's ConvertStream and drops the output:
// the JavaScript counterpart of `rowpatcher FILE >/dev/null`.
//
// Usage: node bench/convert_stream.mjs PACKAGE_DIR FILE
import fs from "node:fs";
import path from "node:path";
import { Readable } from "node:stream";
import { pathToFileURL } from "node:url";

const [packageDir, file] = process.argv.slice(2);
const { ConvertStream } = await import(pathToFileURL(path.join(packageDir, "index.js")));
let bytes = 0;
await Readable.toWeb(fs.createReadStream(file, { highWaterMark: 1 << 20 }))
  .pipeThrough(new ConvertStream())
  .pipeTo(new WritableStream({ write(chunk) { bytes += chunk.length; } }));
if (process.env.ROWPATCHER_BENCH_VERBOSE) {
  console.error(`${bytes} bytes out`);
}
