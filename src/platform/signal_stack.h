// Each thread of the program handles its faults on a stack of its own, so
// that a stack overflow can be handled too.
#pragma once

namespace kelvaring::platform {

// Gives the calling thread an alternate signal stack if it has none yet.
void ensureSignalStack();
// Takes it away again; called by a thread just before it ends.
void releaseSignalStack();

}  // namespace kelvaring::platform
