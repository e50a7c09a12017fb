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
// Temporary files and a killed process.  A process killed outright
// (SIGKILL, the OOM killer, a power cut) runs no clean-up, so:
//   - where the file system allows it, the temporary file has no name
//     while it is written (O_TMPFILE): killed, it simply vanishes.  It is
//     given a hidden name only to be renamed over the output, the last
//     step;
//   - elsewhere it is created under a hidden name made from the output's,
//     ".NAME.partial-XXXXXX" (the files of a sarnio.dask job add
//     ".N.chunks" to such a name);
//   - every temporary file is held under an exclusive lock (flock) for as
//     long as its writer has it open.  A lock dies with its process, so a
//     file of that pattern that nobody holds is left over from a killed
//     run: each run that prepares a replacement removes the leftovers of
//     the same output first (remove_stale_temporaries).
//
// OutputPolicy::InPlace (sarn_fileformat, whose behaviour is frozen): the
// container is written into the output path itself, created if missing,
// and a failed run leaves the partial file.  The file is opened without
// truncating it and, when it is a regular file, locked exclusively before
// it is emptied: a second writer of the same path fails at once ("Cannot
// create {path}: another writer is writing it ...") instead of both
// interleaving their bytes in one file.
#pragma once

#include <string>
#include <sys/stat.h>

#include "common/file_io.hpp"
#include "common/result.hpp"
#include "pipeline/messages.hpp"

namespace sarn::pipeline {

enum class OutputPolicy : unsigned char {
    Replace,  // a temporary file beside the output, renamed over it when complete
    InPlace,  // the output path itself, created or emptied; a failure leaves the partial file
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

// The text of a writer refused because another one holds the file.
inline constexpr const char* WRITER_BUSY_TEXT = "another writer is writing it";

// A temporary file beside a target, open for writing and locked (see the
// top of this file): unnamed where the file system allows it, else under
// a hidden name made from the target's.  Dropping it removes it.
class TempFile {
public:
    TempFile() = default;
    TempFile(TempFile&& other) noexcept;
    TempFile& operator=(TempFile&& other) noexcept;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() { discard(); }

    // Creates the file beside `target`, in the same folder.  With `like`,
    // it gets that file's owner and group (where the process may give
    // them) and its permission bits.  `named`: give it its hidden name at
    // once even where it could stay unnamed (a job's marker, which other
    // files are named after).  Errors name `shown`: "Cannot create {shown}:
    // ...".
    static common::Result<TempFile> create(const std::string& target, const struct stat* like, bool named,
                                           const std::string& shown);

    bool is_open() const noexcept { return file_.is_open(); }
    int fd() const noexcept { return file_.fd(); }
    // Its hidden name; empty while it has none.
    const std::string& name() const noexcept { return name_; }

    // A descriptor of the same open file, for a writer that closes its own
    // (the lock stays while either is open).  Errors name `shown`.
    common::Result<common::FileHandle> duplicate(const std::string& shown) const;

    // Renames the file over `target` (an unnamed file first gets a hidden
    // name) and flushes the folder.  Afterwards the file is the target's
    // and no longer temporary: dropping this object only closes it.
    // Errors name `shown`; on failure the file stays temporary.
    common::Result<void> put_in_place(const std::string& target, const std::string& shown);

    // Removes the file's name, if it has one, and closes it.
    void discard() noexcept;

private:
    common::FileHandle file_;
    std::string name_;  // the hidden name, or "" while unnamed
    std::string stem_;  // ".../.NAME.partial-": hidden names are this and six characters
};

// Removes what killed runs left beside `target`: the files of its
// temporary pattern (".NAME.partial-XXXXXX", and "….N.chunks" of a job
// whose marker is not held) that no live writer holds locked.  Anything
// else (another output's files, a file of the pattern that cannot be
// opened, locked or removed) is left alone.  Returns how many were removed.
std::size_t remove_stale_temporaries(const std::string& target) noexcept;

// The output of a job whose steps run apart, possibly in other processes
// (sarnio.dask): the output checked as OutputFile::open checks it (Replace),
// the leftovers of killed runs removed, and the job's marker created beside
// the target: a named TempFile, empty, with the target's owner and
// permission bits, after which the job's other files are named
// (marker + ".N.chunks").  Holding the marker keeps them from being taken
// for leftovers; dropping it removes it.
struct JobOutput {
    std::string target;  // the output path with its links followed: what the job replaces
    TempFile marker;
};
common::Result<JobOutput> prepare_job_output(const OutputRequest& request);

// Creates (or empties) a file of a job named after its marker (a spill
// file, marker + ".N.chunks"), locked for as long as it is open so that no
// clean-up takes it for a leftover while it is written.  Errors name
// `shown`, the output the job's files stand beside.
common::Result<common::FileHandle> create_job_file(const std::string& path, const std::string& shown);

class OutputFile {
public:
    // Checks and prepares the output as the request says (see above).
    // Errors name the output (as shown): Value for an output that is the
    // input or an existing non-regular file (Replace), an embedded NUL; Io
    // with errno for the rest ("Cannot create {path}: ...": a missing
    // folder, a folder as output, no permission, a loop of links, another
    // writer (InPlace)).
    static common::Result<OutputFile> open(const OutputRequest& request);

    OutputFile(OutputFile&& other) noexcept = default;
    OutputFile& operator=(OutputFile&& other) noexcept = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    // Removes the temporary file unless committed.
    ~OutputFile() = default;

    // A descriptor to write the container through: of the temporary file,
    // or of the output itself (InPlace).  The container writer owns and
    // closes it; this object keeps its own, and with it the lock.
    common::Result<common::FileHandle> writer_file() const;

    // The temporary file's name; empty for InPlace, while it is unnamed,
    // and once committed or discarded.
    const std::string& temp_path() const noexcept { return temp_.name(); }
    OutputPolicy policy() const noexcept { return policy_; }

    // Puts the complete container in place: the rename (Replace), nothing
    // for InPlace.  REQUIRES: the container is on stable storage.
    common::Result<void> commit();

    // Removes the temporary file (Replace); InPlace leaves the file as it is.
    void discard() noexcept;

private:
    OutputFile() = default;

    std::string shown_;
    OutputPolicy policy_ = OutputPolicy::InPlace;
    std::string target_;  // Replace: the file the rename replaces
    TempFile temp_;  // Replace: where the container is written
    common::FileHandle file_;  // InPlace: the output itself, locked when a regular file
    bool committed_ = false;
};

}  // namespace sarn::pipeline
