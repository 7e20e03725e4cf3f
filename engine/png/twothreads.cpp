#include "twothreads.h"

#include <system_error>
#include <thread>

void TwoThreads::runBoth(const std::function<void()> &first, const std::function<void()> &second)
{
    std::thread worker;
    if (std::thread::hardware_concurrency() >= 2) {
        try {
            worker = std::thread(second);
        } catch (const std::system_error &) { }
    }
    first();
    if (worker.joinable())
        worker.join();
    else
        second();
}
