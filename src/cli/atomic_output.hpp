// How `sarn compress` keeps its output whole when a signal ends it.
//
// The output itself is a pipeline::OutputFile (Replace): the container is
// written into a temporary file beside OUT.sarn and renamed over it only
// once complete and on stable storage.  What this file adds is the signal
// handling a command needs around that: SIGINT, SIGTERM and SIGHUP end the
// process at once, with the temporary file removed, "sarn: interrupted;
// ..." on standard error and exit status 128 + the signal; once the output
// is in place they are ignored, the output being whole.
#pragma once

#include <string>

#include "common/result.hpp"
#include "pipeline/output_file.hpp"

namespace sarn::cli {

class AtomicOutput {
public:
    // Installs the signal handlers for an output at `path`.  One
    // AtomicOutput at a time.
    explicit AtomicOutput(std::string path);
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;
    // Restores the default handling of the signals.
    ~AtomicOutput();

    // OutputFile::open with the signals held, so that the handler knows the
    // temporary file from the moment it exists.
    common::Result<pipeline::OutputFile> open(const pipeline::OutputRequest& request);

    // output.commit() with the signals held; from then on they are ignored.
    common::Result<void> commit(pipeline::OutputFile& output);

    // What became of the output after a failure (the OutputFile has removed
    // its temporary file): "; OUT.sarn was left as it was" or "; OUT.sarn
    // was not created".
    std::string outcome();

    // Whether the progress bar is on the terminal, so that a signal first
    // clears its line.
    static void set_bar_shown(bool shown) noexcept;

private:
    std::string path_;  // as the user gave it
    bool existed_ = false;
};

}  // namespace sarn::cli
