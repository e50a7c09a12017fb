#include "arrow_bridge/arrow_export.hpp"

#include <cerrno>
#include <new>

namespace sarn::arrow_bridge {

using container::ColumnLayout;
using container::DecodedColumn;
using query::RecordBatch;

std::vector<FieldSpec> fields_of(const query::Scan& scan) {
    std::vector<FieldSpec> fields;
    const auto& schema = scan.table().schema();
    for (std::size_t c : scan.columns()) {
        FieldSpec f;
        f.name = schema[c].name;
        f.layout = container::layout_for(schema[c].type_code);
        if (f.layout == ColumnLayout::Structured) f.layout = ColumnLayout::Utf8;
        f.large_offsets = scan.large_offsets();
        fields.push_back(std::move(f));
    }
    return fields;
}

const char* format_of(const FieldSpec& f) noexcept {
    switch (f.layout) {
        case ColumnLayout::Int64: return "l";
        case ColumnLayout::Float64: return "g";
        case ColumnLayout::Bool: return "b";
        case ColumnLayout::Binary: return f.large_offsets ? "Z" : "z";
        default: return f.large_offsets ? "U" : "u";
    }
}

// ---- schema ----------------------------------------------------------------------

namespace {

// What an exported schema (the struct and each child) owns.
struct SchemaHolder {
    std::string format;
    std::string name;
    std::vector<ArrowSchema> child_storage;
    std::vector<ArrowSchema*> children;
};

void release_schema(ArrowSchema* s) {
    if (!s || !s->release) return;
    for (std::int64_t i = 0; i < s->n_children; ++i) {
        ArrowSchema* child = s->children[i];
        if (child && child->release) child->release(child);
    }
    delete static_cast<SchemaHolder*>(s->private_data);
    s->release = nullptr;
}

void fill_schema(ArrowSchema* out, SchemaHolder* h, std::int64_t flags) {
    out->format = h->format.c_str();
    out->name = h->name.c_str();
    out->metadata = nullptr;
    out->flags = flags;
    out->n_children = static_cast<std::int64_t>(h->children.size());
    out->children = h->children.empty() ? nullptr : h->children.data();
    out->dictionary = nullptr;
    out->release = release_schema;
    out->private_data = h;
}

}  // namespace

int export_schema(const std::vector<FieldSpec>& fields, ArrowSchema* out) noexcept {
    try {
        auto root = std::make_unique<SchemaHolder>();
        root->format = "+s";
        root->child_storage.resize(fields.size());
        root->children.resize(fields.size());
        for (std::size_t i = 0; i < fields.size(); ++i) {
            auto child = std::make_unique<SchemaHolder>();
            child->format = format_of(fields[i]);
            child->name = fields[i].name;
            fill_schema(&root->child_storage[i], child.release(), ARROW_FLAG_NULLABLE);
            root->children[i] = &root->child_storage[i];
        }
        fill_schema(out, root.release(), 0);
        return 0;
    } catch (...) {
        return ENOMEM;
    }
}

// ---- arrays -------------------------------------------------------------------------

namespace {

struct ColumnHolder {
    DecodedColumn column;
    const void* buffers[3] = {nullptr, nullptr, nullptr};
};

struct BatchHolder {
    std::vector<ArrowArray> child_storage;
    std::vector<ArrowArray*> children;
    const void* buffers[1] = {nullptr};  // a struct array has only a validity buffer, here absent
};

void release_column(ArrowArray* a) {
    if (!a || !a->release) return;
    delete static_cast<ColumnHolder*>(a->private_data);
    a->release = nullptr;
}

void release_batch(ArrowArray* a) {
    if (!a || !a->release) return;
    // A consumer may have moved children out (their release is then NULL).
    for (std::int64_t i = 0; i < a->n_children; ++i) {
        ArrowArray* child = a->children[i];
        if (child && child->release) child->release(child);
    }
    delete static_cast<BatchHolder*>(a->private_data);
    a->release = nullptr;
}

void fill_column(ArrowArray* out, ColumnHolder* h) {
    const DecodedColumn& c = h->column;
    out->length = static_cast<std::int64_t>(c.length);
    out->null_count = static_cast<std::int64_t>(c.null_count);
    out->offset = 0;
    h->buffers[0] = c.null_count > 0 ? c.validity.data() : nullptr;
    h->buffers[1] = c.values.data();
    if (c.has_offsets()) {
        h->buffers[2] = c.data.data();
        out->n_buffers = 3;
    } else {
        out->n_buffers = 2;
    }
    out->n_children = 0;
    out->buffers = h->buffers;
    out->children = nullptr;
    out->dictionary = nullptr;
    out->release = release_column;
    out->private_data = h;
}

}  // namespace

int export_batch(RecordBatch&& batch, ArrowArray* out) noexcept {
    try {
        auto root = std::make_unique<BatchHolder>();
        const std::size_t n = batch.columns.size();
        root->child_storage.resize(n);
        root->children.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            auto h = std::make_unique<ColumnHolder>();
            h->column = std::move(batch.columns[i]);
            fill_column(&root->child_storage[i], h.release());
            root->children[i] = &root->child_storage[i];
        }
        out->length = static_cast<std::int64_t>(batch.num_rows);
        out->null_count = 0;
        out->offset = 0;
        out->n_buffers = 1;
        out->n_children = static_cast<std::int64_t>(n);
        out->buffers = root->buffers;
        out->children = n == 0 ? nullptr : root->children.data();
        out->dictionary = nullptr;
        out->release = release_batch;
        out->private_data = root.release();
        return 0;
    } catch (...) {
        return ENOMEM;
    }
}

// ---- stream -------------------------------------------------------------------------

namespace {

// What a stream owns.  The C stream interface lets a consumer call from any
// thread and promises nothing about two calls at once, so every callback
// takes `calls`: two threads reading one stream get its batches one by one,
// each once, and last_error is never written while read.
struct StreamHolder {
    std::unique_ptr<query::BatchStream> stream;
    std::vector<FieldSpec> fields;
    std::string last_error;
    std::shared_ptr<StreamFailure> failure;  // may be null
    std::mutex calls;
};

StreamHolder* holder_of(ArrowArrayStream* s) { return static_cast<StreamHolder*>(s->private_data); }

int stream_get_schema(ArrowArrayStream* s, ArrowSchema* out) {
    StreamHolder* h = holder_of(s);
    std::lock_guard<std::mutex> one_call(h->calls);
    const int rc = export_schema(h->fields, out);
    if (rc != 0) h->last_error = "out of memory while exporting the schema";
    return rc;
}

int stream_get_next(ArrowArrayStream* s, ArrowArray* out) {
    StreamHolder* h = holder_of(s);
    std::lock_guard<std::mutex> one_call(h->calls);
    try {
        auto r = h->stream->next();
        if (!r) {
            h->last_error = r.error().message;
            if (h->failure) h->failure->record(r.error());
            return r.error().kind == common::ErrorKind::Memory ? ENOMEM : EIO;
        }
        if (!*r) {
            out->release = nullptr;  // the end of the stream
            return 0;
        }
        const int rc = export_batch(std::move(**r), out);
        if (rc != 0) h->last_error = "out of memory while exporting a batch";
        return rc;
    } catch (const std::bad_alloc&) {
        try {
            h->last_error = "out of memory while decoding a batch";
            if (h->failure) h->failure->record(common::Error::memory(h->last_error));
        } catch (...) {}
        return ENOMEM;
    } catch (const std::exception& e) {
        try {
            h->last_error = e.what();
        } catch (...) {}
        return EIO;
    } catch (...) {
        return EIO;
    }
}

const char* stream_get_last_error(ArrowArrayStream* s) {
    StreamHolder* h = holder_of(s);
    std::lock_guard<std::mutex> one_call(h->calls);
    return h->last_error.empty() ? nullptr : h->last_error.c_str();
}

void stream_release(ArrowArrayStream* s) {
    if (!s || !s->release) return;
    delete holder_of(s);  // joins the stream's worker threads
    s->release = nullptr;
}

}  // namespace

void StreamFailure::record(const common::Error& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!error_) error_ = error;
}

std::optional<common::Error> StreamFailure::error() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

void export_stream(std::unique_ptr<query::BatchStream> stream, ArrowArrayStream* out,
                   std::shared_ptr<StreamFailure> failure) {
    auto h = std::make_unique<StreamHolder>();
    h->fields = fields_of(stream->scan());
    h->stream = std::move(stream);
    h->failure = std::move(failure);
    out->get_schema = stream_get_schema;
    out->get_next = stream_get_next;
    out->get_last_error = stream_get_last_error;
    out->release = stream_release;
    out->private_data = h.release();
}

}  // namespace sarn::arrow_bridge
