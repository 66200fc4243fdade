#pragma once
// Fixture and queries for the procedure tests: every piece of the platform is fake, the
// shared words start as at program start, and the 26 tone streams are open.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "app/globals.h"
#include "app/panel.h"
#include "audiometry/audiometry.h"
#include "fake/fake_platform.h"
#include "samples/samples.h"
#include "stimulation/stimulation.h"

// Every piece of the fake cleared, the shared words as at program start with the panel
// loaded, and no tone stream open.
inline void ResetProgramState()
{
    fake::Reset();
    Set(ucQuitFlag, 1);
    Set(iAudiometrieRunning, 0);
    Set(iStimulationRunning, 0);
    Set(uStimulationState, STIMULATION_IDLE);
    Set(iKey, 0);
    Set(iLeftRight, 0);
    Set(iPanelHandle, MAIN_PANEL);
    for (auto &row : SinSample) {
        row[0] = row[1] = 0;
    }
}

class ProcedureTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetProgramState();
        Create_Samples();
        fake::ClearAudioCalls();

        // The stimulation defaults the procedures are specified against; the master
        // volume deliberately not 0.5, so that the stimulation's own 0.5 shows.
        fake::SetCtrl(NUMBER_MASTER_VOLUME, 0.8);
        fake::SetCtrl(RING_LEFT_RIGHT, 0);
        fake::SetCtrl(RING_FREQ, 5);
        fake::SetCtrl(NUMBER_INTERVAL, 10);
        fake::SetCtrl(NUMBER_VOLUME, 0.5);
        fake::SetCtrl(NUMBER_HOLD, 200);
        fake::SetCtrl(NUMBER_PAUSE, 150);
        fake::SetCtrl(NUMBER_BAND_WIDTH, 50000);
    }

    // Ends whatever a failed test left running, so that the next test starts clean: a stop
    // is only honoured in a tone window, so it is repeated until the pass has seen it.
    void TearDown() override
    {
        for (int i = 0; i < 100 && fake::LiveThreads() != 0; ++i) {
            if (Get(iStimulationRunning) != 0) {
                Stimulation_Button(MAIN_PANEL, START_STIMULATION, EVENT_COMMIT, nullptr, 0, 0);
            }
            Audiometrie_Button(MAIN_PANEL, STOP_AUDIOMETRIE, EVENT_COMMIT, nullptr, 0, 0);
            fake::RunUntilThreadsEnded(fake::Now() + 1000);
        }
        Ui_WaitForThreadPoolFunctions();
    }
};

inline std::vector<fake::AudioCall> CallsOf(fake::AudioOp op)
{
    std::vector<fake::AudioCall> out;
    for (const fake::AudioCall &c : fake::AudioCalls()) {
        if (c.op == op) {
            out.push_back(c);
        }
    }
    return out;
}

inline std::vector<fake::AudioCall> CallsOn(AudioHandle handle)
{
    std::vector<fake::AudioCall> out;
    for (const fake::AudioCall &c : fake::AudioCalls()) {
        if (c.handle == handle && c.op != fake::AudioOp::Create) {
            out.push_back(c);
        }
    }
    return out;
}

// A tone as the listener hears it: a play, with the volume and rate last set on its stream.
struct Tone {
    std::int64_t t;
    AudioHandle handle;
    float volume;
    float rate;
    int thread;
};

inline std::vector<Tone> Tones()
{
    std::vector<Tone> out;
    std::vector<std::pair<AudioHandle, std::pair<float, float>>> last;  // handle -> (volume, rate)
    auto find = [&last](AudioHandle h) -> std::pair<float, float> & {
        for (auto &e : last) {
            if (e.first == h) {
                return e.second;
            }
        }
        last.push_back({h, {1.0f, 96000.0f}});
        return last.back().second;
    };
    for (const fake::AudioCall &c : fake::AudioCalls()) {
        if (c.op == fake::AudioOp::SetAttribute && c.attrib == AUDIO_ATTRIB_VOL) {
            find(c.handle).first = c.value;
        } else if (c.op == fake::AudioOp::SetAttribute && c.attrib == AUDIO_ATTRIB_FREQ) {
            find(c.handle).second = c.value;
        } else if (c.op == fake::AudioOp::Play) {
            const auto &vr = find(c.handle);
            out.push_back(Tone{c.t, c.handle, vr.first, vr.second, c.thread});
        }
    }
    return out;
}

inline std::vector<fake::CanvasOp> Ops(int canvas, fake::CanvasOpKind kind)
{
    std::vector<fake::CanvasOp> out;
    for (const fake::CanvasOp &op : fake::CanvasOps()) {
        if (op.control == canvas && op.kind == kind) {
            out.push_back(op);
        }
    }
    return out;
}

inline std::vector<fake::CanvasOp> Ops(int canvas)
{
    std::vector<fake::CanvasOp> out;
    for (const fake::CanvasOp &op : fake::CanvasOps()) {
        if (op.control == canvas) {
            out.push_back(op);
        }
    }
    return out;
}

// Reads of one control, in order.
inline std::vector<fake::CtrlRead> ReadsOf(int control)
{
    std::vector<fake::CtrlRead> out;
    for (const fake::CtrlRead &r : fake::CtrlReads()) {
        if (r.control == control) {
            out.push_back(r);
        }
    }
    return out;
}
