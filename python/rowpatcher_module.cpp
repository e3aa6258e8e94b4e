// rowpatcher._rowpatcher: the conversion for Python, over the same block
// converter as the program, against CPython's stable ABI (3.11 and later).
// convert() takes a whole catalogue, a Converter takes one in chunks, and
// copy_stream() moves one from a binary file object to another in constant
// memory. Every input is any object with the buffer protocol; the GIL is let
// go while a block of more than a few KiB is converted. The module keeps no
// state of its own beyond its types: each call or object owns its buffer.
#define Py_LIMITED_API 0x030B0000
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "block_converter.hpp"
#include "convert_stream.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <string_view>

namespace {

// Below this many bytes a conversion keeps the GIL: letting it go costs more.
constexpr std::size_t GIL_RELEASE_SIZE = std::size_t{8} * 1024;
// copy_stream's read_size: the program's block by default, a gibibyte at most.
constexpr Py_ssize_t MAX_READ_SIZE = Py_ssize_t{1} << 30;

// One stream's converter and the memory it works in, in one allocation, with
// the counts of lines read and record lines written.
struct Stream {
    BlockConverter converter;
    char *block = nullptr;       // where the last block was put
    std::size_t newlines_in = 0; // newlines read
    std::size_t newlines_out = 0;
    char last_in = '\n'; // the last byte read and written: a newline before any
    char last_out = '\n';

    // A last line without its newline counts too.
    std::size_t lines() const { return newlines_in + (last_in != '\n' ? 1 : 0); }
    std::size_t records() const { return newlines_out + (last_out != '\n' ? 1 : 0); }
};

Stream *new_stream(std::size_t block_size)
{
    const std::size_t buffer_size = BlockConverter::buffer_size(block_size);
    const std::size_t run_count = BlockConverter::max_runs(block_size);
    const std::size_t runs_at = (sizeof(Stream) + alignof(ByteRun) - 1) / alignof(ByteRun) * alignof(ByteRun);
    const std::size_t buffer_at = runs_at + run_count * sizeof(ByteRun) + SCAN_ALIGNMENT;
    auto *const memory = static_cast<char *>(std::malloc(buffer_at + buffer_size));
    if (memory == nullptr) {
        return nullptr;
    }
    char *buffer = memory + buffer_at;
    buffer -= reinterpret_cast<std::uintptr_t>(buffer) % SCAN_ALIGNMENT;
    auto *const runs = reinterpret_cast<ByteRun *>(memory + runs_at);
    return new (memory) Stream{BlockConverter(std::span<char>(buffer, buffer_size), std::span<ByteRun>(runs, run_count))};
}

void free_stream(Stream *stream)
{
    std::free(stream); // nothing in it needs destroying
}

// Runs WORK, with the GIL let go for it where RELEASE says so.
template <class Work>
void run(bool release, Work work)
{
    if (!release) {
        work();
        return;
    }
    PyThreadState *const saved = PyEval_SaveThread();
    work();
    PyEval_RestoreThread(saved);
}

// Converts the SIZE bytes just put at stream.block and returns the kept
// bytes, moved together in the buffer, where they stay until the next block.
std::span<char> convert_block(Stream &stream, std::size_t size, bool counted)
{
    if (counted) {
        stream.newlines_in += count_newlines(stream.block, stream.block + size);
        stream.last_in = stream.block[size - 1];
    }
    const std::span<char> output = compact_runs(stream.converter.convert(size));
    if (counted && !output.empty()) {
        stream.newlines_out += count_newlines(output.data(), output.data() + output.size());
        stream.last_out = output.back();
    }
    return output;
}

// Feeds [data, data + size) through STREAM a block at a time and appends the
// output at OUT, which has room for it: the input's bytes and a held head.
// Returns the bytes written.
std::size_t convert_into(Stream &stream, const char *data, std::size_t size, char *out, bool counted)
{
    std::size_t written = 0;
    for (std::size_t at = 0; at < size;) {
        const std::size_t piece = std::min(stream.converter.block_size(), size - at);
        stream.block = stream.converter.next_block();
        std::memcpy(stream.block, data + at, piece);
        const std::span<char> output = convert_block(stream, piece, counted);
        if (!output.empty()) {
            std::memcpy(out + written, output.data(), output.size());
            written += output.size();
        }
        at += piece;
    }
    return written;
}

// The size of the conversion of a whole input: its record lines, each kept
// whole. Read-only, so that convert() can make its result at its exact size
// and write into it once. The newlines are found by the chunk scan where
// whole chunks lie inside the input, and by memchr before and after them,
// so that no byte outside the input is read.
std::size_t converted_size(const char *data, std::size_t size)
{
    const char *const end = data + size;
    const char *line = data;
    std::size_t total = 0;
    const auto line_ends = [&](const char *newline) {
        const auto length = static_cast<std::size_t>(newline + 1 - line);
        if (is_record_line({line, length})) {
            total += length;
        }
        line = newline + 1;
    };
    const auto scan_with_memchr = [&](const char *from, const char *to) {
        while (const auto *const newline =
                   static_cast<const char *>(std::memchr(from, '\n', static_cast<std::size_t>(to - from)))) {
            line_ends(newline);
            from = newline + 1;
        }
    };
    constexpr std::size_t CHUNK = NewlineScan::CHUNK_SIZE;
    const auto address = reinterpret_cast<std::uintptr_t>(data);
    const std::size_t before_chunks = std::min(size, (CHUNK - address % CHUNK) % CHUNK);
    const std::size_t chunk_bytes = (size - before_chunks) / CHUNK * CHUNK;
    const char *const chunks = data + before_chunks;
    scan_with_memchr(data, chunks);
    if (chunk_bytes > 0) {
        NewlineScan scan(chunks, chunks + chunk_bytes);
        while (const char *const newline = scan.next()) {
            line_ends(newline);
        }
    }
    scan_with_memchr(chunks + chunk_bytes, end);
    if (line < end && is_record_line({line, static_cast<std::size_t>(end - line)})) {
        total += static_cast<std::size_t>(end - line);
    }
    return total;
}

// The name of OBJECT's type, for messages; a new reference, or null.
PyObject *type_name(PyObject *object)
{
    return PyType_GetName(Py_TYPE(object));
}

// Gets a contiguous byte view of DATA, or raises TypeError naming what WHO
// accepts.
bool get_bytes(PyObject *data, Py_buffer *view, const char *who)
{
    if (PyObject_GetBuffer(data, view, PyBUF_SIMPLE) == 0) {
        return true;
    }
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        PyObject *const name = type_name(data);
        if (name != nullptr) {
            PyErr_Format(PyExc_TypeError,
                "%s takes a bytes-like object (bytes, bytearray, memoryview, mmap, array), not '%U'", who, name);
            Py_DECREF(name);
        }
    }
    return false;
}

// What the module keeps: its types, and io.RawIOBase, whose write() may
// return None for nothing written.
struct ModuleState {
    PyObject *converter_type;
    PyObject *loan_type;
    PyObject *raw_io_base;
};

ModuleState *state_of(PyObject *module)
{
    return static_cast<ModuleState *>(PyModule_GetState(module));
}

// ---- convert ----

PyObject *convert(PyObject * /*module*/, PyObject *data)
{
    Py_buffer view;
    if (!get_bytes(data, &view, "convert()")) {
        return nullptr;
    }
    const char *const input = static_cast<const char *>(view.buf);
    const auto size = static_cast<std::size_t>(view.len);
    const bool release_gil = size > GIL_RELEASE_SIZE;

    std::size_t result_size = 0;
    run(release_gil, [&] { result_size = converted_size(input, size); });
    PyObject *result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(result_size));
    Stream *const stream = result != nullptr && size > 0 ? new_stream(std::min(size, READ_BLOCK_SIZE)) : nullptr;
    if (result != nullptr && size > 0 && stream == nullptr) {
        Py_CLEAR(result);
        PyErr_NoMemory();
    }
    if (stream != nullptr) {
        // The result is new: no other thread can see it yet.
        char *const out = PyBytes_AsString(result);
        std::size_t written = 0;
        run(release_gil, [&] { written = convert_into(*stream, input, size, out, false); });
        free_stream(stream);
        if (written != result_size) { // never: both keep the record lines whole
            Py_CLEAR(result);
            PyErr_SetString(PyExc_SystemError, "rowpatcher: the conversion's size was misjudged");
        }
    }
    PyBuffer_Release(&view);
    return result;
}

// ---- Converter ----

struct ConverterObject {
    PyObject_HEAD Stream *stream;
    PyThread_type_lock lock;
    bool flushed;
};

ConverterObject *as_converter(PyObject *self)
{
    return reinterpret_cast<ConverterObject *>(self);
}

// One thread at a time in a Converter; a thread that waits lets the GIL go.
void lock_converter(ConverterObject *self)
{
    if (PyThread_acquire_lock(self->lock, NOWAIT_LOCK) == 0) {
        run(true, [&] { PyThread_acquire_lock(self->lock, WAIT_LOCK); });
    }
}

PyObject *converter_new(PyTypeObject *type, PyObject *args, PyObject *kwargs)
{
    static const char *no_keywords[] = {nullptr};
    if (PyArg_ParseTupleAndKeywords(args, kwargs, ":Converter", const_cast<char **>(no_keywords)) == 0) {
        return nullptr;
    }
    auto *const alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject *const self = alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    ConverterObject *const converter = as_converter(self);
    converter->stream = new_stream(READ_BLOCK_SIZE);
    converter->lock = PyThread_allocate_lock();
    converter->flushed = false;
    if (converter->stream == nullptr || converter->lock == nullptr) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

void converter_dealloc(PyObject *self)
{
    ConverterObject *const converter = as_converter(self);
    if (converter->stream != nullptr) {
        free_stream(converter->stream);
    }
    if (converter->lock != nullptr) {
        PyThread_free_lock(converter->lock);
    }
    PyTypeObject *const type = Py_TYPE(self);
    auto *const free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
    Py_DECREF(type);
}

PyObject *converter_convert(PyObject *self, PyObject *data)
{
    ConverterObject *const converter = as_converter(self);
    Py_buffer view;
    if (!get_bytes(data, &view, "Converter.convert()")) {
        return nullptr;
    }
    lock_converter(converter);
    Stream &stream = *converter->stream;
    const char *const input = static_cast<const char *>(view.buf);
    const auto size = static_cast<std::size_t>(view.len);
    PyObject *result = nullptr;
    if (converter->flushed) {
        PyErr_SetString(PyExc_ValueError, "Converter.convert() after flush(): the stream has ended");
    } else if (size <= stream.converter.block_size()) {
        // One block: its output lies in the buffer, and is copied once.
        std::span<char> output;
        if (size > 0) {
            stream.block = stream.converter.next_block();
            std::memcpy(stream.block, input, size);
            run(size > GIL_RELEASE_SIZE, [&] { output = convert_block(stream, size, true); });
        }
        result = PyBytes_FromStringAndSize(output.data(), static_cast<Py_ssize_t>(output.size()));
    } else {
        // Many blocks: each one's output is collected, then copied once.
        auto *const collected = static_cast<char *>(std::malloc(size + BlockConverter::MAX_HEAD_LENGTH));
        if (collected == nullptr) {
            PyErr_NoMemory();
        } else {
            std::size_t written = 0;
            run(true, [&] { written = convert_into(stream, input, size, collected, true); });
            result = PyBytes_FromStringAndSize(collected, static_cast<Py_ssize_t>(written));
            std::free(collected);
        }
    }
    PyThread_release_lock(converter->lock);
    PyBuffer_Release(&view);
    return result;
}

PyObject *converter_flush(PyObject *self, PyObject * /*unused*/)
{
    ConverterObject *const converter = as_converter(self);
    lock_converter(converter);
    const bool flushed = converter->flushed;
    converter->flushed = true;
    PyThread_release_lock(converter->lock);
    if (flushed) {
        PyErr_SetString(PyExc_ValueError, "Converter.flush() called twice: the stream has ended");
        return nullptr;
    }
    // What a converter holds back at the end is a line's head too short to
    // be a record: nothing is left to write.
    return PyBytes_FromStringAndSize(nullptr, 0);
}

// A count, read under the lock: another thread may be converting.
PyObject *count(PyObject *self, std::size_t (Stream::*counted)() const)
{
    ConverterObject *const converter = as_converter(self);
    lock_converter(converter);
    const std::size_t value = (converter->stream->*counted)();
    PyThread_release_lock(converter->lock);
    return PyLong_FromSize_t(value);
}

PyObject *converter_lines(PyObject *self, void * /*closure*/)
{
    return count(self, &Stream::lines);
}

PyObject *converter_records(PyObject *self, void * /*closure*/)
{
    return count(self, &Stream::records);
}

PyMethodDef converter_methods[] = {
    {"convert", converter_convert, METH_O,
        "convert($self, data, /)\n--\n\n"
        "Converts the next chunk of the catalogue, of any size and cut anywhere, and\n"
        "returns the record lines it completes or begins, rewritten."},
    {"flush", converter_flush, METH_NOARGS,
        "flush($self, /)\n--\n\n"
        "Ends the stream and returns what is left to write (always b'': a line's\n"
        "head too short to be a record is all a Converter holds back)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef converter_getset[] = {
    {"lines", converter_lines, nullptr, "Lines read so far; a last line without its newline counts too.", nullptr},
    {"records", converter_records, nullptr, "Record lines written so far.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot converter_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(converter_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(converter_dealloc)},
    {Py_tp_methods, converter_methods},
    {Py_tp_getset, converter_getset},
    {Py_tp_doc, const_cast<char *>("Converter()\n--\n\n"
                                   "The conversion of one catalogue fed in chunks, in constant memory. It may\n"
                                   "be used from several threads; one converts at a time.")},
    {0, nullptr},
};

PyType_Spec converter_spec = {
    "rowpatcher.Converter", sizeof(ConverterObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, converter_slots,
};

// ---- copy_stream ----

// A stretch of a stream's buffer lent to Python code for one call, as the
// buffer behind a memoryview: source.readinto() fills it, destination.write()
// reads it. Should the code keep a view of it past the call (a slice kept
// keeps it too), the loan takes the stream's memory over and frees it only
// when the last view goes, so that no view ever sees memory reused or freed.
struct LoanObject {
    PyObject_HEAD char *data;
    Py_ssize_t size;
    int readonly;
    Py_ssize_t exports;
    Stream *owned;
};

LoanObject *as_loan(PyObject *self)
{
    return reinterpret_cast<LoanObject *>(self);
}

int loan_getbuffer(PyObject *self, Py_buffer *view, int flags)
{
    LoanObject *const loan = as_loan(self);
    if (PyBuffer_FillInfo(view, self, loan->data, loan->size, loan->readonly, flags) < 0) {
        return -1;
    }
    ++loan->exports;
    return 0;
}

void loan_releasebuffer(PyObject *self, Py_buffer * /*view*/)
{
    --as_loan(self)->exports;
}

void loan_dealloc(PyObject *self)
{
    if (as_loan(self)->owned != nullptr) {
        free_stream(as_loan(self)->owned);
    }
    PyTypeObject *const type = Py_TYPE(self);
    auto *const free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
    Py_DECREF(type);
}

PyType_Slot loan_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void *>(loan_getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void *>(loan_releasebuffer)},
    {Py_tp_dealloc, reinterpret_cast<void *>(loan_dealloc)},
    {0, nullptr},
};

PyType_Spec loan_spec = {
    "rowpatcher._BufferLoan", sizeof(LoanObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, loan_slots,
};

// One copy: its source's and destination's methods, and the stream whose
// buffer the blocks pass through (null once a loan has taken it over).
struct Copy {
    PyObject *loan_type;
    PyObject *readinto; // or null, and read
    PyObject *read;
    PyObject *write;
    Py_ssize_t read_size;
    bool raw_destination; // an io.RawIOBase, whose write() returns None for nothing written
    Stream *stream;
};

// Calls CALLABLE with [data, data + size) of the copy's stream, lent as a
// memoryview that is released after the call. Returns the call's result, or
// null; a view kept past the call is a BufferError, and ends the copy.
PyObject *call_with_loan(Copy &copy, PyObject *callable, char *data, std::size_t size, bool writable,
    const char *what)
{
    auto *const alloc = reinterpret_cast<allocfunc>(
        PyType_GetSlot(reinterpret_cast<PyTypeObject *>(copy.loan_type), Py_tp_alloc));
    PyObject *const loan_object = alloc(reinterpret_cast<PyTypeObject *>(copy.loan_type), 0);
    if (loan_object == nullptr) {
        return nullptr;
    }
    LoanObject *const loan = as_loan(loan_object);
    loan->data = data;
    loan->size = static_cast<Py_ssize_t>(size);
    loan->readonly = writable ? 0 : 1;
    loan->exports = 0;
    loan->owned = nullptr;
    PyObject *const view = PyMemoryView_FromObject(loan_object);
    PyObject *result = view != nullptr ? PyObject_CallFunctionObjArgs(callable, view, nullptr) : nullptr;
    if (view != nullptr) {
        // Released even where the callee holds the memoryview itself.
        PyObject *type = nullptr;
        PyObject *value = nullptr;
        PyObject *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        Py_XDECREF(PyObject_CallMethod(view, "release", nullptr));
        PyErr_Clear();
        Py_DECREF(view);
        PyErr_Restore(type, value, traceback);
    }
    if (loan->exports > 0) {
        loan->owned = copy.stream;
        copy.stream = nullptr;
        Py_CLEAR(result);
        PyErr_Format(PyExc_BufferError,
            "%s kept a view of the buffer it was given, which copy_stream() reuses: keep a copy "
            "(bytes(data)) instead",
            what);
    }
    Py_DECREF(loan_object);
    return result;
}

// Sets the counts on the exception being raised, so that a caller knows
// what was read and written before it.
void note_counts(std::size_t bytes_read, std::size_t bytes_written)
{
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr) {
        PyObject *const read = PyLong_FromSize_t(bytes_read);
        PyObject *const written = PyLong_FromSize_t(bytes_written);
        if (read == nullptr || written == nullptr || PyObject_SetAttrString(value, "bytes_read", read) < 0 ||
            PyObject_SetAttrString(value, "bytes_written", written) < 0) {
            PyErr_Clear(); // an exception that takes no attributes keeps its message
        }
        Py_XDECREF(read);
        Py_XDECREF(written);
    }
    PyErr_Restore(type, value, traceback);
}

// Raises TYPE with FORMAT, whose one %U is the name of OBJECT's type.
void raise_about(PyObject *type, const char *format, PyObject *object)
{
    PyObject *const name = type_name(object);
    if (name != nullptr) {
        PyErr_Format(type, format, name);
        Py_DECREF(name);
    }
}

// Reads into the stream's next block: readinto() straight into it, or
// read() and a copy. Returns the bytes read, 0 at the end, or -1.
Py_ssize_t read_block(Copy &copy)
{
    Stream &stream = *copy.stream;
    stream.block = stream.converter.next_block();
    Py_ssize_t got = -1;
    if (copy.readinto != nullptr) {
        PyObject *const result = call_with_loan(copy, copy.readinto, stream.block,
            static_cast<std::size_t>(copy.read_size), true, "source.readinto()");
        if (result == nullptr) {
            return -1;
        }
        if (!PyLong_Check(result)) {
            raise_about(PyExc_TypeError,
                "source.readinto() returned '%U', not the number of bytes read (a non-blocking source returns "
                "None when it has nothing: copy_stream() needs a blocking one)",
                result);
        } else if (got = PyLong_AsSsize_t(result); got == -1 && PyErr_Occurred() != nullptr) {
            got = -1;
        } else if (got < 0 || got > copy.read_size) {
            PyErr_Format(PyExc_ValueError, "source.readinto() returned %zd for a buffer of %zd bytes", got,
                copy.read_size);
            got = -1;
        }
        Py_DECREF(result);
        return got;
    }
    PyObject *const data = PyObject_CallFunction(copy.read, "n", copy.read_size);
    if (data == nullptr) {
        return -1;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) {
        PyErr_Clear();
        raise_about(PyExc_TypeError, "source.read() returned '%U', not bytes (is the source open in binary mode?)",
            data);
    } else {
        if (view.len > copy.read_size) {
            PyErr_Format(PyExc_ValueError, "source.read(%zd) returned %zd bytes", copy.read_size, view.len);
        } else {
            got = view.len;
            std::memcpy(stream.block, view.buf, static_cast<std::size_t>(got));
        }
        PyBuffer_Release(&view);
    }
    Py_DECREF(data);
    return got;
}

// Writes OUTPUT with destination.write(). A write must take it whole: a
// number smaller than its size, or None from a raw stream (nothing written),
// is an error; None from any other object is taken as all written.
bool write_block(Copy &copy, std::span<char> output)
{
    PyObject *const result =
        call_with_loan(copy, copy.write, output.data(), output.size(), false, "destination.write()");
    if (result == nullptr) {
        return false;
    }
    bool whole = false;
    if (result == Py_None) {
        whole = !copy.raw_destination;
        if (!whole) {
            PyErr_Format(PyExc_OSError, "destination.write() wrote nothing of %zu bytes (a non-blocking raw stream?)",
                output.size());
        }
    } else if (!PyLong_Check(result)) {
        raise_about(PyExc_TypeError, "destination.write() returned '%U', not the number of bytes written", result);
    } else if (const Py_ssize_t wrote = PyLong_AsSsize_t(result); wrote == -1 && PyErr_Occurred() != nullptr) {
    } else if (static_cast<std::size_t>(wrote) != output.size()) {
        PyErr_Format(PyExc_OSError,
            "destination.write() wrote %zd of %zu bytes; copy_stream() needs a write that takes them all (a "
            "buffered file does)",
            wrote, output.size());
    } else {
        whole = true;
    }
    Py_DECREF(result);
    return whole;
}

// The copy itself, once its source, destination and memory are in hand.
PyObject *copy_blocks(Copy &copy)
{
    std::size_t bytes_read = 0;
    std::size_t bytes_written = 0;
    for (;;) {
        const Py_ssize_t got = read_block(copy);
        if (got == 0) {
            return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(bytes_read), static_cast<Py_ssize_t>(bytes_written));
        }
        if (got < 0) {
            break;
        }
        const auto size = static_cast<std::size_t>(got);
        bytes_read += size;
        std::span<char> output;
        run(size > GIL_RELEASE_SIZE, [&] { output = convert_block(*copy.stream, size, false); });
        if (!output.empty()) {
            if (!write_block(copy, output)) {
                break;
            }
            bytes_written += output.size();
        }
    }
    note_counts(bytes_read, bytes_written);
    return nullptr;
}

PyObject *copy_stream(PyObject *module, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"source", "destination", "read_size", nullptr};
    PyObject *source = nullptr;
    PyObject *destination = nullptr;
    Py_ssize_t read_size = static_cast<Py_ssize_t>(READ_BLOCK_SIZE);
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$n:copy_stream", const_cast<char **>(keywords), &source,
            &destination, &read_size) == 0) {
        return nullptr;
    }
    if (read_size <= 0 || read_size > MAX_READ_SIZE) {
        return PyErr_Format(PyExc_ValueError, "read_size must be from 1 to %zd, not %zd", MAX_READ_SIZE, read_size);
    }
    Copy copy{state_of(module)->loan_type, nullptr, nullptr, nullptr, read_size, false, nullptr};
    copy.readinto = PyObject_GetAttrString(source, "readinto");
    PyErr_Clear();
    copy.read = copy.readinto == nullptr ? PyObject_GetAttrString(source, "read") : nullptr;
    PyErr_Clear();
    copy.write = PyObject_GetAttrString(destination, "write");
    PyErr_Clear();
    PyObject *result = nullptr;
    if (copy.readinto == nullptr && copy.read == nullptr) {
        PyErr_SetString(PyExc_TypeError, "copy_stream()'s source needs readinto() or read(), as a binary file has");
    } else if (copy.write == nullptr) {
        PyErr_SetString(PyExc_TypeError, "copy_stream()'s destination needs write(), as a binary file has");
    } else if (const int raw = PyObject_IsInstance(destination, state_of(module)->raw_io_base); raw >= 0) {
        copy.raw_destination = raw == 1;
        copy.stream = new_stream(static_cast<std::size_t>(read_size));
        result = copy.stream != nullptr ? copy_blocks(copy) : PyErr_NoMemory();
    }
    if (copy.stream != nullptr) {
        free_stream(copy.stream);
    }
    Py_XDECREF(copy.readinto);
    Py_XDECREF(copy.read);
    Py_XDECREF(copy.write);
    return result;
}

// ---- the module ----

PyMethodDef module_methods[] = {
    {"convert", convert, METH_O,
        "convert($module, data, /)\n--\n\n"
        "Converts a whole catalogue held in memory, any bytes-like object, and\n"
        "returns its record lines, rewritten, in order; every other line is\n"
        "dropped. The same bytes as the rowpatcher program writes."},
    {"copy_stream", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(copy_stream)),
        METH_VARARGS | METH_KEYWORDS,
        "copy_stream($module, /, source, destination, *, read_size=524288)\n--\n\n"
        "Converts from one binary file object to another in constant memory and\n"
        "returns (bytes_read, bytes_written). The source is read with readinto()\n"
        "straight into the converter's block where it has it, else with read();\n"
        "each block's output goes to destination.write() as a memoryview that is\n"
        "valid only during the call. An exception raised on the way carries\n"
        "bytes_read and bytes_written."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject *module)
{
    ModuleState *const state = state_of(module);
    state->converter_type = PyType_FromModuleAndSpec(module, &converter_spec, nullptr);
    if (state->converter_type == nullptr || PyModule_AddObjectRef(module, "Converter", state->converter_type) < 0) {
        return -1;
    }
    state->loan_type = PyType_FromModuleAndSpec(module, &loan_spec, nullptr);
    if (state->loan_type == nullptr) {
        return -1;
    }
    PyObject *const io = PyImport_ImportModule("io");
    if (io == nullptr) {
        return -1;
    }
    state->raw_io_base = PyObject_GetAttrString(io, "RawIOBase");
    Py_DECREF(io);
    if (state->raw_io_base == nullptr) {
        return -1;
    }
    return PyModule_AddStringConstant(module, "__version__", ROWPATCHER_VERSION);
}

int module_traverse(PyObject *module, visitproc visit, void *arg)
{
    ModuleState *const state = state_of(module);
    Py_VISIT(state->converter_type);
    Py_VISIT(state->loan_type);
    Py_VISIT(state->raw_io_base);
    return 0;
}

int module_clear(PyObject *module)
{
    ModuleState *const state = state_of(module);
    Py_CLEAR(state->converter_type);
    Py_CLEAR(state->loan_type);
    Py_CLEAR(state->raw_io_base);
    return 0;
}

void module_free(void *module)
{
    (void)module_clear(static_cast<PyObject *>(module));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "rowpatcher._rowpatcher",
    "The block converter behind the rowpatcher package.",
    sizeof(ModuleState),
    module_methods,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

} // namespace

// The name CPython looks for, for a module named _rowpatcher.
PyMODINIT_FUNC PyInit__rowpatcher() // NOLINT(bugprone-reserved-identifier)
{
    return PyModuleDef_Init(&module_def);
}
