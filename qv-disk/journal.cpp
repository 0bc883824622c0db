#include "journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "io-all.h"
#include "own_files.h"

namespace qvdisk {
namespace {

const char kMagic[] = "qv-disk journal 2";
// Finished requests are written down once this much has finished since the last time, and
// at the end: after a kill at most this much (or one request per connection, when requests
// are larger) moves again.
constexpr uint64_t kFlushBytes = 4u << 20;
// The file is rewritten with its ranges merged when it has many more lines than ranges.
constexpr size_t kCompactLines = 1024;

std::string system_error(const std::string& what) { return what + ": " + std::strerror(errno); }

void merge(std::map<uint64_t, uint64_t>& ranges, uint64_t begin, uint64_t end) {
    auto it = ranges.upper_bound(begin);
    if (it != ranges.begin() && std::prev(it)->second >= begin) {
        --it;
        begin = it->first;
        end = std::max(end, it->second);
        it = ranges.erase(it);
    }
    while (it != ranges.end() && it->first <= end) {
        end = std::max(end, it->second);
        it = ranges.erase(it);
    }
    ranges[begin] = end;
}

// Writes `text` to `path` through a new file of a unique name renamed over it, so that a
// kill at any moment leaves either the old or the new file, and nothing at a name known in
// advance is ever written through; returns the new file open for appending.
int replace_file(const std::string& path, const std::string& text, std::string& error) {
    std::string tmp;
    int fd = create_beside(path, tmp, error);
    if (fd < 0) return -1;
    if (!zev::write_all(fd, text.data(), text.size()) || fsync(fd) != 0) {
        error = system_error("writing " + tmp);
        close(fd);
        unlink(tmp.c_str());
        return -1;
    }
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        error = system_error("renaming " + tmp + " to " + path);
        close(fd);
        unlink(tmp.c_str());
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_APPEND);
    return fd;
}

// The whole text of a journal that an earlier run of this user wrote.
bool read_own(const std::string& path, std::string& text, bool& missing, std::string& error) {
    int fd = open_own(path, O_RDONLY, missing, error);
    if (fd < 0) return false;
    char buf[65536];
    ssize_t n;
    while ((n = zev::read_full(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    if (n < 0) error = system_error(path);
    close(fd);
    return n == 0;
}

}  // namespace

std::string journal_text(const JournalBinding& b, const std::map<uint64_t, uint64_t>& done) {
    std::ostringstream h;
    h << kMagic << "\n"
      << "direction " << b.direction << "\n"
      << "disk " << b.disk << "\n"
      << "offset " << b.offset << "\n"
      << "length " << b.length << "\n"
      << "request-size " << b.request_size << "\n"
      << "local " << b.local << "\n"
      << "server " << b.server << "\n"
      << "transport " << b.transport << "\n"
      << "input " << b.input << "\n";
    for (const auto& r : done) h << "done " << r.first << " " << r.second << "\n";
    return h.str();
}

bool parse_journal(const std::string& text, const std::string& path, const JournalBinding& b,
                   std::map<uint64_t, uint64_t>& done, std::string& error) {
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kMagic) {
        error = path + " is not a journal of this version of qv-disk (its first line is not \"" +
                kMagic + "\")";
        return false;
    }
    // The header, field by field, against this command.
    const std::pair<const char*, std::string> fields[] = {
        {"direction", b.direction},
        {"disk", b.disk},
        {"offset", std::to_string(b.offset)},
        {"length", std::to_string(b.length)},
        {"request-size", std::to_string(b.request_size)},
        {"local", b.local},
        {"server", b.server},
        {"transport", b.transport},
        {"input", b.input},
    };
    for (const auto& field : fields) {
        const std::string key = std::string(field.first) + " ";
        if (!std::getline(in, line) || line.compare(0, key.size(), key) != 0) {
            error = path + ": the header has no " + field.first + " line where expected";
            return false;
        }
        const std::string value = line.substr(key.size());
        if (value != field.second) {
            error = "the journal " + path + " is of another transfer: its " + field.first + " is " +
                    value + ", this command's is " + field.second;
            return false;
        }
    }
    // Finished stretches; a line cut short by a kill, or anything after it, is ignored.
    const uint64_t end_of_range = b.offset + b.length;
    while (std::getline(in, line) && !in.eof()) {
        uint64_t begin = 0, end = 0;
        char tail = 0;
        if (std::sscanf(line.c_str(), "done %" SCNu64 " %" SCNu64 "%c", &begin, &end, &tail) != 2 ||
            begin >= end || begin < b.offset || end > end_of_range)
            break;
        merge(done, begin, end);
    }
    // A read's partial output must hold every byte the journal says is done: a file cut
    // short since would otherwise give zeros for them.
    if (!done.empty()) {
        const uint64_t claimed = std::prev(done.end())->second - b.offset;
        if (claimed > b.local_holds) {
            error = "the journal " + path + " says the range is done up to byte " +
                    std::to_string(claimed) + ", but the partial output holds only " +
                    std::to_string(b.local_holds) + " bytes";
            return false;
        }
    }
    return true;
}

std::unique_ptr<Journal> Journal::create(const std::string& path, const JournalBinding& b,
                                         std::string& error) {
    std::unique_ptr<Journal> j(new Journal(path, b, -1));
    j->fd_ = replace_file(path, journal_text(b, {}), error);
    if (j->fd_ < 0) return nullptr;
    return j;
}

std::unique_ptr<Journal> Journal::resume(const std::string& path, const JournalBinding& b,
                                         std::vector<bool>& done, bool& missing,
                                         std::string& error) {
    std::string kept;
    if (!read_own(path, kept, missing, error)) return nullptr;
    std::unique_ptr<Journal> j(new Journal(path, b, -1));
    if (!parse_journal(kept, path, b, j->written_, error)) return nullptr;
    const uint64_t end_of_range = b.offset + b.length;
    const uint64_t requests = (b.length + b.request_size - 1) / b.request_size;
    done.assign(requests, false);
    for (const auto& r : j->written_) {
        uint64_t first = (r.first - b.offset + b.request_size - 1) / b.request_size;
        for (uint64_t i = first; i < requests; ++i) {
            uint64_t req_end = std::min(b.offset + (i + 1) * b.request_size, end_of_range);
            if (req_end > r.second) break;
            done[i] = true;
        }
    }
    // Written anew, merged, so that a cut last line is gone before anything is appended.
    j->lines_ = j->written_.size();
    j->fd_ = replace_file(path, journal_text(b, j->written_), error);
    if (j->fd_ < 0) return nullptr;
    return j;
}

Journal::~Journal() {
    if (fd_ >= 0) close(fd_);
}

bool Journal::completed(uint64_t pos, uint64_t n, End& destination, Failure& f) {
    {
        std::lock_guard<std::mutex> guard(pending_lock_);
        pending_.emplace_back(b_.offset + pos, b_.offset + pos + n);
        pending_bytes_ += n;
        if (pending_bytes_ < kFlushBytes) return true;
    }
    return flush(destination, f);
}

bool Journal::flush(End& destination, Failure& f) {
    std::lock_guard<std::mutex> writing(write_lock_);
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    {
        std::lock_guard<std::mutex> guard(pending_lock_);
        ranges.swap(pending_);
        pending_bytes_ = 0;
    }
    if (ranges.empty()) return true;
    // The data first: a line must never name bytes that are not yet on stable storage.
    if (!destination.sync(f)) return false;
    std::string text;
    for (const auto& r : ranges) {
        text += "done " + std::to_string(r.first) + " " + std::to_string(r.second) + "\n";
        merge(written_, r.first, r.second);
    }
    lines_ += ranges.size();
    if (!append(text, f)) return false;
    if (lines_ >= kCompactLines && lines_ > 4 * written_.size()) return compact(f);
    return true;
}

bool Journal::append(const std::string& text, Failure& f) {
    if (zev::write_all(fd_, text.data(), text.size())) return true;
    f = {system_error("writing the journal " + path_), false};
    return false;
}

bool Journal::compact(Failure& f) {
    std::string error;
    int fd = replace_file(path_, journal_text(b_, written_), error);
    if (fd < 0) {
        f = {error, false};
        return false;
    }
    close(fd_);
    fd_ = fd;
    lines_ = written_.size();
    return true;
}

void Journal::remove() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    unlink(path_.c_str());
}

std::string state_journal_path(const JournalBinding& b, std::string& error) {
    const std::string dir = state_folder(error);
    if (dir.empty()) return "";
    return dir + "/" + b.direction + "-" + key_name(b.direction + "\n" + b.disk + "\n" + b.local) +
           ".journal";
}

}  // namespace qvdisk
