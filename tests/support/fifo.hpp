#pragma once

// A FIFO where a file is expected, with nobody ever writing to it: a reader that waits for a
// writer would hang there for good. runBesideFifo turns such a hang into a test failure.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <stdexcept>

namespace tarvel_test {

// Replaces whatever is at path with a FIFO.
inline void makeFifo(const std::filesystem::path& path) {
    std::filesystem::remove_all(path);
    if (::mkfifo(path.c_str(), 0600) != 0) {
        throw std::runtime_error("cannot make a FIFO at " + path.string());
    }
}

// Runs action on another thread. If it has not returned after a wait far beyond its work (a
// hang detector, not a speed check), the test fails and the FIFO's writing end is opened and
// closed once, so that a reader blocked on it sees end of file and the action can finish.
inline void runBesideFifo(const std::filesystem::path& fifo, const std::function<void()>& action) {
    std::future<void> done = std::async(std::launch::async, action);
    if (done.wait_for(std::chrono::seconds(30)) == std::future_status::timeout) {
        ADD_FAILURE() << "still waiting on the FIFO " << fifo;
        const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0) ::close(writer);
    }
    done.get();
}

}  // namespace tarvel_test
