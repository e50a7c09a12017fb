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
// becomes ENOMEM, a decoding failure EIO with its text in get_last_error),
// and none touches the Python interpreter, so any thread may call them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "arrow/arrow_c_abi.h"
#include "container/scan.hpp"

namespace sarn::arrow {

// One field of the exported schema.
struct FieldSpec {
    std::string name;
    container::ColumnLayout layout = container::ColumnLayout::Utf8;  // Structured exports as Utf8
    bool large_offsets = false;
};

// The fields a scan's batches carry.
std::vector<FieldSpec> fields_of(const container::Scan& scan);

// The Arrow format string of a field ("l", "g", "b", "u", "U", "z", "Z").
const char* format_of(const FieldSpec& field) noexcept;

// Fills `out` with the struct schema of `fields`.  Returns 0 or ENOMEM.
int export_schema(const std::vector<FieldSpec>& fields, ArrowSchema* out) noexcept;

// Moves `batch` into `out` as a struct array.  Returns 0 or ENOMEM.
// REQUIRES: structured columns already converted to JSON text.
int export_batch(container::RecordBatch&& batch, ArrowArray* out) noexcept;

// Fills `out` with a stream that takes its batches from `stream`.
void export_stream(std::unique_ptr<container::BatchStream> stream, ArrowArrayStream* out);

}  // namespace sarn::arrow
