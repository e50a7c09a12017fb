// OutputFile: where a container is written, and how it takes the place of
// the output path.  Every front end goes through it.
//
// OutputPolicy::Replace (sarnio, sarnio.dask, the `sarn` command): the
// container is written into a temporary file beside the file it replaces
// and renamed over it only when complete and on stable storage.  Until the
// rename the output is as it was; a job that fails or is stopped removes
// the temporary file.  The rules:
//   - symbolic links are followed, link by link (at most 40): the file at
//     the end of the chain is what is replaced, and the links stay.  A
//     dangling link leads to the file that is to be created: its target is
//     created, the link stays;
//   - the output may not be the input (the same file by any spelling, hard
//     or symbolic link), nor a folder;
//   - an existing output that is not a regular file (a device, a FIFO, a
//     socket) is refused: a rename would put a plain file in its place,
//     and writing into it cannot work (the container's header is patched
//     last, which needs a seek and a flush to storage);
//   - the new file gets the replaced file's permission bits and, where the
//     process may give them, its owner and group; a new output gets the
//     permissions a newly created file gets (0666 less the umask, or what
//     the folder's default ACL says): the kernel applies them when the
//     temporary file is created, so the umask is never read or changed;
//   - after the rename the folder is flushed so that the rename survives a
//     crash.  That flush cannot undo the rename, and the data is already on
//     storage, so its failure is not an error: once the rename is done,
//     nothing turns the job into a failure.
//
// OutputPolicy::InPlace (sarn_fileformat, whose behaviour is frozen): the
// container writer creates or truncates the output path itself, and a
// failed run leaves the partial file; only the refusal of the input as
// output is made here.
#pragma once

#include <string>
#include <sys/stat.h>

#include "common/result.hpp"
#include "pipeline/messages.hpp"

namespace sarn::pipeline {

enum class OutputPolicy : unsigned char {
    Replace,  // a temporary file beside the output, renamed over it when complete
    InPlace,  // the output path itself, created or truncated; a failure leaves the partial file
};

// What a front end asks for.
struct OutputRequest {
    std::string path;  // the output path as the caller gave it
    OutputPolicy policy = OutputPolicy::Replace;
    const struct stat* input = nullptr;  // the input's metadata, so that the output is never the input
    Wording wording = Wording::Named;
    // The name messages and errors use for the output; `path` when empty
    // (a worker that was given an absolute path names the caller's one).
    std::string shown;
};

// The two files of a replacement, as plain data: a job whose steps run in
// different processes (sarnio.dask) prepares in one and commits in another.
struct Replacement {
    std::string target;  // the file the rename replaces: the output path with its links followed
    std::string temp;  // the temporary file beside it
};

// Checks the request's output and creates its temporary file (Replace).
// Errors name the output (as shown): Value for an output that is the input
// or an existing non-regular file, an embedded NUL; Io with errno for the
// rest ("Cannot create {path}: ...": a missing folder, a folder as output,
// no permission, a loop of links).
common::Result<Replacement> prepare_replacement(const OutputRequest& request);

// Renames `r.temp` over `r.target` and flushes the folder.  The error (of
// the rename only) names `shown`.
common::Result<void> commit_replacement(const Replacement& r, const std::string& shown);

// Removes a temporary file; one already gone is no error.
void discard_replacement(const std::string& temp) noexcept;

class OutputFile {
public:
    // Checks and prepares the output as the request says (see above).
    static common::Result<OutputFile> open(const OutputRequest& request);

    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&& other) noexcept;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    // Removes the temporary file unless committed.
    ~OutputFile();

    // Where the container is to be written: the temporary file, or the
    // output path itself (InPlace).
    const std::string& write_path() const noexcept { return policy_ == OutputPolicy::Replace ? files_.temp : path_; }
    // The temporary file; empty for InPlace, and once committed or discarded.
    const std::string& temp_path() const noexcept { return files_.temp; }
    OutputPolicy policy() const noexcept { return policy_; }

    // Puts the complete container in place: the rename (Replace), nothing
    // for InPlace.  REQUIRES: the container is on stable storage.
    common::Result<void> commit();

    // Removes the temporary file (Replace); InPlace leaves the file as it is.
    void discard() noexcept;

private:
    OutputFile() = default;

    std::string path_;
    std::string shown_;
    OutputPolicy policy_ = OutputPolicy::InPlace;
    Replacement files_;
};

}  // namespace sarn::pipeline
