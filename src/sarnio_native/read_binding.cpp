// sarnio._native, reading side: an open container (_Table), a planned read
// (_Plan) and its batches (_Stream), plus the Arrow C stream capsule.  The
// names are private: only python/sarnio/_reader.py uses them.
//
// The Python layer (python/sarnio/_reader.py) checks and normalises the
// arguments; this file only moves data.  Decoding runs with the interpreter
// lock released, in C++ only; Python objects are made after it is taken back.
// Failures reach Python through the package's one translator (errors.hpp):
// a damaged file as SarnFormatError, a failed system call as OSError with
// its errno and file name, a failed allocation as MemoryError.
//
// Signals.  A read or a check that goes on for a long time gives the
// interpreter's signal handlers a turn between chunks, and, while it waits
// for a chunk that the decoding threads have not finished, every WAIT_SLICE:
// the interpreter lock is taken back, PyErr_CheckSignals runs, and a handler
// that raises (Ctrl-C) stops the decoding threads (the lock released while
// they finish their chunk) and propagates.
#include <nanobind/nanobind.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "arrow_bridge/arrow_export.hpp"
#include "query/scan.hpp"
#include "sarnio_native/errors.hpp"
#include "sarnio_native/py_source.hpp"

namespace nb = nanobind;

namespace sarn::sarnio {

namespace {

// How long a read leaves the interpreter alone while it waits for a chunk:
// short enough that Ctrl-C feels immediate.
constexpr std::chrono::milliseconds WAIT_SLICE{50};

using container::ColumnLayout;
using container::DecodedColumn;
using query::RecordBatch;

// Raises the failure of a read of `table`: the Python exception a fetch of
// its source raised when that is where it came from (a missing object, a
// denied request, Ctrl-C during a fetch), else the error's own.
[[noreturn]] void raise_read(const query::TableReader& table, common::Error error) {
    if (auto original = python_failure(table.reader().source(), error)) throw std::move(*original);
    raise(std::move(error));
}

// ---- values to Python -----------------------------------------------------------

// Text inside a structured value as str.  The decoder checks the text cells
// of text columns, not the texts nested in structured values: one that is
// not UTF-8 is a fault of the file like any other.
nb::object text_to_python(const std::string& text, const std::string& where) {
    PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
    if (!s) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw nb::python_error();
        PyErr_Clear();
        raise(common::Error::format(where + "a structured value holds text that is not valid UTF-8"));
    }
    return nb::steal(s);
}

// `where` names the cell's block for an error.
nb::object value_to_python(const container::Value& v, const std::string& where) {
    using container::ValueKind;
    switch (v.kind()) {
        case ValueKind::Null: return nb::none();
        case ValueKind::Int: return nb::int_(v.int_value());
        case ValueKind::Float: return nb::float_(v.float_value());
        case ValueKind::Bool: return nb::bool_(v.bool_value());
        case ValueKind::Text: return text_to_python(v.text(), where);
        case ValueKind::Bytes: return nb::bytes(reinterpret_cast<const char*>(v.bytes().data()), v.bytes().size());
        case ValueKind::Object: {
            nb::dict d;
            for (const auto& [key, value] : v.object().entries) {
                d[text_to_python(key, where)] = value_to_python(value, where);
            }
            return d;
        }
        case ValueKind::List: {
            nb::list l;
            for (const auto& item : v.list().items) l.append(value_to_python(item, where));
            return l;
        }
        case ValueKind::Map: {
            nb::dict d;
            for (const auto& [key, value] : v.map().pairs) {
                nb::object k;
                const auto kind = key.kind();
                if (kind == ValueKind::Object || kind == ValueKind::List || kind == ValueKind::Map) {
                    // Not hashable in Python: the key becomes its JSON text.
                    bool ok = true;
                    const std::string text = container::value_to_json(key, ok);
                    if (!ok) raise(common::Error::format(where + "a map key holds text that is not valid UTF-8"));
                    k = nb::str(text.data(), text.size());
                } else {
                    k = value_to_python(key, where);
                }
                d[k] = value_to_python(value, where);
            }
            return d;
        }
    }
    return nb::none();
}

nb::list column_to_list(const DecodedColumn& c, const std::string& where) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(c.length));
    if (!list) throw nb::python_error();
    nb::list out = nb::steal<nb::list>(list);
    for (std::size_t i = 0; i < c.length; ++i) {
        PyObject* item = nullptr;
        if (!c.is_valid(i)) {
            item = Py_NewRef(Py_None);
        } else {
            switch (c.layout) {
                case ColumnLayout::Int64: item = PyLong_FromLongLong(c.int_at(i)); break;
                case ColumnLayout::Float64: item = PyFloat_FromDouble(c.float_at(i)); break;
                case ColumnLayout::Bool: item = Py_NewRef(c.bool_at(i) ? Py_True : Py_False); break;
                case ColumnLayout::Utf8: {
                    const std::string_view s = c.cell(i);
                    item = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
                    break;
                }
                case ColumnLayout::Binary: {
                    const std::string_view s = c.cell(i);
                    item = PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
                    break;
                }
                case ColumnLayout::Structured: {
                    auto v = container::structured_cell(c.cell(i));
                    if (!v) raise(common::Error::format(where + v.error().message));
                    item = value_to_python(*v, where).release().ptr();
                    break;
                }
            }
        }
        if (!item) throw nb::python_error();
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return out;
}

// ---- the open file ---------------------------------------------------------------------

class Table {
public:
    // `path_bytes` is the file name as the file system holds it (os.fsencode);
    // `max_chunk_bytes` the memory budget of its reads (ReaderLimits).
    Table(nb::bytes path_bytes, std::uint64_t max_chunk_bytes) {
        const std::string path(path_bytes.c_str(), path_bytes.size());
        const container::ReaderLimits limits = limits_of(max_chunk_bytes);
        {
            nb::gil_scoped_release unlocked;
            auto r = query::TableReader::open(path, limits);
            if (r)
                table_ = std::move(*r);
            else
                error_ = std::move(r).error();
        }
        if (!table_) raise(std::move(error_));
    }

    // The container a Python object fetches a range at a time (PySource):
    // an object in a store, or an open file object.  `requests` were made
    // already to learn its size.
    static Table* remote(const std::string& name, std::uint64_t size, nb::object fetcher, std::uint64_t requests,
                         std::uint64_t max_chunk_bytes) {
        const container::ReaderLimits limits = limits_of(max_chunk_bytes);
        auto source = std::make_shared<PySource>(name, size, std::move(fetcher), requests);
        common::Result<std::shared_ptr<query::TableReader>> r = common::Error{};
        {
            nb::gil_scoped_release unlocked;  // each fetch takes the lock back while it runs Python
            r = query::TableReader::open(source, limits);
        }
        if (!r) {
            if (auto original = python_failure(*source, r.error())) throw std::move(*original);
            raise(std::move(r).error());
        }
        auto* t = new Table();
        t->table_ = std::move(*r);
        return t;
    }

    // (bytes, requests) the source has fetched since it was opened; (0, 0)
    // for a local file, which is read in place.
    std::tuple<std::uint64_t, std::uint64_t> fetched() const {
        const auto& source = table_->reader().source();
        if (!source.fetches()) return {0, 0};
        const auto c = source.counts();
        return {c.bytes, c.requests};
    }
    bool remote_source() const { return table_->reader().source().fetches(); }
    // Per chunk, the stored bytes of each column's block (its CRC-32 and
    // length included): what reading it fetches.
    std::vector<std::vector<std::uint64_t>> block_sizes() const {
        std::vector<std::vector<std::uint64_t>> out(table_->chunk_count());
        for (std::size_t chunk = 0; chunk < out.size(); ++chunk)
            for (std::size_t c = 0; c < table_->schema().size(); ++c)
                out[chunk].push_back(table_->reader().block_range(chunk, c).length);
        return out;
    }

    const query::TableReader& table() const { return *table_; }
    std::shared_ptr<const query::TableReader> shared() const { return table_; }

    void set_key(std::size_t column, nb::bytes key) {
        if (column >= table_->schema().size()) throw std::out_of_range("no such column");
        if (key.size() != 32) throw std::invalid_argument("a key holds 32 bytes");
        container::AesKey k{};
        std::memcpy(k.data(), key.c_str(), 32);
        if (table_.use_count() > 1) throw std::logic_error("keys are set before the first read");
        table_->set_key(column, k);
    }

    // (name, type, enciphered) per column.  Opening refused a file whose
    // names are not UTF-8 or whose type codes are unknown.
    std::vector<std::tuple<std::string, container::ColumnType, bool>> columns() const {
        std::vector<std::tuple<std::string, container::ColumnType, bool>> out;
        for (const auto& c : table_->schema())
            out.emplace_back(c.name, static_cast<container::ColumnType>(c.type_code), c.encrypted != 0);
        return out;
    }
    std::uint64_t num_rows() const { return table_->reader().header().row_count; }
    std::uint64_t max_chunk_bytes() const { return table_->max_chunk_bytes(); }
    // What tells this file from another of the same length and modification
    // time: (created_at, footer offset, footer length, CRC-32 of the footer).
    std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::uint32_t> fingerprint() const {
        const auto& h = table_->reader().header();
        return {h.created_at, h.footer_offset, h.footer_len, table_->reader().footer_crc()};
    }
    std::uint64_t created_at() const { return table_->reader().header().created_at; }
    std::uint32_t chunk_size() const { return table_->reader().header().chunk_size; }
    std::vector<std::uint32_t> chunk_rows() const {
        std::vector<std::uint32_t> out;
        for (std::size_t i = 0; i < table_->chunk_count(); ++i) out.push_back(table_->reader().chunk_rows(i));
        return out;
    }

    // Per chunk: (null_count, min_int, max_int, min_text, max_text) from the footer.
    nb::list statistics(std::size_t column) const {
        if (column >= table_->schema().size()) throw std::out_of_range("no such column");
        nb::list out;
        for (std::size_t i = 0; i < table_->chunk_count(); ++i) {
            const auto m = table_->reader().block_meta(i, column);
            out.append(nb::make_tuple(m.null_count, m.min_int, m.max_int,
                                      nb::bytes(m.min_text.data(), m.min_text.size()),
                                      nb::bytes(m.max_text.data(), m.max_text.size())));
        }
        return out;
    }

    // Checks every block, a chunk at a time, with a look at signals between
    // chunks.  `max_chunk_bytes` 0 is the file's budget.
    void verify(std::uint64_t max_chunk_bytes) const {
        for (std::size_t chunk = 0; chunk < table_->chunk_count(); ++chunk) {
            common::Result<void> r;
            {
                nb::gil_scoped_release unlocked;
                r = table_->verify_chunk(chunk, max_chunk_bytes);
            }
            if (!r) raise_read(*table_, std::move(r).error());
            if (PyErr_CheckSignals() != 0) throw nb::python_error();
        }
    }

private:
    Table() = default;
    static container::ReaderLimits limits_of(std::uint64_t max_chunk_bytes) {
        if (max_chunk_bytes == 0) throw std::invalid_argument("max_chunk_bytes must be positive");
        container::ReaderLimits limits;
        limits.max_chunk_bytes = max_chunk_bytes;
        return limits;
    }

    std::shared_ptr<query::TableReader> table_;
    common::Error error_;
};

// ---- reads ----------------------------------------------------------------------------

query::Filter filter_from_python(const query::TableReader& table, nb::list any_of) {
    query::Filter f;
    for (nb::handle conj_h : any_of) {
        std::vector<query::Predicate> conj;
        for (nb::handle pred_h : nb::cast<nb::list>(conj_h)) {
            nb::tuple t = nb::cast<nb::tuple>(pred_h);
            query::Predicate p;
            p.column = nb::cast<std::size_t>(t[0]);
            p.op = nb::cast<query::CompareOp>(t[1]);
            if (p.column >= table.schema().size()) throw std::out_of_range("no such column");
            const std::uint8_t type = table.schema()[p.column].type_code;
            for (nb::handle v : nb::cast<nb::list>(t[2])) {
                query::FilterOperand o;
                if (type == container::TYPE_INT || type == container::TYPE_BOOL)
                    o.i = nb::cast<std::int64_t>(v);
                else if (type == container::TYPE_FLOAT)
                    o.f = nb::cast<double>(v);
                else if (type == container::TYPE_TEXT)
                    o.s = nb::cast<std::string>(v);
                else if (nb::isinstance<nb::bytes>(v))
                    o.s.assign(nb::cast<nb::bytes>(v).c_str(), nb::cast<nb::bytes>(v).size());
                else
                    throw std::invalid_argument("operand of the wrong kind");
                p.operands.push_back(std::move(o));
            }
            conj.push_back(std::move(p));
        }
        f.any_of.push_back(std::move(conj));
    }
    return f;
}

class Stream {
public:
    Stream(std::shared_ptr<const query::Scan> scan, unsigned threads)
        : stream_(std::make_unique<query::BatchStream>(std::move(scan), threads)) {}

    // The next batch as a list of columns (each a list of values), in the
    // plan's column order, or None at the end.  Batches left empty by the
    // filter are passed over, with a look at signals after each.  The Python
    // side names the columns: names may repeat in a file, and a dict made
    // here would keep only one of them.
    nb::object next() {
        for (;;) {
            std::optional<common::Result<std::optional<RecordBatch>>> r;
            {
                nb::gil_scoped_release unlocked;
                r = stream_->next_for(WAIT_SLICE);
            }
            if (!r) {  // the decoding threads are still at it
                check_signals();
                continue;
            }
            if (!*r) raise_read(stream_->scan().table(), std::move(*r).error());
            if (!**r) return nb::none();
            if ((**r)->num_rows == 0) {
                check_signals();
                continue;
            }
            return batch_to_lists(***r);
        }
    }

    std::tuple<std::size_t, std::size_t, std::size_t, std::uint64_t> stats() const {
        const auto s = stream_->stats();
        return {s.chunks_total, s.chunks_read, s.chunks_skipped, s.rows_read};
    }

private:
    // Runs the signal handlers; one that raises stops the decoding threads
    // (the lock released while they finish) and its exception propagates.
    void check_signals() {
        if (PyErr_CheckSignals() == 0) return;
        nb::python_error raised;  // takes the pending exception
        {
            nb::gil_scoped_release unlocked;
            stream_->cancel();
        }
        throw raised;
    }

    nb::list batch_to_lists(const RecordBatch& b) const {
        nb::list out;
        const auto& scan = stream_->scan();
        for (std::size_t k = 0; k < b.columns.size(); ++k) {
            const std::string where = scan.table().reader().place(b.chunk, scan.columns()[k]);
            out.append(column_to_list(b.columns[k], where));
        }
        return out;
    }

    std::unique_ptr<query::BatchStream> stream_;
};

void release_stream_capsule(PyObject* capsule) {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (!stream) {
        PyErr_Clear();
        return;
    }
    // A consumer that took the stream set its release to NULL.
    if (stream->release) {
        Py_BEGIN_ALLOW_THREADS  // joins the stream's decoding threads
            stream->release(stream);
        Py_END_ALLOW_THREADS
    }
    delete stream;
}

class Plan {
public:
    // `max_chunk_bytes` 0 reads on the file's budget.
    Plan(const Table& table, std::vector<std::size_t> columns, nb::list filter, bool as_json,
         std::uint64_t max_chunk_bytes) {
        query::Filter f = filter_from_python(table.table(), filter);
        auto r = query::Scan::plan(table.shared(), std::move(columns), std::move(f), as_json, max_chunk_bytes);
        if (!r) raise(std::move(r).error());
        scan_ = std::move(*r);
    }

    std::vector<std::size_t> chunks() const { return scan_->chunks(); }
    // Per chunk of chunks(): the stored bytes of the blocks the read takes.
    std::vector<std::uint64_t> chunk_bytes() const {
        std::vector<std::uint64_t> out;
        for (std::size_t c : scan_->chunks()) out.push_back(scan_->stored_bytes(c));
        return out;
    }
    Plan* restricted_to(const std::vector<std::size_t>& chunks) const { return new Plan(scan_->restricted_to(chunks)); }
    std::size_t chunks_skipped() const { return scan_->chunks_skipped(); }

    Stream* stream(unsigned threads) const { return new Stream(scan_, threads); }

    // A PyCapsule "arrow_array_stream" over a fresh stream of the batches.
    nb::object arrow_stream(unsigned threads, nb::object requested_schema) const {
        const auto fields = arrow_bridge::fields_of(*scan_);
        if (!requested_schema.is_none()) {
            // Best effort: our own schema is the answer, but a request for
            // another number of fields cannot be met.
            auto* req = static_cast<ArrowSchema*>(PyCapsule_GetPointer(requested_schema.ptr(), "arrow_schema"));
            if (!req) throw nb::python_error();
            if (req->n_children != static_cast<std::int64_t>(fields.size()))
                throw std::invalid_argument("requested_schema has " + std::to_string(req->n_children) +
                                            " fields; this read gives " + std::to_string(fields.size()));
        }
        auto stream = std::make_unique<ArrowArrayStream>();
        stream->release = nullptr;
        PyObject* capsule = PyCapsule_New(stream.get(), "arrow_array_stream", release_stream_capsule);
        if (!capsule) throw nb::python_error();
        ArrowArrayStream* raw = stream.release();
        nb::object owner = nb::steal(capsule);
        arrow_bridge::export_stream(std::make_unique<query::BatchStream>(scan_, threads), raw, failure_);
        return owner;
    }

    // Raises the error that ended one of this plan's Arrow streams, if any.
    // A consumer such as pyarrow turns a failed stream into an exception of
    // its own from the errno and text; this recovers the error itself.
    void raise_stream_failure() const {
        if (auto e = failure_->error()) raise_read(scan_->table(), std::move(*e));
    }

private:
    explicit Plan(std::shared_ptr<const query::Scan> scan) : scan_(std::move(scan)) {}
    std::shared_ptr<const query::Scan> scan_;
    std::shared_ptr<arrow_bridge::StreamFailure> failure_ = std::make_shared<arrow_bridge::StreamFailure>();
};

}  // namespace

void register_reader(nb::module_& m) {
    // The codes the Python side speaks in, exported so that it never
    // restates them: column types by their names, filter operators.
    nb::enum_<container::ColumnType>(m, "ColumnType", "The column types of a container, by type code.")
        .value("INT64", container::ColumnType::Int64)
        .value("FLOAT64", container::ColumnType::Float64)
        .value("BOOL", container::ColumnType::Bool)
        .value("STRING", container::ColumnType::String)
        .value("BINARY", container::ColumnType::Binary)
        .value("OBJECT", container::ColumnType::Object)
        .value("LIST", container::ColumnType::List)
        .value("MAP", container::ColumnType::Map);
    nb::enum_<query::CompareOp>(m, "CompareOp", "The operators of a filter's predicates.")
        .value("EQ", query::CompareOp::Eq)
        .value("NE", query::CompareOp::Ne)
        .value("LT", query::CompareOp::Lt)
        .value("LE", query::CompareOp::Le)
        .value("GT", query::CompareOp::Gt)
        .value("GE", query::CompareOp::Ge)
        .value("IN", query::CompareOp::In)
        .value("NOT_IN", query::CompareOp::NotIn);

    nb::class_<Table>(m, "_Table")
        .def(nb::init<nb::bytes, std::uint64_t>(), nb::arg("path"), nb::arg("max_chunk_bytes"))
        .def_static("remote", &Table::remote, nb::arg("name"), nb::arg("size"), nb::arg("fetcher"), nb::arg("requests"),
                    nb::arg("max_chunk_bytes"), nb::rv_policy::take_ownership)
        .def("fetched", &Table::fetched)
        .def_prop_ro("remote_source", &Table::remote_source)
        .def("block_sizes", &Table::block_sizes)
        .def_prop_ro("max_chunk_bytes", &Table::max_chunk_bytes)
        .def("fingerprint", &Table::fingerprint)
        .def("set_key", &Table::set_key, nb::arg("column"), nb::arg("key"))
        .def("columns", &Table::columns)
        .def_prop_ro("num_rows", &Table::num_rows)
        .def_prop_ro("created_at", &Table::created_at)
        .def_prop_ro("chunk_size", &Table::chunk_size)
        .def("chunk_rows", &Table::chunk_rows)
        .def("statistics", &Table::statistics, nb::arg("column"),
             nb::sig("def statistics(self, column: int) -> list[tuple[int, int, int, bytes, bytes]]"))
        .def("verify", &Table::verify, nb::arg("max_chunk_bytes"));

    nb::class_<Plan>(m, "_Plan")
        .def(nb::init<const Table&, std::vector<std::size_t>, nb::list, bool, std::uint64_t>(), nb::arg("table"),
             nb::arg("columns"), nb::arg("filters"), nb::arg("as_json"), nb::arg("max_chunk_bytes"),
             nb::sig("def __init__(self, table: _Table, columns: collections.abc.Sequence[int], "
                     "filters: list[list[tuple[int, CompareOp, list[object]]]], as_json: bool, "
                     "max_chunk_bytes: int) -> None"))
        .def("chunks", &Plan::chunks)
        .def("chunk_bytes", &Plan::chunk_bytes)
        .def("restricted_to", &Plan::restricted_to, nb::arg("chunks"), nb::rv_policy::take_ownership)
        .def_prop_ro("chunks_skipped", &Plan::chunks_skipped)
        .def("stream", &Plan::stream, nb::arg("threads"), nb::rv_policy::take_ownership)
        .def("arrow_stream", &Plan::arrow_stream, nb::arg("threads"), nb::arg("requested_schema").none(),
             nb::sig("def arrow_stream(self, threads: int, requested_schema: object | None) -> object"))
        .def("raise_stream_failure", &Plan::raise_stream_failure);

    nb::class_<Stream>(m, "_Stream")
        .def("next", &Stream::next, nb::sig("def next(self) -> list[list[object]] | None"))
        .def("stats", &Stream::stats);
}

}  // namespace sarn::sarnio
