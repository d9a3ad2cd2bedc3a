// Files named from outside: only regular files are read, none is waited on, and the size is
// checked before a byte is read. An atomic write leaves the old file or the whole new one,
// nothing beside it, and never writes through a link planted next to it.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/expect_throw.hpp"
#include "support/fifo.hpp"
#include "tarvel/format/files.hpp"

using namespace Nuvexis::Core::Tarvel;
namespace fs = std::filesystem;

namespace {

fs::path freshFolder(const std::string& name) {
    const fs::path folder =
        fs::temp_directory_path() / ("tarvel-files-" + std::to_string(::getpid()) + "-" + name);
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> names(const fs::path& folder) {
    std::vector<std::string> found;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        found.push_back(entry.path().filename().string());
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

TEST(ReadRegularFile, ReadsTheWholeFileUpToItsLimit) {
    const fs::path folder = freshFolder("read");
    writeText(folder / "five", "abcde");
    writeText(folder / "empty", "");
    EXPECT_EQ(readRegularFile(folder / "five", 5, "session file"), bytesOf("abcde"));
    EXPECT_TRUE(readRegularFile(folder / "empty", 0).empty());
    EXPECT_THROW_MSG(readRegularFile(folder / "five", 4), std::invalid_argument,
                     (folder / "five").string() + ": file is larger than 4 bytes");
    fs::remove_all(folder);
}

struct ReadCase {
    const char* label;
    fs::path path;
    std::uint64_t max_bytes;
    const char* what;
    std::string problem;
};

TEST(ReadRegularFile, RefusesAnythingElseNamingTheFileWithoutWaitingOrReading) {
    const fs::path folder = freshFolder("refuse");
    // A gibibyte that takes no disk: refusing it must not read it.
    const fs::path sparse = folder / "sparse";
    writeText(sparse, "");
    fs::resize_file(sparse, std::uint64_t{1} << 30);
    const fs::path fifo = folder / "fifo";
    tarvel_test::makeFifo(fifo);
    const std::vector<ReadCase> cases = {
        {"missing", folder / "none", 10, "session file",
         "cannot open the session file (No such file or directory)"},
        {"missing, no role", folder / "none", 10, "", "cannot open (No such file or directory)"},
        {"folder", folder, 10, "session file", "session file is not a regular file"},
        {"device", "/dev/zero", 10, "", "not a regular file"},
        {"fifo", fifo, 10, "tokenizer file", "tokenizer file is not a regular file"},
        {"sparse", sparse, 1048576, "session file", "session file is larger than 1048576 bytes"},
        // Its size says 0, its reads say otherwise.
        {"growing", "/proc/self/status", 1048576, "", "file changed size while it was read"},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.label);
        tarvel_test::runBesideFifo(fifo, [&] {
            EXPECT_THROW_MSG(readRegularFile(c.path, c.max_bytes, c.what), std::invalid_argument,
                             c.path.string() + ": " + c.problem);
        });
    }
    fs::remove_all(folder);
}

TEST(WriteFileAtomically, ReplacesTheFileWholeAndLeavesNothingBeside) {
    const fs::path folder = freshFolder("write");
    const fs::path target = folder / "s";
    sigset_t before;
    ASSERT_EQ(::pthread_sigmask(SIG_SETMASK, nullptr, &before), 0);
    writeFileAtomically(target, bytesOf("first"), "session file");
    EXPECT_EQ(readText(target), "first");
    writeFileAtomically(target, bytesOf("second, longer"));
    EXPECT_EQ(readText(target), "second, longer");
    writeFileAtomically(target, bytesOf(""));
    EXPECT_EQ(readText(target), "");
    EXPECT_EQ(names(folder), std::vector<std::string>{"s"});
    // The signals held back during the write are let through again.
    sigset_t after;
    ASSERT_EQ(::pthread_sigmask(SIG_SETMASK, nullptr, &after), 0);
    for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXFSZ}) {
        EXPECT_EQ(sigismember(&after, number), sigismember(&before, number)) << number;
    }
    fs::remove_all(folder);
}

TEST(WriteFileAtomically, NeverWritesThroughALinkPlantedBesideTheTarget) {
    // A name derived from the process id is one another user can guess and plant a link at.
    const fs::path folder = freshFolder("link");
    const fs::path target = folder / "s";
    const fs::path victim = folder / "victim";
    writeText(victim, "untouched");
    const fs::path planted = folder / ("s.tmp." + std::to_string(::getpid()));
    fs::create_symlink(victim, planted);
    writeFileAtomically(target, bytesOf("new"), "session file");
    EXPECT_EQ(readText(target), "new");
    EXPECT_EQ(readText(victim), "untouched");
    EXPECT_TRUE(fs::is_symlink(planted));
    EXPECT_EQ(names(folder),
              (std::vector<std::string>{"s", planted.filename().string(), "victim"}));
    fs::remove_all(folder);
}

TEST(WriteFileAtomically, AFailureLeavesTheTargetAsItWasAndNoFreshFile) {
    const fs::path folder = freshFolder("fail");
    fs::create_directories(folder / "dir");
    writeText(folder / "dir" / "inside", "kept");
    EXPECT_THROW_MSG(
        writeFileAtomically(folder / "dir", bytesOf("x"), "session file"), std::invalid_argument,
        (folder / "dir").string() + ": cannot write the session file (Is a directory)");
    EXPECT_THROW_MSG(writeFileAtomically(folder / "no" / "s", bytesOf("x")), std::invalid_argument,
                     (folder / "no" / "s").string() + ": cannot write (No such file or directory)");
    EXPECT_EQ(names(folder), std::vector<std::string>{"dir"});
    EXPECT_EQ(names(folder / "dir"), std::vector<std::string>{"inside"});
    fs::remove_all(folder);
}

// In a child process: a write past the file size limit (RLIMIT_FSIZE) fails with EFBIG. With
// SIGXFSZ ignored the call reports it; with its default action the signal, held back during
// the write, ends the process only after the fresh file is removed. Either way the target keeps
// its old bytes and nothing else is left.
TEST(WriteFileAtomically, AWritePastTheFileSizeLimitIsCleanedUpBeforeTheSignalActs) {
    for (const bool ignored : {true, false}) {
        SCOPED_TRACE(ignored ? "SIGXFSZ ignored" : "SIGXFSZ default");
        const fs::path folder = freshFolder("limit");
        const fs::path target = folder / "s";
        writeText(target, "old");
        const std::string expected =
            target.string() + ": cannot write the session file (" + std::strerror(EFBIG) + ")";
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const rlimit no_core{0, 0};
            const rlimit small{65536, 65536};
            ::setrlimit(RLIMIT_CORE, &no_core);
            if (ignored) std::signal(SIGXFSZ, SIG_IGN);
            if (::setrlimit(RLIMIT_FSIZE, &small) != 0) ::_exit(3);
            try {
                writeFileAtomically(target, std::vector<std::uint8_t>(102400, 7), "session file");
            } catch (const std::invalid_argument& e) {
                ::_exit(e.what() == expected ? 0 : 1);
            }
            ::_exit(2);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        if (ignored) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        } else {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
        }
        EXPECT_EQ(names(folder), std::vector<std::string>{"s"});
        EXPECT_EQ(readText(target), "old");
        fs::remove_all(folder);
    }
}

}  // namespace
