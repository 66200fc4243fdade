#pragma once
// The files of asynchronous streams (AUDIO_ASYNCFILE), read behind their handles: one
// background thread decodes them in the order their streams were made and hands each its
// samples (Engine::complete). Started through Sys_StartThread, so that a virtual clock
// counts it among the threads it waits for; it ends when nothing is left to read.

#include "platform/audio.h"
#include "platform/audio/decoder.h"

namespace velmora::audio {

class Engine;

// Queues the rest of `file` for stream h of engine e, which must outlive the read. Any
// control thread; returns at once. Where no thread can be started, reads it here.
void readBehind(Engine &e, AudioHandle h, OpenedFilePtr file);

}  // namespace velmora::audio
