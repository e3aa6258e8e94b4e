// Makes the page one self-contained file: the style, the npm package's
// modules (with the WebAssembly inside, as base64) and the page's own script
// inlined into page.html, and a Content-Security-Policy that allows exactly
// these two inline blocks and compiling the module, and nothing else.
//
// The modules are joined in order with their import lines dropped and their
// export keywords removed; they are written so that this is all it takes.
//
// Usage: node build.mjs PACKAGE_DIR OUT.html
import { createHash } from "node:crypto";
import fs from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";

const [packageDir, out] = process.argv.slice(2);
if (!out) {
  console.error("usage: node build.mjs PACKAGE_DIR OUT.html");
  process.exit(2);
}
const here = path.dirname(fileURLToPath(import.meta.url));
const read = (file) => fs.readFileSync(file, "utf8");

function inlined(source) {
  return source
    .split("\n")
    .filter((line) => !/^import .* from "[^"]+";$/.test(line))
    .map((line) => line.replace(/^export default /, "const wasmBase64 = ").replace(/^export /, ""))
    .join("\n");
}

const script = [
  path.join(packageDir, "wasm.js"),
  path.join(packageDir, "core.js"),
  path.join(packageDir, "index.js"),
  path.join(here, "page.js"),
]
  .map((file) => inlined(read(file)))
  .join("\n");
const style = read(path.join(here, "page.css"));
const hash = (text) => `'sha256-${createHash("sha256").update(text).digest("base64")}'`;
const policy = [
  "default-src 'none'",
  `script-src ${hash(script)} 'wasm-unsafe-eval'`,
  `style-src ${hash(style)}`,
  "base-uri 'none'",
  "form-action 'none'",
].join("; ");

const page = read(path.join(here, "page.html"));
for (const marker of ["@CONTENT_SECURITY_POLICY@", "@STYLE@", "@SCRIPT@"]) {
  if (page.split(marker).length !== 2) {
    throw new Error(`page.html must hold ${marker} once`);
  }
}
fs.mkdirSync(path.dirname(out), { recursive: true });
fs.writeFileSync(
  out,
  page
    .replace("@CONTENT_SECURITY_POLICY@", () => policy)
    .replace("@STYLE@", () => style)
    .replace("@SCRIPT@", () => script),
);
