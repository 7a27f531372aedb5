// Contract checks of the engine, in every build, as the platform kernel has them: a misuse of the
// engine's own bookkeeping (a resume of the transport without a suspension, a suspension left behind)
// stops the process with a message that names the call and the calling thread. Outcomes a caller can
// meet in correct use stay status words.
//
// Any thread may call it; it does not return.
#pragma once

// Prints "<call>: <what> (thread "<name>", id <n>)" on standard error and aborts.
[[noreturn]] void EngineContractViolation(const char* call, const char* what);
