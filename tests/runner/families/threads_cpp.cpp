// The C++ side of the thread and synchronization families, as a mingw-w64
// program built with the posix thread model (winpthreads) uses them:
// std::thread over _beginthreadex, mutexes and condition variables over
// the Win32 objects, an exception thrown on one thread and rethrown on
// another, thread-local storage, std::chrono's clocks, and iostreams.
#include <chrono>
#include <condition_variable>
#include <exception>
#include <iostream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

int checks = 0, failures = 0;

void Check(bool ok, const char* what, int line) {
    ++checks;
    if (!ok) {
        ++failures;
        std::cout << "FAIL threads_cpp.cpp:" << line << ": " << what << std::endl;
    }
}
#define CHECK(expr) Check((expr), #expr, __LINE__)

thread_local int perThread = 0;

}  // namespace

int main() {
    std::mutex lock;
    std::condition_variable changed;
    int total = 0, started = 0;
    std::vector<std::thread> threads;
    for (int i = 1; i <= 8; ++i) {
        threads.emplace_back([&, i] {
            perThread = i;
            std::unique_lock<std::mutex> hold(lock);
            ++started;
            changed.notify_all();
            changed.wait(hold, [&] { return started == 8; });
            total += perThread;
        });
    }
    for (std::thread& thread : threads) thread.join();
    CHECK(total == 36);
    CHECK(perThread == 0);

    std::exception_ptr thrown;
    std::thread failing([&] {
        try {
            throw std::runtime_error("from a thread");
        } catch (...) {
            thrown = std::current_exception();
        }
    });
    failing.join();
    try {
        std::rethrow_exception(thrown);
    } catch (const std::runtime_error& error) {
        CHECK(std::string(error.what()) == "from a thread");
    }

    const auto begin = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    CHECK(std::chrono::steady_clock::now() - begin >= std::chrono::milliseconds(20));
    CHECK(std::chrono::system_clock::now().time_since_epoch() > std::chrono::hours(24 * 365 * 50));

    std::ostringstream text;
    text << 42 << ' ' << 1.5 << ' ' << std::hex << 255;
    CHECK(text.str() == "42 1.5 ff");
    std::cout << "threads-c++: " << checks << " checks, " << failures << " failed" << std::endl;
    return failures != 0;
}
