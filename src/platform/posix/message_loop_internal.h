// Parts of the Linux message loop that only the Linux platform layer uses: descriptors served by
// a thread's loop (the X connection) and calls handed to another thread's loop.
#pragma once

#include <functional>

#include "platform/message_loop.h"

namespace platform::posix {

// Runs `task` on the loop thread `thread`: at once when that is the calling thread, else the next
// time that thread waits for or takes a message (as Windows runs messages sent from other
// threads). Tasks handed to one thread run in the order they were handed over. False when the
// thread has no loop any more; the task is then dropped.
bool RunOnLoopThread(LoopThreadId thread, std::function<void()> task);

// A descriptor served by the calling thread's loop. `beforeWait` runs each time the loop is about
// to wait and returns true when it did work that may have queued messages (the loop then looks
// again instead of sleeping); `onReadable` runs when the descriptor has input.
struct LoopSource {
    int fd = -1;
    std::function<bool()> beforeWait;
    std::function<void()> onReadable;
};

// Adds a source to the calling thread's loop; the id removes it again.
int AddLoopSource(LoopSource source);
void RemoveLoopSource(int sourceId);

}  // namespace platform::posix
