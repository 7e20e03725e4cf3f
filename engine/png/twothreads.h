#ifndef TWOTHREADS_H
#define TWOTHREADS_H

#include <functional>

// The writer's one way of using a second core: two jobs, the second on a thread of its own.
namespace TwoThreads {

// Runs second on another thread while first runs on this one, or after first where the machine
// has a single core or no thread can be started. Returns once both are done. Neither job may
// depend on which finishes first.
void runBoth(const std::function<void()> &first, const std::function<void()> &second);

} // namespace TwoThreads

#endif // TWOTHREADS_H
