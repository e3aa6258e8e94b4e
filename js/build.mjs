// Lays out the npm package in OUT_DIR: its files from this folder, the
// project's licence, the version given, and wasm.js, which holds the module
// as base64 so that it loads alike in Node.js, browsers and bundlers.
//
// Usage: node build.mjs MODULE.wasm OUT_DIR VERSION
import fs from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";

const [wasm, out, version] = process.argv.slice(2);
if (!version) {
  console.error("usage: node build.mjs MODULE.wasm OUT_DIR VERSION");
  process.exit(2);
}
const here = path.dirname(fileURLToPath(import.meta.url));

fs.mkdirSync(path.join(out, "bin"), { recursive: true });
for (const file of ["README.md", "index.js", "index.d.ts", "core.js", "bin/rowpatcher.js"]) {
  fs.copyFileSync(path.join(here, file), path.join(out, file));
}
fs.chmodSync(path.join(out, "bin/rowpatcher.js"), 0o755);
fs.copyFileSync(path.join(here, "..", "LICENSE"), path.join(out, "LICENSE"));

const manifest = JSON.parse(fs.readFileSync(path.join(here, "package.json"), "utf8"));
manifest.version = version;
fs.writeFileSync(path.join(out, "package.json"), JSON.stringify(manifest, null, 2) + "\n");

const base64 = fs.readFileSync(wasm).toString("base64");
fs.writeFileSync(
  path.join(out, "wasm.js"),
  `// The conversion's WebAssembly module (built from the C++ core), as base64.\nexport default "${base64}";\n`,
);
