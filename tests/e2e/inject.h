// Makes one thread of a running process call address 0, as a call through a
// null function pointer would, by rewriting its registers with ptrace.
#pragma once

#include <sys/types.h>

namespace e2e {

// The thread stops, gets a return address pushed (its current instruction)
// and the instruction pointer 0, and is let go. False when ptrace fails.
bool injectCallToNull(pid_t tid);

}  // namespace e2e
