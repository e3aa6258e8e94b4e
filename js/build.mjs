// Lays out the npm package in OUT_DIR: its files from this folder, the
// project's licence, the version given, and wasm.js, which holds the module
// as base64 so that it loads alike in Node.js, browsers and bundlers. The
// module is refused unless it imports nothing and its memory cannot grow:
// core.js keeps one view of that memory, which a growth would detach.
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

// The module's imports and memories, from its sections: a memory as its
// limits in pages, max null where it has none.
function describe(bytes) {
  let at = 8; // past the magic number and the version
  const unsigned = () => {
    let value = 0;
    for (let shift = 0; ; shift += 7) {
      const byte = bytes[at++];
      value += (byte & 0x7f) * 2 ** shift;
      if ((byte & 0x80) === 0) return value;
    }
  };
  const found = { imports: 0, memories: [] };
  while (at < bytes.length) {
    const id = bytes[at++];
    const end = unsigned() + at;
    if (id === 2) {
      found.imports = unsigned();
    } else if (id === 5) {
      for (let count = unsigned(); count > 0; count--) {
        const flags = unsigned();
        const min = unsigned();
        found.memories.push({ min, max: flags & 1 ? unsigned() : null });
      }
    }
    at = end;
  }
  return found;
}

const module = fs.readFileSync(wasm);
const { imports, memories } = describe(module);
if (imports !== 0 || memories.length !== 1 || memories[0].max !== memories[0].min) {
  console.error(`build.mjs: ${wasm} must import nothing and have one memory that cannot grow ` +
    `(link with --initial-memory and --max-memory alike); it has ${imports} imports and memories ${JSON.stringify(memories)}`);
  process.exit(1);
}

fs.mkdirSync(path.join(out, "bin"), { recursive: true });
for (const file of ["README.md", "index.js", "index.d.ts", "core.js", "bin/rowpatcher.js"]) {
  fs.copyFileSync(path.join(here, file), path.join(out, file));
}
fs.chmodSync(path.join(out, "bin/rowpatcher.js"), 0o755);
fs.copyFileSync(path.join(here, "..", "LICENSE"), path.join(out, "LICENSE"));

const manifest = JSON.parse(fs.readFileSync(path.join(here, "package.json"), "utf8"));
manifest.version = version;
fs.writeFileSync(path.join(out, "package.json"), JSON.stringify(manifest, null, 2) + "\n");

fs.writeFileSync(
  path.join(out, "wasm.js"),
  `// The conversion's WebAssembly module (built from the C++ core), as base64.\nexport default "${module.toString("base64")}";\n`,
);
