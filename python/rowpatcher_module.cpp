// rowpatcher._rowpatcher: the conversion for Python, over the same block
// converter as the program, against CPython's stable ABI (3.11 and later).
// convert() takes a whole catalogue, a Converter takes one in chunks, and
// copy_stream() moves one from a binary file object to another in constant
// memory. Every input is any object with the buffer protocol; the GIL is let
// go while a block of more than a few KiB is converted. The module keeps no
// state of its own beyond its types: each call or object owns its buffer.
//
// Nothing a caller or a callee does makes it touch memory it does not own: a
// buffer that changes while it is converted (written by another thread, or by
// another process through a shared mmap) is read once into the converter's
// own block, and no output goes past what was allocated for it; memory lent
// to a file object's method is revoked when the method returns, and kept
// alive while a view of it is left.
#define Py_LIMITED_API 0x030B0000
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "block_converter.hpp"
#include "convert_stream.hpp"
#include "converted_size.hpp"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
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
    char *block = nullptr;         // where the last block was put
    std::uint64_t newlines_in = 0; // newlines read; 64 bits on 32-bit systems too
    std::uint64_t newlines_out = 0;
    char last_in = '\n'; // the last byte read and written: a newline before any
    char last_out = '\n';

    // A last line without its newline counts too.
    std::uint64_t lines() const { return newlines_in + (last_in != '\n' ? 1 : 0); }
    std::uint64_t records() const { return newlines_out + (last_out != '\n' ? 1 : 0); }
};

// A stream for blocks of BLOCK_SIZE bytes, in one allocation from Python's
// allocator, which tracemalloc sees (the stable ABI offers no raw one before
// 3.13); null when there is no memory. Made and freed with the GIL held.
// Zeroed, so that a source that says it gave more than it wrote shows
// nothing of the memory's earlier use.
Stream *new_stream(std::size_t block_size)
{
    const std::size_t buffer_size = BlockConverter::buffer_size(block_size);
    const std::size_t run_count = BlockConverter::max_runs(block_size);
    const std::size_t runs_at = (sizeof(Stream) + alignof(ByteRun) - 1) / alignof(ByteRun) * alignof(ByteRun);
    // Room to start the buffer BUFFER_PAGE_OFFSET into a page, as the program
    // does, wherever the allocator puts the memory.
    const std::size_t buffer_at = runs_at + run_count * sizeof(ByteRun) + MEMORY_PAGE_SIZE;
    auto *const memory = static_cast<char *>(PyMem_Calloc(1, buffer_at + buffer_size));
    if (memory == nullptr) {
        return nullptr;
    }
    char *buffer = memory + buffer_at;
    const auto address = reinterpret_cast<std::uintptr_t>(buffer);
    buffer -= (address + MEMORY_PAGE_SIZE - BUFFER_PAGE_OFFSET) % MEMORY_PAGE_SIZE;
    auto *const runs = reinterpret_cast<ByteRun *>(memory + runs_at);
    return new (memory) Stream{BlockConverter(std::span<char>(buffer, buffer_size), std::span<ByteRun>(runs, run_count))};
}

void free_stream(Stream *stream)
{
    stream->converter.release();
    PyMem_Free(stream); // nothing else in it needs destroying
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

// What convert_into() returns when the output would not fit.
constexpr std::size_t NO_ROOM = SIZE_MAX;

// Feeds [data, data + size) through STREAM a block at a time and appends the
// output at OUT, which has room for CAPACITY bytes. Returns the bytes
// written, or NO_ROOM, with nothing written past CAPACITY, where the output
// does not fit. Each input byte is read once, into the stream's own block,
// so the output is the conversion of the bytes as they were read.
std::size_t convert_into(Stream &stream, const char *data, std::size_t size, char *out, std::size_t capacity,
    bool counted)
{
    std::size_t written = 0;
    for (std::size_t at = 0; at < size;) {
        const std::size_t piece = std::min(stream.converter.block_size(), size - at);
        stream.block = stream.converter.next_block();
        std::memcpy(stream.block, data + at, piece);
        const std::span<char> output = convert_block(stream, piece, counted);
        if (output.size() > capacity - written) {
            return NO_ROOM;
        }
        if (!output.empty()) {
            std::memcpy(out + written, output.data(), output.size());
            written += output.size();
        }
        at += piece;
    }
    return written;
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

// The attribute names the module looks up, interned once: a name made anew
// for each lookup would cost an allocation, and fill the interpreter's cache
// of type attributes with strings of its own.
enum Name { READINTO1, READINTO, READ, WRITE, RELEASE, BYTES_READ, BYTES_WRITTEN, CHARACTERS_WRITTEN, NAME_COUNT };
constexpr const char *NAME_TEXTS[NAME_COUNT] = {
    "readinto1", "readinto", "read", "write", "release", "bytes_read", "bytes_written", "characters_written"};

// What the module keeps: its types, io.RawIOBase, whose write() returns
// None when it would block, and the names above.
struct ModuleState {
    PyObject *converter_type;
    PyObject *loan_type;
    PyObject *raw_io_base;
    PyObject *names[NAME_COUNT];

    PyObject *name(Name which) const { return names[which]; }
};

ModuleState *state_of(PyObject *module)
{
    return static_cast<ModuleState *>(PyModule_GetState(module));
}

// ---- convert ----

// The BufferError of an input that changed while it was converted.
void raise_changed(const char *who)
{
    PyErr_Format(PyExc_BufferError,
        "%s: the input changed while it was converted (written by another thread or process); convert a copy "
        "(bytes(data)), or leave it unchanged until the call returns",
        who);
}

// Sizes the result by one read-only pass, then converts into it. Should the
// input change between or during the passes, the second pass finds that the
// output does not fit, or falls short, and raises BufferError; nothing is
// written outside the result either way.
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
    PyObject *result = nullptr;
    if (result_size == 0) {
        // No record line in the input as the pass read it: nothing to convert.
        result = PyBytes_FromStringAndSize(nullptr, 0);
    } else if (Stream *const stream = new_stream(std::min(size, READ_BLOCK_SIZE)); stream == nullptr) {
        PyErr_NoMemory();
    } else {
        result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(result_size));
        if (result != nullptr) {
            // The result is new: no other thread can see it yet.
            char *const out = PyBytes_AsString(result);
            std::size_t written = 0;
            run(release_gil, [&] { written = convert_into(*stream, input, size, out, result_size, false); });
            if (written != result_size) {
                Py_CLEAR(result);
                raise_changed("convert()");
            }
        }
        free_stream(stream);
    }
    PyBuffer_Release(&view);
    return result;
}

// ---- Converter ----

// The ValueError of a converter that lost a chunk's output: a call failed (no
// memory for its result) after the chunk had been converted.
void raise_failed(const char *who)
{
    PyErr_Format(PyExc_ValueError,
        "%s: an earlier convert() failed after it had taken its chunk, whose output is lost; this converter "
        "takes no more (start again with a new one)",
        who);
}

struct ConverterObject {
    PyObject_HEAD Stream *stream;
    PyThread_type_lock lock;
    bool flushed;
    bool failed; // a call failed after it had taken its chunk, whose output is lost
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
    converter->failed = false;
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
    } else if (converter->failed) {
        raise_failed("Converter.convert()");
    } else if (size <= stream.converter.block_size()) {
        // One block: its output lies in the buffer, and is copied once.
        std::span<char> output;
        if (size > 0) {
            stream.block = stream.converter.next_block();
            std::memcpy(stream.block, input, size);
            run(size > GIL_RELEASE_SIZE, [&] { output = convert_block(stream, size, true); });
        }
        result = PyBytes_FromStringAndSize(output.data(), static_cast<Py_ssize_t>(output.size()));
        converter->failed = result == nullptr;
    } else {
        // Many blocks: each one's output is collected, then copied once.
        // The output is at most the input and the head held from before it,
        // whatever the input does meanwhile: every byte is read once.
        const std::size_t capacity = size + BlockConverter::MAX_HEAD_LENGTH;
        auto *const collected = static_cast<char *>(PyMem_Malloc(capacity));
        if (collected == nullptr) {
            PyErr_NoMemory();
        } else {
            std::size_t written = 0;
            run(true, [&] { written = convert_into(stream, input, size, collected, capacity, true); });
            if (written == NO_ROOM) {
                raise_changed("Converter.convert()"); // never: the capacity holds any output
            } else {
                result = PyBytes_FromStringAndSize(collected, static_cast<Py_ssize_t>(written));
            }
            converter->failed = result == nullptr;
            PyMem_Free(collected);
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
    const bool failed = converter->failed;
    converter->flushed = true;
    PyThread_release_lock(converter->lock);
    if (flushed) {
        PyErr_SetString(PyExc_ValueError, "Converter.flush() called twice: the stream has ended");
        return nullptr;
    }
    if (failed) {
        raise_failed("Converter.flush()");
        return nullptr;
    }
    // What a converter holds back at the end is a line's head too short to
    // be a record: nothing is left to write.
    return PyBytes_FromStringAndSize(nullptr, 0);
}

// A count, read under the lock: another thread may be converting.
PyObject *count(PyObject *self, std::uint64_t (Stream::*counted)() const)
{
    ConverterObject *const converter = as_converter(self);
    lock_converter(converter);
    const std::uint64_t value = (converter->stream->*counted)();
    PyThread_release_lock(converter->lock);
    return PyLong_FromUnsignedLongLong(value);
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
// reads it. The loan is revoked when the call returns, so that no view can be
// made of it afterwards, even by code that kept the loan itself (the view's
// .obj). Should a view made during the call outlive it (a slice kept, or the
// traceback of an exception that holds one), the loan takes the stream's
// memory over and frees it when the last such view goes, so that no view
// ever sees memory reused or freed. Python code cannot make one.
struct LoanObject {
    PyObject_HEAD char *data;
    Py_ssize_t size;
    int readonly;
    bool lent;          // during the call it was made for, and only then
    Py_ssize_t exports; // views of it alive
    Stream *owned;      // the stream's memory, kept for views that outlived the call
};

LoanObject *as_loan(PyObject *self)
{
    return reinterpret_cast<LoanObject *>(self);
}

int loan_getbuffer(PyObject *self, Py_buffer *view, int flags)
{
    LoanObject *const loan = as_loan(self);
    if (!loan->lent) {
        view->obj = nullptr;
        PyErr_SetString(PyExc_BufferError,
            "the buffer that copy_stream() lends to a file object's method is valid only during that call");
        return -1;
    }
    if (PyBuffer_FillInfo(view, self, loan->data, loan->size, loan->readonly, flags) < 0) {
        return -1;
    }
    ++loan->exports;
    return 0;
}

void loan_releasebuffer(PyObject *self, Py_buffer * /*view*/)
{
    LoanObject *const loan = as_loan(self);
    if (--loan->exports == 0 && loan->owned != nullptr) {
        free_stream(loan->owned);
        loan->owned = nullptr;
    }
}

// A loan outlives its views, each of which holds it: the last view's release
// has freed any memory it owned.
void loan_dealloc(PyObject *self)
{
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
    "rowpatcher._BufferLoan", sizeof(LoanObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, loan_slots,
};

// One copy: its source's and destination's methods, the stream whose buffer
// the blocks pass through (null once a loan has taken it over), and what the
// source has given and the destination has taken so far.
struct Copy {
    const ModuleState *state;
    PyObject *readinto; // readinto1() or readinto(); or null, and read
    const char *readinto_name;
    PyObject *read;
    PyObject *write;
    Py_ssize_t read_size;
    bool raw_destination; // an io.RawIOBase, whose write() returns None when it would block
    Stream *stream;
    std::uint64_t bytes_read = 0;
    std::uint64_t bytes_written = 0;
};

// What a call with a loan gave: its result (null where it raised), and
// whether a view of the loan outlived the call.
struct LoanCall {
    PyObject *result;
    bool kept;
};

// Calls CALLABLE with [data, data + size) of the copy's stream, lent as a
// memoryview that is released, and the loan revoked, as soon as the call
// returns. The callee's own exception, if it raised one, stays the one set.
LoanCall call_with_loan(Copy &copy, PyObject *callable, char *data, std::size_t size, bool writable)
{
    auto *const type = reinterpret_cast<PyTypeObject *>(copy.state->loan_type);
    auto *const alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject *const loan_object = alloc(type, 0);
    if (loan_object == nullptr) {
        return {nullptr, false};
    }
    LoanObject *const loan = as_loan(loan_object);
    loan->data = data;
    loan->size = static_cast<Py_ssize_t>(size);
    loan->readonly = writable ? 0 : 1;
    loan->lent = true;
    loan->exports = 0;
    loan->owned = nullptr;
    PyObject *const view = PyMemoryView_FromObject(loan_object);
    PyObject *const result = view != nullptr ? PyObject_CallFunctionObjArgs(callable, view, nullptr) : nullptr;
    if (view != nullptr) {
        // Released even where the callee holds the memoryview itself; a
        // release refused (the view is itself exported) leaves the views to
        // the loan below.
        PyObject *type_raised = nullptr;
        PyObject *value = nullptr;
        PyObject *traceback = nullptr;
        PyErr_Fetch(&type_raised, &value, &traceback);
        Py_XDECREF(PyObject_CallMethodObjArgs(view, copy.state->name(RELEASE), nullptr));
        PyErr_Clear();
        Py_DECREF(view);
        PyErr_Restore(type_raised, value, traceback);
    }
    loan->lent = false;
    const bool kept = loan->exports > 0;
    if (kept) {
        loan->owned = copy.stream;
        copy.stream = nullptr;
    }
    Py_DECREF(loan_object);
    return {result, kept};
}

// The BufferError of a method that kept a view of what it was lent.
void raise_kept(const char *who)
{
    PyErr_Format(PyExc_BufferError,
        "%s kept a view of the buffer it was given, which copy_stream() reuses: keep a copy (bytes(data)) "
        "instead",
        who);
}

// Raises BlockingIOError (EAGAIN) saying that WHO did WHAT: a non-blocking
// file that had nothing to give or could take nothing, as io reports it.
void raise_blocking(const char *who, const char *what)
{
    PyObject *const arguments = Py_BuildValue("(iN)", EAGAIN, PyUnicode_FromFormat("%s %s", who, what));
    if (arguments != nullptr) {
        PyErr_SetObject(PyExc_BlockingIOError, arguments);
        Py_DECREF(arguments);
    }
}

// The number that WHO returned for a buffer of LIMIT bytes: any integer, by
// __index__ as io takes it, from 0 to LIMIT. -1 with an exception set when it
// is none.
Py_ssize_t returned_count(PyObject *result, Py_ssize_t limit, const char *who, const char *what)
{
    if (PyIndex_Check(result) == 0) {
        PyObject *const name = PyType_GetName(Py_TYPE(result));
        if (name != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s returned '%U', not the number of bytes %s", who, name, what);
            Py_DECREF(name);
        }
        return -1;
    }
    PyObject *const number = PyNumber_Index(result);
    if (number == nullptr) {
        return -1;
    }
    Py_ssize_t count = PyLong_AsSsize_t(number);
    if (count == -1 && PyErr_Occurred() != nullptr) {
        PyErr_Clear(); // an int fails only out of range, as below
    }
    if (count < 0 || count > limit) {
        PyErr_Format(PyExc_ValueError, "%s returned %S for a buffer of %zd bytes", who, number, limit);
        count = -1;
    }
    Py_DECREF(number);
    return count;
}

// Raises again the exception TYPE, VALUE, TRACEBACK that was being raised
// when its attributes were read or set, unless that raised another that is
// neither AttributeError nor TypeError (the exception takes no such
// attribute): a KeyboardInterrupt or a MemoryError is raised in its place,
// with the first as its __context__, as Python chains an exception raised
// while another is handled.
void raise_again(PyObject *type, PyObject *value, PyObject *traceback)
{
    if (PyErr_Occurred() == nullptr || PyErr_ExceptionMatches(PyExc_AttributeError) != 0 ||
        PyErr_ExceptionMatches(PyExc_TypeError) != 0) {
        PyErr_Clear();
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyObject *other_type = nullptr;
    PyObject *other = nullptr;
    PyObject *other_traceback = nullptr;
    PyErr_Fetch(&other_type, &other, &other_traceback);
    PyErr_NormalizeException(&other_type, &other, &other_traceback);
    if (other != nullptr && value != nullptr) {
        if (traceback != nullptr) {
            (void)PyException_SetTraceback(value, traceback);
        }
        PyException_SetContext(other, value); // takes the reference
    } else {
        Py_XDECREF(value);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyErr_Restore(other_type, other, other_traceback);
}

// Sets the counts on the exception being raised, so that a caller knows
// what was read and written before it.
void note_counts(const Copy &copy)
{
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr) {
        PyObject *const read = PyLong_FromUnsignedLongLong(copy.bytes_read);
        PyObject *const written = PyLong_FromUnsignedLongLong(copy.bytes_written);
        // An exception that takes no attributes is raised without them.
        (void)(read != nullptr && written != nullptr &&
               PyObject_SetAttr(value, copy.state->name(BYTES_READ), read) == 0 &&
               PyObject_SetAttr(value, copy.state->name(BYTES_WRITTEN), written) == 0);
        Py_XDECREF(read);
        Py_XDECREF(written);
    }
    raise_again(type, value, traceback);
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
// read() and a copy. Returns the bytes read, 0 at the end, or -1. What the
// source gave is counted, also where it then fails.
Py_ssize_t read_block(Copy &copy)
{
    Stream &stream = *copy.stream;
    stream.block = stream.converter.next_block();
    if (copy.readinto != nullptr) {
        const LoanCall call =
            call_with_loan(copy, copy.readinto, stream.block, static_cast<std::size_t>(copy.read_size), true);
        if (call.result == nullptr) {
            return -1;
        }
        Py_ssize_t got = -1;
        if (call.result == Py_None) {
            raise_blocking(copy.readinto_name, "returned None: a non-blocking source had nothing to read, and "
                                               "copy_stream() needs a blocking one");
        } else {
            got = returned_count(call.result, copy.read_size, copy.readinto_name, "read");
        }
        Py_DECREF(call.result);
        if (got >= 0) {
            copy.bytes_read += static_cast<std::uint64_t>(got);
            if (call.kept) {
                raise_kept(copy.readinto_name);
                got = -1;
            }
        }
        return got;
    }
    PyObject *const data = PyObject_CallFunction(copy.read, "n", copy.read_size);
    if (data == nullptr) {
        return -1;
    }
    Py_ssize_t got = -1;
    Py_buffer view;
    if (data == Py_None) {
        raise_blocking("source.read()", "returned None: a non-blocking source had nothing to read, and "
                                        "copy_stream() needs a blocking one");
    } else if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) != 0) {
            PyErr_Clear();
            raise_about(PyExc_TypeError,
                "source.read() returned '%U', not bytes (is the source open in binary mode?)", data);
        }
    } else {
        if (view.len > copy.read_size) {
            PyErr_Format(PyExc_ValueError, "source.read(%zd) returned %zd bytes", copy.read_size, view.len);
        } else {
            got = view.len;
            std::memcpy(stream.block, view.buf, static_cast<std::size_t>(got));
            copy.bytes_read += static_cast<std::uint64_t>(got);
        }
        PyBuffer_Release(&view);
    }
    Py_DECREF(data);
    return got;
}

// What a BlockingIOError raised by a write says it took of the REST bytes
// (io's characters_written), counted as written. The exception stays set.
void count_blocked_write(Copy &copy, Py_ssize_t rest)
{
    if (PyErr_ExceptionMatches(PyExc_BlockingIOError) == 0) {
        return;
    }
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject *const taken =
        value != nullptr ? PyObject_GetAttr(value, copy.state->name(CHARACTERS_WRITTEN)) : nullptr;
    if (taken != nullptr && PyLong_Check(taken)) {
        const Py_ssize_t count = PyLong_AsSsize_t(taken);
        if (count > 0 && count <= rest) {
            copy.bytes_written += static_cast<std::uint64_t>(count);
        } else if (count == -1) {
            PyErr_Clear(); // too large to be a count: none
        }
    }
    Py_XDECREF(taken);
    raise_again(type, value, traceback); // none said, or no number: nothing counted
}

// Writes OUTPUT with destination.write(), in as many calls as it takes: a
// write that takes part of it is given the rest, as a buffered writer does.
// None from a raw file is BlockingIOError (it would block), and None from any
// other object means all was taken; a write that takes nothing of what it is
// given is an error (OSError), not a loop. What the destination took is
// counted, also where it then fails.
bool write_block(Copy &copy, std::span<char> output)
{
    for (std::size_t done = 0; done < output.size();) {
        const auto rest = static_cast<Py_ssize_t>(output.size() - done);
        const LoanCall call = call_with_loan(copy, copy.write, output.data() + done, output.size() - done, false);
        if (call.result == nullptr) {
            count_blocked_write(copy, rest);
            return false;
        }
        Py_ssize_t wrote = -1;
        if (call.result != Py_None) {
            wrote = returned_count(call.result, rest, "destination.write()", "written");
        } else if (copy.raw_destination) {
            raise_blocking("destination.write()", "returned None: a non-blocking destination could take "
                                                  "nothing, and copy_stream() needs a blocking one");
        } else {
            wrote = rest;
        }
        Py_DECREF(call.result);
        if (wrote < 0) {
            return false;
        }
        copy.bytes_written += static_cast<std::uint64_t>(wrote);
        if (call.kept) {
            raise_kept("destination.write()");
            return false;
        }
        if (wrote == 0) {
            PyErr_Format(PyExc_OSError, "destination.write() wrote nothing of %zd bytes", rest);
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

// The copy itself, once its source, destination and memory are in hand.
// Signal handlers run once a block, so that Ctrl-C ends a long copy between
// two C-implemented files too, its exception carrying the counts.
PyObject *copy_blocks(Copy &copy)
{
    for (;;) {
        const Py_ssize_t got = read_block(copy);
        if (got == 0) {
            return Py_BuildValue("(KK)", static_cast<unsigned long long>(copy.bytes_read),
                static_cast<unsigned long long>(copy.bytes_written));
        }
        if (got < 0) {
            break;
        }
        const auto size = static_cast<std::size_t>(got);
        std::span<char> output;
        run(size > GIL_RELEASE_SIZE, [&] { output = convert_block(*copy.stream, size, false); });
        if (!output.empty() && !write_block(copy, output)) {
            break;
        }
        if (PyErr_CheckSignals() < 0) {
            break;
        }
    }
    return nullptr;
}

// The read_size given, from 1 to MAX_READ_SIZE; -1 with ValueError where it
// is out of that range however large, TypeError where it is no integer.
Py_ssize_t read_size_of(PyObject *given)
{
    if (given == nullptr) {
        return static_cast<Py_ssize_t>(READ_BLOCK_SIZE);
    }
    PyObject *const number = PyNumber_Index(given);
    if (number == nullptr) {
        return -1;
    }
    Py_ssize_t size = PyLong_AsSsize_t(number);
    if (size == -1 && PyErr_Occurred() != nullptr && PyErr_ExceptionMatches(PyExc_OverflowError) != 0) {
        PyErr_Clear(); // out of range, as below
        size = 0;
    }
    if (PyErr_Occurred() == nullptr && (size <= 0 || size > MAX_READ_SIZE)) {
        PyErr_Format(PyExc_ValueError, "read_size must be from 1 to %zd, not %S", MAX_READ_SIZE, number);
    }
    Py_DECREF(number);
    return PyErr_Occurred() != nullptr ? -1 : size;
}

// Looks up OBJECT's method NAME: 1 with *METHOD set, 0 where the object has
// no such attribute, -1 on any other error (which stays set).
int find_method(PyObject *object, PyObject *name, PyObject **method)
{
    *method = PyObject_GetAttr(object, name);
    if (*method != nullptr) {
        return 1;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError) == 0) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

PyObject *copy_stream(PyObject *module, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"source", "destination", "read_size", nullptr};
    PyObject *source = nullptr;
    PyObject *destination = nullptr;
    PyObject *given_size = nullptr;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$O:copy_stream", const_cast<char **>(keywords), &source,
            &destination, &given_size) == 0) {
        return nullptr;
    }
    const ModuleState *const state = state_of(module);
    Copy copy{state, nullptr, "source.readinto()", nullptr, nullptr, 0, false, nullptr};
    PyObject *result = nullptr;
    // readinto1() where the source has it (a buffered file, BytesIO): it
    // reads the file once at most, so that no bytes read are lost to an
    // exception raised while it waits for more (a signal's handler, on a
    // pipe); else readinto(), else read().
    copy.read_size = read_size_of(given_size);
    int found = copy.read_size < 0 ? -1 : find_method(source, state->name(READINTO1), &copy.readinto);
    if (found == 1) {
        copy.readinto_name = "source.readinto1()";
    } else if (found == 0) {
        found = find_method(source, state->name(READINTO), &copy.readinto);
    }
    if (found == 0) {
        found = find_method(source, state->name(READ), &copy.read);
        if (found == 0) {
            PyErr_SetString(PyExc_TypeError, "copy_stream()'s source needs readinto() or read(), as a binary file has");
        }
    }
    if (found == 1) {
        found = find_method(destination, state->name(WRITE), &copy.write);
        if (found == 0) {
            PyErr_SetString(PyExc_TypeError, "copy_stream()'s destination needs write(), as a binary file has");
        }
    }
    if (found == 1) {
        const int raw = PyObject_IsInstance(destination, state->raw_io_base);
        if (raw >= 0) {
            copy.raw_destination = raw == 1;
            copy.stream = new_stream(static_cast<std::size_t>(copy.read_size));
            result = copy.stream != nullptr ? copy_blocks(copy) : PyErr_NoMemory();
        }
    }
    if (result == nullptr) {
        note_counts(copy); // every exception says what was read and written before it
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
        "returns (bytes_read, bytes_written). The source is read straight into the\n"
        "converter's block with readinto1() or readinto() where it has one, else\n"
        "with read(); each block's output goes to destination.write() as a\n"
        "memoryview that is valid only during the call. An exception raised on\n"
        "the way carries bytes_read and bytes_written."},
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
    for (int which = 0; which < NAME_COUNT; ++which) {
        state->names[which] = PyUnicode_InternFromString(NAME_TEXTS[which]);
        if (state->names[which] == nullptr) {
            return -1;
        }
    }
    return PyModule_AddStringConstant(module, "__version__", ROWPATCHER_VERSION);
}

int module_traverse(PyObject *module, visitproc visit, void *arg)
{
    ModuleState *const state = state_of(module);
    Py_VISIT(state->converter_type);
    Py_VISIT(state->loan_type);
    Py_VISIT(state->raw_io_base);
    for (PyObject *const name : state->names) {
        Py_VISIT(name);
    }
    return 0;
}

int module_clear(PyObject *module)
{
    ModuleState *const state = state_of(module);
    Py_CLEAR(state->converter_type);
    Py_CLEAR(state->loan_type);
    Py_CLEAR(state->raw_io_base);
    for (PyObject *&name : state->names) {
        Py_CLEAR(name);
    }
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
