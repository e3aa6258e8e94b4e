// The README's stream example (In JavaScript) as written, but for the names:
// converts INPUT into OUTPUT through ConvertStream with Node.js's pipeline,
// in memory that does not grow with the input however slow OUTPUT is.
//
// Usage: node bench/stream_example.mjs PACKAGE_DIR INPUT OUTPUT
import fs from "node:fs";
import path from "node:path";
import { Duplex } from "node:stream";
import { pipeline } from "node:stream/promises";
import { pathToFileURL } from "node:url";

const [packageDir, input, output] = process.argv.slice(2);
const { ConvertStream } = await import(pathToFileURL(path.join(packageDir, "index.js")));

const converter = new ConvertStream();
await pipeline(fs.createReadStream(input), Duplex.fromWeb(converter), fs.createWriteStream(output));
console.log(`${converter.records} record lines kept of ${converter.lines} lines`);
