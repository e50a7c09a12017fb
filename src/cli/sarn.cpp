// sarn: the command-line front end of the container library.
//
//   sarn compress IN.csv OUT.sarn   CSV to container (the same bytes as compress_csv)
//   sarn info FILE                  what a container holds, read from the file
//   sarn verify FILE                every block decoded and checked
//   sarn cat FILE                   the rows back as CSV
//
// This file only dispatches: the commands live in their own files and share
// cli_support; none of them calls back into this one.
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <new>
#include <string>
#include <unistd.h>

#include "commands.hpp"
#include "common/version.hpp"
#include "container/writer.hpp"

namespace sarn::cli {

namespace {

const CommandSpec* const COMMANDS[] = {&COMPRESS_SPEC, &INFO_SPEC, &VERIFY_SPEC, &CAT_SPEC};

const CommandSpec* find_command(std::string_view name) {
    for (const CommandSpec* syntax : COMMANDS) {
        if (name == syntax->name) return syntax;
    }
    return nullptr;
}

std::string version_text() {
    return std::string("sarn ") + common::VERSION + " (SARN container format version " +
           std::to_string(container::FORMAT_VERSION) + ")\n";
}

std::string main_help() {
    std::string text =
        "usage: sarn COMMAND [OPTIONS] ARGUMENTS\n"
        "\n"
        "Convert CSV files to SARN containers, look inside containers, check them and\n"
        "get their rows back.\n"
        "\n"
        "commands:\n";
    for (const CommandSpec* syntax : COMMANDS) {
        text += "  " + synopsis(*syntax) + "\n      " + syntax->summary + "\n";
    }
    text +=
        "\n"
        "options:\n"
        "  -h, --help     show this help; `sarn COMMAND --help` shows a command's help\n"
        "  --version      show the version\n"
        "\n"
        "Exit status: 0 on success, 1 when the command fails (or verify finds a fault),\n"
        "2 for a bad command line, 128 + the signal number when stopped by a signal\n"
        "(130 for Ctrl-C).\n";
    return text;
}

// Gives each of the descriptors 0, 1 and 2 that the caller left closed to
// /dev/null, so that no file this process opens can take its place: with
// standard error closed, progress lines must go nowhere, not into the
// container that happened to get descriptor 2.
void occupy_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        const int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null_fd >= 0 && null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
}

int run_main(int argc, char** argv) {
    if (argc < 2) {
        write_stderr(main_help());
        return EXIT_USAGE;
    }
    std::string_view command = argv[1];
    if (command == "-h" || command == "--help" || command == "help") {
        if (command == "help" && argc > 2) {
            if (const CommandSpec* syntax = find_command(argv[2])) {
                return write_stdout(command_help(*syntax)) ? EXIT_OK : EXIT_FAILED;
            }
        }
        return write_stdout(main_help()) ? EXIT_OK : EXIT_FAILED;
    }
    if (command == "--version") return write_stdout(version_text()) ? EXIT_OK : EXIT_FAILED;
    const CommandSpec* syntax = find_command(command);
    if (!syntax) {
        write_stderr("sarn: error: unknown command '" + printable(command) +
                     "'\nTry 'sarn --help' for the list of commands.\n");
        return EXIT_USAGE;
    }
    return syntax->run(argc - 2, argv + 2);
}

}  // namespace

}  // namespace sarn::cli

int main(int argc, char** argv) {
    using namespace sarn::cli;
    occupy_standard_descriptors();
    try {
        return run_main(argc, argv);
    } catch (const std::bad_alloc&) {
        print_error("out of memory");
    } catch (const std::exception& e) {
        print_error(e.what());
    }
    return EXIT_FAILED;
}
