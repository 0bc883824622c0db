#include "transfer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "console.h"
#include "copy_loop.h"
#include "disk_end.h"
#include "journal.h"
#include "local_file.h"

namespace qvdisk {
namespace {

constexpr double kMiB = 1024.0 * 1024.0;

// The absolute name of a file that may not exist yet: its folder resolved, its name kept.
std::string absolute(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    char resolved[PATH_MAX];
    if (realpath(dir.c_str(), resolved) == nullptr) return path;
    std::string out = resolved;
    return (out == "/" ? out : out + "/") + base;
}

bool exists_not_regular(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

}  // namespace

bool whole_block_requests(Transfer& t, uint64_t block_size, std::string& error) {
    if (t.request_size % block_size == 0) return true;
    if (t.request_size_given) {
        error = "--request-size " + std::to_string(t.request_size) +
                " is not a whole number of blocks of " + std::to_string(block_size) + " bytes";
        return false;
    }
    t.request_size = std::max<uint64_t>(t.request_size / block_size, 1) * block_size;
    return true;
}

int run_transfer(const Transfer& given) {
    Transfer t = given;
    uint64_t length = 0;
    std::string error;
    std::unique_ptr<LocalFile> input;
    if (t.reading) {
        if (t.offset >= t.disk_size) {
            message("--offset " + std::to_string(t.offset) + " is not below --size " +
                    std::to_string(t.disk_size));
            return 1;
        }
        length = t.length.value_or(t.disk_size - t.offset);
        if (length > t.disk_size - t.offset) {
            message("the range ends beyond --size " + std::to_string(t.disk_size));
            return 1;
        }
    } else {
        input = LocalFile::open_input(t.local, error);
        if (!input) {
            message(error);
            return 1;
        }
        length = t.length.value_or(input->size());
        if (length > input->size() || length > UINT64_MAX - t.offset) {
            message(t.local + " holds " + std::to_string(input->size()) +
                    " bytes, fewer than --length, or the range passes the largest offset");
            return 1;
        }
    }
    if (length == 0) {
        message("nothing to transfer: the range is empty");
        return 1;
    }

    // The manifest of what is read: its blocks are hashed by the workers, so that each
    // request holds whole blocks.
    zev::Manifest manifest;
    if (!t.manifest.empty() && (!whole_block_requests(t, t.block_size, error) ||
                                !manifest.reset(length, t.block_size, error))) {
        message(error);
        return 1;
    }

    // The journal: beside a regular output, in the state folder otherwise.
    const bool in_place = t.reading && exists_not_regular(t.local);
    JournalBinding binding{t.reading ? "read" : "write",
                           t.where.disk,
                           t.offset,
                           length,
                           t.request_size,
                           absolute(t.local)};
    std::string journal_path = t.journal;
    if (journal_path.empty() && t.reading && !in_place)
        journal_path = t.local + ".incomplete.journal";
    if (journal_path.empty()) journal_path = state_journal_path(binding, error);
    if (journal_path.empty()) {
        message(error);
        return 1;
    }
    std::vector<bool> done;
    std::unique_ptr<Journal> journal;
    if (t.resume) {
        bool missing = false;
        if (t.reading && !in_place && access((t.local + ".incomplete").c_str(), F_OK) != 0) {
            message("--resume: there is no " + t.local +
                    ".incomplete; starting from the beginning");
        } else if (!(journal = Journal::resume(journal_path, binding, done, missing, error))) {
            if (!missing) {
                message("--resume refused: " + error + "; nothing was changed");
                return 1;
            }
            message("--resume: there is no journal " + journal_path +
                    "; starting from the beginning");
        }
    }

    DiskEnd disk(t.where, t.reading ? OPEN_READONLY : OPEN_READWRITE, t.offset);
    if (!check_range(disk, t.retry, t.where.disk, t.offset, length)) return 1;

    std::unique_ptr<LocalFile> output;
    if (t.reading) {
        output = LocalFile::open_output(t.local, journal != nullptr, t.sparse, error);
        if (!output) {
            message(error);
            return 1;
        }
        if (journal && output->sequential()) {
            message("--resume refused: " + t.local + " cannot seek, so it cannot be continued");
            return 1;
        }
    }
    LocalFile& local = t.reading ? *output : *input;
    if (!journal && !(journal = Journal::create(journal_path, binding, error))) {
        message(error);
        if (t.reading) output->discard();
        return 1;
    }

    End& from = t.reading ? static_cast<End&>(disk) : local;
    End& to = t.reading ? static_cast<End&>(local) : disk;
    CopyPlan plan;
    plan.length = length;
    plan.request_size = t.request_size;
    plan.done = done;
    plan.connections = t.connections;
    plan.retry = t.retry;
    plan.rate = t.rate;
    plan.digest = t.sha256;
    if (!t.manifest.empty()) plan.manifest = &manifest;

    CopyLoop loop(plan, from, to, local, journal.get());
    if (loop.earlier_bytes() > 0)
        message("resuming: " + std::to_string(loop.earlier_bytes()) + " of " +
                std::to_string(length) + " bytes were done before and are not moved again");
    const int stopped_by = run_supervised(loop, t.progress, length);

    std::vector<std::string> failures = loop.failures();
    Failure flushed;
    if (!journal->flush(to, flushed)) failures.push_back(flushed.text);
    bool complete = failures.empty() && stopped_by == 0 && loop.done_bytes() == length;
    report_end(failures, stopped_by, loop.done_bytes());
    if (t.reading && !output->finish_output(complete, length, error) && complete) {
        message(error);
        complete = false;
    }
    if (complete && !t.manifest.empty() && !manifest.save(t.manifest, error)) {
        message("the image is complete in " + t.local +
                ", but its manifest was not written: " + error);
        complete = false;
    }

    const ProgressFigures figures = final_figures(loop, length, complete, stopped_by);
    if (complete) {
        journal->remove();
    } else if (loop.done_bytes() == 0) {
        journal->remove();
        if (t.reading) output->discard();
    } else if (t.reading && output->sequential()) {
        // What went into a pipe cannot be taken up again.
        journal->remove();
        message(std::to_string(loop.done_bytes()) + " of " + std::to_string(length) +
                " bytes were written to " + t.local +
                ", which cannot seek: the transfer cannot be "
                "resumed");
    } else {
        const std::string again = "; the same command with --resume continues from there";
        if (t.reading && output->regular())
            message("partial output kept as " + output->working_name() + " (" +
                    std::to_string(loop.done_bytes()) + " of " + std::to_string(length) +
                    " bytes)" + again);
        else
            message(std::to_string(loop.done_bytes()) + " of " + std::to_string(length) +
                    " bytes are written to " + (t.reading ? t.local : t.where.disk) + again);
    }
    if (!complete) {
        final_progress(t.progress, figures);
        return 1;
    }

    final_progress(t.progress, figures);
    const double s = figures.seconds;
    const std::string digest = loop.digest();
    std::printf(
        "%s %llu bytes %s %s at offset %llu %s %s in %.2f s (%.1f MiB/s), %s%s, %u "
        "connection%s%s%s\n",
        t.reading ? "read" : "wrote", static_cast<unsigned long long>(length),
        t.reading ? "of" : "to", t.where.disk.c_str(), static_cast<unsigned long long>(t.offset),
        t.reading ? "into" : "from", t.local.c_str(), s,
        s > 0 ? loop.moved_bytes() / kMiB / s : 0.0, t.where.transport == TRANS_SAN ? "SAN" : "LAN",
        t.where.tls ? "+TLS" : "", std::max(loop.workers(), 1u), loop.workers() > 1 ? "s" : "",
        digest.empty() ? "" : ", sha256 ", digest.c_str());
    if (!t.manifest.empty())
        std::printf("manifest of %llu blocks of %llu bytes written to %s, list digest %s\n",
                    static_cast<unsigned long long>(manifest.block_count()),
                    static_cast<unsigned long long>(manifest.block_size()), t.manifest.c_str(),
                    manifest.list_digest_hex().c_str());
    std::fflush(stdout);
    return 0;
}

}  // namespace qvdisk
