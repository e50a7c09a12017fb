// The training run of the profile-guided build (cmake/ProfileGuided.cmake).
// Linked against the instrumented core, it does with each sample file what
// users do most, so that the compiler learns where the time goes in each of
// the paths that are timed:
//   - sarn_fileformat's engine: compress_csv on the calling thread;
//   - sarnio's engine: ParallelCompress on one and on two threads, in the
//     module's dialect and in sarnio's own (quoted fields; integer columns
//     inferred, which adds the range scan and the integer encoders);
//   - reading back: the full check of a container and a scan of every column.
// Not installed.  Usage: sarn_pgo_train WORK_DIR SAMPLE.csv...
// Exit status 1 at the first failure, with the reason on standard error.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <numeric>
#include <string>
#include <vector>

#include "query/scan.hpp"
#include "pipeline/compress_csv.hpp"
#include "pipeline/parallel_compress.hpp"

namespace {

using namespace sarn;

std::string train_on(const std::string& csv, const std::string& sarn, int progress_fd) {
    pipeline::CompressOptions module;
    module.progress_fd = progress_fd;
    if (auto r = pipeline::compress_csv(csv, sarn, module); !r) return r.error().message;
    for (unsigned threads : {1u, 2u}) {
        if (auto r = pipeline::parallel_compress_csv(csv, sarn, threads); !r) return r.error().message;
    }
    pipeline::WriteChoices everyday;
    everyday.dialect = pipeline::CsvDialect{};
    everyday.dialect.extra_fields = pipeline::ExtraFields::Drop;  // a sample with a ragged row still trains
    for (const pipeline::TypesMode types : {pipeline::TypesMode::Text, pipeline::TypesMode::Infer}) {
        everyday.types.mode = types;
        if (auto r = pipeline::parallel_compress_csv(csv, sarn, 2, everyday); !r) return r.error().message;
    }

    auto table = query::TableReader::open(sarn);
    if (!table) return table.error().message;
    if (auto r = (*table)->verify(); !r) return r.error().message;
    std::vector<std::size_t> columns((*table)->schema().size());
    std::iota(columns.begin(), columns.end(), std::size_t{0});
    auto scan = query::Scan::plan(*table, columns, query::Filter{}, true);
    if (!scan) return scan.error().message;
    for (std::size_t chunk : (*scan)->chunks()) {
        if (auto batch = (*scan)->read(chunk); !batch) return batch.error().message;
    }
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: sarn_pgo_train WORK_DIR SAMPLE.csv...\n");
        return 2;
    }
    const std::string sarn = std::string(argv[1]) + "/sample.sarn";
    // compress_csv reports progress to a descriptor; nobody reads it here.
    const int progress_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    for (int i = 2; i < argc; ++i) {
        std::string failure;
        try {
            failure = train_on(argv[i], sarn, progress_fd);
        } catch (const std::exception& e) {
            failure = e.what();
        }
        if (!failure.empty()) {
            std::fprintf(stderr, "sarn_pgo_train: %s: %s\n", argv[i], failure.c_str());
            return 1;
        }
    }
    return 0;
}
