// Export of scans through the Arrow C data and C stream interfaces.
//
// A batch becomes a struct array ("+s") with one child per column:
//   integer "l", float "g", boolean "b" (bit-packed), text "u" (or "U" when
//   the reader uses 64-bit offsets), bytes "z", and structured columns as
//   text holding their JSON.
// The child arrays point straight into the batch's column buffers; the
// exported array owns the batch and frees it in its release callback.  The
// stream owns its BatchStream, which shares ownership of the open file, so
// the stream stays valid after whoever made it has closed the file.
//
// Every callback is C: no C++ exception leaves one (an allocation failure
// becomes ENOMEM, a decoding failure EIO with its full text, file, chunk,
// column and offset, in get_last_error), and none touches the Python
// interpreter, so any thread may call them.  The C interface carries only an
// errno and a text; a StreamFailure given to export_stream also keeps the
// error itself, so that whoever made the stream can report it with its kind.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "arrow_bridge/arrow_c_abi.h"
#include "query/scan.hpp"

namespace sarn::arrow_bridge {

// One field of the exported schema.
struct FieldSpec {
    std::string name;
    container::ColumnLayout layout = container::ColumnLayout::Utf8;  // Structured exports as Utf8
    bool large_offsets = false;
};

// The fields a scan's batches carry.
std::vector<FieldSpec> fields_of(const query::Scan& scan);

// The Arrow format string of a field ("l", "g", "b", "u", "U", "z", "Z").
const char* format_of(const FieldSpec& field) noexcept;

// Fills `out` with the struct schema of `fields`.  Returns 0 or ENOMEM.
int export_schema(const std::vector<FieldSpec>& fields, ArrowSchema* out) noexcept;

// Moves `batch` into `out` as a struct array.  Returns 0 or ENOMEM.
// REQUIRES: structured columns already converted to JSON text.
int export_batch(query::RecordBatch&& batch, ArrowArray* out) noexcept;

// The first error that ended one of the streams it was given to.  Shared
// between the streams and their maker; thread-safe.
class StreamFailure {
public:
    void record(const common::Error& error);
    std::optional<common::Error> error() const;

private:
    mutable std::mutex mutex_;
    std::optional<common::Error> error_;
};

// Fills `out` with a stream that takes its batches from `stream`.  The error
// that ends it, if any, is also recorded in `failure` when one is given.
void export_stream(std::unique_ptr<query::BatchStream> stream, ArrowArrayStream* out,
                   std::shared_ptr<StreamFailure> failure = nullptr);

}  // namespace sarn::arrow_bridge
