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
#include "own_files.h"
#include "run_lock.h"

namespace qvdisk {
namespace {

constexpr double kMiB = 1024.0 * 1024.0;

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
    JournalBinding binding;
    binding.direction = t.reading ? "read" : "write";
    binding.disk = t.where.disk;
    binding.offset = t.offset;
    binding.length = length;
    binding.request_size = t.request_size;
    binding.local = absolute_name(t.local);
    binding.server =
        t.server.empty() ? t.where.address + ":" + std::to_string(t.where.port) : t.server;
    binding.transport =
        std::string(t.where.transport == TRANS_SAN ? "SAN" : "LAN") + (t.where.tls ? "+TLS" : "");
    if (!t.reading) {
        struct stat st = {};
        input->status(st);
        binding.input = "size " + std::to_string(st.st_size) + " modified " +
                        std::to_string(st.st_mtim.tv_sec) + "." +
                        std::to_string(st.st_mtim.tv_nsec) + " inode " + std::to_string(st.st_dev) +
                        ":" + std::to_string(st.st_ino);
    }
    std::string journal_path = t.journal;
    if (journal_path.empty() && t.reading && !in_place)
        journal_path = t.local + ".incomplete.journal";
    if (journal_path.empty()) journal_path = state_journal_path(binding, error);
    if (journal_path.empty()) {
        message(error);
        return 1;
    }

    // Each file of the run is a file of its own: an output named as its journal would be
    // deleted with the journal, an image named as its manifest replaced by it.
    const std::string partial = t.reading && !in_place ? t.local + ".incomplete" : "";
    if (!distinct_files({{t.reading ? "-o" : "-i", t.local},
                         {"the partial output", partial},
                         {"the journal", journal_path},
                         {"--manifest", t.manifest}},
                        error)) {
        message("refused before moving any data: " + error);
        return 2;
    }

    // One run at a time per output and per written disk, until this run ends.
    const std::string lock_key = t.reading ? output_lock_key(t.local)
                                           : "disk\n" + t.where.address + ":" +
                                                 std::to_string(t.where.port) + "\n" + t.where.disk;
    std::unique_ptr<RunLock> lock;
    if (!lock_key.empty() &&
        !(lock =
              RunLock::take(lock_key, t.reading ? t.local : "the disk " + t.where.disk, error))) {
        message(error);
        return 1;
    }
    std::unique_ptr<RunLock> manifest_lock;
    if (!t.manifest.empty() &&
        !(manifest_lock = RunLock::take(output_lock_key(t.manifest), t.manifest, error))) {
        message(error);
        return 1;
    }

    std::vector<bool> done;
    std::unique_ptr<Journal> journal;
    if (t.resume) {
        bool missing = false;
        struct stat st;
        if (t.reading && !in_place && lstat(partial.c_str(), &st) != 0) {
            message("--resume: there is no " + partial + "; starting from the beginning");
        } else {
            if (t.reading && !in_place) binding.local_holds = static_cast<uint64_t>(st.st_size);
            if (!(journal = Journal::resume(journal_path, binding, done, missing, error))) {
                if (!missing) {
                    message("--resume refused: " + error + "; nothing was changed");
                    return 1;
                }
                message("--resume: there is no journal " + journal_path +
                        "; starting from the beginning");
            }
        }
    }

    // A read's --size is checked as a diff checks its manifest's size: the disk's last byte
    // is there and the byte after it is refused, so that a short --size never passes for a
    // whole disk.
    DiskEnd disk(t.where, t.reading ? OPEN_READONLY : OPEN_READWRITE, t.offset);
    if (t.reading) {
        DiskEnd whole(t.where, OPEN_READONLY, 0);
        if (!check_disk_size(whole, t.retry, t.where.disk, t.disk_size, "--size")) return 1;
    }
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
    // From here the image is whole under its name: a manifest that cannot be saved fails the
    // run, but nothing is left to resume.
    bool image_whole = complete;
    if (complete && !t.manifest.empty() && !manifest.save(t.manifest, error)) {
        message("the image is complete in " + t.local + ", but its manifest was not written: " +
                error + "; make it again with: zev-block-manifest " + t.local + " -o " +
                t.manifest + " --block-size " + std::to_string(t.block_size) +
                (t.offset != 0 || length != t.disk_size ? " (the image holds only the range read)"
                                                        : ""));
        complete = false;
    }

    const ProgressFigures figures = final_figures(loop, length, complete, stopped_by);
    if (image_whole) {
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
