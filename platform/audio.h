#pragma once
// Names in audio/: Audio_Call, Type, function and variable, kConstant, gGlobal, private member_.
// The audio engine as the program sees it: streams made from WAV files, each with its own
// volume and playback rate, played, stopped and rewound, under one master volume.
//
// Every call may come from any thread, returns at once and never waits for the audio
// thread. A handle of 0, or one already freed, makes a call do nothing and return 0.
// Every change is ramped on the audio thread, so no call can click.

#include <cstddef>
#include <cstdint>

using AudioHandle = std::uint32_t;

// Stream flag: the handle comes once the file's header is read, and the file is decoded on
// one background thread, streams in the order they were made. Until Audio_StreamReady
// says 1 every call on the stream but free and info does nothing: nothing of a file
// sounds before its peak is known. Without the flag the whole file is decoded in the call.
inline constexpr std::uint32_t AUDIO_ASYNCFILE = 0x40000000;
inline constexpr std::uint32_t AUDIO_POS_BYTE = 0;            // position mode: bytes from the start
inline constexpr std::uint32_t AUDIO_ATTRIB_FREQ = 1;         // playback rate in Hz
inline constexpr std::uint32_t AUDIO_ATTRIB_VOL = 2;          // channel volume, a linear factor

// Opens the output. device -1 is the default device. Returns 1 on success, 0 when no
// output could be opened; every later call then stays harmless.
int Audio_Init(int device, std::uint32_t freq, std::uint32_t flags, void *win, const void *clsid);

// A stream that plays the file once from its start, not looped. mem 0: file is a path.
// offset 0 and length 0 take the whole file. Returns 0 when the file cannot be used: also
// when it is not a regular file, or lasts longer than 10 s (it is decoded whole and kept);
// with AUDIO_ASYNCFILE, what only the decoding finds (the length, unreadable frames)
// leaves a refused stream instead.
AudioHandle Audio_StreamCreateFile(int mem, const void *file, std::uint64_t offset,
                                   std::uint64_t length, std::uint32_t flags);
// A stream may be freed while its file is still read; the read goes on and its samples are
// dropped. Let every read end (Audio_StreamReady leaves 0) before the process ends.
int Audio_StreamFree(AudioHandle handle);

// Whether a stream's file has been read: 1 ready to play, 0 still being read
// (AUDIO_ASYNCFILE), -1 refused for good (its file failed a check past its header), and
// for 0 or a freed handle. A refused stream stays until freed and never sounds. Any thread.
int Audio_StreamReady(AudioHandle handle);

// Stop keeps the position; play with restart 0 goes on from it.
int Audio_ChannelStop(AudioHandle handle);
int Audio_ChannelSetPosition(AudioHandle handle, std::uint64_t pos, std::uint32_t mode);
int Audio_ChannelSetAttribute(AudioHandle handle, std::uint32_t attrib, float value);
int Audio_ChannelPlay(AudioHandle handle, int restart);

// Scales everything the engine outputs; applied in the mix, never on the system mixer.
int Audio_SetVolume(float volume);

// Whether a channel volume under a master volume sounds as asked, for a file whose largest
// sample is `peak`: the engine holds louder requests just under full scale. The engine's
// own test, in its own float arithmetic, so that a caller knows exactly where the cap bites.
inline bool Audio_GainFits(float volume, float master, float peak) { return volume * master * peak <= 1.0f; }

// A stream's file as decoded: its own sample rate, its channel count, which channels hold
// nothing but zeros (bit c for channel c, of the first two), and its largest sample
// magnitude. Rate and channels come from the header at once; silent and peak are 0 until
// Audio_StreamReady says 1. A channel volume v under master volume m sounds as asked only while
// v * m * peak <= 1: louder requests are held at full scale.
struct AudioInfo {
    std::uint32_t freq = 0;
    std::uint32_t chans = 0;
    std::uint32_t silent = 0;
    float peak = 0.0f;
};
// Fills info and returns 1; returns 0 and leaves info alone for 0 or a freed handle.
int Audio_ChannelGetInfo(AudioHandle handle, AudioInfo *info);

// Each play the engine takes gets a number, 1, 2, ... across the process. The number of the
// last play made on the stream, 0 when none and for 0 or a freed handle: read it on the
// thread that played, right after Audio_ChannelPlay.
std::uint64_t Audio_ChannelLastPlay(AudioHandle handle);
// When play `play` began to sound, on Sys_NowNs's clock: the time its first frame reached
// the output (by the frame clock fitted to the device's play-out times; see README for
// each output). Returns 1 and fills *ns once known, 0 while the play is still ahead of the
// output, -1 when it never sounded (there was no output to take it) or is too old to be
// remembered.
int Audio_PlaySoundedAt(std::uint64_t play, std::int64_t *ns);

// 1 while sound reaches an output, 0 before Audio_Init, when no output could be opened, and
// from the moment an open output is lost (its server went away, or it rendered nothing for
// 500 ms while sound was due) until it is opened again; that is tried every 2 s.
int Audio_OutputWorking();
// How often an open output has been lost since Audio_Init: a change between two looks
// means that the sound between them may not have been heard, even if it is back.
int Audio_OutputLosses();
// How often the sound went to another device since Audio_Init: the server moved the stream
// (the user or the desktop chose another output, or the device went away), the device
// switched its port (headphones unplugged), or the output came back on another device or
// backend. At the change the output fades everything that sounds, and no play made before
// it sounds after it. A change between two looks means that what played between them may
// have reached another device than the one the user listens to.
int Audio_OutputRouteChanges();
// The output's name for people ("" when there is none), and the names before and after the
// last route change ("" before any); each is cut to fit `size` bytes, its end included.
void Audio_OutputName(char *name, std::size_t size);
void Audio_OutputLastChange(char *from, char *to, std::size_t size);
// 1 when the output has a left and a right channel, 0 when it has not (a mono headset,
// a speakerphone: both ears hear every tone), -1 when it cannot tell or there is none.
int Audio_OutputEarsApart();
