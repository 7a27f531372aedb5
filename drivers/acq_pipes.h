// The acquisition pipes "/dev/pipeHostAcqMsg" and "/dev/pipeHostAcqAbort": in-memory byte pipes with a
// 256-byte ring, blocking writes and reads, and select support.
//
// A write of at most 256 bytes waits until it fits and is stored whole, so records of several writers
// never interleave and a reader that reads whole records never gets part of one. A longer write is
// stored in pieces as the reader drains the pipe, with the writing side reserved to it until it is
// complete. A read blocks only while the pipe is empty and nothing has been read in the call; it
// returns at most the length asked for. Getting configuration keys 258, 259 or 260 empties the pipe
// and wakes blocked writers. A wait broken by cyg_thread_release ends the call with -EINTR and the
// length set to the bytes moved so far.
//
// Any number of writer and reader threads (the parser thread, the topology monitor and the engine's
// event threads write; the acquisition thread reads). acq_pipes_register_devices is part of
// drivers_register_devices.
#pragma once

#include "platform/kernel.h"

constexpr cyg_uint32 ACQ_PIPE_SIZE = 256;
// Configuration keys that empty a pipe.
constexpr cyg_uint32 ACQ_PIPE_FLUSH_KEYS[] = {258, 259, 260};

void acq_pipes_register_devices();
