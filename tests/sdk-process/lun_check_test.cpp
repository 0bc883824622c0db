// verifyLUNAttached end to end: fake rescan script and sudo in /usr/bin and fake entries in
// /dev/disk/by-id, all in a private mount namespace of the test process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Quillonvarde_sdk_impl.h"
#include "private_mounts.h"
#include "process_test_util.h"
#include "test_common.h"
#include "test_host.h"

namespace {

using testhost::kError;
using testhost::kInfo;
using testhost::kTrace;
using testhost::log_is;
using Names = std::list<std::string>;

const char kById[] = "/dev/disk/by-id/";

// Access time given to watched entries; following the link moves it to the present.
constexpr time_t kOldAtime = 1000;

std::string wwn(int n) {
    char text[64];
    std::snprintf(text, sizeof(text), "wwn-0x6000c29%023x", n);
    return text;
}

// Log lines of a rescan whose first attempt succeeds, up to the device test.
const proctest::ExpectedLog kRescanFirstAttemptOk = {
    {kTrace, "enter CQuillonvardeSDKImpl::verify..."},
    {kTrace, "enter CQuillonvardeSDKImpl::RescanLUNWWNOnBackupNode:..."},
    {kInfo, "Execute command: /usr/bin/rescan-scsi-bus.sh "},
    {kInfo, "execute command sueccess!"},
    {kInfo, "rescan LUNWWN on back up node success! "},
    {kTrace, "leave CQuillonvardeSDKImpl::RescanLUNWWNOnBackupNode:OK"},
    {kInfo, "rescan LUNWWN on backup node success!"},
    {kTrace, "enter CQuillonvardeSDKImpl::isLunAttachedOnBackupNode:..."},
};

proctest::ExpectedLog operator+(proctest::ExpectedLog a, const proctest::ExpectedLog& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class LunCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why = mounts_.overlay("/usr/bin");
        if (why.empty()) why = mounts_.empty_disk_by_id();
        if (!why.empty()) GTEST_SKIP() << "private mount namespace not available: " << why;
        ASSERT_FALSE(markers_.empty());
        // The fake programs find their marker directory through the environment, which the
        // library's child processes inherit.
        ASSERT_EQ(setenv("QV_FAKE_MARKERS", markers_.c_str(), 1), 0);
        install_fake("fake-sudo.sh", "/usr/bin/sudo");
        install_fake("fake-rescan-scsi-bus.sh", "/usr/bin/rescan-scsi-bus.sh");
        ASSERT_EQ(testhost::install(), 0);
        testhost::clear();
    }

    // Copies one of the fake programs kept beside this test to `target`, executable.
    static void install_fake(const std::string& name, const std::string& target) {
        const std::string script = testcommon::read_file(std::string(FAKE_PROGRAMS_DIR "/") + name);
        ASSERT_FALSE(script.empty()) << "cannot read " << name;
        testcommon::write_file(target, script, 0755);
    }

    // What the next run of the script does when run as "user" or through "sudo".
    void answer(const std::string& who, int status, const std::string& output = "") {
        testcommon::write_file(markers_ + "/" + who + ".status", std::to_string(status) + "\n");
        if (!output.empty()) testcommon::write_file(markers_ + "/" + who + ".out", output);
    }
    void refuse_sudo() { testcommon::write_file(markers_ + "/sudo.refuse", ""); }
    void kill_run(const std::string& who) {
        testcommon::write_file(markers_ + "/" + who + ".kill", "");
    }

    // The runs of the fake programs, in order ("rescan user 0", "sudo 1:...", ...).
    std::vector<std::string> calls() {
        std::vector<std::string> lines;
        std::istringstream in(testcommon::read_file(markers_ + "/calls"));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    // A device entry: a symbolic link, like the real ones, whose access time is set far in
    // the past. Resolving the link (as the existence test does) brings the access time
    // to the present, so the test can tell which entries were looked at.
    void watched_entry(const std::string& name) {
        std::string path = kById + name;
        ASSERT_EQ(symlink("/dev/null", path.c_str()), 0) << path << ": " << std::strerror(errno);
        timespec times[2] = {{kOldAtime, 0}, {kOldAtime, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
    }
    bool looked_at(const std::string& name) {
        struct stat st;
        std::string path = kById + name;
        if (lstat(path.c_str(), &st) != 0) return false;
        return st.st_atim.tv_sec != kOldAtime;
    }
    // Whether resolving a link updates its access time here; skip the test otherwise.
    std::string watching_unavailable() {
        std::string probe = "qv-probe";
        watched_entry(probe);
        bool works = access((kById + probe).c_str(), F_OK) == 0 && looked_at(probe);
        unlink((kById + probe).c_str());
        return works ? "" : "following a link does not update its access time here";
    }

    zev_common::PrivateMounts mounts_;
    testcommon::TempDir markers_dir_{"qv-lun-check"};
    const std::string markers_ = markers_dir_.path();
};

TEST_F(LunCheck, FirstAttemptSucceedsAndSudoNeverRuns) {
    std::string why = watching_unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    watched_entry(wwn(1));
    watched_entry(wwn(2));
    answer("user", 0, "scanning\n");

    EXPECT_TRUE(CQuillonvardeSDK::verifyLUNAttached({wwn(1), wwn(2)}));
    EXPECT_EQ(calls(), (std::vector<std::string>{"rescan user 0"}));
    EXPECT_TRUE(looked_at(wwn(1)));
    EXPECT_TRUE(looked_at(wwn(2)));
    EXPECT_TRUE(log_is(
        kRescanFirstAttemptOk +
        proctest::ExpectedLog{{kTrace, "leave CQuillonvardeSDKImpl::isLunAttachedOnBackupNode: OK"},
                              {kTrace, "leave CQuillonvardeSDKImpl::veryfy: OK"}}));
}

TEST_F(LunCheck, FirstAttemptFailsAndSudoSucceeds) {
    watched_entry(wwn(1));
    answer("user", 2, "permission denied\nrun me as root\n");
    answer("sudo", 0, "rescanned\n");

    EXPECT_TRUE(CQuillonvardeSDK::verifyLUNAttached({wwn(1)}));
    EXPECT_EQ(calls(),
              (std::vector<std::string>{"rescan user 0", "sudo 1:/usr/bin/rescan-scsi-bus.sh",
                                        "rescan sudo 0"}));
    EXPECT_TRUE(log_is({
        {kTrace, "enter CQuillonvardeSDKImpl::verify..."},
        {kTrace, "enter CQuillonvardeSDKImpl::RescanLUNWWNOnBackupNode:..."},
        {kInfo, "Execute command: /usr/bin/rescan-scsi-bus.sh "},
        {kError, "WEXITSTATUS ErrCode = 2!  (line #)"},
        {kError, "execute command failed!  (line #)"},
        {kInfo,
         "Normal user rescan failed! The information is \npermission denied\nrun me as root"},
        {kInfo, "Execute command: sudo /usr/bin/rescan-scsi-bus.sh "},
        {kInfo, "execute command sueccess!"},
        {kInfo, "rescan LUNWWN on back up node success!"},
        {kTrace, "leave CQuillonvardeSDKImpl::RescanLUNWWNOnBackupNode:OK"},
        {kInfo, "rescan LUNWWN on backup node success!"},
        {kTrace, "enter CQuillonvardeSDKImpl::isLunAttachedOnBackupNode:..."},
        {kTrace, "leave CQuillonvardeSDKImpl::isLunAttachedOnBackupNode: OK"},
        {kTrace, "leave CQuillonvardeSDKImpl::veryfy: OK"},
    }));
}

TEST_F(LunCheck, SilentOrKilledFirstAttemptGoesOnToSudo) {
    watched_entry(wwn(1));
    answer("user", 1);  // fails without a word

    EXPECT_TRUE(CQuillonvardeSDK::verifyLUNAttached({wwn(1)}));
    EXPECT_TRUE(testhost::logged(kInfo, "Normal user rescan failed! The information is "))
        << testhost::dump();

    // A script killed by a signal did not rescan: the sudo attempt follows.
    testhost::clear();
    testcommon::write_file(markers_ + "/calls", "");
    kill_run("user");
    answer("user", 0, "interrupted\n");
    EXPECT_TRUE(CQuillonvardeSDK::verifyLUNAttached({wwn(1)}));
    EXPECT_EQ(calls(),
              (std::vector<std::string>{"rescan user 0", "sudo 1:/usr/bin/rescan-scsi-bus.sh",
                                        "rescan sudo 0"}));
    auto log = testhost::normalized_entries();
    ASSERT_GE(log.size(), 7u) << testhost::dump();
    EXPECT_EQ(log[3].text, "child process terminated by signal 9!  (line #)");
    EXPECT_EQ(log[3].level, kError);
    EXPECT_EQ(log[4].text, "execute command failed!  (line #)");
    EXPECT_EQ(log[5].text, "Normal user rescan failed! The information is \ninterrupted");
    EXPECT_EQ(log[6].text, "Execute command: sudo /usr/bin/rescan-scsi-bus.sh ");
}

TEST_F(LunCheck, BothAttemptsFailAndTheDevicesAreNotLookedAt) {
    std::string why = watching_unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    watched_entry(wwn(1));
    watched_entry(wwn(2));
    answer("user", 1, "user attempt text\n");
    refuse_sudo();

    EXPECT_FALSE(CQuillonvardeSDK::verifyLUNAttached({wwn(1), wwn(2)}));
    EXPECT_EQ(calls(),
              (std::vector<std::string>{"rescan user 0", "sudo 1:/usr/bin/rescan-scsi-bus.sh"}));
    EXPECT_FALSE(looked_at(wwn(1)));
    EXPECT_FALSE(looked_at(wwn(2)));
    // The failure text carries the output of the sudo attempt alone.
    EXPECT_TRUE(log_is({
        {kTrace, "enter CQuillonvardeSDKImpl::verify..."},
        {kTrace, "enter CQuillonvardeSDKImpl::RescanLUNWWNOnBackupNode:..."},
        {kInfo, "Execute command: /usr/bin/rescan-scsi-bus.sh "},
        {kError, "WEXITSTATUS ErrCode = 1!  (line #)"},
        {kError, "execute command failed!  (line #)"},
        {kInfo, "Normal user rescan failed! The information is \nuser attempt text"},
        {kInfo, "Execute command: sudo /usr/bin/rescan-scsi-bus.sh "},
        {kError, "WEXITSTATUS ErrCode = 1!  (line #)"},
        {kError, "execute command failed!  (line #)"},
        {kError,
         "rescan LUNWWN on back up node failed! The information is \nsudo: a password is required"},
        {kTrace, "leave CQuillonvardeSDKImpl::RescanLUNWWNOnBackupNode:NOK"},
        {kError, "rescan LUNWWN on backup node failed!  (line #)"},
        {kTrace, "leave CQuillonvardeSDKImpl::verify: NOK"},
    }));
}

TEST_F(LunCheck, MissingRescanProgramsFailBothAttempts) {
    unlink("/usr/bin/rescan-scsi-bus.sh");
    unlink("/usr/bin/sudo");
    watched_entry(wwn(1));

    EXPECT_FALSE(CQuillonvardeSDK::verifyLUNAttached({wwn(1)}));
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(log_is({
        {kTrace, "enter CQuillonvardeSDKImpl::verify..."},
        {kTrace, "enter CQuillonvardeSDKImpl::RescanLUNWWNOnBackupNode:..."},
        {kInfo, "Execute command: /usr/bin/rescan-scsi-bus.sh "},
        {kError, "WEXITSTATUS ErrCode = 255!  (line #)"},
        {kError, "execute command failed!  (line #)"},
        {kInfo, "Normal user rescan failed! The information is "},
        {kInfo, "Execute command: sudo /usr/bin/rescan-scsi-bus.sh "},
        {kError, "WEXITSTATUS ErrCode = 255!  (line #)"},
        {kError, "execute command failed!  (line #)"},
        {kError, "rescan LUNWWN on back up node failed! The information is "},
        {kTrace, "leave CQuillonvardeSDKImpl::RescanLUNWWNOnBackupNode:NOK"},
        {kError, "rescan LUNWWN on backup node failed!  (line #)"},
        {kTrace, "leave CQuillonvardeSDKImpl::verify: NOK"},
    }));
}

TEST_F(LunCheck, EmptyListStillRescansAndThenFails) {
    EXPECT_FALSE(CQuillonvardeSDK::verifyLUNAttached({}));
    EXPECT_EQ(calls(), (std::vector<std::string>{"rescan user 0"}));
    EXPECT_TRUE(log_is(
        kRescanFirstAttemptOk +
        proctest::ExpectedLog{{kError, "isLunAttachedOnBackupNode: LunWWNList is null!  (line #)"},
                              {kError, "CQuillonvardeSDKImpl::verify: file not exist! (line #)"},
                              {kTrace, "leave CQuillonvardeSDKImpl::verify: NOK"}}));
}

TEST_F(LunCheck, SecondOfThreeMissingEndsTheTestBeforeTheThird) {
    std::string why = watching_unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    watched_entry(wwn(1));
    watched_entry(wwn(3));  // wwn(2) has no entry

    EXPECT_FALSE(CQuillonvardeSDK::verifyLUNAttached({wwn(1), wwn(2), wwn(3)}));
    EXPECT_TRUE(looked_at(wwn(1)));
    EXPECT_FALSE(looked_at(wwn(3)));
    EXPECT_TRUE(log_is(
        kRescanFirstAttemptOk +
        proctest::ExpectedLog{{kError, "CQuillonvardeSDKImpl::verify: file not exist! (line #)"},
                              {kTrace, "leave CQuillonvardeSDKImpl::verify: NOK"}}));
}

TEST_F(LunCheck, NamesThatWouldTestAnotherPathCountAsNotAttached) {
    // A name whose path is exactly 511 characters long is tested as it is; one character
    // more and the path would be cut, here to the path of the first, existing entry.
    std::string a(200, 'a'), b(200, 'b'), c(93, 'c');
    ASSERT_EQ(mkdir((kById + a).c_str(), 0755), 0);
    ASSERT_EQ(mkdir((kById + a + "/" + b).c_str(), 0755), 0);
    std::string fits = a + "/" + b + "/" + c;
    ASSERT_EQ(std::string(kById + fits).size(), 511u);
    ASSERT_EQ(symlink("/dev/null", (kById + fits).c_str()), 0);
    EXPECT_TRUE(CQuillonvardeSDKImpl::isLunAttachedOnBackupNode({fits}));
    EXPECT_FALSE(CQuillonvardeSDKImpl::isLunAttachedOnBackupNode({fits + "d"}));
    EXPECT_FALSE(CQuillonvardeSDKImpl::isLunAttachedOnBackupNode({fits + "-other-device"}));

    // A zero byte would end the path early, at an existing entry.
    watched_entry(wwn(1));
    EXPECT_FALSE(
        CQuillonvardeSDKImpl::isLunAttachedOnBackupNode({wwn(1) + std::string(1, '\0') + "x"}));
    // The directory itself and its parent always exist; they are no device entries.
    EXPECT_FALSE(CQuillonvardeSDKImpl::isLunAttachedOnBackupNode({""}));
    EXPECT_FALSE(CQuillonvardeSDKImpl::isLunAttachedOnBackupNode({"."}));
    EXPECT_FALSE(CQuillonvardeSDKImpl::isLunAttachedOnBackupNode({".."}));
    EXPECT_FALSE(CQuillonvardeSDKImpl::isLunAttachedOnBackupNode({wwn(1), ""}));
    EXPECT_TRUE(CQuillonvardeSDKImpl::isLunAttachedOnBackupNode({wwn(1)}));
}

TEST_F(LunCheck, WorksWithoutHostHooks) {
    watched_entry(wwn(1));
    auto* savedLog = CQuillonvardeSDKImpl::m_pLog;
    auto* savedLevels = CQuillonvardeSDKImpl::m_pDebugLevel;
    CQuillonvardeSDKImpl::m_pLog = nullptr;
    CQuillonvardeSDKImpl::m_pDebugLevel = nullptr;
    bool attached = CQuillonvardeSDK::verifyLUNAttached({wwn(1)});
    bool missing = CQuillonvardeSDK::verifyLUNAttached({wwn(2)});
    CQuillonvardeSDKImpl::m_pLog = savedLog;
    CQuillonvardeSDKImpl::m_pDebugLevel = savedLevels;
    EXPECT_TRUE(attached);
    EXPECT_FALSE(missing);
    EXPECT_TRUE(testhost::entries().empty()) << testhost::dump();
}

TEST_F(LunCheck, AllocatingHostThreadDoesNotBlockTheChildren) {
    // The namespace was entered while the process was single-threaded (SetUp); from here
    // on another host thread allocates and frees without pause while children are forked.
    watched_entry(wwn(1));
    std::atomic<bool> stop{false};
    std::atomic<long> rounds{0};
    std::thread allocator([&] {
        unsigned seed = 1;
        while (!stop.load(std::memory_order_relaxed)) {
            seed = seed * 1103515245u + 12345u;
            size_t size = 16 + (seed >> 8) % 4096;
            void* p = std::malloc(size);
            if (p != nullptr) std::memset(p, 0x5a, size);
            std::free(p);
            auto text = std::make_unique<std::string>((seed >> 4) % 512, 'x');
            std::ostringstream os;
            os << *text << seed;
            ++rounds;
        }
    });

    // 200 forks in all, alternating between the whole check and a bare command.
    int verifyFailures = 0, commandFailures = 0;
    for (int i = 0; i < 200; ++i) {
        if (i % 2 == 0) {
            if (!CQuillonvardeSDK::verifyLUNAttached({wwn(1)})) ++verifyFailures;
        } else {
            std::vector<std::string> out;
            if (!CQuillonvardeSDKImpl::executeSystemCommand("/bin/echo", {"echo", "hi"}, out) ||
                out != std::vector<std::string>{"hi"})
                ++commandFailures;
        }
        testhost::clear();
    }
    stop = true;
    allocator.join();
    EXPECT_EQ(verifyFailures, 0);
    EXPECT_EQ(commandFailures, 0);
    EXPECT_GT(rounds.load(), 0);
}

}  // namespace
