#!/usr/bin/env node
// rowpatcher FILE: writes the record lines of FILE, rewritten into the
// variant column layout, to standard output; every other line is dropped.
// The same bytes, messages and statuses as the native program, read and
// written a block at a time straight through the converter's memory. Every
// call to the system is in this file; where Node.js hides what the program
// sees (the bytes of a name, a closed standard output), it is read from
// /proc/self, where the system has it.
import fs from "node:fs";
import { Converter } from "../core.js";

const MAX_FILENAME_LENGTH = 132;
const STANDARD_OUTPUT = 1;

// The one error channel: one line on standard error, then status 1. PIECES
// are text or, for a file name, its bytes.
function refuse(...pieces) {
  try {
    fs.writeSync(2, Buffer.concat(pieces.map((piece) => (typeof piece === "string" ? Buffer.from(piece) : piece))));
  } catch {
    // nowhere left to report it
  }
  return 1;
}

// The words after the script's name, as bytes. Node.js decodes them as
// UTF-8, and a byte that is not UTF-8 is lost; the process's own command line
// in /proc/self/cmdline holds them as given. Its last words are used where
// they decode to the words Node.js gives. EXACT says whether they did.
function commandWords() {
  const words = process.argv.slice(2);
  const asGiven = { words: words.map((word) => Buffer.from(word)), exact: false };
  let line;
  try {
    line = fs.readFileSync("/proc/self/cmdline");
  } catch {
    return asGiven;
  }
  const all = [];
  for (let start = 0; start < line.length; ) {
    const end = line.indexOf(0, start);
    all.push(line.subarray(start, end < 0 ? line.length : end));
    start = end < 0 ? line.length : end + 1;
  }
  const last = all.slice(all.length - words.length);
  if (all.length < words.length || !last.every((bytes, i) => bytes.toString() === words[i])) {
    return asGiven;
  }
  return { words: last, exact: true };
}

const oneLine = (error) => String(error?.message ?? error).replace(/\s+/g, " ");

function identify(fd) {
  try {
    return fs.fstatSync(fd, { bigint: true });
  } catch {
    return null; // closed, or the system cannot tell: another file
  }
}

// Node.js puts /dev/null, open for reading and writing, in place of a closed
// standard output before a script starts; a shell's >/dev/null opens it for
// writing only. Where the system shows a descriptor's flags
// (/proc/self/fdinfo), such a standard output is taken for the closed one it
// stands for, which the program fails to write to. (A 1<>/dev/null looks the
// same.)
function outputIsClosedOne(output) {
  if (!output?.isCharacterDevice()) {
    return false;
  }
  let empty;
  let info;
  try {
    empty = fs.statSync("/dev/null", { bigint: true });
    info = fs.readFileSync(`/proc/self/fdinfo/${STANDARD_OUTPUT}`, "latin1");
  } catch {
    return false;
  }
  const flags = /^flags:\s*([0-7]+)\s*$/m.exec(info);
  const O_ACCMODE = 3;
  const O_RDWR = 2;
  return output.rdev === empty.rdev && flags !== null && (parseInt(flags[1], 8) & O_ACCMODE) === O_RDWR;
}

// Node.js ignores SIGPIPE and SIGXFSZ and starts its debugger on SIGUSR1;
// the program dies of each, as other filters do: a reader that goes away or
// the file-size limit ends the run by the signal itself, which a parent sees
// as such (xargs stops). A listener added and removed leaves a signal at its
// default. Where a signal cannot be listened for (Windows), Node.js's way
// stays.
function restoreDefaultSignals() {
  const none = () => {};
  for (const signal of ["SIGPIPE", "SIGXFSZ", "SIGUSR1"]) {
    try {
      process.on(signal, none);
      process.off(signal, none);
    } catch {
      // not a signal of this system
    }
  }
}

// A descriptor that another process set non-blocking is waited on.
function pause() {
  Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, 1);
}

function readSome(fd, into) {
  for (;;) {
    try {
      return fs.readSync(fd, into, 0, into.length, null);
    } catch (error) {
      if (error.code !== "EAGAIN" && error.code !== "EINTR") {
        throw error;
      }
      pause();
    }
  }
}

// A write that takes nothing is a failure, as it is to the program.
function writeAll(fd, bytes) {
  for (let done = 0; done < bytes.length; ) {
    let wrote;
    try {
      wrote = fs.writeSync(fd, bytes, done, bytes.length - done);
    } catch (error) {
      if (error.code !== "EAGAIN" && error.code !== "EINTR") {
        throw error;
      }
      pause();
      continue;
    }
    if (wrote === 0) {
      throw new Error("a write took nothing");
    }
    done += wrote;
  }
}

async function main() {
  restoreDefaultSignals();
  const { words, exact } = commandWords();
  if (words.length !== 1) {
    return refuse("Usage: rowpatcher <inputfile>\n");
  }
  const filename = words[0];
  if (filename.length > MAX_FILENAME_LENGTH) {
    return refuse("rowpatcher: filename too long.  Abort.\n");
  }
  // Standard output is looked at before the open, which could be handed its
  // descriptor.
  const output = identify(STANDARD_OUTPUT);
  const outputClosed = outputIsClosedOne(output);
  let input;
  try {
    input = fs.openSync(filename, "r");
  } catch {
    // Where the bytes were not to be had, a name Node.js could not decode
    // (it holds U+FFFD) cannot be opened as given.
    const lossy = !exact && filename.includes("\u{fffd}");
    return refuse("rowpatcher: cannot open input file ", filename,
      lossy ? " (Node.js takes names as UTF-8 here, and cannot open one that is not)" : "", ".  Abort.\n");
  }
  const inputIdentity = identify(input);
  if (output?.isFile() && inputIdentity && output.dev === inputIdentity.dev && output.ino === inputIdentity.ino) {
    return refuse("rowpatcher: input file ", filename, " is the output file.  Abort.\n");
  }
  if (inputIdentity?.isDirectory()) {
    return refuse("rowpatcher: error reading input file ", filename, ".  Abort.\n");
  }

  let converter;
  try {
    converter = await Converter.create();
  } catch (error) {
    if (error instanceof RangeError) {
      return refuse("rowpatcher: cannot allocate memory for the converter.  Abort.\n");
    }
    return refuse(`rowpatcher: cannot load the converter: ${oneLine(error)}.  Abort.\n`);
  }
  for (;;) {
    let got;
    try {
      got = readSome(input, converter.nextBlock());
    } catch {
      return refuse("rowpatcher: error reading input file ", filename, ".  Abort.\n");
    }
    if (got === 0) {
      break;
    }
    const converted = converter.convertBlock(got);
    if (outputClosed && converted.length > 0) {
      return refuse("rowpatcher: error writing output.  Abort.\n");
    }
    try {
      writeAll(STANDARD_OUTPUT, converted);
    } catch {
      // EPIPE and EFBIG too, where their signals are ignored, as they are
      // to the program
      return refuse("rowpatcher: error writing output.  Abort.\n");
    }
  }
  fs.closeSync(input);
  if (outputClosed) {
    return 0;
  }
  try {
    fs.closeSync(STANDARD_OUTPUT); // some file systems report a failed write only here
  } catch (error) {
    if (error.code !== "EBADF" && error.code !== "EINTR") {
      return refuse("rowpatcher: error writing output.  Abort.\n");
    }
  }
  return 0;
}

try {
  process.exitCode = await main();
} catch (error) {
  process.exitCode = refuse(`rowpatcher: ${oneLine(error)}.  Abort.\n`);
}
