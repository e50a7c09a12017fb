// How `sarn compress` replaces its output file: the container is written
// into a temporary file in the output's folder, and renamed over the output
// only once it is complete and on stable storage.  Until then an earlier
// file at that path stays as it was, whatever ends the run: a failure, a
// full disk, Ctrl-C, SIGTERM or SIGHUP.  No temporary file is left behind.
//
// An output that exists and is not a regular file (a device such as
// /dev/null, a FIFO) cannot be replaced that way and is written in place, as
// compress_csv writes.  A symbolic link is followed: the file it leads to is
// replaced and the link stays.
#pragma once

#include <string>

#include "common/result.hpp"

namespace sarn::cli {

class AtomicOutput {
public:
    // Prepares to replace `path`; nothing is created yet.  From here until
    // destruction SIGINT, SIGTERM and SIGHUP end the process at once, with
    // the temporary file removed, "sarn: interrupted; ..." on standard error
    // and exit status 128 + the signal; after commit() they are ignored, the
    // output being whole.  One AtomicOutput at a time.
    explicit AtomicOutput(std::string path);
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;
    // Removes the temporary file unless committed, and restores the default
    // handling of the signals.
    ~AtomicOutput();

    // Creates the temporary file and returns its path, or returns the output
    // path itself for an output written in place.  Errors read as a failed
    // creation of the output: "Cannot create {path}: {system error text}".
    common::Result<std::string> begin();

    // Renames the temporary file over the output and flushes the folder, so
    // that the rename survives a crash.  The container must already be on
    // stable storage (the writer's finish syncs it).
    common::Result<void> commit();

    // Removes the temporary file, if any, and says what became of the
    // output: "; OUT.sarn was left as it was", "; OUT.sarn was not created",
    // or nothing for an output written in place.
    std::string discard();

    // Whether the progress bar is on the terminal, so that a signal first
    // clears its line.
    static void set_bar_shown(bool shown) noexcept;

private:
    std::string outcome() const;

    std::string path_;      // as the user gave it
    std::string target_;    // the file the rename replaces (links followed)
    std::string temporary_;  // empty until begin() made one, and after
    bool existed_ = false;
    bool in_place_ = false;
    bool committed_ = false;
};

}  // namespace sarn::cli
