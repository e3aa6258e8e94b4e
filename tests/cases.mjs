// The conversion cases shared by every test suite, read from tests/cases.txt
// (its head says how they are written), for the JavaScript tests.
import fs from "node:fs";

function unescape(text) {
  const bytes = [];
  for (let i = 0; i < text.length; i++) {
    if (text[i] !== "\\") {
      bytes.push(text.charCodeAt(i));
      continue;
    }
    const escape = text[++i];
    if (escape === "x") {
      bytes.push(parseInt(text.slice(i + 1, i + 3), 16));
      i += 2;
    } else {
      bytes.push({ n: 10, r: 13, t: 9, 0: 0, "\\": 92 }[escape]);
    }
  }
  return Buffer.from(bytes);
}

// [{ kind, what, input, output }], input and output as Buffers.
export function readCases(file) {
  const cases = [];
  for (const line of fs.readFileSync(file, "latin1").split("\n")) {
    if (line === "" || line.startsWith("#")) {
      continue;
    }
    const space = line.indexOf(" ");
    const key = space < 0 ? line : line.slice(0, space);
    const text = space < 0 ? "" : line.slice(space + 1);
    if (key === "line" || key === "stream") {
      cases.push({ kind: key, what: text, input: [], output: [] });
      continue;
    }
    const [field, times = "1"] = key.split("*");
    const bytes = unescape(text);
    for (let i = 0; i < Number(times); i++) {
      cases.at(-1)[field].push(bytes);
    }
  }
  return cases.map((c) => ({ ...c, input: Buffer.concat(c.input), output: Buffer.concat(c.output) }));
}
