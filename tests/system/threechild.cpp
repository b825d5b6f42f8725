// Runs three threads until its stdin ends.
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

int main()
{
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    auto waiter = [&] {
        std::unique_lock<std::mutex> lock(mutex);
        finished.wait(lock, [&] { return done; });
    };
    std::thread second(waiter);
    std::thread third(waiter);
    std::printf("ready\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    finished.notify_all();
    second.join();
    third.join();
    return 0;
}
